// Frame buffer, update region, present copy, letterbox geometry and PNG dumps.
#include "scene/frame_buffer.h"

#include "scene/scene_internal.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <png.h>

namespace kestrune::scene {

namespace {

constexpr std::int32_t k_stride = k_screen_width * 4;
constexpr std::int32_t k_guard_rows = 2;

} // namespace

// ---- update region ----

void UpdateRegion::mark(std::int32_t x, std::int32_t y, std::int32_t w, std::int32_t h,
                        bool skip_mode, bool plain_copy) {
    if (skip_mode) {
        x = 0;
        y = 0;
        w = k_screen_width;
        h = k_screen_height;
    }
    const std::int32_t r = detail::saturate32(std::int64_t(x) + w + 2);
    const std::int32_t b = detail::saturate32(std::int64_t(y) + h + 2);
    Edges e = edges();
    if (e.left == -1 && e.top == -1 && e.right == -1 && e.bottom == -1) {
        e = {x, y, r, b};
    } else {
        e.left = std::min(e.left, x);
        e.top = std::min(e.top, y);
        e.right = std::max(e.right, r);
        e.bottom = std::max(e.bottom, b);
    }
    if (!plain_copy) {
        if (e.left > 0) e.left -= 2;
        if (e.top > 0) e.top -= 2;
        if (e.right < k_screen_width) e.right += 2;
        if (e.bottom < k_screen_height) e.bottom += 2;
        e.left = std::clamp(e.left, 0, k_screen_width);
        e.right = std::clamp(e.right, 0, k_screen_width);
        e.top = std::clamp(e.top, 0, k_screen_height);
        e.bottom = std::clamp(e.bottom, 0, k_screen_height);
    }
    set(e);
}

void UpdateRegion::clear() {
    set({-1, -1, -1, -1});
}

bool UpdateRegion::empty() const {
    const Edges e = edges();
    return e.left == -1 && e.top == -1 && e.right == -1 && e.bottom == -1;
}

UpdateRegion::Edges UpdateRegion::edges() const {
    return {m_left.load(std::memory_order_relaxed), m_top.load(std::memory_order_relaxed),
            m_right.load(std::memory_order_relaxed), m_bottom.load(std::memory_order_relaxed)};
}

void UpdateRegion::set(const Edges& e) {
    m_left.store(e.left, std::memory_order_relaxed);
    m_top.store(e.top, std::memory_order_relaxed);
    m_right.store(e.right, std::memory_order_relaxed);
    m_bottom.store(e.bottom, std::memory_order_relaxed);
}

ClipRect UpdateRegion::draw_rect() const {
    if (empty()) return {};
    const Edges e = edges();
    ClipRect c{std::clamp(e.left, 0, k_screen_width), std::clamp(e.top, 0, k_screen_height),
               std::clamp(e.right, 0, k_screen_width),
               std::clamp(e.bottom >= INT32_MAX ? e.bottom : e.bottom + 1, 0, k_screen_height)};
    if (c.empty()) return {};
    return c;
}

// ---- letterbox geometry ----

PresentGeometry present_geometry(std::int32_t cw, std::int32_t ch) {
    PresentGeometry g;
    if (cw <= 0 || ch <= 0) return g; // minimised: nothing to show, nothing to divide by
    const auto h = std::min<std::int32_t>(ch, std::int32_t(cw * 0.5625));
    auto w = std::min<std::int32_t>(cw, std::int32_t(std::lround(h * 1.7777777)));
    if (h <= 0 || w <= 0) return g;
    g.visible = true;
    g.width = w;
    g.height = h;
    g.x = (cw - w) / 2;
    g.y = (ch - h) / 2;
    g.step_x = std::int32_t((std::int64_t(k_screen_width) << 16) / w);
    g.step_y = std::int32_t((std::int64_t(k_screen_height) << 16) / h);
    return g;
}

// ---- frame buffer ----

FrameBuffer::FrameBuffer()
    : m_pixels(std::size_t(k_stride) * (k_screen_height + k_guard_rows), 0),
      m_present(std::size_t(k_stride) * k_screen_height, 0) {}

RasterTarget FrameBuffer::acquire() {
    return {m_pixels.data(), k_screen_width, k_screen_height, k_stride};
}

void FrameBuffer::clear() {
    std::memset(m_pixels.data(), 0, std::size_t(k_stride) * k_screen_height);
}

ClipRect FrameBuffer::present(UpdateRegion& region) {
    if (region.empty()) return {};
    UpdateRegion::Edges e = region.edges();
    e.left = std::clamp(e.left, 0, k_screen_width);
    e.right = std::clamp(e.right, 0, k_screen_width);
    e.top = std::clamp(e.top, 0, k_screen_height);
    e.bottom = std::clamp(e.bottom, 0, k_screen_height);
    region.clear();
    m_drawn.store(false);
    // Rows run from top to bottom inclusive, but never past the last screen row: a region
    // clamped to 576 names the row just below the picture.
    const ClipRect c{e.left, e.top, e.right, std::min(e.bottom + 1, k_screen_height)};
    if (c.empty()) return {};
    std::lock_guard<std::mutex> guard(m_present_mutex);
    const std::size_t bytes = std::size_t(c.right - c.left) * 4;
    auto copy = [&](const ClipRect& band) {
        for (std::int32_t y = band.top; y < band.bottom; ++y) {
            const std::size_t off = std::size_t(y) * k_stride + std::size_t(c.left) * 4;
            std::memcpy(m_present.data() + off, m_pixels.data() + off, bytes);
        }
        return 1;
    };
    // A large copy is shared with the raster worker, which is usually still awake from
    // the compose step.
    run_in_bands(c, 32, std::int64_t(c.right - c.left) * (c.bottom - c.top), copy);
    if (!m_has_pending) {
        m_pending = c;
        m_has_pending = true;
    } else {
        m_pending.left = std::min(m_pending.left, c.left);
        m_pending.top = std::min(m_pending.top, c.top);
        m_pending.right = std::max(m_pending.right, c.right);
        m_pending.bottom = std::max(m_pending.bottom, c.bottom);
    }
    m_present_count.fetch_add(1);
    return c;
}

void FrameBuffer::set_picture_painter(PicturePainter painter) {
    std::lock_guard<std::mutex> guard(m_present_mutex);
    m_painter = std::move(painter);
    if (!m_painter) m_shown = std::vector<std::uint8_t>();
    m_pending = {0, 0, k_screen_width, k_screen_height};
    m_has_pending = true;
}

void FrameBuffer::picture_changed() {
    std::lock_guard<std::mutex> guard(m_present_mutex);
    m_pending = {0, 0, k_screen_width, k_screen_height};
    m_has_pending = true;
}

const std::uint8_t* FrameBuffer::shown_locked() {
    if (!m_painter) return m_present.data();
    m_shown = m_present;
    m_painter(m_shown.data(), k_stride);
    return m_shown.data();
}

bool FrameBuffer::take_presented(
    const std::function<void(const std::uint8_t*, std::int32_t, const ClipRect&)>& fn) {
    std::lock_guard<std::mutex> guard(m_present_mutex);
    if (!m_has_pending) return false;
    // While something is painted over the picture, the whole of it is shown again: the
    // painted area does not follow the scene's changed rectangle.
    if (m_painter) m_pending = {0, 0, k_screen_width, k_screen_height};
    fn(shown_locked(), k_stride, m_pending);
    m_has_pending = false;
    return true;
}

bool FrameBuffer::dump_png(const char* path) {
    std::lock_guard<std::mutex> guard(m_present_mutex);
    return write_png_bgra(path, shown_locked(), k_screen_width, k_screen_height, k_stride, false);
}

std::uint64_t FrameBuffer::present_hash() {
    std::lock_guard<std::mutex> guard(m_present_mutex);
    std::uint64_t h = 0xcbf29ce484222325ull;
    const std::uint8_t* shown = shown_locked();
    for (std::int32_t y = 0; y < k_screen_height; ++y) {
        const std::uint8_t* row = shown + std::size_t(y) * k_stride;
        for (std::int32_t x = 0; x < k_screen_width; ++x)
            for (int c = 0; c < 3; ++c) h = (h ^ row[x * 4 + c]) * 0x100000001b3ull;
    }
    return h;
}

bool FrameBuffer::capture(std::int32_t width, PixelImage& out) const {
    if (width <= 0 || !out.allocate(width, k_screen_height)) {
        std::fprintf(stderr, "frame capture: width %d is out of range\n", width);
        return false;
    }
    const std::uint32_t step_x = std::uint32_t((std::uint64_t(k_screen_width) << 16) / width);
    const std::uint32_t step_y =
        std::uint32_t((std::uint64_t(k_screen_height) << 16) / k_screen_height);
    std::uint32_t sy = 0;
    for (std::int32_t y = 0; y < k_screen_height; ++y, sy += step_y) {
        const auto* src = reinterpret_cast<const std::uint32_t*>(
            m_pixels.data() +
            std::size_t(std::min<std::uint32_t>(sy >> 16, k_screen_height - 1)) * k_stride);
        std::uint32_t* dst = out.row32(y);
        std::uint32_t sx = 0;
        for (std::int32_t x = 0; x < width; ++x, sx += step_x)
            dst[x] = src[std::min<std::uint32_t>(sx >> 16, k_screen_width - 1)] | 0xFF000000u;
    }
    return true;
}

int draw_drawable(FrameBuffer& frame, const Drawable& d, const ClipRect& clip,
                  const MaskLayer* mask, const RuleMap* rule) {
    if (d.target) return draw(d, target_of(*d.target), clip, mask, rule);
    if (d.alpha == 0) return 0;
    frame.note_drawn();
    const int r = draw(d, frame.acquire(), clip, mask, rule);
    frame.release();
    return r;
}

// ---- PNG ----

bool write_png_bgra(const char* path, const std::uint8_t* bgra, std::int32_t width,
                    std::int32_t height, std::int32_t stride, bool keep_alpha) {
    png_image image;
    std::memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    image.width = png_uint_32(width);
    image.height = png_uint_32(height);
#ifdef PNG_IMAGE_FLAG_FAST
    // Screenshots and recordings are written while the game runs: favour speed over size.
    image.flags |= PNG_IMAGE_FLAG_FAST;
#endif
    std::vector<std::uint8_t> rgb;
    const void* data = bgra;
    png_int_32 row_stride = stride;
    if (keep_alpha) {
        image.format = PNG_FORMAT_BGRA;
    } else {
        image.format = PNG_FORMAT_BGR;
        rgb.resize(std::size_t(width) * 3 * std::size_t(height));
        for (std::int32_t y = 0; y < height; ++y)
            for (std::int32_t x = 0; x < width; ++x)
                std::memcpy(&rgb[(std::size_t(y) * width + x) * 3],
                            bgra + std::size_t(y) * stride + std::size_t(x) * 4, 3);
        data = rgb.data();
        row_stride = width * 3;
    }
    if (!png_image_write_to_file(&image, path, 0, data, row_stride, nullptr)) {
        std::fprintf(stderr, "%s: cannot write PNG: %s\n", path, image.message);
        return false;
    }
    return true;
}

bool read_png_bgra(const char* path, PixelImage& out) {
    png_image image;
    std::memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&image, path)) {
        std::fprintf(stderr, "%s: cannot read PNG: %s\n", path, image.message);
        return false;
    }
    image.format = PNG_FORMAT_BGRA;
    if (image.width > png_uint_32(k_max_image_side) ||
        image.height > png_uint_32(k_max_image_side) ||
        !out.allocate(std::int32_t(image.width), std::int32_t(image.height))) {
        std::fprintf(stderr, "%s: PNG size %ux%u is out of range\n", path, image.width,
                     image.height);
        png_image_free(&image);
        return false;
    }
    if (!png_image_finish_read(&image, nullptr, out.pixels.data(), 0, nullptr)) {
        std::fprintf(stderr, "%s: bad PNG data: %s\n", path, image.message);
        png_image_free(&image);
        return false;
    }
    return true;
}

} // namespace kestrune::scene
