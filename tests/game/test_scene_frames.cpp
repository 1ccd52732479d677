// Whole-program runs of the scene: frames taken with --screenshot and --record at engine
// times, on the stepped clock. Every script waits for a known engine time (MilliTime)
// before it starts, so the times below do not depend on how long start-up took.
#include "run_game.h"

#include "scene/frame_buffer.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

using namespace kestrune;
using namespace kestrune::testing;

namespace {

// Runs the script (as start.txt) headless with the extra arguments; returns the game folder.
std::string run_scene(const std::string& name, const std::string& script,
                      std::vector<std::string> extra, const char* scale = "2") {
    const std::string game = scratch_dir(name);
    write_text(game + "/start.txt", script);
    std::vector<std::string> args = {
        "--headless", "--save-dir", game + "/saves", "--max-seconds", "20", "--time-scale", scale};
    for (auto& e : extra) {
        if (e.find("GAME") != std::string::npos) e.replace(e.find("GAME"), 4, game);
        args.push_back(e);
    }
    args.push_back(game);
    const RunResult r = run_kestrune(args, 60);
    EXPECT_EQ(r.exit_code, 0) << r.output;
    return game;
}

// Blue, green and red of one pixel of a PNG frame.
std::array<int, 3> pixel(const std::string& png, int x, int y) {
    PixelImage img;
    if (!scene::read_png_bgra(png.c_str(), img)) {
        ADD_FAILURE() << "no frame " << png;
        return {-1, -1, -1};
    }
    const std::uint8_t* p = img.row(y) + x * 4;
    return {p[0], p[1], p[2]};
}

// Waits for engine time `ms`, then runs the body.
std::string at(int ms, const std::string& body) {
    return "scene main\n{\n    while (MilliTime() < " + std::to_string(ms) + ") { Wait(5); }\n" +
           body + "\n}\n";
}

TEST(SceneFrames, ObjectsOfOneBatchAppearInTheSameFrame) {
    // Three patches created between two waits: no presented frame may show only some.
    const std::string game = run_scene("scene_batch", at(300, R"(
    CreateColor("a", 1, 0, 0, 64, 64, "#FF0000");
    Wait(50);
    CreateColor("b", 1, 200, 0, 64, 64, "#00FF00");
    CreateColor("c", 1, 400, 0, 64, 64, "#0000FF");
    CreateColor("d", 1, 600, 0, 64, 64, "#FFFFFF");
    Wait(200);
)"),
                                       {"--record", "GAME/frames"});
    int frames = 0;
    for (const auto& entry : std::filesystem::directory_iterator(game + "/frames")) {
        const std::string f = entry.path().string();
        if (entry.path().extension() != ".png") continue; // frames.txt lists them
        const bool b = pixel(f, 210, 10)[1] == 255;
        const bool c = pixel(f, 410, 10)[0] == 255;
        const bool d = pixel(f, 610, 10)[2] == 255;
        EXPECT_TRUE((b && c && d) || (!b && !c && !d)) << f;
        ++frames;
    }
    EXPECT_GT(frames, 0);
}

TEST(SceneFrames, FadeIsHalfwayAtHalfItsTime) {
    const std::string game =
        run_scene("scene_fade", at(600, R"(
    CreateColor("w", 1, 0, 0, 100, 100, "#FFFFFF");
    Fade("w", 0, 0, NULL, FALSE);
    Draw();
    while (MilliTime() < 1000) { Wait(1); }
    Fade("w", 1000, 1000, NULL, TRUE);
    Wait(300);
)"),
                  {"--screenshot", "1500=GAME/half.png", "--screenshot", "2200=GAME/full.png"});
    const int half = pixel(game + "/half.png", 50, 50)[0];
    // 500 ms into a fade of 1000 ms: frame 30 of 60 frames of 16 ms, opacity
    // 255 * 30 / 60 = 127, and white drawn over black at that opacity reads
    // 255 * (255 * 127 / 256) / 256 = 125.
    EXPECT_EQ(half, 125);
    EXPECT_EQ(pixel(game + "/full.png", 50, 50)[0], 255);
}

TEST(SceneFrames, WaitMoveWithALimitReturnsOnTime) {
    const std::string game = run_scene("scene_waitmove", at(300, R"(
    CreateColor("m", 1, 0, 0, 10, 10, "#FFFFFF");
    Move("m", 3000, 500, 0, 0, NULL, FALSE);
    $t0 = MilliTime();
    WaitMove("m", 300);
    $t1 = MilliTime();
    $left = RemainTime("m");
    $out = String("%d %d", $t1 - $t0, $left);
    WriteFile("wait.txt", $out, FALSE);
)"),
                                       {});
    const std::string text = read_text(game + "/wait.txt");
    int waited = -1, left = -1;
    ASSERT_EQ(std::sscanf(text.c_str(), "%d %d", &waited, &left), 2) << text;
    // The limit ends the wait within the frame after it; the move of 3000 ms goes on.
    EXPECT_GE(waited, 300);
    EXPECT_LE(waited, 316);
    EXPECT_GT(left, 2600) << "the move goes on after the wait";
}

TEST(SceneFrames, ObjectsOfASceneGoWhenItIsShiftedAway) {
    // A called scene that shifts to another is ended: its objects are deleted with it.
    const std::string game = run_scene(
        "scene_end", R"(
scene other
{
    Wait(1500);
}

scene inner
{
    CreateColor("white", 1, 0, 0, 1024, 576, "#FFFFFF");
    Wait(1000);
    shift_scene @->other;
}

scene main
{
    while (MilliTime() < 300) { Wait(5); }
    call_scene @->inner;
}
)",
        {"--screenshot", "900=GAME/inside.png", "--screenshot", "2600=GAME/after.png"}, "1");
    EXPECT_EQ(pixel(game + "/inside.png", 500, 300)[0], 255);
    EXPECT_EQ(pixel(game + "/after.png", 500, 300)[0], 0);
}

