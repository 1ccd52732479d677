// Whole-program runs driven by --input files: clicks and keys end waits (one press each), the
// key rate limit, skip_lock, letter shortcuts and the close script. Input times are engine
// time since the program started, on the stepped clock.
#include "run_game.h"

#include <gtest/gtest.h>

#include <filesystem>

using namespace kestrune::testing;

namespace {

RunResult run_game(const std::string& game, const std::string& input, const char* max_seconds,
                   const char* time_scale = "1") {
    return run_kestrune({"--headless", "--save-dir", game + "/saves", "--input", game + "/" + input,
                         "--max-seconds", max_seconds, "--time-scale", time_scale, game});
}

} // namespace

TEST(InputGame, ClickEndsAKeyWaitAndOtherInputDoesNot) {
    const struct {
        const char* input;
        bool ends;
    } cases[] = {{"click.in", true}, {"idle.in", false}};
    for (const auto& c : cases) {
        const std::string game = copy_game("input_click", std::string("input_click_") + c.input);
        const RunResult r = run_game(game, c.input, "5");
        EXPECT_EQ(r.exit_code, 0) << r.output;
        EXPECT_EQ(std::filesystem::exists(game + "/clicked.txt"), c.ends) << c.input;
    }
}

TEST(InputGame, TwoEnterPresses50MsApartCountAsOne) {
    const std::string game = copy_game("input_enter", "input_enter");
    const RunResult r = run_game(game, "enter.in", "4");
    EXPECT_EQ(r.exit_code, 0) << r.output;
    EXPECT_EQ(read_text(game + "/enter.txt"), "0,1");
}

// A press that is still held, or a wheel turn that nothing resets, must not end a second
// WaitKey: the wait that ends on an input uses it up.
TEST(InputGame, OnePressEndsOneWaitKey) {
    const struct {
        const char* input;
        const char* second; // how the second wait ended: P by a press, T by its time limit
    } cases[] = {{"enter_held.in", "T"},
                 {"enter_twice.in", "P"},
                 {"click_once.in", "T"},
                 {"click_twice.in", "P"},
                 {"wheel_once.in", "T"}};
    for (const auto& c : cases) {
        const std::string game =
            copy_game("input_waitkey", std::string("input_waitkey_") + c.input);
        const RunResult r = run_game(game, c.input, "8");
        EXPECT_EQ(r.exit_code, 0) << r.output;
        EXPECT_EQ(read_text(game + "/second.txt"), c.second) << c.input << r.output;
    }
}

// A held press that a key wait lets pass must not wake it round after round: the wait runs
// out after its time (a spin would stop the stepped clock, and the run would never end).
TEST(InputGame, AKeyWaitRunsOutWhileAPressItLetPassIsHeld) {
    for (const char* c : {"off", "over"}) {
        const std::string game =
            copy_game("input_passed_click", std::string("input_passed_click_") + c);
        write_text(game + "/case.txt", c);
        const RunResult r = run_game(game, "held.in", "6");
        EXPECT_EQ(r.exit_code, 0) << c << r.output;
        EXPECT_EQ(read_text(game + "/waited.txt"), "ran out") << c << r.output;
    }
}

TEST(InputGame, SkipLockKeepsCtrlFromSkipping) {
    const struct {
        const char* start;
        const char* expected; // Enter down when the key wait ended
    } cases[] = {{"free.txt", "0"}, {"locked.txt", "1"}};
    for (const auto& c : cases) {
        const std::string game = copy_game("input_skip", std::string("input_skip_") + c.start);
        write_text(game + "/system/System.ini", k_script_section + "start=" + c.start + "\r\n");
        const RunResult r = run_game(game, "tap_ctrl.in", "5");
        EXPECT_EQ(r.exit_code, 0) << r.output;
        EXPECT_EQ(read_text(game + "/skip.txt"), c.expected) << c.start << r.output;
    }
}

TEST(InputGame, LetterShortcutRunsAsSystemScriptWhileMainStandsStill) {
    const std::string game = copy_game("input_shortcut", "input_shortcut");
    const RunResult r = run_game(game, "press_s.in", "6");
    EXPECT_EQ(r.exit_code, 0) << r.output;
    EXPECT_EQ(read_text(game + "/log.txt"), "abB1c") << r.output;
}

