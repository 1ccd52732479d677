// A windowed run whose display goes away (the X server ends) stops with a message and exit
// code 1, not with a crash in the display library or in exit-time destructors. Skipped
// where Xvfb is not installed.
#include "run_game.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace kestrune::testing;
namespace fs = std::filesystem;

TEST(Window, LostDisplayEndsTheRunWithAMessage) {
    if (std::system("command -v Xvfb >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "Xvfb missing: no display to lose";
    const std::string game = scratch_dir("display_loss");
    write_text(game + "/start.txt", R"(
scene main
{
    CreateColor("bg", 0, 0, 0, 1024, 576, "#336699");
    Draw();
    WriteFile("ready.txt", "1", FALSE);
    Wait(60000);
}
)");
    const XServer x = start_xvfb("1024x576x24");
    if (x.pid < 0) GTEST_SKIP() << "Xvfb could not start";
    int status = 0;

    const pid_t engine =
        spawn_shell("DISPLAY=" + x.display + " exec " + KESTRUNE_BIN + " --save-dir " + game +
                    "/saves --max-seconds 60 " + game + " >" + game + "/out.txt 2>&1");
    for (int i = 0; i < 300 && !fs::exists(game + "/ready.txt"); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const bool ready = fs::exists(game + "/ready.txt");
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    stop_child(x.pid);
    ASSERT_TRUE(ready) << read_text(game + "/out.txt");

    ASSERT_TRUE(wait_for_exit(engine, 20, status)) << "did not end when the display went away";
    const std::string out = read_text(game + "/out.txt");
    ASSERT_TRUE(WIFEXITED(status)) << "killed by signal " << WTERMSIG(status) << "\n" << out;
    EXPECT_EQ(WEXITSTATUS(status), 1) << out;
    EXPECT_NE(out.find("the connection to the display was lost"), std::string::npos) << out;
}
