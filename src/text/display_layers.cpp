// The layers of a text object. Revealed glyphs are copied into the glyph layer; when the
// text has an outline, each glyph's shape also goes into the outline layer in the outline
// colour, and the object's picture is the outline layer drawn at every outline offset with
// the glyph layer over it. The picture is brought up to date only around the glyph just
// copied, so a frame costs nothing for the text already shown.
//
// The two layers come from zero pages (TextLayer): laying a page out clears nothing, and a
// page clear zeroes only the rows that glyphs were written into.
#include "text/display_internal.h"

#include <algorithm>
#include <type_traits>

namespace kestrune::text {

bool TextLayer::allocate(std::int32_t w, std::int32_t h) {
    width = height = 0;
    pixels = {};
    m_dirty_top = m_dirty_bottom = 0;
    if (w <= 0 || h <= 0 || w > k_max_image_side || h > k_max_image_side) return false;
    pixels = platform::ZeroPages(std::size_t(w) * std::size_t(h) * 4u);
    if (!pixels.data()) return false;
    width = w;
    height = h;
    return true;
}

void TextLayer::touch(std::int32_t y0, std::int32_t y1) {
    y0 = std::max(0, y0);
    y1 = std::min(height, y1);
    if (y0 >= y1) return;
    if (m_dirty_top == m_dirty_bottom) {
        m_dirty_top = y0;
        m_dirty_bottom = y1;
        return;
    }
    m_dirty_top = std::min(m_dirty_top, y0);
    m_dirty_bottom = std::max(m_dirty_bottom, y1);
}

void TextLayer::clear() {
    if (m_dirty_top < m_dirty_bottom)
        std::fill(row(m_dirty_top), row(m_dirty_bottom), std::uint8_t{0});
    m_dirty_top = m_dirty_bottom = 0;
}

} // namespace kestrune::text

