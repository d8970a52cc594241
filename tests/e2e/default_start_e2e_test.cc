// The real agent on its defaults. The host application shows the host as it is now — one row per
// CPU and listed process however many samples went by — and the providers' status shows each
// provider once; a start with the host application, a FILE and a SOCK definition and a vorpane-dp
// application traces no error and no warning.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "testlib/agent_harness.h"
#include "testlib/child_process.h"
#include "testlib/hub_test_client.h"
#include "testlib/temp_dir.h"

namespace {

using vorpane::testing::ChildProcess;
using vorpane::testing::sendLine;
using vorpane::testing::TempDir;
using vorpane::testing::writeFile;
using Clock = std::chrono::steady_clock;

// Generous: the agent runs under sanitizers on a loaded machine.
constexpr std::chrono::seconds kDeadline{60};

class DefaultStart : public ::testing::Test {
  protected:
    std::vector<std::string> env(std::vector<std::string> extra = {}) const {
        return vorpane::testing::agentEnvironment(_dir.path() + "/work", _ports, std::move(extra));
    }
    nlohmann::json ctl(const std::vector<std::string>& agentEnv, std::vector<std::string> args) const {
        return vorpane::testing::ctlJson(VORPANECTL_BIN, agentEnv, std::move(args));
    }
    // The application (with its release) and table of the group of applicationPrefix that has the
    // attribute, once the application is online; empty strings when it does not come in time.
    std::pair<std::string, std::string> tableWith(const std::vector<std::string>& agentEnv,
                                                  const std::string& applicationPrefix,
                                                  const std::string& attribute) const {
        for (const auto end = Clock::now() + kDeadline; Clock::now() < end;) {
            const nlohmann::json apps = ctl(agentEnv, {"apps"});
            for (const auto& a : apps["applications"]) {
                const std::string name = a["name"];
                if (name.rfind(applicationPrefix, 0) != 0) {
                    continue;
                }
                for (const auto& g : a["groups"]) {
                    for (const auto& attr : g["attributes"]) {
                        if (attr["name"] == attribute) {
                            return {name, g["table"]};
                        }
                    }
                }
            }
        }
        return {};
    }
    // Reports the table until one satisfies done (or the deadline passes); returns the last report's
    // rows.
    nlohmann::json rowsUntil(const std::vector<std::string>& agentEnv,
                             const std::pair<std::string, std::string>& t,
                             const std::function<bool(const nlohmann::json&)>& done) const {
        nlohmann::json rows = nlohmann::json::array();
        for (const auto end = Clock::now() + kDeadline; Clock::now() < end;) {
            rows = ctl(agentEnv, {"rows", t.first, t.second})["rows"];
            if (done(rows)) {
                break;
            }
        }
        return rows;
    }

