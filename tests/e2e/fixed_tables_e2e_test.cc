// The fixed tables of the real agent, asked through its management API with vorpanectl: an alert on
// ZOT.ZOTACT reaches a vorpane-dp handler as a TRAPEMIT action, and T7SRV.RMTFILE returns a file the
// agent generated when the provider's application came online.
#include <gtest/gtest.h>
#include <signal.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "testlib/agent_harness.h"
#include "testlib/child_process.h"
#include "testlib/hub_test_client.h"
#include "testlib/temp_dir.h"
#include "testlib/text_compare.h"

namespace {

using vorpane::testing::ChildProcess;
using vorpane::testing::TempDir;
using vorpane::testing::readFile;
using vorpane::testing::withoutTrailingBlanks;

class FixedTablesE2E : public ::testing::Test {
  protected:
    FixedTablesE2E()
        : // The clock at its own speed: the framework thread waits its real second before it
          // loads the fixed tables, as in production.
          _agentEnv(vorpane::testing::agentEnvironment(_dir.path(), _ports, {"VORPANE_TIME_SPEEDUP=1"})),
          _dpEnv(vorpane::testing::providerEnvironment(_dir.path(), _ports)) {}

    // vorpanectl --json rows APPL TABLE --where WHERE: the rows of the answer.
    nlohmann::json rows(const std::string& appl, const std::string& table, const std::string& where) {
        nlohmann::json answer =
            vorpane::testing::ctlJson(VORPANECTL_BIN, _agentEnv, {"rows", appl, table, "--where", where});
        return answer.is_object() ? answer["rows"] : nlohmann::json::array();
    }

    TempDir _dir;
    vorpane::testing::AgentPorts _ports;
    std::vector<std::string> _agentEnv;
    std::vector<std::string> _dpEnv;
};

TEST_F(FixedTablesE2E, AnAlertReachesTheProviderAndTheGeneratedCatalogComesBackLineByLine) {
    _dir.write("app.desc",
               "application E2EFIX help=\"Fixed tables end to end\"\n"
               "group DISK K 60 help=\"Disks\"\n"
               "attribute @Mount D 16 help=\"Mount point\"\n"
               "attribute Used C 4 help=\"Used MB\"\n");
    ChildProcess agent({VORPANE_AGENT_BIN, "NODP"}, _agentEnv);
    ASSERT_TRUE(agent.waitForOutput("Management API listening on")) << agent.output();
    // The API listens before the framework runs; its health says "ok" once the fixed tables are
    // registered, so a client that waits for that finds them.
    ASSERT_TRUE(vorpane::testing::waitUntil([&] {
        const nlohmann::json health = vorpane::testing::ctlJson(VORPANECTL_BIN, _agentEnv, {"health"});
        return health.is_object() && health.value("status", "") == "ok";
    })) << agent.output();
    EXPECT_NE(agent.output().find("Table <ZOT/ZOTACT> registered"), std::string::npos) << agent.output();
    const std::string trapFile = _dir.file("trap.txt");
    ChildProcess dp({VORPANE_DP_BIN, "--file", _dir.file("app.desc"), "--online", "host1", "--handler",
                     "printf '%s|%s|%s' \"$VORPANE_ACTION_NAME\" \"$VORPANE_ACTION_OWNER\" "
                     "\"$VORPANE_ACTION_PARMS\" > " +
                         trapFile},
                    _dpEnv);
    ASSERT_TRUE(agent.waitForOutput("Subnode <host1:E2EFIX00> registered")) << agent.output() << dp.output();
    ASSERT_TRUE(dp.waitForOutput("dp_waitForAction host1 type 1")) << dp.output();

    const nlohmann::json status =
        rows("ZOT", "ZOTACT",
             "ORIGINNODE = 'host1:E2EFIX00' AND SITNAME = Used_High AND SITTIME = 1261206053000000 AND "
             "SEVERITY = Warning AND CATEGORY = Disk AND TRAPDEST = console AND "
             "ATTRVALS = '*IF *VALUE E2EFIX.Used *GT 10;p2;p3;_SITNODE=host1:E2EFIX00;"
             "_ATTRPREF=E2EFIX.Mount=/var;E2EFIX.Used=20~'");
    ASSERT_EQ(status.size(), 1u) << status.dump();
    EXPECT_EQ(status[0]["REQRC"], 0) << status.dump();
    EXPECT_EQ(status[0]["SITORG"], "host1:E2EFIX00") << status.dump();

    ASSERT_TRUE(dp.waitForOutput("TRAPEMIT on host1:E2EFIX00 (handler status 0)")) << dp.output();
    EXPECT_EQ(readFile(trapFile), "TRAPEMIT|Used_High|DEST(console) SIT(Used_High) TIME(1261206053000000) "
                                 "NODE(host1:E2EFIX00) SEV(Warning) CAT(Disk) "
                                 "LIST(E2EFIX.Mount=/var;E2EFIX.Used=20)");

    // The catalog the agent wrote for the application, in rows of whole lines.
    const std::string catalog = readFile(_dir.file("E2ECAT00"));
    ASSERT_FALSE(catalog.empty());
    const nlohmann::json lines = rows("T7SRV", "RMTFILE", "ORIGINNODE = 'host1:E2EFIX00' AND RMTFILE = '*CAT'");
    ASSERT_FALSE(lines.empty());
    std::string joined;
    for (const auto& row : lines) {
        EXPECT_EQ(row["RMTFILE"], "*CAT");
        joined += row["FILEROW"].get<std::string>() + "\n";
    }
    // The API hands text columns back without trailing blanks: a row's last line loses its own.
    EXPECT_EQ(withoutTrailingBlanks(joined), withoutTrailingBlanks(catalog));

    dp.signal(SIGTERM);
    dp.waitExit();
    agent.signal(SIGTERM);
    EXPECT_EQ(agent.waitExit(), 0) << agent.output();
}

}  // namespace
