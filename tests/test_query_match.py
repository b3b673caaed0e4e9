"""Match execution: node and path forms, binding rules, bad graph entries and
Python code that fails or changes the graph during a match."""
import pytest

import velkora as vk

A, B, C, MADE = (vk.Variable(n) for n in ("A", "B", "C", "Made"))


def put_node(g, t, key=None, **props):
    n = vk.Node(t, props)
    g.nodes[key or n.uid()] = n
    return n


def ids(rows, name):
    return [r[name].properties.get("i") if name in r else None for r in rows]


@pytest.fixture
def g():
    """A nodes a0..a2 under made-up keys, B and C; edges a0->b, a1->b, b->c."""
    g = vk.Graph()
    a = [put_node(g, A, f"a{i}", i=i) for i in range(3)]
    b, c = put_node(g, B, i=10), put_node(g, C, i=20)
    for i, (s, e) in enumerate([(a[0], b), (a[1], b), (b, c)]):
        edge = vk.Edge(vk.Term(f"f{i}", vk.Application(s.type, e.type)), s, e, {"i": 100 + i})
        g.edges[edge.uid()] = edge
    return g


@pytest.mark.parametrize("args,expected", [
    (dict(node="n", type=A), [0, 1, 2]),
    (dict(node="n", type=A, properties={"i": 1.0}), [1]),
    (dict(node="n", type=A, type_schema="$B$"), []),
    (dict(node="n", type=vk.Application(A, B)), []),
    (dict(node="n", type_schema="$A$"), [0, 1, 2]),
    (dict(node="n", type_schema="$*$", properties={"i": 20}), [20]),
    (dict(node="n", properties={"missing": None}), []),
    (dict(node="n"), [0, 1, 2, 10, 20]),
    (dict(pattern="(n:A)"), [0, 1, 2]),
    (dict(pattern="(n:Z)"), []),
])
def test_node_match_binds_in_graph_order(g, args, expected):
    assert ids(g.query().match(**args).return_("n"), "n") == expected


@pytest.mark.parametrize("pattern,starts,edges,ends", [
    ("(a)-[e]->(b)", [0, 1, 10], [100, 101, 102], [10, 10, 20]),
    ("(a:A)-[e]->(b)", [0, 1], [100, 101], [10, 10]),
    ("(a)-[e]->(b:C)", [10], [102], [20]),
    ("(a)-[e:A -> B]->(b)", [0, 1], [100, 101], [10, 10]),
    ("(a)-[e:$* -> C$]->(b)", [10], [102], [20]),
    ("(a:A)<-[e]-(b)", [0, 1], [100, 101], [10, 10]),  # direction is not consulted
    ("(a:A)-[e]-(b)", [0, 1], [100, 101], [10, 10]),
    ("(a:C)-[e]->(b)", [], [], []),
    ("(x:A)-[e]->(x)", [10, 10], [100, 101], [10, 10]),  # one name at both ends: the ends
])
def test_single_edge_path_binds_aligned_lists(g, pattern, starts, edges, ends):
    a, b = ("x", "x") if "x" in pattern else ("a", "b")
    rows = g.query().match(pattern).return_(a, "e", b)
    assert (ids(rows, a), ids(rows, "e"), ids(rows, b)) == (starts, edges, ends)
    assert all(r["e"].end.properties is r[b].properties for r in rows)


def test_binding_replacement_and_forms_that_bind_nothing(g):
    q = g.query().match(node="n", type=B).match(node="m", type=A)
    q = q.match("(n)-[e]->(m)-[f]->(o)").match("(n)(m)").match(edge="e", start="n", end="m")
    assert ids(q.return_("n", "m", "e", "o"), "n") == [10, None, None]
    q = q.match(node="m", type=vk.Variable("Z"))  # replaced even by an empty list
    assert ids(q.return_("m", "n"), "n") == [10]
    assert vk.Graph().query().match(node="n").return_count() == 0


def test_edge_is_tested_with_the_nodes_it_holds(g):
    del g.nodes[vk.Node(B).uid()]
    assert len(g.query().match("(a)-[e]->(b:B)").return_("e")) == 2


@pytest.mark.parametrize("where,key,value,build,message", [
    ("nodes", "bad", 1, lambda q: q.match(node="n"), r"^'int' object cannot be cast as 'Node'$"),
    ("nodes", "bad", 1, lambda q: q.match(node="n", type=A), r"cast as 'Node'"),
    ("nodes", 3, vk.Node(A), lambda q: q.match(node="n", type=B), r"'int' object cannot be cast as 'str'"),
    ("nodes", "bad", "x", lambda q: q.match("(:A)"), r"cast as 'Node'"),  # no variable, same error
    ("nodes", "bad", 1, lambda q: q.merge(node="n", type=A), r"cast as 'Node'"),
    ("nodes", "bad", 1, lambda q: q.merge(node="n"), r"^'int' object cannot be cast as 'Node'$"),  # after a hit
    ("edges", "bad", vk.Node(A), lambda q: q.match("(a)-[e]->(b)"), r"^'Node' object cannot be cast as 'Edge'$"),
    ("edges", "bad", 1, lambda q: q.merge(edge="e", start="made", end="made"), r"cast as 'Edge'"),
])
def test_bad_graph_entries_fail_the_run(g, where, key, value, build, message):
    q = build(g.query().create(node="made", type=MADE))
    getattr(g, where)[key] = value
    with pytest.raises(TypeError, match=message):
        q.return_("made")
    assert vk.Node(MADE).uid() in g.nodes  # what ran before the failure stays done
    del getattr(g, where)[key]
    assert len(q.return_("made")) == 1


class Raises:
    def __eq__(self, other):
        raise ZeroDivisionError("boom")


def test_failed_match_assigns_nothing_and_earlier_bindings_stay(g):
    # a0 passes before a1 raises: n stays unbound, as the set ahead of it shows
    g.nodes["a1"].properties["i"] = Raises()
    q = g.query().merge(node="c", type=C).set("n", {"hit": 1}).match(node="n", properties={"i": 0})
    with pytest.raises(ZeroDivisionError, match="boom"):
        q.execute()
    g.nodes["a1"].properties["i"] = 1
    assert ids(q.return_("c"), "c") == [20, 20]  # the failed run's merge binding stayed
    assert "hit" not in g.nodes["a0"].properties


class AddsNode:
    def __eq__(self, other):
        put_node(AddsNode.graph, vk.Variable("New"))
        return False


@pytest.mark.parametrize("build,error", [
    (lambda q: q.match(node="n", properties={"i": 0}), True),
    (lambda q: q.match(node="n", type=A, properties={"i": 0}), False),  # works on copies
    (lambda q: q.merge(node="n", type_schema="$*$", properties={"i": 0}), False),  # collects first
])
def test_graph_changed_during_walk(g, build, error):
    AddsNode.graph = g
    g.nodes["a0"].properties["i"] = AddsNode()
    q = build(g.query())
    if error:
        with pytest.raises(RuntimeError, match="^dictionary changed size during iteration$"):
            q.execute()
    else:
        assert q.return_("n") == []
    assert "New" in [str(n.type) for n in g.nodes.values()]


def test_reentrant_run_from_comparison(g):
    class Reenter:
        def __eq__(self, other):
            q.return_count()

    put_node(g, vk.Variable("R"), "r", i=Reenter())
    q = g.query().match(node="n", properties={"i": 0})
    with pytest.raises(RuntimeError, match="^Already borrowed$"):
        q.return_("n")
    del g.nodes["r"]
    assert ids(q.return_("n"), "n") == [0]
