// The undo log of one writing query: every change a query makes to a dict
// (the graph's `nodes` and `edges`, and the properties dicts of nodes and
// relationships) goes through it, so that a query that fails leaves every
// dict it wrote as it was: the same keys, bound to the same objects, in the
// same order.
//
// How order is kept. A Python dict keeps insertion order: a new key goes to
// the end and a replaced value keeps its key's place. So an insertion is
// undone by deleting the key, and a replacement by putting the old value
// back, each exactly, when the log is undone from its last entry to its
// first. A deletion cannot be undone in place (a key put back goes to the
// end), so before the first deletion from a dict the log keeps a copy of its
// items, and undoing that entry empties the dict and refills it from the
// copy; the entries logged after it are then not undone one by one. The copy
// costs one pass over that dict, once per query: a properties dict is small,
// and `nodes` or `edges` is copied only by a query that deletes from it.
//
// A query that only reads never touches the log and pays nothing for it.
#pragma once
#include <Python.h>

#include <unordered_map>
#include <vector>

#include "errors.hpp"
#include "host/ref.hpp"

namespace vk::cypher {

class UndoLog {
public:
    UndoLog() = default;
    UndoLog(const UndoLog&) = delete;
    UndoLog& operator=(const UndoLog&) = delete;
    ~UndoLog() = default;

    // dict[key] = value, logged.
    Status set_item(PyObject* dict, PyObject* key, PyObject* value);
    // del dict[key], logged; a key that is absent is no error and changes
    // nothing (1: deleted, 0: absent, -1: failed).
    int del_item(PyObject* dict, PyObject* key);
    // Empties the dict, logged.
    Status clear(PyObject* dict);

    bool empty() const { return log_.empty(); }
    // Whether this log inserted `key` into `dict` (a pass over the log: for
    // error messages).
    bool inserted(PyObject* dict, PyObject* key) const;
    // The query succeeded: forget what was logged.
    void commit();
    // The query failed: every logged dict back as it was, newest change
    // first. The pending exception (the query's error) is kept; an error
    // while undoing (memory) cannot lose it.
    void rollback();

    int traverse(visitproc visit, void* arg) const;

private:
    enum class Kind : uint8_t { Inserted, Replaced, Snapshot };
    struct Entry {
        Kind kind;
        Ref dict;
        Ref key;    // Inserted, Replaced
        Ref value;  // Replaced: the old value; Snapshot: a list of (key, value) items
    };
    // Copies the dict's items before its first destructive change.
    Status snapshot(PyObject* dict);

    std::vector<Entry> log_;
    // Dicts copied whole, by address, to the position of their Snapshot entry.
    std::unordered_map<PyObject*, size_t> copied_;
};

}  // namespace vk::cypher
