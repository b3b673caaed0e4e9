// The condition language of where clauses.
//
// A condition is read in two steps. The lexer cuts the text into tokens:
// words (identifiers and keywords, keywords in any case), names in
// backquotes, string and number literals, type schemas in dollars, and
// punctuation. A '.' right after a word that is no keyword, or after a
// backquoted name, is property access; anywhere else it can only start a
// number. The parser then builds the tree by recursive descent over OR, XOR,
// AND, NOT, one predicate (a comparison, IS [NOT] NULL, IN, STARTS WITH,
// ENDS WITH, CONTAINS) and its operands. Literals become Python objects at
// parse time, so evaluation allocates nothing for them; list literals are
// copied afresh for each use, since the copy may reach user code (an __eq__)
// that could change it.
//
// Depth: parentheses and list brackets nest at most kMaxDepth levels (a
// syntax error beyond), so the recursive parser and evaluator stay within a
// small stack; a run of NOTs is folded into one node while it is read.
//
// Evaluation is three-valued: Python None is null, True and False are the
// booleans, and any other value counts as null to NOT, AND, XOR, OR and to
// the clause. Operands are evaluated left to right; AND stops at the first
// false operand, OR at the first true one, XOR at the first null, IN at the
// first equal item.
#include "query/condition.hpp"

#include <string>
#include <vector>

#include "host/args.hpp"
#include "text.hpp"

namespace vk {
namespace {

constexpr int kMaxDepth = 200;

// ----- lexer -------------------------------------------------------------------

enum class Tok : uint8_t {
    End, Word, Backquoted, String, Number, Schema,
    Dot, Colon, LParen, RParen, LBracket, RBracket, Comma,
    Eq, Ne, Lt, Le, Gt, Ge,
};

struct Token {
    Tok kind;
    size_t begin, end;  // byte offsets into the condition
    std::string text;   // Word, Backquoted, String: the name or the decoded text
    Ref value;          // Number: the int or float
};

const char* const kKeywords[] = {"and", "or",   "xor",      "not",  "is",    "null", "in",
                                 "starts", "ends", "with", "contains", "true", "false"};

bool is_keyword(const Token& t) {
    if (t.kind != Tok::Word) return false;
    for (const char* k : kKeywords) {
        if (equals_ignoring_case(t.text, k)) return true;
    }
    return false;
}

bool is_word(const Token& t, std::string_view lower) {
    return t.kind == Tok::Word && equals_ignoring_case(t.text, lower);
}

class Lexer {
public:
    explicit Lexer(std::string_view s) : s_(s) {}

    Status run(std::vector<Token>& out) {
        for (;;) {
            while (size_t n = white_space_at(s_, pos_)) pos_ += n;
            Token t{Tok::End, pos_, pos_, {}, {}};
            if (pos_ < s_.size()) {
                Status st = next(t, out.empty() ? nullptr : &out.back());
                if (!st) return st;
            }
            t.end = pos_;
            out.push_back(std::move(t));
            if (out.back().kind == Tok::End) return ok_status();
        }
    }

    // The character position of a byte offset, as Python indexes the text.
    static size_t char_pos(std::string_view s, size_t offset) {
        size_t n = 0;
        for (size_t i = 0; i < offset && i < s.size(); ++i) n += (s[i] & 0xC0) != 0x80;
        return n;
    }

    VelkoraError fail(const std::string& what, size_t at) const {
        return VelkoraError::invalid_query(
            what + " at position " + std::to_string(char_pos(s_, at)),
            "condition '" + std::string(s_) + "'");
    }

private:
    bool at(size_t i, char c) const { return i < s_.size() && s_[i] == c; }

