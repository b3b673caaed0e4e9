// How a run reads the graph: nodes in `nodes` order, edges in `edges` order
// with their ends resolved, and the edges at one node.
//
// Every read goes through GraphAccess, so that an index kept with the dicts
// can take the place of the per-run snapshots made here. A snapshot is taken
// on first use and held (with a reference to every object in it) for the
// rest of the run: Python code that a run calls (a property's ==) may change
// the dicts, and the run then goes on over what it first read. The edges by
// end node are filed only when a pattern expands from a bound node.
#pragma once
#include <Python.h>

#include <cstdint>
#include <span>
#include <unordered_map>
#include <vector>

#include "errors.hpp"
#include "graph.hpp"
#include "host/ref.hpp"

namespace vk::cypher {

// One entry of `edges` with its two ends as row values: the Node objects
// filed in `nodes` under the ends' uids, else new Node objects wrapping the
// edge's own copies. All three are held by the snapshot.
struct EdgeEntry {
    PyObject* edge;
    PyObject* start;
    PyObject* end;
};

// An edge at a node: whether the node is its start, its end, or both (a
// self-loop is filed once).
struct Incidence {
    uint32_t edge;  // index into edges()
    bool at_start;
    bool at_end;
};

class GraphAccess {
public:
    GraphAccess(PyObject* nodes, PyObject* edges) : nodes_(nodes), edges_(edges) {}
    GraphAccess(const GraphAccess&) = delete;
    GraphAccess& operator=(const GraphAccess&) = delete;

    // The Node objects of `nodes`, in order (the cast TypeError for a value
    // that is not a Node, or a key that is not a str).
    Status nodes(std::span<PyObject* const>& out);
    // The entries of `edges`, in order (the cast TypeError for a value that is
    // not an Edge).
    Status edges(std::span<const EdgeEntry>& out);
    // The edges at a node (a Node object), in `edges` order.
    Status incident(PyObject* node, std::span<const Incidence>& out);
    // Forgets every snapshot, for a run whose writes changed the dicts.
    void invalidate();

    PyObject* nodes_dict() const { return nodes_; }
    PyObject* edges_dict() const { return edges_; }

private:
    struct TypeHash {
        size_t operator()(const TypeNode* t) const { return static_cast<size_t>(type_py_hash(t)); }
    };
    struct TypeEqual {
        bool operator()(const TypeNode* a, const TypeNode* b) const { return type_equal(a, b); }
    };
    PyObject* resolve(const NodeValue& end);

    PyObject* nodes_;  // borrowed: the run holds the graph
    PyObject* edges_;
    bool nodes_ready_ = false, edges_ready_ = false, index_ready_ = false;
    std::vector<PyObject*> node_list_;
    std::vector<EdgeEntry> edge_list_;
    std::vector<Ref> held_;
    std::unordered_map<const TypeNode*, std::vector<Incidence>, TypeHash, TypeEqual> index_;
    // The last end resolved, since consecutive edges often share an end.
    const TypeNode* last_type_ = nullptr;
    PyObject* last_node_ = nullptr;
};

}  // namespace vk::cypher
