"""Python code run by the module in the middle of its own work: property
values whose == changes the graph, the dicts being walked or the query that
is running, keys whose hash or == change the dict of a set, comparisons that
raise. Each gives an exception with the interpreter's own message (or runs to
a consistent end), never a crash, and the graph and query stay usable."""
import sys
import threading

import pytest

import velkora as vk

A, B, C, D = (vk.Variable(n) for n in "ABCD")

SIZE = "dictionary changed size during iteration"
KEYS = "dictionary keys changed during iteration"


class Hook:
    """A property value whose == runs an action once, then compares by value."""

    def __init__(self, value, action):
        self.value, self.action = value, action

    def __eq__(self, other):
        action, self.action = self.action, None
        if action:
            action()
        return self.value == other

    __hash__ = None


class Key:
    """A dict key equal to "k" whose hash or == runs an action once, when armed."""

    armed = False

    def __init__(self, action=None, eq_action=None):
        self.action, self.eq_action = action, eq_action

    def _fire(self, name):
        action = getattr(self, name)
        if self.armed and action:
            setattr(self, name, None)
            action()

    def __hash__(self):
        self._fire("action")
        return hash("k")

    def __eq__(self, other):
        self._fire("eq_action")
        return other == "k"


def arm(d):
    for k in d:
        if isinstance(k, Key):
            k.armed = True
    return d


def graph_of(*nodes):
    g = vk.Graph()
    for n in nodes:
        g.nodes[n.uid()] = n
    return g


def still_usable(g, q):
    """The graph and the query can be used again after the failure."""
    str(g)
    assert isinstance(g.query().match(node="n", type_schema="$*$").return_count(), int)
    q.return_count()  # the query was released, whatever its queue does now


def test_old_properties_dict_is_released_after_the_node_is_free():
    # The __del__ of a value of the replaced dict sees the node as it is now.
    seen, unraisable = [], []
    old_hook = sys.unraisablehook
    sys.unraisablehook = lambda u: unraisable.append(u.exc_value)
    try:
        for cls in ("node", "edge"):
            n = vk.Node(A)
            obj = n if cls == "node" else vk.Edge(vk.Term("f", A), n, n)

            class Spy:
                def __del__(self):
                    seen.append(obj.properties)
                    obj.properties = {"from_del": True}

            obj.properties = {"spy": Spy()}
            obj.properties = {"new": 1}
            assert seen.pop() == {"new": 1}
            assert obj.properties == {"from_del": True}
    finally:
        sys.unraisablehook = old_hook
    assert unraisable == []


# ----- dict walks changed by a property comparison --------------------------------


def _match_untyped(g):
    return g.query().match(node="n", properties={"k": 1})


WALKS = [_match_untyped]


def _add_node(g):
    return lambda: g.nodes.__setitem__("new", vk.Node(D))


def _delete_other(g):
    return lambda: g.nodes.pop(vk.Node(B).uid())


def _replace_current(g):
    # The visited entry goes, a new one comes: same size, new keys.
    def act():
        del g.nodes[vk.Node(A).uid()]
        g.nodes["new"] = vk.Node(D)

    return act


def _clear(g):
    return g.nodes.clear


@pytest.mark.parametrize("build", WALKS, ids=lambda f: f.__name__)
@pytest.mark.parametrize(
    "action, message",
    [(_add_node, SIZE), (_delete_other, SIZE), (_replace_current, KEYS), (_clear, SIZE)],
    ids=["add", "delete", "replace", "clear"],
)
def test_nodes_changed_during_untyped_walk(build, action, message):
    first = vk.Node(A, {"k": None})
    g = graph_of(first, vk.Node(B, {"k": 2}))
    first.properties["k"] = Hook(0, action(g))
    q = build(g)
    with pytest.raises(RuntimeError, match=message):
        q.return_("n")
    still_usable(g, q)


@pytest.mark.parametrize("build", [
    lambda g: g.query().match(node="n", type=A, properties={"k": 1}),
    lambda g: g.query().merge(node="n", properties={"k": 1}),
], ids=["typed-match", "untyped-merge"])
@pytest.mark.parametrize("action", [_add_node, _delete_other, _clear], ids=["add", "delete", "clear"])
def test_collected_candidates_are_tested_as_a_snapshot(build, action):
    # A typed match and every merge collect their candidates before any
    # comparison, so a change made by a comparison is not a change under a walk.
    n = vk.Node(A, {"k": None})
    g = graph_of(n, vk.Node(B, {"k": 1}))
    n.properties["k"] = Hook(1, action(g))
    q = build(g)
    rows = q.return_("n")
    assert [r["n"].uid() for r in rows] == [n.uid()]
    assert rows[0]["n"].properties is n.properties
    still_usable(g, q)


