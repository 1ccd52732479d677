// The LoadFont glyph cache: identifiers, lookups by font key and code, borrowed images,
// removal, and a rendered line compared with its golden image.
#include "golden_support.h"
#include "platform/encoding.h"
#include "text/glyph_cache.h"
#include "text_test_support.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <set>
#include <thread>

using namespace kestrune;
using namespace kestrune::text;
using namespace kestrune::text::testing;
using kestrune::text::testing::k_wqy_face;

namespace {

class GlyphCacheTest : public text::testing::TextTest {};

std::string gbk(const char* utf8) {
    return platform::utf8_to_gbk(utf8);
}

TextFont font_like_load_font(std::int32_t size, std::uint32_t fill, std::uint32_t outline,
                             std::uint32_t directions) {
    TextFont f;
    EXPECT_EQ(create_font_from_defaults(f), 1);
    f.fill_colour = fill;
    f.outline_colour = outline;
    f.outline_directions = directions;
    EXPECT_EQ(create_font(f, k_wqy_face, size, 400, false, false, false), 1);
    return f;
}

TEST_F(GlyphCacheTest, LoadFontFillsTheCacheAndLayoutBorrowsFromIt) {
    const std::string chars = gbk("中文A あ");
    auto first = load_font_glyphs(k_wqy_face, 28, 0xFFFFFF, 0x000000, 400, k_outline_around, chars);
    auto second =
        load_font_glyphs(k_wqy_face, 28, 0xFFFFFF, 0x000000, 400, k_outline_around, chars);
    ASSERT_EQ(first.size(), 5u); // two GBK characters, 'A', space, one more GBK character
    ASSERT_EQ(second.size(), 5u);
    std::set<int> ids(first.begin(), first.end());
    ids.insert(second.begin(), second.end());
    EXPECT_EQ(ids.size(), 10u) << "identifiers are unique";
    EXPECT_FALSE(ids.count(0)) << "0 would end a 0-terminated list";
    for (int id : ids) EXPECT_TRUE(id > 0 && id < k_glyph_id_limit);
    EXPECT_EQ(glyph_cache_size(), 10u);

    TextFont f = font_like_load_font(28, 0xFFFFFF, 0x000000, k_outline_around);
    const std::uint32_t zhong = 0xD6D0;
    auto hit = make_glyph(&f, zhong);
    ASSERT_TRUE(hit);
    EXPECT_TRUE(hit->borrowed);
    EXPECT_EQ(hit->cache_id, first[0]) << "the first-added entry is found";
    auto again = make_glyph(&f, zhong);
    EXPECT_EQ(again->image.get(), hit->image.get()) << "a cache hit copies no pixels";

    // Borrowed metrics agree with the rasteriser's, but for the unrounded box width.
    GlyphMetrics fresh;
    fresh.code = zhong;
    ASSERT_EQ(glyph_metrics(f, fresh), 1);
    GlyphMetrics cached = cached_glyph_metrics(*hit, zhong);
    EXPECT_EQ(cached.advance, fresh.advance);
    EXPECT_EQ(cached.y_offset, fresh.y_offset);
    EXPECT_EQ(cached.origin_x, fresh.origin_x);
    EXPECT_EQ(cached.rows, fresh.rows);
    EXPECT_EQ(cached.line_height, fresh.line_height);
    EXPECT_EQ((cached.bitmap_width + 3) & ~3, fresh.bitmap_width);

    // A cached space keeps its advance.
    auto space = make_glyph(&f, ' ');
    ASSERT_TRUE(space && space->borrowed);
    EXPECT_GT(cached_glyph_metrics(*space, ' ').advance, 0);

    std::vector<std::uint8_t> coverage;
    GlyphMeasures measures;
    FontMetrics metrics;
    ASSERT_EQ(glyph_cache_find(f, zhong, &coverage, &measures, &metrics), 1);
    EXPECT_EQ(coverage.size(), std::size_t((measures.black_box_x + 3) & ~3) * measures.rows);
    EXPECT_EQ(metrics.height, 28);

    // Another colour is another key: no hit.
    TextFont other = font_like_load_font(28, 0xFF0000, 0x000000, k_outline_around);
    auto miss = make_glyph(&other, zhong);
    ASSERT_TRUE(miss);
    EXPECT_FALSE(miss->borrowed);
    EXPECT_EQ(glyph_cache_find(other, zhong, nullptr, nullptr, nullptr), 0);

    // Removing the first set leaves the second set's entries to be found; an image still
    // borrowed stays alive.
    for (int id : first) EXPECT_EQ(glyph_cache_remove(id), 1);
    EXPECT_EQ(glyph_cache_remove(first[0]), 0);
    EXPECT_EQ(hit->image->width, again->image->width);
    auto later = make_glyph(&f, zhong);
    ASSERT_TRUE(later && later->borrowed);
    EXPECT_EQ(later->cache_id, second[0]);
    EXPECT_EQ(glyph_cache_size(), 5u);
}

TEST_F(GlyphCacheTest, RemovingTheHeadOrUnknownIdentifiersChangesNothing) {
    TextFont f = font_like_load_font(20, 0xFFFFFF, 0, 0);
    const int id = glyph_cache_add(f, 'A');
    ASSERT_GT(id, 0);
    EXPECT_EQ(glyph_cache_remove(-1), 0);
    EXPECT_EQ(glyph_cache_remove(id == 1 ? 2 : 1), 0);
    EXPECT_EQ(glyph_cache_remove(40000), 0);
    EXPECT_EQ(glyph_cache_size(), 1u);
    EXPECT_EQ(glyph_cache_find(f, 'A', nullptr, nullptr, nullptr), 1);
}

// Every identifier taken: adding fails instead of drawing identifiers for ever.
TEST_F(GlyphCacheTest, AddingFailsWhenEveryIdentifierIsTaken) {
    TextFont f = font_like_load_font(6, 0xFFFFFF, 0, 0);
    std::set<int> ids;
    for (int i = 1; i < k_glyph_id_limit; ++i) ids.insert(glyph_cache_add(f, '.'));
    EXPECT_EQ(ids.size(), std::size_t(k_glyph_id_limit - 1));
    EXPECT_EQ(*ids.begin(), 1);
    EXPECT_EQ(glyph_cache_add(f, '.'), -1);
    ASSERT_EQ(glyph_cache_remove(777), 1);
    EXPECT_EQ(glyph_cache_add(f, '.'), 777);
}

TEST_F(GlyphCacheTest, LoadFontStopsWhenAskedTo) {
    auto ids = load_font_glyphs(k_wqy_face, 20, 0xFFFFFF, 0, 400, 0, "ABC", [] { return true; });
    EXPECT_TRUE(ids.empty());
    EXPECT_EQ(glyph_cache_size(), 0u);
}

// --- a rendered line against its golden image ---------------------------------------------

// Lays one line out the simple way (pen plus origin and y offset), outline under glyph,
// blended over grey.
Rgb render_line(TextFont& font, const std::string& text, int width, int height) {
    Rgb out{width, height, std::vector<std::uint8_t>(std::size_t(width * height * 3), 96)};
    int pen = 4;
    for (std::size_t i = 0; i < text.size();) {
        std::uint32_t code = std::uint8_t(text[i]);
        if (code >= 0x80 && i + 1 < text.size()) code = code * 256 + std::uint8_t(text[++i]);
        ++i;
        auto glyph = make_glyph(&font, code);
        GlyphMetrics m;
        m.code = std::int32_t(code);
        if (!glyph || !glyph_metrics(font, m)) continue;
        const int x = pen + m.origin_x, y = 4 + m.y_offset;
        if (auto outline =
                make_outline_image(*glyph->image, font.outline_directions, font.outline_colour))
            blend(out, *outline, x - 2, y - 2);
        blend(out, *glyph->image, x, y);
        pen += m.advance;
    }
    return out;
}

TEST_F(GlyphCacheTest, RenderedLineMatchesGoldenImage) {
    TextFont f = font_like_load_font(24, 0xFFFFFF, 0x202040, k_outline_around);
    const Rgb got = render_line(f, gbk("Kestrune 中文あア！?"), 280, 36);
    expect_golden(got, "line_24_around.ppm");
}

} // namespace

