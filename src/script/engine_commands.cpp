// The commands whose work lies in the script engine itself: waits, Draw, Escape, Reset,
// Exit, System, shortcuts, pointer and clock queries, files and the variable tables.
#include "script/commands.h"

#include "frame/engine.h"
#include "platform/clock.h"
#include "platform/shell.h"
#include "platform/thread.h"
#include "script/context.h"
#include "script/scanner.h"
#include "script/system_variables.h"
#include "script/variables.h"
#include "storage/storage.h"

#include <array>
#include <cctype>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <mutex>

namespace kestrune::script {

namespace {

std::mutex g_shortcut_mutex;
std::array<std::string, 256> g_shortcuts;

bool is_process(const ScriptBlock& b) {
    return b.is_process();
}

std::string upper(std::string s) {
    for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

// Lets the render thread draw while a script waits: release rendering, or (for a process
// block, or when rendering already runs) mark the objects for redraw.
void let_render(const ScriptBlock& b) {
    if (is_process(b) || !engine::render_is_held()) {
        if (command_hooks().mark_objects_for_redraw) command_hooks().mark_objects_for_redraw();
    } else {
        engine::render_release();
    }
}

// While the other process set runs (a system script), the wait stands still. Returns false
// when the wait must end instead (quit, a load being restored, the engine stopping).
bool sit_out_other_set(const ScriptContext& ctx) {
    for (;;) {
        const std::int32_t s = engine::state();
        if (engine::quit_requested() || platform::stop_requested()) return false;
        if (s == engine::k_state_restoring || !engine::in_running_range(s)) return false;
        if (s == ctx.owner_state.load()) {
            if (command_hooks().restart_object_clocks) command_hooks().restart_object_clocks();
            return true;
        }
        engine::wait_multi(engine::k_wait_quit | engine::k_wait_state, nullptr, 100);
    }
}

bool other_set_running(const ScriptContext& ctx) {
    const std::int32_t s = engine::state();
    return engine::in_running_range(s) && s != ctx.owner_state.load();
}

// The block's own event wakes a wait only when it changes during the wait: it is created
// signalled and stays so for blocks nobody sends requests to.
platform::Event* block_event_if_quiet(ScriptBlock& b) {
    return b.event.is_signalled() ? nullptr : &b.event;
}

bool cmd_wait(CommandCall& call) {
    const std::string text = call.arg(0);
    if (!call.has(0) || !is_number_text(text)) return true;
    const double ms = std::atof(text.c_str()) / speed_factor();
    if (!(ms >= 1.0)) return true;
    std::uint32_t remaining = ms > 4.0e9 ? 4000000000u : static_cast<std::uint32_t>(ms);
    ScriptBlock& b = call.block;
    let_render(b);
    platform::Tick start = platform::tick_ms();
    for (;;) {
        const std::uint32_t r =
            engine::wait_multi(engine::k_wait_quit | engine::k_wait_state | engine::k_wait_skip,
                               block_event_if_quiet(b), remaining);
        if (r != engine::k_wait_state || platform::stop_requested()) break;
        const std::int32_t s = engine::state();
        if (s == engine::k_state_restoring || !engine::in_running_range(s)) break;
        if (other_set_running(call.context)) {
            const auto waited = static_cast<std::uint32_t>(
                std::max(0, platform::tick_diff(platform::tick_ms(), start)));
            if (waited >= remaining) break;
            remaining -= waited;
            if (!sit_out_other_set(call.context)) break;
        }
        start = platform::tick_ms();
    }
    if (b.run_state.load() == k_run_running && !is_process(b) && engine::render_is_running())
        engine::render_hold();
    return true;
}

// The text_waitkey setting: clicks end a key wait unless it is set to 0.
bool clicks_end_key_waits() {
    for (const char* name : {"$SYSTEM_text_waitkey", "#SYSTEM_text_waitkey"}) {
        double v = 0;
        if (var_get_number(name, v)) return v != 0;
    }
    return true;
}

bool menu_allows_auto() {
    double v = 0;
    if (engine::state() != engine::k_state_running) return false;
    for (const char* name : {"$SYSTEM_menu_enable", "$SYSTEM_menu_lock"})
        if (var_get_number(name, v) && v != 0) return false;
    return true;
}

// How often a key wait looks whether a click it let pass has been taken back.
constexpr std::uint32_t k_passed_click_recheck_ms = 16;

bool cmd_wait_key(CommandCall& call) {
    ScriptBlock& b = call.block;
    CommandHooks& hooks = command_hooks();
    if (engine::skip_mode()) {
        // Skipping: no wait at all.
    } else if (engine::auto_mode()) {
        if (menu_allows_auto()) {
            let_render(b);
            const auto pause = static_cast<std::uint32_t>(1500.0 / speed_factor());
            const platform::Tick start = platform::tick_ms();
            while (!engine::quit_requested() && engine::in_running_range(engine::state())) {
                const std::int32_t left = static_cast<std::int32_t>(pause) -
                                          platform::tick_diff(platform::tick_ms(), start);
                if (left <= 0 || platform::stop_requested()) break;
                engine::wait_multi(engine::k_wait_quit, nullptr,
                                   static_cast<std::uint32_t>(std::min(left, 1)));
            }
        }
    } else {
        const bool limited = call.has(0) && is_number_text(call.arg(0));
        std::uint32_t remaining = platform::k_infinite;
        if (limited) {
            const long long n = std::atoll(call.arg(0).c_str());
            remaining = n <= 0 ? 0u : static_cast<std::uint32_t>(std::min(n, 4000000000LL));
        }
        if (hooks.menu_wait_animation) hooks.menu_wait_animation(true);
        let_render(b);
        platform::Tick start = platform::tick_ms();
        // A click this wait let pass (over a button, or clicks do not end key waits) stays
        // set while it is held or until its taker resets it. Waiting on it again would wake at
        // once, round after round: the thread would spin, and on the stepped clock, which
        // moves only when every thread waits, time would stand still. So until it is reset
        // the wait leaves it out and looks again every few milliseconds.
        bool click_passed = false;
        for (;;) {
            if (engine::quit_requested() || platform::stop_requested()) break;
            std::uint32_t which = engine::k_wait_quit | engine::k_wait_state | engine::k_wait_skip |
                                  engine::k_wait_input_click | engine::k_wait_input_1026 |
                                  engine::k_wait_render_thread;
            // A left-over attention signal must not make the wait spin.
            if (!engine::attention_event().is_signalled()) which |= engine::k_wait_attention;
            if (click_passed && !engine::inputs_pending(engine::k_wait_input_click))
                click_passed = false;
            std::uint32_t timeout = remaining;
            if (click_passed) {
                which &= ~engine::k_wait_input_click;
                timeout = std::min(remaining, k_passed_click_recheck_ms);
            }
            std::uint32_t r = engine::wait_multi(which, block_event_if_quiet(b), timeout);
            // A click comes just after the attention pulse of its button variable: when that
            // pulse is what woke the wait, the press must still end it, or the next round's
            // reset of the button event would lose it.
            if (r == engine::k_wait_attention || r == engine::k_wait_state ||
                r == engine::k_wait_extra) {
                if (engine::inputs_pending(engine::k_wait_input_1026))
                    r = engine::k_wait_input_1026;
                else if (!click_passed && engine::inputs_pending(engine::k_wait_input_click))
                    r = engine::k_wait_input_click;
            }
            if (r == engine::k_wait_quit || r == engine::k_wait_skip) break;
            if (r == engine::k_wait_timed_out && timeout == remaining) break;
            // One press ends one wait: the press stays set while the key is held, and the
            // next WaitKey must wait for a new one.
            if (r == engine::k_wait_input_1026) {
                engine::consume_inputs(r);
                break;
            }
            if (r == engine::k_wait_input_click) {
                const bool over_clickable =
                    hooks.pointer_over_clickable && hooks.pointer_over_clickable();
                if (!over_clickable && clicks_end_key_waits()) {
                    engine::consume_inputs(r);
                    break;
                }
                click_passed = true;
            }
            const std::int32_t s = engine::state();
            if (s == engine::k_state_restoring || !engine::in_running_range(s)) break;
            const platform::Tick now = platform::tick_ms();
            if (remaining != platform::k_infinite) {
                const auto waited =
                    static_cast<std::uint32_t>(std::max(0, platform::tick_diff(now, start)));
                if (waited >= remaining) break;
                remaining -= waited;
            }
            if (other_set_running(call.context)) {
                if (!sit_out_other_set(call.context)) break;
            }
            start = platform::tick_ms();
        }
        if (hooks.menu_wait_animation) hooks.menu_wait_animation(false);
    }
    if (hooks.show_text_window) hooks.show_text_window();
    if (!engine::skip_mode() && !engine::auto_mode() && !is_process(b) &&
        engine::render_is_running())
        engine::render_hold();
    return true;
}

bool cmd_draw(CommandCall& call) {
    if (command_hooks().mark_all_changed) command_hooks().mark_all_changed();
    let_render(call.block);
    platform::sleep_ms(4);
    if (!is_process(call.block) && engine::render_is_running()) engine::render_hold();
    return true;
}

bool cmd_escape(CommandCall& call) {
    const std::string text = call.arg(0);
    if (!call.has(0) || !is_number_text(text)) return true;
    const int levels = std::atoi(text.c_str());
    if (levels >= 1) call.next = escape_blocks(call.context, call.block, levels);
    return true;
}

bool cmd_reset(CommandCall&) {
    if (command_hooks().save_globals) command_hooks().save_globals();
    if (!engine::take_command_lock()) return true;
    engine::state_changed_event().signal();
    engine::attention_event().signal();
    engine::ScopedLock scene_guard(engine::k_lock_scene);
    engine::set_state(engine::k_state_start_scripts);
    scene_guard.unlock();
    engine::give_command_lock();
    return true;
}

bool cmd_exit(CommandCall&) {
    if (command_hooks().save_globals) command_hooks().save_globals();
    engine::request_quit();
    return true;
}

bool cmd_system(CommandCall& call) {
    const std::string target = call.arg(0);
    if (target.compare(0, 5, "OPEN:") != 0) return true;
    std::string rest = target.substr(5);
    if (rest.empty()) return true;
    const bool web = rest.size() >= 4 && upper(rest.substr(0, 4)) == "HTTP";
    if (!web) {
        for (char& c : rest)
            if (c == '\\') c = '/';
        std::error_code ec;
        rest = (std::filesystem::current_path(ec) / rest).lexically_normal().string();
    }
    platform::shell_open(rest, command_hooks().headless);
    return true;
}

bool cmd_set_shortcut(CommandCall& call) {
    const std::string key = call.arg(0);
    if (key.size() != 1) return true;
    std::lock_guard guard(g_shortcut_mutex);
    g_shortcuts[static_cast<unsigned char>(key[0])] = call.arg(1);
    return true;
}

bool cmd_position(CommandCall& call) {
    if (!call.has(0) || !command_hooks().object_position) return true;
    const std::string name = call.arg(0);
    const std::string path =
        name[0] == '@' ? name : form_object_path(name, call.block.object_prefix);
    double x = 0, y = 0;
    if (!command_hooks().object_position(path, call.context.owner_key, x, y)) return true;
    if (call.has(1)) var_set_number(call.arg(1), x);
    if (call.has(2)) var_set_number(call.arg(2), y);
    return true;
}

bool cmd_cursor_position(CommandCall& call) {
    std::int32_t x = 0, y = 0;
    engine::pointer_position(x, y);
    if (call.has(0)) var_set_number(call.arg(0), x);
    if (call.has(1)) var_set_number(call.arg(1), y);
    return true;
}

bool cmd_move_cursor(CommandCall& call) {
    if (!is_number_text(call.arg(0)) || !is_number_text(call.arg(1))) return true;
    const std::int32_t x = argument_int(call.arg(0));
    const std::int32_t y = argument_int(call.arg(1));
    engine::set_pointer_position(x, y);
    if (command_hooks().warp_pointer) command_hooks().warp_pointer(x, y);
    return true;
}

bool cmd_date_time(CommandCall& call) {
    const auto now = static_cast<std::time_t>(platform::calendar_seconds());
    std::tm local{};
    // A stepped run reads its dates in UTC, so that they do not depend on the machine.
    if (platform::stepped_clock())
        gmtime_r(&now, &local);
    else
        localtime_r(&now, &local);
    const int values[6] = {local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,
                           local.tm_hour,        local.tm_min,     local.tm_sec};
    for (std::size_t i = 0; i < 6; ++i)
        if (call.has(i)) var_set_number(call.arg(i), values[i]);
    return true;
}

bool cmd_write_file(CommandCall& call) {
    const std::string file = call.arg(0);
    if (file.empty()) return true;
    const std::string text = call.arg(1);
    const bool plain = call.has(2) && upper(call.arg(2)) == "FALSE";
    std::string why;
    if (!storage::script_name_allowed(file, why)) {
        report_problem(call.context, call.statement, "WriteFile refused \"" + file + "\": " + why);
        return true;
    }
    if (!storage::write_file(file, text.data(), text.size(),
                             plain ? storage::WriteMode::plain : storage::WriteMode::container))
        report_problem(call.context, call.statement, "WriteFile could not write \"" + file + "\"");
    return true;
}

bool cmd_load_file(CommandCall& call) {
    if (call.has(0)) storage::cache_load(call.arg(0), upper(call.arg(1)) == "TRUE");
    return true;
}

bool cmd_unload_file(CommandCall& call) {
    if (call.has(0)) storage::cache_unload(call.arg(0));
    return true;
}

bool cmd_clear_score(CommandCall& call) {
    const std::string scope = upper(call.arg(0));
    if (scope == "ALL" || scope == "GLOBAL") var_clear_globals();
    if (scope == "ALL" || scope == "LOCAL") var_clear_locals();
    return true;
}

// Disable, SetChip, LoadVKT and CreateAnimation read their arguments and do nothing more
// (an animation object has no defined behaviour: the command leaves the scene as it is).
bool cmd_no_effect(CommandCall&) {
    return true;
}

} // namespace

std::string shortcut_script(unsigned char key) {
    std::lock_guard guard(g_shortcut_mutex);
    return g_shortcuts[key];
}

void register_engine_commands() {
    register_command("Wait", cmd_wait);
    register_command("WaitKey", cmd_wait_key);
    register_command("Draw", cmd_draw);
    register_command("Escape", cmd_escape);
    register_command("Reset", cmd_reset);
    register_command("Exit", cmd_exit);
    register_command("System", cmd_system);
    register_command("SetShortcut", cmd_set_shortcut);
    register_command("Position", cmd_position);
    register_command("CursorPosition", cmd_cursor_position);
    register_command("MoveCursor", cmd_move_cursor);
    register_command("DateTime", cmd_date_time);
    register_command("WriteFile", cmd_write_file);
    register_command("LoadFile", cmd_load_file);
    register_command("UnloadFile", cmd_unload_file);
    register_command("ClearScore", cmd_clear_score);
    register_command("Disable", cmd_no_effect);
    register_command("SetChip", cmd_no_effect);
    register_command("LoadVKT", cmd_no_effect);
    register_command("CreateAnimation", cmd_no_effect);
}

} // namespace kestrune::script
