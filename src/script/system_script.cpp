// System scripts: the backlog screen, the scripts of shortcuts and the close script run on
// the second set of contexts while the engine state is 400; the main set stands still at
// its gate meanwhile and goes on exactly where it stood when the system script ends (the
// end is handled by the context thread, process.cpp).
#include "frame/engine.h"
#include "platform/clock.h"
#include "script/context.h"
#include "script/variables.h"

#include <mutex>

namespace kestrune::script {

namespace {
std::mutex g_start_mutex;
bool g_started_before = false;
platform::Tick g_last_start = 0;
constexpr std::int32_t k_min_interval_ms = 300;
} // namespace

bool start_system_script(const std::string& name, bool ignore_menu_lock) {
    if (name.empty()) return false;
    {
        // Key repeat and double clicks must not start the same screen twice.
        std::lock_guard guard(g_start_mutex);
        const platform::Tick now = platform::tick_ms();
        if (g_started_before && platform::tick_diff(now, g_last_start) < k_min_interval_ms)
            return false;
        g_started_before = true;
        g_last_start = now;
    }
    if (engine::skip_mode()) {
        engine::set_skip_mode(false);
        return false;
    }
    if (!ignore_menu_lock && var_number("$SYSTEM_menu_lock") != 0) return false;
    if (!engine::render_is_running() || engine::render_is_held()) return false;
    if (engine::state() != engine::k_state_running || !engine::command_lock_free()) return false;

    engine::script_gate().reset();
    engine::render_hold();
    if (scene_hooks().pause_for_system_script) scene_hooks().pause_for_system_script();
    engine::set_state(engine::k_state_system_script);
    engine::script_gate().signal();
    var_set_number("$SYSTEM_intrude", 1, false);

    ScriptContext* ctx = load_into_new_context(name, "main", nullptr, 1);
    int thread = engine::k_no_thread;
    if (ctx) {
        thread = engine::create_thread(false, context_thread_routine, ctx);
        if (thread == engine::k_no_thread) free_context(ctx);
    }
    if (thread == engine::k_no_thread) {
        var_set_number("$SYSTEM_intrude", 0, false);
        engine::set_state(engine::k_state_running);
        if (scene_hooks().resume_scene) scene_hooks().resume_scene();
        return false;
    }
    ctx->thread = thread;
    ctx->host_thread = thread;
    engine::resume_thread(thread);
    return true;
}

} // namespace kestrune::script
