// Cypher values at run time: kinds, equality, comparability, orderability,
// equivalence and hashing (the operators are in values_operators.cpp).
//
// How it works. Every operation first looks at exact type pointers (int,
// float, str against each other), which answers the common cases without
// allocating or calling Python code; the general path classifies both
// operands with kind_of and dispatches on the pair of kinds. Numbers are read
// through the base classes' own slots (PyLong_Type, PyFloat_Type), so a
// subclass of int or float counts as the number it holds whatever operators
// it overrides. Only values of no Cypher kind run Python code: their == and
// hash.
//
// Lists and maps nest without limit, so no walk over them recurses on the C
// stack. Equality and equivalence are a three-valued AND over every pair of
// leaves (plus the size and key checks), which does not depend on the order
// the pairs are visited in: they keep a stack of pairs still to compare.
// Ordering needs the first difference in order, so it keeps a stack of
// positions in the lists being compared; a map is ordered as the list of its
// keys (sorted) and values interleaved. Hashing keeps a stack of partly
// hashed containers. Where the == or hash of a value of no Cypher kind may
// run (equality, equivalence, hashing), everything on a stack is held by a
// reference of its own, since that code may change the containers being
// walked; ordering runs no Python code.
#include "cypher/values.hpp"
#include "cypher/values_internal.hpp"
#include "cypher/access.hpp"

#include <cmath>
#include <cstring>
#include <vector>

#include "graph.hpp"
#include "path_value.hpp"
#include "host/args.hpp"
#include "term.hpp"
#include "types.hpp"

