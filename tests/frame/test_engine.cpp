// Engine state, locks, the thread registry, the multi-object wait and the start-up chain.
#include "frame/engine.h"
#include "frame/frame.h"

#include "platform/clock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

using namespace kestrune;
using namespace kestrune::engine;

namespace {

class EngineTest : public ::testing::Test {
protected:
    void SetUp() override {
        reset_process_state_for_tests();
        build_lock_table();
    }
    void TearDown() override {
        tear_down_threads();
        reset_process_state_for_tests();
    }
};

std::atomic<int> g_counter{0};
void count_routine(void*) {
    ++g_counter;
}
void wait_quit_routine(void*) {
    wait_multi(k_wait_quit, nullptr, platform::k_infinite);
}
void other_routine(void*) {
    wait_multi(k_wait_quit, nullptr, 2000);
}

} // namespace

TEST_F(EngineTest, SetStateKeepsPreviousAndSignals) {
    set_state(k_state_start_scripts);
    state_changed_event().reset();
    set_state(k_state_running);
    EXPECT_EQ(state(), k_state_running);
    EXPECT_EQ(previous_state(), k_state_start_scripts);
    EXPECT_TRUE(state_changed_event().is_signalled());
}

TEST_F(EngineTest, WaitMultiReportsBitsInOrderAndTimeOut) {
    attention_event().signal();
    skip_event().signal();
    EXPECT_EQ(wait_multi(k_wait_quit | k_wait_attention | k_wait_skip, nullptr, 0),
              k_wait_attention);
    platform::Event extra;
    attention_event().reset();
    skip_event().reset();
    extra.signal();
    EXPECT_EQ(wait_multi(k_wait_quit | k_wait_attention, &extra, 0), k_wait_extra);
    extra.reset();
    EXPECT_EQ(wait_multi(k_wait_quit, &extra, 10), k_wait_timed_out);
    // A state-changed event left signalled from before is reset, not reported.
    state_changed_event().signal();
    EXPECT_EQ(wait_multi(k_wait_state, nullptr, 10), k_wait_timed_out);
}

TEST_F(EngineTest, CommandLockIsTakenOnce) {
    EXPECT_TRUE(try_take_command_lock());
    EXPECT_FALSE(try_take_command_lock());
    give_command_lock();
    std::atomic<int> taken{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 8; ++i)
        threads.emplace_back([&] {
            for (int k = 0; k < 1000; ++k)
                if (try_take_command_lock()) {
                    ++taken;
                    if (taken.load() != 1) ADD_FAILURE() << "two holders";
                    --taken;
                    give_command_lock();
                }
        });
    for (auto& t : threads) t.join();
    EXPECT_TRUE(command_lock_free());
}

TEST_F(EngineTest, LocksBecomeNoOpsAfterQuit) {
    lock(k_lock_scene);
    std::atomic<bool> done{false};
    std::thread other([&] {
        lock(k_lock_scene); // blocks until quit
        unlock(k_lock_scene);
        done = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(done.load());
    request_quit();
    other.join();
    EXPECT_TRUE(done.load());
    const auto t0 = std::chrono::steady_clock::now();
    lock(k_lock_image); // would block forever otherwise? it is free, but returns at once
    unlock(k_lock_scene);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(100));
}

TEST_F(EngineTest, TeardownResumesSuspendedThreadsBeforeWaiting) {
    g_counter = 0;
    const int h = create_thread(false, count_routine, nullptr);
    ASSERT_NE(h, k_no_thread);
    EXPECT_EQ(thread_state(h), k_thread_suspended);
    EXPECT_EQ(tear_down_threads(), 1);
    EXPECT_FALSE(lock_table_built());
}

TEST_F(EngineTest, ThreadBlockedInEngineWaitEndsWhenAsked) {
    const int h = create_thread(true, wait_quit_routine, nullptr);
    ASSERT_NE(h, k_no_thread);
    EXPECT_EQ(thread_state(h), k_thread_running);
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(tear_down_threads(), 1);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(900));
}

