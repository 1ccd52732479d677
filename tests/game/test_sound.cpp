// Whole-game runs of the sound commands, checked sample by sample in the WAV that a
// headless run writes with --audio-out (float stereo at 44100 Hz; frame 0 is engine time 0).
#include "run_game.h"
#include "sound_output.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

using namespace kestrune::testing;

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
    // The law in hundredths of a decibel: 3322 x log10(volume / 1000), so that volume 500 is
    // -10.00 dB and 250 is -20.00 dB; pan p lowers the far side by p/10 dB.
    auto law = [](double volume) {
        return 0.5 * std::pow(10.0, 3322 * std::log10(volume / 1000) / 2000);
    };
    auto db = [](double d) { return 0.5 * std::pow(10.0, d / 20); };
    const struct {
        const char* name;
        double left, right;
    } cases[] = {
        {"full", 0.5, 0.5}, {"half", law(500), law(500)}, {"quarter", law(250), law(250)},
        {"mute", 0, 0},     {"right", db(-5), 0.5},       {"left", 0.5, db(-10)},
    };
    EXPECT_NEAR(20 * std::log10(law(500) / 0.5), -10.0, 0.005);
    EXPECT_NEAR(20 * std::log10(law(250) / 0.5), -20.0, 0.005);
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

// A pan changed while a sound plays is heard from the frame of the change: the left
// channel keeps every sample, the right one is 10 dB down from that frame on. With an
// echo, its delay lines are wound back to the frame being heard, so that from the frame of
// the change the dry sound and everything that enters the echo carry the new pan, and the
// echoes of what came before keep the old one: every frame is what a half-dry, half-wet
// echo of 300 ms (left) and 600 ms (right) of the panned music gives.
TEST(Sound, PanChangeIsHeardAtOnce) {
    const std::vector<std::int16_t> m = music(3 * 44100);
    for (const bool echo : {false, true}) {
        SCOPED_TRACE(echo ? "with an echo" : "dry");
        const std::string effect = echo ? "SoundEffect(\"m\", \"Echo\", 50, 0, 300, 600);" : "";
        const Game g = run_game(echo ? "sound_pan_echo" : "sound_pan_change", R"(
scene main
{
    CreateSound("m", "BGM", "se/music");
    )" + effect + R"(
    Wait(100);
    $t = "" + MilliTime();
    Request("m", "Play");
    Wait(730);
    $t = $t + "," + MilliTime();
    SetPan("m", -100);
    Wait(1000);
    WriteFile("times.txt", $t, FALSE);
}
)",
                                {{"se/music.wav", wav_bytes(m)}});
        ASSERT_EQ(g.result.exit_code, 0) << g.result.output;
        const std::vector<std::int64_t> t = read_numbers(g.dir + "/times.txt");
        ASSERT_EQ(t.size(), 2u);
        const Output& o = g.out;
        const std::size_t play = frame_of(t[0]), change = frame_of(t[1]);
        ASSERT_EQ(first_sound(o), play);
        const float far = static_cast<float>(std::pow(10.0, -0.5));
        // Each channel's input at data frame i, as queued: 16-bit samples scaled by the pan.
        auto in = [&](std::size_t i, bool right) {
            const float gain = right && play + i >= change ? far : 1.0f;
            return m[i] * (gain * (1.0f / 32768.0f));
        };
        auto heard = [&](std::size_t i, bool right) {
            if (!echo) return in(i, right);
            const std::size_t delay = frame_of(right ? 600 : 300);
            return 0.5f * in(i, right) + (i >= delay ? 0.5f * in(i - delay, right) : 0.0f);
        };
        const std::size_t end = std::min(o.size(), change + frame_of(900));
        ASSERT_GT(end, change + frame_of(600));
        std::size_t wrong_l = 0, wrong_r = 0;
        for (std::size_t f = play; f < end; ++f) {
            wrong_l += std::abs(o.left[f] - heard(f - play, false)) > 1e-6f;
            wrong_r += std::abs(o.right[f] - heard(f - play, true)) > 1e-6f;
        }
        EXPECT_EQ(wrong_l, 0u) << "the near channel is unchanged";
        EXPECT_EQ(wrong_r, 0u) << "the far channel is 10 dB down from the frame of the change";
    }
}

