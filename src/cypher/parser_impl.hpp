// The parser's state and helpers, shared by its two units: parser.cpp
// (queries, clauses, patterns) and parser_expr.cpp (expressions). The
// parser is recursive descent over clauses and patterns, precedence
// climbing over expressions.
//
// The current token is `tok_`; `lex_` stands after it. Looking further
// ahead (is this `(` the start of a pattern, is this name followed by `=`)
// copies the lexer and reads on from the copy, so nothing is consumed.
// Every node is appended to the query's arenas when it is complete; the
// children of one node are gathered in a local vector first, so ranges stay
// contiguous however deeply the parts nest.
//
// Depth. Recursion happens only where the text nests (parentheses, lists,
// maps, calls, subqueries), and every nested part is an expression or a
// path: `depth_` counts the expressions and paths being read, and a query
// nesting deeper than kMaxDepth is refused with a syntax error. Flat chains
// never recurse: an operator chain at one precedence level is read by a loop into
// one n-ary node, a run of NOT or unary minus into one counted node. Chains
// that grow the tree without recursing (postfix `.k`, `[i]`, `IS NULL`, ...)
// are bounded by the depth of the tree each node records (`depth_of_`), so
// whoever walks a finished tree recursively is bounded by kMaxTreeDepth.
//
// Failure. The first error found is kept in `fail_`; every parsing
// function returns at once when `failed_` is set (its result is then
// meaningless), so an error never needs to travel as a value.
#pragma once
#include <Python.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "cypher/functions.hpp"
#include "cypher/lexer.hpp"
#include "cypher/parser.hpp"

namespace vk::cypher::parsing {

// Returns (with the given value, if any) once a failure is recorded.
#define BAIL(...) \
    if (failed_) return __VA_ARGS__

class Parser {
public:
    Parser(Query& q) : q_(q), lex_(q.text) {}

    bool run(Failure& f) {
        advance();
        if (!failed_) parse_top();
        if (failed_) {
            f = std::move(fail_);
            return false;
        }
        return true;
    }

private:
    // ---- tokens ----

    void fail(Pos pos, std::string what) {
        if (failed_) return;
        failed_ = true;
        fail_.what = std::move(what);
        fail_.pos = pos;
    }
    void fail_python() {
        if (failed_) return;
        failed_ = true;
        fail_.python = true;
    }
    void advance() {
        prev_end_ = tok_.end;
        LexError e;
        if (!lex_.next(tok_, e)) fail(e.pos, std::move(e.what));
    }
    // Advances past a `:` or `|` after which a label stands: a `$...$`
    // schema is read as one token (kind Str) there.
    void advance_to_label() {
        prev_end_ = tok_.end;
        LexError e;
        uint32_t at;
        if (!lex_.skip(at, e)) return fail(e.pos, std::move(e.what));
        if (at < q_.text.size() && q_.text[at] == '$') {
            if (!lex_.schema_label(at, tok_, e)) return fail(e.pos, std::move(e.what));
            tok_.kind = Tok::Punct;  // marks a schema: text starts with '$'
            return;
        }
        if (!lex_.next(tok_, e)) fail(e.pos, std::move(e.what));
    }
    Token peek() {
        Lexer l = lex_;
        Token t;
        LexError e;
        if (!l.next(t, e)) t.kind = Tok::End;
        return t;
    }
    static std::string describe(const Token& t) {
        if (t.kind == Tok::End) return "end of query";
        std::string s(t.text.substr(0, 40));
        if (t.text.size() > 40) s += "...";
        return "'" + s + "'";
    }
    void unexpected(std::string_view expected) {
        fail(tok_.pos, "expected " + std::string(expected) + ", found " + describe(tok_));
    }
    bool accept(std::string_view p) {
        if (!tok_.punct(p)) return false;
        advance();
        return true;
    }
    bool accept_kw(std::string_view kw) {
        if (!tok_.is(kw)) return false;
        advance();
        return true;
    }
    void expect(std::string_view p) {
        if (tok_.punct(p)) return advance();
        std::string what(1, '\'');
        what.append(p);
        what += '\'';
        unexpected(what);
    }
    void expect_kw(std::string_view kw) {
        if (tok_.is(kw)) return advance();
        unexpected(std::string(kw));
    }

    // ---- arenas ----

