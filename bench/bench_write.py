"""Writing through queries: edges made by create, node creation and merge.

Edges: a graph of 20,001 nodes (10,000 of side S, 10,000 of side T, one
hub), each of its own type. One query binds the nodes and creates 10,000
edges of one term; its run is timed against the same query without the
create, and the difference is given per edge (the uid included: edges of one
term share it, so it is worked out once per create). Three shapes: the hub
paired with every S node, the S and T nodes paired by position, and that
again with a property dict copied into every edge.

Single operations, builder call included (a new query, one clause, run by
return_count()): creating a node, creating one edge between two bound nodes
(timed against the same query with skip(0) in its place), and merging into a graph of
1,000 nodes a node that is there and passes the test, or is there and takes
the pattern's properties.
"""
import itertools

import velkora as vk
from bench_query import best, report  # this folder is on sys.path when run as a script

N = 10_000


def edge_graph():
    g = vk.Graph()
    for side in "ST":
        for i in range(N):
            n = vk.Node(vk.Variable(f"{side}{i}"), {side: True})
            g.nodes[n.uid()] = n
    hub = vk.Node(vk.Variable("Hub"), {"hub": True})
    g.nodes[hub.uid()] = hub
    return g


def edges():
    g = edge_graph()
    term = vk.Term("link", vk.Application(vk.Variable("S"), vk.Variable("T")))
    shapes = [
        ("hub -> 10,000 S nodes", "hub", {}),
        ("10,000 S -> 10,000 T nodes, by position", "T", {}),
        ("the same, properties={'w': 1, 'tag': 'x'}", "T", {"w": 1, "tag": "x"}),
    ]
    for label, other, props in shapes:
        # A builder call also queues on its receiver: every query is built anew.
        def base():
            return g.query().match(node="a", properties={"S": True}).match(node="b", properties={other: True})

        start, end = ("b", "a") if other == "hub" else ("a", "b")
        q = base().create(edge="e", term=term, start=start, end=end, properties=props)
        assert q.return_count() == N
        report(f"create edges: {label}", best(q.return_count) - best(base().return_count), N, "edge")


def single_operations(repeat=20_000):
    def per_call(fn):
        def loop():
            for _ in range(repeat):
                fn()
        return best(loop) / repeat

    A, B = vk.Variable("A"), vk.Variable("B")
    term = vk.Term("f", vk.Application(A, B))
    g = vk.Graph()
    report("create(node=..., type=A) + run", per_call(
        lambda: g.query().create(node="n", type=A).return_count()), 1, "call")
    def base():
        return g.query().create(node="a", type=A).create(node="b", type=B)

    with_edge = per_call(lambda: base().create(edge="e", term=term, start="a", end="b").return_count())
    without = per_call(lambda: base().skip(0).return_count())
    report("create(edge=..., term=f) + run, the nodes' own run excluded", with_edge - without, 1,
           "call")

    g = vk.Graph()
    for i in range(1000):
        n = vk.Node(vk.Variable(f"N{i}"), {"name": f"n{i}", "size": i})
        g.nodes[n.uid()] = n
    n500 = vk.Variable("N500")
    report("merge(node=..., type=N500) of a passing node, 1,000 nodes", per_call(
        lambda: g.query().merge(node="n", type=n500, properties={"name": "n500"}).return_count()),
        1, "call")
    names = itertools.count()  # a new name every call, so the test always fails
    report("merge(node=..., type=N500) that keeps the node's data", per_call(
        lambda: g.query().merge(node="n", type=n500, properties={"name": next(names)}).return_count()),
        1, "call")


def main():
    edges()
    single_operations()


if __name__ == "__main__":
    main()
