// The input events: two sets of 30 manual-reset events, one for normal play and one for the
// system-script state (engine state 400). Every click, key and wheel turn reaches waiting
// code as one of these events (and, at the same time, as a system variable for scripts).
//
// Threading contract: the handlers that signal and reset run on the main thread under the
// message lock (lock 8); waiters on the events run on script threads and the render thread.
// The events themselves live for the whole run: closing the table only makes event()
// answer none, so a waiter that still holds an event pointer never holds a dangling one.
#pragma once

#include "platform/sync.h"

#include <cstdint>

namespace kestrune::ui {

inline constexpr int k_input_event_count = 30;

// Input event codes.
inline constexpr std::int32_t k_in_enter = 257; // reset when Enter is released
inline constexpr std::int32_t k_in_space = 258;
inline constexpr std::int32_t k_in_shift = 259;
inline constexpr std::int32_t k_in_ctrl = 260;
inline constexpr std::int32_t k_in_tab = 261;
inline constexpr std::int32_t k_in_esc = 262;
inline constexpr std::int32_t k_in_enter_up = 273;
inline constexpr std::int32_t k_in_any = 768; // some input happened
inline constexpr std::int32_t k_in_left_down = 769;
inline constexpr std::int32_t k_in_right_down = 770;
inline constexpr std::int32_t k_in_left_up = 771;
inline constexpr std::int32_t k_in_right_up = 772;
inline constexpr std::int32_t k_in_wheel_up = 1025;   // turned away from the reader
inline constexpr std::int32_t k_in_wheel_down = 1026; // turned towards the reader
inline constexpr std::int32_t k_in_up = 1281;
inline constexpr std::int32_t k_in_down = 1282;
inline constexpr std::int32_t k_in_left = 1283;
inline constexpr std::int32_t k_in_right = 1284;
inline constexpr std::int32_t k_in_page_up = 1285;
inline constexpr std::int32_t k_in_page_down = 1286;
inline constexpr std::int32_t k_in_home = 1287;
inline constexpr std::int32_t k_in_end = 1288;
inline constexpr std::int32_t k_in_letter = 1296;

// Index of a code in the table (0..29), or -1 for a code that is not in it.
int input_index(std::int32_t code);

// Opens both sets with every event reset (called when the render thread starts), and
// closes them (when it stops). Opening an open table resets its events.
void create_input_events();
void close_input_events();
bool input_events_open();

// The set in use: 1 (system scripts) in engine state 400, else 0.
int current_input_set();

// The event of a code in the current set, or null for an unknown code or a closed table.
platform::Event* input_event(std::int32_t code);
platform::Event* input_event_of_set(int set, std::int32_t code);

// Sets the event of a code in the current set; unknown codes do nothing. Before
// any code but 768 and 260 is signalled while the render thread runs, the input is offered
// to the scene's objects (keyboard focus, scroll bars; when their hook is installed) and
// the caller sleeps 32 ms, so the objects show their new state before waiters wake.
void signal_input(std::int32_t code);
// Resets the code in both sets, so a release that comes after the state changed still
// clears its press.
void reset_input(std::int32_t code);
bool input_signalled(std::int32_t code);
// Resets every event of the current set.
void reset_all_inputs();

// Fills the input wait sources of the multi-object wait (codes 257, 769 and 1026), keeping
// whatever other sources are installed.
void install_wait_sources();

} // namespace kestrune::ui