    Status next(Token& t, const Token* previous) {
        const size_t start = pos_;
        const char c = s_[pos_];
        size_t len;
        auto one = [&](Tok k, size_t n = 1) {
            t.kind = k;
            pos_ += n;
            return ok_status();
        };
        switch (c) {
            case '(': return one(Tok::LParen);
            case ')': return one(Tok::RParen);
            case '[': return one(Tok::LBracket);
            case ']': return one(Tok::RBracket);
            case ',': return one(Tok::Comma);
            case ':': return one(Tok::Colon);
            case '=': return one(Tok::Eq);
            case '<':
                if (at(pos_ + 1, '>')) return one(Tok::Ne, 2);
                if (at(pos_ + 1, '=')) return one(Tok::Le, 2);
                return one(Tok::Lt);
            case '>': return at(pos_ + 1, '=') ? one(Tok::Ge, 2) : one(Tok::Gt);
            case '!':
                if (at(pos_ + 1, '=')) return one(Tok::Ne, 2);
                break;
            case '\'':
            case '"': return string(t);
            case '`': return quoted(t, '`', Tok::Backquoted, "unterminated name in backquotes");
            case '$': return quoted(t, '$', Tok::Schema, "unterminated type schema");
            case '.':
                // Only a variable takes a key; keywords are never variables.
                if (previous && (previous->kind == Tok::Backquoted ||
                                 (previous->kind == Tok::Word && !is_keyword(*previous)))) {
                    return one(Tok::Dot);
                }
                break;
            default:
                if (identifier_char(s_, pos_, len, true)) {
                    while (pos_ < s_.size() && identifier_char(s_, pos_, len, false)) pos_ += len;
                    t.kind = Tok::Word;
                    t.text = std::string(s_.substr(start, pos_ - start));
                    return ok_status();
                }
                break;
        }
        if (ascii_digit(c) || c == '.' || c == '+' || c == '-') {
            size_t i = pos_ + (c == '+' || c == '-');
            if (i < s_.size() && ascii_digit(s_[i])) return number(t);
            if (at(i, '.') && i + 1 < s_.size() && ascii_digit(s_[i + 1])) return number(t);
        }
        decode_utf8(s_, pos_, len);
        return fail("unexpected character '" + std::string(s_.substr(pos_, len)) + "'", pos_);
    }

    // [+-] digits [. digits] [e [+-] digits], also "1." and ".5".
    Status number(Token& t) {
        const size_t start = pos_;
        size_t i = pos_;
        if (at(i, '+') || at(i, '-')) ++i;
        bool is_float = false;
        while (i < s_.size() && ascii_digit(s_[i])) ++i;
        if (at(i, '.')) {
            is_float = true;
            for (++i; i < s_.size() && ascii_digit(s_[i]); ++i) {}
        }
        if (at(i, 'e') || at(i, 'E')) {
            size_t j = i + 1;
            if (at(j, '+') || at(j, '-')) ++j;
            if (j < s_.size() && ascii_digit(s_[j])) {
                is_float = true;
                for (i = j; i < s_.size() && ascii_digit(s_[i]); ++i) {}
            }
        }
        size_t len;
        if (at(i, '.') || (i < s_.size() && identifier_char(s_, i, len, false))) {
            // A number runs into letters or a second dot: report the whole word.
            while (i < s_.size() && (s_[i] == '.' || identifier_char(s_, i, len, false))) {
                i += s_[i] == '.' ? 1 : len;
            }
            return fail("invalid number '" + std::string(s_.substr(start, i - start)) + "'", start);
        }
        pos_ = i;
        std::string digits(s_.substr(start, i - start));
        if (is_float) {
            double d = PyOS_string_to_double(digits.c_str(), nullptr, nullptr);
            if (d == -1.0 && PyErr_Occurred()) return PyErrorSet{};
            t.value = Ref::steal(PyFloat_FromDouble(d));
        } else {
            t.value = Ref::steal(PyLong_FromString(digits.c_str(), nullptr, 10));
        }
        if (!t.value) return PyErrorSet{};
        t.kind = Tok::Number;
        return ok_status();
    }

    // '...' or "..." with the escapes \\ \' \" \n \t.
    Status string(Token& t) {
        size_t bad;
        size_t end = read_string_literal(s_, pos_, t.text, bad);
        if (end == std::string_view::npos) {
            if (bad == std::string_view::npos) return fail("unterminated string", pos_);
            size_t len;
            decode_utf8(s_, bad + 1, len);
            return fail("invalid escape '\\" + std::string(s_.substr(bad + 1, len)) + "' in string",
                        bad);
        }
        pos_ = end;
        t.kind = Tok::String;
        return ok_status();
    }

    // Text up to the next `close`, nothing escaped. A schema keeps its
    // dollars; a backquoted name is the text between the quotes.
    Status quoted(Token& t, char close, Tok kind, const char* unterminated) {
        const size_t start = pos_;
        size_t end = s_.find(close, pos_ + 1);
        if (end == std::string_view::npos) return fail(unterminated, start);
        pos_ = end + 1;
        t.kind = kind;
        t.text = kind == Tok::Schema ? std::string(s_.substr(start, pos_ - start))
                                     : std::string(s_.substr(start + 1, end - start - 1));
        return ok_status();
    }

