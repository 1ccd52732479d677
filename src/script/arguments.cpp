#include "script/arguments.h"

#include "script/context.h"
#include "script/variables.h"

#include <cctype>
#include <cstring>

namespace kestrune::script {

namespace {

bool is_arg_blank(const std::string& s, std::size_t i) {
    if (i >= s.size()) return false;
    const auto c = static_cast<unsigned char>(s[i]);
    if (c == ' ' || c == '\t' || c == '\r' || c == '\n') return true;
    return c == 0xA1 && i + 1 < s.size() && static_cast<unsigned char>(s[i + 1]) == 0xA1;
}

// Step over one character: a byte of 0x80 or above takes its trail byte with it (a GBK
// trail byte may be 0x5C, which must not pass for a backslash).
inline std::size_t char_len(unsigned char c) {
    return c >= 0x80 ? 2 : 1;
}

// Position of the next ',' or ';' outside double quotes from i, or npos.
std::size_t next_separator(const std::string& s, std::size_t i) {
    bool quoted = false;
    while (i < s.size()) {
        const auto c = static_cast<unsigned char>(s[i]);
        if (c == '"' && !(i > 0 && s[i - 1] == '\\'))
            quoted = !quoted;
        else if (!quoted && (c == ',' || c == ';'))
            return i;
        i += char_len(c);
    }
    return std::string::npos;
}

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool iequals_prefix(std::string_view text, std::string_view prefix) {
    if (text.size() < prefix.size()) return false;
    for (std::size_t i = 0; i < prefix.size(); ++i)
        if (std::toupper(static_cast<unsigned char>(text[i])) != prefix[i]) return false;
    return true;
}

} // namespace

bool take_argument_list(const char* pos, const char* limit, std::string& list, const char*& after) {
    list.clear();
    const char* p = pos;
    bool quoted = false;
    // Find the opening '(' (or the statement's ';').
    while (p < limit && *p) {
        const auto c = static_cast<unsigned char>(*p);
        if (c == '"' && !(p > pos && p[-1] == '\\'))
            quoted = !quoted;
        else if (!quoted && (c == '(' || c == ';'))
            break;
        p += char_len(c);
    }
    if (p >= limit || !*p) {
        after = p;
        return false;
    }
    if (*p == ';') {
        after = p + 1;
        return false;
    }
    const char* open = p++;
    // Find the ';' that ends the statement, remembering the last ')' before it.
    const char* close = nullptr;
    quoted = false;
    while (p < limit && *p) {
        const auto c = static_cast<unsigned char>(*p);
        if (c == '"' && p[-1] != '\\')
            quoted = !quoted;
        else if (!quoted && c == ')')
            close = p;
        else if (!quoted && c == ';')
            break;
        p += char_len(c);
    }
    if (!close) {
        // No closing parenthesis: step past the statement instead of retrying it forever.
        after = (p < limit && *p == ';') ? p + 1 : p;
        return false;
    }
    const std::size_t length = static_cast<std::size_t>(close - open - 1);
    after = close + 1;
    if (length >= k_argument_list_size) return false;
    list.assign(open + 1, length);
    return true;
}

ArgumentReader::ArgumentReader(std::string list, const ScriptBlock* block, std::string* canonical)
    : m_list(std::move(list)), m_block(block), m_canonical(canonical) {}

std::optional<std::string> ArgumentReader::next(ArgMode mode, char separator) {
    std::optional<std::string> result;
    std::size_t i = m_pos;
    while (is_arg_blank(m_list, i)) i += static_cast<unsigned char>(m_list[i]) == 0xA1 ? 2 : 1;
    bool was_quoted = false;
    if (i >= m_list.size()) {
        m_pos = m_list.size();
    } else if (mode == ArgMode::quoted && (m_list[i] == '"' || m_list[i] == '\\')) {
        const bool escaped_form = m_list[i] == '\\';
        std::size_t q = m_list.find('"', i);
        if (q == std::string::npos) q = m_list.size() - 1;
        std::size_t j = q + 1;
        const std::size_t start = j;
        while (j < m_list.size()) {
            const auto c = static_cast<unsigned char>(m_list[j]);
            if (escaped_form ? c == '\\' : (c == '"' && m_list[j - 1] != '\\')) break;
            j += char_len(c);
        }
        if (j > m_list.size()) j = m_list.size();
        std::string text = m_list.substr(start, j - start);
        if (escaped_form && j < m_list.size()) ++j; // the quote after the closing backslash
        const std::size_t sep = next_separator(m_list, j < m_list.size() ? j + 1 : j);
        m_pos = sep == std::string::npos ? m_list.size() : sep + 1;
        was_quoted = true;
        if (!text.empty()) result = std::move(text);
    } else {
        const std::size_t sep = next_separator(m_list, i);
        std::size_t stop = sep == std::string::npos ? m_list.size() : sep;
        // White space before the separator belongs to no argument.
        while (stop > i && (m_list[stop - 1] == ' ' || m_list[stop - 1] == '\t' ||
                            m_list[stop - 1] == '\r' || m_list[stop - 1] == '\n'))
            --stop;
        result = m_list.substr(i, stop - i);
        m_pos = sep == std::string::npos ? m_list.size() : sep + 1;
    }

    if (result) {
        // A function's parameter name stands for the argument of the current call. A
        // parameter named like a variable ($name, #name) was given its argument as that
        // variable's value when the call began: the variable rule below finds it.
        if (m_block && m_block->kind == k_kind_function && !is_variable_name(*result)) {
            for (int p = 0; p < m_block->param_count && p < k_max_params; ++p) {
                if (*result == m_block->param_names[p]) {
                    result = std::string(m_block->param_values[p]);
                    break;
                }
            }
        }
        if (mode != ArgMode::output && is_variable_name(*result) && var_exists(*result))
            result = var_text(*result);
    }

    if (m_canonical && separator) {
        const std::string text = result.value_or("");
        // An empty unquoted argument stays empty: the statement read again from its
        // canonical text gives the same text (a save, a load and a save write one block).
        if (mode == ArgMode::quoted && (was_quoted || (result && !result->empty())))
            *m_canonical += "\"" + text + "\"";
        else
            *m_canonical += text;
        *m_canonical += separator;
        if (separator == ')') *m_canonical += ';';
    }
    return result;
}

std::string form_object_path(std::string_view name, std::string_view prefix) {
    if (name.empty()) return {};
    std::string path;
    if (prefix.empty() || name[0] == '@' || name[0] == '<') {
        path.assign(name);
        if (!path.empty() && path.back() == '>') path.pop_back();
    } else {
        path.reserve(prefix.size() + 1 + name.size());
        path.append(prefix).append("/").append(name);
    }
    if (path.size() >= k_object_path_size) return {};
    return path;
}

namespace {

const struct {
    const char* name;
    std::uint32_t rgb;
} k_colour_names[] = {{"CLEAR", 0},         {"BLACK", 0},          {"GRAY", 0x808080},
                      {"SILVER", 0xC0C0C0}, {"WHITE", 0xFFFFFF},   {"RED", 0xFF0000},
                      {"LIME", 0x00FF00},   {"BLUE", 0x0000FF},    {"YELLOW", 0xFFFF00},
                      {"AQUA", 0x00FFFF},   {"FUCHSIA", 0xFF00FF}, {"MAROON", 0x800000},
                      {"GREEN", 0x008000},  {"NAVY", 0x000080},    {"OLIVE", 0x808000},
                      {"TEAL", 0x008080},   {"PURPLE", 0x800080}};

} // namespace

Colour parse_colour(std::string_view text) {
    Colour colour;
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    if (!text.empty() && text.front() == '#') {
        std::string_view digits = text.substr(1);
        std::size_t n = 0;
        while (n < digits.size() && hex_value(digits[n]) >= 0) ++n;
        // Anything after the digits (a closing quote, blanks) does not count.
        auto d = [&](std::size_t k) { return static_cast<std::uint32_t>(hex_value(digits[k])); };
        switch (n) {
        case 3:
        case 4:
            colour.rgb = (d(0) * 17) << 16 | (d(1) * 17) << 8 | (d(2) * 17);
            colour.alpha = n == 4 ? static_cast<std::uint8_t>(d(3) * 17) : 255;
            return colour;
        case 6:
        case 8:
            colour.rgb =
                (d(0) << 20) | (d(1) << 16) | (d(2) << 12) | (d(3) << 8) | (d(4) << 4) | d(5);
            colour.alpha = n == 8 ? static_cast<std::uint8_t>(d(6) << 4 | d(7)) : 255;
            return colour;
        default:
            return Colour{0, 0};
        }
    }
    const bool rgba = iequals_prefix(text, "RGBA(");
    if (rgba || iequals_prefix(text, "RGB(")) {
        std::uint32_t pairs[4] = {0, 0, 0, 255};
        const int wanted = rgba ? 4 : 3;
        std::size_t i = rgba ? 5 : 4;
        for (int p = 0; p < wanted; ++p) {
            while (i < text.size() && hex_value(text[i]) < 0 && text[i] != ')') ++i;
            if (i + 1 < text.size() && hex_value(text[i]) >= 0 && hex_value(text[i + 1]) >= 0) {
                pairs[p] =
                    static_cast<std::uint32_t>(hex_value(text[i]) * 16 + hex_value(text[i + 1]));
                i += 2;
            } else if (i < text.size() && hex_value(text[i]) >= 0) {
                pairs[p] = static_cast<std::uint32_t>(hex_value(text[i]));
                ++i;
            }
        }
        colour.rgb = pairs[0] << 16 | pairs[1] << 8 | pairs[2];
        colour.alpha = static_cast<std::uint8_t>(pairs[3]);
        return colour;
    }
    std::string_view t = text;
    if (!t.empty() && t.front() == '"') t.remove_prefix(1);
    if (!t.empty() && t.front() == '#') t.remove_prefix(1);
    if (iequals_prefix(t, "0X")) t.remove_prefix(2);
    std::string_view word = t;
    while (!word.empty() && (word.back() == '"' || word.back() == ' ')) word.remove_suffix(1);
    for (const auto& n : k_colour_names) {
        if (word.size() == std::strlen(n.name) && iequals_prefix(word, n.name)) {
            colour.rgb = n.rgb;
            return colour;
        }
    }
    std::uint32_t value = 0;
    for (char c : t) {
        const int h = hex_value(c);
        if (h >= 0) value = (value << 4) | static_cast<std::uint32_t>(h);
    }
    colour.rgb = value & 0xFFFFFF;
    return colour;
}

bool is_colour_text(std::string_view text) {
    auto blank = [](char c) { return c == ' ' || c == '\t'; };
    while (!text.empty() && blank(text.front())) text.remove_prefix(1);
    while (!text.empty() && (blank(text.back()) || text.back() == '"')) text.remove_suffix(1);
    if (!text.empty() && text.front() == '"') text.remove_prefix(1);
    auto all_hex = [](std::string_view t) {
        if (t.empty()) return false;
        for (char c : t)
            if (hex_value(c) < 0) return false;
        return true;
    };
    if (!text.empty() && text.front() == '#') {
        const std::string_view digits = text.substr(1);
        const std::size_t n = digits.size();
        return all_hex(digits) && (n == 3 || n == 4 || n == 6 || n == 8);
    }
    const bool rgba = iequals_prefix(text, "RGBA(");
    if (rgba || iequals_prefix(text, "RGB(")) {
        std::size_t i = rgba ? 5 : 4;
        for (int p = 0; p < (rgba ? 4 : 3); ++p) {
            while (i < text.size() && (blank(text[i]) || text[i] == ',')) ++i;
            std::size_t n = 0;
            while (i < text.size() && hex_value(text[i]) >= 0) ++i, ++n;
            if (n < 1 || n > 2) return false;
        }
        while (i < text.size() && blank(text[i])) ++i;
        return i + 1 == text.size() && text[i] == ')';
    }
    if (iequals_prefix(text, "0X")) return all_hex(text.substr(2));
    for (const auto& n : k_colour_names)
        if (text.size() == std::strlen(n.name) && iequals_prefix(text, n.name)) return true;
    return all_hex(text);
}

std::int32_t argument_int(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size() &&
           (text[i] == ' ' || text[i] == '\t' || text[i] == '\r' || text[i] == '\n'))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    long long v = 0;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
        v = v * 10 + (text[i++] - '0');
        if (v > 2147483648LL) v = 2147483648LL;
    }
    if (negative) v = -v;
    if (v > INT32_MAX) v = INT32_MAX;
    if (v < INT32_MIN) v = INT32_MIN;
    return static_cast<std::int32_t>(v);
}

} // namespace kestrune::script
