// Engine time. Every time read and every timed wait of the engine goes through here, so
// that tests can run the whole engine faster (--time-scale) without changing any script.
//
// The tick is a 32-bit millisecond count that wraps after about 49.7 days; compare ticks
// only through tick_diff / tick_reached, never with < on the raw values.
#pragma once

#include <cstdint>

namespace kestrune::platform {

using Tick = std::uint32_t;

// Milliseconds of engine time since the clock started, wrapping at 2^32.
Tick tick_ms();

// Signed distance later - earlier, correct across the wrap-around.
inline std::int32_t tick_diff(Tick later, Tick earlier) {
    return static_cast<std::int32_t>(later - earlier);
}
inline bool tick_reached(Tick now, Tick deadline) {
    return tick_diff(now, deadline) >= 0;
}

// Sleeps for ms of engine time (real time ms / scale). Not interruptible: use an Event
// wait where a stop request must end the sleep.
void sleep_ms(std::uint32_t ms);

// Engine time runs `scale` times faster than real time. Set once at start-up.
void set_time_scale(double scale);
double time_scale();

// True when engine time is stepped (headless test runs): time stands still while any
// engine thread can run and jumps to the next due moment when all of them wait. Work that
// would otherwise run on helper threads (the raster workers) runs inline then, so that a
// run is the same on any machine.
bool stepped_clock();

// Converts a span of engine milliseconds to real microseconds, for timed waits.
std::int64_t engine_ms_to_real_us(std::uint32_t ms);

} // namespace kestrune::platform
