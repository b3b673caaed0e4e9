// Graph.cypher(): the binding, the cache of planned queries by text, and
// the parameters of one call.
#pragma once
#include <Python.h>

namespace vk {

// The body of Graph.cypher (declared in graph_sig).
PyObject* graph_cypher(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                       PyObject* kwnames);
extern const char kGraphCypherDoc[];

}  // namespace vk
