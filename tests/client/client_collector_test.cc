// Collector subscriptions and action results: messages the hub pushes long after the request.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>

#include <future>
#include <string>
#include <vector>

#include "client/fake_hub.h"
#include "interfaces/dch_client.h"
#include "testlib/trace_capture.h"

namespace vorpane {
namespace {

using testing::FakeHub;
using Request = FakeHub::Request;

constexpr auto kGuard = std::chrono::seconds(10);

dch::MessageBuilder dataMessage(const std::string& source, int16_t controlField, const std::string& value) {
    dch::MessageBuilder m;
    m.text(DCH_sourceName, source)
        .int16(DCH_controlField, controlField)
        .add(DCH_attrTypeValue, value.data(), value.size(), 'D');
    return m;
}

class ClientCollectorTest : public ::testing::Test {
  protected:
    void SetUp() override { clock::setSpeedup(200); }
    void TearDown() override { clock::setSpeedup(1); }
    FakeHub hub;
};

TEST_F(ClientCollectorTest, DataWaiterReceivesPushedMessagesAndUnsubscribes) {
    std::unique_ptr<DCdataWaiter> client = dc_waitOnDataInitialize("VPDEMO", "PROCS", hub.options());
    ASSERT_NE(client, nullptr);
    ASSERT_TRUE(hub.waitForRequests(1));
    Request subscribe = hub.requests()[0];
    EXPECT_EQ(subscribe.code, DCH_dc_waitOnData);
    EXPECT_EQ(subscribe.types(),
              (std::vector<uint16_t>{DCH_applName, DCH_attrGroup, DCH_status, DCH_controlField}));
    EXPECT_EQ(subscribe.fields[2].int32(), 1);
    EXPECT_EQ(subscribe.fields[3].int16(), DCH_CLAIM_UNCLAIMED_DATA);  // the rows kept for the group come first

    const dch::MessageBuilder first = dataMessage("SRC1", 0x11, "one");
    const dch::MessageBuilder second = dataMessage("SRC2", 0x01, std::string(3000, 'x'));
    hub.send(1, first);
    hub.send(1, second);

    char buffer[8192];
    ASSERT_EQ(dc_waitOnData(client.get(), buffer, sizeof buffer, 10), 0);
    EXPECT_EQ(std::string(buffer, first.size()), std::string(first.data(), first.size()));
    // Too small a buffer loses nothing: the same message comes with the next call.
    char small[64];
    EXPECT_EQ(dc_waitOnData(client.get(), small, sizeof small, 10), 1);
    ASSERT_EQ(dc_waitOnData(client.get(), buffer, sizeof buffer, 10), 0);
    ASSERT_EQ(dch::totalLength(buffer), second.size());
    dch::FieldReader reader(buffer, sizeof buffer);
    EXPECT_EQ(reader.next().text(), "SRC2");
    int16_t control = 0;
    EXPECT_TRUE(reader.next().int16(&control));
    EXPECT_EQ(control, 0x01);
    dch::FieldReader::Field value = reader.next();
    EXPECT_EQ(value.type, DCH_attrTypeValue);
    EXPECT_EQ(value.extra, 'D');
    EXPECT_EQ(value.length, 3000u);

    EXPECT_EQ(dc_waitOnDataDestroy(std::move(client)), 0);
    ASSERT_TRUE(hub.waitForDisconnect(1));
    // The close alone ends a subscription on a connection: no status 0 goes out first.
    EXPECT_EQ(hub.requests().size(), 1u);
}

// A collector that falls behind finds several messages in the socket at once, and a message may
// arrive in pieces with the start of the next one: each call hands out exactly one whole message.
TEST_F(ClientCollectorTest, MessagesThatArriveTogetherOrInPiecesComeOutOneByOne) {
    std::unique_ptr<DCdataWaiter> client = dc_waitOnDataInitialize("VPDEMO", "PROCS", hub.options());
    ASSERT_NE(client, nullptr);
    ASSERT_TRUE(hub.waitForRequests(1));
    std::vector<std::string> sent;
    for (int i = 0; i < 5; ++i) {
        const dch::MessageBuilder m = dataMessage("SRC" + std::to_string(i), 0x11, std::string(40 + i * 7000, 'v'));
        sent.emplace_back(m.data(), m.size());
    }
    hub.sendRaw(1, sent[0] + sent[1] + sent[2]);
    hub.sendRaw(1, sent[3].substr(0, 2));
    hub.sendRaw(1, sent[3].substr(2) + sent[4].substr(0, 10));
    hub.sendRaw(1, sent[4].substr(10));
    std::vector<char> buffer(64 * 1024);
    for (const std::string& expected : sent) {
        ASSERT_EQ(dc_waitOnData(client.get(), buffer.data(), buffer.size(), 10), 0);
        ASSERT_EQ(dch::totalLength(buffer.data()), expected.size());
        EXPECT_EQ(std::string(buffer.data(), expected.size()), expected);
    }
    EXPECT_EQ(dc_waitOnDataDestroy(std::move(client)), 0);
}

TEST_F(ClientCollectorTest, CancelFromAnotherThreadEndsTheWait) {
    std::unique_ptr<DCdataWaiter> client = dc_waitOnDataInitialize("VPDEMO", "PROCS", hub.options());
    ASSERT_NE(client, nullptr);
    DCdataWaiter* raw = client.get();
    auto blocked = std::async(std::launch::async, [raw] {
        char buffer[256];
        return dc_waitOnData(raw, buffer, sizeof buffer);  // waits without a time-out
    });
    dc_waitOnDataCancel(raw);
    ASSERT_EQ(blocked.wait_for(kGuard), std::future_status::ready);
    EXPECT_EQ(blocked.get(), -1);
    // Cancelled for good: a later wait returns at once.
    char buffer[256];
    EXPECT_EQ(dc_waitOnData(raw, buffer, sizeof buffer), -1);
    EXPECT_EQ(dc_waitOnDataDestroy(std::move(client)), 0);
}

TEST_F(ClientCollectorTest, DataWaiterFailsWhenTheHubGoes) {
    std::unique_ptr<DCdataWaiter> client = dc_waitOnDataInitialize("VPDEMO", "PROCS", hub.options());
    ASSERT_NE(client, nullptr);
    ASSERT_TRUE(hub.waitForRequests(1));
    hub.close(1);
    auto result = std::async(std::launch::async, [&] {
        char buffer[256];
        return dc_waitOnData(client.get(), buffer, sizeof buffer);
    });
    ASSERT_EQ(result.wait_for(kGuard), std::future_status::ready);
    EXPECT_EQ(result.get(), 1);
}

TEST_F(ClientCollectorTest, StatusWaiterTurnsRecordsIntoText) {
    std::unique_ptr<DCstatusWaiter> handle = dc_waitForDPStatusInitialize(hub.options());
    ASSERT_NE(handle, nullptr);
    ASSERT_TRUE(hub.waitForRequests(1));
    Request subscribe = hub.requests()[0];
    EXPECT_EQ(subscribe.code, DCH_dc_waitForDPStatus);
    EXPECT_EQ(subscribe.types(), std::vector<uint16_t>{DCH_status});
    EXPECT_EQ(subscribe.fields[0].int32(), 1);

    auto record = [](const char* source, int16_t code) {
        dch::MessageBuilder m;
        m.text(DCH_applName, "VPDEMO").text(DCH_attrGroup, "PROCS").text(DCH_sourceName, source);
        m.int16(DCH_requestType, code);
        return m;
    };
    hub.send(1, record("SRC1", DCH_dp_online));
    hub.send(1, record("SRC1", DCH_dp_offline));
    EXPECT_EQ(dc_waitForDPStatus(handle.get(), 10), "VPDEMO,PROCS,SRC1,4117");
    EXPECT_EQ(dc_waitForDPStatus(handle.get(), 10), "VPDEMO,PROCS,SRC1,4133");

    // A status 7 means the subscription arrived incomplete: it is sent again and the wait goes on.
    hub.sendStatus(1, DCH_STATUS_RESEND);
    hub.send(1, record("SRC2", DCH_dp_online));
    EXPECT_EQ(dc_waitForDPStatus(handle.get(), 10), "VPDEMO,PROCS,SRC2,4117");
    ASSERT_TRUE(hub.waitForRequests(2));
    EXPECT_EQ(hub.requests()[1].code, DCH_dc_waitForDPStatus);

    dch::MessageBuilder junk;
    junk.text(DCH_infoText, "not a record");
    hub.send(1, junk);
    EXPECT_EQ(dc_waitForDPStatus(handle.get(), 10), "");
    EXPECT_EQ(dc_waitForDPStatus(handle.get(), 1), "");  // nothing more: the time-out ends the wait
}

TEST_F(ClientCollectorTest, ActionResultsComeNowOrLater) {
    DCactionResults results;
    hub.setHandler([](FakeHub& h, const Request& r) { h.sendStatus(r.connection, 0); });
    EXPECT_EQ(dc_waitForActionResults(9, &results, 10, hub.options()), 0);
    EXPECT_EQ(results.status, 0);
    EXPECT_FALSE(results.resultArrived);

    // Not known yet: the status says 1, and the result text follows when a provider reports it.
    hub.setHandler([](FakeHub& h, const Request& r) {
        h.sendStatus(r.connection, 1);
        std::string text(257, '\0');
        text.replace(0, 9, "restarted");
        dch::MessageBuilder m;
        m.text(DCH_status, text);
        h.send(r.connection, m);
    });
    EXPECT_EQ(dc_waitForActionResults(10, &results, 10, hub.options()), 0);
    EXPECT_EQ(results.status, 1);
    EXPECT_TRUE(results.resultArrived);
    EXPECT_EQ(results.resultText, "restarted");

    hub.setHandler([](FakeHub& h, const Request& r) { h.sendStatus(r.connection, 1); });
    EXPECT_EQ(dc_waitForActionResults(11, &results, 5, hub.options()), 0);
    EXPECT_EQ(results.status, 1);
    EXPECT_FALSE(results.resultArrived);
}

}  // namespace
}  // namespace vorpane

