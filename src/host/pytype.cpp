#include "host/pytype.hpp"

namespace vk {

PyTypeObject* make_type(const char* qualified_name, int basicsize, PyType_Slot* slots,
                        unsigned extra_flags) {
    unsigned flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | extra_flags;
    for (PyType_Slot* s = slots; s->slot; ++s) {
        if (s->slot == Py_tp_traverse) flags |= Py_TPFLAGS_HAVE_GC;
    }
    PyType_Spec spec = {qualified_name, basicsize, 0, flags, slots};
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
