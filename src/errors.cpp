#include "errors.hpp"

namespace vk {

namespace {
void add_suffix(std::string& msg, const std::optional<std::string>& ctx) {
    if (ctx) {
        msg += " (";
        msg += *ctx;
        msg += ')';
    }
}
}  // namespace

std::string VelkoraError::message() const {
    std::string m;
    switch (kind) {
        case ErrorKind::TypeMismatch:
            m = "Type mismatch: expected " + a + ", got " + b;
            if (context) m += " (in " + *context + ")";
            break;
        case ErrorKind::NodeNotFound:
            m = "Node not found: " + a;
            add_suffix(m, context);
            break;
        case ErrorKind::EdgeNotFound:
            m = "Edge not found: " + a;
            add_suffix(m, context);
            break;
        case ErrorKind::InvalidPattern:
            m = "Invalid pattern '" + a + "': " + b;
            break;
        case ErrorKind::InvalidQuery:
            m = "Invalid query: " + a;
            add_suffix(m, context);
            break;
        case ErrorKind::InvalidIdentifier:
            m = "Invalid identifier '" + a + "': " + b;
            break;
        case ErrorKind::PropertyError:
            m = "Property error for '" + a + "': " + b;
            break;
        case ErrorKind::VariableNotFound:
            m = "Variable '" + a + "' not found";
            add_suffix(m, context);
            break;
        case ErrorKind::SchemaValidation:
            m = "Schema validation failed for '" + a + "': " + b;
            break;
    }
    return m;
}

PyObject* VelkoraError::exception_type() const {
    switch (kind) {
        case ErrorKind::TypeMismatch: return PyExc_TypeError;
        case ErrorKind::NodeNotFound:
        case ErrorKind::EdgeNotFound: return PyExc_KeyError;
        case ErrorKind::InvalidPattern:
        case ErrorKind::InvalidQuery:
        case ErrorKind::InvalidIdentifier:
        case ErrorKind::SchemaValidation: return PyExc_ValueError;
        case ErrorKind::PropertyError: return PyExc_AttributeError;
        case ErrorKind::VariableNotFound: return PyExc_NameError;
    }
    return PyExc_RuntimeError;
}

VelkoraError VelkoraError::type_mismatch(std::string expected, std::string actual,
                                         std::optional<std::string> context) {
    return VelkoraError{ErrorKind::TypeMismatch, std::move(expected), std::move(actual),
                        std::move(context)};
}

VelkoraError VelkoraError::invalid_query(std::string message, std::optional<std::string> context) {
    return VelkoraError{ErrorKind::InvalidQuery, std::move(message), {}, std::move(context)};
}

VelkoraError invalid_pattern(std::string_view pattern, std::string reason) {
    return VelkoraError{ErrorKind::InvalidPattern, std::string(pattern), std::move(reason), {}};
}

void raise(VelkoraError err) {
    std::string msg = err.message();
    PyObject* text = PyUnicode_DecodeUTF8(msg.data(), (Py_ssize_t)msg.size(), "surrogatepass");
    if (!text) return;
    // The message is the exception's single argument (for KeyError too).
    PyErr_SetObject(err.exception_type(), text);
    Py_DECREF(text);
}

void raise(Error err) {
    if (auto* v = std::get_if<VelkoraError>(&err.e)) raise(std::move(*v));
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

bool drop_exception() {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return false;
    PyErr_Clear();
    return true;
}

}  // namespace vk
