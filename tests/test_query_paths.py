"""Paths of any length and the edge form of match: direction, edge criteria,
repeated names, match order, and a brute-force model on random graphs."""
import itertools

import pytest
from hypothesis import given, settings, strategies as st

import velkora as vk

A, B, C = vk.Variable("A"), vk.Variable("B"), vk.Variable("C")


@pytest.fixture
def g():
    """Nodes A, B, C; edges e0 A->B, e1 B->A, e2 A->A, e3 B->C (properties i: 0..3)."""
    g = vk.Graph()
    nodes = {t: vk.Node(t) for t in (A, B, C)}
    g.nodes.update((n.uid(), n) for n in nodes.values())
    for i, (s, e) in enumerate([(A, B), (B, A), (A, A), (B, C)]):
        edge = vk.Edge(vk.Term(f"e{i}", vk.Application(s, e)), nodes[s], nodes[e], {"i": i})
        g.edges[edge.uid()] = edge
    return g


def show(rows, names):
    """Each row as one string: node types and edge term names in the order asked."""
    return [" ".join(str(r[n].type) if isinstance(r[n], vk.Node) else r[n].term.name for n in names)
            for r in rows]


@pytest.mark.parametrize("pattern,names,expected", [
    ("(x)<-[e]-(y)", "xey", ["B e0 A", "A e1 B", "A e2 A", "C e3 B"]),
    ("(x)-[e]-(y)", "xey", ["A e0 B", "B e0 A", "B e1 A", "A e1 B", "A e2 A", "B e3 C", "C e3 B"]),
    ("(x)-[e]->(x)", "xe", ["A e2"]),
    ("(x)-[e]-(x)", "xe", ["A e2"]),  # a self-loop is taken once
    ("(x)-[e {i: 3}]->(y)", "xey", ["B e3 C"]),
    ("(x)-[e:B]-(y)", "xey", []),
    ("(x)-[e:$B -> *$]-(y)", "xey", ["B e1 A", "B e3 C"]),  # the label's arrow reads as forward
    ("(x)-[e]->(y)-[f]->(z)", "xeyfz",
     ["A e0 B e1 A", "A e0 B e3 C", "B e1 A e0 B", "B e1 A e2 A", "A e2 A e0 B"]),
    ("(x)-[e]->(y)-[f]->(x)", "xeyf", ["A e0 B e1", "B e1 A e0"]),  # e2 twice is no match
    ("(x)-[e]->(y)-[f]->(y)", "xeyf", ["B e1 A e2"]),
    ("(x)-[e]->(y)<-[f]-(z)", "xeyfz", ["B e1 A e2 A", "A e2 A e1 B"]),
    ("(x:C)<-[e]-(y)<-[f]-(z)", "xeyfz", ["C e3 B e0 A"]),
    ("(x)-[]->(y)-[]->(z)-[]->(w)", "xyzw",
     ["A B A A", "B A B C", "B A A B", "A A B A", "A A B C"]),
    ("(:C)-[e]->()", "e", []),
])
def test_direction_and_repeated_names(g, pattern, names, expected):
    assert show(g.query().match(pattern).return_(*names), names) == expected


@pytest.mark.parametrize("build,names,expected", [
    (lambda q: q.match(edge="e"), "e", ["e0", "e1", "e2", "e3"]),
    (lambda q: q.match(edge="e", term=vk.Term("e2", vk.Application(A, A))), "e", ["e2"]),
    (lambda q: q.match(edge="e", term=vk.Term("e2", vk.Application(A, B))), "e", []),
    (lambda q: q.match(edge="e", term_type_schema="$B -> *$"), "e", ["e1", "e3"]),
    (lambda q: q.match(edge="e", properties={"i": 3}), "e", ["e3"]),
    (lambda q: q.match(edge="e", start="s", end="t"), "est",
     ["e0 A B", "e1 B A", "e2 A A", "e3 B C"]),
    (lambda q: q.match(node="s", type=B).match(edge="e", start="s", end="t"), "est",
     ["e1 B A", "e3 B C"]),
    (lambda q: q.match(node="t", type_schema="$A$").match(edge="e", end="t"), "et", ["e1 A", "e2 A"]),
    (lambda q: q.match(node="s", type=vk.Variable("Z")).match(edge="e", start="s"), "e", []),
    (lambda q: q.match(edge="s").match(edge="e", start="s"), "e", []),  # no Node bindings
    (lambda q: q.match(edge="e", start="s", end="s"), "es", ["e2 A"]),
])
def test_edge_form(g, build, names, expected):
    assert show(build(g.query()).return_(*names), names) == expected


@pytest.mark.parametrize("call,message", [
    (lambda q: q.match("(a)(b)"), "Invalid pattern '(a)(b)': Every two adjacent nodes must be joined by an edge"),
    (lambda q: q.create(" (a)-[e]->(b)(c) "),
     "Invalid pattern '(a)-[e]->(b)(c)': Every two adjacent nodes must be joined by an edge"),
    (lambda q: q.match("(a)-[e]->(b)-[e]->(c)"),
     "Invalid pattern '(a)-[e]->(b)-[e]->(c)': Variable 'e' names an edge and another element of the path"),
    (lambda q: q.match("(e)-[e]->(b)"),
     "Invalid pattern '(e)-[e]->(b)': Variable 'e' names an edge and another element of the path"),
    (lambda q: q.match(edge="e", start="a", end="e"), "Invalid query: Variable 'e' names the edge and one of its nodes"),
])
def test_refused_paths(g, call, message):
    q = g.query()
    with pytest.raises(ValueError) as info:
        call(q)
    assert str(info.value) == message
    assert q.return_count() == 0


