// The backlog store: row wrapping with the line-start and line-end rules, control bytes,
// the full buffer, and the checks on a saved backlog.
#include "text/backlog.h"
#include "text/layout.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

using namespace kestrune::text;

namespace {

class BacklogStoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        TextSettings s;
        s.bad_start = ".";
        s.bad_end = "(";
        set_text_settings(s);
        set_backlog_width(4);
        backlog_clear();
    }
    void TearDown() override {
        reset_text_settings();
        set_backlog_width(k_backlog_max_width);
        backlog_clear();
    }
};

std::vector<std::uint16_t> units(const char* text) {
    std::vector<std::uint16_t> v;
    for (const char* p = text; *p; ++p) v.push_back(static_cast<unsigned char>(*p));
    return v;
}

void add_text(const char* text) {
    for (const char* p = text; *p; ++p) backlog_add(static_cast<unsigned char>(*p), nullptr);
}

} // namespace

TEST_F(BacklogStoreTest, WrapsRowsByTheLineStartAndLineEndRules) {
    const struct {
        const char* text;
        const char* stored; // \x09 rule break, \x0a line end, \x0d full row
        std::int32_t rows;
    } cases[] = {
        // "." may not begin a row: it stays on the full row, and the line end after the
        // rule break makes no empty row.
        {"abcd.", "abcd.\x0a", 1},
        // "(" may not end a row: it begins the next one and counts in its column.
        {"abc(de", "abc\x09(de\x0a", 2},
        // A line end right after a full row makes no empty row.
        {"abcd", "abcd\x0a", 1},
        {"abcdef",
         "abcd\x0d"
         "ef\x0a",
         2},
    };
    for (const auto& c : cases) {
        backlog_clear();
        EXPECT_TRUE(backlog_set(c.text, "NULL", ""));
        EXPECT_EQ(backlog_units(), units(c.stored)) << c.text;
        EXPECT_EQ(backlog_row_count(), c.rows) << c.text;
    }
}

TEST_F(BacklogStoreTest, MovedLineEndCharacterCountsInItsNewRow) {
    add_text("abc(de");
    EXPECT_EQ(backlog_column(), 3);
}

// Tab, 16 and 17 inside text would break rows or look like voice markers.
TEST_F(BacklogStoreTest, ControlBytesBecomeSpaces) {
    EXPECT_TRUE(backlog_set("a\tb\x10\x11", "NULL", ""));
    EXPECT_EQ(backlog_units(), units("a b \x0d \x0a"));
    EXPECT_EQ(backlog_row_count(), 2);
}

TEST_F(BacklogStoreTest, VoiceMarkerCountsNoColumn) {
    EXPECT_TRUE(backlog_set("ab", "v.wav", "Aki"));
    EXPECT_EQ(backlog_units(), units("\x10\x11"
                                     "Aki\x11v.wav\x10"
                                     "ab\x0a"));
    EXPECT_EQ(backlog_row_count(), 1);
}

TEST_F(BacklogStoreTest, FullBufferRefusesAdditions) {
    set_backlog_width(32);
    std::size_t stored = 0;
    while (backlog_add('x', nullptr)) ++stored;
    EXPECT_LE(backlog_units().size(), k_backlog_units);
    EXPECT_GT(stored, k_backlog_units * 9 / 10);
    EXPECT_FALSE(backlog_set("more", "NULL", ""));
}

TEST_F(BacklogStoreTest, SavedBacklogIsCheckedOrLoadedEmpty) {
    add_text("abcdef");
    const std::vector<std::uint8_t> good = backlog_save();
    ASSERT_EQ(good.size(), 20 + 2 * backlog_units().size());
    const std::vector<std::uint16_t> before = backlog_units();
    backlog_clear();
    EXPECT_TRUE(backlog_restore(good));
    EXPECT_EQ(backlog_units(), before);
    EXPECT_EQ(backlog_column(), 2);

    auto with = [&](std::size_t at, std::uint32_t value) {
        std::vector<std::uint8_t> b = good;
        std::memcpy(b.data() + at, &value, 4);
        return b;
    };
    const struct {
        const char* what;
        std::vector<std::uint8_t> blob;
    } bad[] = {
        {"short", std::vector<std::uint8_t>(good.begin(), good.begin() + 12)},
        {"magic", with(0, 0x42534B58)},
        {"tag", with(4, 0)},
        {"size below the header", with(8, 18)},
        {"size beyond the file", with(8, static_cast<std::uint32_t>(good.size() + 2))},
        {"odd size", with(8, static_cast<std::uint32_t>(good.size() - 1))},
        {"column beyond the row", with(12, 4)},
        {"negative column", with(12, 0xFFFFFFFF)},
    };
    for (const auto& c : bad) {
        add_text("zz");
        EXPECT_FALSE(backlog_restore(c.blob)) << c.what;
        EXPECT_TRUE(backlog_units().empty()) << c.what;
    }

    backlog_clear();
    const std::vector<std::uint8_t> empty = backlog_save();
    EXPECT_EQ(empty.size(), 20u);
    EXPECT_TRUE(backlog_restore(empty));
    EXPECT_TRUE(backlog_units().empty());
}
