// The query engine: the Query value with its binding table and operation
// queue, the clause builders that fill the queue, and the executor that runs
// it against the graph's two dicts.
//
// Queries are copied on every builder call, so the parts that can grow large
// are shared between copies while they are equal and split when one copy
// changes (copy on write): the queue is a shared, append-only array of
// immutable operations in which each query sees its own prefix, and the
// binding table and each of its lists are shared, replaced as a whole by an
// assignment and copied before a change while another query shares them.
// Every shared piece is boxed (host/box.hpp), so the collector sees it once
// however many copies hold it. Nothing a copy can observe depends on that
// sharing.
#pragma once
#include <Python.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <variant>
#include <vector>

#include "errors.hpp"
#include "graph.hpp"
#include "host/args.hpp"
#include "host/box.hpp"
#include "host/ref.hpp"
#include "patterns.hpp"

namespace vk {

// ----- bindings --------------------------------------------------------------

// One binding of a variable: a copy of a node or edge value (sharing the
// properties dict with the graph's stored object).
using QueryResult = std::variant<NodeValue, EdgeValue>;
using BindingList = std::vector<QueryResult>;

template <>
struct BoxOps<BindingList> {
    static int traverse(const BindingList& list, visitproc visit, void* arg) {
        for (const QueryResult& r : list) {
            int v = std::visit([&](const auto& value) { return value.traverse(visit, arg); }, r);
            if (v) return v;
        }
        return 0;
    }
    static void clear(BindingList& list) { BindingList old = std::exchange(list, {}); }
};

// The properties dict of a binding.
inline PyObject* binding_properties(const QueryResult& r) {
    if (const NodeValue* n = std::get_if<NodeValue>(&r)) return n->properties();
    return std::get<EdgeValue>(r).properties();
}

// The lists one operation binds form a group: they always have the same
// length and line up by position, and where / order_by filter or reorder
// the positions of a group's lists together. Assigning a name moves it out
// of its old group; the other members stay together.
//
// The table is one boxed value (host/box.hpp) that copies of the query share
// until one of them changes it, so copying a query costs one reference
// however many names it binds; each list is boxed too, and shared between
// tables until one of them changes it. Names are found through a hash index.
class BindingTable {
public:
    using GroupId = uint64_t;

    // The list bound to a name, or null.
    const BindingList* find(const std::string& name) const;
    // The group of a bound name (the name must be bound).
    GroupId group_of(const std::string& name) const;
    // The lists one operation binds, assigned together as a new group (in
    // order: a later entry for the same name wins). Every operation that
    // assigns lists goes through here. The lists must have equal lengths.
    using Group = std::vector<std::pair<std::string, BindingList>>;
    Status assign_group(Group lists);
    // A group of one list.
    Status assign_group(const std::string& name, BindingList list);
    // Adds one binding at the end of the name's list (a new list if
    // unbound). The other lists of its group do not grow, so the name leaves
    // its group and forms one of its own.
    Status append(const std::string& name, QueryResult r);
    bool empty() const { return !table_ || table_->entries.empty(); }
    // The length of the longest list.
    size_t longest() const;
    // The collector's visit: the table's box.
    int traverse(visitproc visit, void* arg) const { return table_.traverse(visit, arg); }

    // Every list of group g becomes the entries at `positions`, in that
    // order (each position below the group's length, none twice).
    Status select(GroupId g, const std::vector<size_t>& positions);
    // Every list keeps the entries at [begin, end), clipped to its length.
    Status slice(size_t begin, size_t end);
    // Unbinds every name that `keep` does not list.
    Status retain(const std::vector<std::string>& keep);

    // A bound name, its list and its group.
    struct Entry {
        std::string name;
        Box<BindingList> list;
        GroupId group;
    };
    // The boxed table: the entries in binding order, and each name's position.
    struct Data {
        std::vector<Entry> entries;
        std::unordered_map<std::string, size_t> index;
        GroupId next_group = 0;

