// Pre-scan of a loaded script file: finds its chapters, scenes, cuts and functions, their
// braces and parameter lists, their `begin:` markers, the blocks nested in them (skip
// regions of the outer block), the text sections `<PRE name> ... </PRE>` with their
// `[label]` entries and anonymous `{...}` groups, and the `#include` lines.
//
// The text is never tokenised: blocks are pointers into the loaded text, which the
// statement loop later walks in place. A file with an unclosed comment, a block without
// its braces or an unclosed text section is refused as a whole; too long names and lists
// are cut and reported, never written past their fields.
#include "script/context.h"
#include "script/scanner.h"

#include "frame/engine.h"

#include <atomic>
#include <cstring>
#include <string>
#include <string_view>

namespace kestrune::script {

namespace {

constexpr std::uint8_t k_placeholder = 0x10;
std::atomic<std::uint32_t> g_group_number{0};

struct Keyword {
    const char* word;
    std::size_t length;
    std::int32_t kind;
};
constexpr Keyword k_keywords[] = {{"chapter", 7, k_kind_chapter},
                                  {"scene", 5, k_kind_scene},
                                  {"cut", 3, k_kind_cut},
                                  {"function", 8, k_kind_function}};

struct Scan {
    ScriptContext& ctx;
    int slot;
    char* text;
    char* text_end;
    std::vector<ScriptProblem>& problems;
    std::vector<Placeholder> placeholders;
    std::vector<IncludeRequest> includes;
    bool failed = false;

