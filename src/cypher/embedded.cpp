// The parser's and the checks' entry points for a standalone expression,
// and the builder's where read through them (embedded.hpp).
#include "cypher/embedded.hpp"

#include <string>

#include "cypher/checker.hpp"
#include "cypher/parser_impl.hpp"

namespace vk::cypher {

namespace parsing {

bool Parser::run_expression(Failure& f, Idx& root) {
    advance();
    if (!failed_) root = parse_expr();
    if (!failed_ && tok_.kind != Tok::End) unexpected("end of condition");
    if (failed_) {
        f = std::move(fail_);
        return false;
    }
    return true;
}

}  // namespace parsing

bool parse_expression(Query& q, Idx& root, Failure& f) {
    return parsing::Parser(q).run_expression(f, root);
}

namespace checking {

bool Checker::run_expression(Idx root, std::vector<FreeVariable>& free, uint32_t& nslots,
                             Failure& f) {
    free_ = &free;
    check_expr(root, Ctx{.place = "in a where condition"});
    free_ = nullptr;
    nslots = nslots_;
    if (failed_) {
        f = std::move(fail_);
        return false;
    }
    return true;
}

}  // namespace checking

bool check_expression(Query& q, Idx root, std::vector<FreeVariable>& free, uint32_t& nslots,
                      Failure& f) {
    return checking::Checker(q).run_expression(root, free, nslots, f);
}

namespace {

// `!=` outside string literals, backquoted names and comments becomes `<>`,
// an operator of the same length, so every position stays where it was.
std::string with_not_equal(std::string_view text) {
    std::string s(text);
    for (size_t i = 0; i < s.size(); ++i) {
        const char c = s[i];
        if (c == '\'' || c == '"') {
            for (++i; i < s.size() && s[i] != c; ++i) i += s[i] == '\\';
        } else if (c == '`') {
            i = std::min(s.find('`', i + 1), s.size());
        } else if (c == '/' && i + 1 < s.size() && s[i + 1] == '/') {
            i = std::min(s.find('\n', i), s.size());
        } else if (c == '/' && i + 1 < s.size() && s[i + 1] == '*') {
            size_t end = s.find("*/", i + 2);
            i = end == std::string::npos ? s.size() : end + 1;
        } else if (c == '!' && i + 1 < s.size() && s[i + 1] == '=') {
            s[i] = '<';
            s[i + 1] = '>';
        }
    }
    return s;
}

// What a where condition cannot hold: the first such expression in the text.
bool refuse_outside_reads(const Query& q, Failure& f) {
    const Expr* first = nullptr;
    for (const Expr& e : q.exprs) {
        const bool refused = e.kind == ExprKind::Param || e.kind == ExprKind::PatternPredicate ||
                             e.kind == ExprKind::Exists || e.kind == ExprKind::PatternComp;
        if (refused && (!first || e.pos.offset < first->pos.offset)) first = &e;
    }
    if (!first) return true;
    f.what = first->kind == ExprKind::Param
                 ? "a where condition takes no parameters, found $" + q.name(first->name)
                 : std::string("a where condition holds no pattern (match it instead)");
    f.pos = first->pos;
    return false;
}

}  // namespace

bool parse_embedded(std::string_view text, EmbeddedCondition& out, Failure& f) {
    out.q.text = with_not_equal(text);
    if (!parse_expression(out.q, out.root, f)) return false;
    if (!refuse_outside_reads(out.q, f)) return false;
    if (!check_expression(out.q, out.root, out.free, out.nslots, f)) return false;
    out.labels.labels.resize(out.q.labels.size());
    for (size_t i = 0; i < out.q.labels.size(); ++i) {
        LabelInfo& info = out.labels.labels[i];
        info.kind = LabelKind::Schema;
        info.text = out.q.name(out.q.labels[i].name);
        info.schema.pattern = "$" + info.text + "$";
    }
    return true;
}

int EmbeddedCondition::traverse(visitproc visit, void* arg) const {
    for (const Ref& c : q.consts) Py_VISIT(c.get());
    for (const Name& n : q.names) Py_VISIT(n.str.get());
    return 0;
}

EmbeddedRun::EmbeddedRun(const EmbeddedCondition& c, GraphView view)
    : cond_(c),
      row_(c.nslots),
      tests_(c.labels),
      ctx_{c.q, c.labels, tests_, row_.data(), nullptr, view, nullptr, nullptr, true} {}

}  // namespace vk::cypher
