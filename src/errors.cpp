#include "errors.hpp"

namespace vk {

namespace {

// How each kind reads, in the order of ErrorKind: the text before `a`, the
// text between `a` and `b` (null: no `b`), the text after, how the context
// opens (null: not shown; it closes with ")"), and the exception class.
struct Form {
    const char* lead;
    const char* mid;
    const char* tail;
    const char* context;
    PyObject* const* exception;
};

const Form kForms[] = {
    {"Type mismatch: expected ", ", got ", "", " (in ", &PyExc_TypeError},
    {"Node not found: ", nullptr, "", " (", &PyExc_KeyError},
    {"Edge not found: ", nullptr, "", " (", &PyExc_KeyError},
    {"Invalid pattern '", "': ", "", nullptr, &PyExc_ValueError},
    {"Invalid query: ", nullptr, "", " (", &PyExc_ValueError},
    {"Invalid identifier '", "': ", "", nullptr, &PyExc_ValueError},
    {"Property error for '", "': ", "", nullptr, &PyExc_AttributeError},
    {"Variable '", nullptr, "' not found", " (", &PyExc_NameError},
    {"Schema validation failed for '", "': ", "", nullptr, &PyExc_ValueError},
};

static_assert(sizeof kForms / sizeof kForms[0] == size_t(ErrorKind::SchemaValidation) + 1,
              "one form per error kind");

const Form& form_of(ErrorKind k) { return kForms[static_cast<size_t>(k)]; }

}  // namespace

std::string VelkoraError::message() const {
    const Form& f = form_of(kind);
    std::string m = f.lead + a;
    if (f.mid) m += f.mid + b;
    m += f.tail;
    if (f.context && context) m += f.context + *context + ")";
    return m;
}

PyObject* VelkoraError::exception_type() const { return *form_of(kind).exception; }

VelkoraError VelkoraError::type_mismatch(std::string expected, std::string actual,
                                         std::optional<std::string> context) {
    return VelkoraError{ErrorKind::TypeMismatch, std::move(expected), std::move(actual),
                        std::move(context)};
}

VelkoraError VelkoraError::invalid_query(std::string message, std::optional<std::string> context) {
    return VelkoraError{ErrorKind::InvalidQuery, std::move(message), {}, std::move(context)};
}

VelkoraError VelkoraError::variable_not_found(std::string name, std::string context) {
    return VelkoraError{ErrorKind::VariableNotFound, std::move(name), {}, std::move(context)};
}

VelkoraError invalid_pattern(std::string_view pattern, std::string reason) {
    return VelkoraError{ErrorKind::InvalidPattern, std::string(pattern), std::move(reason), {}};
}

void raise(const VelkoraError& err) {
    std::string msg = err.message();
    PyObject* text = PyUnicode_DecodeUTF8(msg.data(), (Py_ssize_t)msg.size(), "surrogatepass");
    if (!text) return;
    // The message is the exception's single argument (for KeyError too).
    PyErr_SetObject(err.exception_type(), text);
    Py_DECREF(text);
}

PyObject* take_exception() {
#if PY_VERSION_HEX >= 0x030C0000
    return PyErr_GetRaisedException();
#else
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb && value) PyException_SetTraceback(value, tb);
    Py_XDECREF(type);
    Py_XDECREF(tb);
    return value;
#endif
}

void set_pending_cause(PyObject* cause) {
    PyObject* err = take_exception();
    if (!err) {
        Py_XDECREF(cause);
        return;
    }
    Py_XINCREF(cause);
    PyException_SetContext(err, cause);  // each steals one reference
    PyException_SetCause(err, cause);
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(err);
#else
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(err));
    Py_INCREF(type);
    PyErr_Restore(type, err, PyException_GetTraceback(err));
#endif
}

Status drop_exception() {
    // Running out of memory or of stack says nothing about the key looked
    // up: it is a failure of the operation, as an interrupt is.
    if (!PyErr_ExceptionMatches(PyExc_Exception) || PyErr_ExceptionMatches(PyExc_MemoryError) ||
        PyErr_ExceptionMatches(PyExc_RecursionError)) {
        return PyErrorSet{};
    }
    PyErr_Clear();
    return ok_status();
}

}  // namespace vk
