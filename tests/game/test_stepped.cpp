// Stepped engine time: a run depends on nothing but the game, the input file and the
// options. The same run twice (once beside a busy machine) records the same frames and
// writes the same files; a screenshot shows the state at exactly its moment; a key wait
// ends at exactly the moment of the press; the demo's first seconds match the frames
// recorded when they were last regenerated on purpose (make golden).
#include "run_game.h"

#include "scene/frame_buffer.h"
#include "storage/pixel_image.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

using namespace kestrune::testing;

namespace {

std::string copy_demo(const std::string& scratch_name) {
    return copy_folder(std::string(KESTRUNE_SOURCE_DIR) + "/games/demo", scratch_name);
}

// Busy child processes, one per core, for as long as the object lives.
class CpuHog {
public:
    explicit CpuHog(int count) {
        for (int i = 0; i < count; ++i) {
            const pid_t pid = fork();
            if (pid == 0) {
                volatile unsigned long n = 0;
                for (;;) n = n + 1;
            }
            if (pid > 0) m_pids.push_back(pid);
        }
    }
    ~CpuHog() {
        for (pid_t pid : m_pids) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
    }

private:
    std::vector<pid_t> m_pids;
};

// Lines "<frame> <ms> <hash>" of a recording, as the engine writes them in frames.txt.
std::vector<std::string> frame_lines(const std::string& record_dir) {
    std::vector<std::string> lines;
    std::istringstream in(read_text(record_dir + "/frames.txt"));
    for (std::string line; std::getline(in, line);)
        if (!line.empty()) lines.push_back(line);
    return lines;
}

// The first line where two recordings differ, or an empty text when they are the same.
std::string first_difference(const std::vector<std::string>& expected,
                             const std::vector<std::string>& got) {
    for (std::size_t i = 0; i < std::max(expected.size(), got.size()); ++i) {
        const std::string e = i < expected.size() ? expected[i] : "(none)";
        const std::string g = i < got.size() ? got[i] : "(none)";
        if (e != g)
            return "frame " + std::to_string(i) + ": expected \"" + e + "\", got \"" + g + "\"";
    }
    return {};
}

RunResult run_demo_recorded(const std::string& game, const std::string& record_dir,
                            const std::string& max_seconds) {
    return run_kestrune({"--headless", "--stepped", "--save-dir", game + "/saves", "--input",
                         game + "/clickthrough.in", "--record", record_dir, "--max-seconds",
                         max_seconds, game},
                        300);
}

} // namespace

// Two stepped runs of the demo read through, the second with every core kept busy by other
// processes, record the same frames at the same engine times and write the same files.
TEST(Stepped, DemoRunsTheSameOnAnIdleAndABusyMachine) {
    const std::string game = copy_demo("stepped_demo");
    const std::string script = game + "/script/main.txt";
    std::string text = read_text(script);
    const std::size_t at = text.find("    Exit();");
    ASSERT_NE(at, std::string::npos);
    text.insert(at, "    $now = MilliTime();\n    WriteFile(\"end.txt\", $now, FALSE);\n");
    write_text(script, text);

    const RunResult idle = run_demo_recorded(game, game + "/idle", "120");
    ASSERT_EQ(idle.exit_code, 0) << idle.output;
    const std::string idle_end = read_text(game + "/end.txt");
    std::filesystem::remove(game + "/end.txt");
    RunResult busy;
    {
        CpuHog hog(2);
        busy = run_demo_recorded(game, game + "/busy", "120");
    }
    ASSERT_EQ(busy.exit_code, 0) << busy.output;

    const std::vector<std::string> a = frame_lines(game + "/idle");
    ASSERT_GT(a.size(), 100u);
    EXPECT_EQ(first_difference(a, frame_lines(game + "/busy")), "");
    EXPECT_FALSE(idle_end.empty());
    EXPECT_EQ(read_text(game + "/end.txt"), idle_end);
}

// The demo's first seconds, frame by frame, against the committed recording. A change to
// what the reader sees fails here, naming the first frame that differs; when the change is
// meant, `make golden` records the frames anew.
TEST(Stepped, DemoFramesMatchTheGoldenRecording) {
    const std::string game = copy_demo("stepped_golden");
    const std::string record = game + "/frames";
    const RunResult r = run_demo_recorded(game, record, "8");
    ASSERT_EQ(r.exit_code, 0) << r.output;
    const std::string golden_path =
        std::string(KESTRUNE_SOURCE_DIR) + "/tests/game/golden/demo_frames.txt";
    if (const char* out = std::getenv("KESTRUNE_WRITE_GOLDEN")) {
        std::filesystem::copy_file(record + "/frames.txt", out,
                                   std::filesystem::copy_options::overwrite_existing);
        GTEST_SKIP() << "golden frames written to " << out;
    }
    std::vector<std::string> expected;
    std::istringstream in(read_text(golden_path));
    for (std::string line; std::getline(in, line);)
        if (!line.empty() && line[0] != '#') expected.push_back(line);
    ASSERT_FALSE(expected.empty()) << "no golden recording at " << golden_path;
    EXPECT_EQ(first_difference(expected, frame_lines(record)), "")
        << "the frames under " << record << " show what changed";
}

