#include "cypher/plan.hpp"

#include "cypher/front.hpp"
#include "cypher/functions.hpp"
#include "cypher/run.hpp"
#include "cypher/writes.hpp"

namespace vk::cypher {
namespace {

// Whether expression i reads a variable (anywhere in its subtree).
bool reads_variables(const Query& q, Idx i) {
    std::vector<Idx> todo{i};
    while (!todo.empty()) {
        Idx k = todo.back();
        todo.pop_back();
        if (k == kNone) continue;
        const Expr& e = q.expr(k);
        if (e.kind == ExprKind::Var || e.sub != kNone) return true;
        todo.push_back(e.a);
        todo.push_back(e.b);
        todo.push_back(e.c);
        for (Idx kid : q.kids(e)) todo.push_back(kid);
    }
    return false;
}

class Planner {
public:
    explicit Planner(const Query& q) : q_(q) {}

    Status refuse(Pos pos, const std::string& what) {
        return query_error(q_.text, pos, what + " is not supported yet");
    }

    Status branch(const Part& part, Branch& b) {
        b.nslots = part.nslots;
        auto clauses = q_.list(part.clauses);
        for (size_t ci = 0; ci < clauses.size(); ++ci) {
            const Clause& c = q_.clauses[clauses[ci]];
            switch (c.kind) {
                case ClauseKind::Match: {
                    auto op = std::make_unique<MatchOp>();
                    if (!match(c, ci == 0, *op)) return PyErrorSet{};
                    b.ops.push_back(std::move(op));
                    break;
                }
                case ClauseKind::Unwind: {
                    auto op = std::make_unique<UnwindOp>();
                    op->expr = c.expr;
                    op->slot = c.slot;
                    b.ops.push_back(std::move(op));
                    break;
                }
                case ClauseKind::With:
                case ClauseKind::Return:
                    projection(c, b);
                    break;
                case ClauseKind::Create:
                case ClauseKind::Merge:
                case ClauseKind::Set:
                case ClauseKind::Remove:
                case ClauseKind::Delete:
                    if (!plan_write(q_, c, b)) return PyErrorSet{};
                    break;
            }
        }
        return ok_status();
    }

    // One MATCH clause of a subquery.
    Status sub_match(const Clause& c, MatchOp& op) { return match(c, false, op); }

private:
    void projection(const Clause& c, Branch& b) {
        auto items = Query::of(q_.items, c.items);
        if (c.aggregating) {
            auto op = std::make_unique<AggregateOp>();
            for (const Item& it : items) {
                (it.aggregate ? op->aggregated : op->keys).emplace_back(it.expr, it.slot);
            }
            for (Idx a : q_.list(c.aggregates)) op->aggregates.push_back(a);
            op->nslots = b.nslots;
            b.ops.push_back(std::move(op));
        } else {
            auto op = std::make_unique<ProjectOp>();
            for (const Item& it : items) op->items.emplace_back(it.expr, it.slot);
            b.ops.push_back(std::move(op));
        }
        if (c.distinct) {
            auto op = std::make_unique<DistinctOp>();
            for (const Item& it : items) op->slots.push_back(it.slot);
            b.ops.push_back(std::move(op));
        }
        if (!c.order.empty()) {
            auto op = std::make_unique<SortOp>();
            for (const SortItem& s : Query::of(q_.sorts, c.order)) {
                op->keys.emplace_back(s.expr, s.descending);
            }
            op->nslots = b.nslots;
            op->skip = c.skip;
            op->limit = c.limit;
            b.ops.push_back(std::move(op));
        }
        if (c.skip != kNone) {
            auto op = std::make_unique<SliceOp>(true);
            op->count = c.skip;
            b.ops.push_back(std::move(op));
        }
        if (c.limit != kNone) {
            auto op = std::make_unique<SliceOp>(false);
            op->count = c.limit;
            b.ops.push_back(std::move(op));
        }
        if (c.kind == ClauseKind::With && c.where != kNone) {
            auto op = std::make_unique<FilterOp>();
            op->where = c.where;
            b.ops.push_back(std::move(op));
        }
        if (c.kind == ClauseKind::Return) {
            auto op = std::make_unique<EmitOp>();
            for (const Item& it : items) op->slots.push_back(it.slot);
            b.columns = op->slots;
            b.ops.push_back(std::move(op));
        }
    }

