// VKA archives: read-only packs of game resources lying in the working directory, found by
// their content (a 41-byte header beginning "VKA" with version 1), not by name.
//
//   header   "VKA", u32 version (1), u32 key1, u32 key2, u8 compressed, u8 scrambled,
//            u32 entry count, 4 x u32 spare, u32 index size             (41 bytes, packed)
//   index    per entry: u32 name length (<= 259), encoded name, u8 type, u32 spare,
//            u32 offset (from the data area), u32 stored size, u32 inflated size
//   data     the entries' stored bytes, from offset 41 + index size
//
// Entry names are stored lower case with '\' separators, each byte shifted by a sum of
// its position, the archive keys and the entry's index. With the compressed flag every
// entry is a zlib stream; with the scrambled flag the first min(stored size, name length
// + 4096) stored bytes of every entry go through the scramble table with a per-entry key.
//
// A resource "bg/ev01.png" is looked up as entry "ev01.png" first in the archives whose
// file name begins with "bg", then in every archive. The archive list is built once at
// start-up and is read-only afterwards, so lookups take no lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/memory.h"

namespace kestrune::storage {

inline constexpr std::size_t k_archive_header_size = 41;
inline constexpr std::size_t k_index_entry_fixed = 21; // bytes of an index entry besides its name
inline constexpr std::uint32_t k_max_entry_name = 259;
inline constexpr std::uint32_t k_scramble_extra = 0x1000;

struct ArchiveEntry {
    std::string name; // decoded: lower case, '\' separators
    std::uint8_t type = 0;
    std::uint32_t spare = 0;
    std::uint32_t offset = 0;
    std::uint32_t stored_size = 0;
    std::uint32_t inflated_size = 0;
    bool scrambled = false;
    bool compressed = false;
    std::uint32_t scramble_length = 0;
    std::uint32_t key = 0;
    std::uint64_t data_base = 0; // absolute file position of the data area
    std::uint32_t hash = 0;

    std::uint64_t start() const { return data_base + offset; }
    std::uint32_t content_size() const { return compressed ? inflated_size : stored_size; }
};

struct Archive {
    std::uint32_t version = 0;
    std::uint32_t key1 = 0;
    std::uint32_t key2 = 0;
    bool compressed = false;
    bool scrambled = false;
    std::uint32_t entry_count = 0;
    std::uint32_t spare[4] = {};
    std::uint32_t index_size = 0;
    std::string base_name;     // file name as found on disk (UTF-8)
    std::string base_name_gbk; // the same in the scripts' GBK, for matching the component
    std::string path;          // absolute path
    std::uint64_t file_size = 0;
    std::vector<ArchiveEntry> entries; // index order
};

// True when the 41 bytes form an archive header (magic and version 1).
bool is_archive_header(const std::uint8_t* data, std::size_t size);

// Parses the header and index held in data (the first bytes of a file of file_size
// bytes). Every name length, offset and size is checked in 64-bit arithmetic against the
// index and the file; a damaged index is refused with the fault in *error.
bool parse_archive(const std::uint8_t* data, std::size_t size, std::uint64_t file_size,
                   Archive& out, std::string* error);
// Reads an archive file's header and index. False (error empty) when the file is no
// archive; false with *error set when it is a damaged one.
std::shared_ptr<Archive> read_archive(const std::string& path, std::string* error);

// Builds the archive list from the plain files of dir (in name order). The first call
// does the work; later calls do nothing and return false, as the list never changes.
bool scan_archives(std::string_view dir = ".");
// Drops the archive list so that scan_archives may run again (tests and tools only;
// files already bound to an entry keep their archive alive).
void reset_archives();
std::vector<std::shared_ptr<const Archive>> archive_list();

std::uint32_t entry_key(const Archive& archive, std::uint32_t hash, std::uint32_t inflated);
// The name byte shift for byte i of entry e.
std::uint8_t name_shift(std::uint32_t key1, std::uint32_t key2, std::uint32_t e, std::uint32_t i);

// An entry, looked up by its decoded name; compares the hash, then the whole name.
const ArchiveEntry* find_entry(const Archive& archive, std::uint32_t hash, std::string_view name);
// Finds the archive and entry serving a resource name (see above).
bool lookup_entry(std::string_view resource_name, std::shared_ptr<const Archive>& archive,
                  const ArchiveEntry*& entry);

// Turns an entry's stored bytes (in a zeroed block) into its content: unscrambles the
// prefix in place and inflates when compressed; the inflated length must match the index.
bool decode_entry(const ArchiveEntry& entry, platform::BlockPtr stored, platform::BlockPtr& out,
                  std::size_t& out_size, std::string* error);
// Reads, unscrambles and inflates one entry straight from its archive file.
bool read_entry(const Archive& archive, const ArchiveEntry& entry, platform::BlockPtr& out,
                std::size_t& out_size, std::string* error);
// Unscrambles bytes read from position pos of a scrambled entry.
void unscramble_entry_bytes(const ArchiveEntry& entry, std::uint64_t pos, std::uint8_t* bytes,
                            std::size_t n);

} // namespace kestrune::storage
