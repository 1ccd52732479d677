#include "storage/archive_writer.h"

#include <cstring>

#include "platform/files.h"
#include "storage/archive.h"
#include "storage/codec.h"

namespace kestrune::storage {

bool ArchiveWriter::add_file(std::string_view entry_name, std::string path) {
    const std::string name = lookup_name(entry_name, '\\');
    if (name.empty() || name.size() > k_max_entry_name) return false;
    m_entries.push_back({name, std::move(path), {}, true});
    return true;
}

bool ArchiveWriter::add_bytes(std::string_view entry_name, std::vector<std::uint8_t> content) {
    const std::string name = lookup_name(entry_name, '\\');
    if (name.empty() || name.size() > k_max_entry_name) return false;
    if (content.size() > k_max_content_size) return false;
    m_entries.push_back({name, {}, std::move(content), false});
    return true;
}

bool ArchiveWriter::write(std::string_view out_path, std::string* error,
                          const std::function<void(std::size_t, std::size_t)>& progress) const {
    auto fail = [&](const std::string& why) {
        if (error) *error = why;
        return false;
    };
    std::uint64_t index_size = 0;
    for (const auto& e : m_entries) index_size += k_index_entry_fixed + e.name.size();
    if (index_size > 0xFFFFFFFFu || m_entries.size() > 0xFFFFFFFFu) return fail("too many entries");

    auto target = platform::path_for_writing(out_path);
    if (!target) return fail(std::string(out_path) + ": folder does not exist");
    auto out = platform::File::open_write(*target);
    if (!out) return fail(std::string(out_path) + ": cannot create");

    Archive header;
    header.key1 = m_options.key1;
    header.key2 = m_options.key2;
    std::uint8_t head[k_archive_header_size] = {};
    std::memcpy(head, "VKA", 3);
    put_u32(head + 3, 1);
    put_u32(head + 7, m_options.key1);
    put_u32(head + 11, m_options.key2);
    head[15] = m_options.compress ? 1 : 0;
    head[16] = m_options.scramble ? 1 : 0;
    put_u32(head + 17, std::uint32_t(m_entries.size()));
    put_u32(head + 37, std::uint32_t(index_size));
    std::vector<std::uint8_t> index(std::size_t(index_size), 0);
    if (out->write(head, sizeof head) != sizeof head ||
        (index_size && out->write(index.data(), index.size()) != index.size()))
        return fail(std::string(out_path) + ": write failed");

    std::uint64_t data_pos = 0;
    std::size_t at = 0;
    for (std::size_t e = 0; e < m_entries.size(); ++e) {
        const Item& item = m_entries[e];
        platform::FileData loaded;
        const std::uint8_t* content = item.content.data();
        std::size_t content_size = item.content.size();
        if (item.from_file) {
            std::string why;
            if (!platform::read_file(item.path, loaded, &why, k_max_content_size)) return fail(why);
            content = loaded.data.get();
            content_size = loaded.size;
        }
        platform::BlockPtr packed;
        std::size_t stored_size = content_size;
        if (m_options.compress) {
            if (!deflate_block(content, content_size, packed, stored_size))
                return fail(item.name + ": cannot compress");
        } else {
            packed = platform::make_block(content_size);
            if (!packed) return fail("out of memory");
            if (content_size) std::memcpy(packed.get(), content, content_size);
        }
        if (data_pos + stored_size > 0xFFFFFFFFu) return fail("archive larger than 4 GiB");

        ArchiveEntry entry;
        entry.name = item.name;
        entry.hash = entry_hash(item.name);
        entry.stored_size = std::uint32_t(stored_size);
        entry.inflated_size = std::uint32_t(content_size);
        if (m_options.scramble) {
            const std::uint64_t limit = item.name.size() + std::uint64_t(k_scramble_extra);
            const std::uint64_t n = stored_size < limit ? stored_size : limit;
            const std::uint8_t key =
                std::uint8_t(entry_key(header, entry.hash, entry.inflated_size));
            for (std::uint64_t i = 0; i < n; ++i)
                packed[i] = k_scramble_table[std::uint8_t(packed[i] + key + std::uint8_t(i))];
        }
        if (stored_size && out->write(packed.get(), stored_size) != stored_size)
            return fail(std::string(out_path) + ": write failed");

        std::uint8_t* p = index.data() + at;
        put_u32(p, std::uint32_t(item.name.size()));
        for (std::size_t i = 0; i < item.name.size(); ++i)
            p[4 + i] = std::uint8_t(
                std::uint8_t(item.name[i]) +
                name_shift(m_options.key1, m_options.key2, std::uint32_t(e), std::uint32_t(i)));
        p += 4 + item.name.size();
        p[0] = 0; // type
        put_u32(p + 1, 0);
        put_u32(p + 5, std::uint32_t(data_pos));
        put_u32(p + 9, entry.stored_size);
        put_u32(p + 13, entry.inflated_size);
        at += k_index_entry_fixed + item.name.size();
        data_pos += stored_size;
        if (progress) progress(e + 1, m_entries.size());
    }
    if (!out->seek(k_archive_header_size, 0) ||
        (index_size && out->write(index.data(), index.size()) != index.size()))
        return fail(std::string(out_path) + ": write failed");
    if (!out->close()) return fail(std::string(out_path) + ": write failed");
    return true;
}

} // namespace kestrune::storage
