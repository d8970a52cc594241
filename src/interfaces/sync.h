// Locks, conditions, threads and time of the support library.
//
// Every lock of the system is a vorpane::Mutex taken through ZOTA_GetLock/ZOTA_ReleaseLock or a
// ScopedLock; every wait with a time-out goes through CondVar::waitFor; every sleep through
// BSS1_Sleep; every clock read through vorpane::clock. Tests speed the clock up with one switch
// (clock::setSpeedup) so that a 75-second wait ends a test in a fraction of a second without changing
// the logic under test.
#pragma once

#include <pthread.h>

#include <chrono>
#include <cstdint>
#include <functional>

#if defined(__clang__)
#define VA_TSA(x) __attribute__((x))
#else
#define VA_TSA(x)
#endif
#define VA_CAPABILITY(x) VA_TSA(capability(x))
#define VA_SCOPED_CAPABILITY VA_TSA(scoped_lockable)
#define VA_GUARDED_BY(x) VA_TSA(guarded_by(x))
#define VA_PT_GUARDED_BY(x) VA_TSA(pt_guarded_by(x))
#define VA_REQUIRES(...) VA_TSA(requires_capability(__VA_ARGS__))
#define VA_ACQUIRE(...) VA_TSA(acquire_capability(__VA_ARGS__))
#define VA_RELEASE(...) VA_TSA(release_capability(__VA_ARGS__))
#define VA_EXCLUDES(...) VA_TSA(locks_excluded(__VA_ARGS__))
#define VA_RETURN_CAPABILITY(x) VA_TSA(lock_returned(x))
#define VA_NO_THREAD_SAFETY_ANALYSIS VA_TSA(no_thread_safety_analysis)

namespace vorpane {

// An error-checking POSIX mutex: relocking by the owner or unlocking by another thread is reported
// as a failure code instead of deadlocking or corrupting the lock.
class VA_CAPABILITY("mutex") Mutex {
public:
    Mutex();
    ~Mutex();
    Mutex(const Mutex&) = delete;
    Mutex& operator=(const Mutex&) = delete;

    // 0 on success, else the error code. The analysis assumes success: callers return on failure.
    int lock() VA_ACQUIRE();
    int unlock() VA_RELEASE();
    pthread_mutex_t* native() { return &_m; }

private:
    pthread_mutex_t _m;
};

// Holds a Mutex for a scope. When the lock cannot be taken, onFailure runs (it writes the caller's
// specified trace line) and ok() is false; the caller then fails its operation.
class VA_SCOPED_CAPABILITY ScopedLock {
public:
    explicit ScopedLock(Mutex& m) VA_ACQUIRE(m) : _m(m), _rc(m.lock()) {}
    template <typename OnFailure>
    ScopedLock(Mutex& m, OnFailure&& onFailure) VA_ACQUIRE(m) : _m(m), _rc(m.lock()) {
        if (_rc != 0) {
            onFailure();
        }
    }
    ~ScopedLock() VA_RELEASE() {
        if (_rc == 0) {
            _m.unlock();
        }
    }
    ScopedLock(const ScopedLock&) = delete;
    ScopedLock& operator=(const ScopedLock&) = delete;

    bool ok() const { return _rc == 0; }
    int rc() const { return _rc; }

private:
    Mutex& _m;
    int _rc;
};

// A condition variable on the monotonic clock.
class CondVar {
public:
    CondVar();
    ~CondVar();
    CondVar(const CondVar&) = delete;
    CondVar& operator=(const CondVar&) = delete;

    int wait(Mutex& m) VA_REQUIRES(m);
    // Waits at most `seconds` of clock time (shortened by the test switch). 0 when signalled,
    // ETIMEDOUT when the time ran out, another code on failure.
    int waitFor(Mutex& m, double seconds) VA_REQUIRES(m);
    int signal();
    int broadcast();

    // Waits until pred() holds or `seconds` ran out; returns pred(). A negative time waits forever.
    template <typename Pred>
    bool waitUntil(Mutex& m, double seconds, Pred&& pred) VA_REQUIRES(m) VA_NO_THREAD_SAFETY_ANALYSIS {
        if (seconds < 0) {
            while (!pred()) {
                if (wait(m) != 0) {
                    return pred();
                }
            }
            return true;
        }
        const auto deadline = std::chrono::steady_clock::now() + realDuration(seconds);
        while (!pred()) {
            auto left = deadline - std::chrono::steady_clock::now();
            if (left <= std::chrono::steady_clock::duration::zero()) {
                return pred();
            }
            if (waitReal(m, left) != 0 && std::chrono::steady_clock::now() >= deadline) {
                return pred();
            }
        }
        return true;
    }

    static std::chrono::steady_clock::duration realDuration(double seconds);

private:
    int waitReal(Mutex& m, std::chrono::steady_clock::duration d) VA_REQUIRES(m);
    pthread_cond_t _c;
};

namespace clock {

// Wall-clock seconds since the epoch as the system sees it: real time, running `speedup` times faster
// under the test switch, plus whatever tests advanced it by.
int64_t nowSeconds();
double now();

// The test switch: every sleep and time-out is divided by factor (>= 1), and the clock runs factor
// times faster. Also read from VORPANE_TIME_SPEEDUP by BSS1_Main so that whole-process tests can
// shorten the agent's waits.
void setSpeedup(double factor);
double speedup();

// Moves the clock forward without sleeping (tests of ages and expiry).
void advance(double seconds);

// Real elapsed time in nanoseconds on the monotonic clock, untouched by the test switch and by
// advance(): for measuring how long something took (benchmarks, latencies), never for deciding
// when a wait of the system ends.
int64_t steadyNanos();

}  // namespace clock

}  // namespace vorpane

// Support-library names of the same mechanisms.
int ZOTA_GetLock(vorpane::Mutex& lock, const void* owner) VA_ACQUIRE(lock);
int ZOTA_ReleaseLock(vorpane::Mutex& lock, const void* owner) VA_RELEASE(lock);
vorpane::Mutex& ZOTA_GetEnvVarsInitLock();

// Sleeps for `seconds` of clock time (shortened by the test switch).
void BSS1_Sleep(double seconds);

// Starts a thread running body. detached 1: nobody joins it; 0: join it with pthread_join through
// *threadId. name (at most 15 characters) shows in debuggers. Returns 0 or the error code.
int ZOT0_CreateThread(std::function<void()> body, int detached, pthread_t* threadId, const char* name = nullptr);
