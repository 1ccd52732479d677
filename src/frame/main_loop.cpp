// Start-up chain, main loop, script start and stop sequences, shutdown.
#include "frame/engine.h"
#include "frame/frame.h"
#include "frame/startup_hooks.h"

#include "platform/audio.h"
#include "platform/clock.h"
#include "platform/signals.h"
#include "platform/window.h"
#include "script/context.h"
#include "script/script.h"

#include <cstdio>
#include <filesystem>
#include <memory>

namespace kestrune::frame {

namespace {

Options g_options;
std::unique_ptr<platform::Window> g_window;
bool g_platform_ready = false;

void say(const std::string& text) {
    std::fprintf(stderr, "kestrune: %s\n", text.c_str());
}

// ---- start-up steps -------------------------------------------------------------------

bool platform_startup() {
    platform::set_time_scale(g_options.time_scale);
    std::error_code ec;
    std::filesystem::current_path(g_options.game_dir, ec);
    if (ec) {
        say("cannot enter the game folder \"" + g_options.game_dir + "\": " + ec.message());
        return false;
    }
    engine::init_process_state();
    if (!engine::build_lock_table()) return false;
    for (auto& hook : startup_hooks().platform)
        if (!hook()) return false;
    g_platform_ready = true;
    return true;
}

void platform_shutdown() {
    engine::request_quit();
    for (auto& hook : startup_hooks().exit_callbacks) hook();
    g_platform_ready = false;
}

bool open_main_window() {
    const bool headless = g_options.headless || !platform::display_available();
    if (!headless) {
        std::string error;
        g_window = platform::create_sdl_window("Kestrune", error);
        if (!g_window) {
            say("cannot open a window (" + error + "); running headless");
        }
    }
    if (!g_window) {
        g_window = platform::create_headless_window(g_options.cursor_log);
        // Headless, the sound goes to the engine's own loopback device; set up while this
        // is the only thread, as it changes the environment.
        platform::prepare_loopback_audio();
    }
    platform::Window* window = g_window.get();
    engine::set_main_wakeup([window] { window->post_wake(); });
    return true;
}

void close_main_window() {
    engine::set_main_wakeup(nullptr);
    g_window.reset();
}

// A step of a subsystem that registers its work through the start-up hooks; a step with
// nothing registered yet succeeds.
Step hooked_step(const char* name, std::vector<std::function<bool()>>& starts,
                 std::vector<std::function<void()>>& stops) {
    return Step{name,
                [&starts] {
                    for (auto& f : starts)
                        if (!f()) return false;
                    return true;
                },
                [&stops] {
                    for (auto it = stops.rbegin(); it != stops.rend(); ++it) (*it)();
                }};
}

// ---- script start and stop sequences -------------------------------------------------

void stop_sequence() {
    StartupHooks& hooks = startup_hooks();
    for (auto& f : hooks.stop_render) f();
    script::stop_all_processes();
    // Only now: a script thread still saving or drawing reads the objects until it ends
    // (after the quit flag the scene lock no longer keeps it out).
    for (auto& f : hooks.release_scene) f();
    for (auto& f : hooks.release_sound) f();
    for (auto& f : hooks.stop_effect_workers) f();
    engine::tear_down_threads();
}

bool script_start_sequence() {
    const std::int32_t previous = engine::previous_state();
    if (previous == engine::k_state_running || previous == engine::k_state_system_script)
        stop_sequence();
    StartupHooks& hooks = startup_hooks();
    for (auto& f : hooks.script_settings)
        if (!f()) return false;
    if (!engine::build_lock_table()) return false;
    for (auto& f : hooks.start_effect_workers)
        if (!f()) return false;
    for (auto& f : hooks.start_sound)
        if (!f()) return false;
    for (auto& f : hooks.text_layout_settings)
        if (!f()) return false;
    for (auto& f : hooks.start_render)
        if (!f()) return false;
    std::string error;
    if (!script::start_main_script(start_script_name(), error)) {
        say(error.empty() ? "the start script could not be started" : error);
        return false;
    }
    engine::set_state(engine::k_state_running);
    return true;
}

// ---- main loop -------------------------------------------------------------------------

// The exit code of a run that the watchdog ended.
constexpr int k_exit_watchdog = 3;

void dispatch(const platform::WindowEvent& event) {
    engine::ScopedLock message_guard(engine::k_lock_message);
    if (event.kind == platform::WindowEvent::Kind::close_request) {
        bool handled = false;
        for (auto& f : startup_hooks().close_request) handled = handled || f();
        if (!handled) engine::request_quit();
    } else {
        for (auto& f : startup_hooks().window_event) f(event);
    }
}

int main_loop() {
    const platform::Tick start_tick = platform::tick_ms();
    const bool headless = g_window->headless();
    RenderWatchdog watchdog(g_options.watchdog_ms);
    while (!engine::quit_requested()) {
        if (const int signo = platform::termination_signal()) {
            say("ending on signal " + std::to_string(signo));
            return 128 + signo;
        }
        const std::int32_t s = engine::state();
        if (s == engine::k_state_start_scripts) {
            if (!script_start_sequence()) return 1;
        } else if (s == engine::k_state_load_requested) {
            bool loaded = false;
            for (auto& f : startup_hooks().load_sequence) loaded = f() || loaded;
            if (!loaded) engine::set_state(engine::k_state_running);
        }
        platform::WindowEvent event;
        if (g_window->next_event(event, 100)) dispatch(event);
        for (auto& f : startup_hooks().main_loop_pass) f();

        if (g_options.max_seconds > 0 &&
            platform::tick_diff(platform::tick_ms(), start_tick) >= g_options.max_seconds * 1000.0)
            engine::request_quit();
        if (g_options.watchdog_ms > 0 &&
            watchdog.stalled(engine::render_is_running(), engine::render_passes(),
                             platform::tick_ms())) {
            say("watchdog: no frame drawn for " +
                std::to_string(watchdog.quiet_ms(platform::tick_ms())) + " ms of engine time");
            return k_exit_watchdog;
        }
        // Headless, nobody can close the window: the run ends with the last script thread.
        if (headless && engine::in_running_range(engine::state()) &&
            !script::any_script_thread_alive())
            engine::request_quit();
    }
    return 0;
}

void shutdown(const std::vector<Step>& chain, std::size_t started) {
    stop_sequence();
    for (std::size_t i = started; i-- > 0;) chain[i].stop();
}

} // namespace

const Options& current_options() {
    return g_options;
}

platform::Window* main_window() {
    return g_window.get();
}

int run(const Options& options) {
    g_options = options;
    script::set_problem_mode(options.strict  ? script::ProblemMode::strict
                             : options.quiet ? script::ProblemMode::quiet
                                             : script::ProblemMode::report);
    // Before any engine thread exists: every thread made from here on takes its turn.
    if (options.stepped) platform::enable_stepped_clock();
    if (options.seed_given || options.stepped) platform::set_random_seed(options.seed);
    // The orderly end after SIGTERM (stop the threads, write the globals) gets two seconds.
    platform::install_termination_handlers(2);
    register_subsystems();
    StartupHooks& h = startup_hooks();
    const std::vector<Step> chain = {
        {"platform start-up", platform_startup, platform_shutdown},
        hooked_step("sine and cosine tables", h.tables, h.tables_release),
        hooked_step("greyscale weight tables", h.greyscale, h.greyscale_release),
        hooked_step("system menu", h.system_menu, h.system_menu_release),
        {"window hooks", [] { return true; }, [] {}},
        {"main window", open_main_window, close_main_window},
        hooked_step("display initialisation", h.display, h.display_release),
        hooked_step("system probe", h.probe, h.probe_release),
        hooked_step("font tables", h.fonts, h.fonts_release),
        hooked_step("text settings", h.text_settings, h.text_settings_release),
    };
    std::string failed;
    if (!run_chain(chain, failed)) {
        say("start-up failed at: " + failed);
        engine::request_quit();
        stop_sequence();
        return 1;
    }
    engine::set_state(engine::k_state_start_scripts);
    int result = 0;
    if (g_platform_ready) result = main_loop();
    engine::request_quit();
    shutdown(chain, chain.size());
    if (script::problem_ended_run()) return 1;
    return result;
}

} // namespace kestrune::frame
