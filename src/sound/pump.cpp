// The one streaming thread of every playing sound.
#include "sound/pump.h"

#include "frame/engine.h"
#include "platform/audio.h"
#include "platform/sync.h"
#include "platform/thread.h"
#include "sound/stream.h"

#include <algorithm>
#include <mutex>
#include <vector>

namespace kestrune::sound {

namespace {

constexpr std::uint32_t k_refill_ms = 200;  // four 50 ms buffers are refilled at a time
constexpr std::uint32_t k_end_poll_ms = 50; // a stream plays out its last data

struct Pump {
    std::mutex mutex; // the list and the servicing; never held across a wait
    std::vector<SoundStream*> streams;
    bool running = false;
    platform::Mutex start_mutex; // serialises joining the old thread and starting a new one
    platform::Thread thread;
    platform::Event wake{false, false};
};

Pump& pump() {
    static Pump* p = new Pump; // outlives every stream, also at exit
    return *p;
}

void pump_body() {
    Pump& p = pump();
    for (;;) {
        bool ending = false;
        // Headless, the output is rendered here up to now, so that the queues are refilled
        // right after the frames they held are used.
        platform::audio_catch_up();
        {
            std::lock_guard guard(p.mutex);
            if (p.streams.empty() || platform::stop_requested() || engine::quit_requested()) {
                p.running = false;
                return;
            }
            std::erase_if(p.streams, [&](SoundStream* s) {
                bool data_ended = false;
                const bool keep = s->service(data_ended);
                ending = ending || (keep && data_ended);
                return !keep;
            });
        }
        p.wake.wait(ending ? k_end_poll_ms : k_refill_ms);
    }
}

} // namespace

void pump_add(SoundStream* stream) {
    Pump& p = pump();
    bool start = false;
    {
        std::lock_guard guard(p.mutex);
        if (std::find(p.streams.begin(), p.streams.end(), stream) == p.streams.end())
            p.streams.push_back(stream);
        start = !p.running;
        p.running = true;
    }
    if (!start) return;
    p.start_mutex.lock();
    // The thread before has ended or is ending (it found the list empty): join it first.
    if (p.thread.valid()) p.thread.join_for(platform::k_infinite);
    p.thread = platform::Thread();
    p.thread.start(pump_body);
    p.start_mutex.unlock();
}

void pump_remove(SoundStream* stream) {
    Pump& p = pump();
    std::lock_guard guard(p.mutex);
    std::erase(p.streams, stream);
}

void pump_wake() {
    pump().wake.signal();
}

} // namespace kestrune::sound
