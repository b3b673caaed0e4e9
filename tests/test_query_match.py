"""Match execution: node and path forms, binding rules, bad graph entries and
Python code that fails or changes the graph during a match."""
import pytest

import velkora as vk

A, B, C = vk.Variable("A"), vk.Variable("B"), vk.Variable("C")


def put_node(g, t, key=None, **props):
    n = vk.Node(t, props)
    g.nodes[key if key is not None else n.uid()] = n
    return n


def put_edge(g, name, start, end, **props):
    e = vk.Edge(vk.Term(name, vk.Application(start.type, end.type)), start, end, props)
    g.edges[e.uid()] = e
    return e


def ids(rows, name):
    """The `i` property of each row's binding under name (None where absent)."""
    return [r[name].properties.get("i") if name in r else None for r in rows]


@pytest.fixture
def g():
    """Three A nodes under made-up keys, one B and one C; edges a0->b, a1->b, b->c."""
    g = vk.Graph()
    a = [put_node(g, A, f"a{i}", i=i) for i in range(3)]
    b = put_node(g, B, i=10)
    c = put_node(g, C, i=20)
    put_edge(g, "f0", a[0], b, i=100)
    put_edge(g, "f1", a[1], b, i=101)
    put_edge(g, "h", b, c, i=102)
    return g


NODE_MATCHES = [
    (dict(type=A), [0, 1, 2]),
    (dict(type=A, properties={"i": 1.0}), [1]),
    (dict(type=A, type_schema="$B$"), []),
    (dict(type=vk.Application(A, B)), []),
    (dict(type_schema="$A$"), [0, 1, 2]),
    (dict(type_schema="$*$", properties={"i": 20}), [20]),
    (dict(properties={"missing": None}), []),
    (dict(), [0, 1, 2, 10, 20]),
]


@pytest.mark.parametrize("criteria,expected", NODE_MATCHES)
def test_node_match_binds_in_graph_order(g, criteria, expected):
    assert ids(g.query().match(node="n", **criteria).return_("n"), "n") == expected


@pytest.mark.parametrize("pattern,expected", [
    ("(n:A)", [0, 1, 2]),
    ("(n:$*$)", [0, 1, 2, 10, 20]),
    ("(n:Z)", []),
])
def test_single_node_pattern_string(g, pattern, expected):
    assert ids(g.query().match(pattern).return_("n"), "n") == expected


PATHS = [
    ("(a)-[e]->(b)", [0, 1, 10], [100, 101, 102], [10, 10, 20]),
    ("(a:A)-[e]->(b)", [0, 1], [100, 101], [10, 10]),
    ("(a)-[e]->(b:C)", [10], [102], [20]),
    ("(a)-[e:A -> B]->(b)", [0, 1], [100, 101], [10, 10]),
    ("(a)-[e:$* -> C$]->(b)", [10], [102], [20]),
    # the direction of the edge pattern is not consulted
    ("(a:A)<-[e]-(b)", [0, 1], [100, 101], [10, 10]),
    ("(a:A)-[e]-(b)", [0, 1], [100, 101], [10, 10]),
    ("(a:C)-[e]->(b)", [], [], []),
]


@pytest.mark.parametrize("pattern,starts,edges,ends", PATHS)
def test_single_edge_path_binds_aligned_lists(g, pattern, starts, edges, ends):
    rows = g.query().match(pattern).return_("a", "e", "b")
    assert (ids(rows, "a"), ids(rows, "e"), ids(rows, "b")) == (starts, edges, ends)
    for r in rows:
        assert r["e"].start.properties is r["a"].properties
        assert r["e"].end.properties is r["b"].properties


def test_path_with_one_name_at_both_ends_keeps_the_end_nodes(g):
    assert ids(g.query().match("(x:A)-[e]->(x)").return_("x"), "x") == [10, 10]


def test_later_match_replaces_earlier_binding(g):
    q = g.query().match(node="n", type=A)
    assert len(q.return_("n")) == 3
    q2 = q.match(node="n", type=vk.Variable("Z"))
    assert q2.return_("n") == [] and q2.return_count() == 0


def test_longer_paths_and_lone_edges_bind_nothing(g):
    q = g.query().match(node="a", type=B)
    q = q.match("(a)-[e]->(b)-[f]->(c)").match("(a)(b)").match(edge="e", start="a", end="b")
    assert ids(q.return_("a", "b", "c", "e", "f"), "a") == [10]


def test_edge_is_tested_with_the_nodes_it_holds(g):
    del g.nodes[vk.Node(B).uid()]
    assert len(g.query().match("(a)-[e]->(b:B)").return_("e")) == 2


