"""Every script in examples/ runs to completion against the built module."""

import os
import pathlib
import subprocess
import sys

import pytest

EXAMPLES = sorted((pathlib.Path(__file__).resolve().parent.parent / "examples").glob("*.py"))


def run_example(script, cwd):
    # From an empty directory, with the test run's import path, so the script
    # imports the module under test and nothing of the source tree.
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    done = subprocess.run([sys.executable, str(script)], cwd=cwd, env=env,
                          capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    return done.stdout


@pytest.mark.parametrize("script", EXAMPLES, ids=[p.name for p in EXAMPLES])
def test_example_runs(script, tmp_path):
    assert run_example(script, tmp_path).strip(), "an example should show what it does"


def test_org_chart_reads_back_its_model(tmp_path):
    out = run_example(next(p for p in EXAMPLES if p.name == "org_chart.py"), tmp_path)
    assert out.splitlines() == [
        "Graph(2 nodes, 1 edges)",
        "Alice works for Acme since 2020",
        "who = Person",
    ]
