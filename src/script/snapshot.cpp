#include "script/snapshot.h"

#include "frame/engine.h"
#include "script/context.h"
#include "storage/save_bytes.h"

#include <algorithm>
#include <cstring>
#include <map>

namespace kestrune::script {

using storage::SaveReader;
using storage::SaveWriter;

namespace {

constexpr std::uint32_t k_max_contexts = 4096;
constexpr std::uint32_t k_max_blocks = 1u << 20;
constexpr std::uint32_t k_max_text_size = 1u << 30;
constexpr std::size_t k_max_file_name = 259;

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

char* get_position(SaveReader& r, const ScriptFile& f) {
    const std::uint32_t present = r.u32();
    const std::uint32_t offset = r.u32();
    if (!r.ok() || present == 0) return nullptr;
    if (present != 1 || offset > f.size) {
        r.fail("a script position outside its file");
        return nullptr;
    }
    return f.data() + offset;
}

void put_cstr(SaveWriter& w, const char* s, std::size_t field) {
    w.text(std::string_view(s, strnlen(s, field - 1)));
}

bool get_cstr(SaveReader& r, char* dst, std::size_t field) {
    const std::string s = r.text(field - 1);
    if (!r.ok()) return false;
    std::memset(dst, 0, field);
    std::memcpy(dst, s.data(), s.size());
    return true;
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
    SaveReader r(block);
    auto fail = [&](const std::string& why) {
        error = "script block refused: " + why;
        return StagedContextsPtr();
    };
    r.bytes(4);
    if (r.u32() != storage::k_save_block_tag) return fail("wrong tag");
    const std::uint32_t total = r.u32();
    if (!r.ok() || total > block.size() || total < 16) return fail("bad total size");
    const std::uint32_t count = r.count(k_max_contexts, "too many contexts");
    if (!r.ok()) return fail(r.why());

    StagedContextsPtr staged(new StagedContexts);
    struct Links {
        std::uint32_t current, next, ret;
    };
    std::vector<Links> ctx_links;
    std::map<std::uint32_t, ScriptBlock*> blocks_by_id;
    std::vector<std::pair<ScriptBlock*, std::pair<std::uint32_t, std::uint32_t>>> block_links;
    std::vector<ScriptProblem> problems;

    for (std::uint32_t ci = 0; ci < count; ++ci) {
        auto ctx = std::make_unique<ScriptContext>();
        ctx->set = 0;
        ctx->in_use = 1;
        if (r.u32() != ci + 1 && r.ok()) return fail("contexts out of order");
        ctx->owner_key = r.i32();
        ctx->running = std::int32_t(r.u32() != 0);
        r.u32(); // own-thread flag: the thread goes where the host group runs
        const std::uint32_t host = r.u32();
        Links links{r.u32(), r.u32(), r.u32()};
        if (!r.ok()) return fail(r.why());
        if (host > count || links.next > count || links.ret > count)
            return fail("a context link out of range");

        const std::uint32_t files = r.count(k_max_files, "too many files");
        struct Loaded {
            int slot;
            std::uint32_t load_time;
        };
        std::vector<Loaded> order;
        for (std::uint32_t fi = 0; fi < files; ++fi) {
            const std::uint32_t slot = r.count(k_max_files - 1, "file slot out of range");
            const std::uint32_t load_time = r.u32();
            const std::uint32_t included = r.u32();
            const std::string name = r.text(k_max_file_name);
            const std::uint32_t size = r.count(k_max_text_size, "script text too large");
            const auto text = r.bytes(size);
            if (!r.ok()) return fail(r.why());
            ScriptFile& f = ctx->files[slot];
            if (f.text || name.empty()) return fail("a file slot used twice or unnamed");
            // The loaded text gets the zeroed slack the scanner relies on.
            f.text = platform::make_block(size);
            if (!f.text) return fail("out of memory");
            std::memcpy(f.text.get(), text.data(), size);
            f.size = size;
            f.name = name;
            f.load_time = std::max<std::uint32_t>(load_time, 1);
            f.included = included != 0;
            order.push_back({int(slot), f.load_time});
        }
        // Pre-scanned in load order, so the block list comes out in the order it had.
        std::stable_sort(order.begin(), order.end(), [](const Loaded& a, const Loaded& b) {
            return a.load_time < b.load_time;
        });
        for (const Loaded& l : order)
            if (!prescan_file(*ctx, l.slot, problems, nullptr))
                return fail("the saved text of \"" + ctx->files[std::size_t(l.slot)].name +
                            "\" does not scan");
        std::map<int, std::vector<ScriptBlock*>> by_slot;
        for (auto& b : ctx->blocks) by_slot[b->file_slot].push_back(b.get());

        const std::uint32_t nblocks = r.count(k_max_blocks, "too many blocks");
        if (!r.ok()) return fail(r.why());
        if (nblocks != ctx->blocks.size()) return fail("the block list does not match the text");
        for (std::uint32_t bi = 0; bi < nblocks; ++bi) {
            const std::uint32_t slot = r.count(k_max_files - 1, "block slot out of range");
            const std::uint32_t ordinal = r.u32();
            const std::string name = r.text(k_block_name_size - 1);
            const std::uint32_t id = r.u32();
            if (!r.ok()) return fail(r.why());
            auto it = by_slot.find(int(slot));
            if (it == by_slot.end() || ordinal >= it->second.size())
                return fail("a block that the text does not have");
            ScriptBlock& b = *it->second[ordinal];
            if (name != b.name) return fail("block '" + name + "' does not match the text");
            if (id == 0 || blocks_by_id.count(id)) return fail("a block identity used twice");
            blocks_by_id[id] = &b;
            const ScriptFile& f = ctx->files[slot];
            b.run_state = r.i32();
            b.owns_objects = r.i32();
            b.button_held = r.i32();
            b.input_code = r.i32();
            const std::int32_t exec = r.i32();
            if (exec != k_exec_thread && exec != k_exec_process) r.fail("bad execution kind");
            b.exec_kind = exec;
            const bool had_thread = r.u32() != 0;
            b.finished = r.i32();
            b.active = r.i32() != 0 ? 1 : 0;
            for (auto& v : b.param_values) get_cstr(r, v, k_param_value_size);
            get_cstr(r, b.object_prefix, k_block_name_size);
            b.cursor = get_position(r, f);
            b.statement_start = get_position(r, f);
            for (int i = 0; i < k_stack_depth; ++i) {
                b.loop_starts[i] = get_position(r, f);
                b.loop_ends[i] = get_position(r, f);
                b.select_starts[i] = get_position(r, f);
                b.select_ends[i] = get_position(r, f);
            }
            const std::uint32_t loop_depth = r.u32();
            const std::uint32_t select_depth = r.u32();
            if (loop_depth > k_stack_depth || select_depth > k_stack_depth)
                r.fail("stack depth beyond 8");
            b.loop_depth = std::uint8_t(loop_depth);
            b.select_depth = std::uint8_t(select_depth);
            for (auto& flag : b.case_taken) flag = r.u32() != 0 ? 1 : 0;
            b.saved_pointer[0] = r.i32();
            b.saved_pointer[1] = r.i32();
            const std::uint32_t callee = r.u32();
            const std::uint32_t caller = r.u32();
            if (!r.ok()) return fail(r.why());
            if (!b.cursor) b.cursor = b.start;
            if (!b.statement_start) b.statement_start = b.cursor;
            block_links.push_back({&b, {callee, caller}});
            if (had_thread) staged->threads.push_back({&b, true});
        }
        ctx_links.push_back(links);
        staged->host.push_back(host);
        staged->contexts.push_back(std::move(ctx));
    }
    // Links: an identity that names nothing is no link.
    auto find_block = [&](std::uint32_t id) -> ScriptBlock* {
        auto it = blocks_by_id.find(id);
        return it == blocks_by_id.end() ? nullptr : it->second;
    };
    for (auto& [b, ids] : block_links) {
        b->callee = find_block(ids.first);
        b->caller = find_block(ids.second);
    }
    for (std::size_t i = 0; i < staged->contexts.size(); ++i) {
        ScriptContext& c = *staged->contexts[i];
        ScriptBlock* current = find_block(ctx_links[i].current);
        c.current = current && current->context == &c ? current : nullptr;
        c.next_context =
            ctx_links[i].next ? staged->contexts[ctx_links[i].next - 1].get() : nullptr;
        c.return_context =
            ctx_links[i].ret ? staged->contexts[ctx_links[i].ret - 1].get() : nullptr;
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
