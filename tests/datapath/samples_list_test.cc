#include "datapath/samples_list.h"

#include <gtest/gtest.h>

#include <deque>
#include <string>
#include <vector>

#include "agent/va_limits.h"
#include "datapath/data_list.h"
#include "interfaces/axf.h"
#include "interfaces/support.h"
#include "platform/axf/engine.h"
#include "testlib/scoped_env.h"
#include "testlib/trace_capture.h"

namespace {

// A framework request with a live handle, as the framework would open it: a situation's unless
// another sample type is given.
class OpenRequest : public plaxf {
public:
    explicit OpenRequest(int sampleType = IntfSampleType_exception) : plaxf(nullptr, nullptr, nullptr) {
        _set_sampletype(sampleType);
        axf::detail::Access::attach(*this, nullptr, axf::detail::registerHandle(this));
    }
    ~OpenRequest() override { close(); }
    void TakeSample() override {}
    // The framework ends the request: its handle is no longer valid.
    void close() {
        if (!_closed) {
            axf::detail::releaseHandle(Handle());
            _closed = true;
        }
    }

private:
    bool _closed = false;
};

struct Redriven {
    plaxf* request;
    std::string subnodeName, tableName;
    int16_t eventRequest;
};

class SamplesListTest : public ::testing::Test {
protected:
    void SetUp() override {
        _savedLimits = vaLimits();
        setLimits([](VA_LIMITS&) {});
        setSamplesListSeam(samplesListSeam{
            [this](plaxf* request, const char* subnode, const char* table, int16_t eventRequest) {
                _redriven.push_back({request, subnode, table, eventRequest});
                return 0;
            },
            [this](uint32_t request) { _samplesRedriven.push_back(request); }});
    }
    void TearDown() override {
        setSamplesListSeam({});
        setVaLimits(_savedLimits);
    }
    template <typename F>
    void setLimits(F&& change) {
        VA_LIMITS limits = _savedLimits;
        change(limits);
        setVaLimits(limits);
    }

