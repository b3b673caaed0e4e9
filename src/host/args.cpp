#include "host/args.hpp"

#include <cstring>
#include <vector>
#include <string>

namespace vk {

Signature::Signature(const char* callable, const Param* params, int n)
    : callable_(callable), params_(params), n_(n) {
    for (int i = 0; i < n; ++i) {
        if (params[i].kind == ParamKind::PosOrKw) ++npos_;
        if (params[i].kind == ParamKind::VarArgs) var_ = i;
        required_ = required_ || params[i].required;
    }
}

PyObject* Signature::interned(int i) const {
    if (!interned_[i]) interned_[i] = PyUnicode_InternFromString(params_[i].name);
    return interned_[i];
}

bool Signature::intern_all() const {
    if (interned_all_) return true;
    for (int i = 0; i < n_; ++i) {
        if (!interned(i)) return false;
    }
    interned_all_ = true;
    return true;
}

namespace {

bool bind_error(const Signature& sig, const std::string& what) {
    PyErr_Format(PyExc_TypeError, "%s() %s", sig.callable(), what.c_str());
    return false;
}

std::string quoted_list(const std::vector<const char*>& names) {
    // 'a'; 'a' and 'b'; 'a', 'b', and 'c' (the interpreter's own forms)
    std::string s;
    size_t n = names.size();
    for (size_t i = 0; i < n; ++i) {
        if (i) s += (n == 2) ? " and " : (i + 1 == n ? ", and " : ", ");
        s += '\'';
        s += names[i];
        s += '\'';
    }
    return s;
}

int find_keyword(const Signature& sig, PyObject* key) {
    for (int i = 0; i < sig.size(); ++i) {
        if (sig[i].kind == ParamKind::VarArgs) continue;
        PyObject* name = sig.interned(i);
        if (name == key) return i;
    }
    for (int i = 0; i < sig.size(); ++i) {
        if (sig[i].kind == ParamKind::VarArgs) continue;
        if (PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, sig[i].name) == 0) return i;
    }
    return -1;
}

bool bind_core(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
               PyObject* const* kwkeys, PyObject* const* kwvalues, Py_ssize_t nkw, Bound& out) {
    int npos = sig.positional_count();
    int var = sig.varargs_index();
    if (!sig.intern_all()) return false;
    // Positional arguments fill the positional-or-keyword parameters in order.
    if (nargs > npos) {
        if (var < 0) {
            return bind_error(sig, "takes " + std::to_string(npos) + " positional arguments but " +
                                       std::to_string(nargs) + " were given");
        }
        out.varargs = args + npos;
        out.nvarargs = nargs - npos;
    }
    int filled = 0;
    for (int i = 0; i < sig.size() && filled < nargs; ++i) {
        if (sig[i].kind != ParamKind::PosOrKw) continue;
        out.slot[i] = args[filled++];
    }
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        int i = find_keyword(sig, kwkeys[k]);
        if (i < 0) {
            const char* kn = PyUnicode_Check(kwkeys[k]) ? PyUnicode_AsUTF8(kwkeys[k]) : nullptr;
            if (!kn) {
                PyErr_Clear();
                return bind_error(sig, "keywords must be strings");
            }
            return bind_error(sig, std::string("got an unexpected keyword argument '") + kn + "'");
        }
        if (out.slot[i]) {
            return bind_error(sig, std::string("got multiple values for argument '") + sig[i].name + "'");
        }
        out.slot[i] = kwvalues[k];
    }
    if (!sig.has_required()) return true;
    std::vector<const char*> missing_pos, missing_kw;
    for (int i = 0; i < sig.size(); ++i) {
        if (!sig[i].required || out.slot[i]) continue;
        (sig[i].kind == ParamKind::KwOnly ? missing_kw : missing_pos).push_back(sig[i].name);
    }
    if (!missing_pos.empty() || !missing_kw.empty()) {
        bool pos = !missing_pos.empty();
        auto& m = pos ? missing_pos : missing_kw;
        return bind_error(sig, "missing " + std::to_string(m.size()) + " required " +
                                   (pos ? "positional" : "keyword-only") +
                                   (m.size() == 1 ? " argument: " : " arguments: ") + quoted_list(m));
    }
    return true;
}

}  // namespace

