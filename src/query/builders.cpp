// The clause builders. Each takes the receiver exclusively, binds and
// converts its arguments, appends at most one operation and returns a new
// Query copied from the receiver. A call that fails queues nothing.
#include "host/args.hpp"
#include "host/borrow.hpp"
#include "query/condition.hpp"
#include "query/query.hpp"

namespace vk {
namespace {

// Common frame of every builder: takes the receiver, binds the arguments
// declared by S, and `body(a, q)` converts them and queues.
template <const auto& S, class F>
PyObject* build(PyObject* self, PyObject* const* args, Py_ssize_t n, PyObject* kw, F&& body) {
    ExclusiveBorrow b(self);
    if (!b) return nullptr;
    Args<S> a;
    QueryValue& q = query_value(self);
    if (!a.bind(args, n, kw) || !body(a, q)) return nullptr;
    return query_to_python(q);
}

PyObject* absent_if_none(PyObject* o) { return o == Py_None ? nullptr : o; }

// The *variables of a call, each a str.
template <const auto& S>
Status to_names(const Args<S>& a, std::vector<std::string>& out) {
    out.resize(static_cast<size_t>(a.rest_count()));
    for (Py_ssize_t i = 0; i < a.rest_count(); ++i) {
        if (!to_string(a.rest(i), out[static_cast<size_t>(i)])) return PyErrorSet{};
    }
    return ok_status();
}

// skip and limit.
template <class Clause, const auto& S>
PyObject* count_builder(PyObject* self, PyObject* const* args, Py_ssize_t n, PyObject* kw) {
    return build<S>(self, args, n, kw, [](auto& a, QueryValue& q) -> Status {
        size_t count;
        if (!to_size(a["count"], count)) return PyErrorSet{};
        return q.operations.push(Clause{count});
    });
}

}  // namespace

PyObject* query_set(PyObject* self, PyObject* const* args, Py_ssize_t n, PyObject* kw) {
    return build<query_sig::set>(self, args, n, kw, [](auto& a, QueryValue& q) -> Status {
        std::string var;
        PyObject* dict;
        if (!to_string(a["variable"], var) || !to_dict(a["properties"], dict, false)) {
            return PyErrorSet{};
        }
        return q.operations.push(SetClause(std::move(var), Ref::borrow(dict)));
    });
}

PyObject* query_skip(PyObject* self, PyObject* const* args, Py_ssize_t n, PyObject* kw) {
    return count_builder<SkipClause, query_sig::skip>(self, args, n, kw);
}

PyObject* query_limit(PyObject* self, PyObject* const* args, Py_ssize_t n, PyObject* kw) {
    return count_builder<LimitClause, query_sig::limit>(self, args, n, kw);
}

PyObject* query_where(PyObject* self, PyObject* const* args, Py_ssize_t n, PyObject* kw) {
    return build<query_sig::where>(self, args, n, kw, [](auto& a, QueryValue& q) -> Status {
        WhereClause c;
        if (!to_string(a["condition"], c.condition)) return PyErrorSet{};
        auto tree = parse_condition(c.condition);
        if (!tree) return PyErrorSet{};
        c.tree = std::move(*tree);
        return q.operations.push(std::move(c));
    });
}

PyObject* query_with(PyObject* self, PyObject* const* args, Py_ssize_t n, PyObject* kw) {
    return build<query_sig::with_>(self, args, n, kw, [](auto& a, QueryValue& q) -> Status {
        WithClause c;
        if (!to_names(a, c.variables)) return PyErrorSet{};
        return q.operations.push(std::move(c));
    });
}

PyObject* query_delete(PyObject* self, PyObject* const* args, Py_ssize_t n, PyObject* kw) {
    return build<query_sig::delete_>(self, args, n, kw, [](auto& a, QueryValue& q) -> Status {
        DeleteClause c;
        if (!to_names(a, c.variables) || (a["detach"] && !to_bool(a["detach"], c.detach))) {
            return PyErrorSet{};
        }
        return q.operations.push(std::move(c));
    });
}

PyObject* query_order_by(PyObject* self, PyObject* const* args, Py_ssize_t n, PyObject* kw) {
    return build<query_sig::order_by>(self, args, n, kw, [](auto& a, QueryValue& q) -> Status {
        OrderByClause c;
        if (!to_string(a["variable"], c.variable) || !to_string(a["key"], c.key) ||
            (a["ascending"] && !to_bool(a["ascending"], c.ascending))) {
            return PyErrorSet{};
        }
        return q.operations.push(std::move(c));
    });
}

// ----- match, create, merge -------------------------------------------------------

namespace {

// The converted arguments shared by the three: the selectors and the
// properties dict (null when absent or None). pattern, node and edge are
// converted first and properties after them in all three.
struct Selectors {
    std::optional<std::string> pattern, node, edge;
    PyObject* properties = nullptr;
};

template <const auto& S>
Status convert_selectors(const Args<S>& a, Selectors& s) {
    if (!to_opt_string(a["pattern"], s.pattern) || !to_opt_string(a["node"], s.node) ||
        !to_opt_string(a["edge"], s.edge) || !to_dict(a["properties"], s.properties, true)) {
        return PyErrorSet{};
    }
    return ok_status();
}

// The optional start or end of a match's edge form: a str gives its name;
// anything else gives no name. (The str conversion fails only on text that
// cannot be encoded.)
Result<std::optional<std::string>> optional_name(Arg a) {
    std::optional<std::string> name;
    if (!a || !PyUnicode_Check(a.obj)) return name;
    if (!to_string(a, name.emplace())) return PyErrorSet{};
    return name;
}

// The start or end of a created or merged edge: a str gives its name;
// absent, None or another object fails.
Result<std::string> required_name(Arg a) {
    if (!a || a == Py_None) return VelkoraError::invalid_query("Variable name required");
    if (!PyUnicode_Check(a.obj)) {
        return VelkoraError::invalid_query("Expected string variable name", "variable extraction");
    }
    std::string name;
    if (!to_string(a, name)) return PyErrorSet{};
    return name;
}

Result<NodePatternValue> node_pattern(const std::string& var, PyObject* type, PyObject* schema,
                                      PyObject* props) {
    NodePatternValue p;
    if (!NodePatternValue::create(var, absent_if_none(type), absent_if_none(schema), props, p)) {
        return PyErrorSet{};
    }
    return p;
}

Result<EdgePatternValue> edge_pattern(const std::string& var, PyObject* term, PyObject* schema,
                                      PyObject* props) {
    EdgePatternValue p;
    if (!EdgePatternValue::create(var, absent_if_none(term), absent_if_none(schema), props,
                                  "forward", p)) {
        return PyErrorSet{};
    }
    return p;
}

// A node pattern to create or merge without an exact type takes the type
// its schema names, when it names exactly one ("(p:Person)" creates a
// Person). One that names none keeps no type, and creating it fails when
// the query runs.
void type_from_label(NodePatternValue& p) {
    if (p.type_obj || !p.type_schema) return;
    if (TypeRef t = schema_exact_type(p.type_schema->pattern)) p.type_obj = std::move(t);
}

// The path of a match or create: refused when it holds a variable-length
// relationship, parsed otherwise.
Result<PathPatternValue> path_to_read(std::string_view text) {
    if (!PathPatternValue::refuse_lengths(text)) return PyErrorSet{};
    return PathPatternValue::parse_joined(text);
}

Result<PathPatternValue> path_to_create(std::string_view text) {
    Result<PathPatternValue> path = path_to_read(text);
    if (path) {
        for (NodePatternValue& p : path->nodes) type_from_label(p);
    }
    return path;
}

// Queues Op{Form{value}} when `made` holds a value.
template <class Op, class Form, class T>
Status queue_form(QueryValue& q, Result<T> made) {
    if (!made) return PyErrorSet{};
    return q.operations.push(Op{Form{std::move(*made)}});
}

// The edge forms of create and merge: the pattern, then start, then end.
template <class Op>
Status queue_edge_between(QueryValue& q, const std::string& var, PyObject* term, PyObject* schema,
                          PyObject* props, Arg start, Arg end) {
    auto p = edge_pattern(var, term, schema, props);
    if (!p) return PyErrorSet{};
    auto s = required_name(start);
    if (!s) return PyErrorSet{};
    auto e = required_name(end);
    if (!e) return PyErrorSet{};
    return q.operations.push(Op{EdgeBetween{std::move(*p), std::move(*s), std::move(*e)}});
}

}  // namespace

PyObject* query_match(PyObject* self, PyObject* const* args, Py_ssize_t n, PyObject* kw) {
    return build<query_sig::match>(self, args, n, kw, [](auto& a, QueryValue& q) -> Status {
        Selectors s;
        if (!convert_selectors(a, s)) return PyErrorSet{};
        if (s.pattern) {
            return queue_form<MatchOp, PathForm>(q, path_to_read(*s.pattern));
        }
        if (s.node) {
            return queue_form<MatchOp, NodeForm>(
                q, node_pattern(*s.node, a["type"], a["type_schema"], s.properties));
        }
        if (!s.edge) return ok_status();
        auto p = edge_pattern(*s.edge, a["term"], a["term_type_schema"], s.properties);
        if (!p) return PyErrorSet{};
        auto start = optional_name(a["start"]);
        if (!start) return PyErrorSet{};
        auto end = optional_name(a["end"]);
        if (!end) return PyErrorSet{};
        // One binding per match: an edge's name cannot also name a node.
        if (*start == s.edge || *end == s.edge) {
            return VelkoraError::invalid_query("Variable '" + *s.edge +
                                               "' names the edge and one of its nodes");
        }
        return q.operations.push(
            MatchOp{MatchEdge{std::move(*p), std::move(*start), std::move(*end)}});
    });
}

PyObject* query_create(PyObject* self, PyObject* const* args, Py_ssize_t n, PyObject* kw) {
    return build<query_sig::create>(self, args, n, kw, [](auto& a, QueryValue& q) -> Status {
        Selectors s;
        if (!convert_selectors(a, s)) return PyErrorSet{};
        if (s.pattern) return queue_form<CreateOp, PathForm>(q, path_to_create(*s.pattern));
        if (s.node) {
            return queue_form<CreateOp, NodeForm>(
                q, node_pattern(*s.node, a["type"], nullptr, s.properties));
        }
        if (!s.edge) return ok_status();
        return queue_edge_between<CreateOp>(q, *s.edge, a["term"], nullptr, s.properties,
                                            a["start"], a["end"]);
    });
}

PyObject* query_merge(PyObject* self, PyObject* const* args, Py_ssize_t n, PyObject* kw) {
    return build<query_sig::merge>(self, args, n, kw, [](auto& a, QueryValue& q) -> Status {
        Selectors s;
        if (!convert_selectors(a, s)) return PyErrorSet{};
        // A merge has no path form: a pattern string is converted and
        // ignored, unless it holds a variable-length relationship.
        if (s.pattern && !PathPatternValue::refuse_lengths(*s.pattern)) return PyErrorSet{};
        if (s.node) {
            auto p = node_pattern(*s.node, a["type"], a["type_schema"], s.properties);
            if (p) type_from_label(*p);
            return queue_form<MergeOp, NodeForm>(q, std::move(p));
        }
        if (!s.edge) return ok_status();
        return queue_edge_between<MergeOp>(q, *s.edge, a["term"], a["term_type_schema"],
                                           s.properties, a["start"], a["end"]);
    });
}

}  // namespace vk
