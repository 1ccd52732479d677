// Pre-scan of script files: blocks, parameters, begin markers, skip regions, text sections,
// #include, the read-text map, and the refusal of broken files without a crash.
#include "flow_fixture.h"
#include "script/read_text.h"

#include <cstring>

namespace kestrune::script::testing {
namespace {

class Prescan : public FlowTest {
protected:
    int load(const std::string& name, const std::string& text) {
        write(name, text);
        return load_into_context(m_ctx, name, false, &m_problems);
    }
    ScriptBlock* block(const char* name, std::int32_t kinds = 0) {
        return find_block(m_ctx, name, kinds, -1);
    }
    int count_blocks(int slot) {
        int n = 0;
        for (auto& b : m_ctx.blocks) n += b->file_slot == slot;
        return n;
    }
    ScriptContext m_ctx;
    std::vector<ScriptProblem> m_problems;
};

TEST_F(Prescan, FindsBlocksParametersAndBeginMarkers) {
    ASSERT_EQ(load("a.txt",
                   "chapter main\n{\n$x = 1;\nbegin:\n$a = 1;\nscene inner { $b = 2; }\n}\n"
                   "scene sc\n{\nbegin:x\n}\ncut ct {}\n"
                   "function fn($a, \"b\" , c /* note */)\n{\n}\n"
                   "$t = \"scene fake {}\";\n// cut fake2 {}\nchapterx y {}\n"),
              0);
    ScriptBlock* main = block("main");
    ASSERT_NE(main, nullptr);
    EXPECT_EQ(main->kind, k_kind_chapter);
    EXPECT_EQ(std::string(main->begin, 4), "\n$a ");
    ASSERT_EQ(main->skip_count, 1);
    EXPECT_EQ(std::string(main->skip_starts[0], 11), "scene inner");
    EXPECT_EQ(main->skip_ends[0][-1], '}');
    ASSERT_NE(block("inner"), nullptr);
    EXPECT_EQ(block("inner")->kind, k_kind_scene);
    // `begin:` directly followed by a letter is no marker.
    ASSERT_NE(block("sc"), nullptr);
    EXPECT_EQ(block("sc")->begin, block("sc")->start);
    ASSERT_NE(block("ct"), nullptr);
    EXPECT_EQ(block("ct")->kind, k_kind_cut);
    EXPECT_EQ(block("ct")->end + 1, block("ct")->start); // empty body
    ScriptBlock* fn = block("fn");
    ASSERT_NE(fn, nullptr);
    EXPECT_EQ(fn->kind, k_kind_function);
    ASSERT_EQ(fn->param_count, 3);
    EXPECT_STREQ(fn->param_names[0], "$a");
    EXPECT_STREQ(fn->param_names[1], "b");
    EXPECT_STREQ(fn->param_names[2], "c");
    EXPECT_EQ(fn->param_kinds[0], 2);
    EXPECT_EQ(fn->param_kinds[1], 1);
    // Quoted and commented keywords, and words that only begin like one, are no blocks.
    EXPECT_EQ(block("fake"), nullptr);
    EXPECT_EQ(block("fake2"), nullptr);
    EXPECT_EQ(block("y"), nullptr);
    EXPECT_EQ(count_blocks(0), 5);
    EXPECT_TRUE(m_problems.empty());
}

TEST_F(Prescan, ChapterCountsOnlyInTheFirstFile) {
    write("lib.txt", "chapter libchap\n{\n}\nscene libscene\n{\n}\n");
    ASSERT_EQ(load("a.txt", "#include \"lib.txt\"\nchapter main\n{\n}\n"), 0);
    EXPECT_NE(block("main", k_kind_chapter), nullptr);
    EXPECT_EQ(block("libchap"), nullptr);
    ASSERT_NE(block("libscene"), nullptr);
    EXPECT_EQ(block("libscene")->file_slot, 1);
    EXPECT_TRUE(m_ctx.files[1].included);
}

TEST_F(Prescan, IncludeCyclesEndAndMissingIncludesAreReported) {
    write("b.txt", "#include a.txt\nscene sb\n{\n}\n");
    ASSERT_EQ(load("a.txt", "#include b.txt\nchapter main\n{\n}\n#include missing.txt\n"), 0);
    EXPECT_NE(block("sb"), nullptr);
    EXPECT_NE(block("main"), nullptr);
    ASSERT_EQ(m_problems.size(), 1u);
    EXPECT_EQ(m_problems[0].file, "a.txt");
    EXPECT_EQ(m_problems[0].line, 5);
    EXPECT_NE(m_problems[0].message.find("missing.txt"), std::string::npos);
}

TEST_F(Prescan, TextSectionsEntriesAndGroups) {
    const std::string text = "chapter main\n{\n<PRE sec>\n[one]\nHello there.\n[two]  Line "
                             "{ $g = 1; }\n{ $g = 2; }\nafter\n</pre>\n$z = 1;\n}\n";
    ASSERT_EQ(load("a.txt", text), 0);
    ScriptBlock* main = block("main");
    ASSERT_NE(main, nullptr);
    ASSERT_EQ(main->skip_count, 1);
    EXPECT_EQ(std::string(main->skip_starts[0], 4), "<PRE");
    EXPECT_EQ(std::string(main->skip_ends[0] - 6, 6), "</pre>");
    ASSERT_EQ(main->sections.size(), 1u);
    EXPECT_STREQ(main->sections[0].name, "sec");
    EXPECT_STREQ(main->sections[0].first_label, "one");
    ASSERT_EQ(main->text_entries.size(), 2u);
    const TextEntry& one = main->text_entries[0];
    EXPECT_STREQ(one.label, "one");
    EXPECT_EQ(std::string(one.first, one.last + 1), "Hello there.\n");
    const TextEntry& two = main->text_entries[1];
    EXPECT_STREQ(two.label, "two");
    EXPECT_EQ(std::string(two.first, 4), "Line");
    // The two brace blocks separated only by a line end form one anonymous group.
    ScriptBlock* group = nullptr;
    for (auto& b : m_ctx.blocks)
        if (b->kind == k_kind_group) group = b.get();
    ASSERT_NE(group, nullptr);
    EXPECT_EQ(std::string(group->start, group->end + 1), " $g = 1; }\n{ $g = 2; ");
    EXPECT_EQ(std::to_string(group->number), group->name);
    // The white space the section scan marked is given back once the scan is over.
    EXPECT_EQ(std::string(m_ctx.files[0].data(), m_ctx.files[0].size), text);
}

struct BrokenCase {
    const char* name;
    const char* text;
    int line;
    const char* message;
};

TEST_F(Prescan, BrokenFilesAreRefusedWithFileAndLine) {
    const BrokenCase cases[] = {
        {"UnclosedComment", "chapter main\n{\n/* open\n}\n", 3, "comment"},
        {"UnmatchedBrace", "scene a\n{\n$x = 1;\n{\n}\n", 2, "never closed"},
        {"NoBrace", "\nscene a\n", 2, "no '{'"},
        {"UnclosedSection", "chapter main\n{\n<PRE s>\n[a] x\n}\n", 3, "</PRE>"},
        {"UnclosedParameterList", "function f($a, $b\n", 1, "')'"},
        // The stray '}' closes the chapter, so that the group is the one left open.
        {"UnclosedGroup", "chapter main\n{\n<PRE s>\n[a] {\n</PRE>\n}\n}\n", 4, "never closed"},
    };
    for (const BrokenCase& c : cases) {
        m_problems.clear();
        const std::string file = std::string(c.name) + ".txt";
        EXPECT_EQ(load(file, c.text), -1) << c.name;
        ASSERT_FALSE(m_problems.empty()) << c.name;
        EXPECT_TRUE(m_problems.back().fatal) << c.name;
        EXPECT_EQ(m_problems.back().line, c.line) << c.name;
        EXPECT_NE(m_problems.back().message.find(c.message), std::string::npos)
            << c.name << ": " << m_problems.back().message;
        EXPECT_EQ(m_problems.back().text().rfind(file + ":" + std::to_string(c.line) + ": ", 0), 0u)
            << m_problems.back().text();
    }
    EXPECT_TRUE(m_ctx.blocks.empty());
    for (const ScriptFile& f : m_ctx.files) EXPECT_EQ(f.text, nullptr);
}

TEST_F(Prescan, OverlongFieldsAreCutOrRefused) {
    const std::string long_name(300, 'n');
    const std::string long_param = "$" + std::string(80, 'p');
    std::string params;
    for (int i = 0; i < 17; ++i) params += (i ? ", $p" : "$p") + std::to_string(i);
    ASSERT_EQ(load("a.txt", "scene " + long_name + "\n{\n}\nfunction f(" + long_param +
                                ")\n{\n}\nfunction g(" + params + ")\n{\n}\n"),
              0);
    ScriptBlock* cut_name = block(long_name.substr(0, 255).c_str());
    ASSERT_NE(cut_name, nullptr);
    EXPECT_EQ(std::strlen(block("f")->param_names[0]), 63u);
    EXPECT_EQ(block("g")->param_count, 16);
    EXPECT_STREQ(block("g")->param_names[15], "$p15");
    EXPECT_EQ(m_problems.size(), 3u);
    for (const ScriptProblem& p : m_problems) EXPECT_FALSE(p.fatal) << p.text();

    // 512 skip regions fit in a block; the 513th refuses the file.
    std::string inner;
    for (int i = 0; i < 513; ++i) inner += "cut c" + std::to_string(i) + " {}\n";
    m_problems.clear();
    EXPECT_EQ(load("many.txt", "scene big\n{\n" + inner + "}\n"), -1);
    ASSERT_FALSE(m_problems.empty());
    EXPECT_NE(m_problems.back().message.find("512"), std::string::npos);
}

TEST_F(Prescan, CheckListsEveryProblem) {
    write("a.txt", "scene " + std::string(300, 'x') + "\n{\n}\n#include gone.txt\ncut c\n{\n");
    const std::vector<ScriptProblem> problems = check_script_file("a.txt");
    ASSERT_EQ(problems.size(), 2u);
    EXPECT_FALSE(problems[0].fatal);
    EXPECT_EQ(problems[1].line, 6);
    EXPECT_TRUE(problems[1].fatal);
    EXPECT_TRUE(check_script_file("absent.txt").front().message.find("absent.txt") !=
                std::string::npos);
}

// Line ends start unread, except those that end a comment; running the script marks the
// line ends it passes.
TEST_F(Prescan, ReadTextMapStartsUnreadAndRunningMarksIt) {
    clear_read_text_map();
    write("start.txt", "chapter main\n{\n$a = 1;\n// note\n$b = 2;\n}\n");
    std::vector<ScriptProblem> problems;
    ScriptContext probe;
    ASSERT_EQ(load_into_context(probe, "start.txt", false, &problems), 0);
    ReadTextNode* node = probe.files[0].read_map;
    ASSERT_NE(node, nullptr);
    const std::string text(probe.files[0].data(), probe.files[0].size);
    const std::size_t after_a = text.find("$a = 1;") + 7;
    const std::size_t after_note = text.find("// note") + 7;
    EXPECT_FALSE(read_text_is_read(node, after_a));
    EXPECT_TRUE(read_text_is_read(node, after_note));
    EXPECT_TRUE(read_text_is_read(node, text.find("$a")));
    ASSERT_TRUE(run());
    EXPECT_EQ(read_text_find("start.txt"), node);
    EXPECT_TRUE(read_text_is_read(node, after_a));
}

} // namespace
} // namespace kestrune::script::testing

