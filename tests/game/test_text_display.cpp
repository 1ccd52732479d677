// The message display in whole-program runs: text appears a character at a time at the
// text speed, and a LoadText page waits at its end for the reader's click (or, in skip
// and auto mode, passes by itself).
#include "run_game.h"

#include "scene/frame_buffer.h"
#include "storage/pixel_image.h"

#include <gtest/gtest.h>

#include <filesystem>

using namespace kestrune::testing;

namespace {

// Bright pixels of a screenshot in the columns x_from..x_to of the band y_from..y_to.
int bright_pixels(const std::string& png, int x_from, int x_to, int y_from = 90, int y_to = 200) {
    kestrune::PixelImage image;
    if (!kestrune::scene::read_png_bgra(png.c_str(), image)) return -1;
    int n = 0;
    for (int y = y_from; y < y_to && y < image.height; ++y)
        for (int x = x_from; x < x_to && x < image.width; ++x)
            if (image.row(y)[x * 4 + 1] > 128) ++n;
    return n;
}

} // namespace

TEST(TextDisplay, CreateTextRevealsCharacterByCharacterThenWaitTextEnds) {
    const std::string game = scratch_dir("text_display_reveal");
    // 20 characters at 200 ms each: after about one second only the first few are shown.
    write_text(game + "/start.txt", R"(
scene main
{
    CreateColor("bg", 0, 0, 0, 1024, 576, "#000000");
    Wait(500);
    CreateText("t", 10, 100, 100, AUTO, AUTO, "<FONT SIZE=48><INTERVAL=200>MMMMMMMMMMMMMMMMMMMM</INTERVAL></FONT>");
    Draw();
    WaitText("t");
    WriteFile("done.txt", "yes", FALSE);
    Wait(20000);
}
)");
    const std::string early = game + "/early.png", late = game + "/late.png";
    const RunResult r =
        run_kestrune({"--headless", "--save-dir", game + "/s", "--time-scale", "1", "--screenshot",
                      "1500=" + early, "--screenshot", "6500=" + late, "--max-seconds", "7", game});
    ASSERT_EQ(r.exit_code, 0) << r.output;
    // Early: some text near the start, nothing yet at the far end of the line.
    EXPECT_GT(bright_pixels(early, 90, 300), 100);
    EXPECT_EQ(bright_pixels(early, 600, 1024), 0);
    // Late: the whole line, and WaitText has returned.
    EXPECT_GT(bright_pixels(late, 600, 1024), 100);
    EXPECT_EQ(read_text(game + "/done.txt"), "yes");
}

