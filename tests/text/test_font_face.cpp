// The FreeType/fontconfig face: sizing, 65-level coverage, blank glyphs, quarter turns,
// face names in the game's code pages and the fallback for faces that are not installed.
#include "platform/encoding.h"
#include "platform/font_face.h"
#include "text_test_support.h"

#include <algorithm>

using namespace kestrune;
using namespace kestrune::platform;
using kestrune::text::testing::k_wqy_face;
using kestrune::text::testing::k_wqy_file;

namespace {

class FontFaceTest : public text::testing::TextTest {
protected:
    std::shared_ptr<FontFace> wqy(std::int32_t height, std::int32_t weight = 400,
                                  bool italic = false) {
        FontRequest r;
        r.height = height;
        r.weight = weight;
        r.italic = italic;
        return FontFace::open_file(k_wqy_file, 0, r);
    }
};

// Coverage must stay inside the 65 levels and fill the whole black box contract.
void expect_valid_outline(const GlyphOutline& g) {
    EXPECT_GT(g.black_box_x, 0);
    EXPECT_GT(g.black_box_y, 0);
    EXPECT_EQ(g.pitch % 4, 0);
    EXPECT_GE(g.pitch, g.black_box_x);
    EXPECT_LT(g.pitch, g.black_box_x + 4);
    if (g.coverage.empty()) return;
    EXPECT_EQ(g.coverage.size(), std::size_t(g.pitch) * std::size_t(g.black_box_y));
    EXPECT_LE(*std::max_element(g.coverage.begin(), g.coverage.end()), 64);
}

TEST_F(FontFaceTest, CellHeightIsTheRequestedHeight) {
    for (std::int32_t h : {12, 16, 24, 40, 96}) {
        auto face = wqy(h);
        ASSERT_TRUE(face);
        const FaceMetrics& m = face->metrics();
        EXPECT_EQ(m.height, h);
        EXPECT_EQ(m.ascent + m.descent, h);
        EXPECT_GT(m.ascent, h / 2);
        EXPECT_GT(m.descent, 0);
    }
}

TEST_F(FontFaceTest, CjkGlyphHasFullLevelsAndSensibleBox) {
    auto face = wqy(32);
    ASSERT_TRUE(face);
    GlyphOutline g;
    ASSERT_TRUE(face->glyph(U'中', GlyphTurn::upright, g));
    expect_valid_outline(g);
    EXPECT_EQ(*std::max_element(g.coverage.begin(), g.coverage.end()), 64);
    // A full-width character advances by the em: the cell (Windows ascent 986 plus
    // descent 304 font units) is 32 pixels, the em 1024 units of 1290.
    EXPECT_NEAR(g.cell_inc_x, 32.0 * 1024 / 1290, 1.0);
    EXPECT_EQ(g.cell_inc_y, 0);
    EXPECT_LE(g.origin_y, face->metrics().ascent);
    EXPECT_GE(g.origin_y - g.black_box_y, -face->metrics().descent - 1);
    EXPECT_GE(g.origin_x, 0);
    EXPECT_LE(g.origin_x + g.black_box_x, g.cell_inc_x + 1);
    // The vertical stroke of 中 runs through the middle: some middle column is solid in
    // its top row and its bottom row.
    const int mid = g.black_box_x / 2;
    auto at = [&](int r, int c) { return g.coverage[std::size_t(r * g.pitch + c)]; };
    int top = 0, bottom = 0;
    for (int c = mid - 2; c <= mid + 2; ++c) {
        top = std::max<int>(top, at(0, c));
        bottom = std::max<int>(bottom, at(g.black_box_y - 1, c));
    }
    EXPECT_GE(top, 48);
    EXPECT_GE(bottom, 48);
}

TEST_F(FontFaceTest, SpaceIsBlankWithAnAdvance) {
    auto face = wqy(24);
    GlyphOutline g;
    ASSERT_TRUE(face->glyph(U' ', GlyphTurn::upright, g));
    EXPECT_EQ(g.black_box_x, 1);
    EXPECT_EQ(g.black_box_y, 1);
    EXPECT_TRUE(g.coverage.empty());
    EXPECT_GT(g.cell_inc_x, 0);
}

TEST_F(FontFaceTest, QuarterTurnSwapsTheBoxAndTurnsTheAdvance) {
    auto face = wqy(40);
    GlyphOutline up, turned;
    ASSERT_TRUE(face->glyph(U'!', GlyphTurn::upright, up));
    ASSERT_TRUE(face->glyph(U'!', GlyphTurn::quarter, turned));
    expect_valid_outline(turned);
    EXPECT_EQ(turned.black_box_x, up.black_box_y);
    EXPECT_EQ(turned.black_box_y, up.black_box_x);
    EXPECT_EQ(turned.cell_inc_x, 0);
    EXPECT_EQ(turned.cell_inc_y, up.cell_inc_x);
    // '!' upright is tall and thin with its dot at the bottom; turned anticlockwise it is
    // wide and flat with the dot on the right.
    EXPECT_GT(up.black_box_y, up.black_box_x);
    auto column_ink = [&](int c) {
        int sum = 0;
        for (int r = 0; r < turned.black_box_y; ++r)
            sum += turned.coverage[std::size_t(r * turned.pitch + c)];
        return sum;
    };
    int gap_col = -1;
    for (int c = turned.black_box_x - 1; c >= 0; --c)
        if (column_ink(c) == 0) {
            gap_col = c;
            break;
        }
    EXPECT_GT(gap_col, turned.black_box_x / 2) << "the dot should be the right-hand part";
}

TEST_F(FontFaceTest, VerticalTurnKeepsTheGlyphInTheCell) {
    auto face = wqy(32);
    GlyphOutline g;
    ASSERT_TRUE(face->glyph(U'中', GlyphTurn::vertical, g));
    expect_valid_outline(g);
    EXPECT_EQ(g.cell_inc_x, 32);
    EXPECT_GE(g.origin_x, 0);
    EXPECT_LE(g.origin_x + g.black_box_x, 32);
    EXPECT_LE(g.origin_y, face->metrics().ascent);
}

TEST_F(FontFaceTest, BoldAndItalicAreSynthesised) {
    GlyphOutline normal, bold, italic;
    ASSERT_TRUE(wqy(32)->glyph(U'l', GlyphTurn::upright, normal));
    ASSERT_TRUE(wqy(32, 700)->glyph(U'l', GlyphTurn::upright, bold));
    ASSERT_TRUE(wqy(32, 400, true)->glyph(U'l', GlyphTurn::upright, italic));
    EXPECT_GT(bold.black_box_x, normal.black_box_x);
    EXPECT_GE(bold.cell_inc_x, normal.cell_inc_x);
    EXPECT_GT(italic.black_box_x, normal.black_box_x);
}

TEST_F(FontFaceTest, FaceNamesInTheGameCodePagesAreFound) {
    const std::string names[] = {
        k_wqy_face,
        utf8_to_gbk("文泉驿正黑"),  // a script's GBK bytes
        utf8_to_sjis("文泉驛正黑"), // the settings file's Shift-JIS bytes
        std::string("@") + k_wqy_face,
    };
    for (const std::string& name : names) {
        FontRequest r;
        r.name = name;
        r.height = 20;
        ::testing::internal::CaptureStderr();
        auto face = FontFace::open(r);
        const std::string err = ::testing::internal::GetCapturedStderr();
        ASSERT_TRUE(face) << name;
        EXPECT_FALSE(face->substituted()) << name;
        EXPECT_EQ(face->file(), k_wqy_file);
        EXPECT_EQ(err, "") << name;
        EXPECT_EQ(face->vertical(), name.front() == '@');
    }
}

TEST_F(FontFaceTest, UnknownFaceFallsBackToCjkAndSaysSoOnce) {
    FontRequest r;
    r.name = "Kestrune No Such Face";
    r.height = 20;
    ::testing::internal::CaptureStderr();
    auto first = FontFace::open(r);
    auto second = FontFace::open(r);
    const std::string err = ::testing::internal::GetCapturedStderr();
    ASSERT_TRUE(first);
    ASSERT_TRUE(second);
    EXPECT_TRUE(first->substituted());
    EXPECT_EQ(first->family(), k_wqy_face);
    EXPECT_NE(err.find("Kestrune No Such Face"), std::string::npos) << err;
    EXPECT_EQ(err.find("Kestrune No Such Face"), err.rfind("Kestrune No Such Face")) << err;
    // A stand-in is sized by its em, as the CJK faces that games name are: a full-width
    // character is as wide as the requested height.
    EXPECT_EQ(first->metrics().height, 20);
    GlyphOutline g;
    ASSERT_TRUE(first->glyph(U'あ', GlyphTurn::upright, g));
    EXPECT_FALSE(g.coverage.empty());
    EXPECT_EQ(g.cell_inc_x, 20);
}

TEST_F(FontFaceTest, CharactersMissingFromALatinFaceComeFromTheCjkFace) {
    FontRequest r;
    r.name = "DejaVu Sans";
    r.height = 24;
    auto face = FontFace::open(r);
    if (!face || face->substituted()) GTEST_SKIP() << "DejaVu Sans is not installed";
    GlyphOutline linked, direct;
    ASSERT_TRUE(face->glyph(U'中', GlyphTurn::upright, linked));
    r.name = k_wqy_face;
    ASSERT_TRUE(FontFace::open(r)->glyph(U'中', GlyphTurn::upright, direct));
    EXPECT_FALSE(linked.coverage.empty());
    EXPECT_EQ(linked.coverage, direct.coverage);
    EXPECT_EQ(linked.cell_inc_x, direct.cell_inc_x);
}

TEST(CoverageLevel, RoundsToTheNearestOf65Levels) {
    EXPECT_EQ(coverage_level(0), 0);
    EXPECT_EQ(coverage_level(1), 0);
    EXPECT_EQ(coverage_level(2), 1);
    EXPECT_EQ(coverage_level(128), 32);
    EXPECT_EQ(coverage_level(254), 64);
    EXPECT_EQ(coverage_level(255), 64);
}

} // namespace
