import inspect
import re

import pytest
from hypothesis import given, settings, strategies as st

import velkora as vk
from velkora import Application as Ap, TypeSchema, Variable as V

A, B, C = V("A"), V("B"), V("C")
AB = Ap(A, B)

Ä = V("Ä")

# (schema, types it matches, types it does not match)
MATCH_CASES = [
    ("$*$", [A, AB, V("*")], []),
    ("$* -> *$", [AB], [A]),
    ("$Person$", [V("Person")], [V("person"), V("$Person$")]),
    ("Person", [V("Person")], [A]),
    ("$ Person $", [V(" Person ")], [V("Person")]),
    ("*", [V("*")], [A, AB]),
    ("$A -> B$", [AB], [Ap(B, A), A]),
    ("A -> B", [AB], [A]),
    ("(A -> B)", [AB], [A]),
    # a group without a name only groups: a type's own text matches it
    ("$(A -> B)$", [AB], [Ap(B, A), A]),
    ("$(A)$", [A], [B, AB]),
    ("$A -> B -> C$", [Ap(A, Ap(B, C))], [Ap(AB, C)]),
    ("$(A -> B) -> C$", [Ap(AB, C)], [Ap(A, Ap(B, C))]),
    ("$(f:A -> B) -> C$", [Ap(AB, C)], [Ap(Ap(B, A), C)]),
    # the parentheses after "$" and before "$" do not belong together
    ("$(x:*) -> (y:*)$", [AB, Ap(AB, AB)], [A]),
    ("(A) -> (B)", [AB], [A]),
    ("$ (x:*) -> (y:*) $", [AB], [A]),
    ("", [V("")], [A]),
    ("$()$", [V("")], [A]),
    ("$( x : A )$", [A], [B]),
    ("$(x:$A$)$", [V("$A$")], [A]),
    ("$A$B$", [V("A$B")], []),
    ("$A:B$", [V("$A:B$")], [V("A:B")]),
    ("$Ä -> B$", [Ap(Ä, B)], [Ap(B, Ä)]),
    ("$名前 -> (t:型)$", [Ap(V("名前"), V("型"))], []),
    ("$Ä\u3000->\u00a0B$", [Ap(Ä, B)], []),
    # the depth counter may go below zero; only exactly zero splits
    ("$A) -> (B$", [], [Ap(V("A)"), V("(B"))]),
    ("$A -> B)$", [Ap(A, V("B)"))], []),
    # trimming is exactly Unicode White_Space
    ("\u3000\u2028$*$\u0085\u00a0", [A], []),
    ("\u200b$*$", [V("\u200b$*$")], [A]),
    ("\x1c$*$", [V("\x1c$*$")], [A]),
    # a lone "$" is read as a plain name
    (" $ ", [V("$")], [V(""), A]),
]


@pytest.mark.parametrize("schema,yes,no", MATCH_CASES)
def test_matches(schema, yes, no):
    s = TypeSchema(schema)
    assert [s.matches(t) for t in yes + no] == [True] * len(yes) + [False] * len(no)


CAPTURE_CASES = [
    # (schema, type, captures)
    ("$(x:*)$", A, {"x": A}),
    ("$(x:A)$", B, {}),
    ("$A -> B$", AB, {}),
    ("$(f:A -> B) -> C$", Ap(AB, C), {"f": AB}),
    ("$ (x:*) -> (y:*) $", AB, {"x": A, "y": B}),
    ("$(x:*) -> (y:*)$", AB, {"x": A, "y": B}),
    # a group's name ends at its first ":" outside the groups inside it
    ("$((f:A -> B)) -> (C)$", Ap(AB, C), {"f": AB}),
    ("$(a(b):*)$", A, {"a(b)": A}),
    # innermost first: the outer group of a name replaces the inner one
    ("$(x:(y:*) -> *)$", AB, {"x": AB, "y": A}),
    ("$(x:(x:*) -> *)$", AB, {"x": AB}),
    ("$ (x:*) -> (x:*) $", AB, {"x": B}),
    # a failing right side drops the captures of the left side
    ("$ (x:*) -> (y:C) $", AB, {}),
    ("$(Ä:* -> (ö:B))$", AB, {"Ä": AB, "ö": B}),
    ("$(:*)$", A, {"": A}),
]


