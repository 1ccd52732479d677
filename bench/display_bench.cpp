// Message display benchmarks: what revealing costs.
//
// A page of 200 GBK characters at 24 pixels with an outline all round, laid out on a
// 1024 x 576 text object. "Reveal" copies every glyph of the page into the layers, one
// glyph at a time as the display does, bringing the picture up to date around each glyph
// (outline at eight offsets under the glyphs). Its peer in the same run rebuilds the whole
// picture from the layers once: the cost a display would pay every frame if it composed
// the text anew instead of keeping the picture, which is what per-glyph updating avoids.
#include "text_page.h"

#include "text/display_internal.h"
#include "text/glyph_cache.h"
#include "text/layout.h"

#include <benchmark/benchmark.h>

#include <string>

using namespace kestrune;

namespace {

std::unique_ptr<text::TextLayout> outlined_page() {
    if (!bench::add_page_font()) return nullptr;
    text::set_text_settings(text::TextSettings{});
    text::set_default_font(bench::k_face, bench::k_height, 0xFFFFFF, 0x000000, 400,
                           text::k_outline_around);
    auto target = std::make_shared<PixelImage>();
    target->allocate(1024, 576);
    auto layout = text::lay_out_text(target, bench::page_text(), 0, 16);
    if (!layout || layout->slot_count != bench::k_glyphs || !layout->outline_layer) return nullptr;
    return layout;
}

void BM_Display_RevealPageGlyphByGlyph(benchmark::State& state) {
    auto layout = outlined_page();
    if (!layout) return state.SkipWithError("fonts-wqy-zenhei missing or layout failed");
    for (auto _ : state) {
        text::detail::clear_layers(*layout);
        for (std::int32_t i = 0; i < layout->slot_count; ++i)
            benchmark::DoNotOptimize(text::detail::copy_slot(*layout, i, false));
    }
    state.SetItemsProcessed(state.iterations() * bench::k_glyphs);
}
BENCHMARK(BM_Display_RevealPageGlyphByGlyph)->Unit(benchmark::kMicrosecond);

// Peer: the whole picture composed from its layers once (outline at every offset, then
// the glyphs), as a display without a kept picture would each frame.
void BM_Display_ComposeWholePictureOnce(benchmark::State& state) {
    auto layout = outlined_page();
    if (!layout) return state.SkipWithError("fonts-wqy-zenhei missing or layout failed");
    for (std::int32_t i = 0; i < layout->slot_count; ++i)
        text::detail::copy_slot(*layout, i, false);
    for (auto _ : state) benchmark::DoNotOptimize(text::detail::compose_all(*layout));
}
BENCHMARK(BM_Display_ComposeWholePictureOnce)->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
