// The reveal step driven frame by frame: text objects made by real scripts with the scene
// store (no render thread), the elapsed time set by moving each object's reveal time back,
// the sound and backlog replaced by recorders.
#include "text_scene_fixture.h"

#include "scene/raster.h"
#include "scene/scene.h"
#include "script/commands.h"
#include "script/system_variables.h"
#include "text/display.h"
#include "text/glyphs.h"
#include "text/layout.h"
#include "ui/input_events.h"

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

using namespace kestrune;

namespace {

struct Recorder {
    std::string backlog; // characters, '\n' for line ends, '*' for a voice marker
    int voices_started = 0;
    std::int32_t voice_length = 0;
};
Recorder g_rec;

class Display : public text::testing::TextSceneTest {
protected:
    Display() : TextSceneTest(false) {}
    void SetUp() override {
        TextSceneTest::SetUp();
        if (IsSkipped()) return;
        text::register_display();
        ui::create_input_events();
        g_rec = {};
        text::DisplayHooks& h = text::display_hooks();
        h.backlog_add = [](std::int32_t code, const text::VoiceRecord* voice) {
            if (voice) g_rec.backlog += '*';
            if (code == 10)
                g_rec.backlog += '\n';
            else if (code > 0 && code < 0x80)
                g_rec.backlog += static_cast<char>(code);
            return 1;
        };
        h.start_voice = [](text::VoiceRecord&) {
            ++g_rec.voices_started;
            return true;
        };
        h.voice_length_ms = [](const text::VoiceRecord&) { return g_rec.voice_length; };
        h.voice_playing = [] { return false; };
        h.stop_voice = [] {};
    }
    void TearDown() override {
        if (IsSkipped()) return;
        text::display_hooks() = {};
        engine::set_skip_mode(false);
        engine::set_auto_mode(false);
        engine::set_text_window_hidden(false);
        ui::close_input_events();
        TextSceneTest::TearDown();
    }

    // Runs a script that lays out `body` as the LoadText entry "one" of section "sec" (its
    // object is "sec/one", shown at once) after the statements of `setup`.
    void load(const std::string& body, const std::string& setup = "") {
        write("start.txt", "scene main\n{\n" + setup +
                               "\n    CreateName(\"sec\");\n"
                               "    LoadText(\"main\", \"sec\", \"one\", 800, 300, NULL, NULL);\n"
                               "    Request(\"sec/one\", \"Enter\");\n"
                               "<PRE sec>\n[one]\n" +
                               body + "\n</PRE>\n}\n");
        ASSERT_TRUE(run());
        engine::set_state(engine::k_state_running);
        m_object = find("one");
        ASSERT_NE(m_object, nullptr);
    }
    void create(const std::string& text, const std::string& setup = "") {
        write("start.txt", "scene main\n{\n" + setup +
                               "\n    CreateText(\"t\", 1, 0, 0, 600, 200, \"" + text +
                               "\");\n}\n");
        ASSERT_TRUE(run());
        engine::set_state(engine::k_state_running);
        m_object = find("t");
        ASSERT_NE(m_object, nullptr);
    }
    scene::SceneObject* find(const std::string& name) {
        engine::scene_lock();
        scene::SceneObject* found = nullptr;
        for (scene::SceneObject* o : scene::current_list())
            if (o->name == name) found = o;
        engine::scene_unlock();
        return found;
    }
    text::TextLayout& layout() { return *text::text_layout_of(*m_object); }
    // One reveal step as if `elapsed` ms had passed since the last one.
    int step(std::int32_t elapsed = 0) {
        engine::scene_lock();
        text::TextLayout& p = layout();
        p.reveal_time = platform::tick_ms() - static_cast<std::uint32_t>(elapsed);
        if (p.reveal_time == 0) p.reveal_time = 1;
        const int r = text::reveal_step(*m_object);
        engine::scene_unlock();
        return r;
    }
    // Steps until the reveal ends (0) or `limit` steps were taken; returns the steps taken.
    int steps_to_end(int limit, std::int32_t elapsed = 100000) {
        for (int n = 1; n <= limit; ++n)
            if (step(elapsed) == 0) return n;
        return -1;
    }
    void set(const std::string& setting, double value) {
        script::var_set_number("$SYSTEM_" + setting, value);
    }
    void click() { ui::signal_input(ui::k_in_left_down); }
    std::int32_t cursor() { return layout().cursor; }
    std::int32_t key_wait_at_cursor() {
        return layout().slots[static_cast<std::size_t>(layout().cursor)].key_wait;
    }

