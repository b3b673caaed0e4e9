// Graph.to_networkx() and Graph.to_dot(): a graph handed to NetworkX as a
// MultiDiGraph, and written as Graphviz DOT text.
//
// Both read the graph through walk_graph: every value of `nodes` must be a
// Node and every value of `edges` an Edge (the cast TypeError otherwise, as
// for queries). Nodes come out under their keys in `nodes`; an edge joins its
// start node's uid to its end node's uid. An end point that is not filed in
// `nodes` under its uid (a node deleted after its edge was filed, say) comes
// out once as a node of its own, made from the edge's copy of it, so that no
// edge points at a node without a type or a label.
#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "errors.hpp"
#include "graph.hpp"
#include "host/args.hpp"
#include "host/dict_walk.hpp"
#include "host/ref.hpp"

namespace vk {

namespace {

// Calls on_node(key, node) for every entry of `nodes`, then, for every entry
// of `edges`, on_node(uid, node) for each end point not filed under its uid
// and on_edge(key, edge, start uid, end uid). A callback that fails stops the
// walk. The dicts are walked with change detection: a callback may run
// Python code.
template <class OnNode, class OnEdge>
Status walk_graph(const GraphValue& g, OnNode on_node, OnEdge on_edge) {
    std::unordered_set<std::string> filed;  // the str keys of `nodes`
    Ref key, value;
    int r;
    DictWalk nodes(g.nodes.get());
    while ((r = nodes.next(key, value)) > 0) {
        if (Py_TYPE(value.get()) != NodeType) return cast_error(value.get(), "Node");
        if (PyUnicode_Check(key.get())) {
            Py_ssize_t n;
            const char* s = PyUnicode_AsUTF8AndSize(key.get(), &n);
            if (s) {
                filed.emplace(s, static_cast<size_t>(n));
            } else if (PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) {
                PyErr_Clear();  // not UTF-8, so not a uid either
            } else {
                return PyErrorSet{};
            }
        }
        // A copy: Python code run by the callback may replace the node's dict.
        NodeValue node = node_value(value.get());
        if (!on_node(key.get(), node)) return PyErrorSet{};
    }
    if (r < 0) return PyErrorSet{};
    DictWalk edges(g.edges.get());
    while ((r = edges.next(key, value)) > 0) {
        if (Py_TYPE(value.get()) != EdgeType) return cast_error(value.get(), "Edge");
        EdgeValue edge = edge_value(value.get());
        Hex64 uids[2];
        const NodeValue* ends[2] = {&edge.start(), &edge.end()};
        for (int i = 0; i < 2; ++i) {
            const Hex64* u = ends[i]->uid();
            if (!u) return PyErrorSet{};
            uids[i] = *u;
            if (filed.emplace(uids[i].view()).second) {
                Ref uid = Ref::steal(to_py(uids[i].view()));
                if (!uid || !on_node(uid.get(), *ends[i])) return PyErrorSet{};
            }
        }
        if (!on_edge(key.get(), edge, uids[0].view(), uids[1].view())) return PyErrorSet{};
    }
    return r == 0 ? ok_status() : PyErrorSet{};
}

// ----- NetworkX ------------------------------------------------------------------

Ref import_networkx() {
    Ref nx = Ref::steal(PyImport_ImportModule("networkx"));
    if (nx || !PyErr_ExceptionMatches(PyExc_ImportError)) return nx;
    // The ImportError says what to install; the failed import is its cause.
    PyObject* cause = take_exception();
    PyErr_SetString(PyExc_ImportError,
                    "Graph.to_networkx() needs NetworkX: pip install 'velkora[networkx]'");
    set_pending_cause(cause);
    return Ref();
}

// A new attribute dict: the properties, then the two attributes of our own,
// which win over properties of the same names.
Ref attributes(PyObject* props, const char* k1, Ref v1, const char* k2, Ref v2) {
    if (!v1 || !v2) return Ref();
    Ref d = Ref::steal(PyDict_New());
    if (!d || PyDict_Update(d.get(), props) < 0 || PyDict_SetItemString(d.get(), k1, v1.get()) < 0 ||
        PyDict_SetItemString(d.get(), k2, v2.get()) < 0) {
        return Ref();
    }
    return d;
}

Status append_tuple(PyObject* list, Ref item) {
    return item && PyList_Append(list, item.get()) == 0 ? ok_status() : PyErrorSet{};
}

}  // namespace

PyObject* graph_to_networkx(PyObject* self, PyObject*) {
    Ref nx = import_networkx();
    if (!nx) return nullptr;
    Ref node_list = Ref::steal(PyList_New(0));
    Ref edge_list = Ref::steal(PyList_New(0));
    if (!node_list || !edge_list) return nullptr;
    auto on_node = [&](PyObject* key, const NodeValue& n) -> Status {
        Ref type = Ref::steal(type_to_python(n.type()));
        Ref label = type ? Ref::steal(to_py(type_text(n.type().get()))) : Ref();
        Ref attrs = attributes(n.properties(), "type", std::move(type), "label", std::move(label));
        if (!attrs) return PyErrorSet{};
        return append_tuple(node_list.get(), Ref::steal(PyTuple_Pack(2, key, attrs.get())));
    };
    auto on_edge = [&](PyObject* key, const EdgeValue& e, std::string_view start,
                       std::string_view end) -> Status {
        Ref term = Ref::steal(term_to_python(e.term_handle()));
        Ref label = term ? Ref::steal(to_py(e.term().name)) : Ref();
        Ref attrs =
            attributes(e.properties(), "term", std::move(term), "label", std::move(label));
        Ref u = attrs ? Ref::steal(to_py(start)) : Ref();
        Ref v = u ? Ref::steal(to_py(end)) : Ref();
        if (!v) return PyErrorSet{};
        return append_tuple(edge_list.get(),
                            Ref::steal(PyTuple_Pack(4, u.get(), v.get(), key, attrs.get())));
    };
    if (!walk_graph(reinterpret_cast<PyGraph*>(self)->value, on_node, on_edge)) return nullptr;
    Ref out = Ref::steal(PyObject_CallMethod(nx.get(), "MultiDiGraph", nullptr));
    if (!out) return nullptr;
    Ref done = Ref::steal(PyObject_CallMethod(out.get(), "add_nodes_from", "O", node_list.get()));
    if (!done) return nullptr;
    done = Ref::steal(PyObject_CallMethod(out.get(), "add_edges_from", "O", edge_list.get()));
    if (!done) return nullptr;
    return out.release();
}

// ----- DOT -----------------------------------------------------------------------

namespace {

// A DOT quoted string: quotes and backslashes escaped, line breaks as the
// escapes labels use, other control characters replaced (DOT has no escape
// for them).
void append_quoted(std::string& out, std::string_view s) {
    out += '"';
    for (char c : s) {
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += c; break;
            default:
                if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
                    out += "\xEF\xBF\xBD";  // U+FFFD
                } else {
                    out += c;
                }
        }
    }
    out += '"';
}

}  // namespace

