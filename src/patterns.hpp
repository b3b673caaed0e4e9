// Node, edge and path patterns, and the pattern-string parser.
#pragma once
#include <Python.h>

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "errors.hpp"
#include "graph.hpp"
#include "host/ref.hpp"
#include "term.hpp"
#include "type_schema.hpp"
#include "types.hpp"

namespace vk {

// Required property values: names with references to the caller's objects.
// A node's property must compare equal (==, the node's value on the left).
struct PropertyMap {
    struct Entry {
        Ref key;  // an exact str, made once, so node tests do not rebuild it
        Ref value;
    };
    std::vector<Entry> entries;

    PropertyMap() = default;
    PropertyMap(const PropertyMap& o);
    PropertyMap& operator=(const PropertyMap& o);
    PropertyMap(PropertyMap&&) noexcept = default;
    PropertyMap& operator=(PropertyMap&&) noexcept = default;

    // Walks a dict in its order; a key that is not a str fails with the
    // conversion TypeError. A null dict gives an empty map.
    static Status from_dict(PyObject* dict, PropertyMap& out);

    // Whether a properties dict holds every entry: each key present and its
    // value == the expected one (the dict's value on the left). 1 or 0; -1
    // with the error of a comparison, or of a lookup that failed with
    // anything drop_exception keeps (a lookup failing with any other
    // Exception counts as no match).
    int held_by(PyObject* props) const;
    // held_by when it can be decided without running Python code (every
    // value compared is an int, bool or str of the same class as the
    // expected one, in a dict of str keys): 1 or 0; otherwise kNeedsPython.
    static constexpr int kNeedsPython = -2;
    int held_by_plainly(PyObject* props) const;
    // A new dict of the entries (the same value objects).
    Ref to_dict() const;

    int traverse(visitproc visit, void* arg) const;
};

struct NodePatternValue {
    std::optional<std::string> variable;
    std::optional<TypeRef> type_obj;
    std::optional<TypeSchemaValue> type_schema;
    PropertyMap properties;

    // The value of NodePattern(variable, type, type_schema, properties):
    // each object may be null (absent) or None (the same).
    static Status create(std::optional<std::string> variable, PyObject* type,
                         PyObject* type_schema, PyObject* properties, NodePatternValue& out);

    int traverse(visitproc visit, void* arg) const { return properties.traverse(visit, arg); }
};

struct EdgePatternValue {
    std::optional<std::string> variable;
    TermHandle term;  // null when absent
    std::optional<TypeSchemaValue> term_type_schema;
    PropertyMap properties;
    std::string direction = "forward";

    // The value of EdgePattern(...), shaped like NodePatternValue::create.
    static Status create(std::optional<std::string> variable, PyObject* term,
                         PyObject* term_type_schema, PyObject* properties, std::string direction,
                         EdgePatternValue& out);

    // Whether the term equals `term`, when given.
    bool term_passes(const TermValue& t) const {
        return !term || term.get() == &t ||
               (term->name == t.name && type_equal(term->type.get(), t.type.get()));
    }

    int traverse(visitproc visit, void* arg) const { return properties.traverse(visit, arg); }
};

// A node pattern's test of the nodes of one walk (the candidates of one
// match or merge): the node's type equals `type`, matches `type_schema`,
// and its properties hold `properties`, each when given. The schema is read
// once per walk and its verdict kept per type value. The pattern must
// outlive the test.
class NodeTest {
public:
    explicit NodeTest(const NodePatternValue& p)
        : p_(&p), schema_(p.type_schema ? &*p.type_schema : nullptr) {}

