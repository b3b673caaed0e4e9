#include "cypher/paths_ops.hpp"

#include <algorithm>
#include <unordered_map>

#include "cypher/front.hpp"
#include "cypher/run.hpp"
#include "path_value.hpp"

namespace vk::cypher {

// ----- relationship values -----------------------------------------------------

// The relationships one clause matches are entries of one reading of
// `edges`, filed under their uids, so distinct objects are distinct
// relationships.
bool holds_rel(PyObject* bound, PyObject* edge) {
    if (!bound) return false;
    if (PyList_Check(bound) || PyTuple_Check(bound)) {
        for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(bound); ++i) {
            if (PySequence_Fast_GET_ITEM(bound, i) == edge) return true;
        }
        return false;
    }
    return bound == edge;
}

bool rels_overlap(PyObject* a, PyObject* b) {
    if (!a || !b) return false;
    if (PyList_Check(a) || PyTuple_Check(a)) {
        for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(a); ++i) {
            if (holds_rel(b, PySequence_Fast_GET_ITEM(a, i))) return true;
        }
        return false;
    }
    return holds_rel(b, a);
}

// ----- per-run state ---------------------------------------------------------------

struct PathRun::StepState {
    VarLengthCursor var;
    ShortestCursor shortest;
    std::vector<uint32_t> used;
};

// A subquery's operators, started once per run, ending in a sink that
// records what the subquery is asked for.
struct PathRun::SubRun {
    class Sink : public Exec {
    public:
        Sink(Run& r) : Exec(r, nullptr) {}
        int push() override {
            if (!list) {  // exists: one match is enough
                found = true;
                return 0;
            }
            Ref v = Ref::steal(eval(run.ctx, projection));
            if (!v || PyList_Append(list.get(), v.get()) < 0) return -1;
            return 1;
        }
        bool found = false;
        Ref list;  // a comprehension's items
        Idx projection = kNone;
    };
    std::unique_ptr<Sink> sink;
    std::vector<std::unique_ptr<Exec>> execs;  // execs[0] first
};

struct PathRun::Kept {
    std::unique_ptr<PathGraph> lists;
    // Adjacencies over an index that stopped answering for the dict, kept
    // for the searches still under way over them.
    std::vector<std::unique_ptr<PathGraph>> retired;
    bool snapshot = false;  // read a snapshot until the run's next write
    std::unordered_map<const Step*, std::unique_ptr<StepState>> steps;
    std::unordered_map<Idx, std::unique_ptr<SubRun>> subs;
};

namespace {
thread_local const GraphValue* t_graph = nullptr;
}  // namespace

IndexedGraphScope::IndexedGraphScope(const GraphValue& g) : prev_(t_graph) { t_graph = &g; }
IndexedGraphScope::~IndexedGraphScope() { t_graph = prev_; }
const GraphValue* IndexedGraphScope::current() { return t_graph; }

PathRun::PathRun(Run& run) : run_(run), kept_(std::make_unique<Kept>()) {
    // A nested run of another graph sets a scope of its own; the graph's
    // dicts must be the run's (Python code may have replaced the graph's).
    const GraphValue* g = IndexedGraphScope::current();
    if (g && g->edges.get() == run.graph.edges_dict()) graph_ = std::make_unique<GraphValue>(*g);
}
PathRun::~PathRun() = default;

PathGraph* PathRun::lists() {
    if (!kept_->lists) {
        if (graph_ && !kept_->snapshot) {
            auto over = std::make_unique<IndexLists>();
            int r = IndexLists::open(*graph_, run_.graph.edges_dict(), *over);
            if (r < 0) return nullptr;
            if (r > 0) {
                kept_->lists = std::move(over);
                return kept_->lists.get();
            }
        }
        auto made = std::make_unique<EdgeLists>();
        if (!EdgeLists::build(run_.graph.edges_dict(), *made)) return nullptr;
        kept_->lists = std::move(made);
    }
    return kept_->lists.get();
}

PathGraph* PathRun::lists_reaching(const NodeValue& node, StepDir dir, uint32_t hops,
                                   uint32_t& number) {
    for (;;) {
        PathGraph* adj = lists();
        if (!adj) return nullptr;
        Result<uint32_t> n = adj->number(node);
        if (!n) return nullptr;
        int r = adj->reach(*n, dir, hops);
        if (r < 0) return nullptr;
        if (r > 0) {
            number = *n;
            return adj;
        }
        kept_->retired.push_back(std::move(kept_->lists));
        kept_->snapshot = true;
    }
}

void PathRun::invalidate() {
    kept_->lists.reset();
    kept_->snapshot = false;
}

PathRun::StepState& PathRun::state_of(const Step& s) {
    std::unique_ptr<StepState>& st = kept_->steps[&s];
    if (!st) st = std::make_unique<StepState>();
    return *st;
}

