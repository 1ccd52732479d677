// Express skip in whole runs: with skip_express set, skip mode shows the express images in
// turn instead of the scene, keeps them for the minimum time after skipping stops, and
// lasts one skip period (skip_express is cleared when skipping ends).
#include "run_game.h"

#include "scene/frame_buffer.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <vector>

using namespace kestrune;
using namespace kestrune::testing;

namespace {

void write_plane(const std::string& path, std::uint8_t b, std::uint8_t g, std::uint8_t r) {
    std::vector<std::uint8_t> px(1024 * 576 * 4);
    for (std::size_t i = 0; i < px.size(); i += 4) {
        px[i] = b;
        px[i + 1] = g;
        px[i + 2] = r;
        px[i + 3] = 255;
    }
    ASSERT_TRUE(scene::write_png_bgra(path.c_str(), px.data(), 1024, 576, 1024 * 4, false));
}

// 'B' blue scene, 'R' and 'G' the two express images, '?' anything else.
char colour_at(const std::string& png) {
    PixelImage img;
    if (!scene::read_png_bgra(png.c_str(), img)) return 'x';
    const std::uint8_t* p = img.row(300) + 500 * 4;
    if (p[0] == 255 && p[1] == 0 && p[2] == 0) return 'B';
    if (p[0] == 0 && p[1] == 0 && p[2] == 255) return 'R';
    if (p[0] == 0 && p[1] == 255 && p[2] == 0) return 'G';
    return '?';
}

} // namespace

TEST(ExpressSkip, ImagesReplaceTheSceneForOneSkipPeriod) {
    const std::string game = scratch_dir("express_skip");
    write_plane(game + "/exp0.png", 0, 0, 255);
    write_plane(game + "/exp1.png", 0, 255, 0);
    // Engine times: skipping from 600 to 1200, the images kept until 2400 (1800 ms after
    // they began); a second skip period from 3000 to 3600 without skip_express set again.
    write_text(game + "/start.txt", R"(
scene main
{
    CreateColor("bg", 0, 0, 0, 1024, 576, "#0000FF");
    while (MilliTime() < 600) { Wait(5); }
    $SYSTEM_skip_express_minimum_time = 1800;
    $SYSTEM_express_skip_animation_fps = 10;
    #SYSTEM_skip_express_image = "exp%d.png#2";
    $SYSTEM_skip_express = 1;
    $SYSTEM_skip = 1;
    while (MilliTime() < 1200) { Wait(160); }
    $SYSTEM_skip = 0;
    $after = #SYSTEM_skip_express;
    while (MilliTime() < 3000) { Wait(5); }
    $SYSTEM_skip = 1;
    while (MilliTime() < 3600) { Wait(160); }
    $SYSTEM_skip = 0;
    WriteFile("after.txt", $after, FALSE);
    Wait(300);
}
)");
    const RunResult r = run_kestrune(
        {"--headless", "--save-dir", game + "/saves", "--max-seconds", "20", "--screenshot",
         "400=" + game + "/before.png", "--screenshot", "900=" + game + "/skipping.png",
         "--screenshot", "1800=" + game + "/minimum.png", "--screenshot",
         "2800=" + game + "/ended.png", "--screenshot", "3300=" + game + "/again.png", "--record",
         game + "/frames", game});
    ASSERT_EQ(r.exit_code, 0) << r.output;
    EXPECT_EQ(colour_at(game + "/before.png"), 'B');
    EXPECT_NE(std::string("RG").find(colour_at(game + "/skipping.png")), std::string::npos);
    EXPECT_NE(std::string("RG").find(colour_at(game + "/minimum.png")), std::string::npos);
    EXPECT_EQ(colour_at(game + "/ended.png"), 'B');
    EXPECT_EQ(colour_at(game + "/again.png"), 'B'); // skip_express was used up
    EXPECT_EQ(read_text(game + "/after.txt"), "0");
    // The animation steps through both images.
    std::set<char> seen;
    for (const auto& entry : std::filesystem::directory_iterator(game + "/frames"))
        seen.insert(colour_at(entry.path().string()));
    EXPECT_TRUE(seen.count('R') && seen.count('G')) << r.output;
}
