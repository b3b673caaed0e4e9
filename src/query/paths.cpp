// Path matching: paths of one or more edges, and the edge form of match.
//
// A path N[0] E[0] N[1] ... E[k-1] N[k] matches a sequence of k distinct
// entries of `edges`, each passing its edge pattern in an orientation its
// direction allows, consecutive edges meeting at nodes of the same uid. The
// node at N[0] is the near end of the first edge, the node at N[i] (i >= 1)
// the far end of edge i - 1; every node is tested with its node pattern, and
// a node variable met again must find a node of the same uid as at its first
// position.
//
// Matches are produced in lexicographic order of (edge position in `edges`,
// forward before backward) per step. The first step walks `edges` itself,
// the way a single-edge match always has (the dict must not change under
// the walk). A longer path first copies the edges into a snapshot in one
// pass and files each under the nodes at its two ends, so a later step
// visits only the edges at the node it stands on: the cost is that pass plus
// the partial paths extended. A node's uid is a digest of its type's uid
// alone, so two nodes have the same uid exactly when their types are equal:
// nodes are filed and compared by type (hashed by the type's Python hash,
// kept on the immutable type node), and no digest is made. The search keeps
// its own stack, so a path of any length costs no C stack; the result of
// testing edge j at step i (edge pattern and far node, per orientation) is
// kept, so a pattern's Python-level comparisons run once per edge and step.
//
// Node and edge tests read their schemas once per match and keep their
// verdicts per type value (NodeTest, EdgeTest). When no test compares
// property values, no Python code runs during the match, so the first step
// tests the edges where they are stored and copies only those that match.
//
// Such a quiet match runs over the graph's index of `edges` instead
// (graph_index.hpp), which lists the same entries in the same order and
// files them under their end nodes: no snapshot is made, and a first node
// or second node fixed to one type (an exact type, or a label naming one)
// takes the first edge from the edges at that node, so an anchored pattern
// costs what that node's degree costs. What a row copies is fetched ahead
// of the copy (the next entries, the nodes they reach, a match's Edge
// objects, records and end records, a few matches apart), so that memory
// misses overlap. A match whose tests run Python code keeps the walk, the
// snapshot and the kept results: its comparisons run as they always have,
// and may change the dict under the walk. A lone edge pattern with a bound
// end, and an edge merge, read the edges at the bound nodes in the same way.
#include <algorithm>
#include <cstdint>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "graph_index.hpp"
#include "host/args.hpp"
#include "host/dict_walk.hpp"
#include "query/query.hpp"

namespace vk {
namespace {

// ----- nodes by type ------------------------------------------------------------

// Whether two nodes have the same uid.
bool same_node(const NodeValue& a, const NodeValue& b) {
    return a.same_record(b) || type_equal(a.type().get(), b.type().get());
}

// Hash and equality of nodes by their types, for maps keyed by node.
struct TypeHash {
    size_t operator()(const TypeNode* t) const { return static_cast<size_t>(type_py_hash(t)); }
};
struct TypeEqual {
    bool operator()(const TypeNode* a, const TypeNode* b) const { return type_equal(a, b); }
};

// The one type a node pattern requires: its exact type, or the one type its
// schema names; null when it admits more than one.
TypeRef exact_type(const NodePatternValue& p) {
    if (p.type_obj) return *p.type_obj;
    if (p.type_schema) return schema_exact_type(p.type_schema->pattern);
    return TypeRef();
}

// ----- walking `edges` -------------------------------------------------------

// Steps through the entries of `edges` in order; every value must be an
// Edge (else the cast TypeError). A walk during which Python code may run
// holds the current Edge and detects changes of the dict; a quiet one (no
// Python code runs until it ends, so the dict cannot change) reads the
// entries where they are.
class EdgeWalk {
public:
    EdgeWalk(PyObject* dict, bool quiet) : dict_(dict), quiet_(quiet), walk_(dict) {}

