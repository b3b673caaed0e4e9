"""Docstrings and text signatures: what help() and inspect show of the API."""

import doctest
import inspect
import re

import pytest

import velkora

MATCH_SIG = (
    "($self, pattern=None, *, node=None, edge=None, start=None, end=None, type=...,"
    " type_schema=None, term=None, term_type_schema=None, properties=None)"
)
CREATE_SIG = (
    "($self, pattern=None, *, node=None, edge=None, type=..., term=None, start=None,"
    " end=None, properties=None)"
)
MERGE_SIG = (
    "($self, pattern=None, *, node=None, edge=None, type=..., type_schema=None, term=None,"
    " term_type_schema=None, start=None, end=None, properties=None)"
)

# Every public class and method: its text signature and, where the interface
# fixes one, the first sentence of its docstring.
CALLABLES = [
    ("Variable", "(name)", "Represents an atomic type variable."),
    ("Variable.uid", "($self)", "Returns a unique identifier for this variable."),
    ("Application", "(left, right)", "Represents a function type (application type)."),
    ("Application.uid", "($self)", "Returns a unique identifier for this application."),
    ("Term", "(name, type)", "Represents a typed term in the type theory."),
    ("Term.uid", "($self)", "Returns a unique identifier for this term."),
    ("Node", "(type, properties=None)", "Represents a node in the graph (a type in the model)."),
    ("Node.uid", "($self)", "Returns a unique identifier for this node."),
    (
        "Edge",
        "(term, start, end, properties=None)",
        "Represents an edge in the graph (a typed term in the model).",
    ),
    ("Edge.uid", "($self)", "Returns a unique identifier for this edge."),
    ("Graph", "()", "Represents a type theoretical theory model as a graph."),
    ("Graph.query", "($self)", "Creates a new query builder for this graph."),
    (
        "Graph.cypher",
        "($self, query, parameters=None, /, **kwparameters)",
        "Runs a Cypher query over this graph and returns its rows.",
    ),
    ("Graph.to_networkx", "($self)", "Returns the graph as a networkx.MultiDiGraph."),
    ("Graph.to_dot", "($self)", "Returns the graph as Graphviz DOT text."),
    (
        "Graph.to_cypher",
        "($self, batch_size=1000)",
        "Returns an iterator of (query, parameters) pairs that build the graph",
    ),
    ("TypeSchema", "(pattern)", "Represents a regex-like pattern for matching types."),
    ("TypeSchema.matches", "($self, type)", "Checks if a type matches this schema."),
    (
        "TypeSchema.capture",
        "($self, type)",
        "Captures variables from a type that matches this schema.",
    ),
    (
        "NodePattern",
        "(variable=None, type=..., type_schema=None, properties=None)",
        "Represents a node pattern in a Cypher-like query.",
    ),
    (
        "EdgePattern",
        "(variable=None, term=None, term_type_schema=None, properties=None, direction=...)",
        "Represents an edge pattern in a Cypher-like query.",
    ),
    ("PathPattern", "(pattern=None)", "Represents a path pattern in a Cypher-like query."),
    ("PathPattern.parse", "(pattern)", "Parses a Cypher-like pattern string into a PathPattern."),
    ("PathPattern.add_node", "($self, pattern)", "Adds a node pattern to the path."),
    ("PathPattern.add_edge", "($self, pattern)", "Adds an edge pattern to the path."),
    ("Query", "(graph)", "Cypher-like query builder for the graph."),
    ("Query.match", MATCH_SIG, "Matches nodes, edges, or paths in the graph."),
    ("Query.create", CREATE_SIG, None),
    ("Query.merge", MERGE_SIG, None),
    ("Query.set", "($self, variable, properties)", None),
    ("Query.skip", "($self, count)", None),
    ("Query.limit", "($self, count)", None),
    (
        "Query.where",
        "($self, condition)",
        "Adds a WHERE clause to filter results.",
    ),
    ("Query.with_", "($self, *variables)", None),
    ("Query.delete", "($self, *variables, detach=False)", None),
    ("Query.order_by", "($self, variable, key, ascending=True)", None),
    (
        "Query.return_",
        "($self, *variables)",
        "Returns the specified variables from the query results.",
    ),
    ("Query.return_distinct", "($self, *variables)", None),
    ("Query.return_count", "($self)", None),
    ("Query.execute", "($self)", None),
]

PROPERTIES = [
    ("Variable.name", None),
    ("Application.left", "Gets the left (input) type of this application."),
    ("Application.right", "Gets the right (output) type of this application."),
    ("Term.name", None),
    ("Term.type", "Gets the type of this term."),
    ("Node.type", "Gets the type of this node."),
    ("Node.properties", None),
    ("Edge.term", "Gets the term of this edge."),
    ("Edge.start", "Gets the starting node of this edge."),
    ("Edge.end", "Gets the ending node of this edge."),
    ("Edge.properties", None),
    ("Graph.nodes", "Dictionary mapping node UIDs to Node objects"),
    ("Graph.edges", "Dictionary mapping edge UIDs to Edge objects"),
    ("TypeSchema.pattern", None),
    ("NodePattern.variable", None),
    ("EdgePattern.variable", None),
    ("EdgePattern.direction", None),
    ("PathPattern.nodes", None),
    ("PathPattern.edges", None),
]


