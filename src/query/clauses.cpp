// where, order_by and with_ at execution (skip and limit are a slice of
// every list, BindingTable::slice).
//
// where and order_by work on one binding group: every variable they name
// must be bound, and all of them by the same operation, since only the lists
// of one group line up position by position. They compute the positions to
// keep, in their new order, and hand them to BindingTable::select, which
// moves the entries of every list of the group together.
//
// order_by reads each key once per position before sorting. When every
// value of a key is an exact int that fits 64 bits, an exact float or an
// exact str, the values are compared without calling into Python, with the
// same answers Python's < gives. Otherwise Python's < decides, and since a
// user __lt__ may answer inconsistently, the sort is a merge sort of our own
// that only ever reads inside its bounds, whatever the comparisons say.
#include "query/clauses.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "host/args.hpp"
#include "query/condition.hpp"

namespace vk {
namespace {

// The lists bound to `names`, in order, and their group. A name that is not
// bound is a NameError naming the clause; names bound by separate
// operations are refused with every name listed.
Status bound_group(const BindingTable& t, const std::vector<std::string>& names,
                   const char* clause, const char* subject, std::vector<const BindingList*>& lists,
                   BindingTable::GroupId& group) {
    for (const std::string& name : names) {
        const BindingList* list = t.find(name);
        if (!list) return VelkoraError::variable_not_found(name, clause);
        lists.push_back(list);
    }
    for (const std::string& name : names) {
        if (t.group_of(name) == t.group_of(names.front())) continue;
        std::string joined;
        for (const std::string& n : names) joined += (joined.empty() ? "'" : ", '") + n + "'";
        return VelkoraError::invalid_query(std::string(subject) +
                                           " joins variables bound by separate clauses: " + joined);
    }
    if (!names.empty()) group = t.group_of(names.front());
    return ok_status();
}

// ----- order_by --------------------------------------------------------------------

// One clause's key, read at every position. A missing value and None are
// null: absent from `values` and flagged in `null`.
struct SortKey {
    enum Kind { Ints, Floats, Strs, Objects };
    const OrderByClause* clause;
    Kind kind = Objects;
    std::vector<Ref> values;
    std::vector<int64_t> ints;
    std::vector<double> floats;
    // Strs whose code points all fit a byte: the first eight, big-endian,
    // so that most comparisons read this array instead of the str objects.
    std::vector<uint64_t> prefixes;
    std::vector<uint8_t> null;

    Status read(const BindingList& list) {
        Ref key = Ref::steal(to_py(clause->key));
        if (!key) return PyErrorSet{};
        values.resize(list.size());
        null.resize(list.size());
        bool all_ints = true, all_floats = true, all_strs = true;
        for (size_t j = 0; j < list.size(); ++j) {
            PyObject* v = PyDict_GetItemWithError(binding_properties(list[j]), key.get());
            if (!v && PyErr_Occurred()) return PyErrorSet{};
            null[j] = !v || v == Py_None;
            if (null[j]) continue;
            values[j] = Ref::borrow(v);
            all_ints = all_ints && PyLong_CheckExact(v);
            // NaN is unordered: it leaves the order to Python's <.
            all_floats = all_floats && PyFloat_CheckExact(v) && !std::isnan(PyFloat_AS_DOUBLE(v));
            all_strs = all_strs && PyUnicode_CheckExact(v);
        }
        if (all_ints) {
            kind = Ints;
            ints.resize(list.size());
            for (size_t j = 0; j < list.size() && kind == Ints; ++j) {
                if (null[j]) continue;
                int overflow;
                ints[j] = PyLong_AsLongLongAndOverflow(values[j].get(), &overflow);
                if (overflow) kind = Objects;
            }
        } else if (all_floats) {
            kind = Floats;
            floats.resize(list.size());
            for (size_t j = 0; j < list.size(); ++j) {
                if (!null[j]) floats[j] = PyFloat_AS_DOUBLE(values[j].get());
            }
        } else if (all_strs) {
            kind = Strs;
            read_prefixes();
        }
        return ok_status();
    }