namespace vk::cypher {

namespace {

// A stack whose first N entries live inline, so that walks over shallow
// values allocate nothing. back() is invalidated by push_back, as a vector's.
template <class T, size_t N>
class SmallStack {
public:
    SmallStack() = default;
    SmallStack(const SmallStack&) = delete;
    SmallStack& operator=(const SmallStack&) = delete;
    ~SmallStack() {
        for (size_t i = 0; i < n_ && i < N; ++i) slot(i)->~T();
    }
    bool empty() const { return n_ == 0; }
    size_t size() const { return n_; }
    void push_back(T v) {
        if (n_ < N)
            new (slot(n_)) T(std::move(v));
        else
            spill_.push_back(std::move(v));
        ++n_;
    }
    T& back() { return n_ > N ? spill_.back() : *slot(n_ - 1); }
    void pop_back() {
        if (n_ > N)
            spill_.pop_back();
        else
            slot(n_ - 1)->~T();
        --n_;
    }

private:
    T* slot(size_t i) { return reinterpret_cast<T*>(buf_) + i; }
    alignas(T) unsigned char buf_[N * sizeof(T)];
    std::vector<T> spill_;
    size_t n_ = 0;
};

}  // namespace

// How deep the walks go into lists and maps: far beyond any real value, and
// the bound that turns a list containing itself into an error instead of a
// walk without end.
constexpr size_t kMaxNesting = 1'000'000;

static int too_deep() {
    PyErr_Format(PyExc_RecursionError,
                 "Cypher value nested more than %zu levels deep (or containing itself)",
                 kMaxNesting);
    return -1;
}

// ----- kinds -------------------------------------------------------------------

static bool all_str_keys(PyObject* d) {
    Py_ssize_t pos = 0;
    PyObject *k, *v;
    while (PyDict_Next(d, &pos, &k, &v))
        if (!PyUnicode_Check(k)) return false;
    return true;
}

Kind kind_of(PyObject* v) {
    if (v == Py_None) return Kind::Null;
    PyTypeObject* t = Py_TYPE(v);
    if (t == &PyLong_Type) return Kind::Int;
    if (t == &PyUnicode_Type) return Kind::Str;
    if (t == &PyFloat_Type) return Kind::Float;
    if (t == &PyBool_Type) return Kind::Bool;
    if (t == &PyList_Type || t == &PyTuple_Type) return Kind::List;
    if (t == &PyDict_Type) return all_str_keys(v) ? Kind::Map : Kind::Other;
    if (t == NodeType) return Kind::Node;
    if (t == EdgeType) return Kind::Rel;
    if (t == PathType) return Kind::Path;
    // bool cannot be subclassed, so every int subclass is an integer.
    if (PyLong_Check(v)) return Kind::Int;
    if (PyFloat_Check(v)) return Kind::Float;
    if (PyUnicode_Check(v)) return Kind::Str;
    if (PyList_Check(v) || PyTuple_Check(v)) return Kind::List;
    if (PyDict_Check(v)) return all_str_keys(v) ? Kind::Map : Kind::Other;
    return Kind::Other;
}

static const char* kind_text(Kind k) {
    switch (k) {
        case Kind::Null: return "Null";
        case Kind::Bool: return "Boolean";
        case Kind::Int: return "Integer";
        case Kind::Float: return "Float";
        case Kind::Str: return "String";
        case Kind::List: return "List";
        case Kind::Map: return "Map";
        case Kind::Node: return "Node";
        case Kind::Rel: return "Relationship";
        case Kind::Path: return "Path";
        case Kind::Other: break;
    }
    return nullptr;
}

std::string kind_name(PyObject* v) {
    Kind k = kind_of(v);
    if (const char* s = kind_text(k)) return s;
    return type_name(Py_TYPE(v));
}

static bool is_container(Kind k) { return k == Kind::List || k == Kind::Map; }

// ----- errors ------------------------------------------------------------------

PyObject* type_error_op(const char* op, PyObject* a, PyObject* b) {
    if (b)
        PyErr_Format(PyExc_TypeError, "Cannot apply '%s' to %s and %s", op, kind_name(a).c_str(),
                     kind_name(b).c_str());
    else
        PyErr_Format(PyExc_TypeError, "Cannot apply '%s' to %s", op, kind_name(a).c_str());
    return nullptr;
}

PyObject* type_error_arg(const char* function, const char* expected, PyObject* v) {
    PyErr_Format(PyExc_TypeError, "%s() expects %s, got %s", function, expected,
                 kind_name(v).c_str());
    return nullptr;
}

// ----- numbers -----------------------------------------------------------------

static int swapped(int op) {
    switch (op) {
        case Py_LT: return Py_GT;
        case Py_LE: return Py_GE;
        case Py_GT: return Py_LT;
        case Py_GE: return Py_LE;
        default: return op;
    }
}

template <class T>
static bool apply_op(T a, T b, int op) {
    switch (op) {
        case Py_LT: return a < b;
        case Py_LE: return a <= b;
        case Py_GT: return a > b;
        case Py_GE: return a >= b;
        case Py_EQ: return a == b;
        default: return a != b;
    }
}

// a op b for two numbers (int or float, subclasses as their base): 1, 0, -1.
static int number_compare(PyObject* a, PyObject* b, int op) {
    // Exact types first: PyFloat_Check of an int asks the subtype machinery.
    const bool fa = Py_TYPE(a) == &PyFloat_Type || (Py_TYPE(a) != &PyLong_Type && PyFloat_Check(a));
    const bool fb = Py_TYPE(b) == &PyFloat_Type || (Py_TYPE(b) != &PyLong_Type && PyFloat_Check(b));
    if (fa && fb) return apply_op(PyFloat_AS_DOUBLE(a), PyFloat_AS_DOUBLE(b), op);
    if (!fa && !fb) {
        long long x, y;
        if (fits_ll(a, x) && fits_ll(b, y)) return apply_op(x, y, op);
        return slot_result(PyLong_Type.tp_richcompare(a, b, op));
    }
    // One int, one float: exact, as Python compares them.
    PyObject* f = fa ? a : b;
    PyObject* i = fa ? b : a;
    const int fop = fa ? op : swapped(op);
    long long x;
    if (fits_ll(i, x) && x <= (1LL << 53) && x >= -(1LL << 53))
        return apply_op(PyFloat_AS_DOUBLE(f), static_cast<double>(x), fop);
    return slot_result(PyFloat_Type.tp_richcompare(f, i, fop));
}

static bool is_nan(PyObject* v) {
    return Py_TYPE(v) != &PyLong_Type && PyFloat_Check(v) && std::isnan(PyFloat_AS_DOUBLE(v));
}

// The three-way order of two exact ints, strs or (not NaN) floats, which
// needs no Python code: true when answered.
static bool quick_order(PyObject* a, PyObject* b, int* out) {
    PyTypeObject* t = Py_TYPE(a);
    if (t != Py_TYPE(b)) return false;
    if (t == &PyLong_Type) {
        long long x, y;
        if (!fits_ll(a, x) || !fits_ll(b, y)) return false;
        *out = (x > y) - (x < y);
        return true;
    }
    if (t == &PyFloat_Type) {
        const double x = PyFloat_AS_DOUBLE(a), y = PyFloat_AS_DOUBLE(b);
        if (std::isnan(x) || std::isnan(y)) return false;
        *out = (x > y) - (x < y);
        return true;
    }
    if (t == &PyUnicode_Type) {
        const int c = PyUnicode_Compare(a, b);  // strs: cannot fail
        *out = (c > 0) - (c < 0);
        return true;
    }
    return false;
}

// Three-way order of two numbers with NaN after every other number and equal
// to itself. 0 or -1 failed.
static int number_order(PyObject* a, PyObject* b, int* out) {
    const bool na = is_nan(a), nb = is_nan(b);
    if (na || nb) {
        *out = na == nb ? 0 : (na ? 1 : -1);
        return 0;
    }
    int lt = number_compare(a, b, Py_LT);
    if (lt < 0) return -1;
    if (lt) {
        *out = -1;
        return 0;
    }
    int gt = number_compare(a, b, Py_GT);
    if (gt < 0) return -1;
    *out = gt;
    return 0;
}

// ----- nodes and relationships -------------------------------------------------

static bool same_node(PyObject* a, PyObject* b) {
    const NodeValue& x = node_value(a);
    const NodeValue& y = node_value(b);
    return x.same_record(y) || type_equal(x.type().get(), y.type().get());
}

static bool same_rel(PyObject* a, PyObject* b) {
    const EdgeValue& x = edge_value(a);
    const EdgeValue& y = edge_value(b);
    if (x.same_record(y) || x.term_handle().get() == y.term_handle().get()) return true;
    return x.term().name == y.term().name && type_equal(x.term().type.get(), y.term().type.get());
}

// The uid of a node or relationship as kept with its type or term (borrowed
// str), or null with an exception set.
static PyObject* uid_str(PyObject* v) {
    if (Py_TYPE(v) == NodeType) return node_key_of_type(node_value(v).type().get());
    return edge_key_of_term(edge_value(v).term());
}

// ----- equality and equivalence ------------------------------------------------

namespace {

// A pair of values still to compare, each held by its own reference.
struct Pair {
    Ref a, b;
    size_t depth = 0;
};

// The answer for two values when neither contains others to compare (or
// kContainer when both are lists or both maps).
constexpr int kContainer = 3;

template <bool Equiv>
int leaf_equals(PyObject* a, PyObject* b, Kind ka, Kind kb) {
    if (ka == Kind::Null || kb == Kind::Null) {
        if (Equiv) return ka == kb ? kTrue : kFalse;
        return kNull;
    }
    if (ka == Kind::Other || kb == Kind::Other) {
        if (!before_python_code()) return kError;
        return PyObject_RichCompareBool(a, b, Py_EQ);
    }
    if (is_number(ka) && is_number(kb)) {
        if (Equiv && is_nan(a) && is_nan(b)) return kTrue;
        return number_compare(a, b, Py_EQ);
    }
    if (ka != kb) return kFalse;
    switch (ka) {
        case Kind::Bool: return tri(a == b);
        case Kind::Str: return slot_result(PyUnicode_Type.tp_richcompare(a, b, Py_EQ));
        case Kind::Node: return tri(same_node(a, b));
        case Kind::Rel: return tri(same_rel(a, b));
        case Kind::List:
        case Kind::Map: return kContainer;
        default: return PyObject_RichCompareBool(a, b, Py_EQ);
    }
}

using PairStack = SmallStack<Pair, 8>;

// Compares the elements of two lists or the entries of two maps: pairs of
// values that hold no others at once, pairs of lists or maps put on the
// stack for later. kFalse as soon as one pair, a size or a key differs.
template <bool Equiv>
int compare_children(PyObject* a, PyObject* b, Kind k, size_t depth, PairStack& stack,
                     bool& saw_null) {
    auto one = [&](PyObject* x, PyObject* y) {
        // Pairs of exact ints, floats or strs run no Python code: answered at once.
        PyTypeObject* tx = Py_TYPE(x);
        if (tx == Py_TYPE(y)) {
            if (tx == &PyLong_Type) {
                long long u, w;
                if (fits_ll(x, u) && fits_ll(y, w)) return static_cast<int>(tri(u == w));
            } else if (tx == &PyUnicode_Type) {
                return slot_result(PyUnicode_Type.tp_richcompare(x, y, Py_EQ));
            } else if (tx == &PyFloat_Type && !Equiv) {
                return static_cast<int>(tri(PyFloat_AS_DOUBLE(x) == PyFloat_AS_DOUBLE(y)));
            }
        }
        // Held: the == of a value of no Cypher kind may change the containers.
        Ref hx = Ref::borrow(x), hy = Ref::borrow(y);
        const Kind kx = kind_of(x), ky = kind_of(y);
        const int r = leaf_equals<Equiv>(x, y, kx, ky);
        if (r == kContainer) {
            if (depth + 1 >= kMaxNesting) return too_deep();
            stack.push_back({std::move(hx), std::move(hy), depth + 1});
            return static_cast<int>(kTrue);
        }
        if (r == kNull) saw_null = true;
        return r;
    };
    if (k == Kind::List) {
        if (PySequence_Fast_GET_SIZE(a) != PySequence_Fast_GET_SIZE(b)) return kFalse;
        for (Py_ssize_t i = 0;
             i < PySequence_Fast_GET_SIZE(a) && i < PySequence_Fast_GET_SIZE(b); ++i) {
            const int r = one(PySequence_Fast_GET_ITEM(a, i), PySequence_Fast_GET_ITEM(b, i));
            if (r == kError || r == kFalse) return r;
        }
        return kTrue;
    }
    if (PyDict_GET_SIZE(a) != PyDict_GET_SIZE(b)) return kFalse;
    Py_ssize_t pos = 0;
    PyObject *key, *va;
    while (PyDict_Next(a, &pos, &key, &va)) {
        // Keys are strs, so this lookup runs no Python code.
        PyObject* vb = PyDict_GetItemWithError(b, key);
        if (!vb) return PyErr_Occurred() ? kError : kFalse;
        const int r = one(va, vb);
        if (r == kError || r == kFalse) return r;
    }
    return kTrue;
}

template <bool Equiv>
int walk_equals(PyObject* a, PyObject* b) {
    const Kind ka = kind_of(a), kb = kind_of(b);
    int r = leaf_equals<Equiv>(a, b, ka, kb);
    if (r != kContainer) return r;
    PairStack stack;
    bool saw_null = false;
    r = compare_children<Equiv>(a, b, ka, 0, stack, saw_null);
    while (r == kTrue && !stack.empty()) {
        Pair p = std::move(stack.back());
        stack.pop_back();
        r = compare_children<Equiv>(p.a.get(), p.b.get(), kind_of(p.a.get()), p.depth, stack,
                                    saw_null);
    }
    if (r != kTrue) return r;
    return saw_null ? kNull : kTrue;
}

}  // namespace

Tri equals(PyObject* a, PyObject* b) {
    PyTypeObject *ta = Py_TYPE(a), *tb = Py_TYPE(b);
    if (ta == tb) {
        if (ta == &PyLong_Type) {
            long long x, y;
            if (fits_ll(a, x) && fits_ll(b, y)) return tri(x == y);
        } else if (ta == &PyUnicode_Type) {
            return static_cast<Tri>(slot_result(PyUnicode_Type.tp_richcompare(a, b, Py_EQ)));
        } else if (ta == &PyFloat_Type) {
            return tri(PyFloat_AS_DOUBLE(a) == PyFloat_AS_DOUBLE(b));
        }
    }
    return static_cast<Tri>(walk_equals<false>(a, b));
}

int equivalent(PyObject* a, PyObject* b) {
    if (a == b) return 1;
    PyTypeObject *ta = Py_TYPE(a), *tb = Py_TYPE(b);
    if (ta == tb) {
        if (ta == &PyLong_Type) {
            long long x, y;
            if (fits_ll(a, x) && fits_ll(b, y)) return x == y;
        } else if (ta == &PyUnicode_Type) {
            return slot_result(PyUnicode_Type.tp_richcompare(a, b, Py_EQ));
        }
    }
    return walk_equals<true>(a, b);
}

// ----- comparability -----------------------------------------------------------

static Tri compare_leaf(PyObject* a, PyObject* b, Kind ka, Kind kb, int op) {
    if (is_number(ka) && is_number(kb)) return static_cast<Tri>(number_compare(a, b, op));
    if (ka != kb) return kNull;
    switch (ka) {
        case Kind::Str: return static_cast<Tri>(slot_result(PyUnicode_Type.tp_richcompare(a, b, op)));
        case Kind::Bool: return tri(apply_op(a == Py_True, b == Py_True, op));
        default: return kNull;
    }
}

Tri compare(PyObject* a, PyObject* b, int op) {
    if (Py_TYPE(a) == Py_TYPE(b)) {
        if (Py_TYPE(a) == &PyFloat_Type)
            return tri(apply_op(PyFloat_AS_DOUBLE(a), PyFloat_AS_DOUBLE(b), op));
        if (Py_TYPE(a) == &PyLong_Type) {
            long long x, y;
            if (fits_ll(a, x) && fits_ll(b, y)) return tri(apply_op(x, y, op));
        }
    }
    // Two lists compare as their first pair of elements that are not equal
    // (null when that equality is null), or by length when one is a prefix of
    // the other. A pair of lists is entered rather than tested for equality
    // first: the walk inside meets the same first unequal pair the test
    // would, so each element is looked at once however deep the nesting.
    const Kind ka = kind_of(a), kb = kind_of(b);
    if (ka != Kind::List || kb != Kind::List) return compare_leaf(a, b, ka, kb, op);
    struct Frame {
        Ref x, y;
        Py_ssize_t i;
    };
    SmallStack<Frame, 8> stack;
    stack.push_back({Ref::borrow(a), Ref::borrow(b), 0});
    while (!stack.empty()) {
        Frame& f = stack.back();
        // The == of an element may change either list: read the sizes each time.
        const Py_ssize_t nx = PySequence_Fast_GET_SIZE(f.x.get());
        const Py_ssize_t ny = PySequence_Fast_GET_SIZE(f.y.get());
        if (f.i >= nx || f.i >= ny) {
            if (nx != ny) return tri(apply_op(nx, ny, op));
            stack.pop_back();
            continue;
        }
        PyObject* qx = PySequence_Fast_GET_ITEM(f.x.get(), f.i);
        PyObject* qy = PySequence_Fast_GET_ITEM(f.y.get(), f.i);
        ++f.i;
        int c;
        if (quick_order(qx, qy, &c)) {
            if (c != 0) return tri(apply_op(c, 0, op));
            continue;
        }
        Ref ex = Ref::borrow(qx), ey = Ref::borrow(qy);
        const Kind kx = kind_of(ex.get()), ky = kind_of(ey.get());
        if (kx == Kind::List && ky == Kind::List) {
            if (stack.size() >= kMaxNesting) return static_cast<Tri>(too_deep());
            stack.push_back({std::move(ex), std::move(ey), 0});
            continue;
        }
        const Tri e = equals(ex.get(), ey.get());
        if (e == kError || e == kNull) return e;
        if (e == kFalse) return compare_leaf(ex.get(), ey.get(), kx, ky, op);
    }
    // Equal lists.
    return tri(op == Py_LE || op == Py_GE);
}

// ----- orderability ------------------------------------------------------------

// Position of a kind in the global order (ascending).
static int order_rank(Kind k) {
    switch (k) {
        case Kind::Map: return 0;
        case Kind::Node: return 1;
        case Kind::Rel: return 2;
        case Kind::List: return 3;
        case Kind::Path: return 4;
        case Kind::Str: return 5;
        case Kind::Bool: return 6;
        case Kind::Int:
        case Kind::Float: return 7;
        case Kind::Other: return 8;
        case Kind::Null: return 9;
    }
    return 9;
}

// A map as the list of its keys in order, each followed by its value.
static PyObject* map_as_sequence(PyObject* m) {
    Ref keys = Ref::steal(PyDict_Keys(m));
    if (!keys || PyList_Sort(keys.get()) < 0) return nullptr;
    const Py_ssize_t n = PyList_GET_SIZE(keys.get());
    Ref out = Ref::steal(PyList_New(2 * n));
    if (!out) return nullptr;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* k = PyList_GET_ITEM(keys.get(), i);
        PyObject* v = PyDict_GetItemWithError(m, k);
        if (!v) {
            if (!PyErr_Occurred()) PyErr_SetString(PyExc_RuntimeError, "map changed while ordered");
            return nullptr;
        }
        Py_INCREF(k);
        Py_INCREF(v);
        PyList_SET_ITEM(out.get(), 2 * i, k);
        PyList_SET_ITEM(out.get(), 2 * i + 1, v);
    }
    return out.release();
}

