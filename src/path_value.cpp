#include "path_value.hpp"

#include <algorithm>
#include <cstring>
#include <string>

#include "digest.hpp"
#include "host/pytype.hpp"
#include "pickling.hpp"

namespace vk {

PyTypeObject* PathType = nullptr;

namespace {

// 1 when the two uids are equal, 0 when not, -1 when a digest failed.
int same_uid(const Hex64* a, const Hex64* b) {
    if (!a || !b) return -1;
    return a == b || std::memcmp(a->d, b->d, sizeof a->d) == 0;
}

int same_node(const NodeValue& a, const NodeValue& b) {
    // Nodes of one type value, the common case, need no digest.
    if (a.type().get() == b.type().get()) return 1;
    return same_uid(a.uid(), b.uid());
}

}  // namespace

Status PathValue::make(std::vector<NodeValue> nodes, std::vector<EdgeValue> edges,
                       PathValue& out) {
    if (nodes.size() != edges.size() + 1) {
        PyErr_Format(PyExc_ValueError,
                     "a path has one node more than it has edges, not %zu nodes and %zu edges",
                     nodes.size(), edges.size());
        return PyErrorSet{};
    }
    std::vector<bool> forward(edges.size());
    for (size_t i = 0; i < edges.size(); ++i) {
        const EdgeValue& e = edges[i];
        int s0 = same_node(e.start(), nodes[i]);
        int e1 = s0 == 1 ? same_node(e.end(), nodes[i + 1]) : 0;
        if (s0 < 0 || e1 < 0) return PyErrorSet{};
        if (s0 == 1 && e1 == 1) {
            forward[i] = true;
            continue;
        }
        int e0 = same_node(e.end(), nodes[i]);
        int s1 = e0 == 1 ? same_node(e.start(), nodes[i + 1]) : 0;
        if (e0 < 0 || s1 < 0) return PyErrorSet{};
        if (e0 != 1 || s1 != 1) {
            PyErr_Format(PyExc_ValueError, "edge %zu (%s) does not join node %zu and node %zu", i,
                         e.term().name.c_str(), i, i + 1);
            return PyErrorSet{};
        }
        forward[i] = false;
    }
    out.nodes = std::move(nodes);
    out.edges = std::move(edges);
    out.forward = std::move(forward);
    return ok_status();
}

int PathValue::traverse(visitproc visit, void* arg) const {
    for (const NodeValue& n : nodes) {
        if (int r = n.traverse(visit, arg)) return r;
    }
    for (const EdgeValue& e : edges) {
        if (int r = e.traverse(visit, arg)) return r;
    }
    return 0;
}

PyObject* path_to_python(PathValue v) {
    return reinterpret_cast<PyObject*>(alloc_instance<PyPath>(PathType, std::move(v)));
}

namespace {

// Copies the values of the objects, each of `type` (V read by `value_of`).
template <class V, class F>
Status values_of(const char* name, PyObject* const* items, size_t n, PyTypeObject* type,
                 F value_of, std::vector<V>& out) {
    out.reserve(n);
    for (size_t i = 0; i < n; ++i) {
        // Copying a value runs no Python code, so the sequence cannot change here.
        if (!to_instance({name, items[i]}, type)) return PyErrorSet{};
        out.push_back(value_of(items[i]));
    }
    return ok_status();
}

}  // namespace

PyObject* make_path(PyObject* const* nodes, size_t n, PyObject* const* edges, size_t m) {
    std::vector<NodeValue> nv;
    std::vector<EdgeValue> ev;
    PathValue v;
    if (!values_of("nodes", nodes, n, NodeType, node_value, nv) ||
        !values_of("edges", edges, m, EdgeType, edge_value, ev) ||
        !PathValue::make(std::move(nv), std::move(ev), v)) {
        return nullptr;
    }
    return path_to_python(std::move(v));
}

PyObject* make_path(const std::vector<Ref>& nodes, const std::vector<Ref>& edges) {
    // A Ref is exactly one PyObject*, so the vectors read as arrays of them.
    static_assert(sizeof(Ref) == sizeof(PyObject*));
    return make_path(reinterpret_cast<PyObject* const*>(nodes.data()), nodes.size(),
                     reinterpret_cast<PyObject* const*>(edges.data()), edges.size());
}

namespace {

// A new list or tuple (`tuple`) of new objects made by `wrap` from `items`.
template <class V, class F>
PyObject* wrapped(const std::vector<V>& items, F wrap, bool tuple) {
    Py_ssize_t n = static_cast<Py_ssize_t>(items.size());
    Ref out = Ref::steal(tuple ? PyTuple_New(n) : PyList_New(n));
    if (!out) return nullptr;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* o = wrap(items[static_cast<size_t>(i)]);
        if (!o) return nullptr;
        if (tuple) {
            PyTuple_SET_ITEM(out.get(), i, o);
        } else {
            PyList_SET_ITEM(out.get(), i, o);
        }
    }
    return out.release();
}

}  // namespace

