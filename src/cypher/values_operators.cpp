// Cypher's operators over run-time values: arithmetic, the string
// operators, IN, the three-valued connectives, property access, subscripts,
// slices, and the start and end nodes of relationships.
//
// Null in gives null out, as openCypher says. Integers are Python's and do
// not overflow; integer / truncates toward zero and % takes the dividend's
// sign, where Python floors; floats follow IEEE, so a float divided by zero
// is an infinity or NaN, never an error. =~ compiles its pattern with
// Python's re and keeps the last few compiled patterns.
#include <algorithm>
#include <cmath>

#include "cypher/values.hpp"
#include "cypher/values_internal.hpp"
#include "graph.hpp"
#include "host/args.hpp"

namespace vk::cypher {

// ----- truth and the three-valued connectives ----------------------------------

Tri truth(PyObject* v, const char* context) {
    if (v == Py_True) return kTrue;
    if (v == Py_False) return kFalse;
    if (v == Py_None) return kNull;
    PyErr_Format(PyExc_TypeError, "%s expects a Boolean, got %s", context, kind_name(v).c_str());
    return kError;
}

Tri tri_and(Tri a, Tri b) {
    if (a == kError || b == kError) return kError;
    if (a == kFalse || b == kFalse) return kFalse;
    if (a == kNull || b == kNull) return kNull;
    return kTrue;
}

Tri tri_or(Tri a, Tri b) {
    if (a == kError || b == kError) return kError;
    if (a == kTrue || b == kTrue) return kTrue;
    if (a == kNull || b == kNull) return kNull;
    return kFalse;
}

Tri tri_xor(Tri a, Tri b) {
    if (a == kError || b == kError) return kError;
    if (a == kNull || b == kNull) return kNull;
    return tri(a != b);
}

PyObject* tri_to_python(Tri t) {
    switch (t) {
        case kTrue: Py_RETURN_TRUE;
        case kFalse: Py_RETURN_FALSE;
        case kNull: Py_RETURN_NONE;
        default: return nullptr;
    }
}

PyObject* logical_not(PyObject* a) {
    if (a == Py_True) Py_RETURN_FALSE;
    if (a == Py_False) Py_RETURN_TRUE;
    if (a == Py_None) Py_RETURN_NONE;
    return type_error_op("NOT", a, nullptr);
}

const char* binop_text(BinOp op) {
    switch (op) {
        case BinOp::Add: return "+";
        case BinOp::Sub: return "-";
        case BinOp::Mul: return "*";
        case BinOp::Div: return "/";
        case BinOp::Mod: return "%";
        case BinOp::Pow: return "^";
        case BinOp::Eq: return "=";
        case BinOp::Ne: return "<>";
        case BinOp::Lt: return "<";
        case BinOp::Le: return "<=";
        case BinOp::Gt: return ">";
        case BinOp::Ge: return ">=";
        case BinOp::In: return "IN";
        case BinOp::StartsWith: return "STARTS WITH";
        case BinOp::EndsWith: return "ENDS WITH";
        case BinOp::Contains: return "CONTAINS";
        case BinOp::RegexMatch: return "=~";
    }
    return "?";
}

// ----- arithmetic --------------------------------------------------------------

static double as_double(PyObject* v) {
    return PyFloat_Check(v) ? PyFloat_AS_DOUBLE(v) : PyLong_AsDouble(v);
}

// Integer / and %: the quotient truncated toward zero, the remainder with the
// sign of the dividend.
static PyObject* int_div_mod(PyObject* a, PyObject* b, bool want_mod) {
    long long x, y;
    if (fits_ll(a, x) && fits_ll(b, y)) {
        if (y == 0) {
            PyErr_Format(PyExc_ZeroDivisionError, "Integer division by zero in '%s'",
                         want_mod ? "%" : "/");
            return nullptr;
        }
        // LLONG_MIN / -1 overflows: that one goes the general way.
        if (!(x == LLONG_MIN && y == -1))
            return PyLong_FromLongLong(want_mod ? x % y : x / y);
    }
    // A divisor too large for a long long is not zero.
    long long y0;
    if (fits_ll(b, y0) && y0 == 0) {
        PyErr_Format(PyExc_ZeroDivisionError, "Integer division by zero in '%s'",
                     want_mod ? "%" : "/");
        return nullptr;
    }
    Ref qr = Ref::steal(PyLong_Type.tp_as_number->nb_divmod(a, b));
    if (!qr) return nullptr;
    Ref q = Ref::borrow(PyTuple_GET_ITEM(qr.get(), 0));
    Ref r = Ref::borrow(PyTuple_GET_ITEM(qr.get(), 1));
    // Python floors: where the signs differ and the division is not exact,
    // truncation is one more and the remainder takes the dividend's sign.
    const int r_nonzero = PyObject_IsTrue(r.get());
    if (r_nonzero < 0) return nullptr;
    if (r_nonzero) {
        Ref zero_obj = Ref::steal(PyLong_FromLong(0));
        if (!zero_obj) return nullptr;
        const int a_neg = slot_result(PyLong_Type.tp_richcompare(a, zero_obj.get(), Py_LT));
        const int b_neg = slot_result(PyLong_Type.tp_richcompare(b, zero_obj.get(), Py_LT));
        if (a_neg < 0 || b_neg < 0) return nullptr;
        if (a_neg != b_neg) {
            if (want_mod) return PyLong_Type.tp_as_number->nb_subtract(r.get(), b);
            Ref one = Ref::steal(PyLong_FromLong(1));
            if (!one) return nullptr;
            return PyLong_Type.tp_as_number->nb_add(q.get(), one.get());
        }
    }
    return (want_mod ? r : q).release();
}

static PyObject* arithmetic(BinOp op, PyObject* a, PyObject* b) {
    const Kind ka = kind_of(a), kb = kind_of(b);
    if (ka == Kind::Null || kb == Kind::Null) Py_RETURN_NONE;
    if (op == BinOp::Add) {
        if (ka == Kind::Str && kb == Kind::Str) return PyUnicode_Concat(a, b);
        if (ka == Kind::List || kb == Kind::List) {
            // list + list concatenates; list + element appends; element + list prepends.
            Ref out = Ref::steal(PyList_New(0));
            if (!out) return nullptr;
            for (PyObject* side : {a, b}) {
                if (kind_of(side) == Kind::List) {
                    const Py_ssize_t n = PySequence_Fast_GET_SIZE(side);
                    for (Py_ssize_t i = 0; i < n; ++i)
                        if (PyList_Append(out.get(), PySequence_Fast_GET_ITEM(side, i)) < 0)
                            return nullptr;
                } else if (PyList_Append(out.get(), side) < 0) {
                    return nullptr;
                }
            }
            return out.release();
        }
    }
    if (!is_number(ka) || !is_number(kb)) return type_error_op(binop_text(op), a, b);
    const bool ints = ka == Kind::Int && kb == Kind::Int;
    if (ints) {
        PyNumberMethods* nm = PyLong_Type.tp_as_number;
        switch (op) {
            case BinOp::Add: return nm->nb_add(a, b);
            case BinOp::Sub: return nm->nb_subtract(a, b);
            case BinOp::Mul: return nm->nb_multiply(a, b);
            case BinOp::Div: return int_div_mod(a, b, false);
            case BinOp::Mod: return int_div_mod(a, b, true);
            default: break;
        }
    }
    const double x = as_double(a);
    if (x == -1.0 && PyErr_Occurred()) return nullptr;
    const double y = as_double(b);
    if (y == -1.0 && PyErr_Occurred()) return nullptr;
    double r;
    switch (op) {
        case BinOp::Add: r = x + y; break;
        case BinOp::Sub: r = x - y; break;
        case BinOp::Mul: r = x * y; break;
        case BinOp::Div: r = x / y; break;  // IEEE: 1.0 / 0 is Infinity, 0.0 / 0 NaN
        case BinOp::Mod: r = std::fmod(x, y); break;
        default: r = std::pow(x, y); break;
    }
    return PyFloat_FromDouble(r);
}

PyObject* negate(PyObject* a) {
    switch (kind_of(a)) {
        case Kind::Null: Py_RETURN_NONE;
        case Kind::Int: return PyLong_Type.tp_as_number->nb_negative(a);
        case Kind::Float: return PyFloat_FromDouble(-PyFloat_AS_DOUBLE(a));
        default: return type_error_op("-", a, nullptr);
    }
}

// ----- string operators and IN -------------------------------------------------

static PyObject* regex_cache = nullptr;    // pattern str -> compiled pattern
static PyObject* regex_compile = nullptr;  // re.compile
static PyObject* fullmatch_name = nullptr;
static constexpr Py_ssize_t kRegexCacheSize = 64;

static PyObject* regex_match(PyObject* s, PyObject* pattern) {
    if (!regex_cache) {
        Ref re = Ref::steal(PyImport_ImportModule("re"));
        if (!re) return nullptr;
        Ref compile = Ref::steal(PyObject_GetAttrString(re.get(), "compile"));
        Ref cache = Ref::steal(PyDict_New());
        Ref name = Ref::steal(PyUnicode_InternFromString("fullmatch"));
        if (!compile || !cache || !name) return nullptr;
        fullmatch_name = name.release();
        regex_compile = compile.release();
        regex_cache = cache.release();
    }
    PyObject* compiled = PyDict_GetItemWithError(regex_cache, pattern);
    Ref hold;
    if (compiled) {
        hold = Ref::borrow(compiled);
    } else {
        if (PyErr_Occurred()) return nullptr;
        hold = Ref::steal(PyObject_CallOneArg(regex_compile, pattern));
        if (!hold) {
            if (!PyErr_ExceptionMatches(PyExc_Exception)) return nullptr;
            PyObject* cause = take_exception();
            Ref msg = Ref::steal(PyObject_Str(cause));
            PyErr_Format(PyExc_ValueError, "Invalid regular expression %R in '=~': %S", pattern,
                         msg ? msg.get() : Py_None);
            set_pending_cause(cause);
            return nullptr;
        }
        // A small cache: emptied when full, so a query running many
        // patterns recompiles some instead of growing without bound.
        if (PyDict_GET_SIZE(regex_cache) >= kRegexCacheSize) PyDict_Clear(regex_cache);
        if (PyDict_SetItem(regex_cache, pattern, hold.get()) < 0) return nullptr;
    }
    PyObject* args[] = {hold.get(), s};
    Ref m = Ref::steal(PyObject_VectorcallMethod(fullmatch_name, args, 2, nullptr));
    if (!m) return nullptr;
    return PyBool_FromLong(m.get() != Py_None);
}

static PyObject* string_op(BinOp op, PyObject* a, PyObject* b) {
    // Null when either side is not a string, as for null itself.
    if (!PyUnicode_Check(a) || !PyUnicode_Check(b)) Py_RETURN_NONE;
    Py_ssize_t r;
    switch (op) {
        case BinOp::StartsWith:
            r = PyUnicode_Tailmatch(a, b, 0, PY_SSIZE_T_MAX, -1);
            break;
        case BinOp::EndsWith:
            r = PyUnicode_Tailmatch(a, b, 0, PY_SSIZE_T_MAX, 1);
            break;
        case BinOp::Contains:
            r = PyUnicode_Contains(a, b);
            break;
        default: return regex_match(a, b);
    }
    if (r < 0) return nullptr;
    return PyBool_FromLong(r);
}

static PyObject* in_list(PyObject* a, PyObject* b) {
    const Kind kb = kind_of(b);
    if (kb == Kind::Null) Py_RETURN_NONE;
    if (kb != Kind::List) return type_error_op("IN", a, b);
    bool saw_null = false;
    // The == of an element may change the list: read its size each time.
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(b); ++i) {
        Ref e = Ref::borrow(PySequence_Fast_GET_ITEM(b, i));
        Tri t = equals(a, e.get());
        if (t == kError) return nullptr;
        if (t == kTrue) Py_RETURN_TRUE;
        if (t == kNull) saw_null = true;
    }
    if (saw_null) Py_RETURN_NONE;
    Py_RETURN_FALSE;
}

