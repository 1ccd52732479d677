// The SDL window under a virtual X server shows exactly the frame the headless run
// composes. Skipped where Xvfb or ImageMagick's import is not installed.
#include "run_game.h"

#include "scene/frame_buffer.h"
#include "storage/pixel_image.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace kestrune::testing;

namespace {

bool have(const char* program) {
    return std::system((std::string("command -v ") + program + " >/dev/null 2>&1").c_str()) == 0;
}

} // namespace

TEST(Window, SdlWindowShowsTheComposedFrame) {
    if (!have("Xvfb") || !have("import") || !have("compare"))
        GTEST_SKIP() << "Xvfb or ImageMagick missing: the real window cannot be checked here";
    const std::string game = scratch_dir("window");
    write_text(game + "/start.txt", R"(
scene main
{
    CreateColor("bg", 0, 0, 0, 1024, 576, "#336699");
    CreateColor("box", 10, 100, 100, 300, 200, "#FFCC00");
    Draw();
    Wait(60000);
}
)");
    const XServer x = start_xvfb("1024x576x24");
    if (x.pid < 0) GTEST_SKIP() << "Xvfb could not start";
    const std::string& display = x.display;

    const pid_t engine = spawn_shell("DISPLAY=" + display + " exec " + KESTRUNE_BIN +
                                     " --save-dir " + game + "/saves --max-seconds 20 " + game);
    // Let the window open and the frame settle, then photograph the whole screen: the
    // window is as large as the screen.
    std::this_thread::sleep_for(std::chrono::seconds(4));
    const std::string shot = game + "/window.png";
    const int imported =
        std::system(("DISPLAY=" + display + " import -window root " + shot).c_str());
    stop_child(engine);
    stop_child(x.pid);
    ASSERT_EQ(imported, 0);

    const std::string headless = game + "/headless.png";
    const RunResult r = run_kestrune({"--headless", "--save-dir", game + "/saves", "--screenshot",
                                      "1000=" + headless, "--max-seconds", "2", game});
    ASSERT_EQ(r.exit_code, 0) << r.output;
    // Count differing pixels (a few may differ at the window's edge on some servers).
    const std::string metric = game + "/metric.txt";
    std::system(("compare -metric AE " + shot + " " + headless + " null: 2>" + metric).c_str());
    const long differing = std::atol(read_text(metric).c_str());
    EXPECT_LE(differing, 1024) << read_text(metric);
}

namespace {

// The colour of one pixel of a PNG, as 0xRRGGBB; -1 when it cannot be read.
long pixel(const std::string& png, int x, int y) {
    kestrune::PixelImage image;
    if (!kestrune::scene::read_png_bgra(png.c_str(), image) || x >= image.width ||
        y >= image.height)
        return -1;
    const std::uint8_t* p = image.row(y) + x * 4;
    return (long(p[2]) << 16) | (long(p[1]) << 8) | p[0];
}

} // namespace

