// The input is the content of a read-text map file (its container already removed).
#include "script/read_text.h"

using namespace kestrune;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string error;
    if (script::read_text_restore({data, size}, error)) {
        // What was read writes back to the same bytes (apart from flags above 1).
        const std::vector<std::uint8_t> again = script::read_text_serialise();
        (void)again;
    }
    script::clear_read_text_map();
    return 0;
}
