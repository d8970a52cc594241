// The real vorpane-agent binary, started in a fresh work directory.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "testlib/child_process.h"
#include "testlib/hub_test_client.h"
#include "testlib/temp_dir.h"

namespace {

using vorpane::testing::ChildProcess;
using vorpane::testing::TempDir;

// A socket of the test bound to a loopback port (a TCP one listening), as another program would hold it.
class HeldPort {
  public:
    HeldPort(int port, int type) : _fd(socket(AF_INET, type | SOCK_CLOEXEC, 0)) {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(static_cast<uint16_t>(port));
        _held = bind(_fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
                (type != SOCK_STREAM || listen(_fd, 1) == 0);
    }
    ~HeldPort() { close(_fd); }
    HeldPort(const HeldPort&) = delete;
    HeldPort& operator=(const HeldPort&) = delete;
    bool held() const { return _held; }

  private:
    int _fd;
    bool _held = false;
};

class AgentProcess : public ::testing::Test {
protected:
    std::vector<std::string> env(std::vector<std::string> extra = {}) const {
        std::vector<std::string> e = {"VORPANE_WORKDIR=" + _dir.path(), "VORPANE_TRACE=ERROR STATE DETAIL",
                                      "ZOTA_DCH_PORT=" + std::to_string(_port),
                                      "VORPANE_TIME_SPEEDUP=50", "ZOTA_STARTUP_DP", "VORPANE_PRODUCT_SPEC", "VORPANE_API_PORT=0",
                                      "ZOTA_ATOMIC_SITUATIONS"};
        e.insert(e.end(), extra.begin(), extra.end());
        return e;
    }
    std::string log() const { return _dir.read("vorpane-agent.log"); }
    TempDir _dir;
    int _port = vorpane::testing::freeHubPort();
};

TEST_F(AgentProcess, StartsOnItsDefaultsAndStopsCleanlyOnEachShutdownSignal) {
    for (int sig : {SIGTERM, SIGINT, SIGHUP}) {
        ChildProcess agent({VORPANE_AGENT_BIN}, env());
        ASSERT_TRUE(agent.started());
        ASSERT_TRUE(agent.waitForOutput("Vorpane Agent startup in progress\n")) << agent.output();
        ASSERT_TRUE(agent.waitForOutput("Vorpane Agent startup complete.  1 Data Provider(s) now being started...\n"))
            << agent.output();
        agent.signal(sig);
        EXPECT_EQ(agent.waitExit(), 0) << agent.output();
        // A signal is how an agent is stopped: the console says so.
        EXPECT_NE(
            agent.output().find("Vorpane Agent shutdown in progress\nVorpane Agent shutdown complete\n"),
            std::string::npos)
            << agent.output();
        std::string l = log();
        EXPECT_NE(l.find("Signal " + std::to_string(sig) + " captured"), std::string::npos) << l;
        EXPECT_NE(l.find("Vorpane Agent process being stopped"), std::string::npos);
    }
}

TEST_F(AgentProcess, TracesTheConfigurationItRead) {
    ChildProcess agent({VORPANE_AGENT_BIN}, env({"ZOTA_MAX_EVENT_ENTRIES=250", "ZOTA_ACTION_TABLE_NAME=LONGTABLENAME1",
                                                 "ZOTA_ATOMIC_SITUATIONS=SitA:3, SitB:0,SitC",
                                                 "VORPANE_TRACE_STDERR=Y"}));
    ASSERT_TRUE(agent.waitForOutput("Calling AXF framework...")) << agent.output();
    agent.signal(SIGTERM);
    ASSERT_EQ(agent.waitExit(), 0);
    std::string l = log();
    for (const std::string& line : std::vector<std::string>{"MAX_EVENT_ENTRIES=250", "MAX_APPLICATIONS=64", "ACTIONtableName <LONGTABLEN>",
                             "REPORT_REQUEST_EXPIRATION=15", "Atomic column number <3>",
                             "Error: invalid column value <0> specified for atomic situation <SitB>",
                             "getrlimit returned", "Starting taskname <vorpane-agent>",
                             "SIG1_Action for SIGTERM has been set", "nodeTypePtr<VA> affPtr<%VORPANE.VAGENT>",
                             " formatted version<04.10.00>", "No command line arguments: Starting DP ASFS thread.",
                             // "ready" or "was ready": the hub may win the race with the wait for it
                             "ready to process request.",
                             "Hub listening on port " + std::to_string(_port),
                             "ZOTP_StartDataProvider <ASFS> thread created.", "Calling AXF framework..."}) {
        EXPECT_NE(l.find(line), std::string::npos) << line << "\n" << l;
    }
    // The lists and everything after them wait for the hub.
    EXPECT_LT(l.find("ready to process request."), l.find("Atomic column number <3>"));
    EXPECT_NE(agent.output().find("hub listening on port " + std::to_string(_port)), std::string::npos);
}

TEST_F(AgentProcess, ATakenHubPortEndsTheStartWithTheReasonOnTheConsole) {
    HeldPort tcp(_port, SOCK_STREAM);
    HeldPort udp(_port, SOCK_DGRAM);
    ASSERT_TRUE(tcp.held() && udp.held());
    ChildProcess agent({VORPANE_AGENT_BIN}, env());
    EXPECT_EQ(agent.waitExit(std::chrono::seconds(60)), 1) << agent.output();
    EXPECT_NE(agent.output().find(
                  "Error: the hub port " + std::to_string(_port) +
                  " is in use: another agent or program holds it (ZOTA_DCH_PORT chooses the port)\n"),
              std::string::npos)
        << agent.output();
    EXPECT_EQ(agent.output().find("startup complete"), std::string::npos) << agent.output();
}

TEST_F(AgentProcess, ATakenApiPortEndsTheStartWithTheReasonOnTheConsole) {
    const int apiPort = vorpane::testing::freeHubPort();
    HeldPort tcp(apiPort, SOCK_STREAM);
    ASSERT_TRUE(tcp.held());
    ChildProcess agent({VORPANE_AGENT_BIN}, env({"VORPANE_API_PORT=" + std::to_string(apiPort)}));
    EXPECT_EQ(agent.waitExit(std::chrono::seconds(60)), 1) << agent.output();
    EXPECT_NE(agent.output().find("Error: the management API cannot start: cannot listen on 127.0.0.1:" +
                                  std::to_string(apiPort) +
                                  ": Address already in use (VORPANE_API_PORT chooses the "
                                  "port; 0 turns the API off)\n"),
              std::string::npos)
        << agent.output();
    EXPECT_EQ(agent.output().find("startup complete"), std::string::npos) << agent.output();
    // No provider was started before the start failed.
    EXPECT_EQ(log().find("ZOTP_StartDataProvider <ASFS> thread created."), std::string::npos) << log();
}

TEST_F(AgentProcess, SaysWhereItsApiIsAndWritesTheAddressToTheWorkDirectory) {
    const int apiPort = vorpane::testing::freeHubPort();
    ChildProcess agent({VORPANE_AGENT_BIN},
                       env({"VORPANE_API_PORT=" + std::to_string(apiPort), "VORPANE_API_TOKEN"}));
    const std::string address = "127.0.0.1:" + std::to_string(apiPort);
    ASSERT_TRUE(agent.waitForOutput("Vorpane Agent startup complete.")) << agent.output();
    const std::string line = "Vorpane Agent management API listening on " + address + ", token in " +
                             _dir.file("api-token") + "\n";
    EXPECT_LT(agent.output().find(line), agent.output().find("Vorpane Agent startup complete."))
        << agent.output();
    EXPECT_EQ(_dir.read("api-address"), address + "\n");
    agent.signal(SIGTERM);
    EXPECT_EQ(agent.waitExit(), 0) << agent.output();
    // Gone with the API: a client would otherwise try a port nobody serves.
    struct stat st {};
    EXPECT_NE(stat(_dir.file("api-address").c_str(), &st), 0);

    ChildProcess off({VORPANE_AGENT_BIN}, env({"VORPANE_API_TOKEN=from-the-environment"}));
    ASSERT_TRUE(off.waitForOutput("Vorpane Agent management API off (VORPANE_API_PORT=0)\n")) << off.output();
    off.signal(SIGTERM);
    EXPECT_EQ(off.waitExit(), 0) << off.output();
}

TEST_F(AgentProcess, NoProvidersWaitsOnTheFramework) {
    ChildProcess agent({VORPANE_AGENT_BIN, "nodp"}, env({"VORPANE_TRACE_STDERR=Y"}));
    ASSERT_TRUE(agent.waitForOutput("Vorpane Agent startup complete.\n")) << agent.output();
    // The trace line follows the printed one: wait for it before stopping the agent.
    ASSERT_TRUE(agent.waitForOutput("Waiting for startAXF thread to complete.")) << agent.output();
    EXPECT_EQ(agent.output().find("Data Provider(s)"), std::string::npos);
    agent.signal(SIGINT);
    EXPECT_EQ(agent.waitExit(), 0);
}

TEST_F(AgentProcess, ABrokenProductSpecificationTakesTheFatalExit) {
    _dir.write("psf", "0 = 0\n1 = OT\n3 = Broken Agent\n4 = %AFF\n");  // no node type
    ChildProcess agent({VORPANE_AGENT_BIN}, env({"VORPANE_PRODUCT_SPEC=" + _dir.file("psf")}));
    EXPECT_EQ(agent.waitExit(), 1) << agent.output();
    EXPECT_NE(agent.output().find("Broken Agent startup in progress"), std::string::npos);
    EXPECT_NE(agent.output().find("Error: the product specification " + _dir.file("psf") +
                                  " lacks item 2 (node type)\n"),
              std::string::npos)
        << agent.output();
    EXPECT_NE(log().find("Error: nodeTypePtr<@(nil)> affPtr<@0x"), std::string::npos) << log();

    _dir.write("bad", "this is not an item\n");
    ChildProcess again({VORPANE_AGENT_BIN}, env({"VORPANE_PRODUCT_SPEC=" + _dir.file("bad")}));
    EXPECT_EQ(again.waitExit(), 1) << again.output();
    EXPECT_NE(again.output().find("Error: the product specification " + _dir.file("bad") +
                                  " cannot be read or has a malformed line"),
              std::string::npos)
        << again.output();
    EXPECT_NE(log().find("Error: Initialization of Product Specification File failed.  Exiting..."), std::string::npos);
}

TEST_F(AgentProcess, AProductAgentWithoutProvidersToStartTakesTheFatalExit) {
    // Item 23 makes a product agent search its hub port from the given one upwards (step 1); a
    // product agent names its table-manager work file (item 32) or cannot start at all.
    _dir.write("psf", "0 = 1\n1 = XX\n2 = X1\n3 = Product Agent\n4 = %AFF\n23 = 1\n32 = xxtbls\n");
    ChildProcess agent({VORPANE_AGENT_BIN}, env({"VORPANE_PRODUCT_SPEC=" + _dir.file("psf")}));
    EXPECT_EQ(agent.waitExit(), 1) << agent.output();
    EXPECT_NE(log().find("Error: ZOT0_QueryProductSpec(ZOT2_DP_TO_START) returned NULL.  Exiting..."),
              std::string::npos);
    EXPECT_NE(
        agent.output().find("Error: the product specification names no data provider to start (item 18)"),
        std::string::npos)
        << agent.output();
}

}  // namespace
