// The clauses that shape the bindings: where, order_by, skip, limit, with_.
#pragma once
#include <vector>

#include "query/query.hpp"

namespace vk {

// Keeps the positions of the condition's group at which it is true.
Status run_where(QueryValue& q, const WhereClause& c);
// Reorders the positions of one group by a run of consecutive order_by
// clauses, the first one primary.
Status run_order_by(QueryValue& q, const std::vector<const OrderByClause*>& run);
// Unbinds every name not listed ("*" keeps all).
Status run_with(QueryValue& q, const WithClause& c);

}  // namespace vk
