#include "cypher/run.hpp"

#include <algorithm>
#include <unordered_map>

#include "cypher/front.hpp"
#include "cypher/functions.hpp"
#include "host/pytype.hpp"

namespace vk::cypher {

Run::Run(const Plan& p, const GraphValue& g, std::vector<Ref> ps)
    : plan(p),
      q(*p.query),
      graph(g),
      tests(p.labels),
      params(std::move(ps)),
      ctx{*p.query, p.labels, tests, nullptr, params.data(), GraphView{g.nodes.get(), g.edges.get()},
          &built, this} {
    graph.follow(&ctx.view);
}

// Rows of key values kept by equivalence (DISTINCT, grouping): a hash of
// the values leads to a chain of entries compared with `equivalent`.
class KeyTable {
public:
    explicit KeyTable(size_t width) : width_(width) {}

    // The entry equivalent to keys (added when new: `added`), or -1 failed.
    int64_t find_or_add(const Ref* keys, bool& added) {
        if (width_ == 0) {  // one entry, the empty row
            added = chain_.empty();
            if (added) chain_.push_back(kNoEntry);
            return 0;
        }
        // One node key: the same Node object is met again and again (the
        // snapshot resolves each end once), so its entry is kept by address.
        PyObject* only = width_ == 1 && keys[0].get() && Py_TYPE(keys[0].get()) == NodeType
                             ? keys[0].get()
                             : nullptr;
        if (only) {
            if (uint32_t* seen = by_object_.find(only)) {
                added = false;
                return *seen;
            }
        }
        int64_t at = find_or_add_hashed(keys, added);
        if (only && at >= 0) {
            by_object_.insert(only, (uint32_t)at);
            held_.push_back(Ref::borrow(only));
        }
        return at;
    }
    size_t size() const { return chain_.size(); }
    const Ref* entry(size_t i) const { return values_.data() + i * width_; }

private:
    int64_t find_or_add_hashed(const Ref* keys, bool& added) {
        uint64_t combined = 0;  // unsigned: the mixing wraps around
        for (size_t i = 0; i < width_; ++i) {
            Py_hash_t k = key_hash(keys[i].get() ? keys[i].get() : Py_None);
            if (k == -1) return -1;
            combined = (combined * 1000003) ^ static_cast<uint64_t>(k);
        }
        const Py_hash_t h = static_cast<Py_hash_t>(combined);
        added = false;
        auto it = heads_.find(h);
        uint32_t at = it == heads_.end() ? kNoEntry : it->second;
        for (; at != kNoEntry; at = chain_[at]) {
            bool same = true;
            for (size_t i = 0; i < width_ && same; ++i) {
                PyObject* a = values_[at * width_ + i].get();
                PyObject* b = keys[i].get() ? keys[i].get() : Py_None;
                int r = Py_TYPE(a) == NodeType && Py_TYPE(b) == NodeType ? same_node(a, b)
                                                                          : equivalent(a, b);
                if (r < 0) return -1;
                same = r == 1;
            }
            if (same) return at;
        }
        uint32_t entry = (uint32_t)chain_.size();
        chain_.push_back(it == heads_.end() ? kNoEntry : it->second);
        heads_[h] = entry;
        for (size_t i = 0; i < width_; ++i) {
            values_.push_back(Ref::borrow(keys[i].get() ? keys[i].get() : Py_None));
        }
        added = true;
        return entry;
    }

    // Nodes hash by their types (kept with the type), as their uids would.
    static Py_hash_t key_hash(PyObject* v) {
        return Py_TYPE(v) == NodeType ? type_py_hash(node_value(v).type().get()) : hash(v);
    }
    static constexpr uint32_t kNoEntry = UINT32_MAX;
    size_t width_;
    std::unordered_map<Py_hash_t, uint32_t> heads_;
    std::vector<uint32_t> chain_;
    std::vector<Ref> values_;
    AddressMap<uint32_t> by_object_;
    std::vector<Ref> held_;  // the objects by_object_ is keyed by
};

namespace {

// ----- MATCH -------------------------------------------------------------------

class MatchExec : public Exec {
public:
    MatchExec(Run& r, Exec* n, const MatchOp& op)
        : Exec(r, n), op_(op), tables_(op.parts.size()), ready_(op.parts.size(), 0) {}

    int push() override {
        produced_ = 0;
        int r = part(0);
        if (r <= 0) return r;
        if (op_.optional && produced_ == 0) {
            for (int32_t s : op_.new_slots) run.row[s] = Ref::borrow(Py_None);
            return next->push();
        }
        return 1;
    }

private:
    Ref& slot(int32_t s) { return run.row[s]; }
    const NodePat& node_pat(uint32_t i) const { return run.q.nodes[i]; }
    const RelPat& rel_pat(uint32_t i) const { return run.q.rels[i]; }

