// vorpane-dp against the real hub: a shell-script round trip with the real agent, its refusals, and a
// provider process killed outright.
#include <gtest/gtest.h>
#include <signal.h>

#include <string>

#include "interfaces/dch_client.h"
#include "interfaces/dch_protocol.h"
#include "testlib/agent_harness.h"
#include "testlib/child_process.h"
#include "testlib/hub_fixture.h"
#include "testlib/hub_test_client.h"
#include "testlib/temp_dir.h"

namespace {

using vorpane::testing::ChildProcess;
using vorpane::testing::TempDir;
using vorpane::testing::TestHub;

constexpr const char* kDescription =
    "application E2EAPP help=\"End to end\"\n"
    "group DISK P 60 dptype=APIS help=\"Disks\"\n"
    "attribute @Mount D 16 help=\"Mount point\"\n"
    "attribute Used C 4 help=\"Used MB\"\n"
    "group CPU P 60\n"
    "attribute Busy G 4\n";

std::string shellQuote(const std::string& s) { return "'" + s + "'"; }

class VorpaneDp : public ::testing::Test {
protected:
    void SetUp() override { _dir.write("app.desc", kDescription); }
    std::vector<std::string> env(int port) const {
        return {"ZOTA_DCH_PORT=" + std::to_string(port), "VORPANE_WORKDIR=" + _dir.path(), "ZOTA_DCH_ADDR"};
    }
    TempDir _dir;
};

TEST_F(VorpaneDp, AShellScriptFeedsTheRealAgent) {
    const int port = vorpane::testing::freeHubPort();
    ChildProcess agent({VORPANE_AGENT_BIN, "NODP"},
                       {"ZOTA_DCH_PORT=" + std::to_string(port), "VORPANE_WORKDIR=" + _dir.path(),
                        "VORPANE_TIME_SPEEDUP=20", "ZOTA_STARTUP_DP", "VORPANE_API_PORT=0"});
    ASSERT_TRUE(agent.waitForOutput("startup complete.")) << agent.output();

    // A collector of the agent's hub sees every row the script sends.
    setenv("ZOTA_DCH_PORT", std::to_string(port).c_str(), 1);
    auto collector = dc_waitOnDataInitialize("E2EAPP", "DISK");
    ASSERT_TRUE(collector);

    const std::string script = "printf 'DISK Mount=/ Used=10\\nDISK Mount=/var Used=20\\n# comment\\nDISK Mount=/home "
                               "Used=30\\n' | " +
                               shellQuote(VORPANE_DP_BIN) + " --file " + shellQuote(_dir.file("app.desc")) +
                               " --online host1 --group DISK --stdin --offline";
    // The subscription may reach the hub after the first rows: run the script until the collector
    // has seen a whole run.
    std::vector<char> buffer(8192);
    std::vector<std::string> mounts;
    vorpane::testing::waitUntil([&] {
        mounts.clear();
        ChildProcess dp({"/bin/sh", "-c", script}, env(port));
        if (dp.waitExit() != 0) {
            ADD_FAILURE() << dp.output();
            return true;  // no use running it again
        }
        std::string out = dp.output();
        EXPECT_NE(out.find("dp_register E2EAPP: status 0"), std::string::npos) << out;
        EXPECT_NE(out.find("dp_online E2EAPP DISK host1: status 0"), std::string::npos) << out;
        EXPECT_NE(out.find("dp_offline DISK@host1: status 0"), std::string::npos) << out;
        while (dc_waitOnData(collector.get(), buffer.data(), buffer.size(), 0.5) == 0) {
            vorpane::dch::FieldReader r(buffer.data(), buffer.size());
            EXPECT_EQ(r.next().text(), "host1");
            r.next();  // control field
            mounts.emplace_back(r.next().text());
        }
        return mounts.size() >= 3;
    });
    unsetenv("ZOTA_DCH_PORT");
    EXPECT_EQ(mounts, (std::vector<std::string>{"/", "/var", "/home"}));
    dc_waitOnDataDestroy(std::move(collector));

    agent.signal(SIGTERM);
    EXPECT_EQ(agent.waitExit(), 0);
}

TEST_F(VorpaneDp, RefusalsHaveTheirOwnExitCodesAndMessages) {
    const int nobody = vorpane::testing::freeHubPort();
    ChildProcess noHub({VORPANE_DP_BIN, "--file", _dir.file("app.desc"), "--timeout", "2"}, env(nobody));
    EXPECT_EQ(noHub.waitExit(), 3) << noHub.output();

    _dir.write("bad.desc", "application E2EAPP\ngroup DISK Q 60\n");
    ChildProcess badFile({VORPANE_DP_BIN, "--file", _dir.file("bad.desc")}, env(nobody));
    EXPECT_EQ(badFile.waitExit(), 2) << badFile.output();
    EXPECT_NE(badFile.output().find("bad.desc:2:"), std::string::npos) << badFile.output();

    TestHub hub;
    ASSERT_TRUE(hub.ready());
    std::string tooWide = "application WIDEAPP\ngroup WIDE P 60\n";
    for (int i = 0; i < 65; ++i) {
        tooWide += "attribute A" + std::to_string(i) + " C 4\n";
    }
    _dir.write("wide.desc", tooWide);
    ChildProcess refused({VORPANE_DP_BIN, "--file", _dir.file("wide.desc")}, env(hub.port()));
    EXPECT_EQ(refused.waitExit(), 4) << refused.output();
    EXPECT_NE(refused.output().find("status -1"), std::string::npos) << refused.output();
}

TEST_F(VorpaneDp, AKilledProviderGoesOfflineAndItsApplicationIsUnregistered) {
    TestHub hub;
    ASSERT_TRUE(hub.ready());
    vorpane::HubOptions options = vorpane::HubOptions::fromEnvironment();
    auto status = dc_waitForDPStatusInitialize(options);
    ASSERT_TRUE(status);
    // Clock seconds, which the hub's test switch shortens a hundredfold: the child must start (under
    // a sanitizer, on a busy machine) within this real time.
    constexpr double kStatusWait = 2000;

    ChildProcess doomed({VORPANE_DP_BIN, "--file", _dir.file("app.desc"), "--online", "h1", "--wait"},
                        env(hub.port()));
    std::vector<std::string> online;
    for (int i = 0; i < 2; ++i) {
        online.push_back(dc_waitForDPStatus(status.get(), kStatusWait));
    }
    EXPECT_EQ(online, (std::vector<std::string>{"E2EAPP,DISK,h1,4117", "E2EAPP,CPU,h1,4117"}));

    // Another provider that keeps working.
    vorpane::HubProvider other(options);
    ASSERT_EQ(other.connect(), 0);
    int st = 0;
    int handle = 0;
    ASSERT_EQ(other.dp_register(&st, {"OTHERAPP", "help", {{"G", "help", 'P', 60, "APIS", "V,C,4, , ,v"}}}), 0);
    ASSERT_EQ(other.dp_online(&st, &handle, "OTHERAPP", "G", "h2"), 0);
    EXPECT_EQ(dc_waitForDPStatus(status.get(), kStatusWait), "OTHERAPP,G,h2,4117");

    doomed.signal(SIGKILL);
    EXPECT_EQ(doomed.waitExit(), 128 + SIGKILL);
    std::vector<std::string> offline;
    for (int i = 0; i < 2; ++i) {
        offline.push_back(dc_waitForDPStatus(status.get(), kStatusWait));
    }
    EXPECT_EQ(offline, (std::vector<std::string>{"E2EAPP,DISK,h1,4133", "E2EAPP,CPU,h1,4133"}));

    // E2EAPP is no longer registered: registering it again is not a duplicate.
    ASSERT_EQ(other.dp_register(&st, {"E2EAPP", "help", {{"DISK", "help", 'P', 60, "APIS", "V,C,4, , ,v"}}}), 0);
    EXPECT_EQ(st, 0);
    vorpane::DProw r;
    int32_t v = 7;
    r.add("V", &v, 4, 'C');
    EXPECT_EQ(other.dp_data(&st, handle, DCH_NO_CONTROL_FIELD, r), 0);
}

// Action mode against the real hub: the collector's action reaches the handler once, with its name
// and parameters in the environment, and the handler's exit status and output come back as the
// action's result; a second action for another source never reaches it.
TEST_F(VorpaneDp, ActionModeRunsTheHandlerAndReturnsItsExitStatus) {
    TestHub hub(1);
    ASSERT_TRUE(hub.ready());
    const std::string marks = _dir.file("runs");
    ChildProcess dp({VORPANE_DP_BIN, "--file", _dir.file("app.desc"), "--online", "host1", "--group", "DISK",
                     "--handler",
                     "echo run >> " + shellQuote(marks) +
                         "; echo \"did $VORPANE_ACTION_NAME $VORPANE_ACTION_PARMS on $VORPANE_ACTION_NODE\"; exit 3"},
                    env(hub.port()));
    ASSERT_TRUE(dp.waitForOutput("dp_waitForAction host1 type 1: status 0")) << dp.output();

    ASSERT_EQ(dc_provideAction(1, "SIT_DISK", "host2:E2EAPP00", "host2:E2EAPP00", "Other", 70, nullptr), 0);
    ASSERT_EQ(dc_provideAction(1, "SIT_DISK", "host1:E2EAPP00", "host1:E2EAPP00", "Clean", 71, "/var"), 0);
    vorpane::DCactionResults results;
    ASSERT_EQ(dc_waitForActionResults(71, &results, 20), 0);
    EXPECT_TRUE(results.resultArrived);
    EXPECT_EQ(results.status, -3);
    EXPECT_EQ(results.resultText, "did Clean /var on host1:E2EAPP00");
    ASSERT_TRUE(dp.waitForOutput("dp_provideActionResults action 71")) << dp.output();

    dp.signal(SIGTERM);
    EXPECT_EQ(dp.waitExit(), 0) << dp.output();
    EXPECT_EQ(_dir.read("runs"), "run\n");  // once, and only for its own source
    EXPECT_EQ(dp.output().find("action 70"), std::string::npos);
}

}  // namespace
