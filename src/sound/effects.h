// Chorus, echo and room reverbs of BGM and SE streams. Internal to sound/.
#pragma once

#include <cstdint>
#include <string>

namespace kestrune::sound {

class SoundStream;

// What SoundEffect hands over: the effect or preset name and its parameters.
struct EffectParams {
    std::string name;
    std::int32_t mix = 0, feedback = 0, left_delay = 0, right_delay = 0, depth = 0, delay = 0;
};

// Stops the stream and gives it the named effect ("Chorus", "Echo", "WavesReverb", or a
// room preset name; an unknown name is the DEFAULT room). False with `why` when the
// stream cannot take it (a VOICE stream, a parameter out of range): the stream then stays
// stopped without effect.
bool apply_sound_effect(SoundStream& stream, const EffectParams& params, std::string& why);

} // namespace kestrune::sound
