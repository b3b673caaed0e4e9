// The parser: recursive descent over clauses and patterns, precedence
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
// nesting deeper than kMaxDepth is refused with a syntax error. Flat chains never
// recurse: an operator chain at one precedence level is read by a loop into
// one n-ary node, a run of NOT or unary minus into one counted node. Chains
// that grow the tree without recursing (postfix `.k`, `[i]`, `IS NULL`, ...)
// are bounded by the depth of the tree each node records (`depth_of_`), so
// whoever walks a finished tree recursively is bounded by kMaxTreeDepth.
//
// Failure. The first error found is kept in `fail_`; every parsing
// function returns at once when `failed_` is set (its result is then
// meaningless), so an error never needs to travel as a value.
#include "cypher/parser.hpp"

#include <algorithm>
#include <cmath>
#include <unordered_map>
#include <vector>

#include "cypher/functions.hpp"
#include "cypher/lexer.hpp"

namespace vk::cypher {

namespace {

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
        unexpected("'" + std::string(p) + "'");
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
        for (uint32_t i = 0; i < e.kids.count; ++i) d = std::max(d, depth_of(q_.lists[e.kids.begin + i]));
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

    void parse_top() {
        std::vector<Part> parts;
        bool has_union = false;
        Pos union_pos;
        while (true) {
            Part part;
            part.clauses = parse_clauses(false);
            BAIL();
            parts.push_back(part);
            if (!tok_.is("UNION")) break;
            Pos pos = tok_.pos;
            advance();
            bool all = accept_kw("ALL");
            BAIL();
            if (has_union && all != q_.union_all)
                return fail(pos, "UNION and UNION ALL cannot be mixed in one query");
            has_union = true;
            union_pos = pos;
            q_.union_all = all;
        }
        const bool semicolon = accept(";");
        BAIL();
        if (tok_.kind != Tok::End) return unexpected(semicolon ? "end of query" : "a clause");
        q_.parts = std::move(parts);
    }

    static bool starts_clause(const Token& t) {
        return t.is("MATCH") || t.is("OPTIONAL") || t.is("UNWIND") || t.is("WITH") ||
               t.is("RETURN") || t.is("CREATE") || t.is("MERGE") || t.is("SET") ||
               t.is("REMOVE") || t.is("DELETE") || t.is("DETACH");
    }

    // Clauses up to UNION, `;`, the end, or (in a subquery) `}`.
    Range parse_clauses(bool in_sub) {
        std::vector<Idx> clauses;
        while (starts_clause(tok_)) {
            Idx c = parse_clause();
            BAIL({});
            clauses.push_back(c);
        }
        if (clauses.empty()) {
            unexpected("a clause (MATCH, RETURN, ...)");
            return {};
        }
        if (!in_sub && !tok_.is("UNION") && !tok_.punct(";") && tok_.kind != Tok::End) {
            unexpected("a clause");
            return {};
        }
        return add_list(clauses);
    }

    Idx add_clause(Clause c) {
        q_.clauses.push_back(c);
        return Idx(q_.clauses.size() - 1);
    }

    Idx parse_clause() {
        Clause c{};
        c.pos = tok_.pos;
        if (tok_.is("OPTIONAL") || tok_.is("MATCH")) {
            c.kind = ClauseKind::Match;
            if (accept_kw("OPTIONAL")) {
                c.optional = true;
                BAIL(kNone);
                if (!tok_.is("MATCH")) {
                    unexpected("MATCH");
                    return kNone;
                }
            }
            advance();
            c.pattern = parse_pattern();
            BAIL(kNone);
            if (accept_kw("WHERE")) c.where = parse_expr();
        } else if (accept_kw("UNWIND")) {
            c.kind = ClauseKind::Unwind;
            c.expr = parse_expr();
            BAIL(kNone);
            expect_kw("AS");
            BAIL(kNone);
            c.var = parse_variable("a variable name");
        } else if (tok_.is("WITH") || tok_.is("RETURN")) {
            c.kind = tok_.is("WITH") ? ClauseKind::With : ClauseKind::Return;
            advance();
            parse_projection(c);
        } else if (accept_kw("CREATE")) {
            c.kind = ClauseKind::Create;
            c.pattern = parse_pattern();
        } else if (accept_kw("MERGE")) {
            c.kind = ClauseKind::Merge;
            std::vector<PathPat> one;
            one.push_back(parse_path());
            BAIL(kNone);
            c.pattern = append(q_.paths, one);
            std::vector<SetItem> on_create, on_match;
            while (tok_.is("ON")) {
                advance();
                bool create = tok_.is("CREATE");
                if (!create && !tok_.is("MATCH")) {
                    unexpected("CREATE or MATCH");
                    return kNone;
                }
                advance();
                expect_kw("SET");
                BAIL(kNone);
                parse_set_items(create ? on_create : on_match, false);
                BAIL(kNone);
            }
            c.sets = append(q_.sets, on_create);
            c.on_match = append(q_.sets, on_match);
        } else if (accept_kw("SET")) {
            c.kind = ClauseKind::Set;
            std::vector<SetItem> items;
            parse_set_items(items, false);
            BAIL(kNone);
            c.sets = append(q_.sets, items);
        } else if (accept_kw("REMOVE")) {
            c.kind = ClauseKind::Remove;
            std::vector<SetItem> items;
            parse_set_items(items, true);
            BAIL(kNone);
            c.sets = append(q_.sets, items);
        } else if (tok_.is("DETACH") || tok_.is("DELETE")) {
            c.kind = ClauseKind::Delete;
            if (accept_kw("DETACH")) {
                c.detach = true;
                BAIL(kNone);
                expect_kw("DELETE");
            } else {
                advance();
            }
            BAIL(kNone);
            std::vector<Idx> exprs;
            do {
                exprs.push_back(parse_expr());
                BAIL(kNone);
            } while (accept(","));
            c.exprs = add_list(exprs);
        }
        BAIL(kNone);
        if (c.kind == ClauseKind::Create || c.kind == ClauseKind::Merge ||
            c.kind == ClauseKind::Set || c.kind == ClauseKind::Remove ||
            c.kind == ClauseKind::Delete)
            q_.writes = true;
        return add_clause(c);
    }

