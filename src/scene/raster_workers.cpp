// Sharing a draw with the raster worker. The work is cut into bands of rows; the calling
// thread and the worker claim bands one at a time from a shared counter until none is
// left. The caller starts at once, so a worker that wakes late (or not at all) only
// takes fewer bands: sharing costs the caller the hand-off and, at worst, the wait for
// the one band the worker is in the middle of. Every band is drawn by exactly one thread
// and bands do not overlap, so nothing is locked while drawing; the caller holds the
// scene lock (or, for the present copy, the frame buffer's), so what is read stays put. Bands of
// whole rows let each thread stream whole rows of the destination (one 4 KB page per frame row) and
// keep the two threads off each other's cache lines.
//
// Waking: after a job the worker keeps looking for the next one for a short while, which
// covers the draws of one frame; then it sleeps on the job word and the next share wakes
// it with one notify. Whether a draw is worth sharing depends on that: with the worker
// awake any sizeable draw may be, while a sleeping worker is woken only for draws that
// take long enough to repay the wake-up; and on how busy the machine is (see choose()).
//
// Time limits: a worker still busy 100 ms after a new share wants it, or a band not done
// 1000 ms after the caller began waiting for it, switches the rasteriser to one thread for
// the rest of the run. Even then the late band is waited for before the share returns:
// the worker may still be writing into the destination, which the caller is free to reuse
// afterwards.
#include "platform/clock.h"
#include "platform/sync.h"
#include "platform/thread.h"
#include "scene/raster.h"
#include "scene/raster_kernels.h"

#include <algorithm>
#include <array>
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
// How long the worker looks for a next job before it sleeps. Waking a sleeping thread
// costs the waker a system call and the sleeper some tens of microseconds.
constexpr auto k_worker_spin = std::chrono::microseconds(100);
// How long the caller spins while the worker finishes its band, before it sleeps.
constexpr auto k_caller_spin = std::chrono::microseconds(50);

// Work (in units of one plainly copied pixel, see detail::draw_work()) from which a share
// may pay: with the worker awake, a few bands; with the worker asleep, enough to repay its
// wake-up (about 40 us of drawing).
constexpr std::int64_t k_share_awake = 24 * 1024;
constexpr std::int64_t k_share_asleep = 320 * 1024;
// Whether it does pay is measured: when other programs keep the processors busy, the
// worker runs late or takes the caller's own processor, and a shared draw takes longer
// than the same draw alone. So the real time per unit of work is kept for shared and for
// lone draws, by size (a doubling of work per class), and draws of a size are shared
// while shared ones are clearly faster. One draw in about k_probe_every, picked at random
// so that no draw of a frame is always the one, goes the other way, to notice when things
// change.
constexpr int k_probe_every = 16;
constexpr double k_clearly_faster = 0.9;
constexpr int k_size_classes = 8;
constexpr double k_decay = 7.0 / 8.0;

// A finished job's claim word: no band number reaches it, and any claim still in flight
// for the job fails its compare-and-swap.
constexpr std::uint32_t k_closed = 0x7FFFFFFF;

struct Worker {
    platform::Thread thread;
    // Bumped for every job and for the stop request; the worker sleeps on it.
    std::atomic<std::uint32_t> wake_word{0};
    // Job sequence in the high half, next unclaimed band in the low half: a band is claimed
    // with one compare-and-swap, which fails once the caller has moved on to a newer job.
    std::atomic<std::uint64_t> claim{0};
    std::atomic<std::int32_t> bands_done{0};
    std::atomic<std::int32_t> band_count{0};
    std::atomic<int> result{0};
    std::atomic<bool> sleeping{false};
    std::atomic<bool> stop{false};
    std::atomic<bool> running{false};
    std::atomic<std::uint32_t> delay_ms{0};
    // The job, written before `claim` publishes its sequence.
    detail::BandFn fn = nullptr;
    void* ctx = nullptr;
    ClipRect rect;
    std::int32_t band_rows = 1;

    bool busy() const { return bands_done.load() != band_count.load(); }
};

struct WorkerPool {
    std::unique_ptr<Worker> worker;
    std::atomic<int> count{1};
    std::atomic<bool> split_all{false}; // test support: share every draw wider than 3 pixels
    // What sharing has been worth lately: decaying sums of real time and work of the
    // draws big enough to share, by size class, drawn alone [0] and shared [1].
    std::mutex payoff_mutex;
    struct Sums {
        double ns = 0, work = 0;
    };
    std::array<std::array<Sums, 2>, k_size_classes> payoff{};
    std::uint32_t random = 0x9E3779B9u;
    std::atomic<int> shared_count{0};
    bool started = false;
    std::uint32_t job_seq = 0;
    std::mutex share_mutex; // one share at a time owns the job
};

