// A shutdown signal ends the agent with exit(): the destructors of globals run while detached threads
// (probe threads making tables, collection threads and framework workers redriving requests) still
// run. What they reach must outlive those destructors.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "agent/table_manager_list.h"
#include "agent/va_limits.h"
#include "datapath/samples_list.h"
#include "interfaces/support.h"

namespace {

// Plays a detached thread that is still at work when the process's global objects are destroyed:
// a global of this test, constructed before those of the libraries linked after it, and so
// destroyed after them. Armed only in the child process of the test below.
samplesList* g_lateSamples = nullptr;

struct LateThread {
    ~LateThread() {
        if (g_lateSamples == nullptr) {
            return;
        }
        currentTableManagerFactory()("APPL00", "APPABCDE00", nullptr, 0);
        const auto now = static_cast<int32_t>(vorpane::clock::nowSeconds());
        g_lateSamples->addDeferredReportRequest("APP", "APPABCDE00", "HOST1", 5, 77, now - 16);
        g_lateSamples->cancelExpiredReportRequests();  // redrives through the samples list's seam
    }
} g_lateThread;

TEST(ProcessExit, ThreadsStillRunningWhenGlobalsAreDestroyedReachTheTableFactoryAndTheSamplesSeam) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            // Captures this large live on the heap, where a destroyed std::function frees them.
            const std::string capture(512, 'x');
            setTableManagerFactory([capture](const char*, const char*, vorpane::metadata::userDataInfo*,
                                             short) -> TableManager* { return nullptr; });
            setSamplesListSeam(samplesListSeam{nullptr, [capture](uint32_t) {}});
            VA_LIMITS limits;
            limits.demandReport = 'Y';
            limits.reportRequestExpiration = 15;
            setVaLimits(limits);
            // Leaked like the process's own lists, which the teardown never reaches on a signal.
            g_lateSamples = new samplesList();
            g_lateSamples->onlineEntry("APPL", "APPABCDE00", "GROUPA", "00", "HOST1", nullptr);
            g_lateSamples->setDemandReportingOption("APP", "GROUPA", "HOST1", 1);
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "");
}

}  // namespace