PyObject* path_node_list(const PathValue& p, bool tuple) {
    return wrapped(p.nodes, node_to_python, tuple);
}
PyObject* path_edge_list(const PathValue& p, bool tuple) {
    return wrapped(p.edges, edge_to_python, tuple);
}

int path_equal(const PathValue& a, const PathValue& b) {
    if (a.nodes.size() != b.nodes.size()) return 0;
    for (size_t i = 0; i < a.nodes.size(); ++i) {
        int r = same_node(a.nodes[i], b.nodes[i]);
        if (r != 1) return r;
    }
    for (size_t i = 0; i < a.edges.size(); ++i) {
        const EdgeValue &x = a.edges[i], &y = b.edges[i];
        if (&x.term() == &y.term()) continue;
        int r = same_uid(x.uid(), y.uid());
        if (r != 1) return r;
    }
    return 1;
}

Py_hash_t path_hash(const PathValue& p) {
    // Node uids and edge uids are digests of different prefixes, so the
    // nodes may be fed before the edges without two paths colliding by it.
    SipHash13 h;
    h.update_u32le(static_cast<uint32_t>(p.edges.size()));
    for (const NodeValue& n : p.nodes) {
        const Hex64* u = n.uid();
        if (!u) return -1;
        h.update(u->d, sizeof u->d);
    }
    for (const EdgeValue& e : p.edges) {
        const Hex64* u = e.uid();
        if (!u) return -1;
        h.update(u->d, sizeof u->d);
    }
    return narrow_hash(h.finish());
}

int path_order(const PathValue& a, const PathValue& b, int* out) {
    *out = 0;
    const size_t n = std::min(a.nodes.size(), b.nodes.size());
    for (size_t i = 0; i < n; ++i) {
        const Hex64 *x = a.nodes[i].uid(), *y = b.nodes[i].uid();
        if (!x || !y) return -1;
        if (int c = std::memcmp(x->d, y->d, sizeof x->d)) {
            *out = c < 0 ? -1 : 1;
            return 0;
        }
        if (i + 1 == n) break;
        x = a.edges[i].uid();
        y = b.edges[i].uid();
        if (!x || !y) return -1;
        if (int c = std::memcmp(x->d, y->d, sizeof x->d)) {
            *out = c < 0 ? -1 : 1;
            return 0;
        }
    }
    *out = a.nodes.size() < b.nodes.size() ? -1 : a.nodes.size() > b.nodes.size() ? 1 : 0;
    return 0;
}

namespace {

// ----- Python class ------------------------------------------------------------

// The items of a list or tuple argument, borrowed.
Status items_of(Arg a, PyObject* const*& items, size_t& n) {
    if (!PyList_Check(a.obj) && !PyTuple_Check(a.obj)) {
        return arg_error(a.name, cast_message(a.obj, "list"));
    }
    items = PySequence_Fast_ITEMS(a.obj);
    n = static_cast<size_t>(PySequence_Fast_GET_SIZE(a.obj));
    return ok_status();
}

PyObject* path_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
    Args<path_sig::construct> a;
    PyObject* const* nodes = nullptr;
    PyObject* const* edges = nullptr;
    size_t n = 0, m = 0;
    if (!a.bind(args, kwargs) || !items_of(a["nodes"], nodes, n) ||
        !items_of(a["edges"], edges, m)) {
        return nullptr;
    }
    return make_path(nodes, n, edges, m);
}

PyObject* path_get_nodes(PyObject* self, void*) { return path_node_list(path_value(self), true); }
PyObject* path_get_edges(PyObject* self, void*) { return path_edge_list(path_value(self), true); }

