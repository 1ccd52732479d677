// Reading a visual novel from end to end in whole-program runs: the bundled demo read
// through by its own click-through file and its question before quitting; skip mode against
// Enter and against the read-text map; auto mode's pause per character; a close script
// that hands the screen back to a waiting page.
//
// Input times are engine time since the program started, on the stepped clock.
#include "run_game.h"

#include "scene/frame_buffer.h"
#include "storage/pixel_image.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>

using namespace kestrune::testing;

namespace {

// A copy of the bundled demo (the runs below must not write into the source tree).
std::string copy_demo(const std::string& scratch_name) {
    return copy_folder(std::string(KESTRUNE_SOURCE_DIR) + "/games/demo", scratch_name);
}

// Replaces the single occurrence of `from` in a file; false when it is not there once.
bool replace_once(const std::string& path, const std::string& from, const std::string& to) {
    std::string text = read_text(path);
    const std::size_t at = text.find(from);
    if (at == std::string::npos || text.find(from, at + 1) != std::string::npos) return false;
    text.replace(at, from.size(), to);
    write_text(path, text);
    return true;
}

struct Rect {
    int left, top, right, bottom;
};

// Pixels of a screenshot inside `r` whose three colours are all above 200 (white text); -1
// when the file cannot be read.
int white_pixels(const std::string& png, Rect r) {
    kestrune::PixelImage image;
    if (!kestrune::scene::read_png_bgra(png.c_str(), image)) return -1;
    int n = 0;
    for (int y = r.top; y < r.bottom && y < image.height; ++y)
        for (int x = r.left; x < r.right && x < image.width; ++x) {
            const std::uint8_t* p = image.row(y) + x * 4;
            if (p[0] > 200 && p[1] > 200 && p[2] > 200) ++n;
        }
    return n;
}

// True when both screenshots exist and hold the same pixels inside `r`.
bool same_pixels(const std::string& a, const std::string& b, Rect r) {
    kestrune::PixelImage ia, ib;
    if (!kestrune::scene::read_png_bgra(a.c_str(), ia) ||
        !kestrune::scene::read_png_bgra(b.c_str(), ib))
        return false;
    if (ia.width != ib.width || ia.height != ib.height) return false;
    for (int y = r.top; y < r.bottom && y < ia.height; ++y)
        for (int x = r.left; x < r.right && x < ia.width; ++x)
            for (int c = 0; c < 4; ++c)
                if (ia.row(y)[x * 4 + c] != ib.row(y)[x * 4 + c]) return false;
    return true;
}

// The message window's text area in the demo.
constexpr Rect k_demo_text_area{60, 424, 960, 556};

} // namespace

// The demo read through by its own click-through file reaches its last line (a copy of it
// records that) and ends by itself with exit code 0, long before --max-seconds.
TEST(VnDemo, ClickThroughReadsEveryPageToTheEnd) {
    const std::string game = copy_demo("vn_demo_read");
    ASSERT_TRUE(replace_once(game + "/script/main.txt", "    Exit();",
                             "    WriteFile(\"end.txt\", \"the end\", FALSE);\n    Exit();"));
    const std::string early = game + "/early.png";
    // Engine time runs three times faster: the whole story takes about ten seconds.
    const RunResult r = run_kestrune({"--headless", "--save-dir", game + "/saves", "--input",
                                      game + "/clickthrough.in", "--time-scale", "3",
                                      "--screenshot", "7000=" + early, "--screenshot",
                                      "100000=" + game + "/late.png", "--max-seconds", "120", game},
                                     60);
    ASSERT_EQ(r.exit_code, 0) << r.output;
    EXPECT_EQ(read_text(game + "/end.txt"), "the end") << r.output;
    EXPECT_NE(r.output.find("the run ended before 100000 ms"), std::string::npos) << r.output;
    // Early in the story the message window shows text.
    EXPECT_GT(white_pixels(early, k_demo_text_area), 200);
}

