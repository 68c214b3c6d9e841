import math
import re
import signal
import sys
import threading
import time

import numpy as np
import pytest

import kestrin
from conftest import snapshot


def data(n, seed=0):
    rng = np.random.default_rng(seed)
    x = rng.uniform(-1.0, 1.0, size=(n, 2))
    return x, np.tanh(x.sum(axis=1, keepdims=True)) / 2


X, Y = data(16)


def compiled(**kwargs):
    model = kestrin.Model(2, 1)
    model.compile(**{"loss": "mse", **kwargs})
    return model


def fitness(genome):
    return float(np.mean((genome.predict(X) - Y) ** 2))


def train(genomes):
    return [fitness(g) for g in genomes]


def must_not_run(*args):
    raise AssertionError("a user function ran")


# Both loops on the same task; the model's loss on X, Y is what each loop minimises.
def run_evolve(model, y=Y, **kwargs):
    return model.evolve(X, y, **{"pop_size": 4, "verbose": 0, "validation_data": (X, Y), **kwargs})


def run_func(model, train_func=train, **kwargs):
    return model.func_evolve(train_func, **{"pop_size": 4, "verbose": 0, "validation_func": fitness, **kwargs})


LOOPS = pytest.mark.parametrize("run", [run_evolve, run_func], ids=["evolve", "func_evolve"])


def test_evolve_needs_a_loss_before_it_looks_at_its_arguments():
    model = kestrin.Model(2, 1)
    for message in ["You must compile your model before evolving. Use `model.compile(loss)`.",
                    "Please set the loss function uring compilation. Use `model.compile(loss)`."]:
        with pytest.raises(RuntimeError) as error:
            model.evolve("not", "arrays")
        assert str(error.value) == message
        model.compile(metrics=["mae"])


def z(*shape):
    return np.zeros(shape)


def width(name, got, kind, want):
    return f"Expected second dimension of {name} ({got}) to be equal to the number of {kind} of the model ({want})"


def rows(x_name, x_rows, y_name, y_rows):
    return f"Expected first dimension of {x_name} ({x_rows}) to be equal to the first dimension of {y_name} ({y_rows})"


@pytest.mark.parametrize(
    "x, y, validation, message",
    [
        (z(5, 3), z(5, 1), None, width("x_train", 3, "inputs", 2)),
        (z(5, 2), z(5, 2), None, width("y_train", 2, "outputs", 1)),
        (z(5, 2), z(4, 1), None, rows("x_train", 5, "y_train", 4)),
        (z(5), z(5, 1), None, width("x_train", 1, "inputs", 2)),
        # The training set is checked before the validation items are looked at.
        (z(4, 3), z(4, 1), ([1.0], "y"), width("x_train", 3, "inputs", 2)),
        (z(5, 2), z(5, 1), (z(5, 1), z(5, 1)), width("x_val", 1, "inputs", 2)),
        (z(5, 2), z(5, 1), (z(5, 2), z(5, 3)), width("y_val", 3, "outputs", 1)),
        (z(5, 2), z(5, 1), (z(5, 2), z(6, 1)), rows("x_val", 5, "y_val", 6)),
    ],
)
def test_shape_messages(x, y, validation, message):
    with pytest.raises(ValueError) as error:
        compiled().evolve(x, y, validation_data=validation)
    assert str(error.value) == message


X100, Y100 = data(100)


