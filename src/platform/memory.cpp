#include "platform/memory.h"

#include <cstdlib>
#include <cstring>

namespace kestrune::platform {

namespace {
// Nothing the engine loads comes near this; it keeps size arithmetic far from overflow.
constexpr std::size_t k_max_block = std::size_t{1} << 40;
constexpr std::size_t round_up_64(std::size_t n) {
    return (n + 63) & ~std::size_t{63};
}
} // namespace

std::uint8_t* block_alloc(std::size_t n) {
    if (n > k_max_block) return nullptr;
    return static_cast<std::uint8_t*>(std::calloc(block_size_for(n), 1));
}

void block_free(void* block) {
    std::free(block);
}

int block_zero(void* dst, std::size_t n) {
    if (!dst) return 0;
    std::memset(dst, 0, round_up_64(n));
    return 1;
}

int block_copy(void* dst, const void* src, std::size_t n) {
    if (!dst || !src) return 0;
    std::memcpy(dst, src, round_up_64(n));
    return 1;
}

} // namespace kestrune::platform
