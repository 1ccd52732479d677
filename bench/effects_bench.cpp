// One full-screen (1024 x 576) frame of each heavy image effect: the effect's own per-frame
// work (filter capture, lens sampling, mosaic, ripple, rain and drop redraws) and the draw
// of its image into the frame. Each case runs on one thread and split with the raster
// worker (which only the final draw uses). Goal: under 2 ms a frame, under 1 ms for the
// tone filters and the mosaic.
#include "scene/effects.h"

#include "script/variables.h"

#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>
#include <string>

using namespace kestrune;
using namespace kestrune::scene;

namespace {

constexpr std::int32_t k_w = k_screen_width, k_h = k_screen_height;
const ClipRect k_all{0, 0, k_w, k_h};

std::shared_ptr<PixelImage> picture() {
    static std::shared_ptr<PixelImage> img = [] {
        auto p = std::make_shared<PixelImage>();
        p->allocate(k_w, k_h);
        p->kind = 7;
        for (int y = 0; y < k_h; ++y)
            for (int x = 0; x < k_w; ++x)
                p->row32(y)[x] = 0xFF000000u | std::uint32_t(x & 255) |
                                 std::uint32_t(y & 255) << 8 | std::uint32_t((x ^ y) & 255) << 16;
        return p;
    }();
    return img;
}

void fill_frame() {
    RasterTarget t = frame_buffer().acquire();
    const auto img = picture();
    for (int y = 0; y < k_h; ++y)
        std::memcpy(t.pixels + std::ptrdiff_t(y) * t.stride, img->row(y), std::size_t(k_w) * 4);
}

void use_workers(int count) {
    start_raster_workers();
    set_raster_worker_count_for_tests(count);
}

// Filters and the lens: a canvas object over the whole frame, rendered once per frame.
void filter_case(benchmark::State& state, const char* name) {
    use_workers(int(state.range(0)));
    fill_frame();
    auto o = std::make_unique<SceneObject>();
    o->render = detail::default_render;
    effects::EffectArgs a;
    a.width = name == std::string("Lens") ? k_h : k_w;
    a.height = k_h;
    if (!effects::attach_canvas(*o, a.width, a.height) || !effects::construct_effect(*o, name, a)) {
        state.SkipWithError("effect not constructed");
        return;
    }
    for (auto _ : state) benchmark::DoNotOptimize(o->render(*o, frame_buffer(), k_all));
    o->effect.reset();
}

// Distortions and particles: the per-frame step (every step due) and the draw. Pieces run
// a long easing, so that they go on moving for the whole measurement. With `restart`, the
// effect starts afresh (untimed) every `restart` frames: falling pieces leave the screen
// after a few hundred frames, and the frames measured must not depend on how many the
// measurement runs.
void step_case(benchmark::State& state, const char* name, bool canvas, std::int32_t time_ms = 0,
               int restart = 0) {
    use_workers(int(state.range(0)));
    effects::set_every_step_due(true);
    fill_frame();
    auto o = std::make_unique<SceneObject>();
    o->render = detail::default_render;
    effects::EffectArgs a;
    a.width = k_w;
    a.height = k_h;
    a.from = a.to = 1000;
    a.time_ms = time_ms;
    if (time_ms) a.from = 0;
    if (canvas) {
        if (!effects::attach_canvas(*o, k_w, k_h)) return;
    } else {
        o->drawable = create_drawable(picture().get());
        project(*o->drawable);
    }
    if (!effects::construct_effect(*o, name, a)) {
        state.SkipWithError("effect not constructed");
        return;
    }
    int frame = 0;
    for (auto _ : state) {
        if (restart && ++frame % restart == 0) {
            state.PauseTiming();
            detail::release_effect(*o);
            o->y = 0;
            project(*o->drawable);
            effects::construct_effect(*o, name, a);
            state.ResumeTiming();
        }
        detail::step_effect(*o);
        benchmark::DoNotOptimize(o->render(*o, frame_buffer(), k_all));
    }
    o->effect.reset();
    effects::set_every_step_due(false);
}

// An animated mosaic: a new block size every frame.
void mosaic_case(benchmark::State& state) {
    use_workers(int(state.range(0)));
    auto o = std::make_unique<SceneObject>();
    o->render = detail::default_render;
    o->drawable = create_drawable(picture().get());
    project(*o->drawable);
    std::int32_t strength = 100;
    for (auto _ : state) {
        effects::EffectArgs a;
        a.from = a.to = strength;
        strength = strength % 900 + 100;
        effects::construct_effect(*o, "Mosaic", a);
        benchmark::DoNotOptimize(o->render(*o, frame_buffer(), k_all));
    }
    detail::release_effect(*o);
}

BENCHMARK_CAPTURE(filter_case, sepia, "Sepia")->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(filter_case, negaposi, "NegaPosi")->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(filter_case, lens_576, "Lens")->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond);
BENCHMARK(mosaic_case)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(step_case, ripple, "Ripple", false)
    ->Arg(1)
    ->Arg(2)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(step_case, superwave, "SuperWave", false)
    ->Arg(1)
    ->Arg(2)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(step_case, rain, "Rain", true)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(step_case, drop_256, "Drop", true)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(step_case, turnover, "TurnOver", false, 600000)
    ->Arg(1)
    ->Arg(2)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(step_case, hard_split, "HardSplit", false, 600000, 64)
    ->Arg(1)
    ->Arg(2)
    ->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
