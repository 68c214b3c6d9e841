import csv
import inspect
import os
import pathlib

import numpy as np
import pytest

import kestrin
from conftest import snapshot
from kestrin.callbacks import EarlyStopping, ModelCheckpoint

rng = np.random.default_rng(0)
X = rng.uniform(-1.0, 1.0, size=(16, 2))
Y = np.tanh(X.sum(axis=1, keepdims=True)) / 2


def compiled(**kwargs):
    model = kestrin.Model(2, 1)
    model.compile(**{"loss": "mse", **kwargs})
    return model


def scheduled(losses):
    """A train_func whose epoch e has the loss losses[e]. One candidate scores it, the others a hair more: one whose
    predictions differ from every earlier epoch's best, so that each epoch's best is a network of its own."""
    epochs, seen = iter(losses), set()

    def train(genomes):
        value = next(epochs)
        prints = [g.predict(X).tobytes() for g in genomes]
        best = next((i for i in reversed(range(len(genomes))) if prints[i] not in seen), len(genomes) - 1)
        seen.add(prints[best])
        return [value if i == best else value + 1e-9 for i in range(len(genomes))]

    return train


def run_schedule(model, losses, **kwargs):
    return model.func_evolve(scheduled(losses), pop_size=4, epochs=len(losses), verbose=0, **kwargs)


def loaded(path):
    return snapshot(kestrin.load(str(path)))


class Recorder:
    def __init__(self, clear=False):
        self.calls, self.clear = [], clear

    def record(self, *call):
        self.calls.append(call)
        if self.clear and isinstance(call[-1], dict):
            call[-1].clear()

    def set_model(self, model):
        self.record("set_model", model)

    def on_train_begin(self, logs):
        self.record("on_train_begin", logs)

    def on_epoch_begin(self, epoch, logs):
        self.record("on_epoch_begin", epoch, logs)

    def on_epoch_end(self, epoch, logs):
        self.record("on_epoch_end", epoch, dict(logs) if self.clear else logs)

    def on_train_end(self, logs):
        self.record("on_train_end", logs)


def test_hooks_run_in_keras_order_each_with_a_new_logs_dict():
    model = compiled(metrics=["mae"], monitors=["size"])
    clearing, recorder = Recorder(clear=True), Recorder()
    history = model.evolve(X, Y, pop_size=4, epochs=2, verbose=0, validation_data=(X, Y),
                           callbacks=[clearing, object(), recorder])
    logs = [{key: values[e] for key, values in history.items()} for e in range(2)]
    assert recorder.calls == [
        ("set_model", model), ("on_train_begin", {}),
        ("on_epoch_begin", 0, {}), ("on_epoch_end", 0, logs[0]),
        ("on_epoch_begin", 1, {}), ("on_epoch_end", 1, logs[1]),
        ("on_train_end", logs[1]),
    ]
    assert list(logs[0]) == ["loss", "mae", "val_loss", "val_mae", "size"]
    assert [type(v) for v in recorder.calls[3][2].values()] == [float] * 4 + [int]

    recorder = Recorder()
    model.func_evolve(lambda g: [0.0] * len(g), pop_size=4, epochs=0, callbacks=(recorder,))
    assert recorder.calls == [("set_model", model), ("on_train_begin", {}), ("on_train_end", {})]


@pytest.mark.parametrize("callbacks", [3, "abc", {"a": 1}, Recorder()], ids=["int", "str", "dict", "callback"])
def test_callbacks_must_be_a_list_or_tuple(capfd, callbacks):
    model = compiled()
    before = snapshot(model)
    for run in [lambda: model.evolve(X, Y, pop_size=4, epochs=1, callbacks=callbacks),
                lambda: model.func_evolve(scheduled([0.0]), pop_size=4, epochs=1, callbacks=callbacks)]:
        with pytest.raises(TypeError, match="callbacks must be a list or tuple of callbacks, not "):
            run()
    assert snapshot(model) == before and capfd.readouterr().out == ""
    assert getattr(callbacks, "calls", []) == []


class StopAt:
    def __init__(self, model, epoch):
        self.model, self.epoch = model, epoch

    def on_epoch_end(self, epoch, logs):
        self.model.stop_training = epoch == self.epoch


