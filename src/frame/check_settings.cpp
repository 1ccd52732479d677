// --check of the settings file: sections and keys the engine reads, and values it can
// use. The engine searches the file for the keys it knows and passes over everything
// else, so a misspelled key silently keeps its default.
#include "frame/check_settings.h"

#include "frame/startup_hooks.h"
#include "persist/settings.h"
#include "platform/encoding.h"
#include "script/arguments.h"
#include "script/lint.h"
#include "text/icons.h"

#include <cctype>

namespace kestrune::frame {

namespace {

enum class Value { text, number, flag, colour, script, icon, font };

struct Key {
    const char* section; // UTF-8
    const char* key;
    Value value;
};

constexpr Key k_keys[] = {
    {"プロダクト", "bland", Value::text},
    {"プロダクト", "name", Value::text},
    {"プロダクト", "version", Value::text},
    {"セーブ", "enable", Value::flag},
    {"セーブ", "path", Value::text},
    {"スクリプト", "start", Value::script},
    {"スクリプト", "menu", Value::script},
    {"スクリプト", "save", Value::script},
    {"スクリプト", "load", Value::script},
    {"スクリプト", "config", Value::script},
    {"スクリプト", "back", Value::script},
    {"スクリプト", "close", Value::script},
    {"スクリプト", "reset", Value::script},
    {"フォント", "face", Value::font},
    {"フォント", "size", Value::number},
    {"フォント", "weight", Value::number},
    {"フォント", "inline", Value::colour},
    {"フォント", "outline", Value::colour},
    {"サウンド", "bgm_volume", Value::number},
    {"サウンド", "se_volume", Value::number},
    {"サウンド", "voice_volume", Value::number},
    {"ボイス", "all_name", Value::text},
    {"テキスト", "margin_line", Value::number},
    {"テキスト", "margin_row", Value::number},
    {"テキスト", "bad_start", Value::text},
    {"テキスト", "bad_end", Value::text},
    {"テキスト", "ruby_rate", Value::number},
    {"アイコン", "icon_line", Value::icon},
    {"アイコン", "icon_page", Value::icon},
    {"アイコン", "icon_auto", Value::icon},
    {"バックログ", "script", Value::script},
    {"バックログ", "icon_voice", Value::icon},
    {"バックログ", "word_in_row", Value::number},
    {"ウィンドウ", "title", Value::text},
    {"メニュー", "enable", Value::flag},
};

std::string trim(std::string s) {
    const std::size_t b = s.find_first_not_of(" \t\r");
    const std::size_t e = s.find_last_not_of(" \t\r");
    return b == std::string::npos ? std::string() : s.substr(b, e - b + 1);
}

bool is_number(const std::string& v) {
    std::size_t i = v.size() > 1 && (v[0] == '-' || v[0] == '+') ? 1 : 0;
    if (i >= v.size()) return false;
    for (; i < v.size(); ++i)
        if (!std::isdigit(static_cast<unsigned char>(v[i]))) return false;
    return true;
}

std::string problem(const Key& k, const std::string& value) {
    switch (k.value) {
    case Value::number:
        return is_number(value) ? "" : "is not a whole number";
    case Value::flag: {
        std::string up = value;
        for (char& c : up) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        return up == "TRUE" || up == "FALSE" ? "" : "is neither TRUE nor FALSE";
    }
    case Value::colour: {
        const std::string v =
            value.rfind("0x", 0) == 0 || value.rfind("0X", 0) == 0 ? value.substr(2) : value;
        return script::is_colour_text(v) ? "" : "is not a colour";
    }
    case Value::script:
        return value.empty() || resource_exists(value) ? "" : "names a script that was not found";
    case Value::text:
    case Value::icon: // see icon_problem()
    case Value::font:
        return "";
    }
    return "";
}

// An icon's frames: "pattern#N" names N images (the pattern's number counting from 0),
// found as the game finds images. A frame that is missing is passed over while the game
// runs, so the icon animates with fewer frames (a warning); with none it shows nothing.
bool icon_problem(const std::string& value, std::string& message, bool& fatal) {
    if (value.empty()) return false;
    text::IconPattern pattern;
    std::string error;
    if (!text::parse_icon_pattern(value, pattern, error)) {
        message = "is not an icon pattern: " + error;
        fatal = true;
        return true;
    }
    int found = 0;
    std::string first_missing;
    // The game tries one index past the count before it gives up on a missing frame.
    for (int i = 0; i <= pattern.count && found < pattern.count; ++i) {
        if (resource_exists(pattern.name(i)))
            ++found;
        else if (first_missing.empty())
            first_missing = pattern.name(i);
    }
    if (found >= pattern.count) return false;
    message = "names " + std::to_string(pattern.count) + " image" +
              (pattern.count == 1 ? "" : "s") + " but " + std::to_string(found) +
              " were found (\"" + first_missing + "\" was not)";
    fatal = found == 0;
    return true;
}

} // namespace

std::vector<script::ScriptProblem> check_settings_file() {
    std::vector<script::ScriptProblem> out;
    std::string contents;
    if (!read_resource(persist::k_settings_file, contents)) return out;
    const std::string file = persist::k_settings_file;
    std::string section;
    bool known_section = false;
    int line_number = 0;
    std::size_t at = 0;
    while (at <= contents.size()) {
        std::size_t nl = contents.find('\n', at);
        if (nl == std::string::npos) nl = contents.size();
        const std::string line = trim(contents.substr(at, nl - at));
        at = nl + 1;
        ++line_number;
        if (line.empty() || line[0] == ';') continue;
        if (line[0] == '[') {
            const std::size_t close = line.find(']');
            section = platform::sjis_to_utf8(
                line.substr(1, close == std::string::npos ? std::string::npos : close - 1));
            known_section = false;
            for (const Key& k : k_keys) known_section |= section == k.section;
            if (!known_section)
                out.push_back({file, line_number, "unknown section [" + section + "]", false});
            continue;
        }
        if (!known_section) continue;
        const std::size_t eq = line.find('=');
        if (eq == std::string::npos) {
            out.push_back({file, line_number, "line is not key=value", false});
            continue;
        }
        const std::string key = trim(line.substr(0, eq));
        std::string value = trim(line.substr(eq + 1));
        if (value.empty() && at < contents.size()) {
            // "key=" at a line end: the value stands on the next line.
            std::size_t next = contents.find('\n', at);
            if (next == std::string::npos) next = contents.size();
            value = trim(contents.substr(at, next - at));
            at = next + 1;
            ++line_number;
        }
        const Key* found = nullptr;
        for (const Key& k : k_keys)
            if (section == k.section && key == k.key) found = &k;
        if (!found) {
            out.push_back(
                {file, line_number, "unknown key '" + key + "' in [" + section + "]", false});
            continue;
        }
        if (std::string p = problem(*found, value); !p.empty())
            out.push_back({file, line_number, key + " = \"" + value + "\" " + p, true});
        std::string message;
        bool fatal = false;
        if (found->value == Value::font) {
            if (std::string fault = script::font_face_fault(value); !fault.empty())
                out.push_back({file, line_number, key + ": " + fault, false});
        } else if (found->value == Value::icon && icon_problem(value, message, fatal)) {
            out.push_back({file, line_number, key + " = \"" + value + "\" " + message, fatal});
        }
    }
    return out;
}

} // namespace kestrune::frame
