// Animated distortions of an object's own image, started by DrawEffect: mosaic, the four
// waves, ripple and spiral. Each keeps the image as it was before the effect and rebuilds a
// working copy from it; the drawable shows the working copy until the effect ends.
#include "scene/effects.h"

#include "scene/effects_simd.h"
#include "scene/raster_kernels.h"
#include "storage/save_bytes.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>

#include <emmintrin.h>

namespace kestrune::scene::effects {

namespace {

constexpr double k_pi = 3.14159265358979323846;
// Time-driven motion (the travel of waves and ripples) moves at most this often.
constexpr std::uint32_t k_motion_ms = 32;

struct DistortionRecord : EffectRecord {
    // The drawable's image before the effect (not owned): put back at the end while the
    // drawable still shows the working image.
    PixelImage* before = nullptr;
    std::unique_ptr<PixelImage> original, working;
    std::uint32_t last_motion = 0;
    bool moved_once = false;
    // After a load: the time from the last motion to the object's last cycle, applied at
    // the first step (when the object's clock has been set again).
    std::int64_t pending_since = -1;
    // Whether the time-driven motion is due; records the time when it is.
    bool motion_due(const SceneObject& o) {
        if (pending_since >= 0) {
            last_motion = o.last_tick - std::uint32_t(pending_since);
            pending_since = -1;
        }
        const std::uint32_t now = detail::now_for_actions();
        if (moved_once && now - last_motion <= k_motion_ms && !every_step_due()) return false;
        moved_once = true;
        last_motion = now;
        return true;
    }
};

bool begin_distortion(SceneObject& o, DistortionRecord& r, bool translucent) {
    Drawable& d = *o.drawable;
    auto copy = [&](std::int32_t kind) {
        auto c = std::make_unique<PixelImage>();
        if (!c->allocate(d.image->width, d.image->height)) return std::unique_ptr<PixelImage>();
        c->kind = kind;
        c->display_width = d.image->display_width;
        c->display_height = d.image->display_height;
        std::memcpy(c->pixels.data(), d.image->pixels.data(), c->pixels.size());
        return c;
    };
    // The effect rebuilds from its own copy of the picture: whatever later happens to the
    // image the drawable showed (SetImage, SetShade), the copy stays.
    r.original = copy(d.image->kind);
    r.working = copy(d.image->kind | (translucent ? k_kind_alpha_bit : 0));
    if (!r.original || !r.working) return false;
    r.before = d.image;
    d.image = r.working.get();
    return true;
}

void release_distortion(SceneObject& o, EffectRecord& base) {
    auto& r = static_cast<DistortionRecord&>(base);
    if (o.drawable && o.drawable->image == r.working.get()) o.drawable->image = r.before;
    o.render = detail::default_render;
    if (o.drawable) reproject(o);
}

void write_motion(const SceneObject& o, const DistortionRecord& r, storage::SaveWriter& w) {
    w.u32(r.moved_once);
    w.u32(o.last_tick - r.last_motion);
}

bool read_motion(DistortionRecord& r, storage::SaveReader& in) {
    const bool moved = in.u32() != 0;
    const std::uint32_t since = in.u32();
    if (!in.ok()) return false;
    if (since > 60000) return in.fail("an effect clock beyond a minute");
    r.moved_once = moved;
    r.pending_since = moved ? std::int64_t(since) : -1;
    return true;
}

// ---- mosaic ----------------------------------------------------------------------------------

struct MosaicRecord : DistortionRecord {
    std::int32_t block = 0; // the block size the working image shows
    std::vector<std::uint32_t> sums;
};

// Each n x n block of `to` becomes the floor mean of the same block of `from`, per channel;
// the blocks of the last row and column are cut at the image edge and averaged over the
// pixels they really hold. A block of 1 is a plain copy.
void build_mosaic(const PixelImage& from, PixelImage& to, std::int32_t n,
                  std::vector<std::uint32_t>& sums) {
    const std::int32_t w = from.width, h = from.height;
    if (n <= 1) {
        std::memcpy(to.pixels.data(), from.pixels.data(), to.pixels.size());
        return;
    }
    const std::int32_t columns = (w + n - 1) / n;
    sums.assign(std::size_t(columns) * 4, 0);
    // A block's row sums fit 16-bit lanes while it is at most 257 pixels wide.
    const bool narrow = n <= 257;
    const __m128i zero = _mm_setzero_si128();
    for (std::int32_t top = 0; top < h; top += n) {
        const std::int32_t rows = std::min(n, h - top);
        std::fill(sums.begin(), sums.end(), 0);
        for (std::int32_t y = top; y < top + rows; ++y) {
            const std::uint8_t* p = from.row(y);
            for (std::int32_t c = 0; c < columns; ++c) {
                std::uint32_t* s = &sums[std::size_t(c) * 4];
                const std::int32_t x1 = std::min(w, (c + 1) * n);
                std::int32_t x = c * n;
                if (narrow) {
                    // Two pixels a step in eight 16-bit lanes, folded into the four sums.
                    __m128i acc = zero;
                    for (; x + 2 <= x1; x += 2, p += 8)
                        acc = _mm_add_epi16(
                            acc, _mm_unpacklo_epi8(
                                     _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)), zero));
                    acc = _mm_add_epi16(acc, _mm_srli_si128(acc, 8));
                    __m128i total = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s));
                    total = _mm_add_epi32(total, _mm_unpacklo_epi16(acc, zero));
                    _mm_storeu_si128(reinterpret_cast<__m128i*>(s), total);
                }
                std::uint32_t b = 0, g = 0, r = 0, a = 0;
                for (; x < x1; ++x, p += 4) b += p[0], g += p[1], r += p[2], a += p[3];
                s[0] += b, s[1] += g, s[2] += r, s[3] += a;
            }
        }
        // The block row's first image row, then copies of it.
        std::uint32_t* first = to.row32(top);
        for (std::int32_t c = 0; c < columns; ++c) {
            const std::int32_t x0 = c * n, x1 = std::min(w, x0 + n);
            const std::uint32_t count = std::uint32_t(x1 - x0) * std::uint32_t(rows);
            const std::uint32_t* s = &sums[std::size_t(c) * 4];
            const std::uint32_t px =
                (s[0] / count) | (s[1] / count) << 8 | (s[2] / count) << 16 | (s[3] / count) << 24;
            std::fill(first + x0, first + x1, px);
        }
        for (std::int32_t y = top + 1; y < top + rows; ++y)
            std::memcpy(to.row32(y), first, std::size_t(w) * 4);
    }
}