    void parse_projection(Clause& c) {
        c.distinct = accept_kw("DISTINCT");
        BAIL();
        std::vector<Item> items;
        bool more = true;
        if (accept("*")) {
            c.star = true;
            more = accept(",");
        }
        BAIL();
        while (more) {
            Item it{};
            it.pos = tok_.pos;
            it.expr = parse_expr();
            BAIL();
            uint32_t begin = it.pos.offset, end = prev_end_;
            if (accept_kw("AS")) {
                BAIL();
                it.alias = parse_variable("an alias");
                BAIL();
                it.column = it.alias;
            } else {
                it.column = intern(std::string_view(q_.text).substr(begin, end - begin));
            }
            BAIL();
            items.push_back(it);
            more = accept(",");
            BAIL();
        }
        c.items = append(q_.items, items);
        if (tok_.is("ORDER")) {
            advance();
            expect_kw("BY");
            BAIL();
            std::vector<SortItem> sorts;
            do {
                SortItem s{};
                s.expr = parse_expr();
                BAIL();
                if (accept_kw("DESC") || accept_kw("DESCENDING")) s.descending = true;
                else if (!accept_kw("ASC")) accept_kw("ASCENDING");
                BAIL();
                sorts.push_back(s);
            } while (accept(","));
            BAIL();
            c.order = append(q_.sorts, sorts);
        }
        if (accept_kw("SKIP")) c.skip = parse_expr();
        BAIL();
        if (accept_kw("LIMIT")) c.limit = parse_expr();
        BAIL();
        if (c.kind == ClauseKind::With && accept_kw("WHERE")) c.where = parse_expr();
    }

    // SET items (x.k = e, x += e, x = e, x:L) or REMOVE items (x.k, x:L).
    void parse_set_items(std::vector<SetItem>& out, bool remove) {
        do {
            SetItem s{};
            s.pos = tok_.pos;
            Expr v = node(ExprKind::Var, tok_.pos);
            v.name = parse_variable("a variable");
            BAIL();
            Idx var = add(v);
            if (tok_.punct(":")) {
                s.kind = SetKind::Label;
                s.target = var;
                s.groups = parse_label_groups();
            } else if (tok_.punct(".")) {
                advance();
                Expr p = node(ExprKind::Property, v.pos);
                p.a = var;
                p.name = parse_key();
                BAIL();
                s.kind = SetKind::Property;
                s.target = add(p);
                if (!remove) {
                    expect("=");
                    BAIL();
                    s.value = parse_expr();
                }
            } else if (!remove && (tok_.punct("=") || tok_.punct("+="))) {
                s.kind = tok_.punct("=") ? SetKind::Replace : SetKind::Merge;
                s.target = var;
                advance();
                s.value = parse_expr();
            } else {
                return unexpected(remove ? "'.' or ':'" : "'.', '=', '+=' or ':'");
            }
            BAIL();
            out.push_back(s);
        } while (accept(","));
    }

