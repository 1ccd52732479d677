// Runs the built kestrune program as a child process and collects its exit code and output.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace kestrune::testing {

struct RunResult {
    int exit_code = -1; // -1: did not end in time (killed) or could not start
    std::string output; // stdout and stderr together
};

// Which clock a headless run follows. Whole-game tests run stepped, so that what they
// check does not depend on the machine's load; a test of real-time behaviour (pacing, the
// window) asks for the wall clock.
enum class Clock { stepped, wall };

// Runs kestrune with `args`; a headless run gets --stepped unless `clock` is Clock::wall.
RunResult run_kestrune(const std::vector<std::string>& args, int timeout_seconds = 60,
                       Clock clock = Clock::stepped);
// Runs another program of the build (a tool such as kestrune-pack) the same way.
RunResult run_program(const std::string& program, const std::vector<std::string>& args,
                      int timeout_seconds = 60);

// A fresh empty folder under the build tree, removed and re-created on each call.
std::string scratch_dir(const std::string& name);
void write_text(const std::string& path, const std::string& text);
std::string read_text(const std::string& path);
// A saved file's block (a container keyed by the file's own name, such as "frames.vkf"),
// decoded; empty when it does not decode. write_save_block encodes `content` back into the
// file (false when it could not).
std::string read_save_block(const std::string& path);
bool write_save_block(const std::string& path, const std::string& content);
// The frames a game wrote around a save (at.vkf, mid.vkf and end.vkf with the number of
// loads before the dot: 0 in the run that saved, 1 after the load) are the same, byte for
// byte, in both runs.
void expect_frames_match_after_load(const std::string& game);
// Copies a folder (a game the run may write into) into a fresh scratch folder of that
// name and returns the copy; copy_game takes the folder from tests/game.
std::string copy_folder(const std::string& from, const std::string& scratch_name);
std::string copy_game(const std::string& folder, const std::string& scratch_name);

// A 24-bit Windows bitmap of w x h; `pixel(x, y)` gives the blue, green and red bytes of
// each pixel (y counts the rows as stored, bottom row first).
std::string bitmap24(int w, int h,
                     const std::function<std::array<std::uint8_t, 3>(int x, int y)>& pixel);

// Runs a shell command line as a child (for runs that a test signals or times itself) and
// returns its pid.
pid_t spawn_shell(const std::string& command);
// Waits up to `seconds` for the child to end and stores its wait status; false (and the
// child killed) when it did not end.
bool wait_for_exit(pid_t pid, int seconds, int& status);

// A virtual X server (Xvfb) on a display number it picks itself, so that tests running side
// by side never share one. `screen` is Xvfb's -screen 0 argument and extra options, such as
// "1024x576x24" or "1280x1024x24 -br". pid is -1 when Xvfb is missing or did not come up.
struct XServer {
    pid_t pid = -1;
    std::string display; // ":N"
};
XServer start_xvfb(const std::string& screen);
// Asks a child to end with SIGTERM, and kills it if it has not ended within 3 s.
void stop_child(pid_t pid);

// "[スクリプト]" in Shift-JIS, as the settings file spells its section names.
inline const std::string k_script_section = "[\x83\x58\x83\x4e\x83\x8a\x83\x76\x83\x67]\r\n";

} // namespace kestrune::testing
