// Walks the statements of every block as the statement loop would meet them (control words,
// then commands, then calls of script functions, then expression statements), without
// running any, and names what would go wrong: statements nothing runs, broken expressions
// and brackets, arguments beyond what a command reads, call targets that do not exist,
// resources that no archive or loose file holds, colours and positions that do not parse.
#include "script/lint.h"

#include "script/arguments.h"
#include "script/builtins.h"
#include "script/commands.h"
#include "script/expressions.h"
#include "script/scanner.h"
#include "script/system_variables.h"
#include "storage/storage.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <set>

namespace kestrune::script {

namespace {

struct Finding {
    const char* at;
    std::string message;
    bool error;
};

// What one argument of a command names, so that it can be checked before the run.
enum class ArgKind {
    image,
    sound,
    movie,
    file,
    font,
    script,
    colour,
    x_position,
    y_position,
    request
};
struct ArgCheck {
    const char* command;
    int index;
    ArgKind kind;
};
constexpr ArgCheck k_arg_checks[] = {
    {"CreateTexture", 4, ArgKind::image},
    {"LoadImage", 1, ArgKind::image},
    {"SetImage", 1, ArgKind::image},
    {"DrawTransition", 4, ArgKind::image},
    {"CreateSound", 2, ArgKind::sound},
    {"SetShortcut", 1, ArgKind::script},
    {"CreateColor", 6, ArgKind::colour},
    {"LoadColor", 3, ArgKind::colour},
    {"CreateColor", 2, ArgKind::x_position},
    {"CreateColor", 3, ArgKind::y_position},
    {"CreateTexture", 2, ArgKind::x_position},
    {"CreateTexture", 3, ArgKind::y_position},
    {"CreateText", 2, ArgKind::x_position},
    {"CreateText", 3, ArgKind::y_position},
    {"Request", 1, ArgKind::request},
    // CreateMovie takes its file last or, in the older order, before the flags.
    {"CreateMovie", 4, ArgKind::movie},
    {"CreateMovie", 6, ArgKind::movie},
    {"MoviePlay", 0, ArgKind::movie},
    {"LoadFile", 0, ArgKind::file},
    {"SetFont", 0, ArgKind::font},
};

// The position keywords by axis.
constexpr const char* k_x_words[] = {"CENTER",  "INLEFT",   "INRIGHT", "INHERIT",
                                     "OUTLEFT", "OUTRIGHT", "ONLEFT",  "ONRIGHT"};
constexpr const char* k_y_words[] = {"MIDDLE", "INTOP",     "INBOTTOM", "INHERIT",
                                     "OUTTOP", "OUTBOTTOM", "ONTOP",    "ONBOTTOM"};

// The request words some kind of object answers.
constexpr const char* k_request_words[] = {"Lock",
                                           "UnLock",
                                           "Disused",
                                           "Hideable",
                                           "Clickable",
                                           "UnClickable",
                                           "Passive",
                                           "Erase",
                                           "Enter",
                                           "NormalRender",
                                           "AddRender",
                                           "SubRender",
                                           "OverlayRender",
                                           "MulRender",
                                           "Smoothing",
                                           "UnSmoothing",
                                           "NoLog",
                                           "NoIcon",
                                           "PushText",
                                           "Open",
                                           "Start",
                                           "Stop",
                                           "Pause",
                                           "Resume",
                                           "Play",
                                           "CompulsorySuspend",
                                           "EntrustSuspend",
                                           "Increment",
                                           "Decrement",
                                           "Next",
                                           "Prev"};

// System variables besides the settings: those the engine sets for scripts to read.
constexpr const char* k_system_variables[] = {"backlog_character_width",
                                              "backlog_enable",
                                              "backlog_position_x",
                                              "backlog_position_y",
                                              "backlog_row_interval",
                                              "backlog_row_max",
                                              "backlog_voice_icon_x",
                                              "effect_drop_dencity",
                                              "effect_drop_image",
                                              "effect_drop_rotate_x",
                                              "effect_drop_rotate_y",
                                              "effect_drop_rotate_z",
                                              "effect_drop_speed",
                                              "effect_drop_swing",
                                              "effect_lens_cuvatue",
                                              "effect_lens_distance",
                                              "effect_rain_dencity",
                                              "effect_rain_speed",
                                              "information_cpu",
                                              "information_directx",
                                              "information_memory",
                                              "information_os",
                                              "information_video",
                                              "intrude",
                                              "l_button_down",
                                              "loading_image",
                                              "loading_image_x",
                                              "loading_image_y",
                                              "r_button_down",
                                              "max_texture_size",
                                              "menu_enable",
                                              "mousewheel_down",
                                              "mousewheel_up",
                                              "present_preprocess",
                                              "present_process",
                                              "present_text",
                                              "save_path",
                                              "skip_express_image",
                                              "sound_volume_bgm_default",
                                              "sound_volume_se_default",
                                              "sound_volume_voice_default",
                                              "version",
                                              "XBOX360_button_a_down"};
// Families whose last part names a key or a button.
constexpr const char* k_system_families[] = {"keydown_", "buttondown_"};

// "" when `name` (after "SYSTEM_") is a system variable the engine knows; else the message.
std::string system_variable_fault(const std::string& name) {
    if (is_system_setting(name)) return {};
    for (const char* v : k_system_variables)
        if (name == v) return {};
    for (const char* f : k_system_families)
        if (name.rfind(f, 0) == 0 && name.size() > std::strlen(f)) return {};
    std::vector<std::string> known;
    for (std::string_view n : system_setting_names()) known.emplace_back(n);
    known.insert(known.end(), std::begin(k_system_variables), std::end(k_system_variables));
    std::string message = "unknown system variable SYSTEM_" + name;
    if (std::string near = nearest_name(name, known); !near.empty())
        message += "; did you mean SYSTEM_" + near + "?";
    return message;
}

bool word_in(std::string_view word, const auto& list) {
    for (const char* w : list)
        if (equals_nocase(word, w)) return true;
    return false;
}

bool is_letter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// Splits an argument list at its top-level commas; each argument trimmed, quotes kept.
std::vector<std::string> split_list(const std::string& list) {
    std::vector<std::string> out;
    if (list.find_first_not_of(" \t\r\n") == std::string::npos) return out;
    std::string cur;
    int depth = 0;
    bool quoted = false;
    for (std::size_t i = 0; i < list.size(); ++i) {
        const char c = list[i];
        if (c == '"' && (i == 0 || list[i - 1] != '\\')) quoted = !quoted;
        if (!quoted && (c == '(' || c == '[')) ++depth;
        if (!quoted && (c == ')' || c == ']')) --depth;
        if (!quoted && depth == 0 && c == ',') {
            out.push_back(cur);
            cur.clear();
            continue;
        }
        cur += c;
    }
    out.push_back(cur);
    for (std::string& a : out) {
        const std::size_t b = a.find_first_not_of(" \t\r\n");
        const std::size_t e = a.find_last_not_of(" \t\r\n");
        a = b == std::string::npos ? std::string() : a.substr(b, e - b + 1);
    }
    return out;
}

// A literal argument: its text without quotes; false when it depends on the run (a
// variable, an expression, a function parameter) or is absent.
bool literal_of(const std::string& arg, const ScriptBlock& b, std::string& out) {
    if (arg.empty()) return false;
    if (arg.size() >= 2 && arg.front() == '"' && arg.back() == '"') {
        out = arg.substr(1, arg.size() - 2);
    } else {
        out = arg;
    }
    if (out.empty() || out.find_first_of("$#") == 0 || out.find('$') != std::string::npos)
        return false;
    for (int i = 0; i < b.param_count; ++i)
        if (out == b.param_names[i]) return false;
    return !is_null_word(out);
}

class Linter {
public:
    Linter(ScriptContext& ctx, bool other_files) : m_ctx(ctx), m_other_files(other_files) {
        std::lock_guard guard(ctx.m_blocks_mutex);
        for (auto& b : ctx.blocks)
            if (b->kind == k_kind_function) m_functions.emplace_back(b->name);
    }

