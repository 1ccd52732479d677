#include "storage/file_cache.h"

#include <array>
#include <cstring>
#include <mutex>

#include "storage/backing.h"
#include "storage/codec.h"
#include "storage/image_loader.h"
#include "storage/pixel_image.h"

namespace kestrune::storage {

namespace {

// Changes to the table are made one at a time (the script commands that make them hold
// the command lock as well); lookups copy a slot's pointer under the table mutex.
std::mutex g_change_mutex;
std::mutex g_table_mutex;
std::array<std::shared_ptr<const CacheSlot>, k_cache_slots> g_slots;

std::shared_ptr<const CacheSlot> find_slot(const std::string& key, std::uint32_t hash) {
    std::lock_guard lock(g_table_mutex);
    for (const auto& slot : g_slots)
        if (slot && slot->hash == hash && slot->name == key) return slot;
    return nullptr;
}

bool cache_open(ResourceFile& f) {
    if (!f.m_cached) return false;
    f.m_memory = f.m_cached->content;
    f.m_position = 0;
    f.m_size = std::int64_t(f.m_memory->size);
    return true;
}

bool cache_load_op(ResourceFile& f) {
    if (!f.m_cached) return false;
    const Content& c = *f.m_cached->content;
    if (!f.set_content(c.data.get(), c.size)) return false;
    return true;
}

int cache_close(ResourceFile& f) {
    if (!f.m_memory) return -1;
    f.m_memory.reset();
    f.m_position = 0;
    return 0;
}

bool cache_refuse(ResourceFile&) {
    return false;
}
std::size_t cache_write(ResourceFile&, const void*, std::size_t, std::size_t) {
    return 0;
}

const FileOps k_cache_ops = {cache_open,   cache_load_op,  memory_read,    cache_write,
                             memory_seek,  memory_tell,    cache_close,    cache_refuse,
                             cache_refuse, vksf_encode_op, vksf_decode_op, release_op};

} // namespace

bool bind_cache_copy(ResourceFile& f) {
    const std::string key = lookup_name(f.m_name, '/');
    auto slot = find_slot(key, name_hash(key));
    if (!slot) return false;
    f.m_cached = std::move(slot);
    f.m_memory = f.m_cached->content;
    f.m_position = 0;
    f.m_size = std::int64_t(f.m_memory->size);
    f.bind(&k_cache_ops, Backing::cache);
    return true;
}

std::shared_ptr<PixelImage> ResourceFile::cached_image() const {
    return m_cached ? m_cached->image : nullptr;
}

namespace {

// The first free slot's index, or k_cache_slots when every slot is taken.
std::size_t free_slot_index() {
    std::lock_guard lock(g_table_mutex);
    for (std::size_t i = 0; i < k_cache_slots; ++i)
        if (!g_slots[i]) return i;
    return k_cache_slots;
}

} // namespace

bool cache_load(std::string_view name, bool decode_image) {
    std::lock_guard change(g_change_mutex);
    const std::string key = lookup_name(name, '/');
    const std::uint32_t hash = name_hash(key);
    if (find_slot(key, hash)) return true;

    const std::size_t free_slot = free_slot_index();
    if (free_slot == k_cache_slots) {
        report_fault(name, "file cache full (1024 files); not preloaded");
        return false;
    }
    ResourceFile file;
    if (!file.create(name) || !file.load()) return false;

    auto content = std::make_shared<Content>();
    content->size = std::size_t(file.size());
    content->data = file.take_buffer();
    auto slot = std::make_shared<CacheSlot>();
    slot->name = key;
    slot->hash = hash;
    if (decode_image) {
        std::string error;
        slot->image = decode_image_data(content->data.get(), content->size, name, &error);
        if (!slot->image) report_fault(name, error);
    }
    slot->content = std::move(content);
    std::lock_guard lock(g_table_mutex);
    g_slots[free_slot] = std::move(slot);
    return true;
}

bool cache_put(std::string_view name, const void* data, std::size_t size) {
    std::lock_guard change(g_change_mutex);
    const std::string key = lookup_name(name, '/');
    if (key.empty() || size == 0) return false;
    auto content = std::make_shared<Content>();
    content->data = platform::make_block(size);
    if (!content->data) return false;
    std::memcpy(content->data.get(), data, size);
    content->size = size;
    auto slot = std::make_shared<CacheSlot>();
    slot->name = key;
    slot->hash = name_hash(key);
    slot->content = std::move(content);
    std::shared_ptr<const CacheSlot> dropped; // freed outside the table lock
    std::lock_guard lock(g_table_mutex);
    std::size_t at = k_cache_slots;
    for (std::size_t i = 0; i < k_cache_slots && at == k_cache_slots; ++i)
        if (g_slots[i] && g_slots[i]->name == key) at = i;
    for (std::size_t i = 0; i < k_cache_slots && at == k_cache_slots; ++i)
        if (!g_slots[i]) at = i;
    if (at == k_cache_slots) return false;
    dropped = std::move(g_slots[at]);
    g_slots[at] = std::move(slot);
    return true;
}

bool cache_unload(std::string_view name) {
    std::lock_guard change(g_change_mutex);
    const std::string key = lookup_name(name, '/');
    if (key.empty()) return false;
    std::shared_ptr<const CacheSlot> dropped; // freed outside the table lock
    std::lock_guard lock(g_table_mutex);
    for (auto& slot : g_slots)
        if (slot && slot->name == key) {
            dropped = std::move(slot);
            slot.reset();
            return true;
        }
    return false;
}

void cache_unload_all() {
    std::lock_guard change(g_change_mutex);
    std::array<std::shared_ptr<const CacheSlot>, k_cache_slots> dropped;
    std::lock_guard lock(g_table_mutex);
    dropped.swap(g_slots);
}

std::size_t cache_used_slots() {
    std::lock_guard lock(g_table_mutex);
    std::size_t n = 0;
    for (const auto& slot : g_slots) n += slot ? 1 : 0;
    return n;
}

} // namespace kestrune::storage
