// The text icon in whole-program runs: a LoadText page waiting at its end shows the page icon
// of the settings file's "アイコン" section (Shift-JIS section name) after its last
// character; a fixed icon position and a frame list set by a script take over at run time.
#include "run_game.h"

#include "scene/frame_buffer.h"
#include "storage/pixel_image.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

using namespace kestrune::testing;

namespace {

struct Found {
    int count = 0;
    int left = 1 << 30, top = 1 << 30, right = -1, bottom = -1;
};

// Pixels of a screenshot that `match` accepts (red, green, blue), with their bounding box.
template <typename Match> Found find_pixels(const std::string& png, Match match) {
    kestrune::PixelImage image;
    Found f;
    if (!kestrune::scene::read_png_bgra(png.c_str(), image)) {
        f.count = -1;
        return f;
    }
    for (int y = 0; y < image.height; ++y)
        for (int x = 0; x < image.width; ++x) {
            const std::uint8_t* p = image.row(y) + x * 4;
            if (!match(p[2], p[1], p[0])) continue;
            ++f.count;
            f.left = std::min(f.left, x);
            f.top = std::min(f.top, y);
            f.right = std::max(f.right, x + 1);
            f.bottom = std::max(f.bottom, y + 1);
        }
    return f;
}

bool magenta(int r, int g, int b) {
    return r > 200 && g < 40 && b > 200;
}
bool cyan(int r, int g, int b) {
    return r < 40 && g > 200 && b > 200;
}

} // namespace

TEST(TextIconGame, PageIconShowsAtTheKeyWaitWherePlaced) {
    const struct {
        const char* name;
        const char* setup;    // put in front of LoadText
        bool page_colour;     // magenta page icon (else the cyan frames set by the script)
        int fixed_x, fixed_y; // -1: follows the text
    } cases[] = {{"settings", "", true, -1, -1},
                 {"fixed",
                  "$SYSTEM_position_x_text_icon = 900; $SYSTEM_position_y_text_icon = 500;", true,
                  900, 500},
                 {"variable", "$SYSTEM_text_icon_page = \"sys/line%02d.png#1\";", false, -1, -1}};
    for (const auto& c : cases) {
        const std::string game = copy_game("text_icon", std::string("text_icon_") + c.name);
        std::string script = read_text(game + "/start.txt");
        const std::string at = "LoadText(";
        script.insert(script.find(at), std::string(c.setup) + "\n    ");
        write_text(game + "/start.txt", script);
        const std::string shot = game + "/shot.png";
        const RunResult r =
            run_kestrune({"--headless", "--save-dir", game + "/saves", "--time-scale", "1",
                          "--screenshot", "2000=" + shot, "--max-seconds", "2.5", game});
        ASSERT_EQ(r.exit_code, 0) << c.name << r.output;
        const Found page = find_pixels(shot, magenta), line = find_pixels(shot, cyan);
        const Found& shown = c.page_colour ? page : line;
        const Found& other = c.page_colour ? line : page;
        // One whole 12 x 12 frame, and nothing of the other icon.
        EXPECT_EQ(shown.count, 144) << c.name;
        EXPECT_EQ(other.count, 0) << c.name;
        if (c.fixed_x >= 0) {
            EXPECT_EQ(shown.left, c.fixed_x) << c.name;
            EXPECT_EQ(shown.top, c.fixed_y) << c.name;
        } else {
            // After the text of the first line ("First page.") at the top of its line.
            EXPECT_GT(shown.left, 40) << c.name;
            EXPECT_LT(shown.left, 400) << c.name;
            EXPECT_LT(shown.top, 20) << c.name;
        }
    }
}
