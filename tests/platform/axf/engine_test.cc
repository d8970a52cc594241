// The engine through the facade: registry, reports, situations on the fast clock, event pushes,
// defer and redrive, take-action commands, handles, events and messages.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <set>
#include <thread>

#include "interfaces/axf_facade.h"
#include "interfaces/support.h"
#include "platform/axf/action_runner.h"
#include "platform/axf/engine.h"
#include "platform/axf/event_log.h"
#include "platform/axf/memory_table.h"
#include "testlib/scoped_env.h"
#include "testlib/temp_dir.h"
#include "testlib/trace_capture.h"

namespace {

using vorpane::testing::ScopedSpeedup;

std::vector<axf::MemoryColumn> diskColumns() {
    return {{"ORIGINNODE", "Node_Name", "", AXF_COLUMN_STRING, 32},
            {"VA1", "Mount", "Mount point", AXF_COLUMN_STRING, 16, true},
            {"VA2", "Used_Pct", "Used", AXF_COLUMN_INT32, 4, false, 1}};
}

void registerSubnode(const char* name, const char* appl) {
    ASSERT_EQ(AXF_Subnode_Register(name, "%AFF", appl, "04.10.00"), 0);
    ASSERT_EQ(AXF_Subnode_SendRequest(), 0);
}

// Events after *after until n arrived or realSeconds passed; *after moves on.
std::vector<axf::Event> waitEvents(uint64_t* after, size_t n, double realSeconds = 20) {
    std::vector<axf::Event> got;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(realSeconds);
    while (got.size() < n && std::chrono::steady_clock::now() < deadline) {
        axf::EventBatch b = axf::readEvents(*after, 2.0 * vorpane::clock::speedup());
        for (axf::Event& e : b.events) {
            *after = e.seq;
            got.push_back(std::move(e));
        }
    }
    return got;
}

class Engine : public ::testing::Test {
protected:
    void SetUp() override {
        axf::reset();
        vorpane::setWorkDirectory(_dir.path());
        _disks = std::make_unique<axf::MemoryTable>("DSK01", "DSKTBL01", diskColumns());
        ASSERT_EQ(_disks->registration(), 0);
    }
    void TearDown() override {
        _disks.reset();
        axf::reset();
    }
    vorpane::testing::TempDir _dir;
    std::unique_ptr<axf::MemoryTable> _disks;
};

TEST_F(Engine, RegistryRefusesDuplicatesAndAnswersUnknownTables) {
    axf::MemoryTable twin("DSK01", "DSKTBL01", diskColumns());
    EXPECT_EQ(twin.registration(), AXF_RC_DUPLICATE);
    EXPECT_EQ(RemoteManager::RegisterClass(_disks.get()), 0);  // the same manager again changes nothing
    EXPECT_EQ(RemoteManager::RegisterClass(nullptr), AXF_RC_UNKNOWN);

    RemoteManager* rm = RemoteManager::GetManager();
    EXPECT_EQ(rm->FindTableManager("DSK01", "DSKTBL01"), _disks.get());
    EXPECT_EQ(rm->FindTableManager("DSK01", "NOPE"), nullptr);
    EXPECT_EQ(rm->FindTableManager(nullptr, "DSKTBL01"), nullptr);
    rm->Drop();

    axf::TableDesc d;
    EXPECT_EQ(axf::describeTable("DSK01", "NOPE", &d).code, axf::kNotFound);
    ASSERT_TRUE(axf::describeTable("DSK01", "DSKTBL01", &d).ok());
    ASSERT_EQ(d.columns.size(), 3u);
    EXPECT_EQ(d.columns[1].name, "VA1");
    EXPECT_EQ(d.columns[1].attrName, "Mount");
    EXPECT_EQ(d.columns[1].caption, "Mount point");
    EXPECT_TRUE(d.columns[1].key);
    EXPECT_EQ(d.columns[1].length, 16);
    EXPECT_EQ(d.columns[1].offset, 32);
    EXPECT_EQ(d.columns[2].valueType, axf::ValueType::Integer);
    EXPECT_EQ(d.columns[2].scale, 1);
    auto tables = axf::listTables();
    ASSERT_EQ(tables.size(), 1u);  // the twin was refused
    EXPECT_EQ(tables[0].tableName, "DSKTBL01");
}

TEST_F(Engine, ReportsReturnTypedRowsOfTheNamedSubnodes) {
    ASSERT_TRUE(_disks->addRow({"h1:DSK01", "/var", "975"}));
    ASSERT_TRUE(_disks->addRow({"h2:DSK01", "/home", "-5"}));
    axf::ReportResult r = axf::runReport({"DSK01", "DSKTBL01", {"h1:DSK01"}});
    ASSERT_TRUE(r.status.ok()) << r.status.message;
    ASSERT_EQ(r.columns.size(), 3u);
    ASSERT_EQ(r.rows.size(), 1u);
    EXPECT_EQ(std::get<std::string>(r.rows[0][0]), "h1:DSK01");
    EXPECT_EQ(std::get<std::string>(r.rows[0][1]), "/var");
    EXPECT_EQ(std::get<int64_t>(r.rows[0][2]), 975);
    // The same values read in place: text without a copy, integers decoded; nothing past the columns.
    const axf::ReportRows::Row row = r.rows[0];
    EXPECT_EQ(row.size(), 3u);
    EXPECT_EQ(row.text(0), "h1:DSK01");
    EXPECT_FALSE(row.isInteger(1));
    EXPECT_EQ(row.integer(1), 0);
    EXPECT_TRUE(row.isInteger(2));
    EXPECT_EQ(row.integer(2), 975);
    EXPECT_EQ(row.text(2), "");
    EXPECT_EQ(row.text(3), "");
    EXPECT_EQ(row[3], axf::Value(std::string()));
    EXPECT_EQ(std::string(row.image() + 32, 4), "/var");
    EXPECT_EQ(r.rows.rowSize(), 52);
    int seen = 0;
    for (const axf::ReportRows::Row each : r.rows) {
        EXPECT_EQ(each.text(1), "/var");
        ++seen;
    }
    EXPECT_EQ(seen, 1);

    // Without subnodes: the registered subnodes of the application (the table's name carries the release).
    registerSubnode("h2:DSK01", "DSK");
    r = axf::runReport({"DSK01", "DSKTBL01", {}});
    ASSERT_TRUE(r.status.ok());
    ASSERT_EQ(r.rows.size(), 1u);
    EXPECT_EQ(std::get<int64_t>(r.rows[0][2]), -5);
    EXPECT_GE(_disks->samplesTaken(), 2);
}

TEST_F(Engine, DeferredReportCompletesWhenRedrivenAndFailsAfterItsTimeout) {
    ASSERT_TRUE(_disks->addRow({"h1:DSK01", "/var", "975"}));
    _disks->deferSamples(1);
    axf::ReportResult r;
    std::thread t([&] { r = axf::runReport({"DSK01", "DSKTBL01", {"h1:DSK01"}}); });
    ASSERT_TRUE(_disks->waitForDeferred(1, 20));
    EXPECT_EQ(_disks->redriveAll(), 1);
    t.join();
    ASSERT_TRUE(r.status.ok()) << r.status.message;
    EXPECT_EQ(r.rows.size(), 1u);
    EXPECT_EQ(_disks->samplesTaken(), 2);  // the deferred sample and the one after the redrive

    ScopedSpeedup fast(100);
    _disks->deferSamples(1);
    axf::ReportQuery q{"DSK01", "DSKTBL01", {"h1:DSK01"}};
    q.timeoutSeconds = 5;
    r = axf::runReport(q);
    EXPECT_EQ(r.status.code, axf::kTimeout);
    EXPECT_NE(r.status.message.find("never redriven"), std::string::npos) << r.status.message;
    EXPECT_TRUE(r.rows.empty());
    // The timed-out request is gone: a redrive finds nothing waiting.
    EXPECT_EQ(_disks->redriveAll(), 0);
}

// A table written for the scheduling test: its rows depend on the sample number, and it records the
// clock time of every sample.
class ScriptedTable : public TableManager {
public:
    ScriptedTable(std::set<int> firing) : TableManager("SCR01", "SCRTBL01"), _firing(std::move(firing)) {
        RemoteManager::RegisterClass(this);
    }
    ~ScriptedTable() override { Shutdown(0); }
    std::unique_ptr<plaxf> CreatePlaxf(RequestDetail* d, ContextInfo* c) override {
        return std::make_unique<Request>(d, c, this);
    }
    std::vector<double> times() {
        std::lock_guard<std::mutex> g(_m);
        return _times;
    }
    std::vector<std::pair<unsigned long, plaxf*>> sampled() {
        std::lock_guard<std::mutex> g(_m);
        return _sampled;
    }

private:
    class Request : public plaxf {
    public:
        Request(RequestDetail* d, ContextInfo* c, ScriptedTable* t) : plaxf(d, c, t), _t(t) { SetRowSize(36); }
        void TakeSample() override {
            int n;
            {
                std::lock_guard<std::mutex> g(_t->_m);
                _t->_times.push_back(vorpane::clock::now());
                _t->_sampled.emplace_back(Handle(), this);
                n = static_cast<int>(_t->_times.size());
            }
            if (_t->_firing.count(n) != 0) {
                char row[36] = "h1:SCR01";
                int32_t v = n;
                std::memcpy(row + 32, &v, 4);
                InsertRow(row);
            }
        }
        int NumColumns() override { return 2; }
        int GetColumnInfo(ColumnInfo* info, int colno) override {
            if (colno == 0) {
                info->name.assign("ORIGINNODE");
                info->type = AXF_COLUMN_STRING;
                info->length = 32;
                return 0;
            }
            if (colno == 1) {
                info->name.assign("VA1");
                info->type = AXF_COLUMN_INT32;
                info->offset = 32;
                info->length = 4;
                return 0;
            }
            return plaxf::GetColumnInfo(info, colno);
        }

