// Golden scenes: each is drawn by the rasteriser (on one thread and split over the two
// workers) and by the scalar reference, and all three must equal the expected PNG under
// tests/fixtures/raster/ byte for byte. The PNGs come from the reference: with
// KESTRUNE_UPDATE_FIXTURES=1 in the environment the test writes them afresh.
#include "raster_reference.h"
#include "scene/frame_buffer.h"
#include "scene/raster.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace kestrune::scene {
namespace {

constexpr int k_w = 160, k_h = 120;

// Gradient background with varied alpha (including 0, for overlay's alpha rule).
void fill_background(PixelImage& img) {
    img.allocate(k_w, k_h);
    for (int y = 0; y < k_h; ++y)
        for (int x = 0; x < k_w; ++x) {
            const std::uint32_t b = std::uint32_t(x * 255 / (k_w - 1));
            const std::uint32_t g = std::uint32_t(y * 255 / (k_h - 1));
            const std::uint32_t r = std::uint32_t((x + 2 * y) & 255);
            const std::uint32_t a = x < 8 ? 0 : std::uint32_t(255 - y);
            img.row32(y)[x] = b | g << 8 | r << 16 | a << 24;
        }
}

// A sprite with a transparent border, an opaque middle and an alpha ramp in between.
std::unique_ptr<PixelImage> make_sprite() {
    auto img = std::make_unique<PixelImage>();
    img->allocate(48, 40);
    for (int y = 0; y < 40; ++y)
        for (int x = 0; x < 48; ++x) {
            std::uint32_t a = 0;
            if (x >= 3 && x < 45 && y >= 3 && y < 37)
                a = (x >= 16 && x < 32) ? 255 : std::uint32_t(x * 5 + y * 2);
            const std::uint32_t b = std::uint32_t(255 - x * 5), g = std::uint32_t(y * 6),
                                r = std::uint32_t((x * y) & 255);
            img->row32(y)[x] = b | g << 8 | r << 16 | (a & 255) << 24;
        }
    return img;
}

struct Scene {
    const char* name;
    std::function<void(Drawable&)> setup;
    const CameraView* camera = nullptr;
    bool mask = false;
    bool rule = false;
};

std::vector<std::uint8_t> make_mask() {
    std::vector<std::uint8_t> m(std::size_t(k_screen_width) * k_screen_height * 4);
    for (int y = 0; y < k_screen_height; ++y)
        for (int x = 0; x < k_screen_width; ++x) {
            std::uint8_t* p = &m[(std::size_t(y) * k_screen_width + x) * 4];
            const bool hole = ((x / 6) + (y / 6)) % 3 == 0;
            p[0] = hole ? 0 : std::uint8_t(x * 3);
            p[1] = hole ? 0 : 255;
            p[2] = hole ? 0 : std::uint8_t(y * 4);
            p[3] = std::uint8_t(200 + x % 50);
        }
    return m;
}

std::vector<std::uint8_t> make_rule() {
    std::vector<std::uint8_t> m(std::size_t(k_screen_width) * k_screen_height);
    for (int y = 0; y < k_screen_height; ++y)
        for (int x = 0; x < k_screen_width; ++x)
            m[std::size_t(y) * k_screen_width + x] = std::uint8_t((x * 2 + y) & 255);
    return m;
}

std::vector<std::uint8_t> make_table() {
    std::vector<std::uint8_t> t(256);
    for (int i = 0; i < 256; ++i)
        t[std::size_t(i)] = i < 100 ? 255 : (i < 180 ? std::uint8_t((180 - i) * 3) : 0);
    return t;
}

std::vector<Scene> scenes() {
    std::vector<Scene> s;
    const std::pair<const char*, std::uint16_t> modes[] = {{"normal", k_blend_normal},
                                                           {"add", k_blend_add},
                                                           {"sub", k_blend_sub},
                                                           {"overlay", k_blend_overlay},
                                                           {"mul", k_blend_mul}};
    for (auto [name, mode] : modes) {
        const std::uint16_t m = mode;
        s.push_back({nullptr, [m](Drawable& d) { set_blend_mode(d, m); }});
        s.back().name = name;
        s.push_back({nullptr, [m](Drawable& d) {
                         set_blend_mode(d, m);
                         d.alpha = 150;
                     }});
        s.back().name = nullptr; // named below
    }
    static const char* const names[] = {"normal_opaque",   "normal_translucent",  "add_opaque",
                                        "add_translucent", "sub_opaque",          "sub_translucent",
                                        "overlay_opaque",  "overlay_translucent", "mul_opaque",
                                        "mul_translucent"};
    for (std::size_t i = 0; i < s.size(); ++i) s[i].name = names[i];
    s.push_back({"mask_layer", [](Drawable& d) { d.alpha = 220; }, nullptr, true});
    s.push_back({"rule_map", [](Drawable&) {}, nullptr, false, true});
    s.push_back({"rotation", [](Drawable& d) { d.geometry.rot_z = 30; }});
    s.push_back({"zoom", [](Drawable& d) {
                     d.geometry.scale_x = 1800;
                     d.geometry.scale_y = 1500;
                 }});
    s.push_back({"smoothing", [](Drawable& d) {
                     set_blend_mode(d, k_blend_normal | k_blend_smoothing);
                     d.geometry.rot_z = -20;
                     d.geometry.scale_x = 1300;
                     d.geometry.scale_y = 1300;
                 }});
    static const CameraView camera{-92, -50, 1000};
    s.push_back({"camera", [](Drawable& d) { d.geometry.depth = 200; }, &camera});
    return s;
}

std::string fixture_path(const char* name) {
    return std::string(KESTRUNE_SOURCE_DIR) + "/tests/fixtures/raster/" + name + ".png";
}

// Catches: any change in what a scene looks like, and any disagreement between the
// kernels, the worker split and the plain formulas.
TEST(RasterGolden, ScenesMatchReferenceAndFixtures) {
    const bool update = std::getenv("KESTRUNE_UPDATE_FIXTURES") != nullptr;
    const auto mask_px = make_mask();
    const auto rule_px = make_rule();
    const auto table = make_table();
    const MaskLayer mask{mask_px.data()};
    const RuleMap rule{rule_px.data(), k_screen_width, table.data()};
    start_raster_workers();
    for (const Scene& sc : scenes()) {
        SCOPED_TRACE(sc.name);
        auto d = create_drawable(make_sprite());
        d->x = 50;
        d->y = 35;
        sc.setup(*d);
        project(*d, sc.camera);

        PixelImage expect;
        fill_background(expect);
        const ClipRect all{0, 0, k_w, k_h};
        const MaskLayer* m = sc.mask ? &mask : nullptr;
        const RuleMap* r = sc.rule ? &rule : nullptr;
        EXPECT_EQ(ref::draw(*d, target_of(expect), all, m, r), 1);
        std::vector<const detail::KernelSet*> sets{&detail::kernels_sse2()};
        if (detail::cpu_has_avx2()) sets.push_back(&detail::kernels_avx2());
        if (detail::cpu_has_avx512()) sets.push_back(&detail::kernels_avx512());
        for (const detail::KernelSet* ks : sets) {
            detail::use_kernels_for_tests(ks);
            PixelImage single, split;
            fill_background(single);
            fill_background(split);
            set_raster_worker_count_for_tests(1);
            EXPECT_EQ(draw(*d, target_of(single), all, m, r), 1);
            set_raster_worker_count_for_tests(2);
            set_raster_split_all_for_tests(true);
            EXPECT_EQ(draw(*d, target_of(split), all, m, r), 1);
            set_raster_split_all_for_tests(false);
            EXPECT_TRUE(single.pixels == expect.pixels)
                << ks->name << ": single thread differs from reference";
            EXPECT_TRUE(split.pixels == expect.pixels)
                << ks->name << ": worker split differs from reference";
        }
        detail::use_kernels_for_tests(nullptr);

        const std::string path = fixture_path(sc.name);
        if (update) {
            std::filesystem::create_directories(std::filesystem::path(path).parent_path());
            ASSERT_TRUE(
                write_png_bgra(path.c_str(), expect.pixels.data(), k_w, k_h, k_w * 4, true));
        }
        PixelImage golden;
        ASSERT_TRUE(read_png_bgra(path.c_str(), golden))
            << path << " missing; run with KESTRUNE_UPDATE_FIXTURES=1 to make it";
        EXPECT_TRUE(golden.pixels == expect.pixels) << "reference differs from " << path;
        EXPECT_NE(expect.pixels, [] {
            PixelImage bg;
            fill_background(bg);
            return bg.pixels;
        }()) << "scene draws nothing";
    }
    stop_raster_workers();
}

} // namespace
} // namespace kestrune::scene
