// The checks: one pass over the tree, clause by clause, keeping the
// variables in scope.
//
// The scope is a stack of entries (name, slot, kind) with, per name, the
// index of its newest entry and in each entry the one it hides: lookups are
// O(1), a comprehension variable hides an outer one and is popped after,
// and a WITH or RETURN replaces the whole scope by its projection. Slots
// are handed out in one sequence per single query (UNION branch), shared by
// its subqueries, so every row of a branch is one flat array.
//
// A MATCH, CREATE or MERGE declares its pattern's variables after checking
// its property maps, so a property map reads only variables bound before
// the clause (a condition between elements of one pattern belongs in
// WHERE); each element records whether it is new, bound before, or
// repeated within the clause.
//
// A projection (WITH, RETURN) checks its items in the scope before it, with
// aggregates allowed in items; each aggregate gets a slot for its group's
// result and is listed with the clause. After an aggregation or DISTINCT
// the rows are the projection's: an expression read from them (an
// aggregating item, ORDER BY) has its parts written as items (as grouping
// keys, for an item) rewritten in place into Vars of those items' slots,
// and any other variable it reads must be a projected name; ORDER BY may
// add aggregates of its own there. Without either, ORDER BY also sees the
// variables before the projection.
//
// Variables have a kind (node, relationship, path, value); a value known
// to be no node or relationship (a literal, an operator's result, a
// variable-length relationship's list) cannot stand in a pattern, while a
// value of unknown kind (a parameter, a property, a function's result) is
// left to the run. Parameters are collected, not checked: their values
// differ per call.
#include "cypher/checks.hpp"

#include <algorithm>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

#include "cypher/functions.hpp"

namespace vk::cypher {

namespace {

const char* kind_word(VarKind k) {
    switch (k) {
        case VarKind::Node: return "a node";
        case VarKind::Rel: return "a relationship";
        case VarKind::Path: return "a path";
        case VarKind::Value: return "a value";
    }
    return "a value";
}

const char* clause_word(ClauseKind k) {
    switch (k) {
        case ClauseKind::Match: return "MATCH";
        case ClauseKind::Unwind: return "UNWIND";
        case ClauseKind::With: return "WITH";
        case ClauseKind::Return: return "RETURN";
        case ClauseKind::Create: return "CREATE";
        case ClauseKind::Merge: return "MERGE";
        case ClauseKind::Set: return "SET";
        case ClauseKind::Remove: return "REMOVE";
        case ClauseKind::Delete: return "DELETE";
    }
    return "";
}

// Whether an expression of this kind is never a node, relationship or path
// (a Value of other kinds is not known until it runs).
bool is_scalar(ExprKind k) {
    switch (k) {
        case ExprKind::True: case ExprKind::False: case ExprKind::Int: case ExprKind::Float:
        case ExprKind::Str: case ExprKind::List: case ExprKind::Map: case ExprKind::Arith:
        case ExprKind::Compare: case ExprKind::Binary: case ExprKind::And: case ExprKind::Or:
        case ExprKind::Xor: case ExprKind::Not: case ExprKind::Neg: case ExprKind::IsNull:
        case ExprKind::IsNotNull: case ExprKind::LabelTest: case ExprKind::ListComp:
        case ExprKind::Quantifier: case ExprKind::MapProj: case ExprKind::PatternPredicate:
        case ExprKind::Exists: case ExprKind::PatternComp:
            return true;
        default:
            return false;
    }
}

bool is_write(ClauseKind k) {
    return k == ClauseKind::Create || k == ClauseKind::Merge || k == ClauseKind::Set ||
           k == ClauseKind::Remove || k == ClauseKind::Delete;
}

// Where an expression stands, for the rules on aggregates and variables.
struct Ctx {
    bool aggregates = false;  // an aggregate may stand here
    bool in_aggregate = false;
    bool constant = false;    // no variables (SKIP, LIMIT)
    const char* place = "here";
};

class Checker {
public:
    explicit Checker(Query& q) : q_(q), top_(q.names.size(), -1) {}

    bool run(Failure& f) {
        check_all();
        if (failed_) {
            f = std::move(fail_);
            return false;
        }
        return true;
    }

private:
    struct Entry {
        Idx name;
        int32_t slot;
        VarKind kind;
        int32_t hidden;  // the entry of the same name this one hides, or -1
        bool scalar;     // a Value known to be no node, relationship or path
    };

    void fail(Pos pos, std::string what) {
        if (failed_) return;
        failed_ = true;
        fail_.what = std::move(what);
        fail_.pos = pos;
    }
    std::string quoted(Idx name) const { return "`" + q_.name(name) + "`"; }

    // ---- scope ----

