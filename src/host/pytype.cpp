#include "host/pytype.hpp"

namespace vk {

PyTypeObject* make_type(const char* qualified_name, int basicsize, PyType_Slot* slots) {
    unsigned flags = Py_TPFLAGS_DEFAULT;
#ifdef Py_TPFLAGS_IMMUTABLETYPE
    flags |= Py_TPFLAGS_IMMUTABLETYPE;
#endif
    PyType_Spec spec = {qualified_name, basicsize, 0, flags, slots};
    return reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
}

}  // namespace vk
