// The message display: the per-frame reveal step of text objects. It copies the laid-out
// glyphs into the object's layers a few at a time at the text speed, obeys the pauses, key
// waits, voices and script blocks of the layout, shows the line, page and auto icons while
// it waits, and honours skip mode (everything at once, key waits pass), auto mode (a key
// wait becomes a pause of a fixed time per character shown) and the hidden message window.
//
// Threading: the reveal step and the requests run under the scene lock (the render thread
// for the step, the script thread for requests). The mode switches may be called from any
// thread; they take the scene lock themselves where they need it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace kestrune::scene {
struct SceneObject;
}

namespace kestrune::text {

struct TextLayout;
struct VoiceRecord;

// Reveal step of a text object: 1 it progressed (or has nothing to do now), -4 it waits
// (pause, key wait, voice, script block, text speed), 0 every slot of the layout has been
// shown.
int reveal_step(scene::SceneObject& object);

// A restored text object: shows its slots from the reveal cursor up to `cursor` as the
// reveal did before the save, without starting the voices, script blocks and waits on the
// way and without adding the characters to the backlog again. Stops after 2048 slots or
// when the cursor no longer moves. Scene lock held.
void replay_text(scene::SceneObject& object, std::int32_t cursor);
// Registers the saved-scene section of text objects (once, at start).
void register_text_records();

// The requests "Erase" (hide, stop revealing) and "Enter" (show, reveal from now on) of a
// text object. Return 1. Scene lock held.
int erase_text_object(scene::SceneObject& object);
int enter_text_object(scene::SceneObject& object);

// Registers the reveal step as the text objects' per-frame operation, the display's input
// hooks and the SetFont command. Call once at start.
void register_display();

// The settings the display follows (`text_auto`, `text_auto_lock`, `text_erase`,
// `text_erase_lock`, `skip`, `skip_lock`, `menu_lock`, `last_text`). Call at every script
// start, after the variable store is ready.
void watch_display_settings();

// Auto mode takes the value of "$SYSTEM_text_auto" (nothing happens when it does not
// exist); `text_auto_lock` keeps it off and resets the variable. The auto icon shows while
// it is on. Signals the attention event.
void apply_auto_mode();
// Hides or shows the message window for the reader (it stays shown while `text_erase_lock`
// is set; engine::text_window_hidden() tells its state).
// Hiding or showing it ends auto mode; "$SYSTEM_text_erase" follows it.
void set_message_window_hidden(bool hidden);

// Offers a press (Enter, a click, the wheel towards the reader) to the text objects that
// are revealing: each takes it by showing the rest of its page at once. True when one
// took it. Takes the scene lock.
bool offer_press_to_text();

// The last-text record behind "$SYSTEM_last_text": the text of the page being shown, at
// most 504 bytes. Filled a character at a time (a two-byte character as its two bytes).
void set_last_text(std::string_view text);
std::string last_text();

// What the display needs from the sound subsystem and the backlog; null entries mean the
// part is not there (voices are then skipped and the timing without voice applies).
struct DisplayHooks {
    // Starts a text voice when the voice settings allow its character; true when it plays.
    bool (*start_voice)(VoiceRecord& voice) = nullptr;
    // Length of a voice in milliseconds (0 when unknown).
    std::int32_t (*voice_length_ms)(const VoiceRecord& voice) = nullptr;
    // Whether the text voice started last still plays, and stopping it.
    bool (*voice_playing)() = nullptr;
    void (*stop_voice)() = nullptr;
    // The backlog: a character code (10 ends a line), or with code 0 a voice marker.
    int (*backlog_add)(std::int32_t code, const VoiceRecord* voice) = nullptr;
    // Plays a voice made by the voice loader from its start (the backlog's replay); false
    // when it does not play.
    bool (*replay_voice)(const std::shared_ptr<void>& sound) = nullptr;
};
DisplayHooks& display_hooks();

// Milliseconds per character that voice sync gives a page of `characters` characters and
// a voice of `voice_ms`: the voice less 200 ms (when longer than that) spread over the
// characters; 0 (no pacing) for a page without characters or a voice of unknown length.
std::int32_t voice_sync_interval(std::int32_t voice_ms, std::int32_t characters);

} // namespace kestrune::text
