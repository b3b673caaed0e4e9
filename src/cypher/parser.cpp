// The parser's queries, clauses and patterns (see parser_impl.hpp).
#include "cypher/parser.hpp"

#include "cypher/parser_impl.hpp"

namespace vk::cypher {

namespace parsing {

void Parser::parse_top() {
    std::vector<Part> parts;
    bool has_union = false;
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
        q_.union_all = all;
    }
    const bool semicolon = accept(";");
    BAIL();
    if (tok_.kind != Tok::End) return unexpected(semicolon ? "end of query" : "a clause");
    q_.parts = std::move(parts);
}

bool Parser::starts_clause(const Token& t) {
    return t.is("MATCH") || t.is("OPTIONAL") || t.is("UNWIND") || t.is("WITH") ||
           t.is("RETURN") || t.is("CREATE") || t.is("MERGE") || t.is("SET") ||
           t.is("REMOVE") || t.is("DELETE") || t.is("DETACH");
}

Range Parser::parse_clauses(bool in_sub) {
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

Idx Parser::parse_clause() {
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

void Parser::parse_projection(Clause& c) {
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

void Parser::parse_set_items(std::vector<SetItem>& out, bool remove) {
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

Idx Parser::parse_name(std::string_view what, bool variable) {
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

Range Parser::parse_pattern() {
    std::vector<PathPat> paths;
    do {
        paths.push_back(parse_path());
        BAIL({});
    } while (accept(","));
    BAIL({});
    return append(q_.paths, paths);
}

PathPat Parser::parse_path() {
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
        p.fn_pos = tok_.pos;
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

void Parser::parse_chain(PathPat& p) {
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

NodePat Parser::parse_node() {
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

Idx Parser::parse_props() {
    if (tok_.kind == Tok::Param) return parse_atom();
    return parse_map_literal();
}

Range Parser::parse_label_groups(bool in_expr) {
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

Label Parser::parse_label() {
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

RelPat Parser::parse_rel() {
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

bool Parser::hop_count(int64_t& out) {
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

void Parser::parse_hops(RelPat& r) {
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

bool Parser::node_then_rel(Lexer l) {
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

Idx Parser::pattern_sub(Range paths, Idx where, Pos pos) {
    Clause c{};
    c.kind = ClauseKind::Match;
    c.pos = pos;
    c.pattern = paths;
    c.where = where;
    Idx ci = add_clause(c);
    q_.subs.push_back(Subquery{add_list({ci})});
    return Idx(q_.subs.size() - 1);
}

bool Parser::is_reserved(const Token& t) {
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

}  // namespace parsing

bool parse_query(Query& q, Failure& f) { return parsing::Parser(q).run(f); }

}  // namespace vk::cypher