        int traverse(visitproc visit, void* arg) const;
    };

private:
    const Entry* entry(const std::string& name) const;
    // The table, made and held by this copy alone, to change in place.
    Result<Data*> own();
    Status assign(Data& d, std::string name, BindingList list, GroupId g);
    Box<Data> table_;  // empty: nothing bound
};

// ----- operations ------------------------------------------------------------

// The pattern forms of match, create and merge.
struct NodeForm {
    NodePatternValue pattern;
};
struct PathForm {
    PathPatternValue path;
};
// A lone edge pattern of a match: start and end names are optional.
struct MatchEdge {
    EdgePatternValue pattern;
    std::optional<std::string> start, end;
};
// A lone edge pattern of a create or merge, between two named variables.
struct EdgeBetween {
    EdgePatternValue pattern;
    std::string start, end;
};
using MatchOp = std::variant<NodeForm, MatchEdge, PathForm>;
using CreateOp = std::variant<NodeForm, EdgeBetween, PathForm>;
using MergeOp = std::variant<NodeForm, EdgeBetween>;

struct ConditionTree;  // query/condition.hpp
struct WhereClause {
    std::string condition;    // as given, for messages
    Box<ConditionTree> tree;  // parsed by the builder, shared by copies
};
struct SetClause {
    std::string variable;
    Ref properties;  // the caller's dict, read at execution time

    SetClause(std::string v, Ref p) : variable(std::move(v)), properties(std::move(p)) {}
    SetClause(const SetClause& o) : variable(o.variable), properties(o.properties.copy()) {}
    SetClause(SetClause&&) noexcept = default;
    SetClause& operator=(const SetClause& o) {
        variable = o.variable;
        properties = o.properties.copy();
        return *this;
    }
    SetClause& operator=(SetClause&&) noexcept = default;
};
struct DeleteClause {
    std::vector<std::string> variables;
    bool detach = false;
};
struct WithClause {
    std::vector<std::string> variables;
};
struct OrderByClause {
    std::string variable, key;
    bool ascending = true;
};
struct LimitClause {
    size_t count;
};
struct SkipClause {
    size_t count;
};

// One queued clause, in declaration order of the ten variants.
using QueryOperation = std::variant<MatchOp, WhereClause, CreateOp, SetClause, DeleteClause,
                                    MergeOp, WithClause, OrderByClause, LimitClause, SkipClause>;
// A boxed operation: queues share it, and the collector reads it once.
using SharedOperation = Box<QueryOperation>;
using OperationArray = std::vector<SharedOperation>;

template <>
struct BoxOps<QueryOperation> {
    // The Python references an operation holds (model.cpp).
    static int traverse(const QueryOperation& op, visitproc visit, void* arg);
    // An operation does not change once queued; its references go with its box.
    static void clear(QueryOperation&) {}
};
template <>
struct BoxOps<OperationArray> {
    static int traverse(const OperationArray& ops, visitproc visit, void* arg) {
        for (const SharedOperation& op : ops) {
            if (int r = op.traverse(visit, arg)) return r;
        }
        return 0;
    }
    static void clear(OperationArray& ops) { OperationArray old = std::exchange(ops, {}); }
};

// The operation queue. Copies share one boxed array; each copy sees the
// first size() entries. Appending in place is possible while this copy's
// prefix is the whole array; otherwise the prefix is copied first. Entries
// below any copy's size() never change, so a run can index its own snapshot
// while Python code appends to other copies.
class OpQueue {
public:
    Status push(QueryOperation op);
    size_t size() const { return len_; }
    // A further reference to entry i (i < size()).
    SharedOperation at(size_t i) const { return (*items_)[i]; }
    // The collector's visit: the array's box.
    int traverse(visitproc visit, void* arg) const { return items_.traverse(visit, arg); }

private:
    Box<OperationArray> items_;
    size_t len_ = 0;
};

// ----- the query ---------------------------------------------------------------

struct QueryValue {
    GraphValue graph;
    BindingTable matched_vars;
    OpQueue operations;

    explicit QueryValue(GraphValue g) : graph(std::move(g)) {}

