// The property-map notation of pattern strings: "{name: 'Alice', age: 30}".
// Shared by the pattern-string parser's lexer (which must step over quoted
// text) and its content reader.
#pragma once
#include <string_view>

#include "errors.hpp"
#include "patterns.hpp"

namespace vk {

// The reason given for a quote that is never closed.
inline constexpr char kUnterminatedString[] = "Unterminated quoted string in pattern";

// Whether c opens quoted text in a property map: ' and " (strings) or `
// (property names).
inline bool opens_quote(char c) { return c == '\'' || c == '"' || c == '`'; }

// The position just past the quoted text that opens at s[i], or npos when
// its quote is never closed. Inside ' and " a backslash takes the next
// character with it; inside ` nothing is escaped.
size_t skip_quoted(std::string_view s, size_t i);

// Reads `text`, which starts with "{" and runs to the end of a node's or an
// edge's content, into `out`. Errors are InvalidPattern errors quoting
// `token`, or Python errors (memory).
Status read_property_map(std::string_view token, std::string_view text, PropertyMap& out);

}  // namespace vk
