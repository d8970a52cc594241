// The real agent read by name: an application registered with vorpane-dp comes back through
// vorpanectl by its application and group names in lower case, with its help texts and units, a
// missing value as an empty cell, and the agent's own tables only with --all.
#include <gtest/gtest.h>
#include <signal.h>

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "testlib/agent_harness.h"
#include "testlib/child_process.h"
#include "testlib/temp_dir.h"

namespace {

using vorpane::testing::ChildProcess;

constexpr const char* kDescription =
    "application VPNAME help=\"Tables by name\"\n"
    "group DISK K 600 help=\"Disks by mount point\"\n"
    "attribute @Mount D 16 help=\"Mount point\"\n"
    "attribute Used G 4 unit=MiB help=\"Used space\"\n"
    "attribute Note D 16 help=\"Note\"\n";

// What vorpanectl prints (standard output and error) for args, once it has exited.
std::string ctlText(const std::vector<std::string>& env, std::vector<std::string> args) {
    args.insert(args.begin(), VORPANECTL_BIN);
    ChildProcess ctl(args, env);
    ctl.waitExit();
    return ctl.output();
}

TEST(TablesByNameE2E, AnApplicationIsReadByItsGroupsNameInLowerCase) {
    vorpane::testing::TempDir dir;
    vorpane::testing::AgentPorts ports;
    dir.write("app.desc", kDescription);
    const std::vector<std::string> env = vorpane::testing::agentEnvironment(dir.path(), ports, {});
    ChildProcess agent({VORPANE_AGENT_BIN, "NODP"}, env);
    ASSERT_TRUE(agent.waitForOutput("Management API listening on")) << agent.output();
    ChildProcess dp({VORPANE_DP_BIN, "--file", dir.file("app.desc"), "--online", "host1", "--row",
                     "DISK Mount=/var Used=20 Note=busy", "--row", "DISK Mount=/tmp Used=5", "--wait"},
                    vorpane::testing::providerEnvironment(dir.path(), ports));
    ASSERT_TRUE(dp.waitForOutput("(--row 2): status 0")) << dp.output();

    // The rows travel to the row store while vorpanectl asks.
    const std::string expected =
        "Node_Name       Mount  Used  Note\n"
        "host1:VPNAME00  /var   20    busy\n"
        "host1:VPNAME00  /tmp   5\n";
    const std::string rows = vorpane::testing::askUntil([&] { return ctlText(env, {"rows", "vpname", "disk"}); },
                                                        [&](const std::string& out) { return out == expected; });
    EXPECT_EQ(rows, expected) << agent.output();

    const std::string columns = ctlText(env, {"tables", "vpname", "disk"});
    EXPECT_NE(columns.find("Used       G     MiB        Used space\n"), std::string::npos) << columns;
    EXPECT_NE(columns.find("Mount      D           key  Mount point\n"), std::string::npos) << columns;

    const std::string listed = ctlText(env, {"tables"});
    EXPECT_NE(listed.find("VPNAME       DISK   K     2     Disks by mount point\n"), std::string::npos) << listed;
    EXPECT_EQ(listed.find("ZOTACT"), std::string::npos) << listed;
    EXPECT_NE(ctlText(env, {"tables", "--all"}).find("ZOTACT"), std::string::npos);

    dp.signal(SIGTERM);
    dp.waitExit();
    agent.signal(SIGTERM);
    EXPECT_EQ(agent.waitExit(), 0);
    EXPECT_EQ(agent.output().find("ERROR: AddressSanitizer"), std::string::npos);
}

}  // namespace
