// The writing clauses of a Cypher query: CREATE, MERGE, SET, REMOVE, DELETE.
//
// The model. A node is its type, filed in `nodes` under its uid (made from
// the type alone), so a graph holds one node per type; an edge is a term,
// filed in `edges` under its uid (made from the term's name and type), and
// the term of a relationship made here is named by its one relationship
// type and typed by the function type from its start node's type to its
// end node's type. So CREATE refuses a node or an edge whose uid is filed,
// and MERGE finds by uid alone: a node by its type, a relationship by its
// term (both directions when the pattern has none), whatever their
// properties, with no pass over the graph.
//
// Clause by clause. A writing clause first takes every row of the clause
// before it, then makes its writes row after row (each row's writes seen by
// the rows after it, so a MERGE finds what an earlier row created), then
// forgets the run's snapshots of the graph and passes the rows on: every
// later clause reads the graph as the clause left it, and no reading loop
// before it ever sees its dicts change under it.
//
// All or nothing. Every change goes through the run's undo log
// (undo.hpp); the run commits it when the query has ended well, after
// checking that no node deleted without DETACH is still joined by an edge
// (an edge whose start or end uid is the node's uid). Otherwise the state's
// destructor rolls every dict back, keeping the query's error. A query that
// only reads makes no state at all.
#pragma once
#include <Python.h>

#include <vector>

#include "cypher/plan.hpp"
#include "cypher/undo.hpp"
#include "errors.hpp"
#include "types.hpp"

namespace vk::cypher {

struct Run;

// Appends the operator of writing clause `c` to the branch (a ValueError
// with position for a label that names no single type or a form not read).
Status plan_write(const Query& q, const Clause& c, Branch& b);

class WriteState {
public:
    WriteState() = default;
    WriteState(const WriteState&) = delete;
    WriteState& operator=(const WriteState&) = delete;
    ~WriteState() {
        if (!committed_) log.rollback();
    }

    UndoLog log;
    // Nodes deleted without DETACH, with the clause's position: checked
    // when the query ends.
    struct Pending {
        TypeRef type;
        Pos pos;
    };
    std::vector<Pending> deleted;

    // The query ended well: the deletions checked, the log forgotten.
    Status commit(Run& run);

private:
    bool committed_ = false;
};

}  // namespace vk::cypher
