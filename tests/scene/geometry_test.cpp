// Quad geometry: anchors, projection with and without a camera, spans and their snap.
#include "scene/raster.h"

#include <gtest/gtest.h>

namespace kestrune::scene {
namespace {

std::unique_ptr<Drawable> square(std::int32_t w, std::int32_t h, std::int32_t x, std::int32_t y) {
    auto d = create_colour_drawable(w, h, 0xFFFFFF, 255);
    d->x = x;
    d->y = y;
    return d;
}

struct Corners {
    int x[4], y[4];
};

void expect_corners(const Drawable& d, const Corners& c, const char* what) {
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(d.geometry.screen_x[i], c.x[i]) << what << " corner " << i;
        EXPECT_EQ(d.geometry.screen_y[i], c.y[i]) << what << " corner " << i;
    }
}

// Catches: an off-by-one in the model corners or the anchor offset, a missing snap.
TEST(Geometry, UnrotatedImageLandsOneToOne) {
    auto d = square(100, 100, 200, 100);
    project(*d);
    expect_corners(*d, {{200, 300, 300, 200}, {100, 100, 199, 199}}, "100x100 at (200,100)");
    int rows = 0;
    for (int y = 0; y < k_screen_height; ++y) {
        const SpanRow& s = d->geometry.spans[std::size_t(y)];
        if (!s.valid()) continue;
        ++rows;
        EXPECT_EQ(s.left, 200);
        EXPECT_EQ(s.right, 300);
        EXPECT_EQ(s.du, 0x10000) << "row " << y;
        EXPECT_EQ(s.dv, 0);
        EXPECT_EQ(s.v >> 16, y - 100);
    }
    EXPECT_EQ(rows, 100);
    const ClipRect b = screen_bounds(*d);
    EXPECT_EQ(b.left, 200);
    EXPECT_EQ(b.top, 100);
    EXPECT_EQ(b.right, 301);
    EXPECT_EQ(b.bottom, 200);
}

struct TransformCase {
    const char* what;
    std::int32_t rot_z, scale_x;
    CameraView camera;
    bool use_camera;
    double depth;
    Corners expect;
};

// Catches: a rotation applied about the wrong point or in the wrong direction, scale not
// about the anchor, a camera that does not scale about the screen centre.
TEST(Geometry, RotationScaleAndCamera) {
    const TransformCase cases[] = {
        {"rotation z 90 about the anchor",
         90,
         1000,
         {},
         false,
         1000,
         {{300, 300, 201, 201}, {100, 200, 200, 100}}},
        {"scale x 2000 about the anchor",
         0,
         2000,
         {},
         false,
         1000,
         {{150, 350, 350, 150}, {100, 100, 199, 199}}},
        {"camera at depth 1000, priority 0 keeps its size",
         0,
         1000,
         {0, 0, 1000},
         true,
         0,
         {{200, 300, 300, 200}, {100, 100, 199, 199}}},
        // Twice the size about (512, 288): x' = 2x - 512, y' = 2y - 288.
        {"camera at depth 1000, priority 500 doubles",
         0,
         1000,
         {0, 0, 1000},
         true,
         500,
         {{-112, 88, 88, -112}, {-88, -88, 110, 110}}},
    };
    for (const TransformCase& c : cases) {
        auto d = square(100, 100, 200, 100);
        d->geometry.rot_z = c.rot_z;
        d->geometry.scale_x = c.scale_x;
        d->geometry.depth = c.depth;
        project(*d, c.use_camera ? &c.camera : nullptr);
        expect_corners(*d, c.expect, c.what);
    }
}

// Catches: a division by a zero or negative depth, 16-bit wrap-around of far corners, and
// span rows written outside 0..575.
TEST(Geometry, DegenerateDepthsAndHugeCoordinates) {
    // The object sits at the eye (1000 - priority 1000 = 0) or behind it: culled.
    for (double depth : {1000.0, 1500.0, 999.5}) {
        auto d = square(100, 100, 200, 100);
        d->geometry.depth = depth;
        const CameraView cam{0, 0, 1000};
        project(*d, &cam);
        EXPECT_TRUE(d->geometry.culled) << depth;
        for (const SpanRow& s : d->geometry.spans) EXPECT_FALSE(s.valid());
        EXPECT_TRUE(screen_bounds(*d).empty());
        PixelImage target;
        ASSERT_TRUE(target.allocate(64, 64));
        EXPECT_EQ(draw(*d, target_of(target), {0, 0, 64, 64}), 0);
    }
    // Rotated about x far enough that part of the quad passes behind the eye.
    auto tall = square(10, 4000, 0, 0);
    tall->geometry.rot_x = 80;
    project(*tall);
    EXPECT_TRUE(tall->geometry.culled);

    // Enormous scale: corners saturate instead of wrapping; spans stay on screen rows.
    auto big = square(100, 100, 200, 100);
    big->geometry.scale_x = 2000000;
    big->geometry.scale_y = 2000000;
    project(*big);
    EXPECT_EQ(big->geometry.screen_x[0], -32768);
    EXPECT_EQ(big->geometry.screen_x[1], 32767);
    EXPECT_EQ(big->geometry.screen_y[0], -32768);
    EXPECT_EQ(big->geometry.screen_y[2], 32767);
    for (const SpanRow& s : big->geometry.spans) {
        EXPECT_TRUE(s.valid());
        EXPECT_EQ(s.left, -32768);
        EXPECT_EQ(s.right, 32767);
    }
    PixelImage target;
    ASSERT_TRUE(target.allocate(32, 32));
    EXPECT_EQ(draw(*big, target_of(target), {0, 0, 32, 32}), 1);
    EXPECT_EQ(target.row32(31)[31], 0xFFFFFFFFu);
}

// Catches: anchors that move the wrong corners, or a failed call that still changes them.
TEST(Geometry, SetAnchor) {
    auto d = square(40, 20, 0, 0);
    QuadGeometry& g = d->geometry;
    ASSERT_TRUE(set_anchor(g, "left", "top"));
    EXPECT_EQ(g.anchor_x, 0);
    EXPECT_EQ(g.model[0][0], 0);
    EXPECT_EQ(g.model[1][0], 40);
    EXPECT_EQ(g.model[0][1], 0);
    EXPECT_EQ(g.model[3][1], -20);
    ASSERT_TRUE(set_anchor(g, "right", "bottom"));
    EXPECT_EQ(g.anchor_x, 40);
    EXPECT_EQ(g.model[0][0], -40);
    EXPECT_EQ(g.model[2][1], 0);
    EXPECT_EQ(g.model[0][1], 20);
    ASSERT_TRUE(set_anchor(g, "10", "5"));
    EXPECT_EQ(g.model[0][0], -10);
    EXPECT_EQ(g.model[1][0], 30);
    EXPECT_EQ(g.model[0][1], 5);
    EXPECT_EQ(g.model[3][1], -15);
    const QuadGeometry before = g;
    EXPECT_FALSE(set_anchor(g, "center_of_the_image", "middle"));
    EXPECT_EQ(g.model, before.model);
    EXPECT_EQ(g.anchor_y, before.anchor_y);
    // Out-of-range numbers and unknown words leave that axis alone.
    ASSERT_TRUE(set_anchor(g, "41", "middle"));
    EXPECT_EQ(g.anchor_x, before.anchor_x);
    EXPECT_EQ(g.anchor_y, 10);

    // Rotation happens about the anchor: with the anchor at the top-left corner a 90 degree
    // turn keeps that corner in place.
    auto r = square(100, 100, 200, 100);
    ASSERT_TRUE(set_anchor(r->geometry, "left", "top"));
    r->geometry.rot_z = 90;
    project(*r);
    EXPECT_EQ(r->geometry.screen_x[0], 200);
    EXPECT_EQ(r->geometry.screen_y[0], 100);
}

// Catches: a triangle walked as a quadrilateral (a fourth edge from a stale corner).
TEST(Geometry, TriangleCoversHalfTheSquare) {
    PixelImage img;
    ASSERT_TRUE(img.allocate(100, 100));
    auto d = create_triangle_drawable(&img, {0, 99, 99}, {0, 0, 99});
    ASSERT_NE(d, nullptr);
    d->x = 200;
    d->y = 100;
    project(*d);
    // Corners (200,100), (300,100), (300,199): row y spans from the diagonal to x = 300.
    for (int y = 100; y < 190; y += 29) {
        const SpanRow& s = d->geometry.spans[std::size_t(y)];
        ASSERT_TRUE(s.valid()) << y;
        EXPECT_NEAR(s.left, 200 + (y - 100) * 100 / 99, 1) << y;
        EXPECT_EQ(s.right, 300) << y;
    }
    EXPECT_FALSE(d->geometry.spans[200].valid());
}

// Catches: modes outside the table kept as they are, smoothing accepted on a colour plane.
TEST(Geometry, BlendModeWords) {
    auto d = square(4, 4, 0, 0);
    EXPECT_TRUE(set_blend_mode(*d, 77));
    EXPECT_EQ(d->mode, k_blend_normal);
    EXPECT_TRUE(set_blend_mode(*d, k_blend_add));
    EXPECT_FALSE(set_blend_mode(*d, k_blend_normal | k_blend_smoothing));
    EXPECT_EQ(d->mode, k_blend_add);
    PixelImage img;
    ASSERT_TRUE(img.allocate(4, 4));
    auto t = create_drawable(&img);
    EXPECT_TRUE(set_blend_mode(*t, k_blend_normal | k_blend_smoothing));
    EXPECT_FALSE(t->owns_image());
    EXPECT_TRUE(d->owns_image());
    d->keep = true;
    EXPECT_FALSE(release_drawable(d));
    EXPECT_NE(d, nullptr);
    d->keep = false;
    EXPECT_TRUE(release_drawable(d));
    EXPECT_EQ(d, nullptr);
}

} // namespace
} // namespace kestrune::scene
