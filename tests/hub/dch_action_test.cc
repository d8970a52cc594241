// Actions through the real hub over loopback: providers wait for actions, collectors hand them over
// and wait for results, the action table and the ACTION rows of the agent's own log source.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <string>
#include <vector>

#include "hub/action_table.h"
#include "interfaces/dch_client.h"
#include "interfaces/dch_protocol.h"
#include "testlib/hub_fixture.h"
#include "testlib/hub_test_client.h"
#include "testlib/scoped_env.h"
#include "testlib/trace_capture.h"

namespace {

using vorpane::DCactionResults;
using vorpane::DPactionRequest;
using vorpane::DPapplication;
using vorpane::DProw;
using vorpane::HubProvider;
using vorpane::dch::FieldReader;
using vorpane::dch::MessageBuilder;
using vorpane::testing::HubTestClient;
using vorpane::testing::ScopedSpeedup;
using vorpane::testing::TestHub;
using vorpane::testing::TraceCapture;
using namespace std::chrono_literals;

constexpr const char* kAttrs = "Count,C,4, , ,How many;Name,D,16, , ,Its name";
constexpr const char* kActionAttrs =
    "Action_Type,D,16, , ,Type;Action_Owner,D,64, , ,Owner;Action_Node,D,32, , ,Node;"
    "Action_Name,D,256, , ,Name;Action_Parms,D,1024, , ,Parameters;Action_Status,D,64, , ,Status;"
    "Action_Result,D,256, , ,Result;Action_ID,C,4, , ,Identifier";

DPapplication app(const std::string& name, const std::vector<std::pair<std::string, std::string>>& groups) {
    DPapplication a{name, "help", {}};
    for (const auto& [group, attrs] : groups) {
        a.groups.push_back({group, group + " help", 'P', 60, "APIS", attrs});
    }
    return a;
}

// A provider that owns one source of ACTAPP and waits for actions of a type for it.
struct ActionProvider {
    HubProvider hub;
    explicit ActionProvider(const std::string& source, int16_t actionType = 1) {
        EXPECT_EQ(hub.connect(), 0);
        int status = -99;
        int handle = 0;
        hub.dp_register(&status, app("ACTAPP", {{"G1", kAttrs}}));  // 1 when another provider registered it
        EXPECT_EQ(hub.dp_online(&status, &handle, "ACTAPP", "G1", source.c_str()), 0);
        EXPECT_EQ(hub.dp_waitForAction(&status, actionType, source.c_str()), 0);
        EXPECT_EQ(status, 0);
    }
    DPactionRequest next(double timeout = 10) {
        DPactionRequest a;
        EXPECT_EQ(hub.nextAction(&a, timeout), 0);
        return a;
    }
};

class HubActions : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(_hub.ready()); }
    TestHub _hub;
};

TEST_F(HubActions, AnActionReachesItsProviderAndTheResultReachesTheCollector) {
    ActionProvider provider("SRC1");
    ASSERT_EQ(dc_provideAction(1, "SIT_ONE", "SRC1:ACTAPP00", "SRC1:ACTAPP00", "Restart", 17, "now PASSWORD=x"), 0);

    const DPactionRequest a = provider.next();
    EXPECT_EQ(a.actionType, 1);
    EXPECT_EQ(a.owner, "SIT_ONE");
    EXPECT_EQ(a.node, "SRC1:ACTAPP00");
    EXPECT_EQ(a.name, "Restart");
    EXPECT_EQ(a.actionID, 17);
    EXPECT_EQ(a.parms, "now PASSWORD=x");

    // The collector asks while the action runs: the hub does not know the status yet and parks it.
    auto waiting = std::async(std::launch::async, [] {
        DCactionResults r;
        const int rc = dc_waitForActionResults(17, &r, 30);
        return std::make_pair(rc, r);
    });
    // Another action's result goes to every result waiter and is passed over.
    int status = -99;
    ASSERT_EQ(provider.hub.dp_provideActionResults(&status, 99, 0, "not yours"), 0);
    ASSERT_EQ(provider.hub.dp_provideActionResults(&status, 17, -3, "restarted"), 0);
    auto [rc, results] = waiting.get();
    EXPECT_EQ(rc, 0);
    EXPECT_TRUE(results.resultArrived);
    EXPECT_EQ(results.status, -3);
    EXPECT_EQ(results.resultText, "restarted");

    // Asked after the result came (and the action left the table), the status is still known.
    DCactionResults late;
    ASSERT_EQ(dc_waitForActionResults(17, &late, 0), 0);
    EXPECT_EQ(late.status, -3);
}

