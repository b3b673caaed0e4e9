// Paths in a run: the matching steps of variable-length relationships,
// shortest paths and named paths, and the subqueries of expressions
// (pattern predicates, exists { }, pattern comprehensions).
//
// A run's path searches read one adjacency, made the first time a search
// needs it and kept for the rest of the run, as the run's other snapshots
// are: over the graph's edge index (IndexLists) when the run's graph has
// one that answers for its `edges`, else a snapshot of the dict
// (EdgeLists), which is also what the run reads once the index stops
// answering for the dict as first read (Python code the run called changed
// it). Each step keeps its cursor in the run's
// PathRun by the step's address: a step is never active twice at once in
// one run (the matcher goes on to later steps, later parts and later
// operators while a cursor waits, never back to the same step), and a
// nested run has a PathRun of its own.
//
// Relationship values: a variable-length relationship's slot holds a list
// of Edge objects in pattern order (left to right as written), bound only
// when something reads it (its variable, a named path, a later
// relationship's uniqueness test, a replayed part).
#pragma once
#include <Python.h>

#include <memory>
#include <vector>

#include "cypher/ast.hpp"
#include "cypher/eval.hpp"
#include "cypher/expand.hpp"
#include "errors.hpp"
#include "host/ref.hpp"

namespace vk::cypher {

struct Run;
struct Step;
class Exec;
class Operator;

// The continuation of a matching step: binds or tests the far node (a Node
// object) and matches the rest; 1 go on, 0 stop, -1 failed.
using FarThen = FunctionRef<int(PyObject* far)>;

// The graph of the Graph.cypher() run under way on this thread, whose edge
// index the run's path searches read; set for the length of the run.
class IndexedGraphScope {
public:
    explicit IndexedGraphScope(const GraphValue& g);
    ~IndexedGraphScope();
    IndexedGraphScope(const IndexedGraphScope&) = delete;
    IndexedGraphScope& operator=(const IndexedGraphScope&) = delete;
    static const GraphValue* current();

private:
    const GraphValue* prev_;
};

class PathRun {
public:
    explicit PathRun(Run& run);
    ~PathRun();

    // The run's adjacency, made on first use; null with an exception set.
    PathGraph* lists();
    // The run's adjacency, holding the edges within `hops` of the node `node`
    // (numbered there, set anew when the adjacency is replaced by a
    // snapshot); null with an exception set.
    PathGraph* lists_reaching(const NodeValue& node, StepDir dir, uint32_t hops, uint32_t& number);
    // Forgets the adjacency, for a run whose writes changed `edges` (as
    // GraphAccess::invalidate forgets its snapshots); the next search reads
    // the dict again.
    void invalidate();

    // A variable-length relationship step from the node bound at s.from.
    int var_expand(const Step& s, FarThen then);
    // A shortest-path step between the nodes bound at s.from and s.node,
    // binding the relationship and path slots.
    int shortest(const Step& s, FarThen then);
    // The named path of pattern `path` from the slots of its nodes and
    // relationships (bound by the part's steps): a new Path, or null with
    // an exception set.
    PyObject* assemble(uint32_t path);

    // exists { } and pattern predicates: whether the subquery of `e` has a
    // match given the row; a pattern comprehension's list.
    Tri exists(const Expr& e);
    PyObject* comprehension(const Expr& e);

private:
    struct StepState;
    struct SubRun;
    struct Kept;  // the adjacency, the steps' states and the subqueries' operators
    StepState& state_of(const Step& s);
    // The numbers of the edges held by the slots (Edges or lists of them).
    Status used_edges(PathGraph& adj, const std::vector<int32_t>& slots,
                      std::vector<uint32_t>& out);
    SubRun& sub_run(const Expr& e);

    Run& run_;
    std::unique_ptr<Kept> kept_;
    std::unique_ptr<GraphValue> graph_;  // the run's graph, for its index
};

// Whether the relationship value `bound` (an Edge, a list of Edges, or
// null) holds `edge`, and whether two such values share an edge: the
// uniqueness of relationships within one MATCH clause.
bool holds_rel(PyObject* bound, PyObject* edge);
bool rels_overlap(PyObject* a, PyObject* b);

// The value of a pattern predicate or exists { } (kTrue or kFalse; kError
// with an exception set), and of a pattern comprehension (a new list, or
// null with an exception set), in the row of `c`.
Tri eval_exists(EvalCtx& c, const Expr& e);
PyObject* eval_pattern_comprehension(EvalCtx& c, const Expr& e);

}  // namespace vk::cypher
