// Situations kept across restarts: pending until their table has its columns, never dropped from the
// file unless deleted, and following their application from release to release. No fallback retry
// fits in these tests' waits (it comes every 60 clock seconds and the clock runs at its own pace),
// so what defines the situations here is the framework telling the keeper that tables changed.
#include <filesystem>
#include <memory>
#include <optional>

#include "api/api_fixture.h"
#include "api/situation_store.h"
#include "platform/axf/engine.h"
#include "testlib/scoped_env.h"
#include "testlib/trace_capture.h"

namespace vorpane::testing {
namespace {

using Json = nlohmann::json;
constexpr auto kDeadline = std::chrono::seconds(30);

class KeptSituations : public ApiFixture {
  protected:
    std::vector<api::Json> keptFile() {
        std::vector<api::Json> kept;
        std::string error;
        EXPECT_TRUE(api::SituationStore(_dir.file(api::kSituationsFileName)).load(&kept, &error)) << error;
        return kept;
    }

    static std::optional<api::Json> entry(const std::vector<api::Json>& kept, const std::string& name) {
        for (const api::Json& k : kept) {
            if (k.is_object() && k.value("name", "") == name) {
                return k;
            }
        }
        return std::nullopt;
    }

    Json situation(const std::string& name) { return body(client()->Get("/v1/situations/" + name)); }
};

std::vector<axf::MemoryColumn> lateColumns() {
    return {{"ORIGINNODE", "Node_Name", "", AXF_COLUMN_STRING, 32},
            {"VA1", "Name", "", AXF_COLUMN_STRING, 8}};
}

TEST_F(KeptSituations, StayPendingAndKeptUntilTheirTableHasItsColumns) {
    _server.reset();
    // What a restart looks like: the agent registers the table it knew before its application is online,
    // without columns.
    auto late = std::make_unique<axf::MemoryTable>("LAT01", "LATTBL01", std::vector<axf::MemoryColumn>{});
    ASSERT_EQ(AXF_Subnode_Register("h1:LAT01", "%AFF", "LAT", "04.01.00"), 0);
    ASSERT_EQ(AXF_Subnode_SendRequest(), 0);
    const std::string original = R"([
        {"name":"Later","application":"LAT","table":"LATTBL","where":"Name EQ x","event":true},
        {"name":"Every","application":"LAT01","table":"LATTBL01","where":"","interval":60},
        {"name":"Absent","application":"ABS","table":"ABSTBL","where":"","interval":60},
        {"note":"not a situation, yet kept as it is"}
    ])";
    _dir.write(api::kSituationsFileName, original);
    TraceCapture trace(vorpane::trace::kState | vorpane::trace::kError);
    startServer();

    Json later = situation("Later");
    EXPECT_EQ(later["state"], "pending") << later.dump();
    EXPECT_EQ(later["reason"],
              "its table <LAT01/LATTBL01> has no columns yet (its application is not online)");
    EXPECT_EQ(situation("Every")["state"],
              "pending");  // not defined without columns: it would report subnode ""
    EXPECT_EQ(situation("Absent")["reason"], "no release of its table <ABS/ABSTBL> is registered yet");
    Json list = body(client()->Get("/v1/situations"))["situations"];
    ASSERT_EQ(list.size(), 3u) << list.dump();
    axf::SituationStatus status;
    EXPECT_FALSE(axf::situationStatus("Later", &status).ok());

    // Another change through the API writes the file again: nothing the user did not delete leaves it.
    const Json other{{"name", "Other"}, {"application", "DSK01"}, {"table", "DSKTBL01"}, {"interval", 60}};
    ASSERT_EQ(client()->Post("/v1/situations", other.dump(), "application/json")->status, 201);
    ASSERT_EQ(client()->Delete("/v1/situations/Other")->status, 200);
    std::vector<api::Json> kept = keptFile();
    for (const api::Json& k : api::Json::parse(original)) {
        bool found = false;
        for (const api::Json& f : kept) {
            found = found || f == k;
        }
        EXPECT_TRUE(found) << "lost from the file: " << k.dump();
    }
    EXPECT_EQ(kept.size(), 4u);

    // The application comes online: its table has columns now.
    late.reset();
    late = std::make_unique<axf::MemoryTable>("LAT01", "LATTBL01", lateColumns());
    ASSERT_TRUE(late->addRow({"h1:LAT01", "x"}));
    ASSERT_TRUE(trace.waitFor("Kept situation Later defined on <LAT01/LATTBL01>", kDeadline));
    ASSERT_TRUE(trace.waitFor("Kept situation Every defined on <LAT01/LATTBL01>", kDeadline));
    EXPECT_EQ(situation("Later")["application"], "LAT01");
    EXPECT_FALSE(situation("Later").contains("state"));
    EXPECT_EQ(situation("Absent")["state"], "pending");
    {
        ScopedSpeedup fast(200);
        ASSERT_TRUE(axf::detail::waitForSituation(
            "Every", [](const axf::SituationStatus& s) { return !s.states.empty() && s.states[0].raised; },
            30));
    }
    EXPECT_EQ(situation("Every")["states"][0]["subnode"], "h1:LAT01");
    // Waiting for a table is no error; an entry that is no situation is one.
    EXPECT_EQ(trace.count("Error: kept situation"), 0);
    EXPECT_EQ(trace.count("is not a situation with a name of its own; it stays in the file as it is"), 1);
    _server.reset();
}

