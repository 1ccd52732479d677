#include "storage/pixel_image.h"

#include <algorithm>

namespace kestrune {

bool PixelImage::allocate(std::int32_t w, std::int32_t h) {
    if (!allocate_for_overwrite(w, h)) return false;
    std::fill(pixels.begin(), pixels.end(), std::uint8_t{0});
    return true;
}

bool PixelImage::allocate_for_overwrite(std::int32_t w, std::int32_t h) {
    pixels.clear();
    rows.clear();
    width = height = display_width = display_height = 0;
    if (w <= 0 || h <= 0 || w > k_max_image_side || h > k_max_image_side) return false;
    const std::uint64_t bytes = std::uint64_t(w) * std::uint64_t(h) * 4u;
    pixels.resize(static_cast<std::size_t>(bytes));
    rows.resize(static_cast<std::size_t>(h));
    for (std::int32_t y = 0; y < h; ++y)
        rows[static_cast<std::size_t>(y)] = pixels.data() + std::size_t(y) * std::size_t(w) * 4u;
    width = display_width = w;
    height = display_height = h;
    return true;
}

} // namespace kestrune
