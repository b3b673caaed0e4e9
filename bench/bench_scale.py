"""The builder's costs as the graph grows, beside a NetworkX loop (and kuzu
and grand-cypher when they are installed), in one table.

Graphs: N nodes of distinct variable types, each filed under its uid, and
edges between them (the shapes are given per row). Figures are the best of a
few runs of the process's CPU time (other work on the machine then counts
less; cache sharing still does):

- write: match(node="a", type=A).match(node="b", type=B).create(edge=...)
  run through execute(), per query; NetworkX: G.add_edge(a, b, key, ...).
- merge: merge(node="n", type=T) of a node in the graph, per query;
  NetworkX: a membership test and an attribute update.
- anchored: "(a:T7)-[e]->(b)" over 100,000 edges from 5,000 nodes (20
  edges leave each), per query; NetworkX: G.out_edges("T7", keys=True).
- two-edge path: "(a)-[e]->(b)-[f]->(c)" over E edges between E/2 nodes (a
  node has two edges out and two in on average), per path: bound
  (return_count) and as rows (return_, up to 100,000 edges); NetworkX: the
  nested loop over out_edges.
- key lookup: "(n {i: 4321})" over 100,000 nodes, per node; NetworkX: the
  loop over G.nodes(data=True).
- memory: bytes per node and per edge of a graph of 100,000 of each (an
  index built by a query included), measured in a fresh process from its
  resident size; NetworkX: the same nodes and edges in a MultiDiGraph.

Run: PYTHONPATH=build/<dir> python bench/bench_scale.py [--quick]
"""
import gc
import subprocess
import sys
import time

import velkora as vk

try:
    import networkx as nx
except ImportError:  # pragma: no cover
    nx = None

QUICK = "--quick" in sys.argv
SIZES = (1_000, 100_000) if QUICK else (1_000, 100_000, 1_000_000)
PATH_SIZES = (10_000, 100_000) if QUICK else (10_000, 100_000, 1_000_000)


def best(fn, repeat=5):
    times = []
    for _ in range(repeat):
        t0 = time.process_time()
        fn()
        times.append(time.process_time() - t0)
    return min(times)


def per_call(fn, count, repeat=5):
    def loop():
        for _ in range(count):
            fn()
    return best(loop, repeat) / count


def node_graph(n, props=False):
    types = [vk.Variable(f"T{i}") for i in range(n)]
    g = vk.Graph()
    for i, t in enumerate(types):
        node = vk.Node(t, {"i": i} if props else None)
        g.nodes[node.uid()] = node
    return g, types


def nx_node_graph(n, props=False):
    G = nx.MultiDiGraph()
    for i in range(n):
        G.add_node(f"T{i}", **({"i": i} if props else {}))
    return G


def stride_edges(g, types, edges, nodes):
    stored = [g.nodes[vk.Node(t).uid()] for t in types]
    for i in range(edges):
        s, e = i % nodes, (i * 7919 + 13) % nodes
        edge = vk.Edge(vk.Term(f"e{i}", vk.Application(types[s], types[e])), stored[s], stored[e])
        g.edges[edge.uid()] = edge


def nx_stride_edges(G, edges, nodes):
    for i in range(edges):
        s, e = i % nodes, (i * 7919 + 13) % nodes
        G.add_edge(f"T{s}", f"T{e}", key=f"e{i}")


# ----- rows of the table: (workload, size, velkora s, NetworkX s, unit, goal) -----


