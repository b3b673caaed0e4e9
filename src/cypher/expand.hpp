// Path searches over a graph's edges: variable-length expansion from a node
// and breadth-first shortest paths between two nodes.
//
// The searches read an Adjacency: nodes and edges numbered densely, and for
// each node the edges starting there and ending there, each with the number
// of the node at its other end, in the order of the graph's `edges` dict.
// EdgeLists is a snapshot built from that dict once per run; IndexLists
// reads the graph's persistent edge index instead, copying the edges at the
// nodes a search can reach before the search starts, so a search costs the
// part of the graph it reaches.
//
// Both searches are cursors: start() sets one up for one start node (and,
// for shortest paths, one end node) and next() gives the walks one at a
// time, so a pipeline that stops early (LIMIT, an existence test) stops the
// search there too. A cursor keeps its marks in arrays of its own, sized to
// the adjacency on the first start and reset by an epoch count on each
// later one, so a restart costs the part of the graph the search reaches,
// never a pass over every edge, and two cursors of one clause (two
// variable-length relationships of one MATCH) never see each other's marks.
// Neither search recurses: depth-first expansion keeps its own stack, so a
// chain of any length is walked in constant C stack.
//
// Edge filters (term names, schemas, property maps) are the caller's: a
// callback asked once per edge per start() (its verdict is kept for that
// start), which may run Python code and fail. The adjacency is a snapshot
// that Python code cannot change, so the cursor stays valid across such
// calls and across whatever the caller runs between two next() calls.
#pragma once
#include <Python.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <span>
#include <type_traits>
#include <unordered_map>
#include <vector>

#include "errors.hpp"
#include "graph.hpp"
#include "graph_index.hpp"
#include "host/ref.hpp"
#include "path_value.hpp"

namespace vk::cypher {

// A non-owning reference to a callable, for callbacks that must not
// allocate. The callable must outlive the reference.
template <class Sig>
class FunctionRef;
template <class R, class... A>
class FunctionRef<R(A...)> {
public:
    FunctionRef() = default;
    template <class F>
        requires(!std::is_same_v<std::remove_cvref_t<F>, FunctionRef>)
    FunctionRef(F&& f)
        : obj_(const_cast<void*>(static_cast<const void*>(&f))),
          call_([](void* o, A... a) -> R {
              return (*static_cast<std::remove_reference_t<F>*>(o))(static_cast<A>(a)...);
          }) {}
    explicit operator bool() const { return call_ != nullptr; }
    R operator()(A... a) const { return call_(obj_, static_cast<A>(a)...); }

private:
    void* obj_ = nullptr;
    R (*call_)(void*, A...) = nullptr;
};

// A walk's end left open (VarLengthCursor::Spec::end).
inline constexpr uint32_t kAnyNode = UINT32_MAX;
inline constexpr uint32_t kNoMaxHops = UINT32_MAX;

// The edges at one node, one step each: the edge's number, the number of
// the node at its other end, and the edge's place in `edges` order (the
// steps of a node's two lists merge by it).
struct EdgeStep {
    uint32_t edge;
    uint32_t other;
    uint32_t order;
};

class Adjacency {
public:
    virtual ~Adjacency() = default;
    virtual uint32_t node_count() const = 0;
    virtual uint32_t edge_count() const = 0;
    // The edges starting at (out) or ending at (in) a node, in the order of
    // `edges`; a self-loop is in both.
    virtual std::span<const EdgeStep> out(uint32_t node) const = 0;
    virtual std::span<const EdgeStep> in(uint32_t node) const = 0;
};

// Which way the edges of a relationship pattern are walked: `->`, `<-`, `-`.
enum class StepDir : uint8_t { Out, In, Both };

// Numbers by pointer, in one open-addressed array (a lookup reads one slot
// in the common case, where a node-based map reads two places).
class PointerNumbers {
public:
    // The number filed for p, or kAnyNode.
    uint32_t find(const void* p) const {
        if (slots_.empty()) return kAnyNode;
        for (size_t i = home(p);; i = (i + 1) & mask_) {
            if (slots_[i].key == p) return slots_[i].value;
            if (!slots_[i].key) return kAnyNode;
        }
    }
    // Files p (not filed yet).
    void add(const void* p, uint32_t value);
    void reserve(size_t n);

private:
    struct Slot {
        const void* key = nullptr;
        uint32_t value = 0;
    };
    // Fibonacci hashing: the top bits of the product.
    size_t home(const void* p) const {
        uint64_t h = reinterpret_cast<uintptr_t>(p) * 0x9E3779B97F4A7C15ull;
        return static_cast<size_t>(h >> shift_);
    }
    std::vector<Slot> slots_;
    size_t mask_ = 0, used_ = 0;
    unsigned shift_ = 63;
};

// What the path searches of a run read: an Adjacency whose Edge objects
// are held (they outlive any change to the dict), and the row values of its
// nodes.
class PathGraph : public Adjacency {
public:
    // Makes sure the edges at every node within `hops` edges of `from`,
    // walked the way `dir` allows, are in the adjacency: 1 done; 0 the
    // adjacency can no longer read the dict as it first did (read a snapshot
    // of it instead); -1 a Python exception is set.
    virtual int reach(uint32_t from, StepDir dir, uint32_t hops) = 0;
    // The Edge object numbered `edge` (borrowed; held by the adjacency).
    virtual PyObject* edge(uint32_t edge) const = 0;
    // The number of an Edge object of the adjacency, kAnyNode for another.
    virtual uint32_t edge_number(PyObject* edge) = 0;
    // The Node object a row holds for a node number (borrowed; held): the
    // one filed in `nodes` under its uid (when it is a Node of that type),
    // else a new Node wrapping the copy that the first edge of `edges` at
    // the node holds. Null with an exception set.
    virtual PyObject* row_node(uint32_t n, PyObject* nodes) = 0;
    // The number of a node, by uid (nodes of equal types): an edge end's, or
    // a new one with no edges (kept, with the copy, for the rest of the run).
    virtual Result<uint32_t> number(const NodeValue& node) = 0;
};

// The adjacency of a snapshot of the `edges` dict: each Edge object filed
// there (held, so that it outlives any change to the dict), numbered in the
// dict's order, and its end nodes numbered by uid in the order met; a node
// no edge touches gets a number (and no edges) when first asked for.
class EdgeLists final : public PathGraph {
public:
    // Walks the dict; a key that is not a str or a value that is not an
    // Edge fails with the cast TypeError (as the other walks of `edges` do).
    static Status build(PyObject* edges, EdgeLists& out);

