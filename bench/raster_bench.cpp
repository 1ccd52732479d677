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
// The kestrune cases run once on one thread and once shared with the raster worker; pixman
// always runs on one thread. Each iteration times one draw of each, so both see the same
// machine load. Throughput is the destination frame (1024 x 576 pixels) per draw, in
// megapixels per second; the ratio is kestrune / pixman, printed in a table at the end,
// and for the shared cases also the speed against the same case on one thread.
#include "scene/raster.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
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

// One kestrune draw and one pixman composite per iteration, timed apart: the two always
// run under the same machine load, so the ratio holds even when the load changes.
struct Peer {
#ifdef KESTRUNE_HAVE_PIXMAN
    std::vector<std::uint32_t> dst_px;
    pixman_image_t* src = nullptr;
    pixman_image_t* dst = nullptr;
    pixman_image_t* mask = nullptr;
    pixman_op_t op = PIXMAN_OP_OVER;

    explicit Peer(Case c) : dst_px(std::size_t(k_w) * k_h) {
        Images& im = images();
        std::memcpy(dst_px.data(), im.background.pixels.data(), dst_px.size() * 4);
        src = pixman_image_create_bits(PIXMAN_a8r8g8b8, k_w, k_h, im.source_premul.data(), k_w * 4);
        dst = pixman_image_create_bits(PIXMAN_a8r8g8b8, k_w, k_h, dst_px.data(), k_w * 4);
        if (c == Case::normal_a128) {
            const pixman_color_t half{0, 0, 0, 0x8080};
            mask = pixman_image_create_solid_fill(&half);
        }
        if (c == Case::add) op = PIXMAN_OP_ADD;
        if (c == Case::rotated) {
            // Destination to source: about the screen centre, undo the rotation and zoom.
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
    }
    ~Peer() {
        if (mask) pixman_image_unref(mask);
        pixman_image_unref(src);
        pixman_image_unref(dst);
    }
    bool present() const {
        return true;
    }
    void run() {
        pixman_image_composite32(op, src, mask, dst, 0, 0, 0, 0, 0, 0, k_w, k_h);
    }
#else
    explicit Peer(Case) {}
    bool present() const {
        return false;
    }
    void run() {}
#endif
};

void bm_case(benchmark::State& state, Case c, bool workers) {
    auto d = create_drawable(&images().source);
    setup_drawable(*d, c);
    PixelImage dst;
    dst.allocate(k_w, k_h);
    std::memcpy(dst.pixels.data(), images().background.pixels.data(), dst.pixels.size());
    if (workers) {
        start_raster_workers();
        set_raster_worker_count_for_tests(2);
        if (raster_worker_count() != 2) {
            state.SkipWithError("no second processor for the raster worker");
            return;
        }
    } else {
        set_raster_worker_count_for_tests(1);
    }
    Peer peer(c);
    const ClipRect all{0, 0, k_w, k_h};
    const RasterTarget t = target_of(dst);
    using Clock = std::chrono::steady_clock;
    double ours = 0, theirs = 0;
    for (auto _ : state) {
        const auto t0 = Clock::now();
        peer.run();
        const auto t1 = Clock::now();
        benchmark::DoNotOptimize(draw(*d, t, all));
        benchmark::ClobberMemory();
        const auto t2 = Clock::now();
        theirs += std::chrono::duration<double>(t1 - t0).count();
        ours += std::chrono::duration<double>(t2 - t1).count();
        state.SetIterationTime(std::chrono::duration<double>(t2 - t1).count());
    }
    const double frames = k_frame_mp * double(state.iterations());
    state.counters["kestrune_MP/s"] = ours > 0 ? frames / ours : 0;
    if (peer.present()) {
        state.counters["pixman_MP/s"] = theirs > 0 ? frames / theirs : 0;
        state.counters["ratio"] = ours > 0 && theirs > 0 ? theirs / ours : 0;
    }
    set_raster_worker_count_for_tests(1);
}

// Prints the usual table, then one line per case (medians when repeated).
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& r : runs) {
            if (r.error_occurred) continue;
            std::string name = r.benchmark_name();
            if (r.run_type == Run::RT_Aggregate) {
                if (r.aggregate_name != "median") continue;
                name = name.substr(0, name.size() - std::string("_median").size());
            } else if (m_rows.count(name) && m_rows[name].median) {
                continue;
            }
            Row& row = m_rows[name];
            row.median = r.run_type == Run::RT_Aggregate;
            auto get = [&](const char* k) {
                auto it = r.counters.find(k);
                return it == r.counters.end() ? 0.0 : double(it->second.value);
            };
            row.ours = get("kestrune_MP/s");
            row.theirs = get("pixman_MP/s");
            row.ratio = get("ratio");
            if (std::find(m_order.begin(), m_order.end(), name) == m_order.end())
                m_order.push_back(name);
        }
    }
    void Finalize() override {
        ConsoleReporter::Finalize();
        std::printf("\n%-44s %14s %12s %8s %10s\n", "case", "kestrune MP/s", "pixman MP/s", "ratio",
                    "x 1thread");
        for (const std::string& n : m_order) {
            const Row& r = m_rows[n];
            std::printf("%-44s %14.1f %12.1f %8.2f", n.c_str(), r.ours, r.theirs, r.ratio);
            // A shared draw beside the same draw on one thread of this run.
            const std::size_t at = n.find("/2workers");
            const auto one = at == std::string::npos
                                 ? m_rows.end()
                                 : m_rows.find(n.substr(0, at) + "/1thread" +
                                               n.substr(at + std::string("/2workers").size()));
            if (one != m_rows.end() && one->second.ours > 0)
                std::printf(" %10.2f", r.ours / one->second.ours);
            std::printf("\n");
        }
    }

private:
    struct Row {
        bool median = false;
        double ours = 0, theirs = 0, ratio = 0;
    };
    std::map<std::string, Row> m_rows;
    std::vector<std::string> m_order;
};

} // namespace

int main(int argc, char** argv) {
    const std::pair<const char*, Case> cases[] = {{"normal_a255", Case::normal_a255},
                                                  {"normal_a128", Case::normal_a128},
                                                  {"add", Case::add},
                                                  {"rot10_zoom1.2_smooth", Case::rotated}};
    for (bool workers : {false, true})
        for (auto [name, c] : cases) {
            const std::string n = std::string(name) + (workers ? "/2workers" : "/1thread");
            benchmark::RegisterBenchmark(n.c_str(), bm_case, c, workers)->UseManualTime();
        }
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    stop_raster_workers();
    benchmark::Shutdown();
    return 0;
}
