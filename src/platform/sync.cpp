#include "platform/sync.h"

#include "platform/clock.h"
#include "platform/thread_state.h"

#include <chrono>
#include <condition_variable>
#include <vector>

namespace kestrune::platform {

namespace {

// One lock and one condition variable serve every event. The engine has few events and
// few waiters, and a single lock makes the multi-object wait and pulse exact: a waiter
// registers on all its events atomically, so no signal or pulse can slip between checks.
std::mutex& event_mutex() {
    static std::mutex m;
    return m;
}
std::condition_variable& event_cv() {
    static std::condition_variable cv;
    return cv;
}

} // namespace

Event::Event(bool manual_reset, bool signalled) : m_manual(manual_reset), m_signalled(signalled) {}

Event::~Event() = default;

void Event::signal() {
    {
        std::lock_guard lock(event_mutex());
        m_signalled = true;
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

int wait_any(std::span<Event* const> events, std::uint32_t timeout_ms) {
    ThreadState* self = current_thread_state();
    std::unique_lock lock(event_mutex());
    std::vector<std::uint64_t> generations(events.size());
    for (std::size_t i = 0; i < events.size(); ++i)
        if (events[i]) generations[i] = events[i]->m_pulse_generation;

    const bool infinite = timeout_ms == k_infinite;
    const auto deadline =
        std::chrono::steady_clock::now() +
        std::chrono::microseconds(infinite ? 0 : engine_ms_to_real_us(timeout_ms));
    bool registered = false;
    auto unregister = [&] {
        if (!registered) return;
        for (Event* e : events)
            if (e) --e->m_waiters;
        registered = false;
    };

    for (;;) {
        for (std::size_t i = 0; i < events.size(); ++i) {
            Event* e = events[i];
            if (!e) continue;
            if (e->m_signalled) {
                if (!e->m_manual) e->m_signalled = false;
                unregister();
                return static_cast<int>(i);
            }
            if (registered && e->m_manual && e->m_pulse_generation != generations[i]) {
                unregister();
                return static_cast<int>(i);
            }
            if (registered && !e->m_manual && e->m_pulse_tokens > 0) {
                --e->m_pulse_tokens;
                unregister();
                return static_cast<int>(i);
            }
        }
        if (self && self->stop.load()) {
            unregister();
            return k_wait_stopped;
        }
        if (!registered) {
            for (Event* e : events)
                if (e) ++e->m_waiters;
            registered = true;
        }
        if (infinite) {
            // Wake periodically so a stop request made without an event signal is seen.
            event_cv().wait_for(lock, std::chrono::milliseconds(50));
        } else {
            if (std::chrono::steady_clock::now() >= deadline) {
                unregister();
                return k_wait_timeout;
            }
            const auto step = std::min<std::chrono::steady_clock::time_point>(
                deadline, std::chrono::steady_clock::now() + std::chrono::milliseconds(50));
            event_cv().wait_until(lock, step);
        }
    }
}

bool Mutex::lock(const std::atomic<bool>* give_up) {
    ThreadState* self = current_thread_state();
    while (!m_mutex.try_lock_for(std::chrono::milliseconds(20))) {
        if (self && self->stop.load()) return false;
        if (give_up && give_up->load()) return false;
    }
    return true;
}

bool Mutex::try_lock() {
    return m_mutex.try_lock();
}

void Mutex::unlock() {
    m_mutex.unlock();
}

} // namespace kestrune::platform