    int part(size_t pi) {
        if (pi == op_.parts.size()) return leaf();
        if (op_.parts[pi].replay) return replay(pi);
        return step(pi, 0);
    }

    int leaf() {
        if (run.tick() < 0) return -1;
        if (op_.where != kNone) {
            Tri t = eval_truth(run.ctx, op_.where, "WHERE");
            if (t == kError) return -1;
            if (t != kTrue) return 1;
        }
        ++produced_;
        return next->push();
    }

    int replay(size_t pi) {
        const PartPlan& p = op_.parts[pi];
        std::vector<Ref>& table = tables_[pi];
        if (!ready_[pi]) {
            recording_ = (int)pi;
            int r = step(pi, 0);
            recording_ = -1;
            if (r < 0) return -1;
            ready_[pi] = 1;
        }
        size_t w = p.slots.size();
        for (size_t at = 0; at < table.size(); at += w) {
            if (run.tick() < 0) return -1;
            for (size_t i = 0; i < w; ++i) slot(p.slots[i]) = table[at + i].copy();
            bool unique = true;
            for (auto [a, b] : p.distinct_pairs) {
                if (rels_overlap(slot(a).get(), slot(b).get())) unique = false;
            }
            if (!unique) continue;
            int r = part(pi + 1);
            if (r <= 0) return r;
        }
        return 1;
    }

    // A scan testing properties reads, per node, the node, its record, its
    // properties dict and that dict's table, each far from the last: ask
    // memory for each a few nodes ahead of its use.
    static void prefetch_properties(std::span<PyObject* const> nodes, size_t at) {
        if (at + 16 < nodes.size()) __builtin_prefetch(nodes[at + 16]);
        if (at + 12 < nodes.size()) __builtin_prefetch(&node_value(nodes[at + 12]).type());
        if (at + 8 < nodes.size()) __builtin_prefetch(node_value(nodes[at + 8]).properties());
        if (at + 4 < nodes.size()) {
            PyObject* d = node_value(nodes[at + 4]).properties();
            if (PyDict_CheckExact(d)) __builtin_prefetch(reinterpret_cast<PyDictObject*>(d)->ma_keys);
        }
    }

    // Whether an expansion is the last step of a counting match and tests
    // nothing on the edge or the far node, so it counts instead of binding.
    bool counts_here(size_t pi, size_t si, const Step& s, const RelPat& rp) const {
        if (!op_.counting || pi + 1 != op_.parts.size() || recording_ == (int)pi) return false;
        if (si + 1 != op_.parts[pi].steps.size() || s.far_bound) return false;
        const NodePat& far = node_pat(s.node);
        return rp.types.empty() && rp.props == kNone && far.groups.empty() && far.props == kNone &&
               far.slot != node_pat(s.from).slot;
    }

    // The type a node pattern's labels name outright (a group of one plain
    // label: every node it matches has that type), or null.
    const TypeNode* named_type(const NodePat& n) const {
        for (const Range& g : Query::of(run.q.groups, n.groups)) {
            if (g.count != 1) continue;
            const LabelInfo& l = run.plan.labels.labels[g.begin];
            if (l.kind == LabelKind::Name && l.type) return l.type.get();
        }
        return nullptr;
    }

    // For a scan of `edges`: a type one of the two ends must have, and on
    // which side of the edge that end is; null when neither end's labels
    // name one.
    const TypeNode* scan_anchor(const Step& s, Dir dir, EdgeSide& side) const {
        if (const TypeNode* t = named_type(node_pat(s.from))) {
            side = dir == Dir::Out ? EdgeSide::Out : dir == Dir::In ? EdgeSide::In : EdgeSide::Both;
            return t;
        }
        if (const TypeNode* t = named_type(node_pat(s.node))) {
            side = dir == Dir::Out ? EdgeSide::In : dir == Dir::In ? EdgeSide::Out : EdgeSide::Both;
            return t;
        }
        return nullptr;
    }

    // Labels and properties of a node pattern on a node object: 1, 0, -1.
    int node_ok(const NodePat& n, PyObject* node) {
        if (!n.groups.empty() && !node_has_labels(run.ctx, n.groups, node_value(node).type().get())) {
            return 0;
        }
        if (n.props != kNone) return has_properties(run.ctx, n.props, node);
        return 1;
    }

    // A node pattern naming a node bound before (an earlier occurrence of
    // its variable) still filters by its own labels and properties.
    int repeat_ok(const NodePat& n, PyObject* node) {
        if (n.groups.empty() && n.props == kNone) return 1;
        return node_ok(n, node);
    }

