import hashlib

import pytest

import velkora as vk

A, B, C = vk.Variable("A"), vk.Variable("B"), vk.Variable("C")
AB = vk.Application(A, B)


def test_application_of_terms():
    f, x = vk.Term("f", AB), vk.Term("x", A)
    r = f(x)
    assert r.name == "(f x)"
    assert (str(r), repr(r)) == ("(f x):B", 'Term("(f x)", B)')
    assert r.type == B
    assert f(other=x) == r
    g = vk.Term("g", vk.Application(AB, C))
    assert g(f) == vk.Term("(g f)", C)
    h = vk.Term("h", vk.Application(A, AB))
    assert h(x)(vk.Term("y", A)).name == "((h x) y)"
    assert (str(f), repr(f)) == ("f:(A -> B)", 'Term("f", (A -> B))')


@pytest.mark.parametrize(
    "fn, arg, message",
    [
        (vk.Term("x", A), vk.Term("f", AB),
         "Type mismatch: expected application type (A -> B), got A (in term application)"),
        (vk.Term("x", C), vk.Term("y", C),
         "Type mismatch: expected application type (A -> B), got C (in term application)"),
        (vk.Term("f", AB), vk.Term("f", AB), "Type mismatch: expected A, got (A -> B) (in function application)"),
        (vk.Term("f", AB), vk.Term("c", C), "Type mismatch: expected A, got C (in function application)"),
    ],
)
def test_application_type_errors(fn, arg, message):
    with pytest.raises(TypeError) as info:
        fn(arg)
    assert str(info.value) == message


def test_application_leaves_operands_unchanged():
    f, x = vk.Term("f", AB), vk.Term("x", A)
    r = f(x)
    f.name = "renamed"
    assert r.name == "(f x)" and x.name == "x"


@pytest.mark.parametrize("bad", [5, "x", None, A])
def test_application_needs_a_term(bad):
    with pytest.raises(TypeError, match="^argument 'other': '.*' object cannot be cast as 'Term'$"):
        vk.Term("f", AB)(bad)


def test_constructor_errors():
    with pytest.raises(TypeError, match="^Expected Variable or Application$"):
        vk.Term("f", "A")
    with pytest.raises(TypeError, match="^argument 'name': 'int' object cannot be cast as 'str'$"):
        vk.Term(1, A)


def test_equality_hash_uid():
    f1, f2 = vk.Term("f", A), vk.Term("f", vk.Variable("A"))
    assert f1 == f2 and hash(f1) == hash(f2) and f1.uid() == f2.uid()
    for other in (vk.Term("g", A), vk.Term("f", B)):
        assert f1 != other and f1.uid() != other.uid()
    assert (f1 == "f") is False and (f1 != A) is True
    with pytest.raises(TypeError):
        f1 < f2


def test_uid_layout():
    t = vk.Term("a:b", AB)
    assert t.uid() == hashlib.sha256(b"term:a:b:" + AB.uid().encode()).hexdigest()
    assert vk.Term("", A).uid() == hashlib.sha256(b"term::" + A.uid().encode()).hexdigest()


def test_name_attribute():
    t = vk.Term("f", A)
    t.name = "g"
    assert str(t) == "g:A" and t.uid() == vk.Term("g", A).uid()
    with pytest.raises(AttributeError, match="can't delete attribute"):
        del t.name
    with pytest.raises(AttributeError):
        t.type = B
    assert t.type == A and t.type is not t.type
