// Node and edge values and classes, and the graph container.
//
// A node is a type and a properties dict; an edge is a term, snapshots of its
// two end nodes and a properties dict. Properties dicts are Python dicts held
// by reference and never copied, so a node, its copies inside edges, query
// bindings and returned rows all see one dict.
//
// A node value is a reference to a node record: an internal object of the
// collector's, never changed once made, holding the type and the dict; an
// edge value likewise refers to an edge record holding the term, the two end
// node values and the dict. Copying a node or an edge (into an edge's
// snapshot, a binding list, a row's new Node or Edge object) copies that one
// reference, and reads nothing behind it. Each copy holds its own reference
// to the record and the record the one reference to each thing it holds, so
// the collector sees every path from a copy to a dict and finds cycles
// through properties wherever the copies live. Giving a Node or Edge object
// other properties gives it a new record: copies made before keep the old
// one.
#pragma once
#include <Python.h>

#include <memory>
#include <string_view>
#include <vector>

#include "graph_index.hpp"
#include "host/pytype.hpp"
#include "host/ref.hpp"
#include "shared.hpp"
#include "term.hpp"
#include "types.hpp"

namespace vk {

// A reference to a record (an object of class R deriving from Obj, whose
// member `value` holds the data): what node and edge values are made of.
template <class R>
class RecordRef {
public:
    // An empty reference, to be assigned a made one; only a made one may be read.
    RecordRef() = default;
    RecordRef(const RecordRef& o) : rec_(o.rec_.copy()) {}
    RecordRef(RecordRef&&) noexcept = default;
    RecordRef& operator=(const RecordRef& o) {
        rec_ = o.rec_.copy();
        return *this;
    }
    RecordRef& operator=(RecordRef&&) noexcept = default;

    // Asks memory for the record, which is about to be read.
    void prefetch() const { __builtin_prefetch(rec_.get()); }
    // Whether both are copies of one record.
    bool same_record(const RecordRef& o) const { return rec_.get() == o.rec_.get(); }
    // The record's address: equal for copies of one record, as long as one lives.
    const void* record_address() const { return rec_.get(); }
    // The collector's visit of the references this value holds: its record.
    int traverse(visitproc visit, void* arg) const {
        Py_VISIT(rec_.get());
        return 0;
    }

protected:
    // A new record of `type` built from args.
    template <class... A>
    Status make_record(PyTypeObject* type, A&&... args) {
        R* r = alloc_instance<R>(type, std::forward<A>(args)...);
        rec_ = Ref::steal(reinterpret_cast<PyObject*>(r));
        return r ? ok_status() : PyErrorSet{};
    }
    const auto& data() const { return reinterpret_cast<R*>(rec_.get())->value; }

private:
    Ref rec_;
};

struct NodeData {
    TypeRef type;
    Ref properties;  // a dict (or dict subclass)

    NodeData(TypeRef t, Ref props) : type(std::move(t)), properties(std::move(props)) {}
    int traverse(visitproc visit, void* arg) const {
        Py_VISIT(properties.get());
        return 0;
    }
};

struct NodeRecord : Obj {
    NodeData value;
};

extern PyTypeObject* NodeRecordType;
extern PyTypeObject* EdgeRecordType;

class NodeValue : public RecordRef<NodeRecord> {
public:
    // A new record of the type and dict.
    static Status make(TypeRef type, Ref properties, NodeValue& out) {
        return out.make_record(NodeRecordType, std::move(type), std::move(properties));
    }

    const TypeRef& type() const { return data().type; }
    PyObject* properties() const { return data().properties.get(); }
    // SHA-256 of "node:" and the type uid (kept on the type). Null with a
    // Python exception set if the digest fails.
    const Hex64* uid() const { return node_uid_of_type(type().get()); }
};

struct EdgeData {
    TermHandle term;
    NodeValue start;  // snapshots of the end nodes
    NodeValue end;
    Ref properties;

    EdgeData(TermHandle t, NodeValue s, NodeValue e, Ref props)
        : term(std::move(t)), start(std::move(s)), end(std::move(e)), properties(std::move(props)) {}
    int traverse(visitproc visit, void* arg) const {
        Py_VISIT(properties.get());
        if (int r = start.traverse(visit, arg)) return r;
        return end.traverse(visit, arg);
    }
};

struct EdgeRecord : Obj {
    EdgeData value;
};

class EdgeValue : public RecordRef<EdgeRecord> {
public:
    // A new record.
    static Status make(TermHandle term, NodeValue start, NodeValue end, Ref properties,
                       EdgeValue& out) {
        return out.make_record(EdgeRecordType, std::move(term), std::move(start), std::move(end),
                               std::move(properties));
    }

