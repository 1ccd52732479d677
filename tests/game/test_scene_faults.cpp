// Whole-program runs of scene behaviour that games rely on: the blend-mode and visibility
// requests of graphic objects, the wait flag of the move commands, aliases given to the
// scene's built-in functions, actions keeping time in a busy scene, actions of any length,
// and nested masks.
// Every script waits for a known engine time (MilliTime) before it starts, so screenshot
// times do not depend on how long start-up took.
#include "run_game.h"

#include "scene/frame_buffer.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

using namespace kestrune;
using namespace kestrune::testing;

namespace {

// Runs start.txt (already written into `game`) headless; extra arguments may name GAME.
void run_in(const std::string& game, std::vector<std::string> extra, const char* scale = "2") {
    std::vector<std::string> args = {
        "--headless", "--save-dir", game + "/saves", "--max-seconds", "30", "--time-scale", scale};
    for (auto& e : extra) {
        if (e.find("GAME") != std::string::npos) e.replace(e.find("GAME"), 4, game);
        args.push_back(e);
    }
    args.push_back(game);
    const RunResult r = run_kestrune(args, 90);
    EXPECT_EQ(r.exit_code, 0) << r.output;
}

std::string run_scene(const std::string& name, const std::string& script,
                      std::vector<std::string> extra, const char* scale = "2") {
    const std::string game = scratch_dir(name);
    write_text(game + "/start.txt", script);
    run_in(game, std::move(extra), scale);
    return game;
}

// Waits for engine time `ms`, then runs the body.
std::string at(int ms, const std::string& body) {
    return "scene main\n{\n    while (MilliTime() < " + std::to_string(ms) + ") { Wait(5); }\n" +
           body + "\n}\n";
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

// Numbers written by a script, one per line.
std::vector<int> numbers(const std::string& file) {
    std::istringstream in(read_text(file));
    std::vector<int> out;
    for (int n = 0; in >> n;) out.push_back(n);
    return out;
}

// ---- blend modes and visibility -----------------------------------------------------------

struct BlendCase {
    const char* what;
    const char* under;                 // colour of the patch below
    const char* over;                  // colour of the patch on top, or a .bmp file
    std::vector<const char*> requests; // sent to the top patch in order
    int value;                         // blue, green and red of the result
    int red = -1;                      // red when it differs from `value`
};

TEST(SceneFaults, BlendAndVisibilityRequestsReachGraphicObjects) {
    // Source channel s = 0x50 (80) over destination d = 0x60 (96), source alpha 255 unless
    // said: normal d + (s - d) * a / 256, add min(255, d + s * a / 256), sub max(0, d - s *
    // a / 256), overlay (d <= 127) o = s * d / 128, (d > 127) o = 255 - (255 - s)(255 - d)
    // / 128, then d + (o - d) * a / 256; multiply m = s * d / 256, then d + (m - d) * a /
    // 256; every division rounded down.
    const std::vector<BlendCase> cases = {
        {"add red over black", "#000000", "#FF0000", {"AddRender"}, 0, 254},
        {"add", "#606060", "#505050", {"AddRender"}, 175},
        {"sub", "#606060", "#505050", {"SubRender"}, 17},
        {"overlay, dark destination", "#606060", "#505050", {"OverlayRender"}, 60},
        {"overlay, light destination", "#C8C8C8", "#505050", {"OverlayRender"}, 180},
        {"multiply", "#606060", "#505050", {"MulRender"}, 30},
        {"normal again, alpha 128", "#606060", "#50505080", {"AddRender", "NormalRender"}, 88},
        // Bilinear weights 255 - f and f: white becomes 253 in colour and alpha, then 253
        // over black at alpha 253 gives 250.
        {"smoothing", "#000000", "white.bmp", {"Smoothing"}, 250},
        {"smoothing off", "#000000", "white.bmp", {"Smoothing", "UnSmoothing"}, 255},
        {"no smoothing of a colour plane", "#000000", "#FFFFFF", {"Smoothing"}, 255},
        {"erase", "#606060", "#505050", {"Erase"}, 96},
        {"erase, enter", "#606060", "#505050", {"Erase", "Enter"}, 80},
        {"unknown word changes nothing", "#606060", "#505050", {"AddRenderX"}, 80},
    };
    std::string body;
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const BlendCase& c = cases[i];
        const std::string x = std::to_string(10 + 70 * int(i));
        const std::string n = std::to_string(i);
        body += "    CreateColor(\"d" + n + "\", 1, " + x + ", 0, 60, 60, \"" + c.under + "\");\n";
        const std::string over = c.over;
        if (over.find(".bmp") != std::string::npos)
            body += "    CreateTexture(\"s" + n + "\", 2, " + x + ", 0, \"" + over + "\");\n";
        else
            body += "    CreateColor(\"s" + n + "\", 2, " + x + ", 0, 60, 60, \"" + over + "\");\n";
        for (const char* r : c.requests) body += "    Request(\"s" + n + "\", \"" + r + "\");\n";
    }
    body += "    Draw();\n    Wait(1000);\n";
    const std::string game = scratch_dir("faults_blend");
    write_text(game + "/white.bmp", bitmap24(60, 60, [](int, int) {
                   return std::array<std::uint8_t, 3>{255, 255, 255};
               }));
    write_text(game + "/start.txt", at(300, body));
    run_in(game, {"--screenshot", "1000=GAME/blend.png"});
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const BlendCase& c = cases[i];
        const std::array<int, 3> want = {c.value, c.value, c.red >= 0 ? c.red : c.value};
        EXPECT_EQ(pixel(game + "/blend.png", 40 + 70 * int(i), 30), want) << c.what;
    }
}

