// status_page_load: what the status page costs and how fast it shows, against the real agent in
// headless Chromium (driven over the DevTools pipe, as status_page_e2e_test does).
//
//   load   an application of T tables (10 rows each) online; the page opened afresh on one table R
//          times: milliseconds from the start of the navigation to the first rows drawn (the page's
//          "first-rows" performance mark), median, min and max.
//   hub    vorpane-dp sends N rows to a keyed table of 100 keys as fast as the hub takes them: rows/s
//          with the browser on a blank page, then with the page open on that table (live refresh,
//          sparklines), alternately, for the given rounds. The figure to read is the ratio of the two
//          medians (goal: at least 0.9).
//
//   status_page_load [--tables 50] [--runs 5] [--rows 20000] [--rounds 3] [--agent PATH] [--dp PATH]
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "testlib/agent_harness.h"
#include "testlib/child_process.h"
#include "testlib/headless_browser.h"
#include "testlib/temp_dir.h"
#include "bench_stats.h"

namespace {

using vorpane::bench::median;

using vorpane::testing::ChildProcess;
using vorpane::testing::HeadlessBrowser;

constexpr const char* kToken = "status-page-load-token";

struct Options {
    int tables = 50;
    int runs = 5;
    long rows = 20000;
    int rounds = 3;
    std::string agent = VORPANE_AGENT_BIN;
    std::string dp = VORPANE_DP_BIN;
};

}  // namespace

