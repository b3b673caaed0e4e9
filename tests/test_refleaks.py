"""Reference and memory leaks: every constructor, method, attribute and slot
of every class, on its success and its error paths, called 100,000 times.

Each group below lists calls with the exception each must raise (None: it
must succeed). One test per group checks every call once, then runs all of
them in a loop and compares before and after:
- the reference count of every object handed in (exact: a single leaked or
  stolen reference per call shows as a difference of the loop size);
- the interpreter's allocated block count (a leaked Python object);
- the process's resident memory (a leaked C++ value: names are 1 KiB long,
  so one leaked copy per call costs about 100 MiB over the loop).
"""
import gc
import importlib
import importlib.util
import os
import sys

import pytest

import velkora as vk

SANITIZED = bool(os.environ.get("VELKORA_SANITIZED"))
# Under ASan the memory figures mean nothing (freed memory waits in
# quarantine, and PYTHONMALLOC=malloc bypasses the block counter);
# LeakSanitizer checks leaks there, so the loop only has to run the paths.
ROUNDS = 2_000 if SANITIZED else 100_000
BLOCK_SLACK = 1_000
RSS_SLACK = 24 << 20
NAME = "n" * 1024


def rss():
    try:
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
    except OSError:
        return None


class Raises(Exception):
    """Raised by __eq__ of property values in the failing query paths."""


class BadEq:
    def __eq__(self, other):
        raise Raises("boom")

    __hash__ = object.__hash__


def type_calls():
    v, w = vk.Variable(NAME), vk.Variable(NAME + "w")
    ab, ab2 = vk.Application(v, w), vk.Application(v, w)
    calls = [
        (lambda: vk.Variable(NAME), None),
        (lambda: vk.Variable(name=NAME), None),
        (lambda: vk.Variable(), TypeError),
        (lambda: vk.Variable(NAME, NAME), TypeError),
        (lambda: vk.Variable(NAME, name=NAME), TypeError),
        (lambda: vk.Variable(NAME, bogus=1), TypeError),
        (lambda: vk.Variable(5), TypeError),
        (lambda: vk.Variable("\ud800"), UnicodeEncodeError),
        (lambda: v.name, None),
        (lambda: setattr(v, "name", NAME), None),
        (lambda: setattr(v, "name", 3), TypeError),
        (lambda: delattr(v, "name"), AttributeError),
        (lambda: setattr(v, "other", 1), AttributeError),
        (lambda: v.uid(), None),
        (lambda: v.uid(1), TypeError),
        (lambda: (str(v), repr(v), hash(v)), None),
        (lambda: (v == w, v != w, v == NAME, v != NAME), None),
        (lambda: v < w, TypeError),
        (lambda: vk.Application(v, w), None),
        (lambda: vk.Application(left=ab, right=ab), None),
        (lambda: vk.Application(v, 1), TypeError),
        (lambda: vk.Application(None, w), TypeError),
        (lambda: vk.Application(v), TypeError),
        (lambda: (ab.left, ab.right), None),
        (lambda: setattr(ab, "left", v), AttributeError),
        (lambda: (ab.uid(), str(ab), repr(ab), hash(ab)), None),
        (lambda: vk.Application(ab, vk.Application(w, v)).uid(), None),
        (lambda: hash(vk.Application(ab, ab)), None),
        (lambda: (ab == ab2, ab != ab2, ab == v, ab != v), None),
        (lambda: ab <= ab2, TypeError),
        (lambda: {v: 1, ab: 2}[vk.Application(v, w)], None),
    ]
    return calls, [v, w, ab, ab2, vk.Variable, vk.Application]


def term_calls():
    a, b = vk.Variable(NAME + "a"), vk.Variable(NAME + "b")
    ab = vk.Application(a, b)
    f, x = vk.Term(NAME, ab), vk.Term(NAME, a)
    calls = [
        (lambda: vk.Term(NAME, a), None),
        (lambda: vk.Term(name=NAME, type=ab), None),
        (lambda: vk.Term(NAME), TypeError),
        (lambda: vk.Term(1, a), TypeError),
        (lambda: vk.Term(NAME, NAME), TypeError),
        (lambda: vk.Term(NAME, a, 1), TypeError),
        (lambda: f.name, None),
        (lambda: setattr(f, "name", NAME), None),
        (lambda: setattr(f, "name", 1), TypeError),
        (lambda: delattr(f, "name"), AttributeError),
        (lambda: f.type, None),
        (lambda: setattr(f, "type", a), AttributeError),
        (lambda: (f.uid(), str(f), repr(f), hash(f)), None),
        (lambda: f(x), None),
        (lambda: f(other=x), None),
        (lambda: x(f), TypeError),
        (lambda: f(f), TypeError),
        (lambda: f(5), TypeError),
        (lambda: f(), TypeError),
        (lambda: f(x, x), TypeError),
        (lambda: f(x, bogus=x), TypeError),
        (lambda: (f == x, f != x, f == 1, f != 1), None),
        (lambda: f < x, TypeError),
    ]
    return calls, [a, b, ab, f, x, vk.Term]


