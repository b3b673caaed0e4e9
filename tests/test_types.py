import hashlib
import json
import sys

import pytest
from hypothesis import given, settings, strategies as st

import velkora as vk

A, B, C = vk.Variable("A"), vk.Variable("B"), vk.Variable("C")


def sha(data: bytes) -> str:
    return hashlib.sha256(data).hexdigest()


def test_text_forms():
    ab = vk.Application(A, B)
    nested = vk.Application(ab, C)
    assert (str(A), repr(A)) == ("A", 'Variable("A")')
    assert (str(ab), repr(ab)) == ("(A -> B)", "Application(A, B)")
    assert (str(nested), repr(nested)) == ("((A -> B) -> C)", "Application((A -> B), C)")
    assert repr(vk.Variable('a"b\\c')) == 'Variable("a"b\\c")'
    empty = vk.Variable("")
    assert (str(empty), repr(empty)) == ("", 'Variable("")')


def test_structural_equality_and_hash():
    x, y = vk.Application(A, B), vk.Application(vk.Variable("A"), vk.Variable("B"))
    assert x == y and x is not y
    assert hash(x) == hash(y) and x.uid() == y.uid()
    assert x != vk.Application(B, A)
    assert vk.Application(x, C) == vk.Application(y, C)
    assert len({x, y, vk.Application(B, A)}) == 2


# Types as nested pairs of names; some names print like applications.
structures = st.recursive(st.sampled_from(["A", "B", "", "(A -> B)"]),
                          lambda sub: st.tuples(sub, sub), max_leaves=40)


def build(s):
    return vk.Variable(s) if isinstance(s, str) else vk.Application(build(s[0]), build(s[1]))


@settings(max_examples=300, deadline=None)
@given(structures, structures, st.booleans())
def test_equality_agrees_with_the_structure(a, b, hashed):
    x, y, z = build(a), build(b), build(a)
    if hashed:  # equality may then be decided by the hashes
        hash(x), hash(y)
    assert (x == y) is (a == b) and x == z and vk.Application(x, y) == vk.Application(z, build(b))


@pytest.mark.parametrize(
    "left, right",
    [(A, vk.Application(A, B)), (vk.Application(A, B), A), (A, "A"), (vk.Application(A, B), "(A -> B)")],
)
def test_comparison_with_other_classes_is_identity(left, right):
    assert (left == right) is False
    assert (left != right) is True


@pytest.mark.parametrize("op", ["<", "<=", ">", ">="])
@pytest.mark.parametrize("pair", [(A, B), (vk.Application(A, B), vk.Application(B, A))])
def test_ordering_is_unsupported(op, pair):
    with pytest.raises(TypeError):
        eval(f"x {op} y", {"x": pair[0], "y": pair[1]})


@pytest.mark.parametrize("make", [lambda: vk.Variable("A"), lambda: vk.Application(A, B),
                                  lambda: vk.Term("f", A)])
def test_ne_negates_the_full_eq_of_any_operand(make):
    class Equal:  # == and != both claim True: != must follow the reflected ==
        __eq__ = __ne__ = lambda self, other: True
        __hash__ = object.__hash__

    class Renaming(Equal):
        def __eq__(self, other):
            other.name = "renamed"
            return True

    x = make()
    assert (x != Equal()) is False and (x != object()) is True and (x != make()) is False
    if hasattr(x, "name"):  # the receiver is in use while == runs
        with pytest.raises(RuntimeError, match="^Already borrowed$"):
            x != Renaming()
        assert x.name != "renamed"


def test_uids_match_hashlib():
    assert A.uid() == sha(b"var:A")
    assert vk.Variable("").uid() == sha(b"var:")
    assert vk.Variable("Ä").uid() == sha("var:Ä".encode())
    ab = vk.Application(A, B)
    assert ab.uid() == sha(b"app:" + A.uid().encode() + b":" + B.uid().encode())
    nested = vk.Application(ab, C)
    assert nested.uid() == sha(b"app:" + ab.uid().encode() + b":" + C.uid().encode())