    // Binds (or, when bound, compares) the node of pattern `ni` at one end
    // of an edge: 1, 0, -1. The end's type decides identity and labels; the
    // node object is looked up only for its properties or a slot read later.
    int take_end(uint32_t ni, bool bound, EdgeEntry& e, bool start) {
        const NodePat& n = node_pat(ni);
        const TypeNode* t = start ? e.start_type : e.end_type;
        if (bound) {
            PyObject* v = slot(n.slot).get();
            if (!v || Py_TYPE(v) != NodeType || !type_equal(node_value(v).type().get(), t)) return 0;
            return repeat_ok(n, v);
        }
        if (!n.groups.empty() && !node_has_labels(run.ctx, n.groups, t)) return 0;
        const bool keep = op_.keep[n.slot];
        if (!keep && n.props == kNone) return 1;
        PyObject* node = run.graph.end_node(e, start);
        if (!node) return -1;
        if (n.props != kNone) {
            int ok = has_properties(run.ctx, n.props, node);
            if (ok <= 0) return ok;
        }
        if (keep) slot(n.slot) = Ref::borrow(node);
        return 1;
    }

    // Type, uniqueness and properties of a relationship: 1, 0, -1.
    int rel_ok(const Step& s, const RelPat& r, PyObject* edge) {
        if (!rel_has_type(run.ctx, r.types, edge_value(edge))) return 0;
        // Relationships a clause matches are entries of one `edges` snapshot,
        // filed under their uids: distinct entries are distinct relationships
        // (a bound one from an earlier clause is an entry of it too).
        for (int32_t other : s.distinct_from) {
            if (holds_rel(slot(other).get(), edge)) return 0;
        }
        if (r.props != kNone) return has_properties(run.ctx, r.props, edge);
        return 1;
    }

    // Binds (or, when bound, compares) the node of pattern `ni` to a node
    // object reached by a path step: 1, 0, -1.
    int take_node(uint32_t ni, bool bound, PyObject* node) {
        const NodePat& n = node_pat(ni);
        if (bound) {
            PyObject* v = slot(n.slot).get();
            return v && same_node(v, node) ? repeat_ok(n, v) : 0;
        }
        int ok = node_ok(n, node);
        if (ok == 1) slot(n.slot) = Ref::borrow(node);
        return ok;
    }

    // The rest of the step after one orientation of an edge (near end first).
    int take_both(size_t pi, size_t si, const Step& s, EdgeEntry& e, bool near_is_start) {
        int ok = take_end(s.from, s.near_bound, e, near_is_start);
        if (ok <= 0) return ok < 0 ? -1 : 1;
        bool far_bound = s.far_bound || node_pat(s.node).slot == node_pat(s.from).slot;
        ok = take_end(s.node, far_bound, e, !near_is_start);
        if (ok <= 0) return ok < 0 ? -1 : 1;
        slot(rel_pat(s.rel).slot) = Ref::borrow(e.edge);
        return step(pi, si + 1);
    }

    // Both orientations a relationship's direction allows, start to end first.
    int orientations(size_t pi, size_t si, const Step& s, EdgeEntry& e) {
        Dir d = rel_pat(s.rel).dir;
        if (d != Dir::In) {
            int r = take_both(pi, si, s, e, true);
            if (r <= 0) return r;
        }
        if (d == Dir::In || (d == Dir::Both && !type_equal(e.start_type, e.end_type))) {
            return take_both(pi, si, s, e, false);
        }
        return 1;
    }

    int step(size_t pi, size_t si) {
        const PartPlan& p = op_.parts[pi];
        if (si == p.steps.size()) {
            if (recording_ == (int)pi) {
                for (int32_t s : p.slots) tables_[pi].push_back(slot(s).copy());
                return 1;
            }
            return part(pi + 1);
        }
        if (Py_EnterRecursiveCall(" while matching a pattern")) return -1;
        int r = step_body(pi, si, p.steps[si]);
        Py_LeaveRecursiveCall();
        return r;
    }