    std::string_view s_;
    size_t pos_ = 0;
};

// ----- parser ------------------------------------------------------------------

class Parser {
public:
    Parser(std::string_view text, const Lexer& lexer, std::vector<Token>& toks, ConditionTree& t)
        : text_(text), lexer_(lexer), toks_(toks), t_(t) {}

    Status run() {
        if (toks_.front().kind == Tok::End) {
            return VelkoraError::invalid_query("empty condition",
                                               "condition '" + std::string(text_) + "'");
        }
        Status s = logical(CondOp::Or, t_.root);
        if (!s) return s;
        if (peek().kind != Tok::End) return unexpected();
        return ok_status();
    }

private:
    const Token& peek() const { return toks_[i_]; }
    Token& take() { return toks_[i_++]; }

    VelkoraError unexpected() const {
        const Token& t = peek();
        if (t.kind == Tok::End) return lexer_.fail("unexpected end of condition", t.begin);
        return lexer_.fail("unexpected '" + std::string(text_.substr(t.begin, t.end - t.begin)) +
                               "'",
                           t.begin);
    }

    uint32_t add(CondOp op, Ref value = Ref()) {
        t_.nodes.push_back(CondNode{op, 0, 0, 0, std::move(value), {}});
        return static_cast<uint32_t>(t_.nodes.size() - 1);
    }

    uint32_t add_with(CondOp op, const uint32_t* operands, uint32_t count) {
        uint32_t n = add(op);
        t_.nodes[n].first = static_cast<uint32_t>(t_.args.size());
        t_.nodes[n].count = count;
        t_.args.insert(t_.args.end(), operands, operands + count);
        return n;
    }

    // OR over XOR over AND over NOT, each a flat run of operands.
    Status logical(CondOp op, uint32_t& out) {
        const char* word = op == CondOp::Or ? "or" : op == CondOp::Xor ? "xor" : "and";
        std::vector<uint32_t> operands;
        for (;;) {
            uint32_t n;
            Status s = op == CondOp::Or    ? logical(CondOp::Xor, n)
                       : op == CondOp::Xor ? logical(CondOp::And, n)
                                           : negation(n);
            if (!s) return s;
            operands.push_back(n);
            if (!is_word(peek(), word)) break;
            ++i_;
        }
        out = operands.size() == 1 ? operands[0]
                                   : add_with(op, operands.data(), (uint32_t)operands.size());
        return ok_status();
    }

    // A run of NOTs folds into one node: an odd run negates, an even run only
    // turns a value that is not a boolean into null.
    Status negation(uint32_t& out) {
        size_t nots = 0;
        while (is_word(peek(), "not")) {
            ++nots;
            ++i_;
        }
        Status s = predicate(out);
        if (!s || nots == 0) return s;
        uint32_t operand = out;
        out = add_with(nots % 2 ? CondOp::Not : CondOp::And, &operand, 1);
        return ok_status();
    }

    Status predicate(uint32_t& out) {
        uint32_t lhs;
        Status s = operand(lhs);
        if (!s) return s;
        const Token& t = peek();
        CondOp op;
        switch (t.kind) {
            case Tok::Eq: op = CondOp::Eq; break;
            case Tok::Ne: op = CondOp::Ne; break;
            case Tok::Lt: op = CondOp::Lt; break;
            case Tok::Le: op = CondOp::Le; break;
            case Tok::Gt: op = CondOp::Gt; break;
            case Tok::Ge: op = CondOp::Ge; break;
            default:
                if (is_word(t, "is")) {
                    ++i_;
                    op = CondOp::IsNull;
                    if (is_word(peek(), "not")) {
                        ++i_;
                        op = CondOp::IsNotNull;
                    }
                    if (!is_word(peek(), "null")) return unexpected();
                    ++i_;
                    out = add_with(op, &lhs, 1);
                    return ok_status();
                }
                if (is_word(t, "in")) {
                    op = CondOp::In;
                } else if (is_word(t, "contains")) {
                    op = CondOp::Contains;
                } else if (is_word(t, "starts") || is_word(t, "ends")) {
                    op = is_word(t, "starts") ? CondOp::StartsWith : CondOp::EndsWith;
                    ++i_;
                    if (!is_word(peek(), "with")) return unexpected();
                } else {
                    out = lhs;
                    return ok_status();
                }
        }
        ++i_;
        uint32_t operands[2] = {lhs, 0};
        s = operand(operands[1]);
        if (!s) return s;
        out = add_with(op, operands, 2);
        return ok_status();
    }