def test_stop_training_ends_the_call_after_that_epoch_with_its_best(tmp_path):
    model = compiled()
    assert model.stop_training is False
    model.stop_training = 1  # any object, by its truth value; a new call resets it
    assert model.stop_training is True
    with pytest.raises(AttributeError):
        del model.stop_training
    history = model.evolve(X, Y, pop_size=4, epochs=50, verbose=0,
                           callbacks=[ModelCheckpoint(tmp_path / "e{epoch}.kn"), StopAt(model, 2)])
    assert len(history["loss"]) == 3 and model.stop_training is True
    assert sorted(os.listdir(tmp_path)) == ["e1.kn", "e2.kn", "e3.kn"]
    # A checkpoint holds what the model would have received had training stopped there.
    assert snapshot(model) == loaded(tmp_path / "e3.kn")

    def train(genomes):
        model.stop_training = True
        return [0.0] * len(genomes)

    assert len(model.func_evolve(train, pop_size=4, epochs=10, verbose=0)["loss"]) == 1


@pytest.mark.parametrize("hook", ["set_model", "on_train_begin", "on_epoch_begin", "on_epoch_end", "on_train_end"])
@pytest.mark.parametrize("loop", ["evolve", "func_evolve"])
def test_a_callback_that_raises_ends_the_call_and_leaves_the_model(hook, loop):
    class Failure(Exception):
        pass

    def fail(self, *args):
        raise Failure(hook)

    model = compiled()
    before = snapshot(model)
    callbacks = [type("Failing", (), {hook: fail})()]
    with pytest.raises(Failure):
        if loop == "evolve":
            model.evolve(X, Y, pop_size=4, epochs=2, verbose=0, callbacks=callbacks)
        else:
            run_schedule(model, [1.0, 0.5], callbacks=callbacks)
    assert snapshot(model) == before


@pytest.fixture(scope="module")
def keras():
    try:
        import keras
    except ImportError as error:
        pytest.skip(f"Keras cannot be imported: {error}")
    return keras


@pytest.mark.keras
@pytest.mark.parametrize(
    "losses, kwargs, epochs",
    [
        ([5, 4, 4, 4, 4, 4], {"patience": 2}, 4),
        ([3, 3, 3], {}, 2),  # patience 0 still runs a second epoch, as Keras does
        ([5, 4.8, 4.6, 3, 3], {"min_delta": 0.5, "patience": 1}, 2),
        ([5, 5, 5, 5], {"baseline": 2.0, "patience": 2}, 2),
        ([5, 4, 3, 2.5, 2.4, 2.3], {"baseline": 2.0, "patience": 2}, 6),
    ],
)
def test_early_stopping_stops_where_keras_does(keras, losses, kwargs, epochs):
    ours = EarlyStopping(**kwargs)
    theirs = keras.callbacks.EarlyStopping(monitor="loss", mode="min", **kwargs)
    assert len(run_schedule(compiled(), losses, callbacks=[ours])["loss"]) == epochs
    assert len(run_schedule(compiled(), losses, callbacks=[theirs])["loss"]) == epochs
    assert (ours.wait, ours.stopped_epoch, ours.best_epoch) == (theirs.wait, theirs.stopped_epoch, theirs.best_epoch)
    assert ours.best == float(theirs.best)


def test_restore_best_weights_gives_the_best_epochs_network(tmp_path):
    for restore, expected in [(True, "2.kn"), (False, "4.kn")]:
        model = compiled()
        stopping = EarlyStopping(patience=2, restore_best_weights=restore)
        history = run_schedule(model, [3, 1, 2, 2, 2, 2],
                               callbacks=[ModelCheckpoint(str(tmp_path / "{epoch}.kn")), stopping])
        assert history["loss"] == [3, 1, 2, 2]
        assert (stopping.best, stopping.best_epoch, stopping.stopped_epoch, stopping.wait) == (1.0, 1, 3, 2)
        assert snapshot(model) == loaded(tmp_path / expected)
    assert loaded(tmp_path / "2.kn") != loaded(tmp_path / "4.kn")


