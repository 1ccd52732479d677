// Command matching, argument lists, argument reading, object paths and colours.
#include "frame/engine.h"
#include "script/arguments.h"
#include "script/commands.h"
#include "script/context.h"
#include "script/variables.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace kestrune::script;

TEST(CommandTable, HasTheNinetyTwoCommandsInOrder) {
    const auto& t = command_table();
    ASSERT_EQ(t.size(), 92u);
    EXPECT_STREQ(t.front().name, "CreateName");
    EXPECT_STREQ(t[21].name, "LoadImage");
    EXPECT_STREQ(t.back().name, "System");
}

TEST(CommandTable, MatchingRule) {
    struct Case {
        const char* text;
        const char* expected; // null: no command
    };
    const Case cases[] = {
        {"Wait(100);", "Wait"},
        {"Wait (100);", "Wait"}, // a space before the parenthesis
        {"Wait\t(100);", "Wait"},
        {"Wait\xA1\xA1(1);", "Wait"}, // the full-width space
        {"WaitKey();", "WaitKey"},    // the longer name is not taken for Wait
        {"Waiting(1);", nullptr},     // a further letter: not the command
        {"Waitx;", nullptr},
        {"wait(1);", nullptr}, // names are case-sensitive
        {"CreateTextureX(a);", nullptr},
        {"Draw;", nullptr}, // ';' directly after the name does not match
        {"Draw\r\n", "Draw"},
    };
    for (const Case& c : cases) {
        const int i = match_command(c.text, c.text + std::strlen(c.text));
        if (!c.expected) {
            EXPECT_EQ(i, -1) << c.text;
        } else {
            ASSERT_GE(i, 0) << c.text;
            EXPECT_STREQ(command_table()[static_cast<std::size_t>(i)].name, c.expected) << c.text;
        }
    }
}

TEST(ArgumentList, CutFromTheStatement) {
    struct Case {
        const char* statement;
        bool ok;
        const char* list;
        const char* rest; // text at `after`
    };
    const Case cases[] = {
        {"Wait(100);x", true, "100", ";x"},
        {"Move(a, \"x)y\", 3);z", true, "a, \"x)y\", 3", ";z"}, // ')' inside quotes
        {"Do(\"a;b\", (1));z", true, "\"a;b\", (1)", ";z"},     // last ')' before ';'
        {"Draw;next", false, "", "next"},                       // no list
        {"Wait(100;next", false, "", "next"},                   // no ')': past the ';'
        {"Wait(\"\\\")\");z", true, "\"\\\")\"", ";z"},         // an escaped quote
    };
    for (const Case& c : cases) {
        std::string list;
        const char* after = nullptr;
        const char* end = c.statement + std::strlen(c.statement);
        EXPECT_EQ(take_argument_list(c.statement, end, list, after), c.ok) << c.statement;
        EXPECT_EQ(list, c.list) << c.statement;
        EXPECT_STREQ(after, c.rest) << c.statement;
    }
    // A list of 2048 bytes or more is refused, and the statement is still left behind.
    const std::string huge = "Wait(" + std::string(3000, '1') + ");z";
    std::string list;
    const char* after = nullptr;
    EXPECT_FALSE(take_argument_list(huge.c_str(), huge.c_str() + huge.size(), list, after));
    EXPECT_STREQ(after, ";z");
}

TEST(ArgumentReader, ModesQuotesVariablesAndCanonicalText) {
    var_clear_locals();
    var_set_number("$n", 42.9);
    var_set_text("$s", "hello");
    std::string canonical = "CreateTexture(";
    ArgumentReader r("  bg , \"a, b; c\", $n, $s, \\\"x\\\", $missing", nullptr, &canonical);
    EXPECT_EQ(r.next(ArgMode::quoted, ','), "bg");
    EXPECT_EQ(r.next(ArgMode::quoted, ','), "a, b; c"); // quoted text keeps , and ;
    EXPECT_EQ(r.next(ArgMode::plain, ','), "42");       // number variable: its integer text
    EXPECT_EQ(r.next(ArgMode::quoted, ','), "hello");
    EXPECT_EQ(r.next(ArgMode::quoted, ','), "x"); // the escaped form \"x\"
    EXPECT_EQ(r.next(ArgMode::output, ')'), "$missing");
    EXPECT_FALSE(r.next(ArgMode::quoted, 0).has_value());
    EXPECT_EQ(canonical, "CreateTexture(\"bg\",\"a, b; c\",42,\"hello\",\"x\",$missing);");

    // Output mode passes the variable's name, not its value.
    ArgumentReader out("$n", nullptr, nullptr);
    EXPECT_EQ(out.next(ArgMode::output, 0), "$n");

    // An empty list gives nothing for every argument; an empty quoted text gives nothing.
    ArgumentReader empty("", nullptr, nullptr);
    EXPECT_FALSE(empty.next(ArgMode::quoted, ',').has_value());
    EXPECT_FALSE(empty.next(ArgMode::plain, ')').has_value());
    ArgumentReader quotes("\"\", 5", nullptr, nullptr);
    EXPECT_FALSE(quotes.next(ArgMode::quoted, ',').has_value());
    EXPECT_EQ(quotes.next(ArgMode::plain, ')'), "5");
}