    void read_prefixes() {
        for (size_t j = 0; j < values.size(); ++j) {
            if (!null[j] && PyUnicode_KIND(values[j].get()) != PyUnicode_1BYTE_KIND) return;
        }
        prefixes.resize(values.size());
        for (size_t j = 0; j < values.size(); ++j) {
            if (null[j]) continue;
            PyObject* v = values[j].get();
            const Py_UCS1* data = PyUnicode_1BYTE_DATA(v);
            const size_t len = std::min<size_t>(8, (size_t)PyUnicode_GET_LENGTH(v));
            uint64_t p = 0;
            for (size_t i = 0; i < 8; ++i) p = (p << 8) | (i < len ? data[i] : 0);
            prefixes[j] = p;
        }
    }

    // Whether the value at a is below the one at b: 1, 0, or -1 with an
    // exception set. Neither is null.
    int value_less(size_t a, size_t b) const {
        switch (kind) {
            case Ints: return ints[a] < ints[b];
            case Floats: return floats[a] < floats[b];
            case Strs:
                // Unequal prefixes decide; equal ones (a shorter text is
                // padded with zeros) leave it to the whole texts.
                if (!prefixes.empty() && prefixes[a] != prefixes[b]) {
                    return prefixes[a] < prefixes[b];
                }
                return PyUnicode_Compare(values[a].get(), values[b].get()) < 0;
            case Objects: break;
        }
        return PyObject_RichCompareBool(values[a].get(), values[b].get(), Py_LT);
    }

    // Whether position a goes before position b under this key alone: nulls
    // last ascending, first descending.
    int before(size_t a, size_t b) const {
        if (clause->ascending) {
            if (null[a]) return 0;
            return null[b] ? 1 : value_less(a, b);
        }
        if (null[b]) return 0;
        return null[a] ? 1 : value_less(b, a);
    }
};

// One int key: the non-null positions sorted by their values, the nulls
// kept in their order after them (ascending) or before them (descending).
void sort_ints(const SortKey& key, std::vector<size_t>& idx) {
    std::vector<std::pair<int64_t, size_t>> values;
    std::vector<size_t> nulls;
    values.reserve(idx.size());
    for (size_t j : idx) {
        if (key.null[j]) {
            nulls.push_back(j);
        } else {
            values.emplace_back(key.ints[j], j);
        }
    }
    if (key.clause->ascending) {
        std::stable_sort(values.begin(), values.end(),
                         [](const auto& a, const auto& b) { return a.first < b.first; });
    } else {
        std::stable_sort(values.begin(), values.end(),
                         [](const auto& a, const auto& b) { return b.first < a.first; });
    }
    auto out = idx.begin();
    if (!key.clause->ascending) out = std::copy(nulls.begin(), nulls.end(), out);
    for (const auto& v : values) *out++ = v.second;
    if (key.clause->ascending) std::copy(nulls.begin(), nulls.end(), out);
}

class Sorter {
public:
    explicit Sorter(const std::vector<SortKey>& keys) : keys_(keys) {}

    // Sorts the positions stably.
    Status sort(std::vector<size_t>& idx) {
        bool native = true;
        for (const SortKey& k : keys_) native = native && k.kind != SortKey::Objects;
        if (native && keys_.size() == 1 && keys_[0].kind == SortKey::Ints) {
            sort_ints(keys_[0], idx);
            return ok_status();
        }
        if (native) {
            // Comparisons that run no Python code give a consistent order.
            std::stable_sort(idx.begin(), idx.end(),
                             [this](size_t a, size_t b) { return less(a, b); });
            return ok_status();
        }
        std::vector<size_t> buf(idx.size() / 2 + 1);
        merge_sort(idx.data(), buf.data(), idx.size());
        if (!failed_) return ok_status();
        rename_type_error();
        return PyErrorSet{};
    }

private:
    // The compound order: the first key that tells a and b apart decides.
    bool less(size_t a, size_t b) {
        if (failed_) return false;
        for (size_t k = 0; k < keys_.size(); ++k) {
            int r = keys_[k].before(a, b);
            if (r == 0 && k + 1 < keys_.size()) {
                r = keys_[k].before(b, a);
                if (r == 0) continue;  // equal under this key
                r = r < 0 ? -1 : 0;
            }
            if (r < 0) {
                failed_ = true;
                failing_key_ = k;
                return false;
            }
            return r > 0;
        }
        return false;
    }

