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

// One entry of `edges`: the Edge object (held by the snapshot) and the types
// of its ends (a node's uid is made from its type alone, so the types decide
// which nodes the edge joins). The ends as row values, the Node objects
// filed in `nodes` under the ends' uids (else new Node objects wrapping the
// edge's own copies), are looked up when a run first asks for them.
struct EdgeEntry {
    PyObject* edge;
    const TypeNode* start_type;
    const TypeNode* end_type;
    PyObject* start = nullptr;  // made by GraphAccess::end_node
    PyObject* end = nullptr;
};

// An edge at a node: whether the node is its start, its end, or both (a
// self-loop is filed once).
struct Incidence {
    uint32_t edge;  // index into edges()
    bool at_start;
    bool at_end;
};

// A map keyed by address, open addressing with linear probing: one probe
// of one flat array per lookup in the common case, where the node-based
// std::unordered_map costs two dependent loads.
template <class V>
class AddressMap {
public:
    V* find(const void* key) {
        if (!used_) return nullptr;
        for (size_t i = slot(key);; i = (i + 1) & mask_) {
            if (keys_[i] == key) return &values_[i];
            if (!keys_[i]) return nullptr;
        }
    }
    void insert(const void* key, V value) {
        if ((used_ + 1) * 2 > keys_.size()) grow();
        size_t i = slot(key);
        while (keys_[i] && keys_[i] != key) i = (i + 1) & mask_;
        if (!keys_[i]) ++used_;
        keys_[i] = key;
        values_[i] = value;
    }
    void clear() {
        keys_.clear();
        values_.clear();
        used_ = 0;
        mask_ = 0;
    }

private:
    size_t slot(const void* key) const {
        uint64_t h = reinterpret_cast<uintptr_t>(key) * 0x9E3779B97F4A7C15ULL;
        return (size_t)(h >> 20) & mask_;
    }
    void grow() {
        std::vector<const void*> keys = std::move(keys_);
        std::vector<V> values = std::move(values_);
        size_t n = keys.empty() ? 16 : keys.size() * 2;
        keys_.assign(n, nullptr);
        values_.assign(n, V());
        mask_ = n - 1;
        used_ = 0;
        for (size_t i = 0; i < keys.size(); ++i) {
            if (keys[i]) insert(keys[i], values[i]);
        }
    }
    std::vector<const void*> keys_;
    std::vector<V> values_;
    size_t used_ = 0;
    size_t mask_ = 0;
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
    Status edges(std::span<EdgeEntry>& out);
    // The edges at a node (a Node object), in `edges` order.
    Status incident(PyObject* node, std::span<const Incidence>& out);
    // An entry for an Edge object met elsewhere (a bound variable).
    static EdgeEntry entry_of(PyObject* edge);
    // The start or end of an entry as a row value (borrowed: the snapshot
    // holds it), or null with an exception set.
    PyObject* end_node(EdgeEntry& e, bool start) {
        PyObject*& slot = start ? e.start : e.end;
        if (!slot) slot = resolve(start ? e.start_type : e.end_type, e.edge, start);
        return slot;
    }
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
    // The row value of an end of type t of an Edge object.
    PyObject* resolve(const TypeNode* t, PyObject* edge, bool start);

    PyObject* nodes_;  // borrowed: the run holds the graph
    PyObject* edges_;
    bool nodes_ready_ = false, edges_ready_ = false, index_ready_ = false;
    std::vector<PyObject*> node_list_;
    std::vector<EdgeEntry> edge_list_;
    std::vector<Ref> held_;
    std::unordered_map<const TypeNode*, std::vector<Incidence>, TypeHash, TypeEqual> index_;
    // Ends resolved so far, by the address of the end's type (edges made
    // from one Node object share it), and the last one, since consecutive
    // edges often share an end.
    AddressMap<PyObject*> resolved_;
    const TypeNode* last_type_ = nullptr;
    PyObject* last_node_ = nullptr;
};

}  // namespace vk::cypher
