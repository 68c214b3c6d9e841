import pickle

import numpy as np
import pytest

import kestrin

X = np.random.default_rng(3).normal(size=(700, 4))
Y = np.random.default_rng(4).normal(size=(700, 2))
# What the float32 path promises: |float32 - float64| <= 1e-4 * (1 + |float64|).
TOLERANCE = 1e-4


def compiled(precision=None, **keywords):
    model = kestrin.Model(4, 2, size=40)
    if precision is None:
        model.compile(loss="mse", metrics=["mae"], **keywords)
    else:
        model.compile(loss="mse", metrics=["mae"], precision=precision, **keywords)
    return model


def test_precision_keyword_shows_and_refuses_other_values():
    model = compiled()
    assert "precision" not in repr(model)  # the default changes no line
    model.compile(loss="mse", precision="float64")
    assert "precision" not in repr(model)
    model.compile(loss="mse", precision="float32")
    assert repr(model).endswith(" precision='float32'>")
    for bad, text in [("float16", "not 'float16'"), ("Float32", "not 'Float32'"), (32, "not an object of type int"), (None, "not an object of type NoneType")]:
        with pytest.raises(ValueError, match=f"precision must be 'float64' or 'float32', {text}"):
            model.compile(loss="mse", precision=bad)
        # A failed compile leaves the model uncompiled and back in float64.
        assert "compiled=False" in repr(model)
    with pytest.raises(TypeError):
        model.compile("alpha", "mse", [], [], "float32")  # keyword only


def test_float32_predictions_and_scores_follow_float64():
    model = compiled()
    expected, expected_scores = model.predict(X), model.evaluate(X, Y)
    model.compile(loss="mse", metrics=["mae"], precision="float32")
    actual = model.predict(X)
    assert actual.dtype == np.float64
    assert not np.array_equal(actual, expected)  # it is a different path
    assert np.all(np.abs(actual - expected) <= TOLERANCE * (1 + np.abs(expected)))
    assert model.evaluate(X, Y) == pytest.approx(expected_scores, rel=TOLERANCE)
    # A handful of rows takes the float32 path too, and rows do not depend on their neighbours.
    assert np.array_equal(model.predict(X[:2]), actual[:2])
    assert np.array_equal(model.predict(X, workers=2), actual)


def test_pickling_keeps_precision_and_float64_states_are_as_before():
    model = compiled("float32")
    copy = pickle.loads(pickle.dumps(model))
    assert repr(copy) == repr(model)
    assert np.array_equal(copy.predict(X), model.predict(X))
    # float64 states carry no precision field: states written before it existed load as float64.
    state = compiled().__reduce__()[2]
    assert "precision_bits" not in state
    assert model.__reduce__()[2]["precision_bits"] == 32
    state = dict(model.__reduce__()[2], precision_bits=16)
    with pytest.raises(ValueError, match="precision_bits"):
        kestrin.Model.__new__(kestrin.Model).__setstate__(state)


@pytest.mark.parametrize("batch_size", [-1, 256])
def test_seeded_float32_evolve_is_the_same_for_one_and_two_workers(batch_size):
    runs = []
    for workers in (1, 2):
        kestrin.set_random_seed(11)
        model = compiled("float32")
        history = model.evolve(X, Y, pop_size=20, epochs=3, batch_size=batch_size, verbose=0, workers=workers)
        runs.append((history, model.predict(X)))
    assert runs[0][0] == runs[1][0]
    assert np.array_equal(runs[0][1], runs[1][1])


def test_func_evolve_hands_out_genomes_in_the_models_precision():
    model = compiled("float32")
    seen = []

    def fitness(genomes):
        seen.append(genomes[0].__reduce__()[2].get("precision_bits"))
        return [float(np.mean(g.predict(X[:50]) ** 2)) for g in genomes]

    model.func_evolve(fitness, pop_size=4, epochs=1, verbose=0)
    assert seen and set(seen) == {32}
