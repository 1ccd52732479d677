// Image effects in whole runs: filters, the lens, distortions and particles, checked pixel
// for pixel on --screenshot frames of the stepped clock.
#include "run_game.h"

#include "scene/frame_buffer.h"
#include "scene/raster.h"

#include <gtest/gtest.h>

#include <array>
#include <set>
#include <string>
#include <vector>

using namespace kestrune;
using namespace kestrune::testing;

namespace {

using Bgr = std::array<int, 3>;

// Runs start.txt of `game` headless with screenshots at the given "ms=name" entries.
RunResult run_effects(const std::string& game, const std::vector<std::string>& shots) {
    std::vector<std::string> args = {"--headless", "--save-dir", game + "/saves", "--max-seconds",
                                     "20"};
    for (const std::string& s : shots) {
        args.push_back("--screenshot");
        args.push_back(s.substr(0, s.find('=') + 1) + game + "/" + s.substr(s.find('=') + 1));
    }
    args.push_back(game);
    RunResult r = run_kestrune(args, 90);
    EXPECT_EQ(r.exit_code, 0) << r.output;
    return r;
}

PixelImage frame(const std::string& png) {
    PixelImage img;
    EXPECT_TRUE(scene::read_png_bgra(png.c_str(), img)) << png;
    return img;
}

Bgr at(const PixelImage& img, int x, int y) {
    if (img.empty()) return {-1, -1, -1};
    const std::uint8_t* p = img.row(y) + x * 4;
    return {p[0], p[1], p[2]};
}

// A 1024 x 576 picture whose channels vary from pixel to pixel.
std::vector<std::uint8_t> pattern() {
    std::vector<std::uint8_t> px(1024 * 576 * 4);
    for (int y = 0; y < 576; ++y)
        for (int x = 0; x < 1024; ++x) {
            std::uint8_t* p = &px[(std::size_t(y) * 1024 + std::size_t(x)) * 4];
            p[0] = std::uint8_t(x * 7 + y * 3);
            p[1] = std::uint8_t(x ^ y);
            p[2] = std::uint8_t(y * 5 + (x >> 2));
            p[3] = 255;
        }
    return px;
}

std::string game_with_pattern(const std::string& name, const std::string& body) {
    const std::string game = scratch_dir(name);
    const auto px = pattern();
    EXPECT_TRUE(scene::write_png_bgra((game + "/pattern.png").c_str(), px.data(), 1024, 576,
                                      1024 * 4, false));
    write_text(game + "/start.txt", "scene main\n{\n" + body + "\n}\n");
    return game;
}

Bgr pattern_at(int x, int y) {
    static const auto px = pattern();
    const std::uint8_t* p = &px[(std::size_t(y) * 1024 + std::size_t(x)) * 4];
    return {p[0], p[1], p[2]};
}

} // namespace

// Each filter over three backgrounds: white, pure blue and #336699. Luminance weighs blue
// 77, green 151 and red 28 of 256 (white 253, pure blue 76, #336699 46 + 60 + 5 = 111).
TEST(Effects, ToneFiltersRecolourWhatLiesBeneathPixelForPixel) {
    struct Case {
        const char* effect;
        Bgr white, blue, mixed; // blue, green, red seen through the filter
    };
    const Case cases[] = {
        {"Plain", {255, 255, 255}, {255, 0, 0}, {153, 102, 51}},
        {"NegaPosi", {0, 0, 0}, {0, 255, 255}, {102, 153, 204}},
        {"Monochrome", {253, 253, 253}, {76, 76, 76}, {111, 111, 111}},
        {"Sepia", {253, 255, 255}, {76, 106, 106}, {111, 141, 141}},
        {"DelumoBlue", {255, 255, 253}, {156, 96, 76}, {191, 131, 111}},
    };
    std::string body = R"(
    CreateColor("w", 1, 0, 0, 100, 576, "#FFFFFF");
    CreateColor("b", 1, 100, 0, 100, 576, "#0000FF");
    CreateColor("m", 1, 200, 0, 100, 576, "#336699");
)";
    int row = 0;
    for (const Case& c : cases) {
        body += "    CreateEffect(\"e" + std::to_string(row) + "\", 5, 0, " +
                std::to_string(40 * row) + ", 300, 30, \"" + c.effect + "\");\n";
        ++row;
    }
    body += "    Draw();\n    Wait(400);\n";
    const std::string game = game_with_pattern("effects_tones", body);
    run_effects(game, {"300=tones.png"});
    const PixelImage img = frame(game + "/tones.png");
    row = 0;
    for (const Case& c : cases) {
        const int y = 40 * row++ + 15;
        EXPECT_EQ(at(img, 50, y), c.white) << c.effect;
        EXPECT_EQ(at(img, 150, y), c.blue) << c.effect;
        EXPECT_EQ(at(img, 250, y), c.mixed) << c.effect;
    }
    // Below the effect objects the backgrounds show as they are.
    EXPECT_EQ(at(img, 150, 500), (Bgr{255, 0, 0}));
}

