// Text sections, checked as the layout will read them: every entry begins with a [label],
// every tag is one the layout knows (with the value it needs), and every <RUBY> closes
// before its entry ends. The layout shows a tag it cannot read as text, and prose before
// the first label belongs to no entry and is never shown.
#include "script/lint.h"

#include "platform/font_face.h"
#include "script/arguments.h"
#include "script/scanner.h"

#include <cstring>

namespace kestrune::script {

namespace {

constexpr std::uint8_t k_placeholder = 0x10;

bool is_letter(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

bool is_blank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' ||
           static_cast<std::uint8_t>(c) == k_placeholder;
}

// The tags of prose, and those among them that need a value.
constexpr const char* k_tags[] = {"FONT",     "I",      "U",     "S",     "K",
                                  "CENTER",   "MIDDLE", "PRE",   "SPAN",  "WAIT",
                                  "INTERVAL", "RUBY",   "VALUE", "VOICE", "BR"};
constexpr const char* k_valued[] = {"FONT", "SPAN", "WAIT", "INTERVAL", "RUBY", "VALUE", "VOICE"};

bool listed(const std::string& name, const auto& list) {
    for (const char* t : list)
        if (name == t) return true;
    return false;
}

// The value of `name=` among a tag's attributes (names without regard to case, each
// preceded by a blank or the tag's start): a quoted text, or a word up to a blank. False
// when the attribute is not there.
bool attribute_value(std::string_view attrs, std::string_view name, std::string& value) {
    for (std::size_t i = 0; i + name.size() <= attrs.size(); ++i) {
        if (i > 0 && !is_blank(attrs[i - 1])) continue;
        if (to_upper(attrs.substr(i, name.size())) != name) continue;
        std::size_t k = i + name.size();
        while (k < attrs.size() && is_blank(attrs[k])) ++k;
        if (k >= attrs.size() || attrs[k] != '=') continue;
        ++k;
        while (k < attrs.size() && is_blank(attrs[k])) ++k;
        if (k < attrs.size() && (attrs[k] == '"' || attrs[k] == '\'')) {
            const std::size_t close = attrs.find(attrs[k], k + 1);
            value = std::string(attrs.substr(
                k + 1, close == std::string_view::npos ? std::string_view::npos : close - k - 1));
            return true;
        }
        std::size_t e = k;
        while (e < attrs.size() && !is_blank(attrs[e])) ++e;
        value = std::string(attrs.substr(k, e - k));
        return true;
    }
    return false;
}

// The attribute names of a tag's text: each word that an '=' follows, outside quotes.
std::vector<std::string> attribute_names(std::string_view attrs) {
    std::vector<std::string> names;
    char quote = 0;
    for (std::size_t i = 0; i < attrs.size(); ++i) {
        const char c = attrs[i];
        if (quote) {
            if (c == quote) quote = 0;
            continue;
        }
        if (c == '"' || c == '\'') {
            quote = c;
            continue;
        }
        if (!is_letter(c) || (i > 0 && !is_blank(attrs[i - 1]))) continue;
        std::size_t e = i;
        while (e < attrs.size() && is_letter(attrs[e])) ++e;
        std::size_t k = e;
        while (k < attrs.size() && is_blank(attrs[k])) ++k;
        if (k < attrs.size() && attrs[k] == '=') names.push_back(to_upper(attrs.substr(i, e - i)));
        i = e - 1;
    }
    return names;
}

struct SectionWalk {
    std::vector<TextFault>& out;
    const char* ruby_open = nullptr;

    void add(const char* at, std::string message) { out.push_back({at, std::move(message)}); }

    void end_entry() {
        if (ruby_open) add(ruby_open, "<RUBY> is not closed by </RUBY>");
        ruby_open = nullptr;
    }

