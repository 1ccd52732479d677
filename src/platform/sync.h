// Events, mutexes and the multi-object wait.
//
// Events follow the classic model: manual-reset events stay signalled until reset;
// auto-reset events release one waiter and reset themselves. pulse() releases every
// thread waiting at that moment (manual) or one of them (auto) and leaves the event
// unsignalled; a waiter that is already blocked never misses a pulse.
//
// Every wait here also watches the stop request of the calling engine thread (see
// thread.h): a stop request ends the wait with k_wait_stopped, so a thread blocked in an
// engine wait always comes back to check whether it must end. Threads are never killed.
#pragma once

#include <atomic>
#include <cstdint>
#include <initializer_list>
#include <mutex>
#include <pthread.h>
#include <span>

namespace kestrune::platform {

inline constexpr std::uint32_t k_infinite = 0xFFFFFFFFu;
inline constexpr int k_wait_timeout = -1;
inline constexpr int k_wait_stopped = -2;

class WaitRecord;

class Event {
public:
    explicit Event(bool manual_reset = true, bool signalled = false);
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;
    ~Event();

    void signal();
    void reset();
    void pulse();
    bool is_signalled() const;

    // Waits up to timeout_ms of engine time. Returns true when the event was signalled
    // (or pulsed), false on time-out or stop request.
    bool wait(std::uint32_t timeout_ms = k_infinite);

private:
    friend class WaitRecord;
    bool m_manual;
    bool m_signalled;
    std::uint64_t m_pulse_generation = 0; // manual pulses seen by waiters
    int m_waiters = 0;
    int m_pulse_tokens = 0; // auto pulses owed to blocked waiters
};

// Waits until one of the events is signalled. Returns the index of the first signalled
// event in list order, k_wait_timeout after timeout_ms of engine time, or k_wait_stopped
// when the calling thread was asked to stop. Null entries are ignored. An auto-reset event
// that ends the wait is reset by it.
int wait_any(std::span<Event* const> events, std::uint32_t timeout_ms);
inline int wait_any(std::initializer_list<Event*> events, std::uint32_t timeout_ms) {
    return wait_any(std::span<Event* const>(events.begin(), events.size()), timeout_ms);
}

// For locks kept outside this file (the engine's numbered locks): a thread that finds such
// a lock taken calls lock_contended() before it tries again, and the owner calls
// lock_released() after giving it back. In stepped time the first gives the baton away
// until some lock is released (or 20 ms of engine time pass); on the wall clock both do
// nothing.
void lock_contended();
void lock_released();

// A mutex whose lock can be abandoned: lock() returns false instead of blocking forever
// when the calling thread is asked to stop or `give_up` (if given) becomes true. A
// recursive one may be taken again by the thread that holds it (as often as it is given
// back). Built on a pthread mutex with timed locking, which the thread sanitizer follows
// (it does not see std::timed_mutex's timed locks, and would report every lock as unheld).
class Mutex {
public:
    explicit Mutex(bool recursive = false);
    ~Mutex();
    Mutex(const Mutex&) = delete;
    Mutex& operator=(const Mutex&) = delete;

    bool lock(const std::atomic<bool>* give_up = nullptr);
    bool try_lock();
    // One try of a waiting lock: waits up to 20 ms on the wall clock; in stepped time it
    // only tries, and the caller gives its turn away with lock_contended() before the next.
    bool lock_slice();
    void unlock();

private:
    pthread_mutex_t m_mutex;
};

} // namespace kestrune::platform
