import os
import random
import subprocess
import sys
import types
import warnings

import numpy as np
import pytest

import kestrin
from conftest import crafted, snapshot

pytestmark = pytest.mark.keras

# Keras computes in float32.
TOLERANCE = dict(rtol=1e-5, atol=1e-6)


@pytest.fixture(scope="module")
def keras():
    try:
        import keras
    except ImportError as error:  # absent, or its backend is
        pytest.skip(f"Keras cannot be imported: {error}")
    return keras


def sample(inputs, rows=6, seed=3):
    return np.random.default_rng(seed).normal(size=(rows, inputs))


def node_layers(keras_model):
    return {layer.name: layer for layer in keras_model.layers if layer.name.startswith("node")}


def feeders(layer):
    return [t._keras_history.operation for t in layer._inbound_nodes[0].input_tensors]


def assert_same_network(a, b, inputs):
    """Equal but for float32 rounding. Input nodes carry no bias or activation
    into Keras (the forward pass ignores both), so they import as zeros."""
    assert [n for _, n in b.get_nodes()[:inputs]] == [{"bias": 0.0, "activation": "sigmoid"}] * inputs
    nodes_a, nodes_b = a.get_nodes()[inputs:], b.get_nodes()[inputs:]
    assert [(i, n["activation"]) for i, n in nodes_a] == [(i, n["activation"]) for i, n in nodes_b]
    np.testing.assert_allclose([n["bias"] for _, n in nodes_a], [n["bias"] for _, n in nodes_b], **TOLERANCE)
    links_a, links_b = a.get_connections(), b.get_connections()
    assert [(f, t) for f, t, _ in links_a] == [(f, t) for f, t, _ in links_b]
    np.testing.assert_allclose([c["weight"] for *_, c in links_a], [c["weight"] for *_, c in links_b], **TOLERANCE)
    assert a.size == b.size


def test_smallest_model_exports_to_the_node_layout_and_back(keras):
    model = kestrin.Model(2, 1)
    exported = model.to_keras()
    nodes = node_layers(exported)
    assert sorted(nodes) == ["node0", "node1", "node2"]
    assert exported.layers[-1].name == "node2"

    (concatenation,) = feeders(nodes["node2"])
    assert type(concatenation).__name__ == "Concatenate"
    assert [layer.name for layer in feeders(concatenation)] == ["node0", "node1"]
    kernel, bias = nodes["node2"].get_weights()
    weights = {(f, t): c["weight"] for f, t, c in model.get_connections()}
    assert kernel.shape == (2, 1)
    np.testing.assert_array_equal(kernel[:, 0], np.float32([weights[0, 2], weights[1, 2]]))
    assert bias[0] == np.float32(model.get_nodes()[2][1]["bias"])
    assert nodes["node2"].activation.__name__ == model.get_nodes()[2][1]["activation"]

    for k in (0, 1):
        kernel, bias = nodes[f"node{k}"].get_weights()
        np.testing.assert_array_equal(kernel[:, 0], np.eye(2)[k])
        assert bias[0] == 0.0
        assert nodes[f"node{k}"].activation.__name__ == "linear"
        assert not nodes[f"node{k}"].trainable

    x = sample(2)
    np.testing.assert_allclose(exported.predict(x, verbose=0), model.predict(x), **TOLERANCE)
    # The import ignores what the input layers hold.
    nodes["node0"].set_weights([np.full((2, 1), 7.0), np.array([3.0])])
    back = kestrin.from_keras(exported)
    assert type(back) is kestrin.Model
    assert_same_network(model, back, 2)


def test_single_predecessor_is_read_without_concatenate(keras, tmp_path):
    # 0 -> 1 -> 2: a relu hidden node between an input and a linear output.
    model = crafted(tmp_path, 1, 1, [0.0, 0.5, -1.0], [3, 2, 3], [(0, 1, 2.0), (1, 2, -0.5)])
    exported = model.to_keras()
    assert not any(type(layer).__name__ == "Concatenate" for layer in exported.layers)
    nodes = node_layers(exported)
    assert feeders(nodes["node1"]) == [nodes["node0"]]
    assert feeders(nodes["node2"]) == [nodes["node1"]]
    x = np.array([[-1.0], [0.0], [3.0]])
    expected = -0.5 * np.maximum(2.0 * x + 0.5, 0.0) - 1.0
    np.testing.assert_allclose(exported.predict(x, verbose=0), expected, **TOLERANCE)
    assert_same_network(model, kestrin.from_keras(exported), 1)


def test_several_outputs_and_two_digit_names_round_trip(keras):
    model = kestrin.Model(3, 3, 12)
    exported = model.to_keras()
    assert set(node_layers(exported)) == {f"node{i}" for i in range(12)}
    last = exported.layers[-1]
    assert type(last).__name__ == "Concatenate"
    assert [layer.name for layer in feeders(last)] == ["node9", "node10", "node11"]
    assert tuple(exported.output.shape) == (None, 3)
    x = sample(3)
    np.testing.assert_allclose(exported.predict(x, verbose=0), model.predict(x), **TOLERANCE)
    back = kestrin.from_keras(exported)
    assert_same_network(model, back, 3)
    np.testing.assert_allclose(back.predict(x), model.predict(x), **TOLERANCE)
    with pytest.raises(RuntimeError, match="You must compile your model"):
        back.evaluate(x, model.predict(x))


