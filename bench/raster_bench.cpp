// Rasteriser throughput against pixman on the same 1024x576 images in the same run.
//
// Each case draws a full-screen straight-alpha source (alpha varying over the whole range)
// onto an opaque full-screen background; pixman does the matching operation on the
// premultiplied copy of the source:
//   normal_a255     normal blend, axis-aligned          vs pixman OVER, identity
//   normal_a128     normal blend, drawable alpha 128     vs pixman OVER with a solid 50% mask
//   add             add blend                            vs pixman ADD
//   rot10_zoom1.2   rotated 10 degrees, scaled 1.2, smoothing
//                                                        vs pixman OVER, bilinear affine
// The kestrune cases run once on one thread and once split over both workers. Throughput
// is the destination frame (1024 x 576 pixels) per draw, in megapixels per second; a table
// of ratios (kestrune / pixman) is printed at the end.
#include "scene/raster.h"

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#ifdef KESTRUNE_HAVE_PIXMAN
#include <pixman.h>
#endif

using namespace kestrune;
using namespace kestrune::scene;

namespace {

constexpr int k_w = k_screen_width, k_h = k_screen_height;
constexpr double k_frame_mp = double(k_w) * k_h / 1e6;

struct Images {
    PixelImage source;     // straight alpha
    PixelImage background; // opaque
    std::vector<std::uint32_t> source_premul;
    Images() {
        source.allocate(k_w, k_h);
        background.allocate(k_w, k_h);
        source_premul.resize(std::size_t(k_w) * k_h);
        for (int y = 0; y < k_h; ++y)
            for (int x = 0; x < k_w; ++x) {
                const std::uint32_t a = std::uint32_t((x * 7 + y * 3) & 255);
                const std::uint32_t b = std::uint32_t(x & 255), g = std::uint32_t(y & 255),
                                    r = std::uint32_t((x ^ y) & 255);
                source.row32(y)[x] = b | g << 8 | r << 16 | a << 24;
                source_premul[std::size_t(y) * k_w + x] =
                    (b * a / 255) | (g * a / 255) << 8 | (r * a / 255) << 16 | a << 24;
                background.row32(y)[x] = 0xFF000000u | std::uint32_t((x + y) & 255) * 0x010101u;
            }
    }
};

Images& images() {
    static Images i;
    return i;
}

enum class Case { normal_a255, normal_a128, add, rotated };

void setup_drawable(Drawable& d, Case c) {
    d.x = 0;
    d.y = 0;
    if (c == Case::normal_a128) d.alpha = 128;
    if (c == Case::add) set_blend_mode(d, k_blend_add);
    if (c == Case::rotated) {
        set_blend_mode(d, k_blend_normal | k_blend_smoothing);
        d.geometry.rot_z = 10;
        d.geometry.scale_x = 1200;
        d.geometry.scale_y = 1200;
    }
    project(d);
}

void bm_kestrune(benchmark::State& state, Case c, bool workers) {
    auto d = create_drawable(&images().source);
    setup_drawable(*d, c);
    PixelImage dst;
    dst.allocate(k_w, k_h);
    std::memcpy(dst.pixels.data(), images().background.pixels.data(), dst.pixels.size());
    if (workers) {
        start_raster_workers();
        set_raster_worker_count_for_tests(2);
        if (raster_worker_count() != 2) {
            state.SkipWithError("no second worker on this machine");
            return;
        }
    } else {
        set_raster_worker_count_for_tests(1);
    }
    const ClipRect all{0, 0, k_w, k_h};
    const RasterTarget t = target_of(dst);
    for (auto _ : state) {
        benchmark::DoNotOptimize(draw(*d, t, all));
        benchmark::ClobberMemory();
    }
    state.counters["MP/s"] =
        benchmark::Counter(k_frame_mp * double(state.iterations()), benchmark::Counter::kIsRate);
    set_raster_worker_count_for_tests(1);
}

#ifdef KESTRUNE_HAVE_PIXMAN
void bm_pixman(benchmark::State& state, Case c) {
    Images& im = images();
    std::vector<std::uint32_t> dst_px(std::size_t(k_w) * k_h);
    std::memcpy(dst_px.data(), im.background.pixels.data(), dst_px.size() * 4);
    pixman_image_t* src =
        pixman_image_create_bits(PIXMAN_a8r8g8b8, k_w, k_h, im.source_premul.data(), k_w * 4);
    pixman_image_t* dst =
        pixman_image_create_bits(PIXMAN_a8r8g8b8, k_w, k_h, dst_px.data(), k_w * 4);
    pixman_image_t* mask = nullptr;
    pixman_op_t op = PIXMAN_OP_OVER;
    if (c == Case::normal_a128) {
        const pixman_color_t half{0, 0, 0, 0x8080};
        mask = pixman_image_create_solid_fill(&half);
    }
    if (c == Case::add) op = PIXMAN_OP_ADD;
    if (c == Case::rotated) {
        // Destination to source: about the screen centre, undo the rotation and the zoom.
        pixman_f_transform ft;
        pixman_f_transform_init_identity(&ft);
        const double a = -10.0 * 3.14159265358979323846 / 180.0;
        pixman_f_transform_translate(&ft, nullptr, -512, -288);
        pixman_f_transform_rotate(&ft, nullptr, std::cos(a), std::sin(a));
        pixman_f_transform_scale(&ft, nullptr, 1 / 1.2, 1 / 1.2);
        pixman_f_transform_translate(&ft, nullptr, 512, 288);
        pixman_transform_t t;
        pixman_transform_from_pixman_f_transform(&t, &ft);
        pixman_image_set_transform(src, &t);
        pixman_image_set_filter(src, PIXMAN_FILTER_BILINEAR, nullptr, 0);
    }
    for (auto _ : state) {
        pixman_image_composite32(op, src, mask, dst, 0, 0, 0, 0, 0, 0, k_w, k_h);
        benchmark::ClobberMemory();
    }
    state.counters["MP/s"] =
        benchmark::Counter(k_frame_mp * double(state.iterations()), benchmark::Counter::kIsRate);
    if (mask) pixman_image_unref(mask);
    pixman_image_unref(src);
    pixman_image_unref(dst);
}
#endif

// Prints the usual table, then the ratios of each kestrune case to its pixman peer.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& r : runs) {
            if (r.run_type != Run::RT_Iteration || r.error_occurred) continue;
            auto it = r.counters.find("MP/s");
            if (it != r.counters.end()) m_rates[r.benchmark_name()] = it->second.value;
        }
    }
    void Finalize() override {
        ConsoleReporter::Finalize();
        std::printf("\n%-16s %12s %12s %8s %14s %8s\n", "case", "pixman MP/s", "1 thread", "ratio",
                    "2 workers", "ratio");
        for (const char* c : {"normal_a255", "normal_a128", "add", "rot10_zoom1.2"}) {
            const double px = rate(std::string(c) + "/pixman");
            const double one = rate(std::string(c) + "/kestrune");
            const double two = rate(std::string(c) + "/kestrune_2workers");
            std::printf("%-16s %12.1f %12.1f %8.2f %14.1f %8.2f\n", c, px, one,
                        px > 0 ? one / px : 0.0, two, px > 0 ? two / px : 0.0);
        }
    }

private:
    double rate(const std::string& name) const {
        for (const auto& [k, v] : m_rates)
            if (k.rfind(name, 0) == 0 && (k.size() == name.size() || k[name.size()] == '/'))
                return v;
        return 0.0;
    }
    std::map<std::string, double> m_rates;
};

} // namespace

int main(int argc, char** argv) {
    const std::pair<const char*, Case> cases[] = {{"normal_a255", Case::normal_a255},
                                                  {"normal_a128", Case::normal_a128},
                                                  {"add", Case::add},
                                                  {"rot10_zoom1.2", Case::rotated}};
    for (auto [name, c] : cases) {
        const std::string n = name;
#ifdef KESTRUNE_HAVE_PIXMAN
        benchmark::RegisterBenchmark((n + "/pixman").c_str(), bm_pixman, c)->UseRealTime();
#endif
        benchmark::RegisterBenchmark((n + "/kestrune").c_str(), bm_kestrune, c, false)
            ->UseRealTime();
        benchmark::RegisterBenchmark((n + "/kestrune_2workers").c_str(), bm_kestrune, c, true)
            ->UseRealTime();
    }
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    stop_raster_workers();
    benchmark::Shutdown();
    return 0;
}
