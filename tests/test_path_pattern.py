import gc
import sys
from contextlib import suppress

import pytest
from hypothesis import given, settings, strategies as st

import velkora as vk
from velkora import Application as Ap, EdgePattern, NodePattern, PathPattern, TypeSchema, Variable as V

A, B, C = V("A"), V("B"), V("C")

# (pattern, nodes as (variable, schema), edges as (variable, schema, direction))
ACCEPTED = [
    ("(n)-[e]->(m)", [("n", None), ("m", None)], [("e", None, "forward")]),
    ("(n:Person)-[e:knows]->(m:Person)", [("n", "$Person$"), ("m", "$Person$")],
     [("e", "$knows$", "forward")]),
    ("(a:A)-[r1]->(b:B)<-[r2]-(c:C)", [("a", "$A$"), ("b", "$B$"), ("c", "$C$")],
     [("r1", None, "forward"), ("r2", None, "backward")]),
    ("()-[e:relation]->()", [(None, None), (None, None)], [("e", "$relation$", "forward")]),
    ("(:Type)", [(None, "$Type$")], []),
    ("( n : $*$ )", [("n", "$*$")], []),
    ("(x:Person {age: 30})", [("x", "$Person$")], []),
    ("(n:A -> B)", [("n", "$A -> B$")], []),
    ("(a) - [e] -> (b)", [("a", None), ("b", None)], [("e", None, "forward")]),
    ("(a)-[e]-(b)", [("a", None), ("b", None)], [("e", None, "any")]),
    ("(a)[e](b)", [("a", None), ("b", None)], [("e", None, "any")]),
    ("(a)-[]->(b)", [("a", None), ("b", None)], [(None, None, "forward")]),
    ("(a)-[e:A -> B]-(b)", [("a", None), ("b", None)], [("e", "$A -> B$", "forward")]),
    ("(a)(b)", [("a", None), ("b", None)], []),
    # further shapes
    ("\u3000 (a)-[e]->(b)\u00a0\n", [("a", None), ("b", None)], [("e", None, "forward")]),
    ("(a)\n-[e]->\t(b)", [("a", None), ("b", None)], [("e", None, "forward")]),
    ("(a)<-[e:$*$]-(b)", [("a", None), ("b", None)], [("e", "$*$", "backward")]),
    ("(a)-[e]>(b)", [("a", None), ("b", None)], [("e", None, "forward")]),
    ("[e]->(a)(b)", [("a", None), ("b", None)], [("e", None, "forward")]),
    ("(a)-[ e : knows {since: 2020} ]->(b)", [("a", None), ("b", None)],
     [("e", "$knows$", "forward")]),
    ("(:)", [(None, None)], []),
    ("(n:x$)", [("n", "x$")], []),
    ("(Ä:Ö)", [("Ä", "$Ö$")], []),
    ("(n:(f:A -> B) -> C)", [("n", "$(f:A -> B) -> C$")], []),
    ("((a))", [("(a)", None)], []),
    # parentheses inside an edge's brackets stay in the edge text
    ("(a)-[e:(f:A -> B) -> C]->(b)", [("a", None), ("b", None)],
     [("e", "$(f:A -> B) -> C$", "forward")]),
    ("(a)-[e:$(x:*)$]-(b)", [("a", None), ("b", None)], [("e", "$(x:*)$", "any")]),
    ("(a)-[e:((A))]->(b)", [("a", None), ("b", None)], [("e", "$((A))$", "forward")]),
    ("(a)-[e:(x[y)]->(b)", [("a", None), ("b", None)], [("e", "$(x[y)$", "forward")]),
    # quoted text in a property map is stepped over whole and has no say in the direction
    ("(n:P {name: 'a)b', t: \"]}{,\"})", [("n", "$P$")], []),
    ("(a)<-[e {note: 'x->y'}]-(b)", [("a", None), ("b", None)], [("e", None, "backward")]),
    ("(a)-[e {`]`: '<-'}]-(b)", [("a", None), ("b", None)], [("e", None, "any")]),
]


@pytest.mark.parametrize("text,nodes,edges", ACCEPTED)
def test_accepted(text, nodes, edges):
    for p in (PathPattern.parse(text), PathPattern(text), PathPattern(pattern=text)):
        assert [n.variable for n in p.nodes] == [v for v, _ in nodes]
        assert [(e.variable, e.direction) for e in p.edges] == [(v, d) for v, _, d in edges]
        assert repr(p) == f"PathPattern({len(nodes)} nodes, {len(edges)} edges)"


