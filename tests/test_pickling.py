"""Copy and pickle: every class but Query round-trips through pickle, copy and
deepcopy to an equal object; shallow copies share properties dicts, deep
copies keep the sharing among what they copy; malformed pickle data raises."""
import copy
import os
import pickle
import re
import subprocess
import sys

import pytest
from hypothesis import given, strategies as st

import velkora as vk

A, B = vk.Variable("A"), vk.Variable("B")
AB = vk.Application(A, B)
F = vk.Term("f", AB)
PROTOCOLS = range(pickle.HIGHEST_PROTOCOL + 1)
VALUE_CLASSES = (vk.Variable, vk.Application, vk.Term)


def describe(x):
    """What an object holds, comparable with ==: values stand for themselves,
    the identity-compared classes for their text form, uid and reduced form."""
    if isinstance(x, VALUE_CLASSES):
        return x
    if isinstance(x, (list, tuple)):
        return [describe(i) for i in x]
    if isinstance(x, dict):
        return {k: describe(v) for k, v in x.items()}
    if type(x).__module__ == "velkora":
        rv = x.__reduce__()
        uid = x.uid() if hasattr(x, "uid") else None
        return (type(x).__name__, repr(x), uid, describe(rv[1]), describe(rv[2:]))
    return x


def sample_graph():
    n, m = vk.Node(A, {"name": "a", "tags": ["x"]}), vk.Node(B)
    e = vk.Edge(F, n, m, {"w": 1.5})
    g = vk.Graph()
    g.nodes[n.uid()], g.nodes[m.uid()], g.edges[e.uid()] = n, m, e
    return g


OBJECTS = [
    ("variable", lambda: vk.Variable("Person")),
    ("variable-empty-name", lambda: vk.Variable("")),
    ("application", lambda: vk.Application(AB, vk.Application(B, AB))),
    ("term", lambda: vk.Term("(f x)", vk.Application(AB, A))),
    ("node", lambda: vk.Node(AB, {"k": [1, 2], 3: None})),
    ("edge", lambda: vk.Edge(F, vk.Node(A, {"s": 1}), vk.Node(B), {"w": 2})),
    ("graph", sample_graph),
    ("graph-empty", vk.Graph),
    ("schema", lambda: vk.TypeSchema("$(x:*) -> B$")),
    ("node-pattern", lambda: vk.NodePattern("n", AB, "$A -> *$", {"age": 30})),
    ("node-pattern-empty", vk.NodePattern),
    ("edge-pattern", lambda: vk.EdgePattern("e", F, vk.TypeSchema("$*$"), {"p": 1}, "any")),
    ("edge-pattern-empty", vk.EdgePattern),
    ("path-pattern", lambda: vk.PathPattern("(a:A)-[e:$A -> B$]->(b)")
     .add_node(vk.NodePattern("c", AB, properties={"k": 1}))),
]


@pytest.mark.parametrize("make", [m for _, m in OBJECTS], ids=[i for i, _ in OBJECTS])
def test_round_trips_give_an_equal_object(make):
    x = make()
    copies = [pickle.loads(pickle.dumps(x, p)) for p in PROTOCOLS]
    copies += [copy.copy(x), copy.deepcopy(x)]
    for y in copies:
        assert type(y) is type(x) and describe(y) == describe(x)
        assert y is not x  # a Variable or Term copy is renamed on its own
        if isinstance(x, VALUE_CLASSES):
            assert y == x and hash(y) == hash(x)


def test_patterns_reduce_to_every_constructor_argument():
    # Fields that Python cannot read back (type, schema, term, properties)
    # must be part of what a pattern pickles to.
    node_args = ("n", AB, "$A -> *$", {"age": 30})
    edge_args = ("e", F, "$*$", {"p": [1]}, "backward")
    assert describe(vk.NodePattern(*node_args).__reduce__()) == describe((vk.NodePattern, node_args))
    assert describe(vk.EdgePattern(*edge_args).__reduce__()) == describe((vk.EdgePattern, edge_args))


def test_copies_share_dicts_as_python_objects_would():
    g = sample_graph()
    n = next(iter(g.nodes.values()))
    e = next(iter(g.edges.values()))
    shallow, deep = copy.copy(n), copy.deepcopy(n)
    assert shallow.properties is n.properties
    assert deep.properties is not n.properties and deep.properties == n.properties
    assert deep.properties["tags"] is not n.properties["tags"]
    assert copy.copy(e).properties is e.properties
    assert copy.copy(e).start.properties is n.properties
    # A graph holds two dicts: a shallow copy shares them, a deep one does not.
    assert copy.copy(g).nodes is g.nodes and copy.copy(g).edges is g.edges
    # Sharing inside what one deep copy or one pickle covers is kept: the
    # edge's start node and the graph's node keep one dict between them.
    for g2 in (copy.deepcopy(g), pickle.loads(pickle.dumps(g))):
        n2, e2 = g2.nodes[n.uid()], g2.edges[e.uid()]
        assert n2.properties is not n.properties
        assert e2.start.properties is n2.properties
    e1, e2 = copy.deepcopy([e, vk.Edge(F, n, n)])
    assert e1.start.properties is e2.end.properties is not n.properties


def test_objects_referring_to_themselves_pickle():
    g = sample_graph()
    n = next(iter(g.nodes.values()))
    n.properties["node"] = n
    n.properties["graph"] = g
    g2 = pickle.loads(pickle.dumps(g))
    n2 = g2.nodes[n.uid()]
    assert n2.properties["node"] is n2 and n2.properties["graph"] is g2


@pytest.mark.parametrize("action", [pickle.dumps, copy.copy, copy.deepcopy])
def test_query_refuses(action):
    with pytest.raises(TypeError, match="cannot pickle or copy a Query"):
        action(vk.Graph().query())