@pytest.mark.skipif(sys.hash_info.algorithm != "siphash13", reason="needs an interpreter hashing with SipHash-1-3")
def test_hash_matches_siphash13_oracle(python_subprocess):
    # With PYTHONHASHSEED=0 the interpreter hashes bytes with SipHash-1-3 and a zero key.
    code = (
        "import json, sys\n"
        "assert sys.hash_info.algorithm == 'siphash13', sys.hash_info.algorithm\n"
        "enc_v = lambda n: b'\\0\\0\\0\\0' + n + b'\\xff\\0\\0\\0\\0'\n"
        "enc_a = lambda l, r: b'\\1\\0\\0\\0' + l + r + b'\\0\\0\\0\\0'\n"
        "print(json.dumps([hash(b'A\\xff'), hash(b'\\xc3\\x84\\xff'), hash(enc_v(b'A') + enc_v(b'B')),\n"
        "    hash(enc_a(enc_v(b'A'), enc_v(b'B')) + enc_v(b'C')), hash(b'f\\xff' + enc_a(enc_v(b'A'), enc_v(b'B')))]))\n"
    )
    out = python_subprocess(code, env={"PYTHONHASHSEED": "0"})
    assert out.returncode == 0, out.stderr
    expected = json.loads(out.stdout)
    got = [
        hash(A),
        hash(vk.Variable("Ä")),
        hash(vk.Application(A, B)),
        hash(vk.Application(vk.Application(A, B), C)),
        hash(vk.Term("f", vk.Application(A, B))),
    ]
    assert got == expected
    assert len(expected[2:]) == 3  # the 20-byte encoding of (A -> B) is among them


def test_hash_is_stable_across_processes(python_subprocess):
    code = "import velkora as vk; print(hash(vk.Variable('A')), hash(vk.Term('t', vk.Variable('A'))))"
    outs = {python_subprocess(code, env={"PYTHONHASHSEED": s}).stdout for s in ("1", "2")}
    assert len(outs) == 1
    assert outs.pop().split() == [str(hash(A)), str(hash(vk.Term("t", A)))]


def test_renaming_a_variable_reaches_nothing_built_from_it():
    v = vk.Variable("A")
    aa = vk.Application(v, v)
    d = {v: 1}
    v.name = "Z"
    assert str(v) == "Z" and str(aa) == "(A -> A)"
    assert v.uid() == sha(b"var:Z")
    # Still filed under its old hash: no lookup finds it any more.
    assert vk.Variable("A") not in d and v not in d and next(iter(d)) is v


def test_children_are_new_objects_on_every_read():
    ab = vk.Application(A, B)
    left = ab.left
    assert left == A and left is not ab.left
    left.name = "Q"
    assert str(ab) == "(A -> B)"
    assert isinstance(ab.right, vk.Variable)
    assert isinstance(vk.Application(ab, C).left, vk.Application)


def test_attribute_rules():
    v = vk.Variable("A")
    with pytest.raises(AttributeError, match="can't delete attribute"):
        del v.name
    with pytest.raises(TypeError, match="argument 'name': 'int' object cannot be cast as 'str'"):
        v.name = 3
    assert v.name == "A"
    ab = vk.Application(A, B)
    with pytest.raises(AttributeError):
        ab.left = A
    with pytest.raises(AttributeError):
        del ab.right


@pytest.mark.parametrize("args", [(A, 1), (None, B), ("A", B)])
def test_application_requires_types(args):
    with pytest.raises(TypeError) as info:
        vk.Application(*args)
    assert str(info.value) == "Expected Variable or Application"


def test_application_by_keyword():
    assert vk.Application(right=B, left=A) == vk.Application(A, B)


DEEP = """
import sys, velkora as vk, hashlib
N = 100_000
t = vk.Variable("x")
for _ in range(N):
    t = vk.Application(t, vk.Variable("y"))
u = vk.Variable("x")
for _ in range(N):
    u = vk.Application(u, vk.Variable("y"))
s = str(t)
assert len(s) == 1 + N * len("( -> y)"), len(s)
assert repr(t).startswith("Application(((")
assert t == u and not (t != u)
assert hash(t) == hash(u)
assert t.uid() == u.uid() and len(t.uid()) == 64
# right-nested chains too
r = vk.Variable("x")
for _ in range(N):
    r = vk.Application(vk.Variable("y"), r)
assert str(r).endswith("x" + ")" * N)
term = vk.Term("f", t)
assert len(term.uid()) == 64 and isinstance(hash(term), int)
del t, u, r, term
print("ok")
"""


def test_deep_types_do_not_crash(python_subprocess):
    out = python_subprocess(DEEP, timeout=300)
    assert out.returncode == 0, out.stderr[-2000:]
    assert out.stdout.strip() == "ok"
