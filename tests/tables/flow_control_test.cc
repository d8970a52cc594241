// Flow control from the hub to the agent's collection threads: a flood of rows while the collectors
// take nothing fills their windows, the hub then waits instead of sending, the providers are slowed
// by their own TCP connections, and once the collectors take again every row is stored. A collector
// that stays stalled is waited for only up to the stall time-out, so other applications go on.
#include <atomic>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "datapath/samples_list.h"
#include "datapath/wait_on_dp.h"
#include "interfaces/axf_facade.h"
#include "interfaces/dch_flow.h"
#include "interfaces/dch_protocol.h"
#include "table_fixture.h"
#include "testlib/hub_fixture.h"
#include "testlib/hub_test_client.h"
#include "testlib/scoped_env.h"
#include "testlib/trace_capture.h"

namespace vorpane::datapath::testing {
namespace {

using dch::MessageBuilder;
using vorpane::testing::HubTestClient;
using vorpane::testing::ScopedEnv;

constexpr int kBurst = 128;             // rows sent before their replies are read
constexpr int16_t kEndMarker = 0x12;    // refused by the row store with an error line: all before it is in
constexpr uint64_t kWindow = 64 * 1024;  // far below what the flood brings

// Releases the collectors whatever the test's outcome, so the threads can be stopped.
struct HeldCollectors {
    HeldCollectors() { DCH_holdCollectors(true); }
    ~HeldCollectors() { DCH_holdCollectors(false); }
};

class FlowControl : public LayoutFixture {
  protected:
    FlowControl() { setSamplesIndex(&_samples); }
    ~FlowControl() override {
        DCH_holdCollectors(false);
        for (metadata::userDataInfo* udi : _started) {
            stopWaitOnDPthread(*udi);
        }
        for (zot_vorpane_manager* m : _managers) {
            zot_vorpane_release(m);
        }
        setSamplesIndex(nullptr);
    }

    static MessageBuilder row(int32_t handle, int16_t control, const std::string& key, int32_t count) {
        MessageBuilder m;
        m.request(DCH_dp_data).int32(DCH_handle, handle).int16(DCH_controlField, control);
        m.text(DCH_attrName, "Name").add(DCH_attrValue, key.data(), key.size(), 'D');
        m.text(DCH_attrName, "Count").add(DCH_attrValue, &count, 4, 'C');
        m.text(DCH_attrName, "Note").add(DCH_attrValue, "n", 1, 'D');
        return m;
    }

    // A keyed table of application appl with one provider per source; returns their handles.
    metadata::userDataInfo& table(const char* appl, const std::vector<std::string>& sources,
                                  std::vector<std::unique_ptr<HubTestClient>>& providers, std::vector<int32_t>& handles,
                                  std::vector<std::string>& subnodes) {
        auto& udi = const_cast<metadata::userDataInfo&>(layout('K', 3600, appl));
        _managers.push_back(zot_vorpane_init(udi.applNameRR(), udi.tableNameRR(), &udi, nullptr, 0));
        for (size_t i = 0; i < sources.size(); ++i) {
            providers.push_back(std::make_unique<HubTestClient>(_hub.port()));
            HubTestClient& c = *providers.back();
            if (i == 0) {
                MessageBuilder reg;
                reg.request(DCH_dp_register).text(DCH_applName, appl).text(DCH_helpText, "flow");
                const char type = 'K';
                reg.text(DCH_attrGroup, "G").text(DCH_helpText, "g").add(DCH_attributesType, &type, 1);
                reg.int32(DCH_TTL, 3600).text(DCH_dpType, "APIS");
                reg.text(DCH_attrRegister, "Name,D,8, , ,n;Count,C,4, , ,c;Note,D,8, , ,t");
                EXPECT_TRUE(c.send(reg));
                EXPECT_EQ(c.receiveStatus(), 0);
            }
            MessageBuilder online;
            online.request(DCH_dp_online).text(DCH_applName, appl).text(DCH_attrGroup, "G").text(DCH_sourceName,
                                                                                                sources[i]);
            EXPECT_TRUE(c.send(online));
            auto reply = c.receive();
            EXPECT_TRUE(reply);
            int32_t status = -1, handle = -1;
            if (reply) {
                dch::FieldReader r(reply->data(), reply->size());
                EXPECT_TRUE(r.next().int32(&status));
                EXPECT_TRUE(r.next().int32(&handle));
            }
            EXPECT_EQ(status, 0);
            handles.push_back(handle);
            std::optional<std::string> subnode = _samples.onlineEntry(udi.applName(), udi.tableNameRR(),
                                                                      udi.attrGroup(), udi.RR(), sources[i].c_str(),
                                                                      nullptr);
            EXPECT_TRUE(subnode);
            subnodes.push_back(subnode.value_or(""));
        }
        return udi;
    }

    void start(metadata::userDataInfo& udi) {
        ASSERT_EQ(startWaitOnDPthread(udi), 0);
        _started.push_back(&udi);
    }

    // Sends rows keys prefix0..prefix(n-1) in bursts, each burst's answers read before the next, then
    // the end marker. Returns false on any failure.
    static bool flood(HubTestClient& c, int32_t handle, const std::string& prefix, int n) {
        for (int first = 0; first < n; first += kBurst) {
            const int last = std::min(n, first + kBurst);
            std::string burst;
            for (int i = first; i < last; ++i) {
                MessageBuilder m = row(handle, 0x11, prefix + std::to_string(i), i);
                burst.append(m.data(), m.size());
            }
            if (!c.sendRaw(burst)) {
                return false;
            }
            for (int i = first; i < last; ++i) {
                if (c.receiveStatus(std::chrono::seconds(60)) != 0) {
                    return false;
                }
            }
        }
        return c.send(row(handle, kEndMarker, "end", 0)) && c.receiveStatus(std::chrono::seconds(60)) == 0;
    }

    static std::set<std::string> keys(metadata::userDataInfo& udi, const std::vector<std::string>& subnodes) {
        axf::ReportQuery q;
        q.applName = udi.applNameRR();
        q.tableName = udi.tableNameRR();
        q.subnodes = subnodes;
        q.timeoutSeconds = 600;
        axf::ReportResult result = axf::runReport(q);
        EXPECT_TRUE(result.status.ok()) << result.status.message;
        std::set<std::string> found;
        for (const auto& r : result.rows) {
            found.insert(std::get<std::string>(r[1]));
        }
        return found;
    }

    // Before the hub: it reads its keys when it is made.
    ScopedEnv _window{"VORPANE_DCH_COLLECTOR_WINDOW", std::to_string(kWindow)};
    ScopedEnv _systemBuffer{"VORPANE_DCH_RECEIVE_BUFFER", "0"};
    ScopedEnv _stall{"VORPANE_DCH_COLLECTOR_STALL", "20"};
    // Clock waits run twenty times faster: the stall time of 20 seconds takes one.
    vorpane::testing::TestHub _hub{20};
    samplesList _samples;
    std::vector<zot_vorpane_manager*> _managers;
    std::vector<metadata::userDataInfo*> _started;
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
    EXPECT_TRUE(trace.waitForCount("Error: unsupported control field <18>", 4, std::chrono::seconds(60)));
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
    EXPECT_TRUE(trace.waitFor("Error: unsupported control field <18>", std::chrono::seconds(30)));
    EXPECT_EQ(keys(b, subnodesB).size(), 3000u);
    EXPECT_EQ(_hub.server().figures().collectorStalls(), 1u);
}

}  // namespace
}  // namespace vorpane::datapath::testing
