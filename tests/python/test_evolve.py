import math
import re
import signal

import numpy as np
import pytest

import kestrin

WARNING = (
    "WARNING! The batch size is less than 10% the number of samples in your dataset. If the dataset is highly "
    "nonlinear, individual batches may not represent your dataset correctly and the loss can be extremely "
    "underestimated. Make sure to use a validation set to monitor the actual loss closely.\n"
)
DURATION = r"(\d+ms|\d+s|\d+:\d\d)"


def data(n=10, inputs=2, outputs=1, seed=0):
    rng = np.random.default_rng(seed)
    x = rng.uniform(-1.0, 1.0, size=(n, inputs))
    y = np.tanh(x.sum(axis=1, keepdims=True)) * np.ones((1, outputs)) / 2
    return x, y


def compiled(inputs=2, outputs=1, **kwargs):
    model = kestrin.Model(inputs, outputs)
    model.compile(**{"loss": "mse", **kwargs})
    return model


def snapshot(model):
    return model.size, model.get_nodes(), model.get_connections()


def test_refuses_a_model_without_compile_or_loss_before_looking_at_arguments():
    with pytest.raises(RuntimeError) as error:
        kestrin.Model(2, 1).evolve("not", "arrays")
    assert str(error.value) == "You must compile your model before evolving. Use `model.compile(loss)`."

    model = kestrin.Model(2, 1)
    model.compile(metrics=["mae"])
    with pytest.raises(RuntimeError) as error:
        model.evolve("not", "arrays")
    assert str(error.value) == "Please set the loss function uring compilation. Use `model.compile(loss)`."


def test_arguments_must_be_arrays_and_ints():
    model = compiled()
    x, y = data()
    with pytest.raises(TypeError):
        model.evolve(x.tolist(), y)
    with pytest.raises(TypeError):
        model.evolve(x, y, pop_size="4")
    with pytest.raises(TypeError):
        model.evolve(x, y, unknown=1)


@pytest.mark.parametrize(
    "x_shape, y_shape, message",
    [
        ((5, 3), (5, 1), "Expected second dimension of x_train (3) to be equal to the number of inputs of the model (2)"),
        ((5, 2), (5, 2), "Expected second dimension of y_train (2) to be equal to the number of outputs of the model (1)"),
        ((5, 2), (4, 1), "Expected first dimension of x_train (5) to be equal to the first dimension of y_train (4)"),
        ((5,), (5, 1), "Expected second dimension of x_train (1) to be equal to the number of inputs of the model (2)"),
    ],
)
def test_shape_messages_for_the_training_set(x_shape, y_shape, message):
    with pytest.raises(ValueError) as error:
        compiled().evolve(np.zeros(x_shape), np.zeros(y_shape))
    assert str(error.value) == message


@pytest.mark.parametrize(
    "x_shape, y_shape, message",
    [
        ((5, 1), (5, 1), "Expected second dimension of x_val (1) to be equal to the number of inputs of the model (2)"),
        ((5, 2), (5, 3), "Expected second dimension of y_val (3) to be equal to the number of outputs of the model (1)"),
        ((5, 2), (6, 1), "Expected first dimension of x_val (5) to be equal to the first dimension of y_val (6)"),
    ],
)
def test_shape_messages_for_the_validation_set(x_shape, y_shape, message):
    x, y = data()
    with pytest.raises(ValueError) as error:
        compiled().evolve(x, y, validation_data=(np.zeros(x_shape), np.zeros(y_shape)))
    assert str(error.value) == message


def test_training_width_is_reported_before_validation_items_are_checked():
    with pytest.raises(ValueError, match="x_train"):
        compiled().evolve(np.zeros((4, 3)), np.zeros((4, 1)), validation_data=([1.0], "y"))


