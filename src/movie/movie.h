// Movies: movie textures that stand in the scene like images (CreateMovie, CreateMask
// with a movie source), their requests Play, Stop, Pause and Resume, SetStream (seek),
// SetLoop, SetLoopPoint and SetVolume on movie objects, and full-window playback
// (MoviePlay) with the settings movie_audio_volume and break_play_movie.
#pragma once

namespace kestrune::movie {

// Registers the commands, the movie-frame operation, the mask source and the global pause
// with the engine frame. Call after the sound subsystem (its commands are extended).
void register_with_frame();

} // namespace kestrune::movie