    void lint_slot(int slot, std::vector<Finding>& out) {
        m_out = &out;
        std::vector<ScriptBlock*> blocks;
        {
            std::lock_guard guard(m_ctx.m_blocks_mutex);
            for (auto& b : m_ctx.blocks)
                if (b->file_slot == slot) blocks.push_back(b.get());
        }
        for (ScriptBlock* b : blocks) walk(*b);
    }

private:
    void add(const char* at, std::string message, bool error = true) {
        m_out->push_back({at, std::move(message), error});
    }
    const char* file_end(const ScriptBlock& b) const {
        const ScriptFile& f = m_ctx.files[static_cast<std::size_t>(b.file_slot)];
        return f.data() + f.size;
    }

    void walk(ScriptBlock& b) {
        char* p = b.start;
        char* const limit = b.end + 1;
        const char* end = file_end(b);
        while (p && p < limit) {
            p = skip_space(p, limit);
            if (p >= limit) break;
            if (skip_comment(p, limit)) continue;
            const int region = region_at(b, p);
            if (region >= 0) {
                if (*p == '<') {
                    std::vector<TextFault> faults;
                    lint_text_section(p, b.skip_ends[region], faults);
                    for (TextFault& f : faults) add(f.at, std::move(f.message), f.error);
                }
                p = b.skip_ends[region];
                continue;
            }
            if (*p == '{' || *p == '}' || *p == ';') {
                ++p;
                continue;
            }
            p = statement(b, p, end);
        }
    }

