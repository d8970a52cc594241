#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>

#include "interfaces/axf.h"
#include "interfaces/axf_facade.h"
#include "interfaces/support.h"
#include "platform/axf/engine.h"
#include "testlib/scoped_env.h"
#include "testlib/temp_dir.h"

namespace {

class Framework : public ::testing::Test {
protected:
    void SetUp() override {
        axf::reset();
        vorpane::setWorkDirectory(_dir.path());
    }
    void TearDown() override { axf::reset(); }
    vorpane::testing::TempDir _dir;
};

std::atomic<int> g_loaderCalls{0};
int loader() {
    ++g_loaderCalls;
    return 0;
}

// The names of the figures that are not the framework's own.
std::vector<std::string> sourceFigures() {
    std::vector<std::string> out;
    for (const axf::Figure& f : axf::agentFigures()) {
        if (f.name.rfind("vorpane_framework_", 0) != 0) {
            out.push_back(f.name);
        }
    }
    return out;
}

TEST_F(Framework, PassesOnTheFiguresOfItsSourceUntilItIsCleared) {
    EXPECT_TRUE(sourceFigures().empty());
    int calls = 0;
    axf::setFigureSource([&calls] {
        ++calls;
        return std::vector<axf::Figure>{{"vorpane_hub_rows_total", "Rows", true, {}, static_cast<double>(calls)}};
    });
    EXPECT_EQ(axf::agentFigures().at(0).value, 1);
    std::vector<axf::Figure> second = axf::agentFigures();  // asked anew at every call
    ASSERT_EQ(second.size(), 5u);  // the source's, then the framework's own four
    EXPECT_EQ(second[0].value, 2);
    EXPECT_TRUE(second[0].counter);
    EXPECT_EQ(second[1].name, "vorpane_framework_actions_waiting");
    EXPECT_FALSE(second[1].counter);
    EXPECT_EQ(second[4].name, "vorpane_framework_actions_refused_total");
    EXPECT_TRUE(second[4].counter);
    axf::setFigureSource(nullptr);
    EXPECT_TRUE(sourceFigures().empty());
    axf::setFigureSource([] { return std::vector<axf::Figure>(1); });
    axf::reset();  // a test's source never reaches the next test
    EXPECT_TRUE(sourceFigures().empty());
}

TEST_F(Framework, ATablesApplicationCarriesTheReleaseThatASubnodesDoesNot) {
    EXPECT_TRUE(axf::sameApplication("MYAPP01", "MYAPP"));
    EXPECT_TRUE(axf::sameApplication("myapp01", "MyApp"));  // case-blind
    EXPECT_TRUE(axf::sameApplication("MYAPP", "MYAPP"));
    EXPECT_FALSE(axf::sameApplication("MYAPPX1", "MYAPP"));  // a release is two digits
    EXPECT_FALSE(axf::sameApplication("MYAPP001", "MYAPP"));
    EXPECT_FALSE(axf::sameApplication("MYAPP01", "MYAP"));
    EXPECT_FALSE(axf::sameApplication("MYAPP", "MYAPP01"));
    EXPECT_FALSE(axf::sameApplication("OTHER01", "MYAPP"));

    // Reports and situations without subnodes take the subnodes the same rule finds.
    for (const char* appl : {"MyApp", "MYAPPX", "MYAP"}) {
        ASSERT_EQ(AXF_Subnode_Register((std::string("h:") + appl).c_str(), "", appl, ""), 0);
        ASSERT_EQ(AXF_Subnode_SendRequest(), 0);
    }
    EXPECT_EQ(axf::detail::subnodesOfApplication("MYAPP01"), std::vector<std::string>{"h:MyApp"});
}

TEST_F(Framework, KeepsTheIdentityItIsGiven) {
    AXF_SetSubsystemId("INST");
    AXF_SetNodeType("VA");
    AXF_SetAffinity("%VORPANE.VAGENT");
    AXF_SetProduct("OT", "04.10.00");
    EXPECT_EQ(AXF_GetSubsystemId(), "INST");
    axf::Identity id = axf::identity();
    EXPECT_EQ(id.nodeType, "VA");
    EXPECT_EQ(id.affinity, "%VORPANE.VAGENT");
    EXPECT_EQ(id.productCode, "OT");
    EXPECT_EQ(id.version, "04.10.00");
    auto host = AXF_GetHostname();
    ASSERT_TRUE(host.has_value());
    EXPECT_FALSE(host->empty());
}

TEST_F(Framework, RunsTheLoaderAndServesUntilShutdown) {
    g_loaderCalls = 0;
    AXF_RegisterAgentLoader(loader);
    pthread_t t;
    std::atomic<int> rc{-1};
    ASSERT_EQ(ZOT0_CreateThread(
                  [&] {
                      char name[] = "zotagent";
                      char* argv[] = {name, nullptr};
                      rc = zrfmain(1, argv);
                  },
                  0, &t, "axf-test"),
              0);
    // What comes from outside waits for the loader's tables.
    EXPECT_TRUE(axf::waitUntilLoaded(30));
    EXPECT_EQ(g_loaderCalls.load(), 1);
    EXPECT_TRUE(axf::running());
    AXF_Shutdown(1);
    ASSERT_EQ(pthread_join(t, nullptr), 0);
    EXPECT_EQ(rc.load(), 0);
    EXPECT_FALSE(axf::running());
    EXPECT_EQ(g_loaderCalls.load(), 1);  // never twice

    // A framework stopped before it ran never loads: the wait ends at the shutdown, not the time-out.
    axf::reset();
    AXF_RegisterAgentLoader(loader);
    AXF_Shutdown(1);
    auto began = std::chrono::steady_clock::now();
    EXPECT_FALSE(axf::waitUntilLoaded(60));
    EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::seconds(30));
    char name[] = "zotagent";
    char* argv[] = {name, nullptr};
    EXPECT_EQ(zrfmain(1, argv), 0);  // returns at once
    EXPECT_EQ(g_loaderCalls.load(), 1);
}

