// What the key, mouse and wheel handlers need from subsystems that sit beside them: the
// message display (hidden window, revealing text, auto mode), the backlog screen, the
// popup menu, the cursor and the choices. Each owner installs its functions once; a null
// entry means "that part is not there", and the handlers behave as if nothing took the
// input (no hidden window, no revealing text, the backlog does not open, ...).
//
// Threading: every hook is called on the main thread under the message lock (lock 8);
// hooks that touch the scene take the scene lock themselves.
#pragma once

#include <cstdint>

namespace kestrune::ui {

// What a press is offered to the revealing text objects as.
enum class TextPress { enter, click, double_click, wheel_down };

struct InputHooks {
    // The message window.
    bool (*text_window_hidden)() = nullptr;
    void (*show_text_window)() = nullptr;   // show it and redraw the whole picture
    void (*toggle_text_window)() = nullptr; // hide or show; redraws under the scene lock
    // Offers a press to the revealing text objects; true when one took it (its page
    // completed), which ends the handling of the press.
    bool (*offer_to_text)(TextPress press) = nullptr;
    // Applies the auto setting again after "$SYSTEM_text_auto" changed.
    void (*apply_auto_setting)() = nullptr;
    // The backlog screen: open it (true when it opened), whether it is open, and hand it
    // an input kind (516 right button, 38 wheel away from the reader; true when taken).
    bool (*open_backlog)() = nullptr;
    bool (*backlog_open)() = nullptr;
    bool (*backlog_input)(std::int32_t kind) = nullptr;
    // The popup menu at a frame position; `locked` greys the entries that "menu_lock"
    // forbids.
    void (*open_popup_menu)(std::int32_t x, std::int32_t y, bool locked) = nullptr;
    // The cursor: is it the hand (over a clickable object), set its shape for the pointer,
    // and report the pointer to the menu bar.
    bool (*cursor_is_hand)() = nullptr;
    void (*update_cursor)() = nullptr;
    void (*report_pointer)(std::int32_t x, std::int32_t y) = nullptr;
    // Offers an input code to the scene's objects (keyboard focus, scroll bars); true when
    // one of them acted on it.
    bool (*offer_to_objects)(std::int32_t code) = nullptr;
    // Brings the pointer to the first choice of a waiting select (the game pad's way to
    // reach the choices); true when it moved.
    bool (*focus_first_choice)() = nullptr;
};

InputHooks& input_hooks();

} // namespace kestrune::ui
