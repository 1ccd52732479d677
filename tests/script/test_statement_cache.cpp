// Statements remembered by their script thread: the slot a reference remembers must follow
// its variable through deletion and re-creation, a statement whose bytes changed must be
// collected again, and the plain shapes, run without parsing, must leave exactly what the
// evaluator leaves.
#include "flow_fixture.h"

#include "script/commands.h"
#include "script/expressions.h"
#include "script/scanner.h"
#include "script/system_variables.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kestrune::script::testing {
namespace {

using StatementCacheScript = FlowTest;

// Each pass reads $x through remembered slots (a plain statement and one with an index),
// then deletes $x, lets $other take its old slot and makes $x again in another one; then
// every local goes at once and the loop after it must not find the old slots either.
TEST_F(StatementCacheScript, RememberedSlotsFollowAVariableDeletedAndMadeAgain) {
    write("start.txt", R"(scene main
{
    $i = 1;
    $x = 10;
    while ($i <= 3) {
        $r = $x + 1;
        #s[$i] = $x * 2;
        DeleteArray("$x");
        $other = 5;
        $x = 100 + $i;
        $i++;
    }
    #r = $r;
    ClearScore("LOCAL");
    $x = 7;
    $i = 1;
    while ($i <= 2) {
        $after = $x + 1;
        $i++;
    }
}
)");
    install_command_table();
    ASSERT_TRUE(run());
    EXPECT_EQ(num("#s/1"), 20);
    EXPECT_EQ(num("#s/2"), 202);
    EXPECT_EQ(num("#s/3"), 204);
    EXPECT_EQ(num("#r"), 103);
    EXPECT_EQ(num("$r"), 0) << "cleared with the locals";
    EXPECT_EQ(num("$after"), 8) << "slots remembered before ClearScore were let go";
}

class StatementCache : public ::testing::Test {
protected:
    void SetUp() override {
        var_clear_locals();
        var_clear_globals();
        reset_system_settings_for_tests();
    }
};

TEST_F(StatementCache, AStatementWhoseBytesChangedIsCollectedAgain) {
    std::string text = "$a=1;\n";
    run_expression_statement(text.data(), text.data() + text.size(), nullptr);
    EXPECT_EQ(var_number("$a"), 1);
    text[3] = '2'; // same place, other bytes
    run_expression_statement(text.data(), text.data() + text.size(), nullptr);
    EXPECT_EQ(var_number("$a"), 2);
    text.replace(0, 5, "$b=3;"); // another statement altogether
    run_expression_statement(text.data(), text.data() + text.size(), nullptr);
    EXPECT_EQ(var_number("$b"), 3);
    EXPECT_EQ(var_number("$a"), 2);
}

// The same statement through the evaluator alone (evaluate_text keeps nothing) and through
// the statement entry point, twice (taken apart, then remembered), from the same starting
// store: the stores (every record, in slot order) and the values must be the same.
TEST_F(StatementCache, PlainStatementsLeaveWhatTheEvaluatorLeaves) {
    const auto start = [] {
        var_clear_locals();
        var_clear_globals();
        reset_system_settings_for_tests();
        var_set_number("$n", 7);
        var_set_number("$z", 0);
        var_set_number("$neg", -3);
        var_set_number("$one", -1);
        var_set_text("$s", "ab");
        var_set_text("$d", "5");
        var_set_text("$name", "$n");
        var_set_text("$t", "was text");
        var_set_number("#g", 2);
        var_find_or_create("$u"); // untyped
    };
    const char* statements[] = {
        "$t=$n+1",
        "$t=$n*$z",
        "$t=$n/$z+4",
        "$t=$n%$neg",
        "$t=$n%$one",
        "$t=$n/2",
        "$t=$n%0",
        "$t=$z-$z",
        "$t=$s",
        "$t=$s+1",
        "$t=1+$s",
        "$t=$s-1",
        "$t=$s*2",
        "$t=$d",
        "$t=$d+1",
        "$t=$u",
        "$t=$u+1",
        "$t=$new+1",
        "$new2=$new3",
        "$t=0",
        "$t=5",
        "$q=0",
        "$q=5",
        "$q=$z",
        "$q=$z+0",
        "$t=#g*3",
        "#h=$n-#g",
        "$t=$name",
        "$t=$name+1",
        "$t=2-2",
        "$t=9007199254740993+0",
        "$t=123456789012345+1",
        "$t=$n-1-1-1",
        "$t=$n*$n*$n%5",
        "$SYSTEM_text_speed=$n*100",
    };
    struct Outcome {
        std::vector<std::uint8_t> locals, globals;
        double number;
        std::string text, var_name;
        bool has_text;
        double text_speed;
    };
    const auto outcome = [](const Value& v) {
        return Outcome{var_serialise(false),
                       var_serialise(true),
                       v.number,
                       v.text,
                       v.var_name,
                       v.has_text,
                       var_number("#SYSTEM_text_speed") + var_number("$SYSTEM_text_speed")};
    };
    for (const char* statement : statements) {
        const std::string text = std::string(statement) + ";\n";
        start();
        std::string compact;
        collect_statement(text.data(), text.data() + text.size(), compact);
        const Outcome expected = outcome(evaluate_text(compact));
        for (int pass = 0; pass < 2; ++pass) {
            start();
            Value v;
            run_expression_statement(text.data(), text.data() + text.size(), nullptr, &v);
            const Outcome got = outcome(v);
            EXPECT_TRUE(got.locals == expected.locals) << statement << " pass " << pass;
            EXPECT_TRUE(got.globals == expected.globals) << statement << " pass " << pass;
            EXPECT_EQ(got.number, expected.number) << statement << " pass " << pass;
            EXPECT_EQ(got.text, expected.text) << statement << " pass " << pass;
            EXPECT_EQ(got.var_name, expected.var_name) << statement << " pass " << pass;
            EXPECT_EQ(got.has_text, expected.has_text) << statement << " pass " << pass;
            EXPECT_EQ(got.text_speed, expected.text_speed) << statement << " pass " << pass;
        }
    }
}

} // namespace
} // namespace kestrune::script::testing