def test_comparison_drops_the_compared_value():
    # == empties the dict that held the value being compared, and replaces
    # the stored node's dict: the module must hold its own references.
    n = vk.Node(A)
    g = graph_of(n)
    props = n.properties

    def drop():
        props.clear()
        n.properties = {}

    props["k"] = Hook(1, drop)
    props["j"] = Hook(2, drop)
    q = g.query().match(node="n", properties={"k": 1, "j": 2})
    assert q.return_("n") == []  # the second lookup finds an empty dict
    assert props == {} and n.properties == {}
    still_usable(g, q)


def test_edge_given_new_properties_by_its_own_test_is_bound_as_tested():
    # A match whose tests run Python code binds the edge it tested, not the
    # edge the comparison left behind.
    e = vk.Edge(vk.Term("f", vk.Application(A, B)), vk.Node(A), vk.Node(B))
    tested = e.properties
    tested["k"] = Hook(1, lambda: setattr(e, "properties", {"k": 2}))
    g = vk.Graph()
    g.edges[e.uid()] = e
    rows = g.query().match("(a)-[r {k: 1}]->(b)").return_("r")
    assert len(rows) == 1 and rows[0]["r"].properties is tested and e.properties == {"k": 2}


def test_comparison_drops_the_expected_value():
    # The pattern's own value goes away while its reflected == runs.
    class Expected:
        def __eq__(self, other):
            exp.clear()
            return True

    exp = {"k": Expected()}
    n = vk.Node(A, {"k": object()})
    g = graph_of(n)
    q = g.query().match(node="n", properties=exp)
    assert [r["n"].uid() for r in q.return_("n")] == [n.uid()]
    still_usable(g, q)


# ----- the running query used again from a comparison ------------------------------


@pytest.mark.parametrize(
    "reenter",
    [
        lambda q: q.return_("n"),
        lambda q: q.return_count(),
        lambda q: q.execute(),
        lambda q: q.match(node="x"),
        lambda q: q.set("n", {}),
    ],
    ids=["return_", "return_count", "execute", "match", "set"],
)
def test_same_query_from_a_comparison_is_refused(reenter):
    n = vk.Node(A)
    g = graph_of(n)
    box = []
    n.properties["k"] = Hook(1, lambda: reenter(box[0]))
    q = g.query().match(node="n", properties={"k": 1})
    box.append(q)
    with pytest.raises(RuntimeError, match="Already borrowed"):
        q.return_("n")
    # The refusal changed nothing: the query runs, the hook has fired.
    assert [r["n"].uid() for r in q.return_("n")] == [n.uid()]
    still_usable(g, q)


def test_refusal_can_be_caught_inside_the_comparison():
    n = vk.Node(A)
    g = graph_of(n)
    box, caught = [], []

    def reenter():
        try:
            box[0].return_count()
        except RuntimeError as e:
            caught.append(str(e))

    n.properties["k"] = Hook(1, reenter)
    q = g.query().match(node="n", type=A, properties={"k": 1})
    box.append(q)
    assert len(q.return_("n")) == 1
    assert caught == ["Already borrowed"]


@pytest.mark.parametrize("other", ["new query", "copy"])
def test_other_queries_run_inside_a_comparison(other):
    # Another query object, even a copy of the running one, is free to run;
    # its creation lands in the graph while the outer match goes on.
    n = vk.Node(A)
    g = graph_of(n)
    q = g.query().match(node="n", type=A, properties={"k": 1})
    inner = q.execute() if other == "copy" else g.query().match(node="m", type=A)
    counts = []
    n.properties["k"] = Hook(1, lambda: counts.append(inner.create(node="c", type=C).return_count()))
    assert [r["n"].uid() for r in q.return_("n")] == [n.uid()]
    assert counts == [1]
    assert vk.Node(C).uid() in g.nodes


# ----- comparisons that raise ---------------------------------------------------------


class Boom(Exception):
    pass


class Falsy:
    def __bool__(self):
        raise Boom("truth")


