// The hub end to end in the test process: requests over real loopback sockets, answered by the real
// request thread, handlers, application space and waiting list.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <random>
#include <thread>
#include <string>
#include <vector>

#include "agent/agent_lists.h"
#include "hub/dc_waiting_list.h"
#include "interfaces/dch_protocol.h"
#include "testlib/hub_fixture.h"
#include "testlib/hub_test_client.h"
#include "testlib/scoped_env.h"
#include "testlib/temp_dir.h"
#include "testlib/trace_capture.h"

namespace {

using vorpane::dch::FieldReader;
using vorpane::dch::MessageBuilder;
using vorpane::testing::HubTestClient;
using vorpane::testing::ScopedEnv;
using vorpane::testing::TestHub;
using vorpane::testing::TraceCapture;
using namespace std::chrono_literals;

struct Group {
    std::string name;
    char type;
    std::string attrs;  // registration string
};

MessageBuilder registration(const std::string& appl, const std::vector<Group>& groups,
                            const std::string& help = "An application") {
    MessageBuilder m;
    m.request(DCH_dp_register).text(DCH_applName, appl).text(DCH_helpText, help);
    for (const Group& g : groups) {
        m.text(DCH_attrGroup, g.name).text(DCH_helpText, g.name + " help");
        m.add(DCH_attributesType, &g.type, 1);
        m.int32(DCH_TTL, 60).text(DCH_dpType, "APIS").text(DCH_attrRegister, g.attrs);
    }
    return m;
}

const char* kAttrs = "Count,C,4, , ,How many;Name,D,8, , ,Its name;@Key,D,4, , ,The key";

MessageBuilder online(const std::string& appl, const std::string& group, const std::string& source = "") {
    MessageBuilder m;
    m.request(DCH_dp_online).text(DCH_applName, appl).text(DCH_attrGroup, group);
    if (!source.empty()) {
        m.text(DCH_sourceName, source);
    }
    return m;
}

struct OnlineReply {
    int32_t status = -99;
    int32_t handle = -99;
    bool hasHandle = false;
};

OnlineReply onlineReply(HubTestClient& c) {
    OnlineReply r;
    auto frame = c.receive();
    if (!frame) {
        return r;
    }
    FieldReader fr(frame->data(), frame->size());
    fr.next().int32(&r.status);
    FieldReader::Field h = fr.next();
    r.hasHandle = h.type == DCH_handle && h.int32(&r.handle);
    return r;
}

MessageBuilder row(int32_t handle, int32_t count, const std::string& name, const std::string& key = "k1") {
    MessageBuilder m;
    m.request(DCH_dp_data).int32(DCH_handle, handle);
    m.text(DCH_attrName, "Count").add(DCH_attrValue, &count, 4, 'C');
    m.text(DCH_attrName, "Name").add(DCH_attrValue, name.data(), name.size(), 'D');
    m.text(DCH_attrName, "Key").add(DCH_attrValue, key.data(), key.size(), 'D');
    return m;
}

MessageBuilder subscribe(int16_t code, const std::string& appl, const std::string& group, int32_t on) {
    MessageBuilder m;
    m.request(code);
    if (!appl.empty()) {
        m.text(DCH_applName, appl).text(DCH_attrGroup, group);
    }
    m.int32(DCH_status, on);
    return m;
}

MessageBuilder unregister(const std::string& appl);

// Requests of one connection are served in order, but requests of different connections may overtake
// each other: a round trip on c makes sure everything c sent before has been served.
void sync(HubTestClient& c) {
    ASSERT_TRUE(c.send(unregister("NOSUCHAPP")));
    ASSERT_EQ(c.receiveStatus(), -1);
}

MessageBuilder malformed() {
    MessageBuilder m;
    m.text(DCH_applName, "NOTAREQUEST");
    return m;
}

MessageBuilder unregister(const std::string& appl) {
    MessageBuilder m;
    m.request(DCH_dp_unregister).text(DCH_applName, appl);
    return m;
}

struct StatusRecord {
    std::string appl, group, source;
    int16_t code = 0;
};

std::optional<StatusRecord> statusRecord(HubTestClient& c, std::chrono::milliseconds deadline = 10s) {
    auto frame = c.receive(deadline);
    if (!frame) {
        return std::nullopt;
    }
    FieldReader r(frame->data(), frame->size());
    StatusRecord s;
    s.appl = std::string(r.next().text());
    s.group = std::string(r.next().text());
    s.source = std::string(r.next().text());
    r.next().int16(&s.code);
    return s;
}

class Hub : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(_hub.ready()); }
    TraceCapture _trace{vorpane::trace::kError | vorpane::trace::kState};
    ScopedEnv _noIgnore{"ZOTA_IGNORE_DCH_ERRORS", std::nullopt};
    TestHub _hub;
};

TEST_F(Hub, RegistrationStatusesAndTheHandleOfASource) {
    HubTestClient p(_hub.port());
    ASSERT_TRUE(p.send(registration("myapp", {{"DISK", 'P', kAttrs}, {"CPU", 'E', kAttrs}})));
    EXPECT_EQ(p.receiveStatus(), 0);
    ASSERT_TRUE(p.send(registration("MYAPP", {{"DISK", 'P', kAttrs}, {"CPU", 'E', kAttrs}})));
    EXPECT_EQ(p.receiveStatus(), 1);  // a duplicate, accepted
    ASSERT_TRUE(p.send(registration("TWICE", {{"G1", 'P', kAttrs}, {"g1", 'P', kAttrs}})));
    EXPECT_EQ(p.receiveStatus(), 6);
    std::vector<Group> many;
    for (int i = 0; i < 65; ++i) {
        many.push_back({"G" + std::to_string(i), 'P', "A,C,4, , ,x"});
    }
    ASSERT_TRUE(p.send(registration("MANY", many)));
    EXPECT_EQ(p.receiveStatus(), -1);
    EXPECT_TRUE(_trace.contains("Error: Maximum of 64 attribute groups per application exceeded."));

    ASSERT_TRUE(p.send(online("MYAPP", "DISK", "host1.example.com")));
    OnlineReply first = onlineReply(p);
    EXPECT_EQ(first.status, 0);
    EXPECT_TRUE(first.hasHandle);
    EXPECT_NE(first.handle, 0);
    ASSERT_TRUE(p.send(online("MYAPP", "DISK", "host2")));
    OnlineReply second = onlineReply(p);
    EXPECT_EQ(second.status, 0);
    EXPECT_EQ(second.handle, first.handle + 1);

    // Failures still carry a handle field, and it is 0.
    ASSERT_TRUE(p.send(online("NOSUCHAPP", "DISK", "host1")));
    OnlineReply failed = onlineReply(p);
    EXPECT_EQ(failed.status, 4);  // no such application
    EXPECT_TRUE(failed.hasHandle);
    EXPECT_EQ(failed.handle, 0);
    // Other replies carry the status only.
    ASSERT_TRUE(p.send(unregister("NOSUCHAPP")));
    auto frame = p.receive();
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->size(), 14u);
}

TEST_F(Hub, SourceNamesAreCutAtTheDomainKeptAsAddressesAndDefaultToTheSender) {
    HubTestClient p(_hub.port());
    HubTestClient status(_hub.port());
    ASSERT_TRUE(p.send(registration("NAMES", {{"G", 'P', kAttrs}})));
    ASSERT_EQ(p.receiveStatus(), 0);
    ASSERT_TRUE(status.send(subscribe(DCH_dc_waitForDPStatus, "", "", 1)));
    sync(status);
    for (const auto& [sent, expected] : std::vector<std::pair<std::string, std::string>>{
             {"db1.example.com", "db1"},
             {"10.1.2.3", "10.1.2.3"},
             {std::string(40, 's') + "TAIL", std::string(28, 's') + "TAIL"},
             {"", "127.0.0.1"}}) {
        ASSERT_TRUE(p.send(online("NAMES", "G", sent)));
        EXPECT_EQ(onlineReply(p).status, 0) << sent;
        auto rec = statusRecord(status);
        ASSERT_TRUE(rec) << sent;
        EXPECT_EQ(rec->source, expected);
        EXPECT_EQ(rec->code, DCH_dp_online);
    }
}

TEST_F(Hub, ACollectorReceivesOneDataMessagePerRowUntilItUnsubscribes) {
    HubTestClient p(_hub.port());
    HubTestClient collector(_hub.port());
    ASSERT_TRUE(p.send(registration("ROWS", {{"DISK", 'P', kAttrs}})));
    ASSERT_EQ(p.receiveStatus(), 0);
    ASSERT_TRUE(p.send(online("ROWS", "DISK", "src1")));
    OnlineReply on = onlineReply(p);
    ASSERT_EQ(on.status, 0);
    ASSERT_TRUE(collector.send(subscribe(DCH_dc_waitOnData, "rows", "disk", 1)));
    sync(collector);

    for (int i = 1; i <= 3; ++i) {
        ASSERT_TRUE(p.send(row(on.handle, i * 10, "name" + std::to_string(i))));
        ASSERT_EQ(p.receiveStatus(), 0);
        auto data = collector.receive();
        ASSERT_TRUE(data);
        FieldReader r(data->data(), data->size());
        EXPECT_EQ(r.next().text(), "src1");
        int16_t control = 0;
        ASSERT_TRUE(r.next().int16(&control));
        EXPECT_EQ(control, 0x11);
        FieldReader::Field count = r.next();
        int32_t n = 0;
        EXPECT_EQ(count.extra, 'C');
        ASSERT_TRUE(count.int32(&n));
        EXPECT_EQ(n, i * 10);
        FieldReader::Field name = r.next();
        EXPECT_EQ(name.extra, 'D');
        EXPECT_EQ(name.text(), "name" + std::to_string(i));
        EXPECT_EQ(r.next().text(), "k1");
        EXPECT_FALSE(r.next());
    }

    ASSERT_TRUE(collector.send(subscribe(DCH_dc_waitOnData, "ROWS", "DISK", 0)));
    sync(collector);
    ASSERT_TRUE(p.send(row(on.handle, 99, "late")));
    ASSERT_EQ(p.receiveStatus(), 0);
    EXPECT_FALSE(collector.receive(300ms));
}

