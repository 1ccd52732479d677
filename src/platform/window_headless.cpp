#include "platform/sync.h"
#include "platform/window.h"

#include <deque>
#include <mutex>

namespace kestrune::platform {

namespace {

// Events come from other threads (wake-ups, the timed input of --input); the main loop
// takes them one at a time.
class HeadlessWindow final : public Window {
public:
    bool next_event(WindowEvent& event, std::uint32_t timeout_ms) override {
        for (;;) {
            {
                std::lock_guard guard(m_mutex);
                if (!m_queue.empty()) {
                    event = std::move(m_queue.front());
                    m_queue.pop_front();
                    if (m_queue.empty()) m_ready.reset();
                    return true;
                }
            }
            if (!m_ready.wait(timeout_ms)) return false;
        }
    }
    void post_wake() override {
        WindowEvent e;
        e.kind = WindowEvent::Kind::wake;
        post_event(e);
    }
    void post_event(const WindowEvent& event) override {
        std::lock_guard guard(m_mutex);
        // Wake-ups carry no data; one pending is enough.
        if (event.kind == WindowEvent::Kind::wake && !m_queue.empty() &&
            m_queue.back().kind == WindowEvent::Kind::wake)
            return;
        m_queue.push_back(event);
        m_ready.signal();
    }
    void set_title(const std::string&) override {}
    bool headless() const override { return true; }
    void present(const std::uint8_t*, int, int, int, int, int) override {}
    bool set_fullscreen(bool on) override {
        m_fullscreen = on;
        return true;
    }
    bool fullscreen() const override { return m_fullscreen; }
    void set_scaling(int) override {}
    void set_hand_cursor(bool) override {}

private:
    std::mutex m_mutex;
    std::deque<WindowEvent> m_queue;
    Event m_ready{true, false};
    bool m_fullscreen = false;
};

} // namespace

std::unique_ptr<Window> create_headless_window() {
    return std::make_unique<HeadlessWindow>();
}

} // namespace kestrune::platform
