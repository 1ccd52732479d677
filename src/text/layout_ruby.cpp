// Where ruby glyphs go over their base characters (used while revealing).
#include "text/layout.h"

#include <algorithm>

namespace kestrune::text {

std::vector<RubyPosition> place_ruby(const TextLayout& layout, std::int32_t base,
                                     std::int32_t object_width) {
    std::vector<RubyPosition> out;
    if (base < 0 || base >= std::int32_t(layout.slots.size())) return out;
    const CharSlot& first = layout.slots[std::size_t(base)];
    const std::int32_t n = first.ruby_glyph_count;
    if (first.ruby_start < 0 || n <= 0 || !first.image) return out;
    if (first.ruby_start + n > std::int32_t(layout.ruby.size())) return out;
    // The base characters that were laid out (a cut text may have lost some).
    std::int32_t m = std::min(first.ruby_base_length, layout.slot_count - base);
    while (m > 1 && !layout.slots[std::size_t(base + m - 1)].image) --m;
    if (m <= 0) return out;
    const std::int32_t r = first.ruby_height > 0 ? first.ruby_height : layout.ruby_height;
    auto ruby = [&](std::int32_t i) -> const RubySlot& {
        return layout.ruby[std::size_t(first.ruby_start + i)];
    };
    out.reserve(std::size_t(n));
    if (n == m) {
        // One ruby glyph centred over each base character.
        for (std::int32_t i = 0; i < n; ++i) {
            const CharSlot& b = layout.slots[std::size_t(base + i)];
            const RubySlot& g = ruby(i);
            const std::int32_t base_w = b.image ? b.image->width : 0;
            const std::int32_t ruby_w = g.image ? g.image->width : 0;
            out.push_back(
                {b.x + base_w / 2 - ruby_w / 2, b.y - b.metrics.y_offset + g.metrics.y_offset - r});
        }
        return out;
    }
    // Spread evenly over the base span, kept inside the object.
    const CharSlot& last = layout.slots[std::size_t(base + m - 1)];
    const std::int32_t span = last.x + last.metrics.bitmap_width - first.x;
    const std::int32_t u = std::max(span / (n + 1), r);
    const std::int32_t v = u * n;
    std::int32_t w = v < span ? ((span & ~1) - (n & u & 1)) / 2 - v / 2 : span / 2 - v / 2;
    if (first.x + w < 0)
        w = 0;
    else if (first.x + v + w >= object_width)
        w = object_width - v - first.x;
    for (std::int32_t i = 0; i < n; ++i) {
        const RubySlot& g = ruby(i);
        out.push_back(
            {first.x + u / 2 + u * i + w - (g.metrics.bitmap_width - g.metrics.origin_x) / 2,
             first.y - first.metrics.y_offset + g.metrics.y_offset - r});
    }
    return out;
}

} // namespace kestrune::text
