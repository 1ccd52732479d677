#include "ui/input_file.h"

#include "frame/engine.h"
#include "frame/startup_hooks.h"
#include "platform/clock.h"
#include "platform/gamepad.h"
#include "platform/thread.h"
#include "ui/keys.h"
#include "ui/window_input.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <fstream>
#include <mutex>
#include <sstream>

namespace kestrune::ui {

namespace {

std::mutex g_mutex;
std::vector<TimedInput> g_inputs;
bool g_loaded = false;
platform::Thread g_player;

// Frame coordinates may lie a little outside the picture (a pointer over the border), but
// not absurdly so.
constexpr long k_coordinate_limit = 100000;

std::vector<std::string_view> split_words(std::string_view line) {
    std::vector<std::string_view> words;
    std::size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && std::isspace(static_cast<unsigned char>(line[i]))) ++i;
        const std::size_t start = i;
        while (i < line.size() && !std::isspace(static_cast<unsigned char>(line[i]))) ++i;
        if (i > start) words.push_back(line.substr(start, i - start));
    }
    return words;
}

bool parse_long(std::string_view word, long& out) {
    if (word.empty()) return false;
    const char* end = word.data() + word.size();
    const auto r = std::from_chars(word.data(), end, out);
    return r.ec == std::errc() && r.ptr == end;
}

std::string lower(std::string_view s) {
    std::string out(s);
    for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

// Everything after the first two words, trimmed: key names may hold a blank ("Left Ctrl").
std::string_view rest_after(std::string_view line, std::string_view second_word) {
    std::string_view rest = line.substr(
        static_cast<std::size_t>(second_word.data() + second_word.size() - line.data()));
    while (!rest.empty() && std::isspace(static_cast<unsigned char>(rest.front())))
        rest.remove_prefix(1);
    while (!rest.empty() && std::isspace(static_cast<unsigned char>(rest.back())))
        rest.remove_suffix(1);
    return rest;
}

// Parses one line into events (a click is two). Empty message on success.
std::string parse_line(std::string_view line, int number, std::vector<TimedInput>& out) {
    using Kind = platform::WindowEvent::Kind;
    const std::vector<std::string_view> words = split_words(line);
    if (words.empty() || words[0].front() == '#') return {};
    long ms = 0;
    if (!parse_long(words[0], ms) || ms < 0 || ms > 0x7FFFFFFFL)
        return "the time \"" + std::string(words[0]) + "\" is not a number of milliseconds";
    if (words.size() < 2) return "an event is missing after the time";
    const std::string what = lower(words[1]);
    TimedInput in;
    in.ms = static_cast<std::uint32_t>(ms);
    in.line = number;

    if (what == "click" || what == "rclick" || what == "move" || what == "press" ||
        what == "release") {
        long x = 0, y = 0;
        if (words.size() != 4 || !parse_long(words[2], x) || !parse_long(words[3], y))
            return "\"" + what + "\" needs two whole numbers X Y";
        if (x < -k_coordinate_limit || x > k_coordinate_limit || y < -k_coordinate_limit ||
            y > k_coordinate_limit)
            return "the position " + std::to_string(x) + ", " + std::to_string(y) +
                   " is far outside the picture";
        in.event.x = static_cast<int>(x);
        in.event.y = static_cast<int>(y);
        if (what == "move") {
            in.event.kind = Kind::mouse_move;
            out.push_back(in);
            return {};
        }
        // The left button alone going down or up, for drags and presses held over time.
        if (what == "press" || what == "release") {
            in.event.button = 1;
            in.event.kind = what == "press" ? Kind::mouse_down : Kind::mouse_up;
            out.push_back(in);
            return {};
        }
        in.event.button = what == "click" ? 1 : 3;
        in.event.kind = Kind::mouse_down;
        out.push_back(in);
        in.event.kind = Kind::mouse_up;
        in.ms += k_click_release_ms;
        out.push_back(in);
        return {};
    }
    if (what == "key" || what == "keyup") {
        const std::string_view name = rest_after(line, words[1]);
        if (name.empty()) return "\"" + what + "\" needs a key name";
        if (key_from_name(name).key == Key::none)
            return "unknown key name \"" + std::string(name) + "\"";
        in.event.kind = what == "key" ? Kind::key_down : Kind::key_up;
        in.event.key = std::string(name);
        out.push_back(in);
        return {};
    }
    if (what == "wheel") {
        const std::string dir = words.size() >= 3 ? lower(words[2]) : std::string();
        long notches = 1;
        if (dir != "up" && dir != "down") return "\"wheel\" needs \"up\" or \"down\"";
        if (words.size() > 4 ||
            (words.size() == 4 && (!parse_long(words[3], notches) || notches < 1 || notches > 100)))
            return "\"wheel\" takes a number of notches from 1 to 100 after the direction";
        in.event.kind = Kind::wheel;
        in.event.wheel = static_cast<int>(dir == "up" ? notches : -notches);
        out.push_back(in);
        return {};
    }
    if (what == "pad" || what == "padup") {
        if (words.size() != 3 || !platform::gamepad_button_known(words[2]))
            return "\"" + what + "\" needs a controller button (a, b, x, y, back, start, " +
                   "leftshoulder, rightshoulder, dpup, dpdown, dpleft, dpright, ...)";
        in.event.kind = what == "pad" ? Kind::pad_down : Kind::pad_up;
        in.event.key = lower(words[2]);
        out.push_back(in);
        return {};
    }
    if (what == "unplug") {
        if (words.size() != 2) return "\"unplug\" takes nothing after it";
        in.event.kind = Kind::pad_unplug;
        out.push_back(in);
        return {};
    }
    if (what == "quit") {
        if (words.size() != 2) return "\"quit\" takes nothing after it";
        in.event.kind = Kind::close_request;
        out.push_back(in);
        return {};
    }
    return "unknown event \"" + std::string(words[1]) +
           "\" (expected click, rclick, press, release, move, key, keyup, wheel, pad, "
           "padup, unplug or quit)";
}

void post_at_times(std::vector<TimedInput> inputs) {
    for (const TimedInput& in : inputs) {
        for (;;) {
            if (platform::stop_requested() || engine::quit_requested()) return;
            const std::int32_t left = platform::tick_diff(in.ms, platform::tick_ms());
            if (left <= 0) break;
            // The quit event ends the wait early, and so does a stop request.
            engine::quit_event().wait(static_cast<std::uint32_t>(left));
        }
        platform::Window* window = frame::main_window();
        if (window && window->headless())
            window->post_event(in.event);
        else
            post_window_event(in.event);
    }
}

} // namespace

