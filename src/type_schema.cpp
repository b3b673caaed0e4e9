// The schema matcher.
//
// A schema is matched on its text directly. Every form of the notation is
// either a leaf test (the wildcard, a variable name) or a conjunction of
// sub-matches (a capture group matches its inner text and then records the
// type; a group without a ":" only groups; an arrow matches its left side
// and then its right side). A text is read as a group only when its opening
// and closing parentheses belong together, the one closing the other, so
// "(x:*) -> (y:*)" is an arrow between two groups, not one group. So the
// matcher keeps an explicit stack of pending work instead of recursing: the
// first failing test ends the whole match, captures are recorded innermost
// first and left before right, and a schema nested any number of levels deep
// costs no C stack.
//
// Sub-schemas are ranges of the schema text. A sub-pattern is matched as
// the trimmed sub-pattern wrapped in "$" delimiters; rather than build that
// string, a task keeps the range X and the matcher tests "$X$" through
// X (the delimiters hold no "->", ":" or "(", so every test carries over).
//
// Short ranges are scanned directly. When a range is long, an index of the
// positions of "(", ")", ":" and "->" (and of the ")" closing each "(") is
// built once for the match, so finding the top-level arrow of a deeply nested
// group, or whether a group's parentheses belong together, is a binary search
// rather than a walk over the group: a schema nested thousands of levels deep
// matches in time close to linear in its length.
//
// The one type a schema names (schema_exact_type) is read by the same walk:
// the matcher asks its questions of a type through an answering policy, and
// the reader's policy answers each "is this the variable X?" and "is this an
// application?" with yes, writing the answer down, and the wildcard's
// question with no. The type so laid out passes every test of the walk, and
// no other type does.
#include "type_schema.hpp"

#include <algorithm>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "host/args.hpp"
#include "host/pytype.hpp"
#include "host/ref.hpp"
#include "pickling.hpp"
#include "text.hpp"

namespace vk {

PyTypeObject* TypeSchemaType = nullptr;

namespace {

constexpr size_t kNone = std::string_view::npos;
// Ranges shorter than this are scanned directly, without the index.
constexpr size_t kDirectScan = 256;

// Positions of the characters the matcher looks for, in increasing order.
class TextIndex {
public:
    explicit TextIndex(std::string_view s) {
        ptrdiff_t depth = 0;
        std::vector<size_t> unclosed;  // indexes into opens_
        for (size_t i = 0; i < s.size(); ++i) {
            switch (s[i]) {
                case '(':
                    unclosed.push_back(opens_.size());
                    opens_.push_back(i);
                    closing_.push_back(kNone);
                    ++depth;
                    break;
                case ')':
                    closes_.push_back(i);
                    if (!unclosed.empty()) {
                        closing_[unclosed.back()] = i;
                        unclosed.pop_back();
                    }
                    --depth;
                    break;
                case ':':
                    colons_.push_back(i);
                    colon_depths_.push_back({depth, i});
                    break;
                case '-':
                    if (i + 1 < s.size() && s[i + 1] == '>') {
                        arrows_.push_back(i);
                        arrow_depths_.push_back({depth, i});
                    }
                    break;
                default: break;
            }
        }
        std::sort(arrow_depths_.begin(), arrow_depths_.end());
        std::sort(colon_depths_.begin(), colon_depths_.end());
    }

    size_t first_open(size_t b, size_t e) const { return first(opens_, b, e); }
    // The position of the ")" closing the "(" at `open`, or kNone.
    size_t closing(size_t open) const {
        return closing_[std::lower_bound(opens_.begin(), opens_.end(), open) - opens_.begin()];
    }
    size_t first_colon(size_t b, size_t e) const { return first(colons_, b, e); }
    // An arrow needs both of its characters inside the range.
    size_t first_arrow(size_t b, size_t e) const { return e ? first(arrows_, b, e - 1) : kNone; }

