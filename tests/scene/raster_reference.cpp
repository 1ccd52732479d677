#include "raster_reference.h"

#include <algorithm>
#include <cstring>

namespace kestrune::scene::ref {

namespace {
int channel_of(std::uint32_t px, int c) {
    return int((px >> (8 * c)) & 255u);
}
int clampi(int x, int lo, int hi) {
    return x < lo ? lo : (x > hi ? hi : x);
}
} // namespace

std::uint8_t blend_channel(int op, int channel, int s, int d, int w) {
    int r = 0;
    switch (op) {
    case detail::op_normal:
        r = d + floor256((s - d) * w);
        break;
    case detail::op_add:
        r = std::min(255, d + s * w / 256);
        break;
    case detail::op_sub:
        r = std::max(0, d - s * w / 256);
        break;
    case detail::op_overlay: {
        const bool dark = channel == 3 ? d == 0 : d <= 127;
        const int o = dark ? s * d / 128 : 255 - (255 - s) * (255 - d) / 128;
        r = d + floor256((o - d) * w);
        break;
    }
    case detail::op_mul:
        r = d + floor256((s * d / 256 - d) * w);
        break;
    }
    return std::uint8_t(r);
}

std::uint32_t blend_pixel(int op, bool translucent, int P, std::uint32_t src, std::uint32_t dst,
                          const std::uint32_t* mask_px, const int* rule_alpha) {
    const int sa = channel_of(src, 3);
    if (sa == 0) return dst;
    if (op == detail::op_normal && !translucent && !mask_px && !rule_alpha && sa == 255) return src;
    int w = translucent ? sa * P / 256 : sa;
    if (rule_alpha) w = w * *rule_alpha / 256;
    if (mask_px && (*mask_px & 0xFFFFFFu) == 0) return dst;
    std::uint32_t out = 0;
    for (int c = 0; c < 4; ++c) {
        const int wc = mask_px ? w * channel_of(*mask_px, c) / 256 : w;
        out |= std::uint32_t(blend_channel(op, c, channel_of(src, c), channel_of(dst, c), wc))
               << (8 * c);
    }
    return out;
}

std::uint32_t nearest(const PixelImage& img, std::int32_t u, std::int32_t v) {
    return img.row32(clampi(v >> 16, 0, img.height - 1))[clampi(u >> 16, 0, img.width - 1)];
}

std::uint32_t bilinear(const PixelImage& img, std::int32_t u, std::int32_t v) {
    const int x = u >> 16, y = v >> 16, fx = (u >> 8) & 255, fy = (v >> 8) & 255;
    auto P = [&](int xx, int yy, int c) {
        return channel_of(img.row32(clampi(yy, 0, img.height - 1))[clampi(xx, 0, img.width - 1)],
                          c);
    };
    std::uint32_t out = 0;
    for (int c = 0; c < 4; ++c) {
        const int top = (255 - fx) * P(x, y, c) / 256 + fx * P(x + 1, y, c) / 256;
        const int bottom = (255 - fx) * P(x, y + 1, c) / 256 + fx * P(x + 1, y + 1, c) / 256;
        const int s = clampi(top * (255 - fy) / 256 + bottom * fy / 256, 0, 255);
        out |= std::uint32_t(s) << (8 * c);
    }
    return out;
}

int draw(const Drawable& d, const RasterTarget& t, const ClipRect& clip, const MaskLayer* mask,
         const RuleMap* rule) {
    if (d.alpha == 0 || d.geometry.culled) return 0;
    const int low = d.mode & k_blend_mode_bits;
    const int op = low == k_blend_add       ? detail::op_add
                   : low == k_blend_sub     ? detail::op_sub
                   : low == k_blend_overlay ? detail::op_overlay
                   : low == k_blend_mul     ? detail::op_mul
                                            : detail::op_normal;
    const bool smooth = op == detail::op_normal && (d.mode & k_blend_smoothing);
    int drawn = 0;
    for (int y = std::max(clip.top, 0); y < std::min({clip.bottom, t.height, k_screen_height});
         ++y) {
        const SpanRow& s = d.geometry.spans[std::size_t(y)];
        if (s.left >= s.right) continue;
        for (int x = std::max({clip.left, 0, int(s.left)});
             x < std::min({clip.right, t.width, int(s.right)}); ++x) {
            if (d.surface_clip && (x < d.surface_clip->left || x >= d.surface_clip->right ||
                                   y < d.surface_clip->top || y >= d.surface_clip->bottom))
                continue;
            if ((mask || rule) && x >= k_screen_width) continue;
            drawn = 1;
            const std::int64_t k = x - s.left;
            const auto u = std::int32_t(std::uint32_t(s.u + std::int64_t(s.du) * k));
            const auto v = std::int32_t(std::uint32_t(s.v + std::int64_t(s.dv) * k));
            const std::uint32_t src = smooth ? bilinear(*d.image, u, v) : nearest(*d.image, u, v);
            auto* px =
                reinterpret_cast<std::uint32_t*>(t.pixels + std::ptrdiff_t(y) * t.stride) + x;
            std::uint32_t mpx = 0;
            if (mask) std::memcpy(&mpx, mask->pixels + std::ptrdiff_t(y) * mask->stride + x * 4, 4);
            int ra = 0;
            if (rule) ra = rule->table[rule->map[std::ptrdiff_t(y) * rule->stride + x]];
            *px = blend_pixel(op, d.alpha < 255, d.alpha, src, *px, mask ? &mpx : nullptr,
                              rule ? &ra : nullptr);
        }
    }
    return drawn;
}

} // namespace kestrune::scene::ref
