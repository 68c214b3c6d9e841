import math
import struct

import numpy as np
import pytest

import kestrin

ACTIVATIONS = {
    "sigmoid": lambda v: 0.0 if v < -700 else 1.0 / (1.0 + math.exp(-v)),
    "tanh": math.tanh,
    "relu": lambda v: v if v > 0.0 else 0.0,
    "linear": lambda v: v,
}


def reference_predict(model, inputs, outputs, x):
    """Forward pass in plain Python from what get_nodes and get_connections report."""
    nodes = model.get_nodes()
    connections = model.get_connections()
    result = []
    for row in np.atleast_2d(x):
        sums = [node["bias"] for _, node in nodes]
        values = [0.0] * len(nodes)
        for i, (_, node) in enumerate(nodes):
            values[i] = float(row[i]) if i < inputs else ACTIVATIONS[node["activation"]](sums[i])
            for source, target, edge in connections:
                if source == i and target >= inputs:
                    sums[target] = edge["weight"] * values[i] + sums[target]
        result.append(values[len(nodes) - outputs:])
    return np.array(result).reshape(-1, outputs)


@pytest.fixture
def model():
    return kestrin.Model(3, 2, size=6)


@pytest.fixture
def x():
    return np.random.default_rng(7).normal(size=(5, 3))


def test_predict_runs_the_forward_pass_of_the_listed_network(model, x):
    result = model.predict(x)
    assert result.dtype == np.float64 and result.shape == (5, 2) and result.flags.c_contiguous
    np.testing.assert_allclose(result, reference_predict(model, 3, 2, x), rtol=1e-12, atol=1e-300)


def test_predict_does_not_depend_on_previous_calls(model, x):
    first = model.predict(x)
    model.predict(-x * 10)
    np.testing.assert_array_equal(model.predict(x), first)


@pytest.mark.parametrize(
    "variant",
    [
        lambda a: np.asfortranarray(a),
        lambda a: np.ascontiguousarray(a.T).T,
        lambda a: a.astype(">f8"),
        lambda a: np.frombuffer(b"\0" + a.tobytes(), offset=1).reshape(a.shape),  # unaligned
    ],
    ids=["fortran", "transposed", "big-endian", "unaligned"],
)
def test_layouts_predict_like_the_c_ordered_float64_copy(model, x, variant):
    view = variant(x)
    np.testing.assert_array_equal(model.predict(view), model.predict(np.ascontiguousarray(view, dtype=np.float64)))


def test_other_dtypes_predict_like_their_float64_values(model, x):
    ints = np.arange(-6, 9).reshape(5, 3)
    for array in (ints, ints.astype(np.int32), x.astype(np.float32), ints > 0, np.asfortranarray(ints[:, ::-1])):
        np.testing.assert_array_equal(model.predict(array), model.predict(array.astype(np.float64)))


def test_strided_views_read_their_own_elements(model):
    big = np.random.default_rng(3).normal(size=(10, 6))
    for view in (big[::2, 1:4], big[::-1, ::-2], big[:, [5, 0, 2]], big.T[:3].T):
        np.testing.assert_array_equal(model.predict(view), model.predict(view.copy()))
    cube = np.random.default_rng(4).normal(size=(4, 3, 5))
    np.testing.assert_array_equal(model.predict(cube), model.predict(cube[:, :, 0].copy()))


def test_one_dimensional_input_is_one_column():
    model = kestrin.Model(1, 2)
    x = np.linspace(-1, 1, 7)
    result = model.predict(x)
    assert result.shape == (7, 2)
    np.testing.assert_array_equal(result, model.predict(x.reshape(-1, 1)))
    np.testing.assert_array_equal(model.predict(x[::3]), model.predict(x[::3].copy()))


def test_zero_rows_and_extra_columns(model, x):
    empty = model.predict(np.zeros((0, 3)))
    assert empty.shape == (0, 2) and empty.dtype == np.float64
    wide = np.hstack([x, np.full((5, 4), 1e9)])
    np.testing.assert_array_equal(model.predict(wide), model.predict(x))


def test_predict_rejects_what_it_cannot_read(model):
    with pytest.raises(TypeError):
        model.predict([[1.0, 2.0, 3.0]])
    with pytest.raises(ValueError, match=r"shape \(\)"):
        model.predict(np.array(1.0))
    with pytest.raises(ValueError, match=r"shape \(4, 2\).*3 inputs"):
        model.predict(np.zeros((4, 2)))
    with pytest.raises(ValueError, match=r"shape \(5,\).*3 inputs"):
        model.predict(np.zeros(5))
    with pytest.raises(ValueError, match=r"shape \(2, 3, 0\)"):
        model.predict(np.zeros((2, 3, 0)))
    with pytest.raises(TypeError):
        model.predict(np.array([["a", "b", "c"]]))
    with pytest.raises(ValueError, match="2147483648"):
        model.predict(np.broadcast_to(np.zeros((1, 3)), (2**31, 3)))
    # Zero strides describe far more rows than memory could hold.
    with pytest.raises(MemoryError):
        model.predict(np.broadcast_to(np.zeros((1, 1)), (2**31 - 1, 2**20)))


