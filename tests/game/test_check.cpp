// Whole-program runs of the checker for game authors: `--check` lists each mistake of a
// script as "file:line: error|warning: message", a run of the same game says the same once
// per line on stderr (silenced by --quiet, fatal with --strict), the bundled demo and a game
// made by --new check clean.
#include "run_game.h"

#include "script/commands.h"
#include "script/lint.h"
#include "script/system_variables.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>

using namespace kestrune::testing;

namespace {

// The lines of a run's output that name a script position ("file:line: ...").
std::vector<std::string> script_lines(const std::string& output, const std::string& file) {
    std::vector<std::string> out;
    std::istringstream in(output);
    for (std::string line; std::getline(in, line);)
        if (line.rfind(file + ":", 0) == 0) out.push_back(line);
    return out;
}

std::string joined(const std::vector<std::string>& lines) {
    std::string s;
    for (const std::string& l : lines) s += l + "\n";
    return s;
}

// A new author's first script: a misspelled command, an unknown function, a broken
// expression, a missing image and a misspelled command inside a called function.
const char* const k_first_script = "scene main\n"
                                   "{\n"
                                   "    CreateColr(\"bg\", 0, 0, 0, 1024, 576, \"#000000\");\n"
                                   "    Undefined(3);\n"
                                   "    $a = (1 + ;\n"
                                   "    CreateTexture(\"pic\", 0, 0, 0, \"cg/missing.png\");\n"
                                   "    step();\n"
                                   "    WriteFile(\"done.txt\", \"yes\", FALSE);\n"
                                   "}\n"
                                   "function step()\n"
                                   "{\n"
                                   "    Movee(\"pic\", 100, 10, 10, NULL, FALSE);\n"
                                   "}\n";

const std::vector<std::string> k_first_faults = {
    "start.txt:3: unknown command 'CreateColr'; did you mean CreateColor?",
    "start.txt:4: unknown function 'Undefined'",
    "start.txt:5: expression does not parse: an operand is missing after '+'",
    "start.txt:6: image \"cg/missing.png\" was not found; the object was not created",
    "start.txt:12: unknown command 'Movee'; did you mean Move?",
};

// "start.txt:3: message" as --check prints it: "start.txt:3: error: message".
std::string as_error(const std::string& fault) {
    const std::size_t colon = fault.find(": ");
    return fault.substr(0, colon) + ": error: " + fault.substr(colon + 2);
}

} // namespace

TEST(Checker, FirstScriptGetsOneLinePerMistake) {
    const std::string game = scratch_dir("check_first");
    write_text(game + "/start.txt", k_first_script);
    const RunResult r = run_kestrune({"--check", game});
    EXPECT_EQ(r.exit_code, 1) << r.output;
    std::vector<std::string> want;
    for (const std::string& f : k_first_faults) want.push_back(as_error(f));
    EXPECT_EQ(joined(script_lines(r.output, "start.txt")), joined(want)) << r.output;
    EXPECT_NE(r.output.find("checked 1 script file: 5 errors, 0 warnings"), std::string::npos)
        << r.output;
}

TEST(Checker, RunReportsTheSameMistakesOnceAndGoesOn) {
    const std::string game = scratch_dir("check_first_run");
    write_text(game + "/start.txt", k_first_script);
    const std::vector<std::string> run = {"--headless", "--save-dir", game + "/saves",
                                          "--max-seconds", "30"};

    std::vector<std::string> args = run;
    args.push_back(game);
    const RunResult r = run_kestrune(args);
    EXPECT_EQ(r.exit_code, 0) << r.output;
    EXPECT_EQ(read_text(game + "/done.txt"), "yes") << r.output;
    // The statements the checker finds are said when the file loads, the missing image when
    // its command runs: compare in line order.
    std::vector<std::string> said = script_lines(r.output, "start.txt");
    std::sort(said.begin(), said.end(), [](const std::string& a, const std::string& b) {
        return std::stoi(a.substr(10)) < std::stoi(b.substr(10));
    });
    EXPECT_EQ(joined(said), joined(k_first_faults)) << r.output;

    args = run;
    args.insert(args.end(), {"--quiet", game});
    const RunResult quiet = run_kestrune(args);
    EXPECT_EQ(quiet.exit_code, 0) << quiet.output;
    EXPECT_TRUE(script_lines(quiet.output, "start.txt").empty()) << quiet.output;

    // --strict: the first warning ends the run, with exit code 1, before the script's end.
    write_text(game + "/done.txt", "");
    args = run;
    args.insert(args.end(), {"--strict", game});
    const RunResult strict = run_kestrune(args);
    EXPECT_EQ(strict.exit_code, 1) << strict.output;
    EXPECT_EQ(read_text(game + "/done.txt"), "") << strict.output;
}

