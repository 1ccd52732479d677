// Effects: chorus and the room reverbs through EFX; echo with independent left and right
// delays (which EFX cannot express) as the stream's own feedback delay on its samples.
#include "sound/effects.h"

#include "platform/audio.h"
#include "sound/stream.h"

#include <algorithm>
#include <cmath>
#include <string_view>

namespace kestrune::sound {

namespace {

// The I3DL2 environment presets in their published units: room and room HF levels,
// reflections and reverb levels in hundredths of a decibel, times and delays in seconds,
// diffusion and density in percent.
struct I3dl2Preset {
    std::string_view name;
    float room, room_hf, rolloff, decay, decay_hf_ratio, reflections, reflections_delay, reverb,
        reverb_delay, diffusion, density, hf_reference;
};

constexpr I3dl2Preset k_presets[] = {
    {"DEFAULT", -1000, -100, 0, 1.49f, 0.83f, -2602, 0.007f, 200, 0.011f, 100, 100, 5000},
    {"GENERIC", -1000, -100, 0, 1.49f, 0.83f, -2602, 0.007f, 200, 0.011f, 100, 100, 5000},
    {"PADDEDCELL", -1000, -6000, 0, 0.17f, 0.10f, -1204, 0.001f, 207, 0.002f, 100, 100, 5000},
    {"ROOM", -1000, -454, 0, 0.40f, 0.83f, -1646, 0.002f, 53, 0.003f, 100, 100, 5000},
    {"BATHROOM", -1000, -1200, 0, 1.49f, 0.54f, -370, 0.007f, 1030, 0.011f, 100, 60, 5000},
    {"LIVINGROOM", -1000, -6000, 0, 0.50f, 0.10f, -1376, 0.003f, -1104, 0.004f, 100, 100, 5000},
    {"STONEROOM", -1000, -300, 0, 2.31f, 0.64f, -711, 0.012f, 83, 0.017f, 100, 100, 5000},
    {"AUDITORIUM", -1000, -476, 0, 4.32f, 0.59f, -789, 0.020f, -289, 0.030f, 100, 100, 5000},
    {"CONCERTHALL", -1000, -500, 0, 3.92f, 0.70f, -1230, 0.020f, -2, 0.029f, 100, 100, 5000},
    {"CAVE", -1000, 0, 0, 2.91f, 1.30f, -602, 0.015f, -302, 0.022f, 100, 100, 5000},
    {"ARENA", -1000, -698, 0, 7.24f, 0.33f, -1166, 0.020f, 16, 0.030f, 100, 100, 5000},
    {"HANGAR", -1000, -1000, 0, 10.05f, 0.23f, -602, 0.020f, 198, 0.030f, 100, 100, 5000},
    {"CARPETEDHALLWAY", -1000, -4000, 0, 0.30f, 0.10f, -1831, 0.002f, -1630, 0.030f, 100, 100,
     5000},
    {"HALLWAY", -1000, -300, 0, 1.49f, 0.59f, -1219, 0.007f, 441, 0.011f, 100, 100, 5000},
    {"STONECORRIDOR", -1000, -237, 0, 2.70f, 0.79f, -1214, 0.013f, 395, 0.020f, 100, 100, 5000},
    {"ALLEY", -1000, -270, 0, 1.49f, 0.86f, -1204, 0.007f, -4, 0.011f, 100, 100, 5000},
    {"FOREST", -1000, -3300, 0, 1.49f, 0.54f, -2560, 0.162f, -613, 0.088f, 79, 100, 5000},
    {"CITY", -1000, -800, 0, 1.49f, 0.67f, -2273, 0.007f, -2217, 0.011f, 50, 100, 5000},
    {"MOUNTAINS", -1000, -2500, 0, 1.49f, 0.21f, -2780, 0.300f, -2014, 0.100f, 27, 100, 5000},
    {"QUARRY", -1000, -1000, 0, 1.49f, 0.83f, -10000, 0.061f, 500, 0.025f, 100, 100, 5000},
    {"PLAIN", -1000, -2000, 0, 1.49f, 0.50f, -2466, 0.179f, -2514, 0.100f, 21, 100, 5000},
    {"PARKINGLOT", -1000, 0, 0, 1.65f, 1.50f, -1363, 0.008f, -1153, 0.012f, 100, 100, 5000},
    {"SEWERPIPE", -1000, -1000, 0, 2.81f, 0.14f, 429, 0.014f, 648, 0.021f, 80, 60, 5000},
    {"UNDERWATER", -1000, -4000, 0, 1.49f, 0.10f, -449, 0.007f, 1700, 0.011f, 100, 100, 5000},
    {"SMALLROOM", -1000, -600, 0, 1.10f, 0.83f, -400, 0.005f, 500, 0.010f, 100, 100, 5000},
    {"MEDIUMROOM", -1000, -600, 0, 1.30f, 0.83f, -1000, 0.010f, -200, 0.020f, 100, 100, 5000},
    {"LARGEROOM", -1000, -600, 0, 1.50f, 0.83f, -1600, 0.020f, -1000, 0.040f, 100, 100, 5000},
    {"MEDIUMHALL", -1000, -600, 0, 1.80f, 0.70f, -1300, 0.015f, -800, 0.030f, 100, 100, 5000},
    {"LARGEHALL", -1000, -600, 0, 1.80f, 0.70f, -2000, 0.030f, -1400, 0.060f, 100, 100, 5000},
    {"PLATE", -1000, -200, 0, 1.30f, 0.90f, 0, 0.002f, 0, 0.010f, 100, 75, 5000},
};

float level_gain(float hundredths_db) {
    return static_cast<float>(std::pow(10.0, hundredths_db / 2000.0));
}

// An I3DL2 preset in the units of the EFX EAX reverb, clamped to its ranges.
platform::AudioEffect reverb_of(const I3dl2Preset& p) {
    platform::AudioEffect e;
    e.kind = platform::AudioEffect::Kind::reverb;
    e.gain = std::clamp(level_gain(p.room), 0.0f, 1.0f);
    e.gain_hf = std::clamp(level_gain(p.room_hf), 0.0f, 1.0f);
    e.gain_lf = 1.0f;
    e.room_rolloff = p.rolloff;
    e.decay_time = std::clamp(p.decay, 0.1f, 20.0f);
    e.decay_hf_ratio = std::clamp(p.decay_hf_ratio, 0.1f, 2.0f);
    e.reflections_gain = std::clamp(level_gain(p.reflections), 0.0f, 3.16f);
    e.reflections_delay = std::clamp(p.reflections_delay, 0.0f, 0.3f);
    e.late_reverb_gain = std::clamp(level_gain(p.reverb), 0.0f, 10.0f);
    e.late_reverb_delay = std::clamp(p.reverb_delay, 0.0f, 0.1f);
    e.diffusion = std::clamp(p.diffusion / 100.0f, 0.0f, 1.0f);
    e.density = std::clamp(p.density / 100.0f, 0.0f, 1.0f);
    e.hf_reference = std::clamp(p.hf_reference, 1000.0f, 20000.0f);
    e.wet = 1.0f;
    return e;
}

bool in_range(std::int32_t v, std::int32_t lo, std::int32_t hi) {
    return v >= lo && v <= hi;
}

} // namespace

bool apply_sound_effect(SoundStream& stream, const EffectParams& p, std::string& why) {
    // Effects change on a stopped stream; it stays stopped until the script plays it.
    stream.stop();
    stream.remember_effect(std::nullopt);
    platform::AudioEffect none;
    if (stream.kind() == Kind::voice) {
        why = "voice streams take no effect";
        return false;
    }
    if (p.name == "Echo") {
        if (!in_range(p.left_delay, 1, 2000) || !in_range(p.right_delay, 1, 2000) ||
            !in_range(p.feedback, 0, 100) || !in_range(p.mix, 0, 100)) {
            stream.set_effect(none);
            why = "Echo takes delays of 1 to 2000 ms and feedback and mix of 0 to 100";
            return false;
        }
        stream.set_effect(none);
        stream.set_echo(p.left_delay, p.right_delay, p.feedback, p.mix);
        stream.remember_effect(p);
        return true;
    }
    platform::AudioEffect e;
    if (p.name == "Chorus") {
        if (!in_range(p.mix, 0, 100) || !in_range(p.depth, 0, 100) ||
            !in_range(p.feedback, -99, 99) || !in_range(p.delay, 0, 20)) {
            stream.set_effect(none);
            why = "Chorus takes mix and depth of 0 to 100, feedback of -99 to 99 and a delay "
                  "of 0 to 20 ms";
            return false;
        }
        e.kind = platform::AudioEffect::Kind::chorus;
        e.chorus_depth = static_cast<float>(p.depth) / 100.0f;
        e.chorus_feedback = static_cast<float>(p.feedback) / 100.0f;
        // EFX caps the chorus delay at 16 ms.
        e.chorus_delay = std::min(static_cast<float>(p.delay) / 1000.0f, 0.016f);
        e.chorus_rate = 1.3f;
        e.wet = static_cast<float>(p.mix) / 100.0f;
        e.dry = 1.0f - e.wet;
    } else if (p.name == "WavesReverb") {
        I3dl2Preset waves = k_presets[0];
        waves.decay = 1.0f;
        waves.decay_hf_ratio = 0.1f; // the lowest EFX allows
        e = reverb_of(waves);
    } else {
        const I3dl2Preset* preset = &k_presets[0];
        for (const I3dl2Preset& candidate : k_presets)
            if (candidate.name == p.name) preset = &candidate;
        e = reverb_of(*preset);
    }
    if (!stream.set_effect(e)) {
        stream.set_effect(none);
        why = "the sound device refused the effect \"" + p.name + "\"";
        return false;
    }
    stream.remember_effect(p);
    return true;
}

} // namespace kestrune::sound
