// Context sets, loading script files into contexts, and freeing contexts and files.
#include "script/context.h"
#include "script/lint.h"

#include "frame/engine.h"
#include "platform/clock.h"
#include "script/scanner.h"
#include "script/system_variables.h"
#include "storage/storage.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <random>
#include <set>

namespace kestrune::script {

namespace {

std::mutex g_sets_mutex;
std::list<std::unique_ptr<ScriptContext>> g_sets[2];
// Contexts freed while their thread still ran (freed by that very thread, or a thread that
// would not end): reclaimed once the thread is gone, never under a running thread.
std::list<std::unique_ptr<ScriptContext>> g_retired;
SceneHooks g_scene_hooks;
ChoiceHooks g_choice_hooks;

void print_problems(const std::vector<ScriptProblem>& problems, std::size_t from) {
    for (std::size_t i = from; i < problems.size(); ++i)
        std::fprintf(stderr, "%s\n", problems[i].text().c_str());
}

bool thread_gone(int handle) {
    return handle < 0 || !engine::is_thread_running(handle);
}

void reap_retired_locked() {
    for (auto it = g_retired.begin(); it != g_retired.end();) {
        if (!thread_gone((*it)->host_thread.load())) {
            ++it;
            continue;
        }
        const int own = (*it)->thread.load();
        if (own >= 0) engine::release_thread(own);
        it = g_retired.erase(it);
    }
}

// A pseudo-random owner key that is neither -1 nor the key of a living context.
std::int32_t new_owner_key(const ScriptContext* ctx) {
    static std::mt19937 gen(platform::random_seed());
    for (;;) {
        const auto key = static_cast<std::int32_t>(gen());
        if (key == -1) continue;
        bool used = false;
        for (auto& set : g_sets)
            for (auto& c : set)
                if (c->owner_key == key) used = true;
        if (!used) return key;
    }
}

int load_file_locked(ScriptContext& ctx, const std::string& file, bool included,
                     std::vector<ScriptProblem>& problems, const char* from_file, int from_line,
                     bool checking = false) {
    const std::string name = script_resource_name(file);
    for (int i = 0; i < k_max_files; ++i) {
        ScriptFile& f = ctx.files[static_cast<std::size_t>(i)];
        if (f.text && equals_nocase(f.name, name)) {
            if (included) f.included = true;
            return i;
        }
    }
    int slot = -1;
    for (int i = 0; i < k_max_files && slot < 0; ++i)
        if (!ctx.files[static_cast<std::size_t>(i)].text) slot = i;
    const auto refuse = [&](const std::string& message) {
        problems.push_back({from_file ? from_file : name, from_file ? from_line : 0, message});
        return -1;
    };
    if (slot < 0) return refuse("cannot load \"" + name + "\": 512 files are loaded already");
    std::string error;
    std::size_t size = 0;
    platform::BlockPtr text = read_script_text(name, size, error);
    if (!text) return refuse("cannot load script \"" + name + "\": " + error);

    ScriptFile& f = ctx.files[static_cast<std::size_t>(slot)];
    f.name = name;
    f.size = size;
    f.text = std::move(text);
    f.load_time = platform::tick_ms();
    f.included = included;
    if (!checking) platform::sleep_ms(1); // load times of two files never coincide
    std::vector<IncludeRequest> includes;
    if (!prescan_file(ctx, slot, problems, &includes)) {
        f = ScriptFile{};
        return -1;
    }
    // Restoring a save brings its own list of loaded files.
    if (engine::state() != engine::k_state_restoring) {
        for (const IncludeRequest& inc : includes) {
            const std::string includer = f.name;
            load_file_locked(ctx, inc.name, true, problems, includer.c_str(), inc.line, checking);
        }
    }
    return slot;
}

} // namespace

std::string ScriptProblem::text() const {
    if (line > 0) return file + ":" + std::to_string(line) + ": " + message;
    return file + ": " + message;
}

void ScriptBlock::clear_stacks() {
    for (int i = 0; i < k_stack_depth; ++i) {
        loop_starts[i] = loop_ends[i] = nullptr;
        select_starts[i] = select_ends[i] = nullptr;
        case_taken[i] = 0;
    }
    loop_depth = 0;
    select_depth = 0;
}

int ScriptContext::slot_of(const char* p) const {
    for (int i = 0; i < k_max_files; ++i) {
        const ScriptFile& f = files[static_cast<std::size_t>(i)];
        if (f.text && p >= f.data() && p <= f.data() + f.size) return i;
    }
    return -1;
}

void set_scene_hooks(const SceneHooks& hooks) {
    g_scene_hooks = hooks;
}
const SceneHooks& scene_hooks() {
    return g_scene_hooks;
}
void set_choice_hooks(const ChoiceHooks& hooks) {
    g_choice_hooks = hooks;
}
const ChoiceHooks& choice_hooks() {
    return g_choice_hooks;
}

std::string script_resource_name(const std::string& name) {
    std::string out = name.rfind("file:", 0) == 0 ? name.substr(5) : resource_path_prefix() + name;
    std::replace(out.begin(), out.end(), '/', '\\');
    return out;
}

platform::BlockPtr read_script_text(const std::string& resource_name, std::size_t& size,
                                    std::string& error) {
    // Through the file-access layer, so that scripts come from the file cache and archives
    // as every other resource does.
    storage::FileBytes data;
    if (!storage::read_whole_file(resource_name, data, error)) return nullptr;
    size = data.size;
    return std::move(data.data);
}

int line_of(const ScriptContext& context, const char* p) {
    const int slot = context.slot_of(p);
    if (slot < 0) return 0;
    const char* start = context.files[static_cast<std::size_t>(slot)].data();
    return 1 + static_cast<int>(std::count(start, p, '\n'));
}

namespace {
std::atomic<ProblemMode> g_problem_mode{ProblemMode::report};
std::atomic<bool> g_problem_seen{false};
std::mutex g_reported_mutex;
std::set<std::pair<std::string, int>> g_reported;
std::set<std::string> g_linted;

void report_at(const std::string& file, int line, const std::string& message) {
    {
        std::lock_guard guard(g_reported_mutex);
        if (!g_reported.insert({file, line}).second) return;
    }
    const ProblemMode mode = g_problem_mode.load();
    if (mode == ProblemMode::quiet) return;
    std::fprintf(stderr, "%s\n", ScriptProblem{file, line, message}.text().c_str());
    if (mode == ProblemMode::strict && !g_problem_seen.exchange(true)) {
        std::fprintf(stderr, "kestrune: --strict: the run ends at the first script warning\n");
        engine::request_quit();
    }
}

// Each file is checked once, when it is first loaded: what --check would say about it is
// said while the game runs too, once per line, without stopping anything.
void lint_new_files(ScriptContext& context) {
    std::vector<int> slots;
    {
        std::lock_guard guard(g_reported_mutex);
        for (int i = 0; i < k_max_files; ++i) {
            const ScriptFile& f = context.files[static_cast<std::size_t>(i)];
            if (f.text && g_linted.insert(f.name).second) slots.push_back(i);
        }
    }
    if (slots.empty()) return;
    std::vector<ScriptProblem> found;
    lint_context(context, slots, found, false);
    for (const ScriptProblem& p : found) report_at(p.file, p.line, p.message);
}
} // namespace

void set_problem_mode(ProblemMode mode) {
    g_problem_mode = mode;
}
bool problem_ended_run() {
    return g_problem_seen.load();
}

void report_problem(const ScriptContext& context, const char* at, const std::string& message) {
    const int slot = context.slot_of(at);
    const std::string file = slot >= 0 ? context.files[static_cast<std::size_t>(slot)].name : "?";
    report_at(file, line_of(context, at), message);
}

ScriptContext* load_into_new_context(const std::string& file, const char* block_name,
                                     ScriptContext* return_context, int set,
                                     std::vector<ScriptProblem>* problems) {
    std::vector<ScriptProblem> found;
    engine::ScopedLock load_guard(engine::k_lock_script_load);
    auto ctx = std::make_unique<ScriptContext>();
    ctx->set = set;
    ctx->in_use = 1;
    const int slot = load_file_locked(*ctx, file, false, found, nullptr, 0);
    bool ok = slot >= 0;
    ctx->return_context = return_context;
    if (return_context) ctx->host_thread = return_context->host_thread.load();
    if (ok && block_name) {
        ScriptBlock* b = find_block(*ctx, block_name, k_kind_chapter | k_kind_scene, -1);
        if (!b) {
            found.push_back({ctx->files[static_cast<std::size_t>(slot)].name, 0,
                             std::string("no chapter or scene named '") + block_name + "'"});
            ok = false;
        } else {
            ctx->current = b;
        }
    }
    ScriptContext* raw = nullptr;
    if (ok) {
        std::lock_guard guard(g_sets_mutex);
        reap_retired_locked();
        ctx->owner_key = new_owner_key(ctx.get());
        if (g_scene_hooks.create_owner && !g_scene_hooks.create_owner(ctx->owner_key)) {
            found.push_back({ctx->files[static_cast<std::size_t>(slot)].name, 0,
                             "the scene store refused the context's owner node"});
            ok = false;
        } else {
            raw = ctx.get();
            g_sets[set].push_back(std::move(ctx));
        }
    }
    load_guard.unlock();
    print_problems(found, 0);
    if (problems) problems->insert(problems->end(), found.begin(), found.end());
    if (raw) lint_new_files(*raw);
    return raw;
}

int load_into_context(ScriptContext& context, const std::string& file, bool included,
                      std::vector<ScriptProblem>* problems) {
    std::vector<ScriptProblem> found;
    engine::ScopedLock load_guard(engine::k_lock_script_load);
    const int slot = load_file_locked(context, file, included, found, nullptr, 0);
    load_guard.unlock();
    print_problems(found, 0);
    if (problems) problems->insert(problems->end(), found.begin(), found.end());
    if (slot >= 0) lint_new_files(context);
    return slot;
}

std::vector<ScriptProblem> check_script_file(const std::string& file) {
    std::vector<ScriptProblem> found;
    load_detached(file, found);
    return found;
}

std::unique_ptr<ScriptContext> load_detached(const std::string& file,
                                             std::vector<ScriptProblem>& problems) {
    auto ctx = std::make_unique<ScriptContext>();
    load_file_locked(*ctx, file, false, problems, nullptr, 0, true);
    return ctx;
}

void unload_file(ScriptContext& context, int slot) {
    if (slot < 0 || slot >= k_max_files) return;
    {
        std::lock_guard guard(context.m_blocks_mutex);
        context.blocks.remove_if([slot](const auto& b) { return b->file_slot == slot; });
    }
    engine::ScopedLock load_guard(engine::k_lock_script_load);
    context.files[static_cast<std::size_t>(slot)] = ScriptFile{};
}

ScriptBlock* find_block(ScriptContext& context, const char* name, std::int32_t kinds, int slot) {
    std::lock_guard guard(context.m_blocks_mutex);
    for (auto& b : context.blocks) {
        if (kinds && !(b->kind & kinds)) continue;
        if (kinds && b->kind == k_kind_group && !(kinds == k_kind_group)) continue;
        if (slot >= 0 && b->file_slot != slot) continue;
        if (std::strcmp(b->name, name) == 0) return b.get();
    }
    return nullptr;
}

ScriptContext* find_context_of(const ScriptBlock* block) {
    return block ? block->context : nullptr;
}

ScriptContext* find_context_by_owner(std::int32_t owner_key) {
    std::lock_guard guard(g_sets_mutex);
    for (auto& set : g_sets)
        for (auto& c : set)
            if (c->owner_key == owner_key) return c.get();
    return nullptr;
}

ScriptBlock* find_block_by_number(std::uint32_t number) {
    std::lock_guard guard(g_sets_mutex);
    for (auto& set : g_sets)
        for (auto& c : set) {
            std::lock_guard blocks_guard(c->m_blocks_mutex);
            for (auto& b : c->blocks)
                if (b->number == number) return b.get();
        }
    return nullptr;
}

std::vector<ScriptContext*> contexts_of_set(int set) {
    std::lock_guard guard(g_sets_mutex);
    std::vector<ScriptContext*> out;
    for (auto& c : g_sets[set]) out.push_back(c.get());
    return out;
}

void free_context(ScriptContext* context) {
    if (!context) return;
    context->running = 0;
    if (context->owner_key != -1 && g_scene_hooks.release_owner)
        g_scene_hooks.release_owner(context->owner_key);
    // Process threads run statements on this context's blocks: they end before the blocks go.
    bool processes_ended = true;
    {
        std::vector<ScriptBlock*> with_threads;
        {
            std::lock_guard guard(context->m_blocks_mutex);
            for (auto& b : context->blocks)
                if (b->thread.load() >= 0) with_threads.push_back(b.get());
        }
        for (ScriptBlock* b : with_threads)
            if (!stop_process_block(*b)) processes_ended = false;
    }
    const int host = context->host_thread.load();
    const bool on_host = host >= 0 && host == calling_script_thread();
    if (host >= 0 && !on_host && !engine::wait_thread(host, 10000)) {
        std::fprintf(stderr, "script: a script thread did not end within 10 s; its context "
                             "is kept until it does\n");
    }
    context->event.signal();
    context->in_use = 0;
    std::lock_guard guard(g_sets_mutex);
    std::unique_ptr<ScriptContext> owned;
    for (auto& set : g_sets) {
        for (auto it = set.begin(); it != set.end(); ++it) {
            if (it->get() != context) continue;
            owned = std::move(*it);
            set.erase(it);
            break;
        }
        if (owned) break;
    }
    if (!owned) return; // not in a set (already freed)
    for (auto& set : g_sets)
        for (auto& c : set)
            if (c->return_context == context) c->return_context = nullptr;
    // Never free what a running thread may still touch.
    if (on_host || !processes_ended || !thread_gone(host)) {
        g_retired.push_back(std::move(owned));
        return;
    }
    if (owned->thread.load() >= 0) engine::release_thread(owned->thread.load());
}

void adopt_contexts(std::vector<std::unique_ptr<ScriptContext>> contexts, int set) {
    std::lock_guard guard(g_sets_mutex);
    for (auto& c : contexts) {
        c->set = set;
        g_sets[set].push_back(std::move(c));
    }
}

void free_set(int set) {
    // Newest first: a context made by a chapter call runs on the thread of an older one,
    // whose registry entry must outlive it.
    std::vector<ScriptContext*> list = contexts_of_set(set);
    for (auto it = list.rbegin(); it != list.rend(); ++it) free_context(*it);
}

void reap_retired_contexts() {
    std::lock_guard guard(g_sets_mutex);
    reap_retired_locked();
}

bool any_retired_thread_alive() {
    std::lock_guard guard(g_sets_mutex);
    for (auto& c : g_retired)
        if (!thread_gone(c->host_thread.load())) return true;
    return false;
}

} // namespace kestrune::script
