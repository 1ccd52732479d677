// The SDL window under a virtual X server shows exactly the frame the headless run
// composes. Skipped where Xvfb or ImageMagick's import is not installed.
#include "run_game.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace kestrune::testing;

namespace {

bool have(const char* program) {
    return std::system((std::string("command -v ") + program + " >/dev/null 2>&1").c_str()) == 0;
}

// Runs a shell command line as a child and returns its pid.
pid_t spawn(const std::string& command) {
    const pid_t pid = fork();
    if (pid == 0) {
        execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    return pid;
}

// Asks a child to end, and makes sure it does.
void stop(pid_t pid) {
    kill(pid, SIGTERM);
    for (int i = 0; i < 300; ++i) {
        if (waitpid(pid, nullptr, WNOHANG) != 0) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
}

} // namespace

TEST(Window, SdlWindowShowsTheComposedFrame) {
    if (!have("Xvfb") || !have("import") || !have("compare"))
        GTEST_SKIP() << "Xvfb or ImageMagick missing: the real window cannot be checked here";
    const std::string game = scratch_dir("window");
    write_text(game + "/start.txt", R"(
scene main
{
    CreateColor("bg", 0, 0, 0, 1024, 576, "#336699");
    CreateColor("box", 10, 100, 100, 300, 200, "#FFCC00");
    Draw();
    Wait(60000);
}
)");
    const std::string display = ":" + std::to_string(90 + getpid() % 9);
    const pid_t server = spawn("exec Xvfb " + display + " -screen 0 1024x576x24 -nolisten tcp");
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    if (waitpid(server, nullptr, WNOHANG) != 0) GTEST_SKIP() << "Xvfb could not start";

    const pid_t engine = spawn("DISPLAY=" + display + " exec " + KESTRUNE_BIN + " --save-dir " +
                               game + "/saves --max-seconds 20 " + game);
    // Let the window open and the frame settle, then photograph the whole screen: the
    // window is as large as the screen.
    std::this_thread::sleep_for(std::chrono::seconds(4));
    const std::string shot = game + "/window.png";
    const int imported =
        std::system(("DISPLAY=" + display + " import -window root " + shot).c_str());
    stop(engine);
    stop(server);
    ASSERT_EQ(imported, 0);

    const std::string headless = game + "/headless.png";
    const RunResult r = run_kestrune({"--headless", "--save-dir", game + "/saves", "--screenshot",
                                      "1000=" + headless, "--max-seconds", "2", game});
    ASSERT_EQ(r.exit_code, 0) << r.output;
    // Count differing pixels (a few may differ at the window's edge on some servers).
    const std::string metric = game + "/metric.txt";
    std::system(("compare -metric AE " + shot + " " + headless + " null: 2>" + metric).c_str());
    const long differing = std::atol(read_text(metric).c_str());
    EXPECT_LE(differing, 1024) << read_text(metric);
}
