"""Type-directed search over the Python standard library's type stubs.

The stubs that mypy ships (typeshed's ``stdlib``) become a velkora model:

- every type that annotates a function is a node, one node per type;
- every annotated function ``f(a: A, b: B) -> R`` is a term of the curried
  type ``A -> (B -> R)``, filed as an edge from the node ``A`` to the node
  ``(B -> R)``: give it an ``A`` and what is left is a function of ``B``.
  Methods take their class first, attributes are functions of their class,
  a class is a function of its constructor's arguments, and
  ``Callable[[X, Y], R]`` is curried the same way. Only required arguments
  count;
- a function without required arguments, or a module-level constant, is an
  individual of its type: it is listed in that type's node properties under
  ``"constants"``, beside the counts of the terms arriving (``"in"``) and
  leaving (``"out"``).

Terms are named by their qualified names (``builtins.str.isdigit``), so two
overloads with different types are two edges. Searches are Cypher queries
run through ``graph.cypher(...)`` (text that starts with a clause keyword
such as MATCH), pattern strings run through ``graph.query().match(...)``, or
type schemas matched against the nodes::

    python examples/api_search.py "MATCH ()-[f]->(r) RETURN typeof(r) AS type, count(f) AS functions ORDER BY functions DESC LIMIT 10"

    python examples/api_search.py "(a:str)-[f]->(b:int)"           # str -> int
    python examples/api_search.py "(a:str)-[f]->(b:$str -> int$)"  # str, str -> int
    python examples/api_search.py "(a:$* -> *$)-[f]->(b)"          # higher-order
    python examples/api_search.py "(t:str)"                        # one type
    python examples/api_search.py '$* -> * -> bool$'               # types, not terms

``--dot`` prints the matches of all the queries as one graph in Graphviz DOT
text (``Graph.to_dot()``) instead.
"""

from __future__ import annotations

import argparse
import ast
import copy
import importlib.util
import operator
import pathlib
import re
import sys
import time
from collections.abc import Callable, Iterator
from typing import Any, NamedTuple, Optional, Union

import velkora as vk

Type = Union[vk.Variable, vk.Application]

DEMO = [
    "(a:str)-[f]->(b:int)",          # functions from str to int
    "(a:str)-[f]->(b:$str -> int$)",  # two arguments, both str, giving an int
    "(a:$* -> *$)-[f]->(b)",         # functions whose first argument is a function
    "(t:str)",                       # the node str: what leads there, leaves, is a str
    "$* -> * -> bool$",              # types of two-argument predicates, as nodes
]

COMPARISONS: dict[type[ast.cmpop], Callable[[Any, Any], bool]] = {
    ast.Eq: operator.eq, ast.NotEq: operator.ne, ast.Lt: operator.lt,
    ast.LtE: operator.le, ast.Gt: operator.gt, ast.GtE: operator.ge,
}


class Function(NamedTuple):
    name: str             # within its module: "len", "str.isdigit"
    params: list[Type]    # the required parameters, in order
    result: Type


# ----- reading the stubs ----------------------------------------------------------


def default_typeshed() -> pathlib.Path:
    spec = importlib.util.find_spec("mypy")
    if spec is None or not spec.submodule_search_locations:
        sys.exit("api_search: mypy is not installed; pip install mypy, or pass --typeshed DIR")
    return pathlib.Path(list(spec.submodule_search_locations)[0]) / "typeshed" / "stdlib"


def is_private(module: str) -> bool:
    return any(part.startswith("_") for part in module.split("."))


def holds(test: ast.expr) -> Optional[bool]:
    """The value of a version or platform check on this interpreter; None
    for any other condition (both branches are then read)."""
    if not (isinstance(test, ast.Compare) and len(test.ops) == 1):
        return None
    subject = ast.unparse(test.left)
    compare = COMPARISONS.get(type(test.ops[0]))
    if subject not in ("sys.version_info", "sys.platform") or compare is None:
        return None
    try:
        expected = ast.literal_eval(test.comparators[0])
    except ValueError:
        return None
    actual = sys.version_info if subject == "sys.version_info" else sys.platform
    return compare(actual, expected)