TEST(TextDisplay, SpeedZeroOrAClickShowsTheRestAtOnce) {
    const struct {
        const char* name;
        const char* setup; // script line before CreateText
        const char* input; // --input file text
    } cases[] = {{"speed0", "$SYSTEM_text_speed = 0;", "1000 move 100 100\n"},
                 {"click", "$SYSTEM_text_speed = 500;", "1000 move 100 100\n1300 click 100 100\n"}};
    for (const auto& c : cases) {
        const std::string game = scratch_dir(std::string("text_display_rest_") + c.name);
        write_text(game + "/start.txt", std::string(R"(
scene main
{
    CreateColor("bg", 0, 0, 0, 1024, 576, "#000000");
    SetBaseTextInterval(600);
    )") + c.setup + R"(
    Wait(500);
    CreateText("t", 10, 100, 100, AUTO, AUTO, "<FONT SIZE=48>MMMMMMMMMMMMMMMMMMMM</FONT>");
    Draw();
    Wait(20000);
}
)");
        write_text(game + "/in.txt", c.input);
        const std::string shot = game + "/shot.png";
        const RunResult r =
            run_kestrune({"--headless", "--save-dir", game + "/s", "--input", game + "/in.txt",
                          "--screenshot", "2000=" + shot, "--max-seconds", "2.5", game});
        ASSERT_EQ(r.exit_code, 0) << r.output;
        // 20 characters at 300 ms (factor 0.5 of 600 ms) would take six seconds: the far end
        // is already there.
        EXPECT_GT(bright_pixels(shot, 600, 1024), 100) << c.name;
    }
}

TEST(TextDisplay, LoadTextPageWaitsForAClickOrPassesInSkipAndAutoMode) {
    const struct {
        const char* input;
        bool continues;
        bool auto_mode;
    } cases[] = {{"click.in", true, false},
                 {"idle.in", false, false},
                 {"skip.in", true, false},
                 // Auto mode: the key wait becomes a pause of 100 ms per character shown.
                 {"idle.in", true, true}};
    for (const auto& c : cases) {
        const std::string game = copy_game("text_page", std::string("text_page_") + c.input +
                                                            (c.auto_mode ? "_auto" : ""));
        if (c.auto_mode) {
            std::string script = read_text(game + "/start.txt");
            const std::string at = "#SYSTEM_skip_absolute = 1;";
            script.insert(script.find(at), "$SYSTEM_text_auto = 1;\n    ");
            write_text(game + "/start.txt", script);
        }
        const RunResult r =
            run_kestrune({"--headless", "--save-dir", game + "/saves", "--input",
                          game + "/" + c.input, "--max-seconds", "3", "--time-scale", "1", game});
        EXPECT_EQ(r.exit_code, 0) << r.output;
        EXPECT_EQ(std::filesystem::exists(game + "/after.txt"), c.continues)
            << c.input << (c.auto_mode ? " (auto mode)" : "") << r.output;
        // The last-text variable mirrors the page shown last (its hidden period is a pause).
        if (c.continues) {
            EXPECT_EQ(read_text(game + "/last.txt"), "Second page") << c.input;
        }
    }
}

TEST(TextDisplay, ScriptBlockInsideTheTextRunsWhileTheTextWaits) {
    const std::string game = scratch_dir("text_display_inline");
    // The block inside the prose runs when the reveal reaches it; the rest of the text
    // comes after it has ended (its Wait holds the text back).
    write_text(game + "/start.txt", R"(
scene main
{
    $SYSTEM_text_speed = 0;
    CreateColor("bg", 0, 0, 0, 1024, 576, "#000000");
    CreateName("sec");
    LoadText("main", "sec", "one", 800, 300, NULL, NULL);
    Request("sec/one", "Enter");
    Draw();
    WaitText("sec/one");
    WriteFile("last.txt", $SYSTEM_last_text, FALSE);
<PRE sec>
[one]
Before{ #seen = 1; WriteFile("inline.txt", "ran", FALSE); Wait(1500); }after
</PRE>
}
)");
    const std::string during = game + "/during.png";
    const RunResult r =
        run_kestrune({"--headless", "--save-dir", game + "/s", "--time-scale", "1", "--screenshot",
                      "1000=" + during, "--max-seconds", "6", game});
    ASSERT_EQ(r.exit_code, 0) << r.output;
    EXPECT_EQ(read_text(game + "/inline.txt"), "ran");
    EXPECT_EQ(read_text(game + "/last.txt"), "after") << r.output;
    // While the block waits, "Before" is out and "after" is not.
    EXPECT_GT(bright_pixels(during, 0, 100, 0, 60), 0);
    EXPECT_EQ(bright_pixels(during, 150, 1024, 0, 60), 0);
}

TEST(TextDisplay, SpaceHidesHideableObjectsAndAClickShowsThemWithoutAdvancing) {
    const std::string game = scratch_dir("text_display_hide");
    write_text(game + "/start.txt", R"(
scene main
{
    $SYSTEM_text_speed = 0;
    $SYSTEM_text_erase = 0;
    CreateColor("bg", 0, 0, 0, 1024, 576, "#000000");
    CreateColor("window", 10, 0, 100, 1024, 100, "#00FF00");
    Request("window", "Hideable");
    CreateName("sec");
    LoadText("main", "sec", "one", 800, 300, NULL, NULL);
    Request("sec/one", "Enter");
    Draw();
    WaitText("sec/one");
    WriteFile("after.txt", $SYSTEM_text_erase, FALSE);
<PRE sec>
[one]
Page

next
</PRE>
}
)");
    // Space hides the window; a click while it is hidden only shows it again (the key wait
    // goes on); the next click ends the key wait.
    const std::string hide_and_click = "1500 key Space\n1550 keyup Space\n2000 click 100 100\n";
    for (const bool second_click : {false, true}) {
        write_text(game + "/in.txt", hide_and_click + (second_click ? "2700 click 100 100\n" : ""));
        std::filesystem::remove(game + "/after.txt");
        const std::string hidden = game + "/hidden.png", shown = game + "/shown.png";
        const RunResult r =
            run_kestrune({"--headless", "--save-dir", game + "/s", "--input", game + "/in.txt",
                          "--time-scale", "1", "--screenshot", "1800=" + hidden, "--screenshot",
                          "2400=" + shown, "--max-seconds", "4", game});
        ASSERT_EQ(r.exit_code, 0) << r.output;
        EXPECT_EQ(bright_pixels(hidden, 0, 1024), 0) << "the Hideable window is not drawn";
        EXPECT_GT(bright_pixels(shown, 0, 1024), 1000);
        if (second_click)
            EXPECT_EQ(read_text(game + "/after.txt"), "0") << r.output;
        else
            EXPECT_FALSE(std::filesystem::exists(game + "/after.txt"))
                << "the click only showed the window";
    }
}