TEST_F(HubActions, EveryMatchingWaiterReceivesTheActionAndNoOtherDoes) {
    ActionProvider first("SRC1");
    ActionProvider second("SRC1");
    ActionProvider other("SRC2");
    ActionProvider ruleOnly("SRC1", 2);

    ASSERT_EQ(dc_provideAction(1, "SIT", "SRC1:ACTAPP00", "SRC1:ACTAPP00", "Act", 1, nullptr), 0);
    ASSERT_EQ(dc_provideAction(2, "SIT", "SRC1:ACTAPP00", "SRC1:ACTAPP00", "RULESTART", 2, "x"), 0);
    ASSERT_EQ(dc_provideAction(1, "SIT", "SRC2:ACTAPP00", "SRC2:ACTAPP00", "Act", 3, nullptr), 0);

    EXPECT_EQ(first.next().actionID, 1);
    EXPECT_EQ(second.next().actionID, 1);
    // Each waiter's first action is the first one meant for it: the others passed it by.
    EXPECT_EQ(ruleOnly.next().actionID, 2);
    const DPactionRequest forOther = other.next();
    EXPECT_EQ(forOther.actionID, 3);
    EXPECT_TRUE(forOther.parms.empty());

    // Asking twice on one connection parks one waiter: the action arrives once.
    int status = -99;
    ASSERT_EQ(other.hub.dp_waitForAction(&status, 1, "SRC2"), 0);
    ASSERT_EQ(dc_provideAction(1, "SIT", "SRC2:ACTAPP00", "SRC2:ACTAPP00", "Act", 4, nullptr), 0);
    ASSERT_EQ(dc_provideAction(1, "SIT", "SRC2:ACTAPP00", "SRC2:ACTAPP00", "Act", 5, nullptr), 0);
    EXPECT_EQ(other.next().actionID, 4);
    EXPECT_EQ(other.next().actionID, 5);
}

TEST_F(HubActions, AProviderThatDiesHoldingAnActionLeavesTheCallerWithAFailureInTime) {
    ScopedSpeedup fast(100);
    auto provider = std::make_unique<ActionProvider>("SRC1");
    ASSERT_EQ(dc_provideAction(1, "SIT", "SRC1:ACTAPP00", "SRC1:ACTAPP00", "Hang", 41, nullptr), 0);
    EXPECT_EQ(provider->next().actionID, 41);
    provider->hub.close();  // dies without a result

    DCactionResults r;
    ASSERT_EQ(dc_waitForActionResults(41, &r, 60), 0);  // 60 clock seconds: 0.6 s at this speed
    EXPECT_FALSE(r.resultArrived);
    EXPECT_EQ(r.status, 1);  // never known: the caller reports a failure

    // The hub goes on: a new provider for the source gets the next action.
    provider.reset();
    ActionProvider again("SRC1");
    ASSERT_EQ(dc_provideAction(1, "SIT", "SRC1:ACTAPP00", "SRC1:ACTAPP00", "Again", 42, nullptr), 0);
    EXPECT_EQ(again.next().actionID, 42);
}