    // A name: a variable (not a reserved word unless backquoted), or with
    // `variable` false a property key or label (any name).
    Idx parse_name(std::string_view what, bool variable) {
        if (tok_.kind == Tok::Ident) {
            if (variable && is_reserved(tok_)) {
                fail(tok_.pos, "expected " + std::string(what) + ", found " + describe(tok_) +
                                   ", a reserved word (write it in backquotes to use it as a name)");
                return kNone;
            }
            Idx n = intern(tok_.text);
            advance();
            return n;
        }
        if (tok_.kind == Tok::Quoted) {
            if (tok_.value.empty()) {
                fail(tok_.pos, "a name cannot be empty");
                return kNone;
            }
            Idx n = intern(tok_.value);
            advance();
            return n;
        }
        unexpected(what);
        return kNone;
    }
    Idx parse_variable(std::string_view what) { return parse_name(what, true); }
    Idx parse_key() { return parse_name("a property name", false); }

    // ---- patterns ----

    Range parse_pattern() {
        std::vector<PathPat> paths;
        do {
            paths.push_back(parse_path());
            BAIL({});
        } while (accept(","));
        BAIL({});
        return append(q_.paths, paths);
    }

    bool name_token() const { return tok_.kind == Tok::Ident || tok_.kind == Tok::Quoted; }

    PathPat parse_path() {
        Deeper guard(*this);
        PathPat p{};
        p.pos = tok_.pos;
        BAIL(p);
        if (name_token() && peek().punct("=")) {
            p.var = parse_variable("a variable");
            BAIL(p);
            advance();  // '='
            BAIL(p);
        }
        if ((tok_.is("SHORTESTPATH") || tok_.is("ALLSHORTESTPATHS")) && peek().punct("(")) {
            p.fn = tok_.is("SHORTESTPATH") ? PathFn::Shortest : PathFn::AllShortest;
            advance();
            advance();
            BAIL(p);
            parse_chain(p);
            BAIL(p);
            expect(")");
            return p;
        }
        parse_chain(p);
        return p;
    }

    void parse_chain(PathPat& p) {
        std::vector<NodePat> nodes;
        std::vector<RelPat> rels;
        nodes.push_back(parse_node());
        BAIL();
        while (tok_.punct("-") || tok_.punct("<")) {
            rels.push_back(parse_rel());
            BAIL();
            nodes.push_back(parse_node());
            BAIL();
        }
        p.nodes = append(q_.nodes, nodes);
        p.rels = append(q_.rels, rels);
    }

    NodePat parse_node() {
        NodePat n{};
        n.pos = tok_.pos;
        if (!tok_.punct("(")) {
            unexpected("'(' (a node pattern)");
            return n;
        }
        advance();
        BAIL(n);
        if (name_token()) n.var = parse_variable("a variable");
        BAIL(n);
        if (tok_.punct(":")) n.groups = parse_label_groups();
        BAIL(n);
        if (tok_.punct("{") || tok_.kind == Tok::Param) n.props = parse_props();
        BAIL(n);
        expect(")");
        return n;
    }

    Idx parse_props() {
        if (tok_.kind == Tok::Param) return parse_atom();
        return parse_map_literal();
    }

    // `:A:B|C`: groups of alternatives; at a relationship, one group
    // (`:a|b`, also written `:a|:b`).
    Range parse_label_groups(bool in_expr = false) {
        // In the condition of a comprehension, `|` ends the condition.
        const bool alternatives = !in_expr || depth_ != bar_ends_at_;
        std::vector<Range> groups;
        while (tok_.punct(":")) {
            advance_to_label();
            BAIL({});
            std::vector<Label> alts;
            while (true) {
                alts.push_back(parse_label());
                BAIL({});
                if (!tok_.punct("|") || !alternatives) break;
                advance_to_label();
                BAIL({});
                if (tok_.punct(":")) advance_to_label();
                BAIL({});
            }
            groups.push_back(append(q_.labels, alts));
        }
        return append(q_.groups, groups);
    }
    Label parse_label() {
        Label l{};
        l.pos = tok_.pos;
        if (tok_.kind == Tok::Punct && !tok_.text.empty() && tok_.text[0] == '$') {
            l.kind = LabelKind::Schema;
            l.name = intern(tok_.value);
            advance();
            return l;
        }
        l.kind = LabelKind::Name;
        l.quoted = tok_.kind == Tok::Quoted;
        l.name = parse_name("a label", false);
        return l;
    }

    RelPat parse_rel() {
        RelPat r{};
        r.pos = tok_.pos;
        bool left = accept("<");
        BAIL(r);
        if (!tok_.punct("-")) {
            unexpected("'-'");
            return r;
        }
        advance();
        BAIL(r);
        if (accept("[")) {
            BAIL(r);
            if (name_token()) r.var = parse_variable("a variable");
            BAIL(r);
            if (tok_.punct(":")) {
                Range groups = parse_label_groups();
                BAIL(r);
                if (groups.count > 1) {
                    fail(q_.labels[q_.groups[groups.begin + 1].begin].pos,
                         "a relationship has one type: write alternatives as :a|b");
                    return r;
                }
                if (groups.count == 1) r.types = q_.groups[groups.begin];
            }
            if (tok_.punct("*")) parse_hops(r);
            BAIL(r);
            if (tok_.punct("{") || tok_.kind == Tok::Param) r.props = parse_props();
            BAIL(r);
            expect("]");
            BAIL(r);
            if (!tok_.punct("-")) {
                unexpected("'-'");
                return r;
            }
            advance();
        } else if (tok_.punct("-")) {
            advance();
        } else {
            unexpected("'-' or '['");
            return r;
        }
        BAIL(r);
        bool right = accept(">");
        r.dir = left == right ? Dir::Both : left ? Dir::In : Dir::Out;
        return r;
    }

