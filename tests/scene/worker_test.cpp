// The two raster workers: their time limits, the fallback to one thread, and that a late
// worker is waited for rather than left writing after the draw returned.
#include "platform/clock.h"
#include "platform/thread.h"
#include "raster_reference.h"
#include "scene/raster.h"

#include <gtest/gtest.h>

namespace kestrune::scene {
namespace {

struct ScaledTime {
    // 1000 engine ms pass in 25 real ms, so the time limits are reached quickly.
    ScaledTime() { platform::set_time_scale(40.0); }
    ~ScaledTime() { platform::set_time_scale(1.0); }
};

// These draws are small; share them all the same.
struct SplitAll {
    SplitAll() { set_raster_split_all_for_tests(true); }
    ~SplitAll() { set_raster_split_all_for_tests(false); }
};

std::unique_ptr<Drawable> wide_drawable() {
    auto img = std::make_unique<PixelImage>();
    img->allocate(64, 16);
    for (int y = 0; y < 16; ++y)
        for (int x = 0; x < 64; ++x)
            img->row32(y)[x] = std::uint32_t(0x80000000u | (x * 4) | y << 12);
    auto d = create_drawable(std::move(img));
    d->x = 0;
    d->y = 0;
    project(*d);
    return d;
}

// Catches: a thin draw handed to the workers, a late worker not switching to one thread,
// and a late worker's strip missing (or still being written) when the draw returns.
TEST(RasterWorkers, LateWorkerFallsBackToOneThreadAfterFinishing) {
    if (platform::processor_count() < 2) GTEST_SKIP() << "one processor: no workers";
    ScaledTime scaled;
    SplitAll split;
    start_raster_workers();
    ASSERT_EQ(raster_worker_count(), 2);
    auto d = wide_drawable();
    PixelImage target, expect;
    target.allocate(64, 16);
    expect.allocate(64, 16);
    ref::draw(*d, target_of(expect), {0, 0, 64, 16});

    set_raster_worker_delay_for_tests(1500);
    // 3 pixels wide: drawn on the calling thread, so the slow worker is not involved.
    EXPECT_EQ(draw(*d, target_of(target), {10, 0, 13, 16}), 1);
    EXPECT_EQ(raster_worker_count(), 2);

    // Wide: the worker misses the 1000 ms limit.
    target.allocate(64, 16);
    EXPECT_EQ(draw(*d, target_of(target), {0, 0, 64, 16}), 1);
    EXPECT_EQ(raster_worker_count(), 1);
    EXPECT_TRUE(target.pixels == expect.pixels) << "the late strips must be complete";

    // Later draws run on the calling thread: no delay, same picture.
    set_raster_worker_delay_for_tests(0);
    target.allocate(64, 16);
    EXPECT_EQ(draw(*d, target_of(target), {0, 0, 64, 16}), 1);
    EXPECT_TRUE(target.pixels == expect.pixels);
    stop_raster_workers();
    EXPECT_EQ(raster_worker_count(), 1);
}

// Catches: a hand-off race between consecutive shared draws (a band drawn twice, skipped,
// or drawn with the previous draw's job).
TEST(RasterWorkers, ManySplitDrawsMatchTheReference) {
    SplitAll split;
    start_raster_workers();
    auto d = wide_drawable();
    d->alpha = 200;
    PixelImage target, expect;
    target.allocate(64, 40);
    expect.allocate(64, 40);
    for (int i = 0; i < 300; ++i) {
        const int l = i % 7, r = 64 - (i % 5), b = 1 + (i * 13) % 40;
        ref::draw(*d, target_of(expect), {l, 0, r, b});
        draw(*d, target_of(target), {l, 0, r, b});
        ASSERT_TRUE(target.pixels == expect.pixels) << "draw " << i;
    }
    stop_raster_workers();
}

// Catches: a shaped target's row limits ignored, or such a draw handed to the worker.
TEST(RasterWorkers, RowClipLimitsRowsAndStaysOnTheCallingThread) {
    if (platform::processor_count() < 2) GTEST_SKIP() << "one processor: no workers";
    ScaledTime scaled;
    SplitAll split;
    start_raster_workers();
    auto d = wide_drawable();
    d->image->row32(0)[0] |= 0xFF000000u;
    RowClip clip;
    for (int y = 0; y < k_screen_height; ++y) {
        clip.left[std::size_t(y)] = std::int16_t(y);
        clip.right[std::size_t(y)] = std::int16_t(40 - y);
    }
    d->geometry.row_clip = &clip;
    set_raster_worker_delay_for_tests(1500); // a split draw would now fall back
    PixelImage target;
    target.allocate(64, 16);
    EXPECT_EQ(draw(*d, target_of(target), {0, 0, 64, 16}), 1);
    EXPECT_EQ(raster_worker_count(), 2);
    for (int y = 0; y < 16; ++y)
        for (int x = 0; x < 64; ++x) {
            const bool inside = x >= y && x < 40 - y;
            EXPECT_EQ(target.row32(y)[x] != 0, inside) << x << "," << y;
        }
    set_raster_worker_delay_for_tests(0);
    stop_raster_workers();
}

// Catches: draws still handed to a worker that makes them slower (here one that starts
// each share 20 ms late, as a worker of a machine busy with other programs may), and a
// draw of a shared size that is never tried alone or shared.
TEST(RasterWorkers, DrawsAreSharedOnlyWhileSharingPays) {
    if (platform::processor_count() < 2) GTEST_SKIP() << "one processor: no workers";
    start_raster_workers();
    auto img = std::make_unique<PixelImage>();
    img->allocate(k_screen_width, k_screen_height);
    auto d = create_drawable(std::move(img));
    project(*d);
    PixelImage target;
    target.allocate(k_screen_width, k_screen_height);
    set_raster_worker_delay_for_tests(20);
    const int before = raster_shares_for_tests();
    for (int i = 0; i < 200; ++i) draw(*d, target_of(target), {0, 0, 1024, 576});
    const int shared = raster_shares_for_tests() - before;
    EXPECT_GT(shared, 0);
    EXPECT_LT(shared, 60) << "a worker that only delays draws keeps being given them";
    set_raster_worker_delay_for_tests(0);
    stop_raster_workers();
}

// Catches: a drawable with alpha 0 that still touches pixels or reports a draw.
TEST(RasterWorkers, AlphaZeroDrawsNothing) {
    auto d = wide_drawable();
    d->alpha = 0;
    PixelImage target;
    target.allocate(64, 16);
    EXPECT_EQ(draw(*d, target_of(target), {0, 0, 64, 16}), 0);
    for (std::uint8_t b : target.pixels) ASSERT_EQ(b, 0);
}

} // namespace
} // namespace kestrune::scene
