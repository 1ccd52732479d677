// Wires the subsystems into the start-up chain, the script start sequence and the main
// loop. Each subsystem is registered here once, in the order the engine brings it up.
#include "frame/startup_hooks.h"

#include "frame/engine.h"
#include "persist/save_data.h"
#include "persist/settings.h"
#include "platform/font_face.h"
#include "platform/instance_lock.h"
#include "platform/probe.h"
#include "script/arguments.h"
#include "script/commands.h"
#include "script/system_variables.h"
#include "script/variables.h"
#include "storage/container.h"
#include "storage/storage.h"
#include "text/fonts.h"
#include "text/glyph_cache.h"
#include "text/layout.h"

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <vector>

// Subsystems that are still being built join the engine as soon as their public header is
// in the tree.
#if __has_include("scene/scene.h")
#include "scene/scene.h"
#define KESTRUNE_HAVE_SCENE 1
#endif
#if __has_include("sound/sound.h")
#include "sound/sound.h"
#define KESTRUNE_HAVE_SOUND 1
#endif
#if __has_include("movie/movie.h")
#include "movie/movie.h"
#define KESTRUNE_HAVE_MOVIE 1
#endif
#if __has_include("ui/window_input.h")
#include "ui/window_input.h"
#define KESTRUNE_HAVE_UI 1
#endif

