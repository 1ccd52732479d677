// Keys, input events and the mouse handlers, driven directly on the test thread.
#include "frame/engine.h"
#include "script/system_variables.h"
#include "script/variables.h"
#include "ui/input_events.h"
#include "ui/input_hooks.h"
#include "ui/keys.h"
#include "ui/window_input.h"

#include <gtest/gtest.h>

#include <set>

using namespace kestrune;
using namespace kestrune::ui;

namespace {

bool g_render_running = true;

class Keys : public ::testing::Test {
protected:
    void SetUp() override {
        engine::reset_process_state_for_tests();
        script::var_clear_locals();
        script::var_clear_globals();
        script::reset_system_settings_for_tests();
        g_render_running = true;
        engine::RenderHooks render;
        render.is_running = [] { return g_render_running; };
        engine::set_render_hooks(render);
        engine::set_state(engine::k_state_running);
        create_input_events();
        reset_key_state();
        reset_window_input_for_tests();
        input_hooks() = InputHooks{};
    }
    void TearDown() override {
        close_input_events();
        input_hooks() = InputHooks{};
        engine::reset_process_state_for_tests();
    }
    // Each press in these tests is a separate press, not key repeat within 64 ms.
    static void press(Key key, char letter = 0) {
        clear_key_rate_limit_for_tests();
        key_down({key, letter});
    }
    static void release(Key key, char letter = 0) { key_up({key, letter}); }
    static double var(const char* name) { return script::var_number(name); }
};

} // namespace

// Guards the table: every code has its own slot, and codes outside it never index it.
TEST_F(Keys, EventTableHasThirtyDistinctSlotsAndRefusesOtherCodes) {
    const int codes[] = {257,  258,  259,  260,  261,  262,  273,  274,  275,  276,
                         277,  278,  768,  769,  770,  771,  772,  773,  774,  1025,
                         1026, 1281, 1282, 1283, 1284, 1285, 1286, 1287, 1288, 1296};
    std::set<int> slots;
    for (int code : codes) {
        const int i = input_index(code);
        ASSERT_GE(i, 0) << code;
        ASSERT_LT(i, k_input_event_count) << code;
        slots.insert(i);
    }
    EXPECT_EQ(slots.size(), 30u);
    for (int code : {-1, 0, 256, 263, 272, 279, 767, 775, 1024, 1027, 1280, 1289, 1295, 1297, 65536,
                     2147483647}) {
        EXPECT_EQ(input_index(code), -1) << code;
        EXPECT_EQ(input_event(code), nullptr) << code;
        signal_input(code); // does nothing, and does not crash
        reset_input(code);
        EXPECT_FALSE(input_signalled(code));
    }
    EXPECT_EQ(input_event_of_set(2, 257), nullptr);
    EXPECT_EQ(input_event_of_set(-1, 257), nullptr);
    close_input_events();
    EXPECT_EQ(input_event(257), nullptr);
}

TEST_F(Keys, SystemScriptStateUsesTheSecondSet) {
    engine::set_state(engine::k_state_system_script);
    press(Key::tab);
    EXPECT_TRUE(input_event_of_set(1, k_in_tab)->is_signalled());
    EXPECT_FALSE(input_event_of_set(0, k_in_tab)->is_signalled());
    // Enter pressed during the system script and released after it ended: the press must
    // not stay set for the next system script's first key wait.
    press(Key::enter);
    EXPECT_TRUE(input_event_of_set(1, k_in_enter)->is_signalled());
    engine::set_state(engine::k_state_running);
    release(Key::enter);
    EXPECT_FALSE(input_event_of_set(1, k_in_enter)->is_signalled());
}

// Two presses of Enter 50 ms apart count as one.
TEST_F(Keys, RateLimitRefusesASecondPressWithin64Ms) {
    key_down({Key::enter});
    EXPECT_TRUE(input_signalled(k_in_enter));
    key_up({Key::enter});
    EXPECT_FALSE(input_signalled(k_in_enter));
    EXPECT_TRUE(input_signalled(k_in_enter_up));
    key_down({Key::enter}); // well within 64 ms of the first
    EXPECT_FALSE(input_signalled(k_in_enter));
    EXPECT_EQ(var("$SYSTEM_keydown_enter"), 0);
    // Key-up is never limited, and F1 is not either.
    EXPECT_TRUE(key_down({Key::f1}));
}

TEST_F(Keys, EnterSetsVariablesAndReleaseClearsThem) {
    press(Key::enter);
    EXPECT_EQ(var("$SYSTEM_keydown_enter"), 1);
    EXPECT_EQ(var("$SYSTEM_XBOX360_button_a_down"), 1);
    release(Key::enter);
    EXPECT_EQ(var("$SYSTEM_keydown_enter"), 0);
    EXPECT_TRUE(input_signalled(k_in_any));
}

