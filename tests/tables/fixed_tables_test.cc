// The fixed tables through the framework stand-in: RMTFILE serving generated files from a work
// directory, and the action-status tables forwarding TRAPEMIT actions to a provider of a real hub.
#include "tables/fixed_tables.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "../datapath/datapath_test_support.h"
#include "agent/agent_lists.h"
#include "agent/application_probe_list.h"
#include "interfaces/axf_facade.h"
#include "interfaces/dch_client.h"
#include "testlib/hub_fixture.h"
#include "testlib/text_compare.h"
#include "testlib/trace_capture.h"

namespace vorpane::tables {
namespace {

using vorpane::datapath::testing::LayoutFixture;
using vorpane::testing::TraceCapture;
using vorpane::testing::withoutTrailingBlanks;

axf::Predicate eq(std::string column, std::string value) {
    axf::Predicate p;
    p.column = std::move(column);
    p.op = axf::CompareOp::EQ;
    p.value = std::move(value);
    return p;
}

std::string text(const axf::Value& v) { return std::get<std::string>(v); }

// The three tables registered with the framework, and the application DPT (release 00) online with
// its generated files in the test's work directory.
class FixedTables : public LayoutFixture {
  protected:
    FixedTables() {
        axf::reset();
        createAgentLists();
        EXPECT_EQ(t7srv_rmtfile_init(), 0);
        EXPECT_EQ(zot_zotact_init(), 0);
        EXPECT_EQ(qeb_qebact_init(), 0);
        layout('K');
        _udl = _lists.back().get();
        applDataStruct appl;
        appl.applName.assign("DPT");
        appl.status = PROBE_STARTED;
        appl.userDataList = _udl;
        EXPECT_EQ(startedProbes()->addEntry(appl), 0);
    }
    ~FixedTables() override {
        fixed_tables_release();
        deleteAgentLists();
        axf::reset();
    }

    std::string workFile(const std::string& name) const { return _dir.path() + "/" + name; }
    void writeWorkFile(const std::string& name, const std::string& contents) const {
        std::ofstream(workFile(name), std::ios::binary | std::ios::trunc) << contents;
    }

