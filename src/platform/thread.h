// Engine threads. A thread may be created suspended and resumed later, has a stop request
// that every engine wait (sync.h) watches, and is never killed: a thread that does not end
// when asked is left detached and reported by whoever asked.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

namespace kestrune::platform {

struct ThreadState;

class Thread {
public:
    Thread() = default;
    ~Thread(); // a still-running thread is detached (never killed)
    Thread(const Thread&) = delete;
    Thread& operator=(const Thread&) = delete;
    Thread(Thread&&) noexcept;
    Thread& operator=(Thread&&) noexcept;

    // Starts a thread running fn. With start_suspended the body waits for resume() (or a
    // stop request, which ends it without running fn).
    bool start(std::function<void()> fn, bool start_suspended = false);
    bool resume();
    bool is_suspended() const;
    bool is_running() const; // started and fn has not returned yet
    bool valid() const { return m_state != nullptr; }
    std::uint32_t id() const;

    void request_stop();
    // Waits up to timeout_ms (engine time) for the body to return; joins it if it did.
    bool join_for(std::uint32_t timeout_ms);
    void detach();

    // Best effort; ignored where the system refuses.
    void set_priority(int priority); // -2 lowest .. 2 highest
    void set_affinity(unsigned cpu);

private:
    std::shared_ptr<ThreadState> m_state;
};

// Stop request of the calling engine thread (false on threads not made by Thread).
bool stop_requested();
std::uint32_t current_thread_id();
unsigned processor_count();

} // namespace kestrune::platform
