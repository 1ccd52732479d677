// Whole-program runs of the backlog screen, driven by --input on the stepped clock. The
// main script stores forty lines and waits for a click; the backlog script (backlog.txt)
// logs every page change as offset:thousandths-of-the-bar and writes the log when the
// screen closes, so the log shows how the keys, the wheel and the bar scrolled.
#include "run_game.h"

#include "scene/frame_buffer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

using namespace kestrune;
using namespace kestrune::testing;

namespace {

struct BacklogRun {
    std::string game;
    RunResult result;
};

// Runs the backlog game with `input` (written into the copy) and extra arguments.
BacklogRun run_backlog(const std::string& name, const std::string& input,
                       std::vector<std::string> extra = {}) {
    BacklogRun r;
    r.game = copy_game("backlog", name);
    write_text(r.game + "/test.in", input);
    std::vector<std::string> args = {"--headless", "--save-dir",        r.game + "/saves",
                                     "--input",    r.game + "/test.in", "--max-seconds",
                                     "6"};
    for (std::string& e : extra) {
        if (auto at = e.find("GAME"); at != std::string::npos) e.replace(at, 4, r.game);
        args.push_back(e);
    }
    args.push_back(r.game);
    r.result = run_kestrune(args);
    return r;
}

std::string log_of(const BacklogRun& r) {
    const std::string path = r.game + "/backlog_log.txt";
    return std::filesystem::exists(path) ? read_text(path) : "(no backlog)";
}

std::string rgb(const std::string& png, int x, int y) {
    PixelImage img;
    if (!scene::read_png_bgra(png.c_str(), img)) return "no frame " + png;
    const std::uint8_t* p = img.row(y) + x * 4;
    return std::to_string(p[2]) + "," + std::to_string(p[1]) + "," + std::to_string(p[0]);
}

} // namespace

// Up, Page Up and the wheel open the screen at the newest page; each notch or Up goes a row
// back, Page Up a page, Home to the oldest page; End, Page Down or the wheel towards the
// reader on the newest page, and a right click, close it; play then goes on.
TEST(BacklogGame, KeysAndWheelScrollAndClose) {
    const struct {
        const char* input;
        const char* log;
    } cases[] = {
        {"1000 key pageup\n1500 wheel up\n1800 key pageup\n2100 key home\n2400 key end\n"
         "2700 key end\n3200 click 500 300\n",
         "1 0:0 -1:27 -6:170 -35:1000 0:0 "},
        {"1000 wheel up\n1500 wheel up\n1800 wheel down\n2100 wheel down\n3200 click 500 300\n",
         "1 0:0 -1:27 0:0 "},
        // A report of several notches (a fast turn) moves a row per notch, both ways; the
        // last notch towards the reader, on the newest page, closes the screen.
        {"1000 wheel up\n1500 wheel up 3\n1800 wheel down 2\n2100 wheel down 2\n"
         "3200 click 500 300\n",
         "1 0:0 -1:27 -2:55 -3:85 -2:55 -1:27 0:0 "},
        {"1000 key up\n1500 key pageup\n1800 key pagedown\n2100 key pagedown\n"
         "3200 click 500 300\n",
         "1 0:0 -5:142 0:0 "},
        {"1000 key up\n1500 key up\n1800 rclick 500 300\n3200 click 500 300\n", "1 0:0 -1:27 "},
    };
    for (const auto& c : cases) {
        const BacklogRun r = run_backlog(
            "backlog_keys", c.input,
            {"--screenshot", "1400=GAME/open.png", "--screenshot", "3500=GAME/after.png"});
        ASSERT_EQ(r.result.exit_code, 0) << r.result.output;
        EXPECT_EQ(log_of(r), c.log) << c.input;
        EXPECT_EQ(read_text(r.game + "/main.txt"), "resumed 40") << c.input << r.result.output;
        EXPECT_EQ(rgb(r.game + "/open.png", 10, 10), "0,0,64") << "the backlog screen shows";
        EXPECT_EQ(rgb(r.game + "/after.png", 10, 10), "0,48,0") << "the main scene is back";
        EXPECT_NE(r.result.output.find("a backlog window is already open"), std::string::npos);
    }
}

