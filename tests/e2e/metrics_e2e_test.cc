// The real agent's /metrics as Prometheus reads it: started on its defaults with the host
// application, a FILE and a SOCK definition and a vorpane-dp application, each with rows, the page
// passes promtool without a finding, names its families by application and group in base units,
// and shows the newest row of every series.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <httplib.h>

#include "testlib/agent_harness.h"
#include "testlib/child_process.h"
#include "testlib/hub_test_client.h"
#include "testlib/temp_dir.h"

namespace {

using vorpane::testing::ChildProcess;
using vorpane::testing::sendLine;
using vorpane::testing::TempDir;
using vorpane::testing::writeFile;
using vorpane::testing::readFile;

// The host's first samples come on its intervals in real time (the CPU shares need two readings).
constexpr std::chrono::seconds kHostSamples{120};

// The sample lines of a family (its name followed by labels or a blank).
std::vector<std::string> samplesOf(const std::string& page, const std::string& family) {
    std::vector<std::string> out;
    std::istringstream in(page);
    for (std::string line; std::getline(in, line);) {
        if (line.rfind(family, 0) == 0 && line.size() > family.size() &&
            (line[family.size()] == '{' || line[family.size()] == ' ')) {
            out.push_back(line);
        }
    }
    return out;
}

TEST(MetricsOfTheAgent, TheDefaultStartWithEveryKindOfProviderPassesPromtoolWithoutAFinding) {
    TempDir dir;
    const vorpane::testing::AgentPorts ports;
    int sockPort = vorpane::testing::freeHubPort();
    for (int i = 0; i < 5 && (sockPort == ports.hub || sockPort == ports.api); ++i) {
        sockPort = vorpane::testing::freeHubPort();
    }
    writeFile(dir.path() + "/access.log", "10.0.0.1,/index.html,512\n");
    writeFile(dir.path() + "/work/providers/orders.desc",
              "application ORDERS help=\"Orders\"\ngroup ORDER K 300 help=\"Open orders\"\n"
              "attribute @Id C 4 help=\"Order number\"\nattribute Status D 16\n"
              "attribute Amount G 4 format=SCALE{2} help=\"Order value\"\n"
              "source SOCK protocol=tcp port=" +
                  std::to_string(sockPort) + "\n");
    writeFile(dir.path() + "/work/providers/weblog.desc",
              "application WEBLOG help=\"Web server access log\"\ngroup ACCESS E 0\nattribute Host D 64\n"
              "attribute Path D 256\nattribute Bytes G 4 unit=bytes\n"
              "source FILE group=ACCESS fields=Host,Path,Bytes\npath " +
                  dir.path() + "/access.log\n");
    // An S group keeps every row until its TTL: two rows of one process, the second the newer.
    writeFile(dir.path() + "/demo.desc",
              "application VPDEMO help=\"Demo application\"\ngroup PROCS S 300 help=\"Running processes\"\n"
              "attribute @PID C 4 help=\"Process id\"\nattribute Name D 64 help=\"Command name\"\n"
              "attribute RSS G 4 unit=KiB help=\"Resident memory\"\n"
              "attribute Faults C 4 help=\"Page faults since the process began\"\n");

    // The defaults: the real host, the definitions where the agent looks for them, real time.
    const std::vector<std::string> env = vorpane::testing::agentEnvironment(
        dir.path() + "/work", ports,
        {"VORPANE_TIME_SPEEDUP=1", "VORPANE_HOST_ROOT", "VORPANE_HOST_PROCESSES", "VORPANE_PROVIDER_DIR"});
    ChildProcess agent({VORPANE_AGENT_BIN}, env);
    ASSERT_TRUE(agent.waitForOutput("startup complete.")) << agent.output();
    ASSERT_TRUE(agent.waitForOutput("Management API listening on")) << agent.output();
    ChildProcess dp({VORPANE_DP_BIN, "--file", dir.path() + "/demo.desc", "--online", "demo1", "--row",
                     "PROCS PID=1 Name=init RSS=100 Faults=602", "--row", "PROCS PID=1 Name=init RSS=2 Faults=693",
                     "--wait"},
                    vorpane::testing::providerEnvironment(dir.path() + "/work", ports));
    ASSERT_TRUE(dp.waitForOutput("(--row 2): status 0")) << dp.output();

    httplib::Client api("127.0.0.1", ports.api);
    api.set_read_timeout(60, 0);
    std::string token = readFile(dir.path() + "/work/api-token");
    while (!token.empty() && std::isspace(static_cast<unsigned char>(token.back()))) {
        token.pop_back();
    }
    ASSERT_FALSE(token.empty());
    api.set_bearer_token_auth(token.c_str());
    auto page = [&api] {
        httplib::Result r = api.Get("/metrics");
        return r && r->status == 200 ? r->body : std::string();
    };
    // Every application's series on the page; the SOCK listener may not be up at first, so its line
    // goes again until its row is there.
    const std::string text = vorpane::testing::askUntil(
        [&] {
            sendLine(sockPort, "ORDER shop1 Id=7 Status=shipped Amount=1999\n");
            return page();
        },
        [](const std::string& t) {
            return t.find("vorpane_orders_order_amount{") != std::string::npos &&
                   t.find("vorpane_weblog_access_bytes{") != std::string::npos &&
                   t.find("vorpane_vpdemo_procs_rss_bytes{") != std::string::npos &&
                   t.find("vorpane_vphost_memory_total_bytes{") != std::string::npos &&
                   t.find("vorpane_vphost_cpu_busy_ratio{") != std::string::npos &&
                   t.find("vorpane_vagent_dpstatus_rows_sent_total{") != std::string::npos;
        },
        kHostSamples);
    ASSERT_NE(text.find("vorpane_vpdemo_procs_rss_bytes{"), std::string::npos) << text << agent.output();
    ASSERT_NE(text.find("vorpane_orders_order_amount{"), std::string::npos) << text << agent.output();

    // promtool: exit 0 and not a word.
    writeFile(dir.path() + "/metrics.txt", text);
    const std::string command = "promtool check metrics < " + dir.path() + "/metrics.txt > " + dir.path() +
                                "/promtool.out 2>&1";
    const int rc = std::system(command.c_str());
    EXPECT_TRUE(WIFEXITED(rc) && WEXITSTATUS(rc) == 0) << readFile(dir.path() + "/promtool.out") << text;
    EXPECT_EQ(readFile(dir.path() + "/promtool.out"), "") << text;

    // The newest row of the process wins (the table holds both); KiB become bytes; the counter is a
    // running count.
    EXPECT_EQ(vorpane::testing::ctlJson(VORPANECTL_BIN, env, {"rows", "VPDEMO", "PROCS"})["rows"].size(), 2u);
    EXPECT_EQ(samplesOf(text, "vorpane_vpdemo_procs_rss_bytes"),
              std::vector<std::string>{"vorpane_vpdemo_procs_rss_bytes{source=\"demo1\",pid=\"1\"} 2048"})
        << text;
    EXPECT_NE(text.find("# HELP vorpane_vpdemo_procs_faults_total Page faults since the process began\n"
                        "# TYPE vorpane_vpdemo_procs_faults_total counter\n"
                        "vorpane_vpdemo_procs_faults_total{source=\"demo1\",pid=\"1\"} 693\n"),
              std::string::npos)
        << text;
    EXPECT_EQ(samplesOf(text, "vorpane_orders_order_amount"),
              std::vector<std::string>{"vorpane_orders_order_amount{source=\"shop1\",id=\"7\"} 19.99"})
        << text;
    EXPECT_EQ(samplesOf(text, "vorpane_weblog_access_bytes").size(), 1u) << text;
    EXPECT_NE(text.find("# HELP vorpane_weblog_access_bytes Bytes\n"), std::string::npos) << text;  // none given
    EXPECT_NE(text.find("# TYPE vorpane_vphost_network_rx_bytes_total counter\n"), std::string::npos) << text;
    EXPECT_NE(text.find("# TYPE vorpane_up gauge\nvorpane_up 1\n"), std::string::npos) << text;
    EXPECT_NE(text.find("# TYPE vorpane_vagent_dpstatus_definitions gauge\n"), std::string::npos) << text;
    EXPECT_EQ(text.find("vorpane_zot_"), std::string::npos) << text;  // the framework's bookkeeping

    dp.signal(SIGTERM);
    EXPECT_EQ(dp.waitExit(), 0);
    agent.signal(SIGTERM);
    EXPECT_EQ(agent.waitExit(), 0);
}

}  // namespace
