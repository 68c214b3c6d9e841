import copy
import inspect
import json
import os
import pickle
import random
import signal
import subprocess
import sys
import textwrap
import time

import numpy as np
import pytest

import kestrin
from kestrin.callbacks import BackupAndRestore, EarlyStopping, ModelCheckpoint

# A training run in a process of its own, backed up in ./backup; it writes its
# final network and history to the directory named last. KILL_AT=e makes it
# kill itself at the end of epoch e (before that epoch's backup).
CHILD = textwrap.dedent(
    """
    import json, os, signal, sys
    import numpy as np
    import kestrin
    from kestrin.callbacks import BackupAndRestore, EarlyStopping

    loop, optimizer, workers, seeded, out = sys.argv[1], sys.argv[2], int(sys.argv[3]), sys.argv[4] == "1", sys.argv[5]
    if seeded:
        kestrin.set_random_seed(7)
    rng = np.random.default_rng(0)
    x = rng.normal(size=(200, 3))
    y = np.sin(x.sum(axis=1, keepdims=True))
    model = kestrin.Model(3, 1, size=6)
    model.compile(optimizer, "mse")

    class KillAt:
        def on_epoch_end(self, epoch, logs):
            if epoch == int(os.environ.get("KILL_AT", "-1")):
                os.kill(os.getpid(), signal.SIGKILL)

    callbacks = [KillAt(), BackupAndRestore("backup"), EarlyStopping(patience=1000, restore_best_weights=True)]
    if loop == "evolve":
        history = model.evolve(x[:160], y[:160], pop_size=40, batch_size=40, epochs=20, verbose=0,
                               validation_data=(x[160:], y[160:]), callbacks=callbacks, workers=workers)
    else:
        def score(genomes):
            return [float(np.mean((g.predict(x[:40]) - y[:40]) ** 2)) for g in genomes]
        history = model.func_evolve(score, pop_size=30, epochs=20, verbose=0, callbacks=callbacks)
    model.save(os.path.join(out, "final.kn"))
    with open(os.path.join(out, "history.json"), "w") as f:
        json.dump(history, f)  # floats as repr: exact
    """
)


@pytest.fixture
def child(tmp_path):
    script = tmp_path / "child.py"
    script.write_text(CHILD)

    def start(work, out, config, seeded=True, kill_at=None):
        work.mkdir(exist_ok=True)
        out.mkdir(exist_ok=True)
        env = {**os.environ, "KILL_AT": str(kill_at if kill_at is not None else -1)}
        args = [sys.executable, str(script), *config, "1" if seeded else "0", str(out)]
        return subprocess.Popen(args, cwd=work, env=env, stderr=subprocess.PIPE)

    return start


def finished(process):
    _, err = process.communicate()
    assert process.returncode == 0, err.decode()


def result(out):
    return (out / "final.kn").read_bytes(), json.loads((out / "history.json").read_text())


CONFIGS = {
    "evolve-alpha-workers2": ["evolve", "alpha", "2"],
    "evolve-beta-workers2": ["evolve", "beta", "2"],
    "func_evolve-alpha": ["func", "alpha", "1"],
    "func_evolve-beta": ["func", "beta", "1"],
    "evolve-gamma-workers2": ["evolve", "gamma", "2"],
    "func_evolve-gamma": ["func", "gamma", "1"],
}


@pytest.mark.parametrize("config", CONFIGS.values(), ids=CONFIGS.keys())
def test_a_killed_seeded_run_resumes_to_the_uninterrupted_result(child, tmp_path, config):
    """Five kills per configuration, each at a random moment (while scoring, writing a backup or between epochs):
    the run started again ends with the network and history of the run that was never killed, and writes
    nothing but its backup directory, which it removes when it completes."""
    started = time.monotonic()
    finished(child(tmp_path / "whole", tmp_path / "whole-out", config))
    duration = time.monotonic() - started
    expected = result(tmp_path / "whole-out")
    delays = random.Random(" ".join(config))
    for k in range(5):
        work, out = tmp_path / f"work{k}", tmp_path / f"out{k}"
        process = child(work, out, config)
        try:
            process.wait(timeout=delays.uniform(0.1, duration))
        except subprocess.TimeoutExpired:
            process.send_signal(signal.SIGKILL)
        process.communicate()
        assert set(os.listdir(work)) <= {"backup"}
        finished(child(work, out, config))
        assert result(out) == expected, f"kill {k}"
        assert os.listdir(work) == []


