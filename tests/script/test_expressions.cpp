// Expressions: the odd precedence, the number/text duality, assignment typing, built-in
// functions, and statements that are too long or too deep.
#include "script/expressions.h"
#include "script/scanner.h"
#include "script/system_variables.h"
#include "script/variables.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

using namespace kestrune::script;

namespace {

class Expressions : public ::testing::Test {
protected:
    void SetUp() override {
        var_clear_locals();
        var_clear_globals();
        reset_system_settings_for_tests();
    }
    // Runs statements separated by ';' through the statement entry point; returns the
    // value of the last one.
    static Value run(const std::string& text) {
        const char* p = text.data();
        const char* end = p + text.size();
        Value last;
        while (p < end) {
            Value v;
            p = run_expression_statement(p, end, nullptr, &v);
            last = v;
            p = skip_space(p, end);
        }
        return last;
    }
    static Value eval(const std::string& text) {
        std::string compact;
        collect_statement(text.data(), text.data() + text.size(), compact);
        return evaluate_text(compact);
    }
};

struct NumberCase {
    const char* text;
    double expected;
};

TEST_F(Expressions, ArithmeticRunsLeftToRightAndComparisonsTakeTheRest) {
    const NumberCase cases[] = {
        {"1+2*3", 9},
        {"2*3+1", 7},
        {"1<2+3", 1},
        {"10-2-3", 5},
        {"7%3", 1},
        {"7.9%3", 1},
        {"7/0+5", 0},
        {"(7/0)+5", 5},
        {"1+5%0", 0},
        {"-(3)+1", -2},
        {"!(0)", 1},
        {"!(4)", 0},
        {"+(4)", 4},
        {"1==1", 1},
        {"1!=1", 0},
        {"3<=3", 1},
        {"4>=5", 0},
        {"2>1", 1},
        {"1+1==2", 1},
        {"1==1==1", 1},
        {"1&&0", 0},
        {"0||2", 1},
        {"(1+2)*3", 9},
        {"-5+2", -3},
        {"1 + 2 * 3", 9},
        {"TRUE", 1},
        {"false", 0},
        {"\"abc\"==\"abc\"", 1},
        {"\"abc\"==\"abd\"", 0},
        {"\"abc\"==0", 0},
        {"\"5\"==5", 1},
        {"\"TRUE\"==TRUE", 1},
        {"2.5*2", 5},
    };
    for (const NumberCase& c : cases) EXPECT_DOUBLE_EQ(eval(c.text).number, c.expected) << c.text;
}

TEST_F(Expressions, IntegerConversionsSaturateInsteadOfTrapping) {
    const NumberCase cases[] = {
        {"-2147483648%-1", 0},
        {"99999999999999999999%7", 0}, // saturated to the 64-bit maximum first
        {"Integer(1000000000*1000000000*1000000000)", 1e27},
        {"5%0.5", 0},
    };
    for (const NumberCase& c : cases) {
        Value v = eval(c.text);
        if (c.expected == 0)
            EXPECT_DOUBLE_EQ(v.number, 0) << c.text;
        else
            EXPECT_GT(v.number, 1e26) << c.text;
    }
    EXPECT_EQ(number_text(1e300), "2147483647");
    EXPECT_EQ(number_text(-1e300), "-2147483648");
    EXPECT_EQ(to_int(0.0 / 0.0), 0);
}

TEST_F(Expressions, TextConcatenationRendersNumbersWithPercentD) {
    run("$s=\"ab\"; $n=15/2");
    struct {
        const char* text;
        const char* expected;
    } cases[] = {
        {"\"a\"+1", "a1"},  {"1+\"a\"", "1a"},     {"$s+$n", "ab7"},
        {"$s+1+2", "ab12"}, {"\"x\"+\"y\"", "xy"}, {"\"a\\\"b\"", "a\"b"},
    };
    for (const auto& c : cases) {
        Value v = eval(c.text);
        EXPECT_TRUE(v.has_text) << c.text;
        EXPECT_EQ(v.text, c.expected) << c.text;
    }
    // The number beside the text is still the sum; other operators drop the text.
    EXPECT_DOUBLE_EQ(eval("\"a\"+3").number, 3);
    EXPECT_FALSE(eval("\"a\"*3").has_text);
}

struct TypingCase {
    const char* statements;
    const char* variable;
    VarType type;
    double number;
    const char* text;
};

TEST_F(Expressions, AssignmentTypingRules) {
    const TypingCase cases[] = {
        {"$a=5", "$a", VarType::number, 5, ""},
        {"$a=\"5\"", "$a", VarType::string, 0, "5"},
        {"$a=0", "$a", VarType::string, 0, "0"}, // numeric text, result 0, untyped target
        {"$a=\"x\";$a=5", "$a", VarType::string, 0, "5"},
        {"$a=\"x\";$a=3+4", "$a", VarType::number, 7, ""},
        {"$a=\"x\";$a=2-2", "$a", VarType::string, 0, ""},
        {"$a=5;$a=\"abc\"", "$a", VarType::string, 5, "abc"},
        {"$a=7.5", "$a", VarType::string, 0, "7.5"}, // '.' fails the is-number test
        {"$a=5;$a=7", "$a", VarType::number, 7, ""},
        {"$b=\"hi\";$a=$b", "$a", VarType::string, 0, "hi"},
        {"$b=3;$a=$b", "$a", VarType::number, 3, ""},
        {"$a=TRUE", "$a", VarType::number, 1, ""},
        {"$a=\"x\";$a=FALSE", "$a", VarType::string, 0, "FALSE"},
        {"$a=\"x\";$a=TRUE", "$a", VarType::number, 1, "TRUE"},
        {"$b=2;$a=$b=5", "$a", VarType::number, 2, ""},
        {"$b=2;$a=$b=5", "$b", VarType::number, 5, ""},
        {"$b=5;$a=$b++", "$a", VarType::number, 5, ""},
        {"$a=\"$b\";$b=1", "$a", VarType::number, 0, ""}, // names no variable yet
    };
    for (const TypingCase& c : cases) {
        SetUp();
        run(c.statements);
        std::optional<VarRecord> r = var_find(c.variable);
        ASSERT_TRUE(r) << c.statements;
        EXPECT_EQ(r->type, c.type) << c.statements;
        EXPECT_DOUBLE_EQ(r->number, c.number) << c.statements;
        EXPECT_EQ(r->text, c.text) << c.statements;
    }
}

TEST_F(Expressions, IncrementsAndCompoundOperators) {
    struct {
        const char* statements;
        double result;
        double after;
    } cases[] = {
        {"$a=1;$a+=1+1", 3, 2}, {"$a=5;$a-=1+1", 3, 3},   {"$a=2;$a*=3+1", 8, 8},
        {"$a=9;$a/=0", 0, 0},   {"$a=7;$a%=4", 3, 3},     {"$a=7;$a%=-1", 0, 0},
        {"$a=5;$a++", 5, 6},    {"$a=5;++$a", 6, 6},      {"$a=5;$a--", 5, 4},
        {"$a=5;--$a", 4, 4},    {"$a=5;-$a", -5, 5},      {"$a=5;!$a", 0, 5},
        {"$new++", 0, 1},       {"$i=0;$i++;$i++", 1, 2}, // a string "0" still counts
    };
    for (const auto& c : cases) {
        SetUp();
        Value v = run(c.statements);
        EXPECT_DOUBLE_EQ(v.number, c.result) << c.statements;
        EXPECT_DOUBLE_EQ(var_number(c.statements[1] == 'n'   ? "$new"
                                    : c.statements[1] == 'i' ? "$i"
                                                             : "$a"),
                         c.after)
            << c.statements;
    }
    EXPECT_EQ(var_find("$i")->type, VarType::number);
}

TEST_F(Expressions, IndexesBecomeSubNamesOrKeyLookups) {
    run("$arr[2]=7; $i=1; $arr[$i+2]=3; AssocArray($h, \"one\", \"two\"); $h[\"two\"]=9");
    EXPECT_DOUBLE_EQ(var_number("$arr/2"), 7);
    EXPECT_DOUBLE_EQ(var_number("$arr/3"), 3);
    EXPECT_DOUBLE_EQ(var_number("$h/1"), 9);
    EXPECT_DOUBLE_EQ(eval("$h[\"two\"]+1").number, 10);
    // No element with the key: the whole term is 0 and nothing is created.
    EXPECT_DOUBLE_EQ(eval("$h[\"three\"]").number, 0);
    EXPECT_FALSE(var_exists("$h/three"));
    run("$k=\"one\"; $h[$k]=4");
    EXPECT_DOUBLE_EQ(var_number("$h/0"), 4);
}

TEST_F(Expressions, ArrayCountDeleteAndVariableValue) {
    run("$n=4; $s=\"str\"; Array($a, 1, \"x\", TRUE, $n, $s)");
    EXPECT_EQ(var_find("$a/0")->type, VarType::number);
    EXPECT_EQ(var_find("$a/1")->type, VarType::string);
    EXPECT_DOUBLE_EQ(var_number("$a/2"), 1);
    EXPECT_DOUBLE_EQ(var_number("$a/3"), 4);
    EXPECT_EQ(var_text("$a/4"), "str");
    EXPECT_DOUBLE_EQ(eval("Count($a)").number, 5);
    run("$x=$d[5]; $y=$d[6]");
    EXPECT_DOUBLE_EQ(eval("Count($d)").number, 0); // elements only read are empty
    EXPECT_DOUBLE_EQ(eval("!DeleteArray($a)").number, 1);
    EXPECT_FALSE(var_exists("$a/0"));
    run("$name=\"foo\"; VariableValue(\"$\", $name, 5)");
    EXPECT_DOUBLE_EQ(var_number("$foo"), 5);
    EXPECT_DOUBLE_EQ(eval("VariableValue(\"$\",\"foo\")+1").number, 6);
    EXPECT_FALSE(var_exists("$"));
}

TEST_F(Expressions, TextFunctionsClampAndCountPairsAsOneCharacter) {
    struct {
        const char* text;
        const char* expected;
    } texts[] = {
        {"Substr(\"hello\",1,3)", "ell"},
        {"Substr(\"hello\",-5,100)", "hello"},
        {"Substr(\"hello\",10,2)", ""},
        {"Substr(\"hello\",2,-1)", ""},
        {"Substr(\"\xb0\xa1\xb0\xa2x\",1,1)", "\xb0\xa2"},
        {"String(\"%03d-%s\",7,\"x\")", "007-x"},
        {"String(\"%d%%\",5)", "5%"},
        {"String(\"%s\")", "%s"},
        {"String(\"%n%d\",5)", "%n5"},
        {"String(\"%*d|%d\",5)", "%*d|5"},
        {"String(\"%x\",255)", "ff"},
        {"String(\"%.2f\",1.5)", "1.50"},
        {"String(\"%d\",\"abc\")", "0"},
    };
    for (const auto& c : texts) EXPECT_EQ(eval(c.text).text, c.expected) << c.text;
    const NumberCase numbers[] = {
        {"Strlen(\"abc\")", 3},
        {"Strlen(\"\xb0\xa1x\")", 2},
        {"Strstr(\"hello\",\"ll\")", 3},
        {"Strstr(\"\xb0\xa1ll\",\"ll\")", 2},
        {"Strstr(\"hello\",\"\")", 0},
        {"Strstr(\"hello\",\"z\")", 0},
        {"Integer(-3.7)", -3},
        {"Random(0)", 0},
        {"Random(1)", 0},
        {"Random(-4)", 0},
        {"Strlen(Substr(\"abcdef\",Strlen(\"ab\"),2))", 2},
    };
    for (const NumberCase& c : numbers) EXPECT_DOUBLE_EQ(eval(c.text).number, c.expected) << c.text;
    // A width far beyond the result size never writes past it.
    EXPECT_EQ(eval("String(\"%99999d\",1)").text.size(), 1023u);
    for (int i = 0; i < 50; i++) {
        double r = eval("Random(6)").number;
        EXPECT_TRUE(r >= 0 && r < 6);
    }
}

TEST_F(Expressions, OnlyListedStatementsAreEvaluated) {
    run("Foo($a=1); Array($b,1); debugmessage $c=1; $d=1");
    EXPECT_FALSE(var_exists("$a"));
    EXPECT_TRUE(var_exists("$b/0"));
    EXPECT_FALSE(var_exists("$c"));
    EXPECT_TRUE(var_exists("$d"));
}

TEST_F(Expressions, StatementCollectionStopsAtSemicolonOrBrace) {
    std::string text = "$a = \"x y\\\";{\" ;\r\n rest";
    std::string out;
    int marks = 0;
    EvalContext ctx;
    ctx.user = &marks;
    ctx.mark_line_end = [](void* user, const char*) { ++*static_cast<int*>(user); };
    const char* end = text.data() + text.size();
    const char* next = collect_statement(text.data(), end, out, &ctx);
    EXPECT_EQ(out, "$a=\"x y\\\";{\"");
    EXPECT_EQ(*(next - 1), ';');
    std::string braced = "$a\r\n==1{ $b=2; }";
    next = collect_statement(braced.data(), braced.data() + braced.size(), out, &ctx);
    EXPECT_EQ(out, "$a==1");
    EXPECT_EQ(*next, '{');
    EXPECT_EQ(marks, 2);
    // No terminator: the collection ends at the end of the text.
    std::string open = "$a=\"unclosed";
    next = collect_statement(open.data(), open.data() + open.size(), out);
    EXPECT_EQ(next, open.data() + open.size());
}

TEST_F(Expressions, OversizedAndDeepInputIsRefusedWithoutCrashing) {
    std::string huge = "$a=" + std::string(100000, '1') + ";$b=1";
    run(huge);
    EXPECT_FALSE(var_exists("$a")); // 100 kB statement refused...
    EXPECT_TRUE(var_exists("$b"));  // ...and the next statement still runs
    std::string deep = "$c=" + std::string(10000, '(') + "1" + std::string(10000, ')');
    run(deep);
    EXPECT_NE(var_number("$c"), 1);
    std::string chain = "$d=1";
    for (int i = 0; i < 10000; i++) chain += "+1";
    run(chain);
    EXPECT_DOUBLE_EQ(var_number("$d"), 10001); // long but flat: fine
    std::string cmp = "$e=1";
    for (int i = 0; i < 5000; i++) cmp += "<1";
    run(cmp); // right-recursive comparisons: refused, no stack overflow
    std::string long_name = "$" + std::string(1000, 'n') + "=3";
    run(long_name);
    std::string cut = "$" + std::string(126, 'n');
    EXPECT_DOUBLE_EQ(var_number(cut), 3);
    std::string long_text = "$t=\"" + std::string(5000, 'x') + "\"+\"y\"";
    run(long_text);
    EXPECT_EQ(var_text("$t").size(), 1023u);
}

TEST_F(Expressions, SystemVariablesReachTheirSettings) {
    int calls = 0;
    int id =
        watch_setting("sound_volume_bgm", [&](std::string_view, std::string_view) { calls++; });
    run("#SYSTEM_sound_volume_bgm=5000; $SYSTEM_play_speed=5; #SYSTEM_play_speed=13");
    EXPECT_DOUBLE_EQ(setting_number("sound_volume_bgm"), 1000);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(play_speed_index(), 5); // 13 is past the speed table: refused
    run("$SYSTEM_play_speed++");
    EXPECT_EQ(play_speed_index(), 6);
    run("#SYSTEM_current_path=\"data/\"");
    EXPECT_EQ(resource_path_prefix(), "data/");
    unwatch_setting(id);
}

TEST_F(Expressions, UnavailableFunctionsYieldZero) {
    EXPECT_DOUBLE_EQ(eval("ImageHorizon(\"bg\")+1").number, 1);
    EXPECT_TRUE(register_builtin("ImageHorizon", [](const BuiltinCall& c) {
        return Value::of_number(
            static_cast<double>(join_object_name(c.ctx, value_text(c.args[0])).size()));
    }));
    EXPECT_FALSE(register_builtin("NoSuchFunction", nullptr));
    EvalContext ctx;
    ctx.object_prefix = "scene";
    std::string compact = "ImageHorizon(\"bg\")";
    EXPECT_DOUBLE_EQ(evaluate_text(compact, &ctx).number, 8); // "scene/bg"
    // An alias keeps its '@' (the scene resolves it) and takes no prefix: "@bg".
    EXPECT_DOUBLE_EQ(evaluate_text("ImageHorizon(\"@bg\")", &ctx).number, 3);
    register_builtin("ImageHorizon", nullptr);
}

} // namespace

