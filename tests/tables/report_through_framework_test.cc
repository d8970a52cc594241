// Rows a provider sends reach the framework's reports and event subscribers: provider -> hub ->
// collection thread -> row store -> table class -> framework, all in this process over loopback.
#include <algorithm>
#include <cstring>

#include "datapath/wait_on_dp.h"
#include "interfaces/axf_facade.h"
#include "interfaces/dch_client.h"
#include "table_fixture.h"
#include "testlib/hub_fixture.h"
#include "testlib/trace_capture.h"

namespace vorpane::datapath::testing {
namespace {

using vorpane::testing::TraceCapture;

constexpr const char* kAttributes = "Name,D,8, , ,n;Count,C,4, , ,c;Note,D,8, , ,t";

class ThroughFramework : public LayoutFixture {
  protected:
    ThroughFramework() { setSamplesIndex(&_samples); }
    ~ThroughFramework() override {
        for (metadata::userDataInfo* udi : _started) {
            stopWaitOnDPthread(*udi);
        }
        for (zot_vorpane_manager* m : _managers) {
            zot_vorpane_release(m);
        }
        setSamplesIndex(nullptr);
    }

    // A group of application appl with its manager, its collection thread, and a provider online
    // for source src.
    metadata::userDataInfo& group(const char* appl, char sampleType, const std::string& source, int* handle,
                                  bool startCollecting = true) {
        auto& udi = const_cast<metadata::userDataInfo&>(layout(sampleType, 60, appl));
        _managers.push_back(zot_vorpane_init(udi.applNameRR(), udi.tableNameRR(), &udi, nullptr, 0));
        _samples.tablesOfGroup[udi.attrGroup()] = udi.tableNameRR();
        _samples.bringOnline(source + ":" + udi.applNameRR(), udi.tableNameRR());
        int status = 0;
        DPapplication app{appl, "help", {{"G", "g", sampleType, 60, "APIS", kAttributes}}};
        EXPECT_EQ(_provider.dp_register(&status, app), 0);
        EXPECT_EQ(_provider.dp_online(&status, handle, appl, "G", source.c_str()), 0);
        if (startCollecting) {
            startCollection(udi);
        }
        return udi;
    }
    void startCollection(metadata::userDataInfo& udi) {
        EXPECT_EQ(startWaitOnDPthread(udi), 0);
        _started.push_back(&udi);
    }
    static DProw row(const std::string& name, int32_t count, const std::string& note) {
        DProw r;
        r.add("Name", name.c_str(), static_cast<int>(name.size()), 'D');
        r.add("Count", &count, 4, 'C');
        r.add("Note", note.c_str(), static_cast<int>(note.size()), 'D');
        return r;
    }
    void send(int handle, int control, const std::string& name, int32_t count, const std::string& note = "") {
        int status = 0;
        ASSERT_EQ(_provider.dp_data(&status, handle, control, row(name, count, note)), 0);
    }
    // Sends a row until the collection thread has it: the subscription reaches the hub on its own.
    void firstRow(TraceCapture& trace, int handle, const std::string& name) {
        bool arrived = false;
        for (int i = 0; i < 100 && !arrived; ++i) {
            send(handle, 0x11, name, 0);
            arrived = trace.waitFor("No dataList found", std::chrono::milliseconds(100));
        }
        ASSERT_TRUE(arrived);
    }
    // Every row sent before this one has been stored when it returns: a delete of a key that is not
    // stored (keyed tables) or a delete the table refuses (others) comes last and leaves its trace.
    void drain(TraceCapture& trace, int handle, bool keyed) {
        trace.clear();
        send(handle, 0xDD, "~drain~", 0);
        ASSERT_TRUE(trace.waitFor(keyed
                                      ? "Did not find a matching dataListEntry"
                                      : "Error: control field DCH_DeleteKeyRecord only valid for key data."));
    }
    axf::ReportResult report(const metadata::userDataInfo& udi, const std::string& subnode,
                             const std::string& filter = "") {
        axf::ReportQuery q;
        q.applName = udi.applNameRR();
        q.tableName = udi.tableNameRR();
        q.subnodes = {subnode};
        q.timeoutSeconds = 10;
        EXPECT_TRUE(axf::parseFilter(filter, &q.filter).ok()) << filter;
        return axf::runReport(q);
    }
    static std::vector<std::string> texts(const axf::ReportResult& r, std::size_t column) {
        std::vector<std::string> out;
        for (const auto row : r.rows) {
            if (row.isInteger(column)) {
                out.push_back(std::to_string(row.integer(column)));
            } else {
                out.push_back(std::string(row.text(column)));
            }
        }
        return out;
    }

