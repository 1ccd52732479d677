// The keyboard: key names, the key-down and key-up handlers that turn presses into input
// events, key variables and mode changes (skip, auto, hiding the message window, the
// backlog, closing), and the letter shortcuts that start system scripts.
//
// Threading contract: key_down and key_up run on the main thread under the message lock.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace kestrune::ui {

enum class Key {
    none,
    enter,
    space,
    shift,
    ctrl,
    tab,
    esc,
    up,
    down,
    left,
    right,
    page_up,
    page_down,
    home,
    end,
    letter,
    f1,
};

struct KeyPress {
    Key key = Key::none;
    char letter = 0; // 'A'..'Z' for Key::letter
};

// The key of a name as the window reports it ("Return", "Escape", "Left Ctrl", "A",
// "PageUp", ...) or as an input file writes it; case does not matter. Key::none for a key
// that takes no part.
KeyPress key_from_name(std::string_view name);
// The key of a character code as KickShortcut posts it (27 Esc, 32 Space, 13 Enter,
// letters in either case).
KeyPress key_from_code(int code);

// Key down. `synthetic` marks a key-down that came from the popup menu or KickShortcut,
// not the keyboard. Returns false when the key takes no part (default handling).
bool key_down(const KeyPress& press, bool synthetic = false);
void key_up(const KeyPress& press);

// The rate limit shared by the keys and the wheel: true (and the time recorded) when at
// least 64 ms have passed since the last accepted key.
bool accept_key_now();

// The variable of a key ("$SYSTEM_keydown_enter", "$SYSTEM_keydown_a", ...); empty for a
// key without one.
std::string key_variable(const KeyPress& press);

// Whether Enter is down (it holds a choice pressed as the left button does).
bool enter_held();

// Normal play: the render thread runs, the engine state is 256 and neither
// "$SYSTEM_menu_enable" nor "$SYSTEM_menu_lock" is non-zero.
bool normal_play();

// Asks the main window to close (handled on the main thread at its next pass).
void post_close_request();

// Forgets the key state (last key time, Ctrl flags, Enter held): when the render thread
// starts, and in tests.
void reset_key_state();

// Test support: forget only the time of the last accepted key.
void clear_key_rate_limit_for_tests();

} // namespace kestrune::ui
