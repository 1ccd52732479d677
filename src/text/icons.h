// The text icon: the small animated mark that shows the reader the text waits for a click
// at the end of a line (line icon) or a page (page icon), or that auto mode is on (auto
// icon). Each kind is a list of frames loaded from the settings file (section "アイコン",
// keys 'icon_line', 'icon_page', 'icon_auto') at every script start, and replaced at run
// time by "$SYSTEM_text_icon_line", "$SYSTEM_text_icon_page" and "$SYSTEM_text_icon_auto";
// a value is a file-name pattern with one integer conversion, "#" and a count, e.g.
// "sys/page%02d.png#7".
//
// Normal play and the system-script state (engine state 400) keep separate icon records;
// the engine state at the moment of a call picks the record. The render thread steps the
// animation a quarter frame per cycle and draws the current frame over the composed
// picture, except while the message window is hidden (or "$SYSTEM_text_icon_disable" is
// set).
//
// Threading: every record and frame list is read and written under the scene lock.
// show_icon and place_icon expect it held (the message display calls them on the render
// thread, auto mode on script threads); set_icon_frames takes it itself and loads the
// images before taking it. step_icon and draw_icon are the scene's overlay hooks and run
// on the render thread (draw_icon also in draw_now) with the lock held.
#pragma once

#include "storage/pixel_image.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace kestrune::scene {
class FrameBuffer;
struct ClipRect;
} // namespace kestrune::scene

namespace kestrune::text {

inline constexpr int k_icon_none = 0;
inline constexpr int k_icon_page = 1;
inline constexpr int k_icon_line = 2;
inline constexpr int k_icon_auto = 3; // 255 is taken as auto as well

// Shows the frames of `kind` from the first frame at the current icon position at full
// opacity; 0 (or any unknown kind) hides the icon. Scene lock held.
void show_icon(int kind);
// The kind shown in the record of the current engine state (0 none).
int shown_icon_kind();
// Moves the icon to a screen position, unless a fixed icon position is set
// ("$SYSTEM_position_x_text_icon" and "$SYSTEM_position_y_text_icon" both other than
// "none"), which then wins. Scene lock held.
void place_icon(std::int32_t x, std::int32_t y);
// Position of the icon in the current record. Scene lock held.
void icon_position(std::int32_t& x, std::int32_t& y);

// The fixed icon position, when both position settings hold a number (not "none").
bool fixed_icon_position(std::int32_t& x, std::int32_t& y);

// ---- frame lists (icon_frames.cpp) -------------------------------------------------------

// A frame-list value "pattern#N" taken apart. The pattern holds at most one integer
// conversion: "%d", "%i" or "%u" with an optional "0" flag and a width of one or two digits
// ("%02d"); "%%" stands for a percent sign. Any other conversion is refused, so a value
// from a script or the settings file never reaches a printf-style formatter. A pattern
// without a conversion names the same file for every index (a one-frame icon).
struct IconPattern {
    std::string before, after; // text around the conversion, "%%" already made "%"
    bool has_conversion = false;
    bool zero_pad = false;
    int width = 0;
    int count = 0;
    // The file name for one index.
    std::string name(int index) const;
};
inline constexpr int k_max_icon_frames = 1000;
// False with a reason in `error` for a value that is not "pattern#N" with a count of 0 to
// k_max_icon_frames and an acceptable pattern.
bool parse_icon_pattern(std::string_view value, IconPattern& out, std::string& error);

using IconImageLoader = std::function<std::shared_ptr<PixelImage>(std::string_view name)>;
// Loads the images for the indices 0, 1, 2 ... in turn until `count` images have loaded or
// the index `count` has been tried; an image that fails to load is skipped.
std::vector<std::shared_ptr<PixelImage>> load_icon_frames(const IconPattern& pattern,
                                                          const IconImageLoader& load);

// ---- records (icons.cpp) -----------------------------------------------------------------

// Replaces the frame list of `kind` (1 page, 2 line, 3 auto) from a value; `source` names
// the key or variable in messages. An empty value empties the list. A refused value is
// reported on stderr and leaves the list as it was (false). An icon showing that kind goes
// on with the new frames from the first one. `load` defaults to the engine's image loader.
// Takes the scene lock.
bool set_icon_frames(int kind, std::string_view value, std::string_view source,
                     const IconImageLoader& load = {});
// Number of frames in the list of `kind`. Takes the scene lock.
std::size_t icon_frame_count(int kind);

// The overlay hooks of the render thread (scene lock held): one animation step of the
// current record, and the drawing of its current frame clipped to `clip`.
void step_icon();
void draw_icon(scene::FrameBuffer& frame, const scene::ClipRect& clip);

// Both records hidden at 0, 0 (scene start). Takes the scene lock.
void reset_icon_records();
// Test support: forgets the frame lists and the records.
void reset_icons_for_tests();

// Start-up wiring (once, from the text subsystem's registration): installs the step and
// the draw with the render thread, and at every script start loads the frame lists from
// the settings file, resets the records and watches the icon variables.
void register_icons_with_frame();

} // namespace kestrune::text
