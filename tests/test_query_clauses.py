"""where, order_by, skip, limit and with_ at execution, and the condition
language of where."""
from fractions import Fraction

import pytest
from hypothesis import given, settings, strategies as st

import velkora as vk

T, U = vk.Variable("T"), vk.Variable("U")


def one_node_query(**props):
    g = vk.Graph()
    n = vk.Node(T, props)
    g.nodes[n.uid()] = n
    return g.query().match(node="n")


PROPS = {"i": 3, "f": 2.5, "s": "abc", "none": None, "tags": ["a", 3, [1, 2]], "t": True,
         "one": 1, "frac": Fraction(1, 2)}

# condition, its value at the node with PROPS: True, False or None (null)
CONDITIONS = [
    ("n.i = 3", True), ("n.i = 3.0", True), ("n.i <> 3", False), ("n.i != 4", True),
    ("n.missing = 1", None), ("n.none = null", None), ("null <> null", None),
    ("n.i < 'x'", None), ("n.s < 'abd'", True), ("n.f >= 2.5", True), ("-1 < n.i", True),
    ("1e3 > n.i", True), ("n.i < 99999999999999999999999", True), ("false OR .5 < n.f", True),
    ("n.missing IS NULL", True), ("n.none IS NULL", True), ("n.i IS NOT NULL", True),
    ("(n.i = n.none) IS NULL", True), ("n.tags = ['a', 3, [1, 2]]", True),
    ("3 IN n.tags", True), ("'b' IN n.tags", False), ("[1, 2] IN n.tags", True),
    ("null IN [1]", None), ("1 IN n.s", None), ("n.i IN [1, 2, 3.0]", True), ("1 IN []", False),
    ("n.s STARTS WITH 'ab'", True), ("n.s ENDS WITH 'bc'", True), ("n.s CONTAINS 'x'", False),
    ("n.i CONTAINS '3'", None), ("n.s contains n.none", None),
    ("n:T", True), ("n:$*$", True), ("n:U", False), ("n:`T`", True), ("n:$T -> T$", False),
    ("true AND null", None), ("false AND null", False), ("true OR null", True),
    ("false OR null", None), ("true XOR null", None), ("true XOR false", True),
    ("true XOR true", False), ("NOT null", None), ("NOT NOT true", True), ("NOT NOT n.i", None),
    ("n.t", True), ("n.i", None), ("n.i AND true", None),
    ("true OR true AND false", True), ("NOT false AND false", False),
    ("true XOR true OR true", True), ("true XOR true AND false", True),
    ("n.i in [3] and TRUE", True), ("n.`i` = 3", True), ("`n`.i = 3", True),
    ("'it\\'s' = \"it's\"", True), ("'a\\tb' CONTAINS '\\t'", True), ("NOT " * 1001 + "true", False),
    ("1 < n.i <= 3", True), ("n.i IN [n.f, 3]", True), ("n = n", True), ("n", None),
    ("n.frac = 0.5", True), ("size(n.tags) = 3 AND n.i + 1 = 4", True), ("n.i != 3", False),
]

# Where openCypher's comparisons differ from Python's, and the builder follows them.
CYPHER_COMPARISONS = [
    ("n.one = true", False), ("n.t = 1", False), ("n.t <> 1", True), ("[1] = [true]", False),
    ("[1, null] = [1, null]", None), ("n.t > 0", None), ("n.one < true", None),
    ("[n.one] < [true]", None), ("n.frac < 1", None), ("n.frac >= n.frac", None),
    ("null IN []", False), ("1 IN [null]", None), ("n.i IN [null, 4]", None),
]


@pytest.mark.parametrize("condition, value", CONDITIONS + CYPHER_COMPARISONS,
                         ids=[c for c, _ in CONDITIONS + CYPHER_COMPARISONS])
def test_condition_values(condition, value):
    # A position stays when the condition is true; false and null differ under NOT.
    kept = one_node_query(**PROPS).where(condition).return_count()
    kept_by_not = one_node_query(**PROPS).where(f"NOT ({condition})").return_count()
    assert (kept, kept_by_not) == {True: (1, 0), False: (0, 1), None: (0, 0)}[value]


