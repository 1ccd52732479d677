// Saves cut off by faults: the engine killed at every step of a Save that touches the
// disk, and a disk that is full. Each time the slot afterwards is the old one or the
// complete new one, the common files (global variables, read-text map) still read, and a
// failed Save lets the game go on.
#include "run_game.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <sys/resource.h>

using namespace kestrune::testing;
namespace fs = std::filesystem;

namespace {

// The first run saves the old state; every later run saves the new one over it, with more
// local variables (a larger block) than the old.
std::string game_script() {
    std::string pads;
    for (int i = 0; i < 24; ++i)
        pads += "        $pad" + std::to_string(i) + " = \"a local of the new state\";\n";
    return R"(
scene main
{
    if (#made == 0)
    {
        #made = 1;
        $v = "old-state";
        CreateColor("oldobj", 1, 0, 0, 64, 64, "#FF0000");
        Draw();
        Save(1);
    }
    else
    {
        #made = 2;
        $v = "new-state";
)" + pads + R"(
        CreateColor("newobj", 1, 0, 0, 64, 64, "#00FF00");
        Draw();
        Save(1);
        WriteFile("went_on.txt", "yes", FALSE);
    }
}
)";
}

bool decodes(const std::string& path, std::string& out) {
    out = read_save_block(path);
    return !out.empty();
}

// "old" or "new" when the slot is whole and of one save, else what is wrong with it.
std::string slot_state(const std::string& saves) {
    std::string folder = saves + "/0001";
    // A swap cut off between its two renames leaves only the old folder, which the next
    // access to the slot puts back.
    if (!fs::exists(folder) && fs::exists(saves + "/0001.old")) folder = saves + "/0001.old";
    std::string blocks[4];
    const char* files[4] = {"script.vkf", "frames.vkf", "bklg.vkf", "val.vkf"};
    for (int i = 0; i < 4; ++i)
        if (!decodes(folder + "/" + files[i], blocks[i]))
            return std::string(files[i]) + " missing or damaged";
    const bool old_vars = blocks[3].find("old-state") != std::string::npos;
    const bool new_vars = blocks[3].find("new-state") != std::string::npos;
    const bool old_scene = blocks[1].find("oldobj") != std::string::npos;
    const bool new_scene = blocks[1].find("newobj") != std::string::npos;
    if (old_vars && old_scene && !new_vars && !new_scene) return "old";
    if (new_vars && new_scene && !old_vars && !old_scene) return "new";
    return "a mix of two saves";
}

std::string run_with(const std::string& game, const std::string& saves) {
    const RunResult r =
        run_kestrune({"--headless", "--save-dir", saves, "--max-seconds", "20", game}, 60);
    return std::to_string(r.exit_code) + "\n" + r.output;
}

} // namespace

// The engine is killed just before its first, second, third ... step that changes the
// disk, until a run gets through whole: the Save's folder, every file opened, written and
// synced, the renames and removals, and the common files written with it and at the exit.
TEST(SaveFaults, KilledAtEveryStepLeavesTheOldOrTheNewSlot) {
    const std::string game = scratch_dir("save_faults_kill");
    write_text(game + "/start.txt", game_script());
    const std::string old_saves = game + "/old";
    ASSERT_EQ(run_with(game, old_saves).substr(0, 2), "0\n");
    ASSERT_EQ(slot_state(old_saves), "old");

    int trials = 0;
    bool whole = false, saw_new = false;
    for (int step = 1; step <= 150 && !whole; ++step) {
        SCOPED_TRACE("killed before step " + std::to_string(step));
        const std::string saves = game + "/trial";
        fs::remove_all(saves);
        fs::copy(old_saves, saves, fs::copy_options::recursive);
        setenv("KESTRUNE_KILL_AT_FILE_STEP", std::to_string(step).c_str(), 1);
        const std::string result = run_with(game, saves);
        unsetenv("KESTRUNE_KILL_AT_FILE_STEP");
        ++trials;
        whole = result.substr(0, 2) == "0\n";
        if (!whole) {
            ASSERT_EQ(result.substr(0, 4), "137\n") << result;
        }
        const std::string state = slot_state(saves);
        ASSERT_TRUE(state == "old" || state == "new") << state;
        saw_new = saw_new || state == "new";
        if (whole) {
            EXPECT_EQ(state, "new");
        }
        std::string common;
        EXPECT_TRUE(decodes(saves + "/common/val.vkf", common)) << "global variables lost";
        EXPECT_TRUE(decodes(saves + "/common/cqst.vkf", common)) << "read-text map lost";
        // What the next run finds: the slot loads (or, were it missing, says so) and the
        // game starts as usual.
        if (!whole) {
            const std::string next = run_with(game, saves);
            EXPECT_EQ(next.substr(0, 2), "0\n") << next;
            EXPECT_EQ(next.find("moved aside"), std::string::npos) << next;
        }
    }
    RecordProperty("trials", trials);
    EXPECT_TRUE(whole) << "no run got through its save";
    EXPECT_TRUE(saw_new);
    EXPECT_GT(trials, 20);
}

// A disk with room for no file over 16 KB (the thumbnail and the global variables need
// more): the Save fails with a message, the old slot stays as it was, and the script goes
// on.
TEST(SaveFaults, FullDiskKeepsTheOldSlot) {
    const std::string game = scratch_dir("save_faults_full");
    write_text(game + "/start.txt", game_script());
    const std::string saves = game + "/saves";
    ASSERT_EQ(run_with(game, saves).substr(0, 2), "0\n");
    ASSERT_EQ(slot_state(saves), "old");

    // The limit and the ignored signal pass to the engine through fork and exec.
    struct rlimit before {};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &before), 0);
    struct rlimit limited = before;
    limited.rlim_cur = 16 * 1024;
    auto* old_handler = std::signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);
    const std::string result = run_with(game, saves);
    setrlimit(RLIMIT_FSIZE, &before);
    std::signal(SIGXFSZ, old_handler);

    EXPECT_EQ(result.substr(0, 2), "0\n") << result;
    EXPECT_NE(result.find("save to slot 1 failed"), std::string::npos) << result;
    EXPECT_EQ(slot_state(saves), "old");
    EXPECT_FALSE(fs::exists(saves + "/0001.new"));
    EXPECT_EQ(read_text(game + "/went_on.txt"), "yes") << "the script did not go on";
}
