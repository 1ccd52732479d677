// The input is the content of a slot's frames file (its container already removed).
#include "scene/record_format.h"

using namespace kestrune;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<scene::SavedRecord> records;
    std::string error;
    if (scene::parse_scene_block({data, size}, records, error)) {
        // Every section must lie inside the input.
        for (const auto& r : records)
            for (const auto& [tag, body] : r.sections)
                if (!body.empty() &&
                    (body.data() < data || body.data() + body.size() > data + size))
                    __builtin_trap();
    }
    return 0;
}