// Frequency, loop counts, loop regions, Stop and a volume fade: SetFrequency 2000 halves
// the length; a loop count of 3 gives three copies joined sample-exactly; after a loop
// region's first pass the next frame is the region's start frame; Stop cuts at its frame;
// a fade to 0 steps every 50 ms, never rises, and stops the sound when it ends.
TEST(Sound, FrequencyLoopsStopAndFade) {
    const std::vector<std::int16_t> r = ramp(4410);
    const Game g = run_game("sound_loops", R"(
scene main
{
    CreateSound("fast", "SE", "se/tone");
    SetFrequency("fast", 2000);
    CreateSound("loop", "SE", "se/ramp");
    SetLoop("loop", 3);
    CreateSound("region", "SE", "se/ramp");
    SetLoop("region", 2);
    SetLoopPoint("region", 50, 100);
    CreateSound("stop", "SE", "se/long");
    CreateSound("fade", "BGM", "se/long");
    Wait(100);
    $t = "" + MilliTime(); Request("fast", "Play"); Wait(200);
    $t = $t + "," + MilliTime(); Request("loop", "Play"); Wait(500);
    $t = $t + "," + MilliTime(); Request("region", "Play"); Wait(300);
    $t = $t + "," + MilliTime(); Request("stop", "Play"); Wait(200);
    $t = $t + "," + MilliTime(); Request("stop", "Stop"); Wait(100);
    $t = $t + "," + MilliTime(); Request("fade", "Play"); SetVolume("fade", 0, 500);
    WaitPlay("fade");
    $t = $t + "," + MilliTime();
    WriteFile("times.txt", $t, FALSE);
}
)",
                            {{"se/tone.wav", wav_bytes(constant(4410, 16384))},
                             {"se/ramp.wav", wav_bytes(r)},
                             {"se/long.wav", wav_bytes(constant(44100, 16384))}});
    ASSERT_EQ(g.result.exit_code, 0) << g.result.output;
    const std::vector<std::int64_t> t = read_numbers(g.dir + "/times.txt");
    ASSERT_EQ(t.size(), 7u);
    const Output& o = g.out;

    const std::size_t fast = frame_of(t[0]);
    ASSERT_EQ(first_sound(o), fast);
    EXPECT_EQ(sounding_run(o, fast), 2205u);

    const std::size_t loop = frame_of(t[1]);
    ASSERT_EQ(first_sound(o, fast + 2205), loop);
    ASSERT_EQ(sounding_run(o, loop), 3 * 4410u);
    std::size_t wrong = 0;
    for (std::size_t c = 0; c < 3; ++c)
        for (std::size_t i = 0; i < 4410; ++i)
            wrong += o.left[loop + c * 4410 + i] != r[i] / 32768.0f;
    EXPECT_EQ(wrong, 0u);

    const std::size_t region = frame_of(t[2]);
    ASSERT_EQ(first_sound(o, loop + 3 * 4410), region);
    ASSERT_EQ(sounding_run(o, region), 4410u + 2205u);
    wrong = 0;
    for (std::size_t i = 0; i < 2205; ++i)
        wrong += o.right[region + 4410 + i] != r[2205 + i] / 32768.0f;
    EXPECT_EQ(wrong, 0u) << "the second pass begins at frame floor(50 ms x 44100 / 1000)";

    const std::size_t stop = frame_of(t[3]);
    ASSERT_EQ(first_sound(o, region + 6615), stop);
    EXPECT_EQ(sounding_run(o, stop), frame_of(t[4]) - stop);

    const std::size_t fade = frame_of(t[5]);
    ASSERT_EQ(first_sound(o, stop + sounding_run(o, stop)), fade);
    EXPECT_EQ(sounding_run(o, fade), frame_of(500)) << "the fade ends in a stop at 500 ms";
    EXPECT_LE(t[6] - t[5], 500 + 20) << "WaitPlay ends with the fade's stop";
    // Each 50 ms step holds one level (after the device smooths the change over its 20 ms render
    // step) below the last.
    float last = 1;
    for (std::int64_t step = 0; step < 10; ++step) {
        const std::size_t from = fade + frame_of(step * 50 + 21),
                          to = fade + frame_of(step * 50 + 49);
        const float level = o.left[from];
        for (std::size_t k = from; k < to; ++k) ASSERT_EQ(o.left[k], level) << step;
        EXPECT_LT(level, last) << step;
        last = level;
    }
}

