import os
import struct

import pytest

# Keras picks its backend once, at its first import, and defaults to TensorFlow.
os.environ.setdefault("KERAS_BACKEND", "jax")


def pytest_configure(config):
    config.addinivalue_line("markers", "keras: needs Keras; in CI (CI set) a skip is a failure")


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_makereport(item, call):
    outcome = yield
    report = outcome.get_result()
    if report.skipped and os.environ.get("CI") and item.get_closest_marker("keras"):
        reason = report.longrepr[2] if isinstance(report.longrepr, tuple) else str(report.longrepr)
        report.outcome = "failed"
        report.longrepr = f"Keras tests may not be skipped in CI: {reason}"


# Helpers shared by the test modules (imported with `from conftest import ...`).


def snapshot(model):
    """Everything a failed call must leave as it was."""
    return model.size, model.get_nodes(), model.get_connections()


def crafted(tmp_path, inputs, outputs, biases, activations, records):
    """A model holding exactly the given network, built through a '.kn' file.
    Activation ids: 0 sigmoid, 1 tanh, 2 relu, 3 linear; records are (source, target, weight)."""
    import kestrin

    data = struct.pack("<3i", len(biases), inputs, outputs)
    data += struct.pack(f"<{len(biases)}d", *biases) + struct.pack(f"<{len(biases)}i", *activations)
    for source, target, weight in records:
        data += struct.pack("<iid", source, target, weight)
    path = tmp_path / "crafted.kn"
    path.write_bytes(data)
    return kestrin.load(str(path))
