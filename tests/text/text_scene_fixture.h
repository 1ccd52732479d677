// Text commands run by real scripts in-process: the script frame of the flow tests, the
// scene store (its render thread only when asked for), the command table with the text
// commands, and the WenQuanYi face at 24 pixels as the default font.
#pragma once

#include "../script/flow_fixture.h"
#include "text_test_support.h"

#include "scene/scene.h"
#include "script/commands.h"
#include "text/layout.h"

namespace kestrune::text::testing {

class TextSceneTest : public script::testing::FlowTest {
protected:
    explicit TextSceneTest(bool render_thread = true) : m_render_thread(render_thread) {}
    void SetUp() override {
        if (!std::filesystem::exists(k_wqy_file))
            GTEST_SKIP() << "fonts-wqy-zenhei is not installed";
        static bool added = platform::add_font_file(k_wqy_file);
        ASSERT_TRUE(added);
        FlowTest::SetUp();
        reset_font_state();
        set_default_font(k_wqy_face, 24, 0xFFFFFF, 0, 400, 0);
        set_text_settings(TextSettings{});
        scene::register_with_frame();
        script::install_command_table();
        register_layout_commands();
        ASSERT_TRUE(scene::init_scene(m_render_thread));
    }
    void TearDown() override {
        if (IsSkipped()) return;
        FlowTest::TearDown();
        scene::shutdown_scene();
        reset_text_settings();
        reset_font_state();
    }

private:
    bool m_render_thread;
};

} // namespace kestrune::text::testing
