// The module's entry point: one module object per process, the classes
// registered in a fixed order, and a guard against sub-interpreters.
#include <Python.h>

#include <atomic>

#include "digest.hpp"
#include "graph.hpp"
#include "host/ref.hpp"
#include "path_value.hpp"
#include "patterns.hpp"
#include "query/query.hpp"
#include "term.hpp"
#include "type_schema.hpp"
#include "types.hpp"

namespace vk {
namespace {

const char kModuleDoc[] =
    "Type theoretical graph modelling in a native module.\n\n"
    "This module exposes the core classes of the library: the type system,\n"
    "graph components and query mechanisms.\n\n"
    "# Classes Exposed\n\n"
    "- `Variable`: Type variables\n"
    "- `Application`: Application types (A -> B)\n"
    "- `Term`: Typed terms\n"
    "- `Node`: Graph nodes with types\n"
    "- `Edge`: Graph edges with terms\n"
    "- `Graph`: The main graph structure\n"
    "- `TypeSchema`: Type pattern matching\n"
    "- `NodePattern`, `EdgePattern`, `PathPattern`: Query patterns\n"
    "- `Query`: Cypher-like query builder\n"
    "- `Path`: Paths returned by Cypher queries\n";

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "velkora", kModuleDoc, 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

struct ClassEntry {
    const char* name;
    PyTypeObject* (*create)();
};

// Registration order is part of the interface (it is the order of __all__).
const ClassEntry kClasses[] = {
    {"Variable", create_variable_type},
    {"Application", create_application_type},
    {"Term", create_term_type},
    {"Node", create_node_type},
    {"Edge", create_edge_type},
    {"Graph", create_graph_type},
    {"TypeSchema", create_type_schema_type},
    {"NodePattern", create_node_pattern_type},
    {"EdgePattern", create_edge_pattern_type},
    {"PathPattern", create_path_pattern_type},
    {"Query", create_query_type},
    {"Path", create_path_type},
};

std::atomic<int64_t> g_interpreter{-1};
PyObject* g_module = nullptr;

Status register_class(PyObject* module, const ClassEntry& c) {
    PyTypeObject* type = c.create();
    if (!type) return PyErrorSet{};
    Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return PyErrorSet{};
        PyErr_Clear();
        all = Ref::steal(PyList_New(0));
        if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return PyErrorSet{};
    }
    Ref name = Ref::steal(PyUnicode_FromString(c.name));
    if (!name || PyList_Append(all.get(), name.get()) < 0) return PyErrorSet{};
    // The module object keeps a reference (PyModule_AddObject takes it only
    // when it succeeds); the type lives for the process.
    Ref held = Ref::borrow(reinterpret_cast<PyObject*>(type));
    if (PyModule_AddObject(module, c.name, held.get()) < 0) return PyErrorSet{};
    held.release();
    return ok_status();
}

PyObject* init_module() {
    PyInterpreterState* interp = PyInterpreterState_Get();
    int64_t id = PyInterpreterState_GetID(interp);
    if (id < 0) return nullptr;
    int64_t expected = -1;
    if (!g_interpreter.compare_exchange_strong(expected, id) && expected != id) {
        PyErr_SetString(PyExc_ImportError,
                        "velkora does not support sub-interpreters: it was already imported by "
                        "another interpreter in this process");
        return nullptr;
    }
    if (g_module) {
        Py_INCREF(g_module);
        return g_module;
    }
    if (!digest_init()) return nullptr;
    PyObject* m = PyModule_Create(&module_def);
    if (!m) return nullptr;
    for (const ClassEntry& c : kClasses) {
        if (!register_class(m, c)) {
            Py_DECREF(m);
            return nullptr;
        }
    }
    // The package version, fixed when the module is built; not in __all__.
    if (PyModule_AddStringConstant(m, "__version__", VELKORA_VERSION) < 0) {
        Py_DECREF(m);
        return nullptr;
    }
    g_module = m;
    Py_INCREF(g_module);
    return m;
}

}  // namespace
}  // namespace vk

PyMODINIT_FUNC PyInit_velkora(void) { return vk::init_module(); }