TEST_F(Keys, EnterWhileSkippingStopsSkipping) {
    engine::set_skip_mode(true);
    press(Key::enter);
    EXPECT_FALSE(engine::skip_mode());
}

TEST_F(Keys, EnterTakenByRevealingTextSignalsNothing) {
    input_hooks().offer_to_text = [](TextPress) { return true; };
    press(Key::enter);
    EXPECT_FALSE(input_signalled(k_in_enter));
    EXPECT_EQ(var("$SYSTEM_keydown_enter"), 0);
}

TEST_F(Keys, CtrlShortPressTogglesAndHoldingSkipsUntilRelease) {
    press(Key::ctrl);
    EXPECT_TRUE(engine::skip_mode()); // first short press: on
    release(Key::ctrl);
    EXPECT_TRUE(engine::skip_mode());
    press(Key::ctrl);
    EXPECT_FALSE(engine::skip_mode()); // second short press: off
    release(Key::ctrl);

    press(Key::ctrl); // held: the key repeats
    press(Key::ctrl);
    press(Key::ctrl);
    EXPECT_TRUE(engine::skip_mode());
    release(Key::ctrl);
    EXPECT_FALSE(engine::skip_mode()); // released: skipping ends
}

TEST_F(Keys, CtrlDoesNotSkipUnderSkipLockOrOutsideNormalPlay) {
    script::var_set_number("#SYSTEM_skip_lock", 1);
    press(Key::ctrl);
    EXPECT_FALSE(engine::skip_mode());
    EXPECT_TRUE(input_signalled(k_in_ctrl));
    release(Key::ctrl);

    script::var_set_number("#SYSTEM_skip_lock", 0);
    script::var_set_number("$SYSTEM_menu_lock", 1);
    press(Key::ctrl);
    EXPECT_FALSE(engine::skip_mode());
    release(Key::ctrl);

    script::var_set_number("$SYSTEM_menu_lock", 0);
    g_render_running = false;
    press(Key::ctrl);
    EXPECT_FALSE(engine::skip_mode());
}

TEST_F(Keys, LetterWithoutShortcutSetsItsVariableAndSignals1296) {
    press(Key::letter, 'Q');
    EXPECT_EQ(var("$SYSTEM_keydown_q"), 1);
    EXPECT_TRUE(input_signalled(k_in_letter));
    EXPECT_EQ(engine::state(), engine::k_state_running);
    release(Key::letter, 'Q');
    EXPECT_EQ(var("$SYSTEM_keydown_q"), 0);
    EXPECT_FALSE(input_signalled(k_in_letter));
}

TEST_F(Keys, PageUpOpensTheBacklogOrSignals1285) {
    static bool backlog_opens = true;
    input_hooks().open_backlog = [] { return backlog_opens; };
    press(Key::page_up);
    EXPECT_FALSE(input_signalled(k_in_page_up));
    backlog_opens = false;
    press(Key::page_up);
    EXPECT_TRUE(input_signalled(k_in_page_up));
    EXPECT_EQ(var("$SYSTEM_keydown_pageup"), 1);
}

TEST_F(Keys, KeysWithoutSpecialRulesSignalTheirCodes) {
    const struct {
        Key key;
        std::int32_t code;
        const char* variable;
    } cases[] = {
        {Key::page_down, k_in_page_down, "$SYSTEM_keydown_pagedown"},
        {Key::end, k_in_end, "$SYSTEM_keydown_end"},
        {Key::home, k_in_home, "$SYSTEM_keydown_home"},
        {Key::left, k_in_left, "$SYSTEM_keydown_left"},
        {Key::right, k_in_right, "$SYSTEM_keydown_right"},
        {Key::down, k_in_down, "$SYSTEM_keydown_down"},
        {Key::shift, k_in_shift, "$SYSTEM_keydown_shift"},
    };
    for (const auto& c : cases) {
        press(c.key);
        EXPECT_TRUE(input_signalled(c.code)) << c.variable;
        EXPECT_EQ(var(c.variable), 1) << c.variable;
        release(c.key);
        EXPECT_FALSE(input_signalled(c.code)) << c.variable;
        EXPECT_EQ(var(c.variable), 0) << c.variable;
    }
}

