// Quad geometry: anchors, projection with and without a camera, spans and their snap.
#include "scene/raster.h"

#include <gtest/gtest.h>

#include <algorithm>

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

// The spans of row y written straight from the edge formulas, one division per row and
// quantity: x rounded to nearest (halves upwards), u and v truncated towards zero.
std::array<SpanRow, k_screen_height> reference_spans(const QuadGeometry& g) {
    std::array<SpanRow, k_screen_height> spans{};
    std::array<std::array<std::int64_t, 4>, k_screen_height> ext{}; // lu, lv, ru, rv
    const int n = g.corner_count == 3 ? 3 : 4;
    bool one_row = g.image_height > 1;
    for (int i = 1; i < n; ++i) one_row = one_row && g.screen_y[i] == g.screen_y[0];
    if (g.culled || one_row) return spans;
    auto put = [&](std::int64_t y, std::int64_t x, std::int64_t u, std::int64_t v) {
        SpanRow& s = spans[std::size_t(y)];
        auto& e = ext[std::size_t(y)];
        if (x < s.left) s.left = std::int32_t(x), e[0] = std::int32_t(u), e[1] = std::int32_t(v);
        if (x > s.right) s.right = std::int32_t(x), e[2] = std::int32_t(u), e[3] = std::int32_t(v);
    };
    for (int i = 0; i < n; ++i) {
        const int j = (i + 1) % n;
        const std::int64_t x0 = g.screen_x[i], y0 = g.screen_y[i], x1 = g.screen_x[j],
                           y1 = g.screen_y[j];
        const std::int64_t u0 = std::int64_t(g.tex_u[i]) << 16, v0 = std::int64_t(g.tex_v[i]) << 16;
        const std::int64_t u1 = std::int64_t(g.tex_u[j]) << 16, v1 = std::int64_t(g.tex_v[j]) << 16;
        if (y0 == y1) {
            if (y0 < 0 || y0 >= k_screen_height) continue;
            put(y0, x0, u0, v0);
            put(y0, x1, u1, v1);
            continue;
        }
        for (std::int64_t y = std::max<std::int64_t>(std::min(y0, y1), 0);
             y <= std::min<std::int64_t>(std::max(y0, y1), k_screen_height - 1); ++y) {
            // x0 + floor((x1 - x0) * (y - y0) / (y1 - y0) + 1/2), the denominator made positive.
            const std::int64_t sign = y1 < y0 ? -1 : 1;
            const std::int64_t num = 2 * (x1 - x0) * (y - y0) * sign + (y1 - y0) * sign;
            const std::int64_t den = 2 * (y1 - y0) * sign;
            const std::int64_t x = x0 + (num >= 0 ? num / den : -((-num + den - 1) / den));
            put(y, x, u0 + (u1 - u0) * (y - y0) / (y1 - y0), v0 + (v1 - v0) * (y - y0) / (y1 - y0));
        }
    }
    for (std::size_t y = 0; y < spans.size(); ++y) {
        SpanRow& s = spans[y];
        if (!s.valid()) continue;
        const auto& e = ext[y];
        s.width = s.right - s.left;
        s.u = std::int32_t(e[0]);
        s.v = std::int32_t(e[1]);
        s.du = std::int32_t((e[2] - e[0]) / s.width);
        s.dv = std::int32_t((e[3] - e[1]) / s.width);
        const std::int64_t texels = (e[2] - e[0]) >> 16, w = g.image_width;
        if ((s.width == w || s.width == w - 1) && (texels == w || texels == w - 1)) s.du = 0x10000;
    }
    return spans;
}

// Catches: stepped edge walking that drifts from the per-row formulas (a remainder carried
// wrongly, truncation of negative texture steps, edges walked upwards), and rows of an
// earlier projection left behind when a drawable moves.
TEST(Geometry, SpansMatchEdgeFormulas) {
    PixelImage img;
    ASSERT_TRUE(img.allocate(85, 48));
    std::uint32_t seed = 12345;
    auto next = [&](std::int32_t lo, std::int32_t hi) {
        seed = seed * 1664525u + 1013904223u;
        return lo + std::int32_t((seed >> 8) % std::uint32_t(hi - lo + 1));
    };
    auto quad = create_drawable_with_corners(&img, {0, 85, 85, 0}, {0, 0, 47, 47});
    auto tri = create_triangle_drawable(&img, {0, 85, 0}, {0, 47, 47});
    for (int k = 0; k < 3000; ++k) {
        Drawable& d = k % 2 ? *quad : *tri;
        QuadGeometry& g = d.geometry;
        d.x = next(-200, 1100);
        d.y = next(-200, 700);
        g.rot_x = next(0, 359) * (k % 5 != 0);
        g.rot_y = next(0, 359) * (k % 7 != 0);
        g.rot_z = next(0, 359) * (k % 3 != 0);
        g.scale_x = next(1, 8000);
        g.scale_y = k % 4 ? next(1, 8000) : g.scale_x;
        project(d);
        const auto want = reference_spans(g);
        for (std::size_t y = 0; y < want.size(); ++y) {
            const SpanRow &a = g.spans[y], &b = want[y];
            ASSERT_TRUE(a.left == b.left && a.right == b.right && a.width == b.width &&
                        a.u == b.u && a.v == b.v && a.du == b.du && a.dv == b.dv)
                << "case " << k << " row " << y << ": " << a.left << ".." << a.right << " u " << a.u
                << " v " << a.v << " du " << a.du << " dv " << a.dv << " want " << b.left << ".."
                << b.right << " u " << b.u << " v " << b.v << " du " << b.du << " dv " << b.dv;
        }
    }
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
