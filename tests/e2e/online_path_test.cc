// Applications coming online in the real agent: vorpane-dp providers register and bring sources
// online, the agent registers their subnodes with versions and keeps their table managers across a
// restart; a second agent over the same work directory is refused until the first one dies.
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <string>
#include <vector>

#include "testlib/child_process.h"
#include "testlib/hub_fixture.h"
#include "testlib/temp_dir.h"

namespace {

using vorpane::testing::ChildProcess;
using vorpane::testing::TempDir;

constexpr const char* kDescription =
    "application ONLAPP help=\"Online path\"\n"
    "group DISK K 60 help=\"Disks\"\n"
    "attribute @Mount D 16 help=\"Mount point\"\n"
    "attribute Used C 4 help=\"Used MB\"\n"
    "group CPU P 60\n"
    "attribute Busy G 4\n"
    "attribute Idle G 4\n";

// The same application with an attribute appended to its last group: a modification.
constexpr const char* kAppended =
    "application ONLAPP help=\"Online path\"\n"
    "group DISK K 60 help=\"Disks\"\n"
    "attribute @Mount D 16 help=\"Mount point\"\n"
    "attribute Used C 4 help=\"Used MB\"\n"
    "group CPU P 60\n"
    "attribute Busy G 4\n"
    "attribute Idle G 4\n"
    "attribute Steal G 4\n";

// An attribute changed in the middle: a new release.
constexpr const char* kChanged =
    "application ONLAPP help=\"Online path\"\n"
    "group DISK K 60 help=\"Disks\"\n"
    "attribute @Mount D 16 help=\"Mount point\"\n"
    "attribute Free C 4 help=\"Free MB\"\n"
    "group CPU P 60\n"
    "attribute Busy G 4\n"
    "attribute Idle G 4\n"
    "attribute Steal G 4\n";

class OnlinePath : public ::testing::Test {
protected:
    OnlinePath() : _port(vorpane::testing::freeHubPort()) {
        _dir.write("app.desc", kDescription);
        _dir.write("appended.desc", kAppended);
        _dir.write("changed.desc", kChanged);
    }
    std::vector<std::string> agentEnv(int port) const {
        return {"ZOTA_DCH_PORT=" + std::to_string(port), "VORPANE_WORKDIR=" + _dir.path(), "VORPANE_TIME_SPEEDUP=20",
                "VORPANE_TRACE=ERROR,STATE", "VORPANE_TRACE_STDERR=Y", "ZOTA_STARTUP_DP", "ZOTA_DCH_ADDR",
                "VORPANE_API_PORT=0"};  // agents of tests running side by side would contend for the API port
    }
    std::unique_ptr<ChildProcess> startAgent() {
        auto agent = std::make_unique<ChildProcess>(std::vector<std::string>{VORPANE_AGENT_BIN, "NODP"}, agentEnv(_port));
        EXPECT_TRUE(agent->waitForOutput("startup complete.")) << agent->output();
        return agent;
    }
    // A provider that keeps its sources online until it is signalled, then takes them offline.
    std::unique_ptr<ChildProcess> provider(const std::string& file, const std::string& source,
                                           const std::string& row = "") {
        std::vector<std::string> argv{VORPANE_DP_BIN, "--file", _dir.file(file), "--online", source};
        if (!row.empty()) {
            argv.insert(argv.end(), {"--row", row});
        }
        argv.insert(argv.end(), {"--wait", "--offline"});
        auto dp = std::make_unique<ChildProcess>(argv,
            std::vector<std::string>{"ZOTA_DCH_PORT=" + std::to_string(_port), "ZOTA_DCH_ADDR",
                                     "VORPANE_WORKDIR=" + _dir.path()});
        EXPECT_TRUE(dp->waitForOutput("dp_online ONLAPP CPU " + source + ": status 0")) << dp->output();
        return dp;
    }
    static void stop(ChildProcess& p) {
        p.signal(SIGTERM);
        EXPECT_EQ(p.waitExit(), 0) << p.output();
    }
    static int count(const std::string& text, const std::string& what) {
        int n = 0;
        for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
            ++n;
        }
        return n;
    }

    TempDir _dir;
    int _port;
};

