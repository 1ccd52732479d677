// The scene object store: owner trees, draw lists, creation, deletion and requests.
#include "scene/effects.h"
#include "scene/scene_internal.h"

#include "frame/engine.h"
#include "platform/clock.h"
#include "script/context.h"

#include <algorithm>
#include <cstring>
#include <mutex>

namespace kestrune::scene {

namespace detail {

Store& store() {
    static Store s;
    return s;
}

DrawList& current_draw_list() {
    return store().lists[engine::state() == engine::k_state_system_script ? 1 : 0];
}

SceneOwner* find_owner(std::int32_t key) {
    if (key == -1) return nullptr;
    for (auto& o : store().owners)
        if (o->key == key) return o.get();
    return nullptr;
}

std::uint32_t name_hash(std::string_view name) {
    std::uint32_t h = 0;
    for (unsigned char c : name) h += c;
    return h;
}

void wait_gate(platform::Event& gate) {
    if (gate.wait(1500)) return;
    // Someone holds it for long: let every process look at its event, then give it one
    // more chance; after that the operation goes on regardless.
    for (script::ScriptContext* c : script::contexts_of_set(0)) c->event.signal();
    gate.wait(1500);
}

namespace {

std::mutex g_pending_mutex;
std::vector<script::ScriptBlock*> g_pending_processes;

void remove_from_lists(SceneObject* o) {
    for (DrawList& l : store().lists) {
        auto it = std::find(l.entries.begin(), l.entries.end(), o);
        if (it != l.entries.end()) {
            l.entries.erase(it);
            l.occlusion_start = 0;
        }
    }
}

// Every other object drops its links to `gone` (focus neighbours); listeners of other
// subsystems drop theirs.
void drop_references(SceneObject& gone) {
    for (DrawList& l : store().lists)
        for (SceneObject* o : l.entries)
            for (SceneObject*& f : o->focus)
                if (f == &gone) f = nullptr;
    for (auto fn : store().free_listeners) fn(gone);
}

} // namespace

void stop_pending_processes() {
    std::vector<script::ScriptBlock*> blocks;
    {
        std::lock_guard guard(g_pending_mutex);
        blocks.swap(g_pending_processes);
    }
    for (script::ScriptBlock* b : blocks) script::stop_process_block(*b);
}

void free_object(SceneObject& o) {
    while (!o.children.empty()) {
        free_object(*o.children.back());
        // free_object unlinks the child from its parent.
    }
    drop_references(o);
    mark_object(o);
    release_actions(o);
    release_effect(o);
    if (o.kind && o.kind->release) o.kind->release(o);
    if (o.process) {
        // The thread may be waiting for the scene lock: stop it once the lock is free.
        o.process->run_state.store(script::k_run_stopped);
        o.process->event.signal();
        std::lock_guard guard(g_pending_mutex);
        g_pending_processes.push_back(o.process);
        o.process = nullptr;
    }
    remove_from_lists(&o);
    if (SceneOwner* owner = find_owner(o.owner_key)) owner->count--;
    SceneObject* parent = o.parent;
    if (parent) {
        auto& kids = parent->children;
        auto it = std::find_if(kids.begin(), kids.end(), [&](auto& p) { return p.get() == &o; });
        if (it != kids.end()) kids.erase(it); // frees o
    }
}

int delete_one(SceneObject& o) {
    if (o.locked) return 0;
    free_object(o);
    return 1;
}

} // namespace detail

using namespace detail;

const PixelImage* SceneObject::image() const {
    if (drawable && drawable->image) return drawable->image;
    return source_image.get();
}

// ---- operations by code -------------------------------------------------------------------

namespace {

std::array<SlotFn, 0x7000> g_operations{};

int op_idle(SceneObject&) {
    return -1;
}
int op_hidden(SceneObject& o) {
    o.drawn = true;
    return -2;
}
int op_disabled(SceneObject& o) {
    o.drawn = true;
    return -3;
}
int op_finished(SceneObject& o) {
    o.drawn = true;
    return -5;
}

} // namespace

void register_operation(std::uint16_t code, SlotFn fn) {
    if (code < g_operations.size()) g_operations[code] = fn;
}

SlotFn operation_for(std::uint16_t code) {
    return code < g_operations.size() ? g_operations[code] : nullptr;
}

void set_slot(SceneObject& o, SlotIndex slot, std::uint16_t code) {
    SlotFn fn = operation_for(code);
    if (!fn) {
        code = k_op_idle;
        fn = op_idle;
    }
    o.slots[static_cast<std::size_t>(slot)] = Slot{code, fn};
}

// ---- lists ----------------------------------------------------------------------------------

std::vector<SceneObject*>& current_list() {
    return current_draw_list().entries;
}

std::vector<SceneObject*>& main_list() {
    return store().lists[0].entries;
}

void sort_list(std::vector<SceneObject*>& list, bool force) {
    DrawList* owner = nullptr;
    for (DrawList& l : store().lists)
        if (&l.entries == &list) owner = &l;
    if (owner && owner->sorted && !force) return;
    std::stable_sort(list.begin(), list.end(), [](const SceneObject* a, const SceneObject* b) {
        if (a->priority != b->priority) return a->priority < b->priority;
        return a->sequence < b->sequence;
    });
    if (owner) {
        owner->sorted = true;
        owner->occlusion_start = 0;
    }
}

void note_priority_changed() {
    current_draw_list().sorted = false;
}

std::size_t object_count() {
    return store().lists[0].entries.size() + store().lists[1].entries.size();
}

void add_free_listener(void (*fn)(SceneObject& o)) {
    store().free_listeners.push_back(fn);
}

bool gates_open() {
    Store& s = store();
    return s.delete_gate.is_signalled() && s.replace_gate.is_signalled() &&
           s.wait_gate.is_signalled();
}

// ---- owners --------------------------------------------------------------------------------

bool add_owner(std::int32_t key) {
    if (key == -1) return false;
    engine::ScopedLock scene_guard(engine::k_lock_scene);
    bool ok = false;
    if (!find_owner(key)) {
        auto owner = std::make_unique<SceneOwner>();
        owner->key = key;
        owner->root.name = "ROOT";
        owner->root.name_hash = name_hash("ROOT");
        owner->root.owner_key = key;
        owner->root.no_actions = true;
        store().owners.push_back(std::move(owner));
        ok = true;
    }
    return ok;
}

void remove_owner(std::int32_t key) {
    engine::ScopedLock scene_guard(engine::k_lock_scene);
    if (SceneOwner* owner = find_owner(key)) {
        while (!owner->root.children.empty()) free_object(*owner->root.children.back());
        auto& owners = store().owners;
        owners.remove_if([key](const auto& o) { return o->key == key; });
    }
    scene_guard.unlock();
    stop_pending_processes();
}

bool owner_exists(std::int32_t key) {
    engine::ScopedLock scene_guard(engine::k_lock_scene);
    const bool found = find_owner(key) != nullptr;
    return found;
}

// ---- create ----------------------------------------------------------------------------------

SceneObject* create_object(std::int32_t owner_key, std::string_view path) {
    if (owner_key == -1 || path.empty() || path.front() == '/' || path.back() == '/')
        return nullptr;
    if (path.size() >= 256) return nullptr;
    SceneOwner* owner = find_owner(owner_key);
    if (!owner) return nullptr;

    if (find_object(owner_key, path)) {
        // Replacement: another thread may be deleting or replacing meanwhile, so wait for
        // the replace gate without the lock, then look the path up again.
        engine::scene_unlock();
        wait_gate(store().replace_gate);
        store().replace_gate.reset();
        engine::scene_lock(); // the caller's hold, taken again
        owner = find_owner(owner_key);
        SceneObject* old = owner ? find_object(owner_key, path) : nullptr;
        const bool refused = old && old->locked;
        if (old && !refused) free_object(*old);
        store().replace_gate.signal();
        if (!owner || refused) return nullptr;
    }

    SceneObject* parent = &owner->root;
    std::string_view name = path;
    const std::size_t slash = path.rfind('/');
    if (slash != std::string_view::npos) {
        parent = find_object(owner_key, path.substr(0, slash));
        if (!parent) return nullptr;
        name = path.substr(slash + 1);
    }
    if (name.empty() || name.find('*') != std::string_view::npos) return nullptr;

    auto made = std::make_unique<SceneObject>();
    SceneObject& o = *made;
    for (int i = 0; i < k_slot_count; ++i) set_slot(o, static_cast<SlotIndex>(i), k_op_idle);
    o.render = default_render;
    o.last_tick = platform::tick_ms();
    DrawList& list = current_draw_list();
    o.sequence = ++list.sequence;
    if (parent->inherit && parent != &owner->root) {
        o.offset_x = parent->offset_x;
        o.offset_y = parent->offset_y;
        o.offset_z = parent->offset_z;
    }
    o.mask = parent->mask;
    o.camera = parent->camera;
    o.name = std::string(name);
    o.name_hash = name_hash(name);
    o.owner_key = owner_key;
    o.parent = parent;
    parent->children.push_back(std::move(made));
    list.entries.push_back(&o);
    list.sorted = false;
    owner->count++;
    return &o;
}

// ---- delete and requests ---------------------------------------------------------------------

int delete_objects(std::int32_t owner_key, std::string_view path) {
    Store& s = store();
    wait_gate(s.delete_gate);
    s.delete_gate.reset();
    wait_gate(s.replace_gate);
    s.replace_gate.reset();
    wait_gate(s.wait_gate);
    engine::ScopedLock scene_guard(engine::k_lock_scene);
    // Collect first: deleting changes the sibling lists that the walk follows.
    std::vector<SceneObject*> found;
    apply(
        owner_key, path,
        [&](SceneObject& o) {
            found.push_back(&o);
            return 1;
        },
        ApplyOptions{.no_children = true});
    int result = 0;
    // Delete deepest first; an object already freed with an ancestor is skipped.
    for (auto it = found.rbegin(); it != found.rend(); ++it) {
        bool alive = false;
        for (DrawList& l : s.lists)
            if (std::find(l.entries.begin(), l.entries.end(), *it) != l.entries.end()) alive = true;
        if (alive) result |= delete_one(**it);
    }
    s.delete_gate.signal();
    s.replace_gate.signal();
    scene_guard.unlock();
    stop_pending_processes();
    return result;
}

bool is_request_word(std::string_view text, std::string_view word) {
    if (text.substr(0, word.size()) != word) return false;
    return text.size() == word.size() || text[word.size()] == '\t' || text[word.size()] == ' ';
}

int default_request(SceneObject& o, std::string_view word) {
    auto is = [&](std::string_view w) { return is_request_word(word, w); };
    if (is("Lock"))
        o.locked = true;
    else if (is("UnLock"))
        o.locked = false;
    else if (is("Disused"))
        o.disused = true;
    else if (is("Hideable"))
        o.hideable = true;
    else if (is("Clickable"))
        o.clickable = true;
    else if (is("UnClickable"))
        o.clickable = false;
    else if (is("Passive"))
        return passive_request(o);
    else
        return -1;
    return 1;
}

int request(std::int32_t owner_key, std::string_view path, std::string_view text, bool* unknown) {
    bool reached = false, known = false;
    engine::ScopedLock scene_guard(engine::k_lock_scene);
    const int r = apply(
        owner_key, path,
        [&](SceneObject& o) {
            reached = true;
            if (o.kind && o.kind->request) {
                const int k = o.kind->request(o, text);
                if (k >= 0) {
                    known = true;
                    return k;
                }
            }
            if (o.drawable) {
                const int g = graphic_request(o, text);
                if (g >= 0) {
                    known = true;
                    return g;
                }
            }
            const int d = default_request(o, text);
            known |= d >= 0;
            return std::max(d, 0);
        },
        ApplyOptions{.no_children = true});
    scene_guard.unlock();
    if (unknown) *unknown = reached && !known;
    return r;
}

int set_alias(std::int32_t owner_key, std::string_view alias, std::string_view path) {
    engine::ScopedLock scene_guard(engine::k_lock_scene);
    // One holder per alias: take it from everyone first.
    for (DrawList& l : store().lists)
        for (SceneObject* o : l.entries)
            if (!alias.empty() && o->alias == alias) o->alias.clear();
    const int r = apply(
        owner_key, path,
        [&](SceneObject& o) {
            o.alias = std::string(alias.substr(0, 255));
            return 1;
        },
        ApplyOptions{.no_children = true});
    return r;
}

bool position_of(std::string_view path, std::int32_t owner_key, std::int32_t& x, std::int32_t& y) {
    engine::ScopedLock scene_guard(engine::k_lock_scene);
    SceneObject* found = owner_key != -1 ? find_object(owner_key, path) : nullptr;
    if (!found)
        for (auto& owner : store().owners)
            if ((found = find_object(owner->key, path))) break;
    if (found) {
        x = found->x;
        y = found->y;
    }
    scene_guard.unlock();
    return found != nullptr;
}

void mark_excluded(std::int32_t owner_key, std::string_view path) {
    engine::ScopedLock scene_guard(engine::k_lock_scene);
    apply(owner_key, path, [](SceneObject& o) {
        o.excluded = true;
        set_slot(o, k_slot_draw, k_op_disabled);
        return 1;
    });
}

// ---- init and shutdown -------------------------------------------------------------------------

bool init_scene(bool start_thread) {
    Store& s = store();
    if (s.ready) return true;
    register_operation(k_op_idle, op_idle);
    register_operation(k_op_hidden, op_hidden);
    register_operation(k_op_disabled, op_disabled);
    register_operation(k_op_text_finished, op_finished);
    register_action_operations();
    register_kind_operations();
    for (DrawList& l : s.lists) l = DrawList{};
    s.delete_gate.signal();
    s.replace_gate.signal();
    s.wait_gate.signal();
    s.ready = true;
    if (start_thread) start_render_thread();
    return true;
}

void shutdown_scene() {
    Store& s = store();
    if (!s.ready) return;
    stop_render_thread();
    engine::ScopedLock scene_guard(engine::k_lock_scene);
    for (auto& owner : s.owners)
        while (!owner->root.children.empty()) free_object(*owner->root.children.back());
    s.owners.clear();
    for (DrawList& l : s.lists) l = DrawList{};
    s.ready = false;
    scene_guard.unlock();
    std::lock_guard guard(g_pending_mutex);
    g_pending_processes.clear();
}

bool scene_ready() {
    return store().ready;
}

} // namespace kestrune::scene
