// Whole-program runs of saved scenes: objects come back with their actions resumed at the
// saved progress, so that the frames after a load match those of a run that never loaded.
#include "run_game.h"

#include <gtest/gtest.h>

#include <filesystem>

using namespace kestrune::testing;
namespace fs = std::filesystem;

// Every action kind, saved at 40 % of its time: the frame the load shows first, the frame
// 100 ms later and the frame after every action ended are the same as those of the run
// that went on from the Save without a load.
// Fades to 128 and to 1 land exactly (no opacity rounding on the way back).
TEST(SaveScene, ActionsResumeAtTheirSavedProgress) {
    const std::string game = scratch_dir("save_scene_actions");
    write_text(game + "/start.txt", R"SCRIPT(
scene main
{
    CreateColor("fa", 1, 0, 0, 128, 128, "#FFFFFF");
    CreateColor("fb", 1, 128, 0, 128, 128, "#FFFFFF");
    CreateColor("mv", 1, 0, 200, 64, 64, "#FF0000");
    CreateColor("zm", 1, 300, 200, 64, 64, "#00FF00");
    CreateColor("rt", 1, 500, 200, 64, 64, "#0000FF");
    CreateColor("sh", 1, 700, 200, 64, 64, "#FFFF00");
    CreateColor("bz", 1, 900, 0, 32, 32, "#FF00FF");
    Draw();
    Fade("fa", 1000, 502);
    Fade("fb", 1000, 4);
    Move("mv", 1000, 300, 400, 0);
    BezierMove("bz", 1000, "(900,0)(1000,300)(900,500)");
    Zoom("zm", 1000, 2000, 500);
    Rotate("rt", 1000, 0, 0, 90);
    Shake("sh", 1000, 20, 20, 0, 0, 500);
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
    const RunResult r = run_kestrune(
        {"--headless", "--save-dir", game + "/saves", "--max-seconds", "30", game}, 90);
    ASSERT_EQ(r.exit_code, 0) << r.output;
    expect_frames_match_after_load(game);
}

// A page saved in the middle of its second line, after its key wait was clicked away: the
// load shows the same characters, and the page goes on as it would have.
TEST(SaveScene, TextPageResumesAtTheSavedCharacter) {
    const std::string game = scratch_dir("save_scene_text");
    write_text(game + "/start.txt", R"SCRIPT(
scene main
{
    CreateColor("back", 0, 0, 0, 1024, 576, "#203040");
    CreateName("txt");
    LoadText("main", "txt", "p", 900, 300, NULL, 40);
    Request("txt/p", "Enter");
    Draw();
    Wait(1600);
    Save(1);
    WriteImage("at" + #loads + ".vkf");
    Wait(200);
    WriteImage("mid" + #loads + ".vkf");
    Wait(2000);
    WriteImage("end" + #loads + ".vkf");
    if (#loads == 0)
    {
        #loads = 1;
        Load(1);
    }

<PRE txt>
[p]
A first line that waits for the reader.<K>
And a second line that is being shown when the save is made, long enough to be cut.
</PRE>
}
)SCRIPT");
    // The click ends the key wait at the end of the first line (reached by 900 ms).
    write_text(game + "/input.txt", "1000 click 512 300\n");
    const RunResult r = run_kestrune({"--headless", "--save-dir", game + "/saves", "--input",
                                      game + "/input.txt", "--max-seconds", "30", game},
                                     90);
    ASSERT_EQ(r.exit_code, 0) << r.output;
    expect_frames_match_after_load(game);
}