TEST_F(OnlinePath, AnApplicationComesOnlineGoesOfflineAndKeepsItsTablesAcrossRestarts) {
    {
        auto agent = startAgent();
        auto host1 = provider("app.desc", "host1");
        auto host2 = provider("app.desc", "host2");
        ASSERT_TRUE(agent->waitForOutput("Subnode <host1:ONLAPP00> registered for <ONLAPP> version <04.00.00>"))
            << agent->output();
        ASSERT_TRUE(agent->waitForOutput("Subnode <host2:ONLAPP00> registered for <ONLAPP> version <04.00.00>"));
        ASSERT_TRUE(agent->waitForOutput("Note: Ignoring subnode <host2:ONLAPP00> attrGroup <"));
        EXPECT_EQ(count(agent->output(), "] applName [ONLAPP00] tableName ["), 2) << agent->output();
        const std::string tables = _dir.read("zotatbls");
        EXPECT_EQ(count(tables, "ONLAPP00 ONL"), 2) << tables;
        EXPECT_NE(_dir.read("zotawONL").find("04.00.00"), std::string::npos);

        // A row of a third source: the group's collection thread, subscribed since the application
        // came online, gives the source's store to the table's sample entry.
        auto host3 = provider("app.desc", "host3", "DISK Mount=/ Used=10");
        ASSERT_TRUE(agent->waitForOutput("Found samplesListEntry[ONL/DISK/host3] Recording @")) << agent->output();
        stop(*host3);
        ASSERT_TRUE(agent->waitForOutput("Subnode <host3:ONLAPP00> deregistered."));

        // host2 goes: its subnode is deregistered with its last table; host1 stays.
        stop(*host2);
        ASSERT_TRUE(agent->waitForOutput("Subnode <host2:ONLAPP00> deregistered."));
        EXPECT_EQ(count(agent->output(), "Subnode <host1:ONLAPP00> deregistered."), 0);
        stop(*host1);
        ASSERT_TRUE(agent->waitForOutput("Application <ONLAPP> removed."));
        stop(*agent);
    }
    {
        // The table managers are back before any provider connects, and the version is unchanged.
        auto agent = startAgent();
        const std::string startup = agent->output();
        EXPECT_EQ(count(startup, "] applName [ONLAPP00] tableName ["), 2) << startup;
        auto host1 = provider("app.desc", "host1");
        ASSERT_TRUE(agent->waitForOutput("Subnode <host1:ONLAPP00> registered for <ONLAPP> version <04.00.00>"))
            << agent->output();
        stop(*host1);
        ASSERT_TRUE(agent->waitForOutput("Application <ONLAPP> removed."));

        // An attribute appended: a modification, same subnode name.
        auto appended = provider("appended.desc", "host1");
        ASSERT_TRUE(agent->waitForOutput("Subnode <host1:ONLAPP00> registered for <ONLAPP> version <04.00.01>"))
            << agent->output();
        stop(*appended);
        // The agent's own application stays.
        ASSERT_TRUE(agent->waitForOutput("Application <ONLAPP> removed. Number of applications currently active: 1"));

        // An attribute changed in the middle: a new release (the modification stays), and the old
        // release's subnode is removed.
        auto changed = provider("changed.desc", "host1");
        ASSERT_TRUE(agent->waitForOutput("Subnode <host1:ONLAPP01> registered for <ONLAPP> version <04.01.01>"))
            << agent->output();
        ASSERT_TRUE(agent->waitForOutput("Attempting to delete subNode <host1:ONLAPP00>"));
        EXPECT_TRUE(agent->waitForOutput("Subnode <host1:ONLAPP00> delete was successful."));
        stop(*changed);
        stop(*agent);
    }
    // Only the newest release of each table stays in the work file.
    const std::string tables = _dir.read("zotatbls");
    auto agent = startAgent();
    EXPECT_EQ(count(_dir.read("zotatbls"), "ONLAPP00"), 0) << _dir.read("zotatbls");
    EXPECT_EQ(count(_dir.read("zotatbls"), "ONLAPP01"), 2) << tables;
    stop(*agent);
}

TEST_F(OnlinePath, ASecondAgentIsRefusedUntilTheFirstOneDies) {
    auto first = startAgent();
    auto host1 = provider("app.desc", "host1");
    ASSERT_TRUE(first->waitForOutput("Subnode <host1:ONLAPP00> registered"));

    ChildProcess second({VORPANE_AGENT_BIN, "NODP"}, agentEnv(vorpane::testing::freeHubPort()));
    EXPECT_EQ(second.waitExit(), 1) << second.output();
    EXPECT_NE(second.output().find("Error: work directory " + _dir.path() + " is in use by another agent (process " +
                                   std::to_string(first->pid()) + ")"),
              std::string::npos)
        << second.output();

    // Killed outright, the first agent leaves its files whole and its lock gone.
    first->signal(SIGKILL);
    first->waitExit();
    host1->waitExit();
    auto third = startAgent();
    EXPECT_EQ(count(third->output(), "] applName [ONLAPP00] tableName ["), 2) << third->output();
    EXPECT_EQ(count(third->output(), "Error: "), 0) << third->output();
    stop(*third);
}

