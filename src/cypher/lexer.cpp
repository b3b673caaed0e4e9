// The lexer: see lexer.hpp. A name is letters, digits and `_`, not starting
// with a digit, where a character beyond ASCII counts as a letter unless it
// is a space or unprintable (Unicode spaces separate tokens as ASCII ones
// do); every error names the first character of the token it found.
#include "cypher/lexer.hpp"

#include <cstring>

namespace vk::cypher {

namespace {

// The code point at `at` of valid UTF-8 text, and its length in bytes.
Py_UCS4 decode_at(std::string_view t, uint32_t at, uint32_t& len) {
    unsigned char c = (unsigned char)t[at];
    Py_UCS4 cp;
    if (c < 0x80) len = 1, cp = c;
    else if (c < 0xE0) len = 2, cp = c & 0x1F;
    else if (c < 0xF0) len = 3, cp = c & 0x0F;
    else len = 4, cp = c & 0x07;
    for (uint32_t i = 1; i < len; ++i) {
        if (at + i >= t.size()) {
            len = i;
            break;
        }
        cp = (cp << 6) | ((unsigned char)t[at + i] & 0x3F);
    }
    return cp;
}

}  // namespace

uint32_t Lexer::name_char(uint32_t at, bool first) const {
    if (at >= text_.size()) return 0;
    const unsigned char c = (unsigned char)text_[at];
    if (c < 0x80)
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' ||
               (!first && c >= '0' && c <= '9');
    uint32_t len;
    const Py_UCS4 cp = decode_at(text_, at, len);
    if (Py_UNICODE_ISSPACE(cp) || !Py_UNICODE_ISPRINTABLE(cp)) return 0;
    if (first && Py_UNICODE_ISDIGIT(cp)) return 0;
    return len;
}

uint32_t Lexer::name_end(uint32_t at) const {
    while (uint32_t n = name_char(at, false)) at += n;
    return at;
}

bool Token::is(std::string_view kw) const {
    if (kind != Tok::Ident || text.size() != kw.size()) return false;
    for (size_t i = 0; i < kw.size(); ++i) {
        char c = text[i];
        if (c >= 'a' && c <= 'z') c = char(c - 'a' + 'A');
        if (c != kw[i]) return false;
    }
    return true;
}

Pos Lexer::pos_at(uint32_t offset) {
    if (offset < line_start_) {
        pos_off_ = line_start_ = 0;
        line_ = col_ = 1;
    } else if (offset < pos_off_) {
        pos_off_ = line_start_;
        col_ = 1;
    }
    for (; pos_off_ < offset && pos_off_ < text_.size(); ++pos_off_) {
        unsigned char c = (unsigned char)text_[pos_off_];
        if (c == '\n') {
            ++line_;
            line_start_ = pos_off_ + 1;
            col_ = 1;
        } else if ((c & 0xC0) != 0x80) {
            // A code point's first byte; the column counts the next one.
            ++col_;
        }
    }
    // Continuation bytes after the last counted lead byte do not move the column.
    return Pos{line_, col_, offset};
}

bool Lexer::skip_blanks(LexError& err) {
    while (at_ < text_.size()) {
        char c = text_[at_];
        if (c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v') {
            ++at_;
        } else if ((unsigned char)c >= 0x80) {
            uint32_t len;
            if (!Py_UNICODE_ISSPACE(decode_at(text_, at_, len))) break;
            at_ += len;
        } else if (c == '/' && at_ + 1 < text_.size() && text_[at_ + 1] == '/') {
            while (at_ < text_.size() && text_[at_] != '\n') ++at_;
        } else if (c == '/' && at_ + 1 < text_.size() && text_[at_ + 1] == '*') {
            size_t close = text_.find("*/", at_ + 2);
            if (close == std::string_view::npos) {
                err = {"unterminated comment", pos_at(at_)};
                return false;
            }
            at_ = uint32_t(close + 2);
        } else {
            break;
        }
    }
    return true;
}

namespace {

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

void append_utf8(std::string& out, uint32_t cp) {
    if (cp < 0x80) {
        out += char(cp);
    } else if (cp < 0x800) {
        out += char(0xC0 | (cp >> 6));
        out += char(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += char(0xE0 | (cp >> 12));
        out += char(0x80 | ((cp >> 6) & 0x3F));
        out += char(0x80 | (cp & 0x3F));
    } else {
        out += char(0xF0 | (cp >> 18));
        out += char(0x80 | ((cp >> 12) & 0x3F));
        out += char(0x80 | ((cp >> 6) & 0x3F));
        out += char(0x80 | (cp & 0x3F));
    }
}

}  // namespace

bool Lexer::read_string(Token& t, LexError& err) {
    const char quote = text_[at_];
    const uint32_t start = at_++;
    t.kind = Tok::Str;
    t.value.clear();
    while (true) {
        if (at_ >= text_.size()) {
            err = {"unterminated string", pos_at(start)};
            return false;
        }
        char c = text_[at_];
        if (c == quote) {
            ++at_;
            break;
        }
        if (c != '\\') {
            t.value += c;
            ++at_;
            continue;
        }
        const uint32_t esc = at_;
        if (at_ + 1 >= text_.size()) {
            err = {"unterminated string", pos_at(start)};
            return false;
        }
        char e = text_[at_ + 1];
        at_ += 2;
        switch (e) {
            case 't': t.value += '\t'; break;
            case 'b': t.value += '\b'; break;
            case 'n': t.value += '\n'; break;
            case 'r': t.value += '\r'; break;
            case 'f': t.value += '\f'; break;
            case '\'': t.value += '\''; break;
            case '"': t.value += '"'; break;
            case '\\': t.value += '\\'; break;
            case 'u':
            case 'U': {
                const int n = e == 'u' ? 4 : 8;
                uint32_t cp = 0;
                for (int i = 0; i < n; ++i) {
                    int d = at_ < text_.size() ? hex_digit(text_[at_]) : -1;
                    if (d < 0) {
                        err = {std::string("invalid escape sequence: \\") + e + " needs " +
                                   (n == 4 ? "4" : "8") + " hexadecimal digits",
                               pos_at(esc)};
                        return false;
                    }
                    cp = cp * 16 + uint32_t(d);
                    ++at_;
                }
                // A UTF-16 surrogate pair written as two \u escapes is one character.
                if (e == 'u' && cp >= 0xD800 && cp <= 0xDBFF && at_ + 6 <= text_.size() &&
                    text_[at_] == '\\' && text_[at_ + 1] == 'u') {
                    uint32_t low = 0;
                    int i = 0;
                    for (; i < 4; ++i) {
                        int d = hex_digit(text_[at_ + 2 + uint32_t(i)]);
                        if (d < 0) break;
                        low = low * 16 + uint32_t(d);
                    }
                    if (i == 4 && low >= 0xDC00 && low <= 0xDFFF) {
                        cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
                        at_ += 6;
                    }
                }
                if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
                    std::string digits(text_.substr(esc + 2, size_t(n)));
                    for (char& c : digits)
                        if (c >= 'a' && c <= 'f') c = char(c - 'a' + 'A');
                    err = {"invalid escape sequence: no character U+" + digits, pos_at(esc)};
                    return false;
                }
                append_utf8(t.value, cp);
                break;
            }
            default: {
                std::string shown(1, e);
                err = {"invalid escape sequence '\\" + shown + "'", pos_at(esc)};
                return false;
            }
        }
    }
    t.end = at_;
    t.text = text_.substr(start, at_ - start);
    return true;
}

// A backquoted name from the backquote at `start` (at_ points at it).
bool Lexer::read_quoted(Token& t, LexError& err, uint32_t start) {
    ++at_;
    t.value.clear();
    while (true) {
        if (at_ >= text_.size()) {
            err = {"unterminated backquoted name", pos_at(start)};
            return false;
        }
        char c = text_[at_++];
        if (c == '`') {
            if (at_ < text_.size() && text_[at_] == '`') {
                t.value += '`';
                ++at_;
                continue;
            }
            break;
        }
        t.value += c;
    }
    t.end = at_;
    t.text = text_.substr(start, at_ - start);
    return true;
}

bool Lexer::read_number(Token& t, LexError& err) {
    const uint32_t start = at_;
    auto digit = [&](uint32_t i) { return i < text_.size() && text_[i] >= '0' && text_[i] <= '9'; };
    t.kind = Tok::Int;
    if (text_[at_] == '0' && at_ + 1 < text_.size() &&
        (text_[at_ + 1] == 'x' || text_[at_ + 1] == 'X' || text_[at_ + 1] == 'o' ||
         text_[at_ + 1] == 'O')) {
        const bool hex = text_[at_ + 1] == 'x' || text_[at_ + 1] == 'X';
        at_ += 2;
        const uint32_t digits = at_;
        while (at_ < text_.size() &&
               (hex ? hex_digit(text_[at_]) >= 0 : (text_[at_] >= '0' && text_[at_] <= '7')))
            ++at_;
        if (at_ == digits || name_char(at_, false)) {
            err = {std::string("invalid ") + (hex ? "hexadecimal" : "octal") + " integer",
                   pos_at(start)};
            return false;
        }
    } else {
        while (digit(at_)) ++at_;
        // A fraction needs a digit after the point: `1..3` is a range.
        if (at_ < text_.size() && text_[at_] == '.' && digit(at_ + 1)) {
            t.kind = Tok::Float;
            ++at_;
            while (digit(at_)) ++at_;
        }
        if (at_ < text_.size() && (text_[at_] == 'e' || text_[at_] == 'E')) {
            uint32_t e = at_ + 1;
            if (e < text_.size() && (text_[e] == '+' || text_[e] == '-')) ++e;
            if (digit(e)) {
                t.kind = Tok::Float;
                at_ = e;
                while (digit(at_)) ++at_;
            }
        }
        if (name_char(at_, false)) {
            err = {"invalid number", pos_at(start)};
            return false;
        }
        // An integer written with a leading zero is octal (the older form of 0o...).
        if (t.kind == Tok::Int && text_[start] == '0' && at_ - start > 1) {
            for (uint32_t i = start + 1; i < at_; ++i) {
                if (text_[i] > '7') {
                    err = {"invalid octal integer", pos_at(start)};
                    return false;
                }
            }
        }
    }
    t.end = at_;
    t.text = text_.substr(start, at_ - start);
    return true;
}

bool Lexer::next(Token& t, LexError& err) {
    if (!skip_blanks(err)) return false;
    t.value.clear();
    t.pos = pos_at(at_);
    if (at_ >= text_.size()) {
        t.kind = Tok::End;
        t.end = at_;
        t.text = {};
        return true;
    }
    const uint32_t start = at_;
    const unsigned char c = (unsigned char)text_[at_];
    if (name_char(at_, true)) {
        at_ = name_end(at_);
        t.kind = Tok::Ident;
        t.end = at_;
        t.text = text_.substr(start, at_ - start);
        return true;
    }
    if (c >= '0' && c <= '9') return read_number(t, err);
    if (c == '.' && at_ + 1 < text_.size() && text_[at_ + 1] >= '0' && text_[at_ + 1] <= '9') {
        // `.5`
        t.kind = Tok::Float;
        ++at_;
        while (at_ < text_.size() && text_[at_] >= '0' && text_[at_] <= '9') ++at_;
        if (at_ < text_.size() && (text_[at_] == 'e' || text_[at_] == 'E')) {
            uint32_t e = at_ + 1;
            if (e < text_.size() && (text_[e] == '+' || text_[e] == '-')) ++e;
            if (e < text_.size() && text_[e] >= '0' && text_[e] <= '9') {
                at_ = e;
                while (at_ < text_.size() && text_[at_] >= '0' && text_[at_] <= '9') ++at_;
            }
        }
        if (name_char(at_, false)) {
            err = {"invalid number", t.pos};
            return false;
        }
        t.end = at_;
        t.text = text_.substr(start, at_ - start);
        return true;
    }
    if (c == '\'' || c == '"') return read_string(t, err);
    if (c == '`') {
        t.kind = Tok::Quoted;
        return read_quoted(t, err, start);
    }
    if (c == '$') {
        ++at_;
        t.kind = Tok::Param;
        if (at_ < text_.size() && text_[at_] == '`') {
            Token q;
            if (!read_quoted(q, err, at_)) return false;
            t.value = std::move(q.value);
        } else if (name_char(at_, false)) {
            const uint32_t name = at_;
            at_ = name_end(at_);
            t.value.assign(text_.substr(name, at_ - name));
        } else {
            err = {"expected a parameter name after '$'", t.pos};
            return false;
        }
        t.end = at_;
        t.text = text_.substr(start, at_ - start);
        return true;
    }
    static const char* const kTwo[] = {"..", "<>", "!=", "<=", ">=", "=~", "+="};
    if (at_ + 1 < text_.size()) {
        for (const char* p : kTwo) {
            if (text_[at_] == p[0] && text_[at_ + 1] == p[1]) {
                at_ += 2;
                t.kind = Tok::Punct;
                t.end = at_;
                t.text = text_.substr(start, 2);
                return true;
            }
        }
    }
    if (std::strchr("()[]{},.:|;+-*/%^=<>", c) && c != 0) {
        ++at_;
        t.kind = Tok::Punct;
        t.end = at_;
        t.text = text_.substr(start, 1);
        return true;
    }
    // Name the whole character, however many bytes it takes.
    uint32_t len = 1;
    while (start + len < text_.size() && ((unsigned char)text_[start + len] & 0xC0) == 0x80) ++len;
    err = {"unexpected character '" + std::string(text_.substr(start, len)) + "'", t.pos};
    return false;
}

bool Lexer::skip(uint32_t& offset, LexError& err) {
    if (!skip_blanks(err)) return false;
    offset = at_;
    return true;
}

bool Lexer::schema_label(uint32_t offset, Token& t, LexError& err) {
    at_ = offset;
    t.pos = pos_at(offset);
    size_t close = text_.find('$', offset + 1);
    if (close == std::string_view::npos) {
        err = {"unterminated type schema (a label written between '$' signs)", t.pos};
        return false;
    }
    t.kind = Tok::Str;
    t.value.assign(text_.substr(offset + 1, close - offset - 1));
    at_ = uint32_t(close + 1);
    t.end = at_;
    t.text = text_.substr(offset, at_ - offset);
    return true;
}

}  // namespace vk::cypher
