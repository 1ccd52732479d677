// Events, multi-object waits, threads and the zeroed block allocation.
#include "platform/clock.h"
#include "platform/memory.h"
#include "platform/sync.h"
#include "platform/thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

using namespace kestrune::platform;

TEST(Clock, TickDifferenceSurvivesWrapAround) {
    EXPECT_EQ(tick_diff(5u, 0xFFFFFFFBu), 10);
    EXPECT_TRUE(tick_reached(5u, 0xFFFFFFFBu));
    EXPECT_FALSE(tick_reached(0xFFFFFFFBu, 5u));
}

TEST(Event, WaitAnyReturnsFirstSignalledInListOrder) {
    Event a, b, c;
    b.signal();
    c.signal();
    EXPECT_EQ(wait_any({&a, &b, &c}, 0), 1);
    // Manual-reset events stay signalled.
    EXPECT_EQ(wait_any({&c, &b}, 0), 0);
    EXPECT_EQ(wait_any({&a}, 10), k_wait_timeout);
}

TEST(Event, AutoResetReleasesOneWaiterAndResets) {
    Event e(false, true);
    EXPECT_TRUE(e.wait(0));
    EXPECT_FALSE(e.wait(0));
}

// Guards against a pulse that lands between a waiter's check and its sleep.
TEST(Event, PulseReachesEveryBlockedWaiterOfAManualEvent) {
    Event e(true, false);
    std::atomic<int> woken{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 4; ++i)
        waiters.emplace_back([&] {
            if (e.wait(5000)) ++woken;
        });
    // Let every waiter block before pulsing.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    e.pulse();
    for (auto& t : waiters) t.join();
    EXPECT_EQ(woken.load(), 4);
    EXPECT_FALSE(e.is_signalled());
}

TEST(Event, PulseWithoutWaitersIsLost) {
    Event e(false, false);
    e.pulse();
    EXPECT_FALSE(e.wait(0));
}

TEST(Thread, WaitInsideAThreadEndsOnStopRequest) {
    Event never;
    std::atomic<int> result{99};
    Thread t;
    ASSERT_TRUE(t.start([&] { result = wait_any({&never}, k_infinite); }));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    t.request_stop();
    EXPECT_TRUE(t.join_for(2000));
    EXPECT_EQ(result.load(), k_wait_stopped);
}

TEST(Thread, SuspendedThreadRunsOnlyAfterResume) {
    std::atomic<bool> ran{false};
    Thread t;
    ASSERT_TRUE(t.start([&] { ran = true; }, true));
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_FALSE(ran.load());
    EXPECT_TRUE(t.is_suspended());
    EXPECT_TRUE(t.resume());
    EXPECT_TRUE(t.join_for(2000));
    EXPECT_TRUE(ran.load());
    EXPECT_FALSE(t.resume());
}

TEST(Thread, MutexLockGivesUpOnStopRequest) {
    Mutex m;
    ASSERT_TRUE(m.lock());
    std::atomic<int> got{-1};
    Thread t;
    ASSERT_TRUE(t.start([&] { got = m.lock() ? 1 : 0; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    t.request_stop();
    EXPECT_TRUE(t.join_for(2000));
    EXPECT_EQ(got.load(), 0);
    m.unlock();
}

TEST(Memory, ZeroedBlockSizes) {
    struct Case {
        std::size_t request, allocated;
    };
    for (const Case c : {Case{0, 1088}, Case{1, 1152}, Case{64, 1152}, Case{1000, 2112}}) {
        EXPECT_EQ(block_size_for(c.request), c.allocated) << c.request;
        EXPECT_GE(block_size_for(c.request), c.request + 1088);
    }
    BlockPtr b = make_block(0);
    ASSERT_TRUE(b);
    for (std::size_t i = 0; i < 1088; ++i) ASSERT_EQ(b[i], 0) << i;
    EXPECT_EQ(block_zero(nullptr, 10), 0);
    EXPECT_EQ(block_copy(b.get(), nullptr, 10), 0);
}

TEST(Clock, TimeScaleSpeedsUpSleeps) {
    set_time_scale(10.0);
    const Tick t0 = tick_ms();
    const auto real0 = std::chrono::steady_clock::now();
    sleep_ms(200);
    const auto real_ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                             std::chrono::steady_clock::now() - real0)
                             .count();
    EXPECT_GE(tick_diff(tick_ms(), t0), 200);
    EXPECT_LT(real_ms, 150);
    set_time_scale(1.0);
}

// Stepped time, in a child process (switching it on is for the whole process): sleeping
// threads run in the order of their deadlines whatever the system's scheduler does, time
// jumps straight to each deadline, and a sleep of the whole run costs no real time.
[[noreturn]] void run_stepped_turns() {
    enable_stepped_clock();
    std::string log;
    Event done(true, false);
    Thread a, b;
    const auto real_start = std::chrono::steady_clock::now();
    a.start([&] {
        for (int i = 0; i < 3; ++i) {
            sleep_ms(30);
            log += "a" + std::to_string(tick_ms()) + " ";
        }
    });
    b.start([&] {
        for (int i = 0; i < 2; ++i) {
            sleep_ms(40);
            log += "b" + std::to_string(tick_ms()) + " ";
        }
        done.wait(10000); // nobody signals it: times out at 10080
        log += "b" + std::to_string(tick_ms());
    });
    a.join_for(k_infinite);
    b.join_for(k_infinite);
    const bool fast = std::chrono::steady_clock::now() - real_start < std::chrono::seconds(5);
    std::fprintf(stderr, "%s\n", log.c_str());
    std::exit(log == "a30 b40 a60 b80 a90 b10080" && fast ? 0 : 1);
}

TEST(SteppedClock, ThreadsTakeTurnsInDeadlineOrderAndTimeJumps) {
    EXPECT_EXIT(run_stepped_turns(), ::testing::ExitedWithCode(0), "");
}

// A thread that keeps finding its event set never blocks: its waits are charged a
// millisecond per thousand, so a thread that waits for time to pass still gets its turn.
[[noreturn]] void run_stepped_spin() {
    enable_stepped_clock();
    Event always(true, true);
    std::atomic<bool> woke{false};
    Thread sleeper;
    sleeper.start([&] {
        sleep_ms(5);
        woke = true;
    });
    int rounds = 0;
    while (!woke.load() && rounds < 100000) {
        Event* events[] = {&always};
        wait_any(events, 1000);
        ++rounds;
    }
    sleeper.join_for(k_infinite);
    std::fprintf(stderr, "%d rounds, %u ms\n", rounds, tick_ms());
    // Every thousand waits take a millisecond. The sleeper's time comes at 5 ms, in the
    // same moment as the spinner's fifth pause ends; the spinner was ready first and runs
    // its next thousand, then the sleeper runs while the spinner pauses again.
    std::exit(woke.load() && rounds == 6000 && tick_ms() == 6 ? 0 : 1);
}

TEST(SteppedClock, AWaitThatKeepsFindingItsEventSetLetsTimeMoveOn) {
    EXPECT_EXIT(run_stepped_spin(), ::testing::ExitedWithCode(0), "");
}