namespace {

bool have_sox() {
    return std::system("sox --version > /dev/null 2>&1") == 0;
}

std::string make_ogg(const std::string& path, const std::string& synth) {
    const std::string cmd = "sox -n -r 44100 -c 1 " + path + " synth " + synth + " 2>&1";
    EXPECT_EQ(std::system(cmd.c_str()), 0) << cmd;
    return read_text(path);
}

} // namespace

// Ogg Vorbis and WAV, loose and from an archive: an Ogg tone starts at its frame and lasts its
// 100 ms; an 8-bit stereo WAV with an odd-sized chunk before its data keeps its channels;
// a sound packed into an archive plays; WaitPlay waits for the end of a sound.
TEST(Sound, OggWavArchivesAndWaitPlay) {
    if (!have_sox()) GTEST_SKIP() << "sox is needed to make the Ogg test sound";
    const std::string scratch = scratch_dir("sound_ogg_make");
    const std::string ogg = make_ogg(scratch + "/tone.ogg", "0.1 square 441 vol 0.5");
    // Frames: left +0.5, right -0.5, 8 bits.
    std::vector<std::int16_t> lr;
    for (int i = 0; i < 4410; ++i) {
        lr.push_back(16384);
        lr.push_back(-16384);
    }
    std::string odd_chunk = "LIST";
    put32(odd_chunk, 3);
    odd_chunk += "abc";
    odd_chunk.push_back(0); // the pad byte of an odd size
    Game g;
    g.dir = scratch_dir("sound_ogg");
    std::filesystem::create_directories(g.dir + "/packed");
    write_text(g.dir + "/se/tone.ogg", ogg);
    write_text(g.dir + "/se/stereo8.wav", wav_bytes(lr, 2, 8, k_rate, odd_chunk));
    write_text(g.dir + "/packed/long.wav", wav_bytes(constant(13230, 16384)));
    const RunResult pack = run_program(k_pack, {g.dir + "/packed.vka", g.dir + "/packed"});
    ASSERT_EQ(pack.exit_code, 0) << pack.output;
    std::filesystem::remove_all(g.dir + "/packed");
    write_text(g.dir + "/start.txt", R"(
scene main
{
    CreateSound("ogg", "BGM", "se/tone");
    CreateSound("wav", "SE", "se/stereo8");
    CreateSound("packed", "VOICE", "packed/long");
    Wait(100);
    $t = "" + MilliTime(); Request("ogg", "Play"); Wait(200);
    $t = $t + "," + MilliTime(); Request("wav", "Play"); Wait(200);
    $t = $t + "," + MilliTime(); Request("packed", "Play"); WaitPlay("packed");
    $t = $t + "," + MilliTime();
    WriteFile("times.txt", $t, FALSE);
}
)");
    g.wav = g.dir + "/out.wav";
    g.result = run_kestrune({"--headless", "--save-dir", g.dir + "/saves", "--audio-out", g.wav,
                             "--max-seconds", "20", g.dir});
    ASSERT_EQ(g.result.exit_code, 0) << g.result.output;
    g.out = read_output(g.wav);
    const std::vector<std::int64_t> t = read_numbers(g.dir + "/times.txt");
    ASSERT_EQ(t.size(), 4u);
    const Output& o = g.out;

    const std::size_t ogg_start = frame_of(t[0]);
    EXPECT_EQ(first_sound(o), ogg_start);
    EXPECT_GT(std::fabs(o.left[ogg_start + 4400]), 0.1f);
    EXPECT_EQ(first_sound(o, ogg_start + 4410), frame_of(t[1])) << "the Ogg lasts 4410 frames";

    const std::size_t wav = frame_of(t[1]);
    EXPECT_EQ(sounding_run(o, wav), 4410u);
    EXPECT_EQ(o.left[wav + 100], 0.5f);
    EXPECT_EQ(o.right[wav + 100], -0.5f);

    const std::size_t packed = frame_of(t[2]);
    EXPECT_EQ(first_sound(o, wav + 4410), packed);
    EXPECT_EQ(sounding_run(o, packed), 13230u);
    EXPECT_GE(t[3] - t[2], 300);
    EXPECT_LT(t[3] - t[2], 300 + 60) << "WaitPlay ends soon after the sound";
}

