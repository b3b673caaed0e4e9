// How a run reads the graph: nodes in `nodes` order, edges in `edges` order
// with their ends resolved, the nodes of one type, and the edges at one node.
//
// A run reads the two dicts as they were at its first read, however Python
// code it calls (a property's ==) changes them. Until such code runs, the
// dicts are as they were, so reads of part of the graph (the nodes of one
// type, the edges at a node) come from the graph's indexes, which stay with
// the dicts (graph_index.hpp): they cost what they return. Each read is
// copied out, with a reference to every object in it, and kept for the rest
// of the run. Just before the engine runs Python code of a value (the == or
// hash of a value of no Cypher kind), before_python_code() has every run
// that has read a graph this way copy both dicts (a dict copy each); its
// later reads come from those copies. Whole-dict reads (a scan of `nodes` or
// `edges`) are snapshots taken on first use and held likewise. The
// collector is paused during a run, so no finalizer runs between. Code the
// engine cannot see coming (a signal handler, the == of a properties dict's
// key of a str subclass) may still change the dicts uncopied: reads after
// it then see the change, and what was read before stays held.
#pragma once
#include <Python.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <span>
#include <unordered_map>
#include <vector>

#include "errors.hpp"
#include "graph.hpp"
#include "graph_index.hpp"
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
    uint32_t edge;  // index into the entries given with it
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

struct GraphView;

class GraphAccess {
public:
    explicit GraphAccess(const GraphValue& g) : g_(g), nodes_(g.nodes.get()), edges_(g.edges.get()) {}
    ~GraphAccess() { unpin(); }
    GraphAccess(const GraphAccess&) = delete;
    GraphAccess& operator=(const GraphAccess&) = delete;

    // The Node objects of `nodes`, in order (the cast TypeError for a value
    // that is not a Node, or a key that is not a str).
    Status nodes(std::span<PyObject* const>& out);
    // The Node objects of `nodes` whose type equals t, in order (errors as
    // nodes()).
    Status nodes_of_type(const TypeNode* t, std::span<PyObject* const>& out);
    // The entries of `edges`, in order (the cast TypeError for a value that is
    // not an Edge).
    Status edges(std::span<EdgeEntry>& out);
    // The edges with an end of type t, on `side` (Out: starting there, In:
    // ending there, Both: either; supersets are allowed), in `edges` order:
    // `out` indexes into `entries`, which stays valid for the run.
    Status edges_at(const TypeNode* t, EdgeSide side, std::span<const Incidence>& out,
                    EdgeEntry*& entries);
    // How many edges at nodes of type t on `side` pass skip(edge) == false:
    // edges_at's count without copying them out, for a check that runs no
    // Python code; -1 failed.
    template <class Skip>
    int64_t count_at(const TypeNode* t, EdgeSide side, Skip&& skip);
    // An entry for an Edge object met elsewhere (a bound variable).
    static EdgeEntry entry_of(PyObject* edge);
    // The start or end of an entry as a row value (borrowed: the snapshot
    // holds it), or null with an exception set.
    PyObject* end_node(EdgeEntry& e, bool start) {
        PyObject*& slot = start ? e.start : e.end;
        if (!slot) slot = resolve(start ? e.start_type : e.end_type, e.edge, start);
        return slot;
    }
    // Forgets every read, for a run whose writes changed the dicts.
    void invalidate();
    // The view of the dicts that expressions read (startNode(), endNode()):
    // pointed at the copies once they are made.
    void follow(GraphView* view) { view_ = view; }

    // The dicts the run reads: the graph's own, or the run's copies of them.
    PyObject* nodes_dict() const { return nodes_; }
    PyObject* edges_dict() const { return edges_; }
    // The graph's own dicts, which writes change whatever the run reads.
    PyObject* live_nodes() const { return g_.nodes.get(); }
    PyObject* live_edges() const { return g_.edges.get(); }

private:
    friend Status before_python_code();
    struct TypeHash {
        size_t operator()(const TypeNode* t) const { return static_cast<size_t>(type_py_hash(t)); }
    };
    struct TypeEqual {
        bool operator()(const TypeNode* a, const TypeNode* b) const { return type_equal(a, b); }
    };
    // Edges read from the index: the entries at one node on one side, in
    // blocks that never move (one allocation for many nodes).
    struct Adjacency {
        EdgeEntry* entries;
        Incidence* inc;
        uint32_t size;
    };
    template <class T>
    class Blocks {
    public:
        T* take(size_t n) {
            if (blocks_.empty() || used_ + n > cap_) {
                // Small at first (a run that reads a few nodes), larger later.
                cap_ = std::max<size_t>(n, std::min<size_t>(4096, std::max<size_t>(16, cap_ * 2)));
                blocks_.push_back(std::unique_ptr<T[]>(new T[cap_]));
                used_ = 0;
            }
            T* p = blocks_.back().get() + used_;
            used_ += n;
            return p;
        }

