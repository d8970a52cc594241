// vorpanectl against the management API in the test process: tables for people, the server's JSON
// with --json, every exit code, the address and token found the way the agent writes them, and the
// binary itself.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <sstream>

#include "api/api_config.h"
#include "api/api_fixture.h"
#include "api/tls.h"
#include "testlib/child_process.h"
#include "testlib/scoped_env.h"
#include "testlib/test_certs.h"
#include "vorpanectl/vorpanectl.h"

namespace vorpane::testing {
namespace {

using Json = nlohmann::json;

struct CtlRun {
    int rc;
    std::string out, err;
};

class Vorpanectl : public ApiFixture {
protected:
    // vorpanectl with the server's port and the token unless the arguments say otherwise.
    CtlRun ctl(std::vector<std::string> args, bool withAddress = true) {
        std::vector<std::string> all{"vorpanectl"};
        if (withAddress) {
            all.insert(all.end(), {"--port", std::to_string(_server->port()), "--token", kTestToken});
        }
        all.insert(all.end(), args.begin(), args.end());
        std::vector<const char*> argv;
        for (const std::string& a : all) {
            argv.push_back(a.c_str());
        }
        std::ostringstream out, err;
        int rc = vorpanectl::run(static_cast<int>(argv.size()), argv.data(), out, err);
        return {rc, out.str(), err.str()};
    }
};

TEST(VorpanectlTable, ColumnsArePaddedToTheWidestCell) {
    EXPECT_EQ(vorpanectl::formatTable({"A", "LONGER", "C"}, {{"wide cell", "x", "last"}, {"y"}}),
              "A          LONGER  C\n"
              "wide cell  x       last\n"
              "y\n");
}

TEST_F(Vorpanectl, TablesForPeopleAndTheServersJsonForScripts) {
    ASSERT_TRUE(_disks->addRow({"h1:DSK01", "/var", "975"}));
    ASSERT_TRUE(_disks->addRow({"h1:DSK01", "/home", "12"}));

    CtlRun r = ctl({"subnodes"});
    ASSERT_EQ(r.rc, 0) << r.err;
    const std::string header = r.out.substr(0, r.out.find('\n'));
    EXPECT_TRUE(header.starts_with("SUBNODE   APPLICATION  VERSION   STATE       SINCE  ")) << header;
    EXPECT_TRUE(header.ends_with("  AGE")) << header;
    EXPECT_TRUE(r.out.ends_with("  -\n")) << r.out;  // no rows seen from its source
    EXPECT_EQ(r.out.substr(r.out.find('\n') + 1, 46), "h1:DSK01  DSK          04.10.00  registered  2");

    r = ctl({"rows", "DSK01", "DSKTBL01", "--where", "Used_Pct > 50"});
    ASSERT_EQ(r.rc, 0) << r.err;
    EXPECT_EQ(r.out,
              "Node_Name  Mount  Used_Pct\n"
              "h1:DSK01   /var   97.5\n");
    r = ctl({"--json", "rows", "DSK01", "DSKTBL01", "--subnode", "h1:DSK01"});
    ASSERT_EQ(r.rc, 0) << r.err;
    Json j = Json::parse(r.out);
    ASSERT_EQ(j["count"], 2);
    EXPECT_EQ(j["rows"][1], (Json{{"Node_Name", "h1:DSK01"}, {"Mount", "/home"}, {"Used_Pct", 1.2}}));
    EXPECT_EQ(ctl({"rows", "DSK01", "DSKTBL01", "--subnode", "nobody:DSK01"}).out, "(no rows)\n");

    r = ctl({"tables"});
    EXPECT_EQ(r.out, "APPLICATION  GROUP     TYPE  ROWS  HELP\nDSK          DSKTBL01        2\n");
    r = ctl({"tables", "DSK01", "DSKTBL01", "-o", "wide"});
    EXPECT_NE(r.out.find("Used_Pct                    VA2         4       1      Used percent\n"), std::string::npos) << r.out;
    r = ctl({"apps"});
    EXPECT_EQ(r.out, "APPLICATION  VERSIONS  SUBNODES  TABLES\nDSK01        04.10.00  1         1\n");
    r = ctl({"apps", "DSK"});
    EXPECT_NE(r.out.find("table DSKTBL01\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Mount"), std::string::npos);
    r = ctl({"health"});
    ASSERT_EQ(r.rc, 0);
    EXPECT_NE(r.out.find("subnodes       1\n"), std::string::npos) << r.out;
}

TEST_F(Vorpanectl, TablesAndRowsByApplicationAndGroupName) {
    const TableFacts facts{.application = "VPDEMO", .release = "00", .group = "DISK",
                           .help = "Disks", .sampleType = 'K', .ttlSeconds = 60};
    axf::MemoryTable disk("VPDEMO00", "VPDABCDE00",
                          {{"ORIGINNODE", "Node_Name", "", AXF_COLUMN_STRING, 32},
                           {"VA1", "Mount", "Mount", AXF_COLUMN_STRING, 8, true, 0, 'D', "", "Mount point"},
                           {"VA2", "Used", "Used", AXF_COLUMN_INT32, 4, false, 0, 'G', "MiB", "Used space"},
                           {"VA3", "Error", "Error", AXF_COLUMN_STRING, 8, false, 0, 'D', "", "Last error"}},
                          facts);
    TableFacts own;
    own.internal = true;
    axf::MemoryTable internal("ZOT", "ZOTACT", {{"ORIGINNODE", "Node_Name", "", AXF_COLUMN_STRING, 32}}, own);
    ASSERT_EQ(AXF_Subnode_Register("h1:VPDEMO", "%AFF", "VPDEMO", "01.00.00"), 0);
    ASSERT_EQ(AXF_Subnode_SendRequest(), 0);
    ASSERT_TRUE(disk.addRow({"h1:VPDEMO", "/var", "20", "^"}));
    ASSERT_TRUE(disk.addRow({"h1:VPDEMO", "/tmp", "10", "full"}));

    CtlRun r = ctl({"tables"});
    ASSERT_EQ(r.rc, 0) << r.err;
    EXPECT_EQ(r.out,
              "APPLICATION  GROUP     TYPE  ROWS  HELP\n"
              "DSK          DSKTBL01        0\n"
              "VPDEMO       DISK      K     2     Disks\n");
    r = ctl({"tables", "--all", "-o", "wide"});
    EXPECT_NE(r.out.find("APPLICATION  GROUP     RELEASE  TABLE       TYPE  ROWS  HELP\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("VPDEMO       DISK      00       VPDABCDE00  K     2     Disks\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("ZOT          ZOTACT"), std::string::npos) << r.out;

    r = ctl({"tables", "vpdemo", "disk"});
    ASSERT_EQ(r.rc, 0) << r.err;
    EXPECT_EQ(r.out,
              "NAME       TYPE  UNIT  KEY  HELP\n"
              "Node_Name\n"
              "Mount      D           key  Mount point\n"
              "Used       G     MiB        Used space\n"
              "Error      D                Last error\n");

    // By name in any case; a missing value is an empty cell, and only != matches it.
    r = ctl({"rows", "vpdemo", "disk"});
    ASSERT_EQ(r.rc, 0) << r.err;
    EXPECT_EQ(r.out,
              "Node_Name  Mount  Used  Error\n"
              "h1:VPDEMO  /var   20\n"
              "h1:VPDEMO  /tmp   10    full\n");
    r = ctl({"rows", "VPDEMO", "DISK", "--where", "Error != 'full'"});
    EXPECT_EQ(r.out, "Node_Name  Mount  Used  Error\nh1:VPDEMO  /var   20\n");
    r = ctl({"--json", "rows", "VPDEMO00", "VPDABCDE00", "--where", "Used > 15"});
    EXPECT_EQ(Json::parse(r.out)["rows"][0]["Error"], nullptr);

    r = ctl({"rows", "VPDEMO", "DISKS"});
    EXPECT_EQ(r.rc, vorpanectl::kNotFound);
    EXPECT_EQ(r.err,
              "Error: not found: application VPDEMO has no group DISKS; did you mean DISK? groups: DISK (HTTP 404)\n");
    r = ctl({"rows", "VPDEMO", "DISK", "--where", "Usde > 1"});
    EXPECT_EQ(r.rc, vorpanectl::kBadInput);
    EXPECT_NE(r.err.find("did you mean Used? columns: Error, Mount, Node_Name, Used"), std::string::npos) << r.err;
}

TEST_F(Vorpanectl, SituationsEventsActionsMessagesAndFiles) {
    CtlRun r = ctl({"situation", "add", "All_Rows", "--app", "DSK01", "--table", "DSKTBL01", "--event", "--subnode", "h1:DSK01"});
    ASSERT_EQ(r.rc, 0) << r.err;
    EXPECT_EQ(r.out, "defined All_Rows\n");
    r = ctl({"situation", "list"});
    EXPECT_NE(r.out.find("All_Rows   DSKTBL01  event"), std::string::npos) << r.out;

    uint64_t last = Json::parse(ctl({"--json", "events"}).out)["lastSeq"];
    ASSERT_EQ(_disks->pushEvent({"h1:DSK01", "/var", "990"}), 0);
    r = ctl({"--json", "events", "--after", std::to_string(last), "--wait", "30"});
    ASSERT_EQ(r.rc, 0) << r.err;
    Json events = Json::parse(r.out)["events"];
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0]["row"]["Mount"], "/var");
    r = ctl({"events", "--after", std::to_string(last)});
    EXPECT_NE(r.out.find("row   All_Rows   h1:DSK01  {\"Node_Name\":\"h1:DSK01\",\"Mount\":\"/var\",\"Used_Pct\":99.0}"),
              std::string::npos)
        << r.out;

