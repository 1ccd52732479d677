// Shared helpers of the sound files. Internal to sound/.
#pragma once

#include "sound/stream.h"

#include <string>

namespace kestrune::scene {
struct SceneObject;
}

namespace kestrune::sound {

// The stream of a sound object (null for other objects).
SoundStream* stream_of(scene::SceneObject& o);
// Adds the sound section to the records of saved scenes.
void register_sound_records();

// The master volume of a kind, 0..1: its volume setting / 1000 while its sound setting is
// on, else 0 (0.01 for every kind while express skipping mutes the sound).
double master_volume(Kind kind);
void refresh_master_volumes();
// Runs fn on every stream that exists (music, effects and text voices).
void for_each_stream(void (*fn)(SoundStream&));

// The number of a '#' or '$' variable (0 when missing); `found` tells whether it exists.
double variable_number(const std::string& name, bool* found = nullptr);
std::int32_t parse_int(const std::string& text);

} // namespace kestrune::sound
