// The checks of clauses, patterns and projections (see checker.hpp).
#include "cypher/checks.hpp"

#include "cypher/checker.hpp"

namespace vk::cypher {

namespace checking {

Range Checker::record_scope() {
    size_t from = 0;
    Range r{uint32_t(q_.vars.size()), 0};
    if (epoch_ == recorded_epoch_ && recorded_.begin + recorded_.count == q_.vars.size() &&
        recorded_size_ <= scope_.size()) {
        from = recorded_size_;
        r = recorded_;
    }
    for (size_t i = from; i < scope_.size(); ++i) {
        const Entry& e = scope_[i];
        if (top_[e.name] != int32_t(i)) continue;
        q_.vars.push_back(VarInfo{e.name, e.slot, e.kind});
        ++r.count;
    }
    recorded_ = r;
    recorded_size_ = scope_.size();
    recorded_epoch_ = epoch_;
    return r;
}

void Checker::check_all() {
    for (size_t p = 0; p < q_.parts.size() && !failed_; ++p) {
        clear_scope();
        nslots_ = 0;
        check_clauses(q_.parts[p].clauses, false);
        if (failed_) return;
        q_.parts[p].nslots = nslots_;
        const Clause& last = q_.clauses[q_.list(q_.parts[p].clauses).back()];
        if (last.kind != ClauseKind::Return) {
            if (!is_write(last.kind))
                return fail(last.pos, std::string("a reading query must end with RETURN, "
                                                  "not ") +
                                          clause_word(last.kind));
            if (q_.parts.size() > 1)
                return fail(last.pos, "each part of a UNION must end with RETURN");
        }
        Range cols{};
        if (last.kind == ClauseKind::Return) {
            std::vector<Idx> names;
            for (const Item& it : Query::of(q_.items, last.items)) names.push_back(it.column);
            if (p == 0) {
                cols = Range{uint32_t(q_.lists.size()), uint32_t(names.size())};
                q_.lists.insert(q_.lists.end(), names.begin(), names.end());
                q_.columns = cols;
            } else {
                auto first = q_.list(q_.columns);
                if (!std::equal(first.begin(), first.end(), names.begin(), names.end()))
                    return fail(last.pos,
                                "every part of a UNION must return the same columns in the "
                                "same order");
            }
        }
    }
}

void Checker::check_clauses(Range clauses, bool sub) {
    for (uint32_t i = 0; i < clauses.count && !failed_; ++i) {
        Clause& c = q_.clauses[q_.lists[clauses.begin + i]];
        if (c.kind == ClauseKind::Return && i + 1 < clauses.count) {
            const Clause& next = q_.clauses[q_.lists[clauses.begin + i + 1]];
            return fail(next.pos, std::string("no clause can follow RETURN, found ") +
                                      clause_word(next.kind));
        }
        if (sub && is_write(c.kind))
            return fail(c.pos,
                        std::string(clause_word(c.kind)) + " cannot stand in a subquery");
        check_clause(c);
        if (failed_) return;
        c.scope = record_scope();
    }
}

void Checker::check_clause(Clause& c) {
    switch (c.kind) {
        case ClauseKind::Match:
            check_pattern(c, false);
            if (c.where != kNone) check_expr(c.where, Ctx{.place = "in WHERE"});
            return;
        case ClauseKind::Create:
        case ClauseKind::Merge:
            check_pattern(c, true);
            check_sets(c.sets, c.kind == ClauseKind::Merge ? "ON CREATE SET" : "SET");
            check_sets(c.on_match, "ON MATCH SET");
            return;
        case ClauseKind::Unwind: {
            check_expr(c.expr, Ctx{.place = "in UNWIND"});
            if (failed_) return;
            if (lookup(c.var))
                return fail(c.pos, "variable " + quoted(c.var) + " is already defined");
            c.slot = declare(c.var, VarKind::Value);
            return;
        }
        case ClauseKind::With:
        case ClauseKind::Return:
            return check_projection(c);
        case ClauseKind::Set:
            return check_sets(c.sets, "SET");
        case ClauseKind::Remove:
            return check_sets(c.sets, "REMOVE");
        case ClauseKind::Delete:
            for (uint32_t i = 0; i < c.exprs.count; ++i)
                check_expr(q_.lists[c.exprs.begin + i], Ctx{.place = "in DELETE"});
            return;
    }
}

void Checker::check_sets(Range items, const char* clause) {
    for (uint32_t i = 0; i < items.count && !failed_; ++i) {
        SetItem& s = q_.sets[items.begin + i];
        if (s.kind == SetKind::Label)
            return fail(s.pos, std::string(clause) +
                                   " cannot change a label: a node's type is its identity");
        Ctx ctx{.place = "in SET"};
        check_expr(s.target, ctx);
        if (s.value != kNone) check_expr(s.value, ctx);
    }
}

void Checker::check_pattern(Clause& c, bool create) {
    auto paths = Query::of(q_.paths, c.pattern);
    for (const PathPat& p : paths) {
        for (const NodePat& n : Query::of(q_.nodes, p.nodes))
            if (n.props != kNone) check_props(n.props, c.pattern);
        for (const RelPat& r : Query::of(q_.rels, p.rels))
            if (r.props != kNone) check_props(r.props, c.pattern);
    }
    if (failed_) return;
    const size_t before = scope_.size();
    for (uint32_t pi = 0; pi < c.pattern.count && !failed_; ++pi) {
        PathPat& p = q_.paths[c.pattern.begin + pi];
        if (create && p.fn != PathFn::None)
            return fail(p.fn_pos,
                        std::string(clause_word(c.kind)) + " cannot make a shortest path");
        if (p.fn != PathFn::None) {
            const char* fn = p.fn == PathFn::Shortest ? "shortestPath" : "allShortestPaths";
            if (p.rels.count != 1)
                return fail(p.fn_pos, std::string(fn) + " needs a pattern of one relationship");
            const RelPat& r = q_.rels[p.rels.begin];
            if (r.min_hops > 1)
                return fail(r.pos, std::string(fn) + " takes a lower bound of 0 or 1, not " +
                                       std::to_string(r.min_hops));
        }
        // In path order, so variables are introduced as written.
        for (uint32_t i = 0; i < p.nodes.count && !failed_; ++i) {
            NodePat& n = q_.nodes[p.nodes.begin + i];
            bind(n.var, VarKind::Node, n.pos, before, n.slot, n.binding);
            if (failed_) return;
            if (create) check_create_node(c, n);
            if (i == p.rels.count || failed_) break;
            RelPat& r = q_.rels[p.rels.begin + i];
            bind(r.var, r.var_length ? VarKind::Value : VarKind::Rel, r.pos, before, r.slot,
                 r.binding);
            if (failed_) return;
            if (r.binding == Binding::Repeat)
                return fail(r.pos, "relationship variable " + quoted(r.var) +
                                       " stands for two relationships of one pattern");
            if (create) check_create_rel(c, r);
        }
        if (failed_) return;
        if (p.var != kNone) {
            if (lookup(p.var))
                return fail(p.pos, "variable " + quoted(p.var) + " is already defined");
            p.slot = declare(p.var, VarKind::Path);
        } else {
            p.slot = new_slot();
        }
    }
}

void Checker::check_props(Idx props, Range pattern) {
    hint_pattern_ = pattern;
    check_expr(props, Ctx{.place = "in a property map"});
    hint_pattern_ = Range{};
}

void Checker::bind(Idx var, VarKind kind, Pos pos, size_t clause_start, int32_t& slot,
                   Binding& binding) {
    if (var == kNone) {
        slot = new_slot();
        binding = Binding::New;
        return;
    }
    const int32_t at = top_[var];
    if (at < 0) {
        // A variable-length relationship's variable holds a list.
        slot = declare(var, kind, -1, kind == VarKind::Value);
        binding = Binding::New;
        return;
    }
    const Entry& e = scope_[size_t(at)];
    if (e.scalar && kind != VarKind::Value)
        return fail(pos, "variable " + quoted(var) + " holds a value that is not " +
                             kind_word(kind) + ", it cannot be " + kind_word(kind));
    if (e.kind != kind && e.kind != VarKind::Value && kind != VarKind::Value)
        return fail(pos, "variable " + quoted(var) + " is already " + kind_word(e.kind) +
                             ", it cannot be " + kind_word(kind));
    if (e.kind == VarKind::Path)
        return fail(pos, "variable " + quoted(var) + " is already a path");
    slot = e.slot;
    binding = size_t(at) >= clause_start ? Binding::Repeat : Binding::Bound;
}

void Checker::check_create_node(const Clause& c, const NodePat& n) {
    const char* what = clause_word(c.kind);
    if (n.binding != Binding::New) {
        if (n.groups.count || n.props != kNone)
            fail(n.pos, "node " + quoted(n.var) + " is already bound: " + what +
                            " cannot give it labels or properties");
        return;
    }
    if (n.groups.count != 1 || q_.groups[n.groups.begin].count != 1)
        fail(n.pos, std::string("a node to ") +
                        (c.kind == ClauseKind::Merge ? "merge" : "create") +
                        " needs exactly one label (its type)");
}

void Checker::check_create_rel(const Clause& c, const RelPat& r) {
    const std::string what = c.kind == ClauseKind::Merge ? "merge" : "create";
    if (r.binding != Binding::New)
        return fail(r.pos, "relationship " + quoted(r.var) + " is already bound: " +
                               clause_word(c.kind) + " makes new relationships");
    if (r.var_length)
        return fail(r.pos, "a variable-length relationship cannot be " + what + "d");
    if (r.types.count != 1)
        return fail(r.pos,
                    "a relationship to " + what + " needs exactly one type (a term name)");
    if (q_.labels[r.types.begin].kind == LabelKind::Schema)
        return fail(q_.labels[r.types.begin].pos,
                    "a relationship to " + what + " needs a term name, not a type schema");
    if (c.kind == ClauseKind::Create && r.dir == Dir::Both)
        return fail(r.pos, "a relationship to create needs a direction");
}

void Checker::check_projection(Clause& c) {
    const bool ret = c.kind == ClauseKind::Return;
    const char* word = ret ? "RETURN" : "WITH";
    std::vector<Item> items;
    if (c.star) {
        for (size_t i = 0; i < scope_.size(); ++i) {
            const Entry& e = scope_[i];
            if (top_[e.name] != int32_t(i)) continue;
            Expr v{};
            v.kind = ExprKind::Var;
            v.pos = c.pos;
            v.end = c.pos.offset;
            v.name = e.name;
            q_.exprs.push_back(v);
            Item it{};
            it.pos = c.pos;
            it.expr = Idx(q_.exprs.size() - 1);
            it.column = e.name;
            items.push_back(it);
        }
        if (items.empty() && c.items.empty())
            return fail(c.pos, std::string(word) + " * needs variables in scope");
    }
    for (const Item& it : Query::of(q_.items, c.items)) items.push_back(it);

    // Items, in the scope before the projection. (A subquery in an item
    // may hold a projection of its own: the outer list is set aside.)
    std::vector<Idx> outer_aggregates;
    outer_aggregates.swap(aggregates_);
    std::vector<VarKind> kinds(items.size(), VarKind::Value);
    std::vector<char> scalars(items.size(), 0);
    std::unordered_set<Idx> columns;
    for (size_t i = 0; i < items.size() && !failed_; ++i) {
        Item& it = items[i];
        it.aggregate = check_expr(it.expr, Ctx{.aggregates = true, .place = "here"});
        if (failed_) return;
        const Expr& e = q_.exprs[it.expr];
        if (e.kind == ExprKind::Var) {
            kinds[i] = lookup(e.name)->kind;
            scalars[i] = lookup(e.name)->scalar;
            if (it.alias == kNone) it.column = e.name;
        } else {
            scalars[i] = is_scalar(e.kind);
        }
        if (!ret && it.alias == kNone && e.kind != ExprKind::Var)
            return fail(it.pos, "an expression in WITH needs a name: add AS and a variable");
        if (!columns.insert(it.column).second)
            return fail(it.pos, std::string(ret ? "column " : "variable ") +
                                    quoted(it.column) + " is projected twice");
        if (it.aggregate) c.aggregating = true;
    }
    // Output slots: a variable projected under its own name keeps its slot.
    for (size_t i = 0; i < items.size(); ++i) {
        Item& it = items[i];
        const Expr& e = q_.exprs[it.expr];
        if (e.kind == ExprKind::Var && (it.alias == kNone || it.alias == e.name))
            it.slot = e.slot;
        else
            it.slot = new_slot();
    }

    // An aggregating item reads the group's row: a part of it written as
    // a grouping key (`n.x` in `RETURN n.x, n.x + count(*)`) is that
    // key's value; any other variable outside its aggregates is refused.
    if (c.aggregating) {
        std::vector<Item> keys;
        for (const Item& it : items)
            if (!it.aggregate) keys.push_back(it);
        for (const Item& it : items)
            if (it.aggregate) read_projected(it.expr, keys, false);
        check_grouping(items);
    }
    if (failed_) return;

    // ORDER BY: the projected names, and before them the earlier
    // variables where the rows are still the input's.
    const bool keeps_input = !c.aggregating && !c.distinct;
    Saved before = save();
    if (!keeps_input) clear_scope();
    auto project = [&] {
        for (size_t i = 0; i < items.size(); ++i) {
            const Item& it = items[i];
            if (!ret || it.alias != kNone || q_.exprs[it.expr].kind == ExprKind::Var)
                declare(it.alias != kNone ? it.alias : q_.exprs[it.expr].name, kinds[i],
                        it.slot, scalars[i]);
        }
    };
    project();
    for (uint32_t i = 0; i < c.order.count && !failed_; ++i) {
        const Idx sort = q_.sorts[c.order.begin + i].expr;
        if (!keeps_input) read_projected(sort, items, true);
        const char* place = keeps_input ? "in ORDER BY after a projection without aggregates"
                                        : "in ORDER BY after DISTINCT without aggregates";
        if (!keeps_input) order_hint_ = word;
        // After an aggregation, an aggregate of ORDER BY is one more
        // aggregate of each group, its arguments read from the input.
        if (c.aggregating) aggregate_input_ = &before;
        check_expr(sort, Ctx{.aggregates = c.aggregating, .place = place});
        aggregate_input_ = nullptr;
        order_hint_ = nullptr;
    }
    if (failed_) return;
    const size_t nagg = aggregates_.size();
    restore(std::move(before));

    check_count(c.skip, "SKIP");
    check_count(c.limit, "LIMIT");
    if (failed_) return;

    // The new scope.
    clear_scope();
    project();
    c.items = Range{uint32_t(q_.items.size()), uint32_t(items.size())};
    q_.items.insert(q_.items.end(), items.begin(), items.end());
    c.aggregates = Range{uint32_t(q_.lists.size()), uint32_t(nagg)};
    q_.lists.insert(q_.lists.end(), aggregates_.begin(), aggregates_.begin() + long(nagg));
    aggregates_.swap(outer_aggregates);
    if (c.where != kNone) check_expr(c.where, Ctx{.place = "in WHERE"});
}

void Checker::check_count(Idx e, const char* clause) {
    if (e == kNone) return;
    check_expr(e, Ctx{.constant = true, .place = "in SKIP or LIMIT"});
    if (failed_) return;
    const Expr& x = q_.exprs[e];
    bool bad = false;
    switch (x.kind) {
        case ExprKind::Int: {
            int neg = PyObject_RichCompareBool(q_.consts[x.value].get(), zero(), Py_LT);
            bad = neg != 0;
            break;
        }
        case ExprKind::Null: case ExprKind::True: case ExprKind::False: case ExprKind::Float:
        case ExprKind::Str: case ExprKind::List: case ExprKind::Map:
            bad = true;
            break;
        default:
            break;
    }
    if (bad)
        fail(x.pos, std::string(clause) + " needs a non-negative integer, found " +
                        std::string(text_of(x)));
}

void Checker::read_projected(Idx root, const std::vector<Item>& items, bool whole) {
    std::vector<Idx> stack{root};
    while (!stack.empty()) {
        const Idx i = stack.back();
        stack.pop_back();
        const Expr x = q_.exprs[i];
        const Item* same = nullptr;
        for (const Item& it : items) {
            const Expr& y = q_.exprs[it.expr];
            if (y.end <= y.pos.offset) continue;  // made by `*`
            const bool simple = y.kind == ExprKind::Var || y.kind == ExprKind::Property;
            if (((i == root && whole) || simple) && text_of(y) == text_of(x)) {
                same = &it;
                break;
            }
        }
        if (same) {
            Expr v{};
            v.kind = ExprKind::Var;
            v.pos = x.pos;
            v.end = x.end;
            v.name = same->column;
            v.slot = same->slot;
            q_.exprs[i] = v;
            continue;
        }
        // (A call is an aggregate's when the checks find its name so.)
        const bool aggregate = x.kind == ExprKind::Aggregate ||
                               (x.kind == ExprKind::Call && find_aggregate(lower(q_.name(x.name))));
        if (aggregate || x.sub != kNone) continue;
        if (x.kind == ExprKind::ListComp || x.kind == ExprKind::Quantifier) {
            stack.push_back(x.a);
            continue;
        }
        for (Idx k : {x.a, x.b, x.c})
            if (k != kNone) stack.push_back(k);
        for (uint32_t k = 0; k < x.kids.count; ++k) stack.push_back(q_.lists[x.kids.begin + k]);
    }
}

void Checker::check_grouping(const std::vector<Item>& items) {
    std::vector<int32_t> keys;
    for (const Item& it : items) {
        const Expr& e = q_.exprs[it.expr];
        const bool own_name = it.alias == kNone || it.alias == e.name;
        if (!it.aggregate && e.kind == ExprKind::Var && own_name) keys.push_back(e.slot);
    }
    for (const Item& it : items) {
        if (!it.aggregate) continue;
        std::vector<Idx> stack{it.expr};
        while (!stack.empty() && !failed_) {
            Idx i = stack.back();
            stack.pop_back();
            const Expr& e = q_.exprs[i];
            if (e.kind == ExprKind::Aggregate || e.sub != kNone) continue;
            // (A comprehension's own variable is not in the scope: it is no input.)
            auto input = [&] { return lookup(e.name) && lookup(e.name)->slot == e.slot; };
            auto key = [&] { return std::find(keys.begin(), keys.end(), e.slot) != keys.end(); };
            if (e.kind == ExprKind::Var && input() && !key())
                return fail(e.pos, "variable " + quoted(e.name) +
                                       " is read beside an aggregate: project it as an item of "
                                       "its own (a grouping key) to use it here");
            for (Idx k : {e.a, e.b, e.c})
                if (k != kNone) stack.push_back(k);
            for (Idx k : q_.kids(e)) stack.push_back(k);
        }
    }
}

}  // namespace checking

bool check_query(Query& q, Failure& f) { return checking::Checker(q).run(f); }

}  // namespace vk::cypher
