// CreateText and LoadText run by real scripts in-process, with the scene store: "AUTO"
// sizes, the objects' images and their layouts, a text section's entries.
#include "text_scene_fixture.h"

using namespace kestrune;

namespace {

using LayoutCommands = text::testing::TextSceneTest;

TEST_F(LayoutCommands, CreateTextSizesAndLoadTextEntries) {
    write("start.txt", R"(
scene main
{
    CreateText("auto", 1, 0, 0, AUTO, AUTO, "Hello");
    $aw = ImageHorizon("auto");
    $ah = ImageVertical("auto");
    CreateText("fixed", 1, 0, 0, 300, auto, "Hello");
    $fw = ImageHorizon("fixed");
    CreateText("empty", 1, 0, 0, AUTO, 100, "");
    $ew = ImageHorizon("empty");
    CreateName("sec");
    LoadText("main", "sec", "@one*x", 400, 200, NULL, NULL);
    $lw = ImageHorizon("sec/one");
    $lh = ImageVertical("sec/one");
    LoadText("main", "sec", "two", 10, 50, 0, 0);
    $tw = ImageHorizon("sec/two");
    SetBaseTextInterval(45);
<PRE sec>
[one]
Hello, text.
[two]
Wide text that needs more than ten pixels.
</PRE>
}
)");
    ASSERT_TRUE(run());
    std::int32_t w = 0, h = 0;
    ASSERT_EQ(text::measure_text("Hello", w, h, 0, 0), 1);
    EXPECT_EQ(num("$aw"), w);
    EXPECT_EQ(num("$ah"), h);
    EXPECT_EQ(num("$fw"), 300);
    EXPECT_EQ(num("$ew"), 0); // the measurement failed: no object
    EXPECT_EQ(num("$lw"), 400);
    EXPECT_EQ(num("$lh"), 200);
    EXPECT_GT(num("$tw"), 10); // measured wider than asked
    EXPECT_EQ(text::base_interval(), 45);
}

} // namespace