TEST_F(KeptSituations, FollowTheirApplicationToItsNextRelease) {
    TraceCapture trace(vorpane::trace::kState);
    auto release = std::make_unique<axf::MemoryTable>("REL01", "RELTBL01", lateColumns());
    ASSERT_EQ(AXF_Subnode_Register("h1:REL", "%AFF", "REL", "04.01.00"), 0);
    ASSERT_EQ(AXF_Subnode_SendRequest(), 0);
    const Json def{{"name", "Follow"},
                   {"application", "REL01"},
                   {"table", "RELTBL01"},
                   {"where", "Name EQ x"},
                   {"event", true}};
    httplib::Result r = client()->Post("/v1/situations", def.dump(), "application/json");
    ASSERT_EQ(r->status, 201) << r->body;
    std::optional<api::Json> kept = entry(keptFile(), "Follow");
    ASSERT_TRUE(kept);
    EXPECT_EQ((*kept)["application"], "REL");
    EXPECT_EQ((*kept)["table"], "RELTBL");

    // Release 02 adds an attribute: the old table goes first, the new one comes after.
    release.reset();
    ASSERT_TRUE(
        trace.waitFor("Kept situation Follow pending: no release of its table <REL/RELTBL>", kDeadline));
    EXPECT_EQ(situation("Follow")["state"], "pending");
    std::vector<axf::MemoryColumn> columns = lateColumns();
    columns.push_back({"VA2", "Size", "", AXF_COLUMN_INT32, 4});
    release = std::make_unique<axf::MemoryTable>("REL02", "RELTBL02", columns);
    ASSERT_TRUE(trace.waitFor("Kept situation Follow defined on <REL02/RELTBL02>", kDeadline));

    // Release 03 registers while 02 is still there; 02 then goes.
    auto next = std::make_unique<axf::MemoryTable>("REL03", "RELTBL03", columns);
    release.reset();
    ASSERT_TRUE(trace.waitFor("Kept situation Follow defined on <REL03/RELTBL03>", kDeadline));
    Json now = situation("Follow");
    EXPECT_EQ(now["application"], "REL03");
    EXPECT_EQ(now["table"], "RELTBL03");
    // A table named without its release is the current one.
    const Json stemmed{{"name", "Stemmed"}, {"application", "REL"}, {"table", "RELTBL"}, {"interval", 600}};
    r = client()->Post("/v1/situations", stemmed.dump(), "application/json");
    ASSERT_EQ(r->status, 201) << r->body;
    EXPECT_EQ(body(r)["table"], "RELTBL03");

    // It works on the new table, and the file still names the application without a release.
    uint64_t last = body(client()->Get("/v1/events"))["lastSeq"];
    ASSERT_EQ(next->pushEvent({"h1:REL", "x", "7"}), 0);
    Json events = body(client()->Get("/v1/events?wait=30&after=" + std::to_string(last)))["events"];
    ASSERT_EQ(events.size(), 1u) << events.dump();
    EXPECT_EQ(events[0]["situation"], "Follow");
    EXPECT_EQ(events[0]["row"]["Size"], 7);
    EXPECT_EQ((*entry(keptFile(), "Follow"))["application"], "REL");

    // Deleted by the user: gone from the framework and the file, and not defined again.
    EXPECT_EQ(client()->Delete("/v1/situations/Follow")->status, 200);
    EXPECT_FALSE(entry(keptFile(), "Follow"));
    next.reset();
    EXPECT_EQ(client()->Get("/v1/situations/Follow")->status, 404);
}

TEST_F(KeptSituations, AnUnreadableFileIsSetAsideNotOverwritten) {
    _server.reset();
    _dir.write(api::kSituationsFileName, "{\"not\": \"an array\"");
    TraceCapture trace(vorpane::trace::kError);
    startServer();
    EXPECT_TRUE(trace.contains("Error: kept situations not loaded"));
    const Json def{{"name", "Fresh"}, {"application", "DSK01"}, {"table", "DSKTBL01"}, {"interval", 60}};
    ASSERT_EQ(client()->Post("/v1/situations", def.dump(), "application/json")->status, 201);
    ASSERT_EQ(keptFile().size(), 1u);
    bool asideKept = false;
    for (const auto& file : std::filesystem::directory_iterator(_dir.path())) {
        asideKept = asideKept || file.path().filename().string().starts_with(
                                     std::string(api::kSituationsFileName) + ".unreadable.");
    }
    EXPECT_TRUE(asideKept);
}

}  // namespace
}  // namespace vorpane::testing
