// The soak's pieces: the render watchdog (--watchdog), the kitchen-sink game that the soak
// plays, and the verdicts of the soak driver tools/soak.sh, which are tried on stand-in
// programs that misbehave in one way each.
#include "run_game.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

using namespace kestrune::testing;

namespace {

const std::string k_source = KESTRUNE_SOURCE_DIR;

// The demo read through by its clickthrough under the watchdog: the render thread turns all
// along (held by the scripts, idle, drawing), so the watchdog never fires.
TEST(Soak, WatchdogStaysQuietOnANormalRun) {
    const std::string game = copy_folder(k_source + "/games/demo", "soak_demo");
    const RunResult r =
        run_kestrune({"--headless", "--watchdog", "5000", "--save-dir", game + "/saves", "--input",
                      game + "/clickthrough.in", "--max-seconds", "90", game},
                     300);
    EXPECT_EQ(r.exit_code, 0) << r.output;
    EXPECT_EQ(r.output.find("watchdog"), std::string::npos) << r.output;
}

// The kitchen sink passes the checker, and runs alone for a minute under the watchdog without
// a word on stderr, round after round (a copy notes each round it begins in a file).
TEST(Soak, KitchenSinkChecksCleanAndLoopsWithoutWarnings) {
    const RunResult check = run_kestrune({"--check", k_source + "/games/kitchen_sink"});
    EXPECT_EQ(check.exit_code, 0) << check.output;
    EXPECT_NE(check.output.find("0 errors, 0 warnings"), std::string::npos) << check.output;

    const std::string game = copy_folder(k_source + "/games/kitchen_sink", "soak_sink");
    const std::string script = game + "/script/main.txt";
    std::string text = read_text(script);
    const std::size_t at = text.find("        $round++;\n");
    ASSERT_NE(at, std::string::npos);
    text.insert(at + 18, "        WriteFile(\"round.txt\", $round, FALSE);\n");
    write_text(script, text);
    const RunResult r = run_kestrune({"--headless", "--watchdog", "5000", "--save-dir",
                                      game + "/saves", "--max-seconds", "60", game},
                                     600);
    EXPECT_EQ(r.exit_code, 0) << r.output;
    EXPECT_EQ(r.output, "");
    EXPECT_GE(std::atoi(read_text(game + "/round.txt").c_str()), 2)
        << "the kitchen sink did not finish its first round in 60 s";
}

// Each stand-in program fails the soak with its own verdict; a clean one passes it.
TEST(Soak, DriverFailsOnEveryKindOfFault) {
    // Only this stand-in runs into the wall-clock guard, which is short for it.
    static const char* const k_no_exit = "FAIL (hang: no exit after 2 s";
    struct Case {
        const char* what;
        const char* program; // the body of a stand-in "kestrune"
        int exit_code;
        const char* verdict;
        // Whose memory the soak judges (null: the fake game's).
        const char* memory_games = nullptr;
    };
    static const char* const k_growing =
        "exec awk 'BEGIN { t = \"x\"; for (i = 0; i < 18; i++) t = t t; "
        "for (i = 0; i < 50; i++) { a[i] = t i; system(\"sleep 0.1\") } }'";
    const std::vector<Case> cases = {
        {"clean", "exit 0", 0, "soak: passed: 1 run(s)"},
        {"watchdog",
         "echo 'kestrune: watchdog: no frame drawn for 5000 ms of engine time' >&2\nexit 3", 1,
         "FAIL (hang: kestrune: watchdog: no frame drawn"},
        {"exit code", "exit 1", 1, "FAIL (exit code 1)"},
        {"signal", "kill -SEGV $$", 1, "FAIL (killed by signal 11)"},
        {"address sanitizer", "echo '==1==ERROR: AddressSanitizer: heap-use-after-free' >&2", 1,
         "FAIL (sanitizer report)"},
        {"undefined behaviour", "echo 'a.cpp:3:5: runtime error: signed integer overflow' >&2", 1,
         "FAIL (sanitizer report)"},
        {"thread sanitizer", "echo 'WARNING: ThreadSanitizer: data race' >&2", 1,
         "FAIL (sanitizer report)"},
        {"thread left", "echo 'kestrune: a thread did not end within 1000 ms; left detached' >&2",
         1, "FAIL (a thread was still running at exit)"},
        {"no exit", "exec sleep 60", 1, k_no_exit},
        // A quarter of a megabyte more every tenth of a second (and a fork), fifty times: a
        // leak in a game that plays the same content round after round, but what a story
        // holds as the reader gets further.
        {"growing memory", k_growing, 1, "% over the last part of the run)"},
        {"growing memory of a story", k_growing, 0, "soak: passed: 1 run(s)", "kitchen_sink"},
    };
    const std::string game = scratch_dir("soak_fake_game");
    const std::string game_name = std::filesystem::path(game).filename().string();
    for (const Case& c : cases) {
        const std::string build = scratch_dir("soak_fake_build");
        write_text(build + "/kestrune", std::string("#!/bin/sh\n") + c.program + "\n");
        ASSERT_EQ(run_program("/bin/chmod", {"+x", build + "/kestrune"}).exit_code, 0);
        const RunResult r = run_program(
            "/usr/bin/env",
            {std::string("SOAK_WALL_LIMIT=") + (c.verdict == k_no_exit ? "2" : "100"),
             std::string("SOAK_MEMORY_GAMES=") + (c.memory_games ? c.memory_games : game_name),
             "sh", k_source + "/tools/soak.sh", "--seconds", "0", "--seed", "7", "--build", build,
             game},
            120);
        EXPECT_EQ(r.exit_code, c.exit_code) << c.what << "\n" << r.output;
        EXPECT_NE(r.output.find(c.verdict), std::string::npos) << c.what << "\n" << r.output;
        EXPECT_NE(r.output.find("seed 7"), std::string::npos) << c.what << "\n" << r.output;
    }
}

} // namespace
