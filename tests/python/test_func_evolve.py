import _thread
import re
import sys
import threading

import numpy as np
import pytest

import kestrin

LARGEST = sys.float_info.max
X = np.linspace(-1.0, 1.0, 8).reshape(-1, 1)
Y = 0.5 * X


def fitness(genome):
    return float(np.mean((genome.predict(X) - Y) ** 2))


def train(genomes):
    return [fitness(g) for g in genomes]


def snapshot(model):
    return model.size, model.get_nodes(), model.get_connections()


def test_needs_a_train_func_and_sound_counts(capfd):
    model = kestrin.Model(1, 1)
    with pytest.raises(TypeError):
        model.func_evolve()
    with pytest.raises(TypeError):
        model.func_evolve(train, pop_size="4")
    calls = []
    for kwargs, word in [({"pop_size": 5}, "pop_size"), ({"pop_size": 0}, "pop_size"), ({"epochs": -1}, "epochs")]:
        with pytest.raises(ValueError, match=word):
            model.func_evolve(lambda genomes: calls.append(1), **kwargs)
    assert calls == []
    assert capfd.readouterr().out == ""


def test_an_uncompiled_model_evolves_and_its_history_has_only_loss(capfd):
    model = kestrin.Model(1, 1)
    history = model.func_evolve(train, pop_size=4, epochs=3, verbose=0)
    assert list(history) == ["loss"]
    assert len(history["loss"]) == 3 and all(type(v) is float for v in history["loss"])
    assert capfd.readouterr().out == ""


def test_history_with_validation_and_size_monitor(capfd):
    model = kestrin.Model(1, 1)
    model.compile(monitors=["size"])
    history = model.func_evolve(train, pop_size=4, epochs=2, validation_func=lambda genome: 3, verbose=0)
    assert list(history) == ["loss", "val_loss", "size"]
    assert history["val_loss"] == [3.0, 3.0] and all(type(v) is float for v in history["val_loss"])
    assert all(type(v) is int for v in history["size"])
    assert history["size"][-1] == model.size


def test_train_func_sees_parents_and_children_as_genomes():
    seen = []

    def record(genomes):
        seen.append(genomes)
        assert all(type(g) is kestrin.Genome for g in genomes)
        return np.zeros(len(genomes))

    history = kestrin.Model(2, 1).func_evolve(record, pop_size=6, epochs=2, verbose=0)
    assert [len(genomes) for genomes in seen] == [12, 12]
    assert history["loss"] == [0.0, 0.0]
    # Kept genomes stay usable after training.
    assert seen[0][0].predict(np.zeros((3, 2))).shape == (3, 1)


@pytest.mark.parametrize(
    "result",
    [
        lambda n: [0.5] * n,
        lambda n: tuple([0.5] * n),
        lambda n: np.full(n, 0.5, dtype=np.float32),
        lambda n: [[0.5, 9.0]] * (n + 2),
        lambda n: np.full((n, 1), 0.5).T.T,
        lambda n: [1] * n,
    ],
)
def test_train_func_may_return_anything_numpy_converts(result):
    history = kestrin.Model(1, 1).func_evolve(lambda g: result(len(g)), pop_size=4, epochs=1, verbose=0)
    assert history["loss"][0] in (0.5, 1.0)


@pytest.mark.parametrize(
    "result",
    [lambda n: [0.0] * (n - 1), lambda n: 0.0, lambda n: np.zeros((n, 0)), lambda n: []],
)
def test_short_results_name_the_expected_count(result):
    model = kestrin.Model(1, 1)
    before = snapshot(model)
    with pytest.raises(ValueError, match="8"):
        model.func_evolve(lambda g: result(len(g)), pop_size=4, epochs=2, verbose=0)
    assert snapshot(model) == before


def test_results_numpy_cannot_convert_raise_numpy_errors():
    with pytest.raises(ValueError):
        kestrin.Model(1, 1).func_evolve(lambda g: ["x"] * len(g), pop_size=4, epochs=1, verbose=0)
    with pytest.raises(TypeError):
        kestrin.Model(1, 1).func_evolve(lambda g: object(), pop_size=4, epochs=1, verbose=0)


