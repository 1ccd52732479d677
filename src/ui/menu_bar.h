// The system menu bar: a 460 x 30 status strip drawn by the engine over the top edge of
// the picture, centred (a second window below the main one cannot be placed on every
// desktop). It shows auto and skip mode, the play speed on a slider, the save and load
// buttons, an animation while the script runs and another while it waits for a key, and,
// during a key wait, the wait indicator in the picture's top-left corner. The bar exists
// only when the settings file enables it and every image of "./Data/ctrl/" loads.
//
// Its buttons answer the left button: the mode indicator switches auto mode, the slider
// sets the play speed, save and load do what the popup menu's items do, and the small
// button hides or shows the slider.
//
// Threading contract: set-up and release run on the main thread at script start and
// shutdown; menu_bar_cycle on the render thread; menu_bar_input on the main thread;
// menu_bar_waiting on script threads; paint_menu_bar wherever the picture is shown. The
// bar's state is guarded by its own mutex, never held while calling out.
#pragma once

#include "platform/window.h"

#include <cstdint>

namespace kestrune::ui {

inline constexpr std::int32_t k_bar_width = 460;
inline constexpr std::int32_t k_bar_height = 30;
inline constexpr std::int32_t k_bar_x = (1024 - k_bar_width) / 2;
inline constexpr std::int32_t k_bar_y = 0;

// Loads the images when the settings enable the bar. False (with every image released)
// when one is missing; the engine then runs without the bar.
bool setup_menu_bar();
void release_menu_bar();
bool menu_bar_enabled();

// One step of the animations (render thread, once per cycle).
void menu_bar_cycle();
// A key wait began or ended: the waiting animation and the wait indicator.
void menu_bar_waiting(bool waiting);
// Mouse events over the bar. True when the bar took the event (presses and releases of
// the left button on it); pointer moves are seen but not taken.
bool menu_bar_input(const platform::WindowEvent& event);
// Paints the bar (and the wait indicator) over a 1024x576 BGRA picture.
void paint_menu_bar(std::uint8_t* bgra, std::int32_t stride);

// Test support: the wait-indicator frame (1 to 18) and the play-speed step the bar shows.
std::int32_t menu_bar_wait_frame();

} // namespace kestrune::ui