// Rows that wait in the queue together are answered at once, while their data messages may leave
// together a little later: each collector still receives every one of them, in order, and nothing
// the hub does for a later request overtakes them.
TEST_F(Hub, RowsQueuedTogetherReachTheCollectorInOrderAndAreNotOvertaken) {
    HubTestClient p(_hub.port());
    HubTestClient collector(_hub.port());  // data and provider status on one connection
    ASSERT_TRUE(p.send(registration("BURST", {{"DISK", 'P', kAttrs}})));
    ASSERT_EQ(p.receiveStatus(), 0);
    ASSERT_TRUE(p.send(online("BURST", "DISK", "src1")));
    OnlineReply on = onlineReply(p);
    ASSERT_EQ(on.status, 0);
    ASSERT_TRUE(collector.send(subscribe(DCH_dc_waitOnData, "BURST", "DISK", 1)));
    ASSERT_TRUE(collector.send(subscribe(DCH_dc_waitForDPStatus, "", "", 1)));
    std::optional<StatusRecord> replay = statusRecord(collector);
    ASSERT_TRUE(replay);
    EXPECT_EQ(replay->code, DCH_dp_online);

    // Forty rows and the source going offline, in one write: the hub queues them back to back.
    constexpr int kRows = 40;
    std::string burst;
    for (int i = 0; i < kRows; ++i) {
        MessageBuilder m = row(on.handle, i, "n" + std::to_string(i));
        burst.append(m.data(), m.size());
    }
    MessageBuilder offline;
    offline.request(DCH_dp_offline).int32(DCH_handle, on.handle);
    burst.append(offline.data(), offline.size());
    ASSERT_TRUE(p.sendRaw(burst));
    for (int i = 0; i <= kRows; ++i) {
        ASSERT_EQ(p.receiveStatus(), 0) << "reply " << i;
    }
    for (int i = 0; i < kRows; ++i) {
        auto data = collector.receive();
        ASSERT_TRUE(data) << "row " << i;
        FieldReader r(data->data(), data->size());
        EXPECT_EQ(r.next().text(), "src1");
        r.next();
        int32_t n = -1;
        ASSERT_TRUE(r.next().int32(&n));
        EXPECT_EQ(n, i);
    }
    std::optional<StatusRecord> gone = statusRecord(collector);
    ASSERT_TRUE(gone);
    EXPECT_EQ(gone->code, DCH_dp_offline);
    EXPECT_EQ(gone->source, "src1");

    // A provider that also collects its own group gets each row's data message before its status.
    HubTestClient self(_hub.port());
    ASSERT_TRUE(self.send(registration("SELF", {{"G", 'P', kAttrs}})));
    ASSERT_EQ(self.receiveStatus(), 0);
    ASSERT_TRUE(self.send(online("SELF", "G", "me")));
    OnlineReply mine = onlineReply(self);
    ASSERT_EQ(mine.status, 0);
    ASSERT_TRUE(self.send(subscribe(DCH_dc_waitOnData, "SELF", "G", 1)));
    burst.clear();
    for (int i = 0; i < 10; ++i) {
        MessageBuilder m = row(mine.handle, 100 + i, "x");
        burst.append(m.data(), m.size());
    }
    ASSERT_TRUE(self.sendRaw(burst));
    for (int i = 0; i < 10; ++i) {
        auto data = self.receive();
        ASSERT_TRUE(data);
        FieldReader r(data->data(), data->size());
        EXPECT_EQ(r.next().type, DCH_sourceName) << "row " << i << " must come before its status";
        r.next();
        int32_t n = -1;
        ASSERT_TRUE(r.next().int32(&n));
        EXPECT_EQ(n, 100 + i);
        EXPECT_EQ(self.receiveStatus(), 0);
    }
}

TEST_F(Hub, RequestsOfOneWriteAreEachHandledInOrderWhateverTheirKind) {
    HubTestClient p(_hub.port());
    HubTestClient collector(_hub.port());
    ASSERT_TRUE(p.send(registration("MIXED", {{"G", 'P', kAttrs}})));
    ASSERT_EQ(p.receiveStatus(), 0);
    ASSERT_TRUE(p.send(online("MIXED", "G", "src1")));
    OnlineReply on = onlineReply(p);
    ASSERT_EQ(on.status, 0);
    ASSERT_TRUE(collector.send(subscribe(DCH_dc_waitOnData, "MIXED", "G", 1)));
    sync(collector);

    // Rows, a registration, a message that is no request, an unknown code, a refused row and an
    // unregistration, sent in one write: each is handled as if it had come alone.
    std::string burst;
    auto append = [&burst](const MessageBuilder& m) { burst.append(m.data(), m.size()); };
    append(row(on.handle, 1, "first"));
    append(registration("BURST", {{"H", 'P', kAttrs}}));
    append(malformed());
    MessageBuilder unknown;
    unknown.request(0x7777);
    append(unknown);
    append(row(on.handle + 1000, 2, "nosource"));
    append(row(on.handle, 3, "third"));
    append(unregister("NOSUCHAPP"));
    ASSERT_TRUE(p.sendRaw(burst));
    EXPECT_EQ(p.receiveStatus(), 0);   // the first row
    EXPECT_EQ(p.receiveStatus(), 0);   // the registration
    EXPECT_NE(p.receiveStatus(), 0);   // the row of an unknown handle
    EXPECT_EQ(p.receiveStatus(), 0);   // the third row
    EXPECT_EQ(p.receiveStatus(), -1);  // the unregistration: the two in between got no reply
    EXPECT_EQ(_trace.count("Error: dataType of DCH_requestType missing"), 1);
    EXPECT_TRUE(_trace.contains("Error: Invalid DCHserver requestType 30583"));
    for (int32_t expected : {1, 3}) {
        auto data = collector.receive();
        ASSERT_TRUE(data);
        FieldReader r(data->data(), data->size());
        EXPECT_EQ(r.next().text(), "src1");
        r.next();
        int32_t n = -1;
        ASSERT_TRUE(r.next().int32(&n));
        EXPECT_EQ(n, expected);
    }
    ASSERT_TRUE(p.send(online("BURST", "H", "src2")));
    EXPECT_EQ(onlineReply(p).status, 0) << "the registration in the burst took effect";
    EXPECT_EQ(_hub.server().figures().rows(), 2u);
}

TEST_F(Hub, DataRequestsThatCannotBeStored) {
    HubTestClient p(_hub.port());
    ASSERT_TRUE(p.send(registration("DATA", {{"G", 'K', kAttrs}})));
    ASSERT_EQ(p.receiveStatus(), 0);
    ASSERT_TRUE(p.send(online("DATA", "G", "s")));
    OnlineReply on = onlineReply(p);
    ASSERT_EQ(on.status, 0);

    MessageBuilder unknown;
    unknown.request(DCH_dp_data).int32(DCH_handle, on.handle).text(DCH_attrName, std::string(300, 'n'));
    unknown.add(DCH_attrValue, "x", 1, 'D');
    ASSERT_TRUE(p.send(unknown));
    EXPECT_EQ(p.receiveStatus(), 2);

    MessageBuilder clear;
    int16_t last = 0x10;
    clear.request(DCH_dp_data).int32(DCH_handle, on.handle).int16(DCH_controlField, last);
    ASSERT_TRUE(p.send(clear));
    EXPECT_EQ(p.receiveStatus(), 0);

    MessageBuilder empty;
    int16_t single = 0x11;
    empty.request(DCH_dp_data).int32(DCH_handle, on.handle).int16(DCH_controlField, single);
    ASSERT_TRUE(p.send(empty));
    EXPECT_EQ(p.receiveStatus(), -1);
    EXPECT_TRUE(_trace.contains("Error: Invalid dp_data request."));

    ASSERT_TRUE(p.send(row(on.handle + 1000, 1, "x")));
    EXPECT_EQ(p.receiveStatus(), 2);  // an unknown handle has no registered attributes
    MessageBuilder offline;
    offline.request(DCH_dp_offline).int32(DCH_handle, on.handle + 1000);
    ASSERT_TRUE(p.send(offline));
    EXPECT_EQ(p.receiveStatus(), -1);
    MessageBuilder noHandle;
    noHandle.request(DCH_dp_data).text(DCH_attrName, "Count");
    ASSERT_TRUE(p.send(noHandle));
    EXPECT_EQ(p.receiveStatus(), -1);
}

TEST_F(Hub, StatusSubscribersGetTheReplayThenEveryChange) {
    HubTestClient p(_hub.port());
    ASSERT_TRUE(p.send(registration("STAT", {{"G1", 'P', kAttrs}, {"G2", 'P', kAttrs}})));
    ASSERT_EQ(p.receiveStatus(), 0);
    ASSERT_TRUE(p.send(online("STAT", "G1", "a")));
    OnlineReply a = onlineReply(p);
    ASSERT_TRUE(p.send(online("STAT", "G2", "b")));
    ASSERT_EQ(onlineReply(p).status, 0);
    MessageBuilder off;
    off.request(DCH_dp_offline).int32(DCH_handle, a.handle);
    ASSERT_TRUE(p.send(off));
    ASSERT_EQ(p.receiveStatus(), 0);

    HubTestClient status(_hub.port());
    ASSERT_TRUE(status.send(subscribe(DCH_dc_waitForDPStatus, "", "", 1)));
    std::vector<std::string> replay;
    for (int i = 0; i < 2; ++i) {
        auto rec = statusRecord(status);
        ASSERT_TRUE(rec);
        replay.push_back(rec->group + "/" + rec->source + "/" + std::to_string(rec->code));
    }
    EXPECT_EQ(replay, (std::vector<std::string>{"G1/a/4133", "G2/b/4117"}));

    ASSERT_TRUE(p.send(online("STAT", "G1", "a")));
    ASSERT_EQ(onlineReply(p).status, 0);
    auto back = statusRecord(status);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->source, "a");
    EXPECT_EQ(back->code, DCH_dp_online);
    EXPECT_FALSE(statusRecord(status, 200ms));  // no status reply to the subscription itself
}

TEST_F(Hub, AttributeRequestsForUnknownApplicationsAreAnsweredWhenASourceComesOnline) {
    HubTestClient collector(_hub.port());
    MessageBuilder ask;
    ask.request(DCH_dc_getApplAttributes).text(DCH_applName, "LATER");
    ASSERT_TRUE(collector.send(ask));
    sync(collector);  // answered by the round trip's status only: the request is parked

    HubTestClient p(_hub.port());
    ASSERT_TRUE(p.send(registration("LATER", {{"G", 'P', "A,C,4, , ,x;B,D,2, , ,y"}})));
    ASSERT_EQ(p.receiveStatus(), 0);
    EXPECT_FALSE(collector.receive(200ms));  // registered, not yet online
    ASSERT_TRUE(p.send(online("LATER", "G", "s")));
    ASSERT_EQ(onlineReply(p).status, 0);
    auto info = collector.receive();
    ASSERT_TRUE(info);
    FieldReader r(info->data(), info->size());
    FieldReader::Field text = r.next();
    EXPECT_EQ(text.type, DCH_infoText);
    EXPECT_EQ(text.text(), "G,A,C,4:B,D,2:;");

    // The waiter was answered once and is gone.
    ASSERT_TRUE(p.send(online("LATER", "G", "t")));
    ASSERT_EQ(onlineReply(p).status, 0);
    EXPECT_FALSE(collector.receive(200ms));
}

TEST_F(Hub, AllApplicationsComeWholeBeyond4096Bytes) {
    HubTestClient p(_hub.port());
    size_t expected = 0;
    for (int i = 0; i < 150; ++i) {
        // One key (the first three letters) per application: XAA_APPLICATION, XAB_APPLICATION, ...
        const std::string appl =
            std::string{'X', static_cast<char>('A' + i / 26), static_cast<char>('A' + i % 26)} +
            "_APPLICATION";
        ASSERT_TRUE(p.send(registration(appl, {{"GROUPNAME", 'P', "A,C,4, , ,x"}})));
        ASSERT_EQ(p.receiveStatus(), 0);
        expected += appl.size() + std::string(",GROUPNAME,P,60,APIS:;").size();
    }
    MessageBuilder all;
    all.request(DCH_dc_getApplications);
    ASSERT_TRUE(p.send(all));
    auto info = p.receive();
    ASSERT_TRUE(info);
    FieldReader r(info->data(), info->size());
    FieldReader::Field text = r.next();
    EXPECT_GT(text.length, 4096u);
    EXPECT_EQ(text.length, expected);
    EXPECT_EQ(text.text().substr(0, 17), "XAA_APPLICATION,G");
}

TEST_F(Hub, ALostConnectionTakesItsSourcesOfflineAndUnregistersItsApplications) {
    HubTestClient status(_hub.port());
    ASSERT_TRUE(status.send(subscribe(DCH_dc_waitForDPStatus, "", "", 1)));
    sync(status);
    HubTestClient survivor(_hub.port());
    ASSERT_TRUE(survivor.send(registration("STAYS", {{"G", 'P', kAttrs}})));
    ASSERT_EQ(survivor.receiveStatus(), 0);
    {
        HubTestClient doomed(_hub.port());
        ASSERT_TRUE(doomed.send(registration("GOES", {{"G1", 'P', kAttrs}, {"G2", 'P', kAttrs}})));
        ASSERT_EQ(doomed.receiveStatus(), 0);
        for (const char* g : {"G1", "G2"}) {
            ASSERT_TRUE(doomed.send(online("GOES", g, "h")));
            ASSERT_EQ(onlineReply(doomed).status, 0);
            ASSERT_TRUE(statusRecord(status));
        }
    }  // the connection closes
    std::vector<std::string> offline;
    for (int i = 0; i < 2; ++i) {
        auto rec = statusRecord(status);
        ASSERT_TRUE(rec);
        EXPECT_EQ(rec->code, DCH_dp_offline);
        offline.push_back(rec->appl + "/" + rec->group);
    }
    EXPECT_EQ(offline, (std::vector<std::string>{"GOES/G1", "GOES/G2"}));
    // GOES is gone (a new registration is not a duplicate); STAYS still serves.
    ASSERT_TRUE(survivor.send(registration("GOES", {{"G1", 'P', kAttrs}})));
    EXPECT_EQ(survivor.receiveStatus(), 0);
    ASSERT_TRUE(survivor.send(online("STAYS", "G", "x")));
    EXPECT_EQ(onlineReply(survivor).status, 0);
}

