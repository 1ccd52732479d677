#include "persist/settings.h"

#include "platform/encoding.h"

#include <cstdlib>
#include <cstring>
#include <mutex>

namespace kestrune::persist {

namespace {

bool is_blank_at(std::string_view t, std::size_t i) {
    if (i >= t.size()) return false;
    const auto c = static_cast<unsigned char>(t[i]);
    if (c == ' ' || c == '\t' || c == '\r' || c == '\n') return true;
    return c == 0xA1 && i + 1 < t.size() && static_cast<unsigned char>(t[i + 1]) == 0xA1;
}
std::size_t blank_length(std::string_view t, std::size_t i) {
    return static_cast<unsigned char>(t[i]) == 0xA1 ? 2 : 1;
}

// Searches `needle` from `from`, one character at a time (a byte of 0x80 or above takes
// the next byte with it), skipping ";" comments to the end of their line. With
// stop_at_section, a line that starts with "[" ends the search (after CR LF or a bare LF). Returns
// npos when not found.
std::size_t search(std::string_view t, std::string_view needle, std::size_t from,
                   bool stop_at_section) {
    std::size_t i = from;
    while (i < t.size()) {
        if (stop_at_section && t[i] == '\n' && i + 1 < t.size() && t[i + 1] == '[')
            return std::string_view::npos;
        if (t[i] == needle[0] && t.compare(i, needle.size(), needle) == 0 &&
            i + needle.size() <= t.size())
            return i;
        if (t[i] == ';') {
            while (i < t.size() && t[i] != '\n') ++i;
            continue;
        }
        i += static_cast<unsigned char>(t[i]) >= 0x80 ? 2 : 1;
    }
    return std::string_view::npos;
}

// Finds the raw value bytes of a key. False when missing or empty.
bool find_value(std::string_view t, std::string_view section_utf8, std::string_view key,
                std::string& value) {
    if (key.empty()) return false;
    const std::string header = "[" + platform::utf8_to_sjis(section_utf8) + "]";
    const std::size_t h = search(t, header, 0, false);
    if (h == std::string_view::npos) return false;
    const std::size_t k = search(t, key, h, true);
    if (k == std::string_view::npos) return false;
    std::size_t i = k + key.size();
    while (i < t.size() && t[i] != '=') {
        if (t[i] == '\r' || t[i] == '\n') return false;
        ++i;
    }
    if (i >= t.size()) return false;
    ++i;
    while (is_blank_at(t, i)) i += blank_length(t, i);
    const std::size_t start = i;
    // A value ends at a blank followed by another blank or ";", or at a line end: a single
    // space between words belongs to the value.
    while (i < t.size()) {
        // A line end always ends the value (CR LF ends it below, as two blanks in a row).
        if (t[i] == '\n') break;
        if (is_blank_at(t, i)) {
            const std::size_t next = i + blank_length(t, i);
            if (is_blank_at(t, next) || (next < t.size() && t[next] == ';')) break;
            i = next;
            continue;
        }
        i += static_cast<unsigned char>(t[i]) >= 0x80 ? 2 : 1;
    }
    if (i > t.size()) i = t.size();
    value.assign(t.substr(start, i - start));
    while (!value.empty() && value.back() == ' ') value.pop_back();
    return !value.empty();
}

std::int32_t leading_decimal(const std::string& v) {
    long long n = std::strtoll(v.c_str(), nullptr, 10);
    if (n > INT32_MAX) n = INT32_MAX;
    if (n < INT32_MIN) n = INT32_MIN;
    return static_cast<std::int32_t>(n);
}

bool equals_true(const std::string& v) {
    return v.size() == 4 && (v[0] | 0x20) == 't' && (v[1] | 0x20) == 'r' && (v[2] | 0x20) == 'u' &&
           (v[3] | 0x20) == 'e';
}

std::mutex g_settings_mutex;
Settings g_settings;

} // namespace

bool read_text_value(std::string_view contents, std::string_view section_utf8, std::string_view key,
                     std::size_t buffer_size, std::string& out) {
    out.clear();
    std::string value;
    if (!find_value(contents, section_utf8, key, value)) return false;
    if (value.size() >= buffer_size) return false;
    out = std::move(value);
    return true;
}

bool read_int_value(std::string_view contents, std::string_view section_utf8, std::string_view key,
                    std::int32_t& out) {
    out = 0;
    std::string value;
    if (!find_value(contents, section_utf8, key, value)) return false;
    out = leading_decimal(value);
    return true;
}

std::string choose_save_folder(const std::string& brand, const std::string& name,
                               const std::string& version, const std::string& override_dir) {
    if (!override_dir.empty()) return override_dir;
    if (brand.empty() || name.empty() || version.empty()) return "./save";
    std::string base;
    if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg && *xdg == '/') {
        base = xdg;
    } else if (const char* home = std::getenv("HOME"); home && *home) {
        base = std::string(home) + "/.local/share";
    } else {
        return "./save";
    }
    // The product names are folder names: a separator or ".." inside one must not lead
    // the saves somewhere else.
    auto clean = [](const std::string& gbk) {
        std::string s = platform::gbk_to_utf8(gbk);
        for (char& c : s)
            if (c == '/' || c == '\\') c = '_';
        if (s == "." || s == "..") s = "_";
        return s;
    };
    return base + "/" + clean(brand) + "/" + clean(name) + "/" + clean(version);
}

