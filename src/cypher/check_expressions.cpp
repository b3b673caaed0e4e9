// The checks of expressions (see checker.hpp): variables resolved, calls
// resolved to functions or aggregates, aggregates placed, parameters listed.
#include "cypher/checker.hpp"

namespace vk::cypher::checking {

bool Checker::check_expr(Idx i, const Ctx& ctx) {
    if (failed_ || i == kNone) return false;
    const Expr e = q_.exprs[i];
    bool agg = false;
    auto sub = [&](Idx k, const Ctx& c) {
        if (k != kNone && check_expr(k, c)) agg = true;
    };
    switch (e.kind) {
        case ExprKind::Null:
        case ExprKind::True:
        case ExprKind::False:
        case ExprKind::Int:
        case ExprKind::Float:
        case ExprKind::Str:
        case ExprKind::ProjProperty:
        case ExprKind::ProjAll:
            break;
        case ExprKind::Param:
            q_.exprs[i].slot = param_index(e.name, e.pos);
            break;
        case ExprKind::Var:
            resolve(q_.exprs[i], ctx);
            break;
        case ExprKind::Call:
            agg = check_call(i, ctx);
            break;
        case ExprKind::Aggregate:
            agg = check_aggregate(i, ctx);
            break;
        case ExprKind::ListComp:
        case ExprKind::Quantifier: {
            sub(e.a, ctx);
            if (failed_) break;
            Ctx inner = ctx;
            inner.aggregates = false;
            inner.place = e.kind == ExprKind::ListComp ? "in a list comprehension"
                                                       : "in a list predicate";
            q_.exprs[i].slot = declare(e.name, VarKind::Value);
            sub(e.b, inner);
            sub(e.c, inner);
            pop();
            break;
        }
        case ExprKind::PatternPredicate:
            check_pattern_predicate(e);
            break;
        case ExprKind::Exists: {
            Saved saved = save();
            check_clauses(q_.subs[e.sub].clauses, true);
            restore(std::move(saved));
            break;
        }
        case ExprKind::PatternComp: {
            Saved saved = save();
            check_clauses(q_.subs[e.sub].clauses, true);
            Ctx inner = ctx;
            inner.aggregates = false;
            inner.place = "in a pattern comprehension";
            sub(e.c, inner);
            restore(std::move(saved));
            break;
        }
        default:
            sub(e.a, ctx);
            sub(e.b, ctx);
            sub(e.c, ctx);
            for (uint32_t k = 0; k < e.kids.count; ++k) sub(q_.lists[e.kids.begin + k], ctx);
            break;
    }
    q_.exprs[i].has_aggregate = agg;
    return agg;
}

void Checker::resolve(Expr& e, const Ctx& ctx) {
    if (e.slot >= 0) return;  // an ORDER BY part read from an item's slot
    if (ctx.constant)
        return fail(e.pos, "SKIP and LIMIT take an expression without variables, found " +
                               quoted(e.name));
    const Entry* v = lookup(e.name);
    if (v) {
        e.slot = v->slot;
        return;
    }
    std::string what = "variable " + quoted(e.name) + " is not defined";
    if (order_hint_)
        what += std::string(" (after ") + order_hint_ +
                " with DISTINCT or an aggregate, ORDER BY sees only the projected names)";
    else if (in_pattern(e.name))
        what += " before this pattern (compare elements of one pattern in WHERE)";
    fail(e.pos, what);
}

bool Checker::in_pattern(Idx name) const {
    for (const PathPat& p : Query::of(q_.paths, hint_pattern_)) {
        if (p.var == name) return true;
        for (const NodePat& n : Query::of(q_.nodes, p.nodes))
            if (n.var == name) return true;
        for (const RelPat& r : Query::of(q_.rels, p.rels))
            if (r.var == name) return true;
    }
    return false;
}

int32_t Checker::param_index(Idx name, Pos pos) {
    if (param_of_.empty()) param_of_.assign(q_.names.size(), -1);
    if (param_of_[name] < 0) {
        param_of_[name] = int32_t(q_.params.size());
        q_.params.push_back(Param{name, pos});
    }
    return param_of_[name];
}

std::string Checker::arity_text(int lo, int hi) {
    if (lo == hi) return std::to_string(lo) + (lo == 1 ? " argument" : " arguments");
    if (hi == 255)
        return "at least " + std::to_string(lo) + (lo == 1 ? " argument" : " arguments");
    return std::to_string(lo) + " to " + std::to_string(hi) + " arguments";
}

bool Checker::arity_ok(const Expr& e, const std::string& shown, int lo, int hi) {
    int n = int(e.kids.count);
    if (n >= lo && n <= hi) return true;
    fail(e.pos, "function " + shown + "() takes " + arity_text(lo, hi) + ", " +
                    std::to_string(n) + " given");
    return false;
}

bool Checker::check_call(Idx i, const Ctx& ctx) {
    Expr& e = q_.exprs[i];
    const std::string name = lower(q_.name(e.name));
    if (const AggregateInfo* a = find_aggregate(name)) {
        if (!arity_ok(e, q_.name(e.name), a->min_args, a->max_args)) return false;
        e.kind = ExprKind::Aggregate;
        e.op = uint8_t(a->kind);
        return check_aggregate(i, ctx);
    }
    const FunctionInfo* f = find_function(name);
    if (!f) {
        fail(e.pos, "unknown function " + q_.name(e.name) + "()");
        return false;
    }
    if (!arity_ok(e, function_display_name(f->id), f->min_args, f->max_args)) return false;
    if (e.distinct) {
        fail(e.pos, "DISTINCT is allowed only in an aggregate function, not in " +
                        std::string(function_display_name(f->id)) + "()");
        return false;
    }
    e.fn = f->id;
    const Range args = e.kids;
    bool agg = false;
    for (uint32_t k = 0; k < args.count; ++k)
        if (check_expr(q_.lists[args.begin + k], ctx)) agg = true;
    return agg;
}

bool Checker::check_aggregate(Idx i, const Ctx& ctx) {
    const Expr e = q_.exprs[i];
    const std::string shown = q_.name(e.name);
    if (ctx.in_aggregate) {
        fail(e.pos, "aggregate function " + shown + "() cannot stand inside another aggregate");
        return false;
    }
    if (!ctx.aggregates) {
        fail(e.pos, "aggregate function " + shown + "() is not allowed " + ctx.place);
        return false;
    }
    Ctx inner = ctx;
    inner.in_aggregate = true;
    inner.aggregates = false;
    std::optional<Saved> projected;
    if (aggregate_input_) {
        projected = save();
        restore(*aggregate_input_);
    }
    for (uint32_t k = 0; k < e.kids.count; ++k) check_expr(q_.lists[e.kids.begin + k], inner);
    if (projected) restore(std::move(*projected));
    q_.exprs[i].slot = new_slot();
    aggregates_.push_back(i);
    return true;
}

void Checker::check_pattern_predicate(const Expr& e) {
    Clause& c = q_.clauses[q_.list(q_.subs[e.sub].clauses)[0]];
    for (const PathPat& p : Query::of(q_.paths, c.pattern)) {
        for (const NodePat& n : Query::of(q_.nodes, p.nodes))
            if (n.var != kNone && !lookup(n.var))
                return fail(n.pos, "a pattern used as a condition cannot introduce variable " +
                                       quoted(n.var) + " (use exists { MATCH ... })");
        for (const RelPat& r : Query::of(q_.rels, p.rels))
            if (r.var != kNone && !lookup(r.var))
                return fail(r.pos, "a pattern used as a condition cannot introduce variable " +
                                       quoted(r.var) + " (use exists { MATCH ... })");
    }
    Saved saved = save();
    check_clauses(q_.subs[e.sub].clauses, true);
    restore(std::move(saved));
}

}  // namespace vk::cypher::checking