def test_genome_without_a_network_refuses_to_predict():
    genome = kestrin.Genome(3, 2)
    with pytest.raises(RuntimeError, match="holds no network"):
        genome.predict(np.zeros((1, 3)))
    with pytest.raises(TypeError):
        genome.predict([1, 2, 3])


def compiled(model, loss="mse", metrics=("mae", "mape")):
    model.compile(loss=loss, metrics=list(metrics))
    return model


def expected_scores(p, y):
    error = y - p[:, : y.shape[1]]
    per_sample = {
        "mse": np.mean(error**2, axis=1),
        "mae": np.mean(np.abs(error), axis=1),
        "mape": np.mean(np.abs(error) * 100 / (np.abs(y) + 1e-10), axis=1),
    }
    return {name: float(np.mean(values)) for name, values in per_sample.items()}


def test_evaluate_scores_the_loss_then_the_metrics(model, x):
    y = np.random.default_rng(1).normal(size=(5, 2))
    y[2, 1] = 0.0  # a zero target stays finite in mape
    expected = expected_scores(model.predict(x), y)
    scores = compiled(model, "mape", ["mse", "mae", "mse"]).evaluate(x, y)
    assert all(type(score) is float for score in scores)
    assert scores == pytest.approx([expected[k] for k in ("mape", "mse", "mae", "mse")], rel=1e-12)
    assert math.isfinite(scores[0]) and scores[0] > 1e9


def test_evaluate_reads_only_the_outputs_that_y_has(model, x):
    y = np.random.default_rng(2).normal(size=(5, 1))
    expected = expected_scores(model.predict(x), y)
    assert compiled(model).evaluate(x, y) == pytest.approx([expected[k] for k in ("mse", "mae", "mape")], rel=1e-12)
    compiled(model, "mae", [])
    assert model.evaluate(x, y[:, 0]) == model.evaluate(x, y)


def test_evaluate_edge_results(model, x):
    y = np.zeros((5, 2))
    model.compile()
    assert model.evaluate(x, y) == []
    compiled(model, "mse", ["mae"])
    assert all(math.isnan(score) for score in model.evaluate(np.zeros((0, 3)), np.zeros((0, 2))))
    assert all(math.isnan(score) for score in model.evaluate(x, np.zeros((5, 0))))


def test_evaluate_needs_a_compiled_model(model, x):
    message = "You must compile your model before evaluating. Use `model.compile(loss)`."
    with pytest.raises(RuntimeError) as raised:
        model.evaluate("not", "arrays")
    assert str(raised.value) == message
    with pytest.raises(RuntimeError):
        model.evaluate(x, np.zeros((5, 2)))


def test_evaluate_rejects_mismatched_shapes(model, x):
    compiled(model)
    with pytest.raises(ValueError, match=r"\(5, 3\).*\(4, 2\)"):
        model.evaluate(x, np.zeros((4, 2)))
    with pytest.raises(ValueError, match=r"\(5, 3\).*\(6, 2\)"):
        model.evaluate(x, np.zeros((6, 2)))
    with pytest.raises(ValueError, match=r"\(5, 3\).*2 outputs"):
        model.evaluate(x, np.zeros((5, 3)))
    with pytest.raises(ValueError, match=r"\(5, 2\).*3 inputs"):
        model.evaluate(x[:, :2], np.zeros((5, 2)))
    with pytest.raises(ValueError, match=r"shape \(\)"):
        model.evaluate(x, np.array(0.0))
    with pytest.raises(TypeError):
        model.evaluate(x, [[0.0, 0.0]] * 5)


def test_get_nodes_of_a_fresh_model():
    model = kestrin.Model(2, 1)
    nodes = model.get_nodes()
    assert [index for index, _ in nodes] == [0, 1, 2]
    for _, node in nodes:
        assert set(node) == {"bias", "activation"}
        assert type(node["bias"]) is float and node["activation"] in ACTIVATIONS
    model.size = 10  # a mirror only: the list follows the network
    assert len(model.get_nodes(1, 2)) == 3


def test_get_connections_lists_every_connection_by_source_then_target():
    model = kestrin.Model(3, 2, size=7)
    connections = model.get_connections()
    pairs = [(source, target) for source, target, _ in connections]
    # The densest forward graph: every non-output node feeds every later non-input node.
    assert pairs == [(c, j) for c in range(5) for j in range(max(3, c + 1), 7)]
    assert all(set(edge) == {"weight"} and type(edge["weight"]) is float for _, _, edge in connections)
    model = kestrin.Model(2, 1)
    assert model.get_connections(None, 5) == model.get_connections()


@pytest.mark.skipif(not hasattr(kestrin, "load"), reason="needs kestrin.load")
def test_get_nodes_names_an_unknown_activation(tmp_path):
    # Nodes 0 (input) and 1 (output, activation id 9), no connection.
    path = tmp_path / "odd.kn"
    path.write_bytes(struct.pack("<iii", 2, 1, 1) + struct.pack("<dd", 0.0, 0.5) + struct.pack("<ii", 3, 9))
    model = kestrin.load(str(path))
    assert model.get_nodes() == [(0, {"bias": 0.0, "activation": "linear"}), (1, {"bias": 0.5, "activation": "unknown"})]
    assert model.get_connections() == []
