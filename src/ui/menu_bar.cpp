#include "ui/menu_bar.h"

#include "frame/engine.h"
#include "persist/settings.h"
#include "platform/clock.h"
#include "scene/frame_buffer.h"
#include "scene/scene.h"
#include "script/commands.h"
#include "script/system_variables.h"
#include "script/variables.h"
#include "storage/image_loader.h"
#include "ui/boxes.h"
#include "ui/overlay_internal.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace kestrune::ui {

namespace {

using Image = std::shared_ptr<PixelImage>;

struct Place {
    std::int32_t x, y;
};

// Where each image sits in the bar.
constexpr Place k_mode_place{72, 6};
constexpr Place k_label_place{157, 6};
constexpr Place k_track_place{178, 6};
constexpr std::int32_t k_thumb_y = 2;
constexpr Place k_save_place{338, 6};
constexpr Place k_load_place{388, 6};
constexpr Place k_button_shown_place{438, 7};
constexpr Place k_button_hidden_place{178, 7};
constexpr Place k_anim_place{39, 1};

constexpr std::int32_t k_auto_frames = 14;      // at02..at15
constexpr std::int32_t k_running_frames = 7;    // mv01..mv07
constexpr std::int32_t k_waiting_frames = 3;    // wt01..wt03
constexpr std::int32_t k_indicator_frames = 18; // cs01..cs18
constexpr std::int32_t k_one = 65536;           // 1.0 in 16.16

struct Bar {
    std::mutex mutex;
    bool enabled = false;
    Image background, track, thumb, button_shown, button_hidden;
    std::vector<Image> mode_auto, mode_normal, label, save, load, running, waiting_anim, indicator;

    bool slider_shown = true;
    std::int32_t auto_frame = 1; // 1..14
    std::int32_t running_frame = 0;
    std::int32_t waiting_frame = 0;
    bool waiting = false;
    // The wait indicator's frame in 16.16: always within 1 to just under 19, so that it
    // names one of the 18 images.
    std::int32_t indicator_frame = k_one;
    platform::Tick last_step = 0;
    bool pointer_over_mode = false;
    std::uint64_t shown_signature = 0; // of what the last paint showed
};

Bar& bar() {
    static Bar b;
    return b;
}

Image load(const std::string& file) {
    return storage::load_image("./Data/ctrl/" + file);
}

bool load_series(std::vector<Image>& out, const char* pattern, int count) {
    out.clear();
    for (int i = 1; i <= count; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, pattern, i);
        Image image = load(name);
        if (!image) return false;
        out.push_back(std::move(image));
    }
    return true;
}

bool load_all(Bar& b) {
    return (b.background = load("br.png")) && (b.track = load("slbr.png")) &&
           (b.thumb = load("sltb.png")) && load_series(b.mode_auto, "at%02d.png", 15) &&
           load_series(b.mode_normal, "nr%02d.png", 2) && load_series(b.label, "ct%02d.png", 12) &&
           load_series(b.save, "sv%02d.png", 3) && load_series(b.load, "ld%02d.png", 3) &&
           (b.button_shown = load("bt01.png")) && (b.button_hidden = load("bt02.png")) &&
           load_series(b.running, "mv%02d.jpg", k_running_frames) &&
           load_series(b.waiting_anim, "wt%02d.jpg", k_waiting_frames) &&
           load_series(b.indicator, "cs%02d.png", k_indicator_frames);
}

void drop_images(Bar& b) {
    b.background = b.track = b.thumb = b.button_shown = b.button_hidden = nullptr;
    for (auto* v : {&b.mode_auto, &b.mode_normal, &b.label, &b.save, &b.load, &b.running,
                    &b.waiting_anim, &b.indicator})
        v->clear();
}

// The play-speed step the bar shows: 12 in skip mode, else the setting's step (1 to 12).
std::int32_t speed_step() {
    return engine::skip_mode() ? 12 : std::clamp(script::play_speed_index(), 1, 12);
}

bool rect_has(const Image& image, Place at, std::int32_t x, std::int32_t y) {
    return image && x >= at.x && y >= at.y && x < at.x + image->width && y < at.y + image->height;
}

