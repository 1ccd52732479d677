// Whole-game runs of the sound commands, checked sample by sample in the WAV that a
// headless run writes with --audio-out (float stereo at 44100 Hz; frame 0 is engine time 0).
#include "run_game.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

using namespace kestrune::testing;

namespace {

constexpr std::uint32_t k_rate = 44100;
const std::string k_pack = KESTRUNE_BINARY_DIR "/kestrune-pack";

void put16(std::string& s, std::uint32_t v) {
    s.push_back(static_cast<char>(v & 0xFF));
    s.push_back(static_cast<char>((v >> 8) & 0xFF));
}
void put32(std::string& s, std::uint32_t v) {
    put16(s, v & 0xFFFF);
    put16(s, v >> 16);
}

// A PCM WAV file. `extra` is put between the format and the data chunks.
std::string wav_bytes(const std::vector<std::int16_t>& samples, std::uint16_t channels = 1,
                      std::uint16_t bits = 16, std::uint32_t rate = k_rate,
                      const std::string& extra = "") {
    std::string data;
    for (std::int16_t v : samples) {
        if (bits == 8)
            data.push_back(static_cast<char>((v >> 8) + 128));
        else
            put16(data, static_cast<std::uint16_t>(v));
    }
    std::string s = "RIFF";
    put32(s, static_cast<std::uint32_t>(4 + 24 + extra.size() + 8 + data.size()));
    s += "WAVEfmt ";
    put32(s, 16);
    put16(s, 1);
    put16(s, channels);
    put32(s, rate);
    const std::uint16_t align = static_cast<std::uint16_t>(channels * bits / 8);
    put32(s, rate * align);
    put16(s, align);
    put16(s, bits);
    s += extra;
    s += "data";
    put32(s, static_cast<std::uint32_t>(data.size()));
    return s + data;
}

std::vector<std::int16_t> constant(std::size_t frames, std::int16_t value) {
    return std::vector<std::int16_t>(frames, value);
}

// A ramp that never repeats within 300 frames, so that a joint shows where it is.
std::vector<std::int16_t> ramp(std::size_t frames) {
    std::vector<std::int16_t> v(frames);
    for (std::size_t i = 0; i < frames; ++i) v[i] = static_cast<std::int16_t>((i % 300 + 1) * 100);
    return v;
}

struct Output {
    std::vector<float> left, right;
    std::size_t size() const { return left.size(); }
};

Output read_output(const std::string& path) {
    Output out;
    std::ifstream f(path, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    if (bytes.size() < 44 || bytes.compare(0, 4, "RIFF") != 0) return out;
    const std::size_t frames = (bytes.size() - 44) / 8;
    out.left.resize(frames);
    out.right.resize(frames);
    for (std::size_t i = 0; i < frames; ++i) {
        std::memcpy(&out.left[i], bytes.data() + 44 + i * 8, 4);
        std::memcpy(&out.right[i], bytes.data() + 48 + i * 8, 4);
    }
    return out;
}

std::size_t frame_of(std::int64_t ms) {
    return static_cast<std::size_t>(ms * k_rate / 1000);
}

// The first frame at or after `from` where either channel is not zero.
std::size_t first_sound(const Output& o, std::size_t from = 0) {
    for (std::size_t i = from; i < o.size(); ++i)
        if (o.left[i] != 0 || o.right[i] != 0) return i;
    return o.size();
}

// Frames from `from` on that are not zero in either channel, up to the first silent one.
std::size_t sounding_run(const Output& o, std::size_t from) {
    std::size_t i = from;
    while (i < o.size() && (o.left[i] != 0 || o.right[i] != 0)) ++i;
    return i - from;
}

std::vector<std::int64_t> read_numbers(const std::string& path) {
    std::vector<std::int64_t> v;
    std::stringstream ss(read_text(path));
    std::string item;
    while (std::getline(ss, item, ',')) v.push_back(std::stoll(item));
    return v;
}

struct Game {
    std::string dir, wav;
    RunResult result;
    Output out;
};

Game run_game(const std::string& name, const std::string& script,
              const std::vector<std::pair<std::string, std::string>>& files,
              std::vector<std::string> extra_args = {}) {
    Game g;
    g.dir = scratch_dir(name);
    std::filesystem::create_directories(g.dir + "/se");
    for (const auto& [file, bytes] : files) write_text(g.dir + "/" + file, bytes);
    write_text(g.dir + "/start.txt", script);
    g.wav = g.dir + "/out.wav";
    std::vector<std::string> args = {
        "--headless", "--save-dir", g.dir + "/saves", "--audio-out", g.wav, "--max-seconds", "20"};
    args.insert(args.end(), extra_args.begin(), extra_args.end());
    args.push_back(g.dir);
    g.result = run_kestrune(args);
    g.out = read_output(g.wav);
    return g;
}

} // namespace

// Volume and pan laws and start frames: each sound starts at the frame of the engine time
// at which Play was asked, lasts its 100 ms, and has the level of the laws: volume 500 is
// -10 dB, 250 is -20 dB, 0 exact silence; pan p lowers the far side by p/10 dB.
TEST(Sound, VolumePanAndStartFrames) {
    const Game g = run_game("sound_levels", R"(
scene main
{
    CreateSound("full", "SE", "se/tone");
    CreateSound("half", "SE", "se/tone");
    SetVolume("half", 500);
    CreateSound("quarter", "SE1", "se/tone.wav");
    SetVolume("quarter", 250);
    CreateSound("mute", "SE", "se/tone");
    SetVolume("mute", 0);
    CreateSound("right", "SE", "se/tone");
    SetPan("right", 50);
    CreateSound("left", "SE", "se/tone");
    SetPan("left", -200);
    SetPan("left", "@100");
    $t = "";
    Wait(100);
    $t = $t + MilliTime(); Request("full", "Play"); Wait(200);
    $t = $t + "," + MilliTime(); Request("half", "Play"); Wait(200);
    $t = $t + "," + MilliTime(); Request("quarter", "Play"); Wait(200);
    $t = $t + "," + MilliTime(); Request("mute", "Play"); Wait(200);
    $t = $t + "," + MilliTime(); Request("right", "Play"); Wait(200);
    $t = $t + "," + MilliTime(); Request("left", "Play"); Wait(200);
    WriteFile("times.txt", $t, FALSE);
}
)",
                            {{"se/tone.wav", wav_bytes(constant(4410, 16384))}});
    ASSERT_EQ(g.result.exit_code, 0) << g.result.output;
    const std::vector<std::int64_t> t = read_numbers(g.dir + "/times.txt");
    ASSERT_EQ(t.size(), 6u);
    const double half = 0.5;
    const struct {
        const char* name;
        double left, right;
    } cases[] = {
        {"full", half, half},
        {"half", half * std::pow(10.0, -10.0 / 20), half * std::pow(10.0, -10.0 / 20)},
        {"quarter", half * std::pow(10.0, -20.0 / 20), half * std::pow(10.0, -20.0 / 20)},
        {"mute", 0, 0},
        {"right", half * std::pow(10.0, -5.0 / 20), half},
        {"left", half, half * std::pow(10.0, -10.0 / 20)},
    };
    for (std::size_t i = 0; i < 6; ++i) {
        SCOPED_TRACE(cases[i].name);
        const std::size_t start = frame_of(t[i]);
        if (cases[i].left == 0) {
            EXPECT_EQ(first_sound(g.out, frame_of(t[i] - 100)), frame_of(t[i + 1]));
            continue;
        }
        ASSERT_EQ(first_sound(g.out, frame_of(t[i] - 100)), start);
        EXPECT_EQ(sounding_run(g.out, start), 4410u);
        for (std::size_t k : {start, start + 2000, start + 4409}) {
            EXPECT_NEAR(g.out.left[k], cases[i].left, 1e-6) << k - start;
            EXPECT_NEAR(g.out.right[k], cases[i].right, 1e-6) << k - start;
        }
    }
}
