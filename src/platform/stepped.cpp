#include "platform/stepped.h"

#include "platform/immortal.h"

#include <algorithm>
#include <atomic>
#include <vector>

namespace kestrune::platform {

std::mutex& sync_mutex() {
    static Immortal<std::mutex> m;
    return m.get();
}

namespace stepped {

namespace {

// Every turn below is read and written under sync_mutex(); the clock is atomic only so
// that a thread outside the baton (none in a stepped run) could read it safely.
std::atomic<bool> g_enabled{false};
std::atomic<std::uint64_t> g_now{0};
Immortal<std::vector<Turn*>> g_turn_list; // by thread number
std::vector<Turn*>& g_turns = g_turn_list.get();
Turn* g_holder = nullptr;
std::uint64_t g_ready_seq = 0;
Immortal<Turn> g_main_turn_storage;
Turn& g_main_turn = g_main_turn_storage.get();
thread_local Turn* t_turn = nullptr;

// Every wait without a deadline in a real-time run still wakes this often to look at its
// stop request; when all threads wait so, time moves on by this much.
constexpr std::uint64_t k_idle_step_ms = 50;

// Units of work without a wait that count as a millisecond of engine time: about what a
// thousand script statements take on the wall clock.
constexpr std::uint32_t k_busy_steps_per_ms = 1000;

void make_ready(Turn& t) {
    if (t.state != Turn::State::waiting) return;
    t.state = Turn::State::ready;
    t.ready_seq = ++g_ready_seq;
}

Turn* first_ready() {
    Turn* best = nullptr;
    for (Turn* t : g_turns)
        if (t->state == Turn::State::ready && (!best || t->ready_seq < best->ready_seq)) best = t;
    return best;
}

// Hands the baton to the next ready thread, moving time on when none is ready.
void pass_on() {
    g_holder = nullptr;
    Turn* next = first_ready();
    if (!next) {
        std::uint64_t earliest = k_no_deadline;
        for (Turn* t : g_turns)
            if (t->state == Turn::State::waiting) earliest = std::min(earliest, t->deadline);
        const std::uint64_t now = g_now.load();
        if (earliest == k_no_deadline) {
            // Every thread waits for an event nobody can signal: look again later, as the
            // waits of a real-time run do.
            earliest = now + k_idle_step_ms;
            for (Turn* t : g_turns) make_ready(*t);
        }
        if (earliest > now) g_now.store(earliest);
        for (Turn* t : g_turns)
            if (t->state == Turn::State::waiting && t->deadline <= g_now.load()) make_ready(*t);
        next = first_ready();
    }
    if (!next) return;
    next->state = Turn::State::running;
    next->has_baton = true;
    g_holder = next;
    next->cv.notify_one();
}

} // namespace

bool enabled() {
    return g_enabled.load(std::memory_order_relaxed);
}

std::uint64_t now_ms() {
    return g_now.load(std::memory_order_relaxed);
}

Turn* current() {
    return enabled() ? t_turn : nullptr;
}

void enable_on_this_thread() {
    std::lock_guard lock(sync_mutex());
    if (g_enabled.load()) return;
    g_main_turn.number = 0;
    g_main_turn.state = Turn::State::running;
    g_main_turn.has_baton = true;
    g_turns.push_back(&g_main_turn);
    g_holder = &g_main_turn;
    t_turn = &g_main_turn;
    g_enabled.store(true);
}

void join(Turn& turn, std::uint32_t number) {
    turn.number = number;
    turn.state = Turn::State::ready;
    turn.ready_seq = ++g_ready_seq;
    turn.has_baton = false;
    const auto at = std::find_if(g_turns.begin(), g_turns.end(),
                                 [number](const Turn* t) { return t->number > number; });
    g_turns.insert(at, &turn);
}

void wait_for_baton(std::unique_lock<std::mutex>& lock, Turn& turn) {
    t_turn = &turn;
    turn.cv.wait(lock, [&turn] { return turn.has_baton; });
}

void leave(std::unique_lock<std::mutex>& lock, Turn& turn) {
    g_turns.erase(std::remove(g_turns.begin(), g_turns.end(), &turn), g_turns.end());
    const bool held = turn.has_baton;
    turn.has_baton = false;
    turn.state = Turn::State::outside;
    if (t_turn == &turn) t_turn = nullptr;
    if (held) pass_on();
}

void block(std::unique_lock<std::mutex>& lock, Turn& turn, std::uint64_t deadline,
           std::span<Event* const> events) {
    ++turn.blocks;
    turn.state = Turn::State::waiting;
    turn.deadline = deadline;
    turn.events = events;
    turn.has_baton = false;
    pass_on();
    turn.cv.wait(lock, [&turn] { return turn.has_baton; });
    turn.events = {};
    turn.deadline = k_no_deadline;
}

bool busy_step(Turn& turn) {
    if (turn.blocks != turn.busy_mark) {
        turn.busy_mark = turn.blocks;
        turn.busy = 0;
    }
    return ++turn.busy >= k_busy_steps_per_ms;
}

void pause(std::unique_lock<std::mutex>& lock, Turn& turn, std::uint32_t ms) {
    const std::uint64_t deadline = g_now.load() + ms;
    // A stop request wakes a paused thread; the pause still lasts its whole time.
    do {
        block(lock, turn, deadline, {});
    } while (g_now.load() < deadline);
}

void event_changed(const Event* event) {
    for (Turn* t : g_turns)
        if (t->state == Turn::State::waiting &&
            std::find(t->events.begin(), t->events.end(), event) != t->events.end())
            make_ready(*t);
}

void wake(Turn& turn) {
    make_ready(turn);
}

} // namespace stepped
} // namespace kestrune::platform
