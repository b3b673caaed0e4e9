// Cypher's scalar functions (the aggregates are in functions_aggregates.cpp).
//
// A function is a row of one table (its name, its id, its arity) and a case
// of call_function's switch; the checks find it by name and check the arity,
// so a body reads its arguments by position. Null in gives null out, except
// for coalesce, which skips nulls. An argument of the wrong kind is a
// TypeError naming the function, what it expects and the kind it got; a
// value out of range (a negative substring start, a zero range step) is a
// ValueError.
#include "cypher/functions.hpp"
#include "cypher/values_internal.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "graph.hpp"
#include "term.hpp"
#include "types.hpp"

namespace vk::cypher {

namespace {

enum Fn : uint16_t {
    Coalesce, Size, Length, Head, Last, Tail, Range, Reverse, Keys, Properties, Labels, Type,
    StartNode, EndNode, ElementId, ToString, ToInteger, ToFloat, ToBoolean, ToLower, ToUpper,
    Trim, LTrim, RTrim, Replace, Split, Substring, Left, Right, Abs, Ceil, Floor, Round, Sign,
    Sqrt, Exp, Log, Uid, TermOf, TypeOf, FnCount
};

struct FunctionRow {
    FunctionInfo info;
    const char* display;  // as the user writes it in messages
};

constexpr FunctionRow kFunctions[] = {
    {{"coalesce", Coalesce, 1, 255}, "coalesce"},
    {{"size", Size, 1, 1}, "size"},
    {{"length", Length, 1, 1}, "length"},
    {{"head", Head, 1, 1}, "head"},
    {{"last", Last, 1, 1}, "last"},
    {{"tail", Tail, 1, 1}, "tail"},
    {{"range", Range, 2, 3}, "range"},
    {{"reverse", Reverse, 1, 1}, "reverse"},
    {{"keys", Keys, 1, 1}, "keys"},
    {{"properties", Properties, 1, 1}, "properties"},
    {{"labels", Labels, 1, 1}, "labels"},
    {{"type", Type, 1, 1}, "type"},
    {{"startnode", StartNode, 1, 1}, "startNode"},
    {{"endnode", EndNode, 1, 1}, "endNode"},
    {{"elementid", ElementId, 1, 1}, "elementId"},
    {{"tostring", ToString, 1, 1}, "toString"},
    {{"tointeger", ToInteger, 1, 1}, "toInteger"},
    {{"tofloat", ToFloat, 1, 1}, "toFloat"},
    {{"toboolean", ToBoolean, 1, 1}, "toBoolean"},
    {{"tolower", ToLower, 1, 1}, "toLower"},
    {{"toupper", ToUpper, 1, 1}, "toUpper"},
    {{"trim", Trim, 1, 1}, "trim"},
    {{"ltrim", LTrim, 1, 1}, "ltrim"},
    {{"rtrim", RTrim, 1, 1}, "rtrim"},
    {{"replace", Replace, 3, 3}, "replace"},
    {{"split", Split, 2, 2}, "split"},
    {{"substring", Substring, 2, 3}, "substring"},
    {{"left", Left, 2, 2}, "left"},
    {{"right", Right, 2, 2}, "right"},
    {{"abs", Abs, 1, 1}, "abs"},
    {{"ceil", Ceil, 1, 1}, "ceil"},
    {{"floor", Floor, 1, 1}, "floor"},
    {{"round", Round, 1, 3}, "round"},
    {{"sign", Sign, 1, 1}, "sign"},
    {{"sqrt", Sqrt, 1, 1}, "sqrt"},
    {{"exp", Exp, 1, 1}, "exp"},
    {{"log", Log, 1, 1}, "log"},
    {{"uid", Uid, 1, 1}, "uid"},
    {{"term", TermOf, 1, 1}, "term"},
    {{"typeof", TypeOf, 1, 1}, "typeof"},
};
static_assert(sizeof(kFunctions) / sizeof(kFunctions[0]) == FnCount);

// ----- argument helpers -----------------------------------------------------------

PyObject* expects(uint16_t id, const char* what, PyObject* v) {
    return type_error_arg(kFunctions[id].display, what, v);
}

PyObject* out_of_range(uint16_t id, const char* what) {
    PyErr_Format(PyExc_ValueError, "%s() %s", kFunctions[id].display, what);
    return nullptr;
}

bool is_str(PyObject* v) { return PyUnicode_Check(v); }
bool is_int(PyObject* v) { return is_int_value(v); }
bool is_num(PyObject* v) { return is_number_value(v); }

// An integer argument as a Py_ssize_t, clamped (the lengths it is compared
// with are far smaller). False with an exception set.
bool index_arg(uint16_t id, PyObject* v, Py_ssize_t& out) {
    if (!is_int(v)) {
        expects(id, "an Integer", v);
        return false;
    }
    out = PyNumber_AsSsize_t(v, nullptr);
    return !(out == -1 && PyErr_Occurred());
}

// s.lower(), s.upper(), s.strip(), s.lstrip() or s.rstrip() (by `which`,
// in that order) of exact str, so that a subclass reads as the text it holds.
PyObject* str_method(int which, PyObject* s) {
    static const char* const texts[] = {"lower", "upper", "strip", "lstrip", "rstrip"};
    static PyObject* names[5] = {};
    if (!names[which]) {
        names[which] = PyUnicode_InternFromString(texts[which]);
        if (!names[which]) return nullptr;
    }
    Ref exact = Ref::steal(PyUnicode_CheckExact(s) ? Py_NewRef(s) : PyUnicode_FromObject(s));
    if (!exact) return nullptr;
    return PyObject_CallMethodNoArgs(exact.get(), names[which]);
}

PyObject* new_str(PyObject* s) {
    return PyUnicode_CheckExact(s) ? Py_NewRef(s) : PyUnicode_FromObject(s);
}

// ----- conversions ----------------------------------------------------------------

// Whether [b, e) of an ASCII text reads as a decimal integer: an optional
// sign and digits.
bool integer_text(const char* b, const char* e) {
    if (b < e && (*b == '+' || *b == '-')) ++b;
    if (b == e) return false;
    for (; b < e; ++b)
        if (*b < '0' || *b > '9') return false;
    return true;
}

// Whether it reads as a decimal float: digits with an optional fraction and
// exponent, or Infinity / NaN (as Java's number parsing accepts them).
bool float_text(const char* b, const char* e) {
    if (b < e && (*b == '+' || *b == '-')) ++b;
    const std::string_view rest(b, static_cast<size_t>(e - b));
    if (rest == "Infinity" || rest == "NaN") return true;
    size_t digits = 0;
    while (b < e && *b >= '0' && *b <= '9') ++b, ++digits;
    if (b < e && *b == '.') {
        ++b;
        while (b < e && *b >= '0' && *b <= '9') ++b, ++digits;
    }
    if (digits == 0) return false;
    if (b < e && (*b == 'e' || *b == 'E')) {
        ++b;
        if (b < e && (*b == '+' || *b == '-')) ++b;
        if (b == e) return false;
        while (b < e && *b >= '0' && *b <= '9') ++b;
    }
    return b == e;
}

// The text of a str trimmed of ASCII white space and control characters,
// as Java trims before parsing a number; false when it holds anything but
// ASCII (no number does).
bool number_chars(PyObject* s, std::string& out) {
    Py_ssize_t n;
    const char* p = PyUnicode_AsUTF8AndSize(s, &n);
    if (!p) {
        PyErr_Clear();
        return false;
    }
    const char* b = p;
    const char* e = p + n;
    while (b < e && static_cast<unsigned char>(*b) <= ' ') ++b;
    while (e > b && static_cast<unsigned char>(e[-1]) <= ' ') --e;
    for (const char* c = b; c < e; ++c)
        if (static_cast<unsigned char>(*c) >= 0x80) return false;
    out.assign(b, e);
    return true;
}

// A float parsed from text known to be float_text; false with an exception set.
bool parse_double(const std::string& t, double& out) {
    const char* s = t.c_str();
    const bool neg = *s == '-';
    const char* body = (*s == '+' || *s == '-') ? s + 1 : s;
    if (std::strcmp(body, "Infinity") == 0) {
        out = neg ? -HUGE_VAL : HUGE_VAL;
        return true;
    }
    if (std::strcmp(body, "NaN") == 0) {
        out = std::nan("");
        return true;
    }
    // Overflow reads as infinity, as Java's parsing gives.
    out = PyOS_string_to_double(s, nullptr, nullptr);
    return !(out == -1.0 && PyErr_Occurred());
}

// A float as an int, truncated toward zero; null (no exception) for NaN and
// the infinities, which no integer stands for.
PyObject* float_to_int(double d, bool& none) {
    none = !std::isfinite(d);
    if (none) return nullptr;
    return PyLong_FromDouble(d);  // truncates
}

PyObject* to_integer(PyObject* v) {
    if (v == Py_None) Py_RETURN_NONE;
    if (PyBool_Check(v)) return PyLong_FromLong(v == Py_True);
    if (PyLong_CheckExact(v)) return Py_NewRef(v);
    if (PyLong_Check(v)) return PyNumber_Long(v);
    bool none = false;
    if (PyFloat_Check(v)) {
        PyObject* r = float_to_int(PyFloat_AS_DOUBLE(v), none);
        if (none) Py_RETURN_NONE;
        return r;
    }
    if (!is_str(v)) return expects(ToInteger, "a String, a number or a Boolean", v);
    std::string t;
    if (!number_chars(v, t)) Py_RETURN_NONE;
    if (integer_text(t.data(), t.data() + t.size())) return PyLong_FromString(t.c_str(), nullptr, 10);
    if (!float_text(t.data(), t.data() + t.size())) Py_RETURN_NONE;
    double d;
    if (!parse_double(t, d)) return nullptr;
    PyObject* r = float_to_int(d, none);
    if (none) Py_RETURN_NONE;
    return r;
}

PyObject* to_float(PyObject* v) {
    if (v == Py_None) Py_RETURN_NONE;
    if (PyFloat_CheckExact(v)) return Py_NewRef(v);
    if (is_num(v)) {
        double d;
        if (!number_value(v, d)) return nullptr;
        return PyFloat_FromDouble(d);
    }
    if (!is_str(v)) return expects(ToFloat, "a String or a number", v);
    std::string t;
    if (!number_chars(v, t) || !float_text(t.data(), t.data() + t.size())) Py_RETURN_NONE;
    double d;
    if (!parse_double(t, d)) return nullptr;
    return PyFloat_FromDouble(d);
}

PyObject* to_boolean(PyObject* v) {
    if (v == Py_None || PyBool_Check(v)) return Py_NewRef(v);
    if (is_int(v)) {
        const int nz = PyObject_IsTrue(v);
        if (nz < 0) return nullptr;
        return PyBool_FromLong(nz);
    }
    if (!is_str(v)) return expects(ToBoolean, "a String, an Integer or a Boolean", v);
    Py_ssize_t n;
    const char* p = PyUnicode_AsUTF8AndSize(v, &n);
    if (!p) {
        PyErr_Clear();
        Py_RETURN_NONE;
    }
    auto is = [&](const char* w) {
        const size_t len = std::strlen(w);
        if (static_cast<size_t>(n) != len) return false;
        for (size_t i = 0; i < len; ++i) {
            char c = p[i];
            if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
            if (c != w[i]) return false;
        }
        return true;
    };
    if (is("true")) Py_RETURN_TRUE;
    if (is("false")) Py_RETURN_FALSE;
    Py_RETURN_NONE;
}

// Python's repr of a float, with Cypher's names for the values that are no
// number.
PyObject* float_text_of(double d) {
    if (std::isnan(d)) return PyUnicode_FromString("NaN");
    if (std::isinf(d)) return PyUnicode_FromString(d > 0 ? "Infinity" : "-Infinity");
    char* s = PyOS_double_to_string(d, 'r', 0, Py_DTSF_ADD_DOT_0, nullptr);
    if (!s) return nullptr;
    PyObject* r = PyUnicode_FromString(s);
    PyMem_Free(s);
    return r;
}

PyObject* to_string(PyObject* v) {
    if (v == Py_None) Py_RETURN_NONE;
    if (PyBool_Check(v)) return PyUnicode_FromString(v == Py_True ? "true" : "false");
    if (is_str(v)) return new_str(v);
    if (is_int(v)) return PyLong_Type.tp_repr(v);
    if (PyFloat_Check(v)) return float_text_of(PyFloat_AS_DOUBLE(v));
    return expects(ToString, "a String, a number or a Boolean", v);
}

// ----- lists ------------------------------------------------------------------------

PyObject* range_of(PyObject* const* args, size_t nargs) {
    for (size_t i = 0; i < nargs; ++i)
        if (!is_int(args[i])) return expects(Range, "Integer arguments", args[i]);
    long long start, end, step = 1;
    int o1 = 0, o2 = 0, o3 = 0;
    start = PyLong_AsLongLongAndOverflow(args[0], &o1);
    end = PyLong_AsLongLongAndOverflow(args[1], &o2);
    if (nargs == 3) step = PyLong_AsLongLongAndOverflow(args[2], &o3);
    if (PyErr_Occurred()) return nullptr;
    if (!o3 && step == 0) return out_of_range(Range, "step must not be zero");
    if (o1 || o2 || o3) {
        PyErr_SetString(PyExc_OverflowError, "range() bounds and step must fit 64 bits");
        return nullptr;
    }
    // Unsigned arithmetic: the distance between two long longs fits 64 bits,
    // and the values, computed modulo 2^64, land back in range.
    using U = unsigned long long;
    const bool up = step > 0;
    Py_ssize_t n = 0;
    if (up ? end >= start : end <= start) {
        const U dist = up ? U(end) - U(start) : U(start) - U(end);
        const U ustep = up ? U(step) : U(0) - U(step);
        const U steps = dist / ustep;
        if (steps >= U(PY_SSIZE_T_MAX / sizeof(PyObject*))) return PyErr_NoMemory();
        n = static_cast<Py_ssize_t>(steps + 1);
    }
    Ref out = Ref::steal(PyList_New(n));
    if (!out) return nullptr;
    for (Py_ssize_t i = 0; i < n; ++i) {
        const U x = U(start) + U(i) * U(step);
        PyObject* item = PyLong_FromLongLong(static_cast<long long>(x));
        if (!item) return nullptr;
        PyList_SET_ITEM(out.get(), i, item);
        if ((i & 0xFFFFF) == 0xFFFFF && PyErr_CheckSignals() < 0) return nullptr;
    }
    return out.release();
}

PyObject* list_part(uint16_t id, PyObject* v) {
    if (v == Py_None) Py_RETURN_NONE;
    if (kind_of(v) != Kind::List) return expects(id, "a List", v);
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(v);
    if (id == Tail) {
        PyObject* out = PyList_New(n > 0 ? n - 1 : 0);
        if (!out) return nullptr;
        for (Py_ssize_t i = 1; i < n; ++i)
            PyList_SET_ITEM(out, i - 1, Py_NewRef(PySequence_Fast_GET_ITEM(v, i)));
        return out;
    }
    if (n == 0) Py_RETURN_NONE;
    return Py_NewRef(PySequence_Fast_GET_ITEM(v, id == Head ? 0 : n - 1));
}

PyObject* reverse_of(PyObject* v) {
    if (v == Py_None) Py_RETURN_NONE;
    if (is_str(v)) {
        Ref s = Ref::steal(new_str(v));
        if (!s) return nullptr;
        Ref minus = Ref::steal(PyLong_FromLong(-1));
        if (!minus) return nullptr;
        Ref rev = Ref::steal(PySlice_New(Py_None, Py_None, minus.get()));
        if (!rev) return nullptr;
        return PyObject_GetItem(s.get(), rev.get());
    }
    if (kind_of(v) != Kind::List) return expects(Reverse, "a String or a List", v);
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(v);
    PyObject* out = PyList_New(n);
    if (!out) return nullptr;
    for (Py_ssize_t i = 0; i < n; ++i)
        PyList_SET_ITEM(out, i, Py_NewRef(PySequence_Fast_GET_ITEM(v, n - 1 - i)));
    return out;
}

// The properties dict of a map, node or relationship (borrowed), or null:
// with an exception set when v is of another kind.
PyObject* dict_of(uint16_t id, PyObject* v) {
    if (Py_TYPE(v) == NodeType) return node_value(v).properties();
    if (Py_TYPE(v) == EdgeType) return edge_value(v).properties();
    if (kind_of(v) == Kind::Map) return v;
    expects(id, "a Map, a Node or a Relationship", v);
    return nullptr;
}

// ----- strings ----------------------------------------------------------------------

PyObject* split_of(PyObject* s, PyObject* delim) {
    if (s == Py_None || delim == Py_None) Py_RETURN_NONE;
    if (!is_str(s)) return expects(Split, "a String", s);
    Ref text = Ref::steal(new_str(s));
    if (!text) return nullptr;
    const Py_ssize_t n = PyUnicode_GET_LENGTH(text.get());
    // One delimiter or a list of them; the earliest match at each step wins,
    // the longest among those starting there.
    std::vector<Ref> delims;
    if (is_str(delim)) {
        delims.push_back(Ref::steal(new_str(delim)));
        if (!delims.back()) return nullptr;
    } else if (kind_of(delim) == Kind::List) {
        for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(delim); ++i) {
            PyObject* d = PySequence_Fast_GET_ITEM(delim, i);
            if (d == Py_None) Py_RETURN_NONE;
            if (!is_str(d)) return expects(Split, "a String delimiter", d);
            delims.push_back(Ref::steal(new_str(d)));
            if (!delims.back()) return nullptr;
        }
    } else {
        return expects(Split, "a String or a List of Strings as delimiter", delim);
    }
    const bool all_empty = std::all_of(delims.begin(), delims.end(), [](const Ref& d) {
        return PyUnicode_GET_LENGTH(d.get()) == 0;
    });
    Ref out = Ref::steal(PyList_New(0));
    if (!out) return nullptr;
    if (all_empty) {
        // An empty delimiter splits between every character.
        for (Py_ssize_t i = 0; i < n; ++i) {
            Ref c = Ref::steal(PyUnicode_Substring(text.get(), i, i + 1));
            if (!c || PyList_Append(out.get(), c.get()) < 0) return nullptr;
        }
        return out.release();
    }
    if (delims.size() == 1) return PyUnicode_Split(text.get(), delims[0].get(), -1);
    Py_ssize_t from = 0;
    for (;;) {
        Py_ssize_t best = -1, best_len = 0;
        for (const Ref& d : delims) {
            const Py_ssize_t len = PyUnicode_GET_LENGTH(d.get());
            if (len == 0) continue;
            const Py_ssize_t at = PyUnicode_Find(text.get(), d.get(), from, n, 1);
            if (at == -2) return nullptr;
            if (at >= 0 && (best < 0 || at < best || (at == best && len > best_len))) {
                best = at;
                best_len = len;
            }
        }
        Ref piece = Ref::steal(PyUnicode_Substring(text.get(), from, best < 0 ? n : best));
        if (!piece || PyList_Append(out.get(), piece.get()) < 0) return nullptr;
        if (best < 0) return out.release();
        from = best + best_len;
    }
}

PyObject* substring_of(PyObject* const* args, size_t nargs) {
    PyObject* s = args[0];
    if (s == Py_None) Py_RETURN_NONE;
    if (!is_str(s)) return expects(Substring, "a String", s);
    Py_ssize_t start, len = PY_SSIZE_T_MAX;
    if (!index_arg(Substring, args[1], start)) return nullptr;
    if (start < 0) return out_of_range(Substring, "start must not be negative");
    if (nargs == 3) {
        if (!index_arg(Substring, args[2], len)) return nullptr;
        if (len < 0) return out_of_range(Substring, "length must not be negative");
    }
    const Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    start = std::min(start, n);
    const Py_ssize_t end = len > n - start ? n : start + len;
    return PyUnicode_Substring(s, start, end);
}

PyObject* left_right(uint16_t id, PyObject* s, PyObject* count) {
    if (s == Py_None) Py_RETURN_NONE;
    if (!is_str(s)) return expects(id, "a String", s);
    Py_ssize_t k;
    if (!index_arg(id, count, k)) return nullptr;
    if (k < 0) return out_of_range(id, "length must not be negative");
    const Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    k = std::min(k, n);
    return id == Left ? PyUnicode_Substring(s, 0, k) : PyUnicode_Substring(s, n - k, n);
}

PyObject* replace_of(PyObject* const* args) {
    for (int i = 0; i < 3; ++i)
        if (args[i] == Py_None) Py_RETURN_NONE;
    for (int i = 0; i < 3; ++i)
        if (!is_str(args[i])) return expects(Replace, "String arguments", args[i]);
    return PyUnicode_Replace(args[0], args[1], args[2], -1);
}

// ----- numbers ----------------------------------------------------------------------

// round() without precision: ties toward positive infinity; x - floor(x) is exact.
double round_half_up_infinity(double x) {
    const double f = std::floor(x);
    return x - f >= 0.5 ? f + 1 : f;
}

// round(x, digits[, mode]): rounds at `digits` decimal places of the float's
// shortest decimal form (what the user wrote, not its binary expansion, so
// round(2.675, 2) is 2.68), half away from zero unless a mode is given
// (the names of Java's rounding modes: UP, DOWN, CEILING, FLOOR, HALF_UP,
// HALF_DOWN, HALF_EVEN, UNNECESSARY). Precision 0 without a mode rounds as
// round(x) does. Python's decimal does the digit work.
PyObject* round_digits(double x, PyObject* digits, PyObject* mode) {
    Py_ssize_t d = PyNumber_AsSsize_t(digits, nullptr);  // clamped when far out of range
    if (d == -1 && PyErr_Occurred()) return nullptr;
    if (!mode && d == 0) return PyFloat_FromDouble(round_half_up_infinity(x));
    if (!std::isfinite(x)) return PyFloat_FromDouble(x);
    // A double's shortest form has at most 17 digits between 1e-324 and
    // 1e309: precisions beyond +-400 round as +-400 do.
    d = std::clamp<Py_ssize_t>(d, -400, 400);
    static PyObject* decimal_mod = nullptr;
    static PyObject* context = nullptr;
    if (!decimal_mod) {
        Ref mod = Ref::steal(PyImport_ImportModule("decimal"));
        if (!mod) return nullptr;
        Ref ctx = Ref::steal(PyObject_CallMethod(mod.get(), "Context", nullptr));
        if (!ctx) return nullptr;
        Ref prec = Ref::steal(PyLong_FromLong(1000));
        if (!prec || PyObject_SetAttrString(ctx.get(), "prec", prec.get()) < 0) return nullptr;
        decimal_mod = mod.release();
        context = ctx.release();
    }
    std::string name = "ROUND_HALF_UP";
    bool exact = false;
    if (mode) {
        Ref upper = Ref::steal(str_method(1, mode));
        if (!upper) return nullptr;
        const char* m = PyUnicode_AsUTF8(upper.get());
        if (!m) return nullptr;
        static const char* const modes[] = {"UP", "DOWN", "CEILING", "FLOOR", "HALF_UP",
                                            "HALF_DOWN", "HALF_EVEN", "UNNECESSARY"};
        bool known = false;
        for (const char* k : modes) known = known || std::strcmp(k, m) == 0;
        if (!known) {
            PyErr_Format(PyExc_ValueError, "round() rounding mode %R is none of UP, DOWN, "
                         "CEILING, FLOOR, HALF_UP, HALF_DOWN, HALF_EVEN, UNNECESSARY", mode);
            return nullptr;
        }
        exact = std::strcmp(m, "UNNECESSARY") == 0;
        name = exact ? "ROUND_DOWN" : std::string("ROUND_") + m;
    }
    Ref rounding = Ref::steal(PyObject_GetAttrString(decimal_mod, name.c_str()));
    Ref text = Ref::steal(float_text_of(x));
    if (!rounding || !text) return nullptr;
    Ref value = Ref::steal(PyObject_CallMethod(decimal_mod, "Decimal", "O", text.get()));
    Ref quantum = Ref::steal(PyObject_CallMethod(decimal_mod, "Decimal", "s",
                                                 ("1E" + std::to_string(-d)).c_str()));
    if (!value || !quantum) return nullptr;
    Ref rounded = Ref::steal(PyObject_CallMethod(value.get(), "quantize", "OOO", quantum.get(),
                                                 rounding.get(), context));
    if (!rounded) return nullptr;
    if (exact) {
        const int same = PyObject_RichCompareBool(rounded.get(), value.get(), Py_EQ);
        if (same < 0) return nullptr;
        if (!same) return out_of_range(Round, "needs rounding, but the mode is UNNECESSARY");
    }
    return PyNumber_Float(rounded.get());
}

PyObject* math_of(uint16_t id, PyObject* const* args, size_t nargs) {
    PyObject* v = args[0];
    if (v == Py_None) Py_RETURN_NONE;
    if (!is_num(v)) return expects(id, "a number", v);
    if (id == Abs) {
        if (is_int(v)) return PyLong_Type.tp_as_number->nb_absolute(v);
        return PyFloat_FromDouble(std::fabs(PyFloat_AS_DOUBLE(v)));
    }
    if (id == Sign) {
        if (is_int(v)) {
            Ref zero = Ref::steal(PyLong_FromLong(0));
            if (!zero) return nullptr;
            const int gt = PyObject_RichCompareBool(v, zero.get(), Py_GT);
            const int lt = PyObject_RichCompareBool(v, zero.get(), Py_LT);
            if (gt < 0 || lt < 0) return nullptr;
            return PyLong_FromLong(gt - lt);
        }
        const double d = PyFloat_AS_DOUBLE(v);
        return PyLong_FromLong((d > 0) - (d < 0));
    }
    double x;
    if (id == Round && nargs >= 2) {
        for (size_t i = 1; i < nargs; ++i)
            if (args[i] == Py_None) Py_RETURN_NONE;
        if (!is_int(args[1])) return expects(Round, "an Integer precision", args[1]);
        if (nargs == 3 && !is_str(args[2])) return expects(Round, "a String rounding mode", args[2]);
        if (!number_value(v, x)) return nullptr;
        return round_digits(x, args[1], nargs == 3 ? args[2] : nullptr);
    }
    if (!number_value(v, x)) return nullptr;
    double r;
    switch (id) {
        case Ceil: r = std::ceil(x); break;
        case Floor: r = std::floor(x); break;
        case Round: r = round_half_up_infinity(x); break;
        case Sqrt: r = std::sqrt(x); break;
        case Exp: r = std::exp(x); break;
        default: r = std::log(x); break;  // log(0) is -Infinity, log(-1) NaN
    }
    return PyFloat_FromDouble(r);
}

// ----- graph values -----------------------------------------------------------------

PyObject* graph_fn(uint16_t id, PyObject* v, const GraphView& g) {
    if (v == Py_None) Py_RETURN_NONE;
    const bool node = Py_TYPE(v) == NodeType, rel = Py_TYPE(v) == EdgeType;
    switch (id) {
        case Labels: {
            if (!node) return expects(id, "a Node", v);
            Ref text = Ref::steal(PyUnicode_FromString(type_text(node_value(v).type().get()).c_str()));
            if (!text) return nullptr;
            PyObject* out = PyList_New(1);
            if (!out) return nullptr;
            PyList_SET_ITEM(out, 0, text.release());
            return out;
        }
        case Type: {
            if (!rel) return expects(id, "a Relationship", v);
            const std::string& name = edge_value(v).term().name;
            return PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size()));
        }
        case StartNode:
        case EndNode:
            if (!rel) return expects(id, "a Relationship", v);
            return id == StartNode ? start_node(g, v) : end_node(g, v);
        case ElementId:
        case Uid: {
            if (!node && !rel) return expects(id, "a Node or a Relationship", v);
            PyObject* uid = node ? node_key_of_type(node_value(v).type().get())
                                 : edge_key_of_term(edge_value(v).term());
            return uid ? Py_NewRef(uid) : nullptr;
        }
        case TermOf:
            if (!rel) return expects(id, "a Relationship", v);
            return term_to_python(edge_value(v).term_handle());
        default: {  // TypeOf
            if (!node && !rel) return expects(id, "a Node or a Relationship", v);
            const TypeNode* t = node ? node_value(v).type().get() : edge_value(v).term().type.get();
            return PyUnicode_FromString(type_text(t).c_str());
        }
    }
}

}  // namespace

