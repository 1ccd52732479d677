// Variable store: slot order, sub-names, Count, Delete by prefix, key lookups, save
// blocks, full tables, fixed-size fields and concurrent use; plus the scanner's stops at
// the end of the text.
#include "script/expressions.h"
#include "script/scanner.h"
#include "script/system_variables.h"
#include "script/variables.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

using namespace kestrune::script;

namespace {

class Variables : public ::testing::Test {
protected:
    void SetUp() override {
        var_clear_locals();
        var_clear_globals();
        reset_system_settings_for_tests();
    }
};

int slot_of(const char* name) {
    return var_find(name)->slot;
}

TEST_F(Variables, NamesWithoutPrefixAreNoVariables) {
    EXPECT_FALSE(var_set_number("abc", 1));
    EXPECT_FALSE(var_find_or_create("a/b"));
    EXPECT_FALSE(var_find(""));
    EXPECT_EQ(var_used_count(false) + var_used_count(true), 0);
}

TEST_F(Variables, SubNameMakesItsRootFirstAndTakesItsType) {
    var_find_or_create("$r/0"); // root created before the element
    EXPECT_TRUE(var_exists("$r"));
    EXPECT_LT(slot_of("$r"), slot_of("$r/0"));
    var_set_text("$s", "text");
    EXPECT_EQ(var_find_or_create("$s/key")->type, VarType::string);
    // Reading an element makes it exist; reading a plain name does not.
    EXPECT_TRUE(var_find("$s/new"));
    EXPECT_FALSE(var_find("$plain"));
}

TEST_F(Variables, FreedSlotsAreReusedInSlotOrder) {
    for (const char* n : {"$a", "$b", "$c"}) var_set_number(n, 1);
    int b = slot_of("$b");
    var_delete("$b");
    var_set_number("$d", 2);
    EXPECT_EQ(slot_of("$d"), b);
    // A name that exists is found even when a free slot comes before it.
    var_delete("$a");
    var_set_number("$c", 5);
    EXPECT_EQ(var_used_count(false), 2);
    EXPECT_DOUBLE_EQ(var_number("$c"), 5);
}

TEST_F(Variables, CountSeesDirectElementsThatHoldSomething) {
    var_set_number("$a/0", 1);
    var_set_text("$a/1", "x");
    var_find_or_create("$a/2");     // untyped and empty: not counted
    var_set_number("$a/3/deep", 1); // not a direct element
    var_set_number("$ab/0", 1);     // another array
    var_set_number("$a/4", 0);      // a number type counts even at 0
    EXPECT_EQ(var_count("$a"), 3);
    EXPECT_EQ(var_count("$a/3"), 1);
    EXPECT_EQ(var_count("$none"), 0);
}

TEST_F(Variables, DeleteIsAPlainPrefixTest) {
    for (const char* n : {"$a", "$ab", "$a/0", "$a/1/x", "$b", "#a"}) var_set_number(n, 1);
    EXPECT_EQ(var_delete("$a"), 4);
    EXPECT_TRUE(var_exists("$b"));
    EXPECT_TRUE(var_exists("#a"));
    EXPECT_EQ(var_count("$a"), 0);
}

TEST_F(Variables, KeyLookupFindsTheFirstElementOfThatArray) {
    var_set_number("$ab/0", 1);
    var_set_key("$ab/0", "k");
    var_set_number("$a/0", 2);
    var_set_number("$a/1", 3);
    var_set_key("$a/1", "k");
    var_set_key("$a/0", "k");
    EXPECT_EQ(var_find_by_key("$a", "k"), "$a/0");
    EXPECT_EQ(var_find_by_key("$ab", "k"), "$ab/0");
    EXPECT_FALSE(var_find_by_key("$a", "missing"));
    std::string name;
    EXPECT_TRUE(normalise_variable_name("$a[\"k\"]", name));
    EXPECT_EQ(name, "$a/0");
    EXPECT_TRUE(normalise_variable_name("$a[12]", name));
    EXPECT_EQ(name, "$a/12");
    EXPECT_FALSE(normalise_variable_name("$a[\"none\"]", name));
}

TEST_F(Variables, FixedFieldsAreCutNeverWrittenPast) {
    std::string long_name = "$" + std::string(1000, 'n');
    var_set_text(long_name, std::string(5000, 't'));
    var_set_key(long_name, std::string(500, 'k'));
    std::optional<VarRecord> r = var_find(long_name);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->name.size(), 127u);
    EXPECT_EQ(r->text.size(), 1023u);
    EXPECT_EQ(r->key.size(), 127u);
    // A double-byte pair is not split by the cut.
    std::string pairs;
    for (int i = 0; i < 600; i++) pairs += "\xb0\xa1";
    var_set_text("$p", pairs);
    EXPECT_EQ(var_text("$p").size(), 1022u);
}

