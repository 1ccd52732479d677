// Whole-program runs of games whose resources come through the file-access layer: a game
// packed into archives by kestrune-pack, the built-ins that read and write files, and the
// messages for what is not built yet.
#include "run_game.h"

#include "scene/frame_buffer.h"
#include "storage/container.h"
#include "storage/pixel_image.h"

#include <gtest/gtest.h>

#include <filesystem>

using namespace kestrune::testing;

namespace {

const std::string k_pack = KESTRUNE_BINARY_DIR "/kestrune-pack";

// Packs game/<folder> into game/<folder>.vka and deletes the folder, so that only the
// archive can serve its files.
void pack_folder(const std::string& game, const std::string& folder,
                 std::vector<std::string> options = {}) {
    options.push_back(game + "/" + folder + ".vka");
    options.push_back(game + "/" + folder);
    const RunResult r = run_program(k_pack, options);
    ASSERT_EQ(r.exit_code, 0) << r.output;
    std::filesystem::remove_all(game + "/" + folder);
}

// Writes name (relative to game) as a VKSF container keyed by its base name.
void write_sealed(const std::string& game, const std::string& name, const std::string& content) {
    kestrune::platform::BlockPtr sealed;
    std::size_t size = 0;
    ASSERT_TRUE(kestrune::storage::vksf_encode(
        reinterpret_cast<const std::uint8_t*>(content.data()), content.size(),
        kestrune::storage::container_key(name), sealed, size));
    write_text(game + "/" + name, std::string(reinterpret_cast<const char*>(sealed.get()), size));
}

std::size_t count_of(const std::string& text, const std::string& part) {
    std::size_t n = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++n;
    return n;
}

} // namespace

// Guards against scripts being read from loose files only: the start script, an included
// file, files reached by call_scene, call_chapter and shift_scene, the text data of
// LoadText, images and a data file all live in archives (compressed, scrambled and plain).
TEST(ArchivedGame, RunsToItsEndFromArchivesOnly) {
    const std::string game = copy_game("archived", "archived_game");
    pack_folder(game, "system");
    pack_folder(game, "scenario", {"--compress"});
    pack_folder(game, "cg");
    pack_folder(game, "data", {"--no-scramble"});
    // A loose file beside an archive that holds the same name is not read.
    write_text(game + "/scenario/second.txt",
               "chapter main\n{\n    $trace = $trace + \"LOOSE\";\n}\n");
    // A loose script in the VKSF container is decoded on the way.
    write_sealed(game, "sealed/chapter.txt",
                 "chapter main\r\n{\r\n    $trace = $trace + \"v\";\r\n}\r\n");

    const RunResult r =
        run_kestrune({"--headless", "--save-dir", game + "/saves", "--max-seconds", "30", game});
    EXPECT_EQ(r.exit_code, 0) << r.output;
    EXPECT_EQ(read_text(game + "/result.txt"), "slicvha|40x30|40|Archived words|"
                                               "A note kept in an archive")
        << r.output;
    EXPECT_EQ(r.output.find("no such file"), std::string::npos) << r.output;
    EXPECT_EQ(r.output.find("not found"), std::string::npos) << r.output;
}

// ReadFile reads back what WriteFile wrote, plain and in the container, and the other
// built-ins that need only storage and the scene answer instead of yielding 0.
TEST(ArchivedGame, FileBuiltinsThroughWriteFile) {
    const std::string game = scratch_dir("file_builtins");
    const struct {
        const char* name;
        const char* statement; // sets $v
        const char* expected;
    } cases[] = {
        {"read_plain",
         "WriteFile(\"plain.txt\", \"plain words\", FALSE); $v = ReadFile(\"plain.txt\");",
         "plain words"},
        {"read_sealed",
         "WriteFile(\"sealed.txt\", \"sealed words\"); $v = ReadFile(\"sealed.txt\");",
         "sealed words"},
        {"read_by_variable", "$n = \"plain.txt\"; $v = ReadFile($n);", "plain words"},
        {"read_other_case", "$v = ReadFile(\"PLAIN.TXT\");", "plain words"},
        {"read_missing", "$v = \"\" + ReadFile(\"missing.txt\");", ""},
        {"available", "$n = \"plain.txt\"; $v = AvailableFile($n);", "1"},
        {"available_missing", "$m = \"missing.txt\"; $v = AvailableFile($m);", "-1"},
        {"available_not_a_variable", "$v = AvailableFile(\"plain.txt\");", "-1"},
        {"write_image", "$v = WriteImage(\"shot.vksi\");", "1"},
        {"image_written",
         "CreateTexture(\"shot\", 0, 0, 0, \"shot.vksi\"); $v = ImageHorizon(\"shot\");", "1024"},
        {"platform", "$v = Platform();", "0"},
        {"hardware_stretch", "$v = EnableDirect3DHAL();", "1"},
        {"full_screen_lock",
         "#SYSTEM_window_full = 1; #SYSTEM_window_full_lock = 1; $v = #SYSTEM_window_full;", "0"},
    };
    std::string script =
        "scene main\n{\n    CreateColor(\"bg\", 0, 0, 0, 1024, 576, \"#204060\");\n"
        "    Draw();\n";
    for (const auto& c : cases)
        script += std::string("    ") + c.statement + "\n    WriteFile(\"" + c.name +
                  ".out\", $v, FALSE);\n";
    script += "}\n";
    write_text(game + "/start.txt", script);

    const RunResult r =
        run_kestrune({"--headless", "--save-dir", game + "/saves", "--max-seconds", "30", game});
    ASSERT_EQ(r.exit_code, 0) << r.output;
    for (const auto& c : cases)
        EXPECT_EQ(read_text(game + "/" + c.name + ".out"), c.expected) << c.name << "\n"
                                                                       << r.output;
    EXPECT_EQ(read_text(game + "/sealed.txt").substr(0, 4), "VKSF");
    EXPECT_EQ(read_text(game + "/shot.vksi").substr(0, 4), "VKSI");
}

