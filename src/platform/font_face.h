// Fonts of the platform: a scalable face found by name through fontconfig and rendered
// by FreeType into 8-bit coverage bitmaps with 65 grey levels (0 to 64), rows padded to
// 4 bytes. This is the contract the text code was built around: a glyph comes as a black
// box (width and rows of the bitmap), the glyph origin (left edge of the box from the pen,
// top of the box above the baseline), the cell increments (the pen's advance, in whole
// pixels), and the face as a whole has a cell height (ascent plus descent) and an ascent.
//
// Face names arrive as the bytes the game stored: GBK from scripts, Shift-JIS from the
// settings file, plain ASCII, or UTF-8. A leading '@' marks a vertical-writing face (the
// same family; full-width characters are turned a quarter turn by the caller's request).
// A name that no installed family carries falls back to a CJK face (WenQuanYi Zen Hei,
// or whatever CJK face fontconfig prefers) and the substitution is reported once per name
// on stderr.
//
// Threading: every FontFace call may come from any thread. FreeType faces are not
// thread-safe, so all FreeType and fontconfig work of this file runs under one mutex.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace kestrune::platform {

// The family used when a requested face is not installed.
inline constexpr const char* k_fallback_face = "WenQuanYi Zen Hei";

struct FontRequest {
    std::string_view name;     // face name bytes (GBK, Shift-JIS, ASCII or UTF-8); '@' = vertical
    std::int32_t height = 16;  // cell height in pixels (ascent + descent); < 0: em height
    std::int32_t weight = 400; // 100..900; 0 means normal
    bool italic = false;
};

struct FaceMetrics {
    std::int32_t height = 0;  // ascent + descent, pixels
    std::int32_t ascent = 0;  // baseline below the cell top, pixels
    std::int32_t descent = 0; // cell bottom below the baseline, pixels
    std::int32_t average_width = 0;
    std::int32_t max_width = 0;
};

// How a glyph is turned before it is rendered.
enum class GlyphTurn {
    upright,
    // A quarter turn anticlockwise about the pen position; the advance turns with it
    // (it becomes a vertical increment). Used for paired punctuation of vertical text.
    quarter,
    // A quarter turn anticlockwise placed back into the horizontal cell: the way a
    // vertical-writing face shows full-width characters on a horizontal line. The advance
    // is the cell height.
    vertical,
};

// One rendered glyph, in the shape of a 65-level glyph outline fetch.
struct GlyphOutline {
    std::int32_t black_box_x = 0;       // bitmap width in pixels (1 for a blank glyph)
    std::int32_t black_box_y = 0;       // bitmap rows (1 for a blank glyph)
    std::int32_t origin_x = 0;          // left edge of the bitmap, pixels right of the pen
    std::int32_t origin_y = 0;          // top row of the bitmap, pixels above the baseline
    std::int16_t cell_inc_x = 0;        // pen advance, whole pixels
    std::int16_t cell_inc_y = 0;        // vertical pen advance (y up), whole pixels
    std::int32_t pitch = 0;             // bytes per coverage row: black_box_x rounded up to 4
    std::vector<std::uint8_t> coverage; // pitch * rows levels 0..64; empty for a blank glyph
};

class FontFace {
public:
    // Finds and opens a face; null (with a message on stderr) when not even the fallback
    // face could be opened.
    static std::shared_ptr<FontFace> open(const FontRequest& request);
    // Opens face `index` of a font file directly, bypassing fontconfig (tests, tools).
    static std::shared_ptr<FontFace> open_file(const std::string& path, int index,
                                               const FontRequest& request);

    FontFace(const FontFace&) = delete;
    FontFace& operator=(const FontFace&) = delete;
    ~FontFace();

    const FaceMetrics& metrics() const;
    bool vertical() const;             // the name began with '@'
    bool substituted() const;          // the requested face was not installed
    const std::string& family() const; // family name of the face in use (UTF-8)
    const std::string& file() const;   // font file in use

    // Renders code point cp. Characters the face lacks are taken from the fallback CJK
    // face when it has them; otherwise the face's missing-glyph box is rendered. False
    // only when FreeType fails (the outline stays as it was).
    bool glyph(char32_t cp, GlyphTurn turn, GlyphOutline& out) const;

    struct Impl; // defined in font_face.cpp: only open() and open_file() can make one
    explicit FontFace(std::unique_ptr<Impl> impl);

private:
    std::unique_ptr<Impl> m_impl;
};

// Makes the families of a font file findable by name (a game's own fonts, test fonts).
bool add_font_file(const std::string& path);
// Whether a face name (any of its readings, '@' first allowed) names an installed family;
// true when fontconfig cannot tell.
bool font_face_installed(std::string_view name);

// Gives fontconfig's configuration back at shutdown (faces still open stay usable;
// a later open starts fontconfig again).
void close_font_config();

// Number of faces opened since start: lets callers check that equal fonts are shared.
std::uint64_t font_faces_opened();

// Level 0..64 of an 8-bit coverage value 0..255, rounded to nearest.
inline std::uint8_t coverage_level(std::uint8_t v) {
    return static_cast<std::uint8_t>((unsigned(v) * 64u + 127u) / 255u);
}

} // namespace kestrune::platform
