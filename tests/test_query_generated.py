"""Generated queries on generated graphs.

A seeded generator writes programs: a graph (nodes of random types with
random properties, edges between them, now and then a malformed entry) and a
queue of match / create / merge / set / delete / where / with_ / order_by /
skip / limit / execute calls with random patterns, properties and bad
arguments, ended by return_, return_distinct, return_count or execute. Each
program is run on several graphs built identically from the same description,
and these must hold for every program:

- no call raises outside TypeError, ValueError, KeyError, AttributeError,
  NameError, RuntimeError and OverflowError;
- builders change nothing in the graph and return a new query;
- two identical graphs give identical outcomes (rows compared as uids and
  properties, errors as class and message), and leave identical graphs;
- return_distinct gives the rows of return_ without repeats;
- return_count equals the number of rows of return_ over every bound name
  (the length of the longest binding list);
- rows are non-empty dicts of requested names to new Node or Edge objects;
- the same queue without the builder calls that failed gives the same outcome
  (a failed call queues nothing);
- property values whose == changes the graph or raises (built per graph, so
  twin graphs see the same) give the same outcome on twins, and errors only
  of the classes above (or the raised one itself);
- after a successful run without deletes, every node that a typed create or
  merge asked for is in graph.nodes under its uid.

VELKORA_GENERATED_CASES sets the number of programs (default 2000).
"""
import math
import os
import random

import pytest

import velkora as vk

CASES = int(os.environ.get("VELKORA_GENERATED_CASES", "2000"))
BATCHES = 8

class HookError(Exception):
    """Raised by a property value's == on purpose; it must come out as is."""


ALLOWED = (TypeError, ValueError, KeyError, AttributeError, NameError, RuntimeError, OverflowError,
           HookError)

NAMES = ["a", "b", "c", "n", "m", ""]
ATOMS = ["A", "B", "C"]
SCHEMAS = [
    "$*$", "$A$", "A", "B", "$* -> *$", "$A -> B$", "$(x:*)$", "$ (x:*) -> (y:*) $",
    "$(f:A -> B) -> C$", "", "$", "$$", "$(A)$", "(A -> B)", "$A -> B -> C$", "$ A $",
    "$(x:A) -> *$", "$* -> (y:B)$", "$(x:*) -> $(y:*)$", "*", "$((A -> B))$",
]
VALUES = [0, 1, 2, 1.0, "x", "y", None, True, ("list", 1, 2), ("nan",)]
PUNCT = "()[]-<>:{}$, *"


# ----- descriptions (plain data) and their materialisation ---------------------------


def make_type(d):
    if isinstance(d, str):
        return vk.Variable(d)
    return vk.Application(make_type(d[1]), make_type(d[2]))


class Hook:
    """A property value whose == first does something to its graph (once):
    adds or removes a node, empties its own dict, runs another query of the
    graph, or raises. Built per graph, so twin graphs see the same actions."""

    def __init__(self, graph, action, value):
        self.graph, self.action, self.value, self.owner = graph, action, value, None

    def __repr__(self):
        return f"Hook({self.action}, {self.value!r})"

    def __eq__(self, other):
        action, self.action = self.action, "done"
        g = self.graph
        if action == "add":
            g.nodes[f"added{len(g.nodes)}"] = vk.Node(vk.Variable("H"))
        elif action == "remove" and g.nodes:
            del g.nodes[next(iter(g.nodes))]
        elif action == "empty" and self.owner is not None:
            self.owner.clear()
        elif action == "query":
            g.query().create(node="h", type=vk.Variable("H")).match(node="x", type=vk.Variable("A")) \
                .return_("h", "x")
        elif action == "raise":
            raise HookError("hook")
        return self.value == other

    __hash__ = None


def make_value(d, graph=None):
    if isinstance(d, tuple):
        if d[0] == "hook":
            return Hook(graph, d[1], d[2])
        return float("nan") if d[0] == "nan" else list(d[1:])
    return d


def make(d, graph=None):
    """Argument descriptions: ("type", t), ("term", name, t), ("schema", text),
    ("dict", {k: v}), ("node", t), ("list", ...) or a plain value."""
    if isinstance(d, tuple):
        kind = d[0]
        if kind == "type":
            return make_type(d[1])
        if kind == "term":
            return vk.Term(d[1], make_type(d[2]))
        if kind == "schema":
            return vk.TypeSchema(d[1])
        if kind == "dict":
            props = {k: make_value(v, graph) for k, v in d[1]}
            for v in props.values():
                if isinstance(v, Hook):
                    v.owner = props
            return props
        if kind == "node":
            return vk.Node(make_type(d[1]))
        return make_value(d)
    return d


