// The engine's own menus and boxes in whole runs: message boxes and their answers, the
// question before quitting, the popup menu and the settings dialog, each opened and
// answered through the --input file by mouse and by keys alone, and seen on screenshots.
#include "run_game.h"

#include "scene/frame_buffer.h"
#include "storage/pixel_image.h"

#include <gtest/gtest.h>

#include <array>
#include <filesystem>
#include <map>

using namespace kestrune;
using namespace kestrune::testing;

namespace {

using Bgr = std::array<int, 3>;

constexpr Bgr k_focus_colour = {0xd0, 0x7f, 0x4f};                   // the focused button or item
constexpr Bgr k_background = {0x70, 0x50, 0x30};                     // #305070 of the test scripts
constexpr Bgr k_dimmed = {0x70 * 5 / 8, 0x50 * 5 / 8, 0x30 * 5 / 8}; // behind a box

// The game folders of the runs, by scratch name.
std::map<std::string, std::string>& games() {
    static std::map<std::string, std::string> g;
    return g;
}

// "[メニュー]" in Shift-JIS: the settings section that enables the menu bar.
const std::string k_menu_section = "[\x83\x81\x83\x6a\x83\x85\x81\x5b]\r\n";

// Copies the overlays game with `start` as its start script and runs it with `input`;
// `settings` is added to the settings file, and `remove_image` taken out of Data/ctrl.
RunResult run_overlays(const std::string& scratch, const std::string& start,
                       const std::string& input, const std::vector<std::string>& extra = {},
                       const std::string& settings = "", const std::string& remove_image = "") {
    const std::string game = copy_game("overlays", scratch);
    games()[scratch] = game;
    // The menu bar's images are the demo's.
    std::filesystem::copy(KESTRUNE_SOURCE_DIR "/games/demo/Data", game + "/Data",
                          std::filesystem::copy_options::recursive);
    if (!remove_image.empty()) std::filesystem::remove(game + "/Data/ctrl/" + remove_image);
    write_text(game + "/system/System.ini",
               k_script_section + "start=" + start + "\r\n" + settings);
    std::vector<std::string> args = {"--headless", "--save-dir", game + "/saves", "--max-seconds",
                                     "8"};
    if (!input.empty()) {
        args.push_back("--input");
        args.push_back(game + "/" + input);
    }
    for (const std::string& shot : extra) {
        args.push_back("--screenshot");
        args.push_back(shot.substr(0, shot.find('=') + 1) + game + "/" +
                       shot.substr(shot.find('=') + 1));
    }
    args.push_back(game);
    return run_kestrune(args);
}

std::string dir_of(const std::string& scratch) {
    return games()[scratch];
}

Bgr at(const std::string& png, int x, int y) {
    PixelImage img;
    if (!scene::read_png_bgra(png.c_str(), img)) return {-1, -1, -1};
    const std::uint8_t* p = img.row(y) + x * 4;
    return {p[0], p[1], p[2]};
}

int bright_pixels(const std::string& png, int x_from, int x_to) {
    PixelImage image;
    if (!scene::read_png_bgra(png.c_str(), image)) return -1;
    int n = 0;
    for (int y = 90; y < 200; ++y)
        for (int x = x_from; x < x_to; ++x)
            if (image.row(y)[x * 4 + 1] > 128) ++n;
    return n;
}

} // namespace

TEST(Overlays, MessageBoxAnswersByKeysByMouseAndByLetters) {
    // YESNOCANCEL with a question icon, then OK alone (which Esc answers with OK).
    const struct {
        const char* input;
        const char* answers;
    } cases[] = {{"box_keys.in", "3,1"}, {"box_mouse.in", "2,1"}, {"box_letters.in", "2,1"}};
    for (const auto& c : cases) {
        const std::string scratch = std::string("overlays_") + c.input;
        const RunResult r =
            run_overlays(scratch, "box.txt", c.input, {"1050=open.png", "2500=after.png"});
        EXPECT_EQ(r.exit_code, 0) << r.output;
        const std::string game = dir_of(scratch);
        EXPECT_EQ(read_text(game + "/answer.txt"), c.answers) << c.input;
        // The box dims the picture while it is up; the picture comes back after it.
        EXPECT_EQ(at(game + "/open.png", 100, 100), k_dimmed) << c.input;
        EXPECT_EQ(at(game + "/after.png", 100, 100), k_background) << c.input;
    }
    // Tab moved the focus from Yes to No before Enter picked it.
    EXPECT_EQ(at(dir_of("overlays_box_keys.in") + "/open.png", 470, 325), k_focus_colour);
}