// Without a backlog script, or with backlog_lock set, the keys open nothing and the main
// script's key wait still ends on the click.
TEST(BacklogGame, NoScriptOrLockLeavesPlayGoingOn) {
    const struct {
        const char* name;
        bool drop_script;
        bool lock;
    } cases[] = {{"backlog_no_script", true, false}, {"backlog_locked", false, true}};
    for (const auto& c : cases) {
        const std::string game = copy_game("backlog", c.name);
        if (c.drop_script) {
            std::string ini = read_text(game + "/system/System.ini");
            ini.replace(ini.find("script=backlog.txt"), 18, "script=");
            write_text(game + "/system/System.ini", ini);
        }
        if (c.lock) {
            std::string start = read_text(game + "/start.txt");
            start.replace(start.find("WaitKey();"), 10, "$SYSTEM_backlog_lock = 1; WaitKey();");
            write_text(game + "/start.txt", start);
        }
        write_text(game + "/test.in", "1000 key pageup\n1300 wheel up\n1600 key up\n"
                                      "2000 click 500 300\n");
        const RunResult r = run_kestrune({"--headless", "--save-dir", game + "/saves", "--input",
                                          game + "/test.in", "--max-seconds", "4", game});
        ASSERT_EQ(r.exit_code, 0) << r.output;
        EXPECT_FALSE(std::filesystem::exists(game + "/backlog_log.txt")) << c.name;
        EXPECT_EQ(read_text(game + "/main.txt"), "resumed 40") << c.name << r.output;
    }
}

// Dragging the thumb to the top end shows the oldest page and below the bottom end the
// newest; a press on the track above the thumb pages back towards the pointer.
TEST(BacklogGame, ScrollBarDragAndTrackPress) {
    const BacklogRun r = run_backlog("backlog_drag", "1000 key pageup\n"
                                                     "1300 press 1008 508\n"
                                                     "1400 move 1008 300\n"
                                                     "1500 move 1008 90\n"
                                                     "1600 move 1008 560\n"
                                                     "1700 release 1008 560\n"
                                                     "2000 press 1008 300\n"
                                                     "2100 release 1008 300\n"
                                                     "2300 rclick 500 300\n"
                                                     "2800 click 500 300\n");
    ASSERT_EQ(r.result.exit_code, 0) << r.result.output;
    EXPECT_EQ(log_of(r), "1 0:0 -18:516 -35:1000 0:0 -5:142 ");
    EXPECT_EQ(read_text(r.game + "/main.txt"), "resumed 40");
}

