#include "agent/application_probe_list.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "agent/va_limits.h"
#include "datapath/samples_list.h"
#include "interfaces/support.h"
#include "metadata/user_data_list.h"
#include "testlib/scoped_env.h"
#include "testlib/trace_capture.h"

namespace {

using vorpane::metadata::userDataList;

// Distinct stand-in addresses for metadata the probe list only stores and hands back.
userDataList* fakeUDL(int n) {
    static char storage[4];
    return reinterpret_cast<userDataList*>(&storage[n]);
}

applDataStruct record(const char* name, int16_t status) {
    applDataStruct r;
    r.applName.assign(name);
    r.status = status;
    return r;
}

class ProbeListTest : public ::testing::Test {
protected:
    void SetUp() override { _saved = vaLimits(); }
    void TearDown() override { setVaLimits(_saved); }
    void setMaxWaitUDL(int n) {
        VA_LIMITS l = _saved;
        l.maxWaitUDL = n;
        setVaLimits(l);
    }

    VA_LIMITS _saved;
    samplesList _samples;
    applicationProbeList _probes{&_samples};
    vorpane::testing::TraceCapture _trace;
};

TEST_F(ProbeListTest, EntriesAreAddedUpdatedInPlaceAndFoundByNameOrKey) {
    EXPECT_EQ(_probes.searchProbes("APPL"), PROBE_NOT_FOUND);
    EXPECT_EQ(_probes.getApplDataStore("APPL"), nullptr);
    EXPECT_EQ(_probes.setUserDataList("APPL", fakeUDL(0)), 1);

    EXPECT_EQ(_probes.addEntry(record("APPLONE", PROBE_NOT_STARTED)), 0);
    EXPECT_EQ(_probes.addEntry(record("APPLTWO", PROBE_NOT_STARTED)), 0);
    EXPECT_EQ(_probes.getNumberOfElements(), 2);
    EXPECT_EQ(_probes.searchProbes("APPLONE"), PROBE_NOT_STARTED);
    EXPECT_EQ(_probes.searchProbes("applone"), PROBE_NOT_FOUND);  // exact names

    // The online path changes the stored record and passes a copy back.
    applDataStruct* stored = _probes.getApplDataStore("APPLONE");
    ASSERT_NE(stored, nullptr);
    applDataStruct copy = *stored;
    copy.status = PROBE_STARTED;
    EXPECT_EQ(_probes.addEntry(copy), 0);
    EXPECT_EQ(_probes.getNumberOfElements(), 2);
    EXPECT_EQ(_probes.searchProbes("APPLONE"), PROBE_STARTED);

    // Two applications sharing a key: the first added answers getUDLPtr, which may still be null.
    EXPECT_EQ(_probes.getUDLPtr("APPLTWO"), nullptr);
    EXPECT_EQ(_probes.setUserDataList("APPLTWO", fakeUDL(2)), 0);
    EXPECT_EQ(_probes.getUDLPtr("APPLTWO"), nullptr);
    EXPECT_EQ(_probes.setUserDataList("APPLONE", fakeUDL(1)), 0);
    EXPECT_EQ(_probes.getUDLPtr("APPLTWO"), fakeUDL(1));
    EXPECT_EQ(_probes.getUDLPtr("XYZ"), nullptr);
}

TEST_F(ProbeListTest, WaitForUDLReturnsAtOnceWhenPublishedAndWakesOnTheSignal) {
    vorpane::testing::ScopedSpeedup fast(1000);
    ASSERT_EQ(_probes.addEntry(record("APPL", PROBE_STARTED)), 0);
    EXPECT_EQ(_probes.WaitForUDL("NONE"), 1);
    EXPECT_TRUE(_trace.contains("No match found using <NONE>"));

    std::atomic<int> result{-5};
    std::thread waiter([&] { result = _probes.WaitForUDL("APPL"); });
    ASSERT_TRUE(_trace.waitFor("Waiting for userDataInfo constructor for applName <APPL>"));
    ASSERT_EQ(_probes.setUserDataList("APPL", fakeUDL(0)), 0);
    ASSERT_EQ(_probes.signalWaiters("APPL"), 0);
    waiter.join();
    EXPECT_EQ(result, 0);
    EXPECT_TRUE(_trace.contains("UDL completion signal received for applName <APPL>"));

    // Already published: no wait at all.
    _trace.clear();
    EXPECT_EQ(_probes.WaitForUDL("APPL"), 0);
    EXPECT_FALSE(_trace.contains("Waiting for userDataInfo constructor"));
    EXPECT_EQ(_probes.signalWaiters("NONE"), 1);
}

TEST_F(ProbeListTest, WaitForUDLGivesUpAfterTheConfiguredAttempts) {
    vorpane::testing::ScopedSpeedup fast(2000);
    ASSERT_EQ(_probes.addEntry(record("APPL", PROBE_STARTED)), 0);
    setMaxWaitUDL(0);
    EXPECT_EQ(_probes.WaitForUDL("APPL"), 1);
    EXPECT_EQ(_trace.count("Warning: pthread_cond_wait timeout"), 0);
    EXPECT_TRUE(_trace.contains("Error: pthread_cond_wait failed. rc=110 errno=110 waitAttempts=0 for application <APPL>"));

    _trace.clear();
    setMaxWaitUDL(2);
    EXPECT_EQ(_probes.WaitForUDL("APPL"), 1);
    EXPECT_EQ(_trace.count("Waiting for userDataInfo constructor for applName <APPL>"), 3);
    EXPECT_TRUE(_trace.contains("Warning: pthread_cond_wait timeout - errno=110 waitAttempts=1 for application <APPL>"));
    EXPECT_TRUE(_trace.contains("waitAttempts=2 for application <APPL>"));
}

TEST_F(ProbeListTest, CleanUpRemovesTheEntryWithTheLastSourceAndReleasesTheProbe) {
    ASSERT_EQ(_probes.addEntry(record("APPL", PROBE_STARTED)), 0);
    const std::string table = "APP" + ZOTA_ComputeChecksumOnAttrGroup("GROUPA") + "01";
    ASSERT_TRUE(_samples.onlineEntry("APPL", table.c_str(), "GROUPA", "01", "HOST1", nullptr));
    ASSERT_TRUE(_samples.onlineEntry("APPL", table.c_str(), "GROUPA", "01", "HOST2", nullptr));

    std::atomic<int> exitResult{-5};
    std::thread probe([&] { exitResult = _probes.WaitForExit("APPL"); });
    ASSERT_TRUE(_trace.waitFor("Waiting for exit signal applName<APPL>"));

    EXPECT_EQ(_probes.cleanUp("APPL", "GROUPA", "01", "HOST1"), 0);  // HOST2 still online
    EXPECT_EQ(_probes.searchProbes("APPL"), PROBE_STARTED);
    EXPECT_EQ(_samples.getNumberOfElements(), 1);

    EXPECT_EQ(_probes.cleanUp("APPL", "GROUPA", "01", "HOST2"), -1);
    probe.join();
    EXPECT_EQ(exitResult, 0);
    EXPECT_TRUE(_trace.contains("Exit signal received for applName <APPL>"));
    EXPECT_EQ(_probes.getNumberOfElements(), 0);
    EXPECT_EQ(_probes.searchProbes("APPL"), PROBE_NOT_FOUND);
    EXPECT_EQ(_samples.getNumberOfElements(), 0);

    EXPECT_EQ(_probes.cleanUp("NONE", "GROUPA", "01", "HOST"), 1);
    // An empty list takes a new head.
    ASSERT_EQ(_probes.addEntry(record("NEXT", PROBE_NOT_STARTED)), 0);
    EXPECT_EQ(_probes.searchProbes("NEXT"), PROBE_NOT_STARTED);
}

// Texts that never come: the metadata is built, in error, without touching any file.
class NoTexts : public vorpane::metadata::applicationTextSource {
public:
    int getApplications(const char*, std::string*) override { return 1; }
    int getApplAttributes(const char*, std::string*) override { return 1; }
    int getApplHelp(const char*, std::string*) override { return 1; }
};

// A reader outside the monitor (the RMTFILE table) leases the metadata: the application's last source
// going offline releases the probe thread, which frees the metadata only once the lease has ended.
// Leases are not handed out for an application without metadata or once its entry is gone.
TEST_F(ProbeListTest, ALeasedUserDataListIsFreedOnlyAfterTheLeaseEnds) {
    NoTexts texts;
    auto owned = std::make_unique<userDataList>("APPL", vorpane::metadata::metadataSettings{}, texts, nullptr);
    ASSERT_EQ(_probes.addEntry(record("APPL", PROBE_STARTED)), 0);
    EXPECT_EQ(_probes.leaseUDL("APPL"), nullptr);  // not published yet
    const std::string table = "APP" + ZOTA_ComputeChecksumOnAttrGroup("GROUPA") + "01";
    ASSERT_TRUE(_samples.onlineEntry("APPL", table.c_str(), "GROUPA", "01", "HOST1", nullptr));
    ASSERT_EQ(_probes.setUserDataList("APPL", owned.get()), 0);
    auto sync = _probes.exitSignalOf("APPL");
    ASSERT_NE(sync, nullptr);

    // The probe thread as startNewProbe runs it: exit signal, leases, then the metadata goes.
    std::atomic<bool> freed{false};
    std::thread probe([&] {
        EXPECT_EQ(_probes.WaitForExit(sync, "APPL"), 0);
        applicationProbeList::waitForLeases(sync, "APPL");
        owned.reset();
        freed = true;
    });
    udlLease lease = _probes.leaseUDL("APPLX");  // found by its key, as RMTFILE looks it up
    ASSERT_NE(lease, nullptr);
    {
        udlLease second = _probes.leaseUDL("APPL");
        EXPECT_EQ(second.get(), lease.get());
    }
    EXPECT_EQ(_probes.cleanUp("APPL", "GROUPA", "01", "HOST1"), -1);
    EXPECT_EQ(_probes.leaseUDL("APPL"), nullptr);  // the entry is gone
    EXPECT_TRUE(_trace.waitFor("Waiting for 1 reader(s) of the userDataList of applName <APPL>"));
    EXPECT_FALSE(freed);
    EXPECT_EQ(lease->noOfElements(), 0);  // still there to be read
    lease.reset();
    probe.join();
    EXPECT_TRUE(freed);
}

}  // namespace