std::int32_t block_of(double value) {
    return std::max<std::int32_t>(1, static_cast<std::int32_t>(value));
}

std::unique_ptr<EffectRecord> construct_mosaic(SceneObject& o, const EffectArgs& a) {
    auto r = std::make_unique<MosaicRecord>();
    const PixelImage& img = *o.drawable->image;
    const double unit = std::min(img.width, img.height) * 0.1;
    if (!start_strength(*r, a, unit * a.from / 1000, unit * a.to / 1000)) return nullptr;
    if (!begin_distortion(o, *r, false)) return nullptr;
    r->block = block_of(r->value);
    build_mosaic(*r->original, *r->working, r->block, r->sums);
    return r;
}

int mosaic_step(SceneObject& o, EffectRecord& base) {
    auto& r = static_cast<MosaicRecord&>(base);
    advance_strength(o, r);
    const std::int32_t block = block_of(r.value);
    if (block != r.block) {
        r.block = block;
        build_mosaic(*r.original, *r.working, block, r.sums);
        mark_object(o);
    }
    if (r.finished) return r.to == 0 ? k_step_release : 0;
    return k_step_keep;
}

bool read_mosaic(SceneObject& o, EffectRecord& base, storage::SaveReader&) {
    auto& r = static_cast<MosaicRecord&>(base);
    r.block = block_of(r.value);
    build_mosaic(*r.original, *r.working, r.block, r.sums);
    return true;
}