TEST(ArgumentReader, FunctionParametersStandForTheirValues) {
    ScriptBlock block;
    block.kind = k_kind_function;
    block.param_count = 1;
    std::strcpy(block.param_names[0], "who");
    std::strcpy(block.param_values[0], "reader");
    ArgumentReader r("who, whom", &block, nullptr);
    EXPECT_EQ(r.next(ArgMode::quoted, ','), "reader");
    EXPECT_EQ(r.next(ArgMode::quoted, ')'), "whom");

    // A parameter named like a variable holds its argument in that variable.
    block.param_count = 2;
    std::strcpy(block.param_names[1], "$page");
    block.param_values[1][0] = 0;
    var_set_text("$page", "txt/dusk");
    ArgumentReader v("$page", &block, nullptr);
    EXPECT_EQ(v.next(ArgMode::quoted, ')'), "txt/dusk");
}

TEST(ObjectPath, Forms) {
    struct Case {
        const char* name;
        const char* prefix;
        const char* path;
    };
    const Case cases[] = {
        {"bg", "", "bg"},
        {"bg", "scene1", "scene1/bg"},
        {"@alias", "scene1", "@alias"},
        {"<main>", "scene1", "<main"},
        {"", "scene1", ""},
    };
    for (const Case& c : cases) EXPECT_EQ(form_object_path(c.name, c.prefix), c.path) << c.name;
    EXPECT_EQ(form_object_path(std::string(300, 'a'), ""), "");
    EXPECT_EQ(form_object_path(std::string(200, 'a'), std::string(100, 'b')), "");
}

// Every text reads as some colour; only the written notations count as well formed (the
// rest is reported by the commands).
TEST(Colour, Notations) {
    struct Case {
        const char* text;
        std::uint32_t rgb;
        int alpha;
        bool well_formed;
    };
    const Case cases[] = {
        {"#abc", 0xAABBCC, 255, true},
        {"#AABBCC", 0xAABBCC, 255, true},
        {"#abc8", 0xAABBCC, 0x88, true},
        {"#11223344", 0x112233, 0x44, true},
        {"#12345", 0, 0, false},
        {"RGB(FF,80,00)", 0xFF8000, 255, true},
        {"RGB(FF 80 00)", 0xFF8000, 255, true},
        {"RGB(FF,80)", 0xFF8000, 255, false},
        {"rgba(01,02,03,04)", 0x010203, 4, true},
        {"white", 0xFFFFFF, 255, true},
        {"\"Navy\"", 0x000080, 255, true},
        {"0x123456", 0x123456, 255, true},
        {"FF00zz11", 0xFF0011, 255, false},
        {"PINK", 0, 255, false},
    };
    for (const Case& c : cases) {
        const Colour colour = parse_colour(c.text);
        EXPECT_EQ(colour.rgb, c.rgb) << c.text;
        EXPECT_EQ(colour.alpha, c.alpha) << c.text;
        EXPECT_EQ(is_colour_text(c.text), c.well_formed) << c.text;
    }
}

TEST(ArgumentInt, DecimalConversion) {
    EXPECT_EQ(argument_int("  -12abc"), -12);
    EXPECT_EQ(argument_int("+7"), 7);
    EXPECT_EQ(argument_int("x"), 0);
    EXPECT_EQ(argument_int("99999999999"), 2147483647);
    EXPECT_EQ(argument_int("-99999999999"), -2147483647 - 1);
}

TEST(SpeedFactor, SkipModeSystemScriptAndTable) {
    kestrune::engine::reset_process_state_for_tests();
    kestrune::engine::set_state(kestrune::engine::k_state_running);
    EXPECT_DOUBLE_EQ(speed_factor(), 1.0); // play_speed 3 by default
    kestrune::engine::set_skip_mode(true);
    EXPECT_DOUBLE_EQ(speed_factor(), 32.0);
    EXPECT_EQ(static_cast<int>(1000 / speed_factor()), 31); // Wait(1000) while skipping
    EXPECT_TRUE(kestrune::engine::skip_event().is_signalled());
    kestrune::engine::set_state(kestrune::engine::k_state_system_script);
    EXPECT_DOUBLE_EQ(speed_factor(), 1.0);
    kestrune::engine::reset_process_state_for_tests();
}
