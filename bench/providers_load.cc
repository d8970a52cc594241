// providers_load: the built-in providers' rates into the hub's collector, against the hub's own rate
// in the same run (docs/benchmarks.md).
//
//   hub 1     one HubProvider sends the rows itself with dp_data: the ceiling for a provider
//   sock N    N loopback TCP senders write "ORDER srcK Id=n Status=ok" lines to a SOCK provider
//   file      lines appended to a file in chunks of 1,000, each chunk followed by one FILE round
//   host      CPU time of one sample of each host group on this machine's /proc
//
// Every row is counted at a collector of the group (dc_waitOnData), which stands for the agent's
// collection thread; lines/s is rows received over the time from the first line to the last
// receipt. Everything runs in one process, the parts one after the other, so compare the parts as
// ratios of the hub's own rate in the same run.
#include <arpa/inet.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "interfaces/dch_client.h"
#include "interfaces/sync.h"
#include "providers/file_provider.h"
#include "providers/host_provider.h"
#include "loopback.h"
#include "providers/sock_provider.h"
#include "testlib/hub_fixture.h"
#include "testlib/temp_dir.h"

using namespace vorpane;
using namespace vorpane::providers;

namespace {

constexpr const char* kDescription =
    "application ORDERS\ngroup ORDER E 0\nattribute Id C 4\nattribute Status D 16\n";

dp::AppDescription orders() {
    dp::AppDescription app;
    dp::ParseError e;
    dp::parseDescription(kDescription, &app, &e);
    return app;
}

double processCpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// Counts the rows of ORDERS/ORDER. start() waits until the subscription delivers (poke makes
// rows), drains, then counts `expected` rows on its own thread.
// --collector datagram subscribes by datagram, as the agent's collection threads do; the default is a
// TCP connection of its own, as a collector in another process has.
bool gDatagramCollector = false;

HubOptions collectorOptions() {
    HubOptions options = HubOptions::fromEnvironment();
    options.datagramSubscriptions = gDatagramCollector;
    return options;
}

class Counter {
  public:
    Counter() : _waiter(dc_waitOnDataInitialize("ORDERS", "ORDER", collectorOptions())), _buffer(65536) {}
    ~Counter() {
        if (_thread.joinable()) {
            _thread.join();
        }
        dc_waitOnDataDestroy(std::move(_waiter));
    }
    template <typename Poke>
    bool subscribe(Poke&& poke) {
        for (int i = 0; i < 2000; ++i) {
            poke();
            if (dc_waitOnData(_waiter.get(), _buffer.data(), _buffer.size(), 0.05) == 0) {
                while (dc_waitOnData(_waiter.get(), _buffer.data(), _buffer.size(), 0.3) == 0) {
                }
                return true;
            }
        }
        return false;
    }
    void count(long expected) {
        _thread = std::thread([this, expected] {
            for (long n = 0; n < expected; ++n) {
                if (dc_waitOnData(_waiter.get(), _buffer.data(), _buffer.size(), 60) != 0) {
                    break;
                }
                _received.store(n + 1);
            }
            _doneAt = clock::steadyNanos();
        });
    }
    long wait() {
        _thread.join();
        return _received.load();
    }
    int64_t doneAt() const { return _doneAt; }

