// The script_flow game run by the program itself: headless, it must end by itself with exit
// code 0 and without a script problem on its output.
#include "run_game.h"

#include <gtest/gtest.h>

using namespace kestrune::testing;

TEST(ScriptFlowGame, EndsByItselfHeadless) {
    const std::string saves = scratch_dir("script_flow_saves");
    const RunResult r = run_kestrune({"--headless", "--save-dir", saves, "--max-seconds", "60",
                                      KESTRUNE_SOURCE_DIR "/tests/game/script_flow"});
    EXPECT_EQ(r.exit_code, 0) << r.output;
    EXPECT_EQ(r.output.find(".txt:"), std::string::npos) << r.output;
}