static int compare_uids(PyObject* a, PyObject* b, int* out) {
    PyObject* x = uid_str(a);
    if (!x) return -1;
    PyObject* y = uid_str(b);
    if (!y) return -1;
    int c = PyUnicode_Compare(x, y);
    if (c == -1 && PyErr_Occurred()) return -1;
    *out = c;
    return 0;
}

namespace {

// Two sequences being ordered and the position reached in them.
struct OrderFrame {
    Ref a, b;
    Py_ssize_t i;
};

// Orders two values that are not both containers of the same kind;
// `nested` is set (and nothing else) when they are.
int order_leaf(PyObject* a, PyObject* b, Kind ka, Kind kb, int* out, bool* nested) {
    const int ra = order_rank(ka), rb = order_rank(kb);
    if (ra != rb) {
        *out = ra < rb ? -1 : 1;
        return 0;
    }
    *out = 0;
    switch (ka) {
        case Kind::Int:
        case Kind::Float: return number_order(a, b, out);
        case Kind::Str: {
            int c = PyUnicode_Compare(a, b);
            if (c == -1 && PyErr_Occurred()) return -1;
            *out = c;
            return 0;
        }
        case Kind::Bool: *out = (a == Py_True) - (b == Py_True); return 0;
        case Kind::Node:
        case Kind::Rel: return compare_uids(a, b, out);
        case Kind::Path: return path_order(path_value(a), path_value(b), out);
        case Kind::List:
        case Kind::Map: *nested = true; return 0;
        default: return 0;  // null and values of no kind
    }
}

Ref as_sequence(PyObject* v, Kind k) {
    return k == Kind::Map ? Ref::steal(map_as_sequence(v)) : Ref::borrow(v);
}

}  // namespace

