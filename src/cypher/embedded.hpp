// A Cypher expression standing alone as the condition of another surface:
// the query builder's where. The text is one expression; every variable it
// reads without declaring it (in a comprehension or quantifier) is free,
// and the surface binds each free variable's slot before every evaluation.
//
// The builder's rules differ from Graph.cypher()'s in three places, all
// kept here: a label test `v:T` reads its label as a type schema on the
// node's type or the edge's term type (`v:T` is `v:$T$`), a value that is
// not a boolean is null as a condition (EvalCtx::builder), and `x IN y`
// with y no list is null. Parameters and patterns have nothing to read
// there and are refused; so are aggregates.
#pragma once
#include <Python.h>

#include <string_view>
#include <vector>

#include "cypher/ast.hpp"
#include "cypher/checks.hpp"
#include "cypher/eval.hpp"
#include "cypher/parser.hpp"

namespace vk::cypher {

struct EmbeddedCondition {
    Query q;
    Idx root = kNone;
    uint32_t nslots = 0;
    std::vector<FreeVariable> free;  // in order of first use
    LabelTable labels;               // every label a type schema

    // The collector's visit of the literals (immutable scalars, names).
    int traverse(visitproc visit, void* arg) const;
};

// Parses and checks `text` (with `!=` read as `<>`). False on an error,
// described in `f` (its position a byte offset into `text`).
bool parse_embedded(std::string_view text, EmbeddedCondition& out, Failure& f);

// One evaluation state over a condition: the row of slots, the label tests
// of the run. The caller fills the free variables' slots (row()) before
// each holds().
class EmbeddedRun {
public:
    EmbeddedRun(const EmbeddedCondition& c, GraphView view);
    Ref* row() { return row_.data(); }
    // kTrue, kFalse, kNull, or kError with an exception set.
    Tri holds() { return eval_truth(ctx_, cond_.root, "where"); }

private:
    const EmbeddedCondition& cond_;
    std::vector<Ref> row_;
    LabelTests tests_;
    EvalCtx ctx_;
};

}  // namespace vk::cypher