// ---- the wait flag of Move and BezierMove ---------------------------------------------------

TEST(SceneFaults, MoveCommandsWaitOnTheirFlag) {
    // A 1000 ms move runs 60 frames of 16 ms: it ends after 960 ms of engine time.
    struct Case {
        const char* statement;
        int at_least, below; // engine milliseconds the statement takes
    };
    const std::vector<Case> cases = {
        {R"(Move("m", 1000, 500, 0, 0, NULL, TRUE);)", 960, 1600},
        {R"(Move("m", 1000, 0, 0, 0, "Accel", TRUE);)", 960, 1600},
        {R"x(BezierMove("m", 1000, "(0,0){100,200}{300,200}(400,0)", NULL, TRUE);)x", 960, 1600},
        {R"(Move("m", 3000, 500, 0, 0, NULL, 300);)", 300, 900}, // a number is a limit
        {R"(Move("m", 1000, 0, 0, 0, NULL, FALSE);)", 0, 100},
    };
    std::string body = "    CreateColor(\"m\", 1, 0, 0, 10, 10, \"#FFFFFF\");\n    Draw();\n"
                       "    $out = \"\";\n";
    for (const Case& c : cases)
        body += std::string("    $t0 = MilliTime();\n    ") + c.statement +
                "\n    $out = $out + String(\"%d \", MilliTime() - $t0);\n";
    body += "    WriteFile(\"waits.txt\", $out, FALSE);\n";
    const std::string game = run_scene("faults_move_wait", at(300, body), {});
    const std::vector<int> took = numbers(game + "/waits.txt");
    ASSERT_EQ(took.size(), cases.size()) << read_text(game + "/waits.txt");
    for (std::size_t i = 0; i < cases.size(); ++i) {
        EXPECT_GE(took[i], cases[i].at_least) << cases[i].statement;
        EXPECT_LT(took[i], cases[i].below) << cases[i].statement;
    }
}

// ---- aliases in built-in functions ----------------------------------------------------------