int main(int argc, char** argv) {
    Options o;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string arg = argv[i];
        const char* v = argv[i + 1];
        if (arg == "--tables") o.tables = std::max(1, std::atoi(v));
        else if (arg == "--runs") o.runs = std::max(1, std::atoi(v));
        else if (arg == "--rows") o.rows = std::max(1000L, std::atol(v));
        else if (arg == "--rounds") o.rounds = std::max(1, std::atoi(v));
        else if (arg == "--agent") o.agent = v;
        else if (arg == "--dp") o.dp = v;
        else {
            std::printf("usage: status_page_load [--tables N] [--runs N] [--rows N] [--rounds N] [--agent PATH] [--dp PATH]\n");
            return 2;
        }
    }
    vorpane::testing::TempDir dir;
    std::string description = "application VPLOAD help=\"Status page load\"\n"
                              "group BUSY K 3600 help=\"A busy table\"\nattribute @Key D 16\nattribute Value G 4\n";
    std::string rows;
    for (int t = 0; t < o.tables; ++t) {
        char group[16];
        std::snprintf(group, sizeof group, "T%02d", t);
        description += std::string("group ") + group + " K 3600 help=\"Table " + group +
                       "\"\nattribute @Name D 16\nattribute Used G 4 unit=MiB\nattribute Note D 32\n";
        for (int r = 0; r < 10; ++r) {
            rows += std::string(group) + " Name=n" + std::to_string(r) + " Used=" + std::to_string(r * 7 + t) + " Note=row\n";
        }
    }
    dir.write("load.desc", description);
    dir.write("tables.rows", rows);
    std::string busy;
    for (long r = 0; r < o.rows; ++r) {
        busy += "BUSY Key=k" + std::to_string(r % 100) + " Value=" + std::to_string(r) + "\n";
    }
    dir.write("busy.rows", busy);

    const vorpane::testing::AgentPorts ports;
    ChildProcess agent({o.agent, "NODP"},
                       vorpane::testing::agentEnvironment(dir.path(), ports,
                                                          {"VORPANE_TIME_SPEEDUP=1", "VORPANE_TRACE=ERROR",
                                                           std::string("VORPANE_API_TOKEN=") + kToken}));
    if (!agent.waitForOutput("status page at")) {
        std::printf("the agent did not start:\n%s\n", agent.output().c_str());
        return 1;
    }
    const std::vector<std::string> dpEnv = vorpane::testing::providerEnvironment(dir.path(), ports);
    // The tables' rows, then online until the end.
    ChildProcess tables({"/bin/sh", "-c", "exec \"$0\" --file load.desc --online s1 --stdin -q --wait < tables.rows", o.dp},
                        dpEnv, dir.path());

    HeadlessBrowser browser(dir.file("profile"));
    if (!browser.ready()) {
        std::printf("no browser: %s\n", browser.startError().c_str());
        return 1;
    }
    const std::string page = "http://127.0.0.1:" + std::to_string(ports.api) + "/";
    // Until every table has its rows.
    if (!browser.navigate(page + "#token=" + kToken) ||
        !browser.waitFor("fetch('/v1/tables', {headers: {Authorization: 'Bearer " + std::string(kToken) +
                             "'}}).then(r => r.json()).then(j => j.tables.filter(t => t.application === 'VPLOAD' && t.rowCount === 10).length === " +
                             std::to_string(o.tables) + ")",
                         std::chrono::seconds(120))) {
        std::printf("the tables did not come\n");
        return 1;
    }

    std::vector<double> loads;
    for (int r = 0; r < o.runs; ++r) {
        char group[16];
        std::snprintf(group, sizeof group, "T%02d", (r * 7) % o.tables);
        browser.navigate("about:blank");
        browser.navigate(page + "#/table/VPLOAD/" + group);
        if (!browser.waitFor("performance.getEntriesByName('first-rows').length > 0", std::chrono::seconds(30))) {
            std::printf("run %d: no rows drawn; the page shows: %s\n", r + 1,
                        browser.evaluate("document.querySelector('main').textContent").dump().c_str());
            for (const std::string& e : browser.pageErrors()) {
                std::printf("page error: %s\n", e.c_str());
            }
            return 1;
        }
        const double ms = browser.evaluate("performance.getEntriesByName('first-rows')[0].startTime").get<double>();
        std::printf("run %d  %s  first rows after %.1f ms\n", r + 1, group, ms);
        loads.push_back(ms);
    }

    auto sendBusy = [&]() {
        const auto start = std::chrono::steady_clock::now();
        ChildProcess dp({"/bin/sh", "-c", "exec \"$0\" --file load.desc --online s2 --group BUSY --stdin -q < busy.rows", o.dp},
                        dpEnv, dir.path());
        const std::optional<int> rc = dp.waitExit(std::chrono::seconds(600));
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        return rc == 0 ? static_cast<double>(o.rows) / seconds : 0.0;
    };
    sendBusy();  // registers the busy source once, outside the figures
    std::vector<double> alone, open, ratios;
    for (int r = 0; r < o.rounds; ++r) {
        browser.navigate("about:blank");
        const double a = sendBusy();
        browser.navigate(page + "#/table/VPLOAD/BUSY");
        browser.waitFor("document.querySelector('#rows table') !== null", std::chrono::seconds(30));
        const double b = sendBusy();
        std::printf("round %d  hub %.0f rows/s alone, %.0f rows/s with the page open  ratio %.3f\n", r + 1, a, b, a > 0 ? b / a : 0);
        alone.push_back(a);
        open.push_back(b);
        ratios.push_back(a > 0 ? b / a : 0);
    }
    std::printf("\n| Figure | Value |\n|---|---:|\n");
    std::printf("| page load to first rows, %d tables, ms (median of %d; min, max) | %.0f (%.0f, %.0f) |\n", o.tables, o.runs,
                median(loads), *std::min_element(loads.begin(), loads.end()), *std::max_element(loads.begin(), loads.end()));
    std::printf("| rows/s into a keyed table, page closed | %.0f |\n", median(alone));
    std::printf("| rows/s into a keyed table, page open on it | %.0f |\n", median(open));
    std::printf("| page open / page closed (median of rounds) | %.3f |\n", median(ratios));
    const std::vector<std::string> errors = browser.pageErrors();
    for (const std::string& e : errors) {
        std::printf("page error: %s\n", e.c_str());
    }
    agent.signal(SIGTERM);
    agent.waitExit();
    return errors.empty() ? 0 : 1;
}
