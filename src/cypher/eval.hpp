// The expression evaluator: walks a checked syntax tree's expressions over one
// row of slots and calls the value layer for every operator and function.
//
// Expressions are evaluated where they stand in the tree (no second form is
// compiled from them): the checks have numbered every variable's slot, and
// the tree is never deeper than kMaxDepth, so the walk recurses. Labels are
// read once per plan (LabelTable: a plain name is a Variable, a backquoted
// name a printed type, `$...$` a schema) and their schema verdicts kept per
// run (LabelTests), since types are immutable.
#pragma once
#include <Python.h>

#include <memory>
#include <string>
#include <vector>

#include "cypher/access.hpp"
#include "cypher/ast.hpp"
#include "cypher/values.hpp"
#include "graph.hpp"
#include "type_schema.hpp"

namespace vk::cypher {

// One label of the query, read once: on a node a type (or a schema of it),
// on a relationship a term name (or a schema of the term's type).
struct LabelInfo {
    LabelKind kind = LabelKind::Name;
    std::string text;       // the name, or the schema text
    TypeRef type;           // Name: the type it names on a node (null if none)
    TypeSchemaValue schema; // Schema
};

struct LabelTable {
    std::vector<LabelInfo> labels;  // parallel to Query::labels
    // Reads every label of q. Fails (ValueError with position) for a
    // backquoted node label that is no printed type.
    static Result<LabelTable> read(const Query& q);
};

// Per-run schema tests, made on first use and keeping their verdicts.
class LabelTests {
public:
    explicit LabelTests(const LabelTable& t) : table_(t), tests_(t.labels.size()) {}
    bool type_matches(Idx label, const TypeNode* t);

private:
    const LabelTable& table_;
    std::vector<std::unique_ptr<SchemaTest>> tests_;
};

// The lists and maps a run has built (as against those read from stored
// properties): results hand back new containers with the nodes and
// relationships inside converted for the first, the stored objects
// themselves for the second. Each is held, so no other object takes its
// address while the run lasts.
class BuiltSet {
public:
    // Files v when it is a list or a dict (borrowed); never fails but on memory.
    void add(PyObject* v) {
        if (!PyList_Check(v) && !PyDict_Check(v)) return;
        if (set_.find(v)) return;
        set_.insert(v, 1);
        held_.push_back(Ref::borrow(v));
    }
    bool has(PyObject* v) { return set_.find(v) != nullptr; }

private:
    AddressMap<char> set_;
    std::vector<Ref> held_;
};

// Everything an expression reads while a run is under way.
struct EvalCtx {
    const Query& q;
    const LabelTable& labels;
    LabelTests& tests;
    Ref* row;             // nslots slots; a null slot reads as null
    const Ref* params;    // Query::params order
    GraphView view;
    BuiltSet* built;
};

// The value of expression e (a new reference), or null with an exception set.
PyObject* eval(EvalCtx& c, Idx e);
// The truth of expression e as a condition (WHERE): kTrue, kFalse, kNull or kError.
Tri eval_truth(EvalCtx& c, Idx e, const char* context);

// Label tests. A node passes `groups` when it passes one label of every group.
bool node_has_labels(EvalCtx& c, Range groups, const TypeNode* type);
// A relationship passes `types` (alternatives) when its term passes one (none: any).
bool rel_has_type(EvalCtx& c, Range types, const EdgeValue& e);
// Whether a node or relationship object has the properties of map expression
// `props` (a Map or a Param), each compared with `=`: 1, 0, or -1 failed.
int has_properties(EvalCtx& c, Idx props, PyObject* subject);

// Same node or relationship (by uid).
bool same_node(PyObject* a, PyObject* b);
bool same_rel(PyObject* a, PyObject* b);

}  // namespace vk::cypher
