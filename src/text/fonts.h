// Font records of the text subsystem: the TextFont that every text object, backlog screen
// and font-preloading command carries, the process-wide default font settings, and the
// words that scripts use for weights and outline directions.
//
// A TextFont holds the face it renders with (a shared platform::FontFace). Faces are
// shared: fonts with the same face name, height, weight and slant use one platform face,
// so creating the default font again with unchanged settings opens nothing new. Faces no
// TextFont uses any more are closed, except for the few most recently used ones.
//
// Threading: the default settings, the face sharing and the last default font are
// process-wide and guarded inside; a TextFont itself belongs to one thread at a time
// (layout holds the text lock while it works with one).
#pragma once

#include "platform/font_face.h"

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace kestrune::text {

// Outline direction bits.
inline constexpr std::uint32_t k_outline_left = 0x1;
inline constexpr std::uint32_t k_outline_right = 0x10;
inline constexpr std::uint32_t k_outline_down = 0x100;
inline constexpr std::uint32_t k_outline_up = 0x1000;
inline constexpr std::uint32_t k_outline_around = 0x1111;

// Face names are kept in a fixed field of this many bytes, NUL included.
inline constexpr std::size_t k_face_name_size = 32;
// The character set every font is created for (simplified Chinese).
inline constexpr std::uint8_t k_charset_gb2312 = 134;
// Default face and settings-file face names are at most this many bytes.
inline constexpr std::size_t k_default_face_max = 255;

// The logical font a TextFont asks the platform for.
struct FontDescription {
    std::int32_t height = 0; // cell height in pixels
    std::int32_t width = 0;
    std::int32_t escapement = 0;
    std::int32_t orientation = 0;
    std::int32_t weight = 400; // 100..900
    std::uint8_t italic = 0;
    std::uint8_t underline = 0;
    std::uint8_t strike_out = 0;
    std::uint8_t char_set = k_charset_gb2312;
    std::uint8_t out_precision = 0;
    std::uint8_t clip_precision = 0;
    std::uint8_t quality = 0;
    std::uint8_t pitch_and_family = 1;
    char face[k_face_name_size] = {}; // NUL-terminated; '@' first = vertical writing

    std::string_view face_name() const;
    // Copies a face name, cut at 31 bytes (never in the middle of a double-byte character).
    void set_face(std::string_view name);
};

struct TextFont {
    std::int32_t reserved = 0;
    std::int32_t created = 0; // 1 after a successful create from defaults
    std::uint32_t outline_directions = 0;
    std::uint32_t fill_colour = 0xFFFFFF;     // 0x00RRGGBB
    std::uint32_t outline_colour = 0;         // 0x00RRGGBB
    std::shared_ptr<platform::FontFace> face; // the platform font; null when none
    FontDescription desc;
    // Coverage of the glyph fetched last (levels, then alphas after rasterising); sized to
    // that glyph. Freed by free_font and after layout.
    std::vector<std::uint8_t> work;
    // What `work` holds while it still holds levels, so that measuring a glyph and then
    // rasterising it fetches it once. Rasterising turns the levels into alphas and clears it.
    struct Fetched {
        bool valid = false;
        std::uint32_t code = 0;
        platform::GlyphTurn turn = platform::GlyphTurn::upright;
        const platform::FontFace* face = nullptr;
        platform::GlyphOutline glyph; // measures only; the coverage is `work`
    } fetched;
};

struct DefaultFontSettings {
    std::string face; // bytes as stored (Shift-JIS from the settings file, GBK from scripts)
    std::int32_t size = 16;
    std::int32_t weight = 400;
    std::uint32_t fill_colour = 0xFFFFFF;
    std::uint32_t outline_colour = 0;
    std::uint32_t outline_directions = 0;
};

DefaultFontSettings default_font_settings();
// Replaces the default font settings (settings file, SetFont, restored text objects). The
// face is cut at 255 bytes.
void set_default_font(std::string_view face, std::int32_t size, std::uint32_t fill_colour,
                      std::uint32_t outline_colour, std::int32_t weight,
                      std::uint32_t outline_directions);
// Start-up state: the built-in defaults, no last default font, no shared faces.
void reset_font_state();

// Fills the font from the default settings and gives it a face. 1 on success, 0 on
// failure (the font is then left empty: no face, no buffer).
int create_font_from_defaults(TextFont& font);
// Gives back the font's face and refills it from the defaults (colours and directions
// included). 1, or 0 when no face could be had. Used by "</FONT>" and the backlog.
int reset_font_to_defaults(TextFont& font);
// Sets face, height, weight and styles and gives the font a matching face; colours and
// outline directions stay. 0 for an empty face or when no face could be had.
int create_font(TextFont& font, std::string_view face, std::int32_t height, std::int32_t weight,
                bool italic, bool underline, bool strike_out);
// Gives a font that has none (released, freed, or filled by hand) the face its
// description names. True when the font has a face afterwards.
bool attach_face(TextFont& font);
// Gives back the font's face (it stays open while other fonts share it).
void release_font(TextFont& font);
// Frees the work buffer and forgets the face.
void free_font(TextFont& font);

// The key under which the glyph cache files a font's glyphs.
std::uint32_t font_key(const TextFont& font);
// The font's face name begins with '@'.
bool is_vertical(const TextFont& font);
// True when the default face is a vertical-writing face.
bool default_face_is_vertical();

// "NORMAL", "BOLD", ... or a decimal number; 400 otherwise. Upper-cased first.
std::int32_t weight_from_word(std::string_view word);
// "LEFT", "AROUND", ...; 0 for anything else.
std::uint32_t directions_from_word(std::string_view word);

// The offsets at which the outline colour is drawn under a glyph: 2 pixels towards each
// named direction, and the diagonals where a horizontal and a vertical one are combined.
struct OutlineOffset {
    std::int32_t dx;
    std::int32_t dy;
};
std::vector<OutlineOffset> outline_offsets(std::uint32_t directions);

// Number of faces currently shared (tests).
std::size_t shared_face_count();

} // namespace kestrune::text
