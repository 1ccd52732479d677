#include "script/snapshot.h"

#include "frame/engine.h"
#include "script/context.h"
#include "script/snapshot_format.h"
#include "storage/save_bytes.h"

#include <algorithm>
#include <cstring>
#include <map>

namespace kestrune::script {

using storage::SaveWriter;

namespace {

constexpr std::size_t k_max_file_name = saved::k_file_name;
static_assert(saved::k_files == k_max_files && saved::k_depth == k_stack_depth &&
              saved::k_params == k_max_params && saved::k_block_name + 1 == k_block_name_size &&
              saved::k_param_value + 1 == k_param_value_size);

// A position inside the block's file as a presence word and an offset; a null position is
// 0, 0 (offset 0 with presence 1 is the file's first byte, not null).
bool put_position(SaveWriter& w, const ScriptFile& f, const char* p) {
    if (!p) {
        w.u32(0);
        w.u32(0);
        return true;
    }
    if (p < f.data() || p > f.data() + f.size) return false;
    w.u32(1);
    w.u32(std::uint32_t(p - f.data()));
    return true;
}

void put_cstr(SaveWriter& w, const char* s, std::size_t field) {
    w.text(std::string_view(s, strnlen(s, field - 1)));
}

} // namespace

struct StagedContexts {
    std::vector<std::unique_ptr<ScriptContext>> contexts;
    std::vector<std::uint32_t> host; // per context: index + 1 of its host context, 0 none
    std::vector<std::pair<ScriptBlock*, bool>> threads; // blocks that had a process thread
};

void StagedDeleter::operator()(StagedContexts* s) const {
    delete s;
}

bool snapshot_contexts(const ScriptBlock* saving, const char* resume,
                       std::vector<std::uint8_t>& out, std::string& error) {
    const std::vector<ScriptContext*> list = contexts_of_set(0);
    std::map<const ScriptContext*, std::uint32_t> ctx_ids;
    std::map<const ScriptBlock*, std::uint32_t> block_ids;
    std::uint32_t next_block = 1;
    for (std::size_t i = 0; i < list.size(); ++i) {
        ctx_ids[list[i]] = std::uint32_t(i + 1);
        std::lock_guard guard(list[i]->m_blocks_mutex);
        for (const auto& b : list[i]->blocks) block_ids[b.get()] = next_block++;
    }
    auto ctx_id = [&](const ScriptContext* c) {
        auto it = ctx_ids.find(c);
        return it == ctx_ids.end() ? 0u : it->second;
    };
    auto block_id = [&](const ScriptBlock* b) {
        auto it = block_ids.find(b);
        return it == block_ids.end() ? 0u : it->second;
    };

    SaveWriter w;
    w.bytes("VKSS", 4);
    w.u32(storage::k_save_block_tag);
    w.u32(0); // total size, patched below
    w.u32(std::uint32_t(list.size()));
    for (ScriptContext* c : list) {
        std::uint32_t host = 0;
        for (ScriptContext* h : list)
            if (h->thread.load() >= 0 && h->thread.load() == c->host_thread.load())
                host = ctx_id(h);
        w.u32(ctx_id(c));
        w.i32(c->owner_key);
        w.u32(std::uint32_t(c->running.load()));
        w.u32(c->thread.load() >= 0 ? 1 : 0);
        w.u32(host);
        w.u32(block_id(c->current.load()));
        w.u32(ctx_id(c->next_context));
        w.u32(ctx_id(c->return_context));

        std::uint32_t files = 0;
        for (const ScriptFile& f : c->files) files += f.text ? 1 : 0;
        w.u32(files);
        for (int slot = 0; slot < k_max_files; ++slot) {
            const ScriptFile& f = c->files[std::size_t(slot)];
            if (!f.text) continue;
            w.u32(std::uint32_t(slot));
            w.u32(std::max<std::uint32_t>(f.load_time, 1));
            w.u32(f.included ? 1 : 0);
            w.text(std::string_view(f.name).substr(0, k_max_file_name));
            w.u32(std::uint32_t(f.size));
            w.bytes(f.data(), f.size);
        }

        std::lock_guard guard(c->m_blocks_mutex);
        w.u32(std::uint32_t(c->blocks.size()));
        std::map<int, std::uint32_t> ordinals;
        for (const auto& bp : c->blocks) {
            const ScriptBlock& b = *bp;
            if (b.file_slot < 0 || b.file_slot >= k_max_files ||
                !c->files[std::size_t(b.file_slot)].text) {
                error = std::string("block '") + b.name + "' has no file";
                return false;
            }
            const ScriptFile& f = c->files[std::size_t(b.file_slot)];
            w.u32(std::uint32_t(b.file_slot));
            w.u32(ordinals[b.file_slot]++);
            put_cstr(w, b.name, k_block_name_size);
            w.u32(block_id(&b));
            w.i32(b.run_state.load());
            w.i32(b.owns_objects);
            w.i32(b.button_held);
            w.i32(b.input_code);
            w.i32(b.exec_kind.load());
            w.u32(b.thread.load() >= 0 ? 1 : 0);
            w.i32(b.finished.load());
            w.i32(b.active.load());
            for (const auto& v : b.param_values) put_cstr(w, v, k_param_value_size);
            put_cstr(w, b.object_prefix, k_block_name_size);
            const bool here = &b == saving;
            bool ok = put_position(w, f, here ? resume : b.cursor) &&
                      put_position(w, f, here ? resume : b.statement_start);
            for (int i = 0; i < k_stack_depth; ++i)
                ok = ok && put_position(w, f, b.loop_starts[i]) &&
                     put_position(w, f, b.loop_ends[i]) && put_position(w, f, b.select_starts[i]) &&
                     put_position(w, f, b.select_ends[i]);
            if (!ok) {
                error = std::string("a position of block '") + b.name + "' lies outside its file";
                return false;
            }
            w.u32(b.loop_depth);
            w.u32(b.select_depth);
            for (auto flag : b.case_taken) w.u32(flag);
            w.i32(b.saved_pointer[0]);
            w.i32(b.saved_pointer[1]);
            w.u32(block_id(b.callee));
            w.u32(block_id(b.caller));
        }
    }
    w.patch_u32(8, std::uint32_t(w.size()));
    out = std::move(w.data());
    return true;
}

StagedContextsPtr stage_contexts(std::span<const std::uint8_t> block, std::string& error) {
    std::vector<saved::Context> parsed;
    if (!saved::parse_script_block(block, parsed, error)) return StagedContextsPtr();
    auto fail = [&](const std::string& why) {
        error = "script block refused: " + why;
        return StagedContextsPtr();
    };
    StagedContextsPtr staged(new StagedContexts);
    std::map<std::uint32_t, ScriptBlock*> blocks_by_id;
    std::vector<ScriptProblem> problems;
    for (const saved::Context& sc : parsed) {
        auto ctx = std::make_unique<ScriptContext>();
        ctx->set = 0;
        ctx->in_use = 1;
        ctx->owner_key = sc.owner_key;
        ctx->running = sc.running ? 1 : 0;
        std::vector<const saved::File*> order;
        for (const saved::File& sf : sc.files) {
            ScriptFile& f = ctx->files[sf.slot];
            // The loaded text gets the zeroed slack the scanner relies on.
            f.text = platform::make_block(sf.text.size());
            if (!f.text) return fail("out of memory");
            if (!sf.text.empty()) std::memcpy(f.text.get(), sf.text.data(), sf.text.size());
            f.size = sf.text.size();
            f.name = sf.name;
            f.load_time = sf.load_time;
            f.included = sf.included;
            order.push_back(&sf);
        }
        // Pre-scanned in load order, so the block list comes out in the order it had.
        std::stable_sort(
            order.begin(), order.end(),
            [](const saved::File* a, const saved::File* b) { return a->load_time < b->load_time; });
        for (const saved::File* sf : order)
            if (!prescan_file(*ctx, int(sf->slot), problems, nullptr))
                return fail("the saved text of \"" + sf->name + "\" does not scan");
        std::map<std::uint32_t, std::vector<ScriptBlock*>> by_slot;
        for (auto& b : ctx->blocks) by_slot[std::uint32_t(b->file_slot)].push_back(b.get());
        if (sc.blocks.size() != ctx->blocks.size())
            return fail("the block list does not match the text");
        for (const saved::Block& sb : sc.blocks) {
            auto it = by_slot.find(sb.slot);
            if (it == by_slot.end() || sb.ordinal >= it->second.size())
                return fail("a block that the text does not have");
            ScriptBlock& b = *it->second[sb.ordinal];
            if (sb.name != b.name) return fail("block '" + sb.name + "' does not match the text");
            blocks_by_id[sb.identity] = &b;
            char* base = ctx->files[sb.slot].data();
            auto at = [base](const saved::Position& p) {
                return p.present ? base + p.offset : nullptr;
            };
            b.run_state = sb.run_state;
            b.owns_objects = sb.owns_objects;
            b.button_held = sb.button_held;
            b.input_code = sb.input_code;
            b.exec_kind = sb.exec_kind;
            b.finished = sb.finished;
            b.active = sb.active ? 1 : 0;
            for (int i = 0; i < k_max_params; ++i) {
                std::memset(b.param_values[i], 0, k_param_value_size);
                std::memcpy(b.param_values[i], sb.params[std::size_t(i)].data(),
                            std::min(sb.params[std::size_t(i)].size(), k_param_value_size - 1));
            }
            std::memset(b.object_prefix, 0, k_block_name_size);
            std::memcpy(b.object_prefix, sb.prefix.data(),
                        std::min(sb.prefix.size(), k_block_name_size - 1));
            b.cursor = at(sb.cursor);
            b.statement_start = at(sb.statement_start);
            for (int i = 0; i < k_stack_depth; ++i) {
                b.loop_starts[i] = at(sb.loop_starts[std::size_t(i)]);
                b.loop_ends[i] = at(sb.loop_ends[std::size_t(i)]);
                b.select_starts[i] = at(sb.select_starts[std::size_t(i)]);
                b.select_ends[i] = at(sb.select_ends[std::size_t(i)]);
                b.case_taken[i] = sb.case_taken[std::size_t(i)];
            }
            b.loop_depth = sb.loop_depth;
            b.select_depth = sb.select_depth;
            b.saved_pointer[0] = sb.saved_pointer[0];
            b.saved_pointer[1] = sb.saved_pointer[1];
            if (!b.cursor) b.cursor = b.start;
            if (!b.statement_start) b.statement_start = b.cursor;
            if (sb.had_thread) staged->threads.push_back({&b, true});
        }
        staged->host.push_back(sc.host);
        staged->contexts.push_back(std::move(ctx));
    }
    // Links: an identity that names nothing is no link.
    auto find_block = [&](std::uint32_t id) -> ScriptBlock* {
        auto it = blocks_by_id.find(id);
        return it == blocks_by_id.end() ? nullptr : it->second;
    };
    for (std::size_t i = 0; i < parsed.size(); ++i) {
        ScriptContext& c = *staged->contexts[i];
        for (const saved::Block& sb : parsed[i].blocks) {
            ScriptBlock* b = find_block(sb.identity);
            b->callee = find_block(sb.callee);
            b->caller = find_block(sb.caller);
        }
        ScriptBlock* current = find_block(parsed[i].current);
        c.current = current && current->context == &c ? current : nullptr;
        c.next_context = parsed[i].next ? staged->contexts[parsed[i].next - 1].get() : nullptr;
        c.return_context = parsed[i].ret ? staged->contexts[parsed[i].ret - 1].get() : nullptr;
    }
    return staged;
}

bool adopt_staged_contexts(StagedContextsPtr staged, std::string& error) {
    StagedContexts& s = *staged;
    std::vector<ScriptContext*> raw;
    for (auto& c : s.contexts) raw.push_back(c.get());
    for (ScriptContext* c : raw) {
        if (scene_hooks().create_owner && !scene_hooks().create_owner(c->owner_key)) {
            error = "the scene store refused a restored context's owner node";
            for (ScriptContext* d : raw)
                if (d != c && scene_hooks().release_owner)
                    scene_hooks().release_owner(d->owner_key);
            return false;
        }
    }
    adopt_contexts(std::move(s.contexts), 0);
    // One thread per host group, started in the context of the group that was running (a
    // chapter call runs the called context on its caller's thread).
    bool ok = true;
    for (std::size_t i = 0; i < raw.size(); ++i) {
        if (s.host[i] != i + 1) continue;
        ScriptContext* run = raw[i];
        for (std::size_t j = 0; j < raw.size(); ++j)
            if (s.host[j] == i + 1 && raw[j]->running.load()) run = raw[j];
        const int t = engine::create_thread(false, context_thread_routine, run);
        if (t == engine::k_no_thread) {
            ok = false;
            continue;
        }
        run->thread = t;
        for (std::size_t j = 0; j < raw.size(); ++j)
            if (s.host[j] == i + 1) raw[j]->host_thread = t;
        engine::resume_thread(t);
    }
    for (auto& [b, unused] : s.threads) {
        const int t = engine::create_thread(false, process_thread_routine, b);
        if (t == engine::k_no_thread) {
            ok = false;
            continue;
        }
        b->thread = t;
        engine::resume_thread(t);
    }
    if (!ok) error = "a restored script thread could not be started";
    return ok;
}

} // namespace kestrune::script
