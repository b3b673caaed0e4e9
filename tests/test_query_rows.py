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
    return [{k: v.properties["i"] for k, v in r.items()} for r in rows]


def test_road_of_one_query():
    g = vk.Graph()
    q = g.query().create(node="p", type=P, properties={"name": "Alice"}).match("(n:Person)")
    assert g.nodes == {}  # builders run nothing
    rows = q.return_("p", "n")
    [stored] = g.nodes.values()
    assert list(g.nodes) == [stored.uid()] and str(stored) == "Node(Person)"
    assert [list(r) for r in rows] == [["p", "n"]] and rows[0]["p"] is not rows[0]["n"]
    assert rows[0]["p"].properties is stored.properties is rows[0]["n"].properties
    assert stored.properties == {"name": "Alice"} and rows[0]["p"] is not stored


@pytest.mark.parametrize("names,expected", [
    (("a",), [{"a": 0}, {"a": 1}]),
    (("b", "a"), [{"b": 2, "a": 0}, {"b": 3, "a": 1}, {"b": 4}, {"b": 5}, {"b": 6}]),
    (("a", "x"), [{"a": 0}, {"a": 1}]),
    (("x",), []),
    ((), []),
    (("a", "a"), [{"a": 0}, {"a": 1}]),
])
def test_rows_by_position(names, expected):
    q = graph_with(A, A, B, B, B, B, B).query().match(node="a", type=A).match(node="b", type=B)
    rows = q.return_(*names)
    assert shape(rows) == expected and [list(r) for r in rows] == [list(r) for r in expected]
    assert q.return_count() == 5


def test_row_keys_are_plain_str_and_runs_need_str_names():
    class Name(str):
        pass

    g = graph_with(A)
    q = g.query().match(node="n").create(node="c", type=B)
    assert [type(k) for k in q.return_(Name("n"))[0]] == [str]
    del g.nodes[vk.Node(B).uid()]
    for call in (lambda: q.return_(["n"]), lambda: q.return_distinct("n", 1)):
        with pytest.raises(TypeError, match=r"^argument 'variables': '(list|int)' object cannot be cast as 'str'$"):
            call()
    assert list(g.nodes) == ["k0"]  # the queue did not run


def test_empty_query_and_execute_copies_after_the_run():
    q = vk.Graph().query()
    assert q.return_() == [] and q.return_("n") == [] and q.return_count() == 0
    assert type(q.execute()) is vk.Query and q.execute() is not q
    q = graph_with(A).query().merge(node="n", type=A)
    q2 = q.execute()  # q and q2 both hold n -> [A]
    assert len(q2.return_("n")) == 2 and len(q.return_("n")) == 2
    assert len(q.execute().return_("n")) == 4


def test_distinct_rows():
    g = graph_with(A, A, B)  # two node objects of type A: one uid
    q = g.query().match(node="n")
    assert shape(q.return_("n")) == [{"n": 0}, {"n": 1}, {"n": 2}]
    assert shape(q.return_distinct("n")) == [{"n": 0}, {"n": 2}]
    assert q.return_count() == 3
    a, b = g.nodes["k0"], g.nodes["k2"]
    f = vk.Term("f", vk.Application(A, B))
    g.edges[f.uid()] = vk.Edge(f, a, b, {"i": 9})
    g.edges["copy"] = vk.Edge(f, a, b, {"i": 8})  # the same uid under another key
    g.edges["other"] = vk.Edge(vk.Term("h", f.type), a, b, {"i": 7})
    q = g.query().match("(x)-[y]->(z)")
    for _ in range(4):
        q = q.merge(node="w", type=A)
    assert shape(q.return_distinct("x", "y", "w")) == [
        {"x": 0, "y": 9, "w": 0}, {"x": 0, "y": 7, "w": 0}, {"w": 0}]
    assert shape(q.return_distinct("w", "z")) == [{"w": 0, "z": 2}, {"w": 0}]


def full_runs(n):
    g = vk.Graph()
    f = vk.Term("f", vk.Application(A, B))
    edge = vk.Edge(f, vk.Node(A), vk.Node(B))
    d = {"seen": 1}
    for i in range(n):
        g.edges[f.uid()] = edge
        q = (g.query().create(node="a", type=A, properties={"i": i}).create(node="b", type=B)
             .match("(x:A)-[e]->(y)").merge(node="m", type=A).merge(edge="e2", start="a", end="b")
             .set("a", d).where("x.k IS NULL OR x:A").with_("x").order_by("x", "k").skip(1).limit(2))
        q.return_("a", "b", "x", "e", "y", "m", "e2")
        q.return_distinct("a", "x")
        q.execute().return_count()
        q.delete("a", detach=True).execute()
        for bad in (lambda: q.match("(a"), lambda: q.create(edge="e", start=1)):
            with pytest.raises(ValueError):
                bad()


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


# Row assembly holds the collector off while it makes the rows. Every way out
# of a call, allocation failures at each step included, must leave the
# collector as the program had it: on, or off because the program said so.
COLLECTOR_STATE = """
import gc, _testcapi, velkora as vk
A, B = vk.Variable("A"), vk.Variable("B")
g = vk.Graph()
for i in range(3):
    a, b = vk.Node(vk.Variable(f"a{i}")), vk.Node(vk.Variable(f"b{i}"))
    e = vk.Edge(vk.Term(f"f{i}", vk.Application(a.type, b.type)), a, b)
    g.nodes[a.uid()], g.nodes[b.uid()], g.edges[e.uid()] = a, b, e
q = g.query().match("(a)-[e]->(b)")
for enabled in (True, False):
    (gc.enable if enabled else gc.disable)()
    failures = 0
    for nth in range(300):
        _testcapi.set_nomemory(nth, nth + 1)
        try:
            rows = q.return_("a", "e", "b")
        except MemoryError:
            failures += 1
        finally:
            _testcapi.remove_mem_hooks()
        assert gc.isenabled() is enabled, (enabled, nth)
    assert failures and len(q.return_("a", "e", "b")) == 3
print("ok")
"""


def test_rows_leave_the_collector_as_they_found_it(python_subprocess):
    pytest.importorskip("_testcapi")
    out = python_subprocess(COLLECTOR_STATE)
    assert out.returncode == 0 and out.stdout.strip() == "ok", out.stderr[-2000:]