TEST_F(EngineTest, ThreadIgnoringStopIsReportedAndLeftDetached) {
    static std::atomic<bool> release{false};
    static std::atomic<bool> started{false};
    release = false;
    started = false;
    const int h = create_thread(
        true,
        [](void*) {
            started = true;
            while (!release.load()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        },
        nullptr);
    ASSERT_NE(h, k_no_thread);
    // A thread asked to stop before it began never runs its body; wait until it does.
    while (!started.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_EQ(tear_down_threads(), 0);
    release = true;
}

TEST_F(EngineTest, IsRunningByRoutineFindsFirstEntry) {
    const int a = create_thread(true, other_routine, nullptr);
    const int b = create_thread(false, other_routine, nullptr);
    EXPECT_EQ(is_thread_running(b, nullptr), 1);
    EXPECT_EQ(is_thread_running(-1, other_routine), 1);
    EXPECT_EQ(resume_thread(b), 1);
    EXPECT_EQ(resume_thread(a), 0);
    EXPECT_EQ(is_thread_running(-1, count_routine), 0);
    request_quit();
    EXPECT_TRUE(wait_thread(a, 2000));
    EXPECT_TRUE(wait_thread(b, 2000));
    EXPECT_EQ(is_thread_running(a), 0);
}

TEST(StartupChain, FailingStepReleasesStartedStepsInReverse) {
    std::vector<std::string> log;
    using kestrune::frame::Step;
    std::vector<Step> steps = {
        {"a",
         [&] {
             log.push_back("+a");
             return true;
         },
         [&] { log.push_back("-a"); }},
        {"b",
         [&] {
             log.push_back("+b");
             return true;
         },
         [&] { log.push_back("-b"); }},
        {"c",
         [&] {
             log.push_back("+c");
             return false;
         },
         [&] { log.push_back("-c"); }},
        {"d",
         [&] {
             log.push_back("+d");
             return true;
         },
         [&] { log.push_back("-d"); }},
    };
    std::string failed;
    EXPECT_FALSE(kestrune::frame::run_chain(steps, failed));
    EXPECT_EQ(failed, "c");
    EXPECT_EQ(log, (std::vector<std::string>{"+a", "+b", "+c", "-b", "-a"}));
}

TEST(CommandLine, ParsesAndRefuses) {
    using namespace kestrune::frame;
    struct Case {
        std::vector<const char*> args;
        bool ok;
    };
    const std::vector<Case> cases = {
        {{"k", "--headless", "--time-scale", "4", "--max-seconds", "2.5", "game"}, true},
        {{"k", "--time-scale"}, false},
        {{"k", "--time-scale", "0"}, false},
        {{"k", "--max-seconds", "x"}, false},
        {{"k", "--screenshot", "100"}, false},
        {{"k", "--screenshot", "100=out.png"}, true},
        {{"k", "--frobnicate"}, false},
        {{"k", "a", "b"}, false},
    };
    for (const Case& c : cases) {
        Options o;
        std::string error;
        const auto r = parse_command_line(static_cast<int>(c.args.size()), c.args.data(), o, error);
        EXPECT_EQ(r == ParseResult::ok, c.ok) << c.args.back() << ": " << error;
        if (!c.ok) {
            EXPECT_FALSE(error.empty());
        }
    }
    Options o;
    std::string error;
    const char* args[] = {"k", "--headless", "--time-scale", "4", "--max-seconds", "2.5", "game"};
    parse_command_line(7, args, o, error);
    EXPECT_TRUE(o.headless);
    EXPECT_DOUBLE_EQ(o.time_scale, 4.0);
    EXPECT_DOUBLE_EQ(o.max_seconds, 2.5);
    EXPECT_EQ(o.game_dir.back(), 'e');
    EXPECT_EQ(o.game_dir.front(), '/');
}

// A scoped lock is given back on every way out: an exception, an early unlock, and a
// release after the quit flag was set (it was once skipped then, leaving the lock held).
TEST_F(EngineTest, ScopedLockIsGivenBackOnEveryWayOut) {
    auto free_elsewhere = [] {
        bool taken = false;
        std::thread other([&] {
            // A held lock would block here; quit is never set meanwhile, so give up on a
            // timer instead of waiting forever.
            std::atomic<bool> got{false};
            std::thread probe([&] {
                if (lock(k_lock_scene)) {
                    got = true;
                    unlock(k_lock_scene);
                }
            });
            for (int i = 0; i < 100 && !got.load(); ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            taken = got.load();
            if (!taken) request_quit(); // frees the probe
            probe.join();
        });
        other.join();
        return taken;
    };
    try {
        ScopedLock guard(k_lock_scene);
        EXPECT_TRUE(guard.held());
        throw 1;
    } catch (int) {
    }
    EXPECT_TRUE(free_elsewhere());
    {
        ScopedLock guard(k_lock_scene);
        guard.unlock();
        EXPECT_TRUE(free_elsewhere());
        guard.lock();
        EXPECT_TRUE(guard.held());
    }
    EXPECT_TRUE(free_elsewhere());
    {
        ScopedLock guard(k_lock_scene);
        request_quit();
    }
    reset_process_state_for_tests(); // the quit flag down again, the same lock table
    EXPECT_TRUE(free_elsewhere());
}

// A lock() that gave up took nothing: its paired unlock() must not release a mutex that
// another thread holds.
TEST_F(EngineTest, UnlockWithoutLockLeavesOtherHoldersAlone) {
    std::atomic<bool> held{false}, release{false};
    std::thread holder([&] {
        lock(k_lock_scene);
        held = true;
        while (!release.load()) std::this_thread::sleep_for(std::chrono::milliseconds(2));
        unlock(k_lock_scene);
    });
    while (!held.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    unlock(k_lock_scene); // this thread holds nothing
    std::atomic<bool> got{false};
    std::thread taker([&] {
        lock(k_lock_scene);
        got = true;
        unlock(k_lock_scene);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(got.load());
    release = true;
    holder.join();
    taker.join();
    EXPECT_TRUE(got.load());
}

// The watchdog over the render thread: passes reset the watch, and so does a render thread
// that is not running (start-up, a load, shutdown); only a running thread that made no pass
// for the whole limit is a stall, and the watch works across the wrap of the tick.
TEST(RenderWatchdog, ReportsOnlyARunningThreadWithoutPassesForTheLimit) {
    struct Feed {
        bool running;
        std::uint64_t passes;
        std::uint32_t now;
        bool stalled;
    };
    struct Case {
        const char* what;
        std::vector<Feed> feeds;
    };
    const std::vector<Case> cases = {
        {"passes keep it quiet",
         {{true, 1, 0, false}, {true, 2, 4000, false}, {true, 3, 8000, false}}},
        {"no pass for the limit",
         {{true, 1, 0, false}, {true, 1, 4999, false}, {true, 1, 5000, true}}},
        {"a stopped thread is not watched",
         {{true, 1, 0, false},
          {false, 1, 6000, false},
          {true, 1, 7000, false},
          {true, 1, 11999, false}}},
        {"a pass restarts the watch",
         {{true, 1, 0, false},
          {true, 2, 4000, false},
          {true, 2, 8999, false},
          {true, 2, 9000, true}}},
        {"across the wrap", {{true, 5, 0xFFFFF000u, false}, {true, 5, 0x00000388u, true}}},
    };
    for (const Case& c : cases) {
        kestrune::frame::RenderWatchdog watchdog(5000);
        for (std::size_t i = 0; i < c.feeds.size(); ++i) {
            const Feed& f = c.feeds[i];
            EXPECT_EQ(watchdog.stalled(f.running, f.passes, f.now), f.stalled)
                << c.what << ", feed " << i;
        }
    }
}

// The render thread's pulse counts up.
TEST_F(EngineTest, RenderPassesCountUp) {
    const std::uint64_t before = render_passes();
    note_render_pass();
    note_render_pass();
    EXPECT_EQ(render_passes(), before + 2);
}
