// The 69 system settings, their stored values, the reactions other subsystems register,
// and the start-up system variables.
#include "script/system_variables.h"

#include "frame/engine.h"
#include "script/expressions.h"
#include "script/scanner.h"
#include "script/variables.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdio>
#include <mutex>
#include <unordered_map>
#include <utility>
#include <vector>

namespace kestrune::script {

namespace {

// Table order: first the settings that are only stored for the subsystem that reads them,
// then those that act at once.
constexpr std::array<std::string_view, k_system_setting_count> k_names = {
    "backlog_lock", "spt_name", "keep_skip", "skip_absolute", "voice_enable_list",
    "voice_enable_another", "auto_wait_per_character", "auto_text_break_voice", "click_break_voice",
    "save_last_select", "break_play_movie", "save_lock", "load_lock", "position_x_text_icon",
    "position_y_text_icon", "script_debug", "skip_express", "auto_ignore_key_cancel",
    "backlog_ignore_character_voice", "text_margin_column", "text_margin_row", "text_waitkey",
    "text_icon_disable", "sync_voice_and_text", "movie_audio_volume", "backlog_voice_icon_shift_y",
    "read_text_color_change", "ignore_voice_sync_text", "ignore_text_speed", "full_scene_update",
    "kill_popupmenu",
    // act at once
    "play_speed", "sound_bgm", "sound_se", "sound_voice", "sound_volume_bgm", "sound_volume_se",
    "sound_volume_voice", "window_full", "window_full_lock", "menu_lock", "text_auto",
    "text_auto_lock", "text_speed", "text_erase", "text_erase_lock", "skip", "skip_lock",
    "text_interval", "current_path", "last_text", "show_cursor", "low_thread_priority",
    "video_aspect_fixed", "script_close", "script_menu", "script_save", "script_load",
    "script_config", "script_return", "script_reset", "save_thumbnail_width",
    "save_thumbnail_height", "skip_express_minimum_time", "interrupt_play_speed",
    "express_skip_animation_fps", "text_icon_page", "text_icon_line", "text_icon_auto"};

constexpr std::size_t k_short_text_max = 511; // voice lists

// Settings whose only reader is a subsystem still to come. They are stored like any other,
// and a script that changes one hears once which subsystem it waits for. When a subsystem
// arrives, its lines go.
constexpr std::pair<std::string_view, std::string_view> k_waiting[] = {
    {"save_last_select", "save data"},
    {"script_menu", "the popup menu"},
    {"script_return", "the popup menu"},
    {"script_reset", "the popup menu"},
};

struct Setting {
    std::atomic<double> number{0.0};
    std::string text; // guarded by Settings::text_mutex
};

struct Reaction {
    int id;
    std::string name; // empty: every setting
    SettingReaction fn;
};

struct Settings {
    std::array<Setting, k_system_setting_count> values;
    std::mutex text_mutex;
    std::mutex reaction_mutex;
    std::vector<Reaction> reactions;
    int next_id = 1;
};

Settings& settings() {
    static Settings s;
    return s;
}

int index_of(std::string_view name) {
    static const std::unordered_map<std::string_view, int> map = [] {
        std::unordered_map<std::string_view, int> m;
        for (std::size_t i = 0; i < k_names.size(); i++) m.emplace(k_names[i], static_cast<int>(i));
        return m;
    }();
    auto it = map.find(name);
    return it == map.end() ? -1 : it->second;
}

void store_number(int i, double v) {
    settings().values[static_cast<std::size_t>(i)].number = v;
}

void store_text(int i, std::string_view t) {
    Settings& s = settings();
    std::lock_guard lock(s.text_mutex);
    s.values[static_cast<std::size_t>(i)].text.assign(t);
}

void store_default(std::string_view name, double number) {
    int i = index_of(name);
    if (i < 0) return;
    store_number(i, number);
    store_text(i, number_text(number));
}

void install_engine_defaults() {
    store_default("play_speed", 3);
    store_default("text_speed", 500);
    store_default("auto_wait_per_character", 100);
    store_default("save_thumbnail_width", 100);
    store_default("save_thumbnail_height", 75);
    store_default("movie_audio_volume", 1000);
    store_default("text_interval", 30);
    store_default("text_waitkey", 1);
    for (const char* n : {"sound_bgm", "sound_se", "sound_voice"}) store_default(n, 1);
    for (const char* n : {"sound_volume_bgm", "sound_volume_se", "sound_volume_voice"})
        store_default(n, 1000);
}

struct DefaultsInstaller {
    DefaultsInstaller() { install_engine_defaults(); }
};

void ensure_defaults() {
    static DefaultsInstaller installer;
}

void run_reactions(std::string_view setting, std::string_view var_name) {
    std::vector<SettingReaction> to_run;
    {
        Settings& s = settings();
        std::lock_guard lock(s.reaction_mutex);
        for (const Reaction& r : s.reactions)
            if (r.name.empty() || r.name == setting) to_run.push_back(r.fn);
    }
    for (const SettingReaction& fn : to_run) fn(setting, var_name);
}

// Applies the variable's value to the setting. Returns false when the value was refused
// (the setting keeps its value; reactions do not run).
bool apply(int i, std::string_view name, std::string_view var_name) {
    std::optional<VarRecord> rec = var_find(var_name);
    if (!rec) return false;
    double v = rec->number;
    std::string text = rec->type == VarType::number ? number_text(v) : rec->text;
    if (name == "script_debug") return true;
    if (name == "play_speed") {
        // The speed table has 12 entries; any other index would read past it.
        if (!(v >= 1 && v <= 12)) return false;
        v = static_cast<double>(to_int(v));
    } else if (name == "sound_bgm" || name == "sound_se" || name == "sound_voice") {
        v = v != 0.0 ? 1 : 0;
    } else if (name.starts_with("sound_volume_")) {
        v = std::clamp(v, 0.0, 1000.0);
    } else if (name == "window_full") {
        if (v == 1 && setting_number("window_full_lock") != 0) {
            v = 0;
            var_set_number(var_name, 0, false);
        }
    } else if (name == "auto_wait_per_character") {
        v = to_int(v);
    } else if (name == "voice_enable_list" || name == "backlog_ignore_character_voice") {
        text.resize(fit_bytes(text, k_short_text_max));
    } else if (name == "low_thread_priority") {
        if (v != 0 && v != 1) return false;
    } else if (name == "video_aspect_fixed") {
        if (v != 1 && v != 2 && v != 3) v = 0;
    } else if (name == "save_thumbnail_width" || name == "save_thumbnail_height" ||
               name == "interrupt_play_speed" || name == "express_skip_animation_fps") {
        if (!(v > 0)) return false;
    } else if (name == "skip_express_minimum_time") {
        if (!(v >= 0)) return false;
    }
    store_number(i, v);
    store_text(i, text);
    return true;
}

// "#SYSTEM_x" and "$SYSTEM_x" name one setting: the variable of the other prefix takes the
// value too, so that whichever of the two the engine or a script reads, it reads the
// setting. A local is made when it is missing; a global only follows one that exists (the
// common data would keep it for every later run).
void mirror_other_prefix(std::string_view var_name) {
    const std::optional<VarRecord> rec = var_find(var_name);
    if (!rec) return;
    std::string other(var_name);
    other[0] = other[0] == '#' ? '$' : '#';
    if (other[0] == '#' && !var_exists(other)) return;
    if (rec->type == VarType::number)
        var_set_number(other, rec->number, false);
    else
        var_set_text(other, rec->text, false);
}

// Says once per setting that a script changed a setting nobody reads yet. Only while
// scripts run: the settings file, the common save data and a restored save set them too.
void note_waiting_setting(int i, std::string_view name, std::string_view var_name) {
    static std::array<std::atomic<bool>, k_system_setting_count> said{};
    const std::int32_t state = engine::state();
    if (state != engine::k_state_running && state != engine::k_state_system_script) return;
    for (auto [setting, subsystem] : k_waiting) {
        if (setting != name) continue;
        if (!said[static_cast<std::size_t>(i)].exchange(true))
            std::fprintf(stderr, "kestrune: %.*s: %.*s is not available yet\n",
                         static_cast<int>(var_name.size()), var_name.data(),
                         static_cast<int>(subsystem.size()), subsystem.data());
        return;
    }
}

} // namespace

bool is_system_setting(std::string_view name) {
    return index_of(name) >= 0;
}

std::span<const std::string_view> system_setting_names() {
    return k_names;
}

double setting_number(std::string_view name) {
    ensure_defaults();
    int i = index_of(name);
    return i < 0 ? 0.0 : settings().values[static_cast<std::size_t>(i)].number.load();
}

std::string setting_text(std::string_view name) {
    ensure_defaults();
    int i = index_of(name);
    if (i < 0) return {};
    Settings& s = settings();
    std::lock_guard lock(s.text_mutex);
    return s.values[static_cast<std::size_t>(i)].text;
}

void set_setting_default(std::string_view name, double number) {
    ensure_defaults(); // the engine's own defaults first, so they never overwrite this one
    store_default(name, number);
}

void set_setting_default_text(std::string_view name, std::string_view text) {
    ensure_defaults();
    int i = index_of(name);
    if (i >= 0) store_text(i, text);
}

int play_speed_index() {
    int i = to_int(setting_number("play_speed"));
    return (i >= 1 && i <= 12) ? i : 3;
}

double play_speed_factor() {
    return k_speed_table[play_speed_index() - 1];
}

std::string resource_path_prefix() {
    return setting_text("current_path");
}

int watch_setting(std::string_view name, SettingReaction reaction) {
    Settings& s = settings();
    std::lock_guard lock(s.reaction_mutex);
    int id = s.next_id++;
    s.reactions.push_back({id, std::string(name), std::move(reaction)});
    return id;
}

void unwatch_setting(int id) {
    Settings& s = settings();
    std::lock_guard lock(s.reaction_mutex);
    std::erase_if(s.reactions, [id](const Reaction& r) { return r.id == id; });
}

void run_system_variable_handler(std::string_view var_name) {
    if (!is_system_variable_name(var_name)) return;
    ensure_defaults();
    std::string_view name = var_name.substr(8);
    int i = index_of(name);
    if (i < 0) {
        engine::attention_event().signal();
        return;
    }
    if (apply(i, name, var_name)) {
        mirror_other_prefix(var_name);
        run_reactions(name, var_name);
    }
    note_waiting_setting(i, name, var_name);
    engine::attention_event().pulse();
}

void note_gallery_image(std::string_view file_name) {
    std::size_t slash = file_name.find_last_of("/\\");
    std::string_view base =
        slash == std::string_view::npos ? file_name : file_name.substr(slash + 1);
    for (std::string_view ext : {".jpg", ".png", ".bmp"}) {
        if (base.size() > ext.size() && equals_nocase(base.substr(base.size() - ext.size()), ext)) {
            base.remove_suffix(ext.size());
            break;
        }
    }
    for (std::string_view p : {"ev", "bg", "obj", "img"}) {
        if (base.starts_with(p)) {
            std::string statement = "#" + std::string(base) + "=TRUE";
            evaluate_text(statement);
            return;
        }
    }
}

void start_system_variables(const SystemVariableInfo& info) {
    ensure_defaults();
    var_clear_globals();
    if (!info.common_globals.empty())
        var_restore(true, info.common_globals,
                    info.common_globals_source.empty() ? "common variables"
                                                       : info.common_globals_source);

    // Numeric settings: an existing variable sets the engine's setting, a missing one is
    // created holding the engine's current setting. The order decides the slots that new
    // globals take.
    auto numeric = [](const char* n) {
        std::string var = std::string("#SYSTEM_") + n;
        if (var_exists(var))
            run_system_variable_handler(var);
        else
            var_set_number(var, setting_number(n), false);
    };
    for (const char* n : {"text_speed", "keep_skip", "skip_absolute", "play_speed"}) numeric(n);
    var_set_text("#SYSTEM_save_path", info.save_path, false);
    for (const char* n : {"auto_wait_per_character", "auto_text_break_voice", "click_break_voice"})
        numeric(n);
    var_set_text("#SYSTEM_information_os", info.information_os, false);
    var_set_text("#SYSTEM_information_cpu", info.information_cpu, false);
    var_set_text("#SYSTEM_information_memory", info.information_memory, false);
    var_set_text("#SYSTEM_information_video", info.information_video, false);
    var_set_text("#SYSTEM_information_directx", info.information_directx, false);
    var_set_text("#SYSTEM_version", "1.00", false);

    double max_texture;
    if (info.max_texture <= 256)
        max_texture = 256;
    else if (info.max_texture <= 512)
        max_texture = info.video_memory > 6291456 ? 512 : 256;
    else if (info.max_texture <= 1024)
        max_texture = info.video_memory > 25165824 ? 1024 : 512;
    else
        max_texture = info.video_memory > 100663296 ? 2048 : 1024;
    var_set_number("#SYSTEM_max_texture_size", max_texture, false);

    for (auto [n, fallback] :
         {std::pair{"save_thumbnail_width", 100.0}, std::pair{"save_thumbnail_height", 75.0}}) {
        std::string var = std::string("#SYSTEM_") + n;
        double v = 0;
        if (!var_get_number(var, v)) v = setting_number(n);
        if (!(v > 0)) v = fallback;
        var_set_number(var, v, false);
        set_setting_default(n, v);
    }
}

void reset_system_settings_for_tests() {
    Settings& s = settings();
    {
        std::lock_guard lock(s.reaction_mutex);
        s.reactions.clear();
    }
    for (std::size_t i = 0; i < k_names.size(); i++) {
        s.values[i].number = 0.0;
        store_text(static_cast<int>(i), "");
    }
    ensure_defaults();
    install_engine_defaults();
}

} // namespace kestrune::script