TEST(Checker, EachCheckNamesItsFaultAndSoundStatementsStaySilent) {
    const struct {
        const char* statement;
        const char* fault; // after "start.txt:<line>: "; empty: nothing to say
    } cases[] = {
        {"Wait(1, 2, 3);", "error: Wait reads 1 argument; 3 are given"},
        {"Wait(10;", "error: '(' without its ')'"},
        {"Wait(10));", "error: ')' without its '('"},
        {"if ($n == ) { $n = 1; }", "error: condition does not parse: an operand is missing "
                                    "after '='"},
        {"$n = $n * (2 + 3;", "error: expression does not parse: ')' is missing"},
        {"$n = Strlenn(\"abc\");", "error: unknown function 'Strlenn'; did you mean Strlen?"},
        {"Fade(\"a\", 0, 0, Undefined(1), FALSE);", "error: unknown function 'Undefined'"},
        {"hello world;", "error: 'hello' is neither a command, a control word, an assignment nor "
                         "a call"},
        {"Wait;", "error: command Wait needs its argument list in parentheses"},
        {"Random(3);", "warning: the value of Random is not used: the statement does nothing"},
        {"sya(\"x\");", "error: unknown function 'sya'; did you mean say?"},
        {"say(\"a\", \"b\");", "error: function say takes 1 argument; 2 are given"},
        {"call_scene @->nowhere;", "error: call_scene: no scene named 'nowhere' in this file"},
        {"call_scene other.txt->Main;", "error: call_scene: script \"other.txt\" was not found"},
        {"call_scene second.txt->Nope;", "error: call_scene: \"second.txt\" has no scene named "
                                         "'Nope'"},
        {"call_cut nocut;", "error: call_cut: no cut named 'nocut' in this file"},
        {"CreateColor(\"b\", 0, \"MIDDLE\", 0, 10, 10, \"#FFF\");",
         "error: position \"MIDDLE\" is not an x position; the object was not created"},
        {"CreateColor(\"c\", 0, 0, 0, 10, 10, \"PINK\");",
         "error: colour \"PINK\" is not a colour; it reads as #000000 with opacity 255"},
        {"Request(\"a\", \"Hidable\");",
         "error: request \"Hidable\" is not a request word; did you mean Hideable?"},
        {"CreateSound(\"s\", BGM, \"sound/none.ogg\");",
         "error: sound \"sound/none.ogg\" was not found; the object was not created"},
        {"CreateProcess(\"p\", 0, 0, 0, \"nothing\");",
         "error: CreateProcess: no cut or function named 'nothing'"},
        {"LoadText(\"nomain\", \"txt\", \"a\", 900, 140, NULL, 40);",
         "error: LoadText: no block named 'nomain'"},
        {"LoadText(\"other\", \"txt\", \"a\", 900, 140, NULL, 40);",
         "error: LoadText: 'other' has no text section 'txt'"},
        {"LoadText(\"main\", \"txt\", \"b\", 900, 140, NULL, 40);",
         "error: LoadText: section 'txt' has no entry [b]"},
        {"SetShortcut(\"s\", \"none.txt\");", "error: script \"none.txt\" was not found"},
        {"CreateMovie(\"m\", 0, 0, 0, FALSE, FALSE, \"movie/none.mkv\");",
         "error: movie \"movie/none.mkv\" was not found; the object was not created"},
        {"MoviePlay(\"movie/gone.mkv\", TRUE);",
         "error: movie \"movie/gone.mkv\" was not found; nothing was done"},
        {"LoadFile(\"cg/none.png\", TRUE);",
         "error: file \"cg/none.png\" was not found; nothing was loaded"},
        {"SetFont(\"No Such Face Sans\", 20, \"#FFFFFF\", \"#000000\", 400, \"LEFTDOWN\");",
         "warning: font face \"No Such Face Sans\" is not installed; the text shows in WenQuanYi "
         "Zen Hei"},
        {"$SYSTEM_skip_absolut = 1;",
         "warning: unknown system variable SYSTEM_skip_absolut; did you mean "
         "SYSTEM_skip_absolute?"},
        {"if ($SYSTEM_keydown_esc == 1 && #SYSTEM_text_sped > 0) { Wait(1); }",
         "warning: unknown system variable SYSTEM_text_sped; did you mean SYSTEM_text_speed?"},
        // Sound statements next to them stay quiet.
        {"#SYSTEM_play_speed = 3; $k = $SYSTEM_keydown_a + $SYSTEM_present_text;", ""},
        {"CreateProcess(\"p\", 0, 0, 0, \"part\");", ""},
        {"LoadText(\"main\", \"txt\", \"a\", 900, 140, NULL, 40);", ""},
        {"LoadText(\"main\", \"txt\", $entry, 900, 140, NULL, 40);", ""},
        {"SetShortcut(\"t\", \"second.txt\");", ""},
        {"Wait(10);", ""},
        {"$n = 1 + 2 * 3; $m = -$n; $n++; $n += 2; $t = \"a\" + $n;", ""},
        {"if ($n > 1 && !$m) { $n = 0; } else { $n = 1; }", ""},
        {"while ($n < 3) { $n = $n + 1; }", ""},
        {"$s = String(\"%d\", $n) + Strlen(\"abc\"); $r = Random(3);", ""},
        {"call_scene @->other;", ""},
        {"call_scene second.txt->Two;", ""},
        {"call_cut part;", ""},
        {"say(\"hello\");", ""},
        {"CreateColor(\"ok\", 0, \"CENTER\", \"MIDDLE\", 10, 10, \"RGB(FF 80 00)\");", ""},
        {"CreateTexture(\"t\", 0, @10, #50%, \"CG/Pic.PNG\");", ""},
        {"CreateTexture(\"u\", 0, 0, 0, \"ok\");", ""}, // an object as the image
        {"Request(\"ok\", \"Hideable\");", ""},
        {"CreateMovie(\"m2\", 0, 0, 0, FALSE, FALSE, \"Movie/Clip.MKV\");", ""},
        {"SetFont(\"wenquanyi zen hei\", 20, \"#FFFFFF\", \"#000000\", 400, \"LEFTDOWN\");", ""},
        {"CreateMovie(\"m3\", 0, 0, 0, \"movie/clip.mkv\", TRUE, FALSE);", ""},
        {"MoviePlay(\"movie/clip.mkv\", TRUE); LoadFile(\"CG/PIC.png\", FALSE);", ""},
        {"$c = \"#FFF\"; LoadColor(\"v\", 10, 10, $c);", ""},
    };
    std::string script = "scene main\n{\n";
    const int first_line = 3;
    for (const auto& c : cases) script += "    " + std::string(c.statement) + "\n";
    script += "<PRE txt>\n[a]\nHello&.\n</PRE>\n}\nscene other\n{\n}\ncut part\n{\n}\n"
              "function say($what)\n{\n    Wait(1);\n}\n";

    const std::string game = scratch_dir("check_table");
    write_text(game + "/start.txt", script);
    write_text(game + "/second.txt", "scene Two\n{\n}\n");
    write_text(game + "/cg/pic.png", "not read by the check");
    write_text(game + "/movie/clip.mkv", "not read by the check");
    const RunResult r = run_kestrune({"--check", game});
    EXPECT_EQ(r.exit_code, 1) << r.output;
    const std::string all = joined(script_lines(r.output, "start.txt"));
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const std::string at = "start.txt:" + std::to_string(first_line + i) + ": ";
        if (*cases[i].fault)
            EXPECT_NE(all.find(at + cases[i].fault + "\n"), std::string::npos)
                << cases[i].statement << "\n"
                << all;
        else
            EXPECT_EQ(all.find(at), std::string::npos) << cases[i].statement << "\n" << all;
    }
    // One line per faulty statement, nothing more.
    std::size_t faults = 0;
    for (const auto& c : cases) faults += *c.fault ? 1 : 0;
    EXPECT_EQ(script_lines(r.output, "start.txt").size(), faults) << all;

    // --quiet leaves the warnings out, and the count still says what was found.
    const RunResult quiet = run_kestrune({"--check", "--quiet", game});
    EXPECT_EQ(quiet.output.find(": warning: "), std::string::npos) << quiet.output;
    EXPECT_NE(quiet.output.find(": error: "), std::string::npos) << quiet.output;
}

