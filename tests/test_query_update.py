"""Create, merge, set and delete at execution."""
import re

import pytest

import velkora as vk

A, B, C, P = (vk.Variable(n) for n in ("A", "B", "C", "Person"))


def uid(t):
    return vk.Node(t).uid()


@pytest.fixture
def g():
    """Nodes A and B under their uids; edges f, f2: A->B and h: B->A."""
    g = vk.Graph()
    a, b = vk.Node(A, {"k": "a"}), vk.Node(B, {"k": "b"})
    g.nodes[a.uid()], g.nodes[b.uid()] = a, b
    for name, s, e in (("f", a, b), ("f2", a, b), ("h", b, a)):
        edge = vk.Edge(vk.Term(name, vk.Application(s.type, e.type)), s, e, {"name": name})
        g.edges[edge.uid()] = edge
    return g


def edge_names(g):
    return sorted(e.properties["name"] for e in g.edges.values() if isinstance(e, vk.Edge))


def test_create_files_node_under_uid_replacing_and_binding(g):
    name = "Alice"
    q = g.query().create(node="p", type=P, properties={"name": name})
    [row] = q.return_("p")
    stored = g.nodes[uid(P)]
    assert stored.properties == {"name": "Alice"} and stored.properties["name"] is name
    assert row["p"] is not stored and row["p"].properties is stored.properties
    assert len(q.return_("p")) == 1 and g.nodes[uid(P)] is not stored  # run again: replaced
    g.query().create(node="x", type=A, properties={"new": 1}).execute()
    assert g.nodes[uid(A)].properties == {"new": 1} and len(g.nodes) == 3


def test_merge_node(g):
    q = g.query().merge(node="n", type=A, properties={"k": "a"})
    assert len(q.return_("n")) == 1 and len(q.return_("n")) == 2  # appended on every run
    q = g.query().match(node="n").merge(node="n", type=C, properties={"x": 1})
    assert [str(r["n"].type) for r in q.return_("n")] == ["C"]  # created and assigned
    assert g.nodes[uid(C)].properties == {"x": 1}
    q = g.query().match(node="n", type=A).merge(node="n", properties={"k": "zzz"})
    assert len(q.return_("n")) == 1 and len(g.nodes) == 3  # no type: nothing created


@pytest.mark.parametrize("matches,expected", [
    (["(s:A)", "(t:B)"], ["f"]),  # the first of f and f2 in edges order
    (["(s:B)", "(t:A)"], ["h"]),
    (["(s:A)", "(t:A)"], []),  # no such edge: nothing, and nothing created
    (["(s:A)"], []),  # t unbound
    (["(s:$*$)", "(t:B)"], ["f"]),  # only the first binding of s counts
    (["(t:B)-[s]->(x)"], []),  # s bound to an edge
])
def test_merge_edge(g, matches, expected):
    q = g.query()
    for m in matches:
        q = q.match(m)
    rows = q.merge(edge="e", start="s", end="t").return_("e")
    assert [r["e"].properties["name"] for r in rows] == expected and len(g.edges) == 3


def sided_graph():
    """Nodes s0..s2 and t0..t2; a node i of side x has the keys x(i+1)..x3, so
    properties={"s2": True} matches s0 and s1."""
    g = vk.Graph()
    for side in "st":
        for i in range(3):
            n = vk.Node(vk.Variable(f"{side}{i}"), {"i": i, **{f"{side}{k}": True for k in range(i + 1, 4)}})
            g.nodes[n.uid()] = n
    return g


F = vk.Term("f", vk.Application(A, B))


@pytest.mark.parametrize("ns,ne,expected", [
    (2, 2, [(0, 0), (1, 1)]),
    (1, 3, [(0, 0), (0, 1), (0, 2)]),
    (3, 1, [(0, 0), (1, 0), (2, 0)]),
    (0, 0, []), (1, 0, []), (0, 1, []),
    (3, 2, "cannot pair 3 'a' nodes with 2 'b' nodes"),
    (0, 2, "cannot pair 0 'a' nodes with 2 'b' nodes"),
])
def test_create_edge_pairs_bound_nodes(ns, ne, expected):
    g = sided_graph()
    q = g.query().match(node="a", properties={f"s{ns}": True}).match(node="b", properties={f"t{ne}": True})
    q = q.create(edge="e", term=F, start="a", end="b", properties={"w": [1]})
    if isinstance(expected, str):
        with pytest.raises(ValueError, match=f"^Invalid query: {re.escape(expected)}$"):
            q.execute()
        assert g.edges == {}
        return
    rows = q.return_("a", "e", "b")
    assert [(r["a"].properties["i"], r["b"].properties["i"]) for r in rows] == expected
    for r in rows:
        assert r["e"].start.properties is r["a"].properties and r["e"].end.properties is r["b"].properties
        assert r["e"].properties == {"w": [1]}
    assert len({id(r["e"].properties) for r in rows}) == len(rows)  # a dict of its own each
    # Edges of one term share one uid: the last one created is the one filed.
    assert [e.properties for e in g.edges.values()] == [r["e"].properties for r in rows[-1:]]


