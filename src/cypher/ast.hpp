// The syntax tree of one Cypher query, as the parser builds it and the checks
// complete it.
//
// Layout. A query is one `Query` value holding flat vectors (arenas) of
// nodes; nodes refer to each other by 32-bit indices into those vectors
// (`Idx`, `kNone` for absent) and to a variable number of children by a
// `Range` into a vector of the right kind (`lists` for indices of
// expressions, clauses or paths; `ops` for operators; `groups`, `labels`,
// `items`, ... for those nodes). Every range's elements are contiguous: the
// parser collects a node's children in a local vector and appends them once
// the node is complete, so nesting never interleaves two ranges. The tree is
// immutable once `parse_and_check` returns it and is shared, through a
// `shared_ptr<const Query>`, by every plan cached for the query text. It
// holds Python objects (the literals' values, the names as interned str),
// which are immutable scalars, so it takes no part in garbage collection;
// it must be released with the GIL held.
//
// Positions. Every node keeps the line and column (1-based, in code points
// of the query text, of the first character of its first token) and its
// byte offset; expressions and projection items also keep the byte span of
// their text, which is a column's name when the item has no alias.
//
// Depth. The text nests at most kMaxDepth levels and no expression tree is
// deeper than kMaxTreeDepth nodes (the parser refuses deeper ones with a
// syntax error), so code walking the tree may recurse over it. Chains that
// users write flat are flat nodes: AND, OR and XOR are n-ary; `a + b - c`
// is one Arith node with its operators, likewise `*`/`/`/`%` and `^`; a
// comparison chain `a < b <= c` is one Compare node (meaning `a < b AND
// b <= c`, each operand evaluated once); a run of NOT or unary minus is one
// node with a count (a unary plus leaves no node, and a minus before a number
// makes a negative literal).
//
// Slots. Each single query (a UNION branch) has one flat row of `nslots`
// slots: every variable, every pattern element (anonymous ones included),
// every comprehension or quantifier variable, every UNWIND variable,
// projection output and aggregate result has its own slot, numbered by the
// checks, and subqueries (exists, pattern predicates and comprehensions)
// number their variables in the row of the query around them. A variable
// keeps its slot across WITH when projected under its own name (`WITH a`);
// any other projection item gets a new slot.
#pragma once
#include <Python.h>

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "host/ref.hpp"

