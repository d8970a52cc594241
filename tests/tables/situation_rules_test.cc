// Situation rules and demand requests: the where clause and the rule attribute list on filter
// elements, and the rule start, rule stop and demand request of a request on a user-data table,
// received by a provider of a real hub in the test process.
#include "tables/situation_rules.h"

#include <gtest/gtest.h>

#include <cstring>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "interfaces/dch_client.h"
#include "metadata/user_data_info.h"
#include "table_fixture.h"
#include "testlib/hub_fixture.h"
#include "testlib/hub_test_client.h"
#include "testlib/trace_capture.h"

namespace vorpane::datapath::testing {
namespace {

using vorpane::tables::buildRuleAttributes;
using vorpane::tables::buildWhereClause;
using vorpane::tables::demandCommand;
using vorpane::testing::TraceCapture;

FLT1_FILTERINFO text(const char* column, int op, std::string value, int logical = 0, int length = -1) {
    FLT1_FILTERINFO f;
    f.columnName.assign(column);
    f.compareOperator = op;
    f.logicalOperator = logical;
    f.dataType = FLT1_TYPE_STRING;
    f.valueLength = length < 0 ? static_cast<int>(value.size()) : length;
    f.value = std::move(value);
    return f;
}

template <typename T>
FLT1_FILTERINFO binary(const char* column, int op, int dataType, T value, int logical = 0) {
    FLT1_FILTERINFO f;
    f.columnName.assign(column);
    f.compareOperator = op;
    f.logicalOperator = logical;
    f.dataType = dataType;
    f.value.assign(reinterpret_cast<const char*>(&value), sizeof value);
    f.valueLength = static_cast<int>(sizeof value);
    return f;
}

// Columns as a layout gives them: ORIGINNODE, Name (string), Count (integer), and VA3 without a name.
std::vector<metadata::attrInfo_t> columns() {
    std::vector<metadata::attrInfo_t> c(4);
    c[0].attrName = "ORIGINNODE";
    c[0].type = metadata::kTypeString;
    c[1].attrName = "Name";
    c[1].type = metadata::kTypeString;
    c[2].attrName = "Count";
    c[2].type = metadata::kTypeInteger;
    c[3].type = metadata::kTypeString;
    return c;
}

std::string where(const std::vector<FLT1_FILTERINFO>& filter, int expected = 1) {
    const std::vector<metadata::attrInfo_t> c = columns();
    std::string clause;
    EXPECT_EQ(buildWhereClause(filter, &c, &clause), expected);
    return clause;
}

// ---------------------------------------------------------------------------------------------------
// The where clause

TEST(WhereClause, ElementsAreJoinedByTheirLogicalOperatorsAndTheLastClosesIt) {
    EXPECT_EQ(where({text("VA1", IntfOper_EQ, "disk1xx", IntfOper_AND, 5),
                     binary<int32_t>("VA2", IntfOper_GE, FLT1_TYPE_LONG, -42, IntfOper_OR),
                     text("VA3", IntfOper_LIKE, "a*")}),
              "WHERE(Name EQ 'disk1' AND Count GE -42 OR VA3 LIKE 'a*')");
    // Without columns every element is named by its column.
    std::string clause;
    EXPECT_EQ(buildWhereClause({text("VA1", IntfOper_NE, "x")}, nullptr, &clause), 1);
    EXPECT_EQ(clause, "WHERE(VA1 NE 'x')");
    // Every operator the provider knows.
    const char* names[] = {"EQ", "NE", "GE", "LE", "LT", "GT", "OR", "AND", "NOT", "LIKE"};
    for (int op = 1; op <= 10; ++op) {
        EXPECT_EQ(where({text("VA1", op, "v")}), std::string("WHERE(Name ") + names[op - 1] + " 'v')");
    }
}

TEST(WhereClause, ValuesAreWrittenByTheirDataType) {
    EXPECT_EQ(where({binary<uint16_t>("VA2", IntfOper_EQ, 2, 65535)}), "WHERE(Count EQ 65535)");
    EXPECT_EQ(where({binary<float>("VA2", IntfOper_LT, 480, 1.5f)}), "WHERE(Count LT 1.500000)");
    EXPECT_EQ(where({binary<int32_t>("VA2", IntfOper_GT, 484, 7)}), "WHERE(Count GT 7)");
    EXPECT_EQ(where({binary<int16_t>("VA2", IntfOper_LE, 500, -3)}), "WHERE(Count LE -3)");
    EXPECT_EQ(where({binary<double>("VA2", IntfOper_EQ, 1000, 2.25)}), "WHERE(Count EQ 2.250000)");
    FLT1_FILTERINFO chars = text("VA1", IntfOper_EQ, "abcdef", 0, 3);
    chars.dataType = FLT1_TYPE_CHAR;
    EXPECT_EQ(where({chars}), "WHERE(Name EQ 'abc')");

    TraceCapture trace;
    EXPECT_EQ(where({binary<int32_t>("VA2", IntfOper_EQ, 999, 1)}), "WHERE(Count EQ )");
    EXPECT_TRUE(trace.contains("Unknown type 999 for column <Count>"));
}

// The provider's side of the quoting: each comparison "<name> <op> <value>", a text value in quotes
// with its quotes doubled, comparisons joined by " AND " / " OR ", the clause closed by ")".
std::vector<std::string> valuesReadBack(const std::string& clause) {
    std::vector<std::string> values;
    std::size_t at = clause.find('(') + 1;
    while (at < clause.size() && clause[at] != ')') {
        at = clause.find(' ', clause.find(' ', at) + 1) + 1;  // past the name and the operator
        std::string value;
        if (clause[at] == '\'') {
            for (++at; at < clause.size(); ++at) {
                if (clause[at] == '\'' && (at + 1 == clause.size() || clause[at + 1] != '\'')) {
                    ++at;
                    break;
                }
                if (clause[at] == '\'') {
                    ++at;
                }
                value.push_back(clause[at]);
            }
        } else {
            while (at < clause.size() && clause[at] != ' ' && clause[at] != ')') {
                value.push_back(clause[at++]);
            }
        }
        values.push_back(value);
        if (clause.compare(at, 5, " AND ") == 0) {
            at += 5;
        } else if (clause.compare(at, 4, " OR ") == 0) {
            at += 4;
        }
    }
    return values;
}

// A text value cannot change the clause: ")", " OR " and quotes in it are read back as the value.
TEST(WhereClause, TextValuesAreQuotedSoTheProviderReadsBackExactlyTheValue) {
    const std::string hostile = "x) OR (Name EQ 'y'";
    const std::string clause = where({text("VA1", IntfOper_EQ, hostile, IntfOper_AND),
                                      binary<int32_t>("VA2", IntfOper_GT, FLT1_TYPE_LONG, 5, IntfOper_OR),
                                      text("VA3", IntfOper_NE, "it's")});
    EXPECT_EQ(clause, "WHERE(Name EQ 'x) OR (Name EQ ''y''' AND Count GT 5 OR VA3 NE 'it''s')");
    EXPECT_EQ(valuesReadBack(clause), (std::vector<std::string>{hostile, "5", "it's"}));
    EXPECT_EQ(valuesReadBack(where({text("VA1", IntfOper_EQ, "")})), std::vector<std::string>{""});
}

TEST(WhereClause, SkippedElementsAddNothingNotEvenTheirJoin) {
    // ORIGINNODE, no compare operator, and columns not named VA<number> are left out.
    EXPECT_EQ(where({text("ORIGINNODE", IntfOper_EQ, "hostA:DPT00", IntfOper_AND), text("VA1", IntfOper_EQ, "x")}),
              "WHERE(Name EQ 'x')");
    EXPECT_EQ(where({text("VA1", 0, "x", IntfOper_AND), text("VAX", IntfOper_EQ, "y", IntfOper_OR),
                     text("filerow", IntfOper_EQ, "z", IntfOper_AND), text("VA", IntfOper_EQ, "w", IntfOper_AND),
                     text("VA3", IntfOper_NE, "q")}),
              "WHERE(VA3 NE 'q')");
    // A skipped last element leaves the clause open on the previous join.
    EXPECT_EQ(where({text("VA1", IntfOper_EQ, "x", IntfOper_AND), text("ORIGINNODE", IntfOper_EQ, "n")}),
              "WHERE(Name EQ 'x' AND ");
    // Nothing usable: no clause.
    EXPECT_EQ(where({text("ORIGINNODE", IntfOper_EQ, "n")}, 0), "WHERE(");
    EXPECT_EQ(where({}, 0), "WHERE(");
}

TEST(WhereClause, UnknownOperatorsAreMarkedAndTracedAndFunctionsHaveNoOperator) {
    TraceCapture trace;
    EXPECT_EQ(where({text("VA1", 11, "x", 9), text("VA3", IntfOper_EQ, "y")}), "WHERE(Name ?? 'x' ?? VA3 EQ 'y')");
    EXPECT_TRUE(trace.contains("Error: Unrecognized where clause compare operator<11>"));
    EXPECT_TRUE(trace.contains("Error: Unrecognized where clause logical operator<9>"));
    FLT1_FILTERINFO function = text("VA1", IntfOper_EQ, "x");
    function.functionType = 3;
    EXPECT_EQ(where({function}), "WHERE(Name'x')");
}

// ---------------------------------------------------------------------------------------------------
// The rule attribute list and the demand commands

TEST(RuleAttributes, PlainComparisonsOnUserDataColumnsBlankSeparated) {
    std::string list;
    FLT1_FILTERINFO function = text("VA3", IntfOper_EQ, "f");
    function.functionType = 2;
    EXPECT_EQ(buildRuleAttributes({text("ORIGINNODE", IntfOper_EQ, "hostA:DPT00", IntfOper_AND),
                                   text("VA1", IntfOper_EQ, "disk1xyz", IntfOper_AND, 5), function,
                                   text("VA1", IntfOper_NE, "ab", IntfOper_OR, 4),
                                   binary<int32_t>("VA2", IntfOper_GT, FLT1_TYPE_LONG, 12)},
                                  columns(), "SIT1", &list),
              0);
    // Strings are cut or padded to their value length; integers written as numbers.
    EXPECT_EQ(list, "(Name EQ disk1) (Name NE ab  ) (Count GT 12)");

    EXPECT_EQ(buildRuleAttributes({text("ORIGINNODE", IntfOper_EQ, "n")}, columns(), "SIT1", &list), 0);
    EXPECT_EQ(list, "");

    TraceCapture trace;
    EXPECT_EQ(buildRuleAttributes({text("VA1", 12, "x")}, columns(), "SIT9", &list), 1);
    EXPECT_TRUE(trace.contains("Error: Unrecognized triplet operator<12> for situation<SIT9>"));
}

TEST(DemandCommand, ReportsSituationsAndHistory) {
    std::string command;
    std::string parms;
    EXPECT_EQ(demandCommand(zot_vorpane_agent::kReport, "", "G", "n", &command, &parms), 0);
    EXPECT_EQ(command, "REPORT_REQUEST");
    EXPECT_EQ(parms, "ATTRGROUP=G");
    EXPECT_EQ(demandCommand(zot_vorpane_agent::kPolledSituation, "SIT1", "G", "n", &command, &parms), 0);
    EXPECT_EQ(command, "SITUATION_REQUEST");
    EXPECT_EQ(parms, "SITNAME=SIT1 ATTRGROUP=G");
    EXPECT_EQ(demandCommand(zot_vorpane_agent::kHistory, "", "G", "n", &command, &parms), 0);
    EXPECT_EQ(parms, "SITNAME=HISTORY ATTRGROUP=G");

    TraceCapture trace;
    EXPECT_EQ(demandCommand(zot_vorpane_agent::kPolledSituation, "", "G", "hostA:DPT00", &command, &parms), 1);
    EXPECT_TRUE(trace.contains("Error: situation name not available for originnode<hostA:DPT00>"));
    EXPECT_EQ(demandCommand(zot_vorpane_agent::kClientReport, "", "G", "hostA:DPT00", &command, &parms), 1);
    EXPECT_TRUE(trace.contains("Error: Received unsupported request type 6 for originnode<hostA:DPT00>"));
}

// ---------------------------------------------------------------------------------------------------
// Requests talking to a provider through a real hub

// A provider that owns source hostA and records the rule (2) and demand (5) actions it receives.
class RecordingProvider {
  public:
    RecordingProvider() {
        int status = 0;
        EXPECT_EQ(_hub.connect(), 0);
        EXPECT_EQ(_hub.dp_waitForAction(&status, tables::kRuleActionType, "hostA"), 0);
        EXPECT_EQ(_hub.dp_waitForAction(&status, tables::kDemandActionType, "hostA"), 0);
        _thread = std::thread([this] {
            DPactionRequest a;
            while (_hub.nextAction(&a, -1) == 0) {
                std::lock_guard<std::mutex> g(_lock);
                _actions.push_back(a);
                _arrived.notify_all();
            }
        });
    }
    ~RecordingProvider() {
        _hub.cancel();
        _thread.join();
    }
    // The first count actions, waiting for them up to a deadline.
    std::vector<DPactionRequest> waitFor(std::size_t count) {
        std::unique_lock<std::mutex> g(_lock);
        _arrived.wait_for(g, std::chrono::seconds(20), [&] { return _actions.size() >= count; });
        return _actions;
    }

