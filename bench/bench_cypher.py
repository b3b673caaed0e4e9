"""Graph.cypher() reading queries, beside the peers a user would pick instead.

One table: each workload's figure for velkora, grand-cypher over NetworkX, a
hand-written NetworkX loop and kuzu (embedded, data loaded before timing);
a peer that is not installed is skipped. Figures are the best of a few runs
(wall clock; on a loaded machine compare the ratios).

- lookup: cached `MATCH (n:Person) RETURN n` on a graph of one node, per call.
- group: `MATCH (a)-[r]->(b) RETURN b, count(r) AS n ORDER BY n DESC LIMIT 5`
  over 100,000 edges between 10,000 nodes, per edge.
- count: `MATCH ()-[r]->() RETURN count(*)`, per edge (no rows are built).
- join: `MATCH (a)-[r]->(b), (b)-[s]->(c) RETURN count(*)` over 20,000
  edges, per path found.
- key: `MATCH (n {i: 4321}) RETURN n` over 10,000 nodes, per node.

grand-cypher is timed on a graph a tenth of the size where a run over the
full one takes minutes (marked *); its figure is per edge or node all the same.
It groups by property values only, so its group query groups by `b.i`.
"""
import collections
import os
import sys
import tempfile
import time

import velkora as vk

sys.setrecursionlimit(10_000)


def best(fn, repeat=5, budget=20.0):
    times = []
    start = time.perf_counter()
    for _ in range(repeat):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
        if time.perf_counter() - start > budget:
            break
    return min(times)