    // The node slots some expression reads or two node patterns share.
    std::vector<char> kept_slots() const {
        std::vector<char> keep(slots_needed(), 0), seen(slots_needed(), 0);
        for (const Expr& e : q_.exprs) {
            if (e.kind == ExprKind::Var && e.slot >= 0 && (size_t)e.slot < keep.size()) keep[e.slot] = 1;
        }
        for (const NodePat& n : q_.nodes) {
            if (seen[n.slot]) keep[n.slot] = 1;
            seen[n.slot] = 1;
        }
        return keep;
    }

    Status match(const Clause& c, bool first_clause, MatchOp& op) {
        op.optional = c.optional;
        op.keep = kept_slots();
        op.where = c.where;
        auto paths = Query::of(q_.paths, c.pattern);
        // Which slots hold a value at the current point of the matching.
        have_.assign(slots_needed(), 0);
        for (const PathPat& p : paths) {
            for (const NodePat& n : Query::of(q_.nodes, p.nodes)) {
                if (n.binding == Binding::Bound) have_[n.slot] = 1;
            }
            for (const RelPat& r : Query::of(q_.rels, p.rels)) {
                if (r.binding == Binding::Bound) have_[r.slot] = 1;
            }
        }
        for (const PathPat& p : paths) {
            for (const NodePat& n : Query::of(q_.nodes, p.nodes)) {
                if (!have_[n.slot]) op.new_slots.push_back(n.slot);
            }
            for (const RelPat& r : Query::of(q_.rels, p.rels)) {
                if (!have_[r.slot]) op.new_slots.push_back(r.slot);
            }
            if (p.var != kNone) op.new_slots.push_back(p.slot);
        }
        clause_rels_.clear();
        for (size_t pi = 0; pi < paths.size(); ++pi) {
            PartPlan part;
            if (!path(paths[pi], !first_clause || pi > 0, part)) return PyErrorSet{};
            // An expansion reads the node it starts from.
            for (const Step& s : part.steps) {
                if (s.kind == StepKind::Expand) op.keep[q_.nodes[s.from].slot] = 1;
            }
            op.parts.push_back(std::move(part));
        }
        path_slots(std::vector<PathPat>(paths.begin(), paths.end()), op);
        return ok_status();
    }

    size_t slots_needed() const {
        uint32_t n = 0;
        for (const Part& p : q_.parts) n = std::max(n, p.nslots);
        return n;
    }