// Damaged sound files are refused with one message naming the file, or play what is valid;
// none ends the run. A WAV whose data chunk claims more than the file holds plays the
// frames that are there.
TEST(Sound, DamagedFilesAreRefusedOrPlayWhatIsValid) {
    if (!have_sox()) GTEST_SKIP() << "sox is needed to make the Ogg test sound";
    std::string bad_format = wav_bytes(constant(100, 1000));
    bad_format[20] = 3; // format tag: float
    std::string past_end = "RIFF";
    put32(past_end, 100);
    past_end += "WAVEjunk";
    put32(past_end, 0x7FFFFFF0);
    std::string truncated = wav_bytes(constant(4410, 16384));
    truncated.resize(truncated.size() - 4410); // half of the data is missing
    std::string data_first = "RIFF";
    put32(data_first, 100);
    data_first += "WAVEdata";
    put32(data_first, 4);
    data_first += "abcd";
    const std::string scratch = scratch_dir("sound_damaged_make");
    std::string cut_ogg = make_ogg(scratch + "/tone.ogg", "1 sine 440");
    cut_ogg.resize(cut_ogg.size() / 2);
    // Two links, the second at another rate: only the first (100 ms) is played.
    const std::string first_link = make_ogg(scratch + "/a.ogg", "0.1 square 441 vol 0.5");
    const std::string rate_change =
        "sox -n -r 22050 -c 1 " + scratch + "/b.ogg synth 0.5 square 441";
    ASSERT_EQ(std::system(rate_change.c_str()), 0);
    const std::string chained = first_link + read_text(scratch + "/b.ogg");
    const Game g = run_game("sound_damaged", R"(
scene main
{
    CreateSound("a", "SE", "se/bad_format");
    CreateSound("b", "SE", "se/past_end");
    CreateSound("c", "SE", "se/data_first");
    CreateSound("d", "SE", "se/missing");
    CreateSound("e", "SE", "se/text");
    CreateSound("f", "SEx", "se/truncated");
    CreateSound("cut", "BGM", "se/cut");
    Request("cut", "Play");
    WaitPlay("cut");
    CreateSound("t", "SE", "se/truncated");
    $t = "" + MilliTime();
    Request("t", "Play");
    WaitPlay("t");
    Wait(100);
    CreateSound("chained", "SE", "se/chained");
    $t = $t + "," + MilliTime();
    Request("chained", "Play");
    WaitPlay("chained");
    WriteFile("times.txt", $t, FALSE);
}
)",
                            {{"se/bad_format.wav", bad_format},
                             {"se/past_end.wav", past_end},
                             {"se/data_first.wav", data_first},
                             {"se/text.wav", "hello"},
                             {"se/truncated.wav", truncated},
                             {"se/cut.ogg", cut_ogg},
                             {"se/chained.ogg", chained}});
    ASSERT_EQ(g.result.exit_code, 0) << g.result.output;
    const std::string& out = g.result.output;
    for (const char* said : {"\"se/bad_format\": only PCM WAV data is played",
                             "\"se/past_end\": it has no format chunk",
                             "\"se/data_first\": its data chunk comes before the format chunk",
                             "\"se/missing\": no such sound file",
                             "\"se/text\": neither Ogg Vorbis nor WAV", "\"SEx\" is no sound kind"})
        EXPECT_NE(out.find(said), std::string::npos) << said << "\n" << out;
    const std::vector<std::int64_t> t = read_numbers(g.dir + "/times.txt");
    ASSERT_EQ(t.size(), 2u);
    EXPECT_EQ(sounding_run(g.out, frame_of(t[0])), 2205u);
    const std::size_t chained_start = frame_of(t[1]);
    EXPECT_EQ(first_sound(g.out, chained_start - 100), chained_start);
    EXPECT_EQ(first_sound(g.out, chained_start + 4410), g.out.size())
        << "the link at another rate is not played";
}

// Echo with a 300 ms left and a 600 ms right delay: the first echo of a short tone is heard
// at those offsets, in its own channel only.
TEST(Sound, EchoDelaysEachChannel) {
    const Game g = run_game("sound_echo", R"(
scene main
{
    CreateSound("e", "SE", "se/click");
    SoundEffect("e", "Echo", 50, 0, 300, 600);
    Wait(100);
    $t = "" + MilliTime();
    Request("e", "Play");
    WaitPlay("e");
    WriteFile("times.txt", $t, FALSE);
}
)",
                            {{"se/click.wav", wav_bytes(constant(441, 16384))}});
    ASSERT_EQ(g.result.exit_code, 0) << g.result.output;
    const std::vector<std::int64_t> t = read_numbers(g.dir + "/times.txt");
    ASSERT_EQ(t.size(), 1u);
    const Output& o = g.out;
    const std::size_t start = frame_of(t[0]);
    // Dry and wet halves: the tone at a quarter, then each channel's echo at a quarter.
    EXPECT_EQ(o.left[start], 0.25f);
    EXPECT_EQ(o.right[start], 0.25f);
    EXPECT_EQ(o.left[start + 441], 0.0f);
    EXPECT_EQ(o.left[start + frame_of(300) - 1], 0.0f);
    EXPECT_EQ(o.left[start + frame_of(300)], 0.25f);
    EXPECT_EQ(o.right[start + frame_of(300)], 0.0f);
    EXPECT_EQ(o.right[start + frame_of(600) - 1], 0.0f);
    EXPECT_EQ(o.right[start + frame_of(600)], 0.25f);
    EXPECT_EQ(o.left[start + frame_of(600)], 0.0f);
}

