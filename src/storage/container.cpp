#include "storage/container.h"

#include <cstring>

#include "storage/codec.h"

namespace kestrune::storage {

namespace {
// zlib never inflates by more than about 1032 to 1; a header claiming more cannot be right
// and is refused before anything is allocated for it.
constexpr std::uint64_t k_max_inflate_ratio = 1040;

bool fail(std::string* error, const char* why) {
    if (error) *error = why;
    return false;
}
} // namespace

std::uint32_t container_key(std::string_view name) {
    return name_hash(lower_name(name));
}

bool is_vksf(const std::uint8_t* data, std::size_t size) {
    return data && size >= 4 && std::memcmp(data, "VKSF", 4) == 0;
}

bool vksf_encode(const std::uint8_t* content, std::size_t size, std::uint32_t key,
                 platform::BlockPtr& out, std::size_t& out_size) {
    if (size > k_max_content_size || (size && !content)) return false;
    platform::BlockPtr block = platform::make_block(size + k_vksf_header_size);
    if (!block) return false;
    std::uint8_t* p = block.get();
    std::memcpy(p, "VKSF", 4);
    put_u32(p + 4, std::uint32_t(size));
    put_u32(p + 8, std::uint32_t(size));
    put_u32(p + 12, 0);
    for (std::size_t i = 0; i < size; ++i) p[16 + i] = k_scramble_table[(key + content[i]) & 0xFF];
    out = std::move(block);
    out_size = size + k_vksf_header_size;
    return true;
}

bool vksf_decode(const std::uint8_t* data, std::size_t size, std::uint32_t key,
                 platform::BlockPtr& out, std::size_t& out_size, std::string* error) {
    if (size < k_vksf_header_size) return fail(error, "container shorter than its header");
    if (!is_vksf(data, size)) return fail(error, "not a VKSF container");
    const std::uint64_t content_size = read_u32(data + 4);
    const std::uint32_t count_field = read_u32(data + 8);
    const bool compressed = read_u32(data + 12) != 0;
    const std::uint64_t payload = size - k_vksf_header_size;
    const std::uint8_t* src = data + k_vksf_header_size;

    std::uint64_t scrambled = count_field;
    if (count_field == 1) scrambled = payload < 4096 ? payload : 4096;
    if (scrambled > payload) return fail(error, "scrambled count larger than the payload");
    if (content_size > k_max_content_size) return fail(error, "content size too large");
    if (!compressed && content_size > payload)
        return fail(error, "content size larger than the payload");
    if (compressed && content_size > payload * k_max_inflate_ratio + 64)
        return fail(error, "content size out of proportion to the compressed payload");

    const std::uint8_t key8 = std::uint8_t(key);
    if (!compressed) {
        platform::BlockPtr block = platform::make_block(std::size_t(content_size));
        if (!block) return fail(error, "out of memory");
        std::memcpy(block.get(), src, std::size_t(content_size));
        const std::uint64_t n = scrambled < content_size ? scrambled : content_size;
        for (std::uint64_t i = 0; i < n; ++i)
            block[i] = std::uint8_t(k_unscramble_table[block[i]] - key8);
        out = std::move(block);
        out_size = std::size_t(content_size);
        return true;
    }
    platform::BlockPtr stream = platform::make_block(std::size_t(payload));
    if (!stream) return fail(error, "out of memory");
    std::memcpy(stream.get(), src, std::size_t(payload));
    for (std::uint64_t i = 0; i < scrambled; ++i)
        stream[i] = std::uint8_t(k_unscramble_table[stream[i]] - key8);
    platform::BlockPtr block;
    if (!inflate_exact(stream.get(), std::size_t(payload), std::size_t(content_size), block))
        return fail(error, "compressed payload does not inflate to the content size");
    out = std::move(block);
    out_size = std::size_t(content_size);
    return true;
}

} // namespace kestrune::storage