// ---- waves -----------------------------------------------------------------------------------

struct WaveRecord : DistortionRecord {
    std::int32_t periods = 4096;         // phase steps over the image height
    std::uint32_t travel = 0;            // added to every row's phase
    std::vector<std::int32_t> row_phase; // per image row
    std::array<std::int32_t, k_screen_height> offset{};
    std::int32_t widest = 0; // largest |offset| of the rows now shifted
};

std::int32_t wave_periods(std::string_view name) {
    if (name == "LowWave") return 64;
    if (name == "MiddleWave") return 512;
    if (name == "HighWave") return 1024;
    return 4096;
}

// Draws the drawable with each screen row's span moved by its offset; the texture start
// stays, so the row's picture moves with it. The rasteriser clips the moved spans.
int wave_render(SceneObject& o, FrameBuffer& frame, const ClipRect& clip) {
    auto* r = dynamic_cast<WaveRecord*>(o.effect.get());
    if (!o.drawable || !r) return 0;
    auto& spans = o.drawable->geometry.spans;
    for (std::size_t y = 0; y < spans.size(); ++y)
        if (spans[y].valid()) spans[y].left += r->offset[y], spans[y].right += r->offset[y];
    const int drawn = detail::default_render(o, frame, clip);
    for (std::size_t y = 0; y < spans.size(); ++y)
        if (spans[y].valid()) spans[y].left -= r->offset[y], spans[y].right -= r->offset[y];
    return drawn;
}

void mark_waved(const SceneObject& o, std::int32_t widest) {
    const ClipRect b = screen_bounds(*o.drawable);
    if (!b.empty())
        mark_changed(b.left - widest, b.top, b.right - b.left + 2 * widest, b.bottom - b.top);
}

template <int kind>
std::unique_ptr<EffectRecord> construct_wave(SceneObject& o, const EffectArgs& a) {
    static constexpr std::string_view names[] = {"LowWave", "MiddleWave", "HighWave", "SuperWave"};
    auto r = std::make_unique<WaveRecord>();
    const PixelImage& img = *o.drawable->image;
    const double unit = img.width >> 1;
    if (!start_strength(*r, a, unit * a.from / 1000, unit * a.to / 1000)) return nullptr;
    if (!begin_distortion(o, *r, false)) return nullptr;
    r->periods = wave_periods(names[kind]);
    // Row i starts at phase floor(i * periods / h), stepped in 16.16.
    const std::int64_t step = std::int64_t(r->periods) * 65536 / img.height;
    r->row_phase.resize(std::size_t(img.height));
    for (std::int32_t i = 0; i < img.height; ++i)
        r->row_phase[std::size_t(i)] = std::int32_t((i * step) >> 16);
    o.render = wave_render;
    return r;
}

int wave_step(SceneObject& o, EffectRecord& base) {
    auto& r = static_cast<WaveRecord&>(base);
    advance_strength(o, r);
    if (r.finished && r.to_unit == 0) return k_step_release;
    mark_waved(o, r.widest);
    reproject(o);
    if (r.motion_due(o)) {
        const double amplitude = r.value;
        const auto& spans = o.drawable->geometry.spans;
        const std::int32_t last = static_cast<std::int32_t>(r.row_phase.size()) - 1;
        r.widest = 0;
        for (std::size_t y = 0; y < spans.size(); ++y) {
            if (!spans[y].valid()) {
                r.offset[y] = 0;
                continue;
            }
            const std::int32_t row = std::clamp(spans[y].v >> 16, 0, last);
            const std::uint32_t p = (std::uint32_t(r.row_phase[std::size_t(row)]) + r.travel) & 255;
            const auto off = static_cast<std::int32_t>(std::sin(2 * k_pi * p / 256) * amplitude);
            r.offset[y] = off;
            r.widest = std::max(r.widest, std::abs(off));
        }
        r.travel++;
    }
    mark_waved(o, r.widest);
    return 1;
}

