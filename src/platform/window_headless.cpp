#include "platform/clock.h"
#include "platform/gamepad.h"
#include "platform/sync.h"
#include "platform/window.h"

#include <cstdio>
#include <deque>
#include <mutex>

namespace kestrune::platform {

namespace {

const char* shape_name(CursorShape shape) {
    switch (shape) {
    case CursorShape::hand:
        return "hand";
    case CursorShape::wait:
        return "wait";
    default:
        return "arrow";
    }
}

// Events come from other threads (wake-ups, the timed input of --input); the main loop
// takes them one at a time.
class HeadlessWindow final : public Window {
public:
    explicit HeadlessWindow(const std::string& cursor_log) {
        if (!cursor_log.empty()) {
            m_log = std::fopen(cursor_log.c_str(), "w");
            if (!m_log)
                std::fprintf(stderr, "kestrune: %s: cannot write the cursor log\n",
                             cursor_log.c_str());
        }
    }
    ~HeadlessWindow() override {
        close_gamepads();
        if (m_log) std::fclose(m_log);
    }

    bool next_event(WindowEvent& event, std::uint32_t timeout_ms) override {
        for (;;) {
            if (!m_pad_events.empty()) {
                event = std::move(m_pad_events.front());
                m_pad_events.pop_front();
                return true;
            }
            bool got = false;
            {
                std::lock_guard guard(m_mutex);
                if (!m_queue.empty()) {
                    event = std::move(m_queue.front());
                    m_queue.pop_front();
                    if (m_queue.empty()) m_ready.reset();
                    got = true;
                }
            }
            if (got) {
                using Kind = WindowEvent::Kind;
                if (event.kind != Kind::pad_down && event.kind != Kind::pad_up &&
                    event.kind != Kind::pad_unplug)
                    return true;
                // A controller button of the timed input: pressed on the virtual pad, it
                // comes back through the controller layer.
                drive_virtual_gamepad(event, m_pad_events);
                continue;
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

    void set_cursor_shape(CursorShape shape) override {
        std::lock_guard guard(m_cursor_mutex);
        if (shape == m_shape) return;
        m_shape = shape;
        note("cursor %s", shape_name(shape));
    }
    void set_cursor_visible(bool visible) override {
        std::lock_guard guard(m_cursor_mutex);
        if (visible == m_visible) return;
        m_visible = visible;
        note(visible ? "cursor shown" : "cursor hidden");
    }
    bool warp_pointer(int x, int y) override {
        std::lock_guard guard(m_cursor_mutex);
        note("warp %d %d", x, y);
        return true;
    }

private:
    // Writes one line of the cursor log, stamped with engine time. Under m_cursor_mutex.
    template <typename... Args> void note(const char* format, Args... args) {
        if (!m_log) return;
        std::fprintf(m_log, "%u ", static_cast<unsigned>(tick_ms()));
        if constexpr (sizeof...(Args) == 0)
            std::fputs(format, m_log);
        else
            std::fprintf(m_log, format, args...);
        std::fputc('\n', m_log);
        std::fflush(m_log);
    }

    std::mutex m_mutex;
    std::deque<WindowEvent> m_queue;
    Event m_ready{true, false};
    std::deque<WindowEvent> m_pad_events; // main thread only
    bool m_fullscreen = false;
    std::mutex m_cursor_mutex;
    CursorShape m_shape = CursorShape::arrow;
    bool m_visible = true;
    std::FILE* m_log = nullptr;
};

} // namespace

std::unique_ptr<Window> create_headless_window(const std::string& cursor_log) {
    return std::make_unique<HeadlessWindow>(cursor_log);
}

} // namespace kestrune::platform
