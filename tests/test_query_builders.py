"""Query construction and the clause builders: signatures, conversions,
form selection, build-time errors and the copy every builder returns."""
import inspect

import pytest

import velkora as vk

A, B, C = vk.Variable("A"), vk.Variable("B"), vk.Variable("C")
F = vk.Term("f", vk.Application(A, B))


@pytest.fixture
def g():
    return vk.Graph()


def node_types(graph):
    return sorted(str(n.type) for n in graph.nodes.values())


SIGNATURES = {
    "match": "pattern=None, *, node=None, edge=None, start=None, end=None, type=..., "
             "type_schema=None, term=None, term_type_schema=None, properties=None",
    "create": "pattern=None, *, node=None, edge=None, type=..., term=None, start=None, end=None, "
              "properties=None",
    "merge": "pattern=None, *, node=None, edge=None, type=..., type_schema=None, term=None, "
             "term_type_schema=None, start=None, end=None, properties=None",
    "set": "variable, properties",
    "skip": "count",
    "limit": "count",
    "where": "condition",
    "with_": "*variables",
    "delete": "*variables, detach=False",
    "order_by": "variable, key, ascending=True",
    "return_": "*variables",
    "return_distinct": "*variables",
    "return_count": "",
    "execute": "",
}


@pytest.mark.parametrize("name,params", sorted(SIGNATURES.items()))
def test_signature_of_every_method(g, name, params):
    ns = {}
    exec(f"def f({params}): pass", ns)
    assert inspect.signature(getattr(g.query(), name)) == inspect.signature(ns["f"])


def test_constructor_and_graph_query_share_the_graph(g):
    assert str(inspect.signature(vk.Query)) == "(graph)"
    vk.Query(g).create(node="a", type=A).execute()
    g.query().create(node="b", type=B).execute()
    assert node_types(g) == ["A", "B"]
    assert g.query().match(node="n").return_count() == 2
    with pytest.raises(TypeError, match=r"^argument 'graph': 'dict' object cannot be cast as 'Graph'$"):
        vk.Query({})


ERRORS = [
    # the simple builders
    (lambda q: q.set(1, {}), TypeError, r"^argument 'variable': 'int' object cannot be cast as 'str'$"),
    (lambda q: q.set("a", None), TypeError, r"^argument 'properties': 'NoneType' object"),
    (lambda q: q.skip(-1), OverflowError, "negative"),
    (lambda q: q.limit(2 ** 64), OverflowError, "too large"),
    (lambda q: q.skip("3"), TypeError, r"^argument 'count': 'str' object"),
    (lambda q: q.limit(1.0), TypeError, r"^argument 'count': 'float' object"),
    (lambda q: q.where(None), TypeError, r"^argument 'condition'"),
    (lambda q: q.with_(["a"]), TypeError, r"^argument 'variables': 'list' object"),
    (lambda q: q.delete("a", True), TypeError, r"^argument 'variables': 'bool' object"),
    (lambda q: q.delete("a", detach=1), TypeError, r"^argument 'detach': 'int' object"),
    (lambda q: q.order_by("a", "k", 1), TypeError, r"^argument 'ascending'"),
    (lambda q: q.order_by("a"), TypeError, r"^Query\.order_by\(\) missing 1 required positional argument: 'key'$"),
    (lambda q: q.match("(a)", "(b)"), TypeError, r"^Query\.match\(\) takes 1 positional arguments but 2 were given$"),
    (lambda q: q.return_count("n"), TypeError, r"^Query\.return_count\(\) takes 0 positional arguments but 1 were given$"),
    (lambda q: q.create(nodes="n"), TypeError, r"^Query\.create\(\) got an unexpected keyword argument 'nodes'$"),
    # conversion comes first, in signature order, whatever form is chosen
    (lambda q: q.match(node=3), TypeError, r"^argument 'node'"),
    (lambda q: q.match("(a)", node=3), TypeError, r"^argument 'node'"),
    (lambda q: q.match(pattern=3), TypeError, r"^argument 'pattern'"),
    (lambda q: q.merge(node="n", edge=3), TypeError, r"^argument 'edge'"),
    (lambda q: q.match(node=3, properties=5), TypeError, r"^argument 'node'"),
    (lambda q: q.merge("(a)", properties=[]), TypeError, r"^argument 'properties': 'list' object"),
    (lambda q: q.create(edge="e", term=3, properties=5), TypeError, r"^argument 'properties'"),
    # the parser
    (lambda q: q.match(pattern="(a"), ValueError, r"^Invalid pattern '\(a': Unmatched parentheses in pattern$"),
    (lambda q: q.match(""), ValueError, r"^Invalid pattern '': Pattern cannot be empty$"),
    (lambda q: q.create("(a)-[e]->"), ValueError, r"^Invalid pattern '\(a\)-\[e\]->': Pattern cannot end with an edge$"),
    # the pattern constructors: type, then property keys; term, then property keys
    (lambda q: q.match(node="n", type=3, properties={1: 2}), TypeError, r"^Expected Variable or Application$"),
    (lambda q: q.merge(node="n", type="A"), TypeError, r"^Expected Variable or Application$"),
    (lambda q: q.create(node="n", type=A, properties={1: "x"}), TypeError, r"'int' object cannot be cast as 'str'$"),
    (lambda q: q.match(edge="e", term="f"), TypeError, r"^'str' object cannot be cast as 'Term'$"),
    (lambda q: q.create(edge="e", term=3), TypeError, r"^'int' object cannot be cast as 'Term'$"),
    (lambda q: q.merge(edge="e", term=3, start=5), TypeError, r"cast as 'Term'$"),
    # then start, then end
    (lambda q: q.create(edge="e", term=F), ValueError, r"^Invalid query: Variable name required$"),
    (lambda q: q.create(edge="e", start="a", end=None), ValueError, r"^Invalid query: Variable name required$"),
    (lambda q: q.create(edge="e", term=F, start=5, end="b"), ValueError,
     r"^Invalid query: Expected string variable name \(variable extraction\)$"),
    (lambda q: q.merge(edge="e", start=5), ValueError, r"Expected string variable name"),
    (lambda q: q.merge(edge="e", start="a", end=vk.Node(A)), ValueError, r"Expected string variable name"),
]


