#include "host/args.hpp"

#include <cstdint>
#include <cstring>
#include <vector>
#include <string>

#include "host/ref.hpp"

namespace vk {

std::string_view CallableInfo::method_name() const {
    std::string_view q = qualified;
    size_t dot = q.rfind('.');
    return dot == std::string_view::npos ? q : q.substr(dot + 1);
}

std::string_view CallableInfo::class_name() const {
    std::string_view q = qualified;
    return q.substr(0, q.rfind('.'));
}

std::string text_signature(const CallableInfo& info, const Param* params) {
    std::string s(info.receiver == Receiver::Construct ? info.class_name() : info.method_name());
    s += '(';
    const char* sep = "";
    auto item = [&](std::string_view text) {
        s += sep;
        s += text;
        sep = ", ";
    };
    if (info.receiver == Receiver::Instance) item("$self");
    if (info.receiver == Receiver::Type) item("$type");
    bool keyword_only = false;  // past "*" or "*args"
    for (int i = 0; i < info.size; ++i) {
        const Param& p = params[i];
        if (p.kind == ParamKind::VarKw) {
            item(std::string("**") + p.name);
            continue;
        }
        if (p.kind == ParamKind::PosOnly) {
            item(p.name);
            if (p.default_text) {
                s += '=';
                s += p.default_text;
            }
            if (i + 1 == info.size || params[i + 1].kind != ParamKind::PosOnly) item("/");
            continue;
        }
        if (p.kind == ParamKind::VarArgs) {
            item(std::string("*") + p.name);
            keyword_only = true;
            continue;
        }
        if (p.kind == ParamKind::KwOnly && !keyword_only) {
            item("*");
            keyword_only = true;
        }
        item(p.name);
        if (p.default_text) {
            s += '=';
            s += p.default_text;
        }
    }
    s += ")\n--\n\n";
    return s;
}

namespace {

Status bind_error(const CallableInfo& c, const std::string& what) {
    PyErr_Format(PyExc_TypeError, "%s() %s", c.qualified, what.c_str());
    return PyErrorSet{};
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

// Interns every parameter name on the first call.
Status intern_names(const BindTarget& t) {
    if (t.info.size == 0 || t.names[t.info.size - 1]) return ok_status();
    for (int i = 0; i < t.info.size; ++i) {
        if (!t.names[i] && !(t.names[i] = PyUnicode_InternFromString(t.params[i].name))) {
            return PyErrorSet{};
        }
    }
    return ok_status();
}

// The parameter a keyword names: by the interned name's identity first (the
// usual case: keyword names are interned too), then by text.
int find_keyword(const BindTarget& t, PyObject* key) {
    for (int i = 0; i < t.info.size; ++i) {
        if (t.params[i].by_keyword() && t.names[i] == key) return i;
    }
    for (int i = 0; i < t.info.size; ++i) {
        if (!t.params[i].by_keyword()) continue;
        if (PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, t.params[i].name) == 0) {
            return i;
        }
    }
    return -1;
}

Status bind_core(const BindTarget& t, PyObject* const* args, Py_ssize_t nargs,
                 PyObject* const* kwkeys, PyObject* const* kwvalues, Py_ssize_t nkw) {
    const CallableInfo& c = t.info;
    if (!intern_names(t)) return PyErrorSet{};
    // Positional arguments fill the positional-or-keyword parameters in order.
    if (nargs > c.positional) {
        if (c.var < 0) {
            return bind_error(c, "takes " + std::to_string(c.positional) +
                                     " positional arguments but " + std::to_string(nargs) +
                                     " were given");
        }
        t.rest = args + c.positional;
        t.nrest = nargs - c.positional;
    }
    int filled = 0;
    for (int i = 0; i < c.size && filled < nargs; ++i) {
        ParamKind kind = t.params[i].kind;
        if (kind != ParamKind::PosOrKw && kind != ParamKind::PosOnly) continue;
        t.slots[i] = args[filled++];
    }
    if (t.kwrest) t.kwrest->items.clear();
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        int i = find_keyword(t, kwkeys[k]);
        if (i < 0 && t.kwrest) {
            if (!PyUnicode_Check(kwkeys[k])) return bind_error(c, "keywords must be strings");
            t.kwrest->items.emplace_back(kwkeys[k], kwvalues[k]);
            continue;
        }
        if (i < 0) {
            const char* kn = PyUnicode_Check(kwkeys[k]) ? PyUnicode_AsUTF8(kwkeys[k]) : nullptr;
            if (!kn) {
                PyErr_Clear();
                return bind_error(c, "keywords must be strings");
            }
            return bind_error(c, std::string("got an unexpected keyword argument '") + kn + "'");
        }
        if (t.slots[i]) {
            return bind_error(c, std::string("got multiple values for argument '") +
                                     t.params[i].name + "'");
        }
        t.slots[i] = kwvalues[k];
    }
    if (!c.any_required) return ok_status();
    std::vector<const char*> missing_pos, missing_kw;
    for (int i = 0; i < c.size; ++i) {
        const Param& p = t.params[i];
        if (!p.required() || t.slots[i]) continue;
        (p.kind == ParamKind::KwOnly ? missing_kw : missing_pos).push_back(p.name);
    }
    if (!missing_pos.empty() || !missing_kw.empty()) {
        bool pos = !missing_pos.empty();
        auto& m = pos ? missing_pos : missing_kw;
        return bind_error(c, "missing " + std::to_string(m.size()) + " required " +
                                 (pos ? "positional" : "keyword-only") +
                                 (m.size() == 1 ? " argument: " : " arguments: ") + quoted_list(m));
    }
    return ok_status();
}

}  // namespace