TEST(Overlays, MessageBoxWithoutAReaderTakesItsFirstButton) {
    const RunResult r = run_overlays("overlays_box_unanswered", "box.txt", "");
    EXPECT_EQ(r.exit_code, 0) << r.output;
    EXPECT_EQ(read_text(dir_of("overlays_box_unanswered") + "/answer.txt"), "2,1");
    EXPECT_NE(r.output.find("nobody can answer it"), std::string::npos) << r.output;
}

TEST(Overlays, PopupMenuPicksItemsByMouseAndKeysAndSkipsGreyedOnes) {
    // By mouse: the right button opens it at the pointer, a click picks "save" (S has a
    // shortcut). By keys: M opens it, L is greyed (no load script) and does nothing, S picks.
    const struct {
        const char* input;
        const char* shot; // while the menu is up
    } cases[] = {{"menu_mouse.in", "1300=menu.png"}, {"menu_keys.in", "1150=menu.png"}};
    for (const auto& [input, shot] : cases) {
        const std::string scratch = std::string("overlays_") + input;
        const RunResult r = run_overlays(scratch, "menu.txt", input, {shot});
        EXPECT_EQ(r.exit_code, 0) << r.output;
        const std::string game = dir_of(scratch);
        EXPECT_EQ(read_text(game + "/saved.txt"), "saved") << input;
        EXPECT_EQ(read_text(game + "/menu_end.txt"), "end") << input;
    }
    // The menu is up at the pointer with its first item highlighted, over an undimmed scene.
    const std::string mouse_game = dir_of("overlays_menu_mouse.in");
    EXPECT_EQ(at(mouse_game + "/menu.png", 305, 210), k_focus_colour);
    EXPECT_EQ(at(mouse_game + "/menu.png", 100, 100), k_background);
    // After the greyed L the menu (at the pointer, 0,0) is still open.
    EXPECT_EQ(at(dir_of("overlays_menu_keys.in") + "/menu.png", 5, 10), k_focus_colour);
}

TEST(Overlays, PopupMenuQuitAsksFirstAndSettingsOpensTheDialog) {
    // Up wraps to the last item, quit; its Esc asks, and Enter answers yes.
    RunResult r = run_overlays("overlays_menu_quit", "menu.txt", "menu_quit.in");
    EXPECT_EQ(r.exit_code, 0) << r.output;
    EXPECT_FALSE(std::filesystem::exists(dir_of("overlays_menu_quit") + "/menu_end.txt"));
    // C opens the settings dialog (the game has no settings script), Esc closes it.
    r = run_overlays("overlays_menu_settings", "menu.txt", "menu_settings.in",
                     {"1300=dialog.png", "2000=after.png"});
    EXPECT_EQ(r.exit_code, 0) << r.output;
    const std::string game = dir_of("overlays_menu_settings");
    EXPECT_EQ(at(game + "/dialog.png", 100, 100), k_dimmed);
    EXPECT_EQ(at(game + "/after.png", 100, 100), k_background);
    EXPECT_EQ(read_text(game + "/menu_end.txt"), "end");
}

TEST(Overlays, SettingsDialogByKeysChangesTheSpeedOfTheNextText) {
    // Tab to the text speed, Page Down six times (50 -> 100: clamped), Enter for OK: the
    // fastest speed shows the line whole; Esc keeps the usual speed, where at 2500 ms only
    // the first characters are out.
    const struct {
        const char* input;
        const char* values; // text speed, music volume after the dialog
        bool line_whole;
    } cases[] = {{"config_keys.in", "0,1000", true},
                 {"config_cancel.in", "500,1000", false},
                 // A click in the middle of the music bar sets 500 at once; Esc keeps it.
                 {"config_volume.in", "500,500", false},
                 // Tab to "restore defaults", Space presses it, Esc closes: defaults stay.
                 {"config_defaults.in", "800,800", false}};
    for (const auto& c : cases) {
        const std::string scratch = std::string("overlays_") + c.input;
        const RunResult r = run_overlays(scratch, "config.txt", c.input, {"2500=text.png"});
        EXPECT_EQ(r.exit_code, 0) << r.output;
        const std::string game = dir_of(scratch);
        EXPECT_EQ(read_text(game + "/config.out"), c.values) << c.input;
        if (c.line_whole)
            EXPECT_GT(bright_pixels(game + "/text.png", 600, 1024), 100) << c.input;
        else
            EXPECT_EQ(bright_pixels(game + "/text.png", 600, 1024), 0) << c.input;
        EXPECT_GT(bright_pixels(game + "/text.png", 0, 200), 100) << c.input;
    }
}

