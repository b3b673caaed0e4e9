// Copy and pickle: every class's __reduce__, and the class methods that
// rebuild the classes whose constructors cannot take their reduced form.
#pragma once
#include <Python.h>

#include "host/pytype.hpp"

namespace vk {

extern const char kReduceDoc[];

// __reduce__ of each class (METH_NOARGS).
PyObject* variable_reduce(PyObject* self, PyObject*);
PyObject* application_reduce(PyObject* self, PyObject*);
PyObject* term_reduce(PyObject* self, PyObject*);
PyObject* node_reduce(PyObject* self, PyObject*);
PyObject* edge_reduce(PyObject* self, PyObject*);
PyObject* graph_reduce(PyObject* self, PyObject*);
PyObject* type_schema_reduce(PyObject* self, PyObject*);
PyObject* node_pattern_reduce(PyObject* self, PyObject*);
PyObject* edge_pattern_reduce(PyObject* self, PyObject*);
PyObject* path_pattern_reduce(PyObject* self, PyObject*);
// Refuses: a query holds running state bound to its graph's dicts.
PyObject* query_reduce(PyObject* self, PyObject*);

// _restore class methods (METH_CLASS | fast call). Each builds a new object
// and checks everything it is given, so malformed pickle data raises.
PyObject* application_restore(PyObject* cls, PyObject* const* args, Py_ssize_t n, PyObject* kw);
PyObject* graph_restore(PyObject* cls, PyObject* const* args, Py_ssize_t n, PyObject* kw);
PyObject* path_pattern_restore(PyObject* cls, PyObject* const* args, Py_ssize_t n, PyObject* kw);
extern const char kApplicationRestoreDoc[];
extern const char kGraphRestoreDoc[];
extern const char kPathPatternRestoreDoc[];

#define VK_REDUCE_METHOD(fn) {"__reduce__", fn, METH_NOARGS, kReduceDoc}
#define VK_RESTORE_METHOD(fn, doc) {"_restore", as_cfunc(fn), VK_FASTCALL | METH_CLASS, doc}

}  // namespace vk
