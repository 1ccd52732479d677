// Whole-program runs of saved scenes, one small game per object kind: the state a kind
// gathered after its creating statement (a camera's angles, a cube's field of view, a
// trail's afterimages, a transition under way, a movie's time and state, a choice's state
// groups, a scroll bar's thumb, the surface an object draws into, the backlog, a screen
// capture, a composite picture (also one drawn over a shade), a shade and a tone, the font
// of a text object and the default font) comes back with the load, so that the frames after
// a load match those of a run that never loaded. Saving again at once after the load writes
// the same scene block.
#include "movie_clips.h"
#include "run_game.h"

#include <gtest/gtest.h>

#include <array>

using namespace kestrune::testing;

namespace {

struct KindCase {
    const char* name;
    const char* setup; // makes the objects and starts what runs across the save
    const char* after; // what the script does 150 ms after the save (or the load)
};

// Every case saves 400 ms after its setup; the backdrop is a dark plane.
const KindCase k_cases[] = {
    {"camera", R"(
    CreateCamera("cam", 0, 0, 0);
    CreateColor("cam/a", 1, 300, 200, 128, 96, "#FF4040");
    CreateColor("cam/b", 2, 600, 300, 96, 96, "#40FF40");
    Draw();
    Rotate("cam", 0, 0, 0, 15);
    Rotate("cam", 1000, 0, 0, 40);
    MoveCamera("cam", 1000, 120, 60, 0);
)",
     ""},
    {"cube", R"(
    CreateColor("f1", 0, 2000, 0, 64, 64, "#FF0000");
    CreateColor("f2", 0, 2000, 0, 64, 64, "#00FF00");
    CreateColor("f3", 0, 2000, 0, 64, 64, "#0000FF");
    CreateColor("f4", 0, 2000, 0, 64, 64, "#FFFF00");
    CreateColor("f5", 0, 2000, 0, 64, 64, "#FF00FF");
    CreateColor("f6", 0, 2000, 0, 64, 64, "#00FFFF");
    CreateCube("cube", 1, "f1", "f2", "f3", "f4", "f5", "f6");
    SetFov("cube", 40);
    Draw();
    Rotate("cube", 0, 20, 30, 0);
    Zoom("cube", 0, 700, 900);
    Rotate("cube", 1000, 60, 120, 10);
)",
     ""},
    {"trail", R"(
    CreateColor("tr", 1, 0, 300, 64, 64, "#FFFFFF");
    SetBlur("tr", TRUE, 8, 600, 40, FALSE);
    Draw();
    Move("tr", 1000, 800, 200, 0);
    Rotate("tr", 1000, 0, 0, 90);
)",
     ""},
    {"transition", R"(
    CreateColor("pic", 1, 100, 100, 800, 400, "#E0C040");
    Draw();
    DrawTransition("pic", 1000, 0, 1000, "rule.bmp", 60);
)",
     ""},
    {"choice", R"(
    CreateChoice("ch");
    CreateColor("ch/MouseUsual/a", 1, 100, 100, 200, 60, "#808080");
    CreateColor("ch/MouseOver/a", 1, 100, 100, 200, 60, "#FFFFFF");
    CreateColor("ch/MouseClick/a", 1, 100, 100, 200, 60, "#FF0000");
    Delete("ch/MouseLeave");
    Draw();
    Move("ch/MouseUsual/a", 1000, 400, 300, 0);
)",
     ""},
    {"scrollbar", R"(
    CreateColor("thumb", 0, 2000, 0, 24, 40, "#C0C0FF");
    CreateScrollbar("sb", 1, 980, 50, 980, 500, 0, "VERTICAL", "thumb");
    SetScrollSpeed("sb", 30);
    Request("sb", "Next");
    Request("sb", "Increment");
    Draw();
)",
     R"(Request("sb", "Increment");)"},
    {"window", R"(
    CreateWindow("win", 1, 100, 100, 300, 200, TRUE);
    CreateColor("win/a", 1, 0, 0, 600, 400, "#4080C0");
    CreateColor("win/a/b", 2, 50, 50, 100, 100, "#FFFFFF");
    Draw();
    Move("win/a", 1000, -200, -150, 0);
)",
     ""},
    {"surface", R"(
    CreateSurface("surf", 1, 0, 0, TRUE);
    CreateColor("x", 2, 10, 10, 100, 100, "#FF8000");
    SetSurface("x", "surf");
    Draw();
    Move("surf", 1000, 300, 200, 0);
)",
     ""},
    {"mask", R"(
    CreateColor("src", 0, 2000, 0, 300, 200, "#FFFFFF");
    CreateMask("m", 1, 100, 100, "src", TRUE);
    CreateColor("m/a", 1, 0, 0, 1024, 576, "#20A020");
    Draw();
    Move("m", 1000, 500, 300, 0);
)",
     ""},
    {"movie", R"(
    CreateMovie("mv", 1, 100, 100, FALSE, FALSE, "clip.mkv", 0);
    CreateMovie("mp", 1, 300, 100, FALSE, FALSE, "clip.mkv", 0);
    CreateMovie("ml", 1, 500, 100, TRUE, FALSE, "clip.mkv", 0);
    Draw();
    Wait(150);
    Request("mp", "Pause");
)",
     R"(Request("mp", "Resume");)"},
    {"capture", R"(
    CreateColor("g", 1, 0, 0, 512, 576, "#00C000");
    CreateColor("a", 1, 100, 100, 200, 200, "#FF0000");
    Draw();
    Wait(50);
    CreateTexture("cap", 2, 0, 0, "SCREEN");
    Zoom("cap", 0, 400, 400);
    Delete("g");
    Move("a", 1000, 600, 300, 0);
)",
     ""},
    {"composite", R"(
    CreateColor("comp", 1, 100, 100, 300, 200, "#4080C0");
    CreateColor("dot", 0, 2000, 0, 50, 50, "#FFFFFF");
    SetComposite("comp", 20, 20, "dot");
    SetShade("comp", MEDIUM);
    SetTone("comp", "Sepia");
    Draw();
    Move("comp", 1000, 500, 300, 0);
)",
     ""},
    // Composed after the shade: the shown picture is not the unfiltered copy filtered again.
    {"composite_over_shade", R"(
    CreateColor("over", 1, 100, 100, 300, 200, "#4080C0");
    CreateColor("dot", 0, 2000, 0, 50, 50, "#FFFFFF");
    SetShade("over", MEDIUM);
    SetComposite("over", 20, 20, "dot");
    CreateColor("plain", 1, 500, 100, 300, 200, "#C08040");
    SetShade("plain", MEDIUM);
    SetShade("plain", NULL);
    SetComposite("plain", 40, 40, "dot");
    Draw();
    Move("over", 1000, 500, 300, 0);
)",
     R"(SetTone("over", "Sepia");)"},
    {"tone", R"(
    CreateColor("t", 1, 100, 100, 300, 200, "#4080C0");
    SetTone("t", "NegaPosi");
    Draw();
    Fade("t", 1000, 64);
)",
     ""},
    {"font", R"(
    SetFont("wenquanyi zen hei", 40, "#FFFF00", "#0000FF", 700, "AROUND");
    CreateText("ft", 1, 50, 50, 900, 200, "Big yellow words");
    SetFont("wenquanyi zen hei", 12, "#FFFFFF", "#000000", 400, "");
    Draw();
)",
     R"(CreateText("ft2", 1, 50, 300, 900, 200, "Small white words");
    SetFont("wenquanyi zen hei", 30, "#00FF00", "#000000", 400, "");)"},
    {"backlog", R"(
    SetBacklog("A first line for the backlog.", "NULL", "");
    SetBacklog("And a second one, a little longer than the first.", "NULL", "");
    Draw();
)",
     ""},
};

