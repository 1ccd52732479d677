#include "platform/memory.h"

#include <cstdlib>
#include <cstring>
#include <utility>

#include <sys/mman.h>
#include <unistd.h>

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

ZeroPages::ZeroPages(std::size_t n) {
    if (n == 0 || n > k_max_block) return;
    const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    const std::size_t mapped = (n + page - 1) / page * page;
    void* p = mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) return;
    m_data = static_cast<std::uint8_t*>(p);
    m_size = n;
    m_mapped = mapped;
}

ZeroPages::ZeroPages(ZeroPages&& other) noexcept
    : m_data(std::exchange(other.m_data, nullptr)), m_size(std::exchange(other.m_size, 0)),
      m_mapped(std::exchange(other.m_mapped, 0)) {}

ZeroPages& ZeroPages::operator=(ZeroPages&& other) noexcept {
    if (this != &other) {
        if (m_data) munmap(m_data, m_mapped);
        m_data = std::exchange(other.m_data, nullptr);
        m_size = std::exchange(other.m_size, 0);
        m_mapped = std::exchange(other.m_mapped, 0);
    }
    return *this;
}

ZeroPages::~ZeroPages() {
    if (m_data) munmap(m_data, m_mapped);
}

} // namespace kestrune::platform
