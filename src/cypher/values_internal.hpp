// Small helpers shared by the units of Cypher values (values.cpp, the
// operators, the functions and the aggregates); not for other callers.
#pragma once
#include <Python.h>

#include "cypher/values.hpp"

namespace vk::cypher {

inline bool is_number(Kind k) { return k == Kind::Int || k == Kind::Float; }

// The result of a base class's rich comparison slot: 1, 0, or -1 failed.
inline int slot_result(PyObject* r) {
    if (!r) return -1;
    int res = r == Py_True;
    Py_DECREF(r);
    return res;
}

// An int that fits a long long, read without allocating.
inline bool fits_ll(PyObject* v, long long& out) {
    int overflow = 0;
    long long x = PyLong_AsLongLongAndOverflow(v, &overflow);
    if (overflow) return false;
    if (x == -1 && PyErr_Occurred()) {
        PyErr_Clear();
        return false;
    }
    out = x;
    return true;
}

// Integer and number arguments (bool is neither).
inline bool is_int_value(PyObject* v) { return PyLong_Check(v) && !PyBool_Check(v); }
inline bool is_number_value(PyObject* v) { return is_int_value(v) || PyFloat_Check(v); }

// A number as a double (an int too large for one: OverflowError, false).
inline bool number_value(PyObject* v, double& out) {
    out = PyFloat_Check(v) ? PyFloat_AS_DOUBLE(v) : PyLong_AsDouble(v);
    return !(out == -1.0 && PyErr_Occurred());
}

}  // namespace vk::cypher
