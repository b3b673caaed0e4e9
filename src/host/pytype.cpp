#include "host/pytype.hpp"

namespace vk {

PyTypeObject* make_type(const char* qualified_name, int basicsize, PyType_Slot* slots) {
    PyType_Spec spec = {qualified_name, basicsize, 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
                        slots};
    return reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
}

PyObject* not_equal(PyObject* self, PyObject* other) {
    SharedBorrow b(self);
    if (!b) return nullptr;
    int r = PyObject_RichCompareBool(self, other, Py_EQ);
    if (r < 0) return nullptr;
    return PyBool_FromLong(!r);
}

}  // namespace vk
