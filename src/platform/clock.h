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

// In a stepped run, counts one unit of work done without a wait (a script statement), and
// after a thousand of them gives the other threads a millisecond of engine time: a loop
// that never waits moves time on as it would on the wall clock instead of stopping it.
// Does nothing on the wall clock.
void charge_busy_work();

// Engine time runs `scale` times faster than real time. Set once at start-up.
void set_time_scale(double scale);
double time_scale();

// True when engine time is stepped (headless test runs): time stands still while any
// engine thread can run and jumps to the next due moment when all of them wait. Work that
// would otherwise run on helper threads (the raster workers) runs inline then, so that a
// run is the same on any machine.
bool stepped_clock();
// Switches stepped time on. Called once, on the main thread, before any other engine
// thread starts; engine time then starts at 0.
void enable_stepped_clock();

// Seeds for the engine's pseudo-random generators. With a fixed seed (--seed, or any
// stepped run) the n-th seed drawn is always the same; otherwise seeds come from the
// system's entropy and the clock. `salt` tells apart callers that draw at one moment.
void set_random_seed(std::uint64_t seed);
bool random_seed_fixed();
std::uint32_t random_seed(std::uint32_t salt = 0);

// Seconds since 1970 (UTC) for dates that scripts and saves see. A stepped run starts at
// midnight on 1 January 2026 and follows engine time, so its dates are the same on any day.
std::int64_t calendar_seconds();

// Converts a span of engine milliseconds to real microseconds, for timed waits.
std::int64_t engine_ms_to_real_us(std::uint32_t ms);

} // namespace kestrune::platform