    // The values of known tags that the layout cannot use.
    void values(const char* p, const std::string& tag_name, std::string_view attrs) {
        if (tag_name == "WAIT" || tag_name == "INTERVAL") {
            // The layout reads the value after the first '=', whatever names it.
            const std::size_t eq = attrs.find('=');
            std::string value;
            if (eq != std::string_view::npos) {
                std::string_view rest = attrs.substr(eq + 1);
                while (!rest.empty() && is_blank(rest.front())) rest.remove_prefix(1);
                std::size_t e = 0;
                while (e < rest.size() && !is_blank(rest[e])) ++e;
                value = std::string(rest.substr(0, e));
                if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
                    value.back() == value.front())
                    value = value.substr(1, value.size() - 2);
            }
            if (eq == std::string_view::npos || !is_number_text(value))
                add(p, "tag <" + tag_name + "> needs a number of milliseconds, not \"" + value +
                           "\"; it shows as text");
            return;
        }
        if (tag_name != "FONT") return;
        for (const std::string& n : attribute_names(attrs))
            if (n != "FACE" && n != "SIZE" && n != "INCOLOR" && n != "OUTCOLOR")
                add(p, "tag <FONT> has no attribute " + n + " (FACE, SIZE, INCOLOR, OUTCOLOR)");
        std::string v;
        if (attribute_value(attrs, "FACE", v))
            if (std::string fault = font_face_fault(v); !fault.empty())
                out.push_back({p, "tag <FONT>: " + fault, false});
        if (attribute_value(attrs, "SIZE", v) &&
            (!is_number_text(v) || argument_int(v) < 1 || argument_int(v) > 1024))
            add(p, "tag <FONT>: SIZE=\"" + v + "\" is not a size from 1 to 1024; the size stays");
        for (const char* colour : {"INCOLOR", "OUTCOLOR"})
            if (attribute_value(attrs, colour, v) && !v.empty() && !is_colour_text(v))
                add(p, "tag <FONT>: " + std::string(colour) + "=\"" + v + "\" is not a colour");
    }

    // The tag at p ('<'); returns the position after it.
    const char* tag(const char* p, const char* end) {
        const char* q = p + 1;
        const bool closing = q < end && *q == '/';
        if (closing) ++q;
        const char* name_begin = q;
        while (q < end && is_letter(*q)) ++q;
        const std::string tag_name =
            to_upper(std::string_view(name_begin, static_cast<std::size_t>(q - name_begin)));
        const char* gt = q;
        while (gt < end && *gt != '>' && *gt != '\n' && *gt != '<') gt += char_width(gt, end);
        if (gt >= end || *gt != '>') {
            add(p, "tag <" + tag_name + " has no '>'; it shows as text");
            return q;
        }
        if (!listed(tag_name, k_tags)) {
            add(p, "unknown tag <" + std::string(closing ? "/" : "") + tag_name + ">");
            return gt + 1;
        }
        const bool empty =
            std::string_view(q, static_cast<std::size_t>(gt - q)).find_first_not_of(" \t") ==
            std::string_view::npos;
        if (!closing && empty && listed(tag_name, k_valued))
            add(p, "tag <" + tag_name + "> needs a value; it shows as text");
        else if (!closing && !empty)
            values(p, tag_name, std::string_view(q, static_cast<std::size_t>(gt - q)));
        if (tag_name == "RUBY") {
            if (!closing) {
                if (ruby_open) add(p, "<RUBY> inside another <RUBY>");
                ruby_open = p;
            } else if (!ruby_open) {
                add(p, "</RUBY> without its <RUBY>");
            } else {
                ruby_open = nullptr;
            }
        }
        return gt + 1;
    }
};

} // namespace

std::string font_face_fault(std::string_view face) {
    if (face.empty() || platform::font_face_installed(face)) return {};
    return "font face \"" + std::string(face) + "\" is not installed; the text shows in " +
           platform::k_fallback_face;
}

void lint_text_section(const char* start, const char* end, std::vector<TextFault>& out) {
    // start is at "<PRE", end just past "</PRE>".
    const char* p = start + 4;
    while (p < end && *p != '>') ++p;
    const std::string section(start + 4, p);
    SectionWalk walk{out};
    const char* body_end = end - 6;
    bool in_entry = false;
    const char* stray = nullptr;
    for (++p; p < body_end;) {
        const char c = *p;
        if (c == '/' && p + 1 < body_end && (p[1] == '/' || p[1] == '*')) {
            skip_comment(p, body_end);
            continue;
        }
        if (c == '[') {
            walk.end_entry();
            in_entry = true;
            while (p < body_end && *p != ']') p += char_width(p, body_end);
            if (p < body_end) ++p;
            continue;
        }
        if (!in_entry && !is_blank(c) && !stray) stray = p;
        if (c == '{' && in_entry) {
            const char* close = find_block_end(p, body_end);
            p = close ? close + 1 : body_end;
            continue;
        }
        if (c == '<' && in_entry) {
            p = walk.tag(p, body_end);
            continue;
        }
        const int w = char_width(p, body_end);
        p += w ? w : 1;
    }
    walk.end_entry();
    if (stray) {
        std::string name = section;
        const std::size_t b = name.find_first_not_of(" \t\x10");
        name = b == std::string::npos ? std::string() : name.substr(b);
        out.insert(out.begin(), {stray, "text before the first [label] of section '" + name +
                                            "' belongs to no entry and is never shown"});
    }
}

} // namespace kestrune::script