    void merge_sort(size_t* a, size_t* buf, size_t n) {
        if (n <= 16) {
            for (size_t i = 1; i < n; ++i) {
                size_t x = a[i], j = i;
                for (; j > 0 && less(x, a[j - 1]); --j) a[j] = a[j - 1];
                a[j] = x;
            }
            return;
        }
        const size_t h = n / 2;
        merge_sort(a, buf, h);
        merge_sort(a + h, buf, n - h);
        if (failed_ || !less(a[h], a[h - 1])) return;  // already in order
        std::copy(a, a + h, buf);
        size_t i = 0, j = h, k = 0;
        while (i < h && j < n) a[k++] = less(a[j], buf[i]) ? a[j++] : buf[i++];
        while (i < h) a[k++] = buf[i++];
    }

    // Values Python cannot order against each other: a TypeError that names
    // the key, with Python's own error as its cause.
    void rename_type_error() {
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
        PyObject* value = take_exception();
        const OrderByClause& c = *keys_[failing_key_].clause;
        std::string what = "Cannot order by '" + c.variable + "." + c.key + "'";
        PyErr_Format(PyExc_TypeError, "%s: %S", what.c_str(), value);
        set_pending_cause(value);
    }

    const std::vector<SortKey>& keys_;
    bool failed_ = false;
    size_t failing_key_ = 0;
};

}  // namespace

Status run_where(QueryValue& q, const WhereClause& c) {
    const ConditionTree& t = *c.tree;
    std::vector<const BindingList*> lists;
    BindingTable::GroupId group = 0;
    Status s = bound_group(q.matched_vars, t.variables, "where", "condition", lists, group);
    if (!s) return s;
    if (lists.empty()) {
        // Nothing to evaluate per position: once, for every list at once.
        int holds = ConditionRun(t, q.graph, nullptr).holds(0);
        if (holds < 0) return PyErrorSet{};
        return holds ? ok_status() : q.matched_vars.slice(0, 0);
    }
    size_t n = SIZE_MAX;  // the lists of a group have one length
    for (const BindingList* list : lists) n = std::min(n, list->size());
    std::vector<size_t> keep;
    ConditionRun run(t, q.graph, lists.data());
    for (size_t j = 0; j < n; ++j) {
        int holds = run.holds(j);
        if (holds < 0) return PyErrorSet{};
        if (holds) keep.push_back(j);
    }
    return keep.size() != n ? q.matched_vars.select(group, keep) : ok_status();
}

Status run_order_by(QueryValue& q, const std::vector<const OrderByClause*>& run) {
    std::vector<std::string> names;
    for (const OrderByClause* c : run) {
        if (std::find(names.begin(), names.end(), c->variable) == names.end()) {
            names.push_back(c->variable);
        }
    }
    std::vector<const BindingList*> lists;
    BindingTable::GroupId group = 0;
    Status s = bound_group(q.matched_vars, names, "order_by", "order_by", lists, group);
    if (!s) return s;
    std::vector<SortKey> keys;
    for (const OrderByClause* c : run) {
        keys.push_back(SortKey{c});
        s = keys.back().read(*q.matched_vars.find(c->variable));
        if (!s) return s;
    }
    size_t n = SIZE_MAX;  // the lists of a group have one length
    for (const BindingList* list : lists) n = std::min(n, list->size());
    std::vector<size_t> idx(n);
    for (size_t j = 0; j < idx.size(); ++j) idx[j] = j;
    if (!Sorter(keys).sort(idx)) return PyErrorSet{};
    for (size_t j = 0; j < idx.size(); ++j) {
        if (idx[j] != j) return q.matched_vars.select(group, idx);
    }
    return ok_status();
}

Status run_with(QueryValue& q, const WithClause& c) {
    if (std::find(c.variables.begin(), c.variables.end(), "*") != c.variables.end()) {
        return ok_status();
    }
    return q.matched_vars.retain(c.variables);
}

}  // namespace vk
