import hashlib
import re

import pytest

import velkora as vk

A, B, C, D = (vk.Variable(n) for n in "ABCD")
AB = vk.Application(A, B)


def test_node_basics():
    n1, n2 = vk.Node(A), vk.Node(A)
    assert n1.properties == {} and n1.properties is not n2.properties
    assert n1.uid() == n2.uid()
    assert re.fullmatch(r"[0-9a-f]{64}", n1.uid())
    assert n1.uid() == hashlib.sha256(b"node:" + A.uid().encode()).hexdigest() != A.uid()
    assert str(vk.Node(AB)) == repr(vk.Node(AB)) == "Node((A -> B))"
    assert vk.Node(A, None).properties == {}
    assert vk.Node(type=A, properties=None).type == A


def test_node_shares_the_dict_it_was_given():
    d = {"name": "Alice"}
    n = vk.Node(A, d)
    assert n.properties is d and n.properties is n.properties

    class Props(dict):
        pass

    p = Props(x=1)
    assert vk.Node(A, p).properties is p


def test_node_owns_a_copy_of_its_type():
    v = vk.Variable("A")
    n = vk.Node(v)
    v.name = "Z"
    assert str(n) == "Node(A)" and n.uid() == vk.Node(A).uid()
    t = n.type
    assert t == A and t is not n.type


@pytest.mark.parametrize(
    "call, exc, message",
    [
        (lambda: vk.Node("A"), TypeError, "Expected Variable or Application"),
        (lambda: vk.Node(A, [1]), TypeError, "argument 'properties': 'list' object cannot be cast as 'dict'"),
        # properties is checked before the type
        (lambda: vk.Node("A", [1]), TypeError, "argument 'properties': 'list' object cannot be cast as 'dict'"),
        (lambda: vk.Node(), TypeError, "Node.__new__() missing 1 required positional argument: 'type'"),
        (lambda: vk.Edge("f", vk.Node(A), vk.Node(B)), TypeError, "'str' object cannot be cast as 'Term'"),
        (lambda: vk.Edge(vk.Term("f", AB), A, vk.Node(B)), TypeError, "'Variable' object cannot be cast as 'Node'"),
        (lambda: vk.Edge(vk.Term("f", AB), vk.Node(A), None), TypeError, "'NoneType' object cannot be cast as 'Node'"),
        (lambda: vk.Edge("f", A, B, 1), TypeError, "argument 'properties': 'int' object cannot be cast as 'dict'"),
    ],
)
def test_construction_errors(call, exc, message):
    with pytest.raises(exc) as info:
        call()
    assert str(info.value) == message


def test_properties_setter():
    n = vk.Node(A)
    e = vk.Edge(vk.Term("f", AB), n, vk.Node(B))
    for obj in (n, e):
        new = {"k": 1}
        obj.properties = new
        assert obj.properties is new
        with pytest.raises(AttributeError, match="can't delete attribute"):
            del obj.properties
        with pytest.raises(TypeError, match="argument 'properties': 'NoneType' object cannot be cast as 'dict'"):
            obj.properties = None
        assert obj.properties is new


def test_edge_snapshots_and_shared_dicts():
    d = {"age": 3}
    start = vk.Node(A, d)
    f = vk.Term("f", AB)
    e = vk.Edge(f, start, vk.Node(B))
    assert e.start is not e.start
    assert e.start.properties is e.start.properties is d
    start.properties = {}
    assert e.start.properties is d
    d["age"] = 4
    assert e.start.properties["age"] == 4
    before = (str(e), e.uid())
    f.name = "renamed"
    assert (str(e), e.uid()) == before
    assert e.term == vk.Term("f", AB) and e.term is not e.term
    assert e.end.type == B
    for attr in ("term", "start", "end"):
        with pytest.raises(AttributeError):
            setattr(e, attr, None)


def test_uids_read_before_a_rename_follow_it():
    # Uids are kept with a type or term value once made; renaming gives the
    # object a new value, so its uid and the keys queries file under follow,
    # while nodes and edges built before keep theirs.
    v, f = vk.Variable("V"), vk.Term("f", AB)
    n, e = vk.Node(v), vk.Edge(f, vk.Node(A), vk.Node(B))
    before = [v.uid(), n.uid(), f.uid(), e.uid()]
    v.name, f.name = "W", "g"
    assert [v.uid(), f.uid()] == [vk.Variable("W").uid(), vk.Term("g", AB).uid()]
    assert [n.uid(), e.uid()] == before[1::2]
    g = vk.Graph()
    q = g.query().create(node="a", type=A).create(node="b", type=B)
    for name in ("h", "k"):
        q.create(node="v", type=v).create(edge="e", term=f, start="a", end="b").return_count()
        f.name = name
    edge_uid = lambda name: hashlib.sha256(b"edge:" + vk.Term(name, AB).uid().encode()).hexdigest()
    assert set(g.edges) == {edge_uid("g"), edge_uid("h")}
    assert vk.Node(vk.Variable("W")).uid() in g.nodes and before[1] not in g.nodes


def test_edge_accepts_ill_typed_terms_and_prints():
    e = vk.Edge(vk.Term("f", AB), vk.Node(C), vk.Node(D))
    assert str(e) == repr(e) == "Edge(f: C -> D)"
    assert e.properties == {}


def test_edge_uid_depends_on_term_only():
    f = vk.Term("f", AB)
    e1 = vk.Edge(f, vk.Node(A), vk.Node(B), {"w": 1})
    e2 = vk.Edge(vk.Term("f", AB), vk.Node(C), vk.Node(D))
    assert e1.uid() == e2.uid() == hashlib.sha256(b"edge:" + f.uid().encode()).hexdigest()
    assert e1.uid() != vk.Edge(vk.Term("g", AB), vk.Node(A), vk.Node(B)).uid()


def test_graph_container():
    g = vk.Graph()
    assert str(g) == repr(g) == "Graph(0 nodes, 0 edges)"
    assert g.nodes is g.nodes and g.edges is g.edges and g.nodes is not g.edges
    n = vk.Node(A)
    g.nodes[n.uid()] = n
    e = vk.Edge(vk.Term("f", AB), n, vk.Node(B))
    g.edges[e.uid()] = e
    g.nodes["x"] = 1
    assert str(g) == "Graph(2 nodes, 1 edges)"
    with pytest.raises(AttributeError):
        g.nodes = {}
    with pytest.raises(AttributeError):
        del g.edges
    with pytest.raises(TypeError):
        vk.Graph(1)
    with pytest.raises(TypeError):
        vk.Graph(x=1)
