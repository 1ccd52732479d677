// Whole-program runs of saved image effects: a Save in the middle of an effect and a Load
// back give the frames of the run that never loaded, and a damaged effect record is
// refused without ending the game.
#include "run_game.h"

#include "scene/frame_buffer.h"
#include "scene/raster.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <vector>

using namespace kestrune;
using namespace kestrune::testing;
namespace fs = std::filesystem;

namespace {

// A 320 x 180 picture whose channels vary from pixel to pixel, and a 24 x 24 particle.
void write_pictures(const std::string& game) {
    std::vector<std::uint8_t> px(320 * 180 * 4);
    for (int y = 0; y < 180; ++y)
        for (int x = 0; x < 320; ++x) {
            std::uint8_t* p = &px[(std::size_t(y) * 320 + std::size_t(x)) * 4];
            p[0] = std::uint8_t(x * 7 + y * 3);
            p[1] = std::uint8_t(x ^ y);
            p[2] = std::uint8_t(y * 5 + (x >> 2));
            p[3] = 255;
        }
    ASSERT_TRUE(scene::write_png_bgra((game + "/pattern.png").c_str(), px.data(), 320, 180, 320 * 4,
                                      false));
    std::vector<std::uint8_t> dot(24 * 24 * 4);
    for (int y = 0; y < 24; ++y)
        for (int x = 0; x < 24; ++x) {
            std::uint8_t* p = &dot[(std::size_t(y) * 24 + std::size_t(x)) * 4];
            p[0] = 255, p[1] = std::uint8_t(x * 10), p[2] = std::uint8_t(y * 10);
            p[3] = (x - 12) * (x - 12) + (y - 12) * (y - 12) < 100 ? 255 : 0;
        }
    ASSERT_TRUE(
        scene::write_png_bgra((game + "/dot.png").c_str(), dot.data(), 24, 24, 24 * 4, true));
}

// The game: a background and the pattern, then `effect`; after 400 ms a Save, then frames
// at once, 100 ms later and 1100 ms later. The first run loads the slot once after its
// frames and takes them again.
std::string effect_game(const std::string& name, const std::string& effect) {
    const std::string game = scratch_dir(name);
    write_pictures(game);
    write_text(game + "/start.txt", R"SCRIPT(
scene main
{
    CreateColor("back", 0, 0, 0, 1024, 576, "#203040");
    CreateTexture("a", 1, 300, 200, "pattern.png");
)SCRIPT" + effect + R"SCRIPT(
    Draw();
    Wait(400);
    Save(1);
    WriteImage("at" + #loads + ".vkf");
    Wait(100);
    WriteImage("mid" + #loads + ".vkf");
    Wait(1000);
    WriteImage("end" + #loads + ".vkf");
    if (#loads == 0)
    {
        #loads = 1;
        Load(1);
    }
}
)SCRIPT");
    return game;
}

RunResult run_game(const std::string& game) {
    return run_kestrune({"--headless", "--save-dir", game + "/saves", "--max-seconds", "30", game},
                        90);
}

} // namespace

// Each effect saved while it runs: the frame the load shows first, the frame 100 ms later
// and a frame a second on are those of the run that went on without a load. Particles
// keep their paths and places, distortions their phase and strength, pieces their turns.
// Two effects move by render cycles rather than by time: the turn-over's columns step once
// a cycle and the lone streak takes a new random angle every other cycle, so their later
// frames depend on where the cycles fall after the load, which nothing saved decides; for
// them only the frames that do not depend on it are compared.
TEST(SaveEffects, EffectsResumeWhereTheyWere) {
    struct Case {
        const char* name;
        const char* effect;
        int frames = 3; // of "at", "mid" and "end"
    };
    const Case cases[] = {
        {"rain", R"(CreateEffect("fx", 5, 0, 0, 1024, 576, "Rain");)"},
        {"drop", R"($SYSTEM_effect_drop_image = "dot.png";
    $SYSTEM_effect_drop_rotate_z = 7;
    $SYSTEM_effect_drop_swing = 40;
    CreateEffect("fx", 5, 0, 0, 1024, 576, "Drop");)"},
        {"bubble", R"(CreateEffect("fx", 5, 0, 0, 1024, 576, "FloatBubble");)"},
        {"lookup", R"(CreateEffect("fx", 5, 100, 100, 200, 200, "LookupRain");)", 1},
        {"sepia", R"(CreateEffect("fx", 5, 350, 250, 200, 100, "Sepia");)"},
        {"mosaic", R"(DrawEffect("a", 1000, "Mosaic", 0, 1000, NULL);)"},
        {"ripple", R"(DrawEffect("a", 1000, "Ripple", 200, 800, NULL);)"},
        {"wave", R"(DrawEffect("a", 1000, "LowWave", 100, 500, NULL);)"},
        {"spiral", R"(DrawEffect("a", 1000, "Spiral", 0, 500, NULL);)"},
        {"turnover", R"(DrawEffect("a", 1000, "TurnOver", 0, 1000, NULL);)", 2},
        {"split", R"(DrawEffect("a", 1000, "HardSplit", 0, 1000, NULL);)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string game = effect_game(std::string("save_fx_") + c.name, c.effect);
        const RunResult r = run_game(game);
        ASSERT_EQ(r.exit_code, 0) << r.output;
        EXPECT_EQ(r.output.find("skipped"), std::string::npos) << r.output;
        EXPECT_EQ(r.output.find("refused"), std::string::npos) << r.output;
        const char* const frames[] = {"at", "mid", "end"};
        for (int f = 0; f < c.frames; ++f) {
            const char* name = frames[f];
            SCOPED_TRACE(name);
            const std::string plain = read_text(game + "/" + name + "0.vkf");
            const std::string loaded = read_text(game + "/" + name + "1.vkf");
            ASSERT_FALSE(plain.empty());
            EXPECT_TRUE(plain == loaded) << "the frame after the load differs";
        }
    }
}

namespace {

std::string slot_frames(const std::string& game) {
    return game + "/saves/0001/frames.vkf";
}

void put_u32(std::string& s, std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) s[at + std::size_t(i)] = char(std::uint8_t(v >> (8 * i)));
}

} // namespace

// The effect section of a saved Rain, damaged in a few ways: an unknown effect name, a
// particle table longer than any effect has, a particle whose place lies beyond its path,
// are each refused for that object alone, and the game goes on. A
// count of drawn particles beyond the particles there are is clamped, and the load keeps
// the object.
TEST(SaveEffects, DamagedEffectRecordsAreRefused) {
    // Offsets from the start of the section's content ("Rain" is the kind's name): the name
    // text, five arguments, the tempo text (empty), the progress words, three strengths, two
    // flags; then the particle part: the drawn count, a flag, a clock, the table length and
    // the first particle (eight path words, its sample count, its place).
    constexpr std::size_t k_name = 4, k_count = 4 + 4 + 20 + 4 + 12 + 24 + 8;
    constexpr std::size_t k_table = k_count + 12, k_place = k_table + 4 + 36;
    struct Case {
        const char* name;
        std::size_t at;
        std::uint32_t value;
        bool refused;
    };
    const Case cases[] = {
        {"unknown_kind", k_name, 0x6D696152u /* "Raim" */, true},
        {"huge_table", k_table, 0xFFFFFFF0u, true},
        {"place_beyond_path", k_place + 4, 0x7FF80000u /* NaN's high word */, true},
        {"count_clamped", k_count, 1000000, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string game = scratch_dir(std::string("save_fx_bad_") + c.name);
        write_text(game + "/start.txt", R"SCRIPT(
scene main
{
    CreateEffect("fx", 5, 0, 0, 1024, 576, "Rain");
    Draw();
    Wait(300);
    if (#phase == 0)
    {
        #phase = 1;
        Save(1);
        Exit();
    }
    Load(1);
}
)SCRIPT");
        RunResult r = run_game(game);
        ASSERT_EQ(r.exit_code, 0) << r.output;
        std::string block = read_save_block(slot_frames(game));
        const std::size_t tag = block.find("EFCT");
        ASSERT_NE(tag, std::string::npos);
        const std::size_t content = tag + 8;
        ASSERT_EQ(block.substr(content + k_name, 4), "Rain");
        put_u32(block, content + c.at, c.value);
        ASSERT_TRUE(write_save_block(slot_frames(game), block));
        r = run_game(game);
        EXPECT_EQ(r.exit_code, 0) << r.output;
        const bool refused = r.output.find("section refused") != std::string::npos;
        EXPECT_EQ(refused, c.refused) << r.output;
    }
}