    int step_body(size_t pi, size_t si, const Step& s) {
        switch (s.kind) {
            case StepKind::ScanNodes: {
                const NodePat& n = node_pat(s.node);
                std::span<PyObject* const> nodes;
                const TypeNode* t = named_type(n);
                if (!(t ? run.graph.nodes_of_type(t, nodes) : run.graph.nodes(nodes))) return -1;
                const bool ahead = n.props != kNone;
                for (size_t at = 0; at < nodes.size(); ++at) {
                    PyObject* node = nodes[at];
                    if (run.tick() < 0) return -1;
                    if (ahead) prefetch_properties(nodes, at);
                    int ok = node_ok(n, node);
                    if (ok < 0) return -1;
                    if (!ok) continue;
                    slot(n.slot) = Ref::borrow(node);
                    int r = step(pi, si + 1);
                    if (r <= 0) return r;
                }
                return 1;
            }
            case StepKind::CheckNode: {
                PyObject* v = slot(node_pat(s.node).slot).get();
                if (!v || Py_TYPE(v) != NodeType) return 1;
                int ok = node_ok(node_pat(s.node), v);
                if (ok <= 0) return ok < 0 ? -1 : 1;
                return step(pi, si + 1);
            }
            case StepKind::ScanEdges: {
                const RelPat& rp = rel_pat(s.rel);
                auto each = [&](EdgeEntry& e) {
                    if (run.tick() < 0) return -1;
                    int ok = rel_ok(s, rp, e.edge);
                    if (ok < 0) return -1;
                    if (!ok) return 1;
                    return orientations(pi, si, s, e);
                };
                // An end whose label names one type: only the edges at that
                // type can match, and they come in the order of `edges`.
                EdgeSide side;
                if (const TypeNode* t = scan_anchor(s, rp.dir, side)) {
                    std::span<const Incidence> inc;
                    EdgeEntry* entries;
                    if (!run.graph.edges_at(t, side, inc, entries)) return -1;
                    for (const Incidence& i : inc) {
                        int r = each(entries[i.edge]);
                        if (r <= 0) return r;
                    }
                    return 1;
                }
                std::span<EdgeEntry> edges;
                if (!run.graph.edges(edges)) return -1;
                for (EdgeEntry& e : edges) {
                    int r = each(e);
                    if (r <= 0) return r;
                }
                return 1;
            }
            case StepKind::BoundRel: {
                PyObject* edge = slot(rel_pat(s.rel).slot).get();
                if (!edge || Py_TYPE(edge) != EdgeType) return 1;
                Ref held = Ref::borrow(edge);
                int ok = rel_ok(s, rel_pat(s.rel), edge);
                if (ok <= 0) return ok < 0 ? -1 : 1;
                EdgeEntry e = GraphAccess::entry_of(edge);
                return orientations(pi, si, s, e);
            }
            case StepKind::VarExpand:
                return run.paths().var_expand(s, [&](PyObject* far) -> int {
                    int ok = take_node(s.node, s.far_bound, far);
                    if (ok <= 0) return ok < 0 ? -1 : 1;
                    return step(pi, si + 1);
                });
            case StepKind::Shortest:
                return run.paths().shortest(s, [&](PyObject*) { return step(pi, si + 1); });
            case StepKind::BindPath: {
                PyObject* path = run.paths().assemble(s.path);
                if (!path) return -1;
                slot(run.q.paths[s.path].slot) = Ref::steal(path);
                return step(pi, si + 1);
            }
            case StepKind::Expand: {
                Ref from = slot(node_pat(s.from).slot).copy();
                const RelPat& rp = rel_pat(s.rel);
                // Whether the walk leaves `from` at the edge's start.
                const bool from_start = (rp.dir == Dir::Out) != s.leftward;
                const EdgeSide side = rp.dir == Dir::Both ? EdgeSide::Both
                                      : from_start        ? EdgeSide::Out
                                                          : EdgeSide::In;
                const TypeNode* from_type = node_value(from.get()).type().get();
                if (counts_here(pi, si, s, rp)) {
                    // Each edge on the side, but those bound before, is a row.
                    int64_t n = run.graph.count_at(from_type, side, [&](PyObject* edge) {
                        for (int32_t other : s.distinct_from) {
                            if (slot(other).get() == edge) return true;
                        }
                        return false;
                    });
                    if (n < 0 || run.tick() < 0) return -1;
                    produced_ += (uint64_t)n;
                    return n ? next->push_count((uint64_t)n) : 1;
                }
                std::span<const Incidence> inc;
                EdgeEntry* entries;
                if (!run.graph.edges_at(from_type, side, inc, entries)) return -1;
                for (const Incidence& i : inc) {
                    if (run.tick() < 0) return -1;
                    EdgeEntry& e = entries[i.edge];
                    bool far_is_start[2];
                    int n = 0;
                    if (rp.dir == Dir::Both) {
                        if (i.at_start) far_is_start[n++] = false;
                        if (i.at_end && !i.at_start) far_is_start[n++] = true;
                    } else if (from_start ? i.at_start : i.at_end) {
                        far_is_start[n++] = !from_start;
                    }
                    if (!n) continue;
                    int ok = rel_ok(s, rp, e.edge);
                    if (ok < 0) return -1;
                    if (!ok) continue;
                    for (int k = 0; k < n; ++k) {
                        ok = take_end(s.node, s.far_bound, e, far_is_start[k]);
                        if (ok < 0) return -1;
                        if (!ok) continue;
                        slot(rp.slot) = Ref::borrow(e.edge);
                        int r = step(pi, si + 1);
                        if (r <= 0) return r;
                    }
                }
                return 1;
            }
        }
        return 1;
    }