    std::string readWorkFile(const std::string& name) const {
        std::ifstream in(workFile(name), std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }

    // The filerow texts of an RMTFILE report.
    std::vector<std::string> fileRows(axf::Filter filter) {
        axf::ReportResult r = axf::runReport({"T7SRV", "RMTFILE", {}, std::move(filter), 600, "tester"});
        EXPECT_TRUE(r.status.ok()) << r.status.message;
        std::vector<std::string> rows;
        for (const auto& row : r.rows) {
            EXPECT_EQ(row.size(), 3u);
            rows.push_back(text(row[0]));
        }
        return rows;
    }
    std::vector<std::string> fileRows(const std::string& origin, const std::string& file) {
        return fileRows({eq("ORIGINNODE", origin), eq("RMTFILE", file)});
    }

    // The lock the table must let go of on every path.
    void expectListUnlocked() {
        ScopedLock guard(_udl->mutex());
        EXPECT_TRUE(guard.ok());
    }

    metadata::userDataList* _udl = nullptr;
};

std::string joinLines(const std::vector<std::string>& rows) {
    std::string all;
    for (const std::string& r : rows) {
        all += r + "\n";
    }
    return all;
}

TEST_F(FixedTables, AnAtrFileOfShortLinesComesAsFewRowsOfWholeLines) {
    std::string contents;
    for (int i = 0; i < 100; ++i) {
        contents += "name=Attribute_" + std::to_string(i) + " type=S len=16\n";
    }
    writeWorkFile("DPTATR00", contents);

    TraceCapture trace;
    std::vector<std::string> rows = fileRows("hostA:DPT00", "*ATTR");
    ASSERT_GT(rows.size(), 1u);
    EXPECT_LT(rows.size(), 10u);
    // Whole lines in order, nothing lost or repeated; each row as full as the next line allows.
    EXPECT_EQ(joinLines(rows), contents);
    for (std::size_t i = 0; i < rows.size(); ++i) {
        EXPECT_LE(rows[i].size(), 511u);
        EXPECT_NE(rows[i].back(), '\n');
        if (i + 1 < rows.size()) {
            const std::string next = rows[i + 1].substr(0, rows[i + 1].find('\n') + 1);
            EXPECT_GT(rows[i].size() + 1 + next.size(), 511u) << "row " << i << " could hold another line";
        }
    }
    EXPECT_TRUE(trace.contains("emitted " + std::to_string(rows.size()) + " records"));
    expectListUnlocked();
}

TEST_F(FixedTables, ShortAndGeneratedFilesComeBackExactlyWithTheRequestInEveryRow) {
    std::string cat;
    while (cat.size() < 190) {
        cat += "catalog line " + std::to_string(cat.size()) + "\n";
    }
    cat += std::string(199 - cat.size(), 'x') + "\n";
    ASSERT_EQ(cat.size(), 200u);
    writeWorkFile("DPTCAT00", cat);

    axf::ReportResult r = axf::runReport(
        {"T7SRV", "RMTFILE", {}, {eq("ORIGINNODE", "hostA:DPT00"), eq("RMTFILE", "*CAT")}, 600, "tester"});
    ASSERT_TRUE(r.status.ok()) << r.status.message;
    ASSERT_EQ(r.rows.size(), 1u);
    EXPECT_EQ(text(r.rows[0][0]) + "\n", cat);
    EXPECT_EQ(text(r.rows[0][1]), "hostA:DPT00");
    EXPECT_EQ(text(r.rows[0][2]), "*CAT");

    // The ODI file the application's metadata wrote, whole.
    const std::string odi = readWorkFile("DPTODI00");
    ASSERT_FALSE(odi.empty());
    EXPECT_EQ(withoutTrailingBlanks(joinLines(fileRows("hostA:DPT00", "*ODI"))), withoutTrailingBlanks(odi));
}

TEST_F(FixedTables, TheFileIsChosenByTheBeginningOfRmtfile) {
    writeWorkFile("DPTATR00", "atr\n");
    writeWorkFile("DPTCAT00", "cat\n");
    EXPECT_EQ(fileRows("hostA:DPT00", "*ATTR.ATR"), std::vector<std::string>{"atr"});
    EXPECT_EQ(fileRows("hostA:DPT00", "*CATALOG"), std::vector<std::string>{"cat"});

    TraceCapture trace;
    EXPECT_TRUE(fileRows("hostA:DPT00", "*ATR").empty());
    EXPECT_TRUE(trace.contains("Error: RMTFILE <*ATR> not recognized"));
}

TEST_F(FixedTables, RmtfileRequestsWithoutWhatTheyNeedEmitNothing) {
    writeWorkFile("DPTCAT00", "cat\n");
    struct Case {
        axf::Filter filter;
        const char* error;
    };
    const std::vector<Case> cases = {
        {{eq("RMTFILE", "*CAT")}, "Error: ORIGINNODE was NULL."},
        {{eq("ORIGINNODE", "hostA:DPT00")}, "Error: RMTFILE was NULL."},
        {{eq("ORIGINNODE", ":DPT00"), eq("RMTFILE", "*CAT")}, "Error: sourceName was NULL."},
        {{eq("ORIGINNODE", "hostA"), eq("RMTFILE", "*CAT")}, "Error: applKey_tableName_RR was NULL."},
        {{eq("ORIGINNODE", "hostA:XYZ00"), eq("RMTFILE", "*CAT")},
         "Error: could not resolve userDataList object using applKey/tableName <XYZ> for fileName <"},
        // The key begins with an application key of three name characters and ends in a two-digit
        // release: "D" would find the application DPT by its first letter, "../" a file outside
        // the work directory.
        {{eq("ORIGINNODE", "hostA:D00"), eq("RMTFILE", "*CAT")},
         "Error: applKey_tableName_RR <D00> does not begin with three name characters"},
        {{eq("ORIGINNODE", "hostA:DP00"), eq("RMTFILE", "*CAT")},
         "Error: applKey_tableName_RR <DP00> does not begin with three name characters"},
        {{eq("ORIGINNODE", "hostA:dpt00"), eq("RMTFILE", "*CAT")},
         "Error: applKey_tableName_RR <dpt00> does not begin with three name characters"},
        {{eq("ORIGINNODE", "hostA:../00"), eq("RMTFILE", "*ODI")},
         "Error: applKey_tableName_RR <../00> does not begin with three name characters"},
        {{eq("ORIGINNODE", "hostA:DPT0x"), eq("RMTFILE", "*CAT")},
         "Error: applKey_tableName_RR <DPT0x> does not end in a two-digit release"},
    };
    for (const Case& c : cases) {
        TraceCapture trace;
        EXPECT_TRUE(fileRows(c.filter).empty()) << c.error;
        EXPECT_TRUE(trace.contains(c.error)) << c.error;
        if (std::string_view(c.error).find("name characters") != std::string_view::npos) {
            EXPECT_FALSE(trace.contains("Unable to open")) << c.error;  // no file was looked for
        }
    }
    TraceCapture trace;
    EXPECT_TRUE(fileRows("hostA:XYZ00", "*ATTR").empty());
    EXPECT_TRUE(trace.contains("Error: could not resolve userDataList object using applKey/tableName <XYZ> for "
                               "fileName <" +
                               workFile("XYZATR00") + "> - dynamic upload not performed"));
    // The ODI file of an unknown application is still looked for.
    trace.clear();
    EXPECT_TRUE(fileRows("hostA:XYZ00", "*ODI").empty());
    EXPECT_TRUE(trace.contains("Note: could not resolve userDataList object using applKey/tableName <XYZ>"));
    EXPECT_TRUE(trace.contains("Error: Unable to open " + workFile("XYZODI00") + " file, errno=2"));
    expectListUnlocked();
}

TEST_F(FixedTables, FilesThatCannotBeCutIntoLinesAreRefusedAndTheListIsLetGo) {
    TraceCapture trace;
    writeWorkFile("DPTCAT00", "short\n" + std::string(600, 'y') + "\n");
    // Rows already complete are sent; the reading stops at the line that fits no row.
    EXPECT_EQ(fileRows("hostA:DPT00", "*CAT"), std::vector<std::string>{"short"});
    EXPECT_TRUE(trace.contains("Error: could not find LF in <" + workFile("DPTCAT00") + "> file"));
    expectListUnlocked();

    writeWorkFile("DPTCAT00", "");
    EXPECT_TRUE(fileRows("hostA:DPT00", "*CAT").empty());
    EXPECT_TRUE(trace.contains("Error: No file records were read for <" + workFile("DPTCAT00") + ">"));
    expectListUnlocked();
}

TEST_F(FixedTables, OnlyDemandRequestsReadAFile) {
    writeWorkFile("DPTCAT00", "cat\n");
    RemoteManager* registry = RemoteManager::GetManager();
    TableManager* manager = registry->FindTableManager("T7SRV", "RMTFILE");
    ASSERT_NE(manager, nullptr);
    const std::vector<std::pair<int, const char*>> refused = {
        {IntfSampleType_undefined, "Error: IntfSampleType_undefined not supported"},
        {IntfSampleType_exception, "Error: IntfSampleType_exception ignored"},
        {IntfSampleType_interval, "Error: IntfSampleType_interval ignored"},
        {IntfSampleType_event, "Error: 4 is an unknown IntfSampleType"},
    };
    for (const auto& [type, error] : refused) {
        RequestDetail d;
        d.applName = "T7SRV";
        d.tableName = "RMTFILE";
        d.sampleType = type;
        FLT1_FILTERINFO origin;
        origin.columnName.assign("ORIGINNODE");
        origin.value = "hostA:DPT00";
        origin.valueLength = static_cast<int>(origin.value.size());
        origin.logicalOperator = IntfOper_AND;
        FLT1_FILTERINFO file = origin;
        file.columnName.assign("RMTFILE");
        file.value = "*CAT";
        file.valueLength = 4;
        file.logicalOperator = 0;
        d.filter = {origin, file};
        ContextInfo context{"tester"};
        std::unique_ptr<plaxf> request = manager->CreatePlaxf(&d, &context);
        TraceCapture trace;
        request->TakeSample();
        EXPECT_EQ(request->NumDataItems(), 0) << error;
        EXPECT_TRUE(trace.contains(error)) << error;
    }
    registry->Drop();
}

TEST_F(FixedTables, ColumnsAreTheFixedLayoutsAndListingTablesTracesNoError) {
    TraceCapture trace(trace::kError);
    axf::TableDesc rmt;
    ASSERT_TRUE(axf::describeTable("T7SRV", "RMTFILE", &rmt).ok());
    ASSERT_EQ(rmt.columns.size(), 3u);
    EXPECT_EQ(rmt.columns[0].name, "FILEROW");
    EXPECT_EQ(rmt.columns[0].length, 512);
    EXPECT_EQ(rmt.columns[2].name, "RMTFILE");
    EXPECT_EQ(rmt.columns[2].offset, 544);
    EXPECT_TRUE(rmt.internal);  // the agent's own: listed with ?all=1 only
    for (const char* appl : {"ZOT", "QEB"}) {
        axf::TableDesc act;
        ASSERT_TRUE(axf::describeTable(appl, std::string(appl) + "ACT", &act).ok());
        ASSERT_EQ(act.columns.size(), 9u);
        EXPECT_EQ(act.columns[1].name, "REQRC");
        EXPECT_EQ(act.columns[1].valueType, axf::ValueType::Integer);
        EXPECT_EQ(act.columns[8].name, "ATTRVALS");
        EXPECT_EQ(act.columns[8].offset + act.columns[8].length, kActionStatusRowSize);
        EXPECT_TRUE(act.internal);
    }
    EXPECT_EQ(axf::listTables().size(), 3u);
    EXPECT_TRUE(trace.lines().empty()) << trace.lines().front();
    // A second initialisation keeps the one manager.
    EXPECT_EQ(zot_zotact_init(), 0);
}

// ---------------------------------------------------------------------------------------------------
// The action-status tables

constexpr char kAttrValues[] = "*IF *VALUE DPT.Count *GT 10;p2;p3;_SITNODE=hostA:DPT00;"
                               "_ATTRPREF=DPT.Name=disk1;DPT.Count=11~";

axf::Filter alert(const std::string& attrValues, const std::string& origin = "hostA:DPT00") {
    axf::Filter f = {eq("ORIGINNODE", origin), eq("SITNAME", "Disk_Full"),  eq("SITTIME", "1261206053000000"),
                     eq("SEVERITY", "Critical"), eq("CATEGORY", "Storage"), eq("TRAPDEST", "trapd")};
    if (!attrValues.empty()) {
        f.push_back(eq("ATTRVALS", attrValues));
    }
    return f;
}

// A provider of the hub that owns source hostA and waits for automation actions.
class AlertProvider {
  public:
    AlertProvider() {
        int status = -1;
        EXPECT_EQ(_provider.connect(), 0);
        EXPECT_EQ(_provider.dp_waitForAction(&status, 1, "hostA"), 0);
        EXPECT_EQ(status, 0);
    }
    DPactionRequest next() {
        DPactionRequest a;
        EXPECT_EQ(_provider.nextAction(&a, 20), 0);
        return a;
    }

