// A decoded image: 32-bit pixels in blue, green, red, alpha byte order with straight
// (not premultiplied) alpha, a row table, and a kind code naming where it came from.
#pragma once

#include <cstdint>
#include <memory>
#include <new>
#include <utility>
#include <vector>

namespace kestrune {

// Allocator for pixel bytes that leaves new bytes unset instead of zeroing them: the
// zeroing is done where it is wanted (PixelImage::allocate), and a decoder that writes
// every byte does not pay for clearing a picture it is about to overwrite.
template <typename T> struct UnsetAllocator : std::allocator<T> {
    template <typename U> struct rebind { using other = UnsetAllocator<U>; };
    UnsetAllocator() = default;
    template <typename U> UnsetAllocator(const UnsetAllocator<U>&) noexcept {}
    template <typename U> void construct(U* p) noexcept { ::new (static_cast<void*>(p)) U; }
    template <typename U, typename... Args> void construct(U* p, Args&&... args) {
        ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
    }
};
using PixelBytes = std::vector<std::uint8_t, UnsetAllocator<std::uint8_t>>;

struct PixelImage {
    std::int32_t width = 0;
    std::int32_t height = 0;
    std::int32_t kind = 0; // source format / special-source code
    // Size to show the image at; every decoder sets it equal to width x height, a VKSI file
    // stores its own.
    std::int32_t display_width = 0;
    std::int32_t display_height = 0;
    PixelBytes pixels;               // width * height * 4 bytes, rows top to bottom
    std::vector<std::uint8_t*> rows; // rows[y] points at row y in pixels

    // Allocates width x height zeroed pixels and builds the row table. Sizes are checked
    // in 64-bit arithmetic; false (and an empty image) when they are out of range.
    bool allocate(std::int32_t w, std::int32_t h);
    // The same, but the pixels are left unset: for a decoder that writes every byte.
    bool allocate_for_overwrite(std::int32_t w, std::int32_t h);
    std::uint8_t* row(std::int32_t y) { return rows[static_cast<std::size_t>(y)]; }
    const std::uint8_t* row(std::int32_t y) const { return rows[static_cast<std::size_t>(y)]; }
    std::uint32_t* row32(std::int32_t y) { return reinterpret_cast<std::uint32_t*>(row(y)); }
    const std::uint32_t* row32(std::int32_t y) const {
        return reinterpret_cast<const std::uint32_t*>(row(y));
    }
    bool empty() const { return width <= 0 || height <= 0; }
};

// Largest image side the engine accepts from any source.
inline constexpr std::int32_t k_max_image_side = 16384;

// Kind codes set by the decoders (the low byte names the source, 0x100 marks alpha).
inline constexpr std::int32_t k_kind_jpeg = 1;
inline constexpr std::int32_t k_kind_bmp = 2;
inline constexpr std::int32_t k_kind_png = 7;
inline constexpr std::int32_t k_kind_png_alpha = 0x101;
inline constexpr std::int32_t k_kind_capture = 19;
inline constexpr std::int32_t k_kind_alpha_bit = 0x100;

} // namespace kestrune
