// AVX2 row loops of the image effects, used when the processor has AVX2. They compute
// exactly what the plain loops compute (the same float operations in the same order, no
// fused multiply-add), eight pixels at a time.
#include "scene/effects_simd.h"

#include <immintrin.h>

#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx2"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx2")
#endif

namespace kestrune::scene::effects {

std::int32_t ripple_row_avx2(const RippleRow& r) {
    const __m256 shift = _mm256_set1_ps(r.shift);
    const __m256 row = _mm256_set1_ps(float(r.y));
    const __m256i byte = _mm256_set1_epi32(255);
    const __m256i lanes = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
    const __m256i minus_one = _mm256_set1_epi32(-1);
    const __m256i width = _mm256_set1_epi32(r.width), height = _mm256_set1_epi32(r.height);
    std::int32_t j = 0;
    for (; j + 8 <= r.width; j += 8) {
        const __m256 d = _mm256_loadu_ps(r.distance + j);
        const __m256i idx = _mm256_and_si256(_mm256_cvttps_epi32(_mm256_sub_ps(d, shift)), byte);
        // Gathers are slow on processors with the gather-data-sampling mitigation: the eight
        // table and pixel loads are plain loads.
        alignas(32) std::int32_t lane[8];
        _mm256_store_si256(reinterpret_cast<__m256i*>(lane), idx);
        const __m256 s =
            _mm256_setr_ps(r.wave[lane[0]], r.wave[lane[1]], r.wave[lane[2]], r.wave[lane[3]],
                           r.wave[lane[4]], r.wave[lane[5]], r.wave[lane[6]], r.wave[lane[7]]);
        const __m256 c = _mm256_loadu_ps(r.cosine + j);
        const __m256 n = _mm256_loadu_ps(r.sine + j);
        const __m256 column = _mm256_cvtepi32_ps(_mm256_add_epi32(_mm256_set1_epi32(j), lanes));
        const __m256i sx = _mm256_cvttps_epi32(_mm256_add_ps(_mm256_mul_ps(c, s), column));
        const __m256i sy = _mm256_cvttps_epi32(_mm256_sub_ps(row, _mm256_mul_ps(n, s)));
        const __m256i inside = _mm256_and_si256(
            _mm256_and_si256(_mm256_cmpgt_epi32(sx, minus_one), _mm256_cmpgt_epi32(width, sx)),
            _mm256_and_si256(_mm256_cmpgt_epi32(sy, minus_one), _mm256_cmpgt_epi32(height, sy)));
        const __m256i at = _mm256_add_epi32(_mm256_mullo_epi32(sy, width), sx);
        alignas(32) std::int32_t where[8], in[8];
        _mm256_store_si256(reinterpret_cast<__m256i*>(where), at);
        _mm256_store_si256(reinterpret_cast<__m256i*>(in), inside);
        for (int k = 0; k < 8; ++k) r.out[j + k] = in[k] ? r.source[where[k]] : 0;
    }
    return j;
}

} // namespace kestrune::scene::effects

#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif
