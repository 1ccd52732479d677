// The main window's input: mouse buttons, pointer movement, the wheel, keys and the close
// request, as the game mode of the window handles them, plus the KickShortcut built-in
// and the registration of the input subsystem with the engine frame.
//
// Threading contract: handle_window_event and handle_close_request run on the main thread
// under the message lock. post_key and post_close_request may be called from any thread;
// what they post is handled on the main thread at its next pass.
#pragma once

#include "platform/window.h"
#include "ui/keys.h"

namespace kestrune::ui {

// True while the pointer is on something the reader can click (the cursor is the hand):
// such a click is the object's, and does not end a text's key wait.
bool cursor_is_hand();
// Hands one window event to its handler (mouse, wheel, keys; wake-ups do nothing).
void handle_window_event(const platform::WindowEvent& event);
// A game controller's button, handed on as the key or mouse button it stands for.
void handle_pad_button(const platform::WindowEvent& event);

// The close request of the game mode: ends skip mode, else starts the close script, else
// asks before quitting (the question also answers the window's close button when the
// close script cannot start, or a system script runs). `from_window` is false for the
// Esc key's request. A request before the game runs waits for it. Returns false when the
// engine should quit now (the request came again while the question was up).
bool handle_close_request(bool from_window = true);

// Posts a synthetic key-down (the popup menu, KickShortcut) to the main thread; with
// `tap` the key goes up again right after (a menu item presses and lets go), so that a
// script waiting for the key's release does not wait for ever.
void post_key(const KeyPress& press, bool tap = false);
// Posts a window event to be handled on the main thread (timed input of a windowed run).
void post_window_event(const platform::WindowEvent& event);
// Handles what was posted (called by the main loop after each pass).
void run_posted_input();

// The KickShortcut built-in: the key text in upper case; "ESCAPE" posts Esc, "SPACE" the
// space bar, any other text the key of its first character; rendering is released first
// when it is held. Returns 0.
void kick_shortcut(const std::string& key_text);

// Registers the input subsystem with the engine frame: window events, the close request,
// the input events with the render thread, the wait sources, the built-ins, and the
// --input file of a headless run. Called once from register_subsystems().
void register_with_frame();

// Test support: forgets the mouse state and the posted input.
void reset_window_input_for_tests();

} // namespace kestrune::ui