namespace kestrune::frame {

namespace {

// What the system probe found at start-up; published as the information_* variables.
platform::ProbeStrings g_probe;

// Variables the settings file seeds. Those restored from the common save data win over
// the file; the *_default volumes always follow the file.
void seed_variables_from_settings(const persist::Settings& s) {
    auto create_number = [](const char* name, double value) {
        if (!script::var_exists(name)) script::var_set_number(name, value);
    };
    for (const char* name : {"#SYSTEM_sound_bgm", "#SYSTEM_sound_se", "#SYSTEM_sound_voice"})
        create_number(name, 1);
    script::var_set_number("#SYSTEM_sound_volume_bgm_default", s.bgm_volume);
    script::var_set_number("#SYSTEM_sound_volume_se_default", s.se_volume);
    script::var_set_number("#SYSTEM_sound_volume_voice_default", s.voice_volume);
    create_number("#SYSTEM_sound_volume_bgm", s.bgm_volume);
    create_number("#SYSTEM_sound_volume_se", s.se_volume);
    create_number("#SYSTEM_sound_volume_voice", s.voice_volume);
    if (!script::var_exists("#SYSTEM_voice_enable_list"))
        script::var_set_text("#SYSTEM_voice_enable_list", s.voice_all_name);
    create_number("#SYSTEM_voice_enable_another", 1);
    create_number("#SYSTEM_text_auto", 0);
}

// The settings file, then the variable store with the common globals of the save folder
// and the start-up system variables, then the command table.
bool script_settings() {
    persist::load_settings(read_resource, resource_exists, current_options().save_dir);
    const persist::Settings& s = persist::settings();

    std::error_code ec;
    std::filesystem::create_directories(s.save_folder, ec);
    storage::set_save_folder(s.save_folder);

    // Every start begins without a resource path prefix; a restored or assigned
    // current_path sets it again.
    script::set_setting_default_text("current_path", "");
    storage::set_resource_prefix("");

    script::SystemVariableInfo info;
    info.save_path = s.save_folder;
    info.information_os = g_probe.os;
    info.information_cpu = g_probe.cpu;
    info.information_memory = g_probe.memory;
    info.information_video = g_probe.video;
    info.information_directx = g_probe.graphics;
    const std::vector<std::uint8_t> globals = persist::read_common_globals();
    info.common_globals = globals;
    info.common_globals_source = persist::common_globals_path();
    script::start_system_variables(info);
    persist::read_common_read_text_map();
    seed_variables_from_settings(s);
    script::install_command_table();

    // The default font of text objects comes from the settings file.
    text::set_default_font(s.font_face, s.font_size, script::parse_colour(s.font_inline).rgb,
                           script::parse_colour(s.font_outline).rgb, s.font_weight, 0);
    return true;
}

} // namespace

bool read_resource(const std::string& name, std::string& contents) {
    storage::FileBytes bytes;
    if (!storage::read_whole_file(name, bytes)) return false;
    contents.assign(reinterpret_cast<const char*>(bytes.data.get()), bytes.size);
    return true;
}

bool resource_exists(const std::string& name) {
    return storage::resource_exists(name);
}

void register_subsystems() {
    static bool done = false;
    if (done) return;
    done = true;
    StartupHooks& h = startup_hooks();
    h.platform.push_back([] {
        storage::scan_archives(".");
        return true;
    });
    // One running copy per game, keyed by its product names: a run with --save-dir keeps
    // its lock in that folder, so test runs with folders of their own never meet.
    h.platform.push_back([] {
        const std::string& save_dir = current_options().save_dir;
        persist::load_settings(read_resource, resource_exists, save_dir);
        const persist::Settings& s = persist::settings();
        const std::string folder =
            save_dir.empty() ? platform::instance_lock_folder(s.save_folder) : s.save_folder;
        std::string error;
        if (platform::take_instance_lock(folder, s.brand, s.name, s.version, error)) return true;
        std::fprintf(stderr, "kestrune: %s\n", error.c_str());
        return false;
    });
    h.exit_callbacks.push_back(platform::release_instance_lock);
    h.probe.push_back([] {
        g_probe = platform::probe_system();
        return true;
    });
    h.exit_callbacks.push_back([] { storage::cache_unload_all(); });
    persist::register_save_data(h.load_sequence);
    h.exit_callbacks.push_back([] { persist::write_common_data(); });
    h.fonts.push_back([] {
        text::reset_font_state();
        text::glyph_cache_clear();
        return true;
    });
    h.fonts_release.push_back([] {
        text::glyph_cache_clear();
        platform::close_font_config();
    });
    h.script_settings.push_back(script_settings);
    // window_full is applied on the main thread, which owns the window: the reaction only
    // records the wish and wakes the main loop.
    static std::atomic<bool> fullscreen_wanted{false};
    script::watch_setting("window_full", [](std::string_view, std::string_view) {
        fullscreen_wanted = script::setting_number("window_full") == 1;
        engine::wake_main();
    });
    // The lock also takes the window out of full screen.
    script::watch_setting("window_full_lock", [](std::string_view, std::string_view) {
        if (script::setting_number("window_full_lock") != 0 &&
            script::setting_number("window_full") == 1)
            script::var_set_number("#SYSTEM_window_full", 0);
    });
    // Image, script and movie names take the prefix; storage retries loose files without it.
    script::watch_setting("current_path", [](std::string_view, std::string_view) {
        storage::set_resource_prefix(script::setting_text("current_path"));
    });
    h.main_loop_pass.push_back([] {
        platform::Window* w = main_window();
        if (!w) return;
        static bool applied = false;
        // A change the window manager made becomes the setting.
        if (w->fullscreen() != applied) {
            applied = w->fullscreen();
            fullscreen_wanted = applied;
            script::var_set_number("#SYSTEM_window_full", applied ? 1 : 0);
        }
        w->set_scaling(static_cast<int>(script::setting_number("video_aspect_fixed")));
        if (fullscreen_wanted.load() == applied) return;
        if (!w->set_fullscreen(fullscreen_wanted.load())) {
            std::fprintf(stderr,
                         "kestrune: the switch to full screen failed; staying in a window\n");
            fullscreen_wanted = false;
            script::var_set_number("#SYSTEM_window_full", 0);
        }
        applied = w->fullscreen();
    });
    h.start_script = [] { return persist::settings().script_start; };
#ifdef KESTRUNE_HAVE_SCENE
    scene::register_with_frame();
#endif
#ifdef KESTRUNE_HAVE_UI
    ui::register_with_frame();
#endif
#ifdef KESTRUNE_HAVE_SOUND
    sound::register_with_frame();
#endif
#ifdef KESTRUNE_HAVE_MOVIE
    movie::register_with_frame();
#endif
    text::register_layout_with_frame();
}

} // namespace kestrune::frame