    uint32_t node_count() const override { return static_cast<uint32_t>(ends_.size()); }
    uint32_t edge_count() const override { return static_cast<uint32_t>(edges_.size()); }
    std::span<const EdgeStep> out(uint32_t node) const override {
        return {out_steps_.data() + out_at_[node], out_at_[node + 1] - out_at_[node]};
    }
    std::span<const EdgeStep> in(uint32_t node) const override {
        return {in_steps_.data() + in_at_[node], in_at_[node + 1] - in_at_[node]};
    }

    // The snapshot holds every edge already.
    int reach(uint32_t, StepDir, uint32_t) override { return 1; }
    PyObject* edge(uint32_t edge) const override { return edges_[edge].get(); }
    uint32_t edge_number(PyObject* edge) override;
    // The copy of a node that the first edge met at it holds (a row takes
    // the node filed in `nodes` under its uid when there is one).
    const NodeValue& end_copy(uint32_t node) const { return ends_[node]; }
    // Looked up once per node per run.
    PyObject* row_node(uint32_t n, PyObject* nodes) override;
    Result<uint32_t> number(const NodeValue& node) override;

private:
    std::vector<Ref> edges_;
    std::vector<NodeValue> ends_;
    std::vector<Ref> rows_;  // row_node's answers, null until looked up
    std::vector<uint32_t> out_at_, in_at_;  // node_count() + 1 offsets each
    std::vector<EdgeStep> out_steps_, in_steps_;
    // Node numbers by type value: the end types the edges hold, sorted (a
    // lookup is a binary search of an array a few times smaller than a hash
    // table, read in cache), with the number of each; and by type hash, for
    // an equal type held elsewhere.
    std::vector<const TypeNode*> types_;
    std::vector<uint32_t> type_numbers_;
    std::vector<std::pair<Py_hash_t, uint32_t>> by_hash_;  // sorted
    PointerNumbers by_edge_;  // Edge objects, filed on the first edge_number
};

// The adjacency read from the persistent index of a graph's `edges` (the
// graph's dict, which must be the run's): nodes and edges are numbered as
// reach() first meets them, and the edges at a node are copied from the
// index (their Edge objects held) by the reach() of a search that can walk
// them, before the search runs any Python code. The index answers for the
// dict as long as the dict is unchanged since open(): a reach() that finds
// it changed (by Python code the run called) reports so, and the run reads
// a snapshot of the dict from then on.
class IndexLists final : public PathGraph {
public:
    // 1: ready; 0: the index cannot serve this dict (none kept, an entry it
    // does not file, an interpreter without dict version tags); -1: a
    // Python exception is set.
    static int open(const GraphValue& g, PyObject* edges, IndexLists& out);

