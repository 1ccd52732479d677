// Glyphs: one character of a TextFont measured, rasterised into a 32-bit image whose
// alpha is the glyph's coverage, and the glyph images that text layout places.
//
// Character codes are the engine's multibyte codes: the byte value of a single-byte
// character, lead * 256 + trail of a double-byte GBK character, and, for the paired
// punctuation of vertical text ("!!", "!?", "?!", "??"), first * 65536 + second.
//
// Coverage comes in 65 levels (0 to 64); a drawn pixel gets alpha 4 * level - 1 (level 64
// is 255, level 1 is 3) and the font's fill colour; level 0 leaves the pixel alone.
//
// Threading: a TextFont is used by one thread at a time (layout holds the text lock); the
// platform face and the glyph cache guard themselves.
#pragma once

#include "platform/font_face.h"
#include "storage/pixel_image.h"
#include "text/fonts.h"

#include <cstdint>
#include <memory>
#include <optional>

namespace kestrune::text {

inline constexpr std::uint32_t k_code_space = 0x20;
inline constexpr std::uint32_t k_code_wide_space = 0xA1A1;

using FontMetrics = platform::FaceMetrics;

// The measures layout places a character by.
struct GlyphMetrics {
    std::int32_t code = 0;
    std::int32_t origin_x = 0;     // cell left edge to bitmap left edge
    std::int32_t y_offset = 0;     // line top to bitmap top row (ascent - origin y)
    std::int32_t bitmap_width = 0; // black-box width rounded up to 4
    std::int32_t rows = 0;
    std::int32_t advance = 0; // cell increment x, or the bitmap width when that is 0
    std::int32_t cell_inc_y = 0;
    std::int32_t line_height = 0; // the font's ascent + descent
};

// The five measures of a rasterised glyph, as the glyph cache keeps them.
struct GlyphMeasures {
    std::int32_t black_box_x = 0;
    std::int32_t rows = 0;
    std::int32_t origin_x = 0;
    std::int32_t origin_y = 0;
    std::uint32_t cell_increments = 0; // x in the low 16 bits, y in the high 16 bits

    std::int16_t cell_inc_x() const { return static_cast<std::int16_t>(cell_increments & 0xFFFF); }
    std::int16_t cell_inc_y() const { return static_cast<std::int16_t>(cell_increments >> 16); }
};

// A glyph image for layout: either borrowed from a glyph-cache entry (its measures and
// font metrics then come with it) or made for this character alone. The image stays
// valid for as long as the GlyphImage holds it, even if the cache entry is removed.
struct GlyphImage {
    std::shared_ptr<const PixelImage> image;
    bool borrowed = false;
    int cache_id = -1;
    GlyphMeasures measures;   // filled when borrowed
    FontMetrics font_metrics; // filled when borrowed
};

// GBK character code to Unicode: ASCII as it is, double-byte codes through the GBK table;
// a code that is no GBK character becomes U+FFFD.
char32_t code_to_unicode(std::uint32_t code);
// True for a paired code of vertical text.
inline bool is_paired_code(std::uint32_t code) {
    return code > 0xFFFF;
}

// Size in pixels of the image the glyph needs; false on failure.
bool measure_glyph(TextFont& font, std::uint32_t code, std::int32_t& width, std::int32_t& height);

// Rasterises code at the top-left corner of a destination of 32-bit pixels (alpha in the
// top byte) whose rows are dst_stride pixels apart; everything outside dst_width by
// dst_height is clipped. Fills `measures` when given. 1 on success, 0 on failure.
int rasterise_glyph(TextFont& font, GlyphMeasures* measures, std::uint32_t* dst,
                    std::int32_t dst_stride, std::int32_t dst_width, std::int32_t dst_height,
                    std::uint32_t code);
int rasterise_glyph(TextFont& font, GlyphMeasures* measures, PixelImage& dst, std::uint32_t code);

// Fills every field of m but the code, which the caller sets. 1 on success, 0 on failure.
int glyph_metrics(TextFont& font, GlyphMetrics& m);

// One character's coverage levels (0 to 64, rows of out.pitch bytes) and measures, for
// callers that blend coverage themselves (the backlog screen). Paired codes are not
// fetched this way (false), nor is anything when the font has no face.
bool glyph_coverage(TextFont& font, std::uint32_t code, platform::GlyphOutline& out);

// The font's ascent, descent and height; false when the font has no face.
bool font_metrics(TextFont& font, FontMetrics& out);

// The glyph image for one character. With a font, a glyph-cache entry filed under the
// font's key and the code is borrowed when there is one; otherwise the glyph is rendered
// into an image of its measured size (128 by 128 when measuring fails), 4 pixels wider
// and higher when the font has outline directions. Without a font the default font is
// used. Empty when no image could be had.
std::optional<GlyphImage> make_glyph(TextFont* font, std::uint32_t code);

// Metrics of a glyph borrowed from the cache: the unrounded black-box width, the cached
// cell increments and the cached font metrics.
GlyphMetrics cached_glyph_metrics(const GlyphImage& glyph, std::uint32_t code);

// The outline of a glyph image: an image 4 pixels wider and higher whose pixel (x, y)
// stands for glyph pixel (x - 2, y - 2), in the outline colour, with the alpha of the glyph
// drawn at each offset of outline_offsets(directions) blended over each other. Draw it 2
// pixels up and left of the glyph, under it. Null for no directions or no memory.
std::shared_ptr<PixelImage> make_outline_image(const PixelImage& glyph, std::uint32_t directions,
                                               std::uint32_t outline_colour);

} // namespace kestrune::text