TEST(Effects, PlainAfterPassiveKeepsThePictureItLastCaptured) {
    const std::string game = game_with_pattern("effects_passive", R"(
    CreateColor("bg", 1, 0, 0, 1024, 576, "#FF0000");
    CreateEffect("keep", 5, 0, 0, 200, 200, "Plain");
    CreateEffect("live", 5, 300, 0, 200, 200, "Plain");
    Draw();
    Wait(100);
    Request("keep", "Passive");
    Wait(100);
    CreateColor("bg", 1, 0, 0, 1024, 576, "#00FF00");
    Draw();
    Wait(400);
)");
    run_effects(game, {"600=passive.png"});
    const PixelImage img = frame(game + "/passive.png");
    EXPECT_EQ(at(img, 100, 100), (Bgr{0, 0, 255})) << "the passive layer keeps the red";
    EXPECT_EQ(at(img, 400, 100), (Bgr{0, 255, 0})) << "a capturing layer follows";
    EXPECT_EQ(at(img, 700, 100), (Bgr{0, 255, 0}));
}

// A lens over white: outside its inscribed circle the scene shows unchanged; at its centre
// the sample has no displacement and both weights are 0, which takes 255 to
// (255 * 255 >> 8) * 255 >> 8 = 253. A lens that is not square constructs nothing; a
// distance of 0 or less counts as 1 and curvatures below 1000 as 1000. Lenses hanging over
// the screen's edges sample only pixels of the frame.
TEST(Effects, LensMagnifiesInsideItsCircleOnly) {
    const std::string game = game_with_pattern("effects_lens", R"(
    CreateColor("bg", 1, 0, 0, 1024, 576, "#FFFFFF");
    CreateEffect("lens", 5, 100, 100, 200, 200, "Lens");
    CreateEffect("odd", 5, 400, 100, 200, 100, "Lens");
    $SYSTEM_effect_lens_distance = 0;
    $SYSTEM_effect_lens_cuvatue = 500;
    CreateEffect("flat", 5, 700, 100, 200, 200, "Lens");
    CreateEffect("edge", 5, 923, 475, 200, 200, "Lens");
    CreateEffect("corner", 5, -99, -99, 200, 200, "Lens");
    Draw();
    Wait(400);
)");
    run_effects(game, {"300=lens.png"});
    const PixelImage img = frame(game + "/lens.png");
    EXPECT_EQ(at(img, 200, 200), (Bgr{253, 253, 253}));
    EXPECT_EQ(at(img, 101, 101), (Bgr{255, 255, 255})) << "corner outside the circle";
    EXPECT_EQ(at(img, 298, 298), (Bgr{255, 255, 255})) << "corner outside the circle";
    EXPECT_EQ(at(img, 500, 150), (Bgr{255, 255, 255})) << "a lens must be square";
    EXPECT_EQ(at(img, 800, 200), (Bgr{253, 253, 253}));
    // Lenses over the screen's edges sample only the frame: their centres still show 253.
    EXPECT_EQ(at(img, 1023, 575), (Bgr{253, 253, 253}));
    EXPECT_EQ(at(img, 1, 1), (Bgr{253, 253, 253}));
}

