"""Graph.cypher() against a real Cypher engine: FalkorDB, embedded.

Generated graphs (one node per type A, B, C..., terms named t, u, v as
relationship types, small int / str / bool / list properties) are loaded
into velkora and into FalkorDB, generated queries run on both, and the rows
must agree: as multisets, or as lists where the query orders them totally.
FalkorDB's departures from openCypher are worked around in the text FalkorDB
runs, never in velkora's (see cypher_queries.py). Write queries are compared
through the graphs they leave.

Each group runs once Graph.cypher() has its features (the cypher_feature
mark names them): a group whose probe query is refused with ValueError is
skipped, naming the refusal. Without the
falkordblite package (Python 3.12+) every test here is skipped; with
VELKORA_REQUIRE_FALKORDB=1 (CI) a missing FalkorDB or a reading engine that
refuses its probe fails instead. VELKORA_DIFF_EXAMPLES scales the number of
generated cases.
"""
import os

import pytest
from hypothesis import HealthCheck, Phase, given, settings
from hypothesis import strategies as st

import velkora as vk
from cypher_queries import QueryGen, WriteGen
from falkordb_support import (FalkorServer, falkordb_rows, models, same_rows, velkora_rows,
                              velkora_snapshot)

REQUIRE = os.environ.get("VELKORA_REQUIRE_FALKORDB") == "1"
SCALE = float(os.environ.get("VELKORA_DIFF_EXAMPLES", "1"))
QUERIES_PER_GRAPH = 4


# Shrinking a failure over a FalkorDB server costs minutes; it is on with
# VELKORA_DIFF_SHRINK=1. The failing query is in the assertion's message.
PHASES = [Phase.explicit, Phase.reuse, Phase.generate]
if os.environ.get("VELKORA_DIFF_SHRINK") == "1":
    PHASES.append(Phase.shrink)


# CI draws the same examples on every run, so that a run can be repeated;
# VELKORA_DIFF_RANDOM=1 draws new ones (for searching, not for CI).
DERANDOMIZE = os.environ.get("VELKORA_DIFF_RANDOM") != "1"


def examples(n):
    return settings(max_examples=max(1, int(n * SCALE)), deadline=None, database=None,
                    phases=PHASES, print_blob=True, derandomize=DERANDOMIZE,
                    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large,
                                           HealthCheck.filter_too_much])


@pytest.fixture(scope="session")
def falkordb():
    try:
        import redislite.falkordb_client  # noqa: F401
    except ImportError as e:
        if REQUIRE:
            pytest.fail(f"VELKORA_REQUIRE_FALKORDB=1 but falkordblite is not importable: {e}")
        pytest.skip("FalkorDB embedded (the falkordblite package, Python 3.12+) is not installed")
    server = FalkorServer()
    yield server
    server.close()


# A tiny query per feature group: a group runs once velkora answers its probe.
PROBES = {
    "reading": ("MATCH (n:A) WITH n, count(*) AS c RETURN n, c", False),
    "varlen": ("MATCH (a)-[r*1..2]->(b) RETURN r", False),
    "named_paths": ("MATCH p = (a)-->(b) RETURN p, nodes(p), length(p)", False),
    # Two distinct nodes: shortestPath refuses a start that is its end.
    "shortest": ("MATCH (a), (b) WHERE a <> b MATCH p = shortestPath((a)-[*]->(b)) RETURN p", False),
    "pattern_predicates": ("MATCH (a) WHERE (a)-->() RETURN a", False),
    "writes": ("CREATE (n:A {i: 1})", True),
}


