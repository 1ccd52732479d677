// Golden images of the text tests: RGB pictures drawn the simple way, compared with PPM
// files under tests/fixtures/text. Set KESTRUNE_UPDATE_GOLDEN=1 to write the golden images
// after a deliberate change; every run also leaves what it drew in the build folder.
#pragma once

#include "storage/pixel_image.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

namespace kestrune::text::testing {

struct Rgb {
    int width = 0, height = 0;
    std::vector<std::uint8_t> data;
};

// Blends a 32-bit image over the picture at (x0, y0) by its alpha, in its own colour or in
// `colour` (0xRRGGBB) when one is given.
inline void blend(Rgb& out, const PixelImage& img, int x0, int y0,
                  std::optional<std::uint32_t> colour = std::nullopt) {
    for (int y = 0; y < img.height; ++y)
        for (int x = 0; x < img.width; ++x) {
            const int tx = x0 + x, ty = y0 + y;
            if (tx < 0 || ty < 0 || tx >= out.width || ty >= out.height) continue;
            const std::uint32_t p = img.row32(y)[x];
            const std::uint32_t a = p >> 24;
            if (!a) continue;
            const std::uint32_t c = colour ? *colour : p;
            std::uint8_t* d = &out.data[std::size_t((ty * out.width + tx) * 3)];
            const std::uint8_t src[3] = {std::uint8_t(c >> 16), std::uint8_t(c >> 8),
                                         std::uint8_t(c)};
            for (int k = 0; k < 3; ++k)
                d[k] = std::uint8_t((src[k] * a + d[k] * (255 - a) + 127) / 255);
        }
}

inline bool read_ppm(const std::string& path, Rgb& img) {
    std::ifstream in(path, std::ios::binary);
    std::string magic;
    int max = 0;
    if (!(in >> magic >> img.width >> img.height >> max) || magic != "P6" || max != 255)
        return false;
    in.get();
    img.data.resize(std::size_t(img.width * img.height * 3));
    return bool(
        in.read(reinterpret_cast<char*>(img.data.data()), std::streamsize(img.data.size())));
}

inline void write_ppm(const std::string& path, const Rgb& img) {
    std::ofstream out(path, std::ios::binary);
    out << "P6\n" << img.width << " " << img.height << "\n255\n";
    out.write(reinterpret_cast<const char*>(img.data.data()), std::streamsize(img.data.size()));
}

inline void expect_golden(const Rgb& got, const std::string& name) {
    const std::string golden = std::string(KESTRUNE_SOURCE_DIR) + "/tests/fixtures/text/" + name;
    write_ppm(std::string(KESTRUNE_BINARY_DIR) + "/" + name, got);
    if (std::getenv("KESTRUNE_UPDATE_GOLDEN")) write_ppm(golden, got);
    Rgb want;
    ASSERT_TRUE(read_ppm(golden, want)) << golden;
    ASSERT_EQ(want.width, got.width);
    ASSERT_EQ(want.height, got.height);
    // FreeType versions differ in the last bits of anti-aliasing: allow small differences,
    // not a moved or missing glyph.
    long total = 0, far = 0;
    for (std::size_t i = 0; i < got.data.size(); ++i) {
        const int d = std::abs(int(got.data[i]) - int(want.data[i]));
        total += d;
        if (d > 48) ++far;
    }
    EXPECT_LT(double(total) / double(got.data.size()), 2.0) << name;
    EXPECT_LT(far, long(got.data.size() / 200)) << name;
}

} // namespace kestrune::text::testing
