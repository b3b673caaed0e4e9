// Cypher's tokens, read on demand from the query text.
//
// The lexer is a cursor over the text: next() skips blanks and comments and
// reads one token. Keywords are not tokens of their own: Cypher's keywords
// are case-insensitive and most may also name things, so the parser asks
// whether an identifier token is a given keyword (Token::is). A `$...$`
// type schema is a token only where a label stands; the parser, which
// knows that, calls schema_label() at such a place. The lexer is a small
// value: the parser copies it to look ahead (is this `(` a pattern?)
// without consuming anything. Positions are counted as the cursor moves
// (columns in code points), so lexing stays linear in the text.
#pragma once
#include <Python.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "cypher/ast.hpp"

namespace vk::cypher {

enum class Tok : uint8_t {
    End,
    Ident,   // a plain name or keyword; text
    Quoted,  // a backquoted name; value (`` unescaped)
    Int,     // text as written (decimal, 0x..., 0o...)
    Float,   // text as written
    Str,     // value: the decoded string (UTF-8)
    Param,   // $name, $0 or $`name`; value: the name
    Punct,   // text: one of ( ) [ ] { } , . .. : | ; + - * / % ^ = <> != < <= > >= =~ +=
};

struct Token {
    Tok kind = Tok::End;
    Pos pos;
    uint32_t end = 0;       // byte offset one past the token
    std::string_view text;  // the token as written
    std::string value;      // Quoted, Str, Param: the decoded value

    // Whether this is the keyword `kw` (given in upper case), in any case.
    bool is(std::string_view kw) const;
    bool punct(std::string_view p) const { return kind == Tok::Punct && text == p; }
};

// A lexical error: what is wrong, and where.
struct LexError {
    std::string what;
    Pos pos;
};

class Lexer {
public:
    explicit Lexer(std::string_view text) : text_(text) {}

    // Reads the next token into `t`; false on an error (described in err).
    bool next(Token& t, LexError& err);
    // Reads a `$...$` schema label starting at byte `offset` (where a `$`
    // stands) into t (kind Str, value: the text between the signs) and
    // moves the cursor past it.
    bool schema_label(uint32_t offset, Token& t, LexError& err);
    // Skips blanks and comments; `offset` is where the next token starts.
    bool skip(uint32_t& offset, LexError& err);
    // The position of a byte offset at or after the last one asked for is
    // found in time proportional to the distance; an earlier one restarts
    // from the line's beginning.
    Pos pos_at(uint32_t offset);
    std::string_view text() const { return text_; }

private:
    bool skip_blanks(LexError& err);
    bool read_string(Token& t, LexError& err);
    bool read_quoted(Token& t, LexError& err, uint32_t start);
    bool read_number(Token& t, LexError& err);
    // The byte length of the character at `at` if a name may hold it there
    // (`first`: as its first character), else 0; and where a name from `at` ends.
    uint32_t name_char(uint32_t at, bool first) const;
    uint32_t name_end(uint32_t at) const;

    std::string_view text_;
    uint32_t at_ = 0;  // cursor
    // Position cache: the line, its starting offset and the column of `pos_off_`.
    uint32_t pos_off_ = 0, line_ = 1, line_start_ = 0, col_ = 1;
};

}  // namespace vk::cypher
