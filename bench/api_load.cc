// api_load: the management API under load, and what that load costs the hub.
//
// Every round measures, one after the other:
//   api          C clients (own thread, own keep-alive connection) ask GET .../rows of a table of R rows
//                for S seconds: requests/s and the latency p50/p99 of one request.
//   hub          hub_load's single-provider hub part (its own process, --hub-only): rows/s alone.
//   hub+api      the same hub part while the C clients keep asking: the hub's rows/s under API load,
//                and the API's requests/s meanwhile.
// The figures of one round are taken minutes apart at most, so the ratio hub+api / hub reads well on a
// shared machine where absolute rates drift. Prints the medians over the rounds as a Markdown table.
//
//   api_load [--rows 1000] [--clients 2] [--seconds 10] [--rounds 3] [--hub-rows 200000]
//            [--hub-load PATH]
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <httplib.h>

#include "api/api_server.h"
#include "interfaces/axf.h"
#include "interfaces/axf_facade.h"
#include "interfaces/support.h"
#include "platform/axf/memory_table.h"
#include "bench_stats.h"

namespace {

using vorpane::bench::median;

struct Options {
    long rows = 1000;
    int clients = 2;
    double seconds = 10;
    int rounds = 3;
    long hubRows = 200000;
    std::string hubLoad = HUB_LOAD_BIN;
};

bool parseOptions(int argc, char** argv, Options* o) {
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string arg = argv[i];
        const char* value = argv[i + 1];
        if (arg == "--rows") {
            o->rows = std::max(1L, std::atol(value));
        } else if (arg == "--clients") {
            o->clients = std::max(1, std::atoi(value));
        } else if (arg == "--seconds") {
            o->seconds = std::max(0.5, std::atof(value));
        } else if (arg == "--rounds") {
            o->rounds = std::max(1, std::atoi(value));
        } else if (arg == "--hub-rows") {
            o->hubRows = std::max(1000L, std::atol(value));
        } else if (arg == "--hub-load") {
            o->hubLoad = value;
        } else {
            return false;
        }
    }
    return argc % 2 == 1;
}

// Clients asking for the rows until stopped.
class ApiClients {
public:
    ApiClients(int port, int clients, std::string token) {
        for (int c = 0; c < clients; ++c) {
            _threads.emplace_back([this, port, token] {
                httplib::Client client("127.0.0.1", port);
                client.set_bearer_token_auth(token.c_str());
                client.set_keep_alive(true);
                std::vector<int64_t> mine;
                while (!_stop.load()) {
                    int64_t t0 = vorpane::clock::steadyNanos();
                    httplib::Result r = client.Get("/v1/tables/LOD01/LODTBL01/rows");
                    int64_t t1 = vorpane::clock::steadyNanos();
                    if (!r || r->status != 200) {
                        _failed.fetch_add(1);
                        continue;
                    }
                    _done.fetch_add(1);
                    mine.push_back(t1 - t0);
                }
                std::lock_guard<std::mutex> g(_lock);
                _latencies.insert(_latencies.end(), mine.begin(), mine.end());
            });
        }
        _start = vorpane::clock::steadyNanos();
    }
    // Requests/s since the start; the clients end.
    double stop() {
        _stop.store(true);
        double elapsed = static_cast<double>(vorpane::clock::steadyNanos() - _start) / 1e9;
        for (std::thread& t : _threads) {
            t.join();
        }
        return static_cast<double>(_done.load()) / elapsed;
    }
    double percentileMs(double p) {
        std::sort(_latencies.begin(), _latencies.end());
        if (_latencies.empty()) {
            return 0;
        }
        size_t i = std::min(_latencies.size() - 1, static_cast<size_t>(p * static_cast<double>(_latencies.size())));
        return static_cast<double>(_latencies[i]) / 1e6;
    }
    long failed() const { return _failed.load(); }

private:
    std::atomic<bool> _stop{false};
    std::atomic<long> _done{0}, _failed{0};
    std::mutex _lock;
    std::vector<int64_t> _latencies;
    std::vector<std::thread> _threads;
    int64_t _start = 0;
};