TEST_F(Hub, CountsRequestsRowsMalformedRequestsAndConnections) {
    auto requestsOf = [&](const char* name) {
        for (const auto& [n, count] : _hub.server().figures().requests()) {
            if (std::string_view(n) == name) {
                return count;
            }
        }
        return uint64_t{0};
    };
    {
        HubTestClient c(_hub.port());
        ASSERT_TRUE(c.send(registration("FIGS", {{"G", 'P', kAttrs}})));
        ASSERT_EQ(c.receiveStatus(), 0);
        ASSERT_TRUE(c.send(online("FIGS", "G", "h")));
        const int handle = onlineReply(c).handle;
        ASSERT_TRUE(c.send(row(handle, 1, "a")));
        ASSERT_EQ(c.receiveStatus(), 0);
        ASSERT_TRUE(c.send(row(handle + 1000, 1, "a")));  // no such source: not a row taken
        ASSERT_NE(c.receiveStatus(), 0);
        ASSERT_TRUE(c.send(malformed()));
        MessageBuilder unknown;
        unknown.request(0x7777);
        ASSERT_TRUE(c.send(unknown));
        sync(c);
        EXPECT_EQ(_hub.server().connectionsAccepted(), 1u);
        EXPECT_EQ(_hub.server().figures().connectionsClosed(), 0u);
    }
    EXPECT_EQ(requestsOf("dp_register"), 1u);
    EXPECT_EQ(requestsOf("dp_online"), 1u);
    EXPECT_EQ(requestsOf("dp_data"), 2u);
    EXPECT_EQ(requestsOf("dp_unregister"), 1u);  // the sync
    EXPECT_EQ(_hub.server().figures().rows(), 1u);
    EXPECT_EQ(_hub.server().figures().malformedRequests(), 2u);
    EXPECT_EQ(_hub.server().figures().requests().size(), DCHfigures::kCodes);
    // The closed connection is counted once the request thread has handled its end.
    HubTestClient later(_hub.port());
    sync(later);
    EXPECT_TRUE(_trace.waitFor("Processing disconnect of connection"));
    EXPECT_EQ(_hub.server().figures().connectionsClosed(), 1u);
    EXPECT_EQ(_hub.server().connectionsAccepted(), 2u);
    EXPECT_EQ(_hub.server().queuedRequests(), 0);
}

TEST_F(Hub, CancelAndUnknownCodesGetNoReply) {
    HubTestClient c(_hub.port());
    MessageBuilder cancel;
    cancel.request(DCH_dp_cancel);
    MessageBuilder unknown;
    unknown.request(0x7777);
    ASSERT_TRUE(c.send(cancel));
    ASSERT_TRUE(c.send(unknown));
    ASSERT_TRUE(c.send(unregister("NOSUCHAPP")));
    EXPECT_EQ(c.receiveStatus(), -1);  // the first reply is the unregister's
    EXPECT_TRUE(_trace.contains("Error: Invalid DCHserver requestType 30583"));
}

TEST_F(Hub, AHundredMalformedRequestsEndRequestProcessing) {
    HubTestClient c(_hub.port());
    for (int i = 0; i < 99; ++i) {
        ASSERT_TRUE(c.send(malformed()));
    }
    ASSERT_TRUE(c.send(unregister("NOSUCHAPP")));
    EXPECT_EQ(c.receiveStatus(), -1);  // still serving after 99
    ASSERT_TRUE(c.send(malformed()));
    EXPECT_TRUE(_trace.waitFor("Error: DCHserver cannot continue. Maximum of 100 errors reached."));
    EXPECT_EQ(_trace.count("Error: dataType of DCH_requestType missing"), 100);
    ASSERT_TRUE(c.send(unregister("NOSUCHAPP")));
    EXPECT_FALSE(c.receiveStatus(300ms));
}

TEST_F(Hub, AResendIsAnsweredWithSevenAndTheNextMalformedMessageOnlyWarns) {
    HubTestClient c(_hub.port());
    MessageBuilder whole = registration("RESEND", {{"G", 'P', kAttrs}});
    std::string bytes(whole.data(), whole.size());
    ASSERT_TRUE(c.sendRaw(bytes.substr(0, 20)));  // the rest never comes in time
    EXPECT_EQ(c.receiveStatus(), 7);
    ASSERT_TRUE(c.sendRaw(bytes.substr(20)));  // late rest, discarded by the transport
    ASSERT_TRUE(c.send(malformed()));
    EXPECT_TRUE(_trace.waitFor("Warning: Buffer expansion stage. Message ignored."));
    ASSERT_TRUE(c.send(whole));
    EXPECT_EQ(c.receiveStatus(), 0);
}

TEST_F(Hub, HostileClientsNeverCorruptTheRegistry) {
    HubTestClient p(_hub.port());
    ASSERT_TRUE(p.send(registration("GOOD", {{"G", 'P', kAttrs}})));
    ASSERT_EQ(p.receiveStatus(), 0);

    std::vector<std::pair<MessageBuilder, int32_t>> refusals;
    refusals.emplace_back(registration(std::string(21, 'A'), {{"G", 'P', kAttrs}}), -1);
    refusals.emplace_back(registration("AB", {{"G", 'P', kAttrs}}), -1);
    refusals.emplace_back(registration("LONGGROUP", {{std::string(33, 'G'), 'P', kAttrs}}), -1);
    refusals.emplace_back(registration("LONGATTR", {{"G", 'P', std::string(300, 'n') + ",C,4, , ,x"}}), -1);
    refusals.emplace_back(registration("BADTYPE", {{"G", 'X', kAttrs}}), -1);
    refusals.emplace_back(online(std::string(21, 'A'), "G", "s"), -1);
    refusals.emplace_back(online("GOOD", std::string(33, 'G'), "s"), -1);
    for (auto& [message, status] : refusals) {
        ASSERT_TRUE(p.send(message));
        EXPECT_EQ(p.receiveStatus(), status);
    }
    // A long help text is cut, not refused.
    ASSERT_TRUE(p.send(registration("LONGHELP", {{"G", 'P', kAttrs}}, std::string(400, 'h'))));
    EXPECT_EQ(p.receiveStatus(), 0);
    // An attribute type letter outside the known ones registers, but its values are refused.
    ASSERT_TRUE(p.send(registration("ODDTYPE", {{"G", 'P', "Z1,Z,4, , ,x"}})));
    EXPECT_EQ(p.receiveStatus(), 0);
    ASSERT_TRUE(p.send(online("ODDTYPE", "G", "s")));
    OnlineReply odd = onlineReply(p);
    MessageBuilder oddRow;
    oddRow.request(DCH_dp_data).int32(DCH_handle, odd.handle).text(DCH_attrName, "Z1").add(DCH_attrValue, "abcd", 4);
    ASSERT_TRUE(p.send(oddRow));
    EXPECT_EQ(p.receiveStatus(), 2);

    // Lying lengths and random bytes on other connections.
    std::mt19937 random(7);
    for (int i = 0; i < 20; ++i) {
        HubTestClient hostile(_hub.port());
        std::string junk(1 + random() % 300, '\0');
        for (char& ch : junk) {
            ch = static_cast<char>(random());
        }
        hostile.sendRaw(junk);
    }
    HubTestClient liar(_hub.port());
    MessageBuilder lie = online("GOOD", "G", "s");
    std::vector<char> bytes(lie.data(), lie.data() + lie.size());
    bytes[4 + 8 + 2] = 0x7f;  // the application name claims far more bytes than the message holds
    liar.sendRaw(std::string_view(bytes.data(), bytes.size()));
    EXPECT_EQ(liar.receiveStatus(), -1);

    // The registry still answers the next valid requests.
    ASSERT_TRUE(p.send(online("GOOD", "G", "s")));
    OnlineReply good = onlineReply(p);
    EXPECT_EQ(good.status, 0);
    ASSERT_TRUE(p.send(row(good.handle, 5, "ok")));
    EXPECT_EQ(p.receiveStatus(), 0);
}

TEST_F(Hub, IgnoringErrorsKeepsTheHubServingPastAHundred) {
    // A second hub in the same test, started with the key set.
    ScopedEnv ignore("ZOTA_IGNORE_DCH_ERRORS", "Y");
    TestHub tolerant;
    ASSERT_TRUE(tolerant.ready());
    HubTestClient c(tolerant.port());
    for (int i = 0; i < 105; ++i) {
        ASSERT_TRUE(c.send(malformed()));
    }
    ASSERT_TRUE(c.send(unregister("NOSUCHAPP")));
    EXPECT_EQ(c.receiveStatus(), -1);
    EXPECT_EQ(_trace.count("Note: ignoring invalid DCH_requestType per ZOTA_IGNORE_DCH_ERRORS=Y"), 5);
}

TEST_F(Hub, DatagramRequestsAreAnsweredByDatagram) {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(fd, 0);
    sockaddr_in hub{};
    hub.sin_family = AF_INET;
    hub.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    hub.sin_port = htons(static_cast<uint16_t>(_hub.port()));
    MessageBuilder m = unregister("NOSUCHAPP");
    ASSERT_EQ(sendto(fd, m.data(), m.size(), 0, reinterpret_cast<sockaddr*>(&hub), sizeof hub),
              static_cast<ssize_t>(m.size()));
    pollfd pf{fd, POLLIN, 0};
    ASSERT_EQ(poll(&pf, 1, 10000), 1);
    char reply[64];
    ssize_t n = recv(fd, reply, sizeof reply, 0);
    close(fd);
    ASSERT_EQ(n, 14);
    FieldReader r(reply, static_cast<size_t>(n));
    int32_t status = 0;
    ASSERT_TRUE(r.next().int32(&status));
    EXPECT_EQ(status, -1);
}

// A datagram subscriber of its own socket, read raw: what each datagram holds.
class DatagramSubscriber {
  public:
    explicit DatagramSubscriber(int port) : _fd(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
        _hub.sin_family = AF_INET;
        _hub.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        _hub.sin_port = htons(static_cast<uint16_t>(port));
    }
    ~DatagramSubscriber() { close(_fd); }
    bool send(const MessageBuilder& m) {
        return sendto(_fd, m.data(), m.size(), 0, reinterpret_cast<const sockaddr*>(&_hub), sizeof _hub) ==
               static_cast<ssize_t>(m.size());
    }
    // The next datagram, empty when none comes within the deadline.
    std::string next(int millis = 10000) {
        pollfd pf{_fd, POLLIN, 0};
        if (poll(&pf, 1, millis) != 1) {
            return {};
        }
        std::string d(65536, '\0');
        const ssize_t n = recv(_fd, d.data(), d.size(), 0);
        d.resize(n > 0 ? static_cast<size_t>(n) : 0);
        return d;
    }

  private:
    int _fd;
    sockaddr_in _hub{};
};

// The Count values of the whole data messages back to back in a datagram; empty when the datagram
// is not made of whole messages.
std::vector<int32_t> countsOf(const std::string& datagram) {
    std::vector<int32_t> counts;
    for (size_t at = 0; at < datagram.size();) {
        const uint32_t length = datagram.size() - at >= 4 ? vorpane::dch::totalLength(datagram.data() + at) : 0;
        if (length < 4 || length > datagram.size() - at) {
            return {};
        }
        FieldReader r(datagram.data() + at, length);
        r.next();  // source
        r.next();  // control field
        int32_t n = -1;
        r.next().int32(&n);
        counts.push_back(n);
        at += length;
    }
    return counts;
}

