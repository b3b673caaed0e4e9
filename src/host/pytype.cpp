#include "host/pytype.hpp"

#include <cstring>

namespace vk {

PyTypeObject* make_type(const char* qualified_name, int basicsize, PyType_Slot* slots) {
    unsigned flags = Py_TPFLAGS_DEFAULT;
#ifdef Py_TPFLAGS_IMMUTABLETYPE
    flags |= Py_TPFLAGS_IMMUTABLETYPE;
#endif
    PyType_Spec spec = {qualified_name, basicsize, 0, flags, slots};
    PyTypeObject* type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
#if PY_VERSION_HEX < 0x030A0000
    // Python 3.9 keeps only the part of a heap type's doc after its signature
    // line, which loses __text_signature__; keep the whole text in tp_doc
    // (__doc__ stays the description alone).
    for (PyType_Slot* s = slots; type && s->slot; ++s) {
        if (s->slot != Py_tp_doc || !s->pfunc) continue;
        const char* doc = static_cast<const char*>(s->pfunc);
        size_t len = std::strlen(doc) + 1;
        char* copy = static_cast<char*>(PyObject_Malloc(len));
        if (!copy) {
            Py_DECREF(type);
            return reinterpret_cast<PyTypeObject*>(PyErr_NoMemory());
        }
        std::memcpy(copy, doc, len);
        PyObject_Free(const_cast<char*>(type->tp_doc));
        type->tp_doc = copy;
    }
#endif
    return type;
}

}  // namespace vk
