// The frame buffer: the 1024x576 composition target, the update region, the present copy
// that a window shows, and the letterbox geometry for any window size.
//
// Threading contract:
//  - The render thread (and script threads that draw now, under the scene lock) draw into
//    the composition target between acquire() and release(), then call present(), which
//    copies the update region into the present copy and empties the region.
//  - The window side (main thread) calls take_presented() whenever it wants to show a
//    frame; the present copy is only read under the frame buffer's own mutex, so it never
//    sees half a present.
//  - UpdateRegion's four words are written by any thread without the scene lock; each is
//    an atomic 32-bit word.
#pragma once

#include "scene/raster.h"
#include "storage/pixel_image.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace kestrune::scene {

// The rectangle of changed frame pixels. Columns left..right are half-open, rows top..bottom
// are inclusive; all four at -1 means empty.
class UpdateRegion {
public:
    struct Edges {
        std::int32_t left, top, right, bottom;
    };

    // Adds a rectangle: left and top take the minimum, right and bottom the maximum of
    // the current value and x + w + 2, y + h + 2. In skip mode the whole screen is marked
    // instead. Unless the present is a plain 1:1 copy, the region grows by 2 more pixels
    // on each side not at the screen edge and is clamped to the screen (a stretched
    // present samples neighbouring pixels).
    void mark(std::int32_t x, std::int32_t y, std::int32_t w, std::int32_t h,
              bool skip_mode = false, bool plain_copy = true);
    void mark_all(bool plain_copy = true) {
        mark(0, 0, k_screen_width, k_screen_height, false, plain_copy);
    }
    void clear();
    bool empty() const;
    Edges edges() const;
    void set(const Edges& e);
    // The pixels a draw may touch for this region, clamped to the screen (half-open).
    ClipRect draw_rect() const;

private:
    std::atomic<std::int32_t> m_left{-1}, m_top{-1}, m_right{-1}, m_bottom{-1};
};

// Where a window of the given client size shows the frame: the largest 16:9 rectangle
// (height = min(client height, trunc(client width * 0.5625)), width = round(height *
// 1.7777777)), centred with black bands. A 1024x768 client gets the picture 96 rows down.
struct PresentGeometry {
    bool visible = false; // false for a minimised window (a side of 0): skip the present
    std::int32_t x = 0, y = 0, width = 0, height = 0;
    // 16.16 source pixels per destination pixel, for a software stretch.
    std::int32_t step_x = 0, step_y = 0;
};
PresentGeometry present_geometry(std::int32_t client_width, std::int32_t client_height);

class FrameBuffer {
public:
    FrameBuffer();

    // The composition target: 1024x576 BGRA with two zeroed guard rows below it.
    RasterTarget acquire();
    void release() {}
    void clear();
    void note_drawn() { m_drawn.store(true); }
    bool something_drawn() const { return m_drawn.load(); }

    // Copies the region (clamped to the screen) into the present copy, empties the region
    // and clears the something-drawn flag. Returns the copied rectangle (half-open), empty
    // when the region was empty.
    ClipRect present(UpdateRegion& region);

    // Calls fn with the present copy (1024x576 BGRA, stride 4096) and the union of the
    // rectangles presented since the last call; returns false (and does not call fn) when
    // nothing was presented since. fn runs under the frame buffer's mutex.
    bool take_presented(const std::function<void(const std::uint8_t* bgra, std::int32_t stride,
                                                 const ClipRect& changed)>& fn);
    // Something painted over the shown picture that is no part of the scene (the engine's
    // own menus and boxes): the present copy stays the scene's, and what the window shows,
    // screenshots and the frame hash get the painter's pixels on top. A null painter
    // removes it. The painter runs under the frame buffer's mutex on whichever thread
    // shows or dumps the picture; it must not call back into the frame buffer.
    using PicturePainter = std::function<void(std::uint8_t* bgra, std::int32_t stride)>;
    void set_picture_painter(PicturePainter painter);
    // The painted pixels changed: the next take_presented shows the whole picture again.
    void picture_changed();
    // Number of presents that copied something, since creation.
    std::uint64_t present_count() const { return m_present_count.load(); }

    // Writes the present copy as an opaque RGB PNG; false with a message on failure.
    // A 64-bit FNV-1a hash of the colours of the present copy (alpha left out, as the
    // reader never sees it): two frames that look alike hash alike.
    std::uint64_t present_hash();
    bool dump_png(const char* path);
    // Copies the composition target into `out`: `width` x 576, stepping through the source
    // in 16.16 fixed point, alpha forced to 0xFF (scene captures for the backlog, saves).
    bool capture(std::int32_t width, PixelImage& out) const;

private:
    std::vector<std::uint8_t> m_pixels;  // composition target, 578 rows
    std::vector<std::uint8_t> m_present; // what the window shows
    std::vector<std::uint8_t> m_shown;   // m_present with the painter's pixels on top
    PicturePainter m_painter;
    // The picture as shown: m_present itself, or m_shown composed now. Mutex held.
    const std::uint8_t* shown_locked();
    std::mutex m_present_mutex;
    ClipRect m_pending{};
    bool m_has_pending = false;
    std::atomic<bool> m_drawn{false};
    std::atomic<std::uint64_t> m_present_count{0};
};

// Draws the drawable into its target image when it has one (SetSurface), else into the
// frame buffer (marking something drawn), within `clip`. Returns draw()'s result.
int draw_drawable(FrameBuffer& frame, const Drawable& d, const ClipRect& clip,
                  const MaskLayer* mask = nullptr, const RuleMap* rule = nullptr);

// Writes BGRA pixels as a PNG: with alpha, or opaque RGB when keep_alpha is false.
bool write_png_bgra(const char* path, const std::uint8_t* bgra, std::int32_t width,
                    std::int32_t height, std::int32_t stride, bool keep_alpha);
// Reads a PNG into BGRA pixels (straight alpha); false with a message on failure.
bool read_png_bgra(const char* path, PixelImage& out);

} // namespace kestrune::scene
