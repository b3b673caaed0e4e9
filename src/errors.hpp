// The module's own error kinds, the Result type that carries them inside the
// module, and their conversion to Python exceptions at the boundary.
#pragma once
#include <Python.h>
#include <optional>
#include <string>
#include <utility>
#include <variant>

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
};

// An InvalidPattern error from the quoted pattern text and a reason.
VelkoraError invalid_pattern(std::string_view pattern, std::string reason);

// Marker: a Python exception is already set.
struct PyErrorSet {};

// Either nothing/a value, or a module error, or a pending Python exception.
struct Error {
    std::variant<PyErrorSet, VelkoraError> e;
    Error(PyErrorSet) : e(PyErrorSet{}) {}
    Error(VelkoraError v) : e(std::move(v)) {}
};

// For the places that pass over a failed step: clears the pending Python
// exception when it is an Exception subclass and returns true; anything else
// (KeyboardInterrupt, SystemExit, ...) stays set and gives false.
bool drop_exception();

// Sets the Python exception for an error (a pending one is left as it is).
void raise(Error err);
// Sets the Python exception for a module error.
void raise(VelkoraError err);

// Takes the pending Python exception: the normalised exception object (a new
// reference) with its traceback attached; none is pending afterwards.
PyObject* take_exception();
// Makes `cause` (a reference this steals) the __cause__ and __context__ of
// the pending exception, which replaced it.
void set_pending_cause(PyObject* cause);

template <class T>
class [[nodiscard]] Result {
public:
    Result(T v) : v_(std::in_place_index<0>, std::move(v)) {}
    Result(Error e) : v_(std::in_place_index<1>, std::move(e)) {}
    Result(VelkoraError e) : v_(std::in_place_index<1>, Error(std::move(e))) {}
    Result(PyErrorSet) : v_(std::in_place_index<1>, Error(PyErrorSet{})) {}

    bool ok() const { return v_.index() == 0; }
    explicit operator bool() const { return ok(); }
    T& value() { return std::get<0>(v_); }
    T& operator*() { return value(); }
    T* operator->() { return &value(); }
    Error& error() { return std::get<1>(v_); }
    Error take_error() { return std::move(std::get<1>(v_)); }

private:
    std::variant<T, Error> v_;
};

struct Unit {};
using Status = Result<Unit>;
inline Status ok_status() { return Unit{}; }

}  // namespace vk