def test_checkpoint_names_files_by_epoch_and_logs_and_saves_only_improvements(tmp_path):
    checkpoint = ModelCheckpoint(tmp_path / "run" / "{epoch:03d}-{loss:.1f}.kn", save_best_only=True)
    model = compiled()
    run_schedule(model, [3, 1, 2, 0.5], callbacks=[checkpoint])
    assert sorted(os.listdir(tmp_path / "run")) == ["001-3.0.kn", "002-1.0.kn", "004-0.5.kn"]
    assert checkpoint.best == 0.5 and snapshot(model) == loaded(tmp_path / "run" / "004-0.5.kn")


@pytest.mark.parametrize(
    "callback, error, message",
    [
        (EarlyStopping("val_loss"), ValueError,
         r"EarlyStopping monitors 'val_loss', which is not in the logs; the logs hold \['loss'\]"),
        (ModelCheckpoint("m.kn", monitor="mae", save_best_only=True), ValueError,
         r"ModelCheckpoint monitors 'mae', which is not in the logs"),
        (ModelCheckpoint("m-{acc}.kn"), KeyError,
         r"ModelCheckpoint cannot fill the field 'acc' of the filepath 'm-\{acc\}.kn'; the fields are \['loss', "
         r"'epoch'\]"),
    ],
)
def test_unknown_names_fail_at_the_end_of_the_first_epoch(tmp_path, monkeypatch, callback, error, message):
    monkeypatch.chdir(tmp_path)
    model = compiled()
    before = snapshot(model)
    epochs = []
    with pytest.raises(error, match=message):
        model.func_evolve(lambda g: epochs.append(1) or [0.0] * len(g), pop_size=4, epochs=5, verbose=0,
                          callbacks=[callback])
    assert epochs == [1] and snapshot(model) == before and os.listdir(tmp_path) == []


def test_types_show_their_settings():
    assert kestrin.callbacks.__name__ == "kestrin.callbacks"
    assert str(inspect.signature(EarlyStopping)) == (
        "(monitor='loss', min_delta=0.0, patience=0, baseline=None, restore_best_weights=False)")
    assert str(inspect.signature(ModelCheckpoint)) == "(filepath, monitor='loss', save_best_only=False)"
    assert repr(EarlyStopping()) == (
        "EarlyStopping(monitor='loss', min_delta=0.0, patience=0, baseline=None, restore_best_weights=False)")
    stopping = EarlyStopping("val_mae", -0.5, 3, 1, restore_best_weights=True)
    assert repr(stopping) == (
        "EarlyStopping(monitor='val_mae', min_delta=0.5, patience=3, baseline=1.0, restore_best_weights=True)")
    assert (stopping.monitor, stopping.patience, stopping.baseline, stopping.best, stopping.wait) == (
        "val_mae", 3, 1.0, None, 0)
    checkpoint = ModelCheckpoint(pathlib.Path("out", "{epoch}.kn"), "val_loss", True)
    assert repr(checkpoint) == "ModelCheckpoint(filepath='out/{epoch}.kn', monitor='val_loss', save_best_only=True)"
    assert (checkpoint.filepath, checkpoint.save_best_only, checkpoint.best) == ("out/{epoch}.kn", True, None)
    for make in [lambda: EarlyStopping(monitor=3), lambda: EarlyStopping(baseline="x"),
                 lambda: ModelCheckpoint(b"m.kn"), lambda: ModelCheckpoint(), lambda: ModelCheckpoint(3)]:
        with pytest.raises(TypeError):
            make()


@pytest.mark.keras
def test_keras_csv_logger_and_lambda_callback(keras, tmp_path):
    model = compiled(metrics=["mae"])
    path = tmp_path / "log.csv"
    stop = keras.callbacks.LambdaCallback(on_epoch_end=lambda epoch, logs: StopAt(model, 1).on_epoch_end(epoch, logs))
    history = model.evolve(X, Y, pop_size=4, epochs=10, verbose=0, validation_data=(X, Y),
                           callbacks=[keras.callbacks.CSVLogger(str(path)), stop])
    with open(path, newline="") as file:
        rows = list(csv.DictReader(file))
    assert len(history["loss"]) == 2 and [int(row["epoch"]) for row in rows] == [0, 1]
    for key in ["loss", "mae", "val_loss", "val_mae"]:
        assert [float(row[key]) for row in rows] == history[key]