// What the bar shows, folded into one number: a change means the picture must be shown
// again. Bar mutex held.
std::uint64_t signature(const Bar& b) {
    std::uint64_t s = static_cast<std::uint64_t>(speed_step());
    s = s * 31 + (engine::skip_mode() ? 1 : 0) + (engine::auto_mode() ? 2 : 0);
    s = s * 31 + static_cast<std::uint64_t>(b.auto_frame);
    s = s * 31 + static_cast<std::uint64_t>(b.waiting ? 100 + b.waiting_frame : b.running_frame);
    s = s * 31 + (b.pointer_over_mode ? 1 : 0) + (b.slider_shown ? 2 : 0);
    if (b.waiting && !engine::text_window_hidden())
        s = s * 31 + static_cast<std::uint64_t>(b.indicator_frame / k_one);
    return s;
}

// Blends an image's pixels (straight alpha) onto the picture at x, y, clipped to it.
void blit(std::uint8_t* bgra, std::int32_t stride, const Image& image, std::int32_t x,
          std::int32_t y) {
    if (!image) return;
    for (std::int32_t row = 0; row < image->height; ++row) {
        const std::int32_t py = y + row;
        if (py < 0 || py >= 576) continue;
        const std::uint8_t* src = image->row(row);
        std::uint8_t* dst = bgra + std::size_t(py) * std::size_t(stride);
        for (std::int32_t col = 0; col < image->width; ++col) {
            const std::int32_t px = x + col;
            const std::uint32_t a = src[col * 4 + 3];
            if (px < 0 || px >= 1024 || a == 0) continue;
            std::uint8_t* d = dst + px * 4;
            for (int c = 0; c < 3; ++c)
                d[c] =
                    static_cast<std::uint8_t>(d[c] + (int(src[col * 4 + c]) - d[c]) * int(a) / 256);
        }
    }
}

void changed() {
    scene::frame_buffer().picture_changed();
}

void set_play_speed_at(std::int32_t x) {
    // The thumb's middle sits at track + 12 * step: the nearest step to the click.
    const std::int32_t step = std::clamp((x - k_track_place.x + 6) / 12, 1, 12);
    script::var_set_number("#SYSTEM_play_speed", step);
}

} // namespace

bool setup_menu_bar() {
    Bar& b = bar();
    release_menu_bar();
    if (!persist::settings().menu_enabled) return true;
    Bar fresh_images;
    if (!load_all(fresh_images)) {
        std::fprintf(stderr, "kestrune: the menu bar is off: an image of Data/ctrl is missing\n");
        return false;
    }
    {
        std::lock_guard guard(b.mutex);
        b.background = fresh_images.background;
        b.track = fresh_images.track;
        b.thumb = fresh_images.thumb;
        b.button_shown = fresh_images.button_shown;
        b.button_hidden = fresh_images.button_hidden;
        b.mode_auto = fresh_images.mode_auto;
        b.mode_normal = fresh_images.mode_normal;
        b.label = fresh_images.label;
        b.save = fresh_images.save;
        b.load = fresh_images.load;
        b.running = fresh_images.running;
        b.waiting_anim = fresh_images.waiting_anim;
        b.indicator = fresh_images.indicator;
        b.auto_frame = 1;
        b.running_frame = b.waiting_frame = 0;
        b.waiting = false;
        b.indicator_frame = k_one;
        b.slider_shown = true;
        b.last_step = platform::tick_ms();
        b.enabled = true;
    }
    detail::refresh_painter();
    return true;
}

void release_menu_bar() {
    Bar& b = bar();
    {
        std::lock_guard guard(b.mutex);
        if (!b.enabled) return;
        b.enabled = false;
        drop_images(b);
    }
    detail::refresh_painter();
}

bool menu_bar_enabled() {
    std::lock_guard guard(bar().mutex);
    return bar().enabled;
}

void menu_bar_cycle() {
    Bar& b = bar();
    bool show = false;
    {
        std::lock_guard guard(b.mutex);
        // A bar that was never set up (disabled, or an image missing) has nothing to step.
        if (!b.enabled) return;
        const platform::Tick now = platform::tick_ms();
        const double s = script::speed_factor();
        const auto interval = static_cast<std::int32_t>(std::lround(180.0 / s));
        if (platform::tick_diff(now, b.last_step) > interval) {
            b.last_step = now;
            if (engine::auto_mode() || engine::skip_mode())
                b.auto_frame = b.auto_frame % k_auto_frames + 1;
            if (b.waiting)
                b.waiting_frame = (b.waiting_frame + 1) % k_waiting_frames;
            else
                b.running_frame = (b.running_frame + 1) % k_running_frames;
        }
        if (!engine::auto_mode() && !engine::skip_mode()) b.auto_frame = 1;
        if (b.waiting) {
            b.indicator_frame += k_one / 4;
            if (b.indicator_frame >= (k_indicator_frames + 1) * k_one) b.indicator_frame = k_one;
        }
        const std::uint64_t now_signature = signature(b);
        show = now_signature != b.shown_signature;
        b.shown_signature = now_signature;
    }
    if (show) changed();
}