    VA_LIMITS _savedLimits;
    std::vector<Redriven> _redriven;
    std::vector<uint32_t> _samplesRedriven;
    vorpane::testing::TraceCapture _trace;
};

TEST_F(SamplesListTest, OnlineEntryCreatesFindsAndCountsTablesOfASource) {
    samplesList list;
    std::optional<std::string> name = list.onlineEntry("APPL", "APPABCDE01", "GROUPA", "01", "HOST", nullptr);
    ASSERT_TRUE(name.has_value());
    EXPECT_EQ(*name, "HOST:APPL01");
    // A second group of the same source shares the subnode but gets an entry of its own.
    ASSERT_TRUE(list.onlineEntry("APPL", "APPFGHIJ01", "GROUPB", "01", "HOST", nullptr).has_value());
    ASSERT_TRUE(list.onlineEntry("APPL", "APPABCDE01", "GROUPA", "01", "OTHER", nullptr).has_value());
    EXPECT_EQ(list.getNumberOfElements(), 3);
    EXPECT_EQ(list.countOfAttrGroups("APP", "HOST"), 2);
    EXPECT_EQ(list.countOfAttrGroups("APP", "OTHER"), 1);

    // The same table again finds its entry.
    ASSERT_TRUE(list.onlineEntry("APPL", "APPABCDE01", "GROUPA", "01", "HOST", nullptr).has_value());
    EXPECT_EQ(list.getNumberOfElements(), 3);

    // Registration: the first call reports "online", the second "already registered".
    EXPECT_EQ(list.subnodeOnline("HOST:APPL01"), SUBNODE_SOURCE_ONLINE);
    EXPECT_EQ(list.subnodeOnline("HOST:APPL01"), SUBNODE_REGISTERED);
    EXPECT_EQ(list.subnodeOnline("NOPE:APPL01"), 0);

    std::optional<std::string> found;
    EXPECT_EQ(list.getSubnodeName("APP", "OTHER", "GROUPA", "01", &found), 0);
    EXPECT_EQ(found, "OTHER:APPL01");
    EXPECT_EQ(list.getSubnodeName("APP", "OTHER", "GROUPB", "01", &found), 1);
    EXPECT_FALSE(found.has_value());
    std::string original;
    EXPECT_TRUE(list.getOriginalSubnodeName("HOST:APPL01", "APPFGHIJ01", &original));
    EXPECT_EQ(original, "HOST:APPL01");
    EXPECT_EQ(list.subnodeOnlineForTable("HOST:APPL01", "XXXXXXXX01"), 0);

    // A long source name loses characters at its left; the full name is kept apart.
    const std::string longSource(40, 'S');
    name = list.onlineEntry("APPL", "APPABCDE01", "GROUPA", "01", longSource.c_str(), nullptr);
    ASSERT_TRUE(name.has_value());
    EXPECT_EQ(name->size(), 32u);
    EXPECT_TRUE(list.getOriginalSubnodeName(name->c_str(), "APPABCDE01", &original));
    EXPECT_EQ(original, longSource + ":APPL01");
}

TEST_F(SamplesListTest, RemoveEntryTellsWhetherTheApplicationKeepsSources) {
    samplesList list;
    ASSERT_TRUE(list.onlineEntry("APPL", "APPABCDE01", "GROUPA", "01", "HOST", nullptr));
    ASSERT_TRUE(list.onlineEntry("APPL", "APPABCDE01", "GROUPA", "01", "OTHER", nullptr));
    ASSERT_TRUE(list.onlineEntry("ZED", "ZEDABCDE01", "GROUPA", "01", "HOST", nullptr));
    EXPECT_EQ(list.removeEntry("APP", "APPABCDE01", "HOST"), 1);  // OTHER still online
    EXPECT_EQ(list.removeEntry("APP", "APPABCDE01", "OTHER"), 0);  // the last of the key
    EXPECT_EQ(list.getNumberOfElements(), 1);
    EXPECT_EQ(list.removeEntry("APP", "APPABCDE01", "OTHER"), 0);  // nothing left of the key
}

TEST_F(SamplesListTest, DeferredRequestsWaitForTheirSubnodeAndAreRedrivenWhenItComesOnline) {
    samplesList list;
    OpenRequest sample, event, gone;
    EXPECT_EQ(list.requestDefer("APP", "HOST:APPL01", &sample, sample.Handle(), 0), 0);
    EXPECT_EQ(list.requestDefer("APP", "HOST:APPL01", &sample, sample.Handle(), 0), 0);  // same handle: kept once
    EXPECT_TRUE(_trace.contains("was already deferred."));
    EXPECT_EQ(list.requestDefer("APP", "HOST:APPL01", &event, event.Handle(), 1), 0);
    EXPECT_EQ(list.requestDefer("APP", "HOST:APPL01", &gone, gone.Handle(), 0), 0);
    EXPECT_EQ(list.getNumberOfElements(), 1);
    // The entry exists before its source: no table, so it does not count as an online group.
    EXPECT_EQ(list.countOfAttrGroups("APP", "HOST"), 0);
    EXPECT_TRUE(_trace.contains("Warning: TableName is null for applKey<APP> sourceName<HOST> subnodeName<HOST:APPL01>"));
    const unsigned long goneHandle = gone.Handle();
    gone.close();

    ASSERT_TRUE(list.onlineEntry("APPL", "APPABCDE01", "GROUPA", "01", "HOST", nullptr).has_value());
    EXPECT_EQ(list.getNumberOfElements(), 1);  // the deferred entry was completed, not duplicated
    ASSERT_EQ(_redriven.size(), 2u);
    EXPECT_EQ(_redriven[0].request, &sample);
    EXPECT_EQ(_redriven[0].subnodeName, "HOST:APPL01");
    EXPECT_EQ(_redriven[0].tableName, "APPABCDE01");
    EXPECT_EQ(_redriven[0].eventRequest, 0);
    EXPECT_EQ(_redriven[1].request, &event);
    EXPECT_EQ(_redriven[1].eventRequest, 1);
    std::string stale = std::to_string(goneHandle);  // appended, not "literal" + text: g++ 12 warns wrongly there
    stale.append("> <APP/APPABCDE01/HOST/HOST:APPL01> no longer valid");
    EXPECT_TRUE(_trace.contains(stale));
    samplesListEntry* e = list.getSamplesListEntry("APP", "GROUPA", "HOST");
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->deferredCount(), 1);  // the stale one stays traced, not redriven
    EXPECT_EQ(e->subnodeStatus(), SUBNODE_SOURCE_ONLINE);
    list.removeDeferRequest("APP", "APPABCDE01", "HOST", &gone);
    EXPECT_EQ(e->deferredCount(), 0);
}