TEST(SceneFrames, BadSizesFailWithTheScriptLine) {
    const std::string game = scratch_dir("scene_sizes");
    write_text(game + "/start.txt",
               "scene main\n{\n    CreateColor(\"a\", 1, 0, 0, 0, 10, \"#FFFFFF\");\n"
               "    LoadColor(\"b\", 100000, 100000, \"#FFFFFF\");\n}\n");
    const RunResult r =
        run_kestrune({"--headless", "--save-dir", game + "/saves", "--max-seconds", "10", game});
    EXPECT_EQ(r.exit_code, 0) << r.output;
    EXPECT_NE(r.output.find("start.txt:3:"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("start.txt:4:"), std::string::npos) << r.output;
}

} // namespace

// Images of odd width keep their last column, and a one-pixel-wide image is drawn, whether
// anchored at the centre (the default), at the left or numerically.
TEST(SceneFrames, OddWidthsKeepTheirLastColumn) {
    const std::string game = run_scene("odd_widths", R"(
scene main
{
    CreateColor("bg", 0, 0, 0, 1024, 576, "#000000");
    CreateColor("a", 10, 10, 10, 33, 5, "#FF0000");
    CreateColor("b", 10, 10, 20, 1, 5, "#00FF00");
    CreateColor("c", 10, 10, 30, 32, 5, "#0000FF");
    CreateColor("d", 10, 10, 40, 7, 5, "#FFFFFF");
    SetVertex("d", left, top);
    Draw();
    Wait(200);
}
)",
                                       {"--screenshot", "150=GAME/shot.png"});
    const std::string shot = game + "/shot.png";
    struct Row {
        int y, first, last;
    } rows[] = {{12, 10, 42}, {22, 10, 10}, {32, 10, 41}, {42, 10, 16}};
    for (const Row& r : rows) {
        SCOPED_TRACE("row " + std::to_string(r.y));
        EXPECT_NE(pixel(shot, r.first, r.y), (std::array<int, 3>{0, 0, 0}));
        EXPECT_NE(pixel(shot, r.last, r.y), (std::array<int, 3>{0, 0, 0}));
        EXPECT_EQ(pixel(shot, r.first - 1, r.y), (std::array<int, 3>{0, 0, 0}));
        EXPECT_EQ(pixel(shot, r.last + 1, r.y), (std::array<int, 3>{0, 0, 0}));
    }
}