void menu_bar_waiting(bool waiting) {
    Bar& b = bar();
    {
        std::lock_guard guard(b.mutex);
        if (!b.enabled || b.waiting == waiting) return;
        b.waiting = waiting;
        b.waiting_frame = 0;
        b.running_frame = 0;
        b.indicator_frame = k_one;
    }
    changed();
}

bool menu_bar_input(const platform::WindowEvent& e) {
    using Kind = platform::WindowEvent::Kind;
    if (e.kind != Kind::mouse_move && e.kind != Kind::mouse_down && e.kind != Kind::mouse_up)
        return false;
    Bar& b = bar();
    const std::int32_t x = e.x - k_bar_x, y = e.y - k_bar_y;
    const bool inside = x >= 0 && y >= 0 && x < k_bar_width && y < k_bar_height;
    enum class Action { none, mode, speed, save, load, toggle_slider } action = Action::none;
    {
        std::lock_guard guard(b.mutex);
        if (!b.enabled) return false;
        const bool over = inside && rect_has(b.mode_normal[1], k_mode_place, x, y);
        if (over != b.pointer_over_mode) {
            b.pointer_over_mode = over;
            b.shown_signature = 0;
        }
        if (e.kind == Kind::mouse_move || !inside || e.button != 1) return false;
        if (e.kind == Kind::mouse_up) {
            if (over)
                action = Action::mode;
            else if (b.slider_shown && rect_has(b.track, k_track_place, x, y))
                action = Action::speed;
            else if (b.slider_shown && rect_has(b.save[1], k_save_place, x, y))
                action = Action::save;
            else if (b.slider_shown && rect_has(b.load[0], k_load_place, x, y))
                action = Action::load;
            else if (b.slider_shown ? rect_has(b.button_shown, k_button_shown_place, x, y)
                                    : rect_has(b.button_hidden, k_button_hidden_place, x, y))
                action = Action::toggle_slider;
        }
    }
    switch (action) {
    case Action::mode:
        run_menu_command(k_menu_auto);
        break;
    case Action::speed:
        set_play_speed_at(x);
        break;
    case Action::save:
        if (menu_command_available(k_menu_save)) run_menu_command(k_menu_save);
        break;
    case Action::load:
        if (menu_command_available(k_menu_load)) run_menu_command(k_menu_load);
        break;
    case Action::toggle_slider: {
        std::lock_guard guard(b.mutex);
        b.slider_shown = !b.slider_shown;
        break;
    }
    default:
        break;
    }
    changed();
    return true;
}

void paint_menu_bar(std::uint8_t* bgra, std::int32_t stride) {
    Bar& b = bar();
    std::lock_guard guard(b.mutex);
    if (!b.enabled) return;
    auto at = [&](const Image& image, Place p) {
        blit(bgra, stride, image, k_bar_x + p.x, k_bar_y + p.y);
    };
    at(b.background, {0, 0});
    if (engine::auto_mode() || engine::skip_mode()) {
        if (b.pointer_over_mode) at(b.mode_auto[0], k_mode_place);
        at(b.mode_auto[static_cast<std::size_t>(b.auto_frame)], k_mode_place);
    } else {
        at(b.mode_normal[b.pointer_over_mode ? 0 : 1], k_mode_place);
    }
    const std::int32_t step = speed_step();
    at(b.label[static_cast<std::size_t>(step - 1)], k_label_place);
    if (b.slider_shown) {
        at(b.track, k_track_place);
        at(b.thumb, {k_track_place.x + 12 * step - 5, k_thumb_y});
        at(b.save[1], k_save_place);
        at(b.load[0], k_load_place);
        at(b.button_shown, k_button_shown_place);
    } else {
        at(b.button_hidden, k_button_hidden_place);
    }
    if (b.waiting)
        at(b.waiting_anim[static_cast<std::size_t>(b.waiting_frame)], k_anim_place);
    else
        at(b.running[static_cast<std::size_t>(b.running_frame)], k_anim_place);
    // The wait indicator belongs to the picture's corner, and goes with the text window.
    if (b.waiting && !engine::text_window_hidden())
        blit(bgra, stride, b.indicator[static_cast<std::size_t>(b.indicator_frame / k_one - 1)], 0,
             0);
}

std::int32_t menu_bar_wait_frame() {
    std::lock_guard guard(bar().mutex);
    return bar().indicator_frame / k_one;
}

} // namespace kestrune::ui
