#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>

#include "interfaces/support.h"
#include "testlib/scoped_env.h"

namespace {

using vorpane::CondVar;
using vorpane::Mutex;
using vorpane::ScopedLock;

using Speedup = vorpane::testing::ScopedSpeedup;

// Misuses the lock on purpose, which the static analysis rightly refuses.
void relockOwnMutex() VA_NO_THREAD_SAFETY_ANALYSIS {
    Mutex m;
    ASSERT_EQ(ZOTA_GetLock(m, nullptr), 0);
    bool failed = false;
    {
        ScopedLock again(m, [&] { failed = true; });
        EXPECT_FALSE(again.ok());
        EXPECT_EQ(again.rc(), EDEADLK);
    }
    EXPECT_TRUE(failed);
    EXPECT_EQ(ZOTA_ReleaseLock(m, nullptr), 0);
}

TEST(Sync, RelockingOwnMutexFailsInsteadOfDeadlocking) { relockOwnMutex(); }

TEST(Sync, TimedWaitIsShortenedByTheSpeedSwitch) {
    Speedup fast(1000);
    Mutex m;
    CondVar c;
    ScopedLock g(m);
    auto start = std::chrono::steady_clock::now();
    // 75 seconds of clock time pass in 75 ms of real time.
    EXPECT_EQ(c.waitFor(m, 75), ETIMEDOUT);
    auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_LT(elapsed, std::chrono::seconds(5));
}

TEST(Sync, WaitUntilReturnsAsSoonAsThePredicateHolds) {
    Mutex m;
    CondVar c;
    bool ready = false;
    pthread_t t;
    ASSERT_EQ(ZOT0_CreateThread(
                  [&] {
                      ScopedLock g(m);
                      ready = true;
                      c.signal();
                  },
                  0, &t, "setter"),
              0);
    {
        ScopedLock g(m);
        EXPECT_TRUE(c.waitUntil(m, 60, [&] { return ready; }));
    }
    pthread_join(t, nullptr);
    ScopedLock g(m);
    EXPECT_FALSE(c.waitUntil(m, 0.01, [] { return false; }));
}

TEST(Sync, ClockRunsFasterUnderTheSwitchAndCanBeAdvanced) {
    int64_t before = vorpane::clock::nowSeconds();
    vorpane::clock::advance(3600);
    int64_t after = vorpane::clock::nowSeconds();
    EXPECT_GE(after - before, 3600);
    EXPECT_LT(after - before, 3700);
    vorpane::clock::advance(-3600);
    {
        Speedup fast(1000);
        double t0 = vorpane::clock::now();
        BSS1_Sleep(10);  // 10 ms of real time
        EXPECT_GE(vorpane::clock::now() - t0, 9.0);
    }
    EXPECT_EQ(vorpane::clock::speedup(), 1.0);
}

// The measuring clock follows real time only: neither the switch nor advance() moves it.
TEST(Sync, SteadyNanosIgnoresTheSwitchAndAdvance) {
    const int64_t t0 = vorpane::clock::steadyNanos();
    vorpane::clock::advance(3600);
    {
        Speedup fast(1000);
        BSS1_Sleep(2);  // 2 ms of real time
    }
    const int64_t elapsed = vorpane::clock::steadyNanos() - t0;
    vorpane::clock::advance(-3600);
    EXPECT_GE(elapsed, 2'000'000);
    EXPECT_LT(elapsed, 3600LL * 1'000'000'000);
}

TEST(Sync, DetachedAndJoinableThreadsRun) {
    std::atomic<int> ran{0};
    pthread_t joinable;
    ASSERT_EQ(ZOT0_CreateThread([&] { ran += 1; }, 0, &joinable, "joinable"), 0);
    ASSERT_EQ(pthread_join(joinable, nullptr), 0);
    EXPECT_EQ(ran.load(), 1);

    Mutex m;
    CondVar c;
    bool done = false;
    ASSERT_EQ(ZOT0_CreateThread(
                  [&] {
                      ScopedLock g(m);
                      done = true;
                      c.signal();
                  },
                  1, nullptr, "detached"),
              0);
    ScopedLock g(m);
    EXPECT_TRUE(c.waitUntil(m, 30, [&] { return done; }));
}

}  // namespace
