"""Reference cycles through the module's objects are collected, and an object
the collector has cleared keeps working."""
import ctypes
import gc
import weakref

import pytest

import velkora as vk

A, B = vk.Variable("A"), vk.Variable("B")
F = vk.Term("f", vk.Application(A, B))


def graph_with_edge(canary):
    """A graph with nodes A and B and an edge A -> B; A's dict holds the canary."""
    g, n, m = vk.Graph(), vk.Node(A, {"canary": canary}), vk.Node(B)
    e = vk.Edge(F, n, m)
    g.nodes[n.uid()], g.nodes[m.uid()], g.edges[e.uid()] = n, m, e
    return g, n, e


def node_holds_itself(canary):
    n = vk.Node(A, {"canary": canary})
    n.properties["self"] = n


def node_holds_its_graph(canary):
    g, n, _ = graph_with_edge(canary)
    n.properties["graph"] = g


def edge_holds_itself(canary):
    e = vk.Edge(F, vk.Node(A), vk.Node(B), {"canary": canary})
    e.properties["self"] = e


def edge_held_by_its_start(canary):
    # The edge's snapshot of n shares n's dict, which holds the edge.
    n = vk.Node(A, {"canary": canary})
    n.properties["edge"] = vk.Edge(F, n, vk.Node(B))


def query_in_node_properties(canary):
    g, n, _ = graph_with_edge(canary)
    q = g.query().match(node="n", type_schema="$*$").set("n", {"seen": True})
    q.return_count()  # bindings copied from the graph
    n.properties["query"] = q


def rows_in_node_properties(canary):
    g, n, _ = graph_with_edge(canary)
    n.properties["rows"] = g.query().match(node="n", type=A).return_("n")


def query_holds_itself(canary):
    # Only the query's own clear can break this one: tuples have none.
    q = vk.Graph().query()
    q.match(node="n", properties={"k": (q, canary)})


def set_dict_holds_query(canary):
    q = vk.Graph().query()
    d = {"canary": canary}
    d["query"] = q.set("n", d)


def pattern_value_holds_pattern(canary):
    box = [canary]
    box.append(vk.NodePattern("n", properties={"k": box}))
    box.append(vk.EdgePattern("e", properties={"k": box}))


def path_holds_its_pattern_value(canary):
    box = [canary]
    path = vk.PathPattern("(a)-[e]->(b)").add_node(vk.NodePattern(properties={"k": box}))
    box.append(path)


CYCLES = [node_holds_itself, node_holds_its_graph, edge_holds_itself, edge_held_by_its_start,
          query_in_node_properties, rows_in_node_properties, query_holds_itself,
          set_dict_holds_query, pattern_value_holds_pattern, path_holds_its_pattern_value]


class Canary:
    pass


@pytest.mark.parametrize("build", CYCLES)
def test_cycle_is_collected(build):
    canary = Canary()
    gone = weakref.ref(canary)
    build(canary)
    del canary
    gc.collect()
    assert gone() is None


# A value held through a structure that several objects share (an edge's end
# snapshot, a binding list, a queue) holds one reference for all of them. If
# each holder reported it, a collection would count it too often and clear
# an object that is still in use; here `keep` names it from outside.


def _shared_snapshot():
    g, n, e = graph_with_edge(["x"])
    rows = g.query().match("(a)-[e]->(b)").return_("e")  # shares e's snapshot of n
    return n.properties, [g, n, e, rows]


def _shared_binding_list():
    g, n, _ = graph_with_edge(["x"])
    q = g.query().match(node="n", type=A)
    return n.properties, [q, q.execute()]


def _shared_queue():
    box = ["x"]
    q = vk.Graph().query().match(node="n", properties={"k": box})
    return box, [q, q.skip(0)]


@pytest.mark.parametrize("setup", [_shared_snapshot, _shared_binding_list, _shared_queue],
                         ids=["snapshot", "binding-list", "queue"])