def build_graph(desc):
    g = vk.Graph()
    for kind, payload in desc:
        if kind == "node":
            t, props = payload
            n = vk.Node(make_type(t), make(props, g))
            g.nodes[n.uid()] = n
        elif kind == "edge":
            name, t, s, e, props = payload
            edge = vk.Edge(vk.Term(name, make_type(t)), vk.Node(make_type(s)), vk.Node(make_type(e)),
                           make(props, g))
            g.edges[edge.uid()] = edge
        else:  # a malformed entry, as Python code may store one
            getattr(g, kind)[payload[0]] = payload[1]
    return g


# ----- the generator ---------------------------------------------------------------------


class Gen:
    def __init__(self, seed):
        self.r = random.Random(seed)

    def chance(self, p):
        return self.r.random() < p

    def pick(self, seq):
        return self.r.choice(seq)

    def type(self, depth=2):
        if depth == 0 or self.chance(0.7):
            return self.pick(ATOMS)
        return ("->", self.type(depth - 1), self.type(depth - 1))

    def props(self, n=2, hooks=False):
        keys = ["k", "j", "name"]
        return ("dict", [(self.pick(keys), self.hook() if hooks and self.chance(0.08) else self.pick(VALUES))
                         for _ in range(self.r.randint(0, n))])

    def hook(self):
        return ("hook", self.pick(["add", "remove", "empty", "query", "raise", "done"]), self.pick([0, 1]))

    def name(self):
        return self.pick(NAMES)

    def schema(self):
        if self.chance(0.15):
            return "".join(self.pick(PUNCT + "ABx") for _ in range(self.r.randint(0, 8)))
        return self.pick(SCHEMAS)

    def graph(self):
        desc = []
        for _ in range(self.r.randint(0, 7)):
            desc.append(("node", (self.type(), self.props(hooks=True))))
        types = [d[1][0] for d in desc] or ["A"]
        for i in range(self.r.randint(0, 5)):
            s, e = self.pick(types), self.pick(types)
            desc.append(("edge", (self.pick(["f", "g", "h"]), self.pick([("->", s, e), self.type()]),
                                  s, e, self.props(1))))
        if self.chance(0.04):
            desc.append((self.pick(["nodes", "edges"]), (self.pick(["junk", 5]), 1)))
        return desc

    def pattern(self):
        def inner(schema_ok):
            var = self.pick(NAMES) if self.chance(0.8) else ""
            if self.chance(0.6):
                s = self.schema() if self.chance(0.4) else self.pick(ATOMS)
                return f"{var}:{s}" if schema_ok or "]" not in s else var
            return var

        parts = [f"({inner(True)})"]
        for _ in range(self.pick([0, 1, 1, 1, 2])):
            e = inner(False)
            parts.append(self.pick([f"-[{e}]->", f"<-[{e}]-", f"-[{e}]-", f"[{e}]", " - [ " + e + " ] -> "]))
            parts.append(f"({inner(True)})")
        text = "".join(parts)
        if self.chance(0.15):  # damage it
            i = self.r.randint(0, len(text))
            if self.chance(0.5) and text:
                text = text[:max(i - 1, 0)] + text[i:]
            else:
                text = text[:i] + self.pick(PUNCT) + text[i:]
        if self.chance(0.02):
            text = self.pick(["", "   ", "-[e]->(a)", "(a)-[e]->"])
        return text

    def type_arg(self):
        return ("type", self.type()) if self.chance(0.8) else self.pick([None, 3, "A", ("node", "A")])

    def schema_arg(self):
        return self.pick([self.schema(), ("schema", self.schema()), 42, None])

    def term_arg(self):
        if self.chance(0.8):
            return ("term", self.pick(["f", "g"]), self.pick([("->", self.type(1), self.type(1)), self.type()]))
        return self.pick([None, "f", 3])

    def var_arg(self):
        return self.name() if self.chance(0.8) else self.pick([None, 5, ("node", "A")])

    def props_arg(self):
        if self.chance(0.9):
            return self.props()
        return self.pick([[1], ("dict", [(1, 2)]), "k"])

    def some(self, **kw):
        """Keyword arguments, each present with probability 1/2 (start and end: 0.85)."""
        return {k: f() for k, f in kw.items() if self.chance(0.85 if k in ("start", "end") else 0.5)}

    def op(self):
        r = self.r.random()
        if r < 0.3:
            which = self.r.random()
            if which < 0.4:
                return "match", (self.pattern(),), {}
            if which < 0.75:
                return "match", (), {"node": self.name(), **self.some(
                    type=self.type_arg, type_schema=self.schema_arg, properties=self.props_arg)}
            if which < 0.95:
                return "match", (), {"edge": self.name(), **self.some(
                    term=self.term_arg, term_type_schema=self.schema_arg, start=self.var_arg,
                    end=self.var_arg, properties=self.props_arg)}
            return "match", (), self.pick([{"node": 3}, {"properties": [1]}, {"pattern": 5}, {"bogus": 1}, {}])
        if r < 0.5:
            which = self.r.random()
            if which < 0.6:
                return "create", (), {"node": self.name(), "type": self.type_arg(), **self.some(
                    properties=self.props_arg)}
            if which < 0.75:
                return "create", (self.pattern(),), {}
            return "create", (), {"edge": self.name(), **self.some(
                term=self.term_arg, start=self.var_arg, end=self.var_arg, properties=self.props_arg)}
        if r < 0.65:
            if self.chance(0.6):
                return "merge", (), {"node": self.name(), **self.some(
                    type=self.type_arg, type_schema=self.schema_arg, properties=self.props_arg)}
            if self.chance(0.85):
                return "merge", (), {"edge": self.name(), **self.some(
                    term=self.term_arg, term_type_schema=self.schema_arg, start=self.var_arg,
                    end=self.var_arg)}
            return "merge", (self.pattern(),), {}
        if r < 0.75:
            if self.chance(0.9):
                return "set", (self.name(), self.props(3)), {}
            return "set", self.pick([(1, ("dict", [])), ("n", [1]), ("n",)]), {}
        if r < 0.82:
            names = tuple(self.name() for _ in range(self.r.randint(0, 2)))
            if self.chance(0.1):
                names += (self.pick([True, 1]),)
            return "delete", names, self.pick([{}, {"detach": True}, {"detach": False}, {"detach": 1}])
        if r < 0.94:
            return self.pick([
                ("where", (self.pick(["n.age > 3", "", 5]),), {}),
                ("with_", tuple(self.name() for _ in range(self.r.randint(0, 2))), {}),
                ("with_", (["a"],), {}),
                ("order_by", (self.name(), "k"), self.pick([{}, {"ascending": False}, {"ascending": 0}])),
                ("skip", (self.pick([0, 3, -1, 2**80, "1"]),), {}),
                ("limit", (self.pick([0, 10, -5, 1.5]),), {}),
            ])
        return "execute", (), {}

    def terminal(self, ops):
        used = [v for _, args, kw in ops for v in (*args, *kw.values()) if v in NAMES] or NAMES
        names = tuple(self.pick(used if self.chance(0.8) else NAMES) for _ in range(self.r.randint(0, 4)))
        if self.chance(0.05):
            names += (self.pick([1, None]),)
        return self.pick(["return_", "return_", "return_distinct", "return_count", "execute"]), names

    def program(self):
        graph, ops = self.graph(), [self.op() for _ in range(self.r.randint(1, 10))]
        return graph, ops, self.terminal(ops)