REJECTED = [
    ("", "Invalid pattern '': Pattern cannot be empty"),
    ("   ", "Invalid pattern '': Pattern cannot be empty"),
    ("\u3000\u2028\t", "Invalid pattern '': Pattern cannot be empty"),
    ("(a), (b)", "Invalid pattern '(a), (b)': Unexpected character ',' outside of node or edge pattern"),
    ("(a", "Invalid pattern '(a': Unmatched parentheses in pattern"),
    ("(a))(", "Invalid pattern '(a))(': Unmatched parentheses in pattern"),
    ("(a)-]e[->(b)", "Invalid pattern '(a)-]e[->(b)': Unmatched brackets in pattern"),
    ("(a)-[e", "Invalid pattern '(a)-[e': Unmatched brackets in pattern"),
    ("(a)-[e]->", "Invalid pattern '(a)-[e]->': Pattern cannot end with an edge"),
    ("(a)<-[e]->(b)", "Invalid pattern '<-[e]->': Cannot have both <- and -> in same edge"),
    ("(a)<-[e:A -> B]-(b)", "Invalid pattern '<-[e:A -> B]-': Cannot have both <- and -> in same edge"),
    ("(a)-->(b)", "Invalid pattern '-->': Edge pattern must contain brackets"),
    ("-[e]->(a)", "Invalid pattern '-[e]->(a)': Invalid pattern: too many edges for the number of nodes"),
    # further shapes
    (" (a)-[e]->  ", "Invalid pattern '(a)-[e]->': Pattern cannot end with an edge"),
    ("(a)\u00a0(b)", "Invalid pattern '(a)\u00a0(b)': Unexpected character '\u00a0' outside of node or edge pattern"),
    ("(a)Ä", "Invalid pattern '(a)Ä': Unexpected character 'Ä' outside of node or edge pattern"),
    ("(a)😀(b)", "Invalid pattern '(a)😀(b)': Unexpected character '😀' outside of node or edge pattern"),
    ("a", "Invalid pattern 'a': Unexpected character 'a' outside of node or edge pattern"),
    (")", "Invalid pattern ')': Unmatched parentheses in pattern"),
    ("(a)]", "Invalid pattern '(a)]': Unmatched brackets in pattern"),
    ("(a)->(b)", "Invalid pattern '->': Edge pattern must contain brackets"),
    ("[e](a)", "Invalid pattern '[e](a)': Invalid pattern: too many edges for the number of nodes"),
    # parentheses inside an edge's brackets must balance there
    ("(a)-[e:x)]->(b)", "Invalid pattern '(a)-[e:x)]->(b)': Unmatched parentheses in pattern"),
    ("(a)-[e:(x]->(b)", "Invalid pattern '(a)-[e:(x]->(b)': Unmatched parentheses in pattern"),
    ("(a)-[e:(x)->(b)", "Invalid pattern '(a)-[e:(x)->(b)': Unmatched brackets in pattern"),
    ("(a)-[(", "Invalid pattern '(a)-[(': Unmatched parentheses in pattern"),
]


@pytest.mark.parametrize("text,message", REJECTED)
def test_rejected(text, message):
    for parse in (PathPattern.parse, PathPattern):
        with pytest.raises(ValueError) as info:
            parse(text)
        assert str(info.value) == message


@pytest.mark.parametrize("call,message", [
    (lambda: PathPattern(3), "argument 'pattern': 'int' object cannot be cast as 'str'"),
    (lambda: PathPattern.parse(None), "argument 'pattern': 'NoneType' object cannot be cast as 'str'"),
    (lambda: PathPattern.parse(), "PathPattern.parse() missing 1 required positional argument: 'pattern'"),
    (lambda: PathPattern().add_node(EdgePattern()),
     "argument 'pattern': 'EdgePattern' object cannot be cast as 'NodePattern'"),
    (lambda: PathPattern().add_edge("(a)"), "argument 'pattern': 'str' object cannot be cast as 'EdgePattern'"),
])
def test_argument_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


def test_builders_change_receiver_and_return_copies():
    parsed = PathPattern("(a)-[e]->(b)")
    first, second = parsed.nodes, parsed.nodes
    assert first is not second and first[0] is not second[0] and parsed.edges[0] is not parsed.edges[0]
    first.clear()
    assert [n.variable for n in parsed.nodes] == ["a", "b"]
    p = PathPattern()
    assert repr(p) == repr(PathPattern(None)) == "PathPattern(0 nodes, 0 edges)"
    q = p.add_node(NodePattern("a"))
    assert q is not p and repr(p) == repr(q) == "PathPattern(1 nodes, 0 edges)"
    r = q.add_edge(EdgePattern("e", direction="any"))
    assert repr(q) == repr(r) == "PathPattern(1 nodes, 1 edges)"
    assert repr(p) == "PathPattern(1 nodes, 0 edges)"
    assert [e.direction for e in r.edges] == ["any"]
    assert repr(PathPattern().add_edge(EdgePattern())) == "PathPattern(0 nodes, 1 edges)"