@pytest.mark.parametrize("schema,typ,expected", CAPTURE_CASES)
def test_capture(schema, typ, expected):
    got = TypeSchema(schema).capture(typ)
    assert got == expected
    assert all(type(v) is type(expected[k]) and v is not typ for k, v in got.items())


@pytest.mark.parametrize("method", ["matches", "capture"])
@pytest.mark.parametrize("arg", ["A", None, 1, vk.Term("x", A)])
def test_non_type_argument(method, arg):
    with pytest.raises(TypeError, match="^Expected Variable or Application$"):
        getattr(TypeSchema("$*$"), method)(arg)


@pytest.mark.parametrize("text", ["$A$", "  $ A $ ", 'say "hi"\n', ""])
def test_text_forms_and_pattern(text):
    s = TypeSchema(text)
    assert s.pattern == text
    assert str(s) == repr(s) == f'TypeSchema("{text}")'


def test_arguments():
    assert str(inspect.signature(TypeSchema)) == "(pattern)"
    assert TypeSchema(pattern="$A$").matches(type=A)
    with pytest.raises(TypeError, match="argument 'pattern'"):
        TypeSchema(3)
    with pytest.raises(AttributeError):
        TypeSchema("$A$").pattern = "$B$"


# ----- generated input ---------------------------------------------------------
#
# The matcher is compared with a direct transcription of the matching rules,
# string slicing and recursion, on random text and on schemas rendered from
# random types; long renderings exercise the matcher's index over long text.

WHITE_SPACE = "".join(map(chr, [*range(9, 14), 0x20, 0x85, 0xA0, 0x1680, *range(0x2000, 0x200B),
                                 0x2028, 0x2029, 0x202F, 0x205F, 0x3000]))


def trim(s):
    return s.strip(WHITE_SPACE)


def depths(x):
    """The depth before each character of x: "(" opens, ")" closes."""
    out, depth = [], 0
    for ch in x:
        out.append(depth)
        depth += (ch == "(") - (ch == ")")
    return out


def top_level(x, token):
    """Index of the first token in x with as many "(" as ")" before it, or -1."""
    return next((i for i, d in enumerate(depths(x))
                 if d == 0 and x[i] not in "()" and x.startswith(token, i)), -1)


def pairs(x):
    """Whether x is "(...)" with the first "(" closed by the last ")"."""
    d = depths(x)
    return x[:1] == "(" and x[-1:] == ")" and min(d[1:], default=0) > 0 and d[-1] == 1


def reference(p, t, caps):
    s = trim(p)
    if s == "$*$":
        return True
    delimited = len(s) >= 2 and s[0] == "$" and s[-1] == "$"
    if delimited and "->" not in s and ":" not in s and "(" not in s:
        return s[1:-1] == "*" or (isinstance(t, V) and t.name == s[1:-1])
    if delimited and pairs(s[1:-1]):
        body = s[2:-2]
        colon = top_level(body, ":")
        if colon < 0:
            return reference("$" + trim(body) + "$", t, caps)
        name, sub = body[:colon], body[colon + 1:]
        if not reference("$" + trim(sub) + "$", t, caps):
            return False
        caps[trim(name)] = t
        return True
    if "->" not in s:
        return isinstance(t, V) and t.name == s
    body = s[1:-1] if delimited else s
    if pairs(body):
        body = body[1:-1]
    i = top_level(body, "->")
    if i < 0 or not isinstance(t, Ap):
        return False
    return (reference("$" + trim(body[:i]) + "$", t.left, caps)
            and reference("$" + trim(body[i + 2:]) + "$", t.right, caps))


def check_against_reference(schema, t):
    caps = {}
    expected = reference(schema, t, caps)
    s = TypeSchema(schema)
    assert s.matches(t) is expected
    assert s.capture(t) == (caps if expected else {})


names = st.sampled_from(["A", "B", "Ä", "x", "", "*", "$", "long" * 40])
types = st.recursive(names.map(V), lambda sub: st.builds(Ap, sub, sub), max_leaves=24)
blanks = st.text(alphabet=" \t\u3000\u00a0", max_size=40)


@st.composite
def rendered(draw, t):
    """Schema text for t, with random wildcards, groups and blanks."""
    pad = draw(blanks)
    choice = draw(st.integers(0, 3))
    if choice == 0:
        return pad + "*"
    if choice == 1:
        inner = draw(rendered(t))
        name = draw(st.one_of(names.map(lambda n: n + ":"), st.just("")))
        return f"{pad}({name}{inner}){draw(blanks)}"
    if isinstance(t, V):
        return pad + t.name + draw(blanks)
    left = draw(rendered(t.left))
    if isinstance(t.left, Ap) and not left.strip().startswith(("(", "*")):
        left = draw(st.sampled_from([f"(f:{left})", f"({left})"]))
    return f"{pad}{left}{draw(blanks)}->{draw(rendered(t.right))}"