    bool hop_count(int64_t& out) {
        const std::string_view t = tok_.text;
        if (tok_.kind != Tok::Int || (t.size() > 1 && (t[1] == 'x' || t[1] == 'X' ||
                                                       t[1] == 'o' || t[1] == 'O'))) {
            unexpected("a number of relationships");
            return false;
        }
        int64_t v = 0;
        for (char ch : tok_.text) {
            v = v * 10 + (ch - '0');
            if (v > (int64_t(1) << 40)) {
                fail(tok_.pos, "relationship count " + std::string(tok_.text) + " is too large");
                return false;
            }
        }
        out = v;
        advance();
        return !failed_;
    }
    void parse_hops(RelPat& r) {
        advance();  // '*'
        BAIL();
        r.var_length = true;
        r.min_hops = 1;
        r.max_hops = kUnbounded;
        if (tok_.kind == Tok::Int) {
            if (!hop_count(r.min_hops)) return;
            if (accept("..")) {
                BAIL();
                if (tok_.kind == Tok::Int) hop_count(r.max_hops);
            } else {
                r.max_hops = r.min_hops;
            }
        } else if (accept("..")) {
            BAIL();
            if (tok_.kind == Tok::Int) hop_count(r.max_hops);
            else unexpected("a number of relationships");
        }
    }

    // Whether the tokens from the lexer copy `l` (standing after a `(`) read as
    // a node pattern followed by the start of a relationship.
    bool node_then_rel(Lexer l) {
        Token t;
        LexError e;
        auto next = [&] { return l.next(t, e); };
        if (!next()) return false;
        if (t.kind == Tok::Ident || t.kind == Tok::Quoted) {
            if (!next()) return false;
        }
        while (t.punct(":") || t.punct("|")) {
            uint32_t at;
            if (!l.skip(at, e)) return false;
            if (at < q_.text.size() && q_.text[at] == '$') {
                if (!l.schema_label(at, t, e)) return false;
            } else {
                if (!next()) return false;
                if (t.punct(":")) continue;  // `|:`
                if (t.kind != Tok::Ident && t.kind != Tok::Quoted) return false;
            }
            if (!next()) return false;
        }
        if (t.kind == Tok::Param) {
            if (!next()) return false;
        } else if (t.punct("{")) {
            int open = 1;
            while (open > 0) {
                if (!next() || t.kind == Tok::End) return false;
                if (t.punct("{")) ++open;
                else if (t.punct("}")) --open;
            }
            if (!next()) return false;
        }
        if (!t.punct(")")) return false;
        if (!next()) return false;
        if (t.punct("<")) return next() && t.punct("-");
        if (!t.punct("-")) return false;
        return next() && (t.punct("-") || t.punct("[") || t.punct(">"));
    }

    // A pattern read in an expression: its path in a Match clause of a new
    // subquery (with WHERE `where` when given).
    Idx pattern_sub(Range paths, Idx where, Pos pos) {
        Clause c{};
        c.kind = ClauseKind::Match;
        c.pos = pos;
        c.pattern = paths;
        c.where = where;
        Idx ci = add_clause(c);
        q_.subs.push_back(Subquery{add_list({ci})});
        return Idx(q_.subs.size() - 1);
    }

    // ---- expressions ----

    enum Level { kOr = 1, kXor, kAnd, kNot, kCompare, kPredicate, kAdd, kMul, kPow };

    int level_of(const Token& t) const {
        if (t.kind == Tok::Ident) {
            if (t.is("OR")) return kOr;
            if (t.is("XOR")) return kXor;
            if (t.is("AND")) return kAnd;
            if (t.is("IN") || t.is("STARTS") || t.is("ENDS") || t.is("CONTAINS") || t.is("IS"))
                return kPredicate;
            return 0;
        }
        if (t.kind != Tok::Punct) return 0;
        const std::string_view p = t.text;
        if (p == "=" || p == "<>" || p == "!=" || p == "<" || p == "<=" || p == ">" || p == ">=")
            return kCompare;
        if (p == "=~") return kPredicate;
        if (p == "+" || p == "-") return kAdd;
        if (p == "*" || p == "/" || p == "%") return kMul;
        if (p == "^") return kPow;
        return 0;
    }
    static Op op_of(std::string_view p) {
        if (p == "+") return Op::Add;
        if (p == "-") return Op::Sub;
        if (p == "*") return Op::Mul;
        if (p == "/") return Op::Div;
        if (p == "%") return Op::Mod;
        if (p == "^") return Op::Pow;
        if (p == "=") return Op::Eq;
        if (p == "<>" || p == "!=") return Op::Ne;
        if (p == "<") return Op::Lt;
        if (p == "<=") return Op::Le;
        if (p == ">") return Op::Gt;
        return Op::Ge;
    }