namespace kestrune::script::testing {
namespace {

// Conquest asks the read-text map about a block and marks it.
TEST_F(Prescan, ConquestQueriesAndMarksBlocks) {
    clear_read_text_map();
    write("start.txt",
          "chapter main\n{\n$before = Conquest(\"other.txt\", \"s\");\n"
          "$mark = Conquest(\"other.txt\", \"s\", TRUE);\n$after = Conquest(\"other.txt\", "
          "\"s\");\n$null = Conquest(\"other.txt\", NULL);\n$gone = Conquest(\"nofile.txt\", "
          "\"s\");\n}\n");
    write("other.txt", "scene s\n{\n$a = 1;\n$b = 2;\n}\n");
    ASSERT_TRUE(run());
    EXPECT_EQ(text("$before"), "0"); // a 0 assigned to a new variable makes a string
    EXPECT_EQ(text("$after"), "1");
    EXPECT_EQ(text("$null"), "1");
    EXPECT_EQ(text("$gone"), "0");
}

} // namespace
} // namespace kestrune::script::testing

namespace kestrune::script::testing {
namespace {

// Skip mode passes through lines already read and stops at the first new one.
TEST_F(Prescan, SkipModeEndsAtFirstUnreadLine) {
    clear_read_text_map();
    write("start.txt", "chapter main\n{\n$a = 1;\n$b = 2;\n}\n");
    engine::set_skip_mode(true);
    ASSERT_TRUE(run());
    EXPECT_FALSE(engine::skip_mode());
    // Everything is read now: a second run keeps skip mode on.
    stop_all_processes();
    engine::set_skip_mode(true);
    ASSERT_TRUE(run());
    EXPECT_TRUE(engine::skip_mode());
    engine::set_skip_mode(false);
}

} // namespace
} // namespace kestrune::script::testing

