// A game controller's buttons, as the keys and mouse buttons they stand for: A is Enter
// (and "$SYSTEM_XBOX360_button_a_down" follows it), B cancels an open menu or box (Esc)
// and is the right button otherwise, the D-pad is the arrow keys, the shoulder buttons are
// Page Up and Page Down, Start opens (or closes) the popup menu and Back hides or shows
// the message window (Space). Other buttons take no part.
#include "frame/engine.h"
#include "script/system_variables.h"
#include "script/variables.h"
#include "ui/boxes.h"
#include "ui/input_hooks.h"
#include "ui/window_input.h"

#include <string>

namespace kestrune::ui {

namespace {

// What B's press stood for, so that its release matches: a press that closed a box must
// not open the popup menu when it is let go.
bool g_b_was_escape = false;

void as_key(bool down, const char* name) {
    platform::WindowEvent k;
    k.kind = down ? platform::WindowEvent::Kind::key_down : platform::WindowEvent::Kind::key_up;
    k.key = name;
    handle_window_event(k);
}

void as_right_button(bool down) {
    platform::WindowEvent m;
    m.kind = down ? platform::WindowEvent::Kind::mouse_down : platform::WindowEvent::Kind::mouse_up;
    m.button = 3;
    engine::pointer_position(m.x, m.y);
    handle_window_event(m);
}

// The D-pad with no choice under the pointer first brings the pointer to the first choice
// of a waiting select: a reader with only a pad has no other way to reach one.
bool dpad_focuses_a_choice(bool down) {
    if (!down || overlay_open() || cursor_is_hand()) return false;
    return input_hooks().focus_first_choice && input_hooks().focus_first_choice();
}

} // namespace

void handle_pad_button(const platform::WindowEvent& e) {
    const bool down = e.kind == platform::WindowEvent::Kind::pad_down;
    const std::string& b = e.key;
    if (b == "a") {
        as_key(down, "Return");
    } else if (b == "b") {
        if (down) g_b_was_escape = overlay_open();
        if (g_b_was_escape)
            as_key(down, "Escape");
        else
            as_right_button(down);
    } else if (b == "dpup" || b == "dpdown" || b == "dpleft" || b == "dpright") {
        if (dpad_focuses_a_choice(down)) return;
        static constexpr const char* k_arrows[] = {"Up", "Down", "Left", "Right"};
        const int i = b == "dpup" ? 0 : b == "dpdown" ? 1 : b == "dpleft" ? 2 : 3;
        as_key(down, k_arrows[i]);
    } else if (b == "leftshoulder") {
        as_key(down, "PageUp");
    } else if (b == "rightshoulder") {
        as_key(down, "PageDown");
    } else if (b == "start") {
        if (!down) return;
        if (popup_menu_open()) {
            cancel_overlay(0);
        } else if (!overlay_open() && input_hooks().open_popup_menu &&
                   script::setting_number("kill_popupmenu") == 0) {
            std::int32_t x = 0, y = 0;
            engine::pointer_position(x, y);
            input_hooks().open_popup_menu(x, y, script::var_number("$SYSTEM_menu_lock") != 0);
        }
    } else if (b == "back") {
        as_key(down, "Space");
    }
}

} // namespace kestrune::ui