@st.composite
def schema_and_type(draw):
    t = draw(types)
    body = draw(rendered(t))
    wrap = draw(st.sampled_from(["${}$", "$ {} $", "{}", "({})"]))
    other = draw(st.sampled_from([t, draw(types)]))
    return wrap.format(body), other


@settings(max_examples=400, deadline=None)
@given(schema_and_type())
def test_rendered_schemas_agree_with_reference(case):
    check_against_reference(*case)


# Names without "$ ( ) : - > *" or blanks; the empty name included.
plain_names = st.sampled_from(["A", "B", "", "x1", "Ä", "<", "名"])
plain_types = st.recursive(plain_names.map(V), lambda sub: st.builds(Ap, sub, sub), max_leaves=12)


@settings(max_examples=400, deadline=None)
@given(plain_types, plain_types)
def test_a_type_text_as_schema_matches_exactly_that_type(t, other):
    s = TypeSchema("$" + str(t) + "$")
    assert s.matches(t) and s.capture(t) == {}
    assert s.matches(other) is (other == t)


ALPHABET = "()[]{}<>-:$* ,AaBÄ\u3000\u00a0\t"


@settings(max_examples=600, deadline=None)
@given(st.text(alphabet=ALPHABET, max_size=400), types)
def test_random_text_agrees_with_reference(schema, t):
    check_against_reference(schema, t)


# ----- schemas applied by queries ---------------------------------------------
#
# A match or a where clause reads its schema once and keeps a verdict per type
# value for the rest of its walk; each candidate must still be decided as
# TypeSchema.matches decides it, for candidates that share one type value and
# for equal types held as separate values.


def twin(t):
    """An equal type built anew, sharing no part with t."""
    return V(t.name) if isinstance(t, V) else Ap(twin(t.left), twin(t.right))


@settings(max_examples=300, deadline=None)
@given(st.one_of(schema_and_type().map(lambda c: c[0]), st.text(alphabet=ALPHABET, max_size=60)),
       st.lists(types, min_size=1, max_size=6), st.lists(st.integers(0, 2), max_size=12))
def test_queries_decide_each_candidate_as_matches_does(schema, pool, picks):
    candidates = pool + [pool[i % len(pool)] if k == 0 else twin(pool[i % len(pool)])
                         for i, k in enumerate(picks)]
    g = vk.Graph()
    for i, t in enumerate(candidates):
        g.nodes[f"k{i}"] = vk.Node(t, {"i": i})
    expected = [i for i, t in enumerate(candidates) if TypeSchema(schema).matches(t)]
    rows = g.query().match(node="n", type_schema=schema).return_("n")
    assert [r["n"].properties["i"] for r in rows] == expected
    if "$" not in schema:  # a where clause takes the schema between dollars
        rows = g.query().match(node="n").where(f"n:${schema}$").return_("n")
        assert [r["n"].properties["i"] for r in rows] == [
            i for i, t in enumerate(candidates) if TypeSchema(f"${schema}$").matches(t)]


# ----- the one type a schema names ---------------------------------------------
#
# A merge without `type` on an empty graph creates the node of the type its
# schema names, and nothing when it names no one type.


def named(schema):
    rows = vk.Graph().query().merge(node="n", type_schema=schema).return_("n")
    return rows[0]["n"].type if rows else None


@pytest.mark.parametrize("schema,expected", [
    ("Person", V("Person")),
    ("$(f:A -> B) -> C$", Ap(AB, C)),
    ("$(A) -> ((B))$", AB),
    ("$*$", None), ("$(x:*)$", None), ("$A -> (y:*)$", None), ("$A) -> (B$", None),
    # without "$" signs, "*" is a plain name; "" and "$$" name the empty name
    ("*", V("*")), (" * ", V("*")), ("", V("")), ("$$", V("")), ("$()$", V("")),
    ("$(a(b):A)$", A), ("$A:B$", V("$A:B$")), ("$$A$$", V("$A$")), (" $ ", V("$")),
])
def test_named_type(schema, expected):
    assert named(schema) == expected