namespace vk::cypher {

using Idx = uint32_t;
inline constexpr Idx kNone = UINT32_MAX;
inline constexpr int kMaxDepth = 500;
inline constexpr int kMaxTreeDepth = 2 * kMaxDepth;

struct Range {
    uint32_t begin = 0;
    uint32_t count = 0;
    bool empty() const { return count == 0; }
};

struct Pos {
    uint32_t line = 0;    // 1-based
    uint32_t column = 0;  // 1-based, in code points
    uint32_t offset = 0;  // byte offset in the query text
};

// Binary operators; the order is that of vk::cypher::BinOp (values.hpp), so
// a static_cast converts.
enum class Op : uint8_t {
    Add, Sub, Mul, Div, Mod, Pow,
    Eq, Ne, Lt, Le, Gt, Ge,
    In, StartsWith, EndsWith, Contains, RegexMatch,
};

enum class Quant : uint8_t { All, Any, None, Single };

enum class ExprKind : uint8_t {
    // Literals: `value` indexes `consts` (an int, float or str object; the
    // int has no size limit). Null, True and False have no value.
    Null, True, False, Int, Float, Str,
    List,       // kids: the items
    Map,        // kids: MapEntry nodes
    MapEntry,   // name: the key; a: the value
    Param,      // name: the parameter's name; slot: its index in Query::params
    Var,        // name; slot (checks). The checks also make Vars that read a projected
                // item's slot (named by its column) in place of an expression.
    Property,   // a: the object; name: the key
    Subscript,  // a[b]
    Slice,      // a[b..c]; b and/or c may be kNone (open)
    Arith,      // kids: n >= 2 operands; ops: the n-1 operators, folded from the left
    Compare,    // kids: n >= 2 operands; ops: n-1 comparisons; true when every
                // adjacent pair compares true (three-valued AND of the pairs)
    Binary,     // op: In, StartsWith, EndsWith, Contains, RegexMatch; a op b
    And, Or, Xor,  // kids: n >= 2 operands (three-valued, left to right)
    Not,        // a; count: how many NOT were written (>= 1)
    Neg,        // a; count: how many unary minus were written (>= 1)
    IsNull,     // a IS NULL
    IsNotNull,  // a IS NOT NULL
    LabelTest,  // a: the subject (a node or relationship); groups: labels (as in NodePat)
    Case,       // a: the subject of a simple CASE or kNone; kids: WHEN, THEN, WHEN,
                // THEN, ...; b: ELSE or kNone
    Call,       // name: as written; fn: the function's id (checks); kids: arguments
    Aggregate,  // name; op: AggKind (functions.hpp, as uint8_t); distinct; kids:
                // arguments (none for count(*)); slot: where the group's result is put
    ListComp,   // [x IN a WHERE b | c]: name/slot: x; b, c may be kNone
    Quantifier, // all/any/none/single(x IN a WHERE b): op: Quant; name/slot: x; b
    MapProj,    // a: the subject variable (a Var); kids: MapEntry (k: e, and `var`,
                // whose value is a Var), ProjProperty, ProjAll
    ProjProperty,  // .name inside a map projection
    ProjAll,       // .* inside a map projection
    PatternPredicate,  // a pattern used as a condition, also written exists(pattern):
                       // sub (a Match clause, no WHERE)
    Exists,            // exists { ... }: sub
    PatternComp,       // [p = pattern WHERE w | e]: sub (a Match clause, WHERE w); c: e
};

struct Expr {
    ExprKind kind;
    uint8_t op = 0;         // Binary: Op; Aggregate: AggKind; Quantifier: Quant
    bool distinct = false;  // Aggregate
    bool has_aggregate = false;  // checks: this subtree holds an Aggregate (not
                                 // counting those inside a subquery)
    uint32_t count = 0;     // Not, Neg
    Pos pos;
    uint32_t end = 0;       // byte offset one past the expression's text
    Idx a = kNone, b = kNone, c = kNone;
    Range kids;             // in Query::lists (expression indices)
    Range ops;              // in Query::ops (Arith, Compare)
    Range groups;           // LabelTest: in Query::groups
    Idx name = kNone;       // in Query::names
    Idx value = kNone;      // literals: in Query::consts
    Idx sub = kNone;        // in Query::subs
    int32_t slot = -1;      // Var, Param, ListComp, Quantifier, Aggregate
    uint16_t fn = 0;        // Call: FunctionInfo::id
};

// A label: on a node a type (a plain or backquoted name is a printed type,
// Schema is the text between `$` signs), on a relationship a term name or a
// schema of the term's type.
enum class LabelKind : uint8_t { Name, Schema };
struct Label {
    LabelKind kind;
    bool quoted = false;  // written in backquotes
    Pos pos;
    Idx name;  // the text, in Query::names
};

// How a pattern variable stands where it is written.
enum class Binding : uint8_t {
    New,     // introduced here
    Bound,   // bound before this clause: match (or create) only that value
    Repeat,  // introduced earlier within this same clause: must be the same value
};

enum class VarKind : uint8_t { Node, Rel, Path, Value };

struct NodePat {
    Pos pos;
    Idx var = kNone;  // in names; kNone for an anonymous node
    int32_t slot = -1;
    Binding binding = Binding::New;
    // Labels: a conjunction (`:A:B`) of groups, each a disjunction (`:A|B`);
    // in Query::groups, each group a range of Query::labels.
    Range groups;
    Idx props = kNone;  // a Map or Param expression
};

enum class Dir : uint8_t { Out, In, Both };  // ->, <-, -
inline constexpr int64_t kUnbounded = -1;

struct RelPat {
    Pos pos;
    Idx var = kNone;
    int32_t slot = -1;  // a variable-length relationship's slot holds a list
    Binding binding = Binding::New;
    Dir dir = Dir::Both;
    Range types;  // alternatives (`:a|b`), in Query::labels
    Idx props = kNone;
    bool var_length = false;
    int64_t min_hops = 1;          // `*`: 1..unbounded; `*n`: n..n
    int64_t max_hops = 1;          // kUnbounded for no upper bound
};

enum class PathFn : uint8_t { None, Shortest, AllShortest };

// One comma-separated part of a pattern: nodes and relationships alternate,
// node i, relationship i, node i+1.
struct PathPat {
    Pos pos;
    Idx var = kNone;  // `p = ...`
    int32_t slot = -1;  // the path's slot, named or not
    Binding binding = Binding::New;
    PathFn fn = PathFn::None;
    Pos fn_pos;   // where shortestPath / allShortestPaths is written
    Range nodes;  // in Query::nodes; count == rels.count + 1
    Range rels;   // in Query::rels
};

// A projection item of WITH or RETURN.
struct Item {
    Pos pos;
    Idx expr;
    Idx alias = kNone;  // in names: the alias, or kNone
    Idx column;         // in names: the alias, else the expression's text as written
    int32_t slot = -1;  // the output slot (checks)
    // The expression holds an aggregate (checks). Such an item is evaluated
    // in the group's row, after the grouping keys' output slots and the
    // aggregates' result slots are filled: its parts written as grouping
    // keys (`n.x` in `RETURN n.x, n.x + count(*)`) became Vars of those keys'
    // slots, and any other variable it reads outside its aggregates is a
    // grouping key projected under its own name.
    bool aggregate = false;
};

struct SortItem {
    Idx expr;
    bool descending = false;
};

// SET and REMOVE items, and MERGE's ON CREATE / ON MATCH items.
enum class SetKind : uint8_t {
    Property,  // SET x.k = value / REMOVE x.k: target is the Property expression
    Merge,     // SET x += value: target is the Var
    Replace,   // SET x = value: target is the Var
    Label,     // SET x:L / REMOVE x:L: target is the Var; groups (refused by the checks)
};
struct SetItem {
    SetKind kind;
    Pos pos;
    Idx target;
    Idx value = kNone;  // kNone for REMOVE
    Range groups;
};

enum class ClauseKind : uint8_t {
    Match, Unwind, With, Return, Create, Merge, Set, Remove, Delete,
};

struct Clause {
    ClauseKind kind;
    Pos pos;
    bool optional = false;     // OPTIONAL MATCH
    bool distinct = false;     // WITH / RETURN DISTINCT
    bool star = false;         // WITH * / RETURN * (the checks expand it into items)
    bool detach = false;       // DETACH DELETE
    bool aggregating = false;  // WITH / RETURN: some item holds an aggregate (checks)
    Range pattern;             // Match, Create, Merge (one path): in Query::paths
    Idx where = kNone;         // Match, With
    Idx expr = kNone;          // Unwind: the list
    Idx var = kNone;           // Unwind: the AS name
    int32_t slot = -1;         // Unwind: its slot
    Range items;               // With, Return: in Query::items (grouping keys are
                               // the items whose `aggregate` is false)
    Range exprs;               // Delete: in Query::lists
    Range sets;                // Set, Remove, Merge's ON CREATE SET: in Query::sets
    Range on_match;            // Merge's ON MATCH SET: in Query::sets
    Range order;               // in Query::sorts
    Idx skip = kNone, limit = kNone;
    // Checks: the variables in scope after this clause, in the order the
    // query introduced them (in Query::vars).
    Range scope;
    // Checks, With / Return: the Aggregate expressions each group computes
    // (in Query::lists), every one with its result slot: those of the items,
    // then those ORDER BY adds (`RETURN n.x AS x ORDER BY max(n.y)`), whose
    // arguments read the input rows too. An ORDER BY expression after an
    // aggregation or DISTINCT reads the output row: its parts written as
    // items became Vars of the items' slots.
    Range aggregates;
};

struct VarInfo {
    Idx name;
    int32_t slot;
    VarKind kind;
};

// The clauses of a subquery, read in the row of the query around it.
struct Subquery {
    Range clauses;  // in Query::lists (clause indices)
};

// A single query: one branch of a UNION, or the whole query.
struct Part {
    Range clauses;  // in Query::lists (clause indices)
    uint32_t nslots = 0;
};

struct Name {
    std::string text;  // UTF-8
    Ref str;           // the same as an interned str
};

struct Param {
    Idx name;
    Pos pos;  // its first use
};

struct Query {
    std::string text;