TEST_F(Hub, ADatagramSubscriberThatAsksForPackedDatagramsGetsWholeRowsBackToBack) {
    HubTestClient p(_hub.port());
    ASSERT_TRUE(p.send(registration("PACKED", {{"G", 'P', kAttrs}})));
    ASSERT_EQ(p.receiveStatus(), 0);
    ASSERT_TRUE(p.send(online("PACKED", "G", "src1")));
    OnlineReply on = onlineReply(p);
    ASSERT_EQ(on.status, 0);

    DatagramSubscriber packed(_hub.port());
    MessageBuilder packedOn = subscribe(DCH_dc_waitOnData, "PACKED", "G", 1);
    packedOn.int16(DCH_controlField, DCH_CLAIM_UNCLAIMED_DATA | DCH_PACKED_DATAGRAMS);
    ASSERT_TRUE(packed.send(packedOn));
    sync(p);  // datagrams and the connection meet in one queue: a round trip orders them

    // 300 rows in one write, about 60 bytes each: more than one datagram holds.
    constexpr int kRows = 300;
    auto sendBurst = [&](int rows) {
        std::string burst;
        for (int i = 0; i < rows; ++i) {
            MessageBuilder m = row(on.handle, i, "n" + std::to_string(i));
            burst.append(m.data(), m.size());
        }
        ASSERT_TRUE(p.sendRaw(burst));
        for (int i = 0; i < rows; ++i) {
            ASSERT_EQ(p.receiveStatus(), 0) << "reply " << i;
        }
    };
    sendBurst(kRows);

    std::vector<int32_t> got;
    size_t datagrams = 0;
    while (got.size() < static_cast<size_t>(kRows)) {
        const std::string d = packed.next();
        ASSERT_FALSE(d.empty()) << "after " << got.size() << " rows";
        EXPECT_LE(d.size(), 8192u);
        const std::vector<int32_t> counts = countsOf(d);
        ASSERT_FALSE(counts.empty()) << "a datagram of whole messages";
        got.insert(got.end(), counts.begin(), counts.end());
        ++datagrams;
    }
    for (int i = 0; i < kRows; ++i) {
        ASSERT_EQ(got[static_cast<size_t>(i)], i);
    }
    EXPECT_LT(datagrams, static_cast<size_t>(kRows) / 10) << "rows are packed";

    // Stopped, the packed subscriber gets nothing more; a subscriber that does not ask for packing
    // gets one datagram per row (fewer rows: a socket's default buffer holds a few hundred).
    ASSERT_TRUE(packed.send(subscribe(DCH_dc_waitOnData, "PACKED", "G", 0)));
    DatagramSubscriber plain(_hub.port());
    MessageBuilder plainOn = subscribe(DCH_dc_waitOnData, "PACKED", "G", 1);
    plainOn.int16(DCH_controlField, DCH_CLAIM_UNCLAIMED_DATA);
    ASSERT_TRUE(plain.send(plainOn));
    sync(p);
    sendBurst(50);
    for (int i = 0; i < 50; ++i) {
        ASSERT_EQ(countsOf(plain.next()), std::vector<int32_t>{i});
    }
    EXPECT_TRUE(packed.next(0).empty());
}

// ---------------------------------------------------------------------------------------------------
// Connection identity, subscriptions and the registry under unlucky or hostile peers

int openDescriptors() {
    int n = 0;
    for (const auto& e : std::filesystem::directory_iterator("/proc/self/fd")) {
        (void)e;
        ++n;
    }
    return n;
}

// A provider dies with requests still queued and a new client connects at once, typically getting the
// dead one's descriptor number: every answer the new client reads is its own, round after round, and
// no descriptor is left behind.
TEST_F(Hub, ANewConnectionNeverReceivesWhatWasMeantForADeadOneOnTheSameDescriptor) {
    HubTestClient owner(_hub.port());
    ASSERT_TRUE(owner.send(registration("REUSE", {{"G", 'P', kAttrs}})));
    ASSERT_EQ(owner.receiveStatus(), 0);
    const int descriptorsBefore = openDescriptors();

    std::string doomedBurst;
    for (const MessageBuilder& m : {online("REUSE", "G", "dead"), unregister("NOSUCHAPP"), unregister("NOSUCHAPP")}) {
        doomedBurst.append(m.data(), m.size());
    }
    int reused = 0;
    for (int round = 0; round < 500; ++round) {
        int doomedFd = -1;
        {
            HubTestClient doomed(_hub.port());
            ASSERT_TRUE(doomed.sendRaw(doomedBurst));
            doomedFd = doomed.fd();
        }  // closed with its requests unanswered
        HubTestClient fresh(_hub.port());
        reused += fresh.fd() == doomedFd ? 1 : 0;
        // Its own two answers, in order, and nothing else: a status 4 with handle 0, then a bare 1.
        ASSERT_TRUE(fresh.send(online("NOTREGISTERED", "G", "x")));
        OnlineReply mine = onlineReply(fresh);
        ASSERT_EQ(mine.status, 4) << "round " << round;
        ASSERT_TRUE(mine.hasHandle);
        ASSERT_EQ(mine.handle, 0);
        MessageBuilder offlineUnknown;
        offlineUnknown.request(DCH_dp_offline).int32(DCH_handle, 999999);
        ASSERT_TRUE(fresh.send(offlineUnknown));
        auto frame = fresh.receive();
        ASSERT_TRUE(frame) << "round " << round;
        FieldReader r(frame->data(), frame->size());
        int32_t code = 0;
        ASSERT_TRUE(r.next().int32(&code));
        ASSERT_EQ(code, -1) << "round " << round;
        ASSERT_EQ(r.next().type, DCH_noField) << "round " << round;
    }
    EXPECT_GT(reused, 0);  // the client side reuses numbers too, so the hub's side did get the chance
    // The hub closes every connection it shut down once the disconnect is handled. The last one's may
    // be queued behind a request of the owner, whose connection the server reads first: each round
    // trip lets the hub handle what was queued before it.
    for (int i = 0; i < 50 && openDescriptors() != descriptorsBefore; ++i) {
        sync(owner);
    }
    EXPECT_EQ(openDescriptors(), descriptorsBefore);
}

TEST_F(Hub, ACollectorThatStopsEndsOnlyItsOwnSubscription) {
    HubTestClient p(_hub.port());
    ASSERT_TRUE(p.send(registration("SHARED", {{"G", 'P', kAttrs}})));
    ASSERT_EQ(p.receiveStatus(), 0);
    ASSERT_TRUE(p.send(online("SHARED", "G", "src")));
    OnlineReply on = onlineReply(p);
    ASSERT_EQ(on.status, 0);

    HubTestClient a(_hub.port());
    ASSERT_TRUE(a.send(subscribe(DCH_dc_waitOnData, "SHARED", "G", 1)));
    sync(a);
    {
        HubTestClient b(_hub.port());
        ASSERT_TRUE(b.send(subscribe(DCH_dc_waitOnData, "SHARED", "G", 1)));
        ASSERT_TRUE(b.send(subscribe(DCH_dc_waitOnData, "SHARED", "G", 0)));  // b stops, then goes
        sync(b);
    }
    // A datagram subscriber's stop is matched by its address: another datagram sender cannot end it.
    int udp = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(udp, 0);
    sockaddr_in hub{};
    hub.sin_family = AF_INET;
    hub.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    hub.sin_port = htons(static_cast<uint16_t>(_hub.port()));
    MessageBuilder stopOther = subscribe(DCH_dc_waitOnData, "SHARED", "G", 0);
    ASSERT_EQ(sendto(udp, stopOther.data(), stopOther.size(), 0, reinterpret_cast<sockaddr*>(&hub), sizeof hub),
              static_cast<ssize_t>(stopOther.size()));
    close(udp);
    sync(p);
    EXPECT_TRUE(_trace.contains("Error: removing entry for <2060> and <SHARED> and <G>"));

    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(p.send(row(on.handle, i, "r")));
        ASSERT_EQ(p.receiveStatus(), 0);
        auto data = a.receive();
        ASSERT_TRUE(data) << "row " << i;
        FieldReader r(data->data(), data->size());
        EXPECT_EQ(r.next().text(), "src");
    }
}

std::string allApplications(HubTestClient& c) {
    MessageBuilder m;
    m.request(DCH_dc_getApplications);
    if (!c.send(m)) {
        return "<send failed>";
    }
    auto frame = c.receive();
    if (!frame) {
        return "<no answer>";
    }
    FieldReader r(frame->data(), frame->size());
    return std::string(r.next().text());
}

TEST_F(Hub, ARefusedRegistrationLeavesTheRegistryAsItWas) {
    HubTestClient p(_hub.port());
    ASSERT_TRUE(p.send(registration("OTHER", {{"G", 'P', kAttrs}})));  // default source OTHER_0
    ASSERT_EQ(p.receiveStatus(), 0);
    const std::string before = allApplications(p);
    ASSERT_EQ(before.substr(0, 8), "OTHER,G,");

    // A new application refused at its second group: nothing of it stays.
    ASSERT_TRUE(p.send(registration("TWICE", {{"G1", 'P', kAttrs}, {"g1", 'P', kAttrs}})));
    ASSERT_EQ(p.receiveStatus(), 6);
    EXPECT_EQ(allApplications(p), before);
    ASSERT_TRUE(p.send(online("TWICE", "G1", "s")));
    EXPECT_EQ(onlineReply(p).status, 4);  // no such application
    ASSERT_TRUE(p.send(registration("TWICE", {{"G1", 'P', kAttrs}})));
    EXPECT_EQ(p.receiveStatus(), 0);  // a first registration, not a duplicate

    // An application registered before keeps what it had and gains nothing.
    ASSERT_TRUE(p.send(registration("KEEP", {{"G1", 'P', kAttrs}})));
    ASSERT_EQ(p.receiveStatus(), 0);
    const std::string withKeep = allApplications(p);
    ASSERT_TRUE(p.send(registration("KEEP", {{"G2", 'P', kAttrs}, {"G2", 'P', kAttrs}})));
    ASSERT_EQ(p.receiveStatus(), 6);
    EXPECT_EQ(allApplications(p), withKeep);
    ASSERT_TRUE(p.send(online("KEEP", "G2", "s")));
    EXPECT_EQ(onlineReply(p).status, 5);  // the refused group never became part of it
    ASSERT_TRUE(p.send(online("KEEP", "G1", "s")));
    EXPECT_EQ(onlineReply(p).status, 0);

    // Refused because the next default source name is taken by a source of that name. Every group
    // allocated so far counted one default name, refused or not: OTHER_0, TWICE_1 (its duplicate
    // group never got that far), TWICE_2, KEEP_3, KEEP_4; so NAMED gets NAMED_5 and its second
    // registration would use NAMED_6.
    ASSERT_TRUE(p.send(registration("NAMED", {{"G", 'P', kAttrs}})));
    ASSERT_EQ(p.receiveStatus(), 0);
    ASSERT_TRUE(p.send(online("NAMED", "G", "NAMED_6")));
    ASSERT_EQ(onlineReply(p).status, 0);
    const std::string withNamed = allApplications(p);
    ASSERT_TRUE(p.send(registration("NAMED", {{"G", 'P', kAttrs}})));
    EXPECT_EQ(p.receiveStatus(), -1);
    EXPECT_TRUE(_trace.contains("Error: attrInfoList[NAMED/G] already exists."));
    EXPECT_EQ(allApplications(p), withNamed);
    ASSERT_TRUE(p.send(online("NAMED", "G", "other")));
    EXPECT_EQ(onlineReply(p).status, 0);
}

