// The settings dialog: text speed, auto-mode pause per character, music and effect
// volumes, skipping of unread text and full screen. It edits system variables; their
// handlers apply each change to the running engine.
#include "ui/boxes.h"

#include "frame/engine.h"
#include "platform/thread.h"
#include "script/expressions.h"
#include "script/variables.h"

#include <algorithm>
#include <memory>

namespace kestrune::ui {

namespace {

// The dialog is laid out in dialog units of its template (255 x 196), two pixels each.
constexpr std::int32_t k_unit = 2;
constexpr std::int32_t k_dialog_w = 255, k_dialog_h = 196;
constexpr std::int32_t k_title_h = 28;

enum : std::int32_t {
    k_ok = 1,
    k_cancel = 2,
    k_full_screen = 1108,
    k_defaults = 1109,
    k_skip_unread = 1110,
    k_text_speed = 1111,
    k_auto_wait = 1113,
    k_bgm = 1114,
    k_se = 1115,
};

struct Control {
    WidgetKind kind;
    std::int32_t id;
    const char* text;
    std::int32_t x, y, w, h;
};

// In template order, which is also the order of the focus; the Cancel button is ours, as
// a reader without a mouse has no close box.
constexpr Control k_controls[] = {
    {WidgetKind::group, 0, "文字设置", 7, 7, 241, 78},
    {WidgetKind::group, 0, "音量设置", 7, 90, 241, 50},
    {WidgetKind::check, k_skip_unread, "未读文字快进", 12, 22, 154, 10},
    {WidgetKind::slider, k_text_speed, "", 94, 42, 146, 11},
    {WidgetKind::slider, k_auto_wait, "", 94, 69, 146, 11},
    {WidgetKind::slider, k_bgm, "", 94, 108, 146, 11},
    {WidgetKind::slider, k_se, "", 94, 124, 146, 11},
    {WidgetKind::check, k_full_screen, "切换全屏", 7, 146, 110, 16},
    {WidgetKind::button, k_defaults, "返回默认设置", 164, 147, 72, 15},
    {WidgetKind::button, k_ok, "OK", 72, 171, 50, 14},
    {WidgetKind::button, k_cancel, "取消", 133, 171, 50, 14},
    {WidgetKind::label, 0, "文字速度", 12, 45, 48, 10},
    {WidgetKind::label, 0, "自动播放的等待时间", 12, 70, 77, 10},
    {WidgetKind::label, 0, "ＢＧＭ", 14, 111, 48, 10},
    {WidgetKind::label, 0, "ＳＥ", 14, 126, 48, 10},
    {WidgetKind::label, 0, "小", 95, 98, 8, 10},
    {WidgetKind::label, 0, "大", 231, 98, 8, 10},
    {WidgetKind::label, 0, "慢", 96, 32, 8, 10},
    {WidgetKind::label, 0, "快", 232, 32, 8, 10},
    {WidgetKind::label, 0, "短", 96, 59, 8, 10},
    {WidgetKind::label, 0, "长", 232, 59, 8, 10},
};

// A variable the dialog edits; a missing one is created with 0.
double read_var(const char* name) {
    if (!script::var_exists(name)) script::var_set_number(name, 0);
    return script::var_number(name);
}

std::int32_t position(double p) {
    return std::clamp(static_cast<std::int32_t>(p), 0, 100);
}

// Slider positions from the variables, and back. The text speed runs from slow at the
// left (1000 ms a character) to fast at the right (0: whole pages at once).
std::int32_t speed_position(double v) {
    return position(100 - v * 100 / 1000);
}
std::int32_t auto_position(double v) {
    return position(v / 200 * 100);
}
std::int32_t volume_position(double v) {
    return position(v / 1000 * 100);
}

const char* volume_var(std::int32_t id) {
    return id == k_bgm ? "#SYSTEM_sound_volume_bgm" : "#SYSTEM_sound_volume_se";
}

std::int32_t value_of(Overlay& o, std::int32_t id) {
    const Widget* w = o.find(id);
    return w ? w->value : 0;
}

void write_all(Overlay& o) {
    script::var_set_number("#SYSTEM_text_speed", 1000 - value_of(o, k_text_speed) * 1000 / 100);
    script::var_set_number("#SYSTEM_auto_wait_per_character", value_of(o, k_auto_wait) * 200 / 100);
    script::var_set_number("#SYSTEM_sound_volume_bgm", value_of(o, k_bgm) * 1000 / 100);
    script::var_set_number("#SYSTEM_sound_volume_se", value_of(o, k_se) * 1000 / 100);
    script::var_set_number("#SYSTEM_skip_absolute", o.find(k_skip_unread)->checked ? 1 : 0);
    script::var_set_number("#SYSTEM_window_full", o.find(k_full_screen)->checked ? 1 : 0);
}

// Restores the defaults at once; full screen stays as it is.
void restore_defaults(Overlay& o) {
    script::var_set_number("#SYSTEM_text_speed", 800);
    script::var_set_number("#SYSTEM_auto_wait_per_character", 100);
    script::var_set_number("#SYSTEM_sound_volume_bgm", 800);
    script::var_set_number("#SYSTEM_sound_volume_se", 1000);
    script::var_set_number("#SYSTEM_skip_absolute", 0);
    o.find(k_text_speed)->value = speed_position(800);
    o.find(k_auto_wait)->value = auto_position(100);
    o.find(k_bgm)->value = volume_position(800);
    o.find(k_se)->value = volume_position(1000);
    o.find(k_skip_unread)->checked = false;
}

struct DialogRequest {
    platform::Event done{true, false};
};

script::Value config_builtin(const script::BuiltinCall& call) {
    const script::Value result = script::Value::of_number(call.negated ? 1 : 0);
    if (no_reader()) return result;
    auto request = std::make_shared<DialogRequest>();
    const bool held = !(call.ctx && call.ctx->is_process_block) && engine::render_is_held();
    if (held) engine::render_release();
    run_on_main(
        [request] { open_settings_dialog([request](std::int32_t) { request->done.signal(); }); });
    while (!engine::quit_requested() && !platform::stop_requested()) {
        const std::uint32_t r = engine::wait_multi(engine::k_wait_quit, &request->done, 1000);
        if (r == engine::k_wait_extra || r == engine::k_wait_quit) break;
    }
    if (held && !engine::quit_requested()) engine::render_hold();
    return result;
}

} // namespace

void open_settings_dialog(std::function<void(std::int32_t)> on_close) {
    if (overlay_open()) {
        if (on_close) on_close(k_cancel);
        return;
    }
    Overlay o;
    o.kind = OverlayKind::dialog;
    o.title = utf8_to_u32("游戏设置");
    o.panel.w = k_dialog_w * k_unit;
    o.panel.h = k_dialog_h * k_unit + k_title_h;
    o.panel.x = (1024 - o.panel.w) / 2;
    o.panel.y = (576 - o.panel.h) / 2;
    for (const Control& c : k_controls) {
        Widget w;
        w.kind = c.kind;
        w.id = c.id;
        w.text = utf8_to_u32(c.text);
        w.rect = {o.panel.x + c.x * k_unit, o.panel.y + k_title_h + c.y * k_unit, c.w * k_unit,
                  c.h * k_unit};
        w.is_default = c.id == k_ok;
        o.widgets.push_back(std::move(w));
    }
    o.find(k_text_speed)->value = speed_position(read_var("#SYSTEM_text_speed"));
    o.find(k_auto_wait)->value = auto_position(read_var("#SYSTEM_auto_wait_per_character"));
    o.find(k_bgm)->value = volume_position(read_var("#SYSTEM_sound_volume_bgm"));
    o.find(k_se)->value = volume_position(read_var("#SYSTEM_sound_volume_se"));
    o.find(k_skip_unread)->checked = read_var("#SYSTEM_skip_absolute") != 0;
    o.find(k_full_screen)->checked = read_var("#SYSTEM_window_full") == 1;
    o.has_cancel = true;
    o.cancel_id = k_cancel;
    // The volumes are heard while they move; the rest waits for OK.
    o.on_slide = [](Overlay&, const Widget& w) {
        if (w.id == k_bgm || w.id == k_se) script::var_set_number(volume_var(w.id), w.value * 10);
    };
    o.on_pick = [](Overlay& self, std::int32_t id) {
        if (id == k_defaults) {
            restore_defaults(self);
            return false;
        }
        if (id == k_ok) write_all(self);
        return id == k_ok || id == k_cancel;
    };
    o.on_close = [on_close](std::int32_t id) {
        if (on_close) on_close(id == k_ok ? 1 : 2);
    };
    o.focus_first();
    // The focus starts on the first control, as in any dialog, not on OK.
    for (std::size_t i = 0; i < o.widgets.size(); ++i)
        if (o.widgets[i].focusable()) {
            o.focus = static_cast<std::int32_t>(i);
            break;
        }
    open_overlay(std::move(o));
}

void register_settings_dialog() {
    script::register_builtin("VelmorantConfig", config_builtin);
}

} // namespace kestrune::ui
