// The per-connection buffer of the hub's server loop: bytes in, whole messages out, whatever the
// pieces the connection delivers them in.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "hub/dch_ipc.h"
#include "hub/ipc_stream_buffer.h"
#include "hub/transport_test_support.h"
#include "interfaces/dch_protocol.h"

namespace {

using vorpane::testing::frame;

// Appends bytes as one receive would (in as many receives as the room given asks for).
void receive(ipcStreamBuffer& in, const std::string& bytes) {
    size_t at = 0;
    while (at < bytes.size()) {
        char* into = in.reserve(IPC_READ_UNIT);
        const size_t n = std::min(in.room(), bytes.size() - at);
        std::memcpy(into, bytes.data() + at, n);
        in.commit(n);
        at += n;
    }
}

// A length header alone.
std::string header(uint32_t total) {
    const uint32_t net = htonl(total);
    return std::string(reinterpret_cast<const char*>(&net), 4);
}

ipcStreamBuffer::Front state(const ipcStreamBuffer& in) {
    const char* data = nullptr;
    uint32_t length = 0;
    return in.front(&data, &length);
}

// Takes every complete message at the front.
std::vector<std::string> take(ipcStreamBuffer& in) {
    std::vector<std::string> out;
    const char* data = nullptr;
    uint32_t length = 0;
    while (in.front(&data, &length) == ipcStreamBuffer::Front::message) {
        out.emplace_back(data, length);
        in.pop();
    }
    return out;
}

TEST(IpcStreamBuffer, MessagesComeOutWholeAndInOrderHoweverTheBytesArrive) {
    const std::string a = frame(12, 'a');
    const std::string b = frame(300, 'b');
    const std::string c = frame(9000, 'c');  // more than one read unit
    const std::string stream = a + b + c + frame(4, 'd');

    // All at once: one receive, four messages.
    ipcStreamBuffer once(IPC_MAX_MESSAGE);
    receive(once, stream);
    EXPECT_EQ(take(once), (std::vector<std::string>{a, b, c, frame(4, 'd')}));
    EXPECT_EQ(state(once), ipcStreamBuffer::Front::empty);

    // Cut at every place a few bytes apart, headers included: each message appears once it is whole.
    for (size_t cut = 1; cut < 40; ++cut) {
        SCOPED_TRACE(cut);
        ipcStreamBuffer in(IPC_MAX_MESSAGE);
        std::vector<std::string> got;
        for (size_t at = 0; at < stream.size(); at += cut * 7) {
            receive(in, stream.substr(at, cut * 7));
            for (std::string& m : take(in)) {
                got.push_back(std::move(m));
            }
            if (in.pending() > 0) {
                EXPECT_EQ(state(in), ipcStreamBuffer::Front::incomplete);
                size_t consumed = 0;
                for (const std::string& m : got) {
                    consumed += m.size();
                }
                EXPECT_EQ(in.expected(),
                          in.pending() >= 4 ? vorpane::dch::totalLength(stream.data() + consumed) : 0u);
            }
        }
        EXPECT_EQ(got, (std::vector<std::string>{a, b, c, frame(4, 'd')}));
        EXPECT_EQ(in.pending(), 0u);
    }
}

// Takes the front run, as the server loop queues it.
std::string takeRun(ipcStreamBuffer& in, uint32_t limit, uint32_t* count) {
    const char* data = nullptr;
    uint32_t length = 0;
    *count = 0;
    if (in.frontRun(&data, &length, count, limit) != ipcStreamBuffer::Front::message) {
        return {};
    }
    std::string run(data, length);
    in.popRun(length);
    return run;
}

TEST(IpcStreamBuffer, ARunHoldsTheWholeMessagesAtTheFrontUpToItsLimit) {
    const std::string a = frame(100, 'a');
    const std::string b = frame(200, 'b');
    const std::string c = frame(300, 'c');
    uint32_t count = 0;

    // Three whole messages and the start of a fourth: the run stops before the incomplete one.
    ipcStreamBuffer in(IPC_MAX_MESSAGE);
    const std::string d = frame(400, 'd');
    receive(in, a + b + c + d.substr(0, 50));
    EXPECT_EQ(takeRun(in, 4096, &count), a + b + c);
    EXPECT_EQ(count, 3u);
    EXPECT_EQ(state(in), ipcStreamBuffer::Front::incomplete);
    receive(in, d.substr(50));
    EXPECT_EQ(takeRun(in, 4096, &count), d);
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(state(in), ipcStreamBuffer::Front::empty);

    // The limit cuts between messages, never inside one; a first message longer than the limit
    // goes alone.
    receive(in, a + b + c);
    EXPECT_EQ(takeRun(in, 350, &count), a + b);
    EXPECT_EQ(count, 2u);
    EXPECT_EQ(takeRun(in, 100, &count), c);
    EXPECT_EQ(count, 1u);

    // A bad length after good messages ends the run; front() then reports it.
    receive(in, a + header(2) + "xx");
    EXPECT_EQ(takeRun(in, 4096, &count), a);
    EXPECT_EQ(count, 1u);
    const char* data = nullptr;
    uint32_t length = 0;
    EXPECT_EQ(in.frontRun(&data, &length, &count, 4096), ipcStreamBuffer::Front::badLength);
    EXPECT_EQ(length, 2u);
}

TEST(IpcStreamBuffer, ALengthOutsideTheLimitsIsReportedNotTrusted) {
    for (uint32_t claimed : {0u, 1u, 3u, static_cast<uint32_t>(IPC_MAX_MESSAGE) + 1, 0xFFFFFFFFu}) {
        SCOPED_TRACE(claimed);
        ipcStreamBuffer in(IPC_MAX_MESSAGE);
        receive(in, frame(8, 'g') + header(claimed) + "tail");
        EXPECT_EQ(take(in), std::vector<std::string>{frame(8, 'g')});
        const char* data = nullptr;
        uint32_t length = 0;
        EXPECT_EQ(in.front(&data, &length), ipcStreamBuffer::Front::badLength);
        EXPECT_EQ(length, claimed);
        // Nothing was grown for the claim: the bytes at hand fit the first allocation.
        EXPECT_LE(in.capacity(), 16u * 1024u);
    }
    // The largest message allowed is one.
    ipcStreamBuffer in(IPC_MAX_MESSAGE);
    receive(in, header(IPC_MAX_MESSAGE) + std::string(60, 'x'));
    EXPECT_EQ(state(in), ipcStreamBuffer::Front::incomplete);
    EXPECT_EQ(in.expected(), static_cast<uint32_t>(IPC_MAX_MESSAGE));
}

TEST(IpcStreamBuffer, AnAbandonedMessageIsSkippedAndTheNextOneFramedFromItsHeader) {
    const std::string stalled = frame(1000, 'z');
    const std::string next = frame(30, 'n');
    {
        // The rest of the abandoned message and the next one arrive in one receive.
        ipcStreamBuffer in(IPC_MAX_MESSAGE);
        receive(in, stalled.substr(0, 104));
        EXPECT_EQ(in.expected(), 1000u);
        in.abandon();
        EXPECT_EQ(in.pending(), 0u);
        EXPECT_EQ(in.owed(), 896u);
        receive(in, stalled.substr(104) + next);
        EXPECT_EQ(take(in), std::vector<std::string>{next});
        EXPECT_EQ(in.owed(), 0u);
    }
    {
        // The rest comes in small pieces, the last one carrying the start of the next message.
        ipcStreamBuffer in(IPC_MAX_MESSAGE);
        receive(in, stalled.substr(0, 10));
        in.abandon();
        const std::string rest = stalled.substr(10) + next;
        for (size_t at = 0; at < rest.size(); at += 97) {
            receive(in, rest.substr(at, 97));
        }
        EXPECT_EQ(take(in), std::vector<std::string>{next});
    }
    {
        // Without its header a message cannot be skipped: its bytes are dropped and nothing is owed.
        ipcStreamBuffer in(IPC_MAX_MESSAGE);
        receive(in, stalled.substr(0, 3));
        EXPECT_EQ(in.expected(), 0u);
        in.abandon();
        EXPECT_EQ(in.owed(), 0u);
        EXPECT_EQ(state(in), ipcStreamBuffer::Front::empty);
    }
}

TEST(IpcStreamBuffer, MemoryFollowsTheBytesAndFallsBackAfterALargeMessage) {
    ipcStreamBuffer in(IPC_MAX_MESSAGE);
    EXPECT_EQ(in.capacity(), 0u);  // nothing until the first receive
    const std::string large = frame(1024 * 1024, 'L');
    receive(in, large.substr(0, 200 * 1024));
    EXPECT_GE(in.capacity(), 200u * 1024u);
    EXPECT_LT(in.capacity(), 1024u * 1024u);  // grown as the bytes came, not as the header claimed
    receive(in, large.substr(200 * 1024) + frame(10, 's').substr(0, 6));
    EXPECT_EQ(take(in), std::vector<std::string>{large});
    EXPECT_EQ(in.pending(), 6u);  // the start of the next message stays
    receive(in, frame(10, 's').substr(6));
    EXPECT_EQ(take(in), std::vector<std::string>{frame(10, 's')});
    EXPECT_EQ(in.capacity(), 0u);  // the large buffer was given back once empty
    receive(in, frame(10, 't'));
    EXPECT_LE(in.capacity(), 16u * 1024u);
    in.clear();
    EXPECT_EQ(in.capacity(), 0u);
    EXPECT_EQ(in.pending(), 0u);
}

}  // namespace
