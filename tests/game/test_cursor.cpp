// The pointer in whole runs: what the headless window was told (its --cursor-log) when
// scripts move, hide and show the pointer and a save shows the wait cursor. The hand over
// choices is checked with the choices (test_choices.cpp).
#include "run_game.h"

#include <gtest/gtest.h>

using namespace kestrune::testing;

TEST(Cursor, ScriptsMoveHideAndShowThePointerAndASaveShowsTheWaitCursor) {
    const std::string game = copy_game("cursor", "cursor_script");
    const RunResult r = run_kestrune({"--headless", "--save-dir", game + "/saves", "--cursor-log",
                                      game + "/cursor.log", "--max-seconds", "6", game});
    ASSERT_EQ(r.exit_code, 0) << r.output;
    EXPECT_EQ(read_text(game + "/position.txt"), "300,200");
    EXPECT_EQ(read_text(game + "/cursor.log"), "505 warp 300 200\n"
                                               "1005 cursor hidden\n"
                                               "1505 cursor shown\n"
                                               "2005 cursor wait\n"
                                               "2005 cursor arrow\n");
}
