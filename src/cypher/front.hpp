// The front end's entry point: query text in, a checked syntax tree out.
//
// parse_and_check runs the lexer, the parser and the checks; the tree it
// returns is complete (slots numbered, scopes and aggregates recorded) and
// immutable. Parameters are not checked here, since one cached tree serves
// calls with different parameters: the tree lists the parameters it uses
// (Query::params), and bind_parameters checks one call's values against
// that list.
#pragma once
#include <Python.h>

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "cypher/ast.hpp"
#include "errors.hpp"
#include "host/ref.hpp"

namespace vk::cypher {

// A syntax or check error raises ValueError
// "Invalid query: <what> at line L, column C\n<that line>\n<caret under C>".
Result<std::shared_ptr<const Query>> parse_and_check(std::string_view text);

// The error for a problem at `pos` of `text`, in the format above.
VelkoraError query_error(std::string_view text, Pos pos, std::string_view what);

// One call's parameter values in Query::params order (out[i] is a new
// reference to the value of params[i]) from `values`, a dict of str keys or
// null (no parameters). A parameter the dict lacks raises the query error
// "missing parameter $name" at its first use.
Status bind_parameters(const Query& q, PyObject* values, std::vector<Ref>& out);

}  // namespace vk::cypher