def test_created_edges_and_their_ends_are_filtered_together():
    g = sided_graph()
    rows = (g.query().match(node="a", properties={"s3": True}).match(node="b", properties={"t1": True})
            .create(edge="e", term=F, start="a", end="b").where("a.i >= 1").return_("a", "e", "b"))
    assert [(r["a"].properties["i"], r["e"].start.properties["i"], r["b"].properties["i"]) for r in rows] == \
        [(1, 1, 0), (2, 2, 0)]


def test_create_edge_with_one_name_at_both_ends_makes_loops():
    g = sided_graph()
    rows = g.query().match(node="a", properties={"s2": True}).create(edge="e", term=F, start="a", end="a") \
        .return_("a", "e")
    assert [(r["e"].start.properties["i"], r["e"].end.properties["i"]) for r in rows] == [(0, 0), (1, 1)]


def state(g):
    return [[(k, v, dict(getattr(v, "properties", {}))) for k, v in d.items()] for d in (g.nodes, g.edges)]


@pytest.mark.parametrize("build,exc,message", [
    (lambda q: q.create(edge="x", start="a", end="b"), ValueError, "Invalid query: Creating an edge needs a term"),
    (lambda q: q.create(edge="x", term=F, start="zz", end="b"), NameError, "Variable 'zz' not found (create)"),
    (lambda q: q.create(edge="x", term=F, start="a", end="e"), ValueError,
     "Invalid query: 'e' is bound to an edge; edges are created between nodes"),
    (lambda q: q.create(edge="x", term=F, start="a", end="all"), ValueError,
     "Invalid query: cannot pair 3 'a' nodes with 2 'all' nodes"),
    (lambda q: q.create("(c:C)-[x]->(d:Person)"), ValueError, "Invalid query: Creating an edge needs a term"),
    (lambda q: q.create("(c:C)(d:*)"), ValueError, "Invalid query: cannot create a node from schema '$*$'"),
    (lambda q: q.create("(c:C)(d:$(x:*) -> A$)"), ValueError,
     "Invalid query: cannot create a node from schema '$(x:*) -> A$'"),
    (lambda q: q.create("(c:C)(d)"), ValueError, "Invalid query: Creating a node needs a type"),
    (lambda q: q.create(node="d"), ValueError, "Invalid query: Creating a node needs a type"),
    (lambda q: q.merge(edge="x", term=F, start="zz", end="b"), NameError, "Variable 'zz' not found (merge)"),
    (lambda q: q.merge(edge="x", term=F, start="e", end="b"), ValueError,
     "Invalid query: 'e' is bound to an edge; edges are created between nodes"),
])
def test_failing_write_changes_nothing(g, build, exc, message):
    q = g.query().match("(a)-[e]->(b)").match(node="all")
    before = state(g)
    with pytest.raises(exc, match=f"^{re.escape(message)}$"):
        build(q).execute()
    assert state(g) == before and uid(C) not in g.nodes


def test_create_from_pattern_string_makes_the_labels_types():
    g = vk.Graph()
    g.query().create("(a:A -> B)(:$(f:A -> B) -> C$)").execute()
    assert [n.type for n in g.nodes.values()] == [vk.Application(A, B), vk.Application(vk.Application(A, B), C)]


CO = vk.Variable("Company")


@pytest.mark.parametrize("kwargs", [
    dict(type=CO), dict(type_schema="$Company$"), dict(type_schema=vk.TypeSchema("Company")),
])
def test_merge_keeps_the_stored_nodes_data(kwargs):
    g = vk.Graph()
    acme = vk.Node(CO, {"name": "Acme", "employees": 500})
    g.nodes[acme.uid()] = acme
    q = g.query().merge(node="c", properties={"name": "Acme Corp"}, **kwargs)
    [row] = q.return_("c")
    assert g.nodes == {acme.uid(): acme} and row["c"].properties is acme.properties
    assert acme.properties == {"name": "Acme Corp", "employees": 500}
    assert len(q.return_("c")) == 2  # now it passes the test: appended as found


