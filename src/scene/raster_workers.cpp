// The two raster workers. A draw wider than 3 pixels is split into a left and a right
// column strip, one per worker; the strips never share a pixel, so the workers write
// without locks. The caller holds the scene lock, so the drawable and its image stay put.
//
// Time limits: a worker still busy 100 ms after a new draw wants it, or a draw whose
// strips are not done after 1000 ms, switches the rasteriser to one thread for the rest
// of the run. Even then the late worker is waited for before the draw returns: it may
// still be writing into the destination, which the caller is free to reuse afterwards.
#include "platform/clock.h"
#include "platform/sync.h"
#include "platform/thread.h"
#include "scene/raster.h"
#include "scene/raster_kernels.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdio>
#include <memory>
#include <mutex>

namespace kestrune::scene {

namespace {

constexpr std::uint32_t k_busy_wait_ms = 100;
constexpr std::uint32_t k_done_wait_ms = 1000;
constexpr std::uint32_t k_stop_wait_ms = 10000;

struct Worker {
    platform::Thread thread;
    platform::Event start{true, false};
    platform::Event done{true, true};
    std::atomic<bool> stop{false};
    std::atomic<bool> busy{false};
    std::atomic<std::uint32_t> delay_ms{0};
    // The job, written before `start` is signalled and read by the worker only.
    const Drawable* drawable = nullptr;
    RasterTarget target;
    ClipRect rect;
    const MaskLayer* mask = nullptr;
    const RuleMap* rule = nullptr;
    int result = 0;
};

struct WorkerPool {
    std::array<std::unique_ptr<Worker>, 2> workers;
    std::atomic<int> count{1};
    bool started = false;
    std::mutex draw_mutex; // one draw at a time owns the job slots
};

WorkerPool& pool() {
    static WorkerPool p;
    return p;
}

void worker_loop(Worker* w) {
    for (;;) {
        if (!w->start.wait(platform::k_infinite) || w->stop.load()) break;
        w->busy.store(true);
        w->done.reset();
        if (const std::uint32_t ms = w->delay_ms.load()) platform::sleep_ms(ms);
        w->result =
            w->drawable ? detail::fill_rect(*w->drawable, w->target, w->rect, w->mask, w->rule) : 0;
        w->drawable = nullptr;
        w->busy.store(false);
        w->start.reset();
        w->done.signal();
    }
    w->busy.store(false);
    w->done.signal();
}

// Waits until the worker has finished its job, however long it takes. A stop request of
// the calling thread ends Event::wait at once, hence the polling fallback.
void wait_until_idle(Worker& w) {
    while (!w.done.wait(k_busy_wait_ms)) {
        if (!w.busy.load() && w.done.is_signalled()) break;
        if (platform::stop_requested()) platform::sleep_ms(1);
    }
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
    if (platform::processor_count() < 2) {
        p.count.store(1);
        return;
    }
    for (int i = 0; i < 2; ++i) {
        auto w = std::make_unique<Worker>();
        Worker* raw = w.get();
        if (!w->thread.start([raw] { worker_loop(raw); })) {
            std::fprintf(stderr, "rasteriser: cannot start worker %d\n", i + 1);
            for (auto& other : p.workers)
                if (other) {
                    other->stop.store(true);
                    other->start.signal();
                    other->thread.join_for(k_stop_wait_ms);
                    other.reset();
                }
            p.count.store(1);
            return;
        }
        w->thread.set_priority(2);
        w->thread.set_affinity(unsigned(i));
        p.workers[std::size_t(i)] = std::move(w);
    }
    p.count.store(2);
}

void stop_raster_workers() {
    WorkerPool& p = pool();
    std::lock_guard<std::mutex> guard(p.draw_mutex);
    p.count.store(1);
    for (int i = 0; i < 2; ++i) {
        auto& w = p.workers[std::size_t(i)];
        if (!w) continue;
        w->stop.store(true);
        w->start.signal();
        if (!w->thread.join_for(k_stop_wait_ms)) {
            std::fprintf(stderr, "rasteriser: worker %d did not end; left detached\n", i + 1);
            // The record must outlive a detached thread that may still touch it.
            static std::array<std::unique_ptr<Worker>, 2> abandoned;
            abandoned[std::size_t(i)] = std::move(w);
            continue;
        }
        w.reset();
    }
    p.started = false;
}

int raster_worker_count() {
    return pool().count.load();
}

void set_raster_worker_delay_for_tests(int index, std::uint32_t delay_ms) {
    auto& w = pool().workers[std::size_t(index & 1)];
    if (w) w->delay_ms.store(delay_ms);
}

void set_raster_worker_count_for_tests(int count) {
    WorkerPool& p = pool();
    p.count.store(count == 2 && p.workers[0] && p.workers[1] ? 2 : 1);
}

namespace detail {

int run_draw(const Drawable& d, const RasterTarget& target, const ClipRect& rect,
             const MaskLayer* mask, const RuleMap* rule) {
    WorkerPool& p = pool();
    const std::int32_t width = rect.right - rect.left;
    if (p.count.load() < 2 || d.geometry.row_clip || width <= 3)
        return fill_rect(d, target, rect, mask, rule);

    std::lock_guard<std::mutex> guard(p.draw_mutex);
    if (p.count.load() < 2) return fill_rect(d, target, rect, mask, rule);
    Worker& a = *p.workers[0];
    Worker& b = *p.workers[1];
    for (Worker* w : {&a, &b}) {
        if (w->busy.load() && !w->done.wait(k_busy_wait_ms)) {
            fall_back_to_one_thread("a worker is still busy from an earlier draw");
            wait_until_idle(a);
            wait_until_idle(b);
            return fill_rect(d, target, rect, mask, rule);
        }
    }
    // An odd width is split as if widened by one pixel on the right, without drawing it.
    const std::int32_t mid = rect.left + (width + 1) / 2;
    a.rect = {rect.left, rect.top, mid, rect.bottom};
    b.rect = {mid, rect.top, rect.right, rect.bottom};
    for (Worker* w : {&a, &b}) {
        w->drawable = &d;
        w->target = target;
        w->mask = mask;
        w->rule = rule;
        w->result = 0;
        w->done.reset();
    }
    a.start.signal();
    b.start.signal();
    const platform::Tick t0 = platform::tick_ms();
    bool in_time = a.done.wait(k_done_wait_ms);
    if (in_time) {
        const std::int32_t left =
            std::int32_t(k_done_wait_ms) - platform::tick_diff(platform::tick_ms(), t0);
        in_time = b.done.wait(std::uint32_t(std::max(left, 0)));
    }
    if (!in_time) {
        fall_back_to_one_thread("a worker did not finish its strip within 1000 ms");
        wait_until_idle(a);
        wait_until_idle(b);
    }
    return a.result | b.result;
}

} // namespace detail

} // namespace kestrune::scene