// The first three letters of an application's name are its key: its files and tables are named after
// it, so a second application with the key of a registered one is refused, with the holder's name.
TEST_F(Hub, AnApplicationWhoseKeyAnotherHoldsIsRefusedWithTheHoldersName) {
    HubTestClient p(_hub.port());
    auto refusal = [&p](const std::string& appl) {
        std::pair<int32_t, std::string> r{-99, "<no name>"};
        if (!p.send(registration(appl, {{"G", 'P', kAttrs}}))) {
            return r;
        }
        auto frame = p.receive();
        if (!frame) {
            return r;
        }
        FieldReader fr(frame->data(), frame->size());
        fr.next().int32(&r.first);
        if (FieldReader::Field holder = fr.next(); holder.type == DCH_applName) {
            r.second = std::string(holder.cText());
        }
        return r;
    };
    ASSERT_TRUE(p.send(registration("WEBLOG", {{"ACCESS", 'E', kAttrs}})));
    ASSERT_EQ(p.receiveStatus(), 0);
    const std::string before = allApplications(p);

    EXPECT_EQ(refusal("webcheck"), std::make_pair(DCH_STATUS_KEY_HELD, std::string("WEBLOG")));
    EXPECT_TRUE(_trace.contains(
        "Error: application <WEBCHECK> refused: its key <WEB> is held by application <WEBLOG>"));
    EXPECT_EQ(allApplications(p), before);
    ASSERT_TRUE(p.send(online("WEBCHECK", "G", "s")));
    EXPECT_EQ(onlineReply(p).status, 4);  // no such application
    // The holder itself registers again as before.
    ASSERT_TRUE(p.send(registration("WEBLOG", {{"ACCESS", 'E', kAttrs}})));
    EXPECT_EQ(p.receiveStatus(), 1);

    // The agent's own key is its application's even before that registers.
    EXPECT_EQ(refusal("VAGZZZ"), std::make_pair(DCH_STATUS_KEY_HELD, std::string("VAGENT")));
    EXPECT_EQ(refusal("VAGENT").first, 0);

    // Once the holder is gone, the key is free.
    ASSERT_TRUE(p.send(unregister("WEBLOG")));
    ASSERT_EQ(p.receiveStatus(), 0);
    EXPECT_EQ(refusal("WEBCHECK").first, 0);
}

TEST_F(Hub, ASourceNamedLikeItsGroupsDefaultSourceComesOnlineAgainWithoutANewList) {
    HubTestClient p(_hub.port());
    ASSERT_TRUE(p.send(registration("DFLT", {{"G", 'P', kAttrs}})));  // its list: source DFLT_0
    ASSERT_EQ(p.receiveStatus(), 0);
    int32_t handle = 0;
    for (int i = 0; i < 5; ++i) {
        ASSERT_TRUE(p.send(online("DFLT", "G", "DFLT_0")));
        OnlineReply r = onlineReply(p);
        ASSERT_EQ(r.status, 0) << "call " << i;
        if (i == 0) {
            handle = r.handle;
        }
        EXPECT_EQ(r.handle, handle) << "call " << i;
    }
    // Handles are numbered in the order lists are made: the next list is the very next number, so
    // none was made (and left behind) by those five calls.
    ASSERT_TRUE(p.send(online("DFLT", "G", "fresh")));
    OnlineReply fresh = onlineReply(p);
    ASSERT_EQ(fresh.status, 0);
    EXPECT_EQ(fresh.handle, handle + 1);
    // A source named exactly like its application is served the same way.
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(p.send(online("DFLT", "G", "DFLT")));
        ASSERT_EQ(onlineReply(p).status, 0) << "call " << i;
    }
    // The status replay shows one record per list that has been online: one per source name.
    HubTestClient status(_hub.port());
    ASSERT_TRUE(status.send(subscribe(DCH_dc_waitForDPStatus, "", "", 1)));
    ASSERT_TRUE(status.send(unregister("NOSUCHAPP")));  // its status reply ends the replay
    std::vector<std::string> sources;
    for (;;) {
        auto frame = status.receive();
        ASSERT_TRUE(frame);
        FieldReader r(frame->data(), frame->size());
        FieldReader::Field first = r.next();
        if (first.type == DCH_status) {
            break;
        }
        sources.emplace_back(r.next().text().data(), 0);
        sources.back().assign(r.next().text());
    }
    EXPECT_EQ(sources, (std::vector<std::string>{"DFLT_0", "fresh", "DFLT"}));
}

// Names are the same text whether or not the sender counted a terminator; a field of the right
// length but the wrong type is no field at all.
TEST_F(Hub, NamesEndAtTheirTerminatorAndFieldsAreReadByTypeAsWellAsLength) {
    HubTestClient p(_hub.port());
    MessageBuilder reg;
    reg.request(DCH_dp_register).add(DCH_applName, "TERM", 5).add(DCH_helpText, "help", 5);
    const char type = 'P';
    reg.add(DCH_attrGroup, "GRP", 4).add(DCH_helpText, "g", 2).add(DCH_attributesType, &type, 1);
    reg.int32(DCH_TTL, 60).text(DCH_dpType, "APIS").text(DCH_attrRegister, kAttrs);
    ASSERT_TRUE(p.send(reg));
    ASSERT_EQ(p.receiveStatus(), 0);
    ASSERT_TRUE(p.send(online("TERM", "GRP", "s")));
    OnlineReply on = onlineReply(p);
    ASSERT_EQ(on.status, 0);

    // dp_redriveReportRequest: a 4-byte field that is not DCH_handle does not name the source.
    MessageBuilder redrive;
    redrive.request(DCH_dp_redriveReportRequest).int32(DCH_time, on.handle).int32(DCH_actionID, 1);
    ASSERT_TRUE(p.send(redrive));
    EXPECT_EQ(p.receiveStatus(), -1);
    EXPECT_TRUE(_trace.contains("Error: dataType of DCH_handle missing"));
    // ... and dp_data the same.
    MessageBuilder data;
    data.request(DCH_dp_data).int32(DCH_time, on.handle);
    ASSERT_TRUE(p.send(data));
    EXPECT_EQ(p.receiveStatus(), -1);

    // dp_setDemandReportOption: a 2-byte field of another type is no control field (status 1, and
    // no results message comes first).
    MessageBuilder demand;
    demand.request(DCH_dp_setDemandReportOption).int16(DCH_requestType, 1);
    demand.text(DCH_applName, "TERM").text(DCH_attrGroup, "GRP").text(DCH_sourceName, "s");
    ASSERT_TRUE(p.send(demand));
    EXPECT_EQ(p.receiveStatus(), 1);

    // dc_deferReportRequest: with a mistyped number it stops before the samples list is asked.
    auto defer = [](uint16_t firstType) {
        MessageBuilder m;
        m.request(DCH_dc_deferReportRequest).int32(firstType, 7).int32(DCH_objectPtr, 1).int32(DCH_time, 2);
        m.text(DCH_applKey, "TER").text(DCH_tableName, "TABLE").text(DCH_sourceName, "s");
        return m;
    };
    ASSERT_TRUE(p.send(defer(DCH_handle)));
    sync(p);
    EXPECT_FALSE(_trace.contains("Error: samplesList object is not available"));
    ASSERT_TRUE(p.send(defer(DCH_actionID)));
    sync(p);
    EXPECT_TRUE(_trace.contains("Error: samplesList object is not available"));
}

// The time a request has to arrive whole is not the send time-out: with ZOTA_DCH_TIMEOUT=0 a request
// split over two segments is still answered.
TEST(HubArrival, ARequestSplitOverTwoSegmentsIsAnsweredWithAZeroSendTimeout) {
    ScopedEnv timeout("ZOTA_DCH_TIMEOUT", "0");
    ScopedEnv arrival("VORPANE_DCH_ARRIVAL_TIMEOUT", std::nullopt);
    TestHub hub(10);  // the arrival floor of 5 seconds is half a second here
    ASSERT_TRUE(hub.ready());
    HubTestClient p(hub.port());
    MessageBuilder m = unregister("NOSUCHAPP");
    ASSERT_TRUE(p.sendRaw(std::string_view(m.data(), 6)));
    // Not a wait for a thread: the pause makes the hub see the request's first segment alone.
    std::this_thread::sleep_for(50ms);
    ASSERT_TRUE(p.sendRaw(std::string_view(m.data() + 6, m.size() - 6)));
    EXPECT_EQ(p.receiveStatus(), -1);
}

// A collector that never reads while eight providers stream: it is cut once its outgoing queue is
// full or it takes nothing for the send time-out; nobody else waits for it or sees a broken frame,
// and what it receives is whole messages up to the cut, then the end.
TEST(HubStall, ACollectorThatNeverReadsIsCutAndCostsTheOthersNothing) {
    ScopedEnv bound("VORPANE_DCH_SEND_QUEUE", "65536");
    TraceCapture trace(vorpane::trace::kError);
    TestHub hub(100);
    ASSERT_TRUE(hub.ready());
    constexpr int kProviders = 8;
    std::vector<std::unique_ptr<HubTestClient>> providers;
    std::vector<int32_t> toStalled;
    std::vector<int32_t> toReader;
    for (int i = 0; i < kProviders; ++i) {
        providers.push_back(std::make_unique<HubTestClient>(hub.port()));
        HubTestClient& p = *providers.back();
        if (i == 0) {
            // Large rows fill the stalled collector's socket buffers in fewer rounds.
            const std::string wide = "Count,C,4, , ,How many;Name,D,4000, , ,Its name;@Key,D,4, , ,The key";
            ASSERT_TRUE(p.send(registration("FLOOD", {{"G", 'P', wide}, {"H", 'P', wide}})));
            ASSERT_EQ(p.receiveStatus(), 0);
        }
        for (const char* g : {"G", "H"}) {
            ASSERT_TRUE(p.send(online("FLOOD", g, "p" + std::to_string(i))));
            OnlineReply on = onlineReply(p);
            ASSERT_EQ(on.status, 0);
            (std::string_view(g) == "G" ? toStalled : toReader).push_back(on.handle);
        }
    }
    HubTestClient stalled(hub.port(), 4096);
    ASSERT_TRUE(stalled.send(subscribe(DCH_dc_waitOnData, "FLOOD", "G", 1)));
    HubTestClient reader(hub.port());
    ASSERT_TRUE(reader.send(subscribe(DCH_dc_waitOnData, "FLOOD", "H", 1)));
    sync(*providers[0]);

    const std::string name(4000, 'n');
    int rounds = 0;
    for (; rounds < 20000 && hub.server().sender()->cutCount() == 0; ++rounds) {
        for (int i = 0; i < kProviders; ++i) {
            HubTestClient& p = *providers[static_cast<size_t>(i)];
            ASSERT_TRUE(p.send(row(toStalled[static_cast<size_t>(i)], rounds, name)));
            ASSERT_EQ(p.receiveStatus(), 0) << "round " << rounds;
            ASSERT_TRUE(p.send(row(toReader[static_cast<size_t>(i)], rounds, name)));
            ASSERT_EQ(p.receiveStatus(), 0) << "round " << rounds;
            auto data = reader.receive();
            ASSERT_TRUE(data) << "round " << rounds;
            FieldReader r(data->data(), data->size());
            ASSERT_EQ(r.next().text(), "p" + std::to_string(i));
            r.next();
            int32_t n = -1;
            ASSERT_TRUE(r.next().int32(&n));
            ASSERT_EQ(n, rounds);
        }
    }
    ASSERT_EQ(hub.server().sender()->cutCount(), 1) << "after " << rounds << " rounds";
    EXPECT_TRUE(trace.contains("Error: connection "));

    // What reached the stalled collector is whole data messages in order, then the end.
    std::string bytes;
    char chunk[65536];
    for (;;) {
        pollfd pf{stalled.fd(), POLLIN, 0};
        ASSERT_EQ(poll(&pf, 1, 10000), 1);
        const ssize_t n = recv(stalled.fd(), chunk, sizeof chunk, 0);
        if (n <= 0) {
            break;
        }
        bytes.append(chunk, static_cast<size_t>(n));
    }
    size_t at = 0;
    int messages = 0;
    while (bytes.size() - at >= DCH_FRAME_HEADER) {
        const uint32_t length = vorpane::dch::totalLength(bytes.data() + at);
        ASSERT_LE(length, bytes.size() - at) << "the stream ended inside message " << messages;
        FieldReader r(bytes.data() + at, length);
        FieldReader::Field source = r.next();
        ASSERT_EQ(source.type, DCH_sourceName) << "message " << messages;
        ASSERT_EQ(source.text().substr(0, 1), "p");
        at += length;
        ++messages;
    }
    EXPECT_GT(messages, 0);
    EXPECT_EQ(at, bytes.size());

    // The providers go on as before; the cut collector's subscription is gone with it.
    for (int i = 0; i < kProviders; ++i) {
        ASSERT_TRUE(providers[static_cast<size_t>(i)]->send(row(toStalled[static_cast<size_t>(i)], -1, name)));
        EXPECT_EQ(providers[static_cast<size_t>(i)]->receiveStatus(), 0);
    }
}

