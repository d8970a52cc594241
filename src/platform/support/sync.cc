// Locks, conditions, threads, the clock and sleeps.
#include "interfaces/sync.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <mutex>
#include <cmath>
#include <cstring>
#include <ctime>
#include <memory>
#include <thread>

namespace vorpane {

Mutex::Mutex() {
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_ERRORCHECK);
    pthread_mutex_init(&_m, &attr);
    pthread_mutexattr_destroy(&attr);
}

Mutex::~Mutex() { pthread_mutex_destroy(&_m); }

int Mutex::lock() VA_NO_THREAD_SAFETY_ANALYSIS { return pthread_mutex_lock(&_m); }
int Mutex::unlock() VA_NO_THREAD_SAFETY_ANALYSIS { return pthread_mutex_unlock(&_m); }

CondVar::CondVar() {
    pthread_condattr_t attr;
    pthread_condattr_init(&attr);
    pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
    pthread_cond_init(&_c, &attr);
    pthread_condattr_destroy(&attr);
}

CondVar::~CondVar() { pthread_cond_destroy(&_c); }

int CondVar::wait(Mutex& m) { return pthread_cond_wait(&_c, m.native()); }

int CondVar::waitFor(Mutex& m, double seconds) {
    if (seconds < 0) {
        return wait(m);
    }
    return waitReal(m, realDuration(seconds));
}

int CondVar::waitReal(Mutex& m, std::chrono::steady_clock::duration d) {
    // pthread's monotonic clock is the same clock as steady_clock on Linux.
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(d).count();
    if (ns < 0) {
        ns = 0;
    }
    struct timespec deadline;
    long long total = static_cast<long long>(now.tv_nsec) + ns % 1000000000LL;
    deadline.tv_sec = now.tv_sec + static_cast<time_t>(ns / 1000000000LL) + static_cast<time_t>(total / 1000000000LL);
    deadline.tv_nsec = static_cast<long>(total % 1000000000LL);
    return pthread_cond_timedwait(&_c, m.native(), &deadline);
}

int CondVar::signal() { return pthread_cond_signal(&_c); }
int CondVar::broadcast() { return pthread_cond_broadcast(&_c); }

std::chrono::steady_clock::duration CondVar::realDuration(double seconds) {
    double real = seconds / clock::speedup();
    if (real > 1e9) {
        real = 1e9;
    }
    return std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(real));
}

namespace clock {
namespace {

// now = virtualAnchor + (steady - steadyAnchor) * speedup + advanced. The anchors move when the
// speed changes, so the clock never jumps back.
std::atomic<double> g_speedup{1.0};
std::atomic<double> g_virtualAnchor{0.0};
std::atomic<double> g_steadyAnchor{0.0};
std::atomic<double> g_advanced{0.0};
std::once_flag g_anchorOnce;

double steadySeconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

void anchor() {
    std::call_once(g_anchorOnce, [] {
        g_steadyAnchor.store(steadySeconds());
        g_virtualAnchor.store(std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count());
    });
}

}  // namespace

double now() {
    anchor();
    return g_virtualAnchor.load() + (steadySeconds() - g_steadyAnchor.load()) * g_speedup.load() + g_advanced.load();
}

int64_t nowSeconds() { return static_cast<int64_t>(std::floor(now())); }

int64_t steadyNanos() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void setSpeedup(double factor) {
    if (!(factor >= 1.0)) {
        factor = 1.0;
    }
    anchor();
    double current = now() - g_advanced.load();
    g_steadyAnchor.store(steadySeconds());
    g_virtualAnchor.store(current);
    g_speedup.store(factor);
}

double speedup() { return g_speedup.load(std::memory_order_relaxed); }

void advance(double seconds) {
    double a = g_advanced.load();
    while (!g_advanced.compare_exchange_weak(a, a + seconds)) {
    }
}

}  // namespace clock
}  // namespace vorpane

int ZOTA_GetLock(vorpane::Mutex& lock, const void* /*owner*/) VA_NO_THREAD_SAFETY_ANALYSIS { return lock.lock(); }

int ZOTA_ReleaseLock(vorpane::Mutex& lock, const void* /*owner*/) VA_NO_THREAD_SAFETY_ANALYSIS {
    return lock.unlock();
}

vorpane::Mutex& ZOTA_GetEnvVarsInitLock() {
    static vorpane::Mutex* lock = new vorpane::Mutex();  // outlives every thread at exit
    return *lock;
}

void BSS1_Sleep(double seconds) {
    if (seconds <= 0) {
        return;
    }
    std::this_thread::sleep_for(vorpane::CondVar::realDuration(seconds));
}

namespace {

struct ThreadStart {
    std::function<void()> body;
    char name[16];
};

void* threadTrampoline(void* arg) {
    std::unique_ptr<ThreadStart> start(static_cast<ThreadStart*>(arg));
    if (start->name[0] != '\0') {
        pthread_setname_np(pthread_self(), start->name);
    }
    start->body();
    return nullptr;
}

}  // namespace

int ZOT0_CreateThread(std::function<void()> body, int detached, pthread_t* threadId, const char* name) {
    auto start = std::make_unique<ThreadStart>();
    start->body = std::move(body);
    std::snprintf(start->name, sizeof start->name, "%s", name != nullptr ? name : "");
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, detached ? PTHREAD_CREATE_DETACHED : PTHREAD_CREATE_JOINABLE);
    pthread_t tid;
    int rc = pthread_create(&tid, &attr, threadTrampoline, start.get());
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        errno = rc;
        return rc;
    }
    start.release();  // the thread owns it now
    if (threadId != nullptr) {
        *threadId = tid;
    }
    return 0;
}
