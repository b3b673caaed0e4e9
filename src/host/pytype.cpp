#include "host/pytype.hpp"

namespace vk {

PyTypeObject* make_type(const char* qualified_name, int basicsize, PyType_Slot* slots) {
    PyType_Spec spec = {qualified_name, basicsize, 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
                        slots};
    return reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
}

}  // namespace vk
