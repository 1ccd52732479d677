// The draw entry point and the row filling: clip, walk the spans, sample the image and
// hand each run of pixels to the blend kernel of the drawable's mode.
#include "scene/raster.h"
#include "scene/raster_kernels.h"

#include <algorithm>
#include <vector>

namespace kestrune::scene {

namespace detail {

namespace {

constexpr int k_chunk = 256; // pixels sampled ahead of one blend call

int op_of(std::uint16_t mode) {
    switch (mode & k_blend_mode_bits) {
    case k_blend_add:
        return op_add;
    case k_blend_sub:
        return op_sub;
    case k_blend_overlay:
        return op_overlay;
    case k_blend_mul:
        return op_mul;
    default:
        return op_normal;
    }
}

} // namespace

int fill_rect(const Drawable& d, const RasterTarget& target, const ClipRect& rect,
              const MaskLayer* mask, const RuleMap* rule) {
    const KernelSet& ks = active_kernels();
    const PixelImage& img = *d.image;
    const QuadGeometry& g = d.geometry;
    const int op = op_of(d.mode);
    const bool smooth = op == op_normal && (d.mode & k_blend_smoothing);
    const BlendFn blend = ks.blend[op][d.alpha < 255 ? 1 : 0][(mask ? 1 : 0) | (rule ? 2 : 0)];
    alignas(64) std::uint32_t buf[k_chunk];
    int drawn = 0;
    // Rows outside the projection's rows hold no span.
    const std::int32_t top = std::max(rect.top, g.span_top);
    const std::int32_t bottom = std::min(rect.bottom, g.span_bottom);
    for (std::int32_t y = top; y < bottom; ++y) {
        const SpanRow& s = g.spans[static_cast<std::size_t>(y)];
        if (!s.valid()) continue;
        std::int32_t x0 = std::max(s.left, rect.left), x1 = std::min(s.right, rect.right);
        if (g.row_clip) {
            x0 = std::max<std::int32_t>(x0, g.row_clip->left[static_cast<std::size_t>(y)]);
            x1 = std::min<std::int32_t>(x1, g.row_clip->right[static_cast<std::size_t>(y)]);
        }
        if (x0 >= x1) continue;
        drawn = 1;
        const std::int64_t skip = x0 - s.left;
        auto u = static_cast<std::uint32_t>(s.u + std::int64_t(s.du) * skip);
        auto v = static_cast<std::uint32_t>(s.v + std::int64_t(s.dv) * skip);
        std::uint8_t* dst = target.pixels + std::ptrdiff_t(y) * target.stride;
        BlendParams p;
        p.alpha = d.alpha;
        if (rule) p.table = rule->table;
        for (std::int32_t x = x0; x < x1;) {
            int n = x1 - x;
            const auto su = static_cast<std::int32_t>(u), sv = static_cast<std::int32_t>(v);
            const std::uint32_t* src = buf;
            if (!smooth && s.du == 0x10000 && s.dv == 0 && (sv >> 16) >= 0 &&
                (sv >> 16) < img.height && (su >> 16) >= 0 && (su >> 16) + n <= img.width) {
                src = img.row32(sv >> 16) + (su >> 16); // unscaled row: no resampling
            } else {
                n = std::min(n, k_chunk);
                if (smooth)
                    ks.bilinear(buf, n, img, su, sv, s.du, s.dv);
                else
                    sample_nearest(buf, n, img, su, sv, s.du, s.dv);
            }
            if (mask) p.mask = mask->pixels + std::ptrdiff_t(y) * mask->stride + x * 4;
            if (rule) p.rule = rule->map + std::ptrdiff_t(y) * rule->stride + x;
            blend(dst + std::ptrdiff_t(x) * 4, src, n, p);
            u += static_cast<std::uint32_t>(s.du) * static_cast<std::uint32_t>(n);
            v += static_cast<std::uint32_t>(s.dv) * static_cast<std::uint32_t>(n);
            x += n;
        }
    }
    return drawn;
}

std::int64_t draw_work(const Drawable& d, const ClipRect& clip) {
    const ClipRect b = screen_bounds(d);
    const std::int64_t w = std::min(b.right, clip.right) - std::max(b.left, clip.left);
    const std::int64_t h = std::min(b.bottom, clip.bottom) - std::max(b.top, clip.top);
    if (w <= 0 || h <= 0) return 0;
    // Measured on full-screen draws: a bilinear sample costs about thirty pixels of a row
    // copied as it is, a stepped nearest one about eight.
    if (op_of(d.mode) == op_normal && (d.mode & k_blend_smoothing)) return w * h * 30;
    const std::int32_t mid = std::clamp(b.top + (b.bottom - b.top) / 2, 0, k_screen_height - 1);
    const SpanRow& s = d.geometry.spans[static_cast<std::size_t>(mid)];
    const bool copied = s.du == 0x10000 && s.dv == 0;
    return w * h * (copied ? 1 : 8);
}

int run_draw(const Drawable& d, const RasterTarget& target, const ClipRect& rect,
             const MaskLayer* mask, const RuleMap* rule) {
    auto fill = [&](const ClipRect& band) { return fill_rect(d, target, band, mask, rule); };
    // A shaped target's per-row limits stay with the calling thread.
    const std::int64_t work = d.geometry.row_clip ? 0 : draw_work(d, rect);
    // At least eight bands; bands of smoothed pixels are thinner, so that the thread that
    // finishes first waits less for the other's last band.
    const std::int32_t rows = rect.bottom - rect.top;
    const bool costly = work > std::int64_t(rect.right - rect.left) * rows * 4;
    const std::int32_t band_rows = std::clamp(rows / 8, 2, costly ? 8 : 16);
    return run_in_bands(rect, band_rows, work, fill);
}

// The rectangle a draw of d may write: clip, cut to the target, the screen's rows (spans
// exist for those only), the drawable's surface and, with a full-screen layer, the screen's
// columns. Empty when nothing can be drawn.
ClipRect draw_rect(const Drawable& d, const RasterTarget& target, const ClipRect& clip,
                   bool layered) {
    if (d.alpha == 0 || !d.image || d.image->empty() || d.geometry.culled) return {};
    ClipRect r = clip;
    r.left = std::max({r.left, 0});
    r.top = std::max({r.top, 0});
    r.right = std::min({r.right, target.width});
    r.bottom = std::min({r.bottom, target.height, k_screen_height});
    if (d.surface_clip) {
        r.left = std::max(r.left, d.surface_clip->left);
        r.top = std::max(r.top, d.surface_clip->top);
        r.right = std::min(r.right, d.surface_clip->right);
        r.bottom = std::min(r.bottom, d.surface_clip->bottom);
    }
    if (layered) r.right = std::min(r.right, k_screen_width);
    return r;
}

} // namespace detail

int draw(const Drawable& d, const RasterTarget& target, const ClipRect& clip, const MaskLayer* mask,
         const RuleMap* rule) {
    if (!target.pixels || target.width <= 0 || target.height <= 0) return 0;
    if ((mask && !mask->pixels) || (rule && (!rule->map || !rule->table))) return 0;
    const ClipRect r = detail::draw_rect(d, target, clip, mask || rule);
    if (r.empty()) return 0;
    return detail::run_draw(d, target, r, mask, rule);
}

namespace {

// Rows drawn of every drawable of a run before the next rows: a band of image and
// target that stays in the cache while the run's drawables take their turns on it.
constexpr std::int32_t k_run_rows = 32;

struct RunItem {
    const Drawable* d;
    ClipRect rect; // where it may draw, rows cut to its spans
};

} // namespace

int draw_in_order(const Drawable* const* drawables, std::size_t count, const RasterTarget& target,
                  const ClipRect& clip) {
    if (!target.pixels || target.width <= 0 || target.height <= 0) return 0;
    // Reused from run to run (a run happens under the scene lock, one thread at a time,
    // but the list belongs to the thread that started it).
    thread_local std::vector<RunItem> items;
    items.clear();
    ClipRect all;
    std::int64_t work = 0;
    bool shaped = false;
    for (std::size_t i = 0; i < count; ++i) {
        const Drawable& d = *drawables[i];
        ClipRect r = detail::draw_rect(d, target, clip, false);
        r.top = std::max(r.top, d.geometry.span_top);
        r.bottom = std::min(r.bottom, d.geometry.span_bottom);
        if (r.empty()) continue;
        items.push_back({&d, r});
        all = all.empty() ? r
                          : ClipRect{std::min(all.left, r.left), std::min(all.top, r.top),
                                     std::max(all.right, r.right), std::max(all.bottom, r.bottom)};
        work += detail::draw_work(d, r);
        shaped = shaped || d.geometry.row_clip;
    }
    if (items.empty()) return 0;
    const std::vector<RunItem>& list = items;
    // Each pixel still sees the drawables in their order: a band's rows are drawn by one
    // thread, drawable after drawable, and no drawable writes outside its own rows.
    auto fill = [&list, &target](const ClipRect& band) {
        int drawn = 0;
        for (std::int32_t top = band.top; top < band.bottom; top += k_run_rows) {
            const std::int32_t bottom = std::min(top + k_run_rows, band.bottom);
            for (const RunItem& it : list) {
                const ClipRect r{it.rect.left, std::max(it.rect.top, top), it.rect.right,
                                 std::min(it.rect.bottom, bottom)};
                if (r.top < r.bottom)
                    drawn |= detail::fill_rect(*it.d, target, r, nullptr, nullptr);
            }
        }
        return drawn;
    };
    // A shaped target's per-row limits stay with the calling thread.
    return run_in_bands(all, k_run_rows, shaped ? 0 : work, fill);
}

} // namespace kestrune::scene
