#include "platform/clock.h"

#include "platform/stepped.h"

#include <atomic>
#include <chrono>
#include <random>
#include <thread>

namespace kestrune::platform {

namespace {

using SteadyClock = std::chrono::steady_clock;

const SteadyClock::time_point k_epoch = SteadyClock::now();
std::atomic<double> g_scale{1.0};

// Calendar time of a stepped run: midnight UTC on 1 January 2026 at engine time 0, so that
// a stepped run writes the same dates on any day.
constexpr std::int64_t k_stepped_calendar_base = 1767225600;

struct Seeds {
    std::atomic<bool> fixed{false};
    std::atomic<std::uint64_t> state{0};
};
Seeds& seeds() {
    static Seeds s;
    return s;
}

// splitmix64: a counter turned into well-spread 64-bit values.
std::uint64_t mix(std::uint64_t z) {
    z += 0x9E3779B97F4A7C15ull;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

} // namespace

Tick tick_ms() {
    if (stepped::enabled()) return static_cast<Tick>(stepped::now_ms());
    const auto real_us =
        std::chrono::duration_cast<std::chrono::microseconds>(SteadyClock::now() - k_epoch).count();
    const double engine_ms = static_cast<double>(real_us) * g_scale.load() / 1000.0;
    // Wrap like a 32-bit millisecond counter does.
    return static_cast<Tick>(static_cast<std::uint64_t>(engine_ms));
}

std::int64_t engine_ms_to_real_us(std::uint32_t ms) {
    return static_cast<std::int64_t>(static_cast<double>(ms) * 1000.0 / g_scale.load());
}

void sleep_ms(std::uint32_t ms) {
    if (stepped::Turn* turn = stepped::current()) {
        std::unique_lock lock(sync_mutex());
        stepped::pause(lock, *turn, ms);
        return;
    }
    std::this_thread::sleep_for(std::chrono::microseconds(engine_ms_to_real_us(ms)));
}

void charge_busy_work() {
    stepped::Turn* turn = stepped::current();
    // The count is the thread's own: only taking the time needs the lock.
    if (!turn || !stepped::busy_step(*turn)) return;
    std::unique_lock lock(sync_mutex());
    stepped::pause(lock, *turn, 1);
}

void set_time_scale(double scale) {
    g_scale.store(scale > 0.0 ? scale : 1.0);
}

bool stepped_clock() {
    return stepped::enabled();
}

void enable_stepped_clock() {
    stepped::enable_on_this_thread();
}

double time_scale() {
    return g_scale.load();
}

void set_random_seed(std::uint64_t seed) {
    seeds().state.store(seed);
    seeds().fixed.store(true);
}

bool random_seed_fixed() {
    return seeds().fixed.load();
}

std::uint32_t random_seed(std::uint32_t salt) {
    if (seeds().fixed.load())
        return static_cast<std::uint32_t>(mix(seeds().state.fetch_add(1)) >> 32) ^ salt;
    return std::random_device{}() ^ tick_ms() ^ salt;
}

std::int64_t calendar_seconds() {
    if (stepped::enabled())
        return k_stepped_calendar_base + static_cast<std::int64_t>(stepped::now_ms() / 1000);
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

} // namespace kestrune::platform
