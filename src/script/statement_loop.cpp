// The statement loop: runs one block on the calling thread, statement by statement, in
// place on the loaded text. At each position it tries, in this order: a control word, a
// command, a call of a script function, a comment or line end, an expression statement,
// the start of a skip region (nested blocks and text sections are jumped over), and
// finally steps over one character.
#include "frame/engine.h"
#include "platform/clock.h"
#include "platform/thread.h"
#include "script/flow_internal.h"
#include "script/scanner.h"
#include "script/system_variables.h"
#include "script/variables.h"

#include <algorithm>
#include <cstring>

namespace kestrune::script {

namespace {

thread_local ScriptContext* t_context = nullptr;
thread_local ScriptBlock* t_block = nullptr;
thread_local int t_thread = -1;

bool no_command(ScriptContext&, ScriptBlock&, char* pos, char*& next) {
    next = pos;
    return false;
}
std::atomic<DispatchCommand> g_dispatch{flow::dispatch_flow_commands};

void mark_line_end_cb(void* user, const char* position) {
    auto* b = static_cast<ScriptBlock*>(user);
    flow::mark_read(*b->context, *b, position);
}

bool is_current_cb(void* user) {
    auto* b = static_cast<ScriptBlock*>(user);
    return b->context && b->context->current.load() == b;
}

// Statements start with one of these (besides the control words and commands).
bool starts_expression(char c) {
    return c == '#' || c == '$' || c == '(' || c == '+' || c == '-' || (c >= 'A' && c <= 'Z') ||
           (c >= 'a' && c <= 'z');
}

// Index of the skip region that starts at p, or -1. Regions are recorded in text order.
int skip_region_at(const ScriptBlock& b, const char* p) {
    const auto* first = b.skip_starts;
    const auto* last = b.skip_starts + b.skip_count;
    const auto* it = std::lower_bound(first, last, p, [](char* s, const char* v) { return s < v; });
    if (it == last || *it != p) return -1;
    return static_cast<int>(it - first);
}

void publish_section(const ScriptBlock& b, int region) {
    for (const TextSection& s : b.sections) {
        if (s.region != region) continue;
        var_set_text("$SYSTEM_present_preprocess", s.name, false);
        var_set_text("$SYSTEM_present_text", std::string("@") + s.first_label, false);
        return;
    }
}

// The gate test: the context runs only while the engine state is its owner state and the
// script gate is open. Otherwise the thread waits here in steps of up to 100 ms.
bool gate_passes(ScriptContext& ctx, ScriptBlock& b) {
    const auto open = [&] {
        const std::int32_t s = engine::state();
        return (s == engine::k_state_running || s == engine::k_state_system_script) &&
               s == ctx.owner_state.load() && engine::script_gate().is_signalled();
    };
    while (!open()) {
        if (engine::quit_requested() || !engine::in_running_range(engine::state())) return false;
        if (!b.is_process() && !ctx.running.load()) return false;
        if (platform::stop_requested()) return false;
        platform::Event* gate =
            engine::script_gate().is_signalled() ? nullptr : &engine::script_gate();
        engine::wait_multi(engine::k_wait_quit | engine::k_wait_state, gate, 100);
    }
    return true;
}

// One statement at the cursor.
void step(ScriptContext& ctx, ScriptBlock& b) {
    char* pos = b.cursor;
    char* next = pos;
    if (flow::try_control_word(ctx, b, pos, next)) {
        b.cursor = next;
        return;
    }
    if (g_dispatch.load()(ctx, b, pos, next)) {
        b.cursor = next;
        return;
    }
    if (next == pos && try_function_call(ctx, b, pos, next)) {
        b.cursor = next;
        return;
    }
    char* p = next; // past the name of a busy function, or pos
    const char* end = flow::text_end(ctx, b);
    if (*p == '\r' || *p == '\n') flow::mark_read(ctx, b, p);
    if (skip_comment(p, end)) {
        b.cursor = p;
        return;
    }
    if (starts_expression(*p)) {
        EvalContext ev = flow::eval_context(ctx, b);
        b.cursor = run_expression_statement(p, end, &ev);
        return;
    }
    const int region = skip_region_at(b, p);
    if (region >= 0) {
        publish_section(b, region);
        b.cursor = b.skip_ends[region];
        return;
    }
    // A double-byte character is passed whole: its trail byte may look like a letter.
    const int w = char_width(p, end);
    b.cursor = p + (w ? w : 1);
}

} // namespace

namespace flow {

// A scratch block (a command text run outside any file) has no file slot: its text is its
// own, from start to just after end.
const char* text_start(const ScriptContext& ctx, const ScriptBlock& b) {
    if (b.file_slot < 0) return b.start;
    return ctx.files[static_cast<std::size_t>(b.file_slot)].data();
}

const char* text_end(const ScriptContext& ctx, const ScriptBlock& b) {
    if (b.file_slot < 0) return b.end + 1;
    const ScriptFile& f = ctx.files[static_cast<std::size_t>(b.file_slot)];
    return f.data() + f.size;
}

EvalContext eval_context(ScriptContext& ctx, ScriptBlock& b) {
    EvalContext ev;
    ev.object_prefix = b.object_prefix;
    if (b.file_slot >= 0)
        ev.module_file_name = ctx.files[static_cast<std::size_t>(b.file_slot)].name;
    ev.is_process_block = b.is_process();
    ev.block_event = &b.event;
    ev.block = &b;
    ev.context = &ctx;
    ev.user = &b;
    ev.file_text = text_start(ctx, b);
    ev.mark_line_end = mark_line_end_cb;
    ev.is_current_block = is_current_cb;
    return ev;
}

ReadTextNode* read_map_at(const ScriptContext& ctx, const ScriptBlock& b, const char* pos,
                          std::size_t& offset) {
    if (b.file_slot < 0) return nullptr;
    const ScriptFile& f = ctx.files[static_cast<std::size_t>(b.file_slot)];
    if (!f.read_map || pos < f.data() || pos >= f.data() + f.size) return nullptr;
    offset = static_cast<std::size_t>(pos - f.data());
    return f.read_map;
}

void mark_read(ScriptContext& ctx, ScriptBlock& b, const char* pos) {
    if (ctx.set != 0 || engine::state() != engine::k_state_running) return;
    std::size_t offset = 0;
    ReadTextNode* node = read_map_at(ctx, b, pos, offset);
    // Skip mode runs through text already read; the first new line stops it, unless the
    // reader asked to skip everything.
    if (node && read_text_mark(node, offset) && engine::skip_mode() &&
        setting_number("skip_absolute") == 0)
        engine::set_skip_mode(false);
}

void end_block(ScriptContext& ctx, ScriptBlock& b) {
    if (!engine::render_is_held()) engine::render_hold();
    b.run_state = k_run_stopped;
    if (b.owns_objects && scene_hooks().delete_objects)
        scene_hooks().delete_objects(ctx.owner_key, b.object_prefix);
}

void maybe_unload_file(ScriptContext& ctx, const ScriptBlock& finished) {
    if (finished.kind != k_kind_scene && finished.kind != k_kind_cut) return;
    const int slot = finished.file_slot;
    if (slot < 0) return;
    if (ctx.files[static_cast<std::size_t>(slot)].included) return;
    {
        // A block of the file still running, waiting on a callee, or alive as a process
        // keeps the whole file: its text is what those blocks execute.
        std::lock_guard guard(ctx.m_blocks_mutex);
        for (auto& b : ctx.blocks) {
            if (b->file_slot != slot) continue;
            if (b->run_state.load() != k_run_stopped || b->active.load() || b->callee ||
                b->thread.load() >= 0)
                return;
        }
    }
    unload_file(ctx, slot);
}

void set_thread_position(ScriptContext* ctx, ScriptBlock* b) {
    t_context = ctx;
    t_block = b;
}

void set_thread_handle(int handle) {
    t_thread = handle;
}

DispatchCommand command_dispatcher() {
    return g_dispatch.load();
}

} // namespace flow

void set_command_dispatcher(DispatchCommand dispatch) {
    g_dispatch = dispatch ? dispatch : no_command;
}

ScriptContext* current_context() {
    return t_context;
}
ScriptBlock* current_block() {
    return t_block;
}
int calling_script_thread() {
    return t_thread;
}

bool run_command_text(ScriptContext& context, const char* object_prefix, const std::string& text) {
    platform::BlockPtr copy = platform::make_block(text.size());
    if (!copy) return false;
    std::memcpy(copy.get(), text.data(), text.size());
    ScriptBlock scratch;
    scratch.context = &context;
    scratch.file_slot = -1;
    copy_field(scratch.object_prefix, sizeof scratch.object_prefix, object_prefix);
    scratch.start = reinterpret_cast<char*>(copy.get());
    scratch.end = scratch.start + text.size() - (text.empty() ? 0 : 1);
    scratch.cursor = scratch.statement_start = scratch.begin = scratch.start;
    scratch.run_state = k_run_running;
    char* pos = skip_space(scratch.start, flow::text_end(context, scratch));
    char* next = pos;
    const ScriptContext* saved_ctx = t_context;
    ScriptBlock* saved_block = t_block;
    flow::set_thread_position(&context, &scratch);
    const bool handled = g_dispatch.load()(context, scratch, pos, next);
    flow::set_thread_position(const_cast<ScriptContext*>(saved_ctx), saved_block);
    return handled;
}

void run_statement_loop(ScriptContext& ctx, ScriptBlock& b) {
    flow::set_thread_position(&ctx, &b);
    if (b.run_state.load() <= k_run_created) b.run_state = k_run_running;
    if (!b.is_process() && b.kind != k_kind_group)
        var_set_text("$SYSTEM_present_process", b.name, false);
    if (b.select_ends[b.select_depth]) {
        if (choice_hooks().end_hover) choice_hooks().end_hover();
        b.saved_pointer[0] = b.saved_pointer[1] = -1;
    }
    b.cursor = b.statement_start;
    for (;;) {
        const std::int32_t rs = b.run_state.load();
        if (rs != k_run_running && !(rs & 16)) break;
        if (engine::quit_requested() || !engine::in_running_range(engine::state())) break;
        if (platform::stop_requested() || !gate_passes(ctx, b)) break;

        if (b.is_process() && b.cursor == b.begin && !b.caller) {
            // The prologue before `begin:` has run: the process stops here until started.
            ++b.cursor;
            b.run_state = k_run_at_begin;
            b.event.pulse();
            engine::wait_multi(engine::k_wait_quit | engine::k_wait_state, &b.event, 100);
        } else if (b.cursor < b.end && b.run_state.load() != k_run_stopped) {
            step(ctx, b);
            platform::charge_busy_work();
        }
        b.statement_start = b.cursor;
        flow::check_loop_and_select_ends(ctx, b);
        b.statement_start = b.cursor;

        const std::int32_t now = b.run_state.load();
        if (b.cursor >= b.end || now == k_run_stopped) {
            if (b.exec_kind.load() == k_exec_process && b.kind != k_kind_group) {
                if (now == k_run_running) {
                    if (b.caller) {
                        flow::end_block(ctx, b);
                        if (b.kind != k_kind_function) b.run_state = k_run_running;
                        break;
                    }
                    b.event.signal();
                    b.run_state = k_run_ended;
                } else if (!(now & 16)) {
                    b.run_state = k_run_stopped;
                    break;
                }
            } else if (now != k_run_calling) {
                // A scene or group that simply ran out keeps its objects.
                const bool keeps =
                    (b.kind == k_kind_scene || b.kind == k_kind_group) && now != k_run_stopped;
                if (!keeps) flow::end_block(ctx, b);
                b.run_state = k_run_stopped;
                break;
            }
        }
        if (!b.is_process()) {
            if (!ctx.running.load()) break;
        } else if (b.run_state.load() != k_run_running) {
            flow::process_wait(b);
        }
    }
    if (b.select_starts[b.select_depth] && b.select_ends[b.select_depth] &&
        choice_hooks().reset_cursor_shape)
        choice_hooks().reset_cursor_shape();
}

} // namespace kestrune::script