namespace kestrune::text::detail {

namespace {

// Straight-alpha "over" of colour rgb with alpha sa onto pixel d (BGRA bytes).
inline void blend_over(std::uint8_t* d, std::uint32_t rgb, unsigned sa) {
    if (sa == 0) return;
    const unsigned da = d[3];
    if (sa == 255 || da == 0) { // the source alone: no arithmetic
        d[0] = static_cast<std::uint8_t>(rgb);
        d[1] = static_cast<std::uint8_t>(rgb >> 8);
        d[2] = static_cast<std::uint8_t>(rgb >> 16);
        d[3] = static_cast<std::uint8_t>(sa);
        return;
    }
    const unsigned out_a = sa + da * (255 - sa) / 255;
    const unsigned src[3] = {rgb & 0xFF, (rgb >> 8) & 0xFF, (rgb >> 16) & 0xFF};
    // The integer division of the destination's share can round the sum up past 255.
    for (int c = 0; c < 3; ++c)
        d[c] = static_cast<std::uint8_t>(
            std::min(255u, (src[c] * sa + d[c] * da * (255 - sa) / 255) / (out_a ? out_a : 1)));
    d[3] = static_cast<std::uint8_t>(out_a);
}

inline std::uint32_t rgb_of(const std::uint8_t* p) {
    return p[0] | (p[1] << 8) | (p[2] << 16);
}

// Writes `glyph` at (x, y) of `layer` in colour rgb with the glyph's alpha, blended over
// what is there so that glyphs whose boxes overlap (italics, kerning) keep each other's
// pixels. Returns the clipped rectangle. The layer is the object's image or a TextLayer.
template <typename Layer>
ChangedRect put_glyph(Layer& layer, const PixelImage& glyph, std::int32_t x, std::int32_t y,
                      std::uint32_t rgb) {
    const std::int32_t x0 = std::max(0, x), y0 = std::max(0, y);
    const std::int32_t x1 = std::min(layer.width, x + glyph.width);
    const std::int32_t y1 = std::min(layer.height, y + glyph.height);
    if (x0 >= x1 || y0 >= y1) return {};
    if constexpr (std::is_same_v<Layer, TextLayer>) layer.touch(y0, y1);
    for (std::int32_t ty = y0; ty < y1; ++ty) {
        const std::uint8_t* src = glyph.row(ty - y);
        std::uint8_t* dst = layer.row(ty);
        for (std::int32_t tx = x0; tx < x1; ++tx)
            blend_over(dst + tx * 4, rgb, src[(tx - x) * 4 + 3]);
    }
    return {x0, y0, x1 - x0, y1 - y0};
}

// Recomputes the picture inside r from the outline and glyph layers: the outline layer is
// blended at each offset in turn, then the glyph layer over it. Each pass walks whole rows
// clipped once, so the per-pixel work is the blend alone.
void compose(TextLayout& p, const ChangedRect& r) {
    PixelImage& out = *p.target;
    const TextLayer& glyphs = *p.glyph_layer;
    const TextLayer& outline = *p.outline_layer;
    for (std::int32_t y = r.y; y < r.y + r.h; ++y)
        std::fill_n(out.row(y) + r.x * 4, static_cast<std::size_t>(r.w) * 4, 0);
    const auto blend_rows = [&](const TextLayer& layer, std::int32_t dx, std::int32_t dy) {
        const std::int32_t x0 = std::max(r.x, dx), x1 = std::min(r.x + r.w, layer.width + dx);
        const std::int32_t y0 = std::max(r.y, dy), y1 = std::min(r.y + r.h, layer.height + dy);
        for (std::int32_t y = y0; y < y1; ++y) {
            const std::uint8_t* src = layer.row(y - dy) + (x0 - dx) * 4;
            std::uint8_t* dst = out.row(y) + x0 * 4;
            for (std::int32_t x = x0; x < x1; ++x, src += 4, dst += 4)
                if (src[3]) blend_over(dst, rgb_of(src), src[3]);
        }
    };
    for (const OutlineOffset& o : outline_offsets(p.outline_directions))
        blend_rows(outline, o.dx, o.dy);
    blend_rows(glyphs, 0, 0);
}

bool has_outline_layers(const TextLayout& p) {
    return p.outline_layer && p.glyph_layer && p.target && !p.outline_layer->empty();
}

// The rectangle grown by the outline's reach (2 pixels), clipped to the picture.
ChangedRect grown(const TextLayout& p, const ChangedRect& r) {
    const std::int32_t x0 = std::max(0, r.x - 2), y0 = std::max(0, r.y - 2);
    const std::int32_t x1 = std::min(p.target->width, r.x + r.w + 2);
    const std::int32_t y1 = std::min(p.target->height, r.y + r.h + 2);
    return {x0, y0, std::max(0, x1 - x0), std::max(0, y1 - y0)};
}

} // namespace

ChangedRect copy_slot(TextLayout& p, std::int32_t index, bool read) {
    if (index < 0 || index >= static_cast<std::int32_t>(p.slots.size())) return {};
    const CharSlot& slot = p.slots[static_cast<std::size_t>(index)];
    const PixelImage* glyph = slot.image.get();
    if (!glyph || glyph->empty() || !p.target || p.target->empty()) return {};
    const std::uint32_t fill = read ? k_read_fill : slot.fill_colour & 0xFFFFFF;
    if (!has_outline_layers(p)) return put_glyph(*p.target, *glyph, slot.x, slot.y, fill);
    const ChangedRect r = put_glyph(*p.glyph_layer, *glyph, slot.x, slot.y, fill);
    if (slot.outline_directions != 0) {
        const std::uint32_t outline = read ? k_read_outline : slot.outline_colour & 0xFFFFFF;
        put_glyph(*p.outline_layer, *glyph, slot.x, slot.y, outline);
    }
    if (r.w == 0) return r;
    const ChangedRect g = grown(p, r);
    compose(p, g);
    return g;
}

ChangedRect copy_ruby(TextLayout& p, std::int32_t ruby_index, std::int32_t x, std::int32_t y,
                      std::uint32_t colour) {
    if (ruby_index < 0 || ruby_index >= static_cast<std::int32_t>(p.ruby.size())) return {};
    const PixelImage* glyph = p.ruby[static_cast<std::size_t>(ruby_index)].image.get();
    if (!glyph || glyph->empty() || !p.target || p.target->empty()) return {};
    if (!has_outline_layers(p)) return put_glyph(*p.target, *glyph, x, y, colour & 0xFFFFFF);
    const ChangedRect r = put_glyph(*p.glyph_layer, *glyph, x, y, colour & 0xFFFFFF);
    if (r.w == 0) return r;
    const ChangedRect g = grown(p, r);
    compose(p, g);
    return g;
}

ChangedRect compose_all(TextLayout& p) {
    if (!has_outline_layers(p)) return {};
    const ChangedRect all{0, 0, p.target->width, p.target->height};
    compose(p, all);
    return all;
}

void clear_layers(TextLayout& p) {
    if (PixelImage* target = p.target.get(); target && !target->empty())
        for (std::int32_t y = 0; y < target->height; ++y)
            std::fill_n(target->row(y), static_cast<std::size_t>(target->width) * 4, 0);
    for (TextLayer* layer : {p.glyph_layer.get(), p.outline_layer.get()})
        if (layer) layer->clear();
}

} // namespace kestrune::text::detail
