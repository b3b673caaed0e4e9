"""Graph.cypher() writing queries: loads of 10,000 rows, per row, on a graph
of 1,000 and one of 1,000,000 nodes, beside NetworkX and kuzu.

Labels and relationship types are literals in Cypher, and velkora files one
node per type, so a load that touches many nodes reaches them through its
rows: the rows carry the Node objects (as a Python program holding them
would pass them), and the query binds them with WITH.

- merge-node: `UNWIND $rows AS r MERGE (t:Package) SET t += r` (one node
  found 10,000 times, its properties updated from each row).
- set-props: `UNWIND $rows AS r WITH r, r.node AS n SET n += r.props` on
  10,000 distinct nodes.
- create-edges: `UNWIND $rows AS r WITH r.a AS a, r.b AS b
  CREATE (a)-[:calls {k: r.k}]->(b)`, 10,000 new edges between existing
  nodes (removed again between runs, outside the timing).
- merge-edges: the same with MERGE over edges that exist (all found).

Peers on the same graph: NetworkX (`add_edge` on a MultiDiGraph,
`dict.update` of node attributes) and kuzu (embedded; the same Cypher with
nodes matched by primary key, each run in a transaction rolled back
afterwards). A peer that is not installed is skipped. Figures: best of a few
runs, wall clock, nanoseconds per row.
"""
import os
import sys
import tempfile
import time

import velkora as vk

ROWS = 10_000


def best(fn, before=None, after=None, repeat=5):
    times = []
    for _ in range(repeat):
        if before:
            before()
        t0 = time.process_time()
        fn()
        times.append(time.process_time() - t0)
        if after:
            after()
    return min(times)