def model(nodes, edges, seed=7):
    """(i, j) edge ends between `nodes` nodes, deterministic."""
    return [(k % nodes, (k * 7919 + 13 * (k // nodes)) % nodes) for k in range(edges)]


def velkora_graph(nodes, pairs):
    types = [vk.Variable(f"T{i}") for i in range(nodes)]
    made = [vk.Node(t, {"i": i}) for i, t in enumerate(types)]
    g = vk.Graph()
    for n in made:
        g.nodes[n.uid()] = n
    for k, (i, j) in enumerate(pairs):
        e = vk.Edge(vk.Term(f"e{k}", vk.Application(types[i], types[j])), made[i], made[j], {"k": k})
        g.edges[e.uid()] = e
    return g


def nx_graph(nodes, pairs):
    import networkx as nx

    g = nx.MultiDiGraph()
    for i in range(nodes):
        g.add_node(i, i=i, __labels__={f"T{i}"})
    for k, (i, j) in enumerate(pairs):
        g.add_edge(i, j, k=k, __labels__={f"e{k}"})
    return g


class Kuzu:
    def __init__(self, nodes, pairs):
        import kuzu

        self.dir = tempfile.mkdtemp()
        self.db = kuzu.Database(os.path.join(self.dir, "db"))
        self.conn = kuzu.Connection(self.db)
        self.conn.execute("CREATE NODE TABLE N(id INT64, i INT64, PRIMARY KEY (id))")
        self.conn.execute("CREATE REL TABLE R(FROM N TO N, k INT64)")
        npath, epath = os.path.join(self.dir, "n.csv"), os.path.join(self.dir, "e.csv")
        with open(npath, "w") as f:
            f.writelines(f"{i},{i}\n" for i in range(nodes))
        with open(epath, "w") as f:
            f.writelines(f"{i},{j},{k}\n" for k, (i, j) in enumerate(pairs))
        self.conn.execute(f"COPY N FROM '{npath}' (HEADER=false)")
        self.conn.execute(f"COPY R FROM '{epath}' (HEADER=false)")

    def run(self, q):
        r = self.conn.execute(q)
        out = []
        while r.has_next():
            out.append(r.get_next())
        return out


def grand(g, q):
    from grandcypher import GrandCypher

    return GrandCypher(g).run(q)


def peers():
    have = {}
    for name, mod in [("grand-cypher", "grandcypher"), ("networkx", "networkx"), ("kuzu", "kuzu")]:
        try:
            __import__(mod)
            have[name] = True
        except ImportError:
            have[name] = False
    return have


def main():
    have = peers()
    rows = []

    # lookup
    g1 = vk.Graph()
    n = vk.Node(vk.Variable("Person"), {"name": "Ada"})
    g1.nodes[n.uid()] = n
    q = "MATCH (n:Person) RETURN n"
    g1.cypher(q)
    calls = 20_000
    fig = {"velkora": best(lambda: [g1.cypher(q) for _ in range(calls)]) / calls * 1e6}
    if have["networkx"]:
        import networkx as nx

        ng = nx.MultiDiGraph()
        ng.add_node(0, name="Ada", __labels__={"Person"})
        fig["networkx"] = best(lambda: [[{"n": d} for _, d in ng.nodes(data=True) if "Person" in d["__labels__"]]
                                        for _ in range(calls)]) / calls * 1e6
        if have["grand-cypher"]:
            fig["grand-cypher"] = best(lambda: [grand(ng, q) for _ in range(200)]) / 200 * 1e6
    if have["kuzu"]:
        k1 = Kuzu(1, [])
        fig["kuzu"] = best(lambda: [k1.run("MATCH (n:N) RETURN n") for _ in range(1000)]) / 1000 * 1e6
    rows.append(("lookup (µs per call)", fig))

    NODES, EDGES = 10_000, 100_000
    pairs = model(NODES, EDGES)
    g = velkora_graph(NODES, pairs)
    ng = nx_graph(NODES, pairs) if have["networkx"] else None
    small_pairs = model(NODES // 10, EDGES // 10)
    ng_small = nx_graph(NODES // 10, small_pairs) if have["networkx"] else None
    kz = Kuzu(NODES, pairs) if have["kuzu"] else None

    def workload(label, vq, count, nx_loop=None, gq=None, kq=None, small_count=None):
        fig = {}
        g.cypher(vq)
        fig["velkora"] = best(lambda: g.cypher(vq)) / count * 1e9
        if ng is not None and nx_loop:
            fig["networkx"] = best(lambda: nx_loop(ng)) / count * 1e9
        if ng_small is not None and have["grand-cypher"] and gq:
            try:
                fig["grand-cypher*"] = best(lambda: grand(ng_small, gq), repeat=1) / small_count * 1e9
            except Exception as e:  # a form grand-cypher does not read
                fig["grand-cypher*"] = f"n/a ({type(e).__name__})"
        if kz is not None and kq:
            fig["kuzu"] = best(lambda: kz.run(kq)) / count * 1e9
        rows.append((label, fig))

    def nx_group(G):
        c = collections.Counter(v for _, v in G.edges())
        return c.most_common(5)

    workload("group (ns per edge)",
             "MATCH (a)-[r]->(b) RETURN b, count(r) AS n ORDER BY n DESC LIMIT 5", EDGES,
             # grand-cypher groups by property values only, and reads COUNT in capitals
             nx_group, "MATCH (a)-[r]->(b) RETURN b.i, COUNT(r) AS n ORDER BY n DESC LIMIT 5",
             "MATCH (a)-[r:R]->(b) RETURN b, count(r) AS n ORDER BY n DESC LIMIT 5", EDGES // 10)
    workload("count (ns per edge)", "MATCH ()-[r]->() RETURN count(*)", EDGES,
             lambda G: sum(1 for _ in G.edges()), "MATCH (a)-[r]->(b) RETURN COUNT(r)",
             "MATCH ()-[r:R]->() RETURN count(*)", EDGES // 10)
    workload("key (ns per node)", "MATCH (n {i: 4321}) RETURN n", NODES,
             lambda G: [d for _, d in G.nodes(data=True) if d["i"] == 4321], "MATCH (n) WHERE n.i = 432 RETURN n",
             "MATCH (n:N) WHERE n.i = 4321 RETURN n", NODES // 10)

    # join, on a smaller graph: paths found grow with the square of the degree
    jp = model(2_000, 20_000)
    gj = velkora_graph(2_000, jp)
    jq = "MATCH (a)-[r]->(b), (b)-[s]->(c) RETURN count(*)"
    paths = gj.cypher(jq)[0]["count(*)"]
    fig = {"velkora": best(lambda: gj.cypher(jq)) / paths * 1e9}
    if have["networkx"]:
        nj = nx_graph(2_000, jp)

        def nx_join(G):
            total = 0
            for a, b, k in G.edges(keys=True):
                total += sum(1 for _, c, k2 in G.out_edges(b, keys=True) if (b, c, k2) != (a, b, k))
            return total
        fig["networkx"] = best(lambda: nx_join(nj)) / paths * 1e9
    if have["kuzu"]:
        kj = Kuzu(2_000, jp)
        fig["kuzu"] = best(lambda: kj.run("MATCH (a)-[r:R]->(b)-[s:R]->(c) RETURN count(*)")) / paths * 1e9
    rows.append((f"join (ns per path, {paths:,} paths)", fig))

    names = ["velkora", "networkx", "grand-cypher*", "kuzu"]
    print(f"{'workload':36}" + "".join(f"{n:>16}" for n in names))
    for label, fig in rows:
        cells = []
        for n in names:
            v = fig.get(n, fig.get(n.rstrip("*")))
            cells.append(f"{v:>16.3g}" if isinstance(v, float) else f"{(v or '-'):>16}")
        print(f"{label:36}" + "".join(cells))
    print("* grand-cypher on a graph a tenth of the size; figures per edge or node all the same")


if __name__ == "__main__":
    main()
