// Painting of the overlays over the shown picture: panels, frames, buttons, check boxes,
// sliders, menu items, the four box icons and text in the engine's default CJK face.
#include "ui/overlay_internal.h"

#include "platform/font_face.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <memory>
#include <mutex>

namespace kestrune::ui::detail {

namespace {

constexpr std::int32_t k_width = 1024;
constexpr std::int32_t k_height = 576;
constexpr std::int32_t k_font_height = 16;

// Colours 0xRRGGBB.
constexpr std::uint32_t k_panel = 0x202634;
constexpr std::uint32_t k_title_bar = 0x34405a;
constexpr std::uint32_t k_border = 0x8a98b8;
constexpr std::uint32_t k_text = 0xf0f0f0;
constexpr std::uint32_t k_greyed = 0x6c7384;
constexpr std::uint32_t k_button = 0x3a4458;
constexpr std::uint32_t k_focus = 0x4f7fd0;
constexpr std::uint32_t k_track = 0x10141c;

struct GlyphCache {
    std::mutex mutex;
    std::shared_ptr<platform::FontFace> face;
    bool tried = false;
    std::map<char32_t, platform::GlyphOutline> glyphs;
};

GlyphCache& glyph_cache() {
    static GlyphCache c;
    return c;
}

// The face and the glyph of cp; null when no face could be opened. Cache mutex held.
const platform::GlyphOutline* glyph_locked(char32_t cp, std::int32_t& ascent) {
    GlyphCache& c = glyph_cache();
    if (!c.tried) {
        c.tried = true;
        platform::FontRequest request;
        request.name = platform::k_fallback_face;
        request.height = k_font_height;
        c.face = platform::FontFace::open(request);
    }
    if (!c.face) return nullptr;
    ascent = c.face->metrics().ascent;
    auto it = c.glyphs.find(cp);
    if (it == c.glyphs.end()) {
        platform::GlyphOutline g;
        if (!c.face->glyph(cp, platform::GlyphTurn::upright, g)) return nullptr;
        it = c.glyphs.emplace(cp, std::move(g)).first;
    }
    return &it->second;
}

struct Canvas {
    std::uint8_t* bgra;
    std::int32_t stride;

