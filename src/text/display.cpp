// The reveal step of text objects: progressive reveal at the text speed, pauses, key waits
// with their icons, voices, script blocks inside the text, skip and auto mode.
#include "text/display.h"

#include "frame/engine.h"
#include "platform/clock.h"
#include "scene/raster.h"
#include "scene/scene.h"
#include "script/commands.h"
#include "script/context.h"
#include "script/system_variables.h"
#include "text/display_internal.h"
#include "text/icons.h"
#include "text/layout.h"
#include "ui/input_events.h"
#include "ui/window_input.h"

#include <algorithm>

namespace kestrune::text {

using namespace detail;

namespace {

// The inputs that end a key wait: Enter, the left button, the wheel turned towards the
// reader and the Down arrow.
constexpr std::int32_t k_wait_codes[] = {ui::k_in_enter, ui::k_in_left_down, ui::k_in_wheel_down,
                                         ui::k_in_down};

// What the step does after one of its stages: go on to the next stage, or return a value.
constexpr int k_go_on = 2;

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

bool setting_on(const char* name) {
    return script::setting_number(name) != 0;
}

// A click on a clickable object (the hand cursor) or while the reader hid the message
// window does not end a key wait; nor does any input while "text_waitkey" is 0.
bool input_blocked() {
    if (ui::cursor_is_hand()) return true;
    if (engine::text_window_hidden()) return true;
    return !setting_on("text_waitkey");
}

double play_speed() {
    const double f = script::speed_factor();
    return f > 0 ? f : 1.0;
}

std::int32_t elapsed_since(const TextLayout& p, platform::Tick now) {
    const std::int32_t d = platform::tick_diff(now, p.reveal_time);
    return static_cast<std::int32_t>(std::max(0, d) * play_speed());
}

std::int32_t auto_wait_setting() {
    return static_cast<std::int32_t>(script::setting_number("auto_wait_per_character"));
}

// Turns the key wait at s into the auto pause: the time per character shown on the page
// (`at_least_one`: a setting of 0 counts as 1 ms).
void start_auto_pause(TextLayout& p, CharSlot& s, bool at_least_one, platform::Tick now) {
    std::int32_t per = auto_wait_setting();
    p.auto_wait = per;
    if (per <= 0) per = at_least_one ? 1 : 0;
    p.auto_part = per * p.revealed_count;
    s.extra_wait += p.auto_part;
    s.key_wait = 3;
    p.reveal_time = now;
    if (p.icon) show_icon(k_icon_auto);
}

void take_back_auto_part(TextLayout& p, CharSlot& s) {
    s.extra_wait = std::max(0, s.extra_wait - p.auto_part);
    p.auto_part = 0;
}

bool voice_playing() {
    const DisplayHooks& h = display_hooks();
    return h.voice_playing && h.voice_playing();
}

void stop_voice() {
    if (display_hooks().stop_voice) display_hooks().stop_voice();
}

// Input the reader already gave while auto or skip mode runs: the left button held, or the
// wheel turned towards the reader.
bool input_pending() {
    return ui::input_signalled(ui::k_in_left_down) || ui::input_signalled(ui::k_in_wheel_down);
}

// Stage 5: pauses (a WAIT tag, "." and ",", the auto pause of a key wait).
int pause_stage(TextLayout& p, CharSlot& s, platform::Tick now) {
    const bool skip = engine::skip_mode(), automatic = engine::auto_mode();
    if (s.extra_wait <= 0 && s.key_wait != 3) return k_go_on;
    if ((skip || automatic) && setting_on("auto_ignore_key_cancel") && input_pending()) {
        // The reader wants to read: the pause becomes a key wait.
        if (s.key_wait == 3) take_back_auto_part(p, s);
        s.key_wait = 2;
        return k_go_on;
    }
    if (s.key_wait == 3 && !skip && !automatic) {
        // Auto mode was switched off during its pause: wait for the reader again.
        take_back_auto_part(p, s);
        s.key_wait = 1;
        return -4;
    }
    const bool auto_setting_changed = s.key_wait == 3 && p.auto_wait != auto_wait_setting();
    if (!restoring() && !auto_setting_changed && s.extra_wait > elapsed_since(p, now)) return -4;
    if (setting_on("auto_text_break_voice")) {
        if (voice_playing()) stop_voice();
    } else if ((skip || automatic) && voice_playing()) {
        return -4; // auto mode lets the voice finish
    }
    s.extra_wait = 0;
    p.auto_part = 0;
    p.voice_sync_interval = 0;
    p.reveal_time = now;
    if (engine::text_window_hidden() && (skip || automatic)) set_message_window_hidden(false);
    p.current_voice.clear();
    if (p.icon) show_icon(k_icon_none);
    return k_go_on;
}

// Ends the key wait at s: the page's counters start again.
void end_key_wait(TextLayout& p, CharSlot& s, std::int32_t i, platform::Tick now) {
    s.key_wait = 0;
    s.extra_wait = 0;
    if (p.icon) show_icon(k_icon_none);
    if (setting_on("click_break_voice") && voice_playing()) stop_voice();
    if (p.pending_clear >= 0 && p.pending_clear != i) {
        clear_layers(p);
        p.pending_clear = -1;
    }
    p.page_done = 0;
    p.show_rest = 0;
    p.revealed_count = 0;
    p.voice_sync_interval = 0;
    p.auto_part = 0;
    p.current_voice.clear();
    p.reveal_time = now;
    consume_wait_inputs();
}

// Stage 6: the key wait at slot i (1 requested, 2 waiting for input, 3 its auto pause).
int key_wait_stage(scene::SceneObject& o, TextLayout& p, CharSlot& s, std::int32_t i,
                   platform::Tick now) {
    const bool skip = engine::skip_mode(), automatic = engine::auto_mode();
    if (s.key_wait == 1) {
        if (restoring()) {
            end_key_wait(p, s, i, now);
            return k_go_on;
        }
        if (automatic) {
            start_auto_pause(p, s, true, now);
            return -4;
        }
        if (skip) {
            s.key_wait = 3; // passes at the next step
            return -4;
        }
        consume_wait_inputs();
        s.key_wait = 2;
        if (p.icon) show_icon(s.icon_kind ? s.icon_kind : k_icon_page);
        return -4;
    }
    if (s.key_wait == 2) {
        if ((skip || wait_input_arrived()) && !input_blocked()) {
            end_key_wait(p, s, i, now);
            scene::mark_object(o);
            return 1;
        }
        if (skip || automatic) start_auto_pause(p, s, false, now);
        return -4;
    }
    if (s.key_wait == 3) {
        end_key_wait(p, s, i, now); // its pause is over
        return 1;
    }
    return k_go_on;
}

// Characters with a glyph from slot i to the end of the page (the end of the text, a page
// clear, or an empty line).
std::int32_t characters_to_page_end(const TextLayout& p, std::int32_t i, std::int32_t count) {
    std::int32_t n = 0;
    bool line_empty = true;
    for (std::int32_t j = i; j < count; ++j) {
        const CharSlot& s = p.slots[static_cast<std::size_t>(j)];
        if (j > i && s.page_clear) break;
        if (s.line_start) {
            if (line_empty && j > i) break;
            line_empty = true;
        }
        if (s.image) {
            ++n;
            line_empty = false;
        }
    }
    return n;
}

// Stage 7: a voice at slot i starts (outside skip mode) and goes to the backlog.
void voice_stage(TextLayout& p, CharSlot& s, std::int32_t i, std::int32_t count) {
    if (!s.voice) return;
    std::unique_ptr<VoiceRecord> voice = std::move(s.voice); // used once
    if (!engine::skip_mode() && voice->enabled) {
        stop_voice();
        DisplayHooks& h = display_hooks();
        p.voice_started = h.start_voice && h.start_voice(*voice);
        p.current_voice = voice->class_name.substr(0, k_voice_class_size - 1);
        if (p.voice_started && setting_on("sync_voice_and_text") &&
            !setting_on("ignore_voice_sync_text") && h.voice_length_ms)
            p.voice_sync_interval =
                voice_sync_interval(h.voice_length_ms(*voice), characters_to_page_end(p, i, count));
    }
    if (p.backlog) backlog_add(0, voice.get());
    if (p.voice_started) {
        p.started_voice = std::move(voice);
        p.started_voice_slot = i;
    }
}

// The block whose text the object shows, while it still exists (a scene's file may be
// unloaded while its text stays on the screen).
script::ScriptBlock* reader_of(const TextLayout& p) {
    if (!p.reader) return nullptr;
    script::ScriptBlock* b = script::find_block_by_number(p.reader_number);
    return b == p.reader ? b : nullptr;
}

// Stage 11: the first visit of a page publishes its text and learns whether it was read.
void first_visit(TextLayout& p, std::int32_t i, std::int32_t count) {
    if (p.page_done) return;
    p.page_done = 1;
    if (engine::state() == engine::k_state_system_script) return;
    last_text_clear();
    script::ScriptBlock* reader = reader_of(p);
    bool read = reader != nullptr;
    bool any_position = false;
    for (std::int32_t j = i; j < count; ++j) {
        const CharSlot& s = p.slots[static_cast<std::size_t>(j)];
        if (j > i && (s.key_wait != 0 || s.page_clear)) break;
        if (s.image) last_text_add(s.metrics.code);
        if (!s.image && s.script_position && reader) {
            any_position = true;
            read = read && script::text_position_read(*reader, s.script_position);
        }
    }
    p.already_read = read && any_position ? 1 : 0;
}

bool read_colours(const TextLayout& p) {
    return p.already_read && setting_on("read_text_color_change");
}

void mark_rect(scene::SceneObject& o, const TextLayout& p, const ChangedRect& r) {
    if (r.w <= 0) return;
    if (p.vertical || !o.drawable) {
        scene::mark_object(o);
        return;
    }
    scene::mark_changed(o.drawable->x + r.x, o.drawable->y + r.y, r.w, r.h);
}

// Draws the ruby glyphs whose turn has come: those left of the right edge of the newest
// character, and all that remain once the last base character is out.
void reveal_ruby(scene::SceneObject& o, TextLayout& p, std::int32_t shown, std::int32_t edge) {
    if (p.ruby_in_progress < 0) return;
    const CharSlot& base = p.slots[static_cast<std::size_t>(p.ruby_in_progress)];
    const std::int32_t n = static_cast<std::int32_t>(p.ruby_x.size());
    const bool base_done = shown >= p.ruby_in_progress + std::max(1, base.ruby_base_length) - 1;
    const std::uint32_t colour = read_colours(p) ? k_read_fill : base.fill_colour;
    while (p.ruby_progress < n) {
        const std::size_t k = static_cast<std::size_t>(p.ruby_progress);
        const bool last = p.ruby_progress == n - 1;
        if (!restoring() && !base_done && !last && p.ruby_x[k] >= edge) break;
        if (!restoring() && !base_done && last && n > 1) break;
        mark_rect(
            o, p,
            copy_ruby(p, base.ruby_start + p.ruby_progress, p.ruby_x[k], p.ruby_y[k], colour));
        ++p.ruby_progress;
    }
    if (p.ruby_progress >= n) {
        p.ruby_in_progress = -1;
        p.ruby_x.clear();
        p.ruby_y.clear();
    }
}

void place_icon_after(scene::SceneObject& o, const CharSlot& s) {
    const std::int32_t ox = o.drawable ? o.drawable->x : o.x;
    const std::int32_t oy = o.drawable ? o.drawable->y : o.y;
    place_icon(ox + s.x + (s.image ? s.image->width : 0), oy + s.line_y);
}

// A new line of the text ends the backlog's line.
void log_line_start(TextLayout& p, CharSlot& s) {
    if (!s.line_start) return;
    if (p.backlog) backlog_add(10, nullptr);
    s.line_start = 0;
}

// Shows slot i and moves the cursor past it: a page clear first, then the glyph with its
// ruby, the icon after it and the character in the backlog.
void show_slot(scene::SceneObject& o, TextLayout& p, std::int32_t i) {
    CharSlot& s = p.slots[static_cast<std::size_t>(i)];
    if (s.page_clear || p.pending_clear == i) {
        clear_layers(p);
        s.page_clear = 0;
        p.pending_clear = -1;
        scene::mark_object(o);
    }
    log_line_start(p, s);
    // The line ends of the text count in the read-text map (the characters are read from
    // the start): passing one the reader has not seen ends skip mode.
    if (s.script_position && !s.image)
        if (script::ScriptBlock* reader = reader_of(p))
            script::mark_text_position(*reader, s.script_position);
    s.script_position = nullptr;
    if (s.image && !s.image->empty()) {
        if (s.ruby_start >= 0 && s.ruby_glyph_count > 0) {
            const auto at = place_ruby(p, i, p.target ? p.target->width : 0);
            p.ruby_in_progress = at.empty() ? -1 : i;
            p.ruby_progress = 0;
            p.ruby_x.clear();
            p.ruby_y.clear();
            for (const RubyPosition& r : at) {
                p.ruby_x.push_back(r.x);
                p.ruby_y.push_back(r.y);
            }
        }
        mark_rect(o, p, copy_slot(p, i, read_colours(p)));
        ++p.revealed_count;
        reveal_ruby(o, p, i, s.x + s.image->width);
        if (p.icon) place_icon_after(o, s);
    }
    if (p.backlog && s.image) backlog_add(s.metrics.code, nullptr);
    p.cursor = i + 1;
}

// A slot the reveal must not pass in one go: its instruction is obeyed by the next step.
bool is_stop(const CharSlot& s, bool with_positions) {
    return s.key_wait != 0 || s.inline_script || s.voice || s.extra_wait > 0 || s.interval != -1 ||
           (with_positions && s.script_position);
}

double text_speed_factor() {
    return setting_on("ignore_text_speed") ? 1.0 : script::setting_number("text_speed") / 1000.0;
}

} // namespace

void replay_text(scene::SceneObject& o, std::int32_t cursor) {
    TextLayout* pp = text_layout_of(o);
    if (!pp) return;
    TextLayout& p = *pp;
    const std::int32_t count =
        std::min<std::int32_t>(p.slot_count, static_cast<std::int32_t>(p.slots.size()));
    cursor = std::min(cursor, count);
    // The characters went to the backlog when they were first shown.
    const std::int32_t backlog = p.backlog;
    p.backlog = 0;
    for (int step = 0; step < k_layout_slots && p.cursor < cursor; ++step) {
        const std::int32_t before = p.cursor;
        if (before < 0) break;
        show_slot(o, p, before);
        if (p.cursor <= before) break;
    }
    p.backlog = backlog;
}

int reveal_step(scene::SceneObject& o) {
    TextLayout* pp = text_layout_of(o);
    if (!pp) return 0;
    TextLayout& p = *pp;
    const platform::Tick now = platform::tick_ms();
    if (p.reveal_time == 0) p.reveal_time = now;
    // Every slot index below is checked against the table before it is used.
    const std::int32_t count =
        std::min<std::int32_t>(p.slot_count, static_cast<std::int32_t>(p.slots.size()));

    // Each pass obeys the instructions of one slot; a slot whose instructions are done
    // either waits (-4) or is shown by the reveal below.
    for (int guard = 0; guard < k_layout_slots + 1; ++guard) {
        const std::int32_t i = p.cursor;
        if (i < 0 || i >= count) return 0;
        CharSlot& s = p.slots[static_cast<std::size_t>(i)];
        const bool skip = engine::skip_mode();

        // A script block inside the text runs on its own thread; the text waits for it.
        if (p.inline_run) {
            if (restoring()) return 1;
            if (script::inline_script_running(*p.inline_run)) return -4;
            script::end_inline_script(*p.inline_run);
            p.inline_run.reset();
            p.page_done = 0;
            p.show_rest = 0;
            p.reveal_time = now;
            scene::mark_all_changed();
        }
        log_line_start(p, s);
        if (s.interval != -1) {
            p.interval_override = s.interval;
            s.interval = -1;
        }
        if (const int r = pause_stage(p, s, now); r != k_go_on) return r;
        if (const int r = key_wait_stage(o, p, s, i, now); r != k_go_on) return r;
        voice_stage(p, s, i, count);
        if (p.voice_started && !voice_playing()) p.voice_started = false;
        if (skip && p.voice_started) {
            stop_voice();
            p.voice_started = false;
        }
        if (s.inline_script) {
            const char* start = s.inline_script;
            s.inline_script = nullptr;
            script::ScriptBlock* reader = reader_of(p);
            if (!reader) continue;
            p.inline_run = script::start_inline_script(*reader, start);
            if (!p.inline_run) return 0;
            return -4;
        }
        if (s.page_clear || p.pending_clear == i) {
            clear_layers(p);
            s.page_clear = 0;
            p.pending_clear = -1;
            scene::mark_object(o);
        }
        first_visit(p, i, count);

        // Show all up to the next stop.
        const double factor = text_speed_factor();
        if (p.show_rest || p.reveal_all || (factor <= 0 && p.interval_override <= 0 && !skip)) {
            show_slot(o, p, i);
            while (p.cursor < count && !is_stop(p.slots[static_cast<std::size_t>(p.cursor)], true))
                show_slot(o, p, p.cursor);
            p.reveal_time = now;
            if (p.cursor >= count) return 0;
            continue; // obey the stop's instructions in this step
        }

        // Timed reveal.
        double delay = p.interval_override > 0 ? p.interval_override : factor * base_interval();
        if (p.voice_sync_interval > 0 && setting_on("sync_voice_and_text") &&
            !setting_on("ignore_voice_sync_text"))
            delay = p.voice_sync_interval;
        std::int64_t n = k_layout_slots;
        if (!skip) {
            const std::int32_t elapsed = elapsed_since(p, now);
            if (elapsed < delay) return -4;
            if (delay > 0) n = static_cast<std::int64_t>(elapsed / delay);
        }
        if (restoring()) n = 1;
        show_slot(o, p, i);
        for (std::int64_t k = 1; k < n && p.cursor < count; ++k) {
            CharSlot& next = p.slots[static_cast<std::size_t>(p.cursor)];
            // A pause, a script block or a speed change stops the run before anything of
            // the slot is taken away: the slot's key wait must still be there if skip mode
            // ends during that pause.
            if (next.extra_wait > 0 || next.inline_script || next.interval != -1) break;
            if (skip) {
                // Skip mode passes key waits and voices (the voices still reach the
                // backlog).
                if (next.key_wait != 0) {
                    next.key_wait = 0;
                    p.revealed_count = 0;
                    if (p.icon) show_icon(k_icon_none);
                }
                if (next.voice) {
                    log_line_start(p, next);
                    if (p.backlog) backlog_add(0, next.voice.get());
                    next.voice.reset();
                }
            }
            if (is_stop(next, false)) break;
            show_slot(o, p, p.cursor);
        }
        p.reveal_time = restoring() ? 0 : now;
        return p.cursor >= count ? 0 : 1;
    }
    return 1;
}

int erase_text_object(scene::SceneObject& o) {
    scene::set_slot(o, scene::k_slot_draw, scene::k_op_hidden);
    scene::set_slot(o, scene::k_slot_kind_tick, scene::k_op_hidden);
    scene::mark_object(o);
    return 1;
}

int enter_text_object(scene::SceneObject& o) {
    scene::set_slot(o, scene::k_slot_draw, scene::k_op_draw);
    if (TextLayout* p = text_layout_of(o)) {
        p->reveal_time = platform::tick_ms();
        if (p->reveal_time == 0) p->reveal_time = 1;
        scene::set_slot(o, scene::k_slot_kind_tick, scene::k_op_text_tick);
    }
    scene::mark_object(o);
    return 1;
}

std::int32_t voice_sync_interval(std::int32_t voice_ms, std::int32_t characters) {
    if (voice_ms <= 0 || characters <= 0) return 0;
    const std::int32_t ms = voice_ms > 200 ? voice_ms - 200 : voice_ms;
    return ms / characters;
}

} // namespace kestrune::text