# ----- parsed schemas, observed through matches of a query --------------------------

needs_query = pytest.mark.skipif(not hasattr(vk, "Query"), reason="needs the query engine")
PROBES = [V("Person"), V("Type"), V("knows"), V("relation"), A, C, Ap(A, B), Ap(Ap(A, B), C),
          V("A -> B"), V("$A$"), V("x$"), V("Ö")]


# Their edge schemas are capture groups without a ":", which match no type.
# (The probes hold no properties, so a property map selects nothing either.)
SELECT_NOTHING = {"(a)-[e:(x[y)]->(b)", "(a)-[e:((A))]->(b)"}


def describe(item):
    if isinstance(item, vk.Node):
        return str(item.type)
    return (str(item.start.type), str(item.term.type), str(item.end.type))


def schema_ok(schema, t):
    return schema is None or TypeSchema(schema).matches(t)


@needs_query
@pytest.mark.parametrize("text,nodes,edges", [
    row for row in ACCEPTED
    if (len(row[1]), len(row[2])) in ((1, 0), (2, 1))
    and any(v is not None for v, *_ in row[1] + row[2])
])
def test_parsed_schemas_select_what_they_should(text, nodes, edges):
    g = vk.Graph()
    probe_nodes = [vk.Node(t) for t in PROBES]
    g.nodes.update((f"n{i}", n) for i, n in enumerate(probe_nodes))
    triples = [(s, t, e) for s in probe_nodes for e in probe_nodes for t in PROBES]
    g.edges.update((f"e{i}", vk.Edge(vk.Term("t", t), s, e)) for i, (s, t, e) in enumerate(triples))
    names = [v for v, *_ in (nodes + edges) if v is not None]
    got = [{k: describe(v) for k, v in row.items()} for row in g.query().match(text).return_(*names)]
    if "{" in text:
        expected = []
    elif not edges:
        (var, schema), = nodes
        expected = [{var: str(t)} for t in PROBES if schema_ok(schema, t)]
    else:
        (v0, s0), (v1, s1) = nodes
        ve, se, direction = edges[0]
        expected = []
        for edge in g.edges.values():
            st_, tt, et = edge.start.type, edge.term.type, edge.end.type
            ways = {"forward": [(st_, et)], "backward": [(et, st_)],
                    "any": [(st_, et)] + ([(et, st_)] if st_ != et else [])}[direction]
            for near, far in ways:
                if schema_ok(s0, near) and schema_ok(se, tt) and schema_ok(s1, far):
                    row = {v0: str(near), ve: describe(edge), v1: str(far)}
                    expected.append({k: v for k, v in row.items() if k is not None})
    assert got == expected
    assert got or text in SELECT_NOTHING or "{" in text


# ----- property maps --------------------------------------------------------------


class Catch:
    """A node's property value that records what the pattern compares it with."""

    def __eq__(self, other):
        self.seen = other
        return True

    __hash__ = None


@pytest.mark.parametrize("text,value", [
    ("30", 30), ("-7", -7), ("+7", 7), ("007", 7), ("123456789012345678901234567890", 123456789012345678901234567890),
    ("1.5", 1.5), ("-2.", -2.0), (".5", 0.5), ("1e3", 1000.0), ("2E-2", 0.02),
    ("'Al\\'s'", "Al's"), ('"a)b]}{,:"', "a)b]}{,:"), ("'\\\\ \\\" \\n \\t'", "\\ \" \n \t"),
    ("''", ""), ("'Ä😀'", "Ä😀"), ("TRUE", True), ("false", False), ("Null", None),
    ("[]", []), ("[ 1 , [2.5, 'x]'], null ]", [1, [2.5, "x]"], None]),
])
def test_property_map_values(text, value):
    catch = Catch()
    g = vk.Graph()
    n = vk.Node(A, {"k": catch})
    g.nodes[n.uid()] = n
    assert len(g.query().match("(n:A {k: %s})" % text).return_("n")) == 1
    assert repr(catch.seen) == repr(value)


@pytest.mark.parametrize("pattern,props,hit", [
    ("(n {})", {}, True),
    ("(n { `a b`: 1 , k: 1, k: 2, _x9: 3, Ä: 4 })", {"a b": 1, "k": 2, "_x9": 3, "Ä": 4, "z": 0}, True),
    ("(n {k: 1, k: 2})", {"k": 1}, False),  # the last value counts
    ("(n:A{k:1})", {"k": 1}, True),
    ("(n:B {k: 1})", {"k": 1}, False),  # the label still selects
    ("(n {k: 1, j: 'x'})", {"k": 1}, False),
])
def test_property_map_keys(pattern, props, hit):
    g = vk.Graph()
    n = vk.Node(A, props)
    g.nodes[n.uid()] = n
    assert len(g.query().match(pattern).return_("n")) == hit


