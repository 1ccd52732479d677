#include "platform/clock.h"

#include <atomic>
#include <chrono>
#include <thread>

namespace kestrune::platform {

namespace {

using SteadyClock = std::chrono::steady_clock;

const SteadyClock::time_point k_epoch = SteadyClock::now();
std::atomic<double> g_scale{1.0};

} // namespace

Tick tick_ms() {
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
    std::this_thread::sleep_for(std::chrono::microseconds(engine_ms_to_real_us(ms)));
}

void set_time_scale(double scale) {
    g_scale.store(scale > 0.0 ? scale : 1.0);
}
bool stepped_clock() {
    return false;
}

double time_scale() {
    return g_scale.load();
}

} // namespace kestrune::platform