Status bind_arguments(const BindTarget& t, PyObject* const* args, Py_ssize_t nargsf,
                      PyObject* kwnames) {
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    PyObject* const* keys = nkw ? &PyTuple_GET_ITEM(kwnames, 0) : nullptr;
    return bind_core(t, args, nargs, keys, args + nargs, nkw);
}

Status bind_arguments(const BindTarget& t, PyObject* args, PyObject* kwargs) {
    Py_ssize_t nargs = args ? PyTuple_GET_SIZE(args) : 0;
    PyObject* const* items = nargs ? &PyTuple_GET_ITEM(args, 0) : nullptr;
    Py_ssize_t nkw = kwargs ? PyDict_GET_SIZE(kwargs) : 0;
    if (!nkw) return bind_core(t, items, nargs, nullptr, nullptr, 0);
    std::vector<PyObject*> keys, values;
    keys.reserve(nkw);
    values.reserve(nkw);
    Py_ssize_t pos = 0;
    PyObject *k, *v;
    while (PyDict_Next(kwargs, &pos, &k, &v)) {
        keys.push_back(k);
        values.push_back(v);
    }
    return bind_core(t, items, nargs, keys.data(), values.data(), (Py_ssize_t)keys.size());
}

const char* type_name(PyTypeObject* t) {
    const char* n = t->tp_name;
    const char* dot = std::strrchr(n, '.');
    return dot ? dot + 1 : n;
}

std::string cast_message(PyObject* obj, const char* required) {
    return std::string("'") + type_name(Py_TYPE(obj)) + "' object cannot be cast as '" + required + "'";
}

Status arg_error(const char* param, const std::string& reason) {
    PyErr_Format(PyExc_TypeError, "argument '%s': %s", param, reason.c_str());
    return PyErrorSet{};
}

Status cast_error(PyObject* obj, const char* required) {
    PyErr_SetString(PyExc_TypeError, cast_message(obj, required).c_str());
    return PyErrorSet{};
}

Status to_str(Arg a, std::string_view& out) {
    if (!PyUnicode_Check(a.obj)) return arg_error(a.name, cast_message(a.obj, "str"));
    Py_ssize_t n;
    const char* s = PyUnicode_AsUTF8AndSize(a.obj, &n);
    if (!s) return PyErrorSet{};  // e.g. a lone surrogate: the UnicodeEncodeError passes through
    out = std::string_view(s, (size_t)n);
    return ok_status();
}

Status to_string(Arg a, std::string& out) {
    std::string_view v;
    if (!to_str(a, v)) return PyErrorSet{};
    out.assign(v);
    return ok_status();
}

Status to_opt_string(Arg a, std::optional<std::string>& out) {
    if (!a.obj || a.obj == Py_None) {
        out.reset();
        return ok_status();
    }
    std::string_view v;
    if (!to_str(a, v)) return PyErrorSet{};
    out.emplace(v);
    return ok_status();
}

Status to_dict(Arg a, PyObject*& out, bool allow_none) {
    if (allow_none && (!a.obj || a.obj == Py_None)) {
        out = nullptr;
        return ok_status();
    }
    if (!a.obj || !PyDict_Check(a.obj)) {
        return arg_error(a.name, cast_message(a.obj ? a.obj : Py_None, "dict"));
    }
    out = a.obj;
    return ok_status();
}

Status to_bool(Arg a, bool& out) {
    if (!PyBool_Check(a.obj)) return arg_error(a.name, cast_message(a.obj, "bool"));
    out = a.obj == Py_True;
    return ok_status();
}

Status to_size(Arg a, size_t& out) {
    if (!PyLong_Check(a.obj)) return arg_error(a.name, cast_message(a.obj, "int"));
    size_t v = PyLong_AsSize_t(a.obj);
    if (v != (size_t)-1 || !PyErr_Occurred()) {
        out = v;
        return ok_status();
    }
    if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return PyErrorSet{};
    // The interpreter's message speaks of C types; ours says what is accepted.
    PyErr_Clear();
    // The value as int prints it (a subclass's own __repr__ is not run).
    Ref text = Ref::steal(PyLong_Type.tp_repr(a.obj));
    if (!text) {
        // An int too long to print (the interpreter's limit on int digits).
        if (!PyErr_ExceptionMatches(PyExc_ValueError)) return PyErrorSet{};
        PyErr_Clear();
        PyErr_Format(PyExc_OverflowError, "argument '%s': must be an int from 0 to %zu", a.name,
                     SIZE_MAX);
        return PyErrorSet{};
    }
    PyErr_Format(PyExc_OverflowError, "argument '%s': must be an int from 0 to %zu, not %U",
                 a.name, SIZE_MAX, text.get());
    return PyErrorSet{};
}

Status to_instance(Arg a, PyTypeObject* type) {
    if (Py_TYPE(a.obj) == type) return ok_status();
    return arg_error(a.name, cast_message(a.obj, type_name(type)));
}

PyObject* to_py(std::string_view s) {
    return PyUnicode_DecodeUTF8(s.data(), (Py_ssize_t)s.size(), "surrogatepass");
}

}  // namespace vk
