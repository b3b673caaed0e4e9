// The row pipeline: one run of a plan.
//
// Rows are pushed, not pulled: each executor takes the run's row (a flat
// array of slots, one per variable) from the one before it, binds or
// computes its own slots and pushes the row on; an executor that must see
// every row first (sort, grouping) keeps copies and pushes them on when its
// input ends (finish). push and finish return 1 (go on), 0 (no more rows
// are wanted: a LIMIT was reached) or -1 (failed, exception set). Matching
// loops check for signals every few thousand rows, so Ctrl-C stops a run.
#pragma once
#include <Python.h>

#include <memory>
#include <vector>

#include "cypher/access.hpp"
#include "cypher/eval.hpp"
#include "cypher/paths_ops.hpp"
#include "cypher/plan.hpp"
#include "cypher/writes.hpp"

namespace vk::cypher {

class KeyTable;

struct Run {
    Run(const Plan& p, const GraphValue& g, std::vector<Ref> params);

    const Plan& plan;
    const Query& q;
    GraphAccess graph;
    LabelTests tests;
    std::vector<Ref> params;
    std::vector<Ref> row;
    EvalCtx ctx;
    BuiltSet built;
    Ref result;            // the list of result dicts
    KeyTable* union_seen = nullptr;  // UNION: the rows returned so far
    uint32_t ticks = 0;
    std::unique_ptr<PathRun> path_run;  // made when a path step or subquery first runs

    PathRun& paths() {
        if (!path_run) path_run = std::make_unique<PathRun>(*this);
        return *path_run;
    }

    // A writing query's undo log (null for a query that only reads); last,
    // so that a failed run is rolled back before anything else goes.
    std::unique_ptr<WriteState> writes;

    // Every few thousand calls, the interpreter's pending signals: 0 or -1.
    int tick() {
        if (++ticks & 4095) return 0;
        return PyErr_CheckSignals();
    }
    void use_row(uint32_t nslots) {
        row.clear();
        row.resize(nslots);
        ctx.row = row.data();
    }
};

class Exec {
public:
    Exec(Run& r, Exec* n) : run(r), next(n) {}
    virtual ~Exec() = default;
    // The run's row holds one more input row.
    virtual int push() = 0;
    // The input has ended.
    virtual int finish() { return next ? next->finish() : 1; }
    // n more input rows that only count (MatchOp::counting): the row holds
    // no new bindings.
    virtual int push_count(uint64_t n) {
        for (uint64_t i = 0; i < n; ++i) {
            int r = push();
            if (r <= 0) return r;
        }
        return 1;
    }

protected:
    Run& run;
    Exec* next;
};

// ----- operators -----------------------------------------------------------------

struct MatchOp : Operator {
    MatchOp() : Operator(OpKind::Match) {}
    std::unique_ptr<Exec> start(Run& run, Exec* next) const override;
    bool optional = false;
    std::vector<PartPlan> parts;
    Idx where = kNone;
    std::vector<int32_t> new_slots;  // OPTIONAL: set to null when nothing matches
    // By slot: whether a node bound at an edge's end is kept in its slot
    // (some expression or other pattern reads it) or only tested.
    std::vector<char> keep;
    // The next operator only counts rows (count(*) alone, no grouping) and
    // no WHERE is read here: a last expansion with nothing to test counts
    // the edges it would take instead of binding each.
    bool counting = false;
};

struct UnwindOp : Operator {
    UnwindOp() : Operator(OpKind::Unwind) {}
    std::unique_ptr<Exec> start(Run& run, Exec* next) const override;
    Idx expr = kNone;
    int32_t slot = -1;
};

struct FilterOp : Operator {
    FilterOp() : Operator(OpKind::Filter) {}
    std::unique_ptr<Exec> start(Run& run, Exec* next) const override;
    Idx where = kNone;
};

// The items of a WITH or RETURN without aggregates: each computed into its slot.
struct ProjectOp : Operator {
    ProjectOp() : Operator(OpKind::Project) {}
    std::unique_ptr<Exec> start(Run& run, Exec* next) const override;
    std::vector<std::pair<Idx, int32_t>> items;  // expression, slot
};

// The items of a WITH or RETURN with aggregates: rows grouped by the other items.
struct AggregateOp : Operator {
    AggregateOp() : Operator(OpKind::Aggregate) {}
    std::unique_ptr<Exec> start(Run& run, Exec* next) const override;
    std::vector<std::pair<Idx, int32_t>> keys;        // grouping items
    std::vector<std::pair<Idx, int32_t>> aggregated;  // items holding aggregates
    std::vector<Idx> aggregates;                      // Aggregate expressions
    uint32_t nslots = 0;
};

struct DistinctOp : Operator {
    DistinctOp() : Operator(OpKind::Distinct) {}
    std::unique_ptr<Exec> start(Run& run, Exec* next) const override;
    std::vector<int32_t> slots;
};

struct SortOp : Operator {
    SortOp() : Operator(OpKind::Sort) {}
    std::unique_ptr<Exec> start(Run& run, Exec* next) const override;
    std::vector<std::pair<Idx, bool>> keys;  // expression, descending
    uint32_t nslots = 0;
    // The SKIP and LIMIT that follow (kNone: none): a sort followed by a
    // LIMIT keeps only the rows that can still be returned.
    Idx skip = kNone, limit = kNone;
};

// SKIP (skip = true) or LIMIT: the count is an expression of no variable.
struct SliceOp : Operator {
    explicit SliceOp(bool is_skip) : Operator(is_skip ? OpKind::Skip : OpKind::Limit), skip(is_skip) {}
    std::unique_ptr<Exec> start(Run& run, Exec* next) const override;
    bool skip;
    Idx count = kNone;
};

// The end of a branch: one result dict per row, keys the columns.
struct EmitOp : Operator {
    EmitOp() : Operator(OpKind::Emit) {}
    std::unique_ptr<Exec> start(Run& run, Exec* next) const override;
    std::vector<int32_t> slots;
};

// Runs the plan; the list of result dicts, or null with an exception set.
PyObject* run_plan(const Plan& plan, const GraphValue& g, std::vector<Ref> params);

// A row value as a result value: nodes and relationships become new Node
// and Edge objects; a list or map the run built becomes a new list or dict
// of converted values; everything else (stored property values included)
// is returned as itself.
PyObject* to_result(PyObject* v, BuiltSet& built);

}  // namespace vk::cypher