Py_ssize_t path_len(PyObject* self) {
    return static_cast<Py_ssize_t>(path_value(self).edges.size());
}

Py_hash_t path_py_hash(PyObject* self) { return path_hash(path_value(self)); }

PyObject* path_richcompare(PyObject* self, PyObject* other, int op) {
    if ((op != Py_EQ && op != Py_NE) || !is_path(other)) Py_RETURN_NOTIMPLEMENTED;
    int r = path_equal(path_value(self), path_value(other));
    if (r < 0) return nullptr;
    return PyBool_FromLong(op == Py_EQ ? r : !r);
}

PyObject* path_repr(PyObject* self) {
    const PathValue& p = path_value(self);
    std::string s = "Path(";
    auto node = [&](size_t i) {
        s += '(';
        s += type_text(p.nodes[i].type().get());
        s += ')';
    };
    node(0);
    for (size_t i = 0; i < p.edges.size(); ++i) {
        s += p.forward[i] ? "-[" : "<-[";
        s += p.edges[i].term().name;
        s += p.forward[i] ? "]->" : "]-";
        node(i + 1);
    }
    s += ')';
    return to_py(s);
}

const MethodEntry path_methods[] = {
    reduce_entry(path_reduce),
};

PyGetSetDef path_getset[] = {
    {"nodes", path_get_nodes, nullptr,
     "The nodes of the path in order, one more than its edges.\n\n"
     "A new tuple of new Node objects on every read, sharing the properties\n"
     "dicts the nodes had when the path was made.",
     nullptr},
    {"edges", path_get_edges, nullptr,
     "The edges of the path in order, edge i joining node i and node i + 1.\n\n"
     "A new tuple of new Edge objects on every read, sharing the properties\n"
     "dicts the edges had when the path was made.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

const char kPathDoc[] =
    "Represents a path through the graph: nodes joined by edges.\n\n"
    "Cypher queries return one for a named path (``p = (a)-[*1..3]->(b)``)\n"
    "and for ``shortestPath``. Edge i joins node i and node i + 1 and may have\n"
    "been walked either way: the text form writes ``-[name]->`` for an edge\n"
    "walked from its start to its end and ``<-[name]-`` for one walked back.\n"
    "``len()`` is the number of edges. Paths are equal, and hash equally, when\n"
    "their nodes and edges have the same uids in the same order.\n\n"
    "Args:\n"
    "    nodes: a list or tuple of Node objects, one more than ``edges``.\n"
    "    edges: a list or tuple of Edge objects, edge i having node i at one\n"
    "        end and node i + 1 at the other (compared by uid).\n\n"
    "Raises:\n"
    "    TypeError: ``nodes`` or ``edges`` is not a list or tuple, or holds\n"
    "        something other than a Node or an Edge.\n"
    "    ValueError: the counts do not fit, or an edge does not join its two\n"
    "        nodes.\n\n"
    "Example::\n\n"
    "    >>> A, B, C = Variable(\"A\"), Variable(\"B\"), Variable(\"C\")\n"
    "    >>> a, b, c = Node(A), Node(B), Node(C)\n"
    "    >>> f = Edge(Term(\"f\", Application(A, B)), a, b)\n"
    "    >>> g = Edge(Term(\"g\", Application(C, B)), c, b)\n"
    "    >>> Path([a, b, c], [f, g])\n"
    "    Path((A)-[f]->(B)<-[g]-(C))";

}  // namespace

PyTypeObject* create_path_type() {
    // No tp_clear: a path refers to node and edge records alone, and the
    // records clear themselves, which breaks any cycle through a path.
    static PyType_Slot slots[] = {
        {Py_tp_new, (void*)path_new},
        {Py_tp_dealloc, (void*)dealloc_instance<PyPath>},
        {Py_tp_traverse, (void*)traverse_instance<PyPath>},
        {Py_tp_repr, (void*)path_repr},
        {Py_tp_hash, (void*)path_py_hash},
        {Py_tp_richcompare, (void*)path_richcompare},
        {Py_sq_length, (void*)path_len},
        {Py_mp_length, (void*)path_len},
        {Py_tp_getset, path_getset},
        {0, nullptr},
    };
    PathType = make_type("velkora.Path", sizeof(PyPath), slots,
                         class_doc<path_sig::construct>(kPathDoc).c_str(),
                         method_table(path_methods));
    return PathType;
}

}  // namespace vk
