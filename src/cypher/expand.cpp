#include "cypher/expand.hpp"

#include <algorithm>

#include "host/args.hpp"

namespace vk::cypher {

// ----- EdgeLists ---------------------------------------------------------------

void PointerNumbers::reserve(size_t n) {
    size_t size = 16;
    unsigned bits = 4;
    while (size < 2 * n) {
        size *= 2;
        ++bits;
    }
    if (size <= slots_.size()) return;
    std::vector<Slot> old = std::move(slots_);
    slots_.assign(size, Slot{});
    mask_ = size - 1;
    shift_ = 64 - bits;
    used_ = 0;
    for (const Slot& s : old) {
        if (s.key) add(s.key, s.value);
    }
}

void PointerNumbers::add(const void* p, uint32_t value) {
    if (2 * (used_ + 1) > slots_.size()) reserve(used_ + 1);
    size_t i = home(p);
    while (slots_[i].key) i = (i + 1) & mask_;
    slots_[i] = {p, value};
    ++used_;
}

Result<uint32_t> EdgeLists::number(const NodeValue& node) {
    const TypeNode* t = node.type().get();
    auto at = std::lower_bound(types_.begin(), types_.end(), t);
    if (at != types_.end() && *at == t) return type_numbers_[size_t(at - types_.begin())];
    // Another type value: a node of an equal type, or a node of no edges.
    const Py_hash_t h = type_py_hash(t);
    for (auto it = std::lower_bound(by_hash_.begin(), by_hash_.end(), std::make_pair(h, 0u));
         it != by_hash_.end() && it->first == h; ++it) {
        if (type_equal(ends_[it->second].type().get(), t)) return it->second;
    }
    uint32_t n = static_cast<uint32_t>(ends_.size());
    ends_.push_back(node);
    by_hash_.insert(std::upper_bound(by_hash_.begin(), by_hash_.end(), std::make_pair(h, n)),
                    std::make_pair(h, n));
    out_at_.push_back(out_at_.back());
    in_at_.push_back(in_at_.back());
    return n;
}

namespace {

// The row value of a node met as an edge's end: the Node filed under its
// uid when that is a Node of its type, else a new Node object wrapping the
// copy. A str key with its hash kept: the lookup runs no Python code unless
// the dict holds keys of other classes.
Ref filed_or_copy(PyObject* nodes, const NodeValue& copy) {
    const TypeNode* t = copy.type().get();
    PyObject* key = node_key_of_type(t);
    if (!key) return Ref{};
    Ref filed = Ref::borrow(PyDict_GetItemWithError(nodes, key));
    if (!filed && PyErr_Occurred()) return Ref{};
    if (filed && Py_TYPE(filed.get()) == NodeType &&
        type_equal(node_value(filed.get()).type().get(), t)) {
        return filed;
    }
    return Ref::steal(node_to_python(copy));
}

}  // namespace

PyObject* EdgeLists::row_node(uint32_t n, PyObject* nodes) {
    if (rows_.size() < ends_.size()) rows_.resize(ends_.size());
    if (rows_[n]) return rows_[n].get();
    Ref row = filed_or_copy(nodes, ends_[n]);
    if (!row) return nullptr;
    if (rows_.size() < ends_.size()) rows_.resize(ends_.size());  // numbered meanwhile
    rows_[n] = std::move(row);
    return rows_[n].get();
}

uint32_t EdgeLists::edge_number(PyObject* edge) {
    if (edges_.empty()) return kAnyNode;
    if (by_edge_.find(edges_[0].get()) == kAnyNode) {
        by_edge_.reserve(edges_.size());
        for (uint32_t i = 0; i < edges_.size(); ++i) {
            // A dict holds an object once, so no Edge object is filed twice.
            by_edge_.add(edges_[i].get(), i);
        }
    }
    return by_edge_.find(edge);
}

Status EdgeLists::build(PyObject* edges, EdgeLists& out) {
    out = EdgeLists();
    const size_t count = static_cast<size_t>(PyDict_GET_SIZE(edges));
    // The edges and the type values of their ends, in one pass in dict order.
    // Only our own code runs during the walk, so the dict cannot change.
    struct End {
        const TypeNode* type;
        uint32_t at;  // 2 * edge number, + 1 for the edge's end
        bool operator<(const End& o) const { return type != o.type ? type < o.type : at < o.at; }
    };
    std::vector<End> sorted;
    sorted.reserve(2 * count);
    out.edges_.reserve(count);
    Py_ssize_t pos = 0;
    PyObject *k, *v;
    while (PyDict_Next(edges, &pos, &k, &v)) {
        if (!PyUnicode_Check(k)) return cast_error(k, "str");
        if (Py_TYPE(v) != EdgeType) return cast_error(v, "Edge");
        const EdgeValue& e = edge_value(v);
        const uint32_t at = 2 * static_cast<uint32_t>(out.edges_.size());
        out.edges_.push_back(Ref::borrow(v));
        sorted.push_back({e.start().type().get(), at});
        sorted.push_back({e.end().type().get(), at + 1});
    }
    // Ends grouped by type value (one sort; each group's first end is the
    // first in dict order), then equal types among the groups (by their
    // hash) taken together as one node.
    std::sort(sorted.begin(), sorted.end());
    std::vector<uint32_t> group_of(sorted.size()), first_at;
    for (size_t i = 0; i < sorted.size(); ++i) {
        if (i == 0 || sorted[i].type != sorted[i - 1].type) {
            out.types_.push_back(sorted[i].type);
            first_at.push_back(sorted[i].at);
        }
        group_of[sorted[i].at] = static_cast<uint32_t>(out.types_.size() - 1);
    }
    std::vector<std::pair<Py_hash_t, uint32_t>> hashed(out.types_.size());
    for (uint32_t i = 0; i < out.types_.size(); ++i) hashed[i] = {type_py_hash(out.types_[i]), i};
    std::sort(hashed.begin(), hashed.end());
    out.type_numbers_.assign(out.types_.size(), 0);
    uint32_t nodes = 0;
    std::vector<uint32_t> first_of;  // per node: the group that stands for it
    for (size_t i = 0; i < hashed.size();) {
        size_t j = i;
        while (j < hashed.size() && hashed[j].first == hashed[i].first) ++j;
        // Usually one type value per hash; else each joins the first equal one.
        const uint32_t group = nodes;
        for (size_t a = i; a < j; ++a) {
            const TypeNode* t = out.types_[hashed[a].second];
            uint32_t n = nodes;
            for (uint32_t m = group; m < nodes; ++m) {
                if (type_equal(out.types_[first_of[m]], t)) {
                    n = m;
                    break;
                }
            }
            if (n == nodes) {
                first_of.push_back(hashed[a].second);
                out.by_hash_.push_back({hashed[a].first, nodes++});
            }
            out.type_numbers_[hashed[a].second] = n;
        }
        i = j;
    }
    // One copy of each node (the end of its first group that comes first),
    // and the ends' numbers.
    out.ends_.resize(nodes);
    for (uint32_t n = 0; n < nodes; ++n) {
        const uint32_t at = first_at[first_of[n]];
        const EdgeValue& e = edge_value(out.edges_[at / 2].get());
        out.ends_[n] = at % 2 ? e.end() : e.start();
    }
    std::vector<uint32_t> starts(count), ends(count);
    for (size_t i = 0; i < count; ++i) {
        starts[i] = out.type_numbers_[group_of[2 * i]];
        ends[i] = out.type_numbers_[group_of[2 * i + 1]];
    }
    // Offsets by counting, then the steps in edge order (stable).
    size_t n = out.ends_.size();
    out.out_at_.assign(n + 1, 0);
    out.in_at_.assign(n + 1, 0);
    for (size_t i = 0; i < starts.size(); ++i) {
        ++out.out_at_[starts[i] + 1];
        ++out.in_at_[ends[i] + 1];
    }
    for (size_t i = 0; i < n; ++i) {
        out.out_at_[i + 1] += out.out_at_[i];
        out.in_at_[i + 1] += out.in_at_[i];
    }
    out.out_steps_.resize(starts.size());
    out.in_steps_.resize(starts.size());
    std::vector<uint32_t> o(out.out_at_.begin(), out.out_at_.end() - 1);
    std::vector<uint32_t> in(out.in_at_.begin(), out.in_at_.end() - 1);
    for (uint32_t i = 0; i < starts.size(); ++i) {
        out.out_steps_[o[starts[i]]++] = {i, ends[i], i};
        out.in_steps_[in[ends[i]]++] = {i, starts[i], i};
    }
    return ok_status();
}

// ----- IndexLists ----------------------------------------------------------------

namespace {

// The dict's version tag, which CPython changes on every modification and
// never repeats (0: none to be had on this interpreter).
uint64_t dict_tag(PyObject* d) {
#if PY_VERSION_HEX < 0x030E0000
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    return reinterpret_cast<PyDictObject*>(d)->ma_version_tag;
#pragma GCC diagnostic pop
#else
    (void)d;
    return 0;
#endif
}

}  // namespace

int IndexLists::open(const GraphValue& g, PyObject* edges, IndexLists& out) {
    if (g.edges.get() != edges || dict_tag(edges) == 0) return 0;
    out.graph_ = &g;
    out.dict_ = edges;
    int r = edge_index_view(g, out.view_);
    if (r <= 0) return r;
    // Read after the view: building the index runs no Python code.
    out.tag_ = dict_tag(edges);
    out.limit_ = out.view_.limit();
    return 1;
}

int IndexLists::current() {
    // The view is taken again: another graph sharing the index may have
    // made it follow another dict meanwhile (and a rebuild renumbers it).
    int r = edge_index_view(*graph_, view_);
    if (r <= 0) return r;
    // With the dict unchanged, a rebuild of the index keeps its positions
    // unless it reclaimed empty ones, which shows in their count: the steps
    // copied before and after then merge in the same order.
    return dict_tag(dict_) == tag_ && view_.limit() == limit_ ? 1 : 0;
}

uint32_t IndexLists::node_at(const NodeValue& end) {
    const TypeNode* t = end.type().get();
    auto it = by_type_.find(t);
    if (it != by_type_.end()) return it->second;
    auto n = static_cast<uint32_t>(nodes_.size());
    auto made = std::make_unique<Node>();
    // The copy the first edge at the node in `edges` order holds: of the
    // first edge out and the first edge in, the earlier (a self-loop's start).
    made->copy = end;
    uint32_t m = view_.node_of_type(t);
    if (m != EdgeIndexView::kNoNode) {
        auto o = view_.at(m, EdgeSide::Out), i = view_.at(m, EdgeSide::In);
        if (!o.empty() && (i.empty() || o[0] <= i[0])) {
            made->copy = edge_value(view_.edge(o[0])).start();
        } else if (!i.empty()) {
            made->copy = edge_value(view_.edge(i[0])).end();
        }
    }
    nodes_.push_back(std::move(made));
    by_type_.emplace(nodes_.back()->copy.type().get(), n);
    return n;
}

void IndexLists::copy_edges(uint32_t node) {
    nodes_[node]->copied = true;
    uint32_t m = view_.node_of_type(nodes_[node]->copy.type().get());
    if (m == EdgeIndexView::kNoNode) return;
    auto number_of = [&](PyObject* edge) {
        uint32_t e = by_edge_.find(edge);
        if (e != kAnyNode) return e;
        e = static_cast<uint32_t>(edges_.size());
        edges_.push_back(Ref::borrow(edge));
        by_edge_.add(edge, e);
        return e;
    };
    for (int side = 0; side < 2; ++side) {
        for (uint32_t p : view_.at(m, side ? EdgeSide::In : EdgeSide::Out)) {
            PyObject* edge = view_.edge(p);
            const EdgeValue& v = edge_value(edge);
            uint32_t e = number_of(edge);
            uint32_t other = node_at(side ? v.start() : v.end());
            (side ? nodes_[node]->in : nodes_[node]->out).push_back({e, other, p});
        }
    }
}

int IndexLists::reach(uint32_t from, StepDir dir, uint32_t hops) {
    // Breadth first to `hops` edges; a node whose edges are in is passed
    // through without reading the index. Nodes met are stamped with this
    // call's epoch (the array grows with the numbering, never cleared).
    if (++epoch_ == 0) {
        std::fill(met_.begin(), met_.end(), 0);
        epoch_ = 1;
    }
    auto meet = [&](uint32_t n) {
        if (met_.size() <= n) met_.resize(nodes_.size() + nodes_.size() / 2 + 1, 0);
        if (met_[n] == epoch_) return false;
        met_[n] = epoch_;
        return true;
    };
    meet(from);
    frontier_.assign(1, from);
    bool checked = false;
    for (uint32_t depth = 0; depth < hops && !frontier_.empty(); ++depth) {
        next_.clear();
        for (size_t i = 0; i < frontier_.size(); ++i) {
            uint32_t u = frontier_[i];
            if (!nodes_[u]->copied) {
                if (!checked) {
                    int r = current();
                    if (r <= 0) return r;
                    checked = true;
                }
                copy_edges(u);
            }
            auto visit = [&](std::span<const EdgeStep> steps) {
                for (const EdgeStep& s : steps) {
                    if (meet(s.other)) next_.push_back(s.other);
                }
            };
            if (dir != StepDir::In) visit(nodes_[u]->out);
            if (dir != StepDir::Out) visit(nodes_[u]->in);
        }
        std::swap(frontier_, next_);
    }
    return 1;
}

Result<uint32_t> IndexLists::number(const NodeValue& node) {
    auto it = by_type_.find(node.type().get());
    if (it != by_type_.end()) return it->second;
    // A node first met here: its copy is read from the index while it
    // answers for the dict, else the node given stands for it.
    int r = current();
    if (r < 0) return PyErrorSet{};
    if (r == 0) {
        auto n = static_cast<uint32_t>(nodes_.size());
        auto made = std::make_unique<Node>();
        made->copy = node;
        nodes_.push_back(std::move(made));
        by_type_.emplace(nodes_.back()->copy.type().get(), n);
        return n;
    }
    return node_at(node);
}

PyObject* IndexLists::row_node(uint32_t n, PyObject* nodes) {
    if (nodes_[n]->row) return nodes_[n]->row.get();
    Ref row = filed_or_copy(nodes, nodes_[n]->copy);
    if (!row) return nullptr;
    nodes_[n]->row = std::move(row);
    return nodes_[n]->row.get();
}

// ----- Marks -------------------------------------------------------------------

void Marks::reset(size_t n) {
    if (stamp_.size() != n || ++epoch_ == 0) {
        stamp_.assign(n, 0);
        epoch_ = 1;
    }
}

namespace {

// The steps a search takes at a node, in the order of `edges`: the edges
// starting there (for `->` and `-`) and those ending there (for `<-` and
// `-`), merged by edge number; for `-` a self-loop is taken once, as an
// edge starting there.
struct StepOrder {
    std::span<const EdgeStep> out, in;
    bool both;

