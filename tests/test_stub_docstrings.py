"""The stubs carry the module's own docstrings, as tools/stub_docstrings.py
writes them, and its check names each entry that went stale."""
import importlib.util
import pathlib

import velkora

ROOT = pathlib.Path(__file__).resolve().parent.parent
_spec = importlib.util.spec_from_file_location("stub_docstrings",
                                               ROOT / "tools" / "stub_docstrings.py")
tool = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(tool)

STUB = (ROOT / "velkora-stubs" / "__init__.pyi").read_text(encoding="utf-8")


def test_stubs_carry_the_module_docstrings():
    problems = tool.stale(STUB, velkora)
    assert problems == [], "run python tools/stub_docstrings.py:\n" + "\n".join(problems)
    assert tool.rewrite(STUB, velkora) == STUB  # the file is as the tool writes it


def test_check_names_each_stale_entry_and_rewrite_mends_it():
    to_dot = velkora.Graph.to_dot.__doc__.split("\n")[0]
    query = velkora.Graph.query.__doc__.split("\n")[0]
    start = STUB.index(f'"""{query}')
    end = STUB.index('"""', start + 3) + 3
    text = STUB[:start] + "..." + STUB[end:]  # Graph.query loses its docstring
    text = text.replace(to_dot, "Returns the graph as text.")
    text = text.replace("    def to_dot(self)", "    def gone(self) -> None: ...\n    def to_dot(self)")
    assert tool.stale(text, velkora) == [
        "Graph.query: the stub has no docstring",
        "Graph.gone: not in the module",
        "Graph.to_dot: the stub's docstring differs from the module's",
    ]
    mended = tool.rewrite(text, velkora)
    assert mended == STUB.replace(
        "    def to_dot(self)", "    def gone(self) -> None: ...\n    def to_dot(self)")