    // The condition of a comprehension, which a `|` ends: a label test
    // there takes no alternatives unless parenthesized, `(x:A|B)`.
    Idx parse_condition() {
        const int saved = bar_ends_at_;
        bar_ends_at_ = depth_ + 1;
        Idx e = parse_expr();
        bar_ends_at_ = saved;
        return e;
    }

    Idx parse_expr() {
        Deeper guard(*this);
        BAIL(kNone);
        return parse_binary(kOr);
    }

    Idx parse_binary(int min) {
        Idx lhs = parse_prefix(min);
        BAIL(kNone);
        while (true) {
            const int lvl = level_of(tok_);
            if (lvl == 0 || lvl < min) return lhs;
            const Pos pos = q_.exprs[lhs].pos;
            if (lvl == kPredicate) {
                lhs = parse_predicate(lhs, pos);
                BAIL(kNone);
                continue;
            }
            std::vector<Idx> operands{lhs};
            std::vector<Op> ops;
            while (level_of(tok_) == lvl) {
                if (lvl >= kCompare) ops.push_back(op_of(tok_.text));
                advance();
                BAIL(kNone);
                operands.push_back(parse_binary(lvl + 1));
                BAIL(kNone);
            }
            Expr e = node(lvl == kOr    ? ExprKind::Or
                          : lvl == kXor ? ExprKind::Xor
                          : lvl == kAnd ? ExprKind::And
                          : lvl == kCompare ? ExprKind::Compare
                                            : ExprKind::Arith,
                          pos);
            e.kids = add_list(operands);
            if (!ops.empty()) {
                e.ops = Range{uint32_t(q_.ops.size()), uint32_t(ops.size())};
                q_.ops.insert(q_.ops.end(), ops.begin(), ops.end());
            }
            lhs = add(e);
            BAIL(kNone);
        }
    }

    // One predicate after `lhs`: IN, STARTS WITH, ENDS WITH, CONTAINS, =~, IS [NOT] NULL.
    Idx parse_predicate(Idx lhs, Pos pos) {
        Expr e = node(ExprKind::Binary, pos);
        e.a = lhs;
        if (tok_.is("IS")) {
            advance();
            bool neg = accept_kw("NOT");
            BAIL(kNone);
            expect_kw("NULL");
            BAIL(kNone);
            e.kind = neg ? ExprKind::IsNotNull : ExprKind::IsNull;
            return add(e);
        }
        if (tok_.is("IN")) {
            e.op = uint8_t(Op::In);
            advance();
        } else if (tok_.is("STARTS") || tok_.is("ENDS")) {
            e.op = uint8_t(tok_.is("STARTS") ? Op::StartsWith : Op::EndsWith);
            advance();
            expect_kw("WITH");
        } else if (tok_.is("CONTAINS")) {
            e.op = uint8_t(Op::Contains);
            advance();
        } else {
            e.op = uint8_t(Op::RegexMatch);
            advance();
        }
        BAIL(kNone);
        e.b = parse_binary(kAdd);
        BAIL(kNone);
        return add(e);
    }