def node_edge_calls():
    a, b = vk.Variable(NAME + "a"), vk.Variable(NAME + "b")
    ab = vk.Application(a, b)
    d = {"k": NAME}
    f = vk.Term(NAME, ab)
    n, m = vk.Node(a, d), vk.Node(ab)
    e = vk.Edge(f, n, m, d)
    calls = [
        (lambda: vk.Node(a), None),
        (lambda: vk.Node(ab, d), None),
        (lambda: vk.Node(type=a, properties=None), None),
        (lambda: vk.Node("A"), TypeError),
        (lambda: vk.Node(a, [1]), TypeError),
        (lambda: vk.Node(), TypeError),
        (lambda: vk.Node(a, d, 1), TypeError),
        (lambda: (n.type, n.properties, n.uid(), str(n), repr(n), hash(n), n == m), None),
        (lambda: setattr(n, "properties", {"x": NAME}), None),
        (lambda: setattr(n, "properties", d), None),
        (lambda: setattr(n, "properties", None), TypeError),
        (lambda: delattr(n, "properties"), AttributeError),
        (lambda: setattr(n, "type", a), AttributeError),
        (lambda: vk.Edge(f, n, m), None),
        (lambda: vk.Edge(term=f, start=n, end=m, properties=d), None),
        (lambda: vk.Edge(NAME, n, m), TypeError),
        (lambda: vk.Edge(f, 1, m), TypeError),
        (lambda: vk.Edge(f, n, None), TypeError),
        (lambda: vk.Edge(f, n, m, 5), TypeError),
        (lambda: vk.Edge(f, n), TypeError),
        (lambda: (e.term, e.start, e.end, e.properties, e.start.properties), None),
        (lambda: (e.uid(), str(e), repr(e)), None),
        (lambda: setattr(e, "properties", {"y": NAME}), None),
        (lambda: setattr(e, "properties", d), None),
        (lambda: setattr(e, "properties", 1), TypeError),
        (lambda: delattr(e, "properties"), AttributeError),
        (lambda: setattr(e, "start", n), AttributeError),
    ]
    return calls, [a, b, ab, d, f, n, m, e, vk.Node, vk.Edge]


def graph_calls():
    g = vk.Graph()
    n = vk.Node(vk.Variable(NAME))
    g.nodes[n.uid()] = n
    calls = [
        (lambda: vk.Graph(), None),
        (lambda: vk.Graph(1), TypeError),
        (lambda: vk.Graph(x=1), TypeError),
        (lambda: (g.nodes, g.edges, str(g), repr(g)), None),
        (lambda: setattr(g, "nodes", {}), AttributeError),
        (lambda: delattr(g, "edges"), AttributeError),
    ]
    return calls, [g, g.nodes, g.edges, n, vk.Graph]


def schema_calls():
    a, b = vk.Variable(NAME), vk.Variable("B")
    ab = vk.Application(a, b)
    s = vk.TypeSchema("$ (x:*) -> (y:B) $")
    calls = [
        (lambda: vk.TypeSchema(NAME), None),
        (lambda: vk.TypeSchema(pattern="$(f:* -> *) -> *$"), None),
        (lambda: vk.TypeSchema(1), TypeError),
        (lambda: vk.TypeSchema(), TypeError),
        (lambda: (s.pattern, str(s), repr(s)), None),
        (lambda: setattr(s, "pattern", "x"), AttributeError),
        (lambda: (s.matches(ab), s.matches(a), s.capture(ab), s.capture(a)), None),
        (lambda: s.matches("A"), TypeError),
        (lambda: s.capture(None), TypeError),
        (lambda: s.matches(), TypeError),
        (lambda: vk.TypeSchema("$" + NAME + "$").capture(a), None),
    ]
    return calls, [a, b, ab, s, vk.TypeSchema]


