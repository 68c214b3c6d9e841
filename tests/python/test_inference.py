import gc

import numpy as np
import pytest

import kestrin
from conftest import crafted

BASE = np.random.default_rng(3).normal(size=(10, 6))


@pytest.fixture
def model():
    return kestrin.Model(3, 2, size=6)


def test_the_network_read_back_and_predicted(tmp_path):
    # Inputs 0, 1; hidden 2 (tanh) and 3 (id 9, unknown, unused); outputs 4 (sigmoid) and 5 (relu).
    biases = [0.0, 0.25, 0.1, 0.0, -0.2, 0.3]
    records = [(2, 4, 2.0), (0, 5, 1.5), (1, 2, -1.0), (0, 2, 0.5), (2, 5, -0.5)]
    model = crafted(tmp_path, 2, 2, biases, [3, 0, 1, 9, 0, 2], records)
    names = ["linear", "sigmoid", "tanh", "unknown", "sigmoid", "relu"]
    assert model.get_nodes() == [(i, {"bias": b, "activation": a}) for i, (b, a) in enumerate(zip(biases, names))]
    assert model.get_connections() == [(s, t, {"weight": w}) for s, t, w in sorted(records)]
    assert model.get_nodes(1, 2) == model.get_nodes() and model.get_connections(None, 5) == model.get_connections()

    x = BASE[:, :2]
    result = model.predict(x)
    assert result.dtype == np.float64 and result.shape == (10, 2) and result.flags.c_contiguous
    hidden = np.tanh(0.1 + 0.5 * x[:, 0] - 1.0 * x[:, 1])
    expected = np.column_stack([1 / (1 + np.exp(0.2 - 2.0 * hidden)), np.maximum(0.3 + 1.5 * x[:, 0] - 0.5 * hidden, 0)])
    np.testing.assert_allclose(result, expected, rtol=1e-12)


def test_a_fresh_model_lists_every_forward_connection_by_source_then_target():
    connections = kestrin.Model(3, 2, size=7).get_connections()
    assert [(s, t) for s, t, _ in connections] == [(c, j) for c in range(5) for j in range(max(3, c + 1), 7)]
    assert all(set(edge) == {"weight"} and type(edge["weight"]) is float for _, _, edge in connections)


@pytest.mark.parametrize(
    "variant",
    [
        lambda b: np.asfortranarray(b[:5, :3]),
        lambda b: np.ascontiguousarray(b[:5, :3].T).T,
        lambda b: b[:5, :3].astype(">f8"),
        lambda b: np.frombuffer(b"\0" + b[:5, :3].tobytes(), offset=1).reshape(5, 3),
        lambda b: b[::2, 1:4],
        lambda b: b[::-1, ::-2],
        lambda b: b.T[:3].T,
        lambda b: b[:, :3].astype(np.float32),
        lambda b: (b[:, :3] * 4).astype(np.int64),
        lambda b: np.asfortranarray((b[:, 3::-1] * 4).astype(np.int32)),
        lambda b: b[:, :3] > 0,
    ],
    ids=["fortran", "transposed", "big-endian", "unaligned", "strided", "reversed", "transposed-slice",
         "float32", "int64", "int32-fortran-reversed", "bool"],
)
def test_arrays_predict_like_their_c_ordered_float64_copy(model, variant):
    array = variant(BASE)
    np.testing.assert_array_equal(model.predict(array), model.predict(np.array(array, dtype=np.float64, order="C")))