plain_names = st.text(st.characters(blacklist_categories=("Z", "C"), blacklist_characters="$():->*"),
                      min_size=1, max_size=6)
plain_types = st.recursive(plain_names.map(V), lambda sub: st.builds(Ap, sub, sub), max_leaves=12)


@settings(max_examples=300, deadline=None)
@given(plain_types, st.sampled_from(["${}$", "{}", " \t${}$\u3000"]))
def test_printed_type_names_itself(t, wrap):
    assert named(wrap.format(t)) == t


@st.composite
def label(draw):
    body = draw(rendered(draw(types)))
    if draw(st.booleans()):
        body = f"({body})"
    return draw(st.sampled_from(["${}$", "$ {} $", "{}"])).format(body)


@settings(max_examples=400, deadline=None)
@given(st.one_of(label(), st.text(alphabet=ALPHABET, max_size=60)))
def test_named_type_is_matched(schema):
    t = named(schema)
    if t is not None:
        assert TypeSchema(schema).matches(t)


FRESH = V("\x00fresh")  # a name no generated schema holds


def places(t):
    """Every variant of t with one of its sub-types replaced by FRESH."""
    yield FRESH
    if isinstance(t, Ap):
        yield from (Ap(v, t.right) for v in places(t.left))
        yield from (Ap(t.left, v) for v in places(t.right))


def near_types(schema, seeds):
    """Types built from the schema's atoms and near variants of its text."""
    body = trim(schema)
    words = {w for w in re.split(r"\s+|->|[$():]", schema)} | {body, body[1:-1], body.strip("$")}
    words |= {f"${w}$" for w in list(words)}
    atoms = [V(w) for w in sorted(words)[:12]]
    return atoms + [Ap(a, b) for a in atoms[:5] for b in atoms[:5]] + seeds


@st.composite
def schema_with_seed(draw):
    t = draw(types)
    if draw(st.booleans()):
        return draw(label()), []
    wrap = draw(st.sampled_from(["${}$", "$ {} $", "{}", " {} "]))
    body = draw(st.one_of(st.just(str(t)), rendered(t), st.text(alphabet=ALPHABET, max_size=60)))
    return wrap.format(body), [t]


@settings(max_examples=500, deadline=None)
@given(schema_with_seed())
def test_named_type_is_the_only_type_matched(case):
    # The reader names T exactly when the matcher matches T and no other
    # type. A matched type one of whose places can be anything (FRESH passes
    # there) shows a schema that matches more than one type.
    schema, seeds = case
    s, t = TypeSchema(schema), named(schema)
    pool = near_types(schema, seeds)
    if t is not None:
        assert s.matches(t)
        assert not [c for c in pool + list(places(t)) if c != t and s.matches(c)]
    else:
        for c in pool:
            if s.matches(c):
                assert any(s.matches(v) for v in places(c)), c


# ----- deep nesting ------------------------------------------------------------

DEEP = r"""
import time, velkora as vk
V, Ap, S = vk.Variable, vk.Application, vk.TypeSchema
N = 50_000
A = V("A")
start = time.perf_counter()

# "$(a:" repeated: the inner group is wrapped as "$$(a:...)$$", a plain name
s = "$(a:" * N + "*" + ")$" * N
inner = "$" + s[4:-2] + "$"
assert not S(s).matches(A)
assert S(s).capture(V(inner)) == {"a": V(inner)}

# groups nested N deep inside one pair of delimiters
s = "$" + "(a:" * N + "*" + ")" * N + "$"
assert S(s).capture(A) == {"a": A}

# a right-grouped arrow chain against a type of the same depth
chain = A
for _ in range(N):
    chain = Ap(A, chain)
s = "$" + "A -> " * N + "A$"
assert S(s).matches(chain)
assert not S(s + " -> A").matches(chain)

# left-nested named groups: each level splits after a group N levels deep
left = A
for _ in range(N):
    left = Ap(left, A)
s = "$" + "(f:" * N + "A" + " -> A)" * N + "$"
assert S(s).capture(left) == {"f": left}
assert not S(s.replace("A)$", "B)$")).matches(left)
print("ok %.2f" % (time.perf_counter() - start))
"""


def test_deep_schemas_in_subprocess(python_subprocess):
    r = python_subprocess(DEEP, timeout=300)
    assert r.returncode == 0, r.stderr[-2000:]
    assert r.stdout.startswith("ok")