def pattern_calls():
    a = vk.Variable(NAME)
    f = vk.Term(NAME, vk.Application(a, a))
    props = {"k": NAME}
    schema = vk.TypeSchema("$*$")
    np_ = vk.NodePattern("n", a, "$A$", props)
    ep = vk.EdgePattern("e", f, schema, props, "backward")
    p = vk.PathPattern("(a:A)-[e:f]->(b:B)")
    calls = [
        (lambda: vk.NodePattern(), None),
        (lambda: vk.NodePattern(NAME, a, schema, props), None),
        (lambda: vk.NodePattern(variable="n", type_schema=42), None),
        (lambda: vk.NodePattern(type=3), TypeError),
        (lambda: vk.NodePattern(properties={1: "x"}), TypeError),
        (lambda: vk.NodePattern(properties=[1]), TypeError),
        (lambda: vk.NodePattern(variable=1), TypeError),
        (lambda: vk.NodePattern(bogus=1), TypeError),
        (lambda: (np_.variable, repr(np_)), None),
        (lambda: setattr(np_, "variable", "x"), AttributeError),
        (lambda: vk.EdgePattern(), None),
        (lambda: vk.EdgePattern(NAME, f, "$*$", props, NAME), None),
        (lambda: vk.EdgePattern(term="f"), TypeError),
        (lambda: vk.EdgePattern(direction=None), TypeError),
        (lambda: vk.EdgePattern(properties={2: 1}), TypeError),
        (lambda: (ep.variable, ep.direction, repr(ep)), None),
        (lambda: vk.PathPattern(), None),
        (lambda: vk.PathPattern(None), None),
        (lambda: vk.PathPattern("(n:" + NAME + ")-[e:knows]->(m:Person)"), None),
        (lambda: vk.PathPattern.parse("(a)-[e]->(b)<-[r]-(c)"), None),
        (lambda: vk.PathPattern("(" + NAME), ValueError),
        (lambda: vk.PathPattern.parse(""), ValueError),
        (lambda: vk.PathPattern.parse("(a)<-[e]->(b)"), ValueError),
        (lambda: vk.PathPattern.parse("(a)-->(b)"), ValueError),
        (lambda: vk.PathPattern.parse("-[e]->(a)"), ValueError),
        (lambda: vk.PathPattern.parse("(a), (b)"), ValueError),
        (lambda: vk.PathPattern.parse("(a)-[e]->"), ValueError),
        (lambda: vk.PathPattern("(n:A {k: '" + NAME + "', `" + NAME + "`: [1, -2.5e3, [TRUE, null]]})"
                                "<-[e {k: 12345678901234567890}]-(m)"), None),
        (lambda: vk.PathPattern("(n {k: '" + NAME + "})"), ValueError),
        (lambda: vk.PathPattern("(n {k: [1, '" + NAME + "', " + NAME + "]})"), ValueError),
        (lambda: vk.PathPattern("(n {k: [[" + NAME + "]]})"), ValueError),
        (lambda: vk.PathPattern("(n {k: '\\x'})"), ValueError),
        (lambda: vk.PathPattern("(n {k: " + "1" * 5000 + "})"), ValueError),
        (lambda: vk.PathPattern("(a)-[" + NAME + "]->(" + NAME + ")"), ValueError),
        (lambda: vk.PathPattern.parse(3), TypeError),
        (lambda: vk.PathPattern(1), TypeError),
        (lambda: vk.PathPattern("(a)").add_node(np_).add_edge(ep), None),
        (lambda: vk.PathPattern().add_node(ep), TypeError),
        (lambda: vk.PathPattern().add_edge(np_), TypeError),
        (lambda: (p.nodes, p.edges, repr(p)), None),
    ]
    return calls, [a, f, props, schema, np_, ep, p, vk.NodePattern, vk.EdgePattern, vk.PathPattern]