const FunctionInfo* find_function(std::string_view lowercase_name) {
    for (const FunctionRow& r : kFunctions)
        if (lowercase_name == r.info.name) return &r.info;
    return nullptr;
}

const char* function_display_name(uint16_t id) {
    return id < FnCount ? kFunctions[id].display : "?";
}

PyObject* call_function(uint16_t id, PyObject* const* args, size_t nargs, const GraphView& g) {
    PyObject* v = nargs ? args[0] : Py_None;
    switch (id) {
        case Coalesce:
            for (size_t i = 0; i < nargs; ++i)
                if (args[i] != Py_None) return Py_NewRef(args[i]);
            Py_RETURN_NONE;
        case Size:
            if (v == Py_None) Py_RETURN_NONE;
            if (is_str(v)) return PyLong_FromSsize_t(PyUnicode_GET_LENGTH(v));
            if (kind_of(v) == Kind::List) return PyLong_FromSsize_t(PySequence_Fast_GET_SIZE(v));
            return expects(id, "a String or a List", v);
        case Length:
            if (v == Py_None) Py_RETURN_NONE;
            return expects(id, "a Path", v);
        case Head:
        case Last:
        case Tail: return list_part(id, v);
        case Range: return range_of(args, nargs);
        case Reverse: return reverse_of(v);
        case Keys:
        case Properties: {
            if (v == Py_None) Py_RETURN_NONE;
            PyObject* d = dict_of(id, v);
            if (!d) return nullptr;
            return id == Keys ? PyDict_Keys(d) : PyDict_Copy(d);
        }
        case Labels:
        case Type:
        case StartNode:
        case EndNode:
        case ElementId:
        case Uid:
        case TermOf:
        case TypeOf: return graph_fn(id, v, g);
        case ToString: return to_string(v);
        case ToInteger: return to_integer(v);
        case ToFloat: return to_float(v);
        case ToBoolean: return to_boolean(v);
        case ToLower:
        case ToUpper:
        case Trim:
        case LTrim:
        case RTrim: {
            if (v == Py_None) Py_RETURN_NONE;
            if (!is_str(v)) return expects(id, "a String", v);
            return str_method(id - ToLower, v);
        }
        case Replace: return replace_of(args);
        case Split: return split_of(args[0], args[1]);
        case Substring: return substring_of(args, nargs);
        case Left:
        case Right: return left_right(id, args[0], args[1]);
        case Abs:
        case Ceil:
        case Floor:
        case Round:
        case Sign:
        case Sqrt:
        case Exp:
        case Log: return math_of(id, args, nargs);
        default: break;
    }
    PyErr_Format(PyExc_SystemError, "unknown Cypher function id %d", static_cast<int>(id));
    return nullptr;
}

}  // namespace vk::cypher
