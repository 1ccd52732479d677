#include "storage/resource_file.h"

#include <cstring>
#include <mutex>
#include <optional>

#include "storage/backing.h"
#include "storage/codec.h"
#include "storage/container.h"
#include "storage/file_cache.h"

namespace kestrune::storage {

namespace {

std::mutex g_settings_mutex;
std::string g_prefix;
std::string g_save_folder;

// ---- unbound: every operation fails ----

bool no_open(ResourceFile&) {
    return false;
}
std::size_t no_read(ResourceFile&, void*, std::size_t, std::size_t) {
    return 0;
}
std::size_t no_write(ResourceFile&, const void*, std::size_t, std::size_t) {
    return 0;
}
int no_seek(ResourceFile&, std::int64_t, int) {
    return -1;
}
std::int64_t no_tell(ResourceFile&) {
    return -1;
}
int no_close(ResourceFile&) {
    return -1;
}

const FileOps k_unbound_ops = {no_open, no_open,        no_read,        no_write,
                               no_seek, no_tell,        no_close,       no_open,
                               no_open, vksf_encode_op, vksf_decode_op, release_op};

// ---- loose files ----

// Where a loose file is found: the name itself; without the resource path prefix (the
// image loader puts it in front of every name); under the save folder.
std::optional<std::string> locate_loose(const std::string& name) {
    if (auto p = platform::find_path(name)) return p;
    std::string_view rest = name;
    const std::string prefix = resource_prefix();
    if (!prefix.empty() && rest.substr(0, prefix.size()) == prefix) {
        rest.remove_prefix(prefix.size());
        if (!rest.empty())
            if (auto p = platform::find_path(rest)) return p;
    }
    const std::string saves = save_folder();
    if (!saves.empty() && !rest.empty()) {
        if (auto joined = platform::join_path(saves, platform::native_name(rest)))
            if (auto p = platform::find_path(*joined)) return p;
    }
    return std::nullopt;
}

bool loose_open(ResourceFile& f) {
    f.m_stream.reset();
    auto path = locate_loose(f.m_name);
    if (path) f.m_stream = platform::File::open_read(*path);
    if (!f.m_stream) {
        f.release();
        return false;
    }
    f.m_size = f.m_stream->size();
    return f.m_size >= 0;
}

bool loose_load(ResourceFile& f) {
    auto path = locate_loose(f.m_name);
    if (!path) return false;
    auto file = platform::File::open_read(*path);
    if (!file) return false;
    const std::int64_t size = file->size();
    if (size <= 0) return false; // an empty file is no resource
    if (std::uint64_t(size) > k_max_content_size) {
        report_fault(f.m_name, "file too large");
        return false;
    }
    platform::BlockPtr block = platform::make_block(std::size_t(size));
    if (!block) return false;
    if (file->read(block.get(), std::size_t(size)) != std::size_t(size)) {
        report_fault(f.m_name, "short read");
        return false;
    }
    if (is_vksf(block.get(), std::size_t(size))) {
        platform::BlockPtr content;
        std::size_t content_size = 0;
        std::string error;
        if (!vksf_decode(block.get(), std::size_t(size), f.m_name_hash, content, content_size,
                         &error)) {
            report_fault(f.m_name, "damaged VKSF container: " + error);
            return false;
        }
        block = std::move(content);
        f.m_buffer = std::move(block);
        f.m_size = std::int64_t(content_size);
        return true;
    }
    f.m_buffer = std::move(block);
    f.m_size = size;
    return true;
}

std::size_t loose_read(ResourceFile& f, void* dst, std::size_t item_size, std::size_t count) {
    if (!f.m_stream || !dst || item_size == 0 || count == 0) return 0;
    if (count > SIZE_MAX / item_size) return 0;
    return f.m_stream->read(dst, item_size * count) / item_size;
}

std::size_t loose_write(ResourceFile& f, const void* src, std::size_t item_size,
                        std::size_t count) {
    if (!f.m_stream || !src || item_size == 0 || count == 0) return 0;
    if (count > SIZE_MAX / item_size) return 0;
    return f.m_stream->write(src, item_size * count) / item_size;
}

int loose_seek(ResourceFile& f, std::int64_t offset, int origin) {
    return f.m_stream && f.m_stream->seek(offset, origin) ? 0 : -1;
}

std::int64_t loose_tell(ResourceFile& f) {
    return f.m_stream ? f.m_stream->tell() : -1;
}

int loose_close(ResourceFile& f) {
    if (!f.m_stream) return -1;
    const bool ok = f.m_stream->close();
    if (!ok && f.m_stream->is_writer()) report_fault(f.m_name, "write failed; old file kept");
    f.m_stream.reset();
    return ok ? 0 : -1;
}

bool loose_open_for_writing(ResourceFile& f) {
    f.m_stream.reset();
    auto path = platform::path_for_writing(f.m_name);
    if (path) f.m_stream = platform::File::open_write(*path);
    if (!f.m_stream) {
        report_fault(f.m_name, "cannot create the file");
        f.release();
        return false;
    }
    return true;
}

bool loose_remove(ResourceFile& f) {
    f.m_stream.reset();
    return platform::remove_file(f.m_name);
}

const FileOps k_loose_ops = {loose_open,   loose_load,     loose_read,     loose_write,
                             loose_seek,   loose_tell,     loose_close,    loose_open_for_writing,
                             loose_remove, vksf_encode_op, vksf_decode_op, release_op};

} // namespace

// ---- shared operations ----

bool vksf_encode_op(ResourceFile& f) {
    if (!f.m_buffer && f.m_size > 0) return false;
    platform::BlockPtr out;
    std::size_t out_size = 0;
    if (!vksf_encode(f.m_buffer.get(), std::size_t(f.m_size), container_key(f.m_name), out,
                     out_size))
        return false;
    f.m_buffer = std::move(out);
    f.m_size = std::int64_t(out_size);
    return true;
}

bool vksf_decode_op(ResourceFile& f) {
    if (!f.m_buffer) return false;
    platform::BlockPtr out;
    std::size_t out_size = 0;
    if (!vksf_decode(f.m_buffer.get(), std::size_t(f.m_size), container_key(f.m_name), out,
                     out_size))
        return false;
    f.m_buffer = std::move(out);
    f.m_size = std::int64_t(out_size);
    return true;
}

void release_op(ResourceFile& f) {
    if (f.m_stream) {
        if (f.m_stream->is_writer() && !f.m_stream->close())
            report_fault(f.m_name, "write failed; old file kept");
        f.m_stream.reset();
    }
    f.m_buffer.reset();
    f.m_memory.reset();
    f.m_cached.reset();
    f.m_archive.reset();
    f.m_entry = nullptr;
    f.m_name.clear();
    f.m_name_hash = 0;
    f.m_size = 0;
    f.m_position = 0;
    f.bind(&k_unbound_ops, Backing::none);
}

std::size_t memory_read(ResourceFile& f, void* dst, std::size_t item_size, std::size_t count) {
    if (!f.m_memory || !dst || item_size == 0 || count == 0) return 0;
    const std::int64_t size = std::int64_t(f.m_memory->size);
    if (f.m_position < 0 || f.m_position >= size) return 0;
    const std::uint64_t left = std::uint64_t(size - f.m_position);
    std::uint64_t want =
        count > UINT64_MAX / item_size ? UINT64_MAX : std::uint64_t(item_size) * count;
    if (want > left) want = left;
    want -= want % item_size; // whole items only
    std::memcpy(dst, f.m_memory->data.get() + f.m_position, std::size_t(want));
    f.m_position += std::int64_t(want);
    return std::size_t(want / item_size);
}

int memory_seek(ResourceFile& f, std::int64_t offset, int origin) {
    if (!f.m_memory) return -1;
    const std::int64_t size = std::int64_t(f.m_memory->size);
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
        break; // as stdio: callers pass 0 or a negative offset
    default:
        return -1;
    }
    if (target < 0 || target > size) return -1; // positions stay inside the content
    f.m_position = target;
    return 0;
}

