// Test images made in code: PNG through libpng's writer (every colour type, bit depth and
// interlacing), JPEG through libjpeg, BMP and VKSI by hand.
#pragma once

#include <png.h>

#include <cstdio>
#include <cstring>
#include <jpeglib.h>

#include "storage_test_util.h"

namespace kestrune::storage::test {

struct PngSpec {
    int width = 4;
    int height = 3;
    int color_type = PNG_COLOR_TYPE_RGB;
    int depth = 8;
    bool interlace = false;
    std::vector<png_color> palette;
    std::vector<std::uint8_t> trns; // palette alphas
    // Sample value for pixel (x, y), channel c, scaled to the bit depth by the writer.
    std::uint32_t (*sample)(int x, int y, int c) = nullptr;
};

inline void png_write_to_vector(png_structp png, png_bytep data, png_size_t len) {
    auto* out = static_cast<Bytes*>(png_get_io_ptr(png));
    out->insert(out->end(), data, data + len);
}
inline void png_flush_nothing(png_structp) {}

inline Bytes make_png(const PngSpec& s) {
    Bytes out;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        return {};
    }
    png_set_write_fn(png, &out, png_write_to_vector, png_flush_nothing);
    png_set_IHDR(png, info, png_uint_32(s.width), png_uint_32(s.height), s.depth, s.color_type,
                 s.interlace ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    if (!s.palette.empty()) png_set_PLTE(png, info, s.palette.data(), int(s.palette.size()));
    if (!s.trns.empty()) png_set_tRNS(png, info, s.trns.data(), int(s.trns.size()), nullptr);
    png_write_info(png, info);
    const int channels = png_get_channels(png, info);
    const std::size_t rowbytes = png_get_rowbytes(png, info);
    std::vector<Bytes> rows(std::size_t(s.height), Bytes(rowbytes, 0));
    for (int y = 0; y < s.height; ++y) {
        for (int x = 0; x < s.width; ++x)
            for (int c = 0; c < channels; ++c) {
                const std::uint32_t v = s.sample(x, y, c);
                const std::size_t bit = (std::size_t(x) * channels + c) * s.depth;
                Bytes& r = rows[std::size_t(y)];
                if (s.depth == 16) {
                    r[bit / 8] = std::uint8_t(v >> 8);
                    r[bit / 8 + 1] = std::uint8_t(v);
                } else if (s.depth == 8) {
                    r[bit / 8] = std::uint8_t(v);
                } else {
                    r[bit / 8] |= std::uint8_t(v << (8 - s.depth - bit % 8));
                }
            }
    }
    std::vector<png_bytep> pointers;
    for (auto& r : rows) pointers.push_back(r.data());
    png_write_image(png, pointers.data());
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return out;
}

// A colour JPEG (components 3) or grey one (1) of a flat colour.
inline Bytes make_jpeg(int width, int height, int components, std::uint8_t r, std::uint8_t g,
                       std::uint8_t b, int quality = 95) {
    jpeg_compress_struct cinfo{};
    jpeg_error_mgr err{};
    cinfo.err = jpeg_std_error(&err);
    jpeg_create_compress(&cinfo);
    unsigned char* mem = nullptr;
    unsigned long mem_size = 0;
    jpeg_mem_dest(&cinfo, &mem, &mem_size);
    cinfo.image_width = JDIMENSION(width);
    cinfo.image_height = JDIMENSION(height);
    cinfo.input_components = components;
    cinfo.in_color_space = components == 3 ? JCS_RGB : JCS_GRAYSCALE;
    jpeg_set_defaults(&cinfo);
    jpeg_set_quality(&cinfo, quality, TRUE);
    jpeg_start_compress(&cinfo, TRUE);
    Bytes row(std::size_t(width) * std::size_t(components));
    for (int x = 0; x < width; ++x) {
        if (components == 3) {
            row[std::size_t(x) * 3] = r;
            row[std::size_t(x) * 3 + 1] = g;
            row[std::size_t(x) * 3 + 2] = b;
        } else {
            row[std::size_t(x)] = r;
        }
    }
    while (cinfo.next_scanline < cinfo.image_height) {
        JSAMPROW p = row.data();
        jpeg_write_scanlines(&cinfo, &p, 1);
    }
    jpeg_finish_compress(&cinfo);
    Bytes out(mem, mem + mem_size);
    jpeg_destroy_compress(&cinfo);
    std::free(mem);
    return out;
}

inline void put32(Bytes& b, std::size_t at, std::uint32_t v) {
    if (b.size() < at + 4) b.resize(at + 4);
    for (int i = 0; i < 4; ++i) b[at + std::size_t(i)] = std::uint8_t(v >> (8 * i));
}
inline void put16(Bytes& b, std::size_t at, std::uint16_t v) {
    if (b.size() < at + 2) b.resize(at + 2);
    b[at] = std::uint8_t(v);
    b[at + 1] = std::uint8_t(v >> 8);
}

// A BMP with a 40-byte header. pixel(x, y) gives the stored bytes of a pixel at image row
// y (top = 0); rows are stored bottom-up unless top_down.
inline Bytes make_bmp(int width, int height, int bpp, bool top_down,
                      std::uint32_t (*pixel)(int x, int y), const Bytes& palette = {}) {
    const std::size_t stride = (std::size_t(width) * bpp + 31) / 32 * 4;
    const std::size_t offset = 54 + palette.size();
    Bytes b(offset + stride * std::size_t(height), 0);
    b[0] = 'B';
    b[1] = 'M';
    put32(b, 2, std::uint32_t(b.size()));
    put32(b, 10, std::uint32_t(offset));
    put32(b, 14, 40);
    put32(b, 18, std::uint32_t(width));
    put32(b, 22, std::uint32_t(top_down ? -height : height));
    put16(b, 26, 1);
    put16(b, 28, std::uint16_t(bpp));
    put32(b, 46, std::uint32_t(palette.size() / 4));
    std::copy(palette.begin(), palette.end(), b.begin() + 54);
    for (int y = 0; y < height; ++y) {
        const int stored = top_down ? y : height - 1 - y;
        std::uint8_t* row = b.data() + offset + stride * std::size_t(stored);
        for (int x = 0; x < width; ++x) {
            const std::uint32_t v = pixel(x, y);
            for (int i = 0; i < bpp / 8; ++i)
                row[std::size_t(x) * std::size_t(bpp / 8) + std::size_t(i)] =
                    std::uint8_t(v >> (8 * i));
        }
    }
    return b;
}

} // namespace kestrune::storage::test
