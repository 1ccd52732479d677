// The wait of a `select` between two passes over its cases: it ends on the quit, state and
// attention events, the block's own event, a pointer movement or one of the input codes a
// choice or scroll bar reacts to.
//
// Threading: runs on the script thread of the select; the events are signalled by the main
// thread's input handlers.
#include "ui/select_wait.h"

#include "frame/engine.h"
#include "platform/clock.h"
#include "script/context.h"
#include "ui/input_events.h"

#include <array>
#include <vector>

namespace kestrune::ui {

namespace {

constexpr std::array<std::int32_t, 14> k_codes = {
    k_in_enter,      k_in_left_down, k_in_left_up, k_in_enter_up, k_in_wheel_up,
    k_in_wheel_down, k_in_left,      k_in_right,   k_in_up,       k_in_down,
    k_in_page_up,    k_in_page_down, k_in_end,     k_in_home};

} // namespace

std::int32_t wait_select_input(script::ScriptBlock& b) {
    std::vector<platform::Event*> events = {&engine::quit_event(), &engine::state_changed_event(),
                                            &engine::attention_event(), &b.event};
    engine::state_changed_event().reset();
    std::vector<std::int32_t> codes = {0, 0, 0, 0};
    for (std::int32_t code : k_codes) {
        if (platform::Event* e = input_event(code)) {
            events.push_back(e);
            codes.push_back(code);
        }
    }
    // Every input also signals 768; it stands for the pointer movement here, last, so that
    // an input that came with it is reported by its own code.
    platform::Event* moved = input_event(k_in_any);
    if (moved) {
        events.push_back(moved);
        codes.push_back(k_in_any);
    }
    const int r = platform::wait_any(events, platform::k_infinite);
    if (r < 0) return 0;
    if (r <= 1) {
        if (script::choice_hooks().reset_cursor_shape) script::choice_hooks().reset_cursor_shape();
        return 0;
    }
    if (r == 2) {
        if (engine::state() == engine::k_state_system_script && !b.is_process() &&
            !engine::render_is_held())
            engine::render_hold();
        return 0;
    }
    const std::int32_t code = codes[static_cast<std::size_t>(r)];
    if (code == k_in_any) {
        moved->reset();
        return 0;
    }
    if (code == 0) return 0;
    // A press is shown for a frame before the cases see it.
    if (code == k_in_enter || code == k_in_left_down) platform::sleep_ms(16);
    if (b.is_process() && (code == k_in_enter || code == k_in_left_down || code == k_in_wheel_down))
        platform::sleep_ms(16);
    return code;
}

} // namespace kestrune::ui