    vorpane::testing::TestHub _hub;
    HubProvider _provider;
    MemorySamples _samples;
    std::vector<zot_vorpane_manager*> _managers;
    std::vector<metadata::userDataInfo*> _started;
};

TEST_F(ThroughFramework, ATableTellsItsGroupAndAMissingTextIsNoValue) {
    ASSERT_TRUE(_hub.ready());
    int handle = 0;
    metadata::userDataInfo& udi = group("E2ENUL", 'K', "src1", &handle);
    TraceCapture trace;
    firstRow(trace, handle, "disk0");  // without a note
    send(handle, 0x11, "disk1", 10, "ok");
    drain(trace, handle, true);

    axf::TableDesc d;
    ASSERT_TRUE(axf::describeTable(udi.applNameRR(), udi.tableNameRR(), &d).ok());
    EXPECT_EQ(d.application, "E2ENUL");
    EXPECT_EQ(d.release, "00");
    EXPECT_EQ(d.group, "G");
    EXPECT_EQ(d.help, "g");
    EXPECT_EQ(d.sampleType, 'K');
    EXPECT_EQ(d.ttlSeconds, 60);
    EXPECT_FALSE(d.internal);

    axf::ReportResult r = report(udi, "src1:E2ENUL00");
    ASSERT_TRUE(r.status.ok()) << r.status.message;
    ASSERT_EQ(r.rows.size(), 2u);
    EXPECT_EQ(texts(r, 1), (std::vector<std::string>{"disk0", "disk1"}));
    EXPECT_TRUE(r.rows[0].missing(3));
    EXPECT_FALSE(r.rows[1].missing(3));
    EXPECT_FALSE(r.rows[0].missing(2));  // a number always has a value
    // No value satisfies "not equal" and nothing else.
    EXPECT_EQ(texts(report(udi, "src1:E2ENUL00", "Note NE ok"), 1), std::vector<std::string>{"disk0"});
    EXPECT_EQ(texts(report(udi, "src1:E2ENUL00", "Note LT zz"), 1), std::vector<std::string>{"disk1"});
    EXPECT_EQ(texts(report(udi, "src1:E2ENUL00", "Note LIKE *"), 1), std::vector<std::string>{"disk1"});
}

TEST_F(ThroughFramework, KeyedRowsAreReportedAfterReplaceMergeAndDelete) {
    ASSERT_TRUE(_hub.ready());
    int handle = 0;
    metadata::userDataInfo& udi = group("E2EKEY", 'K', "src1", &handle);
    TraceCapture trace;
    firstRow(trace, handle, "disk0");
    send(handle, 0x11, "disk1", 10, "ok");
    send(handle, 0x11, "disk2", 20, "full");
    send(handle, 0x11, "disk1", 11, "ok");  // replaces disk1
    {
        DProw partial;  // merges: the note keeps "full", the count becomes 0
        partial.add("Name", "disk2", 5, 'D');
        partial.add("Count", "", 0, 'C');
        partial.add("Note", "", 0, 'D');
        int status = 0;
        ASSERT_EQ(_provider.dp_data(&status, handle, 0x11, partial), 0);
    }
    send(handle, 0xDD, "disk0", 0);
    drain(trace, handle, true);

    axf::ReportResult r = report(udi, "src1:E2EKEY00");
    ASSERT_TRUE(r.status.ok()) << r.status.message;
    ASSERT_EQ(r.columns.size(), 4u);
    EXPECT_EQ(texts(r, 0), (std::vector<std::string>{"src1:E2EKEY00", "src1:E2EKEY00"}));
    EXPECT_EQ(texts(r, 1), (std::vector<std::string>{"disk1", "disk2"}));
    EXPECT_EQ(texts(r, 2), (std::vector<std::string>{"11", "0"}));
    EXPECT_EQ(texts(r, 3), (std::vector<std::string>{"ok", "full"}));
    EXPECT_EQ(r.rows[0][2], axf::Value(int64_t{11}));
    EXPECT_EQ(r.rows[1][3], axf::Value(std::string("full")));

    // The table inserts every row of a report; the report's filter still holds.
    r = report(udi, "src1:E2EKEY00", "VA2 GT 5 AND VA3 EQ ok OR VA1 EQ nosuch");
    ASSERT_TRUE(r.status.ok()) << r.status.message;
    EXPECT_EQ(texts(r, 1), (std::vector<std::string>{"disk1"}));
    r = report(udi, "src1:E2EKEY00", "Count LT 5");
    EXPECT_EQ(texts(r, 1), (std::vector<std::string>{"disk2"}));
}

TEST_F(ThroughFramework, AHalfSetIsNeverReportedAndEventRowsReachSubscribersOnce) {
    ASSERT_TRUE(_hub.ready());
    int setHandle = 0, eventHandle = 0;
    metadata::userDataInfo& sets = group("E2ESET", 'S', "src1", &setHandle);
    TraceCapture trace;
    firstRow(trace, setHandle, "single");
    send(setHandle, 0x01, "a1", 1);
    send(setHandle, 0x10, "a2", 2);
    send(setHandle, 0x01, "b1", 1);
    send(setHandle, 0x00, "b2", 2);
    drain(trace, setHandle, false);
    // The second set never ends: its rows are never reported.
    axf::ReportResult r = report(sets, "src1:E2ESET00");
    ASSERT_TRUE(r.status.ok()) << r.status.message;
    EXPECT_EQ(texts(r, 1), (std::vector<std::string>{"a1", "a2"}));

    metadata::userDataInfo& events = group("EVTE2E", 'E', "src1", &eventHandle);
    axf::SituationDef def;
    def.name = "E2E_FATAL";
    def.applName = events.applNameRR();
    def.tableName = events.tableNameRR();
    def.event = true;
    def.subnodes = {"src1:EVTE2E00"};
    ASSERT_TRUE(axf::parseFilter("VA3 EQ fatal", &def.filter).ok());
    ASSERT_TRUE(axf::addSituation(def).ok());
    const uint64_t before = axf::readEvents(0, 0).lastSeq;
    trace.clear();
    firstRow(trace, eventHandle, "first");
    send(eventHandle, 0x11, "e1", 1, "info");
    send(eventHandle, 0x11, "e2", 2, "fatal");
    send(eventHandle, 0x11, "e3", 3, "fatal");
    drain(trace, eventHandle, false);
    std::vector<std::string> fired;
    for (int i = 0; i < 100 && fired.size() < 2; ++i) {
        axf::EventBatch batch = axf::readEvents(before, 5);
        fired.clear();
        for (const axf::Event& e : batch.events) {
            if (e.situation == "E2E_FATAL" && e.kind != axf::EventKind::SituationCleared && !e.row.empty()) {
                fired.push_back(std::get<std::string>(e.row[1]));
            }
        }
    }
    EXPECT_EQ(fired, (std::vector<std::string>{"e2", "e3"}));
    EXPECT_TRUE(axf::removeSituation("E2E_FATAL").ok());
}

// A source sends at once after coming online, before the group's collection thread exists: the
// thread still gets every row, the set whole and in order, and the event row reaches the situation.
TEST_F(ThroughFramework, RowsSentBeforeTheCollectionThreadSubscribesAreReported) {
    ASSERT_TRUE(_hub.ready());
    int keyed = 0, eventHandle = 0;
    metadata::userDataInfo& disks = group("E2EFST", 'K', "src1", &keyed, false);
    send(keyed, 0x01, "disk1", 1, "a");
    send(keyed, 0x00, "disk2", 2, "b");
    send(keyed, 0x10, "disk3", 3, "c");
    TraceCapture trace;
    startCollection(disks);
    drain(trace, keyed, true);
    axf::ReportResult r = report(disks, "src1:E2EFST00");
    ASSERT_TRUE(r.status.ok()) << r.status.message;
    EXPECT_EQ(texts(r, 1), (std::vector<std::string>{"disk1", "disk2", "disk3"}));
    EXPECT_EQ(texts(r, 2), (std::vector<std::string>{"1", "2", "3"}));

    metadata::userDataInfo& events = group("FEVE2E", 'E', "src1", &eventHandle, false);
    axf::SituationDef def;
    def.name = "E2E_EARLY";
    def.applName = events.applNameRR();
    def.tableName = events.tableNameRR();
    def.event = true;
    def.subnodes = {"src1:FEVE2E00"};
    ASSERT_TRUE(axf::parseFilter("VA3 EQ fatal", &def.filter).ok());
    ASSERT_TRUE(axf::addSituation(def).ok());
    const uint64_t before = axf::readEvents(0, 0).lastSeq;
    send(eventHandle, 0x11, "e1", 1, "fatal");
    send(eventHandle, 0x11, "e2", 2, "info");
    startCollection(events);
    drain(trace, eventHandle, false);
    std::vector<std::string> fired;
    for (int i = 0; i < 100 && fired.empty(); ++i) {
        for (const axf::Event& e : axf::readEvents(before, 5).events) {
            if (e.situation == "E2E_EARLY" && e.kind != axf::EventKind::SituationCleared && !e.row.empty()) {
                fired.push_back(std::get<std::string>(e.row[1]));
            }
        }
    }
    EXPECT_EQ(fired, (std::vector<std::string>{"e1"}));
    EXPECT_TRUE(axf::removeSituation("E2E_EARLY").ok());
}

}  // namespace
}  // namespace vorpane::datapath::testing