    StepOrder(const Adjacency& adj, StepDir dir, uint32_t node)
        : out(dir != StepDir::In ? adj.out(node) : std::span<const EdgeStep>()),
          in(dir != StepDir::Out ? adj.in(node) : std::span<const EdgeStep>()),
          both(dir == StepDir::Both) {}

    // The step after positions oi and ii (which it advances), and whether it
    // walks its edge from the edge's start (a self-loop always does); false
    // at the end.
    bool next(uint32_t node, uint32_t& oi, uint32_t& ii, EdgeStep& s, bool& forward) const {
        for (;;) {
            const bool o = oi < out.size(), i = ii < in.size();
            if (!o && !i) return false;
            if (o && (!i || out[oi].order <= in[ii].order)) {
                s = out[oi++];
                forward = true;
                return true;
            }
            s = in[ii++];
            if (both && s.other == node) continue;
            forward = s.other == node;
            return true;
        }
    }
};

// The filter's verdict on an edge, asked once per start.
int cached_verdict(EdgeFilter filter, Marks& asked, Marks& passed, uint32_t edge) {
    if (!filter) return 1;
    if (asked.test(edge)) return passed.test(edge) ? 1 : 0;
    int r = filter(edge);
    if (r < 0) return -1;
    asked.set(edge);
    if (r) passed.set(edge);
    return r ? 1 : 0;
}

}  // namespace

// ----- VarLengthCursor -----------------------------------------------------------

void VarLengthCursor::start(const Adjacency& adj, uint32_t start_node, const Spec& spec,
                            EdgeFilter filter, std::span<const uint32_t> used) {
    adj_ = &adj;
    spec_ = spec;
    filter_ = filter;
    stack_.clear();
    nodes_.assign(1, start_node);
    edges_.clear();
    forward_.clear();
    release_last_ = false;
    size_t e = adj.edge_count();
    in_use_.reset(e);
    asked_.reset(e);
    passed_.reset(e);
    for (uint32_t u : used) {
        if (u < e) in_use_.set(u);
    }
    bool bounds = spec.min_hops <= spec.max_hops;
    pending_zero_ = bounds && spec.min_hops == 0 &&
                    (spec.end == kAnyNode || spec.end == start_node);
    if (bounds && spec.max_hops > 0) stack_.push_back({start_node, 0, 0});
}

void VarLengthCursor::publish() {
    walk_ = {nodes_, edges_, forward_};
}

int VarLengthCursor::passes(uint32_t edge) {
    return cached_verdict(filter_, asked_, passed_, edge);
}

int VarLengthCursor::next() {
    if (pending_zero_) {
        pending_zero_ = false;
        publish();
        return 1;
    }
    auto undo_last = [&] {
        in_use_.unset(edges_.back());
        edges_.pop_back();
        nodes_.pop_back();
        forward_.pop_back();
    };
    if (release_last_) {
        release_last_ = false;
        undo_last();
    }
    // Here the stack holds one frame per node of the walk so far.
    while (!stack_.empty()) {
        if (!(++steps_ & 0xFFFF) && PyErr_CheckSignals() < 0) return -1;
        Frame& f = stack_.back();
        EdgeStep s;
        bool forward;
        if (!StepOrder(*adj_, spec_.dir, f.node).next(f.node, f.out, f.in, s, forward)) {
            stack_.pop_back();
            if (!stack_.empty()) undo_last();
            continue;
        }
        if (in_use_.test(s.edge)) continue;
        int p = passes(s.edge);
        if (p < 0) return -1;
        if (p == 0) continue;
        in_use_.set(s.edge);
        edges_.push_back(s.edge);
        nodes_.push_back(s.other);
        forward_.push_back(forward ? 1 : 0);
        const size_t depth = edges_.size();
        const bool extend = depth < spec_.max_hops;
        if (extend) stack_.push_back({s.other, 0, 0});
        if (depth >= spec_.min_hops && (spec_.end == kAnyNode || s.other == spec_.end)) {
            release_last_ = !extend;
            publish();
            return 1;
        }
        if (!extend) undo_last();
    }
    return 0;
}

// ----- ShortestCursor ------------------------------------------------------------

int ShortestCursor::passes(uint32_t edge) {
    return cached_verdict(filter_, asked_, passed_, edge);
}

int ShortestCursor::start(const Adjacency& adj, uint32_t start_node, uint32_t end_node,
                          const Spec& spec, EdgeFilter filter, std::span<const uint32_t> used) {
    adj_ = &adj;
    filter_ = filter;
    start_ = start_node;
    end_ = end_node;
    zero_ = false;
    begun_ = false;
    stack_.clear();
    preds_.clear();
    if (start_node == end_node) {
        zero_ = spec.min_hops == 0;
        // No walk from a node back to itself is searched for: there is
        // nothing to enumerate beyond the walk of no edge.
        begun_ = true;
        return 0;
    }
    const size_t n = adj.node_count(), e = adj.edge_count();
    seen_.reset(n);
    in_use_.reset(e);
    asked_.reset(e);
    passed_.reset(e);
    if (level_of_.size() != n) {
        level_of_.resize(n);
        first_pred_.resize(n);
        last_pred_.resize(n);
    }
    for (uint32_t u : used) {
        if (u < e) in_use_.set(u);
    }
    seen_.set(start_node);
    level_of_[start_node] = 0;
    first_pred_[start_node] = last_pred_[start_node] = kNoPred;
    frontier_.assign(1, start_node);
    int found = search(spec);
    if (found < 0) return -1;
    if (found) stack_.push_back({end_node, first_pred_[end_node]});
    return 0;
}

int ShortestCursor::search(const Spec& spec) {
    const Adjacency& adj = *adj_;
    bool found = false;
    for (uint32_t level = 1; level <= spec.max_hops && !frontier_.empty() && !found; ++level) {
        next_frontier_.clear();
        for (uint32_t u : frontier_) {
            if (!(++steps_ & 0xFFF) && PyErr_CheckSignals() < 0) return -1;
            const StepOrder order(adj, spec.dir, u);
            uint32_t oi = 0, ii = 0;
            EdgeStep s;
            bool forward;
            while (order.next(u, oi, ii, s, forward)) {
                const uint32_t v = s.other;
                // A self-loop is on no shortest path; a node met at a
                // lower level is reached more shortly already.
                if (v == u || in_use_.test(s.edge)) continue;
                const bool met = seen_.test(v);
                if (met && (level_of_[v] < level || !spec.all)) continue;
                int p = passes(s.edge);
                if (p < 0) return -1;
                if (p == 0) continue;
                if (!met) {
                    seen_.set(v);
                    level_of_[v] = level;
                    first_pred_[v] = last_pred_[v] = kNoPred;
                    next_frontier_.push_back(v);
                }
                add_pred(v, {s.edge, u, uint8_t(forward), kNoPred});
                if (v == end_) {
                    // One path needs the first way in alone; all of them
                    // need the rest of this level.
                    if (!spec.all) return 1;
                    found = true;
                }
            }
        }
        std::swap(frontier_, next_frontier_);
    }
    return found ? 1 : 0;
}

void ShortestCursor::add_pred(uint32_t node, const Pred& p) {
    uint32_t i = static_cast<uint32_t>(preds_.size());
    preds_.push_back(p);
    if (last_pred_[node] == kNoPred) {
        first_pred_[node] = i;
    } else {
        preds_[last_pred_[node]].next = i;
    }
    last_pred_[node] = i;
}

void ShortestCursor::descend() {
    while (stack_.back().node != start_) {
        const Pred& p = preds_[stack_.back().pred];
        stack_.push_back({p.node, p.node == start_ ? kNoPred : first_pred_[p.node]});
    }
}

void ShortestCursor::publish() {
    // The stack runs from the end node back to the start.
    const size_t k = stack_.size() - 1;
    nodes_.resize(k + 1);
    edges_.resize(k);
    forward_.resize(k);
    for (size_t i = 0; i <= k; ++i) nodes_[k - i] = stack_[i].node;
    for (size_t i = 0; i < k; ++i) {
        const Pred& p = preds_[stack_[i].pred];
        edges_[k - 1 - i] = p.edge;
        forward_[k - 1 - i] = p.forward;
    }
    walk_ = {nodes_, edges_, forward_};
}

int ShortestCursor::next() {
    if (zero_) {
        zero_ = false;
        nodes_.assign(1, start_);
        edges_.clear();
        forward_.clear();
        walk_ = {nodes_, edges_, forward_};
        return 1;
    }
    if (stack_.empty()) return 0;
    if (!begun_) {
        begun_ = true;
        descend();
        publish();
        return 1;
    }
    // The next way in at the deepest frame that has one.
    stack_.pop_back();  // the start node's frame
    while (!stack_.empty()) {
        Frame& f = stack_.back();
        f.pred = preds_[f.pred].next;
        if (f.pred != kNoPred) {
            descend();
            publish();
            return 1;
        }
        stack_.pop_back();
    }
    return 0;
}

// ----- row values ----------------------------------------------------------------

PyObject* path_of_walk(PathGraph& adj, const Walk& w, PyObject* nodes) {
    PathValue p;
    p.nodes.reserve(w.nodes.size());
    for (uint32_t n : w.nodes) {
        PyObject* v = adj.row_node(n, nodes);
        if (!v) return nullptr;
        p.nodes.push_back(node_value(v));
    }
    p.edges.reserve(w.edges.size());
    for (uint32_t e : w.edges) p.edges.push_back(edge_value(adj.edge(e)));
    p.forward.assign(w.forward.begin(), w.forward.end());
    return path_to_python(std::move(p));
}

PyObject* edges_of_walk(const PathGraph& adj, const Walk& w) {
    Ref out = Ref::steal(PyList_New(static_cast<Py_ssize_t>(w.edges.size())));
    if (!out) return nullptr;
    for (size_t i = 0; i < w.edges.size(); ++i) {
        PyList_SET_ITEM(out.get(), static_cast<Py_ssize_t>(i), Py_NewRef(adj.edge(w.edges[i])));
    }
    return out.release();
}

}  // namespace vk::cypher