namespace vorpane {
namespace {

// A socket on loopback standing in for the hub's reply socket: it learns a subscriber's address from
// the subscriber's first request, as the hub does, and sends it datagrams.
class FakeDatagramHub {
  public:
    FakeDatagramHub() : _fd(boundSocket(&_address)) {}
    ~FakeDatagramHub() { ::close(_fd); }
    FakeDatagramHub(const FakeDatagramHub&) = delete;
    FakeDatagramHub& operator=(const FakeDatagramHub&) = delete;

    // A loopback UDP socket on an ephemeral port; its address in *at.
    static int boundSocket(sockaddr_in* at) {
        const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        *at = sockaddr_in{};
        at->sin_family = AF_INET;
        at->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof *at;
        if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(at), sizeof *at) != 0 ||
            ::getsockname(fd, reinterpret_cast<sockaddr*>(at), &length) != 0) {
            ADD_FAILURE() << "no loopback socket";
        }
        return fd;
    }
    // Options for a subscriber of this hub: its datagrams come from the port it is reached on.
    HubOptions options() const {
        HubOptions o;
        o.port = ntohs(_address.sin_port);
        o.replyPort = o.port;
        return o;
    }
    // Opens subscriber and waits for its first request.
    void connect(HubDatagram& subscriber) {
        ASSERT_EQ(subscriber.open(options()), 0);
        dch::MessageBuilder hello;
        hello.request(DCH_dc_waitOnData);
        ASSERT_EQ(subscriber.send(hello), 0);
        std::array<char, 4096> request{};
        socklen_t fromLength = sizeof _subscriber;
        ASSERT_GT(::recvfrom(_fd, request.data(), request.size(), 0, reinterpret_cast<sockaddr*>(&_subscriber),
                             &fromLength),
                  0);
    }
    bool send(const dch::MessageBuilder& m) const { return sendFrom(_fd, m); }
    bool sendFrom(int fd, const dch::MessageBuilder& m) const {
        const auto* to = reinterpret_cast<const sockaddr*>(&_subscriber);
        return ::sendto(fd, m.data(), m.size(), 0, to, sizeof _subscriber) > 0;
    }