PyObject* binary(BinOp op, PyObject* a, PyObject* b) {
    switch (op) {
        case BinOp::Add:
            // The common cases first: two small ints, two floats.
            if (Py_TYPE(a) == &PyLong_Type && Py_TYPE(b) == &PyLong_Type)
                return PyLong_Type.tp_as_number->nb_add(a, b);
            if (Py_TYPE(a) == &PyFloat_Type && Py_TYPE(b) == &PyFloat_Type)
                return PyFloat_FromDouble(PyFloat_AS_DOUBLE(a) + PyFloat_AS_DOUBLE(b));
            return arithmetic(op, a, b);
        case BinOp::Sub:
        case BinOp::Mul:
        case BinOp::Div:
        case BinOp::Mod:
        case BinOp::Pow: return arithmetic(op, a, b);
        case BinOp::Eq: return tri_to_python(equals(a, b));
        case BinOp::Ne: {
            Tri t = equals(a, b);
            return tri_to_python(t == kTrue ? kFalse : t == kFalse ? kTrue : t);
        }
        case BinOp::Lt: return tri_to_python(compare(a, b, Py_LT));
        case BinOp::Le: return tri_to_python(compare(a, b, Py_LE));
        case BinOp::Gt: return tri_to_python(compare(a, b, Py_GT));
        case BinOp::Ge: return tri_to_python(compare(a, b, Py_GE));
        case BinOp::In: return in_list(a, b);
        case BinOp::StartsWith:
        case BinOp::EndsWith:
        case BinOp::Contains:
        case BinOp::RegexMatch: return string_op(op, a, b);
    }
    return nullptr;
}