# ----- running a program -------------------------------------------------------------------


def canon_value(v):
    if isinstance(v, float) and math.isnan(v):
        return "nan"
    return repr(v)


def canon_props(d):
    return sorted((repr(k), canon_value(v)) for k, v in d.items())


def canon(obj):
    if isinstance(obj, vk.Node):
        return ("Node", obj.uid(), str(obj), canon_props(obj.properties))
    if isinstance(obj, vk.Edge):
        return ("Edge", obj.uid(), str(obj), obj.start.uid(), obj.end.uid(), canon_props(obj.properties))
    return ("other", repr(obj))


def graph_state(g):
    return ([(k, canon(v)) for k, v in g.nodes.items()], [(k, canon(v)) for k, v in g.edges.items()])


def outcome_of_error(e):
    assert isinstance(e, ALLOWED), f"undocumented exception {type(e).__name__}: {e}"
    return ("error", type(e).__name__, str(e))


def check_rows(rows, requested, g):
    assert isinstance(rows, list)
    stored = [*g.nodes.values(), *g.edges.values()]
    for row in rows:
        assert type(row) is dict and row, row
        assert set(row) <= set(requested), (row, requested)
        for v in row.values():
            assert type(v) in (vk.Node, vk.Edge), v
            assert all(v is not s for s in stored), "a row holds the stored object itself"
    return [sorted((k, canon(v)) for k, v in row.items()) for row in rows]


def build_queue(g, ops, skip=()):
    """Applies the builder calls; returns the query and one outcome per call."""
    q = g.query()
    trace = []
    for i, (method, args, kwargs) in enumerate(ops):
        if i in skip:
            continue
        before = graph_state(g) if method != "execute" else None
        try:
            r = getattr(q, method)(*[make(a) for a in args], **{k: make(v) for k, v in kwargs.items()})
        except Exception as e:  # noqa: BLE001 - the class is what is checked
            trace.append(outcome_of_error(e))
            continue
        assert type(r) is vk.Query and r is not q, (method, r)
        if before is not None:
            assert graph_state(g) == before, f"{method} changed the graph"
        trace.append("ok")
        q = r
    return q, trace