TEST_F(HubActions, BadRequestsAreRefusedWithTheirStatusAndTrace) {
    TraceCapture trace;
    HubTestClient raw(_hub.port());
    ASSERT_TRUE(raw.connected());

    MessageBuilder noType;
    noType.request(DCH_dp_waitForAction).text(DCH_sourceName, "SRC1");
    ASSERT_TRUE(raw.send(noType));
    EXPECT_EQ(raw.receiveStatus(), 1);

    MessageBuilder badType;
    badType.request(DCH_dp_waitForAction).int16(DCH_actionType, 9).text(DCH_sourceName, "SRC1");
    ASSERT_TRUE(raw.send(badType));
    EXPECT_EQ(raw.receiveStatus(), -1);
    EXPECT_TRUE(trace.contains("Error: actionType 9 not supported"));

    MessageBuilder noSource;
    noSource.request(DCH_dp_waitForAction).int16(DCH_actionType, 1);
    ASSERT_TRUE(raw.send(noSource));
    EXPECT_EQ(raw.receiveStatus(), 1);

    MessageBuilder noResult;
    noResult.request(DCH_dp_provideActionResults).int32(DCH_actionID, 5);
    ASSERT_TRUE(raw.send(noResult));
    EXPECT_EQ(raw.receiveStatus(), 1);

    MessageBuilder noId;
    noId.request(DCH_dc_waitForActionResults);
    ASSERT_TRUE(raw.send(noId));
    EXPECT_EQ(raw.receiveStatus(), 11);  // REQPARM_MISSING, and nothing is parked

    auto provide = [&](const std::string& owner, const std::string& node, const std::string& name) {
        MessageBuilder m;
        m.request(DCH_dc_provideAction)
            .int16(DCH_actionType, 1)
            .text(DCH_actionOwner, owner)
            .text(DCH_sourceName, node)
            .text(DCH_sourceName, "SUB")
            .text(DCH_actionName, name)
            .int32(DCH_actionID, 7);
        return m;
    };
    ASSERT_TRUE(raw.send(provide(std::string(65, 'o'), "H:APP", "Act")));
    ASSERT_TRUE(trace.waitFor("Error: actionOwner length 65 > 64"));
    ASSERT_TRUE(raw.send(provide("SIT", "NOCOLON", "Act")));
    ASSERT_TRUE(trace.waitFor("Error: HostName could not be resolved from actionName<NOCOLON>"));
    ASSERT_TRUE(raw.send(provide("SIT", "NOBODY:APP", "Act")));
    ASSERT_TRUE(trace.waitFor("Note: Did not find a waitlist object to process request for ActionID[7] "
                              "ActionName<Act> ActionOwner <SIT> ActionNode<NOBODY:APP>. Action ignored."));
    ASSERT_TRUE(raw.send(provide("SIT", "NOBODY:APP", "RULESTART")));
    ASSERT_TRUE(trace.waitFor("RULESTART request for ActionID[7] ActionOwner <SIT> ActionNode<NOBODY:APP>. "
                              "Action skipped."));
    ASSERT_TRUE(raw.send(provide("", "NOBODY:APP", "Act")));
    ASSERT_TRUE(trace.waitFor("ActionName<Act> ActionNode<NOBODY:APP>. Action ignored."));

    // The hub still serves requests on the same connection.
    ASSERT_TRUE(raw.send(noType));
    EXPECT_EQ(raw.receiveStatus(), 1);
}

