#include "storage/archive.h"

#include <cstring>
#include <filesystem>
#include <mutex>

#include "platform/encoding.h"
#include "platform/files.h"
#include "storage/backing.h"
#include "storage/codec.h"
#include "storage/resource_file.h"

namespace kestrune::storage {

namespace {

// Largest index read into memory; a header asking for more is damaged.
constexpr std::uint64_t k_max_index_size = std::uint64_t{256} << 20;

std::mutex g_list_mutex;
bool g_scanned = false;
std::shared_ptr<const std::vector<std::shared_ptr<const Archive>>> g_archives;

bool fail(std::string* error, const std::string& why) {
    if (error) *error = why;
    return false;
}

bool equal_prefix_fold(std::string_view name, std::string_view prefix) {
    if (name.size() < prefix.size()) return false;
    for (std::size_t i = 0; i < prefix.size(); ++i) {
        char a = name[i], b = prefix[i];
        if (a >= 'A' && a <= 'Z') a = char(a - 'A' + 'a');
        if (b >= 'A' && b <= 'Z') b = char(b - 'A' + 'a');
        if (a != b) return false;
    }
    return true;
}

bool read_at(platform::File& file, std::uint64_t pos, std::uint8_t* dst, std::size_t n) {
    return file.seek(std::int64_t(pos), 0) && file.read(dst, n) == n;
}

// ---- archive-entry operations ----

bool entry_load_content(ResourceFile& f, platform::BlockPtr& out, std::size_t& out_size) {
    std::string error;
    if (read_entry(*f.m_archive, *f.m_entry, out, out_size, &error)) return true;
    report_fault(f.m_name, "in archive " + f.m_archive->base_name + ": " + error);
    return false;
}

bool entry_load(ResourceFile& f) {
    if (!f.m_entry) return false;
    platform::BlockPtr out;
    std::size_t size = 0;
    if (!entry_load_content(f, out, size)) return false;
    f.m_buffer = std::move(out);
    f.m_size = std::int64_t(size);
    return true;
}

bool entry_open(ResourceFile& f) {
    if (!f.m_entry) return false;
    f.m_stream.reset();
    f.m_memory.reset();
    f.m_position = 0;
    if (f.m_entry->compressed) {
        // Stored bytes of a compressed entry mean nothing to a reader: inflate it whole and
        // serve reads from memory.
        auto content = std::make_shared<Content>();
        if (!entry_load_content(f, content->data, content->size)) return false;
        f.m_memory = std::move(content);
        f.m_size = std::int64_t(f.m_memory->size);
        return true;
    }
    f.m_stream = platform::File::open_read(f.m_archive->path);
    if (!f.m_stream || !f.m_stream->seek(std::int64_t(f.m_entry->start()), 0)) {
        f.m_stream.reset();
        return false;
    }
    f.m_size = f.m_entry->stored_size;
    return true;
}

std::size_t entry_read(ResourceFile& f, void* dst, std::size_t item_size, std::size_t count) {
    if (f.m_memory) return memory_read(f, dst, item_size, count);
    if (!f.m_stream || !f.m_entry || !dst || item_size == 0 || count == 0) return 0;
    const std::uint64_t end = f.m_entry->stored_size;
    if (f.m_position < 0 || std::uint64_t(f.m_position) >= end) return 0;
    std::uint64_t want =
        count > UINT64_MAX / item_size ? UINT64_MAX : std::uint64_t(item_size) * count;
    if (want > end - std::uint64_t(f.m_position)) want = end - std::uint64_t(f.m_position);
    auto* bytes = static_cast<std::uint8_t*>(dst);
    const std::size_t got = f.m_stream->read(bytes, std::size_t(want));
    unscramble_entry_bytes(*f.m_entry, std::uint64_t(f.m_position), bytes, got);
    f.m_position += std::int64_t(got);
    return got / item_size;
}

int entry_seek(ResourceFile& f, std::int64_t offset, int origin) {
    if (f.m_memory) return memory_seek(f, offset, origin);
    if (!f.m_stream || !f.m_entry) return -1;
    const std::int64_t size = f.m_entry->stored_size;
    std::int64_t target;
    switch (origin) {
    case 0:
        target = offset;
        break;
    case 1:
        target = f.m_position + offset;
        break;
    case 2:
        target = size + offset;
        break;
    default:
        return -1;
    }
    if (target < 0 || target > size) return -1; // a seek never leaves the entry
    if (!f.m_stream->seek(std::int64_t(f.m_entry->start()) + target, 0)) return -1;
    f.m_position = target;
    return 0;
}

std::int64_t entry_tell(ResourceFile& f) {
    return (f.m_memory || f.m_stream) ? f.m_position : -1;
}

int entry_close(ResourceFile& f) {
    if (!f.m_memory && !f.m_stream) return -1;
    f.m_memory.reset();
    f.m_stream.reset();
    f.m_position = 0;
    return 0;
}

bool entry_refuse(ResourceFile&) {
    return false;
}
std::size_t entry_write(ResourceFile&, const void*, std::size_t, std::size_t) {
    return 0;
}

const FileOps k_archive_ops = {entry_open,   entry_load,     entry_read,     entry_write,
                               entry_seek,   entry_tell,     entry_close,    entry_refuse,
                               entry_refuse, vksf_encode_op, vksf_decode_op, release_op};

} // namespace

bool is_archive_header(const std::uint8_t* data, std::size_t size) {
    return data && size >= k_archive_header_size && std::memcmp(data, "VKA", 3) == 0 &&
           read_u32(data + 3) == 1;
}

std::uint8_t name_shift(std::uint32_t key1, std::uint32_t key2, std::uint32_t e, std::uint32_t i) {
    const std::uint32_t k = key1 * key2;
    return std::uint8_t(4 * i + (k >> 24) + (k >> 16) + (k >> 8) + k + (e >> 24) + (e >> 16) +
                        (e >> 8) + e);
}

std::uint32_t entry_key(const Archive& archive, std::uint32_t hash, std::uint32_t inflated) {
    return (archive.key1 * archive.key2 + hash) * inflated;
}

bool parse_archive(const std::uint8_t* data, std::size_t size, std::uint64_t file_size,
                   Archive& out, std::string* error) {
    if (!is_archive_header(data, size)) return fail(error, "not a VKA archive");
    Archive a;
    a.version = 1;
    a.key1 = read_u32(data + 7);
    a.key2 = read_u32(data + 11);
    a.compressed = data[15] == 1;
    a.scrambled = data[16] == 1;
    a.entry_count = read_u32(data + 17);
    for (int i = 0; i < 4; ++i) a.spare[i] = read_u32(data + 21 + 4 * i);
    a.index_size = read_u32(data + 37);
    a.file_size = file_size;
    const std::uint64_t data_base = k_archive_header_size + std::uint64_t(a.index_size);
    if (data_base > file_size) return fail(error, "index runs past the end of the file");
    if (data_base > size) return fail(error, "index not fully read");
    if (std::uint64_t(a.entry_count) * k_index_entry_fixed > a.index_size)
        return fail(error, "entry count does not fit in the index");

    a.entries.reserve(a.entry_count);
    std::uint64_t pos = k_archive_header_size;
    for (std::uint32_t e = 0; e < a.entry_count; ++e) {
        const std::string where = "entry " + std::to_string(e) + ": ";
        if (pos + 4 > data_base) return fail(error, where + "runs past the index");
        const std::uint32_t n = read_u32(data + pos);
        pos += 4;
        if (n > k_max_entry_name) return fail(error, where + "name longer than 259 bytes");
        if (pos + n + 17 > data_base) return fail(error, where + "runs past the index");
        ArchiveEntry entry;
        entry.name.resize(n);
        for (std::uint32_t i = 0; i < n; ++i)
            entry.name[i] = char(std::uint8_t(data[pos + i] - name_shift(a.key1, a.key2, e, i)));
        pos += n;
        entry.type = data[pos];
        entry.spare = read_u32(data + pos + 1);
        entry.offset = read_u32(data + pos + 5);
        entry.stored_size = read_u32(data + pos + 9);
        entry.inflated_size = read_u32(data + pos + 13);
        pos += 17;
        entry.compressed = a.compressed;
        entry.scrambled = a.scrambled;
        entry.data_base = data_base;
        entry.hash = entry_hash(entry.name);
        const std::uint64_t limit = std::uint64_t(n) + k_scramble_extra;
        entry.scramble_length =
            std::uint32_t(entry.stored_size < limit ? entry.stored_size : limit);
        entry.key = entry_key(a, entry.hash, entry.inflated_size);
        if (entry.start() + entry.stored_size > file_size)
            return fail(error, where + "data runs past the end of the file");
        if (entry.content_size() > k_max_content_size) return fail(error, where + "size too large");
        a.entries.push_back(std::move(entry));
    }
    out = std::move(a);
    return true;
}

std::shared_ptr<Archive> read_archive(const std::string& path, std::string* error) {
    if (error) error->clear();
    auto file = platform::File::open_read(path);
    if (!file) return nullptr;
    std::uint8_t header[k_archive_header_size];
    if (file->read(header, sizeof header) != sizeof header ||
        !is_archive_header(header, sizeof header))
        return nullptr;
    const std::int64_t file_size = file->size();
    const std::uint64_t index_size = read_u32(header + 37);
    if (file_size < 0 || k_archive_header_size + index_size > std::uint64_t(file_size)) {
        fail(error, "index runs past the end of the file");
        return nullptr;
    }
    if (index_size > k_max_index_size) {
        fail(error, "index too large");
        return nullptr;
    }
    platform::BlockPtr block = platform::make_block(k_archive_header_size + index_size);
    if (!block) {
        fail(error, "out of memory");
        return nullptr;
    }
    std::memcpy(block.get(), header, sizeof header);
    if (file->read(block.get() + sizeof header, index_size) != index_size) {
        fail(error, "short read in the index");
        return nullptr;
    }
    auto archive = std::make_shared<Archive>();
    if (!parse_archive(block.get(), k_archive_header_size + index_size, std::uint64_t(file_size),
                       *archive, error))
        return nullptr;
    std::error_code ec;
    auto absolute = std::filesystem::absolute(path, ec);
    archive->path = ec ? path : absolute.lexically_normal().string();
    archive->base_name = std::filesystem::path(path).filename().string();
    archive->base_name_gbk = platform::utf8_to_gbk(archive->base_name);
    return archive;
}

bool scan_archives(std::string_view dir) {
    std::lock_guard lock(g_list_mutex);
    if (g_scanned) return false;
    auto list = std::make_shared<std::vector<std::shared_ptr<const Archive>>>();
    const std::string base =
        platform::find_path(dir.empty() ? "." : dir).value_or(std::string(dir));
    for (const auto& name : platform::list_files(dir)) {
        auto path = platform::join_path(base, name);
        if (!path) continue;
        std::string error;
        auto archive = read_archive(*path, &error);
        if (archive)
            list->push_back(std::move(archive));
        else if (!error.empty())
            report_fault(name, "damaged archive skipped: " + error);
    }
    g_archives = std::move(list);
    g_scanned = true;
    return true;
}

void reset_archives() {
    std::lock_guard lock(g_list_mutex);
    g_archives.reset();
    g_scanned = false;
}

std::vector<std::shared_ptr<const Archive>> archive_list() {
    std::lock_guard lock(g_list_mutex);
    return g_archives ? *g_archives : std::vector<std::shared_ptr<const Archive>>{};
}

const ArchiveEntry* find_entry(const Archive& archive, std::uint32_t hash, std::string_view name) {
    for (const auto& e : archive.entries)
        if (e.hash == hash && e.name == name) return &e;
    return nullptr;
}

bool lookup_entry(std::string_view resource_name, std::shared_ptr<const Archive>& archive,
                  const ArchiveEntry*& entry) {
    std::shared_ptr<const std::vector<std::shared_ptr<const Archive>>> list;
    {
        std::lock_guard lock(g_list_mutex);
        list = g_archives;
    }
    if (!list || list->empty()) return false;
    const std::string norm = lookup_name(resource_name, '\\');
    std::size_t start = 0;
    while (start < norm.size() && (norm[start] == '.' || norm[start] == '\\')) ++start;
    std::size_t sep = std::string::npos;
    for (std::size_t i = start; i < norm.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(norm[i]);
        if (platform::is_lead_byte(c) && i + 1 < norm.size()) {
            ++i;
        } else if (c == '\\') {
            sep = i;
            break;
        }
    }
    if (sep == std::string::npos) return false; // no archive component
    const std::string_view component = std::string_view(norm).substr(start, sep - start);
    const std::string_view name = std::string_view(norm).substr(sep + 1);
    if (component.size() > k_max_entry_name || name.empty()) return false;
    const std::uint32_t hash = entry_hash(name);
    for (const auto& a : *list) {
        if (!equal_prefix_fold(a->base_name_gbk, component)) continue;
        if (const ArchiveEntry* e = find_entry(*a, hash, name)) {
            archive = a;
            entry = e;
            return true;
        }
    }
    for (const auto& a : *list) {
        if (const ArchiveEntry* e = find_entry(*a, hash, name)) {
            archive = a;
            entry = e;
            return true;
        }
    }
    return false;
}

bool bind_archive_entry(ResourceFile& f) {
    std::shared_ptr<const Archive> archive;
    const ArchiveEntry* entry = nullptr;
    if (!lookup_entry(f.m_name, archive, entry)) return false;
    f.m_archive = std::move(archive);
    f.m_entry = entry;
    f.m_size = entry->content_size();
    f.bind(&k_archive_ops, Backing::archive);
    return true;
}

void unscramble_entry_bytes(const ArchiveEntry& entry, std::uint64_t pos, std::uint8_t* bytes,
                            std::size_t n) {
    if (!entry.scrambled || pos >= entry.scramble_length) return;
    std::uint64_t count = entry.scramble_length - pos;
    if (count > n) count = n;
    const std::uint8_t key = std::uint8_t(entry.key);
    for (std::uint64_t i = 0; i < count; ++i)
        bytes[i] = std::uint8_t(k_unscramble_table[bytes[i]] - key - std::uint8_t(pos + i));
}

bool read_entry(const Archive& archive, const ArchiveEntry& entry, platform::BlockPtr& out,
                std::size_t& out_size, std::string* error) {
    auto file = platform::File::open_read(archive.path);
    if (!file) return fail(error, "cannot reopen the archive");
    platform::BlockPtr stored = platform::make_block(entry.stored_size);
    if (!stored) return fail(error, "out of memory");
    if (!read_at(*file, entry.start(), stored.get(), entry.stored_size))
        return fail(error, "short read (archive changed since start-up?)");
    return decode_entry(entry, std::move(stored), out, out_size, error);
}

bool decode_entry(const ArchiveEntry& entry, platform::BlockPtr stored, platform::BlockPtr& out,
                  std::size_t& out_size, std::string* error) {
    if (!stored) return fail(error, "no data");
    unscramble_entry_bytes(entry, 0, stored.get(), entry.stored_size);
    if (!entry.compressed) {
        out = std::move(stored);
        out_size = entry.stored_size;
        return true;
    }
    if (!inflate_exact(stored.get(), entry.stored_size, entry.inflated_size, out))
        return fail(error, "compressed data does not inflate to the indexed size");
    out_size = entry.inflated_size;
    return true;
}

} // namespace kestrune::storage