    private:
        ScriptedTable* _t;
    };
    std::mutex _m;
    std::vector<double> _times;
    std::vector<std::pair<unsigned long, plaxf*>> _sampled;  // handle and request of every sample
    std::set<int> _firing;
};

TEST_F(Engine, SituationSamplesEveryIntervalOnTheFastClock) {
    ScopedSpeedup fast(200);  // 60 seconds pass in 0.3 s
    ScriptedTable table({2, 3});  // rows at the 2nd and 3rd samples only
    uint64_t after = axf::readEvents(0, 0).lastSeq;
    axf::SituationDef def{"Scripted_Sit", "SCR01", "SCRTBL01", {}, 60};
    def.subnodes = {"h1:SCR01"};
    double start = vorpane::clock::now();
    ASSERT_TRUE(axf::addSituation(def).ok());
    ASSERT_TRUE(axf::detail::waitForSituation(
        "Scripted_Sit", [](const axf::SituationStatus& s) { return s.samples >= 4; }, 30));
    std::vector<axf::Event> events = waitEvents(&after, 2);
    ASSERT_TRUE(axf::removeSituation("Scripted_Sit").ok());

    std::vector<double> t = table.times();
    ASSERT_GE(t.size(), 4u);
    for (size_t k = 0; k < 4; ++k) {
        // Due at the start and every 60 seconds after it, whatever the lateness of the samples before:
        // never early, and taken before the next one is due (on this fast clock a loaded machine's
        // wake-up alone is worth many seconds, so lateness within the interval is not asserted).
        EXPECT_GE(t[k] - start, 60.0 * static_cast<double>(k) - 0.5) << k;
        EXPECT_LT(t[k] - start, 60.0 * static_cast<double>(k + 1)) << k;
    }
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].kind, axf::EventKind::SituationRaised);  // at the 2nd sample, not again at the 3rd
    EXPECT_EQ(events[0].situation, "Scripted_Sit");
    EXPECT_EQ(events[0].subnode, "h1:SCR01");
    ASSERT_EQ(events[0].row.size(), 2u);
    EXPECT_EQ(std::get<int64_t>(events[0].row[1]), 2);
    EXPECT_NEAR(static_cast<double>(events[0].time), t[1], 30.0);
    EXPECT_EQ(events[1].kind, axf::EventKind::SituationCleared);  // at the 4th
    EXPECT_NEAR(static_cast<double>(events[1].time), t[3], 30.0);
    EXPECT_LT(events[0].seq, events[1].seq);
}

