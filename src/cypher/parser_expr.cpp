// The parser's expressions (see parser_impl.hpp): precedence climbing, one
// loop per level, so an operator chain at one level becomes one n-ary node.
#include "cypher/parser_impl.hpp"

namespace vk::cypher::parsing {

int Parser::level_of(const Token& t) const {
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

Op Parser::op_of(std::string_view p) {
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

Idx Parser::parse_condition() {
    const int saved = bar_ends_at_;
    bar_ends_at_ = depth_ + 1;
    Idx e = parse_expr();
    bar_ends_at_ = saved;
    return e;
}

Idx Parser::parse_expr() {
    Deeper guard(*this);
    BAIL(kNone);
    return parse_binary(kOr);
}

Idx Parser::parse_binary(int min) {
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

Idx Parser::parse_predicate(Idx lhs, Pos pos) {
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

Idx Parser::parse_prefix(int min) {
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

Idx Parser::parse_postfix() {
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

Idx Parser::literal(ExprKind k, PyObject* v) {
    Expr e = node(k, tok_.pos);
    if (v) e.value = add_const(v);
    BAIL(kNone);
    advance();
    return add(e);
}

PyObject* Parser::int_value(std::string_view text) {
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
        fail(tok_.pos, "integer literal of " + std::to_string(digits.size()) +
                           " digits exceeds the limit of Python's integer string conversion "
                           "(sys.set_int_max_str_digits)");
    }
    return v;
}

Idx Parser::parse_atom() {
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
        {
            const Py_ssize_t n = Py_ssize_t(t.value.size());
            return literal(ExprKind::Str, PyUnicode_DecodeUTF8(t.value.data(), n, nullptr));
        }
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
            if (peek().punct("(") || dotted_call()) return parse_call();
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

Idx Parser::parse_name_atom() {
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

Idx Parser::parse_map_literal() {
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

Idx Parser::parse_case() {
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

Idx Parser::parse_exists() {
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
// Whether the tokens ahead read `name.name...(`: a function named with a
// namespace (no such function exists, but the error should say so).
bool Parser::dotted_call() {
    Lexer l = lex_;
    Token t;
    LexError e;
    bool dotted = false;
    while (l.next(t, e) && t.punct(".")) {
        if (!l.next(t, e) || t.kind != Tok::Ident) return false;
        dotted = true;
    }
    return dotted && t.punct("(");
}

Idx Parser::parse_call() {
    Token name = tok_;
    Expr e = node(ExprKind::Call, tok_.pos);
    const uint32_t begin = tok_.pos.offset;
    advance();
    while (tok_.punct(".")) {  // a namespace (see dotted_call)
        advance();
        advance();
        name.kind = Tok::Quoted;  // so that it is no keyword below
    }
    BAIL(kNone);
    e.name = intern(std::string_view(q_.text).substr(begin, prev_end_ - begin));
    advance();  // '('
    BAIL(kNone);
    const bool quantifier =
        name.is("ALL") || name.is("ANY") || name.is("NONE") || name.is("SINGLE");
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
    // exists(pattern), the older spelling of a pattern predicate.
    if (name.is("EXISTS") && args.size() == 1 && !e.distinct &&
        q_.exprs[args[0]].kind == ExprKind::PatternPredicate)
        return args[0];
    e.kids = add_list(args);
    return add(e);
}

Idx Parser::parse_bracket() {
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

}  // namespace vk::cypher::parsing