@pytest.mark.parametrize(
    "method, kwargs, error, words",
    [
        ("evolve", {"x_train": X100.tolist()}, TypeError, None),
        ("evolve", {"pop_size": "4"}, TypeError, None),
        ("evolve", {"unknown": 1}, TypeError, None),
        ("evolve", {"pop_size": 3}, ValueError, "pop_size"),
        ("evolve", {"pop_size": 0}, ValueError, "pop_size"),
        ("evolve", {"epochs": -1}, ValueError, "epochs"),
        ("evolve", {"batch_size": 0}, ValueError, "batch_size"),
        ("evolve", {"batch_size": -2}, ValueError, "batch_size"),
        ("evolve", {"x_train": z(0, 2), "y_train": z(0, 1)}, ValueError, "x_train"),
        ("evolve", {"validation_data": z(2, 5)}, TypeError, "validation_data"),
        ("evolve", {"validation_data": [z(5, 2), z(5, 1), None]}, ValueError, "validation_data"),
        ("evolve", {"validation_data": (z(5, 2), [[0.0]] * 5)}, TypeError, "y_val"),
        ("evolve", {"validation_data": (z(0, 2), z(0, 1))}, ValueError, "x_val"),
        ("func_evolve", {}, TypeError, None),
        ("func_evolve", {"train_func": must_not_run, "pop_size": "4"}, TypeError, None),
        ("func_evolve", {"train_func": must_not_run, "pop_size": 5}, ValueError, "pop_size"),
        ("func_evolve", {"train_func": must_not_run, "epochs": -1}, ValueError, "epochs"),
    ],
)
def test_bad_arguments_fail_before_anything_is_printed_or_changed(capfd, method, kwargs, error, words):
    model = compiled()
    before = snapshot(model)
    # batch_size 1 would print the warning if the checks came later.
    base = {"x_train": X100, "y_train": Y100, "batch_size": 1} if method == "evolve" else {}
    with pytest.raises(error, match=words):
        getattr(model, method)(**{**base, **kwargs})
    assert capfd.readouterr().out == ""
    assert snapshot(model) == before


def test_evolve_history_holds_the_final_networks_scores():
    model = compiled(metrics=["mae", "mape", "mae"], monitors=["size"])
    history = model.evolve(X, Y, pop_size=6, epochs=4, validation_data=[X[:5], Y[:5]], verbose=0)
    assert list(history) == ["loss", "mae", "mape", "val_loss", "val_mae", "val_mape", "size"]
    for key, values in history.items():
        assert len(values) == 4
        assert all(type(v) is (int if key == "size" else float) for v in values), key
    # One batch: the values are the model's final scores, and the best is never lost.
    assert history["loss"][-1] == model.evaluate(X, Y)[0]
    assert [history[k][-1] for k in ("val_loss", "val_mae", "val_mape")] == model.evaluate(X[:5], Y[:5])[:3]
    assert history["size"][-1] == model.size
    assert history["loss"] == sorted(history["loss"], reverse=True)
    assert list(compiled(metrics=["mae"]).evolve(X, Y, pop_size=4, epochs=1, verbose=0)) == ["loss", "mae"]


def test_func_evolve_history_and_the_best_genome():
    best = []
    model = kestrin.Model(2, 1)
    model.compile(monitors=["size"])
    history = model.func_evolve(train, pop_size=8, epochs=5, validation_func=lambda g: best.append(g) or 3, verbose=0)
    assert list(history) == ["loss", "val_loss", "size"]
    assert history["val_loss"] == [3.0] * 5 and all(type(v) is float for v in history["val_loss"])
    assert all(type(v) is int for v in history["size"]) and history["size"][-1] == model.size
    assert np.array_equal(best[-1].predict(X), model.predict(X))
    assert history["loss"][-1] == fitness(model)
    # The best survives every tournament, so a fixed fitness never gets worse.
    assert history["loss"] == sorted(history["loss"], reverse=True)


D = r"(\d+ms|\d+s|\d+:\d\d)"
F = r"\d+\.\d{6}"
BAR = r"\[[=>.]{30}\]"


def batch_lines(epochs, tail):
    """Four batches an epoch: three rewritten lines with a bar and ETA, then the epoch's last line."""
    return "".join(
        rf"(\rEpoch {e}/{epochs} - [123]/4 {BAR} - ETA: {D} - {tail}){{3}}"
        rf"\rEpoch {e}/{epochs} - 4/4 \[={{30}}\] - {D} {D}/step - {tail}\n"
        for e in range(1, epochs + 1)
    )


