#include "ui/overlay_internal.h"

#include "frame/engine.h"
#include "scene/frame_buffer.h"
#include "scene/scene.h"
#include "ui/keys.h"
#include "ui/menu_bar.h"

#include <algorithm>
#include <deque>
#include <mutex>
#include <optional>

namespace kestrune::ui {

namespace {

// The live overlay belongs to the main thread; the painter sees a published copy.
struct OverlayState {
    std::optional<Overlay> live;
    std::int32_t pressed = -1; // widget under a left press
    std::int32_t dragging = -1;

    std::mutex paint_mutex;
    std::optional<Overlay> shown; // what the painter paints

    std::mutex queue_mutex;
    std::deque<std::function<void()>> queue;
};

OverlayState& st() {
    static OverlayState s;
    return s;
}

void publish() {
    OverlayState& s = st();
    {
        std::lock_guard guard(s.paint_mutex);
        s.shown = s.live;
    }
    scene::frame_buffer().picture_changed();
}

std::int32_t widget_at(std::int32_t x, std::int32_t y) {
    const Overlay& o = *st().live;
    for (std::size_t i = 0; i < o.widgets.size(); ++i) {
        const Widget& w = o.widgets[i];
        if (w.focusable() && w.rect.contains(x, y)) return static_cast<std::int32_t>(i);
    }
    return -1;
}

void move_focus(int direction) {
    Overlay& o = *st().live;
    const auto n = static_cast<std::int32_t>(o.widgets.size());
    if (n == 0) return;
    std::int32_t i = o.focus;
    for (std::int32_t tries = 0; tries < n; ++tries) {
        i = i < 0 ? (direction > 0 ? 0 : n - 1) : (i + direction + n) % n;
        if (o.widgets[static_cast<std::size_t>(i)].focusable()) {
            o.focus = i;
            return;
        }
    }
}

void slide(std::int32_t index, std::int32_t value) {
    Overlay& o = *st().live;
    Widget& w = o.widgets[static_cast<std::size_t>(index)];
    value = std::clamp(value, 0, 100);
    if (value == w.value) return;
    w.value = value;
    if (o.on_slide) o.on_slide(o, w);
}

void slide_to_pointer(std::int32_t index, std::int32_t x) {
    const Widget& w = st().live->widgets[static_cast<std::size_t>(index)];
    if (w.rect.w <= 1) return;
    slide(index, ((x - w.rect.x) * 100 + (w.rect.w - 1) / 2) / (w.rect.w - 1));
}

void pick(std::int32_t index) {
    OverlayState& s = st();
    Overlay& o = *s.live;
    if (index < 0 || index >= static_cast<std::int32_t>(o.widgets.size())) return;
    Widget& w = o.widgets[static_cast<std::size_t>(index)];
    if (!w.focusable() || w.kind == WidgetKind::slider) return;
    o.focus = index;
    if (w.kind == WidgetKind::check) w.checked = !w.checked;
    const std::int32_t id = w.id;
    if (o.on_pick && o.on_pick(o, id)) close_overlay(id);
}

std::int32_t default_button() {
    const Overlay& o = *st().live;
    for (std::size_t i = 0; i < o.widgets.size(); ++i)
        if (o.widgets[i].is_default && o.widgets[i].enabled) return static_cast<std::int32_t>(i);
    return -1;
}

void key_input(const KeyPress& press) {
    Overlay& o = *st().live;
    Widget* focused = o.focus >= 0 && o.focus < static_cast<std::int32_t>(o.widgets.size())
                          ? &o.widgets[static_cast<std::size_t>(o.focus)]
                          : nullptr;
    const bool on_slider = focused && focused->kind == WidgetKind::slider;
    switch (press.key) {
    case Key::tab:
    case Key::down:
        move_focus(1);
        break;
    case Key::up:
        move_focus(-1);
        break;
    case Key::right:
        if (on_slider)
            slide(o.focus, focused->value + 1);
        else
            move_focus(1);
        break;
    case Key::left:
        if (on_slider)
            slide(o.focus, focused->value - 1);
        else
            move_focus(-1);
        break;
    case Key::page_up:
        if (on_slider) slide(o.focus, focused->value - 10);
        break;
    case Key::page_down:
        if (on_slider) slide(o.focus, focused->value + 10);
        break;
    case Key::home:
        if (on_slider) slide(o.focus, 0);
        break;
    case Key::end:
        if (on_slider) slide(o.focus, 100);
        break;
    case Key::enter:
        if (focused && (focused->kind == WidgetKind::button || focused->kind == WidgetKind::item))
            pick(o.focus);
        else
            pick(default_button());
        return;
    case Key::space:
        if (focused && !on_slider) pick(o.focus);
        return;
    case Key::esc:
        if (o.has_cancel) close_overlay(o.cancel_id);
        return;
    case Key::letter:
        for (std::size_t i = 0; i < o.widgets.size(); ++i)
            if (o.widgets[i].letter == press.letter && o.widgets[i].focusable()) {
                pick(static_cast<std::int32_t>(i));
                return;
            }
        break;
    default:
        break;
    }
}

void mouse_input(const platform::WindowEvent& e) {
    using Kind = platform::WindowEvent::Kind;
    OverlayState& s = st();
    Overlay& o = *s.live;
    const std::int32_t hit = widget_at(e.x, e.y);
    if (e.kind == Kind::mouse_move) {
        if (s.dragging >= 0) {
            slide_to_pointer(s.dragging, e.x);
        } else if (o.kind == OverlayKind::menu && hit >= 0) {
            o.focus = hit; // a menu's highlight follows the pointer
        }
        return;
    }
    if (e.kind == Kind::mouse_down) {
        if (e.button != 1) return;
        s.pressed = hit;
        if (hit >= 0 && o.widgets[static_cast<std::size_t>(hit)].kind == WidgetKind::slider) {
            o.focus = hit;
            s.dragging = hit;
            slide_to_pointer(hit, e.x);
        }
        return;
    }
    if (e.kind != Kind::mouse_up) return;
    const std::int32_t pressed = s.pressed;
    s.pressed = -1;
    if (s.dragging >= 0) {
        s.dragging = -1;
        return;
    }
    if (o.kind == OverlayKind::menu) {
        // Either button picks the item under the pointer; a release elsewhere closes it.
        if (hit >= 0 && (e.button == 3 || pressed == hit))
            pick(hit);
        else if (!o.panel.contains(e.x, e.y) || e.button == 3)
            close_overlay(o.cancel_id);
        return;
    }
    if (e.button == 1 && hit >= 0 && pressed == hit) pick(hit);
}

} // namespace

namespace detail {

void refresh_painter() {
    const bool bar = menu_bar_enabled();
    bool overlay = false;
    {
        std::lock_guard guard(st().paint_mutex);
        overlay = st().shown.has_value();
    }
    if (!bar && !overlay) {
        scene::frame_buffer().set_picture_painter(nullptr);
        return;
    }
    scene::frame_buffer().set_picture_painter([](std::uint8_t* bgra, std::int32_t stride) {
        paint_menu_bar(bgra, stride);
        OverlayState& state = st();
        std::lock_guard guard(state.paint_mutex);
        if (state.shown) paint_overlay(*state.shown, bgra, stride);
    });
}

} // namespace detail

void Overlay::focus_first() {
    focus = -1;
    for (std::size_t i = 0; i < widgets.size(); ++i)
        if (widgets[i].is_default && widgets[i].focusable()) {
            focus = static_cast<std::int32_t>(i);
            return;
        }
    for (std::size_t i = 0; i < widgets.size(); ++i)
        if (widgets[i].focusable()) {
            focus = static_cast<std::int32_t>(i);
            return;
        }
}

Widget* Overlay::find(std::int32_t id) {
    for (Widget& w : widgets)
        if (w.id == id) return &w;
    return nullptr;
}

void open_overlay(Overlay o) {
    OverlayState& s = st();
    s.live = std::move(o);
    s.pressed = s.dragging = -1;
    {
        std::lock_guard guard(s.paint_mutex);
        s.shown = s.live;
    }
    detail::refresh_painter();
}

void close_overlay(std::int32_t id) {
    OverlayState& s = st();
    if (!s.live) return;
    std::function<void(std::int32_t)> on_close = std::move(s.live->on_close);
    s.live.reset();
    {
        std::lock_guard guard(s.paint_mutex);
        s.shown.reset();
    }
    detail::refresh_painter();
    if (on_close) on_close(id);
    engine::wake_main(); // a queued request may open now
}

void cancel_overlay(std::int32_t fallback) {
    if (!st().live) return;
    close_overlay(st().live->has_cancel ? st().live->cancel_id : fallback);
}

bool overlay_open() {
    return st().live.has_value();
}

OverlayKind open_overlay_kind() {
    return st().live ? st().live->kind : OverlayKind::box;
}

bool overlay_input(const platform::WindowEvent& e) {
    using Kind = platform::WindowEvent::Kind;
    OverlayState& s = st();
    if (!s.live) return false;
    switch (e.kind) {
    case Kind::key_up:
        return false;
    case Kind::key_down:
        key_input(key_from_name(e.key));
        break;
    case Kind::mouse_move:
    case Kind::mouse_down:
    case Kind::mouse_up:
        engine::set_pointer_position(e.x, e.y);
        mouse_input(e);
        break;
    default:
        return true;
    }
    if (s.live) publish();
    return true;
}

void overlay_changed() {
    if (st().live) publish();
}

void run_on_main(std::function<void()> fn) {
    {
        std::lock_guard guard(st().queue_mutex);
        st().queue.push_back(std::move(fn));
    }
    engine::wake_main();
}

void run_overlay_requests() {
    while (!overlay_open()) {
        std::function<void()> fn;
        {
            std::lock_guard guard(st().queue_mutex);
            if (st().queue.empty()) return;
            fn = std::move(st().queue.front());
            st().queue.pop_front();
        }
        fn();
    }
}

void reset_overlays() {
    OverlayState& s = st();
    {
        std::lock_guard guard(s.queue_mutex);
        s.queue.clear();
    }
    if (s.live) {
        s.live->on_close = nullptr;
        close_overlay(0);
    }
}

} // namespace kestrune::ui
