// Whole-program runs of the engine-side commands, checked through WriteFile output.
#include "run_game.h"

#include "storage/container.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>

using namespace kestrune::testing;

namespace {

std::string run_script(const std::string& name, const std::string& script,
                       std::vector<std::string> extra = {}, Clock clock = Clock::stepped) {
    const std::string game = scratch_dir(name);
    write_text(game + "/start.txt", script);
    std::vector<std::string> args = {"--headless", "--save-dir", game + "/saves", "--max-seconds",
                                     "30"};
    args.insert(args.end(), extra.begin(), extra.end());
    args.push_back(game);
    const RunResult r = run_kestrune(args, 60, clock);
    EXPECT_EQ(r.exit_code, 0) << r.output;
    return game;
}

} // namespace

TEST(Commands, EngineCommandsThroughWriteFile) {
    const std::string game = run_script("commands", R"(
function leave_two()
{
    #trace = #trace + "f";
    Escape(2);
    #trace = #trace + "NOT";
}

scene inner
{
    #trace = #trace + "i";
    leave_two();
    #trace = #trace + "NOT";
}

scene main
{
    #trace = "m";
    call_scene @->inner;
    #trace = #trace + "r";
    WaitKey(0);
    #trace = #trace + "k";
    $g = 1;
    #keep = 5;
    ClearScore(local);
    $after = "[" + $g + "]";
    DateTime($y, $mo, $d, $h, $mi, $s);
    $year_ok = $y > 2000;
    Wait(x);
    Wait (1);
    $out = #trace + $after + #keep + $year_ok;
    WriteFile("trace.txt", $out, FALSE);
    WriteFile("secret.txt", "hidden");
}
)");
    EXPECT_EQ(read_text(game + "/trace.txt"), "mifrk[0]51");
    // Without FALSE the file is written in the scrambled container.
    const std::string secret = read_text(game + "/secret.txt");
    ASSERT_GE(secret.size(), 4u);
    EXPECT_EQ(secret.substr(0, 4), "VKSF");
    EXPECT_EQ(secret.find("hidden"), std::string::npos);
}

TEST(Commands, ArgumentListWithoutParenthesisDoesNotHang) {
    const std::string game = run_script("no_paren", R"(
scene main
{
    Wait(100;
    WriteFile("done.txt", "ok", FALSE);
}
)");
    EXPECT_EQ(read_text(game + "/done.txt"), "ok");
}

TEST(Commands, WaitIsScaledByTheClock) {
    const auto t0 = std::chrono::steady_clock::now();
    const std::string game = run_script("wait_scaled", R"(
scene main
{
    Wait(4000);
    WriteFile("done.txt", "ok", FALSE);
}
)",
                                        {"--time-scale", "20"}, Clock::wall);
    EXPECT_EQ(read_text(game + "/done.txt"), "ok");
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(3));
}

TEST(Commands, ExitEndsAWaitingScript) {
    const std::string game = run_script("exit", R"(
scene main
{
    WriteFile("before.txt", "ok", FALSE);
    Exit();
    WriteFile("after.txt", "bad", FALSE);
}
)");
    EXPECT_EQ(read_text(game + "/before.txt"), "ok");
    EXPECT_EQ(read_text(game + "/after.txt"), "");
}

TEST(Commands, MaxSecondsEndsAScriptThatWaitsForever) {
    const std::string game = scratch_dir("forever");
    write_text(game + "/start.txt", "scene main\n{\n    WaitKey();\n}\n");
    const RunResult r = run_kestrune(
        {"--headless", "--save-dir", game + "/s", "--max-seconds", "2", "--time-scale", "4", game});
    EXPECT_EQ(r.exit_code, 0) << r.output;
}

// A settings file written with CR LF line ends, as the engine's own games ship them, and
// one saved by an editor with bare LF line ends read the same.
TEST(Settings, StartKeyAndSeededVariables) {
    for (const char* eol : {"\r\n", "\n"}) {
        const std::string game = scratch_dir("settings_seed");
        // Section names are Shift-JIS in the file: サウンド and スクリプト.
        write_text(game + "/system/System.ini",
                   std::string("[\x83\x54\x83\x45\x83\x93\x83\x68]") + eol + "bgm_volume=700" +
                       eol + "[\x83\x58\x83\x4e\x83\x8a\x83\x76\x83\x67]" + eol +
                       "start=first.txt" + eol + "close=none.txt" + eol);
        write_text(game + "/first.txt", R"(
scene main
{
    $v = #SYSTEM_sound_volume_bgm;
    $d = #SYSTEM_sound_volume_se_default;
    $out = "" + $v + "," + $d + "," + #SYSTEM_sound_bgm;
    WriteFile("seeded.txt", $out, FALSE);
}
)");
        const RunResult r = run_kestrune({"--headless", "--save-dir", game + "/saves", game});
        EXPECT_EQ(r.exit_code, 0) << r.output;
        EXPECT_EQ(read_text(game + "/seeded.txt"), "700,1000,1")
            << "line end " << (eol[0] == '\r' ? "CR LF" : "LF");
    }
}

// Names a script gives to the file commands and built-ins cannot reach outside the game
// folder and the save folder: not by "..", not by an absolute name, not through a
// symbolic link that points out. Such calls fail with a warning; the rest of the script
// goes on, and names inside either folder still work.
TEST(Commands, FileNamesStayInsideTheGameAndSaveFolders) {
    const std::string outside = scratch_dir("folders_outside");
    write_text(outside + "/secret.txt", "SECRET");
    const std::string game = scratch_dir("folders_game");
    std::filesystem::create_symlink(outside, game + "/out");
    write_text(game + "/../parent_secret.txt", "SECRET");
    write_text(game + "/saves/note.txt", "from saves");
    write_text(game + "/start.txt", R"(
scene main
{
    WriteFile("../escaped.txt", "x", FALSE);
    WriteFile("..\\escaped2.txt", "x", FALSE);
    WriteFile(")" + outside + R"(/absolute.txt", "x", FALSE);
    WriteFile("out\\via_link.txt", "x", FALSE);
    WriteFile("inside.txt", "in", FALSE);
    $name = "out/secret.txt";
    $up = "../parent_secret.txt";
    $out = ReadFile("inside.txt") + "|" + ReadFile("note.txt") + "|" + ReadFile("out\\secret.txt") + "|"
         + ReadFile("../parent_secret.txt") + "|" + AvailableFile($name) + "|" + AvailableFile($up) + "|"
         + WriteImage("out/shot.vksi");
    WriteFile("result.txt", $out, FALSE);
}
)");
    const RunResult r =
        run_kestrune({"--headless", "--save-dir", game + "/saves", "--max-seconds", "30", game});
    EXPECT_EQ(r.exit_code, 0) << r.output;
    EXPECT_EQ(read_text(game + "/result.txt"), "in|from saves|||-1|-1|0");
    for (const char* escaped : {"/../escaped.txt", "/../escaped2.txt"})
        EXPECT_FALSE(std::filesystem::exists(game + escaped)) << escaped;
    for (const char* escaped : {"/absolute.txt", "/via_link.txt", "/shot.vksi"})
        EXPECT_FALSE(std::filesystem::exists(outside + escaped)) << escaped;
    // The command's warning names the file and line; the built-ins name the file.
    EXPECT_NE(r.output.find("start.txt:4: WriteFile refused \"../escaped.txt\""), std::string::npos)
        << r.output;
    EXPECT_NE(r.output.find("start.txt:7: WriteFile refused"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("start.txt: ReadFile(\"out"), std::string::npos) << r.output;
}