    Idx intern(std::string_view text) {
        auto it = name_ids_.find(text);
        if (it != name_ids_.end()) return it->second;
        PyObject* s = PyUnicode_DecodeUTF8(text.data(), Py_ssize_t(text.size()), nullptr);
        if (!s) {
            fail_python();
            return 0;
        }
        PyUnicode_InternInPlace(&s);
        Idx id = Idx(q_.names.size());
        q_.names.push_back(Name{std::string(text), Ref::steal(s)});
        name_ids_.emplace(std::string(text), id);
        return id;
    }
    Idx add_const(PyObject* v) {
        if (!v) {
            fail_python();
            return 0;
        }
        q_.consts.push_back(Ref::steal(v));
        return Idx(q_.consts.size() - 1);
    }
    Range add_list(const std::vector<Idx>& v) {
        Range r{uint32_t(q_.lists.size()), uint32_t(v.size())};
        q_.lists.insert(q_.lists.end(), v.begin(), v.end());
        return r;
    }
    template <class T>
    static Range append(std::vector<T>& arena, std::vector<T>& local) {
        Range r{uint32_t(arena.size()), uint32_t(local.size())};
        for (auto& x : local) arena.push_back(std::move(x));
        return r;
    }
    int depth_of(Idx e) const { return e == kNone ? 0 : depth_of_[e]; }
    // Appends a finished expression; its text ends where the last token read ended.
    Idx add(Expr e) {
        if (e.end == 0) e.end = prev_end_;
        int d = std::max({depth_of(e.a), depth_of(e.b), depth_of(e.c)});
        for (uint32_t i = 0; i < e.kids.count; ++i)
            d = std::max(d, depth_of(q_.lists[e.kids.begin + i]));
        if (e.sub != kNone) d = std::max(d, sub_depth_);
        d += 1;
        if (d > kMaxTreeDepth) fail(e.pos, too_deep());
        Idx id = Idx(q_.exprs.size());
        q_.exprs.push_back(e);
        depth_of_.push_back(uint16_t(std::min(d, 65535)));
        max_depth_ = std::max(max_depth_, d);
        return id;
    }
    // Adds an expression holding a subquery begun when the deepest
    // expression so far was `saved` deep: its depth counts the subquery's.
    Idx add_with_sub(Expr e, int saved) {
        sub_depth_ = max_depth_;
        max_depth_ = saved;
        Idx id = add(e);
        sub_depth_ = 0;
        return id;
    }
    static std::string too_deep() {
        return "query nesting too deep (more than " + std::to_string(kMaxDepth) + " levels)";
    }
    static Expr node(ExprKind k, Pos pos) {
        Expr e{};
        e.kind = k;
        e.pos = pos;
        return e;
    }

    struct Deeper {
        Parser& p;
        explicit Deeper(Parser& p) : p(p) {
            if (++p.depth_ > kMaxDepth) p.fail(p.tok_.pos, too_deep());
        }
        ~Deeper() { --p.depth_; }
    };

    // ---- queries and clauses ----

    void parse_top();
    static bool starts_clause(const Token& t);

    // Clauses up to UNION, `;`, the end, or (in a subquery) `}`.
    Range parse_clauses(bool in_sub);

    Idx add_clause(Clause c) {
        q_.clauses.push_back(c);
        return Idx(q_.clauses.size() - 1);
    }

    Idx parse_clause();
    void parse_projection(Clause& c);

    // SET items (x.k = e, x += e, x = e, x:L) or REMOVE items (x.k, x:L).
    void parse_set_items(std::vector<SetItem>& out, bool remove);

    // A name: a variable (not a reserved word unless backquoted), or with
    // `variable` false a property key or label (any name).
    Idx parse_name(std::string_view what, bool variable);
    Idx parse_variable(std::string_view what) { return parse_name(what, true); }
    Idx parse_key() { return parse_name("a property name", false); }

    // ---- patterns ----

    Range parse_pattern();

    bool name_token() const { return tok_.kind == Tok::Ident || tok_.kind == Tok::Quoted; }

    PathPat parse_path();
    void parse_chain(PathPat& p);
    NodePat parse_node();
    Idx parse_props();

    // `:A:B|C`: groups of alternatives; at a relationship, one group
    // (`:a|b`, also written `:a|:b`).
    Range parse_label_groups(bool in_expr = false);
    Label parse_label();
    RelPat parse_rel();
    bool hop_count(int64_t& out);
    void parse_hops(RelPat& r);

    // Whether the tokens from the lexer copy `l` (standing after a `(`) read as
    // a node pattern followed by the start of a relationship.
    bool node_then_rel(Lexer l);

    // A pattern read in an expression: its path in a Match clause of a new
    // subquery (with WHERE `where` when given).
    Idx pattern_sub(Range paths, Idx where, Pos pos);

    // ---- expressions ----

    enum Level { kOr = 1, kXor, kAnd, kNot, kCompare, kPredicate, kAdd, kMul, kPow };

    int level_of(const Token& t) const;
    static Op op_of(std::string_view p);

    // The condition of a comprehension, which a `|` ends: a label test
    // there takes no alternatives unless parenthesized, `(x:A|B)`.
    Idx parse_condition();
    Idx parse_expr();
    Idx parse_binary(int min);

    // One predicate after `lhs`: IN, STARTS WITH, ENDS WITH, CONTAINS, =~, IS [NOT] NULL.
    Idx parse_predicate(Idx lhs, Pos pos);

    // NOT (where the level allows it), unary minus and plus, then a postfix expression.
    Idx parse_prefix(int min);
    Idx parse_postfix();
    Idx literal(ExprKind k, PyObject* v);
    PyObject* int_value(std::string_view text);
    Idx parse_atom();

    // Keywords that cannot stand as a variable in an expression.
    static bool is_reserved(const Token& t);

    // A variable, or a map projection `v {...}`.
    Idx parse_name_atom();
    Idx parse_map_literal();
    Idx parse_case();

    // exists { MATCH ... } or exists { pattern [WHERE ...] }.
    Idx parse_exists();

    // A function call, count(*), or a quantifier all/any/none/single(x IN l WHERE p).
    Idx parse_call();
    bool dotted_call();

    // `[`: a list comprehension, a pattern comprehension or a list literal.
    Idx parse_bracket();

    Query& q_;
    Lexer lex_;
    Token tok_;
    uint32_t prev_end_ = 0;
    bool failed_ = false;
    Failure fail_;
    int depth_ = 0;
    int bar_ends_at_ = -1;  // the depth of a comprehension's condition being read
    std::vector<uint16_t> depth_of_;
    int max_depth_ = 0;  // the deepest expression made since the current subquery began
    int sub_depth_ = 0;  // the depth of the subquery of the expression being added
    struct NameHash {
        using is_transparent = void;
        size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
    };
    std::unordered_map<std::string, Idx, NameHash, std::equal_to<>> name_ids_;
};

}  // namespace vk::cypher::parsing
