// The action commands (Move, BezierMove, MoveCamera, MoveCube, Fade, Zoom, Rotate, Shake,
// DrawTransition, SetBlur), the object waits and the scene's built-in functions.
#include "scene/scene_commands.h"

#include "frame/engine.h"
#include "platform/clock.h"
#include "platform/thread.h"
#include "script/arguments.h"
#include "script/context.h"
#include "script/expressions.h"
#include "script/variables.h"

#include <cmath>

namespace kestrune::scene::commands {

using script::CommandCall;

namespace {

// A target: a number is absolute, `@` n relative, `@` then a variable adds its value.
// An empty argument keeps the current value. False for an unknown variable.
bool target_value(const std::string& s, std::int32_t current, std::int32_t& out, bool& absolute) {
    absolute = false;
    if (s.empty()) {
        out = current;
        return true;
    }
    if (s.front() == '@') {
        const std::string rest = s.substr(1);
        if (!rest.empty() && (rest.front() == '$' || rest.front() == '#')) {
            double v = 0;
            if (!script::var_get_number(rest, v)) return false;
            out = current + static_cast<std::int32_t>(v);
            return true;
        }
        out = current + script::argument_int(rest);
        return true;
    }
    if (s.front() == '$' || s.front() == '#') {
        double v = 0;
        if (!script::var_get_number(s, v)) return false;
        out = static_cast<std::int32_t>(v);
        absolute = true;
        return true;
    }
    out = script::argument_int(s);
    absolute = true;
    return true;
}

std::int32_t action_time(const CommandCall& call, std::size_t i, bool skip_shortens) {
    std::int32_t t = std::max(0, int_arg(call, i));
    if (skip_shortens && engine::skip_mode() && t < 544) t = 0;
    return t;
}

// Lets the render thread draw while a script waits (see the Draw command).
void let_render(const CommandCall& call) {
    if (call.block.is_process() || !engine::render_is_held()) {
        engine::ScopedLock scene_guard(engine::k_lock_scene);
        commit_draw_list();
        scene_guard.unlock();
    } else {
        engine::render_release();
    }
}

// A grouping object (CreateName, a process root) and a sound run no actions of their own:
// the render thread skips them, so an action given to one would stay pending for ever. A wait
// on such an object waits for what does go on: a sound playing, and its children, which an
// action given to a group moved, faded or turned with it.
bool busy_for_wait(const SceneObject& o, std::uint16_t code) {
    if (!o.no_actions) return object_busy(o, code);
    if (code == k_op_none && o.kind && o.kind->busy && o.kind->busy(o)) return true;
    for (const auto& child : o.children)
        if (busy_for_wait(*child, code)) return true;
    return false;
}

int wait_for(CommandCall& call, const std::string& path, std::uint16_t code, std::int64_t limit) {
    if (path.empty()) return 1;
    if (engine::skip_mode() && limit > 0 && limit < 544) return 1;
    let_render(call);
    const platform::Tick start = platform::tick_ms();
    const std::int32_t began = engine::state();
    while (render_running() && engine::in_running_range(engine::state()) &&
           !engine::quit_requested() && !platform::stop_requested()) {
        if (gates_open()) {
            detail::Store& s = detail::store();
            s.delete_gate.reset();
            s.wait_gate.reset();
            engine::ScopedLock scene_guard(engine::k_lock_scene);
            const int busy = apply(
                call.context.owner_key, path,
                [code](SceneObject& o) { return busy_for_wait(o, code) ? 1 : 0; },
                ApplyOptions{.no_children = true, .stop_at_first = true});
            scene_guard.unlock();
            s.wait_gate.signal();
            s.delete_gate.signal();
            const bool backlog_open = began == engine::k_state_running &&
                                      engine::state() == engine::k_state_system_script;
            if (!busy && !backlog_open) break;
        }
        const double elapsed = platform::tick_diff(platform::tick_ms(), start) * current_speed();
        if (limit != -1 && elapsed >= double(limit)) break;
        const double step = interval_ms(interval_setting()) / current_speed();
        engine::wait_multi(engine::k_wait_quit | engine::k_wait_state, nullptr,
                           static_cast<std::uint32_t>(std::max(1.0, step)));
    }
    if (!call.block.is_process() && engine::render_is_running() && !engine::render_is_held())
        engine::render_hold();
    return 1;
}

// The wait flag of an action command: "TRUE" waits without limit (when the time is not 0),
// a non-zero number waits with that limit.
void maybe_wait(CommandCall& call, std::size_t flag_index, std::int32_t time, std::uint16_t code) {
    const std::string flag = call.arg(flag_index);
    if (is_true_word(flag)) {
        if (time != 0) wait_for(call, call.path, code, -1);
        return;
    }
    const std::int32_t n = script::argument_int(flag);
    if (n != 0) wait_for(call, call.path, code, n);
}

std::array<std::int32_t, 3> move_targets(SceneObject& o, const std::string& sx,
                                         const std::string& sy, const std::string& sz, bool& ok) {
    const std::array<std::int32_t, 3> cur{o.x, o.y, o.z};
    const std::array<std::int32_t, 3> offset{o.offset_x, o.offset_y, o.offset_z};
    const bool add_offset = o.parent && o.parent->parent && o.parent->inherit &&
                            engine::state() != engine::k_state_restoring;
    const bool frame_image =
        o.drawable && o.drawable->image && o.drawable->image->kind == k_image_frame;
    std::array<std::int32_t, 3> t{};
    const std::string* words[3] = {&sx, &sy, &sz};
    ok = true;
    for (std::size_t i = 0; i < 3; ++i) {
        bool absolute = false;
        if (!target_value(*words[i], cur[i], t[i], absolute)) ok = false;
        if (absolute && add_offset) t[i] += offset[i];
        if (absolute && frame_image && i < 2 && t[i] != cur[i]) t[i] -= 8;
    }
    return t;
}

bool cmd_move(CommandCall& call) {
    const std::int32_t time = action_time(call, 1, false);
    const std::string sx = call.arg(2), sy = call.arg(3), sz = call.arg(4), tempo = call.arg(5);
    for_each_object(call, [&](SceneObject& o) {
        if (o.skip_next_move || (o.move && o.move->skip_next)) {
            o.skip_next_move = false;
            if (o.move) o.move->skip_next = false;
            return 1;
        }
        bool ok = false;
        const auto target = move_targets(o, sx, sy, sz, ok);
        if (!ok) return 0;
        detail::begin_move(o, target, time, tempo);
        return 1;
    });
    maybe_wait(call, 6, time, k_op_move);
    return true;
}

// MoveCamera and MoveCube: Move on the camera's or cube's eye position (x, y, z).
bool cmd_move_eye(CommandCall& call) {
    const std::int32_t time = action_time(call, 1, false);
    const std::string sx = call.arg(2), sy = call.arg(3), sz = call.arg(4), tempo = call.arg(5);
    for_each_object(
        call,
        [&](SceneObject& o) {
            if (!o.camera && !o.cube) return 0;
            bool ok = false;
            std::array<std::int32_t, 3> t{};
            const std::array<std::int32_t, 3> cur{o.x, o.y, o.z};
            const std::string* words[3] = {&sx, &sy, &sz};
            for (std::size_t i = 0; i < 3; ++i) {
                bool absolute = false;
                ok = target_value(*words[i], cur[i], t[i], absolute);
                if (!ok) return 0;
            }
            detail::begin_move(o, t, time, tempo);
            return 1;
        },
        ApplyOptions{.no_children = true});
    maybe_wait(call, 6, time, k_op_move);
    return true;
}

bool cmd_bezier_move(CommandCall& call) {
    const std::int32_t time = action_time(call, 1, false);
    const std::string points = call.arg(2), tempo = call.arg(3);
    bool refused = false;
    for_each_object(call, [&](SceneObject& o) {
        std::vector<std::array<std::int32_t, 3>> path;
        if (!detail::bezier_path(points, {o.x, o.y, o.z}, path)) {
            refused = true;
            return 0;
        }
        const auto target = path.back();
        detail::begin_move(o, target, std::max(time, 1), tempo, std::move(path), points);
        return 1;
    });
    if (refused)
        problem(call,
                "BezierMove: the points must be (x,y){x,y}{x,y}(x,y)... with 1 to 255 segments");
    maybe_wait(call, 4, time, k_op_move);
    return true;
}

bool cmd_fade(CommandCall& call) {
    const std::int32_t time = action_time(call, 1, true);
    const std::string value = call.arg(2), tempo = call.arg(3);
    for_each_object(call, [&](SceneObject& o) {
        if (!o.drawable) return 0;
        if (o.fade && o.fade->skip_next) {
            o.fade->skip_next = false;
            return 1;
        }
        const auto current = static_cast<std::int32_t>(o.drawable->alpha / 255.0 * 1000.0);
        std::int32_t opacity = 0;
        bool absolute = false;
        if (!target_value(value, current, opacity, absolute)) return 0;
        opacity = std::clamp(opacity, 0, 1000);
        detail::begin_fade(o, static_cast<std::uint8_t>(std::trunc(opacity * 0.255)), time, tempo);
        return 1;
    });
    maybe_wait(call, 4, time, k_op_fade);
    return true;
}

bool cmd_zoom(CommandCall& call) {
    const std::int32_t time = action_time(call, 1, true);
    const std::string sx = call.arg(2), sy = call.arg(3), tempo = call.arg(4);
    for_each_object(call, [&](SceneObject& o) {
        const auto cur = detail::current_scale(o);
        std::array<std::int32_t, 2> t{};
        bool a = false;
        if (!target_value(sx, cur[0], t[0], a) || !target_value(sy, cur[1], t[1], a)) return 0;
        detail::begin_zoom(o, t, time, tempo);
        return 1;
    });
    maybe_wait(call, 5, time, k_op_zoom);
    return true;
}

bool cmd_rotate(CommandCall& call) {
    const std::int32_t time = action_time(call, 1, true);
    const std::string w[3] = {call.arg(2), call.arg(3), call.arg(4)};
    const std::string tempo = call.arg(5);
    for_each_object(call, [&](SceneObject& o) {
        const auto cur = detail::current_angles(o);
        std::array<std::int32_t, 3> t{};
        bool a = false;
        for (std::size_t i = 0; i < 3; ++i)
            if (!target_value(w[i], cur[i], t[i], a)) return 0;
        detail::begin_rotate(o, t, time, tempo);
        return 1;
    });
    maybe_wait(call, 6, time, k_op_rotate);
    return true;
}

bool cmd_shake(CommandCall& call) {
    const std::int32_t time = action_time(call, 1, true);
    const std::int32_t rate = int_arg(call, 6);
    if (rate > 1000) return true;
    const std::int32_t sx = int_arg(call, 2), sy = int_arg(call, 3);
    const std::int32_t ex = int_arg(call, 4), ey = int_arg(call, 5);
    const std::string tempo = call.arg(7);
    for_each_object(call, [&](SceneObject& o) {
        detail::begin_shake(o, sx, sy, ex, ey, rate, time, tempo);
        return 1;
    });
    maybe_wait(call, 8, time, k_op_shake);
    return true;
}

bool cmd_draw_transition(CommandCall& call) {
    const std::int32_t time = action_time(call, 1, true);
    const std::int32_t from = int_arg(call, 2), to = int_arg(call, 3);
    const std::string rule_name = call.arg(4);
    const std::int32_t softness = int_arg(call, 5);
    const std::string tempo = call.arg(6);
    std::shared_ptr<PixelImage> rule;
    const bool cancel = rule_name.size() >= 4 && rule_name.substr(0, 4) == "NULL";
    if (!cancel) {
        rule = source_image(call, rule_name, false);
        if (!rule) return true;
    }
    for_each_object(call, [&](SceneObject& o) {
        if (cancel) {
            detail::cancel_transition(o);
            return 1;
        }
        if (time == 0) {
            // Done at once: shown or hidden as the end threshold says.
            detail::cancel_transition(o);
            if (o.drawable && to <= 0) detail::begin_fade(o, 0, 0, "");
            return 1;
        }
        return detail::begin_transition(o, from, to, rule.get(), rule_name, softness, time, tempo)
                   ? 1
                   : 0;
    });
    maybe_wait(call, 7, time, k_op_transition);
    return true;
}

bool cmd_set_blur(CommandCall& call) {
    const bool on = is_true_word(call.arg(1));
    const std::int32_t count = int_arg(call, 2), weight = int_arg(call, 3);
    const std::int32_t interval = int_arg(call, 4);
    const bool before = is_true_word(call.arg(5));
    for_each_object(call, [&](SceneObject& o) {
        if (!on) {
            detail::stop_trail(o);
            return 1;
        }
        return detail::begin_trail(o, count, weight, interval, before) ? 1 : 0;
    });
    return true;
}

// ---- waits ------------------------------------------------------------------------------------

template <std::uint16_t Code> bool cmd_wait_code(CommandCall& call) {
    const std::string limit = call.arg(1);
    std::int64_t n = -1;
    if (call.has(1) && !limit.empty() && !is_true_word(limit) && limit.rfind("NULL", 0) != 0)
        n = script::argument_int(limit);
    if (n < -1) n = -1;
    wait_for(call, call.path, Code, n);
    return true;
}

// ---- built-in functions -------------------------------------------------------------------------

const ActionCore* running_action(const SceneObject& o) {
    for (const ActionCore* a : std::initializer_list<const ActionCore*>{
             o.move.get(), o.fade.get(), o.zoom.get(), o.rotate.get(), o.shake.get(),
             o.transition.get()})
        if (a) return a;
    return nullptr;
}

template <typename Fn> script::Value with_object(const script::BuiltinCall& c, Fn&& fn) {
    if (c.args.empty()) return script::Value::of_number(0);
    const std::string name = script::join_object_name(c.ctx, script::value_text(c.args[0]));
    std::int32_t owner = -1;
    if (c.ctx && c.ctx->context)
        owner = static_cast<script::ScriptContext*>(c.ctx->context)->owner_key;
    double result = 0;
    engine::ScopedLock scene_guard(engine::k_lock_scene);
    SceneObject* o = find_object(owner, name);
    if (!o && owner == -1) o = nullptr;
    if (o) result = fn(*o);
    scene_guard.unlock();
    return script::Value::of_number(result);
}

double passage(const ActionCore& a) {
    return double(a.progress >> 16) * interval_ms(interval_setting());
}

script::Value remain_time(const script::BuiltinCall& c) {
    return with_object(c, [](SceneObject& o) {
        const ActionCore* a = running_action(o);
        return a ? std::max(0.0, a->time_ms - passage(*a)) : 0.0;
    });
}

script::Value duration_time(const script::BuiltinCall& c) {
    return with_object(c, [](SceneObject& o) {
        const ActionCore* a = running_action(o);
        return a ? double(a->time_ms) : 0.0;
    });
}

script::Value passage_time(const script::BuiltinCall& c) {
    return with_object(c, [](SceneObject& o) {
        const ActionCore* a = running_action(o);
        return a ? std::min(double(a->time_ms), passage(*a)) : 0.0;
    });
}

script::Value image_horizon(const script::BuiltinCall& c) {
    return with_object(c, [](SceneObject& o) {
        const PixelImage* i = o.image();
        return i ? double(i->width) : 0.0;
    });
}

script::Value image_vertical(const script::BuiltinCall& c) {
    return with_object(c, [](SceneObject& o) {
        const PixelImage* i = o.image();
        return i ? double(i->height) : 0.0;
    });
}

script::Value lock_video(const script::BuiltinCall& c) {
    const bool on = !c.args.empty() && c.args[0].number != 0;
    set_frozen(on);
    if (!on) mark_all_changed();
    return script::Value::of_number(1);
}

} // namespace

void register_action_commands() {
    script::register_command("Move", cmd_move);
    script::register_command("MoveCamera", cmd_move_eye);
    script::register_command("MoveCube", cmd_move_eye);
    script::register_command("BezierMove", cmd_bezier_move);
    script::register_command("Fade", cmd_fade);
    script::register_command("Zoom", cmd_zoom);
    script::register_command("Rotate", cmd_rotate);
    script::register_command("Shake", cmd_shake);
    script::register_command("DrawTransition", cmd_draw_transition);
    script::register_command("SetBlur", cmd_set_blur);
    script::register_builtin("RemainTime", remain_time);
    script::register_builtin("DurationTime", duration_time);
    script::register_builtin("PassageTime", passage_time);
    script::register_builtin("ImageHorizon", image_horizon);
    script::register_builtin("ImageVertical", image_vertical);
    script::register_builtin("LockVideo", lock_video);
}

void register_wait_commands() {
    script::register_command("WaitMove", cmd_wait_code<k_op_move>);
    script::register_command("WaitFade", cmd_wait_code<k_op_fade>);
    script::register_command("WaitZoom", cmd_wait_code<k_op_zoom>);
    script::register_command("WaitRotate", cmd_wait_code<k_op_rotate>);
    script::register_command("WaitShake", cmd_wait_code<k_op_shake>);
    script::register_command("WaitText", cmd_wait_code<k_op_text_tick>);
    script::register_command("WaitPlay", cmd_wait_code<k_op_none>);
    script::register_command("WaitAction", cmd_wait_code<k_op_none>);
}

} // namespace kestrune::scene::commands