    // A result other than 0 is a failed action: its own exit code, and the handler's text.
    AXF_RegisterCommandCallback("*", [](PlaxfAutomationCapsule*) -> long { return 4; });
    r = ctl({"action", "Any_Command now", "--subnode", "h1:DSK01"});
    EXPECT_EQ(r.out, "result 4\n");
    EXPECT_EQ(r.rc, vorpanectl::kActionFailed);
    AXF_RegisterCommandCallback("*", [](PlaxfAutomationCapsule* c) -> long {
        c->SetActionId(31);
        c->SetResultText("did Restart now");
        return -3;
    });
    r = ctl({"action", "Any_Command now", "--subnode", "h1:DSK01"});
    EXPECT_EQ(r.out, "result -3  action 31\ndid Restart now\n");
    EXPECT_EQ(r.rc, vorpanectl::kActionFailed);
    r = ctl({"--json", "action", "Any_Command now", "--subnode", "h1:DSK01"});
    EXPECT_EQ(Json::parse(r.out)["text"], "did Restart now") << r.out;
    EXPECT_EQ(r.rc, vorpanectl::kActionFailed);
    AXF_RegisterCommandCallback("*", [](PlaxfAutomationCapsule* c) -> long {
        c->SetActionId(32);
        c->SetResultText("restarted");
        return 0;
    });
    r = ctl({"action", "Any_Command now", "--subnode", "h1:DSK01"});
    EXPECT_EQ(r.out, "result 0  action 32\nrestarted\n");
    EXPECT_EQ(r.rc, vorpanectl::kOk);