    // The first arrow (c is '-') or ":" in [b, e) with as many "(" as ")"
    // between b and it.
    size_t top_level(char c, size_t b, size_t e) const {
        const auto& v = c == '-' ? arrow_depths_ : colon_depths_;
        size_t width = c == '-' ? 2 : 1;
        ptrdiff_t d = count_before(opens_, b) - count_before(closes_, b);
        auto it = std::lower_bound(v.begin(), v.end(), std::make_pair(d, b));
        if (it == v.end() || it->first != d || it->second + width > e) return kNone;
        return it->second;
    }

private:
    static size_t first(const std::vector<size_t>& v, size_t b, size_t e) {
        auto it = std::lower_bound(v.begin(), v.end(), b);
        return (it != v.end() && *it < e) ? *it : kNone;
    }
    static ptrdiff_t count_before(const std::vector<size_t>& v, size_t b) {
        return std::lower_bound(v.begin(), v.end(), b) - v.begin();
    }

    std::vector<size_t> opens_, closes_, colons_, arrows_;
    std::vector<size_t> closing_;  // per "(" in opens_: its ")", or kNone
    // (depth, position) of each arrow and of each ":"
    std::vector<std::pair<ptrdiff_t, size_t>> arrow_depths_, colon_depths_;
};

// A capture recorded during a match: the name's range and the matched type.
struct Record {
    size_t b, e;
    const TypeNode* t;
};

// What the matcher asks of the type at each place of the schema: whether it
// is a variable of a given name, or an application (then the same questions
// go to its two sides). A match answers them from a type (TypeAnswers);
// the reader of exact types answers yes to each and writes the answer down
// (TypeLayout), so that the type it builds is the one type that passes every
// test, and only that one: the two cannot disagree, since they are one walk.
// `Place` names a place of the type; `kDecided` marks a task with nothing
// left to test.
struct TypeAnswers {
    using Place = const TypeNode*;
    static constexpr Place kDecided = nullptr;
    std::vector<Record>* records;

    // The wildcard: any type.
    static bool any(Place) { return true; }
    static bool variable(Place t, std::string_view name) {
        return !t->is_app() && t->name() == name;
    }
    // The variable named "$" + x + "$".
    static bool delimited_variable(Place t, std::string_view x) {
        const size_t n = x.size();
        return !t->is_app() && t->name().size() == n + 2 && t->name().front() == '$' &&
               t->name().back() == '$' && t->name().compare(1, n, x) == 0;
    }
    static bool application(Place t, Place& left, Place& right) {
        if (!t->is_app()) return false;
        left = t->left();
        right = t->right();
        return true;
    }
    bool recording() const { return records != nullptr; }
    void record(size_t b, size_t e, Place t) { records->push_back({b, e, t}); }
};

// The answers of the reader of exact types: each place of the type is a
// slot, laid out as the walk reaches it (an application's sides after it).
class TypeLayout {
public:
    using Place = size_t;
    static constexpr Place kDecided = kNone;

    Place root() {
        slots_.assign(1, Slot{});
        return 0;
    }
    // The wildcard names no one type.
    static bool any(Place) { return false; }
    bool variable(Place p, std::string_view name) {
        slots_[p].name.assign(name);
        return true;
    }
    bool delimited_variable(Place p, std::string_view x) {
        std::string name(x.size() + 2, '$');
        x.copy(name.data() + 1, x.size());
        slots_[p].name = std::move(name);
        return true;
    }
    bool application(Place p, Place& left, Place& right) {
        left = slots_.size();
        right = left + 1;
        slots_[p].app = true;
        slots_[p].left = left;
        slots_.resize(slots_.size() + 2);
        return true;
    }
    static bool recording() { return false; }
    static void record(size_t, size_t, Place) {}

    // The type laid out, built from the last slot back (every side comes
    // after its application), so that no depth costs C stack.
    TypeRef build() const {
        std::vector<TypeRef> built(slots_.size());
        for (size_t i = slots_.size(); i-- > 0;) {
            const Slot& sl = slots_[i];
            if (!sl.app) {
                built[i] = TypeRef::variable(sl.name);
                continue;
            }
            built[i] = TypeRef::application(built[sl.left], built[sl.left + 1]);
            built[sl.left] = TypeRef();
            built[sl.left + 1] = TypeRef();
        }
        return std::move(built[0]);
    }

private:
    struct Slot {
        bool app = false;
        size_t left = 0;  // app: the left side's slot; the right side's follows it
        std::string name;
    };
    std::vector<Slot> slots_;
};

// Pending work: match the wrapped range [b, e) against the place t, or
// record it as a capture name for t.
template <class Place>
struct TaskOf {
    size_t b, e;
    Place t;
    bool record;
};

// A LIFO stack that keeps its first few entries inline, so the common
// schemas ("$A -> B$", "$(x:*)$") match without allocating.
template <class Task>
class TaskStack {
public:
    void push(const Task& t) {
        if (heap_.empty() && n_ < kInline) {
            inline_[n_++] = t;
        } else {
            heap_.push_back(t);
        }
    }
    bool pop(Task& out) {
        if (!heap_.empty()) {
            out = heap_.back();
            heap_.pop_back();
            return true;
        }
        if (!n_) return false;
        out = inline_[--n_];
        return true;
    }

private:
    static constexpr size_t kInline = 8;
    Task inline_[kInline];
    size_t n_ = 0;
    std::vector<Task> heap_;
};

template <class Answers>
class Matcher {
public:
    using Place = typename Answers::Place;
    using Task = TaskOf<Place>;

    Matcher(std::string_view text, Answers& answers) : s_(text), answers_(answers) {}

    // The first steps of top() that read the text alone: whether the whole
    // schema is the wildcard or one name.
    SchemaPlan plan() {
        size_t b = 0, e = s_.size();
        trim_range(s_, b, e);
        std::string_view s = text(b, e);
        size_t n = s.size();
        if (s == "$*$") return {SchemaPlan::Kind::Any, {}};
        bool delimited = n >= 2 && s.front() == '$' && s.back() == '$';
        if (delimited && !has_arrow_colon_or_open(b, e)) {
            std::string_view name = text(b + 1, e - 1);
            if (name == "*") return {SchemaPlan::Kind::Any, {}};
            return {SchemaPlan::Kind::Name, name};
        }
        if (delimited && group_at(b + 1, e - 1)) return {};
        if (first_arrow(b, e) == kNone) return {SchemaPlan::Kind::Name, s};
        return {};
    }

    bool run(Place t) {
        Task cur{0, s_.size(), t, false};
        if (!top(cur)) return false;
        for (;;) {
            if (cur.t != Answers::kDecided && !wrapped(cur)) return false;
            if (!stack_.pop(cur)) return true;
            if (cur.record) {
                answers_.record(cur.b, cur.e, cur.t);
                cur.t = Answers::kDecided;  // nothing left to match for this task
            }
        }
    }

private:
    std::string_view text(size_t b, size_t e) const { return s_.substr(b, e - b); }
    char at(size_t i) const { return s_[i]; }

    const TextIndex* index_for(size_t b, size_t e) {
        if (e - b < kDirectScan) return nullptr;
        if (!index_) index_ = std::make_unique<TextIndex>(s_);
        return index_.get();
    }

    size_t first_of(char c, size_t b, size_t e) {
        if (const TextIndex* ix = index_for(b, e)) {
            return c == ':' ? ix->first_colon(b, e) : ix->first_open(b, e);
        }
        size_t p = text(b, e).find(c);
        return p == kNone ? kNone : b + p;
    }

    size_t first_arrow(size_t b, size_t e) {
        if (const TextIndex* ix = index_for(b, e)) return ix->first_arrow(b, e);
        for (size_t i = b; i + 1 < e; ++i) {
            if (at(i) == '-' && at(i + 1) == '>') return i;
        }
        return kNone;
    }

