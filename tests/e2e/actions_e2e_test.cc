// Take-actions through whole processes: the real agent, vorpane-dp owning sources in action mode and
// vorpanectl defining situations. A handler appends what it receives to a file, so the test sees
// exactly what reached the provider; the agent's API shows the results and the action log.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "testlib/agent_harness.h"
#include "testlib/child_process.h"
#include "testlib/hub_test_client.h"
#include "testlib/temp_dir.h"

namespace {

using vorpane::testing::ChildProcess;
using vorpane::testing::TempDir;
using Json = nlohmann::json;

constexpr const char* kDescription =
    "application E2EACT help=\"Actions end to end\"\n"
    "group DISK K 600 help=\"Disks\"\n"
    "attribute @Disk D 16 help=\"Disk\"\n"
    "attribute Kind D 8 help=\"Kind of disk\"\n"
    "attribute Used C 4 help=\"Used percent\"\n";

// The lines of a file; none when it does not exist.
std::vector<std::string> lines(const std::string& path) {
    std::vector<std::string> out;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) {
        out.push_back(line);
    }
    return out;
}

// The text as one single-quoted shell word.
std::string shellWord(const std::string& text) {
    std::string out = "'";
    for (char c : text) {
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return out + "'";
}

std::string shortHostName() {
    char host[256] = {0};
    if (gethostname(host, sizeof host - 1) != 0) {
        return "";
    }
    std::string name(host);
    return name.substr(0, name.find('.'));
}

// A vorpane-dp run whose standard input is a pipe of the test: rows are sent when the test writes
// them, after the run has registered, brought its source online and asked for actions.
class FedProvider {
  public:
    FedProvider(const TempDir& dir, const std::string& name, const std::vector<std::string>& args,
                const std::vector<std::string>& env) {
        const std::string fifo = dir.file(name + ".rows");
        EXPECT_EQ(mkfifo(fifo.c_str(), 0600), 0);
        std::string command = std::string("exec ") + VORPANE_DP_BIN;
        for (const std::string& a : args) {
            command += " " + shellWord(a);
        }
        command += " --stdin < " + shellWord(fifo);
        // Opened for reading too, so that the open never waits for the run: a run that fails to start
        // makes the test fail, not hang. The run is stopped by a signal, not by the end of its input.
        _fd = ::open(fifo.c_str(), O_RDWR | O_CLOEXEC);
        EXPECT_GE(_fd, 0);
        _process = std::make_unique<ChildProcess>(std::vector<std::string>{"/bin/sh", "-c", command}, env);
    }
    ~FedProvider() {
        if (_fd >= 0) {
            ::close(_fd);
        }
        if (_process->started() && !_process->waitExit(std::chrono::milliseconds(0))) {
            _process->signal(SIGTERM);
            _process->waitExit();
        }
    }
    FedProvider(const FedProvider&) = delete;
    FedProvider& operator=(const FedProvider&) = delete;

    void send(const std::string& row) {
        const std::string line = row + "\n";
        ASSERT_EQ(::write(_fd, line.data(), line.size()), static_cast<ssize_t>(line.size()));
    }
    ChildProcess& process() { return *_process; }

  private:
    std::unique_ptr<ChildProcess> _process;
    int _fd = -1;
};

class ActionsE2E : public ::testing::Test {
  protected:
    void SetUp() override { _dir.write("app.desc", kDescription); }

    std::vector<std::string> env(const std::vector<std::string>& extra = {}) const {
        return vorpane::testing::agentEnvironment(_dir.path(), _ports, extra);
    }

    // The agent without built-in providers, its API up and its action log source online.
    void startAgent(const std::vector<std::string>& extra = {}) {
        _agent = std::make_unique<ChildProcess>(std::vector<std::string>{VORPANE_AGENT_BIN, "NODP"}, env(extra));
        ASSERT_TRUE(_agent->waitForOutput("Management API listening on")) << _agent->output();
        ASSERT_TRUE(_agent->waitForOutput("dp_online for Action table successful")) << _agent->output();
    }

    void TearDown() override {
        if (_agent) {
            _agent->signal(SIGTERM);
            EXPECT_EQ(_agent->waitExit(), 0) << _agent->output();
        }
    }

    Json ctl(std::vector<std::string> args, int expectedExit = 0) const {
        args.insert(args.begin(), {VORPANECTL_BIN, "--json"});
        ChildProcess c(args, env());
        EXPECT_EQ(c.waitExit(), expectedExit) << c.output();
        return Json::parse(c.output(), nullptr, false);
    }

    // The (application, table) of the registered table that has the attribute.
    std::pair<std::string, std::string> tableWith(const std::string& applPrefix, const std::string& attribute) const {
        return vorpane::testing::tableWith(VORPANECTL_BIN, env(), applPrefix, attribute);
    }

    // The provider of the test's application for one source: brings it online, so that the
    // application, its table and collection thread exist before the source that is watched.
    std::unique_ptr<ChildProcess> firstSource() const {
        auto p = std::make_unique<ChildProcess>(
            std::vector<std::string>{VORPANE_DP_BIN, "--file", _dir.file("app.desc"), "--online", "host1", "--wait"},
            dpEnv());
        EXPECT_TRUE(_agent->waitForOutput("Subnode <host1:E2EACT00> register")) << _agent->output() << p->output();
        return p;
    }

    std::vector<std::string> dpEnv() const { return vorpane::testing::providerEnvironment(_dir.path(), _ports); }

    // Asks the agent for the situation until check accepts it or the deadline passes.
    Json situationUntil(const std::string& name, const std::function<bool(const Json&)>& check) const {
        return vorpane::testing::askUntil([&] { return ctl({"situation", "list", name}); }, check);
    }

    static int actionsOf(const Json& situation) {
        int n = 0;
        for (const auto& st : situation["states"]) {
            n += st["actions"].get<int>();
        }
        return n;
    }

    // Waits until a report of the subnode shows count rows. A situation defined after that sees them
    // all in one sample: rows that trickle in across a sample's boundary would raise it on the first
    // sample and find it already raised, so without an action, on the next.
    void waitForRows(const std::string& appl, const std::string& table, const std::string& subnode,
                     size_t count) const {
        const size_t seen = vorpane::testing::askUntil(
            [&] { return ctl({"rows", appl, table, "--subnode", subnode})["rows"].size(); },
            [&](size_t n) { return n == count; });
        ASSERT_EQ(seen, count);
    }

    // Rows of the agent's action log, read through the action source's own subnode (which the agent
    // names as it skips registering it: "<host>ACT:VAGENT00").
    std::vector<Json> actionLog() const {
        const auto [appl, table] = tableWith("VAGENT", "Action_Name");
        EXPECT_FALSE(table.empty());
        const std::string marker = "Skipping subnode registration of Action Node Name <";
        EXPECT_TRUE(_agent->waitForOutput(marker));
        const std::string out = _agent->output();
        const size_t from = out.find(marker) + marker.size();
        const std::string subnode = out.substr(from, out.find('>', from) - from);
        EXPECT_EQ(subnode, shortHostName() + "ACT:" + appl);
        const Json report = ctl({"rows", appl, table, "--subnode", subnode});
        std::vector<Json> rows;
        for (const auto& r : report["rows"]) {
            rows.push_back(r);
        }
        return rows;
    }

    TempDir _dir;
    vorpane::testing::AgentPorts _ports;
    std::unique_ptr<ChildProcess> _agent;
};

// A situation with a take-action on a provider's table: the command reaches the provider that owns
// the firing rows' source once per firing row and never again while the situation stays raised; the
// handler's exit status comes back as the action's result; each action is logged twice in the agent's
// ACTION table (handed over, then its result).
TEST_F(ActionsE2E, ASituationsActionRunsOncePerFiringRowAndItsResultIsLogged) {
    // The name the agent gives its ACTION table: requests on it that name the DPLOG subnode are
    // served from the action source.
    startAgent({"ZOTA_ACTION_TABLE_NAME=VAGU4TRZ00"});
    auto first = firstSource();
    const auto [appl, table] = tableWith("E2EACT", "Used");
    ASSERT_FALSE(table.empty());

    const std::string log = _dir.file("actions.log");
    const std::string handler = "printf '%s|%s|%s|%s\\n' \"$VORPANE_ACTION_NAME\" \"$VORPANE_ACTION_PARMS\" "
                                "\"$VORPANE_ACTION_OWNER\" \"$VORPANE_ACTION_NODE\" >> " + log +
                                "; echo handled; exit 3";
    FedProvider dp(_dir, "host2",
                   {"--file", _dir.file("app.desc"), "--online", "host2", "--handler", handler}, dpEnv());
    ASSERT_TRUE(dp.process().waitForOutput("dp_waitForAction host2 type 1: status 0")) << dp.process().output();
    ASSERT_TRUE(_agent->waitForOutput("Subnode <host2:E2EACT00> register")) << _agent->output();
    dp.send("DISK Disk=d1 Kind=ssd Used=20");
    dp.send("DISK Disk=d2 Kind=ssd Used=30");
    dp.send("DISK Disk=d3 Kind=hdd Used=5");
    waitForRows(appl, table, "host2:E2EACT00", 3);
    ctl({"situation", "add", "Disk_Busy", "--app", appl, "--table", table, "--where", "Used > 18", "--interval",
         "60", "--action", "Restart_Disk now PASSWORD=hidden"});

    Json s = situationUntil("Disk_Busy", [](const Json& j) { return actionsOf(j) >= 2; });
    ASSERT_EQ(actionsOf(s), 2) << s.dump();
    for (const auto& st : s["states"]) {
        if (st["actions"].get<int>() > 0) {
            EXPECT_EQ(st["subnode"], "host2:E2EACT00");
            EXPECT_EQ(st["lastActionResult"], -3) << s.dump();
        }
    }
    // Three more samples with the situation still raised: no further action.
    const int samples = s["samples"].get<int>();
    s = situationUntil("Disk_Busy", [&](const Json& j) { return j["samples"].get<int>() >= samples + 3; });
    EXPECT_GE(s["samples"].get<int>(), samples + 3);
    EXPECT_EQ(actionsOf(s), 2);
    const std::vector<std::string> received = lines(log);
    ASSERT_EQ(received.size(), 2u) << dp.process().output();
    for (const std::string& line : received) {
        EXPECT_EQ(line, "Restart_Disk|now PASSWORD=hidden|Disk_Busy|host2:E2EACT00");
    }
    EXPECT_NE(dp.process().output().find("(handler status -3): status 0"), std::string::npos);

    // The log: for each action one row when it was handed over and one with its result.
    const std::vector<Json> rows =
        vorpane::testing::askUntil([&] { return actionLog(); }, [](const std::vector<Json>& r) { return r.size() >= 4; });
    ASSERT_EQ(rows.size(), 4u);
    std::map<std::string, int> statuses;
    std::set<int> ids;
    for (const Json& r : rows) {
        EXPECT_EQ(r["Action_Type"], "AUTOMATION") << r.dump();
        EXPECT_EQ(r["Action_Owner"], "Disk_Busy");
        EXPECT_EQ(r["Action_Node"], "host2:E2EACT00");
        EXPECT_EQ(r["Action_Name"], "Restart_Disk");
        EXPECT_EQ(r["Action_Parms"], "now PASSWORD=hidden");
        ++statuses[r["Action_Status"]];
        ids.insert(r["Action_ID"].get<int>());
        if (r["Action_Status"] != "UNKNOWN") {
            EXPECT_EQ(r["Action_Result"], "handled");
        }
    }
    EXPECT_EQ(statuses, (std::map<std::string, int>{{"UNKNOWN", 2}, {"EXECUTED - RETURN STATUS 3", 2}}));
    EXPECT_EQ(ids.size(), 2u);

    // A plain report on the table: its subnodes are the application's registered ones, of which the
    // DPLOG source's stands for the action source.
    const auto [logAppl, logTable] = tableWith("VAGENT", "Action_Name");
    ASSERT_EQ(logTable, "VAGU4TRZ00");
    const Json plain = ctl({"rows", logAppl, logTable});
    EXPECT_EQ(plain["count"], 4) << plain.dump();
}

// An atomic situation (ZOTA_ATOMIC_SITUATIONS names it with its column): among the rows that fire
// together, the action runs once per distinct value of that column.
TEST_F(ActionsE2E, AnAtomicSituationsActionRunsOncePerDistinctValue) {
    startAgent({"ZOTA_ATOMIC_SITUATIONS=Disk_Kind:2"});
    auto first = firstSource();
    const auto [appl, table] = tableWith("E2EACT", "Used");
    ASSERT_FALSE(table.empty());
    const std::string log = _dir.file("kinds.log");
    FedProvider dp(_dir, "host2",
                   {"--file", _dir.file("app.desc"), "--online", "host2", "--handler",
                    "echo \"$VORPANE_ACTION_ID\" >> " + log},
                   dpEnv());
    ASSERT_TRUE(dp.process().waitForOutput("dp_waitForAction host2 type 1: status 0")) << dp.process().output();
    ASSERT_TRUE(_agent->waitForOutput("Subnode <host2:E2EACT00> register")) << _agent->output();
    dp.send("DISK Disk=d1 Kind=ssd Used=20");
    dp.send("DISK Disk=d2 Kind=ssd Used=30");
    dp.send("DISK Disk=d3 Kind=hdd Used=40");
    dp.send("DISK Disk=d4 Kind=ssd Used=50");
    waitForRows(appl, table, "host2:E2EACT00", 4);
    ctl({"situation", "add", "Disk_Kind", "--app", appl, "--table", table, "--where", "Used > 18", "--interval", "60",
         "--action", "Tag_Kind"});

    // The framework sends one command per firing row (4); the agent forwards one per kind.
    Json s = situationUntil("Disk_Kind", [](const Json& j) { return actionsOf(j) >= 4; });
    ASSERT_EQ(actionsOf(s), 4) << s.dump();
    ASSERT_TRUE(_agent->waitForOutput("Duplicate action request for atomic attribute value <ssd>")) << _agent->output();
    const int samples = s["samples"].get<int>();
    s = situationUntil("Disk_Kind", [&](const Json& j) { return j["samples"].get<int>() >= samples + 2; });
    EXPECT_EQ(lines(log).size(), 2u) << dp.process().output();
}

// A provider killed while it holds an action: the agent gives the situation a failure result once the
// result wait ends, and goes on serving.
TEST_F(ActionsE2E, AProviderKilledWhileHoldingAnActionGivesAFailureResult) {
    startAgent();
    auto first = firstSource();
    const auto [appl, table] = tableWith("E2EACT", "Used");
    ASSERT_FALSE(table.empty());
    ctl({"situation", "add", "Disk_Gone", "--app", appl, "--table", table, "--where", "Used > 18", "--interval", "60",
         "--action", "Restart_Disk"});
    // The handler kills its own provider (kill -9) and ends: the action is never answered.
    FedProvider dp(_dir, "host2",
                   {"--file", _dir.file("app.desc"), "--online", "host2", "--handler",
                    "echo held > " + _dir.file("held") + "; kill -9 $PPID"},
                   dpEnv());
    ASSERT_TRUE(dp.process().waitForOutput("dp_waitForAction host2 type 1: status 0")) << dp.process().output();
    ASSERT_TRUE(_agent->waitForOutput("Subnode <host2:E2EACT00> register")) << _agent->output();
    dp.send("DISK Disk=d1 Kind=ssd Used=20");
    EXPECT_EQ(dp.process().waitExit(std::chrono::seconds(30)), 128 + SIGKILL);

    Json s = situationUntil("Disk_Gone", [](const Json& j) {
        for (const auto& st : j["states"]) {
            if (st["actions"].get<int>() == 1 && st["lastActionResult"].get<int>() != 0) {
                return true;
            }
        }
        return false;
    });
    ASSERT_EQ(actionsOf(s), 1) << s.dump();
    for (const auto& st : s["states"]) {
        if (st["actions"].get<int>() == 1) {
            EXPECT_EQ(st["lastActionResult"], 1) << s.dump();  // UNKNOWN: no result came
        }
    }
    EXPECT_EQ(lines(_dir.file("held")), std::vector<std::string>{"held"});
    ASSERT_TRUE(_agent->waitForOutput("Error: no result for actionID<")) << _agent->output();
    EXPECT_EQ(ctl({"health"})["agent"], "Vorpane Agent");
}

// Local_Action runs a shell command of the agent's user only with ZOTA_LOCAL_ACTION=Y.
TEST_F(ActionsE2E, LocalActionIsRefusedByDefaultAndRunsWhenAllowed) {
    const std::string marker = _dir.file("local-action-ran");
    const std::string subnode = shortHostName() + "_LOGdp:VAGENT00";
    {
        startAgent();
        ASSERT_TRUE(_agent->waitForOutput("Subnode <" + subnode + "> register")) << _agent->output();
        const Json refused = ctl({"action", "Local_Action touch " + marker, "--subnode", subnode}, 8);
        EXPECT_EQ(refused["result"], 1) << refused.dump();
        EXPECT_EQ(refused["text"], "Local_Action refused: local commands run only with ZOTA_LOCAL_ACTION=Y")
            << refused.dump();
        EXPECT_TRUE(_agent->waitForOutput("Error: Local_Action refused")) << _agent->output();
        TearDown();
        _agent.reset();
    }
    struct stat st {};
    EXPECT_NE(stat(marker.c_str(), &st), 0);
    startAgent({"ZOTA_LOCAL_ACTION=Y"});
    ASSERT_TRUE(_agent->waitForOutput("Subnode <" + subnode + "> register")) << _agent->output();
    const Json ran = ctl({"action", "Local_Action touch " + marker, "--subnode", subnode});
    EXPECT_EQ(ran["result"], 0) << ran.dump();
    EXPECT_EQ(stat(marker.c_str(), &st), 0);
}

// The environment a handler received, one "KEY=VALUE" per VORPANE_ACTION_ variable, per action.
std::vector<std::map<std::string, std::string>> recordedActions(const std::string& path) {
    std::vector<std::map<std::string, std::string>> actions(1);
    for (const std::string& line : lines(path)) {
        if (line == "----") {
            actions.emplace_back();
        } else if (size_t eq = line.find('='); eq != std::string::npos) {
            actions.back()[line.substr(0, eq)] = line.substr(eq + 1);
        }
    }
    actions.pop_back();
    return actions;
}

// A situation with a filter tells the provider of each of its subnodes to evaluate the filter
// (RULESTART with the interval, application, group and the filter's attributes) and to stop when the
// situation is removed (RULESTOP with the same action ID).
TEST_F(ActionsE2E, ASituationStartsAndStopsItsRuleAtTheProvider) {
    startAgent();
    auto first = firstSource();
    const auto [appl, table] = tableWith("E2EACT", "Used");
    ASSERT_FALSE(table.empty());
    const std::string log = _dir.file("rules.log");
    ChildProcess dp({VORPANE_DP_BIN, "--file", _dir.file("app.desc"), "--online", "host2", "--action-types", "2",
                     "--handler", "env | grep ^VORPANE_ACTION_ | sort >> " + log + "; echo ---- >> " + log},
                    dpEnv());
    ASSERT_TRUE(dp.waitForOutput("dp_waitForAction host2 type 2: status 0")) << dp.output();
    ASSERT_TRUE(_agent->waitForOutput("Subnode <host2:E2EACT00> register")) << _agent->output();

    ctl({"situation", "add", "Disk_Rule", "--app", appl, "--table", table, "--where", "Used > 18 AND Kind == 'ssd'",
         "--interval", "120"});
    ASSERT_TRUE(dp.waitForOutput("RULESTART on host2:E2EACT00")) << dp.output() << _agent->output();
    ctl({"situation", "rm", "Disk_Rule"});
    ASSERT_TRUE(dp.waitForOutput("RULESTOP on host2:E2EACT00")) << dp.output() << _agent->output();

    const auto actions = recordedActions(log);
    ASSERT_EQ(actions.size(), 2u) << dp.output();
    const auto& start = actions[0];
    const auto& stop = actions[1];
    EXPECT_EQ(start.at("VORPANE_ACTION_NAME"), "RULESTART");
    EXPECT_EQ(start.at("VORPANE_ACTION_TYPE"), "2");
    EXPECT_EQ(start.at("VORPANE_ACTION_OWNER"), "Disk_Rule");
    EXPECT_EQ(start.at("VORPANE_ACTION_NODE"), "host2:E2EACT00");
    EXPECT_EQ(start.at("VORPANE_ACTION_PARMS"),
              "INTERVAL=120 APPLNAME=E2EACT ATTRGROUP=DISK ATTRIBUTES=(Used GT 18) (Kind EQ ssd)");
    EXPECT_EQ(stop.at("VORPANE_ACTION_NAME"), "RULESTOP");
    EXPECT_EQ(stop.at("VORPANE_ACTION_TYPE"), "2");
    EXPECT_EQ(stop.at("VORPANE_ACTION_OWNER"), "Disk_Rule");
    EXPECT_EQ(stop.at("VORPANE_ACTION_NODE"), "host2:E2EACT00");
    EXPECT_EQ(stop.at("VORPANE_ACTION_PARMS"), "");
    EXPECT_EQ(stop.at("VORPANE_ACTION_ID"), start.at("VORPANE_ACTION_ID"));
    dp.signal(SIGTERM);
    EXPECT_EQ(dp.waitExit(), 0);
}

class DemandReportE2E : public ActionsE2E {
  protected:
    // Demand reporting on; a report request expires after 5 seconds (checked every 3), within the
    // API's wait for a report. The clock runs at twice its speed: the provider's answer takes real
    // time that the expiration must leave room for.
    void startDemandAgent() {
        startAgent({"ZOTA_DEMAND_REPORT=Y", "ZOTA_REPORT_REQUEST_EXPIRATION=5", "VORPANE_TIME_SPEEDUP=2"});
    }

    std::vector<std::pair<std::string, int>> rowsOf(const std::string& appl, const std::string& table,
                                                    const std::string& subnode) const {
        const Json report = ctl({"rows", appl, table, "--subnode", subnode});
        std::vector<std::pair<std::string, int>> rows;
        for (const auto& r : report["rows"]) {
            rows.emplace_back(r["Disk"].get<std::string>(), r["Used"].get<int>());
        }
        return rows;
    }
};

// A report on a source with demand reporting is deferred and asks the provider for fresh rows
// (REPORT_REQUEST with the group); the provider's rows and its redrive complete the report with them.
TEST_F(DemandReportE2E, AReportIsAnsweredWithTheProvidersFreshRows) {
    startDemandAgent();
    auto first = firstSource();
    const auto [appl, table] = tableWith("E2EACT", "Used");
    ASSERT_FALSE(table.empty());
    const std::string log = _dir.file("reports.log");
    ChildProcess dp({VORPANE_DP_BIN, "--file", _dir.file("app.desc"), "--online", "host2", "--demand-report",
                     "--row", "DISK Disk=d1 Kind=ssd Used=20", "--handler",
                     "env | grep ^VORPANE_ACTION_ | sort >> " + log + "; echo ---- >> " + log +
                         "; echo 'DISK Disk=d1 Kind=ssd Used=99'"},
                    dpEnv());
    ASSERT_TRUE(dp.waitForOutput("dp_setDemandReportOption DISK@host2 on: status 0")) << dp.output()
                                                                                       << _agent->output();
    ASSERT_TRUE(dp.waitForOutput("(--row 1): status 0")) << dp.output();

    // The report completes once the provider answered, and the answer reaches the request only
    // behind the fresh row it sent: the first answered report shows it.
    EXPECT_EQ(rowsOf(appl, table, "host2:E2EACT00"), (std::vector<std::pair<std::string, int>>{{"d1", 99}}))
        << _agent->output();
    EXPECT_TRUE(dp.waitForOutput("REPORT_REQUEST on host2:E2EACT00 (1 rows): status 0")) << dp.output();
    const auto actions = recordedActions(log);
    ASSERT_EQ(actions.size(), 1u);
    EXPECT_EQ(actions[0].at("VORPANE_ACTION_TYPE"), "5");
    EXPECT_EQ(actions[0].at("VORPANE_ACTION_NAME"), "REPORT_REQUEST");
    EXPECT_EQ(actions[0].at("VORPANE_ACTION_PARMS"), "ATTRGROUP=DISK");
    // Completed by the answer, not by the expiry of the request.
    EXPECT_NE(_agent->output().find("Found a match on Action ID " + actions[0].at("VORPANE_ACTION_ID")),
              std::string::npos);
    EXPECT_NE(_agent->output().find("its report can go on"), std::string::npos) << _agent->output();
    EXPECT_EQ(_agent->output().find("Redriving expired report request"), std::string::npos) << _agent->output();
    EXPECT_EQ(rowsOf(appl, table, "host2:E2EACT00"), (std::vector<std::pair<std::string, int>>{{"d1", 99}}));
    EXPECT_EQ(recordedActions(log).size(), 2u);
    dp.signal(SIGTERM);
    EXPECT_EQ(dp.waitExit(), 0);
}

// A provider that never answers its report request: the request expires after the configured time
// and the report completes with the rows stored before.
TEST_F(DemandReportE2E, AnUnansweredReportExpiresOnTimeWithTheStoredRows) {
    startDemandAgent();
    auto first = firstSource();
    const auto [appl, table] = tableWith("E2EACT", "Used");
    ASSERT_FALSE(table.empty());
    ChildProcess dp({VORPANE_DP_BIN, "--file", _dir.file("app.desc"), "--online", "host2", "--demand-report",
                     "--row", "DISK Disk=d1 Kind=ssd Used=20", "--handler", "exit 1"},
                    dpEnv());
    ASSERT_TRUE(dp.waitForOutput("dp_setDemandReportOption DISK@host2 on: status 0")) << dp.output()
                                                                                       << _agent->output();
    ASSERT_TRUE(dp.waitForOutput("(--row 1): status 0")) << dp.output();

    const auto rows = rowsOf(appl, table, "host2:E2EACT00");
    EXPECT_EQ(rows, (std::vector<std::pair<std::string, int>>{{"d1", 20}})) << _agent->output();
    EXPECT_TRUE(dp.waitForOutput("REPORT_REQUEST on host2:E2EACT00: handler status -1, the request is not answered"))
        << dp.output();
    // "Redriving expired report request @... for attrGroup <DISK> time T, currentTime C, ...": the
    // monitor looks every 3 seconds, so it finds the request between 5 and 8 seconds old.
    ASSERT_TRUE(_agent->waitForOutput("Redriving expired report request")) << _agent->output();
    const std::string out = _agent->output();
    const size_t at = out.find("Redriving expired report request");
    long time = 0;
    long current = 0;
    ASSERT_EQ(std::sscanf(out.c_str() + out.find(" time ", at), " time %ld, currentTime %ld", &time, &current), 2);
    EXPECT_GT(current - time, 5);
    EXPECT_LE(current - time, 5 + 3 + 1);
    dp.signal(SIGTERM);
    EXPECT_EQ(dp.waitExit(), 0);
}

}  // namespace
