// Whole-game runs of sounds in saves: a sound saved while it plays goes on after the load
// from the frame the listener had reached, in the same run or a new one, with its state,
// settings, loops, effect and fades; a damaged sound record is refused without harm.
#include "run_game.h"
#include "sound_output.h"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>

using namespace kestrune::testing;

namespace {

constexpr std::size_t k_music_frames = 44100;

const char* const k_same_run = R"(
scene main
{
    CreateSound("m", "BGM", "se/music");
    SetLoop("m", 2);
    SETTINGS
    Wait(100);
    $t = "" + MilliTime();
    Request("m", "Play");
    Wait(700);
    BEFORE_SAVE
    $t = $t + "," + MilliTime();
    Save(1);
    if (#loads == 0)
    {
        #loads = 1;
        Wait(300);
        $l = "" + MilliTime();
        WriteFile("load.txt", $l, FALSE);
        Load(1);
    }
    $t = $t + "," + MilliTime();
    AFTER_LOAD
    WriteFile("times.txt", $t, FALSE);
    WaitPlay("m");
    Wait(800);
}
)";

std::string fill(std::string script, const char* settings, const char* before, const char* after) {
    for (auto [key, value] : {std::pair{"SETTINGS", settings}, std::pair{"BEFORE_SAVE", before},
                              std::pair{"AFTER_LOAD", after}})
        script.replace(script.find(key), std::string(key).size(), value);
    return script;
}

} // namespace

// Music saved 700 ms into its first of two passes, loaded 300 ms later in the same run: what
// is heard up to the load is the first run's, and from the frame of the load on the music
// goes on from the saved frame, sample for sample, to the end of its second pass. Saved
// paused, it stays silent after the load until Resume. With an echo (mix 50 %), the
// effect comes back: the dry half of the music is heard at once. With a loop region of
// 200 to 600 ms, saved in its second pass, the load goes on inside the region and ends at
// its end.
TEST(SoundSaves, MusicGoesOnFromTheSavedFrame) {
    const std::vector<std::int16_t> m = music(k_music_frames);
    const struct {
        const char* name;
        const char* settings;
        const char* before;
        const char* after;
        float gain;
        std::size_t loop_start, loop_end; // frames; equal: no region
    } cases[] = {
        {"playing", "", "", "", 1.0f, 0, 0},
        {"paused", "", "Request(\"m\", \"Pause\");", "Wait(200); Request(\"m\", \"Resume\");", 1.0f,
         0, 0},
        {"echo", "SoundEffect(\"m\", \"Echo\", 50, 0, 300, 300);", "", "", 0.5f, 0, 0},
        {"region", "SetLoopPoint(\"m\", 200, 600);", "", "", 1.0f, 8820, 26460},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const Game g = run_game(std::string("sound_save_") + c.name,
                                fill(k_same_run, c.settings, c.before, c.after),
                                {{"se/music.wav", wav_bytes(m)}});
        ASSERT_EQ(g.result.exit_code, 0) << g.result.output;
        const std::vector<std::int64_t> t = read_numbers(g.dir + "/times.txt");
        const std::vector<std::int64_t> load = read_numbers(g.dir + "/load.txt");
        ASSERT_EQ(t.size(), 3u);
        ASSERT_EQ(load.size(), 1u);
        const Output& o = g.out;
        const std::size_t play = frame_of(t[0]), save = frame_of(t[1]), loaded = frame_of(load[0]);
        // The data frame heard at the save, and how many frames the two passes hold.
        const std::size_t heard = save - play;
        std::size_t saved = heard, total = 2 * k_music_frames;
        if (c.loop_end > c.loop_start) {
            ASSERT_GE(heard, c.loop_end) << "saved in the second pass";
            saved = c.loop_start + (heard - c.loop_end);
            total = c.loop_end + (c.loop_end - c.loop_start);
        }
        ASSERT_EQ(first_sound(o), play);
        if (c.gain == 1.0f && c.loop_end == 0) {
            EXPECT_EQ(mismatches(o, play, m, 0, save - play), 0u) << "before the save";
        }
        // After the load: the saved frame at the frame of the load (or of Resume).
        const std::size_t from = std::string(c.name) == "paused" ? frame_of(t[2] + 200) : loaded;
        if (std::string(c.name) == "paused") {
            EXPECT_EQ(first_sound(o, loaded), from) << "silent until Resume";
        }
        const std::size_t rest = total - heard;
        const std::size_t checked = c.gain == 1.0f ? rest : frame_of(300);
        EXPECT_EQ(mismatches(o, from, m, saved, checked, c.gain), 0u) << "after the load";
        if (c.gain == 1.0f) {
            EXPECT_EQ(sounding_run(o, from), rest) << "both passes end where they would";
        } else {
            EXPECT_GE(sounding_run(o, from), rest + frame_of(250)) << "the echo rings on";
        }
    }
}