Status PathRun::used_edges(PathGraph& adj, const std::vector<int32_t>& slots,
                           std::vector<uint32_t>& out) {
    out.clear();
    auto add = [&](PyObject* edge) {
        if (Py_TYPE(edge) != EdgeType) return;
        uint32_t n = adj.edge_number(edge);
        if (n != kAnyNode) out.push_back(n);
    };
    for (int32_t slot : slots) {
        PyObject* v = run_.row[slot].get();
        if (!v) continue;
        if (PyList_Check(v) || PyTuple_Check(v)) {
            for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(v); ++i) {
                add(PySequence_Fast_GET_ITEM(v, i));
            }
        } else {
            add(v);
        }
    }
    return ok_status();
}

namespace {

uint32_t hop_count(int64_t n) {
    if (n == kUnbounded) return kNoMaxHops;
    return n >= int64_t(kNoMaxHops) ? kNoMaxHops - 1 : uint32_t(n);
}

StepDir walk_dir(Dir d, bool leftward) {
    if (d == Dir::Both) return StepDir::Both;
    return (d == Dir::Out) != leftward ? StepDir::Out : StepDir::In;
}

PyObject* node_in(Run& run, int32_t slot) {
    PyObject* v = run.row[slot].get();
    return v && Py_TYPE(v) == NodeType ? v : nullptr;
}

// A relationship pattern's test of one edge: its types and properties.
struct RelFilter {
    Run& run;
    const RelPat& rel;
    const PathGraph& adj;

    int operator()(uint32_t e) const {
        PyObject* edge = adj.edge(e);
        if (!rel_has_type(run.ctx, rel.types, edge_value(edge))) return 0;
        return rel.props == kNone ? 1 : has_properties(run.ctx, rel.props, edge);
    }
    bool needed() const { return !rel.types.empty() || rel.props != kNone; }
};

// A new list of the walk's Edge objects, reversed for a walk read right to left.
PyObject* rel_list(const PathGraph& adj, const Walk& w, bool reversed) {
    Ref list = Ref::steal(edges_of_walk(adj, w));
    if (list && reversed) {
        if (PyList_Reverse(list.get()) < 0) return nullptr;
    }
    return list.release();
}

}  // namespace

int PathRun::var_expand(const Step& s, FarThen then) {
    const Query& q = run_.q;
    const RelPat& rp = q.rels[s.rel];
    PyObject* from = node_in(run_, q.nodes[s.from].slot);
    if (!from) return 1;
    Ref held = Ref::borrow(from);
    VarLengthCursor::Spec spec;
    spec.dir = walk_dir(rp.dir, s.leftward);
    spec.min_hops = hop_count(rp.min_hops);
    spec.max_hops = hop_count(rp.max_hops);
    uint32_t start = 0;
    PathGraph* adj = lists_reaching(node_value(from), spec.dir, spec.max_hops, start);
    if (!adj) return -1;
    if (s.far_bound) {
        PyObject* far = node_in(run_, q.nodes[s.node].slot);
        if (!far) return 1;
        Result<uint32_t> end = adj->number(node_value(far));
        if (!end) return -1;
        spec.end = *end;
    }
    StepState& st = state_of(s);
    if (!used_edges(*adj, s.distinct_from, st.used)) return -1;
    RelFilter filter{run_, rp, *adj};
    st.var.start(*adj, start, spec, filter.needed() ? EdgeFilter(filter) : EdgeFilter(), st.used);
    for (;;) {
        if (run_.tick() < 0) return -1;
        int r = st.var.next();
        if (r <= 0) return r < 0 ? -1 : 1;
        const Walk& w = st.var.walk();
        PyObject* far = adj->row_node(w.nodes.back(), run_.graph.nodes_dict());
        if (!far) return -1;
        if (s.bind_list) {
            PyObject* list = rel_list(*adj, w, s.leftward);
            if (!list) return -1;
            run_.built.add(list);  // results take new Edge objects for its items
            run_.row[rp.slot] = Ref::steal(list);
        }
        r = then(far);
        if (r <= 0) return r;
    }
}