// Exact values where the formula gives them: a fade of 1000 ms halfway through, and the
// engine time at which a key wait ends (the moment of the press).
TEST(Stepped, ScreenshotsAndWaitsLandOnTheirExactMoments) {
    const std::string game = scratch_dir("stepped_exact");
    write_text(game + "/system/System.ini", k_script_section + "start=start.txt\r\n");
    write_text(game + "/start.txt", "scene main\n{\n"
                                    "    CreateColor(\"c\", 100, 0, 0, 1024, 576, \"WHITE\");\n"
                                    "    Fade(\"c\", 0, 0, NULL, FALSE);\n"
                                    "    Draw();\n"
                                    "    Fade(\"c\", 1000, 1000, NULL, TRUE);\n"
                                    "    $before = MilliTime();\n"
                                    "    WaitKey();\n"
                                    "    $after = MilliTime();\n"
                                    "    WriteFile(\"before.txt\", $before, FALSE);\n"
                                    "    WriteFile(\"after.txt\", $after, FALSE);\n"
                                    "}\n");
    write_text(game + "/in.txt", "2345 key Return\n2400 keyup Return\n");
    const std::string half = game + "/half.png";
    const RunResult r = run_kestrune({"--headless", "--stepped", "--save-dir", game + "/s",
                                      "--input", game + "/in.txt", "--screenshot", "600=" + half,
                                      "--max-seconds", "10", game});
    ASSERT_EQ(r.exit_code, 0) << r.output;
    const std::string times =
        read_text(game + "/before.txt") + " " + read_text(game + "/after.txt");
    EXPECT_EQ(read_text(game + "/after.txt"), "2345") << times;
    kestrune::PixelImage image;
    ASSERT_TRUE(kestrune::scene::read_png_bgra(half.c_str(), image));
    // The fade counts its frames of 16 ms from the first render cycle after the Draw (at
    // 16 ms): at 600 ms it is at frame 36 of 60, opacity 255 * 36 / 60 = 153, and white
    // drawn over black at that opacity reads 255 * (255 * 153 / 256) / 256 = 151.
    EXPECT_EQ(int(image.row(288)[512 * 4]), 151) << times;
}

// A script loop that never waits must not stop stepped time: every thousand steps of the
// statement loop cost a millisecond, so the render thread and the main loop go on and
// --max-seconds ends an endless loop as it would on the wall clock.
TEST(Stepped, AScriptLoopWithoutWaitsMovesTimeOn) {
    const std::string game = scratch_dir("stepped_busy");
    write_text(game + "/system/System.ini", k_script_section + "start=start.txt\r\n");
    write_text(game + "/start.txt", "scene main\n{\n"
                                    "    $t = MilliTime();\n"
                                    "    $i = 1;\n"
                                    "    while ($i <= 50000) { $i = $i + 1; }\n"
                                    "    $e = MilliTime() - $t;\n"
                                    "    WriteFile(\"loop.txt\", $e, FALSE);\n"
                                    "    while (1) { $i = $i + 1; }\n"
                                    "}\n");
    const RunResult r = run_kestrune(
        {"--headless", "--stepped", "--save-dir", game + "/s", "--max-seconds", "2", game}, 60);
    EXPECT_EQ(r.exit_code, 0) << r.output;
    // Some hundred milliseconds: a few steps for each of the 50,000 rounds.
    const int loop_ms = std::atoi(read_text(game + "/loop.txt").c_str());
    EXPECT_GE(loop_ms, 50) << r.output;
    EXPECT_LE(loop_ms, 1000) << r.output;
}

// --stepped belongs to headless runs only; --seed wants a whole number.
TEST(Stepped, RefusedWithAWindowAndBadSeeds) {
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"--stepped"}, {"--headless", "--seed", "x"}, {"--headless", "--seed", "-1"}}) {
        const RunResult r = run_kestrune(args);
        EXPECT_EQ(r.exit_code, 2) << r.output;
    }
}