// A save loaded by a new run: the music starts with the run at the saved frame.
TEST(SoundSaves, NewRunLoadsTheMusicAtTheSavedFrame) {
    const std::vector<std::int16_t> m = music(k_music_frames);
    const std::string script = R"(
scene main
{
    if (#phase == 1)
    {
        #loading = 1;
        Load(1);
    }
    CreateSound("m", "BGM", "se/music");
    Wait(100);
    $t = "" + MilliTime();
    Request("m", "Play");
    Wait(400);
    $t = $t + "," + MilliTime();
    #phase = 1;
    Save(1);
    if (#loading == 0)
    {
        WriteFile("saved.txt", $t, FALSE);
        Exit();
    }
    $l = "" + MilliTime();
    WriteFile("loaded.txt", $l, FALSE);
    WaitPlay("m");
}
)";
    const std::vector<std::pair<std::string, std::string>> files = {{"se/music.wav", wav_bytes(m)}};
    const Game first = run_game("sound_save_new_run", script, files);
    ASSERT_EQ(first.result.exit_code, 0) << first.result.output;
    const std::vector<std::int64_t> t = read_numbers(first.dir + "/saved.txt");
    ASSERT_EQ(t.size(), 2u);
    const std::size_t saved = frame_of(t[1]) - frame_of(t[0]);
    // The second run plays in the same folder (scratch_dir would empty it).
    const std::string wav = first.dir + "/out2.wav";
    const RunResult second = run_kestrune({"--headless", "--save-dir", first.dir + "/saves",
                                           "--audio-out", wav, "--max-seconds", "20", first.dir});
    ASSERT_EQ(second.exit_code, 0) << second.output;
    const std::vector<std::int64_t> loaded = read_numbers(first.dir + "/loaded.txt");
    ASSERT_EQ(loaded.size(), 1u);
    const Output o = read_output(wav);
    const std::size_t from = first_sound(o);
    EXPECT_LE(from, frame_of(loaded[0]));
    EXPECT_EQ(sounding_run(o, from), k_music_frames - saved);
    EXPECT_EQ(mismatches(o, from, m, saved, k_music_frames - saved), 0u);
}

// A volume fade to 0 over 1000 ms, saved 400 ms in, goes on from its saved level after the
// load and ends in a stop 600 ms later; the sound keeps its pan (-20 dB on the right).
TEST(SoundSaves, FadeAndPanGoOnAfterTheLoad) {
    const Game g = run_game("sound_save_fade", R"(
scene main
{
    CreateSound("m", "BGM", "se/long");
    SetPan("m", -200);
    Wait(100);
    $t = "" + MilliTime();
    Request("m", "Play");
    SetVolume("m", 0, 1000);
    Wait(400);
    $t = $t + "," + MilliTime();
    Save(1);
    if (#loads == 0)
    {
        #loads = 1;
        Wait(300);
        Load(1);
    }
    $t = $t + "," + MilliTime();
    WriteFile("times.txt", $t, FALSE);
    WaitPlay("m");
    $t = $t + "," + MilliTime();
    WriteFile("times.txt", $t, FALSE);
}
)",
                            {{"se/long.wav", wav_bytes(constant(3 * 44100, 16384))}});
    ASSERT_EQ(g.result.exit_code, 0) << g.result.output;
    const std::vector<std::int64_t> t = read_numbers(g.dir + "/times.txt");
    ASSERT_EQ(t.size(), 4u);
    const Output& o = g.out;
    const std::size_t save = frame_of(t[1]), loaded = frame_of(t[2]);
    // The level the fade had reached at the save (its step of 400 ms falls on the save).
    const float at_save = o.left[save + frame_of(25)];
    EXPECT_GT(at_save, 0.0f);
    // The device smooths a change of level over its 20 ms render step.
    const float after = o.left[loaded + frame_of(25)];
    EXPECT_NEAR(after, at_save, at_save * 0.02f) << "the fade resumes at its saved level";
    EXPECT_NEAR(o.right[loaded + frame_of(25)] / after, 0.1f, 1e-4f) << "the pan is kept";
    const std::size_t heard = sounding_run(o, loaded);
    EXPECT_NEAR(double(heard), double(frame_of(600)), double(frame_of(60)))
        << "the fade ends in a stop where it would have";
    EXPECT_NEAR(double(t[3] - t[2]), 600.0, 60.0);
}

// A sound record with a value out of its range in the slot is refused with a message; the
// run goes on, no sound is heard, and the load brings back the rest of the scene.
TEST(SoundSaves, DamagedRecordIsRefused) {
    const std::string script = R"(
scene main
{
    if (#phase == 1)
    {
        #loading = 1;
        Load(1);
    }
    CreateSound("m", "BGM", "se/music");
    CreateColor("c", 1, 0, 0, 64, 48, "#FF0000");
    Draw();
    Request("m", "Play");
    Wait(200);
    #phase = 1;
    Save(1);
    if (#loading == 0)
    {
        Exit();
    }
    $l = "" + ImageHorizon("c");
    WriteFile("loaded.txt", $l, FALSE);
    Wait(500);
}
)";
    const Game first =
        run_game("sound_save_damaged", script, {{"se/music.wav", wav_bytes(music(44100))}});
    ASSERT_EQ(first.result.exit_code, 0) << first.result.output;
    const std::string content = read_save_block(first.dir + "/saves/0001/frames.vkf");
    const std::size_t tag = content.find("SOND");
    ASSERT_NE(tag, std::string::npos);
    const std::size_t body = tag + 8; // after the tag and the section's length
    expect_each_refused(
        first, content,
        {
            {body, 99, "a sound state out of range"},
            {body, 18, "a sound state out of range"},
            {body + 2, 0x40, "a sound setting out of range"},             // volume over 1000
            {body + 1 + 4 * 4 + 3, 0x80, "a sound setting out of range"}, // play counter < 1
        },
        "64");
}

namespace {

const char* const k_voiced_page = R"(
scene main
{
    $SYSTEM_auto_wait_per_character = 10;
    $SYSTEM_text_speed = 0;
    $SYSTEM_text_auto = 1;
    #SYSTEM_voice_enable_another = 1;
    if (#phase == 1)
    {
        #loading = 1;
        Load(1);
    }
    CreateColor("bg", 0, 0, 0, 1024, 576, "#000000");
    CreateName("sec");
    Wait(100);
    LoadText("main", "sec", "voiced", 1000, 300, NULL, NULL);
    Request("sec/voiced", "Enter");
    Draw();
    Wait(400);
    $t = "" + MilliTime();
    #phase = 1;
    Save(1);
    AFTER_SAVE
    $t = $t + "," + MilliTime();
    $h = "" + ImageHorizon("bg");
    WriteFile("loaded.txt", $h, FALSE);
    WaitText("sec/voiced");
    $t = $t + "," + MilliTime();
    WriteFile("times.txt", $t, FALSE);
<PRE sec>
[voiced]
<VOICE NAME=v1 CLASS=Aki SRC=voice/aki01>Hello.

</PRE>
}
)";

std::string voiced_page(const char* after_save) {
    std::string s = k_voiced_page;
    s.replace(s.find("AFTER_SAVE"), 10, after_save);
    return s;
}

} // namespace

// A page whose voice plays at the save: after the load (in the same run, 300 ms later, or
// in a new run) the voice goes on from the frame the listener had reached, sample for
// sample, and auto mode still waits for its end before the page is done.
TEST(SoundSaves, PageVoiceGoesOnFromTheSavedFrame) {
    const std::vector<std::int16_t> m = music(44100);
    const std::vector<std::pair<std::string, std::string>> files = {
        {"voice/aki01.wav", wav_bytes(m)}};
    {
        SCOPED_TRACE("same run");
        const Game g = run_game("sound_save_voice", voiced_page(R"(
    if (#loads == 0)
    {
        #loads = 1;
        Wait(300);
        $l = "" + MilliTime();
        WriteFile("load.txt", $l, FALSE);
        Load(1);
    })"),
                                files);
        ASSERT_EQ(g.result.exit_code, 0) << g.result.output;
        const std::vector<std::int64_t> t = read_numbers(g.dir + "/times.txt");
        const std::vector<std::int64_t> load = read_numbers(g.dir + "/load.txt");
        ASSERT_EQ(t.size(), 3u);
        ASSERT_EQ(load.size(), 1u);
        const Output& o = g.out;
        const std::size_t voice = first_sound(o), loaded = frame_of(load[0]);
        const std::size_t saved = frame_of(t[0]) - voice, rest = m.size() - saved;
        ASSERT_LT(voice, frame_of(t[0]));
        EXPECT_EQ(mismatches(o, voice, m, 0, loaded - voice), 0u) << "before the load";
        EXPECT_EQ(mismatches(o, loaded, m, saved, rest), 0u) << "after the load";
        EXPECT_EQ(sounding_run(o, loaded), rest) << "the voice ends where it would";
        EXPECT_GE(frame_of(t[2]), loaded + rest) << "auto mode waits for the voice";
        EXPECT_LT(t[2] - t[1], 2000);
    }
    {
        SCOPED_TRACE("new run");
        const Game first = run_game("sound_save_voice_new_run", voiced_page(R"(
    if (#loading == 0)
    {
        WriteFile("times.txt", $t, FALSE);
        Exit();
    })"),
                                    files);
        ASSERT_EQ(first.result.exit_code, 0) << first.result.output;
        const std::vector<std::int64_t> t0 = read_numbers(first.dir + "/times.txt");
        ASSERT_EQ(t0.size(), 1u);
        const std::size_t voice = first_sound(first.out);
        const std::size_t saved = frame_of(t0[0]) - voice, rest = m.size() - saved;
        const std::string wav = first.dir + "/out2.wav";
        const RunResult second =
            run_kestrune({"--headless", "--save-dir", first.dir + "/saves", "--audio-out", wav,
                          "--max-seconds", "20", first.dir});
        ASSERT_EQ(second.exit_code, 0) << second.output;
        const std::vector<std::int64_t> t = read_numbers(first.dir + "/times.txt");
        ASSERT_EQ(t.size(), 3u);
        const Output o = read_output(wav);
        const std::size_t from = first_sound(o);
        EXPECT_LE(from, frame_of(t[1]));
        EXPECT_EQ(sounding_run(o, from), rest);
        EXPECT_EQ(mismatches(o, from, m, saved, rest), 0u);
        EXPECT_GE(frame_of(t[2]), from + rest) << "auto mode waits for the voice";
    }
}

// A load stops the page voice that plays when the save it loads had none.
TEST(SoundSaves, LoadStopsTheVoiceOfThePageBefore) {
    const Game g = run_game("sound_save_voice_before", R"(
scene main
{
    #SYSTEM_voice_enable_another = 1;
    CreateColor("bg", 0, 0, 0, 1024, 576, "#000000");
    CreateName("sec");
    Wait(100);
    Save(1);
    if (#loads == 0)
    {
        LoadText("main", "sec", "voiced", 1000, 300, NULL, NULL);
        Request("sec/voiced", "Enter");
        Draw();
        Wait(300);
        #loads = 1;
        $l = "" + MilliTime();
        WriteFile("load.txt", $l, FALSE);
        Load(1);
    }
    Wait(1000);
<PRE sec>
[voiced]
<VOICE NAME=v1 CLASS=Aki SRC=voice/aki01>Hello.
</PRE>
}
)",
                            {{"voice/aki01.wav", wav_bytes(music(44100))}});
    ASSERT_EQ(g.result.exit_code, 0) << g.result.output;
    const std::vector<std::int64_t> load = read_numbers(g.dir + "/load.txt");
    ASSERT_EQ(load.size(), 1u);
    const std::size_t voice = first_sound(g.out), loaded = frame_of(load[0]);
    ASSERT_LT(voice, loaded);
    EXPECT_EQ(voice + sounding_run(g.out, voice), loaded) << "heard up to the load";
    EXPECT_EQ(first_sound(g.out, loaded), g.out.size()) << "and not after it";
}

// A damaged voice section refuses its text object with a message; the rest of the scene
// comes back and no voice is heard.
TEST(SoundSaves, DamagedVoiceRecordIsRefused) {
    const Game first = run_game("sound_save_voice_damaged", voiced_page(R"(
    if (#loading == 0)
    {
        Exit();
    })"),
                                {{"voice/aki01.wav", wav_bytes(music(44100))}});
    ASSERT_EQ(first.result.exit_code, 0) << first.result.output;
    const std::string content = read_save_block(first.dir + "/saves/0001/frames.vkf");
    const std::size_t tag = content.find("TVOI");
    ASSERT_NE(tag, std::string::npos);
    const std::size_t body = tag + 8;            // after the tag and the length
    const std::size_t state = body + 4 + 4 + 11; // after the slot and "voice/aki01"
    expect_each_refused(
        first, content,
        {
            {body + 3, 0x80, "a voice slot out of range"},
            {body + 1, 0x7F, "a voice slot out of range"},
            {body + 8, 'x', "the page's voice is not the saved one"},
            {state, 18, "a voice state out of range"},
            {state + 2, 0x40, "a voice setting out of range"},             // volume over 1000
            {state + 1 + 4 + 8 + 3, 0x80, "a voice setting out of range"}, // sync interval < 0
        },
        "1024");
    // A voice file gone since the save: the page comes back without its voice.
    std::filesystem::remove(first.dir + "/voice/aki01.wav");
    const Game g = run_again_with_block(first, content, "out3.wav");
    ASSERT_EQ(g.result.exit_code, 0) << g.result.output;
    EXPECT_NE(g.result.output.find("cannot go on after the load"), std::string::npos)
        << g.result.output;
    EXPECT_EQ(g.result.output.find("section refused"), std::string::npos) << g.result.output;
    EXPECT_EQ(read_text(first.dir + "/loaded.txt"), "1024");
    EXPECT_EQ(first_sound(g.out), g.out.size());
}

// Voice sync after a load: a page of ten characters with a 3200 ms voice shows one every
// 300 ms; saved 1000 ms in and loaded 300 ms later, the rest of the page goes on at that
// pace along the voice (without the saved pacing it would all show at once).
TEST(SoundSaves, VoiceSyncGoesOnAfterTheLoad) {
    const Game g = run_game("sound_save_voice_sync", R"(
scene main
{
    $SYSTEM_sync_voice_and_text = 1;
    CreateColor("bg", 0, 0, 0, 1024, 576, "#000000");
    CreateName("sec");
    Wait(100);
    LoadText("main", "sec", "voiced", 1000, 300, NULL, NULL);
    Request("sec/voiced", "Enter");
    Draw();
    Wait(1000);
    Save(1);
    if (#loads == 0)
    {
        #loads = 1;
        Wait(300);
        Load(1);
    }
    $i = 0;
    while ($i < 30)
    {
        WriteImage("shot" + $i + ".vkf");
        Wait(100);
        $i++;
    }
<PRE sec>
[voiced]
<VOICE NAME=v1 CLASS=Aki SRC=voice/aki01>ABCDEFGHIJ
</PRE>
}
)",
                            {{"voice/aki01.wav", wav_bytes(constant(3200 * 441 / 10, 16384))}});
    ASSERT_EQ(g.result.exit_code, 0) << g.result.output;
    ASSERT_FALSE(read_text(g.dir + "/shot0.vkf").empty());
    const std::vector<std::int64_t> changes = picture_changes(g.dir, 30);
    // Four characters were out at the save; the other six follow 300 ms apart.
    ASSERT_GE(changes.size(), 5u);
    EXPECT_LE(changes.size(), 7u);
    for (std::size_t k = 1; k < changes.size(); ++k) {
        EXPECT_GE(changes[k] - changes[k - 1], 200) << k;
        EXPECT_LE(changes[k] - changes[k - 1], 400) << k;
    }
    EXPECT_GE(changes.back(), 1500) << "the page keeps the voice's pace";
    EXPECT_LE(changes.back(), 2400);
}
