// schema_exact_type: the one type a schema text names, for creating a node
// from a label.
//
// The text is read by the matcher's forms, but once, without a type to test:
// a variable name gives that variable, an arrow gives the application of its
// two sides, and a parenthesised group gives what its inner schema names (a
// capture group names what the schema after its first ":" names; a group
// without ":" is plain grouping). A parenthesis only groups with the one that
// closes it, so "$(A -> B) -> C$" names ((A -> B) -> C). The wildcard names
// no one type, and so does any schema containing it.
//
// The reader is deliberately narrower than the matcher: where a text could
// be read in more than one way (unbalanced parentheses, a capture group whose
// first ":" sits inside a nested group, a name holding ":" or "(") it names
// nothing, so that whatever it names is a type the schema matches.
//
// Like the matcher it keeps its pending work on an explicit stack: the text
// is first laid out as a pre-order list of applications and names, then the
// types are built from the end of that list, so nesting of any depth costs
// no C stack. Each position's partner parenthesis and the next ":", "(" and
// "->" at or after it are found once, which keeps the whole read linear in
// the length of the text.
#include <string_view>
#include <vector>

#include "text.hpp"
#include "type_schema.hpp"

namespace vk {

namespace {

constexpr size_t kNone = std::string_view::npos;

class ExactReader {
public:
    explicit ExactReader(std::string_view s) : s_(s) {}

    TypeRef read() {
        if (!index()) return {};
        size_t b = 0, e = s_.size();
        trim_range(s_, b, e);
        std::string_view s = text(b, e);
        size_t n = s.size();
        bool delimited = n >= 2 && s.front() == '$' && s.back() == '$';
        if (delimited && !special(b + 1, e - 1)) {
            if (!leaf(b + 1, e - 1)) return {};
        } else if (n >= 4 && s[1] == '(' && s[n - 2] == ')' && delimited &&
                   partner_[b + 1] == e - 2) {
            if (!walk({b + 2, e - 2, Form::GroupBody})) return {};
        } else if (arrow_in(b, e) == kNone) {
            // A plain name such as "Person"; "*" alone is taken as the wildcard.
            if (next_colon_[b] < e || next_open_[b] < e || !leaf(b, e)) return {};
        } else if (!walk(delimited ? Range{b + 1, e - 1, Form::Arrow} : Range{b, e, Form::Arrow})) {
            return {};
        }
        return build();
    }

private:
    enum class Form { Wrapped, GroupBody, Arrow };
    struct Range {
        size_t b, e;
        Form form;
    };
    // One entry of the pre-order layout: an application of the two entries'
    // types that follow it, or a variable named by [b, e).
    struct Step {
        bool app;
        size_t b, e;
    };

    std::string_view text(size_t b, size_t e) const { return s_.substr(b, e - b); }

    // Pairs the parentheses and fills the next-position tables; false when
    // the parentheses do not balance.
    bool index() {
        size_t n = s_.size();
        partner_.assign(n + 1, kNone);
        next_colon_.assign(n + 1, kNone);
        next_open_.assign(n + 1, kNone);
        next_arrow_.assign(n + 1, kNone);
        std::vector<size_t> open;
        for (size_t i = 0; i < n; ++i) {
            if (s_[i] == '(') {
                open.push_back(i);
            } else if (s_[i] == ')') {
                if (open.empty()) return false;
                partner_[open.back()] = i;
                partner_[i] = open.back();
                open.pop_back();
            }
        }
        if (!open.empty()) return false;
        for (size_t i = n; i-- > 0;) {
            next_colon_[i] = s_[i] == ':' ? i : next_colon_[i + 1];
            next_open_[i] = s_[i] == '(' ? i : next_open_[i + 1];
            next_arrow_[i] = s_[i] == '-' && i + 1 < n && s_[i + 1] == '>' ? i : next_arrow_[i + 1];
        }
        return true;
    }