    int region_at(const ScriptBlock& b, const char* p) const {
        for (int i = 0; i < b.skip_count; ++i)
            if (b.skip_starts[i] == p) return i;
        return -1;
    }

    static std::size_t word_at(const char* p, const char* end, const char* word) {
        const std::size_t n = std::strlen(word);
        if (static_cast<std::size_t>(end - p) < n || std::strncmp(p, word, n) != 0) return 0;
        const char* q = p + n;
        if (q >= end) return n;
        const char c = *q;
        if (c == '\t' || c == ' ' || c == '(' || c == ';' || c == '{' || c == '\r' || c == '\n' ||
            blank_width(q, end) == 2)
            return n;
        return 0;
    }

    char* statement(ScriptBlock& b, char* p, const char* end) {
        static constexpr const char* k_targets[] = {"call_chapter", "call_scene",  "call_cut",
                                                    "call",         "shift_scene", "shift_cut"};
        for (const char* w : k_targets)
            if (std::size_t n = word_at(p, end, w)) return target(b, p, p + n, w, end);
        for (const char* w : {"if", "while"})
            if (std::size_t n = word_at(p, end, w)) return condition(p + n, end);
        if (std::size_t n = word_at(p, end, "case")) {
            char* q = p + n;
            while (q < end && *q != '{' && *q != '\n') ++q;
            return q;
        }
        for (const char* w :
             {"else", "break", "return", "wait", "select", "begin:", "debugmessage"})
            if (std::size_t n = word_at(p, end, w)) return p + n;

        const int index = match_command(p, end);
        if (index >= 0) return command(b, p, end, command_table()[static_cast<std::size_t>(index)]);
        if (ScriptBlock* f = function_at(p, end)) return function_call(b, *f, p, end);

        std::string collected;
        char* next = const_cast<char*>(collect_statement(p, end, collected));
        if (is_expression_statement(collected)) {
            // The expression reader names a missing bracket itself, with more to say.
            if (!shape(p, next, false)) return next;
            if (std::string f = expression_fault(collected); !f.empty())
                add(p, f.starts_with("unknown function") ? f : "expression does not parse: " + f);
            else
                system_variables_of(p, collected);
            return next;
        }
        if (!shape(p, next)) return next;
        const std::string raw(p, static_cast<std::size_t>(next - p));
        if (std::string f = unknown_statement_fault(raw, m_functions); !f.empty())
            add(p, f, !f.starts_with("the value of"));
        return next;
    }

    // System variables named in a collected expression: a misspelled one is an ordinary
    // variable that the engine never reads or sets (a warning: a game may use the prefix for
    // its own variables).
    void system_variables_of(const char* p, const std::string& collected) {
        for (std::size_t at = collected.find("SYSTEM_"); at != std::string::npos;
             at = collected.find("SYSTEM_", at + 7)) {
            if (at == 0 || (collected[at - 1] != '$' && collected[at - 1] != '#')) continue;
            std::size_t e = at + 7;
            while (e < collected.size() && (is_letter(collected[e]) || collected[e] == '_' ||
                                            (collected[e] >= '0' && collected[e] <= '9')))
                ++e;
            if (std::string f = system_variable_fault(collected.substr(at + 7, e - at - 7));
                !f.empty())
                add(p, f, false);
        }
    }

    // Brackets and quotes of the statement text [p, next): false (reported) when unbalanced.
    bool shape(const char* p, const char* next, bool brackets = true) {
        int depth = 0;
        bool quoted = false;
        const char* quote_at = nullptr;
        for (const char* q = p; q < next; ++q) {
            if (*q == '"' && !(q > p && q[-1] == '\\')) {
                quoted = !quoted;
                quote_at = q;
            }
            if (quoted) {
                if (*q == '\n') {
                    add(quote_at, "a quote is not closed on its line");
                    return false;
                }
                continue;
            }
            if (!brackets) continue;
            if (*q == '(') ++depth;
            if (*q == ')' && --depth < 0) {
                add(p, "')' without its '('");
                return false;
            }
        }
        if (quoted) {
            add(quote_at, "a quote is not closed");
            return false;
        }
        if (depth > 0) {
            add(p, "'(' without its ')'");
            return false;
        }
        return true;
    }