int PathRun::shortest(const Step& s, FarThen then) {
    const Query& q = run_.q;
    const RelPat& rp = q.rels[s.rel];
    const PathPat& p = q.paths[s.path];
    PyObject* a = node_in(run_, q.nodes[s.from].slot);
    PyObject* b = node_in(run_, q.nodes[s.node].slot);
    if (!a || !b) return 1;
    Ref held_a = Ref::borrow(a), held_b = Ref::borrow(b);
    ShortestCursor::Spec spec;
    spec.dir = walk_dir(rp.dir, false);
    spec.min_hops = rp.var_length ? hop_count(rp.min_hops) : 1;
    spec.max_hops = rp.var_length ? hop_count(rp.max_hops) : 1;
    uint32_t start = 0;
    PathGraph* adj = lists_reaching(node_value(a), spec.dir, spec.max_hops, start);
    if (!adj) return -1;
    Result<uint32_t> na = start;
    Result<uint32_t> nb = adj->number(node_value(b));
    if (!nb) return -1;
    spec.all = p.fn == PathFn::AllShortest;
    if (*na == *nb && spec.min_hops == 1) {
        // As Neo4j: a walk from a node back to itself is no shortest path.
        PyErr_SetString(PyExc_ValueError,
                        "shortestPath: the start and end nodes are the same node; a lower bound "
                        "of 0 (as in -[*0..]-) allows the path of no relationship");
        return -1;
    }
    StepState& st = state_of(s);
    if (!used_edges(*adj, s.distinct_from, st.used)) return -1;
    RelFilter filter{run_, rp, *adj};
    if (st.shortest.start(*adj, *na, *nb, spec,
                          filter.needed() ? EdgeFilter(filter) : EdgeFilter(), st.used) < 0) {
        return -1;
    }
    while (st.shortest.next() == 1) {
        if (run_.tick() < 0) return -1;
        const Walk& w = st.shortest.walk();
        Ref list = Ref::steal(rel_list(*adj, w, false));
        if (!list) return -1;
        run_.built.add(list.get());
        Ref path = Ref::steal(path_of_walk(*adj, w, run_.graph.nodes_dict()));
        if (!path) return -1;
        run_.row[rp.slot] = std::move(list);
        run_.row[p.slot] = std::move(path);
        int r = then(b);
        if (r <= 0) return r;
    }
    return 1;
}

PyObject* PathRun::assemble(uint32_t path) {
    const Query& q = run_.q;
    const PathPat& p = q.paths[path];
    std::vector<NodeValue> nodes;
    std::vector<EdgeValue> edges;
    PyObject* first = node_in(run_, q.nodes[p.nodes.begin].slot);
    if (!first) return Py_NewRef(Py_None);  // an OPTIONAL MATCH that found nothing
    nodes.push_back(node_value(first));
    for (uint32_t j = 0; j < p.rels.count; ++j) {
        PyObject* rel = run_.row[q.rels[p.rels.begin + j].slot].get();
        PyObject* next = node_in(run_, q.nodes[p.nodes.begin + j + 1].slot);
        if (!rel || !next) return Py_NewRef(Py_None);
        if (Py_TYPE(rel) == EdgeType) {
            edges.push_back(edge_value(rel));
            nodes.push_back(node_value(next));
            continue;
        }
        Ref list = Ref::borrow(rel);
        const Py_ssize_t k = PySequence_Fast_GET_SIZE(rel);
        for (Py_ssize_t i = 0; i < k; ++i) {
            const EdgeValue& e = edge_value(PySequence_Fast_GET_ITEM(rel, i));
            edges.push_back(e);
            if (i + 1 == k) break;
            // The node between this edge and the next: its far end.
            const TypeNode* here = nodes.back().type().get();
            const NodeValue& end = type_equal(e.start().type().get(), here) ? e.end() : e.start();
            PathGraph* adj = lists();
            if (!adj) return nullptr;
            Result<uint32_t> n = adj->number(end);
            if (!n) return nullptr;
            PyObject* row = adj->row_node(*n, run_.graph.nodes_dict());
            if (!row) return nullptr;
            nodes.push_back(node_value(row));
        }
        if (k > 0) nodes.push_back(node_value(next));
    }
    PathValue v;
    if (!PathValue::make(std::move(nodes), std::move(edges), v)) return nullptr;
    return path_to_python(std::move(v));
}

// ----- subqueries ------------------------------------------------------------------

PathRun::SubRun& PathRun::sub_run(const Expr& e) {
    std::unique_ptr<SubRun>& sub = kept_->subs[e.sub];
    if (!sub) {
        const auto& ops = run_.plan.subs[e.sub];
        auto made = std::make_unique<SubRun>();
        made->sink = std::make_unique<SubRun::Sink>(run_);
        made->execs.resize(ops.size());
        Exec* next = made->sink.get();
        for (size_t i = ops.size(); i-- > 0;) {
            made->execs[i] = ops[i]->start(run_, next);
            next = made->execs[i].get();
        }
        sub = std::move(made);
    }
    return *sub;
}

Tri PathRun::exists(const Expr& e) {
    SubRun* sub = &sub_run(e);
    sub->sink->found = false;
    sub->sink->list.reset();
    if (sub->execs.empty()) return kTrue;
    if (sub->execs[0]->push() < 0) return kError;
    return sub->sink->found ? kTrue : kFalse;
}

PyObject* PathRun::comprehension(const Expr& e) {
    SubRun* sub = &sub_run(e);
    Ref list = Ref::steal(PyList_New(0));
    if (!list) return nullptr;
    sub->sink->list = list.copy();
    sub->sink->projection = e.c;
    int r = sub->execs.empty() ? 1 : sub->execs[0]->push();
    sub->sink->list.reset();
    if (r < 0) return nullptr;
    return list.release();
}

Tri eval_exists(EvalCtx& c, const Expr& e) { return c.run->paths().exists(e); }
PyObject* eval_pattern_comprehension(EvalCtx& c, const Expr& e) {
    return c.run->paths().comprehension(e);
}

}  // namespace vk::cypher
