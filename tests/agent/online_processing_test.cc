#include <gtest/gtest.h>

#include <pthread.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "agent/agent_lists.h"
#include "agent/application_probe_list.h"
#include "agent/monitors.h"
#include "agent/table_manager_list.h"
#include "agent/va_limits.h"
#include "datapath/samples_list.h"
#include "interfaces/axf.h"
#include "interfaces/axf_facade.h"
#include "interfaces/support.h"
#include "metadata/metadata_types.h"
#include "metadata/user_data_list.h"
#include "tables/zot_vorpane_manager.h"
#include "testlib/scoped_env.h"
#include "testlib/temp_dir.h"
#include "testlib/trace_capture.h"

namespace {

constexpr char kAffinity[] = "%VORPANE.VAGENT.SUBNODE.0000000000000000071";

// The agent's lists over a fresh work directory, and probe threads that read fixed texts.
class OnlineProcessingTest : public ::testing::Test {
protected:
    OnlineProcessingTest() : _speedup(200) {
        vorpane::setWorkDirectory(_dir.path());
        ZOT0_InitializeProductSpec("VA");
        _savedLimits = vaLimits();
        axf::reset();
        setApplicationTextSource(&_texts);
        // No collection threads: they would subscribe to whatever hub listens on the default port.
        setTableSideSeam(tableSideSeam{nullptr, [](vorpane::metadata::userDataInfo&) { return 0; },
                                       [](vorpane::metadata::userDataInfo&) {}});
        createAgentLists();
    }
    ~OnlineProcessingTest() override {
        // Every application offline first, so no probe thread outlives the lists.
        deleteAgentLists();
        setTableSideSeam({});
        setApplicationTextSource(nullptr);
        setVaLimits(_savedLimits);
        vorpane::setWorkDirectory(std::string());
    }

    std::optional<axf::Subnode> subnode(const std::string& name) {
        for (const axf::Subnode& s : axf::subnodes()) {
            if (s.name == name) {
                return s;
            }
        }
        return std::nullopt;
    }
    std::string tableOf(const char* appl, const char* group, const char* rr) {
        return std::string(appl).substr(0, 3) + ZOTA_ComputeChecksumOnAttrGroup(group) + rr;
    }

