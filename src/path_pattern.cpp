// Path patterns and the pattern-string parser.
//
// A pattern string such as "(n:Person)-[e:knows]->(m:Person)" is read in
// four stages: the text is trimmed; a lexer cuts it into node tokens (a
// parenthesised group) and edge tokens (the arrow characters and bracketed
// content between two nodes); each token becomes a NodePattern or an
// EdgePattern; and the path is checked (at least one node, fewer edges than
// nodes, no edge variable naming any other element). Lexer failures and the
// path checks quote the whole trimmed pattern, element failures the trimmed
// token.
//
// Inside an edge's brackets a parenthesised group belongs to the edge text,
// so a schema such as "e:(f:A -> B) -> C" reaches the edge whole; its
// parentheses must balance there like those of a node. Once a "{" has
// opened a property map inside a node or an edge, quoted text is stepped
// over whole, so a string value may hold brackets, braces and commas.
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "host/args.hpp"
#include "host/pytype.hpp"
#include "patterns.hpp"
#include "pickling.hpp"
#include "property_text.hpp"
#include "text.hpp"

namespace vk {

PyTypeObject* PathPatternType = nullptr;

namespace {

struct Token {
    bool node;
    std::string text;
};

constexpr char kUnmatchedParens[] = "Unmatched parentheses in pattern";
constexpr char kUnmatchedBrackets[] = "Unmatched brackets in pattern";

bool lexer_blank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// Cuts the trimmed pattern into tokens.
Status lex(std::string_view s, std::vector<Token>& tokens) {
    size_t parens = 0;        // inside a node
    size_t brackets = 0;      // inside an edge's brackets
    size_t edge_parens = 0;   // inside parentheses within an edge's brackets
    bool in_map = false;      // a "{" has opened a property map in this node or edge
    std::string node, edge;
    for (size_t i = 0; i < s.size(); ++i) {
        char c = s[i];
        if (parens > 0 || brackets > 0) {
            if (c == '{') in_map = true;
            if (in_map && opens_quote(c)) {
                size_t end = skip_quoted(s, i);
                if (end == std::string_view::npos) return invalid_pattern(s, kUnterminatedString);
                (parens > 0 ? node : edge).append(s.substr(i, end - i));
                i = end - 1;
                continue;
            }
        }
        if (parens > 0) {
            node += c;
            if (c == '(') {
                ++parens;
            } else if (c == ')' && --parens == 0) {
                tokens.push_back({true, std::move(node)});
                node.clear();
                in_map = false;
            }
            continue;
        }
        if (edge_parens > 0) {
            // Up to the matching ")" everything is edge text, brackets included.
            edge += c;
            if (c == '(') ++edge_parens;
            if (c == ')') --edge_parens;
            continue;
        }
        switch (c) {
            case '(':
                if (brackets > 0) {
                    edge += c;
                    ++edge_parens;
                    break;
                }
                if (!trim_white_space(edge).empty()) {
                    tokens.push_back({false, std::string(trim_white_space(edge))});
                }
                edge.clear();
                node.assign(1, '(');
                parens = 1;
                break;
            case ')':
                return invalid_pattern(s, kUnmatchedParens);
            case '[':
                edge += c;
                ++brackets;
                break;
            case ']':
                if (brackets == 0) return invalid_pattern(s, kUnmatchedBrackets);
                edge += c;
                if (--brackets == 0) in_map = false;
                break;
            case '-':
            case '<':
            case '>':
                edge += c;
                break;
            default:
                if (brackets > 0) {
                    edge += c;
                } else if (!lexer_blank(c)) {
                    size_t len = std::min(utf8_length(static_cast<unsigned char>(c)), s.size() - i);
                    return invalid_pattern(s, "Unexpected character '" + std::string(s.substr(i, len)) +
                                                  "' outside of node or edge pattern");
                }
        }
    }
    if (parens != 0 || edge_parens != 0) return invalid_pattern(s, kUnmatchedParens);
    if (brackets != 0) return invalid_pattern(s, kUnmatchedBrackets);
    if (!edge.empty()) return invalid_pattern(s, "Pattern cannot end with an edge");
    return ok_status();
}

// The content of a node's parentheses or an edge's brackets:
// "variable:type {properties}", each part optional. The label is the text
// before the first "{"; failures of the property map quote `token`.
Status read_content(std::string_view token, std::string_view content,
                    std::optional<std::string>& variable, std::optional<TypeSchemaValue>& schema,
                    PropertyMap& properties) {
    size_t brace = content.find('{');
    if (brace != std::string_view::npos) {
        Status s = read_property_map(token, content.substr(brace), properties);
        if (!s) return s;
        content = trim_white_space(content.substr(0, brace));
    }
    std::string_view var = content, type;
    size_t colon = content.find(':');
    if (colon != std::string_view::npos) {
        var = trim_white_space(content.substr(0, colon));
        type = trim_white_space(content.substr(colon + 1));
    }
    if (!var.empty()) variable.emplace(var);
    if (type.empty()) return ok_status();
    // A bare type name asks for the variable type of that name.
    std::string text;
    bool wrap = type.find('$') == std::string_view::npos;
    text.reserve(type.size() + 2);
    if (wrap) text += '$';
    text.append(type);
    if (wrap) text += '$';
    schema = TypeSchemaValue{std::move(text)};
    return ok_status();
}

Result<NodePatternValue> parse_node(std::string_view token) {
    std::string_view s = trim_white_space(token);
    if (s.empty() || s.front() != '(' || s.back() != ')') {
        return invalid_pattern(s, "Node pattern must be enclosed in parentheses");
    }
    NodePatternValue v;
    Status read = read_content(s, trim_white_space(s.substr(1, s.size() - 2)), v.variable,
                               v.type_schema, v.properties);
    if (!read) return PyErrorSet{};
    return v;
}

Result<EdgePatternValue> parse_edge(std::string_view token) {
    std::string_view s = trim_white_space(token);
    constexpr auto npos = std::string_view::npos;
    size_t open = s.find('[');
    size_t close = s.rfind(']');
    // The direction is read from the arrows and the label; a property map's
    // text (whose strings may hold "-" or "->") takes no part.
    std::string_view before = s, after;
    if (open != npos && close != npos && open < close) {
        size_t brace = s.find('{', open);
        if (brace < close) {
            before = s.substr(0, brace);
            after = s.substr(close);
        }
    }
    auto has = [&](std::string_view x) { return before.find(x) != npos || after.find(x) != npos; };
    bool backward = !s.empty() && s.front() == '<';
    bool has_arrow = has("->");
    if (backward && has_arrow) return invalid_pattern(s, "Cannot have both <- and -> in same edge");
    EdgePatternValue v;
    if (backward && has("-")) {
        v.direction = "backward";
    } else if (has_arrow || (!s.empty() && s.back() == '>')) {
        v.direction = "forward";
    } else {
        v.direction = "any";
    }
    if (open == npos) return invalid_pattern(s, "Edge pattern must contain brackets");
    if (close == npos) return invalid_pattern(s, "Edge pattern must contain closing bracket");
    if (close < open) return invalid_pattern(s, "Brackets are mismatched");
    Status read = read_content(s, trim_white_space(s.substr(open + 1, close - open - 1)),
                               v.variable, v.term_type_schema, v.properties);
    if (!read) return PyErrorSet{};
    return v;
}

// A name given to an edge may name nothing else in the path: an edge is
// bound once per match, and a node and an edge cannot share one binding.
Status check_edge_names(std::string_view s, const PathPatternValue& path) {
    std::unordered_map<std::string_view, bool> seen;  // name -> first use is an edge
    seen.reserve(path.nodes.size() + path.edges.size());
    auto visit = [&](const std::optional<std::string>& name, bool edge) -> Status {
        if (!name) return ok_status();
        auto [it, fresh] = seen.emplace(*name, edge);
        if (!fresh && (edge || it->second)) {
            return invalid_pattern(s, "Variable '" + *name +
                                          "' names an edge and another element of the path");
        }
        return ok_status();
    };
    for (size_t i = 0; i < path.nodes.size(); ++i) {
        Status st = visit(path.nodes[i].variable, false);
        if (st && i < path.edges.size()) st = visit(path.edges[i].variable, true);
        if (!st) return st;
    }
    return ok_status();
}

bool name_char(char c) {
    unsigned char u = static_cast<unsigned char>(c);
    return u >= 0x80 || u == '_' || (u >= '0' && u <= '9') || ((u | 0x20) >= 'a' && (u | 0x20) <= 'z');
}

// Whether a label is a run of plain names (joined by "|", each perhaps with
// its own ":") followed by a "*": "T*2", "T|U *".
bool label_then_star(std::string_view t) {
    size_t i = 0;
    auto blanks = [&] {
        while (i < t.size() && lexer_blank(t[i])) ++i;
    };
    for (;;) {
        size_t begin = i;
        while (i < t.size() && name_char(t[i])) ++i;
        if (i == begin) return false;
        blanks();
        if (i < t.size() && t[i] == '*') return true;
        if (i == t.size() || t[i] != '|') return false;
        ++i;
        blanks();
        if (i < t.size() && t[i] == ':') ++i;
        blanks();
    }
}

// Whether an edge token's brackets hold a `*` length.
bool holds_length(std::string_view token) {
    size_t open = token.find('[');
    size_t close = token.rfind(']');
    if (open == std::string_view::npos || close == std::string_view::npos || close < open) {
        return false;
    }
    std::string_view content = token.substr(open + 1, close - open - 1);
    content = content.substr(0, content.find('{'));
    size_t colon = content.find(':');
    if (content.substr(0, colon).find('*') != std::string_view::npos) return true;
    return colon != std::string_view::npos &&
           label_then_star(trim_white_space(content.substr(colon + 1)));
}

}  // namespace

Status PathPatternValue::refuse_lengths(std::string_view text) {
    std::string_view s = trim_white_space(text);
    std::vector<Token> tokens;
    if (s.empty() || !lex(s, tokens)) {
        PyErr_Clear();  // the parser reports what the lexer found
        return ok_status();
    }
    for (const Token& t : tokens) {
        if (!t.node && holds_length(t.text)) {
            return invalid_pattern(
                s, "variable-length relationship '" + t.text +
                       "': variable-length relationships are read by Graph.cypher(), "
                       "not by the query builder");
        }
    }
    return ok_status();
}

Result<PathPatternValue> PathPatternValue::parse(std::string_view text) {
    std::string_view s = trim_white_space(text);
    if (s.empty()) return invalid_pattern("", "Pattern cannot be empty");
    std::vector<Token> tokens;
    Status lexed = lex(s, tokens);
    if (!lexed) return PyErrorSet{};
    PathPatternValue path;
    for (const Token& t : tokens) {
        if (t.node) {
            Result<NodePatternValue> n = parse_node(t.text);
            if (!n) return PyErrorSet{};
            path.nodes.push_back(std::move(*n));
        } else {
            Result<EdgePatternValue> e = parse_edge(t.text);
            if (!e) return PyErrorSet{};
            path.edges.push_back(std::move(*e));
        }
    }
    if (path.nodes.empty()) return invalid_pattern(s, "Pattern must contain at least one node");
    if (path.edges.size() >= path.nodes.size()) {
        return invalid_pattern(s, "Invalid pattern: too many edges for the number of nodes");
    }
    Status names = check_edge_names(s, path);
    if (!names) return PyErrorSet{};
    return path;
}

Result<PathPatternValue> PathPatternValue::parse_joined(std::string_view text) {
    Result<PathPatternValue> path = parse(text);
    if (path && path->edges.size() + 1 != path->nodes.size()) {
        return invalid_pattern(trim_white_space(text),
                               "Every two adjacent nodes must be joined by an edge");
    }
    return path;
}

// ----- Python class ------------------------------------------------------------

namespace {

PathPatternValue& path_of(PyObject* self) { return reinterpret_cast<PyPathPattern*>(self)->value; }

// tp_clear: the path's required property values go, one pattern at a time
// (by index: a release may run Python code that adds to the path).
int path_clear(PyObject* self) {
    PathPatternValue& p = path_of(self);
    for (size_t i = 0; i < p.nodes.size(); ++i) empty_out(p.nodes[i].properties);
    for (size_t i = 0; i < p.edges.size(); ++i) empty_out(p.edges[i].properties);
    return 0;
}

PyObject* new_path(PyTypeObject* type, PathPatternValue v) {
    return reinterpret_cast<PyObject*>(alloc_instance<PyPathPattern>(type, std::move(v)));
}

PyObject* parse_to_python(PyTypeObject* type, Arg pattern) {
    std::string_view text;
    if (!to_str(pattern, text)) return nullptr;
    Result<PathPatternValue> r = PathPatternValue::parse(text);
    if (!r) return nullptr;
    return new_path(type, std::move(*r));
}

PyObject* path_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    Args<path_pattern_sig::construct> a;
    if (!a.bind(args, kwargs)) return nullptr;
    if (!a["pattern"] || a["pattern"] == Py_None) return new_path(type, PathPatternValue{});
    return parse_to_python(type, a["pattern"]);
}

PyObject* path_parse(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    Args<path_pattern_sig::parse> a;
    if (!a.bind(args, nargs, kw)) return nullptr;
    return parse_to_python(PathPatternType, a["pattern"]);
}

// add_node and add_edge: appends a copy of the argument's value to the
// receiver, then returns a new path copied from the receiver.
template <const auto& S, class PyP, class V>
PyObject* add_element(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw,
                      PyTypeObject* element_type, std::vector<V> PathPatternValue::*list) {
    Args<S> a;
    if (!a.bind(args, nargs, kw) || !to_instance(a["pattern"], element_type)) return nullptr;
    ExclusiveBorrow b(self);
    if (!b) return nullptr;
    PathPatternValue& p = path_of(self);
    (p.*list).push_back(reinterpret_cast<PyP*>(a["pattern"].obj)->value);
    return new_path(Py_TYPE(self), p);
}

PyObject* path_add_node(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    return add_element<path_pattern_sig::add_node, PyNodePattern>(
        self, args, nargs, kw, NodePatternType, &PathPatternValue::nodes);
}

PyObject* path_add_edge(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    return add_element<path_pattern_sig::add_edge, PyEdgePattern>(
        self, args, nargs, kw, EdgePatternType, &PathPatternValue::edges);
}

// A new list of new pattern objects copied from the path.
template <class PyP, class V>
PyObject* element_list(PyObject* self, PyTypeObject* element_type,
                       std::vector<V> PathPatternValue::*list) {
    SharedBorrow b(self);
    if (!b) return nullptr;
    const std::vector<V>& items = path_of(self).*list;
    Ref out = Ref::steal(PyList_New(static_cast<Py_ssize_t>(items.size())));
    if (!out) return nullptr;
    for (size_t i = 0; i < items.size(); ++i) {
        PyObject* o = reinterpret_cast<PyObject*>(alloc_instance<PyP>(element_type, items[i]));
        if (!o) return nullptr;
        PyList_SET_ITEM(out.get(), static_cast<Py_ssize_t>(i), o);
    }
    return out.release();
}

PyObject* path_get_nodes(PyObject* self, void*) {
    return element_list<PyNodePattern>(self, NodePatternType, &PathPatternValue::nodes);
}

PyObject* path_get_edges(PyObject* self, void*) {
    return element_list<PyEdgePattern>(self, EdgePatternType, &PathPatternValue::edges);
}

PyObject* path_repr(PyObject* self) {
    SharedBorrow b(self);
    if (!b) return nullptr;
    const PathPatternValue& p = path_of(self);
    return to_py("PathPattern(" + std::to_string(p.nodes.size()) + " nodes, " +
                 std::to_string(p.edges.size()) + " edges)");
}

const MethodEntry path_methods[] = {
    method_entry<path_pattern_sig::parse>(
        path_parse,
        "Parses a Cypher-like pattern string into a PathPattern.\n\n"
        "Nodes are written ``(variable:Type {key: value, ...})``, edges\n"
        "``-[variable:Type {...}]->``, ``<-[...]-`` or ``-[...]-``, each part\n"
        "optional; an edge's type is its term's type (a function type such as\n"
        "``$A -> B$``), and a type containing ``$`` is taken as a schema as it is. A\n"
        "property map's keys are names, or any text in backquotes; its values are\n"
        "numbers, strings in single or double quotes (escapes \\\\ \\' \\\" \\n \\t),\n"
        "true, false, null and lists ``[...]``. An edge's variable may name nothing\n"
        "else in the path. Returns a new PathPattern.\n\n"
        "Raises:\n"
        "    TypeError: ``pattern`` is not a str.\n"
        "    ValueError: \"Invalid pattern '...': reason\" for a malformed pattern."),
    method_entry<path_pattern_sig::add_node>(
        path_add_node,
        "Adds a node pattern to the path.\n\n"
        "Appends a copy of ``pattern`` to this path and returns a new PathPattern\n"
        "copied from it; later additions to either are not seen by the other.\n\n"
        "Raises:\n"
        "    TypeError: ``pattern`` is not a NodePattern."),
    method_entry<path_pattern_sig::add_edge>(
        path_add_edge,
        "Adds an edge pattern to the path.\n\n"
        "Appends a copy of ``pattern`` to this path and returns a new PathPattern\n"
        "copied from it; later additions to either are not seen by the other.\n\n"
        "Raises:\n"
        "    TypeError: ``pattern`` is not a EdgePattern."),
    reduce_entry(path_pattern_reduce),
    method_entry<path_pattern_sig::restore>(path_pattern_restore, kPathPatternRestoreDoc),
};

PyGetSetDef path_getset[] = {
    {"nodes", path_get_nodes, nullptr,
     "The node patterns in order: a new list of new objects on every read.", nullptr},
    {"edges", path_get_edges, nullptr,
     "The edge patterns in order: a new list of new objects on every read.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

const char kDoc[] =
    "Represents a path pattern in a Cypher-like query.\n\n"
    "A chain of node patterns joined by edge patterns, edge k standing between\n"
    "node k and node k + 1. Without ``pattern`` the path is empty; with a str\n"
    "it is parsed as by ``PathPattern.parse``.\n\n"
    "Raises:\n"
    "    TypeError: ``pattern`` is not a str or None.\n"
    "    ValueError: the pattern string is malformed.\n\n"
    "Example::\n\n"
    "    >>> PathPattern(\"(n:Person)-[e:$Person -> Company$]->(m:Company)\")\n"
    "    PathPattern(2 nodes, 1 edges)";

}  // namespace

PyTypeObject* create_path_pattern_type() {
    static PyType_Slot slots[] = {
        {Py_tp_new, (void*)path_new},
        {Py_tp_dealloc, (void*)dealloc_instance<PyPathPattern>},
        {Py_tp_traverse, (void*)traverse_instance<PyPathPattern>},
        {Py_tp_clear, (void*)path_clear},
        {Py_tp_repr, (void*)path_repr},
        {Py_tp_getset, path_getset},
        {0, nullptr},
    };
    PathPatternType = make_type("velkora.PathPattern", sizeof(PyPathPattern), slots,
                                class_doc<path_pattern_sig::construct>(kDoc).c_str(),
                                method_table(path_methods));
    return PathPatternType;
}

}  // namespace vk
