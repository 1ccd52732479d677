// Movies through whole games: lossless clips made here (FFV1, exact colours) shown by
// CreateMovie and CreateMask, the requests, looping, seeking, MoviePlay, and bad files.
// Runs are stepped: the frame shown at an engine time is always the same one.
#include "movie_clips.h"
#include "run_game.h"

#include "scene/frame_buffer.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

using namespace kestrune;
using namespace kestrune::testing;

namespace {

// Colour of pixel (x, y) in frame n of the test clips: every frame and position differs.
std::uint32_t clip_colour(int n, int x, int y) {
    const std::uint32_t r = static_cast<std::uint32_t>(40 + n * 50) & 0xFF;
    const std::uint32_t g = static_cast<std::uint32_t>(x * 7 + y) & 0xFF;
    const std::uint32_t b = static_cast<std::uint32_t>(y * 11 + n * 3) & 0xFF;
    return (r << 16) | (g << 8) | b;
}

// Writes a clip of four 100 ms frames into the game folder.
void four_frames(const std::string& path, int w = 33, int h = 17) {
    ClipSpec spec;
    spec.width = w;
    spec.height = h;
    spec.colour = clip_colour;
    ASSERT_TRUE(write_clip(path, spec));
}

struct GameRun {
    std::string game;
    RunResult result;
};

// Runs start.txt of a fresh game folder; `prepare` puts the movies in place first.
GameRun run_game(const std::string& name, const std::string& script,
                 const std::function<void(const std::string&)>& prepare,
                 std::vector<std::string> extra = {}) {
    GameRun run;
    run.game = scratch_dir(name);
    prepare(run.game);
    write_text(run.game + "/start.txt", script);
    std::vector<std::string> args = {"--headless", "--save-dir", run.game + "/saves",
                                     "--max-seconds", "20"};
    for (auto& e : extra) {
        if (e.find("GAME") != std::string::npos) e.replace(e.find("GAME"), 4, run.game);
        args.push_back(e);
    }
    args.push_back(run.game);
    run.result = run_kestrune(args, 120);
    return run;
}

// Waits for engine time `ms`, then runs the body.
std::string at(int ms, const std::string& body) {
    return "scene main\n{\n    while (MilliTime() < " + std::to_string(ms) + ") { Wait(1); }\n" +
           body + "\n}\n";
}

PixelImage frame_png(const std::string& png) {
    PixelImage img;
    if (!scene::read_png_bgra(png.c_str(), img)) ADD_FAILURE() << "no frame " << png;
    return img;
}

// How many pixels of the w x h area at (ox, oy) differ from frame n of the clip.
int clip_mismatches(const PixelImage& img, int n, int ox, int oy, int w, int h) {
    if (img.empty()) return -1;
    int bad = 0;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const std::uint8_t* p = img.row(oy + y) + (ox + x) * 4;
            const std::uint32_t want = clip_colour(n, x, y);
            const std::uint32_t got = (std::uint32_t(p[2]) << 16) | (p[1] << 8) | p[0];
            bad += got != want;
        }
    return bad;
}

TEST(Movies, TextureShowsTheClipsExactPixelsAtItsTimes) {
    // An odd width (33) must not spill a row into the next or past the image. (The
    // rasteriser leaves out the last column of any odd-width image, a colour plane too, so
    // the first 32 columns are compared.)
    const GameRun run =
        run_game("movie_pixels", at(300, R"(
    CreateMovie("m", 10, 10, 20, FALSE, FALSE, "clip.mkv", 1000);
    Draw();
    $t = MilliTime();
    WaitPlay("m");
    $out = String("%d", MilliTime() - $t);
    WriteFile("played.txt", $out, FALSE);
    Wait(600);
)"),
                 [](const std::string& g) { four_frames(g + "/clip.mkv"); },
                 {"--screenshot", "360=GAME/f0.png", "--screenshot", "560=GAME/f2.png",
                  "--screenshot", "660=GAME/f3.png", "--screenshot", "1200=GAME/end.png"});
    ASSERT_EQ(run.result.exit_code, 0) << run.result.output;
    EXPECT_EQ(clip_mismatches(frame_png(run.game + "/f0.png"), 0, 10, 20, 32, 17), 0);
    EXPECT_EQ(clip_mismatches(frame_png(run.game + "/f2.png"), 2, 10, 20, 32, 17), 0);
    EXPECT_EQ(clip_mismatches(frame_png(run.game + "/f3.png"), 3, 10, 20, 32, 17), 0);
    // Without loop the movie stops at its end and keeps its last frame.
    EXPECT_EQ(clip_mismatches(frame_png(run.game + "/end.png"), 3, 10, 20, 32, 17), 0);
    // WaitPlay waits while the movie plays: its four frames of 100 ms.
    EXPECT_NEAR(std::atoi(read_text(run.game + "/played.txt").c_str()), 400, 20);
}

