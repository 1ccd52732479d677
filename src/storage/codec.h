// The byte-level pieces shared by archives, the VKSF container and the packer: the
// scramble table, the two name hashes, the lookup spelling of names, and zlib streams.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/memory.h"

namespace kestrune::storage {

// A fixed permutation of the 256 byte values. Writers map bytes through it, readers
// through its inverse. Changing it makes every archive and container unreadable.
extern const std::array<std::uint8_t, 256> k_scramble_table;
extern const std::array<std::uint8_t, 256> k_unscramble_table;

// Largest content the storage layer will hold in memory for one file.
inline constexpr std::uint64_t k_max_content_size = std::uint64_t{1} << 30;

// Seeded byte-sum hashes times the length (32-bit wrapping). The name hash keys VKSF
// containers and the file cache; the entry hash speeds up archive lookups.
std::uint32_t name_hash(std::string_view name);
std::uint32_t entry_hash(std::string_view name);

// The text after the last '/' or '\' (trail bytes of double-byte characters excepted).
std::string_view base_name(std::string_view name);

// ASCII capitals to lower case; both bytes of a double-byte character stay as they are.
std::string lower_name(std::string_view name);
// lower_name plus every separator turned into sep ('\\' for archive lookups, '/' for the
// file cache).
std::string lookup_name(std::string_view name, char sep);

// Inflates a zlib stream (RFC 1950) that must produce exactly expected bytes. The result
// is a zeroed block (see platform/memory.h). False for a broken or truncated stream, or
// one that inflates to any other length.
bool inflate_exact(const std::uint8_t* src, std::size_t size, std::size_t expected,
                   platform::BlockPtr& out);
// Deflates into a zeroed block; out_size receives the stream's length.
bool deflate_block(const std::uint8_t* src, std::size_t size, platform::BlockPtr& out,
                   std::size_t& out_size);

// Reads little-endian integers from a byte pointer.
inline std::uint32_t read_u32(const std::uint8_t* p) {
    return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 |
           std::uint32_t(p[3]) << 24;
}
inline std::uint16_t read_u16(const std::uint8_t* p) {
    return std::uint16_t(p[0] | p[1] << 8);
}
inline void put_u32(std::uint8_t* p, std::uint32_t v) {
    p[0] = std::uint8_t(v);
    p[1] = std::uint8_t(v >> 8);
    p[2] = std::uint8_t(v >> 16);
    p[3] = std::uint8_t(v >> 24);
}

} // namespace kestrune::storage

namespace kestrune::storage {
// Prints "kestrune: FILE: FAULT" on stderr. Data faults (a damaged archive, container or
// image) are reported where they are found; a plain miss is left to the caller.
void report_fault(std::string_view file, std::string_view fault);
// Prints "kestrune: MESSAGE" (a message that already names its file).
void report_message(std::string_view message);
} // namespace kestrune::storage
