// What the message display needs from the scripts while it reveals the prose of a text
// section: the read-text map at the positions it passes, and the script blocks written
// inside the prose ("... text {statements} text ..."), which the pre-scan made anonymous
// groups of their context and which run on a thread of their own while the text waits.
#include "frame/engine.h"
#include "platform/thread.h"
#include "script/context.h"
#include "script/flow_internal.h"

#include <atomic>
#include <cstdio>
#include <memory>

namespace kestrune::script {

struct InlineScript {
    ScriptContext* context = nullptr;
    ScriptBlock* block = nullptr;
    std::atomic<bool> done{false};
    int thread = engine::k_no_thread;
    // Holds the record until its thread has started: the text object may be deleted first.
    std::shared_ptr<InlineScript> self;
};

namespace {

void inline_routine(void* arg) {
    const std::shared_ptr<InlineScript> keep = std::move(static_cast<InlineScript*>(arg)->self);
    InlineScript& run = *keep;
    flow::set_thread_handle(run.thread);
    run_statement_loop(*run.context, *run.block);
    flow::set_thread_position(nullptr, nullptr);
    // Commands of a group are batched; the block's end shows what it did, as Draw would,
    // so that the text (which waits for it) goes on with the picture up to date.
    if (engine::render_is_held()) engine::render_release();
    run.done = true;
}

ScriptBlock* group_starting_at(ScriptContext& ctx, const char* start) {
    std::lock_guard guard(ctx.m_blocks_mutex);
    for (const auto& b : ctx.blocks)
        if (b->kind == k_kind_group && b->start == start) return b.get();
    return nullptr;
}

} // namespace

std::shared_ptr<InlineScript> start_inline_script(ScriptBlock& reader, const char* start) {
    ScriptContext* ctx = reader.context ? reader.context : find_context_of(&reader);
    ScriptBlock* block = ctx ? group_starting_at(*ctx, start) : nullptr;
    if (!block) {
        std::fprintf(stderr, "text: the script block inside the text of '%s' was not found\n",
                     reader.name);
        return nullptr;
    }
    auto run = std::make_shared<InlineScript>();
    run->context = ctx;
    run->block = block;
    block->clear_stacks();
    block->cursor = block->start;
    block->statement_start = block->start;
    block->callee = nullptr;
    block->caller = nullptr;
    std::snprintf(block->object_prefix, sizeof block->object_prefix, "%s", reader.object_prefix);
    block->run_state = k_run_running;
    run->self = run;
    run->thread = engine::create_thread(false, inline_routine, run.get());
    if (run->thread == engine::k_no_thread) {
        run->self.reset();
        block->run_state = k_run_stopped;
        std::fprintf(stderr, "text: no thread for the script block inside the text of '%s'\n",
                     reader.name);
        return nullptr;
    }
    engine::resume_thread(run->thread);
    return run;
}

bool inline_script_running(const InlineScript& run) {
    return !run.done.load();
}

void end_inline_script(InlineScript& run) {
    if (run.thread == engine::k_no_thread) return;
    if (run.done.load()) {
        engine::release_thread(run.thread);
    } else {
        // Asked to stop, not waited for (the caller may hold the scene lock the block
        // needs); the registry entry goes with the thread at teardown.
        run.block->run_state = k_run_stopped;
        engine::request_thread_stop(run.thread);
    }
    run.thread = engine::k_no_thread;
}

bool text_position_read(const ScriptBlock& reader, const char* pos) {
    if (!reader.context) return false;
    std::size_t offset = 0;
    const ReadTextNode* node = flow::read_map_at(*reader.context, reader, pos, offset);
    return node && read_text_is_read(node, offset);
}

void mark_text_position(ScriptBlock& reader, const char* pos) {
    if (reader.context) flow::mark_read(*reader.context, reader, pos);
}

} // namespace kestrune::script