// The rows of the agent's action log: the DPLOG source of VAGENT coming online brings the ACTION
// source online through the client library, and each automation action gives one row when handed
// over and one when its result comes.
TEST_F(HubActions, AutomationActionsAreLoggedAsActionRowsWithPasswordsHidden) {
    TraceCapture trace;
    HubProvider agent;
    ASSERT_EQ(agent.connect(), 0);
    int status = -99;
    int handle = 0;
    ASSERT_EQ(agent.dp_register(&status, app("VAGENT", {{"DPLOG", kAttrs}, {"ACTION", kActionAttrs}})), 0);
    auto rows = dc_waitOnDataInitialize("VAGENT", "ACTION");
    ASSERT_TRUE(rows);

    // A probe source of ACTION tells when the subscription is in place.
    int probeHandle = 0;
    ASSERT_EQ(agent.dp_online(&status, &probeHandle, "VAGENT", "ACTION", "PROBE"), 0);
    std::vector<char> buffer(16384);
    bool subscribed = false;
    for (int attempt = 0; attempt < 200 && !subscribed; ++attempt) {
        DProw probe;
        probe.add("Action_Name", "probe", 5, 'D');
        ASSERT_EQ(agent.dp_data(&status, probeHandle, DCH_NO_CONTROL_FIELD, probe), 0);
        subscribed = dc_waitOnData(rows.get(), buffer.data(), buffer.size(), 0.05) == 0;
    }
    ASSERT_TRUE(subscribed);
    ASSERT_EQ(agent.dp_offline(&status, probeHandle), 0);

    ASSERT_EQ(agent.dp_online(&status, &handle, "VAGENT", "DPLOG", "LOGSRC"), 0);
    ASSERT_TRUE(trace.waitFor("dp_online for Action table successful."));

    ActionProvider provider("SRC1");
    ASSERT_EQ(dc_provideAction(1, "SIT_LOG", "SRC1:ACTAPP00", "SRC1:ACTAPP00", "Start",
                               33, "MONITOR START AGENTINFO=a PASSWORD=secret"),
              0);
    ASSERT_EQ(provider.next().actionID, 33);

    auto rowText = [&]() {
        while (dc_waitOnData(rows.get(), buffer.data(), buffer.size(), 10) == 0) {
            const std::string text(buffer.data(), vorpane::dch::totalLength(buffer.data()));
            if (text.find("probe") == std::string::npos) {
                return text;
            }
        }
        return std::string();
    };
    const std::string added = rowText();
    EXPECT_NE(added.find("AUTOMATION"), std::string::npos);
    EXPECT_NE(added.find("SIT_LOG"), std::string::npos);
    EXPECT_NE(added.find("MONITOR START AGENTINFO=a "), std::string::npos);
    EXPECT_EQ(added.find("PASSWORD"), std::string::npos);
    EXPECT_NE(added.find("UNKNOWN"), std::string::npos);

    ASSERT_EQ(provider.hub.dp_provideActionResults(&status, 33, -3, "started"), 0);
    const std::string done = rowText();
    EXPECT_NE(done.find("EXECUTED - RETURN STATUS 3"), std::string::npos);
    EXPECT_NE(done.find("started"), std::string::npos);
    EXPECT_EQ(done.find("PASSWORD"), std::string::npos);

    // Rule actions are forwarded but never logged nor kept.
    ActionProvider rules("SRC1", 2);
    ASSERT_EQ(dc_provideAction(2, "SIT_LOG", "SRC1:ACTAPP00", "SRC1:ACTAPP00", "RULESTART", 34, "x"), 0);
    EXPECT_EQ(rules.next().actionID, 34);
    EXPECT_TRUE(trace.waitFor("RULE START/STOP actionType ignored"));

    // The last DPLOG source going offline takes the ACTION source offline.
    ASSERT_EQ(agent.dp_offline(&status, handle), 0);
    _hub.server().getActionTable()->waitForSourceThreads();
    EXPECT_EQ(_hub.server().getActionTable()->handle(), 0);
    dc_waitOnDataDestroy(std::move(rows));
}

// ---------------------------------------------------------------------------------------------------
// The action table on its own (no consumer thread: the test applies the records itself).

TEST(ActionTable, TextsOfTypesStatusesAndHiddenParameters) {
    EXPECT_STREQ(actionTable::actionTypeText(1), "AUTOMATION");
    EXPECT_STREQ(actionTable::actionTypeText(4), "WBEM");
    EXPECT_STREQ(actionTable::actionTypeText(5), "UNKNOWN");
    EXPECT_STREQ(actionTable::actionStatusText(0), "SUCCESS");
    EXPECT_STREQ(actionTable::actionStatusText(16), "NODENAME_NOTFOUND");
    EXPECT_STREQ(actionTable::actionStatusText(17), "UNKNOWN");
    EXPECT_STREQ(actionTable::actionStatusText(-3), "EXECUTED - RETURN STATUS 3");

    EXPECT_EQ(actionTable::alternateActionParms("MONITOR START AGENTINFO=x PASSWORD=p"), "MONITOR START AGENTINFO=x ");
    EXPECT_EQ(actionTable::alternateActionParms("run it LOGONID=me PASSWORD=p"), "run it");
    // PASSWORD= alone is hidden only in the monitor-start form.
    EXPECT_EQ(actionTable::alternateActionParms("run PASSWORD=p"), "run PASSWORD=p");
    EXPECT_EQ(actionTable::alternateActionParms(""), "");
}