    uint32_t node_count() const override { return static_cast<uint32_t>(nodes_.size()); }
    uint32_t edge_count() const override { return static_cast<uint32_t>(edges_.size()); }
    std::span<const EdgeStep> out(uint32_t node) const override { return nodes_[node]->out; }
    std::span<const EdgeStep> in(uint32_t node) const override { return nodes_[node]->in; }
    int reach(uint32_t from, StepDir dir, uint32_t hops) override;
    PyObject* edge(uint32_t edge) const override { return edges_[edge].get(); }
    uint32_t edge_number(PyObject* edge) override { return by_edge_.find(edge); }
    PyObject* row_node(uint32_t n, PyObject* nodes) override;
    Result<uint32_t> number(const NodeValue& node) override;

private:
    struct Node {
        NodeValue copy;  // the node as the first edge at it holds it
        Ref row;         // row_node's answer, null until looked up
        bool copied = false;  // edges are in out and in
        std::vector<EdgeStep> out, in;
    };
    struct TypeHash {
        size_t operator()(const TypeNode* t) const { return static_cast<size_t>(type_py_hash(t)); }
    };
    struct TypeEqual {
        bool operator()(const TypeNode* a, const TypeNode* b) const {
            return a == b || type_equal(a, b);
        }
    };
    // Takes view_ anew: 1 it answers for the dict as open() found it; 0
    // not (or the dict is no longer indexed); -1 a Python exception is set.
    int current();
    // The number of the node of an edge end's type, made when new (its copy
    // read from the index, which must be current).
    uint32_t node_at(const NodeValue& end);
    // Copies the edges at a node from the current index.
    void copy_edges(uint32_t node);

    const GraphValue* graph_ = nullptr;
    PyObject* dict_ = nullptr;
    uint64_t tag_ = 0;
    uint32_t limit_ = 0;  // the index's positions at open(), kept while it answers
    EdgeIndexView view_;
    std::vector<std::unique_ptr<Node>> nodes_;
    std::unordered_map<const TypeNode*, uint32_t, TypeHash, TypeEqual> by_type_;
    std::vector<Ref> edges_;
    PointerNumbers by_edge_;
    std::vector<uint32_t> frontier_, next_;
    std::vector<uint32_t> met_;  // reach()'s marks, by node number
    uint32_t epoch_ = 0;
};

// 1: the edge passes; 0: not; -1: a Python exception is set.
using EdgeFilter = FunctionRef<int(uint32_t edge)>;

// One walk: nodes[0] .. nodes[k], edges[i] joining nodes[i] and nodes[i + 1],
// forward[i] set when edges[i] was walked from its start to its end (a
// self-loop always counts as walked forward). Views into the cursor, valid
// until its next next() or start().
struct Walk {
    std::span<const uint32_t> nodes;
    std::span<const uint32_t> edges;
    std::span<const uint8_t> forward;
};

// Epoch-stamped marks over n numbers: set, test and a clear-all in O(1).
class Marks {
public:
    // Clears every mark (and sizes the array to n on first use).
    void reset(size_t n);
    bool test(uint32_t i) const { return stamp_[i] == epoch_; }
    void set(uint32_t i) { stamp_[i] = epoch_; }
    void unset(uint32_t i) { stamp_[i] = 0; }

private:
    std::vector<uint32_t> stamp_;
    uint32_t epoch_ = 0;
};

// Variable-length expansion: every walk from a start node of min..max edges
// (max may be kNoMaxHops), each edge walked the way `dir` allows and passing
// the filter, no edge twice in one walk nor any edge the clause has used
// already. Walks come depth first: each walk before its extensions, a
// walk's extensions in the order of `edges` (for `-`, each edge at the node
// once: a self-loop is walked forward only). With `end` set, only walks ending at that node are
// given (the search still goes through every other node). Node numbers are
// the adjacency's (EdgeLists::number).
class VarLengthCursor {
public:
    struct Spec {
        StepDir dir = StepDir::Out;
        uint32_t min_hops = 1;
        uint32_t max_hops = kNoMaxHops;
        uint32_t end = kAnyNode;
    };

