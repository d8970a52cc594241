// The user-data table class on the framework stand-in: classification, subnode records, sampling
// from the row stores, event pushes, columns and filters.
#include <cstring>

#include "table_fixture.h"
#include "testlib/hub_fixture.h"
#include "testlib/trace_capture.h"

namespace vorpane::datapath::testing {
namespace {

using vorpane::testing::TraceCapture;

class UserDataTable : public LayoutFixture {
  protected:
    UserDataTable() { setSamplesIndex(&_samples); }
    ~UserDataTable() override {
        _requests.closeAll();
        for (zot_vorpane_manager* m : _managers) {
            zot_vorpane_release(m);
        }
        setSamplesIndex(nullptr);
    }

    // A table of the given sample type with its manager registered with the framework.
    const metadata::userDataInfo& table(char sampleType, int ttl = 60) {
        metadata::userDataInfo& udi = const_cast<metadata::userDataInfo&>(layout(sampleType, ttl));
        zot_vorpane_manager* m = zot_vorpane_init(udi.applNameRR(), udi.tableNameRR(), &udi, nullptr, 0);
        EXPECT_NE(m, nullptr);
        _managers.push_back(m);
        _samples.tablesOfGroup[udi.attrGroup()] = udi.tableNameRR();
        return udi;
    }
    zot_vorpane_manager& manager() { return *_managers.back(); }

    RequestDetail request(const metadata::userDataInfo& udi, int sampleType,
                          std::vector<std::string> subnodes, std::string situation = "") {
        RequestDetail d;
        d.applName = udi.applNameRR();
        d.tableName = udi.tableNameRR();
        d.sampleType = sampleType;
        d.situationName = std::move(situation);
        d.subnodes = std::move(subnodes);
        return d;
    }
    // A subnode online for the table, with rows in its store.
    dataList& online(const metadata::userDataInfo& udi, const std::string& source) {
        _samples.bringOnline(source + ":" + udi.applNameRR(), udi.tableNameRR());
        return _samples.store(udi, source);
    }
    static void add(dataList& list, const std::string& name, int32_t count, const std::string& note = "") {
        rowBuffer row = makeRow(name, count, note);
        ASSERT_EQ(list.addEntry(kSingleRow, row, 0), 0);
    }

    // Situations start and stop their rules at the provider through a hub.
    vorpane::testing::TestHub _hub;
    MemorySamples _samples;
    OpenRequests _requests;
    std::vector<zot_vorpane_manager*> _managers;
};

TEST_F(UserDataTable, ReportReturnsTheStoredRowsOfEveryOnlineSubnodeAndDefersTheOthers) {
    const metadata::userDataInfo& udi = table('K');
    dataList& a = online(udi, "hostA");
    dataList& b = online(udi, "hostB");
    add(a, "disk1", 10, "ok");
    add(a, "disk2", 20, "full");
    add(b, "disk9", 90);
    add(a, "disk1", 11, "ok");  // replaces the first

    zot_vorpane_agent& report = _requests.open(
        manager(),
        request(udi, IntfSampleType_demand, {"hostA:DPT00", "hostB:DPT00", "hostC:DPT00", "hostX:ZZZ00"}));
    EXPECT_EQ(report.requestType(), zot_vorpane_agent::kReport);
    ASSERT_EQ(report.numOfSubNodes(), 4);
    EXPECT_EQ(report.subnode(0).state, 2);
    EXPECT_STREQ(report.subnode(0).sourceName.c_str(), "hostA");
    EXPECT_EQ(report.subnode(2).state, 0);
    EXPECT_EQ(report.DataSize(), kRowSize);

    report.TakeSample();
    std::vector<RowView> rows = rowsOf(report);
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[0].origin, "hostA:DPT00");
    EXPECT_EQ(rows[0].name, "disk1");
    EXPECT_EQ(rows[0].count, 11);
    EXPECT_EQ(rows[1].name, "disk2");
    EXPECT_EQ(rows[1].note, "full");
    EXPECT_EQ(rows[2].origin, "hostB:DPT00");
    EXPECT_EQ(rows[2].count, 90);

