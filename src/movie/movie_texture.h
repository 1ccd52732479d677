// MovieTexture: one movie decoded into a PixelImage that the scene draws like any image.
// Internal to movie/.
//
// Threading contract:
//  - Each movie has its own decoder thread (a platform::Thread, so that it takes part in
//    stepped time). It alone touches the decoder; it decodes a few frames ahead into a
//    queue and feeds the movie's sound voice.
//  - The render thread calls pump() once per cycle with the cycle's time (scene lock
//    held); it picks the frame due at that time and converts it straight into the image.
//    In stepped time it waits until the decoder has decoded far enough to know which frame
//    is due, so the frame shown at engine time t is always the same one.
//  - Script threads call the controls (play, stop, pause, resume, seek, loop, volume).
//    m_mutex guards only the hand-off (queue, clock, requests) and is never held across a
//    wait or a decode; a seek or stop is posted to the decoder thread, never done under
//    anybody's lock, so no control can deadlock with the render thread.
//  - The destructor stops the decoder thread and waits for it to end (never kills it),
//    whatever the movie's state, then drops the queued frames and the image's link.
#pragma once

#include "platform/audio.h"
#include "platform/clock.h"
#include "platform/movie_decoder.h"
#include "platform/sync.h"
#include "platform/thread.h"
#include "storage/pixel_image.h"

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>

namespace kestrune::movie {

// Image kinds of movie frames (the alpha bit marks a movie with a mask half).
inline constexpr std::int32_t k_kind_movie = 22;
inline constexpr std::int32_t k_kind_movie_alpha = 22 | k_kind_alpha_bit;

enum class MovieState : std::int32_t { stopped = 0, playing = 1, paused = 256, held = 4096 };

struct MovieOptions {
    bool loop = false;
    bool alpha = false;         // the lower half of each frame is the mask
    std::int32_t volume = 1000; // clamped to 0 .. 1000
    // Size of the image; 0 takes the frame's (height halved with alpha).
    std::int32_t width = 0, height = 0;
};

// The file name a script gives: "file:NAME" as it is, any other with the resource path
// prefix in front.
std::string movie_resource_name(const std::string& name);

class MovieTexture {
public:
    // Opens the movie, starts its decoder thread and puts its first frame in the image.
    // Null with `error` set when the file is missing or is no movie that can be played.
    static std::unique_ptr<MovieTexture> open(const std::string& name, const MovieOptions& options,
                                              std::string& error);
    ~MovieTexture();
    MovieTexture(const MovieTexture&) = delete;
    MovieTexture& operator=(const MovieTexture&) = delete;

    const std::shared_ptr<PixelImage>& image() const { return m_image; }
    const std::string& name() const { return m_name; }

    // Render thread: brings the image to the frame due at `now`. True when it changed.
    bool pump(platform::Tick now);

    void play();   // from the start
    void stop();   // keeps the frame shown; the next play starts from the start
    void pause();  // from playing
    void resume(); // from paused or held
    void hold();   // the engine's global pause: from playing
    void seek(std::int64_t ms);
    void set_loop(bool loop);
    void set_loop_position(std::int64_t ms);
    void set_volume(std::int32_t volume);
    // The movie volume setting of the whole game changed (0 .. 1000).
    void set_master(double master);

    MovieState state() const;
    bool running() const { return state() == MovieState::playing; }
    std::int32_t volume() const { return m_volume.load(); }
    std::int64_t duration_ms() const { return m_duration_ms; }
    std::int64_t position_ms() const;
    // Where the play clock stands now (what a save keeps), the loop flag and position.
    std::int64_t clock_ms() const;
    bool loop() const;
    std::int64_t loop_position() const;
    // Signalled when the movie stops at its end or by stop().
    platform::Event& stopped_event() { return m_stopped; }

private:
    MovieTexture() = default;
    struct QueuedFrame {
        std::uint64_t serial = 0;
        std::int64_t timeline = 0; // ms on the play clock
        std::int64_t pts = 0;      // ms in the movie
        std::unique_ptr<platform::VideoFrame> frame;
    };
    void decode_body();
    void feed_audio(platform::DecodedItem& item, std::int64_t skip_until);
    void tend_voice();
    void post_seek_locked(std::int64_t ms, platform::Tick now); // m_mutex held
    std::int64_t clock_locked(platform::Tick now) const;        // m_mutex held
    void apply_gain();
    bool convert(const platform::VideoFrame& frame);
    void report(const std::string& problem);

    std::string m_name;
    MovieOptions m_options;
    std::shared_ptr<PixelImage> m_image;
    std::unique_ptr<platform::MovieDecoder> m_decoder; // the decoder thread's
    platform::FrameConverter m_converter;              // the pumping thread's
    std::unique_ptr<platform::AudioVoice> m_voice;
    std::uint32_t m_audio_rate = 0;
    std::int64_t m_duration_ms = 0;
    std::atomic<std::int32_t> m_volume{1000};
    std::atomic<double> m_master{1.0};
    std::atomic<bool> m_reported{false};

    mutable std::mutex m_mutex; // everything below up to the events
    MovieState m_state = MovieState::playing;
    std::uint64_t m_serial = 0; // counts seeks: frames of an older one are dropped
    platform::Tick m_anchor_tick = 0;
    std::int64_t m_anchor_timeline = 0;
    std::deque<QueuedFrame> m_queue;
    bool m_end_known = false;
    std::int64_t m_end_timeline = 0;
    bool m_seek_pending = false;
    std::int64_t m_seek_to = 0;
    bool m_loop = false;
    std::int64_t m_loop_position = 0;
    std::int64_t m_shown_pts = 0;

    platform::Event m_wake{false, false};  // the decoder thread: room, request or stop
    platform::Event m_ready{false, false}; // the pump: a frame came or the end is known
    platform::Event m_stopped{true, false};
    std::atomic<bool> m_quit{false};
    platform::Thread m_thread;
};

} // namespace kestrune::movie
