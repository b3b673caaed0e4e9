#include "host/pytype.hpp"

#include <memory>
#include <vector>

namespace vk {

namespace {

// A method table and its docstrings, kept for the life of the process.
struct KeptTable {
    std::unique_ptr<std::string[]> docs;
    std::unique_ptr<PyMethodDef[]> defs;
};

}  // namespace

PyMethodDef* method_table(const MethodEntry* entries, size_t n) {
    static auto* kept = new std::vector<KeptTable>();
    KeptTable t{std::make_unique<std::string[]>(n), std::make_unique<PyMethodDef[]>(n + 1)};
    for (size_t i = 0; i < n; ++i) {
        const MethodEntry& e = entries[i];
        t.docs[i] = text_signature(*e.info, e.params) + e.doc;
        // The name is the declaration's own text, which lives in static storage.
        t.defs[i] = {e.info->method_name().data(), e.body, e.flags, t.docs[i].c_str()};
    }
    t.defs[n] = {nullptr, nullptr, 0, nullptr};
    kept->push_back(std::move(t));
    return kept->back().defs.get();
}

PyTypeObject* make_type(const char* qualified_name, int basicsize, const PyType_Slot* slots,
                        const char* doc, PyMethodDef* methods, unsigned extra_flags) {
    unsigned flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | extra_flags;
    std::vector<PyType_Slot> all;
    for (const PyType_Slot* s = slots; s->slot; ++s) {
        if (s->slot == Py_tp_traverse) flags |= Py_TPFLAGS_HAVE_GC;
        all.push_back(*s);
    }
    if (doc) all.push_back({Py_tp_doc, const_cast<char*>(doc)});
    if (methods) all.push_back({Py_tp_methods, methods});
    all.push_back({0, nullptr});
    PyType_Spec spec = {qualified_name, basicsize, 0, flags, all.data()};
    return reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
}

void replace_with_empty_dict(Ref& member) {
    Ref fresh = Ref::steal(PyDict_New());
    if (!fresh) {
        PyErr_Clear();
        return;
    }
    std::swap(member, fresh);  // `fresh` now holds the old dict, released last
}

PyObject* not_equal(PyObject* self, PyObject* other) {
    SharedBorrow b(self);
    if (!b) return nullptr;
    int r = PyObject_RichCompareBool(self, other, Py_EQ);
    if (r < 0) return nullptr;
    return PyBool_FromLong(!r);
}

}  // namespace vk
