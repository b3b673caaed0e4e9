"""The builder's costs as the graph grows, beside a NetworkX loop (and kuzu
and grand-cypher when they are installed), in one table.

Graphs: N nodes of distinct variable types, each filed under its uid, and
edges between them (the shapes are given per row). Figures are the best of a
few runs of the process's CPU time (other work on the machine then counts
less; cache sharing still does):

- write: match(node="a", type=A).match(node="b", type=B).create(edge=...)
  run through execute(), per query; NetworkX: G.add_edge(a, b, key, ...).
  Writes are timed with the objects alive before them frozen (see frozen).
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

import networkx as nx

try:
    import kuzu
except ImportError:
    kuzu = None
try:
    from grandcypher import GrandCypher
except ImportError:
    GrandCypher = None

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


def per_call(fn, count, repeat=5, budget=0.2):
    """Seconds per call: the best of `repeat` loops of up to `count` calls,
    fewer when a call is slow (each loop then takes about `budget` s)."""
    t0 = time.process_time()
    fn()
    once = max(time.process_time() - t0, 1e-7)
    count = max(1, min(count, int(budget / once)))

    def loop():
        for _ in range(count):
            fn()
    return best(loop, repeat) / count


def frozen(fn):
    """fn run after the objects alive so far are moved out of the
    collector's sight (gc.freeze): a write's figure then holds the
    collections its own objects cause, not a pass over this script's whole
    heap (the imported libraries, the other graphs) that happens to fall
    inside the loop."""
    def run(*args, **kwargs):
        gc.collect()
        gc.freeze()
        try:
            return fn(*args, **kwargs)
        finally:
            gc.unfreeze()
    return run


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


class Kuzu:
    """A kuzu database of the same nodes (T{i}, with i) and edges, loaded
    from CSV, queried through one single-threaded connection."""

    def __init__(self, nodes, edges=0, stride_nodes=None):
        import os
        import tempfile
        self.dir = tempfile.mkdtemp()
        self.db = kuzu.Database(os.path.join(self.dir, "db"))
        self.c = kuzu.Connection(self.db, num_threads=1)
        self.c.execute("CREATE NODE TABLE T(id STRING, i INT64, PRIMARY KEY(id))")
        self.c.execute("CREATE REL TABLE R(FROM T TO T, key STRING)")
        with open(os.path.join(self.dir, "n.csv"), "w") as f:
            f.writelines(f"T{i},{i}\n" for i in range(nodes))
        self.c.execute(f"COPY T FROM '{self.dir}/n.csv'")
        if edges:
            m = stride_nodes or nodes
            with open(os.path.join(self.dir, "e.csv"), "w") as f:
                f.writelines(f"T{i % m},T{(i * 7919 + 13) % m},e{i}\n" for i in range(edges))
            self.c.execute(f"COPY R FROM '{self.dir}/e.csv'")

    def run(self, text, params=None):
        return self.c.execute(text, params or {}).get_all()

    def close(self):
        import shutil
        del self.c, self.db
        shutil.rmtree(self.dir, ignore_errors=True)


def named_graph(G):
    """G with a name attribute on every node, for grand-cypher's WHERE."""
    for v, d in G.nodes(data=True):
        d["name"] = v
    return G


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
    timed = frozen(per_call)
    ours = timed(write, count // 4)
    merge = timed(lambda: g.query().merge(node="n", type=a).execute(), count)
    G = nx_node_graph(n)
    nx_stride_edges(G, n, n)
    keys = iter(range(10 ** 9))
    an, bn = f"T{n // 3}", f"T{(2 * n) // 3}"
    theirs = timed(lambda: G.add_edge(an, bn, key=next(keys), term=None), count // 4)

    def nx_merge():
        if an in G:
            G.nodes[an].update({})
        else:
            G.add_node(an)

    peers_write, peers_merge = {"NetworkX": theirs}, {"NetworkX": timed(nx_merge, count)}
    del G
    if kuzu:
        k = Kuzu(n, n)
        ka, kb = f"T{n // 3}", f"T{(2 * n) // 3}"
        peers_write["kuzu"] = timed(lambda: k.run(
            "MATCH (a:T {id: $a}), (b:T {id: $b}) CREATE (a)-[:R {key: $k}]->(b)",
            {"a": ka, "b": kb, "k": "w"}), 2_000)
        peers_merge["kuzu"] = timed(lambda: k.run("MERGE (n:T {id: $a})", {"a": ka}), 2_000)
        k.close()
    return [("write: match a, match b, create edge", n, ours, peers_write, "query", 2e-6),
            ("merge of an existing node", n, merge, peers_merge, "query", 1e-6)]


def anchored(edges=100_000, nodes=5_000):
    g, types = node_graph(nodes)
    stride_edges(g, types, edges, nodes)
    q = g.query().match("(a:T7)-[e]->(b)")
    assert q.return_count() == edges // nodes
    ours = per_call(q.return_count, 2_000)
    G = nx_node_graph(nodes)
    nx_stride_edges(G, edges, nodes)
    peers = {"NetworkX": per_call(
        lambda: [(a, b, k) for a, b, k in G.out_edges("T7", keys=True)], 2_000)}
    if kuzu:
        k = Kuzu(nodes, edges)
        text = "MATCH (a:T {id: 'T7'})-[e:R]->(b:T) RETURN a, e, b"
        assert len(k.run(text)) == edges // nodes
        peers["kuzu"] = per_call(lambda: k.run(text), 2_000)
        k.close()
    if GrandCypher:
        named_graph(G)
        text = 'MATCH (a)-[e]->(b) WHERE a.name == "T7" RETURN a, e, b'
        peers["grand-cypher"] = per_call(lambda: GrandCypher(G).run(text), 1, repeat=1)
    return [("anchored (a:T7)-[e]->(b), 20 of 100k edges", edges, ours, peers, "query", 2e-6)]


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
    peers = {"NetworkX": best(loop, 3) / count}
    if kuzu:
        k = Kuzu(nodes, edges)
        text = "MATCH (a:T)-[e:R]->(b:T)-[f:R]->(c:T) RETURN count(*)"
        assert k.run(text)[0][0] == count
        peers["kuzu count(*)"] = best(lambda: k.run(text), 3) / count
        k.close()
    if GrandCypher and edges <= 10_000:
        named_graph(G)
        text = "MATCH (a)-[e]->(b)-[f]->(c) RETURN a, b, c"
        peers["grand-cypher"] = best(lambda: GrandCypher(G).run(text), 1) / count
    del g, G
    gc.collect()
    out = [("two-edge path, bound (return_count)", edges, bound, peers, "path", None)]
    if rows is not None:
        out.append(("two-edge path, rows (return_)", edges, rows, peers, "path", None))
    return out


def key_lookup(n=100_000):
    g, _ = node_graph(n, props=True)
    q = g.query().match("(n {i: 4321})")
    assert q.return_count() == 1
    ours = best(q.return_count) / n
    G = nx_node_graph(n, props=True)
    peers = {"NetworkX": best(lambda: [v for v, d in G.nodes(data=True)
                                       if d.get("i") == 4321]) / n}
    if kuzu:
        k = Kuzu(n)
        peers["kuzu"] = best(lambda: k.run("MATCH (n:T) WHERE n.i = 4321 RETURN n")) / n
        k.close()
    if GrandCypher:
        text = "MATCH (n) WHERE n.i == 4321 RETURN n"
        peers["grand-cypher"] = best(lambda: GrandCypher(G).run(text), 1) / n
    return [("key lookup (n {i: 4321})", n, ours, peers, "node", 10e-9)]


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
    return [("memory per node (bytes)", 100_000, out["velkora"][0],
             {"NetworkX": out["networkx"][0]}, "B", None),
            ("memory per edge (bytes)", 100_000, out["velkora"][1],
             {"NetworkX": out["networkx"][1]}, "B", None)]


def show(rows):
    """One line per row: velkora's figure, each peer's with the ratio of the
    two (how many times velkora is faster, or smaller)."""
    print(f"{'workload':<44} {'size':>9} {'velkora':>10} {'goal':>8}   peers (their figure, ratio)")
    for label, size, ours, peers, unit, goal in rows:
        if unit == "B":
            scale, suffix = 1, "B"
        elif unit == "query":
            scale, suffix = 1e6, "us"
        else:
            scale, suffix = 1e9, "ns"
        goal_text = "" if goal is None else f"<{goal * scale:g}{suffix}"
        mark = "" if goal is None else (" ok  " if ours < goal else " MISS")
        them = "  ".join(f"{name} {t * scale:.2f}{suffix} ({t / ours:.1f}x)"
                         for name, t in peers.items())
        print(f"{label:<44} {size:>9,} {ours * scale:>8.2f}{suffix} {goal_text:>8}{mark:5} {them}"
              f"   per {unit}")


def main():
    print(f"velkora over Python {sys.version.split()[0]}; NetworkX {nx.__version__}; "
          f"kuzu {kuzu.__version__ if kuzu else 'not installed'}; grand-cypher "
          f"{'installed' if GrandCypher else 'not installed'}")
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
