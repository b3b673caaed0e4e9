import importlib
import re
import inspect
import pathlib
import sys
import weakref

import pytest

import velkora as vk

A, B = vk.Variable("A"), vk.Variable("B")


CLASS_NAMES = ["Variable", "Application", "Term", "Node", "Edge", "Graph", "TypeSchema",
               "NodePattern", "EdgePattern", "PathPattern", "Query", "Path"]


def test_all_lists_the_classes_in_registration_order():
    assert vk.__all__ == CLASS_NAMES
    assert type(vk.__all__) is list
    for name in CLASS_NAMES:
        cls = getattr(vk, name)
        assert isinstance(cls, type) and cls.__name__ == name and cls.__module__ == "velkora"


def test_version_is_the_package_version_and_the_only_addition():
    # The version comes from pyproject.toml when the module is built.
    pyproject = pathlib.Path(__file__).resolve().parent.parent / "pyproject.toml"
    declared = re.search(r'^version = "([^"]+)"', pyproject.read_text(), re.M).group(1)
    assert vk.__version__ == declared
    assert set(dir(vk)) - set(CLASS_NAMES) == {
        "__all__", "__doc__", "__file__", "__loader__", "__name__", "__package__", "__spec__",
        "__version__"}


def test_reimport_gives_same_module_and_classes():
    mod = sys.modules.pop("velkora")
    try:
        again = importlib.import_module("velkora")
        assert again is mod
        assert again.Variable is vk.Variable and again.Term is vk.Term
    finally:
        sys.modules["velkora"] = mod


def test_module_docstring_lists_classes():
    doc = vk.__doc__
    assert "type theoretical graph modelling" in doc.lower()
    assert "# Classes Exposed" in doc
    for line in ("`Variable`: Type variables", "`Query`: Cypher-like query builder",
                 "`NodePattern`, `EdgePattern`, `PathPattern`: Query patterns"):
        assert line in doc


def test_sub_interpreter_import_is_refused(python_subprocess):
    interpreters = pytest.importorskip("_xxsubinterpreters")
    code = (
        "import velkora, _xxsubinterpreters as si\n"
        "i = si.create()\n"
        "try:\n"
        "    si.run_string(i, 'import velkora')\n"
        "except Exception as e:\n"
        "    print('FAILED', e)\n"
        "else:\n"
        "    print('IMPORTED')\n"
    )
    out = python_subprocess(code)
    assert out.returncode == 0, out.stderr
    # Newer interpreters refuse the module themselves, in their own words.
    assert "FAILED" in out.stdout and re.search("sub-?interpreters", out.stdout)
    del interpreters


SIGNATURES = [
    (vk.Variable, "(name)"),
    (vk.Application, "(left, right)"),
    (vk.Term, "(name, type)"),
    (vk.Node, "(type, properties=None)"),
    (vk.Edge, "(term, start, end, properties=None)"),
    (vk.Graph, "()"),
    (vk.Variable.uid, "(self, /)"),
    (vk.Term.uid, "(self, /)"),
    (vk.Node.uid, "(self, /)"),
]


@pytest.mark.parametrize("obj, sig", SIGNATURES)
def test_text_signatures(obj, sig):
    assert str(inspect.signature(obj)) == sig


INSTANCES = [
    lambda: vk.Variable("A"),
    lambda: vk.Application(A, B),
    lambda: vk.Term("f", A),
    lambda: vk.Node(A),
    lambda: vk.Edge(vk.Term("f", vk.Application(A, B)), vk.Node(A), vk.Node(B)),
    lambda: vk.Graph(),
    lambda: vk.TypeSchema("$*$"),
    lambda: vk.NodePattern(),
    lambda: vk.EdgePattern(),
    lambda: vk.PathPattern("(a)"),
    lambda: vk.Graph().query(),
]


@pytest.mark.parametrize("make", INSTANCES)
def test_classes_are_closed(make):
    obj = make()
    cls = type(obj)
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    with pytest.raises(AttributeError):
        obj.undeclared_attribute = 1
    with pytest.raises(TypeError):
        weakref.ref(obj)
    assert not hasattr(obj, "__dict__")
    # The class itself is immutable: replacing its constructor could build
    # instances whose C++ value was never made.
    for name, value in [("__new__", staticmethod(lambda c, *a: object.__new__(c))),
                        ("__str__", lambda self: "x"), ("extra", 1)]:
        with pytest.raises(TypeError, match="immutable type"):
            setattr(cls, name, value)
    with pytest.raises(TypeError, match="immutable type"):
        del cls.__doc__


def test_identity_semantics_for_classes_without_equality():
    n1, n2 = vk.Node(A), vk.Node(A)
    assert n1 != n2 and n1 == n1
    g = vk.Graph()
    assert hash(g) == object.__hash__(g)


BINDING_ERRORS = [
    (lambda: vk.Variable(), "Variable.__new__() missing 1 required positional argument: 'name'"),
    (lambda: vk.Variable("a", "b"), "Variable.__new__() takes 1 positional arguments but 2 were given"),
    (lambda: vk.Variable(x=1), "Variable.__new__() got an unexpected keyword argument 'x'"),
    (lambda: vk.Variable("a", name="b"), "Variable.__new__() got multiple values for argument 'name'"),
    (lambda: vk.Variable(1), "argument 'name': 'int' object cannot be cast as 'str'"),
    (lambda: vk.Term(), "Term.__new__() missing 2 required positional arguments: 'name' and 'type'"),
    (lambda: vk.Edge(), "Edge.__new__() missing 3 required positional arguments: 'term', 'start', and 'end'"),
    (lambda: vk.Term(None, A), "argument 'name': 'NoneType' object cannot be cast as 'str'"),
    (lambda: vk.Graph(1), "Graph.__new__() takes 0 positional arguments but 1 were given"),
    (lambda: vk.Node(A, [1]), "argument 'properties': 'list' object cannot be cast as 'dict'"),
    (lambda: vk.Term("f", vk.Application(A, B))(5), "argument 'other': 'int' object cannot be cast as 'Term'"),
    (lambda: vk.Term("f", A)(), "Term.__call__() missing 1 required positional argument: 'other'"),
]


@pytest.mark.parametrize("call, message", BINDING_ERRORS)
def test_binding_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


def test_non_utf8_encodable_name_raises_unicode_error():
    with pytest.raises(UnicodeEncodeError):
        vk.Variable("\udc80")
