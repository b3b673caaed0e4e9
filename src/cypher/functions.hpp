// Cypher's scalar functions and aggregates over run-time values (values.hpp).
#pragma once
#include <memory>
#include "cypher/values.hpp"

namespace vk::cypher {

// Scalar functions. Looked up by lowercase name at check time; arity checked there.
struct FunctionInfo {
    const char* name;      // lowercase, as written in the table: "tolower", "startnode", ...
    uint16_t id;
    uint8_t min_args, max_args;
};
const FunctionInfo* find_function(std::string_view lowercase_name);
// A new reference, or null with an exception set.
PyObject* call_function(uint16_t id, PyObject* const* args, size_t nargs, const GraphView& g);

// Aggregates: count, sum, avg, min, max, collect, stdev, stdevp, percentilecont,
// percentiledisc (count(*) is kind CountStar, made by the parser from `count(*)`).
enum class AggKind : uint8_t { CountStar, Count, Sum, Avg, Min, Max, Collect, StDev, StDevP,
                               PercentileCont, PercentileDisc };
struct AggregateInfo { const char* name; AggKind kind; uint8_t min_args, max_args; };
const AggregateInfo* find_aggregate(std::string_view lowercase_name);

// One group's running state of one aggregate. `args` are the evaluated arguments for one
// row (0 for CountStar, 1 usually, 2 for the percentiles: value then percentile).
// DISTINCT: each distinct (equivalent) first argument counted once. Nulls are skipped as
// openCypher says. finish() gives the result (count 0, sum 0, avg/min/max null on no
// input, collect []).
class Accumulator {
public:
    static std::unique_ptr<Accumulator> make(AggKind kind, bool distinct);
    virtual ~Accumulator() = default;
    virtual Status add(PyObject* const* args, size_t nargs) = 0;
    virtual PyObject* finish() = 0;   // new reference or null with exception
    virtual int traverse(visitproc visit, void* arg) const = 0;
};

// ---- Additions beyond the shared contract ----

// The function's name as the user reads it in messages ("toInteger", "startNode").
const char* function_display_name(uint16_t id);

}  // namespace vk::cypher