std::string infoText(HubTestClient& c, int16_t code, const std::string& appl) {
    MessageBuilder m;
    m.request(code).text(DCH_applName, appl);
    if (!c.send(m)) {
        return "<send failed>";
    }
    auto frame = c.receive();
    if (!frame) {
        return "<no answer>";
    }
    FieldReader r(frame->data(), frame->size());
    FieldReader::Field f = r.next();
    return f.type == DCH_infoText ? std::string(f.text()) : "<not an information text>";
}

// One connection that asks again and again for an application that never comes parks at most the
// per-sender bound; the rest are refused, and it is still served.
TEST_F(Hub, RequestsParkedForApplicationsThatNeverComeAreBounded) {
    HubTestClient c(_hub.port());
    MessageBuilder ask;
    ask.request(DCH_dc_getApplAttributes).text(DCH_applName, "NEVERCOMES");
    std::string many;
    for (int i = 0; i < DCwaitingList::kMaxPerSender + 10; ++i) {
        many.append(ask.data(), ask.size());
    }
    ASSERT_TRUE(c.sendRaw(many));
    sync(c);
    EXPECT_EQ(_trace.count("Error: waiting list full:"), 10);
}

// The agent's lists as the process makes them: over the generic agent's product specification and a
// work directory of the test's own, so the table-manager list finds its product code and writes nowhere else.
struct AgentListsScope {
    vorpane::testing::TempDir dir;
    AgentListsScope() {
        vorpane::setWorkDirectory(dir.path());
        EXPECT_TRUE(ZOT0_InitializeProductSpec("VA"));
        createAgentLists();
    }
};

// The report requests against the real hub and the agent's samples list: a deferred request and a
// redrive reach the list, and a demand-report option for a source the list never learns of fails
// after its tries with the results message ahead of the status.
TEST_F(Hub, ReportRequestsReachTheSamplesListAndDemandResultsComeBeforeTheStatus) {
    AgentListsScope scope;
    struct Lists {
        DCHserver& hub;
        ~Lists() {
            hub.stop();  // the request thread uses the lists: it ends first
            deleteAgentLists();
        }
    } lists{_hub.server()};
    HubTestClient p(_hub.port());
    ASSERT_TRUE(p.send(registration("REPORT", {{"G", 'P', kAttrs}})));
    ASSERT_EQ(p.receiveStatus(), 0);
    ASSERT_TRUE(p.send(online("REPORT", "G", "src")));
    OnlineReply on = onlineReply(p);
    ASSERT_EQ(on.status, 0);

    MessageBuilder defer;
    defer.request(DCH_dc_deferReportRequest).int32(DCH_actionID, 7).int32(DCH_objectPtr, 99).int32(DCH_time, 1);
    defer.text(DCH_applKey, "REP").text(DCH_tableName, "TABLE").text(DCH_sourceName, "src");
    ASSERT_TRUE(p.send(defer));
    sync(p);
    // The list has no entry for a source the agent never brought online: the request is redriven at once.
    EXPECT_TRUE(_trace.contains("Warning: Unable to locate samplesListEntry object for applKey<REP> tableName<TABLE> srcName<src>"));

    MessageBuilder redrive;
    redrive.request(DCH_dp_redriveReportRequest).int32(DCH_handle, on.handle).int32(DCH_actionID, 8);
    ASSERT_TRUE(p.send(redrive));
    EXPECT_EQ(p.receiveStatus(), 0);
    EXPECT_TRUE(_trace.contains("Warning: Unable to locate samplesListEntry object for applKey<REP> attrGroup<G> srcName<src>"));

    MessageBuilder demand;
    demand.request(DCH_dp_setDemandReportOption).int16(DCH_controlField, 1);
    demand.text(DCH_applName, "REPORT").text(DCH_attrGroup, "G").text(DCH_sourceName, "src");
    ASSERT_TRUE(p.send(demand));
    auto results = p.receive();
    ASSERT_TRUE(results);
    FieldReader r(results->data(), results->size());
    int16_t code = 0;
    ASSERT_TRUE(r.next().int16(&code));
    EXPECT_EQ(code, DCH_dp_demandReportResults);
    int32_t time = -1;
    int32_t status = 0;
    ASSERT_TRUE(r.next().int32(&time));
    ASSERT_TRUE(r.next().int32(&status));
    EXPECT_EQ(time, 0);
    EXPECT_EQ(status, -1);
    EXPECT_EQ(r.next().text(), "REPORT");
    EXPECT_EQ(p.receiveStatus(), -1);
    EXPECT_EQ(_trace.count("Waiting for samplesListEntry creation for <REP/G/src>"), 10);
}

// Stopping the hub ends a handler's pause at once, so the lists can go right after.
TEST(HubStop, StopEndsTheDemandReportWaitAtOnce) {
    TestHub hub(1);  // real time: the handler would wait 30 seconds
    ASSERT_TRUE(hub.ready());
    AgentListsScope scope;
    HubTestClient p(hub.port());
    MessageBuilder demand;
    demand.request(DCH_dp_setDemandReportOption).int16(DCH_controlField, 1);
    demand.text(DCH_applName, "NOSOURCE").text(DCH_attrGroup, "G").text(DCH_sourceName, "src");
    TraceCapture trace(vorpane::trace::kState);
    ASSERT_TRUE(p.send(demand));
    ASSERT_TRUE(trace.waitFor("Waiting for samplesListEntry creation"));
    const auto start = std::chrono::steady_clock::now();
    hub.server().stop();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
    deleteAgentLists();
}

// A message whose first field is a 2-byte field of another type is malformed, not a request.
TEST_F(Hub, AFirstFieldOfTheWrongTypeIsNoRequest) {
    HubTestClient c(_hub.port());
    MessageBuilder m;
    m.int16(DCH_controlField, DCH_dp_unregister).text(DCH_applName, "NOSUCHAPP");
    ASSERT_TRUE(c.send(m));
    sync(c);
    EXPECT_EQ(_trace.count("Error: dataType of DCH_requestType missing"), 1);
}

// Groups whose application text ("APPL,G,P,60,APIS:" then "G,P,60,APIS:" per group, then ";") is
// exactly `total` bytes long.
std::vector<Group> groupsForApplicationText(const std::string& appl, size_t total) {
    std::vector<Group> groups;
    size_t left = total - 1 - (appl.size() + 1);  // the final ";" and "APPL,"
    for (int i = 0; left > 0; ++i) {
        size_t length = 32;
        if (left < 32 + 11 + 12 && left != 32 + 11) {
            length = left - 11 <= 32 ? left - 11 : left - 11 - 12;
        }
        std::string name = "G" + std::to_string(i);
        name.append(length > name.size() ? length - name.size() : 0, 'X');
        groups.push_back({name.substr(0, length), 'P', "A,C,4, , ,x"});
        left -= length + 11;
    }
    return groups;
}

// The application text may be 4,095 bytes and not one more; the refused one leaves nothing behind.
TEST_F(Hub, AnApplicationTextOfExactly4095BytesIsTakenAndOneMoreIsRefused) {
    // A product agent has no limit on groups per application, so the text can grow that long.
    ASSERT_TRUE(ZOT0_UpdateProductSpec(ZOT2_PRODUCT_VARIANT, "1"));
    struct Restore {
        ~Restore() { ZOT0_UpdateProductSpec(ZOT2_PRODUCT_VARIANT, "0"); }
    } restore;
    HubTestClient p(_hub.port());
    ASSERT_TRUE(p.send(registration("FULLTEXT", groupsForApplicationText("FULLTEXT", 4095))));
    ASSERT_EQ(p.receiveStatus(), 0);
    MessageBuilder ask;
    ask.request(DCH_dc_getApplications).text(DCH_applName, "FULLTEXT");
    ASSERT_TRUE(p.send(ask));
    auto frame = p.receive();
    ASSERT_TRUE(frame);
    FieldReader r(frame->data(), frame->size());
    EXPECT_EQ(r.next().length, 4095u);

    ASSERT_TRUE(p.send(registration("OVERFULL", groupsForApplicationText("OVERFULL", 4096))));
    EXPECT_EQ(p.receiveStatus(), -1);
    EXPECT_TRUE(_trace.contains("Error: application information of <OVERFULL> exceeds 4096 bytes"));
    ASSERT_TRUE(p.send(online("OVERFULL", "G0XXXXXXXXXXXXXXXXXXXXXXXXXXXXXX", "s")));
    EXPECT_EQ(onlineReply(p).status, 4);
}

// A source online again after its application registered again (a duplicate) has one list: the
// status replay names it once, and the next list made takes the very next handle.
TEST_F(Hub, ASourceOnlineAgainAfterARepeatedRegistrationHasOneList) {
    HubTestClient p(_hub.port());
    ASSERT_TRUE(p.send(registration("AGAIN", {{"G", 'P', kAttrs}})));
    ASSERT_EQ(p.receiveStatus(), 0);
    ASSERT_TRUE(p.send(online("AGAIN", "G", "src")));
    ASSERT_EQ(onlineReply(p).status, 0);
    ASSERT_TRUE(p.send(registration("AGAIN", {{"G", 'P', kAttrs}})));
    ASSERT_EQ(p.receiveStatus(), 1);
    ASSERT_TRUE(p.send(online("AGAIN", "G", "src")));
    OnlineReply again = onlineReply(p);
    ASSERT_EQ(again.status, 0);
    ASSERT_TRUE(p.send(online("AGAIN", "G", "next")));
    EXPECT_EQ(onlineReply(p).handle, again.handle + 1);
    HubTestClient status(_hub.port());
    ASSERT_TRUE(status.send(subscribe(DCH_dc_waitForDPStatus, "", "", 1)));
    ASSERT_TRUE(status.send(unregister("NOSUCHAPP")));  // its status reply ends the replay
    std::vector<std::string> sources;
    for (;;) {
        auto frame = status.receive();
        ASSERT_TRUE(frame);
        FieldReader r(frame->data(), frame->size());
        if (r.next().type == DCH_status) {
            break;
        }
        r.next();
        sources.emplace_back(r.next().text());
    }
    EXPECT_EQ(sources, (std::vector<std::string>{"src", "next"}));
}