TEST(Movies, RequestsLoopsAndSeeksShowTheFrameOfTheirClock) {
    // Five copies made at 300 ms: a loops from the start, b is paused at its frame 1, c is
    // paused and sought to 250 ms, then resumed at 1000 ms, d loops back to 200 ms, e is
    // stopped at 450 ms and played again from the start at 500 ms. (b names its file before
    // the flags, an order some scripts use.)
    const GameRun run = run_game("movie_requests", at(300, R"(
    CreateMovie("a", 10, 0, 0, TRUE, FALSE, "clip.mkv", 1000);
    CreateMovie("b", 10, 40, 0, "clip.mkv", FALSE, FALSE, 1000);
    CreateMovie("c", 10, 80, 0, FALSE, FALSE, "clip.mkv", 1000);
    CreateMovie("d", 10, 120, 0, FALSE, FALSE, "clip.mkv", 1000);
    SetLoop("d", TRUE);
    SetLoopPoint("d", 200, 0);
    CreateMovie("e", 10, 160, 0, FALSE, FALSE, "clip.mkv", 1000);
    Draw();
    while (MilliTime() < 450) { Wait(1); }
    Request("b", "Pause");
    Request("c", "Pause");
    SetStream("c", 250);
    Request("e", "Stop");
    while (MilliTime() < 500) { Wait(1); }
    Request("e", "Play");
    while (MilliTime() < 1000) { Wait(1); }
    Request("c", "Resume");
    Wait(300);
)"),
                                 [](const std::string& g) { four_frames(g + "/clip.mkv", 32, 16); },
                                 {"--screenshot", "760=GAME/a.png", "--screenshot",
                                  "960=GAME/b.png", "--screenshot", "1090=GAME/c.png"});
    ASSERT_EQ(run.result.exit_code, 0) << run.result.output;
    struct Case {
        const char* shot;
        int x;
        int frame;
        const char* why;
    } cases[] = {
        {"a.png", 0, 0, "a looped back to its start"},
        {"b.png", 0, 2, "a keeps looping"},
        {"a.png", 40, 1, "the pause holds b's frame"},
        {"b.png", 40, 1, "the pause still holds b's frame"},
        {"a.png", 80, 2, "a seek while paused shows the frame at the new position"},
        {"c.png", 80, 3, "the resumed movie goes on from where it was sought"},
        {"a.png", 120, 2, "d looped back to its loop position"},
        {"b.png", 120, 2, "d keeps looping from its loop position"},
        {"a.png", 160, 2, "e played again from the start"},
        {"b.png", 160, 3, "e stopped at its end, keeping its last frame"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(clip_mismatches(frame_png(run.game + "/" + c.shot), c.frame, c.x, 0, 32, 16), 0)
            << c.why;
}

TEST(Movies, AlphaMovieTakesItsMaskFromTheLowerHalfsGreen) {
    // 640 x 720 frames: the image is 640 x 360, row y's alpha is row y + 360's green (here 0
    // or 255 in a checker; red and blue of the lower half are noise that must not count).
    const GameRun run =
        run_game("movie_alpha", at(300, R"(
    CreateColor("bg", 1, 0, 0, 1024, 576, "#000000");
    CreateMovie("m", 10, 0, 0, FALSE, TRUE, "alpha.mkv", 1000);
    Draw();
    Wait(200);
)"),
                 [](const std::string& g) {
                     ClipSpec spec;
                     spec.width = 640;
                     spec.height = 720;
                     spec.frames = 1;
                     spec.colour = [](int, int x, int y) -> std::uint32_t {
                         if (y < 360) return clip_colour(0, x, y) | 0x010101;
                         const int my = y - 360;
                         const std::uint32_t green = ((x / 16 + my / 8) % 2) ? 255 : 0;
                         return (static_cast<std::uint32_t>(x * 3 + y) & 0xFF) << 16 | green << 8 |
                                (static_cast<std::uint32_t>(y) & 0xFF);
                     };
                     ASSERT_TRUE(write_clip(g + "/alpha.mkv", spec));
                 },
                 {"--screenshot", "400=GAME/a.png"});
    ASSERT_EQ(run.result.exit_code, 0) << run.result.output;
    const PixelImage img = frame_png(run.game + "/a.png");
    ASSERT_FALSE(img.empty());
    int bad = 0;
    for (int y = 0; y < 376; ++y)
        for (int x = 0; x < 640; ++x) {
            const std::uint8_t* p = img.row(y) + x * 4;
            const std::uint32_t got = (std::uint32_t(p[2]) << 16) | (p[1] << 8) | p[0];
            const bool opaque = y < 360 && ((x / 16 + y / 8) % 2) != 0;
            const std::uint32_t want = opaque ? (clip_colour(0, x, y) | 0x010101) : 0;
            bad += got != want;
        }
    EXPECT_EQ(bad, 0);
}

TEST(Movies, MovieMaskAdvancesWithItsMovie) {
    // The mask clip is white on the left in frame 0 and on the right in frame 1; the red
    // plane below the mask shows only where the mask's current frame is white.
    const GameRun run =
        run_game("movie_mask", at(300, R"(
    CreateMask("mk", 5, 0, 0, "mask.mkv", TRUE);
    CreateColor("mk/red", 6, 0, 0, 64, 32, "#FF0000");
    Draw();
    Wait(400);
)"),
                 [](const std::string& g) {
                     ClipSpec spec;
                     spec.width = 64;
                     spec.height = 32;
                     spec.frames = 2;
                     spec.colour = [](int n, int x, int) -> std::uint32_t {
                         return (x < 32) == (n == 0) ? 0xFFFFFF : 0;
                     };
                     ASSERT_TRUE(write_clip(g + "/mask.mkv", spec));
                 },
                 {"--screenshot", "350=GAME/f0.png", "--screenshot", "450=GAME/f1.png"});
    ASSERT_EQ(run.result.exit_code, 0) << run.result.output;
    auto red = [](const PixelImage& img, int x) {
        return img.empty() ? -1 : img.row(10)[x * 4 + 2];
    };
    const PixelImage f0 = frame_png(run.game + "/f0.png"), f1 = frame_png(run.game + "/f1.png");
    EXPECT_GT(red(f0, 10), 240);
    EXPECT_EQ(red(f0, 50), 0);
    EXPECT_EQ(red(f1, 10), 0);
    EXPECT_GT(red(f1, 50), 240);
}

TEST(Movies, DeletingMoviesInAnyStateAndBadFilesLeaveTheGameRunning) {
    // Playing, paused, just sought and disused movies are deleted; a damaged and a truncated
    // file each give one message naming them, and the script goes on to its end.
    const GameRun run =
        run_game("movie_faults", at(300, R"(
    CreateMovie("p", 10, 0, 0, TRUE, FALSE, "long.mkv", 1000);
    Draw();
    Wait(50);
    Delete("p");
    CreateMovie("q", 10, 0, 0, FALSE, FALSE, "long.mkv", 1000);
    Request("q", "Pause");
    Wait(20);
    Delete("q");
    CreateMovie("s", 10, 0, 0, FALSE, FALSE, "long.mkv", 1000);
    SetStream("s", 1500);
    Delete("s");
    CreateMovie("s2", 10, 0, 0, FALSE, FALSE, "long.mkv", 1000);
    SetStream("s2", 700);
    Wait(1);
    Delete("s2");
    CreateMovie("u", 10, 0, 0, FALSE, FALSE, "long.mkv", 1000);
    Request("u", "Disused");
    CreateMovie("x", 10, 0, 0, FALSE, FALSE, "damaged.mkv", 1000);
    CreateMovie("y", 10, 0, 0, TRUE, FALSE, "truncated.mkv", 1000);
    CreateMovie("z", 10, 0, 0, FALSE, FALSE, "garbage.mkv", 1000);
    CreateMovie("w", 10, 0, 0, FALSE, FALSE, "missing.mkv", 1000);
    Draw();
    Wait(3000);
    WriteFile("done.txt", "done", FALSE);
)"),
                 [](const std::string& g) {
                     ClipSpec spec;
                     spec.width = 48;
                     spec.height = 32;
                     spec.frames = 20;
                     spec.colour = clip_colour;
                     ASSERT_TRUE(write_clip(g + "/long.mkv", spec));
                     std::ifstream in(g + "/long.mkv", std::ios::binary);
                     std::string bytes((std::istreambuf_iterator<char>(in)),
                                       std::istreambuf_iterator<char>());
                     std::string damaged = bytes;
                     for (std::size_t i = damaged.size() / 2; i < damaged.size() / 2 + 400; ++i)
                         damaged[i] = static_cast<char>(i * 37);
                     write_text(g + "/damaged.mkv", damaged);
                     write_text(g + "/truncated.mkv", bytes.substr(0, bytes.size() * 6 / 10));
                     std::string garbage(5000, '\0');
                     for (std::size_t i = 0; i < garbage.size(); ++i)
                         garbage[i] = static_cast<char>(i * 131 + 7);
                     write_text(g + "/garbage.mkv", garbage);
                 });
    ASSERT_EQ(run.result.exit_code, 0) << run.result.output;
    EXPECT_EQ(read_text(run.game + "/done.txt"), "done") << run.result.output;
    auto count = [&](const std::string& what) {
        std::size_t n = 0;
        for (std::size_t at = run.result.output.find(what); at != std::string::npos;
             at = run.result.output.find(what, at + 1))
            ++n;
        return n;
    };
    for (const char* name : {"damaged.mkv", "truncated.mkv", "garbage.mkv", "missing.mkv"})
        EXPECT_EQ(count(name), 1u) << name << "\n" << run.result.output;
    EXPECT_EQ(count("long.mkv"), 0u) << run.result.output;
}

TEST(Movies, MoviePlayWaitsForItsEndUnlessInterruptedAsAllowed) {
    // Three full-window plays of a one-second clip, a click at 700 ms Enter at 1600 and 2200 ms:
    // the first (interruptible) ends at the click; the second (not interruptible) ignores
    // the Enter key... until break_play_movie allows it for the third.
    const GameRun run = run_game(
        "movie_play", at(300, R"(
    $a = MilliTime();
    MoviePlay("uniform.mkv", TRUE);
    $b = MilliTime();
    MoviePlay("uniform.mkv", FALSE);
    $c = MilliTime();
    $SYSTEM_break_play_movie = 1;
    MoviePlay("uniform.mkv", FALSE);
    $d = MilliTime();
    MoviePlay("missing.mkv", TRUE);
    $out = String("%d %d %d", $b - $a, $c - $b, $d - $c);
    WriteFile("times.txt", $out, FALSE);
)"),
        [](const std::string& g) {
            ClipSpec spec;
            spec.width = 16;
            spec.height = 16;
            spec.frames = 10;
            spec.colour = [](int n, int, int) -> std::uint32_t { return 0x102030u * (n + 1); };
            ASSERT_TRUE(write_clip(g + "/uniform.mkv", spec));
            write_text(g + "/play.in", "700 click 10 10\n1600 key enter\n2200 key enter\n");
        },
        {"--input", "GAME/play.in", "--screenshot", "450=GAME/full.png"});
    ASSERT_EQ(run.result.exit_code, 0) << run.result.output;
    int first = 0, second = 0, third = 0;
    ASSERT_EQ(std::sscanf(read_text(run.game + "/times.txt").c_str(), "%d %d %d", &first, &second,
                          &third),
              3)
        << run.result.output;
    EXPECT_NEAR(first, 400, 20) << "the click ends an interruptible movie";
    EXPECT_NEAR(second, 1000, 20) << "Enter does not end it without break_play_movie";
    EXPECT_LT(third, 1000) << "Enter ends it with break_play_movie";
    EXPECT_NE(run.result.output.find("missing.mkv"), std::string::npos);
    // The movie covers the whole window: frame 1 of the clip (150 ms in) everywhere.
    const PixelImage img = frame_png(run.game + "/full.png");
    ASSERT_FALSE(img.empty());
    for (const auto& [x, y] : {std::pair{0, 0}, {512, 300}, {1023, 575}}) {
        const std::uint8_t* p = img.row(y) + x * 4;
        EXPECT_EQ((p[2] << 16) | (p[1] << 8) | p[0], 0x204060) << x << "," << y;
    }
}

TEST(Movies, NamesTakeTheResourcePathUnlessTheyBeginWithFile) {
    // media/clip.mkv shows frame colours of the clip; clip.mkv at the top is one plain
    // colour. With current_path "media/", "clip.mkv" is the first and "file:clip.mkv" the
    // second.
    const GameRun run =
        run_game("movie_names", at(300, R"(
    $SYSTEM_current_path = "media/";
    CreateMovie("p", 10, 0, 0, FALSE, FALSE, "clip.mkv", 1000);
    CreateMovie("f", 10, 40, 0, FALSE, FALSE, "file:clip.mkv", 1000);
    Draw();
    Wait(200);
)"),
                 [](const std::string& g) {
                     std::filesystem::create_directories(g + "/media");
                     four_frames(g + "/media/clip.mkv", 32, 16);
                     ClipSpec spec;
                     spec.width = 32;
                     spec.height = 16;
                     spec.colour = [](int, int, int) -> std::uint32_t { return 0x336699; };
                     ASSERT_TRUE(write_clip(g + "/clip.mkv", spec));
                 },
                 {"--screenshot", "350=GAME/a.png"});
    ASSERT_EQ(run.result.exit_code, 0) << run.result.output;
    const PixelImage img = frame_png(run.game + "/a.png");
    EXPECT_EQ(clip_mismatches(img, 0, 0, 0, 32, 16), 0);
    ASSERT_FALSE(img.empty());
    const std::uint8_t* p = img.row(5) + 45 * 4;
    EXPECT_EQ((p[2] << 16) | (p[1] << 8) | p[0], 0x336699);
}

TEST(Movies, ASystemScriptHoldsPlayingMoviesUntilItEnds) {
    // S starts a system script at 350 ms that runs for a second: the movie stands still at
    // its frame 0 meanwhile and goes on from there, showing its frame 1 at 1480 ms.
    const GameRun run =
        run_game("movie_hold", at(300, R"(
    CreateMovie("m", 10, 0, 0, FALSE, FALSE, "clip.mkv", 1000);
    SetShortcut("S", "hold.txt");
    Draw();
    Wait(1500);
)"),
                 [](const std::string& g) {
                     four_frames(g + "/clip.mkv", 32, 16);
                     write_text(g + "/hold.txt", "scene main\n{\n    Wait(1000);\n}\n");
                     write_text(g + "/hold.in", "350 key S\n370 keyup S\n");
                 },
                 {"--input", "GAME/hold.in", "--screenshot", "1480=GAME/after.png"});
    ASSERT_EQ(run.result.exit_code, 0) << run.result.output;
    EXPECT_EQ(clip_mismatches(frame_png(run.game + "/after.png"), 1, 0, 0, 32, 16), 0);
}

// The float stereo samples of the WAV that --audio-out writes (44100 Hz, frame 0 at 0 ms).
std::vector<float> wav_left(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    std::vector<float> out;
    std::size_t pos = 12;
    while (pos + 8 <= bytes.size() && bytes.compare(pos, 4, "data") != 0) {
        std::uint32_t size = 0;
        std::memcpy(&size, bytes.data() + pos + 4, 4);
        pos += 8 + size + (size & 1);
    }
    for (std::size_t i = pos + 8; i + 8 <= bytes.size(); i += 8) {
        float v = 0;
        std::memcpy(&v, bytes.data() + i, 4);
        out.push_back(v);
    }
    return out;
}

float peak(const std::vector<float>& s, int from_ms, int to_ms) {
    float p = 0;
    for (std::size_t i = std::size_t(from_ms) * 441 / 10;
         i < std::min(s.size(), std::size_t(to_ms) * 441 / 10); ++i)
        p = std::max(p, std::abs(s[i]));
    return p;
}

TEST(Movies, MovieSoundPlaysAtItsVolumeClampedToTheRange) {
    // The same tone clip three times: volume -500 is silent (it made no number at all once),
    // 5000 is as loud as 1000, and the sound starts with the movie.
    const GameRun run = run_game("movie_sound", at(300, R"(
    CreateMovie("n", 10, 0, 0, FALSE, FALSE, "tone.mkv", -500);
    Draw();
    while (MilliTime() < 1000) { Wait(1); }
    Delete("n");
    CreateMovie("h", 10, 0, 0, FALSE, FALSE, "tone.mkv", 5000);
    Draw();
    while (MilliTime() < 1700) { Wait(1); }
    Delete("h");
    CreateMovie("f", 10, 0, 0, FALSE, FALSE, "tone.mkv", 1000);
    Draw();
    while (MilliTime() < 2400) { Wait(1); }
)"),
                                 [](const std::string& g) {
                                     ClipSpec spec;
                                     spec.width = 16;
                                     spec.height = 16;
                                     spec.frames = 5;
                                     spec.colour = clip_colour;
                                     spec.tone_amplitude = 8000;
                                     ASSERT_TRUE(write_clip(g + "/tone.mkv", spec));
                                 },
                                 {"--audio-out", "GAME/out.wav"});
    ASSERT_EQ(run.result.exit_code, 0) << run.result.output;
    const std::vector<float> left = wav_left(run.game + "/out.wav");
    ASSERT_GT(left.size(), 44100u * 2) << run.result.output;
    EXPECT_EQ(peak(left, 0, 1000), 0.0f);
    const float loud = peak(left, 1000, 1700);
    EXPECT_GT(loud, 0.2f);
    EXPECT_EQ(loud, peak(left, 1700, 2400));
    EXPECT_GT(peak(left, 1000, 1050), 0.2f) << "the sound starts with the movie";
    EXPECT_EQ(peak(left, 1600, 1700), 0.0f) << "and ends with it";
}

} // namespace