// Ctrl tapped on the first page skips the demo (it skips text not read before as well):
// every page, shake and transition passes up to the choice, where skipping stops; once
// the reader has chosen, Ctrl skips on and the demo ends by itself.
TEST(VnDemo, CtrlSkipsToTheEnd) {
    const std::string game = copy_demo("vn_demo_skip");
    ASSERT_TRUE(replace_once(game + "/script/main.txt", "    Exit();",
                             "    WriteFile(\"end.txt\", \"the end\", FALSE);\n    Exit();"));
    write_text(game + "/skip.in", "3000 key Ctrl\n3020 keyup Ctrl\n8000 move 512 300\n"
                                  "8200 click 512 300\n9000 key Ctrl\n9020 keyup Ctrl\n");
    const RunResult r =
        run_kestrune({"--headless", "--save-dir", game + "/saves", "--input", game + "/skip.in",
                      "--screenshot", "20000=" + game + "/late.png", "--max-seconds", "40", game},
                     60);
    ASSERT_EQ(r.exit_code, 0) << r.output;
    EXPECT_EQ(read_text(game + "/end.txt"), "the end") << r.output;
    EXPECT_NE(r.output.find("the run ended before 20000 ms"), std::string::npos) << r.output;
}

// Esc while a page waits opens the demo's close script, which asks on a screen of its own;
// Enter answers yes and the program ends at once, the story unfinished.
TEST(VnDemo, EscapeAsksAndEnterQuits) {
    const std::string game = copy_demo("vn_demo_quit");
    ASSERT_TRUE(replace_once(game + "/script/main.txt", "    Exit();",
                             "    WriteFile(\"end.txt\", \"the end\", FALSE);\n    Exit();"));
    write_text(game + "/quit.in", "5000 key Escape\n5050 keyup Escape\n"
                                  "6500 key Return\n6550 keyup Return\n");
    const std::string asking = game + "/asking.png";
    const RunResult r =
        run_kestrune({"--headless", "--save-dir", game + "/saves", "--input", game + "/quit.in",
                      "--screenshot", "6000=" + asking, "--screenshot",
                      "20000=" + game + "/late.png", "--max-seconds", "40", game},
                     60);
    ASSERT_EQ(r.exit_code, 0) << r.output;
    EXPECT_NE(r.output.find("the run ended before 20000 ms"), std::string::npos) << r.output;
    EXPECT_FALSE(std::filesystem::exists(game + "/end.txt"));
    // The question: white text in the middle of an otherwise dark screen without the story's
    // message window.
    EXPECT_GT(white_pixels(asking, {400, 220, 640, 270}), 100);
    EXPECT_EQ(white_pixels(asking, k_demo_text_area), 0);
}

namespace {

// A text of 40 pages, each with a pause of 3.2 s (0.1 s at the skip speed) at its end
// (before its line end) or at its start (the slot that also holds the page wait). Ctrl is
// tapped at 1.5 s; Enter pressed at 2.5 s, while skip mode runs through the pages.
std::string write_skip_enter_game(const std::string& name, bool pause_at_start) {
    const std::string game = scratch_dir(name);
    std::string pages;
    for (int i = 1; i <= 40; ++i) {
        char page[48];
        if (pause_at_start)
            std::snprintf(page, sizeof page, "%sPage %02d", i > 1 ? "<WAIT=3200>" : "", i);
        else
            std::snprintf(page, sizeof page, "Page %02d<WAIT=3200>", i);
        pages += std::string(i > 1 ? "\n\n" : "") + page;
    }
    write_text(game + "/start.txt", R"(
scene main
{
    #SYSTEM_skip_absolute = 1;
    $SYSTEM_text_speed = 0;
    CreateColor("bg", 0, 0, 0, 1024, 576, "#000000");
    CreateName("sec");
    LoadText("main", "sec", "many", 800, 300, NULL, NULL);
    Request("sec/many", "Enter");
    Draw();
    WaitText("sec/many");
    WriteFile("after.txt", "yes", FALSE);
<PRE sec>
[many]
)" + pages + R"(
</PRE>
}
)");
    write_text(game + "/in.txt",
               "1500 key Ctrl\n1520 keyup Ctrl\n2500 key Return\n2900 keyup Return\n");
    return game;
}

// Screenshots before skipping (1.4 s), after Enter (3.4 s) and after every pause that was
// running at the Enter press has ended (7 s).
void expect_enter_keeps_the_page(const std::string& game) {
    const RunResult r = run_kestrune(
        {"--headless", "--save-dir", game + "/saves", "--input", game + "/in.txt", "--screenshot",
         "1400=" + game + "/before.png", "--screenshot", "3400=" + game + "/stopped.png",
         "--screenshot", "7000=" + game + "/later.png", "--max-seconds", "7.5", game});
    ASSERT_EQ(r.exit_code, 0) << r.output;
    const Rect text{0, 0, 400, 60};
    // Skip mode ran through some pages, and Enter stopped it before the end.
    EXPECT_FALSE(same_pixels(game + "/before.png", game + "/stopped.png", text));
    EXPECT_FALSE(std::filesystem::exists(game + "/after.txt"));
    // The page shown when skipping stopped waits for the reader.
    EXPECT_GT(white_pixels(game + "/later.png", text), 50);
    EXPECT_TRUE(same_pixels(game + "/stopped.png", game + "/later.png", text));
}

} // namespace