TEST_F(SamplesListTest, DeferringStopsAtTheConfiguredMaximum) {
    setLimits([](VA_LIMITS& l) { l.maxDeferredRequest = 2; });
    samplesList list;
    OpenRequest a, b, c;
    EXPECT_EQ(list.requestDefer("APP", "HOST:APPL01", &a, a.Handle(), 0), 0);
    EXPECT_EQ(list.requestDefer("APP", "HOST:APPL01", &b, b.Handle(), 0), 0);
    EXPECT_EQ(list.requestDefer("APP", "HOST:APPL01", &c, c.Handle(), 0), 1);
    EXPECT_TRUE(_trace.contains("Error: Current deferred count 2 equals or exceeds max deferred requests 2. Use "
                                "ZOTA_MAX_DEFERRED_REQUEST to increase."));
    EXPECT_TRUE(_trace.contains("Error: AddDeferRequest failed for subnodeName<HOST:APPL01>"));
    // A subnode name without a source cannot make an entry.
    EXPECT_EQ(list.requestDefer("APP", "NOSOURCE", &c, c.Handle(), 0), 1);
    EXPECT_TRUE(_trace.contains("Error: could not determine sourceName from subnodeName <NOSOURCE>"));
}

// Reports never wait for a subnode (their sample is their answer), and what situations leave behind
// when they end without withdrawing goes: their slots at the monitor's next round or when the room
// is full, an entry made only for them with the last of them.
TEST_F(SamplesListTest, ReportsLeaveNothingBehindAndEndedRequestsFreeTheirRoom) {
    samplesList list;
    OpenRequest report(IntfSampleType_demand);
    for (int i = 0; i < 3000; ++i) {
        const std::string name = "NOBODY" + std::to_string(i) + ":APPL01";
        EXPECT_EQ(list.requestDefer("APP", name.c_str(), &report, report.Handle(), 0), 0);
    }
    EXPECT_EQ(list.getNumberOfElements(), 0);

    {
        OpenRequest sampled, event(IntfSampleType_event);
        EXPECT_EQ(list.requestDefer("APP", "NOBODY:APPL01", &sampled, sampled.Handle(), 0), 0);
        EXPECT_EQ(list.requestDefer("APP", "NOBODY:APPL01", &event, event.Handle(), 1), 0);
        ASSERT_EQ(list.getNumberOfElements(), 1);
        list.cancelExpiredReportRequests();  // the monitor's round: both still wait
        EXPECT_EQ(list.getNumberOfElements(), 1);
        sampled.close();
        list.cancelExpiredReportRequests();
        EXPECT_EQ(list.getNumberOfElements(), 1);  // the event situation still waits
        EXPECT_EQ(_trace.count("ended while deferred for subnode <NOBODY:APPL01>: its slot is free"), 1);
    }
    list.cancelExpiredReportRequests();
    EXPECT_EQ(list.getNumberOfElements(), 0);
    EXPECT_TRUE(_trace.contains("of subnode <NOBODY:APPL01>: no request waits for it any more"));

    // A full room first frees the slots of requests that ended.
    setLimits([](VA_LIMITS& l) { l.maxDeferredRequest = 2; });
    ASSERT_TRUE(list.onlineEntry("APPL", "APPABCDE01", "GROUPA", "01", "HOST", nullptr).has_value());
    OpenRequest a, b, c;
    EXPECT_EQ(list.requestDefer("APP", "HOST:APPL01", &a, a.Handle(), 0), 0);
    EXPECT_EQ(list.requestDefer("APP", "HOST:APPL01", &b, b.Handle(), 0), 0);
    EXPECT_EQ(list.requestDefer("APP", "HOST:APPL01", &c, c.Handle(), 0), 1);
    a.close();
    EXPECT_EQ(list.requestDefer("APP", "HOST:APPL01", &c, c.Handle(), 0), 0);
    samplesListEntry* e = list.getSamplesListEntry("APP", "GROUPA", "HOST");
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->deferredCount(), 2);
    b.close();
    c.close();
    list.cancelExpiredReportRequests();
    EXPECT_EQ(e->deferredCount(), 0);
    EXPECT_EQ(list.getNumberOfElements(), 1);  // an online source's entry stays
}