namespace {

// Random statements made of the bytes the grammar cares about: whatever they hold, the
// evaluator must stop inside the text and keep every text within its field.
TEST_F(Expressions, RandomStatementsNeverReadPastTheirText) {
    const std::string alphabet = "$#$#()[]+-*/%=!<>&|,\"\\ 01239.aTRUEFALSEString(Substr(Strlen("
                                 "Array(Count(VariableValue(\xb0\xa1\xa1\xa1;{}%d%s%n%*";
    std::uint32_t seed = 12345;
    auto next = [&seed] {
        seed = seed * 1664525u + 1013904223u;
        return seed >> 8;
    };
    for (int i = 0; i < 3000; i++) {
        std::string text;
        std::size_t length = 1 + next() % 120;
        for (std::size_t k = 0; k < length; k++) text += alphabet[next() % alphabet.size()];
        // A heap copy of exactly the statement's bytes: a read past it is caught by ASan.
        std::vector<char> exact(text.begin(), text.end());
        const char* end = exact.data() + exact.size();
        const char* p = exact.data();
        while (p < end) {
            const char* before = p;
            Value v;
            p = run_expression_statement(p, end, nullptr, &v);
            EXPECT_LE(v.text.size(), 1023u);
            if (p == before) p++; // a '{' is left for the caller
        }
        EXPECT_EQ(p, end);
        std::string compact;
        collect_statement(exact.data(), end, compact);
        evaluate_text(compact);
        const char* q = exact.data();
        while (q < end)
            if (!skip_comment(q, end)) q++;
        find_block_end(exact.data(), end);
    }
}

} // namespace

namespace {

TEST_F(Expressions, PrefixOperatorsBeforeNothingChangeNothing) {
    for (const char* text : {"$a=++", "$a=--", "$a=++5", "$a=-", "$a=!", "++", "$a=--(1)"}) {
        std::vector<char> exact(text, text + std::strlen(text));
        Value v;
        const char* end = exact.data() + exact.size();
        EXPECT_EQ(run_expression_statement(exact.data(), end, nullptr, &v), end) << text;
        EXPECT_LE(var_used_count(false), 1) << text; // at most $a
        SetUp();
    }
}

} // namespace
