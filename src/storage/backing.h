// Binding a ResourceFile to the cache and archive backings (internal to storage/).
#pragma once

namespace kestrune::storage {
class ResourceFile;
// Each returns true when it bound the file.
bool bind_cache_copy(ResourceFile& f);
bool bind_archive_entry(ResourceFile& f);
} // namespace kestrune::storage
