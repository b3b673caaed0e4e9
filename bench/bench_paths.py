"""Path matches: direction and length, per matched path.

One graph of 100,000 edges between 50,000 nodes of distinct types (each edge
from node i to a node picked by a fixed stride), so a node has two edges out
and two in on average and a two-edge path extends each edge about twice.
Each query runs through return_count (no row assembly). Figures are the best
of a few runs, in ns per matched path; the backward single-edge path is
compared with the same path written forward, and the two-edge path with a
single-edge one.
"""
import velkora as vk
from bench_query import best  # this folder is on sys.path when run as a script

EDGES = 100_000
NODES = 50_000


def graph():
    types = [vk.Variable(f"T{i}") for i in range(NODES)]
    nodes = [vk.Node(t) for t in types]
    g = vk.Graph()
    for n in nodes:
        g.nodes[n.uid()] = n
    for i in range(EDGES):
        s, e = i % NODES, (i * 7919 + 13) % NODES
        edge = vk.Edge(vk.Term(f"e{i}", vk.Application(types[s], types[e])), nodes[s], nodes[e])
        g.edges[edge.uid()] = edge
    return g


def per_path(g, pattern):
    q = g.query().match(pattern)
    count = q.return_count()
    seconds = best(q.return_count)
    return seconds * 1e9 / count, count


def main():
    g = graph()
    print(f"graph: {NODES:,} nodes of distinct types, {EDGES:,} edges")
    forward, n1 = per_path(g, "(a)-[e]->(b)")
    backward, n2 = per_path(g, "(b)<-[e]-(a)")
    both, n3 = per_path(g, "(a)-[e]-(b)")
    two, n4 = per_path(g, "(a)-[e]->(b)-[f]->(c)")
    two_back, n5 = per_path(g, "(a)<-[e]-(b)<-[f]-(c)")
    rows = [
        ("single edge, forward  (a)-[e]->(b)", forward, n1),
        ("single edge, backward (b)<-[e]-(a)", backward, n2),
        ("single edge, any      (a)-[e]-(b)", both, n3),
        ("two edges, forward    (a)-[e]->(b)-[f]->(c)", two, n4),
        ("two edges, backward   (a)<-[e]-(b)<-[f]-(c)", two_back, n5),
    ]
    for label, ns, count in rows:
        print(f"  {label:<46} {ns:8.1f} ns per path  ({count:,} paths)")
    print(f"  backward / forward single edge: {backward / forward:.2f}")
    print(f"  two-edge / single-edge path:    {two / forward:.2f}")


if __name__ == "__main__":
    main()
