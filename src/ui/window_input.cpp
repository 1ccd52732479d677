#include "ui/window_input.h"

#include "frame/engine.h"
#include "frame/startup_hooks.h"
#include "persist/settings.h"
#include "platform/clock.h"
#include "scene/scene.h"
#include "script/commands.h"
#include "script/context.h"
#include "script/expressions.h"
#include "script/system_variables.h"
#include "script/variables.h"
#include "ui/boxes.h"
#include "ui/input_events.h"
#include "ui/input_file.h"
#include "ui/input_hooks.h"
#include "ui/menu_bar.h"
#include "ui/select_wait.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <mutex>

namespace kestrune::ui {

namespace {

constexpr std::uint32_t k_button_var_clear_ms = 100;
// More notches in one report than a hand can turn are a fault of the device.
constexpr int k_max_wheel_notches = 16;

// What other threads post for the main thread: synthetic keys and close requests. The
// window's own event queue is not used for these because a real window only carries its
// own events.
struct Posted {
    enum class Kind { key, close, window_event } kind = Kind::key;
    KeyPress press;
    bool tap = false; // the key goes up again at once
    platform::WindowEvent event;
};

struct MouseState {
    std::mutex mutex;
    std::deque<Posted> posted;
    bool left_down = false; // the physical button
    bool left_held = false; // the held mark of the handlers
    // Button variables are cleared a little after the release, so a script polling them
    // sees the click; a new press cancels the pending clear.
    bool clear_left_pending = false;
    platform::Tick clear_left_at = 0;
    bool clear_right_pending = false;
    platform::Tick clear_right_at = 0;
    bool close_pending = false; // a close request that came before the game ran
    // The right press ended skip mode or went to the open backlog (or to another system
    // script): its release opens no popup menu.
    bool right_consumed = false;
};

MouseState& mouse() {
    static MouseState m;
    return m;
}

bool text_window_hidden() {
    return input_hooks().text_window_hidden && input_hooks().text_window_hidden();
}

void turn_auto_off() {
    script::var_set_number("$SYSTEM_text_auto", 0);
    engine::set_auto_mode(false);
    if (input_hooks().apply_auto_setting) input_hooks().apply_auto_setting();
}

bool pointer_on_clickable() {
    if (input_hooks().cursor_is_hand) return input_hooks().cursor_is_hand();
    const script::CommandHooks& ch = script::command_hooks();
    return ch.pointer_over_clickable && ch.pointer_over_clickable();
}

void set_pointer(const platform::WindowEvent& e) {
    engine::set_pointer_position(e.x, e.y);
}

void mouse_move(const platform::WindowEvent& e) {
    MouseState& m = mouse();
    {
        std::lock_guard guard(m.mutex);
        if (!m.left_down) m.left_held = false;
    }
    set_pointer(e);
    signal_input(k_in_any);
    if (input_hooks().update_cursor) {
        input_hooks().update_cursor();
    } else if (platform::Window* w = frame::main_window()) {
        w->set_hand_cursor(pointer_on_clickable());
    }
    if (input_hooks().report_pointer) input_hooks().report_pointer(e.x, e.y);
}

void mark_left_held() {
    std::lock_guard guard(mouse().mutex);
    mouse().left_held = true;
}

void left_down(const platform::WindowEvent& e) {
    MouseState& m = mouse();
    {
        std::lock_guard guard(m.mutex);
        m.left_down = true;
        m.clear_left_pending = false;
    }
    set_pointer(e);
    if (normal_play()) {
        if (engine::skip_mode()) {
            engine::set_skip_mode(false);
        } else if (text_window_hidden() && !pointer_on_clickable()) {
            if (input_hooks().show_text_window) input_hooks().show_text_window();
            mark_left_held();
            signal_input(k_in_any);
            return;
        } else if (engine::auto_mode()) {
            turn_auto_off();
        } else if (input_hooks().offer_to_text && input_hooks().offer_to_text(TextPress::click)) {
            return; // the click completed a page
        }
    } else if (!engine::render_is_running() && engine::skip_mode()) {
        engine::set_skip_mode(false);
    }
    mark_left_held();
    script::var_set_number("$SYSTEM_l_button_down", 1);
    signal_input(k_in_any);
    signal_input(k_in_left_down);
    reset_input(k_in_left_up);
}

void left_up(const platform::WindowEvent& e) {
    MouseState& m = mouse();
    {
        std::lock_guard guard(m.mutex);
        m.left_down = false;
        m.left_held = false;
        m.clear_left_pending = true;
        m.clear_left_at = platform::tick_ms() + k_button_var_clear_ms;
    }
    set_pointer(e);
    signal_input(k_in_left_up);
    reset_input(k_in_left_down);
    engine::attention_event().signal();
}

void right_down(const platform::WindowEvent& e) {
    {
        std::lock_guard guard(mouse().mutex);
        mouse().clear_right_pending = false;
    }
    set_pointer(e);
    signal_input(k_in_right_down);
    reset_input(k_in_right_up);
    const bool consumed = engine::skip_mode() || engine::state() == engine::k_state_system_script;
    {
        std::lock_guard guard(mouse().mutex);
        mouse().right_consumed = consumed;
    }
    if (engine::skip_mode()) {
        engine::set_skip_mode(false);
        platform::sleep_ms(500);
    } else if (input_hooks().backlog_open && input_hooks().backlog_open() &&
               input_hooks().backlog_input) {
        input_hooks().backlog_input(516);
    }
    script::var_set_number("$SYSTEM_r_button_down", 1);
    signal_input(k_in_any);
}

void right_up(const platform::WindowEvent& e) {
    set_pointer(e);
    signal_input(k_in_right_up);
    reset_input(k_in_right_down);
    bool consumed = false;
    {
        std::lock_guard guard(mouse().mutex);
        consumed = mouse().right_consumed;
        mouse().right_consumed = false;
    }
    if (!consumed && script::setting_number("kill_popupmenu") == 0 && input_hooks().open_popup_menu)
        input_hooks().open_popup_menu(e.x, e.y, script::var_number("$SYSTEM_menu_lock") != 0);
    {
        std::lock_guard guard(mouse().mutex);
        mouse().clear_right_pending = true;
        mouse().clear_right_at = platform::tick_ms() + k_button_var_clear_ms;
    }
    engine::attention_event().signal();
}

// A report of the wheel may carry several notches (a fast turn); each is one step: one
// row of the backlog, one step of a scroll bar. The 64 ms limit shared with the keys
// applies to the report, not to each of its notches.
void wheel(const platform::WindowEvent& e) {
    if (e.wheel == 0) return;
    const bool up = e.wheel > 0;
    const int notches = std::min(up ? e.wheel : -e.wheel, k_max_wheel_notches);
    signal_input(k_in_any);
    InputHooks& hooks = input_hooks();
    if (engine::skip_mode()) {
        engine::set_skip_mode(false);
        platform::sleep_ms(500);
    } else if (text_window_hidden()) {
        if (hooks.show_text_window) hooks.show_text_window();
    } else {
        for (int i = 0; i < notches; ++i) {
            if (up && hooks.backlog_input && hooks.backlog_input(38)) continue;
            script::var_set_number(up ? "$SYSTEM_mousewheel_up" : "$SYSTEM_mousewheel_down", 1);
        }
        engine::attention_event().signal();
    }
    if (!engine::render_is_running() || !accept_key_now()) return;
    for (int i = 0; i < notches; ++i) {
        if (up) {
            signal_input(k_in_wheel_up);
        } else if (!(normal_play() && hooks.offer_to_text &&
                     hooks.offer_to_text(TextPress::wheel_down))) {
            signal_input(k_in_wheel_down);
        }
    }
}

std::string close_script_name() {
    std::string name = script::setting_text("script_close");
    if (name.empty()) name = persist::settings().script_close;
    return name;
}

void run_delayed_clears() {
    MouseState& m = mouse();
    bool clear_left = false, clear_right = false;
    {
        std::lock_guard guard(m.mutex);
        const platform::Tick now = platform::tick_ms();
        if (m.clear_left_pending && platform::tick_reached(now, m.clear_left_at)) {
            m.clear_left_pending = false;
            clear_left = true;
        }
        if (m.clear_right_pending && platform::tick_reached(now, m.clear_right_at)) {
            m.clear_right_pending = false;
            clear_right = true;
        }
    }
    if (clear_left) script::var_set_number("$SYSTEM_l_button_down", 0);
    if (clear_right) script::var_set_number("$SYSTEM_r_button_down", 0);
}

void post(Posted p) {
    {
        std::lock_guard guard(mouse().mutex);
        mouse().posted.push_back(std::move(p));
    }
    engine::wake_main();
}

script::Value builtin_kick_shortcut(const script::BuiltinCall& call) {
    if (!call.args.empty()) kick_shortcut(script::value_text(call.args[0]));
    return script::Value::of_number(0);
}

bool close_from_frame() {
    return handle_close_request(true);
}

} // namespace

bool cursor_is_hand() {
    return pointer_on_clickable();
}

void handle_window_event(const platform::WindowEvent& e) {
    using Kind = platform::WindowEvent::Kind;
    if (engine::quit_requested()) return;
    if (e.kind == Kind::pad_down || e.kind == Kind::pad_up) {
        handle_pad_button(e);
        return;
    }
    // An open menu or box takes every input; key releases still clear the key variables.
    if (overlay_input(e)) return;
    if (menu_bar_input(e)) return;
    switch (e.kind) {
    case Kind::mouse_move:
        mouse_move(e);
        break;
    case Kind::mouse_down:
        if (e.button == 3)
            right_down(e);
        else
            left_down(e);
        break;
    case Kind::mouse_up:
        if (e.button == 3)
            right_up(e);
        else
            left_up(e);
        break;
    case Kind::wheel:
        wheel(e);
        break;
    case Kind::key_down:
        key_down(key_from_name(e.key));
        break;
    case Kind::key_up:
        key_up(key_from_name(e.key));
        break;
    default:
        break;
    }
}

bool handle_close_request(bool from_window) {
    if (engine::quit_requested()) return true;
    if (overlay_open()) {
        // Asked again while the question is up: the reader insists.
        if (quit_question_open()) return false;
        // Any other menu or box gives way (as its cancel, else its last button).
        cancel_overlay(k_box_no);
    }
    script::var_set_number("$SYSTEM_buttondown_close", 1);
    signal_input(k_in_any);
    const std::int32_t state = engine::state();
    if (state == engine::k_state_running) {
        if (engine::skip_mode()) {
            engine::set_skip_mode(false);
        } else {
            // The window's close button must never go unanswered: when the close script
            // cannot start now (a command running, the start interval), ask instead. Esc
            // pressed twice in a row only starts the script once.
            const std::string name = close_script_name();
            if (name.empty())
                open_quit_question();
            else if (!script::start_system_script(name, true) && from_window)
                open_quit_question();
        }
    } else if (state == engine::k_state_system_script) {
        // A screen of the game's own runs (the close script, the backlog): Esc is its
        // input, but the close button asks.
        if (from_window) open_quit_question();
    } else {
        // Starting or loading: the request waits for the game to run.
        std::lock_guard guard(mouse().mutex);
        mouse().close_pending = true;
    }
    platform::sleep_ms(100);
    return true;
}

void post_key(const KeyPress& press, bool tap) {
    Posted p;
    p.kind = Posted::Kind::key;
    p.press = press;
    p.tap = tap;
    post(std::move(p));
}

void post_close_request() {
    Posted p;
    p.kind = Posted::Kind::close;
    post(std::move(p));
}

void post_window_event(const platform::WindowEvent& event) {
    Posted p;
    p.kind = Posted::Kind::window_event;
    p.event = event;
    post(std::move(p));
}

void run_posted_input() {
    run_delayed_clears();
    if (engine::in_running_range(engine::state())) {
        bool retry = false;
        {
            std::lock_guard guard(mouse().mutex);
            retry = mouse().close_pending;
            mouse().close_pending = false;
        }
        if (retry) {
            platform::WindowEvent close;
            close.kind = platform::WindowEvent::Kind::close_request;
            post_window_event(close);
        }
    }
    for (;;) {
        Posted p;
        {
            std::lock_guard guard(mouse().mutex);
            if (mouse().posted.empty()) return;
            p = std::move(mouse().posted.front());
            mouse().posted.pop_front();
        }
        engine::ScopedLock message_guard(engine::k_lock_message);
        if (p.kind == Posted::Kind::key) {
            // Keys posted by scripts or the menu do not reach an open box either.
            if (!overlay_open()) {
                key_down(p.press, true);
                if (p.tap) key_up(p.press);
            }
        } else if (p.kind == Posted::Kind::window_event) {
            if (p.event.kind == platform::WindowEvent::Kind::close_request) {
                if (!handle_close_request(true)) engine::request_quit();
            } else {
                handle_window_event(p.event);
            }
        } else if (!handle_close_request(false)) {
            engine::request_quit();
        }
    }
}

void kick_shortcut(const std::string& key_text) {
    std::string upper = key_text;
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    int code = 0;
    if (upper == "ESCAPE")
        code = 27;
    else if (upper == "SPACE")
        code = 32;
    else if (!upper.empty())
        code = static_cast<unsigned char>(upper[0]);
    if (engine::render_is_held()) engine::render_release();
    const KeyPress press = key_from_code(code);
    if (press.key != Key::none) post_key(press);
}

void register_with_frame() {
    static bool done = false;
    if (done) return;
    done = true;
    frame::StartupHooks& h = frame::startup_hooks();
    // The input events live with the render thread.
    h.start_render.push_back([] {
        create_input_events();
        reset_key_state();
        return true;
    });
    h.stop_render.push_back(close_input_events);
    h.window_event.push_back(handle_window_event);
    h.close_request.push_back(close_from_frame);
    register_boxes();
    // The menu bar follows the settings file, read at each script start; its animations
    // step with the render thread, and WaitKey tells it when a key is awaited.
    h.script_settings.push_back([] {
        setup_menu_bar();
        return true;
    });
    h.start_render.push_back([] {
        scene::add_cycle_hook(menu_bar_cycle);
        return true;
    });
    h.exit_callbacks.push_back(release_menu_bar);
    {
        script::CommandHooks ch = script::command_hooks();
        ch.menu_wait_animation = menu_bar_waiting;
        // MoveCursor and the keyboard focus move the real pointer too where the system
        // allows it; the engine's pointer position is set by the caller either way.
        ch.warp_pointer = [](std::int32_t x, std::int32_t y) {
            if (platform::Window* w = frame::main_window()) w->warp_pointer(x, y);
        };
        ch.wait_cursor = [](bool on) {
            if (platform::Window* w = frame::main_window())
                w->set_cursor_shape(on ? platform::CursorShape::wait
                                       : platform::CursorShape::arrow);
        };
        script::set_command_hooks(ch);
    }
    // "#SYSTEM_show_cursor": 0 hides the pointer over the window, any other value shows it.
    // Read as text: a variable first assigned 0 is stored as the text "0", and later
    // numbers assigned to it stay text too.
    script::watch_setting("show_cursor", [](std::string_view, std::string_view) {
        const bool shown = std::atof(script::setting_text("show_cursor").c_str()) != 0;
        if (platform::Window* w = frame::main_window()) w->set_cursor_visible(shown);
    });
    h.main_loop_pass.push_back(run_posted_input);
    h.script_settings.push_back([] {
        script::register_builtin("KickShortcut", builtin_kick_shortcut);
        return true;
    });
    // The timed input of --input needs the main window, which exists from this step on,
    // and must stop before the window goes.
    h.display.push_back([] {
        const std::string& file = frame::current_options().input_file;
        if (file.empty()) return true;
        std::string error;
        if (!input_file_loaded() && !load_input_file(file, error)) {
            std::fprintf(stderr, "kestrune: %s\n", error.c_str());
            return false;
        }
        return start_input_player();
    });
    h.display_release.push_back(stop_input_player);
    install_wait_sources();
    script::register_builtin("KickShortcut", builtin_kick_shortcut);

    // What select needs from the input side; the choices fill in the rest of the hooks.
    script::ChoiceHooks choices = script::choice_hooks();
    choices.button_held = [] {
        std::lock_guard guard(mouse().mutex);
        return mouse().left_held || enter_held() ? 1 : 0;
    };
    choices.wait_input = wait_select_input;
    choices.pointer_position = engine::pointer_position;
    choices.reset_input_events = reset_all_inputs;
    script::set_choice_hooks(choices);
}

void reset_window_input_for_tests() {
    MouseState& m = mouse();
    std::lock_guard guard(m.mutex);
    m.posted.clear();
    m.left_down = m.left_held = false;
    m.clear_left_pending = m.clear_right_pending = false;
}

} // namespace kestrune::ui
