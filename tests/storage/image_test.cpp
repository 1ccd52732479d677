// Image decoding: good files of every kind, and damaged ones refused with a message that
// names the file and the format.
#include <atomic>
#include <thread>

#include "image_encoders.h"

namespace kestrune::storage::test {
namespace {

std::uint32_t px(const PixelImage& img, int x, int y) {
    return img.row32(y)[x];
}

std::shared_ptr<PixelImage> decode(const Bytes& b, const char* name = "t.img",
                                   std::string* error = nullptr) {
    return decode_image_data(b.data(), b.size(), name, error);
}

// ---- PNG ----

std::uint32_t rgb_ramp(int x, int y, int c) {
    return std::uint32_t((x * 60 + y * 20 + c * 7) & 0xFF);
}
std::uint32_t index_of(int x, int y, int) {
    return std::uint32_t((x + y) % 3);
}
std::uint32_t grey16(int x, int, int c) {
    return c == 1 ? 0xFFFFu : std::uint32_t(x) * 0x4040u;
}
std::uint32_t rgb16(int x, int y, int c) {
    return c == 0 ? 0xFFFFu : c == 1 ? 0x8080u : std::uint32_t(x + y) * 0x1010u;
}
std::uint32_t bits1(int x, int y, int) {
    return std::uint32_t((x + y) & 1);
}

TEST(PngDecoder, RgbComesOutBgraOpaqueWithItsTrueWidth) {
    PngSpec s;
    s.width = 3; // odd widths are not padded into an extra column
    s.sample = rgb_ramp;
    auto img = decode(make_png(s));
    ASSERT_TRUE(img);
    EXPECT_EQ(img->width, 3);
    EXPECT_EQ(img->height, 3);
    EXPECT_EQ(img->display_width, 3);
    EXPECT_EQ(img->kind, k_kind_png);
    for (int y = 0; y < 3; ++y)
        for (int x = 0; x < 3; ++x) {
            const std::uint32_t r = rgb_ramp(x, y, 0), g = rgb_ramp(x, y, 1), b = rgb_ramp(x, y, 2);
            EXPECT_EQ(px(*img, x, y), 0xFF000000u | r << 16 | g << 8 | b) << x << "," << y;
        }
}

TEST(PngDecoder, StandardVariantsDecode) {
    const std::vector<png_color> palette = {{255, 0, 0}, {0, 255, 0}, {0, 0, 255}};
    struct Case {
        const char* what;
        PngSpec spec;
        std::int32_t kind;
        std::uint32_t pixel00, pixel10; // expected 0xAARRGGBB at (0,0) and (1,0)
    };
    std::vector<Case> cases;
    {
        PngSpec s;
        s.color_type = PNG_COLOR_TYPE_PALETTE;
        s.palette = palette;
        s.sample = index_of;
        cases.push_back({"palette", s, k_kind_png, 0xFFFF0000u, 0xFF00FF00u});
        s.trns = {128, 255};
        cases.push_back(
            {"palette with transparency", s, k_kind_png_alpha, 0x80FF0000u, 0xFF00FF00u});
        s.depth = 2;
        s.trns.clear();
        cases.push_back({"2-bit palette", s, k_kind_png, 0xFFFF0000u, 0xFF00FF00u});
    }
    {
        PngSpec s;
        s.color_type = PNG_COLOR_TYPE_GRAY;
        s.depth = 1;
        s.sample = bits1;
        cases.push_back({"1-bit grey", s, k_kind_png, 0xFF000000u, 0xFFFFFFFFu});
        s.color_type = PNG_COLOR_TYPE_GRAY_ALPHA;
        s.depth = 16;
        s.sample = grey16;
        cases.push_back({"16-bit grey with alpha", s, k_kind_png_alpha, 0xFF000000u, 0xFF404040u});
    }
    {
        PngSpec s;
        s.depth = 16;
        s.sample = rgb16;
        cases.push_back({"16-bit RGB", s, k_kind_png, 0xFFFF8000u, 0xFFFF8010u});
        s.depth = 8;
        s.width = 37;
        s.height = 23;
        s.interlace = true;
        s.sample = rgb_ramp;
        cases.push_back({"interlaced RGB", s, k_kind_png, 0xFF00070Eu, 0xFF3C434Au});
        s.color_type = PNG_COLOR_TYPE_RGB_ALPHA;
        cases.push_back({"interlaced RGBA", s, k_kind_png_alpha, 0x1500070Eu, 0x513C434Au});
    }
    for (const auto& c : cases) {
        std::string error;
        auto img = decode(make_png(c.spec), "variant.png", &error);
        ASSERT_TRUE(img) << c.what << ": " << error;
        EXPECT_EQ(img->width, c.spec.width) << c.what;
        EXPECT_EQ(img->height, c.spec.height) << c.what;
        EXPECT_EQ(img->kind, c.kind) << c.what;
        EXPECT_EQ(px(*img, 0, 0), c.pixel00) << c.what;
        EXPECT_EQ(px(*img, 1, 0), c.pixel10) << c.what;
    }
}

TEST(PngDecoder, InterlacedMatchesNonInterlaced) {
    PngSpec s;
    s.width = 37;
    s.height = 23;
    s.color_type = PNG_COLOR_TYPE_RGB_ALPHA;
    s.sample = rgb_ramp;
    auto plain = decode(make_png(s));
    s.interlace = true;
    auto laced = decode(make_png(s));
    ASSERT_TRUE(plain && laced);
    EXPECT_EQ(plain->pixels, laced->pixels);
}

// ---- JPEG ----

TEST(JpegDecoder, ColourAndGrey) {
    auto colour = decode(make_jpeg(33, 17, 3, 200, 100, 50));
    ASSERT_TRUE(colour);
    EXPECT_EQ(colour->kind, k_kind_jpeg);
    EXPECT_EQ(colour->width, 33);
    EXPECT_EQ(colour->height, 17);
    const std::uint32_t p = px(*colour, 16, 8);
    EXPECT_EQ(p >> 24, 0xFFu);
    EXPECT_NEAR(int((p >> 16) & 0xFF), 200, 4);
    EXPECT_NEAR(int((p >> 8) & 0xFF), 100, 4);
    EXPECT_NEAR(int(p & 0xFF), 50, 4);
    auto grey = decode(make_jpeg(8, 8, 1, 90, 0, 0));
    ASSERT_TRUE(grey);
    const std::uint32_t q = px(*grey, 3, 3);
    EXPECT_EQ(q >> 24, 0xFFu);
    EXPECT_NEAR(int(q & 0xFF), 90, 2);
    EXPECT_EQ((q >> 16) & 0xFF, q & 0xFF);
}

// ---- BMP ----

std::uint32_t bgr_pattern(int x, int y) {
    return std::uint32_t(x * 0x10 | y * 0x1000 | 0x300000);
}
std::uint32_t palette_index(int x, int y) {
    return std::uint32_t((x + y) % 2);
}

TEST(BmpDecoder, BottomUpTopDownPaddedAndPalette) {
    for (bool top_down : {false, true}) {
        auto img = decode(make_bmp(3, 2, 24, top_down, bgr_pattern)); // rows padded to 12 bytes
        ASSERT_TRUE(img) << top_down;
        EXPECT_EQ(img->kind, k_kind_bmp);
        EXPECT_EQ(img->width, 3);
        EXPECT_EQ(img->height, 2);
        for (int y = 0; y < 2; ++y)
            for (int x = 0; x < 3; ++x)
                EXPECT_EQ(px(*img, x, y), 0xFF000000u | bgr_pattern(x, y)) << x << "," << y;
    }
    const Bytes palette = {10, 20, 30, 0, 40, 50, 60, 0};
    auto img = decode(make_bmp(5, 3, 8, false, palette_index, palette));
    ASSERT_TRUE(img);
    EXPECT_EQ(px(*img, 0, 0), 0xFF1E140Au);
    EXPECT_EQ(px(*img, 1, 0), 0xFF3C3228u);
    auto img32 = decode(make_bmp(2, 2, 32, false, bgr_pattern));
    ASSERT_TRUE(img32);
    EXPECT_EQ(px(*img32, 1, 1), 0xFF000000u | bgr_pattern(1, 1));
}

// ---- VKSI ----

class VksiFiles : public StorageTest {};

TEST_F(VksiFiles, WriteThenReadAndLoadGiveTheSamePixels) {
    PixelImage img;
    ASSERT_TRUE(img.allocate(5, 4));
    img.kind = 19;
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 5; ++x) img.row32(y)[x] = 0x80000000u | std::uint32_t(x * 40 + y);
    ASSERT_TRUE(write_vksi(img, path("thum.vkf")));
    auto back = read_vksi(path("thum.vkf"));
    ASSERT_TRUE(back);
    EXPECT_EQ(back->kind, 19);
    EXPECT_EQ(back->width, 5);
    EXPECT_EQ(back->display_height, 4);
    EXPECT_EQ(back->pixels, img.pixels);
    auto loaded = load_image("file:" + path("THUM.VKF"));
    ASSERT_TRUE(loaded);
    EXPECT_EQ(loaded->pixels, img.pixels);
}

// ---- damaged files ----

Bytes cut(Bytes b, std::size_t keep) {
    b.resize(keep);
    return b;
}
Bytes patched32(Bytes b, std::size_t at, std::uint32_t v) {
    put32(b, at, v);
    return b;
}
Bytes vksi_file(std::int32_t w, std::int32_t h, std::size_t pixel_bytes) {
    Bytes b = bytes_of("VKSI");
    put32(b, 4, 0xF1F122C4u);
    put16(b, 8, 1);
    put32(b, 10, std::uint32_t(w));
    put32(b, 14, std::uint32_t(w));
    put32(b, 18, std::uint32_t(h));
    put32(b, 22, std::uint32_t(h));
    b.resize(26 + pixel_bytes, 0x7F);
    return b;
}

TEST(DamagedImages, RefusedWithAMessageNamingFileAndFormat) {
    PngSpec s;
    s.width = 64;
    s.height = 64;
    s.sample = rgb_ramp;
    const Bytes png = make_png(s);
    const Bytes jpeg = make_jpeg(64, 64, 3, 10, 20, 30);
    const Bytes bmp = make_bmp(16, 16, 24, false, bgr_pattern);
    Bytes png_huge = png; // IHDR width at offset 16, big-endian (CRC no longer matches)
    png_huge[16] = 0x7F;
    Bytes jpeg_huge = jpeg; // SOF0 height/width follow the marker 0xFFC0
    for (std::size_t i = 0; i + 8 < jpeg_huge.size(); ++i)
        if (jpeg_huge[i] == 0xFF && jpeg_huge[i + 1] == 0xC0) {
            jpeg_huge[i + 5] = 0xFF;
            jpeg_huge[i + 6] = 0xF0;
            jpeg_huge[i + 7] = 0xFF;
            jpeg_huge[i + 8] = 0xF0;
            break;
        }
    // A text chunk whose header claims 1.9 GB (0x75300000 bytes) in a file of a few
    // hundred: refused at once, nothing allocated for it.
    Bytes png_long_chunk = png;
    const std::uint8_t long_chunk[] = {0x75, 0x30, 0x00, 0x00, 't', 'E',
                                       'X',  't',  'd',  'a',  't', 'e'};
    png_long_chunk.insert(png_long_chunk.begin() + 33, std::begin(long_chunk),
                          std::end(long_chunk));
    struct Case {
        const char* what;
        Bytes data;
        const char* format;
    } cases[] = {
        {"PNG with a chunk longer than the file", png_long_chunk, "past the end of the file"},
        {"PNG cut inside the image data", cut(png, png.size() / 2), "PNG"},
        {"PNG cut inside the header", cut(png, 20), "PNG"},
        {"PNG with a huge width", png_huge, "PNG"},
        {"JPEG cut inside the image data", cut(jpeg, jpeg.size() / 2), "JPEG"},
        {"JPEG cut after its start", cut(jpeg, 11), "JPEG"},
        {"JPEG with huge dimensions", jpeg_huge, "JPEG"},
        {"BMP cut inside the pixels", cut(bmp, bmp.size() - 10), "BMP"},
        {"BMP cut inside the header", cut(bmp, 30), "BMP"},
        {"BMP with huge dimensions", patched32(patched32(bmp, 18, 100000), 22, 100000), "BMP"},
        {"BMP with a pixel offset past the end", patched32(bmp, 10, 0xFFFFFFF0u), "BMP"},
        {"BMP with a header size past the end", patched32(bmp, 14, 0x7FFFFFFFu), "BMP"},
        {"BMP with height INT_MIN", patched32(bmp, 22, 0x80000000u), "BMP"},
        {"BMP with zero width", patched32(bmp, 18, 0), "BMP"},
        {"BMP with 7 bits per pixel",
         [&] {
             Bytes b = bmp;
             put16(b, 28, 7);
             return b;
         }(),
         "BMP"},
        {"BMP with RLE compression", patched32(bmp, 30, 1), "BMP"},
        {"VKSI shorter than its pixels", vksi_file(10, 10, 399), "VKSI"},
        {"VKSI shorter than its header", cut(vksi_file(1, 1, 4), 20), "VKSI"},
        {"VKSI with huge dimensions", vksi_file(65536, 65536, 16), "VKSI"},
        {"VKSI whose size overflows 32 bits", vksi_file(0x40000000, 4, 16), "VKSI"},
        {"VKSI with negative width", vksi_file(-4, 4, 64), "VKSI"},
        {"VKSI with a bad second magic", patched32(vksi_file(1, 1, 4), 4, 0), "VKSI"},
        {"unknown magic", bytes_of("GIF89a......"), "unknown image format"},
    };
    for (const auto& c : cases) {
        std::string error;
        EXPECT_FALSE(decode(c.data, "cg/broken.img", &error)) << c.what;
        EXPECT_NE(error.find("cg/broken.img"), std::string::npos) << c.what << ": " << error;
        EXPECT_NE(error.find(c.format), std::string::npos) << c.what << ": " << error;
    }
    // The boundary: a VKSI holding exactly its pixels is fine.
    EXPECT_TRUE(decode(vksi_file(10, 10, 400)));
}

TEST(ImageDecoders, RunOnSeveralThreadsAtOnce) {
    // The decoders keep no shared state, so image loads need no process-wide lock.
    PngSpec s;
    s.width = 40;
    s.height = 30;
    s.interlace = true;
    s.sample = rgb_ramp;
    const Bytes png = make_png(s);
    const Bytes jpeg = make_jpeg(40, 30, 3, 9, 99, 199);
    auto png_ref = decode(png);
    auto jpeg_ref = decode(jpeg);
    ASSERT_TRUE(png_ref && jpeg_ref);
    std::atomic<int> mismatches{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 25; ++i) {
                auto a = decode(png);
                auto b = decode(jpeg);
                if (!a || !b || a->pixels != png_ref->pixels || b->pixels != jpeg_ref->pixels)
                    ++mismatches;
            }
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(mismatches.load(), 0);
}

// ---- the loader ----

class ImageLoader : public StorageTest {};

TEST_F(ImageLoader, ReportsMissingAndDamagedFilesByName) {
    write_bytes(m_dir / "cg" / "bad.png", cut(make_jpeg(8, 8, 3, 1, 2, 3), 100));
    ::testing::internal::CaptureStderr();
    EXPECT_FALSE(load_image("file:" + path("cg/bad.png")));
    EXPECT_FALSE(load_image("file:" + path("cg/none.png")));
    EXPECT_FALSE(load_image(""));
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("cg/bad.png: invalid JPEG image"), std::string::npos) << err;
    EXPECT_NE(err.find("cg/none.png"), std::string::npos) << err;
}

