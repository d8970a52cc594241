// SOCK: lines over TCP and UDP on loopback become rows at a collector of the real hub.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <set>
#include <thread>

#include "providers/row_collector.h"
#include "providers/sock_provider.h"
#include "testlib/hub_fixture.h"
#include "testlib/trace_capture.h"

namespace vorpane::providers {
namespace {

using testing::ReceivedRow;
using testing::RowCollector;
using testing::TestHub;
using Values = std::vector<std::string>;

dp::AppDescription orders() {
    dp::AppDescription app;
    dp::ParseError e;
    EXPECT_TRUE(dp::parseDescription("application ORDERS\n"
                                     "group ORDER K 300\n"
                                     "attribute @Id C 4\n"
                                     "attribute Status D 16\n"
                                     "group NOTE E 0\n"
                                     "attribute Text D 64\n",
                                     &app, &e));
    return app;
}

// A loopback TCP client of the listener.
class LineClient {
  public:
    explicit LineClient(int port) : _fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        _connected = connect(_fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    }
    ~LineClient() { close(_fd); }
    bool connected() const { return _connected; }
    bool send(const std::string& text) {
        size_t at = 0;
        while (at < text.size()) {
            ssize_t n = ::send(_fd, text.data() + at, text.size() - at, MSG_NOSIGNAL);
            if (n <= 0) {
                return false;
            }
            at += static_cast<size_t>(n);
        }
        return true;
    }
    // True when the peer closed the connection within the deadline.
    bool waitClosed(int milliseconds) {
        pollfd p{_fd, POLLIN, 0};
        char buffer[64];
        while (poll(&p, 1, milliseconds) == 1) {
            ssize_t n = recv(_fd, buffer, sizeof buffer, 0);
            if (n <= 0) {
                return true;
            }
        }
        return false;
    }

  private:
    int _fd;
    bool _connected = false;
};

TEST(SockLine, LinesAreCheckedAgainstTheApplication) {
    const dp::AppDescription app = orders();
    SockProvider::Line line;
    std::string reason;
    ASSERT_TRUE(SockProvider::parseLine("order shop1 Id=7 Status=\"in transit\"", app, &line, &reason)) << reason;
    EXPECT_EQ(line.group->name, "ORDER");
    EXPECT_EQ(line.source, "shop1");
    EXPECT_EQ(line.row.count(), 2);

    struct Case {
        std::string text;
        const char* reason;
    };
    using namespace std::string_literals;
    for (const Case& c : std::vector<Case>{{"ORDER shop1", "GROUP SOURCE name=value"},
                                          {"ORDER shop1 Id=\0"s, "a NUL byte at character 16"},
                                          {"ORDER shop1 Id=7\0junk"s, "a NUL byte at character 17"},
                                          {"ORDER shop1 Status=\"a\0b\""s, "a NUL byte"},
                                          {"ORDER sh\0p1 Id=7"s, "a NUL byte"},
                                          {"PARCEL shop1 Id=1", "no group PARCEL"},
                                          {"ORDER Id=1 Status=x", "source \"Id=1\""},
                                          {"ORDER shop1 Id=abc", "is not a number"},
                                          {"ORDER shop1 Colour=red", "has no attribute Colour"},
                                          {"ORDER shop1 Status=\"open", "unterminated quote"},
                                          {"ORDER shop1 Status=12345678901234567", "more than its 16"},
                                          {"ORDER shop1 =1", "is not name=value"}}) {
        EXPECT_FALSE(SockProvider::parseLine(c.text, app, &line, &reason)) << c.text;
        EXPECT_NE(reason.find(c.reason), std::string::npos) << c.text << ": " << reason;
    }
}

class SockAgainstHub : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(_hub.ready());
        ASSERT_TRUE(_provider.open());
        _runner = std::thread([this] { _provider.run(_stop); });
        LineClient probe(_provider.port());
        ASSERT_TRUE(probe.connected());
        ASSERT_TRUE(_collector.waitUntilDelivering([&] { probe.send("ORDER probe Id=0 Status=probe\n"); }));
        while (_collector.next(0.2)) {
        }
    }
    void TearDown() override {
        _stop.request();
        if (_runner.joinable()) {
            _runner.join();
        }
    }
    // Rows until the one whose Id is lastId (from the source given), which must come.
    std::vector<ReceivedRow> rowsUntil(const std::string& source, const std::string& lastId) {
        std::vector<ReceivedRow> rows;
        while (std::optional<ReceivedRow> r = _collector.next(10)) {
            if (r->source == "probe") {
                continue;
            }
            rows.push_back(*r);
            if (r->source == source && r->values[0] == lastId) {
                break;
            }
        }
        return rows;
    }

    TestHub _hub;
    SockProvider _provider{"SOCK:test", HubOptions::fromEnvironment(), orders(), SockProvider::Options{}};
    RowCollector _collector{"ORDERS", "ORDER"};
    StopSignal _stop;
    std::thread _runner;
};

