"""The five headline costs of the query engine, in one table.

Each figure is set beside the plain Python loop a user would write for the
same work over the same objects, measured in the same run, and the ratio of
the two; the last column is the figure the engine aims at. Figures are the
best of a few runs (wall clock; on a loaded machine compare the ratios).

- rows: return_("a", "e", "b") after the single-edge path match over 100,000
  edges, per row, with the match's own run (return_count) taken off. The
  calls run back to back, each result kept until the next call has
  returned, so a garbage collection that a call leaves to the next
  allocations is paid inside the figure, over rows still alive.
- labels: "(a:T7)-[e]->(b:$* -> *$)" over 10,000 edges whose terms are
  function types, between 5,000 nodes (2,500 variable types and 2,500
  function types), per edge of the graph.
- typed lookup: the first match(node=..., type=...) on a graph of 100,000
  nodes of distinct types that no query has looked at yet, per node.
- creation: a node created through a query, builder call included
  (g.query().create(node=..., type=...).return_count()), per node; an edge
  created between two bound nodes the same way, the nodes' own run taken
  off, per edge.
- bindings: "(a)-[e]->(b)" over 100,000 edges, bind only (return_count), per
  edge.
"""
import gc
import random
import time

import velkora as vk
# This folder is on sys.path when run as a script.
from bench_paths import graph as path_graph  # 100,000 edges between 50,000 nodes
from bench_query import best

EDGES = 100_000


def times(fn, count):
    def loop():
        for _ in range(count):
            fn()
    return loop


def label_graph(edges=10_000, kinds=2_500):
    """A graph shaped like a model of an API: one node per type (variables
    and function types, some curried), each with a small properties dict,
    and edges between random nodes whose terms have function types."""
    rng = random.Random(5)
    variables = [vk.Variable(f"T{i}") for i in range(kinds)]
    functions = []
    for _ in range(kinds):
        right = rng.choice(variables)
        if rng.random() < 0.3:
            right = vk.Application(rng.choice(variables), right)
        functions.append(vk.Application(rng.choice(variables), right))
    made = [vk.Node(t, {"in": 0, "out": 0, "constants": []}) for t in variables + functions]
    g = vk.Graph()
    for n in made:
        g.nodes[n.uid()] = n
    for i in range(edges):
        a, b = rng.choice(made), rng.choice(made)
        edge = vk.Edge(vk.Term(f"f{i}", vk.Application(a.type, b.type)), a, b)
        g.edges[edge.uid()] = edge
    return g


def kept(fn, count):
    """count calls of fn, each result kept until the next call has returned.
    After each call one small collected object is made, as the caller's next
    step would: a collection that the call left for later runs then, inside
    the timing, over the rows still alive."""
    def loop():
        result = None
        for _ in range(count):
            result = fn()
            [result]
        return result
    return loop


def page_faults():
    try:
        import resource
    except ImportError:  # not on this platform
        return 0
    return resource.getrusage(resource.RUSAGE_SELF).ru_minflt


def rows(g):
    q = g.query().match("(a)-[e]->(b)")
    count = q.return_count()
    run = best(times(q.return_count, 3))
    ours = kept(lambda: q.return_("a", "e", "b"), 3)
    edges = list(g.edges.values())
    plain = kept(lambda: [{"a": e.start, "e": e, "b": e.end} for e in edges], 3)
    faults = []
    for loop in (ours, plain):
        before = page_faults()
        loop()
        faults.append((page_faults() - before) / 3)
    note = (f"rows: fresh pages from the system per call of 100,000 rows: {faults[0]:,.0f} "
            f"(velkora), {faults[1]:,.0f} (Python)")
    return (best(ours) - run) / (3 * count), best(plain) / (3 * len(edges)), note


def bindings(g):
    q = g.query().match("(a)-[e]->(b)")
    count = q.return_count()
    edges = list(g.edges.values())
    plain = best(lambda: [(e.start, e, e.end) for e in edges])
    return best(q.return_count) / count, plain / len(edges)


def labels():
    g = label_graph()
    q = g.query().match("(a:T7)-[e]->(b:$* -> *$)")
    edges = list(g.edges.values())

    def plain():
        out = []
        for e in edges:
            a, b = e.start, e.end
            if str(a.type) == "T7" and isinstance(b.type, vk.Application):
                out.append((a, e, b))
        return out

    assert len(plain()) == q.return_count()
    return best(q.return_count) / len(edges), best(plain) / len(edges)


