// Named image effects (internal to scene/): the record every effect begins with, the
// table of effect kinds and what the framework offers the kinds.
//
// An effect lives on one scene object (SceneObject::effect, its name in effect_name). It
// is made by CreateEffect (filters, lens, particles: a canvas of the object's size) or by
// DrawEffect (distortions of the object's own drawable). All of it runs under the scene
// lock: construction on a script thread, the step and the render on the render thread.
#pragma once

#include "scene/actions_internal.h"

#include <memory>
#include <string>
#include <string_view>

namespace kestrune::storage {
class SaveReader;
class SaveWriter;
} // namespace kestrune::storage

namespace kestrune::scene::effects {

struct EffectKind;

// What the creating command passed.
struct EffectArgs {
    std::int32_t width = 0, height = 0; // CreateEffect
    std::int32_t time_ms = 0;           // DrawEffect
    std::int32_t from = 0, to = 0;      // strengths in thousandths
    std::string tempo;
};

// The fields every effect shares: the strengths and the easing from one to the other in
// the kind's own unit (block size, amplitude, ...).
struct EffectRecord : EffectData {
    const EffectKind* kind = nullptr;
    EffectArgs args; // as the effect was made (a load makes it again from them)
    ActionCore core; // time, tempo, steps, progress; tables[0] eases over |to - from|
    std::int32_t from = 0, to = 0;
    double from_unit = 0, to_unit = 0;
    double value = 0;      // the current strength in the kind's unit
    bool finished = false; // the step count was reached: value is to_unit
    bool capture = true;   // Plain copies the frame beneath while set ("Passive" clears it)
};

// Results of a kind's step beyond "changed" (positive) and "nothing" (0).
inline constexpr int k_step_keep = -6;    // nothing changed, but keep stepping
inline constexpr int k_step_release = -7; // the effect is over: release it

struct EffectKind {
    const char* name;
    bool own_canvas; // made by CreateEffect on an object without a drawable
    bool by_draw;    // may be started by DrawEffect on an object with a drawable
    // Builds the record (null: nothing constructed, the object as it was).
    std::unique_ptr<EffectRecord> (*construct)(SceneObject& o, const EffectArgs& a);
    // Once per render cycle: positive when something changed, 0 to stop stepping,
    // k_step_keep to go on, k_step_release to end the effect.
    int (*step)(SceneObject& o, EffectRecord& r);
    // Puts back what the effect changed on the object (the record is freed after).
    void (*release)(SceneObject& o, EffectRecord& r);
    // The kind's own running state in a save (null: the shared fields say all). The reader
    // is bounded to the section; it must check every value and may refuse the object.
    void (*write_state)(const SceneObject& o, const EffectRecord& r, storage::SaveWriter& w);
    bool (*read_state)(SceneObject& o, EffectRecord& r, storage::SaveReader& in);
};

// Constructs the named effect on the object (releasing one that runs); false when the
// name is unknown or the kind refused the object or the arguments.
bool construct_effect(SceneObject& o, std::string_view name, const EffectArgs& a);
// The kind of that name, or null.
const EffectKind* find_kind(std::string_view name);

// Bench support: with `on`, time-driven work (the travel of waves and ripples, particle
// updates) is done on every step instead of at most every 32 or 42 ms.
void set_every_step_due(bool on);
bool every_step_due();

// Sets the record's strengths and easing: the unit values are what from and to become in
// the kind's unit. False when a strength is negative or above 1000.
bool start_strength(EffectRecord& r, const EffectArgs& a, double from_unit, double to_unit);
// Moves the strength one step along its easing; true when the value changed.
bool advance_strength(SceneObject& o, EffectRecord& r);

// A variable's number, or `fallback` when it does not exist.
double number_or(std::string_view variable, double fallback);

// A canvas drawable (owned, cleared to transparent) of w x h at the object's position.
bool attach_canvas(SceneObject& o, std::int32_t w, std::int32_t h);
// Milliseconds of engine time since the object's previous render cycle, times the speed
// factor, in frames of the frame interval: how far a particle advances per unit of speed.
double frames_since_last_cycle(const SceneObject& o);

// Kinds by file.
const EffectKind* filter_kinds(); // terminated by a null name
const EffectKind* distortion_kinds();
const EffectKind* piece_kinds();
const EffectKind* particle_kinds();

// Filter kernels (shared with SetTone): the tone key of a filter name's word key.
enum class Tone { plain, nega_posi, monochrome, sepia, delumo_blue };
// Transforms n BGRA pixels from src into dst (may be the same). With `opaque` the alpha
// becomes 255 (a copy of the frame, whose alpha means nothing), else it is kept.
void tone_row(Tone tone, const std::uint8_t* src, std::uint8_t* dst, std::int32_t n, bool opaque);

} // namespace kestrune::scene::effects

namespace kestrune::scene::detail {
// Hooks the rest of the scene calls (effects.cpp).
int step_effect(SceneObject& o);          // update step, after the actions
void effect_after_update(SceneObject& o); // second pass of the update step
void release_effect(SceneObject& o);      // puts the object back as it was without its effect
int passive_request(SceneObject& o);      // the "Passive" request word
void register_effect_commands();
void register_effect_records(); // the effect's section of a saved scene object
} // namespace kestrune::scene::detail
