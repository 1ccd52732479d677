// Where the frame is shown in a window or on a full screen.
#include "platform/window.h"

#include <gtest/gtest.h>

using namespace kestrune::platform;

TEST(FramePlace, LetterboxesInFullScreenAndKeepsItsOwnSizeOtherwise) {
    const struct {
        int out_w, out_h;
        bool full;
        int scaling;
        FramePlace want;
    } cases[] = {
        {1280, 1024, true, 3, {0, 152, 1280, 720}},   // bands above and below
        {1280, 1024, true, 2, {0, 152, 1280, 720}},   // nearest: the same place
        {1024, 768, true, 1, {0, 96, 1024, 576}},     // the old 4:3 display
        {2560, 1080, true, 3, {320, 0, 1920, 1080}},  // bands left and right
        {1920, 1080, true, 0, {448, 252, 1024, 576}}, // 1:1, centred
        {1920, 1080, true, 7, {448, 252, 1024, 576}}, // unknown scaling: 1:1
        {1024, 576, false, 3, {0, 0, 1024, 576}},     // a window is never scaled
    };
    for (const auto& c : cases) {
        const FramePlace p = frame_place(c.out_w, c.out_h, c.full, c.scaling);
        EXPECT_EQ(p.x, c.want.x) << c.out_w << "x" << c.out_h << " " << c.scaling;
        EXPECT_EQ(p.y, c.want.y) << c.out_w << "x" << c.out_h << " " << c.scaling;
        EXPECT_EQ(p.width, c.want.width) << c.out_w << "x" << c.out_h << " " << c.scaling;
        EXPECT_EQ(p.height, c.want.height) << c.out_w << "x" << c.out_h << " " << c.scaling;
    }
}

// A wheel report becomes whole notches: one notch one step, several in a fast turn, parts of
// a notch from smooth wheels kept until they add up, and a flipped desktop setting undone.
TEST(WheelNotches, CountsWholeNotchesKeepsPartsAndUndoesFlipping) {
    float rest = 0;
    EXPECT_EQ(wheel_notches(rest, 1.0f, false), 1);
    EXPECT_EQ(wheel_notches(rest, -3.0f, false), -3);
    EXPECT_EQ(wheel_notches(rest, 1.0f, true), -1); // "natural" scrolling: still towards
    EXPECT_EQ(wheel_notches(rest, 0.4f, false), 0);
    EXPECT_EQ(wheel_notches(rest, 0.4f, false), 0);
    EXPECT_EQ(wheel_notches(rest, 0.4f, false), 1);  // 1.2: one notch, 0.2 kept
    EXPECT_EQ(wheel_notches(rest, -0.4f, false), 0); // back to -0.2: no step yet
    EXPECT_EQ(wheel_notches(rest, -0.9f, false), -1);
}
