// The condition language of where clauses: parsed once by Query.where into
// an immutable tree that every copy of the query shares (boxed, so that the
// collector sees it once), and evaluated at each position of the bound lists
// the condition names.
#pragma once
#include <Python.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "errors.hpp"
#include "host/ref.hpp"
#include "query/query.hpp"
#include "type_schema.hpp"

namespace vk {

enum class CondOp : uint8_t {
    Const,      // a literal other than a list: `value`
    ListConst,  // a list literal: `value`, copied afresh for every use
    Property,   // variables[slot].key, `value` holding the key str
    TypeTest,   // variables[slot]:Label, `schema`, the tree's `test`-th type test
    Eq, Ne, Lt, Le, Gt, Ge,
    IsNull, IsNotNull,
    In, StartsWith, EndsWith, Contains,
    Not, And, Or, Xor,
};

// One node of the tree; its operands are args[first, first + count).
struct CondNode {
    CondOp op;
    uint32_t slot = 0;
    uint32_t first = 0, count = 0;
    Ref value;
    TypeSchemaValue schema;
    uint32_t test = 0;
};

struct ConditionTree {
    // Every variable the condition names, once, in order of first appearance;
    // Property and TypeTest nodes refer to them by index.
    std::vector<std::string> variables;
    std::vector<CondNode> nodes;
    std::vector<uint32_t> args;
    uint32_t root = 0;
    uint32_t type_tests = 0;  // TypeTest nodes
};

// The collector reads a parsed condition once, through its box, whatever the
// number of queues holding it. Its literals (numbers, strs, booleans, None,
// lists of those) hold no cycle, so clearing leaves it as it is.
template <>
struct BoxOps<ConditionTree> {
    static int traverse(const ConditionTree& t, visitproc visit, void* arg);
    static void clear(ConditionTree&) {}
};

// The type tests of one run of a condition over the positions of its lists:
// each schema is read once per run and its verdict kept per type value.
class TypeTests {
public:
    explicit TypeTests(const ConditionTree& t);
    bool matches(const CondNode& n, const TypeNode* type) { return tests_[n.test].matches(type); }

private:
    std::vector<SchemaTest> tests_;
};

// Parses a condition. A syntax error is the InvalidQuery error
// "<reason> (condition '<text>')".
Result<Box<ConditionTree>> parse_condition(std::string_view text);

// Evaluates the condition at position `pos` of the lists bound to its
// variables (`lists[i]` for variables[i]; unused when there are none), with
// the type tests of this run. 1: true; 0: false or null; -1: a Python
// exception is set.
int condition_holds(const ConditionTree& t, TypeTests& tests, const BindingList* const* lists,
                    size_t pos);

}  // namespace vk