PyObject* graph_to_dot(PyObject* self, PyObject*) {
    std::string out = "digraph {\n  node [shape=box];\n";
    auto on_node = [&](PyObject* key, const NodeValue& n) -> Status {
        std::string_view id;
        if (!PyUnicode_Check(key)) return cast_error(key, "str");
        if (!to_str({"key", key}, id)) return PyErrorSet{};
        out += "  ";
        append_quoted(out, id);
        out += " [label=";
        append_quoted(out, type_text(n.type().get()));
        out += "];\n";
        return ok_status();
    };
    auto on_edge = [&](PyObject*, const EdgeValue& e, std::string_view start,
                       std::string_view end) -> Status {
        out += "  ";
        append_quoted(out, start);
        out += " -> ";
        append_quoted(out, end);
        out += " [label=";
        append_quoted(out, e.term().name);
        out += "];\n";
        return ok_status();
    };
    if (!walk_graph(reinterpret_cast<PyGraph*>(self)->value, on_node, on_edge)) return nullptr;
    out += "}\n";
    return to_py(out);
}

// ----- SVG for notebooks ---------------------------------------------------------

namespace {

// The largest graph drawn (nodes plus edges), and how long dot may take.
constexpr Py_ssize_t kSvgMaxElements = 200;
constexpr double kSvgTimeoutSeconds = 10.0;

// Clears a pending exception that says the drawing could not be made (no
// dot to run, dot failing or too slow, output that is not UTF-8: the kinds
// below, with subprocess.SubprocessError); anything else stays set.
Status pass_over_drawing_failure(PyObject* subprocess_error) {
    PyObject* kinds[] = {PyExc_OSError, PyExc_UnicodeDecodeError, subprocess_error};
    for (PyObject* k : kinds) {
        if (PyErr_ExceptionMatches(k)) {
            PyErr_Clear();
            return ok_status();
        }
    }
    return PyErrorSet{};
}

}  // namespace

