import inspect

import pytest
from hypothesis import given, settings, strategies as st

import velkora as vk
from velkora import Application as Ap, TypeSchema, Variable as V

A, B, C = V("A"), V("B"), V("C")
AB = Ap(A, B)

MATCH_CASES = [
    # (schema, type, matches)
    ("$*$", A, True),
    ("$*$", AB, True),
    ("  $*$\t", AB, True),
    ("$* -> *$", AB, True),
    ("$* -> *$", A, False),
    ("$Person$", V("Person"), True),
    ("Person", V("Person"), True),
    ("$Person$", V("person"), False),
    ("$ Person $", V("Person"), False),
    ("$ Person $", V(" Person "), True),
    ("*", V("*"), True),
    ("*", A, False),
    ("$*$", V("*"), True),
    ("$A -> B$", AB, True),
    ("A -> B", AB, True),
    ("(A -> B)", AB, True),
    ("$(A -> B)$", AB, False),
    ("$A -> B$", Ap(B, A), False),
    ("$A -> B$", A, False),
    ("$A->B$", AB, True),
    ("$A -> B -> C$", Ap(A, Ap(B, C)), True),
    ("$A -> B -> C$", Ap(AB, C), False),
    ("$(A -> B) -> C$", Ap(AB, C), False),
    ("$* -> C$", Ap(AB, C), True),
    ("$(f:A -> B) -> C$", Ap(AB, C), True),
    ("$(f:A -> B) -> C$", Ap(Ap(B, A), C), False),
    ("$(x:*) -> $(y:*)$", AB, False),
    ("$ (x:*) -> (y:*) $", AB, True),
    ("$ (x:*) -> (y:*) $", A, False),
    ("", V(""), True),
    ("   ", V(""), True),
    ("", A, False),
    ("$$", V(""), True),
    ("$()$", A, False),
    ("$(A)$", A, False),
    ("$(x:A)$", A, True),
    ("$( x : A )$", A, True),
    ("$(x:$A$)$", A, False),
    ("$(x:$A$)$", V("$A$"), True),
    ("$(x:$A$)$", A, False),
    ("$A$B$", V("A$B"), True),
    ("A$", V("A$"), True),
    ("$A:B$", V("$A:B$"), True),
    ("$Ä -> B$", Ap(V("Ä"), B), True),
    ("$名前 -> 型$", Ap(V("名前"), V("型")), True),
    ("$Ä\u3000->\u00a0B$", Ap(V("Ä"), B), True),
    # the depth counter may go below zero; only exactly zero splits
    ("$A) -> (B$", Ap(V("A)"), V("(B")), False),
    ("$A -> B)$", Ap(A, V("B)")), True),
    ("$((A -> B$", AB, False),
    ("$(A -> B) -> C -> D$", Ap(AB, Ap(C, V("D"))), False),
    # trimming is exactly Unicode White_Space
    ("\u3000\u2028$*$\u0085\u00a0", A, True),
    ("\u200b$*$", V("\u200b$*$"), True),
    ("\x1c$*$", V("\x1c$*$"), True),
    ("\x1c$*$", A, False),
    # a lone "$" is read as a plain name
    ("$", V("$"), True),
    (" $ ", V("$"), True),
    ("$", V(""), False),
    ("$", A, False),
]


@pytest.mark.parametrize("schema,typ,expected", MATCH_CASES)
def test_matches(schema, typ, expected):
    assert TypeSchema(schema).matches(typ) is expected


CAPTURE_CASES = [
    # (schema, type, captures)
    ("$(x:*)$", A, {"x": A}),
    ("$(x:A)$", B, {}),
    ("$A -> B$", AB, {}),
    ("$(f:A -> B) -> C$", Ap(AB, C), {"f": AB}),
    ("$ (x:*) -> (y:*) $", AB, {"x": A, "y": B}),
    ("$(x:*) -> $(y:*)$", AB, {}),
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
    assert all(type(v) is type(expected[k]) for k, v in got.items())


def test_captured_types_are_new_objects():
    t = Ap(A, B)
    got = TypeSchema("$(f:*)$").capture(t)
    assert got["f"] == t and got["f"] is not t
    got["f"].left.name = "Z"
    assert str(t) == "(A -> B)"


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


def test_constructor_and_methods_bind_arguments():
    assert str(inspect.signature(TypeSchema)) == "(pattern)"
    assert TypeSchema(pattern="$A$").matches(type=A)
    with pytest.raises(TypeError, match="argument 'pattern'"):
        TypeSchema(3)
    with pytest.raises(TypeError, match="missing 1 required"):
        TypeSchema("$A$").capture()
    with pytest.raises(AttributeError):
        TypeSchema("$A$").pattern = "$B$"


# ----- generated input ---------------------------------------------------------
#
# The matcher is compared with a direct transcription of the matching rules,
# string slicing and recursion, on random text and on schemas rendered from
# random types; long renderings exercise the matcher's index over long text.

WHITE_SPACE = set(map(chr, [*range(9, 14), 0x20, 0x85, 0xA0, 0x1680, *range(0x2000, 0x200B),
                            0x2028, 0x2029, 0x202F, 0x205F, 0x3000]))


def trim(s):
    i, j = 0, len(s)
    while i < j and s[i] in WHITE_SPACE:
        i += 1
    while j > i and s[j - 1] in WHITE_SPACE:
        j -= 1
    return s[i:j]


def reference(p, t, caps):
    s = trim(p)
    if s == "$*$":
        return True
    delimited = len(s) >= 2 and s[0] == "$" and s[-1] == "$"
    if delimited and "->" not in s and ":" not in s and "(" not in s:
        return s[1:-1] == "*" or (isinstance(t, V) and t.name == s[1:-1])
    if s.startswith("$(") and s.endswith(")$"):
        body = s[2:-2]
        if ":" not in body:
            return False
        name, sub = body.split(":", 1)
        if not reference("$" + trim(sub) + "$", t, caps):
            return False
        caps[trim(name)] = t
        return True
    if "->" not in s:
        return isinstance(t, V) and t.name == s
    body = s[1:-1] if delimited else s
    if body.startswith("(") and body.endswith(")"):
        body = body[1:-1]
    depth = 0
    for i, ch in enumerate(body):
        if ch == "(":
            depth += 1
        elif ch == ")":
            depth -= 1
        elif ch == "-" and body[i + 1:i + 2] == ">" and depth == 0:
            break
    else:
        return False
    if not isinstance(t, Ap):
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
        return f"{pad}({draw(names)}:{inner}){draw(blanks)}"
    if isinstance(t, V):
        return pad + t.name + draw(blanks)
    left = draw(rendered(t.left))
    if isinstance(t.left, Ap) and not left.strip().startswith(("(", "*")):
        left = f"(f:{left})"
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


ALPHABET = "()[]{}<>-:$* ,AaBÄ\u3000\u00a0\t"


@settings(max_examples=600, deadline=None)
@given(st.text(alphabet=ALPHABET, max_size=400), types)
def test_random_text_agrees_with_reference(schema, t):
    check_against_reference(schema, t)


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
