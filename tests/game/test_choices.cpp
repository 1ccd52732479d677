// Whole-program runs of choices, driven by --input on the stepped clock: what the screen
// shows at given engine times proves the hover, press and chosen displays, and the screen
// the taken case draws proves which branch ran.
#include "run_game.h"

#include "scene/frame_buffer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace kestrune;
using namespace kestrune::testing;

namespace {

// Red, green and blue of one pixel of a PNG frame, as "R,G,B".
std::string rgb(const std::string& png, int x, int y) {
    PixelImage img;
    if (!scene::read_png_bgra(png.c_str(), img)) return "no frame " + png;
    const std::uint8_t* p = img.row(y) + x * 4;
    return std::to_string(p[2]) + "," + std::to_string(p[1]) + "," + std::to_string(p[0]);
}

constexpr const char* k_red = "255,0,0";       // usual
constexpr const char* k_green = "0,255,0";     // over
constexpr const char* k_blue = "0,0,255";      // click
constexpr const char* k_black = "0,0,0";       // background
constexpr const char* k_white = "255,255,255"; // B's branch

struct Shot {
    int ms;
    const char* a;      // at 120,120 (A's opaque part)
    const char* a_edge; // at 190,120 (transparent in A's usual image)
    const char* b;      // at 120,320
};

// Runs the choices game with `input`, taking a screenshot at each time, and checks them.
// Returns the run's cursor log.
std::string run_and_check(const std::string& name, const char* input,
                          const std::vector<Shot>& shots, const char* chosen) {
    const std::string game = copy_game("choices", name);
    std::vector<std::string> args = {"--headless", "--save-dir",       game + "/saves",
                                     "--input",    game + "/" + input, "--max-seconds",
                                     "6",          "--cursor-log",     game + "/cursor.log"};
    for (const Shot& s : shots) {
        args.push_back("--screenshot");
        args.push_back(std::to_string(s.ms) + "=" + game + "/" + std::to_string(s.ms) + ".png");
    }
    args.push_back(game);
    const RunResult r = run_kestrune(args);
    EXPECT_EQ(r.exit_code, 0) << r.output;
    for (const Shot& s : shots) {
        const std::string png = game + "/" + std::to_string(s.ms) + ".png";
        EXPECT_EQ(rgb(png, 120, 120), s.a) << input << " at " << s.ms;
        if (s.a_edge) {
            EXPECT_EQ(rgb(png, 190, 120), s.a_edge) << input << " at " << s.ms;
        }
        EXPECT_EQ(rgb(png, 120, 320), s.b) << input << " at " << s.ms;
    }
    EXPECT_EQ(read_text(game + "/chose.txt"), chosen) << r.output;
    return read_text(game + "/cursor.log");
}

} // namespace

// The pointer on a transparent pixel of A does nothing; on an opaque one A shows its over
// image at once; a press shows the click image; pressing A and releasing on B takes
// neither (A falls back to its usual image, B only shows its over image); a press and
// release on B takes B's branch.
TEST(ChoiceGame, MouseHoverPressAndChoose) {
    const std::string cursor =
        run_and_check("choices_mouse", "mouse.in",
                      {{1200, k_red, k_black, k_red},
                       {1350, k_green, k_green, k_red},
                       {1600, k_blue, k_blue, k_red},
                       {1900, k_red, k_black, k_green},
                       {2100, k_green, k_green, "112,83,0"}, // B's over image fading out
                       {2600, k_red, k_black, k_blue},
                       {3500, k_white, k_white, k_white}},
                      "B");
    // The hand shows only once the pointer is on an opaque pixel of A (1300, not 1000 on its
    // transparent part), and the arrow comes back when B has been chosen.
    EXPECT_EQ(cursor.substr(0, cursor.find('\n')), "1300 cursor hand");
    EXPECT_NE(cursor.find("2800 cursor arrow\n"), std::string::npos) << cursor;
    EXPECT_EQ(cursor.find("1000 "), std::string::npos) << cursor;
}

// The first Down brings the pointer onto the choice that took the focus when the select
// began (A); Down, Up, Tab, Left and Right follow the SetNextFocus links; Enter down shows
// the click image and Enter up takes the focused choice.
TEST(ChoiceGame, KeyboardFocusFollowsLinks) {
    run_and_check("choices_keys", "keys.in",
                  {{900, k_red, nullptr, k_red},
                   {1300, k_green, nullptr, k_red},
                   {1700, k_red, nullptr, k_green},
                   {2100, k_green, nullptr, k_red},
                   {2500, k_red, nullptr, k_green},
                   {2900, k_green, nullptr, k_red},
                   {3300, k_red, nullptr, k_green},
                   {3700, k_red, nullptr, k_blue},
                   {4500, k_white, nullptr, k_white}},
                  "B");
}

// The demo's choice branches the story: clicks on the upper button take the climbing route,
// on the lower one the way home (the demo's own clicks land there).
TEST(ChoiceGame, DemoChoiceBranchesTheStory) {
    const struct {
        int y;
        const char* route;
    } cases[] = {{220, "1"}, {300, "2"}};
    for (const auto& c : cases) {
        const std::string game = copy_folder(std::string(KESTRUNE_SOURCE_DIR) + "/games/demo",
                                             std::string("choices_demo_") + c.route);
        std::string main = read_text(game + "/script/main.txt");
        const std::string at = "    if ($route == 1)";
        ASSERT_NE(main.find(at), std::string::npos);
        main.insert(main.find(at), "    WriteFile(\"route.txt\", $route, FALSE);\n");
        write_text(game + "/script/main.txt", main);
        std::string input = read_text(game + "/clickthrough.in");
        const std::string click = "click 512 " + std::to_string(c.y);
        for (std::size_t p = 0; (p = input.find("click 512 300", p)) != std::string::npos;
             p += click.size())
            input.replace(p, 13, click);
        write_text(game + "/test.in", input);
        const RunResult r = run_kestrune({"--headless", "--save-dir", game + "/saves", "--input",
                                          game + "/test.in", "--max-seconds", "60", game});
        ASSERT_EQ(r.exit_code, 0) << r.output;
        EXPECT_EQ(read_text(game + "/route.txt"), c.route) << r.output;
    }
}
