// A plain scalar rendering of the rasteriser's formulas, written straight from the
// per-channel definitions, one pixel and one channel at a time. The SIMD kernels and the
// golden images are checked against it.
#pragma once

#include "scene/raster.h"
#include "scene/raster_kernels.h"

#include <cstdint>

namespace kestrune::scene::ref {

// floor(a / 256) for any sign.
inline int floor256(int a) {
    return a >= 0 ? a / 256 : -((-a + 255) / 256);
}

std::uint8_t blend_channel(int op, int channel, int s, int d, int w);
// One destination pixel after blending one source pixel (mask_px / rule_alpha optional).
std::uint32_t blend_pixel(int op, bool translucent, int drawable_alpha, std::uint32_t src,
                          std::uint32_t dst, const std::uint32_t* mask_px, const int* rule_alpha);
std::uint32_t bilinear(const PixelImage& img, std::int32_t u, std::int32_t v);
std::uint32_t nearest(const PixelImage& img, std::int32_t u, std::int32_t v);

// The whole draw, pixel by pixel, on one thread.
int draw(const Drawable& d, const RasterTarget& target, const ClipRect& clip,
         const MaskLayer* mask = nullptr, const RuleMap* rule = nullptr);

} // namespace kestrune::scene::ref
