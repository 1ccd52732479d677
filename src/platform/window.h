// The main window: an SDL2 window, or a headless stand-in with the same interface.
//
// Threading contract: create, next_event and present are called by the main thread only;
// post_wake and post_event may be called from any thread (they are how other threads wake
// the main loop after changing the engine state).
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace kestrune::platform {

struct WindowEvent {
    enum class Kind {
        none,
        wake,          // posted by another thread: look at the engine state
        close_request, // the reader asked to close the window
        mouse_down,
        mouse_up,
        mouse_move,
        wheel,
        key_down,
        key_up,
        pad_down, // a game controller's button (its name in `key`)
        pad_up,
        pad_unplug, // timed input: the virtual controller is pulled out
    };
    Kind kind = Kind::none;
    int x = 0, y = 0; // pointer position in frame coordinates
    int button = 0;   // 1 left, 3 right
    int wheel = 0;    // notches: positive away from the reader (up), negative towards
    std::string key;  // key name ("Return", "Space", "A", "F1", ...) or pad button ("a")
};

enum class CursorShape { arrow, hand, wait };

class Window {
public:
    virtual ~Window() = default;
    // Waits up to timeout_ms (engine time) for the next event. False on time-out.
    virtual bool next_event(WindowEvent& event, std::uint32_t timeout_ms) = 0;
    virtual void post_wake() = 0;
    virtual void post_event(const WindowEvent& event) = 0;
    virtual void set_title(const std::string& utf8_title) = 0;
    virtual bool headless() const = 0;
    // Shows a 1024x576 BGRA frame; only the rows and columns of the changed rectangle
    // [x0, x1) x [y0, y1) need to be uploaded.
    virtual void present(const std::uint8_t* bgra, int stride, int x0, int y0, int x1, int y1) = 0;
    // Full screen on the desktop's resolution, the frame letterboxed with black bands.
    // False when the switch failed; the window is then back in its windowed arrangement.
    // Main thread only.
    virtual bool set_fullscreen(bool on) = 0;
    // Whether the window is full screen now (the window manager may change it).
    virtual bool fullscreen() const = 0;
    // How full screen shows the frame: 0 at its own size (1:1, centred), 1 and 3 scaled
    // with linear filtering, 2 scaled to the nearest pixel; other values are taken as 0.
    virtual void set_scaling(int mode) = 0;
    // The pointer's shape: the hand over something the reader can click, the wait cursor
    // while a save is written, else the arrow; and whether the pointer shows over the
    // window. Any thread: the main thread applies them at its next pass.
    virtual void set_cursor_shape(CursorShape shape) = 0;
    void set_hand_cursor(bool hand) {
        set_cursor_shape(hand ? CursorShape::hand : CursorShape::arrow);
    }
    virtual void set_cursor_visible(bool visible) = 0;
    // Places the pointer at a frame position (any thread). False where the system does not
    // let a program move the pointer (Wayland): the engine then goes on with the position
    // as a virtual one until the reader moves the mouse.
    virtual bool warp_pointer(int x, int y) = 0;
};

// Where the 1024x576 frame goes in a window whose drawing area is out_width x out_height:
// at its own size, centred, in a window and with scaling 0; in full screen with scaling
// 1 to 3, the largest 16:9 rectangle that fits (height = min(out height, trunc(out width
// x 0.5625)), width = round(height x 1.7777777)), centred between black bands.
struct FramePlace {
    int x = 0, y = 0, width = 1024, height = 576;
};
FramePlace frame_place(int out_width, int out_height, bool fullscreen, int scaling);

// Whole notches of a wheel report: `turn` is the report's (possibly fractional) amount,
// positive away from the reader unless the desktop `flipped` it ("natural" scrolling);
// parts of a notch are kept in `rest` until they add up to a whole one.
int wheel_notches(float& rest, float turn, bool flipped);

// True when an X11 or Wayland display is named in the environment.
bool display_available();

// After the window's video subsystem started: a lost display connection ends the run
// with a message and exit code 1 instead of inside the display library.
void watch_display_connection();
// Opens the SDL2 window (1024x576). Null with a message in `error` when it fails.
std::unique_ptr<Window> create_sdl_window(const std::string& utf8_title, std::string& error);
// The headless window remembers the pointer's shape, visibility and moves; with a
// `cursor_log` file it writes each change there as it happens ("<ms> cursor hand",
// "<ms> cursor hidden", "<ms> cursor shown", "<ms> warp X Y"), for tests.
std::unique_ptr<Window> create_headless_window(const std::string& cursor_log = {});

} // namespace kestrune::platform