    // 1 with the next Edge object in `edge`, 0 at the end, -1 with an error.
    int next(PyObject*& edge) {
        PyObject* v;
        if (quiet_) {
            PyObject* k;
            if (!PyDict_Next(dict_, &pos_, &k, &v)) return 0;
        } else {
            int step = walk_.next(key_, value_);
            if (step <= 0) return step;
            v = value_.get();
        }
        if (Py_TYPE(v) != EdgeType) {
            (void)cast_error(v, "Edge");
            return -1;
        }
        edge = v;
        return 1;
    }

private:
    PyObject* dict_;
    bool quiet_;
    Py_ssize_t pos_ = 0;
    DictWalk walk_;
    Ref key_, value_;
};

// ----- path matching -----------------------------------------------------------

enum class Direction : unsigned char { Forward, Backward, Any };

Direction direction_of(const EdgePatternValue& e) {
    if (e.direction == "backward") return Direction::Backward;
    if (e.direction == "any") return Direction::Any;
    return Direction::Forward;
}

// One edge of a partial match and the way it is taken.
struct Step {
    const EdgeValue* edge;
    uint32_t index;  // its position in the snapshot (longer paths only)
    bool forward;
    const NodeValue& near() const { return forward ? edge->start() : edge->end(); }
    const NodeValue& far() const { return forward ? edge->end() : edge->start(); }
};

// An edge filed under a node: whether the node is its start, its end, or
// both (a self-loop is filed once).
struct Incidence {
    uint32_t edge;
    bool at_start;
    bool at_end;
};

// Test results kept per (step, edge): whether each is known and passed.
enum : uint8_t {
    kEdgeKnown = 1, kEdgePass = 2,
    kForwardKnown = 4, kForwardPass = 8,
    kBackwardKnown = 16, kBackwardPass = 32,
};
// Above this many bytes the results are not kept, only recomputed.
constexpr size_t kMemoLimit = size_t(1) << 24;

class PathMatcher {
public:
    PathMatcher(const PathPatternValue& p) : k_(p.edges.size()) {
        for (const EdgePatternValue& e : p.edges) {
            dirs_.push_back(direction_of(e));
            edge_tests_.emplace_back(e);
            edge_open_.push_back(edge_tests_.back().open());
            quiet_ = quiet_ && !edge_tests_.back().runs_python();
        }
        for (const NodePatternValue& n : p.nodes) {
            node_tests_.emplace_back(n);
            node_open_.push_back(node_tests_.back().open());
            quiet_ = quiet_ && !node_tests_.back().runs_python();
        }
        // The first position of each node variable, and the bound names in
        // path order: one list per name.
        std::unordered_map<std::string_view, size_t> first;
        first_.resize(p.nodes.size());
        std::vector<std::pair<bool, size_t>> bound;  // (edge, position) per list
        for (size_t i = 0; i < p.nodes.size(); ++i) {
            const auto& var = p.nodes[i].variable;
            first_[i] = i;
            if (var) {
                auto [it, fresh] = first.emplace(*var, i);
                if (fresh) {
                    names_.push_back(&*var);
                    bound.emplace_back(false, i);
                } else {
                    first_[i] = it->second;
                }
            }
            if (i < k_ && p.edges[i].variable) {
                names_.push_back(&*p.edges[i].variable);
                bound.emplace_back(true, i);
            }
        }
        lists_.resize(names_.size());
        for (size_t s = 0; s < bound.size(); ++s) {
            (bound[s].first ? edge_slots_ : node_slots_).push_back({&lists_[s], bound[s].second});
        }
        path_.resize(k_);
        frames_.reserve(k_);
        for (size_t i = 0; i < 2; ++i) anchor_type_[i] = exact_type(p.nodes[i]);
    }

