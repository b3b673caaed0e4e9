// The queue runner and the execution of match, create, merge, set and delete.
//
// Every operation works on the graph's two dicts directly. Walks that can run
// Python code (node tests compare property values with ==, stores hash keys)
// go through DictWalk, which keeps its own references and stops when the dict
// changes under it. A match builds its binding lists completely and assigns
// them only when the whole operation has succeeded.
#include <algorithm>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <unordered_set>
#include <vector>

#include "host/args.hpp"
#include "host/dict_walk.hpp"
#include "query/clauses.hpp"
#include "query/query.hpp"

namespace vk {
namespace {

// Visits the value of every entry of `dict`, in order; each value must be an
// object of class Py (else the cast TypeError naming `name`). `visit`
// returns 1 to go on, 0 to stop, -1 on error. It receives a copy of the
// value (an rvalue) when Python code may run during the walk, and the
// stored value itself (a const reference) when `quiet` says that none can
// run, so that only what it keeps is copied.
template <bool quiet, class Py, class F>
Status walk_values(PyObject* dict, PyTypeObject* type, const char* name, F&& visit) {
    if constexpr (quiet) {
        Py_ssize_t pos = 0;
        PyObject *k, *v;
        while (PyDict_Next(dict, &pos, &k, &v)) {
            if (Py_TYPE(v) != type) return cast_error(v, name);
            int r = visit(static_cast<const decltype(Py::value)&>(reinterpret_cast<Py*>(v)->value));
            if (r < 0) return PyErrorSet{};
            if (r == 0) break;
        }
        return ok_status();
    } else {
        DictWalk walk(dict);
        Ref key, value;
        int step;
        while ((step = walk.next(key, value)) > 0) {
            if (Py_TYPE(value.get()) != type) return cast_error(value.get(), name);
            using Value = decltype(Py::value);
            int r = visit(Value(reinterpret_cast<Py*>(value.get())->value));
            if (r < 0) return PyErrorSet{};
            if (r == 0) return ok_status();
        }
        return step < 0 ? Status(PyErrorSet{}) : ok_status();
    }
}

// The walk of walk_values<false> for a visit that can often decide without
// running Python code: `plainly` is tried first on the stored value (1 go
// on, 0 stop, -1 error, PropertyMap::kNeedsPython: it would run Python
// code), and only when it cannot decide does `visit` get a copy, with the
// entry held as DictWalk holds it. The changes of the dict are detected as
// DictWalk detects them, so the outcome is that of walk_values<false>.
template <class Py, class P, class F>
Status walk_values_plainly(PyObject* dict, PyTypeObject* type, const char* name, P&& plainly,
                           F&& visit) {
    Ref held = Ref::borrow(dict);
    const Py_ssize_t size = PyDict_GET_SIZE(dict);
    Py_ssize_t pos = 0, produced = 0;
    PyObject *k, *v;
    for (;;) {
        if (PyDict_GET_SIZE(dict) != size) {
            PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
            return PyErrorSet{};
        }
        if (!PyDict_Next(dict, &pos, &k, &v)) return ok_status();
        if (produced == size) {
            PyErr_SetString(PyExc_RuntimeError, "dictionary keys changed during iteration");
            return PyErrorSet{};
        }
        ++produced;
        if (Py_TYPE(v) != type) return cast_error(v, name);
        const auto& stored = reinterpret_cast<Py*>(v)->value;
        int r = plainly(stored);
        if (r == PropertyMap::kNeedsPython) {
            Ref key = Ref::borrow(k), value = Ref::borrow(v);
            using Value = decltype(Py::value);
            r = visit(Value(stored));
        }
        if (r < 0) return PyErrorSet{};
        if (r == 0) return ok_status();
    }
}

// Visits the candidates of a node pattern in order: with an exact type, the
// graph's nodes of that type; otherwise every Node in `nodes` (quiet as for
// walk_values).
template <class F>
Status for_each_candidate(const GraphValue& g, const NodePatternValue& p, bool quiet, F&& visit) {
    if (!p.type_obj) {
        // A label naming one type asks for the nodes of that type: when no
        // Python code runs, those are read from the index.
        TypeRef named = quiet && p.type_schema ? schema_exact_type(p.type_schema->pattern)
                                               : TypeRef();
        if (named) {
            std::vector<PyObject*> found;
            int indexed = index_nodes_of_type(g, named.get(), found);
            if (indexed < 0) return PyErrorSet{};
            if (indexed > 0) {
                for (PyObject* node : found) {
                    int r = visit(node_value(node));
                    if (r < 0) return PyErrorSet{};
                    if (r == 0) break;
                }
                return ok_status();
            }
        }
        return quiet ? walk_values<true, PyNode>(g.nodes.get(), NodeType, "Node", visit)
                     : walk_values<false, PyNode>(g.nodes.get(), NodeType, "Node", visit);
    }
    std::vector<NodeValue> found;
    if (!g.nodes_of_type(p.type_obj->get(), found)) return PyErrorSet{};
    for (NodeValue& node : found) {
        int r = visit(std::move(node));
        if (r < 0) return PyErrorSet{};
        if (r == 0) break;
    }
    return ok_status();
}

template <class F>
Status for_each_edge(const GraphValue& g, F&& visit) {
    return walk_values<false, PyEdge>(g.edges.get(), EdgeType, "Edge", visit);
}

// ----- match -------------------------------------------------------------------

Status match_node(QueryValue& q, const NodePatternValue& p) {
    BindingList found;
    NodeTest test(p);
    auto visit = [&](auto&& node) {
        int m = test.matches(node);
        if (m > 0) found.emplace_back(std::forward<decltype(node)>(node));
        return m < 0 ? -1 : 1;
    };
    Status s = ok_status();
    if (!p.type_obj && test.runs_python()) {
        // Property tests of plain values need no copy of each node.
        s = walk_values_plainly<PyNode>(q.graph.nodes.get(), NodeType, "Node",
                                        [&](const NodeValue& node) {
            int m = test.matches_plainly(node);
            if (m > 0) found.emplace_back(node);
            return m >= 0 ? 1 : m;
        }, visit);
    } else {
        s = for_each_candidate(q.graph, p, !test.runs_python(), visit);
    }
    if (!s) return s;
    return p.variable ? q.matched_vars.assign_group(*p.variable, std::move(found)) : ok_status();
}

struct MatchRunner {
    QueryValue& q;
    Status operator()(const NodeForm& m) const { return match_node(q, m.pattern); }
    Status operator()(const PathForm& m) const {
        const auto& nodes = m.path.nodes;
        if (nodes.size() == 1 && m.path.edges.empty()) return match_node(q, nodes[0]);
        return match_path(q, m.path);
    }
    Status operator()(const MatchEdge& m) const { return match_edge(q, m); }
};

// ----- create and merge ----------------------------------------------------------

VelkoraError needs_term() { return VelkoraError::invalid_query("Creating an edge needs a term"); }

// Why a node pattern without an exact type cannot be created.
VelkoraError untyped_node(const NodePatternValue& p) {
    if (p.type_schema) {
        return VelkoraError::invalid_query("cannot create a node from schema '" +
                                           p.type_schema->pattern + "'");
    }
    return VelkoraError::invalid_query("Creating a node needs a type");
}

// Sets `key`, when it is empty, to the value's uid as a str (the one kept
// with its type or term).
Status uid_key(const NodeValue& v, Ref& key) {
    if (!key) key = Ref::borrow(node_key_of_type(v.type().get()));
    return key ? ok_status() : PyErrorSet{};
}
Status uid_key(const EdgeValue& v, Ref& key) {
    if (!key) key = Ref::borrow(edge_key_of_term(v.term()));
    return key ? ok_status() : PyErrorSet{};
}

// A new node of the pattern's exact type (present) holding its required
// properties, filed in `nodes` under its uid, replacing a node of the same
// type, and added to `into` when given. `key` is that uid as a str when the
// caller has it already.
Status file_node(const GraphValue& g, const NodePatternValue& p, BindingList* into,
                 PyObject* key = nullptr) {
    Ref props = p.properties.to_dict();
    NodeValue node;
    if (!props || !NodeValue::make(*p.type_obj, std::move(props), node)) return PyErrorSet{};
    Ref own_key = Ref::borrow(key);
    if (!uid_key(node, own_key)) return PyErrorSet{};
    Ref obj = Ref::steal(node_to_python(node));
    if (!obj || !graph_store(g, GraphDict::Nodes, own_key.get(), obj.get())) return PyErrorSet{};
    if (into) into->emplace_back(std::move(node));
    return ok_status();
}

// Files the node and assigns it to the pattern's variable.
Status create_node(QueryValue& q, const NodePatternValue& p, PyObject* key = nullptr) {
    if (!p.type_obj) return untyped_node(p);
    BindingList one;
    if (!file_node(q.graph, p, p.variable ? &one : nullptr, key)) return PyErrorSet{};
    return p.variable ? q.matched_vars.assign_group(*p.variable, std::move(one)) : ok_status();
}

VelkoraError bound_to_edge(const std::string& name) {
    return VelkoraError::invalid_query("'" + name + "' is bound to an edge; edges are created "
                                       "between nodes");
}

// The list bound to `name`, as the ends of new edges: every binding a node.
Result<const BindingList*> end_nodes(const BindingTable& t, const std::string& name) {
    const BindingList* list = t.find(name);
    if (!list) return VelkoraError::variable_not_found(name, "create");
    for (const QueryResult& r : *list) {
        if (!std::holds_alternative<NodeValue>(r)) return bound_to_edge(name);
    }
    return list;
}

// Files one new edge of the pattern's term (present) per pair of
// starts[i] and ends[i] (a side of one node pairs that node with every
// entry of the other side), each with a properties dict of its own holding
// the pattern's properties, under its uid (replacing an edge with that uid).
// `made` receives the edges and, when given, `paired_starts` and
// `paired_ends` the nodes of each pair. The ends share the bound node
// values, so an edge's end nodes share their properties dicts with the
// graph's nodes.
Status file_edges(const GraphValue& g, const EdgePatternValue& p,
                  std::span<const QueryResult> starts, std::span<const QueryResult> ends,
                  size_t count, BindingList& made, BindingList* paired_starts,
                  BindingList* paired_ends) {
    if (count == 0) return ok_status();
    // An edge's uid depends on its term alone: one key serves every edge.
    Ref key;
    auto node = [](std::span<const QueryResult> side, size_t i) -> const NodeValue& {
        return std::get<NodeValue>(side[side.size() == 1 ? 0 : i]);
    };
    made.reserve(count);
    if (paired_starts) paired_starts->reserve(count);
    if (paired_ends) paired_ends->reserve(count);
    for (size_t i = 0; i < count; ++i) {
        Ref props = p.properties.to_dict();
        EdgeValue edge;
        if (!props || !EdgeValue::make(p.term, node(starts, i), node(ends, i), std::move(props), edge)) {
            return PyErrorSet{};
        }
        if (!uid_key(edge, key)) return PyErrorSet{};
        Ref obj = Ref::steal(edge_to_python(edge));
        if (!obj || !graph_store(g, GraphDict::Edges, key.get(), obj.get())) return PyErrorSet{};
        if (paired_starts) paired_starts->emplace_back(edge.start());
        if (paired_ends) paired_ends->emplace_back(edge.end());
        made.emplace_back(std::move(edge));
    }
    return ok_status();
}

// create(edge=..., start=..., end=...): every check is made before the first
// edge is filed, so a failing create changes nothing. The start, edge and
// end variables are then bound as one group, in that order (as a path match
// binds them), to the paired nodes and the new edges.
Status create_edges(QueryValue& q, const EdgeBetween& c) {
    if (!c.pattern.term) return needs_term();
    Result<const BindingList*> starts = end_nodes(q.matched_vars, c.start);
    if (!starts) return PyErrorSet{};
    Result<const BindingList*> ends = end_nodes(q.matched_vars, c.end);
    if (!ends) return PyErrorSet{};
    const size_t ns = (*starts)->size(), ne = (*ends)->size();
    if (ns != ne && ns != 1 && ne != 1) {
        return VelkoraError::invalid_query("cannot pair " + std::to_string(ns) + " '" + c.start +
                                           "' nodes with " + std::to_string(ne) + " '" + c.end +
                                           "' nodes");
    }
    const size_t count = ns == ne ? ns : (ns == 1 ? ne : ns);
    BindingList made, paired_starts, paired_ends;
    Status s = file_edges(q.graph, c.pattern, **starts, **ends, count, made, &paired_starts,
                          &paired_ends);
    if (!s) return s;
    BindingTable::Group group;
    group.emplace_back(c.start, std::move(paired_starts));
    if (c.pattern.variable) group.emplace_back(*c.pattern.variable, std::move(made));
    group.emplace_back(c.end, std::move(paired_ends));
    return q.matched_vars.assign_group(std::move(group));
}

// A path is created node by node, after every pattern of it has been
// checked. Pattern strings carry no terms, so a path with an edge never gets
// past the checks.
Status create_path(QueryValue& q, const PathPatternValue& path) {
    for (size_t i = 0; i < path.nodes.size() || i < path.edges.size(); ++i) {
        if (i < path.nodes.size() && !path.nodes[i].type_obj) return untyped_node(path.nodes[i]);
        if (i < path.edges.size()) return needs_term();
    }
    BindingTable::Group group;
    Status filed = ok_status();
    for (const NodePatternValue& p : path.nodes) {
        BindingList one;
        filed = file_node(q.graph, p, p.variable ? &one : nullptr);
        if (!filed) break;  // the nodes created so far stay, and stay bound
        if (p.variable) group.emplace_back(*p.variable, std::move(one));
    }
    if (!q.matched_vars.assign_group(std::move(group))) return PyErrorSet{};
    return filed;
}

struct CreateRunner {
    QueryValue& q;
    Status operator()(const NodeForm& c) const { return create_node(q, c.pattern); }
    Status operator()(const PathForm& c) const { return create_path(q, c.path); }
    Status operator()(const EdgeBetween& c) const { return create_edges(q, c); }
};

// The candidates of a node merge, all collected (and every entry checked)
// before the first is tested: with an exact type, the graph's nodes of that
// type; otherwise every value of `nodes`, each of which must be a Node.
Status merge_candidates(const GraphValue& g, const NodePatternValue& p,
                        std::vector<NodeValue>& out) {
    if (p.type_obj) {
        if (!g.nodes_of_type(p.type_obj->get(), out)) return PyErrorSet{};
        return ok_status();
    }
    return walk_values<true, PyNode>(g.nodes.get(), NodeType, "Node", [&](const NodeValue& node) {
        out.push_back(node);
        return 1;
    });
}

// The first passing candidate is appended to the variable's list. With none
// and an exact type, the node already filed under the type's uid keeps its
// properties and takes the pattern's on top (as set does); only when there
// is none is the node created. Either way the variable's list becomes that
// one node.
Status merge_node(QueryValue& q, const NodePatternValue& p) {
    std::vector<NodeValue> candidates;
    Status s = merge_candidates(q.graph, p, candidates);
    if (!s) return s;
    NodeTest test(p);
    for (NodeValue& node : candidates) {
        int m = test.matches(node);
        if (m < 0) return PyErrorSet{};
        if (m > 0) {
            return p.variable ? q.matched_vars.append(*p.variable, std::move(node)) : ok_status();
        }
    }
    if (!p.type_obj) return ok_status();
    Ref key = Ref::borrow(node_key_of_type(p.type_obj->get()));
    if (!key) return PyErrorSet{};
    // Held strongly: storing the properties below can release old values,
    // and their __del__ can take the node out of the graph.
    Ref stored = Ref::borrow(PyDict_GetItemWithError(q.graph.nodes.get(), key.get()));
    if (!stored && PyErr_Occurred()) return PyErrorSet{};
    if (stored && Py_TYPE(stored.get()) == NodeType &&
        type_equal(node_value(stored.get()).type().get(), p.type_obj->get())) {
        BindingList one;
        one.emplace_back(node_value(stored.get()));
        PyObject* props = std::get<NodeValue>(one.front()).properties();
        for (const PropertyMap::Entry& e : p.properties.entries) {
            if (PyDict_SetItem(props, e.key.get(), e.value.get()) < 0) {
                return PyErrorSet{};
            }
        }
        return p.variable ? q.matched_vars.assign_group(*p.variable, std::move(one)) : ok_status();
    }
    return create_node(q, p, key.get());
}

// The first binding of a merge's start or end name: null when the list is
// missing, empty or starts with an edge (a merge without a term then does
// nothing). With `strict`, a missing name or an edge is an error instead.
Result<const QueryResult*> merge_end(const BindingTable& t, const std::string& name, bool strict) {
    const BindingList* list = t.find(name);
    if (!list) {
        if (!strict) return nullptr;
        return VelkoraError::variable_not_found(name, "merge");
    }
    if (list->empty()) return nullptr;
    if (!std::holds_alternative<NodeValue>(list->front())) {
        if (!strict) return nullptr;
        return bound_to_edge(name);
    }
    return &list->front();
}

// Finds the first edge from the node bound first to `start` to the node
// bound first to `end`; with a term, only an edge passing the pattern's edge
// test qualifies, and when none does one is created between those nodes. A
// node's uid is a digest of its type's uid alone, so nodes of equal types
// are the same node.
Status merge_edge(QueryValue& q, const EdgeBetween& m) {
    const EdgePatternValue& p = m.pattern;
    const bool with_term = static_cast<bool>(p.term);
    Result<const QueryResult*> s = merge_end(q.matched_vars, m.start, with_term);
    if (!s) return PyErrorSet{};
    Result<const QueryResult*> t = merge_end(q.matched_vars, m.end, with_term);
    if (!t) return PyErrorSet{};
    if (!*s || !*t) return ok_status();
    // Held here: a test's Python code may drop the bindings.
    const TypeRef want_start = std::get<NodeValue>(**s).type();
    const TypeRef want_end = std::get<NodeValue>(**t).type();
    std::optional<EdgeValue> hit;
    EdgeTest test(p);
    // 1 to go on, 0 at the hit, -1 on error.
    auto consider = [&](const EdgeValue& edge) {
        if (!type_equal(edge.start().type().get(), want_start.get()) ||
            !type_equal(edge.end().type().get(), want_end.get())) {
            return 1;
        }
        int r = with_term ? test.matches(edge) : 1;
        if (r > 0) hit.emplace(edge);
        return r < 0 ? -1 : (r > 0 ? 0 : 1);
    };
    // Without Python code in the test, the candidates are the edges out of
    // the start node, read from the index.
    int indexed = 0;
    EdgeIndexView view;
    if (!with_term || !test.runs_python()) indexed = edge_index_view(q.graph, view);
    if (indexed < 0) return PyErrorSet{};
    Status st = ok_status();
    if (indexed > 0) {
        uint32_t from = view.node_of_type(want_start.get());
        if (from != EdgeIndexView::kNoNode) {
            for (uint32_t at : view.at(from, EdgeSide::Out)) {
                int r = consider(edge_value(view.edge(at)));
                if (r < 0) return PyErrorSet{};
                if (r == 0) break;
            }
        }
    } else {
        st = for_each_edge(q.graph, [&](EdgeValue&& edge) { return consider(edge); });
    }
    if (!st) return st;
    if (hit) {
        return p.variable ? q.matched_vars.append(*p.variable, std::move(*hit)) : ok_status();
    }
    if (!with_term) return ok_status();
    BindingList made;
    st = file_edges(q.graph, p, {*s, 1}, {*t, 1}, 1, made, nullptr, nullptr);
    if (!st) return st;
    return p.variable ? q.matched_vars.assign_group(*p.variable, std::move(made)) : ok_status();
}

struct MergeRunner {
    QueryValue& q;
    Status operator()(const NodeForm& m) const { return merge_node(q, m.pattern); }
    Status operator()(const EdgeBetween& m) const { return merge_edge(q, m); }
};

// ----- set and delete ------------------------------------------------------------

// Merges the clause's dict into the properties of every node and edge bound
// to its variable (the dicts the graph's objects hold).
Status run_set(QueryValue& q, const SetClause& c) {
    const BindingList* list = q.matched_vars.find(c.variable);
    if (!list) return ok_status();
    for (const QueryResult& r : *list) {
        PyObject* props = binding_properties(r);
        DictWalk walk(c.properties.get());
        Ref key, value;
        int step;
        while ((step = walk.next(key, value)) > 0) {
            if (PyDict_SetItem(props, key.get(), value.get()) < 0) return PyErrorSet{};
        }
        if (step < 0) return PyErrorSet{};
    }
    return ok_status();
}

// Deletes dict[uid]. A failed deletion is passed over unless drop_exception
// keeps its error (an interrupt, an exit request, a MemoryError).
Status discard(const GraphValue& g, GraphDict which, const Hex64& uid) {
    Ref key = Ref::steal(to_py(uid.view()));
    if (key && graph_remove(g, which, key.get()) == 0) return ok_status();
    return drop_exception();
}

// Deletes every entry of `edges` holding an Edge whose start or end node is
// of one of the given types (a node's uid depends on its type alone), in
// the order of `edges`. Failures are passed over as by discard.
Status detach_edges(const GraphValue& g, const std::vector<TypeRef>& types,
                    const std::unordered_set<std::string>& node_types) {
    std::vector<Ref> doomed;
    EdgeIndexView view;
    int indexed = edge_index_view(g, view);
    if (indexed < 0) return PyErrorSet{};
    if (indexed > 0) {
        std::vector<uint32_t> positions;
        for (const TypeRef& t : types) {
            uint32_t n = view.node_of_type(t.get());
            if (n == EdgeIndexView::kNoNode) continue;
            view.for_each_at(n, EdgeSide::Both, [&](uint32_t p) { positions.push_back(p); });
        }
        std::sort(positions.begin(), positions.end());
        positions.erase(std::unique(positions.begin(), positions.end()), positions.end());
        for (uint32_t p : positions) doomed.push_back(Ref::borrow(view.key(p)));
    } else {
        Py_ssize_t pos = 0;
        PyObject *k, *v;
        // Only reads of our own values happen in this walk: no Python code runs.
        while (PyDict_Next(g.edges.get(), &pos, &k, &v)) {
            if (Py_TYPE(v) != EdgeType) continue;
            const EdgeValue& e = edge_value(v);
            for (const NodeValue* end : {&e.start(), &e.end()}) {
                const Hex64* u = type_uid(end->type().get());
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
    }
    for (const Ref& key : doomed) {
        if (graph_remove(g, GraphDict::Edges, key.get()) < 0 && !drop_exception()) return PyErrorSet{};
    }
    return ok_status();
}

// Removes the bound nodes and edges from the graph, and with detach the
// edges attached to the removed nodes; bindings stay. Failed deletions are
// passed over; an interrupt, an exit request or a MemoryError ends the run.
Status run_delete(QueryValue& q, const DeleteClause& c) {
    std::unordered_set<std::string> deleted_types;
    std::vector<TypeRef> deleted;
    for (const std::string& name : c.variables) {
        const BindingList* list = q.matched_vars.find(name);
        if (!list) continue;
        for (const QueryResult& r : *list) {
            const NodeValue* node = std::get_if<NodeValue>(&r);
            const Hex64* uid = node ? node->uid() : std::get<EdgeValue>(r).uid();
            // A uid that cannot be made is passed over like a failed deletion.
            GraphDict which = node ? GraphDict::Nodes : GraphDict::Edges;
            if (!(uid ? discard(q.graph, which, *uid) : drop_exception())) return PyErrorSet{};
            // The node's uid was made from its type's, which is now kept.
            const Hex64* tu = node && uid && c.detach ? type_uid(node->type().get()) : nullptr;
            if (tu && deleted_types.emplace(tu->view()).second) deleted.push_back(node->type());
        }
    }
    if (!deleted_types.empty()) return detach_edges(q.graph, deleted, deleted_types);
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
    // A lone order_by; run_queue hands runs of them to run_order_by.
    Status operator()(const OrderByClause& c) const { return run_order_by(q, {&c}); }
    Status operator()(const WithClause& c) const { return run_with(q, c); }
    Status operator()(const SkipClause& c) const { return q.matched_vars.slice(c.count, SIZE_MAX); }
    Status operator()(const LimitClause& c) const { return q.matched_vars.slice(0, c.count); }
};

}  // namespace

Status run_queue(QueryValue& q) {
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