    // The offline subnode of the application was deferred; the one of another application was not.
    ASSERT_EQ(_samples.deferred.size(), 1u);
    EXPECT_EQ(_samples.deferred[0].subnode, "hostC:DPT00");
    EXPECT_EQ(_samples.deferred[0].eventRequest, 0);
    EXPECT_EQ(_samples.deferred[0].request, &report);
    EXPECT_EQ(_samples.deferred[0].handle, report.Handle());

    // It comes online and is redriven: the next sample includes it.
    dataList& c = online(udi, "hostC");
    add(c, "disk5", 5);
    EXPECT_EQ(report.redriveRequest("hostC:DPT00", udi.tableNameRR(), 0), 0);
    EXPECT_EQ(report.subnode(2).state, 2);
    TraceCapture trace;
    EXPECT_EQ(report.redriveRequest("hostZ:DPT00", udi.tableNameRR(), 0), 1);
    EXPECT_TRUE(trace.contains("Error: could not find subNode<hostZ:DPT00>"));
    report.TakeSample();
    EXPECT_EQ(namesOf(report), (std::vector<std::string>{"disk1", "disk2", "disk9", "disk5"}));
}

TEST_F(UserDataTable, RequestsAreClassifiedAndUnsupportedOnesDoNothing) {
    const metadata::userDataInfo& udi = table('S');
    dataList& a = online(udi, "hostA");
    add(a, "r", 1);
    struct Case {
        std::string situation;
        int sampleType;
        bool history;
        int requestType;
    };
    const Case cases[] = {
        {"SIT1", IntfSampleType_demand, false, zot_vorpane_agent::kCurrentAttributes},
        {"SIT1", IntfSampleType_exception, false, zot_vorpane_agent::kPolledSituation},
        {"SIT1", IntfSampleType_event, false, zot_vorpane_agent::kEventSituation},
        {"SIT1", IntfSampleType_interval, false, zot_vorpane_agent::kUnsupported},
        {"", IntfSampleType_demand, true, zot_vorpane_agent::kHistory},
        {"", IntfSampleType_demand, false, zot_vorpane_agent::kReport},
        {"", IntfSampleType_exception, false, zot_vorpane_agent::kClientReport},
        {"", IntfSampleType_event, false, zot_vorpane_agent::kUnsupported},
    };
    for (const Case& c : cases) {
        RequestDetail d = request(udi, c.sampleType, {"hostA:DPT00"}, c.situation);
        d.history = c.history;
        zot_vorpane_agent& r = _requests.open(manager(), d);
        EXPECT_EQ(r.requestType(), c.requestType) << c.situation << " " << c.sampleType;
        const bool unsupported = c.requestType == zot_vorpane_agent::kUnsupported;
        EXPECT_EQ(r.hasErrors(), unsupported);
        r.TakeSample();
        if (unsupported) {
            EXPECT_EQ(r.NumDataItems(), 0);
            EXPECT_EQ(r.numOfSubNodes(), 0);
        }
    }
}

TEST_F(UserDataTable, AtMost128SubnodesAndTheActionTableNames) {
    const metadata::userDataInfo& udi = table('P');
    std::vector<std::string> names;
    for (int i = 0; i < 129; ++i) {
        names.push_back("h" + std::to_string(i) + ":DPT00");
    }
    TraceCapture trace;
    zot_vorpane_agent& r = _requests.open(manager(), request(udi, IntfSampleType_demand, names));
    EXPECT_EQ(r.numOfSubNodes(), 128);
    EXPECT_TRUE(trace.contains("Warning: Max subnodes 128 per request has been reached."));

    // The action table serves the agent's own action source under its "ACT:" name.
    VA_LIMITS limits;
    limits.actionTableName.assign(udi.tableNameRR());
    setVaLimits(limits);
    zot_vorpane_agent& action =
        _requests.open(manager(), request(udi, IntfSampleType_demand, {"abcdexdp:VAGENT00"}));
    ASSERT_EQ(action.numOfSubNodes(), 1);
    EXPECT_STREQ(action.subnode(0).subnodeName.c_str(), "abACT:VAGENT00");
    EXPECT_STREQ(action.subnode(0).originNode.c_str(), "abcdexdp:VAGENT00");
}

TEST_F(UserDataTable, SituationsEmitMatchingRowsWithTheEmitTimeRules) {
    const metadata::userDataInfo& udi = table('S', 600);
    dataList& a = online(udi, "hostA");
    add(a, "before", 50);
    clock::advance(5);

    // Count GT 10.
    RequestDetail d = request(udi, IntfSampleType_exception, {"hostA:DPT00"}, "HIGH");
    FLT1_FILTERINFO f;
    f.columnName.assign("VA2");
    f.compareOperator = IntfOper_GT;
    f.dataType = FLT1_TYPE_LONG;
    int32_t ten = 10;
    f.value.assign(reinterpret_cast<const char*>(&ten), 4);
    f.valueLength = 4;
    d.filter.push_back(f);

    // With emitDupRec the first sample passes the request's creation time, later samples 0.
    const auto opened = static_cast<time_t>(clock::nowSeconds());
    zot_vorpane_agent& sit = _requests.open(manager(), d);  // sends RULESTART: the clock may tick meanwhile
    EXPECT_GE(sit.emitTime(), opened);
    EXPECT_LE(sit.emitTime(), static_cast<time_t>(clock::nowSeconds()));
    add(a, "low", 5);
    add(a, "high", 15);
    sit.TakeSample();
    EXPECT_EQ(namesOf(sit), std::vector<std::string>{"high"});
    EXPECT_EQ(sit.emitTime(), 0);
    sit.TakeSample();
    EXPECT_EQ(namesOf(sit), (std::vector<std::string>{"before", "high"}));

    // Without it the first sample passes 0 and later ones the time of the previous sample.
    VA_LIMITS limits;
    limits.emitDupRec = 0;
    setVaLimits(limits);
    zot_vorpane_agent& plain = _requests.open(manager(), d);
    clock::advance(1);  // time stamps are whole seconds: the rows so far are older than this sample
    plain.TakeSample();
    EXPECT_EQ(namesOf(plain), (std::vector<std::string>{"before", "high"}));
    clock::advance(5);
    add(a, "later", 99);
    plain.TakeSample();
    EXPECT_EQ(namesOf(plain), std::vector<std::string>{"later"});
}

TEST_F(UserDataTable, EventRowsReachEveryOpenRequestThatTheyMatch) {
    const metadata::userDataInfo& udi = table('E');
    dataList& a = online(udi, "hostA");
    RequestDetail all = request(udi, IntfSampleType_event, {"hostA:DPT00"}, "ALL");
    RequestDetail only = request(udi, IntfSampleType_event, {"hostA:DPT00", "hostB:DPT00"}, "ONLY");
    FLT1_FILTERINFO f;
    f.columnName.assign("VA3");
    f.compareOperator = IntfOper_EQ;
    f.value = "fatal";
    f.valueLength = 5;
    only.filter.push_back(f);
    zot_vorpane_agent& r1 = _requests.open(manager(), all);
    zot_vorpane_agent& r2 = _requests.open(manager(), only);
    EXPECT_EQ(r1.requestType(), zot_vorpane_agent::kEventSituation);
    // The offline subnode is watched through the samples list.
    ASSERT_EQ(_samples.deferred.size(), 1u);
    EXPECT_EQ(_samples.deferred[0].eventRequest, 1);
    EXPECT_EQ(_samples.deferred[0].request, &r2);

    add(a, "e1", 1, "info");
    EXPECT_EQ(a.emitEvent(&manager(), "hostA:DPT00"), 0);
    add(a, "e2", 2, "fatal");
    EXPECT_EQ(a.emitEvent(&manager(), "hostA:DPT00"), 0);
    std::vector<std::string> names;
    for (const RowView& r : _requests.events) {
        names.push_back(r.name);
        EXPECT_EQ(r.origin, "hostA:DPT00");
    }
    EXPECT_EQ(names, (std::vector<std::string>{"e1", "e2", "e2"}));
    EXPECT_EQ(r1.NumDataItems(), 0);  // cleared after each dispatch

    // A manager without a layout refuses event rows.
    TraceCapture trace;
    zot_vorpane_manager bare("DPT00", "NOLAYOUT");
    char row[kRowSize] = {};
    EXPECT_EQ(bare.EventArrived(row, kRowSize), 1);
    EXPECT_TRUE(trace.contains("Error: _coInfo was NULL."));
}

TEST_F(UserDataTable, ColumnsAndFilterComparisons) {
    const metadata::userDataInfo& udi = table('P');
    zot_vorpane_agent& r = _requests.open(manager(), request(udi, IntfSampleType_demand, {}));
    EXPECT_EQ(r.NumColumns(), 4);
    ColumnInfo info;
    ASSERT_EQ(r.GetColumnInfo(&info, 1), 0);
    EXPECT_STREQ(info.name.c_str(), "VA1");
    EXPECT_EQ(info.type, AXF_COLUMN_STRING);
    EXPECT_EQ(info.length, 8);
    EXPECT_EQ(info.offset, kNameOffset);
    EXPECT_EQ(info.attrName, "Name");
    EXPECT_TRUE(info.key);
    ASSERT_EQ(r.GetColumnInfo(&info, 2), 0);
    EXPECT_EQ(info.type, AXF_COLUMN_INT32);
    TraceCapture trace;
    EXPECT_EQ(r.GetColumnInfo(&info, 4), AXF_RC_BAD_COLUMN);
    EXPECT_TRUE(trace.contains("Error: colno 4 is invalid"));

    rowBuffer row = makeRow("disk1", 42, "ok");
    int32_t v = 42;
    const std::string forty2(reinterpret_cast<const char*>(&v), 4);
    EXPECT_EQ(r.ColumnIsException(row.get(), "VA2", IntfOper_EQ, forty2.c_str()), 1);
    EXPECT_EQ(r.ColumnIsException(row.get(), "VA2", IntfOper_LT, forty2.c_str()), 0);
    EXPECT_EQ(r.ColumnIsException(row.get(), "VA1", IntfOper_EQ, "disk1"), 1);
    EXPECT_EQ(r.ColumnIsException(row.get(), "VA1", IntfOper_LIKE, "disk*"), 1);
    EXPECT_EQ(r.ColumnIsException(row.get(), "VA3", IntfOper_NE, "ok"), 0);
    EXPECT_EQ(r.ColumnIsException(row.get(), "VA9", IntfOper_EQ, "x"), 0);

    // Without a layout the table has no columns.
    manager().setUserDataPtr(nullptr);
    EXPECT_EQ(r.NumColumns(), 0);
    EXPECT_EQ(r.ColumnIsException(row.get(), "VA1", IntfOper_EQ, "disk1"), 0);
    EXPECT_TRUE(trace.contains("Warning: coInfo cannot be resolved."));
}

TEST_F(UserDataTable, EndingARequestWithdrawsItsDeferralsAndInitLinksExistingManagers) {
    const metadata::userDataInfo& udi = table('K');
    online(udi, "hostA");
    _requests.open(manager(), request(udi, IntfSampleType_demand, {"hostA:DPT00"}));
    _requests.closeAll();
    EXPECT_EQ(_samples.removed, std::vector<std::string>{"DPT/" + std::string(udi.tableNameRR()) + "/hostA"});

    metadata::userDataInfo& again = const_cast<metadata::userDataInfo&>(layout('K'));
    EXPECT_EQ(zot_vorpane_init(nullptr, nullptr, &again, &manager(), 0), &manager());
    EXPECT_EQ(manager().userDataInfoPtr(), &again);
    EXPECT_EQ(again.tableManager(), &manager());
    TraceCapture trace;
    EXPECT_EQ(zot_vorpane_init(nullptr, nullptr, nullptr, &manager(), 0), nullptr);
    EXPECT_TRUE(trace.contains("Error: userData was NULL."));
}

}  // namespace
}  // namespace vorpane::datapath::testing