def finish(g, q, terminal, method=None):
    method = method or terminal[0]
    names = [make(a) for a in terminal[1]]
    try:
        if method == "execute":
            copy = q.execute()
            assert type(copy) is vk.Query and copy is not q
            result = copy.return_(*names)
        elif method == "return_count":
            result = q.return_count()
        else:
            result = getattr(q, method)(*names)
    except AssertionError:
        raise
    except Exception as e:  # noqa: BLE001 - the class is what is checked
        return outcome_of_error(e)
    if method == "return_count":
        assert type(result) is int and result >= 0
        return ("count", result)
    return ("rows", check_rows(result, names, g))


def distinct(outcome):
    """Rows after the first with the same nodes and edges (by uid) under the same names."""
    seen, rows = set(), []
    for row in outcome[1]:
        key = tuple((name, c[0], c[1]) for name, c in row)
        if key not in seen:
            seen.add(key)
            rows.append(row)
    return ("rows", rows)


def all_names(ops):
    names = set(NAMES)
    for method, args, kwargs in ops:
        for v in (*args, *kwargs.values()):
            if isinstance(v, str):
                names.add(v)
                try:
                    p = vk.PathPattern(v)
                except ValueError:
                    continue
                names.update(x.variable for x in (*p.nodes, *p.edges) if x.variable is not None)
    return sorted(names)


def typed_node_ops(ops, trace):
    """Types asked for by create and merge node forms that were queued."""
    out = []
    for (method, args, kwargs), t in zip(ops, trace):
        if t == "ok" and method in ("create", "merge") and not args and "node" in kwargs:
            d = kwargs.get("type")
            if isinstance(d, tuple) and d[0] == "type":
                out.append(make_type(d[1]))
    return out


def check_program(seed):
    graph_desc, ops, terminal = Gen(seed).program()
    ctx = f"seed={seed}\ngraph={graph_desc}\nops={ops}\nterminal={terminal}"

    g1, g2 = build_graph(graph_desc), build_graph(graph_desc)
    q1, trace1 = build_queue(g1, ops)
    q2, trace2 = build_queue(g2, ops)
    assert trace1 == trace2, ctx
    out1 = finish(g1, q1, terminal)
    if terminal[0] == "return_":
        # The twin runs return_distinct: the same rows, repeats left out.
        out2 = finish(g2, q2, terminal, "return_distinct")
        assert out2 == (distinct(out1) if out1[0] == "rows" else out1), ctx
    else:
        assert finish(g2, q2, terminal) == out1, ctx
    assert graph_state(g1) == graph_state(g2), ctx
    assert str(g1) == f"Graph({len(g1.nodes)} nodes, {len(g1.edges)} edges)"

    # Failed builder calls queue nothing.
    # (A failed execute is not skipped: what it did before failing stays done.)
    failed = {i for i, t in enumerate(trace1) if t != "ok" and ops[i][0] != "execute"}
    if failed:
        g3 = build_graph(graph_desc)
        q3, _ = build_queue(g3, ops, skip=failed)
        assert finish(g3, q3, terminal) == out1, ctx + f"\nwithout calls {sorted(failed)}"

    # return_count is the length of the longest binding list.
    names = all_names(ops)
    g4, g5 = build_graph(graph_desc), build_graph(graph_desc)
    count = finish(g4, build_queue(g4, ops)[0], ("return_count", ()))
    rows = finish(g5, build_queue(g5, ops)[0], ("return_", tuple(names)))
    if count[0] == "count":
        assert rows[0] == "rows" and len(rows[1]) == count[1], ctx + f"\n{count} {rows}"
        # (Deletes, and hooks that remove nodes, take created nodes away again.)
        if not any(m == "delete" for m, _, _ in ops) and "'hook'" not in repr(graph_desc):
            for t in typed_node_ops(ops, trace1):
                uid = vk.Node(t).uid()
                assert uid in g4.nodes and g4.nodes[uid].uid() == uid, ctx + f"\nmissing {t}"
    else:
        assert rows == count, ctx
    return out1[0]


@pytest.mark.parametrize("batch", range(BATCHES))
def test_generated_programs(batch):
    kinds = {}
    for seed in range(batch, CASES, BATCHES):
        kind = check_program(seed)
        kinds[kind] = kinds.get(kind, 0) + 1
    # The generator reaches both outcomes, not only errors.
    if CASES >= 40 * BATCHES:
        assert kinds.get("rows", 0) + kinds.get("count", 0) > 0 and kinds.get("error", 0) > 0, kinds
