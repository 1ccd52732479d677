// Drawables and the software rasteriser.
//
// A drawable is an image mapped onto a projected quadrilateral (or triangle) with an
// opacity, a blend mode and an optional target image. project() turns its model corners
// into screen corners and per-row spans (texture start and 16.16 steps); draw() fills the
// spans that fall inside a clip rectangle, blending with one of six modes, optionally
// through a full-screen mask layer or a transition rule map.
//
// Threading contract:
//  - A drawable is changed only under the scene lock; draw() runs with the lock held and
//    may hand bands of rows of one draw to the raster worker, which only reads the
//    drawable, its image and its geometry and writes its own bands of the destination.
//  - start_raster_workers() when the scripts start and stop_raster_workers() when they
//    stop, on the main thread. draw() and run_in_bands() may be called from any one thread
//    at a time (the scene lock serialises the render thread and the script threads that
//    draw now).
#pragma once

#include "storage/pixel_image.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

namespace kestrune::scene {

inline constexpr std::int32_t k_screen_width = 1024;
inline constexpr std::int32_t k_screen_height = 576;

// Blend mode words. The low 12 bits select the mode; 0x1000 asks for bilinear sampling
// and is honoured for the normal mode only.
inline constexpr std::uint16_t k_blend_normal = 0x101;
inline constexpr std::uint16_t k_blend_add = 2;
inline constexpr std::uint16_t k_blend_sub = 3;
inline constexpr std::uint16_t k_blend_overlay = 4;
inline constexpr std::uint16_t k_blend_mul = 5;
inline constexpr std::uint16_t k_blend_smoothing = 0x1000;
inline constexpr std::uint16_t k_blend_mode_bits = 0xFFF;

// Half-open pixel rectangle [left, right) x [top, bottom).
struct ClipRect {
    std::int32_t left = 0;
    std::int32_t top = 0;
    std::int32_t right = 0;
    std::int32_t bottom = 0;
    bool empty() const { return right <= left || bottom <= top; }
};

// One screen row of a projected drawable: pixels [left, right) are covered; the texture
// position at `left` is (u, v) and advances by (du, dv) per pixel, all 16.16 fixed point.
struct SpanRow {
    std::int32_t left = 0x7FFF;
    std::int32_t right = -0x8000;
    std::int32_t width = 0;
    std::int32_t u = 0, v = 0, du = 0, dv = 0;
    bool valid() const { return left < right; }
};

// Per-row limits of a shaped target surface: row y may be written in [left[y], right[y]).
struct RowClip {
    std::array<std::int16_t, k_screen_height> left{};
    std::array<std::int16_t, k_screen_height> right{};
};

struct QuadGeometry {
    std::int32_t corner_count = 4; // 4, or 3 for a triangle
    // Model corners in the order top-left, top-right, bottom-right, bottom-left; y points up.
    std::array<std::array<double, 3>, 4> model{};
    std::int32_t image_width = 0;
    std::int32_t image_height = 0;
    std::array<std::int32_t, 4> tex_u{}; // whole texels
    std::array<std::int32_t, 4> tex_v{};
    // Projected corners, saturated to the 16-bit range.
    std::array<std::int16_t, 4> screen_x{};
    std::array<std::int16_t, 4> screen_y{};
    bool culled = false; // a corner lay at or behind the eye: nothing is drawn
    double pos_x = 0, pos_y = 0;
    double depth = 1000; // an object under a camera keeps its priority here
    std::int32_t rot_x = 0, rot_y = 0, rot_z = 0;                // degrees
    std::int32_t scale_x = 1000, scale_y = 1000, scale_z = 1000; // thousandths
    double anchor_x = 0, anchor_y = 0;                           // anchor's offset inside the image
    const RowClip* row_clip = nullptr;                           // shaped target surface, or null
    // Rows [span_top, span_bottom) may hold valid spans; every other row is empty, so that a
    // new projection and a draw touch only the rows the drawable covers.
    std::int32_t span_top = 0, span_bottom = 0;
    std::array<SpanRow, k_screen_height> spans{};
};

// What a camera contributes to a projection: its current position, its depth and its
// viewing angles in degrees.
struct CameraView {
    double x = 0, y = 0, depth = 1000;
    double angle_x = 0, angle_y = 0, angle_z = 0;
};

struct Drawable {
    void* owner = nullptr;
    bool keep = false; // release_drawable() leaves it alone while set
    std::int32_t x = 0, y = 0;
    std::uint8_t alpha = 255;
    const ClipRect* surface_clip = nullptr; // target surface's rectangle; null: whole target
    QuadGeometry geometry;
    PixelImage* image = nullptr;             // what is drawn (owned or shared)
    std::unique_ptr<PixelImage> owned_image; // set when the drawable owns `image`
    PixelImage* target = nullptr;            // SetSurface: draw into this instead of the frame
    std::uint16_t mode = k_blend_normal;
    bool owns_image() const { return owned_image != nullptr; }
};

// Creation. The image is checked (non-empty); null on failure.
std::unique_ptr<Drawable> create_drawable(PixelImage* shared_image);
std::unique_ptr<Drawable> create_drawable(std::unique_ptr<PixelImage> owned_image);
// A filled w x h image of colour 0x00RRGGBB and the given alpha (image kind 5).
std::unique_ptr<Drawable> create_colour_drawable(std::int32_t w, std::int32_t h,
                                                 std::uint32_t colour, std::uint8_t alpha);
// Texture corners in the order top-left, top-right, bottom-right, bottom-left.
std::unique_ptr<Drawable> create_drawable_with_corners(PixelImage* shared_image,
                                                       const std::array<std::int32_t, 4>& u,
                                                       const std::array<std::int32_t, 4>& v);
// A triangle: three texture corners; the model corners start as the first three of the
// default quadrilateral.
std::unique_ptr<Drawable> create_triangle_drawable(PixelImage* shared_image,
                                                   const std::array<std::int32_t, 3>& u,
                                                   const std::array<std::int32_t, 3>& v);
// Frees the drawable (and its image when owned) unless its keep flag is set; returns
// true when it was released.
bool release_drawable(std::unique_ptr<Drawable>& drawable);

void init_geometry(QuadGeometry& g, std::int32_t height, std::int32_t width);
// x word: "left", "right", "center" or a number 0..width; y word: "top", "bottom",
// "middle" or a number 0..height. A word longer than 15 characters fails and changes
// nothing; an unknown word or a number out of range leaves that axis as it was.
bool set_anchor(QuadGeometry& g, std::string_view x_word, std::string_view y_word);

// Computes screen corners and spans from the drawable's position and geometry; through
// `camera` when given (the geometry's depth is then the object's priority).
void project(Drawable& d, const CameraView* camera = nullptr);

// Smallest rectangle holding the four screen corners (corners are inclusive, so the
// rectangle is half-open with right = max x + 1, bottom = max y + 1), clipped to the
// drawable's surface clip, or to the screen when it has none. Empty when culled.
ClipRect screen_bounds(const Drawable& d);

// Installs a blend mode; unknown modes become k_blend_normal. Smoothing on a colour
// image (kind 5) is refused: returns false and leaves the mode as it was.
bool set_blend_mode(Drawable& d, std::uint16_t mode);

// Where a draw writes: 32-bit BGRA pixels.
struct RasterTarget {
    std::uint8_t* pixels = nullptr;
    std::int32_t width = 0;
    std::int32_t height = 0;
    std::int32_t stride = 0; // bytes per row
};
RasterTarget target_of(PixelImage& image);

// A full-screen layer of BGRA pixels (a mask). A pixel is drawn only where the layer's
// colour is not zero, and each channel's weight is scaled by the layer's channel.
struct MaskLayer {
    const std::uint8_t* pixels = nullptr; // k_screen_width * k_screen_height * 4 bytes
    std::int32_t stride = k_screen_width * 4;
};

// A transition's rule map (one byte per screen pixel) and its 256-entry alpha table.
struct RuleMap {
    const std::uint8_t* map = nullptr; // k_screen_width * k_screen_height bytes
    std::int32_t stride = k_screen_width;
    const std::uint8_t* table = nullptr; // 256 entries
};

// Draws the drawable into `target` (the drawable's own target image is ignored here; the
// caller chooses) within `clip` and the drawable's surface clip. Returns non-zero when
// anything could be drawn (0 for alpha 0, a culled or empty drawable, or no overlap).
int draw(const Drawable& d, const RasterTarget& target, const ClipRect& clip,
         const MaskLayer* mask = nullptr, const RuleMap* rule = nullptr);

// Draws the drawables in turn into `target` within `clip`, as draw() (without mask or rule
// map) on each in order would: every pixel ends the same. The work goes band by band of
// rows with every drawable in each band, so that many small pieces of one image keep that
// band of image and target in the cache, and the run as a whole may be shared with the
// raster worker where none of its pieces would be worth it. Returns non-zero when any
// drawable drew anything.
int draw_in_order(const Drawable* const* drawables, std::size_t count, const RasterTarget& target,
                  const ClipRect& clip);

// Raster workers. With two or more processors a draw (or a run of draws, see
// run_in_bands()) worth sharing is cut into bands of rows that the calling thread and the
// raster worker take in turn; a draw 3 pixels wide or less stays on the calling thread.
// A late worker (1000 ms for a band, or still busy 100 ms after a new share wants it)
// makes all later draws single-threaded; the late worker is always waited for before the
// draw returns.
void start_raster_workers(); // no-op when already started or on one processor
void stop_raster_workers();
int raster_worker_count(); // 2 while draws may be shared, else 1
// Test support: the worker sleeps `delay_ms` (engine time) before its first band of each
// share, and the calling thread then leaves every band to it (0: none).
void set_raster_worker_delay_for_tests(std::uint32_t delay_ms);
// Test support: share draws again (2, when the worker runs) or not (1).
void set_raster_worker_count_for_tests(int count);
// Test support: share every draw wider than 3 pixels, however small.
void set_raster_split_all_for_tests(bool split_all);
// Test support: how many draws (or runs of draws) have been shared since the start.
int raster_shares_for_tests();

namespace detail {
// A rough measure of the work of drawing d within clip, in units of one pixel copied
// from an unscaled image: resampled and smoothed pixels count several units.
std::int64_t draw_work(const Drawable& d, const ClipRect& clip);
// The rectangle a draw of d within clip may write (see draw()); empty when nothing can be
// drawn. `layered`: through a full-screen mask or rule map.
ClipRect draw_rect(const Drawable& d, const RasterTarget& target, const ClipRect& clip,
                   bool layered);
// One band of rows of some work; returns non-zero when it drew anything.
using BandFn = int (*)(void* ctx, const ClipRect& band);
// Runs fn over `rect`: whole on the calling thread, or, when `work` (units as above; 0:
// never share) is worth sharing and the worker runs, in bands of band_rows rows claimed
// in turn by the calling thread and the worker. Returns the OR of the results. Inside a
// band (on either thread) nothing is shared again.
int run_bands(const ClipRect& rect, std::int32_t band_rows, std::int64_t work, BandFn fn,
              void* ctx);
} // namespace detail

// Runs fn(band) over `rect` as run_bands() does; fn must be safe to call from the worker.
template <class Fn>
int run_in_bands(const ClipRect& rect, std::int32_t band_rows, std::int64_t work, Fn& fn) {
    return detail::run_bands(
        rect, band_rows, work,
        [](void* ctx, const ClipRect& band) {
            return static_cast<int>((*static_cast<Fn*>(ctx))(band));
        },
        &fn);
}

// The rain effect's ramp: 196 pixels, alpha rising from 20 to 130 and falling to 32.
const std::array<std::uint32_t, 196>& rain_ramp();

} // namespace kestrune::scene
