// The hub transport: the request queue, the server loop on real loopback sockets, the port
// assignment, the client role with its UDP pool, and replies over UDP.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/tcp.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <filesystem>
#include <future>
#include <mutex>
#include <random>
#include <thread>

#include "hub/dch_ipc.h"
#include "hub/transport_test_support.h"
#include "testlib/hub_test_client.h"
#include "interfaces/dch_protocol.h"
#include "interfaces/support.h"
#include "testlib/child_process.h"
#include "testlib/trace_capture.h"

namespace {

using namespace std::chrono_literals;
using vorpane::testing::frame;
using vorpane::testing::ScopedEnv;
using vorpane::testing::HubTestClient;
using vorpane::testing::TraceCapture;

// Shortens the transport's sleeps and waits (2 s before binding, 1 s between datagrams, 10 s pool
// waits, the 30 s message time-out) for the length of a test.
struct FastClock : vorpane::testing::ScopedSpeedup {
    FastClock() : ScopedSpeedup(50) {}
};

const std::string kBlanks(DCHclientName::capacity, ' ');

// ---------------------------------------------------------------------------------------------------
// The request queue, on a transport whose server loop ends at once.

class QueueOnly : public DCHipc {
  public:
    QueueOnly() : DCHipc(2) { startup(nullptr, 0); }
    ~QueueOnly() override { stopServer(); }
    int ipcRead(std::vector<char>*, int) override { return 0; }
    int ipcWrite(const void*, int, unsigned int) override { return 0; }
    void setClientAddr(const void*, int) override {}
    int IPCServer() override { return 0; }
    int IPCClient(void*, int, int) override { return 0; }
    int allocateIPC() override { return 0; }
    int releaseIPC() override { return 0; }