def require(feature):
    if not hasattr(vk.Graph, "cypher"):
        if REQUIRE and feature == "reading":
            pytest.fail("VELKORA_REQUIRE_FALKORDB=1 but velkora has no Graph.cypher()")
        pytest.skip("velkora has no Graph.cypher() yet")
    query, writes = PROBES[feature]
    graph = vk.Graph()
    if not writes:
        a, b = vk.Node(vk.Variable("A")), vk.Node(vk.Variable("B"))
        graph.nodes[a.uid()], graph.nodes[b.uid()] = a, b
        e = vk.Edge(vk.Term("t", vk.Application(a.type, b.type)), a, b)
        graph.edges[e.uid()] = e
    try:
        graph.cypher(query)
    except ValueError as e:
        if REQUIRE and feature == "reading":
            raise
        pytest.skip(f"Graph.cypher() refuses {query!r}: {str(e).splitlines()[0]}")


def run_both(falkordb, graph, query):
    """Runs one generated query on both engines and compares the rows."""
    try:
        theirs = falkordb.run(query.fk, query.params)
    except Exception as e:  # a generated query FalkorDB cannot run is not compared
        pytest.fail(f"FalkorDB refused a generated query: {e}\n  {query.fk}")
    if len(query.params) == 1:
        mine = graph.cypher(query.vk, **query.params)
    elif query.params:
        # A keyword argument wins over the mapping's entry of that name.
        first = next(iter(query.params))
        mapping = dict(query.params, **{first: "overridden"})
        mine = graph.cypher(query.vk, mapping, **{first: query.params[first]})
    else:
        mine = graph.cypher(query.vk)
    a = velkora_rows(mine, query)
    b = falkordb_rows(theirs, query, falkordb)
    assert same_rows(a, b, query.ordered), (
        f"\nquery:    {query.vk}\nFalkorDB: {query.fk}\nparams:   {query.params}\n"
        f"velkora rows:  {sorted(a, key=repr) if not query.ordered else a}\n"
        f"FalkorDB rows: {sorted(b, key=repr) if not query.ordered else b}")


def differential(falkordb, data, features, **model_kw):
    model = data.draw(models(**model_kw), label="graph")
    falkordb.load(model)
    graph = model.to_velkora()
    for _ in range(QUERIES_PER_GRAPH):
        query = QueryGen(data.draw, model, **features).query()
        note = f"{query.vk}  ||  {query.fk}"
        data.draw(st.just(note), label="query")
        run_both(falkordb, graph, query)


@examples(200)
@given(data=st.data())
def test_reading_queries(falkordb, data):
    differential(falkordb, data, {})


@pytest.mark.cypher_feature("varlen")
@examples(60)
@given(data=st.data())
def test_variable_length_paths(falkordb, data):
    differential(falkordb, data, {"varlen": True}, max_edges=5)


@pytest.mark.cypher_feature("named_paths", "varlen")
@examples(60)
@given(data=st.data())
def test_named_paths(falkordb, data):
    differential(falkordb, data, {"named_paths": True, "varlen": True}, max_edges=5)


@pytest.mark.cypher_feature("shortest")
@examples(40)
@given(data=st.data())
def test_shortest_paths(falkordb, data):
    differential(falkordb, data, {"shortest": True})


@pytest.mark.cypher_feature("pattern_predicates")
@examples(60)
@given(data=st.data())
def test_pattern_predicates(falkordb, data):
    differential(falkordb, data, {"pattern_predicates": True})


@pytest.mark.cypher_feature("writes")
@examples(60)
@given(data=st.data())
def test_write_queries(falkordb, data):
    """The same write queries leave the same nodes, relationships and properties."""
    model = data.draw(models(), label="graph")
    falkordb.load(model)
    graph = model.to_velkora()
    gen = WriteGen(data.draw, model)
    for _ in range(3):
        query, fk = gen.query()
        data.draw(st.just(f"{query}  ||  {fk}"), label="query")
        falkordb.run(fk)
        assert graph.cypher(query) == []
        assert velkora_snapshot(graph) == falkordb.snapshot(), query


@pytest.fixture(autouse=True)
def _cypher_features(request):
    # Every group needs the reading engine, and some one more feature
    # (their cypher_feature mark): each probe runs once, before the examples.
    if "falkordb" in request.fixturenames:
        require("reading")
        for mark in request.node.iter_markers("cypher_feature"):
            for feature in mark.args:
                require(feature)
