// The checks: what a parsed query must satisfy before it runs, and the
// facts the planner reads from the tree afterwards.
#pragma once
#include <vector>

#include "cypher/ast.hpp"
#include "cypher/parser.hpp"

namespace vk::cypher {

// Checks a parsed query and completes its tree: variables resolved to
// slots, parameters listed, functions resolved to their ids (a call of an
// aggregate becomes an Aggregate node), `*` projections expanded, scopes,
// aggregates and result columns recorded. False on the first error,
// described in `f`.
bool check_query(Query& q, Failure& f);

// A variable an expression reads without declaring it, and its slot.
struct FreeVariable {
    Idx name;
    int32_t slot;
};

// Checks expression `root` of `q` standing alone (as the parser's
// parse_expression leaves it): every name that no comprehension or
// quantifier declares is a free variable, listed in `free` by first use;
// `nslots` is the size of the row it reads. Aggregates are refused.
bool check_expression(Query& q, Idx root, std::vector<FreeVariable>& free, uint32_t& nslots,
                      Failure& f);

}  // namespace vk::cypher