TEST(Checker, DemoChecksCleanAndRunsWithoutWarning) {
    const std::string demo = std::string(KESTRUNE_SOURCE_DIR) + "/games/demo";
    const RunResult r = run_kestrune({"--check", demo});
    EXPECT_EQ(r.exit_code, 0) << r.output;
    EXPECT_NE(r.output.find(": 0 errors, 0 warnings"), std::string::npos) << r.output;
    const RunResult run =
        run_kestrune({"--headless", "--strict", "--save-dir", scratch_dir("check_demo"), "--input",
                      demo + "/clickthrough.in", "--max-seconds", "120", demo},
                     90);
    EXPECT_EQ(run.exit_code, 0) << run.output;
}

TEST(Checker, NewGameChecksCleanAndRunsWithoutWarning) {
    const std::string dir = scratch_dir("check_new") + "/mygame";
    const RunResult made = run_kestrune({"--new", dir});
    ASSERT_EQ(made.exit_code, 0) << made.output;
    const RunResult check = run_kestrune({"--check", dir});
    EXPECT_EQ(check.exit_code, 0) << check.output;
    EXPECT_NE(check.output.find(": 0 errors, 0 warnings"), std::string::npos) << check.output;
    const RunResult run = run_kestrune(
        {"--headless", "--strict", "--save-dir", dir + "/saves", "--max-seconds", "20", dir});
    EXPECT_EQ(run.exit_code, 0) << run.output;
    // A second --new into the same folder is refused rather than overwriting the game.
    EXPECT_EQ(run_kestrune({"--new", dir}).exit_code, 1);
}

