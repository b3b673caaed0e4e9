"""The README's tour runs as written: its pycon blocks are doctests run in
order in one namespace, and its python blocks are executed there too. Blocks
of any other language are not run: sh and text, and python3 for Python code
that needs something the tests do not have, such as a database server."""

import doctest
import os
import pathlib
import re

README = pathlib.Path(__file__).resolve().parent.parent / "README.md"
FENCE = re.compile(r"^```(\w*)\n(.*?)^```\s*$", re.M | re.S)
RUNNABLE = {"pycon", "python", "py"}
# Under the sanitizer build (tools/sanitize.sh) the examples that run NumPy
# and SciPy (NetworkX's pagerank) are left out: LeakSanitizer reports those
# libraries' own leaks at exit, which are not the module's.
SKIP_WORDS = ("pagerank",) if os.environ.get("VELKORA_SANITIZED") else ()


def run_blocks(text, name="README.md"):
    """Runs the Python blocks of a markdown text; returns (blocks run, report)."""
    globs = {"__name__": "__readme__"}
    parser = doctest.DocTestParser()
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
    report = []
    ran = 0
    for m in FENCE.finditer(text):
        lang, body = m.group(1), m.group(2)
        if lang not in RUNNABLE:
            continue
        ran += 1
        line = text.count("\n", 0, m.start(2)) + 1
        if lang == "pycon":
            test = parser.get_doctest(body, globs, f"{name}:{line}", name, line - 1)
            test.examples = [ex for ex in test.examples
                             if not any(w in ex.source for w in SKIP_WORDS)]
            test.globs = globs  # DocTest copies its globals; share them instead
            runner.run(test, out=report.append, clear_globs=False)
        else:
            try:
                exec(compile(body, f"{name}:{line}", "exec"), globs)
            except Exception as exc:  # reported with its block's line
                report.append(f"{name}:{line}: {type(exc).__name__}: {exc}\n")
    return ran, "".join(report)


def test_readme_tour_runs():
    ran, report = run_blocks(README.read_text(encoding="utf-8"))
    assert ran >= 6, "the tour's code blocks were not found"
    assert report == "", report


def test_runner_reports_wrong_output_and_errors():
    sample = (
        "```pycon\n>>> x = 1 + 1\n>>> x\n3\n```\n"
        "```python\nraise KeyError('boom')\n```\n"
        "```sh\nnot python at all\n```\n"
        "```pycon\n>>> x * 2\n4\n```\n"
    )
    ran, report = run_blocks(sample, "sample.md")
    assert ran == 3
    # The wrong output and the exception are reported with their lines; the
    # last block sees the name the first one bound, and passes.
    assert "sample.md:2" in report and "Expected:\n    3\nGot:\n    2" in report
    assert "sample.md:7: KeyError: 'boom'" in report
    assert "sample.md:12" not in report
