// The providers' framework: definition files and their refusals, the provider entries, the status
// group and the stop.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

#include "interfaces/support.h"
#include "providers/agent_application.h"
#include "providers/builtin.h"
#include "providers/provider.h"
#include "providers/row_collector.h"
#include "testlib/hub_fixture.h"
#include "testlib/temp_dir.h"
#include "testlib/trace_capture.h"

namespace vorpane::providers {
namespace {

using testing::ReceivedRow;
using testing::RowCollector;
using testing::ScopedEnv;
using testing::TempDir;
using testing::TestHub;
using testing::TraceCapture;

constexpr const char* kSockDefinition = R"(# Orders arriving on a socket
application ORDERS help="Orders"
group ORDER K 300
attribute @Id C 4
attribute Status D 16
source SOCK port=0 protocol=tcp
)";

class Framework : public ::testing::Test {
  protected:
    void SetUp() override { registerBuiltInProviderTypes(); }
};

TEST_F(Framework, DefinitionsAreRefusedWithTheirLineAndReason) {
    Definition d;
    dp::ParseError e;
    ASSERT_TRUE(parseDefinition(kSockDefinition, &d, &e)) << e.reason;
    EXPECT_EQ(d.type, "SOCK");
    EXPECT_EQ(d.typeLine, 6);
    EXPECT_EQ(d.app.name, "ORDERS");
    ASSERT_EQ(d.source.size(), 1u);
    EXPECT_EQ(d.source[0].words, (std::vector<std::string>{"port=0", "protocol=tcp"}));

    struct Case {
        std::string text;
        int line;
        std::string reason;
    };
    const std::string app = "application ORDERS\ngroup G K 0\nattribute A C 4\n";
    const std::vector<Case> cases = {
        {app, 0, "no source line"},
        {app + "path /tmp/x\n", 4, "unknown keyword \"path\""},
        {app + "source SOCK port=1\nsource FILE\n", 5, "a second source line"},
        {app + "source\n", 4, "source needs a provider type"},
        {"application OR\n" + app, 1, "is not 3 to 20"},
    };
    for (const Case& c : cases) {
        EXPECT_FALSE(parseDefinition(c.text, &d, &e)) << c.text;
        EXPECT_EQ(e.line, c.line) << c.text;
        EXPECT_NE(e.reason.find(c.reason), std::string::npos) << e.reason;
    }

    // The type reads its own section.
    const ProviderType* sock = findProviderType("SOCK");
    ASSERT_NE(sock, nullptr);
    ProviderContext context;
    for (const Case& c : std::vector<Case>{{app + "source SOCK\n", 4, "needs port=N"},
                                           {app + "source SOCK port=99999\n", 4, "not a number from 0 to 65535"},
                                           {app + "source SOCK port=1 protocol=sctp\n", 4, "protocol=sctp"},
                                           {app + "source SOCK port=1 sources=0\n", 4, "sources=0 is not a number from 1"},
                                           {app + "source SOCK port=1 colour=red\n", 4, "unexpected \"colour=red\""},
                                           {app + "source SOCK port=1\nurl x\n", 5, "only its source line"}}) {
        ASSERT_TRUE(parseDefinition(c.text, &d, &e)) << e.reason;
        EXPECT_EQ(sock->make(d, context, &e), nullptr) << c.text;
        EXPECT_EQ(e.line, c.line) << c.text;
        EXPECT_NE(e.reason.find(c.reason), std::string::npos) << e.reason;
    }
}

TEST_F(Framework, ABadFileIsReportedWithFileAndLineAndTheOthersStillLoad) {
    TempDir dir;
    dir.write("a-bad.desc", "application BADAPP\ngroup G K 0\nattribute A X 4\nsource SOCK port=0\n");
    dir.write("b-good.desc", kSockDefinition);
    dir.write("c-unknown.desc", "application UNKAPP\ngroup G K 0\nattribute A C 4\nsource GOPHER port=1\n");
    dir.write("notes.txt", "not a definition");
    TraceCapture trace;
    ProviderContext context;
    std::vector<std::unique_ptr<Provider>> loaded = loadDefinitions(dir.path(), "ASFS", context);
    ASSERT_EQ(loaded.size(), 1u);
    EXPECT_EQ(loaded[0]->status().name(), "SOCK:b-good.desc");
    EXPECT_EQ(loaded[0]->status().definitions.load(), 1);
    EXPECT_TRUE(trace.contains("Error: provider definition " + dir.path() +
                               "/a-bad.desc:3: attribute type \"X\" is not one of"));
    EXPECT_TRUE(trace.contains("c-unknown.desc:4: unknown provider type \"GOPHER\""));
    EXPECT_FALSE(trace.contains("notes.txt"));

    // SOCK definitions run under ASFS or SOCK, not under another entry.
    EXPECT_EQ(loadDefinitions(dir.path(), "SOCK", context).size(), 1u);
    EXPECT_EQ(loadDefinitions(dir.path(), "HTTP", context).size(), 0u);

    // A directory the operator named must exist; the default one may be missing.
    trace.clear();
    ScopedEnv named("VORPANE_PROVIDER_DIR", dir.path() + "/missing");
    EXPECT_EQ(definitionsDirectory(), dir.path() + "/missing");
    EXPECT_TRUE(loadDefinitions(definitionsDirectory(), "ASFS", context).empty());
    EXPECT_TRUE(trace.contains("Error: provider definitions directory"));
}

TEST_F(Framework, TypesNotInThisBuildSaySoAndEndAtOnce) {
    TraceCapture trace;
    StopSignal stop;
    ProviderContext context;
    for (const char* type : {"APPC", "JDBC", "ODBC", "POST", "WBEM"}) {
        int number = -1;
        for (int i = 0; i < 12; ++i) {
            if (std::string(dpTypeName(i)) == type) {
                number = i;
            }
        }
        runProviders(number, context, stop);  // returns: the test would hang otherwise
        EXPECT_TRUE(trace.contains(std::string(type) + " data provider is not available in this build")) << type;
    }
}

TEST_F(Framework, TheApiServerTurnsReadyAndStatusRowsArriveUntilTheStop) {
    TestHub hub;
    ASSERT_TRUE(hub.ready());
    TempDir work;
    ScopedEnv dir("VORPANE_PROVIDER_DIR", work.path());  // empty: no definitions
    setAPIServerComplete(false);
    RowCollector collector(kStatusApplication, kStatusGroup);
    StopSignal stop;
    ProviderContext context;
    std::thread entry([&] { runProviders(0, context, stop); });  // APIS
    // The status is published every kStatusInterval clock seconds (sped up by the hub fixture).
    ASSERT_TRUE(collector.waitUntilDelivering([] {}));
    EXPECT_EQ(ZOTP_GetAPIServerComplete(), 1);
    std::optional<ReceivedRow> row = collector.next();
    ASSERT_TRUE(row);
    EXPECT_EQ(row->source, "APIS");
    EXPECT_EQ(row->values, (std::vector<std::string>{"APIS", "0", "0", "0", "0", ""}));
    stop.request();
    entry.join();
    setAPIServerComplete(false);
}

// The action log source and a provider entry's status publisher both register VAGENT from the one
// description: the hub keeps one application with its three groups, and the DPLOG source brings the
// hub's action log source online.
TEST_F(Framework, TheAgentsApplicationIsOneRegistrationWhoeverComesFirst) {
    TestHub hub;
    ASSERT_TRUE(hub.ready());
    TempDir work;
    ScopedEnv dir("VORPANE_PROVIDER_DIR", work.path());
    TraceCapture trace;
    ActionLogSource log(HubOptions::fromEnvironment());
    ASSERT_TRUE(log.start());
    EXPECT_TRUE(trace.waitFor("dp_online for Action table successful. sourceName<"));

    setAPIServerComplete(false);
    RowCollector collector(kStatusApplication, kStatusGroup);
    StopSignal stop;
    ProviderContext context;
    std::thread entry([&] { runProviders(0, context, stop); });  // APIS: registers VAGENT again
    ASSERT_TRUE(collector.waitUntilDelivering([] {}));
    std::optional<ReceivedRow> row = collector.next();
    ASSERT_TRUE(row);
    EXPECT_EQ(row->source, "APIS");
    stop.request();
    entry.join();
    setAPIServerComplete(false);

    std::string info;
    ASSERT_EQ(dc_getApplications(&info, kAgentApplication, 5), 0);
    EXPECT_EQ(info, "VAGENT,DPSTATUS,P,120,VA:DPLOG,P,0,VA:ACTION,E,0,VA:;");
    EXPECT_FALSE(trace.contains("Error: the hub refused dp_register"));
    log.stop();
}

// A provider of the test: group NOW has fresh rows on request (Value counts the samples), group
// LINES has none (its rows arrive as they come).
class FreshProvider : public Provider {
  public:
    explicit FreshProvider(HubOptions hub) : Provider("FRESH"), _session(std::move(hub), app(), status()) {
        _session.answerActions(this);
    }
    void run(StopSignal& stop) override {
        sample();
        _session.send(_session.handle("LINES", "src1"), DCH_NO_CONTROL_FIELD, row("line", 1));
        _ready.set_value();  // its source is online and waits for actions
        while (!waitFor(stop, 3600)) {
        }
        _session.close();
    }
    bool sendFreshRows(std::string_view group) override {
        if (group != "NOW") {
            return false;
        }
        sample();
        return true;
    }
    int32_t samples() const { return _samples.load(); }
    std::future<void> ready() { return _ready.get_future(); }

