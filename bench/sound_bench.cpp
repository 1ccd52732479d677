// CPU per second of audio for eight streams (music, effects, voices with pan, one with an
// echo) through the engine's streams and the loopback device, beside bare OpenAL Soft
// playing the same eight buffers through its own loopback device; and Ogg Vorbis decoding
// through our callbacks beside bare libvorbisfile on the same file.
//
// Counter "cpu_ms_per_audio_s": process CPU milliseconds spent per second of audio.
#include <benchmark/benchmark.h>

#include <AL/al.h>
#include <AL/alc.h>
#include <AL/alext.h>
#include <AL/efx.h>
#include <vorbis/vorbisfile.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/audio.h"
#include "platform/clock.h"
#include "sound/stream.h"

namespace {

using namespace kestrune;

constexpr std::uint32_t k_rate = 44100;
constexpr double k_scale = 10.0; // engine time runs 10 times faster than real time
constexpr int k_streams = 8;

std::string folder() {
    static const std::string dir = [] {
        auto d = std::filesystem::temp_directory_path() / "kestrune_sound_bench";
        std::filesystem::create_directories(d);
        return d.string();
    }();
    return dir;
}

void put(std::ofstream& f, std::uint32_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) f.put(static_cast<char>((v >> (8 * i)) & 0xFF));
}

std::vector<std::int16_t> tone(int channels, double hz, double seconds) {
    const std::size_t frames = static_cast<std::size_t>(k_rate * seconds);
    std::vector<std::int16_t> s(frames * channels);
    for (std::size_t i = 0; i < frames; ++i)
        for (int c = 0; c < channels; ++c)
            s[i * channels + c] =
                static_cast<std::int16_t>(8000 * std::sin(2 * M_PI * hz * (c + 1) * i / k_rate));
    return s;
}

std::string write_wav(const std::string& name, int channels, const std::vector<std::int16_t>& s) {
    const std::string path = folder() + "/" + name;
    std::ofstream f(path, std::ios::binary);
    const std::uint32_t bytes = static_cast<std::uint32_t>(s.size() * 2);
    f << "RIFF";
    put(f, 36 + bytes, 4);
    f << "WAVEfmt ";
    put(f, 16, 4);
    put(f, 1, 2);
    put(f, channels, 2);
    put(f, k_rate, 4);
    put(f, k_rate * channels * 2, 4);
    put(f, channels * 2, 2);
    put(f, 16, 2);
    f << "data";
    put(f, bytes, 4);
    f.write(reinterpret_cast<const char*>(s.data()), bytes);
    return path;
}

struct Source {
    std::string path;
    int channels;
    std::vector<std::int16_t> samples;
    sound::Kind kind;
    int pan; // script units
    bool echo;
};

std::vector<Source>& sources() {
    static std::vector<Source> list = [] {
        std::vector<Source> v;
        for (int i = 0; i < k_streams; ++i) {
            Source s;
            s.channels = i < 2 ? 2 : 1;
            s.samples = tone(s.channels, 220.0 + 55 * i, 2.0);
            s.path = write_wav("s" + std::to_string(i) + ".wav", s.channels, s.samples);
            s.kind = i < 2 ? sound::Kind::bgm : (i < 5 ? sound::Kind::se : sound::Kind::voice);
            s.pan = i >= 2 && i < 5 ? (i - 3) * 300 : 0;
            s.echo = i == 2;
            v.push_back(std::move(s));
        }
        return v;
    }();
    return list;
}

double cpu_ms() {
    return std::clock() * 1000.0 / CLOCKS_PER_SEC;
}

// The engine: eight looping streams fed by their threads, mixed by the loopback device's
// own thread on (scaled) engine time.
void BM_EngineEightStreams(benchmark::State& state) {
    platform::set_time_scale(k_scale);
    platform::AudioOptions options;
    options.loopback = true;
    platform::open_audio(options);
    std::vector<std::unique_ptr<sound::SoundStream>> streams;
    for (Source& s : sources()) {
        std::string error;
        auto st = sound::SoundStream::create(s.kind, s.path, error);
        if (!st) {
            state.SkipWithError(error.c_str());
            return;
        }
        st->set_loop("TRUE");
        if (s.pan) st->set_pan(std::to_string(s.pan), 0, "");
        if (s.echo) st->set_echo(300, 600, 30, 50);
        st->play();
        streams.push_back(std::move(st));
    }
    double audio_s = 0, cpu = 0;
    for (auto _ : state) {
        const double c0 = cpu_ms();
        const platform::Tick t0 = platform::tick_ms();
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        platform::audio_catch_up();
        audio_s += platform::tick_diff(platform::tick_ms(), t0) / 1000.0;
        cpu += cpu_ms() - c0;
    }
    state.counters["cpu_ms_per_audio_s"] = cpu / audio_s;
    streams.clear();
    platform::close_audio();
}
BENCHMARK(BM_EngineEightStreams)->Iterations(20)->Unit(benchmark::kMillisecond);