TEST(SceneFaults, BuiltInFunctionsResolveAliases) {
    // The object lives in a called scene, so its plain name has a prefix that "@al" skips.
    const std::string game = run_scene("faults_alias", R"(
scene inner
{
    CreateColor("a", 1, 0, 0, 120, 70, "#FFFFFF");
    SetAlias("a", "al");
    $name = "al";
    Move("a", 2000, 500, 0, 0, NULL, FALSE);
    Draw();
    Wait(500);
    $out = String("%d %d %d", ImageHorizon("@al"), ImageVertical("@al"), DurationTime("@al"));
    $out = $out + String(" %d %d", RemainTime("@al"), PassageTime("@al"));
    $out = $out + String(" %d %d", ImageHorizon("@$name"), ImageHorizon("@none"));
    WriteFile("alias.txt", $out, FALSE);
}

scene main
{
    while (MilliTime() < 300) { Wait(5); }
    call_scene @->inner;
}
)",
                                       {});
    const std::vector<int> v = numbers(game + "/alias.txt");
    ASSERT_EQ(v.size(), 7u) << read_text(game + "/alias.txt");
    EXPECT_EQ(v[0], 120);
    EXPECT_EQ(v[1], 70);
    EXPECT_EQ(v[2], 2000);
    EXPECT_GT(v[3], 500);
    EXPECT_LT(v[3], 1600);
    EXPECT_GE(v[4], 400);
    EXPECT_LT(v[4], 1500);
    EXPECT_EQ(v[5], 120) << "an alias held in a variable";
    EXPECT_EQ(v[6], 0) << "an unknown alias";
}

// Actions as long as a script may ask (about 23 days each): their easing tables hold only
// the frames an action can reach, so four of them on one object cost no gigabytes, and the
// object still stands near its start after half a second. A move across nearly the whole
// range of coordinates makes its path, and a shake as wide as that range and a split each
// move an object at its edge, without overflowing (the sanitized suite stops on an
// overflow).
TEST(SceneFaults, ActionsOfTwoBillionMillisecondsStayCheap) {
    const std::string game = run_scene("faults_long_actions", at(300, R"(
    CreateColor("a", 1, 100, 100, 64, 64, "#FFFFFF");
    Fade("a", 2000000000, 0, NULL, FALSE);
    Move("a", 2000000000, 900, 500, 0, NULL, FALSE);
    Zoom("a", 2000000000, 2000, 2000, NULL, FALSE);
    Rotate("a", 2000000000, 0, 0, 180, NULL, FALSE);
    CreateColor("far", 1, -2000000000, -2000000000, 8, 8, "#FFFFFF");
    Move("far", 400, 2000000000, 2000000000, 0, NULL, FALSE);
    CreateColor("shaken", 1, 2000000000, -2000000000, 8, 8, "#FFFFFF");
    Shake("shaken", 400, -2000000000, -2147483648, 2000000000, -2147483648, 1000, NULL, FALSE);
    CreateColor("split", 1, 2147483640, 2147483640, 64, 64, "#FFFFFF");
    DrawEffect("split", 300, "HardSplit", 0, 1000, NULL);
    Draw();
    Wait(500);
    $out = String("%d %d %d", DurationTime("a"), ImageHorizon("a"), RemainTime("a"));
    WriteFile("long.txt", $out, FALSE);)"),
                                       {});
    const std::vector<int> v = numbers(game + "/long.txt");
    ASSERT_EQ(v.size(), 3u) << read_text(game + "/long.txt");
    EXPECT_EQ(v[0], 2000000000);
    EXPECT_EQ(v[1], 64);
    EXPECT_GT(v[2], 1999990000);
}

// ---- one cycle time for every object ---------------------------------------------------------

TEST(SceneFaults, AMoveEndsOnTimeInABusyScene) {
    // 1500 moving objects stepped before the mover: every object of a cycle must see the
    // same time, or the mover gains what the cycle spent before reaching it, every cycle.
    // A 3000 ms move runs 180 frames of 16 ms: it ends after 2880 ms of engine time.
    const std::string game = run_scene("faults_busy", at(300, R"(
    $i = 1; // (a variable first set to 0 would be the text "0", and + would join texts)
    while ($i <= 1500) {
        $n = String("o%d", $i);
        CreateColor($n, 1, 0, 300, 8, 8, "#808080");
        $i = $i + 1;
    }
    Move("o*", 10000, 1000, 300, 0, NULL, FALSE);
    CreateColor("mover", 2, 0, 0, 10, 10, "#FFFFFF");
    Draw();
    $t0 = MilliTime();
    Move("mover", 3000, 600, 0, 0, NULL, TRUE);
    $took = String("%d", MilliTime() - $t0);
    WriteFile("busy.txt", $took, FALSE);
)"),
                                       {}, "1");
    const std::vector<int> took = numbers(game + "/busy.txt");
    ASSERT_EQ(took.size(), 1u) << read_text(game + "/busy.txt");
    EXPECT_GE(took[0], 2880);
    EXPECT_LT(took[0], 3300);
}

