// Text layout: the walk over a text's characters, line breaking for CreateText and LoadText,
// and the entry points that build a TextLayout or measure a text.
#include "text/layout.h"
#include "script/context.h"

#include "platform/clock.h"
#include "script/scanner.h"
#include "text/glyph_cache.h"
#include "text/layout_internal.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>

namespace kestrune::text {

namespace {

// Stands for "no limit" when measuring; small enough that pen arithmetic cannot overflow.
constexpr std::int32_t k_unlimited = 1 << 28;
// The Shift-JIS dash: two in a row join into one line.
constexpr std::uint32_t k_code_dash = 0x815C;
// The script pre-scan writes this byte over white space it has consumed (after labels and
// after inline blocks); layout passes over it.
constexpr char k_filler = 0x10;

bool is_line_end(char c) {
    return c == '\r' || c == '\n';
}

std::int32_t floor_half(std::int32_t v) {
    return v >= 0 ? v / 2 : -((-v + 1) / 2);
}

// "/*" up to its matching "*/", nested pairs counted; an unclosed comment runs to the end.
const char* skip_block_comment(const char* p, const char* end) {
    int depth = 0;
    while (p < end) {
        if (*p == '/' && p + 1 < end && p[1] == '*') {
            ++depth;
            p += 2;
        } else if (*p == '*' && p + 1 < end && p[1] == '/') {
            p += 2;
            if (--depth == 0) return p;
        } else {
            p += std::uint8_t(*p) >= 0x80 && p + 1 < end ? 2 : 1;
        }
    }
    return end;
}

} // namespace

LayoutWalker::LayoutWalker(LayoutMode mode, TextLayout* out, TextFont& font, std::int32_t width,
                           std::int32_t height, std::int32_t margin_line, std::int32_t margin_row)
    : m_mode(mode), m_out(out), m_font(font), m_width(width > 0 ? width : k_unlimited),
      m_height(height > 0 ? height : k_unlimited), m_margin_line(margin_line),
      m_margin_row(margin_row), m_ruby(ruby_height(font.desc.height)) {
    m_y = m_ruby;
    m_pitch = m_margin_row;
    m_vertical = default_face_is_vertical();
}

CharSlot* LayoutWalker::next_slot() {
    if (!m_out || m_count >= k_layout_slots) return nullptr;
    return &m_out->slots[std::size_t(m_count)];
}

void LayoutWalker::add_wait(std::int32_t ms) {
    // Several long waits at one character add up to at most the longest wait there is.
    if (CharSlot* s = next_slot())
        s->extra_wait = static_cast<std::int32_t>(
            std::clamp<std::int64_t>(std::int64_t{s->extra_wait} + ms, INT32_MIN, INT32_MAX));
}

// The hang flag stays as it is: only a line begun by an overflow clears it (in show), so
// after "<BR>", a line end or a page end a second closing mark at the edge starts a line.
void LayoutWalker::new_line() {
    m_y += m_pitch;
    m_pitch = m_margin_row;
    m_x = 0;
}

// A line break of LoadText (line end, "<BR>" or a full line): the finished line is centred,
// the pen wraps to the top at the bottom, and the next slot begins a line.
void LayoutWalker::line_break() {
    finish_line();
    new_line();
    if (m_y >= m_height) m_y = m_ruby;
    m_line_first = m_count;
    if (CharSlot* s = next_slot()) s->line_start = 1;
}

void LayoutWalker::finish_line() {
    if (!m_centre || !m_out || m_mode != LayoutMode::script) return;
    const std::int32_t last_slot = std::min(m_count, k_layout_slots);
    std::int32_t right = -1;
    for (std::int32_t i = last_slot - 1; i >= m_line_first; --i) {
        const CharSlot& s = m_out->slots[std::size_t(i)];
        if (s.image) {
            right = s.x + s.metrics.bitmap_width;
            break;
        }
    }
    if (right < 0) return;
    const std::int32_t shift = floor_half(m_width - right) - m_margin_line;
    for (std::int32_t i = m_line_first; i < last_slot; ++i) {
        CharSlot& s = m_out->slots[std::size_t(i)];
        if (s.image) s.x += shift;
    }
}

void LayoutWalker::finish() {
    finish_line();
}

void LayoutWalker::control_slot(std::uint32_t code, const char* position) {
    if (m_count >= k_layout_slots) {
        m_done = true;
        return;
    }
    if (CharSlot* s = next_slot()) {
        s->metrics.code = std::int32_t(code);
        s->script_position = position;
    }
    ++m_count;
}

void LayoutWalker::show(std::uint32_t code, const char* position) {
    if (m_count >= k_layout_slots) {
        m_done = true; // the table is full: the text is cut here
        return;
    }
    GlyphMetrics m;
    m.code = std::int32_t(code);
    std::shared_ptr<const PixelImage> image;
    bool borrowed = false;
    if (m_out) {
        // A preloaded glyph is placed by the measures kept with it, without asking the
        // rasteriser again. LoadText takes them as they are; CreateText as the rasteriser
        // would give them (the width rounded up to 4, the width as the advance of a glyph
        // without one), so that a warm cache never moves a character.
        if (auto cached = glyph_cache_borrow(font_key(m_font), code)) {
            image = cached->image;
            borrowed = true;
            m = cached_glyph_metrics(*cached, code);
            if (m_mode == LayoutMode::create) {
                m.bitmap_width = (m.bitmap_width + 3) & ~3;
                if (m.advance == 0) m.advance = m.bitmap_width;
            }
        }
    }
    if (!image) {
        // Measure first: making the glyph then reuses the fetched coverage.
        if (!glyph_metrics(m_font, m)) {
            m = GlyphMetrics{};
            m.code = std::int32_t(code);
            FontMetrics fm;
            if (font_metrics(m_font, fm)) m.line_height = fm.height;
        }
        if (m_out) {
            auto glyph = make_glyph(&m_font, code);
            if (!glyph || !glyph->image) {
                std::fprintf(stderr, "text layout: no glyph image for character 0x%X\n", code);
                m_failed = m_done = true;
                return;
            }
            image = std::move(glyph->image);
            borrowed = glyph->borrowed;
        }
    }
    const std::int32_t advance = m.advance, line_height = m.line_height;
    const bool forbidden_start = is_forbidden_at_line_start(code) != 0;
    if (m_mode == LayoutMode::create) {
        const bool fits = m_x + advance + m_margin_line < m_width - m_margin_line;
        if (!fits) {
            if (!m_hang && forbidden_start && !is_forbidden_at_line_end(code)) {
                m_hang = true; // a closing mark hangs past the edge rather than start a line
            } else {
                new_line();
                m_hang = false;
            }
        }
        if (m_y + line_height >= m_height - 2 * m_margin_row) {
            m_done = true; // the text is full: this character and the rest are dropped
            return;
        }
    } else if (m_x + advance >= m_width) {
        if (!m_hang && forbidden_start && !is_forbidden_at_line_end(code)) {
            m_hang = true;
        } else {
            line_break();
            m_hang = false;
        }
    }
    if (CharSlot* s = next_slot()) {
        s->metrics = m;
        s->image = std::move(image);
        s->borrowed = borrowed;
        s->x = m_x + m.origin_x;
        s->y = m_y + m.y_offset;
        s->line_y = m_y;
        s->outline_directions = m_font.outline_directions;
        s->fill_colour = m_font.fill_colour;
        s->outline_colour = m_font.outline_colour;
        s->script_position = position;
        if (m_mode == LayoutMode::script && code == k_code_dash && m_last_dash == m_count - 1 &&
            m_count > 0)
            m_out->slots[std::size_t(m_count - 1)].x += 1;
    }
    m_last_dash = code == k_code_dash ? m_count : -1;
    if (m_mode == LayoutMode::create)
        m_x += advance + (m_span != 0 ? m_span : m_margin_line);
    else
        m_x += m_span != 0 ? m_span : advance + m_margin_line;
    m_pitch = std::max(m_pitch, line_height);
    m_widest = std::max(m_widest, m_x);
    m_lowest = std::max(m_lowest, m_y + m_pitch);
    m_deepest = std::max(m_deepest, m_y + line_height);
    ++m_count;
}

void LayoutWalker::page_end() {
    finish_line();
    m_x = 0;
    m_y = m_ruby;
    m_pitch = m_margin_row;
    m_line_first = m_count;
    if (CharSlot* s = next_slot()) {
        s->key_wait = 1;
        s->icon_kind = 1;
        s->page_clear = 1;
        s->line_start = 1;
    }
}

// A line end of LoadText (CR, LF or CR LF): one control slot per byte and a line break;
// a line end right after another ends the page.
void LayoutWalker::line_end(const char*& p, const char* end, const char* position) {
    if (m_after_line_end) {
        while (p < end && (is_line_end(*p) || *p == k_filler)) ++p;
        page_end();
        m_after_line_end = false;
        return;
    }
    const bool substituted = position != p;
    const char first = *p;
    control_slot(std::uint8_t(first), substituted ? position : p);
    ++p;
    if (first == '\r' && p < end && *p == '\n') {
        control_slot('\n', substituted ? position : p);
        ++p;
    }
    line_break();
    m_after_line_end = true;
    // A line that begins with '.' is a comment line: it is left out with its line end.
    if (!substituted && p < end && *p == '.') {
        while (p < end && !is_line_end(*p)) ++p;
        if (p < end && *p == '\r') ++p;
        if (p < end && *p == '\n') ++p;
    }
}

void LayoutWalker::inline_block(const char*& p, const char* end) {
    const char* close = script::find_block_end(p, end);
    if (m_count < k_layout_slots) {
        if (CharSlot* s = next_slot()) s->inline_script = p + 1;
    }
    control_slot('{', p);
    if (!close) {
        std::fprintf(stderr, "text layout: a script block in the text has no closing brace\n");
        p = end;
        return;
    }
    p = close + 1;
    // The line ends after the block belong to it, not to the text.
    while (p < end && (is_line_end(*p) || *p == k_filler)) {
        if (*p != k_filler) control_slot(std::uint8_t(*p), p);
        ++p;
    }
}

// "<!" and "<?" (with an optional '>'): before a line end they swallow the line ends without
// breaking the line; "<?" at the end of the block reports where the pen stopped.
void LayoutWalker::continue_mark(const char*& p, const char* end) {
    const bool report = p[1] == '?';
    const char* q = p + 2;
    if (q < end && *q == '>') ++q;
    const char* r = q;
    while (r < end && *r == k_filler) ++r;
    if (r < end && is_line_end(*r)) {
        while (r < end && (is_line_end(*r) || *r == k_filler)) {
            if (*r != k_filler) control_slot(std::uint8_t(*r), r);
            ++r;
        }
        q = r;
    } else if (r >= end) {
        q = r;
    }
    if (q >= end && report) {
        m_continue_x = m_x;
        m_continue_y = m_y - m_ruby;
    }
    p = q;
}

void LayoutWalker::walk(const char* begin, const char* end, bool substituted,
                        const char* fixed_position) {
    const bool script = m_mode == LayoutMode::script;
    const char* p = begin;
    while (p < end && !m_done) {
        const char c = *p;
        const char* position = script ? (substituted ? fixed_position : p) : nullptr;
        const bool was_literal = m_literal;
        m_literal = false;
        if (script && c == k_filler) {
            ++p;
            continue;
        }
        if (script && is_line_end(c)) {
            line_end(p, end, position);
            continue;
        }
        m_after_line_end = false;
        const std::size_t width = std::uint8_t(c) >= 0x80 && p + 1 < end ? 2 : 1;
        if (m_pre) {
            if (c == '<' &&
                script::starts_with_nocase(std::string_view(p, std::size_t(end - p)), "</PRE>")) {
                m_pre = false;
                p += 6;
                continue;
            }
            show(code_at(std::string_view(p, width), 0, width), position);
            p += width;
            continue;
        }
        if (script && !substituted && c == '/' && p + 1 < end && p[1] == '/') {
            while (p < end && !is_line_end(*p)) ++p;
            continue;
        }
        if (script && !substituted && c == '/' && p + 1 < end && p[1] == '*') {
            p = skip_block_comment(p, end);
            continue;
        }
        if (script && !substituted && c == '{') {
            inline_block(p, end);
            continue;
        }
        if (script && c == '<' && p + 1 < end && (p[1] == '!' || p[1] == '?')) {
            continue_mark(p, end);
            continue;
        }
        if (c == '.' || c == ',') {
            add_wait(c == '.' ? 100 : 500); // hidden pause marks
            ++p;
            continue;
        }
        if (c == '&' && p + 1 < end && (p[1] == '.' || p[1] == ',')) {
            show(std::uint8_t(p[1]), position);
            p += 2;
            continue;
        }
        if (c == '\\') {
            if (was_literal) {
                show('\\', position);
                ++p;
                continue;
            }
            ++p;
            if (p >= end || (script && is_line_end(*p))) continue;
            const std::size_t w = std::uint8_t(*p) >= 0x80 && p + 1 < end ? 2 : 1;
            show(code_at(std::string_view(p, w), 0, w), script && !substituted ? p : position);
            p += w;
            m_literal = true;
            continue;
        }
        if (c == '<') {
            if (end - p >= 4 &&
                (std::string_view(p, 4) == "<BR>" || std::string_view(p, 4) == "<br>")) {
                p += 4;
                if (script) {
                    line_break();
                } else {
                    new_line();
                    if (m_y >= m_height - m_margin_row) m_done = true;
                }
                continue;
            }
            parse_tag(p, end, substituted, position);
            continue;
        }
        std::uint32_t code = code_at(std::string_view(p, width), 0, width);
        std::size_t used = width;
        if (m_vertical && (c == '!' || c == '?') && p + 1 < end && (p[1] == '!' || p[1] == '?')) {
            code = std::uint32_t(std::uint8_t(c)) * 65536 + std::uint8_t(p[1]);
            used = 2;
        }
        show(code, position);
        p += used;
    }
}

// ---- entry points --------------------------------------------------------------------------

namespace {

std::unique_ptr<TextLayout> new_layout(std::shared_ptr<PixelImage> target) {
    if (!target || target->empty()) {
        std::fprintf(stderr, "text layout: the text object has no image\n");
        return nullptr;
    }
    auto layout = std::make_unique<TextLayout>();
    layout->slots.resize(k_layout_slots);
    layout->ruby.resize(k_ruby_slots);
    layout->target = std::move(target);
    layout->made_with = default_font_settings();
    if (!create_font_from_defaults(layout->font)) {
        std::fprintf(stderr, "text layout: the default font could not be created\n");
        return nullptr;
    }
    layout->vertical = default_face_is_vertical() ? 1 : 0;
    layout->ruby_height = ruby_height(layout->font.desc.height);
    if (layout->font.outline_directions != 0) {
        auto outline = std::make_unique<TextLayer>();
        if (!outline->allocate(layout->target->width, layout->target->height)) {
            std::fprintf(stderr, "text layout: no memory for the outline layer\n");
            return nullptr;
        }
        auto glyphs = std::make_unique<TextLayer>();
        if (!glyphs->allocate(layout->target->width, layout->target->height)) {
            std::fprintf(stderr, "text layout: no memory for the glyph layer\n");
            return nullptr;
        }
        layout->outline_layer = std::move(outline);
        layout->glyph_layer = std::move(glyphs);
        layout->outline_directions = layout->font.outline_directions;
    }
    return layout;
}

void finish_layout(TextLayout& layout, const LayoutWalker& walker) {
    layout.slot_count = walker.m_count;
    // A page end at the very end of the text still waits for the reader: its key wait sits
    // on the slot after the last character, which becomes a control slot of its own.
    // Nothing follows it, so there is no page to clear.
    if (layout.slot_count < k_layout_slots) {
        CharSlot& after = layout.slots[static_cast<std::size_t>(layout.slot_count)];
        if (after.key_wait != 0) {
            after.page_clear = 0;
            ++layout.slot_count;
        }
    }
    layout.cursor = 0;
    layout.span = walker.m_span;
    layout.pre = walker.m_pre ? 1 : 0;
    layout.reveal_time = platform::tick_ms();
    // The coverage buffer is only needed while glyphs are made.
    layout.font.work = {};
    layout.font.fetched.valid = false;
}

} // namespace

std::unique_ptr<TextLayout> lay_out_text(std::shared_ptr<PixelImage> target, std::string_view text,
                                         std::int32_t margin_line, std::int32_t margin_row) {
    auto layout = new_layout(std::move(target));
    if (!layout) return nullptr;
    layout->single_text = 1;
    layout->text = std::string(text);
    const std::int32_t width = layout->target->width, height = layout->target->height;
    layout->right_limit = width - margin_line;
    layout->bottom_limit = height - margin_row;
    LayoutWalker walker(LayoutMode::create, layout.get(), layout->font, width, height, margin_line,
                        margin_row);
    walker.walk(layout->text.data(), layout->text.data() + layout->text.size(), false, nullptr);
    if (walker.m_failed) return nullptr;
    finish_layout(*layout, walker);
    return layout;
}

std::unique_ptr<TextLayout> lay_out_script_text(std::shared_ptr<PixelImage> target,
                                                script::ScriptBlock* reader, const char* start,
                                                const char* end, std::int32_t& continue_x,
                                                std::int32_t& continue_y, std::int32_t margin_line,
                                                std::int32_t margin_row, std::int32_t width,
                                                std::int32_t height) {
    continue_x = continue_y = 0;
    auto layout = new_layout(std::move(target));
    if (!layout) return nullptr;
    layout->single_text = 0;
    layout->reader = reader;
    layout->reader_number = reader ? reader->number : 0;
    layout->script_start = start;
    layout->script_end = end;
    layout->right_limit = width;
    layout->bottom_limit = height;
    LayoutWalker walker(LayoutMode::script, layout.get(), layout->font, width, height, margin_line,
                        margin_row);
    if (start && end && start < end) walker.walk(start, end, false, nullptr);
    walker.finish();
    if (walker.m_failed) return nullptr;
    finish_layout(*layout, walker);
    continue_x = walker.m_continue_x;
    continue_y = walker.m_continue_y;
    return layout;
}

int measure_text(std::string_view text, std::int32_t& width, std::int32_t& height,
                 std::int32_t width_limit, std::int32_t height_limit) {
    if (text.empty() || text.size() >= k_text_size_limit) return 0;
    TextFont font;
    if (!create_font_from_defaults(font)) return 0;
    const TextSettings settings = text_settings();
    // The same walk as the layout with the limits as the object's size, so that an object
    // of the measured size keeps every line that was measured.
    LayoutWalker walker(LayoutMode::create, nullptr, font, width_limit, height_limit,
                        settings.margin_line, settings.margin_row);
    walker.walk(text.data(), text.data() + text.size(), false, nullptr);
    free_font(font);
    width = walker.m_widest + std::max(32, settings.margin_line + 1);
    height = std::max(walker.m_lowest + 32, walker.m_deepest + 2 * settings.margin_row + 1);
    return 1;
}

int measure_script_text(const char* start, const char* end, std::int32_t& width,
                        std::int32_t& height, std::int32_t margin_line, std::int32_t margin_row) {
    TextFont font;
    if (!create_font_from_defaults(font)) return 0;
    const std::int32_t w = width > 0 ? width : 1024, h = height > 0 ? height : 576;
    LayoutWalker walker(LayoutMode::script, nullptr, font, w, h, margin_line, margin_row);
    if (start && end && start < end) walker.walk(start, end, false, nullptr);
    free_font(font);
    width = std::max(w, walker.m_widest + 1);
    height = std::max(h, walker.m_lowest);
    return 1;
}

} // namespace kestrune::text
