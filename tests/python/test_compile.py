import inspect

import numpy as np
import pytest

import kestrin
from kestrin.optimizers import Alpha

X = np.array([[0.5, -1.0], [2.0, 0.25], [-0.75, 1.5]])
Y = np.array([[0.0], [1.0], [0.5]])


@pytest.fixture
def model():
    return kestrin.Model(2, 1)


def single_scores(model):
    """Each loss alone, by id order: mse, mae, mape."""
    scores = []
    for name in ("mse", "mae", "mape"):
        model.compile(loss=name)
        scores.append(model.evaluate(X, Y)[0])
    return dict(zip(("mse", "mae", "mape"), scores))


def test_compile_without_arguments_has_no_loss_and_no_metrics(model):
    assert model.compile() is None
    assert model.evaluate(X, Y) == []
    model.compile(loss="")
    assert model.evaluate(X, Y) == []


@pytest.mark.parametrize(
    "loss, metrics, order",
    [
        ("mae", ["mse", "mape"], ["mae", "mse", "mape"]),
        ("", ["mae"], ["mae"]),
        ("mse", ("mse", "mse"), ["mse", "mse", "mse"]),
        ("mape", [], ["mape"]),
    ],
)
def test_scores_follow_the_loss_then_the_metrics_in_order(model, loss, metrics, order):
    single = single_scores(model)
    model.compile(loss=loss, metrics=metrics)
    assert model.evaluate(X, Y) == [single[name] for name in order]


@pytest.mark.parametrize("optimizer", ["alpha", Alpha(), Alpha(0.1), type("Sub", (Alpha,), {})()])
def test_optimizer_forms_that_compile(model, optimizer):
    model.compile(optimizer=optimizer, loss="mse", monitors=["size", "size"])
    assert len(model.evaluate(X, Y)) == 1


def test_arguments_are_accepted_by_keyword_or_position(model):
    model.compile("alpha", "mae", ("mse",), ("size",))
    assert len(model.evaluate(X, Y)) == 2


@pytest.mark.parametrize(
    "kwargs, error, message",
    [
        ({"optimizer": "adam"}, ValueError, "Optimizer 'adam' not known.\n"),
        ({"optimizer": "Alpha"}, ValueError, "Optimizer 'Alpha' not known.\n"),
        ({"optimizer": "alpha\0"}, ValueError, "Optimizer 'alpha\0' not known.\n"),
        ({"optimizer": 3}, ValueError, "The given optimizer is not an optimizer and not the name of an optimizer.\n"),
        ({"optimizer": None}, ValueError, "The given optimizer is not an optimizer and not the name of an optimizer.\n"),
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
    with pytest.raises(RuntimeError, match="You must compile your model"):
        model.evaluate(X, Y)


def test_argument_parsing_errors_change_nothing(model):
    model.compile(loss="mae")
    before = model.evaluate(X, Y)
    for kwargs in ({"loss": 1}, {"loss": "mse\0"}, {"learning_rate": 0.1}):
        with pytest.raises((TypeError, ValueError)):
            model.compile(**kwargs)
    assert model.evaluate(X, Y) == before


def test_compile_again_after_a_failure_works(model):
    with pytest.raises(ValueError):
        model.compile(loss="nope")
    model.compile(loss="mse", metrics=["mae"])
    assert len(model.evaluate(X, Y)) == 2


def test_methods_carry_text_signatures():
    assert str(inspect.signature(kestrin.Model.compile)) == "(self, optimizer, loss, metrics, monitors)"
    assert str(inspect.signature(kestrin.Model.evaluate)) == "(self, x, y)"
    assert str(inspect.signature(kestrin.Genome.predict)) == "(self, x)"
    assert kestrin.Model.get_connections.__doc__ == "Returns a list of connections contained in the network."