namespace {

// Pixels brighter than the test picture in the wait indicator's corner.
int corner_marks(const std::string& png) {
    PixelImage image;
    if (!scene::read_png_bgra(png.c_str(), image)) return -1;
    int n = 0;
    for (int y = 0; y < 24; ++y)
        for (int x = 0; x < 24; ++x)
            if (image.row(y)[x * 4] > 200) ++n;
    return n;
}

} // namespace

TEST(Overlays, MenuBarShowsItsStateTakesItsClicksAndIsOffWithoutItsImages) {
    // Enabled: a click on the speed slider (step 6) sets the play speed and leaves the key
    // wait alone; the wait indicator is drawn in the corner while the key is awaited (long
    // enough for it to wrap many times), and gone after. Disabled, or with an image
    // missing, nothing is drawn and the same click ends the wait.
    const struct {
        const char* name;
        bool enabled;
        bool remove_image;
    } cases[] = {{"bar_on", true, false}, {"bar_off", false, false}, {"bar_missing", true, true}};
    for (const auto& c : cases) {
        const std::string scratch = std::string("overlays_") + c.name;
        const std::string settings = c.enabled ? k_menu_section + "enable=TRUE\r\n" : "";
        const RunResult r = run_overlays(scratch, "bar.txt", "bar_mouse.in",
                                         {"1200=wait.png", "3900=late.png", "4200=after.png"},
                                         settings, c.remove_image ? "cs18.png" : "");
        EXPECT_EQ(r.exit_code, 0) << r.output;
        const std::string game = dir_of(scratch);
        const bool shown = c.enabled && !c.remove_image;
        EXPECT_EQ(read_text(game + "/bar.out"), shown ? "6" : "3") << c.name;
        if (shown) {
            // The thumb (#d0d8e8) blended at 255/256 over the track.
            EXPECT_EQ(at(game + "/wait.png", 532, 4), (Bgr{231, 215, 207}))
                << "the thumb at step 6";
            EXPECT_GT(corner_marks(game + "/wait.png"), 5);
            EXPECT_GT(corner_marks(game + "/late.png"), 5);
            EXPECT_EQ(corner_marks(game + "/after.png"), 0);
        } else {
            EXPECT_EQ(at(game + "/wait.png", 532, 4), k_background) << c.name;
            EXPECT_EQ(corner_marks(game + "/wait.png"), 0) << c.name;
        }
        EXPECT_EQ(r.output.find("the menu bar is off") != std::string::npos, c.remove_image)
            << r.output;
    }
}

TEST(Overlays, DemoRightClickMenuOpensTheSettingsAndQuitsThroughTheCloseScript) {
    // The right button opens the menu at the pointer; C opens the settings dialog; Esc
    // closes it; M, Up (wrapping to quit) and Enter ask the demo's close script, and Enter
    // there ends the run long before its last screenshot's moment.
    const std::string game = copy_folder(KESTRUNE_SOURCE_DIR "/games/demo", "overlays_demo");
    write_text(game + "/menu.in", "2000 move 300 200\n2100 rclick 300 200\n2400 key C\n"
                                  "2800 key Escape\n3000 key M\n3100 key Up\n3200 key Return\n"
                                  "3800 key Return\n");
    const RunResult r = run_kestrune(
        {"--headless", "--save-dir", game + "/saves", "--input", game + "/menu.in", "--max-seconds",
         "40", "--screenshot", "2300=" + game + "/menu.png", "--screenshot",
         "2600=" + game + "/dialog.png", "--screenshot", "30000=" + game + "/late.png", game});
    EXPECT_EQ(r.exit_code, 0) << r.output;
    EXPECT_EQ(at(game + "/menu.png", 305, 210), k_focus_colour);
    EXPECT_EQ(at(game + "/dialog.png", 700, 85), (Bgr{0x5a, 0x40, 0x34})) << "the title bar";
    EXPECT_NE(r.output.find("the run ended before 30000 ms"), std::string::npos) << r.output;
}