  private:
    HubProvider _provider;
};

class ActionStatusTables : public FixedTables {
  protected:
    // The one status row of a request on ZOT.ZOTACT or QEB.QEBACT.
    std::vector<axf::Value> status(const char* appl, axf::Filter filter) {
        axf::ReportResult r =
            axf::runReport({appl, std::string(appl) + "ACT", {}, std::move(filter), 600, "tester"});
        EXPECT_TRUE(r.status.ok()) << r.status.message;
        EXPECT_EQ(r.rows.size(), 1u);
        std::vector<axf::Value> values(9);
        if (!r.rows.empty()) {
            for (size_t c = 0; c < values.size(); ++c) {
                values[c] = r.rows[0][c];
            }
        }
        return values;
    }
    vorpane::testing::TestHub _hub;
};

TEST_F(ActionStatusTables, AGoodAlertIsForwardedAsTrapemitWithItsTextAndReportsStatusZero) {
    AlertProvider provider;
    TraceCapture trace;
    std::vector<axf::Value> row = status("ZOT", alert(kAttrValues));

    DPactionRequest a = provider.next();
    EXPECT_EQ(a.actionType, 1);
    EXPECT_EQ(a.name, "TRAPEMIT");
    EXPECT_EQ(a.owner, "Disk_Full");
    EXPECT_EQ(a.node, "hostA:DPT00");
    EXPECT_EQ(a.parms, "DEST(trapd) SIT(Disk_Full) TIME(1261206053000000) NODE(hostA:DPT00) SEV(Critical) "
                       "CAT(Storage) LIST(DPT.Name=disk1;DPT.Count=11)");

    EXPECT_EQ(text(row[0]), "hostA:DPT00");
    EXPECT_EQ(std::get<int64_t>(row[1]), 0);
    EXPECT_EQ(text(row[2]), "Disk_Full");
    EXPECT_EQ(text(row[3]), "hostA:DPT00");
    EXPECT_EQ(text(row[4]), "1261206053000000");
    EXPECT_EQ(text(row[5]), "Critical");
    EXPECT_EQ(text(row[6]), "Storage");
    EXPECT_EQ(text(row[7]), "trapd");
    EXPECT_EQ(text(row[8]), kAttrValues);
    EXPECT_TRUE(trace.contains("/" + std::to_string(a.actionID) + "] Alert processed: sending status 0"));

    // The alert-emitter variant forwards the same way.
    row = status("QEB", alert(kAttrValues));
    EXPECT_EQ(std::get<int64_t>(row[1]), 0);
    a = provider.next();
    EXPECT_EQ(a.name, "TRAPEMIT");
    EXPECT_EQ(a.owner, "Disk_Full");
}

TEST_F(ActionStatusTables, RefusedAlertsReportMinusOne) {
    struct Case {
        std::string attrValues;
        std::vector<std::string> errors;
    };
    const std::vector<Case> cases = {
        {"", {"Warning: received empty result rows from QMS."}},
        {";p2;p3;_SITNODE=hostA:DPT00;_ATTRPREF=x~", {"Warning: received empty result rows from QMS."}},
        {"p1;p2;p3;_SITNODE=a;_ATTRPREF=x~p1;p2;p3;_SITNODE=b;_ATTRPREF=y~",
         {"Error: Operation Mode of Take_action_once not supported.",
          "       Change your Policy to use Take_action_on_each_item."}},
        {"p1;p2;p3;_NODE=a;_ATTRPREF=x~", {"Error: could not find _SITNODE in <_NODE=a>"}},
        {"p1;p2;p3;_SITNODE=a;DPT.Name=x~", {"Error: could not find _ATTRPREF in <DPT.Name=x>"}},
        {"p1;p2;p3;_SITNODE=a;_ATTRPREF=x", {"Error: could not find terminator in <p1;p2;p3;_SITNODE=a;_ATTRPREF=x> tok1 @"}},
        {"p1;p2~", {"Error: could not find terminator in <p1;p2~> tok1 @"}},
    };
    for (const Case& c : cases) {
        TraceCapture trace;
        std::vector<axf::Value> row = status("ZOT", alert(c.attrValues));
        EXPECT_EQ(std::get<int64_t>(row[1]), -1) << c.attrValues;
        EXPECT_EQ(text(row[0]), "hostA:DPT00") << c.attrValues;
        EXPECT_EQ(text(row[8]), c.attrValues);
        for (const std::string& e : c.errors) {
            EXPECT_TRUE(trace.contains(e)) << c.attrValues << " wants " << e;
        }
        EXPECT_TRUE(trace.contains("Alert processed: sending status -1"));
    }
    // A column the table does not take, and the alert-emitter's shorter terminator line.
    TraceCapture trace;
    axf::Filter f = alert(kAttrValues);
    f.push_back(eq("REQRC", "-1"));  // the status row still has to pass the request's filter
    EXPECT_EQ(std::get<int64_t>(status("ZOT", f)[1]), -1);
    EXPECT_TRUE(trace.contains("Error: Unrecognized column <REQRC     >"));
    EXPECT_EQ(std::get<int64_t>(status("QEB", alert("p1;p2;p3;_SITNODE=a;_ATTRPREF=x"))[1]), -1);
    EXPECT_TRUE(trace.contains("Error: could not find terminator in <p1;p2;p3;_SITNODE=a;_ATTRPREF=x>"));
    EXPECT_EQ(trace.count("Error: could not find terminator in <p1;p2;p3;_SITNODE=a;_ATTRPREF=x> tok1"), 0);
}

TEST_F(ActionStatusTables, AnAlertTheHubCannotTakeReportsMinusOne) {
    // An origin node longer than an action's subnode may be is refused before it reaches the hub.
    TraceCapture trace;
    std::vector<axf::Value> row = status("ZOT", alert(kAttrValues, std::string(40, 'n') + ":DPT00"));
    EXPECT_EQ(std::get<int64_t>(row[1]), -1);
    EXPECT_TRUE(trace.contains("Error: TRAPEMIT action"));
    // So are action parameters beyond what the hub keeps.
    trace.clear();
    row = status("ZOT", alert("p1;p2;p3;_SITNODE=hostA:DPT00;_ATTRPREF=" + std::string(1100, 'v') + "~"));
    EXPECT_EQ(std::get<int64_t>(row[1]), -1);
    EXPECT_TRUE(trace.contains("Error: TRAPEMIT action"));
}

TEST_F(ActionStatusTables, EventRowsReachTheOpenRequestsOfTheTableThroughItsFilter) {
    axf::SituationDef def;
    def.name = "Trap_Rows";
    def.applName = "ZOT";
    def.tableName = "ZOTACT";
    def.event = true;
    def.filter = {eq("REQRC", "0")};
    ASSERT_TRUE(axf::addSituation(def).ok());

    std::vector<char> rows(2 * kActionStatusRowSize, ' ');
    const int32_t reqrc[2] = {-1, 0};
    for (int i = 0; i < 2; ++i) {
        char* row = rows.data() + i * kActionStatusRowSize;
        fixedTableBase::putField(row, {"sitname", AXF_COLUMN_STRING, 32, 68}, i == 0 ? "Refused" : "Sent");
        std::memcpy(row + 64, &reqrc[i], sizeof reqrc[i]);
    }
    EXPECT_EQ(zotactEventArrived(rows.data(), 2), 0);
    axf::EventBatch batch = axf::readEvents(0, 60);
    ASSERT_EQ(batch.events.size(), 1u);
    EXPECT_EQ(batch.events[0].kind, axf::EventKind::EventRow);
    EXPECT_EQ(batch.events[0].situation, "Trap_Rows");
    EXPECT_EQ(text(batch.events[0].row[2]), "Sent");
    EXPECT_TRUE(axf::removeSituation("Trap_Rows").ok());

    // Without its manager a table takes no rows.
    fixed_tables_release();
    EXPECT_EQ(zotactEventArrived(rows.data(), 2), 0);
    EXPECT_EQ(axf::readEvents(batch.lastSeq, 0).events.size(), 0u);
}

}  // namespace
}  // namespace vorpane::tables
