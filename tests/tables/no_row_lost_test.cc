// No row is lost on the way provider -> hub -> collection thread -> row store -> framework report:
// eight providers stream 100,000 keyed rows each, with keys of their own, into four tables (two
// sources per table, so each collection thread switches stores row by row), and a report of every
// table returns each key exactly once.
#include <atomic>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "keyed_flood_fixture.h"
#include "testlib/trace_capture.h"

namespace vorpane::datapath::testing {
namespace {

using vorpane::testing::HubTestClient;

constexpr int kTables = 4;
constexpr int kProviders = 8;
constexpr int kRowsPerProvider = 100000;
constexpr int kBurst = 256;  // rows sent before their replies are read

class NoRowLost : public KeyedFloodFixture {
  protected:
    NoRowLost() : KeyedFloodFixture(1) {}
};

TEST_F(NoRowLost, EightProvidersTimesAHundredThousandKeyedRowsAreAllReportedOnce) {
    ASSERT_TRUE(_hub.ready());
    const char* appls[kTables] = {"NLA", "NLB", "NLC", "NLD"};
    std::vector<metadata::userDataInfo*> tables;
    std::vector<std::vector<std::string>> subnodes(kTables);
    std::vector<std::unique_ptr<HubTestClient>> providers;
    std::vector<int32_t> handles;
    // Providers 2t and 2t+1 are the two sources of table t.
    for (int t = 0; t < kTables; ++t) {
        const std::vector<std::string> sources = {"src" + std::to_string(2 * t), "src" + std::to_string(2 * t + 1)};
        tables.push_back(&table(appls[t], sources, providers, handles, subnodes[t]));
    }
    ASSERT_EQ(handles.size(), static_cast<size_t>(kProviders));
    for (metadata::userDataInfo* udi : tables) {
        start(*udi);
    }

    vorpane::testing::TraceCapture errors(trace::kError);
    std::vector<std::thread> senders;
    std::atomic<int> failed{0};
    for (int p = 0; p < kProviders; ++p) {
        senders.emplace_back([&, p] {
            if (!flood(*providers[p], handles[p], "p" + std::to_string(p) + "-", kRowsPerProvider, kBurst)) {
                ++failed;
            }
        });
    }
    for (std::thread& s : senders) {
        s.join();
    }
    ASSERT_EQ(failed.load(), 0);
    // Each provider's end marker comes after its rows in its table's collection thread.
    EXPECT_TRUE(errors.waitForCount(kEndMarkerError, kProviders, std::chrono::seconds(120)));

    for (int t = 0; t < kTables; ++t) {
        const std::set<std::string> found = keys(*tables[t], subnodes[t]);
        EXPECT_EQ(found.size(), static_cast<std::size_t>(2 * kRowsPerProvider)) << appls[t];
        for (int p = 2 * t; p < 2 * t + 2; ++p) {
            for (int i : {0, kRowsPerProvider - 1}) {
                const std::string key = "p" + std::to_string(p) + "-" + std::to_string(i);
                EXPECT_EQ(found.count(key), 1u) << key;
            }
        }
    }
}

}  // namespace
}  // namespace vorpane::datapath::testing
