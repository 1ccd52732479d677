#include "platform/encoding.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <iconv.h>
#include <memory>
#include <mutex>
#include <vector>

namespace kestrune::platform {

namespace {

// Opening a converter loads its table (a shared library) and closing it unloads it again,
// which costs far more than converting a short text: each thread keeps the converters it
// has used open until it ends, and resets one's state before each use.
iconv_t open_converter(const char* to, const char* from) {
    struct Entry {
        const char* to;
        const char* from;
        iconv_t cd;
    };
    struct Cache {
        std::vector<Entry> entries;
        ~Cache() {
            for (const Entry& e : entries) iconv_close(e.cd);
        }
    };
    thread_local Cache cache;
    for (const Entry& e : cache.entries)
        if (std::strcmp(e.to, to) == 0 && std::strcmp(e.from, from) == 0) {
            iconv(e.cd, nullptr, nullptr, nullptr, nullptr);
            return e.cd;
        }
    iconv_t cd = iconv_open(to, from);
    if (cd != reinterpret_cast<iconv_t>(-1)) cache.entries.push_back({to, from, cd});
    return cd;
}

// Converts with iconv, replacing each byte sequence that does not convert by `bad`.
std::string convert(const char* to, const char* from, std::string_view in, std::string_view bad,
                    std::size_t bad_step) {
    iconv_t cd = open_converter(to, from);
    if (cd == reinterpret_cast<iconv_t>(-1)) return std::string(in);
    std::string out;
    out.reserve(in.size() * 2 + 16);
    char* src = const_cast<char*>(in.data());
    std::size_t src_left = in.size();
    char buffer[1024];
    while (src_left > 0) {
        char* dst = buffer;
        std::size_t dst_left = sizeof(buffer);
        const std::size_t r = iconv(cd, &src, &src_left, &dst, &dst_left);
        out.append(buffer, sizeof(buffer) - dst_left);
        if (r == static_cast<std::size_t>(-1)) {
            if (errno == E2BIG) continue;
            // EILSEQ or EINVAL: skip the offending unit.
            out.append(bad);
            const std::size_t step = std::min(src_left, bad_step);
            src += step;
            src_left -= step;
            iconv(cd, nullptr, nullptr, nullptr, nullptr);
        }
    }
    return out;
}

std::size_t utf8_sequence_length(unsigned char lead) {
    if (lead < 0x80) return 1;
    if (lead >= 0xF0) return 4;
    if (lead >= 0xE0) return 3;
    if (lead >= 0xC0) return 2;
    return 1;
}

std::string convert_from_utf8(const char* to, std::string_view in) {
    // Walk UTF-8 so that a character the target cannot hold becomes one '?'.
    iconv_t cd = open_converter(to, "UTF-8");
    if (cd == reinterpret_cast<iconv_t>(-1)) return std::string(in);
    std::string out;
    std::size_t i = 0;
    while (i < in.size()) {
        const std::size_t len =
            std::min(utf8_sequence_length(static_cast<unsigned char>(in[i])), in.size() - i);
        char* src = const_cast<char*>(in.data() + i);
        std::size_t src_left = len;
        char buffer[8];
        char* dst = buffer;
        std::size_t dst_left = sizeof(buffer);
        if (iconv(cd, &src, &src_left, &dst, &dst_left) == static_cast<std::size_t>(-1)) {
            out.push_back('?');
            iconv(cd, nullptr, nullptr, nullptr, nullptr);
        } else {
            out.append(buffer, sizeof(buffer) - dst_left);
        }
        i += len;
    }
    return out;
}

} // namespace

// CP936 is GBK proper; glibc's GBK converter is the same table.
std::string gbk_to_utf8(std::string_view gbk) {
    return convert("UTF-8", "CP936", gbk, "\xEF\xBF\xBD", 1);
}
std::string utf8_to_gbk(std::string_view utf8) {
    return convert_from_utf8("CP936", utf8);
}
std::string sjis_to_utf8(std::string_view sjis) {
    return convert("UTF-8", "CP932", sjis, "\xEF\xBF\xBD", 1);
}
std::string utf8_to_sjis(std::string_view utf8) {
    return convert_from_utf8("CP932", utf8);
}

char32_t gbk_code_to_unicode(std::uint32_t code) {
    static std::unique_ptr<std::array<char32_t, 65536>> table;
    static std::once_flag once;
    std::call_once(once, [] {
        table = std::make_unique<std::array<char32_t, 65536>>();
        auto& t = *table;
        t.fill(0);
        iconv_t cd = iconv_open("UTF-32LE", "CP936");
        if (cd == reinterpret_cast<iconv_t>(-1)) return;
        for (std::uint32_t c = 0; c < 65536; ++c) {
            char in[2];
            std::size_t in_len;
            if (c < 0x80) {
                in[0] = static_cast<char>(c);
                in_len = 1;
            } else if (c >= 0x8100 && (c & 0xFF) >= 0x40) {
                in[0] = static_cast<char>(c >> 8);
                in[1] = static_cast<char>(c & 0xFF);
                in_len = 2;
            } else {
                continue;
            }
            char out[8];
            char* src = in;
            char* dst = out;
            std::size_t src_left = in_len, dst_left = sizeof(out);
            if (iconv(cd, &src, &src_left, &dst, &dst_left) != static_cast<std::size_t>(-1) &&
                dst_left == sizeof(out) - 4) {
                const auto* u = reinterpret_cast<const unsigned char*>(out);
                t[c] = static_cast<char32_t>(u[0] | (u[1] << 8) | (u[2] << 16) | (u[3] << 24));
            }
            iconv(cd, nullptr, nullptr, nullptr, nullptr);
        }
        iconv_close(cd);
    });
    return code < 65536 ? (*table)[code] : 0;
}

} // namespace kestrune::platform
