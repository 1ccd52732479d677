// SIGTERM, in whatever the engine is doing, ends the run in order: the threads stop, the
// global variables are written, and the exit code says which signal ended it (128 + 15).
// These runs follow the wall clock: the signal comes from outside, once the script has
// written that it reached its phase.
#include "run_game.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace kestrune::testing;
namespace fs = std::filesystem;

namespace {

pid_t spawn_engine(const std::vector<std::string>& args) {
    std::vector<char*> argv;
    std::string bin = KESTRUNE_BIN;
    argv.push_back(bin.data());
    std::vector<std::string> copy = args;
    for (auto& a : copy) argv.push_back(a.data());
    argv.push_back(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        // The child's output would only clutter the test log.
        freopen("/dev/null", "w", stdout);
        execv(argv[0], argv.data());
        _exit(127);
    }
    return pid;
}

bool wait_for_file(const std::string& path, int seconds) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (std::chrono::steady_clock::now() < until) {
        if (fs::exists(path)) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

} // namespace

TEST(Signals, SigtermEndsEveryPhaseInOrder) {
    struct Phase {
        const char* name;
        const char* work; // runs after the marker file is written
    };
    const Phase phases[] = {
        {"reading", "Wait(60000);"},
        {"text", "CreateText(\"t\", 10, 20, 20, 600, 40, \"a line the reader is reading\");\n"
                 "    Draw();\n    WaitKey();"},
        {"transition",
         "CreateColor(\"night\", 0, 0, 0, 1024, 576, \"#203050\");\n"
         "    DrawTransition(\"night\", 60000, 0, 1000, \"rule_wipe.png\", 64, NULL, TRUE);"},
        {"saving", "while (1)\n    {\n        Save(1);\n    }"},
    };
    for (const Phase& p : phases) {
        SCOPED_TRACE(p.name);
        const std::string game = scratch_dir(std::string("signals_") + p.name);
        fs::copy_file(std::string(KESTRUNE_SOURCE_DIR) + "/games/demo/cg/rule_wipe.png",
                      game + "/rule_wipe.png");
        write_text(game + "/start.txt", std::string(R"(
scene main
{
    #runs = #runs + 1;
    CreateColor("bg", 0, 0, 0, 1024, 576, "#000000");
    Draw();
    WriteFile("ready.txt", "1", FALSE);
    )") + p.work + "\n}\n");
        const pid_t pid = spawn_engine(
            {"--headless", "--save-dir", game + "/saves", "--max-seconds", "60", game});
        ASSERT_TRUE(wait_for_file(game + "/ready.txt", 30));
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        kill(pid, SIGTERM);
        int status = 0;
        ASSERT_TRUE(wait_for_exit(pid, 10, status)) << "did not end after SIGTERM";
        ASSERT_TRUE(WIFEXITED(status)) << "killed by signal " << WTERMSIG(status);
        EXPECT_EQ(WEXITSTATUS(status), 128 + SIGTERM);

        // The globals of the ended run were kept: the next run counts on from them.
        write_text(game + "/start.txt", "scene main\n{\n    $out = \"\" + #runs;\n    "
                                        "WriteFile(\"runs.txt\", $out, FALSE);\n}\n");
        const RunResult r = run_kestrune({"--headless", "--save-dir", game + "/saves", game});
        EXPECT_EQ(r.exit_code, 0) << r.output;
        EXPECT_EQ(read_text(game + "/runs.txt"), "1");
    }
}

// A signal before the engine has started anything still ends it, at once or in order.
TEST(Signals, SigtermDuringStartUpEndsTheRun) {
    const std::string game = scratch_dir("signals_startup");
    write_text(game + "/start.txt", "scene main\n{\n    Wait(60000);\n}\n");
    for (int delay_ms : {0, 5, 20, 60}) {
        const pid_t pid = spawn_engine(
            {"--headless", "--save-dir", game + "/saves", "--max-seconds", "60", game});
        std::this_thread::sleep_for(std::chrono::milliseconds(delay_ms));
        kill(pid, SIGTERM);
        int status = 0;
        ASSERT_TRUE(wait_for_exit(pid, 10, status)) << "did not end after SIGTERM at " << delay_ms;
        const bool ended = (WIFEXITED(status) && WEXITSTATUS(status) == 128 + SIGTERM) ||
                           (WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM);
        EXPECT_TRUE(ended) << "status " << status << " at " << delay_ms << " ms";
    }
}
