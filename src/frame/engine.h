// The engine's process-wide state: the engine state word, the quit flag, the process-wide
// events, the command lock and script gate, the numbered locks, the thread registry, the
// multi-object wait and the render hold/release hooks. Every subsystem reads these.
//
// Threading contract:
//  - state(), previous_state() and quit_requested() may be read by any thread at any time
//    without a lock. set_state() writes previous state, then state, then signals the
//    state-changed event, and posts a wake-up to the main window so the main loop acts on
//    the change at once.
//  - Numbered locks become no-ops once the quit flag is set, so no thread blocks during
//    shutdown.
//  - Lock order: command lock before the scene lock (4).
#pragma once

#include "platform/sync.h"

#include <cstdint>
#include <functional>

namespace kestrune::engine {

// Engine states.
inline constexpr std::int32_t k_state_none = 0;
inline constexpr std::int32_t k_state_start_scripts = 1;
inline constexpr std::int32_t k_state_running = 256;
inline constexpr std::int32_t k_state_system_script = 400;
inline constexpr std::int32_t k_state_load_requested = 513;
inline constexpr std::int32_t k_state_restoring = 514;

inline bool in_running_range(std::int32_t s) {
    return s >= 256 && s <= 511;
}

std::int32_t state();
std::int32_t previous_state();
void set_state(std::int32_t new_state);

bool quit_requested();
// Sets the quit flag (never cleared) and signals the quit event.
void request_quit();

// Process-wide events (manual reset). Created by platform start-up; valid for the run.
platform::Event& quit_event();
platform::Event& state_changed_event();
platform::Event& attention_event();
platform::Event& skip_event();
platform::Event& script_gate();

// The command lock: a binary lock that command handlers take without blocking. A handler
// that finds it taken leaves its statement for a later pass.
bool try_take_command_lock();
// Waits until the lock could be taken; false when the quit flag was set or the thread was
// asked to stop meanwhile.
bool take_command_lock();
void give_command_lock();
bool command_lock_free();

// Numbered locks 1..10. 3 image loading, 4 scene, 5 script file loading, 6 text,
// 8 window message dispatch, 10 thread registry.
inline constexpr int k_lock_image = 3;
inline constexpr int k_lock_scene = 4;
inline constexpr int k_lock_script_load = 5;
inline constexpr int k_lock_text = 6;
inline constexpr int k_lock_message = 8;
inline constexpr int k_lock_registry = 10;

bool build_lock_table(); // no-op when already built
bool lock_table_built();
// Takes a numbered lock, waiting while it is held elsewhere; false when it was not taken
// (the quit flag was set, the thread was asked to stop, or there is no such lock).
bool lock(int id);
// Gives back one hold of a lock this thread took.
void unlock(int id);

// Holds a numbered lock for a scope and gives it back on every way out of it, exceptions
// included. unlock() lets it go early and lock() takes it again.
class ScopedLock {
public:
    explicit ScopedLock(int id) : m_id(id), m_held(engine::lock(id)) {}
    ~ScopedLock() { unlock(); }
    ScopedLock(const ScopedLock&) = delete;
    ScopedLock& operator=(const ScopedLock&) = delete;
    void lock() {
        if (!m_held) m_held = engine::lock(m_id);
    }
    void unlock() {
        if (m_held) engine::unlock(m_id);
        m_held = false;
    }
    bool held() const { return m_held; }

private:
    int m_id;
    bool m_held;
};
inline void scene_lock() {
    lock(k_lock_scene);
}
inline void scene_unlock() {
    unlock(k_lock_scene);
}

// Thread registry. Handles are small positive integers; -1 means none.
using ThreadRoutine = void (*)(void*);
inline constexpr int k_no_thread = -1;
inline constexpr std::uint8_t k_thread_running = 1;
inline constexpr std::uint8_t k_thread_suspended = 2;

int create_thread(bool start_running, ThreadRoutine routine, void* arg);
int resume_thread(int handle);
std::uint8_t thread_state(int handle);
int is_thread_running(int handle, ThreadRoutine routine = nullptr);
void release_thread(int handle);
// Asks the thread to stop (its engine waits return) without waiting for it.
void request_thread_stop(int handle);
// Waits up to timeout_ms for the thread to end; true when it ended.
bool wait_thread(int handle, std::uint32_t timeout_ms);
// Resumes suspended threads, asks all to stop, waits up to 1000 ms for each; threads that
// do not end are detached and reported. Frees every entry and closes the lock table.
// Returns 1 when every thread ended, else 0.
int tear_down_threads();
// Number of registered threads still running with this routine.
int count_running(ThreadRoutine routine);

// Multi-object wait bits and results.
inline constexpr std::uint32_t k_wait_quit = 1;
inline constexpr std::uint32_t k_wait_state = 2;
inline constexpr std::uint32_t k_wait_attention = 4;
inline constexpr std::uint32_t k_wait_skip = 8;
inline constexpr std::uint32_t k_wait_input_click = 16; // input codes 257 and 769
inline constexpr std::uint32_t k_wait_input_1026 = 32;
inline constexpr std::uint32_t k_wait_render_thread = 64;
inline constexpr std::uint32_t k_wait_extra = 16777216;
inline constexpr std::uint32_t k_wait_timed_out = 268435456;

// Waits on the objects chosen by `which`, then `extra` (if not null). Returns the bit of
// the first signalled object in that order, k_wait_extra, or k_wait_timed_out on time-out
// or when the calling thread was asked to stop.
std::uint32_t wait_multi(std::uint32_t which, platform::Event* extra, std::uint32_t timeout_ms);
// Resets the input events behind the input bits of `which` (k_wait_input_click: 257 and 769;
// k_wait_input_1026) in the current set: a wait that ended on an input has used it up, so a
// press that is still held does not end the next wait as well.
void consume_inputs(std::uint32_t which);
// True when an input event behind the input bits of `which` is signalled in the current set.
bool inputs_pending(std::uint32_t which);

// Sources for the wait bits that belong to later subsystems. Each returns the event for the
// current process set, or null while the subsystem does not exist.
struct WaitSources {
    platform::Event* (*input_click)() = nullptr;     // code 257
    platform::Event* (*input_click_alt)() = nullptr; // code 769, reset before waiting
    platform::Event* (*input_1026)() = nullptr;
    platform::Event* (*render_thread_ended)() = nullptr;
};
void set_wait_sources(const WaitSources& sources);
// The sources installed so far, so that a subsystem can fill in its own and keep the rest.
WaitSources wait_sources();

// Render hold and release. The scene subsystem installs the real operations; until then
// they do nothing.
struct RenderHooks {
    void (*hold)() = nullptr;
    void (*release)() = nullptr;
    bool (*is_held)() = nullptr;
    bool (*is_running)() = nullptr;
};
void set_render_hooks(const RenderHooks& hooks);
void render_hold();
void render_release();
bool render_is_held();
bool render_is_running();

// The render thread's pulse: it counts every pass of its loop (held, idle or drawing), so
// that the main loop's watchdog can tell a render thread that stopped turning.
void note_render_pass();
std::uint64_t render_passes();

// Wake-up of the main loop: installed by the main loop, called by set_state().
void set_main_wakeup(std::function<void()> wake);
void wake_main();

// Skip mode and auto mode of the text display. Switching skip mode on signals the skip
// event, so that running waits end at once.
bool skip_mode();
void set_skip_mode(bool on);
// Called after every switch of skip mode (the display keeps "$SYSTEM_skip" in step).
void set_skip_listener(void (*listener)(bool on));
bool auto_mode();
void set_auto_mode(bool on);
// The reader hid the message window (Space, the right button, "$SYSTEM_text_erase"):
// `Hideable` objects and the text icon are not drawn and key waits do not end.
bool text_window_hidden();
void set_text_window_hidden(bool hidden);

// The mouse pointer in frame coordinates, as last seen by the main window (or moved by
// MoveCursor).
void pointer_position(std::int32_t& x, std::int32_t& y);
void set_pointer_position(std::int32_t x, std::int32_t y);

// Creates the process-wide events in their initial states (quit and state-changed
// unsignalled, script gate and command lock signalled). Called by platform start-up.
void init_process_state();
// Test support: returns every process-wide item to its state before start-up.
void reset_process_state_for_tests();

} // namespace kestrune::engine