// The sound settings: the SE volume setting 500 lowers effects by 10 dB, switching BGM off
// silences music, and SoundAmplitude reads the loudness of a playing sound (0 once it ends).
TEST(Sound, SettingsAndAmplitude) {
    const Game g = run_game("sound_settings", R"(
scene main
{
    #SYSTEM_sound_volume_se = 500;
    #SYSTEM_sound_bgm = 0;
    CreateSound("se", "SE", "se/tone");
    CreateSound("bgm", "BGM", "se/tone");
    Wait(100);
    $t = "" + MilliTime(); Request("se", "Play"); Wait(50);
    $a = SoundAmplitude("se");
    Wait(200);
    $b = SoundAmplitude("se");
    $t = $t + "," + MilliTime(); Request("bgm", "Play"); Wait(200);
    WriteFile("times.txt", $t, FALSE);
    $s = "" + $a + "," + $b;
    WriteFile("amplitude.txt", $s, FALSE);
}
)",
                            {{"se/tone.wav", wav_bytes(constant(4410, 16384))}});
    ASSERT_EQ(g.result.exit_code, 0) << g.result.output;
    const std::vector<std::int64_t> t = read_numbers(g.dir + "/times.txt");
    ASSERT_EQ(t.size(), 2u);
    const std::size_t se = frame_of(t[0]);
    ASSERT_EQ(first_sound(g.out), se);
    EXPECT_EQ(sounding_run(g.out, se), 4410u);
    EXPECT_NEAR(20 * std::log10(g.out.left[se + 100] / 0.5), -10.0, 0.005);
    EXPECT_EQ(first_sound(g.out, se + 4410), g.out.size()) << "music is switched off";
    EXPECT_EQ(read_text(g.dir + "/amplitude.txt"), "16384,0");
}