int order(PyObject* a, PyObject* b, int* out) {
    PyTypeObject *ta = Py_TYPE(a), *tb = Py_TYPE(b);
    if (ta == tb) {
        if (ta == &PyLong_Type) {
            long long x, y;
            if (fits_ll(a, x) && fits_ll(b, y)) {
                *out = (x > y) - (x < y);
                return 0;
            }
        } else if (ta == &PyUnicode_Type) {
            int c = PyUnicode_Compare(a, b);
            if (c == -1 && PyErr_Occurred()) return -1;
            *out = c;
            return 0;
        }
    }
    Kind ka = kind_of(a), kb = kind_of(b);
    bool nested = false;
    if (order_leaf(a, b, ka, kb, out, &nested) < 0) return -1;
    if (!nested) return 0;
    SmallStack<OrderFrame, 8> stack;
    {
        Ref sa = as_sequence(a, ka), sb = as_sequence(b, kb);
        if (!sa || !sb) return -1;
        stack.push_back({std::move(sa), std::move(sb), 0});
    }
    while (!stack.empty()) {
        OrderFrame& f = stack.back();
        const Py_ssize_t na = PySequence_Fast_GET_SIZE(f.a.get());
        const Py_ssize_t nb = PySequence_Fast_GET_SIZE(f.b.get());
        if (f.i >= na || f.i >= nb) {
            // One is a prefix of the other: the shorter first.
            if (na != nb) {
                *out = na < nb ? -1 : 1;
                return 0;
            }
            stack.pop_back();
            continue;
        }
        PyObject* x = PySequence_Fast_GET_ITEM(f.a.get(), f.i);
        PyObject* y = PySequence_Fast_GET_ITEM(f.b.get(), f.i);
        ++f.i;
        if (quick_order(x, y, out)) {
            if (*out != 0) return 0;
            continue;
        }
        ka = kind_of(x);
        kb = kind_of(y);
        nested = false;
        if (order_leaf(x, y, ka, kb, out, &nested) < 0) return -1;
        if (nested) {
            if (stack.size() >= kMaxNesting) return too_deep();
            Ref sa = as_sequence(x, ka), sb = as_sequence(y, kb);
            if (!sa || !sb) return -1;
            stack.push_back({std::move(sa), std::move(sb), 0});
        } else if (*out != 0) {
            return 0;
        }
    }
    *out = 0;
    return 0;
}