TEST_F(SamplesListTest, DeepEntriesMoveToTheFrontAndTheThresholdGrows) {
    samplesList list;
    std::deque<std::string> walk;  // the list's walk order, mirrored
    for (int i = 0; i < 25; ++i) {
        walk.push_back("SRC" + std::to_string(i));
        ASSERT_TRUE(list.onlineEntry("APPL", "APPABCDE01", "GROUPA", "01", walk.back().c_str(), nullptr));
    }
    // The 20th position stays; the 21st moves to the head.
    list.dataListPtr("APP", "APPABCDE01", walk[19].c_str());
    EXPECT_EQ(_trace.count("Moving node @"), 0);
    list.dataListPtr("APP", "APPABCDE01", walk[20].c_str());
    EXPECT_EQ(_trace.count("Moving node @"), 1);
    walk.push_front(walk[20]);
    walk.erase(walk.begin() + 21);
    list.dataListPtr("APP", "APPABCDE01", walk[0].c_str());  // found first now: no move
    EXPECT_EQ(_trace.count("Moving node @"), 1);

    // 100 more moves of the last entry: the 101st move raises the threshold to 40.
    for (int move = 0; move < 100; ++move) {
        std::string last = walk.back();
        walk.pop_back();
        walk.push_front(last);
        list.dataListPtr("APP", "APPABCDE01", last.c_str());
    }
    EXPECT_EQ(_trace.count("Moving node @"), 101);
    EXPECT_TRUE(_trace.contains("_setHeadOfListThreshold now equals 40"));
    EXPECT_EQ(list.setHeadOfListThreshold(), 40);
    list.dataListPtr("APP", "APPABCDE01", walk.back().c_str());  // 25th of 25, below 40
    EXPECT_EQ(_trace.count("Moving node @"), 101);
}

TEST_F(SamplesListTest, RowStoresAttachToTheirEntryAndLeaveWithIt) {
    samplesList list;
    auto store = std::make_shared<vorpane::datapath::dataList>("APP", "APPABCDE01", "HOST", 40, 0);
    EXPECT_EQ(list.updateDataList("APP", "GROUPA", "HOST", store), 1);
    EXPECT_TRUE(_trace.contains("No samplesListEntry[APP/GROUPA/HOST] found yet."));
    EXPECT_FALSE(_trace.contains("Warning:"));  // the collection thread warns when it stays so
    EXPECT_EQ(store.use_count(), 1);  // only the caller's
    ASSERT_TRUE(list.onlineEntry("APPL", "APPABCDE01", "GROUPA", "01", "HOST", nullptr));
    EXPECT_EQ(list.updateDataList("APP", "GROUPA", "HOST", store), 0);
    EXPECT_EQ(list.dataListPtr("APP", "APPABCDE01", "HOST"), store);
    EXPECT_EQ(list.dataListPtr("APP", "APPABCDE01", "OTHER"), nullptr);
    // A share taken before the source goes offline keeps the store usable; the last share ends it.
    std::weak_ptr<vorpane::datapath::dataList> watch = store;
    std::shared_ptr<vorpane::datapath::dataList> inUse = list.dataListPtr("APP", "APPABCDE01", "HOST");
    store.reset();
    EXPECT_EQ(list.removeEntry("APP", "APPABCDE01", "HOST"), 0);
    EXPECT_EQ(list.dataListPtr("APP", "APPABCDE01", "HOST"), nullptr);
    ASSERT_FALSE(watch.expired());
    EXPECT_STREQ(inUse->sourceName(), "HOST");
    inUse.reset();
    EXPECT_TRUE(watch.expired());
}