// ----- property access, subscripts and slices ----------------------------------

static PyObject* dict_value(PyObject* d, PyObject* key) {
    PyObject* v = PyDict_GetItemWithError(d, key);
    if (v) return Py_NewRef(v);
    if (PyErr_Occurred()) return nullptr;
    Py_RETURN_NONE;
}

PyObject* property(PyObject* v, PyObject* key) {
    PyTypeObject* t = Py_TYPE(v);
    if (t == NodeType) return dict_value(node_value(v).properties(), key);
    if (t == EdgeType) return dict_value(edge_value(v).properties(), key);
    switch (kind_of(v)) {
        case Kind::Null: Py_RETURN_NONE;
        case Kind::Map: return dict_value(v, key);
        default:
            PyErr_Format(PyExc_TypeError, "Cannot read property '%U' of %s", key,
                         kind_name(v).c_str());
            return nullptr;
    }
}

PyObject* subscript(PyObject* v, PyObject* index) {
    if (v == Py_None || index == Py_None) Py_RETURN_NONE;
    const Kind kv = kind_of(v), ki = kind_of(index);
    if (kv == Kind::List && ki == Kind::Int) {
        const Py_ssize_t n = PySequence_Fast_GET_SIZE(v);
        Py_ssize_t i = PyNumber_AsSsize_t(index, nullptr);  // clamped: far out of range
        if (i == -1 && PyErr_Occurred()) return nullptr;
        if (i < 0) i += n;
        if (i < 0 || i >= n) Py_RETURN_NONE;
        return Py_NewRef(PySequence_Fast_GET_ITEM(v, i));
    }
    if ((kv == Kind::Map || kv == Kind::Node || kv == Kind::Rel) && ki == Kind::Str)
        return property(v, index);
    return type_error_op("[]", v, index);
}