@pytest.mark.parametrize("kind", [EarlyStopping, ModelCheckpoint])
def test_a_str_subclass_monitor_is_kept_as_plain_text(tmp_path, kind):
    # A subclass's __hash__ re-initialising the callback freed the monitor being looked up.
    def make(**kwargs):
        return kind(**kwargs) if kind is EarlyStopping else kind(str(tmp_path / "m.kn"), save_best_only=True, **kwargs)

    class Evil(str):
        def __hash__(self):
            callback.__init__(**({} if kind is EarlyStopping else {"filepath": str(tmp_path / "m.kn")}))
            return str.__hash__(self)

        __eq__ = str.__eq__

    callback = make(monitor=Evil("loss"))
    assert type(callback.monitor) is str
    state = callback.__reduce__()[2]
    state["monitor"] = Evil("loss")
    callback.__setstate__(state)
    assert type(callback.monitor) is str
    compiled().evolve(X, Y, pop_size=4, epochs=3, verbose=0, callbacks=[callback])


@pytest.mark.keras
def test_keras_history_progbar_and_callback_list(keras, capsys):
    from tqdm.keras import TqdmCallback

    model = compiled(metrics=["mae"])
    history_callback, batches = keras.callbacks.History(), []
    record = keras.callbacks.LambdaCallback(on_train_batch_end=lambda batch, logs: batches.append((batch, logs)))
    callbacks = keras.callbacks.CallbackList([history_callback, keras.callbacks.ProgbarLogger(), record,
                                              keras.callbacks.TerminateOnNaN(), keras.callbacks.EarlyStopping(),
                                              TqdmCallback(verbose=0)])
    history = model.evolve(X, Y, pop_size=4, epochs=3, batch_size=4, verbose=1, callbacks=callbacks)
    assert model.history is history_callback and history_callback.history == history
    assert history_callback.params == {"verbose": 1, "epochs": 3, "steps": 4}
    out = capsys.readouterr().out
    assert "Epoch 3/3" in out and "4/4" in out
    # Each batch sees the epoch's running means so far; the last of an epoch, the epoch's values.
    assert [b for b, _ in batches] == [0, 1, 2, 3] * 3
    assert [logs for b, logs in batches if b == 3] == [{"loss": a, "mae": b} for a, b in
                                                      zip(history["loss"], history["mae"])]
    # func_evolve has one step per epoch, and a model pickles with what callbacks set on it.
    model.func_evolve(lambda genomes: [0.0] * len(genomes), pop_size=4, epochs=2, verbose=0,
                      callbacks=[keras.callbacks.History()])
    assert model.history.params["steps"] == 1
    import pickle
    assert pickle.loads(pickle.dumps(model)).history.history == model.history.history


@pytest.mark.keras
def test_keras_callbacks_that_need_keras_internals_name_what_they_need(keras, tmp_path):
    keras_callbacks = keras.callbacks
    cases = [
        (keras_callbacks.ReduceLROnPlateau(), AttributeError, "learning_rate"),
        (keras_callbacks.LearningRateScheduler(lambda epoch, rate: rate), AttributeError, "learning_rate"),
        (keras_callbacks.EarlyStopping(monitor="loss", restore_best_weights=True), AttributeError,
         r"kestrin\.callbacks\.EarlyStopping\(restore_best_weights=True\)"),
        (keras_callbacks.ModelCheckpoint(str(tmp_path / "m.keras")), TypeError, r"kestrin\.callbacks\.ModelCheckpoint"),
        (keras_callbacks.ModelCheckpoint(str(tmp_path / "m.weights.h5"), save_weights_only=True), AttributeError,
         r"kestrin\.callbacks\.ModelCheckpoint"),
        (keras_callbacks.BackupAndRestore(str(tmp_path / "backup")), AttributeError,
         r"kestrin\.callbacks\.BackupAndRestore"),
    ]
    for callback, error, named in cases:
        model = compiled()
        before = snapshot(model)
        with pytest.raises(error, match=named):
            model.evolve(X, Y, pop_size=4, epochs=2, verbose=0, callbacks=[callback])
        assert snapshot(model) == before, callback
    assert not hasattr(compiled(), "optimizer")  # hasattr answers as before
