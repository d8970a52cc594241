// The real agent started with SNMP polls Debian's snmpd through a definition: the interface table
// comes back through its API as snmpwalk shows it, an agent that does not answer shows an error
// row, and a situation on an interface's error counter fires.
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <string>

#include "testlib/agent_harness.h"
#include "testlib/child_process.h"
#include "testlib/hub_test_client.h"
#include "testlib/snmpd.h"
#include "testlib/temp_dir.h"

namespace {

using vorpane::testing::ChildProcess;
using vorpane::testing::SnmpDaemon;
using vorpane::testing::TempDir;
using Json = nlohmann::json;

TEST(SnmpInTheAgent, PollsSnmpdAndASituationOnAnErrorCounterFires) {
    if (!SnmpDaemon::installed()) {
        if (std::getenv("CI") != nullptr) {
            FAIL() << "snmpd and the snmp tools are not installed (scripts/deps.sh)";
        }
        GTEST_SKIP() << "snmpd is not installed";
    }
    // Interface 1 has seen 7 input errors.
    SnmpDaemon snmpd(0, "override .1.3.6.1.2.1.2.2.1.14.1 counter 7\n");
    ASSERT_TRUE(snmpd.ready());
    TempDir dir;
    std::filesystem::create_directories(dir.path() + "/defs");
    std::ofstream(dir.path() + "/defs/net.desc")
        << "application NETMON help=\"Network gear\"\n"
           "group IFTABLE N 300\n"
           "attribute @Index D 16\n"
           "attribute Descr D 32\n"
           "attribute In_Errors C 4\n"
           "attribute Status D 16\n"
           "attribute Error D 128\n"
           "source SNMP retries=0\n"
           "agent local " << snmpd.peer() << "\n"
           "agent gone 127.0.0.1:" << vorpane::testing::freeHubPort() << "\n"
           "table IFTABLE index=Index interval=20 timeout=40\n"
           "oid Descr 1.3.6.1.2.1.2.2.1.2\n"
           "oid In_Errors 1.3.6.1.2.1.2.2.1.14\n";

    const vorpane::testing::AgentPorts ports;
    const std::vector<std::string> env = vorpane::testing::agentEnvironment(
        dir.path() + "/work", ports, {"VORPANE_TIME_SPEEDUP=20", "VORPANE_PROVIDER_DIR=" + dir.path() + "/defs"});
    ChildProcess agent({VORPANE_AGENT_BIN, "SNMP"}, env);
    ASSERT_TRUE(agent.waitForOutput("Management API listening on")) << agent.output();
    auto ctl = [&](std::vector<std::string> args) {
        return vorpane::testing::ctlJson(VORPANECTL_BIN, env, std::move(args));
    };
    const std::pair<std::string, std::string> found = vorpane::testing::askUntil(
        [&] { return vorpane::testing::tableWith(VORPANECTL_BIN, env, "NETMON", "In_Errors"); },
        [](const std::pair<std::string, std::string>& t) { return !t.second.empty(); });
    const std::string appl = found.first;
    const std::string table = found.second;
    ASSERT_FALSE(table.empty()) << agent.output();

    // The rows of the agent that answers are snmpwalk's, one per interface.
    const auto descr = SnmpDaemon::walkColumn(snmpd.peer(), "1.3.6.1.2.1.2.2.1.2");
    ASSERT_FALSE(descr.empty());
    const std::string local = "local:" + appl;
    const Json rows = vorpane::testing::askUntil(
        [&] { return ctl({"rows", appl, table, "--subnode", local})["rows"]; },
        [&](const Json& r) { return r.size() == descr.size(); });
    ASSERT_EQ(rows.size(), descr.size()) << rows.dump() << agent.output();
    std::map<std::string, Json> byIndex;
    for (const Json& r : rows) {
        byIndex[r["Index"].get<std::string>()] = r;
    }
    for (const auto& [index, name] : descr) {
        EXPECT_EQ(byIndex[index]["Descr"], name) << index;
        EXPECT_EQ(byIndex[index]["Status"], "ok") << index;
    }
    EXPECT_EQ(byIndex["1"]["In_Errors"], 7);

    // The agent that does not answer: one row with the status and the error.
    const std::string gone = "gone:" + appl;
    const Json error = vorpane::testing::askUntil(
        [&] { return ctl({"rows", appl, table, "--subnode", gone})["rows"]; },
        [](const Json& r) { return r.size() == 1; });
    ASSERT_EQ(error.size(), 1u) << error.dump();
    EXPECT_EQ(error[0]["Status"], "timeout");
    EXPECT_NE(error[0]["Error"].get<std::string>().find("no answer within 40 s"), std::string::npos) << error.dump();

    // A situation on the error counter fires for interface 1 of the agent that answers.
    ctl({"situation", "add", "If_Errors", "--app", appl, "--table", table, "--where", "In_Errors > 5", "--interval",
         "20"});
    const Json s = vorpane::testing::askUntil([&] { return ctl({"situation", "list", "If_Errors"}); },
                                              [&](const Json& j) {
                                                  for (const auto& st : j["states"]) {
                                                      if (st["subnode"] == local && st["state"] == "raised") {
                                                          return true;
                                                      }
                                                  }
                                                  return false;
                                              });
    bool raised = false;
    for (const auto& st : s["states"]) {
        if (st["subnode"] == local) {
            raised = st["state"] == "raised";
        } else {
            EXPECT_NE(st["state"], "raised") << s.dump();
        }
    }
    EXPECT_TRUE(raised) << s.dump();

    agent.signal(SIGTERM);
    EXPECT_EQ(agent.waitExit(), 0) << agent.output();
}

}  // namespace
