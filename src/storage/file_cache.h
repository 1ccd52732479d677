// The file cache: up to 1024 files preloaded by the script command LoadFile (optionally
// with their decoded image) and served to every ResourceFile created for the same name.
// Names are compared in their lookup spelling: ASCII lower case, '/' separators.
//
// Slots hold their content and image through shared pointers: a file or image still in
// use when its slot is unloaded stays alive until its last user lets go.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "storage/resource_file.h"

namespace kestrune {
struct PixelImage;
}

namespace kestrune::storage {

inline constexpr std::size_t k_cache_slots = 1024;

struct CacheSlot {
    std::string name; // lookup spelling
    std::uint32_t hash = 0;
    std::shared_ptr<const Content> content;
    std::shared_ptr<PixelImage> image; // decoded when loaded with decode_image
};

// Loads the file into the first free slot (nothing to do when it is already cached).
// With decode_image the content is also decoded as an image and kept with it.
bool cache_load(std::string_view name, bool decode_image);
// Holds a copy of `size` bytes as the content of `name` (replacing a slot of that name), for
// content made in memory rather than read from the game folder. False when every slot is
// taken or there is nothing to hold.
bool cache_put(std::string_view name, const void* data, std::size_t size);
// Removes the first slot holding the name. False when none does.
bool cache_unload(std::string_view name);
// Empties every slot (shutdown).
void cache_unload_all();
std::size_t cache_used_slots();

} // namespace kestrune::storage