    Status path(const PathPat& p, bool many_rows, PartPlan& part) {
        if (p.fn != PathFn::None) return shortest_path(p, part);
        const uint32_t n0 = p.nodes.begin, r0 = p.rels.begin, nrels = p.rels.count;
        for (uint32_t j = 0; j < nrels; ++j) {
            const RelPat& r = q_.rels[r0 + j];
            if (r.var_length && have_[r.slot]) {
                return refuse(r.pos, "a variable-length relationship bound before its pattern");
            }
        }
        // The anchor: a bound node, else a bound relationship.
        int anchor_node = -1, anchor_rel = -1;
        for (uint32_t i = 0; i <= nrels && anchor_node < 0; ++i) {
            if (have_[q_.nodes[n0 + i].slot]) anchor_node = (int)i;
        }
        for (uint32_t j = 0; j < nrels && anchor_node < 0 && anchor_rel < 0; ++j) {
            if (have_[q_.rels[r0 + j].slot]) anchor_rel = (int)j;
        }
        // Without one, a scan of `edges` at a relationship of one hop, else
        // of `nodes` at the first node (variable-length relationships are
        // walked from a node).
        int scan_rel = -1;
        for (uint32_t j = 0; j < nrels && scan_rel < 0; ++j) {
            if (!q_.rels[r0 + j].var_length) scan_rel = (int)j;
        }
        bool independent = anchor_node < 0 && anchor_rel < 0;
        for (uint32_t i = 0; i <= nrels && independent; ++i) {
            Idx props = q_.nodes[n0 + i].props;
            if (props != kNone && reads_variables(q_, props)) independent = false;
        }
        for (uint32_t j = 0; j < nrels && independent; ++j) {
            Idx props = q_.rels[r0 + j].props;
            if (props != kNone && reads_variables(q_, props)) independent = false;
        }
        part.replay = independent && many_rows;
        // In a replayed part, uniqueness against earlier parts is checked on replay.
        std::vector<int32_t> earlier = clause_rels_;
        if (part.replay) clause_rels_.clear();

        auto node_slot = [&](uint32_t i) { return q_.nodes[n0 + i].slot; };
        auto rel_slot = [&](uint32_t j) { return q_.rels[r0 + j].slot; };
        auto expand = [&](uint32_t from, uint32_t j, uint32_t to, bool leftward) {
            Step s{q_.rels[r0 + j].var_length ? StepKind::VarExpand : StepKind::Expand};
            s.rel = r0 + j;
            s.from = n0 + from;
            s.node = n0 + to;
            s.leftward = leftward;
            s.far_bound = have_[node_slot(to)];
            s.distinct_from = clause_rels_;
            have_[node_slot(to)] = 1;
            have_[rel_slot(j)] = 1;
            clause_rels_.push_back(rel_slot(j));
            part.steps.push_back(std::move(s));
        };
        uint32_t left, right;  // the nodes bound so far are left..right
        if (anchor_node >= 0) {
            Step s{StepKind::CheckNode};
            s.node = n0 + anchor_node;
            part.steps.push_back(std::move(s));
            left = right = (uint32_t)anchor_node;
        } else if (nrels == 0 || (anchor_rel < 0 && scan_rel < 0)) {
            Step s{StepKind::ScanNodes};
            s.node = n0;
            have_[node_slot(0)] = 1;
            part.steps.push_back(std::move(s));
            left = right = 0;
        } else {
            uint32_t j = (uint32_t)(anchor_rel >= 0 ? anchor_rel : scan_rel);
            Step s{anchor_rel >= 0 ? StepKind::BoundRel : StepKind::ScanEdges};
            s.rel = r0 + j;
            s.from = n0 + j;
            s.node = n0 + j + 1;
            s.near_bound = have_[node_slot(j)];
            have_[node_slot(j)] = 1;
            s.far_bound = have_[node_slot(j + 1)];
            have_[node_slot(j + 1)] = 1;
            if (anchor_rel < 0) {
                s.distinct_from = clause_rels_;
                have_[rel_slot(j)] = 1;
                clause_rels_.push_back(rel_slot(j));
            }
            part.steps.push_back(std::move(s));
            left = j;
            right = j + 1;
        }
        for (uint32_t i = right; i < nrels; ++i) expand(i, i, i + 1, false);
        for (uint32_t i = left; i > 0; --i) expand(i, i - 1, i - 1, true);
        if (p.var != kNone) {
            Step s{StepKind::BindPath};
            s.path = uint32_t(&p - q_.paths.data());
            part.steps.push_back(std::move(s));
            if (part.replay) part.slots.push_back(p.slot);
        }
        if (part.replay) {
            for (uint32_t i = 0; i <= nrels; ++i) part.slots.push_back(node_slot(i));
            for (uint32_t j = 0; j < nrels; ++j) {
                part.slots.push_back(rel_slot(j));
                for (int32_t e : earlier) part.distinct_pairs.emplace_back(rel_slot(j), e);
            }
            std::vector<int32_t> all = std::move(earlier);
            all.insert(all.end(), clause_rels_.begin(), clause_rels_.end());
            clause_rels_ = std::move(all);
        }
        return ok_status();
    }

    // shortestPath / allShortestPaths: its two nodes (bound before, or
    // scanned), then the breadth-first search between them.
    Status shortest_path(const PathPat& p, PartPlan& part) {
        const char* fn = p.fn == PathFn::Shortest ? "shortestPath" : "allShortestPaths";
        if (p.rels.count != 1) {
            return query_error(q_.text, p.pos, std::string(fn) + " takes a pattern of one relationship");
        }
        const RelPat& r = q_.rels[p.rels.begin];
        if (r.var_length && r.min_hops > 1) {
            return query_error(q_.text, r.pos,
                               std::string(fn) + " takes a lower bound of 0 or 1, not " +
                                   std::to_string(r.min_hops));
        }
        if (have_[r.slot]) return refuse(r.pos, std::string("a relationship bound before ") + fn);
        for (uint32_t i = 0; i < 2; ++i) {
            const NodePat& n = q_.nodes[p.nodes.begin + i];
            Step s{have_[n.slot] ? StepKind::CheckNode : StepKind::ScanNodes};
            s.node = p.nodes.begin + i;
            have_[n.slot] = 1;
            part.steps.push_back(std::move(s));
        }
        Step s{StepKind::Shortest};
        s.rel = p.rels.begin;
        s.from = p.nodes.begin;
        s.node = p.nodes.begin + 1;
        s.path = uint32_t(&p - q_.paths.data());
        s.distinct_from = clause_rels_;
        have_[r.slot] = 1;
        clause_rels_.push_back(r.slot);
        part.steps.push_back(std::move(s));
        return ok_status();
    }

