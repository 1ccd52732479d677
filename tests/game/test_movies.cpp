// Movies through whole games: lossless clips made here (FFV1, exact colours) shown by
// CreateMovie and CreateMask, the requests, looping, seeking, MoviePlay, and bad files.
// Runs are stepped: the frame shown at an engine time is always the same one.
#include "movie_clips.h"
#include "run_game.h"

#include "scene/frame_buffer.h"

#include <gtest/gtest.h>

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
    CreateMovie("m", 10, 10, 20, "clip.mkv", FALSE, FALSE, 1000);
    Draw();
    Wait(1000);
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
}

} // namespace