    // NOT (where the level allows it), unary minus and plus, then a postfix expression.
    Idx parse_prefix(int min) {
        if (min <= kNot && tok_.is("NOT")) {
            Expr e = node(ExprKind::Not, tok_.pos);
            while (tok_.is("NOT")) {
                ++e.count;
                advance();
                BAIL(kNone);
            }
            e.a = parse_binary(kCompare);
            BAIL(kNone);
            return add(e);
        }
        if (tok_.punct("-") || tok_.punct("+")) {
            Expr e = node(ExprKind::Neg, tok_.pos);
            while (tok_.punct("-") || tok_.punct("+")) {
                if (tok_.punct("-")) ++e.count;
                advance();
                BAIL(kNone);
            }
            Idx operand = parse_postfix();
            BAIL(kNone);
            if (e.count == 0) return operand;
            // A negative literal is a literal (so -9223372036854775808 needs no arithmetic).
            Expr& o = q_.exprs[operand];
            if (e.count == 1 && (o.kind == ExprKind::Int || o.kind == ExprKind::Float)) {
                PyObject* neg = PyNumber_Negative(q_.consts[o.value].get());
                if (!neg) {
                    fail_python();
                    return kNone;
                }
                q_.consts[o.value] = Ref::steal(neg);
                o.pos = e.pos;
                return operand;
            }
            e.a = operand;
            return add(e);
        }
        return parse_postfix();
    }
    Idx parse_postfix() {
        Idx e = parse_atom();
        BAIL(kNone);
        const Pos pos = q_.exprs[e].pos;
        while (true) {
            if (tok_.punct(".")) {
                advance();
                BAIL(kNone);
                Expr p = node(ExprKind::Property, pos);
                p.a = e;
                p.name = parse_key();
                BAIL(kNone);
                e = add(p);
            } else if (tok_.punct("[")) {
                advance();
                BAIL(kNone);
                Expr s = node(ExprKind::Subscript, pos);
                s.a = e;
                if (accept("..")) {
                    s.kind = ExprKind::Slice;
                    BAIL(kNone);
                    if (!tok_.punct("]")) s.c = parse_expr();
                } else {
                    s.b = parse_expr();
                    BAIL(kNone);
                    if (accept("..")) {
                        s.kind = ExprKind::Slice;
                        BAIL(kNone);
                        if (!tok_.punct("]")) s.c = parse_expr();
                    }
                }
                BAIL(kNone);
                expect("]");
                BAIL(kNone);
                e = add(s);
            } else if (tok_.punct(":")) {
                Expr l = node(ExprKind::LabelTest, pos);
                l.a = e;
                l.groups = parse_label_groups(true);
                BAIL(kNone);
                e = add(l);
            } else {
                return e;
            }
            BAIL(kNone);
        }
    }

    Idx literal(ExprKind k, PyObject* v) {
        Expr e = node(k, tok_.pos);
        if (v) e.value = add_const(v);
        BAIL(kNone);
        advance();
        return add(e);
    }

    PyObject* int_value(std::string_view text) {
        std::string digits;
        int base = 10;
        if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
            base = 16;
            text.remove_prefix(2);
        } else if (text.size() > 2 && text[0] == '0' && (text[1] == 'o' || text[1] == 'O')) {
            base = 8;
            text.remove_prefix(2);
        } else if (text.size() > 1 && text[0] == '0') {
            base = 8;  // 017: octal, as the lexer made sure
            text.remove_prefix(1);
        }
        digits.assign(text);
        PyObject* v = PyLong_FromString(digits.c_str(), nullptr, base);
        if (!v && PyErr_ExceptionMatches(PyExc_ValueError)) {
            PyErr_Clear();
            fail(tok_.pos, "integer literal too long (" + std::to_string(digits.size()) +
                               " digits)");
        }
        return v;
    }

    Idx parse_atom() {
        const Token& t = tok_;
        switch (t.kind) {
            case Tok::Int: {
                PyObject* v = int_value(t.text);
                if (!v) {
                    if (!failed_) fail_python();
                    return kNone;
                }
                return literal(ExprKind::Int, v);
            }
            case Tok::Float: {
                std::string s(t.text);
                double d = PyOS_string_to_double(s.c_str(), nullptr, nullptr);
                if (d == -1.0 && PyErr_Occurred()) {
                    fail_python();
                    return kNone;
                }
                if (d == HUGE_VAL) {
                    fail(t.pos, "float literal out of range");
                    return kNone;
                }
                return literal(ExprKind::Float, PyFloat_FromDouble(d));
            }
            case Tok::Str:
                return literal(ExprKind::Str, PyUnicode_DecodeUTF8(t.value.data(),
                                                                   Py_ssize_t(t.value.size()), nullptr));
            case Tok::Param: {
                Expr e = node(ExprKind::Param, t.pos);
                e.name = intern(t.value);
                BAIL(kNone);
                advance();
                return add(e);
            }
            case Tok::Quoted:
                return parse_name_atom();
            case Tok::Ident: {
                if (t.is("TRUE")) return literal(ExprKind::True, nullptr);
                if (t.is("FALSE")) return literal(ExprKind::False, nullptr);
                if (t.is("NULL")) return literal(ExprKind::Null, nullptr);
                if (t.is("CASE")) return parse_case();
                if (t.is("EXISTS") && peek().punct("{")) return parse_exists();
                if (peek().punct("(")) return parse_call();
                if (is_reserved(t)) {
                    unexpected("an expression");
                    return kNone;
                }
                return parse_name_atom();
            }
            case Tok::Punct:
                if (t.punct("(")) {
                    if (node_then_rel(lex_)) {
                        Pos pos = t.pos;
                        const int saved = max_depth_;
                        max_depth_ = 0;
                        std::vector<PathPat> one;
                        PathPat p{};
                        p.pos = pos;
                        parse_chain(p);
                        BAIL(kNone);
                        one.push_back(p);
                        Range paths = append(q_.paths, one);
                        Expr e = node(ExprKind::PatternPredicate, pos);
                        e.sub = pattern_sub(paths, kNone, pos);
                        return add_with_sub(e, saved);
                    }
                    advance();
                    Idx e = parse_expr();
                    BAIL(kNone);
                    expect(")");
                    return e;
                }
                if (t.punct("[")) return parse_bracket();
                if (t.punct("{")) return parse_map_literal();
                break;
            case Tok::End:
                break;
        }
        unexpected("an expression");
        return kNone;
    }

