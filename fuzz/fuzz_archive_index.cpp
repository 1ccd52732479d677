// The input is a whole archive file: header, index and data area.
#include <cstring>

#include "storage/archive.h"

using namespace kestrune;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    storage::Archive archive;
    if (!storage::parse_archive(data, size, size, archive, nullptr)) return 0;
    for (const auto& entry : archive.entries) {
        // parse_archive guarantees that the stored bytes lie inside the file.
        platform::BlockPtr stored = platform::make_block(entry.stored_size);
        if (!stored) continue;
        std::memcpy(stored.get(), data + entry.start(), entry.stored_size);
        platform::BlockPtr out;
        std::size_t out_size = 0;
        storage::decode_entry(entry, std::move(stored), out, out_size, nullptr);
    }
    return 0;
}
