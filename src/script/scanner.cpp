#include "script/scanner.h"

#include <cstring>

namespace kestrune::script {

namespace {

inline unsigned char byte_at(const char* p) {
    return static_cast<unsigned char>(*p);
}

bool is_wide_space(const char* p, const char* end) {
    return end - p >= 2 && byte_at(p) == 0xA1 && byte_at(p + 1) == 0xA1;
}

} // namespace

int space_width(const char* p, const char* end) {
    if (p >= end) return 0;
    char c = *p;
    if (c == ' ' || c == '\t' || c == '\r' || c == '\n') return 1;
    return is_wide_space(p, end) ? 2 : 0;
}

int blank_width(const char* p, const char* end) {
    if (p >= end) return 0;
    char c = *p;
    if (c == ' ' || c == '\t') return 1;
    return is_wide_space(p, end) ? 2 : 0;
}

const char* skip_space(const char* p, const char* end) {
    while (int w = space_width(p, end)) p += w;
    return p;
}

const char* skip_blanks(const char* p, const char* end) {
    while (int w = blank_width(p, end)) p += w;
    return p;
}

int char_width(const char* p, const char* end) {
    if (p >= end) return 0;
    if (byte_at(p) >= 0x80 && end - p >= 2) return 2;
    return 1;
}

bool skip_comment(const char*& p, const char* end) {
    if (p >= end) return false;
    const char* q = p;
    if (*q == '/' && end - q >= 2 && q[1] == '/') {
        q += 2;
        while (q < end && *q != '\r' && *q != '\n') q++;
        if (q < end) q++;
        if (q < end && *q == '\n') q++;
        p = q;
        return true;
    }
    if (*q == '/' && end - q >= 2 && q[1] == '*') {
        // Nested /* */ pairs count, so a commented-out region may itself hold comments.
        int depth = 1;
        q += 2;
        while (q < end && depth > 0) {
            if (*q == '/' && end - q >= 2 && q[1] == '*') {
                depth++;
                q += 2;
            } else if (*q == '*' && end - q >= 2 && q[1] == '/') {
                depth--;
                q += 2;
            } else {
                q += char_width(q, end);
            }
        }
        if (q < end && *q == '\r') q++;
        if (q < end && *q == '\n') q++;
        p = q;
        return true;
    }
    if (*q == '\r' || *q == '\n') {
        q++;
        if (q < end && *q == '\n') q++;
        // A line that begins with a full stop is a comment line.
        if (q < end && *q == '.') {
            while (q < end && *q != '\r' && *q != '\n') q++;
        }
        p = q;
        return true;
    }
    return false;
}

const char* find_block_end(const char* p, const char* end) {
    int depth = 0;
    bool quoted = false;
    while (p < end) {
        char c = *p;
        if (c == '"') {
            quoted = !quoted;
            p++;
            continue;
        }
        if (quoted) {
            if (c == '\\' && end - p >= 2 && p[1] == '"') {
                p += 2;
                continue;
            }
            p += char_width(p, end);
            continue;
        }
        if (c == '/' && end - p >= 2 && (p[1] == '/' || p[1] == '*')) {
            skip_comment(p, end);
            continue;
        }
        if (c == '{') {
            depth++;
        } else if (c == '}') {
            if (depth == 0) return nullptr;
            if (--depth == 0) return p;
        }
        p += char_width(p, end);
    }
    return nullptr;
}

bool is_number_text(std::string_view text) {
    if (text.empty()) return false;
    for (char c : text) {
        if (!((c >= '0' && c <= '9') || c == '+' || c == '-')) return false;
    }
    return true;
}

bool is_bool_word(std::string_view text, int& value) {
    if (equals_nocase(text, "TRUE")) {
        value = 1;
        return true;
    }
    if (equals_nocase(text, "FALSE")) {
        value = 0;
        return true;
    }
    return false;
}

bool is_null_word(std::string_view text) {
    return equals_nocase(text, "NULL");
}

char ascii_upper(char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c;
}
char ascii_lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
}

std::string to_upper(std::string_view text) {
    std::string out(text);
    for (std::size_t i = 0; i < out.size(); i++) {
        if (static_cast<unsigned char>(out[i]) >= 0x80) {
            i++; // the trail byte of a pair is not a letter
            continue;
        }
        out[i] = ascii_upper(out[i]);
    }
    return out;
}

bool equals_nocase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    return starts_with_nocase(a, b);
}

bool starts_with_nocase(std::string_view text, std::string_view prefix) {
    if (text.size() < prefix.size()) return false;
    for (std::size_t i = 0; i < prefix.size(); i++) {
        if (ascii_upper(text[i]) != ascii_upper(prefix[i])) return false;
    }
    return true;
}

std::size_t char_count(std::string_view text) {
    std::size_t n = 0;
    for (std::size_t i = 0; i < text.size(); n++) {
        i += (static_cast<unsigned char>(text[i]) >= 0x80 && i + 1 < text.size()) ? 2 : 1;
    }
    return n;
}

std::size_t char_offset(std::string_view text, std::size_t n) {
    std::size_t i = 0;
    while (n > 0 && i < text.size()) {
        i += (static_cast<unsigned char>(text[i]) >= 0x80 && i + 1 < text.size()) ? 2 : 1;
        n--;
    }
    return i;
}

std::size_t fit_bytes(std::string_view text, std::size_t max_bytes) {
    if (text.size() <= max_bytes) return text.size();
    std::size_t i = 0;
    while (i < text.size()) {
        std::size_t w =
            (static_cast<unsigned char>(text[i]) >= 0x80 && i + 1 < text.size()) ? 2 : 1;
        if (i + w > max_bytes) break;
        i += w;
    }
    return i;
}

std::size_t copy_field(char* dst, std::size_t size, std::string_view src) {
    if (size == 0) return 0;
    std::size_t n = fit_bytes(src, size - 1);
    std::memcpy(dst, src.data(), n);
    dst[n] = '\0';
    return n;
}

} // namespace kestrune::script
