// A source that goes offline takes its row store with it while the collection thread stores rows in
// it and framework requests emit from it: neither may be left holding a store that is gone.
#include <atomic>
#include <thread>

#include "../datapath/delivery.h"
#include "datapath/samples_list.h"
#include "datapath/wait_on_dp.h"
#include "table_fixture.h"
#include "testlib/scoped_env.h"

namespace vorpane::datapath::testing {
namespace {

class StoreLifetime : public LayoutFixture {
  protected:
    StoreLifetime() { setSamplesIndex(&_samples); }
    ~StoreLifetime() override {
        _requests.closeAll();
        if (_manager != nullptr) {
            zot_vorpane_release(_manager);
        }
        setSamplesIndex(nullptr);
    }
    metadata::userDataInfo& table(char sampleType) {
        auto& udi = const_cast<metadata::userDataInfo&>(layout(sampleType));
        _manager = zot_vorpane_init(udi.applNameRR(), udi.tableNameRR(), &udi, nullptr, 0);
        return udi;
    }
    bool online(const metadata::userDataInfo& udi) {
        return _samples.onlineEntry(udi.applName(), udi.tableNameRR(), udi.attrGroup(), udi.RR(), "h", nullptr)
            .has_value();
    }
    RequestDetail report(const metadata::userDataInfo& udi) {
        RequestDetail d;
        d.applName = udi.applNameRR();
        d.tableName = udi.tableNameRR();
        d.sampleType = IntfSampleType_demand;
        d.subnodes = {std::string("h:") + udi.applNameRR()};
        return d;
    }

    samplesList _samples;
    OpenRequests _requests;
    zot_vorpane_manager* _manager = nullptr;
};

TEST_F(StoreLifetime, ASourceGoesOfflineWhileRowsAreStoredAndReported) {
    vorpane::testing::ScopedSpeedup fast(1000);  // the collection thread's wait for a new entry
    metadata::userDataInfo& udi = table('K');
    ASSERT_TRUE(online(udi));
    collectionThread collector(udi);
    Delivery first("h", 0x11);
    first.text("k0").number(0).text("x");
    ASSERT_TRUE(collector.processDelivery(first.data(), first.size()));
    zot_vorpane_agent& request = _requests.open(*_manager, report(udi));
    request.TakeSample();
    ASSERT_EQ(request.NumDataItems(), 1);

    constexpr int kDeliveries = 4000;
    std::atomic<bool> stored{false};
    std::atomic<int> samples{0}, cycles{0};
    std::thread deliverer([&] {
        for (int i = 0; i < kDeliveries; ++i) {
            Delivery d("h", 0x11);
            d.text("k" + std::to_string(i % 50)).number(i).text("n");
            EXPECT_TRUE(collector.processDelivery(d.data(), d.size()));
        }
        stored = true;
    });
    std::thread reporter([&] {
        while (!stored) {
            request.TakeSample();
            ++samples;
        }
    });
    // Offline and online again, as the online processing does it, for as long as rows come.
    std::thread offline([&] {
        while (!stored) {
            _samples.removeEntry(udi.applKey(), udi.tableNameRR(), "h");
            EXPECT_TRUE(online(udi));
            ++cycles;
        }
    });
    deliverer.join();
    reporter.join();
    offline.join();
    EXPECT_GT(samples.load(), 0);
    EXPECT_GT(cycles.load(), 0);

    // The source stays online now: the next row is stored in its current store and reported.
    Delivery last("h", 0x11);
    last.text("last").number(7).text("end");
    ASSERT_TRUE(collector.processDelivery(last.data(), last.size()));
    request.TakeSample();
    bool found = false;
    for (const RowView& r : rowsOf(request)) {
        found = found || (r.name == "last" && r.count == 7);
    }
    EXPECT_TRUE(found);
}

}  // namespace
}  // namespace vorpane::datapath::testing
