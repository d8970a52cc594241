// Back-to-back runs of a provider (a provider restarted, `vorpane-dp ... --offline` run twice): the
// application's last source goes offline and comes online again at once. Every row of the new run
// reaches the row store, whether the agent handles the first run's records before the new run's
// rows come or only after them.
#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <string>

#include "agent/agent_lists.h"
#include "agent/application_probe_list.h"
#include "agent/monitors.h"
#include "agent/va_limits.h"
#include "interfaces/axf.h"
#include "interfaces/axf_facade.h"
#include "interfaces/dch_client.h"
#include "interfaces/support.h"
#include "testlib/hub_fixture.h"
#include "testlib/temp_dir.h"
#include "testlib/trace_capture.h"

namespace {

using vorpane::DProw;
using vorpane::HubProvider;

constexpr int16_t kEndMarker = 0x12;  // refused by the row store with an error line: all before it is in

// The agent's side in this process: its lists, real table managers and collection threads, and a
// status subscription whose records the test hands to the online processing itself, so it decides
// how far the agent lags behind the providers.
class ApplicationRuns : public ::testing::Test {
  protected:
    ApplicationRuns() {
        vorpane::setWorkDirectory(_dir.path());
        ZOT0_InitializeProductSpec("VA");
        _savedLimits = vaLimits();
        axf::reset();
        createAgentLists();
        vorpane::HubOptions options = vorpane::HubOptions::fromEnvironment();
        options.datagramSubscriptions = true;
        options.statusWithRuns = true;
        _status = dc_waitForDPStatusInitialize(options);
        _affinity = buildAffinity();
    }
    ~ApplicationRuns() override {
        _status.reset();
        deleteAgentLists();
        setVaLimits(_savedLimits);
        vorpane::setWorkDirectory(std::string());
    }

    // One run: a provider that registers the application, brings its source online and sends rows
    // keyed prefix0, prefix1, ... and then the end marker.
    std::unique_ptr<HubProvider> run(const std::string& prefix, int rows, bool rowsNow = true) {
        auto p = std::make_unique<HubProvider>(vorpane::HubOptions::fromEnvironment());
        vorpane::DPapplication app;
        app.name = "RUNAPP";
        app.help = "Runs";
        vorpane::DPattrGroup g;
        g.name = "G";
        g.help = "g";
        g.type = 'K';
        g.ttl = 3600;
        g.dpType = "APIS";
        g.attributes = "@Key,D,16, , ,the key;Count,C,4, , ,count";
        app.groups.push_back(g);
        int status = -1;
        EXPECT_EQ(p->dp_register(&status, app), 0);
        EXPECT_EQ(p->dp_online(&status, &_handle, "RUNAPP", "G", "src"), 0);
        if (rowsNow) {
            send(*p, prefix, rows);
        }
        return p;
    }
    void send(HubProvider& p, const std::string& prefix, int rows) {
        int status = -1;
        for (int i = 0; i < rows; ++i) {
            EXPECT_EQ(p.dp_data(&status, _handle, DCH_NO_CONTROL_FIELD, row(prefix + std::to_string(i), i)), 0);
        }
        EXPECT_EQ(p.dp_data(&status, _handle, kEndMarker, row("end", 0)), 0);
    }
    static DProw row(const std::string& key, int32_t count) {
        DProw r;
        r.add("Key", key.data(), static_cast<int>(key.size()), 'D');
        r.add("Count", &count, 4, 'C');
        return r;
    }
    // Hands the status records to the online processing up to and including the one that ends with
    // `last` ("4117,2": the online record of run 2).
    void handleRecordsThrough(const std::string& last) {
        for (;;) {
            const std::string text = dc_waitForDPStatus(_status.get(), 30);
            ASSERT_FALSE(text.empty()) << "no record ending with " << last;
            handleDPStatus(text, _affinity.c_str());
            if (text.size() >= last.size() && text.compare(text.size() - last.size(), last.size(), last) == 0) {
                return;
            }
        }
    }
    // The keys reported for the source.
    std::set<std::string> reportedKeys() {
        axf::ReportQuery q;
        for (const axf::TableDesc& t : axf::listTables()) {
            if (t.applName == "RUNAPP00") {
                q.tableName = t.tableName;
            }
        }
        q.applName = "RUNAPP00";
        q.subnodes = {"src:RUNAPP00"};
        axf::ReportResult result = axf::runReport(q);
        EXPECT_TRUE(result.status.ok()) << result.status.message;
        std::set<std::string> keys;
        for (const auto& r : result.rows) {
            keys.insert(std::string(r.text(1)));
        }
        return keys;
    }
    static std::set<std::string> keys(const std::string& prefix, int rows) {
        std::set<std::string> out;
        for (int i = 0; i < rows; ++i) {
            out.insert(prefix + std::to_string(i));
        }
        return out;
    }

    vorpane::testing::TestHub _hub{20};
    vorpane::testing::TempDir _dir;
    vorpane::testing::TraceCapture _trace{vorpane::trace::kError | vorpane::trace::kState};
    VA_LIMITS _savedLimits;
    std::unique_ptr<vorpane::DCstatusWaiter> _status;
    std::string _affinity;
    int _handle = 0;
};

TEST_F(ApplicationRuns, EveryRowOfTheNextRunIsStoredWhenTheLastSourceGoesOfflineAndComesBackAtOnce) {
    ASSERT_TRUE(_hub.ready());
    ASSERT_NE(_status, nullptr);

    // The agent lags: the first run comes and goes, and the second sends its rows, before the agent
    // has handled the first run's online record.
    std::unique_ptr<HubProvider> first = run("one-", 20);
    first.reset();  // its source goes offline, its application is unregistered
    std::unique_ptr<HubProvider> second = run("two-", 30);
    ASSERT_NO_FATAL_FAILURE(handleRecordsThrough(",4117,2"));
    ASSERT_TRUE(_trace.waitForCount("Error: unsupported control field <18>", 1, std::chrono::seconds(30)));
    EXPECT_EQ(reportedKeys(), keys("two-", 30));

    // The agent keeps up: the next run's online record is handled before its rows come.
    second.reset();
    ASSERT_NO_FATAL_FAILURE(handleRecordsThrough(",4133,2"));
    std::unique_ptr<HubProvider> third = run("three-", 0, false);
    ASSERT_NO_FATAL_FAILURE(handleRecordsThrough(",4117,3"));
    send(*third, "three-", 25);
    ASSERT_TRUE(_trace.waitForCount("Error: unsupported control field <18>", 2, std::chrono::seconds(30)));
    EXPECT_EQ(reportedKeys(), keys("three-", 25));

    // The last run ends: the probe thread of each run has let its metadata go.
    third.reset();
    ASSERT_NO_FATAL_FAILURE(handleRecordsThrough(",4133,3"));
    EXPECT_TRUE(
        _trace.waitForCount("Leaving startNewProbe for applName <RUNAPP> errors=0", 3, std::chrono::seconds(30)));
}

}  // namespace