    const MatchOp& op_;
    std::vector<std::vector<Ref>> tables_;
    std::vector<char> ready_;
    int recording_ = -1;
    uint64_t produced_ = 0;
};

// ----- row operators -------------------------------------------------------------

class UnwindExec : public Exec {
public:
    UnwindExec(Run& r, Exec* n, const UnwindOp& op) : Exec(r, n), op_(op) {}
    int push() override {
        Ref v = Ref::steal(eval(run.ctx, op_.expr));
        if (!v) return -1;
        if (v.get() == Py_None) return 1;
        if (!PyList_Check(v.get()) && !PyTuple_Check(v.get())) {
            run.row[op_.slot] = std::move(v);
            return next->push();
        }
        Ref seq = Ref::steal(PySequence_Fast(v.get(), "list"));
        if (!seq) return -1;
        for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq.get()); ++i) {
            if (run.tick() < 0) return -1;
            run.row[op_.slot] = Ref::borrow(PySequence_Fast_GET_ITEM(seq.get(), i));
            int r = next->push();
            if (r <= 0) return r;
        }
        return 1;
    }

private:
    const UnwindOp& op_;
};

class FilterExec : public Exec {
public:
    FilterExec(Run& r, Exec* n, const FilterOp& op) : Exec(r, n), op_(op) {}
    int push() override {
        Tri t = eval_truth(run.ctx, op_.where, "WHERE");
        if (t == kError) return -1;
        return t == kTrue ? next->push() : 1;
    }

private:
    const FilterOp& op_;
};

// Computes items into a scratch list first, so that an item may read a slot
// another item writes (`WITH b AS a, a AS b`).
int project(Run& run, const std::vector<std::pair<Idx, int32_t>>& items, std::vector<Ref>& tmp) {
    tmp.resize(items.size());
    for (size_t i = 0; i < items.size(); ++i) {
        tmp[i] = Ref::steal(eval(run.ctx, items[i].first));
        if (!tmp[i]) return -1;
    }
    for (size_t i = 0; i < items.size(); ++i) run.row[items[i].second] = std::move(tmp[i]);
    return 0;
}

class ProjectExec : public Exec {
public:
    ProjectExec(Run& r, Exec* n, const ProjectOp& op) : Exec(r, n), op_(op) {}
    int push() override {
        if (project(run, op_.items, tmp_) < 0) return -1;
        return next->push();
    }

private:
    const ProjectOp& op_;
    std::vector<Ref> tmp_;
};

class AggregateExec : public Exec {
public:
    AggregateExec(Run& r, Exec* n, const AggregateOp& op)
        : Exec(r, n), op_(op), table_(op.keys.size()), keys_(op.keys.size()) {}

    int push() override {
        for (size_t i = 0; i < op_.keys.size(); ++i) {
            keys_[i] = Ref::steal(eval(run.ctx, op_.keys[i].first));
            if (!keys_[i]) return -1;
        }
        bool added;
        int64_t g = table_.find_or_add(keys_.data(), added);
        if (g < 0) return -1;
        if (added && !new_group()) return -1;
        return add(groups_[(size_t)g]);
    }

    // Only count(*) without grouping reads counted rows (MatchOp::counting).
    int push_count(uint64_t n) override {
        bool added;
        int64_t g = table_.find_or_add(keys_.data(), added);  // the one group
        if (g < 0) return -1;
        if (added && !new_group()) return -1;
        for (auto& acc : groups_[(size_t)g].accs) {
            for (uint64_t i = 0; i < n; ++i) {
                if (!acc->add(nullptr, 0)) return -1;
            }
        }
        return 1;
    }

    int finish() override {
        if (groups_.empty() && op_.keys.empty() && !new_group()) return -1;
        for (size_t g = 0; g < groups_.size(); ++g) {
            if (run.tick() < 0) return -1;
            Group& gr = groups_[g];
            for (size_t i = 0; i < gr.row.size(); ++i) run.row[i] = gr.row[i].copy();
            for (size_t a = 0; a < op_.aggregates.size(); ++a) {
                Ref v = Ref::steal(gr.accs[a]->finish());
                if (!v) return -1;
                run.built.add(v.get());
                run.row[run.q.expr(op_.aggregates[a]).slot] = std::move(v);
            }
            const Ref* keys = table_.entry(g);
            for (size_t k = 0; k < op_.keys.size(); ++k) run.row[op_.keys[k].second] = keys[k].copy();
            if (project(run, op_.aggregated, tmp_) < 0) return -1;
            int r = next->push();
            if (r < 0) return -1;
            if (r == 0) break;
        }
        groups_.clear();
        return next->finish();
    }

private:
    struct Group {
        std::vector<Ref> row;  // the group's first row
        std::vector<std::unique_ptr<Accumulator>> accs;
    };

