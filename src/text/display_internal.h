// Shared between the files of the message display: the layers a text object reveals its
// glyphs into, the process-wide display state (voice, backlog and last-text hooks) and the
// mode switches. Not for other subsystems: they use display.h.
#pragma once

#include "text/layout.h"

#include <cstdint>
#include <string_view>

namespace kestrune::scene {
struct SceneObject;
}

namespace kestrune::text::detail {

// The fill and outline colours of text the reader has read before (when
// "read_text_color_change" is on).
inline constexpr std::uint32_t k_read_fill = 0x41B3FF;
inline constexpr std::uint32_t k_read_outline = 0x222222;

// ---- layers (display_layers.cpp); scene lock held ------------------------------------------
// Copies slot `index` into the glyph layer (and its outline into the outline layer), in the
// read colours when `read` is set, and brings the object's picture up to date there.
// Returns the screen-independent rectangle that changed (object coordinates) through x/y/w/h
// (w = 0 when nothing was copied).
struct ChangedRect {
    std::int32_t x = 0, y = 0, w = 0, h = 0;
};
ChangedRect copy_slot(TextLayout& layout, std::int32_t index, bool read);
// Copies ruby glyph `ruby_index` to (x, y) in the base character's colour (or the read
// colour); only the ruby's drawn pixels are written.
ChangedRect copy_ruby(TextLayout& layout, std::int32_t ruby_index, std::int32_t x, std::int32_t y,
                      std::uint32_t colour);
// Clears every layer (a page clear).
void clear_layers(TextLayout& layout);
// Rebuilds the whole picture from the glyph and outline layers; the changed rectangle.
ChangedRect compose_all(TextLayout& layout);

// ---- last-text record (display_modes.cpp) --------------------------------------------------
void last_text_clear();
void last_text_add(std::int32_t code);

// ---- voices and backlog ------------------------------------------------------------------------
// Sends a revealed character (or 10, a line end) to the backlog when it takes it.
void backlog_add(std::int32_t code, const VoiceRecord* voice);

} // namespace kestrune::text::detail