void write_wave(const SceneObject& o, const EffectRecord& base, storage::SaveWriter& w) {
    const auto& r = static_cast<const WaveRecord&>(base);
    write_motion(o, r, w);
    w.u32(r.travel);
    w.i32(r.widest);
    for (std::int32_t v : r.offset) w.i32(v);
}

bool read_wave(SceneObject& o, EffectRecord& base, storage::SaveReader& in) {
    auto& r = static_cast<WaveRecord&>(base);
    if (!read_motion(r, in)) return false;
    const std::uint32_t travel = in.u32();
    const std::int32_t widest = in.i32();
    std::array<std::int32_t, k_screen_height> offset{};
    for (std::int32_t& v : offset) v = in.i32();
    if (!in.ok()) return false;
    // A shift never exceeds the amplitude, at most half the widest image.
    constexpr std::int32_t k_limit = 1 << 20;
    if (widest < 0 || widest > k_limit) return in.fail("a wave shift out of range");
    for (std::int32_t v : offset)
        if (v < -k_limit || v > k_limit) return in.fail("a wave shift out of range");
    r.travel = travel;
    r.widest = widest;
    r.offset = offset;
    reproject(o);
    return true;
}

// ---- ripple ----------------------------------------------------------------------------------

struct RippleRecord : DistortionRecord {
    double factor = 0;           // phase steps per pixel of distance
    std::uint32_t phase = 0;     // grows by 1 each motion step
    std::vector<float> distance; // per pixel: distance from the centre times factor
    // Per pixel: the cosine and sine of its polar angle, taken in 256 steps a turn (kept
    // per pixel rather than as an angle: the row loop then loads them instead of looking
    // them up).
    std::vector<float> cosine, sine;
};

void build_ripple(RippleRecord& r) {
    const PixelImage& from = *r.original;
    PixelImage& to = *r.working;
    const std::int32_t w = from.width, h = from.height;
    std::array<float, 256> wave{};
    for (int i = 0; i < 256; ++i)
        wave[std::size_t(i)] = float(std::sin(2 * k_pi * i / 256) * r.value);
    const float shift = float(double(r.phase) * r.factor);
    // The copy's rows lie one after the other: a displaced pixel is found by its index.
    const std::uint32_t* source = from.row32(0);
    const bool wide = detail::cpu_has_avx2();
    auto rows = [&](const ClipRect& band) {
        for (std::int32_t i = band.top; i < band.bottom; ++i) {
            std::uint32_t* out = to.row32(i);
            const std::size_t base = std::size_t(i) * std::size_t(w);
            RippleRow row{&r.distance[base],
                          &r.cosine[base],
                          &r.sine[base],
                          wave.data(),
                          source,
                          out,
                          shift,
                          i,
                          w,
                          h};
            std::int32_t j = wide ? ripple_row_avx2(row) : 0;
            for (; j < w; ++j) {
                // The phase may run past the distance: the index wraps into the table.
                const auto idx =
                    static_cast<std::int32_t>(r.distance[base + std::size_t(j)] - shift) & 255;
                const float s = wave[std::size_t(idx)];
                const std::size_t k = base + std::size_t(j);
                const auto sx = static_cast<std::int32_t>(r.cosine[k] * s + float(j));
                const auto sy = static_cast<std::int32_t>(float(i) - r.sine[k] * s);
                out[j] = (sx >= 0 && sx < w && sy >= 0 && sy < h)
                             ? source[std::size_t(sy) * std::size_t(w) + std::size_t(sx)]
                             : 0;
            }
        }
        return 1;
    };
    // Each pixel costs about as much as four plain copies.
    run_in_bands(ClipRect{0, 0, w, h}, 16, std::int64_t(w) * h * 4, rows);
}