    int line(const char* at) const {
        int n = 1;
        for (const char* p = text; p < at && p < text_end; ++p)
            if (*p == '\n') ++n;
        // Line ends that the section scan has marked still count.
        for (const Placeholder& ph : placeholders)
            if (text + ph.offset < at && ph.original == '\n') ++n;
        return n;
    }
    void problem(const char* at, std::string message, bool fatal) {
        problems.push_back(
            {ctx.files[static_cast<std::size_t>(slot)].name, line(at), std::move(message), fatal});
        if (fatal) failed = true;
    }
};

bool is_space_byte(unsigned char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// A keyword stands alone: after a white-space byte (or at the start of the text) and
// followed by white space.
bool preceded_by_space(const Scan& s, const char* p) {
    if (p == s.text) return true;
    const unsigned char prev = static_cast<unsigned char>(p[-1]);
    if (is_space_byte(prev)) return true;
    return p - 2 >= s.text && prev == 0xA1 && static_cast<unsigned char>(p[-2]) == 0xA1;
}

const Keyword* keyword_at(const Scan& s, const char* p) {
    if (!preceded_by_space(s, p)) return nullptr;
    for (const Keyword& k : k_keywords) {
        if (std::strncmp(p, k.word, k.length) != 0) continue;
        if (space_width(p + k.length, s.text_end) == 0) continue;
        // Chapters are the entry points of a context: only its first file may hold them.
        if (k.kind == k_kind_chapter && s.slot != 0) return nullptr;
        return &k;
    }
    return nullptr;
}

bool starts_nocase(const char* p, const char* end, std::string_view word) {
    if (static_cast<std::size_t>(end - p) < word.size()) return false;
    return equals_nocase(std::string_view(p, word.size()), word);
}

// A "/*" comment must close inside the file; the scanner would otherwise silently take
// the rest of the file as comment.
bool comment_closes(const char* p, const char* end) {
    int depth = 0;
    while (p + 1 < end) {
        if (p[0] == '/' && p[1] == '*') {
            ++depth;
            p += 2;
        } else if (p[0] == '*' && p[1] == '/') {
            p += 2;
            if (--depth == 0) return true;
        } else {
            ++p;
        }
    }
    return false;
}

void overwrite(Scan& s, char* p) {
    s.placeholders.push_back({static_cast<std::size_t>(p - s.text), static_cast<std::uint8_t>(*p)});
    *p = static_cast<char>(k_placeholder);
}

// White space after a section header or a label becomes 0x10 placeholders.
char* overwrite_space(Scan& s, char* p, const char* limit) {
    for (;;) {
        const int w = space_width(p, limit);
        if (w == 0) return p;
        for (int i = 0; i < w; ++i) overwrite(s, p + i);
        p += w;
    }
}

ScriptBlock* new_block(Scan& s, std::int32_t kind, int line) {
    auto block = std::make_unique<ScriptBlock>();
    block->context = &s.ctx;
    block->kind = kind;
    block->file_slot = s.slot;
    block->line = line;
    block->exec_kind = k_exec_thread;
    block->number = ++g_group_number;
    ScriptBlock* raw = block.get();
    std::lock_guard guard(s.ctx.m_blocks_mutex);
    s.ctx.blocks.push_back(std::move(block));
    return raw;
}

bool add_skip_region(Scan& s, ScriptBlock& b, char* from, char* to) {
    if (b.skip_count >= k_max_skip_regions) {
        s.problem(from,
                  "block '" + std::string(b.name) +
                      "' holds more than 512 nested blocks and "
                      "text sections",
                  true);
        return false;
    }
    b.skip_starts[b.skip_count] = from;
    b.skip_ends[b.skip_count] = to;
    ++b.skip_count;
    return true;
}

char* scan_region(Scan& s, ScriptBlock* owner, char* p, char* limit);

// Reads a function's parameter list; p is at '('. Returns the position after ')'.
char* parse_parameters(Scan& s, ScriptBlock& b, char* p) {
    const char* open = p++;
    for (;;) {
        while (skip_comment(p, s.text_end) || space_width(p, s.text_end))
            p = skip_space(p, s.text_end);
        if (p >= s.text_end) {
            s.problem(open, "parameter list of function '" + std::string(b.name) + "' has no ')'",
                      true);
            return p;
        }
        if (*p == ')') return p + 1;
        if (*p == ',') {
            ++p;
            continue;
        }
        std::int32_t kind = 2;
        const char* name = p;
        if (*p == '"') {
            kind = 1;
            name = ++p;
            while (p < s.text_end && *p != '"') p += char_width(p, s.text_end);
        } else {
            while (p < s.text_end && *p != ',' && *p != ')' && !space_width(p, s.text_end) &&
                   !(p[0] == '/' && (p[1] == '/' || p[1] == '*')))
                p += char_width(p, s.text_end);
        }
        const std::string_view text(name, static_cast<std::size_t>(p - name));
        if (kind == 1 && p < s.text_end) ++p; // closing quote
        if (b.param_count >= k_max_params) {
            s.problem(name,
                      "function '" + std::string(b.name) +
                          "' declares more than 16 parameters; the rest are ignored",
                      false);
            continue;
        }
        const int i = b.param_count++;
        b.param_kinds[i] = kind;
        if (copy_field(b.param_names[i], k_param_name_size, text) < text.size())
            s.problem(name, "parameter name longer than 63 bytes is cut", false);
    }
}

// Parses the block defined by the keyword at kw; returns the position after its closing
// brace, or null when the file must be refused.
char* parse_block(Scan& s, char* kw, const Keyword& k) {
    ScriptBlock& b = *new_block(s, k.kind, s.line(kw));
    char* p = skip_space(kw + k.length, s.text_end);
    const char* name = p;
    while (p < s.text_end && *p != '{' && !space_width(p, s.text_end) &&
           !(k.kind == k_kind_function && *p == '('))
        p += char_width(p, s.text_end);
    const std::string_view name_text(name, static_cast<std::size_t>(p - name));
    if (name_text.empty()) s.problem(kw, std::string(k.word) + " without a name", false);
    if (copy_field(b.name, k_block_name_size, name_text) < name_text.size())
        s.problem(name, "block name longer than 255 bytes is cut", false);

    if (k.kind == k_kind_function) {
        char* q = skip_blanks(p, s.text_end);
        if (q < s.text_end && *q == '(') p = parse_parameters(s, b, q);
        if (s.failed) return nullptr;
    }
    char* brace = p;
    while (brace < s.text_end && *brace != '{') brace += char_width(brace, s.text_end);
    if (brace >= s.text_end) {
        s.problem(kw, std::string(k.word) + " '" + b.name + "' has no '{'", true);
        return nullptr;
    }
    char* close = find_block_end(brace, s.text_end);
    if (!close) {
        s.problem(brace, "'{' of " + std::string(k.word) + " '" + b.name + "' is never closed",
                  true);
        return nullptr;
    }
    b.start = brace + 1;
    b.begin = b.start;
    b.end = close - 1;
    b.cursor = b.start;
    b.statement_start = b.start;
    if (!scan_region(s, &b, b.start, close)) return nullptr;
    return close + 1;
}

// An anonymous group `{...}` inside a text entry; p is at '{'. A further '{' after nothing
// but line ends continues the same group. Returns the position after the group.
char* parse_group(Scan& s, char* p, char* limit) {
    char* close = find_block_end(p, limit);
    if (!close) {
        s.problem(p, "'{' in a text section is never closed", true);
        return nullptr;
    }
    ScriptBlock& g = *new_block(s, k_kind_group, s.line(p));
    std::snprintf(g.name, sizeof g.name, "%u", g.number);
    g.start = p + 1;
    g.begin = g.start;
    g.cursor = g.start;
    g.statement_start = g.start;
    for (;;) {
        g.end = close - 1;
        char* q = close + 1;
        while (q < limit && (*q == '\r' || *q == '\n' || *q == static_cast<char>(k_placeholder))) {
            if (*q != static_cast<char>(k_placeholder)) overwrite(s, q);
            ++q;
        }
        if (q >= limit || *q != '{') return q;
        char* next = find_block_end(q, limit);
        if (!next) {
            s.problem(q, "'{' in a text section is never closed", true);
            return nullptr;
        }
        close = next;
    }
}

// A text section; p is at "<PRE". Returns the position after "</PRE>".
char* parse_section(Scan& s, ScriptBlock& b, char* p, char* limit) {
    char* q = skip_space(p + 4, limit);
    const char* name = q;
    while (q < limit && *q != '>' && !space_width(q, limit)) q += char_width(q, limit);
    const std::string_view name_text(name, static_cast<std::size_t>(q - name));
    while (q < limit && *q != '>') ++q;
    if (q >= limit) {
        s.problem(p, "text section header has no '>'", true);
        return nullptr;
    }
    char* close = q;
    while (close < limit && !starts_nocase(close, limit, "</PRE>"))
        close += char_width(close, limit);
    if (close >= limit) {
        s.problem(p, "text section '" + std::string(name_text) + "' has no </PRE>", true);
        return nullptr;
    }
    const int region = b.skip_count;
    if (!add_skip_region(s, b, p, close + 6)) return nullptr;
    TextSection section;
    section.region = region;
    if (copy_field(section.name, sizeof section.name, name_text) < name_text.size())
        s.problem(name, "text section name longer than 255 bytes is cut", false);

    char* r = overwrite_space(s, q + 1, close);
    TextEntry* entry = nullptr;
    while (r < close) {
        if (*r == '[') {
            char* rb = r + 1;
            while (rb < close && *rb != ']') rb += char_width(rb, close);
            if (rb >= close) {
                s.problem(r, "label '[' without ']' in text section", false);
                break;
            }
            if (entry) entry->last = r - 1;
            TextEntry e;
            e.section_index = region;
            std::memcpy(e.section_name, section.name, sizeof e.section_name);
            const std::string_view label(r + 1, static_cast<std::size_t>(rb - r - 1));
            if (copy_field(e.label, sizeof e.label, label) < label.size())
                s.problem(r, "label longer than 255 bytes is cut", false);
            if (b.text_entries.empty() || b.text_entries.back().section_index != region)
                std::memcpy(section.first_label, e.label, sizeof section.first_label);
            r = overwrite_space(s, rb + 1, close);
            e.first = r;
            e.last = close - 1;
            b.text_entries.push_back(e);
            entry = &b.text_entries.back();
            continue;
        }
        if (*r == '{' && entry) {
            r = parse_group(s, r, close);
            if (!r) return nullptr;
            continue;
        }
        r += char_width(r, close) ? char_width(r, close) : 1;
    }
    b.sections.push_back(section);
    return close + 6;
}

// `#include name` or `#include "name"`; p is at '#'. Returns the end of the line.
char* parse_include(Scan& s, char* p) {
    char* q = skip_blanks(p + 8, s.text_end);
    const bool quoted = q < s.text_end && *q == '"';
    if (quoted) ++q;
    const char* name = q;
    while (q < s.text_end && *q != '\r' && *q != '\n' &&
           (quoted ? *q != '"' : !space_width(q, s.text_end)))
        q += char_width(q, s.text_end);
    std::string file(name, static_cast<std::size_t>(q - name));
    if (file.empty())
        s.problem(p, "#include without a file name", false);
    else
        s.includes.push_back({std::move(file), s.line(p)});
    if (quoted && q < s.text_end && *q == '"') ++q;
    return q;
}

// Walks [p, limit): the top level of a file (owner null) or a block body. Returns null when
// the file must be refused.
char* scan_region(Scan& s, ScriptBlock* owner, char* p, char* limit) {
    bool quoted = false;
    bool have_begin = false;
    while (p < limit) {
        const char c = *p;
        if (c == '"' && !(p > s.text && p[-1] == '\\')) {
            quoted = !quoted;
            ++p;
            continue;
        }
        if (!quoted) {
            if (c == '/' && p[1] == '*' && !comment_closes(p, s.text_end)) {
                s.problem(p, "comment '/*' is never closed", true);
                return nullptr;
            }
            if (skip_comment(p, limit)) continue;
            if (owner && !have_begin && std::strncmp(p, "begin:", 6) == 0 &&
                space_width(p + 6, s.text_end)) {
                owner->begin = p + 6;
                have_begin = true;
                p += 6;
                continue;
            }
            if (const Keyword* k = keyword_at(s, p)) {
                char* after = parse_block(s, p, *k);
                if (!after) return nullptr;
                if (owner && !add_skip_region(s, *owner, p, after)) return nullptr;
                p = after;
                continue;
            }
            if (owner && c == '<' && starts_nocase(p, limit, "<PRE") &&
                (p[4] == '>' || space_width(p + 4, limit))) {
                p = parse_section(s, *owner, p, limit);
                if (!p) return nullptr;
                continue;
            }
            if (c == '#' && std::strncmp(p, "#include", 8) == 0 && space_width(p + 8, s.text_end)) {
                p = parse_include(s, p);
                continue;
            }
        }
        const int w = char_width(p, limit);
        p += w ? w : 1;
    }
    return p;
}

// An unclosed "/*" also unbalances every brace after it: look for one first, so that the
// message names the comment rather than a brace.
bool comments_close(Scan& s) {
    bool quoted = false;
    for (char* p = s.text; p < s.text_end;) {
        if (*p == '"' && !(p > s.text && p[-1] == '\\')) quoted = !quoted;
        if (!quoted && p[0] == '/' && p[1] == '/') {
            while (p < s.text_end && *p != '\n') ++p;
            continue;
        }
        if (!quoted && p[0] == '/' && p[1] == '*') {
            if (!comment_closes(p, s.text_end)) {
                s.problem(p, "comment '/*' is never closed", true);
                return false;
            }
            skip_comment(p, s.text_end);
            continue;
        }
        p += char_width(p, s.text_end) ? char_width(p, s.text_end) : 1;
    }
    return true;
}

} // namespace

bool prescan_file(ScriptContext& context, int slot, std::vector<ScriptProblem>& problems,
                  std::vector<IncludeRequest>* includes) {
    ScriptFile& file = context.files[static_cast<std::size_t>(slot)];
    Scan s{context, slot, file.data(), file.data() + file.size, problems, {}, {}, false};
    const bool ok =
        comments_close(s) && scan_region(s, nullptr, s.text, s.text_end) != nullptr && !s.failed;
    if (!ok) {
        // Refused: no block of this file stays behind, and no placeholder in its text.
        for (const Placeholder& ph : s.placeholders)
            s.text[ph.offset] = static_cast<char>(ph.original);
        std::lock_guard guard(context.m_blocks_mutex);
        context.blocks.remove_if([slot](const auto& b) { return b->file_slot == slot; });
        return false;
    }
    file.read_map = read_text_node_for(file.name, reinterpret_cast<std::uint8_t*>(s.text),
                                       file.size, s.placeholders);
    if (includes)
        for (auto& inc : s.includes) includes->push_back(std::move(inc));
    return true;
}

} // namespace kestrune::script