    void blend(std::int32_t x, std::int32_t y, std::uint32_t rgb, std::uint32_t alpha) {
        if (x < 0 || y < 0 || x >= k_width || y >= k_height || alpha == 0) return;
        std::uint8_t* p = bgra + std::size_t(y) * std::size_t(stride) + std::size_t(x) * 4;
        const std::uint32_t c[3] = {rgb & 0xFF, (rgb >> 8) & 0xFF, (rgb >> 16) & 0xFF};
        for (int i = 0; i < 3; ++i)
            p[i] = static_cast<std::uint8_t>((p[i] * (255 - alpha) + c[i] * alpha) / 255);
    }
    void fill(const OverlayRect& r, std::uint32_t rgb, std::uint32_t alpha = 255) {
        const std::int32_t x0 = std::max(r.x, 0), x1 = std::min(r.x + r.w, k_width);
        const std::int32_t y0 = std::max(r.y, 0), y1 = std::min(r.y + r.h, k_height);
        for (std::int32_t y = y0; y < y1; ++y)
            for (std::int32_t x = x0; x < x1; ++x) blend(x, y, rgb, alpha);
    }
    void frame(const OverlayRect& r, std::uint32_t rgb) {
        fill({r.x, r.y, r.w, 1}, rgb);
        fill({r.x, r.y + r.h - 1, r.w, 1}, rgb);
        fill({r.x, r.y, 1, r.h}, rgb);
        fill({r.x + r.w - 1, r.y, 1, r.h}, rgb);
    }
    // Darkens the whole picture: a modal box takes the reader's attention.
    void dim() {
        for (std::int32_t y = 0; y < k_height; ++y) {
            std::uint8_t* row = bgra + std::size_t(y) * std::size_t(stride);
            for (std::int32_t i = 0; i < k_width * 4; ++i)
                if ((i & 3) != 3) row[i] = static_cast<std::uint8_t>(row[i] * 5 / 8);
        }
    }
    // Text with its cell top at y; returns the pen's end.
    std::int32_t text(std::int32_t x, std::int32_t y, const std::u32string& s, std::uint32_t rgb) {
        GlyphCache& c = glyph_cache();
        std::lock_guard guard(c.mutex);
        for (char32_t cp : s) {
            std::int32_t ascent = 0;
            const platform::GlyphOutline* g = glyph_locked(cp, ascent);
            if (!g) break;
            const std::int32_t left = x + g->origin_x, top = y + ascent - g->origin_y;
            if (!g->coverage.empty()) {
                for (std::int32_t row = 0; row < g->black_box_y; ++row)
                    for (std::int32_t col = 0; col < g->black_box_x; ++col) {
                        const std::uint32_t level =
                            g->coverage[std::size_t(row) * std::size_t(g->pitch) +
                                        std::size_t(col)];
                        blend(left + col, top + row, rgb, std::min<std::uint32_t>(level * 4, 255));
                    }
            }
            x += g->cell_inc_x;
        }
        return x;
    }
    void disc(std::int32_t cx, std::int32_t cy, std::int32_t radius, std::uint32_t rgb) {
        for (std::int32_t y = -radius; y <= radius; ++y)
            for (std::int32_t x = -radius; x <= radius; ++x) {
                const double d = std::sqrt(double(x * x + y * y)) - radius + 0.5;
                if (d < 1.0)
                    blend(cx + x, cy + y, rgb, d <= 0 ? 255 : std::uint32_t((1 - d) * 255));
            }
    }
};

std::uint32_t text_colour(const Widget& w) {
    return w.enabled ? k_text : k_greyed;
}

void paint_icon(Canvas& c, BoxIcon icon, const OverlayRect& r) {
    if (icon == BoxIcon::none) return;
    const std::int32_t cx = r.x + r.w / 2, cy = r.y + r.h / 2;
    std::uint32_t rgb = 0x3f74c8;
    char32_t mark = U'i';
    switch (icon) {
    case BoxIcon::question:
        mark = U'?';
        break;
    case BoxIcon::exclamation:
        rgb = 0xd8a820;
        mark = U'!';
        break;
    case BoxIcon::stop:
        rgb = 0xc83a32;
        mark = U'\u00d7';
        break;
    default:
        break;
    }
    c.disc(cx, cy, r.w / 2, rgb);
    const std::u32string s(1, mark);
    c.text(cx - text_width(s) / 2, cy - k_overlay_line_height / 2 + 1, s, 0xffffff);
}

void paint_widget(Canvas& c, const Widget& w, bool focused) {
    const OverlayRect& r = w.rect;
    const std::int32_t text_y = r.y + (r.h - k_overlay_line_height) / 2 + 2;
    switch (w.kind) {
    case WidgetKind::label:
        c.text(r.x, text_y, w.text, text_colour(w));
        break;
    case WidgetKind::group: {
        const std::int32_t mid = r.y + k_overlay_line_height / 2;
        c.frame({r.x, mid, r.w, r.h - (mid - r.y)}, k_border);
        const std::int32_t tw = text_width(w.text);
        c.fill({r.x + 8, r.y, tw + 8, k_overlay_line_height}, k_panel);
        c.text(r.x + 12, r.y, w.text, k_text);
        break;
    }
    case WidgetKind::button:
        c.fill(r, focused ? k_focus : k_button);
        c.frame(r, w.is_default || focused ? 0xffffff : k_border);
        c.text(r.x + (r.w - text_width(w.text)) / 2, text_y, w.text, text_colour(w));
        break;
    case WidgetKind::check: {
        const OverlayRect box{r.x, r.y + (r.h - 14) / 2, 14, 14};
        c.fill(box, k_track);
        c.frame(box, focused ? 0xffffff : k_border);
        if (w.checked) c.fill({box.x + 3, box.y + 3, 8, 8}, k_focus);
        const std::int32_t end = c.text(r.x + 20, text_y, w.text, text_colour(w));
        if (focused) c.frame({r.x + 18, r.y, end - r.x - 16, r.h}, k_focus);
        break;
    }
    case WidgetKind::slider: {
        const std::int32_t mid = r.y + r.h / 2;
        c.fill({r.x, mid - 2, r.w, 4}, k_track);
        c.fill({r.x, mid - 2, slider_x(w) - r.x, 4}, k_focus);
        const OverlayRect thumb{slider_x(w) - 5, r.y, 10, r.h};
        c.fill(thumb, focused ? 0xffffff : 0xc0c8d8);
        if (focused) c.frame({r.x - 3, r.y - 3, r.w + 6, r.h + 6}, k_focus);
        break;
    }
    case WidgetKind::item:
        if (focused && w.enabled) c.fill(r, k_focus);
        c.text(r.x + 12, text_y, w.text, text_colour(w));
        if (!w.shortcut.empty())
            c.text(r.x + r.w - 12 - text_width(w.shortcut), text_y, w.shortcut, text_colour(w));
        break;
    }
}

} // namespace

std::int32_t slider_x(const Widget& w) {
    return w.rect.x + (w.rect.w - 1) * std::clamp(w.value, 0, 100) / 100;
}

void paint_overlay(const Overlay& o, std::uint8_t* bgra, std::int32_t stride) {
    Canvas c{bgra, stride};
    if (o.kind != OverlayKind::menu) c.dim();
    c.fill(o.panel, k_panel, 240);
    c.frame(o.panel, k_border);
    if (!o.title.empty()) {
        const OverlayRect bar{o.panel.x + 1, o.panel.y + 1, o.panel.w - 2, k_title_height - 1};
        c.fill(bar, k_title_bar);
        c.text(bar.x + 10, bar.y + (bar.h - k_overlay_line_height) / 2 + 2, o.title, k_text);
    }
    paint_icon(c, o.icon, o.icon_rect);
    for (std::size_t i = 0; i < o.widgets.size(); ++i)
        paint_widget(c, o.widgets[i], static_cast<std::int32_t>(i) == o.focus);
}

} // namespace kestrune::ui::detail

namespace kestrune::ui {

std::int32_t text_width(const std::u32string& text) {
    detail::GlyphCache& c = detail::glyph_cache();
    std::lock_guard guard(c.mutex);
    std::int32_t width = 0;
    for (char32_t cp : text) {
        std::int32_t ascent = 0;
        const platform::GlyphOutline* g = detail::glyph_locked(cp, ascent);
        if (!g) return width;
        width += g->cell_inc_x;
    }
    return width;
}

std::u32string utf8_to_u32(std::string_view s) {
    std::u32string out;
    for (std::size_t i = 0; i < s.size();) {
        const unsigned char b = static_cast<unsigned char>(s[i]);
        const int extra = b < 0x80 ? 0 : b >= 0xF0 ? 3 : b >= 0xE0 ? 2 : b >= 0xC0 ? 1 : -1;
        if (extra < 0 || i + std::size_t(extra) >= s.size()) {
            out.push_back(U'\uFFFD');
            ++i;
            continue;
        }
        char32_t cp = extra == 0 ? b : (b & (0x3F >> extra));
        for (int k = 1; k <= extra; ++k)
            cp = (cp << 6) | (static_cast<unsigned char>(s[i + std::size_t(k)]) & 0x3F);
        out.push_back(cp);
        i += std::size_t(extra) + 1;
    }
    return out;
}

} // namespace kestrune::ui
