// The tone filters row by row: four pixels at a time and the scalar tail must both give the
// per-pixel formulas (luminance L = 77 b / 256 + 151 g / 256 + 28 r / 256, each floored).
#include "scene/effects.h"

#include <gtest/gtest.h>

#include <vector>

using namespace kestrune::scene::effects;

namespace {

std::array<int, 4> expected(Tone tone, int b, int g, int r, int a, bool opaque) {
    const int l = (77 * b >> 8) + (151 * g >> 8) + (28 * r >> 8);
    const int out_a = opaque ? 255 : a;
    switch (tone) {
    case Tone::plain:
        return {b, g, r, out_a};
    case Tone::nega_posi:
        return {255 - b, 255 - g, 255 - r, out_a};
    case Tone::monochrome:
        return {l, l, l, out_a};
    case Tone::sepia:
        return {l, l > 225 ? 255 : l + 30, l > 225 ? 255 : l + 30, out_a};
    case Tone::delumo_blue:
        return {l >= 176 ? 255 : l + 80, l >= 236 ? 255 : l + 20, l, out_a};
    }
    return {};
}

} // namespace

TEST(ToneRow, EveryToneMatchesItsFormulaOnBothPaths) {
    // 4099 pixels: whole groups of four and a tail of three, channels running through all
    // values at different rates.
    const int n = 4099;
    std::vector<std::uint8_t> src(std::size_t(n) * 4);
    for (int i = 0; i < n; ++i) {
        src[std::size_t(i) * 4 + 0] = std::uint8_t(i * 7);
        src[std::size_t(i) * 4 + 1] = std::uint8_t(i * 13 + 5);
        src[std::size_t(i) * 4 + 2] = std::uint8_t(i / 16);
        src[std::size_t(i) * 4 + 3] = std::uint8_t(i * 3);
    }
    for (Tone tone :
         {Tone::plain, Tone::nega_posi, Tone::monochrome, Tone::sepia, Tone::delumo_blue})
        for (bool opaque : {false, true}) {
            std::vector<std::uint8_t> dst(src.size());
            tone_row(tone, src.data(), dst.data(), n, opaque);
            for (int i = 0; i < n; ++i) {
                const std::uint8_t* s = &src[std::size_t(i) * 4];
                const auto e = expected(tone, s[0], s[1], s[2], s[3], opaque);
                for (int c = 0; c < 4; ++c)
                    ASSERT_EQ(dst[std::size_t(i) * 4 + std::size_t(c)], e[std::size_t(c)])
                        << "tone " << int(tone) << " pixel " << i << " channel " << c;
            }
        }
}
