// Internal to platform/: the scheduler behind stepped engine time.
//
// In a stepped run every engine thread (the main thread and every Thread) takes part in
// one baton: exactly one of them runs at a time, and a thread gives the baton away only
// at an engine wait (Event waits, wait_any, sleep_ms, a contended engine lock). Engine
// time stands still while a thread holds the baton. When a thread waits, the baton goes
// to the thread that became ready first (threads woken by the same moment are ready in
// the order of their thread number); when no thread is ready, time jumps to the earliest
// deadline of the waiting threads and those whose deadline came become ready. Everything
// a run does therefore happens in one order, whatever the machine or its load.
//
// Every function here is called with sync_mutex() held (the lock of the events), so that
// a wait registers on its events and gives the baton away in one step.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <span>

namespace kestrune::platform {

class Event;

// The one lock of every event and of the scheduler.
std::mutex& sync_mutex();

namespace stepped {

inline constexpr std::uint64_t k_no_deadline = ~std::uint64_t{0};

// One thread's place in the baton order.
struct Turn {
    enum class State { ready, waiting, running, outside };
    State state = State::outside;
    std::uint32_t number = 0;    // stable thread number: creation order
    std::uint64_t ready_seq = 0; // when it became ready: earlier runs first
    std::uint64_t deadline = k_no_deadline;
    std::span<Event* const> events; // what a waiting thread waits for
    bool has_baton = false;
    std::condition_variable cv;
    // Work done without giving the baton away, kept by the thread itself (busy_step).
    std::uint64_t blocks = 0;    // how often the thread has blocked
    std::uint64_t busy_mark = 0; // `blocks` when the count below began
    std::uint32_t busy = 0;
};

bool enabled();
std::uint64_t now_ms();

// The calling thread's turn, or null when it takes no part (wall-clock runs, threads
// not made by the engine).
Turn* current();

// Makes the calling thread (the main thread, before any other engine thread exists)
// the first holder of the baton and switches stepped time on.
void enable_on_this_thread();

// A new thread joins ready; its body waits for the baton before it runs.
void join(Turn& turn, std::uint32_t number);
void wait_for_baton(std::unique_lock<std::mutex>& lock, Turn& turn);
// A thread that ends gives the baton on and leaves the order.
void leave(std::unique_lock<std::mutex>& lock, Turn& turn);

// Gives the baton away until `events` wake the caller or `deadline` comes (engine ms).
// Returns with the baton held again; the caller looks at its events once more.
void block(std::unique_lock<std::mutex>& lock, Turn& turn, std::uint64_t deadline,
           std::span<Event* const> events);

// One unit of work (a script statement, a wait that found its event already set) done by
// the calling thread without giving the baton away since its last block. True when such
// work has reached a millisecond's worth: the caller then blocks for 1 ms of engine time.
// A thread that runs on without waiting (a script's endless loop, a wait that keeps
// finding an input set) would otherwise hold the baton, and time, forever; counted in
// units of work, it lets the others run and time move on, the same in every run.
bool busy_step(Turn& turn);
// Blocks the caller until `ms` of engine time have passed.
void pause(std::unique_lock<std::mutex>& lock, Turn& turn, std::uint32_t ms);

// An event changed: every thread waiting on it becomes ready to look again.
void event_changed(const Event* event);
// A stop request for a thread that may be waiting: it becomes ready to see it.
void wake(Turn& turn);

} // namespace stepped
} // namespace kestrune::platform
