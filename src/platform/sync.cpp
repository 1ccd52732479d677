#include "platform/sync.h"

#include "platform/clock.h"
#include "platform/immortal.h"
#include "platform/stepped.h"
#include "platform/thread_state.h"

#include <chrono>
#include <condition_variable>
#include <ctime>
#include <vector>

namespace kestrune::platform {

namespace {

// One lock (sync_mutex) and one condition variable serve every event. The engine has few
// events and few waiters, and a single lock makes the multi-object wait and pulse exact: a
// waiter registers on all its events atomically, so no signal or pulse can slip between
// checks. In stepped time the same lock guards the baton, which a waiter gives away in
// the same step as it registers.
std::mutex& event_mutex() {
    return sync_mutex();
}
std::condition_variable& event_cv() {
    static Immortal<std::condition_variable> cv;
    return cv.get();
}

} // namespace

Event::Event(bool manual_reset, bool signalled) : m_manual(manual_reset), m_signalled(signalled) {}

Event::~Event() = default;

void Event::signal() {
    {
        std::lock_guard lock(event_mutex());
        m_signalled = true;
        if (stepped::enabled()) stepped::event_changed(this);
    }
    event_cv().notify_all();
}

void Event::reset() {
    std::lock_guard lock(event_mutex());
    m_signalled = false;
}

void Event::pulse() {
    {
        std::lock_guard lock(event_mutex());
        if (m_manual)
            ++m_pulse_generation;
        else if (m_waiters > m_pulse_tokens)
            ++m_pulse_tokens;
        m_signalled = false;
        if (stepped::enabled()) stepped::event_changed(this);
    }
    event_cv().notify_all();
}

bool Event::is_signalled() const {
    std::lock_guard lock(event_mutex());
    return m_signalled;
}

bool Event::wait(std::uint32_t timeout_ms) {
    Event* self = this;
    return wait_any(std::span<Event* const>(&self, 1), timeout_ms) == 0;
}

// The waiter's side of a multi-object wait, under the event lock: the generations of the
// manual events' pulses when the wait began, and whether the waiter is counted on its
// events (only a counted waiter can be released by a pulse).
class WaitRecord {
public:
    explicit WaitRecord(std::span<Event* const> events)
        : m_events(events), m_generations(events.size()) {
        for (std::size_t i = 0; i < events.size(); ++i)
            if (events[i]) m_generations[i] = events[i]->m_pulse_generation;
    }
    ~WaitRecord() { unregister(); }

    // Index of the event that ends the wait, or -1; an auto-reset event that ends it is
    // reset, and a pulse token it takes is spent.
    int take_signalled() {
        for (std::size_t i = 0; i < m_events.size(); ++i) {
            Event* e = m_events[i];
            if (!e) continue;
            if (e->m_signalled) {
                if (!e->m_manual) e->m_signalled = false;
                return static_cast<int>(i);
            }
            if (m_registered && e->m_manual && e->m_pulse_generation != m_generations[i])
                return static_cast<int>(i);
            if (m_registered && !e->m_manual && e->m_pulse_tokens > 0) {
                --e->m_pulse_tokens;
                return static_cast<int>(i);
            }
        }
        return -1;
    }
    void register_once() {
        if (m_registered) return;
        for (Event* e : m_events)
            if (e) ++e->m_waiters;
        m_registered = true;
    }
    void unregister() {
        if (!m_registered) return;
        for (Event* e : m_events)
            if (e) --e->m_waiters;
        m_registered = false;
    }

private:
    std::span<Event* const> m_events;
    std::vector<std::uint64_t> m_generations;
    bool m_registered = false;
};

namespace {

// In stepped time a wait gives the baton away at least once, even when its time-out is 0,
// so that a thread polling with short waits lets the others run.
int wait_any_stepped(stepped::Turn& turn, std::span<Event* const> events,
                     std::uint32_t timeout_ms) {
    ThreadState* self = current_thread_state();
    std::unique_lock lock(event_mutex());
    WaitRecord record(events);
    const std::uint64_t deadline =
        timeout_ms == k_infinite ? stepped::k_no_deadline : stepped::now_ms() + timeout_ms;
    bool waited = false;
    for (;;) {
        const int index = record.take_signalled();
        if (index >= 0) {
            // A wait that keeps finding its event set (an input that its waiter lets pass)
            // must still let time move on.
            if (!waited && stepped::busy_step(turn)) stepped::pause(lock, turn, 1);
            return index;
        }
        if (self && self->stop.load()) return k_wait_stopped;
        if (waited && stepped::now_ms() >= deadline) return k_wait_timeout;
        record.register_once();
        stepped::block(lock, turn, deadline, events);
        waited = true;
    }
}

} // namespace

int wait_any(std::span<Event* const> events, std::uint32_t timeout_ms) {
    if (stepped::Turn* turn = stepped::current())
        return wait_any_stepped(*turn, events, timeout_ms);
    ThreadState* self = current_thread_state();
    std::unique_lock lock(event_mutex());
    WaitRecord record(events);
    const bool infinite = timeout_ms == k_infinite;
    const auto deadline =
        std::chrono::steady_clock::now() +
        std::chrono::microseconds(infinite ? 0 : engine_ms_to_real_us(timeout_ms));
    for (;;) {
        const int index = record.take_signalled();
        if (index >= 0) return index;
        if (self && self->stop.load()) return k_wait_stopped;
        record.register_once();
        if (infinite) {
            // Wake periodically so a stop request made without an event signal is seen.
            event_cv().wait_for(lock, std::chrono::milliseconds(50));
        } else {
            if (std::chrono::steady_clock::now() >= deadline) return k_wait_timeout;
            const auto step = std::min<std::chrono::steady_clock::time_point>(
                deadline, std::chrono::steady_clock::now() + std::chrono::milliseconds(50));
            event_cv().wait_until(lock, step);
        }
    }
}

namespace {
// Pulsed whenever a lock is given back in stepped time: threads that found a lock taken
// wait on it instead of spinning, which would hold the baton forever.
Event& lock_released_event() {
    static Immortal<Event> e(true, false);
    return e.get();
}
constexpr std::uint32_t k_lock_retry_ms = 20;
} // namespace

void lock_contended() {
    if (stepped::current()) lock_released_event().wait(k_lock_retry_ms);
}

void lock_released() {
    if (stepped::enabled()) lock_released_event().pulse();
}

Mutex::Mutex(bool recursive) {
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    if (recursive) pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_init(&m_mutex, &attr);
    pthread_mutexattr_destroy(&attr);
}

Mutex::~Mutex() {
    pthread_mutex_destroy(&m_mutex);
}

bool Mutex::lock_slice() {
    if (stepped::current()) return try_lock();
    timespec until{};
    clock_gettime(CLOCK_REALTIME, &until);
    until.tv_nsec += long(k_lock_retry_ms) * 1000000L;
    if (until.tv_nsec >= 1000000000L) {
        until.tv_sec += 1;
        until.tv_nsec -= 1000000000L;
    }
    return pthread_mutex_timedlock(&m_mutex, &until) == 0;
}

bool Mutex::lock(const std::atomic<bool>* give_up) {
    ThreadState* self = current_thread_state();
    while (!lock_slice()) {
        if (self && self->stop.load()) return false;
        if (give_up && give_up->load()) return false;
        lock_contended();
    }
    return true;
}

bool Mutex::try_lock() {
    return pthread_mutex_trylock(&m_mutex) == 0;
}

void Mutex::unlock() {
    pthread_mutex_unlock(&m_mutex);
    lock_released();
}

} // namespace kestrune::platform