    Status new_group() {
        Group g;
        g.row.reserve(op_.nslots);
        for (uint32_t i = 0; i < op_.nslots; ++i) g.row.push_back(run.row[i].copy());
        for (Idx a : op_.aggregates) {
            const Expr& e = run.q.expr(a);
            g.accs.push_back(Accumulator::make(static_cast<AggKind>(e.op), e.distinct));
            if (!g.accs.back()) return PyErrorSet{};
        }
        groups_.push_back(std::move(g));
        return ok_status();
    }

    int add(Group& g) {
        for (size_t a = 0; a < op_.aggregates.size(); ++a) {
            const Expr& e = run.q.expr(op_.aggregates[a]);
            auto kids = run.q.kids(e);
            Ref held[2];
            PyObject* args[2];
            size_t n = std::min<size_t>(kids.size(), 2);
            for (size_t i = 0; i < n; ++i) {
                held[i] = Ref::steal(eval(run.ctx, kids[i]));
                if (!held[i]) return -1;
                args[i] = held[i].get();
            }
            if (!g.accs[a]->add(args, n)) return -1;
        }
        return 1;
    }

    const AggregateOp& op_;
    KeyTable table_;
    std::vector<Group> groups_;
    std::vector<Ref> keys_, tmp_;
};

class DistinctExec : public Exec {
public:
    DistinctExec(Run& r, Exec* n, const DistinctOp& op)
        : Exec(r, n), op_(op), table_(op.slots.size()), keys_(op.slots.size()) {}
    int push() override {
        for (size_t i = 0; i < op_.slots.size(); ++i) keys_[i] = run.row[op_.slots[i]].copy();
        bool added;
        if (table_.find_or_add(keys_.data(), added) < 0) return -1;
        return added ? next->push() : 1;
    }

private:
    const DistinctOp& op_;
    KeyTable table_;
    std::vector<Ref> keys_;
};

// The count of a SKIP or LIMIT when it is a non-negative integer, else -1
// (the slice itself reports the error); -2 failed.
int64_t known_count(Run& run, Idx expr) {
    if (expr == kNone) return 0;
    Ref v = Ref::steal(eval(run.ctx, expr));
    if (!v) return -2;
    if (!PyLong_Check(v.get()) || PyBool_Check(v.get())) return -1;
    int overflow;
    long long n = PyLong_AsLongLongAndOverflow(v.get(), &overflow);
    if (n == -1 && PyErr_Occurred()) return -2;
    return overflow || n < 0 ? -1 : n;
}

// ORDER BY: every row kept with its sort keys, then pushed on in order
// (stable: rows of equal keys in the order met). Followed by a LIMIT, only
// the rows that can still be returned are kept: the worst of them on top of
// a heap, which a better row replaces.
class SortExec : public Exec {
public:
    SortExec(Run& r, Exec* n, const SortOp& op) : Exec(r, n), op_(op), w_(op.keys.size()) {}

    int push() override {
        if (bound_ == kUnread) {
            int64_t skip = known_count(run, op_.skip), limit = known_count(run, op_.limit);
            if (skip == -2 || limit == -2) return -1;
            bound_ = op_.limit == kNone || skip < 0 || limit < 0 ? kNoBound : skip + limit;
        }
        size_t at = count_;
        if (bound_ != kNoBound && count_ >= (size_t)bound_) {
            if (bound_ == 0) return 1;
            // Only a row that sorts before the worst kept one stays.
            keys_.resize((count_ + 1) * w_);
            seq_.resize(count_ + 1);
            seq_[count_] = next_seq_;  // met last: it loses ties
            if (eval_keys(count_) < 0) return -1;
            int before = less(count_, heap_.front());
            seq_.resize(count_);
            if (before < 0) return -1;
            if (!before) return 1;
            std::pop_heap(heap_.begin(), heap_.end(), worse_on_top());
            if (failed_) return -1;
            at = heap_.back();
            heap_.pop_back();
            for (size_t k = 0; k < w_; ++k) keys_[at * w_ + k] = std::move(keys_[count_ * w_ + k]);
            keys_.resize(count_ * w_);
        } else {
            keys_.resize((count_ + 1) * w_);
            rows_.resize((count_ + 1) * op_.nslots);
            seq_.push_back(0);
            if (eval_keys(at) < 0) return -1;
            ++count_;
        }
        for (uint32_t i = 0; i < op_.nslots; ++i) rows_[at * op_.nslots + i] = run.row[i].copy();
        seq_[at] = next_seq_++;
        if (bound_ != kNoBound) {
            heap_.push_back((uint32_t)at);
            std::push_heap(heap_.begin(), heap_.end(), worse_on_top());
            if (failed_) return -1;
        }
        return 1;
    }