@pytest.mark.parametrize(
    "kwargs, error, word",
    [
        ({"pop_size": 3}, ValueError, "pop_size"),
        ({"pop_size": 0}, ValueError, "pop_size"),
        ({"pop_size": -2}, ValueError, "pop_size"),
        ({"epochs": -1}, ValueError, "epochs"),
        ({"batch_size": 0}, ValueError, "batch_size"),
        ({"batch_size": -2}, ValueError, "batch_size"),
        ({"validation_data": np.zeros((2, 5))}, TypeError, "validation_data"),
        ({"validation_data": {"x": 1}}, TypeError, "validation_data"),
        ({"validation_data": (np.zeros((5, 2)),)}, ValueError, "validation_data"),
        ({"validation_data": [np.zeros((5, 2)), np.zeros((5, 1)), None]}, ValueError, "validation_data"),
        ({"validation_data": (np.zeros((5, 2)), [[0.0]] * 5)}, TypeError, "y_val"),
        ({"validation_data": (np.zeros((0, 2)), np.zeros((0, 1)))}, ValueError, "x_val"),
    ],
)
def test_bad_arguments_fail_before_anything_is_printed_or_changed(capfd, kwargs, error, word):
    model = compiled()
    before = snapshot(model)
    x, y = data(n=100)
    with pytest.raises(error, match=word):
        # batch_size 1 would print the warning if the checks came later.
        model.evolve(x, y, **{"batch_size": 1, **kwargs})
    assert capfd.readouterr().out == ""
    assert snapshot(model) == before


def test_empty_training_set_is_rejected():
    with pytest.raises(ValueError, match="x_train"):
        compiled().evolve(np.zeros((0, 2)), np.zeros((0, 1)))


def test_validation_data_may_be_a_list(capfd):
    x, y = data()
    history = compiled().evolve(x, y, pop_size=4, epochs=1, validation_data=[x, y], verbose=0)
    assert list(history) == ["loss", "val_loss"]


def test_verbose_zero_prints_nothing(capfd):
    x, y = data()
    compiled().evolve(x, y, pop_size=4, batch_size=3, epochs=2, verbose=0)
    assert capfd.readouterr().out == ""


def test_verbose_one_rewrites_a_line_per_batch(capfd):
    x, y = data(n=10)
    compiled(monitors=["size"]).evolve(x, y, pop_size=4, batch_size=3, epochs=2)
    out = capfd.readouterr().out
    assert out.count("\r") == 8 and out.count("\n") == 2
    lines = out.split("\r")[1:]
    bar = r"\[[=>.]{30}\]"
    assert re.fullmatch(rf"Epoch 1/2 - 1/4 {bar} - ETA: {DURATION} - loss\*: \d+\.\d{{6}} - size: \d+", lines[0])
    assert re.fullmatch(
        rf"Epoch 2/2 - 4/4 \[={{30}}\] - {DURATION} {DURATION}/step - loss\*: \d+\.\d{{6}} - size: \d+\n", lines[-1]
    )


def test_verbose_two_prints_one_line_per_epoch(capfd):
    x, y = data(n=10)
    compiled(metrics=["mae"]).evolve(x, y, pop_size=4, batch_size=3, epochs=3, verbose=2)
    lines = capfd.readouterr().out.split("\r")[1:]
    assert len(lines) == 3
    for e, line in enumerate(lines, 1):
        assert re.fullmatch(rf"Epoch {e}/3 - {DURATION} - loss\*: \d+\.\d{{6}} - mae\*: \d+\.\d{{6}}\n", line)


def test_other_verbose_prints_every_batch_without_bar(capfd):
    x, y = data(n=10)
    compiled().evolve(x, y, pop_size=4, batch_size=5, epochs=1, verbose=5)
    lines = capfd.readouterr().out.split("\r")[1:]
    assert re.fullmatch(rf"Epoch 1/1 - ETA: {DURATION} - loss\*: \d+\.\d{{6}}", lines[0])
    assert re.fullmatch(rf"Epoch 1/1 - {DURATION} - loss\*: \d+\.\d{{6}}\n", lines[1])


def test_one_batch_shows_no_mark_and_validation_values(capfd):
    x, y = data()
    compiled().evolve(x, y, pop_size=4, epochs=1, validation_data=(x, y))
    line = capfd.readouterr().out
    assert re.fullmatch(
        rf"\rEpoch 1/1 - 1/1 \[={{30}}\] - {DURATION} {DURATION}/step - loss: \d+\.\d{{6}} - val_loss: \d+\.\d{{6}}\n",
        line,
    )


