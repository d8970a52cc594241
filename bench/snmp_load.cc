// snmp_load: the SNMP provider against Debian's snmpd on loopback (docs/benchmarks.md).
//
//   walk     a table of N rows (two columns, made with snmpd "override" lines) walked by the
//            provider until its N rows reached a collector of the hub, against `snmpbulkwalk` of the
//            same table (same max-repetitions) in the same run; the best of --runs each
//   agents   A agents (one snmpd listening on A ports) polled every --interval seconds (the system
//            group and the interface table), for --rounds rounds: the process's CPU time per poll
//
// Everything runs in one process with the tests' in-process hub; snmpd and snmpbulkwalk are
// children. Rows per second are rows over the time from the start to the last row's receipt.
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "providers/row_collector.h"
#include "providers/snmp_provider.h"
#include "testlib/hub_fixture.h"
#include "testlib/hub_test_client.h"
#include "testlib/snmpd.h"

using namespace vorpane;
using namespace vorpane::providers;
using Clock = std::chrono::steady_clock;

namespace {

double cpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

std::unique_ptr<SnmpProvider> make(const std::string& text) {
    Definition d;
    dp::ParseError e;
    d.file = "/bench/snmp.desc";
    if (!parseDefinition(text, &d, &e)) {
        std::fprintf(stderr, "definition: %d: %s\n", e.line, e.reason.c_str());
        std::exit(2);
    }
    ProviderContext context;
    std::unique_ptr<Provider> p = SnmpProvider::make(d, context, &e);
    if (!p) {
        std::fprintf(stderr, "definition: %d: %s\n", e.line, e.reason.c_str());
        std::exit(2);
    }
    return std::unique_ptr<SnmpProvider>(static_cast<SnmpProvider*>(p.release()));
}

// The provider on its thread until the object goes.
class Running {
  public:
    explicit Running(std::unique_ptr<SnmpProvider> p) : _p(std::move(p)) {
        _thread = std::thread([this] { _p->run(_stop); });
    }
    ~Running() {
        _stop.request();
        _thread.join();
    }

