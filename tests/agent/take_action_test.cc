// The take-action dispatch: the command parsers on text, and VA_Action with a framework request of
// the in-memory table, the agent's lists and a real hub with a provider that records its actions.
#include "agent/take_action.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "agent/agent_lists.h"
#include "agent/va_limits.h"
#include "datapath/atomic_situation_list.h"
#include "datapath/samples_list.h"
#include "interfaces/axf.h"
#include "interfaces/dch_client.h"
#include "interfaces/support.h"
#include "platform/axf/memory_table.h"
#include "testlib/hub_fixture.h"
#include "testlib/scoped_env.h"
#include "testlib/temp_dir.h"
#include "testlib/trace_capture.h"

namespace {

using vorpane::DPactionRequest;
using vorpane::HubProvider;
using vorpane::action::commandForTrace;
using vorpane::action::parseActionCommand;
using vorpane::action::parseConsoleMessage;
using vorpane::action::policyOwner;
using vorpane::action::withLogonId;
using vorpane::testing::ScopedEnv;
using vorpane::testing::TempDir;
using vorpane::testing::TestHub;
using vorpane::testing::TraceCapture;

// ---------------------------------------------------------------------------------------------------
// Parsing

TEST(TakeActionParsing, NamesQuotedOrNotAndTheirParameters) {
    auto quoted = parseActionCommand("'Restart Disk' now");
    ASSERT_TRUE(quoted.ok);
    EXPECT_EQ(quoted.name, "\"Restart Disk\"");
    EXPECT_EQ(quoted.parms, "now");

    auto alone = parseActionCommand("'Restart Disk'");
    ASSERT_TRUE(alone.ok);
    EXPECT_EQ(alone.name, "\"Restart Disk\"");
    EXPECT_FALSE(alone.parms.has_value());

    EXPECT_FALSE(parseActionCommand("'Restart Disk now").ok);  // no closing quote
    EXPECT_FALSE(parseActionCommand("''").ok);                 // an empty quoted name
    EXPECT_FALSE(parseActionCommand("   ").ok);

    auto plain = parseActionCommand("Restart the disk now");
    ASSERT_TRUE(plain.ok);
    EXPECT_EQ(plain.name, "Restart");
    EXPECT_EQ(plain.parms, "the disk now");
    auto single = parseActionCommand("Restart");
    EXPECT_EQ(single.name, "Restart");
    EXPECT_FALSE(single.parms.has_value());
}

TEST(TakeActionParsing, SecretsAreCutFromTracesAndPolicyNamesBecomeOwners) {
    EXPECT_EQ(commandForTrace("Run x PASSWORD=secret y"), "Run x PASSWORD=");
    EXPECT_EQ(commandForTrace("Run x LOGONID=me<e*n*d>"), "Run x");
    EXPECT_EQ(commandForTrace("Run LOGONID=me PASSWORD=s"), "Run");
    EXPECT_EQ(commandForTrace("Run x"), "Run x");

    std::optional<std::string> parms = "NAME=pol1 more";
    EXPECT_EQ(policyOwner(&parms), "pol1");
    EXPECT_EQ(parms, " more");
    std::optional<std::string> none;
    EXPECT_EQ(policyOwner(&none), "_POLNAME_");

    EXPECT_EQ(withLogonId(std::string("now"), "admin ops"), "now LOGONID=admin<e*n*d>");
    EXPECT_EQ(withLogonId(std::nullopt, "admin"), " LOGONID=admin<e*n*d>");
}

TEST(TakeActionParsing, ConsoleMessagesNeedAllThreeValues) {
    auto m = parseConsoleMessage("cat=Disk SEV=Warning MSG=\"Disk \"\"full\"\"\"   ");
    EXPECT_TRUE(m.complete);
    EXPECT_EQ(m.category, "Disk");
    EXPECT_EQ(m.severity, "Warning");
    EXPECT_EQ(m.text, "Disk \"full\"");

    TraceCapture trace;
    auto noSeverity = parseConsoleMessage("CAT=Disk SEV= MSG=text");
    EXPECT_FALSE(noSeverity.complete);
    EXPECT_TRUE(trace.contains("Error: No SEV= value supplied. Unable to process Vorpane_Message request"));
    auto noText = parseConsoleMessage("CAT=Disk SEV=Low MSG=");
    EXPECT_FALSE(noText.complete);
    EXPECT_TRUE(trace.contains("Error: No MSG= value supplied."));
}

// ---------------------------------------------------------------------------------------------------
// Dispatch

constexpr const char* kAttrs = "Name,D,16, , ,Its name;Count,C,4, , ,How many";

// Registers ACTAPP, brings its source SRC1 online and waits for the automation actions of SRC1.
void ownSourceAndWaitForActions(HubProvider& hub) {
    int status = 0;
    int handle = 0;
    EXPECT_EQ(hub.connect(), 0);
    EXPECT_EQ(hub.dp_register(&status, {"ACTAPP", "help", {{"G1", "G1 help", 'P', 60, "APIS", kAttrs}}}), 0);
    EXPECT_EQ(hub.dp_online(&status, &handle, "ACTAPP", "G1", "SRC1"), 0);
    EXPECT_EQ(hub.dp_waitForAction(&status, 1, "SRC1"), 0);
}

// A provider of ACTAPP that owns source SRC1, waits for automation actions and answers each with
// status -3 and the text "did <name> <parms>".
class RecordingProvider {
public:
    RecordingProvider() {
        ownSourceAndWaitForActions(_hub);
        _thread = std::thread([this] {
            DPactionRequest a;
            while (_hub.nextAction(&a, -1) == 0) {
                {
                    std::lock_guard<std::mutex> g(_lock);
                    _actions.push_back(a);
                }
                int answer = 0;
                _hub.dp_provideActionResults(&answer, a.actionID, -3, "did " + a.name + " " + a.parms);
            }
        });
    }
    ~RecordingProvider() {
        _hub.cancel();
        _thread.join();
    }
    std::vector<DPactionRequest> actions() {
        std::lock_guard<std::mutex> g(_lock);
        return _actions;
    }

private:
    HubProvider _hub;
    std::thread _thread;
    std::mutex _lock;
    std::vector<DPactionRequest> _actions;
};

// A provider of ACTAPP on SRC1 that holds the automation actions it receives until `count` of them
// are there and release() is called, then answers them last first: an action named "Act<d>" gets
// status -(d + 1) and the text "answer <name>".
class HoldingProvider {
public:
    explicit HoldingProvider(size_t count) : _count(count) {
        ownSourceAndWaitForActions(_hub);
        _thread = std::thread([this] {
            std::vector<DPactionRequest> held;
            DPactionRequest a;
            while (held.size() < _count && _hub.nextAction(&a, -1) == 0) {
                held.push_back(a);
                std::lock_guard<std::mutex> g(_lock);
                _received = held.size();
                _changed.notify_all();
            }
            {
                std::unique_lock<std::mutex> g(_lock);
                _changed.wait(g, [this] { return _released; });
            }
            for (size_t i = held.size(); i-- > 0;) {
                int answer = 0;
                _hub.dp_provideActionResults(&answer, held[i].actionID, -(held[i].name.back() - '0' + 1),
                                             "answer " + held[i].name);
            }
        });
    }
    ~HoldingProvider() {
        release();
        _hub.cancel();
        _thread.join();
    }
    bool waitForAll() {
        std::unique_lock<std::mutex> g(_lock);
        return _changed.wait_for(g, std::chrono::seconds(20), [this] { return _received == _count; });
    }
    void release() {
        std::lock_guard<std::mutex> g(_lock);
        _released = true;
        _changed.notify_all();
    }

private:
    const size_t _count;
    HubProvider _hub;
    std::thread _thread;
    std::mutex _lock;
    std::condition_variable _changed;
    size_t _received = 0;
    bool _released = false;
};

// Connections of this process to the port that are open (ESTABLISHED), from the client's side.
int connectionsTo(int port) {
    std::ifstream tcp("/proc/self/net/tcp");
    std::string line;
    std::getline(tcp, line);  // the heading
    int n = 0;
    while (std::getline(tcp, line)) {
        std::istringstream in(line);
        std::string slot, local, remote, state;
        in >> slot >> local >> remote >> state;
        const unsigned long remotePort = std::stoul(remote.substr(remote.find(':') + 1), nullptr, 16);
        if (static_cast<int>(remotePort) == port && state == "01") {
            ++n;
        }
    }
    return n;
}

class TakeActionDispatch : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(_hub.ready());
        vorpane::setWorkDirectory(_dir.path());
        ZOT0_InitializeProductSpec("VA");
        createAgentLists();
        VA_LIMITS limits;
        limits.vmcCommand = 'Y';
        limits.actionLogonId = 'Y';
        setVaLimits(limits);
        _subnode = dataSamples()->onlineEntry("ACTAPP", "ACTTBL", "G1", "00", "SRC1", nullptr).value_or("");
        ASSERT_EQ(_subnode, "SRC1:ACTAPP00");
        dataSamples()->subnodeOnline(_subnode.c_str());  // registered with the framework
    }
    void TearDown() override {
        deleteAgentLists();
        setVaLimits(VA_LIMITS());
        vorpane::setWorkDirectory(std::string());
    }

    // Runs one command for a row of the table under the situation.
    // interval 0: an event situation.
    long run(const std::string& command, const std::vector<std::string>& row, const std::string& user = "",
             int interval = 60) {
        RequestDetail detail;
        detail.applName = "ACTAPP00";
        detail.tableName = "ACTTBL";
        detail.situationName = "SIT_A";
        detail.interval = interval;
        detail.subnodes = {_subnode};
        ContextInfo context;
        std::unique_ptr<plaxf> request = _table.CreatePlaxf(&detail, &context);
        EXPECT_EQ(request->InsertRow(_table.rowImage(row).data()), 0);
        PlaxfAutomationCapsule capsule(command, user, request.get(), 0);
        const long result = VA_Action(&capsule);
        EXPECT_TRUE(capsule.HasResults());
        EXPECT_EQ(capsule.Results(), result);
        _lastActionId = capsule.ActionId();
        std::lock_guard<std::mutex> g(_textLock);
        _lastText = capsule.ResultText();
        return result;
    }
    // What the dispatch said of the last action's result.
    std::string lastText() {
        std::lock_guard<std::mutex> g(_textLock);
        return _lastText;
    }

    TempDir _dir;
    TestHub _hub;
    axf::MemoryTable _table{"ACTAPP00", "ACTTBL",
                            {{"ORIGINNODE", "Node", "", AXF_COLUMN_STRING, 32},
                             {"VA1", "Name", "Name", AXF_COLUMN_STRING, 16},
                             {"VA2", "Count", "Count", AXF_COLUMN_INT32, 4}}};
    std::string _subnode;
    // The identifier the dispatch gave the last action; several callers may run at once.
    std::atomic<long> _lastActionId{0};
    std::mutex _textLock;
    std::string _lastText;
};

