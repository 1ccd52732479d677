#include "storage/codec.h"

#include <zlib.h>

#include "platform/encoding.h"

namespace kestrune::storage {

const std::array<std::uint8_t, 256> k_scramble_table = {
    0x8A, 0x7E, 0xC4, 0x71, 0x41, 0xAC, 0x97, 0xCC, 0x1E, 0xD1, 0xBC, 0x6A, 0x74, 0xB4, 0xAF, 0xFB,
    0x9D, 0xEC, 0xF5, 0x44, 0xF3, 0xBE, 0x61, 0xDC, 0xBB, 0xBF, 0x52, 0x79, 0x65, 0x3F, 0xD0, 0x7A,
    0x03, 0x16, 0x87, 0xB7, 0x67, 0x0F, 0x29, 0xF8, 0x68, 0xF4, 0xFE, 0x12, 0x15, 0x32, 0xC7, 0x47,
    0x17, 0x58, 0xB5, 0x57, 0x53, 0x43, 0x2A, 0xDD, 0xB8, 0x05, 0xED, 0x56, 0x75, 0x2C, 0x7B, 0x02,
    0x4A, 0x8C, 0x54, 0x2D, 0xC9, 0xC8, 0x76, 0x51, 0x9A, 0x34, 0x88, 0x7D, 0xA3, 0x98, 0xD8, 0x91,
    0xCD, 0xA8, 0xBD, 0xE6, 0x1A, 0xA1, 0xD6, 0xCA, 0x8E, 0x78, 0x92, 0x73, 0xA4, 0x20, 0x00, 0x59,
    0x3A, 0xA5, 0xF9, 0x1C, 0x86, 0x5A, 0xC0, 0x40, 0xCB, 0xB1, 0xDE, 0x9C, 0xDF, 0x0C, 0x18, 0xA2,
    0x6F, 0xEF, 0x1F, 0xCF, 0xE9, 0xEA, 0x0E, 0x7C, 0x8B, 0xB6, 0x0B, 0x36, 0x10, 0x14, 0xD2, 0x0D,
    0x3D, 0xFC, 0xB2, 0xFD, 0x08, 0x07, 0xF2, 0xE2, 0x37, 0x25, 0x39, 0xF1, 0x9E, 0x4F, 0xE5, 0x3E,
    0x6B, 0x5F, 0xD3, 0x01, 0x38, 0x50, 0x0A, 0x46, 0xAB, 0xFA, 0xE0, 0x66, 0x6E, 0xA7, 0x4C, 0xEB,
    0x85, 0x09, 0x2E, 0x6D, 0x33, 0xB0, 0x93, 0x19, 0x96, 0xC5, 0xC1, 0x9F, 0x7F, 0x5B, 0x49, 0x3C,
    0xC2, 0x28, 0x26, 0x22, 0x69, 0xFF, 0xB3, 0x27, 0x1B, 0x24, 0x1D, 0x4B, 0x94, 0x6C, 0xD5, 0x55,
    0x82, 0xA0, 0xA9, 0xDB, 0x9B, 0xF6, 0xE4, 0xDA, 0x5D, 0xE3, 0x48, 0x89, 0x60, 0xE1, 0x2B, 0xE8,
    0x23, 0x3B, 0x81, 0x30, 0x35, 0x45, 0x42, 0xBA, 0x83, 0x5E, 0x2F, 0xC3, 0xB9, 0x90, 0x21, 0x62,
    0xD9, 0x70, 0x4D, 0x5C, 0x04, 0x13, 0x80, 0xEE, 0xF0, 0x77, 0xA6, 0xAD, 0x4E, 0xAE, 0x8D, 0x95,
    0x11, 0xD4, 0x31, 0xD7, 0xAA, 0xC6, 0xCE, 0x84, 0x06, 0x99, 0xE7, 0x64, 0x72, 0xF7, 0x8F, 0x63,
};

namespace {
constexpr std::array<std::uint8_t, 256> invert(const std::array<std::uint8_t, 256>& t) {
    std::array<std::uint8_t, 256> inv{};
    for (int i = 0; i < 256; ++i) inv[t[std::size_t(i)]] = std::uint8_t(i);
    return inv;
}

std::uint32_t seeded_hash(std::uint32_t seed, std::string_view name) {
    std::uint32_t h = seed;
    for (unsigned char c : name) h -= c;
    return h * std::uint32_t(name.size());
}
} // namespace

const std::array<std::uint8_t, 256> k_unscramble_table = invert(k_scramble_table);

std::uint32_t name_hash(std::string_view name) {
    return seeded_hash(0x15D3B86Fu, base_name(name));
}

std::uint32_t entry_hash(std::string_view name) {
    return seeded_hash(0x2C4E7A19u, name);
}

std::string_view base_name(std::string_view name) {
    std::size_t start = 0;
    for (std::size_t i = 0; i < name.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(name[i]);
        if (platform::is_lead_byte(c) && i + 1 < name.size())
            ++i;
        else if (c == '/' || c == '\\')
            start = i + 1;
    }
    return name.substr(start);
}

std::string lower_name(std::string_view name) {
    return lookup_name(name, 0);
}

std::string lookup_name(std::string_view name, char sep) {
    std::string out(name);
    for (std::size_t i = 0; i < out.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(out[i]);
        if (platform::is_lead_byte(c) && i + 1 < out.size())
            ++i;
        else if (c >= 'A' && c <= 'Z')
            out[i] = char(c - 'A' + 'a');
        else if (sep && (c == '/' || c == '\\'))
            out[i] = sep;
    }
    return out;
}

bool inflate_exact(const std::uint8_t* src, std::size_t size, std::size_t expected,
                   platform::BlockPtr& out) {
    if (expected > k_max_content_size || size > k_max_content_size) return false;
    // zlib never inflates by more than about 1032 to 1: a larger claim is refused before a
    // block of that size is allocated and zeroed.
    if (std::uint64_t(expected) > std::uint64_t(size) * 1040 + 64) return false;
    platform::BlockPtr dst = platform::make_block(expected);
    if (!dst) return false;
    z_stream zs{};
    if (inflateInit(&zs) != Z_OK) return false;
    zs.next_in = const_cast<Bytef*>(src);
    zs.avail_in = uInt(size);
    zs.next_out = dst.get();
    // One byte of room beyond the declared size (the block's slack holds it) shows a stream
    // that inflates to more than the index or header said.
    zs.avail_out = uInt(expected + 1);
    int rc = inflate(&zs, Z_FINISH);
    const bool ok = rc == Z_STREAM_END && zs.total_out == expected;
    if (inflateEnd(&zs) != Z_OK || !ok) return false;
    out = std::move(dst);
    return true;
}

bool deflate_block(const std::uint8_t* src, std::size_t size, platform::BlockPtr& out,
                   std::size_t& out_size) {
    if (size > k_max_content_size) return false;
    const uLong bound = compressBound(uLong(size));
    platform::BlockPtr dst = platform::make_block(bound);
    if (!dst) return false;
    uLongf len = bound;
    if (compress2(dst.get(), &len, src, uLong(size), Z_BEST_COMPRESSION) != Z_OK) return false;
    out = std::move(dst);
    out_size = len;
    return true;
}

} // namespace kestrune::storage

#include <cstdio>

namespace kestrune::storage {
void report_fault(std::string_view file, std::string_view fault) {
    std::fprintf(stderr, "kestrune: %.*s: %.*s\n", int(file.size()), file.data(), int(fault.size()),
                 fault.data());
}
void report_message(std::string_view message) {
    std::fprintf(stderr, "kestrune: %.*s\n", int(message.size()), message.data());
}
} // namespace kestrune::storage