  private:
    HubProvider _hub;
    std::thread _thread;
    std::mutex _lock;
    std::condition_variable _arrived;
    std::vector<DPactionRequest> _actions;
};

class SituationRules : public LayoutFixture {
  protected:
    SituationRules() { setSamplesIndex(&_samples); }
    ~SituationRules() override {
        _requests.closeAll();
        if (_manager != nullptr) {
            zot_vorpane_release(_manager);
        }
        setSamplesIndex(nullptr);
    }
    const metadata::userDataInfo& table() {
        metadata::userDataInfo& udi = const_cast<metadata::userDataInfo&>(layout('S'));
        _manager = zot_vorpane_init(udi.applNameRR(), udi.tableNameRR(), &udi, nullptr, 0);
        EXPECT_NE(_manager, nullptr);
        _samples.tablesOfGroup[udi.attrGroup()] = udi.tableNameRR();
        _samples.bringOnline(std::string("hostA:") + udi.applNameRR(), udi.tableNameRR());
        return udi;
    }
    // One row in the store of source hostA.
    void add(const metadata::userDataInfo& udi) {
        rowBuffer row = makeRow("disk1", 11);
        ASSERT_EQ(_samples.store(udi, "hostA").addEntry(kSingleRow, row, 0), 0);
    }
    RequestDetail request(const metadata::userDataInfo& udi, int sampleType, std::string situation) {
        RequestDetail d;
        d.applName = udi.applNameRR();
        d.tableName = udi.tableNameRR();
        d.sampleType = sampleType;
        d.situationName = std::move(situation);
        d.interval = 30;
        d.subnodes = {std::string("hostA:") + udi.applNameRR()};
        d.filter = {text("ORIGINNODE", IntfOper_EQ, d.subnodes[0], IntfOper_AND),
                    text("VA1", IntfOper_EQ, "disk1", IntfOper_AND, 8),
                    binary<int32_t>("VA2", IntfOper_GT, FLT1_TYPE_LONG, 10)};
        return d;
    }