    Status operand(uint32_t& out) {
        Token& t = peek_mut();
        switch (t.kind) {
            case Tok::LParen: {
                Status s = enter(t);
                if (!s) return s;
                ++i_;
                s = logical(CondOp::Or, out);
                if (!s) return s;
                if (peek().kind != Tok::RParen) return unexpected();
                ++i_;
                --depth_;
                return ok_status();
            }
            case Tok::Word:
                if (is_keyword(t)) break;
                [[fallthrough]];
            case Tok::Backquoted:
                return variable(out);
            default:
                break;
        }
        Ref value;
        Status s = literal(value);
        if (!s) return s;
        const CondOp op = PyList_CheckExact(value.get()) ? CondOp::ListConst : CondOp::Const;
        out = add(op, std::move(value));
        return ok_status();
    }

    Token& peek_mut() { return toks_[i_]; }

    Status enter(const Token& t) {
        if (++depth_ > kMaxDepth) {
            return lexer_.fail("nested more than " + std::to_string(kMaxDepth) + " levels deep",
                               t.begin);
        }
        return ok_status();
    }

    // A number, a string, true, false, null or a list of literals.
    Status literal(Ref& out) {
        Token& t = take();
        switch (t.kind) {
            case Tok::Number: out = std::move(t.value); return ok_status();
            case Tok::String:
                out = Ref::steal(to_py(t.text));
                return out ? ok_status() : Status(PyErrorSet{});
            case Tok::LBracket: return list(t, out);
            default: break;
        }
        PyObject* constant = is_word(t, "true")    ? Py_True
                             : is_word(t, "false") ? Py_False
                             : is_word(t, "null")  ? Py_None
                                                   : nullptr;
        if (!constant) {
            --i_;
            return unexpected();
        }
        out = Ref::borrow(constant);
        return ok_status();
    }

    Status list(const Token& open, Ref& out) {
        Status s = enter(open);
        if (!s) return s;
        out = Ref::steal(PyList_New(0));
        if (!out) return PyErrorSet{};
        if (peek().kind != Tok::RBracket) {
            for (;;) {
                Ref item;
                s = literal(item);
                if (!s) return s;
                if (PyList_Append(out.get(), item.get()) < 0) return PyErrorSet{};
                if (peek().kind != Tok::Comma) break;
                ++i_;
            }
        }
        if (peek().kind != Tok::RBracket) return unexpected();
        ++i_;
        --depth_;
        return ok_status();
    }

    // v.key or v:Label / v:`Label` / v:$schema$.
    Status variable(uint32_t& out) {
        const Token& name = take();
        const Tok sep = peek().kind;
        if (sep != Tok::Dot && sep != Tok::Colon) {
            return lexer_.fail(
                "variable '" + name.text + "' must be followed by '.key' or ':Label'", name.begin);
        }
        ++i_;
        const Token& what = peek();
        const bool named = what.kind == Tok::Word || what.kind == Tok::Backquoted;
        if (sep == Tok::Dot && named) {
            Ref key = Ref::steal(to_py(what.text));
            if (!key) return PyErrorSet{};
            out = add(CondOp::Property, std::move(key));
        } else if (sep == Tok::Colon && (named || what.kind == Tok::Schema)) {
            out = add(CondOp::TypeTest);
            t_.nodes[out].schema.pattern =
                what.kind == Tok::Schema ? what.text : "$" + what.text + "$";
            t_.nodes[out].test = t_.type_tests++;
        } else if (sep == Tok::Dot) {
            return lexer_.fail("expected a property key after '.'", what.begin);
        } else {
            return lexer_.fail("expected a label or type schema after ':'", what.begin);
        }
        ++i_;
        uint32_t slot = 0;
        while (slot < t_.variables.size() && t_.variables[slot] != name.text) ++slot;
        if (slot == t_.variables.size()) t_.variables.push_back(name.text);
        t_.nodes[out].slot = slot;
        return ok_status();
    }

