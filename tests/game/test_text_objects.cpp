// A CreateText object shows its laid-out glyphs on screen once its text is revealed.
#include "run_game.h"

#include "scene/frame_buffer.h"
#include "storage/pixel_image.h"

#include <gtest/gtest.h>

using namespace kestrune::testing;

TEST(TextObjects, CreateTextShowsItsGlyphs) {
    const std::string game = scratch_dir("text_object");
    write_text(game + "/start.txt", R"(
scene main
{
    CreateColor("bg", 0, 0, 0, 1024, 576, "#000000");
    CreateText("title", 10, 100, 100, AUTO, AUTO, "<FONT SIZE=48>HELLO</FONT>");
    Draw();
    WaitText("title");
    Wait(2000);
}
)");
    const std::string shot = game + "/shot.png";
    const RunResult r = run_kestrune({"--headless", "--save-dir", game + "/s", "--screenshot",
                                      "1500=" + shot, "--max-seconds", "10", game});
    ASSERT_EQ(r.exit_code, 0) << r.output;
    kestrune::PixelImage image;
    ASSERT_TRUE(kestrune::scene::read_png_bgra(shot.c_str(), image));
    // Bright pixels inside the text's area, none far away from it.
    int inside = 0, outside = 0;
    for (int y = 0; y < image.height; ++y)
        for (int x = 0; x < image.width; ++x) {
            const bool bright = image.row(y)[x * 4 + 1] > 128;
            if (!bright) continue;
            const bool in_text = x >= 90 && x < 500 && y >= 90 && y < 200;
            (in_text ? inside : outside)++;
        }
    EXPECT_GT(inside, 500);
    EXPECT_EQ(outside, 0);
}