def writes(n):
    g, types = node_graph(n)
    stride_edges(g, types, n, n)
    count = 20_000
    a, b = types[n // 3], types[(2 * n) // 3]
    terms = [vk.Term(f"w{i}", vk.Application(a, b)) for i in range(count)]
    it = iter(terms * 6)

    def write():
        g.query().match(node="a", type=a).match(node="b", type=b).create(
            edge="e", term=next(it), start="a", end="b").execute()

    write()  # builds the indexes
    ours = per_call(write, count // 4)
    merge = per_call(lambda: g.query().merge(node="n", type=a).execute(), count)
    G = nx_node_graph(n)
    nx_stride_edges(G, n, n)
    keys = iter(range(10 ** 9))
    an, bn = f"T{n // 3}", f"T{(2 * n) // 3}"
    theirs = per_call(lambda: G.add_edge(an, bn, key=next(keys), term=None), count // 4)

    def nx_merge():
        if an in G:
            G.nodes[an].update({})
        else:
            G.add_node(an)

    return [("write: match a, match b, create edge", n, ours, theirs, "query", 2e-6),
            ("merge of an existing node", n, merge, per_call(nx_merge, count), "query", 1e-6)]


def anchored(edges=100_000, nodes=5_000):
    g, types = node_graph(nodes)
    stride_edges(g, types, edges, nodes)
    q = g.query().match("(a:T7)-[e]->(b)")
    assert q.return_count() == edges // nodes
    ours = per_call(q.return_count, 2_000)
    G = nx_node_graph(nodes)
    nx_stride_edges(G, edges, nodes)
    theirs = per_call(lambda: [(a, b, k) for a, b, k in G.out_edges("T7", keys=True)], 2_000)
    return [("anchored (a:T7)-[e]->(b), 20 of 100k edges", edges, ours, theirs, "query", 2e-6)]


def two_edge_paths(edges):
    nodes = edges // 2
    g, types = node_graph(nodes)
    stride_edges(g, types, edges, nodes)
    q = g.query().match("(a)-[e]->(b)-[f]->(c)")
    count = q.return_count()
    bound = best(q.return_count, 3) / count
    rows = None
    if edges <= 100_000:
        rows = best(lambda: q.return_("a", "e", "b", "f", "c"), 3) / count
    G = nx_node_graph(nodes)
    nx_stride_edges(G, edges, nodes)

    def loop():
        found = 0
        out = G.out_edges
        for a, b, k in G.edges(keys=True):
            for _, c, k2 in out(b, keys=True):
                if k2 != k:
                    found += 1
        return found

    assert loop() == count
    theirs = best(loop, 3) / count
    del g, G
    gc.collect()
    out = [("two-edge path, bound (return_count)", edges, bound, theirs, "path", None)]
    if rows is not None:
        out.append(("two-edge path, rows (return_)", edges, rows, theirs, "path", None))
    return out


def key_lookup(n=100_000):
    g, _ = node_graph(n, props=True)
    q = g.query().match("(n {i: 4321})")
    assert q.return_count() == 1
    ours = best(q.return_count) / n
    G = nx_node_graph(n, props=True)
    theirs = best(lambda: [v for v, d in G.nodes(data=True) if d.get("i") == 4321]) / n
    return [("key lookup (n {i: 4321})", n, ours, theirs, "node", 10e-9)]


MEMORY_SCRIPT = r"""
import gc, os, sys
def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
N = 100_000
gc.collect(); r0 = rss()
if sys.argv[1] == "velkora":
    import velkora as vk
    gc.collect(); r0 = rss()
    types = [vk.Variable(f"T{i}") for i in range(N)]
    g = vk.Graph()
    stored = []
    for i, t in enumerate(types):
        n = vk.Node(t, {"i": i})
        g.nodes[n.uid()] = n
        stored.append(n)
    g.query().match(node="n", type=types[7]).return_count()
    del stored
    gc.collect(); r1 = rss()
    for i in range(N):
        s, e = i, (i * 7919 + 13) % N
        a, b = g.nodes[vk.Node(types[s]).uid()], g.nodes[vk.Node(types[e]).uid()]
        edge = vk.Edge(vk.Term(f"e{i}", vk.Application(types[s], types[e])), a, b, {"i": i})
        g.edges[edge.uid()] = edge
    g.query().match("(a:T7)-[e]->(b)").return_count()
else:
    import networkx as nx
    gc.collect(); r0 = rss()
    G = nx.MultiDiGraph()
    for i in range(N):
        G.add_node(f"T{i}", i=i)
    gc.collect(); r1 = rss()
    for i in range(N):
        G.add_edge(f"T{i}", f"T{(i * 7919 + 13) % N}", key=f"e{i}", i=i)
gc.collect(); r2 = rss()
print((r1 - r0) / N, (r2 - r1) / N)
"""


def memory():
    out = {}
    for who in ("velkora", "networkx"):
        res = subprocess.run([sys.executable, "-c", MEMORY_SCRIPT, who], capture_output=True,
                             text=True, check=True)
        out[who] = [float(x) for x in res.stdout.split()]
    return [("memory per node (bytes)", 100_000, out["velkora"][0], out["networkx"][0], "B", None),
            ("memory per edge (bytes)", 100_000, out["velkora"][1], out["networkx"][1], "B", None)]


def show(rows):
    print(f"{'workload':<44} {'size':>9} {'velkora':>10} {'NetworkX':>10} {'ratio':>7} {'goal':>8}")
    for label, size, ours, theirs, unit, goal in rows:
        if unit == "B":
            print(f"{label:<44} {size:>9,} {ours:>9.0f}B {theirs:>9.0f}B {theirs / ours:>6.2f}x")
            continue
        scale, suffix = (1e6, "us") if unit == "query" else (1e9, "ns")
        goal_text = f"<{goal * scale:g}{suffix}" if goal else ""
        mark = "" if goal is None else (" ok" if ours < goal else " MISS")
        print(f"{label:<44} {size:>9,} {ours * scale:>8.2f}{suffix} {theirs * scale:>8.2f}{suffix}"
              f" {theirs / ours:>6.1f}x {goal_text:>8}{mark}   per {unit}")


def main():
    print(f"velkora over Python {sys.version.split()[0]}; NetworkX {nx.__version__}")
    rows = []
    for n in SIZES:
        rows += writes(n)
    rows += anchored()
    paths = []
    for e in PATH_SIZES:
        paths += two_edge_paths(e)
    rows += paths
    rows += key_lookup()
    rows += memory()
    show(rows)
    bound = [r for r in paths if "bound" in r[0]]
    if len(bound) > 1:
        print(f"two-edge path, bound: {bound[-1][1]:,} edges / {bound[0][1]:,} edges = "
              f"{bound[-1][2] / bound[0][2]:.2f} (goal: within 1.5)")


if __name__ == "__main__":
    main()
