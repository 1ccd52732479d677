// Effects that filter the scene beneath them: the snapshot layer "Plain", the four tone
// filters and the magnifying lens. Each copies the frame under its rectangle, as composed
// so far in priority order, into its own image and draws that image in its place.
#include "scene/effects.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>

#include <emmintrin.h>

namespace kestrune::scene::effects {

namespace {

// The luminance weights: 77, 151 and 28 of 256 on bytes 0, 1 and 2 (blue, green, red).
struct LumaTables {
    std::array<std::uint8_t, 256> b{}, g{}, r{};
    LumaTables() {
        for (int v = 0; v < 256; ++v) {
            b[std::size_t(v)] = std::uint8_t((77 * v) >> 8);
            g[std::size_t(v)] = std::uint8_t((151 * v) >> 8);
            r[std::size_t(v)] = std::uint8_t((28 * v) >> 8);
        }
    }
};
const LumaTables& luma() {
    static const LumaTables t;
    return t;
}

std::uint8_t plus_capped(int l, int add, int cap_from) {
    return std::uint8_t(l >= cap_from ? 255 : l + add);
}

} // namespace

namespace {

// Four pixels at once. The capped additions of the tones are saturating byte additions:
// L + 30 passes 255 exactly when L > 225, L + 80 when L >= 176 and L + 20 when L >= 236.
__m128i tone4(Tone tone, __m128i px, bool opaque) {
    const __m128i low = _mm_set1_epi32(0xFF);
    const __m128i alpha = opaque ? _mm_set1_epi32(int(0xFF000000u))
                                 : _mm_and_si128(px, _mm_set1_epi32(int(0xFF000000u)));
    __m128i rgb;
    if (tone == Tone::plain) {
        rgb = _mm_and_si128(px, _mm_set1_epi32(0x00FFFFFF));
    } else if (tone == Tone::nega_posi) {
        rgb = _mm_andnot_si128(px, _mm_set1_epi32(0x00FFFFFF));
    } else {
        const __m128i b = _mm_and_si128(px, low);
        const __m128i g = _mm_and_si128(_mm_srli_epi32(px, 8), low);
        const __m128i r = _mm_and_si128(_mm_srli_epi32(px, 16), low);
        const __m128i l =
            _mm_add_epi32(_mm_add_epi32(_mm_srli_epi32(_mm_mullo_epi16(b, _mm_set1_epi32(77)), 8),
                                        _mm_srli_epi32(_mm_mullo_epi16(g, _mm_set1_epi32(151)), 8)),
                          _mm_srli_epi32(_mm_mullo_epi16(r, _mm_set1_epi32(28)), 8));
        const __m128i grey =
            _mm_or_si128(_mm_or_si128(l, _mm_slli_epi32(l, 8)), _mm_slli_epi32(l, 16));
        const int add = tone == Tone::sepia ? 0x1E1E00 : tone == Tone::delumo_blue ? 0x001450 : 0;
        rgb = _mm_adds_epu8(grey, _mm_set1_epi32(add));
    }
    return _mm_or_si128(rgb, alpha);
}

} // namespace

void tone_row(Tone tone, const std::uint8_t* src, std::uint8_t* dst, std::int32_t n, bool opaque) {
    for (; n >= 4; n -= 4, src += 16, dst += 16)
        _mm_storeu_si128(
            reinterpret_cast<__m128i*>(dst),
            tone4(tone, _mm_loadu_si128(reinterpret_cast<const __m128i*>(src)), opaque));
    const LumaTables& t = luma();
    for (std::int32_t i = 0; i < n; ++i, src += 4, dst += 4) {
        const std::uint8_t b = src[0], g = src[1], r = src[2];
        const std::uint8_t a = opaque ? 255 : src[3];
        const int l = t.b[b] + t.g[g] + t.r[r]; // at most 76 + 150 + 27 = 253
        switch (tone) {
        case Tone::plain:
            dst[0] = b, dst[1] = g, dst[2] = r;
            break;
        case Tone::nega_posi:
            dst[0] = std::uint8_t(255 - b), dst[1] = std::uint8_t(255 - g),
            dst[2] = std::uint8_t(255 - r);
            break;
        case Tone::monochrome:
            dst[0] = dst[1] = dst[2] = std::uint8_t(l);
            break;
        case Tone::sepia:
            dst[0] = std::uint8_t(l);
            dst[1] = dst[2] = plus_capped(l, 30, 226);
            break;
        case Tone::delumo_blue:
            dst[0] = plus_capped(l, 80, 176);
            dst[1] = plus_capped(l, 20, 236);
            dst[2] = std::uint8_t(l);
            break;
        }
        dst[3] = a;
    }
}

namespace {

struct FilterRecord : EffectRecord {
    Tone tone = Tone::plain;
};

// The part of the object's image rectangle that lies in the clip and on the screen.
ClipRect covered(const Drawable& d, const ClipRect& clip) {
    ClipRect c;
    c.left = std::max({d.x, clip.left, 0});
    c.top = std::max({d.y, clip.top, 0});
    c.right = std::min({d.x + d.image->width, clip.right, k_screen_width});
    c.bottom = std::min({d.y + d.image->height, clip.bottom, k_screen_height});
    return c;
}

int filter_render(SceneObject& o, FrameBuffer& frame, const ClipRect& clip) {
    Drawable* d = o.drawable.get();
    auto* f = dynamic_cast<FilterRecord*>(o.effect.get());
    if (!d || !d->image || !f || d->alpha == 0) return 0;
    if (f->tone != Tone::plain || f->capture) {
        const ClipRect c = covered(*d, clip);
        // The frame is always 32-bit BGRA with its own stride, whatever the display shows.
        const RasterTarget t = frame.acquire();
        for (std::int32_t y = c.top; y < c.bottom; ++y)
            tone_row(f->tone, t.pixels + std::ptrdiff_t(y) * t.stride + c.left * 4,
                     d->image->row(y - d->y) + (c.left - d->x) * 4, c.right - c.left, true);
        frame.release();
    }
    return detail::default_render(o, frame, clip);
}

template <Tone tone>
std::unique_ptr<EffectRecord> construct_filter(SceneObject& o, const EffectArgs&) {
    if (!o.drawable || !o.drawable->owns_image()) return nullptr;
    auto r = std::make_unique<FilterRecord>();
    r->tone = tone;
    o.drawable->image->kind = 6;
    o.render = filter_render;
    return r;
}

// ---- lens ------------------------------------------------------------------------------------

// One pixel of the lens square: the sample's displacement and the weights of its left and
// upper neighbour; untouched pixels (outside the inscribed circle) show what lies beneath
// as it is.
struct LensTap {
    std::int16_t ox = 0, oy = 0;
    std::uint8_t wx = 0, wy = 0;
    std::uint8_t touched = 0;
};

struct LensRecord : EffectRecord {
    std::int32_t size = 0;
    std::vector<LensTap> taps; // size x size, row by row
};

// The two-step weighting of the four neighbours, each product floored on its own:
//   top    = (255 - wx) * P(x', y') >> 8      + wx * P(x' - 1, y') >> 8
//   bottom = (255 - wx) * P(x', y' - 1) >> 8  + wx * P(x' - 1, y' - 1) >> 8
//   value  = top * (255 - wy) >> 8 + bottom * wy >> 8
// All four channels at once in 16-bit lanes (every product stays below 65536).
inline std::uint32_t lens_sample(const std::uint8_t* p00, std::ptrdiff_t stride, int wx, int wy) {
    const __m128i zero = _mm_setzero_si128();
    auto pair = [&](const std::uint8_t* right) {
        std::uint32_t a, b;
        std::memcpy(&a, right, 4);
        std::memcpy(&b, right - 4, 4);
        return _mm_unpacklo_epi8(
            _mm_unpacklo_epi32(_mm_cvtsi32_si128(int(a)), _mm_cvtsi32_si128(int(b))), zero);
    };
    // (255 - w) in the four low lanes, w in the four high ones.
    const __m128i wxs =
        _mm_unpacklo_epi64(_mm_set1_epi16(short(255 - wx)), _mm_set1_epi16(short(wx)));
    const __m128i wys =
        _mm_unpacklo_epi64(_mm_set1_epi16(short(255 - wy)), _mm_set1_epi16(short(wy)));
    auto fold = [&](__m128i v, __m128i w) {
        const __m128i m = _mm_srli_epi16(_mm_mullo_epi16(v, w), 8);
        return _mm_add_epi16(m, _mm_srli_si128(m, 8));
    };
    const __m128i top = fold(pair(p00), wxs);
    const __m128i bottom = fold(pair(p00 - stride), wxs);
    const __m128i value = fold(_mm_unpacklo_epi64(top, bottom), wys);
    return std::uint32_t(_mm_cvtsi128_si32(_mm_packus_epi16(value, zero))) | 0xFF000000u;
}

void lens_rows(const Drawable* d, const LensRecord* l, const RasterTarget& t, const ClipRect& c);

int lens_render(SceneObject& o, FrameBuffer& frame, const ClipRect& clip) {
    Drawable* d = o.drawable.get();
    auto* l = dynamic_cast<LensRecord*>(o.effect.get());
    if (!d || !d->image || !l || d->alpha == 0) return 0;
    const ClipRect c = covered(*d, clip);
    if (c.empty()) return detail::default_render(o, frame, clip);
    const RasterTarget t = frame.acquire();
    // Bands of the lens's own image are filled from the frame, which nothing writes
    // meanwhile: the calling thread and the raster worker may share them.
    auto rows = [&](const ClipRect& band) {
        lens_rows(d, l, t, band);
        return 1;
    };
    run_in_bands(c, 16, std::int64_t(c.right - c.left) * (c.bottom - c.top) * 4, rows);
    frame.release();
    return detail::default_render(o, frame, clip);
}

void lens_rows(const Drawable* d, const LensRecord* l, const RasterTarget& t, const ClipRect& c) {
    for (std::int32_t y = c.top; y < c.bottom; ++y) {
        const std::int32_t i = y - d->y;
        std::uint32_t* out = d->image->row32(i) + (c.left - d->x);
        const LensTap* tap =
            &l->taps[std::size_t(i) * std::size_t(l->size) + std::size_t(c.left - d->x)];
        const auto* row =
            reinterpret_cast<const std::uint32_t*>(t.pixels + std::ptrdiff_t(y) * t.stride);
        for (std::int32_t x = c.left; x < c.right; ++x, ++out, ++tap) {
            if (!tap->touched) {
                *out = row[x] | 0xFF000000u;
                continue;
            }
            // Samples stay on the frame: x' and y' are kept to 1 ... 1023 and 1 ... 575.
            const std::int32_t sx = std::clamp(x + tap->ox, 1, k_screen_width - 1);
            const std::int32_t sy = std::clamp(y + tap->oy, 1, k_screen_height - 1);
            *out = lens_sample(t.pixels + std::ptrdiff_t(sy) * t.stride + std::ptrdiff_t(sx) * 4,
                               t.stride, tap->wx, tap->wy);
        }
    }
}

// A displacement's whole-pixel offset (0 when its sample would leave the square) and the
// weight of the fraction, as a byte. Non-finite values never reach an integer.
void split_offset(double m, std::int32_t index, std::int32_t size, std::int16_t& offset,
                  std::uint8_t& weight) {
    if (!std::isfinite(m)) m = 0;
    auto o = static_cast<std::int32_t>(-std::floor(m));
    const double frac = std::abs(std::abs(m) - std::abs(double(o)));
    if (index + o < 0 || index + o > size - 1) o = 0;
    offset = static_cast<std::int16_t>(o);
    weight = static_cast<std::uint8_t>(std::clamp(std::trunc(frac * 255), 0.0, 255.0));
}

std::unique_ptr<EffectRecord> construct_lens(SceneObject& o, const EffectArgs& a) {
    if (!o.drawable || !o.drawable->owns_image() || a.width != a.height) return nullptr;
    auto l = std::make_unique<LensRecord>();
    const std::int32_t w = a.width;
    const std::size_t n = std::size_t(w) * std::size_t(w);
    l->size = w;
    l->taps.assign(n, LensTap{});
    const double r = w / 2;
    // A curvature below 1 would put the sphere's centre inside the lens plane (no real
    // z0): it is taken as 1, the flattest lens. A distance of 0 or less is taken as 1.
    const double c = std::max(1.0, number_or("$SYSTEM_effect_lens_cuvatue", 1000) / 1000);
    double dist = number_or("$SYSTEM_effect_lens_distance", 1);
    if (!(dist > 0) || !std::isfinite(dist)) dist = 1;
    const double big_r = std::isfinite(c) ? r * c : r;
    const double h = r * dist;
    const double z0 = std::sqrt(std::max(0.0, big_r * big_r - r * r));
    std::vector<double> fx(n, 0), fy(n, 0);
    double mx = 0, my = 0;
    for (std::int32_t i = 0; i < w; ++i)
        for (std::int32_t j = 0; j < w; ++j) {
            const double dx = j - r, dy = i - r;
            if (dx * dx + dy * dy >= r * r) continue;
            const double z = std::sqrt(std::max(0.0, big_r * big_r - dx * dx - dy * dy));
            const double denom = z - z0 + h;
            double f = denom != 0 ? (z - z0) / denom : 0;
            if (!std::isfinite(f)) f = 0;
            const std::size_t k = std::size_t(i) * std::size_t(w) + std::size_t(j);
            fx[k] = f * dx;
            fy[k] = f * dy;
            l->taps[k].touched = 1;
            mx = std::max(mx, std::abs(fx[k]));
            my = std::max(my, std::abs(fy[k]));
        }
    const double sx = 128 / (mx + 1), sy = 128 / (my + 1);
    for (std::int32_t i = 0; i < w; ++i)
        for (std::int32_t j = 0; j < w; ++j) {
            const std::size_t k = std::size_t(i) * std::size_t(w) + std::size_t(j);
            LensTap& tap = l->taps[k];
            if (!tap.touched) continue;
            split_offset(fx[k] * sx, j, w, tap.ox, tap.wx);
            split_offset(fy[k] * sy, i, w, tap.oy, tap.wy);
        }
    o.drawable->image->kind = 6;
    o.render = lens_render;
    return l;
}

int lens_step(SceneObject&, EffectRecord&) {
    if (!region_empty()) mark_all_changed();
    return k_step_keep;
}

void release_filter(SceneObject&, EffectRecord&) {}

const EffectKind k_filters[] = {
    {"Plain", true, false, construct_filter<Tone::plain>, nullptr, release_filter, nullptr,
     nullptr},
    {"NegaPosi", true, false, construct_filter<Tone::nega_posi>, nullptr, release_filter, nullptr,
     nullptr},
    {"Monochrome", true, false, construct_filter<Tone::monochrome>, nullptr, release_filter,
     nullptr, nullptr},
    {"Sepia", true, false, construct_filter<Tone::sepia>, nullptr, release_filter, nullptr,
     nullptr},
    {"DelumoBlue", true, false, construct_filter<Tone::delumo_blue>, nullptr, release_filter,
     nullptr, nullptr},
    {"Lens", true, false, construct_lens, lens_step, release_filter, nullptr, nullptr},
    {nullptr, false, false, nullptr, nullptr, nullptr, nullptr, nullptr},
};

} // namespace

const EffectKind* filter_kinds() {
    return k_filters;
}

} // namespace kestrune::scene::effects