TEST_F(Engine, SituationStatesPerSubnodeAndAtomicValue) {
    ScopedSpeedup fast(200);
    ASSERT_TRUE(_disks->addRow({"h1:DSK01", "/var", "975"}));
    ASSERT_TRUE(_disks->addRow({"h1:DSK01", "/tmp", "990"}));
    ASSERT_TRUE(_disks->addRow({"h2:DSK01", "/var", "100"}));
    axf::SituationDef def{"Disk_Full", "DSK01", "DSKTBL01", {{"VA2", axf::CompareOp::GT, "90"}}, 60};
    def.subnodes = {"h1:DSK01", "h2:DSK01"};
    def.atomicColumn = "Mount";
    ASSERT_TRUE(axf::addSituation(def).ok());
    ASSERT_TRUE(axf::detail::waitForSituation("Disk_Full", [](const axf::SituationStatus& s) { return s.samples >= 1; }, 30));
    axf::SituationStatus st;
    ASSERT_TRUE(axf::situationStatus("Disk_Full", &st).ok());
    ASSERT_EQ(st.states.size(), 2u);
    std::set<std::string> raised;
    for (const auto& s : st.states) {
        EXPECT_TRUE(s.raised);
        EXPECT_EQ(s.subnode, "h1:DSK01");
        raised.insert(s.atomicValue);
    }
    EXPECT_EQ(raised, (std::set<std::string>{"/tmp", "/var"}));
    ASSERT_EQ(axf::listSituations().size(), 1u);
    EXPECT_EQ(axf::listSituations()[0].atomicColumn, "Mount");
}

TEST_F(Engine, SituationsAreRefusedWithTheReason) {
    axf::SituationDef def{"Bad_Column", "DSK01", "DSKTBL01", {{"VA9", axf::CompareOp::EQ, "1"}}, 60};
    axf::Status s = axf::addSituation(def);
    EXPECT_EQ(s.code, axf::kInvalid);
    EXPECT_NE(s.message.find("unknown column <VA9>"), std::string::npos) << s.message;

    def = axf::SituationDef{"No_Interval", "DSK01", "DSKTBL01", {}, 0};
    s = axf::addSituation(def);
    EXPECT_EQ(s.code, axf::kInvalid);
    EXPECT_NE(s.message.find("interval"), std::string::npos) << s.message;

    EXPECT_EQ(axf::addSituation({"bad name!", "DSK01", "DSKTBL01", {}, 60}).code, axf::kInvalid);
    EXPECT_EQ(axf::addSituation({"No_Table", "DSK01", "NOPE", {}, 60}).code, axf::kNotFound);
    def = axf::SituationDef{"Bad_Atomic", "DSK01", "DSKTBL01", {}, 60};
    def.atomicColumn = "VA7";
    EXPECT_EQ(axf::addSituation(def).code, axf::kInvalid);

    ASSERT_TRUE(axf::addSituation({"Twice", "DSK01", "DSKTBL01", {}, 60}).ok());
    EXPECT_EQ(axf::addSituation({"Twice", "DSK01", "DSKTBL01", {}, 60}).code, axf::kExists);
    EXPECT_EQ(axf::removeSituation("Nope").code, axf::kNotFound);
    axf::SituationStatus st;
    EXPECT_EQ(axf::situationStatus("Nope", &st).code, axf::kNotFound);
    EXPECT_EQ(axf::listSituations().size(), 1u);

    // A table that shuts down ends its situations and leaves the registry.
    EXPECT_EQ(_disks->Shutdown(AXF_SHUTDOWN_PRIOR_RELEASE), 0);
    EXPECT_TRUE(axf::listSituations().empty());
    EXPECT_EQ(axf::runReport({"DSK01", "DSKTBL01", {}}).status.code, axf::kNotFound);
}

TEST_F(Engine, EventRowsReachEveryOpenRequest) {
    uint64_t after = axf::readEvents(0, 0).lastSeq;
    axf::SituationDef all{"All_Events", "DSK01", "DSKTBL01", {}, 0, true};
    all.subnodes = {"h1:DSK01"};
    axf::SituationDef full{"Full_Events", "DSK01", "DSKTBL01", {{"VA2", axf::CompareOp::GE, "90"}}, 0, true};
    full.subnodes = {"h1:DSK01"};
    ASSERT_TRUE(axf::addSituation(all).ok());
    ASSERT_TRUE(axf::addSituation(full).ok());
    // A sampled situation on the same table is open too, and ignores pushed rows.
    ASSERT_TRUE(axf::addSituation({"Sampled", "DSK01", "DSKTBL01", {{"VA1", axf::CompareOp::EQ, "/none"}}, 600}).ok());

    EXPECT_EQ(_disks->pushEvent({"h1:DSK01", "/var", "950"}), 0);
    EXPECT_EQ(_disks->pushEvent({"h1:DSK01", "/tmp", "100"}), 0);
    EXPECT_EQ(_disks->pushEvent({"h1:DSK01", std::string(17, 'x'), "1"}), -1);  // does not fit
    std::vector<axf::Event> events = waitEvents(&after, 3);
    ASSERT_EQ(events.size(), 3u);
    std::multiset<std::string> seen;
    for (const auto& e : events) {
        EXPECT_EQ(e.kind, axf::EventKind::EventRow);
        seen.insert(e.situation + " " + std::get<std::string>(e.row[1]));
    }
    EXPECT_EQ(seen, (std::multiset<std::string>{"All_Events /tmp", "All_Events /var", "Full_Events /var"}));
    axf::SituationStatus st;
    ASSERT_TRUE(axf::situationStatus("Full_Events", &st).ok());
    ASSERT_EQ(st.states.size(), 1u);
    EXPECT_TRUE(st.states[0].raised);
}

