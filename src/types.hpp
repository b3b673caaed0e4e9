// Type values: the closed sum of Variable (a name) and Application (left and
// right types), immutable once built and shared through reference-counted
// handles. Anything derived from a type alone (its uid, the uid of a node of
// that type, its Python hash) is computed once and kept with it. The counts
// are plain integers: handles are copied and released only by this module's
// code, which runs with the interpreter lock held. Every walk over a type is
// iterative, so a type nested any number of levels deep is printed, compared,
// hashed, given a uid and released without deep recursion on the C stack.
#pragma once
#include <Python.h>

#include <memory>
#include <string>
#include <string_view>

#include "digest.hpp"
#include "host/args.hpp"
#include "host/borrow.hpp"
#include "host/ref.hpp"

namespace vk {

class SipHash13;
class TypeRef;

class TypeNode {
public:
    bool is_app() const { return left_ != nullptr; }
    const std::string& name() const { return name_; }
    const TypeNode* left() const { return left_; }
    const TypeNode* right() const { return right_; }

private:
    friend class TypeRef;
    friend const Hex64* type_uid(const TypeNode* t);
    friend const Hex64* node_uid_of_type(const TypeNode* t);
    friend PyObject* node_key_of_type(const TypeNode* t);
    friend Py_hash_t type_py_hash(const TypeNode* t);
    friend bool type_equal(const TypeNode* a, const TypeNode* b);
    TypeNode() = default;

    mutable size_t rc_ = 1;
    std::string name_;
    TypeNode* left_ = nullptr;   // both null for a variable, both set for an application
    TypeNode* right_ = nullptr;
    mutable bool uid_ready_ = false;
    mutable bool hash_ready_ = false;
    mutable Py_hash_t hash_ = 0;
    mutable Hex64 uid_;
    // The uid of a node of this type, made on the first request (most types
    // are never a node's type, so it is kept apart), and the same as a str.
    mutable std::unique_ptr<Hex64> node_uid_;
    mutable Ref node_key_;
};

// Shared handle to an immutable TypeNode.
class TypeRef {
public:
    TypeRef() = default;
    TypeRef(const TypeRef& o) : p_(o.p_) { acquire(p_); }
    TypeRef(TypeRef&& o) noexcept : p_(o.p_) { o.p_ = nullptr; }
    TypeRef& operator=(const TypeRef& o) {
        TypeRef tmp(o);
        std::swap(p_, tmp.p_);
        return *this;
    }
    TypeRef& operator=(TypeRef&& o) noexcept {
        std::swap(p_, o.p_);
        return *this;
    }
    ~TypeRef() { release(p_); }

    static TypeRef variable(std::string_view name);
    static TypeRef application(const TypeRef& left, const TypeRef& right);
    // A further handle to a node that some other handle keeps alive.
    static TypeRef share(const TypeNode* n) {
        acquire(n);
        return TypeRef(const_cast<TypeNode*>(n));
    }

    const TypeNode* get() const { return p_; }
    const TypeNode* operator->() const { return p_; }
    const TypeNode& operator*() const { return *p_; }
    explicit operator bool() const { return p_ != nullptr; }

private:
    explicit TypeRef(TypeNode* p) : p_(p) {}
    static void acquire(const TypeNode* p) {
        if (p) ++p->rc_;
    }
    static void release(TypeNode* p);
    TypeNode* p_ = nullptr;
};

// Text form: a variable's name; "(" left " -> " right ")" for an application.
std::string type_text(const TypeNode* t);
// Structural equality, with the shortcut for shared sub-types (and for types
// whose Python hashes are known to differ).
bool type_equal(const TypeNode* a, const TypeNode* b);
// The uid (64 hex digits), computed once per node; null with a Python
// exception set if the digest fails.
const Hex64* type_uid(const TypeNode* t);
// The uid of a node of type t: SHA-256 of "node:" and the type uid, made
// once per type node. Null with a Python exception set if the digest fails.
const Hex64* node_uid_of_type(const TypeNode* t);
// The node uid as a str, made once per type node (its hash with it): the
// key a node of type t is filed under. Borrowed; null with a Python
// exception set on failure.
PyObject* node_key_of_type(const TypeNode* t);
// Feeds the type hash encoding of t.
void type_hash_encoding(SipHash13& h, const TypeNode* t);
// The Python hash of the Variable or Application object holding t.
Py_hash_t type_py_hash(const TypeNode* t);

// ----- Python classes ------------------------------------------------------

// The callables of the two classes, each declared once (host/args.hpp).
namespace variable_sig {
inline constexpr auto construct = constructor("Variable.__new__", req("name"));
inline constexpr auto uid = method("Variable.uid");
}  // namespace variable_sig
namespace application_sig {
inline constexpr auto construct = constructor("Application.__new__", req("left"), req("right"));
inline constexpr auto uid = method("Application.uid");
inline constexpr auto restore = class_method("Application._restore", req("data"));
}  // namespace application_sig

struct PyType_ : Obj {
    TypeRef value;
};

extern PyTypeObject* VariableType;
extern PyTypeObject* ApplicationType;

PyTypeObject* create_variable_type();
PyTypeObject* create_application_type();

// A Variable or Application object gives (a handle to) its value; anything
// else fails with TypeError "Expected Variable or Application".
Status python_to_type(PyObject* obj, TypeRef& out);
bool is_type_object(PyObject* obj);
// A new Variable or Application object for the value.
PyObject* type_to_python(const TypeRef& t);

}  // namespace vk