    // The first "->" with both characters inside [b, e), or kNone.
    size_t arrow_in(size_t b, size_t e) const {
        size_t a = b < e ? next_arrow_[b] : kNone;
        return a != kNone && a + 1 < e ? a : kNone;
    }

    // Whether [b, e) holds a "->", a ":" or a "(".
    bool special(size_t b, size_t e) const {
        return b < e && (arrow_in(b, e) != kNone || next_colon_[b] < e || next_open_[b] < e);
    }

    // The position of the first `c` (or "->" when c is '-') outside every
    // parenthesised group of [b, e); kNone when there is none or when the
    // first such character in the text lies inside a group.
    size_t top_level(size_t b, size_t e, char c) const {
        for (size_t i = b; i < e; ++i) {
            if (s_[i] == '(') {
                i = partner_[i];  // balanced, so the partner exists
                if (i >= e) return kNone;
            } else if (s_[i] == ')') {
                return kNone;
            } else if (s_[i] == c && (c != '-' || (i + 1 < e && s_[i + 1] == '>'))) {
                return i;
            }
        }
        return kNone;
    }

    // A variable name: not empty and not the wildcard.
    bool leaf(size_t b, size_t e) {
        if (b >= e || text(b, e) == "*") return false;
        steps_.push_back({false, b, e});
        return true;
    }

    // Lays out the range in pre-order; false when it names no one type.
    bool walk(Range first) {
        std::vector<Range> pending{first};
        while (!pending.empty()) {
            Range r = pending.back();
            pending.pop_back();
            for (bool more = true; more;) {
                size_t b = r.b, e = r.e;
                switch (r.form) {
                    case Form::Wrapped:
                        if (!special(b, e)) {
                            if (!leaf(b, e)) return false;
                            more = false;
                        } else if (s_[b] == '(' && partner_[b] == e - 1) {
                            r = {b + 1, e - 1, Form::GroupBody};
                        } else if (arrow_in(b, e) != kNone) {
                            r.form = Form::Arrow;
                        } else {
                            return false;  // a name holding ":" or "("
                        }
                        break;
                    case Form::GroupBody: {
                        size_t colon = next_colon_[b];
                        if (colon < e) {
                            // A capture group: its first ":" must be its own.
                            if (top_level(b, e, ':') != colon) return false;
                            b = colon + 1;
                        }
                        trim_range(s_, b, e);
                        r = {b, e, Form::Wrapped};
                        break;
                    }
                    case Form::Arrow: {
                        if (e - b >= 2 && s_[b] == '(' && partner_[b] == e - 1) {
                            ++b;
                            --e;
                        }
                        size_t sp = top_level(b, e, '-');
                        if (sp == kNone) return false;
                        size_t lb = b, le = sp, rb = sp + 2, re = e;
                        trim_range(s_, lb, le);
                        trim_range(s_, rb, re);
                        steps_.push_back({true, 0, 0});
                        pending.push_back({rb, re, Form::Wrapped});
                        r = {lb, le, Form::Wrapped};
                        break;
                    }
                }
            }
        }
        return true;
    }

    TypeRef build() const {
        std::vector<TypeRef> done;
        for (size_t i = steps_.size(); i-- > 0;) {
            const Step& st = steps_[i];
            if (!st.app) {
                done.push_back(TypeRef::variable(text(st.b, st.e)));
                continue;
            }
            TypeRef left = std::move(done.back());
            done.pop_back();
            TypeRef right = std::move(done.back());
            done.back() = TypeRef::application(left, right);
        }
        return done.empty() ? TypeRef() : std::move(done.back());
    }

    std::string_view s_;
    std::vector<size_t> partner_, next_colon_, next_open_, next_arrow_;
    std::vector<Step> steps_;
};

}  // namespace

TypeRef schema_exact_type(std::string_view schema) { return ExactReader(schema).read(); }

}  // namespace vk
