// AVX2 row kernels, used when the processor has AVX2 (see active_kernels()). Everything
// that other files may also instantiate is included before the target switch, so that
// no AVX2 copy of a shared inline function can leak into the rest of the program.
#include "scene/raster_kernels.h"

#include <algorithm>
#include <cstring>
#include <immintrin.h>

// GCC switches the target for what follows; clang needs the attribute on each function.
#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx2"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx2")
#endif
#define KESTRUNE_KERNEL_AVX2 1
#include "scene/raster_kernels_body.h"
#undef KESTRUNE_KERNEL_AVX2
#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif
