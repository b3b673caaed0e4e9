// The property-map reader of the pattern-string parser.
//
// A map is "{" then zero or more "key: value" separated by commas, then "}",
// with blanks between tokens. A key is an identifier or a name in
// backquotes; a value is a number, a quoted string, true / false / null (in
// any case) or a list of values in brackets. Values are built as Python
// objects straight away and collected in a dict, so a repeated key keeps its
// first position and its last value; the dict then becomes the PropertyMap.
// Lists are read with an explicit stack, so nesting depth costs no C stack.
#include "property_text.hpp"

#include <string>
#include <vector>

#include "host/args.hpp"
#include "text.hpp"

namespace vk {

size_t skip_quoted(std::string_view s, size_t i) {
    const char quote = s[i];
    const bool escapes = quote != '`';
    for (size_t j = i + 1; j < s.size(); ++j) {
        if (escapes && s[j] == '\\') {
            ++j;  // the escaped character, whatever it is
        } else if (s[j] == quote) {
            return j + 1;
        }
    }
    return std::string_view::npos;
}

namespace {

// A word ends at blanks, punctuation of the notation or quotes.
bool ends_word(std::string_view s, size_t i) {
    switch (s[i]) {
        case ',': case ':': case '{': case '}': case '[': case ']': case '\'': case '"': case '`':
            return true;
        default:
            return white_space_at(s, i) != 0;
    }
}

// [+-] digits [. digits] [e [+-] digits], also "1." and ".5"; `is_float`
// tells whether a fraction or an exponent is present.
bool number_text(std::string_view w, bool& is_float) {
    size_t i = 0, digits = 0;
    if (i < w.size() && (w[i] == '+' || w[i] == '-')) ++i;
    for (; i < w.size() && ascii_digit(w[i]); ++i) ++digits;
    is_float = false;
    if (i < w.size() && w[i] == '.') {
        is_float = true;
        for (++i; i < w.size() && ascii_digit(w[i]); ++i) ++digits;
    }
    if (digits == 0) return false;
    if (i < w.size() && (w[i] == 'e' || w[i] == 'E')) {
        is_float = true;
        ++i;
        if (i < w.size() && (w[i] == '+' || w[i] == '-')) ++i;
        size_t exp_digits = 0;
        for (; i < w.size() && ascii_digit(w[i]); ++i) ++exp_digits;
        if (exp_digits == 0) return false;
    }
    return i == w.size();
}

class MapReader {
public:
    MapReader(std::string_view token, std::string_view s) : token_(token), s_(s) {}

    Status read(PropertyMap& out) {
        Ref dict = Ref::steal(PyDict_New());
        if (!dict) return PyErrorSet{};
        pos_ = 1;  // past "{"
        skip_blanks();
        if (at('}')) {
            ++pos_;
        } else {
            for (;;) {
                Ref key, value;
                Status s = read_key(key);
                if (!s) return s;
                skip_blanks();
                if (!at(':')) return fail("Expected ':' after property name");
                ++pos_;
                s = read_value(value);
                if (!s) return s;
                if (PyDict_SetItem(dict.get(), key.get(), value.get()) < 0) return PyErrorSet{};
                skip_blanks();
                if (at(',')) {
                    ++pos_;
                    skip_blanks();
                    continue;
                }
                if (at('}')) {
                    ++pos_;
                    break;
                }
                return fail("Expected ',' or '}' in property map");
            }
        }
        skip_blanks();
        if (pos_ < s_.size()) return invalid_pattern(token_, "Unexpected text after property map");
        if (!PropertyMap::from_dict(dict.get(), out)) return PyErrorSet{};
        return ok_status();
    }

private:
    bool at(char c) const { return pos_ < s_.size() && s_[pos_] == c; }

    void skip_blanks() {
        while (size_t n = white_space_at(s_, pos_)) pos_ += n;
    }

    // At the end of the text every failure is the same: the map was never closed.
    VelkoraError fail(const char* reason) const {
        return invalid_pattern(token_, pos_ < s_.size() ? reason : "Unterminated property map");
    }

    Status read_key(Ref& out) {
        size_t begin = pos_, len;
        std::string_view name;
        if (at('`')) {
            size_t end = skip_quoted(s_, pos_);
            if (end == std::string_view::npos) return invalid_pattern(token_, kUnterminatedString);
            name = s_.substr(begin + 1, end - begin - 2);
            pos_ = end;
        } else if (pos_ < s_.size() && identifier_char(s_, pos_, len, true)) {
            pos_ += len;
            while (pos_ < s_.size() && identifier_char(s_, pos_, len, false)) pos_ += len;
            name = s_.substr(begin, pos_ - begin);
        } else {
            return fail("Expected a property name");
        }
        out = Ref::steal(to_py(name));
        return out ? ok_status() : Status(PyErrorSet{});
    }

    Status read_string(Ref& out) {
        std::string text;
        size_t bad;
        size_t end = read_string_literal(s_, pos_, text, bad);
        if (end == std::string_view::npos) {
            if (bad == std::string_view::npos) return invalid_pattern(token_, kUnterminatedString);
            size_t len;
            decode_utf8(s_, bad + 1, len);
            return invalid_pattern(token_, "Invalid escape '\\" +
                                               std::string(s_.substr(bad + 1, len)) + "' in string");
        }
        pos_ = end;
        out = Ref::steal(to_py(text));
        return out ? ok_status() : Status(PyErrorSet{});
    }

    // A number, true, false or null.
    Status read_word(Ref& out) {
        size_t begin = pos_;
        while (pos_ < s_.size() && !ends_word(s_, pos_)) pos_ += utf8_length(s_[pos_]);
        if (pos_ > s_.size()) pos_ = s_.size();
        std::string_view w = s_.substr(begin, pos_ - begin);
        if (w.empty()) return fail("Expected a property value");
        PyObject* constant = nullptr;
        if (equals_ignoring_case(w, "true")) constant = Py_True;
        if (equals_ignoring_case(w, "false")) constant = Py_False;
        if (equals_ignoring_case(w, "null")) constant = Py_None;
        if (constant) {
            out = Ref::borrow(constant);
            return ok_status();
        }
        bool is_float;
        if (!number_text(w, is_float)) {
            return invalid_pattern(token_, "Invalid property value '" + std::string(w) + "'");
        }
        std::string digits(w);
        if (is_float) {
            double d = PyOS_string_to_double(digits.c_str(), nullptr, nullptr);
            if (d == -1.0 && PyErr_Occurred()) return PyErrorSet{};
            out = Ref::steal(PyFloat_FromDouble(d));
        } else {
            out = Ref::steal(PyLong_FromString(digits.c_str(), nullptr, 10));
            // The interpreter refuses integers past its digit limit: a bad pattern.
            if (!out && PyErr_ExceptionMatches(PyExc_ValueError)) return refused_value();
        }
        return out ? ok_status() : Status(PyErrorSet{});
    }

    // The pending ValueError's message as the reason of a pattern error.
    Status refused_value() {
        Ref v = Ref::steal(take_exception());
        Ref text = Ref::steal(v ? PyObject_Str(v.get()) : nullptr);
        const char* reason = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
        if (!reason) return PyErrorSet{};
        return invalid_pattern(token_, reason);
    }

    Status read_value(Ref& out) {
        std::vector<Ref> lists;  // the lists being filled, innermost last
        for (;;) {
            skip_blanks();
            Ref value;
            if (at('[')) {
                Ref list = Ref::steal(PyList_New(0));
                if (!list) return PyErrorSet{};
                lists.push_back(std::move(list));
                ++pos_;
                skip_blanks();
                if (!at(']')) continue;  // read the first element
                ++pos_;
                value = std::move(lists.back());
                lists.pop_back();
            } else {
                Status s = pos_ < s_.size() && (at('\'') || at('"')) ? read_string(value)
                                                                      : read_word(value);
                if (!s) return s;
            }
            // Files the value in the enclosing list, closing lists as they end.
            for (;;) {
                if (lists.empty()) {
                    out = std::move(value);
                    return ok_status();
                }
                if (PyList_Append(lists.back().get(), value.get()) < 0) return PyErrorSet{};
                skip_blanks();
                if (at(',')) {
                    ++pos_;
                    break;
                }
                if (!at(']')) return fail("Expected ',' or ']' in list");
                ++pos_;
                value = std::move(lists.back());
                lists.pop_back();
            }
        }
    }

    std::string_view token_;
    std::string_view s_;
    size_t pos_ = 0;
};

}  // namespace

Status read_property_map(std::string_view token, std::string_view text, PropertyMap& out) {
    return MapReader(token, text).read(out);
}

}  // namespace vk
