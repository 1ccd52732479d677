// Where subsystems plug their work into the start-up chain, the script start and stop
// sequences and the main loop. Each subsystem registers its functions once, before run()
// (see register_subsystems() in subsystems.cpp); a list with nothing in it is a step that
// does nothing.
#pragma once

#include "frame/frame.h"
#include "platform/window.h"

#include <functional>
#include <string>
#include <vector>

namespace kestrune::frame {

struct StartupHooks {
    using Start = std::function<bool()>;
    using Stop = std::function<void()>;

    // Start-up chain (in order) and their releases (run in reverse at shutdown).
    std::vector<Start> platform;
    std::vector<Start> tables;
    std::vector<Stop> tables_release;
    std::vector<Start> greyscale;
    std::vector<Stop> greyscale_release;
    std::vector<Start> system_menu;
    std::vector<Stop> system_menu_release;
    std::vector<Start> display;
    std::vector<Stop> display_release;
    std::vector<Start> probe;
    std::vector<Stop> probe_release;
    std::vector<Start> fonts;
    std::vector<Stop> fonts_release;
    std::vector<Start> text_settings;
    std::vector<Stop> text_settings_release;
    std::vector<Stop> exit_callbacks; // run by the platform shutdown

    // Script start sequence (state 1), in order.
    std::vector<Start> script_settings; // settings file and variable store
    std::vector<Start> start_effect_workers;
    std::vector<Start> start_sound;
    std::vector<Start> text_layout_settings;
    std::vector<Start> start_render; // scene store and render thread

    // Stop sequence, in order.
    std::vector<Stop> stop_render;   // the render thread and input, before the scripts
    std::vector<Stop> release_scene; // the objects, once no script thread can touch them
    std::vector<Stop> release_sound;
    std::vector<Stop> stop_effect_workers;

    // Main loop.
    std::vector<Start> load_sequence; // state 513; true when it handled the load
    std::vector<Stop> main_loop_pass; // after each pumped message (or time-out)
    std::vector<std::function<void(const platform::WindowEvent&)>> window_event;
    std::vector<Start> close_request; // true when a close script took the request

    // The start script's resource name; "start.txt" until the settings file names one.
    std::function<std::string()> start_script;
};

StartupHooks& startup_hooks();
// A resource's whole content (archives, cache or loose file), and whether it exists: the
// readers the settings file is loaded with.
bool read_resource(const std::string& name, std::string& contents);
bool resource_exists(const std::string& name);

// Registers every built subsystem into the hooks (once).
void register_subsystems();
std::string start_script_name();

const Options& current_options();
platform::Window* main_window();

} // namespace kestrune::frame