// Two applications with one key (ONL) would share the work file and generated files: each would see
// the other's registration as its own earlier release, and releases would climb at every start. The
// hub refuses the second, so the first keeps its release across restarts.
TEST_F(OnlinePath, ASecondApplicationWithTheSameKeyIsRefusedAndTheReleaseHoldsAcrossRestarts) {
    _dir.write("other.desc",
               "application ONLOTHER help=\"Same key\"\ngroup ALERTS E 0\nattribute Text D 64\n");
    for (int start = 0; start < 2; ++start) {
        auto agent = startAgent();
        auto host1 = provider("app.desc", "host1");
        ASSERT_TRUE(
            agent->waitForOutput("Subnode <host1:ONLAPP00> registered for <ONLAPP> version <04.00.00>"))
            << agent->output();
        ChildProcess other(
            {VORPANE_DP_BIN, "--file", _dir.file("other.desc"), "--online", "host1"},
            {"ZOTA_DCH_PORT=" + std::to_string(_port), "ZOTA_DCH_ADDR", "VORPANE_WORKDIR=" + _dir.path()});
        EXPECT_EQ(other.waitExit(), 4) << other.output();
        EXPECT_NE(
            other.output().find("vorpane-dp: refused: dp_register ONLOTHER: status 8: its key ONL (the first "
                                "three letters of the name) is held by application ONLAPP"),
            std::string::npos)
            << other.output();
        EXPECT_TRUE(agent->waitForOutput(
            "Error: application <ONLOTHER> refused: its key <ONL> is held by application <ONLAPP>"));
        EXPECT_EQ(_dir.read("zotawONL").substr(0, 14), "04.00.00 DISK ");
        stop(*host1);
        ASSERT_TRUE(agent->waitForOutput("Application <ONLAPP> removed."));
        stop(*agent);
        EXPECT_EQ(count(agent->output(), "Generating new CAT, ATR & ODI"), 0) << agent->output();
    }
}

TEST_F(OnlinePath, AnAgentKilledWhileWritingItsFilesLeavesThemWhole) {
    // Each round kills the agent while the probe writes the work files of a changed registration.
    const char* files[] = {"app.desc", "appended.desc", "changed.desc"};
    for (const char* file : files) {
        auto agent = startAgent();
        auto dp = provider(file, "host1");
        ASSERT_TRUE(agent->waitForOutput("Starting probe for application <ONLAPP>")) << agent->output();
        agent->signal(SIGKILL);
        agent->waitExit();
        dp->waitExit();
        // Every line of the table-manager file is whole: two names and a number.
        const std::string tables = _dir.read("zotatbls");
        std::size_t start = 0;
        for (std::size_t end = tables.find('\n'); end != std::string::npos; end = tables.find('\n', start)) {
            const std::string line = tables.substr(start, end - start);
            EXPECT_EQ(count(line, " "), 2) << "cut line <" << line << "> in\n" << tables;
            start = end + 1;
        }
        EXPECT_EQ(start, tables.size()) << "a last line without its end in\n" << tables;
    }
    // The next agent starts cleanly on what was left, and the application comes online again.
    auto agent = startAgent();
    EXPECT_EQ(count(agent->output(), "Error: "), 0) << agent->output();
    auto dp = provider("changed.desc", "host1");
    EXPECT_TRUE(agent->waitForOutput("Subnode <host1:ONLAPP0")) << agent->output();
    EXPECT_TRUE(agent->waitForOutput("register was successful."));
    stop(*dp);
    stop(*agent);
}

}  // namespace

// The generated files of an application appear when it first comes online, with the attribute file
// copied into ATTRLIB (made when missing); the same registration again rewrites nothing, an appended
// attribute rewrites them.
TEST_F(OnlinePath, GeneratedFilesAreWrittenWhenTheVersionChangesOnly) {
    std::vector<std::string> env = agentEnv(_port);
    env.push_back("ATTRLIB=" + _dir.file("attrlib"));
    ChildProcess agent({VORPANE_AGENT_BIN, "NODP"}, env);
    ASSERT_TRUE(agent.waitForOutput("startup complete.")) << agent.output();

    const std::vector<std::string> files{"ONLCAT00", "ONLATR00", "ONLODI00", "zotawONL"};
    auto times = [&] {
        std::vector<std::filesystem::file_time_type> t;
        for (const std::string& f : files) {
            t.push_back(std::filesystem::last_write_time(_dir.file(f)));
        }
        return t;
    };
    // Each round under a source of its own, so that its lines are told apart; the monitor handles
    // the offline record of one round before the online record of the next.
    auto comeOnline = [&](const std::string& file, const std::string& source, const std::string& version) {
        auto dp = provider(file, source);
        EXPECT_TRUE(agent.waitForOutput("Subnode <" + source + ":ONLAPP00> registered for <ONLAPP> version <" +
                                        version + ">"))
            << agent.output();
        stop(*dp);
        EXPECT_TRUE(agent.waitForOutput("Subnode <" + source + ":ONLAPP00> deregistered.")) << agent.output();
    };

    comeOnline("app.desc", "host1", "04.00.00");
    for (const std::string& f : files) {
        ASSERT_TRUE(std::filesystem::exists(_dir.file(f))) << f << "\n" << agent.output();
    }
    EXPECT_EQ(_dir.read("attrlib/ONLATR00"), _dir.read("ONLATR00"));
    const auto first = times();

    comeOnline("app.desc", "host2", "04.00.00");
    EXPECT_EQ(times(), first);

    const std::string oldAttributes = _dir.read("ONLATR00");
    comeOnline("appended.desc", "host3", "04.00.01");
    const auto rewritten = times();
    for (std::size_t i = 0; i < files.size(); ++i) {
        EXPECT_NE(rewritten[i], first[i]) << files[i];
    }
    EXPECT_NE(_dir.read("ONLATR00"), oldAttributes);
    EXPECT_EQ(_dir.read("attrlib/ONLATR00"), _dir.read("ONLATR00"));
    stop(agent);
}