PyObject* slice(PyObject* v, PyObject* from, PyObject* to) {
    if (v == Py_None || from == Py_None || to == Py_None) Py_RETURN_NONE;
    if (kind_of(v) != Kind::List) return type_error_op("[..]", v, from ? from : to);
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(v);
    Py_ssize_t bound[2] = {0, n};
    PyObject* given[2] = {from, to};
    for (int k = 0; k < 2; ++k) {
        if (!given[k]) continue;
        if (kind_of(given[k]) != Kind::Int) return type_error_op("[..]", v, given[k]);
        Py_ssize_t i = PyNumber_AsSsize_t(given[k], nullptr);
        if (i == -1 && PyErr_Occurred()) return nullptr;
        if (i < 0) i = std::max<Py_ssize_t>(0, i + n);
        bound[k] = std::min(i, n);
    }
    const Py_ssize_t len = std::max<Py_ssize_t>(0, bound[1] - bound[0]);
    PyObject* out = PyList_New(len);
    if (!out) return nullptr;
    PyObject** items = PySequence_Fast_ITEMS(v);
    for (Py_ssize_t i = 0; i < len; ++i) PyList_SET_ITEM(out, i, Py_NewRef(items[bound[0] + i]));
    return out;
}

// ----- start and end nodes -----------------------------------------------------

static PyObject* filed_node(const GraphView& g, const NodeValue& end) {
    PyObject* key = node_key_of_type(end.type().get());
    if (!key) return nullptr;
    if (g.nodes) {
        PyObject* filed = PyDict_GetItemWithError(g.nodes, key);
        if (filed) {
            if (Py_TYPE(filed) != NodeType) {
                (void)cast_error(filed, "Node");
                return nullptr;
            }
            return Py_NewRef(filed);
        }
        if (PyErr_Occurred()) return nullptr;
    }
    return node_to_python(end);
}

PyObject* start_node(const GraphView& g, PyObject* edge) {
    return filed_node(g, edge_value(edge).start());
}

PyObject* end_node(const GraphView& g, PyObject* edge) {
    return filed_node(g, edge_value(edge).end());
}

}  // namespace vk::cypher
