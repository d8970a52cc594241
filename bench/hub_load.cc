// hub_load: the hub's row path under load, against a minimal loopback program measured in the same
// run, so that the figures can be read as ratios (absolute rates drift between runs on a shared
// machine; ratios taken in one run do not).
//
// Every run measures, one after the other:
//   baseline N   N provider threads, each with its own TCP connection, send a length-prefixed
//                200-byte request and wait for a 16-byte status; one server thread forwards each
//                request as a 200-byte message over one shared connection to a collector thread and
//                then replies. No hub logic at all: what loopback TCP and the wake-ups allow.
//   base+queue N the baseline with the hub's one structural cost added: the server thread hands
//                each request through a 4-slot queue (mutex, two conditions) to a second thread
//                that forwards and answers it. What separates it from the baseline is the price of
//                that hand-off; what separates the hub from it is the hub's own work.
//   hub N        the real DCHserver in this process. N HubProvider sessions (own thread, own
//                connection) register the same application and group of 10 attributes and bring
//                their own source online; one dc_waitOnData collector receives every row. Rows/s
//                from the first send to the last receipt, the CPU time of the hub's two threads per
//                row, the peak resident memory of the process.
//   latency      one provider at a fixed rate, paced on the clock; send-to-receipt p50, p99 and max,
//                for the hub and for the baseline.
//   growth       a long hub run; VmRSS when the steady state begins and when the run ends.
//   stall        8 providers at a fixed total rate, each bringing a source of two groups online;
//                one collector reads one group, another subscribes to the other and never reads.
//                The providers' answer times (send of a row to its status), p50, p99 and max, with
//                the stalled collector and, in the same run, without it; and whether it was cut.
// and finally prints the medians over the runs, with min and max, as a Markdown table.
//
// Run `hub_load --help` for the options; docs/benchmarks.md has the command and the figures.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "agent/va_limits.h"
#include "hub/dch_ipc.h"
#include "hub/dch_server.h"
#include "interfaces/dch_client.h"
#include "interfaces/dch_protocol.h"
#include "interfaces/support.h"
#include "interfaces/sync.h"
#include "interfaces/trace.h"

namespace {

using vorpane::clock::steadyNanos;

// ---------------------------------------------------------------------------------------------------
// Options

struct Options {
    int runs = 5;
    long rows = 200000;         // rows of one throughput part, over all its providers
    double seconds = 60;        // and the longest one part may send
    std::vector<int> providers{1, 8};
    double rate = 2000;         // rows per second of the latency parts
    long latencyRows = 10000;
    long growthRows = 1000000;  // 0: no growth part
    long stallRows = 8000;      // rows of one stall part over its 8 providers; 0: no stall part
    long growthStart = 50000;   // rows after which the steady state is taken to begin
    int growthProviders = 8;
    bool hubOnly = false;  // no baseline parts (for profiling the hub)
    int rounds = 3;        // turns the baseline, its queued variant and the hub take per run
};

void usage() {
    std::printf(
        "usage: hub_load [--runs N] [--rows N] [--seconds S] [--providers 1,8] [--rounds N] [--rate R]\n"
        "                [--latency-rows N] [--growth-rows N] [--growth-start N] [--growth-providers N]\n"
        "  --runs            runs, each measuring every part (default 5)\n"
        "  --rows            rows of one throughput part over all providers (default 200000)\n"
        "  --seconds         longest time one throughput part sends (default 60)\n"
        "  --providers       provider counts of the throughput parts (default 1,8)\n"
        "  --rounds          turns per run in which the throughput parts alternate (default 3)\n"
        "  --rate            rows/s of the latency parts (default 2000)\n"
        "  --latency-rows    rows of one latency part (default 10000)\n"
        "  --growth-rows     rows of the memory growth part, 0 for none (default 1000000)\n"
        "  --stall-rows      rows of the stall parts, at --rate, 0 for none (default 8000)\n"
        "  --growth-start    rows after which its steady state begins (default 50000)\n"
        "  --growth-providers  providers of the growth part (default 8)\n"
        "  --hub-only        skip the baseline parts (for profiling; no ratios)\n"
        "Exit status 0 when every row sent was received in every part.\n");
}

bool parseOptions(int argc, char** argv, Options* o) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            usage();
            std::exit(0);
        }
        if (arg == "--hub-only") {
            o->hubOnly = true;
            continue;
        }
        if (i + 1 >= argc) {
            std::fprintf(stderr, "hub_load: %s needs a value\n", arg.c_str());
            return false;
        }
        const std::string value = argv[++i];
        if (arg == "--runs") {
            o->runs = std::max(1, std::atoi(value.c_str()));
        } else if (arg == "--rows") {
            o->rows = std::max(1L, std::atol(value.c_str()));
        } else if (arg == "--seconds") {
            o->seconds = std::max(0.1, std::atof(value.c_str()));
        } else if (arg == "--providers") {
            o->providers.clear();
            std::stringstream list(value);
            for (std::string item; std::getline(list, item, ',');) {
                const int n = std::atoi(item.c_str());
                if (n < 1 || n > 60) {
                    std::fprintf(stderr, "hub_load: provider count %s is outside 1 to 60\n", item.c_str());
                    return false;
                }
                o->providers.push_back(n);
            }
        } else if (arg == "--rounds") {
            o->rounds = std::clamp(std::atoi(value.c_str()), 1, 100);
        } else if (arg == "--rate") {
            o->rate = std::max(1.0, std::atof(value.c_str()));
        } else if (arg == "--latency-rows") {
            o->latencyRows = std::max(0L, std::atol(value.c_str()));
        } else if (arg == "--growth-rows") {
            o->growthRows = std::max(0L, std::atol(value.c_str()));
        } else if (arg == "--stall-rows") {
            o->stallRows = std::max(0L, std::atol(value.c_str()));
        } else if (arg == "--growth-start") {
            o->growthStart = std::max(0L, std::atol(value.c_str()));
        } else if (arg == "--growth-providers") {
            o->growthProviders = std::clamp(std::atoi(value.c_str()), 1, 60);
        } else {
            std::fprintf(stderr, "hub_load: unknown option %s\n", arg.c_str());
            return false;
        }
    }
    return true;
}

// ---------------------------------------------------------------------------------------------------
// Process figures: thread CPU time and resident memory from /proc.

pid_t currentTid() {
    return static_cast<pid_t>(syscall(SYS_gettid));
}