@pytest.mark.parametrize("text,message", [
    ("(n {k: 'a)b})", "Invalid pattern '(n {k: 'a)b})': Unterminated quoted string in pattern"),
    ("(n {`k: 1})", "Invalid pattern '(n {`k: 1})': Unterminated quoted string in pattern"),
    ("(a)-[e {k 1}]->(b)", "Invalid pattern '-[e {k 1}]->': Expected ':' after property name"),
    ("(a)(n {k: 1)", "Invalid pattern '(n {k: 1)': Unterminated property map"),
    ("(n {1: 1})", "Invalid pattern '(n {1: 1})': Expected a property name"),
    ("(n {k: 1,})", "Invalid pattern '(n {k: 1,})': Expected a property name"),
    ("(n {k: })", "Invalid pattern '(n {k: })': Expected a property value"),
    ("(n {k: 1 2})", "Invalid pattern '(n {k: 1 2})': Expected ',' or '}' in property map"),
    ("(n {k: [1 2]})", "Invalid pattern '(n {k: [1 2]})': Expected ',' or ']' in list"),
    ("(n {k: [1,)", "Invalid pattern '(n {k: [1,)': Unterminated property map"),
    ("(n {k: 1} x)", "Invalid pattern '(n {k: 1} x)': Unexpected text after property map"),
    ("(n {k: 1}})", "Invalid pattern '(n {k: 1}})': Unexpected text after property map"),
    ("(n {k: abc})", "Invalid pattern '(n {k: abc})': Invalid property value 'abc'"),
    ("(n {k: 1.2.3})", "Invalid pattern '(n {k: 1.2.3})': Invalid property value '1.2.3'"),
    ("(n {k: 1e})", "Invalid pattern '(n {k: 1e})': Invalid property value '1e'"),
    ("(n {k: '\\q'})", "Invalid pattern '(n {k: '\\q'})': Invalid escape '\\q' in string"),
])
def test_property_map_rejected(text, message):
    with pytest.raises(ValueError) as info:
        PathPattern.parse(text)
    assert str(info.value) == message


def test_property_map_fills_a_created_node():
    [row] = vk.Graph().query().create("(p:Person {name: 'Al', tags: ['x', 1]})").return_("p")
    assert row["p"].properties == {"name": "Al", "tags": ["x", 1]}


def test_integer_past_the_interpreters_digit_limit():
    text = "(n {k: %s})" % ("1" * 5000)
    with pytest.raises(ValueError, match=r"^Invalid pattern '\(n \{k: 1+\}\)': Exceeds the limit"):
        PathPattern.parse(text)


# ----- generated input ---------------------------------------------------------

ALPHABET = "()[]{}<>-:$* ,abAÄ\u00a0\u3000\t\n'`\\1."


@settings(max_examples=2000, deadline=None)
@given(st.text(alphabet=ALPHABET, max_size=60))
def test_random_text_parses_or_raises_value_error(text):
    try:
        p = PathPattern.parse(text)
    except ValueError as e:
        assert str(e).startswith("Invalid pattern '")
        return
    assert 1 <= len(p.nodes) and len(p.edges) < len(p.nodes)


# ----- long input and memory -----------------------------------------------------

LONG = r"""
import velkora as vk
N = 50_000
p = vk.PathPattern.parse("(" * N + "a" + ")" * N)
assert p.nodes[0].variable == "(" * (N - 1) + "a" + ")" * (N - 1)
assert vk.PathPattern.parse("(a)-[e:" + "(" * N + "x" + ")" * N + "]->(b)").edges[0].variable == "e"
assert repr(vk.PathPattern("(a)" + "-[]->(a)" * N)) == "PathPattern(%d nodes, %d edges)" % (N + 1, N)
print("ok")
"""


def test_long_patterns_in_subprocess(python_subprocess):
    r = python_subprocess(LONG)
    assert r.returncode == 0 and r.stdout == "ok\n", r.stderr[-2000:]


def pattern_work(n):
    for i in range(n):
        p = PathPattern.parse("(n:Person)-[e:knows {x: 1}]->(m:$(x:*)$)")
        p.add_node(NodePattern("x", A, "$A$", {"k": [i]})).add_edge(EdgePattern("f", direction="any"))
        p.nodes, p.edges, repr(p), repr(p.nodes[0])
        TypeSchema("$ (x:*) -> (y:A) $").capture(Ap(B, A))
        with suppress(ValueError):
            PathPattern("(a)<-[e]->(b)")
        with suppress(TypeError):
            NodePattern(properties={"a": 1, 2: 3})


def test_patterns_do_not_leak():
    pattern_work(100)
    gc.collect()
    before = sys.getallocatedblocks()
    pattern_work(30_000)
    gc.collect()
    assert sys.getallocatedblocks() - before < 1000
