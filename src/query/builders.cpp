// The clause builders. Each takes the receiver exclusively, binds and
// converts its arguments, appends at most one operation and returns a new
// Query copied from the receiver. A call that fails queues nothing.
#include "host/args.hpp"
#include "host/borrow.hpp"
#include "query/condition.hpp"
#include "query/query.hpp"

namespace vk {
namespace {

// Common frame of every builder: `body` binds, converts and queues.
template <class F>
PyObject* build(PyObject* self, F&& body) {
    ExclusiveBorrow b(self);
    if (!b) return nullptr;
    QueryValue& q = query_value(self);
    Status s = body(q);
    if (!s) {
        raise(s.take_error());
        return nullptr;
    }
    return query_to_python(q);
}

PyObject* absent_if_none(PyObject* o) { return o == Py_None ? nullptr : o; }

// The *variables of a call, each a str.
bool to_names(const Bound& a, std::vector<std::string>& out) {
    out.resize((size_t)a.nvarargs);
    for (Py_ssize_t i = 0; i < a.nvarargs; ++i) {
        if (!to_string("variables", a.varargs[i], out[(size_t)i])) return false;
    }
    return true;
}

// ----- the seven simple builders ------------------------------------------------

const Param kSetParams[] = {req("variable"), req("properties")};
const Signature kSet("Query.set", kSetParams);
const Param kCountParams[] = {req("count")};
const Signature kSkip("Query.skip", kCountParams);
const Signature kLimit("Query.limit", kCountParams);
const Param kWhereParams[] = {req("condition")};
const Signature kWhere("Query.where", kWhereParams);
const Param kWithParams[] = {varargs("variables")};
const Signature kWith("Query.with_", kWithParams);
const Param kDeleteParams[] = {varargs("variables"), kwonly("detach")};
const Signature kDelete("Query.delete", kDeleteParams);
const Param kOrderByParams[] = {req("variable"), req("key"), opt("ascending")};
const Signature kOrderBy("Query.order_by", kOrderByParams);

template <class Clause>
PyObject* count_builder(const Signature& sig, PyObject* self, PyObject* const* args,
                        Py_ssize_t n, PyObject* kw) {
    return build(self, [&](QueryValue& q) -> Status {
        Bound a;
        size_t count;
        if (!bind(sig, args, n, kw, a) || !to_size("count", a[0], count)) return PyErrorSet{};
        q.operations.push(Clause{count});
        return ok_status();
    });
}

}  // namespace

PyObject* query_set(PyObject* self, PyObject* const* args, Py_ssize_t n, PyObject* kw) {
    return build(self, [&](QueryValue& q) -> Status {
        Bound a;
        std::string var;
        PyObject* dict;
        if (!bind(kSet, args, n, kw, a) || !to_string("variable", a[0], var) ||
            !to_dict("properties", a[1], dict, false)) {
            return PyErrorSet{};
        }
        q.operations.push(SetClause(std::move(var), Ref::borrow(dict)));
        return ok_status();
    });
}

PyObject* query_skip(PyObject* self, PyObject* const* args, Py_ssize_t n, PyObject* kw) {
    return count_builder<SkipClause>(kSkip, self, args, n, kw);
}

PyObject* query_limit(PyObject* self, PyObject* const* args, Py_ssize_t n, PyObject* kw) {
    return count_builder<LimitClause>(kLimit, self, args, n, kw);
}

PyObject* query_where(PyObject* self, PyObject* const* args, Py_ssize_t n, PyObject* kw) {
    return build(self, [&](QueryValue& q) -> Status {
        Bound a;
        WhereClause c;
        if (!bind(kWhere, args, n, kw, a) || !to_string("condition", a[0], c.condition)) {
            return PyErrorSet{};
        }
        auto tree = parse_condition(c.condition);
        if (!tree) return tree.take_error();
        c.tree = std::move(*tree);
        q.operations.push(std::move(c));
        return ok_status();
    });
}

PyObject* query_with(PyObject* self, PyObject* const* args, Py_ssize_t n, PyObject* kw) {
    return build(self, [&](QueryValue& q) -> Status {
        Bound a;
        WithClause c;
        if (!bind(kWith, args, n, kw, a) || !to_names(a, c.variables)) return PyErrorSet{};
        q.operations.push(std::move(c));
        return ok_status();
    });
}

PyObject* query_delete(PyObject* self, PyObject* const* args, Py_ssize_t n, PyObject* kw) {
    return build(self, [&](QueryValue& q) -> Status {
        Bound a;
        DeleteClause c;
        if (!bind(kDelete, args, n, kw, a) || !to_names(a, c.variables) ||
            (a[1] && !to_bool("detach", a[1], c.detach))) {
            return PyErrorSet{};
        }
        q.operations.push(std::move(c));
        return ok_status();
    });
}

PyObject* query_order_by(PyObject* self, PyObject* const* args, Py_ssize_t n, PyObject* kw) {
    return build(self, [&](QueryValue& q) -> Status {
        Bound a;
        OrderByClause c;
        if (!bind(kOrderBy, args, n, kw, a) || !to_string("variable", a[0], c.variable) ||
            !to_string("key", a[1], c.key) ||
            (a[2] && !to_bool("ascending", a[2], c.ascending))) {
            return PyErrorSet{};
        }
        q.operations.push(std::move(c));
        return ok_status();
    });
}

// ----- match, create, merge -------------------------------------------------------

namespace {

// Parameter lists of the three pattern builders. pattern, node and edge come
// first and properties last in all three, which fixes the conversion order.
const Param kMatchParams[] = {opt("pattern"),    kwonly("node"),        kwonly("edge"),
                              kwonly("start"),   kwonly("end"),         kwonly("type"),
                              kwonly("type_schema"), kwonly("term"),    kwonly("term_type_schema"),
                              kwonly("properties")};
const Signature kMatch("Query.match", kMatchParams);
enum { kMStart = 3, kMEnd, kMType, kMTypeSchema, kMTerm, kMTermSchema, kMProps };

const Param kCreateParams[] = {opt("pattern"), kwonly("node"),  kwonly("edge"),
                               kwonly("type"), kwonly("term"),  kwonly("start"),
                               kwonly("end"),  kwonly("properties")};
const Signature kCreate("Query.create", kCreateParams);
enum { kCType = 3, kCTerm, kCStart, kCEnd, kCProps };

const Param kMergeParams[] = {opt("pattern"),  kwonly("node"),        kwonly("edge"),
                              kwonly("type"),  kwonly("type_schema"), kwonly("term"),
                              kwonly("term_type_schema"), kwonly("start"), kwonly("end"),
                              kwonly("properties")};
const Signature kMerge("Query.merge", kMergeParams);
enum { kGType = 3, kGTypeSchema, kGTerm, kGTermSchema, kGStart, kGEnd, kGProps };

// The converted arguments shared by the three: the selectors and the
// properties dict (null when absent or None).
struct Selectors {
    std::optional<std::string> pattern, node, edge;
    PyObject* properties = nullptr;
};

bool convert_selectors(const Bound& a, int props_index, Selectors& s) {
    return to_opt_string("pattern", a[0], s.pattern) && to_opt_string("node", a[1], s.node) &&
           to_opt_string("edge", a[2], s.edge) &&
           to_dict("properties", a[props_index], s.properties, true);
}

// extract_var_or_none: a str gives its name; anything else gives no name.
// (The str conversion fails only on text that cannot be encoded.)
Result<std::optional<std::string>> extract_var_or_none(const char* param, PyObject* o) {
    std::optional<std::string> name;
    if (!o || !PyUnicode_Check(o)) return name;
    if (!to_string(param, o, name.emplace())) return PyErrorSet{};
    return name;
}

// extract_var: a str gives its name; absent, None or another object fails.
Result<std::string> extract_var(const char* param, PyObject* o) {
    if (!o || o == Py_None) return VelkoraError::invalid_query("Variable name required");
    if (!PyUnicode_Check(o)) {
        return VelkoraError::invalid_query("Expected string variable name", "variable extraction");
    }
    std::string name;
    if (!to_string(param, o, name)) return PyErrorSet{};
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

Result<PathPatternValue> path_to_create(std::string_view text) {
    Result<PathPatternValue> path = PathPatternValue::parse(text);
    if (path) {
        for (NodePatternValue& p : path->nodes) type_from_label(p);
    }
    return path;
}

// Queues Op{Form{value}} when `made` holds a value; otherwise returns its error.
template <class Op, class Form, class T>
Status queue_form(QueryValue& q, Result<T> made) {
    if (!made) return made.take_error();
    q.operations.push(Op{Form{std::move(*made)}});
    return ok_status();
}

// The edge forms of create and merge: the pattern, then start, then end.
template <class Op>
Status queue_edge_between(QueryValue& q, const std::string& var, PyObject* term, PyObject* schema,
                        PyObject* props, PyObject* start, PyObject* end) {
    auto p = edge_pattern(var, term, schema, props);
    if (!p) return p.take_error();
    auto s = extract_var("start", start);
    if (!s) return s.take_error();
    auto e = extract_var("end", end);
    if (!e) return e.take_error();
    q.operations.push(Op{EdgeBetween{std::move(*p), std::move(*s), std::move(*e)}});
    return ok_status();
}

}  // namespace

PyObject* query_match(PyObject* self, PyObject* const* args, Py_ssize_t n, PyObject* kw) {
    return build(self, [&](QueryValue& q) -> Status {
        Bound a;
        Selectors s;
        if (!bind(kMatch, args, n, kw, a) || !convert_selectors(a, kMProps, s)) return PyErrorSet{};
        if (s.pattern) return queue_form<MatchOp, PathForm>(q, PathPatternValue::parse(*s.pattern));
        if (s.node) {
            return queue_form<MatchOp, NodeForm>(
                q, node_pattern(*s.node, a[kMType], a[kMTypeSchema], s.properties));
        }
        if (!s.edge) return ok_status();
        auto p = edge_pattern(*s.edge, a[kMTerm], a[kMTermSchema], s.properties);
        if (!p) return p.take_error();
        auto start = extract_var_or_none("start", a[kMStart]);
        if (!start) return start.take_error();
        auto end = extract_var_or_none("end", a[kMEnd]);
        if (!end) return end.take_error();
        q.operations.push(MatchOp{MatchEdge{std::move(*p), std::move(*start), std::move(*end)}});
        return ok_status();
    });
}

PyObject* query_create(PyObject* self, PyObject* const* args, Py_ssize_t n, PyObject* kw) {
    return build(self, [&](QueryValue& q) -> Status {
        Bound a;
        Selectors s;
        if (!bind(kCreate, args, n, kw, a) || !convert_selectors(a, kCProps, s)) {
            return PyErrorSet{};
        }
        if (s.pattern) return queue_form<CreateOp, PathForm>(q, path_to_create(*s.pattern));
        if (s.node) {
            return queue_form<CreateOp, NodeForm>(
                q, node_pattern(*s.node, a[kCType], nullptr, s.properties));
        }
        if (!s.edge) return ok_status();
        return queue_edge_between<CreateOp>(q, *s.edge, a[kCTerm], nullptr, s.properties,
                                            a[kCStart], a[kCEnd]);
    });
}

PyObject* query_merge(PyObject* self, PyObject* const* args, Py_ssize_t n, PyObject* kw) {
    return build(self, [&](QueryValue& q) -> Status {
        Bound a;
        Selectors s;
        if (!bind(kMerge, args, n, kw, a) || !convert_selectors(a, kGProps, s)) {
            return PyErrorSet{};
        }
        // A merge has no path form: a pattern string is converted and ignored.
        if (s.node) {
            auto p = node_pattern(*s.node, a[kGType], a[kGTypeSchema], s.properties);
            if (p) type_from_label(*p);
            return queue_form<MergeOp, NodeForm>(q, std::move(p));
        }
        if (!s.edge) return ok_status();
        return queue_edge_between<MergeOp>(q, *s.edge, a[kGTerm], a[kGTermSchema], s.properties,
                                           a[kGStart], a[kGEnd]);
    });
}

}  // namespace vk
