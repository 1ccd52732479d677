// The raster worker in a whole game: a wall-clock run starts it and may share the compose
// step's draws with it; a stepped run draws everything on the calling thread. Both must
// show the very same picture.
#include "run_game.h"

#include "scene/frame_buffer.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

using namespace kestrune;
using namespace kestrune::testing;

namespace {

// A 24-bit Windows bitmap whose colours change from pixel to pixel.
std::string pattern_bitmap(int w, int h, int seed) {
    return bitmap24(w, h, [seed](int x, int y) {
        return std::array<std::uint8_t, 3>{std::uint8_t(x * 3 + seed), std::uint8_t(y * 5 + x),
                                           std::uint8_t((x ^ y) + seed)};
    });
}

// Catches: a shared draw or compose band that differs from drawing on one thread, and a
// worker that the engine's start or stop leaves broken (a crash or hang at either end).
TEST(RasterWorker, WallClockRunShowsThePictureOfTheSteppedRun) {
    const std::string game = scratch_dir("raster_worker");
    write_text(game + "/bg.bmp", pattern_bitmap(1024, 576, 0));
    write_text(game + "/sprite.bmp", pattern_bitmap(300, 200, 77));
    // Smoothed, rotated and zoomed; added; multiplied; a translucent window; and a sprite
    // that moves for a while, so that many frames are composed before the screenshot.
    write_text(game + "/start.txt", R"(
scene main
{
    CreateTexture("bg", 0, 0, 0, "bg.bmp");
    CreateTexture("turned", 10, 100, 50, "sprite.bmp");
    Request("turned", "Smoothing");
    Rotate("turned", 0, 0, 0, 20, NULL, FALSE);
    Zoom("turned", 0, 1300, 1300, NULL, FALSE);
    CreateTexture("added", 11, 500, 200, "sprite.bmp");
    Request("added", "AddRender");
    CreateColor("window", 12, 12, 366, 1000, 200, "#10102080");
    CreateTexture("multiplied", 13, 700, 20, "sprite.bmp");
    Request("multiplied", "MulRender");
    CreateTexture("mover", 14, 0, 300, "sprite.bmp");
    Move("mover", 600, 600, 300, 0, NULL, FALSE);
    Draw();
    Wait(3000);
}
)");
    const std::vector<std::string> common = {"--headless", "--save-dir", game + "/saves",
                                             "--max-seconds", "2"};
    auto with = [&](const char* shot) {
        std::vector<std::string> a = common;
        a.push_back("--screenshot");
        a.push_back(std::string("1500=") + game + "/" + shot);
        a.push_back(game);
        return a;
    };
    const RunResult stepped = run_kestrune(with("stepped.png"), 90, Clock::stepped);
    ASSERT_EQ(stepped.exit_code, 0) << stepped.output;
    const RunResult wall = run_kestrune(with("wall.png"), 90, Clock::wall);
    ASSERT_EQ(wall.exit_code, 0) << wall.output;

    PixelImage a, b;
    ASSERT_TRUE(scene::read_png_bgra((game + "/stepped.png").c_str(), a));
    ASSERT_TRUE(scene::read_png_bgra((game + "/wall.png").c_str(), b));
    ASSERT_EQ(a.width, b.width);
    ASSERT_EQ(a.height, b.height);
    int differ = 0;
    for (int y = 0; y < a.height; ++y)
        for (int x = 0; x < a.width; ++x)
            if (a.row32(y)[x] != b.row32(y)[x] && differ++ < 5)
                ADD_FAILURE() << "pixel " << x << "," << y << ": " << std::hex << a.row32(y)[x]
                              << " stepped, " << b.row32(y)[x] << " wall clock";
    EXPECT_EQ(differ, 0);
}

} // namespace
