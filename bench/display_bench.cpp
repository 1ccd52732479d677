// Message display benchmarks: what revealing costs.
//
// A page of 200 GBK characters at 24 pixels with an outline all round, laid out on a
// 1024 x 576 text object. "Reveal" copies every glyph of the page into the layers, one
// glyph at a time as the display does, bringing the picture up to date around each glyph
// (outline at eight offsets under the glyphs). Its peer in the same run rebuilds the whole
// picture from the layers once: the cost a display would pay every frame if it composed
// the text anew instead of keeping the picture, which is what per-glyph updating avoids.
#include "platform/font_face.h"
#include "text/display_internal.h"
#include "text/glyph_cache.h"
#include "text/layout.h"

#include <benchmark/benchmark.h>

#include <filesystem>
#include <string>

using namespace kestrune;

namespace {

constexpr const char* k_font_file = "/usr/share/fonts/truetype/wqy/wqy-zenhei.ttc";
constexpr const char* k_face = "WenQuanYi Zen Hei";
constexpr int k_glyphs = 200;

std::string page_text() {
    std::string s;
    for (std::uint32_t lead = 0xB0; s.size() < 2 * k_glyphs; ++lead)
        for (std::uint32_t trail = 0xA1; trail <= 0xFE && s.size() < 2 * k_glyphs; ++trail) {
            s.push_back(char(lead));
            s.push_back(char(trail));
        }
    return s;
}

std::unique_ptr<text::TextLayout> outlined_page() {
    static bool fonts =
        std::filesystem::exists(k_font_file) && platform::add_font_file(k_font_file);
    if (!fonts) return nullptr;
    text::set_text_settings(text::TextSettings{});
    text::set_default_font(k_face, 24, 0xFFFFFF, 0x000000, 400, text::k_outline_around);
    auto target = std::make_shared<PixelImage>();
    target->allocate(1024, 576);
    auto layout = text::lay_out_text(target, page_text(), 0, 16);
    if (!layout || layout->slot_count != k_glyphs || !layout->outline_layer) return nullptr;
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
    state.SetItemsProcessed(state.iterations() * k_glyphs);
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