// Mosaic 0 -> 1000 on a 1024 x 576 picture ends with blocks of 57 (a tenth of 576): each
// the floor mean of its source block, the last column (1024 = 17 * 57 + 55) and the last
// row (576 = 10 * 57 + 6) cut at the edge. 1000 -> 0 ends with the picture as it was.
TEST(Effects, MosaicEndsWithBlocksOfItsFinalSizeOrThePictureBack) {
    const std::string game = game_with_pattern("effects_mosaic", R"(
    CreateTexture("a", 1, 0, 0, "pattern.png");
    DrawEffect("a", 500, "Mosaic", 0, 1000, NULL);
    Draw();
    Wait(1000);
    DrawEffect("a", 500, "Mosaic", 1000, 0, NULL);
    Wait(1000);
    DrawEffect("a", 500, "Mosaic", -5, 1000, NULL);
    Wait(400);
)");
    run_effects(game, {"900=on.png", "1900=off.png", "2300=refused.png"});
    const PixelImage on = frame(game + "/on.png");
    auto mean = [](int x0, int y0, int x1, int y1) {
        std::array<long, 3> s{};
        for (int y = y0; y < y1; ++y)
            for (int x = x0; x < x1; ++x)
                for (int c = 0; c < 3; ++c) s[std::size_t(c)] += pattern_at(x, y)[std::size_t(c)];
        const long n = long(x1 - x0) * (y1 - y0);
        return Bgr{int(s[0] / n), int(s[1] / n), int(s[2] / n)};
    };
    struct Block {
        int x0, y0, x1, y1;
    };
    const Block blocks[] = {{0, 0, 57, 57},
                            {57, 114, 114, 171},
                            {969, 0, 1024, 57},
                            {0, 570, 57, 576},
                            {969, 570, 1024, 576}};
    for (const Block& b : blocks) {
        const Bgr m = mean(b.x0, b.y0, b.x1, b.y1);
        EXPECT_EQ(at(on, b.x0, b.y0), m) << b.x0 << "," << b.y0;
        EXPECT_EQ(at(on, b.x1 - 1, b.y1 - 1), m) << b.x0 << "," << b.y0;
    }
    const PixelImage off = frame(game + "/off.png");
    const PixelImage refused = frame(game + "/refused.png");
    for (const auto& [x, y] : {std::pair{0, 0}, {500, 300}, {1023, 575}}) {
        EXPECT_EQ(at(off, x, y), pattern_at(x, y));
        EXPECT_EQ(at(refused, x, y), pattern_at(x, y)) << "a negative strength is refused";
    }
}

// Distortions at strength 0 leave the picture as it is while they run; a second DrawEffect
// replaces the first (the mosaic is gone under the ripple of strength 0).
TEST(Effects, DistortionsOfStrengthZeroLeaveTheSceneUnchanged) {
    for (const char* effect :
         {"LowWave", "MiddleWave", "HighWave", "SuperWave", "Ripple", "Spiral"}) {
        const std::string game = game_with_pattern("effects_zero", std::string(R"(
    CreateTexture("a", 1, 0, 0, "pattern.png");
    DrawEffect("a", 0, "Mosaic", 1000, 1000, NULL);
    Draw();
    Wait(100);
    DrawEffect("a", 5000, ")") + effect + R"(", 0, 0, NULL);
    Wait(600);
)");
        run_effects(game, {"500=zero.png"});
        const PixelImage img = frame(game + "/zero.png");
        for (int y = 0; y < 576; y += 37) {
            for (int x = 0; x < 1024; x += 53) ASSERT_EQ(at(img, x, y), pattern_at(x, y)) << effect;
        }
    }
}