    int put(const std::string& data, const char* name = "127.0.0.1", unsigned int fd = 7) {
        const sockaddr_in from = vorpane::testing::loopback(4242);
        return ipc_put_data(static_cast<int>(data.size()), data.data(), &from, sizeof from, name, fd);
    }
    std::array<size_t, IPC_QSIZE> capacities() {
        ipcCircularBuffer* cb = circularBuffer();
        vorpane::ScopedLock g(cb->lock);
        std::array<size_t, IPC_QSIZE> caps{};
        for (size_t i = 0; i < caps.size(); ++i) {
            caps[i] = cb->slots[i].data.size();
        }
        return caps;
    }
    std::string slotBytes(size_t slot) {
        ipcCircularBuffer* cb = circularBuffer();
        vorpane::ScopedLock g(cb->lock);
        return std::string(cb->slots[slot].data.begin(), cb->slots[slot].data.end());
    }
    int queued() {
        ipcCircularBuffer* cb = circularBuffer();
        vorpane::ScopedLock g(cb->lock);
        return cb->num_full;
    }
};

struct Taken {
    int rc = -1;
    std::string data;
    std::string name;
    unsigned int fd = 0;
    DCHclientAddr addr;
};

Taken take(DCHipc& ipc, std::vector<char>& buffer) {
    Taken t;
    int len = 0;
    DCHclientName name;
    t.rc = ipc.ipc_get_data(buffer, &len, &t.addr, &name, &t.fd);
    t.data.assign(buffer.data(), static_cast<size_t>(len));
    t.name = name.str();
    return t;
}

TEST(IpcQueue, HoldsFourMessagesAndTheFifthPutWaitsForTheReader) {
    QueueOnly q;
    TraceCapture trace;
    for (int i = 1; i <= 4; ++i) {
        ASSERT_EQ(q.put("m" + std::to_string(i)), 0);
    }
    EXPECT_EQ(q.queued(), 4);
    auto fifth = std::async(std::launch::async, [&] { return q.put("m5"); });
    ASSERT_TRUE(trace.waitFor("Waiting for circular buffers to be freed."));
    EXPECT_EQ(fifth.wait_for(0s), std::future_status::timeout);

    std::vector<char> buffer;
    Taken t = take(q, buffer);
    EXPECT_EQ(t.rc, 0);
    EXPECT_EQ(t.data, "m1");
    EXPECT_EQ(t.name, "127.0.0.1");
    EXPECT_EQ(t.fd, 7u);
    EXPECT_EQ(t.addr.length, static_cast<int>(sizeof(sockaddr_in)));
    ASSERT_EQ(fifth.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(fifth.get(), 0);
    for (int i = 2; i <= 5; ++i) {
        EXPECT_EQ(take(q, buffer).data, "m" + std::to_string(i));
    }
    EXPECT_EQ(q.queued(), 0);
}

TEST(IpcQueue, SlotBuffersAreKeptAndGrowIn4096ByteSteps) {
    QueueOnly q;
    TraceCapture trace;
    std::vector<char> buffer;
    ASSERT_EQ(q.put(std::string(4096, 'a')), 0);  // slot 0: length + 1
    ASSERT_EQ(take(q, buffer).data.size(), 4096u);
    EXPECT_EQ(buffer.size(), 4097u);
    EXPECT_EQ(buffer[4096], '\0');
    for (int i = 0; i < 4; ++i) {  // slots 1 to 4: the first buffer of a small message is 4096
        ASSERT_EQ(q.put("small"), 0);
        EXPECT_EQ(take(q, buffer).data, "small");
    }
    EXPECT_EQ(q.capacities(), (std::array<size_t, IPC_QSIZE>{4097, 4096, 4096, 4096, 4096}));

    ASSERT_EQ(q.put(std::string(10000, 'b')), 0);  // slot 0 again: 4097 + 2 x 4096
    EXPECT_EQ(q.capacities()[0], 12289u);
    Taken big = take(q, buffer);
    EXPECT_EQ(big.data, std::string(10000, 'b'));
    EXPECT_EQ(buffer.size(), 12289u);  // the reader's buffer follows the slot
    EXPECT_EQ(buffer[10000], '\0');
    EXPECT_TRUE(trace.contains("Note: deleting and reallocating buffer"));

    ASSERT_EQ(q.put("tiny"), 0);  // slot 1 keeps 4096; the reader's buffer is zeroed past the message
    EXPECT_EQ(take(q, buffer).data, "tiny");
    EXPECT_EQ(buffer.size(), 12289u);
    EXPECT_EQ(buffer[4], '\0');
    EXPECT_EQ(buffer[9999], '\0');
    EXPECT_EQ(q.capacities()[1], 4096u);

    // Back in slot 0, which held the 10000 bytes: a short message is followed by zeros only.
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(q.put("x"), 0);
        EXPECT_EQ(take(q, buffer).data, "x");
    }
    ASSERT_EQ(q.put("tail"), 0);
    EXPECT_EQ(q.slotBytes(0), "tail" + std::string(12289 - 4, '\0'));
    EXPECT_EQ(take(q, buffer).data, "tail");
}

// After a burst of one large message the slot and the reader's buffer give their memory back, and
// the reader's buffer is still zero past every message (only what a message used is cleared).
TEST(IpcQueue, BuffersShrinkAfterALargeMessageAndStayZeroPastEachMessage) {
    QueueOnly q;
    std::vector<char> buffer;
    const std::string large(300000, 'L');
    ASSERT_EQ(q.put(large), 0);
    EXPECT_EQ(take(q, buffer).data, large);
    EXPECT_EQ(buffer.size(), 300001u);
    for (int i = 0; i < 5; ++i) {  // every slot once, the large one's included
        ASSERT_EQ(q.put("small" + std::to_string(i)), 0);
        Taken t = take(q, buffer);
        EXPECT_EQ(t.data, "small" + std::to_string(i));
    }
    EXPECT_EQ(q.capacities()[0], 4096u);
    EXPECT_EQ(buffer.size(), 4096u);
    // A longer message then a shorter one in the same reader buffer: nothing of the longer one stays.
    ASSERT_EQ(q.put(std::string(3000, 'a')), 0);
    take(q, buffer);
    ASSERT_EQ(q.put("b"), 0);
    EXPECT_EQ(take(q, buffer).data, "b");
    EXPECT_EQ(std::count(buffer.begin() + 1, buffer.end(), '\0'), static_cast<long>(buffer.size() - 1));
}

TEST(IpcQueue, InternalMessagesCarryBlanksAndShortNamesAreRefused) {
    QueueOnly q;
    TraceCapture trace;
    std::vector<char> buffer;
    ASSERT_EQ(q.ipc_put_data(13, "DP-DISCONNECT", nullptr, 0, nullptr, 9), 0);
    Taken internal = take(q, buffer);
    EXPECT_EQ(internal.rc, 0);
    EXPECT_EQ(internal.data, "DP-DISCONNECT");
    EXPECT_EQ(internal.name, kBlanks);
    EXPECT_EQ(internal.fd, 9u);
    EXPECT_EQ(internal.addr.length, 0);

    EXPECT_NE(q.ipc_put_data(-1, "x", nullptr, 0, nullptr, 0), 0);
    EXPECT_NE(q.ipc_put_data(4, nullptr, nullptr, 0, nullptr, 0), 0);
    EXPECT_EQ(q.queued(), 0);

    ASSERT_EQ(q.put("request", "abcd"), 0);
    ASSERT_EQ(q.put("next", "127.0.0.1"), 0);
    Taken refused = take(q, buffer);
    EXPECT_EQ(refused.rc, 2);        // refused, and the queue goes on
    EXPECT_EQ(refused.data, "");     // nothing of it is handed out
    EXPECT_EQ(q.ipcGetError(), 0);   // the queue leaves the shared error field alone
    EXPECT_EQ(q.queued(), 1);        // dropped: it cannot block the queue
    EXPECT_TRUE(trace.contains("Error: ipcClientName ptr problem:"));
    Taken next = take(q, buffer);
    EXPECT_EQ(next.rc, 0);
    EXPECT_EQ(next.data, "next");
}

TEST(IpcQueue, StopReleasesABlockedReaderAndWriter) {
    {
        QueueOnly q;
        std::vector<char> buffer;
        auto reader = std::async(std::launch::async, [&] { return take(q, buffer).rc; });
        EXPECT_EQ(reader.wait_for(20ms), std::future_status::timeout);
        q.stopServer();
        ASSERT_EQ(reader.wait_for(5s), std::future_status::ready);
        EXPECT_EQ(reader.get(), 1);
    }
    {
        QueueOnly q;
        TraceCapture trace;
        for (int i = 0; i < 4; ++i) {
            ASSERT_EQ(q.put("m"), 0);
        }
        auto writer = std::async(std::launch::async, [&] { return q.put("blocked"); });
        ASSERT_TRUE(trace.waitFor("Waiting for circular buffers to be freed."));
        q.stopServer();
        ASSERT_EQ(writer.wait_for(5s), std::future_status::ready);
        EXPECT_EQ(writer.get(), 1);
    }
}

// ---------------------------------------------------------------------------------------------------
// A hub on a loopback port, with a reader that takes every queued message.

class HubUnderTest {
  public:
    explicit HubUnderTest(int port) : _port("ZOTA_DCH_PORT", std::to_string(port)) {
        ipcSock::resetEnvForTest();
        _hub = std::make_unique<ipcSock>(2, 0, 1);
        _reader = std::thread([this] { readLoop(); });
    }
    ~HubUnderTest() {
        _hub->stopServer();
        _reader.join();
    }