// The three information texts, exactly as docs/hub-protocol.md shows them.
TEST_F(Hub, InformationTextsHaveTheDocumentedFormats) {
    HubTestClient p(_hub.port());
    MessageBuilder reg;
    reg.request(DCH_dp_register).text(DCH_applName, "DOCAPP").text(DCH_helpText, "The example");
    const char disk = 'P';
    reg.text(DCH_attrGroup, "DISK").text(DCH_helpText, "Disks").add(DCH_attributesType, &disk, 1);
    reg.int32(DCH_TTL, 60).text(DCH_dpType, "APIS");
    reg.text(DCH_attrRegister, "Name,D,32, , ,Disk name;@Key,D,8, , ,Disk key;Used,C,4, ,NUMBER,Bytes used;");
    const char events = 'E';
    reg.text(DCH_attrGroup, "ALERTS").text(DCH_helpText, "Alerts").add(DCH_attributesType, &events, 1);
    reg.int32(DCH_TTL, 0).text(DCH_dpType, "SCRIPT").text(DCH_attrRegister, "Text,D,64, , ,Alert text");
    ASSERT_TRUE(p.send(reg));
    ASSERT_EQ(p.receiveStatus(), 0);
    EXPECT_EQ(infoText(p, DCH_dc_getApplications, "DOCAPP"), "DOCAPP,DISK,P,60,APIS:ALERTS,E,0,SCRI:;");
    EXPECT_EQ(infoText(p, DCH_dc_getApplAttributes, "DOCAPP"),
              "DISK,Name,D,32:@Key,D,8:Used,C,4:;ALERTS,Text,D,64:;");
    EXPECT_EQ(infoText(p, DCH_dc_getApplHelp, "DOCAPP"),
              "The example,DISK,Disks,Name,Disk name, , ,Key,Disk key, , ,Used,Bytes used,NUMBER, :"
              "ALERTS,Alerts,Text,Alert text, , :;");
    // A row names its attributes without the key prefix.
    ASSERT_TRUE(p.send(online("DOCAPP", "DISK", "s")));
    OnlineReply on = onlineReply(p);
    ASSERT_EQ(on.status, 0);
    MessageBuilder keyed;
    keyed.request(DCH_dp_data).int32(DCH_handle, on.handle).text(DCH_attrName, "Key").add(DCH_attrValue, "k", 1, 'D');
    ASSERT_TRUE(p.send(keyed));
    EXPECT_EQ(p.receiveStatus(), 0);
    MessageBuilder prefixed;
    prefixed.request(DCH_dp_data).int32(DCH_handle, on.handle).text(DCH_attrName, "@Key").add(DCH_attrValue, "k", 1, 'D');
    ASSERT_TRUE(p.send(prefixed));
    EXPECT_EQ(p.receiveStatus(), 2);
    // An empty enumeration or format item refuses the registration: a blank stands for none.
    MessageBuilder empty;
    empty.request(DCH_dp_register).text(DCH_applName, "EMPTYITEMS").text(DCH_helpText, "h");
    empty.text(DCH_attrGroup, "G").text(DCH_helpText, "g").add(DCH_attributesType, &disk, 1);
    empty.int32(DCH_TTL, 60).text(DCH_dpType, "APIS").text(DCH_attrRegister, "Name,D,32,,,Disk name");
    ASSERT_TRUE(p.send(empty));
    EXPECT_EQ(p.receiveStatus(), -1);
}

// The status table of docs/hub-protocol.md for unknown handles, offline sources and long names.
TEST_F(Hub, StatusesForUnknownHandlesOfflineSourcesAndLongNames) {
    HubTestClient p(_hub.port());
    ASSERT_TRUE(p.send(registration("TABLE", {{"G", 'P', kAttrs}})));
    ASSERT_EQ(p.receiveStatus(), 0);
    MessageBuilder dataUnknown = row(424242, 1, "x");
    ASSERT_TRUE(p.send(dataUnknown));
    EXPECT_EQ(p.receiveStatus(), 2);  // no attribute of an unknown handle is registered
    MessageBuilder offlineUnknown;
    offlineUnknown.request(DCH_dp_offline).int32(DCH_handle, 424242);
    ASSERT_TRUE(p.send(offlineUnknown));
    EXPECT_EQ(p.receiveStatus(), -1);

    const std::string longName = "a-source-name-of-forty-characters-long!!";
    ASSERT_EQ(longName.size(), 40u);
    ASSERT_TRUE(p.send(online("TABLE", "G", longName)));
    OnlineReply on = onlineReply(p);
    ASSERT_EQ(on.status, 0);  // accepted, cut at its left to 32 characters
    // The same source online again (by its cut name) replaces its list: a new handle, and the old
    // one names nothing any more.
    ASSERT_TRUE(p.send(online("TABLE", "G", longName.substr(8))));
    OnlineReply again = onlineReply(p);
    ASSERT_EQ(again.status, 0);
    EXPECT_NE(again.handle, on.handle);
    MessageBuilder offlineOld;
    offlineOld.request(DCH_dp_offline).int32(DCH_handle, on.handle);
    ASSERT_TRUE(p.send(offlineOld));
    EXPECT_EQ(p.receiveStatus(), -1);

    ASSERT_TRUE(p.send(unregister("TABLE")));
    EXPECT_EQ(p.receiveStatus(), 3);  // a source is online
    MessageBuilder offline;
    offline.request(DCH_dp_offline).int32(DCH_handle, again.handle);
    ASSERT_TRUE(p.send(offline));
    EXPECT_EQ(p.receiveStatus(), 0);
    // After dp_offline the handle still names the source while its application is registered: rows
    // are still stored and passed on.
    ASSERT_TRUE(p.send(row(again.handle, 2, "y")));
    EXPECT_EQ(p.receiveStatus(), 0);
    ASSERT_TRUE(p.send(unregister("TABLE")));
    EXPECT_EQ(p.receiveStatus(), 0);
    ASSERT_TRUE(p.send(row(again.handle, 3, "z")));
    EXPECT_EQ(p.receiveStatus(), 2);  // gone with its application
}

}  // namespace

namespace {

MessageBuilder rowWithControl(int32_t handle, int16_t control, int32_t count, const std::string& name) {
    MessageBuilder m;
    m.request(DCH_dp_data).int32(DCH_handle, handle).int16(DCH_controlField, control);
    m.text(DCH_attrName, "Count").add(DCH_attrValue, &count, 4, 'C');
    m.text(DCH_attrName, "Name").add(DCH_attrValue, name.data(), name.size(), 'D');
    return m;
}

MessageBuilder claimingSubscription(const std::string& appl, const std::string& group) {
    MessageBuilder m = subscribe(DCH_dc_waitOnData, appl, group, 1);
    m.int16(DCH_controlField, DCH_CLAIM_UNCLAIMED_DATA);
    return m;
}

// The control field and Count of a data message.
std::pair<int16_t, int32_t> controlAndCount(const std::vector<char>& data) {
    FieldReader r(data.data(), data.size());
    r.next();
    int16_t control = 0;
    r.next().int16(&control);
    int32_t count = -1;
    r.next().int32(&count);
    return {control, count};
}

}  // namespace

// Rows a source sends before any collector of its group has subscribed wait in the hub for the first
// subscriber that claims them, in order and before any later row; a subscriber that does not claim
// them gets only later rows, and unregistering the application drops them.
TEST_F(Hub, RowsSentBeforeAnyCollectorAreKeptForTheFirstThatClaimsThem) {
    HubTestClient p(_hub.port());
    ASSERT_TRUE(p.send(registration("EARLY", {{"DISK", 'K', kAttrs}})));
    ASSERT_EQ(p.receiveStatus(), 0);
    ASSERT_TRUE(p.send(online("EARLY", "DISK", "src1")));
    OnlineReply on = onlineReply(p);
    ASSERT_EQ(on.status, 0);
    const std::vector<std::pair<int16_t, int32_t>> early = {{0x01, 1}, {0x00, 2}, {0x10, 3}, {0x11, 4}};
    for (const auto& [control, count] : early) {
        ASSERT_TRUE(p.send(rowWithControl(on.handle, control, count, "r")));
        ASSERT_EQ(p.receiveStatus(), 0);
    }

    {
        // Not claimed: this subscriber sees no early row, and while it waits no row is kept.
        HubTestClient plain(_hub.port());
        ASSERT_TRUE(plain.send(subscribe(DCH_dc_waitOnData, "EARLY", "DISK", 1)));
        sync(plain);
        ASSERT_TRUE(p.send(rowWithControl(on.handle, 0x11, 5, "live")));
        ASSERT_EQ(p.receiveStatus(), 0);
        auto live = plain.receive();
        ASSERT_TRUE(live);
        EXPECT_EQ(controlAndCount(*live).second, 5);
        ASSERT_TRUE(plain.send(subscribe(DCH_dc_waitOnData, "EARLY", "DISK", 0)));
        sync(plain);
        EXPECT_FALSE(plain.receive(std::chrono::milliseconds(200)));
    }

    HubTestClient collector(_hub.port());
    ASSERT_TRUE(collector.send(claimingSubscription("early", "disk")));
    std::vector<std::pair<int16_t, int32_t>> got;
    for (std::size_t i = 0; i < early.size(); ++i) {
        auto data = collector.receive();
        ASSERT_TRUE(data) << "message " << i;
        got.push_back(controlAndCount(*data));
    }
    EXPECT_EQ(got, early);
    ASSERT_TRUE(p.send(rowWithControl(on.handle, 0x11, 6, "later")));
    ASSERT_EQ(p.receiveStatus(), 0);
    auto later = collector.receive();
    ASSERT_TRUE(later);
    EXPECT_EQ(controlAndCount(*later), (std::pair<int16_t, int32_t>{0x11, 6}));
    EXPECT_TRUE(_trace.contains("Sending 4 rows kept for <EARLY/DISK> to its new collector."));

    // Claimed once: a second claiming subscriber of the group gets only what comes next.
    HubTestClient second(_hub.port());
    ASSERT_TRUE(second.send(claimingSubscription("EARLY", "DISK")));
    sync(second);
    EXPECT_FALSE(second.receive(std::chrono::milliseconds(200)));
}

MessageBuilder runSubscription(const std::string& appl, const std::string& group, int32_t status, int32_t run) {
    MessageBuilder m = subscribe(DCH_dc_waitOnData, appl, group, status);
    m.int16(DCH_controlField, static_cast<int16_t>((status == 1 ? DCH_CLAIM_UNCLAIMED_DATA : 0) | DCH_APPLICATION_RUN));
    m.int32(DCH_applRun, run);
    return m;
}

// The run of a status record (its field after the request type), or -1.
int32_t runOf(const std::vector<char>& record) {
    FieldReader r(record.data(), record.size());
    for (int i = 0; i < 4; ++i) {
        r.next();
    }
    int32_t run = -1;
    FieldReader::Field f = r.next();
    return f.type == DCH_applRun && f.int32(&run) ? run : -1;
}

