"""Graph.cypher() paths beside NetworkX: variable-length expansion, shortest
paths and a long chain.

One table, each workload's figure for velkora and for NetworkX on the same
graph (the MultiDiGraph of Graph.to_networkx(), built before timing):

- expand: `MATCH (a:T0)-[*1..3]->(b) RETURN count(*)` from one node of a
  graph of 100,000 edges between 50,000 nodes (two edges out of each node),
  per path found; NetworkX: a depth-first walk of the successor lists with
  the same relationship uniqueness. A query's run reads the edges dict once
  to build its adjacency, which one node's few paths do not amortise; the
  second row expands from 1,000 nodes in one query to show the cost per
  path once it is, and the third shows that one-off cost alone.
- shortest: `shortestPath((a)-[*]->(b))` between two nodes 6 hops apart
  (directed) and `-[*]-` (either way), per query; NetworkX:
  nx.shortest_path on the same graph (its own undirected view for `-`).
- chain: `MATCH (a:C0)-[*]->(b) RETURN count(*)` on a chain of 20,000
  edges (20,000 paths, the longest of 20,000 edges: no recursion on the C
  stack), per path; NetworkX: nx.descendants.

Figures are the best of a few runs (wall clock; on a loaded machine compare
the ratios).
"""
import time

import velkora as vk

EDGES = 100_000
NODES = 50_000
CHAIN = 20_000


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


def stride_graph():
    types = [vk.Variable(f"T{i}") for i in range(NODES)]
    nodes = [vk.Node(t, {"i": i}) for i, t in enumerate(types)]
    g = vk.Graph()
    for n in nodes:
        g.nodes[n.uid()] = n
    for i in range(EDGES):
        s, e = i % NODES, (i * 7919 + 13) % NODES
        edge = vk.Edge(vk.Term(f"e{i}", vk.Application(types[s], types[e])), nodes[s], nodes[e])
        g.edges[edge.uid()] = edge
    return g, nodes


def chain_graph():
    types = [vk.Variable(f"C{i}") for i in range(CHAIN + 1)]
    nodes = [vk.Node(t) for t in types]
    g = vk.Graph()
    for n in nodes:
        g.nodes[n.uid()] = n
    for i in range(CHAIN):
        e = vk.Edge(vk.Term("next", vk.Application(types[i], types[i + 1])), nodes[i], nodes[i + 1])
        g.edges[e.uid()] = e
    return g, nodes


def nx_paths(G, source, lo, hi):
    """Walks of lo..hi edges from source, no edge twice: how many."""
    found = 0
    stack = [(source, iter(G.out_edges(source, keys=True)))]
    used = []
    while stack:
        node, it = stack[-1]
        step = next(it, None)
        if step is None:
            stack.pop()
            if used:
                used.pop()
            continue
        if step[2] in used:
            continue
        used.append(step[2])
        if len(used) >= lo:
            found += 1
        if len(used) < hi:
            stack.append((step[1], iter(G.out_edges(step[1], keys=True))))
        else:
            used.pop()
    return found


def six_hops(G, source):
    import networkx as nx
    dist = nx.single_source_shortest_path_length(G, source, cutoff=6)
    return next(n for n, d in sorted(dist.items()) if d == 6)


def main():
    import networkx as nx

    g, nodes = stride_graph()
    G = g.to_networkx()
    print(f"graph: {NODES:,} nodes of distinct types, {EDGES:,} edges; chain of {CHAIN:,} edges")
    rows = []

    q = "MATCH (a:T0)-[*1..3]->(b) RETURN count(*) AS n"
    n = g.cypher(q)[0]["n"]
    src = nodes[0].uid()
    assert nx_paths(G, src, 1, 3) == n
    rows.append((f"expand (a:T0)-[*1..3]->(b), per path ({n} paths)",
                 best(lambda: g.cypher(q)) / n, best(lambda: nx_paths(G, src, 1, 3)) / n))

    uids = [x.uid() for x in nodes[:1000]]
    q = "MATCH (a) WHERE a.i < 1000 MATCH (a)-[*1..3]->(b) RETURN count(*) AS n"
    n = g.cypher(q)[0]["n"]
    rows.append((f"expand from 1,000 nodes in one query, per path ({n:,} paths)",
                 best(lambda: g.cypher(q)) / n,
                 best(lambda: sum(nx_paths(G, u, 1, 3) for u in uids)) / n))

    # What a query pays once for its adjacency: a walk of no edge from one
    # node, less the scan that finds the node.
    walk0 = best(lambda: g.cypher("MATCH (a:T0)-[*0]->(b) RETURN count(*)"))
    scan = best(lambda: g.cypher("MATCH (a:T0) RETURN count(*)"))
    rows.append(("adjacency of the edges, read once per query", walk0 - scan, float("nan")))

    far = six_hops(G, src)
    far_type = str(G.nodes[far]["type"])
    q = f"MATCH (a:T0), (b:{far_type}) MATCH p = shortestPath((a)-[*]->(b)) RETURN length(p) AS n"
    assert g.cypher(q)[0]["n"] == 6 == len(nx.shortest_path(G, src, far)) - 1
    rows.append(("shortestPath (a)-[*]->(b), 6 hops, per query",
                 best(lambda: g.cypher(q)), best(lambda: nx.shortest_path(G, src, far))))
    U = G.to_undirected(as_view=True)
    q = f"MATCH (a:T0), (b:{far_type}) MATCH p = shortestPath((a)-[*]-(b)) RETURN length(p) AS n"
    k = g.cypher(q)[0]["n"]
    assert k == len(nx.shortest_path(U, src, far)) - 1
    rows.append((f"shortestPath (a)-[*]-(b), {k} hops, per query",
                 best(lambda: g.cypher(q)), best(lambda: nx.shortest_path(U, src, far))))

    c, chain = chain_graph()
    C = c.to_networkx()
    q = "MATCH (a:C0)-[*]->(b) RETURN count(*) AS n"
    assert c.cypher(q)[0]["n"] == CHAIN == len(nx.descendants(C, chain[0].uid()))
    rows.append((f"chain (a:C0)-[*]->(b), per path ({CHAIN:,} paths)",
                 best(lambda: c.cypher(q)) / CHAIN,
                 best(lambda: nx.descendants(C, chain[0].uid())) / CHAIN))

    print(f"  {'workload':<62} {'velkora':>12} {'NetworkX':>12}")
    for label, ours, theirs in rows:
        other = "" if theirs != theirs else f"{theirs * 1e9:>10.0f}ns"
        print(f"  {label:<62} {ours * 1e9:>10.0f}ns {other:>12}")


if __name__ == "__main__":
    main()
