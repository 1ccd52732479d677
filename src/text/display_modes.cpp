// The process-wide side of the message display: skip mode, auto mode and the hidden
// message window with the settings that switch them, the last-text record, presses offered
// to revealing text, the hooks towards sound and backlog, and SetFont.
#include "frame/engine.h"
#include "platform/clock.h"
#include "scene/scene.h"
#include "script/arguments.h"
#include "script/commands.h"
#include "script/context.h"
#include "script/scanner.h"
#include "script/system_variables.h"
#include "script/variables.h"
#include "storage/storage.h"
#include "text/display.h"
#include "text/display_internal.h"
#include "text/fonts.h"
#include "text/icons.h"
#include "text/layout.h"
#include "ui/input_hooks.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <mutex>

namespace kestrune::text {

namespace {

// The last-text record: a two-byte character is kept as its two bytes, a paired
// punctuation code of vertical text as its two characters.
constexpr std::size_t k_last_text_limit = 504;
std::mutex g_last_text_mutex;
std::string g_last_text;

void publish_last_text(const std::string& text) {
    script::var_set_text("$SYSTEM_last_text", text, false);
}

void append_code(std::string& text, std::int32_t code) {
    if (code <= 0) return;
    if (code > 0xFFFF) {
        text.push_back(static_cast<char>((code >> 16) & 0xFF));
        text.push_back(static_cast<char>(code & 0xFF));
    } else if (code > 0xFF) {
        text.push_back(static_cast<char>((code >> 8) & 0xFF));
        text.push_back(static_cast<char>(code & 0xFF));
    } else {
        text.push_back(static_cast<char>(code));
    }
}

bool system_script_state() {
    return engine::state() == engine::k_state_system_script;
}

// ---- express skip ---------------------------------------------------------------------------

std::atomic<std::uint32_t> g_skip_switched{0}; // clock time of the last switch of skip mode

// "#SYSTEM_skip_express_image": a pattern with "#" and a count, or one image's name.
std::vector<std::shared_ptr<PixelImage>> express_images(const std::string& value) {
    const auto load = [](std::string_view name) { return storage::load_image(name); };
    if (value.find('#') == std::string::npos) {
        std::vector<std::shared_ptr<PixelImage>> one;
        if (auto image = load(value)) one.push_back(std::move(image));
        return one;
    }
    IconPattern pattern;
    std::string error;
    if (!parse_icon_pattern(value, pattern, error)) {
        std::fprintf(stderr, "express skip: #SYSTEM_skip_express_image \"%s\": %s\n", value.c_str(),
                     error.c_str());
        return {};
    }
    pattern.count = std::min(pattern.count, static_cast<int>(scene::k_express_skip_slots));
    return load_icon_frames(pattern, load);
}

// Express skipping is asked for one skip period at a time: switching skip mode on with
// "skip_express" set shows the images instead of the scene, and switching it off ends them
// (after "skip_express_minimum_time" since they began, so that a short skip does not
// flash them) and clears "skip_express" again. The caller does not wait for that time:
// the render thread takes the animation down when it is over.
void express_skip_changed(bool on, std::uint32_t switched_before) {
    if (on) {
        if (script::setting_number("skip_express") != 0 &&
            script::var_exists("#SYSTEM_skip_express_image"))
            scene::start_express_skip(
                express_images(script::var_text("#SYSTEM_skip_express_image")));
        return;
    }
    const double minimum = script::setting_number("skip_express_minimum_time");
    const bool keep = script::setting_number("skip_express") != 0 && minimum > 0;
    scene::end_express_skip_at(keep ? switched_before + static_cast<std::uint32_t>(minimum)
                                    : platform::tick_ms());
    script::var_set_number("#SYSTEM_skip_express", 0);
}

void skip_changed(bool on) {
    // Switching off what is already off is no switch (and must not use up skip_express).
    static std::atomic<bool> skipping{false};
    if (skipping.exchange(on) != on) {
        const std::uint32_t before = g_skip_switched.exchange(platform::tick_ms());
        express_skip_changed(on, before);
    }
    double now = 0;
    if (script::var_get_number("$SYSTEM_skip", now) && (now != 0) != on) {
        script::var_set_number("$SYSTEM_skip", on ? 1 : 0, false);
        engine::attention_event().signal();
    }
}

void redraw_all() {
    engine::ScopedLock scene_guard(engine::k_lock_scene);
    scene::mark_all_changed();
}

bool offer_press(ui::TextPress) {
    return offer_press_to_text();
}

void install_input_hooks() {
    ui::InputHooks& h = ui::input_hooks();
    h.text_window_hidden = [] { return engine::text_window_hidden(); };
    h.show_text_window = [] {
        set_message_window_hidden(false);
        redraw_all();
    };
    h.toggle_text_window = [] {
        set_message_window_hidden(!engine::text_window_hidden());
        redraw_all();
    };
    h.offer_to_text = offer_press;
    h.apply_auto_setting = apply_auto_mode;
}

// SetFont(face, size, fill colour, outline colour, weight, outline directions): the
// defaults for the text objects made from now on. Nothing changes unless the size is a
// number and both colours are given.
bool cmd_set_font(script::CommandCall& call) {
    const std::string face = call.arg(0), size = call.arg(1);
    const std::string fill = call.arg(2), outline = call.arg(3);
    if (!script::is_number_text(size) || fill.empty() || outline.empty()) {
        script::report_problem(call.context, call.statement,
                               "SetFont: the size must be a number and both colours given");
        return true;
    }
    for (const std::string* colour : {&fill, &outline})
        if (!script::is_colour_text(*colour))
            script::report_problem(call.context, call.statement,
                                   "SetFont: colour \"" + *colour + "\" is not a colour");
    set_default_font(face, script::argument_int(size), script::parse_colour(fill).rgb,
                     script::parse_colour(outline).rgb, weight_from_word(call.arg(4)),
                     directions_from_word(call.arg(5)));
    return true;
}

} // namespace

// ---- hooks ---------------------------------------------------------------------------------

DisplayHooks& display_hooks() {
    static DisplayHooks hooks;
    return hooks;
}

namespace detail {

void backlog_add(std::int32_t code, const VoiceRecord* voice) {
    if (display_hooks().backlog_add) display_hooks().backlog_add(code, voice);
}

void last_text_clear() {
    if (system_script_state()) return;
    std::lock_guard guard(g_last_text_mutex);
    g_last_text.clear();
    publish_last_text(g_last_text);
}

void last_text_add(std::int32_t code) {
    if (system_script_state()) return;
    std::lock_guard guard(g_last_text_mutex);
    if (g_last_text.size() >= k_last_text_limit) return;
    append_code(g_last_text, code);
    publish_last_text(g_last_text);
}

} // namespace detail

void set_last_text(std::string_view text) {
    detail::last_text_clear();
    for (std::size_t i = 0; i < text.size();) {
        const auto b = static_cast<unsigned char>(text[i]);
        if (b >= 0x80 && i + 1 < text.size()) {
            detail::last_text_add(b * 256 + static_cast<unsigned char>(text[i + 1]));
            i += 2;
        } else {
            detail::last_text_add(b);
            ++i;
        }
    }
}

std::string last_text() {
    std::lock_guard guard(g_last_text_mutex);
    return g_last_text;
}

// ---- modes ---------------------------------------------------------------------------------

void apply_auto_mode() {
    double value = 0;
    if (script::var_get_number("$SYSTEM_text_auto", value)) {
        bool on = static_cast<std::int64_t>(value) != 0;
        if (script::setting_number("text_auto_lock") != 0) {
            if (on) script::var_set_number("$SYSTEM_text_auto", 0, false);
            on = false;
        }
        engine::set_auto_mode(on);
        engine::ScopedLock scene_guard(engine::k_lock_scene);
        scene::mark_all_changed();
        show_icon(on ? k_icon_auto : k_icon_none);
    }
    engine::attention_event().signal();
}

void set_message_window_hidden(bool hidden) {
    if (script::setting_number("text_erase_lock") != 0) hidden = false;
    engine::set_text_window_hidden(hidden);
    if (script::var_exists("$SYSTEM_text_erase"))
        script::var_set_number("$SYSTEM_text_erase", hidden ? 1 : 0, false);
    engine::attention_event().signal();
    if (engine::skip_mode() || engine::auto_mode()) {
        // Hiding or showing the window ends auto mode.
        script::var_set_number("$SYSTEM_text_auto", 0, false);
        apply_auto_mode();
    }
    redraw_all();
}

bool offer_press_to_text() {
    if (script::setting_number("text_waitkey") == 0) return false;
    bool taken = false;
    engine::ScopedLock scene_guard(engine::k_lock_scene);
    for (scene::SceneObject* o : scene::current_list()) {
        if (o->slots[scene::k_slot_kind_tick].code != scene::k_op_text_tick) continue;
        TextLayout* p = text_layout_of(*o);
        if (!p || p->inline_run || p->cursor >= p->slot_count ||
            p->cursor >= static_cast<std::int32_t>(p->slots.size()))
            continue;
        if (p->slots[static_cast<std::size_t>(p->cursor)].key_wait != 0) continue;
        p->show_rest = 1;
        taken = true;
    }
    return taken;
}

void watch_display_settings() {
    static std::vector<int> watches;
    for (int w : watches) script::unwatch_setting(w);
    watches.clear();
    auto watch = [](const char* name, void (*react)(double value)) {
        watches.push_back(
            script::watch_setting(name, [react, name](std::string_view, std::string_view) {
                react(script::setting_number(name));
            }));
    };
    watch("text_auto", [](double) { apply_auto_mode(); });
    watch("text_auto_lock", [](double) { apply_auto_mode(); });
    watch("text_erase", [](double v) {
        if ((v != 0) != engine::text_window_hidden()) set_message_window_hidden(v != 0);
    });
    watch("text_erase_lock", [](double v) {
        if (v != 0 && engine::text_window_hidden()) set_message_window_hidden(false);
    });
    watch("skip", [](double v) {
        const bool on = v != 0 && script::setting_number("skip_lock") == 0;
        if (on != engine::skip_mode()) engine::set_skip_mode(on);
    });
    watch("skip_lock", [](double v) {
        if (v != 0 && engine::skip_mode()) engine::set_skip_mode(false);
    });
    watch("menu_lock", [](double v) {
        if (v == 0) return;
        if (engine::skip_mode()) engine::set_skip_mode(false);
        if (engine::text_window_hidden()) set_message_window_hidden(false);
    });
    watches.push_back(script::watch_setting("last_text", [](std::string_view, std::string_view) {
        set_last_text(script::setting_text("last_text"));
    }));
}

void register_display() {
    scene::register_operation(scene::k_op_text_tick, reveal_step);
    engine::set_skip_listener(skip_changed);
    install_input_hooks();
    script::register_command("SetFont", cmd_set_font);
}

} // namespace kestrune::text
