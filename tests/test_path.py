"""The Path class: a walk of nodes and edges joined by uid, its text form,
equality and hash by uids, copy and pickle, and the collector."""
import copy
import gc
import pickle

import pytest

import velkora as vk

A, B, C = vk.Variable("A"), vk.Variable("B"), vk.Variable("C")
a, b, c = vk.Node(A, {"name": "a"}), vk.Node(B), vk.Node(C)
AB, CB, AA = vk.Application(A, B), vk.Application(C, B), vk.Application(A, A)
f = vk.Edge(vk.Term("f", AB), a, b, {"w": 1})
g = vk.Edge(vk.Term("g", CB), c, b)
loop = vk.Edge(vk.Term("l", AA), a, a)

REPRS = [
    (([a], []), "Path((A))"),
    (([a, b], [f]), "Path((A)-[f]->(B))"),
    (([b, a], [f]), "Path((B)<-[f]-(A))"),
    (([a, b, c], [f, g]), "Path((A)-[f]->(B)<-[g]-(C))"),
    (([a, a, b], [loop, f]), "Path((A)-[l]->(A)-[f]->(B))"),
    (([vk.Node(AB)], []), "Path(((A -> B)))"),
    # Ends are compared by uid: a new Node of the same type joins as well.
    (([vk.Node(A), vk.Node(B)], (f,)), "Path((A)-[f]->(B))"),
]


@pytest.mark.parametrize("args, text", REPRS, ids=[t for _, t in REPRS])
def test_text_form_length_and_round_trips(args, text):
    p = vk.Path(*args)
    assert repr(p) == str(p) == text
    assert len(p) == len(args[1]) == len(p.edges) == len(p.nodes) - 1
    for q in (copy.copy(p), copy.deepcopy(p), pickle.loads(pickle.dumps(p))):
        assert q == p and hash(q) == hash(p) and repr(q) == text


ERRORS = [
    (([], []), ValueError, "one node more than it has edges, not 0 nodes and 0 edges"),
    (([a, b], []), ValueError, "not 2 nodes and 0 edges"),
    (([a, c], [f]), ValueError, r"^edge 0 \(f\) does not join node 0 and node 1$"),
    (([a, b, a], [f, g]), ValueError, r"^edge 1 \(g\) does not join node 1 and node 2$"),
    (([a, a], [f]), ValueError, "edge 0"),
    (({a}, []), TypeError, "argument 'nodes': 'set' object cannot be cast as 'list'"),
    (([a], None), TypeError, "argument 'edges': 'NoneType' object cannot be cast as 'list'"),
    (([A], []), TypeError, "argument 'nodes': 'Variable' object cannot be cast as 'Node'"),
    (([a, b], [vk.Term("f", AB)]), TypeError, "argument 'edges': 'Term' object"),
]


@pytest.mark.parametrize("args, exc, message", ERRORS)
def test_constructor_checks_the_walk(args, exc, message):
    with pytest.raises(exc, match=message):
        vk.Path(*args)


def test_equality_and_hash_follow_the_uids_in_order():
    p = vk.Path([a, b, c], [f, g])
    same = vk.Path([vk.Node(A, {"other": 1}), vk.Node(B), vk.Node(C)],
                   [vk.Edge(vk.Term("f", AB), vk.Node(A), vk.Node(B)), g])
    reverse = vk.Path([c, b, a], [g, f])
    other = vk.Path([a, b, c], [vk.Edge(vk.Term("h", AB), a, b), g])
    assert p == same and hash(p) == hash(same) and not p != same
    assert p != reverse and p != other and p != vk.Path([a, b], [f])
    assert len({p, same, reverse, other}) == 3
    assert (p == [a, b, c]) is False and p.__eq__(object()) is NotImplemented
    with pytest.raises(TypeError):
        p < same


def test_elements_are_new_objects_sharing_the_dicts():
    p = vk.Path([a, b], [f])
    n, e = p.nodes, p.edges
    assert type(n) is tuple and type(e) is tuple
    assert n[0] is not a and n[0].properties is a.properties
    assert e[0].properties is f.properties and e[0].uid() == f.uid()
    assert p.nodes[0] is not n[0]
    # A new dict given to the node later is not the path's.
    x = vk.Node(A, {"k": 1})
    q = vk.Path([x], [])
    x.properties = {"k": 2}
    assert q.nodes[0].properties == {"k": 1}


def test_shallow_copy_shares_and_deep_copy_copies_the_dicts():
    p = vk.Path([a, b], [f])
    assert copy.copy(p).nodes[0].properties is a.properties
    d = copy.deepcopy(p)
    assert d.nodes[0].properties == a.properties and d.nodes[0].properties is not a.properties


def test_a_cycle_through_a_path_is_collected():
    gc.collect()
    before = len(gc.get_objects())
    for _ in range(200):
        n = vk.Node(A, {})
        p = vk.Path([n, n], [vk.Edge(vk.Term("l", AA), n, n)])
        n.properties["path"] = p
        del n, p
    gc.collect()
    assert len(gc.get_objects()) - before < 50
    assert gc.is_tracked(vk.Path([a], []))