def query_build_calls():
    g = vk.Graph()
    a = vk.Variable(NAME)
    f = vk.Term(NAME, vk.Application(a, a))
    props = {"k": NAME}
    q = g.query()
    calls = [
        (lambda: vk.Query(g), None),
        (lambda: vk.Query(1), TypeError),
        (lambda: vk.Query(), TypeError),
        (lambda: g.query(), None),
        (lambda: g.query(1), TypeError),
        (lambda: g.query().set("n", props), None),
        (lambda: q.set(1, props), TypeError),
        (lambda: q.set("n", [1]), TypeError),
        (lambda: g.query().skip(0).limit(5).where("`" + NAME + "`.k = '" + NAME + "'").with_("a", NAME), None),
        (lambda: q.skip(-1), OverflowError),
        (lambda: q.limit(2**70), OverflowError),
        (lambda: q.limit("5"), TypeError),
        (lambda: q.where(1), TypeError),
        (lambda: q.where("n.k = [1, '" + NAME), ValueError),
        (lambda: q.with_(["a"]), TypeError),
        (lambda: g.query().delete("n", NAME, detach=True).order_by("n", NAME, ascending=False), None),
        (lambda: q.delete("n", True), TypeError),
        (lambda: q.delete(detach=1), TypeError),
        (lambda: q.order_by("n", "k", ascending=1), TypeError),
        (lambda: q.order_by("n"), TypeError),
        (lambda: g.query().match("(n:" + NAME + ")-[e:knows]->(m:Person)"), None),
        (lambda: g.query().match(node="n", type=a, type_schema="$*$", properties=props), None),
        (lambda: g.query().match(edge="e", term=f, term_type_schema="$*$", start="a", end=5), None),
        (lambda: g.query().match(), None),
        (lambda: q.match("(" + NAME), ValueError),
        (lambda: q.match(node=3), TypeError),
        (lambda: q.match("(a)", node=3), TypeError),
        (lambda: q.match(node="n", type=3), TypeError),
        (lambda: q.match(node="n", properties={1: 2}), TypeError),
        (lambda: q.match(edge="e", term=3), TypeError),
        (lambda: q.match(properties=5), TypeError),
        (lambda: q.match(bogus=1), TypeError),
        (lambda: q.match("(a)(b)"), ValueError),
        (lambda: q.create("(a)-[e]->(b)(c)"), ValueError),
        (lambda: q.match(edge=NAME, start="s", end=NAME), ValueError),
        (lambda: g.query().create(node="p", type=a, properties=props), None),
        (lambda: g.query().create("(a)-[e]->(b)"), None),
        (lambda: g.query().create(edge="e", term=f, start="a", end="b"), None),
        (lambda: q.create(edge="e", term=f), ValueError),
        (lambda: q.create(edge="e", term=f, start=5, end="b"), ValueError),
        (lambda: q.create(edge="e", term=3), TypeError),
        (lambda: q.create(node="p", type="x"), TypeError),
        (lambda: q.create(""), ValueError),
        (lambda: g.query().merge(node="m", type=a, type_schema="$*$", properties=props), None),
        (lambda: g.query().merge(edge="e", term=f, start="a", end="b"), None),
        (lambda: g.query().merge("(a)"), None),
        (lambda: q.merge(edge="e", start="a"), ValueError),
        (lambda: q.merge(node=1), TypeError),
    ]
    return calls, [g, g.nodes, g.edges, a, f, props, q, vk.Query]


