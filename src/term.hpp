// Term values (a name and a type), the Term class and term application.
#pragma once
#include <Python.h>

#include <memory>
#include <string>

#include "types.hpp"

namespace vk {

struct TermValue {
    std::string name;
    TypeRef type;
};

// Immutable shared copy of a term, as kept by edges and edge patterns.
using TermHandle = std::shared_ptr<const TermValue>;

// The term uid: SHA-256 of "term:", the name, ":" and the type uid.
bool term_uid(const TermValue& t, Hex64& out);

struct PyTerm : Obj {
    TermValue value;
};

extern PyTypeObject* TermType;
PyTypeObject* create_term_type();

// Copies the value of a Term object; anything else fails with the cast
// TypeError naming 'Term' (no argument prefix).
bool term_from_python(PyObject* obj, TermValue& out);
PyObject* term_to_python(const TermValue& t);

}  // namespace vk
