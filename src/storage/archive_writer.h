// Writing VKA archives (the packer tool and tests). The engine itself never writes them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace kestrune::storage {

struct ArchiveWriterOptions {
    bool compress = false;
    bool scramble = true;
    std::uint32_t key1 = 0x6B657374; // any values; readers take them from the header
    std::uint32_t key2 = 0x72756E65;
};

class ArchiveWriter {
public:
    explicit ArchiveWriter(ArchiveWriterOptions options = {}) : m_options(options) {}

    // Adds an entry whose content is read from a file when the archive is written. The
    // name is stored in lookup spelling (lower case, '\'); it must be 1 to 259 bytes.
    bool add_file(std::string_view entry_name, std::string path);
    // Adds an entry with the given content.
    bool add_bytes(std::string_view entry_name, std::vector<std::uint8_t> content);
    std::size_t size() const { return m_entries.size(); }

    // Writes the archive atomically. progress(done, total) is called after each entry.
    bool write(std::string_view out_path, std::string* error,
               const std::function<void(std::size_t, std::size_t)>& progress = {}) const;

private:
    struct Item {
        std::string name;
        std::string path;
        std::vector<std::uint8_t> content;
        bool from_file = false;
    };
    ArchiveWriterOptions m_options;
    std::vector<Item> m_entries;
};

} // namespace kestrune::storage