@pytest.mark.parametrize("call,exc,message", ERRORS)
def test_build_time_errors(g, call, exc, message):
    q = g.query()
    with pytest.raises(exc, match=message):
        call(q)


@pytest.mark.parametrize("call", [
    lambda q: q.create(node="b", type=B, properties=[]),
    lambda q: q.create("(a", node="b", type=B),
    lambda q: q.merge(node="b", type=B, properties={2: 0}),
    lambda q: q.create(node="b", type=B, edge=1),
])
def test_failed_call_queues_nothing(g, call):
    q = g.query().create(node="a", type=A)
    with pytest.raises((TypeError, ValueError)):
        call(q)
    assert q.return_("a", "b") and node_types(g) == ["A"]


ACCEPTED_WITHOUT_EFFECT = [
    lambda q: q.match(),
    lambda q: q.create(),
    lambda q: q.merge(),
    lambda q: q.merge("(a:A)-[e]->(b:B)", type=C),  # a merge has no path form
    lambda q: q.create("(a:C)"),  # string paths carry no exact type
    lambda q: q.match(edge="e", start=5, end=vk.Node(A)),
    lambda q: q.create(edge="e", term=F, start="a", end="b"),
    lambda q: q.where("n.age > 3").with_().order_by("n", "age", False).skip(0).limit(2 ** 32),
    lambda q: q.delete(),
    lambda q: q.set("nobody", {"x": 1}),
]


@pytest.mark.parametrize("call", ACCEPTED_WITHOUT_EFFECT)
def test_builders_that_change_nothing_still_return_a_copy(g, call):
    g.nodes["kept"] = kept = vk.Node(A, {"x": 0})
    q = g.query()
    q2 = call(q)
    assert type(q2) is vk.Query and q2 is not q
    assert q2.return_count() == 0 and q.return_count() == 0
    assert g.nodes == {"kept": kept} and kept.properties == {"x": 0}


def test_form_precedence(g):
    g.nodes[vk.Node(A).uid()] = vk.Node(A)
    # a pattern beats node; node beats edge; start and end are ignored by the node form
    rows = g.query().match("(p:A)", node="x").match(node="n", edge="e", start=3).return_("p", "x", "n", "e")
    assert [sorted(r) for r in rows] == [["n", "p"]]
    # an empty variable name is a name; the node form ignores term criteria
    rows = g.query().match(node="", term=3, term_type_schema=5).return_("")
    assert [list(r) for r in rows] == [[""]]


def test_schema_arguments_are_node_criteria(g):
    g.nodes["a"] = vk.Node(A)
    q = g.query().match(node="n", type_schema="$B$").merge(node="m", type_schema=vk.TypeSchema("$A$"))
    assert [list(r) for r in q.return_("n", "m")] == [["m"]]


def test_copies_have_their_own_queues(g):
    q = g.query().create(node="a", type=A)
    q_b = q.create(node="b", type=B)  # q and q_b: a, b
    q_c = q.create(node="c", type=C)  # q and q_c: a, b, c; q_b unchanged
    q_b.execute()
    assert node_types(g) == ["A", "B"]
    g.nodes.clear()
    q_b.create(node="d", type=A, properties={"from": "q_b"})  # q_b: a, b, d
    q_c.execute()
    assert node_types(g) == ["A", "B", "C"]
    assert [n.properties for n in g.nodes.values() if str(n.type) == "A"] == [{}]
    assert [r["d"].properties for r in q_b.return_("d")] == [{"from": "q_b"}]


def test_set_dict_is_read_at_execution(g):
    d = {"x": 1}
    q = g.query().create(node="n", type=A).set("n", d)
    d["y"] = 2
    [row] = q.return_("n")
    assert row["n"].properties == {"x": 1, "y": 2}


def test_reentrant_builder_call_is_refused(g):
    q = g.query()
    seen = []

    class Probe:
        def __eq__(self, other):
            try:
                q.where("again")
            except RuntimeError as e:
                seen.append(str(e))
            return True

    g.nodes["a"] = vk.Node(A, {"p": Probe()})
    q = q.match(node="n", properties={"p": 1})
    assert len(q.return_("n")) == 1
    assert seen == ["Already borrowed"]
    assert q.where("now free") is not q
