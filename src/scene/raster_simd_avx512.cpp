// AVX-512BW row kernels, used when the processor has them (see active_kernels()). As for
// AVX2, everything other files may also instantiate is included before the target switch.
#include "scene/raster_kernels.h"

#include <algorithm>
#include <cstring>
#include <immintrin.h>

// GCC switches the target for what follows; clang needs the attribute on each function.
#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx512f,avx512bw,avx2"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx512f,avx512bw,avx2")
#endif
#define KESTRUNE_KERNEL_AVX512 1
#include "scene/raster_kernels_body.h"
#undef KESTRUNE_KERNEL_AVX512
#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif
