// The plan of a query: for each single query (a UNION branch) a chain of
// operators built once from the checked syntax tree, immutable, and cached
// with the tree by the query text.
//
// Each operator reads rows from the one before it and passes rows on to the
// one after it (run.hpp); it holds only what it read from the tree. A run
// makes one executor per operator (Operator::start) holding that run's state (a
// sort's buffer, a group table, a limit's count), so one cached plan serves
// any number of runs, nested ones included.
//
// Matching. A MATCH clause's comma-separated parts are matched one after
// another, each as a list of steps that bind or check one node or one
// relationship. A part starts where it is anchored: at a node bound before
// (an earlier clause or part), expanding through the edges at that node; at
// a bound relationship; else at a scan of `edges` (or of `nodes` for a part
// of one node). A part that shares nothing with what is bound before it
// while more than one row can arrive is matched once per run and its matches
// replayed for every row, so no row costs a pass over `edges`. Relationship
// uniqueness holds across the parts of one clause.
//
// New operator kinds (variable-length expansion, writes) derive from Operator and
// are appended to a branch's chain by the planner; a form no operator reads
// yet is refused before the run with a ValueError at its position.
#pragma once
#include <Python.h>

#include <memory>
#include <vector>

#include "cypher/ast.hpp"
#include "cypher/eval.hpp"
#include "errors.hpp"

namespace vk::cypher {

class Exec;
struct Run;

enum class OpKind : uint8_t {
    Match, Unwind, Filter, Project, Aggregate, Distinct, Sort, Skip, Limit, Emit,
};

class Operator {
public:
    explicit Operator(OpKind k) : kind(k) {}
    virtual ~Operator() = default;
    // This run's executor, passing rows to `next` (null for the last).
    virtual std::unique_ptr<Exec> start(Run& run, Exec* next) const = 0;
    const OpKind kind;
};

// One step of matching a part.
enum class StepKind : uint8_t {
    ScanNodes,  // binds `node` from `nodes`
    CheckNode,  // tests the node already bound in `node`'s slot
    ScanEdges,  // binds `rel` and its two nodes from `edges`
    BoundRel,   // the relationship bound in `rel`'s slot, with its two nodes
    Expand,     // from the node bound at `from`, through `rel`, to `node`
};

struct Step {
    StepKind kind;
    uint32_t rel = 0;    // in Query::rels
    uint32_t node = 0;   // in Query::nodes: the node this step binds or tests (the far node)
    uint32_t from = 0;   // in Query::nodes: the near node
    bool leftward = false;    // Expand: walks the pattern right to left
    bool near_bound = false;  // ScanEdges / BoundRel: the near node's slot is bound
    bool far_bound = false;   // the far node's slot is bound: compare, don't bind
    // Slots of the relationships bound earlier in this clause: the one
    // bound here must differ from each.
    std::vector<int32_t> distinct_from;
};

struct PartPlan {
    std::vector<Step> steps;
    bool replay = false;             // matched once per run, then replayed
    std::vector<int32_t> slots;      // replay: the slots the part binds
    // replay: (a relationship slot of this part, one bound before it in the clause)
    std::vector<std::pair<int32_t, int32_t>> distinct_pairs;
};

struct Branch {
    uint32_t nslots = 0;
    std::vector<std::unique_ptr<Operator>> ops;
    std::vector<int32_t> columns;  // the slots of the RETURN items, in order
};

struct Plan {
    std::shared_ptr<const Query> query;
    LabelTable labels;
    std::vector<Branch> branches;
    std::vector<Ref> columns;  // the result's keys (str)
    bool union_distinct = false;
};

// The plan of a checked query, or a ValueError with position for what no
// operator reads yet.
Result<std::shared_ptr<const Plan>> make_plan(std::shared_ptr<const Query> q);

}  // namespace vk::cypher
