// Game controllers through SDL's game-controller layer, plugged in and out while the game
// runs. A controller's buttons reach the engine as window events (pad_down, pad_up) named
// as SDL names them: "a", "b", "x", "y", "back", "guide", "start", "leftstick",
// "rightstick", "leftshoulder", "rightshoulder", "dpup", "dpdown", "dpleft", "dpright".
//
// A headless run has no controller of its own: timed input that presses pad buttons
// plugs in a virtual controller (SDL's virtual joystick with a controller mapping) and
// presses its buttons, so the presses travel the same road as a real pad's.
//
// Threading contract: main thread only (the window's event pump).
#pragma once

#include "platform/window.h"

#include <deque>
#include <string_view>

union SDL_Event;

namespace kestrune::platform {

// Whether `name` is a controller button (any letter case).
bool gamepad_button_known(std::string_view name);

// Starts SDL's controller layer (once) and opens the controllers already plugged in. A
// machine without controller support runs without, after one message.
bool open_gamepads();
// Closes every controller and the layer (the virtual controller goes with it).
void close_gamepads();

// An SDL event of the controller layer: a button becomes a pad event in `out` (true); a
// controller plugged in is opened and one pulled out is closed (false, nothing to hand on).
bool gamepad_event(const SDL_Event& e, WindowEvent& out);

// Headless: carries out a pad event of the timed input on the virtual controller (plugged
// in first when needed; pad_unplug pulls it out) and appends the controller's resulting
// events to `out`.
void drive_virtual_gamepad(const WindowEvent& in, std::deque<WindowEvent>& out);

} // namespace kestrune::platform
