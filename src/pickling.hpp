// Copy and pickle: every class's __reduce__, and the class methods that
// rebuild the classes whose constructors cannot take their reduced form.
#pragma once
#include <Python.h>

#include "host/pytype.hpp"

namespace vk {

// __reduce__ of every class: one declaration and one docstring.
inline constexpr auto reduce_sig = method("__reduce__");
extern const char kReduceDoc[];
inline MethodEntry reduce_entry(NoArgsBody body) {
    return method_entry<reduce_sig>(body, kReduceDoc);
}

// __reduce__ of each class.
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
PyObject* path_reduce(PyObject* self, PyObject*);
// Refuses: a query holds running state bound to its graph's dicts.
PyObject* query_reduce(PyObject* self, PyObject*);

// _restore class methods, declared in the tables of their classes. Each
// builds a new object and checks everything it is given, so malformed
// pickle data raises. The docstrings follow the text signature line.
PyObject* application_restore(PyObject* cls, PyObject* const* args, Py_ssize_t n, PyObject* kw);
PyObject* graph_restore(PyObject* cls, PyObject* const* args, Py_ssize_t n, PyObject* kw);
PyObject* path_pattern_restore(PyObject* cls, PyObject* const* args, Py_ssize_t n, PyObject* kw);
extern const char kApplicationRestoreDoc[];
extern const char kGraphRestoreDoc[];
extern const char kPathPatternRestoreDoc[];

}  // namespace vk
