// Sound: background music, effects and voices played as streams through the platform's
// sound device. Scripts reach it through CreateSound, SetVolume, SetPan, SetFrequency,
// SetLoop, SetLoopPoint, SoundEffect, the requests Play, Stop, Pause, Resume,
// CompulsorySuspend and EntrustSuspend, WaitPlay, the built-in SoundAmplitude, the sound
// settings and the voices of the text display.
#pragma once

namespace kestrune::sound {

// Registers the commands, the built-in, the setting reactions, the text voice hooks and
// the device start-up with the engine frame.
void register_with_frame();

} // namespace kestrune::sound