@pytest.mark.parametrize(
    "verbose, batch_size, epochs, compile_kwargs, validation, pattern",
    [
        (0, 3, 2, {}, False, ""),
        (1, 3, 2, {"monitors": ["size"]}, False, batch_lines(2, rf"loss\*: {F} - size: \d+")),
        (2, 3, 3, {"metrics": ["mae"]}, False,
         "".join(rf"\rEpoch {e}/3 - {D} - loss\*: {F} - mae\*: {F}\n" for e in (1, 2, 3))),
        (5, 5, 1, {}, False, rf"\rEpoch 1/1 - ETA: {D} - loss\*: {F}\rEpoch 1/1 - {D} - loss\*: {F}\n"),
        (1, -1, 1, {}, True, rf"\rEpoch 1/1 - 1/1 \[={{30}}\] - {D} {D}/step - loss: {F} - val_loss: {F}\n"),
    ],
)
def test_evolve_progress_lines(capfd, verbose, batch_size, epochs, compile_kwargs, validation, pattern):
    x, y = data(10)
    compiled(**compile_kwargs).evolve(x, y, pop_size=4, batch_size=batch_size, epochs=epochs, verbose=verbose,
                                      validation_data=(x, y) if validation else None)
    assert re.fullmatch(pattern, capfd.readouterr().out)


@pytest.mark.parametrize("verbose", [1, 5])
def test_func_evolve_prints_one_line_per_epoch(capfd, verbose):
    model = kestrin.Model(1, 1)
    model.compile(monitors=["size"])
    model.func_evolve(lambda g: np.zeros(len(g)), pop_size=4, epochs=3, verbose=verbose,
                      validation_func=lambda g: 0.25)
    line = r"\rEpoch {}/3 - (\d+ms|\d+s) - loss: 0\.000000 - val_loss: 0\.250000 - size: \d+\n"
    assert re.fullmatch("".join(line.format(e) for e in (1, 2, 3)), capfd.readouterr().out)


WARNING = (
    "WARNING! The batch size is less than 10% the number of samples in your dataset. If the dataset is highly "
    "nonlinear, individual batches may not represent your dataset correctly and the loss can be extremely "
    "underestimated. Make sure to use a validation set to monitor the actual loss closely.\n"
)


@pytest.mark.parametrize("batch_size, warned", [(9, True), (10, False), (-1, False), (1000, False)])
def test_batch_size_warning_threshold(capfd, batch_size, warned):
    compiled().evolve(X100, Y100, pop_size=2, batch_size=batch_size, epochs=1, verbose=0)
    assert capfd.readouterr().out == (WARNING if warned else "")


def test_training_arrays_are_read_not_changed():
    x, y = X.copy(), Y.copy()
    compiled().evolve(x, y, pop_size=4, batch_size=3, epochs=3, verbose=0)
    assert np.array_equal(x, X) and np.array_equal(y, Y)
    ints = np.arange(24, dtype=np.int64).reshape(2, 12).T
    history = compiled().evolve(ints, np.arange(12, dtype=np.int32) % 2, pop_size=4, epochs=2, verbose=0)
    assert len(history["loss"]) == 2


@pytest.mark.parametrize(
    "run, kwargs",
    [(run_evolve, {}), (run_func, {"train_func": must_not_run, "validation_func": must_not_run})],
    ids=["evolve", "func_evolve"],
)
def test_zero_epochs_trains_and_prints_nothing(capfd, run, kwargs):
    model = compiled(metrics=["mae"], monitors=["size"])
    before = snapshot(model)
    history = run(model, epochs=0, verbose=1, **kwargs)
    assert {"val_loss", "size"} <= set(history) and all(values == [] for values in history.values())
    assert snapshot(model) == before
    assert capfd.readouterr().out == ""


@pytest.mark.parametrize(
    "run, loss", [(run_evolve, lambda m: m.evaluate(X, Y)[0]), (run_func, fitness)], ids=["evolve", "func_evolve"]
)
def test_second_call_continues_from_the_first(run, loss):
    model = compiled()
    run(model, pop_size=10, epochs=5)
    reached = loss(model)
    # The first call's network is member 0 of the second population.
    assert run(model, pop_size=10, epochs=1)["loss"][0] <= reached


