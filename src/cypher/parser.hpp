// The parser: query text to a syntax tree (ast.hpp), before the checks.
#pragma once
#include <string>
#include <string_view>

#include "cypher/ast.hpp"

namespace vk::cypher {

// A failure found before the run: what is wrong and where. `python` marks a
// failure whose Python exception is already set (out of memory, say), which
// is passed on as it is.
struct Failure {
    std::string what;
    Pos pos;
    bool python = false;
};

// Fills `q` (empty, with q.text set) from q.text. False on a syntax error,
// described in `f`.
bool parse_query(Query& q, Failure& f);

}  // namespace vk::cypher
