// The render thread: steps every object's actions, composes the changed area of the frame
// from the draw list, presents it and paces itself to the frame interval. Script threads
// hold it while they run a batch of statements and release it at Draw and every wait.
#include "scene/effects.h"
#include "scene/scene_internal.h"

#include "frame/engine.h"
#include "frame/startup_hooks.h"
#include "platform/clock.h"
#include "platform/window.h"
#include "script/commands.h"
#include "script/system_variables.h"
#include "storage/storage.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <mutex>

namespace kestrune::scene {

using namespace detail;

namespace {

constexpr std::array<std::int32_t, 13> k_intervals = {1,  2,  4,   8,   16,  20, 25,
                                                      33, 50, 100, 200, 250, 500};
constexpr std::array<std::int32_t, 13> k_fps = {960, 480, 240, 120, 60, 50, 40,
                                                30,  20,  10,  5,   4,  2};

struct RenderState {
    FrameBuffer frame;
    UpdateRegion region;
    std::mutex region_mutex; // the region is changed by any thread
    platform::Event go{true, false};
    platform::Event wake{true, false}; // ends the pacing sleep at shutdown
    platform::Event ended{true, false};
    std::atomic<bool> running{false};
    std::atomic<bool> paused{false};
    std::atomic<bool> frozen{false};
    std::atomic<std::int32_t> interval_setting{4};
    std::uint32_t last_present = 0;
    int thread = engine::k_no_thread;
    ClipRect clip{0, 0, k_screen_width, k_screen_height};
    OverlayHooks overlay; // read and written under the scene lock
    std::vector<void (*)()> cycle_hooks;
    // --screenshot and --record.
    std::mutex capture_mutex;
    std::vector<std::pair<std::uint32_t, std::string>> screenshots;
    std::string record_dir;
    std::uint32_t record_count = 0;
    std::string record_index; // "<frame> <engine ms> <hash>" per recorded frame
};

RenderState& rs() {
    static RenderState s;
    return s;
}

UpdateRegion::Edges take_region() {
    std::lock_guard guard(rs().region_mutex);
    const UpdateRegion::Edges e = rs().region.edges();
    rs().region.clear();
    return e;
}

bool edges_empty(const UpdateRegion::Edges& e) {
    return e.left == -1 && e.top == -1 && e.right == -1 && e.bottom == -1;
}

ClipRect clip_of(const UpdateRegion::Edges& e) {
    UpdateRegion r;
    r.set(e);
    return r.draw_rect();
}

// Writes the frames asked for by --screenshot whose time has come, and with `all` the rest
// (the run ended before their time: they get the last frame shown).
void take_screenshots(bool all) {
    RenderState& s = rs();
    std::lock_guard guard(s.capture_mutex);
    const std::uint32_t now = platform::tick_ms();
    for (auto it = s.screenshots.begin(); it != s.screenshots.end();) {
        if (all || now >= it->first) {
            if (!all || now >= it->first)
                s.frame.dump_png(it->second.c_str());
            else {
                std::fprintf(stderr,
                             "kestrune: the run ended before %u ms; %s shows its last frame\n",
                             it->first, it->second.c_str());
                s.frame.dump_png(it->second.c_str());
            }
            it = s.screenshots.erase(it);
        } else {
            ++it;
        }
    }
}

// `any_state`: also outside the running states (the pictures a load shows while it runs).
void present_region(const UpdateRegion::Edges& e, bool any_state = false) {
    RenderState& s = rs();
    const std::int32_t st = engine::state();
    if (!any_state && st != engine::k_state_running && st != engine::k_state_system_script) return;
    if (edges_empty(e)) return;
    UpdateRegion r;
    r.set(e);
    const ClipRect copied = s.frame.present(r);
    if (copied.empty()) return;
    if (!s.record_dir.empty()) {
        // The engine time in the name: a stepped run records the same names every time.
        const std::uint32_t frame = s.record_count++;
        const std::uint32_t now = platform::tick_ms();
        char name[48];
        std::snprintf(name, sizeof name, "/%06u_%08u.png", frame, now);
        s.frame.dump_png((s.record_dir + name).c_str());
        char line[64];
        std::snprintf(line, sizeof line, "%06u %u %016llx\n", frame, now,
                      static_cast<unsigned long long>(s.frame.present_hash()));
        s.record_index += line;
    }
    if (platform::Window* w = frame::main_window()) w->post_wake();
}

// Every wait of the render thread. In stepped time it first writes the screenshots whose
// moment has come (the frame is complete: time has not moved since it was composed) and
// wakes no later than the next screenshot's moment, so that a screenshot shows the frame
// composed at exactly its time.
bool render_wait(platform::Event& e, std::uint32_t ms) {
    if (!platform::stepped_clock()) return e.wait(ms);
    take_screenshots(false);
    {
        RenderState& s = rs();
        std::lock_guard guard(s.capture_mutex);
        const std::uint32_t now = platform::tick_ms();
        for (const auto& shot : s.screenshots)
            if (shot.first > now) ms = std::min(ms, shot.first - now);
    }
    return e.wait(ms);
}

void pace() {
    RenderState& s = rs();
    if (engine::skip_mode()) {
        s.last_present = platform::tick_ms();
        return;
    }
    const double wait = interval_ms(s.interval_setting.load()) / current_speed() -
                        platform::tick_diff(platform::tick_ms(), s.last_present);
    if (wait >= 1.0) render_wait(s.wake, static_cast<std::uint32_t>(wait));
    s.last_present = platform::tick_ms();
}

bool occluder(const SceneObject& o, const ClipRect& area) {
    const Drawable* d = o.drawable.get();
    if (!d || !d->image || !o.shown) return false;
    if ((d->mode & k_blend_mode_bits) != (k_blend_normal & k_blend_mode_bits)) return false;
    const std::int32_t kind = d->image->kind;
    if (kind == k_image_surface || kind == k_image_cleared_surface || (kind & k_kind_alpha_bit))
        return false;
    const Slot& draw = o.slots[k_slot_draw];
    if (draw.code != k_op_draw || d->alpha != 255 || o.render != default_render) return false;
    if (o.trail || o.mask || d->target || o.transition || o.kind) return false;
    if (o.hideable && text_erased()) return false;
    const QuadGeometry& g = d->geometry;
    if (g.culled || g.corner_count != 4) return false;
    if (g.screen_y[0] != g.screen_y[1] || g.screen_y[2] != g.screen_y[3]) return false;
    if (g.screen_x[0] != g.screen_x[3] || g.screen_x[1] != g.screen_x[2]) return false;
    const ClipRect b = screen_bounds(*d);
    return b.left <= area.left && b.top <= area.top && b.right >= area.right &&
           b.bottom >= area.bottom;
}

// Index of the first entry to draw for `area`; `covered` tells whether an opaque object
// covers all of it (then nothing needs clearing).
std::size_t first_to_draw(const std::vector<SceneObject*>& list, const ClipRect& area,
                          bool& covered) {
    covered = false;
    for (std::size_t i = list.size(); i-- > 0;) {
        if (occluder(*list[i], area)) {
            covered = true;
            return i;
        }
    }
    return 0;
}

void compose_area(const ClipRect& area) {
    RenderState& s = rs();
    std::vector<SceneObject*>& list = current_list();
    sort_list(list);
    bool covered = false;
    const std::size_t start = first_to_draw(list, area, covered);
    s.clip = area;
    const std::vector<SceneObject*> order(list.begin() + static_cast<std::ptrdiff_t>(start),
                                          list.end());
    draw_objects(order, area, !covered);
    if (s.overlay.draw) s.overlay.draw(s.frame, area);
    s.frame.note_drawn();
}

void update_step(std::uint32_t now);

// The express-skip animation stands for the whole scene: its frame is drawn over the whole
// screen when it changed, and nothing else is composed.
void compose_express_step(engine::ScopedLock& scene_guard) {
    RenderState& s = rs();
    take_region();
    if (!express_frame_pending()) {
        scene_guard.unlock();
        if (!engine::skip_mode())
            render_wait(s.wake, static_cast<std::uint32_t>(interval_ms(s.interval_setting)));
        s.last_present = platform::tick_ms();
        return;
    }
    const ClipRect all{0, 0, k_screen_width, k_screen_height};
    draw_express_skip(s.frame);
    if (s.overlay.draw) s.overlay.draw(s.frame, all);
    scene_guard.unlock();
    present_region({0, 0, k_screen_width, k_screen_height});
    pace();
}

// Gives the scene lock back before it presents or waits.
void compose_step(engine::ScopedLock& scene_guard) {
    RenderState& s = rs();
    if (express_skip_shown()) {
        compose_express_step(scene_guard);
        return;
    }
    const UpdateRegion::Edges e = take_region();
    if (edges_empty(e)) {
        scene_guard.unlock();
        if (!engine::skip_mode())
            render_wait(s.wake, static_cast<std::uint32_t>(interval_ms(s.interval_setting)));
        s.last_present = platform::tick_ms();
        return;
    }
    compose_area(clip_of(e));
    scene_guard.unlock();
    present_region(e);
    pace();
}

void render_routine(void*) {
    RenderState& s = rs();
    const bool stepped = platform::stepped_clock();
    while (s.running.load() && !engine::quit_requested()) {
        engine::note_render_pass();
        const platform::Tick began = platform::tick_ms();
        // Stepped, screenshots are written before each wait, once the frame is composed.
        if (!stepped) take_screenshots(false);
        if (!s.go.is_signalled()) {
            // Held: wake now and then for the screenshots; the release restarts the clocks.
            render_wait(s.go, 10);
            continue;
        }
        const std::int32_t st = engine::state();
        if (!engine::in_running_range(st) ||
            (st != engine::k_state_system_script && (st & 0xFF) != 0)) {
            render_wait(s.wake, 4);
            engine::ScopedLock scene_guard(engine::k_lock_scene);
            reset_object_clocks();
            continue;
        }
        if (s.frozen.load() || s.paused.load()) {
            render_wait(s.wake, static_cast<std::uint32_t>(interval_ms(s.interval_setting)));
            continue;
        }
        engine::ScopedLock scene_guard(engine::k_lock_scene);
        update_step(platform::tick_ms());
        compose_step(scene_guard);
        // Skip mode composes without pacing; in stepped time a cycle still takes a
        // millisecond, or time would never move on.
        if (stepped && platform::tick_ms() == began) render_wait(s.wake, 1);
    }
    s.ended.signal();
}

// ---- update step -------------------------------------------------------------------------

// The cycle time while the render thread steps the objects; null outside the update step
// and on every other thread.
thread_local const std::uint32_t* t_cycle_now = nullptr;

int call(SceneObject& o, SlotIndex i) {
    return o.slots[static_cast<std::size_t>(i)].fn(o);
}

void update_step(std::uint32_t now) {
    step_express_skip(now);
    if (script::setting_number("full_scene_update") != 0) mark_all_changed();
    if (rs().overlay.step && !express_skip_shown()) rs().overlay.step();
    for (void (*hook)() : rs().cycle_hooks) hook();
    std::vector<SceneObject*>& list = current_list();
    sort_list(list);
    const std::vector<SceneObject*> order = list;
    // Every object of the cycle is stepped at the same time: each action's now and each
    // object's last tick are this one time, however long the cycle takes to reach it.
    t_cycle_now = &now;
    for (SceneObject* o : order) {
        if (o->no_actions) {
            o->last_tick = now;
            continue;
        }
        bool moved = false;
        call(*o, k_slot_kind_update);
        call(*o, k_slot_fade);
        moved |= call(*o, k_slot_move) > 0;
        moved |= call(*o, k_slot_zoom) > 0;
        moved |= call(*o, k_slot_rotate) > 0;
        moved |= call(*o, k_slot_transition) > 0;
        const int tick = call(*o, k_slot_kind_tick);
        if (tick <= 0 && tick != -4 && o->slots[k_slot_kind_tick].code == k_op_text_tick)
            set_slot(*o, k_slot_kind_tick, k_op_text_finished);
        moved |= call(*o, k_slot_shake) > 0;
        if (!moved && o->camera && o->camera->changed && o->drawable) reproject(*o);
        if (o->effect) step_effect(*o);
        o->last_tick = now;
    }
    t_cycle_now = nullptr;
    for (SceneObject* o : order) {
        if (o->camera) o->camera->changed = false;
        if (o->effect) effect_after_update(*o);
    }
    // Auto-dispose: objects marked Disused go once nothing of theirs runs.
    if (!gates_open()) return;
    bool again = true;
    while (again) {
        again = false;
        for (SceneObject* o : current_list()) {
            if (o->disused && !o->locked && !object_busy(*o, k_op_none)) {
                free_object(*o);
                mark_all_changed();
                again = true;
                break;
            }
        }
    }
}

} // namespace

// ---- public face --------------------------------------------------------------------------

FrameBuffer& frame_buffer() {
    return rs().frame;
}

const ClipRect& compose_clip() {
    return rs().clip;
}

void mark_changed(std::int32_t x, std::int32_t y, std::int32_t w, std::int32_t h) {
    std::int64_t l = std::max<std::int64_t>(x, 0), t = std::max<std::int64_t>(y, 0);
    std::int64_t r = std::min<std::int64_t>(std::int64_t(x) + w, k_screen_width);
    std::int64_t b = std::min<std::int64_t>(std::int64_t(y) + h, k_screen_height);
    if (r <= l || b <= t) return;
    std::lock_guard guard(rs().region_mutex);
    rs().region.mark(static_cast<std::int32_t>(l), static_cast<std::int32_t>(t),
                     static_cast<std::int32_t>(r - l), static_cast<std::int32_t>(b - t),
                     engine::skip_mode(), true);
}

void mark_all_changed() {
    mark_changed(0, 0, k_screen_width, k_screen_height);
}

bool region_empty() {
    std::lock_guard guard(rs().region_mutex);
    return rs().region.empty();
}

std::int32_t interval_setting() {
    return rs().interval_setting.load();
}

void set_interval_setting(std::int32_t setting) {
    if (setting >= 0 && setting < 13) rs().interval_setting.store(setting);
}

std::int32_t interval_ms(std::int32_t setting) {
    return k_intervals[static_cast<std::size_t>(std::clamp(setting, 0, 12))];
}

std::int32_t frames_per_second(std::int32_t setting) {
    return k_fps[static_cast<std::size_t>(std::clamp(setting, 0, 12))];
}

double current_speed() {
    return script::speed_factor();
}

void commit_draw_list() {
    for (SceneObject* o : current_list()) {
        if (!o->shown || !o->drawn) mark_object(*o);
        o->shown = true;
        for (ActionCore* a : std::initializer_list<ActionCore*>{
                 o->move.get(), o->fade.get(), o->zoom.get(), o->rotate.get(), o->shake.get(),
                 o->transition.get()})
            if (a) a->started = true;
    }
}

void reset_object_clocks() {
    const std::uint32_t now = platform::tick_ms();
    for (auto& l : store().lists)
        for (SceneObject* o : l.entries) {
            o->last_tick = now;
            if (o->trail)
                for (auto& t : o->trail->last_update) t = now;
        }
}

bool render_running() {
    return rs().running.load();
}

bool render_paused() {
    return !rs().go.is_signalled();
}

void render_pause() {
    RenderState& s = rs();
    if (!s.running.load() || engine::quit_requested()) return;
    s.paused.store(true);
    engine::ScopedLock scene_guard(engine::k_lock_scene);
    s.go.reset();
}

void render_resume() {
    RenderState& s = rs();
    if (!s.running.load() || engine::quit_requested()) return;
    engine::ScopedLock scene_guard(engine::k_lock_scene);
    commit_draw_list();
    reset_object_clocks();
    s.go.signal();
    scene_guard.unlock();
    s.paused.store(false);
}

void draw_now() {
    RenderState& s = rs();
    if (s.frozen.load()) return;
    engine::ScopedLock scene_guard(engine::k_lock_scene);
    take_region();
    const ClipRect all{0, 0, k_screen_width, k_screen_height};
    if (express_skip_shown()) {
        draw_express_skip(s.frame);
        if (s.overlay.draw) s.overlay.draw(s.frame, all);
    } else {
        compose_area(all);
    }
    scene_guard.unlock();
    present_region({0, 0, k_screen_width, k_screen_height});
}

void present_with_cover(const Drawable* cover) {
    RenderState& s = rs();
    engine::ScopedLock scene_guard(engine::k_lock_scene);
    take_region();
    const ClipRect all{0, 0, k_screen_width, k_screen_height};
    compose_area(all);
    if (cover && cover->image && cover->alpha > 0) draw_drawable(s.frame, *cover, all);
    scene_guard.unlock();
    present_region({0, 0, k_screen_width, k_screen_height}, true);
}

void set_overlay_hooks(const OverlayHooks& hooks) {
    engine::ScopedLock scene_guard(engine::k_lock_scene);
    rs().overlay = hooks;
}

void add_cycle_hook(void (*hook)()) {
    engine::ScopedLock scene_guard(engine::k_lock_scene);
    auto& hooks = rs().cycle_hooks;
    if (std::find(hooks.begin(), hooks.end(), hook) == hooks.end()) hooks.push_back(hook);
}

void set_frozen(bool frozen) {
    rs().frozen.store(frozen);
}

void run_cycle_for_tests() {
    engine::ScopedLock scene_guard(engine::k_lock_scene);
    update_step(platform::tick_ms());
    const UpdateRegion::Edges e = take_region();
    if (!edges_empty(e)) compose_area(clip_of(e));
    scene_guard.unlock();
    if (!edges_empty(e)) {
        UpdateRegion r;
        r.set(e);
        rs().frame.present(r);
    }
}

namespace detail {

std::uint32_t cycle_time() {
    return t_cycle_now ? *t_cycle_now : platform::tick_ms();
}

void start_render_thread() {
    RenderState& s = rs();
    if (s.running.load()) return;
    const frame::Options& opt = frame::current_options();
    {
        std::lock_guard guard(s.capture_mutex);
        s.screenshots = opt.screenshots;
        s.record_dir = opt.record_dir;
        s.record_count = 0;
        s.record_index.clear();
        if (!s.record_dir.empty()) {
            std::error_code ec;
            std::filesystem::create_directories(s.record_dir, ec);
        }
    }
    s.go.reset();
    s.wake.reset();
    s.ended.reset();
    s.paused.store(false);
    s.running.store(true);
    s.last_present = platform::tick_ms();
    mark_all_changed();
    s.thread = engine::create_thread(true, render_routine, nullptr);
    if (s.thread == engine::k_no_thread) {
        s.running.store(false);
        std::fprintf(stderr, "kestrune: the render thread could not be started\n");
    }
}

void stop_render_thread() {
    RenderState& s = rs();
    if (!s.running.load()) return;
    s.running.store(false);
    s.wake.signal();
    s.go.signal();
    if (s.thread != engine::k_no_thread) {
        if (!engine::wait_thread(s.thread, 5000)) {
            engine::request_thread_stop(s.thread);
            engine::wait_thread(s.thread, 1500);
        }
        engine::release_thread(s.thread);
        s.thread = engine::k_no_thread;
    }
    take_screenshots(true);
    if (!s.record_dir.empty() && !s.record_index.empty())
        storage::write_file(s.record_dir + "/frames.txt", s.record_index.data(),
                            s.record_index.size(), storage::WriteMode::plain);
    s.go.reset();
    release_express_skip();
}

platform::Event* render_ended_event() {
    return &rs().ended;
}

} // namespace detail

} // namespace kestrune::scene