    MemorySamples _samples;
    OpenRequests _requests;
    zot_vorpane_manager* _manager = nullptr;
};

TEST_F(SituationRules, ASituationStartsItsRuleAtTheProviderAndStopsItWhenItEnds) {
    vorpane::testing::TestHub hub;
    ASSERT_TRUE(hub.ready());
    const metadata::userDataInfo& udi = table();
    RecordingProvider provider;

    zot_vorpane_agent& situation = _requests.open(*_manager, request(udi, IntfSampleType_exception, "SIT_DISK"));
    EXPECT_FALSE(situation.hasErrors());
    ASSERT_EQ(situation.numOfSubNodes(), 1);
    const int actionID = situation.subnode(0).actionID;
    EXPECT_GT(actionID, 0);
    std::vector<DPactionRequest> actions = provider.waitFor(1);
    ASSERT_EQ(actions.size(), 1u);
    EXPECT_EQ(actions[0].actionType, 2);
    EXPECT_EQ(actions[0].name, "RULESTART");
    EXPECT_EQ(actions[0].owner, "SIT_DISK");
    EXPECT_EQ(actions[0].node, "hostA:DPT00");
    EXPECT_EQ(actions[0].actionID, actionID);
    EXPECT_EQ(actions[0].parms, "INTERVAL=30 APPLNAME=DPT ATTRGROUP=G ATTRIBUTES=(Name EQ disk1   ) (Count GT 10)");

    // Sampling does not start it again.
    situation.TakeSample();
    _requests.closeAll();
    actions = provider.waitFor(2);
    ASSERT_EQ(actions.size(), 2u);
    EXPECT_EQ(actions[1].name, "RULESTOP");
    EXPECT_EQ(actions[1].owner, "SIT_DISK");
    EXPECT_EQ(actions[1].actionID, actionID);
    EXPECT_EQ(actions[1].parms, "");
}

TEST_F(SituationRules, ADemandReportAsksTheProviderWithAWhereClauseAndDefersTheRequest) {
    vorpane::testing::TestHub hub;
    ASSERT_TRUE(hub.ready());
    const metadata::userDataInfo& udi = table();
    add(udi);
    RecordingProvider provider;

    zot_vorpane_agent& report = _requests.open(*_manager, request(udi, IntfSampleType_demand, ""));
    ASSERT_EQ(report.numOfSubNodes(), 1);
    ASSERT_EQ(report.subnode(0).state, 2);
    report.TakeSample();  // attaches the row store
    const int before = report.NumDataItems();
    std::string clause;
    EXPECT_EQ(report.buildWhereClause(&clause), 1);
    EXPECT_EQ(clause, "WHERE(Name EQ 'disk1' AND Count GT 10)");

    EXPECT_EQ(report.processDemandRequest(0, zot_vorpane_agent::kReport), 0);
    EXPECT_EQ(report.NumDataItems(), before);  // deferred: nothing emitted now
    const std::vector<DPactionRequest> actions = provider.waitFor(1);
    ASSERT_EQ(actions.size(), 1u);
    EXPECT_EQ(actions[0].actionType, 5);
    EXPECT_EQ(actions[0].owner, "NULL");
    EXPECT_EQ(actions[0].name, "REPORT_REQUEST");
    EXPECT_EQ(actions[0].actionID, report.subnode(0).actionID);
    EXPECT_EQ(actions[0].parms, "ATTRGROUP=G WHERE(Name EQ 'disk1' AND Count GT 10)");
}

TEST_F(SituationRules, ADemandThatCannotBeSentEmitsTheStoredRows) {
    // No hub listens on this port.
    vorpane::testing::ScopedEnv port("ZOTA_DCH_PORT", std::to_string(vorpane::testing::freeHubPort()));
    const metadata::userDataInfo& udi = table();
    add(udi);
    zot_vorpane_agent& history = _requests.open(*_manager, request(udi, IntfSampleType_demand, ""));
    history.TakeSample();
    history.ClearCount();
    TraceCapture trace;
    EXPECT_EQ(history.processDemandRequest(0, zot_vorpane_agent::kHistory), 1);
    EXPECT_TRUE(trace.contains("Error: SITUATION_REQUEST request failed for node<hostA:DPT00>"));
    EXPECT_EQ(history.NumDataItems(), 1);
    EXPECT_EQ(history.processDemandRequest(0, zot_vorpane_agent::kPolledSituation), 1);
    EXPECT_TRUE(trace.contains("Error: situation name not available for originnode<hostA:DPT00>"));
}

}  // namespace
}  // namespace vorpane::datapath::testing