def lookup(path):
    cls, _, member = path.partition(".")
    obj = getattr(velkora, cls)
    return inspect.getattr_static(obj, member) if member else obj


def check_doc(path, doc, first):
    assert doc, f"{path} has no docstring"
    lead, _, rest = doc.strip().partition("\n\n")
    if first is not None:
        assert lead.startswith(first), f"{path} docstring starts {lead!r}"
    # The first sentence is followed by something a user can act on.
    assert rest.strip() or len(lead) > len(first or "") + 20, f"{path} has only {lead!r}"


@pytest.mark.parametrize("path, signature, first", CALLABLES, ids=[c[0] for c in CALLABLES])
def test_callable_docstring_and_signature(path, signature, first):
    obj = lookup(path)
    if isinstance(obj, staticmethod):
        obj = obj.__func__
    assert obj.__text_signature__ == signature
    check_doc(path, obj.__doc__, first)


@pytest.mark.parametrize("path, first", PROPERTIES, ids=[p[0] for p in PROPERTIES])
def test_property_docstring(path, first):
    check_doc(path, lookup(path).__doc__, first)


def test_every_public_member_is_listed():
    listed = {p for p, *_ in CALLABLES} | {p for p, _ in PROPERTIES}
    public = set(velkora.__all__)
    for name in velkora.__all__:
        public |= {f"{name}.{m}" for m in vars(getattr(velkora, name)) if not m.startswith("_")}
    assert public == listed


def test_docstring_examples_run():
    finder = doctest.DocTestFinder(exclude_empty=True)
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
    report = []
    for test in finder.find(velkora, globs=dict(vars(velkora))):
        runner.run(test, out=report.append)
    assert runner.tries >= 5, "the class docstrings' examples were not found"
    assert runner.failures == 0, "".join(report)


def _instances():
    A = velkora.Variable("A")
    f = velkora.Term("f", velkora.Application(A, A))
    g = velkora.Graph()
    return {
        "Variable": A, "Application": velkora.Application(A, A), "Term": f,
        "Node": velkora.Node(A), "Edge": velkora.Edge(f, velkora.Node(A), velkora.Node(A)),
        "Graph": g, "TypeSchema": velkora.TypeSchema("$*$"), "NodePattern": velkora.NodePattern(),
        "EdgePattern": velkora.EdgePattern(), "PathPattern": velkora.PathPattern(),
        "Query": g.query(),
    }


def _bound_callables():
    """Every callable whose arguments the module binds itself, ready to call."""
    made = _instances()
    for name in velkora.__all__:
        cls = getattr(velkora, name)
        if name != "Graph":  # Graph() has no parameters to bind
            yield name, cls
        for member, raw in vars(cls).items():
            text = getattr(raw, "__text_signature__", None)
            if member.startswith("__") or not text or text in ("($self)", "($type)"):
                continue  # slot wrappers, and the interpreter's own no-argument methods
            target = cls if isinstance(raw, (staticmethod, classmethod)) else made[name]
            yield f"{name}.{member}", getattr(target, member)


@pytest.mark.parametrize("fn", [pytest.param(fn, id=path) for path, fn in _bound_callables()])
def test_binder_accepts_what_the_text_signature_declares(fn):
    # The binder and the text signature are made from one declaration: the
    # names, kinds and required parameters that inspect reads are exactly
    # those the call accepts.
    params = list(inspect.signature(fn).parameters.values())
    positional = [p for p in params if p.kind in (p.POSITIONAL_ONLY, p.POSITIONAL_OR_KEYWORD)]
    named = [p.name for p in params if p.kind in (p.POSITIONAL_OR_KEYWORD, p.KEYWORD_ONLY)]
    required = [p.name for p in positional if p.default is p.empty]
    any_keyword = any(p.kind is p.VAR_KEYWORD for p in params)
    try:
        fn(*[object() for p in params if p.kind is p.POSITIONAL_ONLY],
           **{name: object() for name in named})
    except TypeError as e:
        assert not re.search(r"unexpected keyword|required|multiple values|positional", str(e)), e
    except Exception:
        pass  # the values are refused after binding, by the callable's own checks
    if not any_keyword:
        with pytest.raises(TypeError, match=r"\(\) got an unexpected keyword argument 'not_declared'$"):
            fn(not_declared=1)
    if not any(p.kind is p.VAR_POSITIONAL for p in params):
        n = len(positional)
        with pytest.raises(TypeError, match=rf"\(\) takes {n} positional arguments but {n + 1} were given$"):
            fn(*[object()] * (n + 1))
    if required:
        names = [f"'{r}'" for r in required]
        listed = " and ".join(names) if len(names) <= 2 else ", ".join(names[:-1]) + ", and " + names[-1]
        with pytest.raises(TypeError, match=rf"\(\) missing {len(names)} required positional "
                                            rf"arguments?: {listed}$"):
            fn()
