// The settings file "./system/System.ini": the product's fixed configuration.
//
// The file is searched as plain bytes, not parsed line by line, and games rely on the
// quirks of that search: a key matches wherever its bytes first occur after the section
// header (also inside a longer key or a value), a section ends only at CR LF "[", and a
// value may continue onto the next line when "=" is followed by a line end. Section names
// are Shift-JIS; values are bytes in the scripts' code page (GBK).
//
// Threading contract: load_settings() runs on the main thread during the script start
// sequence; afterwards settings() is read-only and may be read from any thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace kestrune::persist {

inline constexpr const char* k_settings_file = "system/System.ini";

// Reads the text value of `key` in `section` (UTF-8 section name; converted to Shift-JIS
// for the search). Accepted only when shorter than buffer_size bytes. False when missing.
bool read_text_value(std::string_view contents, std::string_view section_utf8, std::string_view key,
                     std::size_t buffer_size, std::string& out);
// Reads an integer value: the decimal value of its leading digits (0 when there are none).
bool read_int_value(std::string_view contents, std::string_view section_utf8, std::string_view key,
                    std::int32_t& out);

struct Settings {
    // Product: the three folder names under the application-data folder.
    std::string brand, name, version;
    // Save.
    bool save_enabled = true;
    std::string save_path_key = ".\\save";
    // Scripts of the menu entries and keys; a name is kept only when the file opens.
    std::string script_menu, script_save, script_load, script_config, script_back, script_close,
        script_reset;
    std::string script_start;
    // Font.
    std::string font_face;
    std::int32_t font_size = 16;
    std::int32_t font_weight = 400;
    std::string font_inline = "0xFFFFFF"; // colour notation text
    std::string font_outline = "0";
    // Sound.
    std::int32_t bgm_volume = 1000, se_volume = 1000, voice_volume = 1000;
    // Voice.
    std::string voice_all_name;
    // Text.
    std::int32_t margin_line = 0, margin_row = 16;
    std::string bad_start, bad_end;
    std::int32_t ruby_rate = 0;
    // Icons: file pattern + "#" + count; empty when missing.
    std::string icon_line, icon_page, icon_auto;
    // Backlog.
    std::string backlog_script, backlog_icon_voice;
    std::int32_t backlog_word_in_row = 32;
    // Window and menu.
    std::string window_title; // GBK bytes; empty: the product title
    bool menu_enabled = false;
    // The save folder chosen from the product names (or --save-dir).
    std::string save_folder;
};

// The process-wide settings as last loaded.
const Settings& settings();

// Reads the settings file (through `read_file`, which returns false when the file cannot
// be read) into settings(). A missing file leaves every default. `save_dir_override`
// (the --save-dir option) replaces the folder made from the product names.
using FileReader = bool (*)(const std::string& name, std::string& contents);
using FileProbe = bool (*)(const std::string& name);
void load_settings(FileReader read_file, FileProbe file_exists,
                   const std::string& save_dir_override);
// Parses settings from contents directly (tests).
Settings parse_settings(std::string_view contents, FileProbe file_exists,
                        const std::string& save_dir_override);

// The save folder: `override` when given; else $XDG_DATA_HOME (or ~/.local/share) joined
// with the three product names when all are non-empty; else "./save". Names are GBK bytes
// and converted to UTF-8 for the file system.
std::string choose_save_folder(const std::string& brand, const std::string& name,
                               const std::string& version, const std::string& override_dir);

} // namespace kestrune::persist