    TempDir _dir;
    vorpane::testing::AgentPorts _ports;
};

int countWhere(const nlohmann::json& rows, const std::string& column, const nlohmann::json& value) {
    int n = 0;
    for (const auto& r : rows) {
        n += r.contains(column) && r[column] == value ? 1 : 0;
    }
    return n;
}

TEST_F(DefaultStart, HostTablesAndProviderStatusHoldTheLatestSampleOneRowPerKey) {
    const std::string root = _dir.path() + "/root";
    // Since boot: 1000 ticks of which 100 stolen. The file never changes, so every later sample
    // shows 0 everywhere: a report with Idle_Pct 0 comes after the second sample.
    writeFile(root + "/proc/stat",
              "cpu  100 20 50 700 30 0 0 100 0 0\ncpu0 50 10 25 350 15 0 0 50 0 0\ncpu1 50 10 25 350 15 0 0 "
              "50 0 0\n");
    writeFile(root + "/proc/meminfo",
              "MemTotal: 8000000 kB\nMemFree: 1000000 kB\nMemAvailable: 6000000 kB\n");
    writeFile(root + "/proc/loadavg", "0.52 1.05 2.50 3/456 7890\n");
    writeFile(root + "/proc/mounts", "/dev/sda1 / ext4 rw 0 0\n");
    writeFile(root + "/proc/net/dev", "h1\nh2\n    lo: 100 1 0 0 0 0 0 0 100 1 0 0 0 0 0 0\n");
    // The first sample lists the busiest since they began (42 and 1); every later one finds no
    // process busy and lists the lowest PIDs (1 and 7).
    writeFile(root + "/proc/1/stat", "1 (init) S 0 1 1 0 -1 0 0 0 0 0 30 20 0 0 20 0 1 0 10 1000 250 0\n");
    writeFile(root + "/proc/42/stat",
              "42 (busy) R 1 42 42 0 -1 0 0 0 0 0 400 50 0 0 20 0 4 0 100 2000 100 0\n");
    writeFile(root + "/proc/7/stat", "7 (idle) S 1 7 7 0 -1 0 0 0 0 0 0 0 0 0 20 0 1 0 5 0 10 0\n");
    // A second provider in the entry, so that the status rows travel as a set.
    writeFile(_dir.path() + "/work/providers/orders.desc",
              "application ORDERS\ngroup ORDER K 300\nattribute @Id C 4\nsource SOCK protocol=tcp port=0\n");

    const std::vector<std::string> agentEnv =
        env({"VORPANE_HOST_ROOT=" + root, "VORPANE_HOST_PROCESSES=2", "VORPANE_PROVIDER_DIR"});
    ChildProcess agent({VORPANE_AGENT_BIN}, agentEnv);
    ASSERT_TRUE(agent.waitForOutput("Management API listening on")) << agent.output();

    // CPU: one row per CPU, the latest sample's, steal among the columns.
    const auto cpu = tableWith(agentEnv, "VPHOST", "Steal_Pct");
    ASSERT_FALSE(cpu.second.empty()) << agent.output();
    nlohmann::json rows = rowsUntil(agentEnv, cpu, [](const nlohmann::json& r) {
        for (const auto& row : r) {
            if (row["CPU"] == "total" && row["Idle_Pct"] == 0) {
                return true;
            }
        }
        return false;
    });
    EXPECT_EQ(countWhere(rows, "CPU", "total"), 1) << rows.dump();
    EXPECT_EQ(rows.size(), 3u) << rows.dump();
    for (const auto& row : rows) {
        EXPECT_TRUE(row.contains("Steal_Pct")) << row.dump();
    }

    // PROCESS: at most VORPANE_HOST_PROCESSES rows, each PID once.
    const auto process = tableWith(agentEnv, "VPHOST", "PID");
    ASSERT_FALSE(process.second.empty());
    rows = rowsUntil(agentEnv, process, [](const nlohmann::json& r) { return countWhere(r, "PID", 7) > 0; });
    EXPECT_EQ(countWhere(rows, "PID", 7), 1) << rows.dump();
    EXPECT_EQ(rows.size(), 2u) << rows.dump();
    EXPECT_EQ(countWhere(rows, "PID", 1), 1) << rows.dump();

    // DPSTATUS: once the host's row has been published twice (its Rows_Sent grew), each provider
    // shows once.
    const auto status = tableWith(agentEnv, "VAGENT", "Provider");
    ASSERT_FALSE(status.second.empty());
    std::set<int> hostRowsSent;
    rows = rowsUntil(agentEnv, status, [&hostRowsSent](const nlohmann::json& r) {
        for (const auto& row : r) {
            if (row["Provider"] == "HOST") {
                hostRowsSent.insert(row["Rows_Sent"].get<int>());
            }
        }
        return hostRowsSent.size() >= 2;
    });
    EXPECT_GE(hostRowsSent.size(), 2u);
    EXPECT_EQ(countWhere(rows, "Provider", "HOST"), 1) << rows.dump();
    EXPECT_EQ(countWhere(rows, "Provider", "SOCK:orders.desc"), 1) << rows.dump();

    agent.signal(SIGTERM);
    EXPECT_EQ(agent.waitExit(), 0);
}

// The lines of text that contain what.
std::vector<std::string> linesWith(const std::string& text, const std::string& what) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (line.find(what) != std::string::npos) {
            out.push_back(line);
        }
    }
    return out;
}