def test_other_ranks_and_widths(model):
    one_input = kestrin.Model(1, 2)
    x = np.linspace(-1, 1, 7)
    assert one_input.predict(x).shape == (7, 2)
    np.testing.assert_array_equal(one_input.predict(x), one_input.predict(x.reshape(-1, 1)))
    np.testing.assert_array_equal(one_input.predict(x[::3]), one_input.predict(x[::3].reshape(-1, 1)))
    cube = np.random.default_rng(4).normal(size=(4, 3, 5))
    np.testing.assert_array_equal(model.predict(cube), model.predict(cube[:, :, 0].copy()))
    empty = model.predict(np.zeros((0, 3)))
    assert empty.shape == (0, 2) and empty.dtype == np.float64
    x = BASE[:, :3]
    np.testing.assert_array_equal(model.predict(np.hstack([x, np.full((10, 4), 1e9)])), model.predict(x))


X5 = BASE[:5, :3]


@pytest.mark.parametrize(
    "method, args, error, words",
    [
        ("predict", ([[1.0, 2.0, 3.0]],), TypeError, None),
        ("predict", (np.array(1.0),), ValueError, r"shape \(\)"),
        ("predict", (np.zeros((4, 2)),), ValueError, r"shape \(4, 2\).*3 inputs"),
        ("predict", (np.zeros(5),), ValueError, r"shape \(5,\).*3 inputs"),
        ("predict", (np.zeros((2, 3, 0)),), ValueError, r"shape \(2, 3, 0\)"),
        ("predict", (np.array([["a", "b", "c"]]),), TypeError, None),
        ("predict", (np.broadcast_to(np.zeros((1, 3)), (2**31, 3)),), ValueError, "2147483648"),
        # Zero strides describe far more rows than memory could hold.
        ("predict", (np.broadcast_to(np.zeros((1, 1)), (2**31 - 1, 2**20)),), MemoryError, None),
        ("evaluate", (X5, np.zeros((4, 2))), ValueError, r"\(5, 3\).*\(4, 2\)"),
        ("evaluate", (X5, np.zeros((6, 2))), ValueError, r"\(5, 3\).*\(6, 2\)"),
        ("evaluate", (X5, np.zeros((5, 3))), ValueError, r"\(5, 3\).*2 outputs"),
        ("evaluate", (X5[:, :2], np.zeros((5, 2))), ValueError, r"\(5, 2\).*3 inputs"),
        ("evaluate", (X5, np.array(0.0)), ValueError, r"shape \(\)"),
        ("evaluate", (X5, [[0.0, 0.0]] * 5), TypeError, None),
    ],
)
def test_arrays_that_cannot_be_read_raise(model, method, args, error, words):
    model.compile(loss="mse")
    with pytest.raises(error, match=words):
        getattr(model, method)(*args)


def converting_runs(x, action):
    """x as a big-endian ndarray subclass whose conversion to native float64 runs action once."""
    armed = []

    class Subclass(np.ndarray):
        def __array_finalize__(self, obj):
            if armed:
                armed.pop()()

    view = x.astype(">f8").view(Subclass)
    armed.append(action)
    return view


def test_predict_and_evaluate_read_the_model_after_converting_their_arrays():
    x = np.ones((5, 2))
    model = kestrin.Model(2, 3)
    result = model.predict(converting_runs(x, lambda: model.__init__(2, 1)))
    assert result.shape == (5, 1)
    np.testing.assert_array_equal(result, model.predict(x))

    model.compile(loss="mse")
    with pytest.raises(RuntimeError, match="You must compile your model before evaluating"):
        model.evaluate(converting_runs(x, lambda: model.__init__(2, 3)), np.zeros((5, 3)))


@pytest.mark.parametrize("method", ["get_nodes", "get_connections"])
def test_listings_survive_a_collection_that_reinitialises_the_model(method):
    model = kestrin.Model(2, 1)
    listing = getattr(model, method)
    expected = listing()

    class Garbage:
        def __del__(self):
            model.__init__(2, 300)

    cycle = Garbage()
    cycle.itself = cycle
    del cycle
    threshold = gc.get_threshold()
    gc.set_threshold(1)  # the first object the listing creates starts a collection
    try:
        result = listing()
    finally:
        gc.set_threshold(*threshold)
    gc.collect()
    assert result == expected and model.size == 302
