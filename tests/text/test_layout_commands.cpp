// CreateText and LoadText run by real scripts in-process, with the scene store: "AUTO"
// sizes, the objects' images and their layouts, a text section's entries.
#include "../script/flow_fixture.h"
#include "text_test_support.h"

#include "scene/scene.h"
#include "script/commands.h"
#include "text/layout.h"

using namespace kestrune;

namespace {

class LayoutCommands : public script::testing::FlowTest {
protected:
    void SetUp() override {
        if (!std::filesystem::exists(text::testing::k_wqy_file))
            GTEST_SKIP() << "fonts-wqy-zenhei is not installed";
        static bool added = platform::add_font_file(text::testing::k_wqy_file);
        ASSERT_TRUE(added);
        FlowTest::SetUp();
        text::reset_font_state();
        text::set_default_font(text::testing::k_wqy_face, 24, 0xFFFFFF, 0, 400, 0);
        text::set_text_settings(text::TextSettings{});
        scene::register_with_frame();
        script::install_command_table();
        text::register_layout_commands();
        ASSERT_TRUE(scene::init_scene(true));
    }
    void TearDown() override {
        if (IsSkipped()) return;
        FlowTest::TearDown();
        scene::shutdown_scene();
        text::reset_text_settings();
        text::reset_font_state();
    }
};

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