// A voiced page: in auto mode the page waits for its voice to end; with click_break_voice a
// click ends the page and stops the voice at once; a character whose voices are off (not
// among the switchable names, and voice_enable_another 0) is not heard and not waited for.
TEST(Sound, VoicedPages) {
    const std::string page = R"(
scene main
{
    $SYSTEM_auto_wait_per_character = 10;
    $SYSTEM_text_speed = 0;
    $SYSTEM_text_auto = AUTO_MODE;
    $SYSTEM_click_break_voice = 1;
    #SYSTEM_voice_enable_another = OTHERS;
    CreateColor("bg", 0, 0, 0, 1024, 576, "#000000");
    CreateName("sec");
    Wait(100);
    $t = "" + MilliTime();
    LoadText("main", "sec", "voiced", 1000, 300, NULL, NULL);
    Request("sec/voiced", "Enter");
    Draw();
    WaitText("sec/voiced");
    $t = $t + "," + MilliTime();
    WriteFile("times.txt", $t, FALSE);
<PRE sec>
[voiced]
<VOICE NAME=v1 CLASS=Aki SRC=voice/aki01>Hello.

</PRE>
}
)";
    const std::vector<std::pair<std::string, std::string>> files = {
        {"voice/aki01.wav", wav_bytes(constant(44100, 16384))}};
    {
        SCOPED_TRACE("auto mode");
        std::string script = page;
        script.replace(script.find("AUTO_MODE"), 9, "1");
        script.replace(script.find("OTHERS"), 6, "1");
        const Game g = run_game("sound_voice_auto", script, files);
        ASSERT_EQ(g.result.exit_code, 0) << g.result.output;
        const std::vector<std::int64_t> t = read_numbers(g.dir + "/times.txt");
        ASSERT_EQ(t.size(), 2u);
        const std::size_t voice = first_sound(g.out);
        EXPECT_EQ(sounding_run(g.out, voice), 44100u) << "the whole voice is heard";
        EXPECT_GE(frame_of(t[1]), voice + 44100) << "the page waited for the voice";
    }
    {
        SCOPED_TRACE("click stops the voice");
        std::string script = page;
        script.replace(script.find("AUTO_MODE"), 9, "0");
        script.replace(script.find("OTHERS"), 6, "1");
        const std::string dir = scratch_dir("sound_voice_click_input");
        write_text(dir + "/click.in", "600 click 500 300\n");
        const Game g = run_game("sound_voice_click", script, files, {"--input", dir + "/click.in"});
        ASSERT_EQ(g.result.exit_code, 0) << g.result.output;
        const std::size_t voice = first_sound(g.out);
        ASSERT_LT(voice, frame_of(600));
        const std::size_t heard = sounding_run(g.out, voice);
        EXPECT_GE(voice + heard, frame_of(600));
        EXPECT_LT(voice + heard, frame_of(600 + 50)) << "the click stopped the voice";
    }
    {
        SCOPED_TRACE("voices of other characters off");
        std::string script = page;
        script.replace(script.find("AUTO_MODE"), 9, "1");
        script.replace(script.find("OTHERS"), 6, "0");
        const Game g = run_game("sound_voice_off", script, files);
        ASSERT_EQ(g.result.exit_code, 0) << g.result.output;
        const std::vector<std::int64_t> t = read_numbers(g.dir + "/times.txt");
        ASSERT_EQ(t.size(), 2u);
        EXPECT_EQ(first_sound(g.out), g.out.size()) << "no voice is heard";
        EXPECT_LT(t[1] - t[0], 900) << "the page does not wait for a voice that is off";
    }
}

// Pause holds a sound at its frame and Resume goes on from there: nothing is lost or
// repeated. A relative SetVolume past 1000 is clamped.
TEST(Sound, PauseAndResume) {
    const std::vector<std::int16_t> r = ramp(8820);
    const Game g = run_game("sound_pause", R"(
scene main
{
    CreateSound("s", "BGM", "se/ramp");
    SetVolume("s", 950);
    SetVolume("s", "@100");
    Wait(100);
    $t = "" + MilliTime(); Request("s", "Play"); Wait(100);
    $t = $t + "," + MilliTime(); Request("s", "Pause"); Wait(200);
    $t = $t + "," + MilliTime(); Request("s", "Resume"); WaitPlay("s");
    WriteFile("times.txt", $t, FALSE);
}
)",
                            {{"se/ramp.wav", wav_bytes(r)}});
    ASSERT_EQ(g.result.exit_code, 0) << g.result.output;
    const std::vector<std::int64_t> t = read_numbers(g.dir + "/times.txt");
    ASSERT_EQ(t.size(), 3u);
    const Output& o = g.out;
    const std::size_t start = frame_of(t[0]), pause = frame_of(t[1]), resume = frame_of(t[2]);
    ASSERT_EQ(first_sound(o), start);
    ASSERT_EQ(sounding_run(o, start), pause - start);
    ASSERT_EQ(first_sound(o, pause), resume);
    const std::size_t before = pause - start;
    ASSERT_EQ(sounding_run(o, resume), 8820 - before);
    std::size_t wrong = 0;
    for (std::size_t i = 0; i < before; ++i) wrong += o.left[start + i] != r[i] / 32768.0f;
    for (std::size_t i = before; i < 8820; ++i)
        wrong += o.left[resume + i - before] != r[i] / 32768.0f;
    EXPECT_EQ(wrong, 0u);
}

