// The checks' state and helpers, shared by their two units: checks.cpp
// (clauses, patterns, projections) and check_expressions.cpp. The checks
// are one pass over the tree, clause by clause, keeping the variables in
// scope.
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
#pragma once
#include <Python.h>

#include <algorithm>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

#include "cypher/ast.hpp"
#include "cypher/functions.hpp"
#include "cypher/parser.hpp"

namespace vk::cypher::checking {

inline const char* kind_word(VarKind k) {
    switch (k) {
        case VarKind::Node: return "a node";
        case VarKind::Rel: return "a relationship";
        case VarKind::Path: return "a path";
        case VarKind::Value: return "a value";
    }
    return "a value";
}

inline const char* clause_word(ClauseKind k) {
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
inline bool is_scalar(ExprKind k) {
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

inline bool is_write(ClauseKind k) {
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
    Range record_scope();

    // ---- the query ----

    void check_all();

    // The clauses of a single query or of a subquery.
    void check_clauses(Range clauses, bool sub);

    void check_clause(Clause& c);

    void check_sets(Range items, const char* clause);

    // ---- patterns ----

    // Declares the variables of the clause's patterns (after checking their
    // property maps in the scope before the clause).
    void check_pattern(Clause& c, bool create);

    void check_props(Idx props, Range pattern);

    // Binds a pattern element's variable (or gives an anonymous element a slot).
    void bind(Idx var, VarKind kind, Pos pos, size_t clause_start, int32_t& slot,
              Binding& binding);

    void check_create_node(const Clause& c, const NodePat& n);

    void check_create_rel(const Clause& c, const RelPat& r);

    // ---- projections ----

    void check_projection(Clause& c);

    // SKIP and LIMIT: an expression without variables; a literal must be a
    // non-negative integer (a parameter is checked when its value is known).
    void check_count(Idx e, const char* clause);
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
    void read_projected(Idx root, const std::vector<Item>& items, bool whole);
    std::string_view text_of(const Expr& e) const {
        return std::string_view(q_.text).substr(e.pos.offset, e.end - e.pos.offset);
    }

    // In an aggregating projection, the variables an aggregating item reads
    // outside its aggregates (and outside the parts read from grouping keys)
    // must be grouping keys projected under their own names.
    void check_grouping(const std::vector<Item>& items);

    // ---- expressions ----

    // Checks expression `i` and its subtree; true when it holds an aggregate.
    // (A subquery's checks may append to the arenas, so no reference into
    // them is held across a recursive call: `e` is a copy.)
    bool check_expr(Idx i, const Ctx& ctx);

    void resolve(Expr& e, const Ctx& ctx);

    bool in_pattern(Idx name) const;

    int32_t param_index(Idx name, Pos pos);

    static std::string lower(const std::string& s) {
        std::string out(s);
        for (char& c : out)
            if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
        return out;
    }
    static std::string arity_text(int lo, int hi);
    bool arity_ok(const Expr& e, const std::string& shown, int lo, int hi);

    bool check_call(Idx i, const Ctx& ctx);

    bool check_aggregate(Idx i, const Ctx& ctx);

    // A pattern as a condition: it may name only variables already bound.
    void check_pattern_predicate(const Expr& e);

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

}  // namespace vk::cypher::checking
