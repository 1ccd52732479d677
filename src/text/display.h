// The message display: the per-frame reveal step of text objects. It copies the laid-out
// glyphs into the object's image a few at a time at the text speed, obeys the pauses and
// key waits of the layout, and honours skip mode (everything at once, key waits pass) and
// auto mode (a key wait becomes a pause of a fixed time per character shown).
//
// Threading: the reveal step and the requests run under the scene lock (the render thread
// for the step, the script thread for requests).
#pragma once

#include <cstdint>
#include <string_view>

namespace kestrune::scene {
struct SceneObject;
}

namespace kestrune::text {

struct TextLayout;

// Reveal step of a text object: 1 it progressed (or has nothing to do now), -4 it waits
// (pause, key wait, text speed), 0 every slot of the layout has been shown.
int reveal_step(scene::SceneObject& object);

// The requests "Erase" (hide, stop revealing) and "Enter" (show, reveal from now on) of a
// text object: 1 when handled, -1 for any other word. Scene lock held.
int display_request(scene::SceneObject& object, std::string_view word);

// Registers the reveal step as the text objects' per-frame operation. Call once at start.
void register_display();

// Auto mode follows the settings `text_auto` and `text_auto_lock` (the lock keeps it off
// and resets the variable). Call at every script start, after the variable store is ready.
void watch_display_settings();
// Applies the current value of `text_auto` (and its lock) to auto mode.
void apply_auto_mode();

// Copies the glyph of slot `index` into the layout's image (clipped). Scene lock held.
void copy_glyph(TextLayout& layout, std::int32_t index);

} // namespace kestrune::text