    char* condition(char* p, const char* end) {
        std::string collected;
        char* q = skip_blanks(p, end);
        char* stop = q;
        if (q < end && *q == '(') {
            int depth = 0;
            bool quoted = false;
            for (; stop < end; ++stop) {
                if (*stop == '"') quoted = !quoted;
                if (quoted) continue;
                if (*stop == '(') ++depth;
                if (*stop == ')' && --depth == 0) {
                    ++stop;
                    break;
                }
                if (*stop == ';' || *stop == '{') break;
            }
        }
        char* next = const_cast<char*>(collect_statement(q, stop > q ? stop : end, collected));
        if (stop > q) next = stop;
        if (!shape(q, next)) return next;
        if (collected.empty()) {
            add(p, "a condition is missing");
        } else if (std::string f = expression_fault(collected); !f.empty()) {
            add(q, "condition does not parse: " + f);
        } else {
            system_variables_of(q, collected);
        }
        return next;
    }

    ScriptBlock* function_at(const char* p, const char* end) {
        std::lock_guard guard(m_ctx.m_blocks_mutex);
        for (auto& f : m_ctx.blocks) {
            if (f->kind != k_kind_function || f->name[0] != *p) continue;
            const std::size_t n = std::strlen(f->name);
            if (std::strncmp(p, f->name, n) != 0 || p + n >= end) continue;
            const char c = p[n];
            if (c == '(' || c == ' ' || c == '\t' || c == '\r' || c == '\n' ||
                blank_width(p + n, end) == 2)
                return f.get();
        }
        return nullptr;
    }

    char* after_list(const char* pos, const char* end, std::string& list) {
        const char* after = pos;
        take_argument_list(pos, end, list, after);
        char* resume = const_cast<char*>(after);
        if (resume < end && *resume == ';' && after > pos && after[-1] == ')') ++resume;
        return resume;
    }

    char* function_call(ScriptBlock&, ScriptBlock& f, char* p, const char* end) {
        std::string list;
        char* next = after_list(p, end, list);
        if (!shape(p, next)) return next;
        const std::size_t given = split_list(list).size();
        if (given > static_cast<std::size_t>(f.param_count))
            add(p, std::string("function ") + f.name + " takes " + std::to_string(f.param_count) +
                       " argument" + (f.param_count == 1 ? "" : "s") + "; " +
                       std::to_string(given) + " are given");
        check_arguments_of(list, p);
        return next;
    }

    // Expressions inside arguments: calls of unknown functions.
    void check_arguments_of(const std::string& list, const char* p) {
        for (const std::string& a : split_list(list)) {
            std::size_t n = 0;
            while (n < a.size() &&
                   (is_letter(a[n]) || a[n] == '_' || (n > 0 && a[n] >= '0' && a[n] <= '9')))
                ++n;
            if (n == 0 || n >= a.size() || a[n] != '(') continue;
            const std::string name = a.substr(0, n);
            if (builtins::find(name) >= 0 || equals_nocase(name, "RGB") ||
                equals_nocase(name, "RGBA"))
                continue;
            std::string message = "unknown function '" + name + "'";
            std::vector<std::string> known = builtins::names();
            known.insert(known.end(), m_functions.begin(), m_functions.end());
            if (std::string near = nearest_name(name, known); !near.empty())
                message += "; did you mean " + near + "?";
            add(p, message);
        }
    }

    char* command(ScriptBlock& b, char* p, const char* end, const CommandEntry& entry) {
        std::string list;
        char* next = after_list(p, end, list);
        if (!shape(p, next)) return next;
        const std::vector<std::string> args = split_list(list);
        if (args.size() > static_cast<std::size_t>(entry.arg_count)) {
            add(p, std::string(entry.name) + " reads " + std::to_string(entry.arg_count) +
                       " argument" + (entry.arg_count == 1 ? "" : "s") + "; " +
                       std::to_string(args.size()) + " are given");
            return next;
        }
        check_arguments_of(list, p);
        check_block_names(b, p, entry, args);
        // While the game runs the handlers check their own arguments, with what the scene
        // knows besides (objects named as images, the requests an object answers).
        if (!m_other_files) return next;
        const std::string outcome =
            entry.creating ? "; the object was not created" : "; nothing was done";
        for (const ArgCheck& c : k_arg_checks) {
            if (std::strcmp(c.command, entry.name) != 0) continue;
            if (static_cast<std::size_t>(c.index) >= args.size()) continue;
            std::string value;
            if (!literal_of(args[static_cast<std::size_t>(c.index)], b, value)) continue;
            check_argument(p, c.kind, value, outcome);
        }
        return next;
    }