  private:
    sockaddr_in _address{};
    int _fd;
    sockaddr_in _subscriber{};
};

// A datagram subscriber that fell so far behind that the kernel dropped datagrams says so, with the
// count, and still hands out what did arrive.
TEST(HubDatagramTest, DatagramsTheKernelDroppedAreReported) {
    FakeDatagramHub fake;
    HubDatagram subscriber;
    ASSERT_NO_FATAL_FAILURE(fake.connect(subscriber));

    // Far more than the subscriber's socket holds, while it reads nothing.
    dch::MessageBuilder row;
    row.request(DCH_dp_data).text(DCH_sourceName, std::string(7000, 'r'));
    for (int i = 0; i < 10000; ++i) {
        ASSERT_TRUE(fake.send(row));
    }
    testing::TraceCapture trace;
    HubMessage message;
    int received = 0;
    while (subscriber.receive(&message, 0.5) == 0) {
        EXPECT_EQ(message.bytes.size(), row.size());
        ++received;
    }
    EXPECT_GT(received, 0);
    EXPECT_LT(received, 10000);
    // What was queued came before the drops; the kernel hands its count with the next datagram.
    ASSERT_TRUE(fake.send(row));
    ASSERT_EQ(subscriber.receive(&message, 5), 0);
    EXPECT_TRUE(trace.contains("datagrams from the hub were dropped by the kernel: this collector fell behind"));
}