TEST(ActionTable, RecordsAreAppliedInOrderAndOnlyAutomationActionsAreKept) {
    actionTable table;
    EXPECT_EQ(table.addEntry(2, "SIT", "N:A", "RULESTART", 1, "x"), 0);  // traced only, nothing queued
    EXPECT_EQ(table.addEntry(1, "SIT", "N:A", "Act", 5, "p"), 0);
    EXPECT_EQ(table.getActionStatus(5), 1);  // queued, not applied yet
    EXPECT_EQ(table.updateActionTable(), 0);
    EXPECT_EQ(table.noOfElements(), 1);
    EXPECT_EQ(table.getActionStatus(5), 1);
    {
        vorpane::ScopedLock g(table.lock());
        ASSERT_NE(table.latest(), nullptr);
        EXPECT_EQ(table.latest()->controlField(), 0x11);
        EXPECT_STREQ(table.latest()->actionParms(), "p");
        EXPECT_EQ(table.latest()->actionResults(), nullptr);
        EXPECT_EQ(table.requestType(), 1);
    }
    EXPECT_EQ(table.recordActionResults(5, -2, std::string(300, 'r').c_str()), 0);
    EXPECT_EQ(table.updateActionTable(), 0);
    EXPECT_EQ(table.getActionStatus(5), -2);
    actionTableEntry* entry = nullptr;
    {
        vorpane::ScopedLock g(table.lock());
        entry = table.latest();
        EXPECT_EQ(std::string(entry->actionResults()).size(), 256u);
    }
    EXPECT_EQ(table.recordActionResults(99, 0, nullptr), 0);
    EXPECT_EQ(table.updateActionTable(), 1);  // no such action: nothing to log
    EXPECT_EQ(table.removeEntry(entry), 0);
    EXPECT_EQ(table.removeEntry(entry), 1);
    EXPECT_EQ(table.noOfElements(), 0);
}

TEST(ActionTable, AFullQueueGivesUpInTimeAndAClosedOneEndsTheConsumer) {
    ScopedSpeedup fast(1000);
    actionTable table;
    for (int i = 1; i <= actionTable::kQueueSlots - 1; ++i) {
        ASSERT_EQ(table.addEntry(1, "SIT", "N:A", "Act", i, nullptr), 0);
    }
    EXPECT_EQ(table.addEntry(1, "SIT", "N:A", "Act", 10, nullptr), 1);  // dropped, the hub goes on
    ActionInfo_t r;
    for (int i = 1; i <= actionTable::kQueueSlots - 1; ++i) {
        ASSERT_EQ(table.cb_get_data(&r), 0);
        EXPECT_EQ(r.actionID, i);
    }
    auto consumer = std::async(std::launch::async, [&] { return table.cb_get_data(&r); });
    table.cb_close();
    EXPECT_EQ(consumer.get(), 2);
    EXPECT_EQ(table.addEntry(1, "SIT", "N:A", "Act", 11, nullptr), 2);
}

TEST(ActionTable, TenActionsWithinAHundredSecondsSwitchLoggingOffUntilAQuietMinute) {
    actionTable table;
    const int64_t t0 = table.getLastCheckTime();
    table.rateControl(7, t0 + 1);
    EXPECT_EQ(table.getEnableActionLogging(), 1);
    table.rateControl(10, t0 + 5);  // a tenth id within 100 seconds of the last check
    EXPECT_EQ(table.getEnableActionLogging(), 0);
    table.rateControl(11, t0 + 30);
    EXPECT_EQ(table.getEnableActionLogging(), 0);
    table.rateControl(12, t0 + 91);  // more than 60 quiet seconds
    EXPECT_EQ(table.getEnableActionLogging(), 1);
    table.rateControl(20, t0 + 92);  // 87 seconds after the last check
    EXPECT_EQ(table.getEnableActionLogging(), 0);
    table.rateControl(30, t0 + 200);
    EXPECT_EQ(table.getEnableActionLogging(), 1);
}

}  // namespace
