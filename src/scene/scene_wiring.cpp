// Plugs the scene into the engine: start-up and stop work, the window present, the render
// hold and release, the hooks of the script engine and the command table.
#include "scene/effects.h"
#include "scene/scene_commands.h"

#include "frame/engine.h"
#include "frame/startup_hooks.h"
#include "platform/clock.h"
#include "platform/window.h"
#include "script/context.h"
#include "storage/storage.h"

namespace kestrune::scene {

using namespace detail;

namespace detail {
platform::Event* render_ended_event();
}

namespace {

bool create_group(script::ScriptContext& context, script::ScriptBlock& block, const char* path) {
    engine::ScopedLock scene_guard(engine::k_lock_scene);
    SceneObject* o = create_object(context.owner_key, path);
    if (o) {
        o->creator = block.object_prefix;
        o->creating_command = std::string("CreateName(\"") + path + "\");";
        o->no_actions = true;
        o->drawn = true;
        set_slot(*o, k_slot_draw, k_op_idle);
    }
    scene_guard.unlock();
    return o != nullptr;
}

void delete_owner_objects(std::int32_t owner_key, const char* prefix) {
    delete_objects(owner_key, prefix && *prefix ? prefix : "*");
}

void restart_clocks() {
    engine::ScopedLock scene_guard(engine::k_lock_scene);
    reset_object_clocks();
}

void resume_scene() {
    restart_clocks();
    mark_all_changed();
}

void commit_for_redraw() {
    engine::ScopedLock scene_guard(engine::k_lock_scene);
    commit_draw_list();
}

bool object_position(const std::string& path, std::int32_t owner_key, double& x, double& y) {
    std::int32_t ix = 0, iy = 0;
    if (!position_of(path, owner_key, ix, iy)) return false;
    x = ix;
    y = iy;
    return true;
}

bool pointer_over_clickable() {
    std::int32_t px = 0, py = 0;
    engine::pointer_position(px, py);
    bool over = false;
    engine::ScopedLock scene_guard(engine::k_lock_scene);
    for (SceneObject* o : current_list()) {
        if (!o->clickable || !o->shown || !o->drawable) continue;
        const ClipRect b = screen_bounds(*o->drawable);
        if (px >= b.left && px < b.right && py >= b.top && py < b.bottom) over = true;
    }
    return over;
}

// Shows what the render thread presented, on the main thread.
void show_presented() {
    platform::Window* w = frame::main_window();
    if (!w) return;
    frame_buffer().take_presented(
        [w](const std::uint8_t* bgra, std::int32_t stride, const ClipRect& changed) {
            w->present(bgra, stride, changed.left, changed.top, changed.right, changed.bottom);
        });
}

std::shared_ptr<PixelImage> capture(std::string_view which) {
    if (which != "SCREEN" && which != "SCENE") return nullptr;
    auto image = std::make_shared<PixelImage>();
    if (!frame_buffer().capture(k_screen_width, *image)) return nullptr;
    image->kind = k_kind_capture;
    return image;
}

bool start() {
    if (!init_scene(true)) return false;
    storage::set_capture_provider(capture);
    return true;
}

void stop() {
    shutdown_scene();
}

// The raster worker shares the larger draws of the render thread. A stepped run draws
// everything on the calling thread instead, so that it is the same on any machine.
bool start_workers() {
    if (!platform::stepped_clock()) start_raster_workers();
    return true;
}

} // namespace

void register_with_frame() {
    static bool done = false;
    if (!done) {
        done = true;
        frame::StartupHooks& h = frame::startup_hooks();
        h.start_effect_workers.push_back(start_workers);
        h.stop_effect_workers.push_back(stop_raster_workers);
        h.start_render.push_back(start);
        h.stop_render.push_back(stop_render_thread);
        h.release_scene.push_back(stop);
        h.main_loop_pass.push_back(show_presented);
    }
    // The hooks below are installed again on every call (tests reset them).

    engine::RenderHooks render;
    render.hold = render_pause;
    render.release = render_resume;
    render.is_held = render_paused;
    render.is_running = render_running;
    engine::set_render_hooks(render);

    engine::WaitSources sources = engine::wait_sources(); // keep the input's sources
    sources.render_thread_ended = [] { return render_ended_event(); };
    engine::set_wait_sources(sources);

    script::SceneHooks scene_hooks = script::scene_hooks();
    scene_hooks.create_owner = add_owner;
    scene_hooks.release_owner = remove_owner;
    scene_hooks.delete_objects = delete_owner_objects;
    scene_hooks.create_group = create_group;
    scene_hooks.resume_scene = resume_scene;
    script::set_scene_hooks(scene_hooks);

    script::CommandHooks& ch = script::command_hooks();
    ch.mark_all_changed = mark_all_changed;
    ch.mark_objects_for_redraw = commit_for_redraw;
    ch.restart_object_clocks = restart_clocks;
    ch.object_position = object_position;
    ch.pointer_over_clickable = pointer_over_clickable;

    commands::register_object_commands();
    commands::register_image_commands();
    commands::register_action_commands();
    commands::register_wait_commands();
    commands::register_choice_commands();
    commands::register_scrollbar_commands();
    commands::register_window_commands();
    detail::register_effect_commands();
}

} // namespace kestrune::scene