def test_empty_graph_binds_empty_list():
    q = vk.Graph().query().match(node="n").match("(a)-[e]->(b)")
    assert q.return_("n", "a", "e", "b") == [] and q.return_count() == 0


BAD_ENTRIES = [
    ("nodes", "bad", 1, lambda q: q.match(node="n"), r"^'int' object cannot be cast as 'Node'$"),
    ("nodes", "bad", 1, lambda q: q.match(node="n", type=A), r"cast as 'Node'"),
    ("nodes", 3, vk.Node(A), lambda q: q.match(node="n", type=B), r"cast as 'str'"),
    ("nodes", "bad", "x", lambda q: q.match("(:A)"), r"cast as 'Node'"),  # no variable, same error
    ("nodes", "bad", 1, lambda q: q.merge(node="n", type=A), r"cast as 'Node'"),
    ("edges", "bad", 1, lambda q: q.match("(a)-[e]->(b)"), r"^'int' object cannot be cast as 'Edge'$"),
    ("edges", "bad", vk.Node(A), lambda q: q.match("(a)-[e]->(b)"), r"'Node' object cannot be cast as 'Edge'"),
]


MADE = vk.Variable("Made")


@pytest.mark.parametrize("where,key,value,build,message", BAD_ENTRIES)
def test_bad_graph_entries_fail_the_run(g, where, key, value, build, message):
    q = build(g.query().create(node="made", type=MADE))
    getattr(g, where)[key] = value
    with pytest.raises(TypeError, match=message):
        q.return_("made")
    assert vk.Node(MADE).uid() in g.nodes  # what ran before the failure stays done
    del getattr(g, where)[key]
    assert len(q.return_("made")) == 1


def test_bindings_made_before_a_failure_are_kept(g):
    q = g.query().merge(node="c", type=C).match("(a)-[e]->(b)")
    g.edges["bad"] = 1
    with pytest.raises(TypeError):
        q.return_("c")
    del g.edges["bad"]
    # the failed run appended one binding, this run a second
    assert ids(q.return_("c"), "c") == [20, 20]


class Raises:
    def __eq__(self, other):
        raise ZeroDivisionError("boom")


class AddsNode:
    def __init__(self, g):
        self.g = g

    def __eq__(self, other):
        put_node(self.g, vk.Variable("New"))
        return False


def test_failed_match_assigns_nothing(g):
    # a0 passes before a1's comparison fails; n must stay unbound, which the
    # set ahead of the match shows on the next run
    g.nodes["a1"].properties["i"] = Raises()
    q = g.query().set("n", {"touched": True}).match(node="n", properties={"i": 0})
    with pytest.raises(ZeroDivisionError):
        q.execute()
    g.nodes["a1"].properties["i"] = 1
    q.execute()
    assert "touched" not in g.nodes["a0"].properties


def test_comparison_error_surfaces_and_keeps_earlier_effects(g):
    put_node(g, B, "weird", i=Raises())
    q = g.query().create(node="made", type=vk.Variable("Made")).match(node="n", properties={"i": 10})
    with pytest.raises(ZeroDivisionError, match="boom"):
        q.return_("made", "n")
    assert vk.Node(vk.Variable("Made")).uid() in g.nodes
    del g.nodes["weird"]
    rows = q.return_("made", "n")
    assert ids(rows, "n") == [10] and "made" in rows[0]


@pytest.mark.parametrize("build", [
    lambda q: q.match(node="n", properties={"i": 0}),
    lambda q: q.merge(node="n", properties={"i": 0}),
    lambda q: q.merge(node="n", type_schema="$A$", properties={"i": 0}),
])
def test_graph_changed_during_walk(g, build):
    g.nodes["a0"].properties["i"] = AddsNode(g)
    q = build(g.query())
    with pytest.raises(RuntimeError, match="^dictionary changed size during iteration$"):
        q.return_("n")
    assert "New" in [str(n.type) for n in g.nodes.values()]


def test_typed_match_is_not_disturbed_by_graph_changes(g):
    g.nodes["a0"].properties["i"] = AddsNode(g)
    rows = g.query().match(node="n", type=A, properties={"i": 5}).return_("n")
    assert rows == [] and "New" in [str(n.type) for n in g.nodes.values()]


def test_reentrant_run_from_comparison(g):
    q = g.query()

    class Reenter:
        def __eq__(self, other):
            q.return_count()

    put_node(g, vk.Variable("R"), "r", i=Reenter())
    q = q.match(node="n", properties={"i": 0})
    with pytest.raises(RuntimeError, match="^Already borrowed$"):
        q.return_("n")
    del g.nodes["r"]
    assert ids(q.return_("n"), "n") == [0]