bool parse_input_text(std::string_view text, const std::string& file_name,
                      std::vector<TimedInput>& out, std::string& error) {
    out.clear();
    std::vector<TimedInput> events;
    int number = 0;
    std::size_t pos = 0;
    while (pos <= text.size()) {
        std::size_t end = text.find('\n', pos);
        if (end == std::string_view::npos) end = text.size();
        std::string_view line = text.substr(pos, end - pos);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        ++number;
        const std::string message = parse_line(line, number, events);
        if (!message.empty()) {
            error = file_name + ":" + std::to_string(number) + ": " + message;
            return false;
        }
        if (end == text.size()) break;
        pos = end + 1;
    }
    std::stable_sort(events.begin(), events.end(),
                     [](const TimedInput& a, const TimedInput& b) { return a.ms < b.ms; });
    out = std::move(events);
    return true;
}

bool load_input_file(const std::string& path, std::string& error) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        error = path + ": cannot read the input file";
        return false;
    }
    std::ostringstream text;
    text << file.rdbuf();
    std::vector<TimedInput> inputs;
    if (!parse_input_text(text.str(), path, inputs, error)) return false;
    std::lock_guard guard(g_mutex);
    g_inputs = std::move(inputs);
    g_loaded = true;
    return true;
}

bool input_file_loaded() {
    std::lock_guard guard(g_mutex);
    return g_loaded;
}

bool start_input_player() {
    std::vector<TimedInput> inputs;
    {
        std::lock_guard guard(g_mutex);
        if (!g_loaded || g_player.valid()) return true;
        inputs = g_inputs;
    }
    return g_player.start([inputs = std::move(inputs)] { post_at_times(inputs); });
}

void stop_input_player() {
    if (!g_player.valid()) return;
    g_player.request_stop();
    if (!g_player.join_for(1000)) g_player.detach();
    g_player = platform::Thread();
}

} // namespace kestrune::ui