// The voiced line's icon shows its pointed-at and pressed images; the release replays the
// voice once, through the sound output.
TEST(BacklogGame, VoiceIconReplaysTheVoiceOnce) {
    const BacklogRun r =
        run_backlog("backlog_voice",
                    "1000 key pageup\n1300 move 90 185\n1500 press 90 185\n"
                    "1600 release 90 185\n2200 rclick 500 300\n2700 click 500 300\n",
                    {"--audio-out", "GAME/out.wav", "--screenshot", "1250=GAME/a.png",
                     "--screenshot", "1450=GAME/b.png", "--screenshot", "1550=GAME/c.png"});
    ASSERT_EQ(r.result.exit_code, 0) << r.result.output;
    EXPECT_EQ(rgb(r.game + "/a.png", 90, 185), "128,128,128");
    EXPECT_EQ(rgb(r.game + "/b.png", 90, 185), "0,255,255");
    EXPECT_EQ(rgb(r.game + "/c.png", 90, 185), "255,0,255");
    EXPECT_EQ(rgb(r.game + "/a.png", 90, 225), "0,0,64") << "Mio's voice is ignored: no icon";
    EXPECT_EQ(rgb(r.game + "/a.png", 90, 265), "0,0,64") << "an unvoiced row has no icon";

    std::ifstream f(r.game + "/out.wav", std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    std::size_t pos = 12;
    while (pos + 8 <= bytes.size() && bytes.compare(pos, 4, "data") != 0) {
        std::uint32_t size = 0;
        std::memcpy(&size, bytes.data() + pos + 4, 4);
        pos += 8 + size + (size & 1);
    }
    ASSERT_LT(pos + 8, bytes.size());
    const std::size_t frames = (bytes.size() - pos - 8) / 8;
    std::size_t first = frames, sounding = 0;
    for (std::size_t i = 0; i < frames; ++i) {
        float left = 0;
        std::memcpy(&left, bytes.data() + pos + 8 + i * 8, 4);
        if (std::fabs(left) > 1e-4f) {
            first = std::min(first, i);
            ++sounding;
        }
    }
    EXPECT_GE(first, 1600u * 44100 / 1000) << "nothing sounds before the release";
    EXPECT_LT(first, 1800u * 44100 / 1000) << "the voice starts after the release";
    EXPECT_GT(sounding, 44100u / 10) << "the voice is heard";
    EXPECT_LE(sounding, 44100u / 4) << "the voice plays once";
}

// The message display feeds the backlog: a page of two lines is one line end and two rows'
// worth of text; NoLog keeps a text object's characters out.
TEST(BacklogGame, DisplayedTextGoesToTheBacklog) {
    const std::string game = scratch_dir("backlog_display");
    write_text(game + "/start.txt", R"(scene main
{
    CreateName("sec");
    LoadText("main", "sec", "one", 800, 300, NULL, NULL);
    Request("sec/one", "Enter");
    Draw();
    WaitText("sec/one");
    $a = BacklogRow();
    LoadText("quiet", "sec", "two", 800, 300, NULL, NULL);
    Request("quiet", "NoLog");
    Request("quiet", "Enter");
    Draw();
    WaitText("quiet");
    $out = "" + $a + " " + BacklogRow();
    WriteFile("rows.txt", $out, FALSE);
<PRE sec>
[one]
First line.
Second line.
[two]
Not logged.
Nor this.
</PRE>
}
)");
    const RunResult r =
        run_kestrune({"--headless", "--save-dir", game + "/saves", "--max-seconds", "5", game});
    ASSERT_EQ(r.exit_code, 0) << r.output;
    EXPECT_EQ(read_text(game + "/rows.txt"), "1 1") << r.output;
}

// Layout values a script may get wrong are clamped (rows 1 to 31, pitches above 0), and
// with fewer than three voice icon images the backlog shows no icons: the screen still
// opens, pages and closes, and play goes on.
TEST(BacklogGame, BadLayoutAndMissingIconsAreSafe) {
    const struct {
        const char* name;
        const char* layout; // put before CreateBacklog
        const char* icons;  // the icon_voice value
        const char* log;
    } cases[] = {
        {"backlog_zero_pitch",
         "$SYSTEM_backlog_row_interval = 0; $SYSTEM_backlog_character_width = -5;", "voice%d.png#3",
         "1 0:0 -5:142 "},
        {"backlog_many_rows", "$SYSTEM_backlog_row_max = 40;", "voice%d.png#3", "1 0:0 -17:736 "},
        {"backlog_no_rows", "$SYSTEM_backlog_row_max = 0;", "voice%d.png#3", "1 0:0 -1:25 "},
        {"backlog_two_icons", "", "voice%d.png#2", "1 0:0 -5:142 "},
    };
    for (const auto& c : cases) {
        const std::string game = copy_game("backlog", c.name);
        std::string script = read_text(game + "/backlog.txt");
        script.insert(script.find("    CreateBacklog(\"log\", 10);"),
                      std::string("    ") + c.layout + "\n");
        write_text(game + "/backlog.txt", script);
        std::string ini = read_text(game + "/system/System.ini");
        ini.replace(ini.find("voice%d.png#3"), 13, c.icons);
        write_text(game + "/system/System.ini", ini);
        write_text(game + "/test.in",
                   "1000 key pageup\n1300 key pageup\n1600 rclick 500 300\n2500 click 500 300\n");
        const RunResult r = run_kestrune({"--headless", "--save-dir", game + "/saves", "--input",
                                          game + "/test.in", "--max-seconds", "4", "--screenshot",
                                          "1200=" + game + "/open.png", game});
        ASSERT_EQ(r.exit_code, 0) << c.name << r.output;
        EXPECT_EQ(read_text(game + "/backlog_log.txt"), c.log) << c.name;
        EXPECT_EQ(read_text(game + "/main.txt"), "resumed 40") << c.name;
        if (std::string(c.icons) == "voice%d.png#2") {
            EXPECT_EQ(rgb(game + "/open.png", 90, 185), "0,0,64") << "no icon without three images";
        }
    }
}