TEST_F(SockAgainstHub, GoodLinesBecomeRowsAndMalformedOnesAreCounted) {
    LineClient client(_provider.port());
    ASSERT_TRUE(client.connected());
    ASSERT_TRUE(client.send("ORDER shop1 Id=1 Status=new\r\n"
                            "\n"
                            "ORDER shop1 Id=oops\n" +
                            std::string("ORDER shop1 Id=\0\n", 17) +  // a NUL byte is no number 0
                            "NOSUCH shop1 Id=2\n"
                            "ORDER shop2 Status=\"in transit\" Id=2\n"
                            "ORDER shop1 Id=3 Status=do"));
    ASSERT_TRUE(client.send("ne\n"));  // a line in two pieces
    std::vector<ReceivedRow> rows = rowsUntil("shop1", "3");
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[0].source, "shop1");
    EXPECT_EQ(rows[0].values, (Values{"1", "new"}));
    EXPECT_EQ(rows[1].source, "shop2");
    EXPECT_EQ(rows[1].values, (Values{"2", "in transit"}));
    EXPECT_EQ(rows[2].values, (Values{"3", "done"}));
    EXPECT_EQ(_provider.status().malformed.load(), 3);

    // UDP: one datagram may hold several lines.
    int udp = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(_provider.port()));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const std::string datagram = "ORDER udp1 Id=10 Status=a\nbad line\nORDER udp1 Id=11 Status=b";
    ASSERT_EQ(sendto(udp, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr*>(&a), sizeof a),
              static_cast<ssize_t>(datagram.size()));
    close(udp);
    rows = rowsUntil("udp1", "11");
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].values, (Values{"10", "a"}));
    EXPECT_EQ(_provider.status().malformed.load(), 4);
}

TEST_F(SockAgainstHub, AnEndlessLineClosesItsConnectionAndTheListenerGoesOn) {
    LineClient endless(_provider.port());
    ASSERT_TRUE(endless.connected());
    // The limit and a little more, with no line end: the provider cuts the connection.
    endless.send(std::string(SockProvider::kMaxLine + 100, 'x'));
    EXPECT_TRUE(endless.waitClosed(10000));
    EXPECT_EQ(_provider.status().malformed.load(), 1);

    // A line of exactly the limit is still a line.
    LineClient other(_provider.port());
    std::string atLimit = "ORDER shop9 Id=4 Status=x";
    atLimit += std::string(SockProvider::kMaxLine - atLimit.size(), ' ');
    ASSERT_TRUE(other.send(atLimit + "\nORDER shop9 Id=5 Status=after\n"));
    std::vector<ReceivedRow> rows = rowsUntil("shop9", "5");
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].values, (Values{"4", "x"}));
    EXPECT_EQ(rows[1].values, (Values{"5", "after"}));
    EXPECT_EQ(_provider.status().malformed.load(), 1);
}

// Each source a line names becomes a source and a subnode: a definition takes only so many.
TEST_F(SockAgainstHub, SourcesBeyondTheDefinitionsCapAreRefusedCountedAndTracedOnce) {
    SockProvider::Options options;
    options.maxSources = 2;
    SockProvider capped("SOCK:capped", HubOptions::fromEnvironment(), orders(), options);
    ASSERT_TRUE(capped.open());
    StopSignal stop;
    std::thread runner([&] { capped.run(stop); });
    testing::TraceCapture trace;
    LineClient client(capped.port());
    ASSERT_TRUE(client.send("ORDER s1 Id=1 Status=a\nORDER s2 Id=2 Status=b\nORDER s3 Id=3 Status=c\n"
                            "ORDER s4 Id=4 Status=d\nORDER s3 Id=5 Status=e\nORDER s1 Id=6 Status=f\n"));
    std::vector<ReceivedRow> rows = rowsUntil("s1", "6");
    stop.request();
    runner.join();
    std::vector<std::string> seen;
    for (const ReceivedRow& r : rows) {
        seen.push_back(r.source + ":" + r.values[0]);
    }
    EXPECT_EQ(seen, (std::vector<std::string>{"s1:1", "s2:2", "s1:6"}));
    EXPECT_EQ(capped.status().errors.load(), 3);
    EXPECT_EQ(capped.status().malformed.load(), 0);
    EXPECT_EQ(trace.count("lines of further sources are refused"), 1);
}

TEST_F(SockAgainstHub, FiftyConcurrentSendersLoseNothing) {
    constexpr int kSenders = 50;
    constexpr int kLines = 20;
    std::vector<std::thread> senders;
    for (int s = 0; s < kSenders; ++s) {
        senders.emplace_back([this, s] {
            LineClient c(_provider.port());
            std::string text;
            for (int i = 1; i <= kLines; ++i) {
                text += "ORDER sender" + std::to_string(s) + " Id=" + std::to_string(i) + " Status=ok\n";
            }
            c.send(text);
        });
    }
    for (std::thread& t : senders) {
        t.join();
    }
    std::set<std::pair<std::string, std::string>> seen;
    while (seen.size() < kSenders * kLines) {
        std::optional<ReceivedRow> r = _collector.next(10);
        ASSERT_TRUE(r) << "after " << seen.size() << " rows";
        if (r->source == "probe") {
            continue;
        }
        EXPECT_TRUE(seen.emplace(r->source, r->values[0]).second) << r->source << " " << r->values[0];
    }
    EXPECT_EQ(_provider.status().malformed.load(), 0);
    EXPECT_EQ(_provider.status().errors.load(), 0);
}

}  // namespace
}  // namespace vorpane::providers
