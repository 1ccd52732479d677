// The --input file: every kind of line, and refusals that name the file and line.
#include "ui/input_file.h"

#include <gtest/gtest.h>

using namespace kestrune;
using namespace kestrune::ui;
using Kind = platform::WindowEvent::Kind;

TEST(InputFile, ParsesEveryKindOfLineInTimeOrder) {
    const std::string text = "# a comment\r\n"
                             "300 key Left Ctrl\r\n"
                             "\r\n"
                             "100 click 10 20\n"
                             "150 rclick 5 6\n"
                             "120 move -3 700\n"
                             "300 keyup left ctrl\n"
                             "400 wheel up\n"
                             "410 wheel DOWN 3\n"
                             "500 quit\n"
                             "600 pad A\n"
                             "610 padup dpdown\n"
                             "620 unplug";
    std::vector<TimedInput> in;
    std::string error;
    ASSERT_TRUE(parse_input_text(text, "in.txt", in, error)) << error;
    ASSERT_EQ(in.size(), 13u);
    EXPECT_EQ(in[0].ms, 100u);
    EXPECT_EQ(in[0].event.kind, Kind::mouse_down);
    EXPECT_EQ(in[0].event.button, 1);
    EXPECT_EQ(in[0].event.x, 10);
    EXPECT_EQ(in[0].event.y, 20);
    EXPECT_EQ(in[1].ms, 120u);
    EXPECT_EQ(in[1].event.kind, Kind::mouse_move);
    EXPECT_EQ(in[1].event.x, -3);
    EXPECT_EQ(in[2].ms, 100u + k_click_release_ms); // the click's release
    EXPECT_EQ(in[2].event.kind, Kind::mouse_up);
    EXPECT_EQ(in[3].event.button, 3);
    // Same time: file order stays (key down before key up).
    EXPECT_EQ(in[5].event.kind, Kind::key_down);
    EXPECT_EQ(in[5].event.key, "Left Ctrl");
    EXPECT_EQ(in[6].event.kind, Kind::key_up);
    EXPECT_EQ(in[7].event.wheel, 1);
    EXPECT_EQ(in[8].event.wheel, -3); // three notches towards the reader in one report
    EXPECT_EQ(in[9].event.kind, Kind::close_request);
    EXPECT_EQ(in[9].line, 10);
    EXPECT_EQ(in[10].event.kind, Kind::pad_down);
    EXPECT_EQ(in[10].event.key, "a");
    EXPECT_EQ(in[11].event.kind, Kind::pad_up);
    EXPECT_EQ(in[11].event.key, "dpdown");
    EXPECT_EQ(in[12].event.kind, Kind::pad_unplug);
}

TEST(InputFile, BadLinesAreRefusedWithFileAndLine) {
    const struct {
        const char* text;
        const char* error;
    } cases[] = {
        {"100 click 1 2\nabc click 1 2", "in.txt:2: the time \"abc\" is not a number"},
        {"-5 quit", "in.txt:1: the time \"-5\""},
        {"99999999999 quit", "in.txt:1: the time"},
        {"100", "in.txt:1: an event is missing"},
        {"100 click 1", "in.txt:1: \"click\" needs two whole numbers"},
        {"100 click 1 2 3", "in.txt:1: \"click\" needs two"},
        {"100 move x 2", "in.txt:1: \"move\" needs two"},
        {"100 move 1 99999999", "in.txt:1: the position"},
        {"\n\n100 key", "in.txt:3: \"key\" needs a key name"},
        {"100 key Hyper", "in.txt:1: unknown key name \"Hyper\""},
        {"100 keyup F13", "in.txt:1: unknown key name"},
        {"100 wheel", "in.txt:1: \"wheel\" needs \"up\" or \"down\""},
        {"100 wheel sideways", "in.txt:1: \"wheel\" needs"},
        {"100 wheel up 0", "in.txt:1: \"wheel\" takes a number of notches"},
        {"100 wheel up 2 3", "in.txt:1: \"wheel\" takes a number of notches"},
        {"100 pad", "in.txt:1: \"pad\" needs a controller button"},
        {"100 padup z", "in.txt:1: \"padup\" needs a controller button"},
        {"100 unplug a", "in.txt:1: \"unplug\" takes nothing"},
        {"100 quit now", "in.txt:1: \"quit\" takes nothing"},
        {"100 dance", "in.txt:1: unknown event \"dance\""},
    };
    for (const auto& c : cases) {
        std::vector<TimedInput> in;
        std::string error;
        EXPECT_FALSE(parse_input_text(c.text, "in.txt", in, error)) << c.text;
        EXPECT_EQ(error.rfind(c.error, 0), 0u) << c.text << " -> " << error;
        EXPECT_TRUE(in.empty());
    }
}

TEST(InputFile, MissingFileIsRefused) {
    std::string error;
    EXPECT_FALSE(load_input_file("/nonexistent/input.txt", error));
    EXPECT_NE(error.find("/nonexistent/input.txt"), std::string::npos);
}
