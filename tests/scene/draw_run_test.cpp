// A run of drawables drawn band by band (draw_in_order) against the same drawables drawn
// one after another, and against the scalar reference: the same pixels and the same result,
// on one thread and shared with the raster worker.
#include "raster_reference.h"
#include "scene/raster.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace kestrune::scene {
namespace {

// An image whose alpha runs through opaque, translucent and transparent texels.
std::unique_ptr<PixelImage> test_image(std::int32_t w, std::int32_t h, bool opaque) {
    auto img = std::make_unique<PixelImage>();
    img->allocate(w, h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const std::uint32_t a = opaque ? 255 : std::uint32_t((x * 37 + y * 11) % 320);
            img->row32(y)[x] = std::min(a, 255u) << 24 | std::uint32_t(x * 7 & 255) |
                               std::uint32_t(y * 5 & 255) << 8 | std::uint32_t((x + y) & 255) << 16;
        }
    return img;
}

struct PieceCase {
    const char* what;
    std::int32_t x, y;                // position
    std::int32_t rot_x, rot_y, rot_z; // degrees
    std::int32_t scale;               // thousandths, both axes
    bool triangle;
    std::uint8_t alpha;
    std::uint16_t mode;
};

// Pieces of a 96 x 60 cut into 32 x 20 cells, placed to overlap each other and to cross
// every edge of a 200 x 120 target.
const PieceCase k_pieces[] = {
    {"flat, inside", 40, 30, 0, 0, 0, 1000, false, 255, k_blend_normal},
    {"flat, over the left edge", -12, 50, 0, 0, 0, 1000, false, 255, k_blend_normal},
    {"flat, over the right edge", 185, 10, 0, 0, 0, 1000, false, 255, k_blend_normal},
    {"flat, over the top edge", 70, -9, 0, 0, 0, 1000, false, 255, k_blend_normal},
    {"flat, over the bottom edge", 100, 110, 0, 0, 0, 1000, false, 255, k_blend_normal},
    {"overlapping, translucent", 50, 35, 0, 0, 0, 1000, false, 140, k_blend_normal},
    {"rotated triangle", 60, 40, 20, 0, 35, 1000, true, 255, k_blend_normal},
    {"turned about y, scaled", 45, 25, 0, 70, 0, 1300, false, 255, k_blend_add},
    {"multiplied, over a corner", -10, -6, 0, 0, 10, 1000, false, 255, k_blend_mul},
    {"subtracted", 120, 60, 0, 0, 0, 700, false, 200, k_blend_sub},
    {"overlay, rotated over the right edge", 180, 80, 0, 0, 300, 1000, true, 255, k_blend_overlay},
    {"smoothed, scaled up", 80, 50, 0, 0, 5, 1600, false, 255, k_blend_normal | k_blend_smoothing},
    {"alpha 0", 60, 60, 0, 0, 0, 1000, false, 0, k_blend_normal},
    {"culled", 60, 60, 95, 0, 0, 400000, false, 255, k_blend_normal},
    {"wholly outside", 400, 300, 0, 0, 0, 1000, false, 255, k_blend_normal},
};

struct PieceRun {
    std::vector<std::unique_ptr<Drawable>> pieces;
    std::vector<const Drawable*> order;
};

PieceRun make_run(PixelImage* img) {
    PieceRun r;
    int k = 0;
    for (const PieceCase& c : k_pieces) {
        const std::int32_t u0 = (k % 3) * 32, v0 = (k / 3 % 3) * 20;
        ++k;
        std::unique_ptr<Drawable> d =
            c.triangle ? create_triangle_drawable(img, {u0, u0 + 32, u0}, {v0, v0 + 19, v0 + 19})
                       : create_drawable_with_corners(img, {u0, u0 + 32, u0 + 32, u0},
                                                      {v0, v0, v0 + 19, v0 + 19});
        QuadGeometry& g = d->geometry;
        for (std::size_t i = 0; i < 4; ++i)
            g.model[i] = {g.tex_u[i] - u0 - 16.0, v0 + 10.0 - g.tex_v[i], 0};
        g.anchor_x = 16;
        g.anchor_y = 10;
        g.rot_x = c.rot_x;
        g.rot_y = c.rot_y;
        g.rot_z = c.rot_z;
        g.scale_x = g.scale_y = c.scale;
        d->x = c.x;
        d->y = c.y;
        d->alpha = c.alpha;
        d->mode = c.mode;
        project(*d);
        r.order.push_back(d.get());
        r.pieces.push_back(std::move(d));
    }
    return r;
}

// A background that every mode changes visibly.
void paint(PixelImage& t) {
    t.allocate(200, 120);
    for (int y = 0; y < t.height; ++y)
        for (int x = 0; x < t.width; ++x)
            t.row32(y)[x] = 0x80000000u | std::uint32_t(x) << 8 | std::uint32_t(y * 2);
}

// Catches: a run that reorders pieces where they overlap, draws rows of a piece that lie
// outside the clip or the target, skips a clipped piece's rows, or answers differently
// from the draws one by one; and kernels or sampling shortcuts (opaque parts of rows,
// nearest samples that need no clamping) that differ from the scalar reference.
TEST(DrawRun, MatchesDrawsOneByOneAndTheReference) {
    const ClipRect clips[] = {
        {0, 0, 200, 120}, {13, 7, 150, 97}, {-50, -50, 500, 500}, {190, 0, 200, 120}, {0, 0, 0, 0}};
    for (bool opaque : {true, false}) {
        auto img = test_image(96, 60, opaque);
        PieceRun run = make_run(img.get());
        ASSERT_TRUE(run.pieces[13]->geometry.culled);
        for (bool shared : {false, true}) {
            set_raster_split_all_for_tests(shared);
            if (shared) start_raster_workers();
            for (const ClipRect& clip : clips) {
                PixelImage got, one_by_one, expect;
                paint(got);
                paint(one_by_one);
                paint(expect);
                int want = 0, ref_drawn = 0;
                for (const Drawable* d : run.order) {
                    want |= draw(*d, target_of(one_by_one), clip);
                    ref_drawn |= ref::draw(*d, target_of(expect),
                                           {std::max(clip.left, 0), std::max(clip.top, 0),
                                            std::min(clip.right, 200), std::min(clip.bottom, 120)});
                }
                const int drawn =
                    draw_in_order(run.order.data(), run.order.size(), target_of(got), clip);
                const std::string what = std::string(opaque ? "opaque" : "translucent") +
                                         (shared ? ", shared" : ", one thread") + ", clip " +
                                         std::to_string(clip.left) + "," + std::to_string(clip.top);
                EXPECT_EQ(drawn, want) << what;
                EXPECT_EQ(ref_drawn, want) << what;
                EXPECT_TRUE(one_by_one.pixels == expect.pixels) << what;
                for (int y = 0; y < 120; ++y)
                    for (int x = 0; x < 200; ++x)
                        ASSERT_EQ(got.row32(y)[x], expect.row32(y)[x])
                            << what << " at " << x << "," << y;
            }
            if (shared) stop_raster_workers();
            set_raster_split_all_for_tests(false);
        }
    }
}

} // namespace
} // namespace kestrune::scene