def test_keras_training_carries_back(keras, tmp_path):
    # A tanh hidden node and a linear output: the gradients cannot vanish.
    links = [(0, 2, 0.5), (0, 3, -0.3), (1, 2, 0.8), (1, 3, 0.1), (2, 3, 1.2)]
    model = crafted(tmp_path, 2, 1, [0.0, 0.0, 0.1, -0.2], [0, 0, 1, 3], links)
    exported = model.to_keras()
    exported.compile(optimizer=keras.optimizers.SGD(learning_rate=0.2), loss="mse")
    x = sample(2, rows=16)
    exported.fit(x, np.sin(x[:, :1]) + 1.0, epochs=4, batch_size=16, verbose=0)

    back = kestrin.from_keras(exported)
    trained = exported.predict(x, verbose=0)
    np.testing.assert_allclose(back.predict(x), trained, **TOLERANCE)
    assert not np.allclose(back.predict(x), model.predict(x))
    # The input layers stayed pass-throughs.
    np.testing.assert_array_equal(node_layers(exported)["node1"].get_weights()[0][:, 0], [0.0, 1.0])


def test_unknown_activation_imports_but_does_not_export(keras):
    model = kestrin.Model(2, 1)
    exported = model.to_keras()
    node_layers(exported)["node2"].activation = keras.activations.elu
    with pytest.warns(RuntimeWarning, match="Layer 'node2' has the activation 'elu', which kestrin does not know"):
        back = kestrin.from_keras(exported)
    np.testing.assert_array_equal(back.predict(sample(2)), np.zeros((6, 1)))
    with pytest.raises(ValueError, match="Node 2 .*activation id 4"):
        back.to_keras()


@pytest.mark.parametrize(
    "network, words",
    [
        ((1, 1, [0.0] * 3, [0] * 3, [(0, 2, 1.0)]), "Node 1 .*no connection from a lower-numbered node"),
        ((1, 1, [0.0] * 2, [0, 9], [(0, 1, 1.0)]), "Node 1 .*activation id 9"),
        ((1, 1, [0.0] * 3, [0] * 3, [(0, 1, 1.0), (0, 2, 1.0)]), "Node 1 .*leads to no output"),
        ((2, 1, [0.0] * 3, [0] * 3, [(0, 2, 1.0), (2, 1, 1.0)]), "Node 1 .*leads to no output"),
        ((2, 0, [0.0] * 2, [0] * 2, []), "without outputs"),
    ],
)
def test_export_refuses_networks_keras_cannot_hold(tmp_path, network, words):
    model = crafted(tmp_path, *network)
    before = snapshot(model)
    with pytest.raises(ValueError, match=words):
        model.to_keras()
    assert snapshot(model) == before


def test_import_refuses_a_plain_keras_model(keras):
    plain = keras.Sequential([keras.Input(shape=(3,)), keras.layers.Dense(4), keras.layers.Dense(1)])
    with pytest.raises(ValueError, match="0 node layers, fewer than its"):
        kestrin.from_keras(plain)


# ---- duck-typed models: the import reads attributes only, so these need no Keras


class Layer:
    def __init__(self, name, feeds=(), weights=(), activation="linear", width=1):
        self.name = name
        self._inbound_nodes = [types.SimpleNamespace(input_tensors=[Tensor(layer) for layer in feeds])]
        self.output = types.SimpleNamespace(shape=(None, width))
        self.weights = list(weights)
        self.activation = types.SimpleNamespace(__name__=activation)

    def get_weights(self):
        return self.weights


class Concatenate(Layer):
    pass


class Tensor:
    def __init__(self, operation):
        self._keras_history = types.SimpleNamespace(operation=operation)


def duck_model():
    """0.5 * x0 - x1 + 0.25 as a model of the to_keras layout."""
    start = Layer("input_layer", width=2)
    node0 = Layer("node0", [start], [np.eye(2)[:, :1], np.zeros(1)])
    node1 = Layer("node1", [start], [np.eye(2)[:, 1:], np.zeros(1)])
    gathered = Concatenate("concatenate", [node0, node1], width=2)
    node2 = Layer("node2", [gathered], [np.array([[0.5], [-1.0]]), np.array([0.25])])
    return types.SimpleNamespace(layers=[start, node0, node1, gathered, node2])


def test_duck_typed_model_imports():
    model = kestrin.from_keras(duck_model())
    assert model.get_connections() == [(0, 2, {"weight": 0.5}), (1, 2, {"weight": -1.0})]
    x = sample(2)
    np.testing.assert_array_equal(model.predict(x)[:, 0], 0.5 * x[:, 0] - x[:, 1] + 0.25)


