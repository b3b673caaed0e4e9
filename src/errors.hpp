// The module's own error kinds, how failure is reported inside the module,
// and the conversion of an error kind to a Python exception.
//
// How failure is reported. Every failure is a Python exception, set where
// the failure is found; what a function returns only says that it failed,
// in one of three shapes:
//
// - A function whose product is a pointer (a Python reference, new or
//   borrowed, or a uid kept with its type or term) returns null, as the C
//   API's own functions do. The slot functions CPython calls return null or
//   -1 as it requires of them, so the class layer hands such results
//   straight back.
// - Any other fallible function returns Status (no product) or Result<T>
//   (a T): a failed one holds nothing. A plain bool is therefore always an
//   answer (equal, passes), never a failure.
// - A test that may run Python code (a required property compared with ==,
//   a condition evaluated, two sort keys compared) returns an int: 1 yes,
//   0 no, -1 failed. That is the shape of PyObject_RichCompareBool and
//   PyObject_IsTrue, whose results these tests pass on unchanged, and it is
//   what the matchers' inner loops test, one compare per node or edge. A
//   step of a walk over a dict that Python code may change (DictWalk::next,
//   and the visitors of the walks built on it) has the same shape: 1 an
//   entry (go on), 0 the end (stop), -1 failed.
//
// The module's own error kinds (VelkoraError) are plain values until they
// become a failure: returning one from a function that returns Status or
// Result<T> raises it there, as the Python exception its kind names. No
// caller inspects a failure: it is passed up to the slot function, which
// returns null or -1. Raising where the error is found, rather than carrying
// it up to be raised by the class layer, keeps a Result as small as its
// value and a flag and leaves no slot function a raise to forget.
#pragma once
#include <Python.h>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace vk {

enum class ErrorKind {
    TypeMismatch,
    NodeNotFound,
    EdgeNotFound,
    InvalidPattern,
    InvalidQuery,
    InvalidIdentifier,
    PropertyError,
    VariableNotFound,
    SchemaValidation,
};

// One error of the module's own kind: the kind and up to three text fields
// in the order the kind's message uses them (see message()).
struct VelkoraError {
    ErrorKind kind;
    std::string a;
    std::string b;
    std::optional<std::string> context;

    std::string message() const;
    PyObject* exception_type() const;

    static VelkoraError type_mismatch(std::string expected, std::string actual,
                                      std::optional<std::string> context = std::nullopt);
    static VelkoraError invalid_query(std::string message,
                                      std::optional<std::string> context = std::nullopt);
    static VelkoraError variable_not_found(std::string name, std::string context);
};

// An InvalidPattern error from the quoted pattern text and a reason.
VelkoraError invalid_pattern(std::string_view pattern, std::string reason);

// Sets the Python exception for a module error.
void raise(const VelkoraError& err);

// Marker of a failure whose Python exception is already set.
struct PyErrorSet {};

// Takes the pending Python exception: the normalised exception object (a new
// reference) with its traceback attached; none is pending afterwards.
PyObject* take_exception();
// Makes `cause` (a reference this steals) the __cause__ and __context__ of
// the pending exception, which replaced it.
void set_pending_cause(PyObject* cause);

// A T, or a failure with its Python exception set.
template <class T>
class [[nodiscard]] Result {
public:
    Result(T v) : v_(std::move(v)) {}
    Result(PyErrorSet) {}
    // A module error becomes the failure: it is raised here.
    Result(const VelkoraError& e) { raise(e); }

    bool ok() const { return v_.has_value(); }
    explicit operator bool() const { return ok(); }
    T& value() { return *v_; }
    T& operator*() { return *v_; }
    T* operator->() { return &*v_; }

private:
    std::optional<T> v_;
};

struct Unit {};
// Success, or a failure with its Python exception set.
using Status = Result<Unit>;
inline Status ok_status() { return Unit{}; }

// For the places that pass over a failed step: clears the pending Python
// exception when it is an Exception subclass other than MemoryError and
// RecursionError (and their subclasses); those two and anything that is not
// an Exception (KeyboardInterrupt, SystemExit, ...) stay set and are a
// failure.
Status drop_exception();

}  // namespace vk