    // Blocks and text entries that commands name: a command that finds none does nothing
    // and says nothing.
    void check_block_names(ScriptBlock& b, const char* p, const CommandEntry& entry,
                           const std::vector<std::string>& args) {
        const auto literal = [&](std::size_t i, std::string& out) {
            return i < args.size() && literal_of(args[i], b, out);
        };
        std::string block, section, label;
        if (std::strcmp(entry.name, "CreateProcess") == 0 && literal(4, block)) {
            if (!find_block(m_ctx, block.c_str(), k_kind_cut, -1) &&
                !find_block(m_ctx, block.c_str(), k_kind_function, -1))
                add(p, "CreateProcess: no cut or function named '" + block + "'");
            return;
        }
        if (std::strcmp(entry.name, "LoadText") != 0 || !literal(0, block)) return;
        ScriptBlock* holder = find_block(m_ctx, block.c_str(), k_kind_chapter | k_kind_scene, -1);
        if (!holder) holder = find_block(m_ctx, block.c_str(), 0, -1);
        if (!holder) {
            add(p, "LoadText: no block named '" + block + "'");
            return;
        }
        if (!literal(1, section)) return;
        bool section_found = false, label_found = false;
        const bool check_label = literal(2, label);
        if (!label.empty() && label[0] == '@') label.erase(0, 1);
        if (const std::size_t star = label.find('*'); star != std::string::npos) label.resize(star);
        for (const TextEntry& e : holder->text_entries) {
            if (section != e.section_name) continue;
            section_found = true;
            label_found |= label == e.label;
        }
        if (!section_found)
            add(p, "LoadText: '" + block + "' has no text section '" + section + "'");
        else if (check_label && !label_found)
            add(p, "LoadText: section '" + section + "' has no entry [" + label + "]");
    }

    void check_argument(const char* p, ArgKind kind, const std::string& value,
                        const std::string& outcome) {
        switch (kind) {
        case ArgKind::image:
        case ArgKind::sound: {
            // An image argument may name an object as well: only file names are checked.
            if (value.front() == '@' || value.find('.') == std::string::npos) return;
            const std::string name =
                value.rfind("file:", 0) == 0 ? value.substr(5) : resource_path_prefix() + value;
            if (storage::available_file(name) == -1)
                add(p, std::string(kind == ArgKind::image ? "image" : "sound") + " \"" + value +
                           "\" was not found" + outcome);
            return;
        }
        case ArgKind::movie: {
            // The flags TRUE and FALSE in the file's other place have no dot.
            if (value.find('.') == std::string::npos) return;
            const std::string name =
                value.rfind("file:", 0) == 0 ? value.substr(5) : resource_path_prefix() + value;
            if (storage::available_file(name) == -1 &&
                (resource_path_prefix().empty() || storage::available_file(value) == -1))
                add(p, "movie \"" + value + "\" was not found" + outcome);
            return;
        }
        case ArgKind::file:
            // LoadFile reads its name as it is, without the resource folder.
            if (storage::available_file(value) == -1)
                add(p, "file \"" + value + "\" was not found; nothing was loaded");
            return;
        case ArgKind::font:
            // Faces come from the fonts installed on the machine; the text still shows, in
            // the fallback face.
            if (std::string fault = font_face_fault(value); !fault.empty()) add(p, fault, false);
            return;
        case ArgKind::script:
            if (storage::available_file(script_resource_name(value)) == -1)
                add(p, "script \"" + value + "\" was not found");
            return;
        case ArgKind::colour:
            if (!is_colour_text(value)) {
                const Colour c = parse_colour(value);
                char reads[64];
                std::snprintf(reads, sizeof reads, "#%06X with opacity %u", c.rgb & 0xFFFFFFu,
                              static_cast<unsigned>(c.alpha));
                add(p, "colour \"" + value + "\" is not a colour; it reads as " + reads);
            }
            return;
        case ArgKind::x_position:
        case ArgKind::y_position: {
            if (!is_letter(value.front())) return;
            const bool x = kind == ArgKind::x_position;
            if (!word_in(value, x ? k_x_words : k_y_words))
                add(p, "position \"" + value + "\" is not " + (x ? "an x" : "a y") + " position" +
                           outcome);
            return;
        }
        case ArgKind::request:
            if (!word_in(value.substr(0, value.find_first_of(" \t")), k_request_words)) {
                std::vector<std::string> words(std::begin(k_request_words),
                                               std::end(k_request_words));
                std::string message = "request \"" + value + "\" is not a request word";
                if (std::string near = nearest_name(value, words); !near.empty())
                    message += "; did you mean " + near + "?";
                add(p, message);
            }
            return;
        }
    }

