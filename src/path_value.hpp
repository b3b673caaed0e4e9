// Path values and the Path class: what a Cypher query returns for a named
// path or a shortest path.
//
// A path is a walk through the graph: nodes n0 .. nk and edges e1 .. ek, edge
// ei joining n(i-1) and ni in one direction or the other, and for each edge
// the direction it was walked (from its start to its end, or back). The
// values are copies of node and edge values (references to their records),
// so a path shares the properties dicts the graph's nodes and edges had when
// it was made, as rows do, and holds nothing else of Python's but those
// records. Two paths are equal when their nodes and edges have the same uids
// in the same order; the directions, which follow from the uids, take no
// part.
#pragma once
#include <Python.h>

#include <cstddef>
#include <vector>

#include "errors.hpp"
#include "graph.hpp"
#include "host/args.hpp"
#include "host/ref.hpp"

namespace vk {

struct PathValue {
    std::vector<NodeValue> nodes;  // one more than edges
    std::vector<EdgeValue> edges;
    // Per edge: walked from its start to its end. An edge whose two ends
    // have one uid (a loop) counts as walked forward, whichever way the
    // pattern read it: it prints the same either way round.
    std::vector<bool> forward;

    // A path of the given values: nodes.size() == edges.size() + 1 and edge
    // i joining node i and node i + 1 by uid (checked; ValueError naming the
    // first edge that does not). The directions are read from the uids.
    static Status make(std::vector<NodeValue> nodes, std::vector<EdgeValue> edges,
                       PathValue& out);

    int traverse(visitproc visit, void* arg) const;
};

// The callables of Path, declared once (host/args.hpp).
namespace path_sig {
inline constexpr auto construct = constructor("Path.__new__", req("nodes"), req("edges"));
}  // namespace path_sig

struct PyPath : Obj {
    PathValue value;
};

extern PyTypeObject* PathType;
PyTypeObject* create_path_type();

inline bool is_path(PyObject* o) { return Py_TYPE(o) == PathType; }
// The value inside a Path object (the caller has checked the type).
inline const PathValue& path_value(PyObject* o) { return reinterpret_cast<PyPath*>(o)->value; }

// A new Path object holding the value. Null with an exception set.
PyObject* path_to_python(PathValue v);
// A new Path from Node objects and Edge objects (exact classes), checked as
// PathValue::make checks. Null with an exception set (TypeError for an
// object of another class, ValueError for a walk that does not join up).
PyObject* make_path(const std::vector<Ref>& nodes, const std::vector<Ref>& edges);
PyObject* make_path(PyObject* const* nodes, size_t n, PyObject* const* edges, size_t m);

// The number of edges (Cypher's length(p)).
inline size_t path_length(const PathValue& p) { return p.edges.size(); }
// New lists (or, with `tuple`, tuples) of new Node and Edge objects in path
// order: nodes(p) and relationships(p). Null with an exception set.
PyObject* path_node_list(const PathValue& p, bool tuple = false);
PyObject* path_edge_list(const PathValue& p, bool tuple = false);
// Equality by the uids in order: 1 equal, 0 not, -1 with an exception set
// (a digest failed).
int path_equal(const PathValue& a, const PathValue& b);
// A hash consistent with path_equal; -1 with an exception set.
Py_hash_t path_hash(const PathValue& p);
// An order of paths consistent with path_equal: by their elements' uids in
// path order (node, edge, node, ...), a path before its extensions. Sets
// *out to -1, 0 or 1; returns 0, or -1 with an exception set.
int path_order(const PathValue& a, const PathValue& b, int* out);

}  // namespace vk
