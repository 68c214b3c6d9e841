import math

import numpy as np
import pytest

import kestrin
from kestrin.optimizers import Alpha

X = np.random.default_rng(7).normal(size=(5, 3))
Y = np.random.default_rng(1).normal(size=(5, 2))
Y[2, 1] = 0.0  # a zero target stays finite in mape


@pytest.fixture
def model():
    return kestrin.Model(3, 2, size=6)


def expected_scores(p, y):
    """Each loss by hand: per sample the mean over the outputs y has, then the mean over samples."""
    error = y - p[:, : y.shape[1]]
    per_sample = {
        "mse": np.mean(error**2, axis=1),
        "mae": np.mean(np.abs(error), axis=1),
        "mape": np.mean(np.abs(error) * 100 / (np.abs(y) + 1e-10), axis=1),
    }
    return {name: float(np.mean(values)) for name, values in per_sample.items()}


@pytest.mark.parametrize(
    "loss, metrics",
    [("mape", ["mse", "mae", "mse"]), ("", ["mae"]), ("mse", ("mse", "mse")), ("mae", []), ("", [])],
)
def test_evaluate_scores_the_loss_then_the_metrics(model, loss, metrics):
    model.compile(loss=loss, metrics=metrics)
    scores = model.evaluate(X, Y)
    expected = expected_scores(model.predict(X), Y)
    assert all(type(score) is float for score in scores)
    assert scores == pytest.approx([expected[name] for name in [loss, *metrics] if name], rel=1e-12)


def test_evaluate_reads_only_what_exists(model):
    model.compile(loss="mse", metrics=["mae", "mape"])
    y = Y[:, :1]  # fewer outputs than the model has: the rest are not scored
    expected = expected_scores(model.predict(X), y)
    assert model.evaluate(X, y) == pytest.approx([expected[k] for k in ("mse", "mae", "mape")], rel=1e-12)
    assert model.evaluate(X, y[:, 0]) == model.evaluate(X, y)
    assert all(math.isnan(s) for s in model.evaluate(np.zeros((0, 3)), np.zeros((0, 2))))
    assert all(math.isnan(s) for s in model.evaluate(X, np.zeros((5, 0))))
    assert model.compile() is None
    assert model.evaluate(X, Y) == []


@pytest.mark.parametrize("optimizer", ["alpha", Alpha(), Alpha(0.1), type("Sub", (Alpha,), {})()])
def test_optimizer_forms_that_compile(model, optimizer):
    model.compile(optimizer=optimizer, loss="mse", monitors=["size", "size"])
    assert len(model.evaluate(X, Y)) == 1
    model.compile(optimizer, "mae", ("mse",), ("size",))
    assert len(model.evaluate(X, Y)) == 2


@pytest.mark.parametrize(
    "kwargs, error, message",
    [
        ({"optimizer": "adam"}, ValueError, "Optimizer 'adam' not known.\n"),
        ({"optimizer": "Alpha"}, ValueError, "Optimizer 'Alpha' not known.\n"),
        ({"optimizer": "alpha\0"}, ValueError, "Optimizer 'alpha\0' not known.\n"),
        ({"optimizer": 3}, ValueError, "The given optimizer is not an optimizer and not the name of an optimizer.\n"),
        ({"loss": "MSE"}, ValueError, "Loss 'MSE' not known.\n"),
        ({"loss": "mse", "metrics": ["mae", "acc"]}, ValueError, "Metric 'acc' not known.\n"),
        ({"metrics": ["mse\0x"]}, ValueError, "Metric 'mse\0x' not known.\n"),
        ({"loss": "mse", "monitors": ["size", "depth"]}, ValueError, "Monitor 'depth' not known.\n"),
        ({"metrics": "mae"}, TypeError, "metrics must be a list or tuple of str, not str."),
        ({"metrics": ["mae", 1]}, TypeError, "metrics must hold only str; item 1 is int."),
        ({"monitors": {"size"}}, TypeError, "monitors must be a list or tuple of str, not set."),
        ({"monitors": [None]}, TypeError, "monitors must hold only str; item 0 is NoneType."),
    ],
)
def test_a_failed_compile_raises_and_leaves_the_model_uncompiled(model, kwargs, error, message):
    model.compile(loss="mse")
    with pytest.raises(error) as raised:
        model.compile(**kwargs)
    assert str(raised.value) == message
    with pytest.raises(RuntimeError) as raised:
        model.evaluate("not", "arrays")
    assert str(raised.value) == "You must compile your model before evaluating. Use `model.compile(loss)`."
    model.compile(loss="mse", metrics=["mae"])
    assert len(model.evaluate(X, Y)) == 2


def test_argument_parsing_errors_change_nothing(model):
    model.compile(loss="mae")
    before = model.evaluate(X, Y)
    for kwargs in ({"loss": 1}, {"loss": "mse\0"}, {"learning_rate": 0.1}):
        with pytest.raises((TypeError, ValueError)):
            model.compile(**kwargs)
    assert model.evaluate(X, Y) == before


def test_an_optimizer_released_by_compile_sees_the_finished_compile(model):
    seen = []

    class Releasing(Alpha):
        def __del__(self):
            seen.append(model.evaluate(X, Y))
            model.compile(loss="mae")  # a compile of its own, which then follows the outer one

    model.compile(optimizer=Releasing(), loss="mape")
    model.compile(loss="mse", metrics=["mape"])
    expected = expected_scores(model.predict(X), Y)
    assert seen == [pytest.approx([expected["mse"], expected["mape"]], rel=1e-12)]
    assert model.evaluate(X, Y) == pytest.approx([expected["mae"]], rel=1e-12)
