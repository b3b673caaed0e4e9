"""Query engine costs: node and path matches, node creation and row assembly.

Two graphs: "typed" holds 100,000 nodes of 1,000 types (100 per type, filed
under made-up keys) and 100,000 edges filed under their uids; "distinct"
holds 100,000 nodes of distinct types filed under their uids. Figures are
the best of a few runs, per graph node, per edge, per creation or per row.
A plain Python loop over the same dict is printed alongside as a yardstick.
"""
import time

import velkora as vk

N = 100_000


def best(fn, repeat=5):
    times = []
    for _ in range(repeat):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return min(times)


def typed_graph():
    types = [vk.Variable(f"T{i}") for i in range(1000)]
    g = vk.Graph()
    nodes = [vk.Node(types[i % 1000], {"i": i}) for i in range(N)]
    for i, n in enumerate(nodes):
        g.nodes[f"n{i}"] = n
    for i in range(N):
        j = (i * 7919 + 13) % N
        term = vk.Term(f"e{i}", vk.Application(types[i % 1000], types[j % 1000]))
        e = vk.Edge(term, nodes[i], nodes[j])
        g.edges[e.uid()] = e
    return g, types


def distinct_graph():
    types = [vk.Variable(f"T{i}") for i in range(N)]
    g = vk.Graph()
    for t in types:
        n = vk.Node(t)
        g.nodes[n.uid()] = n
    return g, types


def report(label, seconds, count, unit):
    print(f"  {label:<52} {seconds * 1e9 / count:9.1f} ns per {unit}")


def matches(g, types, with_edges):
    t17 = types[17]
    q = g.query().match(node="n", type=t17)
    report("typed node match match(node='n', type=T17)", best(q.return_count), N, "node")
    q = g.query().match("(n:T17)")
    report("untyped schema match match('(n:T17)')", best(q.return_count), N, "node")
    values = g.nodes.values()
    report("  yardstick: Python loop, str(n.type) == 'T17'",
           best(lambda: [n for n in values if str(n.type) == "T17"]), N, "node")
    if with_edges:
        q = g.query().match("(a:T17)-[e]->(b:$*$)")
        report("single-edge path match '(a:T17)-[e]->(b:$*$)'", best(q.return_count), N, "edge")


def creations(g, types, count=10_000):
    q = g.query()
    t0 = time.perf_counter()
    for t in types[:count]:
        q.create(node="n", type=t, properties={"made": True})
    report(f"queue {count:,} creates (builder call)", time.perf_counter() - t0, count, "call")
    report(f"run {count:,} node creations (one query)", best(q.execute), count, "creation")


def rows(g):
    q = g.query().match(node="n")
    run = best(q.return_count)
    total = best(lambda: q.return_("n"))
    report("return_('n') of 100,000 rows, run excluded", total - run, N, "row")
    nodes = list(g.nodes.values())
    report("  yardstick: Python [{'n': v} for v in nodes]", best(lambda: [{"n": v} for v in nodes]),
           N, "row")
    q2 = g.query().match("(a)-[e]->(b)")
    run = best(q2.return_count)
    total = best(lambda: q2.return_("a", "e", "b"))
    report("return_('a', 'e', 'b') of 100,000 path rows, run excluded", total - run, N, "row")


def main():
    print("graph: 100,000 nodes of 1,000 types, 100,000 edges")
    g, types = typed_graph()
    matches(g, types, with_edges=True)
    rows(g)
    creations(g, [vk.Variable(f"C{i}") for i in range(10_000)])
    print("graph: 100,000 nodes of distinct types")
    g, types = distinct_graph()
    matches(g, types, with_edges=False)
    creations(g, types)


if __name__ == "__main__":
    main()