WorkerPool& pool() {
    static WorkerPool p;
    return p;
}

// Set on both threads while they draw bands: a draw inside a band never shares again.
thread_local bool t_in_band = false;

using SteadyClock = std::chrono::steady_clock;

std::uint32_t job_of(std::uint64_t c) {
    return std::uint32_t(c >> 32);
}

// Claims and draws bands of job `only_job` until none is left (or a newer job has taken
// the claim word).
void draw_bands(Worker& w, std::uint32_t only_job, bool is_worker) {
    std::uint64_t c = w.claim.load(std::memory_order_acquire);
    bool first = true;
    t_in_band = true;
    for (;;) {
        if (job_of(c) != only_job) break;
        const auto band = std::int32_t(std::uint32_t(c));
        if (band >= w.band_count.load(std::memory_order_relaxed)) break;
        if (!w.claim.compare_exchange_weak(c, c + 1, std::memory_order_acq_rel)) continue;
        if (is_worker && first)
            if (const std::uint32_t ms = w.delay_ms.load()) platform::sleep_ms(ms);
        first = false;
        const std::int32_t top = w.rect.top + band * w.band_rows;
        const ClipRect r{w.rect.left, top, w.rect.right,
                         std::min(top + w.band_rows, w.rect.bottom)};
        if (w.fn(w.ctx, r)) w.result.fetch_or(1, std::memory_order_relaxed);
        w.bands_done.fetch_add(1, std::memory_order_acq_rel);
        c = w.claim.load(std::memory_order_acquire);
    }
    t_in_band = false;
}

void worker_loop(Worker* w) {
    std::uint32_t seen = 0;
    for (;;) {
        const auto spin_end = SteadyClock::now() + k_worker_spin;
        int polls = 0;
        while (w->wake_word.load(std::memory_order_acquire) == seen) {
            _mm_pause();
            // The clock is read now and then only: a read costs more than a pause.
            if ((++polls & 63) == 0 && SteadyClock::now() >= spin_end) {
                // Announce the sleep before the last look: a job posted after the look
                // sees the flag and notifies; one posted before it changed the word, which
                // wait() compares before it sleeps.
                w->sleeping.store(true);
                w->wake_word.wait(seen);
                w->sleeping.store(false);
                break;
            }
        }
        if (w->stop.load()) break;
        const std::uint32_t now = w->wake_word.load(std::memory_order_acquire);
        if (now == seen) continue;
        seen = now;
        draw_bands(*w, job_of(w->claim.load(std::memory_order_acquire)), true);
    }
    w->running.store(false);
}

// Waits until every band of the job is drawn or `limit_ms` of engine time has passed
// (k_infinite: however long it takes). The worker has at most one band in hand, so the
// wait is short: spin for about a band's time, then sleep in short steps, leaving the
// processor to the worker when the system has put both on one.
bool wait_done(Worker& w, std::uint32_t limit_ms) {
    const auto spin_end = SteadyClock::now() + k_caller_spin;
    while (w.busy() && SteadyClock::now() < spin_end) _mm_pause();
    const platform::Tick start = platform::tick_ms();
    while (w.busy()) {
        if (limit_ms != platform::k_infinite &&
            platform::tick_diff(platform::tick_ms(), start) >= std::int32_t(limit_ms))
            return false;
        std::this_thread::sleep_for(std::chrono::microseconds(50));
    }
    return true;
}

void fall_back_to_one_thread(const char* why) {
    if (pool().count.exchange(1) == 2)
        std::fprintf(stderr, "rasteriser: %s; drawing on one thread from now on\n", why);
}

int run_inline(const ClipRect& rect, detail::BandFn fn, void* ctx) {
    return fn(ctx, rect);
}

// Draws the bands alongside the worker.
int run_shared(const ClipRect& rect, std::int32_t band_rows, detail::BandFn fn, void* ctx) {
    WorkerPool& p = pool();
    std::lock_guard<std::mutex> guard(p.share_mutex);
    if (p.count.load() < 2 || !p.worker) return run_inline(rect, fn, ctx);
    Worker& w = *p.worker;
    if (w.busy() && !wait_done(w, k_busy_wait_ms)) {
        fall_back_to_one_thread("the raster worker is still busy from an earlier draw");
        wait_done(w, platform::k_infinite);
        return run_inline(rect, fn, ctx);
    }
    band_rows = std::max(band_rows, 1);
    w.fn = fn;
    w.ctx = ctx;
    w.rect = rect;
    w.band_rows = band_rows;
    w.band_count.store((rect.bottom - rect.top + band_rows - 1) / band_rows,
                       std::memory_order_relaxed);
    w.bands_done.store(0, std::memory_order_relaxed);
    w.result.store(0, std::memory_order_relaxed);
    p.shared_count.fetch_add(1, std::memory_order_relaxed);
    if (++p.job_seq == 0) ++p.job_seq; // job 0 is what a fresh worker has already seen
    const std::uint32_t job = p.job_seq;
    w.claim.store(std::uint64_t(job) << 32); // publishes the job
    w.wake_word.fetch_add(1);
    if (w.sleeping.load()) w.wake_word.notify_one();

    // Draw alongside the worker (not while a test makes the worker late on purpose: the
    // worker must then be the one drawing).
    if (w.delay_ms.load() == 0) draw_bands(w, job, false);
    if (!wait_done(w, k_done_wait_ms)) {
        fall_back_to_one_thread("the raster worker did not finish its bands within 1000 ms");
        wait_done(w, platform::k_infinite);
    }
    w.claim.store(std::uint64_t(job) << 32 | k_closed);
    return w.result.load();
}