TEST_F(TakeActionDispatch, AnActionGoesToItsProviderAndItsResultComesBack) {
    RecordingProvider provider;
    TraceCapture trace;
    EXPECT_EQ(run("'Restart Disk' now PASSWORD=secret", {_subnode, "disk1", "5"}, "admin ops"), -3);
    const auto actions = provider.actions();
    ASSERT_EQ(actions.size(), 1u);
    EXPECT_EQ(actions[0].name, "\"Restart Disk\"");
    EXPECT_EQ(actions[0].parms, "now PASSWORD=secret LOGONID=admin<e*n*d>");
    EXPECT_EQ(actions[0].owner, "SIT_A");
    EXPECT_EQ(actions[0].node, "SRC1:ACTAPP00");
    EXPECT_EQ(_lastActionId.load(), actions[0].actionID);  // the caller learns the identifier the provider saw
    EXPECT_EQ(lastText().rfind("did \"Restart Disk\" now", 0), 0u) << lastText();  // and the provider's text
    for (const std::string& line : trace.lines()) {
        EXPECT_EQ(line.find("secret"), std::string::npos) << line;
    }

    // A row of a subnode without a registered sample is not sent.
    EXPECT_EQ(run("Restart now", {"OTHER:ACTAPP00", "disk1", "5"}), 1);
    EXPECT_TRUE(trace.contains("Note: Subnode <OTHER:ACTAPP00> is already online and registered"));
    EXPECT_EQ(provider.actions().size(), 1u);
}

