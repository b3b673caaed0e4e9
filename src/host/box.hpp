// Box<T>: a value that several holders share, kept in an internal object of
// the collector's, the way node and edge values keep their records.
//
// A C++ handle shared by reference count (std::shared_ptr) hides the
// sharing from the collector: each holder can only report what the value
// holds as its own, which counts it once per holder, or not at all, which
// leaves every cycle through the value uncollected. Here the value lives in
// an object of an internal class (not made from Python code, no methods),
// every holder holds one reference to that object and reports that
// reference, and the object reports what the value holds, once. Copying a
// handle copies one reference.
//
// Holders change a boxed value in place only while they hold its one
// reference (unique()), or in a way no other holder can observe (the
// operation queue appends past the prefix every other holder sees);
// otherwise they box a changed copy. Boxing allocates a Python object, so it
// can fail with MemoryError.
#pragma once
#include <Python.h>

#include <utility>

#include "errors.hpp"
#include "host/pytype.hpp"
#include "host/ref.hpp"

namespace vk {

// How the collector reads and clears a boxed T: through T's own traverse,
// and by emptying it (T made anew). Specialised for a T that is no class of
// ours (a variant, a vector).
template <class T>
struct BoxOps {
    static int traverse(const T& v, visitproc visit, void* arg) { return v.traverse(visit, arg); }
    static void clear(T& v) {
        T old = std::exchange(v, T());  // released after the box holds the empty value
    }
};

template <class T>
struct Boxed : Obj {
    T value;
};

// The class of the boxes of T, made once by make_box_type.
template <class T>
inline PyTypeObject* box_type = nullptr;

template <class T>
int box_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    return BoxOps<T>::traverse(reinterpret_cast<Boxed<T>*>(self)->value, visit, arg);
}

template <class T>
int box_clear(PyObject* self) {
    BoxOps<T>::clear(reinterpret_cast<Boxed<T>*>(self)->value);
    return 0;
}

// Makes the class "velkora._<name>" of the boxes of T (collected, not to be
// made from Python code) and keeps it in box_type<T>. Null with an exception
// set when it cannot be made.
template <class T>
PyTypeObject* make_box_type(const char* qualified_name) {
    static PyType_Slot slots[] = {
        {Py_tp_dealloc, (void*)dealloc_instance<Boxed<T>>},
        {Py_tp_traverse, (void*)box_traverse<T>},
        {Py_tp_clear, (void*)box_clear<T>},
        {0, nullptr},
    };
    box_type<T> = make_type(qualified_name, sizeof(Boxed<T>), slots, nullptr, nullptr,
                            Py_TPFLAGS_DISALLOW_INSTANTIATION);
    return box_type<T>;
}

template <class T>
class Box {
public:
    // An empty handle; only a made one may be read.
    Box() = default;
    Box(const Box& o) : obj_(o.obj_.copy()) {}
    Box(Box&&) noexcept = default;
    // The old box is released after this handle holds the new one.
    Box& operator=(const Box& o) {
        obj_ = o.obj_.copy();
        return *this;
    }
    Box& operator=(Box&&) noexcept = default;

    // A new box holding T(args...).
    template <class... A>
    static Status make(Box& out, A&&... args) {
        Boxed<T>* b = alloc_instance<Boxed<T>>(box_type<T>, std::forward<A>(args)...);
        if (!b) return PyErrorSet{};
        out.obj_ = Ref::steal(reinterpret_cast<PyObject*>(b));
        return ok_status();
    }

    explicit operator bool() const { return static_cast<bool>(obj_); }
    const T& operator*() const { return value(); }
    const T* operator->() const { return &value(); }
    // Whether this handle holds the box's one reference.
    bool unique() const { return Py_REFCNT(obj_.get()) == 1; }
    // The value, to change in place (see above).
    T& own_value() { return reinterpret_cast<Boxed<T>*>(obj_.get())->value; }
    bool same_box(const Box& o) const { return obj_.get() == o.obj_.get(); }

    // The collector's visit of the reference this handle holds.
    int traverse(visitproc visit, void* arg) const {
        Py_VISIT(obj_.get());
        return 0;
    }

private:
    const T& value() const { return reinterpret_cast<Boxed<T>*>(obj_.get())->value; }
    Ref obj_;
};

}  // namespace vk
