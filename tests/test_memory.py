"""Memory stays flat over long loops of the basic operations."""
import gc
import sys

import velkora as vk


def allocated_after(fn, rounds):
    fn(100)  # warm caches (interned names, type objects)
    gc.collect()
    before = sys.getallocatedblocks()
    fn(rounds)
    gc.collect()
    return sys.getallocatedblocks() - before


def types_and_terms(n):
    A, B = vk.Variable("A"), vk.Variable("B")
    for i in range(n):
        ab = vk.Application(A, vk.Variable("B"))
        f, x = vk.Term("f", ab), vk.Term("x", A)
        r = f(x)
        str(r), repr(f), hash(f), hash(ab), f.uid(), ab.uid(), r.type
        assert f == vk.Term("f", ab) and ab != B
        ab.left.name = "Q"
        try:
            x(f)
        except TypeError:
            pass
        try:
            vk.Application(A, i)
        except TypeError:
            pass
        try:
            vk.Variable(name=i)
        except TypeError:
            pass


def nodes_and_edges(n):
    A, B = vk.Variable("A"), vk.Variable("B")
    t = vk.Term("f", vk.Application(A, B))
    g = vk.Graph()
    for i in range(n):
        a, b = vk.Node(A, {"i": i}), vk.Node(B)
        e = vk.Edge(t, a, b)
        str(e), e.uid(), a.uid(), e.start.properties, e.end.type, e.term.name
        a.properties = {}
        g.nodes[a.uid()] = a
        g.edges[e.uid()] = e
        str(g)
        try:
            vk.Edge(t, a, None)
        except TypeError:
            pass
        try:
            a.properties = None
        except TypeError:
            pass


def test_types_and_terms_do_not_leak():
    assert allocated_after(types_and_terms, 100_000) < 1000


def test_nodes_and_edges_do_not_leak():
    assert allocated_after(nodes_and_edges, 100_000) < 1000