    // The first arrow (c is '-') or ":" of [b, e) outside every group: the
    // one with as many "(" as ")" before it. The count may go below zero
    // on the way; only exactly zero counts.
    size_t top_level(char c, size_t b, size_t e) {
        if (const TextIndex* ix = index_for(b, e)) return ix->top_level(c, b, e);
        ptrdiff_t depth = 0;
        for (size_t i = b; i < e; ++i) {
            char x = at(i);
            if (x == '(') {
                ++depth;
            } else if (x == ')') {
                --depth;
            } else if (x == c && depth == 0 && (c == ':' || (i + 1 < e && at(i + 1) == '>'))) {
                return i;
            }
        }
        return kNone;
    }

    // Whether [b, e) is "(" ... ")" with the two belonging together: the
    // first ")" that brings the depth back to zero is the last character.
    bool group_at(size_t b, size_t e) {
        if (e - b < 2 || at(b) != '(' || at(e - 1) != ')') return false;
        if (const TextIndex* ix = index_for(b, e)) return ix->closing(b) == e - 1;
        size_t depth = 0;
        for (size_t i = b; i < e; ++i) {
            if (at(i) == '(') {
                ++depth;
            } else if (at(i) == ')' && --depth == 0) {
                return i == e - 1;
            }
        }
        return false;
    }

    bool has_arrow_colon_or_open(size_t b, size_t e) {
        return first_arrow(b, e) != kNone || first_of(':', b, e) != kNone ||
               first_of('(', b, e) != kNone;
    }

    // A group with body [b, e): `cur` becomes the inner pattern. With a ":"
    // outside the groups inside it, it is the capture form (the name before
    // that ":", the pattern after it), and the name's record is queued to run
    // after the pattern; otherwise it only groups.
    void group(Task& cur, size_t b, size_t e) {
        size_t colon = top_level(':', b, e);
        if (colon == kNone) {
            trim_range(s_, b, e);
            cur = {b, e, cur.t, false};
            return;
        }
        size_t nb = b, ne = colon, sb = colon + 1, se = e;
        trim_range(s_, nb, ne);
        trim_range(s_, sb, se);
        if (answers_.recording()) stack_.push({nb, ne, cur.t, true});
        cur = {sb, se, cur.t, false};
    }

    // The arrow form on [b, e), one enclosing group removed: on success
    // `cur` becomes the left side, with the right side queued to run after it.
    bool arrow(Task& cur, size_t b, size_t e) {
        if (group_at(b, e)) {
            ++b;
            --e;
        }
        size_t sp = top_level('-', b, e);
        Place left, right;
        if (sp == kNone || !answers_.application(cur.t, left, right)) return false;
        size_t lb = b, le = sp, rb = sp + 2, re = e;
        trim_range(s_, lb, le);
        trim_range(s_, rb, re);
        stack_.push({rb, re, right, false});
        cur = {lb, le, left, false};
        return true;
    }

    // The whole schema text: trimmed, not yet wrapped. Leaves cur.t decided when
    // the match is decided without further work.
    bool top(Task& cur) {
        size_t b = cur.b, e = cur.e;
        trim_range(s_, b, e);
        std::string_view s = text(b, e);
        size_t n = s.size();
        if (s == "$*$") return answers_.any(cur.t) ? done(cur) : false;
        // A lone "$" is no delimited form (it needs two delimiters): it is read
        // as a plain name below and matches the variable named "$".
        bool delimited = n >= 2 && s.front() == '$' && s.back() == '$';
        if (delimited && !has_arrow_colon_or_open(b, e)) {
            std::string_view name = text(b + 1, e - 1);
            bool hit = name == "*" ? answers_.any(cur.t) : answers_.variable(cur.t, name);
            return hit ? done(cur) : false;
        }
        if (delimited && group_at(b + 1, e - 1)) {
            group(cur, b + 2, e - 2);
            return true;
        }
        if (first_arrow(b, e) == kNone) return answers_.variable(cur.t, s) ? done(cur) : false;
        return delimited ? arrow(cur, b + 1, e - 1) : arrow(cur, b, e);
    }

