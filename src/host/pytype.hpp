// Helpers for the module's heap types: creation from slot tables, instance
// allocation and release, and the pieces every class shares.
#pragma once
#include <Python.h>

#include <new>
#include <string>
#include <utility>

#include "host/args.hpp"
#include "host/borrow.hpp"
#include "host/ref.hpp"

namespace vk {

// Casts for method tables.
template <class F>
PyCFunction as_cfunc(F f) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(f));
}

// One method of a class: its declaration, its body, its calling convention
// and the docstring text that follows the text signature line.
struct MethodEntry {
    const CallableInfo* info;
    const Param* params;
    PyCFunction body;
    int flags;
    const char* doc;
};

using FastcallBody = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
using NoArgsBody = PyObject* (*)(PyObject*, PyObject*);

// A method whose body binds its arguments with Args<S> (METH_FASTCALL |
// METH_KEYWORDS, with METH_CLASS or METH_STATIC as S's receiver asks).
template <const auto& S>
MethodEntry method_entry(FastcallBody body, const char* doc) {
    int flags = METH_FASTCALL | METH_KEYWORDS;
    if (S.info.receiver == Receiver::Type) flags |= METH_CLASS;
    if (S.info.receiver == Receiver::Nothing) flags |= METH_STATIC;
    return {&S.info, S.params.data(), as_cfunc(body), flags, doc};
}

// A method of no arguments (METH_NOARGS: the interpreter refuses any).
template <const auto& S>
MethodEntry method_entry(NoArgsBody body, const char* doc) {
    static_assert(S.params.size() == 0 && S.info.receiver == Receiver::Instance,
                  "a METH_NOARGS method takes the instance alone");
    return {&S.info, S.params.data(), body, METH_NOARGS, doc};
}

// The PyMethodDef array of a class's methods, each docstring the text
// signature line followed by the entry's text. Made once, when the class is
// created, and kept for the life of the process: the method objects point
// into it.
PyMethodDef* method_table(const MethodEntry* entries, size_t n);
template <size_t N>
PyMethodDef* method_table(const MethodEntry (&entries)[N]) {
    return method_table(entries, N);
}

// A class's docstring: its constructor's text signature line, then `doc`.
template <const auto& S>
std::string class_doc(const char* doc) {
    static_assert(S.info.receiver == Receiver::Construct,
                  "a class docstring opens with its constructor's signature");
    return text_signature(S.info, S.params.data()) + doc;
}

// Creates a heap type named "velkora.<name>": immutable (its attributes
// cannot be set or deleted), not subclassable, no instance dict, no weak
// references. A class whose slots include tp_traverse takes part in cyclic
// garbage collection. The slot table must end with {0, 0}; the docstring
// (copied by CPython) and the method table, when given, are added to it, and
// `extra_flags` to the type's flags.
PyTypeObject* make_type(const char* qualified_name, int basicsize, const PyType_Slot* slots,
                        const char* doc = nullptr, PyMethodDef* methods = nullptr,
                        unsigned extra_flags = 0);

// Allocates an instance of T (a struct deriving from Obj) and constructs its
// C++ members in place from args. The memory is not cleared first (every
// member is built here), and an instance of a collected class is tracked
// only once its value is built.
template <class T, class... A>
T* alloc_instance(PyTypeObject* type, A&&... args) {
    const bool collected = PyType_IS_GC(type);
    T* t = collected ? PyObject_GC_New(T, type) : PyObject_New(T, type);
    if (!t) return nullptr;
    new (&t->value) decltype(t->value)(std::forward<A>(args)...);
    t->borrow = 0;
    if (collected) PyObject_GC_Track(t);
    return t;
}

// tp_dealloc for an instance whose C++ member is named `value`. A collected
// instance leaves the collector's lists before its value is destroyed, since
// releasing the value's references may run Python code and a collection.
template <class T>
void dealloc_instance(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    if (PyType_IS_GC(tp)) PyObject_GC_UnTrack(self);
    using V = decltype(reinterpret_cast<T*>(self)->value);
    reinterpret_cast<T*>(self)->value.~V();
    tp->tp_free(self);
    Py_DECREF(tp);
}

// tp_traverse for an instance whose value has traverse(visit, arg): the
// class (every heap-type instance holds a reference to it), then the value.
template <class T>
int traverse_instance(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    return reinterpret_cast<T*>(self)->value.traverse(visit, arg);
}

// tp_clear pieces. Each leaves the object working (a cleared object is only
// one with fewer references), and releases the old references after the
// member already holds its new state, so that Python code run by a release
// sees a consistent object.
//
// empty_out: the member becomes a default-made (empty) one.
template <class V>
void empty_out(V& member) {
    V old = std::exchange(member, V());
}
// A properties or graph dict is replaced by a new empty dict. When none can
// be made the old one stays: the collector then breaks the cycle through the
// dict's own clear.
void replace_with_empty_dict(Ref& member);

// Holds the cyclic garbage collector off for a stretch of code that makes
// many collected objects and runs no Python code of the user's, so that the
// collections it would start on the way (every few hundred allocations, and
// now and then one over every object alive) happen once, after it, instead.
// The collector is switched back on at the end of the scope only if it was
// on at the start: a program that turned it off keeps it off.
class CollectorPause {
public:
    CollectorPause() : was_on_(PyGC_Disable()) {}
    ~CollectorPause() {
        if (was_on_) PyGC_Enable();
    }
    CollectorPause(const CollectorPause&) = delete;
    CollectorPause& operator=(const CollectorPause&) = delete;

private:
    int was_on_;
};

// The != of a class whose == compares values: the negation of the full ==
// protocol on (self, other), the other operand's reflected __eq__ included,
// with self held in use while it runs (so that == cannot change it).
PyObject* not_equal(PyObject* self, PyObject* other);

// The first check of a setter: its value is null when the attribute is
// being deleted, which is refused.
inline Status assigning(PyObject* value) {
    if (value) return ok_status();
    PyErr_SetString(PyExc_AttributeError, "can't delete attribute");
    return PyErrorSet{};
}

}  // namespace vk
