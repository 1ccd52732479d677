// Helpers of the whole-game sound tests: WAV files to play, and the float stereo output
// that a headless run writes with --audio-out (44100 Hz; frame 0 is engine time 0).
#pragma once

#include "run_game.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace kestrune::testing {

inline constexpr std::uint32_t k_rate = 44100;
inline const std::string k_pack = KESTRUNE_BINARY_DIR "/kestrune-pack";

inline void put16(std::string& s, std::uint32_t v) {
    s.push_back(static_cast<char>(v & 0xFF));
    s.push_back(static_cast<char>((v >> 8) & 0xFF));
}
inline void put32(std::string& s, std::uint32_t v) {
    put16(s, v & 0xFFFF);
    put16(s, v >> 16);
}

// A PCM WAV file. `extra` is put between the format and the data chunks.
inline std::string wav_bytes(const std::vector<std::int16_t>& samples, std::uint16_t channels = 1,
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

inline std::vector<std::int16_t> constant(std::size_t frames, std::int16_t value) {
    return std::vector<std::int16_t>(frames, value);
}

// A ramp that never repeats within 300 frames, so that a joint shows where it is.
inline std::vector<std::int16_t> ramp(std::size_t frames) {
    std::vector<std::int16_t> v(frames);
    for (std::size_t i = 0; i < frames; ++i) v[i] = static_cast<std::int16_t>((i % 300 + 1) * 100);
    return v;
}

// Music whose samples never repeat at a small offset, so that a frame heard early or late
// shows at once. Every sample is non-zero.
inline std::vector<std::int16_t> music(std::size_t frames) {
    std::vector<std::int16_t> v(frames);
    for (std::size_t i = 0; i < frames; ++i)
        v[i] = static_cast<std::int16_t>((i * 7919) % 32000 + 1);
    return v;
}

struct Output {
    std::vector<float> left, right;
    std::size_t size() const { return left.size(); }
};

// The float stereo samples of the "data" chunk (the chunks are walked by their sizes).
inline Output read_output(const std::string& path) {
    Output out;
    std::ifstream f(path, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    if (bytes.size() < 12 || bytes.compare(0, 4, "RIFF") != 0) return out;
    std::size_t pos = 12;
    while (pos + 8 <= bytes.size() && bytes.compare(pos, 4, "data") != 0) {
        std::uint32_t size = 0;
        std::memcpy(&size, bytes.data() + pos + 4, 4);
        pos += 8 + size + (size & 1);
    }
    if (pos + 8 > bytes.size()) return out;
    const std::size_t data = pos + 8;
    const std::size_t frames = (bytes.size() - data) / 8;
    out.left.resize(frames);
    out.right.resize(frames);
    for (std::size_t i = 0; i < frames; ++i) {
        std::memcpy(&out.left[i], bytes.data() + data + i * 8, 4);
        std::memcpy(&out.right[i], bytes.data() + data + 4 + i * 8, 4);
    }
    return out;
}

inline std::size_t frame_of(std::int64_t ms) {
    return static_cast<std::size_t>(ms * k_rate / 1000);
}

// The first frame at or after `from` where either channel is not zero.
inline std::size_t first_sound(const Output& o, std::size_t from = 0) {
    for (std::size_t i = from; i < o.size(); ++i)
        if (o.left[i] != 0 || o.right[i] != 0) return i;
    return o.size();
}

// Frames from `from` on that are not zero in either channel, up to the first silent one.
inline std::size_t sounding_run(const Output& o, std::size_t from) {
    std::size_t i = from;
    while (i < o.size() && (o.left[i] != 0 || o.right[i] != 0)) ++i;
    return i - from;
}

inline float sample(const std::vector<std::int16_t>& m, std::size_t data_frame) {
    return m[data_frame % m.size()] / 32768.0f;
}

// Frames from `from` on (in the left channel) that differ from the data heard from
// data frame `at` on, scaled by `gain`, over `count` frames.
inline std::size_t mismatches(const Output& o, std::size_t from, const std::vector<std::int16_t>& m,
                              std::size_t at, std::size_t count, float gain = 1.0f) {
    std::size_t wrong = 0;
    for (std::size_t j = 0; j < count; ++j)
        wrong += from + j >= o.size() || o.left[from + j] != gain * sample(m, at + j);
    return wrong;
}

inline std::vector<std::int64_t> read_numbers(const std::string& path) {
    std::vector<std::int64_t> v;
    std::stringstream ss(read_text(path));
    std::string item;
    while (std::getline(ss, item, ',')) v.push_back(std::stoll(item));
    return v;
}

// The times (in ms, 100 ms a shot) at which the screenshots shot0.vkf ... shot<count-1>.vkf
// that a game wrote 100 ms apart differ from the shot before.
inline std::vector<std::int64_t> picture_changes(const std::string& dir, int count) {
    std::vector<std::int64_t> changes;
    std::string before = read_text(dir + "/shot0.vkf");
    for (int i = 1; i < count; ++i) {
        const std::string now = read_text(dir + "/shot" + std::to_string(i) + ".vkf");
        if (now != before) changes.push_back(i * 100);
        before = now;
    }
    return changes;
}

struct Game {
    std::string dir, wav;
    RunResult result;
    Output out;
};

inline Game run_game(const std::string& name, const std::string& script,
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

// Runs a game that the first run left saved in slot 1 again, with `block` as the slot's
// scene block and loaded.txt emptied, playing into `wav_name` in the game's folder.
inline Game run_again_with_block(const Game& first, const std::string& block,
                                 const std::string& wav_name) {
    Game g;
    g.dir = first.dir;
    EXPECT_TRUE(write_save_block(first.dir + "/saves/0001/frames.vkf", block));
    write_text(first.dir + "/loaded.txt", "");
    g.wav = first.dir + "/" + wav_name;
    g.result = run_kestrune({"--headless", "--save-dir", first.dir + "/saves", "--audio-out", g.wav,
                             "--max-seconds", "10", first.dir});
    g.out = read_output(g.wav);
    return g;
}

// One damaged byte of a saved block, and the reason the load gives when it refuses it.
struct ByteDamage {
    std::size_t at;
    unsigned char byte;
    const char* why;
};

// Each damage in turn refuses its section with its reason: the run goes on, the rest of the
// scene comes back (the game writes `rest` to loaded.txt) and nothing is heard.
inline void expect_each_refused(const Game& first, const std::string& block,
                                const std::vector<ByteDamage>& damages, const std::string& rest) {
    for (const ByteDamage& d : damages) {
        SCOPED_TRACE(d.why);
        std::string damaged = block;
        damaged[d.at] = static_cast<char>(d.byte);
        const Game g = run_again_with_block(first, damaged, "out2.wav");
        ASSERT_EQ(g.result.exit_code, 0) << g.result.output;
        EXPECT_NE(g.result.output.find(std::string("section refused: ") + d.why), std::string::npos)
            << g.result.output;
        EXPECT_EQ(read_text(first.dir + "/loaded.txt"), rest) << "the rest of the scene is back";
        EXPECT_GT(g.out.size(), 0u);
        EXPECT_EQ(first_sound(g.out), g.out.size()) << "the refused sound is not heard";
    }
}

} // namespace kestrune::testing
