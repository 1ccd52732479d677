// AVX2 row kernels, used when the processor has AVX2 (see active_kernels()). Everything
// that other files may also instantiate is included before the target switch, so that
// no AVX2 copy of a shared inline function can leak into the rest of the program.
#include "scene/raster_kernels.h"

#include <algorithm>
#include <cstring>
#include <immintrin.h>

#pragma GCC push_options
#pragma GCC target("avx2")
#define KESTRUNE_KERNEL_AVX2 1
#include "scene/raster_kernels_body.h"
#undef KESTRUNE_KERNEL_AVX2
#pragma GCC pop_options
