// The tag language of text layout: "<NAME attributes>" and "</NAME>".
//
// Tag and attribute names are matched without regard to case. Attribute values follow
// "=" after optional blanks, may begin with one double quote, and end at a blank, a double
// quote, a comma, a line end or ">"; face names, voice names, classes and sound files
// (which may contain blanks) end only at a comma, a double quote or the end of the tag,
// and ruby text runs to ">" with its quotes dropped. Every value is cut to the size of the
// field it goes into.
#include "script/arguments.h"
#include "script/scanner.h"
#include "script/variables.h"
#include "text/glyph_cache.h"
#include "text/layout_internal.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <optional>

namespace kestrune::text {

namespace {

constexpr std::size_t k_face_value_size = k_face_name_size - 1;
constexpr std::size_t k_src_size = 259;
constexpr std::size_t k_ruby_text_size = 1023;
constexpr std::size_t k_variable_name_size = 127;
constexpr std::int32_t k_max_span = 32767; // pixels between characters, either way

std::size_t width_at(const char* p, const char* end) {
    return std::uint8_t(*p) >= 0x80 && p + 1 < end ? 2 : 1;
}

// Blank before a value: space, tab, CR, LF or the full-width space; its width or 0.
std::size_t blank_at(const char* p, const char* end) {
    if (p >= end) return 0;
    if (*p == ' ' || *p == '\t' || *p == '\r' || *p == '\n') return 1;
    if (std::uint8_t(p[0]) == 0xA1 && p + 1 < end && std::uint8_t(p[1]) == 0xA1) return 2;
    return 0;
}

enum class ValueEnd {
    word,      // blank, quote, comma, line end
    long_text, // comma or quote only
};

// The value that begins at p (after "="), up to the end of the tag.
std::string read_value(const char* p, const char* end, ValueEnd kind, std::size_t max) {
    while (std::size_t w = blank_at(p, end)) p += w;
    if (p < end && *p == '"') ++p;
    const char* q = p;
    while (q < end) {
        const char c = *q;
        if (c == '"' || c == ',') break;
        if (kind == ValueEnd::word && (blank_at(q, end) || c == '\r' || c == '\n')) break;
        q += width_at(q, end);
    }
    return cut_text(std::string_view(p, std::size_t(q - p)), max);
}

// Finds "name =" inside the tag's attribute text (character by character, so that the
// trail byte of a double-byte character never starts a match) and reads its value.
std::optional<std::string> attribute(std::string_view attrs, std::string_view name, ValueEnd kind,
                                     std::size_t max) {
    const char* begin = attrs.data();
    const char* end = begin + attrs.size();
    const char* scan_end = begin + std::min(attrs.size(), k_tag_scan_size);
    for (const char* p = begin; p < scan_end; p += width_at(p, end)) {
        if (std::size_t(end - p) < name.size() ||
            !script::equals_nocase(std::string_view(p, name.size()), name))
            continue;
        const char* q = p + name.size();
        while (std::size_t w = blank_at(q, end)) q += w;
        if (q < end && *q == '=') return read_value(q + 1, end, kind, max);
    }
    return std::nullopt;
}

// The value of a single-value tag: what follows the first "=" inside the tag.
std::optional<std::string> single_value(std::string_view attrs, std::size_t max) {
    const char* end = attrs.data() + attrs.size();
    for (const char* p = attrs.data(); p < end; p += width_at(p, end))
        if (*p == '=') return read_value(p + 1, end, ValueEnd::word, max);
    return std::nullopt;
}

bool is_letter(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

void report_malformed(std::string_view tag) {
    std::fprintf(stderr, "text layout: malformed tag <%.*s>: shown as text\n",
                 int(std::min<std::size_t>(tag.size(), 64)), tag.data());
}

} // namespace

// Parses the tag at p ('<'). A tag that ends at '>' is carried out and p moves past it; a
// malformed one moves p one character on, so that the rest shows as text.
void LayoutWalker::parse_tag(const char*& p, const char* end, bool substituted,
                             const char* position) {
    const char* start = p;
    const char* q = p + 1;
    const bool closing = q < end && *q == '/';
    if (closing) ++q;
    const char* gt = q;
    while (gt < end && *gt != '>') gt += width_at(gt, end);
    const char* name_begin = q;
    while (q < gt && is_letter(*q)) ++q;
    const std::string name =
        script::to_upper(std::string_view(name_begin, std::size_t(q - name_begin)));
    const std::string_view attrs(q, std::size_t(gt - q));
    auto malformed = [&] {
        report_malformed(std::string_view(start + 1, std::size_t(std::min(gt, end) - start - 1)));
        p = start + 1;
    };
    if (gt >= end) return malformed();
    p = gt + 1;
    const bool empty_attrs = attrs.empty();
    const bool needs_value = name == "FONT" || name == "SPAN" || name == "WAIT" ||
                             name == "INTERVAL" || name == "RUBY" || name == "VALUE" ||
                             name == "VOICE";
    if (!closing && needs_value && empty_attrs) return malformed();

    if (name == "FONT") {
        if (closing)
            reset_font_to_defaults(m_font);
        else
            font_tag(attrs);
    } else if (name == "I" || name == "U" || name == "S") {
        restyle(name[0], !closing);
    } else if (name == "K") {
        if (!closing && empty_attrs) {
            if (CharSlot* s = next_slot()) {
                s->key_wait = 1;
                s->icon_kind = 2;
            }
        }
    } else if (name == "CENTER") {
        m_centre = !closing;
    } else if (name == "MIDDLE") {
        m_middle = !closing;
    } else if (name == "PRE") {
        m_pre = !closing;
    } else if (name == "SPAN") {
        if (closing) {
            m_span = 0;
        } else {
            auto v = single_value(attrs, 64);
            if (!v) return malformed();
            // A step wider than any text can be changes nothing more; kept within a range
            // where the positions of a whole layout's characters still add up.
            m_span = std::clamp(script::argument_int(*v), -k_max_span, k_max_span);
        }
    } else if (name == "WAIT" || name == "INTERVAL") {
        if (closing) {
            if (name == "INTERVAL")
                if (CharSlot* s = next_slot()) s->interval = 0;
            return;
        }
        auto v = single_value(attrs, 64);
        if (!v || !script::is_number_text(*v)) return malformed();
        const std::int32_t ms = script::argument_int(*v);
        if (name == "WAIT") {
            add_wait(ms);
        } else if (CharSlot* s = next_slot()) {
            s->interval = std::max(0, ms); // -1 would read as "unchanged"
        }
    } else if (name == "RUBY") {
        if (closing) return;
        // The ruby text runs to '>' with every quote dropped; the attribute name is not checked.
        const char* eq = q;
        while (eq < gt && *eq != '=') eq += width_at(eq, gt);
        if (eq >= gt) return malformed();
        std::string text;
        for (const char* r = eq + 1; r < gt;) {
            const std::size_t w = width_at(r, gt);
            if (w == 1 && (*r == '"' || *r == '\'')) {
                ++r;
                continue;
            }
            text.append(r, w);
            r += w;
        }
        const std::size_t lead = text.find_first_not_of(" \t");
        text.erase(0, lead == std::string::npos ? text.size() : lead);
        ruby_tag(cut_text(text, k_ruby_text_size), p, end);
    } else if (name == "VALUE") {
        if (closing) return;
        if (substituted) return; // one level only
        value_tag(attrs, position ? position : start);
    } else if (name == "VOICE") {
        if (closing) return;
        voice_tag(attrs);
        // A voice tag on a line of its own takes its line end with it.
        for (int n = 0; n < 2 && p < end && (*p == '\r' || *p == '\n'); ++n) ++p;
    }
    // Anything else is skipped up to '>'.
}

void LayoutWalker::font_tag(std::string_view attrs) {
    if (auto face = attribute(attrs, "FACE", ValueEnd::long_text, k_face_value_size);
        face && !face->empty())
        create_font(m_font, *face, m_font.desc.height, m_font.desc.weight, m_font.desc.italic,
                    m_font.desc.underline, m_font.desc.strike_out);
    if (auto size = attribute(attrs, "SIZE", ValueEnd::word, 64); size && !size->empty()) {
        const std::int32_t h = script::argument_int(*size);
        if (h > 0 && h <= 1024) {
            const std::string face(m_font.desc.face_name());
            create_font(m_font, face, h, m_font.desc.weight, m_font.desc.italic,
                        m_font.desc.underline, m_font.desc.strike_out);
        }
    }
    if (auto colour = attribute(attrs, "INCOLOR", ValueEnd::word, 64); colour && !colour->empty())
        m_font.fill_colour = script::parse_colour(*colour).rgb & 0xFFFFFF;
    if (auto colour = attribute(attrs, "OUTCOLOR", ValueEnd::word, 64); colour && !colour->empty())
        m_font.outline_colour = script::parse_colour(*colour).rgb & 0xFFFFFF;
}

void LayoutWalker::restyle(int which, bool on) {
    bool italic = m_font.desc.italic, underline = m_font.desc.underline,
         strike = m_font.desc.strike_out;
    if (which == 'I') italic = on;
    if (which == 'U') underline = on;
    if (which == 'S') strike = on;
    const std::string face(m_font.desc.face_name());
    create_font(m_font, face, m_font.desc.height, m_font.desc.weight, italic, underline, strike);
}

// Counts the characters between a ruby tag and "</RUBY>": tags and pause marks show
// nothing and are not counted.
static std::int32_t count_ruby_base(const char* p, const char* end) {
    std::int32_t n = 0;
    while (p < end) {
        const char c = *p;
        if (c == '<') {
            if (script::starts_with_nocase(std::string_view(p, std::size_t(end - p)), "</RUBY>"))
                break;
            while (p < end && *p != '>') p += width_at(p, end);
            if (p < end) ++p;
            continue;
        }
        if (c == '\r' || c == '\n' || c == 0x10 || c == '.' || c == ',') {
            ++p;
            continue;
        }
        if ((c == '\\' || c == '&') && p + 1 < end) ++p;
        p += width_at(p, end);
        ++n;
    }
    return n;
}

void LayoutWalker::ruby_tag(std::string_view text, const char* after, const char* end) {
    if (!m_out || m_count >= k_layout_slots) return;
    const std::int32_t base_length = count_ruby_base(after, end);
    if (base_length == 0 || text.empty()) return; // nothing to put ruby over
    const FontDescription saved = m_font.desc;
    const std::string face(saved.face_name());
    const std::int32_t height = ruby_height(saved.height);
    if (height <= 0) return;
    create_font(m_font, face, height, saved.weight, saved.italic, saved.underline,
                saved.strike_out);
    const std::int32_t first = m_out->ruby_used;
    std::int32_t made = 0;
    for (std::size_t i = 0; i < text.size();) {
        if (m_out->ruby_used >= k_ruby_slots) break; // the ruby table is full
        const std::size_t w = char_bytes(text, i);
        const std::uint32_t code = code_at(text, i, w);
        i += w;
        GlyphMetrics m;
        m.code = std::int32_t(code);
        if (!glyph_metrics(m_font, m)) {
            m = GlyphMetrics{};
            m.code = std::int32_t(code);
        }
        auto glyph = make_glyph(&m_font, code);
        if (!glyph || !glyph->image) {
            std::fprintf(stderr, "text layout: no glyph image for ruby character 0x%X\n", code);
            m_failed = m_done = true;
            break;
        }
        RubySlot& r = m_out->ruby[std::size_t(m_out->ruby_used++)];
        r.metrics = m;
        r.image = std::move(glyph->image);
        r.borrowed = glyph->borrowed;
        ++made;
    }
    create_font(m_font, face, saved.height, saved.weight, saved.italic, saved.underline,
                saved.strike_out);
    if (made == 0 || m_failed) return;
    CharSlot& base = m_out->slots[std::size_t(m_count)];
    base.ruby_start = first;
    base.ruby_glyph_count = made;
    base.ruby_base_length = base_length;
    base.ruby_height = height;
}

void LayoutWalker::value_tag(std::string_view attrs, const char* position) {
    auto name = attribute(attrs, "NAME", ValueEnd::word, k_variable_name_size);
    if (!name || name->empty()) return;
    script::VarType type = script::VarType::untyped;
    double number = 0;
    std::string text;
    // A variable that does not exist is made, and shows 0.
    if (!script::var_read(*name, true, type, number, text)) type = script::VarType::untyped;
    std::string shown;
    if (type == script::VarType::string) {
        shown = cut_text(text, k_substitution_size - 1);
    } else {
        double t = std::trunc(number);
        if (!(t >= -2147483648.0)) t = -2147483648.0; // NaN too
        if (t > 2147483647.0) t = 2147483647.0;
        char buffer[16];
        std::snprintf(buffer, sizeof buffer, "%d", int(t));
        shown = buffer;
    }
    walk(shown.data(), shown.data() + shown.size(), true, position);
}

void LayoutWalker::voice_tag(std::string_view attrs) {
    if (!m_out) return;
    auto record = std::make_unique<VoiceRecord>();
    if (auto v = attribute(attrs, "NAME", ValueEnd::long_text, k_voice_name_size - 1))
        record->name = *v;
    if (auto v = attribute(attrs, "CLASS", ValueEnd::long_text, k_voice_name_size - 1))
        record->class_name = *v;
    if (auto v = attribute(attrs, "SRC", ValueEnd::long_text, k_src_size)) record->src = *v;
    if (auto v = attribute(attrs, "MODE", ValueEnd::word, 16);
        v && script::equals_nocase(*v, "OFF"))
        record->enabled = 0;
    record->sound = load_voice_sound(record->src);
    // Two voices for one character: the second goes to the next character without one.
    for (std::int32_t i = m_count; i < k_layout_slots; ++i) {
        CharSlot& s = m_out->slots[std::size_t(i)];
        if (!s.voice) {
            s.voice = std::move(record);
            return;
        }
    }
}

} // namespace kestrune::text
