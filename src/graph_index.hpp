// Indexes of a graph's two dicts: `nodes` by node type, `edges` by the
// types of their end nodes (a node's uid is a digest of its type alone, so
// these are the indexes by node uid). Built on the first lookup and kept
// current as any code changes the dicts; every lookup answers exactly what a
// walk of the dict in its order would, order included (graph_index.cpp says
// how). One index serves every copy of a GraphValue: the builder's queries
// and the Cypher engine's runs read the same one.
//
// Lookups hand out borrowed Node and Edge objects, or views into the index:
// they stay valid only until Python code next runs (a comparison of user
// objects, a release that may run a __del__, an allocation of a collected
// object that may start a collection) or this module next writes to the
// dicts. A caller that runs Python code copies what it keeps first (a
// NodeValue or EdgeValue copy is one reference).
//
// A dict holding an entry the index does not file (a key that is not an
// exact str, a value that is not a Node, or not an Edge) is not indexed:
// lookups report "not indexed" and the caller walks the dict, which raises
// the walk's own TypeError. So does every lookup when no dict watcher can be
// had on an interpreter that has them (another extension has taken them all).
//
// This module's own writes to the two dicts go through graph_store and
// graph_remove, so that on interpreters without dict watchers the index
// follows them instead of being rebuilt.
#pragma once
#include <Python.h>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <span>
#include <vector>

#include "errors.hpp"
#include "types.hpp"

namespace vk {

struct GraphValue;
struct GraphIndexes;  // the indexes of one graph (graph_index.cpp)

// A new, empty set of indexes for a GraphValue; nothing is built until the
// first lookup.
std::shared_ptr<GraphIndexes> make_graph_indexes();

// Which of the two dicts.
enum class GraphDict : unsigned char { Nodes, Edges };

// Which edges at a node: starting there, ending there, or either (a
// self-loop once).
enum class EdgeSide : unsigned char { Out, In, Both };

// ----- nodes -------------------------------------------------------------------

// Appends to `out` the Node objects of `nodes` whose type equals `type`
// (borrowed), in the order of `nodes`. 1: done; 0: `nodes` is not indexed
// (walk it instead; `out` is unchanged); -1: a Python exception is set.
int index_nodes_of_type(const GraphValue& g, const TypeNode* type, std::vector<PyObject*>& out);

// ----- edges -------------------------------------------------------------------

// Positions of entries in ascending order: the edges at one node on one
// side. Up to two are held in place, more on the heap.
class PositionList {
public:
    PositionList() = default;
    PositionList(const PositionList&) = delete;
    PositionList& operator=(const PositionList&) = delete;
    PositionList(PositionList&& o) noexcept;
    PositionList& operator=(PositionList&& o) noexcept;
    ~PositionList() { if (cap_ > kInPlace) std::free(heap_); }

    std::span<const uint32_t> view() const {
        return {cap_ > kInPlace ? heap_ : in_place_, size_};
    }
    size_t size() const { return size_; }
    // Files p in its place (false: out of memory); removes p when present.
    bool insert(uint32_t p);
    void erase(uint32_t p);

private:
    static constexpr uint32_t kInPlace = 2;
    uint32_t* data() { return cap_ > kInPlace ? heap_ : in_place_; }
    union {
        uint32_t in_place_[kInPlace];
        uint32_t* heap_;
    };
    uint32_t size_ = 0;
    uint32_t cap_ = kInPlace;
};

// One entry of an indexed dict, at its position: the stored key and value
// (borrowed: the dict holds them) and the numbers of its nodes (a node
// entry: its own; an edge entry: its start's and its end's). An empty
// position has a null value.
struct IndexEntry {
    PyObject* key;
    PyObject* value;
    uint32_t node[2];
};

// A node of an index: a type, and the positions filed under it (of
// `nodes`: its nodes of that type; of `edges`: the edges out, then in).
struct IndexNode {
    TypeRef type;
    PositionList at[2];
};

// A current view of the index of `edges`. Entries have positions that
// follow the order of `edges` (ascending, not contiguous: positions of
// deleted entries are empty); nodes are numbered densely. Valid as the
// lookups above.
class EdgeIndexView {
public:
    static constexpr uint32_t kNoNode = UINT32_MAX;