std::string threadName(pid_t tid) {
    std::ifstream in("/proc/self/task/" + std::to_string(tid) + "/comm");
    std::string name;
    std::getline(in, name);
    return name;
}

// The live threads of this process whose name is one of names.
std::set<pid_t> threadsNamed(const std::set<std::string>& names) {
    std::set<pid_t> found;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task", ec)) {
        const pid_t tid = static_cast<pid_t>(std::atol(entry.path().filename().c_str()));
        if (names.count(threadName(tid)) != 0) {
            found.insert(tid);
        }
    }
    return found;
}

// utime + stime of the threads, in seconds (fields 14 and 15 of /proc/self/task/<tid>/stat).
double threadCpuSeconds(const std::set<pid_t>& tids) {
    static const double ticks = static_cast<double>(sysconf(_SC_CLK_TCK));
    double total = 0;
    for (pid_t tid : tids) {
        std::ifstream in("/proc/self/task/" + std::to_string(tid) + "/stat");
        std::string line;
        std::getline(in, line);
        const size_t close = line.rfind(')');
        if (close == std::string::npos) {
            continue;
        }
        std::istringstream rest(line.substr(close + 2));
        std::string field;
        unsigned long long utime = 0;
        unsigned long long stime = 0;
        // rest begins with field 3 (state); utime and stime are fields 14 and 15.
        for (int n = 3; n <= 15 && rest >> field; ++n) {
            if (n == 14) {
                utime = std::strtoull(field.c_str(), nullptr, 10);
            } else if (n == 15) {
                stime = std::strtoull(field.c_str(), nullptr, 10);
            }
        }
        total += static_cast<double>(utime + stime) / ticks;
    }
    return total;
}

// A field of /proc/self/status in kB ("VmRSS", "VmHWM"), or -1.
long statusKb(const char* key) {
    std::ifstream in("/proc/self/status");
    const std::string prefix = std::string(key) + ":";
    for (std::string line; std::getline(in, line);) {
        if (line.compare(0, prefix.size(), prefix) == 0) {
            return std::atol(line.c_str() + prefix.size());
        }
    }
    return -1;
}

// Starts a new peak: VmHWM falls back to the current VmRSS.
void resetPeakMemory() {
    std::ofstream out("/proc/self/clear_refs");
    out << "5";
}

// ---------------------------------------------------------------------------------------------------
// Small helpers