@pytest.mark.parametrize("condition, reason", [
    ("", "empty condition"),
    ("  ", "empty condition"),
    ("n.", "expected a property name, found end of condition at position 2"),
    ("n: = 1", "expected a label, found '=' at position 3"),
    ("(n.x = 1", "expected ')', found end of condition at position 8"),
    ("n.x = 1)", "expected end of condition, found ')' at position 7"),
    ("n.x = 'abc", "unterminated string at position 6"),
    ("`n.x = 1", "unterminated backquoted name at position 0"),
    ("n:$A -> B", "unterminated type schema (a label written between '$' signs) at position 2"),
    ("n.x = 'a\\qb'", "invalid escape sequence '\\q' at position 8"),
    ("n.x = 12ab", "invalid number at position 6"),
    ("n.x = 1.2.3", "expected end of condition, found '.3' at position 9"),
    ("n.x # 1", "unexpected character '#' at position 4"),
    ("é.x ≠ 1", "expected end of condition, found '≠' at position 4"),
    ("n.x IS 1", "expected NULL, found '1' at position 7"),
    ("n.x STARTS 'a'", "expected WITH, found ''a'' at position 11"),
    ("NOT", "expected an expression, found end of condition at position 3"),
    ("n.x = NOT true", "expected an expression, found 'NOT' at position 6"),
    ("and.x = 1", "expected an expression, found 'and' at position 0"),
    ("n.x = $p", "a where condition takes no parameters, found $p at position 6"),
    ("n.x = 1 OR (n)-->()", "a where condition holds no pattern (match it instead) at position 11"),
    ("count(n) > 1", "aggregate function count() is not allowed in a where condition at position 0"),
])
def test_syntax_errors_at_the_builder(condition, reason):
    q = one_node_query(i=1)
    with pytest.raises(ValueError) as info:
        q.where(condition)
    assert str(info.value) == f"Invalid query: {reason} (condition '{condition}')"
    assert q.return_count() == 1  # nothing was queued


def test_builder_rules_beside_cypher():
    g = vk.Graph()
    for k in [2, True, 0]:
        n = vk.Node(vk.Variable(f"T{k!r}"), {"k": k, "s": "abc"})
        g.nodes[n.uid()] = n
    # Property maps and order_by keep Python's == and ordering; where does not.
    assert g.query().match(node="n", properties={"k": 1}).return_count() == 1
    assert g.query().match(node="n").where("n.k = 1").return_count() == 0
    rows = g.query().match(node="n").order_by("n", "k").return_("n")
    assert [r["n"].properties["k"] for r in rows] == [0, True, 2]
    # IN over a value that is no list: null here, a TypeError in cypher().
    assert g.query().match(node="n").where("NOT (1 IN n.s)").return_count() == 0
    with pytest.raises(TypeError):
        g.cypher("MATCH (n) WHERE 1 IN n.s RETURN n")


def test_nodes_reaching_user_code_stay_as_they_were():
    class Capture:
        def __eq__(self, other):
            seen.append(other)
            return False

        __hash__ = None

    seen = []
    g = vk.Graph()
    for i in range(3):
        n = vk.Node(vk.Variable(f"T{i}"), {"id": i, "cap": Capture()})
        g.nodes[n.uid()] = n
    assert g.query().match(node="n").where("n.cap = n OR n.id >= 1").return_count() == 2
    assert [n.properties["id"] for n in seen] == [0, 1, 2]


def test_long_flat_conditions():
    q = one_node_query(i=3)
    assert q.where(" AND ".join(["n.i = 3"] * 50_000)).return_count() == 1
    assert q.where("(" * 200 + "n.i = 3" + ")" * 200).return_count() == 1


# ----- binding groups ----------------------------------------------------------------


@pytest.fixture
def g():
    """Three edges T->U; every node and edge has an "id" and a "k"."""
    g = vk.Graph()
    for i, k in enumerate([3, 1, 2]):
        s, e = vk.Node(T, {"id": f"s{i}", "k": k}), vk.Node(U, {"id": f"e{i}", "k": -k})
        edge = vk.Edge(vk.Term(f"f{i}", vk.Application(T, U)), s, e, {"id": f"f{i}", "k": k * 10})
        g.edges[edge.uid()] = edge
    return g