// The command callback of the tests: records what the capsule shows.
struct Seen {
    std::mutex m;
    std::condition_variable cv;
    int calls = 0;
    std::string command, user, table, situation, origin, subnode;
    long result = 7;
};
Seen g_seen;
constexpr long kCallbackActionId = 9001;

long recordingCallback(PlaxfAutomationCapsule* capsule) {
    plaxf* r = capsule->Request();
    ColumnInfo info;
    std::string origin;
    if (r->GetColumnInfoByName(&info, "ORIGINNODE") == 0 && r->Data(capsule->DataRowNum()) != nullptr) {
        origin = axf::detail::fieldText(r->Data(capsule->DataRowNum()) + info.offset, info.length);
    }
    r->ResetGetSubnode();
    std::string subnode = r->GetSubnode();
    long result;
    {
        std::lock_guard<std::mutex> g(g_seen.m);
        ++g_seen.calls;
        g_seen.command = capsule->Command();
        g_seen.user = capsule->User();
        g_seen.table = r->TableName();
        g_seen.situation = r->SituationName();
        g_seen.origin = origin;
        g_seen.subnode = subnode;
        result = g_seen.result;
    }
    g_seen.cv.notify_all();
    capsule->SetActionId(kCallbackActionId);
    capsule->SetResults(result);
    r->FinishedAutomationCommand(capsule);
    return result;
}

TEST_F(Engine, FiringRowsSendTheTakeActionToTheCommandCallback) {
    ScopedSpeedup fast(200);
    {
        std::lock_guard<std::mutex> g(g_seen.m);
        g_seen.calls = 0;
        g_seen.result = 7;
    }
    AXF_RegisterCommandCallback("*", recordingCallback);
    ASSERT_TRUE(_disks->addRow({"h1:DSK01", "/var", "975"}));
    axf::SituationDef def{"Disk_Act", "DSK01", "DSKTBL01", {{"VA2", axf::CompareOp::GT, "90"}}, 60};
    def.subnodes = {"h1:DSK01"};
    def.action = "Vorpane_Message CAT=disk SEV=2 MSG=full";
    ASSERT_TRUE(axf::addSituation(def).ok());
    ASSERT_TRUE(axf::detail::waitForSituation(
        "Disk_Act",
        [](const axf::SituationStatus& s) { return !s.states.empty() && s.states[0].actions == 1; }, 30));
    {
        std::lock_guard<std::mutex> g(g_seen.m);
        EXPECT_EQ(g_seen.calls, 1);
        EXPECT_EQ(g_seen.command, def.action);
        EXPECT_EQ(g_seen.situation, "Disk_Act");
        EXPECT_EQ(g_seen.table, "DSKTBL01");
        EXPECT_EQ(g_seen.origin, "h1:DSK01");
    }
    axf::SituationStatus st;
    ASSERT_TRUE(axf::situationStatus("Disk_Act", &st).ok());
    EXPECT_EQ(st.states[0].lastActionResult, 7);
    // While the state stays raised, later samples send no further command.
    ASSERT_TRUE(axf::detail::waitForSituation("Disk_Act", [](const axf::SituationStatus& s) { return s.samples >= 3; }, 30));
    ASSERT_TRUE(axf::situationStatus("Disk_Act", &st).ok());
    EXPECT_EQ(st.states[0].actions, 1);

    // A policy action from the facade: table QNACTRMT, the subnodes named, the callback's result.
    {
        std::lock_guard<std::mutex> g(g_seen.m);
        g_seen.result = 3;
    }
    axf::ActionResult a = axf::runAction({"Local_Action echo hi", {"h1:DSK01"}, "admin ops"});
    ASSERT_TRUE(a.status.ok());
    EXPECT_EQ(a.result, 3);
    EXPECT_EQ(a.actionId, kCallbackActionId);  // the identifier the callback gave it
    {
        std::lock_guard<std::mutex> g(g_seen.m);
        EXPECT_EQ(g_seen.table, "QNACTRMT");
        EXPECT_EQ(g_seen.subnode, "h1:DSK01");
        EXPECT_EQ(g_seen.user, "admin ops");
    }
    EXPECT_EQ(axf::runAction({"Local_Action x", {}, ""}).status.code, axf::kInvalid);
    EXPECT_EQ(axf::runAction({"", {"h1:DSK01"}, ""}).status.code, axf::kInvalid);
}

TEST_F(Engine, ActionWithoutACallbackIsRefused) {
    AXF_RegisterCommandCallback("ONLY_THIS", recordingCallback);
    EXPECT_EQ(axf::runAction({"Other_Action", {"h1:DSK01"}, ""}).status.code, axf::kNotFound);
    {
        std::lock_guard<std::mutex> g(g_seen.m);
        g_seen.result = 0;
    }
    EXPECT_TRUE(axf::runAction({"ONLY_THIS now", {"h1:DSK01"}, ""}).status.ok());
}

