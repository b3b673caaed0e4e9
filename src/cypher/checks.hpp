// The checks: what a parsed query must satisfy before it runs, and the
// facts the planner reads from the tree afterwards.
#pragma once
#include "cypher/ast.hpp"
#include "cypher/parser.hpp"

namespace vk::cypher {

// Checks a parsed query and completes its tree: variables resolved to
// slots, parameters listed, functions resolved to their ids (a call of an
// aggregate becomes an Aggregate node), `*` projections expanded, scopes,
// aggregates and result columns recorded. False on the first error,
// described in `f`.
bool check_query(Query& q, Failure& f);

}  // namespace vk::cypher
