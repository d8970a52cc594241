// The hub's writer cuts a connection that does not keep up, and the peer still sees whole messages
// only: the rest of the message the socket was taking at the cut goes before the end of the stream.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "hub/dch_sender.h"
#include "interfaces/dch_protocol.h"
#include "testlib/scoped_env.h"
#include "testlib/trace_capture.h"
#include "transport_test_support.h"

namespace vorpane::testing {
namespace {

// A loopback TCP connection with small buffers: the writer's end and the peer's.
struct Connection {
    int writer = -1;
    int peer = -1;
    Connection() {
        const int listener = boundSocket(SOCK_STREAM, 0);
        EXPECT_EQ(listen(listener, 1), 0);
        peer = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const int small = 8192;
        setsockopt(peer, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
        sockaddr_in at = loopback(localPort(listener));
        EXPECT_EQ(connect(peer, reinterpret_cast<sockaddr*>(&at), sizeof at), 0);
        writer = accept(listener, nullptr, nullptr);
        setsockopt(writer, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
        close(listener);
    }
    ~Connection() {
        close(writer);
        close(peer);
    }
    // Everything the peer receives until the end of the stream (false when it does not end in time).
    bool readToEnd(std::string* bytes) const {
        char chunk[65536];
        for (;;) {
            pollfd pf{peer, POLLIN, 0};
            if (poll(&pf, 1, 30000) != 1) {
                return false;
            }
            const ssize_t n = recv(peer, chunk, sizeof chunk, 0);
            if (n <= 0) {
                return true;
            }
            bytes->append(chunk, static_cast<size_t>(n));
        }
    }
};

// Messages of 9,973 bytes: no buffer size is a multiple of them, so the socket takes one in part.
constexpr uint32_t kMessage = 9973;

std::string message(int n) {
    std::string m = frame(kMessage, static_cast<char>('a' + n % 26));
    return m;
}

// Whole messages counted from the start of bytes; *rest is what is left after the last whole one.
int wholeMessages(const std::string& bytes, size_t* rest) {
    size_t at = 0;
    int n = 0;
    while (bytes.size() - at >= DCH_FRAME_HEADER) {
        const uint32_t length = dch::totalLength(bytes.data() + at);
        if (length != kMessage || bytes.size() - at < length ||
            bytes[at + length - 1] != static_cast<char>('a' + n % 26)) {
            break;
        }
        at += length;
        ++n;
    }
    *rest = bytes.size() - at;
    return n;
}

TEST(HubSender, ACutConnectionReceivesWholeMessagesThenTheEnd) {
    TraceCapture trace(trace::kError);
    Connection c;
    DCHsender sender(-1, DCHsender::kLeastQueueBound, 30);
    // The peer reads nothing until its queue is full and it is cut.
    int sent = 0;
    while (sender.cutCount() == 0 && sent < 1000) {
        const std::string m = message(sent);
        if (sender.send(c.writer, m.data(), m.size()) < 0) {
            break;
        }
        ++sent;
    }
    ASSERT_EQ(sender.cutCount(), 1);
    EXPECT_TRUE(trace.contains("its outgoing queue is full"));
    const std::string late = message(sent);
    EXPECT_EQ(sender.send(c.writer, late.data(), late.size()), -1);  // nothing after the cut

    // Then it reads: whole messages in order, and the end exactly after the last one.
    std::string bytes;
    ASSERT_TRUE(c.readToEnd(&bytes));
    size_t rest = 0;
    const int whole = wholeMessages(bytes, &rest);
    EXPECT_GT(whole, 0);
    EXPECT_LE(whole, sent);
    EXPECT_EQ(rest, 0u) << "the stream ended " << rest << " bytes into message " << whole;
    EXPECT_EQ(sender.tornCount(), 0);
}

// A peer that takes nothing even of the message's rest is not waited for longer than the send
// time-out: the stream then ends inside that message, and the hub says so.
TEST(HubSender, APeerThatTakesNothingAfterTheCutIsShutDownInsideTheMessage) {
    ScopedSpeedup fast(20);
    TraceCapture trace(trace::kError);
    Connection c;
    DCHsender sender(-1, DCHsender::kDefaultQueueBound, 2);
    // More than the sockets hold, far less than the queue: the writer stalls inside a message.
    for (int i = 0; i < 40; ++i) {
        const std::string m = message(i);
        ASSERT_EQ(sender.send(c.writer, m.data(), m.size()), static_cast<int>(m.size()));
    }
    ASSERT_TRUE(trace.waitFor("it took nothing for the send time-out", std::chrono::seconds(30)));
    ASSERT_TRUE(trace.waitFor("is closed inside a message: it took nothing of the last", std::chrono::seconds(30)));
    EXPECT_EQ(sender.cutCount(), 1);
    EXPECT_EQ(sender.tornCount(), 1);
    std::string bytes;
    ASSERT_TRUE(c.readToEnd(&bytes));
    size_t rest = 0;
    EXPECT_LT(wholeMessages(bytes, &rest), 40);
    EXPECT_GT(rest, 0u);
}

// A collector on a TCP connection that reads slowly is waited for instead of being cut: the hub's
// request thread waits for room before each message, and the peer gets every message; one that reads
// nothing is waited for only up to the stall time, and not again until it takes something.
TEST(HubSender, ASlowReaderIsWaitedForAndAStalledOneOnlyUpToTheStallTime) {
    ScopedSpeedup fast(20);
    TraceCapture trace(trace::kError);
    constexpr int kMessages = 200;  // some 2 MB, thirty times the queue bound
    {
        Connection c;
        DCHsender sender(-1, DCHsender::kLeastQueueBound, 30);
        int waited = 0;
        size_t most = 0;
        std::thread writer([&] {
            for (int i = 0; i < kMessages; ++i) {
                const DCHsender::Room room = sender.waitForRoom(c.writer, sender.queueBound() / 2, 30);
                waited += room == DCHsender::Room::kWaited ? 1 : 0;
                most = std::max(most, sender.waiting(c.writer));
                const std::string m = message(i);
                ASSERT_EQ(sender.send(c.writer, m.data(), m.size()), static_cast<int>(m.size()));
            }
            // Everything queued has gone before the end of the stream.
            const DCHsender::Room drained = sender.waitForRoom(c.writer, 0, 30);
            EXPECT_TRUE(drained == DCHsender::Room::kRoom || drained == DCHsender::Room::kWaited);
            shutdown(c.writer, SHUT_WR);
        });
        std::string bytes;
        ASSERT_TRUE(c.readToEnd(&bytes));
        writer.join();
        size_t rest = 0;
        EXPECT_EQ(wholeMessages(bytes, &rest), kMessages);
        EXPECT_EQ(rest, 0u);
        EXPECT_EQ(sender.cutCount(), 0);
        EXPECT_GT(waited, 0);
        EXPECT_LE(most, sender.queueBound() / 2);
    }
    Connection c;
    DCHsender sender(-1, DCHsender::kDefaultQueueBound, 3600);
    DCHsender::Room room = DCHsender::Room::kRoom;
    int i = 0;
    for (; i < 1000 && room != DCHsender::Room::kStalled; ++i) {
        room = sender.waitForRoom(c.writer, 64 * 1024, 2);
        const std::string m = message(i);
        ASSERT_EQ(sender.send(c.writer, m.data(), m.size()), static_cast<int>(m.size()));
    }
    EXPECT_EQ(room, DCHsender::Room::kStalled);
    EXPECT_EQ(sender.waitForRoom(c.writer, 64 * 1024, 2), DCHsender::Room::kRoom);  // not waited for again
    EXPECT_EQ(sender.cutCount(), 0);
}

}  // namespace
}  // namespace vorpane::testing