    AXF_CreateMessage("1", "ops", "hello from the test", 0);
    r = ctl({"messages"});
    EXPECT_NE(r.out.find("ops       hello from the test\n"), std::string::npos) << r.out;

    _dir.write("DSKODI04", "odi text\n");
    EXPECT_EQ(ctl({"file", "DSK", "odi"}).out, "odi text\n");

    r = ctl({"situation", "rm", "All_Rows"});
    EXPECT_EQ(r.out, "removed All_Rows\n");
}

// Waiting for events is for new ones: what the agent already keeps comes only with --from-start.
TEST_F(Vorpanectl, WaitingForEventsStartsAtTheNewest) {
    ASSERT_EQ(ctl({"situation", "add", "All_Rows", "--app", "DSK01", "--table", "DSKTBL01", "--event"}).rc,
              0);
    ASSERT_EQ(_disks->pushEvent({"h1:DSK01", "/old", "1"}), 0);
    const uint64_t old = Json::parse(ctl({"--json", "events"}).out)["lastSeq"];
    ASSERT_GT(old, 0u);

    CtlRun r = ctl({"--json", "events", "--wait", "1"});
    ASSERT_EQ(r.rc, 0) << r.err;
    EXPECT_EQ(Json::parse(r.out)["events"], Json::array()) << r.out;
    r = ctl({"--json", "events", "--wait", "1", "--from-start"});
    ASSERT_EQ(r.rc, 0) << r.err;
    EXPECT_EQ(Json::parse(r.out)["events"][0]["row"]["Mount"], "/old") << r.out;
    EXPECT_EQ(ctl({"events", "--from-start", "--after", "1"}).rc, vorpanectl::kBadInput);

    // --follow, as the binary: new rows are pushed until one shows; the old one never does.
    ChildProcess follow(
        {VORPANECTL_BIN, "--port", std::to_string(_server->port()), "--json", "events", "--follow"},
        {"VORPANE_API_TOKEN=" + std::string(kTestToken), "VORPANE_WORKDIR=" + _dir.path()});
    bool shown = false;
    for (int attempt = 0; attempt < 300 && !shown; ++attempt) {
        ASSERT_EQ(_disks->pushEvent({"h1:DSK01", "/new", "2"}), 0);
        shown = follow.waitForOutput("\"/new\"", std::chrono::milliseconds(100));
    }
    EXPECT_TRUE(shown) << follow.output();
    EXPECT_EQ(follow.output().find("/old"), std::string::npos) << follow.output();
    follow.signal(SIGTERM);
    follow.waitExit();
}

TEST_F(Vorpanectl, ExitCodesSayWhatWentWrong) {
    EXPECT_EQ(ctl({"--help"}).rc, vorpanectl::kOk);
    // No command: the help, which names the commands.
    CtlRun r = ctl({}, false);
    EXPECT_EQ(r.rc, vorpanectl::kOk);
    EXPECT_NE(r.out.find("Usage: vorpanectl"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("situation"), std::string::npos) << r.out;
    r = ctl({"situation"});
    EXPECT_NE(r.out.find("Define a situation"), std::string::npos) << r.out;
    EXPECT_EQ(ctl({"rows", "DSK01"}).rc, vorpanectl::kBadInput);
    EXPECT_EQ(ctl({"file", "DSK", "EXE"}).rc, vorpanectl::kBadInput);
    r = ctl({"rows", "DSK01", "DSKTBL01", "--where", "Mount ="});
    EXPECT_EQ(r.rc, vorpanectl::kBadInput);
    EXPECT_NE(r.err.find("Error: bad where: at character 8: expected a value, found the end (HTTP 400)"), std::string::npos)
        << r.err;
    EXPECT_EQ(ctl({"rows", "DSK01", "NOSUCH"}).rc, vorpanectl::kNotFound);
    EXPECT_EQ(ctl({"file", "DSK", "ATR"}).rc, vorpanectl::kNotFound);
    // A number with more decimals than the column keeps says so.
    r = ctl({"rows", "DSK01", "DSKTBL01", "--where", "Used_Pct > 10.55"});
    EXPECT_EQ(r.rc, vorpanectl::kBadInput);
    EXPECT_NE(
        r.err.find("value <10.55> for column <Used_Pct> has too many decimals: the column holds numbers with "
                   "at most 1 decimal"),
        std::string::npos)
        << r.err;
    // A situation is sampled or fed by events: without either the error names both options.
    r = ctl({"situation", "add", "S1", "--app", "DSK01", "--table", "DSKTBL01"});
    EXPECT_EQ(r.rc, vorpanectl::kBadInput);
    EXPECT_NE(r.err.find("--interval SECONDS"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("--event"), std::string::npos) << r.err;
    EXPECT_EQ(ctl({"situation", "add", "S1", "--app", "DSK01", "--table", "DSKTBL01", "--interval", "60",
                   "--event"})
                  .rc,
              vorpanectl::kBadInput);
    EXPECT_EQ(ctl({"situation", "add", "S1", "--app", "DSK01", "--table", "DSKTBL01", "--interval", "600"}).rc, vorpanectl::kOk);
    EXPECT_EQ(ctl({"situation", "add", "S1", "--app", "DSK01", "--table", "DSKTBL01", "--interval", "600"}).rc,
              vorpanectl::kConflict);
    EXPECT_EQ(ctl({"--port", std::to_string(_server->port()), "--token", "wrong", "tables"}, false).rc, vorpanectl::kUnauthorized);

    int port = _server->port();
    _server.reset();  // nobody listens there now
    r = ctl({"--port", std::to_string(port), "health"}, false);
    EXPECT_EQ(r.rc, vorpanectl::kUnreachable);
    EXPECT_NE(
        r.err.find("Error: cannot reach the agent at 127.0.0.1:" + std::to_string(port) +
                   ": no connection could be made (nothing listens there, or the address cannot be reached)\n"
                   "Hint: is the agent running? This address is from --port " +
                   std::to_string(port) + "."),
        std::string::npos)
        << r.err;
}

TEST_F(Vorpanectl, AddressAndTokenComeFromTheKeysAndTheWorkDirectory) {
    ScopedEnv port("VORPANE_API_PORT", std::to_string(_server->port()));
    ScopedEnv noToken("VORPANE_API_TOKEN", std::nullopt);
    CtlRun r = ctl({"tables"}, false);
    EXPECT_EQ(r.rc, vorpanectl::kUnauthorized);
    EXPECT_NE(r.err.find("no token"), std::string::npos);

    std::string error;
    ASSERT_TRUE(api::writeFileWhole(api::tokenFilePath(), std::string(kTestToken) + "\n", 0600, &error)) << error;
    EXPECT_EQ(ctl({"tables"}, false).rc, vorpanectl::kOk);

    // The binary itself, with the work directory from its key.
    ChildProcess child({VORPANECTL_BIN, "tables"},
                       {"VORPANE_API_PORT=" + std::to_string(_server->port()), "VORPANE_WORKDIR=" + _dir.path(), "VORPANE_API_TOKEN"});
    ASSERT_EQ(child.waitExit(), 0) << child.output();
    EXPECT_NE(child.output().find("DSKTBL01"), std::string::npos);
    ChildProcess refused({VORPANECTL_BIN, "tables"}, {"VORPANE_API_PORT=" + std::to_string(_server->port()),
                                                      "VORPANE_WORKDIR=" + _dir.path(), "VORPANE_API_TOKEN=bad"});
    EXPECT_EQ(refused.waitExit(), vorpanectl::kUnauthorized) << refused.output();

    // Without the keys, the address file an agent writes in its work directory; the keys win over it.
    _dir.write("api-address", "127.0.0.1:" + std::to_string(_server->port()) + "\n");
    ChildProcess fromFile(
        {VORPANECTL_BIN, "tables"},
        {"VORPANE_API_PORT", "VORPANE_API_BIND", "VORPANE_WORKDIR=" + _dir.path(), "VORPANE_API_TOKEN"});
    ASSERT_EQ(fromFile.waitExit(), 0) << fromFile.output();
    EXPECT_NE(fromFile.output().find("DSKTBL01"), std::string::npos);
    ChildProcess keysWin({VORPANECTL_BIN, "tables"}, {"VORPANE_API_PORT=1", "VORPANE_API_BIND",
                                                      "VORPANE_WORKDIR=" + _dir.path(), "VORPANE_API_TOKEN"});
    EXPECT_EQ(keysWin.waitExit(), vorpanectl::kUnreachable) << keysWin.output();
    EXPECT_NE(keysWin.output().find("This address is from VORPANE_API_PORT=1."), std::string::npos)
        << keysWin.output();
}

TEST_F(Vorpanectl, ATokenFileKeepsTheTokenOffTheCommandLine) {
    ScopedEnv noToken("VORPANE_API_TOKEN", std::nullopt);
    const std::string port = std::to_string(_server->port());
    _dir.write("my-token", std::string(kTestToken) + "\n");
    CtlRun r = ctl({"--port", port, "--token-file", _dir.file("my-token"), "tables"}, false);
    EXPECT_EQ(r.rc, vorpanectl::kOk) << r.err;
    EXPECT_NE(r.out.find("DSKTBL01"), std::string::npos);

    r = ctl({"--port", port, "--token-file", _dir.file("missing"), "tables"}, false);
    EXPECT_EQ(r.rc, vorpanectl::kBadInput);
    EXPECT_NE(r.err.find("cannot read the token file " + _dir.file("missing")), std::string::npos) << r.err;
    _dir.write("empty", "\n");
    r = ctl({"--port", port, "--token-file", _dir.file("empty"), "tables"}, false);
    EXPECT_EQ(r.rc, vorpanectl::kBadInput);
    EXPECT_NE(r.err.find("is empty"), std::string::npos) << r.err;
    EXPECT_EQ(ctl({"--port", port, "--token", kTestToken, "--token-file", _dir.file("my-token"), "tables"}, false).rc,
              vorpanectl::kBadInput);

    // The binary: its command line (what ps shows) names the file, not the token.
    ChildProcess child({VORPANECTL_BIN, "--port", port, "--token-file", _dir.file("my-token"), "tables"},
                       {"VORPANE_WORKDIR=" + _dir.path() + "/none", "VORPANE_API_TOKEN"});
    ASSERT_EQ(child.waitExit(), 0) << child.output();
    EXPECT_NE(child.output().find("DSKTBL01"), std::string::npos);
}

TEST_F(Vorpanectl, HttpsWithTheAgentsCaAndAClientCertificate) {
    TestCa ca;
    ASSERT_TRUE(ca.writeCa(_dir.file("ca.pem")));
    ASSERT_TRUE(ca.issue("agent", _dir.file("agent.pem"), _dir.file("agent.key")));
    ASSERT_TRUE(ca.issue("operator", _dir.file("op.pem"), _dir.file("op.key")));
    std::string error;
    auto tls = api::TlsContext::load(_dir.file("agent.pem"), _dir.file("agent.key"), _dir.file("ca.pem"), &error);
    ASSERT_TRUE(tls) << error;
    _server = std::make_unique<api::ApiServer>();
    ASSERT_TRUE(_server->start(testConfig(), kTestToken, &error, std::move(tls))) << error;
    const std::string port = std::to_string(_server->port());

    CtlRun r = ctl({"--cacert", _dir.file("ca.pem"), "--cert", _dir.file("op.pem"), "--key", _dir.file("op.key"),
                    "subnodes"});
    ASSERT_EQ(r.rc, 0) << r.err;
    EXPECT_NE(r.out.find("h1:DSK01"), std::string::npos);
    // The scheme and port in the address, the CA from the key.
    {
        ScopedEnv caKey("VORPANE_API_CACERT", _dir.file("ca.pem"));
        r = ctl({"--address", "https://127.0.0.1:" + port, "--token", kTestToken, "--cert", _dir.file("op.pem"),
                 "--key", _dir.file("op.key"), "health"},
                false);
        EXPECT_EQ(r.rc, 0) << r.err;
    }
    // No client certificate, or no CA to check the agent against: no connection, and why.
    r = ctl({"--cacert", _dir.file("ca.pem"), "health"});
    EXPECT_EQ(r.rc, vorpanectl::kUnreachable);
    r = ctl({"--address", "https://127.0.0.1", "--cert", _dir.file("op.pem"), "--key", _dir.file("op.key"), "health"});
    EXPECT_EQ(r.rc, vorpanectl::kUnreachable);
    EXPECT_NE(r.err.find("Error: cannot reach the agent at https://127.0.0.1:" + port + ": the TLS handshake failed"),
              std::string::npos)
        << r.err;
    // The address file of an agent with TLS says so.
    _dir.write("api-address", "https://127.0.0.1:" + port + "\n");
    ScopedEnv noPort("VORPANE_API_PORT", std::nullopt);
    ScopedEnv noBind("VORPANE_API_BIND", std::nullopt);
    r = ctl({"--token", kTestToken, "--cacert", _dir.file("ca.pem"), "--cert", _dir.file("op.pem"), "--key",
             _dir.file("op.key"), "subnodes"},
            false);
    EXPECT_EQ(r.rc, 0) << r.err;
}

TEST_F(Vorpanectl, AgentsOfTheAgentsFileOneByNameOrAllAtOnce) {
    ASSERT_TRUE(_disks->addRow({"h1:DSK01", "/var", "975"}));
    // A port nothing listens on: bound, then closed.
    int dead = 0;
    {
        const int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof a;
        ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
        ASSERT_EQ(getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length), 0);
        dead = ntohs(a.sin_port);
        close(fd);
    }
    _dir.write("live.token", std::string(kTestToken) + "\n");
    _dir.write("agents.json", Json{{"agents",
                                    {{{"name", "live"},
                                      {"address", "http://127.0.0.1:" + std::to_string(_server->port())},
                                      {"tokenFile", _dir.file("live.token")}},
                                     {{"name", "dead"}, {"address", "127.0.0.1:" + std::to_string(dead)}},
                                     {{"name", "again"},
                                      {"address", "127.0.0.1:" + std::to_string(_server->port())},
                                      {"tokenFile", _dir.file("live.token")}}}}}
                                  .dump());
    ScopedEnv agents("VORPANE_AGENTS", _dir.file("agents.json"));

    CtlRun r = ctl({"--agent", "live", "subnodes"}, false);
    ASSERT_EQ(r.rc, 0) << r.err;
    EXPECT_NE(r.out.find("h1:DSK01"), std::string::npos);
    r = ctl({"--agent", "nobody", "subnodes"}, false);
    EXPECT_EQ(r.rc, vorpanectl::kBadInput);
    EXPECT_NE(r.err.find("no agent nobody in " + _dir.file("agents.json")), std::string::npos) << r.err;

    // Every agent at once: the live ones' rows labelled, an error line for the dead one, its exit code.
    r = ctl({"--all-agents", "--timeout", "5", "rows", "DSK01", "DSKTBL01"}, false);
    EXPECT_EQ(r.rc, vorpanectl::kUnreachable);
    EXPECT_EQ(r.out,
              "AGENT  Node_Name  Mount  Used_Pct\n"
              "live   h1:DSK01   /var   97.5\n"
              "again  h1:DSK01   /var   97.5\n");
    EXPECT_TRUE(r.err.starts_with("Error: agent dead: cannot reach the agent at 127.0.0.1:" +
                                  std::to_string(dead) + ": no connection could be made"))
        << r.err;
    r = ctl({"--all-agents", "--json", "rows", "DSK01", "DSKTBL01"}, false);
    Json j = Json::parse(r.out, nullptr, false);
    ASSERT_TRUE(j.is_object()) << r.out;
    EXPECT_EQ(j["count"], 2);
    EXPECT_EQ(j["rows"][1], (Json{{"agent", "again"}, {"Node_Name", "h1:DSK01"}, {"Mount", "/var"}, {"Used_Pct", 97.5}}));
    EXPECT_EQ(j["errors"][0]["agent"], "dead");

    // A file that is not the agents file says so; --all-agents goes with rows only.
    _dir.write("bad.json", "[1,2]");
    r = ctl({"--agents", _dir.file("bad.json"), "--all-agents", "rows", "DSK01", "DSKTBL01"}, false);
    EXPECT_EQ(r.rc, vorpanectl::kBadInput);
    EXPECT_NE(r.err.find("is not JSON of the form"), std::string::npos) << r.err;
    EXPECT_EQ(ctl({"--all-agents", "subnodes"}, false).rc, vorpanectl::kBadInput);
}

}  // namespace
}  // namespace vorpane::testing