@LOOPS
def test_ctrl_c_stops_at_a_batch_and_leaves_the_model_unchanged(run):
    model = compiled(monitors=["size"])
    before = snapshot(model)
    # A timer signal: its handler runs on this thread when the loop, which trains
    # with the GIL released, takes it back to check for signals at a batch or epoch.
    previous = signal.signal(signal.SIGALRM, signal.default_int_handler)
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.05)
        with pytest.raises(KeyboardInterrupt):
            run(model, epochs=10**8)
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    assert snapshot(model) == before


def test_other_threads_run_while_a_model_trains():
    ticks, done = [], threading.Event()

    def tick():
        while not done.wait(0.05):
            ticks.append(1)

    x, y = data(2000)
    model = compiled()
    ticker = threading.Thread(target=tick)
    ticker.start()
    try:
        started = time.monotonic()
        model.evolve(x, y, pop_size=100, epochs=250, verbose=0)
        elapsed = time.monotonic() - started
    finally:
        done.set()
        ticker.join()
    # Holding the GIL throughout would allow a tick or two at most.
    assert len(ticks) >= max(4, 0.3 * elapsed / 0.05)


def test_threads_training_models_at_once_complete():
    x, y = data(500)
    models = [compiled(), compiled(), compiled()]
    shared = models[2]
    results, errors = {}, []

    def train(index, model):
        try:
            results[index] = model.evolve(x, y, pop_size=20, epochs=100, verbose=0)
        except BaseException as error:  # reported below
            errors.append(error)

    threads = [threading.Thread(target=train, args=(i, m)) for i, m in enumerate(models + [shared])]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert errors == [] and sorted(results) == [0, 1, 2, 3]
    assert all(len(h["loss"]) == 100 and math.isfinite(h["loss"][-1]) for h in results.values())
    # Each model holds the network its call ended with; the shared one, that of either call.
    finals = [h["loss"][-1] for _, h in sorted(results.items())]
    assert [m.evaluate(x, y)[0] for m in models[:2]] == pytest.approx(finals[:2])
    assert any(shared.evaluate(x, y)[0] == pytest.approx(final) for final in finals[2:])


@pytest.mark.parametrize(
    "run, kwargs, loss",
    [
        (run_evolve, {"y": np.full_like(Y, np.nan), "batch_size": 3}, math.nan),
        (run_func, {"train_func": lambda g: [math.nan] * len(g)}, sys.float_info.max),
    ],
    ids=["evolve", "func_evolve"],
)
def test_nan_losses_keep_the_network(run, kwargs, loss):
    model = compiled()
    before = snapshot(model)
    history = run(model, epochs=2, **kwargs)
    np.testing.assert_array_equal(history["loss"], [loss, loss])
    assert snapshot(model) == before


@pytest.mark.parametrize(
    "run",
    [lambda m: m.evolve(z(4, 0), z(4, 1), pop_size=4, epochs=1, verbose=0),
     lambda m: m.func_evolve(lambda g: [0.0] * len(g), pop_size=4, epochs=1, verbose=0)],
    ids=["evolve", "func_evolve"],
)
def test_a_network_that_cannot_evolve_raises_runtime_error_and_changes_nothing(run):
    model = kestrin.Model(0, 1)
    model.compile(loss="mse")
    before = snapshot(model)
    # Refused before any population is copied from it.
    with pytest.raises(RuntimeError, match="network to evolve breaks the connectivity rule"):
        run(model)
    assert snapshot(model) == before


@LOOPS
def test_a_population_that_cannot_fit_raises_memory_error_first(run):
    model = kestrin.Model(2, 1, size=2000)
    model.compile(loss="mse")
    before = snapshot(model)
    with pytest.raises(MemoryError, match=r"pop_size=16777216 networks of 2000 nodes"):
        run(model, pop_size=2**24, epochs=1)
    assert snapshot(model) == before


def test_ctrl_c_lands_while_a_large_population_is_built():
    model = kestrin.Model(2, 1, size=100)
    model.compile(loss="mse")
    previous = signal.signal(signal.SIGALRM, signal.default_int_handler)
    try:
        # Building these 20,000 networks takes seconds; the interrupt must not wait for it.
        signal.setitimer(signal.ITIMER_REAL, 0.2)
        started = time.monotonic()
        with pytest.raises(KeyboardInterrupt):
            model.func_evolve(must_not_run, pop_size=20000, epochs=1, verbose=0)
        assert time.monotonic() - started < 1.5
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)