@pytest.mark.parametrize("term,props,found", [
    (vk.Term("f", vk.Application(A, B)), None, "f"),
    (vk.Term("f", vk.Application(A, B)), {"name": "f"}, "f"),
    (vk.Term("f", vk.Application(A, B)), {"name": "other"}, None),  # filed under f's uid: f is replaced
    (vk.Term("f", vk.Application(B, B)), None, None),
    (vk.Term("new", A), {"name": "new"}, None),
])
def test_merge_edge_with_term(g, term, props, found):
    stored = dict(g.edges)
    q = g.query().match(node="s", type=A).match(node="t", type=B).match(node="e", type=A)
    q = q.merge(edge="e", term=term, start="s", end="t", properties=props)
    rows = q.return_("s", "e", "t")
    if found:
        assert [len(rows), rows[0]["e"].properties, rows[1]["e"].properties] == [2, {"k": "a"}, {"name": "f"}]
        assert dict(g.edges) == stored
        return
    [row] = rows  # the edge variable's list becomes the new edge
    e = row["e"]
    assert (e.term, e.start.properties, e.end.properties) == (term, {"k": "a"}, {"k": "b"})
    assert g.edges[e.uid()].properties is e.properties and e.properties == (props or {})
    assert e.properties is not (props or {})
    assert len(q.return_("s", "e", "t")) == 2  # found on the next run


def test_merge_edge_with_term_and_no_start_node_does_nothing(g):
    q = g.query().match(node="s", type=C).match(node="t", type=B)
    assert q.merge(edge="e", term=F, start="s", end="t").return_("e") == [] and len(g.edges) == 3


def test_write_through_queries_round_trip():
    g = vk.Graph()
    works = vk.Term("works_for", vk.Application(P, CO))
    q = (g.query().create(node="p", type=P).create(node="c", type=CO)
         .create(edge="e", term=works, start="p", end="c", properties={"since": 2020}))
    q.execute()
    found = g.query().match("(a)-[w:Person -> Company]->(b)").set("w", {"role": "cto"}).return_("w")
    assert [r["w"].properties for r in found] == [{"since": 2020, "role": "cto"}]
    g.query().match(node="p", type=P).delete("p", detach=True).execute()
    assert g.edges == {} and [n.type for n in g.nodes.values()] == [CO]


def test_set_merges_into_bound_nodes_and_edges(g):
    tag, d = object(), {"k": "new"}
    q = g.query().match(node="n").set("n", d).match("(a:B)-[e]->(b)").set("e", {"x": 1}).set("no", {"x": 1})
    d["tag"] = tag  # read at execution
    q.execute()
    assert [n.properties for n in g.nodes.values()] == [{"k": "new", "tag": tag}] * 2
    assert {e.properties["name"]: e.properties.get("x") for e in g.edges.values()} == {"f": None, "f2": None, "h": 1}
    assert g.nodes[uid(A)].properties["tag"] is tag


class Key(str):
    """A key whose hashing, once armed, grows the dict it belongs to."""
    armed = None

    def __hash__(self):
        if Key.armed is not None:
            d, Key.armed = Key.armed, None
            d["grown"] = 1
        return str.__hash__(self)


def test_set_dict_changed_during_walk(g):
    d = {Key("a"): 1, "b": 2}
    Key.armed = d
    with pytest.raises(RuntimeError, match="^dictionary changed size during iteration$"):
        g.query().match(node="n", type=A).set("n", d).execute()
    assert g.nodes[uid(A)].properties == {"k": "a", "a": 1}


@pytest.mark.parametrize("detach,edges_left", [(False, ["f", "f2", "h"]), (True, [])])
def test_delete_node(g, detach, edges_left):
    g.edges["not an edge"] = "kept"
    rows = g.query().match(node="a", type=A).delete("a", "a", "nobody", detach=detach).return_("a")
    assert uid(A) not in g.nodes and uid(B) in g.nodes
    assert edge_names(g) == edges_left and g.edges["not an edge"] == "kept"
    assert [r["a"].properties for r in rows] == [{"k": "a"}]  # bindings survive the delete


def test_detach_spares_edges_of_other_nodes(g):
    c, d = vk.Node(C), vk.Node(vk.Variable("D"))
    g.edges["far"] = vk.Edge(vk.Term("far", vk.Application(C, C)), c, d, {"name": "far"})
    g.query().match(node="b", type=B).delete("b", detach=True).execute()
    assert edge_names(g) == ["far"] and uid(A) in g.nodes


def test_delete_edges_and_entries_already_gone(g):
    g.query().match("(a:B)-[e]->(b)").delete("e").delete("e").execute()
    assert edge_names(g) == ["f", "f2"]
    g.nodes.clear()
    g.query().match(node="gone").create(node="x", type=A).delete("x", "x").execute()
    assert g.nodes == {}