def typed_lookup(nodes=EDGES):
    def fresh():
        # Filed under made-up keys, so that no uid is computed on the way.
        g = vk.Graph()
        for i in range(nodes):
            g.nodes[f"k{i}"] = vk.Node(vk.Variable(f"T{i}"))
        return g

    costs = []
    for _ in range(3):
        g = fresh()
        q = g.query().match(node="n", type=vk.Variable("T17"))
        t0 = time.perf_counter()
        assert q.return_count() == 1
        costs.append(time.perf_counter() - t0)
    values = list(fresh().nodes.values())
    t17 = vk.Variable("T17")
    plain = best(lambda: [n for n in values if n.type == t17])
    return min(costs) / nodes, plain / nodes


def creation(repeat=20_000):
    A, B = vk.Variable("A"), vk.Variable("B")
    term = vk.Term("f", vk.Application(A, B))
    g = vk.Graph()
    node = best(times(lambda: g.query().create(node="n", type=A).return_count(), repeat))

    def plain_node():
        n = vk.Node(A, {})
        g.nodes[n.uid()] = n

    def base():
        return g.query().create(node="a", type=A).create(node="b", type=B)

    with_edge = best(times(
        lambda: base().create(edge="e", term=term, start="a", end="b").return_count(), repeat))
    without = best(times(lambda: base().skip(0).return_count(), repeat))
    a, b = vk.Node(A), vk.Node(B)

    def plain_edge():
        e = vk.Edge(term, a, b, {})
        g.edges[e.uid()] = e

    return ((node / repeat, best(times(plain_node, repeat)) / repeat),
            ((with_edge - without) / repeat, best(times(plain_edge, repeat)) / repeat))


def floors():
    """What the interpreter's own small steps cost on this machine: the goals
    were set where these took about 12, 43 and 5 ns."""
    import timeit

    def each(stmt, setup="pass", number=200_000):
        return min(timeit.repeat(stmt, setup, number=number, repeat=5)) / number * 1e9

    return (each("object()"), each('d = {}; d["a"] = a; d["b"] = b', "a = b = 1"),
            each("list(d.values())", "d = dict.fromkeys(range(100_000))", number=20) / 100_000,
            fresh_page())


def fresh_page(pages=4096):
    """The cost of one page of new memory from the system, first touch included."""
    import mmap
    costs = []
    for _ in range(3):
        m = mmap.mmap(-1, pages * mmap.PAGESIZE)
        t0 = time.perf_counter()
        for offset in range(0, pages * mmap.PAGESIZE, mmap.PAGESIZE):
            m[offset] = 1
        costs.append((time.perf_counter() - t0) / pages)
        m.close()
    return min(costs) * 1e9


def main():
    print(f"velkora {vk.__version__}; gc thresholds {gc.get_threshold()}")
    obj, two, values, page = floors()
    print(f"  floors here: object() {obj:.1f} ns, a dict with two inserts {two:.1f} ns, "
          f"list(d.values()) {values:.1f} ns per entry (goals set at 12, 43 and 5); "
          f"a fresh page of memory {page:,.0f} ns")
    g = path_graph()
    node, edge = creation()
    row_ours, row_plain, row_note = rows(g)
    table = [
        ("rows: return_('a', 'e', 'b')", "row", row_ours, row_plain, 300),
        ("labels: '(a:T7)-[e]->(b:$* -> *$)'", "edge", *labels(), 50),
        ("typed lookup: first match(type=T17)", "node", *typed_lookup(), None),
        ("creation: node, builder call included", "node", *node, 600),
        ("creation: edge, builder call included", "edge", *edge, 800),
        ("bindings: '(a)-[e]->(b)', bind only", "edge", *bindings(g), 60),
    ]
    print(f"  {'':<40} {'velkora':>9} {'Python':>9} {'ratio':>6}  {'goal':>5}   (ns per unit)")
    for label, unit, ours, plain, goal in table:
        goal_text = f"{goal:5d}" if goal else "    -"
        print(f"  {label:<40} {ours * 1e9:9.1f} {plain * 1e9:9.1f} {ours / plain:6.2f}  "
              f"{goal_text}   per {unit}")
    print(f"  {row_note}")


if __name__ == "__main__":
    main()
