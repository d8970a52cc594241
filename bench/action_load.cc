// action_load: take-actions through the hub, the way the agent's dispatch sends them.
//
// One hub in this process; P providers (HubProvider, one thread each) own sources SRC0..SRC<P-1>,
// wait for automation actions and answer each at once. Dispatchers do what VA_Action does for a
// forwarded action: dc_provideAction, then dc_waitForActionResults for that action's ID, on one
// connection (dc_provideActionForResult).
//
//   throughput  D dispatcher threads send actions round-robin over the sources as fast as results
//               come back, for --seconds; actions per second of completed round trips.
//   latency     one dispatcher paced at --rate actions per second for --latency-actions actions;
//               p50, p99 and max of the round trip (provideAction sent to result received).
//
// Usage: action_load [--providers 1,8] [--dispatchers 4] [--seconds 5] [--rate 100]
//                    [--latency-actions 1000]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "agent/va_limits.h"
#include "hub/dch_ipc.h"
#include "hub/dch_server.h"
#include "interfaces/dch_client.h"
#include "interfaces/support.h"

namespace {

using vorpane::DCactionResults;
using vorpane::DPactionRequest;
using vorpane::HubProvider;

struct Settings {
    std::vector<int> providers{1, 8};
    int dispatchers = 4;
    double seconds = 5;
    double rate = 100;
    int latencyActions = 1000;
};

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

// The hub of one part, on a port of its own.
class BenchHub {
  public:
    BenchHub() {
        const int port = freeLoopbackPort();
        setenv("ZOTA_DCH_PORT", std::to_string(port).c_str(), 1);
        ipcSock::resetEnvForTest();
        setVaLimits(VA_LIMITS{});
        vorpane::clock::setSpeedup(100);  // the hub's pause before it opens its port
        _hub = std::make_unique<DCHserver>();
        vorpane::Mutex& lock = *_hub->readyLock();
        vorpane::ScopedLock g(lock);
        _ready = _hub->readyCond()->waitUntil(lock, 60,
                                              [&]() VA_NO_THREAD_SAFETY_ANALYSIS { return _hub->readyState() != 0; });
        vorpane::clock::setSpeedup(1);
    }
    bool ready() const { return _ready; }

  private:
    std::unique_ptr<DCHserver> _hub;
    bool _ready = false;
};

// A provider that answers every action with status 0 at once.
class Answerer {
  public:
    explicit Answerer(const std::string& source) : _source(source) {}
    bool start() {
        int status = 0;
        int handle = 0;
        if (_hub.connect() != 0) {
            return false;
        }
        _hub.dp_register(&status, {"BENCHACT", "help", {{"G", "help", 'P', 60, "APIS", "N,C,4, , ,n"}}});
        if (_hub.dp_online(&status, &handle, "BENCHACT", "G", _source.c_str()) != 0 ||
            _hub.dp_waitForAction(&status, 1, _source.c_str()) != 0) {
            return false;
        }
        _thread = std::thread([this] {
            DPactionRequest a;
            while (_hub.nextAction(&a, -1) == 0) {
                int status = 0;
                _hub.dp_provideActionResults(&status, a.actionID, 0, "done");
            }
        });
        return true;
    }
    ~Answerer() {
        _hub.cancel();
        if (_thread.joinable()) {
            _thread.join();
        }
        _hub.close();
    }