    std::string_view text_;
    const Lexer& lexer_;
    std::vector<Token>& toks_;
    ConditionTree& t_;
    size_t i_ = 0;
    int depth_ = 0;
};

}  // namespace

Result<Box<ConditionTree>> parse_condition(std::string_view text) {
    ConditionTree tree;
    Lexer lexer(text);
    std::vector<Token> toks;
    Status s = lexer.run(toks);
    if (!s) return PyErrorSet{};
    s = Parser(text, lexer, toks, tree).run();
    if (!s) return PyErrorSet{};
    Box<ConditionTree> boxed;
    if (!Box<ConditionTree>::make(boxed, std::move(tree))) return PyErrorSet{};
    return boxed;
}

int BoxOps<ConditionTree>::traverse(const ConditionTree& t, visitproc visit, void* arg) {
    for (const CondNode& n : t.nodes) Py_VISIT(n.value.get());
    return 0;
}

// ----- evaluation ------------------------------------------------------------------

namespace {

enum Truth { False = 0, True = 1, Null = 2 };

Truth truth_of(PyObject* v) { return v == Py_True ? True : v == Py_False ? False : Null; }

PyObject* new_bool(bool b) { return Py_NewRef(b ? Py_True : Py_False); }
PyObject* new_truth(Truth t) { return Py_NewRef(t == Null ? Py_None : t ? Py_True : Py_False); }

// A list literal copied with every nested list, so user code never holds
// the tree's own objects. Nesting is bounded by the parser.
PyObject* fresh(PyObject* v) {
    if (!PyList_CheckExact(v)) return Py_NewRef(v);
    Py_ssize_t n = PyList_GET_SIZE(v);
    Ref out = Ref::steal(PyList_New(n));
    if (!out) return nullptr;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* item = fresh(PyList_GET_ITEM(v, i));
        if (!item) return nullptr;
        PyList_SET_ITEM(out.get(), i, item);
    }
    return out.release();
}

class Evaluator {
public:
    Evaluator(const ConditionTree& t, TypeTests& tests, const BindingList* const* lists, size_t pos)
        : t_(t), tests_(tests), lists_(lists), pos_(pos) {}

    // A new reference, or null with an exception set.
    PyObject* eval(uint32_t i) {
        const CondNode& n = t_.nodes[i];
        const uint32_t* a = t_.args.data() + n.first;
        switch (n.op) {
            case CondOp::Const: return Py_NewRef(n.value.get());
            case CondOp::ListConst: return fresh(n.value.get());
            case CondOp::Property: return property(n);
            case CondOp::TypeTest: return type_test(n);
            case CondOp::Eq:
            case CondOp::Ne: return equality(a, n.op == CondOp::Ne);
            case CondOp::Lt: return ordering(a, Py_LT);
            case CondOp::Le: return ordering(a, Py_LE);
            case CondOp::Gt: return ordering(a, Py_GT);
            case CondOp::Ge: return ordering(a, Py_GE);
            case CondOp::IsNull:
            case CondOp::IsNotNull: {
                Ref v = Ref::steal(eval(a[0]));
                if (!v) return nullptr;
                return new_bool((v.get() == Py_None) == (n.op == CondOp::IsNull));
            }
            case CondOp::In: return in(a);
            case CondOp::StartsWith:
            case CondOp::EndsWith:
            case CondOp::Contains: return text_test(a, n.op);
            case CondOp::Not:
            case CondOp::And:
            case CondOp::Or:
            case CondOp::Xor: return logical(n, a);
        }
        return new_truth(Null);
    }

private:
    const QueryResult& binding(uint32_t slot) const { return (*lists_[slot])[pos_]; }

    PyObject* property(const CondNode& n) {
        PyObject* props = binding_properties(binding(n.slot));
        PyObject* found = PyDict_GetItemWithError(props, n.value.get());
        if (!found) return PyErr_Occurred() ? nullptr : Py_NewRef(Py_None);
        return Py_NewRef(found);
    }

    PyObject* type_test(const CondNode& n) {
        const QueryResult& r = binding(n.slot);
        const NodeValue* node = std::get_if<NodeValue>(&r);
        const TypeNode* type = node ? node->type().get() : std::get<EdgeValue>(r).term().type.get();
        return new_bool(tests_.matches(n, type));
    }

    // Both operands, left first; `null` tells whether either is null.
    Status operands(const uint32_t* a, Ref& l, Ref& r, bool& null) {
        l = Ref::steal(eval(a[0]));
        if (!l) return PyErrorSet{};
        r = Ref::steal(eval(a[1]));
        if (!r) return PyErrorSet{};
        null = l.get() == Py_None || r.get() == Py_None;
        return ok_status();
    }

    PyObject* equality(const uint32_t* a, bool negate) {
        Ref l, r;
        bool null;
        if (!operands(a, l, r, null)) return nullptr;
        if (null) return new_truth(Null);
        int eq = equal(l.get(), r.get());
        return eq < 0 ? nullptr : new_bool((eq > 0) != negate);
    }

