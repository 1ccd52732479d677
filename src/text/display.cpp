// The reveal step of text objects: progressive reveal at the text speed, pauses, key waits,
// skip and auto mode.
#include "text/display.h"

#include "frame/engine.h"
#include "platform/clock.h"
#include "scene/scene.h"
#include "script/commands.h"
#include "script/system_variables.h"
#include "script/variables.h"
#include "text/layout.h"
#include "ui/input_events.h"
#include "ui/input_hooks.h"

#include <algorithm>

namespace kestrune::text {

namespace {

// The inputs that end a key wait: Enter, the left button, the wheel turned towards the
// reader and the Down arrow.
constexpr std::int32_t k_wait_codes[] = {ui::k_in_enter, ui::k_in_left_down, ui::k_in_wheel_down,
                                         ui::k_in_down};

bool wait_input_arrived() {
    for (std::int32_t code : k_wait_codes)
        if (ui::input_signalled(code)) return true;
    return false;
}

void consume_wait_inputs() {
    for (std::int32_t code : k_wait_codes) ui::reset_input(code);
}

bool restoring() {
    return engine::state() == engine::k_state_restoring;
}

bool waitkey_enabled() {
    return script::setting_number("text_waitkey") != 0;
}

// A click on a clickable object (the hand cursor) or while the reader hid the message
// window does not end a key wait.
bool input_blocked() {
    const ui::InputHooks& hooks = ui::input_hooks();
    if (hooks.cursor_is_hand && hooks.cursor_is_hand()) return true;
    if (hooks.text_window_hidden && hooks.text_window_hidden()) return true;
    return !waitkey_enabled();
}

double play_speed() {
    const double f = script::speed_factor();
    return f > 0 ? f : 1.0;
}

std::int32_t elapsed_since(const TextLayout& p, platform::Tick now) {
    const std::int32_t d = platform::tick_diff(now, p.reveal_time);
    return static_cast<std::int32_t>(std::max(0, d) * play_speed());
}

std::int32_t auto_pause(const TextLayout& p, bool at_least_one) {
    std::int32_t per = static_cast<std::int32_t>(script::setting_number("auto_wait_per_character"));
    if (per <= 0) per = at_least_one ? 1 : 0;
    return per * p.revealed_count;
}

void clear_layers(TextLayout& p) {
    for (PixelImage* layer : {p.target.get(), p.outline_layer.get()})
        if (layer && !layer->empty())
            for (std::int32_t y = 0; y < layer->height; ++y)
                std::fill_n(layer->row(y), static_cast<std::size_t>(layer->width) * 4, 0);
}

// A slot the timed reveal must not pass in one go: its instruction is obeyed by the next
// step.
bool is_stop(const CharSlot& s) {
    return s.key_wait != 0 || s.inline_script || s.voice || s.extra_wait > 0 || s.interval != -1 ||
           s.page_clear;
}

// Shows slot i and moves the cursor past it.
void show_slot(scene::SceneObject& o, TextLayout& p, std::int32_t i) {
    CharSlot& s = p.slots[static_cast<std::size_t>(i)];
    if (s.page_clear || p.pending_clear == i) {
        clear_layers(p);
        s.page_clear = 0;
        p.pending_clear = -1;
        scene::mark_object(o);
    }
    if (s.image && !s.image->empty()) {
        copy_glyph(p, i);
        ++p.revealed_count;
        scene::mark_object(o);
    }
    p.cursor = i + 1;
}

// Ends a key wait at slot i: the wait is over and the page's counters start again.
void end_key_wait(TextLayout& p, CharSlot& s, platform::Tick now) {
    s.key_wait = 0;
    s.extra_wait = 0;
    p.page_done = 0;
    p.show_rest = 0;
    p.revealed_count = 0;
    p.voice_sync_interval = 0;
    p.reveal_time = now;
    consume_wait_inputs();
}

// "$SYSTEM_last_text" mirrors the page being shown: the characters from `from` up to the
// next key wait or page clear, at most 504 bytes, a two-byte character as its two bytes.
constexpr std::size_t k_last_text_limit = 504;

void publish_last_text(const TextLayout& p, std::int32_t from, std::int32_t count) {
    if (engine::state() == engine::k_state_system_script) return;
    std::string text;
    for (std::int32_t j = from; j < count; ++j) {
        const CharSlot& s = p.slots[static_cast<std::size_t>(j)];
        if (j > from && (s.key_wait != 0 || s.page_clear)) break;
        const std::int32_t code = s.metrics.code;
        if (code < 0x20) continue; // line ends and other control slots
        const std::size_t need = code > 0xFF ? 2 : 1;
        if (text.size() + need > k_last_text_limit) break;
        if (code > 0xFF) text.push_back(static_cast<char>((code >> 8) & 0xFF));
        text.push_back(static_cast<char>(code & 0xFF));
    }
    script::var_set_text("$SYSTEM_last_text", text, false);
}

} // namespace

void copy_glyph(TextLayout& p, std::int32_t index) {
    const CharSlot& slot = p.slots[static_cast<std::size_t>(index)];
    const PixelImage* glyph = slot.image.get();
    PixelImage* target = p.target.get();
    if (!glyph || glyph->empty() || !target || target->empty()) return;
    // Straight-alpha "over", so that glyphs whose boxes overlap (italics, kerning) keep each
    // other's pixels.
    for (std::int32_t gy = 0; gy < glyph->height; ++gy) {
        const std::int32_t ty = slot.y + gy;
        if (ty < 0 || ty >= target->height) continue;
        const std::uint8_t* src = glyph->row(gy);
        std::uint8_t* dst = target->row(ty);
        for (std::int32_t gx = 0; gx < glyph->width; ++gx) {
            const std::int32_t tx = slot.x + gx;
            if (tx < 0 || tx >= target->width) continue;
            const std::uint8_t* s = src + gx * 4;
            std::uint8_t* d = dst + tx * 4;
            const unsigned sa = s[3];
            if (sa == 0) continue;
            const unsigned da = d[3];
            const unsigned out_a = sa + da * (255 - sa) / 255;
            for (int c = 0; c < 3; ++c)
                d[c] = static_cast<std::uint8_t>((s[c] * sa + d[c] * da * (255 - sa) / 255) /
                                                 (out_a ? out_a : 1));
            d[3] = static_cast<std::uint8_t>(out_a);
        }
    }
}

int reveal_step(scene::SceneObject& o) {
    TextLayout* pp = text_layout_of(o);
    if (!pp) return 0;
    TextLayout& p = *pp;
    const platform::Tick now = platform::tick_ms();
    if (p.reveal_time == 0) p.reveal_time = now;
    const std::int32_t count =
        std::min<std::int32_t>(p.slot_count, static_cast<std::int32_t>(p.slots.size()));
    const bool skip = engine::skip_mode();
    const bool automatic = engine::auto_mode();

    // Each pass handles the instructions of one slot; a slot whose instructions are done
    // either waits (-4) or is shown by the reveal below.
    for (int guard = 0; guard < k_layout_slots + 1; ++guard) {
        const std::int32_t i = p.cursor;
        if (i >= count) return 0;
        CharSlot& s = p.slots[static_cast<std::size_t>(i)];
        s.script_position = nullptr;
        if (s.interval != -1) {
            p.interval_override = s.interval;
            s.interval = -1;
        }

        // Input while revealing shows the rest of the page at once.
        if (s.key_wait == 0 && waitkey_enabled() && wait_input_arrived()) {
            p.show_rest = 1;
            consume_wait_inputs();
        }

        // Pauses (and the auto-mode pause of a key wait).
        if (s.key_wait == 3 && !skip && !automatic) {
            s.key_wait = 1;
            s.extra_wait = 0;
            return -4;
        }
        if (s.extra_wait > 0) {
            if (restoring() || (skip && s.key_wait != 3)) {
                s.extra_wait = 0;
            } else if (s.extra_wait > elapsed_since(p, now)) {
                return -4;
            }
            s.extra_wait = 0;
            p.reveal_time = now;
        }

        // Key waits.
        if (s.key_wait == 1) {
            if (restoring()) {
                end_key_wait(p, s, now);
            } else if (automatic) {
                s.extra_wait += auto_pause(p, true);
                s.key_wait = 3;
                p.reveal_time = now;
                return -4;
            } else if (skip) {
                s.key_wait = 3;
                return -4;
            } else {
                consume_wait_inputs();
                s.key_wait = 2;
                return -4;
            }
        }
        if (s.key_wait == 2) {
            if ((skip || wait_input_arrived()) && !input_blocked()) {
                end_key_wait(p, s, now);
            } else {
                if (skip || automatic) {
                    s.extra_wait += auto_pause(p, false);
                    s.key_wait = 3;
                    p.reveal_time = now;
                }
                return -4;
            }
        }
        if (s.key_wait == 3) end_key_wait(p, s, now); // its pause is over

        // First visit of a page.
        if (!p.page_done) {
            publish_last_text(p, i, count);
            p.page_done = 1;
        }

        // Show all up to the next stop.
        const double factor = script::setting_number("ignore_text_speed") != 0
                                  ? 1.0
                                  : script::setting_number("text_speed") / 1000.0;
        if (p.show_rest || p.reveal_all || (factor <= 0 && p.interval_override <= 0 && !skip)) {
            show_slot(o, p, i);
            while (p.cursor < count && !is_stop(p.slots[static_cast<std::size_t>(p.cursor)]))
                show_slot(o, p, p.cursor);
            p.reveal_time = now;
            if (p.cursor >= count) return 0;
            continue; // obey the stop's instructions in this step
        }

        // Timed reveal.
        double delay = p.interval_override > 0 ? p.interval_override : factor * base_interval();
        std::int64_t n = k_layout_slots;
        if (!skip) {
            const std::int32_t elapsed = elapsed_since(p, now);
            if (elapsed < delay) return -4;
            if (delay > 0) n = static_cast<std::int64_t>(elapsed / delay);
        }
        show_slot(o, p, i);
        for (std::int64_t k = 1; k < n && p.cursor < count; ++k) {
            CharSlot& next = p.slots[static_cast<std::size_t>(p.cursor)];
            if (skip && next.key_wait != 0 && !next.inline_script) {
                next.key_wait = 0; // skip mode passes key waits
                next.extra_wait = 0;
                p.revealed_count = 0;
            }
            if (skip && next.extra_wait > 0) next.extra_wait = 0;
            if (is_stop(next)) break;
            show_slot(o, p, p.cursor);
        }
        p.reveal_time = restoring() ? 0 : now;
        return p.cursor >= count ? 0 : 1;
    }
    return 1;
}

int display_request(scene::SceneObject& o, std::string_view word) {
    auto is_word = [&](std::string_view w) {
        return word.substr(0, w.size()) == w &&
               (word.size() == w.size() || word[w.size()] == '\t' || word[w.size()] == ' ');
    };
    TextLayout* p = text_layout_of(o);
    if (is_word("Erase")) {
        scene::set_slot(o, scene::k_slot_draw, scene::k_op_hidden);
        scene::set_slot(o, scene::k_slot_kind_tick, scene::k_op_hidden);
        scene::mark_object(o);
        return 1;
    }
    if (is_word("Enter")) {
        scene::set_slot(o, scene::k_slot_draw, scene::k_op_draw);
        if (p) {
            p->reveal_time = platform::tick_ms();
            if (p->reveal_time == 0) p->reveal_time = 1;
            scene::set_slot(o, scene::k_slot_kind_tick, scene::k_op_text_tick);
        }
        scene::mark_object(o);
        return 1;
    }
    return -1;
}

void register_display() {
    scene::register_operation(scene::k_op_text_tick, reveal_step);
}

void apply_auto_mode() {
    bool on = script::setting_number("text_auto") != 0;
    if (script::setting_number("text_auto_lock") != 0) {
        if (on) script::var_set_number("$SYSTEM_text_auto", 0);
        on = false;
    }
    engine::set_auto_mode(on);
    scene::mark_all_changed();
}

void watch_display_settings() {
    static int auto_watch = 0, lock_watch = 0;
    if (auto_watch) script::unwatch_setting(auto_watch);
    if (lock_watch) script::unwatch_setting(lock_watch);
    auto react = [](std::string_view, std::string_view) { apply_auto_mode(); };
    auto_watch = script::watch_setting("text_auto", react);
    lock_watch = script::watch_setting("text_auto_lock", react);
}

} // namespace kestrune::text