    // Keywords that cannot stand as a variable in an expression.
    static bool is_reserved(const Token& t) {
        static constexpr std::string_view kReserved[] = {
            "MATCH", "OPTIONAL", "WHERE", "RETURN", "WITH", "UNWIND", "CREATE", "MERGE",
            "SET", "REMOVE", "DELETE", "DETACH", "UNION", "ORDER", "SKIP", "LIMIT", "AS",
            "AND", "OR", "XOR", "NOT", "IN", "IS", "STARTS", "ENDS", "CONTAINS", "WHEN",
            "THEN", "ELSE", "END", "DISTINCT", "ON", "BY", "ASC", "DESC",
            "ASCENDING", "DESCENDING", "TRUE", "FALSE", "NULL", "CASE"};
        if (t.kind != Tok::Ident) return false;
        for (std::string_view kw : kReserved)
            if (t.is(kw)) return true;
        return false;
    }

    // A variable, or a map projection `v {...}`.
    Idx parse_name_atom() {
        Expr v = node(ExprKind::Var, tok_.pos);
        v.name = parse_variable("an expression");
        BAIL(kNone);
        Idx var = add(v);
        if (!tok_.punct("{")) return var;
        advance();
        Expr m = node(ExprKind::MapProj, v.pos);
        m.a = var;
        std::vector<Idx> entries;
        if (!tok_.punct("}")) {
            do {
                BAIL(kNone);
                Pos pos = tok_.pos;
                if (accept(".")) {
                    BAIL(kNone);
                    if (accept("*")) {
                        entries.push_back(add(node(ExprKind::ProjAll, pos)));
                    } else {
                        Expr p = node(ExprKind::ProjProperty, pos);
                        p.name = parse_key();
                        BAIL(kNone);
                        entries.push_back(add(p));
                    }
                } else {
                    Expr ent = node(ExprKind::MapEntry, pos);
                    Pos vpos = tok_.pos;
                    ent.name = parse_key();
                    BAIL(kNone);
                    if (accept(":")) {
                        BAIL(kNone);
                        ent.a = parse_expr();
                    } else {
                        Expr ref = node(ExprKind::Var, vpos);
                        ref.name = ent.name;
                        ent.a = add(ref);
                    }
                    BAIL(kNone);
                    entries.push_back(add(ent));
                }
                BAIL(kNone);
            } while (accept(","));
        }
        BAIL(kNone);
        expect("}");
        BAIL(kNone);
        m.kids = add_list(entries);
        return add(m);
    }

    Idx parse_map_literal() {
        Expr m = node(ExprKind::Map, tok_.pos);
        expect("{");
        BAIL(kNone);
        std::vector<Idx> entries;
        if (!tok_.punct("}")) {
            do {
                BAIL(kNone);
                Expr ent = node(ExprKind::MapEntry, tok_.pos);
                ent.name = parse_key();
                BAIL(kNone);
                expect(":");
                BAIL(kNone);
                ent.a = parse_expr();
                BAIL(kNone);
                entries.push_back(add(ent));
                BAIL(kNone);
            } while (accept(","));
        }
        BAIL(kNone);
        expect("}");
        BAIL(kNone);
        m.kids = add_list(entries);
        return add(m);
    }

    Idx parse_case() {
        Expr c = node(ExprKind::Case, tok_.pos);
        advance();
        BAIL(kNone);
        if (!tok_.is("WHEN")) c.a = parse_expr();
        BAIL(kNone);
        std::vector<Idx> arms;
        if (!tok_.is("WHEN")) {
            unexpected("WHEN");
            return kNone;
        }
        while (accept_kw("WHEN")) {
            arms.push_back(parse_expr());
            BAIL(kNone);
            expect_kw("THEN");
            BAIL(kNone);
            arms.push_back(parse_expr());
            BAIL(kNone);
        }
        if (accept_kw("ELSE")) c.b = parse_expr();
        BAIL(kNone);
        expect_kw("END");
        BAIL(kNone);
        c.kids = add_list(arms);
        return add(c);
    }