// ----- hashing -----------------------------------------------------------------

namespace {

constexpr uint64_t kHashNull = 0x5bd1e9955bd1e995ULL;
constexpr uint64_t kHashNaN = 0x27d4eb2f165667c5ULL;
constexpr uint64_t kHashUnhashable = 0x165667b19e3779f9ULL;
constexpr uint64_t kMul = 0x9e3779b97f4a7c15ULL;

uint64_t mix(uint64_t h) {
    h ^= h >> 33;
    h *= 0xff51afd7ed558ccdULL;
    h ^= h >> 33;
    h *= 0xc4ceb9fe1a85ec53ULL;
    h ^= h >> 33;
    return h;
}

Py_hash_t finish_hash(uint64_t h) {
    Py_hash_t r = static_cast<Py_hash_t>(h);
    return r == -1 ? -2 : r;
}

// The hash of a value that is no list or map; -1 failed.
int leaf_hash(PyObject* v, Kind k, uint64_t& out) {
    Py_hash_t h;
    switch (k) {
        case Kind::Null: out = kHashNull; return 0;
        // As Python hashes them: a value of no Cypher kind may equal true.
        case Kind::Bool: out = v == Py_True; return 0;
        case Kind::Int: h = PyLong_Type.tp_hash(v); break;
        case Kind::Float:
            if (std::isnan(PyFloat_AS_DOUBLE(v))) {
                out = kHashNaN;
                return 0;
            }
            // Equal to the hash of an equal int.
            h = PyFloat_Type.tp_hash(v);
            break;
        case Kind::Str: h = PyUnicode_Type.tp_hash(v); break;
        case Kind::Node:
        case Kind::Rel: {
            PyObject* uid = uid_str(v);
            if (!uid) return -1;
            h = PyObject_Hash(uid);
            break;
        }
        default: {
            if (!before_python_code()) return -1;
            Ref hold = Ref::borrow(v);
            h = PyObject_Hash(v);
            if (h == -1 && PyErr_ExceptionMatches(PyExc_TypeError)) {
                // Unhashable: all such values share one hash and == decides.
                PyErr_Clear();
                out = kHashUnhashable;
                return 0;
            }
            break;
        }
    }
    if (h == -1) return -1;
    out = static_cast<uint64_t>(h);
    return 0;
}

// A list or map partly hashed: the elements or entries seen so far.
struct HashFrame {
    Ref obj;
    bool map;
    Py_ssize_t i;       // next list index, or the dict walk's position
    uint64_t acc;
    uint64_t key_hash;  // of the entry whose value is being hashed (maps)
};

}  // namespace

