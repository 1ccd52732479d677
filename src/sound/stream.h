// SoundStream: one playing sound with its own OpenAL voice, streaming thread and fades.
// Internal to sound/.
//
// Threading contract:
//  - Script threads call the control operations (play, stop, pause, resume, the setters);
//    each takes m_mutex for its own changes only, never across an engine wait.
//  - The streaming thread (sound/pump.h, one for all streams) refills the voice's queue of
//    short buffers. play(), stop() and the destructor take the stream off it first, so that
//    once they go on the thread no longer touches it.
//  - A fade runs on its own thread and sets its quantity every 50 ms; a new change of the
//    same quantity cancels it and joins it first.
#pragma once

#include "platform/audio.h"
#include "platform/clock.h"
#include "platform/sync.h"
#include "platform/thread.h"
#include "sound/decoders.h"
#include "sound/effects.h"
#include "sound/fade.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace kestrune::sound {

enum class Kind { bgm = 0, se = 1, voice = 2, silent = 3 };

// The kind of a kind name: the word alone or followed by a character that is not a letter.
bool parse_kind(std::string_view name, Kind& kind);

// The volume law: level = 3322 x log10(master x volume / 1000) hundredths of a decibel,
// at least -10000; the gain is 10^(level / 2000), exactly 0 at -10000.
double volume_gain(double master, std::int32_t volume);
// The pan law on the samples: the near side keeps 0 dB, the far side is lowered by
// |pan| / 100 dB (pan in hundredths of a decibel, positive to the right).
void pan_gains(std::int32_t pan, float& left, float& right);

enum class State : std::uint8_t { stopped = 0, ready = 2, playing = 17, paused = 19, held = 20 };

// What a save keeps of a stream: its state, the frame the listener had reached, its
// settings, its loops, the fades in progress and its effect.
struct SoundSnapshot {
    State state = State::ready;
    std::int32_t volume = 1000, pan = 0, hz = 0, loop_count = 0, plays = 1;
    bool suspend_mark = false;
    std::uint64_t position = 0, loop_start = 0, loop_end = 0; // frames
    std::array<std::optional<Fade::Snapshot>, 3> fades;       // volume, pan, frequency
    std::optional<EffectParams> effect;
};

class SoundStream {
public:
    static std::unique_ptr<SoundStream> create(Kind kind, const std::string& file,
                                               std::string& error);
    ~SoundStream(); // stops and joins every thread

    Kind kind() const { return m_kind; }
    const std::string& file_name() const { return m_file; }
    State state() const { return m_state.load(); }
    bool is_playing() const { return m_state.load() == State::playing; }
    bool active() const;
    std::int32_t duration_ms() const;
    std::int32_t remaining_ms() const;
    std::int32_t level() const { return m_level.load(); }

    bool play();
    void stop();
    void pause();
    void resume();
    void global_pause(); // 17 -> 20 for SE, VOICE and suspend-marked streams
    void global_resume();
    void set_suspend_mark(bool on) { m_suspend_mark = on; }

    // Value texts: "@" makes them relative; a '#'/'$' name takes the variable's number.
    void set_volume(const std::string& value, std::int32_t duration_ms, const std::string& easing);
    void set_pan(const std::string& value, std::int32_t duration_ms, const std::string& easing);
    void set_frequency(const std::string& value, std::int32_t duration_ms,
                       const std::string& easing);
    void set_loop(const std::string& value);
    void set_loop_point(std::int64_t start_ms, std::int64_t end_ms);
    // Moves the playing position to `ms` from the start of the data (clamped to it); a
    // playing or paused stream goes on from there.
    void seek(std::int64_t ms);

    std::uint64_t total_frames() const { return m_total; }
    SoundSnapshot snapshot() const;
    // Puts a saved state back on a stream just made by its creating statement: an active
    // stream plays on (a paused one stays paused) from the saved frame. The snapshot's
    // values must have been checked against their ranges; the position is clamped.
    void restore(const SoundSnapshot& saved);
    // The effect the stream was last given (kept so that a save can give it again).
    void remember_effect(const std::optional<EffectParams>& effect) { m_effect = effect; }

    // Master volume of the kind changed (or skip mode forced it): re-apply.
    void apply_master();
    bool set_effect(const platform::AudioEffect& effect);
    // The PCM echo: left and right delays in ms, feedback and wet mix in percent.
    void set_echo(std::int32_t left_ms, std::int32_t right_ms, std::int32_t feedback,
                  std::int32_t mix);