// Bare OpenAL Soft: the same eight buffers as static looping sources through a loopback
// device made as the engine makes its own (no HRTF, no limiter, one effect send), rendered
// in the engine's 20 ms chunks. The echo of one stream is the engine's own work on the
// samples (OpenAL's echo cannot delay the two channels apart), so the first two forms have
// no counterpart for it:
//  - as the files are: mono and stereo 16-bit; the panned sources placed to the side;
//  - as the engine must queue them: stereo float with the pan law applied to the samples,
//    played with AL_DIRECT_CHANNELS_SOFT (OpenAL's own panning follows another law), which
//    is the OpenAL share of the engine's work;
//  - as the files are, with OpenAL's own echo effect on the stream that has the echo: the
//    nearest that bare OpenAL comes to the same work.
enum class BareForm { as_files, as_queued, with_efx_echo };

void bare_openal(benchmark::State& state, BareForm form) {
    const bool as_queued = form == BareForm::as_queued;
    auto open_fn = reinterpret_cast<LPALCLOOPBACKOPENDEVICESOFT>(
        alcGetProcAddress(nullptr, "alcLoopbackOpenDeviceSOFT"));
    auto render = reinterpret_cast<LPALCRENDERSAMPLESSOFT>(
        alcGetProcAddress(nullptr, "alcRenderSamplesSOFT"));
    ALCdevice* device = open_fn(nullptr);
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
    ALCcontext* context = alcCreateContext(device, attrs);
    alcMakeContextCurrent(context);
    std::vector<ALuint> buffers(k_streams), srcs(k_streams);
    alGenBuffers(k_streams, buffers.data());
    alGenSources(k_streams, srcs.data());
    for (int i = 0; i < k_streams; ++i) {
        const Source& s = sources()[static_cast<std::size_t>(i)];
        if (as_queued) {
            float left = 1, right = 1;
            sound::pan_gains(s.pan * 10, left, right);
            const std::size_t frames = s.samples.size() / s.channels;
            std::vector<float> f(frames * 2);
            for (std::size_t k = 0; k < frames; ++k) {
                f[2 * k] = s.samples[k * s.channels] * left / 32768.0f;
                f[2 * k + 1] = s.samples[k * s.channels + s.channels - 1] * right / 32768.0f;
            }
            alBufferData(buffers[i], AL_FORMAT_STEREO_FLOAT32, f.data(),
                         static_cast<ALsizei>(f.size() * sizeof(float)), k_rate);
            alSourcei(srcs[i], AL_DIRECT_CHANNELS_SOFT, AL_TRUE);
        } else {
            alBufferData(buffers[i], s.channels == 2 ? AL_FORMAT_STEREO16 : AL_FORMAT_MONO16,
                         s.samples.data(), static_cast<ALsizei>(s.samples.size() * 2), k_rate);
            if (s.pan) {
                alSourcei(srcs[i], AL_SOURCE_RELATIVE, AL_TRUE);
                alSource3f(srcs[i], AL_POSITION, s.pan > 0 ? 1.0f : -1.0f, 0, 0);
            }
        }
        alSourcei(srcs[i], AL_BUFFER, static_cast<ALint>(buffers[i]));
        alSourcei(srcs[i], AL_LOOPING, AL_TRUE);
    }
    ALuint slot = 0, effect = 0;
    auto gen_slots = reinterpret_cast<LPALGENAUXILIARYEFFECTSLOTS>(
        alGetProcAddress("alGenAuxiliaryEffectSlots"));
    auto del_slots = reinterpret_cast<LPALDELETEAUXILIARYEFFECTSLOTS>(
        alGetProcAddress("alDeleteAuxiliaryEffectSlots"));
    auto gen_effects = reinterpret_cast<LPALGENEFFECTS>(alGetProcAddress("alGenEffects"));
    auto del_effects = reinterpret_cast<LPALDELETEEFFECTS>(alGetProcAddress("alDeleteEffects"));
    auto effect_i = reinterpret_cast<LPALEFFECTI>(alGetProcAddress("alEffecti"));
    auto slot_i =
        reinterpret_cast<LPALAUXILIARYEFFECTSLOTI>(alGetProcAddress("alAuxiliaryEffectSloti"));
    if (form == BareForm::with_efx_echo) {
        gen_slots(1, &slot);
        gen_effects(1, &effect);
        effect_i(effect, AL_EFFECT_TYPE, AL_EFFECT_ECHO);
        slot_i(slot, AL_EFFECTSLOT_EFFECT, static_cast<ALint>(effect));
        for (int i = 0; i < k_streams; ++i)
            if (sources()[static_cast<std::size_t>(i)].echo)
                alSource3i(srcs[i], AL_AUXILIARY_SEND_FILTER, static_cast<ALint>(slot), 0,
                           AL_FILTER_NULL);
    }
    alSourcePlayv(k_streams, srcs.data());
    constexpr int k_chunk = k_rate / 50;
    std::vector<float> out(k_chunk * 2);
    double audio_s = 0, cpu = 0;
    for (auto _ : state) {
        const double c0 = cpu_ms();
        for (int step = 0; step < 100; ++step) render(device, out.data(), k_chunk); // 2 s
        audio_s += 2.0;
        cpu += cpu_ms() - c0;
    }
    state.counters["cpu_ms_per_audio_s"] = cpu / audio_s;
    alDeleteSources(k_streams, srcs.data());
    alDeleteBuffers(k_streams, buffers.data());
    if (slot) del_slots(1, &slot);
    if (effect) del_effects(1, &effect);
    alcMakeContextCurrent(nullptr);
    alcDestroyContext(context);
    alcCloseDevice(device);
}