TEST_F(SamplesListTest, WithoutDemandReportingReportRequestsAreRedrivenAtOnce) {
    samplesList list;
    ASSERT_TRUE(list.onlineEntry("APPL", "APPABCDE01", "GROUPA", "01", "HOST", nullptr));
    // No entry: redriven at once.
    EXPECT_EQ(list.addDeferredReportRequest("APP", "XXXXXXXX01", "HOST", 7, 77, 0), 0);
    EXPECT_TRUE(_trace.contains(
        "Warning: Unable to locate samplesListEntry object for applKey<APP> tableName<XXXXXXXX01> srcName<HOST>"));
    EXPECT_EQ(_samplesRedriven, std::vector<uint32_t>{77});
    samplesListEntry* e = list.getSamplesListEntry("APP", "GROUPA", "HOST");
    ASSERT_NE(e, nullptr);
    EXPECT_FALSE(e->hasReportQueue());
    list.setDemandReportingOption("APP", "GROUPA", "HOST", 1);
    EXPECT_EQ(list.isDemandReportingEnabled("APP", "APPABCDE01", "HOST"), 1);
    // An entry without a report queue cannot keep it: redriven at once too.
    list.addDeferredReportRequest("APP", "APPABCDE01", "HOST", 8, 88, 0);
    EXPECT_EQ(_samplesRedriven, (std::vector<uint32_t>{77, 88}));
}

TEST_F(SamplesListTest, DemandReportRequestsAreKeptUntilAnsweredExpiredOrOffline) {
    setLimits([](VA_LIMITS& l) {
        l.demandReport = 'Y';
        l.maxDeferredReportRequest = 3;
        l.reportRequestExpiration = 15;
    });
    samplesList list;
    ASSERT_TRUE(list.onlineEntry("APPL", "APPABCDE01", "GROUPA", "01", "HOST", nullptr));
    samplesListEntry* e = list.getSamplesListEntry("APP", "GROUPA", "HOST");
    ASSERT_NE(e, nullptr);
    EXPECT_TRUE(e->hasReportQueue());

    const int32_t now = static_cast<int32_t>(vorpane::clock::nowSeconds());
    // Option 0: the entry ignores report requests.
    list.addDeferredReportRequest("APP", "APPABCDE01", "HOST", 1, 11, now);
    EXPECT_EQ(e->deferredReportRequestCount(), 0);
    EXPECT_TRUE(_samplesRedriven.empty());

    list.setDemandReportingOption("APP", "GROUPA", "HOST", 1);
    list.addDeferredReportRequest("APP", "APPABCDE01", "HOST", 1, 11, now - 16);  // 16 s old
    list.addDeferredReportRequest("APP", "APPABCDE01", "HOST", 2, 22, now - 15);  // 15 s old
    list.addDeferredReportRequest("APP", "APPABCDE01", "HOST", 2, 23, now);       // same action ID
    EXPECT_TRUE(_trace.contains("Action ID 2 was already deferred."));
    EXPECT_EQ(_samplesRedriven, std::vector<uint32_t>{23});
    list.addDeferredReportRequest("APP", "APPABCDE01", "HOST", 3, 33, now);
    list.addDeferredReportRequest("APP", "APPABCDE01", "HOST", 4, 44, now);  // beyond the maximum of 3
    EXPECT_TRUE(_trace.contains("Error: Current deferred report count 3 equals or exceeds max deferred report "
                                "requests 3. Use ZOTA_MAX_DEFERRED_REPORT_REQUEST to increase."));
    EXPECT_EQ(_samplesRedriven, (std::vector<uint32_t>{23, 44}));
    EXPECT_EQ(e->deferredReportRequestCount(), 3);

    // Only the request older than the expiration goes.
    list.cancelExpiredReportRequests();
    EXPECT_EQ(_samplesRedriven, (std::vector<uint32_t>{23, 44, 11}));
    EXPECT_EQ(e->deferredReportRequestCount(), 2);

    // An answer with action ID 0 is ignored; a real answer redrives its request.
    list.redriveDeferredReportRequest("APP", "GROUPA", "HOST", 0);
    list.redriveDeferredReportRequest("APP", "GROUPA", "HOST", 3);
    EXPECT_EQ(_samplesRedriven, (std::vector<uint32_t>{23, 44, 11, 33}));
    list.redriveDeferredReportRequest("APP", "GROUPA", "HOST", 3);
    EXPECT_TRUE(_trace.contains("Note: Did not find a match on Action ID 3, deferCount=1"));

    // The source goes offline: whatever remains is redriven.
    list.removeDeferredReportRequests("APP", "GROUPA", "HOST");
    EXPECT_EQ(_samplesRedriven, (std::vector<uint32_t>{23, 44, 11, 33, 22}));
    EXPECT_EQ(e->deferredReportRequestCount(), 0);
}