    // Python's ==, left operand first; no identity shortcut.
    static int equal(PyObject* l, PyObject* r) {
        Ref res = Ref::steal(PyObject_RichCompare(l, r, Py_EQ));
        return res ? PyObject_IsTrue(res.get()) : -1;
    }

    PyObject* ordering(const uint32_t* a, int op) {
        Ref l, r;
        bool null;
        if (!operands(a, l, r, null)) return nullptr;
        if (null) return new_truth(Null);
        Ref res = Ref::steal(PyObject_RichCompare(l.get(), r.get(), op));
        if (!res) {
            // Values Python cannot order against each other compare as null.
            if (!PyErr_ExceptionMatches(PyExc_TypeError)) return nullptr;
            PyErr_Clear();
            return new_truth(Null);
        }
        int b = PyObject_IsTrue(res.get());
        return b < 0 ? nullptr : new_bool(b > 0);
    }

    // x IN list: the list's items are compared one at a time, by index,
    // since an __eq__ may change the list while it is searched.
    PyObject* in(const uint32_t* a) {
        Ref x = Ref::steal(eval(a[0]));
        if (!x) return nullptr;
        const CondNode& rhs = t_.nodes[a[1]];
        // A list literal is searched without building it; its nested lists
        // are still copied before they meet user code.
        Ref list = rhs.op == CondOp::ListConst ? rhs.value.copy() : Ref::steal(eval(a[1]));
        if (!list) return nullptr;
        if (x.get() == Py_None || !PyList_Check(list.get())) return new_truth(Null);
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list.get()); ++i) {
            Ref item = Ref::borrow(PyList_GET_ITEM(list.get(), i));
            if (rhs.op == CondOp::ListConst) item = Ref::steal(fresh(item.get()));
            if (!item) return nullptr;
            int eq = equal(x.get(), item.get());
            if (eq != 0) return eq < 0 ? nullptr : new_bool(true);
        }
        return new_bool(false);
    }

    PyObject* text_test(const uint32_t* a, CondOp op) {
        Ref l, r;
        bool null;
        if (!operands(a, l, r, null)) return nullptr;
        if (!PyUnicode_Check(l.get()) || !PyUnicode_Check(r.get())) return new_truth(Null);
        Py_ssize_t m = op == CondOp::Contains
                           ? PyUnicode_Contains(l.get(), r.get())
                           : PyUnicode_Tailmatch(l.get(), r.get(), 0, PY_SSIZE_T_MAX,
                                                 op == CondOp::StartsWith ? -1 : 1);
        return m < 0 ? nullptr : new_bool(m > 0);
    }

    // NOT, AND, XOR, OR. A one-operand AND is an even run of NOTs: the
    // operand's truth unchanged.
    PyObject* logical(const CondNode& n, const uint32_t* a) {
        Truth acc = n.op == CondOp::Or ? False : n.op == CondOp::Xor ? False : True;
        bool null = false;
        for (uint32_t k = 0; k < n.count; ++k) {
            Ref v = Ref::steal(eval(a[k]));
            if (!v) return nullptr;
            Truth t = truth_of(v.get());
            switch (n.op) {
                case CondOp::Not: return new_truth(t == Null ? Null : t == True ? False : True);
                case CondOp::And:
                    if (t == False) return new_truth(False);
                    null = null || t == Null;
                    break;
                case CondOp::Or:
                    if (t == True) return new_truth(True);
                    null = null || t == Null;
                    break;
                default:  // Xor
                    if (t == Null) return new_truth(Null);
                    acc = acc == t ? False : True;
                    break;
            }
        }
        return new_truth(null ? Null : acc);
    }

    const ConditionTree& t_;
    TypeTests& tests_;
    const BindingList* const* lists_;
    size_t pos_;
};

}  // namespace

TypeTests::TypeTests(const ConditionTree& t) {
    tests_.reserve(t.type_tests);
    for (const CondNode& n : t.nodes) {
        if (n.op == CondOp::TypeTest) tests_.emplace_back(&n.schema);
    }
}

int condition_holds(const ConditionTree& t, TypeTests& tests, const BindingList* const* lists,
                    size_t pos) {
    PyObject* v = Evaluator(t, tests, lists, pos).eval(t.root);
    if (!v) return -1;
    int holds = v == Py_True;
    Py_DECREF(v);
    return holds;
}

}  // namespace vk