PyObject* graph_repr_svg(PyObject* self, PyObject*) {
    const GraphValue& g = reinterpret_cast<PyGraph*>(self)->value;
    if (PyDict_GET_SIZE(g.nodes.get()) + PyDict_GET_SIZE(g.edges.get()) > kSvgMaxElements) {
        Py_RETURN_NONE;
    }
    Ref shutil = Ref::steal(PyImport_ImportModule("shutil"));
    Ref dot = shutil ? Ref::steal(PyObject_CallMethod(shutil.get(), "which", "s", "dot")) : Ref();
    if (!dot) return nullptr;
    if (dot.get() == Py_None) return dot.release();
    Ref text = Ref::steal(graph_to_dot(self, nullptr));
    Ref input = text ? Ref::steal(PyUnicode_AsUTF8String(text.get())) : Ref();
    Ref subprocess = input ? Ref::steal(PyImport_ImportModule("subprocess")) : Ref();
    Ref run = subprocess ? Ref::steal(PyObject_GetAttrString(subprocess.get(), "run")) : Ref();
    Ref failed =
        run ? Ref::steal(PyObject_GetAttrString(subprocess.get(), "SubprocessError")) : Ref();
    Ref argv = failed ? Ref::steal(Py_BuildValue("([Os])", dot.get(), "-Tsvg")) : Ref();
    Ref kwargs = argv ? Ref::steal(Py_BuildValue("{sOsOsd}", "input", input.get(),
                                                 "capture_output", Py_True, "timeout",
                                                 kSvgTimeoutSeconds))
                      : Ref();
    if (!kwargs) return nullptr;
    Ref done = Ref::steal(PyObject_Call(run.get(), argv.get(), kwargs.get()));
    Ref code = done ? Ref::steal(PyObject_GetAttrString(done.get(), "returncode")) : Ref();
    if (code) {
        long c = PyLong_AsLong(code.get());
        if (c == -1 && PyErr_Occurred()) return nullptr;
        if (c != 0) Py_RETURN_NONE;
        Ref out = Ref::steal(PyObject_GetAttrString(done.get(), "stdout"));
        if (!out) return nullptr;
        Ref svg = Ref::steal(PyUnicode_FromEncodedObject(out.get(), "utf-8", "strict"));
        if (svg) return svg.release();
    }
    if (!pass_over_drawing_failure(failed.get())) return nullptr;
    Py_RETURN_NONE;
}

}  // namespace vk

// ----- Cypher export ---------------------------------------------------------------
//
// to_cypher() takes the graph's entries when it is called (the nodes of
// `nodes`, then the end points of edges that no entry holds, then the edges
// of `edges`) and returns an iterator over them that makes one statement per
// batch when it is asked for the batch. The entries are records that never
// change, so later changes to the two dicts do not reach the iterator; a
// properties dict is read when its element's batch is made, with change
// detection, since converting its values may run Python code (a collection
// and the finalizers it calls).

namespace vk {

PyTypeObject* CypherExportType = nullptr;

namespace {

struct ExportNode {
    NodeValue node;
    Ref key;  // its key in `nodes`, or its uid for an end point filed nowhere
};
struct ExportEdge {
    EdgeValue edge;
    Ref key;
};

struct CypherExportState {
    std::vector<ExportNode> nodes;
    std::vector<ExportEdge> edges;
    size_t next = 0;  // the first element of the next batch, counting nodes then edges
    size_t batch_size = 1000;

    size_t total() const { return nodes.size() + edges.size(); }
    int traverse(visitproc visit, void* arg) const {
        for (const ExportNode& n : nodes) {
            Py_VISIT(n.key.get());
            if (int r = n.node.traverse(visit, arg)) return r;
        }
        for (const ExportEdge& e : edges) {
            Py_VISIT(e.key.get());
            if (int r = e.edge.traverse(visit, arg)) return r;
        }
        return 0;
    }
};

struct PyCypherExport : Obj {
    CypherExportState value;
};

// The element an error names: the kind, its key, and what it is as printed
// (cut short: a type may be nested thousands of levels deep).
struct Subject {
    const char* kind;  // "node" or "edge"
    PyObject* key;
    const NodeValue* node;
    const EdgeValue* edge;

