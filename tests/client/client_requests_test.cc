// What each client call puts on the wire and how it reads the hub's answers, against the fake hub.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <future>
#include <string>

#include "client/fake_hub.h"
#include "interfaces/dch_client.h"
#include "testlib/trace_capture.h"

namespace vorpane {
namespace {

using testing::FakeHub;
using Request = FakeHub::Request;

class ClientRequestsTest : public ::testing::Test {
  protected:
    void SetUp() override { clock::setSpeedup(100); }
    void TearDown() override { clock::setSpeedup(1); }

    // The single request the hub received for one call, checked against its code and field types.
    static const Request& only(const std::vector<Request>& recorded, int16_t code,
                               std::vector<uint16_t> types) {
        EXPECT_EQ(recorded.size(), 1u);
        EXPECT_EQ(recorded.back().code, code);
        EXPECT_EQ(recorded.back().types(), types);
        return recorded.back();
    }

    FakeHub hub;
};

TEST_F(ClientRequestsTest, EveryCallSendsItsFieldsInOrder) {
    struct Case {
        const char* name;
        std::function<int(HubProvider&, const HubOptions&)> call;
        int16_t code;
        std::vector<uint16_t> types;
        std::function<void(const Request&)> check;
    };
    DProw row;
    int32_t count = 7;
    ASSERT_EQ(row.add("Name", "init", -1, 'D'), 0);
    ASSERT_EQ(row.add("Count", &count, 4, 'C'), 0);
    DPapplication appl{"VPDEMO", "Demo", {{"PROCS", "Processes", 'K', 300, "APIS", "@PID,C,4, , ,Id"}}};
    int status = 0;
    int handle = 0;
    const std::vector<Case> cases = {
        {"dp_register",
         [&](HubProvider& p, const HubOptions&) { return p.dp_register(&status, appl); },
         DCH_dp_register,
         {DCH_applName, DCH_helpText, DCH_attrGroup, DCH_helpText, DCH_attributesType, DCH_TTL, DCH_dpType,
          DCH_attrRegister},
         [](const Request& r) {
             EXPECT_EQ(r.fields[0].value, "VPDEMO");
             EXPECT_EQ(r.fields[4].value, "K");
             EXPECT_EQ(r.fields[5].int32(), 300);
             EXPECT_EQ(r.fields[7].value, "@PID,C,4, , ,Id");
         }},
        {"dp_online",
         [&](HubProvider& p, const HubOptions&) {
             return p.dp_online(&status, &handle, "VPDEMO", "PROCS", "SRC1");
         },
         DCH_dp_online,
         {DCH_applName, DCH_attrGroup, DCH_sourceName},
         [](const Request& r) { EXPECT_EQ(r.fields[2].value, "SRC1"); }},
        {"dp_online without a source",
         [&](HubProvider& p, const HubOptions&) {
             return p.dp_online(&status, &handle, "VPDEMO", "PROCS", nullptr);
         },
         DCH_dp_online,
         {DCH_applName, DCH_attrGroup},
         nullptr},
        {"dp_data",
         [&](HubProvider& p, const HubOptions&) { return p.dp_data(&status, 42, 0x01, row); },
         DCH_dp_data,
         {DCH_handle, DCH_controlField, DCH_attrName, DCH_attrValue, DCH_attrName, DCH_attrValue},
         [](const Request& r) {
             EXPECT_EQ(r.fields[0].int32(), 42);
             EXPECT_EQ(r.fields[1].int16(), 0x01);
             EXPECT_EQ(r.fields[3].value, "init");
             EXPECT_EQ(r.fields[3].extra, 'D');
             EXPECT_EQ(r.fields[5].int32(), 7);
             EXPECT_EQ(r.fields[5].extra, 'C');
         }},
        {"dp_data without a control field",
         [&](HubProvider& p, const HubOptions&) { return p.dp_data(&status, 42, DCH_NO_CONTROL_FIELD, row); },
         DCH_dp_data,
         {DCH_handle, DCH_attrName, DCH_attrValue, DCH_attrName, DCH_attrValue},
         nullptr},
        {"dp_offline",
         [&](HubProvider& p, const HubOptions&) { return p.dp_offline(&status, 42); },
         DCH_dp_offline,
         {DCH_handle},
         [](const Request& r) { EXPECT_EQ(r.fields[0].int32(), 42); }},
        {"dp_unregister",
         [&](HubProvider& p, const HubOptions&) { return p.dp_unregister(&status, "VPDEMO"); },
         DCH_dp_unregister,
         {DCH_applName},
         nullptr},
        {"dp_waitForAction",
         [&](HubProvider& p, const HubOptions&) { return p.dp_waitForAction(&status, 1, "SRC1"); },
         DCH_dp_waitForAction,
         {DCH_actionType, DCH_sourceName},
         [](const Request& r) { EXPECT_EQ(r.fields[0].int16(), 1); }},
        {"dp_provideActionResults",
         [&](HubProvider& p, const HubOptions&) { return p.dp_provideActionResults(&status, 9, -3, "done"); },
         DCH_dp_provideActionResults,
         {DCH_actionID, DCH_status, DCH_actionResult},
         [](const Request& r) {
             EXPECT_EQ(r.fields[0].int32(), 9);
             EXPECT_EQ(r.fields[1].int32(), -3);
             EXPECT_EQ(r.fields[2].value, "done");
         }},
        {"dp_redriveReportRequest",
         [&](HubProvider& p, const HubOptions&) { return p.dp_redriveReportRequest(&status, 42, 9); },
         DCH_dp_redriveReportRequest,
         {DCH_handle, DCH_actionID},
         nullptr},
        {"dp_setDemandReportOption",
         [&](HubProvider& p, const HubOptions&) {
             return p.dp_setDemandReportOption(&status, nullptr, true, "VPDEMO", "PROCS", "SRC1");
         },
         DCH_dp_setDemandReportOption,
         {DCH_controlField, DCH_applName, DCH_attrGroup, DCH_sourceName},
         [](const Request& r) { EXPECT_EQ(r.fields[0].int16(), 1); }},
        {"dc_getApplications",
         [](HubProvider&, const HubOptions& o) {
             std::string info;
             return dc_getApplications(&info, nullptr, 10, o);
         },
         DCH_dc_getApplications,
         {},
         nullptr},
        {"dc_getApplAttributes",
         [](HubProvider&, const HubOptions& o) {
             std::string info;
             return dc_getApplAttributes(&info, "VPDEMO", 10, o);
         },
         DCH_dc_getApplAttributes,
         {DCH_applName},
         nullptr},
        {"dc_getApplHelp",
         [](HubProvider&, const HubOptions& o) {
             std::string info;
             return dc_getApplHelp(&info, "VPDEMO", 10, o);
         },
         DCH_dc_getApplHelp,
         {DCH_applName},
         nullptr},
        {"dc_provideAction",
         [](HubProvider&, const HubOptions& o) {
             return dc_provideAction(1, "SIT1", "SRC1:VPDEMO00", "SRC1:VPDEMO00", "Restart", 9, "now", o);
         },
         DCH_dc_provideAction,
         {DCH_actionType, DCH_actionOwner, DCH_sourceName, DCH_sourceName, DCH_actionName, DCH_actionID,
          DCH_actionParms},
         [](const Request& r) {
             EXPECT_EQ(r.fields[1].value, "SIT1");
             EXPECT_EQ(r.fields[4].value, "Restart");
             EXPECT_EQ(r.fields[5].int32(), 9);
         }},
        {"dc_provideAction without parameters",
         [](HubProvider&, const HubOptions& o) {
             return dc_provideAction(5, "", "SRC1:VPDEMO00", "SRC1:VPDEMO00", "REPORT_REQUEST", 9, nullptr,
                                     o);
         },
         DCH_dc_provideAction,
         {DCH_actionType, DCH_actionOwner, DCH_sourceName, DCH_sourceName, DCH_actionName, DCH_actionID},
         nullptr},
        {"dc_waitForActionResults",
         [](HubProvider&, const HubOptions& o) {
             DCactionResults results;
             return dc_waitForActionResults(9, &results, 0, o);
         },
         DCH_dc_waitForActionResults,
         {DCH_actionID},
         nullptr},
        {"dc_deferReportRequest",
         [](HubProvider&, const HubOptions& o) {
             return dc_deferReportRequest(77, 9, 1000, "VPD", "VPDABCDE00", "SRC1", o);
         },
         DCH_dc_deferReportRequest,
         {DCH_actionID, DCH_objectPtr, DCH_time, DCH_applKey, DCH_tableName, DCH_sourceName},
         [](const Request& r) {
             EXPECT_EQ(r.fields[0].int32(), 9);
             EXPECT_EQ(r.fields[1].int32(), 77);
             EXPECT_EQ(r.fields[2].int32(), 1000);
         }},
    };
    size_t seen = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        HubProvider provider(hub.options());
        EXPECT_EQ(c.call(provider, hub.options()), 0);
        ASSERT_TRUE(hub.waitForRequests(seen + 1));
        std::vector<Request> all = hub.requests();
        std::vector<Request> mine(all.begin() + static_cast<long>(seen), all.end());
        seen = all.size();
        const Request& r = only(mine, c.code, c.types);
        if (c.check && r.fields.size() == c.types.size()) {
            c.check(r);
        }
    }
}

TEST_F(ClientRequestsTest, ProviderKeepsOneConnectionAndReadsStatusAndHandle) {
    HubProvider provider(hub.options());
    int status = -5;
    int handle = 0;
    EXPECT_EQ(provider.dp_online(&status, &handle, "VPDEMO", "PROCS", "SRC1"), 0);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(handle, 1000);
    EXPECT_EQ(provider.dp_offline(&status, handle), 0);

    // A refusal carries the hub's status; dp_online's handle is then 0.
    hub.setHandler([](FakeHub& h, const Request& r) {
        dch::MessageBuilder m;
        m.int32(DCH_status, r.code == DCH_dp_online ? 5 : 2);
        if (r.code == DCH_dp_online) {
            m.int32(DCH_handle, 0);
        }
        h.send(r.connection, m);
    });
    EXPECT_EQ(provider.dp_online(&status, &handle, "VPDEMO", "NOGROUP", "SRC1"), DCH_CLIENT_REFUSED);
    EXPECT_EQ(status, 5);
    EXPECT_EQ(handle, 0);
    DProw row;
    ASSERT_EQ(row.add("Unknown", "x", 1, 'D'), 0);
    EXPECT_EQ(provider.dp_data(&status, 1000, DCH_NO_CONTROL_FIELD, row), DCH_CLIENT_REFUSED);
    EXPECT_EQ(status, DCH_STATUS_UNREGISTERED_ATTR);
    EXPECT_STREQ(DCH_statusText(DCH_dp_data, status),
                 "an attribute name is not part of the registered attributes");

    for (const Request& r : hub.requests()) {
        EXPECT_EQ(r.connection, 1);
    }
}

// An answer to a report request that no report waits for is refused by the hub: the caller gets the
// refusal, and the trace calls it a detail, not an error.
TEST_F(ClientRequestsTest, ARefusedReportAnswerIsNoError) {
    HubProvider provider(hub.options());
    hub.setHandler([](FakeHub& h, const Request& r) {
        dch::MessageBuilder m;
        m.int32(DCH_status, r.code == DCH_dp_redriveReportRequest ? -1 : 2);
        h.send(r.connection, m);
    });
    testing::TraceCapture trace;
    int status = 0;
    EXPECT_EQ(provider.dp_redriveReportRequest(&status, 1000, 9), DCH_CLIENT_REFUSED);
    EXPECT_EQ(status, -1);
    EXPECT_TRUE(trace.contains("dp_redriveReportRequest: status -1"));
    EXPECT_FALSE(trace.contains("Error: the hub refused dp_redriveReportRequest"));
    EXPECT_EQ(provider.dp_offline(&status, 1000), DCH_CLIENT_REFUSED);  // other refusals stay errors
    EXPECT_TRUE(trace.contains("Error: the hub refused dp_offline: status 2"));
}

TEST_F(ClientRequestsTest, RegistrationLargerThanADatagramArrivesWhole) {
    DPapplication appl{"VPBIG", "Many groups", {}};
    std::string attributes;
    for (int a = 0; a < 40; ++a) {
        attributes += (a == 0 ? "" : ";") + std::string("Attribute_") + std::to_string(a) +
                      ",D,64, , ,A help text that makes the registration string long";
    }
    for (int g = 0; g < 60; ++g) {
        appl.groups.push_back({"GROUP" + std::to_string(g), "Group help", 'P', 60, "APIS", attributes});
    }
    HubProvider provider(hub.options());
    int status = -5;
    ASSERT_EQ(provider.dp_register(&status, appl), 0);
    std::vector<Request> r = hub.requests();
    ASSERT_EQ(r.size(), 1u);
    EXPECT_GT(r[0].size, 64u * 1024u);
    ASSERT_EQ(r[0].fields.size(), 2u + 60u * 6u);
    EXPECT_EQ(r[0].fields.back().value, attributes);
}

TEST_F(ClientRequestsTest, IncompleteRequestIsSentAgain) {
    int answered = 0;
    hub.setHandler([&answered](FakeHub& h, const Request& r) {
        // Runs on the connection's reader thread only: no lock needed for the counter.
        h.sendStatus(r.connection, answered++ == 0 ? DCH_STATUS_RESEND : 0);
    });
    HubProvider provider(hub.options());
    int status = -5;
    EXPECT_EQ(provider.dp_offline(&status, 3), 0);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(hub.requests().size(), 2u);
}

// A batch goes out in one write and each row keeps its own answer; a row the hub received
// incomplete is sent again on its own after the others were answered.
TEST_F(ClientRequestsTest, BatchRowsKeepTheirOwnAnswersAndAnIncompleteOneIsSentAgain) {
    int answered = 0;
    hub.setHandler([&answered](FakeHub& h, const Request& r) {
        // The second request is "received incomplete" once; the third is refused.
        ++answered;
        h.sendStatus(r.connection, answered == 2 ? DCH_STATUS_RESEND : answered == 3 ? 2 : 0);
    });
    HubProvider provider(hub.options());
    DPdataBatch batch;
    for (int32_t i = 1; i <= 4; ++i) {
        DProw row;
        row.add("Count", &i, 4, 'C');
        ASSERT_EQ(batch.add(7, i == 1 ? 0x01 : DCH_NO_CONTROL_FIELD, row), 0);
    }
    EXPECT_EQ(batch.add(7, 0x10000, DProw()), DCH_CLIENT_BAD_ARGUMENT);
    ASSERT_EQ(batch.count(), 4u);
    EXPECT_EQ(provider.dp_dataBatch(&batch), DCH_CLIENT_REFUSED);
    // Answers in the order sent: 1 ok, 2 resend, 3 refused (2), 4 ok; then 2 again: ok.
    EXPECT_EQ(batch.status(0), 0);
    EXPECT_EQ(batch.status(1), 0);
    EXPECT_EQ(batch.status(2), 2);
    EXPECT_EQ(batch.status(3), 0);
    std::vector<Request> r = hub.requests();
    ASSERT_EQ(r.size(), 5u);
    std::vector<int32_t> counts;
    for (const Request& q : r) {
        ASSERT_EQ(q.code, DCH_dp_data);
        counts.push_back(q.fields.back().int32());
    }
    EXPECT_EQ(counts, (std::vector<int32_t>{1, 2, 3, 4, 2}));
    EXPECT_EQ(r[0].fields[1].type, DCH_controlField);
    EXPECT_EQ(r[1].fields[1].type, DCH_attrName);

    batch.clear();
    EXPECT_TRUE(batch.empty());
    EXPECT_EQ(provider.dp_dataBatch(&batch), 0);  // nothing to send
    EXPECT_EQ(hub.requests().size(), 5u);
}

TEST_F(ClientRequestsTest, ABatchOnALostConnectionGivesEveryRowTheFailure) {
    hub.setHandler([](FakeHub& h, const Request& r) {
        if (r.fields.back().int32() == 2) {
            h.close(r.connection);  // the first row is answered, the rest never
        } else {
            h.sendStatus(r.connection, 0);
        }
    });
    HubProvider provider(hub.options(5));
    DPdataBatch batch;
    for (int32_t i = 1; i <= 3; ++i) {
        DProw row;
        row.add("Count", &i, 4, 'C');
        batch.add(7, DCH_NO_CONTROL_FIELD, row);
    }
    EXPECT_EQ(provider.dp_dataBatch(&batch), DCH_CLIENT_IO);
    EXPECT_EQ(batch.status(0), 0);
    EXPECT_EQ(batch.status(1), DCH_CLIENT_IO);
    EXPECT_EQ(batch.status(2), DCH_CLIENT_IO);
}

TEST_F(ClientRequestsTest, DemandReportOptionReadsResultsThenStatus) {
    HubProvider provider(hub.options());
    int status = -5;
    DPdemandReportResults results;
    EXPECT_EQ(provider.dp_setDemandReportOption(&status, &results, true, "VPDEMO", "PROCS", "SRC1"), 0);
    EXPECT_EQ(status, 0);
    ASSERT_TRUE(results.arrived);
    EXPECT_EQ(results.expiration, 600);
    EXPECT_EQ(results.applName, "VPDEMO");
    EXPECT_EQ(results.sourceName, "SRC1");

    // A request the hub refuses before parking it gets the status alone.
    hub.setHandler([](FakeHub& h, const Request& r) { h.sendStatus(r.connection, -1); });
    EXPECT_EQ(provider.dp_setDemandReportOption(&status, &results, false, "VPDEMO", "PROCS", "SRC1"),
              DCH_CLIENT_REFUSED);
    EXPECT_EQ(status, -1);
    EXPECT_FALSE(results.arrived);
    // The connection is still in step: the next request gets its own answer.
    hub.setHandler([](FakeHub& h, const Request& r) { h.answerLikeTheHub(r); });
    EXPECT_EQ(provider.dp_offline(&status, 1), 0);
}

dch::MessageBuilder actionRequest(int32_t id, const char* parms) {
    dch::MessageBuilder m;
    m.request(DCH_dp_actionRequest)
        .int16(DCH_actionType, 1)
        .text(DCH_actionOwner, "SIT1")
        .text(DCH_sourceName, "SRC1:VPDEMO00")
        .text(DCH_actionName, "Restart")
        .int32(DCH_actionID, id);
    if (parms != nullptr) {
        m.text(DCH_actionParms, parms);
    }
    return m;
}

TEST_F(ClientRequestsTest, ActionsArrivingBetweenRepliesAreKeptForTheActionWaiter) {
    // The hub pushes an action right before the status of a dp_data: the status still answers
    // dp_data and the action waits for nextAction.
    hub.setHandler([](FakeHub& h, const Request& r) {
        if (r.code == DCH_dp_data) {
            h.send(r.connection, actionRequest(11, "now"));
        }
        h.answerLikeTheHub(r);
    });
    HubProvider provider(hub.options());
    int status = -5;
    ASSERT_EQ(provider.dp_waitForAction(&status, 1, "SRC1"), 0);
    DProw row;
    ASSERT_EQ(row.add("Name", "x", 1, 'D'), 0);
    ASSERT_EQ(provider.dp_data(&status, 1000, DCH_NO_CONTROL_FIELD, row), 0);
    DPactionRequest action;
    ASSERT_EQ(provider.nextAction(&action, 10), 0);
    EXPECT_EQ(action.actionID, 11);
    EXPECT_EQ(action.name, "Restart");
    EXPECT_EQ(action.node, "SRC1:VPDEMO00");
    EXPECT_EQ(action.parms, "now");
    EXPECT_EQ(provider.nextAction(&action, 1), DCH_CLIENT_TIMEOUT);
}

TEST_F(ClientRequestsTest, ActionWaiterAndRequestsShareTheConnectionAcrossThreads) {
    // Each dp_data is answered, and every fifth is followed by an action request; one thread waits
    // for actions while another sends rows, so either may be the one reading the socket.
    hub.setHandler([](FakeHub& h, const Request& r) {
        h.answerLikeTheHub(r);
        if (r.code == DCH_dp_data && r.fields[0].int32() % 5 == 0) {
            h.send(r.connection, actionRequest(r.fields[0].int32(), nullptr));
        }
    });
    HubProvider provider(hub.options());
    int status = -5;
    ASSERT_EQ(provider.dp_waitForAction(&status, 1, "SRC1"), 0);
    std::vector<int32_t> ids;
    auto waiter = std::async(std::launch::async, [&] {
        DPactionRequest action;
        while (ids.size() < 20 && provider.nextAction(&action, -1) == 0) {
            ids.push_back(action.actionID);
        }
    });
    DProw row;
    ASSERT_EQ(row.add("Name", "x", 1, 'D'), 0);
    for (int i = 1; i <= 100; ++i) {
        int s = -5;
        ASSERT_EQ(provider.dp_data(&s, i, DCH_NO_CONTROL_FIELD, row), 0) << i;
        ASSERT_EQ(s, 0);
    }
    if (waiter.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
        provider.cancel();
        FAIL() << "the action waiter did not receive its 20 actions";
    }
    // Every action arrived once and in order; none was taken for a reply, no reply for an action.
    std::vector<int32_t> expected;
    for (int32_t id = 5; id <= 100; id += 5) {
        expected.push_back(id);
    }
    EXPECT_EQ(ids, expected);
}

TEST_F(ClientRequestsTest, FormatDataChecksKindsAndLengths) {
    DProw row;
    int length = -1;
    int status = -5;
    int32_t id = 12;
    int16_t small = 3;
    EXPECT_EQ(dp_formatData(&row, &length, &status, "Action_Name", "Restart", 7, 68), 0);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(dp_formatData(&row, &length, &status, "Action_ID", &id, 4, 67), 0);
    EXPECT_EQ(dp_formatData(&row, &length, &status, "Switch", &small, 2, 'S'), 0);
    EXPECT_EQ(dp_formatData(&row, &length, &status, "Text", "to the end", -1, 'O'), 0);
    EXPECT_EQ(row.count(), 4);
    EXPECT_EQ(length, static_cast<int>(row.size()));

    const int before = length;
    EXPECT_EQ(dp_formatData(&row, &length, &status, "Action_ID", &id, 3, 'C'), DCH_CLIENT_BAD_ARGUMENT);
    EXPECT_EQ(status, -1);
    EXPECT_EQ(dp_formatData(&row, &length, &status, "Switch", &id, 4, 'S'), DCH_CLIENT_BAD_ARGUMENT);
    EXPECT_EQ(dp_formatData(&row, &length, &status, "Odd", "x", 1, 'Z'), DCH_CLIENT_BAD_ARGUMENT);
    EXPECT_EQ(dp_formatData(&row, &length, &status, "", "x", 1, 'D'), DCH_CLIENT_BAD_ARGUMENT);
    EXPECT_EQ(length, before);
    EXPECT_EQ(row.count(), 4);
}

TEST_F(ClientRequestsTest, DefaultProviderServesTheActionLogCalls) {
    ASSERT_EQ(setenv("ZOTA_DCH_ADDR", "127.0.0.1", 1), 0);
    ASSERT_EQ(setenv("ZOTA_DCH_PORT", std::to_string(hub.port()).c_str(), 1), 0);
    ASSERT_EQ(DCH_api_init(), 0);
    int status = -5;
    int handle = 0;
    EXPECT_EQ(dp_online(&status, &handle, "VAGENT", "ACTION", "hostACT"), 0);
    DProw buffer;
    int length = 0;
    int32_t id = 5;
    EXPECT_EQ(dp_formatData(&buffer, &length, &status, "Action_Name", "Restart", 7, 68), 0);
    EXPECT_EQ(dp_formatData(&buffer, &length, &status, "Action_ID", &id, 4, 67), 0);
    EXPECT_EQ(dp_actionData(&buffer, handle, 0x11, &length, 1, 0), 0);
    EXPECT_EQ(length, 0);
    EXPECT_EQ(buffer.count(), 0);
    EXPECT_EQ(dp_offline(&status, handle), 0);
    DCH_api_destroy();
    ASSERT_TRUE(hub.waitForDisconnect(1));
    unsetenv("ZOTA_DCH_ADDR");
    unsetenv("ZOTA_DCH_PORT");

    std::vector<Request> r = hub.requests();
    ASSERT_EQ(r.size(), 3u);
    EXPECT_EQ(r[0].fields[2].value, "hostACT");
    EXPECT_EQ(r[1].code, DCH_dp_data);
    EXPECT_EQ(r[1].fields[0].int32(), handle);
    EXPECT_EQ(r[1].fields[1].int16(), 0x11);
    EXPECT_EQ(r[1].fields.size(), 6u);
    EXPECT_EQ(r[2].code, DCH_dp_offline);
    for (const Request& each : r) {
        EXPECT_EQ(each.connection, 1);
    }
}

TEST_F(ClientRequestsTest, OneWayRequestsRefuseWhatTheHubWouldDropSilently) {
    const HubOptions o = hub.options();
    std::string longName(33, 'S');
    EXPECT_EQ(dc_provideAction(6, "", "SRC1:X", "SRC1:X", "Restart", 1, nullptr, o), DCH_CLIENT_BAD_ARGUMENT);
    EXPECT_EQ(dc_provideAction(1, "", "SRC1:X", longName.c_str(), "Restart", 1, nullptr, o),
              DCH_CLIENT_BAD_ARGUMENT);
    EXPECT_EQ(dc_deferReportRequest(1, 1, 1, "VPDX", "T", "S", o), DCH_CLIENT_BAD_ARGUMENT);
    EXPECT_EQ(dc_waitOnDataInitialize("VP", "PROCS", o), nullptr);
    EXPECT_EQ(hub.connections(), 0);
}

}  // namespace
}  // namespace vorpane