    const Entry* lookup(Idx name) const {
        int32_t i = top_[name];
        return i < 0 ? nullptr : &scope_[size_t(i)];
    }
    int32_t declare(Idx name, VarKind kind, int32_t slot = -1, bool scalar = false) {
        if (slot < 0) slot = new_slot();
        scope_.push_back(Entry{name, slot, kind, top_[name], scalar});
        top_[name] = int32_t(scope_.size() - 1);
        return slot;
    }
    void pop() {
        top_[scope_.back().name] = scope_.back().hidden;
        scope_.pop_back();
        ++epoch_;
    }
    void clear_scope() {
        for (const Entry& e : scope_) top_[e.name] = -1;
        scope_.clear();
        ++epoch_;
    }
    int32_t new_slot() { return int32_t(nslots_++); }
    struct Saved {
        std::vector<Entry> scope;
    };
    Saved save() const { return Saved{scope_}; }
    void restore(Saved s) {
        clear_scope();
        scope_ = std::move(s.scope);
        for (size_t i = 0; i < scope_.size(); ++i) top_[scope_[i].name] = int32_t(i);
        ++epoch_;
    }
    // The visible variables, in the order they were introduced. Where the
    // scope only grew since the last record and that record ends the list,
    // the record is extended (clauses that only add variables share one
    // list), so a long run of MATCH or UNWIND clauses costs no copies.
    Range record_scope() {
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

    // ---- the query ----

    void check_all() {
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

    // The clauses of a single query or of a subquery.
    void check_clauses(Range clauses, bool sub) {
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

    void check_clause(Clause& c) {
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

    void check_sets(Range items, const char* clause) {
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

    // ---- patterns ----

    // Declares the variables of the clause's patterns (after checking their
    // property maps in the scope before the clause).
    void check_pattern(Clause& c, bool create) {
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

    void check_props(Idx props, Range pattern) {
        hint_pattern_ = pattern;
        check_expr(props, Ctx{.place = "in a property map"});
        hint_pattern_ = Range{};
    }

    // Binds a pattern element's variable (or gives an anonymous element a slot).
    void bind(Idx var, VarKind kind, Pos pos, size_t clause_start, int32_t& slot,
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

    void check_create_node(const Clause& c, const NodePat& n) {
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

    void check_create_rel(const Clause& c, const RelPat& r) {
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

    // ---- projections ----

    void check_projection(Clause& c) {
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

    // SKIP and LIMIT: an expression without variables; a literal must be a
    // non-negative integer (a parameter is checked when its value is known).
    void check_count(Idx e, const char* clause) {
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
    PyObject* zero() {
        if (!zero_) zero_ = Ref::steal(PyLong_FromLong(0));
        return zero_.get();
    }

    // After DISTINCT or an aggregation the rows are the projection's: in an
    // expression read from them (ORDER BY, an aggregating item), the whole
    // written exactly as an item (when `whole`), or a part written as an
    // item that is a variable or a property (`me.age`), is read from that
    // item's slot (the node becomes a Var in place). The arguments of
    // aggregates and the bodies of comprehensions are left as they are.
    void read_projected(Idx root, const std::vector<Item>& items, bool whole) {
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
    std::string_view text_of(const Expr& e) const {
        return std::string_view(q_.text).substr(e.pos.offset, e.end - e.pos.offset);
    }

    // In an aggregating projection, the variables an aggregating item reads
    // outside its aggregates (and outside the parts read from grouping keys)
    // must be grouping keys projected under their own names.
    void check_grouping(const std::vector<Item>& items) {
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

    // ---- expressions ----

    // Checks expression `i` and its subtree; true when it holds an aggregate.
    // (A subquery's checks may append to the arenas, so no reference into
    // them is held across a recursive call: `e` is a copy.)
    bool check_expr(Idx i, const Ctx& ctx) {
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

    void resolve(Expr& e, const Ctx& ctx) {
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

    bool in_pattern(Idx name) const {
        for (const PathPat& p : Query::of(q_.paths, hint_pattern_)) {
            if (p.var == name) return true;
            for (const NodePat& n : Query::of(q_.nodes, p.nodes))
                if (n.var == name) return true;
            for (const RelPat& r : Query::of(q_.rels, p.rels))
                if (r.var == name) return true;
        }
        return false;
    }

    int32_t param_index(Idx name, Pos pos) {
        if (param_of_.empty()) param_of_.assign(q_.names.size(), -1);
        if (param_of_[name] < 0) {
            param_of_[name] = int32_t(q_.params.size());
            q_.params.push_back(Param{name, pos});
        }
        return param_of_[name];
    }

    static std::string lower(const std::string& s) {
        std::string out(s);
        for (char& c : out)
            if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
        return out;
    }
    static std::string arity_text(int lo, int hi) {
        if (lo == hi) return std::to_string(lo) + (lo == 1 ? " argument" : " arguments");
        if (hi == 255)
            return "at least " + std::to_string(lo) + (lo == 1 ? " argument" : " arguments");
        return std::to_string(lo) + " to " + std::to_string(hi) + " arguments";
    }
    bool arity_ok(const Expr& e, const std::string& shown, int lo, int hi) {
        int n = int(e.kids.count);
        if (n >= lo && n <= hi) return true;
        fail(e.pos, "function " + shown + "() takes " + arity_text(lo, hi) + ", " +
                        std::to_string(n) + " given");
        return false;
    }

    bool check_call(Idx i, const Ctx& ctx) {
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

    bool check_aggregate(Idx i, const Ctx& ctx) {
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

    // A pattern as a condition: it may name only variables already bound.
    void check_pattern_predicate(const Expr& e) {
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

    Query& q_;
    bool failed_ = false;
    Failure fail_;
    std::vector<Entry> scope_;
    std::vector<int32_t> top_;
    std::vector<int32_t> param_of_;
    // The scope's changes other than growth, and the last record of it.
    uint64_t epoch_ = 0, recorded_epoch_ = UINT64_MAX;
    Range recorded_{};
    size_t recorded_size_ = 0;  // by name: the index in Query::params, or -1
    uint32_t nslots_ = 0;
    std::vector<Idx> aggregates_;
    Range hint_pattern_{};
    const char* order_hint_ = nullptr;
    const Saved* aggregate_input_ = nullptr;  // ORDER BY after an aggregation: the input's scope
    Ref zero_;
};

}  // namespace

bool check_query(Query& q, Failure& f) { return Checker(q).run(f); }

}  // namespace vk::cypher