    // 1 match, 0 no match, -1 with a Python exception set.
    int matches(const NodeValue& node) {
        if (p_->type_obj && !type_equal(node.type().get(), p_->type_obj->get())) return 0;
        if (!schema_.matches(node.type().get())) return 0;
        return p_->properties.held_by(node.properties());
    }
    // matches, or PropertyMap::kNeedsPython when deciding would run Python code.
    int matches_plainly(const NodeValue& node) {
        if (p_->type_obj && !type_equal(node.type().get(), p_->type_obj->get())) return 0;
        if (!schema_.matches(node.type().get())) return 0;
        return p_->properties.held_by_plainly(node.properties());
    }
    // Whether every node passes.
    bool open() const {
        return !p_->type_obj && !p_->type_schema && p_->properties.entries.empty();
    }
    // Whether the test can run Python code (property comparisons).
    bool runs_python() const { return !p_->properties.entries.empty(); }

private:
    const NodePatternValue* p_;
    SchemaTest schema_;
};

// The edge test over one walk, in the same way: the term's type matches
// term_type_schema, the term equals `term`, and the edge's properties hold
// `properties`, each when given. Direction and the end nodes are the path
// matcher's business.
class EdgeTest {
public:
    explicit EdgeTest(const EdgePatternValue& p)
        : p_(&p), schema_(p.term_type_schema ? &*p.term_type_schema : nullptr) {}

    int matches(const EdgeValue& edge) {
        const TermValue& t = edge.term();
        if (!schema_.matches(t.type.get())) return 0;
        if (!p_->term_passes(t)) return 0;
        return p_->properties.held_by(edge.properties());
    }
    bool open() const {
        return !p_->term_type_schema && !p_->term && p_->properties.entries.empty();
    }
    bool runs_python() const { return !p_->properties.entries.empty(); }

private:
    const EdgePatternValue* p_;
    SchemaTest schema_;
};

struct PathPatternValue {
    std::vector<NodePatternValue> nodes;
    std::vector<EdgePatternValue> edges;

    // The path a pattern string describes (PathPattern.parse), or an
    // InvalidPattern error (or a Python error while a property map's values
    // are built).
    static Result<PathPatternValue> parse(std::string_view text);
    // parse, refusing a path whose nodes are not all joined by edges, such
    // as "(a)(b)": the form match and create run.
    static Result<PathPatternValue> parse_joined(std::string_view text);
    // Refuses a pattern string with a variable-length relationship: an
    // edge whose brackets hold a `*` length (after the variable or first,
    // as in "[e*1..3]" and "[*]", or after a label of plain names, as in
    // "[:T*2]"), which the query builder does not read. A `*` of a type
    // schema ("[e:*]", "[e:$*$]") is no length. Text that does not lex as a
    // pattern passes, for the parser to report.
    static Status refuse_lengths(std::string_view text);

    int traverse(visitproc visit, void* arg) const;
};

// The callables of the three pattern classes, each declared once
// (host/args.hpp).
namespace node_pattern_sig {
inline constexpr auto construct =
    constructor("NodePattern.__new__", opt("variable"), opt("type", "..."), opt("type_schema"),
                opt("properties"));
}  // namespace node_pattern_sig
namespace edge_pattern_sig {
inline constexpr auto construct =
    constructor("EdgePattern.__new__", opt("variable"), opt("term"), opt("term_type_schema"),
                opt("properties"), opt("direction", "..."));
}  // namespace edge_pattern_sig
namespace path_pattern_sig {
inline constexpr auto construct = constructor("PathPattern.__new__", opt("pattern"));
inline constexpr auto parse = static_method("PathPattern.parse", req("pattern"));
inline constexpr auto add_node = method("PathPattern.add_node", req("pattern"));
inline constexpr auto add_edge = method("PathPattern.add_edge", req("pattern"));
inline constexpr auto restore = class_method("PathPattern._restore", req("nodes"), req("edges"));
}  // namespace path_pattern_sig

struct PyNodePattern : Obj {
    NodePatternValue value;
};
struct PyEdgePattern : Obj {
    EdgePatternValue value;
};
struct PyPathPattern : Obj {
    PathPatternValue value;
};

extern PyTypeObject* NodePatternType;
extern PyTypeObject* EdgePatternType;
extern PyTypeObject* PathPatternType;

PyTypeObject* create_node_pattern_type();
PyTypeObject* create_edge_pattern_type();
PyTypeObject* create_path_pattern_type();

}  // namespace vk
