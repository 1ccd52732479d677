// The text icon: the small animated mark that shows the reader the text waits for a click
// at the end of a line (line icon) or a page (page icon), or that auto mode is on (auto
// icon). Each kind is a list of frames loaded from the settings file (section "アイコン",
// keys 'icon_line', 'icon_page', 'icon_auto') or from "$SYSTEM_text_icon_line",
// "$SYSTEM_text_icon_page" and "$SYSTEM_text_icon_auto"; a value is a file-name pattern
// with one integer conversion, "#" and a count, e.g. "sys/page%02d.png#7".
//
// Normal play and the system-script state (engine state 400) keep separate icon records.
// The render thread steps the animation a quarter frame per cycle and draws the current
// frame over the composed picture, except while the message window is hidden.
//
// Threading: show_icon and place_icon run under the scene lock (the message display on the
// render thread, auto mode on script threads).
#pragma once

#include <cstdint>

namespace kestrune::text {

inline constexpr int k_icon_none = 0;
inline constexpr int k_icon_page = 1;
inline constexpr int k_icon_line = 2;
inline constexpr int k_icon_auto = 3; // 255 is taken as auto as well

// Shows the frames of `kind` from the first frame at the current icon position at full
// opacity; 0 hides the icon. Scene lock held.
void show_icon(int kind);
// The kind shown in the record of the current engine state (0 none).
int shown_icon_kind();
// Moves the icon to a screen position, unless a fixed icon position is set
// ("$SYSTEM_position_x_text_icon" and "$SYSTEM_position_y_text_icon" both other than
// "none"), which then wins. Scene lock held.
void place_icon(std::int32_t x, std::int32_t y);

// Start-up wiring (once, from the text subsystem's registration): loads the frame lists
// at every script start, watches the icon variables, and installs the icon's step and
// draw with the render thread.
void register_icons_with_frame();

} // namespace kestrune::text