def query_run_calls():
    a, b = vk.Variable(NAME + "a"), vk.Variable(NAME + "b")
    f = vk.Term(NAME, vk.Application(a, b))
    g = vk.Graph()
    na, nb = vk.Node(a, {"k": NAME}), vk.Node(b, {"k": 1})
    g.nodes[na.uid()] = na
    g.nodes[nb.uid()] = nb
    e = vk.Edge(f, na, nb, {"w": NAME})
    g.edges[e.uid()] = e
    # Paths run on a graph with one edge each way.
    back = vk.Edge(vk.Term(NAME + "b", vk.Application(b, a)), nb, na, {"w": NAME})
    pg = vk.Graph()
    pg.nodes.update(g.nodes)
    pg.edges.update({e.uid(): e, back.uid(): back})
    props = {"k": NAME}
    update = {"seen": NAME}

    bad = vk.Graph()
    bad.nodes["junk"] = 1
    bad.edges["junk"] = 2
    raising = vk.Graph()
    nr = vk.Node(a, {"k": BadEq()})
    raising.nodes[nr.uid()] = nr
    er = vk.Edge(f, nr, nr, {"w": BadEq()})
    raising.edges[er.uid()] = er

    def fresh():
        """A graph like g, made anew: writes leave no state behind."""
        w = vk.Graph()
        for n in (vk.Node(a, {"k": NAME}), vk.Node(b)):
            w.nodes[n.uid()] = n
        edge = vk.Edge(f, *w.nodes.values(), {"w": NAME})
        w.edges[edge.uid()] = edge
        return w

    calls = [
        (lambda: g.query().create(node="p", type=a, properties=props)
         .match(node="n", type=a).return_("p", "n", "p"), None),
        (lambda: g.query().match(node="n", properties={"k": NAME}).return_distinct("n"), None),
        (lambda: g.query().match(node="n", type_schema="$*$").return_count(), None),
        (lambda: pg.query().match("(x:$(t:*)$)-[r:$* -> *$]->(y:" + NAME + "b)")
         .where("x:$(s:*)$ AND r:$* -> *$").return_("x", "r", "y"), None),
        (lambda: g.query().match("(x)-[r]->(y)").return_("x", "r", "y", "z"), None),
        (lambda: g.query().match("(x:*)-[r:*]->(y)").execute().return_("r"), None),
        (lambda: pg.query().match("(x)<-[r {w: '" + NAME + "'}]-(y)-[s]-(z)-[t]-(x)")
         .return_("x", "r", "y", "s"), None),
        (lambda: pg.query().match("(x {k: 1})-[r]-(y)").match("(y)-[s]->(x)-[t]->(z)")
         .return_("x", "y", "z"), None),
        (lambda: pg.query().match(node="s", type=a).match(edge="r", start="s", end="t", term=f,
                                                         properties={"w": NAME}).return_("r", "t"), None),
        (lambda: pg.query().match(edge="r", start="t", end="t").return_("r", "t"), None),
        (lambda: bad.query().match("(x)-[r]->(y)-[s]->(z)").execute(), TypeError),
        (lambda: bad.query().match(edge="r").execute(), TypeError),
        (lambda: raising.query().match("(x)-[r {w: 1}]-(y)-[s]-(z)").return_("r"), Raises),
        (lambda: raising.query().match("(x)-[r]-(y {k: 1})").return_("r"), Raises),
        (lambda: raising.query().match(edge="r", properties={"w": 1}).return_("r"), Raises),
        (lambda: g.query().match(node="s", type=a).merge(node="t", type=b)
         .merge(edge="r", start="s", end="t").return_("s", "t", "r"), None),
        (lambda: g.query().merge(node="u", type=vk.Application(b, a)).return_("u"), None),
        (lambda: g.query().match(node="n", type=a).set("n", update).set("none", update)
         .where("n.k IN [1, '" + NAME + "'] OR n:$*$").with_("n").order_by("n", "k").skip(1)
         .limit(1).return_("n"), None),
        (lambda: g.query().match("(x)-[r]->(y)").order_by("x", "k", ascending=False)
         .order_by("r", "w").where("r.w STARTS WITH 'n'").return_("x", "r"), None),
        (lambda: g.query().match(node="n").order_by("n", "k").return_("n"), TypeError),
        (lambda: g.query().match(node="n").match(node="m").where("n.k = m.k").execute(), ValueError),
        (lambda: g.query().where("z.k = 1").return_count(), NameError),
        (lambda: g.query().match("(x)-[r]->(y)").where(
            "x <> y AND size([v IN [x.k, r.w, '" + NAME + "'] WHERE v IS NOT NULL | toString(v)]) > 0"
            " AND CASE WHEN r.w = 1 THEN r ELSE x END IS NOT NULL").return_("x", "r"), None),
        (lambda: g.query().match(node="n").where("n.k - 1 > 0").return_count(), TypeError),
        (lambda: raising.query().match(node="n").where("n.k = 1").return_("n"), Raises),
        (lambda: g.query().create(node="d", type=vk.Application(a, a)).delete("d", "d")
         .return_("d"), None),
        (lambda: g.query().return_(), None),
        (lambda: g.query().return_(1), TypeError),
        (lambda: g.query().return_count(1), TypeError),
        (lambda: g.query().execute(1), TypeError),
        (lambda: bad.query().match(node="n").return_("n"), TypeError),
        (lambda: bad.query().match(node="n", type=a).return_count(), TypeError),
        (lambda: bad.query().match("(x)-[r]->(y)").execute(), TypeError),
        (lambda: bad.query().merge(node="n").return_("n"), TypeError),
        (lambda: raising.query().match(node="n", properties={"k": 1}).return_("n"), Raises),
        (lambda: raising.query().merge(node="n", type=a, properties={"k": 1}).execute(), Raises),
        (lambda: fresh().query().match(node="s").match(node="t", type=b)
         .create(edge="r", term=f, start="s", end="t", properties=props).set("r", update)
         .return_("s", "r", "t"), None),
        (lambda: fresh().query().match(node="s", type=a).match(node="t", type=b)
         .merge(edge="r", term=vk.Term(NAME, a), start="s", end="t", properties=props).return_("r"), None),
        (lambda: fresh().query().merge(node="m", type_schema="$" + NAME + "a$", properties={"x": NAME})
         .create("(c:" + NAME + "c)").return_("m", "c"), None),
        (lambda: fresh().query().match(node="s").create(edge="r", term=f, start="s", end="s").execute(), None),
        (lambda: fresh().query().match(node="s").match("(x)-[r]->(y)").create(edge="e", term=f, start="s", end="r")
         .execute(), ValueError),
        (lambda: g.query().create(edge="e", term=f, start=NAME, end="t").execute(), NameError),
        (lambda: g.query().merge(edge="e", term=f, start=NAME, end="t").execute(), NameError),
        (lambda: g.query().create("(x:" + NAME + ")-[r]->(y:*)").execute(), ValueError),
        (lambda: g.query().create("(x:$*$)").execute(), ValueError),
    ]
    return calls, [a, b, f, g, g.nodes, g.edges, na, nb, e, props, update, bad, raising, nr, er, back, pg]


