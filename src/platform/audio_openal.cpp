// The sound device on OpenAL Soft: the default output with a window, the loopback device
// (rendered here, on engine time) headless.
#include "platform/audio.h"

#include "platform/clock.h"
#include "platform/sync.h"
#include "platform/thread.h"

#include <AL/al.h>
#include <AL/alc.h>
#include <AL/alext.h>
#include <AL/efx.h>
#include <cstdlib>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <vector>

namespace kestrune::platform {

namespace {

constexpr std::uint32_t k_rate = 44100;
// The sound streams' own thread renders up to now before each refill (audio_catch_up), so
// that the output moves on with the streams without another thread waking for it; the
// mixer renders what is left (silence, sounds that play out) every second of engine time.
// Changes that must land on an exact frame render up to their moment themselves.
constexpr std::uint32_t k_render_step_ms = 1000;
// Frames per alcRenderSamplesSOFT call: 20 ms, the span over which OpenAL smooths a change
// of gain, so that a change is complete 20 ms after its frame however far the mixer renders.
constexpr std::size_t k_render_chunk = k_rate / 50;

// The --audio-out file: a float stereo WAV whose sizes are written again as it grows, so
// that a run that ends abruptly still leaves a readable file.
class WavWriter {
public:
    bool open(const std::string& path) {
        m_file = std::fopen(path.c_str(), "wb");
        if (!m_file) return false;
        write_header();
        return true;
    }
    void append(const float* frames, std::size_t count) {
        if (!m_file) return;
        m_frames += std::fwrite(frames, sizeof(float) * 2, count, m_file);
        if (m_frames - m_frames_in_header >= k_rate) write_header();
    }
    void close() {
        if (!m_file) return;
        write_header();
        std::fclose(m_file);
        m_file = nullptr;
    }

private:
    static void put32(std::uint8_t* p, std::uint32_t v) {
        for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
    }
    // RIFF, a WAVE_FORMAT_IEEE_FLOAT "fmt " chunk with its (empty) extension, the "fact"
    // chunk that non-PCM data needs, then "data".
    static constexpr std::size_t k_header = 58;
    void write_header() {
        const std::uint32_t data_bytes =
            static_cast<std::uint32_t>(std::min<std::uint64_t>(m_frames * 8, 0xFFFFFFFFull - 128));
        std::uint8_t h[k_header] = {'R', 'I', 'F', 'F', 0,  0, 0, 0, 'W', 'A', 'V', 'E',
                                    'f', 'm', 't', ' ', 18, 0, 0, 0, 3,   0,   2,   0};
        put32(h + 4, static_cast<std::uint32_t>(k_header - 8) + data_bytes);
        put32(h + 24, k_rate);
        put32(h + 28, k_rate * 8);
        h[32] = 8;  // block alignment
        h[34] = 32; // bits per sample; the extension size after it stays 0
        std::memcpy(h + 38, "fact", 4);
        put32(h + 42, 4);
        put32(h + 46, data_bytes / 8);
        std::memcpy(h + 50, "data", 4);
        put32(h + 54, data_bytes);
        const long end = std::ftell(m_file);
        std::fseek(m_file, 0, SEEK_SET);
        std::fwrite(h, 1, sizeof h, m_file);
        if (end > 0) std::fseek(m_file, end, SEEK_SET);
        std::fflush(m_file);
        m_frames_in_header = m_frames;
    }
    std::FILE* m_file = nullptr;
    std::uint64_t m_frames = 0, m_frames_in_header = 0;
};

struct Device {
    bool tried = false;
    bool ok = false;
    bool loopback = false;
    bool efx = false;
    ALCdevice* device = nullptr;
    ALCcontext* context = nullptr;
    LPALCRENDERSAMPLESSOFT render = nullptr;
    std::mutex render_mutex; // held only while rendering, never across a wait
    std::uint64_t rendered = 0;
    std::vector<float> chunk;
    WavWriter wav;
    Thread mixer;
    Event mixer_stop{true, false};
};

Device& dev() {
    static Device d;
    return d;
}

// EFX entry points, looked up once the context exists.
struct Efx {
    LPALGENEFFECTS gen_effects = nullptr;
    LPALDELETEEFFECTS delete_effects = nullptr;
    LPALEFFECTI effecti = nullptr;
    LPALEFFECTF effectf = nullptr;
    LPALGENAUXILIARYEFFECTSLOTS gen_slots = nullptr;
    LPALDELETEAUXILIARYEFFECTSLOTS delete_slots = nullptr;
    LPALAUXILIARYEFFECTSLOTI sloti = nullptr;
    LPALAUXILIARYEFFECTSLOTF slotf = nullptr;
    LPALGENFILTERS gen_filters = nullptr;
    LPALDELETEFILTERS delete_filters = nullptr;
    LPALFILTERI filteri = nullptr;
    LPALFILTERF filterf = nullptr;
} g_efx;

template <typename T> void load_proc(T& fn, const char* name) {
    fn = reinterpret_cast<T>(alGetProcAddress(name));
}

std::uint64_t frames_due() {
    return static_cast<std::uint64_t>(tick_ms()) * k_rate / 1000;
}

void render_until_now(Device& d) {
    const std::uint64_t due = frames_due();
    while (d.rendered < due) {
        const std::size_t n =
            static_cast<std::size_t>(std::min<std::uint64_t>(due - d.rendered, k_render_chunk));
        d.render(d.device, d.chunk.data(), static_cast<ALCsizei>(n));
        d.wav.append(d.chunk.data(), n);
        d.rendered += n;
    }
}

void mixer_body() {
    Device& d = dev();
    while (!d.mixer_stop.wait(k_render_step_ms)) {
        if (stop_requested()) break;
        std::lock_guard guard(d.render_mutex);
        render_until_now(d);
    }
}

} // namespace

// The loopback device plays nothing itself: OpenAL need not probe the system's sound
// servers (PulseAudio starts threads of its own in this process) unless the user chose.
// With the variable already set this changes nothing.
void prepare_loopback_audio() {
    ::setenv("ALSOFT_DRIVERS", "null", 0);
}

namespace {

bool open_loopback(Device& d, const AudioOptions& options) {
    prepare_loopback_audio();
    auto open_fn = reinterpret_cast<LPALCLOOPBACKOPENDEVICESOFT>(
        alcGetProcAddress(nullptr, "alcLoopbackOpenDeviceSOFT"));
    auto supported = reinterpret_cast<LPALCISRENDERFORMATSUPPORTEDSOFT>(
        alcGetProcAddress(nullptr, "alcIsRenderFormatSupportedSOFT"));
    d.render = reinterpret_cast<LPALCRENDERSAMPLESSOFT>(
        alcGetProcAddress(nullptr, "alcRenderSamplesSOFT"));
    if (!open_fn || !supported || !d.render) return false;
    d.device = open_fn(nullptr);
    if (!d.device) return false;
    if (!supported(d.device, k_rate, ALC_STEREO_SOFT, ALC_FLOAT_SOFT)) return false;
    const ALCint attrs[] = {ALC_FORMAT_CHANNELS_SOFT,
                            ALC_STEREO_SOFT,
                            ALC_FORMAT_TYPE_SOFT,
                            ALC_FLOAT_SOFT,
                            ALC_FREQUENCY,
                            static_cast<ALCint>(k_rate),
                            ALC_HRTF_SOFT,
                            ALC_FALSE,
                            ALC_OUTPUT_LIMITER_SOFT,
                            ALC_FALSE,
                            ALC_MAX_AUXILIARY_SENDS,
                            1,
                            0};
    d.context = alcCreateContext(d.device, attrs);
    if (!d.context) return false;
    d.chunk.assign(k_render_chunk * 2, 0.0f);
    if (!options.wav_output.empty() && !d.wav.open(options.wav_output))
        std::fprintf(stderr, "kestrune: cannot write the sound output to %s\n",
                     options.wav_output.c_str());
    return true;
}

bool open_default(Device& d) {
    d.device = alcOpenDevice(nullptr);
    if (!d.device) return false;
    const ALCint attrs[] = {ALC_MAX_AUXILIARY_SENDS, 1, 0};
    d.context = alcCreateContext(d.device, attrs);
    return d.context != nullptr;
}

void release_device(Device& d) {
    if (d.context) {
        alcMakeContextCurrent(nullptr);
        alcDestroyContext(d.context);
        d.context = nullptr;
    }
    if (d.device) {
        alcCloseDevice(d.device);
        d.device = nullptr;
    }
}

} // namespace

bool open_audio(const AudioOptions& options) {
    Device& d = dev();
    if (d.tried) return d.ok;
    d.tried = true;
    d.loopback = options.loopback;
    const bool opened = d.loopback ? open_loopback(d, options) : open_default(d);
    if (!opened || !alcMakeContextCurrent(d.context)) {
        release_device(d);
        std::fprintf(stderr, "kestrune: no sound device could be opened; the game runs silent\n");
        return false;
    }
    d.ok = true;
    if (alcIsExtensionPresent(d.device, "ALC_EXT_EFX")) {
        load_proc(g_efx.gen_effects, "alGenEffects");
        load_proc(g_efx.delete_effects, "alDeleteEffects");
        load_proc(g_efx.effecti, "alEffecti");
        load_proc(g_efx.effectf, "alEffectf");
        load_proc(g_efx.gen_slots, "alGenAuxiliaryEffectSlots");
        load_proc(g_efx.delete_slots, "alDeleteAuxiliaryEffectSlots");
        load_proc(g_efx.sloti, "alAuxiliaryEffectSloti");
        load_proc(g_efx.slotf, "alAuxiliaryEffectSlotf");
        load_proc(g_efx.gen_filters, "alGenFilters");
        load_proc(g_efx.delete_filters, "alDeleteFilters");
        load_proc(g_efx.filteri, "alFilteri");
        load_proc(g_efx.filterf, "alFilterf");
        d.efx = g_efx.gen_effects && g_efx.gen_slots && g_efx.gen_filters && g_efx.slotf;
    }
    if (d.loopback) {
        {
            // The output starts at engine time 0: what passed before the device opened is
            // silence.
            std::lock_guard guard(d.render_mutex);
            render_until_now(d);
        }
        d.mixer_stop.reset();
        d.mixer.start(mixer_body);
    }
    return true;
}

void close_audio() {
    Device& d = dev();
    if (!d.ok) return;
    if (d.mixer.valid()) {
        d.mixer_stop.signal();
        d.mixer.request_stop();
        d.mixer.join_for(k_infinite);
        d.mixer.detach(); // joined: this only lets go of its state
    }
    {
        std::lock_guard guard(d.render_mutex);
        if (d.loopback) render_until_now(d);
        d.wav.close();
    }
    release_device(d);
    d.ok = false;
}

bool audio_available() {
    return dev().ok;
}

std::uint32_t audio_rate() {
    return dev().ok ? k_rate : 0;
}

void audio_catch_up() {
    Device& d = dev();
    if (!d.ok || !d.loopback) return;
    std::lock_guard guard(d.render_mutex);
    render_until_now(d);
}

// ---- voices -----------------------------------------------------------------------------------

struct AudioVoice::Impl {
    ALuint source = 0;
    // The buffer lists and the queue: a movie's voice is fed by its decoder thread while
    // the script's thread seeks, pauses or stops it.
    std::mutex mutex;
    std::vector<ALuint> free_buffers;
    std::vector<ALuint> all_buffers;
    ALuint slot = 0, effect = 0, filter = 0;
};

AudioVoice::AudioVoice() : m_impl(std::make_unique<Impl>()) {
    if (!dev().ok) return;
    alGetError();
    alGenSources(1, &m_impl->source);
    if (alGetError() != AL_NO_ERROR) {
        m_impl->source = 0;
        return;
    }
    const ALuint s = m_impl->source;
    // Channels go straight to the speakers: pan is applied to the samples by the stream,
    // with its own law, and no distance model touches the level.
    alSourcei(s, AL_DIRECT_CHANNELS_SOFT, AL_TRUE);
    alSourcei(s, AL_SOURCE_RELATIVE, AL_TRUE);
    alSource3f(s, AL_POSITION, 0, 0, 0);
    alSourcef(s, AL_ROLLOFF_FACTOR, 0);
}

AudioVoice::~AudioVoice() {
    if (!m_impl->source) return;
    {
        std::lock_guard guard(dev().render_mutex);
        alSourceStop(m_impl->source);
        alSourcei(m_impl->source, AL_BUFFER, 0);
        alDeleteSources(1, &m_impl->source);
    }
    if (!m_impl->all_buffers.empty())
        alDeleteBuffers(static_cast<ALsizei>(m_impl->all_buffers.size()),
                        m_impl->all_buffers.data());
    if (m_impl->slot) g_efx.delete_slots(1, &m_impl->slot);
    if (m_impl->effect) g_efx.delete_effects(1, &m_impl->effect);
    if (m_impl->filter) g_efx.delete_filters(1, &m_impl->filter);
}

bool AudioVoice::valid() const {
    return m_impl->source != 0;
}

bool AudioVoice::queue(std::span<const float> stereo, std::uint32_t rate) {
    if (!m_impl->source || stereo.size() < 2) return false;
    std::lock_guard guard(m_impl->mutex);
    ALuint buffer = 0;
    if (!m_impl->free_buffers.empty()) {
        buffer = m_impl->free_buffers.back();
        m_impl->free_buffers.pop_back();
    } else {
        alGenBuffers(1, &buffer);
        if (alGetError() != AL_NO_ERROR) return false;
        m_impl->all_buffers.push_back(buffer);
    }
    const std::size_t frames = stereo.size() / 2;
    alBufferData(buffer, AL_FORMAT_STEREO_FLOAT32, stereo.data(),
                 static_cast<ALsizei>(frames * 2 * sizeof(float)), static_cast<ALsizei>(rate));
    alSourceQueueBuffers(m_impl->source, 1, &buffer);
    if (alGetError() != AL_NO_ERROR) {
        m_impl->free_buffers.push_back(buffer);
        return false;
    }
    return true;
}

int AudioVoice::reclaim() {
    if (!m_impl->source) return 0;
    std::lock_guard guard(m_impl->mutex);
    ALint processed = 0;
    alGetSourcei(m_impl->source, AL_BUFFERS_PROCESSED, &processed);
    for (ALint i = 0; i < processed; ++i) {
        ALuint b = 0;
        alSourceUnqueueBuffers(m_impl->source, 1, &b);
        m_impl->free_buffers.push_back(b);
    }
    return processed;
}

int AudioVoice::queued() const {
    if (!m_impl->source) return 0;
    ALint n = 0;
    alGetSourcei(m_impl->source, AL_BUFFERS_QUEUED, &n);
    return n;
}

bool AudioVoice::playing() const {
    if (!m_impl->source) return false;
    ALint state = 0;
    alGetSourcei(m_impl->source, AL_SOURCE_STATE, &state);
    return state == AL_PLAYING;
}

std::int64_t AudioVoice::queue_offset() const {
    if (!m_impl->source) return -1;
    // Rendered up to now and read under the render lock, so that the state and the offset
    // are those of this moment of engine time.
    Device& d = dev();
    std::lock_guard guard(d.render_mutex);
    if (d.loopback) render_until_now(d);
    ALint state = 0, offset = 0;
    alGetSourcei(m_impl->source, AL_SOURCE_STATE, &state);
    if (state == AL_STOPPED) return -1;
    alGetSourcei(m_impl->source, AL_SAMPLE_OFFSET, &offset);
    return offset;
}

void AudioVoice::play() {
    if (!m_impl->source) return;
    audio_catch_up();
    alSourcePlay(m_impl->source);
}

void AudioVoice::pause() {
    if (!m_impl->source) return;
    audio_catch_up();
    alSourcePause(m_impl->source);
}

void AudioVoice::stop() {
    if (!m_impl->source) return;
    audio_catch_up();
    std::lock_guard guard(m_impl->mutex);
    // Rewound rather than stopped: the voice is then "initial", so that a voice that stopped
    // at the end of its queue stays told apart from one that was never started.
    alSourceRewind(m_impl->source);
    alSourcei(m_impl->source, AL_BUFFER, 0);
    m_impl->free_buffers = m_impl->all_buffers;
}

void AudioVoice::set_gain(float gain) {
    if (!m_impl->source) return;
    audio_catch_up();
    alSourcef(m_impl->source, AL_GAIN, std::max(0.0f, gain));
}

void AudioVoice::set_pitch(float pitch) {
    if (!m_impl->source) return;
    audio_catch_up();
    alSourcef(m_impl->source, AL_PITCH, std::max(0.0001f, pitch));
}

void AudioVoice::set_dry_gain(float gain) {
    if (!m_impl->source || !dev().efx) return;
    if (!m_impl->filter) {
        g_efx.gen_filters(1, &m_impl->filter);
        g_efx.filteri(m_impl->filter, AL_FILTER_TYPE, AL_FILTER_LOWPASS);
    }
    g_efx.filterf(m_impl->filter, AL_LOWPASS_GAIN, std::clamp(gain, 0.0f, 1.0f));
    g_efx.filterf(m_impl->filter, AL_LOWPASS_GAINHF, 1.0f);
    alSourcei(m_impl->source, AL_DIRECT_FILTER, static_cast<ALint>(m_impl->filter));
}

bool AudioVoice::set_effect(const AudioEffect& e) {
    if (!m_impl->source) return false;
    if (e.kind == AudioEffect::Kind::none) {
        alSource3i(m_impl->source, AL_AUXILIARY_SEND_FILTER, AL_EFFECTSLOT_NULL, 0, AL_FILTER_NULL);
        alSourcei(m_impl->source, AL_DIRECT_FILTER, AL_FILTER_NULL);
        return true;
    }
    if (!dev().efx) return false;
    alGetError();
    if (!m_impl->effect) g_efx.gen_effects(1, &m_impl->effect);
    if (!m_impl->slot) g_efx.gen_slots(1, &m_impl->slot);
    const ALuint fx = m_impl->effect;
    if (e.kind == AudioEffect::Kind::chorus) {
        g_efx.effecti(fx, AL_EFFECT_TYPE, AL_EFFECT_CHORUS);
        g_efx.effecti(fx, AL_CHORUS_WAVEFORM, AL_CHORUS_WAVEFORM_SINUSOID);
        g_efx.effecti(fx, AL_CHORUS_PHASE, 90);
        g_efx.effectf(fx, AL_CHORUS_RATE, e.chorus_rate);
        g_efx.effectf(fx, AL_CHORUS_DEPTH, e.chorus_depth);
        g_efx.effectf(fx, AL_CHORUS_FEEDBACK, e.chorus_feedback);
        g_efx.effectf(fx, AL_CHORUS_DELAY, e.chorus_delay);
    } else {
        g_efx.effecti(fx, AL_EFFECT_TYPE, AL_EFFECT_EAXREVERB);
        g_efx.effectf(fx, AL_EAXREVERB_DENSITY, e.density);
        g_efx.effectf(fx, AL_EAXREVERB_DIFFUSION, e.diffusion);
        g_efx.effectf(fx, AL_EAXREVERB_GAIN, e.gain);
        g_efx.effectf(fx, AL_EAXREVERB_GAINHF, e.gain_hf);
        g_efx.effectf(fx, AL_EAXREVERB_GAINLF, e.gain_lf);
        g_efx.effectf(fx, AL_EAXREVERB_DECAY_TIME, e.decay_time);
        g_efx.effectf(fx, AL_EAXREVERB_DECAY_HFRATIO, e.decay_hf_ratio);
        g_efx.effectf(fx, AL_EAXREVERB_DECAY_LFRATIO, e.decay_lf_ratio);
        g_efx.effectf(fx, AL_EAXREVERB_REFLECTIONS_GAIN, e.reflections_gain);
        g_efx.effectf(fx, AL_EAXREVERB_REFLECTIONS_DELAY, e.reflections_delay);
        g_efx.effectf(fx, AL_EAXREVERB_LATE_REVERB_GAIN, e.late_reverb_gain);
        g_efx.effectf(fx, AL_EAXREVERB_LATE_REVERB_DELAY, e.late_reverb_delay);
        g_efx.effectf(fx, AL_EAXREVERB_AIR_ABSORPTION_GAINHF, e.air_absorption_gain_hf);
        g_efx.effectf(fx, AL_EAXREVERB_HFREFERENCE, e.hf_reference);
        g_efx.effectf(fx, AL_EAXREVERB_LFREFERENCE, e.lf_reference);
        g_efx.effectf(fx, AL_EAXREVERB_ROOM_ROLLOFF_FACTOR, e.room_rolloff);
        g_efx.effecti(fx, AL_EAXREVERB_DECAY_HFLIMIT, e.decay_hf_limit ? AL_TRUE : AL_FALSE);
    }
    if (alGetError() != AL_NO_ERROR) return false;
    g_efx.sloti(m_impl->slot, AL_EFFECTSLOT_EFFECT, static_cast<ALint>(fx));
    alSource3i(m_impl->source, AL_AUXILIARY_SEND_FILTER, static_cast<ALint>(m_impl->slot), 0,
               AL_FILTER_NULL);
    // Wet and dry: the slot's gain is the send level, a gain-only filter the direct one.
    g_efx.slotf(m_impl->slot, AL_EFFECTSLOT_GAIN, std::clamp(e.wet, 0.0f, 1.0f));
    set_dry_gain(e.dry);
    return alGetError() == AL_NO_ERROR;
}

} // namespace kestrune::platform
