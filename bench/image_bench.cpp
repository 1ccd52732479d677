// Decode time of a 1024x576 PNG and JPEG through the engine's decoders, beside the bare
// library call producing the same BGRA pixels in the same run.
#include <benchmark/benchmark.h>
#include <png.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <jpeglib.h>
#include <vector>

#include "storage/storage.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
constexpr int k_width = 1024;
constexpr int k_height = 576;

// A picture with smooth gradients and some grain, like a background painting.
Bytes make_rgba() {
    Bytes px(std::size_t(k_width) * k_height * 4);
    std::uint32_t seed = 12345;
    for (int y = 0; y < k_height; ++y)
        for (int x = 0; x < k_width; ++x) {
            seed = seed * 1103515245u + 12345u;
            const int grain = int((seed >> 16) & 7) - 4;
            std::uint8_t* p = &px[(std::size_t(y) * k_width + x) * 4];
            p[0] = std::uint8_t(std::clamp(x * 255 / k_width + grain, 0, 255));
            p[1] = std::uint8_t(std::clamp(y * 255 / k_height + grain, 0, 255));
            p[2] = std::uint8_t(std::clamp((x + y) * 255 / (k_width + k_height) + grain, 0, 255));
            p[3] = 255;
        }
    return px;
}

Bytes encode_png(const Bytes& rgba) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    image.width = k_width;
    image.height = k_height;
    image.format = PNG_FORMAT_RGB;
    Bytes rgb;
    for (std::size_t i = 0; i < rgba.size(); i += 4) rgb.insert(rgb.end(), &rgba[i], &rgba[i] + 3);
    png_alloc_size_t size = 0;
    png_image_write_to_memory(&image, nullptr, &size, 0, rgb.data(), 0, nullptr);
    Bytes out(size);
    png_image_write_to_memory(&image, out.data(), &size, 0, rgb.data(), 0, nullptr);
    out.resize(size);
    return out;
}

Bytes encode_jpeg(const Bytes& rgba) {
    jpeg_compress_struct cinfo{};
    jpeg_error_mgr err{};
    cinfo.err = jpeg_std_error(&err);
    jpeg_create_compress(&cinfo);
    unsigned char* mem = nullptr;
    unsigned long mem_size = 0;
    jpeg_mem_dest(&cinfo, &mem, &mem_size);
    cinfo.image_width = k_width;
    cinfo.image_height = k_height;
    cinfo.input_components = 4;
    cinfo.in_color_space = JCS_EXT_RGBX;
    jpeg_set_defaults(&cinfo);
    jpeg_set_quality(&cinfo, 90, TRUE);
    jpeg_start_compress(&cinfo, TRUE);
    while (cinfo.next_scanline < cinfo.image_height) {
        JSAMPROW row =
            const_cast<std::uint8_t*>(&rgba[std::size_t(cinfo.next_scanline) * k_width * 4]);
        jpeg_write_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_compress(&cinfo);
    Bytes out(mem, mem + mem_size);
    jpeg_destroy_compress(&cinfo);
    std::free(mem);
    return out;
}

const Bytes& png_file() {
    static const Bytes b = encode_png(make_rgba());
    return b;
}
const Bytes& jpeg_file() {
    static const Bytes b = encode_jpeg(make_rgba());
    return b;
}

void BM_EnginePng(benchmark::State& state) {
    const Bytes& file = png_file();
    for (auto _ : state) {
        kestrune::PixelImage image;
        std::string error;
        if (!kestrune::storage::decode_png(file.data(), file.size(), "bench.png", image, &error))
            state.SkipWithError(error.c_str());
        benchmark::DoNotOptimize(image.pixels.data());
    }
    state.SetLabel(std::to_string(file.size()) + " bytes");
}

void BM_LibpngSimplifiedBgra(benchmark::State& state) {
    const Bytes& file = png_file();
    Bytes out(std::size_t(k_width) * k_height * 4);
    for (auto _ : state) {
        png_image image{};
        image.version = PNG_IMAGE_VERSION;
        png_image_begin_read_from_memory(&image, file.data(), file.size());
        image.format = PNG_FORMAT_BGRA;
        png_image_finish_read(&image, nullptr, out.data(), 0, nullptr);
        benchmark::DoNotOptimize(out.data());
    }
}

void BM_EngineJpeg(benchmark::State& state) {
    const Bytes& file = jpeg_file();
    for (auto _ : state) {
        kestrune::PixelImage image;
        std::string error;
        if (!kestrune::storage::decode_jpeg(file.data(), file.size(), "bench.jpg", image, &error))
            state.SkipWithError(error.c_str());
        benchmark::DoNotOptimize(image.pixels.data());
    }
    state.SetLabel(std::to_string(file.size()) + " bytes");
}

void BM_LibjpegBareBgra(benchmark::State& state) {
    const Bytes& file = jpeg_file();
    Bytes out(std::size_t(k_width) * k_height * 4);
    for (auto _ : state) {
        jpeg_decompress_struct cinfo{};
        jpeg_error_mgr err{};
        cinfo.err = jpeg_std_error(&err);
        jpeg_create_decompress(&cinfo);
        jpeg_mem_src(&cinfo, file.data(), file.size());
        jpeg_read_header(&cinfo, TRUE);
        cinfo.out_color_space = JCS_EXT_BGRA;
        jpeg_start_decompress(&cinfo);
        while (cinfo.output_scanline < cinfo.output_height) {
            JSAMPROW row = &out[std::size_t(cinfo.output_scanline) * k_width * 4];
            jpeg_read_scanlines(&cinfo, &row, 1);
        }
        jpeg_finish_decompress(&cinfo);
        jpeg_destroy_decompress(&cinfo);
        benchmark::DoNotOptimize(out.data());
    }
}

// The whole road of an image name: find the loose file, read it, sniff, decode.
void BM_EngineLoadImageFromFile(benchmark::State& state) {
    const bool jpeg = state.range(0) != 0;
    const auto dir = std::filesystem::temp_directory_path() / "kestrune-image-bench";
    std::filesystem::create_directories(dir);
    const auto file = dir / (jpeg ? "bg.jpg" : "bg.png");
    const Bytes& bytes = jpeg ? jpeg_file() : png_file();
    std::ofstream(file, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    const std::string name = "file:" + file.string();
    for (auto _ : state) {
        auto image = kestrune::storage::load_image(name);
        if (!image) state.SkipWithError("load failed");
        benchmark::DoNotOptimize(image.get());
    }
    state.SetLabel(jpeg ? "jpeg" : "png");
    std::filesystem::remove_all(dir);
}

BENCHMARK(BM_EnginePng)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LibpngSimplifiedBgra)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_EngineJpeg)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LibjpegBareBgra)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_EngineLoadImageFromFile)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
