#include "platform/thread.h"

#include "platform/thread_state.h"

#include <atomic>
#include <mutex>
#include <pthread.h>
#include <sched.h>
#include <system_error>
#include <thread>
#include <unistd.h>
#include <vector>

namespace kestrune::platform {

namespace {

thread_local ThreadState* t_current = nullptr;
std::atomic<std::uint32_t> g_next_id{1};

} // namespace

ThreadState* current_thread_state() {
    return t_current;
}

bool stop_requested() {
    return t_current && t_current->stop.load();
}

std::uint32_t current_thread_id() {
    if (t_current) return t_current->id;
    static thread_local std::uint32_t id = g_next_id.fetch_add(1);
    return id;
}

unsigned processor_count() {
    const unsigned n = std::thread::hardware_concurrency();
    return n ? n : 1;
}

static std::mutex& holder_mutex() {
    static std::mutex m;
    return m;
}

Thread::~Thread() {
    detach();
}

Thread::Thread(Thread&& other) noexcept : m_state(std::move(other.m_state)) {}

Thread& Thread::operator=(Thread&& other) noexcept {
    if (this != &other) {
        detach();
        m_state = std::move(other.m_state);
    }
    return *this;
}

namespace {
// std::thread objects by state pointer; removed on join or detach. The table itself is never
// destroyed: a Thread held by a static object is destroyed at exit, in an order relative to
// the table that no one controls, and must still find its entry. What exit does instead is
// detach the threads still in the table (ended ones that no one joined, and any left running
// when the process ends without a teardown, such as an exit() from a library): a joinable
// std::thread must never be destroyed, and a detached one is not reported as leaked.
using ThreadEntries = std::vector<std::pair<ThreadState*, std::thread>>;
struct DetachAtExit {
    ThreadEntries* entries;
    ~DetachAtExit() {
        std::lock_guard lock(holder_mutex());
        for (auto& entry : *entries)
            if (entry.second.joinable()) entry.second.detach();
    }
};
ThreadEntries& threads() {
    static auto* table = new ThreadEntries;
    static DetachAtExit detach_at_exit{table};
    return *table;
}
std::thread take_thread(ThreadState* s) {
    std::lock_guard lock(holder_mutex());
    auto& v = threads();
    for (auto it = v.begin(); it != v.end(); ++it) {
        if (it->first == s) {
            std::thread t = std::move(it->second);
            v.erase(it);
            return t;
        }
    }
    return {};
}
} // namespace

bool Thread::start(std::function<void()> fn, bool start_suspended) {
    if (m_state) return false;
    auto state = std::make_shared<ThreadState>();
    state->id = g_next_id.fetch_add(1);
    state->suspended = start_suspended;
    if (!start_suspended) state->resume_event.signal();
    // In stepped time the new thread joins the baton order now, in its creator's turn, so
    // that its place in the order does not depend on when the system starts it.
    const bool stepped_time = stepped::current() != nullptr;
    if (stepped_time) {
        std::lock_guard lock(sync_mutex());
        stepped::join(state->turn, state->id);
    }
    try {
        std::thread t([state, fn = std::move(fn), stepped_time] {
            t_current = state.get();
            if (stepped_time) {
                std::unique_lock lock(sync_mutex());
                stepped::wait_for_baton(lock, state->turn);
            }
            state->started = true;
            // A suspended thread waits for resume; a stop request ends it unrun.
            if (state->resume_event.wait(k_infinite) && !state->stop.load()) fn();
            state->finished = true;
            state->finished_event.signal();
            t_current = nullptr;
            if (stepped_time) {
                std::unique_lock lock(sync_mutex());
                stepped::leave(lock, state->turn);
            }
        });
        std::lock_guard lock(holder_mutex());
        threads().emplace_back(state.get(), std::move(t));
    } catch (const std::system_error&) {
        if (stepped_time) {
            std::unique_lock lock(sync_mutex());
            stepped::leave(lock, state->turn);
        }
        return false;
    }
    m_state = std::move(state);
    return true;
}

bool Thread::resume() {
    if (!m_state || !m_state->suspended.exchange(false)) return false;
    m_state->resume_event.signal();
    return true;
}

bool Thread::is_suspended() const {
    return m_state && m_state->suspended.load();
}

bool Thread::is_running() const {
    return m_state && !m_state->finished.load();
}

std::uint32_t Thread::id() const {
    return m_state ? m_state->id : 0;
}

void Thread::request_stop() {
    if (!m_state) return;
    m_state->stop = true;
    if (stepped::enabled()) {
        std::lock_guard lock(sync_mutex());
        stepped::wake(m_state->turn);
    }
    // Wakes every waiter so that the stopped thread sees its request at once.
    m_state->stop_event.signal();
}

bool Thread::join_for(std::uint32_t timeout_ms) {
    if (!m_state) return true;
    if (!m_state->finished_event.wait(timeout_ms) && !m_state->finished.load()) return false;
    std::thread t = take_thread(m_state.get());
    if (t.joinable()) t.join();
    return true;
}

void Thread::detach() {
    if (!m_state) return;
    std::thread t = take_thread(m_state.get());
    if (t.joinable()) {
        if (m_state->finished.load())
            t.join();
        else
            t.detach();
    }
    m_state.reset();
}

void Thread::set_priority(int priority) {
    if (!m_state) return;
    std::lock_guard lock(holder_mutex());
    for (auto& [s, t] : threads()) {
        if (s != m_state.get() || !t.joinable()) continue;
        // Normal-policy threads have no priority range on Linux; a nice-like hint is all
        // that can be had without privileges, so this stays best effort.
        sched_param param{};
        param.sched_priority = 0;
        pthread_setschedparam(t.native_handle(), priority < 0 ? SCHED_BATCH : SCHED_OTHER, &param);
    }
}

void Thread::set_affinity(unsigned cpu) {
    if (!m_state || cpu >= processor_count()) return;
    std::lock_guard lock(holder_mutex());
    for (auto& [s, t] : threads()) {
        if (s != m_state.get() || !t.joinable()) continue;
        cpu_set_t set;
        CPU_ZERO(&set);
        CPU_SET(cpu, &set);
        pthread_setaffinity_np(t.native_handle(), sizeof(set), &set);
    }
}

} // namespace kestrune::platform
