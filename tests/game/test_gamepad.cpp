// A game controller in whole runs: the --input file's pad lines press the buttons of a
// virtual controller through SDL's controller layer, as a real pad's presses arrive.
// Input times are engine time since the program started, on the stepped clock.
#include "run_game.h"

#include "scene/frame_buffer.h"
#include "storage/pixel_image.h"

#include <gtest/gtest.h>

#include <array>
#include <sstream>

using namespace kestrune;
using namespace kestrune::testing;

namespace {

RunResult run_game(const std::string& game, const std::string& input,
                   std::vector<std::string> shots = {}) {
    std::vector<std::string> args = {"--headless", "--save-dir",       game + "/saves",
                                     "--input",    game + "/" + input, "--max-seconds",
                                     "8"};
    for (const std::string& s : shots) {
        args.push_back("--screenshot");
        args.push_back(s.substr(0, s.find('=') + 1) + game + "/" + s.substr(s.find('=') + 1));
    }
    args.push_back(game);
    return run_kestrune(args);
}

std::array<int, 3> at(const std::string& png, int x, int y) {
    PixelImage img;
    if (!scene::read_png_bgra(png.c_str(), img)) return {-1, -1, -1};
    const std::uint8_t* p = img.row(y) + x * 4;
    return {p[0], p[1], p[2]};
}

// A press and, 50 ms later, the release.
std::string tap(int ms, const std::string& button) {
    return std::to_string(ms) + " pad " + button + "\n" + std::to_string(ms + 50) + " padup " +
           button + "\n";
}

} // namespace

// A is Enter (and "$SYSTEM_XBOX360_button_a_down" follows it down and up), the D-pad the
// arrows, the shoulders Page Up and Page Down, Back the space bar; a controller pulled out
// and plugged in again is opened again.
TEST(GamePad, ButtonsStandForTheirKeysAndSurviveUnplugging) {
    const std::string game = copy_game("gamepad", "gamepad_buttons");
    const RunResult r = run_game(game, "buttons.in");
    EXPECT_EQ(r.exit_code, 0) << r.output;
    EXPECT_EQ(read_text(game + "/log.txt"), "a10,up,right,pageup,pagedown,space,again") << r.output;
}

// Start opens the popup menu and closes it again; B closes it as its cancel, and that
// press's release does not open it again; B with nothing open is the right button, which
// opens it. The D-pad moves along the items and A picks "save" (the game's S shortcut).
TEST(GamePad, StartAndBOpenAndCloseThePopupMenuAndAPicks) {
    const std::string game = copy_game("overlays", "gamepad_menu");
    write_text(game + "/system/System.ini", k_script_section + "start=menu.txt\r\n");
    write_text(game + "/pad.in", tap(1000, "start") + tap(1200, "b") + tap(1600, "b") +
                                     tap(2000, "start") + tap(2200, "start") + tap(2300, "dpdown") +
                                     tap(2400, "dpdown") + tap(2500, "dpdown") +
                                     tap(2600, "dpdown") + tap(2800, "a"));
    const RunResult r = run_game(game, "pad.in",
                                 {"1100=start.png", "1400=b.png", "1800=b_again.png",
                                  "2100=start_again.png", "2700=save_item.png"});
    EXPECT_EQ(r.exit_code, 0) << r.output;
    const std::array<int, 3> focus = {0xd0, 0x7f, 0x4f}, background = {0x70, 0x50, 0x30};
    // The menu opens at the pointer (0, 0) with its first item focused.
    EXPECT_EQ(at(game + "/start.png", 5, 10), focus);
    EXPECT_EQ(at(game + "/b.png", 5, 10), background);
    EXPECT_EQ(at(game + "/b_again.png", 5, 10), focus);
    EXPECT_EQ(at(game + "/start_again.png", 5, 10), background);
    // Four items down: "save", the fifth of 24-pixel rows.
    EXPECT_EQ(at(game + "/save_item.png", 5, 10 + 4 * 24), focus);
    EXPECT_EQ(read_text(game + "/saved.txt"), "saved");
    EXPECT_EQ(read_text(game + "/menu_end.txt"), "end");
}

// The demo read through with a pad alone: A on every page, and the D-pad before it, which
// at the choice brings the pointer to the first choice (the hand shows) for A to take.
TEST(GamePad, ReadsTheDemoThrough) {
    const std::string game =
        copy_folder(std::string(KESTRUNE_SOURCE_DIR) + "/games/demo", "gamepad_demo");
    std::string main_script = read_text(game + "/script/main.txt");
    const std::size_t exit_at = main_script.find("    Exit();");
    ASSERT_NE(exit_at, std::string::npos);
    main_script.insert(exit_at, "    WriteFile(\"end.txt\", \"the end\", FALSE);\n");
    write_text(game + "/script/main.txt", main_script);
    // The click-through file's clicks become pad presses.
    std::istringstream clicks(read_text(game + "/clickthrough.in"));
    std::string line, pad;
    while (std::getline(clicks, line)) {
        int ms = 0;
        if (line.empty() || line[0] == '#' || std::sscanf(line.c_str(), "%d click", &ms) != 1)
            continue;
        pad += tap(ms - 200, "dpright") + tap(ms, "a");
    }
    write_text(game + "/pad.in", pad);
    const RunResult r = run_kestrune({"--headless", "--save-dir", game + "/saves", "--input",
                                      game + "/pad.in", "--time-scale", "3", "--cursor-log",
                                      game + "/cursor.log", "--max-seconds", "120", game});
    ASSERT_EQ(r.exit_code, 0) << r.output;
    EXPECT_EQ(read_text(game + "/end.txt"), "the end") << r.output;
    EXPECT_NE(read_text(game + "/cursor.log").find("cursor hand"), std::string::npos);
}