  private:
    std::unique_ptr<SnmpProvider> _p;
    StopSignal _stop;
    std::thread _thread;
};

void walk(int rows, int runs, int bulk) {
    std::string config;
    for (int i = 1; i <= rows; ++i) {
        config += "override .1.3.6.1.4.1.99999.1.1.2." + std::to_string(i) + " octet_str \"row " + std::to_string(i) + "\"\n";
        config += "override .1.3.6.1.4.1.99999.1.1.3." + std::to_string(i) + " integer " + std::to_string(i) + "\n";
    }
    testing::SnmpDaemon snmpd(0, config);
    if (!snmpd.ready()) {
        std::fprintf(stderr, "snmpd did not start\n");
        std::exit(2);
    }
    double bestTool = 1e9;
    double bestProvider = 1e9;
    for (int run = 0; run < runs; ++run) {
        std::string out;
        const auto t0 = Clock::now();
        testing::SnmpDaemon::runTool({"snmpbulkwalk", "-v2c", "-c", "public", "-On", "-Cr" + std::to_string(bulk),
                                      snmpd.peer(), ".1.3.6.1.4.1.99999.1.1"},
                                     &out);
        const double tool = std::chrono::duration<double>(Clock::now() - t0).count();
        const long lines = std::count(out.begin(), out.end(), '\n');
        if (lines != 2L * rows) {
            std::fprintf(stderr, "snmpbulkwalk gave %ld lines, not %d\n", lines, 2 * rows);
        }
        bestTool = std::min(bestTool, tool);

        testing::RowCollector collector("VPBENCH", "BIG");
        const auto t1 = Clock::now();
        int received = 0;
        {
            Running p(make("application VPBENCH\ngroup BIG N 600\nattribute @Index D 16\nattribute Name D 32\n"
                           "attribute Value G 4\nsource SNMP retries=0 bulk=" + std::to_string(bulk) +
                           "\nagent local " + snmpd.peer() + "\ntable BIG index=Index interval=86400 timeout=60\n"
                           "oid Name 1.3.6.1.4.1.99999.1.1.2\noid Value 1.3.6.1.4.1.99999.1.1.3\n"));
            while (received < rows && collector.next(30)) {
                ++received;
            }
        }
        const double provider = std::chrono::duration<double>(Clock::now() - t1).count();
        if (received < rows) {
            std::fprintf(stderr, "the provider's walk gave %d rows, not %d\n", received, rows);
        }
        bestProvider = std::min(bestProvider, provider);
    }
    std::printf("walk of %d rows x 2 columns, max-repetitions %d, best of %d:\n", rows, bulk, runs);
    std::printf("  snmpbulkwalk (process)   %8.1f ms  %9.0f rows/s\n", bestTool * 1e3, rows / bestTool);
    std::printf("  provider (rows at hub)   %8.1f ms  %9.0f rows/s  ratio %.2f\n", bestProvider * 1e3,
                rows / bestProvider, bestTool / bestProvider);
}

void agents(int count, double interval, int rounds) {
    std::vector<int> list;
    for (int i = 0; i < count; ++i) {
        list.push_back(testing::freeHubPort());
    }
    // One snmpd on every port.
    testing::SnmpDaemon many(list[0], "", std::vector<int>(list.begin() + 1, list.end()));
    if (!many.ready()) {
        std::fprintf(stderr, "snmpd on %d ports did not start\n", count);
        std::exit(2);
    }
    std::string text =
        "application VPMANY\ngroup SYSTEM N 600\nattribute Descr D 64\nattribute UpTime G 4\nattribute Status D 16\n"
        "group IFTABLE N 600\nattribute @Index D 16\nattribute Descr D 32\nattribute In_Octets C 4\n"
        "attribute Out_Octets C 4\nattribute In_Rate G 4\nattribute In_Errors C 4\nattribute Status D 16\n"
        "source SNMP retries=0\n";
    for (int i = 0; i < count; ++i) {
        text += "agent a" + std::to_string(i) + " 127.0.0.1:" + std::to_string(list[i]) + "\n";
    }
    const std::string every = std::to_string(static_cast<long>(interval));
    text += "scalar SYSTEM interval=" + every + " timeout=5\noid Descr 1.3.6.1.2.1.1.1.0\noid UpTime 1.3.6.1.2.1.1.3.0\n";
    text += "table IFTABLE index=Index interval=" + every + " timeout=5\noid Descr 1.3.6.1.2.1.2.2.1.2\n"
            "oid In_Octets 1.3.6.1.2.1.31.1.1.1.6\noid Out_Octets 1.3.6.1.2.1.31.1.1.1.10\n"
            "oid In_Rate 1.3.6.1.2.1.31.1.1.1.6 rate\noid In_Errors 1.3.6.1.2.1.2.2.1.14\n";
    testing::RowCollector system("VPMANY", "SYSTEM");
    const double cpu0 = cpuSeconds();
    const auto t0 = Clock::now();
    int rows = 0;
    {
        Running p(make(text));
        const auto end = t0 + std::chrono::duration<double>(interval * rounds - interval / 2);
        while (Clock::now() < end) {
            if (system.next(1)) {
                ++rows;
            }
        }
    }
    const double cpu = cpuSeconds() - cpu0;
    const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
    const int polls = count * 2 * rounds;
    std::printf("%d agents x 2 groups every %.0f s, %d rounds in %.1f s: %d system rows (of %d)\n", count, interval,
                rounds, wall, rows, count * rounds);
    std::printf("  CPU %.3f s in all: %.1f %% of one core, %.0f us per poll (%d polls)\n", cpu,
                100.0 * cpu / wall, 1e6 * cpu / polls, polls);
}

}  // namespace

int main(int argc, char** argv) {
    int rows = 1000;
    int runs = 5;
    int bulk = 25;
    int agentCount = 50;
    double interval = 10;
    int rounds = 3;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string k = argv[i];
        const double v = std::atof(argv[i + 1]);
        if (k == "--rows") rows = static_cast<int>(v);
        else if (k == "--runs") runs = static_cast<int>(v);
        else if (k == "--bulk") bulk = static_cast<int>(v);
        else if (k == "--agents") agentCount = static_cast<int>(v);
        else if (k == "--interval") interval = v;
        else if (k == "--rounds") rounds = static_cast<int>(v);
    }
    if (!testing::SnmpDaemon::installed()) {
        std::fprintf(stderr, "snmpd and the snmp tools are not installed (scripts/deps.sh)\n");
        return 2;
    }
    testing::TestHub hub(1);  // the clock at its real speed
    if (!hub.ready()) {
        return 2;
    }
    walk(rows, runs, bulk);
    agents(agentCount, interval, rounds);
    return 0;
}