    ipcSock& sock() { return *_hub; }

    std::optional<Taken> next(std::chrono::milliseconds deadline = 10s) {
        std::unique_lock<std::mutex> g(_lock);
        if (!_cond.wait_for(g, deadline, [&] { return !_messages.empty(); })) {
            return std::nullopt;
        }
        Taken t = std::move(_messages.front());
        _messages.pop_front();
        return t;
    }
    // Waits for the ready message, after which the hub's descriptors may be read.
    bool ready() {
        std::optional<Taken> t = next();
        return t && t->data == DCH_TEXT_SERVER_READY && t->name == kBlanks && t->fd == 0;
    }

  private:
    void readLoop() {
        std::vector<char> buffer;
        for (;;) {
            Taken t = take(*_hub, buffer);
            if (t.rc != 0) {
                return;  // the queue was closed
            }
            {
                std::lock_guard<std::mutex> g(_lock);
                _messages.push_back(std::move(t));
            }
            _cond.notify_all();
        }
    }

    ScopedEnv _port;
    std::unique_ptr<ipcSock> _hub;
    std::thread _reader;
    std::mutex _lock;
    std::condition_variable _cond;
    std::deque<Taken> _messages;
};

class IpcHub : public ::testing::Test {
  protected:
    void SetUp() override {
        _port = vorpane::testing::freeHubPort();
        ASSERT_GT(_port, 0);
    }
    FastClock _fast;
    int _port = 0;
};

TEST_F(IpcHub, TcpRequestsAreQueuedWholeAndInOrder) {
    HubUnderTest hub(_port);
    ASSERT_TRUE(hub.ready());
    EXPECT_EQ(hub.sock().sockPortTCP(), _port);
    EXPECT_EQ(hub.sock().sockPortUDP(), _port);

    HubTestClient peer(_port);
    ASSERT_TRUE(peer.connected());
    const std::string request = frame(10000, 'r');
    for (auto [from, to] :
         {std::pair<size_t, size_t>{0, 2}, {2, 4}, {4, 3000}, {3000, 9000}, {9000, 10000}}) {
        ASSERT_TRUE(peer.sendRaw(request.substr(from, to - from)));
        std::this_thread::sleep_for(5ms);  // the pauses between pieces are the point of this case
    }
    std::optional<Taken> whole = hub.next();
    ASSERT_TRUE(whole);
    EXPECT_EQ(whole->data, request);
    EXPECT_EQ(whole->name, "127.0.0.1");
    EXPECT_GT(whole->fd, 0u);
    // The hub's writes on the connection are whole messages that are not held back for Nagle.
    int noDelay = 0;
    socklen_t noDelayLength = sizeof noDelay;
    ASSERT_EQ(getsockopt(static_cast<int>(whole->fd), IPPROTO_TCP, TCP_NODELAY, &noDelay, &noDelayLength), 0);
    EXPECT_NE(noDelay, 0);

    // Requests sent back to back share an entry when one receive brings them: whole requests only,
    // in the order sent, from the one connection.
    const std::string pipelined = frame(100, 'a') + frame(200, 'b') + frame(300, 'c');
    ASSERT_TRUE(peer.sendRaw(pipelined));
    std::string queued;
    while (queued.size() < pipelined.size()) {
        std::optional<Taken> entry = hub.next();
        ASSERT_TRUE(entry);
        EXPECT_EQ(entry->fd, whole->fd);
        EXPECT_EQ(entry->name, "127.0.0.1");
        for (size_t at = 0; at < entry->data.size();) {
            ASSERT_GE(entry->data.size() - at, 4u);
            at += vorpane::dch::totalLength(entry->data.data() + at);
            ASSERT_LE(at, entry->data.size()) << "an entry ends inside a request";
        }
        queued += entry->data;
    }
    EXPECT_EQ(queued, pipelined);

    // A UDP request is one datagram, queued with its sender and no connection.
    const int udp = vorpane::testing::boundSocket(SOCK_DGRAM, 0);
    ASSERT_GE(udp, 0);
    const sockaddr_in to = vorpane::testing::loopback(_port);
    const std::string datagram = frame(300, 'u');
    ASSERT_EQ(
        sendto(udp, datagram.data(), datagram.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to),
        300);
    std::optional<Taken> viaUdp = hub.next();
    ASSERT_TRUE(viaUdp);
    EXPECT_EQ(viaUdp->data, datagram);
    EXPECT_EQ(viaUdp->fd, 0u);
    EXPECT_EQ(viaUdp->name, "127.0.0.1");
    sockaddr_in sender{};
    std::memcpy(&sender, viaUdp->addr.bytes.data(), sizeof sender);
    EXPECT_EQ(ntohs(sender.sin_port), vorpane::testing::localPort(udp));
    close(udp);
}

TEST_F(IpcHub, SixtyFourClientsAreServedAndAClosedSlotIsReused) {
    TraceCapture trace(vorpane::trace::kError);
    HubUnderTest hub(_port);
    ASSERT_TRUE(hub.ready());

    std::vector<std::unique_ptr<HubTestClient>> peers;
    std::vector<unsigned int> fds;
    for (int i = 0; i < IPC_MAX_TCP_CLIENTS; ++i) {
        peers.push_back(std::make_unique<HubTestClient>(_port));
        ASSERT_TRUE(peers.back()->connected());
        ASSERT_TRUE(peers.back()->sendRaw(frame(8, static_cast<char>('A' + i % 26))));
        std::optional<Taken> t = hub.next();
        ASSERT_TRUE(t);
        EXPECT_EQ(t->data, frame(8, static_cast<char>('A' + i % 26)));
        fds.push_back(t->fd);
    }

    HubTestClient extra(_port);  // connects into the backlog, but gets no slot
    ASSERT_TRUE(extra.connected());
    ASSERT_TRUE(extra.sendRaw(frame(9, '!')));
    ASSERT_TRUE(trace.waitFor("Error: Maximum of 64 TCP clients has been reached."));
    ASSERT_TRUE(peers[10]->sendRaw(frame(10, 'p')));
    std::optional<Taken> served = hub.next();
    ASSERT_TRUE(served);
    EXPECT_EQ(served->data, frame(10, 'p'));  // the 64 are still served, the 65th waits
    EXPECT_EQ(served->fd, fds[10]);

    peers[3]->close();
    std::optional<Taken> gone = hub.next();
    ASSERT_TRUE(gone);
    EXPECT_EQ(gone->data, DCH_TEXT_DISCONNECT);
    EXPECT_EQ(gone->fd, fds[3]);
    EXPECT_EQ(gone->name, kBlanks);
    std::optional<Taken> late = hub.next();
    ASSERT_TRUE(late);
    EXPECT_EQ(late->data, frame(9, '!'));
    for (size_t i = 0; i < fds.size(); ++i) {
        EXPECT_TRUE(i == 3 || late->fd != fds[i]) << "the 65th shares a descriptor with client " << i;
    }

    // Exactly one disconnect per close: the next message is a request again.
    ASSERT_TRUE(peers[5]->sendRaw(frame(11, 'q')));
    std::optional<Taken> after = hub.next();
    ASSERT_TRUE(after);
    EXPECT_EQ(after->data, frame(11, 'q'));
    EXPECT_EQ(trace.count("Maximum of 64 TCP clients"), 1);
}

// A sender that stalls in the middle of a message is told to resend after DCHtimeout() seconds (0.6 s
// here), the rest of that message is discarded when it comes, and other connections are served.
TEST_F(IpcHub, AStalledSenderIsToldToResendAndOthersAreServed) {
    HubUnderTest hub(_port);
    ASSERT_TRUE(hub.ready());
    HubTestClient slow(_port);
    ASSERT_TRUE(slow.connected());
    ASSERT_TRUE(slow.sendRaw(frame(8, 's')));
    std::optional<Taken> first = hub.next();
    ASSERT_TRUE(first);
    const unsigned int slowFd = first->fd;

    const std::string stalled = frame(1000, 'z');
    ASSERT_TRUE(slow.sendRaw(stalled.substr(0, 104)));
    HubTestClient other(_port);
    ASSERT_TRUE(other.connected());
    ASSERT_TRUE(other.sendRaw(frame(20, 'o')));
    std::optional<Taken> a = hub.next();
    std::optional<Taken> b = hub.next();
    ASSERT_TRUE(a && b);
    const Taken& resend = a->data == DCH_TEXT_RESEND ? *a : *b;
    const Taken& served = a->data == DCH_TEXT_RESEND ? *b : *a;
    EXPECT_EQ(resend.data, DCH_TEXT_RESEND);
    EXPECT_EQ(resend.fd, slowFd);
    EXPECT_EQ(resend.name, "127.0.0.1");
    EXPECT_EQ(served.data, frame(20, 'o'));

    ASSERT_TRUE(slow.sendRaw(stalled.substr(104) + frame(30, 'n')));
    std::optional<Taken> next = hub.next();
    ASSERT_TRUE(next);
    EXPECT_EQ(next->data, frame(30, 'n'));

    // Half a message and then a close: the connection is gone, once.
    ASSERT_TRUE(slow.sendRaw(frame(500, 'h').substr(0, 200)));
    slow.close();
    std::optional<Taken> gone = hub.next();
    ASSERT_TRUE(gone);
    EXPECT_EQ(gone->data, DCH_TEXT_DISCONNECT);
    EXPECT_EQ(gone->fd, slowFd);
    ASSERT_TRUE(other.sendRaw(frame(12, 'e')));
    std::optional<Taken> last = hub.next();
    ASSERT_TRUE(last);
    EXPECT_EQ(last->data, frame(12, 'e'));
}

TEST_F(IpcHub, GarbageAndLyingHeadersNeverHurtTheHub) {
    TraceCapture trace(vorpane::trace::kError);
    HubUnderTest hub(_port);
    ASSERT_TRUE(hub.ready());

    std::vector<std::string> streams = {
        std::string(4, '\0'),                                             // length 0
        frame(3).substr(0, 4),                                            // shorter than its header
        std::string(4, '\xff'),                                           // 4 GiB
        frame(static_cast<uint32_t>(IPC_MAX_MESSAGE) + 1).substr(0, 64),  // just over the limit
        frame(100).substr(0, 2),                                          // a truncated header
        frame(5000).substr(0, 4500),                                      // a truncated body
    };
    std::mt19937 random(20240611);
    for (int i = 0; i < 150; ++i) {
        std::string bytes(std::uniform_int_distribution<size_t>(1, 9000)(random), '\0');
        for (char& c : bytes) {
            c = static_cast<char>(random());
        }
        streams.push_back(std::move(bytes));
    }
    // Every connection ends in exactly one disconnect, whatever it sent. Connections go in groups of
    // four, which interleave in the hub but stay within its listen backlog.
    const int udp = vorpane::testing::boundSocket(SOCK_DGRAM, 0);
    ASSERT_GE(udp, 0);
    const sockaddr_in to = vorpane::testing::loopback(_port);
    for (size_t first = 0; first < streams.size(); first += 4) {
        std::vector<std::unique_ptr<HubTestClient>> group;
        for (size_t i = first; i < std::min(first + 4, streams.size()); ++i) {
            group.push_back(std::make_unique<HubTestClient>(_port));
            ASSERT_TRUE(group.back()->connected());
            group.back()->sendRaw(streams[i]);  // the hub may already have closed its end
        }
        std::string datagram(std::uniform_int_distribution<size_t>(1, 6000)(random), '\0');
        for (char& c : datagram) {
            c = static_cast<char>(random());
        }
        sendto(udp, datagram.data(), datagram.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
        group.clear();
        size_t disconnects = 0;
        while (disconnects < std::min<size_t>(4, streams.size() - first)) {
            std::optional<Taken> t = hub.next();
            ASSERT_TRUE(t) << "no disconnect for a stream of group " << first / 4;
            if (t->data == DCH_TEXT_DISCONNECT && t->name == kBlanks) {
                ++disconnects;
            } else {
                EXPECT_LE(t->data.size(), static_cast<size_t>(IPC_MAX_MESSAGE));
            }
        }
    }
    EXPECT_GE(trace.count("Error: TCP message length"), 4);

    HubTestClient good(_port);
    ASSERT_TRUE(good.sendRaw(frame(64, 'g')));
    const std::string datagram = frame(40, 'd');
    ASSERT_EQ(
        sendto(udp, datagram.data(), datagram.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to),
        40);
    bool tcpSeen = false;
    bool udpSeen = false;
    while (!(tcpSeen && udpSeen)) {
        std::optional<Taken> t = hub.next();
        ASSERT_TRUE(t);
        EXPECT_NE(t->data, DCH_TEXT_DISCONNECT);  // no second disconnect for any connection
        tcpSeen = tcpSeen || t->data == frame(64, 'g');
        udpSeen = udpSeen || t->data == datagram;
    }
    close(udp);
}

size_t openDescriptors() {
    size_t n = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        ++n;
    }
    return n;
}

// Hubs are made and stopped over and over in one process: no thread, descriptor or port is left
// behind, even when the server thread is blocked on a full queue nobody reads.
TEST_F(IpcHub, StopServerEndsTheLoopAndReleasesEverything) {
    ipcSock::resetEnvForTest();  // a pool left by another test would be closed on the way
    const size_t before = openDescriptors();
    for (int round = 0; round < 3; ++round) {
        HubUnderTest hub(_port);
        ASSERT_TRUE(hub.ready());
        HubTestClient a(_port);
        HubTestClient b(_port);
        ASSERT_TRUE(a.sendRaw(frame(8)) && b.sendRaw(frame(8)));
        ASSERT_TRUE(hub.next() && hub.next());
    }
    EXPECT_EQ(openDescriptors(), before);

    TraceCapture trace;
    ScopedEnv port("ZOTA_DCH_PORT", std::to_string(_port));
    ipcSock::resetEnvForTest();
    {
        ipcSock unread(2, 0, 1);
        ASSERT_TRUE(trace.waitFor("Successfully opened"));
        const int udp = vorpane::testing::boundSocket(SOCK_DGRAM, 0);
        const sockaddr_in to = vorpane::testing::loopback(_port);
        for (int i = 0; i < 5; ++i) {
            const std::string datagram = frame(16);
            sendto(udp, datagram.data(), datagram.size(), 0, reinterpret_cast<const sockaddr*>(&to),
                   sizeof to);
        }
        close(udp);
        ASSERT_TRUE(trace.waitFor("Waiting for circular buffers to be freed."));
    }
    EXPECT_TRUE(trace.contains("Closing TCP socket"));
    EXPECT_EQ(openDescriptors(), before);
}

// ---------------------------------------------------------------------------------------------------
// Port assignment

TEST(IpcPort, WithAnInstanceNameTheFirstFreeCandidatePortIsTaken) {
    constexpr int kFirst = 1919 + 46300 + 1000;
    constexpr int kSecond = 1919 + 46300 + 2000;
    const int probe = vorpane::testing::boundSocket(SOCK_STREAM, kSecond);
    if (probe < 0) {
        GTEST_SKIP() << "port " << kSecond << " is in use on this machine";
    }
    close(probe);
    // The first candidate is taken: by us, or already by someone else.
    const int heldUdp = vorpane::testing::boundSocket(SOCK_DGRAM, kFirst);
    const int heldTcp = vorpane::testing::boundSocket(SOCK_STREAM, kFirst);
    if (heldTcp >= 0) {
        ASSERT_EQ(listen(heldTcp, 1), 0);
    }

    FastClock fast;
    TraceCapture trace;
    struct Restore {
        ~Restore() {
            ZOTA_SetInstanceName(nullptr);
            ZOT0_UpdateProductSpec(ZOT2_DCH_PORT, "");
            ZOT0_UpdateProductSpec(ZOT2_DP_PORT_OFFSET, "");
            for (int fd : held) {
                if (fd >= 0) {
                    close(fd);
                }
            }
        }
        std::array<int, 2> held;
    } restore{{heldUdp, heldTcp}};
    ZOTA_SetInstanceName("inst1");
    {
        HubUnderTest hub(1919);
        ASSERT_TRUE(hub.ready());
        EXPECT_EQ(ipcSock::envPortNo(), kSecond);
        EXPECT_EQ(hub.sock().sockPortTCP(), kSecond);
        EXPECT_STREQ(BSS1_GetEnv("ZOTA_DCH_PORT"), std::to_string(kSecond).c_str());
        EXPECT_EQ(ZOT0_QueryProductSpec(ZOT2_DCH_PORT), std::to_string(kSecond));
        EXPECT_EQ(ZOT0_QueryProductSpec(ZOT2_DP_PORT_OFFSET), "2000");
        EXPECT_TRUE(trace.contains("Assigned DCH port number to " + std::to_string(kSecond)));
        if (heldUdp >= 0 && heldTcp >= 0) {
            EXPECT_TRUE(trace.contains("DCH port number " + std::to_string(kFirst) +
                                       " is already in use, retrying..."));
        }
        HubTestClient peer(kSecond);
        ASSERT_TRUE(peer.sendRaw(frame(32, 'c')));
        std::optional<Taken> t = hub.next();
        ASSERT_TRUE(t);
        EXPECT_EQ(t->data, frame(32, 'c'));
    }
}

// The hub ends its process when it cannot have its port. These cases run in a child process: the
// test binary itself, restarted on the child test below.
constexpr const char* kChildKey = "VORPANE_TRANSPORT_CHILD";

TEST(IpcTransportChild, RunsAHubThatCannotHaveItsPort) {
    const char* mode = std::getenv(kChildKey);
    if (mode == nullptr) {
        GTEST_SKIP() << "runs only as the child of the port tests";
    }
    vorpane::clock::setSpeedup(50);
    ASSERT_TRUE(ZOT0_InitializeProductSpec("VA"));
    if (std::string(mode) == "candidates") {
        ZOTA_SetInstanceName("inst1");
        ZOT0_UpdateProductSpec(ZOT2_DP_PORT_OFFSET, "20000");  // the first candidate is above 65535
    }
    ipcSock hub(2, 0, 1);
    std::vector<char> buffer;
    take(hub, buffer);  // blocks until the hub ends the process
    std::_Exit(3);      // the hub came up: not what the parent expects
}

std::string runPortChild(const std::vector<std::string>& env) {
    const std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
    vorpane::testing::ChildProcess child(
        {self, "--gtest_filter=IpcTransportChild.RunsAHubThatCannotHaveItsPort"}, env);
    EXPECT_TRUE(child.started());
    EXPECT_EQ(child.waitExit(20s), 1);
    return child.output();
}

TEST(IpcPort, AFixedPortInUseEndsTheProcess) {
    const int port = vorpane::testing::freeHubPort();
    ASSERT_GT(port, 0);
    const int udp = vorpane::testing::boundSocket(SOCK_DGRAM, port);
    const int tcp = vorpane::testing::boundSocket(SOCK_STREAM, port);
    ASSERT_TRUE(udp >= 0 && tcp >= 0);
    ASSERT_EQ(listen(tcp, 1), 0);
    const std::string out =
        runPortChild({std::string(kChildKey) + "=fixed", "ZOTA_DCH_PORT=" + std::to_string(port)});
    EXPECT_NE(out.find("Error: Could not open TCP/UDP sockets bound to Vorpane Agent DCH port " +
                       std::to_string(port)),
              std::string::npos)
        << out;
    EXPECT_NE(
        out.find("Determine if another copy of Vorpane Agent is already active on this system.  Exiting..."),
        std::string::npos)
        << out;
    close(udp);
    close(tcp);
}

TEST(IpcPort, NoCandidatePortEndsTheProcess) {
    const std::string out = runPortChild({std::string(kChildKey) + "=candidates", "ZOTA_DCH_PORT=1919"});
    EXPECT_NE(out.find("Error: Could not open TCP/UDP sockets bound to Vorpane Agent"), std::string::npos)
        << out;
    EXPECT_NE(out.find("All candidate DCH ports are unavailable.  Exiting..."), std::string::npos) << out;
}

// ---------------------------------------------------------------------------------------------------
// Client role: replies over UDP, reads, the socket pool

TEST(IpcClient, AUdpReplyGoesOutIn8192ByteDatagramsAndIsRebuilt) {
    FastClock fast;
    ipcSock::resetEnvForTest();
    ipcSock reply(1, 1, 0);
    ASSERT_EQ(reply.ipcGetError(), 0);
    const std::string message = frame(20000, 'v');

    const int raw = vorpane::testing::boundSocket(SOCK_DGRAM, 0);
    ASSERT_GE(raw, 0);
    const sockaddr_in rawAddr = vorpane::testing::loopback(vorpane::testing::localPort(raw));
    reply.setClientAddr(&rawAddr, sizeof rawAddr);
    ASSERT_EQ(reply.ipcWrite(message.data(), static_cast<int>(message.size()), 0), 20000);
    std::string joined;
    std::vector<size_t> sizes;
    std::vector<char> datagram(65536);
    while (joined.size() < message.size()) {
        const ssize_t n = recv(raw, datagram.data(), datagram.size(), 0);
        ASSERT_GT(n, 0);
        sizes.push_back(static_cast<size_t>(n));
        joined.append(datagram.data(), static_cast<size_t>(n));
    }
    EXPECT_EQ(sizes, (std::vector<size_t>{8192, 8192, 3616}));
    EXPECT_EQ(joined, message);
    close(raw);

    ipcSock pooled(3, 0, 1);
    ASSERT_EQ(pooled.ipcGetError(), 0);
    const sockaddr_in pooledAddr = vorpane::testing::loopback(pooled.sockPortUDP());
    reply.setClientAddr(&pooledAddr, sizeof pooledAddr);
    auto writer = std::async(std::launch::async, [&] {
        return reply.ipcWrite(message.data(), static_cast<int>(message.size()), 0);
    });
    std::vector<char> read;
    EXPECT_EQ(pooled.ipcRead(&read, 5), 3616);
    EXPECT_EQ(std::string(read.begin(), read.end()), message);
    EXPECT_EQ(writer.get(), 20000);
    EXPECT_EQ(pooled.releaseIPC(), 0);
    EXPECT_EQ(pooled.releaseIPC(), 1);  // released once only
}

TEST(IpcClient, AReplyNeedingASeventeenthDatagramFails) {
    FastClock fast;
    TraceCapture trace;
    ipcSock::resetEnvForTest();
    ipcSock reply(1, 1, 0);
    ipcSock own(1, 0, 0);  // its own UDP socket, which nobody else reads
    ASSERT_EQ(own.ipcGetError(), 0);
    EXPECT_TRUE(trace.contains("Creating UDP socket from outside of pool."));
    const std::string message = frame(IPC_MAX_READ_PIECES * IPC_DATAGRAM + 1, 'w');
    const sockaddr_in ownAddr = vorpane::testing::loopback(own.sockPortUDP());
    reply.setClientAddr(&ownAddr, sizeof ownAddr);
    auto writer = std::async(std::launch::async, [&] {
        return reply.ipcWrite(message.data(), static_cast<int>(message.size()), 0);
    });
    std::vector<char> read;
    EXPECT_EQ(own.ipcRead(&read, 5), -1);
    EXPECT_TRUE(trace.contains("Max 16 number of 16K buffers already read."));
    EXPECT_EQ(writer.get(), static_cast<int>(message.size()));

    // Without retries, a read that times out returns what it has.
    ipcSock quiet(1, 0, 0);
    quiet.ipcSetRetryRead(0);
    std::vector<char> none;
    EXPECT_EQ(quiet.ipcRead(&none, 1), 0);
    EXPECT_TRUE(trace.contains("...not retrying"));
}

TEST(IpcClient, PooledClientsWaitForAReleasedSocket) {
    FastClock fast;
    TraceCapture trace;
    ScopedEnv poolSize("ZOTA_DCH_UDP_SOCKETS_IN_POOL", "1");
    ipcSock::resetEnvForTest();
    {
        ipcSock first(3, 0, 1);
        ASSERT_EQ(first.ipcGetError(), 0);
        const int only = first.sockUDP();
        auto second = std::async(std::launch::async, [] {
            auto s = std::make_unique<ipcSock>(3, 0, 1);
            return s;
        });
        ASSERT_TRUE(trace.waitFor("No UDP sockets available yet. Waiting on signal."));
        ASSERT_TRUE(trace.waitFor("Wait timeout on UDP sock pool"));  // 10 s, shortened
        EXPECT_EQ(second.wait_for(0s), std::future_status::timeout);
        EXPECT_EQ(first.releaseIPC(), 0);
        ASSERT_EQ(second.wait_for(5s), std::future_status::ready);
        std::unique_ptr<ipcSock> got = second.get();
        EXPECT_EQ(got->ipcGetError(), 0);
        EXPECT_EQ(got->sockUDP(), only);
        EXPECT_TRUE(trace.contains("[0] UDP Socket " + std::to_string(only) + " made available for use."));
        got.reset();  // gives the socket back to the pool without closing it
        EXPECT_EQ(fcntl(only, F_GETFD), FD_CLOEXEC);
    }
    ipcSock::resetEnvForTest();
}

// ---------------------------------------------------------------------------------------------------
// Refused constructions and the inert local transport

TEST(IpcTransport, DefaultConstructorsRefuseAndTheLocalTransportIsInert) {
    TraceCapture trace;
    ipcSock refused;
    EXPECT_EQ(refused.ipcGetError(), 1);
    EXPECT_EQ(refused.sockError(), 1);
    ipcLPC lpcRefused;
    EXPECT_EQ(lpcRefused.IPCServer(), 1);
    EXPECT_GE(trace.count("Error: this constructor should not be used."), 3);

    ipcLPC server(2);
    EXPECT_EQ(server.ipcGetError(), 0);
    EXPECT_EQ(server.circularBuffer(), nullptr);
    std::vector<char> buffer;
    EXPECT_EQ(server.ipcRead(&buffer, 1), 0);
    EXPECT_EQ(server.ipcWrite("x", 1, 0), 0);
    EXPECT_EQ(server.IPCServer(), 0);
    EXPECT_EQ(server.allocateIPC(), 0);
    EXPECT_EQ(server.DCHtimeout(), 30);
    int len = 0;
    EXPECT_EQ(server.ipc_get_data(buffer, &len, nullptr, nullptr, nullptr), 1);  // no queue
}

}  // namespace
