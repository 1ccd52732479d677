// Script threads: one per context (the start script `main`, system scripts), one per
// process block started by CreateProcess. Also the start of the main script, the stop of
// all processes, and the request words of process objects.
//
// A context thread follows the call chain of its context: when the statement loop of the
// current block returns, it goes on with the callee (a call), the next context (a chapter
// call), the caller (a return) or the return context (the end of a called chapter), and
// ends when none is left.
#include "frame/engine.h"
#include "platform/clock.h"
#include "platform/thread.h"
#include "script/flow_internal.h"
#include "script/script.h"
#include "script/variables.h"

#include <cstdio>
#include <cstring>

namespace kestrune::script {

namespace {

bool keep_running() {
    return !engine::quit_requested() && engine::in_running_range(engine::state()) &&
           !platform::stop_requested();
}

// Moves the active mark along with the thread.
void make_current(ScriptContext& ctx, ScriptBlock* from, ScriptBlock* to) {
    if (from) from->active = 0;
    to->active = 1;
    ctx.current = to;
}

// The block the thread goes on with after `b` left its statement loop, or null. Calls are
// followed into the callee; a finished block returns to its caller (clearing both links,
// so that the caller does not find its old callee again).
ScriptBlock* next_in_chain(ScriptContext& ctx, ScriptBlock& b) {
    if (b.callee) {
        ScriptBlock* callee = b.callee;
        // A block replaced by shift_scene/shift_cut hands over for good.
        if (b.run_state.load() == k_run_stopped) b.callee = nullptr;
        return callee;
    }
    if (b.run_state.load() == k_run_calling) return nullptr; // chapter call: next context
    if (ScriptBlock* caller = b.caller) {
        caller->callee = nullptr;
        b.caller = nullptr;
        return caller;
    }
    return nullptr;
}

void mark_block_read(ScriptContext& ctx, ScriptBlock& b) {
    const ScriptFile& f = ctx.files[static_cast<std::size_t>(b.file_slot)];
    if (!f.read_map || !b.start || b.end < b.start) return;
    read_text_mark_range(f.read_map, static_cast<std::size_t>(b.start - f.data()),
                         static_cast<std::size_t>(b.end - f.data()), true);
}

void clear_for_replay(ScriptBlock& b) {
    b.callee = nullptr;
    b.caller = nullptr;
    b.clear_stacks();
}

// Waits for a thread with a stop request as the last resort; true when it ended.
bool wait_ended(int handle, std::uint32_t first_ms) {
    if (engine::wait_thread(handle, first_ms)) return true;
    engine::request_thread_stop(handle);
    return engine::wait_thread(handle, 1000);
}

bool g_first_start = true;

} // namespace

namespace flow {

void process_wait(ScriptBlock& b) {
    while (b.run_state.load() != k_run_running && keep_running()) {
        switch (b.run_state.load()) {
        case k_run_stopped:
        case k_run_created:
        case k_run_calling: // it called a block: the thread goes on with the callee
            return;
        case k_run_rewind:
            clear_for_replay(b);
            b.cursor = b.start;
            b.statement_start = b.start;
            b.run_state = k_run_at_begin;
            break;
        case k_run_play:
            clear_for_replay(b);
            b.cursor = b.begin + 1;
            b.statement_start = b.cursor;
            b.run_state = k_run_running;
            engine::wait_multi(engine::k_wait_quit, nullptr, 32);
            break;
        case k_run_resume:
            b.run_state = k_run_running;
            break;
        case k_run_ended:
            clear_for_replay(b);
            b.cursor = b.begin;
            b.statement_start = b.begin;
            engine::wait_multi(engine::k_wait_quit, nullptr, 100);
            break;
        default: // at begin, paused
            engine::wait_multi(engine::k_wait_quit, nullptr, 50);
            break;
        }
    }
}

} // namespace flow

void context_thread_routine(void* arg) {
    auto* home = static_cast<ScriptContext*>(arg);
    flow::set_thread_handle(home->host_thread.load());
    while (!engine::in_running_range(engine::state())) {
        if (engine::quit_requested() || platform::stop_requested()) return;
        engine::wait_multi(engine::k_wait_quit | engine::k_wait_state, nullptr, 100);
    }
    ScriptContext* ctx = home;
    ctx->running = 1;
    ctx->owner_state = engine::state();
    const int home_set = home->set;
    if (ScriptBlock* b = ctx->current.load()) b->active = 1;
    while (keep_running()) {
        ScriptBlock* b = ctx->current.load();
        if (!b) break;
        run_statement_loop(*ctx, *b);
        if (!keep_running()) break;
        if (ScriptBlock* next = next_in_chain(*ctx, *b)) {
            make_current(*ctx, b, next);
            if (b->run_state.load() == k_run_stopped) flow::maybe_unload_file(*ctx, *b);
            continue;
        }
        if (b->run_state.load() == k_run_running && ctx->running.load()) continue;
        if (ScriptContext* next = ctx->next_context) { // a chapter call
            ctx->next_context = nullptr;
            next->owner_state = ctx->owner_state.load();
            next->running = 1;
            ctx->running = 0;
            if (ScriptBlock* nb = next->current.load()) nb->active = 1;
            ctx = next;
            continue;
        }
        if (b->run_state.load() == k_run_calling) break; // a call that went nowhere
        if (ScriptContext* back = ctx->return_context) { // the called chapter ended
            b->active = 0;
            back->running = 1;
            free_context(ctx);
            ctx = back;
            continue;
        }
        break;
    }
    if (ScriptBlock* b = ctx->current.load()) b->active = 0;
    flow::set_thread_position(nullptr, nullptr);

    if (!engine::take_command_lock()) return;
    // The last context of a system script gives the screen back to the main scripts.
    if (home_set == 1 && engine::state() == engine::k_state_system_script) {
        if (!engine::quit_requested()) {
            engine::render_hold();
            free_set(1); // this context included: it is retired until this thread ends
        }
        var_set_number("$SYSTEM_intrude", 0, false);
        engine::set_state(engine::k_state_running);
        if (scene_hooks().resume_scene) scene_hooks().resume_scene();
        // A system script starts only while rendering runs; the main scripts get it back
        // running, so that one waiting (WaitText, Wait, WaitKey) sees its picture go on.
        if (!engine::quit_requested() && engine::render_is_held()) engine::render_release();
    }
    engine::give_command_lock();
}

void process_thread_routine(void* arg) {
    auto* block = static_cast<ScriptBlock*>(arg);
    ScriptContext& ctx = *block->context;
    flow::set_thread_handle(block->thread.load());
    if (block->run_state.load() == k_run_stopped) {
        block->finished = 1;
        return;
    }
    ScriptBlock* cur = block;
    if (engine::state() == engine::k_state_restoring) {
        while (cur->callee) cur = cur->callee;
        while (engine::state() == engine::k_state_restoring && keep_running())
            engine::wait_multi(engine::k_wait_quit | engine::k_wait_state, nullptr, 100);
        if (scene_hooks().resume_scene) scene_hooks().resume_scene();
    } else {
        block->run_state = k_run_created;
        block->exec_kind = block->kind == k_kind_group ? k_exec_thread : k_exec_process;
        if (block->kind != k_kind_group) mark_block_read(ctx, *block);
    }
    cur->active = 1;
    while (keep_running()) {
        run_statement_loop(ctx, *cur);
        if (!keep_running()) break;
        ScriptBlock* next = next_in_chain(ctx, *cur);
        if (!next) break;
        cur->active = 0;
        next->active = 1;
        cur = next;
    }
    cur->active = 0;
    flow::set_thread_position(nullptr, nullptr);
    block->finished = 1;
}

int process_request(ScriptBlock* block, const char* word) {
    if (!block) return 0;
    const auto is = [word](const char* w) {
        const std::size_t n = std::strlen(w);
        return std::strncmp(word, w, n) == 0 &&
               (word[n] == '\0' || word[n] == '\t' || word[n] == ' ');
    };
    const std::int32_t rs = block->run_state.load();
    std::int32_t to = -1;
    int result = 1;
    if (is("Open")) {
        if (rs != k_run_at_begin) to = k_run_rewind;
    } else if (is("Start")) {
        if (rs == k_run_running || rs == k_run_calling)
            result = 0;
        else
            to = rs == k_run_paused ? k_run_resume : k_run_play;
    } else if (is("Stop")) {
        to = k_run_ended;
    } else if (is("Pause")) {
        if (rs == k_run_running) to = k_run_paused;
    } else if (is("Resume")) {
        if (rs == k_run_paused) to = k_run_resume;
    } else {
        return -1;
    }
    if (to >= 0) {
        block->run_state = to;
        block->event.signal();
        platform::sleep_ms(1);
        block->event.reset();
    }
    return result;
}

bool stop_process_block(ScriptBlock& b, bool holding_scene_lock) {
    const int t = b.thread.load();
    if (t < 0) return true;
    // A process in the middle of a command may be waiting for the scene lock: give it back
    // while waiting, so that the command can finish and the thread see its stop.
    const bool give_back = holding_scene_lock && !(b.run_state.load() & 16);
    if (give_back) engine::scene_unlock();
    b.run_state = k_run_stopped;
    engine::resume_thread(t);
    b.event.signal();
    engine::attention_event().pulse();
    bool ended = engine::wait_thread(t, 100);
    if (!ended) {
        b.run_state = k_run_stopped;
        engine::resume_thread(t);
        b.event.signal();
        for (ScriptBlock* c = b.callee; c; c = c->callee) {
            c->run_state = k_run_stopped;
            c->caller = nullptr;
        }
        ended = wait_ended(t, 3000);
    }
    if (give_back) engine::scene_lock();
    if (!ended) {
        std::fprintf(stderr, "script: the process thread of '%s' did not end\n", b.name);
        return false;
    }
    engine::release_thread(t);
    b.thread = -1;
    return true;
}

bool start_main_script(const std::string& start_file, std::string& error) {
    register_flow_builtins();
    if (g_first_start) {
        g_first_start = false;
        free_set(0);
        free_set(1);
    }
    std::vector<ScriptProblem> problems;
    ScriptContext* ctx = load_into_new_context(start_file, "main", nullptr, 0, &problems);
    if (!ctx) {
        error.clear();
        for (const ScriptProblem& p : problems) error += (error.empty() ? "" : "\n") + p.text();
        if (error.empty()) error = "cannot start the script \"" + start_file + "\"";
        return false;
    }
    // Created suspended so that the context knows its thread before the thread runs.
    const int t = engine::create_thread(false, context_thread_routine, ctx);
    if (t == engine::k_no_thread) {
        error = "cannot create the thread of the script \"" + start_file + "\"";
        free_context(ctx);
        return false;
    }
    ctx->thread = t;
    ctx->host_thread = t;
    engine::resume_thread(t);
    return true;
}

void stop_all_processes() {
    const std::int32_t s = engine::state();
    const bool both = engine::quit_requested() || s == engine::k_state_start_scripts ||
                      s == engine::k_state_restoring;
    for (int set = 0; set < 2; ++set) {
        const bool current = set == (s == engine::k_state_system_script ? 1 : 0);
        if (!both && !current) continue;
        std::vector<ScriptContext*> list = contexts_of_set(set);
        for (ScriptContext* c : list) c->running = 0;
        for (ScriptContext* c : list) {
            const int t = c->thread.load();
            if (t >= 0 && !wait_ended(t, 10000))
                std::fprintf(stderr, "script: a script thread did not end within 10 s\n");
        }
        // The objects a context made go once its thread has ended: a thread in the middle
        // of a save or a draw still reads them, and after the quit flag the scene lock no
        // longer keeps it out.
        for (ScriptContext* c : list) {
            if (c->owner_key != -1 && scene_hooks().release_owner) {
                scene_hooks().release_owner(c->owner_key);
                c->owner_key = -1;
            }
        }
        free_set(set);
    }
    reap_retired_contexts();
}

bool any_script_thread_alive() {
    return engine::count_running(context_thread_routine) > 0 ||
           engine::count_running(process_thread_routine) > 0 || any_retired_thread_alive();
}

} // namespace kestrune::script
