// The sound device: one OpenAL Soft device and context for the whole run, and voices
// (OpenAL sources) that play queues of stereo float buffers.
//
// Two outputs:
//  - with a window, the default output device, mixed by OpenAL's own thread;
//  - headless, the ALC_SOFT_loopback device, mixed by the engine: a mixer thread renders
//    exactly the frames of the engine time that passed (frames = ms x rate / 1000 since
//    time 0) and appends them to the --audio-out WAV when one was asked for. The first
//    frame of the WAV is engine time 0, so a sound started at engine time t is heard from
//    frame floor(t x rate / 1000).
// On a machine without an audio device the run is silent after one message; every voice
// call then does nothing and voices report that they do not play.
//
// Threading: any thread may call these functions. Changes that must land on an exact frame
// of the loopback output (play, stop, pause, gain, pitch) first render the output up to
// the current engine time (catch_up), so their effect starts at the frame of "now".
// Queues are filled by the sound streams' own threads, which look for played buffers
// every few milliseconds of engine time.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>

namespace kestrune::platform {

struct AudioOptions {
    bool loopback = false;  // headless: the engine renders the output
    std::string wav_output; // loopback only: where the output goes (empty: nowhere)
};

// Keeps OpenAL from probing the system's sound servers for a run that uses only the
// loopback device (it changes the environment: call before other threads start).
void prepare_loopback_audio();
// Opens the device once; later calls do nothing and return the first result. False when
// there is no device (the run goes on silent).
bool open_audio(const AudioOptions& options);
// Closes the device and finishes the WAV file.
void close_audio();
bool audio_available();
std::uint32_t audio_rate(); // output frames per second (0 without a device)

// Loopback: renders the output up to the current engine time. Nothing otherwise.
void audio_catch_up();

// The room reverbs, chorus and the like a voice may send to (EFX).
struct AudioEffect {
    enum class Kind { none, chorus, reverb } kind = Kind::none;
    // chorus
    float chorus_depth = 0, chorus_feedback = 0, chorus_delay = 0, chorus_rate = 1.3f;
    // reverb (EAX reverb parameters)
    float density = 1, diffusion = 1, gain = 0.32f, gain_hf = 0.89f, gain_lf = 1;
    float decay_time = 1.49f, decay_hf_ratio = 0.83f, decay_lf_ratio = 1;
    float reflections_gain = 0.05f, reflections_delay = 0.007f;
    float late_reverb_gain = 1.26f, late_reverb_delay = 0.011f;
    float air_absorption_gain_hf = 0.994f, hf_reference = 5000, lf_reference = 250;
    float room_rolloff = 0;
    bool decay_hf_limit = true;
    float wet = 1; // send gain 0..1
    float dry = 1; // direct gain 0..1
};

// One voice: an OpenAL source with its own queue of buffers.
class AudioVoice {
public:
    AudioVoice();
    ~AudioVoice();
    AudioVoice(const AudioVoice&) = delete;
    AudioVoice& operator=(const AudioVoice&) = delete;

    bool valid() const;
    // Queues interleaved stereo float frames at `rate` frames per second.
    bool queue(std::span<const float> stereo, std::uint32_t rate);
    // Unqueues the buffers that have played; returns how many.
    int reclaim();
    int queued() const;   // buffers in the queue (played or not)
    bool playing() const; // the source plays (not paused, stopped or starved)
    // Frames played of the queue, counted from its first buffer that was not reclaimed;
    // -1 once the voice stopped at the end of its queue.
    std::int64_t queue_offset() const;
    void play(); // from the start of the queue, or on from a pause
    void pause();
    void stop();               // stops and empties the queue
    void set_gain(float gain); // linear
    void set_pitch(float pitch);
    void set_dry_gain(float gain);
    // Sends the voice through an effect; Kind::none removes it. False when refused.
    bool set_effect(const AudioEffect& effect);

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

} // namespace kestrune::platform
