// The collection thread: source names, row images built from deliveries, row stores found or
// created through the samples list, and the thread's life against a real hub.
#include "datapath/wait_on_dp.h"

#include <cstring>
#include <thread>

#include "delivery.h"
#include "interfaces/dch_client.h"
#include "interfaces/dch_protocol.h"
#include "memory_samples.h"
#include "tables/zot_vorpane_manager.h"
#include "testlib/hub_fixture.h"
#include "testlib/scoped_env.h"
#include "testlib/trace_capture.h"

namespace vorpane::datapath::testing {
namespace {

using vorpane::testing::TraceCapture;

TEST(SourceName, HostNamesLoseTheirDomainAddressesStayAndLongNamesKeepTheirEnd) {
    EXPECT_STREQ(deliverySourceName("web1.example.com", std::nullopt).c_str(), "web1");
    EXPECT_STREQ(deliverySourceName("10.1.2.3", std::nullopt).c_str(), "10.1.2.3");
    EXPECT_STREQ(deliverySourceName("plain", std::nullopt).c_str(), "plain");
    EXPECT_STREQ(deliverySourceName("INST_10.1.2.3", std::string("INST")).c_str(), "INST_10.1.2.3");
    EXPECT_STREQ(deliverySourceName("OTHER_10.1.2.3", std::string("INST")).c_str(), "OTHER_10");
    const std::string forty = "abcdefgh" + std::string(32, 'x');
    TraceCapture trace;
    EXPECT_STREQ(deliverySourceName(forty, std::nullopt).c_str(), std::string(32, 'x').c_str());
    EXPECT_TRUE(
        trace.contains("Warning: SourceName <" + forty + "> length=40 > max length=32 -> truncating"));
    EXPECT_TRUE(deliverySourceName("", std::nullopt).empty());
    EXPECT_TRUE(trace.contains("is empty"));
}

class Collection : public LayoutFixture {
  protected:
    Collection() { setSamplesIndex(&_samples); }
    ~Collection() override {
        for (zot_vorpane_manager* m : _managers) {
            zot_vorpane_release(m);
        }
        setSamplesIndex(nullptr);
    }
    metadata::userDataInfo& table(char sampleType, const char* appl = "DPT", int ttl = 60) {
        auto& udi = const_cast<metadata::userDataInfo&>(layout(sampleType, ttl, appl));
        _managers.push_back(zot_vorpane_init(udi.applNameRR(), udi.tableNameRR(), &udi, nullptr, 0));
        _samples.tablesOfGroup[udi.attrGroup()] = udi.tableNameRR();
        return udi;
    }
    static bool deliver(collectionThread& t, const Delivery& d) {
        return t.processDelivery(d.data(), d.size());
    }
    // Registers appl's keyed group G (Name, Count, Note) with a real hub and brings source src1 online;
    // *handle is the source's handle.
    static void onlineAtHub(HubProvider& provider, const char* appl, int* handle) {
        int status = 0;
        DPapplication app{appl, "help", {{"G", "g", 'K', 60, "APIS", "Name,D,8, , ,n;Count,C,4, , ,c;Note,D,8, , ,t"}}};
        ASSERT_EQ(provider.dp_register(&status, app), 0);
        ASSERT_EQ(provider.dp_online(&status, handle, appl, "G", "src1"), 0);
    }
    std::vector<RowView> rows(const metadata::userDataInfo& udi, const char* source) {
        std::shared_ptr<dataList> store = _samples.dataListPtr(udi.applKey(), udi.tableNameRR(), source);
        CollectRows out;
        if (store != nullptr) {
            store->emitToAXF(&out, source, 0);
        }
        return out.rows;
    }