TEST_F(Engine, HandlesAreValidWhileTheRequestIsOpen) {
    ASSERT_TRUE(axf::addSituation({"Keep", "DSK01", "DSKTBL01", {}, 600, true}).ok());
    ASSERT_TRUE(axf::addSituation({"Gone", "DSK01", "DSKTBL01", {}, 600, true}).ok());
    plaxf* keep = nullptr;
    unsigned long goneHandle = 0;
    if (_disks->lock() != 0) {
        FAIL() << "lock";
    }
    PlaxfListIter it(_disks.get());
    for (plaxf* p = it.Next(); p != nullptr; p = it.Next()) {
        if (std::string(p->SituationName()) == "Keep") {
            keep = p;
        } else {
            goneHandle = p->Handle();
        }
    }
    _disks->unlock();
    ASSERT_NE(keep, nullptr);
    ASSERT_NE(goneHandle, 0u);
    EXPECT_NE(keep->Handle(), goneHandle);

    EXPECT_EQ(keep->UseHandle(keep->Handle()), 0);
    keep->Drop();
    EXPECT_EQ(keep->UseHandle(goneHandle), AXF_RC_UNKNOWN);  // a handle of another request
    plaxf* gone = plaxf::PinHandle(goneHandle);  // while open, the handle finds its request
    ASSERT_NE(gone, nullptr);
    EXPECT_STREQ(gone->SituationName(), "Gone");
    gone->Drop();
    ASSERT_TRUE(axf::removeSituation("Gone").ok());
    EXPECT_EQ(keep->UseHandle(goneHandle), AXF_RC_UNKNOWN);  // dropped with its request
    EXPECT_EQ(plaxf::PinHandle(goneHandle), nullptr);  // a closed request's handle finds nothing
    EXPECT_EQ(keep->UseHandle(0), AXF_RC_UNKNOWN);

    // A pinned request outlives its removal until Drop.
    ASSERT_EQ(keep->UseHandle(keep->Handle()), 0);
    std::thread remover([] { EXPECT_TRUE(axf::removeSituation("Keep").ok()); });
    EXPECT_STREQ(keep->SituationName(), "Keep");  // still alive: the remover waits for the pin
    keep->Drop();
    remover.join();
    EXPECT_TRUE(axf::listSituations().empty());

    // A report's request is closed when the report returns: its handle is refused from then on.
    ScriptedTable table({1});
    ASSERT_TRUE(axf::runReport({"SCR01", "SCRTBL01", {"h1:SCR01"}}).status.ok());
    std::vector<std::pair<unsigned long, plaxf*>> sampled = table.sampled();
    ASSERT_EQ(sampled.size(), 1u);
    EXPECT_NE(sampled[0].first, 0u);
    EXPECT_EQ(plaxf::PinHandle(sampled[0].first), nullptr);
}

TEST_F(Engine, SituationsFollowTheSubnodesOfTheirApplication) {
    ScopedSpeedup fast(200);
    ASSERT_TRUE(_disks->addRow({"h3:DSK01", "/var", "975"}));
    uint64_t after = axf::readEvents(0, 0).lastSeq;
    ASSERT_TRUE(axf::addSituation({"Follow", "DSK01", "DSKTBL01", {}, 60}).ok());
    registerSubnode("h3:DSK01", "DSK");
    std::vector<axf::Event> events = waitEvents(&after, 1);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].kind, axf::EventKind::SituationRaised);
    EXPECT_EQ(events[0].subnode, "h3:DSK01");
    auto nodes = axf::listSubnodes();
    ASSERT_EQ(nodes.size(), 1u);
    EXPECT_GT(nodes[0].since, 0);
    EXPECT_EQ(nodes[0].applName, "DSK");
}

// An event situation that follows its application's subnodes reopens its request whenever they
// change; rows pushed meanwhile are evaluated by exactly one of the two requests.
TEST_F(Engine, EventRowsAreEvaluatedOnceWhileASituationMovesToNewSubnodes) {
    registerSubnode("h1:DSK01", "DSK");
    uint64_t after = axf::readEvents(0, 0).lastSeq;
    ASSERT_TRUE(axf::addSituation({"Moving", "DSK01", "DSKTBL01", {}, 0, true}).ok());
    std::atomic<bool> registering{true};
    int pushed = 0;
    std::thread pusher([&] {
        while (registering.load() || pushed < 200) {
            ASSERT_EQ(_disks->pushEvent({"h1:DSK01", "/r" + std::to_string(pushed++), "1"}), 0);
        }
        ASSERT_EQ(_disks->pushEvent({"h1:DSK01", "/last", "1"}), 0);
    });
    for (int i = 2; i <= 40; ++i) {
        registerSubnode(("h" + std::to_string(i) + ":DSK01").c_str(), "DSK");
    }
    registering.store(false);
    pusher.join();

    std::multiset<std::string> mounts;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (mounts.count("/last") == 0 && std::chrono::steady_clock::now() < deadline) {
        for (const axf::Event& e : waitEvents(&after, 1)) {
            if (e.kind == axf::EventKind::EventRow) {
                mounts.insert(std::get<std::string>(e.row[1]));
            }
        }
    }
    ASSERT_EQ(mounts.count("/last"), 1u);
    EXPECT_EQ(mounts.size(), static_cast<size_t>(pushed) + 1);
    for (int i = 0; i < pushed; ++i) {
        ASSERT_EQ(mounts.count("/r" + std::to_string(i)), 1u) << "row " << i << " of " << pushed;
    }
}

TEST_F(Engine, EventsAndMessagesAreReadAfterASequenceNumber) {
    ScopedSpeedup fast(100);
    axf::EventBatch b = axf::readEvents(0, 1.0);  // nothing yet: returns after the wait
    EXPECT_TRUE(b.events.empty());
    EXPECT_EQ(b.lastSeq, 0u);

    for (int i = 0; i < 1005; ++i) {
        AXF_CreateMessage("1", "CAT", ("message " + std::to_string(i)).c_str(), 0);
    }
    auto m = axf::readMessages(0, 5000);
    ASSERT_EQ(m.size(), axf::kMessagesKept);
    EXPECT_EQ(m.front().seq, 6u);
    EXPECT_EQ(m.front().text, "message 5");
    EXPECT_EQ(m.back().seq, 1005u);
    m = axf::readMessages(1003, 10);
    ASSERT_EQ(m.size(), 2u);
    EXPECT_EQ(m[0].text, "message 1003");
    EXPECT_TRUE(axf::readMessages(1005, 10).empty());
    EXPECT_EQ(axf::readMessages(100, 3).size(), 3u);
}

