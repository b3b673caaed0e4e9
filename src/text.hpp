// Small helpers over UTF-8 text shared by the schema matcher, the pattern
// parser and the condition language: Unicode White_Space trimming, code
// point decoding, identifiers, and the quoted text form used by the
// patterns' repr.
#pragma once
#include <cstddef>
#include <string>
#include <string_view>

namespace vk {

// Byte length of the White_Space code point that starts at s[i], or 0.
size_t white_space_at(std::string_view s, size_t i);
// Byte length of the White_Space code point that ends just before s[e], or 0.
size_t white_space_before(std::string_view s, size_t e);

// Narrows [b, e) of s so that it neither starts nor ends with White_Space.
void trim_range(std::string_view s, size_t& b, size_t& e);
inline std::string_view trim_white_space(std::string_view s) {
    size_t b = 0, e = s.size();
    trim_range(s, b, e);
    return s.substr(b, e - b);
}

// Byte length of the UTF-8 sequence that starts with `lead` (1 for a stray
// continuation byte, so that a walk always advances).
inline size_t utf8_length(unsigned char lead) {
    if (lead < 0xC0) return 1;
    if (lead < 0xE0) return 2;
    if (lead < 0xF0) return 3;
    return 4;
}

// The code point at s[i] and its byte length (clipped to the text).
char32_t decode_utf8(std::string_view s, size_t i, size_t& len);

inline bool ascii_digit(char c) { return c >= '0' && c <= '9'; }

// Whether the code point at s[i] (of byte length `len`) may stand in an
// identifier: letters, digits and "_" of any script; a first character is
// no digit.
bool identifier_char(std::string_view s, size_t i, size_t& len, bool first);

// Whether w is `lower` written in any case (ASCII letters).
bool equals_ignoring_case(std::string_view w, std::string_view lower);

// Reads the string literal that opens at s[i], '...' or "..." with the
// escapes \\ \' \" \n \t, appending its text to `out`. Returns the position
// just past the closing quote; npos when it fails, with `bad` at the
// backslash of an unknown escape, or npos when the quote is never closed.
size_t read_string_literal(std::string_view s, size_t i, std::string& out, size_t& bad);

// "..." with \\, \", \t, \r, \n, \0 escaped and every other control or
// non-printable code point written as \u{hex}.
std::string quoted_text(std::string_view s);

}  // namespace vk
