"""Cost of the clauses that shape results, on 100,000 bound positions.

A graph of 100,000 nodes, each with a random int property "i" and a str
property "s", made node by node as a loader would make them. Each figure is
the run of match + clause minus the run of the match alone (best of a few
runs each), per bound position, next to the same work done by a plain Python
loop over the nodes; limit(10) is given whole, since it must not grow with
the match.
"""
import random

import velkora as vk
from bench_query import best, report  # this folder is on sys.path when run as a script

N = 100_000


def main():
    rng = random.Random(7)
    g = vk.Graph()
    for k in range(N):
        i = rng.randrange(N)
        g.nodes[f"n{k}"] = vk.Node(vk.Variable(f"T{k % 1000}"), {"i": i, "s": f"s{i:06d}"})
    nodes = list(g.nodes.values())

    base = best(g.query().match(node="n").return_count)
    report("match(node='n'), the baseline", base, N, "node")

    def clause(label, make):
        q = make(g.query().match(node="n"))
        report(label, best(q.return_count) - base, N, "position")

    clause("where('n.i < 50000')", lambda q: q.where("n.i < 50000"))
    report("  yardstick: [n for n in nodes if n.properties['i'] < 50000]",
           best(lambda: [n for n in nodes if n.properties["i"] < 50000]), N, "node")
    clause("where('n.i >= 10 AND n.s STARTS WITH \"s0\"')",
           lambda q: q.where("n.i >= 10 AND n.s STARTS WITH 's0'"))
    clause("where('n:T17') (type test)", lambda q: q.where("n:T17"))
    clause("order_by('n', 'i') (int key)", lambda q: q.order_by("n", "i"))
    clause("order_by('n', 'i', ascending=False)", lambda q: q.order_by("n", "i", False))
    clause("order_by('n', 's') (str key)", lambda q: q.order_by("n", "s"))
    clause("order_by('n', 'i').order_by('n', 's') (compound)",
           lambda q: q.order_by("n", "i").order_by("n", "s"))
    report("  yardstick: sorted(nodes, key=lambda n: n.properties['i'])",
           best(lambda: sorted(nodes, key=lambda n: n.properties["i"])), N, "node")
    limited = best(g.query().match(node="n").limit(10).return_count)
    print(f"  {'limit(10) after the match, whole clause':<52} {(limited - base) * 1e6:9.1f} µs"
          f" (match: {base * 1e3:.1f} ms)")


if __name__ == "__main__":
    main()