std::unique_ptr<EffectRecord> construct_ripple(SceneObject& o, const EffectArgs& a) {
    auto r = std::make_unique<RippleRecord>();
    const PixelImage& img = *o.drawable->image;
    if (!start_strength(*r, a, std::trunc(a.from * 0.02), std::trunc(a.to * 0.02))) return nullptr;
    if (!begin_distortion(o, *r, true)) return nullptr;
    const std::int32_t w = img.width, h = img.height;
    r->factor = 256.0 / w * 20;
    const std::size_t n = std::size_t(w) * std::size_t(h);
    r->distance.resize(n);
    r->cosine.resize(n);
    r->sine.resize(n);
    std::array<float, 256> cosine{}, sine{};
    for (int i = 0; i < 256; ++i) {
        cosine[std::size_t(i)] = float(std::cos(2 * k_pi * i / 256));
        sine[std::size_t(i)] = float(std::sin(2 * k_pi * i / 256));
    }
    const double cx = w / 2, cy = h / 2;
    for (std::int32_t i = 0; i < h; ++i)
        for (std::int32_t j = 0; j < w; ++j) {
            const double dx = j - cx, dy = cy - i;
            const std::size_t k = std::size_t(i) * std::size_t(w) + std::size_t(j);
            r->distance[k] = float(std::sqrt(dx * dx + dy * dy) * r->factor);
            const double turn = std::atan2(dy, dx) / (2 * k_pi);
            const auto a =
                std::size_t(static_cast<std::int32_t>(std::floor(turn * 256 + 0.5)) & 255);
            r->cosine[k] = cosine[a];
            r->sine[k] = sine[a];
        }
    r->value = std::trunc(r->value);
    build_ripple(*r);
    return r;
}

int ripple_step(SceneObject& o, EffectRecord& base) {
    auto& r = static_cast<RippleRecord&>(base);
    advance_strength(o, r);
    r.value = std::trunc(r.value);
    if (r.finished && r.to_unit == 0) return k_step_release;
    if (!r.motion_due(o)) return k_step_keep;
    r.phase++;
    build_ripple(r);
    mark_object(o);
    return 1;
}

void write_ripple(const SceneObject& o, const EffectRecord& base, storage::SaveWriter& w) {
    const auto& r = static_cast<const RippleRecord&>(base);
    write_motion(o, r, w);
    w.u32(r.phase);
}

bool read_ripple(SceneObject& o, EffectRecord& base, storage::SaveReader& in) {
    auto& r = static_cast<RippleRecord&>(base);
    if (!read_motion(r, in)) return false;
    const std::uint32_t phase = in.u32();
    if (!in.ok()) return false;
    r.phase = phase;
    build_ripple(r);
    return true;
}

// ---- spiral ----------------------------------------------------------------------------------

// A swirl: each pixel inside the circle inscribed in the image takes the pixel turned back
// about the centre by the strength times (1 - distance / radius), so the centre turns the
// most and the rim not at all. The strength is the centre's turn, up to two full turns.
constexpr std::int32_t k_turn_steps = 2048;

struct SpiralRecord : DistortionRecord {
    double built = -1;         // the strength the working image shows
    std::vector<float> weight; // per pixel: 1 - distance / radius, 0 outside the circle
    std::vector<float> cosine, sine;
};

