#include "text.hpp"

#include <Python.h>

namespace vk {

namespace {

bool is_white_space(char32_t c) {
    // The Unicode White_Space property: a fixed set.
    return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F ||
           c == 0x205F || c == 0x3000;
}

}  // namespace

char32_t decode_utf8(std::string_view s, size_t i, size_t& len) {
    auto lead = static_cast<unsigned char>(s[i]);
    len = utf8_length(lead);
    if (len > s.size() - i) len = s.size() - i;
    if (len == 1) return lead;
    char32_t c = lead & (0x7F >> len);
    for (size_t k = 1; k < len; ++k) c = (c << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
    return c;
}

size_t white_space_at(std::string_view s, size_t i) {
    if (i >= s.size()) return 0;
    size_t len;
    char32_t c = decode_utf8(s, i, len);
    return is_white_space(c) ? len : 0;
}

size_t white_space_before(std::string_view s, size_t e) {
    if (e == 0) return 0;
    // Back up over at most three continuation bytes to the lead byte.
    size_t b = e - 1;
    while (b > 0 && e - b < 4 && (static_cast<unsigned char>(s[b]) & 0xC0) == 0x80) --b;
    size_t len;
    char32_t c = decode_utf8(s, b, len);
    return (b + len == e && is_white_space(c)) ? len : 0;
}

void trim_range(std::string_view s, size_t& b, size_t& e) {
    while (b < e) {
        size_t n = white_space_at(s.substr(0, e), b);
        if (!n) break;
        b += n;
    }
    while (e > b) {
        size_t n = white_space_before(s, e);
        if (!n || e - n < b) break;
        e -= n;
    }
}

bool identifier_char(std::string_view s, size_t i, size_t& len, bool first) {
    char32_t c = decode_utf8(s, i, len);
    if (c == '_') return true;
    auto u = static_cast<Py_UCS4>(c);
    return first ? Py_UNICODE_ISALPHA(u) : Py_UNICODE_ISALNUM(u);
}

bool equals_ignoring_case(std::string_view w, std::string_view lower) {
    if (w.size() != lower.size()) return false;
    for (size_t i = 0; i < w.size(); ++i) {
        char c = w[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != lower[i]) return false;
    }
    return true;
}

size_t read_string_literal(std::string_view s, size_t i, std::string& out, size_t& bad) {
    const char quote = s[i];
    bad = std::string_view::npos;
    for (++i; i < s.size(); ++i) {
        char c = s[i];
        if (c == quote) return i + 1;
        if (c != '\\') {
            out += c;
            continue;
        }
        if (++i == s.size()) break;
        switch (s[i]) {
            case '\\': case '\'': case '"': out += s[i]; break;
            case 'n': out += '\n'; break;
            case 't': out += '\t'; break;
            default:
                bad = i - 1;
                return std::string_view::npos;
        }
    }
    return std::string_view::npos;
}

std::string quoted_text(std::string_view s) {
    std::string out = "\"";
    size_t i = 0;
    while (i < s.size()) {
        size_t len;
        char32_t c = decode_utf8(s, i, len);
        switch (c) {
            case '\\': out += "\\\\"; break;
            case '"': out += "\\\""; break;
            case '\t': out += "\\t"; break;
            case '\r': out += "\\r"; break;
            case '\n': out += "\\n"; break;
            case 0: out += "\\0"; break;
            default:
                if (c < 0x20 || c == 0x7F || !Py_UNICODE_ISPRINTABLE(static_cast<Py_UCS4>(c))) {
                    char buf[16];
                    PyOS_snprintf(buf, sizeof buf, "\\u{%x}", static_cast<unsigned>(c));
                    out += buf;
                } else {
                    out.append(s.substr(i, len));
                }
        }
        i += len;
    }
    out += '"';
    return out;
}

}  // namespace vk
