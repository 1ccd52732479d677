// Text layout benchmarks.
//
// A page of 200 GBK characters (the first 200 of GB2312 level 1) at 24 pixels with an
// outline all round, laid out on a 1024 x 576 text object: through CreateText with an
// empty glyph cache (every glyph measured and rasterised) and with a warm one (LoadFont
// preloaded every glyph), and through LoadText with a warm cache (which places cached
// glyphs by their cached measures). Beside them, in the same run, bare FreeType renders the
// same 200 glyphs (plain, and stroked for the outline): the cost of the glyphs themselves.
// The peers include FreeType directly: they measure the library, not the engine.
#include "platform/encoding.h"
#include "platform/font_face.h"
#include "text/glyph_cache.h"
#include "text/layout.h"

#include <benchmark/benchmark.h>

#include <ft2build.h>
#include FT_FREETYPE_H
#include FT_GLYPH_H
#include FT_STROKER_H

#include <filesystem>
#include <string>
#include <vector>

using namespace kestrune;

namespace {

constexpr const char* k_font_file = "/usr/share/fonts/truetype/wqy/wqy-zenhei.ttc";
constexpr const char* k_face = "WenQuanYi Zen Hei";
constexpr int k_height = 24;
constexpr int k_glyphs = 200;

std::vector<std::uint32_t> page_codes() {
    std::vector<std::uint32_t> codes;
    for (std::uint32_t lead = 0xB0; codes.size() < k_glyphs; ++lead)
        for (std::uint32_t trail = 0xA1; trail <= 0xFE && codes.size() < k_glyphs; ++trail)
            codes.push_back(lead * 256 + trail);
    return codes;
}

std::string page_text() {
    std::string s;
    for (std::uint32_t c : page_codes()) {
        s.push_back(char(c >> 8));
        s.push_back(char(c & 0xFF));
    }
    return s;
}

bool setup() {
    static bool ok = std::filesystem::exists(k_font_file) && platform::add_font_file(k_font_file);
    if (!ok) return false;
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

struct BareFreeType {
    FT_Library library = nullptr;
    FT_Face face = nullptr;
    FT_Stroker stroker = nullptr;
    std::vector<FT_UInt> indices;

    bool open() {
        if (FT_Init_FreeType(&library) || FT_New_Face(library, k_font_file, 0, &face)) return false;
        FT_Set_Pixel_Sizes(face, 0, k_height * 1024 / 1290); // the same em as the engine's
        FT_Stroker_New(library, &stroker);
        FT_Stroker_Set(stroker, 2 * 64, FT_STROKER_LINECAP_ROUND, FT_STROKER_LINEJOIN_ROUND, 0);
        for (std::uint32_t code : page_codes())
            indices.push_back(FT_Get_Char_Index(face, platform::gbk_code_to_unicode(code)));
        return true;
    }
    ~BareFreeType() {
        if (stroker) FT_Stroker_Done(stroker);
        if (face) FT_Done_Face(face);
        if (library) FT_Done_FreeType(library);
    }
};

void BM_FreeType_Render(benchmark::State& state) {
    BareFreeType ft;
    if (!ft.open()) return state.SkipWithError("FreeType could not open the font");
    for (auto _ : state)
        for (FT_UInt index : ft.indices) {
            FT_Load_Glyph(ft.face, index,
                          FT_LOAD_RENDER | FT_LOAD_NO_BITMAP | FT_LOAD_TARGET_LIGHT);
            benchmark::DoNotOptimize(ft.face->glyph->bitmap.buffer);
        }
    state.SetItemsProcessed(state.iterations() * k_glyphs);
}
BENCHMARK(BM_FreeType_Render)->Unit(benchmark::kMicrosecond);

void BM_FreeType_RenderAndStroke(benchmark::State& state) {
    BareFreeType ft;
    if (!ft.open()) return state.SkipWithError("FreeType could not open the font");
    for (auto _ : state)
        for (FT_UInt index : ft.indices) {
            FT_Load_Glyph(ft.face, index, FT_LOAD_NO_BITMAP | FT_LOAD_TARGET_LIGHT);
            FT_Glyph glyph = nullptr, stroked = nullptr;
            FT_Get_Glyph(ft.face->glyph, &glyph);
            FT_Glyph_Copy(glyph, &stroked);
            FT_Glyph_StrokeBorder(&stroked, ft.stroker, 0, 1);
            FT_Glyph_To_Bitmap(&stroked, FT_RENDER_MODE_NORMAL, nullptr, 1);
            FT_Glyph_To_Bitmap(&glyph, FT_RENDER_MODE_NORMAL, nullptr, 1);
            benchmark::DoNotOptimize(glyph);
            FT_Done_Glyph(stroked);
            FT_Done_Glyph(glyph);
        }
    state.SetItemsProcessed(state.iterations() * k_glyphs);
}
BENCHMARK(BM_FreeType_RenderAndStroke)->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