def _raise():
    raise Boom("eq")


class Clash:
    """A key that collides with `like` and whose == (or, with on_hash, whose
    hash) raises `exc` while armed."""

    def __init__(self, like="k", exc=Boom, armed=True):
        self.like, self.exc, self.armed, self.on_hash = like, exc, armed, False

    def __hash__(self):
        if self.armed and self.on_hash:
            raise self.exc("hash")
        return hash(self.like)

    def __eq__(self, other):
        if self.armed:
            raise self.exc("clash")
        return False


@pytest.mark.parametrize("typed", [False, True], ids=["untyped", "typed"])
@pytest.mark.parametrize(
    "value",
    [lambda: Hook(1, _raise), lambda: type("R", (), {"__eq__": lambda s, o: Falsy()})()],
    ids=["eq-raises", "bool-raises"],
)
def test_raising_comparison_propagates(typed, value):
    n = vk.Node(A, {"k": value()})
    g = graph_of(n)
    kw = {"type": A} if typed else {}
    q = g.query().create(node="c", type=B).match(node="n", properties={"k": 1}, **kw)
    with pytest.raises(Boom):
        q.return_("n", "c")
    # Operations before the failing one stay done.
    assert vk.Node(B).uid() in g.nodes
    n.properties["k"] = 1
    assert [r["n"].uid() for r in q.return_("n")] == [n.uid()]
    still_usable(g, q)


def test_raising_key_lookup_counts_as_a_mismatch():
    # The node's dict holds a key that collides with "k" and whose == raises:
    # the lookup fails, the node does not match, and no error is left set.
    bad, good = vk.Node(A, {Clash(): 1}), vk.Node(B, {"k": 1})
    g = graph_of(bad, good)
    q = g.query().match(node="n", properties={"k": 1})
    assert [r["n"].uid() for r in q.return_("n")] == [good.uid()]
    still_usable(g, q)


def _edge(start):
    return vk.Edge(vk.Term("f", vk.Application(A, B)), start, vk.Node(B))


def _node_test(clash):
    g = graph_of(vk.Node(A, {clash("k"): 1}))
    return g, g.query().match(node="n", properties={"k": 1})


def _edge_test(clash):
    n = vk.Node(A)
    e, g = _edge(n), graph_of(n)
    e.properties[clash("k")] = 1
    g.edges[e.uid()] = e
    return g, g.query().match(edge="e", properties={"k": 1})


def _delete_node(clash):
    n, g = vk.Node(A), vk.Graph()
    g.nodes[clash(n.uid())] = n  # filed under a key that collides with its uid
    return g, g.query().match(node="n").delete("n")


def _detach(clash):
    n = vk.Node(A)
    e, g = _edge(n), graph_of(n)
    g.edges[clash(e.uid())] = None  # probed before the edge's own entry
    g.edges[e.uid()] = e
    return g, g.query().match(node="n").delete("n", detach=True)


def _detach_hash(clash):
    n = vk.Node(A)
    e, g = _edge(n), graph_of(n)
    key = clash(e.uid())
    g.edges[key] = e  # hashed again by the deletion
    key.on_hash = True
    return g, g.query().match(node="n").delete("n", detach=True)


class LowMemory(MemoryError):
    pass


class DeepRecursion(RecursionError):
    pass


@pytest.mark.parametrize("exc, passed_over", [
    (Boom, True), (ValueError, True), (KeyboardInterrupt, False), (SystemExit, False),
    (MemoryError, False), (LowMemory, False), (RecursionError, False), (DeepRecursion, False),
])
@pytest.mark.parametrize("setup", [_node_test, _edge_test, _delete_node, _detach, _detach_hash])
def test_failed_lookups_and_deletions_pass_over_exceptions_only(setup, exc, passed_over):
    # A failing lookup counts as no match and a failing deletion is passed
    # over, but an interrupt, an exit request, or running out of memory or
    # stack ends the run there.
    clash = Clash(None, exc, armed=False)
    g, q = setup(lambda like: setattr(clash, "like", like) or clash)
    q = q.create(node="c", type=C)
    clash.armed = True
    if passed_over:
        q.execute()
    else:
        with pytest.raises(exc):
            q.execute()
    assert (vk.Node(C).uid() in g.nodes) is passed_over
    clash.armed = False
    still_usable(g, q)


# ----- the dict of a set, changed by its own keys --------------------------------------


