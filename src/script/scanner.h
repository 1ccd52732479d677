// Lexical rules shared by the whole script engine: white space, double-byte characters,
// comments and line ends, brace matching, and the small text tests (numbers, TRUE/FALSE,
// letter case) that commands and expressions use.
//
// Script text stays in the double-byte code page exactly as loaded: a byte of 0x80 or
// above starts a two-byte character, and the pair 0xA1 0xA1 (the full-width space) counts
// as one white-space character. Every scanner takes the end of the text and never reads at
// or past it, whatever the text holds (an unclosed comment, an unmatched brace, a lead byte
// as the last byte).
//
// Threading: every function here is pure and may be called from any thread.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace kestrune::script {

// Bytes of the white-space character at p: 1 for space, tab, CR and LF, 2 for 0xA1 0xA1,
// 0 when p is at the end or holds something else.
int space_width(const char* p, const char* end);
// As space_width, without CR and LF (space, tab, 0xA1 0xA1 only).
int blank_width(const char* p, const char* end);
// Skips all white space (CR and LF included).
const char* skip_space(const char* p, const char* end);
// Skips space, tab and 0xA1 0xA1 only.
const char* skip_blanks(const char* p, const char* end);

// Bytes of the character at p: 1, 2 for a lead byte whose trail byte lies before the end,
// 0 at the end.
int char_width(const char* p, const char* end);

// Comment and line-end skipping at the cursor:
//  - "//" runs to the next CR or LF; that byte is passed, and an LF after it;
//  - "/*" runs to its matching "*/" (nested pairs count), then one CR and one LF are passed;
//  - CR or LF is passed with a following LF; a next line that begins with '.' is a comment
//    line, skipped up to its CR or LF.
// Returns true and moves p when something was skipped, false (p unchanged) otherwise.
// An unclosed comment ends at the end of the text.
bool skip_comment(const char*& p, const char* end);

// Block matching: the closing brace that matches the first '{' at or after p. Braces
// inside double quotes (a quote after a backslash does not count) and inside comments are
// ignored. Returns null when a '}' comes before any '{', or when no match exists.
const char* find_block_end(const char* p, const char* end);

// Mutable-cursor forms for callers that walk a loaded (writable) text.
inline char* skip_space(char* p, const char* end) {
    return const_cast<char*>(skip_space(static_cast<const char*>(p), end));
}
inline char* skip_blanks(char* p, const char* end) {
    return const_cast<char*>(skip_blanks(static_cast<const char*>(p), end));
}
inline bool skip_comment(char*& p, const char* end) {
    const char* q = p;
    bool skipped = skip_comment(q, end);
    p = const_cast<char*>(q);
    return skipped;
}
inline char* find_block_end(char* p, const char* end) {
    return const_cast<char*>(find_block_end(static_cast<const char*>(p), end));
}

// Is-number test: not empty, and only the digits 0-9 and the signs '+' and '-'.
bool is_number_text(std::string_view text);
// TRUE or FALSE in any letter case: true with value 1 or 0.
bool is_bool_word(std::string_view text, int& value);
// NULL in any letter case.
bool is_null_word(std::string_view text);

// Letter case: only a-z and A-Z change; double-byte pairs are left alone.
char ascii_upper(char c);
char ascii_lower(char c);
std::string to_upper(std::string_view text);
bool equals_nocase(std::string_view a, std::string_view b);
bool starts_with_nocase(std::string_view text, std::string_view prefix);

// Character counting where a double-byte pair counts as one character.
std::size_t char_count(std::string_view text);
// Byte offset of character index n (clamped to the text's length).
std::size_t char_offset(std::string_view text, std::size_t n);

// Copies src into a fixed field of `size` bytes (NUL included), cutting it at a character
// boundary so that no half of a double-byte pair is kept. Returns the bytes copied.
std::size_t copy_field(char* dst, std::size_t size, std::string_view src);
// Length of the longest prefix of text that fits `max_bytes` without splitting a pair.
std::size_t fit_bytes(std::string_view text, std::size_t max_bytes);

} // namespace kestrune::script