def test_a_kill_between_epochs_resumes_there_seeded_or_not(child, tmp_path):
    config = CONFIGS["evolve-beta-workers2"]
    finished(child(tmp_path / "whole", tmp_path / "whole-out", config))
    killed = child(tmp_path / "work", tmp_path / "out", config, kill_at=6)
    killed.communicate()
    assert killed.returncode == -signal.SIGKILL
    # Backups are written by their own thread, which may lag behind these short epochs: the kill may land
    # before the first backup is in place, or while the next one is written (its temporary file is left).
    backup_dir = tmp_path / "work" / "backup"
    left = os.listdir(backup_dir) if backup_dir.exists() else []
    assert all(name == "run.backup" or (name.startswith(".kestrin-") and name.endswith(".tmp")) for name in left)
    finished(child(tmp_path / "work", tmp_path / "out", config))
    assert not (tmp_path / "work" / "backup").exists()
    assert result(tmp_path / "out") == result(tmp_path / "whole-out")

    # Unseeded: the same epochs, not the same numbers.
    killed = child(tmp_path / "free", tmp_path / "free-out", config, seeded=False, kill_at=6)
    killed.communicate()
    finished(child(tmp_path / "free", tmp_path / "free-out", config, seeded=False))
    _, history = result(tmp_path / "free-out")
    assert {key: len(values) for key, values in history.items()} == {"loss": 20, "val_loss": 20}


# ---- in process ---------------------------------------------------------------

rng = np.random.default_rng(1)
X = rng.uniform(-1.0, 1.0, size=(24, 2))
Y = np.tanh(X.sum(axis=1, keepdims=True))


def compiled(optimizer="alpha", inputs=2):
    model = kestrin.Model(inputs, 1)
    model.compile(optimizer, "mse")
    return model


class Epochs:
    def __init__(self):
        self.seen = []

    def on_epoch_begin(self, epoch, logs):
        self.seen.append(epoch)


def test_a_kept_backup_resumes_after_its_epoch_and_counts_save_freq_in_epochs(tmp_path):
    backup = BackupAndRestore(tmp_path / "b", save_freq=2, delete_checkpoint=False)
    first = compiled().evolve(X, Y, pop_size=4, epochs=5, verbose=0, callbacks=[backup])
    assert os.listdir(tmp_path / "b") == ["run.backup"]  # of epoch 4 (0-based 3)
    epochs = Epochs()
    again = compiled().evolve(X, Y, pop_size=4, epochs=5, verbose=0, callbacks=[epochs, backup])
    assert epochs.seen == [4]
    assert again["loss"][:4] == first["loss"][:4] and len(again["loss"]) == 5


def test_a_backup_of_another_call_is_refused_and_kept(tmp_path, capfd):
    backup = BackupAndRestore(str(tmp_path), delete_checkpoint=False)
    compiled().evolve(X, Y, pop_size=4, epochs=2, verbose=0, callbacks=[backup])
    saved = (tmp_path / "run.backup").read_bytes()
    calls = {
        "pop_size is 4, this call's is 6": lambda: compiled().evolve(X, Y, pop_size=6, epochs=3, callbacks=[backup]),
        "optimizer": lambda: compiled("beta").evolve(X, Y, pop_size=4, epochs=3, callbacks=[backup]),
        "x_train shape is (24, 2), this call's is (12, 2)": lambda: compiled().evolve(
            X[:12], Y[:12], pop_size=4, epochs=3, callbacks=[backup]
        ),
        "model": lambda: compiled(inputs=3).evolve(np.ones((24, 3)), Y, pop_size=4, epochs=3, callbacks=[backup]),
        "batch_size": lambda: compiled().evolve(X, Y, pop_size=4, batch_size=8, epochs=3, callbacks=[backup]),
        "kestrin callbacks": lambda: compiled().evolve(X, Y, pop_size=4, epochs=3, callbacks=[backup, EarlyStopping()]),
        "call is evolve, this call's is func_evolve": lambda: compiled().func_evolve(
            lambda genomes: [0.0] * len(genomes), pop_size=4, epochs=3, callbacks=[backup]
        ),
    }
    for mismatch, call in calls.items():
        with pytest.raises(ValueError, match="is of another call: its " + mismatch.split(" is ")[0]) as error:
            call()
        assert mismatch in str(error.value) or " is " not in mismatch
    assert (tmp_path / "run.backup").read_bytes() == saved
    assert capfd.readouterr().out == ""


