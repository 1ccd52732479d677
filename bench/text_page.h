// What the text benchmarks share: a page of 200 GBK characters (the first 200 of GB2312
// level 1) at 24 pixels in WenQuanYi Zen Hei, and the bare-FreeType peers that render the
// same glyphs (plain, and stroked 2 pixels wide for the outline). The peers include
// FreeType directly: they measure the library itself, not the engine.
#pragma once

#include "platform/encoding.h"
#include "platform/font_face.h"

#include <benchmark/benchmark.h>

#include <ft2build.h>
#include FT_FREETYPE_H
#include FT_GLYPH_H
#include FT_STROKER_H

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace kestrune::bench {

inline constexpr const char* k_font_file = "/usr/share/fonts/truetype/wqy/wqy-zenhei.ttc";
inline constexpr const char* k_face = "WenQuanYi Zen Hei";
inline constexpr int k_height = 24;
inline constexpr int k_glyphs = 200;

inline std::vector<std::uint32_t> page_codes() {
    std::vector<std::uint32_t> codes;
    for (std::uint32_t lead = 0xB0; codes.size() < k_glyphs; ++lead)
        for (std::uint32_t trail = 0xA1; trail <= 0xFE && codes.size() < k_glyphs; ++trail)
            codes.push_back(lead * 256 + trail);
    return codes;
}

inline std::string page_text() {
    std::string s;
    for (std::uint32_t c : page_codes()) {
        s.push_back(char(c >> 8));
        s.push_back(char(c & 0xFF));
    }
    return s;
}

// Adds the font file once; false when fonts-wqy-zenhei is not installed.
inline bool add_page_font() {
    static const bool ok =
        std::filesystem::exists(k_font_file) && platform::add_font_file(k_font_file);
    return ok;
}

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

// Peer: FreeType renders the page's glyphs.
inline void freetype_render(benchmark::State& state) {
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

// Peer: FreeType's own way to outline text: stroke the outline 2 pixels wide and render
// both.
inline void freetype_render_and_stroke(benchmark::State& state) {
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

} // namespace kestrune::bench
