// SSE2 row kernels (the x86-64 baseline) and the choice of kernel set at run time.
#include "scene/raster_kernels.h"

#include <algorithm>
#include <atomic>

#define KESTRUNE_KERNEL_AVX2 0
#include "scene/raster_kernels_body.h"
#undef KESTRUNE_KERNEL_AVX2

namespace kestrune::scene::detail {

namespace {
std::atomic<const KernelSet*> g_forced{nullptr};
}

bool cpu_has_avx2() {
    static const bool has = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx2") != 0;
    }();
    return has;
}

bool cpu_has_avx512() {
    static const bool has = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx512bw") != 0 && __builtin_cpu_supports("avx512f") != 0;
    }();
    return has;
}

const KernelSet& active_kernels() {
    if (const KernelSet* k = g_forced.load(std::memory_order_relaxed)) return *k;
    static const KernelSet& chosen = cpu_has_avx512() ? kernels_avx512()
                                     : cpu_has_avx2() ? kernels_avx2()
                                                      : kernels_sse2();
    return chosen;
}

void use_kernels_for_tests(const KernelSet* k) {
    g_forced.store(k, std::memory_order_relaxed);
}

void sample_nearest(std::uint32_t* out, int n, const PixelImage& img, std::int32_t u,
                    std::int32_t v, std::int32_t du, std::int32_t dv) {
    const std::int32_t wmax = img.width - 1, hmax = img.height - 1;
    auto uu = static_cast<std::uint32_t>(u), vv = static_cast<std::uint32_t>(v);
    // A run whose first and last positions (taken without wrap-around) lie inside the image
    // lies inside it throughout: nothing to clamp.
    const std::int64_t u_end = u + std::int64_t(du) * (n - 1),
                       v_end = v + std::int64_t(dv) * (n - 1);
    const auto inside = [](std::int64_t a, std::int64_t b, std::int32_t size) {
        return std::min(a, b) >= 0 && std::max(a, b) < (std::int64_t(size) << 16);
    };
    if (n > 0 && inside(u, u_end, img.width) && inside(v, v_end, img.height)) {
        const std::uint8_t* const* rows = img.rows.data();
        for (int i = 0; i < n; ++i) {
            out[i] = reinterpret_cast<const std::uint32_t*>(rows[vv >> 16])[uu >> 16];
            uu += static_cast<std::uint32_t>(du);
            vv += static_cast<std::uint32_t>(dv);
        }
        return;
    }
    if (dv == 0) {
        const std::uint32_t* row = img.row32(clamp_to(v >> 16, hmax));
        for (int i = 0; i < n; ++i, uu += static_cast<std::uint32_t>(du))
            out[i] = row[clamp_to(static_cast<std::int32_t>(uu) >> 16, wmax)];
        return;
    }
    for (int i = 0; i < n; ++i) {
        const std::int32_t x = clamp_to(static_cast<std::int32_t>(uu) >> 16, wmax);
        const std::int32_t y = clamp_to(static_cast<std::int32_t>(vv) >> 16, hmax);
        out[i] = img.row32(y)[x];
        uu += static_cast<std::uint32_t>(du);
        vv += static_cast<std::uint32_t>(dv);
    }
}

} // namespace kestrune::scene::detail
