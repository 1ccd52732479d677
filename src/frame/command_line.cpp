#include "frame/frame.h"

#include <charconv>
#include <cstdlib>
#include <filesystem>

namespace kestrune::frame {

namespace {

std::string absolute(const std::string& path) {
    std::error_code ec;
    auto p = std::filesystem::absolute(path, ec);
    return ec ? path : p.lexically_normal().string();
}

bool parse_number(const std::string& text, double& out) {
    char* end = nullptr;
    out = std::strtod(text.c_str(), &end);
    return !text.empty() && end && *end == '\0';
}

} // namespace

std::string usage_line() {
    return "usage: kestrune [--headless] [--input FILE] [--screenshot MS=FILE] [--record DIR] "
           "[--audio-out FILE.wav] [--cursor-log FILE] [--save-dir DIR] [--time-scale N] "
           "[--max-seconds N] "
           "[--stepped] [--seed N] [--watchdog MS] [--check] [--quiet] [--strict] [--new DIR] "
           "[--version] "
           "[--help] [GAME_DIR]";
}

std::string help_text() {
    return usage_line() +
           "\n\n"
           "Runs the visual-novel game in GAME_DIR (default: the bundled demo).\n\n"
           "  --headless              no window (sound is mixed in memory); input only from "
           "--input\n"
           "  --input FILE            timed input lines: \"<ms> click X Y\", \"<ms> rclick X Y\",\n"
           "                          \"<ms> move X Y\", \"<ms> press X Y\", \"<ms> release X "
           "Y\",\n"
           "                          \"<ms> key NAME\", \"<ms> keyup NAME\",\n"
           "                          \"<ms> wheel up|down [NOTCHES]\", \"<ms> pad BUTTON\",\n"
           "                          \"<ms> padup BUTTON\", \"<ms> unplug\", \"<ms> quit\"\n"
           "                          (ms of engine time)\n"
           "  --screenshot MS=FILE    write the presented frame at engine time MS as PNG\n"
           "  --record DIR            write every presented frame as DIR/NNNNNN_TTTTTTTT.png\n"
           "                          (frame, engine ms) and DIR/frames.txt with pixel hashes\n"
           "  --audio-out FILE.wav    write the mixed sound output\n"
           "  --cursor-log FILE       headless: write each change of the pointer's shape,\n"
           "                          visibility and place as \"<ms> cursor hand\", ...\n"
           "  --save-dir DIR          save folder instead of the XDG one\n"
           "  --time-scale N          run the clock N times faster (tests)\n"
           "  --max-seconds N         quit after N seconds of engine time\n"
           "  --stepped               headless only: engine time jumps from one due moment to\n"
           "                          the next; the same game and input give the same frames\n"
           "                          and files on any machine, and the run never sleeps\n"
           "  --seed N                seed of the random built-ins (fixed by default with\n"
           "                          --stepped)\n"
           "  --watchdog MS           end the run with exit code 3 when the render thread has\n"
           "                          drawn no frame for MS ms of engine time (soak tests)\n"
           "  --check                 check every script the game can reach and list the\n"
           "                          mistakes as file:line: error|warning: ...; run nothing\n"
           "  --quiet                 errors only (no warnings from --check or while running)\n"
           "  --strict                the first script warning ends the run with exit code 1\n"
           "  --new DIR               make a runnable starter game in DIR\n"
           "  --version, --help\n";
}

ParseResult parse_command_line(int argc, const char* const* argv, Options& options,
                               std::string& error) {
    auto need_value = [&](int& i, const std::string& flag, std::string& value) {
        if (i + 1 >= argc) {
            error = flag + " needs a value";
            return false;
        }
        value = argv[++i];
        return true;
    };
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        std::string value;
        if (arg == "--headless") {
            options.headless = true;
        } else if (arg == "--version") {
            options.show_version = true;
        } else if (arg == "--help" || arg == "-h") {
            options.show_help = true;
        } else if (arg == "--check") {
            options.check = true;
        } else if (arg == "--quiet") {
            options.quiet = true;
        } else if (arg == "--strict") {
            options.strict = true;
        } else if (arg == "--new") {
            if (!need_value(i, arg, value)) return ParseResult::bad_usage;
            options.new_game = absolute(value);
        } else if (arg == "--stepped") {
            options.stepped = true;
        } else if (arg == "--seed") {
            if (!need_value(i, arg, value)) return ParseResult::bad_usage;
            const auto r = std::from_chars(value.data(), value.data() + value.size(), options.seed);
            if (value.empty() || r.ec != std::errc() || r.ptr != value.data() + value.size()) {
                error = "--seed wants a whole number, got \"" + value + "\"";
                return ParseResult::bad_usage;
            }
            options.seed_given = true;
        } else if (arg == "--watchdog") {
            if (!need_value(i, arg, value)) return ParseResult::bad_usage;
            double ms = 0;
            if (!parse_number(value, ms) || !(ms >= 1) || ms > 1e9) {
                error = "--watchdog wants a number of milliseconds, got \"" + value + "\"";
                return ParseResult::bad_usage;
            }
            options.watchdog_ms = static_cast<std::uint32_t>(ms);
        } else if (arg == "--input") {
            if (!need_value(i, arg, value)) return ParseResult::bad_usage;
            options.input_file = absolute(value);
        } else if (arg == "--screenshot") {
            if (!need_value(i, arg, value)) return ParseResult::bad_usage;
            const auto eq = value.find('=');
            double ms = 0;
            if (eq == std::string::npos || eq + 1 >= value.size() ||
                !parse_number(value.substr(0, eq), ms) || ms < 0 || ms > 4294967295.0) {
                error = "--screenshot wants MS=FILE, got \"" + value + "\"";
                return ParseResult::bad_usage;
            }
            options.screenshots.emplace_back(static_cast<std::uint32_t>(ms),
                                             absolute(value.substr(eq + 1)));
        } else if (arg == "--record") {
            if (!need_value(i, arg, value)) return ParseResult::bad_usage;
            options.record_dir = absolute(value);
        } else if (arg == "--audio-out") {
            if (!need_value(i, arg, value)) return ParseResult::bad_usage;
            options.audio_out = absolute(value);
        } else if (arg == "--cursor-log") {
            if (!need_value(i, arg, value)) return ParseResult::bad_usage;
            options.cursor_log = absolute(value);
        } else if (arg == "--save-dir") {
            if (!need_value(i, arg, value)) return ParseResult::bad_usage;
            options.save_dir = absolute(value);
        } else if (arg == "--time-scale" || arg == "--max-seconds") {
            if (!need_value(i, arg, value)) return ParseResult::bad_usage;
            double n = 0;
            if (!parse_number(value, n) || !(n > 0) || n > 1e6) {
                error = arg + " wants a positive number, got \"" + value + "\"";
                return ParseResult::bad_usage;
            }
            (arg == "--time-scale" ? options.time_scale : options.max_seconds) = n;
        } else if (!arg.empty() && arg[0] == '-') {
            error = "unknown option " + arg;
            return ParseResult::bad_usage;
        } else if (options.game_dir.empty()) {
            options.game_dir = absolute(arg);
        } else {
            error = "more than one game folder given (\"" + arg + "\")";
            return ParseResult::bad_usage;
        }
    }
    if (options.stepped && !options.headless) {
        error = "--stepped needs --headless: a window follows the wall clock";
        return ParseResult::bad_usage;
    }
    return ParseResult::ok;
}

} // namespace kestrune::frame
