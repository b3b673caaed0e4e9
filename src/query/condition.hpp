// The conditions of where clauses: Cypher expressions, parsed once by
// Query.where (cypher/embedded.hpp) into an immutable tree that every copy
// of the query shares (boxed, so that the collector sees it once), and
// evaluated at each position of the bound lists the condition names.
#pragma once
#include <Python.h>

#include <string>
#include <string_view>
#include <vector>

#include "cypher/embedded.hpp"
#include "errors.hpp"
#include "host/ref.hpp"
#include "query/query.hpp"

namespace vk {

struct ConditionTree {
    // Every variable the condition reads, once, in order of first appearance.
    std::vector<std::string> variables;
    cypher::EmbeddedCondition expr;
};

// The collector reads a parsed condition once, through its box, whatever the
// number of queues holding it. Its literals (numbers, strs) hold no cycle,
// so clearing leaves it as it is.
template <>
struct BoxOps<ConditionTree> {
    static int traverse(const ConditionTree& t, visitproc visit, void* arg) {
        return t.expr.traverse(visit, arg);
    }
    static void clear(ConditionTree&) {}
};

// Parses a condition. A malformed one is the InvalidQuery error
// "<reason> at position N (condition '<text>')", N counted in characters
// from 0.
Result<Box<ConditionTree>> parse_condition(std::string_view text);

// One run of a condition over the positions of the lists bound to its
// variables (`lists[i]` for variables[i]; none when it has no variables).
// Each variable reads as a Node or Edge object sharing the bound value's
// record; an object that nothing else holds after a position is reused for
// the next one, so a run makes about one object per variable.
class ConditionRun {
public:
    ConditionRun(const ConditionTree& t, const GraphValue& graph,
                 const BindingList* const* lists);
    // 1: true at `pos`; 0: false or null; -1: a Python exception is set.
    int holds(size_t pos);

private:
    const ConditionTree& t_;
    const BindingList* const* lists_;
    cypher::EmbeddedRun run_;
};

}  // namespace vk
