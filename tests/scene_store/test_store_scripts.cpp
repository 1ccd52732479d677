// Scene commands run by real scripts in-process, with the render thread: skip mode, the
// action built-ins and CreateProcess refusing a running block.
#include "../script/flow_fixture.h"

#include "scene/scene.h"
#include "script/commands.h"
#include "script/system_variables.h"

using namespace kestrune;

namespace {

class SceneScript : public script::testing::FlowTest {
protected:
    void SetUp() override {
        FlowTest::SetUp();
        scene::register_with_frame();
        script::install_command_table();
        ASSERT_TRUE(scene::init_scene(true));
    }
    void TearDown() override {
        engine::set_skip_mode(false);
        FlowTest::TearDown();
        scene::shutdown_scene();
    }
    double number(const char* name) {
        double v = -1;
        script::var_get_number(name, v);
        return v;
    }
};

TEST_F(SceneScript, SkipModeEndsShortFadesAtOnceButNotLongOnes) {
    write("start.txt", R"(
scene main
{
    CreateColor("a", 1, 0, 0, 10, 10, "#FFFFFF");
    CreateColor("b", 1, 0, 0, 10, 10, "#FFFFFF");
    Fade("a", 500, 0, NULL, FALSE);
    $short = RemainTime("a");
    Fade("b", 600, 0, NULL, FALSE);
    $long = DurationTime("b");
    $t0 = MilliTime();
    Fade("a", 500, 1000, NULL, TRUE);
    $waited = MilliTime() - $t0;
}
)");
    // Skip everything: read-text tracking would otherwise end skip mode at the first line.
    script::set_setting_default("skip_absolute", 1);
    engine::set_skip_mode(true);
    ASSERT_TRUE(run());
    script::set_setting_default("skip_absolute", 0);
    EXPECT_EQ(number("$short"), 0);
    EXPECT_EQ(number("$long"), 600);
    EXPECT_LT(number("$waited"), 100);
}

TEST_F(SceneScript, ActionTimesAreReported) {
    write("start.txt", R"(
scene main
{
    CreateColor("m", 1, 0, 0, 10, 10, "#FFFFFF");
    Move("m", 1000, 100, 0, 0, NULL, FALSE);
    Draw();
    $d = DurationTime("m");
    Wait(300);
    $p = PassageTime("m");
    $r = RemainTime("m");
    $w = ImageHorizon("m");
}
)");
    ASSERT_TRUE(run());
    EXPECT_EQ(number("$d"), 1000);
    EXPECT_GT(number("$p"), 150);
    EXPECT_LT(number("$p"), 800);
    EXPECT_NEAR(number("$p") + number("$r"), 1000, 1);
    EXPECT_EQ(number("$w"), 10);
}

TEST_F(SceneScript, CreateProcessRefusesABlockThatIsRunning) {
    write("start.txt", R"(
cut worker
{
    begin:
    #runs = #runs + 1;
    CreateProcess("again", 0, 0, 0, "worker");
}

scene main
{
    #runs = 0;
    CreateProcess("p", 0, 0, 0, "worker");
    Request("p", "Start");
    Wait(200);
    Delete("p");
    $done = 1;
}
)");
    // The refused call leaves the running process alone: it is deleted normally and the
    // script ends.
    ASSERT_TRUE(run());
    EXPECT_EQ(number("$done"), 1);
}

} // namespace