// A provider may answer before the request's deferral is recorded (the two reach the hub on different
// connections): the request is then redriven as it is deferred instead of waiting for its expiry. Only
// the latest 16 such answers are remembered.
TEST_F(SamplesListTest, AnAnswerThatComesBeforeItsDeferralRedrivesTheRequestAtOnce) {
    setLimits([](VA_LIMITS& l) {
        l.demandReport = 'Y';
        l.maxDeferredReportRequest = 4;
        l.reportRequestExpiration = 15;
    });
    samplesList list;
    ASSERT_TRUE(list.onlineEntry("APPL", "APPABCDE01", "GROUPA", "01", "HOST", nullptr));
    list.setDemandReportingOption("APP", "GROUPA", "HOST", 1);
    samplesListEntry* e = list.getSamplesListEntry("APP", "GROUPA", "HOST");
    ASSERT_NE(e, nullptr);
    const int32_t now = static_cast<int32_t>(vorpane::clock::nowSeconds());

    list.redriveDeferredReportRequest("APP", "GROUPA", "HOST", 5);
    EXPECT_TRUE(_samplesRedriven.empty());
    list.addDeferredReportRequest("APP", "APPABCDE01", "HOST", 5, 55, now);
    EXPECT_EQ(_samplesRedriven, std::vector<uint32_t>{55});
    EXPECT_EQ(e->deferredReportRequestCount(), 0);
    EXPECT_TRUE(_trace.contains("Action ID 5 was answered before it was deferred: its request goes on at once."));
    // The answer is used once: the same action ID deferred again waits.
    list.addDeferredReportRequest("APP", "APPABCDE01", "HOST", 5, 56, now);
    EXPECT_EQ(e->deferredReportRequestCount(), 1);

    for (int32_t id = 100; id < 117; ++id) {
        list.redriveDeferredReportRequest("APP", "GROUPA", "HOST", id);
    }
    list.addDeferredReportRequest("APP", "APPABCDE01", "HOST", 100, 1000, now);  // forgotten: waits
    list.addDeferredReportRequest("APP", "APPABCDE01", "HOST", 101, 1010, now);
    list.addDeferredReportRequest("APP", "APPABCDE01", "HOST", 116, 1160, now);
    EXPECT_EQ(_samplesRedriven, (std::vector<uint32_t>{55, 1010, 1160}));
    EXPECT_EQ(e->deferredReportRequestCount(), 2);
}
}  // namespace