TEST_F(Framework, SubnodesAreRegisteredDeregisteredAndDeleted) {
    ASSERT_EQ(AXF_Subnode_Register("host1:MYAPP01", "%AFF", "MYAPP", "04.01.00"), 0);
    ASSERT_EQ(AXF_Subnode_SendRequest(), 0);
    auto nodes = axf::subnodes();
    ASSERT_EQ(nodes.size(), 1u);
    EXPECT_EQ(nodes[0].name, "host1:MYAPP01");
    EXPECT_EQ(nodes[0].applName, "MYAPP");
    EXPECT_EQ(nodes[0].state, axf::SubnodeState::Registered);

    ASSERT_EQ(AXF_Subnode_Deregister("host1:MYAPP01"), 0);
    ASSERT_EQ(AXF_Subnode_SendRequest(), 0);
    EXPECT_EQ(axf::subnodes()[0].state, axf::SubnodeState::Deregistered);

    ASSERT_EQ(AXF_Subnode_Delete("host1:MYAPP01"), 0);
    ASSERT_EQ(AXF_Subnode_SendRequest(), 0);
    EXPECT_TRUE(axf::subnodes().empty());

    // Refusals: names over 32 characters or empty, a send with nothing prepared, unknown subnodes.
    EXPECT_EQ(AXF_Subnode_Register(std::string(33, 'n').c_str(), "", "APP", ""), 7);
    EXPECT_EQ(AXF_Subnode_Register("", "", "APP", ""), 7);
    EXPECT_EQ(AXF_Subnode_Register("node", "", "", ""), 7);
    EXPECT_EQ(AXF_Subnode_SendRequest(), 1);
    ASSERT_EQ(AXF_Subnode_Delete("unknown"), 0);
    EXPECT_EQ(AXF_Subnode_SendRequest(), 1);
    ASSERT_EQ(AXF_Subnode_Deregister("unknown"), 0);
    EXPECT_EQ(AXF_Subnode_SendRequest(), 1);
}

TEST_F(Framework, MessagesAndOperationsLogsAreWritten) {
    EXPECT_EQ(AXF_CreateMessage("2", "GENERAL", "disk almost full", 0), 0);
    auto messages = axf::messages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].text, "disk almost full");
    EXPECT_NE(_dir.read("axf-messages.log").find("SEV=2 CAT=GENERAL MSG=disk almost full"), std::string::npos);

    EXPECT_EQ(PLAXF_insert_log("VAACTION", "1 owner node STATUS=0 name parms", "VA"), 0);
    EXPECT_NE(_dir.read("VAACTION.oplog").find(" VA 1 owner node STATUS=0 name parms\n"), std::string::npos);
    EXPECT_EQ(PLAXF_insert_log("", "x", "VA"), 1);
    EXPECT_EQ(PLAXF_insert_log("../escape", "x", "VA"), 0);  // the name is cleaned, not a path
    EXPECT_NE(_dir.read("___escape.oplog").find(" VA x"), std::string::npos);
}

// A message action per firing row must not fill the disk: the logs move aside at VORPANE_LOG_LIMIT
// bytes, three older files are kept, and nothing older.
TEST_F(Framework, MessagesAndOperationsLogsAreRotatedAtTheirLimit) {
    vorpane::testing::ScopedEnv limit("VORPANE_LOG_LIMIT", "4096");
    const std::string text(100, 'm');
    for (int i = 0; i < 300; ++i) {
        ASSERT_EQ(AXF_CreateMessage("1", "CAT", (std::to_string(i) + " " + text).c_str(), 0), 0);
        ASSERT_EQ(PLAXF_insert_log("VAACTION", (std::to_string(i) + " " + text).c_str(), "VA"), 0);
    }
    for (const std::string log : {"axf-messages.log", "VAACTION.oplog"}) {
        for (const std::string suffix : {"", ".1", ".2", ".3"}) {
            const std::string content = _dir.read(log + suffix);
            EXPECT_FALSE(content.empty()) << log << suffix;
            EXPECT_LE(content.size(), 4096u) << log << suffix;
            if (!suffix.empty()) {
                EXPECT_GT(content.size(), 4096u - 200) << log << suffix;  // moved aside only when full
            }
        }
        EXPECT_EQ(::access(_dir.file(log + ".4").c_str(), F_OK), -1) << log;
        // The newest line is in the log itself, each file holds whole lines.
        const std::string current = _dir.read(log);
        EXPECT_NE(current.find("299 " + text + "\n"), std::string::npos) << log;
        EXPECT_EQ(current.back(), '\n');
        EXPECT_EQ(_dir.read(log + ".3").back(), '\n');
    }
}

}  // namespace
