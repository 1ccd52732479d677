// The backlog screen's state and operations, shared by the window (backlog_screen.cpp) and
// the commands that make and feed it (backlog_commands.cpp). Everything here is used with
// the scene lock held.
#pragma once

#include "scene/scene.h"
#include "text/backlog_internal.h"
#include "text/fonts.h"

#include <array>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

namespace kestrune::text::detail {

inline constexpr std::int32_t k_no_point = -32768;
inline constexpr std::size_t k_row_slots = 32;

// The page layout, read from the variables when a window is made.
struct Layout {
    std::int32_t rows = 17;  // rows per page, 1 to 31
    std::int32_t width = 32; // characters per row
    std::int32_t icon_x = 82;
    std::int32_t icon_shift = 0;
    std::int32_t position_x = 120; // first character of a row
    std::int32_t position_y = 100; // top of the first row
    std::int32_t pitch = 24;       // row pitch, > 0
    std::int32_t char_pitch = 19;  // character pitch, > 0
};

struct RowSlot {
    bool voice = false;  // the row begins a voiced line (set by the drawing)
    int image = 0;       // icon image: 0 normal, 1 pointed at, 2 pressed
    int state = 0;       // normal, hover, pressed, clicked
    bool played = false; // the click has replayed the voice
    std::string voice_file;
};

// A glyph as the screen draws it: its alphas, and the alphas of all its outline offsets
// blended into one mask (2 pixels larger on every side), so that a page costs two blends
// per glyph whatever the outline directions.
struct CachedGlyph {
    bool ok = false;
    std::int32_t origin_x = 0, origin_y = 0;
    std::int32_t width = 0, height = 0;
    std::vector<std::uint8_t> fill;    // width x height
    std::vector<std::uint8_t> outline; // (width + 4) x (height + 4); empty without outline
};

struct Screen {
    bool visible = false, changed = false;
    std::int32_t offset = 0; // rows back from the newest page (0 or negative)
    std::int32_t drag_x = k_no_point, drag_y = k_no_point;
    std::int32_t drawn_top = 100;
    Layout layout;
    std::array<RowSlot, k_row_slots> rows;
    std::vector<std::shared_ptr<PixelImage>> icons; // the three voice icon images, or none
    scene::SceneObject* window = nullptr;
    scene::SceneObject* bar = nullptr;
    std::shared_ptr<void> replay; // the voice replayed last
    bool told_no_sound = false;
    TextFont font;
    DefaultFontSettings font_settings; // what `font` and `glyphs` were made with
    std::int32_t ascent = 0;
    std::unordered_map<std::uint32_t, CachedGlyph> glyphs;
};

Screen& screen();
// Marks the window area (grown upwards by half a row) changed.
void mark_window_area();
// The row icons follow the pointer (picture coordinates) and the left button.
void row_icons(std::int32_t x, std::int32_t y, bool held);
const scene::ScrollOps& backlog_scroll_ops();
// A backlog window was made (reads the layout, starts at the newest page) or deleted.
void open_window(scene::SceneObject& window);
void close_window(scene::SceneObject& window);
int draw_backlog(scene::SceneObject& o, scene::FrameBuffer& frame, const scene::ClipRect& clip);

} // namespace kestrune::text::detail