// Any process on the host can send to a subscriber's port: only the hub's reply socket is heard. What
// others send is dropped and counted, with one trace line for the first; the hub's rows still arrive.
TEST(HubDatagramTest, OnlyTheHubsReplySocketFeedsASubscription) {
    FakeDatagramHub fake;
    HubDatagram subscriber;
    ASSERT_NO_FATAL_FAILURE(fake.connect(subscriber));
    sockaddr_in strangerAt{};
    const int stranger = FakeDatagramHub::boundSocket(&strangerAt);
    testing::TraceCapture trace;

    const dch::MessageBuilder forged = dataMessage("forged", 0x11, "injected");
    const dch::MessageBuilder real = dataMessage("src", 0x11, "from the hub");
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(fake.sendFrom(stranger, forged));
    }
    ASSERT_TRUE(fake.send(real));
    HubMessage message;
    ASSERT_EQ(subscriber.receive(&message, 10), 0);
    EXPECT_EQ(std::string(message.bytes.begin(), message.bytes.end()), std::string(real.data(), real.size()));
    EXPECT_EQ(subscriber.strangerDatagrams(), 3u);
    EXPECT_EQ(trace.count("which is not the hub's reply socket, was dropped"), 1);
    // Nothing forged is left behind the real row.
    EXPECT_EQ(subscriber.receive(&message, 0.2), DCH_CLIENT_TIMEOUT);
    ::close(stranger);

    // Without a reply port to check against, no subscription by datagram is made.
    HubOptions unknown = fake.options();
    unknown.replyPort = 0;
    unknown.port = 1;  // no hub of this process published this port
    HubDatagram blind;
    EXPECT_EQ(blind.open(unknown), DCH_CLIENT_NO_HUB);
    EXPECT_TRUE(trace.contains("Error: no hub of this process serves port 1"));
}

}  // namespace
}  // namespace vorpane