namespace {

// Layout on script threads, LoadFont on another and the backlog on the render thread all
// render through shared faces and walk the cache at the same time.
TEST_F(GlyphCacheTest, ThreadsShareFacesAndTheCache) {
    std::atomic<int> failures{0};
    auto render = [&](std::uint32_t fill) {
        TextFont f = font_like_load_font(22, fill, 0, 0);
        for (int round = 0; round < 20; ++round)
            for (std::uint32_t code : {0xD6D0u, 0xCEC4u, std::uint32_t('A'), 0xA4A2u}) {
                auto g = make_glyph(&f, code);
                if (!g || g->image->empty()) ++failures;
            }
    };
    auto churn = [&] {
        for (int round = 0; round < 20; ++round) {
            auto ids = load_font_glyphs(k_wqy_face, 22, 0xFFFFFF, 0, 400, 0, gbk("中文"));
            if (ids.size() != 2) ++failures;
            for (int id : ids)
                if (glyph_cache_remove(id) != 1) ++failures;
        }
    };
    std::vector<std::thread> threads;
    threads.emplace_back(render, 0xFFFFFF); // same key as the churned entries: hits and misses
    threads.emplace_back(render, 0x00FF00);
    threads.emplace_back(churn);
    for (auto& t : threads) t.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(glyph_cache_size(), 0u);
}

} // namespace
