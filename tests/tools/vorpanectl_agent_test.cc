// The real vorpane-agent with its management API, looked at with the real vorpanectl.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "testlib/agent_harness.h"
#include "testlib/child_process.h"
#include "testlib/temp_dir.h"

namespace {

using vorpane::testing::ChildProcess;
using vorpane::testing::TempDir;

class AgentApi : public ::testing::Test {
protected:
    std::vector<std::string> env(std::vector<std::string> extra = {}) const {
        return vorpane::testing::agentEnvironment(_dir.path(), _ports, std::move(extra));
    }
    TempDir _dir;
    vorpane::testing::AgentPorts _ports;
    const int _apiPort = _ports.api;
};

TEST_F(AgentApi, ServesFromStartToShutdownWithATokenOfItsOwn) {
    // With its default provider: under NODP a shutdown signal lets main return while the signal
    // thread exits, and the two exits race.
    ChildProcess agent({VORPANE_AGENT_BIN}, env());
    ASSERT_TRUE(agent.waitForOutput("Management API listening on 127.0.0.1:" + std::to_string(_apiPort))) << agent.output();
    struct stat st {};
    ASSERT_EQ(stat(_dir.file("api-token").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    ChildProcess health({VORPANECTL_BIN, "--json", "health"}, env());
    ASSERT_EQ(health.waitExit(), 0) << health.output();
    nlohmann::json h = nlohmann::json::parse(health.output(), nullptr, false);
    EXPECT_EQ(h["agent"], "Vorpane Agent") << health.output();
    EXPECT_GT(h["hubPort"].get<int>(), 0);
    ChildProcess tables({VORPANECTL_BIN, "tables"}, env());
    EXPECT_EQ(tables.waitExit(), 0) << tables.output();
    ChildProcess refused({VORPANECTL_BIN, "tables"}, env({"VORPANE_API_TOKEN=wrong"}));
    EXPECT_EQ(refused.waitExit(), 4) << refused.output();
    EXPECT_TRUE(agent.waitForOutput("API GET /v1/tables 401"));

    agent.signal(SIGTERM);
    EXPECT_EQ(agent.waitExit(), 0) << agent.output();
    EXPECT_NE(agent.output().find("Management API stopped"), std::string::npos);
    ChildProcess gone({VORPANECTL_BIN, "health"}, env());
    EXPECT_EQ(gone.waitExit(), 3) << gone.output();
}

TEST_F(AgentApi, VorpanectlFindsTheAgentFromItsWorkDirectoryAlone) {
    ChildProcess agent({VORPANE_AGENT_BIN}, env());
    ASSERT_TRUE(agent.waitForOutput("Vorpane Agent startup complete.")) << agent.output();
    // Nothing but the work directory: no port, address or token of the agent.
    const std::vector<std::string> only = {"VORPANE_WORKDIR=" + _dir.path(), "VORPANE_API_PORT",
                                           "VORPANE_API_BIND", "VORPANE_API_TOKEN"};
    ChildProcess health({VORPANECTL_BIN, "--json", "health"}, only);
    ASSERT_EQ(health.waitExit(), 0) << health.output();
    EXPECT_EQ(nlohmann::json::parse(health.output(), nullptr, false)["hubPort"], _ports.hub)
        << health.output();

    // An agent that is killed leaves its address behind: the error says where the address came from.
    const std::string address = _dir.read("api-address");
    agent.signal(SIGTERM);
    ASSERT_EQ(agent.waitExit(), 0) << agent.output();
    _dir.write("api-address", address);
    ChildProcess gone({VORPANECTL_BIN, "health"}, only);
    EXPECT_EQ(gone.waitExit(), 3) << gone.output();
    EXPECT_NE(
        gone.output().find("Error: cannot reach the agent at 127.0.0.1:" + std::to_string(_apiPort) +
                           ": no connection could be made (nothing listens there, or the address cannot be "
                           "reached)\nHint: is the agent running? This address is from " +
                           _dir.file("api-address") + ", which the agent wrote when it started."),
        std::string::npos)
        << gone.output();
}

TEST_F(AgentApi, PortZeroTurnsTheApiOff) {
    ChildProcess agent({VORPANE_AGENT_BIN}, env({"VORPANE_API_PORT=0"}));
    ASSERT_TRUE(agent.waitForOutput("Management API off (VORPANE_API_PORT=0)")) << agent.output();
    agent.signal(SIGTERM);
    EXPECT_EQ(agent.waitExit(), 0);
}

}  // namespace

namespace {

nlohmann::json ctlJson(const std::vector<std::string>& env, std::vector<std::string> args) {
    return vorpane::testing::ctlJson(VORPANECTL_BIN, env, std::move(args));
}

}  // namespace

// Rows sent with vorpane-dp into the real agent come back through vorpanectl with their exact values
// (a keyed row replaced by its newer one), and a situation defined with vorpanectl turns true on them
// and shows as an event.
TEST_F(AgentApi, RowsFromAProviderAndASituationOnThemThroughVorpanectl) {
    _dir.write("app.desc",
               "application E2EAPI help=\"API end to end\"\n"
               // Keyed rows age out after their TTL: an hour of the agent's fast clock outlasts any
               // loaded machine.
               "group DISK K 3600 help=\"Disks\"\n"
               "attribute @Mount D 16 help=\"Mount point\"\n"
               "attribute Used C 4 help=\"Used MB\"\n");
    const std::vector<std::string> agentEnv = env();
    ChildProcess agent({VORPANE_AGENT_BIN, "NODP"}, agentEnv);
    ASSERT_TRUE(agent.waitForOutput("Management API listening on")) << agent.output();
    const std::vector<std::string> dpEnv = vorpane::testing::providerEnvironment(_dir.path(), _ports);
    // The first source brings the application online; the rows come from a second source, once the
    // situation on them is defined.
    ChildProcess first({VORPANE_DP_BIN, "--file", _dir.file("app.desc"), "--online", "host1", "--wait"}, dpEnv);
    ASSERT_TRUE(agent.waitForOutput("Subnode <host1:E2EAPI00> registered")) << agent.output() << first.output();
    std::string appl, table;
    const nlohmann::json tables = ctlJson(agentEnv, {"tables"});
    for (const auto& t : tables["tables"]) {
        if (t["application"].get<std::string>().rfind("E2EAPI", 0) == 0) {
            appl = t["application"].get<std::string>() + t["release"].get<std::string>();
            table = t["table"];
        }
    }
    ASSERT_FALSE(table.empty());

    ChildProcess add({VORPANECTL_BIN, "situation", "add", "Used_High", "--app", appl, "--table", table, "--where",
                      "Used > 18", "--interval", "60"},
                     agentEnv);
    ASSERT_EQ(add.waitExit(), 0) << add.output();
    // The situation is defined before the rows come: a situation is raised by rows that arrive
    // after it starts sampling.
    ChildProcess dp({VORPANE_DP_BIN, "--file", _dir.file("app.desc"), "--online", "host2", "--row",
                     "DISK Mount=/ Used=10", "--row", "DISK Mount=/var Used=20", "--row", "DISK Mount=/ Used=15",
                     "--wait"},
                    dpEnv);
    ASSERT_TRUE(dp.waitForOutput("(--row 3): status 0")) << dp.output();

    // The rows travel provider → hub → collection thread → store while vorpanectl asks.
    using Rows = std::set<std::pair<std::string, int>>;
    const Rows expected{{"/", 15}, {"/var", 20}};
    const Rows rows = vorpane::testing::askUntil(
        [&] {
            Rows got;
            const nlohmann::json report = ctlJson(agentEnv, {"rows", appl, table});
            for (const auto& r : report["rows"]) {
                got.emplace(r["Mount"].get<std::string>(), r["Used"].get<int>());
            }
            return got;
        },
        [&](const Rows& got) { return got == expected; });
    EXPECT_EQ(rows, expected);

    // The scrape: the counter attribute is a counter, the hub's own figures are there, promtool takes
    // the whole.
    std::string token = _dir.read("api-token");
    token.erase(token.find_last_not_of("\r\n") + 1);
    ChildProcess scrape({"/usr/bin/curl", "-s", "-o", _dir.file("metrics.txt"), "-H", "Authorization: Bearer " + token,
                         "http://127.0.0.1:" + std::to_string(_apiPort) + "/metrics"},
                        agentEnv);
    ASSERT_EQ(scrape.waitExit(), 0) << scrape.output();
    const std::string metrics = _dir.read("metrics.txt");
    std::string used = "vorpane_" + appl + "_" + table + "_used_total";
    std::transform(used.begin(), used.end(), used.begin(), [](unsigned char c) { return std::tolower(c); });
    EXPECT_NE(metrics.find("# TYPE " + used + " counter\n"), std::string::npos) << metrics;
    EXPECT_NE(metrics.find(used + "{subnode=\"host2:E2EAPI00\",mount=\"/var\"} 20\n"), std::string::npos) << metrics;
    // The provider's registration and the agent's own (VAGENT), perhaps more of the agent's.
    const std::string registers = "vorpane_hub_requests_total{request=\"dp_register\"} ";
    const size_t at = metrics.find(registers);
    ASSERT_NE(at, std::string::npos) << metrics;
    EXPECT_GE(std::atoi(metrics.c_str() + at + registers.size()), 2) << metrics;
    EXPECT_NE(metrics.find("# TYPE vorpane_hub_rows_total counter\n"), std::string::npos) << metrics;
    EXPECT_NE(metrics.find("vorpane_hub_connections "), std::string::npos) << metrics;
    ChildProcess promtool({"/bin/sh", "-c", "promtool check metrics < " + _dir.file("metrics.txt")}, agentEnv);
    EXPECT_EQ(promtool.waitExit(), 0) << promtool.output();

    nlohmann::json raised;
    uint64_t after = 0;
    vorpane::testing::waitUntil([&] {
        nlohmann::json events = ctlJson(agentEnv, {"events", "--after", std::to_string(after), "--wait", "5"});
        for (const auto& e : events["events"]) {
            after = std::max(after, e["seq"].get<uint64_t>());
            if (e["kind"] == "raised" && e["situation"] == "Used_High") {
                raised = e;
            }
        }
        return !raised.is_null();
    });
    ASSERT_FALSE(raised.is_null()) << ctlJson(agentEnv, {"situation", "list"}).dump();
    EXPECT_EQ(raised["subnode"], "host2:E2EAPI00") << raised.dump();

    dp.signal(SIGTERM);
    dp.waitExit();
    first.signal(SIGTERM);
    first.waitExit();
    agent.signal(SIGTERM);
    EXPECT_EQ(agent.waitExit(), 0) << agent.output();
}
