"""Cost of the nodes-by-type lookup, measured through a typed node match.

A typed match (match(node=..., type=T)) looks its candidates up by type: one
pass over every entry of graph.nodes, validating each and comparing its
type's uid. Two graphs:
  distinct: 100,000 nodes of distinct types, filed under their uids
            (one lookup finds one node);
  grouped:  100,000 nodes of 100 types, filed under other string keys
            (one lookup finds 1,000 nodes).
Each node gets its own Variable object, so no two nodes share a type value.
"""
import time

import velkora as vk
from bench_query import best  # this folder is on sys.path when run as a script

N = 100_000


def main():
    distinct = vk.Graph()
    for i in range(N):
        n = vk.Node(vk.Variable(f"T{i}"))
        distinct.nodes[n.uid()] = n
    grouped = vk.Graph()
    for i in range(N):
        grouped.nodes[f"key{i}"] = vk.Node(vk.Variable(f"G{i % 100}"), {"i": i})

    for label, g, t, expect in (
        ("distinct types, one hit", distinct, vk.Variable("T4242"), 1),
        ("100 types, 1,000 hits", grouped, vk.Variable("G17"), 1000),
    ):
        q = g.query().match(node="n", type=t)
        t0 = time.perf_counter()
        assert q.return_count() == expect  # the first lookup computes each type's uid
        first = time.perf_counter() - t0
        steady = best(q.return_count, repeat=7)
        print(f"{label:<26} first lookup {first * 1e9 / N:7.1f} ns/node, "
              f"then {steady * 1e9 / N:6.1f} ns/node")


if __name__ == "__main__":
    main()
