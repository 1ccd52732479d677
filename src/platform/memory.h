// Zeroed block allocation. Every large buffer, loaded script text above all, is allocated
// in 64-byte steps with at least 1088 zero bytes past the requested size: the scanners
// look up to 14 bytes (and some parsers further) past a position without bounds checks,
// and the zeroed slack makes that safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace kestrune::platform {

inline constexpr std::size_t k_block_slack = 1088;

// Bytes actually allocated for a request of n bytes: ((n + 1087) & ~63) + 64.
constexpr std::size_t block_size_for(std::size_t n) {
    return ((n + 1087) & ~std::size_t{63}) + 64;
}

// Returns a zero-filled block of block_size_for(n) bytes, or null when memory is exhausted
// or n is absurdly large.
std::uint8_t* block_alloc(std::size_t n);
void block_free(void* block); // null is ignored

// Zero fill / copy of ceil(n / 64) * 64 bytes; the buffers must be that large.
// Return 0 for a null pointer, else 1.
int block_zero(void* dst, std::size_t n);
int block_copy(void* dst, const void* src, std::size_t n);

struct BlockDeleter {
    void operator()(std::uint8_t* p) const { block_free(p); }
};
using BlockPtr = std::unique_ptr<std::uint8_t[], BlockDeleter>;
inline BlockPtr make_block(std::size_t n) {
    return BlockPtr(block_alloc(n));
}

// Zero pages straight from the system, for large buffers of which only a small part may
// ever be written (the layers of a text object): nothing is cleared up front, and pages
// that are never written are never backed by memory.
class ZeroPages {
public:
    ZeroPages() = default;
    // Empty (data() null) when the system refuses the mapping or n is absurdly large.
    explicit ZeroPages(std::size_t n);
    ZeroPages(ZeroPages&& other) noexcept;
    ZeroPages& operator=(ZeroPages&& other) noexcept;
    ZeroPages(const ZeroPages&) = delete;
    ZeroPages& operator=(const ZeroPages&) = delete;
    ~ZeroPages();

    std::uint8_t* data() const { return m_data; }
    std::size_t size() const { return m_size; }

private:
    std::uint8_t* m_data = nullptr;
    std::size_t m_size = 0;   // bytes asked for
    std::size_t m_mapped = 0; // whole pages mapped
};

} // namespace kestrune::platform
