// Splitting a draw over two threads. A draw wider than 3 pixels is cut into a left and a
// right column strip of equal width (an odd width is cut as if widened by one pixel on the
// right). The left strip is drawn by the calling thread, which would otherwise only sit
// waiting; the right strip belongs to the raster worker, which takes it in bands of rows.
// When the caller has finished its own strip it takes the bands the worker has not begun,
// so a worker that the system schedules late costs little. Every band is drawn by exactly
// one thread and no band crosses the strip boundary, so nothing is locked while drawing;
// the caller holds the scene lock, so the drawable and its image stay put.
//
// Time limits: a worker still busy 100 ms after a new draw wants it, or a band not done
// 1000 ms after the caller began waiting for it, switches the rasteriser to one thread for
// the rest of the run. Even then the late worker is waited for before the draw returns: it
// may still be writing into the destination, which the caller is free to reuse afterwards.
#include "platform/clock.h"
#include "platform/sync.h"
#include "platform/thread.h"
#include "scene/raster.h"
#include "scene/raster_kernels.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <immintrin.h>
#include <memory>
#include <mutex>
#include <thread>

namespace kestrune::scene {

namespace {

constexpr std::uint32_t k_busy_wait_ms = 100;
constexpr std::uint32_t k_done_wait_ms = 1000;
constexpr std::uint32_t k_stop_wait_ms = 10000;
constexpr auto k_worker_spin = std::chrono::microseconds(100);
constexpr auto k_caller_spin = std::chrono::microseconds(500);

constexpr std::int32_t k_band_rows = 16;
// A finished job's claim word: no band number reaches it, and any claim still in flight
// for the job fails its compare-and-swap.
constexpr std::uint32_t k_closed = 0x7FFFFFFF;

struct Worker {
    platform::Thread thread;
    platform::Event wake{true, false};
    // Job sequence in the high half, next unclaimed band in the low half: a band is claimed
    // with one compare-and-swap, which fails once the caller has moved on to a newer job.
    std::atomic<std::uint64_t> claim{0};
    std::atomic<std::int32_t> bands_done{0};
    std::atomic<int> result{0};
    std::atomic<bool> sleeping{false};
    std::atomic<bool> stop{false};
    std::atomic<bool> running{false};
    std::atomic<std::uint32_t> delay_ms{0};
    // The job, written before `claim` publishes its sequence.
    const Drawable* drawable = nullptr;
    RasterTarget target;
    ClipRect rect; // the right strip
    const MaskLayer* mask = nullptr;
    const RuleMap* rule = nullptr;
    std::atomic<std::int32_t> band_count{0};