// The hub's single-provider rows/s from one hub_load run, or 0 when it failed.
double hubRate(const Options& o) {
    std::string command = o.hubLoad + " --hub-only --runs 1 --rounds 1 --providers 1 --rows " +
                          std::to_string(o.hubRows) + " --latency-rows 0 --growth-rows 0 2>&1";
    FILE* p = popen(command.c_str(), "r");
    if (p == nullptr) {
        return 0;
    }
    double rate = 0;
    char line[512];
    while (std::fgets(line, sizeof line, p) != nullptr) {
        // "run 1 hub 1           ok   sent ... received ...  123456 rows/s ..."
        const char* hub = std::strstr(line, " hub 1 ");
        const char* unit = std::strstr(line, " rows/s");
        if (std::strncmp(line, "run ", 4) == 0 && hub != nullptr && unit != nullptr && std::strstr(line, " ok ") != nullptr) {
            const char* number = unit;
            while (number > line && number[-1] != ' ') {
                --number;
            }
            rate = std::atof(number);
        }
    }
    return pclose(p) == 0 ? rate : 0;
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    if (!parseOptions(argc, argv, &o)) {
        std::printf("usage: api_load [--rows N] [--clients N] [--seconds S] [--rounds N] [--hub-rows N] [--hub-load PATH]\n");
        return 2;
    }
    char dir[] = "/tmp/api_load.XXXXXX";
    if (mkdtemp(dir) == nullptr) {
        std::perror("mkdtemp");
        return 1;
    }
    vorpane::setWorkDirectory(dir);

    axf::MemoryTable table("LOD01", "LODTBL01",
                           {{"ORIGINNODE", "Node_Name", "", AXF_COLUMN_STRING, 32},
                            {"VA1", "Process", "Process name", AXF_COLUMN_STRING, 32, true},
                            {"VA2", "Pid", "Process id", AXF_COLUMN_INT32, 4},
                            {"VA3", "Cpu_Pct", "CPU percent", AXF_COLUMN_INT32, 4, false, 1},
                            {"VA4", "State", "State", AXF_COLUMN_STRING, 16}});
    for (long i = 0; i < o.rows; ++i) {
        table.addRow({"h1:LOD01", "process" + std::to_string(i), std::to_string(1000 + i), std::to_string(i % 1000), "running"});
    }
    AXF_Subnode_Register("h1:LOD01", "%AFF", "LOD", "04.10.00");
    AXF_Subnode_SendRequest();

    vorpane::api::ApiServer server;
    vorpane::api::ApiConfig config;
    config.port = 0;
    std::string error;
    const std::string token = "api-load-token";
    if (!server.start(config, token, &error)) {
        std::printf("cannot start the API: %s\n", error.c_str());
        return 1;
    }
    std::printf("api_load: %ld rows, %d clients, %.1f s per API part, %d rounds, hub parts of %ld rows\n", o.rows,
                o.clients, o.seconds, o.rounds, o.hubRows);

    std::vector<double> apiAlone, apiP50, apiP99, hubAlone, hubLoaded, apiDuringHub, ratio;
    long failures = 0;
    for (int round = 1; round <= o.rounds; ++round) {
        {
            ApiClients clients(server.port(), o.clients, token);
            BSS1_Sleep(o.seconds);
            apiAlone.push_back(clients.stop());
            apiP50.push_back(clients.percentileMs(0.50));
            apiP99.push_back(clients.percentileMs(0.99));
            failures += clients.failed();
        }
        double alone = hubRate(o);
        double loaded = 0, during = 0;
        {
            ApiClients clients(server.port(), o.clients, token);
            loaded = hubRate(o);
            during = clients.stop();
            failures += clients.failed();
        }
        hubAlone.push_back(alone);
        hubLoaded.push_back(loaded);
        apiDuringHub.push_back(during);
        ratio.push_back(alone > 0 ? loaded / alone : 0);
        std::printf("round %d  api %.0f req/s (p50 %.2f ms, p99 %.2f ms)  hub %.0f rows/s  hub under api %.0f rows/s  "
                    "api meanwhile %.0f req/s  ratio %.3f\n",
                    round, apiAlone.back(), apiP50.back(), apiP99.back(), alone, loaded, during, ratio.back());
        std::fflush(stdout);
    }
    server.stop();
    std::printf("\n| Figure (%d rounds, median) | Value |\n|---|---:|\n", o.rounds);
    std::printf("| API rows of a %ld-row table, requests/s (%d clients) | %.0f |\n", o.rows, o.clients, median(apiAlone));
    std::printf("| API latency p50 / p99, ms | %.2f / %.2f |\n", median(apiP50), median(apiP99));
    std::printf("| hub rows/s, 1 provider, alone | %.0f |\n", median(hubAlone));
    std::printf("| hub rows/s, 1 provider, API under load | %.0f |\n", median(hubLoaded));
    std::printf("| API requests/s meanwhile | %.0f |\n", median(apiDuringHub));
    std::printf("| hub under API load / hub alone | %.3f |\n", median(ratio));
    std::printf("failed requests: %ld\n", failures);
    std::filesystem::remove_all(dir);
    return failures == 0 && median(hubAlone) > 0 ? 0 : 1;
}
