"""Typed lookups and anchored matches, read from the graph's indexes, answer
exactly what a plain walk of the two dicts gives (rows, their order and the
errors), however Python code changes the dicts: between queries in every
way a dict allows, through queries' own writes, and from inside the property
comparisons a match makes."""
import gc
import os
import sys

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, invariant, rule

import velkora as vk

NAMES = ["T0", "T1", "T2", "T3"]
VARS = [vk.Variable(n) for n in NAMES]
TYPES = VARS + [vk.Application(VARS[0], VARS[1])]

# Actions run by a property comparison during a match, on the graph the
# match runs on (TARGET), one per comparison while any are pending.
TARGET = None
PENDING = []


class Hook:
    """A property value whose == runs the next pending action first."""

    def __init__(self, value):
        self.value = value

    def __eq__(self, other):
        if PENDING:
            act(TARGET, PENDING.pop(0))
        return self.value == other

    __hash__ = None


def node(t, ident, hooked=False):
    return vk.Node(TYPES[t], {"id": ident, "w": Hook(1) if hooked else ident % 2})


def edge(name, s, t, ident, hooked=False):
    term = vk.Term(name, vk.Application(TYPES[s], TYPES[t]))
    return vk.Edge(term, node(s, -1), node(t, -1),
                   {"id": ident, "w": Hook(1) if hooked else ident % 2})


def act(g, action):
    """One change of a graph's dicts, the same whichever graph it is made on."""
    kind, a, b = action
    if kind == "add_node":
        n = node(a % len(TYPES), 1000 + b)
        g.nodes[n.uid()] = n
    elif kind == "add_edge":
        e = edge(f"x{b}", a % len(TYPES), b % len(TYPES), 2000 + b)
        g.edges[e.uid()] = e
    elif kind == "del_node" and g.nodes:
        del g.nodes[list(g.nodes)[a % len(g.nodes)]]
    elif kind == "del_edge" and g.edges:
        del g.edges[list(g.edges)[a % len(g.edges)]]
    elif kind == "replace_edge" and g.edges:
        key = list(g.edges)[a % len(g.edges)]
        g.edges[key] = edge(f"y{b}", b % len(TYPES), a % len(TYPES), 3000 + b)
    elif kind == "clear_edges":
        g.edges.clear()


ACTIONS = st.tuples(st.sampled_from(["add_node", "add_edge", "del_node", "del_edge",
                                     "replace_edge", "clear_edges"]),
                    st.integers(0, 20), st.integers(0, 20))

# ----- the plain walks ------------------------------------------------------------


def node_key(n, props=None):
    return ("N", str(n.type), (n.properties if props is None else props).get("id"))


def edge_key(e):
    return ("E", e.term.name, str(e.start.type), str(e.end.type), e.properties.get("id"))


def row_keys(rows):
    return [tuple(node_key(v) if isinstance(v, vk.Node) else edge_key(v) for v in r.values())
            for r in rows]


def checked_nodes(nodes):
    for k, v in nodes.items():
        if not isinstance(k, str) or type(v) is not vk.Node:
            raise TypeError("bad entry")
    return list(nodes.values())


def checked_edges(edges):
    values = list(edges.values())
    if any(type(v) is not vk.Edge for v in values):
        raise TypeError("bad entry")
    return values


MISSING = object()


def held(props, want):
    for key, value in want.items():
        actual = props.get(key, MISSING)
        if actual is MISSING or not (actual == value):
            return False
    return True


def is_named(t, name):
    return isinstance(t, vk.Variable) and str(t) == name


def model_typed(g, t, want):
    candidates = [(n, n.properties) for n in checked_nodes(g.nodes) if n.type == TYPES[t]]
    return [(node_key(n, p),) for n, p in candidates if held(p, want)]


def model_one_edge(g, name, form):
    rows = []
    for e in checked_edges(g.edges):
        s, t = e.start, e.end
        if form == "out" and is_named(s.type, name):
            rows.append((node_key(s), edge_key(e), node_key(t)))
        elif form == "in" and is_named(t.type, name):
            rows.append((node_key(t), edge_key(e), node_key(s)))
        elif form == "far" and is_named(t.type, name):
            rows.append((node_key(s), edge_key(e), node_key(t)))
        elif form == "any":
            if is_named(s.type, name):
                rows.append((node_key(s), edge_key(e), node_key(t)))
            if is_named(t.type, name) and s.type != t.type:
                rows.append((node_key(t), edge_key(e), node_key(s)))
    return rows


def model_two_edges(g, name):
    values = checked_edges(g.edges)
    rows = []
    for i, e in enumerate(values):
        if name is not None and not is_named(e.start.type, name):
            continue
        for j, f in enumerate(values):
            if j != i and f.start.type == e.end.type:
                rows.append((node_key(e.start), edge_key(e), node_key(e.end), edge_key(f),
                             node_key(f.end)))
    return rows