    std::string what() const {
        std::string s = node ? type_text(node->type().get())
                             : edge->term().name + ": " + type_text(edge->term().type.get());
        constexpr size_t kMax = 80;
        if (s.size() > kMax) {
            size_t cut = kMax;
            while (cut > 0 && (static_cast<unsigned char>(s[cut]) & 0xC0) == 0x80) --cut;
            s.resize(cut);
            s += "...";
        }
        return s;
    }
};

// ValueError "cannot export node 'KEY' (TYPE): property 'K' <reason>".
Status refuse(const Subject& who, PyObject* prop, const std::string& reason,
              const char* lead = "property") {
    std::string what = who.what();
    Ref msg = Ref::steal(PyUnicode_FromFormat("cannot export %s %R (%s): %s %R %s", who.kind,
                                              who.key, what.c_str(), lead, prop, reason.c_str()));
    if (msg) PyErr_SetObject(PyExc_ValueError, msg.get());
    return PyErrorSet{};
}

// The scalar kinds every one of the databases stores, and their Cypher names.
enum Scalar { kBool, kInt, kFloat, kStr, kNoScalar };
const char* const kScalarNames[] = {"Boolean", "Integer", "Float", "String"};

Scalar scalar_kind(PyObject* v) {
    if (PyBool_Check(v)) return kBool;
    if (PyLong_Check(v)) return kInt;
    if (PyFloat_Check(v)) return kFloat;
    if (PyUnicode_Check(v)) return kStr;
    return kNoScalar;
}

bool has_lone_surrogate(PyObject* s) {
    int kind = PyUnicode_KIND(s);
    if (kind == PyUnicode_1BYTE_KIND) return false;
    const void* data = PyUnicode_DATA(s);
    for (Py_ssize_t i = 0, n = PyUnicode_GET_LENGTH(s); i < n; ++i) {
        Py_UCS4 c = PyUnicode_READ(kind, data, i);
        if (c >= 0xD800 && c <= 0xDFFF) return true;
    }
    return false;
}

// A value as the export hands it to a driver, or why no database stores it.
// Neither: a Python exception is set.
struct Exported {
    Ref value;
    std::string refusal;
};

// A scalar of kind k: the object itself, or a plain int, float or str for an
// instance of a subclass (which a driver might print by its own __str__).
Exported export_scalar(PyObject* v, Scalar k) {
    switch (k) {
        case kInt: {
            int overflow = 0;
            long long x = PyLong_AsLongLongAndOverflow(v, &overflow);
            if (overflow) return {Ref(), "an integer outside 64 bits"};
            if (x == -1 && PyErr_Occurred()) return {};
            return {PyLong_CheckExact(v) ? Ref::borrow(v) : Ref::steal(PyLong_FromLongLong(x))};
        }
        case kFloat:
            return {PyFloat_CheckExact(v) ? Ref::borrow(v)
                                          : Ref::steal(PyFloat_FromDouble(PyFloat_AS_DOUBLE(v)))};
        case kStr:
            if (has_lone_surrogate(v)) return {Ref(), "a str with a lone surrogate (not text)"};
            return {PyUnicode_CheckExact(v) ? Ref::borrow(v) : Ref::steal(PyUnicode_FromObject(v))};
        default:
            return {Ref::borrow(v)};
    }
}

std::string type_of(PyObject* v) { return std::string("'") + type_name(Py_TYPE(v)) + "'"; }

// A list or tuple: a new list of scalars of one kind (an empty one included).
Exported export_list(PyObject* v) {
    Ref out = Ref::steal(PyList_New(0));
    if (!out) return {};
    Scalar first = kNoScalar;
    // Re-read each time: a finalizer run by an allocation may change a list.
    for (Py_ssize_t i = 0; i < Py_SIZE(v); ++i) {
        Ref item = Ref::borrow(PyList_Check(v) ? PyList_GET_ITEM(v, i) : PyTuple_GET_ITEM(v, i));
        PyObject* x = item.get();
        if (x == Py_None) return {Ref(), "a list with a null item"};
        if (PyList_Check(x) || PyTuple_Check(x)) return {Ref(), "a list of lists"};
        if (PyDict_Check(x)) return {Ref(), "a list of maps"};
        Scalar k = scalar_kind(x);
        if (k == kNoScalar) return {Ref(), "a list with an item of type " + type_of(x)};
        if (first != kNoScalar && k != first) {
            return {Ref(), std::string("a list of mixed kinds (") + kScalarNames[first] + " and " +
                               kScalarNames[k] + ")"};
        }
        first = k;
        Exported e = export_scalar(x, k);
        if (!e.value) {
            if (!e.refusal.empty()) e.refusal = "a list with " + e.refusal;
            return e;
        }
        if (PyList_Append(out.get(), e.value.get()) < 0) return {};
    }
    return {std::move(out)};
}

Exported export_value(PyObject* v) {
    Scalar k = scalar_kind(v);
    if (k != kNoScalar) return export_scalar(v, k);
    if (PyList_Check(v) || PyTuple_Check(v)) return export_list(v);
    if (PyDict_Check(v)) return {Ref(), "a map, which no database stores as a property"};
    return {Ref(), "a value of type " + type_of(v) + ", which no database stores"};
}

// The parameter map of one element: its properties as the database will
// hold them (None left out), then `uid` and, for an edge, `term_type`.
Ref export_properties(const Subject& who, PyObject* props, PyObject* uid, PyObject* term_type) {
    Ref out = Ref::steal(PyDict_New());
    if (!out) return Ref();
    DictWalk walk(props);
    Ref key, value;
    int r;
    while ((r = walk.next(key, value)) > 0) {
        PyObject* k = key.get();
        if (!PyUnicode_Check(k)) return (void)refuse(who, k, "is not a str", "property key"), Ref();
        const char* ours = nullptr;  // what the export stores under this name
        if (PyUnicode_CompareWithASCIIString(k, "uid") == 0) {
            ours = "uid";
        } else if (term_type && PyUnicode_CompareWithASCIIString(k, "term_type") == 0) {
            ours = "term's type";
        }
        if (ours) {
            (void)refuse(who, k, std::string("is refused: the export stores the ") + who.kind +
                                     "'s " + ours + " under that name");
            return Ref();
        }
        if (value.get() == Py_None) continue;  // a database holds no null property
        Exported e = export_value(value.get());
        if (!e.value) {
            if (!e.refusal.empty()) (void)refuse(who, k, "holds " + e.refusal);
            return Ref();
        }
        if (PyDict_SetItem(out.get(), k, e.value.get()) < 0) return Ref();
    }
    if (r < 0 || PyDict_SetItemString(out.get(), "uid", uid) < 0) return Ref();
    if (term_type && PyDict_SetItemString(out.get(), "term_type", term_type) < 0) return Ref();
    return out;
}

// A label or relationship type in backquotes, a backquote in it doubled.
void append_name(std::string& out, std::string_view name) {
    out += '`';
    for (char c : name) {
        if (c == '`') out += '`';
        out += c;
    }
    out += '`';
}

Status refuse_empty_name(const Subject& who, const char* what) {
    std::string w = who.what();
    Ref msg = Ref::steal(PyUnicode_FromFormat(
        "cannot export %s %R (%s): its %s is empty, and no database takes an empty %s", who.kind,
        who.key, w.c_str(), what, who.node ? "label" : "relationship type"));
    if (msg) PyErr_SetObject(PyExc_ValueError, msg.get());
    return PyErrorSet{};
}

// "n0", "r12": a parameter or variable name (written in two steps: GCC 12
// warns wrongly about `"n" + std::to_string(i)`).
std::string param_name(char prefix, size_t i) {
    std::string s(1, prefix);
    s += std::to_string(i);
    return s;
}

Status set_param(PyObject* params, const std::string& name, Ref value) {
    if (!value) return PyErrorSet{};
    Ref k = Ref::steal(to_py(name));
    return k && PyDict_SetItem(params, k.get(), value.get()) == 0 ? ok_status() : PyErrorSet{};
}

// The statement of elements [from, to) (nodes, then edges) and its
// parameters, as a (query, parameters) pair: one CREATE of every element,
// then one SET of each element's properties from its parameter map (FalkorDB
// takes no parameter map inside a CREATE pattern, while all three take
// `SET x = $map`). An edge joins a node of the same batch by its variable;
// other ends are matched by uid first, each once.
Ref make_batch(const CypherExportState& s, size_t from, size_t to) {
    Ref params = Ref::steal(PyDict_New());
    if (!params) return Ref();
    const size_t n_nodes = s.nodes.size();
    std::string match, create, set;
    std::unordered_map<std::string_view, std::string> var_of;  // node uid -> variable
    auto add_set = [&](const std::string& var) {
        set += set.empty() ? " SET " : ", ";
        set += var + " = $" + var;
    };
    for (size_t i = from; i < std::min(to, n_nodes); ++i) {
        const ExportNode& x = s.nodes[i];
        Subject who{"node", x.key.get(), &x.node, nullptr};
        std::string label = type_text(x.node.type().get());
        if (label.empty()) return (void)refuse_empty_name(who, "type"), Ref();
        std::string var = param_name('n', i - from);
        PyObject* uid = node_key_of_type(x.node.type().get());
        if (!uid) return Ref();
        Ref props = export_properties(who, x.node.properties(), uid, nullptr);
        if (!props || !set_param(params.get(), var, std::move(props))) return Ref();
        create += create.empty() ? "CREATE (" : ", (";
        create += var + ":Type:";
        append_name(create, label);
        create += ")";
        add_set(var);
        if (to > n_nodes) var_of.emplace(x.node.uid()->view(), var);
    }
    size_t matched = 0;
    for (size_t i = std::max(from, n_nodes); i < to; ++i) {
        const ExportEdge& x = s.edges[i - n_nodes];
        const EdgeValue& e = x.edge;
        Subject who{"edge", x.key.get(), nullptr, &e};
        if (e.term().name.empty()) return (void)refuse_empty_name(who, "term's name"), Ref();
        std::string ends[2];
        const NodeValue* end_nodes[2] = {&e.start(), &e.end()};
        for (int j = 0; j < 2; ++j) {
            const Hex64* u = end_nodes[j]->uid();
            if (!u) return Ref();
            auto [it, fresh] = var_of.try_emplace(u->view());
            if (fresh) {
                it->second = param_name('v', matched++);
                match += match.empty() ? "MATCH (" : ", (";
                match += it->second + ":Type {uid: $" + it->second + "})";
                if (!set_param(params.get(), it->second,
                               Ref::borrow(node_key_of_type(end_nodes[j]->type().get())))) {
                    return Ref();
                }
            }
            ends[j] = it->second;
        }
        std::string var = param_name('r', i - std::max(from, n_nodes));
        PyObject* uid = edge_key_of_term(e.term());
        Ref term_type = uid ? Ref::steal(to_py(type_text(e.term().type.get()))) : Ref();
        if (!term_type) return Ref();
        Ref props = export_properties(who, e.properties(), uid, term_type.get());
        if (!props || !set_param(params.get(), var, std::move(props))) return Ref();
        create += create.empty() ? "CREATE (" : ", (";
        create += ends[0] + ")-[" + var + ":";
        append_name(create, e.term().name);
        create += "]->(" + ends[1] + ")";
        add_set(var);
    }
    std::string query = match.empty() ? std::move(create) : match + " " + create;
    query += set;
    Ref text = Ref::steal(to_py(query));
    if (!text) return Ref();
    return Ref::steal(PyTuple_Pack(2, text.get(), params.get()));
}

// The graph's entries, in the order the batches hold them. An edge's end
// point that no entry of `nodes` holds (by uid) becomes a node of its own,
// made from the edge's copy of it, once.
Status take_entries(const GraphValue& g, CypherExportState& s) {
    std::unordered_map<std::string_view, size_t> by_uid;  // node uid -> index in s.nodes
    const auto n_nodes = static_cast<size_t>(PyDict_GET_SIZE(g.nodes.get()));
    const auto n_edges = static_cast<size_t>(PyDict_GET_SIZE(g.edges.get()));
    by_uid.reserve(n_nodes);
    s.nodes.reserve(n_nodes);
    s.edges.reserve(n_edges);
    Ref key, value;
    int r;
    DictWalk nodes(g.nodes.get());
    while ((r = nodes.next(key, value)) > 0) {
        if (Py_TYPE(value.get()) != NodeType) return cast_error(value.get(), "Node");
        NodeValue n = node_value(value.get());
        const Hex64* u = n.uid();
        if (!u) return PyErrorSet{};
        auto [it, fresh] = by_uid.emplace(u->view(), s.nodes.size());
        if (!fresh) {
            std::string what = Subject{"node", key.get(), &n, nullptr}.what();
            Ref msg = Ref::steal(PyUnicode_FromFormat(
                "cannot export node %R (%s): the node under %R has the same uid, and a "
                "database would hold two nodes of one uid",
                key.get(), what.c_str(), s.nodes[it->second].key.get()));
            if (msg) PyErr_SetObject(PyExc_ValueError, msg.get());
            return PyErrorSet{};
        }
        s.nodes.push_back({std::move(n), std::move(key)});
    }
    if (r < 0) return PyErrorSet{};
    DictWalk edges(g.edges.get());
    while ((r = edges.next(key, value)) > 0) {
        if (Py_TYPE(value.get()) != EdgeType) return cast_error(value.get(), "Edge");
        EdgeValue e = edge_value(value.get());
        for (const NodeValue* end : {&e.start(), &e.end()}) {
            const Hex64* u = end->uid();
            if (!u) return PyErrorSet{};
            if (by_uid.emplace(u->view(), s.nodes.size()).second) {
                Ref uid = Ref::borrow(node_key_of_type(end->type().get()));
                if (!uid) return PyErrorSet{};
                s.nodes.push_back({*end, std::move(uid)});
            }
        }
        s.edges.push_back({std::move(e), std::move(key)});
    }
    return r == 0 ? ok_status() : PyErrorSet{};
}

Status to_batch_size(Arg a, size_t& out) {
    if (!a.obj) return ok_status();
    if (!PyLong_Check(a.obj) || PyBool_Check(a.obj)) {
        return arg_error(a.name, cast_message(a.obj, "int"));
    }
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(a.obj, &overflow);
    if (v == -1 && !overflow && PyErr_Occurred()) return PyErrorSet{};
    if (overflow < 0 || (!overflow && v <= 0)) {
        PyErr_Format(PyExc_ValueError, "argument '%s': must be a positive int, not %R", a.name,
                     a.obj);
        return PyErrorSet{};
    }
    // Past what any graph holds, a larger size means the same: one batch.
    out = overflow ? SIZE_MAX : static_cast<size_t>(v);
    return ok_status();
}

PyObject* cypher_export_next(PyObject* self) {
    // Declared before the borrow, so that releasing the entries (which may
    // run Python code) happens once the borrow is over.
    CypherExportState done;
    ExclusiveBorrow b(self);
    if (!b) return nullptr;
    CypherExportState& s = reinterpret_cast<PyCypherExport*>(self)->value;
    const size_t total = s.total();
    if (s.next >= total) return nullptr;
    const size_t from = s.next, to = from + std::min(s.batch_size, total - from);
    Ref batch = make_batch(s, from, to);
    // After the last batch, or a refusal (which ends the iteration, as an
    // exception ends a generator), the entries are let go.
    s.next = batch ? to : total;
    if (s.next == total) std::swap(done, s);
    return batch.release();
}

int cypher_export_clear(PyObject* self) {
    empty_out(reinterpret_cast<PyCypherExport*>(self)->value.nodes);
    empty_out(reinterpret_cast<PyCypherExport*>(self)->value.edges);
    return 0;
}

}  // namespace

PyTypeObject* create_cypher_export_type() {
    static PyType_Slot slots[] = {
        {Py_tp_dealloc, (void*)dealloc_instance<PyCypherExport>},
        {Py_tp_traverse, (void*)traverse_instance<PyCypherExport>},
        {Py_tp_clear, (void*)cypher_export_clear},
        {Py_tp_iter, (void*)PyObject_SelfIter},
        {Py_tp_iternext, (void*)cypher_export_next},
        {0, nullptr},
    };
    CypherExportType = make_type(
        "velkora._CypherExport", sizeof(PyCypherExport), slots,
        "The iterator of Graph.to_cypher(): (query, parameters) pairs, one per batch.", nullptr,
        Py_TPFLAGS_DISALLOW_INSTANTIATION);
    return CypherExportType;
}

PyObject* graph_to_cypher(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
    Args<graph_sig::to_cypher> a;
    size_t batch_size = 1000;
    if (!a.bind(args, nargs, kwnames) || !to_batch_size(a["batch_size"], batch_size)) {
        return nullptr;
    }
    CypherExportState s;
    s.batch_size = batch_size;
    if (!take_entries(reinterpret_cast<PyGraph*>(self)->value, s)) return nullptr;
    return reinterpret_cast<PyObject*>(
        alloc_instance<PyCypherExport>(CypherExportType, std::move(s)));
}

}  // namespace vk

