// Glyph rasterising, measuring and metrics on TextFonts: alpha from coverage levels,
// spaces, large glyphs, paired punctuation, blank glyphs, outlines and font records.
#include "platform/encoding.h"
#include "text/glyphs.h"
#include "text_test_support.h"

#include <algorithm>
#include <cstring>
#include <set>

using namespace kestrune;
using namespace kestrune::text;
using kestrune::text::testing::k_wqy_face;

namespace {

class GlyphTest : public text::testing::TextTest {
protected:
    TextFont font_of(std::int32_t height, std::string_view face = k_wqy_face,
                     std::uint32_t directions = 0) {
        set_default_font(face, height, 0x336699, 0x000000, 400, directions);
        TextFont f;
        EXPECT_EQ(create_font_from_defaults(f), 1);
        return f;
    }
};

std::uint32_t gbk(const char* utf8) {
    std::string bytes = platform::utf8_to_gbk(utf8);
    return bytes.size() == 2 ? (std::uint32_t(std::uint8_t(bytes[0])) << 8) | std::uint8_t(bytes[1])
                             : std::uint8_t(bytes[0]);
}

// Bounding box of the drawn (alpha non-zero) pixels of an image.
struct Ink {
    int left = 1 << 30, top = 1 << 30, right = -1, bottom = -1, count = 0;
};
Ink ink_of(const PixelImage& img) {
    Ink ink;
    for (int y = 0; y < img.height; ++y)
        for (int x = 0; x < img.width; ++x)
            if (img.row32(y)[x] >> 24) {
                ink.left = std::min(ink.left, x);
                ink.top = std::min(ink.top, y);
                ink.right = std::max(ink.right, x);
                ink.bottom = std::max(ink.bottom, y);
                ++ink.count;
            }
    return ink;
}

TEST_F(GlyphTest, CharacterCodesMapThroughGbk) {
    EXPECT_EQ(gbk("中"), 0xD6D0u);
    EXPECT_EQ(code_to_unicode(0xD6D0), U'中');
    EXPECT_EQ(code_to_unicode(0xA4A2), U'あ'); // GBK carries the Japanese kana
    EXPECT_EQ(code_to_unicode('A'), U'A');
    EXPECT_EQ(code_to_unicode(0xFFFF), U'\uFFFD'); // no GBK character
}

// Level L becomes alpha 4L - 1 in the fill colour; level 0 leaves the pixel alone.
TEST_F(GlyphTest, CoverageLevelsBecomeAlphaOverUntouchedPixels) {
    TextFont f = font_of(32);
    const std::uint32_t sentinel = 0x12345678;
    PixelImage img;
    ASSERT_TRUE(img.allocate(64, 64));
    for (int y = 0; y < 64; ++y) std::fill_n(img.row32(y), 64, sentinel);
    GlyphMeasures m;
    ASSERT_EQ(rasterise_glyph(f, &m, img, gbk("中")), 1);
    std::set<std::uint32_t> alphas;
    int kept = 0;
    for (int y = 0; y < 64; ++y)
        for (int x = 0; x < 64; ++x) {
            const std::uint32_t p = img.row32(y)[x];
            if (p == sentinel) {
                ++kept;
                continue;
            }
            EXPECT_EQ(p & 0xFFFFFF, 0x336699u);
            alphas.insert(p >> 24);
            EXPECT_LT(x, m.black_box_x);
            EXPECT_LT(y, m.rows);
        }
    EXPECT_GT(kept, 0);
    EXPECT_TRUE(alphas.count(255)); // level 64
    for (std::uint32_t a : alphas) EXPECT_EQ((a + 1) % 4, 0u) << a;
    // The work buffer now holds the alphas the cache copies.
    EXPECT_EQ(*std::max_element(f.work.begin(), f.work.end()), 255);
    // The raw levels, for callers that blend coverage themselves, match the alphas drawn.
    platform::GlyphOutline levels;
    ASSERT_TRUE(glyph_coverage(f, gbk("中"), levels));
    for (int y = 0; y < m.rows; ++y)
        for (int x = 0; x < m.black_box_x; ++x) {
            const unsigned level = levels.coverage[std::size_t(y * levels.pitch + x)];
            const std::uint32_t p = img.row32(y)[x];
            EXPECT_EQ(level ? p >> 24 : p, level ? 4 * level - 1 : sentinel);
        }
}

// Measuring fetches the glyph once for the rasterising that follows; what was drawn (now
// alphas) or fetched for another font must never be reused.
TEST_F(GlyphTest, RepeatedFetchesGiveTheSameGlyph) {
    TextFont f = font_of(32);
    PixelImage a, b;
    ASSERT_TRUE(a.allocate(48, 48) && b.allocate(48, 48));
    std::int32_t w = 0, h = 0;
    ASSERT_TRUE(measure_glyph(f, gbk("文"), w, h));
    ASSERT_EQ(rasterise_glyph(f, nullptr, a, gbk("文")), 1);
    ASSERT_EQ(rasterise_glyph(f, nullptr, b, gbk("文")), 1);
    EXPECT_EQ(a.pixels, b.pixels);
    ASSERT_EQ(create_font(f, k_wqy_face, 16, 400, false, false, false), 1);
    std::int32_t w16 = 0, h16 = 0;
    ASSERT_TRUE(measure_glyph(f, gbk("文"), w16, h16));
    EXPECT_LT(h16, h);
}

TEST_F(GlyphTest, MetricsFollowTheFaceMeasures) {
    TextFont f = font_of(32);
    GlyphMetrics m;
    m.code = static_cast<std::int32_t>(gbk("中"));
    ASSERT_EQ(glyph_metrics(f, m), 1);
    platform::GlyphOutline g;
    ASSERT_TRUE(f.face->glyph(U'中', platform::GlyphTurn::upright, g));
    EXPECT_EQ(m.code, 0xD6D0);
    EXPECT_EQ(m.bitmap_width, g.pitch);
    EXPECT_EQ(m.bitmap_width % 4, 0);
    EXPECT_EQ(m.rows, g.black_box_y);
    EXPECT_EQ(m.origin_x, g.origin_x);
    EXPECT_EQ(m.y_offset, f.face->metrics().ascent - g.origin_y);
    EXPECT_EQ(m.advance, g.cell_inc_x);
    EXPECT_EQ(m.line_height, 32);
    std::int32_t w = 0, h = 0;
    ASSERT_TRUE(measure_glyph(f, gbk("中"), w, h));
    EXPECT_EQ(w, m.bitmap_width);
    EXPECT_EQ(h, m.rows);
}

// Space and the full-width space: an image of the advance by the font height, nothing drawn.
TEST_F(GlyphTest, SpacesMeasureTheirCellAndDrawNothing) {
    TextFont f = font_of(24);
    for (std::uint32_t code : {k_code_space, k_code_wide_space}) {
        std::int32_t w = 0, h = 0;
        ASSERT_TRUE(measure_glyph(f, code, w, h));
        EXPECT_GT(w, 0);
        EXPECT_EQ(h, 24);
        auto glyph = make_glyph(&f, code);
        ASSERT_TRUE(glyph);
        EXPECT_EQ(glyph->image->width, w);
        EXPECT_EQ(glyph->image->height, 24);
        EXPECT_EQ(ink_of(*glyph->image).count, 0);
        GlyphMetrics m;
        m.code = static_cast<std::int32_t>(code);
        ASSERT_EQ(glyph_metrics(f, m), 1);
        EXPECT_EQ(m.rows, 1); // the black-box height of a blank glyph
        EXPECT_EQ(m.advance, w);
    }
    std::int32_t narrow = 0, wide = 0, h = 0;
    measure_glyph(f, k_code_space, narrow, h);
    measure_glyph(f, k_code_wide_space, wide, h);
    EXPECT_GT(wide, narrow);
}

// Title fonts: a glyph whose coverage exceeds 4096 bytes still renders.
TEST_F(GlyphTest, LargeGlyphRendersInFull) {
    TextFont f = font_of(96);
    auto glyph = make_glyph(&f, gbk("龍"));
    ASSERT_TRUE(glyph);
    EXPECT_GT(f.work.size(), 4096u);
    const Ink ink = ink_of(*glyph->image);
    EXPECT_GT(ink.count, 1000);
    EXPECT_GT(ink.bottom - ink.top, 60);
    EXPECT_GT(ink.right - ink.left, 60);
}

// A character with nothing to draw: no rows, but still a (blank) image for layout.
TEST_F(GlyphTest, BlankGlyphHasNoRowsAndAnImage) {
    TextFont f = font_of(24);
    const std::uint32_t code = '\r'; // mapped to an empty glyph by the face
    GlyphMetrics m;
    m.code = static_cast<std::int32_t>(code);
    ASSERT_EQ(glyph_metrics(f, m), 1);
    EXPECT_EQ(m.rows, 0);
    std::int32_t w = -1, h = -1;
    ASSERT_TRUE(measure_glyph(f, code, w, h));
    EXPECT_EQ(h, 0);
    auto glyph = make_glyph(&f, code);
    ASSERT_TRUE(glyph);
    EXPECT_GE(glyph->image->height, 1);
    EXPECT_EQ(ink_of(*glyph->image).count, 0);
}

// Paired punctuation of vertical faces: both halves fit the measured image, the gap
// between them matches the pair and height, and both are turned a quarter turn.
TEST_F(GlyphTest, PairedGlyphsFitTheirImageWithTheirGap) {
    struct Case {
        char first, second;
        std::int32_t height, gap, y_offset;
    };
    const Case cases[] = {{'!', '!', 40, 12, 4}, {'!', '!', 32, 12, 4}, {'!', '!', 24, 6, 4},
                          {'!', '?', 40, 8, 2},  {'!', '?', 32, 7, 2},  {'!', '?', 20, 4, 2},
                          {'?', '!', 40, 4, 4},  {'?', '!', 32, 3, 4},  {'?', '!', 24, 2, 4},
                          {'?', '?', 40, 2, 1},  {'?', '?', 32, 1, 1},  {'?', '?', 64, 1, 1}};
    for (const Case& c : cases) {
        SCOPED_TRACE((std::string(1, c.first) + c.second + " at " + std::to_string(c.height)));
        TextFont f = font_of(c.height, std::string("@") + k_wqy_face);
        const std::uint32_t code = std::uint32_t(c.first) << 16 | std::uint32_t(c.second);
        std::int32_t w = 0, h = 0;
        ASSERT_TRUE(measure_glyph(f, code, w, h));
        PixelImage canvas;
        ASSERT_TRUE(canvas.allocate(4 * c.height, 4 * c.height));
        ASSERT_EQ(rasterise_glyph(f, nullptr, canvas, code), 1);
        const Ink ink = ink_of(canvas);
        ASSERT_GT(ink.count, 0);
        EXPECT_LT(ink.right, w);
        EXPECT_LT(ink.bottom, h);

        // Each half alone, turned: the top half is the second character.
        platform::GlyphOutline top, bottom;
        ASSERT_TRUE(f.face->glyph(char32_t(c.second), platform::GlyphTurn::quarter, top));
        ASSERT_TRUE(f.face->glyph(char32_t(c.first), platform::GlyphTurn::quarter, bottom));
        EXPECT_GT(top.black_box_x, top.black_box_y); // turned: wider than tall
        for (int y = top.black_box_y; y < top.black_box_y + c.gap; ++y)
            for (int x = 0; x < canvas.width; ++x)
                ASSERT_EQ(canvas.row32(y)[x] >> 24, 0u) << "gap row " << y;
        EXPECT_EQ(ink.bottom + 1, top.black_box_y + c.gap + bottom.black_box_y);

        GlyphMetrics m;
        m.code = static_cast<std::int32_t>(code);
        ASSERT_EQ(glyph_metrics(f, m), 1);
        EXPECT_EQ(m.rows, top.black_box_y + bottom.black_box_y);
        EXPECT_EQ(m.y_offset, c.y_offset);
        EXPECT_EQ(m.line_height, 2 * top.black_box_y + bottom.black_box_y);
        EXPECT_EQ(m.advance, m.bitmap_width); // the turned advance is vertical

        auto glyph = make_glyph(&f, code);
        ASSERT_TRUE(glyph);
        EXPECT_EQ(ink_of(*glyph->image).count, ink.count) << "nothing cut off";
    }
}

TEST_F(GlyphTest, VerticalFaceTurnsFullWidthCharactersOnly) {
    TextFont up = font_of(32);
    TextFont vertical = font_of(32, std::string("@") + k_wqy_face);
    GlyphMetrics a, b;
    a.code = b.code = static_cast<std::int32_t>(gbk("一"));
    ASSERT_EQ(glyph_metrics(up, a), 1);
    ASSERT_EQ(glyph_metrics(vertical, b), 1);
    EXPECT_GT(a.bitmap_width, 2 * a.rows); // a flat stroke...
    EXPECT_GT(b.rows, b.bitmap_width);     // ...standing upright
    GlyphMetrics c, d;
    c.code = d.code = 'A';
    ASSERT_EQ(glyph_metrics(up, c), 1);
    ASSERT_EQ(glyph_metrics(vertical, d), 1);
    EXPECT_EQ(c.rows, d.rows);
    EXPECT_EQ(c.bitmap_width, d.bitmap_width);
}

TEST_F(GlyphTest, OutlinedFontsGetRoomAndAnOutlineImage) {
    TextFont plain = font_of(24);
    TextFont outlined = font_of(24, k_wqy_face, k_outline_around);
    auto a = make_glyph(&plain, gbk("中"));
    auto b = make_glyph(&outlined, gbk("中"));
    ASSERT_TRUE(a && b);
    EXPECT_EQ(b->image->width, a->image->width + 4);
    EXPECT_EQ(b->image->height, a->image->height + 4);

    // One direction: the outline is the glyph moved 2 pixels that way, in the outline colour.
    auto left = make_outline_image(*a->image, k_outline_left, 0x102030);
    ASSERT_TRUE(left);
    ASSERT_EQ(left->width, a->image->width + 4);
    for (int y = 0; y < a->image->height; ++y)
        for (int x = 0; x < a->image->width; ++x) {
            const std::uint32_t g = a->image->row32(y)[x] >> 24;
            const std::uint32_t o = left->row32(y + 2)[x + 2 - 2];
            ASSERT_EQ(o >> 24, g);
            if (g) {
                ASSERT_EQ(o & 0xFFFFFF, 0x102030u);
            }
        }
    // All round: every offset copy lies under the outline, and it is at least as opaque.
    auto around = make_outline_image(*a->image, k_outline_around, 0);
    ASSERT_TRUE(around);
    for (const auto& o : outline_offsets(k_outline_around))
        for (int y = 0; y < a->image->height; ++y)
            for (int x = 0; x < a->image->width; ++x)
                ASSERT_GE(around->row32(y + 2 + o.dy)[x + 2 + o.dx] >> 24,
                          a->image->row32(y)[x] >> 24);
    EXPECT_FALSE(make_outline_image(*a->image, 0, 0));
}

TEST(OutlineWords, DirectionsAndOffsets) {
    struct Case {
        const char* word;
        std::uint32_t bits;
        std::size_t offsets;
    };
    const Case cases[] = {{"LEFT", 0x1, 1},
                          {"right", 0x10, 1},
                          {"Down", 0x100, 1},
                          {"UP", 0x1000, 1},
                          {"LEFTDOWN", 0x101, 3},
                          {"LEFTUP", 0x1001, 3},
                          {"RIGHTDOWN", 0x110, 3},
                          {"RIGHTUP", 0x1010, 3},
                          {"AROUND", 0x1111, 8},
                          {"AROUNDX", 0, 0},
                          {"", 0, 0},
                          {"LEFT ", 0, 0}};
    for (const Case& c : cases) {
        EXPECT_EQ(directions_from_word(c.word), c.bits) << c.word;
        EXPECT_EQ(outline_offsets(c.bits).size(), c.offsets) << c.word;
    }
    auto ld = outline_offsets(k_outline_left | k_outline_down);
    EXPECT_EQ(ld[0].dx, -2);
    EXPECT_EQ(ld[1].dy, 2);
    EXPECT_EQ(ld[2].dx, -2);
    EXPECT_EQ(ld[2].dy, 2);
}

TEST(WeightWords, NamesPrefixesAndNumbers) {
    const std::pair<const char*, std::int32_t> cases[] = {
        {"DONTCARE", 0}, {"thin", 100},      {"ExtraLight", 200}, {"LIGHT", 300},
        {"NORMAL", 400}, {"MEDIUM", 500},    {"SEMIBOLD", 600},   {"bold", 700},
        {"BOLDER", 700}, {"EXTRABOLD", 800}, {"HEAVY", 900},      {"650", 650},
        {"xyz", 400},    {"", 400}};
    for (const auto& [word, weight] : cases) EXPECT_EQ(weight_from_word(word), weight) << word;
}

TEST_F(GlyphTest, FontKeyFollowsItsFormula) {
    TextFont f;
    f.desc.height = 24;
    f.desc.weight = 700;
    f.desc.italic = 1;
    f.outline_directions = 0x1111;
    f.fill_colour = 0xFFFFFF;
    f.outline_colour = 0x000010;
    f.desc.set_face("AB");
    const std::uint32_t sum =
        8 * 24 + 7 * 700 + 6 + 3 * 0x1111 + 2 * 0xFFFFFF + 0x10 + 1 + 'A' + 'B';
    EXPECT_EQ(font_key(f), 3 * sum);
    TextFont g = f;
    g.fill_colour = 0xFFFFFE;
    EXPECT_NE(font_key(f), font_key(g));
}

// The face field is 32 bytes: longer names are cut, never inside a double-byte character.
TEST(FontDescription, FaceNameIsCutToItsField) {
    FontDescription d;
    d.set_face(std::string(40, 'x'));
    EXPECT_EQ(d.face_name().size(), 31u);
    EXPECT_EQ(d.face[31], '\0');
    std::string mixed = std::string(30, 'x') + "\xD6\xD0";
    d.set_face(mixed);
    EXPECT_EQ(d.face_name(), std::string(30, 'x'));
}

// The default font created twice with unchanged settings opens one platform face.
TEST_F(GlyphTest, DefaultFontIsNotCreatedTwice) {
    set_default_font(k_wqy_face, 29, 0xFFFFFF, 0, 400, 0);
    TextFont a, b, c;
    const auto before = platform::font_faces_opened();
    ASSERT_EQ(create_font_from_defaults(a), 1);
    ASSERT_EQ(create_font_from_defaults(b), 1);
    EXPECT_EQ(platform::font_faces_opened(), before + 1);
    EXPECT_EQ(a.face, b.face);
    EXPECT_EQ(a.created, 1);
    // A different font in between still finds the shared face again.
    ASSERT_EQ(create_font(c, k_wqy_face, 30, 400, false, false, false), 1);
    free_font(a);
    ASSERT_EQ(create_font_from_defaults(a), 1);
    EXPECT_EQ(platform::font_faces_opened(), before + 2);
    EXPECT_EQ(create_font(c, "", 30, 400, false, false, false), 0);
}

TEST_F(GlyphTest, ResetToDefaultsTakesTheDefaultSettings) {
    TextFont f = font_of(24, k_wqy_face, k_outline_right);
    ASSERT_EQ(create_font(f, k_wqy_face, 40, 700, true, false, false), 1);
    f.fill_colour = 0x00FF00;
    ASSERT_EQ(reset_font_to_defaults(f), 1);
    EXPECT_EQ(f.desc.height, 24);
    EXPECT_EQ(f.desc.weight, 400);
    EXPECT_EQ(f.desc.italic, 0);
    EXPECT_EQ(f.fill_colour, 0x336699u);
    EXPECT_EQ(f.outline_directions, k_outline_right);
    EXPECT_EQ(f.face->metrics().height, 24);
}

TEST_F(GlyphTest, ChineseAndJapaneseCharactersRender) {
    TextFont f = font_of(24);
    for (const char* ch : {"中", "あ", "ア"}) {
        auto glyph = make_glyph(&f, gbk(ch));
        ASSERT_TRUE(glyph) << ch;
        EXPECT_GT(ink_of(*glyph->image).count, 20) << ch;
    }
}

} // namespace
