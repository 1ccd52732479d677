// A timed change of a stream's volume, pan or frequency. Internal to sound/.
//
// The value follows the easing table of the actions: n = duration x frames per second of
// the animation clock / 1000 steps (at least 1), the step index advancing with engine time;
// the thread sets the value every 50 ms. Cancelling signals the thread and joins it; the
// value then stays where it stands.
#pragma once

#include "platform/sync.h"
#include "platform/thread.h"

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

namespace kestrune::sound {

class SoundStream;

class Fade {
public:
    enum Quantity { volume = 0, pan = 1, frequency = 2 };
    Fade(SoundStream& stream, int quantity) : m_stream(stream), m_quantity(quantity) {}
    ~Fade() { cancel(); }
    // `position` is the step (with fraction) to begin at: 0 for a new fade, the saved
    // progress for one a load resumes.
    void start(std::int32_t from, std::int32_t to, std::int32_t duration_ms,
               const std::string& easing, double position = 0);
    void cancel();
    bool running() const { return m_thread.valid() && m_thread.is_running(); }

    // What a save keeps of a running fade: its course and how far along it is (in steps,
    // counting the time since its last step).
    struct Snapshot {
        std::int32_t from = 0, to = 0, duration_ms = 0;
        std::string easing;
        double position = 0;
    };
    bool snapshot(Snapshot& out) const;

private:
    void body();
    void apply(std::int32_t value);
    SoundStream& m_stream;
    int m_quantity;
    std::int32_t m_from = 0, m_to = 0;
    std::int32_t m_steps = 1, m_duration_ms = 0;
    std::string m_easing;
    double m_steps_per_ms = 0;
    std::atomic<double> m_position{0};
    std::atomic<std::uint32_t> m_last_tick{0}; // engine ms when m_position last advanced
    std::vector<double> m_table;
    platform::Thread m_thread;
    platform::Event m_cancel{true, false};
    std::atomic<bool> m_cancelled{false};
};

} // namespace kestrune::sound