    // "$" + X + "$" for an already trimmed X = [cur.b, cur.e). Returns false
    // on failure; on success either decides (cur.t decided) or continues in cur.
    bool wrapped(Task& cur) {
        for (;;) {
            size_t b = cur.b, e = cur.e;
            std::string_view x = text(b, e);
            if (!has_arrow_colon_or_open(b, e)) {
                bool hit = x == "*" ? answers_.any(cur.t) : answers_.variable(cur.t, x);
                return hit ? done(cur) : false;
            }
            if (group_at(b, e)) {
                group(cur, b + 1, e - 1);
                continue;
            }
            if (first_arrow(b, e) == kNone) {
                // A plain name that includes the two delimiters.
                return answers_.delimited_variable(cur.t, x) ? done(cur) : false;
            }
            if (!arrow(cur, b, e)) return false;
        }
    }

    static bool done(Task& cur) {
        cur.t = Answers::kDecided;
        return true;
    }

    std::string_view s_;
    Answers& answers_;
    TaskStack<Task> stack_;
    std::unique_ptr<TextIndex> index_;
};

// A match without captures.
bool plain_match(std::string_view schema, const TypeNode* t) {
    TypeAnswers answers{nullptr};
    return Matcher<TypeAnswers>(schema, answers).run(t);
}

}  // namespace

SchemaPlan SchemaPlan::read(std::string_view schema) {
    TypeAnswers answers{nullptr};
    return Matcher<TypeAnswers>(schema, answers).plan();
}

TypeRef schema_exact_type(std::string_view schema) {
    TypeLayout layout;
    TypeLayout::Place root = layout.root();
    if (!Matcher<TypeLayout>(schema, layout).run(root)) return TypeRef();
    return layout.build();
}

SchemaTest::SchemaTest(const TypeSchemaValue* schema)
    : schema_(schema),
      plan_(schema ? SchemaPlan::read(schema->pattern) : SchemaPlan{SchemaPlan::Kind::Any, {}}) {}

bool SchemaTest::matches(const TypeNode* t) {
    switch (plan_.kind) {
        case SchemaPlan::Kind::Any: return true;
        case SchemaPlan::Kind::Name: return !t->is_app() && t->name() == plan_.name;
        case SchemaPlan::Kind::Structure: break;
    }
    if (t == last_) return last_verdict_;
    auto [it, fresh] = verdicts_.try_emplace(t, false);
    if (fresh) {
        it->second = plain_match(schema_->pattern, t);
        held_.push_back(TypeRef::share(t));
    }
    last_ = t;
    last_verdict_ = it->second;
    return it->second;
}

bool TypeSchemaValue::matches_type(const TypeNode* t) const {
    return plain_match(pattern, t);
}

bool TypeSchemaValue::match_capture(const TypeNode* t, CaptureMap& captures) const {
    captures.clear();
    std::vector<Record> records;
    TypeAnswers answers{&records};
    if (!Matcher<TypeAnswers>(pattern, answers).run(t)) return false;
    // A later capture of a name replaces the earlier value in its place.
    std::unordered_map<std::string_view, size_t> slot;
    for (const Record& r : records) {
        std::string_view name = std::string_view(pattern).substr(r.b, r.e - r.b);
        auto [it, fresh] = slot.try_emplace(name, captures.size());
        if (fresh) {
            captures.emplace_back(std::string(name), TypeRef::share(r.t));
        } else {
            captures[it->second].second = TypeRef::share(r.t);
        }
    }
    return true;
}

// ----- Python class ------------------------------------------------------------

namespace {

const TypeSchemaValue& value_of(PyObject* self) {
    return reinterpret_cast<PyTypeSchema*>(self)->value;
}

PyObject* schema_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    Args<type_schema_sig::construct> a;
    TypeSchemaValue v;
    if (!a.bind(args, kwargs) || !to_string(a["pattern"], v.pattern)) return nullptr;
    return reinterpret_cast<PyObject*>(alloc_instance<PyTypeSchema>(type, std::move(v)));
}

// The schema is immutable after construction, so no in-use mark is needed.
PyObject* schema_str(PyObject* self) {
    return to_py("TypeSchema(\"" + value_of(self).pattern + "\")");
}

PyObject* schema_get_pattern(PyObject* self, void*) { return to_py(value_of(self).pattern); }

PyObject* schema_matches(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    Args<type_schema_sig::matches> a;
    TypeRef t;
    if (!a.bind(args, nargs, kw) || !python_to_type(a["type"], t)) return nullptr;
    return PyBool_FromLong(value_of(self).matches_type(t.get()));
}

PyObject* schema_capture(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    Args<type_schema_sig::capture> a;
    TypeRef t;
    if (!a.bind(args, nargs, kw) || !python_to_type(a["type"], t)) return nullptr;
    CaptureMap captures;
    bool matched = value_of(self).match_capture(t.get(), captures);
    Ref out = Ref::steal(PyDict_New());
    if (!out) return nullptr;
    if (!matched) return out.release();
    for (const auto& [name, type] : captures) {
        Ref k = Ref::steal(to_py(name));
        if (!k) return nullptr;
        Ref v = Ref::steal(type_to_python(type));
        if (!v || PyDict_SetItem(out.get(), k.get(), v.get()) < 0) return nullptr;
    }
    return out.release();
}

const MethodEntry schema_methods[] = {
    method_entry<type_schema_sig::matches>(
        schema_matches,
        "Checks if a type matches this schema.\n\n"
        "Returns True or False; a type that is not a Variable or Application\n"
        "raises TypeError."),
    method_entry<type_schema_sig::capture>(
        schema_capture,
        "Captures variables from a type that matches this schema.\n\n"
        "Returns a new dict from capture names to the captured types; empty when\n"
        "the type does not match or the schema has no capture groups. A type\n"
        "that is not a Variable or Application raises TypeError."),
    reduce_entry(type_schema_reduce),
};

PyGetSetDef schema_getset[] = {
    {"pattern", schema_get_pattern, nullptr, "The schema text, exactly as given.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

const char kDoc[] =
    "Represents a regex-like pattern for matching types.\n\n"
    "Forms:\n\n"
    "- wildcards: ``$*$`` matches any type;\n"
    "- specific variables: ``$Person$`` (or plain ``Person``) matches the\n"
    "  variable named Person;\n"
    "- application patterns: ``$A -> B$`` matches the function type from A\n"
    "  to B; arrows group to the right;\n"
    "- capture groups: ``$(name:pattern)$`` matches what ``pattern`` matches\n"
    "  and captures the matched type under ``name``;\n"
    "- grouping: parentheses without a name only group, so ``$(A -> B) -> C$``\n"
    "  matches the function type from ``(A -> B)`` to ``C``.\n\n"
    "The text is not validated: a malformed schema matches nothing.\n\n"
    "Raises:\n"
    "    TypeError: ``pattern`` is not a str.\n\n"
    "Example::\n\n"
    "    >>> A, B = Variable(\"A\"), Variable(\"B\")\n"
    "    >>> TypeSchema(\"$(f:A -> *)$\").capture(Application(A, B))\n"
    "    {'f': Application(A, B)}";

}  // namespace

PyTypeObject* create_type_schema_type() {
    static PyType_Slot slots[] = {
        {Py_tp_new, (void*)schema_new},
        {Py_tp_dealloc, (void*)dealloc_instance<PyTypeSchema>},
        {Py_tp_str, (void*)schema_str},
        {Py_tp_repr, (void*)schema_str},
        {Py_tp_getset, schema_getset},
        {0, nullptr},
    };
    TypeSchemaType = make_type("velkora.TypeSchema", sizeof(PyTypeSchema), slots,
                               class_doc<type_schema_sig::construct>(kDoc).c_str(),
                               method_table(schema_methods));
    return TypeSchemaType;
}

}  // namespace vk