    MemorySamples _samples;
    std::vector<zot_vorpane_manager*> _managers;
};

TEST_F(Collection, DeliveriesBecomeRowsOfTheSourcesStore) {
    metadata::userDataInfo& udi = table('K');
    collectionThread t(udi);
    ASSERT_TRUE(deliver(t, Delivery("web1.example.com", 0x11).text("disk1").number(7).text("ok")));
    std::shared_ptr<dataList> store = t.currentStore();
    ASSERT_NE(store, nullptr);
    EXPECT_EQ(store, _samples.dataListPtr("DPT", udi.tableNameRR(), "web1"));
    EXPECT_EQ(store->keyCount(), 1);  // the key column was given with the first row
    // Missing values: a text keeps the stored one ("^"), a number becomes zero.
    ASSERT_TRUE(deliver(t, Delivery("web1", 0x11).text("disk1").none().none()));
    // Fewer values than columns: the rest stay blank.
    ASSERT_TRUE(deliver(t, Delivery("web1", 0x11).text("disk2")));
    EXPECT_EQ(t.currentStore(), store);  // the same source reuses its store
    EXPECT_EQ(store->keyCount(), 1);
    std::vector<RowView> got = rows(udi, "web1");
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].name, "disk1");
    EXPECT_EQ(got[0].count, 0);
    EXPECT_EQ(got[0].note, "ok");
    EXPECT_EQ(got[1].name, "disk2");
    EXPECT_EQ(got[1].note, "");
    int32_t blank;
    std::memset(&blank, ' ', 4);
    EXPECT_EQ(got[1].count, blank);

    // Another source gets its own store; deletes by key reach it.
    ASSERT_TRUE(deliver(t, Delivery("10.0.0.7", 0x11).text("a").number(1).text("x")));
    ASSERT_TRUE(deliver(t, Delivery("10.0.0.7", 0xDD).text("a").number(0).text("")));
    EXPECT_NE(t.currentStore(), store);
    EXPECT_TRUE(rows(udi, "10.0.0.7").empty());
}

TEST_F(Collection, SetsCloseWithoutARowAndBadDeliveriesEndTheThread) {
    metadata::userDataInfo& udi = table('S');
    collectionThread t(udi);
    ASSERT_TRUE(deliver(t, Delivery("h", 0x01).text("r1").number(1).text("")));
    ASSERT_TRUE(deliver(t, Delivery("h", 0x00).text("r2").number(2).text("")));
    EXPECT_TRUE(rows(udi, "h").empty());
    ASSERT_TRUE(deliver(t, Delivery("h", 0xFF)));
    std::vector<RowView> got = rows(udi, "h");
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[1].name, "r2");
    // A refused row is not an error for the thread.
    ASSERT_TRUE(deliver(t, Delivery("h", 0x12).text("z")));

    TraceCapture trace;
    dch::MessageBuilder noSource;
    noSource.int16(DCH_controlField, 0x11);
    EXPECT_FALSE(t.processDelivery(noSource.data(), noSource.size()));
    EXPECT_TRUE(trace.contains("Error: dataType <112> of DCH_sourceName missing for <DPT> <G>"));
    dch::MessageBuilder noControl;
    noControl.text(DCH_sourceName, "h");
    EXPECT_FALSE(t.processDelivery(noControl.data(), noControl.size()));
    EXPECT_TRUE(trace.contains("of DCH_controlField missing for <DPT> <G>"));
}

TEST_F(Collection, ANewStoreWaitsForItsSamplesEntryUntilCancelled) {
    vorpane::testing::ScopedSpeedup fast(1000);
    metadata::userDataInfo& udi = table('P');
    collectionThread t(udi);
    _samples.acceptStores = false;
    TraceCapture trace;
    std::thread late([&] {
        trace.waitFor("No dataList found");
        _samples.acceptStores = true;
    });
    ASSERT_TRUE(deliver(t, Delivery("h", 0x11).text("a").number(1).text("")));
    late.join();
    EXPECT_EQ(rows(udi, "h").size(), 1u);
    EXPECT_TRUE(trace.contains("recorded in samplesList after"));

    // The entry usually follows the first rows within moments: only one still missing after 30
    // seconds is warned about, once.
    _samples.acceptStores = false;
    trace.clear();
    std::thread later([&] {
        trace.waitFor("Warning: No samplesListEntry[DPT/G/h2] found.");
        _samples.acceptStores = true;
    });
    const double before = clock::now();
    ASSERT_TRUE(deliver(t, Delivery("h2", 0x11).text("a").number(1).text("")));
    later.join();
    EXPECT_GE(clock::now() - before, 30);
    EXPECT_EQ(trace.count("Warning: No samplesListEntry[DPT/G/h2] found."), 1);

    // Cancelled while waiting: the delivery ends the thread.
    _samples.acceptStores = false;
    t.cancel();
    EXPECT_FALSE(deliver(t, Delivery("other", 0x11).text("a").number(1).text("")));
}

