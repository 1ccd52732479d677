// Engine state word, quit flag, process-wide events, command lock, the multi-object wait
// and the render hooks.
#include "frame/engine.h"

#include "platform/immortal.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

namespace kestrune::engine {

namespace {

struct ProcessState {
    platform::Event quit{true, false};
    platform::Event state_changed{true, false};
    platform::Event attention{true, false};
    platform::Event skip{true, false};
    platform::Event script_gate{true, true};
    platform::Event command_lock{true, true};
};

std::atomic<std::int32_t> g_state{k_state_none};
std::atomic<std::int32_t> g_previous_state{k_state_none};
std::atomic<bool> g_quit{false};
// Never destroyed: a thread still running at exit may signal these events.
platform::Immortal<ProcessState> g_process;
std::mutex g_command_lock_mutex; // makes test-and-take of the command lock atomic

std::atomic<bool> g_skip_mode{false};
std::atomic<bool> g_auto_mode{false};
std::atomic<bool> g_text_window_hidden{false};
std::atomic<std::int64_t> g_pointer{0};
std::atomic<std::uint64_t> g_render_passes{0};

WaitSources g_wait_sources;
RenderHooks g_render_hooks;
std::mutex g_wake_mutex;
std::function<void()> g_wake;

} // namespace

std::int32_t state() {
    return g_state.load();
}
std::int32_t previous_state() {
    return g_previous_state.load();
}

void set_state(std::int32_t new_state) {
    g_previous_state.store(g_state.load());
    g_state.store(new_state);
    g_process->state_changed.signal();
    wake_main();
}

bool quit_requested() {
    return g_quit.load();
}

void request_quit() {
    g_quit.store(true);
    g_process->quit.signal();
    wake_main();
}

platform::Event& quit_event() {
    return g_process->quit;
}
platform::Event& state_changed_event() {
    return g_process->state_changed;
}
platform::Event& attention_event() {
    return g_process->attention;
}
platform::Event& skip_event() {
    return g_process->skip;
}
platform::Event& script_gate() {
    return g_process->script_gate;
}

bool try_take_command_lock() {
    // The lock is an event: signalled means free. Checking and resetting must be one step,
    // or two threads could both see it free.
    std::lock_guard guard(g_command_lock_mutex);
    if (!g_process->command_lock.is_signalled()) return false;
    g_process->command_lock.reset();
    return true;
}

bool take_command_lock() {
    for (;;) {
        if (try_take_command_lock()) return true;
        if (quit_requested()) return false;
        platform::Event* events[] = {&g_process->command_lock, &g_process->quit};
        if (platform::wait_any(events, 100) == platform::k_wait_stopped) return false;
    }
}

void give_command_lock() {
    g_process->command_lock.signal();
}

bool command_lock_free() {
    return g_process->command_lock.is_signalled();
}

void set_wait_sources(const WaitSources& sources) {
    g_wait_sources = sources;
}

WaitSources wait_sources() {
    return g_wait_sources;
}

std::uint32_t wait_multi(std::uint32_t which, platform::Event* extra, std::uint32_t timeout_ms) {
    std::vector<platform::Event*> events;
    std::vector<std::uint32_t> bits;
    auto add = [&](std::uint32_t bit, platform::Event* e) {
        if (!e) return;
        events.push_back(e);
        bits.push_back(bit);
    };
    if (which & k_wait_quit) add(k_wait_quit, &g_process->quit);
    if (which & k_wait_state) {
        g_process->state_changed.reset();
        add(k_wait_state, &g_process->state_changed);
    }
    if (which & k_wait_attention) add(k_wait_attention, &g_process->attention);
    if (which & k_wait_skip) add(k_wait_skip, &g_process->skip);
    if (which & k_wait_input_click) {
        if (g_wait_sources.input_click) add(k_wait_input_click, g_wait_sources.input_click());
        if (g_wait_sources.input_click_alt) {
            platform::Event* alt = g_wait_sources.input_click_alt();
            if (alt) alt->reset();
            add(k_wait_input_click, alt);
        }
    }
    if ((which & k_wait_input_1026) && g_wait_sources.input_1026)
        add(k_wait_input_1026, g_wait_sources.input_1026());
    if ((which & k_wait_render_thread) && g_wait_sources.render_thread_ended)
        add(k_wait_render_thread, g_wait_sources.render_thread_ended());
    if (extra) add(k_wait_extra, extra);

    const int r = platform::wait_any(events, timeout_ms);
    if (r < 0) return k_wait_timed_out;
    return bits[static_cast<std::size_t>(r)];
}

bool inputs_pending(std::uint32_t which) {
    auto signalled = [](platform::Event* (*source)()) {
        if (!source) return false;
        platform::Event* e = source();
        return e && e->is_signalled();
    };
    if ((which & k_wait_input_click) &&
        (signalled(g_wait_sources.input_click) || signalled(g_wait_sources.input_click_alt)))
        return true;
    return (which & k_wait_input_1026) && signalled(g_wait_sources.input_1026);
}

void consume_inputs(std::uint32_t which) {
    auto reset = [](platform::Event* (*source)()) {
        if (!source) return;
        if (platform::Event* e = source()) e->reset();
    };
    if (which & k_wait_input_click) {
        reset(g_wait_sources.input_click);
        reset(g_wait_sources.input_click_alt);
    }
    if (which & k_wait_input_1026) reset(g_wait_sources.input_1026);
}

void set_render_hooks(const RenderHooks& hooks) {
    g_render_hooks = hooks;
}

void render_hold() {
    if (quit_requested() || !render_is_running() || !g_render_hooks.hold) return;
    g_render_hooks.hold();
}

void render_release() {
    if (quit_requested() || !render_is_running() || !g_render_hooks.release) return;
    g_render_hooks.release();
}

bool render_is_held() {
    return g_render_hooks.is_held && g_render_hooks.is_held();
}
bool render_is_running() {
    return g_render_hooks.is_running && g_render_hooks.is_running();
}

void note_render_pass() {
    g_render_passes.fetch_add(1, std::memory_order_relaxed);
}
std::uint64_t render_passes() {
    return g_render_passes.load(std::memory_order_relaxed);
}

void set_main_wakeup(std::function<void()> wake) {
    std::lock_guard guard(g_wake_mutex);
    g_wake = std::move(wake);
}

void wake_main() {
    std::function<void()> wake;
    {
        std::lock_guard guard(g_wake_mutex);
        wake = g_wake;
    }
    if (wake) wake();
}

bool skip_mode() {
    return g_skip_mode.load();
}

std::atomic<void (*)(bool)> g_skip_listener{nullptr};

void set_skip_mode(bool on) {
    const bool was = g_skip_mode.exchange(on);
    if (on && !was) {
        g_process->skip.signal();
    } else if (!on) {
        g_process->skip.reset();
    }
    if (auto listener = g_skip_listener.load()) listener(on);
}

void set_skip_listener(void (*listener)(bool on)) {
    g_skip_listener.store(listener);
}

bool auto_mode() {
    return g_auto_mode.load();
}
void set_auto_mode(bool on) {
    g_auto_mode.store(on);
}

bool text_window_hidden() {
    return g_text_window_hidden.load();
}
void set_text_window_hidden(bool hidden) {
    g_text_window_hidden.store(hidden);
}

void pointer_position(std::int32_t& x, std::int32_t& y) {
    const std::int64_t packed = g_pointer.load();
    x = static_cast<std::int32_t>(packed >> 32);
    y = static_cast<std::int32_t>(packed & 0xFFFFFFFF);
}

void set_pointer_position(std::int32_t x, std::int32_t y) {
    g_pointer.store((static_cast<std::int64_t>(x) << 32) | static_cast<std::uint32_t>(y));
}

void init_process_state() {
    g_process->quit.reset();
    g_process->state_changed.reset();
    g_process->attention.reset();
    g_process->skip.reset();
    g_process->script_gate.signal();
    g_process->command_lock.signal();
}

void reset_process_state_for_tests() {
    g_quit.store(false);
    g_state.store(k_state_none);
    g_previous_state.store(k_state_none);
    init_process_state();
    g_wait_sources = {};
    g_render_hooks = {};
    g_skip_mode = false;
    g_auto_mode = false;
    g_text_window_hidden = false;
    g_pointer = 0;
    set_main_wakeup(nullptr);
}

} // namespace kestrune::engine