// Strong waves on a picture that hangs over the screen's right edge: the moved rows stay
// inside the frame and inside the picture's own rows.
TEST(Effects, WavesMoveRowsButNeverOutsideTheirBand) {
    const std::string game = game_with_pattern("effects_wave", R"(
    CreateColor("a", 1, 900, 200, 300, 100, "#FFFFFF");
    DrawEffect("a", 200, "SuperWave", 1000, 1000, NULL);
    Draw();
    Wait(600);
)");
    run_effects(game, {"500=wave.png"});
    const PixelImage img = frame(game + "/wave.png");
    int lit_left = 0;
    for (int y = 0; y < 576; ++y)
        for (int x = 0; x < 1024; ++x) {
            const bool lit = at(img, x, y)[0] != 0;
            if (y < 200 || y >= 300) {
                ASSERT_FALSE(lit) << x << "," << y;
            }
            if (lit && x < 900) ++lit_left;
        }
    EXPECT_GT(lit_left, 0) << "rows moved left of the picture's place";
}

// Rain over black lights only pixels that the rain ramp gives over black (grey 173 at the
// ramp's alphas); a density of 0 draws nothing, 500 draws the 128 drops there are.
TEST(Effects, RainLightsOnlyPixelsOfTheRamp) {
    std::set<int> allowed{0};
    for (std::uint32_t px : scene::rain_ramp()) allowed.insert(int((173 * (px >> 24)) >> 8));
    for (const char* density : {"0", "500"}) {
        const std::string game = game_with_pattern("effects_rain", std::string(R"(
    $SYSTEM_effect_rain_dencity = )") + density + R"(;
    CreateEffect("rain", 5, 0, 0, 1024, 576, "Rain");
    Draw();
    Wait(1500);
)");
        run_effects(game, {"1000=rain.png"});
        const PixelImage img = frame(game + "/rain.png");
        int lit = 0;
        for (int y = 0; y < 576; ++y)
            for (int x = 0; x < 1024; ++x) {
                const Bgr p = at(img, x, y);
                ASSERT_TRUE(allowed.count(p[0]) && p[0] == p[1] && p[1] == p[2]) << x << "," << y;
                lit += p[0] != 0;
            }
        if (std::string(density) == "0")
            EXPECT_EQ(lit, 0);
        else
            EXPECT_GT(lit, 0);
    }
}

// Without a particle image the drops are fully transparent: nothing shows. Odd settings
// (a speed that would stop the drops, a huge swing, a density beyond the particles) run.
TEST(Effects, DropWithoutAnImageShowsNothing) {
    const std::string game = game_with_pattern("effects_drop", R"(
    $SYSTEM_effect_drop_speed = -100;
    $SYSTEM_effect_drop_swing = 100000;
    $SYSTEM_effect_drop_dencity = 9999;
    $SYSTEM_effect_drop_rotate_z = 7;
    CreateEffect("drop", 5, 0, 0, 1024, 576, "Drop");
    Draw();
    Wait(1000);
)");
    run_effects(game, {"800=drop.png"});
    const PixelImage img = frame(game + "/drop.png");
    for (int y = 0; y < 576; y += 7) {
        for (int x = 0; x < 1024; x += 7) ASSERT_EQ(at(img, x, y), (Bgr{0, 0, 0}));
    }
}

// Drops of a real image fall inside their canvas only, whatever their paths do.
TEST(Effects, DropsStayOnTheirCanvas) {
    const std::string game = game_with_pattern("effects_drop_image", R"(
    $SYSTEM_effect_drop_image = "pattern.png";
    $SYSTEM_effect_drop_swing = 300;
    CreateEffect("drop", 5, 300, 100, 200, 200, "Drop");
    Draw();
    Wait(1500);
)");
    run_effects(game, {"1200=drop.png"});
    const PixelImage img = frame(game + "/drop.png");
    int lit = 0;
    for (int y = 0; y < 576; ++y)
        for (int x = 0; x < 1024; ++x) {
            const bool on_canvas = x >= 300 && x < 500 && y >= 100 && y < 300;
            const bool dark = at(img, x, y) == Bgr{0, 0, 0};
            if (!on_canvas) {
                ASSERT_TRUE(dark) << x << "," << y;
            }
            lit += !dark;
        }
    EXPECT_GT(lit, 0);
}

// Sizes and names that construct nothing are reported at the statement.
TEST(Effects, BadArgumentsAreReported) {
    const std::string game = game_with_pattern("effects_reports", R"(
    CreateEffect("z", 5, 0, 0, 0, 10, "Sepia");
    CreateEffect("u", 5, 0, 0, 10, 10, "Nothing");
    CreateColor("c", 1, 0, 0, 10, 10, "#FFFFFF");
    DrawEffect("c", 100, "Mosaic", 0, 2000, NULL);
    DrawEffect("c", 100, "Rain", 0, 0, NULL);
)");
    const RunResult r = run_effects(game, {});
    EXPECT_NE(r.output.find("CreateEffect: size 0 x 10"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("effect \"Nothing\" is not known"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("must lie in 0 to 1000"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("made by CreateEffect"), std::string::npos) << r.output;
    EXPECT_EQ(r.output.find("not available yet"), std::string::npos) << r.output;
}

// The pieces of TurnOver cover the picture exactly while no column moves; a picture
// narrower than the 32 columns makes no empty tiles (nothing divides by zero).
TEST(Effects, TurnOverTilesCoverThePictureUntilTheyMove) {
    const std::string game = game_with_pattern("effects_turnover", R"(
    CreateTexture("a", 1, 0, 0, "pattern.png");
    CreateColor("thin", 2, 0, 0, 20, 10, "#FFFFFF");
    DrawEffect("a", 5000, "TurnOver", 0, 0, NULL);
    DrawEffect("thin", 5000, "TurnOver", 0, 1000, NULL);
    Draw();
    Wait(600);
)");
    run_effects(game, {"500=tiles.png"});
    const PixelImage img = frame(game + "/tiles.png");
    for (int y = 20; y < 576; y += 31)
        for (int x = 0; x < 1024; x += 29)
            ASSERT_EQ(at(img, x, y), pattern_at(x, y)) << x << "," << y;
}

// A split to the bottom of the screen takes its pieces off the screen and then ends: the
// object stays at y 576, out of sight. A split of no time and strength 0 stays in place.
TEST(Effects, SplitsFallToTheirFinalPlace) {
    const std::string game = game_with_pattern("effects_split", R"(
    CreateColor("a", 1, 100, 0, 200, 200, "#FFFFFF");
    CreateColor("b", 1, 600, 0, 200, 200, "#FFFFFF");
    DrawEffect("a", 500, "HardSplit", 0, 1000, NULL);
    DrawEffect("b", 0, "SoftSplit", 0, 0, NULL);
    Draw();
    Wait(1500);
    Position("a", $ax, $ay);
    $out = String("%d", $ay);
    WriteFile("split.txt", $out, FALSE);
)");
    run_effects(game, {"1400=split.png"});
    const PixelImage img = frame(game + "/split.png");
    for (int y = 0; y < 576; y += 5) {
        for (int x = 0; x < 500; x += 5) ASSERT_EQ(at(img, x, y), (Bgr{0, 0, 0})) << x << "," << y;
    }
    EXPECT_EQ(at(img, 700, 100), (Bgr{255, 255, 255})) << "strength 0: the pieces stay in place";
    EXPECT_EQ(read_text(game + "/split.txt"), "576");
}

// Bubbles rise inside their canvas only (here of the built-in soft disc: the game has no
// data/particle.png).
TEST(Effects, FloatBubblesRiseOnTheirCanvas) {
    const std::string game = game_with_pattern("effects_bubble", R"(
    CreateEffect("bubbles", 5, 300, 100, 200, 200, "FloatBubble");
    Draw();
    Wait(4500);
)");
    run_effects(game, {"4000=bubbles.png"});
    const PixelImage img = frame(game + "/bubbles.png");
    int lit = 0;
    for (int y = 0; y < 576; ++y)
        for (int x = 0; x < 1024; ++x) {
            if (at(img, x, y) == Bgr{0, 0, 0}) continue;
            ASSERT_TRUE(x >= 300 && x < 500 && y >= 100 && y < 300) << x << "," << y;
            ++lit;
        }
    EXPECT_GT(lit, 0);
}

// LookupRain draws its one streak inside its canvas only.
TEST(Effects, LookupRainDrawsOneStreakOnItsCanvas) {
    const std::string game = game_with_pattern("effects_lookup", R"(
    CreateEffect("look", 5, 400, 200, 100, 100, "LookupRain");
    Draw();
    Wait(600);
)");
    run_effects(game, {"500=look.png"});
    const PixelImage img = frame(game + "/look.png");
    int lit = 0;
    for (int y = 0; y < 576; ++y)
        for (int x = 0; x < 1024; ++x) {
            if (at(img, x, y) == Bgr{0, 0, 0}) continue;
            ASSERT_TRUE(x >= 440 && x < 460 && y >= 232 && y < 268) << x << "," << y;
            ++lit;
        }
    EXPECT_GT(lit, 0);
    EXPECT_LE(lit, 40);
}

// A ripple runs on after its phase has passed every pixel's distance from the centre (the
// phase index wraps): it keeps to its own picture and keeps showing it.
TEST(Effects, RippleKeepsToItsPictureAsItsPhaseGrows) {
    const std::string game = game_with_pattern("effects_ripple", R"(
    CreateColor("a", 1, 100, 100, 100, 100, "#FFFFFF");
    DrawEffect("a", 200, "Ripple", 1000, 1000, NULL);
    Draw();
    Wait(3000);
)");
    run_effects(game, {"2800=ripple.png"});
    const PixelImage img = frame(game + "/ripple.png");
    int lit = 0;
    for (int y = 0; y < 576; ++y)
        for (int x = 0; x < 1024; ++x) {
            const bool dark = at(img, x, y) == Bgr{0, 0, 0};
            if (x < 100 || x >= 200 || y < 100 || y >= 200) {
                ASSERT_TRUE(dark) << x << "," << y;
            }
            lit += !dark;
        }
    EXPECT_GT(lit, 5000);
}

// A distortion whose final strength is 0 ends by itself and puts the picture back.
TEST(Effects, DistortionsEndingAtZeroPutThePictureBack) {
    for (const char* effect : {"Spiral", "Ripple", "LowWave"}) {
        const std::string game = game_with_pattern("effects_end", std::string(R"(
    CreateTexture("a", 1, 0, 0, "pattern.png");
    DrawEffect("a", 300, ")") + effect + R"(", 1000, 0, NULL);
    Draw();
    Wait(100);
    Draw();
    Wait(700);
)");
        run_effects(game, {"100=during.png", "700=after.png"});
        const PixelImage during = frame(game + "/during.png");
        const PixelImage after = frame(game + "/after.png");
        int moved = 0;
        for (int y = 0; y < 576; y += 37) {
            for (int x = 0; x < 1024; x += 53) {
                ASSERT_EQ(at(after, x, y), pattern_at(x, y)) << effect;
                moved += at(during, x, y) != pattern_at(x, y);
            }
        }
        EXPECT_GT(moved, 0) << effect << " showed nothing while it ran";
    }
}

// A picture replaced while a distortion runs on it stays replaced when the distortion
// ends, and the distortion never reads the picture that went.
TEST(Effects, SetImageDuringADistortionWins) {
    const std::string game = game_with_pattern("effects_setimage", R"(
    CreateTexture("a", 1, 0, 0, "pattern.png");
    LoadColor("white", 1024, 576, "#FFFFFF");
    DrawEffect("a", 400, "Mosaic", 1000, 0, NULL);
    Draw();
    Wait(100);
    SetImage("a", "white");
    Wait(800);
)");
    run_effects(game, {"800=after.png"});
    const PixelImage img = frame(game + "/after.png");
    EXPECT_EQ(at(img, 10, 10), (Bgr{255, 255, 255}));
    EXPECT_EQ(at(img, 1000, 500), (Bgr{255, 255, 255}));
}