TEST_F(TakeActionDispatch, AtomicSituationsActOncePerValueWithinTheInterval) {
    RecordingProvider provider;
    ASSERT_NE(atomicSituations()->addEntry("SIT_A", 1), nullptr);  // column 1: Name
    EXPECT_EQ(run("Clean", {_subnode, "disk1", "5"}), -3);
    EXPECT_EQ(run("Clean", {_subnode, "disk1", "6"}), 1);  // same value: skipped
    EXPECT_EQ(run("Clean", {_subnode, "disk2", "5"}), -3);
    ASSERT_EQ(provider.actions().size(), 2u);

    // A stopped situation forgets its values: the next firing acts again.
    TraceCapture trace;
    ASSERT_EQ(dc_provideAction(2, "SIT_A", "SRC1:ACTAPP00", "SRC1:ACTAPP00", "RULESTOP", 900, nullptr), 0);
    ASSERT_TRUE(trace.waitFor("Removing atomic event list for situation <SIT_A>"));
    EXPECT_EQ(atomicSituations()->findEntry("SIT_A")->getAtomicEventList(), nullptr);
    EXPECT_EQ(run("Clean", {_subnode, "disk1", "5"}), -3);
    EXPECT_EQ(provider.actions().size(), 3u);

    // As an event situation (no interval) it skips the repeats of a value just the same.
    EXPECT_EQ(run("Clean", {_subnode, "disk4", "5"}, "", 0), -3);
    EXPECT_EQ(run("Clean", {_subnode, "disk4", "5"}, "", 0), 1);
    EXPECT_EQ(run("Clean", {_subnode, "disk1", "5"}, "", 0), 1);
    EXPECT_EQ(provider.actions().size(), 4u);
}

