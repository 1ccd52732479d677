// The engine's file object. A ResourceFile is created for a resource name and bound to one
// of three backings, tried in this order: a copy held in the file cache (files preloaded
// with LoadFile), an entry of an archive, a loose file. Callers then use the same
// operations whatever the backing:
//
//   reading:  create, then load (whole content in the buffer) or open + read/seek/tell +
//             close; release last (the destructor releases too).
//   writing:  create, open_for_writing, fill the buffer (set_content), optionally encode,
//             write_buffer (or write), release. A loose file being written replaces the old
//             file only when it is closed after every write succeeded.
//
// A ResourceFile belongs to one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "platform/files.h"
#include "platform/memory.h"

namespace kestrune {
struct PixelImage;
}

namespace kestrune::storage {

class ResourceFile;
struct Archive;
struct ArchiveEntry;
struct CacheSlot;

// Immutable content shared by cache copies and inflated archive streams.
struct Content {
    platform::BlockPtr data;
    std::size_t size = 0;
};

// One table per backing, filled in one place each (loose files and the unbound table in
// resource_file.cpp, archive entries in archive.cpp, cache copies in file_cache.cpp).
// encode, decode and release are the same for every backing.
struct FileOps {
    bool (*open)(ResourceFile&);
    bool (*load)(ResourceFile&);
    std::size_t (*read)(ResourceFile&, void* dst, std::size_t item_size, std::size_t count);
    std::size_t (*write)(ResourceFile&, const void* src, std::size_t item_size, std::size_t count);
    int (*seek)(ResourceFile&, std::int64_t offset, int origin); // 0 ok, -1 failure
    std::int64_t (*tell)(ResourceFile&);                         // -1 when nothing is open
    int (*close)(ResourceFile&);                                 // 0 ok, -1 failure
    bool (*open_for_writing)(ResourceFile&);
    bool (*remove)(ResourceFile&);
    bool (*encode)(ResourceFile&);
    bool (*decode)(ResourceFile&);
    void (*release)(ResourceFile&);
};

enum class Backing { none, cache, archive, loose };

// Longest resource name, in bytes.
inline constexpr std::size_t k_max_name = 259;

class ResourceFile {
public:
    ResourceFile();
    ~ResourceFile();
    ResourceFile(const ResourceFile&) = delete;
    ResourceFile& operator=(const ResourceFile&) = delete;

    // Stores the name and binds a backing. Fails for an empty name or one longer than
    // k_max_name bytes. Binding a loose file does not test that it exists.
    bool create(std::string_view name);

    bool open() { return m_ops->open(*this); }
    bool load() { return m_ops->load(*this); }
    std::size_t read(void* dst, std::size_t item_size, std::size_t count) {
        return m_ops->read(*this, dst, item_size, count);
    }
    std::size_t write(const void* src, std::size_t item_size, std::size_t count) {
        return m_ops->write(*this, src, item_size, count);
    }
    int seek(std::int64_t offset, int origin) { return m_ops->seek(*this, offset, origin); }
    std::int64_t tell() { return m_ops->tell(*this); }
    int close() { return m_ops->close(*this); }
    bool open_for_writing() { return m_ops->open_for_writing(*this); }
    bool remove() { return m_ops->remove(*this); }
    // Turns the buffer into a VKSF container keyed by the name, and back.
    bool encode() { return m_ops->encode(*this); }
    bool decode() { return m_ops->decode(*this); }
    void release() { m_ops->release(*this); }

    // Replaces the buffer with a copy of data (for writing). False when out of memory.
    bool set_content(const void* data, std::size_t size);
    // Writes the whole buffer through write(); true when every byte went out.
    bool write_buffer();

    const std::string& name() const { return m_name; }
    std::uint32_t name_hash() const { return m_name_hash; }
    std::int64_t size() const { return m_size; }
    const std::uint8_t* data() const { return m_buffer.get(); }
    Backing backing() const { return m_backing; }
    // Hands the loaded buffer (with its zeroed slack) to the caller.
    platform::BlockPtr take_buffer();
    // The image attached to the cache slot this file copies, if any.
    std::shared_ptr<PixelImage> cached_image() const;

    // Record fields, used by the operation tables.
    std::string m_name;
    std::uint32_t m_name_hash = 0;
    std::int64_t m_size = 0;
    std::int64_t m_position = 0;               // memory-backed reads
    std::unique_ptr<platform::File> m_stream;  // loose files and archive entries
    platform::BlockPtr m_buffer;               // whole content after load
    std::shared_ptr<const Content> m_memory;   // cache copy or inflated archive entry
    std::shared_ptr<const CacheSlot> m_cached; // cache copy source
    std::shared_ptr<const Archive> m_archive;  // archive entry: keeps the archive alive
    const ArchiveEntry* m_entry = nullptr;
    const FileOps* m_ops;
    Backing m_backing = Backing::none;

    // Helpers shared by the backings.
    void bind(const FileOps* ops, Backing backing);
    void clear_buffer();
};

// Operations every backing shares; the tables are filled with them.
bool vksf_encode_op(ResourceFile& f);
bool vksf_decode_op(ResourceFile& f);
void release_op(ResourceFile& f);
// Memory-backed reading (cache copies, inflated archive entries).
std::size_t memory_read(ResourceFile& f, void* dst, std::size_t item_size, std::size_t count);
int memory_seek(ResourceFile& f, std::int64_t offset, int origin);
std::int64_t memory_tell(ResourceFile& f);

// The resource path prefix (system setting current_path) that the image loader puts in
// front of names; loose-file loads that miss retry without it. Empty by default.
void set_resource_prefix(std::string prefix);
std::string resource_prefix();
// The save folder; loose-file loads that miss retry under it. Empty = no retry.
void set_save_folder(std::string dir);
std::string save_folder();

} // namespace kestrune::storage
