import contextlib
import io
import os
import re
import subprocess
import sys
import textwrap
import time

import numpy as np
import pytest

import kestrin
from conftest import snapshot

X = np.random.default_rng(0).uniform(-1.0, 1.0, size=(100, 2))
Y = X[:, :1] / 2
WARNING = "WARNING! The batch size is less than 10% the number of samples"
LINE = r"\rEpoch {e}/2 - (\d+ms|\d+s) - loss: \d\.\d{{6}}\n"


def child_env():
    """The environment of a child process that imports this kestrin."""
    path = [os.path.dirname(kestrin.__file__), os.environ.get("PYTHONPATH")]
    return {**os.environ, "PYTHONPATH": os.pathsep.join(filter(None, path))}


def compiled():
    model = kestrin.Model(2, 1)
    model.compile(loss="mse")
    return model


def train_both(model):
    model.evolve(X, Y, pop_size=4, batch_size=5, epochs=1, verbose=2)
    model.func_evolve(lambda g: [0.0] * len(g), pop_size=4, epochs=2, verbose=1)


def check_lines(text):
    warning, rest = text.split("\n", 1)
    assert warning.startswith(WARNING)
    assert re.fullmatch(r"\rEpoch 1/1 - (\d+ms|\d+s) - loss\*: \d\.\d{6}\n" + LINE.format(e=1) + LINE.format(e=2),
                        rest)


def test_lines_follow_redirect_stdout_and_fall_back_to_the_c_stdout(capfd, monkeypatch):
    buffer = io.StringIO()
    with contextlib.redirect_stdout(buffer):
        train_both(compiled())
    check_lines(buffer.getvalue())
    assert capfd.readouterr().out == ""
    # Without sys.stdout the lines go to file descriptor 1, as they did before.
    monkeypatch.setattr(sys, "stdout", None)
    train_both(compiled())
    monkeypatch.undo()
    check_lines(capfd.readouterr().out)


class Stream:
    def __init__(self, fail_after):
        self.lines, self.fail_after = [], fail_after

    def write(self, text):  # no flush: it is called only when present
        if len(self.lines) == self.fail_after:
            raise OSError("the stream is closed")
        self.lines.append(text)


@pytest.mark.parametrize("fail_after", [0, 1, 2])  # the warning, a progress line, a func_evolve line
def test_a_failing_write_ends_the_call_and_leaves_the_model(fail_after):
    model = compiled()
    before = snapshot(model)
    stream = Stream(fail_after)
    with contextlib.redirect_stdout(stream), pytest.raises(OSError, match="the stream is closed"):
        train_both(model)
    assert len(stream.lines) == fail_after
    if fail_after < 2:  # evolve failed; func_evolve never ran
        assert snapshot(model) == before


def test_piped_output_keeps_the_order_of_writing():
    script = textwrap.dedent("""
        import numpy as np, kestrin
        print("before")
        model = kestrin.Model(1, 1)
        model.func_evolve(lambda g: np.zeros(len(g)), pop_size=4, epochs=2, verbose=1)
        print("after")
    """)
    # Bytes: text mode would turn the carriage returns into line feeds.
    out = subprocess.run([sys.executable, "-c", script], stdout=subprocess.PIPE, env=child_env(), check=True,
                         timeout=60).stdout.decode()
    assert re.fullmatch("before\n" + LINE.format(e=1) + LINE.format(e=2) + "after\n", out)


def test_progress_shows_in_a_jupyter_kernel_while_the_cell_runs():
    from jupyter_client import manager
    # Trains for about 2.5 s, then reports when evolve returned.
    cell = textwrap.dedent("""
        import time, numpy as np, kestrin
        x = np.random.default_rng(0).uniform(-1, 1, (2000, 2))
        model = kestrin.Model(2, 1, size=12)
        model.compile(loss="mse")
        class Deadline:
            def on_epoch_end(self, epoch, logs):
                model.stop_training = time.time() > deadline
        deadline = time.time() + 2.5
        model.evolve(x, x[:, :1] / 2, pop_size=50, epochs=10**6, verbose=1, callbacks=[Deadline()])
        print(f"returned at {time.time()}")
    """)
    kernel, client = manager.start_new_kernel(kernel_name="python3", env=child_env(), startup_timeout=60)
    try:
        request = client.execute(cell)
        progress, returned, text = [], None, ""
        while True:
            message = client.get_iopub_msg(timeout=30)
            if message["parent_header"].get("msg_id") != request:
                continue
            content = message["content"]
            if message["msg_type"] == "error":
                pytest.fail("\n".join(content["traceback"]))
            if message["msg_type"] == "stream":
                # A print may arrive in pieces: the report is read from the text so far.
                text += content["text"]
                if "Epoch" in content["text"]:
                    progress.append(time.time())
                found = re.search(r"returned at ([0-9.]+)\n", text)
                if found:
                    returned = float(found.group(1))
            if message["msg_type"] == "status" and content["execution_state"] == "idle":
                break
    finally:
        client.stop_channels()
        kernel.shutdown_kernel(now=True)
    # Lines that arrived only after evolve returned would all come after `returned`.
    assert returned is not None and progress and progress[0] < returned - 1.0