// ---- nested masks ---------------------------------------------------------------------------

TEST(SceneFaults, NestedMasksCombineByExactPixels) {
    // A white child drawn through a layer value L gives, over black, 255 * w / 256 with
    // w = 255 * L / 256 (rounded down each time): L 200 -> 198, 199 -> 197, 69 -> 67.
    const std::string game = run_scene("faults_masks", at(300, R"(
    LoadColor("grey", 100, 40, "#808080");
    LoadColor("dark", 100, 40, "#0B0B0B");
    LoadColor("white", 100, 40, "#FFFFFF");
    LoadColor("st", 200, 40, "#000000C8");

    // A plain mask in a mask steps from L towards S by L(S - L) / 256, rounded down:
    // 128 + (128 * -117) / 256 = 128 - 59 = 69.
    CreateMask("ma", 1, 0, 0, "grey", TRUE);
    CreateMask("ma/mb", 1, 0, 0, "dark", TRUE);
    CreateColor("ma/mb/c", 1, 0, 0, 100, 40, "#FFFFFF");

    // A stencil (alpha 200 in every channel) in a white mask over columns 1 to 100: pairs
    // of white take the sample 200; in the pairs (0, 1) and (100, 101) one pixel is white
    // and the other outside the outer mask (zero), so the white one takes the formula
    // 255 * 200 / 256 = 199 and the other stays 0.
    CreateMask("pa", 1, 1, 100, "white", FALSE);
    CreateStencil("pa/pb", 1, 0, 100, 128, "st", FALSE);
    CreateColor("pa/pb/c", 1, 0, 100, 200, 40, "#FFFFFF");
    Draw();
    Wait(1000);
)"),
                                       {"--screenshot", "1000=GAME/masks.png"});
    const std::string png = game + "/masks.png";
    struct Case {
        const char* what;
        int x, y, value;
    };
    const std::vector<Case> cases = {
        {"plain mask in a mask", 50, 20, 67},
        {"outside the masks", 150, 20, 0},
        {"zero before white stays zero", 0, 120, 0},
        {"white after zero takes the formula", 1, 120, 197},
        {"stencil in a white pair", 2, 120, 198},
        {"stencil in a white pair, second pixel", 99, 120, 198},
        {"white before zero takes the formula", 100, 120, 197},
        {"zero after white stays zero", 101, 120, 0},
        {"beyond the outer mask", 150, 120, 0},
    };
    for (const Case& c : cases) {
        const std::array<int, 3> want = {c.value, c.value, c.value};
        EXPECT_EQ(pixel(png, c.x, c.y), want) << c.what;
    }
}

// A group (CreateName) runs no actions of its own; a wait on it, or the wait flag of an action
// given to it, ends when its children have ended theirs instead of waiting for ever.
TEST(SceneFaults, WaitsOnAGroupEndWithItsChildren) {
    const std::string game = run_scene("group_waits", at(100, R"(
    CreateName("g");
    CreateColor("g/a", 1, 0, 0, 10, 10, "#FFFFFF");
    CreateColor("g/b", 2, 20, 0, 10, 10, "#FFFFFF");
    Draw();
    $t0 = MilliTime();
    Move("g", 500, 100, 0, 0, NULL, TRUE);
    $t1 = MilliTime();
    Fade("g", 300, 0, NULL, FALSE);
    WaitAction("g");
    $t2 = MilliTime();
    WaitMove("g");
    Position("g/b", $bx, $by);
    $out = String("%d %d %d", $t1 - $t0, $t2 - $t1, $bx);
    WriteFile("waits.txt", $out, FALSE);
)"),
                                       {});
    EXPECT_EQ(read_text(game + "/waits.txt"), "512 320 100");
}

} // namespace
