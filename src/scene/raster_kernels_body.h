// Body of the row kernels, compiled once per instruction set: by raster_simd.cpp for SSE2,
// by raster_simd_avx2.cpp for AVX2 (KESTRUNE_KERNEL_AVX2) and by raster_simd_avx512.cpp for
// AVX-512BW (KESTRUNE_KERNEL_AVX512). It defines kernels_sse2(), kernels_avx2() or
// kernels_avx512().
//
// Blending works on 16-bit lanes holding one channel each (see blend_block); the bilinear
// sampler widens pixels into two halves of 16-bit lanes (unpack with zero) and narrows
// them back with a saturating pack. Both are exact because every result lies within
// 0..255 and every product of two channels within 0..65535.
// No include guard: this file is meant to be included once per instruction set.

#include "scene/raster_kernels.h"

#include <algorithm>
#include <cstring>
#include <immintrin.h>

namespace kestrune::scene::detail {
namespace {

#if KESTRUNE_KERNEL_AVX512
using Reg = __m512i;
constexpr int N = 16;                     // pixels per register
constexpr unsigned k_all_bytes = 0xFFFFu; // one bit per 32-bit lane here
inline Reg loadu(const void* p) {
    return _mm512_loadu_si512(p);
}
inline void storeu(void* p, Reg v) {
    _mm512_storeu_si512(p, v);
}
// The first n pixels (0 < n < N); the other lanes read as zero and are not written.
inline Reg load_n(const void* p, int n) {
    return _mm512_maskz_loadu_epi32(__mmask16((1u << n) - 1), p);
}
inline void store_n(void* p, Reg v, int n) {
    _mm512_mask_storeu_epi32(p, __mmask16((1u << n) - 1), v);
}
inline Reg zero() {
    return _mm512_setzero_si512();
}
inline Reg lo8(Reg v) {
    return _mm512_unpacklo_epi8(v, zero());
}
inline Reg hi8(Reg v) {
    return _mm512_unpackhi_epi8(v, zero());
}
inline Reg pack16(Reg a, Reg b) {
    return _mm512_packus_epi16(a, b);
}
inline Reg adds8(Reg a, Reg b) {
    return _mm512_adds_epu8(a, b);
}
inline Reg subs8(Reg a, Reg b) {
    return _mm512_subs_epu8(a, b);
}
inline unsigned eq32_mask(Reg a, Reg b) {
    return _mm512_cmpeq_epi32_mask(a, b);
}
// The bits of eq32_mask() that belong to the first n pixels (0 < n < N).
inline unsigned first_lanes(int n) {
    return (1u << n) - 1;
}
inline Reg splat32(std::uint32_t x) {
    return _mm512_set1_epi32(static_cast<int>(x));
}
inline bool all_transparent(Reg s) {
    return _mm512_test_epi32_mask(s, splat32(0xFF000000u)) == 0;
}
inline Reg mulhi16(Reg a, Reg b) {
    return _mm512_mulhi_epu16(a, b);
}
// Each pixel's alpha << 8 in both of its 16-bit lanes.
inline Reg alpha_hi_pairs(Reg s, std::uint32_t) {
    // pshufb indices count within each 128-bit lane: pixels 0..3 have alpha at 3, 7, 11, 15.
    const long long lo = 0x0780078003800380LL, hi = 0x0F800F800B800B80LL;
    return _mm512_shuffle_epi8(s, _mm512_set_epi64(hi, lo, hi, lo, hi, lo, hi, lo));
}
// (x & 0xFF00) | y in 16-bit lanes.
inline Reg high_bytes_or(Reg x, Reg y) {
    return _mm512_ternarylogic_epi32(x, y, _mm512_set1_epi16(short(0xFF00)), 0xEC);
}
#define KESTRUNE_KERNEL_SET_NAME "avx512"
#define KESTRUNE_KERNEL_SET_FN kernels_avx512
#elif KESTRUNE_KERNEL_AVX2
using Reg = __m256i;
constexpr int N = 8; // pixels per register
constexpr unsigned k_all_bytes = 0xFFFFFFFFu;
inline Reg loadu(const void* p) {
    return _mm256_loadu_si256(static_cast<const Reg*>(p));
}
inline void storeu(void* p, Reg v) {
    _mm256_storeu_si256(static_cast<Reg*>(p), v);
}
inline Reg lanes_below(int n) {
    return _mm256_cmpgt_epi32(_mm256_set1_epi32(n), _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7));
}
inline Reg load_n(const void* p, int n) {
    return _mm256_maskload_epi32(static_cast<const int*>(p), lanes_below(n));
}
inline void store_n(void* p, Reg v, int n) {
    _mm256_maskstore_epi32(static_cast<int*>(p), lanes_below(n), v);
}
inline Reg zero() {
    return _mm256_setzero_si256();
}
inline Reg lo8(Reg v) {
    return _mm256_unpacklo_epi8(v, zero());
}
inline Reg hi8(Reg v) {
    return _mm256_unpackhi_epi8(v, zero());
}
inline Reg pack16(Reg a, Reg b) {
    return _mm256_packus_epi16(a, b);
}
inline Reg adds8(Reg a, Reg b) {
    return _mm256_adds_epu8(a, b);
}
inline Reg subs8(Reg a, Reg b) {
    return _mm256_subs_epu8(a, b);
}
inline unsigned eq32_mask(Reg a, Reg b) {
    return static_cast<unsigned>(_mm256_movemask_epi8(_mm256_cmpeq_epi32(a, b)));
}
inline unsigned first_lanes(int n) {
    return (1u << (4 * n)) - 1;
}
inline Reg splat32(std::uint32_t x) {
    return _mm256_set1_epi32(static_cast<int>(x));
}
inline bool all_transparent(Reg s) {
    return _mm256_testz_si256(s, splat32(0xFF000000u));
}
inline Reg mulhi16(Reg a, Reg b) {
    return _mm256_mulhi_epu16(a, b);
}
inline Reg alpha_hi_pairs(Reg s, std::uint32_t) {
    const long long lo = 0x0780078003800380LL, hi = 0x0F800F800B800B80LL;
    return _mm256_shuffle_epi8(s, _mm256_set_epi64x(hi, lo, hi, lo));
}
inline Reg high_bytes_or(Reg x, Reg y) {
    return _mm256_or_si256(_mm256_and_si256(x, _mm256_set1_epi16(short(0xFF00))), y);
}
#define KESTRUNE_KERNEL_SET_NAME "avx2"
#define KESTRUNE_KERNEL_SET_FN kernels_avx2
#else
using Reg = __m128i;
constexpr int N = 4;
constexpr unsigned k_all_bytes = 0xFFFFu;
inline Reg loadu(const void* p) {
    return _mm_loadu_si128(static_cast<const Reg*>(p));
}
inline void storeu(void* p, Reg v) {
    _mm_storeu_si128(static_cast<Reg*>(p), v);
}
inline Reg load_n(const void* p, int n) {
    std::uint32_t t[N] = {};
    std::memcpy(t, p, std::size_t(n) * 4);
    return loadu(t);
}
inline void store_n(void* p, Reg v, int n) {
    std::uint32_t t[N];
    storeu(t, v);
    std::memcpy(p, t, std::size_t(n) * 4);
}
inline Reg zero() {
    return _mm_setzero_si128();
}
inline Reg lo8(Reg v) {
    return _mm_unpacklo_epi8(v, zero());
}
inline Reg hi8(Reg v) {
    return _mm_unpackhi_epi8(v, zero());
}
inline Reg pack16(Reg a, Reg b) {
    return _mm_packus_epi16(a, b);
}
inline Reg adds8(Reg a, Reg b) {
    return _mm_adds_epu8(a, b);
}
inline Reg subs8(Reg a, Reg b) {
    return _mm_subs_epu8(a, b);
}
inline unsigned eq32_mask(Reg a, Reg b) {
    return static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi32(a, b)));
}
inline unsigned first_lanes(int n) {
    return (1u << (4 * n)) - 1;
}
inline Reg splat32(std::uint32_t x) {
    return _mm_set1_epi32(static_cast<int>(x));
}
inline bool all_transparent(Reg s) {
    return _mm_movemask_epi8(_mm_cmpeq_epi32(_mm_and_si128(s, splat32(0xFF000000u)), zero())) ==
           0xFFFF;
}
inline Reg mulhi16(Reg a, Reg b) {
    return _mm_mulhi_epu16(a, b);
}
inline Reg alpha_hi_pairs(Reg, std::uint32_t) {
    return zero();
} // SSE2 has no pshufb
inline Reg high_bytes_or(Reg x, Reg y) {
    return _mm_or_si128(_mm_and_si128(x, _mm_set1_epi16(short(0xFF00))), y);
}
#define KESTRUNE_KERNEL_SET_NAME "sse2"
#define KESTRUNE_KERNEL_SET_FN kernels_sse2
#endif

