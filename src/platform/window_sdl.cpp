#include "platform/clock.h"
#include "platform/gamepad.h"
#include "platform/window.h"

#include <SDL2/SDL.h>
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace kestrune::platform {

namespace {

constexpr int k_frame_width = 1024;
constexpr int k_frame_height = 576;

class SdlWindow final : public Window {
public:
    ~SdlWindow() override {
        close_gamepads();
        for (SDL_Cursor* c : m_cursors)
            if (c) SDL_FreeCursor(c);
        if (m_texture) SDL_DestroyTexture(m_texture);
        if (m_renderer) SDL_DestroyRenderer(m_renderer);
        if (m_window) SDL_DestroyWindow(m_window);
        SDL_QuitSubSystem(SDL_INIT_VIDEO);
    }

    bool open(const std::string& title, std::string& error) {
        // SIGINT and SIGTERM end the program through the engine's own handlers, as they do
        // headless; otherwise SDL would turn them into the window's close request, which a
        // game's close script may refuse.
        SDL_SetHint(SDL_HINT_NO_SIGNAL_HANDLERS, "1");
        if (SDL_InitSubSystem(SDL_INIT_VIDEO) != 0) {
            error = SDL_GetError();
            return false;
        }
        watch_display_connection();
        m_wake_type = SDL_RegisterEvents(1);
        m_window = SDL_CreateWindow(title.c_str(), SDL_WINDOWPOS_CENTERED, SDL_WINDOWPOS_CENTERED,
                                    k_frame_width, k_frame_height, SDL_WINDOW_SHOWN);
        if (!m_window) {
            error = SDL_GetError();
            return false;
        }
        m_renderer = SDL_CreateRenderer(m_window, -1, 0);
        if (!m_renderer) {
            error = SDL_GetError();
            return false;
        }
        m_texture = SDL_CreateTexture(m_renderer, SDL_PIXELFORMAT_ARGB8888,
                                      SDL_TEXTUREACCESS_STREAMING, k_frame_width, k_frame_height);
        if (!m_texture) {
            error = SDL_GetError();
            return false;
        }
        SDL_SetRenderDrawColor(m_renderer, 0, 0, 0, 255);
        SDL_RenderClear(m_renderer);
        SDL_RenderPresent(m_renderer);
        // Wayland does not let a program move the pointer.
        const char* driver = SDL_GetCurrentVideoDriver();
        m_can_warp = !(driver && std::strcmp(driver, "wayland") == 0);
        // Game pads are welcome but not needed.
        open_gamepads();
        return true;
    }

    bool next_event(WindowEvent& event, std::uint32_t timeout_ms) override {
        apply_cursor();
        SDL_Event e;
        const int real_ms = static_cast<int>(engine_ms_to_real_us(timeout_ms) / 1000);
        // The main thread sleeps here until the window or another thread (post_wake) has
        // something for it; a windowed run does not poll.
        if (!SDL_WaitEventTimeout(&e, real_ms < 1 ? 1 : real_ms)) {
            // A switch of arrangement may settle after its events: draw again at the size
            // the window has now.
            int w = 0, h = 0;
            SDL_GetRendererOutputSize(m_renderer, &w, &h);
            if (w != m_drawn_w || h != m_drawn_h) redraw();
            return false;
        }
        event = WindowEvent{};
        if (e.type == m_wake_type) {
            event.kind = WindowEvent::Kind::wake;
            return true;
        }
        if (gamepad_event(e, event)) return true;
        switch (e.type) {
        case SDL_QUIT:
            event.kind = WindowEvent::Kind::close_request;
            break;
        case SDL_MOUSEBUTTONDOWN:
        case SDL_MOUSEBUTTONUP:
            event.kind = e.type == SDL_MOUSEBUTTONDOWN ? WindowEvent::Kind::mouse_down
                                                       : WindowEvent::Kind::mouse_up;
            event.button = e.button.button == SDL_BUTTON_RIGHT ? 3 : 1;
            to_frame(e.button.x, e.button.y, event.x, event.y);
            break;
        case SDL_MOUSEMOTION:
            event.kind = WindowEvent::Kind::mouse_move;
            to_frame(e.motion.x, e.motion.y, event.x, event.y);
            break;
        case SDL_MOUSEWHEEL: {
            // One notch is one step. Smooth wheels and touch pads report parts of a notch,
            // which add up until they make a whole one; a "natural" (flipped) setting of
            // the desktop is undone, so that up stays away from the reader.
            const int notches = wheel_notches(m_wheel_rest, e.wheel.preciseY,
                                              e.wheel.direction == SDL_MOUSEWHEEL_FLIPPED);
            if (notches == 0) return true; // kind none: nothing yet
            event.kind = WindowEvent::Kind::wheel;
            event.wheel = notches;
            break;
        }
        case SDL_KEYDOWN:
        case SDL_KEYUP:
            event.kind =
                e.type == SDL_KEYDOWN ? WindowEvent::Kind::key_down : WindowEvent::Kind::key_up;
            event.key = SDL_GetKeyName(e.key.keysym.sym);
            break;
        case SDL_WINDOWEVENT:
            // The window manager may have taken the window in or out of full screen.
            m_fullscreen = (SDL_GetWindowFlags(m_window) & SDL_WINDOW_FULLSCREEN) != 0;
            if (e.window.event == SDL_WINDOWEVENT_EXPOSED ||
                e.window.event == SDL_WINDOWEVENT_SIZE_CHANGED)
                redraw();
            break;
        default:
            break;
        }
        return true;
    }

    void post_wake() override {
        SDL_Event e{};
        e.type = m_wake_type;
        SDL_PushEvent(&e);
    }

    void post_event(const WindowEvent& event) override {
        // Events from outside the window system (timed test input) arrive as wake-ups
        // carrying nothing; windowed runs take their input from SDL itself.
        (void)event;
        post_wake();
    }

    void set_title(const std::string& utf8_title) override {
        SDL_SetWindowTitle(m_window, utf8_title.c_str());
    }

    bool headless() const override { return false; }

    void present(const std::uint8_t* bgra, int stride, int x0, int y0, int x1, int y1) override {
        if (x0 < 0) x0 = 0;
        if (y0 < 0) y0 = 0;
        if (x1 > k_frame_width) x1 = k_frame_width;
        if (y1 > k_frame_height) y1 = k_frame_height;
        if (x1 <= x0 || y1 <= y0) return;
        int w = 0, h = 0;
        SDL_GetWindowSize(m_window, &w, &h);
        if (w <= 0 || h <= 0) return; // minimised: nothing to show
        // BGRA bytes in memory are ARGB8888 words on a little-endian machine.
        SDL_Rect rect{x0, y0, x1 - x0, y1 - y0};
        SDL_UpdateTexture(m_texture, &rect, bgra + y0 * stride + x0 * 4, stride);
        redraw();
    }

    bool set_fullscreen(bool on) override {
        if (on == m_fullscreen) return true;
        bool done = SDL_SetWindowFullscreen(m_window, on ? SDL_WINDOW_FULLSCREEN_DESKTOP : 0) == 0;
        // Test hook: no X server refuses the switch on demand, so a test asks for the
        // refusal to see the window put back.
        if (on && std::getenv("KESTRUNE_TEST_REFUSE_FULLSCREEN")) done = false;
        if (!done) {
            // Back to the window as it was: a half-made switch must not leave the reader
            // with a borderless window of the wrong size.
            SDL_SetWindowFullscreen(m_window, 0);
            SDL_SetWindowSize(m_window, k_frame_width, k_frame_height);
        }
        m_fullscreen = (SDL_GetWindowFlags(m_window) & SDL_WINDOW_FULLSCREEN) != 0;
        redraw();
        return done;
    }

    bool fullscreen() const override { return m_fullscreen; }

    void set_scaling(int mode) override {
        if (mode < 0 || mode > 3) mode = 0;
        if (mode == m_scaling) return;
        m_scaling = mode;
        SDL_SetTextureScaleMode(m_texture, mode == 2 ? SDL_ScaleModeNearest : SDL_ScaleModeLinear);
        redraw();
    }

    // The cursor calls may come from script threads (a select's hover, a save's wait
    // cursor): they leave their wish here and wake the main thread, which owns the window.
    void set_cursor_shape(CursorShape shape) override {
        if (m_want_shape.exchange(static_cast<int>(shape)) != static_cast<int>(shape)) post_wake();
    }
    void set_cursor_visible(bool visible) override {
        if (m_want_visible.exchange(visible) != visible) post_wake();
    }
    bool warp_pointer(int x, int y) override {
        if (!m_can_warp) return false;
        m_warp_x = x;
        m_warp_y = y;
        m_warp_pending = true;
        post_wake();
        return true;
    }

private:
    void apply_cursor() {
        const int shape = m_want_shape.load();
        if (shape != m_shape) {
            static constexpr SDL_SystemCursor k_system[] = {
                SDL_SYSTEM_CURSOR_ARROW, SDL_SYSTEM_CURSOR_HAND, SDL_SYSTEM_CURSOR_WAIT};
            SDL_Cursor*& cursor = m_cursors[static_cast<std::size_t>(shape)];
            if (!cursor) cursor = SDL_CreateSystemCursor(k_system[shape]);
            if (cursor) SDL_SetCursor(cursor);
            m_shape = shape;
        }
        const bool visible = m_want_visible.load();
        if (visible != m_visible) {
            SDL_ShowCursor(visible ? SDL_ENABLE : SDL_DISABLE);
            m_visible = visible;
        }
        if (m_warp_pending.exchange(false)) {
            // Frame position to window position: the inverse of to_frame.
            const SDL_Rect r = frame_rect();
            int out_w = 0, out_h = 0, win_w = 0, win_h = 0;
            SDL_GetRendererOutputSize(m_renderer, &out_w, &out_h);
            SDL_GetWindowSize(m_window, &win_w, &win_h);
            int ox = r.x + m_warp_x.load() * r.w / k_frame_width;
            int oy = r.y + m_warp_y.load() * r.h / k_frame_height;
            // High-density displays: the renderer counts pixels, the window points.
            if (out_w > 0 && out_h > 0) {
                ox = ox * win_w / out_w;
                oy = oy * win_h / out_h;
            }
            SDL_WarpMouseInWindow(m_window, ox, oy);
        }
    }

    // Where the frame goes in the window: its own size in a window and with scaling 0,
    // else the largest 16:9 rectangle that fits; centred, black bands around it.
    SDL_Rect frame_rect() const {
        int w = 0, h = 0;
        SDL_GetRendererOutputSize(m_renderer, &w, &h);
        const FramePlace p = frame_place(w, h, m_fullscreen, m_scaling);
        return SDL_Rect{p.x, p.y, p.width, p.height};
    }

    void to_frame(int wx, int wy, int& fx, int& fy) const {
        const SDL_Rect r = frame_rect();
        fx = r.w > 0 ? (wx - r.x) * k_frame_width / r.w : wx;
        fy = r.h > 0 ? (wy - r.y) * k_frame_height / r.h : wy;
    }

    void redraw() {
        SDL_GetRendererOutputSize(m_renderer, &m_drawn_w, &m_drawn_h);
        const SDL_Rect r = frame_rect();

        SDL_RenderClear(m_renderer);
        SDL_RenderCopy(m_renderer, m_texture, nullptr, &r);
        SDL_RenderPresent(m_renderer);
    }

    SDL_Window* m_window = nullptr;
    SDL_Cursor* m_cursors[3] = {}; // by CursorShape, made when first used
    int m_shape = 0;               // as applied (main thread)
    bool m_visible = true;
    std::atomic<int> m_want_shape{0};
    std::atomic<bool> m_want_visible{true};
    std::atomic<bool> m_warp_pending{false};
    std::atomic<int> m_warp_x{0}, m_warp_y{0};
    bool m_can_warp = true;
    float m_wheel_rest = 0; // part of a notch not yet handed on
    SDL_Renderer* m_renderer = nullptr;
    SDL_Texture* m_texture = nullptr;
    Uint32 m_wake_type = 0;
    bool m_fullscreen = false;
    int m_drawn_w = 0, m_drawn_h = 0; // output size of the last redraw
    int m_scaling = 3; // video_aspect_fixed; the engine sets it before full screen is used
};

} // namespace

FramePlace frame_place(int out_width, int out_height, bool fullscreen, int scaling) {
    FramePlace p;
    if (fullscreen && scaling >= 1 && scaling <= 3) {
        p.height = std::min(out_height, static_cast<int>(out_width * 0.5625));
        p.width = static_cast<int>(std::lround(p.height * 1.7777777));
    }
    p.x = (out_width - p.width) / 2;
    p.y = (out_height - p.height) / 2;
    return p;
}

int wheel_notches(float& rest, float turn, bool flipped) {
    rest += flipped ? -turn : turn;
    const int notches = static_cast<int>(rest); // towards zero: a part stays a part
    rest -= static_cast<float>(notches);
    return notches;
}

bool display_available() {
    const char* x = std::getenv("DISPLAY");
    const char* w = std::getenv("WAYLAND_DISPLAY");
    return (x && *x) || (w && *w);
}

std::unique_ptr<Window> create_sdl_window(const std::string& utf8_title, std::string& error) {
    auto window = std::make_unique<SdlWindow>();
    if (!window->open(utf8_title, error)) return nullptr;
    return window;
}

} // namespace kestrune::platform
