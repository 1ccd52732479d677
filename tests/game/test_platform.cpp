// Platform start-up in whole runs: the system probe's variables, and one running copy per
// game (a second start of the same game is refused; other games and other save folders
// start side by side).
#include "run_game.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <future>
#include <thread>

using namespace kestrune::testing;

namespace {

// "[プロダクト]" in Shift-JIS: the product names that key the lock.
const std::string k_product_section = "[\x83\x76\x83\x8d\x83\x5f\x83\x4e\x83\x67]\r\n";

void write_settings(const std::string& game, const std::string& name) {
    write_text(game + "/system/System.ini",
               k_product_section + "bland=Tests\r\nname=" + name + "\r\nversion=1\r\n");
}

} // namespace

TEST(PlatformStart, ProbeFillsTheInformationVariables) {
    const std::string game = copy_game("platform_start", "platform_probe");
    const RunResult r =
        run_kestrune({"--headless", "--save-dir", game + "/saves", "--max-seconds", "5", game});
    ASSERT_EQ(r.exit_code, 0) << r.output;
    const std::string probe = read_text(game + "/probe.txt");
    EXPECT_NE(probe.find("Linux"), std::string::npos) << probe;
    EXPECT_NE(probe.find("MB RAM|SDL 2."), std::string::npos) << probe;
    EXPECT_EQ(probe.find('?'), std::string::npos) << probe;
}

TEST(PlatformStart, SecondStartOfTheSameGameIsRefused) {
    const std::string game = copy_game("platform_start", "platform_lock");
    write_settings(game, "One");
    // The first copy stays for three seconds of real time, holding the lock.
    write_text(game + "/start.txt", "scene main\n{\n    $o = \"up\";\n"
                                    "    WriteFile(\"up.txt\", $o, FALSE);\n    Wait(3000);\n}\n");
    auto first = std::async(std::launch::async, [&] {
        return run_kestrune(
            {"--headless", "--save-dir", game + "/saves", "--max-seconds", "10", game}, 60,
            Clock::wall);
    });
    for (int i = 0; i < 400 && !std::filesystem::exists(game + "/up.txt"); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
    ASSERT_TRUE(std::filesystem::exists(game + "/up.txt"));

    const RunResult second =
        run_kestrune({"--headless", "--save-dir", game + "/saves", "--max-seconds", "1", game});
    EXPECT_EQ(second.exit_code, 1) << second.output;
    EXPECT_NE(second.output.find("this game is already running"), std::string::npos)
        << second.output;
    // Another save folder (a test run of its own) starts.
    const RunResult other_folder =
        run_kestrune({"--headless", "--save-dir", game + "/saves2", "--max-seconds", "1", game});
    EXPECT_EQ(other_folder.exit_code, 0) << other_folder.output;
    // Another game in the same folder starts too.
    const std::string other = copy_game("platform_start", "platform_lock_other");
    write_settings(other, "Two");
    const RunResult other_game =
        run_kestrune({"--headless", "--save-dir", game + "/saves", "--max-seconds", "1", other});
    EXPECT_EQ(other_game.exit_code, 0) << other_game.output;

    EXPECT_EQ(first.get().exit_code, 0);
    // Once the first has ended, the game starts again.
    const RunResult again =
        run_kestrune({"--headless", "--save-dir", game + "/saves", "--max-seconds", "1", game});
    EXPECT_EQ(again.exit_code, 0) << again.output;
}