class Expand(ast.NodeTransformer):
    """Replaces a module's private aliases (``_str = str``, ``from builtins
    import str as _str``, generic ones such as ``_Predicate[int]`` with their
    type variables filled in) by what they name, and ``Self`` by the class."""

    def __init__(self, module: Module, self_type: str) -> None:
        self.module, self.self_type, self.open = module, self_type, set[str]()

    def visit_Name(self, node: ast.Name) -> ast.expr:
        if node.id == "Self" and self.self_type:
            return ast.Name(self.self_type)
        return self.expand(node.id, []) or node

    def visit_Subscript(self, node: ast.Subscript) -> ast.expr:
        node.slice = self.visit(node.slice)
        if not isinstance(node.value, ast.Name):
            return node
        args = node.slice.elts if isinstance(node.slice, ast.Tuple) else [node.slice]
        return self.expand(node.value.id, args) or node

    def expand(self, name: str, args: list[ast.expr]) -> Optional[ast.expr]:
        target = self.module.aliases.get(name)
        if target is None or name in self.open:
            return None
        target = copy.deepcopy(target)
        if args:
            params = list(dict.fromkeys(
                n.id for n in names_in(target) if n.id in self.module.typevars))
            if len(params) != len(args):
                return None
            target = Substitute(dict(zip(params, args))).visit(target)
        self.open.add(name)
        expanded = self.visit(target)
        self.open.discard(name)
        return expanded if isinstance(expanded, ast.expr) else None


class Substitute(ast.NodeTransformer):
    def __init__(self, values: dict[str, ast.expr]) -> None:
        self.values = values

    def visit_Name(self, node: ast.Name) -> ast.expr:
        return copy.deepcopy(self.values[node.id]) if node.id in self.values else node


def names_in(expr: ast.expr) -> Iterator[ast.Name]:
    """The names in an expression, left to right."""
    if isinstance(expr, ast.Name):
        yield expr
    for child in ast.iter_child_nodes(expr):
        if isinstance(child, ast.expr):
            yield from names_in(child)


def top_level(body: list[ast.stmt]) -> Iterator[ast.stmt]:
    """A module's statements, those of its if blocks included."""
    for stmt in body:
        if isinstance(stmt, ast.If):
            yield from top_level(stmt.body)
            yield from top_level(stmt.orelse)
        else:
            yield stmt


