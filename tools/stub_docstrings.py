"""Writes the module's own docstrings into the stubs, or checks that they match.

    python tools/stub_docstrings.py           # rewrite velkora-stubs/__init__.pyi
    python tools/stub_docstrings.py --check   # list the stale entries, exit 1 if any

The docstrings are read from the importable module (the installed one, or
PYTHONPATH=build/dev): the module's, each class's, and each method's and
property's that the module itself documents. Slot wrappers (__eq__,
__hash__, __call__) and __new__ carry CPython's generic texts and get none;
a property's docstring goes on its getter. Every other line of the stub
stays as it is, so the script can be rerun after the stub gains or loses
entries, from any state of its docstrings.
"""
import argparse
import ast
import inspect
import io
import pathlib
import sys
import tokenize
import types

STUB = pathlib.Path(__file__).resolve().parent.parent / "velkora-stubs" / "__init__.pyi"

# The kinds of class members whose docstring is the module's own.
OWN_DOC = (
    types.MethodDescriptorType,
    types.ClassMethodDescriptorType,
    types.GetSetDescriptorType,
    types.MemberDescriptorType,
    staticmethod,
    property,
)


def runtime_doc(module, path):
    """The module's docstring for a dotted path ('' for the module), cleaned;
    None when it documents nothing of its own there; KeyError when there is
    no such entry."""
    if not path:
        obj = module
    else:
        cls_name, _, member = path.partition(".")
        try:
            obj = getattr(module, cls_name)
            if member:
                obj = inspect.getattr_static(obj, member)
        except AttributeError:
            raise KeyError(path) from None
        if member and not isinstance(obj, OWN_DOC):
            return None
        if isinstance(obj, staticmethod):
            obj = obj.__func__
    doc = obj.__doc__
    return inspect.cleandoc(doc) if doc else None


def is_setter(fn):
    return any(isinstance(d, ast.Attribute) and d.attr in ("setter", "deleter")
               for d in fn.decorator_list)


def is_later_overload(fn, seen):
    """An @overload after the first of its name: the first one carries the
    docstring (editors show that one)."""
    overload = any((isinstance(d, ast.Name) and d.id == "overload") or
                   (isinstance(d, ast.Attribute) and d.attr == "overload")
                   for d in fn.decorator_list)
    return overload and fn.name in seen


def entries(tree):
    """(path, node, documented) of the module, each top-level class and each
    def in one; setters and later overloads are not documented."""
    yield "", tree, True
    for cls in tree.body:
        if isinstance(cls, ast.ClassDef):
            yield cls.name, cls, True
            seen = set()
            for fn in cls.body:
                if isinstance(fn, (ast.FunctionDef, ast.AsyncFunctionDef)):
                    documented = not is_setter(fn) and not is_later_overload(fn, seen)
                    yield f"{cls.name}.{fn.name}", fn, documented
                    seen.add(fn.name)


def docstring_node(node):
    body = node.body
    if body and isinstance(body[0], ast.Expr) and isinstance(body[0].value, ast.Constant) \
            and isinstance(body[0].value.value, str):
        return body[0]
    return None


def wanted_doc(module, path, documented):
    return runtime_doc(module, path) if documented else None


def literal(doc, indent):
    """A triple-quoted literal whose cleaned value is `doc`."""
    text = doc.replace("\\", "\\\\").replace('"""', '\\"\\"\\"')
    if text.endswith('"'):
        text = text[:-1] + '\\"'
    first, *rest = text.split("\n")
    if not rest:
        return f'"""{first}"""'
    lines = [first] + [indent + line if line else "" for line in rest]
    return '"""' + "\n".join(lines) + "\n" + indent + '"""'


class Source:
    """The stub text with offsets for (line, column) positions of the AST."""

    def __init__(self, text):
        # Lines end at "\n" alone, as for the parser; AST columns count
        # UTF-8 bytes, the tokenizer's count characters.
        self.lines = [line + "\n" for line in text.split("\n")]
        self.starts = [0]
        for line in self.lines:
            self.starts.append(self.starts[-1] + len(line))
        self.colons = [self.offset(t.start[0], t.start[1], chars=True) for t in
                       tokenize.generate_tokens(io.StringIO(text).readline)
                       if t.type == tokenize.OP and t.string == ":"]

    def offset(self, line, col, chars=False):
        if not chars:
            col = len(self.lines[line - 1].encode("utf-8")[:col].decode("utf-8"))
        return self.starts[line - 1] + col

    def start(self, node):
        return self.offset(node.lineno, node.col_offset)

    def end(self, node):
        return self.offset(node.end_lineno, node.end_col_offset)

    def colon_before(self, node):
        at = self.start(node)
        return max(c for c in self.colons if c < at) + 1


def rewrite(text, module):
    """The stub text with every docstring as the module has it."""
    tree = ast.parse(text)
    src = Source(text)
    edits = []  # (start, end, replacement)
    for path, node, documented in entries(tree):
        try:
            doc = wanted_doc(module, path, documented)
        except KeyError:  # not in the module: the check reports it
            doc = None
        old = docstring_node(node)
        if isinstance(node, ast.Module):
            new = literal(doc, "") if doc else ""
            if old:
                edits.append((src.start(old), src.end(old), new))
            elif new:
                edits.append((0, 0, new + "\n\n"))
        elif isinstance(node, ast.ClassDef):
            indent = " " * (node.col_offset + 4)
            at = src.colon_before(node.body[0])
            end = src.end(old) if old else at
            edits.append((at, end, "\n" + indent + literal(doc, indent) if doc else ""))
        else:
            indent = " " * (node.col_offset + 4)
            at = src.colon_before(node.body[0])
            body = "\n" + indent + literal(doc, indent) if doc else " ..."
            edits.append((at, src.end(node), body))
    for start, end, new in sorted(edits, reverse=True):
        text = text[:start] + new + text[end:]
    return text


def stale(text, module):
    """The entries whose docstring in the stub is not the module's, each as
    'path: what is wrong'."""
    problems = []
    for path, node, documented in entries(ast.parse(text)):
        name = path or "the module"
        try:
            want = wanted_doc(module, path, documented)
        except KeyError:
            problems.append(f"{name}: not in the module")
            continue
        have = ast.get_docstring(node, clean=True)
        if want != have:
            if have is None:
                problems.append(f"{name}: the stub has no docstring")
            elif want is None:
                problems.append(f"{name}: the stub has a docstring the module lacks")
            else:
                problems.append(f"{name}: the stub's docstring differs from the module's")
    return problems


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--check", action="store_true",
                        help="list the entries whose docstrings are stale and fail if any")
    parser.add_argument("--stub", type=pathlib.Path, default=STUB)
    args = parser.parse_args(argv)
    import velkora

    text = args.stub.read_text(encoding="utf-8")
    if args.check:
        problems = stale(text, velkora)
        for p in problems:
            print(f"{args.stub}: {p}", file=sys.stderr)
        if problems:
            print("run python tools/stub_docstrings.py to rewrite them", file=sys.stderr)
        return 1 if problems else 0
    new = rewrite(text, velkora)
    if new != text:
        args.stub.write_text(new, encoding="utf-8")
    return 0


if __name__ == "__main__":
    sys.exit(main())
