// The main loop's watchdog over the render thread.
#include "frame/frame.h"

#include "platform/clock.h"

namespace kestrune::frame {

bool RenderWatchdog::stalled(bool render_running, std::uint64_t passes, std::uint32_t now) {
    if (!render_running || !m_watching || passes != m_passes) {
        m_watching = render_running;
        m_passes = passes;
        m_since = now;
        return false;
    }
    return platform::tick_diff(now, m_since) >= static_cast<std::int64_t>(m_limit_ms);
}

} // namespace kestrune::frame
