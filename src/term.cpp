#include "term.hpp"

#include "errors.hpp"
#include "host/args.hpp"
#include "host/pytype.hpp"
#include "host/ref.hpp"
#include "pickling.hpp"

namespace vk {

PyTypeObject* TermType = nullptr;

const Hex64* term_uid(const TermValue& t) {
    TermValue::Uids& u = t.uids;
    if (!u.term_ready) {
        const Hex64* tu = type_uid(t.type.get());
        if (!tu || !sha256_hex({"term:", t.name, ":", tu->view()}, u.term)) return nullptr;
        u.term_ready = true;
    }
    return &u.term;
}

const Hex64* edge_uid_of_term(const TermValue& t) {
    TermValue::Uids& u = t.uids;
    if (!u.edge_ready) {
        const Hex64* tu = term_uid(t);
        if (!tu || !sha256_hex({"edge:", tu->view()}, u.edge)) return nullptr;
        u.edge_ready = true;
    }
    return &u.edge;
}

PyObject* edge_key_of_term(const TermValue& t) {
    TermValue::Uids& u = t.uids;
    if (u.edge_key) return u.edge_key.get();
    const Hex64* uid = edge_uid_of_term(t);
    if (!uid) return nullptr;
    Ref key = Ref::steal(PyUnicode_FromStringAndSize(uid->d, sizeof uid->d));
    if (!key || PyObject_Hash(key.get()) == -1) return nullptr;
    u.edge_key = std::move(key);
    return u.edge_key.get();
}

Status term_from_python(PyObject* obj, TermHandle& out) {
    if (Py_TYPE(obj) != TermType) return cast_error(obj, "Term");
    out = reinterpret_cast<PyTerm*>(obj)->value;
    return ok_status();
}

PyObject* term_to_python(const TermHandle& t) {
    return reinterpret_cast<PyObject*>(alloc_instance<PyTerm>(TermType, t));
}

namespace {

const TermValue& value_of(PyObject* self) { return *reinterpret_cast<PyTerm*>(self)->value; }

PyObject* term_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    Args<term_sig::construct> a;
    TermValue v;
    if (!a.bind(args, kwargs) || !to_string(a["name"], v.name) ||
        !python_to_type(a["type"], v.type)) {
        return nullptr;
    }
    return reinterpret_cast<PyObject*>(
        alloc_instance<PyTerm>(type, TermHandle::make(std::move(v))));
}

PyObject* term_str(PyObject* self) {
    SharedBorrow b(self);
    if (!b) return nullptr;
    const TermValue& v = value_of(self);
    return to_py(v.name + ":" + type_text(v.type.get()));
}

PyObject* term_repr(PyObject* self) {
    SharedBorrow b(self);
    if (!b) return nullptr;
    const TermValue& v = value_of(self);
    return to_py("Term(\"" + v.name + "\", " + type_text(v.type.get()) + ")");
}

PyObject* term_call(PyObject* self, PyObject* args, PyObject* kwargs) {
    Args<term_sig::call> a;
    if (!a.bind(args, kwargs) || !to_instance(a["other"], TermType)) return nullptr;
    SharedBorrow b1(self);
    if (!b1) return nullptr;
    SharedBorrow b2(a["other"]);
    if (!b2) return nullptr;
    const TermValue& f = value_of(self);
    const TermValue& x = value_of(a["other"]);
    if (!f.type->is_app()) {
        raise(VelkoraError::type_mismatch("application type (A -> B)", type_text(f.type.get()),
                                          "term application"));
        return nullptr;
    }
    if (!type_equal(x.type.get(), f.type->left())) {
        raise(VelkoraError::type_mismatch(type_text(f.type->left()), type_text(x.type.get()),
                                          "function application"));
        return nullptr;
    }
    return term_to_python(TermHandle::make(
        TermValue{"(" + f.name + " " + x.name + ")", TypeRef::share(f.type->right())}));
}

Py_hash_t term_hash(PyObject* self) {
    SharedBorrow b(self);
    if (!b) return -1;
    static const unsigned char ff = 0xFF;
    const TermValue& v = value_of(self);
    SipHash13 h;
    h.update(v.name.data(), v.name.size());
    h.update(&ff, 1);
    type_hash_encoding(h, v.type.get());
    return narrow_hash(h.finish());
}

PyObject* term_richcompare(PyObject* self, PyObject* other, int op) {
    if (op == Py_NE) return not_equal(self, other);
    if (op != Py_EQ || Py_TYPE(other) != TermType) Py_RETURN_NOTIMPLEMENTED;
    SharedBorrow b1(self);
    if (!b1) return nullptr;
    SharedBorrow b2(other);
    if (!b2) return nullptr;
    const TermValue& x = value_of(self);
    const TermValue& y = value_of(other);
    return PyBool_FromLong(x.name == y.name && type_equal(x.type.get(), y.type.get()));
}

PyObject* term_uid_method(PyObject* self, PyObject*) {
    SharedBorrow b(self);
    if (!b) return nullptr;
    const Hex64* u = term_uid(value_of(self));
    return u ? to_py(u->view()) : nullptr;
}

PyObject* term_get_name(PyObject* self, void*) {
    SharedBorrow b(self);
    if (!b) return nullptr;
    return to_py(value_of(self).name);
}

int term_set_name(PyObject* self, PyObject* value, void*) {
    if (!assigning(value)) return -1;
    std::string_view name;
    if (!to_str({"name", value}, name)) return -1;
    ExclusiveBorrow b(self);
    if (!b) return -1;
    // Edges, patterns and other Term objects share the old value: this
    // object alone takes a new one.
    TermHandle& held = reinterpret_cast<PyTerm*>(self)->value;
    held = TermHandle::make(TermValue{std::string(name), held->type});
    return 0;
}

PyObject* term_get_type(PyObject* self, void*) {
    SharedBorrow b(self);
    if (!b) return nullptr;
    return type_to_python(value_of(self).type);
}

const MethodEntry term_methods[] = {
    method_entry<term_sig::uid>(
        term_uid_method,
        "Returns a unique identifier for this term.\n\n"
        "The UID is constructed using SHA256 hash based on the term's name and type UID.\n"
        "Returns a str of 64 lowercase hex digits: equal terms have equal uids."),
    reduce_entry(term_reduce),
};

PyGetSetDef term_getset[] = {
    {"name", term_get_name, term_set_name,
     "The name of this term (a str).\n\n"
     "Assigning a str renames this object only (edges and applied terms built\n"
     "from it keep the old name); assigning anything else raises TypeError, and\n"
     "deleting raises AttributeError.",
     nullptr},
    {"type", term_get_type, nullptr,
     "Gets the type of this term.\n\n"
     "Returns a new Variable or Application object on every read. Read-only.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

const char kTermDoc[] =
    "Represents a typed term in the type theory.\n\n"
    "A term is a name with a type; ``str(t)`` is ``name:type``. Terms are equal,\n"
    "and hash equally, when names and types are equal.\n\n"
    "Calling a term of a function type with a term of its input type,\n"
    "``f(x)`` or ``f(other=x)``, returns the new term ``(f x)`` of the output\n"
    "type; ``f`` and ``x`` are unchanged. The call raises TypeError\n"
    "\"Type mismatch: ...\" when ``f``'s type is not a function type or ``x``'s\n"
    "type is not its input type, and TypeError when ``x`` is not a Term.\n\n"
    "Args:\n"
    "    name: the name, any str.\n"
    "    type: the type, a Variable or Application.\n\n"
    "Raises:\n"
    "    TypeError: ``name`` is not a str, or ``type`` is not a Variable or\n"
    "        Application (\"Expected Variable or Application\").\n\n"
    "Example::\n\n"
    "    >>> A, B = Variable(\"A\"), Variable(\"B\")\n"
    "    >>> f = Term(\"f\", Application(A, B))\n"
    "    >>> f(Term(\"x\", A))\n"
    "    Term(\"(f x)\", B)";

}  // namespace

PyTypeObject* create_term_type() {
    static PyType_Slot slots[] = {
        {Py_tp_new, (void*)term_new},
        {Py_tp_dealloc, (void*)dealloc_instance<PyTerm>},
        {Py_tp_str, (void*)term_str},
        {Py_tp_repr, (void*)term_repr},
        {Py_tp_call, (void*)term_call},
        {Py_tp_hash, (void*)term_hash},
        {Py_tp_richcompare, (void*)term_richcompare},
        {Py_tp_getset, term_getset},
        {0, nullptr},
    };
    TermType = make_type("velkora.Term", sizeof(PyTerm), slots,
                         class_doc<term_sig::construct>(kTermDoc).c_str(),
                         method_table(term_methods));
    return TermType;
}

}  // namespace vk