// Actions waiting for their providers hold no hub connection of their own: the agent's one results
// connection brings every result to the caller of its action, whatever the order of the answers.
TEST_F(TakeActionDispatch, WaitingActionsShareOneConnectionAndEachGetsItsOwnResult) {
    constexpr size_t kActions = 3;
    HoldingProvider provider(kActions);
    std::vector<long> results(kActions, 0);
    std::vector<std::thread> callers;
    for (size_t i = 0; i < kActions; ++i) {
        callers.emplace_back([&, i] { results[i] = run("Act" + std::to_string(i), {_subnode, "disk1", "5"}); });
    }
    EXPECT_TRUE(provider.waitForAll());
    // The provider's connection and the results connection; none for the three waiting actions.
    EXPECT_EQ(connectionsTo(_hub.port()), 2);
    provider.release();
    for (std::thread& t : callers) {
        t.join();
    }
    // Each caller got the status of its own action, though they were answered last first.
    EXPECT_EQ(results, (std::vector<long>{-1, -2, -3}));
}

TEST_F(TakeActionDispatch, AnActionNoProviderWaitsForFailsAtOnce) {
    // The hub answers SOURCE_OFFLINE at once; waiting out the time-out would give 1.
    EXPECT_EQ(run("Restart now", {_subnode, "disk1", "5"}), 8);
    EXPECT_EQ(lastText(), "SOURCE_OFFLINE");
}

