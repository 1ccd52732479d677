// Row loops of the image effects that have processor-specific versions (internal to
// scene/). Each returns how many pixels of the row it did, from the left; the caller does
// the rest with its plain loop.
#pragma once

#include <cstdint>

namespace kestrune::scene::effects {

// One row of the ripple: pixel j of row y takes the source pixel displaced by the wave at
// its distance (less the phase shift) along its polar angle, or transparent black when that
// falls outside the image. The source's rows are `width` pixels apart.
struct RippleRow {
    const float* distance; // the row's distances times the factor
    const float* cosine;   // the row's cosines and sines of the polar angles
    const float* sine;
    const float* wave; // 256 wave heights
    const std::uint32_t* source;
    std::uint32_t* out;
    float shift;
    std::int32_t y, width, height;
};
std::int32_t ripple_row_avx2(const RippleRow& r);

} // namespace kestrune::scene::effects