    int finish() override {
        std::vector<uint32_t> order(count_);
        for (uint32_t i = 0; i < count_; ++i) order[i] = i;
        std::sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) { return less(a, b) == 1; });
        if (failed_) return -1;
        for (uint32_t i : order) {
            if (run.tick() < 0) return -1;
            for (uint32_t s = 0; s < op_.nslots; ++s) run.row[s] = rows_[i * op_.nslots + s].copy();
            int r = next->push();
            if (r < 0) return -1;
            if (r == 0) break;
        }
        rows_.clear();
        keys_.clear();
        return next->finish();
    }

private:
    static constexpr int64_t kUnread = -2, kNoBound = -1;

    int eval_keys(size_t at) {
        for (size_t k = 0; k < w_; ++k) {
            keys_[at * w_ + k] = Ref::steal(eval(run.ctx, op_.keys[k].first));
            if (!keys_[at * w_ + k]) return -1;
        }
        return 0;
    }

    // Whether entry a sorts before entry b (keys, then the order met): 1, 0,
    // or -1 failed (and failed_ set, for the standard algorithms' sake).
    int less(size_t a, size_t b) {
        if (failed_) return -1;
        for (size_t k = 0; k < w_; ++k) {
            int c;
            if (cypher::order(keys_[a * w_ + k].get(), keys_[b * w_ + k].get(), &c) < 0) {
                failed_ = true;
                return -1;
            }
            if (c != 0) return (op_.keys[k].second ? c > 0 : c < 0) ? 1 : 0;
        }
        return seq_[a] < seq_[b] ? 1 : 0;
    }
    // The heap's order: the entry sorting last on top.
    struct WorseOnTop {
        SortExec* self;
        bool operator()(uint32_t a, uint32_t b) const { return self->less(a, b) == 1; }
    };
    WorseOnTop worse_on_top() { return {this}; }

    const SortOp& op_;
    const size_t w_;
    int64_t bound_ = kUnread;
    size_t count_ = 0;          // entries kept
    uint64_t next_seq_ = 0;
    bool failed_ = false;
    std::vector<Ref> rows_, keys_;
    std::vector<uint64_t> seq_;  // by entry: the order the row was met
    std::vector<uint32_t> heap_;
};

class SliceExec : public Exec {
public:
    SliceExec(Run& r, Exec* n, const SliceOp& op) : Exec(r, n), op_(op) {}

    int push() override {
        if (count_ < 0 && read_count() < 0) return -1;
        if (op_.skip) {
            if (seen_ < count_) {
                ++seen_;
                return 1;
            }
            return next->push();
        }
        if (seen_ >= count_) return 0;
        ++seen_;
        int r = next->push();
        return (r == 1 && seen_ >= count_) ? 0 : r;
    }

private:
    int read_count() {
        Ref v = Ref::steal(eval(run.ctx, op_.count));
        if (!v) return -1;
        const char* what = op_.skip ? "SKIP" : "LIMIT";
        if (PyLong_Check(v.get()) && !PyBool_Check(v.get())) {
            int overflow;
            long long n = PyLong_AsLongLongAndOverflow(v.get(), &overflow);
            if (n == -1 && PyErr_Occurred()) return -1;
            if (overflow > 0) n = INT64_MAX;
            if (overflow >= 0 && n >= 0) {
                count_ = n;
                return 0;
            }
        }
        Ref text = Ref::steal(PyObject_Repr(v.get()));
        const char* t = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
        if (!t) return -1;
        raise(query_error(run.q.text, run.q.expr(op_.count).pos,
                          std::string(what) + " expected a non-negative integer, got " + t));
        return -1;
    }

    const SliceOp& op_;
    int64_t count_ = -1;
    int64_t seen_ = 0;
};

class EmitExec : public Exec {
public:
    EmitExec(Run& r, Exec* n, const EmitOp& op) : Exec(r, n), op_(op), keys_(op.slots.size()) {}