def ids(rows):
    return [[v.properties["id"] for v in row.values()] for row in rows]


def test_condition_filters_every_list_of_its_group(g):
    q = g.query().match("(a)-[e]->(b)").where("e.k >= 20 AND b.k < 0")
    assert ids(q.return_("a", "e", "b")) == [["s0", "f0", "e0"], ["s2", "f2", "e2"]]
    assert q.return_count() == 2
    typed = g.query().match("(a)-[e]->(b)").where("e:$T -> U$ AND NOT e:$U -> T$ AND b:U")
    assert typed.return_count() == 3


def test_lists_of_other_groups_are_left_alone(g):
    g.nodes["t"] = vk.Node(T, {"id": "t"})
    q = g.query().match(node="t", type=T).match("(a)-[e]->(b)").where("a.k = 1")
    assert ids(q.return_("a", "t")) == [["s1", "t"]]


@pytest.mark.parametrize("build, exc, message", [
    (lambda q: q.match(node="m").where("a.k = m.k AND a.k = 1"), ValueError,
     "Invalid query: condition joins variables bound by separate clauses: 'a', 'm'"),
    # b is bound again by its own match: it leaves the path's group.
    (lambda q: q.match(node="b").where("a.k = b.k"), ValueError,
     "Invalid query: condition joins variables bound by separate clauses: 'a', 'b'"),
    (lambda q: q.where("a.k = 1 OR z.k = 1"), NameError, "Variable 'z' not found (where)"),
    (lambda q: q.with_("e").where("e.k = 1 OR a.k = 1"), NameError, "Variable 'a' not found (where)"),
    (lambda q: q.match(node="m").order_by("a", "k").order_by("m", "k"), ValueError,
     "Invalid query: order_by joins variables bound by separate clauses: 'a', 'm'"),
    (lambda q: q.order_by("a", "k").order_by("z", "k"), NameError,
     "Variable 'z' not found (order_by)"),
])
def test_group_rules(g, build, exc, message):
    q = build(g.query().match("(a)-[e]->(b)"))
    with pytest.raises(exc) as info:
        q.return_("a")
    assert str(info.value) == message


def test_order_by_runs_are_cut_by_other_clauses(g):
    # Two runs of order_by, each on a group of its own: no join error.
    q = (g.query().match("(a)-[e]->(b)").match(node="m", type=T)
         .order_by("a", "k").limit(5).order_by("m", "k"))
    assert ids(q.return_("a")) == [["s1"], ["s2"], ["s0"]]


def test_condition_without_variables_keeps_or_empties_everything(g):
    g.nodes["t"] = vk.Node(T, {"id": "t"})
    q = g.query().match("(a)-[e]->(b)").match(node="m", type=T)
    assert ids(q.where("1 < 2").return_("a", "m")) == [["s0", "t"], ["s1"], ["s2"]]
    assert q.where("1 < null").return_("a", "m") == []


def test_merge_appending_to_a_name_takes_it_out_of_its_group(g):
    g.nodes["t"] = vk.Node(T, {"id": "t"})

    def q():
        return g.query().match("(a)-[e]->(b)").merge(node="a", type=T)

    assert q().return_count() == 4
    with pytest.raises(ValueError, match="separate clauses: 'a', 'e'"):
        q().where("a.k = e.k").execute()
    assert ids(q().where("e.k > 10").return_("e", "b")) == [["f0", "e0"], ["f2", "e2"]]
    assert ids(q().where("e.k > 10").return_("a")) == [["s0"], ["s1"], ["s2"], ["t"]]


def test_with_keeps_the_named_variables_and_their_groups(g):
    q = g.query().match("(a)-[e]->(b)").with_("a", "b", "nope")
    assert ids(q.return_("a", "e", "b")) == [["s0", "e0"], ["s1", "e1"], ["s2", "e2"]]
    assert ids(q.where("b.k < -1").return_("a", "b")) == [["s0", "e0"], ["s2", "e2"]]
    assert g.query().match("(a)-[e]->(b)").with_().return_count() == 0
    assert g.query().match("(a)-[e]->(b)").with_("*").return_count() == 3


# ----- order_by ------------------------------------------------------------------------


