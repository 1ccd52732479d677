// Whole-program runs of statements that fail because of their arguments: each is reported
// on stderr as "file:line: ..." naming what was wrong, once per script line, and the
// statements around it run on.
#include "run_game.h"

#include <gtest/gtest.h>

using namespace kestrune::testing;

namespace {

std::size_t count_of(const std::string& text, const std::string& part) {
    std::size_t n = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++n;
    return n;
}

} // namespace

TEST(ArgumentReports, EachFaultyStatementIsReportedOnceAtItsLine) {
    const struct {
        const char* statement;
        const char* report; // after "start.txt:<line>: "; empty: no report
    } cases[] = {
        {R"~(CreateColor("a", 0, "CENTER", "CENTER", 10, 10, "#FFF");)~",
         R"~(position "CENTER" is not a y position; the object was not created)~"},
        {R"~(CreateColor("b", 0, "MIDDLE", 0, 10, 10, "RED");)~",
         R"~(position "MIDDLE" is not an x position; the object was not created)~"},
        {R"~(CreateText("t", 0, "LEFT", 0, 100, 40, "a");)~",
         R"~(position "LEFT" is not an x position; the object was not created)~"},
        {R"~(CreateColor("c", 0, 0, 0, 10, 10, "#12345");)~",
         R"~(colour "#12345" is not a colour; it reads as #000000 with opacity 0)~"},
        {R"~(CreateColor("d", 0, 0, 0, 10, 10, "PINK");)~",
         R"~(colour "PINK" is not a colour; it reads as #000000 with opacity 255)~"},
        {R"~(LoadColor("e", 10, 10, "RGB(FF,00)");)~",
         R"~(colour "RGB(FF,00)" is not a colour; it reads as #FF0000 with opacity 255)~"},
        {R"~(CreateTexture("f", 0, 0, 0, "cg/none.png");)~",
         R"~(image "cg/none.png" was not found; the object was not created)~"},
        {R"~(CreateTexture("g", 0, 0, 0, "broken.png");)~",
         R"~(image "broken.png" could not be read; the object was not created)~"},
        {R"~(SetImage("ok", "cg/none.png");)~",
         R"~(image "cg/none.png" was not found; nothing was done)~"},
        {R"~(Request("ok", "Blink");)~",
         R"~(request "Blink" is not known to "ok"; nothing was done)~"},
        // Correct statements next to them stay quiet.
        {R"~(CreateColor("ok2", 0, "CENTER", "MIDDLE", 10, 10, "RGB(FF 80 00)");)~", ""},
        {R"~(LoadColor("ok3", 10, 10, "#80FF0080");)~", ""},
        {R"~(Request("ok", "Hideable");)~", ""},
        {R"~(Request("nothing", "Blink");)~", ""}, // no object: nobody to ask
    };
    // Line 1 is the scene's name, 2 its brace, 3 and 4 set up, 5 a loop that runs its statement
    // three times, then one case per line.
    std::string script = "scene main\n{\n    CreateColor(\"ok\", 0, 0, 0, 10, 10, \"#FFF\");\n";
    script += "    $i = 0;\n    while ($i < 3) { " + std::string(cases[0].statement) +
              " $i = $i + 1; }\n";
    const int first_line = 6;
    for (std::size_t i = 1; i < std::size(cases); ++i)
        script += "    " + std::string(cases[i].statement) + "\n";
    script += "    WriteFile(\"done.txt\", \"yes\", FALSE);\n}\n";

    const std::string game = scratch_dir("argument_reports");
    write_text(game + "/start.txt", script);
    write_text(game + "/broken.png", "\x89PNG\r\n\x1a\nnot really");
    const RunResult r =
        run_kestrune({"--headless", "--save-dir", game + "/saves", "--max-seconds", "30", game});
    EXPECT_EQ(r.exit_code, 0) << r.output;
    EXPECT_EQ(read_text(game + "/done.txt"), "yes") << r.output;
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const int line = i == 0 ? 5 : first_line + static_cast<int>(i) - 1;
        const std::string at = "start.txt:" + std::to_string(line) + ": ";
        if (*cases[i].report)
            EXPECT_EQ(count_of(r.output, at + cases[i].report), 1u) << cases[i].statement << "\n"
                                                                    << r.output;
        else
            EXPECT_EQ(count_of(r.output, at), 0u) << cases[i].statement << "\n" << r.output;
    }
}