    Status run(const GraphValue& g) {
        if (quiet_) {
            // No Python code runs until the match ends: the index stays as
            // it is and its Edge objects are read where they are.
            EdgeIndexView view;
            int indexed = edge_index_view(g, view);
            if (indexed < 0) return PyErrorSet{};
            if (indexed > 0) return run_indexed(view);
        }
        if (k_ > 1) {
            Status s = build_index(g.edges.get());
            if (!s) return s;
        } else if (all_open()) {
            // Every edge matches: each list takes at least one entry per edge.
            for (BindingList& list : lists_) list.reserve(PyDict_GET_SIZE(g.edges.get()));
        }
        EdgeWalk walk(g.edges.get(), quiet_);
        PyObject* obj;
        int step;
        uint32_t j = 0;
        while ((step = walk.next(obj)) > 0) {
            if (k_ == 1) {
                // Python code run by a test may give the stored edge other
                // properties: the match is then made on a copy taken first.
                if (quiet_) {
                    if (!first_step(edge_value(obj), 0)) return PyErrorSet{};
                } else {
                    EdgeValue copy(edge_value(obj));
                    if (!first_step(copy, 0)) return PyErrorSet{};
                }
            } else if (j < edges_.size()) {
                // The snapshot was taken from the same dict a moment ago; the
                // walk's change detection covers the rest of the search.
                if (!first_step(edges_[j], j)) return PyErrorSet{};
            }
            ++j;
        }
        if (step < 0) return PyErrorSet{};
        return ok_status();
    }

    // The match over the index of `edges`: the first edge is taken from the
    // edges at an end fixed to one type when there is one (the end with
    // fewer edges), else from every entry; later steps read the edges at
    // the node they stand on.
    Status run_indexed(const EdgeIndexView& view) {
        view_ = &view;
        ring_.resize(kRing * k_);
        std::vector<uint32_t> first;
        bool anchored = false;
        size_t fewest = SIZE_MAX;
        for (size_t i = 0; i < 2; ++i) {
            if (!anchor_type_[i]) continue;
            uint32_t node = view.node_of_type(anchor_type_[i].get());
            if (node == EdgeIndexView::kNoNode) return ok_status();  // no edge has that end
            // The side of the first edge on which node i lies.
            EdgeSide side = dirs_[0] == Direction::Any ? EdgeSide::Both
                            : ((dirs_[0] == Direction::Forward) == (i == 0)) ? EdgeSide::Out
                                                                             : EdgeSide::In;
            size_t degree = view.degree(node, side);
            if (degree < fewest) {
                fewest = degree;
                anchored = true;
                first.clear();
                first.reserve(degree);
                view.for_each_at(node, side, [&](uint32_t p) { first.push_back(p); });
            }
        }
        if (anchored) {
            for (uint32_t p : first) {
                if (!first_step(edge_value(view.edge(p)), p)) return PyErrorSet{};
            }
            flush();
            return ok_status();
        }
        if (k_ == 1 && all_open()) {
            for (BindingList& list : lists_) list.reserve(view.limit());
        }
        // The walk reads the entries in order; what a longer path reads next
        // (the node a first edge reaches, then the entries of its edges) is
        // asked of memory a few edges ahead.
        const bool ahead = k_ > 1;
        const EdgeSide next_side = k_ > 1 ? side_of(dirs_[1]) : EdgeSide::Out;
        for (uint32_t p = 0, n = view.limit(); p < n; ++p) {
            if (ahead && p + 2 * kAhead < n && view.edge(p + 2 * kAhead)) {
                prefetch_reached(p + 2 * kAhead, [&](uint32_t node) { view.prefetch_node(node); });
            }
            if (ahead && p + kAhead < n && view.edge(p + kAhead)) {
                prefetch_reached(p + kAhead,
                                 [&](uint32_t node) { view.prefetch_entries_at(node, next_side); });
            }
            PyObject* e = view.edge(p);
            if (e && !first_step(edge_value(e), p)) return PyErrorSet{};
        }
        flush();
        return ok_status();
    }

