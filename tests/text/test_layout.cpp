// Text layout: characters and tags, per-character instructions, line breaking of CreateText
// and LoadText, forbidden line starts, ruby, VALUE and measuring, all read back from the
// character table (glyph positions, codes and instruction arrays).
#include "layout_test_support.h"
#include "script/variables.h"
#include "text/glyph_cache.h"

#include <algorithm>

using namespace kestrune;
using namespace kestrune::text;

namespace {

class Layout : public text::testing::LayoutTest {};

struct CharCase {
    const char* name;
    const char* text; // UTF-8, converted to GBK
    const char* shown;
    std::vector<std::pair<int, int>> waits; // slot, extra wait in ms
};

// What is shown and which slot pauses, for the character rules and the simple tags.
TEST_F(Layout, CharacterRulesAndTagsTable) {
    script::var_set_number("$layout_n", 12.7, false);
    script::var_set_number("$layout_neg", -3.9, false);
    script::var_set_text("$layout_s", "x.y", false);
    script::var_set_text("$layout_nested", "<VALUE NAME=$layout_n>z", false);
    const std::vector<CharCase> cases = {
        {"a hidden period delays the next letter", "a.b", "ab", {{1, 100}}},
        {"a comma pauses longer", "a,b", "ab", {{1, 500}}},
        {"pauses add up", ".,<WAIT=50>a", "a", {{0, 650}}},
        {"ampersand shows the period", "a&.b", "a.b", {}},
        {"ampersand shows the comma", "a&,b", "a,b", {}},
        {"ampersand alone is shown", "a&b", "a&b", {}},
        {"backslash makes a period literal", "a\\.b", "a.b", {}},
        {"backslash makes a tag literal", "\\<K>", "<K>", {}},
        {"backslash after a literal is itself", "\\.\\x", ".\\x", {}},
        {"wait tag", "a<WAIT=250>b", "ab", {{1, 250}}},
        {"long waits add up to the longest there is",
         "a<WAIT=3000000000><WAIT=100>b",
         "ab",
         {{1, 2147483647}}},
        {"malformed wait shows as text", "a<WAIT=x1>b", "aWAIT=x1>b", {}},
        {"font tag without attributes is malformed", "<FONT>a", "FONT>a", {}},
        {"unterminated tag shows as text", "a<K", "aK", {}},
        {"unknown tags are skipped", "a<XYZ q=1>b<br>c", "abc", {}},
        {"PRE shows markup and pauses", "<PRE>a.<K></pre>b.c", "a.<K>bc", {{6, 100}}},
        {"full-width characters", "中.文", "中文", {{1, 100}}},
        {"number variable truncated", "<VALUE NAME=$layout_n>", "12", {}},
        {"negative number truncated toward zero", "<VALUE NAME=$layout_neg>", "-3", {}},
        {"missing variable shows 0", "<VALUE NAME=$layout_missing>", "0", {}},
        {"substituted text is laid out", "<VALUE NAME=$layout_s>", "xy", {{1, 100}}},
        {"one level of substitution", "<VALUE NAME=$layout_nested>", "z", {}},
    };
    for (const CharCase& c : cases) {
        SCOPED_TRACE(c.name);
        auto l = create(gbk(c.text), 800, 200);
        ASSERT_TRUE(l);
        EXPECT_EQ(shown(*l), codes_of(gbk(c.shown)));
        std::vector<std::pair<int, int>> waits;
        for (int i = 0; i < k_layout_slots; ++i)
            if (l->slots[std::size_t(i)].extra_wait)
                waits.push_back({i, l->slots[std::size_t(i)].extra_wait});
        EXPECT_EQ(waits, c.waits);
    }
    EXPECT_TRUE(script::var_exists("$layout_missing")); // VALUE made it
}

// The trail byte of a double-byte character may be a backslash or a period: it stays part
// of its character.
TEST_F(Layout, TrailBytesAreNotMarkup) {
    auto l = create(std::string("\x81\x5C\x81\x5C.a"), 800, 200);
    ASSERT_TRUE(l);
    EXPECT_EQ(shown(*l), (std::vector<std::uint32_t>{0x815C, 0x815C, 'a'}));
    EXPECT_EQ(l->slots[2].extra_wait, 100);
}

TEST_F(Layout, InstructionsLandOnTheNextCharacter) {
    auto l = create(
        "a<K>b<INTERVAL=40>c</INTERVAL>d<VOICE NAME=\"v 1\" CLASS=\"hero\" SRC=\"voice/a01\">"
        "<VOICE NAME=\"v2\" MODE=off>ef<I>g</I>");
    ASSERT_TRUE(l);
    ASSERT_EQ(l->slot_count, 7);
    EXPECT_EQ(l->slots[1].key_wait, 1);
    EXPECT_EQ(l->slots[1].icon_kind, 2);
    EXPECT_EQ(l->slots[2].interval, 40);
    EXPECT_EQ(l->slots[3].interval, 0);
    EXPECT_EQ(l->slots[0].interval, -1);
    ASSERT_TRUE(l->slots[4].voice);
    EXPECT_EQ(l->slots[4].voice->name, "v 1");
    EXPECT_EQ(l->slots[4].voice->class_name, "hero");
    EXPECT_EQ(l->slots[4].voice->src, "voice/a01");
    EXPECT_EQ(l->slots[4].voice->enabled, 1);
    // A second voice before the same character goes to the next one.
    ASSERT_TRUE(l->slots[5].voice);
    EXPECT_EQ(l->slots[5].voice->name, "v2");
    EXPECT_EQ(l->slots[5].voice->enabled, 0);
    EXPECT_FALSE(l->slots[6].voice);
    EXPECT_EQ(l->cursor, 0);
    EXPECT_TRUE(l->font.work.empty());
}

// Values longer than their fields are cut at the field's size, never written past.
TEST_F(Layout, LongAttributesAreCut) {
    const std::string long_name(300, 'n');
    const std::string face(200, 'F');
    std::string big(2000, 'q');
    script::var_set_text("$layout_big", big, false);
    auto l = create("<VOICE NAME=" + long_name + " CLASS=" + long_name +
                        " SRC=" + std::string(600, 's') + ">a<FONT FACE=" + face +
                        ">b<VALUE NAME=$" + std::string(400, 'v') + ">",
                    4000, 200);
    ASSERT_TRUE(l);
    ASSERT_TRUE(l->slots[0].voice);
    EXPECT_EQ(l->slots[0].voice->name.size(), 31u);
    EXPECT_EQ(l->slots[0].voice->class_name.size(), 31u);
    EXPECT_LE(l->slots[0].voice->src.size(), 259u);
    EXPECT_EQ(l->font.desc.face_name().size(), 31u);
    // A variable text is at most 1023 bytes: the substitution holds all of it and the table
    // stops at its 2048 slots at the latest.
    auto v = create("<VALUE NAME=$layout_big><VALUE NAME=$layout_big><VALUE NAME=$layout_big>",
                    1 << 14, 200);
    ASSERT_TRUE(v);
    EXPECT_EQ(v->slot_count, k_layout_slots);
}

TEST_F(Layout, TopMarginIsTheRubyHeight) {
    auto l = create("a");
    ASSERT_TRUE(l);
    EXPECT_EQ(l->slots[0].line_y, 10); // ruby_rate 0: 10 pixels
    TextSettings s;
    s.ruby_rate = 0.5;
    set_text_settings(s);
    l = create("a");
    ASSERT_TRUE(l);
    EXPECT_EQ(l->slots[0].line_y, 12); // half of 24
    EXPECT_EQ(l->slots[0].y, 12 + l->slots[0].metrics.y_offset);
}

// A closing mark that would overflow hangs past the edge once; a second one breaks, unless
// a line begun by an overflow came between them.
TEST_F(Layout, ForbiddenLineStartHangsOneCharacter) {
    const std::uint32_t zhong = code("中");
    const int a = metrics_of(zhong).advance;
    TextSettings s;
    s.bad_start = gbk("。、");
    s.bad_end = gbk("、「");
    set_text_settings(s);
    EXPECT_EQ(is_forbidden_at_line_start(code("。")), 1);
    EXPECT_EQ(is_forbidden_at_line_end(code("。")), 0);
    EXPECT_EQ(is_forbidden_at_line_start(code("中")), 0);
    struct Case {
        const char* text;
        std::vector<int> line; // line index of each slot
    };
    const std::vector<Case> cases = {
        {"中中中中", {0, 0, 0, 1}},
        {"中中中。", {0, 0, 0, 0}},
        {"中中中。。", {0, 0, 0, 0, 1}},
        {"中中中、", {0, 0, 0, 1}}, // in both lists: never hung
        {"中中中。中", {0, 0, 0, 0, 1}},
        // A line break does not clear the hang: the second mark starts a line.
        {"中中中。<BR>中中中。", {0, 0, 0, 0, 1, 1, 1, 2}},
        {"中中中。中中中。", {0, 0, 0, 0, 1, 1, 1, 1}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        auto l = create(gbk(c.text), 3 * a + 1, 400);
        ASSERT_TRUE(l);
        ASSERT_EQ(l->slot_count, int(c.line.size()));
        const int first = l->slots[0].line_y;
        for (std::size_t i = 0; i < c.line.size(); ++i) {
            const int line =
                (l->slots[i].line_y - first) / std::max(16, l->slots[0].metrics.line_height);
            EXPECT_EQ(line, c.line[i]) << "slot " << i;
        }
        EXPECT_EQ(l->slots[3].x - l->slots[3].metrics.origin_x, c.line[3] ? 0 : 3 * a);
    }
}

TEST_F(Layout, CreateTextBreaksAndCutsAtTheBottom) {
    const GlyphMetrics m = metrics_of('A');
    const int a = m.advance, lh = m.line_height;
    // Margins: a character fits when x + A + Lm < W - Lm.
    auto l = create("AAAAAA", 4 * a + 11, 400, 2, 16); // x + A + 2 < W - 2 for four
    ASSERT_TRUE(l);
    ASSERT_EQ(l->slot_count, 6);
    EXPECT_EQ(l->slots[3].line_y, 10);
    EXPECT_EQ(l->slots[4].line_y, 10 + lh); // the pitch is the tallest line height
    EXPECT_EQ(l->slots[1].x - l->slots[0].x, a + 2);
    EXPECT_EQ(l->right_limit, l->target->width - 2);
    // Two lines fit when the second's bottom stays above height - 2 * margin_row.
    const int h = 10 + 2 * lh + 2 * 16 + 1;
    l = create("A<BR>A<BR>A<BR>A", 400, h);
    ASSERT_TRUE(l);
    EXPECT_EQ(l->slot_count, 2);
    l = create("A<BR>A<BR>A<BR>A", 400, h - 1);
    ASSERT_TRUE(l);
    EXPECT_EQ(l->slot_count, 1);
    // A span replaces the gap after each character.
    l = create("<SPAN=7>AA</SPAN>AA");
    ASSERT_TRUE(l);
    EXPECT_EQ(l->slots[1].x - l->slots[0].x, a + 7);
    EXPECT_EQ(l->slots[3].x - l->slots[2].x, a);
}

TEST_F(Layout, FontTagChangesSizeAndColours) {
    auto l = create("A<FONT SIZE=40 INCOLOR=#FF0000 OUTCOLOR=RGB(0,0,255)>A</FONT>A");
    ASSERT_TRUE(l);
    ASSERT_EQ(l->slot_count, 3);
    EXPECT_EQ(l->slots[0].metrics.line_height, metrics_of('A').line_height);
    EXPECT_GT(l->slots[1].metrics.line_height, l->slots[0].metrics.line_height);
    EXPECT_EQ(l->slots[1].fill_colour, 0xFF0000u);
    EXPECT_EQ(l->slots[2].fill_colour, 0xFFFFFFu);
    EXPECT_EQ(l->slots[2].metrics.line_height, l->slots[0].metrics.line_height);
}

// "AUTO" sizes: an object of the measured size keeps every character.
TEST_F(Layout, MeasuredSizeHoldsTheText) {
    const std::vector<std::string> texts = {gbk("短"), gbk("中文テキストと<BR>二行目"),
                                            "<FONT SIZE=40>Big</FONT> small",
                                            gbk("一二三四五六七八九十一二三")};
    for (int margin_row : {0, 16, 40}) {
        TextSettings s;
        s.margin_row = margin_row;
        s.margin_line = 3;
        set_text_settings(s);
        for (const std::string& t : texts) {
            SCOPED_TRACE(t + " margin_row " + std::to_string(margin_row));
            // The whole text, in an object large enough for anything.
            auto all = create(t, 2000, 2000, 3, margin_row);
            ASSERT_TRUE(all);
            std::int32_t w = 0, h = 0;
            ASSERT_EQ(measure_text(t, w, h, 0, 0), 1);
            auto l = create(t, w, h, 3, margin_row);
            ASSERT_TRUE(l);
            EXPECT_EQ(l->slot_count, all->slot_count);
            ASSERT_EQ(measure_text(t, w, h, 120, 0), 1); // width given: lines break
            l = create(t, 120, h, 3, margin_row);
            ASSERT_TRUE(l);
            EXPECT_EQ(l->slot_count, all->slot_count);
        }
    }
    std::int32_t w = 0, h = 0;
    EXPECT_EQ(measure_text("", w, h, 0, 0), 0);
    EXPECT_EQ(measure_text(std::string(2048, 'a'), w, h, 0, 0), 0);
}

// ---- LoadText ---------------------------------------------------------------------------

TEST_F(Layout, LoadTextLineEndsAndPages) {
    auto l = load("ab\r\ncd\r\n\r\n\r\nef");
    ASSERT_TRUE(l);
    // a b CR LF c d CR LF | e f: the empty lines end the page without slots of their own.
    ASSERT_EQ(l->slot_count, 10);
    EXPECT_EQ(l->slots[2].metrics.code, '\r');
    EXPECT_FALSE(l->slots[2].image);
    EXPECT_EQ(l->slots[3].metrics.code, '\n');
    EXPECT_EQ(l->slots[4].line_start, 1);
    EXPECT_GT(l->slots[4].line_y, l->slots[0].line_y);
    const CharSlot& e = l->slots[8];
    EXPECT_EQ(e.metrics.code, 'e');
    EXPECT_EQ(e.key_wait, 1);
    EXPECT_EQ(e.icon_kind, 1);
    EXPECT_EQ(e.page_clear, 1);
    EXPECT_EQ(e.line_y, 10); // back at the top
    EXPECT_EQ(e.script_position, m_script.data() + m_script.find('e'));
    EXPECT_EQ(l->slots[2].script_position, m_script.data() + 2);
}

TEST_F(Layout, LoadTextWrapsToTheTop) {
    const int lh = metrics_of('A').line_height;
    // Three lines fit above the height; the fourth wraps to the top.
    auto l = load("A\nB\nC\nD", 400, 10 + 3 * lh);
    ASSERT_TRUE(l);
    std::vector<int> ys;
    for (int i = 0; i < l->slot_count; ++i)
        if (l->slots[std::size_t(i)].image) ys.push_back(l->slots[std::size_t(i)].line_y);
    EXPECT_EQ(ys, (std::vector<int>{10, 10 + lh, 10 + 2 * lh, 10}));
    // Characters past the width start a line, also marked for the backlog.
    const int a = metrics_of('A').advance;
    l = load("AAAA", 2 * a + 1, 400);
    ASSERT_TRUE(l);
    EXPECT_EQ(l->slots[2].line_y, 10 + lh);
    EXPECT_EQ(l->slots[2].line_start, 1);
    EXPECT_EQ(l->slots[2].x - l->slots[2].metrics.origin_x, 0);
}

TEST_F(Layout, LoadTextCommentsScriptsAndContinuation) {
    auto l = load("a// note\nb/* x /* y */ z */c\n.skipped line\nd{ $x = 1; }\r\ne<!\r\nf<?");
    ASSERT_TRUE(l);
    EXPECT_EQ(shown(*l), codes_of("abcdef"));
    int inline_slot = -1;
    for (int i = 0; i < l->slot_count; ++i)
        if (l->slots[std::size_t(i)].inline_script) inline_slot = i;
    ASSERT_GE(inline_slot, 0);
    EXPECT_EQ(l->slots[std::size_t(inline_slot)].inline_script,
              m_script.data() + m_script.find('{') + 1);
    // "<!" joins e and f on one line; "<?" at the end reports the pen.
    const CharSlot* e = nullptr;
    const CharSlot* f = nullptr;
    for (int i = 0; i < l->slot_count; ++i) {
        if (l->slots[std::size_t(i)].metrics.code == 'e') e = &l->slots[std::size_t(i)];
        if (l->slots[std::size_t(i)].metrics.code == 'f') f = &l->slots[std::size_t(i)];
    }
    ASSERT_TRUE(e && f);
    EXPECT_EQ(e->line_y, f->line_y);
    EXPECT_EQ(m_continue_y, f->line_y - 10);
    EXPECT_EQ(m_continue_x, f->x - f->metrics.origin_x + f->metrics.advance);
    // Without "<?" nothing is reported.
    l = load("ab");
    EXPECT_EQ(m_continue_x, 0);
    EXPECT_EQ(m_continue_y, 0);
}

TEST_F(Layout, LoadTextCentresLinesAndJoinsDashes) {
    const GlyphMetrics m = metrics_of('W');
    auto l = load("<CENTER>WW\nW", 400, 200, 2);
    ASSERT_TRUE(l);
    const CharSlot& last = l->slots[1];
    const int right_before = m.advance + 2 + m.origin_x + m.bitmap_width;
    const int shift = (400 - right_before) / 2 - 2;
    EXPECT_EQ(l->slots[0].x, m.origin_x + shift);
    EXPECT_EQ(last.x, m.advance + 2 + m.origin_x + shift);
    EXPECT_EQ(l->slots[3].x, m.origin_x + (400 - (m.origin_x + m.bitmap_width)) / 2 - 2);
    // Two dashes in a row: the first moves one pixel right.
    l = load(std::string("\x81\x5C\x81\x5C"));
    ASSERT_TRUE(l);
    const GlyphMetrics d = metrics_of(0x815C);
    EXPECT_EQ(l->slots[0].x, d.origin_x + 1);
}

// ---- ruby -------------------------------------------------------------------------------

TEST_F(Layout, RubyIsCentredOrSpread) {
    // As many ruby glyphs as base characters: each centred over its own.
    auto l = create(gbk("<RUBY=かん>漢字</RUBY>"), 400, 200);
    ASSERT_TRUE(l);
    ASSERT_EQ(l->slots[0].ruby_glyph_count, 2);
    EXPECT_EQ(l->slots[0].ruby_base_length, 2);
    auto pos = place_ruby(*l, 0, 400);
    ASSERT_EQ(pos.size(), 2u);
    for (int i = 0; i < 2; ++i) {
        const CharSlot& b = l->slots[std::size_t(i)];
        const RubySlot& r = l->ruby[std::size_t(l->slots[0].ruby_start + i)];
        EXPECT_EQ(pos[std::size_t(i)].x, b.x + b.image->width / 2 - r.image->width / 2);
        EXPECT_EQ(pos[std::size_t(i)].y, b.line_y + r.metrics.y_offset - 10);
    }
    // Two over four: spread evenly over the span of the base characters.
    l = create(gbk("あ<RUBY='かな'>漢字漢字</RUBY>"), 400, 200);
    ASSERT_TRUE(l);
    ASSERT_EQ(l->slots[1].ruby_glyph_count, 2);
    EXPECT_EQ(l->slots[1].ruby_base_length, 4);
    pos = place_ruby(*l, 1, 400);
    ASSERT_EQ(pos.size(), 2u);
    const int span = l->slots[4].x + l->slots[4].metrics.bitmap_width - l->slots[1].x;
    const int u = std::max(span / 3, 10);
    EXPECT_EQ(pos[1].x - pos[0].x, u);
    // Each ruby glyph's x is its centre less half its ink: the pair centres on the span.
    const RubySlot& r0 = l->ruby[std::size_t(l->slots[1].ruby_start)];
    const int mid = (pos[0].x + pos[1].x) / 2 + (r0.metrics.bitmap_width - r0.metrics.origin_x) / 2;
    EXPECT_NEAR(mid, l->slots[1].x + span / 2, 2);
    // Four over one: centred over the character, clamped inside the object.
    l = create(gbk("<RUBY=ふりがな>字</RUBY>"), 400, 200);
    ASSERT_TRUE(l);
    pos = place_ruby(*l, 0, 400);
    ASSERT_EQ(pos.size(), 4u);
    EXPECT_GE(pos[0].x, 0); // would start left of the object: pushed right
    l = create(gbk("一二三四五六七<RUBY=ふりがな>字</RUBY>"),
               7 * metrics_of(code("一")).advance + 30, 200);
    ASSERT_TRUE(l);
    const int width = l->target->width;
    pos = place_ruby(*l, 7, width);
    ASSERT_EQ(pos.size(), 4u);
    const int u4 = pos[1].x - pos[0].x;
    EXPECT_LT(pos[3].x, width);
    EXPECT_LE(pos[0].x + 4 * u4 - u4 / 2, width); // the last pitch ends inside the object
}

TEST_F(Layout, RubyEdgeCases) {
    // Over no base characters: ignored.
    auto l = create(gbk("<RUBY=かな></RUBY>字"));
    ASSERT_TRUE(l);
    EXPECT_EQ(l->slots[0].ruby_start, -1);
    EXPECT_EQ(l->ruby_used, 0);
    EXPECT_TRUE(place_ruby(*l, 0, 400).empty());
    // Tags inside the base are not counted as characters.
    l = create(gbk("<RUBY=かな><FONT INCOLOR=red>漢字</FONT></RUBY>"));
    ASSERT_TRUE(l);
    EXPECT_EQ(l->slots[0].ruby_base_length, 2);
    // The ruby table stops when full: the third ruby keeps what fits.
    const std::string r(1000, 'r');
    l = create("<RUBY=" + r + ">a</RUBY><RUBY=" + r + ">b</RUBY><RUBY=" + r + ">c</RUBY>d", 800,
               200);
    ASSERT_TRUE(l);
    EXPECT_EQ(l->ruby_used, k_ruby_slots);
    EXPECT_EQ(l->slots[2].ruby_glyph_count, k_ruby_slots - 2000);
    EXPECT_EQ(l->slots[2].ruby_start, 2000);
    EXPECT_EQ(l->slot_count, 4);
}

TEST_F(Layout, BaseIntervalAndSettings) {
    EXPECT_EQ(set_base_interval(-1), 0);
    EXPECT_EQ(set_base_interval(45), 1);
    EXPECT_EQ(base_interval(), 45);
    EXPECT_EQ(script::var_number("$SYSTEM_text_interval"), 45);
    EXPECT_EQ(ruby_height(24), 10);
}

} // namespace

namespace {

// LoadFont's preloaded glyphs are borrowed, and they land exactly where freshly rendered
// ones do.
TEST_F(Layout, WarmGlyphCacheKeepsPositions) {
    const std::string text = gbk("中文テキストと Latin, 改行。あいうえお漢字");
    auto cold = create(text, 200, 200);
    ASSERT_TRUE(cold);
    ASSERT_FALSE(
        load_font_glyphs(text::testing::k_wqy_face, 24, 0xFFFFFF, 0, 400, 0, text).empty());
    auto warm = create(text, 200, 200);
    ASSERT_TRUE(warm);
    ASSERT_EQ(warm->slot_count, cold->slot_count);
    for (int i = 0; i < cold->slot_count; ++i) {
        SCOPED_TRACE(i);
        const CharSlot &c = cold->slots[std::size_t(i)], &w = warm->slots[std::size_t(i)];
        EXPECT_TRUE(w.borrowed);
        EXPECT_EQ(w.x, c.x);
        EXPECT_EQ(w.y, c.y);
        EXPECT_EQ(w.line_y, c.line_y);
        EXPECT_EQ(w.metrics.advance, c.metrics.advance);
    }
}

} // namespace

namespace {

// A vertical face pairs "!!", "!?", "?!" and "??" into one code; a horizontal one does not.
TEST_F(Layout, VerticalFacePairsPunctuation) {
    auto l = create("A!?B!");
    ASSERT_TRUE(l);
    EXPECT_EQ(shown(*l), (std::vector<std::uint32_t>{'A', '!', '?', 'B', '!'}));
    set_default_font(std::string("@") + text::testing::k_wqy_face, 24, 0xFFFFFF, 0, 400, 0);
    l = create("A!?B?\?!");
    ASSERT_TRUE(l);
    EXPECT_EQ(l->vertical, 1);
    EXPECT_EQ(shown(*l), (std::vector<std::uint32_t>{'A', 0x21003F, 'B', 0x3F003F, '!'}));
}

// Characters of a VALUE substitution in script text stand at the tag's position, and a
// "{" inside the substitution is shown, not run.
TEST_F(Layout, LoadTextSubstitutionKeepsScriptPositions) {
    script::var_set_text("$layout_sub", "x{y}", false);
    auto l = load("a<VALUE NAME=$layout_sub>b");
    ASSERT_TRUE(l);
    EXPECT_EQ(shown(*l), codes_of("ax{y}b"));
    const char* tag = m_script.data() + 1;
    for (int i = 1; i <= 4; ++i) {
        EXPECT_EQ(l->slots[std::size_t(i)].script_position, tag);
        EXPECT_EQ(l->slots[std::size_t(i)].inline_script, nullptr);
    }
    EXPECT_EQ(l->slots[5].script_position, m_script.data() + m_script.size() - 1);
}

} // namespace