TEST_F(Collection, EventRowsGoToTheTableManager) {
    metadata::userDataInfo& udi = table('E');
    collectionThread t(udi);
    TraceCapture trace;
    ASSERT_TRUE(deliver(t, Delivery("h", 0x11).text("e1").number(1).text("boom")));
    EXPECT_TRUE(trace.contains("subnodeName<h:DPT00>"));
    EXPECT_EQ(rows(udi, "h").size(), 1u);
    // Without a table manager the delivery ends the thread.
    udi.setTableManager(nullptr);
    EXPECT_FALSE(deliver(t, Delivery("h", 0x11).text("e2").number(2).text("")));
    EXPECT_TRUE(trace.contains("Error: getting TableManager for <DPT00/"));
}

// The thread against a real hub: it subscribes by datagram, stores what a provider sends, and ends
// cleanly when its layout stops it.
TEST_F(Collection, TheThreadStoresWhatAProviderSendsAndEndsWhenStopped) {
    vorpane::testing::TestHub hub;
    ASSERT_TRUE(hub.ready());
    metadata::userDataInfo& udi = table('K', "DPTHUB");
    HubProvider provider;
    int status = 0, handle = 0;
    ASSERT_NO_FATAL_FAILURE(onlineAtHub(provider, "DPTHUB", &handle));

    TraceCapture trace;
    ASSERT_EQ(startWaitOnDPthread(udi), 0);
    // The subscription reaches the hub on its own: send until the first row has arrived.
    bool arrived = false;
    for (int i = 0; i < 100 && !arrived; ++i) {
        DProw row;
        row.add("Name", "first", -1, 'D');
        int32_t n = i;
        row.add("Count", &n, 4, 'C');
        row.add("Note", "", 0, 'D');
        ASSERT_EQ(provider.dp_data(&status, handle, 0x11, row), 0);
        arrived = trace.waitFor("New data arrived for <DPT>", std::chrono::milliseconds(100));
    }
    ASSERT_TRUE(arrived);
    for (int i = 0; i < 50; ++i) {
        DProw row;
        std::string name = "k" + std::to_string(i);
        row.add("Name", name.c_str(), -1, 'D');
        int32_t n = i;
        row.add("Count", &n, 4, 'C');
        row.add("Note", "n", -1, 'D');
        ASSERT_EQ(provider.dp_data(&status, handle, 0x11, row), 0);
    }
    // A delete of a key that is not stored comes last; its trace says every row before it is in.
    DProw missing;
    missing.add("Name", "nosuch", -1, 'D');
    int32_t zero = 0;
    missing.add("Count", &zero, 4, 'C');
    missing.add("Note", "", 0, 'D');
    ASSERT_EQ(provider.dp_data(&status, handle, 0xDD, missing), 0);
    ASSERT_TRUE(trace.waitFor("Did not find a matching dataListEntry"));
    EXPECT_EQ(rows(udi, "src1").size(), 51u);

    stopWaitOnDPthread(udi);
    EXPECT_TRUE(trace.contains("Ending waitOnDP thread for applKey<DPT>"));
    EXPECT_EQ(udi.clientObject(), nullptr);
    // A second stop finds no thread and does not wait.
    stopWaitOnDPthread(udi);
    EXPECT_TRUE(trace.contains("Cannot stop waitOnDP thread."));
}

