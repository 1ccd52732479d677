// Text built-ins: String (formatted printing), Strlen, Strstr, Substr. Character counts
// and positions count a double-byte pair as one character.
#include "script/builtins.h"

#include "script/scanner.h"

#include <algorithm>
#include <cstdio>

namespace kestrune::script::builtins {

namespace {

constexpr std::size_t k_text_max = k_text_result_size - 1;
constexpr int k_field_max = 1023; // widths and precisions beyond the result size are cut

const Value& arg(const BuiltinCall& c, std::size_t i) {
    static const Value empty;
    return i < c.args.size() ? c.args[i] : empty;
}

void append_cut(std::string& out, std::string_view piece) {
    if (out.size() >= k_text_max) return;
    std::size_t room = k_text_max - out.size();
    out.append(piece.substr(0, fit_bytes(piece, room)));
}

// One conversion of the format, parsed by us so that the script's text is never handed
// to printf as a format: flags, width, precision, length (dropped) and conversion.
struct Conversion {
    std::string flags;
    int width = -1;
    int precision = -1;
    char conv = 0;
    bool refused = false;   // '*', %n, %p or an unknown conversion
    std::size_t length = 0; // bytes of the conversion in the format
};

Conversion parse_conversion(std::string_view f, std::size_t at) {
    Conversion c;
    std::size_t i = at + 1;
    while (i < f.size() && std::string_view("-+ #0").find(f[i]) != std::string_view::npos)
        c.flags += f[i++];
    auto number = [&](int& out) {
        if (i < f.size() && f[i] == '*') {
            c.refused = true;
            i++;
            return;
        }
        if (i >= f.size() || f[i] < '0' || f[i] > '9') return;
        long v = 0;
        while (i < f.size() && f[i] >= '0' && f[i] <= '9') {
            v = std::min<long>(v * 10 + (f[i] - '0'), 100000);
            i++;
        }
        out = static_cast<int>(std::min<long>(v, k_field_max));
    };
    number(c.width);
    if (i < f.size() && f[i] == '.') {
        i++;
        c.precision = 0;
        number(c.precision);
    }
    while (i < f.size() && std::string_view("hlLqjzt").find(f[i]) != std::string_view::npos) i++;
    if (i < f.size()) {
        c.conv = f[i++];
        if (std::string_view("diouxXcseEfFgGaA").find(c.conv) == std::string_view::npos)
            c.refused = true;
    } else {
        c.refused = true;
    }
    c.length = i - at;
    return c;
}

std::string format_one(const Conversion& c, const Value& v) {
    std::string fmt = "%" + c.flags;
    if (c.width >= 0) fmt += std::to_string(c.width);
    if (c.precision >= 0) fmt += "." + std::to_string(c.precision);
    char buf[k_text_result_size + 64];
    switch (c.conv) {
    case 'd':
    case 'i':
        fmt += c.conv;
        std::snprintf(buf, sizeof buf, fmt.c_str(), to_int(numeric_of(v)));
        break;
    case 'o':
    case 'u':
    case 'x':
    case 'X':
        fmt += c.conv;
        std::snprintf(buf, sizeof buf, fmt.c_str(), static_cast<unsigned>(to_int(numeric_of(v))));
        break;
    case 'c':
        fmt += 'c';
        std::snprintf(buf, sizeof buf, fmt.c_str(),
                      v.has_text ? (v.text.empty() ? 0 : static_cast<unsigned char>(v.text[0]))
                                 : to_int(v.number) & 0xFF);
        break;
    case 's': {
        fmt += 's';
        std::string t = value_text(v);
        std::snprintf(buf, sizeof buf, fmt.c_str(), t.c_str());
        break;
    }
    default: // floating conversions receive the number itself
        fmt += c.conv;
        std::snprintf(buf, sizeof buf, fmt.c_str(), numeric_of(v));
        break;
    }
    return buf;
}

} // namespace

Value string_format(const BuiltinCall& call) {
    std::string fmt = value_text(arg(call, 0));
    std::string out;
    std::size_t next_value = 1;
    for (std::size_t i = 0; i < fmt.size() && out.size() < k_text_max;) {
        if (fmt[i] != '%') {
            std::size_t w =
                (static_cast<unsigned char>(fmt[i]) >= 0x80 && i + 1 < fmt.size()) ? 2 : 1;
            append_cut(out, std::string_view(fmt).substr(i, w));
            i += w;
            continue;
        }
        if (i + 1 < fmt.size() && fmt[i + 1] == '%') {
            append_cut(out, "%");
            i += 2;
            continue;
        }
        Conversion c = parse_conversion(fmt, i);
        if (c.refused || next_value >= call.args.size()) {
            // Refused conversions, and conversions left without a value, stay as written.
            append_cut(out, std::string_view(fmt).substr(i, c.length));
        } else {
            append_cut(out, format_one(c, call.args[next_value++]));
        }
        i += c.length;
    }
    return Value::of_text(out);
}

Value strlen_fn(const BuiltinCall& call) {
    return Value::of_number(static_cast<double>(char_count(value_text(arg(call, 0)))));
}

Value strstr_fn(const BuiltinCall& call) {
    std::string text = value_text(arg(call, 0));
    std::string part = value_text(arg(call, 1));
    if (text.empty() || part.empty()) return Value::of_number(0);
    // Walk by characters so that a match never starts on the trail byte of a pair.
    std::size_t chars = 0;
    for (std::size_t i = 0; i < text.size(); chars++) {
        if (text.compare(i, part.size(), part) == 0) return Value::of_number(chars + 1.0);
        i += (static_cast<unsigned char>(text[i]) >= 0x80 && i + 1 < text.size()) ? 2 : 1;
    }
    return Value::of_number(0);
}

Value substr_fn(const BuiltinCall& call) {
    std::string text = value_text(arg(call, 0));
    std::size_t length = char_count(text);
    // Indexes outside the text are clamped to it.
    long long start = std::clamp<long long>(to_int64(numeric_of(arg(call, 1))), 0,
                                            static_cast<long long>(length));
    long long count =
        call.args.size() >= 3 ? to_int64(numeric_of(arg(call, 2))) : static_cast<long long>(length);
    count = std::clamp<long long>(count, 0, static_cast<long long>(length) - start);
    std::size_t from = char_offset(text, static_cast<std::size_t>(start));
    std::size_t to =
        from + char_offset(std::string_view(text).substr(from), static_cast<std::size_t>(count));
    return Value::of_text(std::string_view(text).substr(from, to - from));
}

} // namespace kestrune::script::builtins