void build_spiral(SpiralRecord& r) {
    const PixelImage& from = *r.original;
    PixelImage& to = *r.working;
    const std::int32_t w = from.width, h = from.height;
    const float cx = float(w / 2), cy = float(h / 2);
    const float turn = float(r.value * k_turn_steps / 360.0);
    for (std::int32_t i = 0; i < h; ++i) {
        std::uint32_t* out = to.row32(i);
        const std::size_t base = std::size_t(i) * std::size_t(w);
        const float dy = cy - float(i);
        for (std::int32_t j = 0; j < w; ++j) {
            const float wt = r.weight[base + std::size_t(j)];
            const auto a = std::size_t(static_cast<std::int32_t>(turn * wt) & (k_turn_steps - 1));
            if (a == 0) {
                out[j] = from.row32(i)[j];
                continue;
            }
            // The offset from the centre turned back by the pixel's share of the turn.
            const float dx = float(j) - cx, c = r.cosine[a], s = r.sine[a];
            const auto sx = static_cast<std::int32_t>(std::floor(cx + dx * c + dy * s + 0.5f));
            const auto sy = static_cast<std::int32_t>(std::floor(cy + dx * s - dy * c + 0.5f));
            out[j] = (sx >= 0 && sx < w && sy >= 0 && sy < h) ? from.row32(sy)[sx] : 0;
        }
    }
    r.built = r.value;
}

std::unique_ptr<EffectRecord> construct_spiral(SceneObject& o, const EffectArgs& a) {
    auto r = std::make_unique<SpiralRecord>();
    if (!start_strength(*r, a, a.from * 0.72, a.to * 0.72)) return nullptr;
    if (!begin_distortion(o, *r, false)) return nullptr;
    const std::int32_t w = r->original->width, h = r->original->height;
    const double cx = w / 2, cy = h / 2, radius = std::min(w, h) / 2.0;
    r->weight.resize(std::size_t(w) * std::size_t(h));
    for (std::int32_t i = 0; i < h; ++i)
        for (std::int32_t j = 0; j < w; ++j) {
            const double d = std::hypot(j - cx, cy - i);
            r->weight[std::size_t(i) * std::size_t(w) + std::size_t(j)] =
                radius > 0 && d < radius ? float(1 - d / radius) : 0.0f;
        }
    r->cosine.resize(k_turn_steps);
    r->sine.resize(k_turn_steps);
    for (std::int32_t i = 0; i < k_turn_steps; ++i) {
        r->cosine[std::size_t(i)] = float(std::cos(2 * k_pi * i / k_turn_steps));
        r->sine[std::size_t(i)] = float(std::sin(2 * k_pi * i / k_turn_steps));
    }
    build_spiral(*r);
    return r;
}

int spiral_step(SceneObject& o, EffectRecord& base) {
    auto& r = static_cast<SpiralRecord&>(base);
    advance_strength(o, r);
    if (r.finished && r.to_unit == 0) return k_step_release;
    if (r.value != r.built) {
        build_spiral(r);
        mark_object(o);
    }
    return r.finished ? 0 : k_step_keep;
}

bool read_spiral(SceneObject&, EffectRecord& base, storage::SaveReader&) {
    build_spiral(static_cast<SpiralRecord&>(base));
    return true;
}

const EffectKind k_distortions[] = {
    {"Mosaic", false, true, construct_mosaic, mosaic_step, release_distortion, nullptr,
     read_mosaic},
    {"LowWave", false, true, construct_wave<0>, wave_step, release_distortion, write_wave,
     read_wave},
    {"MiddleWave", false, true, construct_wave<1>, wave_step, release_distortion, write_wave,
     read_wave},
    {"HighWave", false, true, construct_wave<2>, wave_step, release_distortion, write_wave,
     read_wave},
    {"SuperWave", false, true, construct_wave<3>, wave_step, release_distortion, write_wave,
     read_wave},
    {"Ripple", false, true, construct_ripple, ripple_step, release_distortion, write_ripple,
     read_ripple},
    {"Spiral", false, true, construct_spiral, spiral_step, release_distortion, nullptr,
     read_spiral},
    {nullptr, false, false, nullptr, nullptr, nullptr, nullptr, nullptr},
};

} // namespace

const EffectKind* distortion_kinds() {
    return k_distortions;
}

} // namespace kestrune::scene::effects
