// The input is a container; its key is taken from a fixed name.
#include "storage/container.h"

using namespace kestrune;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    platform::BlockPtr out;
    std::size_t out_size = 0;
    std::string error;
    if (storage::vksf_decode(data, size, storage::container_key("small.vkf"), out, out_size,
                             &error)) {
        // Every decoded buffer must carry its zeroed slack.
        volatile std::uint8_t tail = out[out_size + platform::k_block_slack - 64];
        (void)tail;
    }
    return 0;
}