class SaveKinds : public ::testing::TestWithParam<KindCase> {};

TEST_P(SaveKinds, LoadShowsTheSavedPicture) {
    const KindCase& c = GetParam();
    const std::string game = scratch_dir(std::string("save_kind_") + c.name);
    write_text(game + "/rule.bmp", bitmap24(64, 8, [](int x, int) {
                   const auto v = std::uint8_t(x * 255 / 63);
                   return std::array<std::uint8_t, 3>{v, v, v};
               }));
    if (std::string(c.name) == "movie") {
        ClipSpec clip;
        clip.frames = 12;
        clip.colour = [](int n, int x, int y) {
            return std::uint32_t(n * 20) << 16 | std::uint32_t(x * 8) << 8 | std::uint32_t(y * 8);
        };
        ASSERT_TRUE(write_clip(game + "/clip.mkv", clip));
    }
    // The bar below the picture shows the backlog's row count: a line added after the save
    // is gone after the load.
    write_text(game + "/start.txt", std::string(R"(
scene main
{
    CreateColor("back", 0, 0, 0, 1024, 576, "#102030");
)") + c.setup + R"(
    Wait(400);
    Save(1);
    if (#loads == 1)
    {
        Save(2);
    }
    WriteImage("at" + #loads + ".vkf");
    Wait(150);
    WriteImage("mid" + #loads + ".vkf");
)" + c.after + R"(
    CreateColor("rows", 5, 0, 560, 10 + BacklogRow() * 10, 16, "#FFFFFF");
    Draw();
    Wait(1000);
    WriteImage("end" + #loads + ".vkf");
    if (#loads == 0)
    {
        #loads = 1;
        SetBacklog("Written after the save, gone with the load.", "NULL", "");
        Load(1);
    }
}
)");
    const RunResult r = run_kestrune(
        {"--headless", "--save-dir", game + "/saves", "--max-seconds", "30", game}, 90);
    ASSERT_EQ(r.exit_code, 0) << r.output;
    EXPECT_EQ(r.output.find("skipped"), std::string::npos) << r.output;
    EXPECT_EQ(r.output.find("refused"), std::string::npos) << r.output;
    expect_frames_match_after_load(game);
    for (const char* file : {"frames.vkf", "bklg.vkf"}) {
        SCOPED_TRACE(file);
        const std::string first = read_save_block(game + "/saves/0001/" + file);
        const std::string second = read_save_block(game + "/saves/0002/" + file);
        ASSERT_FALSE(first.empty());
        std::size_t at = 0;
        while (at < first.size() && at < second.size() && first[at] == second[at]) ++at;
        EXPECT_TRUE(first == second) << "saving again after the load writes another block (from "
                                     << "byte " << at << " of " << first.size() << ")";
    }
}

INSTANTIATE_TEST_SUITE_P(Kinds, SaveKinds, ::testing::ValuesIn(k_cases),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace

// A saved picture, shade and tone, and font, each damaged in one field: the object of that
// record is refused alone and the game goes on. Offsets count from the section's content.
TEST(SaveKindsDamaged, PictureShadeAndFontFieldsOutOfRangeAreRefused) {
    const struct {
        const char* name;
        const char* tag;
        std::size_t at;
        std::uint32_t value;
    } cases[] = {
        {"picture_wider_than_any", "PICT", 4, 5000},
        {"picture_other_size", "PICT", 8, 199},
        {"picture_stream_longer_than_its_section", "PICT", 12, 0x7FFFFFFF},
        {"picture_stream_broken", "PICT", 16, 0xDEADBEEF},
        {"shade_unknown", "SHTN", 0, 12345},
        {"tone_unknown", "SHTN", 4, 599},
        {"font_face_too_long", "FONT", 0, 100000},
        {"font_size_out_of_range", "FONT", 4 + 17, 100000},
        {"font_colour_beyond_rgb", "FONT", 4 + 17 + 8, 0x01000000},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string game = scratch_dir(std::string("save_kind_bad_") + c.name);
        write_text(game + "/start.txt", R"(
scene main
{
    SetFont("wenquanyi zen hei", 20, "#FFFFFF", "#000000", 400, "");
    CreateText("t", 2, 50, 50, 400, 100, "Some words");
    CreateColor("comp", 1, 100, 100, 300, 200, "#4080C0");
    CreateColor("dot", 0, 2000, 0, 50, 50, "#FFFFFF");
    SetComposite("comp", 20, 20, "dot");
    SetShade("comp", MEDIUM);
    Draw();
    Wait(100);
    if (#phase == 0)
    {
        #phase = 1;
        Save(1);
        Exit();
    }
    Load(1);
}
)");
        const std::vector<std::string> args = {"--headless",    "--save-dir", game + "/saves",
                                               "--max-seconds", "10",         game};
        RunResult r = run_kestrune(args, 60);
        ASSERT_EQ(r.exit_code, 0) << r.output;
        const std::string path = game + "/saves/0001/frames.vkf";
        std::string block = read_save_block(path);
        const std::size_t tag = block.find(c.tag);
        ASSERT_NE(tag, std::string::npos);
        const std::size_t at = tag + 8 + c.at;
        ASSERT_LE(at + 4, block.size());
        for (int i = 0; i < 4; ++i)
            block[at + std::size_t(i)] = char(std::uint8_t(c.value >> (8 * i)));
        ASSERT_TRUE(write_save_block(path, block));
        r = run_kestrune(args, 60);
        EXPECT_EQ(r.exit_code, 0) << r.output;
        EXPECT_NE(r.output.find("section refused"), std::string::npos) << r.output;
    }
}