def test_a_damaged_backup_is_refused_and_kept(tmp_path):
    backup = BackupAndRestore(str(tmp_path), delete_checkpoint=False)
    compiled().evolve(X, Y, pop_size=4, epochs=2, verbose=0, callbacks=[backup])
    path = tmp_path / "run.backup"
    saved = path.read_bytes()
    flipped = bytearray(saved)
    flipped[len(saved) // 2] ^= 0x04
    for damaged, defect in [(saved[:-10], "cut short"), (bytes(flipped), "checksum"), (b"", "does not begin")]:
        path.write_bytes(damaged)
        with pytest.raises(ValueError, match=defect):
            compiled().evolve(X, Y, pop_size=4, epochs=3, verbose=0, callbacks=[backup])
        assert path.read_bytes() == damaged


def test_initial_epoch_counts_from_there():
    epochs = Epochs()
    history = compiled().func_evolve(
        lambda genomes: [0.5] * len(genomes), pop_size=4, epochs=5, initial_epoch=3, verbose=0, callbacks=[epochs]
    )
    assert epochs.seen == [3, 4] and len(history["loss"]) == 2
    assert compiled().evolve(X, Y, pop_size=4, epochs=2, initial_epoch=2, verbose=0) == {"loss": []}
    with pytest.raises(ValueError, match="initial_epoch must be at least 0, got -1"):
        compiled().evolve(X, Y, epochs=2, initial_epoch=-1)


def test_initial_epoch_shows_real_epoch_numbers(capsys):
    compiled().evolve(X, Y, pop_size=4, epochs=3, initial_epoch=1, verbose=1)
    out = capsys.readouterr().out
    assert "Epoch 2/3" in out and "Epoch 3/3" in out and "Epoch 1/3" not in out


def test_settings_repr_pickle_and_bad_arguments(tmp_path):
    assert str(inspect.signature(BackupAndRestore)) == "(backup_dir, save_freq='epoch', delete_checkpoint=True)"
    backup = BackupAndRestore(tmp_path, save_freq=3, delete_checkpoint=False)
    assert (backup.backup_dir, backup.save_freq, backup.delete_checkpoint) == (str(tmp_path), 3, False)
    assert repr(backup) == f"BackupAndRestore(backup_dir={str(tmp_path)!r}, save_freq=3, delete_checkpoint=False)"
    assert repr(BackupAndRestore("d")) == "BackupAndRestore(backup_dir='d', save_freq='epoch', delete_checkpoint=True)"
    for copied in (pickle.loads(pickle.dumps(backup)), copy.deepcopy(backup), copy.copy(backup)):
        assert repr(copied) == repr(backup)
    for bad in (0, -1, True, "batch", 1.5):
        with pytest.raises(ValueError, match="save_freq must be 'epoch' or a number of epochs"):
            BackupAndRestore("d", save_freq=bad)
    with pytest.raises(ValueError, match="more than one BackupAndRestore"):
        compiled().evolve(X, Y, pop_size=4, epochs=1, callbacks=[BackupAndRestore("a"), BackupAndRestore("b")])
    with pytest.raises(ValueError, match="that __init__ has not set up"):
        compiled().evolve(X, Y, pop_size=4, epochs=1, callbacks=[BackupAndRestore.__new__(BackupAndRestore)])


def test_a_resumed_run_restores_the_kestrin_callbacks(tmp_path):
    checkpoint = ModelCheckpoint(str(tmp_path / "best.kn"), save_best_only=True)
    stopping = EarlyStopping(patience=50)
    backup = BackupAndRestore(str(tmp_path / "b"), delete_checkpoint=False)
    compiled().evolve(X, Y, pop_size=4, epochs=4, verbose=0, callbacks=[stopping, checkpoint, backup])
    progress = (stopping.wait, stopping.best, stopping.best_epoch, checkpoint.best)
    fresh_stopping, fresh_checkpoint = EarlyStopping(patience=50), ModelCheckpoint(str(tmp_path / "best.kn"), save_best_only=True)
    compiled().evolve(X, Y, pop_size=4, epochs=4, verbose=0, callbacks=[fresh_stopping, fresh_checkpoint, backup])
    assert (fresh_stopping.wait, fresh_stopping.best, fresh_stopping.best_epoch, fresh_checkpoint.best) == progress