def test_user_exceptions_pass_through_unchanged_and_leave_the_model():
    model = kestrin.Model(1, 1)
    before = snapshot(model)
    raised = ValueError("from train_func")
    calls = []

    def train_then_fail(genomes):
        calls.append(1)
        if len(calls) == 3:
            raise raised
        return train(genomes)

    with pytest.raises(ValueError) as error:
        model.func_evolve(train_then_fail, pop_size=4, epochs=10, verbose=0)
    assert error.value is raised
    assert snapshot(model) == before

    with pytest.raises(ZeroDivisionError):
        model.func_evolve(train, pop_size=4, epochs=2, validation_func=lambda g: 1 / 0, verbose=0)
    with pytest.raises(TypeError):
        model.func_evolve(train, pop_size=4, epochs=2, validation_func=lambda g: "low", verbose=0)
    assert snapshot(model) == before


def test_zero_epochs_calls_nothing():
    calls = []
    model = kestrin.Model(1, 1)
    model.compile(monitors=["size"])
    history = model.func_evolve(calls.append, epochs=0, validation_func=calls.append)
    assert history == {"loss": [], "val_loss": [], "size": []}
    assert calls == []


def test_nan_losses_keep_the_network_and_report_the_largest_loss():
    model = kestrin.Model(1, 1)
    before = snapshot(model)
    history = model.func_evolve(lambda g: [float("nan")] * len(g), pop_size=4, epochs=2, verbose=0)
    assert history["loss"] == [LARGEST, LARGEST]
    assert snapshot(model) == before


def test_the_best_genome_predicts_like_the_trained_model():
    best = []
    model = kestrin.Model(1, 1)
    history = model.func_evolve(train, pop_size=8, epochs=5, validation_func=lambda g: best.append(g) or 0.0,
                                verbose=0)
    assert np.array_equal(best[-1].predict(X), model.predict(X))
    assert history["loss"][-1] == fitness(model)
    # The best survives every tournament, so a fixed fitness never gets worse.
    assert history["loss"] == sorted(history["loss"], reverse=True)


def test_second_call_continues_from_the_first():
    model = kestrin.Model(1, 1)
    model.func_evolve(train, pop_size=8, epochs=5, verbose=0)
    reached = fitness(model)
    history = model.func_evolve(train, pop_size=8, epochs=1, verbose=0)
    assert history["loss"][0] <= reached


@pytest.mark.parametrize("verbose", [1, 5])
def test_prints_one_line_per_epoch(capfd, verbose):
    model = kestrin.Model(1, 1)
    model.compile(monitors=["size"])
    model.func_evolve(lambda g: np.zeros(len(g)), pop_size=4, epochs=3, verbose=verbose,
                      validation_func=lambda g: 0.25)
    out = capfd.readouterr().out
    lines = out.split("\r")[1:]
    assert len(lines) == 3
    for e, line in enumerate(lines, 1):
        assert re.fullmatch(
            rf"Epoch {e}/3 - (\d+ms|\d+s) - loss: 0\.000000 - val_loss: 0\.250000 - size: \d+\n", line
        ), line


def test_ctrl_c_from_another_thread_leaves_the_model_unchanged():
    model = kestrin.Model(1, 1)
    before = snapshot(model)
    timer = threading.Timer(0.05, _thread.interrupt_main)
    timer.start()
    try:
        with pytest.raises(KeyboardInterrupt):
            model.func_evolve(train, pop_size=4, epochs=10**8, verbose=0)
    finally:
        timer.cancel()
    assert snapshot(model) == before


def test_train_func_may_reinitialise_the_model_meanwhile():
    model = kestrin.Model(1, 1)
    model.compile(monitors=["size"])

    def meddle(genomes):
        model.__init__(3, 2)
        model.compile()
        return train(genomes)

    history = model.func_evolve(meddle, pop_size=4, epochs=2, verbose=0)
    assert list(history) == ["loss", "size"]
    assert model.predict(X).shape == (8, 1)
