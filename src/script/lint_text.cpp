// Text sections, checked as the layout will read them: every entry begins with a [label],
// every tag is one the layout knows (with the value it needs), and every <RUBY> closes
// before its entry ends. The layout shows a tag it cannot read as text, and prose before
// the first label belongs to no entry and is never shown.
#include "script/lint.h"
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

struct SectionWalk {
    std::vector<TextFault>& out;
    const char* ruby_open = nullptr;

    void add(const char* at, std::string message) { out.push_back({at, std::move(message)}); }

    void end_entry() {
        if (ruby_open) add(ruby_open, "<RUBY> is not closed by </RUBY>");
        ruby_open = nullptr;
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