int freeLoopbackPort() {
    for (int attempt = 0; attempt < 50; ++attempt) {
        const int tcp = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (bind(tcp, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
            getsockname(tcp, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
            close(tcp);
            continue;
        }
        const int udp = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        const bool udpFree = bind(udp, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
        close(udp);
        close(tcp);
        if (udpFree) {
            return ntohs(a.sin_port);
        }
    }
    return -1;
}

// Sleeps until the steady clock reaches at (nanoseconds); returns at once when it has.
void sleepUntil(int64_t at) {
    const int64_t left = at - steadyNanos();
    if (left > 0) {
        BSS1_Sleep(static_cast<double>(left) / 1e9);
    }
}

// Releases the threads of one part at the same moment.
class StartGate {
  public:
    void wait() {
        vorpane::ScopedLock g(_lock);
        _cond.waitUntil(_lock, -1, [&]() VA_REQUIRES(_lock) { return _open; });
    }
    void open() {
        vorpane::ScopedLock g(_lock);
        _open = true;
        _cond.broadcast();
    }

  private:
    vorpane::Mutex _lock;
    vorpane::CondVar _cond;
    bool _open VA_GUARDED_BY(_lock) = false;
};

struct Latencies {
    double p50 = 0;
    double p99 = 0;
    double max = 0;
};

// Nearest-rank percentiles in microseconds.
Latencies percentiles(std::vector<int64_t> nanos) {  // a copy: sorted here
    Latencies l;
    if (nanos.empty()) {
        return l;
    }
    std::sort(nanos.begin(), nanos.end());
    auto rank = [&](double p) {
        size_t r = static_cast<size_t>(std::ceil(p * static_cast<double>(nanos.size())));
        return static_cast<double>(nanos[std::clamp<size_t>(r, 1, nanos.size()) - 1]) / 1e3;
    };
    l.p50 = rank(0.50);
    l.p99 = rank(0.99);
    l.max = static_cast<double>(nanos.back()) / 1e3;
    return l;
}

// At full load the latency of every 16th row is kept.
constexpr int32_t kLoadSampleEvery = 16;

// What one part measured.
struct PartResult {
    bool ok = false;
    long sent = 0;
    long received = 0;
    double elapsed = 0;     // seconds from the first send to the last receipt
    double cpuSeconds = 0;  // of the server side's threads over the same time
    std::vector<int64_t> samples;  // send-to-receipt nanoseconds of every row
    double rowsPerSecond = 0;
    double cpuMicrosPerRow = 0;  // of the server side's threads
    long peakKb = 0;
    Latencies latency;
    long rssStartKb = 0;
    long rssEndKb = 0;
};

// Several rounds of one throughput part as one: rows over the summed time, CPU over the summed rows.
PartResult combine(const std::vector<PartResult>& rounds) {
    PartResult all;
    all.ok = !rounds.empty();
    for (const PartResult& r : rounds) {
        all.ok = all.ok && r.ok;
        all.sent += r.sent;
        all.received += r.received;
        all.elapsed += r.elapsed;
        all.cpuSeconds += r.cpuSeconds;
        all.peakKb = std::max(all.peakKb, r.peakKb);
        all.samples.insert(all.samples.end(), r.samples.begin(), r.samples.end());
    }
    all.latency = percentiles(all.samples);
    all.rowsPerSecond = all.elapsed > 0 ? static_cast<double>(all.received) / all.elapsed : 0;
    all.cpuMicrosPerRow = all.received > 0 ? all.cpuSeconds * 1e6 / static_cast<double>(all.received) : 0;
    return all;
}

// The receiving side of one part: counts rows and keeps their latencies.
struct Receipts {
    std::atomic<long> received{0};
    std::atomic<int64_t> lastAt{0};
    std::atomic<int> errors{0};
    std::vector<int64_t> latencies;  // collector thread only, read after it ended
    int32_t sampleEvery = 1;         // keep the latency of every n-th row (by its sequence number)

    void add(int64_t sentAt, int32_t seq, bool keepLatency) {
        const int64_t now = steadyNanos();
        if (keepLatency && seq % sampleEvery == 0) {
            latencies.push_back(now - sentAt);
        }
        lastAt.store(now, std::memory_order_relaxed);
        received.fetch_add(1, std::memory_order_release);
    }
    // Waits until count rows arrived or the time ran out; true when they all did.
    bool waitFor(long count, double seconds) {
        const int64_t until = steadyNanos() + static_cast<int64_t>(seconds * 1e9);
        while (received.load(std::memory_order_acquire) < count && errors.load() == 0) {
            if (steadyNanos() > until) {
                return false;
            }
            BSS1_Sleep(0.001);
        }
        return received.load() >= count;
    }
};

// The figures of one part once its collector has stopped: every row sent must have arrived.
void finishPart(PartResult* result, long sent, Receipts& receipts, int64_t firstSend, double cpuSeconds, bool all,
                bool keepLatency) {
    result->sent = sent;
    result->received = receipts.received.load();
    result->ok = all && receipts.errors.load() == 0 && result->received == result->sent;
    result->elapsed = static_cast<double>(receipts.lastAt.load() - firstSend) / 1e9;
    result->cpuSeconds = cpuSeconds;
    result->rowsPerSecond = result->elapsed > 0 ? static_cast<double>(result->received) / result->elapsed : 0;
    result->cpuMicrosPerRow =
        result->received > 0 ? cpuSeconds * 1e6 / static_cast<double>(result->received) : 0;
    if (keepLatency) {
        result->samples = std::move(receipts.latencies);
        result->latency = percentiles(result->samples);
    }
}


// ---------------------------------------------------------------------------------------------------
// The baseline: plain sockets, no hub.

constexpr size_t kBaselineRequest = 200;
constexpr size_t kBaselineStatus = 16;

void noDelay(int fd) {
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

bool sendAll(int fd, const char* p, size_t n) {
    while (n > 0) {
        const ssize_t w = send(fd, p, n, MSG_NOSIGNAL);
        if (w < 0 && errno == EINTR) {
            continue;
        }
        if (w <= 0) {
            return false;
        }
        p += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

bool recvAll(int fd, char* p, size_t n) {
    while (n > 0) {
        const ssize_t r = recv(fd, p, n, 0);
        if (r < 0 && errno == EINTR) {
            continue;
        }
        if (r <= 0) {
            return false;
        }
        p += r;
        n -= static_cast<size_t>(r);
    }
    return true;
}

// The hub's request hand-off in miniature: the thread that reads the sockets queues each request
// (at most 4 at a time, as the hub's queue holds) for another thread that answers it, under one
// mutex with two conditions.
class HandOff {
  public:
    struct Item {
        size_t provider = 0;
        uint32_t length = 0;
        std::array<char, 512> bytes{};
    };

    // Blocks while 4 are queued. False when closed.
    bool put(size_t provider, const char* data, uint32_t length) {
        vorpane::ScopedLock g(_lock);
        _notFull.waitUntil(_lock, -1, [&]() VA_REQUIRES(_lock) { return _count < kQueued || _closed; });
        if (_closed || length > Item{}.bytes.size()) {
            return false;
        }
        Item& item = _slots[(_first + _count) % _slots.size()];
        item.provider = provider;
        item.length = length;
        std::memcpy(item.bytes.data(), data, length);
        ++_count;
        _notEmpty.signal();
        return true;
    }
    // Blocks while none is queued. False when closed and empty.
    bool take(Item* item) {
        vorpane::ScopedLock g(_lock);
        _notEmpty.waitUntil(_lock, -1, [&]() VA_REQUIRES(_lock) { return _count > 0 || _closed; });
        if (_count == 0) {
            return false;
        }
        *item = _slots[_first];
        _first = (_first + 1) % _slots.size();
        --_count;
        _notFull.signal();
        return true;
    }
    void close() {
        vorpane::ScopedLock g(_lock);
        _closed = true;
        _notFull.broadcast();
        _notEmpty.broadcast();
    }

  private:
    static constexpr size_t kQueued = 4;
    vorpane::Mutex _lock;
    vorpane::CondVar _notFull;
    vorpane::CondVar _notEmpty;
    std::array<Item, kQueued + 1> _slots VA_GUARDED_BY(_lock);
    size_t _first VA_GUARDED_BY(_lock) = 0;
    size_t _count VA_GUARDED_BY(_lock) = 0;
    bool _closed VA_GUARDED_BY(_lock) = false;
};

class Baseline {
  public:
    // A connected pair of loopback sockets: the client end and the accepted end.
    static bool connectedPair(int listener, const sockaddr_in& at, int* client, int* server) {
        *client = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (*client < 0 || connect(*client, reinterpret_cast<const sockaddr*>(&at), sizeof at) != 0) {
            return false;
        }
        *server = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (*server < 0) {
            return false;
        }
        noDelay(*client);
        noDelay(*server);
        return true;
    }

    // providers threads, each sending rowsEach rows (paced at rate rows/s when rate > 0). With
    // handOff the server thread queues each request for a second thread that forwards and answers
    // it, as the hub's transport hands requests to its request thread.
    static PartResult run(int providers, long rowsEach, double seconds, double rate, bool handOff = false) {
        PartResult result;
        const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in at{};
        at.sin_family = AF_INET;
        at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof at;
        if (listener < 0 || bind(listener, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0 ||
            getsockname(listener, reinterpret_cast<sockaddr*>(&at), &len) != 0 || listen(listener, 128) != 0) {
            std::fprintf(stderr, "baseline: no listener: %s\n", std::strerror(errno));
            return result;
        }
        int collectorClient = -1;
        int collectorServer = -1;
        std::vector<int> providerClient(static_cast<size_t>(providers), -1);
        std::vector<int> providerServer(static_cast<size_t>(providers), -1);
        bool connected = connectedPair(listener, at, &collectorClient, &collectorServer);
        for (int i = 0; connected && i < providers; ++i) {
            connected = connectedPair(listener, at, &providerClient[static_cast<size_t>(i)],
                                      &providerServer[static_cast<size_t>(i)]);
        }
        close(listener);
        if (!connected) {
            std::fprintf(stderr, "baseline: connections failed: %s\n", std::strerror(errno));
            return result;
        }

        Receipts receipts;
        const bool keepLatency = true;
        // At full load a sample of the rows is enough, and keeps the samples out of the memory figures.
        receipts.sampleEvery = rate > 0 ? 1 : kLoadSampleEvery;
        receipts.latencies.reserve(static_cast<size_t>(rowsEach * providers / receipts.sampleEvery + 1));
        std::atomic<pid_t> serverTid{0};
        std::atomic<pid_t> workerTid{handOff ? 0 : -1};
        HandOff queue;
        char status[kBaselineStatus] = {};
        const uint32_t statusLength = htonl(kBaselineStatus);
        std::memcpy(status, &statusLength, 4);
        StartGate gate;
        std::atomic<int64_t> firstSend{0};
        std::atomic<long> sent{0};
        const int64_t stopAt = steadyNanos() + static_cast<int64_t>(seconds * 1e9);

        std::thread collector([&] {
            pthread_setname_np(pthread_self(), "base-collector");
            std::vector<char> buf(256 * 1024);
            size_t have = 0;
            for (;;) {
                const ssize_t n = recv(collectorClient, buf.data() + have, buf.size() - have, 0);
                if (n <= 0) {
                    return;
                }
                have += static_cast<size_t>(n);
                size_t at = 0;
                while (have - at >= 4) {
                    const uint32_t total = vorpane::dch::totalLength(buf.data() + at);
                    if (total < 16 || total > buf.size()) {
                        receipts.errors.fetch_add(1);
                        return;
                    }
                    if (have - at < total) {
                        break;
                    }
                    int64_t sentAt = 0;
                    int32_t seq = 0;
                    std::memcpy(&sentAt, buf.data() + at + 4, 8);
                    std::memcpy(&seq, buf.data() + at + 16, 4);
                    receipts.add(sentAt, seq, keepLatency);
                    at += total;
                }
                std::memmove(buf.data(), buf.data() + at, have - at);
                have -= at;
            }
        });

        std::thread server([&] {
            pthread_setname_np(pthread_self(), "base-server");
            serverTid = currentTid();
            std::vector<pollfd> set;
            for (int fd : providerServer) {
                set.push_back({fd, POLLIN, 0});
            }
            std::vector<std::vector<char>> buffers(set.size(), std::vector<char>(64 * 1024));
            std::vector<size_t> have(set.size(), 0);
            size_t open = set.size();
            while (open > 0) {
                if (poll(set.data(), set.size(), -1) < 0) {
                    if (errno == EINTR) {
                        continue;
                    }
                    break;
                }
                for (size_t i = 0; i < set.size(); ++i) {
                    if (set[i].fd < 0 || set[i].revents == 0) {
                        continue;
                    }
                    std::vector<char>& buf = buffers[i];
                    const ssize_t n = recv(set[i].fd, buf.data() + have[i], buf.size() - have[i], 0);
                    if (n <= 0) {
                        set[i].fd = -1;
                        --open;
                        continue;
                    }
                    have[i] += static_cast<size_t>(n);
                    size_t at = 0;
                    while (have[i] - at >= 4) {
                        const uint32_t total = vorpane::dch::totalLength(buf.data() + at);
                        if (have[i] - at < total) {
                            break;
                        }
                        if (handOff) {
                            queue.put(i, buf.data() + at, total);
                        } else {
                            sendAll(collectorServer, buf.data() + at, total);
                            sendAll(providerServer[i], status, sizeof status);
                        }
                        at += total;
                    }
                    std::memmove(buf.data(), buf.data() + at, have[i] - at);
                    have[i] -= at;
                }
            }
            queue.close();
            if (!handOff) {
                shutdown(collectorServer, SHUT_WR);  // the collector sees the end
            }
        });

        std::thread worker;
        if (handOff) {
            worker = std::thread([&] {
                pthread_setname_np(pthread_self(), "base-worker");
                workerTid = currentTid();
                HandOff::Item item;
                while (queue.take(&item)) {
                    sendAll(collectorServer, item.bytes.data(), item.length);
                    sendAll(providerServer[item.provider], status, sizeof status);
                }
                shutdown(collectorServer, SHUT_WR);
            });
        }

        std::vector<std::thread> senders;
        for (int p = 0; p < providers; ++p) {
            senders.emplace_back([&, p] {
                const int fd = providerClient[static_cast<size_t>(p)];
                char request[kBaselineRequest];
                std::memset(request, 'r', sizeof request);
                const uint32_t total = htonl(kBaselineRequest);
                std::memcpy(request, &total, 4);
                char status[kBaselineStatus];
                gate.wait();
                const int64_t begin = steadyNanos();
                int64_t expected = 0;
                firstSend.compare_exchange_strong(expected, begin);
                for (long i = 0; i < rowsEach; ++i) {
                    if (rate > 0) {
                        sleepUntil(begin + static_cast<int64_t>(static_cast<double>(i) * 1e9 / rate));
                    } else if (steadyNanos() > stopAt) {
                        break;
                    }
                    const int64_t now = steadyNanos();
                    std::memcpy(request + 4, &now, 8);
                    const int32_t seq = static_cast<int32_t>(i);
                    std::memcpy(request + 12, &p, 4);
                    std::memcpy(request + 16, &seq, 4);
                    if (!sendAll(fd, request, sizeof request) || !recvAll(fd, status, sizeof status)) {
                        receipts.errors.fetch_add(1);
                        break;
                    }
                    sent.fetch_add(1, std::memory_order_relaxed);
                }
            });
        }

        while (serverTid.load() == 0 || workerTid.load() == 0) {
            BSS1_Sleep(0.001);
        }
        std::set<pid_t> serverThread{serverTid.load()};
        if (handOff) {
            serverThread.insert(workerTid.load());
        }
        resetPeakMemory();
        const double cpuBefore = threadCpuSeconds(serverThread);
        gate.open();
        for (std::thread& t : senders) {
            t.join();
        }
        const bool all = receipts.waitFor(sent.load(), 30);
        const double cpuAfter = threadCpuSeconds(serverThread);
        result.peakKb = statusKb("VmHWM");
        // Only now the connections end, which ends the server thread (its CPU time is read above).
        for (int fd : providerClient) {
            shutdown(fd, SHUT_WR);
        }
        server.join();
        if (worker.joinable()) {
            worker.join();
        }
        collector.join();
        for (int fd : providerClient) {
            close(fd);
        }
        for (int fd : providerServer) {
            close(fd);
        }
        close(collectorClient);
        close(collectorServer);

        finishPart(&result, sent.load(), receipts, firstSend.load(), cpuAfter - cpuBefore, all, keepLatency);
        return result;
    }
};

// ---------------------------------------------------------------------------------------------------
// The hub

constexpr const char* kAppl = "HUBLOAD";
constexpr const char* kGroup = "ROWS";

// 10 attributes, 5 numeric and 5 text: 20 + 180 = 200 bytes of values a row.
const char* kRegistration =
    "Provider,C,4, , ,Index of the sending provider;"
    "Seq,C,4, , ,Sequence number of the row;"
    "SentHigh,C,4, , ,Send time in nanoseconds, high half;"
    "SentLow,C,4, , ,Send time in nanoseconds, low half;"
    "Load,G,4, , ,A gauge;"
    "Host,D,32, , ,Host name;"
    "Process,D,32, , ,Process name;"
    "State,D,16, , ,State text;"
    "Message,D,84, , ,Message text;"
    "Stamp,T,16, , ,Time stamp";

// One hub in this process on a port of its own, ready to serve, and the threads that are its own.
class BenchHub {
  public:
    BenchHub() {
        _port = freeLoopbackPort();
        BSS1_SetEnv("ZOTA_DCH_PORT", nullptr);
        setenv("ZOTA_DCH_PORT", std::to_string(_port).c_str(), 1);
        ZOTA_SetInstanceName(nullptr);
        ipcSock::resetEnvForTest();
        setVaLimits(VA_LIMITS{});
        const std::set<std::string> names{"dch-ipc-server", "dch-requests", "dch-sender"};
        const std::set<pid_t> before = threadsNamed(names);
        // The hub pauses before it opens its port; the switch shortens that pause only.
        vorpane::clock::setSpeedup(100);
        _hub = std::make_unique<DCHserver>();
        {
            vorpane::Mutex& lock = *_hub->readyLock();
            vorpane::ScopedLock g(lock);
            _ready = _hub->readyCond()->waitUntil(
                lock, 60, [&]() VA_NO_THREAD_SAFETY_ANALYSIS { return _hub->readyState() != 0; });
        }
        vorpane::clock::setSpeedup(1);
        for (pid_t tid : threadsNamed(names)) {
            if (before.count(tid) == 0) {
                _threads.insert(tid);
            }
        }
    }
    ~BenchHub() {
        _hub.reset();
        vorpane::clock::setSpeedup(1);
    }
    BenchHub(const BenchHub&) = delete;
    BenchHub& operator=(const BenchHub&) = delete;

    bool ready() const { return _ready && _threads.size() == 3; }
    int port() const { return _port; }
    DCHserver& server() { return *_hub; }
    const std::set<pid_t>& threads() const { return _threads; }

  private:
    int _port = -1;
    std::unique_ptr<DCHserver> _hub;
    bool _ready = false;
    std::set<pid_t> _threads;
};

// The row of provider p: its index, sequence number and send time, then filler values.
class RowMaker {
  public:
    explicit RowMaker(int provider) : _provider(provider) {
        std::snprintf(_host.data(), _host.size(), "host-%02d.bench.example", provider);
        std::snprintf(_process.data(), _process.size(), "hub_load provider %d", provider);
        std::snprintf(_state.data(), _state.size(), "RUNNING");
        std::memset(_message.data(), 'm', _message.size());
        std::snprintf(_stamp.data(), _stamp.size(), "1250101120000000");
    }

    const vorpane::DProw& make(int32_t seq, int64_t sentAt) {
        _row.clear();
        const int32_t high = static_cast<int32_t>(sentAt >> 32);
        const int32_t low = static_cast<int32_t>(sentAt & 0xFFFFFFFF);
        const int32_t load = seq % 100;
        _row.add("Provider", &_provider, 4, 'C');
        _row.add("Seq", &seq, 4, 'C');
        _row.add("SentHigh", &high, 4, 'C');
        _row.add("SentLow", &low, 4, 'C');
        _row.add("Load", &load, 4, 'G');
        _row.add("Host", _host.data(), static_cast<int>(_host.size()), 'D');
        _row.add("Process", _process.data(), static_cast<int>(_process.size()), 'D');
        _row.add("State", _state.data(), static_cast<int>(_state.size()), 'D');
        _row.add("Message", _message.data(), static_cast<int>(_message.size()), 'D');
        _row.add("Stamp", _stamp.data(), static_cast<int>(_stamp.size()), 'T');
        return _row;
    }

  private:
    int32_t _provider;
    std::array<char, 32> _host{};
    std::array<char, 32> _process{};
    std::array<char, 16> _state{};
    std::array<char, 84> _message{};
    std::array<char, 16> _stamp{};
    vorpane::DProw _row;
};

// The send time and sequence number carried in a data message; false when it is not one of ours.
bool readRow(const char* message, size_t size, int64_t* sentAt, int32_t* seq) {
    vorpane::dch::FieldReader reader(message, size);
    if (reader.next().type != DCH_sourceName || reader.next().type != DCH_controlField) {
        return false;
    }
    int32_t values[4] = {};
    for (int32_t& v : values) {
        vorpane::dch::FieldReader::Field f = reader.next();
        if (f.type != DCH_attrTypeValue || !f.int32(&v)) {
            return false;
        }
    }
    *seq = values[1];
    *sentAt = (static_cast<int64_t>(values[2]) << 32) | static_cast<uint32_t>(values[3]);
    return true;
}

struct HubPartSpec {
    int providers = 1;
    long rowsEach = 0;
    double seconds = 60;
    double rate = 0;        // > 0: paced, latencies kept
    long growthStart = -1;  // >= 0: VmRSS when this many rows arrived, and at the end
};

PartResult runHub(const HubPartSpec& part) {
    PartResult result;
    BenchHub hub;
    if (!hub.ready()) {
        std::fprintf(stderr, "hub: not ready\n");
        return result;
    }
    const vorpane::HubOptions options = vorpane::HubOptions::fromEnvironment();

    vorpane::DPapplication application;
    application.name = kAppl;
    application.help = "hub_load rows";
    application.groups.push_back({kGroup, "Rows of the load generator", 'P', 60, "APIS", kRegistration});

    // Subscribed before any provider connects: the hub reads its connections in slot order, so the
    // subscription is queued ahead of every row.
    std::unique_ptr<vorpane::DCdataWaiter> waiter = dc_waitOnDataInitialize(kAppl, kGroup, options);
    if (waiter == nullptr) {
        return result;
    }

    std::vector<std::unique_ptr<vorpane::HubProvider>> providers;
    std::vector<int> handles;
    for (int p = 0; p < part.providers; ++p) {
        providers.push_back(std::make_unique<vorpane::HubProvider>(options));
        int status = 0;
        int handle = 0;
        const std::string source = "SRC" + std::to_string(p);
        providers.back()->dp_register(&status, application);
        if (status != DCH_STATUS_OK && status != DCH_STATUS_DUPLICATE) {
            std::fprintf(stderr, "hub: dp_register status %d\n", status);
            return result;
        }
        if (providers.back()->dp_online(&status, &handle, kAppl, kGroup, source.c_str()) != DCH_CLIENT_OK) {
            std::fprintf(stderr, "hub: dp_online status %d\n", status);
            return result;
        }
        handles.push_back(handle);
    }

    // Rows count only once one row came through.
    std::vector<char> buffer(16384);
    {
        RowMaker warm(0);
        bool through = false;
        for (int attempt = 0; attempt < 20 && !through; ++attempt) {
            int status = 0;
            providers[0]->dp_data(&status, handles[0], DCH_NO_CONTROL_FIELD, warm.make(-1, 0));
            through = dc_waitOnData(waiter.get(), buffer.data(), buffer.size(), 0.5) == 0;
        }
        if (!through) {
            std::fprintf(stderr, "hub: the collector receives nothing\n");
            return result;
        }
    }

    Receipts receipts;
    // Not in the growth part: its samples would be the memory it is measuring.
    const bool keepLatency = part.growthStart < 0;
    receipts.sampleEvery = part.rate > 0 ? 1 : kLoadSampleEvery;
    if (keepLatency) {
        receipts.latencies.reserve(static_cast<size_t>(part.rowsEach * part.providers / receipts.sampleEvery + 1));
    }
    vorpane::DCdataWaiter* client = waiter.get();
    std::thread collector([&] {
        pthread_setname_np(pthread_self(), "hub-collector");
        for (;;) {
            const int rc = dc_waitOnData(client, buffer.data(), buffer.size(), -1);
            if (rc == -1) {
                return;  // cancelled: the part is over
            }
            int64_t sentAt = 0;
            int32_t seq = 0;
            if (rc != 0 || !readRow(buffer.data(), buffer.size(), &sentAt, &seq)) {
                receipts.errors.fetch_add(1);
                return;
            }
            if (seq >= 0) {  // late warm-up rows do not count
                receipts.add(sentAt, seq, keepLatency);
            }
        }
    });

    StartGate gate;
    std::atomic<int64_t> firstSend{0};
    std::atomic<long> sent{0};
    const int64_t stopAt = steadyNanos() + static_cast<int64_t>(part.seconds * 1e9);
    std::vector<std::thread> senders;
    for (int p = 0; p < part.providers; ++p) {
        senders.emplace_back([&, p] {
            pthread_setname_np(pthread_self(), "hub-provider");
            RowMaker maker(p);
            vorpane::HubProvider& provider = *providers[static_cast<size_t>(p)];
            const int handle = handles[static_cast<size_t>(p)];
            gate.wait();
            const int64_t begin = steadyNanos();
            int64_t expected = 0;
            firstSend.compare_exchange_strong(expected, begin);
            for (long i = 0; i < part.rowsEach; ++i) {
                if (part.rate > 0) {
                    sleepUntil(begin + static_cast<int64_t>(static_cast<double>(i) * 1e9 / part.rate));
                } else if (steadyNanos() > stopAt) {
                    break;
                }
                int status = 0;
                const vorpane::DProw& row = maker.make(static_cast<int32_t>(i), steadyNanos());
                if (provider.dp_data(&status, handle, DCH_NO_CONTROL_FIELD, row) != DCH_CLIENT_OK) {
                    std::fprintf(stderr, "hub: dp_data status %d\n", status);
                    receipts.errors.fetch_add(1);
                    break;
                }
                sent.fetch_add(1, std::memory_order_relaxed);
            }
        });
    }

    resetPeakMemory();
    const double cpuBefore = threadCpuSeconds(hub.threads());
    gate.open();
    if (part.growthStart >= 0) {
        receipts.waitFor(part.growthStart, part.seconds);
        result.rssStartKb = statusKb("VmRSS");
    }
    for (std::thread& t : senders) {
        t.join();
    }
    const bool all = receipts.waitFor(sent.load(), 30);
    const double cpuAfter = threadCpuSeconds(hub.threads());
    result.peakKb = statusKb("VmHWM");
    result.rssEndKb = statusKb("VmRSS");
    dc_waitOnDataCancel(client);
    collector.join();
    dc_waitOnDataDestroy(std::move(waiter));
    providers.clear();

    finishPart(&result, sent.load(), receipts, firstSend.load(), cpuAfter - cpuBefore, all, keepLatency);
    return result;
}

// ---------------------------------------------------------------------------------------------------
// The stall part: answer times of providers while a collector never reads.

struct StallResult {
    bool ok = false;
    Latencies answers;
    long rows = 0;
    bool cut = false;
};

StallResult runStall(long rows, double rate, bool withStalled) {
    StallResult result;
    BenchHub hub;
    if (!hub.ready()) {
        std::fprintf(stderr, "stall: hub not ready\n");
        return result;
    }
    const vorpane::HubOptions options = vorpane::HubOptions::fromEnvironment();
    constexpr int kProviders = 8;
    constexpr const char* kStalledGroup = "STALLED";
    vorpane::DPapplication application;
    application.name = kAppl;
    application.help = "hub_load rows";
    application.groups.push_back({kGroup, "Rows that are read", 'P', 60, "APIS", kRegistration});
    application.groups.push_back({kStalledGroup, "Rows nobody reads", 'P', 60, "APIS", kRegistration});

    std::unique_ptr<vorpane::DCdataWaiter> waiter = dc_waitOnDataInitialize(kAppl, kGroup, options);
    // The stalled collector: a subscription on a connection whose receive buffer is small and never
    // read.
    int stalled = -1;
    if (withStalled) {
        stalled = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const int small = 4096;
        setsockopt(stalled, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        to.sin_port = htons(static_cast<uint16_t>(hub.port()));
        vorpane::dch::MessageBuilder m;
        m.request(DCH_dc_waitOnData).text(DCH_applName, kAppl).text(DCH_attrGroup, kStalledGroup).int32(DCH_status, 1);
        if (connect(stalled, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0 ||
            !sendAll(stalled, m.data(), m.size())) {
            std::fprintf(stderr, "stall: the stalled collector could not subscribe\n");
            close(stalled);
            return result;
        }
    }
    if (waiter == nullptr) {
        return result;
    }
    std::vector<std::unique_ptr<vorpane::HubProvider>> providers;
    std::vector<std::array<int, 2>> handles;
    for (int p = 0; p < kProviders; ++p) {
        providers.push_back(std::make_unique<vorpane::HubProvider>(options));
        int status = 0;
        providers.back()->dp_register(&status, application);
        const std::string source = "SRC" + std::to_string(p);
        std::array<int, 2> h{};
        if (providers.back()->dp_online(&status, &h[0], kAppl, kGroup, source.c_str()) != DCH_CLIENT_OK ||
            providers.back()->dp_online(&status, &h[1], kAppl, kStalledGroup, source.c_str()) != DCH_CLIENT_OK) {
            std::fprintf(stderr, "stall: dp_online status %d\n", status);
            return result;
        }
        handles.push_back(h);
    }
    std::atomic<long> received{0};
    vorpane::DCdataWaiter* client = waiter.get();
    std::thread collector([&] {
        std::vector<char> buffer(16384);
        while (dc_waitOnData(client, buffer.data(), buffer.size(), -1) == 0) {
            received.fetch_add(1);
        }
    });

    StartGate gate;
    const long each = std::max(1L, rows / kProviders);
    std::vector<std::vector<int64_t>> answers(kProviders);
    std::atomic<int> errors{0};
    std::vector<std::thread> senders;
    for (int p = 0; p < kProviders; ++p) {
        senders.emplace_back([&, p] {
            RowMaker maker(p);
            vorpane::HubProvider& provider = *providers[static_cast<size_t>(p)];
            std::vector<int64_t>& mine = answers[static_cast<size_t>(p)];
            mine.reserve(static_cast<size_t>(each));
            gate.wait();
            const int64_t begin = steadyNanos() + static_cast<int64_t>(p * 1e9 / rate);
            for (long i = 0; i < each; ++i) {
                sleepUntil(begin + static_cast<int64_t>(static_cast<double>(i) * kProviders * 1e9 / rate));
                // Every other row goes to the group nobody reads.
                const int handle = handles[static_cast<size_t>(p)][static_cast<size_t>(i % 2)];
                int status = 0;
                const int64_t start = steadyNanos();
                if (provider.dp_data(&status, handle, DCH_NO_CONTROL_FIELD, maker.make(static_cast<int32_t>(i), start)) !=
                    DCH_CLIENT_OK) {
                    errors.fetch_add(1);
                    return;
                }
                mine.push_back(steadyNanos() - start);
            }
        });
    }
    gate.open();
    for (std::thread& t : senders) {
        t.join();
    }
    result.cut = hub.server().sender()->cutCount() > 0;
    dc_waitOnDataCancel(client);
    collector.join();
    std::vector<int64_t> all;
    for (const std::vector<int64_t>& a : answers) {
        all.insert(all.end(), a.begin(), a.end());
    }
    result.rows = static_cast<long>(all.size());
    result.answers = percentiles(std::move(all));
    result.ok = errors.load() == 0 && result.rows == each * kProviders;
    if (stalled >= 0) {
        close(stalled);
    }
    return result;
}

// ---------------------------------------------------------------------------------------------------
// Reporting

struct Stat {
    double median = 0;
    double min = 0;
    double max = 0;
};

Stat summarize(std::vector<double> values) {
    Stat s;
    if (values.empty()) {
        return s;
    }
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    s.median = n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
    s.min = values.front();
    s.max = values.back();
    return s;
}

// Figures by name in the order they were first recorded, one value per run.
class Figures {
  public:
    void add(const std::string& name, const std::string& unit, double value, int decimals) {
        if (_values.count(name) == 0) {
            _order.push_back(name);
            _units[name] = unit;
            _decimals[name] = decimals;
        }
        _values[name].push_back(value);
    }

    void printTable(int runs) const {
        std::printf("\n| Figure (%d runs) | Median | Min | Max | Unit |\n|---|---:|---:|---:|---|\n", runs);
        for (const std::string& name : _order) {
            const Stat s = summarize(_values.at(name));
            const int d = _decimals.at(name);
            std::printf("| %s | %.*f | %.*f | %.*f | %s |\n", name.c_str(), d, s.median, d, s.min, d, s.max,
                        _units.at(name).c_str());
        }
    }

  private:
    std::vector<std::string> _order;
    std::map<std::string, std::vector<double>> _values;
    std::map<std::string, std::string> _units;
    std::map<std::string, int> _decimals;
};

void printPart(int run, const char* name, const PartResult& r) {
    std::printf("run %d %-14s %s sent %ld received %ld  %9.0f rows/s  cpu %6.2f us/row  peak %6.1f MB", run,
                name, r.ok ? "ok  " : "FAIL", r.sent, r.received, r.rowsPerSecond, r.cpuMicrosPerRow,
                static_cast<double>(r.peakKb) / 1024.0);
    if (r.latency.max > 0) {
        std::printf("  p50 %.0f us p99 %.0f us max %.0f us", r.latency.p50, r.latency.p99, r.latency.max);
    }
    if (r.rssStartKb > 0) {
        std::printf("  rss %ld -> %ld kB", r.rssStartKb, r.rssEndKb);
    }
    std::printf("\n");
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    if (!parseOptions(argc, argv, &o)) {
        usage();
        return 2;
    }
    // The hub's warnings (the providers after the first register a duplicate application, and
    // each one's disconnect leaves the application to the others) go to the log, not the terminal.
    vorpane::trace::configure("hub_load");
    std::printf("hub_load: trace lines in %s\n", vorpane::trace::logPath().c_str());
    std::printf("hub_load: %d runs, %ld rows per throughput part, providers", o.runs, o.rows);
    for (int n : o.providers) {
        std::printf(" %d", n);
    }
    std::printf(", latency %ld rows at %.0f rows/s, growth %ld rows\n", o.latencyRows, o.rate, o.growthRows);

    Figures figures;
    bool allOk = true;
    for (int run = 1; run <= o.runs; ++run) {
        for (int n : o.providers) {
            // The three take turns in rounds, so that a slow spell of the machine falls on all of them.
            const long each = std::max(1L, o.rows / n / o.rounds);
            std::vector<PartResult> baseRounds;
            std::vector<PartResult> queuedRounds;
            std::vector<PartResult> hubRounds;
            for (int round = 0; round < o.rounds; ++round) {
                if (!o.hubOnly) {
                    baseRounds.push_back(Baseline::run(n, each, o.seconds, 0));
                    queuedRounds.push_back(Baseline::run(n, each, o.seconds, 0, true));
                }
                HubPartSpec part;
                part.providers = n;
                part.rowsEach = each;
                part.seconds = o.seconds;
                hubRounds.push_back(runHub(part));
            }
            const PartResult base = o.hubOnly ? PartResult{true} : combine(baseRounds);
            const PartResult queued = o.hubOnly ? PartResult{true} : combine(queuedRounds);
            const PartResult hub = combine(hubRounds);
            if (!o.hubOnly) {
                printPart(run, ("baseline " + std::to_string(n)).c_str(), base);
                printPart(run, ("base+queue " + std::to_string(n)).c_str(), queued);
            }
            printPart(run, ("hub " + std::to_string(n)).c_str(), hub);
            allOk = allOk && base.ok && queued.ok && hub.ok;
            const std::string p = std::to_string(n) + (n == 1 ? " provider" : " providers");
            figures.add("baseline rows/s, " + p, "rows/s", base.rowsPerSecond, 0);
            figures.add("hub rows/s, " + p, "rows/s", hub.rowsPerSecond, 0);
            figures.add("hub / baseline, " + p, "ratio", base.rowsPerSecond > 0 ? hub.rowsPerSecond / base.rowsPerSecond : 0, 3);
            figures.add("baseline with queue hand-off rows/s, " + p, "rows/s", queued.rowsPerSecond, 0);
            figures.add("baseline with queue hand-off / baseline, " + p, "ratio",
                        base.rowsPerSecond > 0 ? queued.rowsPerSecond / base.rowsPerSecond : 0, 3);
            figures.add("hub / baseline with queue hand-off, " + p, "ratio",
                        queued.rowsPerSecond > 0 ? hub.rowsPerSecond / queued.rowsPerSecond : 0, 3);
            figures.add("hub CPU per row (server + request thread), " + p, "us", hub.cpuMicrosPerRow, 2);
            figures.add("baseline CPU per row (server thread), " + p, "us", base.cpuMicrosPerRow, 2);
            figures.add("baseline with queue hand-off CPU per row (server + worker thread), " + p, "us",
                        queued.cpuMicrosPerRow, 2);
            figures.add("peak memory (VmHWM) during hub part, " + p, "MB", static_cast<double>(hub.peakKb) / 1024.0, 1);
            figures.add("hub latency p50 at full load, " + p, "us", hub.latency.p50, 0);
            figures.add("hub latency p99 at full load, " + p, "us", hub.latency.p99, 0);
            figures.add("baseline latency p50 at full load, " + p, "us", base.latency.p50, 0);
            figures.add("baseline latency p99 at full load, " + p, "us", base.latency.p99, 0);
        }
        if (o.latencyRows > 0) {
            const PartResult base =
                o.hubOnly ? PartResult{true} : Baseline::run(1, o.latencyRows, o.seconds + o.latencyRows / o.rate, o.rate);
            const PartResult queued =
                o.hubOnly ? PartResult{true}
                          : Baseline::run(1, o.latencyRows, o.seconds + o.latencyRows / o.rate, o.rate, true);
            if (!o.hubOnly) {
                printPart(run, "baseline lat", base);
                printPart(run, "base+queue lat", queued);
            }
            HubPartSpec part;
            part.providers = 1;
            part.rowsEach = o.latencyRows;
            part.rate = o.rate;
            part.seconds = o.seconds + static_cast<double>(o.latencyRows) / o.rate;
            const PartResult hub = runHub(part);
            printPart(run, "hub lat", hub);
            allOk = allOk && base.ok && queued.ok && hub.ok;
            char rate[32];
            std::snprintf(rate, sizeof rate, "%.0f rows/s", o.rate);
            figures.add(std::string("hub latency p50 at ") + rate, "us", hub.latency.p50, 0);
            figures.add(std::string("hub latency p99 at ") + rate, "us", hub.latency.p99, 0);
            figures.add(std::string("hub latency max at ") + rate, "us", hub.latency.max, 0);
            figures.add(std::string("baseline latency p50 at ") + rate, "us", base.latency.p50, 0);
            figures.add(std::string("baseline latency p99 at ") + rate, "us", base.latency.p99, 0);
            figures.add(std::string("baseline latency max at ") + rate, "us", base.latency.max, 0);
            figures.add(std::string("baseline with queue hand-off latency p50 at ") + rate, "us", queued.latency.p50, 0);
            figures.add(std::string("baseline with queue hand-off latency p99 at ") + rate, "us", queued.latency.p99, 0);
        }
        if (o.growthRows > 0) {
            HubPartSpec part;
            part.providers = o.growthProviders;
            part.rowsEach = std::max(1L, o.growthRows / o.growthProviders);
            part.seconds = std::max(o.seconds, 600.0);
            part.growthStart = std::min(o.growthStart, part.rowsEach * o.growthProviders);
            const PartResult hub = runHub(part);
            printPart(run, "hub growth", hub);
            allOk = allOk && hub.ok;
            const std::string rows = std::to_string(part.rowsEach * o.growthProviders);
            figures.add("hub rows/s, growth part (" + rows + " rows)", "rows/s", hub.rowsPerSecond, 0);
            figures.add("VmRSS growth after the first " + std::to_string(part.growthStart) + " rows", "kB",
                        static_cast<double>(hub.rssEndKb - hub.rssStartKb), 0);
        }
        if (o.stallRows > 0) {
            char rate[32];
            std::snprintf(rate, sizeof rate, "%.0f rows/s", o.rate);
            for (bool withStalled : {true, false}) {
                const StallResult r = runStall(o.stallRows, o.rate, withStalled);
                const char* name = withStalled ? "with a stalled collector" : "without a stalled collector";
                std::printf("run %d stall %s %s rows %ld answer p50 %.0f us p99 %.0f us max %.0f us%s\n", run,
                            withStalled ? "on " : "off", r.ok ? "ok  " : "FAIL", r.rows, r.answers.p50, r.answers.p99,
                            r.answers.max, r.cut ? "  (the stalled collector was cut)" : "");
                std::fflush(stdout);
                allOk = allOk && r.ok;
                figures.add(std::string("provider answer p50 at ") + rate + ", 8 providers, " + name, "us",
                            r.answers.p50, 0);
                figures.add(std::string("provider answer p99 at ") + rate + ", 8 providers, " + name, "us",
                            r.answers.p99, 0);
                figures.add(std::string("provider answer max at ") + rate + ", 8 providers, " + name, "us",
                            r.answers.max, 0);
            }
        }
    }
    figures.printTable(o.runs);
    std::printf("\n%s\n", allOk ? "every row sent was received" : "FAILED: rows were lost or a part failed");
    return allOk ? 0 : 1;
}