    // exists { MATCH ... } or exists { pattern [WHERE ...] }.
    Idx parse_exists() {
        Expr e = node(ExprKind::Exists, tok_.pos);
        advance();
        advance();  // '{'
        BAIL(kNone);
        const int saved = max_depth_;
        max_depth_ = 0;
        if (starts_clause(tok_)) {
            Range clauses = parse_clauses(true);
            BAIL(kNone);
            q_.subs.push_back(Subquery{clauses});
            e.sub = Idx(q_.subs.size() - 1);
        } else {
            Pos pos = tok_.pos;
            Range paths = parse_pattern();
            BAIL(kNone);
            Idx where = kNone;
            if (accept_kw("WHERE")) where = parse_expr();
            BAIL(kNone);
            e.sub = pattern_sub(paths, where, pos);
        }
        expect("}");
        BAIL(kNone);
        return add_with_sub(e, saved);
    }

    // A function call, count(*), or a quantifier all/any/none/single(x IN l WHERE p).
    Idx parse_call() {
        const Token name = tok_;
        Expr e = node(ExprKind::Call, tok_.pos);
        e.name = intern(name.text);
        BAIL(kNone);
        advance();
        advance();  // '('
        BAIL(kNone);
        const bool quantifier = name.is("ALL") || name.is("ANY") || name.is("NONE") || name.is("SINGLE");
        if (quantifier && name_token() && peek().is("IN")) {
            e.kind = ExprKind::Quantifier;
            e.op = uint8_t(name.is("ALL")    ? Quant::All
                           : name.is("ANY")  ? Quant::Any
                           : name.is("NONE") ? Quant::None
                                             : Quant::Single);
            e.name = parse_variable("a variable");
            BAIL(kNone);
            advance();  // IN
            BAIL(kNone);
            e.a = parse_expr();
            BAIL(kNone);
            expect_kw("WHERE");
            BAIL(kNone);
            e.b = parse_expr();
            BAIL(kNone);
            expect(")");
            BAIL(kNone);
            return add(e);
        }
        if (name.is("COUNT") && tok_.punct("*")) {
            advance();
            BAIL(kNone);
            expect(")");
            BAIL(kNone);
            e.kind = ExprKind::Aggregate;
            e.op = uint8_t(AggKind::CountStar);
            return add(e);
        }
        e.distinct = accept_kw("DISTINCT");
        BAIL(kNone);
        std::vector<Idx> args;
        if (!tok_.punct(")")) {
            do {
                BAIL(kNone);
                args.push_back(parse_expr());
                BAIL(kNone);
            } while (accept(","));
        }
        BAIL(kNone);
        expect(")");
        BAIL(kNone);
        e.kids = add_list(args);
        return add(e);
    }

    // `[`: a list comprehension, a pattern comprehension or a list literal.
    Idx parse_bracket() {
        const Pos pos = tok_.pos;
        advance();
        BAIL(kNone);
        if (name_token() && peek().is("IN")) {
            Expr e = node(ExprKind::ListComp, pos);
            e.name = parse_variable("a variable");
            BAIL(kNone);
            advance();  // IN
            BAIL(kNone);
            e.a = parse_expr();
            BAIL(kNone);
            if (accept_kw("WHERE")) e.b = parse_condition();
            BAIL(kNone);
            if (accept("|")) e.c = parse_expr();
            BAIL(kNone);
            expect("]");
            BAIL(kNone);
            return add(e);
        }
        bool comprehension = false;
        if (tok_.punct("(")) {
            comprehension = node_then_rel(lex_);
        } else if (name_token() && peek().punct("=")) {
            Lexer l = lex_;
            Token t;
            LexError err;
            comprehension = l.next(t, err) && l.next(t, err) && t.punct("(") && node_then_rel(l);
        }
        if (comprehension) {
            const int saved = max_depth_;
            max_depth_ = 0;
            std::vector<PathPat> one;
            one.push_back(parse_path());
            BAIL(kNone);
            Range paths = append(q_.paths, one);
            Idx where = kNone;
            if (accept_kw("WHERE")) where = parse_condition();
            BAIL(kNone);
            expect("|");
            BAIL(kNone);
            Expr e = node(ExprKind::PatternComp, pos);
            e.c = parse_expr();
            BAIL(kNone);
            expect("]");
            BAIL(kNone);
            e.sub = pattern_sub(paths, where, pos);
            return add_with_sub(e, saved);
        }
        Expr e = node(ExprKind::List, pos);
        std::vector<Idx> items;
        if (!tok_.punct("]")) {
            do {
                BAIL(kNone);
                items.push_back(parse_expr());
                BAIL(kNone);
            } while (accept(","));
        }
        BAIL(kNone);
        expect("]");
        BAIL(kNone);
        e.kids = add_list(items);
        return add(e);
    }

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

#undef BAIL

}  // namespace

bool parse_query(Query& q, Failure& f) { return Parser(q).run(f); }

}  // namespace vk::cypher
