"""Running a query and reading its rows: return_, return_distinct,
return_count and execute, from one query's start to its end."""
import gc
import os
import sys

import pytest

import velkora as vk

A, B, P = vk.Variable("A"), vk.Variable("B"), vk.Variable("Person")


def graph_with(*types):
    g = vk.Graph()
    for i, t in enumerate(types):
        g.nodes[f"k{i}"] = vk.Node(t, {"i": i})
    return g


def shape(rows):
    """Each row as its keys with the bound objects' `i` property."""
    return [{k: v.properties.get("i") for k, v in r.items()} for r in rows]


def test_road_of_one_query():
    g = vk.Graph()
    q = g.query()
    q2 = q.create(node="p", type=P, properties={"name": "Alice"})
    q3 = q2.match("(n:Person)")
    assert g.nodes == {}  # builders run nothing
    rows = q3.return_("p", "n")
    [stored] = g.nodes.values()
    assert list(g.nodes) == [stored.uid()] and str(stored) == "Node(Person)"
    assert [list(r) for r in rows] == [["p", "n"]]
    assert rows[0]["p"] is not rows[0]["n"] and rows[0]["p"] is not stored
    assert rows[0]["p"].properties is stored.properties is rows[0]["n"].properties
    assert stored.properties == {"name": "Alice"}
    # the second call runs both operations again: one node, replaced
    assert len(q3.return_("p", "n")) == 1 and g.nodes[stored.uid()] is not stored


def a2_b5():
    g = graph_with(A, A, B, B, B, B, B)
    return g.query().match(node="a", type=A).match(node="b", type=B)


ROWS = [
    (("a",), [{"a": 0}, {"a": 1}]),
    (("b", "a"), [{"b": 2, "a": 0}, {"b": 3, "a": 1}, {"b": 4}, {"b": 5}, {"b": 6}]),
    (("a", "x"), [{"a": 0}, {"a": 1}]),
    (("x",), []),
    ((), []),
    (("a", "a"), [{"a": 0}, {"a": 1}]),
]


@pytest.mark.parametrize("names,expected", ROWS)
def test_rows_by_position(names, expected):
    q = a2_b5()
    rows = q.return_(*names)
    assert shape(rows) == expected
    assert [list(r) for r in rows] == [list(r) for r in expected]
    assert q.return_count() == 5


def test_row_keys_are_plain_str():
    class Name(str):
        pass

    [row] = graph_with(A).query().match(node="n").return_(Name("n"))
    assert [type(k) for k in row] == [str]


def test_rows_hold_new_objects_sharing_properties():
    g = graph_with(A)
    [r1] = g.query().match(node="n").return_("n")
    [r2] = g.query().match(node="n").return_("n")
    assert r1["n"] is not r2["n"] and r1["n"] is not g.nodes["k0"]
    r1["n"].properties["seen"] = True
    assert g.nodes["k0"].properties["seen"] is True


def test_empty_query():
    q = vk.Graph().query()
    assert q.return_() == [] and q.return_("n") == [] and q.return_count() == 0
    q2 = q.execute()
    assert type(q2) is vk.Query and q2 is not q


def test_execute_returns_copy_taken_after_the_run():
    g = graph_with(A)
    q = g.query().merge(node="n", type=A)
    q2 = q.execute()              # q and q2 hold n -> [A]
    assert len(q2.return_("n")) == 2
    assert len(q.return_("n")) == 2
    assert len(q.execute().return_("n")) == 4


@pytest.mark.parametrize("call", [
    lambda q: q.return_(["n"]),
    lambda q: q.return_distinct("n", 1),
])
def test_names_must_be_str(call):
    g = graph_with()
    q = g.query().create(node="n", type=A)
    with pytest.raises(TypeError, match=r"^argument 'variables': '(list|int)' object cannot be cast as 'str'$"):
        call(q)
    assert g.nodes == {}  # the queue did not run


# ----- distinct rows ----------------------------------------------------------------

def test_distinct_drops_repeated_rows_keeping_first_occurrences():
    g = graph_with(A, B)
    q = g.query().merge(node="n", type=A).merge(node="n", type=B).merge(node="n", type=A)
    assert shape(q.return_("n")) == [{"n": 0}, {"n": 1}, {"n": 0}]
    assert shape(q.return_distinct("n")) == [{"n": 0}, {"n": 1}]
    assert q.return_count() == 9  # three runs so far, three merges each


def test_distinct_compares_nodes_by_uid():
    g = graph_with(A, A, B)  # two node objects of type A under two keys
    q = g.query().match(node="n")
    assert shape(q.return_distinct("n")) == [{"n": 0}, {"n": 2}]


def test_distinct_rows_compare_names_and_uids():
    g = graph_with(A, B)
    a, b = g.nodes["k0"], g.nodes["k1"]
    f = vk.Term("f", vk.Application(A, B))
    g.edges[f.uid()] = vk.Edge(f, a, b, {"i": 9})
    g.edges["copy"] = vk.Edge(f, a, b, {"i": 8})  # the same uid under another key
    g.edges["other"] = vk.Edge(vk.Term("h", f.type), a, b, {"i": 7})
    q = g.query().match("(x)-[y]->(z)")
    for _ in range(4):
        q = q.merge(node="w", type=A)
    assert shape(q.return_distinct("x", "y", "w")) == [
        {"x": 0, "y": 9, "w": 0}, {"x": 0, "y": 7, "w": 0}, {"w": 0}]
    assert shape(q.return_distinct("z")) == [{"z": 1}]
    assert shape(q.return_distinct("w", "z")) == [{"w": 0, "z": 1}, {"w": 0}]


# ----- memory -------------------------------------------------------------------

def full_runs(n):
    g = vk.Graph()
    f = vk.Term("f", vk.Application(A, B))
    a, b = vk.Node(A), vk.Node(B)
    edge = vk.Edge(f, a, b)
    d = {"seen": 1}
    for i in range(n):
        g.edges[f.uid()] = edge
        q = (g.query().create(node="a", type=A, properties={"i": i}).create(node="b", type=B)
             .match("(x:A)-[e]->(y)").merge(node="m", type=A).merge(edge="e2", start="a", end="b")
             .set("a", d).where("x").with_("x").order_by("x", "k").skip(1).limit(2))
        q.return_("a", "b", "x", "e", "y", "m", "e2")
        q.return_distinct("a", "x")
        q.execute().return_count()
        q.delete("a", detach=True).execute()
        try:
            q.match("(a")
        except ValueError:
            pass
        try:
            q.create(edge="e", start=1)
        except ValueError:
            pass


def resident_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def test_full_query_runs_leave_memory_flat():
    full_runs(1000)
    gc.collect()
    blocks, rss = sys.getallocatedblocks(), resident_bytes()
    full_runs(10_000)
    gc.collect()
    assert sys.getallocatedblocks() - blocks < 1000
    if "asan" not in os.environ.get("LD_PRELOAD", ""):  # its quarantine holds freed memory
        assert resident_bytes() - rss < 2 << 20
