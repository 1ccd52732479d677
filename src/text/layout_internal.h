// Internals shared by the layout files: byte-level helpers for GBK text and the walker
// that lays a text out (or only measures it).
#pragma once

#include "text/layout.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace kestrune::text {

// Bytes of the character at i: 2 for a lead byte with a trail byte inside the text, else 1;
// 0 at the end.
inline std::size_t char_bytes(std::string_view s, std::size_t i) {
    if (i >= s.size()) return 0;
    return std::uint8_t(s[i]) >= 0x80 && i + 1 < s.size() ? 2 : 1;
}
inline std::uint32_t code_at(std::string_view s, std::size_t i, std::size_t w) {
    const std::uint32_t lead = std::uint8_t(s[i]);
    return w == 2 ? lead * 256 + std::uint8_t(s[i + 1]) : lead;
}
// The text cut to at most `max` bytes, never inside a double-byte character.
inline std::string cut_text(std::string_view s, std::size_t max) {
    std::size_t n = 0;
    while (n < s.size()) {
        const std::size_t w = char_bytes(s, n);
        if (n + w > max) break;
        n += w;
    }
    return std::string(s.substr(0, n));
}

std::shared_ptr<void> load_voice_sound(const std::string& src);

enum class LayoutMode { create, script };

// Walks a text once: characters, tags and line breaking. With a TextLayout it fills the
// character and ruby tables; without one it only moves the pen (measuring).
class LayoutWalker {
public:
    LayoutWalker(LayoutMode mode, TextLayout* out, TextFont& font, std::int32_t width,
                 std::int32_t height, std::int32_t margin_line, std::int32_t margin_row);

    // Walks [begin, end). `fixed_position` stands for every character of a substituted
    // text (VALUE), which has no place of its own in the script.
    void walk(const char* begin, const char* end, bool substituted, const char* fixed_position);
    // End of the text: the last line is centred when centring is on.
    void finish();

    LayoutMode m_mode;
    TextLayout* m_out;
    TextFont& m_font;
    std::int32_t m_width, m_height, m_margin_line, m_margin_row, m_ruby;

    std::int32_t m_x = 0, m_y = 0, m_pitch = 0;
    std::int32_t m_widest = 0, m_lowest = 0, m_deepest = 0;
    bool m_hang = false;
    std::int32_t m_span = 0;
    bool m_centre = false, m_middle = false, m_pre = false, m_vertical = false;
    std::int32_t m_count = 0; // next slot
    bool m_done = false, m_failed = false;
    bool m_literal = false;        // the last character was made literal by a backslash
    bool m_after_line_end = false; // nothing but line ends since the last line end
    std::int32_t m_line_first = 0; // first slot of the current line
    std::int32_t m_last_dash = -1;
    std::int32_t m_continue_x = 0, m_continue_y = 0;

private:
    CharSlot* next_slot();
    void add_wait(std::int32_t ms);
    void show(std::uint32_t code, const char* position);
    void control_slot(std::uint32_t code, const char* position);
    void new_line();
    void line_break();
    void finish_line();
    void line_end(const char*& p, const char* end, const char* position);
    void page_end();
    void inline_block(const char*& p, const char* end);
    void continue_mark(const char*& p, const char* end);

    // layout_tags.cpp
    void parse_tag(const char*& p, const char* end, bool substituted, const char* position);
    void font_tag(std::string_view attrs);
    void restyle(int which, bool on);
    void ruby_tag(std::string_view value, const char* after, const char* end);
    void value_tag(std::string_view attrs, const char* position);
    void voice_tag(std::string_view attrs);
};

} // namespace kestrune::text
