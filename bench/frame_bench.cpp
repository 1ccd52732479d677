// Full-frame composition of a typical scene through the scene store and the compose step:
// a full-screen background, three 400x500 sprites with alpha, a 1000x200 translucent
// message window and one fading layer, then the present copy. Measured four ways in the
// same run:
//   full_frame/1  the calling thread alone, frames back to back
//   full_frame/2  shared with the raster worker, frames back to back
//   full_frame/3  the calling thread alone, 2 ms without drawing before each frame, as
//                 between the frames of a running game (other threads may have taken the
//                 processor and its caches meanwhile)
//   full_frame/4  shared with the raster worker, 2 ms without drawing before each frame
//                 (the worker has gone to sleep and is woken)
#include "frame/engine.h"
#include "scene/scene.h"
#include "scene/scene_commands.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <cmath>
#include <string>
#include <thread>

using namespace kestrune;
using namespace kestrune::scene;

namespace {

constexpr std::int32_t k_owner = 5;

std::shared_ptr<PixelImage> sprite(std::int32_t w, std::int32_t h, std::uint32_t rgb) {
    auto img = std::make_shared<PixelImage>();
    img->allocate(w, h);
    img->kind = k_kind_png_alpha;
    const double cx = w / 2.0, cy = h / 2.0;
    for (std::int32_t y = 0; y < h; ++y)
        for (std::int32_t x = 0; x < w; ++x) {
            const double d = std::hypot((x - cx) / cx, (y - cy) / cy);
            const auto a = static_cast<std::uint32_t>(d >= 1 ? 0 : d > 0.9 ? (1 - d) * 2550 : 255);
            img->row32(y)[x] = (a << 24) | (rgb ^ static_cast<std::uint32_t>(x * 3 + y));
        }
    return img;
}

void add(const char* name, std::int32_t priority, std::int32_t x, std::int32_t y,
         std::shared_ptr<PixelImage> image, std::uint8_t alpha) {
    CreateArgs a;
    a.owner_key = k_owner;
    a.path = name;
    a.priority = priority;
    a.x = std::to_string(x);
    a.y = std::to_string(y);
    engine::scene_lock();
    SceneObject* o = create_kind_object(a, create_drawable(image.get()), image, nullptr);
    if (o) o->drawable->alpha = alpha;
    engine::scene_unlock();
}

void build_scene() {
    static bool built = false;
    if (built) return;
    built = true;
    engine::init_process_state();
    engine::build_lock_table();
    engine::set_state(engine::k_state_running);
    init_scene(false);
    add_owner(k_owner);
    auto bg = commands::colour_image(k_screen_width, k_screen_height, 0x304060, 255);
    bg->kind = k_kind_png; // a decoded opaque picture, not a colour plane
    for (std::int32_t y = 0; y < k_screen_height; ++y)
        for (std::int32_t x = 0; x < k_screen_width; ++x)
            bg->row32(y)[x] = 0xFF000000u | static_cast<std::uint32_t>(x ^ (y << 8));
    add("bg", 0, 0, 0, bg, 255);
    add("a", 10, 40, 60, sprite(400, 500, 0xC04050), 255);
    add("b", 11, 312, 40, sprite(400, 500, 0x40C050), 255);
    add("c", 12, 584, 60, sprite(400, 500, 0x4050C0), 255);
    add("window", 20, 12, 366, commands::colour_image(1000, 200, 0x101020, 160), 255);
    add("fading", 30, 0, 0, commands::colour_image(k_screen_width, k_screen_height, 0xFFFFFF, 255),
        90);
    engine::scene_lock();
    commit_draw_list();
    engine::scene_unlock();
    start_raster_workers();
}

void full_frame(benchmark::State& state) {
    build_scene();
    const bool idle_between = state.range(0) >= 3;
    set_raster_worker_count_for_tests(state.range(0) % 2 ? 1 : 2);
    using Clock = std::chrono::steady_clock;
    for (auto _ : state) {
        if (idle_between) std::this_thread::sleep_for(std::chrono::milliseconds(2));
        const auto t0 = Clock::now();
        mark_all_changed();
        run_cycle_for_tests();
        benchmark::ClobberMemory();
        state.SetIterationTime(std::chrono::duration<double>(Clock::now() - t0).count());
    }
    state.SetLabel(std::string(raster_worker_count() == 2 ? "caller + worker" : "caller only") +
                   (idle_between ? ", idle between frames" : ""));
}

} // namespace

BENCHMARK(full_frame)->DenseRange(1, 4)->UseManualTime()->Unit(benchmark::kMicrosecond);
int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    // The raster worker must end before the program does.
    stop_raster_workers();
    shutdown_scene();
    return 0;
}
