// Timed input for headless runs (--input FILE). One event per line:
//
//   <ms> click X Y      left button pressed and released at X, Y
//   <ms> rclick X Y     right button pressed and released at X, Y
//   <ms> move X Y       pointer moved to X, Y
//   <ms> key NAME       key pressed (and held until a keyup of the same key)
//   <ms> keyup NAME     key released
//   <ms> wheel up|down [N]  wheel turned away from / towards the reader by N notches
//                       (1 when not given), as one report of the window
//   <ms> pad BUTTON     a game controller's button pressed (SDL's names: a, b, x, y, back,
//                       start, leftshoulder, rightshoulder, dpup, dpdown, dpleft, dpright)
//   <ms> padup BUTTON   ... and released
//   <ms> unplug         the controller is pulled out (the next pad line plugs it in again)
//   <ms> quit           the reader closes the window
//
// <ms> is engine time (platform::tick_ms, which starts with the program). Blank lines and
// lines beginning with '#' are ignored. Key names are those the window reports ("Return",
// "Escape", "Left Ctrl", "Space", "PageUp", "A", "F1", ...) or their short forms ("Enter",
// "Esc", "Ctrl"), in any case. A click releases the button 50 ms after pressing it, so
// that a waiter sees the press before the release resets it. Headless, pad lines drive a
// virtual controller through SDL's controller layer, so they arrive as a real pad's do.
//
// Threading contract: the file is read on the main thread before the run starts; the
// player is a thread of its own that posts the events to the main window at their times
// and ends at once when asked to stop.
#pragma once

#include "platform/window.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kestrune::ui {

struct TimedInput {
    std::uint32_t ms = 0;
    platform::WindowEvent event;
    int line = 0;
};

inline constexpr std::uint32_t k_click_release_ms = 50;

// Parses the text of an input file. On a bad line returns false with
// "<file>:<line>: <message>" in `error`; `out` is then left empty. The events come out
// ordered by time (events of the same time keep their file order).
bool parse_input_text(std::string_view text, const std::string& file_name,
                      std::vector<TimedInput>& out, std::string& error);

// Reads and parses the file and keeps its events for the player. Refuses a file that
// cannot be read or has a bad line (message in `error`).
bool load_input_file(const std::string& path, std::string& error);
bool input_file_loaded();

// Starts / stops the player thread. Starting without a loaded file does nothing.
bool start_input_player();
void stop_input_player();

} // namespace kestrune::ui
