// In-use marks: while a method body runs on an object, the object is marked
// as read (shared) or as being changed (exclusive). A conflicting use from
// Python code that the body runs (a property's __eq__, say) is refused.
#pragma once
#include <Python.h>

namespace vk {

// Common head of every instance of the module's classes.
struct Obj {
    PyObject_HEAD
    // > 0: that many readers; -1: one writer; 0: free. Only touched with the
    // interpreter lock held.
    int borrow;
};

class SharedBorrow {
public:
    explicit SharedBorrow(PyObject* o) : o_(reinterpret_cast<Obj*>(o)) {
        if (o_->borrow < 0) {
            PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
            o_ = nullptr;
        } else {
            ++o_->borrow;
        }
    }
    ~SharedBorrow() {
        if (o_) --o_->borrow;
    }
    SharedBorrow(const SharedBorrow&) = delete;
    SharedBorrow& operator=(const SharedBorrow&) = delete;
    explicit operator bool() const { return o_ != nullptr; }

private:
    Obj* o_;
};

class ExclusiveBorrow {
public:
    explicit ExclusiveBorrow(PyObject* o) : o_(reinterpret_cast<Obj*>(o)) {
        if (o_->borrow != 0) {
            PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
            o_ = nullptr;
        } else {
            o_->borrow = -1;
        }
    }
    ~ExclusiveBorrow() {
        if (o_) o_->borrow = 0;
    }
    ExclusiveBorrow(const ExclusiveBorrow&) = delete;
    ExclusiveBorrow& operator=(const ExclusiveBorrow&) = delete;
    explicit operator bool() const { return o_ != nullptr; }

private:
    Obj* o_;
};

}  // namespace vk