  private:
    std::unique_ptr<DCdataWaiter> _waiter;
    std::vector<char> _buffer;
    std::thread _thread;
    std::atomic<long> _received{0};
    int64_t _doneAt = 0;
};

struct Figures {
    long rows = 0;
    long received = 0;
    double seconds = 0;
    double cpu = 0;
};

void print(const char* part, const Figures& f) {
    std::printf("%-8s %8ld rows  %8ld received  %7.3f s  %9.0f lines/s  %6.1f us CPU/line\n", part, f.rows,
                f.received, f.seconds, static_cast<double>(f.received) / f.seconds,
                f.cpu * 1e6 / static_cast<double>(std::max(f.received, 1L)));
    std::fflush(stdout);
}

Figures hubDirect(long rows) {
    HubProvider provider;
    int status = 0;
    int handle = 0;
    provider.dp_register(&status, orders().registration());
    provider.dp_online(&status, &handle, "ORDERS", "ORDER", "direct");
    DProw row;
    auto make = [&row](int32_t id) {
        row.clear();
        row.add("Id", &id, 4, 'C');
        row.add("Status", "ok", 2, 'D');
    };
    Counter counter;
    make(0);
    counter.subscribe([&] { provider.dp_data(&status, handle, DCH_NO_CONTROL_FIELD, row); });
    Figures f;
    f.rows = rows;
    counter.count(rows);
    const double cpu = processCpuSeconds();
    const int64_t start = clock::steadyNanos();
    for (long i = 1; i <= rows; ++i) {
        make(static_cast<int32_t>(i));
        provider.dp_data(&status, handle, DCH_NO_CONTROL_FIELD, row);
    }
    f.received = counter.wait();
    f.seconds = static_cast<double>(counter.doneAt() - start) / 1e9;
    f.cpu = processCpuSeconds() - cpu;
    return f;
}

Figures sock(long rows, int senders) {
    SockProvider provider("SOCK:bench", HubOptions::fromEnvironment(), orders(), SockProvider::Options{});
    if (!provider.open()) {
        return {};
    }
    StopSignal stop;
    std::thread runner([&] { provider.run(stop); });
    Counter counter;
    int probe = bench::connectLoopback(provider.port());
    counter.subscribe([&] { bench::sendAll(probe, "ORDER probe Id=0 Status=probe\n"); });
    close(probe);

    // Each sender's lines are made before the clock starts.
    const long each = rows / senders;
    std::vector<std::string> texts(static_cast<size_t>(senders));
    for (int s = 0; s < senders; ++s) {
        for (long i = 1; i <= each; ++i) {
            texts[static_cast<size_t>(s)] += "ORDER src" + std::to_string(s) + " Id=" + std::to_string(i) + " Status=ok\n";
        }
    }
    Figures f;
    f.rows = each * senders;
    counter.count(f.rows);
    const double cpu = processCpuSeconds();
    const int64_t start = clock::steadyNanos();
    std::vector<std::thread> threads;
    for (int s = 0; s < senders; ++s) {
        threads.emplace_back([&, s] {
            int fd = bench::connectLoopback(provider.port());
            bench::sendAll(fd, texts[static_cast<size_t>(s)]);
            close(fd);
        });
    }
    for (std::thread& t : threads) {
        t.join();
    }
    f.received = counter.wait();
    f.seconds = static_cast<double>(counter.doneAt() - start) / 1e9;
    f.cpu = processCpuSeconds() - cpu;
    stop.request();
    runner.join();
    return f;
}

Figures file(long rows) {
    testing::TempDir dir;
    const std::string path = dir.file("bench.log");
    Definition d;
    dp::ParseError e;
    d.file = dir.file("bench.desc");
    parseDefinition(std::string(kDescription) + "source FILE format=keyvalue\npath " + path + "\n", &d, &e);
    ProviderContext context;
    context.workDirectory = dir.path();
    context.sourceName = "file";
    std::unique_ptr<Provider> p = FileProvider::make(d, context, &e);
    auto* provider = static_cast<FileProvider*>(p.get());
    Counter counter;
    counter.subscribe([&] {
        std::ofstream(path, std::ios::app) << "Id=0 Status=probe\n";
        provider->poll();
    });
    constexpr long kChunk = 1000;
    std::vector<std::string> chunks;
    for (long i = 1; i <= rows; i += kChunk) {
        std::string text;
        for (long j = i; j < i + kChunk && j <= rows; ++j) {
            text += "Id=" + std::to_string(j) + " Status=ok\n";
        }
        chunks.push_back(std::move(text));
    }
    Figures f;
    f.rows = rows;
    counter.count(rows);
    const double cpu = processCpuSeconds();
    const int64_t start = clock::steadyNanos();
    std::ofstream out(path, std::ios::app);
    for (const std::string& c : chunks) {
        out << c;
        out.flush();
        provider->poll();
    }
    f.received = counter.wait();
    f.seconds = static_cast<double>(counter.doneAt() - start) / 1e9;
    f.cpu = processCpuSeconds() - cpu;
    return f;
}

double threadCpuMicros() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) * 1e6 + static_cast<double>(t.tv_nsec) / 1e3;
}

void hostSamples(int samples) {
    HostProvider::Options o;
    o.sourceName = "bench";
    o.pageSize = sysconf(_SC_PAGESIZE);
    HostProvider provider(HubOptions::fromEnvironment(), o);
    for (int g = 0; g < HostProvider::kGroups; ++g) {
        auto group = static_cast<HostProvider::Group>(g);
        provider.sample(group);  // registers and brings the source online
        const double before = threadCpuMicros();
        for (int i = 0; i < samples; ++i) {
            provider.sample(group);
        }
        std::printf("host     %-10s %8.1f us CPU per sample (this thread: read, parse, send)\n",
                    HostProvider::groupName(group), (threadCpuMicros() - before) / samples);
    }
}

}  // namespace

int main(int argc, char** argv) {
    long rows = 200000;
    int runs = 3;
    std::string parts = "hub1,sock1,sock8,file,host";  // --parts: a comma-separated choice, for profiling
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--rows") == 0) {
            rows = std::atol(argv[i + 1]);
        } else if (std::strcmp(argv[i], "--runs") == 0) {
            runs = std::atoi(argv[i + 1]);
        } else if (std::strcmp(argv[i], "--parts") == 0) {
            parts = argv[i + 1];
        } else if (std::strcmp(argv[i], "--collector") == 0) {
            gDatagramCollector = std::strcmp(argv[i + 1], "datagram") == 0;
        }
    }
    auto chosen = [&parts](const char* part) { return ("," + parts + ",").find("," + std::string(part) + ",") != std::string::npos; };
    setWorkDirectory(std::filesystem::temp_directory_path().string());
    testing::TestHub hub(1);
    if (!hub.ready()) {
        std::fprintf(stderr, "hub: not ready\n");
        return 1;
    }
    bool complete = true;
    for (int r = 1; r <= runs; ++r) {
        std::printf("-- run %d of %d\n", r, runs);
        auto part = [&](const char* name, const char* label, auto&& measure) {
            if (chosen(name)) {
                Figures figures = measure();
                print(label, figures);
                complete = complete && figures.received == figures.rows;
            }
        };
        part("hub1", "hub 1", [&] { return hubDirect(rows); });
        part("sock1", "sock 1", [&] { return sock(rows, 1); });
        part("sock8", "sock 8", [&] { return sock(rows, 8); });
        part("file", "file", [&] { return file(rows); });
    }
    if (chosen("host")) {
        hostSamples(50);
    }
    return complete ? 0 : 2;
}
