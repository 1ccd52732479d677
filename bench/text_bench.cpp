// Text benchmarks.
//
// Glyph rendering: 200 GBK characters (the first 200 of GB2312 level 1) at 24 pixels with
// an outline all round, through the engine's glyph path with an empty glyph cache (every
// glyph rasterised) and with a warm one (the LoadFont case: every glyph borrowed), beside
// bare FreeType rendering the same glyphs in the same run (plain, and stroked for the
// outline). The peers include FreeType directly: they measure the library itself, not
// the engine.
#include "text_page.h"

#include "text/glyph_cache.h"
#include "text/glyphs.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

using namespace kestrune;
using bench::k_face;
using bench::k_glyphs;
using bench::k_height;

namespace {

text::TextFont outlined_font() {
    text::set_default_font(k_face, k_height, 0xFFFFFF, 0x000000, 400, text::k_outline_around);
    text::TextFont font;
    text::create_font_from_defaults(font);
    return font;
}

void BM_Engine_Glyphs_EmptyCache(benchmark::State& state) {
    if (!bench::add_page_font()) return state.SkipWithError("fonts-wqy-zenhei is not installed");
    text::glyph_cache_clear();
    text::TextFont font = outlined_font();
    const auto codes = bench::page_codes();
    for (auto _ : state)
        for (std::uint32_t code : codes) benchmark::DoNotOptimize(text::make_glyph(&font, code));
    state.SetItemsProcessed(state.iterations() * k_glyphs);
}
BENCHMARK(BM_Engine_Glyphs_EmptyCache)->Unit(benchmark::kMicrosecond);

void BM_Engine_Glyphs_WarmCache(benchmark::State& state) {
    if (!bench::add_page_font()) return state.SkipWithError("fonts-wqy-zenhei is not installed");
    text::glyph_cache_clear();
    const auto codes = bench::page_codes();
    const auto ids = text::load_font_glyphs(k_face, k_height, 0xFFFFFF, 0x000000, 400,
                                            text::k_outline_around, bench::page_text());
    if (ids.size() != codes.size()) return state.SkipWithError("LoadFont failed");
    text::TextFont font = outlined_font();
    for (auto _ : state)
        for (std::uint32_t code : codes) benchmark::DoNotOptimize(text::make_glyph(&font, code));
    state.SetItemsProcessed(state.iterations() * k_glyphs);
    text::glyph_cache_clear();
}
BENCHMARK(BM_Engine_Glyphs_WarmCache)->Unit(benchmark::kMicrosecond);

// The glyph and its outline image (what a text object draws under it), cache empty.
void BM_Engine_GlyphsAndOutline_EmptyCache(benchmark::State& state) {
    if (!bench::add_page_font()) return state.SkipWithError("fonts-wqy-zenhei is not installed");
    text::glyph_cache_clear();
    text::TextFont font = outlined_font();
    const auto codes = bench::page_codes();
    for (auto _ : state)
        for (std::uint32_t code : codes) {
            auto glyph = text::make_glyph(&font, code);
            benchmark::DoNotOptimize(
                text::make_outline_image(*glyph->image, font.outline_directions, 0));
        }
    state.SetItemsProcessed(state.iterations() * k_glyphs);
}
BENCHMARK(BM_Engine_GlyphsAndOutline_EmptyCache)->Unit(benchmark::kMicrosecond);

void BM_FreeType_Render(benchmark::State& state) {
    bench::freetype_render(state);
}
BENCHMARK(BM_FreeType_Render)->Unit(benchmark::kMicrosecond);

void BM_FreeType_RenderAndStroke(benchmark::State& state) {
    bench::freetype_render_and_stroke(state);
}
BENCHMARK(BM_FreeType_RenderAndStroke)->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