def ordered(values, *orders):
    g = vk.Graph()
    for i, v in enumerate(values):
        props = {"pos": i} if v is ... else {"pos": i, "v": v}
        g.nodes[f"n{i}"] = vk.Node(T, props)
    q = g.query().match(node="n")
    for key, ascending in orders:
        q = q.order_by("n", key, ascending)
    return [r["n"].properties["pos"] for r in q.return_("n")]


NAN = float("nan")


@pytest.mark.parametrize("values, ascending, order", [
    ([3, None, 1, ..., 2, 1], True, [2, 5, 4, 0, 1, 3]),  # nulls last, stable
    ([3, None, 1, ..., 2, 1], False, [1, 3, 0, 4, 2, 5]),  # nulls first, stable
    ([1.5, 1, True, -2, 2 ** 70], True, [3, 1, 2, 0, 4]),  # mixed numbers: Python's <
    (["b", "a", "B", "ä"], True, [2, 1, 0, 3]),
    (["b", "a", "B", "ä"], False, [3, 0, 1, 2]),
    ([2.5, -1.0, 1e300, -0.0, 0.0], True, [1, 3, 4, 0, 2]),
    ([(2, 1), (1, 5), (1, 2)], True, [2, 1, 0]),
    ([[3], None, []], False, [1, 0, 2]),
])
def test_order_by_values(values, ascending, order):
    assert ordered(values, ("v", ascending)) == order


@pytest.mark.parametrize("values", [
    ["abcdefghZ", "abcdefghA", "ab", "ab\x00", "ab\x00c", "é", "", "ab"],
    ["€", "a", "z\U0001F600", "z", "€a"],
])
@pytest.mark.parametrize("ascending", [True, False])
def test_order_by_text_as_python_sorts_it(values, ascending):
    expected = sorted(range(len(values)), key=values.__getitem__, reverse=not ascending)
    assert ordered(values, ("v", ascending)) == expected


def test_order_by_nan_gives_some_order_of_all_positions():
    assert sorted(ordered([NAN, 1.0, NAN, 0.5], ("v", True))) == [0, 1, 2, 3]


def test_compound_order_first_clause_primary():
    g = vk.Graph()
    rows = [(1, "b"), (0, "x"), (1, "a"), (0, None), (1, "a")]
    for i, (x, y) in enumerate(rows):
        g.nodes[f"n{i}"] = vk.Node(T, {"pos": i, "x": x, "y": y})
    q = g.query().match(node="n").order_by("n", "x", ascending=False).order_by("n", "y")
    assert [r["n"].properties["pos"] for r in q.return_("n")] == [2, 4, 0, 1, 3]


@pytest.mark.parametrize("values, pair", [
    ([1, "a"], "'str' and 'int'"),
    ([None, 1.5, "a", 2], "'str' and 'float'"),
    ([{1}, 1], "'int' and 'set'"),
])
def test_unorderable_values_name_the_key(values, pair):
    with pytest.raises(TypeError) as info:
        ordered(values, ("v", True))
    assert str(info.value) == f"Cannot order by 'n.v': '<' not supported between instances of {pair}"
    assert isinstance(info.value.__cause__, TypeError)


def test_order_by_other_errors_pass_unchanged():
    class Bad:
        def __lt__(self, other):
            raise KeyError("mine")

    with pytest.raises(KeyError, match="mine"):
        ordered([Bad(), Bad(), 1], ("v", True))


# ----- skip and limit ---------------------------------------------------------------------


@pytest.mark.parametrize("clauses, rows", [
    ([("skip", 1)], [["s1", "m1"], ["s2", "m2"], ["m3"]]),
    ([("limit", 2)], [["s0", "m0"], ["s1", "m1"]]),
    ([("skip", 3)], [["m3"]]),
    ([("skip", 1), ("limit", 1)], [["s1", "m1"]]),
    ([("limit", 1), ("skip", 1)], []),
    ([("skip", 10)], []),
    ([("limit", 0)], []),
    ([("limit", 2 ** 32)], [["s0", "m0"], ["s1", "m1"], ["s2", "m2"], ["m3"]]),
])
def test_skip_and_limit_page_every_list(g, clauses, rows):
    for i in range(4):
        g.nodes[f"m{i}"] = vk.Node(vk.Variable(f"M{i}"), {"id": f"m{i}"})
    q = g.query().match("(a)-[e]->(b)").match(node="m")  # a: three bindings, m: four
    for name, n in clauses:
        q = getattr(q, name)(n)
    assert ids(q.return_("a", "m")) == rows
    assert q.return_count() == len(rows)