    bool busy() const { return bands_done.load(std::memory_order_acquire) != band_count.load(); }
};

struct WorkerPool {
    std::unique_ptr<Worker> worker;
    std::atomic<int> count{1};
    bool started = false;
    std::uint32_t job_seq = 0;
    std::mutex draw_mutex; // one draw at a time owns the job
};

WorkerPool& pool() {
    static WorkerPool p;
    return p;
}

using SteadyClock = std::chrono::steady_clock;

std::uint32_t job_of(std::uint64_t c) {
    return std::uint32_t(c >> 32);
}

// Claims and draws bands of the current job until none is left. `only_job` guards against
// drawing bands of a job newer than the one the caller is working on.
void draw_bands(Worker& w, std::uint32_t only_job, bool delay_first) {
    std::uint64_t c = w.claim.load(std::memory_order_acquire);
    bool first = true;
    for (;;) {
        if (job_of(c) != only_job) return;
        const auto band = std::int32_t(std::uint32_t(c));
        if (band >= w.band_count.load()) return;
        if (!w.claim.compare_exchange_weak(c, c + 1, std::memory_order_acq_rel)) continue;
        if (delay_first && first)
            if (const std::uint32_t ms = w.delay_ms.load()) platform::sleep_ms(ms);
        first = false;
        const std::int32_t top = w.rect.top + band * k_band_rows;
        const ClipRect r{w.rect.left, top, w.rect.right,
                         std::min(top + k_band_rows, w.rect.bottom)};
        if (detail::fill_rect(*w.drawable, w.target, r, w.mask, w.rule))
            w.result.fetch_or(1, std::memory_order_relaxed);
        w.bands_done.fetch_add(1, std::memory_order_acq_rel);
        c = w.claim.load(std::memory_order_acquire);
    }
}

void worker_loop(Worker* w) {
    std::uint32_t seen = 0; // a fresh worker's claim word names job 0; jobs count from 1
    auto has_job = [&] { return job_of(w->claim.load()) != seen; };
    for (;;) {
        const auto spin_end = SteadyClock::now() + k_worker_spin;
        while (!has_job() && !w->stop.load() && SteadyClock::now() < spin_end) _mm_pause();
        if (!has_job() && !w->stop.load()) {
            // Reset before announcing the sleep: a job posted after the reset signals the
            // event; one posted before it is seen by the check below.
            w->wake.reset();
            w->sleeping.store(true);
            if (!has_job() && !w->stop.load()) {
                if (!w->wake.wait(platform::k_infinite) && platform::stop_requested()) {
                    w->sleeping.store(false);
                    break;
                }
            }
            w->sleeping.store(false);
        }
        if (w->stop.load()) break;
        if (!has_job()) continue;
        seen = job_of(w->claim.load(std::memory_order_acquire));
        draw_bands(*w, seen, true);
    }
    w->running.store(false);
}

// Waits until every band of the job is drawn or `limit_ms` of engine time has passed
// (k_infinite: however long it takes). Spins first, then sleeps in short steps.
bool wait_done(Worker& w, std::uint32_t limit_ms) {
    const auto spin_end = SteadyClock::now() + k_caller_spin;
    while (w.busy() && SteadyClock::now() < spin_end) _mm_pause();
    const platform::Tick start = platform::tick_ms();
    while (w.busy()) {
        if (limit_ms != platform::k_infinite &&
            platform::tick_diff(platform::tick_ms(), start) >= std::int32_t(limit_ms))
            return false;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return true;
}

void fall_back_to_one_thread(const char* why) {
    if (pool().count.exchange(1) == 2)
        std::fprintf(stderr, "rasteriser: %s; drawing on one thread from now on\n", why);
}

} // namespace

void start_raster_workers() {
    WorkerPool& p = pool();
    if (p.started) return;
    p.started = true;
    p.count.store(1);
    if (platform::processor_count() < 2) return;
    auto w = std::make_unique<Worker>();
    Worker* raw = w.get();
    w->running.store(true);
    if (!w->thread.start([raw] { worker_loop(raw); })) {
        std::fprintf(stderr, "rasteriser: cannot start the raster worker\n");
        return;
    }
    w->thread.set_priority(2);
    p.worker = std::move(w);
    p.count.store(2);
}

void stop_raster_workers() {
    WorkerPool& p = pool();
    std::lock_guard<std::mutex> guard(p.draw_mutex);
    p.count.store(1);
    p.started = false;
    if (!p.worker) return;
    Worker& w = *p.worker;
    w.stop.store(true);
    w.wake.signal();
    if (!w.thread.join_for(k_stop_wait_ms)) {
        std::fprintf(stderr, "rasteriser: the raster worker did not end; left detached\n");
        // The record must outlive a detached thread that may still touch it.
        static std::unique_ptr<Worker> abandoned;
        abandoned = std::move(p.worker);
        return;
    }
    p.worker.reset();
}

int raster_worker_count() {
    return pool().count.load();
}

void set_raster_worker_delay_for_tests(std::uint32_t delay_ms) {
    if (pool().worker) pool().worker->delay_ms.store(delay_ms);
}

void set_raster_worker_count_for_tests(int count) {
    WorkerPool& p = pool();
    p.count.store(count == 2 && p.worker && p.worker->running.load() ? 2 : 1);
}

namespace detail {

int run_draw(const Drawable& d, const RasterTarget& target, const ClipRect& rect,
             const MaskLayer* mask, const RuleMap* rule) {
    WorkerPool& p = pool();
    const std::int32_t width = rect.right - rect.left;
    if (p.count.load() < 2 || d.geometry.row_clip || width <= 3)
        return fill_rect(d, target, rect, mask, rule);

    std::lock_guard<std::mutex> guard(p.draw_mutex);
    if (p.count.load() < 2 || !p.worker) return fill_rect(d, target, rect, mask, rule);
    Worker& w = *p.worker;
    if (w.busy() && !wait_done(w, k_busy_wait_ms)) {
        fall_back_to_one_thread("the raster worker is still busy from an earlier draw");
        wait_done(w, platform::k_infinite);
        return fill_rect(d, target, rect, mask, rule);
    }
    const std::int32_t mid = rect.left + (width + 1) / 2;
    w.drawable = &d;
    w.target = target;
    w.rect = {mid, rect.top, rect.right, rect.bottom};
    w.mask = mask;
    w.rule = rule;
    w.band_count.store((rect.bottom - rect.top + k_band_rows - 1) / k_band_rows);
    w.bands_done.store(0, std::memory_order_relaxed);
    w.result.store(0, std::memory_order_relaxed);
    if (++p.job_seq == 0) ++p.job_seq; // job 0 is what a fresh worker has already seen
    const std::uint32_t job = p.job_seq;
    w.claim.store(std::uint64_t(job) << 32); // publishes the job
    if (w.sleeping.load()) w.wake.signal();

    const int left = fill_rect(d, target, {rect.left, rect.top, mid, rect.bottom}, mask, rule);
    // Take whatever the worker has not begun (not while a test makes the worker late on
    // purpose: the worker must then be the one drawing the strip).
    if (w.delay_ms.load() == 0) draw_bands(w, job, false);
    if (!wait_done(w, k_done_wait_ms)) {
        fall_back_to_one_thread("the raster worker did not finish its strip within 1000 ms");
        wait_done(w, platform::k_infinite);
    }
    w.claim.store(std::uint64_t(job) << 32 | k_closed);
    return left | w.result.load();
}

} // namespace detail

} // namespace kestrune::scene