    int traverse(visitproc visit, void* arg) const;
};

// The callables of Query, each declared once (host/args.hpp): the builders
// (query/builders.cpp), the runs (query/rows.cpp) and the constructor.
namespace query_sig {
inline constexpr auto construct = constructor("Query.__new__", req("graph"));
inline constexpr auto match =
    method("Query.match", opt("pattern"), kwonly("node"), kwonly("edge"), kwonly("start"),
           kwonly("end"), kwonly("type", "..."), kwonly("type_schema"), kwonly("term"),
           kwonly("term_type_schema"), kwonly("properties"));
inline constexpr auto create =
    method("Query.create", opt("pattern"), kwonly("node"), kwonly("edge"), kwonly("type", "..."),
           kwonly("term"), kwonly("start"), kwonly("end"), kwonly("properties"));
inline constexpr auto merge =
    method("Query.merge", opt("pattern"), kwonly("node"), kwonly("edge"), kwonly("type", "..."),
           kwonly("type_schema"), kwonly("term"), kwonly("term_type_schema"), kwonly("start"),
           kwonly("end"), kwonly("properties"));
inline constexpr auto set = method("Query.set", req("variable"), req("properties"));
inline constexpr auto delete_ =
    method("Query.delete", varargs("variables"), kwonly("detach", "False"));
inline constexpr auto where = method("Query.where", req("condition"));
inline constexpr auto with_ = method("Query.with_", varargs("variables"));
inline constexpr auto order_by =
    method("Query.order_by", req("variable"), req("key"), opt("ascending", "True"));
inline constexpr auto skip = method("Query.skip", req("count"));
inline constexpr auto limit = method("Query.limit", req("count"));
inline constexpr auto return_ = method("Query.return_", varargs("variables"));
inline constexpr auto return_distinct = method("Query.return_distinct", varargs("variables"));
inline constexpr auto return_count = method("Query.return_count");
inline constexpr auto execute = method("Query.execute");
}  // namespace query_sig

struct PyQuery : Obj {
    QueryValue value;
};

extern PyTypeObject* QueryType;
PyTypeObject* create_query_type();

inline QueryValue& query_value(PyObject* o) { return reinterpret_cast<PyQuery*>(o)->value; }

// A new Query object holding a copy of the value.
PyObject* query_to_python(const QueryValue& q);

// Graph.query(): a new empty query over the graph's dicts.
PyObject* graph_query(PyObject* self, PyObject*);

// Runs the whole queue in order; the first error ends the run, with what
// came before it kept.
Status run_queue(QueryValue& q);

// Path matching (paths.cpp). match_path: a path of one or more edges, every
// named element bound once per match, in match order; a path whose nodes are
// not all joined by edges binds nothing. match_edge: the edge form of match.
// Both assign their lists only when the whole operation has succeeded.
Status match_path(QueryValue& q, const PathPatternValue& path);
Status match_edge(QueryValue& q, const MatchEdge& m);

// Method bodies (the receiver is a Query; each takes it exclusively).
PyObject* query_set(PyObject* self, PyObject* const* args, Py_ssize_t n, PyObject* kw);
PyObject* query_skip(PyObject* self, PyObject* const* args, Py_ssize_t n, PyObject* kw);
PyObject* query_limit(PyObject* self, PyObject* const* args, Py_ssize_t n, PyObject* kw);
PyObject* query_where(PyObject* self, PyObject* const* args, Py_ssize_t n, PyObject* kw);
PyObject* query_with(PyObject* self, PyObject* const* args, Py_ssize_t n, PyObject* kw);
PyObject* query_delete(PyObject* self, PyObject* const* args, Py_ssize_t n, PyObject* kw);
PyObject* query_order_by(PyObject* self, PyObject* const* args, Py_ssize_t n, PyObject* kw);
PyObject* query_match(PyObject* self, PyObject* const* args, Py_ssize_t n, PyObject* kw);
PyObject* query_create(PyObject* self, PyObject* const* args, Py_ssize_t n, PyObject* kw);
PyObject* query_merge(PyObject* self, PyObject* const* args, Py_ssize_t n, PyObject* kw);
PyObject* query_return(PyObject* self, PyObject* const* args, Py_ssize_t n, PyObject* kw);
PyObject* query_return_distinct(PyObject* self, PyObject* const* args, Py_ssize_t n,
                                PyObject* kw);
PyObject* query_return_count(PyObject* self, PyObject* const* args, Py_ssize_t n, PyObject* kw);
PyObject* query_execute(PyObject* self, PyObject* const* args, Py_ssize_t n, PyObject* kw);

}  // namespace vk
