// Term values (a name and a type), the Term class and term application.
#pragma once
#include <Python.h>

#include <string>

#include "shared.hpp"
#include "types.hpp"

namespace vk {

struct TermValue {
    std::string name;
    TypeRef type;

    // The uids made from this term alone, kept once made (the edge uid also
    // as a str, the key its edges are filed under). A term is never changed
    // in place (renaming a Term object gives it a new value), so they stay
    // valid.
    struct Uids {
        bool term_ready = false, edge_ready = false;
        Hex64 term, edge;
        Ref edge_key;
    };
    mutable Uids uids;
};

// Immutable shared term, as kept by Term objects, edges and edge patterns.
using TermHandle = Shared<TermValue>;

// The term uid: SHA-256 of "term:", the name, ":" and the type uid. Null
// with a Python exception set if the digest fails.
const Hex64* term_uid(const TermValue& t);
// The uid of an edge of this term: SHA-256 of "edge:" and the term uid.
const Hex64* edge_uid_of_term(const TermValue& t);
// The same as a str (with its hash), made once. Borrowed; null with a
// Python exception set on failure.
PyObject* edge_key_of_term(const TermValue& t);

// The callables of Term, each declared once (host/args.hpp).
namespace term_sig {
inline constexpr auto construct = constructor("Term.__new__", req("name"), req("type"));
inline constexpr auto call = method("Term.__call__", req("other"));
inline constexpr auto uid = method("Term.uid");
}  // namespace term_sig

struct PyTerm : Obj {
    TermHandle value;
};

extern PyTypeObject* TermType;
PyTypeObject* create_term_type();

// Shares the value of a Term object; anything else fails with the cast
// TypeError naming 'Term' (no argument prefix).
Status term_from_python(PyObject* obj, TermHandle& out);
// A new Term object sharing the value.
PyObject* term_to_python(const TermHandle& t);

}  // namespace vk