def model_untyped(g):
    """(n {w: 1}): a walk of `nodes` that may see the dict change under it."""
    rows = []
    for n in g.nodes.values():
        if type(n) is not vk.Node:
            raise TypeError("bad entry")
        props = n.properties
        if held(props, {"w": 1}):
            rows.append((node_key(n, props),))
    return rows


def model_weighted(g):
    """(a)-[e {w: 1}]->(b): the walk may see the dict change under it."""
    rows = []
    for e in g.edges.values():
        if type(e) is not vk.Edge:
            raise TypeError("bad entry")
        if held(e.properties, {"w": 1}):
            rows.append((node_key(e.start), edge_key(e), node_key(e.end)))
    return rows


def checked_values(d, cls):
    values = list(d.values())
    if any(type(v) is not cls for v in values):
        raise TypeError("bad entry")
    return values


def model_bound_end(g, t):
    bound = {n.type for n in checked_nodes(g.nodes) if n.type == TYPES[t]}
    return [(edge_key(e), node_key(e.start), node_key(e.end))
            for e in checked_edges(g.edges) if e.end.type in bound]


def model_bound_start(g, t):
    bound = {n.type for n in checked_nodes(g.nodes) if n.type == TYPES[t]}
    return [(edge_key(e), node_key(e.start), node_key(e.end))
            for e in checked_edges(g.edges) if e.start.type in bound]


ONE_EDGE = {"out": "(a:{})-[e]->(b)", "in": "(a:{})<-[e]-(b)", "far": "(a)-[e]->(b:{})",
            "any": "(a:{})-[e]-(b)"}


def queries(t, name, form):
    """(label, velkora query, plain walk) triples over a graph g."""
    return [
        ("typed", lambda g: g.query().match(node="n", type=TYPES[t]).return_("n"),
         lambda g: model_typed(g, t, {})),
        ("typed w", lambda g: g.query().match(node="n", type=TYPES[t],
                                              properties={"w": 1}).return_("n"),
         lambda g: model_typed(g, t, {"w": 1})),
        ("one edge", lambda g: g.query().match(ONE_EDGE[form].format(name)).return_("a", "e", "b"),
         lambda g: model_one_edge(g, name, form)),
        ("two edges", lambda g: g.query().match(f"(a:{name})-[e]->(b)-[f]->(c)")
         .return_("a", "e", "b", "f", "c"), lambda g: model_two_edges(g, name)),
        ("two edges, open", lambda g: g.query().match("(a)-[e]->(b)-[f]->(c)")
         .return_("a", "e", "b", "f", "c"), lambda g: model_two_edges(g, None)),
        ("weighted", lambda g: g.query().match("(a)-[e {w: 1}]->(b)").return_("a", "e", "b"),
         model_weighted),
        ("bound start", lambda g: g.query().match(node="a", type=TYPES[t])
         .match(edge="e", start="a", end="b").return_("e", "a", "b"), lambda g: model_bound_start(g, t)),
        ("bound end", lambda g: g.query().match(node="b", type=TYPES[t])
         .match(edge="e", start="a", end="b").return_("e", "a", "b"), lambda g: model_bound_end(g, t)),
        ("untyped w", lambda g: g.query().match("(n {w: 1})").return_("n"), model_untyped),
        ("label", lambda g: g.query().match(f"(n:{name})").return_("n"),
         lambda g: [(node_key(n),) for n in checked_values(g.nodes, vk.Node)
                    if is_named(n.type, name)]),
    ]


def outcome(fn, g, actions, real):
    global TARGET
    TARGET = g
    PENDING[:] = actions
    try:
        rows = fn(g)
        return ("rows", row_keys(rows) if real else rows)
    except Exception as ex:  # the kind of error is what must agree
        return ("error", type(ex).__name__)
    finally:
        PENDING.clear()


def contents(g):
    return ([(k, node_key(v) if type(v) is vk.Node else repr(v)) for k, v in g.nodes.items()],
            [(k, edge_key(v) if type(v) is vk.Edge else repr(v)) for k, v in g.edges.items()])