// The reference for authors keeps up with the engine: every command, built-in and system
// setting has its entry, and the example scripts check clean and run without a warning.
TEST(AuthorsReference, CoversEveryCommandBuiltinAndSetting) {
    const std::string docs = std::string(KESTRUNE_SOURCE_DIR) + "/docs/";
    const std::string commands = read_text(docs + "commands.md");
    for (const kestrune::script::CommandEntry& e : kestrune::script::command_table())
        EXPECT_NE(commands.find(std::string("\n### ") + e.name + "\n"), std::string::npos)
            << e.name;
    for (const std::string& b : kestrune::script::builtin_function_names())
        EXPECT_NE(commands.find("\n### " + b + "\n"), std::string::npos) << b;
    for (std::string_view s : kestrune::script::system_setting_names())
        EXPECT_NE(commands.find("`" + std::string(s) + "`"), std::string::npos) << s;
}

namespace {

// The fenced blocks of a Markdown file.
std::vector<std::string> code_blocks(const std::string& text) {
    std::vector<std::string> out;
    for (std::size_t at = text.find("```\n"); at != std::string::npos;) {
        const std::size_t end = text.find("\n```", at + 4);
        if (end == std::string::npos) break;
        out.push_back(text.substr(at + 4, end - at - 3));
        at = text.find("```\n", end + 4);
    }
    return out;
}

} // namespace

TEST(AuthorsReference, ExamplesCheckCleanAndRun) {
    const std::string docs = std::string(KESTRUNE_SOURCE_DIR) + "/docs/";
    // Whole example games run headless without a single warning.
    int games = 0;
    for (const std::string& block : code_blocks(read_text(docs + "script.md"))) {
        if (block.rfind("scene main", 0) != 0) continue;
        const std::string game = scratch_dir("docs_example_" + std::to_string(games++));
        write_text(game + "/start.txt", block);
        const RunResult check = run_kestrune({"--check", game});
        EXPECT_NE(check.output.find(": 0 errors, 0 warnings"), std::string::npos)
            << block << check.output;
        const RunResult run = run_kestrune(
            {"--headless", "--strict", "--save-dir", game + "/saves", "--max-seconds", "20", game});
        EXPECT_EQ(run.exit_code, 0) << block << run.output;
    }
    EXPECT_GE(games, 1);

    // Each command's example is a sound statement: the checker may only miss the files
    // and objects the example names.
    std::string script = "scene main\n{\n";
    for (const std::string& block : code_blocks(read_text(docs + "commands.md"))) script += block;
    script +=
        "<PRE txt>\n[hello]\nHello&.\n</PRE>\n}\ncut intro\n{\n}\nfunction blink_loop()\n{\n}\n";
    const std::string game = scratch_dir("docs_commands");
    write_text(game + "/start.txt", script);
    const RunResult check = run_kestrune({"--check", game});
    for (const std::string& line : script_lines(check.output, "start.txt"))
        EXPECT_NE(line.find("was not found"), std::string::npos) << line;
}