  private:
    static dp::AppDescription app() {
        dp::AppDescription a;
        dp::ParseError e;
        dp::parseDescription("application FRESH\ngroup NOW K 300\nattribute @Name D 16\nattribute Value C 4\n"
                             "group LINES E 0\nattribute Name D 16\nattribute Value C 4\n",
                             &a, &e);
        return a;
    }
    static DProw row(const char* name, int32_t value) {
        DProw r;
        r.add("Name", name, -1, 'D');
        r.add("Value", &value, 4, 'C');
        return r;
    }
    void sample() {
        const int32_t n = ++_samples;
        _session.queue(_session.handle("NOW", "src1"), DCH_NO_CONTROL_FIELD, row("now", n));
    }
    HubSession _session;
    std::atomic<int32_t> _samples{0};
    std::promise<void> _ready;
};

// Report and situation requests reach the provider through the hub as a collector hands them over;
// the provider answers on its own thread with fresh rows, the collector of the group sees them, and
// the action's result tells what was done.
TEST_F(Framework, ReportActionsAreAnsweredWithFreshRowsAndAResult) {
    TestHub hub;
    ASSERT_TRUE(hub.ready());
    FreshProvider provider{HubOptions::fromEnvironment()};
    StopSignal stop;
    std::future<void> ready = provider.ready();
    std::thread runner([&] { provider.run(stop); });
    if (ready.wait_for(std::chrono::seconds(30)) != std::future_status::ready) {
        stop.request();
        runner.join();
        FAIL() << "the provider did not bring its sources online";
    }
    RowCollector collector("FRESH", "NOW");
    int32_t id = 9000;
    auto act = [&](const char* name, const char* parms) {
        DCactionResults results;
        EXPECT_EQ(dc_provideActionForResult(5, "NULL", "src1:FRESH00", "src1:FRESH00", name, ++id, parms, &results, 3000),
                  0);
        // A result that reached the hub before the wait comes as the wait's status, without its text.
        EXPECT_NE(results.status, 1) << name << " " << parms;
        return results;
    };
    // Each answered action has made a fresh row; the first delivered one shows the subscription.
    ASSERT_TRUE(collector.waitUntilDelivering([&] { act("REPORT_REQUEST", "ATTRGROUP=NOW"); }));
    // The row of the provider's latest sample, passing over those of the earlier actions.
    auto latest = [&]() -> std::optional<ReceivedRow> {
        const std::string want = std::to_string(provider.samples());
        for (std::optional<ReceivedRow> r; (r = collector.next(1000));) {  // clock seconds: 10 s real
            if (r->values.size() == 2 && r->values[1] == want) {
                return r;
            }
        }
        return std::nullopt;
    };
    const int32_t before = provider.status().rowsSent.load();
    const int32_t samples = provider.samples();

    DCactionResults r = act("REPORT_REQUEST", "ATTRGROUP=NOW");
    EXPECT_EQ(r.status, 0);
    if (r.resultArrived) {
        EXPECT_EQ(r.resultText, "fresh rows of NOW sent");
    }
    EXPECT_EQ(provider.samples(), samples + 1);
    std::optional<ReceivedRow> row = latest();
    ASSERT_TRUE(row);
    EXPECT_EQ(row->source, "src1");
    EXPECT_EQ(row->values[0], "now");

    EXPECT_EQ(act("SITUATION_REQUEST", "SITNAME=HIGH ATTRGROUP=now WHERE(Value GT 0)").status, 0);
    EXPECT_EQ(provider.samples(), samples + 2);  // a new sample, not the stored one
    ASSERT_TRUE(latest());

    // No fresh rows for LINES, a group that is not online, a request that is not a report.
    EXPECT_EQ(act("REPORT_REQUEST", "ATTRGROUP=LINES").status, 5);
    EXPECT_EQ(act("REPORT_REQUEST", "ATTRGROUP=NOPE").status, 8);
    EXPECT_EQ(act("REPORT_REQUEST", "SITNAME=X").status, 12);
    EXPECT_EQ(act("RESTART", "ATTRGROUP=NOW").status, 12);
    EXPECT_EQ(provider.samples(), samples + 2);
    EXPECT_EQ(provider.status().rowsSent.load(), before + 2);
    EXPECT_EQ(act("REPORT_REQUEST", "ATTRGROUP=NOW").status, 0);
    ASSERT_TRUE(latest());
    EXPECT_EQ(provider.status().rowsSent.load(), before + 3);
    EXPECT_EQ(provider.status().errors.load(), 0);

    stop.request();
    runner.join();
}

// Rows queued in a session go to the hub in batches and keep their order, also across a source
// brought online in between; a row the hub refuses is counted as an error alone.
TEST_F(Framework, QueuedRowsKeepTheirOrderAndARefusedOneIsCountedAlone) {
    TestHub hub;
    ASSERT_TRUE(hub.ready());
    dp::AppDescription app;
    dp::ParseError e;
    ASSERT_TRUE(dp::parseDescription("application QUEUED\ngroup ROWS E 0\nattribute Name D 16\nattribute Value C 4\n",
                                     &app, &e));
    ProviderStatus status("QUEUED");
    HubSession session(HubOptions::fromEnvironment(), app, status);
    auto row = [](const char* name, int32_t value) {
        DProw r;
        r.add("Name", name, -1, 'D');
        r.add("Value", &value, 4, 'C');
        return r;
    };
    RowCollector collector("QUEUED", "ROWS");
    ASSERT_TRUE(collector.waitUntilDelivering(
        [&] { session.send(session.handle("ROWS", "a"), DCH_NO_CONTROL_FIELD, row("probe", 0)); }));
    while (collector.next(0.3)) {
    }
    const int32_t sent = status.rowsSent.load();

    const int a = session.handle("ROWS", "a");
    session.queue(a, DCH_NO_CONTROL_FIELD, row("a", 1));
    session.queue(a, DCH_NO_CONTROL_FIELD, row("a", 2));
    DProw unknown;
    unknown.add("Nope", "x", 1, 'D');
    session.queue(a, DCH_NO_CONTROL_FIELD, unknown);
    EXPECT_EQ(session.queued(), 3u);
    const int b = session.handle("ROWS", "b");  // a new source: the queued rows go first
    EXPECT_EQ(session.queued(), 0u);
    for (int32_t i = 3; i < 3 + static_cast<int32_t>(HubSession::kBatchRows) + 10; ++i) {
        session.queue(b, DCH_NO_CONTROL_FIELD, row("b", i));  // one full batch leaves on its own
    }
    EXPECT_EQ(session.queued(), 10u);
    EXPECT_EQ(session.flush(), 0);

    std::vector<std::pair<std::string, std::string>> got;
    for (std::optional<ReceivedRow> r; got.size() < HubSession::kBatchRows + 12 && (r = collector.next(1000));) {
        got.emplace_back(r->source, r->values[1]);
    }
    ASSERT_EQ(got.size(), HubSession::kBatchRows + 12);
    EXPECT_EQ(got[0], (std::pair<std::string, std::string>{"a", "1"}));
    EXPECT_EQ(got[1], (std::pair<std::string, std::string>{"a", "2"}));
    for (size_t i = 2; i < got.size(); ++i) {
        ASSERT_EQ(got[i], (std::pair<std::string, std::string>{"b", std::to_string(i + 1)})) << i;
    }
    EXPECT_EQ(status.rowsSent.load(), sent + static_cast<int32_t>(HubSession::kBatchRows) + 12);
    EXPECT_EQ(status.errors.load(), 1);
    session.close();
}

TEST_F(Framework, StopSignalEndsAWaitAndWakesAPoll) {
    StopSignal stop;
    EXPECT_FALSE(stop.waitFor(0.01));
    std::thread other([&] { stop.request(); });
    EXPECT_TRUE(stop.waitFor(3600));  // ends by the request, not the time
    other.join();
    EXPECT_TRUE(stop.requested());
    uint64_t count = 0;
    EXPECT_EQ(read(stop.fd(), &count, sizeof count), static_cast<ssize_t>(sizeof count));
}

}  // namespace
}  // namespace vorpane::providers