class Module:
    """One stub module: its functions, attributes and constants by top-level
    name, and the names it re-exports from private modules."""

    def __init__(self, tree: ast.Module, types: dict[str, Type]) -> None:
        self.types = types  # shared between modules: one object per type name
        self.aliases: dict[str, ast.expr] = {}
        self.typevars: set[str] = set()
        self.reexports: list[tuple[str, str, str]] = []  # (module, name, as name)
        self.defs: dict[str, list[Function]] = {}
        for stmt in top_level(tree.body):
            target, value = None, None
            if isinstance(stmt, ast.Assign) and len(stmt.targets) == 1:
                target, value = stmt.targets[0], stmt.value
            elif isinstance(stmt, ast.AnnAssign) and ast.unparse(stmt.annotation).endswith("TypeAlias"):
                target, value = stmt.target, stmt.value
            if not isinstance(target, ast.Name) or value is None:
                continue
            if isinstance(value, ast.Call) and ast.unparse(value.func).endswith(
                    ("TypeVar", "ParamSpec", "TypeVarTuple")):
                self.typevars.add(target.id)
            elif target.id.startswith("_") and target.id not in self.aliases and isinstance(
                    value, (ast.Name, ast.Attribute, ast.Subscript, ast.BinOp)):
                self.aliases[target.id] = value
        for f in self.read(tree.body):
            self.defs.setdefault(f.name.split(".")[0], []).append(f)

    def variable(self, name: str) -> Type:
        t = self.types.get(name)
        if t is None:
            t = self.types[name] = vk.Variable(name)
        return t

    def type_of(self, expr: ast.expr, self_type: str) -> Type:
        return self.convert(Expand(self, self_type).visit(expr))

    def convert(self, expr: ast.expr) -> Type:
        if (isinstance(expr, ast.Subscript) and ast.unparse(expr.value).endswith("Callable")
                and isinstance(expr.slice, ast.Tuple) and len(expr.slice.elts) == 2
                and isinstance(expr.slice.elts[0], ast.List) and expr.slice.elts[0].elts):
            params, result = expr.slice.elts[0].elts, expr.slice.elts[1]
            return curry([self.convert(p) for p in params], self.convert(result))
        return self.variable(ast.unparse(expr))

    def function(self, node: ast.FunctionDef | ast.AsyncFunctionDef, owner: Optional[str]
                 ) -> Optional[Function]:
        if node.returns is None and node.name != "__init__":
            return None
        args = node.args
        positional = args.posonlyargs + args.args
        required = positional[: len(positional) - len(args.defaults)]
        required += [a for a, d in zip(args.kwonlyargs, args.kw_defaults) if d is None]
        decorators = {ast.unparse(d) for d in node.decorator_list}
        # A class is a function from its constructor's arguments to itself.
        constructor = owner is not None and node.name in ("__init__", "__new__")
        params: list[Type] = []
        for i, arg in enumerate(required):
            if i == 0 and owner and "staticmethod" not in decorators and arg.annotation is None:
                if not constructor:
                    cls = "classmethod" in decorators
                    params.append(self.variable(f"type[{owner}]" if cls else owner))
            elif arg.annotation is None:
                return None
            else:
                params.append(self.type_of(arg.annotation, owner or ""))
        if owner and constructor:
            if not params:
                return None
            returns = node.returns if node.name == "__new__" else None
            return Function(owner, params, self.type_of(returns, owner) if returns else self.variable(owner))
        if node.returns is None:
            return None
        name = f"{owner}.{node.name}" if owner else node.name
        return Function(name, params, self.type_of(node.returns, owner or ""))

    def read(self, body: list[ast.stmt], owner: Optional[str] = None) -> Iterator[Function]:
        for stmt in body:
            if isinstance(stmt, ast.If):
                value = holds(stmt.test)
                if value is not False:
                    yield from self.read(stmt.body, owner)
                if value is not True:
                    yield from self.read(stmt.orelse, owner)
            elif isinstance(stmt, ast.ImportFrom) and owner is None and stmt.module and not stmt.level:
                for alias in stmt.names:
                    if alias.asname and alias.asname.startswith("_"):
                        self.aliases.setdefault(alias.asname, ast.Name(alias.name))
                    elif alias.asname and is_private(stmt.module):
                        self.reexports.append((stmt.module, alias.name, alias.asname))
            elif isinstance(stmt, ast.ClassDef) and not stmt.name.startswith("_"):
                yield from self.read(stmt.body, f"{owner}.{stmt.name}" if owner else stmt.name)
            elif isinstance(stmt, (ast.FunctionDef, ast.AsyncFunctionDef)):
                private = stmt.name.startswith("_") and stmt.name not in ("__init__", "__new__")
                f = None if private else self.function(stmt, owner)
                if f is not None:
                    yield f
            elif (isinstance(stmt, ast.AnnAssign) and isinstance(stmt.target, ast.Name)
                  and not stmt.target.id.startswith("_")):
                yield from self.attribute(stmt, stmt.target.id, owner)

    def attribute(self, stmt: ast.AnnAssign, name: str, owner: Optional[str]) -> Iterator[Function]:
        """A constant, or an attribute: a function of its class."""
        text = ast.unparse(stmt.annotation)
        if text.endswith("TypeAlias"):
            return
        annotation = stmt.annotation
        if isinstance(annotation, ast.Subscript) and text.startswith(("Final[", "ClassVar[")):
            annotation = annotation.slice
        t = self.type_of(annotation, owner or "")
        if owner is None or text.startswith("ClassVar["):
            yield Function(f"{owner}.{name}" if owner else name, [], t)
        else:
            yield Function(f"{owner}.{name}", [self.variable(owner)], t)


def curry(params: list[Type], result: Type) -> Type:
    """A -> (B -> ... -> R) for params A, B, ..."""
    t = result
    for p in reversed(params):
        t = vk.Application(p, t)
    return t


