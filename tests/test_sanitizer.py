"""The sanitizer run sees what it is there to see: a module object freed while
still in use, and a module object never freed. Both are provoked by hand in a
child interpreter through ctypes; only meaningful in tools/sanitize.sh, where
the ASan runtime is loaded and Python objects go through malloc."""
import os

import pytest

pytestmark = pytest.mark.skipif(
    not os.environ.get("VELKORA_SANITIZED"), reason="needs the sanitizer build (tools/sanitize.sh)"
)

SETUP = """
import ctypes, velkora as vk
n = vk.Node(vk.Application(vk.Variable("A"), vk.Variable("B")), {"k": 1})
t = vk.Application(vk.Variable("A"), vk.Variable("B"))
"""

CASES = [
    # One reference too few: the node is freed while `n` still names it.
    ("use-after-free", "p = ctypes.py_object(n)\nctypes.pythonapi.Py_DecRef(p)\ndel p\nstr(n)\n",
     ["heap-use-after-free", "node_str"]),
    # One reference too many: the type object and its value are never freed.
    # (A leaked node would stay reachable through the collector's lists.)
    ("leak", "ctypes.pythonapi.Py_IncRef(ctypes.py_object(t))\ndel t\n",
     ["LeakSanitizer: detected memory leaks", "TypeRef::application"]),
]


@pytest.mark.parametrize("code, expected", [c[1:] for c in CASES], ids=[c[0] for c in CASES])
def test_sanitizer_reports(python_subprocess, code, expected):
    # Report to stderr here, not to the run's report files (those fail the run).
    opts = [o for o in os.environ.get("ASAN_OPTIONS", "").split(":") if not o.startswith("log_")]
    out = python_subprocess(SETUP + code, env={"ASAN_OPTIONS": ":".join(opts + ["detect_leaks=1"])})
    assert out.returncode != 0
    for text in expected:
        assert text in out.stderr, out.stderr[-3000:]