class IndexedGraph(RuleBasedStateMachine):
    def __init__(self):
        super().__init__()
        self.g = vk.Graph()
        self.made = 0

    def fresh(self):
        self.made += 1
        return self.made

    # ----- changes between queries -----

    @rule(t=st.integers(0, len(TYPES) - 1), keyed=st.booleans(), hooked=st.booleans())
    def file_node(self, t, keyed, hooked):
        n = node(t, self.fresh(), hooked)
        self.g.nodes[n.uid() if keyed else f"k{self.made % 7}"] = n

    @rule(s=st.integers(0, len(TYPES) - 1), t=st.integers(0, len(TYPES) - 1),
          keyed=st.booleans(), hooked=st.booleans())
    def file_edge(self, s, t, keyed, hooked):
        e = edge(f"e{self.made % 9}", s, t, self.fresh(), hooked)
        self.g.edges[e.uid() if keyed else f"k{self.made % 7}"] = e

    @rule(which=st.booleans(), how=st.sampled_from(["del", "pop", "popitem", "clear"]),
          i=st.integers(0, 50))
    def remove(self, which, how, i):
        d = self.g.nodes if which else self.g.edges
        if not d:
            return
        key = list(d)[i % len(d)]
        if how == "del":
            del d[key]
        elif how == "pop":
            d.pop(key)
        elif how == "popitem":
            d.popitem()
        elif i % 5 == 0:
            d.clear()

    @rule(which=st.booleans(), how=st.sampled_from(["update", "ior", "setdefault", "init"]),
          t=st.integers(0, len(TYPES) - 1))
    def bulk(self, which, how, t):
        d = self.g.nodes if which else self.g.edges
        made = [node(t, self.fresh()) for _ in range(2)] if which else \
            [edge(f"b{self.made}", t, (t + 1) % len(TYPES), self.fresh()) for _ in range(2)]
        items = {f"k{self.made % 7}": made[0], made[1].uid(): made[1]}
        if how == "update":
            d.update(items)
        elif how == "ior":
            d |= items
        elif how == "setdefault":
            d.setdefault(f"k{self.made % 7}", made[0])
        else:
            dict.__init__(d, items)

    @rule(which=st.booleans(), bad=st.sampled_from(["value", "int key", "str subclass key"]))
    def misfile(self, which, bad):
        d = self.g.nodes if which else self.g.edges

        class Key(str):
            pass

        key = {"value": "odd", "int key": 7, "str subclass key": Key("sub")}[bad]
        d[key] = 5 if bad == "value" else (node(0, self.fresh()) if which else
                                            edge("m", 0, 1, self.fresh()))

    @rule()
    def tidy(self):
        for d in (self.g.nodes, self.g.edges):
            for k in [k for k, v in d.items() if type(k) is not str or type(v) not in
                      (vk.Node, vk.Edge)]:
                del d[k]

    @rule(i=st.integers(0, 50))
    def new_properties(self, i):
        if self.g.nodes:
            n = list(self.g.nodes.values())[i % len(self.g.nodes)]
            if type(n) is vk.Node:
                n.properties = {"id": self.fresh(), "w": 1}

    # ----- queries' own writes -----

    @rule(s=st.integers(0, len(TYPES) - 1), t=st.integers(0, len(TYPES) - 1))
    def create_edge(self, s, t):
        term = vk.Term(f"c{self.fresh()}", vk.Application(TYPES[s], TYPES[t]))
        try:
            self.g.query().match(node="a", type=TYPES[s]).match(node="b", type=TYPES[t]) \
                .create(edge="e", term=term, start="a", end="b", properties={"id": self.made}) \
                .execute()
        except Exception:  # a misfiled entry, or no node bound
            pass

    @rule(s=st.integers(0, len(TYPES) - 1), t=st.integers(0, len(TYPES) - 1),
          name=st.integers(0, 3))
    def merge_edge(self, s, t, name):
        """The edge found (or made) is the first from a to b of that term."""
        term = vk.Term(f"m{name}", vk.Application(TYPES[s], TYPES[t]))
        try:
            rows = self.g.query().match(node="a", type=TYPES[s]).match(node="b", type=TYPES[t]) \
                .merge(edge="e", term=term, start="a", end="b").return_("e")
        except Exception:  # a misfiled entry, or no node bound
            return
        types = {n.type for n in self.g.nodes.values()}
        if TYPES[s] not in types or TYPES[t] not in types:
            assert rows == []
            return
        first = [e for e in self.g.edges.values() if e.start.type == TYPES[s]
                 and e.end.type == TYPES[t] and e.term.name == term.name]
        assert rows[0]["e"].properties is first[0].properties

    @rule(t=st.integers(0, len(TYPES) - 1), delete=st.booleans())
    def merge_or_delete(self, t, delete):
        q = self.g.query().merge(node="n", type=TYPES[t])
        if delete:
            q = q.delete("n", detach=True)
        try:
            q.execute()
        except TypeError:
            pass

    # ----- queries, against the plain walks -----

    @rule(t=st.integers(0, len(TYPES) - 1), name=st.sampled_from(NAMES),
          form=st.sampled_from(sorted(ONE_EDGE)), pick=st.integers(0, 9),
          actions=st.lists(ACTIONS, max_size=3))
    def query(self, t, name, form, pick, actions):
        label, real, model = queries(t, name, form)[pick]
        twin = vk.Graph()
        twin.nodes.update(self.g.nodes)
        twin.edges.update(self.g.edges)
        expected = outcome(model, twin, list(actions), real=False)
        got = outcome(real, self.g, list(actions), real=True)
        assert got == expected, label
        assert contents(self.g) == contents(twin)

    @invariant()
    def every_lookup_agrees(self):
        for t in range(len(TYPES)):
            for label, real, model in queries(t, NAMES[t % len(NAMES)], "any")[:5]:
                assert outcome(real, self.g, [], True) == outcome(model, self.g, [], False), label