    // `used`: edges bound by the rest of the clause, never walked.
    // The adjacency and the filter's callable must outlive the cursor's use.
    void start(const Adjacency& adj, uint32_t start_node, const Spec& spec, EdgeFilter filter,
               std::span<const uint32_t> used = {});
    // 1: `walk()` holds the next walk; 0: no more; -1: the filter failed or
    // a signal handler raised (signals are checked every few thousand steps).
    int next();
    const Walk& walk() const { return walk_; }

private:
    struct Frame {
        uint32_t node;
        uint32_t out, in;  // the next positions in the node's two edge lists
    };
    // 1 passes, 0 not, -1 failed; asked once per edge per start.
    int passes(uint32_t edge);
    void publish();

    const Adjacency* adj_ = nullptr;
    Spec spec_;
    EdgeFilter filter_;
    bool pending_zero_ = false;  // the walk of no edge is still to be given
    bool release_last_ = false;  // the last walk given ended at max_hops: undo its edge
    std::vector<Frame> stack_;
    std::vector<uint32_t> nodes_, edges_;
    std::vector<uint8_t> forward_;
    Marks in_use_, asked_, passed_;
    Walk walk_;
    uint32_t steps_ = 0;
};

// Breadth-first shortest paths from one node to another: the walks of the
// fewest edges (at least min_hops, 0 or 1, and at most max_hops) that walk
// their edges the way `dir` allows, pass the filter and avoid the edges the
// clause has used. The search stops at the level where it meets the end
// node, so it costs the part of the graph within that distance, however
// many shortest paths there are. `all` gives every shortest path, else the
// first found; they come in the order the search met their edges (by the
// order of `edges` at each node, read from the end node back).
// A start equal to the end gives the walk of no edge when min_hops is 0,
// and nothing when it is 1.
class ShortestCursor {
public:
    struct Spec {
        StepDir dir = StepDir::Both;
        uint32_t min_hops = 1;  // 0 or 1
        uint32_t max_hops = kNoMaxHops;
        bool all = false;
    };

    // Runs the search (asking the filter); 0 done, -1 the filter failed or a
    // signal handler raised.
    int start(const Adjacency& adj, uint32_t start_node, uint32_t end_node, const Spec& spec,
              EdgeFilter filter, std::span<const uint32_t> used = {});
    // 1: `walk()` holds the next path; 0: no more.
    int next();
    const Walk& walk() const { return walk_; }

private:
    struct Pred {
        uint32_t edge, node;  // the edge walked into a node, from `node`
        uint8_t forward;
        uint32_t next;  // the next Pred of the same node, or kNoPred
    };
    static constexpr uint32_t kNoPred = UINT32_MAX;
    struct Frame {
        uint32_t node;
        uint32_t pred;  // the Pred of `node` taken now
    };
    // Descends from the top frame to the start node along first preds.
    void descend();
    void publish();

    int passes(uint32_t edge);
    // The breadth-first search proper: 1 the end node was met, 0 not, -1
    // the filter failed.
    int search(const Spec& spec);
    void add_pred(uint32_t node, const Pred& p);

    const Adjacency* adj_ = nullptr;
    EdgeFilter filter_;
    uint32_t start_ = 0, end_ = 0;
    bool zero_ = false;   // the walk of no edge is still to be given
    bool begun_ = false;  // the enumeration has begun
    Marks seen_, in_use_, asked_, passed_;
    std::vector<uint32_t> level_of_, first_pred_, last_pred_;  // valid where seen_
    std::vector<Pred> preds_;
    std::vector<uint32_t> frontier_, next_frontier_;
    std::vector<Frame> stack_;  // from the end node back towards the start
    std::vector<uint32_t> nodes_, edges_;
    std::vector<uint8_t> forward_;
    Walk walk_;
    uint32_t steps_ = 0;
};

// Row values of a walk: a new Path (its nodes those filed in
// `nodes` under their uids, else the edges' own copies), and a new list of
// the walk's Edge objects (a variable-length relationship's value). Null
// with an exception set.
PyObject* path_of_walk(PathGraph& adj, const Walk& w, PyObject* nodes);
PyObject* edges_of_walk(const PathGraph& adj, const Walk& w);

}  // namespace vk::cypher