def test_train_func_sees_parents_and_children_as_genomes():
    seen = []

    def record(genomes):
        seen.append(genomes)
        assert all(type(g) is kestrin.Genome for g in genomes)
        return np.zeros(len(genomes))

    history = kestrin.Model(2, 1).func_evolve(record, pop_size=6, epochs=2, verbose=0)
    assert [len(genomes) for genomes in seen] == [12, 12]
    # An uncompiled model trains, and its history holds the loss alone.
    assert history == {"loss": [0.0, 0.0]} and all(type(v) is float for v in history["loss"])
    # Kept genomes stay usable after training, and show their structure as a model does.
    genome = seen[0][0]
    assert genome.predict(np.zeros((3, 2))).shape == (3, 1)
    assert (genome.inputs, genome.outputs, genome.size) == (2, 1, len(genome.get_nodes()))
    assert all(0 <= a < b < genome.size for a, b, _ in genome.get_connections())
    with pytest.raises(AttributeError):
        genome.size = 3


@pytest.mark.parametrize(
    "result",
    [
        lambda n: [0.5] * n,
        lambda n: np.full(n, 0.5, dtype=np.float32),
        lambda n: [[0.5, 9.0]] * (n + 2),
    ],
)
def test_train_func_may_return_anything_numpy_converts(result):
    history = kestrin.Model(1, 1).func_evolve(lambda g: result(len(g)), pop_size=4, epochs=1, verbose=0)
    assert history["loss"][0] == 0.5


@pytest.mark.parametrize(
    "kwargs, error, words",
    [
        ({"train_func": lambda g: [0.0] * (len(g) - 1)}, ValueError, "Expected train_func to return 8 losses"),
        ({"train_func": lambda g: 0.0}, ValueError, "8 losses"),
        ({"train_func": lambda g: np.zeros((len(g), 0))}, ValueError, "8 losses"),
        ({"train_func": lambda g: []}, ValueError, "8 losses"),
        # What NumPy cannot convert raises NumPy's own error.
        ({"train_func": lambda g: ["x"] * len(g)}, ValueError, None),
        ({"train_func": lambda g: object()}, TypeError, None),
        ({"validation_func": lambda g: 1 / 0}, ZeroDivisionError, None),
        ({"validation_func": lambda g: "low"}, TypeError, None),
    ],
)
def test_results_that_cannot_be_used_raise_and_leave_the_model(kwargs, error, words):
    model = compiled()
    before = snapshot(model)
    with pytest.raises(error, match=words):
        run_func(model, epochs=2, **kwargs)
    assert snapshot(model) == before


def test_user_exceptions_pass_through_unchanged():
    raised = ValueError("from train_func")

    def fail(genomes):
        raise raised

    with pytest.raises(ValueError) as error:
        run_func(compiled(), fail)
    assert error.value is raised


def test_train_func_may_reinitialise_the_model_meanwhile():
    model = kestrin.Model(1, 1)
    model.compile(monitors=["size"])

    def meddle(genomes):
        model.__init__(3, 2)
        model.compile()
        return [0.0] * len(genomes)

    history = model.func_evolve(meddle, pop_size=4, epochs=2, verbose=0)
    assert list(history) == ["loss", "size"]
    assert model.predict(np.zeros((8, 1))).shape == (8, 1)


def test_evolve_rechecks_the_model_after_converting_its_arrays():
    # Converting a byte-swapped subclass runs __array_finalize__, which here
    # re-initialises the model: evolve must see the uncompiled model it left.
    model = compiled()
    armed = [False]

    class Reinitialising(np.ndarray):
        def __array_finalize__(self, obj):
            if armed[0]:
                armed[0] = False
                model.__init__(2, 1)

    x = X.astype(">f8").view(Reinitialising)
    armed[0] = True
    with pytest.raises(RuntimeError, match="must compile your model"):
        model.evolve(x, Y, pop_size=4, epochs=1, verbose=0)