    vorpane::testing::TempDir _dir;
    vorpane::testing::ScopedSpeedup _speedup;
    vorpane::testing::TraceCapture _trace;
    VA_LIMITS _savedLimits;
    vorpane::metadata::fixedApplicationTexts _texts{"APPL,GROUPA,P,60,FILE:GROUPB,K,0,FILE:;",
                                                   "GROUPA,a,C,4:b,D,8:;GROUPB,@k,D,8:v,C,4:;",
                                                   "App help,GROUPA,ga,a,ah, , :b,bh, , :GROUPB,gb,k,kh, , :v,vh, , :;"};
};

TEST_F(OnlineProcessingTest, TwoGroupsOfTwoSourcesComeOnlineAndGoOfflineTableByTable) {
    const int16_t before = numApplications();
    ASSERT_EQ(processOnline("APPL", "GROUPA", "HOST1", kAffinity), 0);
    EXPECT_EQ(numApplications(), before + 1);
    EXPECT_TRUE(_trace.contains("CASE - PROBE_NOT_FOUND for application <APPL>"));
    std::optional<axf::Subnode> s = subnode("HOST1:APPL00");
    ASSERT_TRUE(s.has_value());
    EXPECT_EQ(s->version, "04.00.00");
    EXPECT_EQ(s->affinity, kAffinity);
    EXPECT_EQ(s->applName, "APPL");

    // The second group finds the probe started and the subnode registered.
    ASSERT_EQ(processOnline("APPL", "GROUPB", "HOST1", kAffinity), 0);
    EXPECT_TRUE(_trace.contains("CASE - PROBE_STARTED for application <APPL> attrGroup <GROUPB>"));
    EXPECT_TRUE(_trace.contains(
        "Note: Ignoring subnode <HOST1:APPL00> attrGroup <GROUPB> registration request.  Subnode already registered."));
    ASSERT_EQ(processOnline("APPL", "GROUPA", "HOST2", kAffinity), 0);
    ASSERT_EQ(processOnline("APPL", "GROUPB", "HOST2", kAffinity), 0);
    EXPECT_EQ(numApplications(), before + 1);
    EXPECT_TRUE(subnode("HOST2:APPL00").has_value());
    EXPECT_EQ(_trace.count("register was successful."), 2);

    // One table manager per group, remembered in the work file.
    const std::string tableA = tableOf("APPL", "GROUPA", "00");
    const std::string tableB = tableOf("APPL", "GROUPB", "00");
    EXPECT_NE(tableManagers()->getTblMgr("APPL00", tableA.c_str()), nullptr);
    EXPECT_NE(tableManagers()->getTblMgr("APPL00", tableB.c_str()), nullptr);
    EXPECT_EQ(_dir.read("zotatbls"), "APPL00 " + tableA + " 0\nAPPL00 " + tableB + " 0\n");
    EXPECT_EQ(dataSamples()->getNumberOfElements(), 4);

    // Offline table by table: the subnode goes with its last table, the probe with the last source.
    ASSERT_EQ(processOffline("APPL", "GROUPA", "HOST1", kAffinity), 0);
    EXPECT_TRUE(_trace.contains("Note: Subnode <HOST1:APPL00> not deregistered because it had 2 sources still online."));
    EXPECT_EQ(subnode("HOST1:APPL00")->state, axf::SubnodeState::Registered);
    ASSERT_EQ(processOffline("APPL", "GROUPB", "HOST1", kAffinity), 0);
    EXPECT_EQ(subnode("HOST1:APPL00")->state, axf::SubnodeState::Deregistered);
    EXPECT_EQ(subnode("HOST2:APPL00")->state, axf::SubnodeState::Registered);
    EXPECT_EQ(startedProbes()->searchProbes("APPL"), PROBE_STARTED);
    ASSERT_EQ(processOffline("APPL", "GROUPA", "HOST2", kAffinity), 0);
    ASSERT_EQ(processOffline("APPL", "GROUPB", "HOST2", kAffinity), 0);
    EXPECT_EQ(startedProbes()->searchProbes("APPL"), PROBE_NOT_FOUND);
    EXPECT_EQ(numApplications(), before);
    EXPECT_TRUE(_trace.contains("Application <APPL> removed. Number of applications currently active:"));
    EXPECT_TRUE(_trace.waitFor("Leaving startNewProbe for applName <APPL> errors=0"));

    // Offline for an application that never came online.
    EXPECT_EQ(processOffline("NEVER", "GROUPA", "HOST1", kAffinity), 0);
    EXPECT_TRUE(_trace.contains("Warning: getUDLPtr failed for [NEVER/GROUPA/HOST1]"));
}

// Framework and API threads read a table while its application goes offline and comes back: each
// read holds the layout it reads, which the probe thread of the ending run frees only when nobody
// reads it any more; and a layout released late never takes the newer one from its manager.
TEST_F(OnlineProcessingTest, TablesAreReadWhileTheirApplicationGoesOfflineAndComesBack) {
    // The fast clock shortens the wait for each run's probe thread to a few milliseconds, less than
    // a loaded machine gives that thread beside three busy readers: allow it some seconds.
    VA_LIMITS limits = _savedLimits;
    limits.maxWaitUDL = 2000;
    setVaLimits(limits);
    const std::string tableA = tableOf("APPL", "GROUPA", "00");
    ASSERT_EQ(processOnline("APPL", "GROUPA", "HOST1", kAffinity), 0);
    auto* manager = dynamic_cast<zot_vorpane_manager*>(tableManagers()->getTblMgr("APPL00", tableA.c_str()));
    ASSERT_NE(manager, nullptr);
    ASSERT_NE(manager->userDataInfoPtr(), nullptr);

    std::atomic<bool> stop{false};
    std::mutex lock;
    std::condition_variable changed;
    int described = 0;  // guarded by lock
    std::vector<std::thread> readers;
    struct Joiner {  // a failed assertion returns early: the readers still end before the fixture
        std::atomic<bool>& stop;
        std::vector<std::thread>& threads;
        ~Joiner() {
            stop = true;
            for (std::thread& t : threads) {
                if (t.joinable()) {
                    t.join();
                }
            }
        }
    } joiner{stop, readers};
    for (int r = 0; r < 3; ++r) {
        readers.emplace_back([&] {
            while (!stop.load()) {
                axf::TableDesc desc;
                if (axf::describeTable("APPL00", tableA, &desc).ok() && desc.columns.size() == 3) {
                    std::lock_guard<std::mutex> g(lock);
                    ++described;
                    changed.notify_all();
                }
                axf::listTables();
            }
        });
    }
    auto describedAtLeast = [&](int n) {
        std::unique_lock<std::mutex> g(lock);
        return changed.wait_for(g, std::chrono::seconds(30), [&] { return described >= n; });
    };
    EXPECT_TRUE(describedAtLeast(1));
    for (int round = 0; round < 20; ++round) {
        ASSERT_EQ(processOffline("APPL", "GROUPA", "HOST1", kAffinity), 0);
        ASSERT_EQ(processOnline("APPL", "GROUPA", "HOST1", kAffinity), 0);
    }
    const int before = [&] {
        std::lock_guard<std::mutex> g(lock);
        return described;
    }();
    EXPECT_TRUE(describedAtLeast(before + 1));  // the table of the last run is described whole
    stop = true;
    for (std::thread& t : readers) {
        t.join();
    }

    // The previous run's probe frees its metadata after the next run's layout reached the manager
    // (a reader still held it): the manager keeps the newer layout.
    const int left = _trace.count("Leaving startNewProbe for applName <APPL>");
    udlLease reader = startedProbes()->leaseUDL("APPL");
    ASSERT_NE(reader, nullptr);
    ASSERT_EQ(processOffline("APPL", "GROUPA", "HOST1", kAffinity), 0);
    ASSERT_EQ(processOnline("APPL", "GROUPA", "HOST1", kAffinity), 0);
    const vorpane::metadata::userDataInfo* newer =
        startedProbes()->getUDLPtr("APPL")->getUserDataListEntry("GROUPA")->udi();
    EXPECT_EQ(manager->userDataInfoPtr(), newer);
    reader.reset();
    ASSERT_TRUE(_trace.waitForCount("Leaving startNewProbe for applName <APPL>", left + 1, std::chrono::seconds(30)));
    EXPECT_EQ(manager->userDataInfoPtr(), newer);
    EXPECT_TRUE(_trace.contains("holds a newer layout than"));
}

TEST_F(OnlineProcessingTest, ARefusedOrFailedApplicationDoesNotComeOnline) {
    VA_LIMITS limits = _savedLimits;
    limits.maxApplications = numApplications();  // no room for another
    limits.maxWaitUDL = 0;
    setVaLimits(limits);
    EXPECT_EQ(processOnline("APPL", "GROUPA", "HOST1", kAffinity), -1);
    EXPECT_TRUE(_trace.contains("Error: Maximum<"));
    EXPECT_EQ(startedProbes()->searchProbes("APPL"), PROBE_NOT_FOUND);  // nothing was added

    // With product-specification item 15 at 0 the agent's own application is skipped without a probe.
    ASSERT_TRUE(ZOT0_UpdateProductSpec(ZOT2_NODE_TYPE_ACTIONS, "0"));
    EXPECT_EQ(processOnline("VAGENT", "", "HOST1", kAffinity), 0);
    EXPECT_TRUE(_trace.contains("Note: Skipping online processing for application <VAGENT>"));
    ASSERT_TRUE(ZOT0_UpdateProductSpec(ZOT2_NODE_TYPE_ACTIONS, "1"));

    // Metadata that cannot be built: the wait fails and the application stays refused.
    limits.maxApplications = 64;
    setVaLimits(limits);
    vorpane::metadata::fixedApplicationTexts broken{"BAD,G1,P,60,FILE:G1,P,60,FILE:;", "G1,a,C,4:;G1,a,C,4:;",
                                                    "h,G1,g, :;"};
    setApplicationTextSource(&broken);
    EXPECT_EQ(processOnline("BAD", "G1", "HOST1", kAffinity), 1);
    EXPECT_TRUE(_trace.contains("Error: in userDataList for <BAD>"));
    EXPECT_TRUE(_trace.contains("Error: WaitForUDL failed, rc: 1"));
    EXPECT_EQ(startedProbes()->searchProbes("BAD"), PROBE_ENDED_IN_ERRORS);
    EXPECT_EQ(processOnline("BAD", "G1", "HOST2", kAffinity), 1);
    EXPECT_TRUE(_trace.contains("CASE - PROBE_ENDED_IN_ERRORS for application <BAD>"));
    setApplicationTextSource(&_texts);
}

TEST_F(OnlineProcessingTest, StatusRecordsAreSplitIntoFourFields) {
    dpStatusRecord r;
    ASSERT_TRUE(parseDPStatus("APPL,GROUPA,HOST1,4117", &r));
    EXPECT_EQ(r.applName, "APPL");
    EXPECT_EQ(r.attrGroup, "GROUPA");
    EXPECT_EQ(r.sourceName, "HOST1");
    EXPECT_EQ(r.requestType, "4117");
    // The fourth field is the rest of the text.
    ASSERT_TRUE(parseDPStatus("APPL,GROUPA,HOST1,4133,x", &r));
    EXPECT_EQ(r.requestType, "4133,x");

    EXPECT_FALSE(parseDPStatus("APPL,GROUPA,HOST1", &r));
    EXPECT_TRUE(_trace.contains("Error: parsing status:"));
    EXPECT_TRUE(_trace.contains("           sourceName: <HOST1>"));
    EXPECT_TRUE(_trace.contains("          requestType: <>"));
    EXPECT_FALSE(parseDPStatus("", &r));

    handleDPStatus("APPL,GROUPA,HOST1,9999", kAffinity);
    EXPECT_TRUE(_trace.contains("Error: Invalid RequestType <9999>"));
    handleDPStatus("NEVER,GROUPA,HOST1,4133", kAffinity);
    EXPECT_TRUE(_trace.contains("Warning: getUDLPtr failed for [NEVER/GROUPA/HOST1]"));

    EXPECT_EQ(buildAffinity(), "%VORPANE.VAGENT.SUBNODE.0000000000000000071");
}

}  // namespace