    private:
        std::vector<std::unique_ptr<T[]>> blocks_;
        size_t used_ = 0, cap_ = 0;
    };
    // The row value of an end of type t of an Edge object.
    PyObject* resolve(const TypeNode* t, PyObject* edge, bool start);
    // Marks the run as having read the live dicts (so Python code about to
    // run makes it copy them first).
    void pin();
    void unpin();
    // Copies both dicts (they are still as first read); later reads use them.
    Status copy_dicts();
    // The edges at t read from the index: 1, 0 (not indexed: read the
    // snapshot instead), -1 failed.
    int index_edges(const TypeNode* t, EdgeSide side, std::span<const Incidence>& out,
                    EdgeEntry*& entries);
    Status snapshot_edges_at(const TypeNode* t, std::span<const Incidence>& out);

    const GraphValue& g_;  // the run holds it
    PyObject* nodes_;      // the dicts read: the graph's, or their copies
    PyObject* edges_;
    GraphView* view_ = nullptr;
    bool copied_ = false;  // nodes_ and edges_ are copies
    bool pinned_ = false;  // on the list of runs reading live dicts
    GraphAccess* prev_ = nullptr;
    GraphAccess* next_ = nullptr;
    bool nodes_ready_ = false, edges_ready_ = false, index_ready_ = false;
    std::vector<std::vector<PyObject*>> retired_nodes_;  // lists read before invalidate()
    std::vector<std::vector<EdgeEntry>> retired_edges_;
    std::vector<PyObject*> node_list_;
    std::vector<EdgeEntry> edge_list_;
    std::vector<Ref> held_;
    std::unordered_map<const TypeNode*, std::vector<Incidence>, TypeHash, TypeEqual> index_;
    std::vector<decltype(index_)> retired_index_;  // adjacencies built before invalidate()
    // Reads of part of the graph, by the address of the type asked for
    // (held in held_types_): the nodes of that type, and the edges at it per
    // side (positions into the lists below, plus one).
    struct PartReads {
        uint32_t nodes = 0;
        uint32_t edges[3] = {0, 0, 0};
    };
    AddressMap<PartReads> parts_;
    std::vector<TypeRef> held_types_;  // the keys of parts_
    void remember(const TypeNode* t, const PartReads& reads);
    std::vector<std::unique_ptr<std::vector<PyObject*>>> typed_nodes_;
    std::vector<Adjacency> adjacencies_;
    Blocks<EdgeEntry> entry_blocks_;
    Blocks<Incidence> inc_blocks_;
    // Ends looked up so far, by the address of the end's type (edges made
    // from one Node object share it): the node filed under its uid, or
    // Py_None for none (each edge's own copy then stands in); and the last
    // one, since consecutive edges often share an end.
    AddressMap<PyObject*> resolved_;
    const TypeNode* last_type_ = nullptr;
    PyObject* last_node_ = nullptr;
};

template <class Skip>
int64_t GraphAccess::count_at(const TypeNode* t, EdgeSide side, Skip&& skip) {
    EdgeIndexView view;
    int r = copied_ ? 0 : edge_index_view(g_, view);
    if (r < 0) return -1;
    int64_t n = 0;
    if (r > 0) {
        pin();
        uint32_t at = view.node_of_type(t);
        if (at != EdgeIndexView::kNoNode) {
            view.for_each_at(at, side, [&](uint32_t p) { n += !skip(view.edge(p)); });
        }
        return n;
    }
    std::span<const Incidence> inc;
    EdgeEntry* entries;
    if (!edges_at(t, side, inc, entries)) return -1;
    for (const Incidence& i : inc) {
        if (side == EdgeSide::Out && !i.at_start) continue;
        if (side == EdgeSide::In && !i.at_end) continue;
        n += !skip(entries[i.edge].edge);
    }
    return n;
}

// Called before the engine runs Python code of a value (the == or hash of a
// value of no Cypher kind): every run reading live dicts copies them first.
// Fails only for want of memory.
Status before_python_code();

}  // namespace vk::cypher