    // The operand of a call or shift: the word after it, trailing ";}/\"" removed.
    char* target(ScriptBlock& b, char* pos, char* p, const char* word, const char* end) {
        p = skip_space(p, end);
        const bool quoted = p < end && *p == '"';
        if (quoted) ++p;
        char* start = p;
        while (p < end && *p != '\0' && !space_width(p, end)) p += char_width(p, end);
        std::string text(start, static_cast<std::size_t>(p - start));
        while (!text.empty() && std::strchr(";}/\"", text.back())) text.pop_back();
        if (text.empty()) {
            add(pos, std::string(word) + " without a target");
            return p;
        }
        if (text.find_first_of("$#") == 0) return p; // chosen while running
        const std::string w = word;
        if (w == "call" || w == "call_cut" || w == "shift_cut") {
            if (!find_block(m_ctx, text.c_str(), k_kind_cut, b.file_slot))
                add(pos, w + ": no cut named '" + text + "' in this file");
            return p;
        }
        const bool chapter = w == "call_chapter";
        const std::size_t arrow = text.find("->");
        const std::string file = text.substr(0, arrow);
        std::string block = arrow == std::string::npos ? std::string() : text.substr(arrow + 2);
        if (block.empty()) block = chapter ? "main" : "Main";
        const std::int32_t kind = chapter ? k_kind_chapter : k_kind_scene;
        if (file == "@") {
            if (!find_block(m_ctx, block.c_str(), kind, chapter ? -1 : b.file_slot))
                add(pos, w + ": no " + (chapter ? "chapter" : "scene") + " named '" + block +
                             "' in this file");
            return p;
        }
        if (!m_other_files) return p;
        const std::string resource = script_resource_name(file);
        if (storage::available_file(resource) == -1) {
            add(pos, w + ": script \"" + file + "\" was not found");
            return p;
        }
        if (!block_in_file(file, block, kind))
            add(pos, w + ": \"" + file + "\" has no " + (chapter ? "chapter" : "scene") +
                         " named '" + block + "'");
        return p;
    }

    bool block_in_file(const std::string& file, const std::string& block, std::int32_t kind) {
        auto it = m_loaded.find(file);
        if (it == m_loaded.end()) {
            std::vector<ScriptProblem> ignored; // that file reports its own problems
            it = m_loaded.emplace(file, load_detached(file, ignored)).first;
        }
        return find_block(*it->second, block.c_str(), kind, 0) != nullptr;
    }

    ScriptContext& m_ctx;
    bool m_other_files;
    std::vector<std::string> m_functions;
    std::vector<Finding>* m_out = nullptr;
    std::map<std::string, std::unique_ptr<ScriptContext>> m_loaded;
};

} // namespace

void lint_context(ScriptContext& context, const std::vector<int>& slots,
                  std::vector<ScriptProblem>& problems, bool whole_game) {
    Linter linter(context, whole_game);
    for (int slot : slots) {
        const ScriptFile& f = context.files[static_cast<std::size_t>(slot)];
        if (!f.text) continue;
        std::vector<Finding> found;
        linter.lint_slot(slot, found);
        std::stable_sort(found.begin(), found.end(),
                         [](const Finding& a, const Finding& b) { return a.at < b.at; });
        for (Finding& x : found)
            problems.push_back({f.name, line_of(context, x.at), std::move(x.message), x.error});
    }
}

std::vector<ScriptProblem> lint_script_file(const std::string& file) {
    std::vector<ScriptProblem> problems;
    std::unique_ptr<ScriptContext> ctx = load_detached(file, problems);
    // Only the file itself: its #include files are checked as files of their own.
    lint_context(*ctx, {0}, problems, true);
    return problems;
}

} // namespace kestrune::script
