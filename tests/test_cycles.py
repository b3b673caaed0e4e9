"""Reference cycles through the module's objects are collected, values that
several objects share are counted once, and a cleared object keeps working."""
import ctypes
import gc
import weakref

import pytest

import velkora as vk

A, B = vk.Variable("A"), vk.Variable("B")
F = vk.Term("f", vk.Application(A, B))


def graph_with_edge(canary):
    """Nodes A and B and an edge A -> B; A's dict holds the canary."""
    g, n, m = vk.Graph(), vk.Node(A, {"canary": canary}), vk.Node(B)
    e = vk.Edge(F, n, m)
    g.nodes[n.uid()], g.nodes[m.uid()], g.edges[e.uid()] = n, m, e
    return g, n, e


def node_holds_its_graph(canary):
    g, n, _ = graph_with_edge(canary)
    n.properties["graph"] = g


def edge_held_by_itself_and_its_start(canary):
    n = vk.Node(A, {"canary": canary})
    e = vk.Edge(F, n, vk.Node(B), {"canary": canary})
    e.properties["self"] = n.properties["edge"] = e  # e's snapshot of n shares n's dict


def query_run_in_node_properties(canary):
    g, n, _ = graph_with_edge(canary)
    q = g.query().match(node="n", type=A).set("n", {"nodes": g.nodes})
    q.return_count()
    n.properties["query"] = q


def rows_in_node_properties(canary):
    # The rows' Nodes and the edge's snapshots share the nodes' records.
    g, n, _ = graph_with_edge(canary)
    n.properties["rows"] = g.query().match("(a)-[e]->(b)").return_("a", "e", "b")


def edge_rows_in_edge_properties(canary):
    # A row's Edge holds the stored edge's end snapshots, whose dicts lead
    # back to the graph.
    g, n, e = graph_with_edge(canary)
    n.properties["graph"] = g
    e.properties["rows"] = g.query().match("(a)-[e]->(b)").return_("e")


def query_holds_itself(canary):
    q = vk.Graph().query()  # only the query's own clear breaks this: tuples have none
    q.match(node="n", properties={"k": (q, canary)})


def patterns_hold_themselves(canary):
    box = [canary]
    box += [vk.NodePattern(properties={"k": box}), vk.EdgePattern(properties={"k": box}),
            vk.PathPattern("(a)").add_node(vk.NodePattern(properties={"k": box}))]


def copies_share_bindings(canary):
    g, n, _ = graph_with_edge(canary)
    q = g.query().match(node="n", type=A).execute()
    n.properties["keep"] = (q, q.limit(5))


def copies_share_a_queue(canary):
    g, n, _ = graph_with_edge(canary)
    d = {"canary": canary}
    q = g.query().match(node="n").set("n", d)
    d["keep"] = (q, q.limit(1))


def arrays_share_operations(canary):
    # q.skip continues on an array of its own, sharing q's operations with
    # the array of q and q.limit.
    d = {"canary": canary}
    q = vk.Graph().query().match(node="n", properties={"k": d})
    d["keep"] = (q, q.limit(1), q.skip(1))


def tables_share_lists(canary):
    # An executed copy's table shares its untouched lists with the table it
    # was copied from.
    g, n, _ = graph_with_edge(canary)
    q = g.query().match(node="n", type=A).match(node="m", type=B).execute()
    q2 = q.limit(1).execute()
    n.properties["keep"] = (q, q2, q2.execute())


CYCLES = [node_holds_its_graph, edge_held_by_itself_and_its_start,
          query_run_in_node_properties, rows_in_node_properties, edge_rows_in_edge_properties,
          query_holds_itself, patterns_hold_themselves, copies_share_bindings,
          copies_share_a_queue, arrays_share_operations, tables_share_lists]


@pytest.mark.parametrize("build", CYCLES)
def test_cycle_is_collected(build):
    canary = type("Canary", (), {})()
    gone = weakref.ref(canary)
    build(canary)
    del canary
    gc.collect()
    assert gone() is None


# A value held through something that several objects share (a node record
# behind an edge's end snapshot, a binding list, a queue) must be reported to
# the collector as often as it is referenced; reported once too often, a
# collection would clear `keep`, still in use.
def _shared_snapshot():
    g, n, e = graph_with_edge(["x"])
    return n.properties, [g, n, e, g.query().match("(a)-[e]->(b)").return_("e")]