    int push() override {
        if (run.plan.union_distinct) {
            for (size_t i = 0; i < op_.slots.size(); ++i) keys_[i] = run.row[op_.slots[i]].copy();
            bool added;
            if (run.union_seen->find_or_add(keys_.data(), added) < 0) return -1;
            if (!added) return 1;
        }
        Ref d = Ref::steal(PyDict_New());
        if (!d) return -1;
        const std::vector<Ref>& cols = run.plan.columns;
        for (size_t i = 0; i < op_.slots.size(); ++i) {
            PyObject* v = run.row[op_.slots[i]].get();
            Ref out = Ref::steal(to_result(v ? v : Py_None, run.built));
            if (!out || PyDict_SetItem(d.get(), cols[i].get(), out.get()) < 0) return -1;
        }
        return PyList_Append(run.result.get(), d.get()) < 0 ? -1 : 1;
    }

private:
    const EmitOp& op_;
    std::vector<Ref> keys_;
};

}  // namespace

std::unique_ptr<Exec> MatchOp::start(Run& run, Exec* next) const {
    return std::make_unique<MatchExec>(run, next, *this);
}
std::unique_ptr<Exec> UnwindOp::start(Run& run, Exec* next) const {
    return std::make_unique<UnwindExec>(run, next, *this);
}
std::unique_ptr<Exec> FilterOp::start(Run& run, Exec* next) const {
    return std::make_unique<FilterExec>(run, next, *this);
}
std::unique_ptr<Exec> ProjectOp::start(Run& run, Exec* next) const {
    return std::make_unique<ProjectExec>(run, next, *this);
}
std::unique_ptr<Exec> AggregateOp::start(Run& run, Exec* next) const {
    return std::make_unique<AggregateExec>(run, next, *this);
}
std::unique_ptr<Exec> DistinctOp::start(Run& run, Exec* next) const {
    return std::make_unique<DistinctExec>(run, next, *this);
}
std::unique_ptr<Exec> SortOp::start(Run& run, Exec* next) const {
    return std::make_unique<SortExec>(run, next, *this);
}
std::unique_ptr<Exec> SliceOp::start(Run& run, Exec* next) const {
    return std::make_unique<SliceExec>(run, next, *this);
}
std::unique_ptr<Exec> EmitOp::start(Run& run, Exec* next) const {
    return std::make_unique<EmitExec>(run, next, *this);
}

PyObject* to_result(PyObject* v, BuiltSet& built) {
    PyTypeObject* t = Py_TYPE(v);
    if (t == NodeType) return node_to_python(node_value(v));
    if (t == EdgeType) return edge_to_python(edge_value(v));
    if (!built.has(v)) return Py_NewRef(v);
    // A list or dict this run built: a new one of converted items (one
    // built list may stand in several rows).
    if (Py_EnterRecursiveCall(" while converting a result")) return nullptr;
    Ref held = Ref::borrow(v);
    Ref out;
    if (PyList_Check(v)) {
        Py_ssize_t n = PyList_GET_SIZE(v);
        out = Ref::steal(PyList_New(n));
        for (Py_ssize_t i = 0; out && i < n; ++i) {
            // Converting runs no Python code, so the list keeps its length.
            PyObject* c = to_result(PyList_GET_ITEM(v, i), built);
            if (!c) out.reset();
            else PyList_SET_ITEM(out.get(), i, c);
        }
    } else {
        out = Ref::steal(PyDict_New());
        Py_ssize_t pos = 0;
        PyObject *k, *item;
        while (out && PyDict_Next(v, &pos, &k, &item)) {
            Ref c = Ref::steal(to_result(item, built));
            if (!c || PyDict_SetItem(out.get(), k, c.get()) < 0) out.reset();
        }
    }
    Py_LeaveRecursiveCall();
    return out.release();
}

PyObject* run_plan(const Plan& plan, const GraphValue& g, std::vector<Ref> params) {
    // A run makes collected objects by the row (result dicts, Node and Edge
    // objects), and the collections they would start on the way, each
    // passing over every row made so far, cost more than making them: the
    // collector waits for the end of the run instead. Garbage that Python
    // code called by the run makes is collected then too.
    CollectorPause pause;
    Run run(plan, g, std::move(params));
    run.result = Ref::steal(PyList_New(0));
    if (!run.result) return nullptr;
    if (plan.query->writes) run.writes = std::make_unique<WriteState>();
    std::unique_ptr<KeyTable> seen;
    if (plan.union_distinct) {
        seen = std::make_unique<KeyTable>(plan.columns.size());
        run.union_seen = seen.get();
    }
    for (const Branch& b : plan.branches) {
        run.use_row(b.nslots);
        std::vector<std::unique_ptr<Exec>> execs(b.ops.size());
        Exec* first = nullptr;
        for (size_t i = b.ops.size(); i-- > 0;) {
            execs[i] = b.ops[i]->start(run, first);
            first = execs[i].get();
        }
        if (!first) continue;
        if (first->push() < 0 || first->finish() < 0) return nullptr;
    }
    if (run.writes && !run.writes->commit(run)) return nullptr;
    return run.result.release();
}

}  // namespace vk::cypher
