#include "ui/input_events.h"

#include "frame/engine.h"
#include "platform/clock.h"
#include "ui/input_hooks.h"

#include <array>
#include <atomic>

namespace kestrune::ui {

namespace {

// The codes in table order; the index of a code is its slot in each set.
constexpr std::array<std::int32_t, k_input_event_count> k_codes = {
    257, 258, 259, 260, 261,  262,  273,  274,  275,  276,  277,  278,  768,  769,  770,
    771, 772, 773, 774, 1025, 1026, 1281, 1282, 1283, 1284, 1285, 1286, 1287, 1288, 1296};

using EventSet = std::array<platform::Event, k_input_event_count>;

std::array<EventSet, 2>& sets() {
    static std::array<EventSet, 2> s;
    return s;
}

std::atomic<bool> g_open{false};

} // namespace

InputHooks& input_hooks() {
    static InputHooks hooks;
    return hooks;
}

int input_index(std::int32_t code) {
    for (int i = 0; i < k_input_event_count; ++i)
        if (k_codes[static_cast<std::size_t>(i)] == code) return i;
    return -1;
}

void create_input_events() {
    for (EventSet& set : sets())
        for (platform::Event& e : set) e.reset();
    g_open = true;
}

void close_input_events() {
    g_open = false;
    for (EventSet& set : sets())
        for (platform::Event& e : set) e.reset();
}

bool input_events_open() {
    return g_open.load();
}

int current_input_set() {
    return engine::state() == engine::k_state_system_script ? 1 : 0;
}

platform::Event* input_event_of_set(int set, std::int32_t code) {
    const int i = input_index(code);
    if (i < 0 || set < 0 || set > 1 || !g_open.load()) return nullptr;
    return &sets()[static_cast<std::size_t>(set)][static_cast<std::size_t>(i)];
}

platform::Event* input_event(std::int32_t code) {
    return input_event_of_set(current_input_set(), code);
}

void signal_input(std::int32_t code) {
    platform::Event* e = input_event(code);
    if (!e) return;
    // The pause lets the render thread show the objects' new focus before waiters wake;
    // when no object acted there is nothing to show, and pausing would only delay the next
    // message (and stretch the key rate limit).
    if (code != k_in_any && code != k_in_ctrl && engine::render_is_running() &&
        input_hooks().offer_to_objects && input_hooks().offer_to_objects(code)) {
        platform::sleep_ms(32);
        e = input_event(code); // the state may have changed meanwhile
        if (!e) return;
    }
    e->signal();
}

void reset_input(std::int32_t code) {
    // Both sets: a key pressed while a system script runs may be released after it ended,
    // and its press must not stay set for the next system script's first wait.
    for (int set = 0; set < 2; ++set)
        if (platform::Event* e = input_event_of_set(set, code)) e->reset();
}

bool input_signalled(std::int32_t code) {
    platform::Event* e = input_event(code);
    return e && e->is_signalled();
}

void reset_all_inputs() {
    if (!g_open.load()) return;
    for (platform::Event& e : sets()[static_cast<std::size_t>(current_input_set())]) e.reset();
}

void install_wait_sources() {
    engine::WaitSources sources = engine::wait_sources();
    sources.input_click = [] { return input_event(k_in_enter); };
    sources.input_click_alt = [] { return input_event(k_in_left_down); };
    sources.input_1026 = [] { return input_event(k_in_wheel_down); };
    engine::set_wait_sources(sources);
}

} // namespace kestrune::ui