    // Fade targets: applied by the fade threads.
    void apply_volume(std::int32_t volume);
    void apply_pan(std::int32_t pan);
    void apply_frequency(std::int32_t hz);
    std::int32_t volume() const { return m_volume.load(); }
    std::int32_t pan() const { return m_pan.load(); }
    std::int32_t frequency_hz() const;

    // The streaming thread's turn (sound/pump.h): refills the queue, or notes that the sound
    // has played out. False when the stream no longer plays (the pump lets it go);
    // `data_ended` tells that its last data is queued.
    bool service(bool& data_ended);

private:
    SoundStream() = default;

    // Starts playing at data frame `pos` with the play counter at `plays` (m_mutex not
    // held); paused: queued and ready but silent until resume().
    void start_at(std::uint64_t pos, std::int32_t plays, bool paused);
    void queue_first_buffers();                        // m_mutex held; voice stopped
    bool queue_block(const std::vector<float>& block); // m_mutex held
    void reclaim_buffers();                            // m_mutex held
    void requeue_from_heard();                         // m_mutex not held
    void forget_queue();                               // m_mutex held; after m_voice->stop()
    // The data frame the listener hears now and the play counter of that pass; the second
    // form at a queue offset already read (-1: everything queued has been heard).
    std::uint64_t heard_position(std::int32_t& plays) const; // m_mutex held
    std::uint64_t heard_position_at(std::int64_t offset, std::int32_t& plays) const;
    // Winds the echo's delay lines back over the queued frames from queue offset `offset`
    // on, which the listener has not heard yet; false when they cannot be (m_mutex held).
    bool rewind_echo(std::int64_t offset);
    std::size_t fill(std::vector<float>& out, std::size_t frames); // m_mutex held
    void apply_gain();
    void apply_pitch();
    void process_echo(float* frames, std::size_t count); // m_mutex held

    Kind m_kind = Kind::se;
    std::string m_file;
    std::unique_ptr<Decoder> m_decoder;
    SoundFormat m_format;
    std::uint64_t m_total = 0; // frames
    std::unique_ptr<platform::AudioVoice> m_voice;

    std::atomic<State> m_state{State::ready};
    std::atomic<bool> m_suspend_mark{false};
    std::atomic<std::int32_t> m_volume{1000};
    std::atomic<std::int32_t> m_pan{0};
    std::atomic<std::int32_t> m_hz{0}; // 0: the file's own rate
    std::atomic<std::int32_t> m_level{0};
    std::atomic<double> m_master{1.0};

    mutable std::mutex m_mutex; // the decoder, positions and loops below
    std::uint64_t m_pos = 0;    // next frame to read
    std::int32_t m_loop_count = 0;
    std::int32_t m_plays = 1;
    std::uint64_t m_loop_start = 0, m_loop_end = 0; // frames; equal: no loop region
    bool m_data_ended = false;
    std::vector<std::int16_t> m_pcm;
    std::vector<float> m_block; // the stereo block being queued

    // Where each queued buffer's frames come from, so that the frame being heard is known
    // (loops make a buffer hold several runs of the data).
    struct Piece {
        std::uint32_t at = 0; // first frame in the buffer
        std::uint32_t count = 0;
        std::uint64_t frame = 0; // first data frame
        std::int32_t plays = 1;
    };
    struct QueuedBuffer {
        std::size_t frames = 0;
        std::vector<Piece> pieces;
    };
    static constexpr std::size_t k_ring = 16;
    std::array<QueuedBuffer, k_ring> m_ring;
    std::size_t m_ring_head = 0, m_ring_count = 0;
    std::vector<Piece> m_fill_pieces; // of the block fill() made last
    std::optional<EffectParams> m_effect;
    std::optional<std::uint64_t> m_seek_frame; // SetStream on a stream that does not play

    // Echo (a feedback delay per channel on the samples).
    bool m_echo = false;
    std::vector<float> m_echo_left, m_echo_right;
    std::size_t m_echo_pos_l = 0, m_echo_pos_r = 0;
    float m_echo_feedback = 0, m_echo_mix = 0;
    std::uint64_t m_echo_tail = 0; // frames of silence still to run through the echo
    // What each frame through the echo overwrote in the two delay lines (left, right
    // pairs, a ring as long as the queue can be, newest last): the lines can then be wound
    // back to the frame being heard when the queue is made again.
    std::vector<float> m_echo_undo;
    std::size_t m_echo_undo_head = 0, m_echo_undo_count = 0;

    platform::Tick m_silent_clock = 0; // without a device: when the data was last consumed

    std::array<std::unique_ptr<Fade>, 3> m_fades; // volume, pan, frequency
    friend class Fade;
};

// The voice level event: set when a voice stream plays a loud block.
platform::Event& voice_level_event();

} // namespace kestrune::sound