@settings(max_examples=150, deadline=None, suppress_health_check=list(HealthCheck))
@given(nodes=st.lists(st.tuples(st.integers(0, len(TYPES) - 1), st.booleans()), max_size=8),
       edges=st.lists(st.tuples(st.integers(0, len(TYPES) - 1), st.integers(0, len(TYPES) - 1),
                                st.booleans()), max_size=8),
       actions=st.lists(ACTIONS, min_size=1, max_size=4), t=st.integers(0, len(TYPES) - 1),
       name=st.sampled_from(NAMES), form=st.sampled_from(sorted(ONE_EDGE)))
def test_changes_made_by_comparisons_during_a_match(nodes, edges, actions, t, name, form):
    """Stored property values whose == changes the dicts: every query kind,
    run on an indexed graph, ends as the plain walk ends (rows or error)."""
    g = vk.Graph()
    for i, (k, hooked) in enumerate(nodes):
        n = node(k, i, hooked)
        g.nodes[n.uid()] = n
    for i, (a, b, hooked) in enumerate(edges):
        e = edge(f"e{i}", a, b, 100 + i, hooked)
        g.edges[e.uid()] = e
    for label, real, model in queries(t, name, form):
        outcome(real, g, [], True)  # the indexes are built and current
        twin = vk.Graph()
        twin.nodes.update(g.nodes)
        twin.edges.update(g.edges)
        expected = outcome(model, twin, list(actions), real=False)
        got = outcome(real, g, list(actions), real=True)
        assert got == expected, label
        assert contents(g) == contents(twin), label


TestIndexedGraph = IndexedGraph.TestCase
TestIndexedGraph.settings = settings(max_examples=60, stateful_step_count=30, deadline=None,
                                     suppress_health_check=list(HealthCheck))


def test_index_frees_with_the_graph_and_keeps_no_deleted_node():
    """A graph whose indexes were built is collected with a cycle through a
    property; a node deleted from an indexed dict is freed at once."""
    import weakref

    class Box:
        pass

    g = vk.Graph()
    n = vk.Node(VARS[0], {"box": Box()})
    g.nodes[n.uid()] = n
    n.properties["graph"] = g
    assert g.query().match(node="n", type=VARS[0]).return_count() == 1
    probe = weakref.ref(n.properties["box"])
    del n
    g.nodes.clear()
    assert probe() is None
    box = Box()
    g2 = vk.Graph()
    m = vk.Node(VARS[1], {"box": box, "graph": g2})
    g2.nodes[m.uid()] = m
    assert g2.query().match(node="n", type=VARS[1]).return_count() == 1
    probe = weakref.ref(box)
    del g, g2, m, box
    gc.collect()
    assert probe() is None


def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@pytest.mark.skipif(bool(os.environ.get("VELKORA_SANITIZED")), reason="memory figures")
def test_index_loops_do_not_grow():
    """Graphs whose indexes were built, dropped; an indexed dict churned.
    Type names are 1 KiB, so an index kept per loop would show in MiBs."""
    name = "n" * 1024
    churned = vk.Graph()

    def loop(count):
        for i in range(count):
            g = vk.Graph()
            n = vk.Node(vk.Variable(name + str(i)))
            g.nodes[n.uid()] = n
            e = vk.Edge(vk.Term("f", vk.Application(n.type, n.type)), n, n)
            g.edges[e.uid()] = e
            g.query().match(node="n", type=n.type).match("(a)-[e]->(b)-[f]->(c)").execute()
            m = vk.Node(vk.Variable(name + str(i % 50)))
            churned.nodes[m.uid()] = m
            churned.query().merge(node="m", type=m.type).execute()
            del churned.nodes[m.uid()]

    loop(2_000)
    gc.collect()
    blocks, memory = sys.getallocatedblocks(), rss()
    loop(100_000)
    gc.collect()
    assert sys.getallocatedblocks() - blocks < 1_000
    assert rss() - memory < 24 << 20
