// Cypher values at run time: kinds, equality, comparability, orderability,
// equivalence and hashing for DISTINCT and grouping, the operators, property
// access, subscripts and slices.
//
// A value is a Python object (see kind_of for the mapping of Python classes
// to Cypher kinds). Every answer that may run Python code (the == of a value
// of no Cypher kind, a hash) reports failure with a Python exception set.
#pragma once
#include <Python.h>
#include <cstdint>
#include <string>
#include <string_view>
#include "errors.hpp"
#include "host/ref.hpp"

namespace vk::cypher {

enum class Kind : uint8_t { Null, Bool, Int, Float, Str, List, Map, Node, Rel, Path, Other };
Kind kind_of(PyObject* v);
// The kind's name as used in TypeError messages: "Null", "Boolean", "Integer", "Float",
// "String", "List", "Map", "Node", "Relationship", "Path", and for Other the Python
// class name (e.g. "Decimal").
std::string kind_name(PyObject* v);

// Three-valued answers. kError: a Python exception is set.
enum Tri : int { kFalse = 0, kTrue = 1, kNull = 2, kError = -1 };
inline Tri tri(bool b) { return b ? kTrue : kFalse; }

// `a = b` as openCypher defines it (1 = 1.0 true, 1 = true false, lists elementwise with
// null propagation, maps by keys and values, nodes/relationships by uid, paths by the uids of
// their elements, Other by Python's == (errors propagate), null gives kNull).
Tri equals(PyObject* a, PyObject* b);
// Comparison operators <, <=, >, >= (op is Py_LT, Py_LE, Py_GT, Py_GE): kNull when the
// two are not comparable (different kinds, null, Other, maps, nodes...). Lists compare
// lexicographically as openCypher says; strings by code point; numbers across int/float.
Tri compare(PyObject* a, PyObject* b, int op);
// Orderability for ORDER BY (a total preorder): *out < 0, 0, > 0. Order of kinds as
// openCypher gives it (map, node, relationship, list, path, string, boolean, number,
// then Other values, then null last ascending). NaN after every other number. Other
// values are all "equal" here (the sort is stable, so they stay in the order met).
// Returns 0, or -1 with an exception set.
int order(PyObject* a, PyObject* b, int* out);
// Equivalence for DISTINCT, grouping keys and collect(DISTINCT) / count(DISTINCT):
// like equals but null is equivalent to null, NaN to NaN, and the answer is never null.
// A hash consistent with it (1 and 1.0 hash alike; nodes/relationships by uid; lists and
// maps by their items; Other by Python's hash, or a constant when unhashable so that ==
// decides). hash returns -1 with an exception set on error (as Python's hash; a real -1
// is mapped to -2). equivalent returns 1/0/-1.
Py_hash_t hash(PyObject* v);
int equivalent(PyObject* a, PyObject* b);
// Truth of a value as a predicate (WHERE, AND, OR, XOR, NOT, CASE WHEN): kTrue, kFalse,
// kNull for null; a non-boolean value is a TypeError naming `context` and its kind.
Tri truth(PyObject* v, const char* context);

// Operators.
enum class BinOp : uint8_t { Add, Sub, Mul, Div, Mod, Pow,
                             Eq, Ne, Lt, Le, Gt, Ge,
                             In, StartsWith, EndsWith, Contains, RegexMatch };
// The value of `a op b` (null in, null out where openCypher says so; TypeError naming the
// operator and both kinds for wrong kinds; ZeroDivisionError for integer / and % by zero;
// floats follow IEEE (1.0 / 0 is Infinity); integer / truncates toward zero, % has the
// sign of the dividend; ^ always gives a float; + concatenates strings and lists
// (list + element appends, element + list prepends); comparisons give Py_True/Py_False/
// Py_None). A new reference, or null with an exception set.
PyObject* binary(BinOp op, PyObject* a, PyObject* b);
PyObject* negate(PyObject* a);                 // unary minus
PyObject* logical_not(PyObject* a);            // NOT (null stays null)
// x.key on a node, a relationship, a map (missing key: null) or null (null). The stored
// object itself is returned (a new reference to it): a property holding None reads as
// null. Other kinds: TypeError. `key` is a str.
PyObject* property(PyObject* v, PyObject* key);
// list[i] (negative from the end, out of range null), map[key] (str key), null anywhere
// gives null; list[from..to] with either bound possibly null (= open). TypeErrors else.
PyObject* subscript(PyObject* v, PyObject* index);
PyObject* slice(PyObject* v, PyObject* from /*nullable: absent*/, PyObject* to /*nullable*/);

// The graph a run reads: used to find the node filed under an edge end's uid.
struct GraphView {
    PyObject* nodes;  // borrowed dicts
    PyObject* edges;
};
// The start / end node of an Edge object as a row value: the Node filed in view.nodes under
// the end's uid, else a new Node object wrapping the edge's own copy. New reference.
PyObject* start_node(const GraphView& g, PyObject* edge);
PyObject* end_node(const GraphView& g, PyObject* edge);

// ---- Additions beyond the shared contract ----

// The operator's text as written in queries and in TypeError messages ("+", "STARTS WITH").
const char* binop_text(BinOp op);
// Sets the TypeError for an operator applied to values of the wrong kinds:
// "Cannot apply '<op>' to <Kind> and <Kind>" (one kind for a unary operator when b is
// null). Returns null, so a caller can `return type_error_op(...)`.
PyObject* type_error_op(const char* op, PyObject* a, PyObject* b);
// Sets the TypeError for a function given an argument of the wrong kind:
// "<function>() expects <expected>, got <Kind>" (expected: "a String"). Returns null.
PyObject* type_error_arg(const char* function, const char* expected, PyObject* v);
// The three-valued logical connectives over Tri (kError passes through).
Tri tri_and(Tri a, Tri b);
Tri tri_or(Tri a, Tri b);
Tri tri_xor(Tri a, Tri b);
// Py_True / Py_False / Py_None for a Tri (a new reference), null for kError.
PyObject* tri_to_python(Tri t);

}  // namespace vk::cypher