def available(root: pathlib.Path) -> Callable[[str], bool]:
    """Whether a module exists in this Python, by typeshed's VERSIONS file
    (lines such as "imp: 3.0-3.11"; a submodule not listed lives as long as
    its parent)."""
    ranges: dict[str, tuple[tuple[int, ...], tuple[int, ...]]] = {}
    for line in (root / "VERSIONS").read_text(encoding="utf-8").splitlines():
        line = line.split("#")[0].strip()
        if ":" in line:
            name, span = (part.strip() for part in line.split(":"))
            first, _, last = span.partition("-")
            ranges[name] = (tuple(map(int, first.split("."))),
                            tuple(map(int, last.split("."))) if last else (99,))

    def check(module: str) -> bool:
        parts = module.split(".")
        for n in range(len(parts), 0, -1):
            span = ranges.get(".".join(parts[:n]))
            if span:
                return span[0] <= sys.version_info[:2] <= span[1]
        return True

    return check


def read_stubs(root: pathlib.Path, wanted: Optional[set[str]]) -> tuple[list[Function], int]:
    """Every public module's functions, under qualified names; definitions
    that a public module re-exports from a private one count as its own."""
    types: dict[str, Type] = {}
    exists = available(root)
    cache: dict[str, Optional[Module]] = {}

    def load(name: str) -> Optional[Module]:
        if name not in cache:
            base = root.joinpath(*name.split("."))
            path = next((p for p in (base.with_suffix(".pyi"), base / "__init__.pyi") if p.exists()), None)
            cache[name] = None if path is None else Module(
                ast.parse(path.read_text(encoding="utf-8"), str(path)), types)
        return cache[name]

    public = sorted({".".join(p.relative_to(root).with_suffix("").parts).removesuffix(".__init__")
                     for p in root.rglob("*.pyi")})
    functions: list[Function] = []
    count = 0
    for name in public:
        if is_private(name) or not exists(name) or (wanted is not None and name not in wanted):
            continue
        module = load(name)
        assert module is not None
        count += 1
        defs = [f for fs in module.defs.values() for f in fs]
        for source, original, as_name in module.reexports:
            origin = load(source)
            for f in origin.defs.get(original, []) if origin else []:
                defs.append(f._replace(name=as_name + f.name[len(original):]))
        functions += [f._replace(name=f"{name}.{f.name}") for f in defs]
    return functions, count


# ----- the model ------------------------------------------------------------------


class Model:
    """The graph: nodes are types, edges are terms between the types they map."""

    def __init__(self, functions: list[Function]) -> None:
        self.graph = vk.Graph()
        self.nodes: dict[Type, vk.Node] = {}
        for f in functions:
            if not f.params:
                self.node(f.result).properties["constants"].append(f.name)
                continue
            rest = curry(f.params[1:], f.result)
            start, end = self.node(f.params[0]), self.node(rest)
            edge = vk.Edge(vk.Term(f.name, vk.Application(f.params[0], rest)), start, end)
            uid = edge.uid()
            if uid not in self.graph.edges:  # an overload repeated in two branches
                self.graph.edges[uid] = edge
                start.properties["out"] += 1
                end.properties["in"] += 1

    def node(self, t: Type) -> vk.Node:
        n = self.nodes.get(t)
        if n is None:
            n = self.nodes[t] = vk.Node(t, {"in": 0, "out": 0, "constants": []})
            self.graph.nodes[n.uid()] = n
        return n


class Found(NamedTuple):
    kind: str  # "types", "functions" or "rows"
    nodes: list[vk.Node]
    edges: list[vk.Edge]
    rows: list[str] = []  # a Cypher query's rows, as text


CYPHER = re.compile(r"\s*(MATCH|OPTIONAL|UNWIND|WITH|RETURN)\b", re.IGNORECASE)


def as_text(value: object) -> str:
    """A value of a Cypher row as the listing prints it."""
    if isinstance(value, vk.Node):
        return str(value.type)
    if isinstance(value, vk.Edge):
        return f"{value.term.name} : {value.term.type}"
    return repr(value)


