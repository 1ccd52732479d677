// Whole-program runs of scroll bars and windows, driven by --input on the stepped clock:
// the game logs every change of its bar's value (thousandths, as ScrollbarValue gives it).
#include "run_game.h"

#include "scene/frame_buffer.h"

#include <gtest/gtest.h>

#include <string>

using namespace kestrune;
using namespace kestrune::testing;

namespace {

std::string rgb(const std::string& png, int x, int y) {
    PixelImage img;
    if (!scene::read_png_bgra(png.c_str(), img)) return "no frame " + png;
    const std::uint8_t* p = img.row(y) + x * 4;
    return std::to_string(p[2]) + "," + std::to_string(p[1]) + "," + std::to_string(p[0]);
}

} // namespace

// Right and Left step by the scroll speed, Page Down pages 5 % of the track, End and Home
// go to the ends (0 and 1); dragging the thumb follows the pointer to both ends; a press on
// the track pages towards the pointer. A bar of ten points still pages; a step below 1 is
// refused.
TEST(ScrollbarGame, KeysDragAndTrackPressMoveTheThumb) {
    const std::string game = copy_game("scrollbar", "scrollbar_keys");
    const RunResult r =
        run_kestrune({"--headless", "--save-dir", game + "/saves", "--input", game + "/bar.in",
                      "--max-seconds", "4", "--screenshot", "900=" + game + "/shot.png", game});
    ASSERT_EQ(r.exit_code, 0) << r.output;
    EXPECT_EQ(read_text(game + "/bar.txt"), "short:111 0 100 0 47 1000 0 17 498 1000 0 47 ");
    EXPECT_NE(r.output.find("SetScrollSpeed: the step must be at least 1"), std::string::npos);
}

// A window clips what is created under it to its rectangle and places it relative to
// itself; a window whose size is not a number or is too large is not created, and nothing
// can be made under it.
TEST(ScrollbarGame, WindowClipsItsChildren) {
    const std::string game = copy_game("scrollbar", "scrollbar_window");
    write_text(game + "/none.in", "");
    const RunResult r =
        run_kestrune({"--headless", "--save-dir", game + "/saves", "--input", game + "/none.in",
                      "--max-seconds", "2", "--screenshot", "900=" + game + "/shot.png", game});
    ASSERT_EQ(r.exit_code, 0) << r.output;
    const std::string shot = game + "/shot.png";
    EXPECT_EQ(rgb(shot, 150, 150), "255,0,0") << "inside the window";
    EXPECT_EQ(rgb(shot, 100, 100), "255,0,0") << "the window's corner";
    EXPECT_EQ(rgb(shot, 90, 150), "0,0,0") << "left of the window";
    EXPECT_EQ(rgb(shot, 300, 150), "0,0,0") << "right of the window";
    EXPECT_EQ(rgb(shot, 150, 200), "0,0,0") << "below the window";
    EXPECT_EQ(rgb(shot, 20, 20), "0,0,0") << "no plane under a refused window";
    EXPECT_NE(r.output.find("CreateWindow: the width and height must be numbers"),
              std::string::npos);
    EXPECT_NE(r.output.find("CreateWindow: size 100000 x 10"), std::string::npos);
}
