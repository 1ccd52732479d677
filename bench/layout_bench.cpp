// Text layout benchmarks.
//
// A page of 200 GBK characters (the first 200 of GB2312 level 1) at 24 pixels with an
// outline all round, laid out on a 1024 x 576 text object: through CreateText with an
// empty glyph cache (every glyph measured and rasterised) and with a warm one (LoadFont
// preloaded every glyph), and through LoadText with a warm cache (which places cached
// glyphs by their cached measures). Beside them, in the same run, bare FreeType renders the
// same 200 glyphs (plain, and stroked for the outline): the cost of the glyphs themselves.
// The peers include FreeType directly: they measure the library, not the engine.
#include "text_page.h"

#include "text/glyph_cache.h"
#include "text/layout.h"

#include <benchmark/benchmark.h>

#include <filesystem>
#include <string>
#include <vector>

using namespace kestrune;
using bench::k_face;
using bench::k_glyphs;
using bench::k_height;
using bench::page_text;

namespace {

bool setup() {
    if (!bench::add_page_font()) return false;
    text::set_text_settings(text::TextSettings{});
    text::set_default_font(k_face, k_height, 0xFFFFFF, 0x000000, 400, text::k_outline_around);
    return true;
}

std::shared_ptr<PixelImage> page_image() {
    auto img = std::make_shared<PixelImage>();
    img->allocate(1024, 576);
    return img;
}

bool warm_cache() {
    text::glyph_cache_clear();
    const auto ids = text::load_font_glyphs(k_face, k_height, 0xFFFFFF, 0x000000, 400,
                                            text::k_outline_around, page_text());
    return ids.size() == std::size_t(k_glyphs);
}

void BM_Layout_CreateText_EmptyCache(benchmark::State& state) {
    if (!setup()) return state.SkipWithError("fonts-wqy-zenhei is not installed");
    text::glyph_cache_clear();
    const std::string text = page_text();
    auto target = page_image();
    for (auto _ : state) {
        auto layout = text::lay_out_text(target, text, 0, 16);
        if (!layout || layout->slot_count != k_glyphs) return state.SkipWithError("layout failed");
        benchmark::DoNotOptimize(layout);
    }
    state.SetItemsProcessed(state.iterations() * k_glyphs);
}
BENCHMARK(BM_Layout_CreateText_EmptyCache)->Unit(benchmark::kMicrosecond);

void BM_Layout_CreateText_WarmCache(benchmark::State& state) {
    if (!setup()) return state.SkipWithError("fonts-wqy-zenhei is not installed");
    if (!warm_cache()) return state.SkipWithError("LoadFont failed");
    const std::string text = page_text();
    auto target = page_image();
    for (auto _ : state) {
        auto layout = text::lay_out_text(target, text, 0, 16);
        if (!layout || layout->slot_count != k_glyphs) return state.SkipWithError("layout failed");
        benchmark::DoNotOptimize(layout);
    }
    state.SetItemsProcessed(state.iterations() * k_glyphs);
    text::glyph_cache_clear();
}
BENCHMARK(BM_Layout_CreateText_WarmCache)->Unit(benchmark::kMicrosecond);

void BM_Layout_LoadText_WarmCache(benchmark::State& state) {
    if (!setup()) return state.SkipWithError("fonts-wqy-zenhei is not installed");
    if (!warm_cache()) return state.SkipWithError("LoadFont failed");
    const std::string text = page_text();
    auto target = page_image();
    for (auto _ : state) {
        std::int32_t cx = 0, cy = 0;
        auto layout = text::lay_out_script_text(
            target, nullptr, text.data(), text.data() + text.size(), cx, cy, 0, 16, 1024, 576);
        if (!layout || layout->slot_count != k_glyphs) return state.SkipWithError("layout failed");
        benchmark::DoNotOptimize(layout);
    }
    state.SetItemsProcessed(state.iterations() * k_glyphs);
    text::glyph_cache_clear();
}
BENCHMARK(BM_Layout_LoadText_WarmCache)->Unit(benchmark::kMicrosecond);

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
