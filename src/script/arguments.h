// Command arguments, canonical command texts, object paths and colour notation.
//
// A handler cuts the argument list out of its statement, then takes the arguments one by
// one, each as text with variable references and function parameters replaced by their
// values. Creating commands rebuild a canonical text of themselves as they read (the scene
// store keeps it, so a saved scene can run it again).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kestrune::script {

struct ScriptBlock;

inline constexpr std::size_t k_argument_list_size = 2048;
inline constexpr std::size_t k_object_path_size = 256; // 255 bytes and the NUL

enum class ArgMode {
    plain = 0,  // numbers, positions, colours
    quoted = 1, // may be written in double quotes (names, files, texts, request words)
    output = 2, // names a variable to write: no variable replacement
};

// Cuts the argument list out of the statement at `pos`: from the first '(' outside double
// quotes up to the last ')' before the ';' that ends the statement. On success `list`
// holds the text between them and `after` points just past that ')'. With no '(' before the
// ';', or no ')' before it, the list is empty and `after` points past the ';' (so that the
// statement is not run again forever). A list of 2048 bytes or more is refused (empty).
// `limit` bounds the scan (the end of the loaded text).
bool take_argument_list(const char* pos, const char* limit, std::string& list, const char*& after);

// Reads the arguments of one list in turn.
class ArgumentReader {
public:
    // `block` supplies function parameters (may be null); `canonical`, when given, receives
    // each argument as read.
    ArgumentReader(std::string list, const ScriptBlock* block, std::string* canonical);

    // The next argument, or nothing when the list is exhausted (or the quoted text is
    // empty). `separator` is appended to the canonical text after it: ',' between
    // arguments, ')' after the last one (followed by ';'); 0 appends nothing.
    std::optional<std::string> next(ArgMode mode, char separator);

    bool exhausted() const { return m_pos >= m_list.size(); }

private:
    std::string m_list;
    std::size_t m_pos = 0;
    const ScriptBlock* m_block;
    std::string* m_canonical;
};

// The object path of a name: the name itself when the prefix is empty or the name begins
// with '@' or '<' (one trailing '>' removed), else prefix "/" name. Empty when the name is
// empty or the path would not fit in 255 bytes.
std::string form_object_path(std::string_view name, std::string_view prefix);

struct Colour {
    std::uint32_t rgb = 0; // 0x00RRGGBB
    std::uint8_t alpha = 255;
};
// The colour notations: '#' with 3, 4, 6 or 8 hex digits, RGB(rr gg bb), RGBA(rr gg bb aa),
// colour names, and plain hexadecimal numbers.
Colour parse_colour(std::string_view text);
// True when the text is written in one of those notations: '#' with 3, 4, 6 or 8 digits,
// RGB( or RGBA( with all their pairs and the closing ')', a colour name, or hexadecimal
// digits alone. parse_colour reads anything, so a typing mistake ("#12345", "PINK") would
// pass unnoticed without this test.
bool is_colour_text(std::string_view text);

// The standard decimal conversion: leading white space, optional sign, digits; the rest is
// ignored. Saturates instead of overflowing.
std::int32_t argument_int(std::string_view text);

} // namespace kestrune::script