typedef std::uint16_t U16 __attribute__((vector_size(sizeof(Reg))));
typedef std::int16_t S16 __attribute__((vector_size(sizeof(Reg))));
typedef std::uint32_t U32 __attribute__((vector_size(sizeof(Reg))));
typedef std::uint64_t U64 __attribute__((vector_size(sizeof(Reg))));

// Same-size vector casts reinterpret the bits.
inline U16 u16(Reg r) {
    return (U16)r;
}
inline Reg reg(U16 v) {
    return (Reg)v;
}
inline Reg reg(U32 v) {
    return (Reg)v;
}
inline U32 u32(Reg r) {
    return (U32)r;
}

// Each 32-bit lane's low byte repeated into all four bytes.
inline Reg bytes_of(U32 x) {
    x |= x << 8;
    x |= x << 16;
    return reg(x);
}

// Channels are split by byte parity instead of being unpacked: viewed as 16-bit lanes, a
// register's low bytes are the blue and red channels ("even") and its high bytes the green
// and alpha channels ("odd"); masks and shifts split and rejoin them without shuffles.
// The odd lanes that hold alpha: the upper half of every 32-bit pixel.
inline U16 odd_alpha_lanes() {
    U32 m{};
    m += 0xFFFF0000u;
    return (U16)m;
}

