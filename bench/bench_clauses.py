"""Cost of the clauses that shape results, on 100,000 bound positions.

A graph of 100,000 nodes, each with an int property "i" (shuffled) and a str
property "s". Every figure is the run of match + clause minus the run of the
match alone (both best of a few runs), per bound position; limit(10) is
given as the whole difference, since it should not grow with the match.
"""
import random

import velkora as vk
from bench_query import best, report  # this folder is on sys.path when run as a script

N = 100_000


def main():
    g = vk.Graph()
    values = list(range(N))
    random.Random(7).shuffle(values)
    for k, i in enumerate(values):
        g.nodes[f"n{k}"] = vk.Node(vk.Variable(f"T{k % 1000}"), {"i": i, "s": f"s{i:06d}"})

    match = g.query().match(node="n")
    base = best(match.return_count)
    print(f"match(node='n') over {N:,} nodes: {base * 1e9 / N:.1f} ns per node")

    def clause(label, make):
        q = make(g.query().match(node="n"))
        report(label, best(q.return_count) - base, N, "position")

    clause("where('n.i < 50000')", lambda q: q.where("n.i < 50000"))
    clause("where('n.i >= 10 AND n.s STARTS WITH \"s0\"')",
           lambda q: q.where("n.i >= 10 AND n.s STARTS WITH 's0'"))
    clause("where('n:T17') (type test)", lambda q: q.where("n:T17"))
    clause("order_by('n', 'i') (int key)", lambda q: q.order_by("n", "i"))
    clause("order_by('n', 'i', ascending=False)", lambda q: q.order_by("n", "i", False))
    clause("order_by('n', 's') (str key)", lambda q: q.order_by("n", "s"))
    limited = g.query().match(node="n").limit(10)
    extra = best(limited.return_count) - base
    print(f"  {'limit(10) after the match, whole clause':<52} {extra * 1e6:9.1f} µs")


if __name__ == "__main__":
    main()
