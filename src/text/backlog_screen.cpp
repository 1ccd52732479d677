// The backlog screen: the window object of CreateBacklog, which draws a page of the store
// with a voice icon before every voiced row, and the seven scroll operations that a scroll
// bar takes over when SetScrollbar attaches it to the window.
//
// Threading: everything here runs under the scene lock (the render thread draws, script
// threads scroll through `case` and the requests, the main thread through keys and the
// wheel); the store's own lock is taken inside it, never the other way round.
#include "text/backlog_screen.h"

#include "frame/engine.h"
#include "script/context.h"
#include "script/system_variables.h"
#include "script/variables.h"
#include "text/display.h"
#include "text/fonts.h"
#include "text/glyphs.h"
#include "text/layout.h"
#include "text/layout_internal.h"

#include <algorithm>
#include <cstdio>
#include <unordered_map>

namespace kestrune::text::detail {

using scene::ClipRect;
using scene::SceneObject;

namespace {

enum IconState { k_icon_normal, k_icon_hover, k_icon_pressed, k_icon_clicked };

Screen g_screen;

std::int32_t variable_or(const char* name, std::int32_t fallback) {
    return script::var_exists(name) ? static_cast<std::int32_t>(script::var_number(name))
                                    : fallback;
}

// ---- drawing ----------------------------------------------------------------------------------

std::uint8_t alpha_of_level(std::uint8_t level) {
    if (level == 0) return 0;
    return level > 60 ? 255 : static_cast<std::uint8_t>(4 * level + 15);
}

// Blends an alpha mask of w x h in `colour` with its top-left at (x, y), clipped to `clip`.
void blend_mask(const scene::RasterTarget& t, const ClipRect& clip, const std::uint8_t* mask,
                std::int32_t w, std::int32_t h, std::int32_t x, std::int32_t y,
                std::uint32_t colour) {
    const std::int32_t cb = colour & 0xFF, cg = (colour >> 8) & 0xFF, cr = (colour >> 16) & 0xFF;
    const std::int32_t top = std::max(y, clip.top), bottom = std::min(y + h, clip.bottom);
    const std::int32_t left = std::max(x, clip.left), right = std::min(x + w, clip.right);
    for (std::int32_t py = top; py < bottom; ++py) {
        const std::uint8_t* src = mask + static_cast<std::size_t>(py - y) * w - x;
        std::uint8_t* dst = t.pixels + static_cast<std::size_t>(py) * t.stride;
        for (std::int32_t px = left; px < right; ++px) {
            const std::int32_t a = src[px];
            if (!a) continue;
            std::uint8_t* p = dst + px * 4;
            p[0] = static_cast<std::uint8_t>(p[0] + (cb - p[0]) * a / 256);
            p[1] = static_cast<std::uint8_t>(p[1] + (cg - p[1]) * a / 256);
            p[2] = static_cast<std::uint8_t>(p[2] + (cr - p[2]) * a / 256);
        }
    }
}

// The outline offsets of the default font's directions (2 pixels each way).
std::vector<std::array<std::int32_t, 2>> outline_offsets_of(std::uint32_t d) {
    std::vector<std::array<std::int32_t, 2>> v;
    if (d & k_outline_left) v.push_back({-2, 0});
    if (d & k_outline_right) v.push_back({2, 0});
    if (d & k_outline_down) v.push_back({0, 2});
    if (d & k_outline_up) v.push_back({0, -2});
    const bool around = d == k_outline_around;
    if (around || d == (k_outline_left | k_outline_down)) v.push_back({-2, 2});
    if (around || d == (k_outline_left | k_outline_up)) v.push_back({-2, -2});
    if (around || d == (k_outline_right | k_outline_down)) v.push_back({2, 2});
    if (around || d == (k_outline_right | k_outline_up)) v.push_back({2, -2});
    return v;
}

// Blending the same colour at alphas a1, a2, ... in turn leaves 1 - (1 - a1)(1 - a2)...
// of it: one mask with that alpha draws every outline offset at once.
void make_masks(CachedGlyph& g, const platform::GlyphOutline& o, std::uint32_t directions) {
    g.origin_x = o.origin_x;
    g.origin_y = o.origin_y;
    if (o.coverage.empty()) return;
    g.width = o.black_box_x;
    g.height = o.black_box_y;
    g.fill.assign(static_cast<std::size_t>(g.width) * g.height, 0);
    for (std::int32_t y = 0; y < g.height; ++y)
        for (std::int32_t x = 0; x < g.width; ++x)
            g.fill[static_cast<std::size_t>(y) * g.width + x] =
                alpha_of_level(o.coverage[static_cast<std::size_t>(y) * o.pitch + x]);
    const auto offsets = outline_offsets_of(directions);
    if (offsets.empty()) return;
    const std::int32_t ow = g.width + 4, oh = g.height + 4;
    std::vector<std::int32_t> keep(static_cast<std::size_t>(ow) * oh, 256);
    for (const auto& d : offsets)
        for (std::int32_t y = 0; y < g.height; ++y)
            for (std::int32_t x = 0; x < g.width; ++x) {
                const std::int32_t a = g.fill[static_cast<std::size_t>(y) * g.width + x];
                std::int32_t& k = keep[static_cast<std::size_t>(y + 2 + d[1]) * ow + x + 2 + d[0]];
                k = k * (256 - a) / 256;
            }
    g.outline.resize(keep.size());
    for (std::size_t i = 0; i < keep.size(); ++i)
        g.outline[i] = static_cast<std::uint8_t>(std::min(255, 256 - keep[i]));
}

const CachedGlyph* glyph_for(std::uint32_t code, std::uint32_t directions) {
    auto it = g_screen.glyphs.find(code);
    if (it != g_screen.glyphs.end()) return it->second.ok ? &it->second : nullptr;
    CachedGlyph g;
    platform::GlyphOutline o;
    engine::ScopedLock text_guard(engine::k_lock_text);
    g.ok = g_screen.font.face && glyph_coverage(g_screen.font, code, o);
    text_guard.unlock();
    if (g.ok) make_masks(g, o, directions);
    auto [slot, _] = g_screen.glyphs.emplace(code, std::move(g));
    return slot->second.ok ? &slot->second : nullptr;
}

void blend_image(const scene::RasterTarget& t, const ClipRect& clip, const PixelImage& img,
                 std::int32_t x, std::int32_t y) {
    const std::int32_t top = std::max(y, clip.top), bottom = std::min(y + img.height, clip.bottom);
    const std::int32_t left = std::max(x, clip.left), right = std::min(x + img.width, clip.right);
    for (std::int32_t py = top; py < bottom; ++py) {
        const std::uint8_t* src = img.row(py - y);
        std::uint8_t* dst = t.pixels + static_cast<std::size_t>(py) * t.stride;
        for (std::int32_t px = left; px < right; ++px) {
            const std::uint8_t* s = src + (px - x) * 4;
            std::uint8_t* p = dst + px * 4;
            const std::int32_t a = s[3];
            for (int c = 0; c < 3; ++c)
                p[c] = static_cast<std::uint8_t>(p[c] + (s[c] - p[c]) * a / 255);
        }
    }
}

bool voice_ignored(const std::string& character) {
    if (character.empty()) return false;
    return script::setting_text("backlog_ignore_character_voice").find(character) !=
           std::string::npos;
}

// Starts the voice of a clicked row once.
void replay(RowSlot& row) {
    g_screen.replay.reset();
    row.played = true;
    g_screen.replay = load_voice_sound(row.voice_file);
    const bool played = g_screen.replay && display_hooks().replay_voice &&
                        display_hooks().replay_voice(g_screen.replay);
    if (!played && !g_screen.told_no_sound) {
        g_screen.told_no_sound = true;
        std::fprintf(stderr, "kestrune: the backlog cannot replay \"%s\": sound is not available\n",
                     row.voice_file.c_str());
    }
}

// The page that the scroll offset shows: rows [first, last] of the split.
void page_rows(const std::vector<BacklogRowSpan>& rows, std::int32_t& first, std::int32_t& last) {
    const auto total = static_cast<std::int32_t>(rows.size());
    last = total - 1 + g_screen.offset;
    first = last - g_screen.layout.rows + 1;
    if (first < 0) {
        first = 0;
        last = std::min(g_screen.layout.rows - 1, total - 1);
    }
}

int draw_page(SceneObject& o, scene::FrameBuffer& frame, const ClipRect& area) {
    Screen& sc = g_screen;
    const Layout& l = sc.layout;
    BacklogStore& s = backlog_store();
    std::lock_guard guard(s.mutex);
    if (s.units.empty()) return 0;
    const std::vector<BacklogRowSpan>& rows = backlog_rows(s);
    std::int32_t first = 0, last = -1;
    page_rows(rows, first, last);
    const scene::RasterTarget t = frame.acquire();
    ClipRect clip = area;
    clip.left = std::max(clip.left, 0);
    clip.top = std::max(clip.top, 0);
    clip.right = std::min(clip.right, t.width);
    clip.bottom = std::min(clip.bottom, t.height);
    const DefaultFontSettings& fs = sc.font_settings;
    const std::int32_t ascent = sc.ascent;
    const std::uint16_t* u = s.units.data();
    for (std::int32_t r = first; r <= last; ++r) {
        RowSlot& row = sc.rows[static_cast<std::size_t>(r - first)];
        const std::int32_t top = sc.drawn_top + (r - first) * l.pitch;
        std::int32_t k = 0;
        bool voiced = false;
        for (std::uint32_t i = rows[static_cast<std::size_t>(r)].begin;
             i < rows[static_cast<std::size_t>(r)].end; ++i) {
            if (u[i] == 16) {
                std::string parts[2];
                int part = -1;
                while (++i < rows[static_cast<std::size_t>(r)].end && u[i] != 16) {
                    if (u[i] == 17)
                        ++part;
                    else if (part >= 0 && part < 2)
                        parts[part] += static_cast<char>(u[i]);
                }
                if (!voice_ignored(parts[0])) {
                    voiced = true;
                    row.voice_file = parts[1];
                }
                continue;
            }
            const std::int32_t x = l.position_x + k * l.char_pitch;
            ++k;
            if (u[i] == ' ' || u[i] == 0xA1A1) continue;
            const CachedGlyph* g = glyph_for(u[i], fs.outline_directions);
            if (!g) return 1; // the page ends at a glyph that cannot be had
            if (g->fill.empty()) continue;
            const std::int32_t gx = x + g->origin_x, gy = top + ascent - g->origin_y;
            if (!g->outline.empty())
                blend_mask(t, clip, g->outline.data(), g->width + 4, g->height + 4, gx - 2, gy - 2,
                           fs.outline_colour);
            blend_mask(t, clip, g->fill.data(), g->width, g->height, gx, gy, fs.fill_colour);
        }
        row.voice = voiced && sc.icons.size() == 3;
        if (row.voice && row.state == k_icon_clicked && !row.played) replay(row);
        if (row.state != k_icon_clicked) row.played = false;
        if (row.voice) {
            const PixelImage& icon = *sc.icons[static_cast<std::size_t>(row.image)];
            blend_image(t, clip, icon, l.icon_x,
                        l.icon_shift + (r - first) * l.pitch + sc.drawn_top);
        }
    }
    frame.note_drawn();
    if (sc.drawn_top == l.position_y) {
        sc.changed = false;
    } else {
        sc.drawn_top = l.position_y; // one drawing half a row off, then at rest
        mark_window_area();
    }
    return 1;
}

// ---- scroll operations ------------------------------------------------------------------------

std::int32_t rows_stored() {
    return backlog_row_count();
}

void close_request() {
    g_screen.visible = false;
    if (script::var_exists("$SYSTEM_backlog_enable"))
        script::var_set_number("$SYSTEM_backlog_enable", 0);
    engine::attention_event().signal();
}

void pointer_now(std::int32_t& x, std::int32_t& y, bool& held) {
    engine::pointer_position(x, y);
    held = script::choice_hooks().button_held && script::choice_hooks().button_held();
}

// What every scroll operation does after it changed the offset.
int after_scroll(SceneObject& bar) {
    Screen& sc = g_screen;
    sc.changed = true;
    const std::int32_t n = rows_stored(), r = sc.layout.rows;
    const std::int32_t last = bar.scrollbar ? bar.scrollbar->last_index : 0;
    const std::int32_t index =
        n > r ? static_cast<std::int32_t>(std::int64_t{last} * -sc.offset / (n - r)) : 0;
    if (bar.scrollbar) scene::place_thumb(bar, index);
    mark_window_area();
    for (RowSlot& row : sc.rows) {
        row.voice = false;
        row.played = false;
        row.image = 0;
    }
    std::int32_t x = 0, y = 0;
    bool held = false;
    pointer_now(x, y, held);
    row_icons(x, y, held);
    return 1;
}

int step_back(SceneObject& bar) {
    Screen& sc = g_screen;
    if (!sc.visible) return 0;
    const std::int32_t n = rows_stored(), r = sc.layout.rows;
    if (n >= r && sc.offset == r - n) return 0;
    sc.offset = n < r ? 0 : std::max(sc.offset - 1, r - n);
    if (n >= r) sc.drawn_top = sc.layout.position_y - sc.layout.pitch / 2;
    return after_scroll(bar);
}

int step_forward(SceneObject& bar) {
    Screen& sc = g_screen;
    if (!sc.visible) return 0;
    if (sc.offset == 0) return close_request(), 0;
    ++sc.offset;
    sc.drawn_top = sc.layout.position_y + sc.layout.pitch / 2;
    return after_scroll(bar);
}

void hover_after_page(SceneObject& bar) {
    if (!bar.scrollbar || bar.scrollbar->hover) return;
    std::int32_t x = 0, y = 0;
    engine::pointer_position(x, y);
    const ClipRect t = scene::thumb_rect(bar);
    if (x >= t.left && x < t.right && y >= t.top && y < t.bottom) scene::set_bar_hover(bar, true);
}

int page_back(SceneObject& bar) {
    Screen& sc = g_screen;
    if (!sc.visible) return 0;
    const std::int32_t n = rows_stored(), r = sc.layout.rows;
    sc.offset = n < r ? 0 : std::max(sc.offset - r, r - n);
    sc.drawn_top = sc.layout.position_y;
    after_scroll(bar);
    hover_after_page(bar);
    return 1;
}

int page_forward(SceneObject& bar) {
    Screen& sc = g_screen;
    if (!sc.visible) return 0;
    if (sc.offset == 0) return close_request(), 0;
    sc.offset = std::min(sc.offset + sc.layout.rows, 0);
    sc.drawn_top = sc.layout.position_y;
    after_scroll(bar);
    hover_after_page(bar);
    return 1;
}

int oldest(SceneObject& bar) {
    Screen& sc = g_screen;
    if (!sc.visible) return 0;
    const std::int32_t n = rows_stored(), r = sc.layout.rows;
    sc.offset = n < r ? 0 : r - n;
    sc.drawn_top = sc.layout.position_y;
    return after_scroll(bar);
}

int newest(SceneObject& bar) {
    Screen& sc = g_screen;
    if (!sc.visible) return 0;
    if (sc.offset == 0) return close_request(), 0;
    sc.offset = 0;
    sc.drawn_top = sc.layout.position_y;
    return after_scroll(bar);
}

bool on(const ClipRect& r, std::int32_t x, std::int32_t y) {
    return x >= r.left && x < r.right && y >= r.top && y < r.bottom;
}

int drag(SceneObject& bar, std::int32_t x, std::int32_t y) {
    Screen& sc = g_screen;
    scene::ScrollBar& b = *bar.scrollbar;
    scene::set_bar_hover(bar, true);
    b.dragging = true;
    // A drag reports a change only when the page moved: a select that loops over the bar
    // would otherwise take its case again and again while the button stays down.
    if (sc.drag_x == k_no_point) {
        sc.drag_x = x;
        sc.drag_y = y;
        return 0;
    }
    if (x == sc.drag_x && y == sc.drag_y) {
        row_icons(x, y, true);
        return 0;
    }
    sc.drag_x = x;
    sc.drag_y = y;
    const ClipRect thumb = scene::thumb_rect(bar);
    double t = 0;
    if (b.horizontal) {
        if (x <= b.box_left)
            t = 1;
        else if (x >= b.box_right)
            t = 0;
        else
            t = double(x - b.box_left) / (b.box_right - b.box_left);
    } else {
        const std::int32_t span = b.box_bottom - b.box_top + (thumb.bottom - thumb.top);
        if (y <= b.box_top)
            t = 1;
        else if (y >= b.box_top + span || span <= 0)
            t = 0;
        else
            t = double(y - b.box_top) / span;
    }
    const std::int32_t n = rows_stored(), r = sc.layout.rows;
    const std::int32_t before = sc.offset;
    if (n < r || t == 0)
        sc.offset = 0;
    else if (t == 1)
        sc.offset = r - n;
    else
        sc.offset = static_cast<std::int32_t>((r - n) * (1 - t));
    const std::int32_t last = b.last_index;
    const std::int32_t index =
        n > r ? last - static_cast<std::int32_t>(std::int64_t{last} * (sc.offset + n - r) / (n - r))
              : 0;
    scene::place_thumb(bar, index);
    mark_window_area();
    sc.changed = true;
    row_icons(x, y, true);
    return sc.offset != before ? 1 : 0;
}

int pointer(SceneObject& bar, bool held, std::int32_t x, std::int32_t y) {
    Screen& sc = g_screen;
    if (!sc.visible || !bar.scrollbar) return 0;
    scene::ScrollBar& b = *bar.scrollbar;
    const ClipRect thumb = scene::thumb_rect(bar);
    if (!held) {
        row_icons(x, y, false);
        scene::set_bar_hover(bar, on(thumb, x, y));
        b.dragging = false;
        sc.drag_x = sc.drag_y = k_no_point;
        return 0;
    }
    if (b.dragging || on(thumb, x, y)) return drag(bar, x, y);
    scene::set_bar_hover(bar, false);
    const std::int32_t th = thumb.bottom - thumb.top, tw = thumb.right - thumb.left;
    int moved = -1;
    if (!b.horizontal && x >= thumb.left && x < thumb.right) {
        if (y >= thumb.bottom && y < b.box_bottom + th)
            moved = page_forward(bar);
        else if (y < thumb.top && y >= b.box_top)
            moved = page_back(bar);
    } else if (b.horizontal && y >= thumb.top && y < thumb.bottom) {
        if (x >= thumb.right && x < b.box_right + tw)
            moved = page_forward(bar);
        else if (x < thumb.left && x >= b.box_left)
            moved = page_back(bar);
    }
    if (moved < 0) {
        row_icons(x, y, true);
        return 0;
    }
    // One page per press (or pointer movement) and no case taken: a select looping over
    // the bar would page on without end, the thumb jumping back and forth over the pointer.
    if (on(scene::thumb_rect(bar), x, y)) b.dragging = true;
    return 0;
}

} // namespace

Screen& screen() {
    return g_screen;
}

void mark_window_area() {
    const Layout& l = g_screen.layout;
    const std::int32_t width = (l.width + 1) * l.char_pitch + l.position_x - l.icon_x;
    const std::int32_t height = (l.rows + 1) * l.pitch;
    const std::int32_t half = l.pitch / 2;
    scene::mark_changed(l.icon_x, l.position_y - 1 - half, width, height + half);
}

void row_icons(std::int32_t x, std::int32_t y, bool held) {
    Screen& sc = g_screen;
    const Layout& l = sc.layout;
    bool hand = false, arrow = false, changed = false;
    const std::int32_t w = sc.icons.empty() ? 0 : sc.icons[0]->width;
    const std::int32_t h = sc.icons.empty() ? 0 : sc.icons[0]->height;
    for (std::int32_t r = 0; r < l.rows; ++r) {
        RowSlot& row = sc.rows[static_cast<std::size_t>(r)];
        const std::int32_t top = sc.drawn_top + r * l.pitch + l.icon_shift;
        const bool inside =
            sc.visible && x >= l.icon_x && x < l.icon_x + w && y >= top && y < top + h;
        const int before_image = row.image, before_state = row.state;
        if (inside && row.voice) {
            if (held) {
                row.image = 2;
                if (row.state != k_icon_pressed) {
                    row.state = k_icon_pressed;
                    hand = true;
                }
            } else {
                row.image = 1;
                if (row.state != k_icon_hover) {
                    const bool was_pressed = row.state == k_icon_pressed;
                    row.state = was_pressed ? k_icon_clicked : k_icon_hover;
                    if (!was_pressed) hand = true;
                }
            }
        } else if (inside || row.state != k_icon_normal) {
            if (row.state != k_icon_normal) arrow = true;
            row.image = 0;
            row.state = k_icon_normal;
        }
        changed |= before_image != row.image || before_state != row.state;
    }
    if (hand)
        scene::set_cursor_hand(true);
    else if (arrow)
        scene::set_cursor_hand(false);
    if (changed) {
        sc.changed = true;
        mark_window_area();
    }
}

const scene::ScrollOps& backlog_scroll_ops() {
    static const scene::ScrollOps ops{step_back, step_forward, page_back, page_forward,
                                      oldest,    newest,       pointer};
    return ops;
}

void open_window(SceneObject& window) {
    Screen& sc = g_screen;
    Layout& l = sc.layout;
    std::int32_t rows = variable_or("$SYSTEM_backlog_row_max", 17);
    if (rows >= 32) rows = 17;
    l.rows = std::clamp(rows, 1, 31);
    l.icon_x = variable_or("$SYSTEM_backlog_voice_icon_x", 82);
    l.position_x = variable_or("$SYSTEM_backlog_position_x", 120);
    l.position_y = variable_or("$SYSTEM_backlog_position_y", 100);
    l.pitch = std::max(1, variable_or("$SYSTEM_backlog_row_interval", 24));
    l.char_pitch = std::max(1, variable_or("$SYSTEM_backlog_character_width", 19));
    l.icon_shift = static_cast<std::int32_t>(script::setting_number("backlog_voice_icon_shift_y"));
    {
        BacklogStore& s = backlog_store();
        std::lock_guard guard(s.mutex);
        l.width = s.width;
    }
    sc.window = &window;
    sc.visible = true;
    sc.changed = true;
    sc.drawn_top = l.position_y;
    sc.drag_x = sc.drag_y = k_no_point;
    sc.offset = 0;
    for (RowSlot& row : sc.rows) row = RowSlot{};
    // The glyphs drawn before are kept while the default font stays the same, so that
    // opening the screen again rasterises nothing it has drawn already.
    const DefaultFontSettings fs = default_font_settings();
    const DefaultFontSettings& was = sc.font_settings;
    const bool same_font = sc.font.face && fs.face == was.face && fs.size == was.size &&
                           fs.weight == was.weight &&
                           fs.outline_directions == was.outline_directions;
    if (!same_font) {
        free_font(sc.font);
        sc.glyphs.clear();
        engine::ScopedLock text_guard(engine::k_lock_text);
        sc.font = TextFont{};
        create_font_from_defaults(sc.font);
        FontMetrics m;
        sc.ascent = font_metrics(sc.font, m) ? m.ascent : 0;
    }
    sc.font_settings = fs; // colours may change without new glyphs
    mark_window_area();
}

void close_window(SceneObject& window) {
    Screen& sc = g_screen;
    if (sc.window != &window) return;
    sc.window = nullptr;
    sc.bar = nullptr;
    sc.visible = false;
    sc.changed = false;
    sc.offset = 0;
    sc.drawn_top = sc.layout.position_y;
    sc.drag_x = sc.drag_y = k_no_point;
    for (RowSlot& row : sc.rows) {
        row.voice = false;
        row.played = false;
        row.image = 0;
    }
    sc.replay.reset();
    mark_window_area();
}

int draw_backlog(SceneObject& o, scene::FrameBuffer& frame, const ClipRect& clip) {
    return draw_page(o, frame, clip);
}

} // namespace kestrune::text::detail
