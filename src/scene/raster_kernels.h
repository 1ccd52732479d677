// Row kernels of the rasteriser (internal to scene/, and to its tests).
//
// A row is filled in two stages: the sampler produces the source pixels of the row (or the
// row is read straight from the image when it is an unscaled copy), and a blend kernel
// combines them with the destination. Kernels exist once per instruction set (SSE2, the
// x86-64 baseline, and AVX2 chosen at run time) and must give the same integers as the
// per-channel formulas, pixel by pixel:
//   weight  w = source alpha                      (opaque: drawable alpha 255)
//           w = (source alpha * P) >> 8           (translucent, drawable alpha P)
//           w = (w * table[rule]) >> 8            (through a rule map)
//           w_c = (w * layer_c) >> 8 per channel  (through a mask layer; w = 0 where the
//                                                  layer's colour is zero)
//   normal  d + floor((s - d) * w / 256)      add  min(255, d + (s * w >> 8))
//   sub     max(0, d - (s * w >> 8))          mul  d + floor((((s * d) >> 8) - d) * w / 256)
//   overlay d + floor((o - d) * w / 256), o = (s * d) >> 7 when d <= 127 (alpha: d == 0),
//           else 255 - ((255 - s) * (255 - d) >> 7)
// On the opaque normal path without mask or rule map a fully opaque source pixel is stored
// as it is.
#pragma once

#include "scene/raster.h"
#include "storage/pixel_image.h"

#include <cstdint>

namespace kestrune::scene::detail {

enum BlendOp : int { op_normal = 0, op_add, op_sub, op_overlay, op_mul, op_count };

struct BlendParams {
    std::uint8_t alpha = 255;            // drawable alpha; below 255 selects the translucent path
    const std::uint8_t* mask = nullptr;  // mask layer pixels for this row segment (4 bytes each)
    const std::uint8_t* rule = nullptr;  // rule map bytes for this row segment
    const std::uint8_t* table = nullptr; // rule alpha table (256 entries)
};

// Blends n source pixels into n destination pixels (both BGRA).
using BlendFn = void (*)(std::uint8_t* dst, const std::uint32_t* src, int n, const BlendParams& p);
// Samples n pixels starting at 16.16 position (u, v), stepping (du, dv); coordinates are
// clamped to the image.
using SampleFn = void (*)(std::uint32_t* out, int n, const PixelImage& img, std::int32_t u,
                          std::int32_t v, std::int32_t du, std::int32_t dv);

struct KernelSet {
    const char* name;
    // [op][translucent][mask | rule << 1]
    BlendFn blend[op_count][2][4];
    SampleFn bilinear;
};

const KernelSet& kernels_sse2();
const KernelSet& kernels_avx2();   // only valid where the processor has AVX2
const KernelSet& kernels_avx512(); // only valid where the processor has AVX-512BW
bool cpu_has_avx2();
bool cpu_has_avx512();
// The set draw() uses: the widest the processor has.
const KernelSet& active_kernels();
// Test support: make draw() use `k` (null: back to the automatic choice).
void use_kernels_for_tests(const KernelSet* k);

// Nearest sampling (scalar; shared by every set).
void sample_nearest(std::uint32_t* out, int n, const PixelImage& img, std::int32_t u,
                    std::int32_t v, std::int32_t du, std::int32_t dv);

// Fills the drawable's spans inside `rect` (already clipped to the target, the drawable's
// surface clip and the screen) on the calling thread. Returns 1 when any span pixel lay
// inside the rectangle.
int fill_rect(const Drawable& d, const RasterTarget& target, const ClipRect& rect,
              const MaskLayer* mask, const RuleMap* rule);
// Runs fill_rect() on the calling thread or shared with the raster worker.
int run_draw(const Drawable& d, const RasterTarget& target, const ClipRect& rect,
             const MaskLayer* mask, const RuleMap* rule);

} // namespace kestrune::scene::detail