    // The sides of a node that a step in direction d leaves by.
    static EdgeSide side_of(Direction d) {
        return d == Direction::Forward ? EdgeSide::Out
               : d == Direction::Backward ? EdgeSide::In : EdgeSide::Both;
    }
    // Calls f with the nodes the first step reaches over the edge at p.
    template <class F>
    void prefetch_reached(uint32_t p, F&& f) const {
        if (dirs_[0] != Direction::Backward) f(view_->end_of(p));
        if (dirs_[0] != Direction::Forward) f(view_->start_of(p));
    }

    BindingTable::Group take_group() {
        BindingTable::Group group;
        group.reserve(names_.size());
        for (size_t s = 0; s < names_.size(); ++s) group.emplace_back(*names_[s], std::move(lists_[s]));
        return group;
    }

private:
    // Where one match's binding of a name goes, and which node or edge it is.
    struct Slot {
        BindingList* list;
        size_t position;
    };

    // The node and edge tests, skipped for patterns that ask for nothing.
    int test_node(size_t i, const NodeValue& n) {
        return node_open_[i] ? 1 : node_tests_[i].matches(n);
    }
    int test_edge(size_t i, const EdgeValue& e) {
        return edge_open_[i] ? 1 : edge_tests_[i].matches(e);
    }
    bool all_open() const {
        for (char open : node_open_) {
            if (!open) return false;
        }
        for (char open : edge_open_) {
            if (!open) return false;
        }
        return true;
    }

    // One pass over `edges`: the snapshot, the node of each end and the
    // edges filed under each node (in edge order). No Python code runs.
    Status build_index(PyObject* dict) {
        std::unordered_map<const TypeNode*, uint32_t, TypeHash, TypeEqual> ids;
        std::vector<uint32_t> start_id, end_id;
        EdgeWalk walk(dict, true);
        PyObject* obj;
        int step;
        while ((step = walk.next(obj)) > 0) {
            if (edges_.size() >= UINT32_MAX / 2) {  // incidences are counted in 32 bits
                PyErr_NoMemory();
                return PyErrorSet{};
            }
            edges_.emplace_back(edge_value(obj));
            const EdgeValue& e = edges_.back();
            for (const NodeValue* end : {&e.start(), &e.end()}) {
                const TypeNode* type = end->type().get();
                auto found = ids.emplace(type, static_cast<uint32_t>(ids.size())).first;
                (end == &e.start() ? start_id : end_id).push_back(found->second);
            }
        }
        if (step < 0) return PyErrorSet{};
        // Counting sort of the incidences by node, stable in edge order.
        const size_t n = edges_.size();
        offsets_.assign(ids.size() + 1, 0);
        for (size_t j = 0; j < n; ++j) {
            ++offsets_[start_id[j] + 1];
            if (end_id[j] != start_id[j]) ++offsets_[end_id[j] + 1];
        }
        for (size_t x = 0; x < ids.size(); ++x) offsets_[x + 1] += offsets_[x];
        incidences_.resize(offsets_.back());
        std::vector<uint32_t> fill(offsets_.begin(), offsets_.end() - 1);
        for (size_t j = 0; j < n; ++j) {
            auto e = static_cast<uint32_t>(j);
            bool loop = end_id[j] == start_id[j];
            incidences_[fill[start_id[j]]++] = {e, true, loop};
            if (!loop) incidences_[fill[end_id[j]]++] = {e, false, true};
        }
        far_id_.resize(2 * n);
        for (size_t j = 0; j < n; ++j) {
            far_id_[2 * j] = end_id[j];        // taken forward
            far_id_[2 * j + 1] = start_id[j];  // taken backward
        }
        used_.assign(n, 0);
        if (n > 0 && k_ - 1 <= kMemoLimit / n) memo_.assign((k_ - 1) * n, 0);
        return ok_status();
    }