TEST_F(TakeActionDispatch, ConsoleMessagesGoToTheFramework) {
    TraceCapture trace;
    EXPECT_EQ(run("Vorpane_Message CAT=Disk SEV=Warning MSG=Disk full", {_subnode, "disk1", "5"}), 0);
    EXPECT_TRUE(trace.contains("Calling AXF_CreateMessage <Warning> <Disk> <Disk full>"));
    EXPECT_EQ(run("Vorpane_Message CAT=Disk MSG=Disk full", {_subnode, "disk1", "5"}), 0);
    EXPECT_EQ(trace.count("Calling AXF_CreateMessage"), 1);

    // Without the console switch the message is an action like any other.
    VA_LIMITS limits;
    setVaLimits(limits);
    RecordingProvider provider;
    EXPECT_EQ(run("Vorpane_Message CAT=Disk SEV=Warning MSG=Disk full", {_subnode, "disk1", "5"}), -3);
    EXPECT_EQ(provider.actions().size(), 1u);
}

TEST_F(TakeActionDispatch, LocalActionsRunOnlyWhenSwitchedOn) {
    TraceCapture trace;
    const std::string file = _dir.file("local-action-ran");
    EXPECT_EQ(run("Local_Action touch " + file, {_subnode, "disk1", "5"}), 1);
    EXPECT_EQ(lastText(), "Local_Action refused: local commands run only with ZOTA_LOCAL_ACTION=Y");
    EXPECT_TRUE(trace.contains("Error: Local_Action refused"));
    EXPECT_TRUE(trace.contains("ZOTA_LOCAL_ACTION"));
    EXPECT_FALSE(std::filesystem::exists(file));

    VA_LIMITS limits;
    limits.localAction = 'Y';
    setVaLimits(limits);
    EXPECT_EQ(run("Local_Action touch " + file, {_subnode, "disk1", "5"}), 0);
    EXPECT_TRUE(std::filesystem::exists(file));

    // A command of 1,023 characters runs; a longer one is refused whole, not cut and run.
    const std::string longer = _dir.file("long-action-ran");
    std::string command = "touch " + longer + " ;";
    command += std::string(1023 - command.size(), ' ');
    EXPECT_EQ(run("Local_Action " + command, {_subnode, "disk1", "5"}), 0);
    EXPECT_TRUE(std::filesystem::exists(longer));
    std::filesystem::remove(longer);
    EXPECT_EQ(run("Local_Action " + command + "x", {_subnode, "disk1", "5"}), 1);
    EXPECT_TRUE(trace.contains("Error: Local_Action refused: the command has 1024 characters, more than 1023"));
    EXPECT_FALSE(std::filesystem::exists(longer));
}

TEST_F(TakeActionDispatch, PolicyActionsTakeTheirOwnerFromNameAndTheirNodeFromTheRequest) {
    RecordingProvider provider;
    axf::MemoryTable policies("QNA00", "QNACTRMT", {{"ORIGINNODE", "Node", "", AXF_COLUMN_STRING, 32}});
    RequestDetail detail;
    detail.tableName = "QNACTRMT";
    detail.subnodes = {_subnode};
    ContextInfo context;
    std::unique_ptr<plaxf> request = policies.CreatePlaxf(&detail, &context);
    PlaxfAutomationCapsule capsule("Notify NAME=pol1 extra", "", request.get(), 0);
    EXPECT_EQ(VA_Action(&capsule), -3);
    const auto actions = provider.actions();
    ASSERT_EQ(actions.size(), 1u);
    EXPECT_EQ(actions[0].owner, "pol1");
    EXPECT_EQ(actions[0].parms, " extra");
    EXPECT_EQ(actions[0].node, _subnode);

    RequestDetail empty;
    empty.tableName = "QNACTRMT";
    std::unique_ptr<plaxf> noSubnodes = policies.CreatePlaxf(&empty, &context);
    PlaxfAutomationCapsule refused("Notify", "", noSubnodes.get(), 0);
    EXPECT_EQ(VA_Action(&refused), 1);
    EXPECT_EQ(refused.Results(), 1);
}

}  // namespace
