// The argument binder and the argument converters.
//
// Every callable describes its parameters once in a Signature; bind() matches
// positional and keyword arguments against it and reports binding errors in
// the interpreter's own words, naming the callable as "Class.method()".
// Converters then check each bound argument and report
//   argument 'NAME': 'int' object cannot be cast as 'str'
// so call sites never spell those messages themselves.
#pragma once
#include <Python.h>

#include <optional>
#include <string>
#include <string_view>

namespace vk {

enum class ParamKind : unsigned char { PosOrKw, KwOnly, VarArgs };

struct Param {
    const char* name;
    ParamKind kind = ParamKind::PosOrKw;
    bool required = false;
};

constexpr Param req(const char* n) { return Param{n, ParamKind::PosOrKw, true}; }
constexpr Param opt(const char* n) { return Param{n, ParamKind::PosOrKw, false}; }
constexpr Param kwonly(const char* n) { return Param{n, ParamKind::KwOnly, false}; }
constexpr Param varargs(const char* n) { return Param{n, ParamKind::VarArgs, false}; }

constexpr int kMaxParams = 16;

class Signature {
public:
    // Every parameter list is a fixed array, so its size is checked here,
    // when it is compiled: the binder keeps kMaxParams slots per call.
    template <size_t N>
    Signature(const char* callable, const Param (&params)[N]) : Signature(callable, params, (int)N) {
        static_assert(N <= kMaxParams, "a parameter list longer than kMaxParams");
    }
    Signature(const char* callable) : Signature(callable, nullptr, 0) {}

    const char* callable() const { return callable_; }
    int size() const { return n_; }
    const Param& operator[](int i) const { return params_[i]; }
    // Index of the parameter collecting extra positional arguments, or -1.
    int varargs_index() const { return var_; }

    // Interned parameter names for fast keyword matching (built on first use).
    PyObject* interned(int i) const;
    // Builds every interned name; false with the error set.
    bool intern_all() const;
    // Whether any parameter is required.
    bool has_required() const { return required_; }

private:
    Signature(const char* callable, const Param* params, int n);

    const char* callable_;
    const Param* params_;
    int n_;
    int npos_ = 0;  // positional-or-keyword parameters
    int var_ = -1;
    bool required_ = false;
    mutable bool interned_all_ = false;
    mutable PyObject* interned_[kMaxParams] = {};

public:
    int positional_count() const { return npos_; }
};

// The bound arguments: one borrowed object per parameter (null when absent),
// and the extra positional arguments for a *args parameter.
struct Bound {
    PyObject* slot[kMaxParams] = {};
    PyObject* const* varargs = nullptr;
    Py_ssize_t nvarargs = 0;
    PyObject* operator[](int i) const { return slot[i]; }
};

// Vectorcall convention (METH_FASTCALL | METH_KEYWORDS).
bool bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames,
          Bound& out);
// Tuple and dict convention (tp_new, tp_call).
bool bind(const Signature& sig, PyObject* args, PyObject* kwargs, Bound& out);

// ----- conversion errors ---------------------------------------------------

// The type name printed in messages: the class name without module prefix.
const char* type_name(PyTypeObject* t);
// "'int' object cannot be cast as 'str'"
std::string cast_message(PyObject* obj, const char* required);
// TypeError "argument 'NAME': " + reason. Always returns false.
bool arg_error(const char* param, const std::string& reason);
// TypeError with the cast message alone. Always returns false.
bool cast_error(PyObject* obj, const char* required);

// ----- converters: each returns false with the argument error set -----------

// A str, as a UTF-8 view valid while obj lives.
bool to_str(const char* param, PyObject* obj, std::string_view& out);
bool to_string(const char* param, PyObject* obj, std::string& out);
// Absent or None gives nullopt.
bool to_opt_string(const char* param, PyObject* obj, std::optional<std::string>& out);
// A dict or dict subclass; absent or None gives null when allow_none.
bool to_dict(const char* param, PyObject* obj, PyObject*& out, bool allow_none);
// Only True or False.
bool to_bool(const char* param, PyObject* obj, bool& out);
// A non-negative int fitting a machine word; the interpreter's own
// OverflowError passes through unchanged.
bool to_size(const char* param, PyObject* obj, size_t& out);
// An instance of one of the module's classes (exact type: none is subclassable).
bool to_instance(const char* param, PyObject* obj, PyTypeObject* type);

// Builds a str from UTF-8 text.
PyObject* to_py(std::string_view s);

}  // namespace vk
