// Flow control from the hub to the agent's collection threads: a flood of rows while the collectors
// take nothing fills their windows, the hub then waits instead of sending, the providers are slowed
// by their own TCP connections, and once the collectors take again every row is stored. A collector
// that stays stalled is waited for only up to the stall time-out, so other applications go on.
#include <atomic>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "interfaces/dch_flow.h"
#include "keyed_flood_fixture.h"
#include "testlib/scoped_env.h"
#include "testlib/trace_capture.h"

namespace vorpane::datapath::testing {
namespace {

using vorpane::testing::HubTestClient;
using vorpane::testing::ScopedEnv;

constexpr int kBurst = 128;             // rows sent before their replies are read
constexpr uint64_t kWindow = 64 * 1024;  // far below what the flood brings

// Releases the collectors whatever the test's outcome, so the threads can be stopped.
struct HeldCollectors {
    HeldCollectors() { DCH_holdCollectors(true); }
    ~HeldCollectors() { DCH_holdCollectors(false); }
};

// The flow-control keys, set before the hub is made: it reads them then.
struct FlowKeys {
    ScopedEnv window{"VORPANE_DCH_COLLECTOR_WINDOW", std::to_string(kWindow)};
    ScopedEnv systemBuffer{"VORPANE_DCH_RECEIVE_BUFFER", "0"};
    ScopedEnv stall{"VORPANE_DCH_COLLECTOR_STALL", "20"};
};

class FlowControl : private FlowKeys, public KeyedFloodFixture {
  protected:
    // Clock waits run twenty times faster: the stall time of 20 seconds takes one.
    FlowControl() : KeyedFloodFixture(20) {}
    ~FlowControl() override { DCH_holdCollectors(false); }

    static bool flood(HubTestClient& c, int32_t handle, const std::string& prefix, int n) {
        return KeyedFloodFixture::flood(c, handle, prefix, n, kBurst);
    }
};

TEST_F(FlowControl, AFloodWhileTheCollectorsTakeNothingIsHeldBackAndThenStoredWhole) {
    ASSERT_TRUE(_hub.ready());
    constexpr int kRows = 6000;  // per provider; some 600 KB per table, against a 64 KB window
    std::vector<std::unique_ptr<HubTestClient>> providers;
    std::vector<int32_t> handles;
    std::vector<std::string> subnodesA, subnodesB;
    metadata::userDataInfo& a = table("FCA", {"a0", "a1"}, providers, handles, subnodesA);
    metadata::userDataInfo& b = table("FCB", {"b0", "b1"}, providers, handles, subnodesB);
    vorpane::testing::TraceCapture trace(trace::kError | trace::kState);
    std::atomic<int> failed{0};
    std::vector<std::thread> senders;
    {
        HeldCollectors held;
        start(a);
        start(b);
        for (size_t p = 0; p < providers.size(); ++p) {
            senders.emplace_back([&, p] {
                if (!flood(*providers[p], handles[p], "p" + std::to_string(p) + "-", kRows)) {
                    ++failed;
                }
            });
        }
        // The windows fill while nothing is taken: the hub stops sending and waits.
        ASSERT_TRUE(trace.waitFor("its window is full", std::chrono::seconds(30)));
        EXPECT_LE(_hub.server().figures().collectorPeakCharge(), kWindow);
        EXPECT_LE(_hub.server().queuedRequests(), 4);
        EXPECT_LT(_hub.server().figures().rows(), static_cast<uint64_t>(4 * kRows));
    }
    for (std::thread& s : senders) {
        s.join();
    }
    ASSERT_EQ(failed.load(), 0);
    EXPECT_TRUE(trace.waitForCount(kEndMarkerError, 4, std::chrono::seconds(60)));
    EXPECT_EQ(keys(a, subnodesA).size(), static_cast<size_t>(2 * kRows));
    EXPECT_EQ(keys(b, subnodesB).size(), static_cast<size_t>(2 * kRows));
    EXPECT_LE(_hub.server().figures().collectorPeakCharge(), kWindow);
    EXPECT_EQ(trace.count("dropped by the kernel"), 0);
    EXPECT_EQ(trace.count("took nothing"), 0);
}

TEST_F(FlowControl, AStalledCollectorIsWaitedForOnlyUpToTheStallTimeAndAGoneOneNotAtAll) {
    ASSERT_TRUE(_hub.ready());
    std::vector<std::unique_ptr<HubTestClient>> providers;
    std::vector<int32_t> handles;
    std::vector<std::string> subnodesA, subnodesB;
    metadata::userDataInfo& a = table("FCS", {"s0"}, providers, handles, subnodesA);
    metadata::userDataInfo& b = table("FCO", {"o0"}, providers, handles, subnodesB);
    start(b);
    vorpane::testing::TraceCapture trace(trace::kError | trace::kState);
    {
        HeldCollectors held;
        start(a);
        // The stalled collector's window fills; after the stall time the hub sends without it, so the
        // provider's flood ends and the other application's rows get through meanwhile.
        std::thread stalled([&] { EXPECT_TRUE(flood(*providers[0], handles[0], "s-", 4000)); });
        ASSERT_TRUE(trace.waitFor("its window is full", std::chrono::seconds(30)));
        ASSERT_TRUE(trace.waitFor("took nothing for 20 seconds", std::chrono::seconds(30)));
        stalled.join();
        EXPECT_EQ(_hub.server().figures().collectorStalls(), 1u);
        // A collector that is gone closes its window: nothing waits for it.
        stopWaitOnDPthread(a);
        _started.erase(_started.begin() + 1);
        EXPECT_TRUE(flood(*providers[0], handles[0], "t-", 2000));
    }
    ASSERT_TRUE(flood(*providers[1], handles[1], "o-", 3000));
    EXPECT_TRUE(trace.waitFor(kEndMarkerError, std::chrono::seconds(30)));
    EXPECT_EQ(keys(b, subnodesB).size(), 3000u);
    EXPECT_EQ(_hub.server().figures().collectorStalls(), 1u);
}

}  // namespace
}  // namespace vorpane::datapath::testing