// What waits for a later subsystem says so once per run, naming the subsystem; a script
// that cannot be loaded is named with the reason.
TEST(ArchivedGame, WaitingSubsystemsAreNamedOnce) {
    const std::string game = scratch_dir("waiting_subsystems");
    write_text(game + "/start.txt", R"(
scene main
{
    $a = SoundAmplitude("voice");
    $a = SoundAmplitude("voice");
    $b = ExistSave(1);
    #SYSTEM_sound_bgm = 0;
    #SYSTEM_sound_bgm = 1;
    $SYSTEM_save_lock = 1;
    CreateSound("bgm", "BGM", "music");
    CreateSound("bgm", "BGM", "music");
    CreateAnimation("anim", 0, 0, 0, "anim.png");
    call_scene "scenario/missing.txt->intro";
    $done = "" + $a + $b;
    WriteFile("done.txt", $done, FALSE);
}
)");
    const RunResult r =
        run_kestrune({"--headless", "--save-dir", game + "/saves", "--max-seconds", "30", game});
    ASSERT_EQ(r.exit_code, 0) << r.output;
    EXPECT_EQ(read_text(game + "/done.txt"), "00");
    const struct {
        const char* message;
    } said_once[] = {
        {"cannot load script \"scenario\\missing.txt\": no such file"},
    };
    // Sound and save data are built: nothing of them waits any more.
    EXPECT_EQ(r.output.find("sound is not available"), std::string::npos) << r.output;
    EXPECT_EQ(r.output.find("save data is not available"), std::string::npos) << r.output;
    // An animation object reads its arguments and makes nothing: nothing to report.
    EXPECT_EQ(r.output.find("CreateAnimation"), std::string::npos) << r.output;
    for (const auto& s : said_once)
        EXPECT_EQ(count_of(r.output, s.message), 1u) << s.message << "\n" << r.output;
}

// An assignment of $SYSTEM_text_interval sets the base interval at once: 20 characters at
// 600 ms (speed factor 0.5) are far from the end of the line after a second and a half.
TEST(ArchivedGame, TextIntervalSettingActsAtOnce) {
    const std::string game = scratch_dir("text_interval_setting");
    write_text(game + "/start.txt", R"(
scene main
{
    CreateColor("bg", 0, 0, 0, 1024, 576, "#000000");
    $SYSTEM_text_interval = 600;
    Wait(500);
    CreateText("t", 10, 100, 100, AUTO, AUTO, "<FONT SIZE=48>MMMMMMMMMMMMMMMMMMMM</FONT>");
    Draw();
    Wait(20000);
}
)");
    const std::string shot = game + "/shot.png";
    const RunResult r =
        run_kestrune({"--headless", "--save-dir", game + "/s", "--time-scale", "1", "--screenshot",
                      "2000=" + shot, "--max-seconds", "2.5", game});
    ASSERT_EQ(r.exit_code, 0) << r.output;
    kestrune::PixelImage image;
    ASSERT_TRUE(kestrune::scene::read_png_bgra(shot.c_str(), image));
    int near = 0, far = 0;
    for (int y = 90; y < 200; ++y)
        for (int x = 90; x < 1024; ++x)
            if (image.row(y)[x * 4 + 1] > 128) {
                if (x < 300) ++near;
                if (x >= 600) ++far;
            }
    EXPECT_GT(near, 100);
    EXPECT_EQ(far, 0) << "the whole line is out: the interval was not applied";
}