def search(graph: vk.Graph, text: str) -> Found:
    """What a Cypher query (rows), a type schema (nodes) or a pattern string
    (one named node, or one named edge between two nodes) selects."""
    if CYPHER.match(text):
        rows = graph.cypher(text)
        values = [v for r in rows for v in r.values()]
        return Found("rows", [v for v in values if isinstance(v, vk.Node)],
                     [v for v in values if isinstance(v, vk.Edge)],
                     [", ".join(f"{k}: {as_text(v)}" for k, v in r.items()) for r in rows])
    if not text.lstrip().startswith("("):
        rows = graph.query().match(node="t", type_schema=text).return_("t")
        return Found("types", [r["t"] for r in rows if isinstance(r["t"], vk.Node)], [])
    path = vk.PathPattern.parse(text)
    if len(path.nodes) == 1 and not path.edges and path.nodes[0].variable:
        name = path.nodes[0].variable
        rows = graph.query().match(text).return_(name)
        return Found("types", [n for r in rows if isinstance(n := r[name], vk.Node)], [])
    if len(path.nodes) == 2 and len(path.edges) == 1 and path.edges[0].variable:
        name = path.edges[0].variable
        rows = graph.query().match(text).return_(name)
        return Found("functions", [], [e for r in rows if isinstance(e := r[name], vk.Edge)])
    raise ValueError("search for one named node or one named edge, as in (a:str)-[f]->(b:int)")


def to_dot(nodes: list[vk.Node], edges: list[vk.Edge]) -> str:
    """The matches and the types they join, as DOT text."""
    sub = vk.Graph()
    for n in nodes + [end for e in edges for end in (e.start, e.end)]:
        sub.nodes[n.uid()] = n
    for e in edges:
        sub.edges[e.uid()] = e
    return sub.to_dot()


def main(argv: Optional[list[str]] = None) -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("queries", nargs="*", metavar="QUERY",
                        help="a Cypher query, a pattern string with one named edge, or a "
                             "type schema (default: a few examples)")
    parser.add_argument("--typeshed", type=pathlib.Path, help="a typeshed stdlib directory "
                        "(default: the one mypy ships)")
    parser.add_argument("--modules", help="comma-separated modules to read (default: all public)")
    parser.add_argument("--limit", type=int, default=10, help="matches shown per query (0: all)")
    parser.add_argument("--dot", action="store_true",
                        help="print the matches of all queries as one graph in DOT text")
    args = parser.parse_args(argv)

    root = args.typeshed or default_typeshed()
    modules = set(args.modules.split(",")) if args.modules else None
    t0 = time.perf_counter()
    functions, count = read_stubs(root, modules)
    t1 = time.perf_counter()
    model = Model(functions)
    t2 = time.perf_counter()
    g = model.graph
    log = sys.stderr if args.dot else sys.stdout
    print(f"{count} modules read in {t1 - t0:.2f} s; model of {len(g.nodes)} types and "
          f"{len(g.edges)} functions built in {t2 - t1:.2f} s", file=log)

    picture = Found("", [], [])
    for text in args.queries or DEMO:
        t3 = time.perf_counter()
        try:
            kind, nodes, edges, rows = search(g, text)
        except ValueError as err:  # a malformed pattern, or one of another shape
            sys.exit(f"api_search: {err}")
        ms = (time.perf_counter() - t3) * 1000
        if args.dot:
            picture.nodes.extend(nodes)
            picture.edges.extend(edges)
            continue
        if kind == "rows":  # in the query's own order
            found = rows
        else:
            found = sorted(f"{e.term.name} : {e.term.type}" for e in edges)
            found += sorted(f"{n.type}  (in {n.properties['in']}, out {n.properties['out']}, "
                            f"constants {len(n.properties['constants'])})" for n in nodes)
        print(f"\n{text}: {len(found)} {kind} in {ms:.1f} ms")
        shown = found if args.limit <= 0 else found[: args.limit]
        for line in shown:
            print(f"  {line}")
        if len(shown) < len(found):
            print(f"  ... and {len(found) - len(shown)} more")
    if args.dot:
        print(to_dot(picture.nodes, picture.edges), end="")


if __name__ == "__main__":
    main()