TEST_F(Variables, SaveBlocksRoundTripInSlotOrder) {
    var_set_number("$n", 2.5);
    var_set_text("$s", "hello");
    var_set_key("$s", "key");
    var_find_or_create("$u");
    var_delete("$n"); // leaves a gap before $s, which the next new name takes
    var_set_text("$" + std::string(200, 'x'), std::string(2000, 'y'));
    std::vector<std::uint8_t> block = var_serialise(false);
    ASSERT_EQ(block.size(), 16u + 3 * 1024);
    EXPECT_EQ(std::memcmp(block.data(), "VKSL", 4), 0);

    var_clear_locals();
    var_set_number("$other", 1);
    ASSERT_TRUE(var_restore(false, block));
    EXPECT_FALSE(var_exists("$other"));
    EXPECT_EQ(var_text("$s"), "hello");
    EXPECT_EQ(var_find_by_key("$s", "key"), std::nullopt); // key belongs to $s, not an element
    EXPECT_EQ(var_find("$s")->key, "key");
    EXPECT_EQ(var_find("$s")->slot, 1); // consecutive slots from the first, in slot order
    EXPECT_EQ(var_find("$u")->type, VarType::untyped);
    std::optional<VarRecord> big = var_find("$" + std::string(126, 'x'));
    ASSERT_TRUE(big);
    EXPECT_EQ(big->slot, 0);
    EXPECT_GT(big->text.size(), 500u); // cut to fit the 1024-byte record, not lost
}

TEST_F(Variables, MalformedBlocksAreRefusedAndTheTableKept) {
    var_set_number("$keep", 1);
    std::vector<std::uint8_t> block = var_serialise(false);
    std::vector<std::uint8_t> wrong_magic = block;
    wrong_magic[3] = 'G';
    std::vector<std::uint8_t> truncated(block.begin(), block.end() - 1);
    std::vector<std::uint8_t> huge_count = block;
    huge_count[12] = 0xFF;
    huge_count[13] = 0xFF;
    for (const auto& b : {wrong_magic, truncated, huge_count, std::vector<std::uint8_t>(8)})
        EXPECT_FALSE(var_restore(false, b, "test.vkf"));
    EXPECT_TRUE(var_exists("$keep"));
    // A record whose strings run to the end of the record is read within it.
    std::vector<std::uint8_t> full = block;
    std::memset(full.data() + 16 + 1, 'x', 1023);
    full[17] = '$';
    EXPECT_TRUE(var_restore(false, full));
}

TEST_F(Variables, RestoringGlobalsAppliesSystemSettings) {
    var_set_number("#SYSTEM_play_speed", 7, false);
    var_set_number("#SYSTEM_sound_volume_se", 300, false);
    std::vector<std::uint8_t> block = var_serialise(true);
    EXPECT_EQ(play_speed_index(), 3);
    SystemVariableInfo info;
    info.save_path = "/tmp/save";
    info.common_globals = block;
    info.max_texture = 1024;
    info.video_memory = 1000;
    start_system_variables(info);
    EXPECT_EQ(play_speed_index(), 7);
    EXPECT_DOUBLE_EQ(setting_number("sound_volume_se"), 300);
    EXPECT_EQ(var_text("#SYSTEM_save_path"), "/tmp/save");
    EXPECT_EQ(var_text("#SYSTEM_version"), "1.00");
    EXPECT_DOUBLE_EQ(var_number("#SYSTEM_text_speed"), 500);
    EXPECT_DOUBLE_EQ(var_number("#SYSTEM_max_texture_size"), 512);
    EXPECT_DOUBLE_EQ(var_number("#SYSTEM_save_thumbnail_width"), 100);
}

TEST_F(Variables, SystemSettingTableHasSixtyNineNames) {
    EXPECT_EQ(system_setting_names().size(), 69u);
    EXPECT_TRUE(is_system_setting("kill_popupmenu"));
    EXPECT_FALSE(is_system_setting("information_os"));
    struct {
        const char* var;
        double value;
        const char* setting;
        double stored;
    } cases[] = {
        {"#SYSTEM_video_aspect_fixed", 7, "video_aspect_fixed", 0},
        {"#SYSTEM_low_thread_priority", 5, "low_thread_priority", 0},
        {"#SYSTEM_save_thumbnail_width", -1, "save_thumbnail_width", 100},
        {"#SYSTEM_sound_bgm", 9, "sound_bgm", 1},
        {"#SYSTEM_auto_wait_per_character", 12.7, "auto_wait_per_character", 12},
    };
    for (const auto& c : cases) {
        var_set_number(c.var, c.value);
        EXPECT_DOUBLE_EQ(setting_number(c.setting), c.stored) << c.var;
    }
    var_set_number("#SYSTEM_window_full_lock", 1);
    var_set_number("#SYSTEM_window_full", 1);
    EXPECT_DOUBLE_EQ(setting_number("window_full"), 0);
    EXPECT_DOUBLE_EQ(var_number("#SYSTEM_window_full"), 0);
    var_set_text("#SYSTEM_voice_enable_list", std::string(900, 'v'));
    EXPECT_EQ(setting_text("voice_enable_list").size(), 511u);
}

