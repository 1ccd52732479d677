// Whole-program runs: start, normal end, failed start, bad command-line use.
#include "run_game.h"

#include <gtest/gtest.h>

using namespace kestrune::testing;

// The demo waits for the reader at every page: its click-through file reads it to the end,
// where it quits by itself, long before --max-seconds. A run that ended early reports that a
// later screenshot shows its last frame.
TEST(Foundation, BundledDemoRunsHeadlessToItsEnd) {
    const std::string saves = scratch_dir("demo_saves");
    const std::string input = std::string(KESTRUNE_SOURCE_DIR) + "/games/demo/clickthrough.in";
    const RunResult r =
        run_kestrune({"--headless", "--save-dir", saves, "--input", input, "--time-scale", "2",
                      "--screenshot", "100000=" + saves + "/late.png", "--max-seconds", "120"},
                     90);
    EXPECT_EQ(r.exit_code, 0) << r.output;
    EXPECT_NE(r.output.find("the run ended before 100000 ms"), std::string::npos) << r.output;
}

TEST(Foundation, StartScriptWithoutMainFailsWithExitCode1) {
    const std::string game = scratch_dir("no_main");
    write_text(game + "/start.txt", "scene other\n{\n}\n");
    const RunResult r = run_kestrune({"--headless", "--save-dir", game + "/saves", game});
    EXPECT_EQ(r.exit_code, 1) << r.output;
    EXPECT_NE(r.output.find("main"), std::string::npos) << r.output;
}

TEST(Foundation, MissingGameFolderFailsWithExitCode1) {
    const RunResult r = run_kestrune({"--headless", "/nonexistent/kestrune/game"});
    EXPECT_EQ(r.exit_code, 1) << r.output;
    EXPECT_NE(r.output.find("/nonexistent/kestrune/game"), std::string::npos) << r.output;
}

TEST(Foundation, BadCommandLineExits2WithUsage) {
    for (const auto& args : std::vector<std::vector<std::string>>{{"--no-such-option"},
                                                                  {"--time-scale"},
                                                                  {"--max-seconds", "-1"},
                                                                  {"a", "b"},
                                                                  {"--watchdog", "0"},
                                                                  {"--watchdog", "5s"},
                                                                  {"--watchdog"}}) {
        const RunResult r = run_kestrune(args);
        EXPECT_EQ(r.exit_code, 2) << args[0] << "\n" << r.output;
        EXPECT_NE(r.output.find("usage: kestrune"), std::string::npos) << r.output;
    }
}

TEST(Foundation, VersionAndHelp) {
    EXPECT_EQ(run_kestrune({"--version"}).exit_code, 0);
    const RunResult help = run_kestrune({"--help"});
    EXPECT_EQ(help.exit_code, 0);
    EXPECT_NE(help.output.find("--save-dir"), std::string::npos);
}

TEST(Foundation, CheckListsScriptProblemsWithFileAndLine) {
    const std::string game = scratch_dir("check");
    write_text(game + "/start.txt", "scene main\n{\n}\n");
    const RunResult good = run_kestrune({"--check", game});
    EXPECT_EQ(good.exit_code, 0) << good.output;
    write_text(game + "/broken.txt", "scene other\n{\n    if ($a) {\n");
    const RunResult bad = run_kestrune({"--check", game});
    EXPECT_EQ(bad.exit_code, 1) << bad.output;
    EXPECT_NE(bad.output.find("broken.txt:"), std::string::npos) << bad.output;
}
