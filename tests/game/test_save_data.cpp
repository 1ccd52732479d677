// Whole-program runs of the common save data: global variables and the read-text map kept
// from one run to the next, written atomically, a damaged file set aside.
#include "run_game.h"

#include <gtest/gtest.h>

#include <filesystem>

using namespace kestrune::testing;
namespace fs = std::filesystem;

namespace {

// Runs the game folder `game` (start.txt already written) with its save folder.
RunResult run_game(const std::string& game, std::vector<std::string> extra = {}) {
    std::vector<std::string> args = {"--headless", "--save-dir", game + "/saves", "--max-seconds",
                                     "30"};
    args.insert(args.end(), extra.begin(), extra.end());
    args.push_back(game);
    RunResult r = run_kestrune(args, 60);
    EXPECT_EQ(r.exit_code, 0) << r.output;
    return r;
}

} // namespace

// Globals survive every way a run can end: Exit, a Reset guarded by a global (which looped
// for ever while Reset lost the globals), and scripts that simply run out.
TEST(SaveData, GlobalsPersistAcrossRuns) {
    const std::string game = scratch_dir("save_globals");
    write_text(game + "/start.txt", R"(
scene main
{
    #runs = #runs + 1;
    if (#reset_done == 0)
    {
        #reset_done = 1;
        #text = "kept";
        Reset();
    }
    $out = "runs=" + #runs + " text=" + #text;
    WriteFile("out.txt", $out, FALSE);
    if (#runs == 2) Exit();
    #after_exit = 1;
}
)");
    run_game(game);
    // First run: Reset once (runs 1 -> 2), then Exit at #runs == 2.
    EXPECT_EQ(read_text(game + "/out.txt"), "runs=2 text=kept");
    run_game(game);
    // Second run: no Reset (the guard was kept), the scripts end on their own.
    EXPECT_EQ(read_text(game + "/out.txt"), "runs=3 text=kept");
    run_game(game);
    EXPECT_EQ(read_text(game + "/out.txt"), "runs=4 text=kept");
    // Written in place, no temporary file left beside it.
    for (const auto& e : fs::directory_iterator(game + "/saves/common"))
        EXPECT_EQ(e.path().filename().string().find(".tmp"), std::string::npos) << e.path();
}

// A damaged globals file or read-text map is moved aside, never replaced by an empty store:
// the old bytes stay recoverable, and the run still starts and writes fresh files.
TEST(SaveData, DamagedCommonFilesAreMovedAside) {
    struct Case {
        const char* name;
        const char* file;
        std::string bytes;
    };
    const Case cases[] = {
        {"garbage_globals", "val.vkf", "not a container at all"},
        {"empty_globals", "val.vkf", ""},
        {"garbage_map", "cqst.vkf", "VKSF\x01\x02"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string game = scratch_dir(std::string("save_aside_") + c.name);
        write_text(game + "/start.txt", R"(
scene main
{
    #count = #count + 1;
    $out = "count=" + #count;
    WriteFile("out.txt", $out, FALSE);
}
)");
        fs::create_directories(game + "/saves/common");
        write_text(game + "/saves/common/" + c.file, c.bytes);
        const RunResult r = run_game(game);
        EXPECT_EQ(read_text(game + "/out.txt"), "count=1");
        EXPECT_NE(r.output.find("moved aside"), std::string::npos) << r.output;
        ASSERT_TRUE(fs::exists(game + "/saves/common/" + c.file + ".bad"));
        EXPECT_EQ(read_text(game + "/saves/common/" + c.file + ".bad"), c.bytes);
        // The fresh files load on the next run.
        const RunResult again = run_game(game);
        EXPECT_EQ(read_text(game + "/out.txt"), "count=2");
        EXPECT_EQ(again.output.find("moved aside"), std::string::npos) << again.output;
    }
}

// The read-text map is kept with the globals: a block marked read in one run counts as
// read in the next; a block never marked stays unread.
TEST(SaveData, ReadTextMapPersists) {
    const std::string game = scratch_dir("save_read_text");
    write_text(game + "/start.txt", R"(
scene seen
{
    $x = 1;
}

scene unseen
{
    $z = 3;
}

scene main
{
    $a = Conquest("start.txt", "seen");
    $b = Conquest("start.txt", "unseen");
    $out = $a + "," + $b;
    WriteFile("out.txt", $out, FALSE);
    Conquest("start.txt", "seen", TRUE);
}
)");
    run_game(game);
    EXPECT_EQ(read_text(game + "/out.txt"), "0,0");
    run_game(game);
    EXPECT_EQ(read_text(game + "/out.txt"), "1,0");
}
