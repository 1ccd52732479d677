#include "ui/keys.h"

#include "frame/engine.h"
#include "persist/settings.h"
#include "platform/clock.h"
#include "platform/shell.h"
#include "script/commands.h"
#include "script/context.h"
#include "script/system_variables.h"
#include "script/variables.h"
#include "ui/input_events.h"
#include "ui/input_hooks.h"

#include <array>
#include <cctype>
#include <mutex>

namespace kestrune::ui {

namespace {

constexpr std::int32_t k_key_interval_ms = 64;

struct KeyState {
    std::mutex mutex;
    bool any_accepted = false;
    platform::Tick last_accepted = 0;
    bool enter_held = false;
    int ctrl_presses = 0;
    bool ctrl_released = true; // released since its last press
    bool stop_skip_on_release = false;
};

KeyState& key_state() {
    static KeyState s;
    return s;
}

struct NameEntry {
    const char* name;
    Key key;
};

// Names as SDL reports them, then the short forms an input file may use.
constexpr std::array<NameEntry, 26> k_names = {{
    {"return", Key::enter},
    {"enter", Key::enter},
    {"keypad enter", Key::enter},
    {"space", Key::space},
    {"left shift", Key::shift},
    {"right shift", Key::shift},
    {"shift", Key::shift},
    {"left ctrl", Key::ctrl},
    {"right ctrl", Key::ctrl},
    {"ctrl", Key::ctrl},
    {"tab", Key::tab},
    {"escape", Key::esc},
    {"esc", Key::esc},
    {"up", Key::up},
    {"down", Key::down},
    {"left", Key::left},
    {"right", Key::right},
    {"pageup", Key::page_up},
    {"page up", Key::page_up},
    {"pagedown", Key::page_down},
    {"page down", Key::page_down},
    {"home", Key::home},
    {"end", Key::end},
    {"f1", Key::f1},
    {"control", Key::ctrl},
    {"keypad return", Key::enter},
}};

struct KeyInfo {
    const char* variable; // after "$SYSTEM_keydown_"
    std::int32_t code;    // its input event
};

KeyInfo info_of(Key key) {
    switch (key) {
    case Key::enter:
        return {"enter", k_in_enter};
    case Key::space:
        return {"space", k_in_space};
    case Key::shift:
        return {"shift", k_in_shift};
    case Key::ctrl:
        return {"ctrl", k_in_ctrl};
    case Key::tab:
        return {nullptr, k_in_tab};
    case Key::esc:
        return {"esc", k_in_esc};
    case Key::up:
        return {"up", k_in_up};
    case Key::down:
        return {"down", k_in_down};
    case Key::left:
        return {"left", k_in_left};
    case Key::right:
        return {"right", k_in_right};
    case Key::page_up:
        return {"pageup", k_in_page_up};
    case Key::page_down:
        return {"pagedown", k_in_page_down};
    case Key::home:
        return {"home", k_in_home};
    case Key::end:
        return {"end", k_in_end};
    case Key::letter:
        return {nullptr, k_in_letter};
    default:
        return {nullptr, 0};
    }
}

// A variable that cannot be created is skipped; the event is still signalled.
void set_var(const std::string& name, double value) {
    if (!name.empty()) script::var_set_number(name, value);
}

bool menu_variables_clear() {
    return script::var_number("$SYSTEM_menu_enable") == 0 &&
           script::var_number("$SYSTEM_menu_lock") == 0;
}

bool text_window_hidden() {
    return input_hooks().text_window_hidden && input_hooks().text_window_hidden();
}

void show_text_window() {
    if (input_hooks().show_text_window) input_hooks().show_text_window();
}

void signal_any_and(std::int32_t code) {
    signal_input(k_in_any);
    signal_input(code);
}

void enter_down() {
    set_var("$SYSTEM_XBOX360_button_a_down", 1);
    InputHooks& hooks = input_hooks();
    if (normal_play()) {
        if (engine::skip_mode()) {
            engine::set_skip_mode(false);
        } else if (text_window_hidden()) {
            show_text_window();
        } else if (engine::auto_mode() && script::setting_number("auto_ignore_key_cancel") == 0) {
            script::var_set_number("$SYSTEM_text_auto", 0);
            engine::set_auto_mode(false);
            if (hooks.apply_auto_setting) hooks.apply_auto_setting();
        } else if (hooks.offer_to_text && hooks.offer_to_text(TextPress::enter)) {
            return; // the press completed a page
        }
    } else if (engine::state() == engine::k_state_running && menu_variables_clear() &&
               !engine::render_is_running() && engine::skip_mode()) {
        engine::set_skip_mode(false);
    }
    {
        std::lock_guard guard(key_state().mutex);
        key_state().enter_held = true;
    }
    set_var("$SYSTEM_keydown_enter", 1);
    signal_input(k_in_enter);
}

void ctrl_down() {
    set_var("$SYSTEM_keydown_ctrl", 1);
    if (text_window_hidden()) show_text_window();
    KeyState& ks = key_state();
    bool released = false;
    {
        std::lock_guard guard(ks.mutex);
        released = ks.ctrl_released;
        ks.ctrl_released = false;
    }
    if (engine::skip_mode()) {
        if (released) {
            engine::set_skip_mode(false);
        } else {
            std::lock_guard guard(ks.mutex);
            ks.stop_skip_on_release = true; // held: skip for as long as it is held
        }
    } else {
        {
            std::lock_guard guard(ks.mutex);
            ks.stop_skip_on_release = false;
        }
        if (normal_play() && script::setting_number("skip_lock") == 0) engine::set_skip_mode(true);
    }
    signal_any_and(k_in_ctrl);
}

void space_down() {
    set_var("$SYSTEM_keydown_space", 1);
    signal_any_and(k_in_space);
    if (!normal_play()) return;
    if (engine::skip_mode()) {
        engine::set_skip_mode(false);
    } else if (input_hooks().toggle_text_window) {
        input_hooks().toggle_text_window();
        platform::sleep_ms(100);
    }
}

void backlog_key(const char* variable, std::int32_t code) {
    set_var(std::string("$SYSTEM_keydown_") + variable, 1);
    if (input_hooks().open_backlog && input_hooks().open_backlog()) return;
    signal_any_and(code);
}

// Shortcut scripts are registered by the letter as the script wrote it.
std::string shortcut_for(char upper_letter) {
    std::string name = script::shortcut_script(static_cast<unsigned char>(upper_letter));
    if (name.empty())
        name = script::shortcut_script(
            static_cast<unsigned char>(std::tolower(static_cast<unsigned char>(upper_letter))));
    return name;
}

void letter_down(char letter) {
    set_var(key_variable({Key::letter, letter}), 1);
    if (letter == 'M') {
        // M opens the popup menu at the pointer, as a right-button release there would.
        if (input_hooks().open_popup_menu && script::setting_number("kill_popupmenu") == 0) {
            std::int32_t x = 0, y = 0;
            engine::pointer_position(x, y);
            input_hooks().open_popup_menu(x, y, script::var_number("$SYSTEM_menu_lock") != 0);
        }
        return;
    }
    const std::string script_name = shortcut_for(letter);
    if (!script_name.empty()) script::start_system_script(script_name);
    signal_any_and(k_in_letter);
}

} // namespace

KeyPress key_from_name(std::string_view name) {
    if (name.size() == 1) {
        const unsigned char c = static_cast<unsigned char>(name[0]);
        if (std::isalpha(c)) return {Key::letter, static_cast<char>(std::toupper(c))};
        if (c == ' ') return {Key::space, 0};
        return {};
    }
    std::string lower(name);
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    for (const NameEntry& e : k_names)
        if (lower == e.name) return {e.key, 0};
    return {};
}

KeyPress key_from_code(int code) {
    if (code == 27) return {Key::esc, 0};
    if (code == 32) return {Key::space, 0};
    if (code == 13) return {Key::enter, 0};
    if (code == 9) return {Key::tab, 0};
    if (code >= 'a' && code <= 'z') code -= 'a' - 'A';
    if (code >= 'A' && code <= 'Z') return {Key::letter, static_cast<char>(code)};
    return {};
}

std::string key_variable(const KeyPress& press) {
    if (press.key == Key::letter) {
        if (press.letter < 'A' || press.letter > 'Z') return {};
        return std::string("$SYSTEM_keydown_") + static_cast<char>(press.letter - 'A' + 'a');
    }
    const KeyInfo info = info_of(press.key);
    return info.variable ? std::string("$SYSTEM_keydown_") + info.variable : std::string();
}

bool normal_play() {
    return engine::render_is_running() && engine::state() == engine::k_state_running &&
           menu_variables_clear();
}

bool accept_key_now() {
    KeyState& ks = key_state();
    std::lock_guard guard(ks.mutex);
    const platform::Tick now = platform::tick_ms();
    if (ks.any_accepted && platform::tick_diff(now, ks.last_accepted) < k_key_interval_ms)
        return false;
    ks.any_accepted = true;
    ks.last_accepted = now;
    return true;
}

bool key_down(const KeyPress& press, bool synthetic) {
    if (press.key == Key::none) return false;
    if (press.key == Key::letter && (press.letter < 'A' || press.letter > 'Z')) return false;
    if (press.key == Key::f1) {
        // Not rate-limited: it only opens the save folder.
        platform::shell_open(persist::settings().save_folder, script::command_hooks().headless);
        return true;
    }
    if (press.key == Key::ctrl) {
        std::lock_guard guard(key_state().mutex);
        ++key_state().ctrl_presses; // counted whether accepted or not
    }
    if (!accept_key_now()) return true;

    switch (press.key) {
    case Key::tab:
        signal_input(k_in_tab);
        break;
    case Key::enter:
        enter_down();
        break;
    case Key::shift:
        set_var("$SYSTEM_keydown_shift", 1);
        signal_any_and(k_in_shift);
        break;
    case Key::ctrl:
        ctrl_down();
        break;
    case Key::esc:
        set_var("$SYSTEM_keydown_esc", 1);
        signal_any_and(k_in_esc);
        if (!synthetic || engine::render_is_running()) post_close_request();
        break;
    case Key::space:
        space_down();
        break;
    case Key::page_up:
        backlog_key("pageup", k_in_page_up);
        break;
    case Key::up:
        backlog_key("up", k_in_up);
        break;
    case Key::letter:
        letter_down(press.letter);
        break;
    default: {
        const KeyInfo info = info_of(press.key);
        set_var(key_variable(press), 1);
        signal_any_and(info.code);
        break;
    }
    }
    return true;
}

void key_up(const KeyPress& press) {
    if (press.key == Key::none || press.key == Key::f1) return;
    if (press.key == Key::letter && (press.letter < 'A' || press.letter > 'Z')) return;
    set_var(key_variable(press), 0);
    signal_input(k_in_any);
    KeyState& ks = key_state();
    switch (press.key) {
    case Key::enter:
        set_var("$SYSTEM_XBOX360_button_a_down", 0);
        {
            std::lock_guard guard(ks.mutex);
            ks.enter_held = false;
        }
        signal_input(k_in_enter_up);
        break;
    case Key::ctrl: {
        bool stop = false;
        {
            std::lock_guard guard(ks.mutex);
            stop = ks.stop_skip_on_release;
            ks.stop_skip_on_release = false;
            ks.ctrl_released = true;
            ks.ctrl_presses = 0;
        }
        if (stop) engine::set_skip_mode(false);
        break;
    }
    case Key::esc:
        if (engine::skip_mode()) engine::set_skip_mode(false);
        break;
    default:
        break;
    }
    reset_input(info_of(press.key).code);
}

bool enter_held() {
    std::lock_guard guard(key_state().mutex);
    return key_state().enter_held;
}

void reset_key_state() {
    KeyState& ks = key_state();
    std::lock_guard guard(ks.mutex);
    ks.any_accepted = false;
    ks.last_accepted = 0;
    ks.enter_held = false;
    ks.ctrl_presses = 0;
    ks.ctrl_released = true;
    ks.stop_skip_on_release = false;
}

void clear_key_rate_limit_for_tests() {
    std::lock_guard guard(key_state().mutex);
    key_state().any_accepted = false;
}

} // namespace kestrune::ui
