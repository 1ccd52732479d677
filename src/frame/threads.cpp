// The numbered lock table and the thread registry.
#include "frame/engine.h"

#include "platform/clock.h"
#include "platform/sync.h"
#include "platform/thread.h"

#include <array>
#include <chrono>
#include <cstdio>
#include <memory>
#include <mutex>
#include <vector>

namespace kestrune::engine {

namespace {

// Ids 1..10 are created; 1, 2, 7 and 9 have no fixed user. The locks are recursive, as a
// thread that holds the scene lock may call code that takes it again.
constexpr int k_lock_slots = 16;
constexpr int k_lock_count = 10;

struct LockTable {
    std::array<std::unique_ptr<platform::Mutex>, k_lock_slots> mutexes;
    bool built = false;
};

LockTable g_locks;
std::mutex g_lock_table_mutex; // guards building and tearing down the table itself

struct Entry {
    int handle = k_no_thread;
    platform::Thread thread;
    ThreadRoutine routine = nullptr;
    std::uint8_t run_state = 0;
};

std::recursive_mutex g_registry_mutex; // lock 10's role; usable before the table exists
std::vector<std::unique_ptr<Entry>> g_entries;
int g_next_handle = 1;

Entry* find_entry(int handle) {
    for (auto& e : g_entries)
        if (e->handle == handle) return e.get();
    return nullptr;
}

} // namespace

bool build_lock_table() {
    std::lock_guard guard(g_lock_table_mutex);
    if (g_locks.built) return true;
    for (int id = 1; id <= k_lock_count; ++id)
        g_locks.mutexes[static_cast<std::size_t>(id)] = std::make_unique<platform::Mutex>(true);
    g_locks.built = true;
    return true;
}

bool lock_table_built() {
    std::lock_guard guard(g_lock_table_mutex);
    return g_locks.built;
}

// How often the calling thread holds each lock. A lock() that gave up (quit, stop request)
// took nothing, so the unlock() that pairs with it must not release a mutex the thread
// does not own.
thread_local std::array<int, k_lock_slots> t_held{};

bool lock(int id) {
    if (quit_requested() || id < 1 || id > k_lock_count) return false;
    platform::Mutex* m = g_locks.mutexes[static_cast<std::size_t>(id)].get();
    if (!m) return false;
    // Waits without limit in principle, but looks at the quit flag and the thread's stop
    // request between tries so that shutdown never leaves a thread blocked here.
    while (!m->lock_slice()) {
        if (quit_requested() || platform::stop_requested()) return false;
        platform::lock_contended();
    }
    ++t_held[static_cast<std::size_t>(id)];
    return true;
}

// A lock taken before the quit flag was set is still given back after it, so that the
// teardown finds it free and can destroy it instead of leaking it held.
void unlock(int id) {
    if (id < 1 || id > k_lock_count) return;
    int& held = t_held[static_cast<std::size_t>(id)];
    if (held <= 0) return;
    platform::Mutex* m = g_locks.mutexes[static_cast<std::size_t>(id)].get();
    if (!m) return;
    --held;
    m->unlock();
}

int create_thread(bool start_running, ThreadRoutine routine, void* arg) {
    if (!routine) return k_no_thread;
    std::lock_guard guard(g_registry_mutex);
    auto entry = std::make_unique<Entry>();
    if (!entry->thread.start([routine, arg] { routine(arg); }, !start_running)) return k_no_thread;
    entry->handle = g_next_handle++;
    entry->routine = routine;
    entry->run_state = start_running ? k_thread_running : k_thread_suspended;
    const int handle = entry->handle;
    g_entries.push_back(std::move(entry));
    return handle;
}

int resume_thread(int handle) {
    std::lock_guard guard(g_registry_mutex);
    Entry* e = find_entry(handle);
    if (!e || e->run_state != k_thread_suspended) return 0;
    e->thread.resume();
    e->run_state = k_thread_running;
    return 1;
}

std::uint8_t thread_state(int handle) {
    std::lock_guard guard(g_registry_mutex);
    Entry* e = find_entry(handle);
    if (!e || !e->thread.is_running()) return 0;
    return e->run_state;
}

int is_thread_running(int handle, ThreadRoutine routine) {
    std::lock_guard guard(g_registry_mutex);
    Entry* e = nullptr;
    if (routine) {
        for (auto& entry : g_entries)
            if (entry->routine == routine) {
                e = entry.get();
                break;
            }
    } else {
        e = find_entry(handle);
    }
    return e && e->thread.is_running() ? 1 : 0;
}

int count_running(ThreadRoutine routine) {
    std::lock_guard guard(g_registry_mutex);
    int n = 0;
    for (auto& e : g_entries)
        if (e->routine == routine && e->thread.is_running()) ++n;
    return n;
}

void release_thread(int handle) {
    std::lock_guard guard(g_registry_mutex);
    for (auto it = g_entries.begin(); it != g_entries.end(); ++it) {
        if ((*it)->handle == handle) {
            // A thread still running is detached, not killed; its body keeps its own state.
            (*it)->thread.detach();
            g_entries.erase(it);
            return;
        }
    }
}

void request_thread_stop(int handle) {
    std::lock_guard guard(g_registry_mutex);
    if (Entry* e = find_entry(handle)) e->thread.request_stop();
}

bool wait_thread(int handle, std::uint32_t timeout_ms) {
    platform::Thread* t = nullptr;
    {
        std::lock_guard guard(g_registry_mutex);
        Entry* e = find_entry(handle);
        if (!e) return true;
        t = &e->thread;
    }
    // The entry is not released while its owner waits for it; only teardown and
    // release_thread remove entries, and both run on the thread that owns the handle.
    return t->join_for(timeout_ms);
}

int tear_down_threads() {
    std::vector<std::unique_ptr<Entry>> entries;
    {
        std::lock_guard guard(g_registry_mutex);
        entries.swap(g_entries);
    }
    int all_ended = 1;
    for (auto& e : entries) {
        if (e->thread.is_suspended()) {
            e->thread.resume();
            platform::sleep_ms(10);
        }
        e->thread.request_stop();
        if (!e->thread.join_for(1000)) {
            std::fprintf(stderr, "kestrune: a thread did not end within 1000 ms; left detached\n");
            e->thread.detach();
            all_ended = 0;
        }
    }
    {
        std::lock_guard guard(g_lock_table_mutex);
        // The tearing thread gives back what it still holds, so that no lock is destroyed
        // held and a table built later does not inherit its counts. A lock still held by a detached
        // thread cannot be destroyed safely; it is leaked.
        for (std::size_t id = 0; id < g_locks.mutexes.size(); ++id) {
            auto& m = g_locks.mutexes[id];
            for (; t_held[id] > 0; --t_held[id])
                if (m) m->unlock();
            if (m && !m->try_lock()) {
                (void)m.release();
                continue;
            }
            if (m) m->unlock();
            m.reset();
        }
        g_locks.built = false;
    }
    return all_ended;
}

} // namespace kestrune::engine