def test_history_keys_order_and_types():
    x, y = data(n=12)
    model = compiled(loss="mse", metrics=["mae", "mape", "mae"], monitors=["size"])
    history = model.evolve(x, y, pop_size=6, epochs=4, validation_data=(x[:5], y[:5]), verbose=0)
    assert list(history) == ["loss", "mae", "mape", "val_loss", "val_mae", "val_mape", "size"]
    for key, values in history.items():
        assert len(values) == 4
        assert all(type(v) is (int if key == "size" else float) for v in values), key

    # One batch: the values are the model's final scores, and the best is never lost.
    assert history["loss"][-1] == model.evaluate(x, y)[0]
    assert [history["val_loss"][-1], history["val_mae"][-1], history["val_mape"][-1]] == model.evaluate(
        x[:5], y[:5]
    )[:3]
    assert history["size"][-1] == model.size
    assert history["loss"] == sorted(history["loss"], reverse=True)


def test_history_without_validation_or_monitor():
    x, y = data()
    history = compiled(metrics=["mae"]).evolve(x, y, pop_size=4, batch_size=4, epochs=2, verbose=0)
    assert list(history) == ["loss", "mae"]


@pytest.mark.parametrize("batch_size, warned", [(9, True), (10, False), (-1, False), (1000, False)])
def test_batch_size_warning_threshold(capfd, batch_size, warned):
    x, y = data(n=100)
    compiled().evolve(x, y, pop_size=2, batch_size=batch_size, epochs=1, verbose=0)
    assert capfd.readouterr().out == (WARNING if warned else "")


def test_zero_epochs_returns_empty_lists_and_keeps_the_predictions(capfd):
    x, y = data()
    model = compiled(metrics=["mae"], monitors=["size"])
    before = model.predict(x)
    history = model.evolve(x, y, epochs=0, validation_data=(x, y))
    assert history == {"loss": [], "mae": [], "val_loss": [], "val_mae": [], "size": []}
    assert np.array_equal(model.predict(x), before)
    assert capfd.readouterr().out == ""


def test_training_arrays_are_not_changed():
    x, y = data(n=20)
    x_copy, y_copy = x.copy(), y.copy()
    compiled().evolve(x, y, pop_size=4, batch_size=3, epochs=3, verbose=0)
    assert np.array_equal(x, x_copy) and np.array_equal(y, y_copy)


def test_non_float_and_strided_arrays_train():
    x = np.arange(24, dtype=np.int64).reshape(2, 12).T
    y = np.arange(12, dtype=np.int32) % 2
    history = compiled().evolve(x, y, pop_size=4, epochs=2, verbose=0)
    assert len(history["loss"]) == 2


def test_nan_targets_show_in_history_and_keep_the_network():
    x, y = data()
    model = compiled()
    before = snapshot(model)
    history = model.evolve(x, np.full_like(y, np.nan), pop_size=4, batch_size=3, epochs=2, verbose=0)
    assert all(math.isnan(v) for v in history["loss"])
    assert snapshot(model) == before


def test_second_call_continues_from_the_first():
    x, y = data(n=16)
    model = compiled()
    model.evolve(x, y, pop_size=10, epochs=5, verbose=0)
    reached = model.evaluate(x, y)[0]
    history = model.evolve(x, y, pop_size=10, epochs=1, verbose=0)
    # The first call's network is member 0 of the second population.
    assert history["loss"][0] <= reached


def test_ctrl_c_stops_at_a_batch_and_leaves_the_model_unchanged():
    x, y = data(n=50)
    model = compiled(monitors=["size"])
    before = snapshot(model)
    previous = signal.signal(signal.SIGALRM, signal.default_int_handler)
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.05)
        with pytest.raises(KeyboardInterrupt):
            model.evolve(x, y, pop_size=4, batch_size=5, epochs=10**8, verbose=0)
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    assert snapshot(model) == before


def test_a_network_that_cannot_evolve_raises_runtime_error_and_changes_nothing(capfd):
    model = kestrin.Model(0, 1)
    model.compile(loss="mse")
    before = snapshot(model)
    with pytest.raises(RuntimeError, match="connectivity"):
        model.evolve(np.zeros((4, 0)), np.zeros((4, 1)), pop_size=4, epochs=1, verbose=0)
    assert snapshot(model) == before