def test_an_unknown_activation_warns_through_the_warnings_filters():
    duck = duck_model()
    duck.layers[4].activation.__name__ = "softmax"
    with pytest.warns(RuntimeWarning, match="'node2' has the activation 'softmax'"):
        assert kestrin.from_keras(duck).get_nodes()[2][1]["activation"] == "unknown"
    with warnings.catch_warnings():
        warnings.simplefilter("error", RuntimeWarning)
        with pytest.raises(RuntimeWarning, match="'softmax'"):
            kestrin.from_keras(duck)


def fail():
    raise RuntimeError("backend gone")


@pytest.mark.parametrize(
    "index, attribute, value, error, words",
    [
        (4, "name", "nodeX", ValueError, "'nodeX' .*no node number"),
        (4, "name", "node7", ValueError, "'node7' .*outside 0..2"),
        (4, "name", "node01", ValueError, "'node01' .*'node1' has the same number"),
        (2, "name", 5, TypeError, "name must be a str"),
        (3, "__class__", Layer, ValueError, "'node2' .*'concatenate', which is neither a node layer nor a Concatenate"),
        (4, "_inbound_nodes", [], ValueError, "'node2' .*not connected"),
        (4, "weights", [np.array([[0.5]]), np.array([0.25])], ValueError, r"'node2' .*kernel .*\(1, 1\), not \(2, 1\)"),
        (4, "weights", [np.array([[0.5], [1.0]]), np.zeros(0)], ValueError, r"'node2' .*bias .*\(0,\), not \(1,\)"),
        # Refused before anything is copied: this view describes 2 GiB.
        (4, "weights", [np.broadcast_to(np.ones((1, 1)), (2**28, 1)), np.zeros(1)], ValueError, r"\(268435456, 1\)"),
        (4, "weights", [np.ones((2, 1, 3)), np.zeros(1)], ValueError, r"'node2' .*kernel has shape \(2, 1, 3\)"),
        (4, "units", 3, ValueError, "'node2' .*it has 3 units"),
        (4, "weights", [np.ones((2, 1))], ValueError, "'node2' .*no kernel and bias"),
        (4, "weights", 3, TypeError, "'node2'"),
        (4, "activation", None, TypeError, "'node2' .*no attribute 'activation'"),
        (4, "get_weights", fail, RuntimeError, "backend gone"),
        (0, "output", types.SimpleNamespace(shape=(None,)), ValueError, "'input_layer'"),
        (0, "output", types.SimpleNamespace(shape=(None, None)), ValueError, "'input_layer'"),
    ],
)
def test_models_off_the_layout_are_refused_naming_the_layer(index, attribute, value, error, words):
    duck = duck_model()
    layer = duck.layers[index]
    if value is None:
        delattr(layer, attribute)
    else:
        setattr(layer, attribute, value)
    with pytest.raises(error, match=words):
        kestrin.from_keras(duck)


def test_cycles_and_objects_without_layers_are_refused():
    duck = duck_model()
    duck.layers[4]._inbound_nodes = [types.SimpleNamespace(input_tensors=[Tensor(duck.layers[4])])]
    for model, error, words in [(duck, ValueError, "'node2' .*which does not come before it"),
                                (types.SimpleNamespace(layers=[]), ValueError, "no layers"),
                                (42, TypeError, "expects a Keras model")]:
        with pytest.raises(error, match=words):
            kestrin.from_keras(model)


def test_randomly_damaged_duck_models_never_crash():
    rng = random.Random(1208)
    junk = [None, 0, -1, 2**40, "node1", "", [], [None], (None, 3), np.zeros((0, 1)), np.ones((3, 3)),
            np.array("x"), np.array([np.nan]), types.SimpleNamespace()]
    attributes = ["name", "_inbound_nodes", "output", "weights", "activation"]
    imported = 0
    for _ in range(600):
        duck = duck_model()
        for _ in range(rng.randint(1, 3)):
            layer = rng.choice(duck.layers)
            attribute = rng.choice(attributes)
            if rng.random() < 0.2:
                if hasattr(layer, attribute) and attribute != "weights":
                    delattr(layer, attribute)
            else:
                setattr(layer, attribute, rng.choice(junk))
        try:
            model = kestrin.from_keras(duck)
        except (ValueError, TypeError):
            continue
        imported += 1
        model.predict(np.zeros((1, 2)))
    assert imported > 0


def test_without_keras_to_keras_raises_importerror_and_changes_nothing():
    code = f"""
import sys
sys.path.insert(0, {os.path.dirname(kestrin.__file__)!r})
import kestrin
model = kestrin.Model(2, 1)
model.predict(__import__("numpy").zeros((1, 2)))
assert "keras" not in sys.modules, "importing and using kestrin imported keras"
sys.modules["keras"] = None  # what an import of an absent package meets
before = (model.get_nodes(), model.get_connections())
try:
    model.to_keras()
except ImportError:
    print("ImportError")
assert (model.get_nodes(), model.get_connections()) == before
"""
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "ImportError"