  private:
    std::string _source;
    HubProvider _hub;
    std::thread _thread;
};

std::atomic<int32_t> g_nextID{1};

// One round trip; its time in nanoseconds, or -1 when it failed.
int64_t roundTrip(int provider) {
    const std::string node = "SRC" + std::to_string(provider) + ":BENCHACT00";
    const int32_t id = g_nextID.fetch_add(1);
    const int64_t start = vorpane::clock::steadyNanos();
    DCactionResults r;
    if (dc_provideActionForResult(1, "BENCH_SIT", node.c_str(), node.c_str(), "Act", id, "parm", &r, 30) != 0 ||
        r.status != 0) {
        return -1;
    }
    return vorpane::clock::steadyNanos() - start;
}

void runPart(int providers, const Settings& s) {
    BenchHub hub;
    if (!hub.ready()) {
        std::fprintf(stderr, "action_load: hub not ready\n");
        std::exit(1);
    }
    std::vector<std::unique_ptr<Answerer>> answerers;
    for (int p = 0; p < providers; ++p) {
        answerers.push_back(std::make_unique<Answerer>("SRC" + std::to_string(p)));
        if (!answerers.back()->start()) {
            std::fprintf(stderr, "action_load: provider %d did not start\n", p);
            std::exit(1);
        }
    }

    // Throughput.
    std::atomic<long> done{0};
    std::atomic<long> failed{0};
    std::atomic<bool> stop{false};
    std::vector<std::thread> dispatchers;
    const int64_t t0 = vorpane::clock::steadyNanos();
    for (int d = 0; d < s.dispatchers; ++d) {
        dispatchers.emplace_back([&, d] {
            for (long i = d; !stop.load(); i += s.dispatchers) {
                (roundTrip(static_cast<int>(i % providers)) >= 0 ? done : failed).fetch_add(1);
            }
        });
    }
    std::this_thread::sleep_for(std::chrono::duration<double>(s.seconds));  // the measured span
    stop.store(true);
    for (std::thread& t : dispatchers) {
        t.join();
    }
    const double elapsed = static_cast<double>(vorpane::clock::steadyNanos() - t0) / 1e9;
    std::printf("providers %d, dispatchers %d: %.0f actions/s (%ld in %.2f s, %ld failed)\n", providers,
                s.dispatchers, static_cast<double>(done.load()) / elapsed, done.load(), elapsed, failed.load());

    // Latency at a fixed rate.
    std::vector<int64_t> times;
    long lost = 0;
    const int64_t period = static_cast<int64_t>(1e9 / s.rate);
    const int64_t begin = vorpane::clock::steadyNanos();
    for (int i = 0; i < s.latencyActions; ++i) {
        const int64_t due = begin + period * i;
        const int64_t now = vorpane::clock::steadyNanos();
        if (due > now) {
            std::this_thread::sleep_for(std::chrono::nanoseconds(due - now));  // pacing of the load
        }
        const int64_t t = roundTrip(i % providers);
        if (t < 0) {
            ++lost;
        } else {
            times.push_back(t);
        }
    }
    std::sort(times.begin(), times.end());
    auto pct = [&](double q) {
        return times.empty() ? 0.0 : static_cast<double>(times[static_cast<size_t>(q * (times.size() - 1))]) / 1e3;
    };
    std::printf("providers %d, %.0f actions/s: round trip p50 %.0f us, p99 %.0f us, max %.0f us (%zu actions, %ld "
                "failed)\n",
                providers, s.rate, pct(0.5), pct(0.99), pct(1.0), times.size(), lost);
}

std::vector<int> parseList(const char* text) {
    std::vector<int> out;
    for (const char* p = text; *p != '\0';) {
        char* end = nullptr;
        const long v = std::strtol(p, &end, 10);
        if (end == p || v <= 0) {
            break;
        }
        out.push_back(static_cast<int>(v));
        p = *end == ',' ? end + 1 : end;
    }
    return out;
}

}  // namespace

int main(int argc, char** argv) {
    Settings s;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string key = argv[i];
        const char* value = argv[i + 1];
        if (key == "--providers") {
            s.providers = parseList(value);
        } else if (key == "--dispatchers") {
            s.dispatchers = std::max(1, std::atoi(value));
        } else if (key == "--seconds") {
            s.seconds = std::atof(value);
        } else if (key == "--rate") {
            s.rate = std::max(1.0, std::atof(value));
        } else if (key == "--latency-actions") {
            s.latencyActions = std::max(1, std::atoi(value));
        } else {
            std::fprintf(stderr, "action_load: unknown option %s\n", key.c_str());
            return 2;
        }
    }
    ZOT0_InitializeProductSpec("VA");
    for (int providers : s.providers) {
        runPart(providers, s);
    }
    return 0;
}