TEST_F(Engine, TwoByteIntegerColumnsAreReadAndFiltered) {
    axf::MemoryTable shorts("SHT01", "SHTTBL01",
                            {{"ORIGINNODE", "Node_Name", "", AXF_COLUMN_STRING, 32},
                             {"VA1", "Small", "", AXF_COLUMN_INT16, 2},
                             {"VA2", "Tag", "", AXF_COLUMN_STRING, 4}});
    ASSERT_EQ(shorts.registration(), 0);
    ASSERT_TRUE(shorts.addRow({"h1:SHT01", "-1234", "neg"}));
    ASSERT_TRUE(shorts.addRow({"h1:SHT01", "32767", "max"}));
    axf::ReportResult r = axf::runReport({"SHT01", "SHTTBL01", {"h1:SHT01"}});
    ASSERT_TRUE(r.status.ok()) << r.status.message;
    ASSERT_EQ(r.columns.size(), 3u);
    EXPECT_EQ(r.columns[1].type, AXF_COLUMN_INT16);
    EXPECT_EQ(r.columns[1].valueType, axf::ValueType::Integer);
    EXPECT_EQ(r.columns[2].offset, 34);  // the 2-byte column takes 2 bytes of the row
    ASSERT_EQ(r.rows.size(), 2u);
    EXPECT_EQ(r.rows[0][1], axf::Value(int64_t{-1234}));
    EXPECT_EQ(r.rows[0].text(2), "neg");
    EXPECT_EQ(r.rows[1].integer(1), 32767);
    // A filter compares the 2-byte value widened.
    axf::ReportQuery q{"SHT01", "SHTTBL01", {"h1:SHT01"}};
    q.filter = {{"Small", axf::CompareOp::LT, "0"}};
    r = axf::runReport(q);
    ASSERT_TRUE(r.status.ok()) << r.status.message;
    ASSERT_EQ(r.rows.size(), 1u);
    EXPECT_EQ(r.rows[0].integer(1), -1234);
    q.filter = {{"Small", axf::CompareOp::GT, "32768"}};
    EXPECT_EQ(axf::runReport(q).status.code, axf::kInvalid);  // beyond a 2-byte value
}

TEST_F(Engine, PlaxfAnswerGrowsAndIsBounded) {
    RequestDetail d;
    d.applName = "DSK01";
    d.tableName = "DSKTBL01";
    d.subnodes = {"a", "b"};
    d.instructions = "AUTO(Local_Action x)";
    d.history = true;
    std::unique_ptr<plaxf> p = _disks->CreatePlaxf(&d, nullptr);
    EXPECT_TRUE(p->IsAutomationRequest());
    EXPECT_TRUE(p->IsHistoryRequest());
    EXPECT_STREQ(p->GetSubnode(), "a");
    EXPECT_STREQ(p->GetSubnode(), "b");
    EXPECT_STREQ(p->GetSubnode(), "");
    p->ResetGetSubnode();
    EXPECT_STREQ(p->GetSubnode(), "a");
    p->SetAllocationDefault(2);
    EXPECT_EQ(p->AllocationDefault(), 2);
    std::vector<char> row = _disks->rowImage({"a", "/x", "1"});
    for (int i = 0; i < 100; ++i) {
        row[32] = static_cast<char>(i);
        ASSERT_EQ(p->InsertRow(row.data()), 0);
    }
    EXPECT_EQ(p->NumDataItems(), 100);
    EXPECT_GE(p->NumRowsAllocated(), 100);
    EXPECT_EQ(p->Data(57)[32], 57);
    EXPECT_EQ(p->Data(100), nullptr);
    EXPECT_EQ(p->Data(-1), nullptr);
    p->ClearCount();
    EXPECT_EQ(p->NumDataItems(), 0);
    ColumnInfo info;
    EXPECT_EQ(p->GetColumnInfo(&info, 3), AXF_RC_BAD_COLUMN);
    EXPECT_EQ(p->GetColumnInfoByName(&info, "va2"), 0);
    EXPECT_EQ(info.offset, 48);
    EXPECT_EQ(p->GetColumnInfoByName(&info, "VA9"), AXF_RC_BAD_COLUMN);
    // A request the framework never opened has no handle to use.
    EXPECT_EQ(p->UseHandle(p->Handle()), AXF_RC_UNKNOWN);
}

// A table of which every sample holds until four samples are under way at once, or until a real
// deadline; it remembers the most it saw at once.
struct Meeting {
    std::mutex m;
    std::condition_variable cv;
    int inside = 0;
    int most = 0;
};

class MeetingTable : public TableManager {
public:
    MeetingTable(const std::string& appl, Meeting& meeting)
        : TableManager(appl.c_str(), "MEETTBL"), _meeting(meeting) {
        RemoteManager::RegisterClass(this);
    }
    ~MeetingTable() override { Shutdown(0); }
    std::unique_ptr<plaxf> CreatePlaxf(RequestDetail* d, ContextInfo* c) override {
        return std::make_unique<Request>(d, c, this);
    }

private:
    class Request : public plaxf {
    public:
        Request(RequestDetail* d, ContextInfo* c, MeetingTable* t) : plaxf(d, c, t), _meeting(t->_meeting) {
            SetRowSize(32);
        }
        void TakeSample() override {
            std::unique_lock<std::mutex> g(_meeting.m);
            _meeting.most = std::max(_meeting.most, ++_meeting.inside);
            _meeting.cv.notify_all();
            _meeting.cv.wait_for(g, std::chrono::seconds(10), [&] { return _meeting.most >= 4; });
            --_meeting.inside;
        }
        int NumColumns() override { return 1; }
        int GetColumnInfo(ColumnInfo* info, int colno) override {
            if (colno != 0) {
                return plaxf::GetColumnInfo(info, colno);
            }
            info->name.assign("ORIGINNODE");
            info->type = AXF_COLUMN_STRING;
            info->length = 32;
            return 0;
        }

