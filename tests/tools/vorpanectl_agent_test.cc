// The real vorpane-agent with its management API, looked at with the real vorpanectl.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <nlohmann/json.hpp>

#include "testlib/child_process.h"
#include "testlib/hub_test_client.h"
#include "testlib/temp_dir.h"

namespace {

using vorpane::testing::ChildProcess;
using vorpane::testing::TempDir;

class AgentApi : public ::testing::Test {
protected:
    std::vector<std::string> env(std::vector<std::string> extra = {}) const {
        std::vector<std::string> e = {"VORPANE_WORKDIR=" + _dir.path(),
                                      "VORPANE_TRACE=ERROR STATE",
                                      "VORPANE_TRACE_STDERR=Y",
                                      "ZOTA_DCH_PORT=" + std::to_string(vorpane::testing::freeHubPort()),
                                      "VORPANE_API_PORT=" + std::to_string(_apiPort),
                                      "VORPANE_TIME_SPEEDUP=50",
                                      "VORPANE_API_TOKEN",
                                      "VORPANE_API_BIND",
                                      "ZOTA_STARTUP_DP",
                                      "VORPANE_PRODUCT_SPEC"};
        e.insert(e.end(), extra.begin(), extra.end());
        return e;
    }
    TempDir _dir;
    int _apiPort = vorpane::testing::freeHubPort();
};

TEST_F(AgentApi, ServesFromStartToShutdownWithATokenOfItsOwn) {
    ChildProcess agent({VORPANE_AGENT_BIN, "NODP"}, env());
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

TEST_F(AgentApi, PortZeroTurnsTheApiOff) {
    ChildProcess agent({VORPANE_AGENT_BIN, "NODP"}, env({"VORPANE_API_PORT=0"}));
    ASSERT_TRUE(agent.waitForOutput("Management API off (VORPANE_API_PORT=0)")) << agent.output();
    agent.signal(SIGTERM);
    EXPECT_EQ(agent.waitExit(), 0);
}

}  // namespace
