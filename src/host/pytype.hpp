// Helpers for the module's heap types: creation from slot tables, instance
// allocation and release, and the pieces every class shares.
#pragma once
#include <Python.h>

#include <new>
#include <utility>

#include "host/borrow.hpp"

namespace vk {

// Creates a heap type named "velkora.<name>": immutable (its attributes
// cannot be set or deleted), not subclassable, no instance dict, no weak
// references, no cyclic GC. The slot table must end with {0, 0}.
PyTypeObject* make_type(const char* qualified_name, int basicsize, PyType_Slot* slots);

// Allocates an instance of T (a struct deriving from Obj) and constructs its
// C++ members in place from args.
template <class T, class... A>
T* alloc_instance(PyTypeObject* type, A&&... args) {
    PyObject* o = type->tp_alloc(type, 0);
    if (!o) return nullptr;
    T* t = reinterpret_cast<T*>(o);
    // Obj's header is already initialised; build the rest in place.
    new (&t->value) decltype(t->value)(std::forward<A>(args)...);
    t->borrow = 0;
    return t;
}

// tp_dealloc for an instance whose C++ member is named `value`.
template <class T>
void dealloc_instance(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    using V = decltype(reinterpret_cast<T*>(self)->value);
    reinterpret_cast<T*>(self)->value.~V();
    tp->tp_free(self);
    Py_DECREF(tp);
}

// The != of a class whose == compares values: the negation of the full ==
// protocol on (self, other), the other operand's reflected __eq__ included,
// with self held in use while it runs (so that == cannot change it).
PyObject* not_equal(PyObject* self, PyObject* other);

// Setter helper: deleting an attribute that has a setter is refused.
inline bool refuse_delete(PyObject* value) {
    if (value) return false;
    PyErr_SetString(PyExc_AttributeError, "can't delete attribute");
    return true;
}

// Casts for PyMethodDef tables.
template <class F>
PyCFunction as_cfunc(F f) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(f));
}

#define VK_FASTCALL (METH_FASTCALL | METH_KEYWORDS)

}  // namespace vk
