// Small lossless movie clips made by the tests themselves: FFV1 pictures in packed
// blue, green, red (so that decoded pixels are exactly the colours written), optionally
// with a 16-bit PCM sound track, in a Matroska file.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace kestrune::testing {

struct ClipSpec {
    int width = 32;
    int height = 32;
    int frames = 4;
    int fps = 10;
    // Colour (0xRRGGBB) of pixel (x, y) in frame n.
    std::function<std::uint32_t(int n, int x, int y)> colour;
    // With sound: a square wave of this amplitude (0: no sound track at all).
    int tone_amplitude = 0;
};

// Writes the clip; false (with a test failure) when FFmpeg refused.
bool write_clip(const std::string& path, const ClipSpec& spec);

} // namespace kestrune::testing