    // The node at node position i of the current partial match.
    const NodeValue& node_at(size_t i) const {
        return i == 0 ? path_[0].near() : path_[i - 1].far();
    }

    // A repeated node variable at position i needs the node of its first position.
    bool repeat_ok(size_t i) const {
        return first_[i] == i || same_node(node_at(i), node_at(first_[i]));
    }

    // The matches whose first edge is e, taken in each orientation its
    // direction allows.
    Status first_step(const EdgeValue& e, uint32_t j) {
        int m = test_edge(0, e);
        if (m < 0) return PyErrorSet{};
        if (m == 0) return ok_status();
        bool ways[2] = {dirs_[0] != Direction::Backward, dirs_[0] != Direction::Forward};
        // A self-loop is taken once.
        if (ways[0] && ways[1] && same_node(e.start(), e.end())) ways[1] = false;
        for (int w = 0; w < 2; ++w) {
            if (!ways[w]) continue;
            path_[0] = Step{&e, j, w == 0};
            int r = repeat_ok(1) ? 1 : 0;
            if (r > 0) r = test_node(0, path_[0].near());
            if (r > 0) r = test_node(1, path_[0].far());
            if (r < 0) return PyErrorSet{};
            if (r == 0) continue;
            if (k_ > 1) {
                if (!(view_ ? extend_indexed() : extend())) return PyErrorSet{};
            } else {
                emit();
            }
        }
        return ok_status();
    }

    // Edge pattern i and node pattern i + 1 on edge j taken one way, from
    // the kept results when there are.
    int passes(size_t i, const EdgeValue& e, uint32_t j, bool forward) {
        if (edge_open_[i] && node_open_[i + 1]) return 1;
        uint8_t* memo = memo_.empty() ? nullptr : &memo_[(i - 1) * edges_.size() + j];
        const uint8_t known = forward ? kForwardKnown : kBackwardKnown;
        const uint8_t pass = forward ? kForwardPass : kBackwardPass;
        if (memo && (*memo & known)) return (*memo & pass) ? 1 : 0;
        int r;
        if (memo && (*memo & kEdgeKnown)) {
            r = (*memo & kEdgePass) ? 1 : 0;
        } else {
            r = test_edge(i, e);
            if (r < 0) return -1;
            if (memo) *memo |= kEdgeKnown | (r ? kEdgePass : 0);
        }
        if (r > 0) r = test_node(i + 1, forward ? e.end() : e.start());
        if (r < 0) return -1;
        if (memo) *memo |= known | (r ? pass : 0);
        return r;
    }

    // Steps 1 to k - 1 from the first edge in path_[0], depth first in
    // lexicographic order, on a stack of cursors into the incidence lists.
    Status extend() {
        auto frame_at = [&](const Step& s) {
            uint32_t x = far_id_[2 * s.index + (s.forward ? 0 : 1)];
            return Frame{offsets_[x], offsets_[x + 1], false};
        };
        used_[path_[0].index] = 1;
        std::vector<Frame>& frames = frames_;
        frames.assign(1, frame_at(path_[0]));
        while (!frames.empty()) {
            const size_t i = frames.size();  // the step this frame chooses
            Frame& f = frames.back();
            if (f.chosen) {
                used_[path_[i].index] = 0;
                f.chosen = false;
            }
            if (f.cursor == f.end) {
                frames.pop_back();
                continue;
            }
            const Incidence inc = incidences_[f.cursor++];
            bool forward;
            switch (dirs_[i]) {
                case Direction::Forward: if (!inc.at_start) continue; forward = true; break;
                case Direction::Backward: if (!inc.at_end) continue; forward = false; break;
                default: forward = inc.at_start;
            }
            if (used_[inc.edge]) continue;
            path_[i] = Step{&edges_[inc.edge], inc.edge, forward};
            int r = repeat_ok(i + 1) ? 1 : 0;
            if (r > 0) r = passes(i, edges_[inc.edge], inc.edge, forward);
            if (r < 0) return PyErrorSet{};  // the operation ends: the marks no longer matter
            if (r == 0) continue;
            if (i + 1 == k_) {
                emit();
                continue;
            }
            used_[inc.edge] = 1;
            f.chosen = true;
            frames.push_back(frame_at(path_[i]));
        }
        used_[path_[0].index] = 0;
        return ok_status();
    }