def pairs_of(n):
    """ROWS distinct (start, end) pairs of node numbers, none a ring edge."""
    return [(i % n, (i % n + 2 + i // n) % n) for i in range(ROWS)]


def velkora_figures(n):
    types = [vk.Variable(f"T{i}") for i in range(n)]
    made = [vk.Node(t, {"i": i}) for i, t in enumerate(types)]
    g = vk.Graph()
    for node in made:
        g.nodes[node.uid()] = node
    # One edge per node, a ring.
    for i in range(n):
        j = (i + 1) % n
        e = vk.Edge(vk.Term("next", vk.Application(types[i], types[j])), made[i], made[j])
        g.edges[e.uid()] = e
    g.cypher("CREATE (p:Package)")
    fig = {}
    rows = [{"name": f"p{i}", "v": i} for i in range(ROWS)]
    q = "UNWIND $rows AS r MERGE (t:Package) SET t += r"
    fig["merge-node"] = best(lambda: g.cypher(q, rows=rows))
    picks = [made[(i * 7919) % n] for i in range(ROWS)]
    rows = [{"node": picks[i], "props": {"v": i, "w": "x"}} for i in range(ROWS)]
    q = "UNWIND $rows AS r WITH r, r.node AS n SET n += r.props"
    fig["set-props"] = best(lambda: g.cypher(q, rows=rows))
    rows = [{"a": made[a], "b": made[b], "k": i} for i, (a, b) in enumerate(pairs_of(n))]
    before = set(g.edges)
    q = "UNWIND $rows AS r WITH r.a AS a, r.b AS b, r.k AS k CREATE (a)-[:calls {k: k}]->(b)"

    def undo():
        for key in [k for k in g.edges if k not in before]:
            del g.edges[key]

    fig["create-edges"] = best(lambda: g.cypher(q, rows=rows), after=undo)
    g.cypher(q, rows=rows)
    q = "UNWIND $rows AS r WITH r.a AS a, r.b AS b, r.k AS k MERGE (a)-[:calls {k: k}]->(b)"
    fig["merge-edges"] = best(lambda: g.cypher(q, rows=rows))
    return fig


def networkx_figures(n):
    import networkx as nx

    g = nx.MultiDiGraph()
    for i in range(n):
        g.add_node(i, i=i)
    for i in range(n):
        g.add_edge(i, (i + 1) % n)
    fig = {}
    picks = [(i * 7919) % n for i in range(ROWS)]

    def set_props():
        for i, p in enumerate(picks):
            g.nodes[p].update({"v": i, "w": "x"})

    fig["set-props"] = best(set_props)
    pairs = [(a, b, i) for i, (a, b) in enumerate(pairs_of(n))]

    def add():
        for a, b, k in pairs:
            g.add_edge(a, b, key="calls", k=k)

    def undo():
        for a, b, _ in pairs:
            if g.has_edge(a, b, "calls"):
                g.remove_edge(a, b, "calls")

    fig["create-edges"] = best(add, after=undo)
    return fig


def kuzu_figures(n):
    import kuzu

    d = tempfile.mkdtemp()
    db = kuzu.Database(os.path.join(d, "db"), buffer_pool_size=4 << 30)
    conn = kuzu.Connection(db)
    conn.execute("CREATE NODE TABLE N(id INT64, i INT64, v INT64, w STRING, PRIMARY KEY (id))")
    conn.execute("CREATE REL TABLE R(FROM N TO N, k INT64)")
    npath, epath = os.path.join(d, "n.csv"), os.path.join(d, "e.csv")
    with open(npath, "w") as f:
        f.writelines(f"{i},{i},0,\n" for i in range(n))
    with open(epath, "w") as f:
        f.writelines(f"{i},{(i + 1) % n},0\n" for i in range(n))
    conn.execute(f"COPY N FROM '{npath}' (HEADER=false)")
    conn.execute(f"COPY R FROM '{epath}' (HEADER=false)")

    def timed(q, params):
        def before():
            conn.execute("BEGIN TRANSACTION")

        def after():
            conn.execute("ROLLBACK")

        try:
            return best(lambda: conn.execute(q, params), before, after, repeat=3)
        except RuntimeError as e:  # reported, not fatal
            print(f"  (kuzu, {n:,} nodes: {e})", file=sys.stderr)
            try:
                after()
            except RuntimeError:
                pass
            return None

    fig = {}
    rows = [{"id": (i * 7919) % n, "v": i} for i in range(ROWS)]
    fig["set-props"] = timed("UNWIND $rows AS r MATCH (n:N {id: r.id}) SET n.v = r.v, n.w = 'x'", {"rows": rows})
    rows = [{"a": a, "b": b, "k": i} for i, (a, b) in enumerate(pairs_of(n))]
    fig["create-edges"] = timed(
        "UNWIND $rows AS r MATCH (a:N {id: r.a}), (b:N {id: r.b}) CREATE (a)-[:R {k: r.k}]->(b)", {"rows": rows}
    )
    return fig


def main():
    sizes = [1_000, 1_000_000] if "--quick" not in sys.argv else [1_000, 100_000]
    peers = {"velkora": velkora_figures}
    for name, mod, fn in [("networkx", "networkx", networkx_figures), ("kuzu", "kuzu", kuzu_figures)]:
        try:
            __import__(mod)
            peers[name] = fn
        except ImportError:
            print(f"({name} not installed: skipped)")
    workloads = ["merge-node", "set-props", "create-edges", "merge-edges"]
    table = {}
    for n in sizes:
        for name, fn in peers.items():
            t0 = time.process_time()
            figs = fn(n)
            for w, t in figs.items():
                if t is not None:
                    table[(w, name, n)] = t / ROWS * 1e9
            print(f"  ({name}, {n:,} nodes: {time.process_time() - t0:.1f} s with setup)", file=sys.stderr)
    cols = [(name, n) for n in sizes for name in peers]
    print("ns per row".ljust(14) + "".join(f"{name} {n:,}".rjust(22) for name, n in cols))
    for w in workloads:
        cells = [table.get((w, name, n)) for name, n in cols]
        print(w.ljust(14) + "".join((f"{c:,.0f}" if c is not None else "-").rjust(22) for c in cells))


if __name__ == "__main__":
    main()