def test_shared_subtypes_are_written_once():
    t = A
    for _ in range(200):  # 2**200 leaves if written out as a tree
        t = vk.Application(t, t)
    data = pickle.dumps(t)
    assert len(data) < 10_000 and pickle.loads(data).uid() == t.uid()
    # Equal types encode equally, however they were built.
    assert AB.__reduce__() == vk.Application(vk.Variable("A"), vk.Variable("B")).__reduce__()


class Forged:
    """Pickles as the reduce value it is given, as tampered data would."""

    def __init__(self, rv):
        self.rv = rv

    def __reduce__(self):
        return self.rv


restore = vk.Application._restore
NODE_STATE = (None, {"properties": {}})
MALFORMED = [
    ((restore, ((),)), ValueError, "malformed type data: no entries"),
    ((restore, (["A", "B", 0, 1],)), TypeError, "'list' object cannot be cast as 'tuple'"),
    ((restore, (("A",),)), ValueError, "describes a variable, not an application"),
    ((restore, (("A", 0),)), ValueError, "item 1 is not followed by a second index"),
    ((restore, (("A", 0, 1),)), ValueError, "item 2 names no earlier entry"),
    ((restore, (("A", -1, 0),)), ValueError, "item 1 names no earlier entry"),
    ((restore, (("A", 0, 2**70),)), ValueError, "item 2 names no earlier entry"),
    ((restore, (("A", True, 0),)), TypeError, "item 1 is a 'bool', not a str or an int"),
    ((restore, ((b"A",),)), TypeError, "item 0 is a 'bytes', not a str or an int"),
    ((restore, (("\udc80", "A", 0, 1),)), UnicodeEncodeError, ""),
    ((vk.Graph._restore, ({}, [])), TypeError, "argument 'edges'"),
    ((vk.Graph._restore, (None, {})), TypeError, "argument 'nodes'"),
    ((vk.Graph._restore, ((d := {}), d)), ValueError, "two different dicts"),
    ((vk.PathPattern._restore, ([vk.EdgePattern()], [])), TypeError, "cannot be cast as 'NodePattern'"),
    ((vk.PathPattern._restore, ([], [None])), TypeError, "cannot be cast as 'EdgePattern'"),
    ((vk.Node, (A,), (None, {"properties": 5})), TypeError, "argument 'properties'"),
    ((vk.Node, (A,), (None, {"type": B})), AttributeError, "not writable"),
    ((vk.Node, ("A",), NODE_STATE), TypeError, "Expected Variable or Application"),
    ((vk.Edge, (F, vk.Node(A), 1), NODE_STATE), TypeError, "cannot be cast as 'Node'"),
    ((vk.Term, ("f", None)), TypeError, "Expected Variable or Application"),
    ((vk.NodePattern, ("n", None, None, {1: 2})), TypeError, "argument 'properties'"),
    ((vk.EdgePattern, (None, None, None, None, None)), TypeError, "argument 'direction'"),
]


@pytest.mark.parametrize("rv, exc, message", MALFORMED)
def test_malformed_pickle_data_raises(rv, exc, message):
    data = pickle.dumps(Forged(rv))
    with pytest.raises(exc, match=re.escape(message) if message else None):
        pickle.loads(data)


def test_corrupted_pickles_never_crash(tmp_path):
    # Every single-byte change of a pickled graph either loads or raises.
    g = sample_graph()
    d = vk.Application(AB, vk.Application(AB, B))
    g.nodes["deep"] = vk.Node(d, {"p": vk.PathPattern("(a:A)").add_node(vk.NodePattern(type=d))})
    path = tmp_path / "graph.pickle"
    path.write_bytes(pickle.dumps(g))
    code = (
        "import pickle, sys\n"
        "data = open(sys.argv[1], 'rb').read()\n"
        "for i in range(len(data)):\n"
        "    for b in (0, 1, data[i] ^ 0x40, 0xFF):\n"
        "        try:\n"
        "            pickle.loads(data[:i] + bytes([b]) + data[i + 1:])\n"
        "        except Exception:\n"
        "            pass\n"
        "print('done')\n"
    )
    # A changed memo index can ask for a memo of gigabytes: MemoryError, also
    # under the address sanitizer.
    env = dict(os.environ)
    env["ASAN_OPTIONS"] = env.get("ASAN_OPTIONS", "") + ":allocator_may_return_null=1"
    done = subprocess.run([sys.executable, "-c", code, str(path)], capture_output=True,
                          text=True, timeout=600, env=env)
    assert done.returncode == 0 and done.stdout == "done\n", done.stderr[-2000:]


def model_restore(data):
    """The flat type encoding read by a plain model: the text form of the
    type, or the exception class the reader must raise."""
    table, i = [], 0
    while i < len(data):
        item = data[i]
        if isinstance(item, str):
            table.append((item, False))
            i += 1
        elif type(item) is int:
            if i + 1 == len(data) or type(data[i + 1]) is not int:
                return ValueError
            l, r = item, data[i + 1]
            if not (0 <= l < len(table) and 0 <= r < len(table)):
                return ValueError
            table.append((f"({table[l][0]} -> {table[r][0]})", True))
            i += 2
        else:
            return TypeError
    if not table or not table[-1][1]:
        return ValueError
    return table[-1][0]


ITEMS = st.one_of(st.sampled_from(["A", "B", ""]), st.integers(-1, 5),
                  st.sampled_from([None, 1.0, True]))


@given(st.lists(ITEMS, max_size=12).map(tuple))
def test_flat_type_reader_matches_model(data):
    expected = model_restore(data)
    if isinstance(expected, str):
        assert str(vk.Application._restore(data)) == expected
    else:
        with pytest.raises(expected):
            vk.Application._restore(data)