def _set_query(g, props):
    return g.query().match(node="n", type_schema="$*$").set("n", props)


@pytest.mark.parametrize(
    "make, message",
    [
        (lambda d: {"a": 1, Key(lambda: d.__setitem__("z", 0)): 2}, SIZE),
        (lambda d: {"a": 1, Key(lambda: d.pop("a")): 2, "c": 3}, SIZE),
        (lambda d: {"a": 1, Key(lambda: (d.pop("a"), d.__setitem__("z", 0))): 2, "c": 3}, KEYS),
        (lambda d: {"a": 1, Key(eq_action=lambda: d.__setitem__("z", 0)): 2, "c": 3}, SIZE),
    ],
    ids=["hash-adds", "hash-deletes", "hash-replaces", "eq-adds"],
)
def test_set_dict_changed_by_its_keys(make, message):
    n = vk.Node(A, {"k": "old"})  # an equal-hash key makes the store call Key.__eq__
    g = graph_of(n)
    holder = {}
    holder.update(make(holder))
    q = _set_query(g, arm(holder))
    with pytest.raises(RuntimeError, match=message):
        q.return_("n")
    assert n.properties["a"] == 1  # stores before the change stay done
    still_usable(g, q)


def test_set_store_that_raises_ends_the_run():
    first, second = vk.Node(A, {Clash(): 0}), vk.Node(B)
    g = graph_of(first, second)
    q = g.query().match(node="n", type_schema="$*$").set("n", {"k": 1})
    with pytest.raises(Boom):
        q.return_("n")
    assert "k" not in second.properties
    first.properties.clear()
    still_usable(g, q)
    assert first.properties == second.properties == {"k": 1}


def test_set_values_and_keys_outlive_their_dict():
    # A key's hash empties the set's dict while it is walked: the walk holds
    # its own references, so the stored key and value are still alive.
    n = vk.Node(A)
    g = graph_of(n)
    holder = {}
    key = Key(lambda: holder.clear())
    holder[key] = ["value"]
    del key
    q = _set_query(g, arm(holder))
    with pytest.raises(RuntimeError, match=SIZE):
        q.return_("n")
    assert list(n.properties.values()) == [["value"]]
    still_usable(g, q)


@pytest.mark.parametrize("other", ["same query", "graph change"])
def test_another_thread_while_a_comparison_waits(other):
    # A comparison that blocks lets other threads run mid-walk: they are
    # refused the running query, and a change they make to the graph stops
    # the walk when it resumes.
    n = vk.Node(A)
    g = graph_of(n, vk.Node(B, {"k": 2}))
    waiting, resume = threading.Event(), threading.Event()
    n.properties["k"] = Hook(0, lambda: (waiting.set(), resume.wait(10)))
    q = g.query().match(node="n", properties={"k": 1})
    result = {}

    def run():
        try:
            result["rows"] = q.return_("n")
        except Exception as e:  # noqa: BLE001 - checked below
            result["error"] = e

    t = threading.Thread(target=run)
    t.start()
    try:
        assert waiting.wait(10)
        if other == "same query":
            with pytest.raises(RuntimeError, match="Already borrowed"):
                q.return_count()
        else:
            g.nodes["new"] = vk.Node(C)
    finally:
        resume.set()
        t.join(10)
    if other == "same query":
        assert result == {"rows": []}
    else:
        assert type(result["error"]) is RuntimeError and str(result["error"]) == SIZE
    still_usable(g, q)


def test_replaced_entry_released_while_edges_are_filed():
    # Filing each new edge releases the entry it replaces; that entry's
    # __del__ empties the graph and tries to run the query again.
    f = vk.Term("f", vk.Application(A, B))
    g = graph_of(vk.Node(A), vk.Node(B))
    q = g.query().match(node="s").match(node="t", type=B).create(edge="e", term=f, start="s", end="t")
    seen = []

    class Gone:
        def __del__(self):
            g.nodes.clear()
            try:
                q.return_count()
            except RuntimeError as e:
                seen.append(str(e))

    g.edges[vk.Edge(f, vk.Node(A), vk.Node(B)).uid()] = Gone()
    rows = q.return_("s", "e")
    assert seen == ["Already borrowed"] and g.nodes == {}
    assert [str(r["s"].type) for r in rows] == ["A", "B"]
    assert list(g.edges.values())[0].properties is rows[-1]["e"].properties
