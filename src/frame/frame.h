// The engine frame as main() sees it: the command line, and the run of a game from the
// start-up chain through the main loop to shutdown.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace kestrune::frame {

struct Options {
    std::string game_dir; // empty: the bundled demo
    bool headless = false;
    std::string input_file;
    std::vector<std::pair<std::uint32_t, std::string>> screenshots; // engine ms, file
    std::string record_dir;
    std::string audio_out;
    std::string cursor_log; // headless: the pointer's changes, for tests
    std::string save_dir;
    double time_scale = 1.0;
    double max_seconds = 0.0; // 0: no limit
    bool stepped = false;     // headless only: stepped engine time
    std::uint64_t seed = 0;   // seed of the random built-ins, when seed_given or stepped
    bool seed_given = false;
    std::uint32_t watchdog_ms = 0; // --watchdog: 0 for none
    bool check = false;
    bool quiet = false;   // errors only: no warnings from --check, none while running
    bool strict = false;  // the first warning while running ends the run with exit code 1
    std::string new_game; // --new DIR: make a starter game there
    bool show_version = false;
    bool show_help = false;
};

enum class ParseResult { ok, bad_usage };

// Parses argv. On bad use fills `error` with one line and returns bad_usage. Paths are
// made absolute against the current directory (the game folder becomes the working
// directory later).
ParseResult parse_command_line(int argc, const char* const* argv, Options& options,
                               std::string& error);
std::string usage_line();
std::string help_text();

// Runs the game. Returns the process exit code: 0 after a normal end, 1 after a failed
// start.
int run(const Options& options);

// --check: pre-scans the game's scripts and lists their problems on stderr. Returns 0 when
// no script is refused, else 1.
int run_check(const Options& options);

// --new DIR: writes a small runnable game (settings file, start script, images drawn here)
// into DIR, which must not exist yet or be empty. Returns the exit code.
int make_new_game(const std::string& dir);

// The main loop's watchdog over the render thread: fed once per pass of the main loop with
// whether the render thread runs and how many passes it has made, it reports a stall when
// the thread ran without a single pass for the limit (engine ms). While the render thread
// does not run (start-up, a load, shutdown) the watch starts over.
class RenderWatchdog {
public:
    explicit RenderWatchdog(std::uint32_t limit_ms) : m_limit_ms(limit_ms) {}
    // True when the limit has passed since the last pass seen.
    bool stalled(bool render_running, std::uint64_t passes, std::uint32_t now);
    // Engine ms since the last pass seen.
    std::uint32_t quiet_ms(std::uint32_t now) const { return now - m_since; }

private:
    std::uint32_t m_limit_ms;
    bool m_watching = false;
    std::uint64_t m_passes = 0;
    std::uint32_t m_since = 0;
};

// One step of an ordered start-up chain: `start` returns false on failure; `stop` releases
// what `start` made and must tolerate a step that never started.
struct Step {
    const char* name;
    std::function<bool()> start;
    std::function<void()> stop;
};

// Runs steps in order. On the first failure, stops the steps already started in reverse
// order and returns false with the failing step's name in `failed`.
bool run_chain(const std::vector<Step>& steps, std::string& failed);

} // namespace kestrune::frame