// d + floor((x - d) * w / 256) as ((d << 8) + (x - d) * w) >> 8 in 16-bit lanes: the
// product may wrap, but the true sum lies in 0..65280, so the wrapped sum is exact.
inline U16 towards(U16 x, U16 d, U16 w) {
    return ((d << 8) + (x - d) * w) >> 8;
}

// One parity's result (0..255 in each lane's low byte). For add and sub only the product
// s * w >> 8 is returned; the caller saturates on bytes.
inline U16 blend_lanes(int op, U16 s, U16 d, U16 w, U16 alpha_lanes) {
    switch (op) {
    case op_normal:
        return towards(s, d, w);
    case op_mul:
        return towards((s * d) >> 8, d, w);
    case op_overlay: {
        const U16 lo = (s * d) >> 7;
        const U16 hi = 255 - (((255 - s) * (255 - d)) >> 7);
        // Colour channels take the dark branch up to 127; the alpha channel only at 0.
        const S16 ds = (S16)d;
        const U16 dark = ((U16)(ds <= 127) & ~alpha_lanes) | ((U16)(ds == 0) & alpha_lanes);
        return towards((lo & dark) | (hi & ~dark), d, w);
    }
    default:
        return (s * w) >> 8;
    }
}

// One register of pixels; with Part only the first `count` (0 < count < N): the rest read
// as transparent and are left alone.
template <int Op, bool Trans, bool Mask, bool Rule, bool Part = false>
inline void blend_block(std::uint8_t* dst, const std::uint32_t* src, const std::uint8_t* mask,
                        const std::uint8_t* rule, const std::uint8_t* table, unsigned P,
                        int count = N) {
    constexpr bool k_store_opaque = Op == op_normal && !Trans && !Mask && !Rule;
    auto load = [count](const void* p) { return Part ? load_n(p, count) : loadu(p); };
    auto store = [count](void* p, Reg v) {
        if (Part)
            store_n(p, v, count);
        else
            storeu(p, v);
    };
    const Reg s = load(src);
    if (all_transparent(s)) return; // nothing changes
    const U32 sa = u32(s) & 0xFF000000u;
    if constexpr (k_store_opaque) {
        // Only the lanes stored count: the rest of a part reads as transparent.
        const unsigned want = Part ? first_lanes(count) : k_all_bytes;
        if ((eq32_mask(reg(sa), splat32(0xFF000000u)) & want) == want) {
            store(dst, s);
            return;
        }
    }
    const U16 sv = u16(s);
    const U16 se = sv & 0xFF, so = sv >> 8;
    if constexpr ((Op == op_add || Op == op_sub) && !Trans && !Mask && !Rule) {
        // (s * a) >> 8 as the high half of s * (a << 8), a << 8 in both lanes of a pixel;
        // for the odd bytes the high half of (s << 8) * (a << 8) is s * a, whose high byte
        // is already in place.
        const Reg a8 = N == 4 ? reg(U32(sa | (sa >> 16))) : alpha_hi_pairs(s, 0);
        const Reg te = mulhi16(reg(se), a8);
        const Reg t = high_bytes_or(mulhi16(reg(U16(sv & 0xFF00)), a8), te);
        const Reg d = load(dst);
        store(dst, Op == op_add ? adds8(d, t) : subs8(d, t));
        return;
    }
    const U32 a = sa >> 24;
    U16 w = (U16)(a | (a << 16)); // the pixel's weight in both of its lanes
    if (Trans) w = (w * static_cast<std::uint16_t>(P)) >> 8;
    if (Rule) {
        U32 t;
        std::uint32_t tv[N];
        for (int k = 0; k < N; ++k) tv[k] = !Part || k < count ? table[rule[k]] : 0;
        std::memcpy(&t, tv, sizeof t);
        w = (w * (U16)(t | (t << 16))) >> 8;
    }
    U16 we = w, wo = w;
    if (Mask) {
        U32 l = u32(load(mask));
        // A layer pixel whose colour is zero blocks the pixel entirely, alpha included.
        l &= ~(U32)((l & 0xFFFFFFu) == 0);
        const U16 lv = (U16)l;
        we = (w * (lv & 0xFF)) >> 8;
        wo = (w * (lv >> 8)) >> 8;
    }
    const Reg d = load(dst);
    const U16 dv = u16(d);
    const U16 re = blend_lanes(Op, se, dv & 0xFF, we, U16{});
    const U16 ro = blend_lanes(Op, so, dv >> 8, wo, odd_alpha_lanes());
    Reg r = reg(U16(re | (ro << 8)));
    if (Op == op_add) r = adds8(d, r);
    if (Op == op_sub) r = subs8(d, r);
    if (k_store_opaque) {
        const U32 opaque = (U32)(sa == 0xFF000000u);
        r = reg((u32(s) & opaque) | (u32(r) & ~opaque));
    }
    store(dst, r);
}

