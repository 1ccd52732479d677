// Text objects in whole runs: CreateText shows its laid-out glyphs once revealed, and the
// line breaker hangs closing marks past the edge.
#include "run_game.h"

#include "scene/frame_buffer.h"
#include "storage/pixel_image.h"

#include <gtest/gtest.h>

#include <sstream>

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

// A closing mark ("。" in bad_start) that overflows hangs past the edge once; only a line
// begun by an overflow lets the next one hang again, a "<BR>" does not. The object's
// measured height counts the lines (the object is 4 characters of "口" wide).
TEST(TextObjects, ClosingMarkHangsOncePerOverflowNotPerBreak) {
    const std::string kou = "\xBF\xDA", maru = "\xA1\xA3"; // GBK
    const struct {
        std::string text;
        int lines;
    } cases[] = {
        {kou + kou + kou + maru + "<BR>" + kou + kou + kou + maru, 3},
        {kou + kou + kou + maru + kou + kou + kou + maru, 2},
        {kou + kou + kou + maru + maru, 2},
        {kou + kou + kou + kou + "<BR>" + kou + kou + kou + maru, 3}, // 3, 1 and 4 characters
    };
    const std::string game = scratch_dir("text_hang");
    write_text(game + "/system/System.ini",
               "[\x83\x65\x83\x4c\x83\x58\x83\x67]\r\nbad_start=" + maru + "\r\n");
    std::string script = "scene main\n{\n    CreateText(\"one\", 0, 0, 0, AUTO, AUTO, \"" + kou +
                         "\");\n    $w = (ImageHorizon(\"one\") - 32) * 4;\n"
                         "    $out = \"\" + ImageVertical(\"one\");\n"
                         "    CreateText(\"two\", 0, 0, 0, AUTO, AUTO, \"" +
                         kou + "<BR>" + kou +
                         "\");\n    $out = $out + \",\" + ImageVertical(\"two\");\n";
    for (std::size_t i = 0; i < std::size(cases); ++i)
        script += "    CreateText(\"t" + std::to_string(i) + "\", 0, 0, 0, $w, AUTO, \"" +
                  cases[i].text + "\");\n    $out = $out + \",\" + ImageVertical(\"t" +
                  std::to_string(i) + "\");\n";
    script += "    WriteFile(\"heights.txt\", $out, FALSE);\n}\n";
    write_text(game + "/start.txt", script);
    const RunResult r =
        run_kestrune({"--headless", "--save-dir", game + "/s", "--max-seconds", "10", game});
    ASSERT_EQ(r.exit_code, 0) << r.output;
    std::vector<int> heights;
    std::stringstream in(read_text(game + "/heights.txt"));
    for (std::string part; std::getline(in, part, ',');) heights.push_back(std::stoi(part));
    ASSERT_EQ(heights.size(), std::size(cases) + 2) << r.output;
    // Each line adds one pitch to the height: a text of one line and one of two tell it.
    const int pitch = heights[1] - heights[0];
    ASSERT_GT(pitch, 0) << r.output;
    for (std::size_t i = 0; i < std::size(cases); ++i)
        EXPECT_EQ((heights[i + 2] - heights[0]) / pitch + 1, cases[i].lines) << "case " << i;
}
