import inspect

import pytest

import velkora as vk
from velkora import Application as Ap, EdgePattern, NodePattern, TypeSchema, Variable as V

A, B = V("A"), V("B")

needs_query = pytest.mark.skipif(not hasattr(vk, "Query"), reason="needs the query engine")


@pytest.mark.parametrize("kwargs,text", [
    ({}, "NodePattern(variable=None)"),
    ({"variable": None}, "NodePattern(variable=None)"),
    ({"variable": "n"}, 'NodePattern(variable=Some("n"))'),
    ({"variable": ""}, 'NodePattern(variable=Some(""))'),
    ({"variable": 'a"b\\c'}, r'NodePattern(variable=Some("a\"b\\c"))'),
    ({"variable": "t\tr\rn\n0\0"}, r'NodePattern(variable=Some("t\tr\rn\n0\0"))'),
    ({"variable": "\x01\x1b\x7f\x85"}, r'NodePattern(variable=Some("\u{1}\u{1b}\u{7f}\u{85}"))'),
    ({"variable": "nb\u00a0ls\u2028\U000e0001"},
     r'NodePattern(variable=Some("nb\u{a0}ls\u{2028}\u{e0001}"))'),
    ({"variable": "Äß 名前 é'"}, "NodePattern(variable=Some(\"Äß 名前 é'\"))"),
])
def test_node_pattern_text_form(kwargs, text):
    p = NodePattern(**kwargs)
    assert repr(p) == text
    assert p.variable == kwargs.get("variable")


@pytest.mark.parametrize("kwargs,text", [
    ({}, "EdgePattern(variable=None, direction=forward)"),
    ({"variable": "e", "direction": "backward"}, 'EdgePattern(variable=Some("e"), direction=backward)'),
    ({"direction": "sideways"}, "EdgePattern(variable=None, direction=sideways)"),
    ({"direction": ""}, "EdgePattern(variable=None, direction=)"),
    ({"variable": "\n"}, r'EdgePattern(variable=Some("\n"), direction=forward)'),
])
def test_edge_pattern_text_form(kwargs, text):
    p = EdgePattern(**kwargs)
    assert repr(p) == text
    assert p.variable == kwargs.get("variable")
    assert p.direction == kwargs.get("direction", "forward")


# Binding conversions (variable, properties, direction) come before the
# constructor's own (type or term, then the property keys).
@pytest.mark.parametrize("cls,kwargs,message", [
    (NodePattern, {"variable": 1}, "argument 'variable': 'int' object cannot be cast as 'str'"),
    (NodePattern, {"type": 3}, "Expected Variable or Application"),
    (NodePattern, {"type": "A"}, "Expected Variable or Application"),
    (NodePattern, {"type": 3, "properties": []},
     "argument 'properties': 'list' object cannot be cast as 'dict'"),
    (NodePattern, {"variable": 2, "properties": 5}, "argument 'variable'"),
    (NodePattern, {"properties": {1: "x"}},
     "argument 'properties': 'int' object cannot be cast as 'str'"),
    (NodePattern, {"type": 3, "properties": {1: "x"}}, "Expected Variable or Application"),
    (NodePattern, {"bogus": 1}, "NodePattern.__new__() got an unexpected keyword argument 'bogus'"),
    (EdgePattern, {"direction": None}, "argument 'direction': 'NoneType' object cannot be cast"),
    (EdgePattern, {"direction": 1, "variable": 1}, "argument 'variable'"),
    (EdgePattern, {"term": "f"}, "'str' object cannot be cast as 'Term'"),
    (EdgePattern, {"term": A}, "'Variable' object cannot be cast as 'Term'"),
    (EdgePattern, {"term": "f", "direction": 3}, "argument 'direction'"),
    (EdgePattern, {"properties": {"a": 1, 2: 3}},
     "argument 'properties': 'int' object cannot be cast as 'str'"),
    (EdgePattern, {"term": A, "properties": {2: 3}}, "'Variable' object cannot be cast as 'Term'"),
])
def test_constructor_errors(cls, kwargs, message):
    with pytest.raises(TypeError) as info:
        cls(**kwargs)
    assert str(info.value).startswith(message)


