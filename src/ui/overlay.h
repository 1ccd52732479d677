// The engine's own modal overlays: message boxes, the popup menu, the settings dialog and
// the quit question. They are painted over the shown picture (never into the scene, so a
// capture for a save never holds them) with the engine's glyphs, and answer the mouse and
// the keyboard alike: Tab and the arrows move the focus, Enter picks, Space toggles, Esc
// cancels where the overlay has a cancel, Page Up and Page Down move a slider by 10.
// While an overlay is open the game gets no input.
//
// Threading contract: one overlay at a time. open_overlay, close_overlay, overlay_input,
// overlay_open and the Overlay callbacks run on the main thread only (the callbacks never
// under a lock of this file). Other threads ask for an overlay through run_on_main, which
// the main loop runs at its next pass once no overlay is open. The painter reads a copy
// of the open overlay under its own mutex on whichever thread shows the picture.
#pragma once

#include "platform/window.h"

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace kestrune::ui {

struct OverlayRect {
    std::int32_t x = 0, y = 0, w = 0, h = 0;
    bool contains(std::int32_t px, std::int32_t py) const {
        return px >= x && py >= y && px < x + w && py < y + h;
    }
};

enum class WidgetKind { label, group, button, check, slider, item };

struct Widget {
    WidgetKind kind = WidgetKind::label;
    OverlayRect rect; // in picture coordinates
    std::u32string text;
    std::u32string shortcut; // menu items: the key named at the right
    std::int32_t id = 0;
    bool enabled = true;
    bool checked = false;    // check boxes
    std::int32_t value = 0;  // sliders, 0..100
    bool is_default = false; // the button Enter picks when the focus is on no button
    char letter = 0;         // 'A'..'Z': the letter key that picks this item
    bool focusable() const {
        return enabled && kind != WidgetKind::label && kind != WidgetKind::group;
    }
};

enum class OverlayKind { box, menu, dialog };
enum class BoxIcon { none, question, information, exclamation, stop };

struct Overlay {
    OverlayKind kind = OverlayKind::box;
    std::u32string title;
    OverlayRect panel;
    BoxIcon icon = BoxIcon::none;
    OverlayRect icon_rect;
    std::vector<Widget> widgets;
    std::int32_t focus = -1; // index into widgets
    // The id Esc (and the right button on a menu) closes with; no cancel when unset.
    bool has_cancel = false;
    std::int32_t cancel_id = 0;
    // A button, item or check box was picked (a check box is toggled first). Returns true
    // to close the overlay with that id.
    std::function<bool(Overlay& self, std::int32_t id)> on_pick;
    // A slider moved (by key, click or drag).
    std::function<void(Overlay& self, const Widget& slider)> on_slide;
    // The overlay closed with this id (a pick, the cancel, or a close from outside).
    std::function<void(std::int32_t id)> on_close;

    // Focus to the first focusable widget (or the default button when there is one).
    void focus_first();
    Widget* find(std::int32_t id);
};

// Opens o (closing none: the caller checks overlay_open first). Main thread.
void open_overlay(Overlay o);
// Closes the open overlay with id (its on_close runs after it is gone). Main thread.
void close_overlay(std::int32_t id);
// Closes the open overlay as its cancel would, or, without a cancel, with `fallback`.
void cancel_overlay(std::int32_t fallback);
bool overlay_open();
OverlayKind open_overlay_kind();
// Hands a window event to the open overlay. True when it was taken (always while one is
// open, except key releases, which still reach the keys so held-key variables clear).
bool overlay_input(const platform::WindowEvent& event);
// Shows the open overlay's changes (after a callback changed the live overlay).
void overlay_changed();

// Runs fn on the main thread at its next pass when no overlay is open. Any thread.
void run_on_main(std::function<void()> fn);
// The main loop's pass: runs what run_on_main queued while no overlay is open.
void run_overlay_requests();
// Forgets every queued request and closes the overlay without its callbacks (shutdown,
// tests).
void reset_overlays();

// Text helpers: UTF-8 to code points, and the width of a line in the overlay font.
std::u32string utf8_to_u32(std::string_view utf8);
std::int32_t text_width(const std::u32string& text);
inline constexpr std::int32_t k_overlay_line_height = 20;

} // namespace kestrune::ui