namespace {

TEST_F(OnlineProcessingTest, TheDeferredRequestMonitorExpiresReportsUntilTheSamplesListIsGone) {
    VA_LIMITS limits = _savedLimits;
    limits.demandReport = 'Y';
    limits.reportRequestExpiration = 15;
    setVaLimits(limits);
    std::vector<uint32_t> redriven;
    vorpane::Mutex lock;
    setSamplesListSeam(samplesListSeam{nullptr, [&](uint32_t request) {
                                           vorpane::ScopedLock g(lock);
                                           redriven.push_back(request);
                                       }});
    samplesList* samples = dataSamples();
    ASSERT_TRUE(samples->onlineEntry("APPL", "APPABCDE00", "GROUPA", "00", "HOST1", nullptr));
    samples->setDemandReportingOption("APP", "GROUPA", "HOST1", 1);
    const int32_t now = static_cast<int32_t>(vorpane::clock::nowSeconds());
    samples->addDeferredReportRequest("APP", "APPABCDE00", "HOST1", 5, 55, now - 16);
    samples->addDeferredReportRequest("APP", "APPABCDE00", "HOST1", 6, 66, now + 3600);

    pthread_t monitor{};
    ASSERT_EQ(ZOT0_CreateThread(monitorDeferredRequests, 0, &monitor, "mon-deferred"), 0);
    EXPECT_TRUE(_trace.waitFor("Redriving expired report request @55"));
    deleteAgentLists();  // the monitor ends at its next wake-up
    EXPECT_EQ(pthread_join(monitor, nullptr), 0);
    EXPECT_TRUE(_trace.contains("monitorDeferredRequests ending: the samples list is gone."));
    setSamplesListSeam({});
    vorpane::ScopedLock g(lock);
    EXPECT_EQ(redriven, std::vector<uint32_t>{55});  // the young one was not expired (the teardown drops it)
}

}  // namespace