void BM_BareOpenAlEightBuffers(benchmark::State& state) {
    bare_openal(state, BareForm::as_files);
}
BENCHMARK(BM_BareOpenAlEightBuffers)->Iterations(20)->Unit(benchmark::kMillisecond);

void BM_BareOpenAlEightBuffersAsQueued(benchmark::State& state) {
    bare_openal(state, BareForm::as_queued);
}
BENCHMARK(BM_BareOpenAlEightBuffersAsQueued)->Iterations(20)->Unit(benchmark::kMillisecond);

void BM_BareOpenAlEightBuffersWithEfxEcho(benchmark::State& state) {
    bare_openal(state, BareForm::with_efx_echo);
}
BENCHMARK(BM_BareOpenAlEightBuffersWithEfxEcho)->Iterations(20)->Unit(benchmark::kMillisecond);

std::string ogg_file() {
    static const std::string path = [] {
        const std::string wav = write_wav("music.wav", 2, tone(2, 330, 10.0));
        const std::string ogg = folder() + "/music.ogg";
        const std::string cmd = "sox " + wav + " " + ogg + " 2>/dev/null";
        return std::system(cmd.c_str()) == 0 ? ogg : std::string();
    }();
    return path;
}

void BM_OggThroughOurCallbacks(benchmark::State& state) {
    if (ogg_file().empty()) {
        state.SkipWithError("sox is needed to make the Ogg file");
        return;
    }
    std::vector<std::int16_t> pcm(4096 * 2);
    for (auto _ : state) {
        auto file = std::make_unique<storage::ResourceFile>();
        file->create(ogg_file());
        file->open();
        std::string error;
        auto d = sound::open_ogg(std::move(file), error);
        std::size_t frames = 0;
        while (std::size_t n = d->read(pcm.data(), 4096)) frames += n;
        benchmark::DoNotOptimize(frames);
    }
}
BENCHMARK(BM_OggThroughOurCallbacks)->Unit(benchmark::kMillisecond);

void BM_OggBareVorbisfile(benchmark::State& state) {
    if (ogg_file().empty()) {
        state.SkipWithError("sox is needed to make the Ogg file");
        return;
    }
    std::vector<char> pcm(4096 * 4);
    for (auto _ : state) {
        OggVorbis_File vf;
        ov_fopen(ogg_file().c_str(), &vf);
        std::size_t bytes = 0;
        int link = 0;
        long n;
        while ((n = ov_read(&vf, pcm.data(), 4096, 0, 2, 1, &link)) > 0) bytes += n;
        ov_clear(&vf);
        benchmark::DoNotOptimize(bytes);
    }
}
BENCHMARK(BM_OggBareVorbisfile)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