    // After a clause's parts are planned: the slots its path steps read.
    void path_slots(const std::vector<PathPat>& paths, MatchOp& op) {
        std::vector<char> listed(op.keep.size(), 0);
        for (const PartPlan& part : op.parts) {
            for (const Step& s : part.steps) {
                for (int32_t r : s.distinct_from) listed[r] = 1;
            }
            if (part.replay) {
                for (int32_t r : part.slots) listed[r] = 1;
            }
        }
        for (const PathPat& p : paths) {
            // A named path reads all its elements; a shortest path binds its
            // relationship itself.
            if (p.var == kNone || p.fn != PathFn::None) continue;
            for (const NodePat& n : Query::of(q_.nodes, p.nodes)) op.keep[n.slot] = 1;
            for (const RelPat& r : Query::of(q_.rels, p.rels)) listed[r.slot] = 1;
        }
        for (PartPlan& part : op.parts) {
            for (Step& s : part.steps) {
                if (s.kind == StepKind::VarExpand || s.kind == StepKind::Shortest) {
                    op.keep[q_.nodes[s.from].slot] = 1;
                    int32_t r = q_.rels[s.rel].slot;
                    s.bind_list = listed[r] || op.keep[r];
                }
                if (s.kind == StepKind::Shortest) op.keep[q_.nodes[s.node].slot] = 1;
            }
        }
    }

    const Query& q_;
    std::vector<char> have_;
    std::vector<int32_t> clause_rels_;
};

// Marks the matches whose rows only count: followed by count(*) alone.
void mark_counting(const Query& q, Branch& b) {
    for (size_t i = 0; i + 1 < b.ops.size(); ++i) {
        if (b.ops[i]->kind != OpKind::Match || b.ops[i + 1]->kind != OpKind::Aggregate) continue;
        auto& m = static_cast<MatchOp&>(*b.ops[i]);
        const auto& a = static_cast<const AggregateOp&>(*b.ops[i + 1]);
        bool only_counts = a.keys.empty() && !a.aggregates.empty();
        for (Idx x : a.aggregates) {
            const Expr& e = q.expr(x);
            if (static_cast<AggKind>(e.op) != AggKind::CountStar || e.distinct) only_counts = false;
        }
        m.counting = only_counts && m.where == kNone && !m.optional;
    }
}

}  // namespace

Result<std::shared_ptr<const Plan>> make_plan(std::shared_ptr<const Query> q) {
    const Query& query = *q;
    Result<LabelTable> labels = LabelTable::read(query);
    if (!labels) return PyErrorSet{};
    auto plan = std::make_shared<Plan>();
    plan->labels = std::move(*labels);
    plan->union_distinct = query.parts.size() > 1 && !query.union_all;
    Planner planner(query);
    for (const Part& part : query.parts) {
        Branch b;
        if (!planner.branch(part, b)) return PyErrorSet{};
        mark_counting(query, b);
        plan->branches.push_back(std::move(b));
    }
    // Subqueries of expressions: their MATCH clauses, each planned as one
    // MATCH of the query around them would be.
    plan->subs.resize(query.subs.size());
    for (size_t i = 0; i < query.subs.size(); ++i) {
        for (Idx ci : query.list(query.subs[i].clauses)) {
            const Clause& c = query.clauses[ci];
            if (c.kind != ClauseKind::Match || c.optional) {
                return query_error(query.text, c.pos, "only MATCH clauses are supported in a subquery");
            }
            auto op = std::make_unique<MatchOp>();
            if (!planner.sub_match(c, *op)) return PyErrorSet{};
            plan->subs[i].push_back(std::move(op));
        }
    }
    for (Idx n : query.list(query.columns)) plan->columns.push_back(Ref::borrow(query.name_str(n)));
    plan->query = std::move(q);
    return std::shared_ptr<const Plan>(std::move(plan));
}

}  // namespace vk::cypher