    // extend() over the index: a step's candidates are the edges out of
    // (forward), into (backward) or at (either way) the node it stands on,
    // merged in position order; the edges of the partial path are found in
    // path_ itself, so the search needs nothing the size of `edges`. No
    // results are kept: without Python code a test is a few comparisons.
    Status extend_indexed() {
        const EdgeIndexView& view = *view_;
        // The candidates of step i at the node that step i - 1 reached.
        auto frame_at = [&](size_t i, const Step& s) {
            uint32_t node = s.forward ? view.end_of(s.index) : view.start_of(s.index);
            std::span<const uint32_t> out, in;
            if (dirs_[i] != Direction::Backward) out = view.at(node, EdgeSide::Out);
            if (dirs_[i] != Direction::Forward) in = view.at(node, EdgeSide::In);
            return IndexFrame{out.data(), out.data() + out.size(), in.data(),
                              in.data() + in.size()};
        };
        std::vector<IndexFrame>& frames = index_frames_;
        frames.assign(1, frame_at(1, path_[0]));
        while (!frames.empty()) {
            const size_t i = frames.size();  // the step this frame chooses
            IndexFrame& f = frames.back();
            uint32_t p;
            bool forward;
            if (f.out == f.out_end && f.in == f.in_end) {
                frames.pop_back();
                continue;
            }
            if (f.in == f.in_end || (f.out != f.out_end && *f.out <= *f.in)) {
                p = *f.out++;
                forward = true;
                if (f.in != f.in_end && *f.in == p) ++f.in;  // a self-loop is taken once
            } else {
                p = *f.in++;
                forward = false;
            }
            if (on_path(i, p)) continue;
            path_[i] = Step{&edge_value(view.edge(p)), p, forward};
            int r = repeat_ok(i + 1) ? 1 : 0;
            if (r > 0) r = passes(i, *path_[i].edge, p, forward);
            if (r < 0) return PyErrorSet{};
            if (r == 0) continue;
            if (i + 1 == k_) {
                emit();
                continue;
            }
            frames.push_back(frame_at(i + 1, path_[i]));
        }
        return ok_status();
    }

    // Whether the edge at position p is one of the first i edges of the
    // partial path (a path is short: a scan costs less than marks).
    bool on_path(size_t i, uint32_t p) const {
        for (size_t s = 0; s < i; ++s) {
            if (path_[s].index == p) return true;
        }
        return false;
    }

    // Over the index, a match waits in a ring while what its bindings copy
    // is asked of memory: its Edge objects when it enters, their records
    // kLag matches later, the records of its nodes kLag after that, and its
    // bindings are copied kLag after that, so the misses of consecutive
    // matches overlap instead of following one another.
    void emit() {
        if (!view_) return copy_bindings(path_.data());
        Step* slot = &ring_[(ring_count_ % kRing) * k_];
        std::copy(path_.begin(), path_.end(), slot);
        for (size_t i = 0; i < k_; ++i) __builtin_prefetch(slot[i].edge);
        if (ring_count_ >= kLag) {
            Step* m = &ring_[((ring_count_ - kLag) % kRing) * k_];
            for (size_t i = 0; i < k_; ++i) m[i].edge->prefetch();
        }
        if (ring_count_ >= 2 * kLag) {
            Step* m = &ring_[((ring_count_ - 2 * kLag) % kRing) * k_];
            for (size_t i = 0; i < k_; ++i) {
                m[i].edge->start().prefetch();
                m[i].edge->end().prefetch();
            }
        }
        if (ring_count_ >= 3 * kLag) copy_bindings(&ring_[((ring_count_ - 3 * kLag) % kRing) * k_]);
        ++ring_count_;
    }

