import os
import threading
import time

import numpy as np
import pytest

import kestrin

RNG = np.random.default_rng(12)
X = RNG.normal(size=(5000, 8))
Y = np.stack([np.tanh(X[:, :4].sum(axis=1)), X[:, 4] * X[:, 5]], axis=1)


def trained(size=40):
    model = kestrin.Model(8, 2, size=size)
    model.compile(loss="mse", metrics=["mae", "mape"])
    model.evolve(X[:300], Y[:300], pop_size=10, epochs=3, verbose=0)
    return model


def bits(array):
    return np.asarray(array, dtype=np.float64).view(np.int64)


@pytest.mark.parametrize("value, error", [(0, ValueError), (-2, ValueError), (-(2**70), ValueError),
                                          (1.0, TypeError), ("2", TypeError), (True, TypeError), (None, TypeError)])
def test_bad_workers_fail_before_anything_runs(capfd, value, error):
    model = kestrin.Model(8, 2, size=12)
    model.compile(loss="mse")
    before = model.get_connections()
    calls = [lambda: model.evolve(X[:10], Y[:10], pop_size=4, epochs=2, batch_size=1, workers=value),
             lambda: model.predict(X, workers=value),
             lambda: model.evaluate(X, Y, workers=value)]
    for call in calls:
        with pytest.raises(error, match="workers"):
            call()
    assert capfd.readouterr().out == ""  # not even the small-batch warning
    assert model.get_connections() == before


@pytest.mark.parametrize("workers", [2, 3, -1, 2**40])
def test_predict_and_evaluate_give_one_threads_bits(workers):
    model = trained()
    for rows in [1, 2, 1500, 5000]:
        assert np.array_equal(bits(model.predict(X[:rows], workers=workers)), bits(model.predict(X[:rows])))
        assert bits(model.evaluate(X[:rows], Y[:rows], workers=workers)).tolist() == \
            bits(model.evaluate(X[:rows], Y[:rows])).tolist()

    genomes = []
    model.func_evolve(lambda g: genomes.extend(g) or [0.0] * len(g), pop_size=2, epochs=1, verbose=0)
    genome = genomes[0]
    assert np.array_equal(bits(genome.predict(X, workers=workers)), bits(genome.predict(X)))


def test_evolve_with_workers_scores_as_evaluate_does():
    # With the whole set as one batch, the last loss is the returned network's score.
    for workers in [2, -1]:
        model = kestrin.Model(8, 2, size=20)
        model.compile(loss="mse", metrics=["mae"])
        history = model.evolve(X[:1200], Y[:1200], pop_size=20, epochs=4, verbose=0, workers=workers,
                               validation_data=(X[1200:3500], Y[1200:3500]))
        assert history["loss"][-1] == model.evaluate(X[:1200], Y[:1200])[0]
        assert [history["val_loss"][-1], history["val_mae"][-1]] == model.evaluate(X[1200:3500], Y[1200:3500])


@pytest.mark.skipif(not hasattr(kestrin, "set_random_seed"), reason="needs seeded runs")
def test_seeded_evolve_is_the_same_for_every_workers_value():
    runs = []
    for workers in [1, 2, -1]:
        kestrin.set_random_seed(5)
        model = kestrin.Model(8, 2, size=16)
        model.compile(loss="mse", metrics=["mae"], monitors=["size"])
        history = model.evolve(X[:600], Y[:600], pop_size=20, epochs=5, batch_size=200, verbose=0,
                               validation_data=(X[600:2800], Y[600:2800]), workers=workers)
        runs.append((history, model.get_connections(), bits(model.predict(X)).tolist()))
    assert runs[0] == runs[1] == runs[2]


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
def test_a_forked_child_trains_with_and_without_workers():
    model = trained(size=16)
    model.predict(X, workers=2)  # threads used in the parent first
    pid = os.fork()
    if pid == 0:
        try:
            for workers in [1, 2]:
                model.evolve(X[:2000], Y[:2000], pop_size=6, epochs=2, verbose=0, workers=workers)
                model.predict(X, workers=workers)
            os._exit(0)
        except BaseException:
            os._exit(1)
    _, status = os.waitpid(pid, 0)
    assert os.WIFEXITED(status) and os.WEXITSTATUS(status) == 0


@pytest.mark.parametrize("workers", [1, 2])
def test_other_threads_run_while_predict_and_evaluate_score(workers):
    model = kestrin.Model(8, 2, size=120)
    model.compile(loss="mse")
    x = np.tile(X, (80, 1))
    y = np.tile(Y, (80, 1))
    for call in [lambda: model.predict(x, workers=workers), lambda: model.evaluate(x, y, workers=workers)]:
        start = time.perf_counter()
        call()
        if time.perf_counter() - start < 0.1:
            pytest.skip("too fast here to show ticks")
        ticks = 0
        stop = threading.Event()

        def tick():
            nonlocal ticks
            while not stop.is_set():
                ticks += 1
                time.sleep(0.005)

        ticker = threading.Thread(target=tick)
        ticker.start()
        time.sleep(0.02)
        before = ticks
        call()
        stop.set()
        ticker.join()
        assert ticks - before >= 5


def test_threads_sharing_a_model_get_its_results():
    model = trained(size=24)
    expected = bits(model.predict(X[:3000]))
    failures = []

    def use():
        try:
            for _ in range(5):
                if not np.array_equal(bits(model.predict(X[:3000], workers=2)), expected):
                    failures.append("predict")
                model.evaluate(X[:3000], Y[:3000], workers=2)
        except BaseException as error:  # noqa: BLE001 - reported below
            failures.append(repr(error))

    threads = [threading.Thread(target=use) for _ in range(3)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert failures == []


def test_the_process_exits_cleanly_while_daemon_threads_train_and_score():
    # CPython ends such threads at exit with a forced unwind that must pass through kestrin's frames.
    script = """
import threading, time, numpy as np, kestrin
x = np.random.rand(3000, 4)
def model():
    m = kestrin.Model(4, 2); m.compile(loss="mse"); return m
def forever(call):
    threading.Thread(target=lambda: [call() for _ in iter(int, 1)], daemon=True).start()
forever(lambda: model().evolve(x, x[:, :2], epochs=10**6, verbose=0))
forever(lambda: model().func_evolve(lambda gs: [float(g.predict(x[:300]).mean()) for g in gs], pop_size=10,
                                    epochs=10**6, verbose=0))
forever(lambda: model().predict(np.random.rand(100000, 4), workers=2))
forever(lambda: model().evaluate(x, x[:, :2]))
time.sleep(1.0)
"""
    import subprocess
    import sys

    for _ in range(2):
        done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
        assert done.returncode == 0, done.stderr[-2000:]


def test_workers_never_start_more_threads_than_usable_cores():
    cores = len(os.sched_getaffinity(0))
    before = len(os.listdir("/proc/self/task"))
    seen = []

    class Count:
        def on_epoch_end(self, epoch, logs):
            seen.append(len(os.listdir("/proc/self/task")))

    model = kestrin.Model(8, 2)
    model.compile(loss="mse")
    model.evolve(X[:50], Y[:50], pop_size=400, epochs=2, verbose=0, workers=10**6, callbacks=[Count()])
    assert max(seen) <= before + cores