TEST(Window, SwitchesToFullScreenAndBackToTheWindow) {
    if (!have("Xvfb") || !have("import"))
        GTEST_SKIP() << "Xvfb or ImageMagick missing: the real window cannot be checked here";
    const std::string game = scratch_dir("window_full");
    // Full screen with linear scaling, then back to the window; each arrangement is
    // announced by a file once it has had a second to settle, and then photographed.
    write_text(game + "/start.txt", R"(
scene main
{
    CreateColor("bg", 0, 0, 0, 1024, 576, "#336699");
    Draw();
    Wait(500);
    #SYSTEM_video_aspect_fixed = 3;
    #SYSTEM_window_full = 1;
    Wait(1000);
    $o = "" + #SYSTEM_window_full;
    WriteFile("full.txt", $o, FALSE);
    Wait(2000);
    #SYSTEM_window_full = 0;
    Wait(1000);
    $o = "" + #SYSTEM_window_full;
    WriteFile("window.txt", $o, FALSE);
    Wait(60000);
}
)");
    // A 1280 x 1024 screen with a black root and no window manager.
    const XServer x = start_xvfb("1280x1024x24 -br");
    if (x.pid < 0) GTEST_SKIP() << "Xvfb could not start";
    const std::string& display = x.display;
    const pid_t engine = spawn_shell("DISPLAY=" + display + " exec " + KESTRUNE_BIN +
                                     " --save-dir " + game + "/saves --max-seconds 20 " + game);
    // Waits for the script's announcement, then photographs the screen.
    auto shoot = [&](const std::string& marker, const std::string& name) {
        for (int i = 0; i < 600 && !std::filesystem::exists(game + "/" + marker); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(25));
        return std::system(
            ("DISPLAY=" + display + " import -window root " + game + "/" + name).c_str());
    };
    const int full_ok = shoot("full.txt", "full.png");
    const int window_ok = shoot("window.txt", "window.png");
    stop_child(engine);
    stop_child(x.pid);
    ASSERT_EQ(full_ok, 0);
    ASSERT_EQ(window_ok, 0);
    EXPECT_EQ(read_text(game + "/full.txt"), "1");
    EXPECT_EQ(read_text(game + "/window.txt"), "0");
    // Without a window manager the X server does not show the full-screen window's new
    // size; the switch itself (SDL's flags, kept in #SYSTEM_window_full) is what is checked
    // here, and the letterbox geometry by the platform tests.
    EXPECT_EQ(pixel(game + "/full.png", 640, 100), 0x000000);
    EXPECT_EQ(pixel(game + "/full.png", 640, 512), 0x336699);
    // The window again: 1024 x 576, centred, the root around it.
    EXPECT_EQ(pixel(game + "/window.png", 640, 512), 0x336699);
    EXPECT_EQ(pixel(game + "/window.png", 50, 512), 0x000000);
}

TEST(Window, RefusedFullScreenPutsTheWindowBack) {
    if (!have("Xvfb") || !have("import"))
        GTEST_SKIP() << "Xvfb or ImageMagick missing: the real window cannot be checked here";
    const std::string game = scratch_dir("window_full_refused");
    write_text(game + "/start.txt", R"(
scene main
{
    CreateColor("bg", 0, 0, 0, 1024, 576, "#336699");
    Draw();
    Wait(500);
    #SYSTEM_window_full = 1;
    Wait(1000);
    $o = "" + #SYSTEM_window_full;
    WriteFile("after.txt", $o, FALSE);
    Wait(60000);
}
)");
    const XServer x = start_xvfb("1280x1024x24 -br");
    if (x.pid < 0) GTEST_SKIP() << "Xvfb could not start";
    const std::string& display = x.display;
    const pid_t engine = spawn_shell(
        "DISPLAY=" + display + " KESTRUNE_TEST_REFUSE_FULLSCREEN=1 exec " + KESTRUNE_BIN +
        " --save-dir " + game + "/saves --max-seconds 20 " + game + " 2>" + game + "/stderr.txt");
    for (int i = 0; i < 600 && !std::filesystem::exists(game + "/after.txt"); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
    const int shot =
        std::system(("DISPLAY=" + display + " import -window root " + game + "/after.png").c_str());
    stop_child(engine);
    stop_child(x.pid);
    ASSERT_EQ(shot, 0);
    // The setting goes back to 0, the reader is told, and the window is as it was:
    // 1024 x 576, centred, with the root around it.
    EXPECT_EQ(read_text(game + "/after.txt"), "0");
    EXPECT_NE(read_text(game + "/stderr.txt").find("the switch to full screen failed"),
              std::string::npos)
        << read_text(game + "/stderr.txt");
    EXPECT_EQ(pixel(game + "/after.png", 640, 512), 0x336699);
    EXPECT_EQ(pixel(game + "/after.png", 50, 512), 0x000000);
    EXPECT_EQ(pixel(game + "/after.png", 640, 100), 0x000000);
}