TEST(VnSkip, EnterStopsSkippingAndDoesNotAdvanceThePage) {
    expect_enter_keeps_the_page(write_skip_enter_game("vn_skip_enter", false));
}

// The same with a pause at the start of every page: the page wait on the pause's slot
// stays when skipping stops during that pause.
TEST(VnSkip, EnterDuringAPauseAtAPageStartKeepsThePage) {
    expect_enter_keeps_the_page(write_skip_enter_game("vn_skip_enter_start", true));
}

// The same page shown twice: read the first time, passed by skip mode the second time,
// and the new text after it stops skip mode unless skip_absolute is set.
TEST(VnSkip, SkipPassesReadTextAndStopsAtNewText) {
    const struct {
        const char* absolute;
        const char* log;
    } cases[] = {{"0", "L|one:0|one:1|after:0"}, {"1", "L|one:0|one:1|after:1|two"}};
    for (const auto& c : cases) {
        const std::string game =
            copy_game("vn_skip_read", std::string("vn_skip_read_") + c.absolute);
        ASSERT_TRUE(replace_once(game + "/start.txt", "#SYSTEM_skip_absolute = 0;",
                                 std::string("#SYSTEM_skip_absolute = ") + c.absolute + ";"));
        const RunResult r = run_kestrune({"--headless", "--save-dir", game + "/saves", "--input",
                                          game + "/read.in", "--max-seconds", "8", game});
        EXPECT_EQ(r.exit_code, 0) << r.output;
        EXPECT_EQ(read_text(game + "/log.txt"), c.log) << "skip_absolute " << c.absolute;
    }
}

// Auto mode: a page of 40 characters shown at 1 s passes its key wait after 40 times the
// wait per character: 4 s at 100 ms (page 1 still at 3.5 s, page 2 at 7 s), 1 s at 25 ms
// (page 2 by 3.5 s).
TEST(VnAuto, KeyWaitPassesAfterTheWaitPerCharacterTimesTheCharacters) {
    const struct {
        const char* per_character;
        bool first_page_at_3500;
    } cases[] = {{"100", true}, {"25", false}};
    const Rect long_line{200, 0, 500, 60}; // only page 1's line of 40 M reaches here
    for (const auto& c : cases) {
        const std::string game = copy_game("vn_auto", std::string("vn_auto_") + c.per_character);
        ASSERT_TRUE(
            replace_once(game + "/start.txt", "auto_wait_per_character = 100;",
                         std::string("auto_wait_per_character = ") + c.per_character + ";"));
        const std::string mid = game + "/mid.png", late = game + "/late.png";
        const RunResult r = run_kestrune({"--headless", "--save-dir", game + "/saves",
                                          "--screenshot", "3500=" + mid, "--screenshot",
                                          "7000=" + late, "--max-seconds", "7.5", game});
        ASSERT_EQ(r.exit_code, 0) << r.output;
        EXPECT_EQ(white_pixels(mid, long_line) > 100, c.first_page_at_3500)
            << c.per_character << " ms per character";
        EXPECT_EQ(white_pixels(late, long_line), 0) << c.per_character << " ms per character";
        EXPECT_EQ(read_text(game + "/after.txt"), "yes") << c.per_character;
    }
}

// Answering no: the close script ends and the main script's WaitText lets the story's
// picture and its key wait go on.
TEST(VnClose, AnsweringNoGoesBackToTheWaitingPage) {
    const std::string game = copy_game("vn_close", "vn_close_no");
    write_text(game + "/system/System.ini",
               k_script_section + "start=start.txt\r\nclose=close.txt\r\n");
    const RunResult r =
        run_kestrune({"--headless", "--save-dir", game + "/saves", "--input", game + "/no.in",
                      "--screenshot", "3200=" + game + "/back.png", "--max-seconds", "6", game});
    ASSERT_EQ(r.exit_code, 0) << r.output;
    EXPECT_EQ(read_text(game + "/answer.txt"), "3");
    // Back on the story's screen (its black background, not the question's blue-grey).
    kestrune::PixelImage back;
    ASSERT_TRUE(kestrune::scene::read_png_bgra((game + "/back.png").c_str(), back));
    EXPECT_EQ(back.row(500)[500 * 4 + 2], 0);
    EXPECT_EQ(read_text(game + "/after.txt"), "yes");
}
