// Whole-game runs of sounds and what the screen shows: while the backlog screen is open (a
// system script) effects and voices hold, and so does music marked with CompulsorySuspend;
// unmarked music plays on; when the screen closes, a held sound goes on from the frame
// where it stood, with nothing lost. A voiced page paced by its voice (voice sync).
#include "run_game.h"
#include "sound_output.h"

#include <gtest/gtest.h>

#include <filesystem>

using namespace kestrune::testing;

TEST(SoundBacklog, BacklogHoldsEffectsAndMarkedMusic) {
    const struct {
        const char* words;
        std::size_t music_runs;
    } cases[] = {{"", 1}, {"Request(\"music\", \"CompulsorySuspend\");", 2}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.words);
        const std::string game = copy_game("backlog", "sound_backlog");
        std::string script = R"(
scene main
{
    CreateColor("bg", 0, 0, 0, 1024, 576, "#003000");
    SetBacklog("a line to look back at", "NULL", "");
    CreateSound("music", "BGM", "long");
    SetPan("music", -1000);
    CreateSound("effect", "SE", "long");
    SetPan("effect", 1000);
    WORDS
    Wait(100);
    $t = "" + MilliTime();
    Request("music", "Play");
    Request("effect", "Play");
    WaitKey();
    WriteFile("times.txt", $t, FALSE);
    Wait(2500);
}
)";
        script.replace(script.find("WORDS"), 5, c.words);
        write_text(game + "/start.txt", script);
        // The screen's script notes when it ends (the state goes back to normal play then).
        std::string screen = read_text(game + "/backlog.txt");
        screen.insert(screen.rfind('}'),
                      "    $e = \"\" + MilliTime();\n    WriteFile(\"closed.txt\", $e, FALSE);\n");
        write_text(game + "/backlog.txt", screen);
        write_text(game + "/long.wav", wav_bytes(constant(2 * 44100, 16384)));
        // The wheel opens the screen at 1000 ms, a right click closes it at 1800 ms.
        write_text(game + "/test.in", "1000 wheel up\n1800 rclick 500 300\n2600 click 500 300\n");
        const std::string wav = game + "/out.wav";
        const RunResult r =
            run_kestrune({"--headless", "--save-dir", game + "/saves", "--input", game + "/test.in",
                          "--audio-out", wav, "--max-seconds", "8", game});
        ASSERT_EQ(r.exit_code, 0) << r.output;
        ASSERT_TRUE(std::filesystem::exists(game + "/backlog_log.txt")) << "the screen opened";
        const std::vector<std::int64_t> t = read_numbers(game + "/times.txt");
        ASSERT_EQ(t.size(), 1u);
        const std::vector<std::int64_t> closed = read_numbers(game + "/closed.txt");
        ASSERT_EQ(closed.size(), 1u);
        const Output o = read_output(wav);
        // Music is the left channel, the effect the right one.
        std::size_t counts[2] = {0, 0}, runs[2] = {0, 0}, gap_start[2] = {0, 0},
                    gap_end[2] = {0, 0};
        bool was[2] = {false, false};
        for (std::size_t i = frame_of(t[0]); i < o.size(); ++i) {
            const bool now[2] = {o.left[i] != 0, o.right[i] != 0};
            for (int k = 0; k < 2; ++k) {
                counts[k] += now[k];
                if (now[k] && !was[k] && ++runs[k] == 2) gap_end[k] = i;
                if (!now[k] && was[k] && runs[k] == 1) gap_start[k] = i;
                was[k] = now[k];
            }
        }
        EXPECT_EQ(counts[0], 2 * 44100u) << "nothing of the music is lost";
        EXPECT_EQ(counts[1], 2 * 44100u) << "nothing of the effect is lost";
        EXPECT_EQ(runs[0], c.music_runs);
        ASSERT_EQ(runs[1], 2u) << "the effect held while the backlog was open";
        EXPECT_GE(gap_start[1], frame_of(1000));
        EXPECT_LT(gap_start[1], frame_of(1000 + 50)) << "held when the screen opened";
        // The screen's script ends at `closed`; the engine is back in normal play a few
        // frames of the screen later, and the held sounds go on then.
        EXPECT_GE(gap_end[1], frame_of(closed[0]));
        EXPECT_LT(gap_end[1], frame_of(closed[0] + 250)) << "going on when it closed";
        if (c.music_runs == 2) {
            EXPECT_EQ(gap_start[0], gap_start[1]);
            EXPECT_EQ(gap_end[0], gap_end[1]);
        }
    }
}

// Voice sync: a page of ten characters with a 3200 ms voice shows a character every
// (3200 - 200) / 10 = 300 ms, so that the page is out as the voice ends; with
// ignore_voice_sync_text the page shows at its own (much faster) speed. The voice is
// heard whole either way.
TEST(SoundBacklog, VoiceSyncSpacesTheCharactersOverTheVoice) {
    const struct {
        const char* ignore;
        std::int64_t first_ms, last_ms; // of the last change of the picture
    } cases[] = {{"0", 2700, 3200}, {"1", 0, 600}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.ignore);
        std::string script = R"(
scene main
{
    $SYSTEM_sync_voice_and_text = 1;
    $SYSTEM_ignore_voice_sync_text = IGNORE;
    CreateColor("bg", 0, 0, 0, 1024, 576, "#000000");
    CreateName("sec");
    Wait(100);
    LoadText("main", "sec", "voiced", 1000, 300, NULL, NULL);
    Request("sec/voiced", "Enter");
    Draw();
    $t = "" + MilliTime();
    WriteFile("times.txt", $t, FALSE);
    $i = 0;
    while ($i < 36)
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
)";
        script.replace(script.find("IGNORE"), 6, c.ignore);
        const Game g = run_game("sound_voice_sync", script,
                                {{"voice/aki01.wav", wav_bytes(constant(3200 * 441 / 10, 16384))}});
        ASSERT_EQ(g.result.exit_code, 0) << g.result.output;
        const std::size_t voice = first_sound(g.out);
        EXPECT_EQ(sounding_run(g.out, voice), 3200u * 441 / 10) << "the whole voice is heard";
        ASSERT_FALSE(read_text(g.dir + "/shot0.vkf").empty());
        const std::vector<std::int64_t> changes = picture_changes(g.dir, 36);
        const std::int64_t last_change = changes.empty() ? -1 : changes.back();
        EXPECT_GE(last_change, c.first_ms);
        EXPECT_LE(last_change, c.last_ms);
        if (c.ignore[0] != '0') continue;
        // The screenshots are 100 ms apart: each character comes 300 ms (give or take one
        // screenshot) after the one before.
        EXPECT_EQ(changes.size(), 10u) << "one character at a time";
        for (std::size_t k = 1; k < changes.size(); ++k) {
            EXPECT_GE(changes[k] - changes[k - 1], 200) << k;
            EXPECT_LE(changes[k] - changes[k - 1], 400) << k;
        }
    }
}
