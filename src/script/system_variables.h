// System settings behind the "#SYSTEM_" and "$SYSTEM_" variables.
//
// A script changes a setting by assigning its variable; the system-variable handler then
// looks the name (the part after the prefix character and "SYSTEM_") up in a table of 69
// settings, stores the value as the process-wide setting of that name, and lets the
// subsystem that owns the setting react. Subsystems read settings through setting_number()
// / setting_text() and register reactions with watch_setting(); they never parse variable
// names themselves.
//
// Stored values are those of the variable, with these rules applied:
//   play_speed               1 to 12 only (index into the speed table); others ignored
//   sound_bgm/se/voice       0 or 1
//   sound_volume_*           clamped to 0..1000
//   window_full              1 turned into 0 while window_full_lock is set
//   text_speed               raw variable value (the text speed factor is value / 1000)
//   auto_wait_per_character  integer
//   voice_enable_list, backlog_ignore_character_voice   text of at most 511 bytes
//   low_thread_priority      0 or 1 only; others ignored
//   video_aspect_fixed       1, 2, 3, anything else 0
//   save_thumbnail_*, interrupt_play_speed, express_skip_animation_fps   above 0 only
//   skip_express_minimum_time  0 or more only
//   script_*, current_path, last_text, text_icon_*, spt_name   text settings
//
// Threading: settings may be read from any thread without blocking writers for long. The
// handler runs on the thread that changed the variable, outside the variable store's lock;
// reactions run on that thread too and may read and write variables.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>

namespace kestrune::script {

inline constexpr int k_system_setting_count = 69;

// The speed table chosen by play_speed (index 1..12).
inline constexpr double k_speed_table[12] = {0.5, 0.75, 1.0, 1.5,  2.0,  3.0,
                                             4.0, 5.5,  8.0, 12.0, 16.0, 32.0};

// True when name (without prefix, e.g. "text_speed") is one of the 69 settings.
bool is_system_setting(std::string_view name);
// The names of the 69 settings, in table order.
std::span<const std::string_view> system_setting_names();

// Current value of a setting (0 / "" when never set and no default was given). Unknown
// names give 0 / "".
double setting_number(std::string_view name);
std::string setting_text(std::string_view name);
// The engine's default of a setting, used until a script or the settings file sets it.
// Defaults run no reactions.
void set_setting_default(std::string_view name, double number);
void set_setting_default_text(std::string_view name, std::string_view text);

// The play-speed index (1..12, default 3) and its factor from the speed table.
int play_speed_index();
double play_speed_factor();
// Resource path prefix for script, image and movie names (the setting current_path).
std::string resource_path_prefix();

// Registers a reaction to a change of one setting (name without prefix), or of every
// setting when name is empty. The reaction receives the setting name and the full variable
// name that changed. Returns an id for unwatch_setting.
using SettingReaction = std::function<void(std::string_view setting, std::string_view var_name)>;
int watch_setting(std::string_view name, SettingReaction reaction);
void unwatch_setting(int id);

// The system-variable handler: called after a script assignment, compound operator or
// increment changed a variable whose name continues with "SYSTEM_" after its first byte,
// and for every restored variable. Reads the variable, stores the setting, runs the
// reactions, and pulses the attention event. Unknown names only signal the attention event.
void run_system_variable_handler(std::string_view var_name);

// Image gallery flags: for an image file loaded for a texture, the base name (after the
// last '/' or '\\', without a jpg, png or bmp extension in any case) that begins with
// "ev", "bg", "obj" or "img" sets the global variable named after it to TRUE (the
// statement "#<base>=TRUE" is evaluated). Called by the image-loading commands.
void note_gallery_image(std::string_view file_name);

// Information for the start-up variables (Part of the script start sequence).
struct SystemVariableInfo {
    std::string save_path;
    std::string information_os, information_cpu, information_memory, information_video,
        information_directx;
    std::uint32_t max_texture = 2048;       // largest texture edge the device reports
    std::uint64_t video_memory = 134217728; // bytes
    // Content of the common variables file (a VKSG block, container already removed);
    // empty when save data is disabled or the file does not exist.
    std::span<const std::uint8_t> common_globals;
    std::string common_globals_source; // file name for messages
};

// Script start sequence step for the store: clears the globals, restores them from
// info.common_globals, then creates or applies the start-up system variables
// (#SYSTEM_text_speed, keep_skip, skip_absolute, play_speed, save_path,
// auto_wait_per_character, auto_text_break_voice, click_break_voice, information_*,
// version, max_texture_size, save_thumbnail_width/height).
void start_system_variables(const SystemVariableInfo& info);

// Test support: forgets every setting, default and reaction.
void reset_system_settings_for_tests();

} // namespace kestrune::script
