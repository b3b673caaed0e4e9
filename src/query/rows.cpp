// return_, return_distinct, return_count and execute: each runs the whole
// queue, then reads the bindings out.
//
// Row assembly reads the binding lists by position: row j holds, for each
// requested name whose list has an entry j, a new Node or Edge object made
// from that entry. Rows exist only up to the longest requested list (every
// later position would give an empty row, which is dropped), so the result
// list is allocated at its final size. Each name's key str is made once per
// call; a name given twice is looked up once, since its second store would
// only replace the first with an equal object under the same key.
#include <string>
#include <unordered_set>
#include <vector>

#include "host/args.hpp"
#include "host/borrow.hpp"
#include "host/pytype.hpp"
#include "query/query.hpp"

namespace vk {
namespace {

// One requested name: its key in the row dicts and its binding list.
struct Column {
    std::string name;
    Ref key;
    const BindingList* list = nullptr;
};

// Converts *variables into columns, each name once, in first-given order.
template <const auto& S>
Status to_columns(const Args<S>& a, std::vector<Column>& out) {
    for (Py_ssize_t i = 0; i < a.rest_count(); ++i) {
        Arg arg = a.rest(i);
        std::string name;
        if (!to_string(arg, name)) return PyErrorSet{};
        bool seen = false;
        for (const Column& c : out) seen = seen || c.name == name;
        if (seen) continue;
        // Row keys are plain str objects even when a str subclass was passed.
        Ref key = PyUnicode_CheckExact(arg) ? Ref::borrow(arg) : Ref::steal(to_py(name));
        if (!key) return PyErrorSet{};
        out.push_back(Column{std::move(name), std::move(key)});
    }
    return ok_status();
}

PyObject* to_python(const QueryResult& r) {
    if (const NodeValue* n = std::get_if<NodeValue>(&r)) return node_to_python(*n);
    return edge_to_python(std::get<EdgeValue>(r));
}

// Appends a text that is equal for two bindings exactly when both are nodes
// with the same uid or both edges with the same uid. Node uids are digests of
// the type uid alone and edge uids of the term uid alone, so those stand in.
Status identity(const QueryResult& r, std::string& out) {
    const NodeValue* n = std::get_if<NodeValue>(&r);
    const Hex64* u = n ? type_uid(n->type().get()) : term_uid(std::get<EdgeValue>(r).term());
    if (!u) return PyErrorSet{};
    out += n ? 'n' : 'e';
    out += u->view();
    return ok_status();
}

// The positions j < rows whose row differs from every earlier row: the same
// names present and, under each, the same node or edge.
Status distinct_positions(const std::vector<Column>& cols, size_t rows,
                          std::vector<size_t>& keep) {
    std::unordered_set<std::string> seen;
    std::string sig;
    for (size_t j = 0; j < rows; ++j) {
        sig.clear();
        for (const Column& c : cols) {
            if (c.list && j < c.list->size()) {
                if (!identity((*c.list)[j], sig)) return PyErrorSet{};
            } else {
                sig += '-';
            }
        }
        if (seen.insert(sig).second) keep.push_back(j);
    }
    return ok_status();
}

PyObject* make_row(const std::vector<Column>& cols, size_t j) {
    Ref row = Ref::steal(PyDict_New());
    if (!row) return nullptr;
    for (const Column& c : cols) {
        if (!c.list || j >= c.list->size()) continue;
        Ref obj = Ref::steal(to_python((*c.list)[j]));
        if (!obj || PyDict_SetItem(row.get(), c.key.get(), obj.get()) < 0) return nullptr;
    }
    return row.release();
}

template <const auto& S>
PyObject* return_rows(PyObject* self, PyObject* const* args, Py_ssize_t n, PyObject* kw,
                      bool distinct) {
    ExclusiveBorrow b(self);
    if (!b) return nullptr;
    Args<S> a;
    std::vector<Column> cols;
    QueryValue& q = query_value(self);
    if (!a.bind(args, n, kw) || !to_columns(a, cols) || !run_queue(q)) return nullptr;
    size_t rows = 0;
    for (Column& c : cols) {
        c.list = q.matched_vars.find(c.name);
        if (c.list) rows = std::max(rows, c.list->size());
    }
    std::vector<size_t> keep;
    if (distinct && !distinct_positions(cols, rows, keep)) return nullptr;
    size_t count = distinct ? keep.size() : rows;
    // Row assembly only makes new objects and stores them under exact str
    // keys: no code of the user's runs, so the collector can wait until the
    // result is whole.
    CollectorPause pause;
    Ref result = Ref::steal(PyList_New((Py_ssize_t)count));
    if (!result) return nullptr;
    for (size_t i = 0; i < count; ++i) {
        PyObject* row = make_row(cols, distinct ? keep[i] : i);
        if (!row) return nullptr;
        PyList_SET_ITEM(result.get(), (Py_ssize_t)i, row);
    }
    return result.release();
}

// Binds no arguments (S declares none) and runs the queue; the receiver is
// taken by the caller.
template <const auto& S>
Status run_plain(PyObject* self, PyObject* const* args, Py_ssize_t n, PyObject* kw) {
    Args<S> a;
    if (!a.bind(args, n, kw) || !run_queue(query_value(self))) return PyErrorSet{};
    return ok_status();
}

}  // namespace

PyObject* query_return(PyObject* self, PyObject* const* args, Py_ssize_t n, PyObject* kw) {
    return return_rows<query_sig::return_>(self, args, n, kw, false);
}

PyObject* query_return_distinct(PyObject* self, PyObject* const* args, Py_ssize_t n,
                                PyObject* kw) {
    return return_rows<query_sig::return_distinct>(self, args, n, kw, true);
}

PyObject* query_return_count(PyObject* self, PyObject* const* args, Py_ssize_t n, PyObject* kw) {
    ExclusiveBorrow b(self);
    if (!b || !run_plain<query_sig::return_count>(self, args, n, kw)) return nullptr;
    return PyLong_FromSize_t(query_value(self).matched_vars.longest());
}

PyObject* query_execute(PyObject* self, PyObject* const* args, Py_ssize_t n, PyObject* kw) {
    ExclusiveBorrow b(self);
    if (!b || !run_plain<query_sig::execute>(self, args, n, kw)) return nullptr;
    return query_to_python(query_value(self));
}

}  // namespace vk
