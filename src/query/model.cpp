// The Query class: its value (binding table and operation queue), copying,
// the constructor, Graph.query() and the method table.
#include <algorithm>

#include "host/args.hpp"
#include "host/pytype.hpp"
#include "query/query.hpp"

namespace vk {

PyTypeObject* QueryType = nullptr;

// ----- bindings --------------------------------------------------------------

const BindingList* BindingTable::find(const std::string& name) const {
    auto it = map_.find(name);
    return it == map_.end() ? nullptr : it->second.get();
}

void BindingTable::assign(const std::string& name, BindingList list) {
    map_[name] = std::make_shared<BindingList>(std::move(list));
}

void BindingTable::append(const std::string& name, QueryResult r) {
    std::shared_ptr<BindingList>& slot = map_[name];
    if (!slot) {
        slot = std::make_shared<BindingList>();
    } else if (slot.use_count() > 1) {
        slot = std::make_shared<BindingList>(*slot);  // shared with a copy of the query
    }
    slot->push_back(std::move(r));
}

size_t BindingTable::longest() const {
    size_t n = 0;
    for (const auto& [name, list] : map_) n = std::max(n, list->size());
    return n;
}

// ----- the queue -------------------------------------------------------------

void OpQueue::push(QueryOperation op) {
    if (!items_) {
        items_ = std::make_shared<std::vector<SharedOperation>>();
    } else if (items_->size() != len_) {
        // Another copy has appended past our prefix: continue on our own array.
        items_ = std::make_shared<std::vector<SharedOperation>>(items_->begin(),
                                                                items_->begin() + len_);
    }
    items_->push_back(std::make_shared<const QueryOperation>(std::move(op)));
    ++len_;
}

// ----- the class ---------------------------------------------------------------

PyObject* query_to_python(const QueryValue& q) {
    return reinterpret_cast<PyObject*>(alloc_instance<PyQuery>(QueryType, q));
}

PyObject* graph_query(PyObject* self, PyObject*) {
    return query_to_python(QueryValue(reinterpret_cast<PyGraph*>(self)->value));
}

namespace {

const Param kQueryParams[] = {req("graph")};
const Signature kQueryNew("Query.__new__", kQueryParams);

PyObject* query_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    Bound a;
    if (!bind(kQueryNew, args, kwargs, a)) return nullptr;
    if (!to_instance("graph", a[0], GraphType)) return nullptr;
    return reinterpret_cast<PyObject*>(
        alloc_instance<PyQuery>(type, QueryValue(reinterpret_cast<PyGraph*>(a[0])->value)));
}

#define VK_QUERY_METHOD(name, fn, doc) {name, as_cfunc(fn), VK_FASTCALL, doc}

PyMethodDef query_methods[] = {
    VK_QUERY_METHOD("match", query_match,
                    "match($self, pattern=None, *, node=None, edge=None, start=None, end=None, "
                    "type=..., type_schema=None, term=None, term_type_schema=None, "
                    "properties=None)\n--\n\n"
                    "Matches nodes, edges, or paths in the graph.\n\n"
                    "Args:\n"
                    "    pattern: a pattern string such as \"(n:Person)-[e:knows]->(m)\"\n"
                    "    node: variable name for a single node\n"
                    "    edge: variable name for a single edge\n"
                    "    start: optional start node (variable name)\n"
                    "    end: optional end node (variable name)\n"
                    "    type: exact node type (node criterion)\n"
                    "    type_schema: type schema for the node's type (node criterion)\n"
                    "    term: exact term (edge criterion)\n"
                    "    term_type_schema: type schema for the edge term's type (edge criterion)\n"
                    "    properties: dictionary of required properties\n\n"
                    "The first of pattern, node and edge that is given selects the form."),
    VK_QUERY_METHOD("create", query_create,
                    "create($self, pattern=None, *, node=None, edge=None, type=..., term=None, "
                    "start=None, end=None, properties=None)\n--\n\n"),
    VK_QUERY_METHOD("merge", query_merge,
                    "merge($self, pattern=None, *, node=None, edge=None, type=..., "
                    "type_schema=None, term=None, term_type_schema=None, start=None, end=None, "
                    "properties=None)\n--\n\n"),
    VK_QUERY_METHOD("set", query_set, "set($self, variable, properties)\n--\n\n"),
    VK_QUERY_METHOD("delete", query_delete, "delete($self, *variables, detach=False)\n--\n\n"
                    "With detach=True, edges attached to a deleted node are deleted too."),
    VK_QUERY_METHOD("where", query_where,
                    "where($self, condition)\n--\n\n"
                    "Adds a WHERE clause to filter results (not fully implemented).\n\n"
                    "Args:\n    condition: SQL-like condition string"),
    VK_QUERY_METHOD("with_", query_with, "with_($self, *variables)\n--\n\n"),
    VK_QUERY_METHOD("order_by", query_order_by,
                    "order_by($self, variable, key, ascending=True)\n--\n\n"),
    VK_QUERY_METHOD("skip", query_skip, "skip($self, count)\n--\n\n"),
    VK_QUERY_METHOD("limit", query_limit, "limit($self, count)\n--\n\n"),
    VK_QUERY_METHOD("return_", query_return,
                    "return_($self, *variables)\n--\n\n"
                    "Returns the specified variables from the query results.\n\n"
                    "Executes all operations and returns the matched variables as a list of\n"
                    "dictionaries mapping variable names to their values."),
    VK_QUERY_METHOD("return_distinct", query_return_distinct,
                    "return_distinct($self, *variables)\n--\n\n"
                    "The rows of return_ without repetitions: a row holding the same nodes and\n"
                    "edges (by uid) under the same names as an earlier row is dropped."),
    VK_QUERY_METHOD("return_count", query_return_count, "return_count($self)\n--\n\n"),
    VK_QUERY_METHOD("execute", query_execute, "execute($self)\n--\n\n"),
    {nullptr, nullptr, 0, nullptr},
};

#undef VK_QUERY_METHOD

const char kQueryDoc[] =
    "Query(graph)\n--\n\n"
    "Cypher-like query builder for the graph.\n\n"
    "Fields:\n"
    "    graph: the graph's nodes and edges dicts (shared, never copied)\n"
    "    matched_vars: variable bindings filled when the query runs\n"
    "    operations: the queued clauses, in call order\n\n"
    "Clause methods queue one operation and return a new query copied from\n"
    "this one; return_, return_distinct, return_count and execute run the\n"
    "whole queue against the graph.";

}  // namespace

PyTypeObject* create_query_type() {
    static PyType_Slot slots[] = {
        {Py_tp_new, (void*)query_new},
        {Py_tp_dealloc, (void*)dealloc_instance<PyQuery>},
        {Py_tp_methods, query_methods},
        {Py_tp_doc, (void*)kQueryDoc},
        {0, nullptr},
    };
    QueryType = make_type("velkora.Query", sizeof(PyQuery), slots);
    return QueryType;
}

}  // namespace vk