TEST_F(ImageLoader, PrefixIsAddedUnlessFileColon) {
    PngSpec s;
    s.sample = rgb_ramp;
    write_bytes(m_dir / "pfx" / "a.png", make_png(s));
    set_resource_prefix(path("pfx") + "/");
    EXPECT_TRUE(load_image("a.png"));
    ::testing::internal::CaptureStderr();
    EXPECT_FALSE(load_image("file:a.png"));
    ::testing::internal::GetCapturedStderr();
    EXPECT_TRUE(load_image("file:" + path("pfx/A.PNG")));
}

TEST_F(ImageLoader, CachedImageIsSharedAndOutlivesItsSlot) {
    PngSpec s;
    s.sample = rgb_ramp;
    write_bytes(m_dir / "ev.png", make_png(s));
    const std::string name = "file:" + path("ev.png");
    // LoadFile stores the name the loader will ask for (without "file:").
    ASSERT_TRUE(cache_load(path("ev.png"), true));
    auto a = load_image(name);
    auto b = load_image(name);
    ASSERT_TRUE(a);
    EXPECT_EQ(a.get(), b.get());
    const PixelBytes before = a->pixels;
    ASSERT_TRUE(cache_unload(path("ev.png")));
    EXPECT_EQ(a->pixels, before); // still shown, still alive
    auto c = load_image(name);
    ASSERT_TRUE(c);
    EXPECT_NE(c.get(), a.get()); // decoded afresh once the slot is gone
}

TEST_F(ImageLoader, SpecialNamesComeFromTheCaptureProvider) {
    set_capture_provider([](std::string_view which) -> std::shared_ptr<PixelImage> {
        if (which != "SCREEN") return nullptr;
        auto img = std::make_shared<PixelImage>();
        img->allocate(1024, 576);
        img->kind = k_kind_capture;
        return img;
    });
    auto screen = load_image("SCREEN");
    ASSERT_TRUE(screen);
    EXPECT_EQ(screen->width, 1024);
    ::testing::internal::CaptureStderr();
    EXPECT_FALSE(load_image("SCENE"));
    ::testing::internal::GetCapturedStderr();
    set_capture_provider(nullptr);
}

} // namespace
} // namespace kestrune::storage::test
