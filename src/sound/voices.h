// The voices of the text display: the loader of VOICE tags and the display hooks that start,
// measure and stop them. Internal to sound/.
#pragma once

namespace kestrune::sound {

void register_voice_hooks();
// Stops the text voice that plays (the scripts stop or restart).
void stop_text_voice();

} // namespace kestrune::sound