    scene::SceneObject* m_object = nullptr;
};

TEST_F(Display, SpeedZeroShowsAPageAtOnceAndStopsAtItsKeyWait) {
    load("One page\n\nTwo", "    $SYSTEM_text_speed = 0;");
    EXPECT_EQ(step(), -4);
    EXPECT_EQ(key_wait_at_cursor(), 2) << "waiting for the reader after one step";
    EXPECT_EQ(g_rec.backlog.substr(0, 8), "One page");
    EXPECT_EQ(step(), -4); // no input: still waiting
    click();
    EXPECT_EQ(step(), 1);
    EXPECT_GT(steps_to_end(5), 0);
    EXPECT_EQ(g_rec.backlog, "One page\nTwo");
    EXPECT_EQ(text::last_text(), "Two");
}

TEST_F(Display, APageEndAtTheEndOfTheTextWaitsForTheReaderAndKeepsThePage) {
    load("Last page\n",
         "    $SYSTEM_text_speed = 0;"); // the section's line end makes it an empty line
    EXPECT_EQ(step(), -4);
    EXPECT_EQ(key_wait_at_cursor(), 2);
    click();
    EXPECT_EQ(step(), 1);
    EXPECT_EQ(step(), 0);
    const PixelImage& img = *layout().target;
    int drawn = 0;
    for (std::int32_t y = 0; y < img.height; ++y)
        for (std::int32_t x = 0; x < img.width; ++x) drawn += img.row(y)[x * 4 + 3] != 0;
    EXPECT_GT(drawn, 50) << "nothing follows the last page, so it is not cleared";
}

TEST_F(Display, SkipModeShowsEveryPageAtOncePlaysNoVoiceButLogsEverything) {
    load("<VOICE NAME=a CLASS=Ann SRC=v1.ogg>First page\n\n"
         "<VOICE NAME=b CLASS=Ann SRC=v2.ogg>Second page\n\nThird");
    engine::set_skip_mode(true);
    const int steps = steps_to_end(10);
    EXPECT_GT(steps, 0);
    EXPECT_LE(steps, 4) << "each key wait passes after at most one step";
    EXPECT_EQ(g_rec.voices_started, 0);
    EXPECT_EQ(g_rec.backlog, "*First page\n*Second page\nThird");
}

TEST_F(Display, TextLongerThanTheTableEndsAtItsLastSlot) {
    // 3000 characters fill the 2048 slots of the table; the reveal stops at the last one,
    // in skip mode as at the normal speed.
    std::string body;
    for (int line = 0; line < 60; ++line) body += std::string(50, 'x') + "\n";
    for (const bool skip : {true, false}) {
        load(body, "    $SYSTEM_text_speed = 1000;");
        ASSERT_EQ(layout().slot_count, text::k_layout_slots);
        engine::set_skip_mode(skip);
        EXPECT_GT(steps_to_end(5000), 0);
        EXPECT_EQ(cursor(), text::k_layout_slots);
        EXPECT_EQ(step(), 0) << "a finished text stays finished";
    }
}

TEST_F(Display, AutoModeWaitsPerCharacterShownThenGoesOn) {
    // 40 characters: 4 seconds at 100 ms each.
    load(std::string(40, 'x') + "\n\nnext",
         "    $SYSTEM_text_speed = 0;\n    $SYSTEM_auto_wait_per_character = 100;");
    engine::set_auto_mode(true);
    EXPECT_EQ(step(), -4); // the page is out; its key wait becomes the auto pause
    EXPECT_EQ(key_wait_at_cursor(), 3);
    EXPECT_EQ(step(3900), -4);
    EXPECT_NE(step(4100), -4);
    EXPECT_EQ(steps_to_end(5), 1);
    // Switched off during the pause, the key wait waits for the reader again.
    load(std::string(10, 'y') + "\n\nnext", "    $SYSTEM_text_speed = 0;");
    engine::set_auto_mode(true);
    EXPECT_EQ(step(), -4);
    engine::set_auto_mode(false);
    EXPECT_EQ(step(100000), -4);
    EXPECT_EQ(step(100000), -4);
    EXPECT_EQ(key_wait_at_cursor(), 2);
}

TEST_F(Display, KeyWaitIgnoresClicksOnClickableObjectsAndWhileTheWindowIsHidden) {
    load("Page\n\nnext", "    $SYSTEM_text_speed = 0;\n"
                         "    CreateColor(\"button\", 5, 500, 400, 100, 50, \"#FF0000\");\n"
                         "    Request(\"button\", \"Clickable\");\n    Draw();");
    engine::scene_lock();
    scene::commit_draw_list();
    engine::scene_unlock();
    EXPECT_EQ(step(), -4);
    ASSERT_EQ(key_wait_at_cursor(), 2);
    engine::set_pointer_position(520, 420); // on the button
    click();
    EXPECT_EQ(step(), -4);
    engine::set_pointer_position(10, 10);
    engine::set_text_window_hidden(true);
    EXPECT_EQ(step(), -4);
    engine::set_text_window_hidden(false);
    EXPECT_EQ(step(), 1);
}

TEST_F(Display, VoiceSyncSpreadsTheVoiceOverThePage) {
    EXPECT_EQ(text::voice_sync_interval(3200, 10), 300);
    EXPECT_EQ(text::voice_sync_interval(150, 3), 50); // short voices keep their length
    EXPECT_EQ(text::voice_sync_interval(3200, 0), 0); // no characters: no pacing
    EXPECT_EQ(text::voice_sync_interval(0, 10), 0);

    g_rec.voice_length = 3200;
    load("<VOICE NAME=a CLASS=Ann SRC=v.ogg>0123456789\n\nnext",
         "    $SYSTEM_sync_voice_and_text = 1;\n    $SYSTEM_text_speed = 500;");
    EXPECT_EQ(step(0), -4);
    EXPECT_EQ(g_rec.voices_started, 1);
    EXPECT_EQ(layout().voice_sync_interval, 300);
    EXPECT_EQ(step(0), -4); // one character every 300 ms, whatever the text speed says
    const std::int32_t before = cursor();
    EXPECT_EQ(step(310), 1);
    EXPECT_EQ(cursor(), before + 1);
}

TEST_F(Display, RestoringPassesKeyWaitsWithoutWaiting) {
    load("A\n\nB\n\nC", "    $SYSTEM_text_speed = 0;");
    engine::set_state(engine::k_state_restoring);
    const int steps = steps_to_end(20);
    engine::set_state(engine::k_state_running);
    EXPECT_GT(steps, 0);
}

TEST_F(Display, RubyAppearsWithItsBaseCharacters) {
    create("ab<RUBY=xyzw>CDEF</RUBY>gh",
           "    $SYSTEM_text_speed = 1000;\n    SetBaseTextInterval(100);");
    const auto ruby_pixels = [&] {
        text::TextLayout& p = layout();
        int n = 0;
        for (std::int32_t y = 0; y < p.ruby_height && y < p.target->height; ++y)
            for (std::int32_t x = 0; x < p.target->width; ++x)
                if (p.target->row(y)[x * 4 + 3] != 0) ++n;
        return n;
    };
    EXPECT_EQ(step(100), 1); // "a"
    EXPECT_EQ(step(100), 1); // "b"
    EXPECT_EQ(ruby_pixels(), 0);
    EXPECT_EQ(step(100), 1); // "C": the ruby over it starts
    const int early = ruby_pixels();
    EXPECT_GT(early, 0);
    steps_to_end(20);
    EXPECT_GT(ruby_pixels(), early) << "the rest of the ruby came with the rest of its base";
}

TEST_F(Display, OutlineIsTheGlyphsDrawnAtEveryOffsetUnderTheGlyphs) {
    create("<FONT INCOLOR=#FFFFFF OUTCOLOR=#FF0000>Ab</FONT>",
           "    SetFont(\"" + std::string(text::testing::k_wqy_face) +
               "\", 32, \"#FFFFFF\", \"#FF0000\", NORMAL, AROUND);\n    $SYSTEM_text_speed = 0;");
    steps_to_end(5);
    text::TextLayout& p = layout();
    ASSERT_TRUE(p.outline_layer);
    // The reference: every glyph's outline image (its shape blended at each offset), then
    // the glyph, each over what is already there.
    PixelImage expect;
    ASSERT_TRUE(expect.allocate(p.target->width, p.target->height));
    auto over = [](std::uint8_t* d, const std::uint8_t* s) {
        const unsigned sa = s[3], da = d[3];
        if (!sa) return;
        const unsigned out = sa + da * (255 - sa) / 255;
        for (int c = 0; c < 3; ++c)
            d[c] = static_cast<std::uint8_t>(
                std::min(255u, (s[c] * sa + d[c] * da * (255 - sa) / 255) / out));
        d[3] = static_cast<std::uint8_t>(out);
    };
    auto draw = [&](const PixelImage& img, std::int32_t x, std::int32_t y) {
        for (std::int32_t gy = 0; gy < img.height; ++gy)
            for (std::int32_t gx = 0; gx < img.width; ++gx) {
                const std::int32_t tx = x + gx, ty = y + gy;
                if (tx < 0 || ty < 0 || tx >= expect.width || ty >= expect.height) continue;
                over(expect.row(ty) + tx * 4, img.row(gy) + gx * 4);
            }
    };
    int shown = 0;
    for (std::int32_t i = 0; i < p.slot_count; ++i) {
        const text::CharSlot& s = p.slots[static_cast<std::size_t>(i)];
        if (!s.image) continue;
        ++shown;
        if (auto o = text::make_outline_image(*s.image, s.outline_directions, s.outline_colour))
            draw(*o, s.x - 2, s.y - 2);
    }
    for (std::int32_t i = 0; i < p.slot_count; ++i) {
        const text::CharSlot& s = p.slots[static_cast<std::size_t>(i)];
        if (s.image) draw(*s.image, s.x, s.y);
    }
    ASSERT_EQ(shown, 2);
    int differ = 0, red = 0, worst = 0;
    for (std::int32_t y = 0; y < expect.height; ++y)
        for (std::int32_t x = 0; x < expect.width; ++x) {
            const std::uint8_t* a = p.target->row(y) + x * 4;
            const std::uint8_t* b = expect.row(y) + x * 4;
            if (a[3] > 128 && a[2] > 200 && a[1] < 60) ++red;
            for (int c = 0; c < 4; ++c)
                if (std::abs(int(a[c]) - int(b[c])) > 8) {
                    worst = std::max(worst, std::abs(int(a[c]) - int(b[c])));
                    ++differ;
                    break;
                }
        }
    EXPECT_GT(red, 20) << "the red outline shows around the white glyphs";
    EXPECT_LT(differ, 10) << worst;
}

// The outline and glyph layers clear only the rows glyphs were written into: a page clear
// must still leave nothing of the earlier page, so the second page of "one" comes out
// exactly as the same text laid out alone in "two".
TEST_F(Display, AnOutlinedPageAfterAPageClearIsTheSameTextAlone) {
    write("start.txt", "scene main\n{\n    $SYSTEM_text_speed = 0;\n    SetFont(\"" +
                           std::string(text::testing::k_wqy_face) +
                           "\", 32, \"#FFFFFF\", \"#FF0000\", NORMAL, AROUND);\n"
                           "    CreateName(\"sec\");\n"
                           "    LoadText(\"main\", \"sec\", \"one\", 400, 200, NULL, NULL);\n"
                           "    LoadText(\"main\", \"sec\", \"two\", 400, 200, NULL, NULL);\n"
                           "<PRE sec>\n[one]\nWWWW\nMMMM\n\niiii\n[two]\niiii\n</PRE>\n}\n");
    ASSERT_TRUE(run());
    engine::set_state(engine::k_state_running);
    m_object = find("one");
    ASSERT_NE(m_object, nullptr);
    EXPECT_EQ(step(), -4) << "the first page waits for the reader";
    click();
    EXPECT_GT(steps_to_end(5), 0);
    const PixelBytes second_page = layout().target->pixels;
    m_object = find("two");
    ASSERT_NE(m_object, nullptr);
    EXPECT_GT(steps_to_end(5), 0);
    const PixelImage& alone = *layout().target;
    ASSERT_EQ(second_page.size(), alone.pixels.size());
    int differ = 0, drawn = 0;
    for (std::size_t i = 3; i < second_page.size(); i += 4) {
        drawn += alone.pixels[i] != 0;
        differ += std::memcmp(&second_page[i - 3], &alone.pixels[i - 3], 4) != 0;
    }
    EXPECT_GT(drawn, 50);
    EXPECT_EQ(differ, 0) << "pixels of the first page are left over";
}

TEST_F(Display, ReadTextComesInTheReadColours) {
    // The page is shown twice: the second time its line ends are read.
    write("start.txt", R"(
scene main
{
    $SYSTEM_text_speed = 0;
    $SYSTEM_read_text_color_change = 1;
    CreateName("sec");
    LoadText("main", "sec", "one", 800, 300, NULL, NULL);
    Request("sec/one", "Enter");
<PRE sec>
[one]
Read me
twice.
</PRE>
}
)");
    ASSERT_TRUE(run());
    engine::set_state(engine::k_state_running);
    m_object = find("one");
    ASSERT_NE(m_object, nullptr);
    steps_to_end(5);
    const auto has_read_colour = [&] {
        const PixelImage& img = *layout().target;
        for (std::int32_t y = 0; y < img.height; ++y)
            for (std::int32_t x = 0; x < img.width; ++x) {
                const std::uint8_t* px = img.row(y) + x * 4;
                if (px[3] == 255 && px[0] == 0xFF && px[1] == 0xB3 && px[2] == 0x41) return true;
            }
        return false;
    };
    EXPECT_FALSE(has_read_colour());
    // Lay the same entry out again: its line ends were passed, so it is read now.
    engine::scene_lock();
    text::TextLayout& p = layout();
    ASSERT_NE(p.reader, nullptr);
    engine::scene_unlock();
    write("again.txt", "");
    ASSERT_TRUE(script::run_command_text(
        *p.reader->context, "", "LoadText(\"main\", \"sec\", \"one\", 800, 300, NULL, NULL);"));
    m_object = find("one");
    ASSERT_NE(m_object, nullptr);
    steps_to_end(5);
    EXPECT_TRUE(has_read_colour());
}

TEST(LastText, KeepsWholeCharactersWithinItsLimit) {
    engine::reset_process_state_for_tests();
    engine::set_state(engine::k_state_running);
    std::string long_text;
    for (int i = 0; i < 300; ++i) long_text += "\xC4\xE3"; // 600 bytes of two-byte characters
    text::set_last_text("a" + long_text);
    const std::string kept = text::last_text();
    EXPECT_EQ(kept.size(), 505u) << "adding stops once 504 bytes are reached";
    EXPECT_EQ(kept.substr(1, 4), "\xC4\xE3\xC4\xE3");
    EXPECT_EQ(script::var_text("$SYSTEM_last_text"), kept);
    // The system-script state leaves the record alone.
    engine::set_state(engine::k_state_system_script);
    text::set_last_text("menu");
    EXPECT_EQ(text::last_text(), kept);
    engine::set_state(engine::k_state_running);
}

} // namespace