enum class Choice { alone, shared, alone_unmeasured, shared_unmeasured };

int size_class(std::int64_t work) {
    int c = 0;
    for (std::int64_t w = work / k_share_awake; w > 1 && c + 1 < k_size_classes; w >>= 1) ++c;
    return c;
}

// Shares a draw of `work` units when sharing has lately paid for draws of that size (see
// k_probe_every); until both ways have been measured, they take turns at random.
Choice choose(std::int64_t work) {
    WorkerPool& p = pool();
    if (p.split_all.load(std::memory_order_relaxed)) return Choice::shared_unmeasured;
    const Worker* w = p.worker.get();
    const bool awake = w && !w->sleeping.load(std::memory_order_relaxed);
    if (work < (awake ? k_share_awake : k_share_asleep)) return Choice::alone_unmeasured;
    std::lock_guard<std::mutex> guard(p.payoff_mutex);
    std::uint32_t& r = p.random; // xorshift32
    r ^= r << 13;
    r ^= r >> 17;
    r ^= r << 5;
    const auto& sums = p.payoff[std::size_t(size_class(work))];
    if (sums[0].work <= 0 || sums[1].work <= 0) return r & 1 ? Choice::shared : Choice::alone;
    const bool pays = sums[1].ns / sums[1].work < k_clearly_faster * sums[0].ns / sums[0].work;
    const bool probe = r % k_probe_every == 0;
    return pays != probe ? Choice::shared : Choice::alone;
}

void record(bool shared, std::int64_t work, SteadyClock::duration took) {
    WorkerPool& p = pool();
    const double ns = double(std::chrono::duration_cast<std::chrono::nanoseconds>(took).count());
    std::lock_guard<std::mutex> guard(p.payoff_mutex);
    auto& sums = p.payoff[std::size_t(size_class(work))][shared ? 1 : 0];
    // A draw that the system interrupted counts as at most twice the usual time, so that
    // one interruption does not decide the next several draws.
    const double usual = sums.work > 0 ? sums.ns / sums.work * double(work) : ns;
    sums.ns = sums.ns * k_decay + std::min(ns, 2 * usual);
    sums.work = sums.work * k_decay + double(work);
}

} // namespace

void start_raster_workers() {
    WorkerPool& p = pool();
    if (p.started) return;
    p.started = true;
    p.count.store(1);
    {
        // A fresh start measures afresh what sharing is worth.
        std::lock_guard<std::mutex> guard(p.payoff_mutex);
        p.payoff = {};
    }
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
    std::lock_guard<std::mutex> guard(p.share_mutex);
    p.count.store(1);
    p.started = false;
    if (!p.worker) return;
    Worker& w = *p.worker;
    w.stop.store(true);
    w.wake_word.fetch_add(1);
    w.wake_word.notify_one();
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

void set_raster_split_all_for_tests(bool split_all) {
    pool().split_all.store(split_all);
}

int raster_shares_for_tests() {
    return pool().shared_count.load();
}

namespace detail {

int run_bands(const ClipRect& rect, std::int32_t band_rows, std::int64_t work, BandFn fn,
              void* ctx) {
    WorkerPool& p = pool();
    const std::int32_t rows = rect.bottom - rect.top;
    if (work <= 0 || t_in_band || p.count.load() < 2 || rows <= 0 || rect.right - rect.left <= 3)
        return run_inline(rect, fn, ctx);
    const Choice c = choose(work);
    if (c == Choice::alone_unmeasured) return run_inline(rect, fn, ctx);
    const auto start = SteadyClock::now();
    const int result = c == Choice::shared || c == Choice::shared_unmeasured
                           ? run_shared(rect, band_rows, fn, ctx)
                           : run_inline(rect, fn, ctx);
    if (c == Choice::shared || c == Choice::alone)
        record(c == Choice::shared, work, SteadyClock::now() - start);
    return result;
}

} // namespace detail

} // namespace kestrune::scene