TEST(Checker, TextSectionsAndSettingsFile) {
    const std::string game = scratch_dir("check_text");
    write_text(game + "/start.txt",
               "scene main\n"                                       // 1
               "{\n"                                                // 2
               "    Wait(1);\n"                                     // 3
               "<PRE txt>\n"                                        // 4
               "stray words\n"                                      // 5
               "[a]\n"                                              // 6
               "Hello <RUBY=x>base and <BLINK>.\n"                  // 7
               "\n"                                                 // 8
               "[b]\n"                                              // 9
               "<WAIT>ok</RUBY>\n"                                  // 10
               "[c]\n"                                              // 11
               "<FONT SIZE=40>fine</FONT> <RUBY=r>b</RUBY><K>\n"    // 12
               "<WAIT=300>{ Wait(1); }<BR>&.\n"                     // 13
               "<WAIT=soon>x<INTERVAL=20>y\n"                       // 14
               "<FONT SIZE=big COLOR=#FFF INCOLOR=pinky>z</FONT>\n" // 15
               "<FONT FACE=\"WenQuanYi Zen Hei\" SIZE=20 INCOLOR=#FFD080 "
               "OUTCOLOR=BLACK>w</FONT><FONT FACE=\"No Such Face\">v</FONT>\n" // 16
               "</PRE>\n"                                                      // 17
               "}\n");
    write_text(
        game + "/system/System.ini",
        k_script_section + "start=start.txt\r\nclose=nothere.txt\r\nstrat=x\r\n" +
            "[\x83\x74\x83\x48\x83\x93\x83\x67]\r\nsize=big\r\nweight=400\r\nface=Nope Mincho\r\n" +
            "[Other]\r\nx=1\r\n" +
            // The icons: one pattern whose frames are all there (names in other
            // case), one that misses a frame, one that finds none, one that does not
            // read.
            "[\x83\x41\x83\x43\x83\x52\x83\x93]\r\nicon_page=sys/Page%02d.PNG#2\r\n" +
            "icon_line=sys/page%02d.png#3\r\nicon_auto=sys/none%d.png#2\r\n" +
            "[\x83\x6f\x83\x62\x83\x4e\x83\x8d\x83\x4f]\r\nicon_voice=sys/v%q.png#3\r\n");
    write_text(game + "/sys/page00.png", "not read by the check");
    write_text(game + "/sys/page01.png", "not read by the check");
    const RunResult r = run_kestrune({"--check", game});
    EXPECT_EQ(r.exit_code, 1) << r.output;
    const std::vector<std::string> want_text = {
        "start.txt:5: error: text before the first [label] of section 'txt' belongs to no "
        "entry and is never shown",
        "start.txt:7: error: <RUBY> is not closed by </RUBY>",
        "start.txt:7: error: unknown tag <BLINK>",
        "start.txt:10: error: tag <WAIT> needs a value; it shows as text",
        "start.txt:10: error: </RUBY> without its <RUBY>",
        "start.txt:14: error: tag <WAIT> needs a number of milliseconds, not \"soon\"; it "
        "shows as text",
        "start.txt:15: error: tag <FONT> has no attribute COLOR (FACE, SIZE, INCOLOR, OUTCOLOR)",
        "start.txt:15: error: tag <FONT>: SIZE=\"big\" is not a size from 1 to 1024; the size "
        "stays",
        "start.txt:15: error: tag <FONT>: INCOLOR=\"pinky\" is not a colour",
        "start.txt:16: warning: tag <FONT>: font face \"No Such Face\" is not installed; the text "
        "shows in WenQuanYi Zen Hei",
    };
    EXPECT_EQ(joined(script_lines(r.output, "start.txt")), joined(want_text)) << r.output;
    const std::vector<std::string> want_settings = {
        "system/System.ini:3: error: close = \"nothere.txt\" names a script that was not found",
        "system/System.ini:4: warning: unknown key 'strat' in [スクリプト]",
        "system/System.ini:6: error: size = \"big\" is not a whole number",
        "system/System.ini:8: warning: face: font face \"Nope Mincho\" is not installed; the text "
        "shows in WenQuanYi Zen Hei",
        "system/System.ini:9: warning: unknown section [Other]",
        "system/System.ini:13: warning: icon_line = \"sys/page%02d.png#3\" names 3 images but 2 "
        "were found (\"sys/page02.png\" was not)",
        "system/System.ini:14: error: icon_auto = \"sys/none%d.png#2\" names 2 images but 0 were "
        "found (\"sys/none0.png\" was not)",
        "system/System.ini:16: error: icon_voice = \"sys/v%q.png#3\" is not an icon pattern: only "
        "one integer "
        "conversion (%d, %02d, %03d ...) is allowed in the file pattern",
    };
    EXPECT_EQ(joined(script_lines(r.output, "system/System.ini")), joined(want_settings))
        << r.output;
}