def test_clauses_on_nothing_bound():
    q = vk.Graph().query().skip(3).limit(1).with_("x").where("1 = 1")
    assert q.return_("x") == [] and q.return_count() == 0


def test_return_distinct_after_the_clauses(g):
    # Every a is a node of type T, so all have one uid: distinct rows of a alone are one.
    q = g.query().match("(a)-[e]->(b)").order_by("e", "k", ascending=False).skip(1)
    assert ids(q.return_distinct("a", "e")) == [["s2", "f2"], ["s1", "f1"]]
    assert ids(q.return_distinct("a")) == [["s2"]]


# ----- Python code run by the clauses ---------------------------------------------------------


class Hook:
    """Compares by value after running an action once, from == and from <."""

    def __init__(self, value, action):
        self.value, self.action = value, action

    def fire(self):
        action, self.action = self.action, None
        if action:
            action()

    def __eq__(self, other):
        self.fire()
        return self.value == other

    def __lt__(self, other):
        self.fire()
        return self.value < other

    def __gt__(self, other):
        self.fire()
        return self.value > other

    __hash__ = None


@pytest.mark.parametrize("clause", [
    lambda q: q.where("n.k = 1"), lambda q: q.order_by("n", "k"),
    lambda q: q.where("n.k IN [0, 1]"), lambda q: q.where("1 IN n.list"),
])
@pytest.mark.parametrize("action", ["reenter", "mutate"])
def test_python_code_inside_the_clauses(clause, action):
    g = vk.Graph()
    nodes = [vk.Node(vk.Variable(f"T{i}"), {"k": 1 - i % 2, "list": [0, 1]}) for i in range(4)]
    for n in nodes:
        g.nodes[n.uid()] = n
    box, seen = [], []

    def reenter():
        try:
            box[0].return_count()
        except RuntimeError as e:
            seen.append(str(e))

    def mutate():
        g.nodes.clear()
        for n in nodes:
            n.properties.clear()
        seen.append("mutated")

    nodes[1].properties["k"] = Hook(1, reenter if action == "reenter" else mutate)
    nodes[1].properties["list"] = [Hook(1, reenter if action == "reenter" else mutate)]
    q = clause(g.query().match(node="n"))
    box.append(q)
    rows = q.return_("n")
    assert seen == (["Already borrowed"] if action == "reenter" else ["mutated"])
    assert all(type(r["n"]) is vk.Node for r in rows)
    assert isinstance(q.return_count(), int)


def test_list_literals_reach_user_code_as_copies():
    class Grabber:
        def __eq__(self, other):
            other.append("changed")
            return False

        __hash__ = None

    q = one_node_query(x=Grabber()).where("n.x = [1] OR n.x IN [[2]]")
    for _ in range(3):
        assert q.return_count() == 0


# ----- against a plain Python model ------------------------------------------------------------

KEYS = ["x", "y"]  # ints, for order_by; "z" holds values of several kinds
scalar_st = st.one_of(st.integers(-2, 2), st.booleans(), st.sampled_from(["a", "b"]))
props_st = st.fixed_dictionaries(
    {}, optional={"x": st.one_of(st.none(), st.integers(-3, 3)),
                  "y": st.one_of(st.none(), st.integers(-3, 3)),
                  "z": st.one_of(st.none(), scalar_st)})

atom_st = st.one_of(
    st.tuples(st.sampled_from(["a", "e", "b"]), st.sampled_from(KEYS + ["z"]),
              st.sampled_from(["=", "<>", "<", "<=", ">", ">=", "IS NULL", "IS NOT NULL"]),
              scalar_st),
    st.tuples(st.sampled_from(["a", "e", "b"]), st.sampled_from(KEYS + ["z"]), st.just("IN"),
              st.lists(st.one_of(st.none(), scalar_st), max_size=3)))
