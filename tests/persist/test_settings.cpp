// The settings file's byte search, with its deliberate quirks.
#include "persist/settings.h"

#include "platform/encoding.h"

#include <gtest/gtest.h>

using namespace kestrune;
using namespace kestrune::persist;

namespace {

// Builds a settings file: UTF-8 section names become Shift-JIS, lines end in CR LF.
std::string ini(std::initializer_list<std::string> lines, const char* eol = "\r\n") {
    std::string out;
    for (const auto& l : lines) {
        if (!l.empty() && l[0] == '[')
            out += platform::utf8_to_sjis(l);
        else
            out += l;
        out += eol;
    }
    return out;
}

} // namespace

TEST(SettingsSearch, ValueRules) {
    const std::string face_gbk = platform::utf8_to_gbk("ＭＳ Ｐゴシック");
    struct Case {
        std::string file;
        const char* section;
        const char* key;
        bool found;
        std::string value;
    };
    const std::vector<Case> cases = {
        {ini({"[フォント]", "face=Sans"}), "フォント", "face", true, "Sans"},
        // Blanks after "=" are skipped; one inner space is kept; two blanks end the value.
        {ini({"[フォント]", "face= \t" + face_gbk + "  ;comment"}), "フォント", "face", true,
         face_gbk},
        // Nothing after "=": the next line is the value.
        {ini({"[テキスト]", "bad_start=", "xyz"}), "テキスト", "bad_start", true, "xyz"},
        // An empty value at the end counts as missing.
        {ini({"[テキスト]", "bad_end="}), "テキスト", "bad_end", false, ""},
        // A key in a comment line is not seen.
        {ini({"[テキスト]", ";bad_end=1", "bad_end=2"}), "テキスト", "bad_end", true, "2"},
        // The section ends at CR LF "[": a key of the next section is not found.
        {ini({"[フォント]", "size=3", "[テキスト]", "face=x"}), "フォント", "face", false, ""},
        // Bare LF line ends (a file saved by a Linux editor) end values and sections too.
        {ini({"[フォント]", "size=3", "[テキスト]", "face=x"}, "\n"), "フォント", "face", false,
         ""},
        {ini({"[スクリプト]", "start=main.txt", "close=end.txt"}, "\n"), "スクリプト", "start",
         true, "main.txt"},
        {ini({"[テキスト]", "bad_start=", "xyz"}, "\n"), "テキスト", "bad_start", true, "xyz"},
        // "=" missing before the line end.
        {ini({"[フォント]", "face", "x=1"}), "フォント", "face", false, ""},
        // No such section.
        {ini({"[フォント]", "face=x"}), "サウンド", "face", false, ""},
        // Trailing spaces at the end of the file are dropped.
        {ini({"[フォント]"}) + "face=a b ", "フォント", "face", true, "a b"},
    };
    for (const Case& c : cases) {
        std::string out;
        EXPECT_EQ(read_text_value(c.file, c.section, c.key, 256, out), c.found) << c.file;
        EXPECT_EQ(out, c.value) << c.file;
    }
}

TEST(SettingsSearch, KeyMatchesWhereverItsBytesFirstOccur) {
    const std::string file = ini({"[フォント]", "xsize=9", "size=24"});
    std::int32_t n = 0;
    EXPECT_TRUE(read_int_value(file, "フォント", "size", n));
    EXPECT_EQ(n, 9);
}

TEST(SettingsSearch, TextMustBeShorterThanItsBuffer) {
    const std::string file = ini({"[セーブ]", "enable=TRUE"});
    std::string out;
    EXPECT_FALSE(read_text_value(file, "セーブ", "enable", 4, out));
    EXPECT_TRUE(read_text_value(file, "セーブ", "enable", 5, out));
}

TEST(Settings, ParsedDefaultsAndRules) {
    struct Case {
        std::string enable;
        bool saving;
    };
    for (const Case& c :
         {Case{"true", true}, Case{"TRUE", true}, Case{"TRUE1", false}, Case{"yes", false}}) {
        const Settings s = parse_settings(ini({"[セーブ]", "enable=" + c.enable}), nullptr, "");
        EXPECT_EQ(s.save_enabled, c.saving) << c.enable;
    }
    const Settings d = parse_settings("", nullptr, "");
    EXPECT_TRUE(d.save_enabled);
    EXPECT_EQ(d.font_size, 16);
    EXPECT_EQ(d.font_weight, 400);
    EXPECT_EQ(d.margin_row, 16);
    EXPECT_EQ(d.backlog_word_in_row, 32);
    EXPECT_EQ(d.save_folder, "./save");
    const Settings w = parse_settings(ini({"[バックログ]", "word_in_row=40"}), nullptr, "");
    EXPECT_EQ(w.backlog_word_in_row, 32);
}

TEST(Settings, ScriptNamesKeptOnlyWhenTheFileOpens) {
    const std::string file =
        ini({"[スクリプト]", "menu=menu.txt", "close=missing.txt", "start=first.txt"});
    const Settings s = parse_settings(
        file, [](const std::string& name) { return name == "menu.txt"; }, "");
    EXPECT_EQ(s.script_menu, "menu.txt");
    EXPECT_EQ(s.script_close, "");
    EXPECT_EQ(s.script_start, "first.txt");
}

TEST(Settings, SaveFolderFromProductNames) {
    setenv("XDG_DATA_HOME", "/tmp/xdg", 1);
    EXPECT_EQ(choose_save_folder("Brand", "Game", "1.0", ""), "/tmp/xdg/Brand/Game/1.0");
    EXPECT_EQ(choose_save_folder("Brand", "", "1.0", ""), "./save");
    EXPECT_EQ(choose_save_folder("a/b", "..", "v", ""), "/tmp/xdg/a_b/_/v");
    EXPECT_EQ(choose_save_folder("Brand", "Game", "1.0", "/saves"), "/saves");
    const Settings s = parse_settings(
        ini({"[プロダクト]", "bland=Brand", "name=Game", "version=1.0"}), nullptr, "");
    EXPECT_EQ(s.save_folder, "/tmp/xdg/Brand/Game/1.0");
}
