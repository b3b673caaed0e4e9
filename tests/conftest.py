import os
import subprocess
import sys

import pytest


def pytest_configure(config):
    config.addinivalue_line(
        "markers", "cypher_feature(name): the Graph.cypher() feature a differential test needs")


def run_python(code, env=None, timeout=120):
    """Runs code in a fresh interpreter; returns the completed process."""
    full_env = dict(os.environ)
    if env:
        full_env.update(env)
    return subprocess.run(
        [sys.executable, "-c", code],
        capture_output=True,
        text=True,
        env=full_env,
        timeout=timeout,
    )


@pytest.fixture
def python_subprocess():
    return run_python