    const TermValue& term() const { return *data().term; }
    const TermHandle& term_handle() const { return data().term; }
    const NodeValue& start() const { return data().start; }
    const NodeValue& end() const { return data().end; }
    PyObject* properties() const { return data().properties.get(); }
    // SHA-256 of "edge:" and the term uid (kept with the term).
    const Hex64* uid() const { return edge_uid_of_term(term()); }
};

// The callables of Node, Edge and Graph, each declared once (host/args.hpp).
namespace node_sig {
inline constexpr auto construct = constructor("Node.__new__", req("type"), opt("properties"));
inline constexpr auto uid = method("Node.uid");
}  // namespace node_sig
namespace edge_sig {
inline constexpr auto construct =
    constructor("Edge.__new__", req("term"), req("start"), req("end"), opt("properties"));
inline constexpr auto uid = method("Edge.uid");
}  // namespace edge_sig
namespace graph_sig {
inline constexpr auto construct = constructor("Graph.__new__");
inline constexpr auto query = method("Graph.query");
inline constexpr auto cypher = method("Graph.cypher", posonly("query"), posonly("parameters", "None"),
                                      varkw("kwparameters"));
inline constexpr auto to_networkx = method("Graph.to_networkx");
inline constexpr auto to_dot = method("Graph.to_dot");
inline constexpr auto to_cypher = method("Graph.to_cypher", opt("batch_size", "1000"));
inline constexpr auto repr_svg = method("Graph._repr_svg_");
inline constexpr auto restore = class_method("Graph._restore", req("nodes"), req("edges"));
}  // namespace graph_sig

struct PyNode : Obj {
    NodeValue value;
};
struct PyEdge : Obj {
    EdgeValue value;
};

extern PyTypeObject* NodeType;
extern PyTypeObject* EdgeType;
extern PyTypeObject* GraphType;

PyTypeObject* create_node_type();
PyTypeObject* create_edge_type();
PyTypeObject* create_graph_type();

// A node value from a Python type object and an optional dict (null or
// None: a fresh empty dict). Fails with "Expected Variable or Application".
Status make_node(PyObject* type_obj, PyObject* props, NodeValue& out);

// New Python objects wrapping copies of the values.
PyObject* node_to_python(const NodeValue& v);
PyObject* edge_to_python(const EdgeValue& v);

// The value inside a Node or Edge object (the caller has checked the type).
inline const NodeValue& node_value(PyObject* o) { return reinterpret_cast<PyNode*>(o)->value; }
inline const EdgeValue& edge_value(PyObject* o) { return reinterpret_cast<PyEdge*>(o)->value; }

// The graph: two dicts, created by the constructor and shared by every query.
// Copies share the dicts' indexes (graph_index.hpp), which follow whichever
// dicts a copy holds when it looks something up.
struct GraphValue {
    Ref nodes;
    Ref edges;
    // Declared last, so released first: it stops following the dicts while
    // they are alive.
    std::shared_ptr<GraphIndexes> index;

    GraphValue(Ref n, Ref e)
        : nodes(std::move(n)), edges(std::move(e)), index(make_graph_indexes()) {}
    GraphValue(const GraphValue& o)
        : nodes(o.nodes.copy()), edges(o.edges.copy()), index(o.index) {}
    GraphValue(GraphValue&&) noexcept = default;
    GraphValue& operator=(const GraphValue& o) {
        nodes = o.nodes.copy();
        edges = o.edges.copy();
        index = o.index;
        return *this;
    }
    GraphValue& operator=(GraphValue&&) noexcept = default;

    // Copies of the nodes in `nodes` (in insertion order) whose type equals
    // `type` (equal types are exactly those with equal uids), from the index
    // when `nodes` is indexed. Every entry is validated: a key that is not a
    // str or a value that is not a Node fails the whole lookup with the cast
    // TypeError.
    Status nodes_of_type(const TypeNode* type, std::vector<NodeValue>& out) const;
    int traverse(visitproc visit, void* arg) const;
};

struct PyGraph : Obj {
    GraphValue value;
};

// Graph.to_networkx(), Graph.to_dot(), Graph._repr_svg_() and
// Graph.to_cypher() (graph_export.cpp), with the docstring of the last.
PyObject* graph_to_networkx(PyObject* self, PyObject*);
PyObject* graph_to_dot(PyObject* self, PyObject*);
PyObject* graph_repr_svg(PyObject* self, PyObject*);
PyObject* graph_to_cypher(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames);
extern const char kGraphToCypherDoc[];
// The class of the iterators to_cypher() returns; created with Graph's.
extern PyTypeObject* CypherExportType;
PyTypeObject* create_cypher_export_type();

}  // namespace vk
