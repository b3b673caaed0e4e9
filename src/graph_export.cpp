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
#include <string>
#include <string_view>
#include <unordered_set>

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

}  // namespace vk