bool bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames,
          Bound& out) {
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    PyObject* const* keys = nkw ? &PyTuple_GET_ITEM(kwnames, 0) : nullptr;
    return bind_core(sig, args, nargs, keys, args + nargs, nkw, out);
}

bool bind(const Signature& sig, PyObject* args, PyObject* kwargs, Bound& out) {
    Py_ssize_t nargs = args ? PyTuple_GET_SIZE(args) : 0;
    PyObject* const* items = nargs ? &PyTuple_GET_ITEM(args, 0) : nullptr;
    Py_ssize_t nkw = kwargs ? PyDict_GET_SIZE(kwargs) : 0;
    if (!nkw) return bind_core(sig, items, nargs, nullptr, nullptr, 0, out);
    std::vector<PyObject*> keys, values;
    keys.reserve(nkw);
    values.reserve(nkw);
    Py_ssize_t pos = 0;
    PyObject *k, *v;
    while (PyDict_Next(kwargs, &pos, &k, &v)) {
        keys.push_back(k);
        values.push_back(v);
    }
    return bind_core(sig, items, nargs, keys.data(), values.data(), (Py_ssize_t)keys.size(), out);
}

const char* type_name(PyTypeObject* t) {
    const char* n = t->tp_name;
    const char* dot = std::strrchr(n, '.');
    return dot ? dot + 1 : n;
}

std::string cast_message(PyObject* obj, const char* required) {
    return std::string("'") + type_name(Py_TYPE(obj)) + "' object cannot be cast as '" + required + "'";
}

bool arg_error(const char* param, const std::string& reason) {
    PyErr_Format(PyExc_TypeError, "argument '%s': %s", param, reason.c_str());
    return false;
}

bool cast_error(PyObject* obj, const char* required) {
    PyErr_SetString(PyExc_TypeError, cast_message(obj, required).c_str());
    return false;
}

bool to_str(const char* param, PyObject* obj, std::string_view& out) {
    if (!PyUnicode_Check(obj)) return arg_error(param, cast_message(obj, "str"));
    Py_ssize_t n;
    const char* s = PyUnicode_AsUTF8AndSize(obj, &n);
    if (!s) return false;  // e.g. a lone surrogate: the UnicodeEncodeError passes through
    out = std::string_view(s, (size_t)n);
    return true;
}

bool to_string(const char* param, PyObject* obj, std::string& out) {
    std::string_view v;
    if (!to_str(param, obj, v)) return false;
    out.assign(v);
    return true;
}

bool to_opt_string(const char* param, PyObject* obj, std::optional<std::string>& out) {
    if (!obj || obj == Py_None) {
        out.reset();
        return true;
    }
    std::string_view v;
    if (!to_str(param, obj, v)) return false;
    out.emplace(v);
    return true;
}

bool to_dict(const char* param, PyObject* obj, PyObject*& out, bool allow_none) {
    if (allow_none && (!obj || obj == Py_None)) {
        out = nullptr;
        return true;
    }
    if (!obj || !PyDict_Check(obj)) return arg_error(param, cast_message(obj ? obj : Py_None, "dict"));
    out = obj;
    return true;
}

bool to_bool(const char* param, PyObject* obj, bool& out) {
    if (!PyBool_Check(obj)) return arg_error(param, cast_message(obj, "bool"));
    out = obj == Py_True;
    return true;
}

bool to_size(const char* param, PyObject* obj, size_t& out) {
    if (!PyLong_Check(obj)) return arg_error(param, cast_message(obj, "int"));
    size_t v = PyLong_AsSize_t(obj);
    if (v == (size_t)-1 && PyErr_Occurred()) return false;
    out = v;
    return true;
}

bool to_instance(const char* param, PyObject* obj, PyTypeObject* type) {
    if (Py_TYPE(obj) == type) return true;
    return arg_error(param, cast_message(obj, type_name(type)));
}

PyObject* to_py(std::string_view s) {
    return PyUnicode_DecodeUTF8(s.data(), (Py_ssize_t)s.size(), "surrogatepass");
}

}  // namespace vk