    private:
        Meeting& _meeting;
    };
    Meeting& _meeting;
};

TEST_F(Engine, FourSamplesOfDifferentTablesRunAtOnce) {
    Meeting meeting;
    std::vector<std::unique_ptr<MeetingTable>> tables;
    for (int i = 0; i < 4; ++i) {
        tables.push_back(std::make_unique<MeetingTable>("MEET" + std::to_string(i), meeting));
        axf::SituationDef def{"Meet_" + std::to_string(i), tables.back()->ApplicationName(), "MEETTBL", {}, 600};
        def.subnodes = {"h1:MEET"};
        ASSERT_TRUE(axf::addSituation(def).ok());
    }
    for (int i = 0; i < 4; ++i) {
        ASSERT_TRUE(axf::detail::waitForSituation(
            "Meet_" + std::to_string(i), [](const axf::SituationStatus& s) { return s.samples >= 1; }, 30));
    }
    // Three samples that hold their workers did not keep the fourth from starting.
    std::lock_guard<std::mutex> g(meeting.m);
    EXPECT_EQ(meeting.most, 4);
}

TEST_F(Engine, ReadEventsWaitsForANewEventOnlyWhenTheCallerHasEveryOne) {
    axf::SituationDef def{"Ev_Wait", "DSK01", "DSKTBL01", {}, 0, true};
    def.subnodes = {"h1:DSK01"};
    ASSERT_TRUE(axf::addSituation(def).ok());
    ASSERT_EQ(_disks->pushEvent({"h1:DSK01", "/var", "1"}), 0);
    const uint64_t last = axf::readEvents(0, 0).lastSeq;
    ASSERT_GE(last, 1u);

    // Nothing newer: the wait runs to its end.
    double start = vorpane::clock::now();
    axf::EventBatch b = axf::readEvents(last, 0.3);
    EXPECT_GE(vorpane::clock::now() - start, 0.29);
    EXPECT_TRUE(b.events.empty());
    EXPECT_EQ(b.lastSeq, last);

    // A caller that lacks an event gets it at once, whatever the wait.
    auto began = std::chrono::steady_clock::now();
    b = axf::readEvents(last - 1, 60);
    EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::seconds(30));
    ASSERT_EQ(b.events.size(), 1u);
    EXPECT_EQ(b.events[0].seq, last);

    // A reader that waits gets the next event as it arrives.
    axf::EventBatch got;
    began = std::chrono::steady_clock::now();
    std::thread reader([&] { got = axf::readEvents(last, 60); });
    EXPECT_TRUE(axf::detail::waitForEventReaders(1, 20));
    EXPECT_EQ(_disks->pushEvent({"h1:DSK01", "/tmp", "2"}), 0);
    reader.join();
    EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::seconds(30));
    ASSERT_EQ(got.events.size(), 1u);
    EXPECT_EQ(got.events[0].seq, last + 1);
    EXPECT_EQ(std::get<std::string>(got.events[0].row[1]), "/tmp");
}

TEST_F(Engine, EventNumbersKeepGrowingWhenTheAgentStartsAgain) {
    axf::SituationDef def{"Ev_Seq", "DSK01", "DSKTBL01", {}, 0, true};
    def.subnodes = {"h1:DSK01"};
    uint64_t before = 0;
    for (int run = 0; run < 3; ++run) {
        ASSERT_TRUE(axf::addSituation(def).ok());
        // A new process knows at least the numbers its predecessor handed out, before any event.
        EXPECT_GE(axf::readEvents(0, 0).lastSeq, before) << run;
        for (int i = 0; i < 3; ++i) {
            ASSERT_EQ(_disks->pushEvent({"h1:DSK01", "/var", std::to_string(i)}), 0);
        }
        axf::EventBatch b = axf::readEvents(before, 0);
        ASSERT_EQ(b.events.size(), 3u) << run;
        EXPECT_GT(b.events[0].seq, before) << run;
        EXPECT_EQ(b.events[2].seq, b.events[0].seq + 2);
        before = b.lastSeq;
        // The agent stops and starts again with the same work directory: the framework forgets its
        // events and its numbers, the file keeps the mark.
        axf::reset();
    }
    EXPECT_EQ(_dir.read(axf::detail::kEventSequenceFile), std::to_string(before - 3 + axf::detail::kEventSequenceBlock) + "\n");

    // A mark that is not a number: one error line, and numbering starts again from 1.
    vorpane::testing::TraceCapture trace;
    _dir.write(axf::detail::kEventSequenceFile, "garbage\n");
    ASSERT_TRUE(axf::addSituation(def).ok());
    ASSERT_EQ(_disks->pushEvent({"h1:DSK01", "/var", "9"}), 0);
    EXPECT_EQ(axf::readEvents(0, 0).lastSeq, 1u);
    EXPECT_TRUE(trace.contains("does not hold an event sequence number; events are numbered from 1"));
}

// Command callbacks that hold their thread until the test lets them go, like a handler that waits
// long for its provider.
struct Gate {
    std::mutex m;
    std::condition_variable cv;
    int inside = 0;
    int done = 0;
    bool open = false;
};
Gate* g_gate = nullptr;

long heldCallback(PlaxfAutomationCapsule*) {
    std::unique_lock<std::mutex> g(g_gate->m);
    ++g_gate->inside;
    g_gate->cv.notify_all();
    g_gate->cv.wait(g, [] { return g_gate->open; });
    ++g_gate->done;
    return 5;
}

