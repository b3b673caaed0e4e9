"""Typing cases for the stubs, checked by `mypy --strict` (tools/check_typing.sh).

assert_type pins what each call returns, so a stub that loosens a result to
Any or to the wrong class fails the check. The function at the end holds
misuses that must stay errors: each line carries the ignore code mypy has to
report there, and an ignore that is no longer needed fails the run too.
"""

from typing import Any, Union

from typing_extensions import assert_type

import velkora as vk

Type = Union[vk.Variable, vk.Application]
Row = dict[str, Union[vk.Node, vk.Edge]]

A, B = vk.Variable("A"), vk.Variable("B")
f = vk.Term("f", vk.Application(A, B))
x = vk.Term("x", A)
assert_type(f(x), vk.Term)
assert_type(f(other=x), vk.Term)
assert_type(f.type, Type)
assert_type(vk.Application(A, B).left, Type)
assert_type(A.uid(), str)
assert_type(A == B, bool)
assert_type(hash(f), int)
A.name = "Z"
f.name = "g"

n = vk.Node(A, {"k": 1})
e = vk.Edge(f, n, vk.Node(B))
assert_type(n.properties, dict[str, Any])
assert_type(e.start, vk.Node)
assert_type(e.term, vk.Term)
n.properties = {"k": 2}

g = vk.Graph()
assert_type(g.nodes, dict[str, vk.Node])
assert_type(g.edges, dict[str, vk.Edge])
assert_type(g.cypher("MATCH (n) WHERE n.k = $k RETURN n", {"k": 1}, k=2), list[dict[str, Any]])
assert_type(g.to_dot(), str)
for query, parameters in g.to_cypher(batch_size=500):
    assert_type(query, str)
    assert_type(parameters, dict[str, Any])
assert_type(vk.__version__, str)

s = vk.TypeSchema("$(x:*) -> B$")
assert_type(s.matches(A), bool)
assert_type(s.capture(A), dict[str, Type])

np_ = vk.NodePattern("n", type=A, type_schema=s, properties={"k": 1})
ep = vk.EdgePattern(term=f, term_type_schema="$A -> B$", direction="any")
assert_type(np_.variable, Union[str, None])
assert_type(ep.direction, str)
path = vk.PathPattern.parse("(a)-[e]->(b)").add_node(np_).add_edge(ep)
assert_type(path, vk.PathPattern)
assert_type(path.nodes, list[vk.NodePattern])
assert_type(vk.PathPattern().edges, list[vk.EdgePattern])

q = g.query()
assert_type(q, vk.Query)
built = (
    vk.Query(g)
    .match("(a:A)")
    .match(node="n", type=A, properties={"k": 1})
    .match(edge="e", start="a", end="b", term=f, term_type_schema=s)
    .create(node="m", type=B)
    .create(edge="e2", term=f, start="a", end="m")
    .merge(node="a", type=A, type_schema="$A$")
    .set("a", {"k": 3})
    .where("a.k > 1")
    .with_("a", "b")
    .order_by("a", "k", ascending=False)
    .skip(0)
    .limit(10)
    .delete("m", detach=True)
    .execute()
)
assert_type(built, vk.Query)
assert_type(q.return_("a", "b"), list[Row])
assert_type(q.return_distinct(), list[Row])
assert_type(q.return_count(), int)
for row in q.return_("a"):
    item = row["a"]
    if isinstance(item, vk.Node):
        assert_type(item.type, Type)


def rejected() -> None:
    """Misuses the stubs must reject (never called)."""
    vk.Application(A, "B")  # type: ignore[arg-type]
    vk.Term("f", A)(5)  # type: ignore[arg-type]
    vk.Node(A, [1])  # type: ignore[arg-type]
    vk.Node(A).properties = None  # type: ignore[assignment]
    vk.Application(A, B).left = B  # type: ignore[misc]
    vk.Term("f", A).type = B  # type: ignore[misc]
    vk.Edge(f, n, n).start = n  # type: ignore[misc]
    vk.Graph().nodes = {}  # type: ignore[misc]
    vk.TypeSchema("$A$").pattern = "$B$"  # type: ignore[misc]
    vk.NodePattern().variable = "n"  # type: ignore[misc]
    vk.EdgePattern(direction="sideways")  # type: ignore[arg-type]
    vk.PathPattern(1)  # type: ignore[arg-type]
    vk.Query(g).match(None, "n")  # type: ignore[call-arg]
    vk.Query(g).return_(["a"])  # type: ignore[arg-type]
    vk.Query(g).delete("a", True)  # type: ignore[arg-type]
    vk.Query(g).skip("1")  # type: ignore[arg-type]

    class Sub(vk.Graph):  # type: ignore[misc]
        pass