def _shared_binding_list():
    g, n, _ = graph_with_edge(["x"])
    q = g.query().match(node="n", type=A)
    return n.properties, [q, q.execute()]


def _shared_queue():
    box = ["x"]
    q = vk.Graph().query().match(node="n", properties={"k": box})
    return box, [q, q.skip(0)]


def _shared_operations():
    # Two arrays hold the match; the executed copies share a table.
    box = ["x"]
    g, n, _ = graph_with_edge(box)
    q = g.query().match(node="n", properties={"canary": box}).where("n.canary IS NOT NULL")
    return box, [q, q.limit(1), q.skip(0).execute(), q.execute().limit(2)]


@pytest.mark.parametrize("setup", [_shared_snapshot, _shared_binding_list, _shared_queue,
                                   _shared_operations])
def test_shared_values_are_counted_once(setup):
    keep, holders = setup()
    before = repr(keep)
    holders.append(holders)  # the holders become garbage, `keep` does not
    del holders
    gc.collect()
    assert repr(keep) == before


# Clauses that drop bindings release the last references to node dicts while
# the query runs; a collection started by the release reads the query's lists.
# In a child interpreter, so that a list read half destroyed fails one test.
DROPPING = """
import gc, velkora as vk
class Collects:
    def __del__(self):
        gc.collect()
g = vk.Graph()
for i in range(40):
    n = vk.Node(vk.Variable(str(i)), {{"k": i, "collects": Collects()}})
    g.nodes[n.uid()] = n
del n
rows = g.query().match(node="n").delete("n").{clause}.return_("n")
print(sorted(r["n"].properties["k"] for r in rows))
"""


@pytest.mark.parametrize("clause, kept", [
    ("where('n.k >= 30 OR n.k < 2')", [0, 1, *range(30, 40)]),
    ("skip(5).limit(3)", [5, 6, 7]),
])
def test_bindings_dropped_while_a_collection_runs(python_subprocess, clause, kept):
    out = python_subprocess(DROPPING.format(clause=clause))
    assert out.returncode == 0 and out.stdout.strip() == str(kept), out.stderr[-2000:]


def clear(obj):
    """Calls the class's tp_clear on obj, as the collector does on garbage."""
    cls, word = type(obj), ctypes.sizeof(ctypes.c_void_p)
    # tp_flags and tp_clear are the 22nd and 25th words of a type object.
    assert ctypes.c_ulong.from_address(id(cls) + 21 * word).value == cls.__flags__
    slot = ctypes.c_void_p.from_address(id(cls) + 24 * word).value
    assert slot, cls
    ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.py_object)(slot)(obj)


def _ran_query():
    q = graph_with_edge(None)[0].query().match(node="n", properties={"canary": None})
    q.set("n", {"k": 1}).return_count()
    return q


@pytest.mark.parametrize("make, use", [
    (lambda: vk.Node(A, {"k": 1}), lambda n: [n.properties == {}, vk.Edge(F, n, n).start.properties == {}]),
    (lambda: vk.Edge(F, vk.Node(A, {"k": 1}), vk.Node(B), {"k": 1}),
     lambda e: [e.properties == {}, e.start.properties == {"k": 1}]),
    (lambda: graph_with_edge(None)[0],
     lambda g: [str(g) == "Graph(0 nodes, 0 edges)", g.query().match("(a)-[e]->(b)").return_count() == 0]),
    (lambda: vk.NodePattern("n", properties={"k": 1}), lambda p: [vk.PathPattern().add_node(p).nodes]),
    (lambda: vk.PathPattern("(a)").add_node(vk.NodePattern(properties={"k": 1})),
     lambda p: [[n.variable for n in p.nodes] == ["a", None]]),
    (_ran_query, lambda q: [q.return_("n") == [], q.create(node="c", type=A).return_count() == 1]),
])
def test_cleared_object_keeps_working(make, use):
    obj = make()
    for _ in range(2):  # twice is as good as once
        clear(obj)
        assert all(use(obj)) and repr(obj)