bool waitInside(Gate& gate, int n) {
    std::unique_lock<std::mutex> g(gate.m);
    return gate.cv.wait_for(g, std::chrono::seconds(30), [&] { return gate.inside >= n; });
}

// Opens the gate at the end of the test, whatever happened, so that no thread stays held.
struct OpenAtEnd {
    Gate& gate;
    ~OpenAtEnd() {
        std::lock_guard<std::mutex> g(gate.m);
        gate.open = true;
        gate.cv.notify_all();
    }
};

TEST_F(Engine, SlowTakeActionsHoldNoWorkerOfTheSamples) {
    ScopedSpeedup fast(200);  // an interval of 60 seconds passes in 0.3 s
    Gate gate;
    g_gate = &gate;
    OpenAtEnd release{gate};
    AXF_RegisterCommandCallback("*", heldCallback);
    for (const char* mount : {"/a", "/b", "/c", "/d"}) {
        ASSERT_TRUE(_disks->addRow({"h1:DSK01", mount, "950"}));
    }
    axf::SituationDef slow{"Slow_Act", "DSK01", "DSKTBL01", {{"VA2", axf::CompareOp::GT, "90"}}, 60};
    slow.subnodes = {"h1:DSK01"};
    slow.action = "Slow_Handler";
    ASSERT_TRUE(axf::addSituation(slow).ok());
    // One command per firing row: four handlers hold on, as if each took its provider 15 seconds.
    ASSERT_TRUE(waitInside(gate, 4));

    ScriptedTable table({});
    axf::SituationDef other{"Other_Sit", "SCR01", "SCRTBL01", {}, 60};
    other.subnodes = {"h1:SCR01"};
    const double start = vorpane::clock::now();
    ASSERT_TRUE(axf::addSituation(other).ok());
    ASSERT_TRUE(axf::detail::waitForSituation(
        "Other_Sit", [](const axf::SituationStatus& s) { return s.samples >= 4; }, 30));
    ASSERT_TRUE(axf::detail::waitForSituation(
        "Slow_Act", [](const axf::SituationStatus& s) { return s.samples >= 3; }, 30));
    {
        std::lock_guard<std::mutex> g(gate.m);
        EXPECT_EQ(gate.inside, 4);
        EXPECT_EQ(gate.done, 0);  // every handler still holds on
    }
    std::vector<double> t = table.times();
    ASSERT_GE(t.size(), 4u);
    for (size_t k = 0; k < 4; ++k) {
        EXPECT_LT(t[k] - start, 60.0 * static_cast<double>(k + 1)) << k;  // before the next one was due
    }
    axf::detail::ActionFigures running = axf::detail::takeActionFigures();
    EXPECT_EQ(running.running, 4u);
    EXPECT_EQ(running.waiting, 0u);

    {
        std::lock_guard<std::mutex> g(gate.m);
        gate.open = true;
        gate.cv.notify_all();
    }
    ASSERT_TRUE(axf::detail::waitForSituation(
        "Slow_Act",
        [](const axf::SituationStatus& s) { return !s.states.empty() && s.states[0].actions == 4; }, 30));
    axf::SituationStatus st;
    ASSERT_TRUE(axf::situationStatus("Slow_Act", &st).ok());
    EXPECT_EQ(st.states[0].lastActionResult, 5);
    EXPECT_EQ(axf::detail::takeActionFigures().completed, 4u);
}

TEST_F(Engine, TakeActionsBeyondTheBoundAreRefusedTracedOnceAndCounted) {
    Gate gate;
    g_gate = &gate;
    OpenAtEnd release{gate};
    AXF_RegisterCommandCallback("*", heldCallback);
    std::mutex m;
    std::vector<long> results;
    axf::detail::ActionRunner runner([&](const axf::detail::TakeAction&, long result) {
        std::lock_guard<std::mutex> g(m);
        results.push_back(result);
    });
    auto action = [](int i) {
        axf::detail::TakeAction a;
        a.situation = "Busy_Sit";
        a.command = "Held_Command " + std::to_string(i);
        return a;
    };
    vorpane::testing::TraceCapture trace;
    for (int i = 0; i < axf::detail::kActionThreads; ++i) {
        ASSERT_TRUE(runner.submit(action(i)));
    }
    ASSERT_TRUE(waitInside(gate, axf::detail::kActionThreads));  // as many run at once as there are threads
    for (size_t i = 0; i < axf::detail::kMaxWaitingActions; ++i) {
        ASSERT_TRUE(runner.submit(action(100)));
    }
    EXPECT_FALSE(runner.submit(action(1)));
    EXPECT_FALSE(runner.submit(action(2)));
    axf::detail::ActionFigures f = runner.figures();
    EXPECT_EQ(f.running, static_cast<size_t>(axf::detail::kActionThreads));
    EXPECT_EQ(f.waiting, axf::detail::kMaxWaitingActions);
    EXPECT_EQ(f.refused, 2u);
    EXPECT_EQ(trace.count("Error: take-action <Held_Command 1> of situation <Busy_Sit> refused"), 1);
    EXPECT_EQ(trace.count("refused"), 1);  // the second refusal is only counted

    runner.stop();  // the waiting ones are dropped, traced; the held ones go on
    EXPECT_TRUE(trace.contains("Warning: 10000 take-action commands were not run: the framework stops"));
    EXPECT_FALSE(runner.submit(action(3)));
    {
        std::lock_guard<std::mutex> g(gate.m);
        gate.open = true;
        gate.cv.notify_all();
    }
    runner.reset();  // waits for the commands under way
    std::lock_guard<std::mutex> g(m);
    EXPECT_GE(results.size(), static_cast<size_t>(axf::detail::kActionThreads));
    EXPECT_EQ(results.front(), 5);
}

}  // namespace