// The hub's answer to a demand report request, sent behind the provider's rows, redrives the request
// through the samples list with the hub's source name; a row that merely carries the same control
// value is a row.
TEST_F(Collection, AReportAnswerGoesToTheSamplesListAndARowWithItsControlValueStaysARow) {
    metadata::userDataInfo& udi = table('K');
    collectionThread t(udi);
    dch::MessageBuilder answer;
    answer.text(DCH_sourceName, "web1.example.com").int16(DCH_controlField, DCH_REPORT_ANSWERED);
    answer.int32(DCH_actionID, 77);
    ASSERT_TRUE(t.processDelivery(answer.data(), answer.size()));
    EXPECT_EQ(_samples.answered, std::vector<std::string>{"DPT/G/web1.example.com/77"});
    EXPECT_EQ(t.currentStore(), nullptr);  // no store was looked for

    ASSERT_TRUE(deliver(t, Delivery("h", DCH_REPORT_ANSWERED).text("r1").number(1).text("")));
    EXPECT_EQ(_samples.answered.size(), 1u);
}

// Against a real hub: the provider's fresh rows and then its answer. When the samples list is asked to
// redrive, every row sent before the answer is already in the store.
TEST_F(Collection, AnAnsweredReportIsRedrivenOnlyAfterTheRowsSentBeforeTheAnswerAreStored) {
    vorpane::testing::TestHub hub;
    ASSERT_TRUE(hub.ready());
    // Rows live far longer than the test, however slow the machine: the hub's clock runs fast.
    metadata::userDataInfo& udi = table('K', "DPTANS", 24 * 3600);
    HubProvider provider;
    int status = 0, handle = 0;
    ASSERT_NO_FATAL_FAILURE(onlineAtHub(provider, "DPTANS", &handle));
    auto sendRow = [&](const std::string& name, int32_t n) {
        DProw row;
        row.add("Name", name.c_str(), -1, 'D');
        row.add("Count", &n, 4, 'C');
        row.add("Note", "n", -1, 'D');
        return provider.dp_data(&status, handle, 0x11, row);
    };
    std::vector<std::size_t> storedAtAnswer;
    _samples.onAnswer = [&](int32_t) { storedAtAnswer.push_back(rows(udi, "src1").size()); };

    TraceCapture trace;
    ASSERT_EQ(startWaitOnDPthread(udi), 0);
    // The subscription reaches the hub on its own: send until the first row has arrived.
    bool arrived = false;
    for (int i = 0; i < 100 && !arrived; ++i) {
        ASSERT_EQ(sendRow("first", i), 0);
        arrived = trace.waitFor("New data arrived for <DPT>", std::chrono::milliseconds(100));
    }
    ASSERT_TRUE(arrived);
    constexpr int kFresh = 200;
    for (int round = 1; round <= 3; ++round) {
        for (int i = 0; i < kFresh; ++i) {
            ASSERT_EQ(sendRow("r" + std::to_string(round) + "k" + std::to_string(i), round), 0);
        }
        ASSERT_EQ(provider.dp_redriveReportRequest(&status, handle, round), 0);
        EXPECT_EQ(status, 0);
    }
    ASSERT_TRUE(trace.waitFor("Report answer 3 for <DPT/G/src1>"));
    {
        std::lock_guard<std::recursive_mutex> g(_samples.lock);
        EXPECT_EQ(_samples.answered,
                  (std::vector<std::string>{"DPT/G/src1/1", "DPT/G/src1/2", "DPT/G/src1/3"}));
        // "first" and every fresh key of the rounds answered so far.
        EXPECT_EQ(storedAtAnswer, (std::vector<std::size_t>{kFresh + 1, 2 * kFresh + 1, 3 * kFresh + 1}));
        _samples.onAnswer = nullptr;
    }
    stopWaitOnDPthread(udi);
}

}  // namespace
}  // namespace vorpane::datapath::testing