    // Copies the bindings of the matches still in the ring, in order.
    void flush() {
        size_t waiting = std::min(ring_count_, 3 * kLag);
        for (size_t t = ring_count_ - waiting; t < ring_count_; ++t) {
            copy_bindings(&ring_[(t % kRing) * k_]);
        }
        ring_count_ = 0;
    }

    // Appends the match whose steps are at m to the lists.
    void copy_bindings(const Step* m) {
        auto node_of = [&](size_t i) -> const NodeValue& {
            return i == 0 ? m[0].near() : m[i - 1].far();
        };
        for (const Slot& s : node_slots_) s.list->emplace_back(node_of(s.position));
        for (const Slot& s : edge_slots_) s.list->emplace_back(*m[s.position].edge);
    }

    const size_t k_;
    bool quiet_ = true;  // no test runs Python code
    std::vector<Direction> dirs_;
    std::vector<NodeTest> node_tests_;
    std::vector<EdgeTest> edge_tests_;
    std::vector<size_t> first_;
    std::vector<char> node_open_, edge_open_;  // patterns that ask for nothing
    std::vector<const std::string*> names_;    // the bound names, one list each
    std::vector<BindingList> lists_;
    std::vector<Slot> node_slots_, edge_slots_;
    std::vector<Step> path_;
    // The index of a longer path.
    std::vector<EdgeValue> edges_;
    std::vector<uint32_t> offsets_;  // node -> its range of incidences_
    std::vector<Incidence> incidences_;
    std::vector<uint32_t> far_id_;   // 2 * edge + (backward): the node reached
    std::vector<uint8_t> used_;
    std::vector<uint8_t> memo_;
    // The search's stack: one cursor into an incidence list per step.
    struct Frame {
        uint32_t cursor, end;
        bool chosen;  // path_ at this step holds an edge marked used
    };
    std::vector<Frame> frames_;
    // The index of `edges`, when the match runs over it, and the exact
    // types that the first two node patterns require (null: none).
    const EdgeIndexView* view_ = nullptr;
    TypeRef anchor_type_[2];
    static constexpr size_t kAhead = 8;  // entries read ahead by the first step
    static constexpr size_t kLag = 4;    // matches between two fetch stages
    static constexpr size_t kRing = 16;  // at least 3 * kLag + 1
    std::vector<Step> ring_;             // kRing matches of k_ steps
    size_t ring_count_ = 0;              // matches put in the ring
    struct IndexFrame {
        const uint32_t *out, *out_end, *in, *in_end;
    };
    std::vector<IndexFrame> index_frames_;
};

}  // namespace

Status match_path(QueryValue& q, const PathPatternValue& path) {
    if (path.edges.empty() || path.nodes.size() != path.edges.size() + 1) return ok_status();
    PathMatcher m(path);
    Status s = m.run(q.graph);
    if (!s) return s;
    return q.matched_vars.assign_group(m.take_group());
}

// ----- the edge form -------------------------------------------------------------

namespace {

// The nodes bound to a name, by type, as a condition on an edge's end: none
// when the name is unbound. The bindings' types are kept alive here.
struct EndCondition {
    bool active = false;
    std::vector<TypeRef> types;
    std::unordered_set<const TypeNode*, TypeHash, TypeEqual> nodes;

    void build(const BindingTable& t, const std::optional<std::string>& name) {
        const BindingList* list = name ? t.find(*name) : nullptr;
        if (!list) return;
        active = true;
        for (const QueryResult& r : *list) {
            const NodeValue* node = std::get_if<NodeValue>(&r);
            if (!node) continue;
            types.push_back(node->type());
            nodes.insert(node->type().get());
        }
    }