TEST_F(Variables, FullTableRefusesNewNames) {
    for (int i = 0; i < k_local_slots; i++)
        ASSERT_TRUE(var_set_number("$v" + std::to_string(i), i));
    EXPECT_FALSE(var_set_number("$one_more", 1));
    EXPECT_FALSE(var_find_or_create("$v0/elem")); // no room for the element
    Value v;
    std::string stmt = "$one_more=5";
    run_expression_statement(stmt.data(), stmt.data() + stmt.size(), nullptr, &v);
    EXPECT_FALSE(var_exists("$one_more"));
    EXPECT_DOUBLE_EQ(var_number("$v12287"), 12287);
}

TEST_F(Variables, ThreadsNeverShareASlotOrLoseAnIncrement) {
    constexpr int k_threads = 4;
    constexpr int k_each = 2000;
    std::vector<std::thread> threads;
    for (int t = 0; t < k_threads; t++) {
        threads.emplace_back([t] {
            std::string inc = "$shared++;";
            for (int i = 0; i < k_each; i++) {
                var_set_text("$t" + std::to_string(t) + "_" + std::to_string(i),
                             std::string(static_cast<std::size_t>(i % 1000), 'a' + t));
                run_expression_statement(inc.data(), inc.data() + inc.size(), nullptr);
            }
        });
    }
    for (std::thread& th : threads) th.join();
    EXPECT_DOUBLE_EQ(var_number("$shared"), k_threads * k_each);
    EXPECT_EQ(var_used_count(false), k_threads * k_each + 1);
    for (int t = 0; t < k_threads; t++) {
        std::string text = var_text("$t" + std::to_string(t) + "_999");
        EXPECT_EQ(text, std::string(999, static_cast<char>('a' + t)));
    }
}

// ---- scanner ----

TEST(Scanner, EveryScanStopsAtTheEndOfTheText) {
    struct {
        std::string text;
        bool skipped;
        std::size_t stop;
    } cases[] = {
        {"/* never closed", true, 15},
        {"/* a /* b */ c */x", true, 17},
        {"// to end", true, 9},
        {"// line\r\nnext", true, 9},
        {"\n.comment line\nx", true, 14},
        {"\r\n\r\n", true, 2},
        {"x", false, 0},
        {"/", false, 0},
        {"/*", true, 2},
        {"/* x */\r\ny", true, 9},
    };
    for (const auto& c : cases) {
        const char* p = c.text.data();
        bool skipped = skip_comment(p, c.text.data() + c.text.size());
        EXPECT_EQ(skipped, c.skipped) << c.text;
        EXPECT_EQ(static_cast<std::size_t>(p - c.text.data()), c.stop) << c.text;
    }
}

TEST(Scanner, BlockMatchingIgnoresQuotesAndComments) {
    struct {
        std::string text;
        long end; // index of the matching brace, -1 for none
    } cases[] = {
        {"x { a { b } c }", 14}, {"{ \"}\" }", 6}, {"{ \"\\\"}\" }", 8}, {"{ // }\n }", 8},
        {"{ /* } */ }", 10},     {"} {}", -1},     {"{ {", -1},          {"", -1},
    };
    for (const auto& c : cases) {
        const char* e = find_block_end(c.text.data(), c.text.data() + c.text.size());
        EXPECT_EQ(e ? e - c.text.data() : -1, c.end) << c.text;
    }
}

TEST(Scanner, WhiteSpaceAndCharacters) {
    std::string s = " \t\xa1\xa1\r\nx";
    EXPECT_EQ(skip_space(s.data(), s.data() + s.size()) - s.data(), 6);
    EXPECT_EQ(skip_blanks(s.data(), s.data() + s.size()) - s.data(), 4);
    std::string lone = "\xa1";
    EXPECT_EQ(space_width(lone.data(), lone.data() + 1), 0);
    EXPECT_EQ(char_width(lone.data(), lone.data() + 1), 1); // a lead byte at the very end
    EXPECT_TRUE(is_number_text("-12+3"));
    EXPECT_FALSE(is_number_text("1.5"));
    EXPECT_FALSE(is_number_text(""));
    int b = -1;
    EXPECT_TRUE(is_bool_word("tRuE", b));
    EXPECT_EQ(b, 1);
    EXPECT_EQ(to_upper("ab\xb0\x61z"), "AB\xb0\x61Z"); // a trail byte is not a letter
}

} // namespace

namespace {

TEST_F(Variables, GalleryFlagsNameTheGlobalAfterTheImage) {
    note_gallery_image("cg/bg01.PNG");
    note_gallery_image("cg\\ev_a.jpg");
    note_gallery_image("img");
    note_gallery_image("cg/chara01.png");
    note_gallery_image("cg/BG02.png"); // the prefixes are lower case
    EXPECT_DOUBLE_EQ(var_number("#bg01"), 1);
    EXPECT_DOUBLE_EQ(var_number("#ev_a"), 1);
    EXPECT_DOUBLE_EQ(var_number("#img"), 1);
    EXPECT_FALSE(var_exists("#chara01"));
    EXPECT_FALSE(var_exists("#BG02"));
}

} // namespace
