// The VKSF container, in which the engine stores the files it writes (save data, files
// written by scripts) and which it decodes transparently when it loads a loose file.
//
//   offset 0   "VKSF"
//          4   u32 content size (decoded)
//          8   u32 scrambled count: 0 none; 1 the first min(payload, 4096) payload bytes;
//              any other value that many payload bytes
//         12   u32 compressed: non-zero = the unscrambled payload is a zlib stream
//         16   payload (file size - 16 bytes)
//
// A scrambled byte b is stored as table[(key + b) mod 256]. The key is the name hash of
// the file's lower-cased base name, so a container only decodes under the name it was
// written under.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/memory.h"

namespace kestrune::storage {

inline constexpr std::size_t k_vksf_header_size = 16;

std::uint32_t container_key(std::string_view name);
bool is_vksf(const std::uint8_t* data, std::size_t size);

// Scrambles all of the content (scrambled count = content size, not compressed).
bool vksf_encode(const std::uint8_t* content, std::size_t size, std::uint32_t key,
                 platform::BlockPtr& out, std::size_t& out_size);
// Checks every header field against the payload; a damaged container is refused with the
// fault in *error. out is a zeroed block holding out_size content bytes.
bool vksf_decode(const std::uint8_t* data, std::size_t size, std::uint32_t key,
                 platform::BlockPtr& out, std::size_t& out_size, std::string* error = nullptr);

} // namespace kestrune::storage
