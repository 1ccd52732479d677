// The backlog's commands (CreateBacklog, SetBacklog, ClearBacklog), its built-ins
// (EnableBacklog, BacklogRow, BacklogLine), the opening of the backlog screen from the
// wheel, Up, Page Up and the right button, and the registration with the engine.
#include "text/backlog.h"
#include "text/backlog_screen.h"

#include "frame/engine.h"
#include "frame/startup_hooks.h"
#include "persist/settings.h"
#include "platform/clock.h"
#include "script/commands.h"
#include "script/context.h"
#include "script/expressions.h"
#include "script/system_variables.h"
#include "script/variables.h"
#include "storage/storage.h"
#include "text/display.h"
#include "text/icons.h"
#include "ui/input_hooks.h"

#include <cstdio>

namespace kestrune::text {

using detail::screen;
using scene::SceneObject;

namespace {

void window_released(SceneObject& o) {
    detail::close_window(o);
}

bool attach_bar(SceneObject& window, SceneObject& bar) {
    if (screen().window != &window || !bar.scrollbar) return false;
    bar.scrollbar->ops = detail::backlog_scroll_ops();
    screen().bar = &bar;
    scene::place_thumb(bar, 0);
    return true;
}

const scene::KindOps k_backlog_kind{"backlog", nullptr,         detail::draw_backlog,
                                    nullptr,   window_released, attach_bar};

// The scroll bar of the backlog goes with its object.
void forget_object(SceneObject& o) {
    if (screen().bar == &o) screen().bar = nullptr;
    if (screen().window == &o) detail::close_window(o);
}

bool cmd_create_backlog(script::CommandCall& call) {
    if (call.path.empty()) return true;
    engine::ScopedLock scene_guard(engine::k_lock_scene);
    // A second window would take over the open one's state; it is refused before anything
    // is made.
    if (screen().visible) {
        scene_guard.unlock();
        script::report_problem(call.context, call.statement,
                               "CreateBacklog: a backlog window is already open");
        return true;
    }
    scene::CreateArgs args;
    args.owner_key = call.context.owner_key;
    args.prefix = call.block.object_prefix;
    args.command = call.canonical;
    args.path = call.path;
    args.priority = script::argument_int(call.arg(1));
    args.x = "0";
    args.y = "0";
    if (SceneObject* o = scene::create_kind_object(args, nullptr, nullptr, &k_backlog_kind))
        detail::open_window(*o);
    return true;
}

bool cmd_set_backlog(script::CommandCall& call) {
    const std::string text = call.arg(0);
    backlog_set(text, call.has(1) ? call.arg(1) : std::string("NULL"), call.arg(2));
    set_last_text(text);
    return true;
}

bool cmd_clear_backlog(script::CommandCall&) {
    // The voice being replayed stays with the screen until its next replay or the window
    // goes: clearing the text must not pull a playing sound away.
    backlog_clear();
    engine::ScopedLock scene_guard(engine::k_lock_scene);
    if (screen().visible) {
        screen().changed = true;
        detail::mark_window_area();
    }
    return true;
}

script::Value enable_backlog(const script::BuiltinCall&) {
    engine::ScopedLock scene_guard(engine::k_lock_scene);
    const bool visible = screen().visible;
    if (visible && screen().changed) detail::mark_window_area();
    scene_guard.unlock();
    return script::Value::of_number(visible ? 1 : 0);
}

script::Value backlog_row(const script::BuiltinCall&) {
    return script::Value::of_number(backlog_row_count());
}

script::Value backlog_line(const script::BuiltinCall&) {
    engine::ScopedLock scene_guard(engine::k_lock_scene);
    const std::int32_t offset = screen().offset;
    scene_guard.unlock();
    return script::Value::of_number(offset);
}

bool normal_play() {
    return engine::state() == engine::k_state_running &&
           script::var_number("$SYSTEM_menu_enable") == 0 &&
           script::var_number("$SYSTEM_menu_lock") == 0;
}

// Opens the backlog screen (kind 38: the wheel, Up, Page Up; 516: the right button while
// the window is shown). True when the input was handled. Without a backlog script that can
// be started nothing happens and play goes on.
bool open_screen(std::int32_t kind) {
    if (script::setting_number("backlog_lock") != 0 || engine::skip_mode() ||
        !engine::script_gate().is_signalled())
        return false;
    if (engine::render_is_running() && !engine::render_is_held() && normal_play()) {
        if (!engine::command_lock_free()) return false;
        const std::string name = persist::settings().backlog_script;
        if (name.empty()) return false;
        if (script::choice_hooks().end_hover) script::choice_hooks().end_hover();
        return script::start_system_script(name, false);
    }
    if (kind == 516 && script::var_number("$SYSTEM_backlog_enable") != 0) {
        script::var_set_number("$SYSTEM_backlog_enable", 0);
        engine::attention_event().signal();
        platform::sleep_ms(200);
        return true;
    }
    return false;
}

// The voice icon's three images; with fewer the backlog goes without icons.
void load_voice_icons() {
    detail::Screen& sc = screen();
    sc.icons.clear();
    const std::string& value = persist::settings().backlog_icon_voice;
    if (value.empty()) return;
    IconPattern pattern;
    std::string error;
    if (!parse_icon_pattern(value, pattern, error)) {
        std::fprintf(stderr, "kestrune: backlog icon_voice: %s\n", error.c_str());
        return;
    }
    pattern.count = std::min(pattern.count, 3);
    auto images =
        load_icon_frames(pattern, [](std::string_view n) { return storage::load_image(n); });
    if (images.size() == 3) sc.icons = std::move(images);
}

bool start_backlog() {
    set_backlog_width(persist::settings().backlog_word_in_row);
    engine::ScopedLock scene_guard(engine::k_lock_scene);
    load_voice_icons();
    return true;
}

void register_commands() {
    script::register_command("CreateBacklog", cmd_create_backlog);
    script::register_command("SetBacklog", cmd_set_backlog);
    script::register_command("ClearBacklog", cmd_clear_backlog);
    script::register_builtin("EnableBacklog", enable_backlog);
    script::register_builtin("BacklogRow", backlog_row);
    script::register_builtin("BacklogLine", backlog_line);
}

} // namespace

void register_backlog_with_frame() {
    static bool done = false;
    if (!done) {
        done = true;
        scene::add_free_listener(forget_object);
        frame::startup_hooks().script_settings.push_back([] {
            register_commands();
            return start_backlog();
        });
    }
    register_commands();
    display_hooks().backlog_add = [](std::int32_t code, const VoiceRecord* voice) {
        return backlog_add(code, voice) ? 1 : 0;
    };
    ui::InputHooks& h = ui::input_hooks();
    h.open_backlog = [] { return open_screen(38); };
    h.backlog_open = [] {
        engine::ScopedLock scene_guard(engine::k_lock_scene);
        const bool open = screen().visible;
        return open;
    };
    h.backlog_input = open_screen;
}

} // namespace kestrune::text