#include <random>

namespace kestrune::script::testing {
namespace {

// Damaged scripts (bytes dropped, doubled or replaced by the characters the scanner cares
// about, double-byte lead bytes at the end) are refused or loaded, never read past.
TEST_F(Prescan, DamagedScriptsNeverCrashThePrescan) {
    const std::string base =
        "#include \"lib.txt\"\nchapter main\n{\nbegin:\n$a = \"x{\";\n/* c /* d */ */\n"
        "scene s\n{\n<PRE p>\n[l] text {\n$g = 1;\n}\n{ $h = 2; }\n</PRE>\n}\n}\n"
        "function f($a, \"b\")\n{\nwhile ($a) { break; }\n}\ncut c\n{\n// x\n}\n";
    write("lib.txt", "scene lib\n{\n}\n");
    const char specials[] = "{}()\"/*<>[]\\\n\r\t ;:#$\xA1\x81";
    std::mt19937 gen(1234);
    for (int round = 0; round < 400; ++round) {
        std::string text = base;
        const int edits = 1 + static_cast<int>(gen() % 6);
        for (int e = 0; e < edits && !text.empty(); ++e) {
            const std::size_t at = gen() % text.size();
            switch (gen() % 3) {
            case 0:
                text.erase(at, 1 + gen() % 8);
                break;
            case 1:
                text.insert(at, text.substr(at, 1 + gen() % 12));
                break;
            default:
                text[at] = specials[gen() % (sizeof specials - 1)];
                break;
            }
        }
        if (round % 7 == 0) text.push_back('\x81'); // a lead byte with no trail byte
        write("fuzz.txt", text);
        for (const ScriptProblem& p : check_script_file("fuzz.txt")) {
            EXPECT_FALSE(p.message.empty());
            EXPECT_GE(p.line, 0);
        }
    }
}

} // namespace
} // namespace kestrune::script::testing
