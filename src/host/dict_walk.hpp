// Ordered walk of a Python dict that detects changes made by Python code run
// during the walk, with the interpreter's own messages.
#pragma once
#include <Python.h>

#include "host/ref.hpp"

namespace vk {

class DictWalk {
public:
    explicit DictWalk(PyObject* dict)
        : dict_(Ref::borrow(dict)), size_(PyDict_GET_SIZE(dict)) {}

    // 1: key and value hold new references to the next entry; 0: the end;
    // -1: the dict changed (RuntimeError set).
    int next(Ref& key, Ref& value) {
        PyObject* d = dict_.get();
        if (PyDict_GET_SIZE(d) != size_) {
            PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
            return -1;
        }
        PyObject *k, *v;
        if (!PyDict_Next(d, &pos_, &k, &v)) return 0;
        if (produced_ == size_) {
            PyErr_SetString(PyExc_RuntimeError, "dictionary keys changed during iteration");
            return -1;
        }
        ++produced_;
        key = Ref::borrow(k);
        value = Ref::borrow(v);
        return 1;
    }

private:
    Ref dict_;  // kept alive: the walk may run code that drops other references
    Py_ssize_t size_;
    Py_ssize_t pos_ = 0;
    Py_ssize_t produced_ = 0;
};

}  // namespace vk
