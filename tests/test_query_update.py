"""Create, merge, set and delete at execution."""
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


def test_creates_without_exact_type_change_nothing(g):
    q = g.query().match(node="p", type=A).create(node="p").create("(p:C)-[e:f]->(q:Person)")
    rows = q.create(edge="e", term=vk.Term("t", A), start="p", end="p").return_("p", "q", "e")
    assert [r["p"].properties for r in rows] == [{"k": "a"}] and len(g.nodes) == 2


def test_merge_node(g):
    q = g.query().merge(node="n", type=A, properties={"k": "a"})
    assert len(q.return_("n")) == 1 and len(q.return_("n")) == 2  # appended on every run
    q = g.query().match(node="n").merge(node="n", type=C, properties={"x": 1})
    assert [str(r["n"].type) for r in q.return_("n")] == ["C"]  # created and assigned
    assert g.nodes[uid(C)].properties == {"x": 1}
    q = g.query().match(node="n", type=A).merge(node="n", properties={"k": "zzz"})
    assert len(q.return_("n")) == 1 and len(g.nodes) == 3  # no type: nothing created


def test_merge_whose_schema_rejects_its_own_node_creates_every_run(g):
    q = g.query().merge(node="n", type=C, type_schema="$D$")
    q.execute()
    first = g.nodes[uid(C)]
    q.execute()
    assert g.nodes[uid(C)] is not first


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


def test_set_merges_into_bound_nodes_only(g):
    tag, d = object(), {"k": "new"}
    q = g.query().match(node="n").set("n", d).match("(a)-[e]->(b)").set("e", {"x": 1}).set("no", {"x": 1})
    d["tag"] = tag  # read at execution
    q.execute()
    assert [n.properties for n in g.nodes.values()] == [{"k": "new", "tag": tag}] * 2
    assert all("x" not in e.properties for e in g.edges.values())
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