template <int Op, bool Trans, bool Mask, bool Rule>
void blend_row(std::uint8_t* dst, const std::uint32_t* src, int n, const BlendParams& p) {
    const unsigned P = p.alpha;
    auto part = [&](int i, int count) {
        blend_block<Op, Trans, Mask, Rule, true>(dst + 4 * i, src + i,
                                                 Mask ? p.mask + 4 * i : nullptr,
                                                 Rule ? p.rule + i : nullptr, p.table, P, count);
    };
    int i = 0;
    // Whole registers start on a register-sized boundary of the destination, so that no
    // load or store of it straddles two cache lines; the pixels before it form a part.
    const auto misaligned = int((reinterpret_cast<std::uintptr_t>(dst) / 4) % N);
    if (misaligned && n > N) {
        i = N - misaligned;
        part(0, i);
    }
#pragma GCC unroll 2
    for (; i + N <= n; i += N) {
        blend_block<Op, Trans, Mask, Rule>(dst + 4 * i, src + i, Mask ? p.mask + 4 * i : nullptr,
                                           Rule ? p.rule + i : nullptr, p.table, P);
    }
    if (i < n) part(i, n - i);
}

inline std::int32_t clamp_to(std::int32_t x, std::int32_t hi) {
    return x < 0 ? 0 : (x > hi ? hi : x);
}