// With a window and no usable sound device the game runs silent after one message, and a
// sound still lasts as long as it would be heard: WaitPlay waits out two passes of 1 s.
TEST(Sound, NoDeviceRunsSilentWithOneMessage) {
    if (std::system("command -v Xvfb >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "Xvfb is needed for a run with a window";
    const std::string game = scratch_dir("sound_no_device");
    write_text(game + "/long.wav", wav_bytes(constant(44100, 16384)));
    write_text(game + "/start.txt", R"(
scene main
{
    CreateSound("s", "SE", "long");
    SetLoop("s", 2);
    $t = "" + MilliTime();
    Request("s", "Play");
    WaitPlay("s");
    $t = $t + "," + MilliTime();
    WriteFile("times.txt", $t, FALSE);
    Exit();
}
)");
    const XServer x = start_xvfb("1024x576x24");
    if (x.pid < 0) GTEST_SKIP() << "Xvfb could not start";
    setenv("DISPLAY", x.display.c_str(), 1);
    setenv("ALSOFT_DRIVERS", "no-such-driver", 1); // OpenAL finds no device
    const RunResult r =
        run_kestrune({"--save-dir", game + "/saves", "--max-seconds", "10", game}, 60, Clock::wall);
    unsetenv("ALSOFT_DRIVERS");
    unsetenv("DISPLAY");
    stop_child(x.pid);
    ASSERT_EQ(r.exit_code, 0) << r.output;
    const std::string said = "no sound device could be opened; the game runs silent";
    const std::size_t at = r.output.find(said);
    EXPECT_NE(at, std::string::npos) << r.output;
    EXPECT_EQ(r.output.find(said, at + 1), std::string::npos) << "said once";
    const std::vector<std::int64_t> t = read_numbers(game + "/times.txt");
    ASSERT_EQ(t.size(), 2u);
    EXPECT_GE(t[1] - t[0], 2000);
    EXPECT_LT(t[1] - t[0], 3000);
}

// Room reverbs ring on after a sound and chorus changes it; voices take no effect, and a
// parameter out of range is refused with a message, leaving the sound dry.
TEST(Sound, ReverbAndChorus) {
    const Game g = run_game("sound_reverb", R"(
scene main
{
    CreateSound("hall", "SE", "se/tone");
    SoundEffect("hall", "LARGEHALL");
    CreateSound("chorus", "BGM", "se/tone");
    SoundEffect("chorus", "Chorus", 50, 10, 0, 0, 50, 10);
    CreateSound("voice", "VOICE", "se/tone");
    SoundEffect("voice", "Chorus", 50, 10, 0, 0, 50, 10);
    CreateSound("refused", "SE", "se/tone");
    SoundEffect("refused", "Chorus", 500, 10, 0, 0, 50, 10);
    Wait(100);
    $t = "" + MilliTime(); Request("refused", "Play"); Wait(500);
    $t = $t + "," + MilliTime(); Request("hall", "Play"); Wait(3000);
    $t = $t + "," + MilliTime(); Request("chorus", "Play"); Wait(500);
    WriteFile("times.txt", $t, FALSE);
}
)",
                            {{"se/tone.wav", wav_bytes(constant(4410, 16384))}});
    ASSERT_EQ(g.result.exit_code, 0) << g.result.output;
    EXPECT_NE(g.result.output.find("SoundEffect: voice streams take no effect"), std::string::npos)
        << g.result.output;
    EXPECT_NE(g.result.output.find("SoundEffect: Chorus takes mix and depth of 0 to 100"),
              std::string::npos)
        << g.result.output;
    const std::vector<std::int64_t> t = read_numbers(g.dir + "/times.txt");
    ASSERT_EQ(t.size(), 3u);
    const Output& o = g.out;
    auto peak = [&](std::size_t from, std::size_t to) {
        float p = 0;
        for (std::size_t i = from; i < to; ++i) p = std::max(p, std::fabs(o.left[i]));
        return p;
    };
    const std::size_t refused = frame_of(t[0]);
    EXPECT_EQ(first_sound(o), refused);
    EXPECT_EQ(o.left[refused + 2000], 0.5f) << "refused: the sound stays dry";
    EXPECT_EQ(sounding_run(o, refused), 4410u);
    const std::size_t hall = frame_of(t[1]);
    EXPECT_EQ(o.left[hall], 0.5f) << "the dry sound is kept";
    EXPECT_GT(peak(hall + frame_of(150), hall + frame_of(400)), 1e-3f) << "the hall rings on";
    const std::size_t chorus = frame_of(t[2]);
    EXPECT_NE(o.left[chorus + 2000], 0.5f) << "chorus mixes a delayed copy in";
}

// While a system script runs (a shortcut's script here) effects hold and music plays on,
// unless the music was marked with CompulsorySuspend (EntrustSuspend takes the mark back);
// afterwards a held sound goes on from where it stood.
TEST(Sound, SystemScriptHoldsEffectsNotMusic) {
    const std::string dir = scratch_dir("sound_system_pause_input");
    write_text(dir + "/press.in", "500 key S\n520 keyup S\n");
    const struct {
        const char* words;
        std::size_t music_runs;
    } cases[] = {
        {"", 1},
        {"Request(\"music\", \"CompulsorySuspend\");", 2},
        {"Request(\"music\", \"CompulsorySuspend\"); Request(\"music\", \"EntrustSuspend\");", 1}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.words);
        std::string script = R"(
scene main
{
    SetShortcut("S", "shortcut.txt");
    CreateSound("music", "BGM", "se/long");
    SetPan("music", -1000);
    CreateSound("effect", "SE", "se/long");
    SetPan("effect", 1000);
    WORDS
    Wait(100);
    $t = "" + MilliTime();
    Request("music", "Play");
    Request("effect", "Play");
    Wait(2500);
    WriteFile("times.txt", $t, FALSE);
}
)";
        script.replace(script.find("WORDS"), 5, c.words);
        const Game g = run_game("sound_system_pause", script,
                                {{"se/long.wav", wav_bytes(constant(44100, 16384))},
                                 {"shortcut.txt", "scene main\n{\n    Wait(300);\n}\n"}},
                                {"--input", dir + "/press.in"});
        ASSERT_EQ(g.result.exit_code, 0) << g.result.output;
        const std::vector<std::int64_t> t = read_numbers(g.dir + "/times.txt");
        ASSERT_EQ(t.size(), 1u);
        const Output& o = g.out;
        // Music is the left channel, the effect the right one.
        std::size_t counts[2] = {0, 0}, runs[2] = {0, 0};
        bool was[2] = {false, false};
        for (std::size_t i = frame_of(t[0]); i < o.size(); ++i) {
            const bool now[2] = {o.left[i] != 0, o.right[i] != 0};
            for (int k = 0; k < 2; ++k) {
                counts[k] += now[k];
                runs[k] += now[k] && !was[k];
                was[k] = now[k];
            }
        }
        EXPECT_EQ(counts[0], 44100u) << "nothing of the music is lost";
        EXPECT_EQ(counts[1], 44100u) << "nothing of the effect is lost";
        EXPECT_EQ(runs[0], c.music_runs);
        EXPECT_EQ(runs[1], 2u) << "the effect held while the system script ran";
    }
}