Py_hash_t hash(PyObject* v) {
    PyTypeObject* t = Py_TYPE(v);
    if (t == &PyUnicode_Type) return PyUnicode_Type.tp_hash(v);
    if (t == &PyLong_Type) return PyLong_Type.tp_hash(v);
    Kind k = kind_of(v);
    uint64_t h = 0;
    if (!is_container(k)) return leaf_hash(v, k, h) < 0 ? -1 : finish_hash(h);
    SmallStack<HashFrame, 8> stack;
    stack.push_back({Ref::borrow(v), k == Kind::Map, 0, 0, 0});
    for (;;) {
        HashFrame& f = stack.back();
        PyObject* child = nullptr;
        if (f.map) {
            PyObject *key, *val;
            if (PyDict_Next(f.obj.get(), &f.i, &key, &val)) {
                Py_hash_t kh = PyUnicode_Type.tp_hash(key);
                if (kh == -1) return -1;
                f.key_hash = static_cast<uint64_t>(kh);
                child = val;
            }
        } else if (f.i < PySequence_Fast_GET_SIZE(f.obj.get())) {
            child = PySequence_Fast_GET_ITEM(f.obj.get(), f.i);
            ++f.i;
        }
        if (child) {
            const Kind ck = kind_of(child);
            if (is_container(ck)) {
                if (stack.size() >= kMaxNesting) return too_deep();
                stack.push_back({Ref::borrow(child), ck == Kind::Map, 0, 0, 0});
                continue;
            }
            if (leaf_hash(child, ck, h) < 0) return -1;
        } else {
            // The container is done: its hash goes to its parent.
            h = f.map ? mix(f.acc ^ 0x4d4150ULL) : mix(f.acc + static_cast<uint64_t>(f.i));
            stack.pop_back();
            if (stack.empty()) return finish_hash(h);
        }
        HashFrame& p = stack.back();
        if (p.map)
            p.acc += mix(p.key_hash * kMul + h);  // entries in any order
        else
            p.acc = (p.acc ^ h) * kMul + 0x2545f491ULL;
    }
}

}  // namespace vk::cypher
