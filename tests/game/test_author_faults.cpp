// Mistakes an author meets while the game runs, found by the monkey soak: a system setting
// assigned through its global name, and an alias set on a path that names no object.
#include "run_game.h"

#include <gtest/gtest.h>

#include <string>

using namespace kestrune::testing;

// "#SYSTEM_x" and "$SYSTEM_x" are one setting: auto mode turned on through either name
// lets the page's closing key wait pass by itself, and the other name reads the value.
TEST(AuthorFaults, SystemSettingsAnswerToBothPrefixes) {
    for (const char* prefix : {"#", "$"}) {
        SCOPED_TRACE(prefix);
        const std::string game =
            scratch_dir(std::string("author_auto_") + (*prefix == '#' ? "g" : "l"));
        const std::string other = *prefix == '#' ? "$" : "#";
        write_text(game + "/start.txt", R"SCRIPT(
scene main
{
    $SYSTEM_auto_wait_per_character = 10;
    $SYSTEM_text_speed = 0;
    )SCRIPT" + std::string(prefix) + R"SCRIPT(SYSTEM_text_auto = 1;
    $other = String("%d", )SCRIPT" + other + R"SCRIPT(SYSTEM_text_auto);
    WriteFile("other.txt", $other, FALSE);
    CreateColor("bg", 0, 0, 0, 1024, 576, "#000000");
    CreateName("sec");
    LoadText("main", "sec", "page", 1000, 300, NULL, NULL);
    Request("sec/page", "Enter");
    Draw();
    WaitText("sec/page");
    WriteFile("after.txt", "yes", FALSE);
<PRE sec>
[page]
Two words.
</PRE>
}
)SCRIPT");
        const RunResult r =
            run_kestrune({"--headless", "--save-dir", game + "/saves", "--max-seconds", "4", game});
        EXPECT_EQ(r.exit_code, 0) << r.output;
        EXPECT_EQ(read_text(game + "/other.txt"), "1") << r.output;
        EXPECT_EQ(read_text(game + "/after.txt"), "yes") << r.output;
    }
}

// A function called from scene main works on the scene's objects by their own names: an
// alias set through "main/plane" finds no object, and the run says so once for its line,
// naming the object that was probably meant. The bare name sets the alias.
TEST(AuthorFaults, AliasOnAPathThatNamesNoObjectIsReported) {
    const std::string game = scratch_dir("author_alias");
    write_text(game + "/start.txt", R"SCRIPT(scene main
{
    CreateColor("plane", 1, 0, 0, 64, 32, "#FF0000");
    $i = 0;
    while ($i < 3) {
        $i++;
        name_it();
    }
    $width = String("%d", ImageHorizon("@the_plane"));
    WriteFile("width.txt", $width, FALSE);
}
function name_it()
{
    SetAlias("main/plane", "wrong");
    SetAlias("plane", "the_plane");
}
)SCRIPT");
    const RunResult r =
        run_kestrune({"--headless", "--save-dir", game + "/saves", "--max-seconds", "4", game});
    EXPECT_EQ(r.exit_code, 0) << r.output;
    const std::string line = "start.txt:14: SetAlias: no object named 'main/plane'; no alias was "
                             "set; did you mean 'plane'?";
    const std::size_t at = r.output.find(line);
    EXPECT_NE(at, std::string::npos) << r.output;
    EXPECT_EQ(r.output.find(line, at + 1), std::string::npos) << "said more than once";
    EXPECT_EQ(read_text(game + "/width.txt"), "64") << r.output;
}
