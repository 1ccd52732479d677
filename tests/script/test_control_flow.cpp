// Control words run end to end: each case is a start script run on its own context thread;
// the variables it leaves behind show which way the cursor went.
#include "flow_fixture.h"

#include <cstring>
#include <map>
#include <mutex>
#include <vector>

namespace kestrune::script::testing {
namespace {

// Expected values are variable texts ("" for a variable never set): a number variable shows
// as its %d text. Counters start unset rather than at 0: assigning 0 to a new variable makes
// it a string, as the language has it.
struct FlowCase {
    const char* name;
    std::map<std::string, std::string> files; // start.txt and any other file
    std::vector<std::pair<std::string, std::string>> expect;
};
void PrintTo(const FlowCase& c, std::ostream* os) {
    *os << c.name;
}

std::string chapter(const std::string& body, const std::string& rest = "") {
    return "chapter main\n{\n" + body + "\n}\n" + rest;
}

const std::vector<FlowCase>& flow_cases() {
    static const std::vector<FlowCase> cases = {
        // if / else
        {"IfWithoutParenthesisIsIgnored", {{"start.txt", chapter("if\n$r = 7;")}}, {{"$r", "7"}}},
        {"FalseUnbracedIfSkipsToLineEnd",
         {{"start.txt", chapter("if (0) $a = 1; $b = 2;\n$c = 3;")}},
         {{"$a", ""}, {"$b", ""}, {"$c", "3"}}},
        // A brace further down (here a while body) is not the then-part of an unbraced if.
        {"FalseUnbracedIfIgnoresLaterBraces",
         {{"start.txt", chapter("if (0) $a = 1;\n$b = 2;\nwhile (0) { $w = 1; }\n$c = 3;")}},
         {{"$a", ""}, {"$b", "2"}, {"$w", ""}, {"$c", "3"}}},
        {"TrueUnbracedIfRunsItsStatement",
         {{"start.txt", chapter("$x = 0;\nif ($x == 0) $a = 5;\n$b = 1;")}},
         {{"$a", "5"}, {"$b", "1"}}},
        {"IfElseBraced",
         {{"start.txt", chapter("$x = 2;\nif ($x == 1) { $r = 1; } else { $r = 2; }\n"
                                "if ($x == 2) { $s = 1; } else { $s = 2; }")}},
         {{"$r", "2"}, {"$s", "1"}}},
        {"ElseIfChainRunsFirstTrueBranchOnly",
         {{"start.txt", chapter("$x = 2;\nif ($x == 1) {\n$r = 1;\n}\nelse if ($x == 2) {\n$r = "
                                "2;\n$n = $n + 1;\n}\nelse if ($x == 2) {\n$r = 3;\n}\nelse {\n$r "
                                "= 4;\n}\n$done = 1;")}},
         {{"$r", "2"}, {"$n", "1"}, {"$done", "1"}}},
        {"FalseIfSkipsNestedBracesToItsElse",
         {{"start.txt",
           chapter("if (0) { if (1) { $a = 1; } $b = 1; } else { $c = 1; }\n$d = 1;")}},
         {{"$a", ""}, {"$b", ""}, {"$c", "1"}, {"$d", "1"}}},
        {"UnbracedElseAfterTrueThen",
         {{"start.txt", chapter("if (1) $a = 1;\nelse $a = 2;\n$b = 3;")}},
         {{"$a", "1"}, {"$b", "3"}}},
        // while / break
        {"WhileCounts",
         {{"start.txt", chapter("$i = 1;\nwhile ($i < 6) {\n$s = $s + $i;\n$i = $i + 1;\n}")}},
         {{"$i", "6"}, {"$s", "15"}}},
        {"WhileFalseAtEntryRunsZeroTimes",
         {{"start.txt", chapter("while (0) { $k = 1; }\n$after = 1;")}},
         {{"$k", ""}, {"$after", "1"}}},
        // On entry the condition is evaluated, then run once more as a statement.
        {"WhileConditionRunsTwiceOnEntry",
         {{"start.txt", chapter("while ($n++ < 1) { $k = $k + 1; }")}},
         {{"$n", "3"}, {"$k", "1"}}},
        {"BreakLeavesLoop",
         {{"start.txt", chapter("while (1) {\n$i = $i + 1;\nif ($i == 3) { break; }\n}\n$a = 1;")}},
         {{"$i", "3"}, {"$a", "1"}}},
        {"BreakLeavesInnermostLoopOnly",
         {{"start.txt",
           chapter("while ($o < 3) {\n$o = $o + 1;\n$j = 1;\nwhile (1) {\n$t = $t + 1;\n"
                   "if ($j == 2) { break; }\n$j = $j + 1;\n}\n}")}},
         {{"$o", "3"}, {"$t", "6"}}},
        // blocks
        {"ReturnEndsBlock",
         {{"start.txt",
           chapter("call sub;\n$after = 1;", "cut sub\n{\n$x = 1;\nreturn;\n$x = 2;\n}\n")}},
         {{"$x", "1"}, {"$after", "1"}}},
        {"FunctionParameters",
         {{"start.txt", chapter("add(2, 3);\n$r1 = $sum;\nadd($sum, 10);\n$r2 = $sum;\n"
                                "greet(\"bob\");",
                                "function add($a, $b)\n{\n$sum = $a + $b;\n}\n"
                                "function greet($who)\n{\n$msg = \"hi \" + $who;\n}\n")}},
         {{"$r1", "5"}, {"$r2", "15"}, {"$msg", "hi bob"}}},
        // A quoted argument ends at its closing quote: the next one is an argument of its own.
        {"QuotedArgumentsAreSeparate",
         {{"start.txt",
           chapter("$got = \"[\";\npair(\"a, b\", \"c\");\npair(\"d\", e);",
                   "function pair($x, $y)\n{\n$got = $got + $x + \"|\" + $y + \";\";\n}\n")}},
         {{"$got", "[a, b|c;d|e;"}}},
        {"RunningFunctionIsNotCalledAgain",
         {{"start.txt", chapter("f();\n$back = 1;",
                                "function f()\n{\n$d = $d + 1;\nif ($d < 5) { f(); }\n}\n")}},
         {{"$d", "1"}, {"$back", "1"}}},
        {"CallSceneOfOtherFileDefaultsToMain",
         {{"start.txt", chapter("call_scene other.txt;\n$back = 1;")},
          {"other.txt", "scene Main\n{\n$v = 5;\n}\n"}},
         {{"$v", "5"}, {"$back", "1"}}},
        {"CallSceneSameFile",
         {{"start.txt", chapter("call_scene \"@->s2\";\n$back = 1;", "scene s2\n{\n$v = 6;\n}\n")}},
         {{"$v", "6"}, {"$back", "1"}}},
        {"ShiftSceneReplacesCurrentBlock",
         {{"start.txt", chapter("call_scene @->a;\n$back = 1;",
                                "scene a\n{\n$x = 1;\nshift_scene @->b;\n$x = 99;\n}\n"
                                "scene b\n{\n$y = 2;\n}\n")}},
         {{"$x", "1"}, {"$y", "2"}, {"$back", "1"}}},
        {"ShiftCutReplacesCurrentBlock",
         {{"start.txt", chapter("call c1;\n$back = 1;",
                                "cut c1\n{\nshift_cut c2;\n$x = 99;\n}\ncut c2\n{\n$y = 3;\n}\n")}},
         {{"$x", ""}, {"$y", "3"}, {"$back", "1"}}},
        {"EscapeTwoLeavesFunctionAndScene",
         {{"start.txt", chapter("call_scene @->s;\n$m = 1;",
                                "scene s\n{\nf();\n$s_after = 1;\n}\n"
                                "function f()\n{\nEscape(2);\n$f_after = 1;\n}\n")}},
         {{"$m", "1"}, {"$s_after", ""}, {"$f_after", ""}}},
        // More levels than the chain has: the chain's end stops it, nothing breaks.
        {"EscapeBeyondChainStopsAtItsEnd",
         {{"start.txt", chapter("f();\n$m = 1;", "function f()\n{\nEscape(5);\n$f_after = "
                                                 "1;\n}\n")}},
         {{"$m", ""}, {"$f_after", ""}}},
        {"EscapeWithoutNumberDoesNothing",
         {{"start.txt", chapter("f();\n$m = 1;", "function f()\n{\nEscape(x);\n$f_after = "
                                                 "1;\n}\n")}},
         {{"$m", "1"}, {"$f_after", "1"}}},
        {"CallChapterOtherFileAndBack",
         {{"start.txt", chapter("call_chapter ch2.txt;\n$back = 1;\ncall_chapter "
                                "ch2.txt->second;\n$back2 = 1;")},
          {"ch2.txt", "chapter main\n{\n$c = 1;\n}\nchapter second\n{\n$c2 = 1;\n}\n"}},
         {{"$c", "1"}, {"$back", "1"}, {"$c2", "1"}, {"$back2", "1"}}},
        {"CallChapterAtCallsChapterOfSameContext",
         {{"start.txt", chapter("call_chapter @->c2;\n$back = 1;", "chapter c2\n{\n$c = 4;\n}\n")}},
         {{"$c", "4"}, {"$back", "1"}}},
        {"OperandFromVariable",
         {{"start.txt",
           chapter("$t = \"s\";\ncall_cut $t;\n$back = 1;", "cut s\n{\n$v = 8;\n}\n")}},
         {{"$v", "8"}, {"$back", "1"}}},
        {"MissingTargetChangesNothing",
         {{"start.txt", chapter("call_scene @->nothere;\ncall nothere;\n$back = 1;")}},
         {{"$back", "1"}}},
        {"WaitAndDebugmessageDoNothing",
         {{"start.txt", chapter("wait 100;\ndebugmessage \"x\";\n$a = 1;")}},
         {{"$a", "1"}}},
        {"NestedBlockIsSkipped",
         {{"start.txt", chapter("$a = 1;\nscene inner\n{\n$a = 2;\n}\n$b = 3;\ncall_scene "
                                "@->inner;\n$c = $a;")}},
         {{"$b", "3"}, {"$c", "2"}}},
        {"TextSectionIsSkippedAndPublished",
         {{"start.txt",
           chapter(
               "$a = 1;\n<PRE sec1>\n[lab1]\nhello; $a = 99;\n[lab2]\nsecond\n</PRE>\n$b = 2;")}},
         {{"$a", "1"},
          {"$b", "2"},
          {"$SYSTEM_present_preprocess", "sec1"},
          {"$SYSTEM_present_text", "@lab1"}}},
        {"CommentsAreSkipped",
         {{"start.txt",
           chapter("// $a = 1;\n/* $b = 1; /* nested */ $b = 2; */\n$d = 1;\n.$c = 1;")}},
         {{"$a", ""}, {"$b", ""}, {"$c", ""}, {"$d", "1"}}},
    };
    return cases;
}

class ControlFlowCases : public FlowTest, public ::testing::WithParamInterface<FlowCase> {};

TEST_P(ControlFlowCases, Run) {
    const FlowCase& c = GetParam();
    for (const auto& [name, text] : c.files) write(name, text);
    ASSERT_TRUE(run());
    for (const auto& [name, value] : c.expect) EXPECT_EQ(text(name), value) << name;
}

INSTANTIATE_TEST_SUITE_P(Words, ControlFlowCases, ::testing::ValuesIn(flow_cases()),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- select and case with a stand-in for the choices --------------------------------------

const char* g_chosen = nullptr;
bool chosen_stub(ScriptBlock&, const char* path) {
    return g_chosen && std::strcmp(path, g_chosen) == 0;
}

using SelectFlow = FlowTest;

TEST_F(SelectFlow, TakenCaseRunsAndSelectEnds) {
    g_chosen = "opt2";
    ChoiceHooks hooks;
    hooks.chosen = chosen_stub;
    set_choice_hooks(hooks);
    write("start.txt", chapter("select {\ncase opt1: { $r = 1; }\ncase opt2: { $r = 2; }\ncase "
                               "opt3: { $r = 3; }\n}\n$after = 1;"));
    ASSERT_TRUE(run());
    EXPECT_EQ(num("$r"), 2);
    EXPECT_EQ(num("$after"), 1);
}

// break inside a case inside a while leaves the innermost of the two by position: the select.
TEST_F(SelectFlow, BreakInCaseLeavesSelectNotLoop) {
    g_chosen = "opt2";
    ChoiceHooks hooks;
    hooks.chosen = chosen_stub;
    set_choice_hooks(hooks);
    write("start.txt", chapter("while ($n < 3) {\n$n = $n + 1;\nselect {\ncase opt2: "
                               "{ $hit = $hit + 1; break; $never = 1; }\n}\n$after = $after + "
                               "1;\n}"));
    ASSERT_TRUE(run());
    EXPECT_EQ(num("$n"), 3);
    EXPECT_EQ(num("$hit"), 3);
    EXPECT_EQ(num("$after"), 3);
    EXPECT_EQ(num("$never"), 0);
}

// A select with nothing chosen waits; the quit flag ends the wait and the thread.
TEST_F(SelectFlow, WaitingSelectEndsOnQuit) {
    write("start.txt", chapter("$in = 1;\nselect {\ncase a: { $r = 1; }\n}\n$after = 1;"));
    std::string error;
    ASSERT_TRUE(start_main_script("start.txt", error)) << error;
    engine::set_state(engine::k_state_running);
    const platform::Tick t0 = platform::tick_ms();
    while (num("$in") != 1 && platform::tick_diff(platform::tick_ms(), t0) < 5000)
        platform::sleep_ms(2);
    platform::sleep_ms(50);
    EXPECT_TRUE(any_script_thread_alive());
    engine::request_quit();
    stop_all_processes();
    EXPECT_FALSE(any_script_thread_alive());
    EXPECT_EQ(num("$after"), 0);
}

// ---- group objects of called blocks --------------------------------------------------------

std::mutex g_paths_mutex;
std::vector<std::string> g_groups;
std::vector<std::string> g_deleted;
bool group_stub(ScriptContext&, ScriptBlock&, const char* path) {
    std::lock_guard guard(g_paths_mutex);
    g_groups.push_back(path);
    return std::strcmp(path, "refuse") != 0;
}
void delete_stub(std::int32_t, const char* prefix) {
    std::lock_guard guard(g_paths_mutex);
    g_deleted.push_back(prefix);
}

using BlockObjects = FlowTest;

TEST_F(BlockObjects, CalledScenesAndCutsGetPrefixedGroups) {
    g_groups.clear();
    g_deleted.clear();
    SceneHooks hooks;
    hooks.create_group = group_stub;
    hooks.delete_objects = delete_stub;
    set_scene_hooks(hooks);
    write("start.txt",
          chapter("call_scene @->s;", "scene s\n{\ncall_cut c;\ncall plain;\n}\n"
                                      "cut c\n{\n$c = 1;\n}\ncut plain\n{\n$p = 1;\n}\n"));
    ASSERT_TRUE(run());
    EXPECT_EQ(g_groups, (std::vector<std::string>{"s", "s/c"}));
    // The cut with a group of its own deletes it at its end; `call` owns nothing.
    EXPECT_EQ(g_deleted, (std::vector<std::string>{"s/c"}));
    EXPECT_EQ(num("$p"), 1);
}

TEST_F(BlockObjects, RefusedGroupEndsTheProgram) {
    SceneHooks hooks;
    hooks.create_group = group_stub;
    set_scene_hooks(hooks);
    write("start.txt", chapter("call_scene @->refuse;\n$after = 1;", "scene refuse\n{\n}\n"));
    ASSERT_TRUE(run());
    EXPECT_TRUE(engine::quit_requested());
    EXPECT_EQ(num("$after"), 0);
}

// ---- files of called scenes -----------------------------------------------------------------

using FileLifetime = FlowTest;

TEST_F(FileLifetime, SceneFileIsUnloadedWhenItsSceneEnds) {
    write("start.txt", chapter("call_scene other.txt->s;\n$back = 1;"));
    write("other.txt", "scene s\n{\n$v = 1;\n}\n");
    ASSERT_TRUE(run());
    EXPECT_EQ(num("$back"), 1);
    std::vector<ScriptContext*> set = contexts_of_set(0);
    ASSERT_EQ(set.size(), 1u);
    EXPECT_NE(set[0]->files[0].text, nullptr);
    EXPECT_EQ(set[0]->files[1].text, nullptr);
    EXPECT_EQ(find_block(*set[0], "s", k_kind_scene, -1), nullptr);
}

// A chapter that calls a cut of its own file keeps its text: it is waiting on the cut.
TEST_F(FileLifetime, ChapterKeepsItsFileAfterCallingItsOwnCut) {
    write("start.txt",
          chapter("call_cut c;\n$a = 1;\ncall_cut c;\n$b = 1;", "cut c\n{\n$n = $n + 1;\n}\n"));
    ASSERT_TRUE(run());
    EXPECT_EQ(num("$n"), 2);
    EXPECT_EQ(num("$a"), 1);
    EXPECT_EQ(num("$b"), 1);
    std::vector<ScriptContext*> set = contexts_of_set(0);
    ASSERT_EQ(set.size(), 1u);
    EXPECT_NE(set[0]->files[0].text, nullptr);
}

TEST_F(FileLifetime, IncludedFileStaysLoaded) {
    write("start.txt", "#include lib.txt\n" + chapter("call_scene lib.txt->s;\n$back = 1;"));
    write("lib.txt", "scene s\n{\n$v = 1;\n}\n");
    ASSERT_TRUE(run());
    EXPECT_EQ(num("$v"), 1);
    std::vector<ScriptContext*> set = contexts_of_set(0);
    ASSERT_EQ(set.size(), 1u);
    EXPECT_NE(set[0]->files[1].text, nullptr);
    EXPECT_TRUE(set[0]->files[1].included);
}

// ---- start failures -------------------------------------------------------------------------

using StartScript = FlowTest;

TEST_F(StartScript, MissingMainOrFileFails) {
    std::string error;
    write("start.txt", "scene other\n{\n}\n");
    EXPECT_FALSE(start_main_script("start.txt", error));
    EXPECT_NE(error.find("main"), std::string::npos) << error;
    EXPECT_FALSE(start_main_script("absent.txt", error));
    EXPECT_NE(error.find("absent.txt"), std::string::npos) << error;
    write("bad.txt", "chapter main\n{\n/* never closed\n}\n");
    EXPECT_FALSE(start_main_script("bad.txt", error));
    EXPECT_NE(error.find("bad.txt:3:"), std::string::npos) << error;
    EXPECT_FALSE(any_script_thread_alive());
}

TEST_F(StartScript, SceneMainStarts) {
    write("start.txt", "scene main\n{\n$a = 1;\n}\n");
    ASSERT_TRUE(run());
    EXPECT_EQ(num("$a"), 1);
}

} // namespace
} // namespace kestrune::script::testing
