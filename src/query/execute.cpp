// The queue runner and the execution of match, create, merge, set and delete.
//
// Every operation works on the graph's two dicts directly. Walks that can run
// Python code (node tests compare property values with ==, stores hash keys)
// go through DictWalk, which keeps its own references and stops when the dict
// changes under it. A match builds its binding lists completely and assigns
// them only when the whole operation has succeeded.
#include <cstdint>
#include <string>
#include <unordered_set>
#include <vector>

#include "host/args.hpp"
#include "host/dict_walk.hpp"
#include "query/clauses.hpp"
#include "query/query.hpp"

namespace vk {
namespace {

// Visits a copy of the value of every entry of `dict`, in order; each value
// must be an object of class Py (else the cast TypeError naming `name`).
// `visit` returns 1 to go on, 0 to stop, -1 on error.
template <class Py, class F>
Status walk_values(PyObject* dict, PyTypeObject* type, const char* name, F&& visit) {
    DictWalk walk(dict);
    Ref key, value;
    int step;
    while ((step = walk.next(key, value)) > 0) {
        if (Py_TYPE(value.get()) != type) {
            cast_error(value.get(), name);
            return PyErrorSet{};
        }
        using Value = decltype(Py::value);
        int r = visit(Value(reinterpret_cast<Py*>(value.get())->value));
        if (r < 0) return PyErrorSet{};
        if (r == 0) return ok_status();
    }
    return step < 0 ? Status(PyErrorSet{}) : ok_status();
}

// Visits the candidates of a node pattern in order: with an exact type, the
// graph's nodes of that type; otherwise every Node in `nodes`.
template <class F>
Status for_each_candidate(const GraphValue& g, const NodePatternValue& p, F&& visit) {
    if (!p.type_obj) return walk_values<PyNode>(g.nodes.get(), NodeType, "Node", visit);
    const Hex64* uid = type_uid(p.type_obj->get());
    std::vector<NodeValue> found;
    if (!uid || !g.get_nodes_by_type(uid->view(), found)) return PyErrorSet{};
    for (NodeValue& node : found) {
        int r = visit(std::move(node));
        if (r < 0) return PyErrorSet{};
        if (r == 0) break;
    }
    return ok_status();
}

template <class F>
Status for_each_edge(const GraphValue& g, F&& visit) {
    return walk_values<PyEdge>(g.edges.get(), EdgeType, "Edge", visit);
}

// ----- match -------------------------------------------------------------------

Status match_node(QueryValue& q, const NodePatternValue& p) {
    BindingList found;
    Status s = for_each_candidate(q.graph, p, [&](NodeValue&& node) {
        int m = p.matches(node);
        if (m > 0) found.emplace_back(std::move(node));
        return m < 0 ? -1 : 1;
    });
    if (!s) return s;
    if (p.variable) q.matched_vars.assign_group(*p.variable, std::move(found));
    return ok_status();
}

// The one path shape with an edge: (a)-[e]->(b). Only the edge's variable
// and term schema are consulted; its direction, term and properties are not.
Status match_single_edge(QueryValue& q, const NodePatternValue& a, const EdgePatternValue& e,
                         const NodePatternValue& b) {
    BindingList starts, edges, ends;
    Status s = for_each_edge(q.graph, [&](EdgeValue&& edge) {
        int m = 1;
        if (e.term_type_schema) m = e.term_type_schema->matches_type(edge.term->type.get());
        if (m > 0) m = a.matches(*edge.start);
        if (m > 0) m = b.matches(*edge.end);
        if (m < 0) return -1;
        if (m > 0) {
            starts.emplace_back(*edge.start);
            ends.emplace_back(*edge.end);
            edges.emplace_back(std::move(edge));
        }
        return 1;
    });
    if (!s) return s;
    // In this order, so that a name given to both node patterns ends up
    // holding the end nodes.
    BindingTable::Group group;
    if (a.variable) group.emplace_back(*a.variable, std::move(starts));
    if (e.variable) group.emplace_back(*e.variable, std::move(edges));
    if (b.variable) group.emplace_back(*b.variable, std::move(ends));
    q.matched_vars.assign_group(std::move(group));
    return ok_status();
}

struct MatchRunner {
    QueryValue& q;
    Status operator()(const NodeForm& m) const { return match_node(q, m.pattern); }
    Status operator()(const PathForm& m) const {
        const auto& nodes = m.path.nodes;
        const auto& edges = m.path.edges;
        if (nodes.size() == 1 && edges.empty()) return match_node(q, nodes[0]);
        if (nodes.size() == 2 && edges.size() == 1) {
            return match_single_edge(q, nodes[0], edges[0], nodes[1]);
        }
        return ok_status();  // longer paths bind nothing
    }
    // A lone edge pattern binds nothing.
    Status operator()(const MatchEdge&) const { return ok_status(); }
};

// ----- create and merge ----------------------------------------------------------

// Node::new from an exact type and the pattern's required properties, filed
// in `nodes` under its uid (replacing a node of the same type) and assigned
// to the pattern's variable. A pattern without a type creates nothing.
Status create_node(QueryValue& q, const NodePatternValue& p) {
    if (!p.type_obj) return ok_status();
    Ref props = Ref::steal(PyDict_New());
    if (!props) return PyErrorSet{};
    for (const PropertyMap::Entry& e : p.properties.entries) {
        if (PyDict_SetItem(props.get(), e.key.get(), e.value.get()) < 0) return PyErrorSet{};
    }
    NodeValue node(*p.type_obj, std::move(props));
    Hex64 uid;
    if (!node.uid(uid)) return PyErrorSet{};
    Ref key = Ref::steal(to_py(uid.view()));
    if (!key) return PyErrorSet{};
    Ref obj = Ref::steal(node_to_python(node));
    if (!obj || PyDict_SetItem(q.graph.nodes.get(), key.get(), obj.get()) < 0) return PyErrorSet{};
    if (p.variable) {
        BindingList one;
        one.emplace_back(std::move(node));
        q.matched_vars.assign_group(*p.variable, std::move(one));
    }
    return ok_status();
}

struct CreateRunner {
    QueryValue& q;
    Status operator()(const NodeForm& c) const { return create_node(q, c.pattern); }
    Status operator()(const PathForm& c) const {
        // Only node patterns with a type create anything; edges never are.
        for (const NodePatternValue& p : c.path.nodes) {
            Status s = create_node(q, p);
            if (!s) return s;
        }
        return ok_status();
    }
    Status operator()(const EdgeBetween&) const { return ok_status(); }
};

Status merge_node(QueryValue& q, const NodePatternValue& p) {
    std::optional<NodeValue> hit;
    Status s = for_each_candidate(q.graph, p, [&](NodeValue&& node) {
        int m = p.matches(node);
        if (m > 0) hit.emplace(std::move(node));
        return m < 0 ? -1 : (m > 0 ? 0 : 1);
    });
    if (!s) return s;
    if (!hit) return create_node(q, p);
    if (p.variable) q.matched_vars.append(*p.variable, std::move(*hit));
    return ok_status();
}

// The first node bound to a name, if the name's first binding is a node.
const NodeValue* first_node(const BindingTable& t, const std::string& name) {
    const BindingList* list = t.find(name);
    if (!list || list->empty()) return nullptr;
    return std::get_if<NodeValue>(&list->front());
}

// Finds (never creates) the first edge from the node bound first to `start`
// to the node bound first to `end`. A node's uid is a digest of its type's
// uid alone, so comparing type uids compares node uids.
Status merge_edge(QueryValue& q, const EdgeBetween& m) {
    const NodeValue* s = first_node(q.matched_vars, m.start);
    const NodeValue* t = first_node(q.matched_vars, m.end);
    if (!s || !t) return ok_status();
    const Hex64* su = type_uid(s->type.get());
    const Hex64* tu = type_uid(t->type.get());
    if (!su || !tu) return PyErrorSet{};
    const Hex64 want_start = *su, want_end = *tu;
    std::optional<EdgeValue> hit;
    Status st = for_each_edge(q.graph, [&](EdgeValue&& edge) {
        const Hex64* a = type_uid(edge.start->type.get());
        const Hex64* b = type_uid(edge.end->type.get());
        if (!a || !b) return -1;
        if (a->view() != want_start.view() || b->view() != want_end.view()) return 1;
        hit.emplace(std::move(edge));
        return 0;
    });
    if (!st) return st;
    if (hit && m.pattern.variable) q.matched_vars.append(*m.pattern.variable, std::move(*hit));
    return ok_status();
}

struct MergeRunner {
    QueryValue& q;
    Status operator()(const NodeForm& m) const { return merge_node(q, m.pattern); }
    Status operator()(const EdgeBetween& m) const { return merge_edge(q, m); }
};

// ----- set and delete ------------------------------------------------------------

// Merges the clause's dict into the properties of every node bound to its
// variable; edges are passed over.
Status run_set(QueryValue& q, const SetClause& c) {
    const BindingList* list = q.matched_vars.find(c.variable);
    if (!list) return ok_status();
    for (const QueryResult& r : *list) {
        const NodeValue* node = std::get_if<NodeValue>(&r);
        if (!node) continue;
        DictWalk walk(c.properties.get());
        Ref key, value;
        int step;
        while ((step = walk.next(key, value)) > 0) {
            if (PyDict_SetItem(node->properties.get(), key.get(), value.get()) < 0) {
                return PyErrorSet{};
            }
        }
        if (step < 0) return PyErrorSet{};
    }
    return ok_status();
}

// Deletes dict[uid]. A failed deletion is passed over unless it failed with
// something other than an Exception (an interrupt, an exit request), which
// gives false with that error set.
bool discard(PyObject* dict, const Hex64& uid) {
    Ref key = Ref::steal(to_py(uid.view()));
    if (key && PyDict_DelItem(dict, key.get()) == 0) return true;
    return drop_exception();
}

// Deletes every entry of `edges` holding an Edge whose start or end node is
// of one of the given types (a node's uid depends on its type alone).
// Failures are passed over as by discard.
Status detach_edges(const GraphValue& g, const std::unordered_set<std::string>& node_types) {
    std::vector<Ref> doomed;
    Py_ssize_t pos = 0;
    PyObject *k, *v;
    // Only reads of our own values happen in this walk: no Python code runs.
    while (PyDict_Next(g.edges.get(), &pos, &k, &v)) {
        if (Py_TYPE(v) != EdgeType) continue;
        const EdgeValue& e = edge_value(v);
        for (const NodeHandle& end : {e.start, e.end}) {
            const Hex64* u = type_uid(end->type.get());
            if (!u) {
                if (!drop_exception()) return PyErrorSet{};
                continue;
            }
            if (node_types.count(std::string(u->view()))) {
                doomed.push_back(Ref::borrow(k));
                break;
            }
        }
    }
    for (const Ref& key : doomed) {
        if (PyDict_DelItem(g.edges.get(), key.get()) < 0 && !drop_exception()) return PyErrorSet{};
    }
    return ok_status();
}

// Removes the bound nodes and edges from the graph, and with detach the
// edges attached to the removed nodes; bindings stay. Failed deletions are
// passed over; an interrupt or exit request ends the run.
Status run_delete(QueryValue& q, const DeleteClause& c) {
    std::unordered_set<std::string> deleted_types;
    for (const std::string& name : c.variables) {
        const BindingList* list = q.matched_vars.find(name);
        if (!list) continue;
        for (const QueryResult& r : *list) {
            const NodeValue* node = std::get_if<NodeValue>(&r);
            Hex64 uid;
            bool known = node ? node->uid(uid) : std::get<EdgeValue>(r).uid(uid);
            // A uid that cannot be made is passed over like a failed deletion.
            PyObject* dict = node ? q.graph.nodes.get() : q.graph.edges.get();
            if (!(known ? discard(dict, uid) : drop_exception())) return PyErrorSet{};
            // The node's uid was made from its type's, which is now kept.
            const Hex64* tu = node && known && c.detach ? type_uid(node->type.get()) : nullptr;
            if (tu) deleted_types.emplace(tu->view());
        }
    }
    if (!deleted_types.empty()) return detach_edges(q.graph, deleted_types);
    return ok_status();
}

struct OperationRunner {
    QueryValue& q;
    Status operator()(const MatchOp& m) const { return std::visit(MatchRunner{q}, m); }
    Status operator()(const CreateOp& c) const { return std::visit(CreateRunner{q}, c); }
    Status operator()(const MergeOp& m) const { return std::visit(MergeRunner{q}, m); }
    Status operator()(const SetClause& c) const { return run_set(q, c); }
    Status operator()(const DeleteClause& c) const { return run_delete(q, c); }
    Status operator()(const WhereClause& c) const { return run_where(q, c); }
    // A lone order_by; execute_operations hands runs of them to run_order_by.
    Status operator()(const OrderByClause& c) const { return run_order_by(q, {&c}); }
    Status operator()(const WithClause& c) const {
        run_with(q, c);
        return ok_status();
    }
    Status operator()(const SkipClause& c) const {
        q.matched_vars.slice(c.count, SIZE_MAX);
        return ok_status();
    }
    Status operator()(const LimitClause& c) const {
        q.matched_vars.slice(0, c.count);
        return ok_status();
    }
};

}  // namespace

Status execute_operations(QueryValue& q) {
    // A snapshot of the queue: appends to copies of this query made while it
    // runs go past its end.
    const OpQueue queue = q.operations;
    for (size_t i = 0; i < queue.size(); ++i) {
        SharedOperation op = queue.at(i);
        if (std::holds_alternative<OrderByClause>(*op)) {
            // Consecutive order_by clauses are one compound order.
            std::vector<SharedOperation> held{op};
            while (i + 1 < queue.size() &&
                   std::holds_alternative<OrderByClause>(*queue.at(i + 1))) {
                held.push_back(queue.at(++i));
            }
            std::vector<const OrderByClause*> run;
            for (const SharedOperation& o : held) run.push_back(&std::get<OrderByClause>(*o));
            Status s = run_order_by(q, run);
            if (!s) return s;
            continue;
        }
        Status s = std::visit(OperationRunner{q}, *op);
        if (!s) return s;
    }
    return ok_status();
}

}  // namespace vk
