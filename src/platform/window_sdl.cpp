#include "platform/clock.h"
#include "platform/window.h"

#include <SDL2/SDL.h>
#include <cstdlib>

namespace kestrune::platform {

namespace {

constexpr int k_frame_width = 1024;
constexpr int k_frame_height = 576;

class SdlWindow final : public Window {
public:
    ~SdlWindow() override {
        if (m_hand_cursor) SDL_FreeCursor(m_hand_cursor);
        if (m_arrow_cursor) SDL_FreeCursor(m_arrow_cursor);
        if (m_texture) SDL_DestroyTexture(m_texture);
        if (m_renderer) SDL_DestroyRenderer(m_renderer);
        if (m_window) SDL_DestroyWindow(m_window);
        SDL_QuitSubSystem(SDL_INIT_VIDEO);
    }

    bool open(const std::string& title, std::string& error) {
        // SIGINT and SIGTERM end the program as they do headless; otherwise SDL would turn
        // them into the window's close request, which a game's close script may refuse.
        SDL_SetHint(SDL_HINT_NO_SIGNAL_HANDLERS, "1");
        if (SDL_InitSubSystem(SDL_INIT_VIDEO) != 0) {
            error = SDL_GetError();
            return false;
        }
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
        SDL_SetHint(SDL_HINT_RENDER_SCALE_QUALITY, "linear");
        SDL_RenderSetLogicalSize(m_renderer, k_frame_width, k_frame_height);
        m_texture = SDL_CreateTexture(m_renderer, SDL_PIXELFORMAT_ARGB8888,
                                      SDL_TEXTUREACCESS_STREAMING, k_frame_width, k_frame_height);
        if (!m_texture) {
            error = SDL_GetError();
            return false;
        }
        SDL_SetRenderDrawColor(m_renderer, 0, 0, 0, 255);
        SDL_RenderClear(m_renderer);
        SDL_RenderPresent(m_renderer);
        return true;
    }

    bool next_event(WindowEvent& event, std::uint32_t timeout_ms) override {
        SDL_Event e;
        const int real_ms = static_cast<int>(engine_ms_to_real_us(timeout_ms) / 1000);
        if (!SDL_WaitEventTimeout(&e, real_ms < 1 ? 1 : real_ms)) return false;
        event = WindowEvent{};
        if (e.type == m_wake_type) {
            event.kind = WindowEvent::Kind::wake;
            return true;
        }
        switch (e.type) {
        case SDL_QUIT:
            event.kind = WindowEvent::Kind::close_request;
            break;
        case SDL_MOUSEBUTTONDOWN:
        case SDL_MOUSEBUTTONUP:
            event.kind = e.type == SDL_MOUSEBUTTONDOWN ? WindowEvent::Kind::mouse_down
                                                       : WindowEvent::Kind::mouse_up;
            event.button = e.button.button == SDL_BUTTON_RIGHT ? 3 : 1;
            event.x = e.button.x;
            event.y = e.button.y;
            break;
        case SDL_MOUSEMOTION:
            event.kind = WindowEvent::Kind::mouse_move;
            event.x = e.motion.x;
            event.y = e.motion.y;
            break;
        case SDL_MOUSEWHEEL:
            event.kind = WindowEvent::Kind::wheel;
            event.wheel = e.wheel.y > 0 ? 1 : (e.wheel.y < 0 ? -1 : 0);
            break;
        case SDL_KEYDOWN:
        case SDL_KEYUP:
            event.kind =
                e.type == SDL_KEYDOWN ? WindowEvent::Kind::key_down : WindowEvent::Kind::key_up;
            event.key = SDL_GetKeyName(e.key.keysym.sym);
            break;
        case SDL_WINDOWEVENT:
            if (e.window.event == SDL_WINDOWEVENT_EXPOSED) redraw();
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

    void set_fullscreen(bool on) override {
        if (on == m_fullscreen) return;
        // The renderer's logical size keeps the frame's aspect: black bands fill the rest.
        if (SDL_SetWindowFullscreen(m_window, on ? SDL_WINDOW_FULLSCREEN_DESKTOP : 0) == 0)
            m_fullscreen = on;
        redraw();
    }

    void set_hand_cursor(bool hand) override {
        if (hand == m_hand) return;
        SDL_Cursor*& cursor = hand ? m_hand_cursor : m_arrow_cursor;
        if (!cursor)
            cursor =
                SDL_CreateSystemCursor(hand ? SDL_SYSTEM_CURSOR_HAND : SDL_SYSTEM_CURSOR_ARROW);
        if (!cursor) return;
        SDL_SetCursor(cursor);
        m_hand = hand;
    }

private:
    void redraw() {
        SDL_RenderClear(m_renderer);
        SDL_RenderCopy(m_renderer, m_texture, nullptr, nullptr);
        SDL_RenderPresent(m_renderer);
    }

    SDL_Window* m_window = nullptr;
    SDL_Cursor* m_hand_cursor = nullptr;
    SDL_Cursor* m_arrow_cursor = nullptr;
    bool m_hand = false;
    SDL_Renderer* m_renderer = nullptr;
    SDL_Texture* m_texture = nullptr;
    Uint32 m_wake_type = 0;
    bool m_fullscreen = false;
};

} // namespace

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