std::int64_t memory_tell(ResourceFile& f) {
    return f.m_memory ? f.m_position : -1;
}

// ---- the record ----

ResourceFile::ResourceFile() : m_ops(&k_unbound_ops) {}
ResourceFile::~ResourceFile() {
    release();
}

void ResourceFile::bind(const FileOps* ops, Backing backing) {
    m_ops = ops;
    m_backing = backing;
}

void ResourceFile::clear_buffer() {
    m_buffer.reset();
    m_size = 0;
}

bool ResourceFile::create(std::string_view name) {
    release();
    if (name.empty() || name.size() > k_max_name || name.find('\0') != std::string_view::npos)
        return false;
    m_name.assign(name);
    m_name_hash = container_key(m_name);
    if (bind_cache_copy(*this)) return true;
    if (bind_archive_entry(*this)) return true;
    bind(&k_loose_ops, Backing::loose);
    return true;
}

bool ResourceFile::set_content(const void* data, std::size_t size) {
    if (size > k_max_content_size || (size && !data)) return false;
    platform::BlockPtr block = platform::make_block(size);
    if (!block) return false;
    if (size) std::memcpy(block.get(), data, size);
    m_buffer = std::move(block);
    m_size = std::int64_t(size);
    return true;
}

bool ResourceFile::write_buffer() {
    if (m_size == 0) return true;
    if (!m_buffer) return false;
    return write(m_buffer.get(), 1, std::size_t(m_size)) == std::size_t(m_size);
}

platform::BlockPtr ResourceFile::take_buffer() {
    return std::move(m_buffer);
}

void set_resource_prefix(std::string prefix) {
    std::lock_guard lock(g_settings_mutex);
    g_prefix = std::move(prefix);
}

std::string resource_prefix() {
    std::lock_guard lock(g_settings_mutex);
    return g_prefix;
}

void set_save_folder(std::string dir) {
    std::lock_guard lock(g_settings_mutex);
    g_save_folder = std::move(dir);
}

std::string save_folder() {
    std::lock_guard lock(g_settings_mutex);
    return g_save_folder;
}

} // namespace kestrune::storage