    // One past the highest position.
    uint32_t limit() const { return static_cast<uint32_t>(entries_->size()); }
    // The Edge object at a position, or null for an empty position.
    PyObject* edge(uint32_t position) const { return (*entries_)[position].value; }
    // The key of the entry at a position that holds an edge.
    PyObject* key(uint32_t position) const { return (*entries_)[position].key; }
    // The numbers of the nodes at the two ends of the edge at a position.
    uint32_t start_of(uint32_t position) const { return (*entries_)[position].node[0]; }
    uint32_t end_of(uint32_t position) const { return (*entries_)[position].node[1]; }
    // The number of the node of type t, or kNoNode when no edge has an end
    // of that type.
    uint32_t node_of_type(const TypeNode* t) const;
    // The positions of the edges starting (Out) or ending (In) at a node, in
    // ascending order; a self-loop is in both.
    std::span<const uint32_t> at(uint32_t node, EdgeSide side) const {
        return (*nodes_)[node].at[side == EdgeSide::In ? 1 : 0].view();
    }
    // Ask memory for a node's record in the index, and for the entries of
    // the edges at a node, which are about to be read.
    void prefetch_node(uint32_t node) const { __builtin_prefetch(&(*nodes_)[node]); }
    void prefetch_entries_at(uint32_t node, EdgeSide side) const {
        if (side != EdgeSide::In) {
            for (uint32_t p : at(node, EdgeSide::Out)) __builtin_prefetch(&(*entries_)[p]);
        }
        if (side != EdgeSide::Out) {
            for (uint32_t p : at(node, EdgeSide::In)) __builtin_prefetch(&(*entries_)[p]);
        }
    }
    // How many edges are at a node on that side (Both: a self-loop once).
    size_t degree(uint32_t node, EdgeSide side) const;
    // Calls f(position) for the edges at a node on a side, in ascending
    // order (Both: the two lists merged, a self-loop once).
    template <class F>
    void for_each_at(uint32_t node, EdgeSide side, F&& f) const {
        if (side != EdgeSide::Both) {
            for (uint32_t p : at(node, side)) f(p);
            return;
        }
        std::span<const uint32_t> out = at(node, EdgeSide::Out), in = at(node, EdgeSide::In);
        size_t i = 0, j = 0;
        while (i < out.size() || j < in.size()) {
            if (j == in.size() || (i < out.size() && out[i] < in[j])) {
                f(out[i++]);
            } else if (i == out.size() || in[j] < out[i]) {
                f(in[j++]);
            } else {
                f(out[i++]);
                ++j;
            }
        }
    }

private:
    friend int edge_index_view(const GraphValue& g, EdgeIndexView& out);
    const void* index_ = nullptr;
    const std::vector<IndexEntry>* entries_ = nullptr;
    const std::vector<IndexNode>* nodes_ = nullptr;
};

// Sets `out` to a current view of the index of `edges`, building it when
// needed. 1: done; 0: `edges` is not indexed (walk it instead); -1: a
// Python exception is set.
int edge_index_view(const GraphValue& g, EdgeIndexView& out);

// Appends to `out` the Edge objects of `edges` at a node of type
// `node_type` on `side` (borrowed), in the order of `edges`; results and
// validity as index_nodes_of_type.
int index_edges_at(const GraphValue& g, const TypeNode* node_type, EdgeSide side,
                   std::vector<PyObject*>& out);

// ----- writes ------------------------------------------------------------------

// dict[key] = value on one of the graph's dicts (key an exact str), with
// PyDict_SetItem's result, keeping the index current.
Status graph_store(const GraphValue& g, GraphDict which, PyObject* key, PyObject* value);
// del dict[key]: 0 done, -1 with the error set (KeyError when missing), as
// PyDict_DelItem.
int graph_remove(const GraphValue& g, GraphDict which, PyObject* key);

}  // namespace vk