    bool admits(const NodeValue& n) const {
        return !active || (!nodes.empty() && nodes.count(n.type().get()));
    }
};

// The positions of the edges that can pass the end conditions, ascending:
// those at the nodes of the condition with fewer edges. False when neither
// end is bound (every edge is a candidate).
bool bound_candidates(const EdgeIndexView& view, const EndCondition& at_start,
                      const EndCondition& at_end, std::vector<uint32_t>& out) {
    const EndCondition* best = nullptr;
    EdgeSide side = EdgeSide::Out;
    size_t fewest = SIZE_MAX;
    for (auto [c, s] : {std::pair{&at_start, EdgeSide::Out}, std::pair{&at_end, EdgeSide::In}}) {
        if (!c->active) continue;
        size_t total = 0;
        for (const TypeNode* t : c->nodes) {
            uint32_t n = view.node_of_type(t);
            if (n != EdgeIndexView::kNoNode) total += view.degree(n, s);
        }
        if (total < fewest) {
            fewest = total;
            best = c;
            side = s;
        }
    }
    if (!best) return false;
    out.reserve(fewest);
    for (const TypeNode* t : best->nodes) {
        uint32_t n = view.node_of_type(t);
        if (n == EdgeIndexView::kNoNode) continue;
        std::span<const uint32_t> at = view.at(n, side);
        out.insert(out.end(), at.begin(), at.end());
    }
    if (best->nodes.size() > 1) {
        std::sort(out.begin(), out.end());
        out.erase(std::unique(out.begin(), out.end()), out.end());
    }
    return true;
}

}  // namespace

Status match_edge(QueryValue& q, const MatchEdge& m) {
    EndCondition at_start, at_end;
    at_start.build(q.matched_vars, m.start);
    at_end.build(q.matched_vars, m.end);
    EdgeTest test(m.pattern);
    // One name at both ends asks for the same node at both, bound once.
    const bool one_node = m.start && m.end && *m.start == *m.end;
    BindingList edges, starts, ends;
    // 1 to go on, -1 on error.
    auto take = [&](const EdgeValue& e) {
        int r = at_start.admits(e.start()) && at_end.admits(e.end()) &&
                (!one_node || same_node(e.start(), e.end()));
        if (r > 0) r = test.matches(e);
        if (r <= 0) return r < 0 ? -1 : 1;
        if (m.start) starts.emplace_back(e.start());
        if (m.end && !one_node) ends.emplace_back(e.end());
        edges.emplace_back(e);
        return 1;
    };
    int indexed = 0;
    EdgeIndexView view;
    // Without Python code in the test the edges are read from the index:
    // those at the bound nodes only, when an end is bound.
    if (!test.runs_python()) indexed = edge_index_view(q.graph, view);
    if (indexed < 0) return PyErrorSet{};
    if (indexed > 0) {
        std::vector<uint32_t> positions;
        if (bound_candidates(view, at_start, at_end, positions)) {
            for (uint32_t p : positions) {
                if (take(edge_value(view.edge(p))) < 0) return PyErrorSet{};
            }
        } else {
            for (uint32_t p = 0, n = view.limit(); p < n; ++p) {
                PyObject* e = view.edge(p);
                if (e && take(edge_value(e)) < 0) return PyErrorSet{};
            }
        }
    } else {
        EdgeWalk walk(q.graph.edges.get(), false);
        PyObject* obj;
        int step;
        while ((step = walk.next(obj)) > 0) {
            if (take(EdgeValue(edge_value(obj))) < 0) return PyErrorSet{};
        }
        if (step < 0) return PyErrorSet{};
    }
    BindingTable::Group group;
    if (m.pattern.variable) group.emplace_back(*m.pattern.variable, std::move(edges));
    if (m.start) group.emplace_back(*m.start, std::move(starts));
    if (m.end && !one_node) group.emplace_back(*m.end, std::move(ends));
    return q.matched_vars.assign_group(std::move(group));
}

}  // namespace vk