cond_st = st.recursive(
    atom_st,
    lambda inner: st.one_of(st.tuples(st.just("NOT"), inner),
                            st.tuples(st.sampled_from(["AND", "OR", "XOR"]), inner, inner)),
    max_leaves=6)


def render(c):
    if c[0] == "NOT":
        return f"NOT ({render(c[1])})"
    if c[0] in ("AND", "OR", "XOR"):
        return f"({render(c[1])}) {c[0]} ({render(c[2])})"
    var, key, op, lit = c
    return f"{var}.{key} {op}" if "NULL" in op else f"{var}.{key} {op} {literal(lit)}"


def literal(v):
    if isinstance(v, list):
        return "[" + ", ".join(literal(x) for x in v) + "]"
    return "null" if v is None else repr(v).lower() if isinstance(v, bool) else repr(v)


def kind(v):
    return bool if isinstance(v, bool) else int if isinstance(v, int) else type(v)


def equal(l, r):
    """openCypher's =: null with a null side, false across kinds (1 = true is false)."""
    if l is None or r is None:
        return None
    return kind(l) is kind(r) and l == r


def model(c, row):
    """Three-valued value of a condition at a row: True, False or None."""
    if c[0] == "NOT":
        v = model(c[1], row)
        return None if v is None else not v
    if c[0] in ("AND", "OR", "XOR"):
        l, r = model(c[1], row), model(c[2], row)
        if c[0] == "AND":
            return False if False in (l, r) else None if None in (l, r) else True
        if c[0] == "OR":
            return True if True in (l, r) else None if None in (l, r) else False
        return None if None in (l, r) else l != r
    var, key, op, lit = c
    v = row[var].get(key)
    if op == "IS NULL":
        return v is None
    if op == "IS NOT NULL":
        return v is not None
    if op == "IN":
        if v is None:
            return False if not lit else None
        items = [equal(v, x) for x in lit]
        return True if True in items else None if None in items else False
    if op in ("=", "<>"):
        eq = equal(v, lit)
        return None if eq is None else eq == (op == "=")
    if v is None or kind(v) is not kind(lit):
        return None  # values of different kinds are never ordered
    return {"<": v < lit, "<=": v <= lit, ">": v > lit, ">=": v >= lit}[op]


def sort_rows(rows, orders):
    for var, key, ascending in reversed(orders):
        def sort_key(row):
            v = row[var].get(key)
            return (v is None, 0 if v is None else v)
        rows = sorted(rows, key=sort_key, reverse=not ascending)
    return rows


@settings(max_examples=150, deadline=None)
@given(edges=st.lists(st.tuples(props_st, props_st, props_st), max_size=12),
       condition=st.one_of(st.none(), cond_st),
       orders=st.lists(st.tuples(st.sampled_from(["a", "e", "b"]), st.sampled_from(KEYS),
                                 st.booleans()), max_size=3),
       skip=st.one_of(st.none(), st.integers(0, 5)), limit=st.one_of(st.none(), st.integers(0, 5)))
def test_clauses_agree_with_a_plain_model(edges, condition, orders, skip, limit):
    g = vk.Graph()
    rows = []
    for i, (pa, pe, pb) in enumerate(edges):
        a, b = vk.Node(T, {**pa, "id": i}), vk.Node(U, {**pb, "id": i})
        e = vk.Edge(vk.Term(f"f{i}", vk.Application(T, U)), a, b, {**pe, "id": i})
        g.edges[e.uid()] = e
        rows.append({"a": pa, "e": pe, "b": pb, "id": i})
    q = g.query().match("(a)-[e]->(b)")
    if condition is not None:
        q = q.where(render(condition))
        rows = [r for r in rows if model(condition, r) is True]
    for var, key, ascending in orders:
        q = q.order_by(var, key, ascending)
    rows = sort_rows(rows, orders)
    if skip is not None:
        q = q.skip(skip)
        rows = rows[skip:]
    if limit is not None:
        q = q.limit(limit)
        rows = rows[:limit]
    got = [[r[v].properties["id"] for v in ("a", "e", "b")] for r in q.return_("a", "e", "b")]
    assert got == [[r["id"]] * 3 for r in rows]
