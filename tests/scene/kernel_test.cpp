// The SIMD kernels against the scalar formulas, over random rows and the blend edge cases.
#include "raster_reference.h"
#include "scene/raster_kernels.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

namespace kestrune::scene {
namespace {

using detail::KernelSet;

std::vector<const KernelSet*> kernel_sets() {
    std::vector<const KernelSet*> sets{&detail::kernels_sse2()};
    if (detail::cpu_has_avx2()) sets.push_back(&detail::kernels_avx2());
    if (detail::cpu_has_avx512()) sets.push_back(&detail::kernels_avx512());
    return sets;
}

// Random pixels biased towards the values where formulas branch or saturate.
std::uint32_t random_pixel(std::mt19937& rng) {
    static const std::uint8_t special[] = {0, 1, 127, 128, 254, 255};
    std::uint32_t px = 0;
    for (int c = 0; c < 4; ++c) {
        const std::uint32_t r = rng();
        const std::uint8_t v = (r & 3) == 0 ? special[(r >> 2) % 6] : std::uint8_t(r >> 8);
        px |= std::uint32_t(v) << (8 * c);
    }
    return px;
}

// Catches: any lane, tail or fast path of a kernel that differs from the formula.
TEST(RasterKernels, BlendMatchesScalarFormulasOnRandomRows) {
    std::mt19937 rng(12345);
    std::vector<std::uint8_t> table(256);
    for (auto& t : table) t = std::uint8_t(rng());
    table[0] = 0;
    table[255] = 255;
    for (const KernelSet* ks : kernel_sets()) {
        for (int op = 0; op < detail::op_count; ++op)
            for (int tr = 0; tr < 2; ++tr)
                for (int variant = 0; variant < 4; ++variant)
                    for (int trial = 0; trial < 60; ++trial) {
                        // Rows start anywhere within a register (the destination's
                        // alignment picks the head part) and run long enough for a head,
                        // whole registers and a tail.
                        const int n = 1 + int(rng() % 70);
                        const int at = int(rng() % 16);
                        std::vector<std::uint32_t> src(n), dst_buf(n + 16), mask(n), expect(n);
                        std::uint32_t* dst = dst_buf.data() + at;
                        std::vector<std::uint8_t> rule(n);
                        // Some rows wholly transparent or opaque, to reach the fast paths.
                        const int kind = int(rng() % 6);
                        for (int i = 0; i < n; ++i) {
                            src[i] = random_pixel(rng);
                            if (kind == 0) src[i] &= 0xFFFFFFu;
                            if (kind == 1) src[i] |= 0xFF000000u;
                            dst[i] = random_pixel(rng);
                            mask[i] = random_pixel(rng);
                            if (rng() % 5 == 0) mask[i] &= 0xFF000000u; // colour zero
                            rule[i] = std::uint8_t(rng());
                        }
                        const std::vector<std::uint32_t> before = dst_buf;
                        const int P = tr ? int(rng() % 255) : 255;
                        const bool use_mask = variant & 1, use_rule = variant & 2;
                        for (int i = 0; i < n; ++i) {
                            const int ra = table[rule[i]];
                            expect[i] = ref::blend_pixel(op, tr, P, src[i], dst[i],
                                                         use_mask ? &mask[i] : nullptr,
                                                         use_rule ? &ra : nullptr);
                        }
                        detail::BlendParams p;
                        p.alpha = std::uint8_t(P);
                        p.mask = use_mask ? reinterpret_cast<std::uint8_t*>(mask.data()) : nullptr;
                        p.rule = use_rule ? rule.data() : nullptr;
                        p.table = table.data();
                        ks->blend[op][tr][variant](reinterpret_cast<std::uint8_t*>(dst), src.data(),
                                                   n, p);
                        for (int i = 0; i < n; ++i)
                            ASSERT_EQ(dst[i], expect[i])
                                << ks->name << " op " << op << " translucent " << tr << " variant "
                                << variant << " pixel " << i << " of " << n << " at " << at;
                        // Nothing outside the row is touched.
                        for (int i = 0; i < 16 + n; ++i)
                            if (i < at || i >= at + n) {
                                ASSERT_EQ(dst_buf[i], before[i]);
                            }
                    }
    }
}

// Catches: a bilinear lane, weight or clamp that differs from the formula, at any position
// inside, on the edge of, or outside the image.
TEST(RasterKernels, BilinearMatchesScalarFormula) {
    std::mt19937 rng(777);
    PixelImage img;
    ASSERT_TRUE(img.allocate(13, 9));
    for (int y = 0; y < 9; ++y)
        for (int x = 0; x < 13; ++x) img.row32(y)[x] = random_pixel(rng);
    for (const KernelSet* ks : kernel_sets()) {
        for (int trial = 0; trial < 400; ++trial) {
            const int n = 1 + int(rng() % 40);
            const auto u = std::int32_t(rng() % (20 << 16)) - (3 << 16);
            const auto v = std::int32_t(rng() % (14 << 16)) - (2 << 16);
            const auto du = std::int32_t(rng() % 0x30000) - 0x18000;
            const auto dv = trial % 3 == 0 ? 0 : std::int32_t(rng() % 0x20000) - 0x10000;
            std::vector<std::uint32_t> out(n);
            ks->bilinear(out.data(), n, img, u, v, du, dv);
            for (int i = 0; i < n; ++i)
                ASSERT_EQ(out[i], ref::bilinear(img, u + du * i, v + dv * i))
                    << ks->name << " trial " << trial << " pixel " << i;
        }
    }
}

struct ChannelCase {
    const char* what;
    int op;
    int s, d, w;
    int expect;
};

// Catches: a wrong rounding direction or saturation in one of the stated edge cases.
TEST(RasterKernels, BlendEdgeCases) {
    const ChannelCase cases[] = {
        {"normal, source alpha 128 over 0", detail::op_normal, 255, 0, 128, 127},
        {"normal rounds towards minus infinity", detail::op_normal, 0, 255, 1, 254},
        {"add saturates at 255", detail::op_add, 255, 200, 255, 255},
        {"sub stops at 0", detail::op_sub, 255, 20, 255, 0},
        {"overlay dark branch", detail::op_overlay, 200, 100, 255,
         100 + ref::floor256((156 - 100) * 255)},
        {"mul", detail::op_mul, 128, 200, 255, 200 + ref::floor256((100 - 200) * 255)},
    };
    for (const ChannelCase& c : cases)
        EXPECT_EQ(ref::blend_channel(c.op, 0, c.s, c.d, c.w), c.expect) << c.what;

    // The same through every kernel, for a whole pixel.
    for (const KernelSet* ks : kernel_sets()) {
        std::uint32_t dst = 0, src = 0x80FFFFFFu;
        ks->blend[detail::op_normal][0][0](reinterpret_cast<std::uint8_t*>(&dst), &src, 1, {});
        EXPECT_EQ(dst & 0xFFFFFFu, 0x7F7F7Fu) << ks->name;
        // Add never exceeds 255 and sub never goes below 0, for every s, d and weight.
        for (int s = 0; s < 256; s += 5)
            for (int d = 0; d < 256; d += 3) {
                std::vector<std::uint32_t> srcs, dsts;
                for (int a = 0; a < 256; ++a) {
                    srcs.push_back(std::uint32_t(a) << 24 | std::uint32_t(s) * 0x010101u);
                    dsts.push_back(std::uint32_t(d) * 0x01010101u);
                }
                auto add = dsts, sub = dsts;
                ks->blend[detail::op_add][0][0](reinterpret_cast<std::uint8_t*>(add.data()),
                                                srcs.data(), 256, {});
                ks->blend[detail::op_sub][0][0](reinterpret_cast<std::uint8_t*>(sub.data()),
                                                srcs.data(), 256, {});
                for (int a = 0; a < 256; ++a) {
                    ASSERT_EQ(add[a] & 255u, std::uint32_t(std::min(255, d + s * a / 256)));
                    ASSERT_EQ(sub[a] & 255u, std::uint32_t(std::max(0, d - s * a / 256)));
                }
            }
        // A mask pixel of colour zero blocks the pixel, even with layer alpha 255.
        std::uint32_t m = 0xFF000000u, px = 0x11223344u, s2 = 0xFFFFFFFFu;
        detail::BlendParams p;
        p.mask = reinterpret_cast<const std::uint8_t*>(&m);
        ks->blend[detail::op_normal][0][1](reinterpret_cast<std::uint8_t*>(&px), &s2, 1, p);
        EXPECT_EQ(px, 0x11223344u) << ks->name;
    }
}

// Catches: the 255 - f weights turned into 256 - f (smoothing must darken slightly).
TEST(RasterKernels, SmoothingDarkensOpaqueWhite) {
    PixelImage img;
    ASSERT_TRUE(img.allocate(4, 4));
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 4; ++x) img.row32(y)[x] = 0xFFFFFFFFu;
    for (const KernelSet* ks : kernel_sets()) {
        std::uint32_t out[3];
        ks->bilinear(out, 3, img, 1 << 16, 1 << 16, 0x10000, 0);
        EXPECT_EQ(out[0], 0xFDFDFDFDu) << ks->name; // 253 at whole-pixel positions
        ks->bilinear(out, 3, img, (1 << 16) + 0x8000, (1 << 16) + 0x8000, 0x4000, 0x4000);
        for (std::uint32_t o : out) {
            EXPECT_GE(o & 255u, 251u);
            EXPECT_LE(o & 255u, 253u);
        }
    }
}

} // namespace
} // namespace kestrune::scene