TEST_F(DefaultStart, AStartWithTheHostADefinitionOfEachKindAndAToolProviderTracesNoErrorOrWarning) {
    int sockPort = vorpane::testing::freeHubPort();
    for (int i = 0; i < 5 && (sockPort == _ports.hub || sockPort == _ports.api); ++i) {
        sockPort = vorpane::testing::freeHubPort();
    }
    writeFile(_dir.path() + "/access.log", "10.0.0.1,/index.html\n");
    writeFile(_dir.path() + "/work/providers/orders.desc",
              "application ORDERS help=\"Orders\"\ngroup ORDER K 300 help=\"Open orders\"\n"
              "attribute @Id C 4 help=\"Order number\"\nattribute Status D 16\n"
              "source SOCK protocol=tcp port=" +
                  std::to_string(sockPort) + "\n");
    writeFile(_dir.path() + "/work/providers/weblog.desc",
              "application WEBLOG help=\"Web server access log\"\ngroup ACCESS E 0\nattribute Host D 64\n"
              "attribute Path D 256\nsource FILE group=ACCESS fields=Host,Path\npath " +
                  _dir.path() + "/access.log\n");
    writeFile(_dir.path() + "/demo.desc",
              "application VPDEMO help=\"Demo application\"\ngroup PROCS K 300 help=\"Running processes\"\n"
              "attribute @PID C 4 help=\"Process id\"\nattribute Name D 64 help=\"Command name\"\n");

    // Real time and the real host, the definitions where the agent looks by default; no ATTRLIB.
    const std::vector<std::string> agentEnv =
        env({"VORPANE_TIME_SPEEDUP=1", "VORPANE_HOST_ROOT", "VORPANE_HOST_PROCESSES", "VORPANE_PROVIDER_DIR",
             "ATTRLIB"});
    ChildProcess agent({VORPANE_AGENT_BIN}, agentEnv);
    ASSERT_TRUE(agent.waitForOutput("startup complete.", kDeadline)) << agent.output();
    ChildProcess dp({VORPANE_DP_BIN, "--file", _dir.path() + "/demo.desc", "--online", "demo1", "--row",
                     "PROCS PID=1 Name=init", "--wait"},
                    vorpane::testing::providerEnvironment(_dir.path() + "/work", _ports));
    ASSERT_TRUE(dp.waitForOutput("(--row 1): status 0", kDeadline)) << dp.output();
    for (int attempt = 0;
         attempt < 600 && agent.output().find("Found samplesListEntry[ORD/ORDER/shop1]") == std::string::npos;
         ++attempt) {
        sendLine(sockPort, "ORDER shop1 Id=7 Status=shipped\n");
        agent.waitForOutput("Found samplesListEntry[ORD/ORDER/shop1]", std::chrono::milliseconds(100));
    }

    // Every application online with its rows stored.
    for (const char* stored :
         {"Found samplesListEntry[VPH/CPU/", "Found samplesListEntry[VAG/DPSTATUS/ASFS]",
          "Found samplesListEntry[WEB/ACCESS/", "Found samplesListEntry[ORD/ORDER/shop1]",
          "Found samplesListEntry[VPD/PROCS/demo1]"}) {
        EXPECT_TRUE(agent.waitForOutput(stored, kDeadline)) << stored << "\n" << agent.output();
    }
    const std::string trace = agent.output();
    EXPECT_EQ(linesWith(trace, "Error:"), std::vector<std::string>{}) << trace;
    EXPECT_EQ(linesWith(trace, "Warning:"), std::vector<std::string>{}) << trace;
    EXPECT_FALSE(linesWith(trace, "Note: ATTRLIB not set").empty()) << trace;

    dp.signal(SIGTERM);
    EXPECT_EQ(dp.waitExit(), 0);
    agent.signal(SIGTERM);
    EXPECT_EQ(agent.waitExit(), 0);
}

}  // namespace