Settings parse_settings(std::string_view t, FileProbe file_exists,
                        const std::string& save_dir_override) {
    Settings s;
    std::string v;
    read_text_value(t, "プロダクト", "bland", 1024, s.brand);
    read_text_value(t, "プロダクト", "name", 1024, s.name);
    read_text_value(t, "プロダクト", "version", 1024, s.version);
    if (read_text_value(t, "セーブ", "enable", 16, v)) s.save_enabled = equals_true(v);
    if (read_text_value(t, "セーブ", "path", 260, v)) s.save_path_key = v;

    auto script = [&](const char* key, std::string& target) {
        std::string name;
        if (read_text_value(t, "スクリプト", key, 260, name) && (!file_exists || file_exists(name)))
            target = name;
    };
    script("menu", s.script_menu);
    script("save", s.script_save);
    script("load", s.script_load);
    script("config", s.script_config);
    script("back", s.script_back);
    script("close", s.script_close);
    script("reset", s.script_reset);
    read_text_value(t, "スクリプト", "start", 260, s.script_start);

    if (!read_text_value(t, "フォント", "face", 256, s.font_face))
        s.font_face = platform::utf8_to_gbk("ＭＳ Ｐゴシック");
    std::int32_t n = 0;
    if (read_int_value(t, "フォント", "size", n)) s.font_size = n;
    if (read_int_value(t, "フォント", "weight", n)) s.font_weight = n;
    if (read_text_value(t, "フォント", "inline", 64, v)) s.font_inline = v;
    if (read_text_value(t, "フォント", "outline", 64, v)) s.font_outline = v;

    if (read_int_value(t, "サウンド", "bgm_volume", n)) s.bgm_volume = n;
    if (read_int_value(t, "サウンド", "se_volume", n)) s.se_volume = n;
    if (read_int_value(t, "サウンド", "voice_volume", n)) s.voice_volume = n;
    read_text_value(t, "ボイス", "all_name", 512, s.voice_all_name);

    if (read_int_value(t, "テキスト", "margin_line", n)) s.margin_line = n;
    if (read_int_value(t, "テキスト", "margin_row", n)) s.margin_row = n;
    read_text_value(t, "テキスト", "bad_start", 256, s.bad_start);
    read_text_value(t, "テキスト", "bad_end", 256, s.bad_end);
    if (read_int_value(t, "テキスト", "ruby_rate", n)) s.ruby_rate = n;

    read_text_value(t, "アイコン", "icon_line", 260, s.icon_line);
    read_text_value(t, "アイコン", "icon_page", 260, s.icon_page);
    read_text_value(t, "アイコン", "icon_auto", 260, s.icon_auto);

    read_text_value(t, "バックログ", "script", 260, s.backlog_script);
    read_text_value(t, "バックログ", "icon_voice", 260, s.backlog_icon_voice);
    if (read_int_value(t, "バックログ", "word_in_row", n)) s.backlog_word_in_row = n > 32 ? 32 : n;

    read_text_value(t, "ウィンドウ", "title", 256, s.window_title);
    if (read_text_value(t, "メニュー", "enable", 1024, v)) s.menu_enabled = equals_true(v);

    s.save_folder = choose_save_folder(s.brand, s.name, s.version, save_dir_override);
    return s;
}

void load_settings(FileReader read_file, FileProbe file_exists,
                   const std::string& save_dir_override) {
    std::string contents;
    if (!read_file || !read_file(k_settings_file, contents)) contents.clear();
    Settings s = parse_settings(contents, file_exists, save_dir_override);
    std::lock_guard guard(g_settings_mutex);
    g_settings = std::move(s);
}

const Settings& settings() {
    return g_settings;
}

} // namespace kestrune::persist