// Bilinear sampling with weights 255 - f and f (not 256 - f): an opaque channel of 255
// comes out as 253 even at whole-pixel positions, as the engine's pictures always were.
void sample_bilinear(std::uint32_t* out, int n, const PixelImage& img, std::int32_t u,
                     std::int32_t v, std::int32_t du, std::int32_t dv) {
    const std::int32_t wmax = img.width - 1, hmax = img.height - 1;
    std::uint32_t uu = static_cast<std::uint32_t>(u), vv = static_cast<std::uint32_t>(v);
    for (int i = 0; i < n; i += N) {
        alignas(32) std::uint32_t p00[N], p01[N], p10[N], p11[N], fx[N], fy[N], res[N];
        for (int k = 0; k < N; ++k) {
            const auto su = static_cast<std::int32_t>(uu), sv = static_cast<std::int32_t>(vv);
            const std::int32_t x = su >> 16, y = sv >> 16;
            const std::int32_t x0 = clamp_to(x, wmax), x1 = clamp_to(x + 1, wmax);
            const std::uint32_t* r0 = img.row32(clamp_to(y, hmax));
            const std::uint32_t* r1 = img.row32(clamp_to(y + 1, hmax));
            p00[k] = r0[x0];
            p01[k] = r0[x1];
            p10[k] = r1[x0];
            p11[k] = r1[x1];
            fx[k] = (static_cast<std::uint32_t>(su) >> 8) & 255u;
            fy[k] = (static_cast<std::uint32_t>(sv) >> 8) & 255u;
            uu += static_cast<std::uint32_t>(du);
            vv += static_cast<std::uint32_t>(dv);
        }
        const Reg a = loadu(p00), b = loadu(p01), c = loadu(p10), e = loadu(p11);
        const Reg fxb = bytes_of(u32(loadu(fx))), fyb = bytes_of(u32(loadu(fy)));
        Reg half[2];
        for (int h = 0; h < 2; ++h) {
            auto widen = [h](Reg r) { return u16(h ? hi8(r) : lo8(r)); };
            const U16 wx = widen(fxb), wy = widen(fyb);
            const U16 top = (((255 - wx) * widen(a)) >> 8) + ((wx * widen(b)) >> 8);
            const U16 bot = (((255 - wx) * widen(c)) >> 8) + ((wx * widen(e)) >> 8);
            half[h] = reg(U16(((top * (255 - wy)) >> 8) + ((bot * wy) >> 8)));
        }
        storeu(res, pack16(half[0], half[1]));
        std::memcpy(out + i, res, std::size_t(std::min(N, n - i)) * 4);
    }
}

#define KESTRUNE_BLEND_VARIANTS(op, tr)                                                            \
    {                                                                                              \
        &blend_row<op, tr, false, false>, &blend_row<op, tr, true, false>,                         \
            &blend_row<op, tr, false, true>, &blend_row<op, tr, true, true>                        \
    }
#define KESTRUNE_BLEND_OP(op)                                                                      \
    { KESTRUNE_BLEND_VARIANTS(op, false), KESTRUNE_BLEND_VARIANTS(op, true) }

} // namespace

const KernelSet& KESTRUNE_KERNEL_SET_FN() {
    static const KernelSet k = {KESTRUNE_KERNEL_SET_NAME,
                                {KESTRUNE_BLEND_OP(op_normal), KESTRUNE_BLEND_OP(op_add),
                                 KESTRUNE_BLEND_OP(op_sub), KESTRUNE_BLEND_OP(op_overlay),
                                 KESTRUNE_BLEND_OP(op_mul)},
                                &sample_bilinear};
    return k;
}

#undef KESTRUNE_BLEND_OP
#undef KESTRUNE_BLEND_VARIANTS
#undef KESTRUNE_KERNEL_SET_NAME
#undef KESTRUNE_KERNEL_SET_FN

} // namespace kestrune::scene::detail
