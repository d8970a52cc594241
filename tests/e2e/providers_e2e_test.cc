// The real agent started with no arguments: the host application and a SOCK definition come back
// through its API, the providers publish their status to a collector of its hub, and a SIGTERM
// takes them offline.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <string>

#include "interfaces/dch_client.h"
#include "interfaces/dch_protocol.h"
#include "testlib/agent_harness.h"
#include "testlib/child_process.h"
#include "testlib/hub_test_client.h"
#include "testlib/temp_dir.h"

namespace {

using vorpane::testing::ChildProcess;
using vorpane::testing::sendLine;
using vorpane::testing::TempDir;

// The texts of the next data message's values, or nothing.
std::optional<std::vector<std::string>> nextRow(vorpane::DCdataWaiter* waiter, double seconds) {
    std::vector<char> buffer(65536);
    if (dc_waitOnData(waiter, buffer.data(), buffer.size(), seconds) != 0) {
        return std::nullopt;
    }
    vorpane::dch::FieldReader r(buffer.data(), buffer.size());
    std::vector<std::string> values{std::string(r.next().cText())};  // the source
    r.next();                                                        // control field
    while (vorpane::dch::FieldReader::Field f = r.next()) {
        int32_t n = 0;
        values.push_back(f.extra == 'D' ? std::string(f.cText()) : f.int32(&n) ? std::to_string(n) : "?");
    }
    return values;
}

TEST(ProvidersInTheAgent, TheDefaultStartCollectsHostTablesAndRunsDefinitions) {
    TempDir dir;
    std::filesystem::create_directories(dir.path() + "/root/proc/net");
    std::filesystem::create_directories(dir.path() + "/defs");
    std::ofstream(dir.path() + "/root/proc/loadavg") << "1.25 0.50 0.05 2/321 4321\n";
    const vorpane::testing::AgentPorts ports;
    int sockPort = vorpane::testing::freeHubPort();
    for (int i = 0; i < 5 && (sockPort == ports.hub || sockPort == ports.api); ++i) {
        sockPort = vorpane::testing::freeHubPort();
    }
    std::ofstream(dir.path() + "/defs/orders.desc") << "application ORDERS\ngroup ORDER K 300\nattribute @Id C 4\n"
                                                       "attribute Status D 16\nsource SOCK protocol=tcp port="
                                                    << sockPort << "\n";

    // The hub hands each row of a group to its first collector: the agent's own collection threads
    // take the rows of the host and SOCK applications (read back through the agent's API), and with
    // item 15 at 0 the agent leaves its own application VAGENT alone, so that this test's collector
    // is the one that reads the DPSTATUS rows.
    std::ofstream(dir.path() + "/psf") << "0 = 0\n1 = OT\n2 = VA\n3 = Vorpane Agent\n4 = %VORPANE.VAGENT\n"
                                          "6 = Vorpane Agent Subnode\n7 = %VORPANE.VAGENT.SUBNODE.000000000\n"
                                          "15 = 0\n32 = zotatbls\n";
    const std::vector<std::string> env = vorpane::testing::agentEnvironment(
        dir.path() + "/work", ports,
        {"VORPANE_TIME_SPEEDUP=20", "VORPANE_HOST_ROOT=" + dir.path() + "/root",
         "VORPANE_PROVIDER_DIR=" + dir.path() + "/defs", "VORPANE_PRODUCT_SPEC=" + dir.path() + "/psf"});
    ChildProcess agent({VORPANE_AGENT_BIN}, env);
    ASSERT_TRUE(agent.waitForOutput("startup complete.")) << agent.output();
    ASSERT_TRUE(agent.waitForOutput("Management API listening on")) << agent.output();
    auto ctl = [&](std::vector<std::string> args) {
        return vorpane::testing::ctlJson(VORPANECTL_BIN, env, std::move(args));
    };
    auto tableWith = [&](const std::string& applPrefix, const std::string& attribute) {
        return vorpane::testing::askUntil(
            [&] { return vorpane::testing::tableWith(VORPANECTL_BIN, env, applPrefix, attribute); },
            [](const std::pair<std::string, std::string>& t) { return !t.second.empty(); });
    };

    // The host application's LOAD group comes on its interval (30 s, 1.5 s at this speed), its load
    // averages in hundredths shown as the numbers they stand for.
    const std::pair<std::string, std::string> load = tableWith("VPHOST", "Load_1");
    ASSERT_FALSE(load.second.empty()) << agent.output();
    const nlohmann::json loads =
        vorpane::testing::askUntil([&] { return ctl({"rows", load.first, load.second})["rows"]; },
                                   [](const nlohmann::json& r) { return !r.empty(); });
    ASSERT_FALSE(loads.empty()) << agent.output();
    for (const nlohmann::json& r : loads) {  // an S group: each sample's row stays for its TTL
        EXPECT_DOUBLE_EQ(r["Load_1"].get<double>(), 1.25) << r.dump();
        EXPECT_DOUBLE_EQ(r["Load_5"].get<double>(), 0.5);
        EXPECT_DOUBLE_EQ(r["Load_15"].get<double>(), 0.05);
        EXPECT_EQ(r["Running"], 2);
        EXPECT_EQ(r["Tasks"], 321);
    }

    // The SOCK definition listens; its lines become rows, and the first line's source brings the
    // application online. The listener may not be up yet: the line goes again until its row is
    // there (one row per Id).
    std::pair<std::string, std::string> order;
    const nlohmann::json orders = vorpane::testing::askUntil(
        [&] {
            sendLine(sockPort, "ORDER shop1 Id=7 Status=shipped\n");
            if (order.second.empty()) {
                order = vorpane::testing::tableWith(VORPANECTL_BIN, env, "ORDERS", "Status");
            }
            return order.second.empty() ? nlohmann::json::array() : ctl({"rows", order.first, order.second})["rows"];
        },
        [](const nlohmann::json& r) { return !r.empty(); });
    ASSERT_EQ(orders.size(), 1u) << orders.dump() << agent.output();
    EXPECT_EQ(orders[0]["Node_Name"], "shop1:ORDERS00") << orders.dump();
    EXPECT_EQ(orders[0]["Id"], 7);
    EXPECT_EQ(orders[0]["Status"], "shipped");

    // Each provider's status, one set every 30 s (1.5 s).
    setenv("ZOTA_DCH_PORT", std::to_string(ports.hub).c_str(), 1);
    auto status = dc_waitOnDataInitialize("VAGENT", "DPSTATUS");
    ASSERT_TRUE(status);
    std::set<std::string> providers;
    while (providers.size() < 2) {
        std::optional<std::vector<std::string>> row = nextRow(status.get(), 60);
        ASSERT_TRUE(row);
        EXPECT_EQ((*row)[0], "ASFS");
        providers.insert((*row)[1]);
    }
    EXPECT_EQ(providers, (std::set<std::string>{"HOST", "SOCK:orders.desc"}));
    dc_waitOnDataDestroy(std::move(status));
    unsetenv("ZOTA_DCH_PORT");

    agent.signal(SIGTERM);
    EXPECT_EQ(agent.waitExit(), 0);
    std::ifstream log(dir.path() + "/work/vorpane-agent.log");
    std::string text((std::istreambuf_iterator<char>(log)), std::istreambuf_iterator<char>());
    EXPECT_NE(text.find("ASFS data provider stopped"), std::string::npos);
}

}  // namespace
