import os

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