    std::vector<Part> parts;  // one, or the branches of a UNION in order
    bool union_all = false;
    Range columns;            // in Query::lists (indices of names): the result's keys
    bool writes = false;      // some clause writes
    std::vector<Param> params;  // every parameter used, by first use; Param.slot indexes it

    std::vector<Expr> exprs;
    std::vector<Idx> lists;
    std::vector<Op> ops;
    std::vector<Name> names;
    std::vector<Ref> consts;
    std::vector<Label> labels;
    std::vector<Range> groups;
    std::vector<NodePat> nodes;
    std::vector<RelPat> rels;
    std::vector<PathPat> paths;
    std::vector<Item> items;
    std::vector<SortItem> sorts;
    std::vector<SetItem> sets;
    std::vector<Clause> clauses;
    std::vector<Subquery> subs;
    std::vector<VarInfo> vars;

    const Expr& expr(Idx i) const { return exprs[i]; }
    std::span<const Idx> list(Range r) const { return {lists.data() + r.begin, r.count}; }
    std::span<const Idx> kids(const Expr& e) const { return list(e.kids); }
    std::span<const Op> ops_of(const Expr& e) const {
        return {ops.data() + e.ops.begin, e.ops.count};
    }
    const std::string& name(Idx i) const { return names[i].text; }
    PyObject* name_str(Idx i) const { return names[i].str.get(); }
    template <class T>
    static std::span<const T> of(const std::vector<T>& v, Range r) {
        return {v.data() + r.begin, r.count};
    }
};

}  // namespace vk::cypher
