// Whole-program runs of the save slots: Save, Load, DeleteSaveFile, ExistSave and
// MountSavedata, a story going on from the statement after the Save, the scene and its
// running actions coming back, and damaged or missing slots that never end the game.
#include "run_game.h"

#include <gtest/gtest.h>

#include <filesystem>

using namespace kestrune::testing;
namespace fs = std::filesystem;

namespace {

std::string make_game(const std::string& name, const std::string& script) {
    const std::string game = scratch_dir(name);
    write_text(game + "/start.txt", script);
    return game;
}

RunResult run_game(const std::string& game) {
    RunResult r = run_kestrune(
        {"--headless", "--save-dir", game + "/saves", "--max-seconds", "30", game}, 90);
    EXPECT_EQ(r.exit_code, 0) << r.output;
    return r;
}

std::string slot_file(const std::string& game, const char* file) {
    return game + "/saves/0001/" + file;
}

} // namespace

// The story goes on after the Save with the locals of the save, inside a call and a loop;
// globals are not rolled back; Load(n, TRUE) removes the slot once it has loaded.
TEST(SaveSlots, LoadResumesAfterTheSave) {
    const std::string game = make_game("slots_resume", R"(
scene inner
{
    $i = 1;
    while ($i < 4)
    {
        $i = $i + 1;
        if ($i == 3)
        {
            $v = "saved";
            Save(1);
            $e = ExistSave(1);
            #trace = #trace + "[after save i=" + $i + " v=" + $v + " exist=" + $e + "]";
        }
    }
    #trace = #trace + "[loop done i=" + $i + "]";
}

scene main
{
    #trace = "<";
    $v = "start";
    call_scene @->inner;
    #trace = #trace + "[back in main v=" + $v + "]";
    if (#loaded == 0)
    {
        #loaded = 1;
        $v = "changed";
        Load(1, TRUE);
        #trace = #trace + "[NOT REACHED]";
    }
    $e = ExistSave(1);
    $out = #trace + " exist=" + $e;
    WriteFile("trace.txt", $out, FALSE);
}
)");
    run_game(game);
    EXPECT_EQ(read_text(game + "/trace.txt"),
              "<[after save i=3 v=saved exist=1][loop done i=4][back in main v=saved]"
              "[after save i=3 v=saved exist=0][loop done i=4][back in main v=saved] exist=0");
    EXPECT_FALSE(fs::exists(game + "/saves/0001"));
}

// A slot that is missing, cut short or damaged is refused before anything is torn down:
// the script goes on after its Load, and Load(n, TRUE) keeps the slot it could not load.
TEST(SaveSlots, BadSlotsNeverEndTheGame) {
    struct Case {
        const char* name;
        const char* file; // damaged file of slot 1, or null to leave the slot missing
        std::string bytes;
    };
    const Case cases[] = {
        {"missing", nullptr, ""},
        {"empty_frames", "frames.vkf", ""},
        {"garbage_script", "script.vkf", "VKSF garbage"},
        {"empty_locals", "val.vkf", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string game = make_game(std::string("slots_bad_") + c.name, R"(
scene main
{
    $v = 1;
    if (#phase == 0)
    {
        #phase = 1;
        Save(1);
        Exit();
    }
    $v = 2;
    $mounted = MountSavedata(1);
    Load(1, TRUE);
    $out = "v=" + $v + " mounted=" + $mounted;
    WriteFile("trace.txt", $out, FALSE);
}
)");
        run_game(game);
        ASSERT_TRUE(fs::exists(slot_file(game, "script.vkf")));
        if (c.file)
            write_text(slot_file(game, c.file), c.bytes);
        else
            fs::remove_all(game + "/saves/0001");
        const RunResult r = run_game(game);
        EXPECT_EQ(read_text(game + "/trace.txt"), "v=2 mounted=0");
        EXPECT_NE(r.output.find("load of slot 1 refused"), std::string::npos) << r.output;
        if (c.file) {
            EXPECT_TRUE(fs::exists(slot_file(game, c.file)));
        }
    }
}

// DeleteSaveFile removes the slot; a save over an existing slot replaces it whole, and an
// interrupted swap (the new folder in place of nothing, the old one beside it) is mended.
TEST(SaveSlots, DeleteReplaceAndMend) {
    const std::string game = make_game("slots_delete", R"(
scene main
{
    $n = 1;
    Save(1);
    $a = ExistSave(1);
    $n = 2;
    Save(1);
    DeleteSaveFile(1);
    $b = ExistSave(1);
    Save(2);
    $two = ExistSave(2);
    $out = "a=" + $a + " b=" + $b + " two=" + $two;
    WriteFile("trace.txt", $out, FALSE);
}
)");
    run_game(game);
    EXPECT_EQ(read_text(game + "/trace.txt"), "a=1 b=0 two=1");
    EXPECT_FALSE(fs::exists(game + "/saves/0001"));
    EXPECT_FALSE(fs::exists(game + "/saves/0002.new"));
    EXPECT_FALSE(fs::exists(game + "/saves/0002.old"));
    // Headless runs present frames: the thumbnail is a 100 x 75 VKSI picture.
    const std::string thumb = read_text(game + "/saves/0002/thum.vkf");
    ASSERT_EQ(thumb.size(), 26u + 100u * 75u * 4u);
    EXPECT_EQ(thumb.substr(0, 4), "VKSI");

    // A save interrupted between its two renames: only 0002.old is left.
    fs::rename(game + "/saves/0002", game + "/saves/0002.old");
    write_text(game + "/start.txt", R"(
scene main
{
    $two = ExistSave(2);
    $out = "two=" + $two;
    WriteFile("trace.txt", $out, FALSE);
}
)");
    run_game(game);
    EXPECT_EQ(read_text(game + "/trace.txt"), "two=1");
}

// A save that cannot write its files (the folder it writes into cannot be made here; a
// full disk or a read-only folder fail the same way) fails and keeps the old slot whole
// and loadable.
TEST(SaveSlots, FailedSaveKeepsTheOldSlot) {
    const std::string game = make_game("slots_failed", R"(
scene main
{
    if (#phase < 2)
    {
        $v = "run" + #phase;
        #phase = #phase + 1;
        Save(1);
        $out = "v=" + $v;
        WriteFile("trace.txt", $out, FALSE);
        Exit();
    }
    #phase = 3;
    Load(1);
}
)");
    run_game(game);
    EXPECT_EQ(read_text(game + "/trace.txt"), "v=run0");
    write_text(game + "/saves/0001.new", "in the way");
    const RunResult failed = run_game(game);
    EXPECT_NE(failed.output.find("save to slot 1 failed"), std::string::npos) << failed.output;
    EXPECT_EQ(read_text(game + "/trace.txt"), "v=run1");
    fs::remove(game + "/saves/0001.new");
    // The load finds the slot of the first run, whole.
    run_game(game);
    EXPECT_EQ(read_text(game + "/trace.txt"), "v=run0");
}

// Saving again right after a load, at the same statement, writes the same blocks: nothing
// of the running game is lost or changed on the way through a slot.
TEST(SaveSlots, SaveLoadSaveGivesTheSameBlocks) {
    const std::string game = make_game("slots_round_trip", R"(
scene main
{
    CreateColor("a", 1, 10, 10, 64, 64, "#FF0000");
    CreateColor("b", 2, 100, 10, 64, 64, "#00FF00");
    Draw();
    Fade("a", 1000, 502);
    Move("b", 1000, 300, 200, 0);
    Wait(300);
    $v = "kept";
    while (#rounds < 2)
    {
        #rounds = #rounds + 1;
        Save(#rounds);
        if (#loaded == 0)
        {
            #loaded = 1;
            Load(1);
        }
    }
}
)");
    run_game(game);
    for (const char* file : {"script.vkf", "frames.vkf", "val.vkf", "bklg.vkf"}) {
        SCOPED_TRACE(file);
        const std::string first = read_save_block(game + "/saves/0001/" + file);
        const std::string second = read_save_block(game + "/saves/0002/" + file);
        ASSERT_FALSE(first.empty());
        EXPECT_TRUE(first == second) << "the blocks differ";
    }
}