class AddsEdge:
    def __eq__(self, other):
        e = vk.Edge(vk.Term("new", C), vk.Node(C), vk.Node(C))
        AddsEdge.graph.edges[e.uid()] = e
        return True


@pytest.mark.parametrize("build", [
    lambda q: q.match("(a)<-[e {i: 0}]-(b)"),
    lambda q: q.match("(a)-[e {i: 0}]->(b)-[f]->(c)"),
    lambda q: q.match(edge="e", properties={"i": 0}),
])
def test_edges_changed_during_match(g, build):
    AddsEdge.graph = g
    next(iter(g.edges.values())).properties["i"] = AddsEdge()
    with pytest.raises(RuntimeError, match="^dictionary changed size during iteration$"):
        build(g.query()).execute()


# ----- paths of one to three edges against a brute-force enumeration --------------

TYPES = ["T0", "T1", "T2"]


@st.composite
def graphs_and_paths(draw):
    n_types = draw(st.integers(1, 3))
    # Self-loops and parallel edges come up often with so few types; every
    # end is its own Node object, so nodes of one uid differ in properties.
    edges = draw(st.lists(st.tuples(st.integers(0, n_types - 1), st.integers(0, n_types - 1),
                                    st.integers(0, 1), st.integers(0, 1), st.integers(0, 1)),
                          max_size=7))
    k = draw(st.integers(1, 3))
    nodes = [(draw(st.sampled_from(["a", "b", "c", None])),
              draw(st.sampled_from([None, None, *TYPES[:n_types]])),
              draw(st.sampled_from([None, None, None, 0, 1]))) for _ in range(k + 1)]
    path = [(draw(st.sampled_from(["forward", "backward", "any"])), draw(st.booleans()),
             draw(st.sampled_from([None, None, 0, 1]))) for _ in range(k)]
    return edges, nodes, path


def pattern_text(nodes, path):
    def node(var, t, p):
        return f"({var or ''}{':' + t if t else ''}{' {p: %d}' % p if p is not None else ''})"

    parts = [node(*nodes[0])]
    for i, (direction, named, w) in enumerate(path):
        inner = (f"e{i}" if named else "") + (" {w: %d}" % w if w is not None else "")
        parts.append({"forward": f"-[{inner}]->", "backward": f"<-[{inner}]-", "any": f"-[{inner}]-"}[direction])
        parts.append(node(*nodes[i + 1]))
    return "".join(parts)


def brute_force(edges, nodes, path):
    """Every sequence of distinct edges in (position, forward first) order, as rows."""
    def ways(i, j):
        s, e = edges[j].start, edges[j].end
        d = path[i][0]
        out = [(s, e)] if d != "backward" else [(e, s)]
        if d == "any" and s.uid() != e.uid():
            out.append((e, s))
        return out

    def node_ok(node, spec):
        _, t, p = spec
        return (t is None or str(node.type) == t) and (p is None or node.properties.get("p", None) == p)

    rows = []
    steps = [[(j, w) for j in range(len(edges)) for w in ways(i, j)] for i in range(len(path))]
    for choice in itertools.product(*steps):
        if len({j for j, _ in choice}) < len(choice):
            continue
        if any(choice[i][1][1].uid() != choice[i + 1][1][0].uid() for i in range(len(choice) - 1)):
            continue
        at = [choice[0][1][0]] + [w[1] for _, w in choice]
        if not all(node_ok(n, spec) for n, spec in zip(at, nodes)):
            continue
        if not all(w is None or edges[j].properties["w"] == w for (j, _), (_, _, w) in zip(choice, path)):
            continue
        row, first = {}, {}
        for n, (var, _, _) in zip(at, nodes):
            if var is not None:
                first.setdefault(var, n)
        if any(var is not None and n.uid() != first[var].uid() for n, (var, _, _) in zip(at, nodes)):
            continue
        row = {var: id(n.properties) for var, n in first.items()}
        row.update({f"e{i}": edges[j].term.name for i, (j, _) in enumerate(choice) if path[i][1]})
        rows.append(row)
    return [r for r in rows if r]


@settings(max_examples=400, deadline=None)
@given(graphs_and_paths())
def test_paths_against_brute_force(case):
    spec, nodes, path = case
    g = vk.Graph()
    edges = []
    for i, (s, e, ps, pe, w) in enumerate(spec):
        start, end = vk.Node(vk.Variable(TYPES[s]), {"p": ps}), vk.Node(vk.Variable(TYPES[e]), {"p": pe})
        edge = vk.Edge(vk.Term(f"t{i}", vk.Application(start.type, end.type)), start, end, {"w": w})
        g.edges[edge.uid()] = edge
        edges.append(edge)
    names = sorted({v for v, _, _ in nodes if v} | {f"e{i}" for i, p in enumerate(path) if p[1]})
    rows = g.query().match(pattern_text(nodes, path)).return_(*names)
    got = [{k: id(v.properties) if isinstance(v, vk.Node) else v.term.name for k, v in r.items()}
           for r in rows]
    assert got == brute_force(edges, nodes, path)