def third_party(fn):
    """Marks a call that mostly runs another library's Python code: the leak
    loop runs it, the allocation-failure runs skip it (CPython 3.11 itself
    leaks in imports that such code starts when an allocation fails)."""
    fn.third_party = True
    return fn


def pickle_and_bridge_calls():
    # The reduced forms and the _restore methods directly: copy and pickle
    # run them from Python frames and pickler objects, which CPython 3.11
    # itself leaks when an allocation fails (see test_alloc_failures).
    a, b = vk.Variable(NAME), vk.Variable("b")
    ab = vk.Application(a, vk.Application(b, a))
    f = vk.Term(NAME, ab)
    props = {"k": NAME}
    na, nb = vk.Node(a, props), vk.Node(ab)
    e = vk.Edge(f, na, nb, props)
    g = vk.Graph()
    g.nodes[na.uid()], g.edges[e.uid()] = na, e  # nb is an end point only
    np_, ep = vk.NodePattern(NAME, ab, "$*$", props), vk.EdgePattern(NAME, f, NAME, props, NAME)
    path = vk.PathPattern().add_node(np_).add_edge(ep)
    objects = [a, ab, f, na, e, g, vk.TypeSchema(NAME), np_, ep, path]
    flat = ab.__reduce__()[1][0]
    small = vk.Graph()
    small.nodes["n"] = vk.Node(b, {"k": 1})
    bad = vk.Graph()
    bad.nodes[1] = na
    bad.edges["e"] = 2
    refused = vk.Graph()
    refused.nodes["r"] = vk.Node(b, {"k": [NAME, 1]})
    big = vk.Graph()  # past the size _repr_svg_ draws
    for i in range(201):
        big.nodes[str(i)] = na
    calls = [
        (lambda: [o.__reduce__() for o in objects], None),
        (lambda: (vk.Application._restore(flat), vk.Graph._restore(props, {}),
                  vk.PathPattern._restore([np_], (ep, ep))), None),
        (lambda: g.query().__reduce__(), TypeError),
        (lambda: vk.Application._restore(("A", 0, 1)), ValueError),
        (lambda: vk.Application._restore((NAME, NAME, 0, 1, 2, 0, None)), TypeError),
        (lambda: vk.Application._restore([NAME]), TypeError),
        (lambda: vk.Graph._restore(props, props), ValueError),
        (lambda: vk.PathPattern._restore([np_], [1]), TypeError),
        (lambda: g.to_dot(), None),
        (lambda: bad.to_dot(), TypeError),
        (lambda: list(g.to_cypher(1)), None),
        (lambda: list(refused.to_cypher()), ValueError),
        (lambda: g.to_cypher(0), ValueError),
        (lambda: bad.to_cypher(), TypeError),
        (lambda: big._repr_svg_(), None),
    ]
    if importlib.util.find_spec("networkx"):
        calls += [(third_party(lambda: small.to_networkx()), None),
                  (lambda: bad.to_networkx(), TypeError)]
    return calls, objects + [b, nb, props, g.nodes, g.edges, flat, small, bad, refused, big]