namespace vk {

const char kGraphToCypherDoc[] =
    "Returns an iterator of (query, parameters) pairs that build the graph in a\n"
    "graph database.\n\n"
    "Run in order through an openCypher client, in an empty database, the\n"
    "statements make one database node per entry of ``nodes`` (and per end\n"
    "point of an edge that no entry holds), with the labels ``Type`` and the\n"
    "node's type as printed, and one relationship per entry of ``edges``, of\n"
    "the term's name as its type; each holds its properties, its uid in a\n"
    "property ``uid``, and a relationship its term's type as printed in\n"
    "``term_type``::\n\n"
    "    for query, parameters in graph.to_cypher():\n"
    "        session.run(query, parameters)   # Neo4j's driver; FalkorDB's:\n"
    "        # falkordb_graph.query(query, parameters)\n\n"
    "Each statement holds up to ``batch_size`` elements, nodes first, then\n"
    "edges, every batch full but the last (an empty graph yields nothing).\n"
    "Labels and relationship types can only be written into a statement, so\n"
    "a batch is one statement of many patterns, its values in parameters: a\n"
    "``CREATE`` of every element, then a ``SET`` of each one's properties from\n"
    "its parameter map (FalkorDB takes no parameter map inside a ``CREATE``\n"
    "pattern). Edges find the ends that their batch does not create by\n"
    "``uid``::\n\n"
    "    CREATE (n0:Type:`Person`), (n1:Type:`Company`) SET n0 = $n0, n1 = $n1\n"
    "    MATCH (v0:Type {uid: $v0}), (v1:Type {uid: $v1})\n"
    "    CREATE (v0)-[r0:`works_for`]->(v1) SET r0 = $r0\n\n"
    "with parameters such as ``{\"n0\": {\"name\": \"Alice\", \"uid\": \"...\"}, ...}``.\n"
    "Labels and relationship types are backquoted, a backquote in them\n"
    "doubled. An index on ``:Type(uid)`` keeps the matching of ends linear;\n"
    "create it first:\n\n"
    "- Neo4j 5: ``CREATE INDEX type_uid IF NOT EXISTS FOR (n:Type) ON (n.uid)``\n"
    "- FalkorDB: ``CREATE INDEX FOR (n:Type) ON (n.uid)``\n"
    "- Memgraph: ``CREATE INDEX ON :Type(uid)``\n\n"
    "Property values go over as Neo4j, Memgraph and FalkorDB all store them:\n"
    "``bool``, ``int`` within 64 bits, ``float``, ``str``, and lists (or\n"
    "tuples) of one of those kinds, empty ones included, each as a new list;\n"
    "an instance of a subclass of ``int``, ``float`` or ``str`` as a plain\n"
    "one. A property whose value is None is left out: a database holds no\n"
    "null property. Anything else raises ValueError, naming the node or edge\n"
    "and the key, before the batch that holds it is yielded: a map, a list of\n"
    "lists, of maps, of mixed kinds or with a null item (Neo4j stores none of\n"
    "them), an int outside 64 bits, a str with a lone surrogate, a value of\n"
    "no Cypher kind (bytes, a Node, a Decimal), a property key that is not a\n"
    "str, a node property named ``uid``, an edge property named ``uid`` or\n"
    "``term_type``, and an empty label or relationship type (a type or term\n"
    "named ``\"\"``). FalkorDB (4.22, as falkordblite 0.11 embeds it) has\n"
    "limits of its own beside these: its parser takes no backquote inside a\n"
    "name, its Python client sends no NaN or infinite float and no backquote\n"
    "in a property key, it keeps 15 significant digits of a float, and it\n"
    "refuses a str holding NUL. A type printed ``Type`` gives its nodes the\n"
    "one label ``Type``.\n\n"
    "The graph's entries are taken when this is called: later changes to\n"
    "``nodes`` and ``edges`` do not reach the iterator. Each element's\n"
    "properties are read when its batch is made, and a properties dict that\n"
    "changes size meanwhile raises RuntimeError. After an error the\n"
    "iterator is exhausted, as a generator is.\n\n"
    "Args:\n"
    "    batch_size: a positive int, the most elements one statement holds.\n\n"
    "Raises:\n"
    "    TypeError: ``batch_size`` is not an int; a value of ``nodes`` is not\n"
    "        a Node, or one of ``edges`` is not an Edge.\n"
    "    ValueError: ``batch_size`` is not positive; two entries of ``nodes``\n"
    "        hold nodes of one uid; and, from the iterator, what no database\n"
    "        stores (above).";

}  // namespace vk
