// Frame buffer: update region arithmetic, the present copy, letterbox geometry, PNG dumps.
#include "scene/frame_buffer.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace kestrune::scene {
namespace {

struct GeometryCase {
    int cw, ch;
    bool visible;
    int x, y, w, h;
};

// Catches: a division by zero for a minimised window, a wrong 16:9 rule or band placement.
TEST(FrameBuffer, PresentGeometry) {
    const GeometryCase cases[] = {
        {1024, 576, true, 0, 0, 1024, 576},
        {1024, 768, true, 0, 96, 1024, 576}, // full screen: 96 black rows above and below
        {1920, 1200, true, 0, 60, 1920, 1080},
        {1280, 1024, true, 0, 152, 1280, 720},
        {2000, 600, true, 466, 0, 1067, 600}, // too wide: bands left and right
        {0, 0, false, 0, 0, 0, 0},
        {800, 0, false, 0, 0, 0, 0},
        {1, 1, false, 0, 0, 0, 0},
    };
    for (const GeometryCase& c : cases) {
        const PresentGeometry g = present_geometry(c.cw, c.ch);
        EXPECT_EQ(g.visible, c.visible) << c.cw << "x" << c.ch;
        if (!c.visible) continue;
        EXPECT_EQ(g.x, c.x) << c.cw << "x" << c.ch;
        EXPECT_EQ(g.y, c.y) << c.cw << "x" << c.ch;
        EXPECT_EQ(g.width, c.w) << c.cw << "x" << c.ch;
        EXPECT_EQ(g.height, c.h) << c.cw << "x" << c.ch;
    }
    EXPECT_EQ(present_geometry(1024, 576).step_x, 0x10000);
    EXPECT_EQ(present_geometry(2048, 1152).step_y, 0x8000);
}

// Catches: a union that loses an earlier rectangle, the +2 margin, the empty marker.
TEST(FrameBuffer, UpdateRegionMarks) {
    UpdateRegion r;
    EXPECT_TRUE(r.empty());
    EXPECT_TRUE(r.draw_rect().empty());
    r.mark(10, 20, 30, 40);
    auto e = r.edges();
    EXPECT_EQ(e.left, 10);
    EXPECT_EQ(e.top, 20);
    EXPECT_EQ(e.right, 42);
    EXPECT_EQ(e.bottom, 62);
    r.mark(5, 30, 2, 2);
    e = r.edges();
    EXPECT_EQ(e.left, 5);
    EXPECT_EQ(e.right, 42);
    const ClipRect c = r.draw_rect();
    EXPECT_EQ(c.bottom, 63); // bottom row is inclusive
    r.mark(600, 300, 10, 10, /*skip_mode=*/true);
    e = r.edges();
    EXPECT_EQ(e.left, 0);
    EXPECT_EQ(e.right, k_screen_width + 2);
    EXPECT_EQ(r.draw_rect().bottom, k_screen_height);
    r.clear();
    // A stretched present widens by 2 more and clamps to the screen.
    r.mark(100, 0, 10, 10, false, /*plain_copy=*/false);
    e = r.edges();
    EXPECT_EQ(e.left, 98);
    EXPECT_EQ(e.top, 0);
    EXPECT_EQ(e.right, 114);
    EXPECT_EQ(e.bottom, 14);
}

// Catches: a present that copies outside the region, reads the row below the picture, or
// forgets to empty the region; the PNG dump not matching what was presented.
TEST(FrameBuffer, PresentCopiesOnlyTheRegion) {
    FrameBuffer fb;
    RasterTarget t = fb.acquire();
    ASSERT_EQ(t.width, 1024);
    for (int y = 0; y < 578; ++y)
        std::memset(t.pixels + y * t.stride, y & 255, std::size_t(t.stride));

    EXPECT_FALSE(fb.take_presented([](const std::uint8_t*, int, const ClipRect&) {}));
    UpdateRegion r;
    EXPECT_TRUE(fb.present(r).empty());
    r.set({100, 570, 200, 576}); // a bottom edge clamped to 576 names a row past the picture
    const ClipRect c = fb.present(r);
    EXPECT_TRUE(r.empty());
    EXPECT_EQ(c.top, 570);
    EXPECT_EQ(c.bottom, 576);
    bool called = false;
    EXPECT_TRUE(fb.take_presented([&](const std::uint8_t* px, int stride, const ClipRect& ch) {
        called = true;
        EXPECT_EQ(ch.left, 100);
        EXPECT_EQ(ch.right, 200);
        EXPECT_EQ(px[575 * stride + 150 * 4], 575 & 255);
        EXPECT_EQ(px[575 * stride + 99 * 4], 0);  // left of the region
        EXPECT_EQ(px[575 * stride + 200 * 4], 0); // right edge is exclusive
        EXPECT_EQ(px[569 * stride + 150 * 4], 0);
    }));
    EXPECT_TRUE(called);
    EXPECT_FALSE(fb.take_presented([](const std::uint8_t*, int, const ClipRect&) {}));

    r.mark_all();
    fb.present(r);
    const std::string path = std::string(KESTRUNE_BINARY_DIR) + "/raster_frame_dump.png";
    ASSERT_TRUE(fb.dump_png(path.c_str()));
    PixelImage back;
    ASSERT_TRUE(read_png_bgra(path.c_str(), back));
    ASSERT_EQ(back.width, 1024);
    ASSERT_EQ(back.height, 576);
    EXPECT_EQ(back.row32(300)[7], 0xFF000000u | (300u & 255) * 0x010101u);

    PixelImage cap;
    ASSERT_TRUE(fb.capture(512, cap));
    EXPECT_EQ(cap.width, 512);
    EXPECT_EQ(cap.row32(10)[3], 0xFF0A0A0Au);
    EXPECT_FALSE(fb.capture(0, cap));
}

} // namespace
} // namespace kestrune::scene