def cycle_calls():
    # Every reference cycle of test_cycles, built and dropped: each holds
    # `shared`, so a cycle left uncollected shows in its reference count.
    import test_cycles

    shared = ["shared"]
    calls = [(lambda build=build: build(shared), None) for build in test_cycles.CYCLES]
    return calls, [shared]


def path_calls():
    v, w = vk.Variable(NAME), vk.Variable(NAME + "w")
    a, b = vk.Node(v, {"k": [1]}), vk.Node(w)
    f = vk.Edge(vk.Term(NAME, vk.Application(v, w)), a, b, {"k": [2]})
    g = vk.Graph()
    g.nodes[a.uid()], g.nodes[b.uid()], g.edges[f.uid()] = a, b, f
    p = vk.Path([a, b], [f])
    q = "MATCH p = (x)-[r*0..2]-(y) RETURN p, r, nodes(p), relationships(p), length(p)"
    calls = [
        (lambda: vk.Path([a, b], [f]), None),
        (lambda: (repr(p), hash(p), p == p, p.nodes, p.edges, len(p)), None),
        (lambda: vk.Path([b, b], [f]), ValueError),
        (lambda: vk.Path([a], [NAME]), TypeError),
        (lambda: g.cypher(q), None),
        (lambda: g.cypher("MATCH (x), (y) MATCH p = allShortestPaths((x)-[*]-(y)) RETURN p"),
         ValueError),
        (lambda: g.cypher("MATCH (x) WHERE exists { (x)-->(y) WHERE y.k = [1] } "
                          "RETURN [(x)-[*]->(z) | z.k] AS v"), None),
        (lambda: g.query().match("(x)-[*]->(y)"), ValueError),
    ]
    return calls, [a, b, f, p, a.properties, f.properties]


GROUPS = {
    "paths": path_calls,
    "types": type_calls,
    "terms": term_calls,
    "nodes-and-edges": node_edge_calls,
    "graph": graph_calls,
    "schemas": schema_calls,
    "patterns": pattern_calls,
    "query-builders": query_build_calls,
    "query-execution": query_run_calls,
    "pickle-and-bridges": pickle_and_bridge_calls,
    "cycles": cycle_calls,
}


class _Never(Exception):
    pass


def run(calls, rounds):
    for _ in range(rounds):
        for fn, exc in calls:
            try:
                fn()
            except exc:
                pass


@pytest.mark.parametrize("group", list(GROUPS))
def test_no_leak(group):
    calls, watched = GROUPS[group]()
    watched = watched + [NAME]
    for i, (fn, exc) in enumerate(calls):
        if exc is None:
            fn()
        else:
            with pytest.raises(exc):
                fn()
    calls = [(fn, exc or _Never) for fn, exc in calls]
    run(calls, 200)  # warm up: caches, free lists, interned names

    gc.collect()
    refs0 = [sys.getrefcount(o) for o in watched]
    blocks0, rss0 = sys.getallocatedblocks(), rss()
    run(calls, ROUNDS)
    gc.collect()
    refs1 = [sys.getrefcount(o) for o in watched]
    blocks1, rss1 = sys.getallocatedblocks(), rss()

    changed = [(repr(o)[:60], r0, r1) for o, r0, r1 in zip(watched, refs0, refs1) if r0 != r1]
    assert not changed, changed
    if not SANITIZED:
        assert blocks1 - blocks0 < BLOCK_SLACK, (blocks0, blocks1)
        if rss0 is not None:
            assert rss1 - rss0 < RSS_SLACK, (rss0, rss1)


def test_reimport_does_not_leak():
    # The module object is made once; importing it again hands it out again.
    def reimport():
        sys.modules.pop("velkora")
        assert importlib.import_module("velkora") is vk

    reimport()
    gc.collect()
    refs0, blocks0 = sys.getrefcount(vk), sys.getallocatedblocks()
    for _ in range(ROUNDS // 20):
        reimport()
    gc.collect()
    assert sys.getrefcount(vk) == refs0
    if not SANITIZED:
        assert sys.getallocatedblocks() - blocks0 < BLOCK_SLACK