// SetStream moves a sound to a time of its data: a playing sound goes on from there at the
// frame of the call, a paused one when it resumes, and a stopped one plays from there.
TEST(Sound, SetStreamSeeks) {
    const std::vector<std::int16_t> m = music(44100);
    const Game g = run_game("sound_set_stream", R"(
scene main
{
    CreateSound("m", "BGM", "se/music");
    Wait(100);
    $t = "" + MilliTime(); Request("m", "Play"); Wait(200);
    $t = $t + "," + MilliTime(); SetStream("m", 500); Wait(100);
    $t = $t + "," + MilliTime(); Request("m", "Pause"); SetStream("m", 100); Wait(100);
    $t = $t + "," + MilliTime(); Request("m", "Resume"); Wait(100);
    $t = $t + "," + MilliTime(); Request("m", "Stop"); SetStream("m", 900); Wait(100);
    $t = $t + "," + MilliTime(); Request("m", "Play"); WaitPlay("m");
    WriteFile("times.txt", $t, FALSE);
}
)",
                            {{"se/music.wav", wav_bytes(m)}});
    ASSERT_EQ(g.result.exit_code, 0) << g.result.output;
    const std::vector<std::int64_t> t = read_numbers(g.dir + "/times.txt");
    ASSERT_EQ(t.size(), 6u);
    const Output& o = g.out;
    std::vector<std::size_t> f;
    for (std::int64_t ms : t) f.push_back(frame_of(ms));
    EXPECT_EQ(mismatches(o, f[0], m, 0, f[1] - f[0]), 0u) << "from the start";
    EXPECT_EQ(mismatches(o, f[1], m, frame_of(500), f[2] - f[1]), 0u) << "seeking while playing";
    EXPECT_EQ(first_sound(o, f[2]), f[3]) << "silent while paused";
    EXPECT_EQ(mismatches(o, f[3], m, frame_of(100), f[4] - f[3]), 0u) << "seeking while paused";
    EXPECT_EQ(first_sound(o, f[4]), f[5]) << "silent while stopped";
    EXPECT_EQ(sounding_run(o, f[5]), 44100 - frame_of(900));
    EXPECT_EQ(mismatches(o, f[5], m, frame_of(900), 44100 - frame_of(900)), 0u)
        << "seeking while stopped";
}