// An application's run begins with its first source online and ends with its last one offline; a
// collector bound to a run gets its rows only while it lasts, and one that comes after its run ended
// gets none: the next run's rows stay for the next run's collector, which claims them all.
TEST_F(Hub, ACollectorBoundToARunOfItsApplicationEndsWithThatRun) {
    HubTestClient status(_hub.port());
    ASSERT_TRUE(status.send(subscribe(DCH_dc_waitForDPStatus, "", "", 1)));
    sync(status);
    auto nextRun = [&](int16_t code) {
        auto frame = status.receive();
        if (!frame) {
            return -2;
        }
        FieldReader r(frame->data(), frame->size());
        r.next();
        r.next();
        r.next();
        int16_t got = 0;
        r.next().int16(&got);
        return got == code ? runOf(*frame) : -3;
    };
    auto runOnce = [&](int32_t first, int32_t rows, int32_t* handle, std::unique_ptr<HubTestClient>* provider) {
        *provider = std::make_unique<HubTestClient>(_hub.port());
        HubTestClient& p = **provider;
        ASSERT_TRUE(p.send(registration("RUNS", {{"G", 'S', kAttrs}})));
        ASSERT_EQ(p.receiveStatus(), 0);
        ASSERT_TRUE(p.send(online("RUNS", "G", "src")));
        OnlineReply on = onlineReply(p);
        ASSERT_EQ(on.status, 0);
        *handle = on.handle;
        for (int32_t i = 0; i < rows; ++i) {
            ASSERT_TRUE(p.send(row(on.handle, first + i, "r")));
            ASSERT_EQ(p.receiveStatus(), 0);
        }
    };

    // Run 1: its collector subscribes while it lasts and gets its rows.
    std::unique_ptr<HubTestClient> first;
    int32_t handle = 0;
    HubTestClient collector1(_hub.port());
    ASSERT_NO_FATAL_FAILURE(runOnce(100, 0, &handle, &first));
    EXPECT_EQ(nextRun(DCH_dp_online), 1);
    ASSERT_TRUE(collector1.send(runSubscription("RUNS", "G", 1, 1)));
    sync(collector1);
    ASSERT_TRUE(first->send(row(handle, 101, "r")));
    ASSERT_EQ(first->receiveStatus(), 0);
    auto got = collector1.receive();
    ASSERT_TRUE(got);
    EXPECT_EQ(controlAndCount(*got).second, 101);

    // The provider ends (its source goes offline, its application is unregistered); the next run
    // comes at once and sends its rows before anybody collects them.
    first.reset();
    EXPECT_EQ(nextRun(DCH_dp_offline), 1);
    std::unique_ptr<HubTestClient> second;
    ASSERT_NO_FATAL_FAILURE(runOnce(200, 5, &handle, &second));
    EXPECT_EQ(nextRun(DCH_dp_online), 2);
    EXPECT_FALSE(collector1.receive(std::chrono::milliseconds(200)));  // run 1's collector got none of them
    EXPECT_TRUE(_trace.contains("Run 1 of application <RUNS> ends with its last source; 1 subscription(s)"));

    // A collector of run 1 that subscribes only now is not taken: the rows wait ...
    HubTestClient late(_hub.port());
    ASSERT_TRUE(late.send(runSubscription("RUNS", "G", 1, 1)));
    sync(late);
    EXPECT_FALSE(late.receive(std::chrono::milliseconds(200)));
    EXPECT_TRUE(_trace.contains("Note: a collector of run 1 of <RUNS/G> came after that run ended: it gets no rows"));
    // ... for run 2's collector, in order. Its stop is quiet.
    HubTestClient collector2(_hub.port());
    ASSERT_TRUE(collector2.send(runSubscription("RUNS", "G", 1, 2)));
    for (int32_t i = 0; i < 5; ++i) {
        auto data = collector2.receive();
        ASSERT_TRUE(data) << i;
        EXPECT_EQ(controlAndCount(*data).second, 200 + i);
    }
    ASSERT_TRUE(collector1.send(runSubscription("RUNS", "G", 0, 1)));
    sync(collector1);
    EXPECT_FALSE(_trace.contains("Error: removing entry"));
}

TEST_F(Hub, KeptRowsAreBoundedPerGroupAndGoWithTheirSource) {
    HubTestClient p(_hub.port());
    ASSERT_TRUE(p.send(registration("KEPT", {{"G", 'S', kAttrs}, {"H", 'S', kAttrs}})));
    ASSERT_EQ(p.receiveStatus(), 0);
    ASSERT_TRUE(p.send(online("KEPT", "G", "src1")));
    OnlineReply g = onlineReply(p);
    ASSERT_EQ(g.status, 0);
    ASSERT_TRUE(p.send(online("KEPT", "H", "src1")));
    OnlineReply h = onlineReply(p);
    ASSERT_EQ(h.status, 0);
    // Sent in bursts: the replies are read after each burst.
    constexpr int kRows = 1030;
    for (int first = 0; first < kRows; first += 100) {
        std::string burst;
        const int last = std::min(kRows, first + 100);
        for (int i = first; i < last; ++i) {
            MessageBuilder m = rowWithControl(g.handle, 0x11, i, "n");
            burst.append(m.data(), m.size());
        }
        ASSERT_TRUE(p.sendRaw(burst));
        for (int i = first; i < last; ++i) {
            ASSERT_EQ(p.receiveStatus(), 0);
        }
    }
    ASSERT_TRUE(p.send(rowWithControl(h.handle, 0x11, 77, "h")));
    ASSERT_EQ(p.receiveStatus(), 0);
    EXPECT_TRUE(_trace.contains("Warning: no collector waits on <KEPT/G>: its oldest rows are dropped."));

    HubTestClient collector(_hub.port());
    ASSERT_TRUE(collector.send(claimingSubscription("KEPT", "G")));
    for (int i = kRows - 1024; i < kRows; ++i) {
        auto data = collector.receive();
        ASSERT_TRUE(data) << "row " << i;
        ASSERT_EQ(controlAndCount(*data).second, i);
    }
    sync(collector);

    // Rows of a source that went offline are not handed over; those of the group's other source are.
    ASSERT_TRUE(p.send(online("KEPT", "H", "src2")));
    OnlineReply h2 = onlineReply(p);
    ASSERT_EQ(h2.status, 0);
    ASSERT_TRUE(p.send(rowWithControl(h2.handle, 0x11, 88, "gone")));
    ASSERT_EQ(p.receiveStatus(), 0);
    MessageBuilder off;
    off.request(DCH_dp_offline).int32(DCH_handle, h2.handle);
    ASSERT_TRUE(p.send(off));
    ASSERT_EQ(p.receiveStatus(), 0);
    HubTestClient other(_hub.port());
    ASSERT_TRUE(other.send(claimingSubscription("KEPT", "H")));
    auto kept = other.receive();
    ASSERT_TRUE(kept);
    EXPECT_EQ(controlAndCount(*kept).second, 77);
    sync(other);  // and nothing after it
}

// A provider's answer to a demand report request goes, behind the rows it sent before, to the group's
// subscriber when that one takes answers in line: the hub does not redrive the request itself, and the
// subscriber learns the source and the action. Other subscribers leave the redrive to the hub.
TEST_F(Hub, AReportAnswerFollowsTheRowsToASubscriberThatTakesAnswersInLine) {
    HubTestClient p(_hub.port());
    ASSERT_TRUE(p.send(registration("INLINE", {{"G", 'K', kAttrs}, {"H", 'K', kAttrs}})));
    ASSERT_EQ(p.receiveStatus(), 0);
    ASSERT_TRUE(p.send(online("INLINE", "G", "src1")));
    OnlineReply g = onlineReply(p);
    ASSERT_EQ(g.status, 0);
    ASSERT_TRUE(p.send(online("INLINE", "H", "src1")));
    OnlineReply h = onlineReply(p);
    ASSERT_EQ(h.status, 0);

    HubTestClient inLine(_hub.port());
    MessageBuilder s = subscribe(DCH_dc_waitOnData, "INLINE", "G", 1);
    s.int16(DCH_controlField, DCH_CLAIM_UNCLAIMED_DATA | DCH_REPORT_ANSWERS_IN_LINE);
    ASSERT_TRUE(inLine.send(s));
    sync(inLine);
    HubTestClient plain(_hub.port());
    ASSERT_TRUE(plain.send(claimingSubscription("INLINE", "H")));
    sync(plain);

    // Row and answer back to back, as a provider answering with fresh rows sends them.
    std::string burst;
    for (int32_t count : {41, 42}) {
        MessageBuilder m = rowWithControl(g.handle, 0x11, count, "fresh");
        burst.append(m.data(), m.size());
    }
    MessageBuilder answer;
    answer.request(DCH_dp_redriveReportRequest).int32(DCH_handle, g.handle).int32(DCH_actionID, 9);
    burst.append(answer.data(), answer.size());
    ASSERT_TRUE(p.sendRaw(burst));
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(p.receiveStatus(), 0) << "reply " << i;  // the answer is taken: nothing to look up here
    }
    for (int32_t count : {41, 42}) {
        auto data = inLine.receive();
        ASSERT_TRUE(data);
        EXPECT_EQ(controlAndCount(*data).second, count);
    }
    auto answered = inLine.receive();
    ASSERT_TRUE(answered);
    FieldReader r(answered->data(), answered->size());
    EXPECT_EQ(r.next().cText(), "src1");
    int16_t control = 0;
    EXPECT_TRUE(r.next().int16(&control));
    EXPECT_EQ(control, DCH_REPORT_ANSWERED);
    FieldReader::Field id = r.next();
    int32_t actionID = 0;
    EXPECT_EQ(id.type, DCH_actionID);
    EXPECT_TRUE(id.int32(&actionID));
    EXPECT_EQ(actionID, 9);
    EXPECT_FALSE(r.next());
    EXPECT_FALSE(_trace.contains("samplesList object is not available"));

    // The plain subscriber's group: the hub itself asks the samples list (none in this process).
    MessageBuilder other;
    other.request(DCH_dp_redriveReportRequest).int32(DCH_handle, h.handle).int32(DCH_actionID, 10);
    ASSERT_TRUE(p.send(other));
    EXPECT_EQ(p.receiveStatus(), -1);
    EXPECT_TRUE(_trace.contains("Error: samplesList object is not available"));
    sync(plain);
    EXPECT_FALSE(plain.receive(std::chrono::milliseconds(200)));
}

// Kept rows have an age limit as well as a size bound: rows no collector claimed within
// VORPANE_DCH_KEEP_SECONDS are dropped with one warning per group, whether the check comes with a
// later row or with the claim; younger rows are still handed over. A key out of range keeps the default.
TEST(HubKeep, KeptRowsOlderThanTheKeepTimeAreDroppedWithOneWarning) {
    TraceCapture trace(vorpane::trace::kError | vorpane::trace::kState);
    ScopedEnv noIgnore("ZOTA_IGNORE_DCH_ERRORS", std::nullopt);
    {
        ScopedEnv bad("VORPANE_DCH_KEEP_SECONDS", "0");
        TestHub refused;
        ASSERT_TRUE(refused.ready());
        EXPECT_TRUE(trace.contains("Warning: VORPANE_DCH_KEEP_SECONDS=<0> is not 1 to 86400; using 300."));
    }
    ScopedEnv keep("VORPANE_DCH_KEEP_SECONDS", "60");
    TestHub hub;
    ASSERT_TRUE(hub.ready());
    HubTestClient p(hub.port());
    ASSERT_TRUE(p.send(registration("AGED", {{"G", 'K', kAttrs}, {"H", 'K', kAttrs}})));
    ASSERT_EQ(p.receiveStatus(), 0);
    ASSERT_TRUE(p.send(online("AGED", "G", "src1")));
    OnlineReply g = onlineReply(p);
    ASSERT_EQ(g.status, 0);
    ASSERT_TRUE(p.send(online("AGED", "H", "src1")));
    OnlineReply h = onlineReply(p);
    ASSERT_EQ(h.status, 0);
    auto send = [&](int32_t handle, int32_t count) {
        ASSERT_TRUE(p.send(rowWithControl(handle, 0x11, count, "r")));
        ASSERT_EQ(p.receiveStatus(), 0);
    };
    send(g.handle, 1);
    send(g.handle, 2);
    send(h.handle, 10);
    vorpane::clock::advance(61);
    send(g.handle, 3);  // the check comes with this row: 1 and 2 are too old, 3 is new
    EXPECT_EQ(trace.count("Warning: no collector claimed 2 rows of <AGED/G> within 60 seconds: they are dropped."), 1);
    EXPECT_EQ(trace.count("Warning: no collector claimed 1 rows of <AGED/H> within 60 seconds: they are dropped."), 1);

    HubTestClient collector(hub.port());
    ASSERT_TRUE(collector.send(claimingSubscription("AGED", "G")));
    auto kept = collector.receive();
    ASSERT_TRUE(kept);
    EXPECT_EQ(controlAndCount(*kept).second, 3);
    sync(collector);
    EXPECT_FALSE(collector.receive(std::chrono::milliseconds(200)));

    // Aged while nothing else came: the claim itself drops them.
    send(h.handle, 11);
    vorpane::clock::advance(61);
    HubTestClient late(hub.port());
    ASSERT_TRUE(late.send(claimingSubscription("AGED", "H")));
    sync(late);
    EXPECT_FALSE(late.receive(std::chrono::milliseconds(200)));
    EXPECT_EQ(trace.count("Warning: no collector claimed 1 rows of <AGED/H> within 60 seconds: they are dropped."), 2);
}