def test_signatures_and_read_only_attributes():
    assert list(inspect.signature(NodePattern).parameters) == ["variable", "type", "type_schema", "properties"]
    assert list(inspect.signature(EdgePattern).parameters) == \
        ["variable", "term", "term_type_schema", "properties", "direction"]
    for obj, name in [(NodePattern("n"), "variable"), (EdgePattern(), "direction")]:
        with pytest.raises(AttributeError):
            setattr(obj, name, "x")


# ----- the node test, through node matches of a query ------------------------------

Explodes = type("Explodes", (), {"__eq__": lambda self, other: 1 / 0})
AlwaysEqual = type("AlwaysEqual", (), {"__eq__": lambda self, other: True})
NeverEqual = type("NeverEqual", (), {"__eq__": lambda self, other: False})
BadTruth = type("BadTruth", (), {"__bool__": lambda self: 1 / 0})
EqualsBadTruth = type("EqualsBadTruth", (), {"__eq__": lambda self, other: BadTruth()})
# A key that a lookup of "k" must compare with, and whose == fails.
CollidesWithK = type("CollidesWithK", (), {"__hash__": lambda self: hash("k"),
                                           "__eq__": lambda self, other: 1 / 0})


def matched(nodes, **criteria):
    """Positions of `nodes` that a node match with `criteria` selects."""
    g = vk.Graph()
    for i, n in enumerate(nodes):
        g.nodes[str(i)] = n
    rows = g.query().match(node="n", **criteria).return_("n")
    return [nodes.index(next(m for m in nodes if m.properties is r["n"].properties))
            for r in rows]


NODES = [
    vk.Node(A, {"age": 25}),
    vk.Node(A, {"age": 25.0, "name": "x"}),
    vk.Node(B, {"age": 26}),
    vk.Node(Ap(A, B), {}),
    vk.Node(V("Person"), {"age": [1]}),
]


@needs_query
@pytest.mark.parametrize("criteria,expected", [
    ({}, [0, 1, 2, 3, 4]),
    ({"type": A}, [0, 1]),
    ({"type": Ap(A, B)}, [3]),
    ({"type_schema": "$* -> *$"}, [3]),
    ({"type_schema": TypeSchema("$A$")}, [0, 1]),
    ({"type_schema": 42}, [0, 1, 2, 3, 4]),
    ({"properties": {"age": 25}}, [0, 1]),
    ({"properties": {"age": 25, "name": "x"}}, [1]),
    ({"properties": {"age": [1]}}, [4]),
    ({"properties": {"missing": None}}, []),
    ({"type": B, "properties": {"age": 25}}, []),
])
def test_node_test(criteria, expected):
    assert matched(NODES, **criteria) == expected


@needs_query
@pytest.mark.parametrize("actual,expected,result", [
    (Explodes(), 1, ZeroDivisionError),
    (EqualsBadTruth(), 1, ZeroDivisionError),
    # the node's value is on the left of ==
    (AlwaysEqual(), NeverEqual(), [0]),
    (NeverEqual(), AlwaysEqual(), []),
])
def test_comparison_order_and_errors(actual, expected, result):
    nodes = [vk.Node(A, {"k": actual})]
    if isinstance(result, list):
        assert matched(nodes, properties={"k": expected}) == result
    else:
        with pytest.raises(result):
            matched(nodes, properties={"k": expected})


@needs_query
def test_failing_lookup_counts_as_no_match():
    nodes = [vk.Node(A, {CollidesWithK(): 1}), vk.Node(A, {"k": 1})]
    assert matched(nodes, properties={"k": 1}) == [1]


@needs_query
def test_properties_map_copies_entries_and_shares_values():
    g = vk.Graph()
    g.nodes["a"] = vk.Node(A, {"tags": [1, 2], "n": 1})
    wanted = {"tags": [1]}
    q = g.query().match(node="n", properties=wanted)
    wanted["tags"].append(2)   # the value object is shared with the pattern
    wanted["n"] = 2            # the dict's entries were copied: no effect
    assert len(q.return_("n")) == 1