def test_shared_values_are_not_counted_twice(setup):
    keep, holders = setup()
    before = repr(keep)
    holders.append(holders)  # the holders become garbage, `keep` does not
    del holders
    gc.collect()
    assert repr(keep) == before


# Clauses that drop bindings release them while the query is in use; the
# release of the last reference to a node's dict may run Python code, and a
# collection then reads the query's lists. Run in a child interpreter, so
# that a list read half destroyed fails the test instead of the test run.
DROPPING = """
import gc, velkora as vk

class Collects:
    def __del__(self):
        gc.collect()

g = vk.Graph()
for i in range(40):
    n = vk.Node(vk.Variable(f"T{{i}}"), {{"k": i, "collects": Collects()}})
    g.nodes[n.uid()] = n
del n
q = g.query().match(node="n").delete("n")  # the bindings hold the last references
rows = q.{clause}.return_("n")
print(sorted(r["n"].properties["k"] for r in rows))
"""


@pytest.mark.parametrize("clause, kept", [
    ("where('n.k >= 30')", list(range(30, 40))),
    ("where('n.k < 10')", list(range(10))),
    ("skip(5).limit(3)", [5, 6, 7]),
    ("order_by('n', 'k', ascending=False).limit(4)", list(range(36, 40))),
    ("with_('m')", []),
])
def test_bindings_dropped_while_a_collection_runs(python_subprocess, clause, kept):
    out = python_subprocess(DROPPING.format(clause=clause))
    assert out.returncode == 0, out.stderr[-2000:]
    assert eval(out.stdout) == kept


# ----- cleared objects ------------------------------------------------------------


def clear(obj):
    """Calls the class's tp_clear on obj, as the collector does on garbage."""
    cls, word = type(obj), ctypes.sizeof(ctypes.c_void_p)
    # tp_flags and tp_clear are the 22nd and 25th words of a type object.
    assert ctypes.c_ulong.from_address(id(cls) + 21 * word).value == cls.__flags__
    slot = ctypes.c_void_p.from_address(id(cls) + 24 * word).value
    assert slot, cls
    ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.py_object)(slot)(obj)


def _query():
    g, n, _ = graph_with_edge(None)
    q = g.query().match(node="n", properties={"canary": None}).set("n", {"k": 1})
    q.return_count()
    return q


CLEARED = [
    (lambda: vk.Node(A, {"k": 1}),
     lambda n: (n.properties == {}, str(n), vk.Edge(F, n, n).start.properties == {})),
    (lambda: vk.Edge(F, vk.Node(A, {"k": 1}), vk.Node(B), {"k": 1}),
     lambda e: (e.properties == {}, e.start.properties == {"k": 1}, str(e))),
    (lambda: graph_with_edge(None)[0],
     lambda g: (str(g) == "Graph(0 nodes, 0 edges)", g.query().match("(a)-[e]->(b)").return_count() == 0)),
    (lambda: vk.NodePattern("n", properties={"k": 1}),
     lambda p: (repr(p), len(vk.PathPattern().add_node(p).nodes) == 1)),
    (lambda: vk.EdgePattern("e", properties={"k": 1}),
     lambda p: (repr(p), p.direction == "forward")),
    (lambda: vk.PathPattern("(a)-[e]->(b)").add_node(vk.NodePattern(properties={"k": 1})),
     lambda p: (repr(p), [n.variable for n in p.nodes] == ["a", "b", None])),
    (_query,
     lambda q: (q.return_("n") == [], q.match(node="n").create(node="c", type=A).return_count() == 1)),
]


@pytest.mark.parametrize("make, use", CLEARED, ids=[c.__name__ for c in (
    vk.Node, vk.Edge, vk.Graph, vk.NodePattern, vk.EdgePattern, vk.PathPattern, vk.Query)])
def test_cleared_object_keeps_working(make, use):
    obj = make()
    clear(obj)
    assert all(use(obj))
    clear(obj)  # twice is as good as once
    assert all(use(obj))
