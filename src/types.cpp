#include "types.hpp"

#include <cstring>
#include <vector>

#include "host/args.hpp"
#include "host/pytype.hpp"
#include "host/ref.hpp"
#include "pickling.hpp"

namespace vk {

PyTypeObject* VariableType = nullptr;
PyTypeObject* ApplicationType = nullptr;

// ----- values ----------------------------------------------------------------

TypeRef TypeRef::variable(std::string_view name) {
    TypeNode* n = new TypeNode();
    n->name_.assign(name);
    return TypeRef(n);
}

TypeRef TypeRef::application(const TypeRef& left, const TypeRef& right) {
    TypeNode* n = new TypeNode();
    acquire(left.p_);
    acquire(right.p_);
    n->left_ = left.p_;
    n->right_ = right.p_;
    return TypeRef(n);
}

void TypeRef::release(TypeNode* p) {
    if (!p || --p->rc_ != 0) return;
    // Iterative, so that releasing a deep chain does not recurse; the list
    // of pending nodes is needed only where both children go at once.
    std::vector<TypeNode*> dead;
    for (;;) {
        TypeNode* children[2] = {p->left_, p->right_};
        delete p;
        p = nullptr;
        for (TypeNode* c : children) {
            if (!c || --c->rc_ != 0) continue;
            if (p) {
                dead.push_back(c);
            } else {
                p = c;
            }
        }
        if (!p) {
            if (dead.empty()) return;
            p = dead.back();
            dead.pop_back();
        }
    }
}

std::string type_text(const TypeNode* t) {
    if (!t->is_app()) return t->name();
    std::string out;
    // Items are either a node to print or a literal piece.
    struct Item {
        const TypeNode* node;
        const char* lit;
    };
    std::vector<Item> stack{{t, nullptr}};
    while (!stack.empty()) {
        Item it = stack.back();
        stack.pop_back();
        if (it.lit) {
            out += it.lit;
        } else if (!it.node->is_app()) {
            out += it.node->name();
        } else {
            stack.push_back({nullptr, ")"});
            stack.push_back({it.node->right(), nullptr});
            stack.push_back({nullptr, " -> "});
            stack.push_back({it.node->left(), nullptr});
            stack.push_back({nullptr, "("});
        }
    }
    return out;
}

bool type_equal(const TypeNode* a, const TypeNode* b) {
    if (a == b) return true;
    if (a->is_app() != b->is_app()) return false;
    if (!a->is_app()) return a->name() == b->name();
    // Hashes already made tell unequal types apart without a walk.
    if (a->hash_ready_ && b->hash_ready_ && a->hash_ != b->hash_) return false;
    // Pairs still to compare: a few inline, the rest (deep types) on the heap.
    struct Pair {
        const TypeNode *x, *y;
    };
    constexpr size_t kInline = 16;
    Pair inline_pairs[kInline];
    size_t n = 0;
    std::vector<Pair> more;
    auto push = [&](const TypeNode* x, const TypeNode* y) {
        if (more.empty() && n < kInline) {
            inline_pairs[n++] = {x, y};
        } else {
            more.push_back({x, y});
        }
    };
    push(a, b);
    while (n || !more.empty()) {
        auto [x, y] = more.empty() ? inline_pairs[--n] : more.back();
        if (!more.empty()) more.pop_back();
        if (x == y) continue;
        if (x->is_app() != y->is_app()) return false;
        if (!x->is_app()) {
            if (x->name() != y->name()) return false;
            continue;
        }
        push(x->right(), y->right());
        push(x->left(), y->left());  // left first
    }
    return true;
}

const Hex64* type_uid(const TypeNode* t) {
    if (t->uid_ready_) return &t->uid_;
    std::vector<const TypeNode*> stack{t};
    while (!stack.empty()) {
        const TypeNode* n = stack.back();
        if (n->uid_ready_) {
            stack.pop_back();
            continue;
        }
        if (!n->is_app()) {
            if (!sha256_hex({"var:", n->name()}, n->uid_)) return nullptr;
        } else {
            const TypeNode* l = n->left();
            const TypeNode* r = n->right();
            if (!l->uid_ready_ || !r->uid_ready_) {
                if (!r->uid_ready_) stack.push_back(r);
                if (!l->uid_ready_) stack.push_back(l);
                continue;
            }
            if (!sha256_hex({"app:", l->uid_.view(), ":", r->uid_.view()}, n->uid_)) return nullptr;
        }
        n->uid_ready_ = true;
        stack.pop_back();
    }
    return &t->uid_;
}

const Hex64* node_uid_of_type(const TypeNode* t) {
    if (t->node_uid_) return t->node_uid_.get();
    const Hex64* tu = type_uid(t);
    if (!tu) return nullptr;
    auto uid = std::make_unique<Hex64>();
    if (!sha256_hex({"node:", tu->view()}, *uid)) return nullptr;
    t->node_uid_ = std::move(uid);
    return t->node_uid_.get();
}

PyObject* node_key_of_type(const TypeNode* t) {
    if (t->node_key_) return t->node_key_.get();
    const Hex64* uid = node_uid_of_type(t);
    if (!uid) return nullptr;
    Ref key = Ref::steal(PyUnicode_FromStringAndSize(uid->d, sizeof uid->d));
    if (!key || PyObject_Hash(key.get()) == -1) return nullptr;
    t->node_key_ = std::move(key);
    return t->node_key_.get();
}

void type_hash_encoding(SipHash13& h, const TypeNode* t) {
    static const unsigned char ff = 0xFF;
    // A null node stands for the trailing zero word of an application.
    std::vector<const TypeNode*> stack{t};
    while (!stack.empty()) {
        const TypeNode* n = stack.back();
        stack.pop_back();
        if (!n) {
            h.update_u32le(0);
        } else if (!n->is_app()) {
            h.update_u32le(0);
            h.update(n->name().data(), n->name().size());
            h.update(&ff, 1);
            h.update_u32le(0);
        } else {
            h.update_u32le(1);
            stack.push_back(nullptr);
            stack.push_back(n->right());
            stack.push_back(n->left());
        }
    }
}

Py_hash_t type_py_hash(const TypeNode* t) {
    if (t->hash_ready_) return t->hash_;
    SipHash13 h;
    if (!t->is_app()) {
        static const unsigned char ff = 0xFF;
        h.update(t->name().data(), t->name().size());
        h.update(&ff, 1);
    } else {
        type_hash_encoding(h, t->left());
        type_hash_encoding(h, t->right());
    }
    t->hash_ = narrow_hash(h.finish());
    t->hash_ready_ = true;
    return t->hash_;
}

// ----- conversions -------------------------------------------------------------

bool is_type_object(PyObject* obj) {
    return Py_TYPE(obj) == VariableType || Py_TYPE(obj) == ApplicationType;
}

Status python_to_type(PyObject* obj, TypeRef& out) {
    if (!obj || !is_type_object(obj)) {
        PyErr_SetString(PyExc_TypeError, "Expected Variable or Application");
        return PyErrorSet{};
    }
    // The value is immutable, so sharing it is the same as copying it.
    out = reinterpret_cast<PyType_*>(obj)->value;
    return ok_status();
}

PyObject* type_to_python(const TypeRef& t) {
    PyTypeObject* cls = t->is_app() ? ApplicationType : VariableType;
    return reinterpret_cast<PyObject*>(alloc_instance<PyType_>(cls, t));
}

// ----- shared slots --------------------------------------------------------------

namespace {

const TypeNode* node_of(PyObject* self) { return reinterpret_cast<PyType_*>(self)->value.get(); }

PyObject* type_str(PyObject* self) {
    SharedBorrow b(self);
    if (!b) return nullptr;
    std::string s = type_text(node_of(self));
    return to_py(s);
}

Py_hash_t type_hash(PyObject* self) {
    SharedBorrow b(self);
    if (!b) return -1;
    return type_py_hash(node_of(self));
}

PyObject* type_richcompare(PyObject* self, PyObject* other, int op) {
    if (op == Py_NE) return not_equal(self, other);
    if (op != Py_EQ || Py_TYPE(other) != Py_TYPE(self)) Py_RETURN_NOTIMPLEMENTED;
    SharedBorrow b1(self);
    if (!b1) return nullptr;
    SharedBorrow b2(other);
    if (!b2) return nullptr;
    return PyBool_FromLong(type_equal(node_of(self), node_of(other)));
}

PyObject* type_uid_method(PyObject* self, PyObject*) {
    SharedBorrow b(self);
    if (!b) return nullptr;
    const Hex64* u = type_uid(node_of(self));
    return u ? to_py(u->view()) : nullptr;
}

// ----- Variable ------------------------------------------------------------------

PyObject* variable_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    Args<variable_sig::construct> a;
    std::string_view name;
    if (!a.bind(args, kwargs) || !to_str(a["name"], name)) return nullptr;
    return reinterpret_cast<PyObject*>(alloc_instance<PyType_>(type, TypeRef::variable(name)));
}

PyObject* variable_repr(PyObject* self) {
    SharedBorrow b(self);
    if (!b) return nullptr;
    std::string s = "Variable(\"" + node_of(self)->name() + "\")";
    return to_py(s);
}

PyObject* variable_get_name(PyObject* self, void*) {
    SharedBorrow b(self);
    if (!b) return nullptr;
    return to_py(node_of(self)->name());
}

int variable_set_name(PyObject* self, PyObject* value, void*) {
    if (!assigning(value)) return -1;
    std::string_view name;
    if (!to_str({"name", value}, name)) return -1;
    ExclusiveBorrow b(self);
    if (!b) return -1;
    reinterpret_cast<PyType_*>(self)->value = TypeRef::variable(name);
    return 0;
}

const MethodEntry variable_methods[] = {
    method_entry<variable_sig::uid>(
        type_uid_method,
        "Returns a unique identifier for this variable.\n\n"
        "Returns a str of 64 lowercase hex digits, the SHA-256 of \"var:\" and the\n"
        "name: equal variables have equal uids, in every process."),
    reduce_entry(variable_reduce),
};

PyGetSetDef variable_getset[] = {
    {"name", variable_get_name, variable_set_name,
     "The name of this variable (a str).\n\n"
     "Assigning a str renames this object only; assigning anything else raises\n"
     "TypeError, and deleting raises AttributeError.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

const char kVariableDoc[] =
    "Represents an atomic type variable.\n\n"
    "A variable is a named atomic type such as ``Person``; ``str(v)`` is its\n"
    "name. Variables are equal, and hash equally, when their names are equal.\n"
    "The ``name`` can be reassigned; types, terms and nodes built from the\n"
    "variable earlier keep the old name.\n\n"
    "Args:\n"
    "    name: the name, any str (the empty string included).\n\n"
    "Raises:\n"
    "    TypeError: ``name`` is not a str.\n\n"
    "Example::\n\n"
    "    >>> Variable(\"Person\")\n"
    "    Variable(\"Person\")";

// ----- Application ---------------------------------------------------------------

PyObject* application_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    Args<application_sig::construct> a;
    TypeRef l, r;
    if (!a.bind(args, kwargs) || !python_to_type(a["left"], l) || !python_to_type(a["right"], r)) {
        return nullptr;
    }
    return reinterpret_cast<PyObject*>(alloc_instance<PyType_>(type, TypeRef::application(l, r)));
}

PyObject* application_repr(PyObject* self) {
    SharedBorrow b(self);
    if (!b) return nullptr;
    const TypeNode* n = node_of(self);
    std::string s = "Application(" + type_text(n->left()) + ", " + type_text(n->right()) + ")";
    return to_py(s);
}

PyObject* application_get_left(PyObject* self, void*) {
    SharedBorrow b(self);
    if (!b) return nullptr;
    return type_to_python(TypeRef::share(node_of(self)->left()));
}

PyObject* application_get_right(PyObject* self, void*) {
    SharedBorrow b(self);
    if (!b) return nullptr;
    return type_to_python(TypeRef::share(node_of(self)->right()));
}

const MethodEntry application_methods[] = {
    method_entry<application_sig::uid>(
        type_uid_method,
        "Returns a unique identifier for this application.\n\n"
        "Returns a str of 64 lowercase hex digits, the SHA-256 of \"app:\", the left\n"
        "uid, \":\" and the right uid: equal types have equal uids."),
    reduce_entry(application_reduce),
    method_entry<application_sig::restore>(application_restore, kApplicationRestoreDoc),
};

PyGetSetDef application_getset[] = {
    {"left", application_get_left, nullptr,
     "Gets the left (input) type of this application.\n\n"
     "Returns a new Variable or Application object on every read; changing it\n"
     "does not change this application. Read-only.",
     nullptr},
    {"right", application_get_right, nullptr,
     "Gets the right (output) type of this application.\n\n"
     "Returns a new Variable or Application object on every read; changing it\n"
     "does not change this application. Read-only.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

const char kApplicationDoc[] =
    "Represents a function type (application type).\n\n"
    "``Application(A, B)`` is the type of functions from ``A`` to ``B`` and prints\n"
    "as ``(A -> B)``. Applications are equal, and hash equally, when their parts\n"
    "are equal; ``left`` and ``right`` give the parts back.\n\n"
    "Args:\n"
    "    left: the input type, a Variable or Application.\n"
    "    right: the output type, a Variable or Application.\n\n"
    "Raises:\n"
    "    TypeError: \"Expected Variable or Application\" for any other argument.\n\n"
    "Example::\n\n"
    "    >>> print(Application(Application(Variable(\"A\"), Variable(\"B\")), Variable(\"C\")))\n"
    "    ((A -> B) -> C)";

}  // namespace

PyTypeObject* create_variable_type() {
    static PyType_Slot slots[] = {
        {Py_tp_new, (void*)variable_new},
        {Py_tp_dealloc, (void*)dealloc_instance<PyType_>},
        {Py_tp_str, (void*)type_str},
        {Py_tp_repr, (void*)variable_repr},
        {Py_tp_hash, (void*)type_hash},
        {Py_tp_richcompare, (void*)type_richcompare},
        {Py_tp_getset, variable_getset},
        {0, nullptr},
    };
    VariableType = make_type("velkora.Variable", sizeof(PyType_), slots,
                             class_doc<variable_sig::construct>(kVariableDoc).c_str(),
                             method_table(variable_methods));
    return VariableType;
}

PyTypeObject* create_application_type() {
    static PyType_Slot slots[] = {
        {Py_tp_new, (void*)application_new},
        {Py_tp_dealloc, (void*)dealloc_instance<PyType_>},
        {Py_tp_str, (void*)type_str},
        {Py_tp_repr, (void*)application_repr},
        {Py_tp_hash, (void*)type_hash},
        {Py_tp_richcompare, (void*)type_richcompare},
        {Py_tp_getset, application_getset},
        {0, nullptr},
    };
    ApplicationType = make_type("velkora.Application", sizeof(PyType_), slots,
                                class_doc<application_sig::construct>(kApplicationDoc).c_str(),
                                method_table(application_methods));
    return ApplicationType;
}

}  // namespace vk
