// CreateWindow: a sub-screen that clips everything created under it to its rectangle; the
// objects under it are placed relative to it, so that moving them scrolls its content.
#include "scene/scene_commands.h"

#include "frame/engine.h"
#include "script/arguments.h"
#include "script/context.h"
#include "script/scanner.h"

namespace kestrune::scene {

namespace {

bool cmd_create_window(script::CommandCall& call) {
    if (call.path.empty()) return true;
    const std::string ws = call.arg(4), hs = call.arg(5);
    if (!script::is_number_text(ws) || !script::is_number_text(hs)) {
        commands::problem(call, "CreateWindow: the width and height must be numbers");
        return true;
    }
    const std::int64_t w = script::argument_int(ws), h = script::argument_int(hs);
    if (!commands::size_ok(call, w, h, "CreateWindow")) return true;
    commands::hold_for_group(call);
    engine::ScopedLock scene_guard(engine::k_lock_scene);
    CreateArgs args = commands::create_args(call, 1, 2);
    const bool follows_parent = commands::is_true_word(call.arg(6));
    if (SceneObject* o = create_kind_object(args, nullptr, nullptr, nullptr)) {
        if (!follows_parent) {
            // The position is absolute: take back the parent's offset.
            o->x -= o->offset_x;
            o->y -= o->offset_y;
            o->offset_x = o->offset_y = 0;
            o->inherit = false;
        }
        o->no_actions = true;
        o->drawn = true;
        set_slot(*o, k_slot_draw, k_op_idle);
        o->window_clip = std::make_unique<ClipRect>(
            ClipRect{o->x, o->y, detail::saturate32(o->x + w), detail::saturate32(o->y + h)});
    }
    return true;
}

} // namespace

namespace commands {

void register_window_commands() {
    script::register_command("CreateWindow", cmd_create_window);
}

} // namespace commands

} // namespace kestrune::scene