TEST_F(Keys, KeyNamesAndCodes) {
    const struct {
        const char* name;
        Key key;
        char letter;
    } names[] = {
        {"Return", Key::enter, 0},   {"enter", Key::enter, 0},     {"Space", Key::space, 0},
        {"Left Ctrl", Key::ctrl, 0}, {"Right Ctrl", Key::ctrl, 0}, {"Escape", Key::esc, 0},
        {"PageUp", Key::page_up, 0}, {"a", Key::letter, 'A'},      {"Z", Key::letter, 'Z'},
        {"F1", Key::f1, 0},          {"F2", Key::none, 0},         {"", Key::none, 0},
        {"1", Key::none, 0},         {"\xA1", Key::none, 0},       {"Left Shift", Key::shift, 0},
    };
    for (const auto& n : names) {
        const KeyPress p = key_from_name(n.name);
        EXPECT_EQ(p.key, n.key) << n.name;
        EXPECT_EQ(p.letter, n.letter) << n.name;
    }
    EXPECT_EQ(key_from_code(27).key, Key::esc);
    EXPECT_EQ(key_from_code(32).key, Key::space);
    EXPECT_EQ(key_from_code('s').letter, 'S');
    EXPECT_EQ(key_from_code(200).key, Key::none);
    EXPECT_EQ(key_from_code(-5).key, Key::none);
    // A letter outside A..Z (as a corrupt caller might pass) is refused, never indexed.
    EXPECT_FALSE(key_down({Key::letter, '['}));
    EXPECT_EQ(key_variable({Key::letter, '@'}), "");
    EXPECT_EQ(key_variable({Key::letter, 'K'}), "$SYSTEM_keydown_k");
}

TEST_F(Keys, ClickSignalsPressAndReleaseResetsIt) {
    platform::WindowEvent e;
    e.kind = platform::WindowEvent::Kind::mouse_down;
    e.button = 1;
    e.x = 40;
    e.y = 50;
    handle_window_event(e);
    EXPECT_TRUE(input_signalled(k_in_left_down));
    EXPECT_EQ(var("$SYSTEM_l_button_down"), 1);
    std::int32_t x = 0, y = 0;
    engine::pointer_position(x, y);
    EXPECT_EQ(x, 40);
    EXPECT_EQ(y, 50);
    e.kind = platform::WindowEvent::Kind::mouse_up;
    handle_window_event(e);
    EXPECT_FALSE(input_signalled(k_in_left_down));
    EXPECT_TRUE(input_signalled(k_in_left_up));
}

TEST_F(Keys, ClickWhileSkippingEndsSkipAndStillSignals) {
    engine::set_skip_mode(true);
    platform::WindowEvent e;
    e.kind = platform::WindowEvent::Kind::mouse_down;
    e.button = 1;
    handle_window_event(e);
    EXPECT_FALSE(engine::skip_mode());
    EXPECT_TRUE(input_signalled(k_in_left_down));
}

TEST_F(Keys, WheelDownSignals1026AndIsRateLimitedWithKeys) {
    platform::WindowEvent e;
    e.kind = platform::WindowEvent::Kind::wheel;
    e.wheel = -1;
    handle_window_event(e);
    EXPECT_TRUE(input_signalled(k_in_wheel_down));
    EXPECT_EQ(var("$SYSTEM_mousewheel_down"), 1);
    reset_input(k_in_wheel_down);
    handle_window_event(e); // within 64 ms
    EXPECT_FALSE(input_signalled(k_in_wheel_down));
}

TEST_F(Keys, CloseRequestEndsSkipOrAsksToQuit) {
    engine::set_skip_mode(true);
    EXPECT_TRUE(handle_close_request());
    EXPECT_FALSE(engine::skip_mode());
    EXPECT_EQ(var("$SYSTEM_buttondown_close"), 1);
    EXPECT_FALSE(engine::quit_requested());
    // Esc while a system script runs is that script's input.
    engine::set_state(engine::k_state_system_script);
    EXPECT_TRUE(handle_close_request(false));
    EXPECT_FALSE(engine::quit_requested());
    // The close button asks; with nobody to answer (no window here) the run ends.
    EXPECT_TRUE(handle_close_request(true));
    EXPECT_TRUE(engine::quit_requested());
}

TEST_F(Keys, KickShortcutPostsKeysHandledOnTheMainThread) {
    kick_shortcut("space");
    EXPECT_FALSE(input_signalled(k_in_space)); // nothing happens before the main loop's pass
    run_posted_input();
    EXPECT_TRUE(input_signalled(k_in_space));

    clear_key_rate_limit_for_tests();
    kick_shortcut("quick"); // the first character's key
    run_posted_input();
    EXPECT_EQ(var("$SYSTEM_keydown_q"), 1);

    // A synthetic Esc asks to close only while rendering runs; with no close script the
    // request ends the run.
    g_render_running = false;
    clear_key_rate_limit_for_tests();
    kick_shortcut("Escape");
    run_posted_input();
    EXPECT_TRUE(input_signalled(k_in_esc));
    EXPECT_FALSE(engine::quit_requested());
    g_render_running = true;
    clear_key_rate_limit_for_tests();
    kick_shortcut("ESCAPE");
    run_posted_input();
    EXPECT_TRUE(engine::quit_requested());

    kick_shortcut(""); // nothing to post
    kick_shortcut("\x01");
    run_posted_input();
}
