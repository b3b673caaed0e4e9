"""Allocation failures on every path: each call of the leak tables
(test_refleaks) is run again and again with the interpreter's allocator made
to fail at its 1st, 2nd, 3rd, ... allocation, until the failure no longer
changes the outcome. Every attempt must end in the call's normal outcome or
MemoryError (never a crash, a SystemError or another exception), the objects
must work normally right after, and no reference may be left behind.

Runs in a child interpreter (the allocator hooks are process-wide); needs
_testcapi, which most CPython builds ship.
"""
import json
import os

import pytest

import test_refleaks

pytest.importorskip("_testcapi")

SCRIPT = """
import gc, json, sys
sys.path.insert(0, {tests!r})
import _testcapi
import test_refleaks

calls, watched = test_refleaks.GROUPS[{group!r}]()
watched = watched + [test_refleaks.NAME]
for fn, exc in calls:  # warm up, as the leak test does
    try:
        fn()
    except Exception:
        pass

def cpython_frame_bug(e):
    # CPython 3.11 drops the exception raised by a Python function called
    # from C when it then fails to allocate the caller's frame object, and
    # reports the function itself; a fault of the module would name a method
    # or slot of one of its classes.
    return isinstance(e, SystemError) and str(e).startswith("<function ") and \\
        str(e).endswith("returned NULL without setting an exception")

gc.collect()  # the cycles a call leaves are freed by the collector
refs0 = [sys.getrefcount(o) for o in watched]
problems, attempts = [], 0
for index, (fn, exc) in enumerate(calls):
    if getattr(fn, "third_party", False):
        continue
    normal = (exc,) if exc else ()
    quiet = 0  # attempts in a row that hit no failure
    for nth in range(100_000):
        attempts += 1
        hit = False
        _testcapi.set_nomemory(nth, nth + 1)
        try:
            fn()
        except MemoryError:
            hit = True
        except normal:
            pass
        except BaseException as e:
            _testcapi.remove_mem_hooks()
            hit = True
            if not cpython_frame_bug(e):
                problems.append([index, nth, type(e).__name__, str(e)[:300]])
        finally:
            _testcapi.remove_mem_hooks()
        try:
            fn()
            if exc:
                problems.append([index, nth, "no longer raises " + exc.__name__])
        except normal:
            pass
        except BaseException as e:
            problems.append([index, nth, "afterwards", type(e).__name__, str(e)[:300]])
        quiet = 0 if hit else quiet + 1
        if quiet == 50:
            break
gc.collect()
refs1 = [sys.getrefcount(o) for o in watched]
leaks = [[repr(o)[:60], a, b] for o, a, b in zip(watched, refs0, refs1) if a != b]
print(json.dumps({{"attempts": attempts, "problems": problems, "leaks": leaks}}))
"""


@pytest.mark.parametrize("group", list(test_refleaks.GROUPS))
def test_allocation_failures(python_subprocess, group):
    tests = os.path.dirname(os.path.abspath(__file__))
    out = python_subprocess(SCRIPT.format(tests=tests, group=group), timeout=600)
    assert out.returncode == 0, out.stderr[-3000:]
    report = json.loads(out.stdout.strip().splitlines()[-1])
    assert report["problems"] == [] and report["leaks"] == [], report
    calls = test_refleaks.GROUPS[group]()[0]
    assert report["attempts"] > 50 * sum(not getattr(fn, "third_party", False) for fn, _ in calls)