TEST(InputGame, EscapeRunsTheConfiguredCloseScript) {
    const std::string game = copy_game("input_close", "input_close");
    write_text(game + "/system/System.ini",
               k_script_section + "start=start.txt\r\nclose=close.txt\r\n");
    const RunResult r = run_game(game, "escape.in", "5");
    EXPECT_EQ(r.exit_code, 0) << r.output;
    EXPECT_EQ(read_text(game + "/closed.txt"), "close script ran");
    EXPECT_EQ(read_text(game + "/log.txt"), "mxe");
}

TEST(InputGame, EscapeWithoutCloseScriptAsksBeforeQuitting) {
    // Esc at 1200 asks; the answer comes by key or by mouse. Yes quits before the script's
    // wait ends; no (or Esc) goes back to the game, which writes its log at 2000. A second
    // close request while the question is up quits. Yes is at 459,331 and no at 565,331.
    const struct {
        const char* name;
        const char* answer;
        bool quits;
    } cases[] = {{"enter", "1400 key Return\n", true},
                 {"escape", "1400 key Escape\n", false},
                 {"tab_space", "1400 key Tab\n1450 key Space\n", false},
                 {"click_yes", "1400 click 459 331\n", true},
                 {"click_no", "1400 click 565 331\n", false},
                 {"close_again", "1400 quit\n", true}};
    for (const auto& c : cases) {
        const std::string game =
            copy_game("input_close", std::string("input_close_quit_") + c.name);
        // Enter at 1600 would answer yes had the question stayed open.
        write_text(game + "/answer.in", std::string("1200 key Escape\n1220 keyup Escape\n") +
                                            c.answer + "1600 key Return\n");
        const RunResult r = run_game(game, "answer.in", "20");
        EXPECT_EQ(r.exit_code, 0) << r.output;
        EXPECT_EQ(std::filesystem::exists(game + "/log.txt"), !c.quits) << c.name;
    }
}

TEST(InputGame, CloseButtonAsksWhileASystemScriptRunsAndWaitsDuringStartUp) {
    // S starts a shortcut script at 1200 (a system script); the close button at 1500 cannot
    // start a close script then and asks instead; Enter answers yes. A close request at 0,
    // before the game runs, is kept until it does (and then asks).
    const struct {
        const char* name;
        const char* input;
    } cases[] = {{"system_script", "1200 key S\n1220 keyup S\n1500 quit\n1700 key Return\n"},
                 {"start_up", "0 quit\n700 key Return\n"}};
    for (const auto& c : cases) {
        const std::string game = copy_game("input_shortcut", std::string("input_close_") + c.name);
        write_text(game + "/close.in", c.input);
        const RunResult r = run_game(game, "close.in", "20");
        EXPECT_EQ(r.exit_code, 0) << r.output;
        EXPECT_FALSE(std::filesystem::exists(game + "/log.txt")) << c.name;
    }
}

// The close button 130 ms after Esc started the close script (which ends at once) cannot
// start it again so soon: the request is not dropped but asks, and Enter answers yes.
TEST(InputGame, CloseButtonRightAfterTheCloseScriptAsks) {
    const std::string game = copy_game("input_close", "input_close_again");
    write_text(game + "/system/System.ini",
               k_script_section + "start=start.txt\r\nclose=close.txt\r\n");
    write_text(game + "/again.in",
               "1200 key Escape\n1220 keyup Escape\n1330 quit\n1600 key Return\n");
    const RunResult r = run_game(game, "again.in", "6");
    EXPECT_EQ(r.exit_code, 0) << r.output;
    EXPECT_EQ(read_text(game + "/closed.txt"), "close script ran");
    EXPECT_FALSE(std::filesystem::exists(game + "/log.txt")) << "the run went on";
}

TEST(InputGame, BadInputFileIsRefusedWithFileAndLine) {
    const std::string game = copy_game("input_click", "input_bad");
    write_text(game + "/bad.in", "100 click 1 2\n200 kye Return\n");
    const RunResult r = run_game(game, "bad.in", "2");
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_NE(r.output.find("bad.in:2: unknown event \"kye\""), std::string::npos) << r.output;
}
