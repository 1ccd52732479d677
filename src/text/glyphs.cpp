#include "text/glyphs.h"

#include "platform/encoding.h"
#include "text/glyph_cache.h"

#include <algorithm>

namespace kestrune::text {

namespace {

using platform::GlyphOutline;
using platform::GlyphTurn;

// The dash of the Shift-JIS code page: its third inked pixel of every row pulls the two
// pixels to its left up to the same alpha, so that consecutive dashes join into one line.
constexpr std::uint32_t k_code_dash = 0x815C;

bool is_space(std::uint32_t code) {
    return code == k_code_space || code == k_code_wide_space;
}

// Fetches one character's coverage into font.work; `out` keeps the glyph's measures.
bool fetch(TextFont& font, std::uint32_t code, GlyphTurn turn, GlyphOutline& out) {
    if (!attach_face(font)) return false;
    TextFont::Fetched& last = font.fetched;
    if (last.valid && last.code == code && last.turn == turn && last.face == font.face.get()) {
        out = last.glyph;
        return true;
    }
    last.valid = false;
    if (!font.face->glyph(code_to_unicode(code), turn, out)) return false;
    font.work.swap(out.coverage);
    out.coverage.clear();
    last.glyph = out;
    last.code = code;
    last.turn = turn;
    last.face = font.face.get();
    last.valid = true;
    return true;
}

// Rows of a fetched glyph: the coverage size over the row pitch. A blank glyph has no
// coverage and so no rows.
std::int32_t fetched_rows(const TextFont& font, const GlyphOutline& g) {
    return g.pitch > 0 ? std::int32_t(font.work.size() / std::size_t(g.pitch)) : 0;
}

GlyphTurn turn_for(const TextFont& font, std::uint32_t code) {
    return is_vertical(font) && code > 0xFF ? GlyphTurn::vertical : GlyphTurn::upright;
}

std::uint32_t pack_increments(const GlyphOutline& g) {
    return std::uint32_t(std::uint16_t(g.cell_inc_x)) |
           (std::uint32_t(std::uint16_t(g.cell_inc_y)) << 16);
}

struct Target {
    std::uint32_t* pixels;
    std::int32_t stride;
    std::int32_t width;
    std::int32_t height;
};

// Turns the levels in font.work into alphas and draws them at (x0, y0) in the fill colour.
void draw_work(TextFont& font, const GlyphOutline& g, std::int32_t rows, const Target& t,
               std::int32_t x0, std::int32_t y0, bool dash) {
    font.fetched.valid = false; // the levels become alphas
    const std::uint32_t fill = font.fill_colour & 0xFFFFFF;
    for (std::int32_t r = 0; r < rows; ++r) {
        std::uint8_t* line = font.work.data() + std::size_t(r) * std::size_t(g.pitch);
        const std::int32_t y = y0 + r;
        const bool row_inside = y >= 0 && y < t.height;
        std::uint32_t* out =
            row_inside ? t.pixels + std::size_t(y) * std::size_t(t.stride) : nullptr;
        int inked = 0;
        for (std::int32_t c = 0; c < g.black_box_x; ++c) {
            const unsigned level = std::min<unsigned>(line[c], 64);
            if (level == 0) continue;
            const std::uint32_t alpha = 4 * level - 1;
            line[c] = static_cast<std::uint8_t>(alpha);
            ++inked;
            if (!out) continue;
            const std::uint32_t pixel = (alpha << 24) | fill;
            const std::int32_t x = x0 + c;
            if (x >= 0 && x < t.width) out[x] = pixel;
            if (dash && inked == 3)
                for (std::int32_t k = x - 2; k < x; ++k)
                    if (k >= 0 && k < t.width) out[k] = pixel;
        }
    }
}

// Paired punctuation of vertical text: both halves turned a quarter turn, the second
// character on top, the first below it after a gap that depends on the pair and height.
std::int32_t pair_gap(std::uint32_t first, std::uint32_t second, std::int32_t height) {
    const bool h40 = height == 40, h32 = height == 32;
    if (first == '!' && second == '!') return h40 || h32 ? 12 : 6;
    if (first == '!' && second == '?') return h40 ? 8 : h32 ? 7 : 4;
    if (first == '?' && second == '!') return h40 ? 4 : h32 ? 3 : 2;
    if (first == '?' && second == '?') return h40 ? 2 : 1;
    return 2;
}

std::int32_t pair_y_offset(std::uint32_t first, std::uint32_t second) {
    if (second == '!') return 4; // "!!" and "?!"
    if (first == '!') return 2;  // "!?"
    return 1;                    // "??"
}

std::int32_t pair_shift(std::uint32_t ch) {
    return ch == '?' ? 1 : 0;
}

struct Pair {
    std::uint32_t first, second;
    GlyphOutline top, bottom; // top: the second character, fetched first
    std::int32_t top_rows = 0, bottom_rows = 0, gap = 0;
};

// Fetches both halves; the bottom one's coverage is left in font.work.
bool fetch_pair(TextFont& font, std::uint32_t code, Pair& p) {
    p.first = (code >> 16) & 0xFFFF;
    p.second = code & 0xFFFF;
    if (!fetch(font, p.second, GlyphTurn::quarter, p.top)) return false;
    p.top_rows = fetched_rows(font, p.top);
    if (!fetch(font, p.first, GlyphTurn::quarter, p.bottom)) return false;
    p.bottom_rows = fetched_rows(font, p.bottom);
    p.gap = pair_gap(p.first, p.second, font.desc.height);
    return true;
}

int rasterise_pair(TextFont& font, GlyphMeasures* measures, const Target& t, std::uint32_t code) {
    Pair p;
    p.first = (code >> 16) & 0xFFFF;
    p.second = code & 0xFFFF;
    if (!fetch(font, p.second, GlyphTurn::quarter, p.top)) return 0;
    p.top_rows = fetched_rows(font, p.top);
    draw_work(font, p.top, p.top_rows, t, pair_shift(p.second), 0, false);
    if (!fetch(font, p.first, GlyphTurn::quarter, p.bottom)) return 0;
    p.bottom_rows = fetched_rows(font, p.bottom);
    p.gap = pair_gap(p.first, p.second, font.desc.height);
    draw_work(font, p.bottom, p.bottom_rows, t, pair_shift(p.first), p.top_rows + p.gap, false);
    if (measures) {
        const std::int32_t ascent = font.face ? font.face->metrics().ascent : 0;
        measures->black_box_x = std::max(p.top.black_box_x + pair_shift(p.second),
                                         p.bottom.black_box_x + pair_shift(p.first));
        measures->rows = p.top_rows + p.bottom_rows;
        measures->origin_x = 0;
        measures->origin_y = ascent - pair_y_offset(p.first, p.second);
        measures->cell_increments = pack_increments(p.bottom);
    }
    return 1;
}

} // namespace

char32_t code_to_unicode(std::uint32_t code) {
    if (code < 0x80) return static_cast<char32_t>(code);
    char32_t cp = platform::gbk_code_to_unicode(code);
    return cp != 0 ? cp : U'\uFFFD';
}

bool glyph_coverage(TextFont& font, std::uint32_t code, platform::GlyphOutline& out) {
    if (is_paired_code(code) || !fetch(font, code, turn_for(font, code), out)) return false;
    out.coverage = font.work;
    return true;
}

bool font_metrics(TextFont& font, FontMetrics& out) {
    if (!attach_face(font)) return false;
    out = font.face->metrics();
    return true;
}

bool measure_glyph(TextFont& font, std::uint32_t code, std::int32_t& width, std::int32_t& height) {
    if (is_paired_code(code)) {
        Pair p;
        if (!fetch_pair(font, code, p)) return false;
        // Room for both halves, the gap between them and the one-pixel shift of a '?'.
        width = std::max({p.top.pitch, p.bottom.pitch, p.top.black_box_x + pair_shift(p.second),
                          p.bottom.black_box_x + pair_shift(p.first)});
        height = std::max(p.top_rows + p.bottom_rows + 8, p.top_rows + p.gap + p.bottom_rows);
        return true;
    }
    GlyphOutline g;
    if (!fetch(font, code, turn_for(font, code), g)) return false;
    if (is_space(code)) {
        width = g.cell_inc_x;
        height = font.face->metrics().height;
    } else {
        width = g.pitch;
        height = fetched_rows(font, g);
    }
    return true;
}

int rasterise_glyph(TextFont& font, GlyphMeasures* measures, std::uint32_t* dst,
                    std::int32_t dst_stride, std::int32_t dst_width, std::int32_t dst_height,
                    std::uint32_t code) {
    const Target t{dst, dst_stride, dst ? dst_width : 0, dst ? dst_height : 0};
    if (is_paired_code(code)) return rasterise_pair(font, measures, t, code);
    // Spaces draw nothing; they are still fetched when their measures are wanted, so that
    // a cached space keeps its advance.
    if (is_space(code) && !measures) return 1;
    GlyphOutline g;
    if (!fetch(font, code, turn_for(font, code), g)) return 0;
    const std::int32_t rows = fetched_rows(font, g);
    if (measures) {
        measures->black_box_x = g.black_box_x;
        measures->rows = rows;
        measures->origin_x = g.origin_x;
        measures->origin_y = g.origin_y;
        measures->cell_increments = pack_increments(g);
    }
    if (is_space(code)) return 1;
    draw_work(font, g, rows, t, 0, 0, code == k_code_dash);
    return 1;
}

int rasterise_glyph(TextFont& font, GlyphMeasures* measures, PixelImage& dst, std::uint32_t code) {
    if (dst.empty()) return rasterise_glyph(font, measures, nullptr, 0, 0, 0, code);
    return rasterise_glyph(font, measures, dst.row32(0), dst.width, dst.width, dst.height, code);
}

int glyph_metrics(TextFont& font, GlyphMetrics& m) {
    const std::uint32_t code = static_cast<std::uint32_t>(m.code);
    if (is_paired_code(code)) {
        Pair p;
        if (!fetch_pair(font, code, p)) return 0;
        m.origin_x = 0;
        m.y_offset = pair_y_offset(p.first, p.second);
        m.bitmap_width = std::max(p.top.pitch, p.bottom.pitch);
        m.rows = p.top_rows + p.bottom_rows;
        m.advance = p.bottom.cell_inc_x != 0 ? p.bottom.cell_inc_x : m.bitmap_width;
        m.cell_inc_y = p.bottom.cell_inc_y;
        m.line_height = 2 * p.top_rows + p.bottom_rows;
        return 1;
    }
    GlyphOutline g;
    if (!fetch(font, code, turn_for(font, code), g)) return 0;
    const FontMetrics& fm = font.face->metrics();
    m.origin_x = g.origin_x;
    m.y_offset = fm.ascent - g.origin_y;
    m.bitmap_width = g.pitch;
    m.rows = is_space(code) ? g.black_box_y : fetched_rows(font, g);
    m.advance = g.cell_inc_x != 0 ? g.cell_inc_x : m.bitmap_width;
    m.cell_inc_y = g.cell_inc_y;
    m.line_height = fm.height;
    return 1;
}

std::optional<GlyphImage> make_glyph(TextFont* font, std::uint32_t code) {
    TextFont default_font;
    if (font) {
        if (auto cached = glyph_cache_borrow(font_key(*font), code)) return cached;
    } else {
        if (!create_font_from_defaults(default_font)) return std::nullopt;
        font = &default_font;
    }
    std::int32_t width = 0, height = 0;
    if (!measure_glyph(*font, code, width, height)) width = height = 128;
    const std::int32_t margin = font->outline_directions != 0 ? 4 : 0;
    auto image = std::make_shared<PixelImage>();
    // A glyph with nothing to draw still gets a one-pixel image: layout needs an image
    // for every shown character.
    if (!image->allocate(std::max(1, width + margin), std::max(1, height + margin)))
        return std::nullopt;
    rasterise_glyph(*font, nullptr, *image, code); // a failed glyph stays blank
    GlyphImage glyph;
    glyph.image = std::move(image);
    return glyph;
}

GlyphMetrics cached_glyph_metrics(const GlyphImage& glyph, std::uint32_t code) {
    GlyphMetrics m;
    m.code = static_cast<std::int32_t>(code);
    m.bitmap_width = glyph.measures.black_box_x;
    m.rows = glyph.measures.rows;
    m.origin_x = glyph.measures.origin_x;
    m.y_offset = glyph.font_metrics.ascent - glyph.measures.origin_y;
    m.advance = glyph.measures.cell_inc_x();
    m.cell_inc_y = glyph.measures.cell_inc_y();
    m.line_height = glyph.font_metrics.height;
    return m;
}

std::shared_ptr<PixelImage> make_outline_image(const PixelImage& glyph, std::uint32_t directions,
                                               std::uint32_t outline_colour) {
    const auto offsets = outline_offsets(directions);
    if (offsets.empty() || glyph.empty()) return nullptr;
    auto out = std::make_shared<PixelImage>();
    if (!out->allocate(glyph.width + 4, glyph.height + 4)) return nullptr;
    const std::uint32_t colour = outline_colour & 0xFFFFFF;
    for (std::int32_t y = 0; y < out->height; ++y) {
        std::uint32_t* row = out->row32(y);
        for (std::int32_t x = 0; x < out->width; ++x) {
            // Each offset copy is blended over the others: what shows through is the
            // product of what every copy leaves uncovered.
            std::uint32_t clear = 255 * 255;
            for (const auto& o : offsets) {
                const std::int32_t gx = x - 2 - o.dx, gy = y - 2 - o.dy;
                if (gx < 0 || gy < 0 || gx >= glyph.width || gy >= glyph.height) continue;
                const std::uint32_t a = glyph.row32(gy)[gx] >> 24;
                clear = clear * (255 - a) / 255;
            }
            const std::uint32_t alpha = 255 - (clear + 127) / 255;
            if (alpha) row[x] = (alpha << 24) | colour;
        }
    }
    return out;
}

} // namespace kestrune::text
