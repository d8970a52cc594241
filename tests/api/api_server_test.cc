// The management API over real HTTP on loopback, against the framework in the test process.
#include <sys/stat.h>

#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <thread>

#include "api/api_config.h"
#include "api/situation_store.h"
#include "testlib/scoped_env.h"
#include "testlib/trace_capture.h"
#include "api/api_fixture.h"
#include "platform/axf/engine.h"

namespace vorpane::testing {
namespace {

using Json = nlohmann::json;

// Percent-encodes a query value.
std::string encode(const std::string& text) {
    std::string out;
    for (unsigned char c : text) {
        if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~') {
            out.push_back(static_cast<char>(c));
        } else {
            char hex[4];
            std::snprintf(hex, sizeof hex, "%%%02X", c);
            out += hex;
        }
    }
    return out;
}

class Api : public ApiFixture {};

TEST_F(Api, HealthIsOpenAndEveryOtherEndpointWantsTheToken) {
    httplib::Result r = client("")->Get("/v1/health");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 200);
    Json h = body(r);
    EXPECT_EQ(h["subnodes"], 1);
    EXPECT_EQ(h["applications"], 1);
    EXPECT_EQ(h["providers"], 1);
    EXPECT_EQ(h["tables"], 1);
    EXPECT_TRUE(h.contains("uptimeSeconds"));
    EXPECT_TRUE(h.contains("hubPort"));

    for (const char* path : {"/v1/subnodes", "/v1/tables", "/v1/situations", "/v1/events", "/metrics"}) {
        r = client("")->Get(path);
        ASSERT_TRUE(r) << path;
        EXPECT_EQ(r->status, 401) << path;
        EXPECT_EQ(body(r)["error"], "unauthorized") << path;
        EXPECT_EQ(r->get_header_value("WWW-Authenticate"), "Bearer");
        r = client("not-the-token")->Get(path);
        EXPECT_EQ(r->status, 401) << path;
        EXPECT_EQ(body(r)["detail"], "the bearer token is not valid");
        // A prefix of the right token is not the token.
        r = client(std::string(kTestToken).substr(0, 10))->Get(path);
        EXPECT_EQ(r->status, 401) << path;
    }
    r = client("")->Get("/v1/subnodes", {{"Authorization", std::string("Basic ") + kTestToken}});
    EXPECT_EQ(r->status, 401);

    r = client()->Get("/v1/subnodes");
    ASSERT_EQ(r->status, 200);
    Json s = body(r)["subnodes"];
    ASSERT_EQ(s.size(), 1u);
    EXPECT_EQ(s[0]["name"], "h1:DSK01");
    EXPECT_EQ(s[0]["application"], "DSK");
    EXPECT_EQ(s[0]["version"], "04.10.00");
    EXPECT_EQ(s[0]["state"], "registered");
    EXPECT_EQ(s[0]["since"].get<std::string>().size(), 20u);  // 2026-12-06T06:00:00Z
}

TEST_F(Api, MetricsCanBeOpenedWithoutOpeningTheRest) {
    _server.reset();
    api::ApiConfig config = testConfig();
    config.metricsOpen = true;
    startServer(config);
    EXPECT_EQ(client("")->Get("/metrics")->status, 200);
    EXPECT_EQ(client("")->Get("/v1/tables")->status, 401);
}

TEST_F(Api, TablesAndApplicationsDescribeTheirColumns) {
    ASSERT_TRUE(_disks->addRow({"h1:DSK01", "/var", "975"}));
    Json tables = body(client()->Get("/v1/tables"))["tables"];
    ASSERT_EQ(tables.size(), 1u);
    EXPECT_EQ(tables[0], (Json{{"application", "DSK"}, {"release", "01"}, {"group", nullptr}, {"table", "DSKTBL01"},
                               {"sampleType", nullptr}, {"ttl", 0}, {"help", ""}, {"internal", false},
                               {"rowCount", 1}, {"columns", 3}}));

    Json t = body(client()->Get("/v1/tables/DSK01/DSKTBL01"));
    ASSERT_EQ(t["columns"].size(), 3u);
    EXPECT_EQ(t["columns"][1], (Json{{"name", "Mount"}, {"column", "VA1"}, {"type", nullptr}, {"valueType", "text"},
                                     {"length", 16}, {"unit", nullptr}, {"key", true}, {"scale", 0},
                                     {"caption", "Mount point"}, {"help", ""}}));
    EXPECT_EQ(t["columns"][2]["valueType"], "integer");
    EXPECT_EQ(t["columns"][2]["scale"], 1);

    httplib::Result r = client()->Get("/v1/tables/DSK01/NOSUCH");
    EXPECT_EQ(r->status, 404);
    EXPECT_EQ(body(r)["error"], "not found");
    EXPECT_FALSE(body(r)["detail"].get<std::string>().empty());

    Json apps = body(client()->Get("/v1/applications"))["applications"];
    ASSERT_EQ(apps.size(), 1u);
    EXPECT_EQ(apps[0]["name"], "DSK01");
    EXPECT_EQ(apps[0]["versions"], Json::array({"04.10.00"}));
    EXPECT_EQ(apps[0]["subnodes"], 1);
    EXPECT_EQ(apps[0]["groups"][0]["table"], "DSKTBL01");
    EXPECT_EQ(apps[0]["groups"][0]["attributes"][2]["caption"], "Used percent");
    // With or without its release.
    EXPECT_EQ(body(client()->Get("/v1/applications/DSK"))["name"], "DSK01");
    EXPECT_EQ(body(client()->Get("/v1/applications/dsk01"))["name"], "DSK01");
    EXPECT_EQ(client()->Get("/v1/applications/NOPE")->status, 404);
}

TEST_F(Api, TablesAreNamedByApplicationAndGroupAndTheAgentsOwnAreHidden) {
    const TableFacts cpu{.application = "VPHOST", .release = "00", .group = "CPU",
                         .help = "Processor use", .sampleType = 'P', .ttlSeconds = 60};
    axf::MemoryTable cpuTable("VPHOST00", "VPHCPU0000",
                              {{"ORIGINNODE", "Node_Name", "", AXF_COLUMN_STRING, 32},
                               {"VA1", "Busy", "Busy", AXF_COLUMN_INT32, 4, false, 1, 'G', "percent", "Busy share"},
                               {"VA2", "State", "", AXF_COLUMN_STRING, 8, false, 0, 'D', "", "Processor state"}},
                              cpu);
    TableFacts memory = cpu;
    memory.group = "MEMORY";
    axf::MemoryTable memoryTable("VPHOST00", "VPHMEM0000", {{"ORIGINNODE", "Node_Name", "", AXF_COLUMN_STRING, 32}},
                                 memory);
    TableFacts own;
    own.internal = true;
    axf::MemoryTable internal("ZOT", "ZOTACT", {{"ORIGINNODE", "Node_Name", "", AXF_COLUMN_STRING, 32}}, own);
    ASSERT_EQ(AXF_Subnode_Register("h1:VPHOST", "%AFF", "VPHOST", "01.00.00"), 0);
    ASSERT_EQ(AXF_Subnode_SendRequest(), 0);
    ASSERT_TRUE(cpuTable.addRow({"h1:VPHOST", "125", "^"}));
    ASSERT_TRUE(cpuTable.addRow({"h1:VPHOST", "900", "online"}));

    // Application without its release and group name, in any case; the code and release still work.
    for (const char* path : {"/v1/tables/VPHOST/CPU", "/v1/tables/vphost/cpu", "/v1/tables/VPHOST00/VPHCPU0000",
                             "/v1/tables/vphost00/cpu", "/v1/tables/VPHOST/VPHCPU0000"}) {
        httplib::Result r = client()->Get(path);
        ASSERT_EQ(r->status, 200) << path << " " << r->body;
        Json t = body(r);
        EXPECT_EQ(t["application"], "VPHOST");
        EXPECT_EQ(t["release"], "00");
        EXPECT_EQ(t["group"], "CPU");
        EXPECT_EQ(t["table"], "VPHCPU0000");
        EXPECT_EQ(t["sampleType"], "P");
        EXPECT_EQ(t["ttl"], 60);
        EXPECT_EQ(t["help"], "Processor use");
        EXPECT_EQ(t["columns"][1]["unit"], "percent");
        EXPECT_EQ(t["columns"][1]["help"], "Busy share");
        EXPECT_EQ(t["columns"][1]["type"], "G");
    }
    // A missing value is null; where treats it as equal to nothing, so only != holds.
    Json rows = body(client()->Get("/v1/tables/vphost/cpu/rows"));
    ASSERT_EQ(rows["count"], 2) << rows.dump();
    EXPECT_EQ(rows["application"], "VPHOST");
    EXPECT_EQ(rows["group"], "CPU");
    EXPECT_EQ(rows["rows"][0]["State"], nullptr);
    EXPECT_EQ(rows["rows"][0]["Busy"], 12.5);
    EXPECT_EQ(rows["rows"][1]["State"], "online");
    auto count = [&](const std::string& where) {
        return body(client()->Get("/v1/tables/VPHOST/CPU/rows?where=" + encode(where)))["count"];
    };
    EXPECT_EQ(count("State != 'online'"), 1);
    EXPECT_EQ(count("State = '^'"), 0);
    EXPECT_EQ(count("State < 'zzz'"), 1);
    EXPECT_EQ(count("State LIKE '*'"), 1);
    EXPECT_EQ(count("State != 'x'"), 2);

    // Unknown names answer with what exists, the closest first.
    httplib::Result r = client()->Get("/v1/tables/VPHOST/CPUS");
    EXPECT_EQ(r->status, 404);
    EXPECT_EQ(body(r)["detail"], "application VPHOST has no group CPUS; did you mean CPU? groups: CPU, MEMORY");
    r = client()->Get("/v1/tables/VPHOTS/CPU");
    EXPECT_EQ(r->status, 404);
    EXPECT_EQ(body(r)["detail"], "no application VPHOTS; did you mean VPHOST? applications: DSK, VPHOST");
    r = client()->Get("/v1/tables/VPHOST/CPU/rows?where=" + encode("Bussy > 1"));
    EXPECT_EQ(r->status, 400);
    EXPECT_NE(body(r)["detail"].get<std::string>().find("did you mean Busy? columns: Busy, Node_Name, State"),
              std::string::npos)
        << r->body;

    // A situation takes the same names.
    httplib::Result added = client()->Post(
        "/v1/situations",
        Json{{"name", "Busy_High"}, {"application", "vphost"}, {"table", "cpu"}, {"where", "Busy > 50"}, {"interval", 60}}
            .dump(),
        "application/json");
    ASSERT_EQ(added->status, 201) << added->body;
    EXPECT_EQ(body(added)["table"], "VPHCPU0000");
    EXPECT_EQ(client()->Delete("/v1/situations/Busy_High")->status, 200);

    // Two applications answering to one name: 409 with the candidates.
    TableFacts other = cpu;
    other.application = "VPHOST00";
    axf::MemoryTable twin("VPHOST0000", "VPHCPU9900", {{"ORIGINNODE", "Node_Name", "", AXF_COLUMN_STRING, 32}}, other);
    r = client()->Get("/v1/tables/VPHOST00/CPU");
    EXPECT_EQ(r->status, 409);
    EXPECT_EQ(body(r)["error"], "conflict");
    EXPECT_EQ(body(r)["candidates"].size(), 2u) << r->body;

    // The agent's own tables are listed with ?all=1 only, and can still be read by name.
    auto listed = [&](const std::string& query) {
        std::vector<std::string> out;
        const Json tables = body(client()->Get("/v1/tables" + query));
        for (const Json& t : tables["tables"]) {
            out.push_back(t["table"].get<std::string>());
        }
        return out;
    };
    EXPECT_EQ(listed(""), (std::vector<std::string>{"DSKTBL01", "VPHCPU0000", "VPHMEM0000", "VPHCPU9900"}));
    std::vector<std::string> all = listed("?all=1");
    EXPECT_NE(std::find(all.begin(), all.end(), "ZOTACT"), all.end());
    EXPECT_EQ(client()->Get("/v1/tables/ZOT/ZOTACT")->status, 200);
}

TEST_F(Api, RowsComeTypedAndFilteredByWhere) {
    ASSERT_TRUE(_disks->addRow({"h1:DSK01", "/var", "975"}));
    ASSERT_TRUE(_disks->addRow({"h1:DSK01", "/home", "-5"}));
    ASSERT_TRUE(_disks->addRow({"h1:DSK01", "/tmp", "500"}));
    ASSERT_TRUE(_disks->addRow({"h2:DSK01", "/var", "10"}));

    Json all = body(client()->Get("/v1/tables/DSK01/DSKTBL01/rows"));
    ASSERT_EQ(all["count"], 3) << all.dump();  // the registered subnode only
    EXPECT_EQ(all["rows"][0], (Json{{"Node_Name", "h1:DSK01"}, {"Mount", "/var"}, {"Used_Pct", 97.5}}));
    EXPECT_EQ(all["rows"][1]["Used_Pct"], -0.5);

    auto rows = [&](const std::string& query) { return body(client()->Get("/v1/tables/DSK01/DSKTBL01/rows?" + query)); };
    Json h2 = rows("subnode=h2:DSK01");
    ASSERT_EQ(h2["count"], 1);
    EXPECT_EQ(h2["rows"][0]["Used_Pct"], 1.0);
    EXPECT_EQ(rows("subnode=h1:DSK01,h2:DSK01")["count"], 4);

    // AND binds tighter than OR; parentheses multiply out.
    Json w = rows("where=" + encode("Mount = '/home' OR Used_Pct >= 90 AND Mount LIKE '/v*'"));
    ASSERT_EQ(w["count"], 2) << w.dump();
    w = rows("where=" + encode("(Mount EQ \"/var\" OR Mount EQ /tmp) AND VA2 GT 60"));
    ASSERT_EQ(w["count"], 1) << w.dump();
    EXPECT_EQ(w["rows"][0]["Mount"], "/var");
    EXPECT_EQ(rows("where=" + encode("Mount != '/var' and Used_Pct < 0"))["count"], 1);

    httplib::Result r = client()->Get("/v1/tables/DSK01/DSKTBL01/rows?where=" + encode("Mount EQ '/var' AND (Used_Pct >"));
    EXPECT_EQ(r->status, 400);
    Json e = body(r);
    EXPECT_EQ(e["error"], "bad where");
    EXPECT_EQ(e["position"], 32);
    EXPECT_NE(e["detail"].get<std::string>().find("at character 32"), std::string::npos) << e.dump();

    r = client()->Get("/v1/tables/DSK01/DSKTBL01/rows?where=" + encode("Nosuch EQ 1"));
    EXPECT_EQ(r->status, 400) << r->body;
    EXPECT_EQ(client()->Get("/v1/tables/DSK01/NOSUCH/rows")->status, 404);
}

TEST_F(Api, SituationsAreDefinedListedRemovedAndKeptForTheNextStart) {
    ScopedSpeedup fast(200);
    ASSERT_TRUE(_disks->addRow({"h1:DSK01", "/var", "975"}));
    const Json def{{"name", "Disk_Full"},  {"application", "DSK01"}, {"table", "DSKTBL01"},
                   {"where", "Used_Pct > 90"}, {"interval", 60}};
    httplib::Result r = client()->Post("/v1/situations", def.dump(), "application/json");
    ASSERT_EQ(r->status, 201) << r->body;
    EXPECT_EQ(body(r)["name"], "Disk_Full");
    EXPECT_EQ(client()->Post("/v1/situations", def.dump(), "application/json")->status, 409);

    Json bad = def;
    bad["name"] = "Other";
    bad["where"] = "Used_Pct >";
    r = client()->Post("/v1/situations", bad.dump(), "application/json");
    EXPECT_EQ(r->status, 400);
    EXPECT_EQ(body(r)["position"], 11);
    bad["where"] = "Used_Pct > 1";
    bad["table"] = "NOSUCH";
    EXPECT_EQ(client()->Post("/v1/situations", bad.dump(), "application/json")->status, 404);
    bad.erase("name");
    EXPECT_EQ(client()->Post("/v1/situations", bad.dump(), "application/json")->status, 400);
    EXPECT_EQ(client()->Post("/v1/situations", "{not json", "application/json")->status, 400);
    bad["name"] = "has blanks";
    bad["table"] = "DSKTBL01";
    EXPECT_EQ(client()->Post("/v1/situations", bad.dump(), "application/json")->status, 400);

    ASSERT_TRUE(axf::detail::waitForSituation(
        "Disk_Full", [](const axf::SituationStatus& s) { return !s.states.empty() && s.states[0].raised; }, 30));
    Json list = body(client()->Get("/v1/situations"))["situations"];
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0]["name"], "Disk_Full");
    EXPECT_EQ(list[0]["states"][0]["subnode"], "h1:DSK01");
    EXPECT_EQ(list[0]["states"][0]["state"], "raised");
    Json one = body(client()->Get("/v1/situations/Disk_Full"));
    EXPECT_EQ(one["table"], "DSKTBL01");
    EXPECT_GE(one["samples"], 1);
    EXPECT_EQ(client()->Get("/v1/situations/Nope")->status, 404);

    // Kept in the work directory, and defined again by the next server.
    std::vector<api::Json> kept;
    std::string error;
    ASSERT_TRUE(api::SituationStore(_dir.file(api::kSituationsFileName)).load(&kept, &error)) << error;
    ASSERT_EQ(kept.size(), 1u);
    EXPECT_EQ(kept[0]["where"], "Used_Pct > 90");
    EXPECT_EQ(kept[0]["application"], "DSK");  // without the release, which a new one changes
    EXPECT_EQ(kept[0]["table"], "DSKTBL");
    _server.reset();
    ASSERT_TRUE(axf::removeSituation("Disk_Full").ok());
    startServer();
    EXPECT_EQ(body(client()->Get("/v1/situations/Disk_Full"))["name"], "Disk_Full");

    EXPECT_EQ(client()->Delete("/v1/situations/Disk_Full")->status, 200);
    EXPECT_EQ(client()->Delete("/v1/situations/Disk_Full")->status, 404);
    EXPECT_TRUE(body(client()->Get("/v1/situations"))["situations"].empty());
    ASSERT_TRUE(api::SituationStore(_dir.file(api::kSituationsFileName)).load(&kept, &error));
    EXPECT_TRUE(kept.empty());
}

TEST_F(Api, ASituationsLastSampleIsNullUntilItsFirstSampleCompletes) {
    _disks->deferSamples(1);
    const Json def{{"name", "Disk_Full"}, {"application", "DSK01"}, {"table", "DSKTBL01"}, {"interval", 60}};
    ASSERT_EQ(client()->Post("/v1/situations", def.dump(), "application/json")->status, 201);
    ASSERT_TRUE(_disks->waitForDeferred(1, 30));
    Json before = body(client()->Get("/v1/situations/Disk_Full"));
    EXPECT_TRUE(before["lastSample"].is_null()) << before.dump();
    EXPECT_EQ(before["samples"], 0);
    ASSERT_EQ(_disks->redriveAll(), 1);
    ASSERT_TRUE(axf::detail::waitForSituation("Disk_Full", [](const axf::SituationStatus& s) { return s.samples >= 1; }, 30));
    Json after = body(client()->Get("/v1/situations/Disk_Full"));
    ASSERT_TRUE(after["lastSample"].is_string()) << after.dump();
    EXPECT_EQ(after["lastSample"].get<std::string>().size(), 20u);  // 2026-12-06T06:00:00Z
    EXPECT_EQ(after["samples"], 1);
}

TEST_F(Api, AnEventOfATableThatIsGoneStillCarriesItsRow) {
    auto gone = std::make_unique<axf::MemoryTable>(
        "GON01", "GONTBL01",
        std::vector<axf::MemoryColumn>{{"ORIGINNODE", "Node_Name", "", AXF_COLUMN_STRING, 32},
                                       {"VA1", "Name", "", AXF_COLUMN_STRING, 8},
                                       {"VA2", "Size", "", AXF_COLUMN_INT32, 4}});
    ASSERT_TRUE(axf::addSituation({"Gone_Rows", "GON01", "GONTBL01", {}, 0, true, "", "", {"h1:GON01"}}).ok());
    uint64_t last = body(client()->Get("/v1/events"))["lastSeq"];
    ASSERT_EQ(gone->pushEvent({"h1:GON01", "x", "7"}), 0);
    gone.reset();
    Json events = body(client()->Get("/v1/events?after=" + std::to_string(last)))["events"];
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events[0]["kind"], "row");
    EXPECT_EQ(events[0]["table"], "GONTBL01");
    // Without the table's description the values come in column order, typed.
    EXPECT_EQ(events[0]["row"], Json::array({"h1:GON01", "x", 7})) << events.dump();
}

TEST_F(Api, ControlCharactersInNamesAndDeepWhereTextsAreRefused) {
    const Json def{{"name", "Disk_Full"}, {"application", "DSK01"}, {"table", "DSKTBL01"}, {"interval", 60}};
    auto post = [&](const Json& body) { return client()->Post("/v1/situations", body.dump(), "application/json"); };
    auto with = [&](const char* key, const Json& value) {
        Json changed = def;
        changed[key] = value;
        return changed;
    };
    const std::string nul("DSK01\0junk", 10);
    struct Case {
        const char* key;
        Json value;
        const char* detail;
    };
    for (const Case& c : {Case{"application", nul, "\"application\" holds a control character at character 6"},
                          Case{"table", "DSKTBL01\n", "\"table\" holds a control character at character 9"},
                          Case{"name", std::string("Disk\0", 5), "a situation name has 1 to 32 letters, digits or \"_\""},
                          Case{"subnodes", Json::array({std::string("h1:DSK01\0", 9)}),
                               "\"subnodes\" holds a control character at character 9"},
                          Case{"atomic", "Mount\x1b", "\"atomic\" holds a control character at character 6"},
                          Case{"action", "Vorpane_Message a\nb", "\"action\" holds a control character at character 18"},
                          Case{"application", "DSK 01", "\"application\" must be 1 to 32 letters, digits, \"_\", \".\" or \"-\""}}) {
        httplib::Result r = post(with(c.key, c.value));
        ASSERT_TRUE(r);
        EXPECT_EQ(r->status, 400) << c.key << " " << r->body;
        EXPECT_EQ(body(r)["detail"], c.detail) << c.key;
    }
    httplib::Result r = post(with("where", std::string("Mount = '\xc3\xa9\0'", 13)));
    EXPECT_EQ(r->status, 400);
    EXPECT_EQ(body(r)["error"], "bad where");
    EXPECT_EQ(body(r)["position"], 11);  // "é" is one character

    // 12,000 nested parentheses in 24 KB: refused at the 65th, and the server serves on.
    r = post(with("where", std::string(12000, '(') + "Used_Pct > 1" + std::string(12000, ')')));
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 400);
    EXPECT_EQ(body(r)["error"], "bad where");
    EXPECT_EQ(body(r)["position"], 65);
    EXPECT_EQ(body(r)["detail"], "at character 65: parentheses nest deeper than 64");
    // A body of 100,000 nested arrays is no JSON object, and no harm either.
    EXPECT_EQ(client()->Post("/v1/situations", std::string(100000, '[') + std::string(100000, ']'), "application/json")->status,
              400);
    EXPECT_TRUE(body(client()->Get("/v1/situations"))["situations"].empty());

    AXF_RegisterCommandCallback("Vorpane_Echo", [](PlaxfAutomationCapsule*) -> long { return 0; });
    Json action{{"command", std::string("Vorpane_Echo a\0b", 16)}, {"subnodes", {"h1:DSK01"}}};
    r = client()->Post("/v1/actions", action.dump(), "application/json");
    EXPECT_EQ(r->status, 400);
    EXPECT_EQ(body(r)["detail"], "\"command\" holds a control character at character 15");
    action = Json{{"command", "Vorpane_Echo"}, {"subnodes", {std::string("h1\0", 3)}}};
    EXPECT_EQ(client()->Post("/v1/actions", action.dump(), "application/json")->status, 400);
    r = client()->Get("/v1/tables/DSK01/DSKTBL01/rows?subnode=h1:DSK01%00x");
    EXPECT_EQ(r->status, 400);
    EXPECT_EQ(body(r)["detail"], "\"subnode\" holds a control character at character 9");
    EXPECT_EQ(client()->Get("/v1/health")->status, 200);
}

TEST_F(Api, EventsLongPollReturnsOnAnEventOrAtItsTimeOut) {
    ASSERT_TRUE(axf::addSituation({"All_Rows", "DSK01", "DSKTBL01", {}, 0, true, "", "", {"h1:DSK01"}}).ok());
    uint64_t last = body(client()->Get("/v1/events"))["lastSeq"];

    int polledStatus = 0;
    std::string polledBody;
    std::thread poll([&] {
        httplib::Result r = client()->Get("/v1/events?wait=30&after=" + std::to_string(last));
        polledStatus = r ? r->status : -1;
        polledBody = r ? r->body : "";
    });
    ASSERT_EQ(_disks->pushEvent({"h1:DSK01", "/var", "990"}), 0);
    poll.join();
    ASSERT_EQ(polledStatus, 200);
    Json got = Json::parse(polledBody, nullptr, false);
    ASSERT_EQ(got["events"].size(), 1u) << got.dump();
    EXPECT_EQ(got["events"][0]["kind"], "row");
    EXPECT_EQ(got["events"][0]["situation"], "All_Rows");
    EXPECT_EQ(got["events"][0]["row"]["Used_Pct"], 99.0);
    EXPECT_EQ(got["lastSeq"], last + 1);

    {
        ScopedSpeedup fast(100);  // 2 clock seconds pass in 20 ms
        Json none = body(client()->Get("/v1/events?wait=2&after=" + std::to_string(last + 1)));
        EXPECT_TRUE(none["events"].empty());
        EXPECT_EQ(none["lastSeq"], last + 1);
    }
    EXPECT_EQ(client()->Get("/v1/events?after=-1")->status, 400);
    EXPECT_EQ(client()->Get("/v1/events?wait=soon")->status, 400);
}

std::mutex g_actionLock;
std::string g_actionCommand;
long actionCallback(PlaxfAutomationCapsule* capsule) {
    {
        std::lock_guard<std::mutex> g(g_actionLock);
        g_actionCommand = capsule->Command();
    }
    capsule->SetActionId(4711);
    return 5;
}

TEST_F(Api, ActionsAnswerTheCallbacksResult) {
    AXF_RegisterCommandCallback("Vorpane_Echo", actionCallback);
    Json a{{"command", "Vorpane_Echo hello"}, {"subnodes", {"h1:DSK01"}}};
    httplib::Result r = client()->Post("/v1/actions", a.dump(), "application/json");
    ASSERT_EQ(r->status, 200) << r->body;
    EXPECT_EQ(body(r)["result"], 5);
    EXPECT_EQ(body(r)["actionId"], 4711);  // the identifier the dispatch gave the action
    {
        std::lock_guard<std::mutex> g(g_actionLock);
        EXPECT_EQ(g_actionCommand, "Vorpane_Echo hello");
    }
    a["command"] = "Unknown_Cmd";
    EXPECT_EQ(client()->Post("/v1/actions", a.dump(), "application/json")->status, 404);
    EXPECT_EQ(client()->Post("/v1/actions", R"({"command":"Vorpane_Echo"})", "application/json")->status, 400);
    EXPECT_EQ(client()->Post("/v1/actions", R"({"subnodes":["h1:DSK01"]})", "application/json")->status, 400);
    EXPECT_EQ(client()->Post("/v1/actions", "[1,2", "application/json")->status, 400);
    // The action shows in the metrics by result.
    EXPECT_NE(client()->Get("/metrics")->body.find("vorpane_api_actions_total{result=\"5\"} 1"), std::string::npos);
}

TEST_F(Api, MessagesAreReadAfterASequenceNumber) {
    AXF_CreateMessage("2", "disk", "the disk is full", 0);
    Json m = body(client()->Get("/v1/messages"));
    ASSERT_FALSE(m["messages"].empty());
    Json lastMessage = m["messages"].back();
    EXPECT_EQ(lastMessage["text"], "the disk is full");
    EXPECT_EQ(lastMessage["category"], "disk");
    EXPECT_TRUE(body(client()->Get("/v1/messages?after=" + std::to_string(m["lastSeq"].get<uint64_t>())))["messages"].empty());
    EXPECT_EQ(client()->Get("/v1/messages?after=x")->status, 400);
}

TEST_F(Api, GeneratedFilesOnceTheyExist) {
    EXPECT_EQ(client()->Get("/v1/files/DSK/ATR")->status, 404);
    _dir.write("DSKATR10", "name=one\n");
    _dir.write("DSKCAT10", "catalog\n");
    httplib::Result r = client()->Get("/v1/files/DSK/ATR");
    ASSERT_EQ(r->status, 200);
    EXPECT_EQ(r->body, "name=one\n");
    EXPECT_EQ(client()->Get("/v1/files/DSK01/cat")->body, "catalog\n");
    EXPECT_EQ(client()->Get("/v1/files/DSK/ODI")->status, 404);
    EXPECT_EQ(client()->Get("/v1/files/DSK/EXE")->status, 400);
}

TEST_F(Api, LimitsAndUnknownPathsAnswerJsonErrors) {
    std::string big(2 * 1024 * 1024, 'x');
    httplib::Result r = client()->Post("/v1/situations", big, "application/json");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 413);
    EXPECT_EQ(body(r)["error"], "request body too large");

    r = client()->Get("/v1/nothing");
    EXPECT_EQ(r->status, 404);
    EXPECT_EQ(body(r)["error"], "not found");
    // The server serves on after both.
    EXPECT_EQ(client()->Get("/v1/tables")->status, 200);
}

TEST_F(Api, EachRequestIsLoggedInTheStateClass) {
    TraceCapture trace(vorpane::trace::kState);
    client()->Get("/v1/health");
    client("")->Get("/v1/tables");
    EXPECT_TRUE(trace.waitFor("API GET /v1/health 200"));
    EXPECT_TRUE(trace.waitFor("API GET /v1/tables 401"));
}

TEST_F(Api, AnAddressInUseIsRefusedWithTheReason) {
    api::ApiConfig config = testConfig();
    config.port = _server->port();
    api::ApiServer second;
    std::string error;
    EXPECT_FALSE(second.start(config, kTestToken, &error));
    EXPECT_NE(error.find("cannot listen on 127.0.0.1:"), std::string::npos) << error;
}

TEST(ApiConfigTest, TokenIsGeneratedOnceWithMode0600AndTheKeyWins) {
    TempDir dir;
    setWorkDirectory(dir.path());
    ScopedEnv noToken("VORPANE_API_TOKEN", std::nullopt);
    std::string token, again, error;
    EXPECT_FALSE(api::loadToken(false, &token, &error));
    ASSERT_TRUE(api::loadToken(true, &token, &error)) << error;
    EXPECT_EQ(token.size(), 64u);
    struct stat st {};
    ASSERT_EQ(stat(api::tokenFilePath().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    ASSERT_TRUE(api::loadToken(true, &again, &error));
    EXPECT_EQ(again, token);
    {
        ScopedEnv key("VORPANE_API_TOKEN", "from-the-key");
        ASSERT_TRUE(api::loadToken(true, &again, &error));
        EXPECT_EQ(again, "from-the-key");
    }
    EXPECT_TRUE(api::constantTimeEqual("abc", "abc"));
    EXPECT_FALSE(api::constantTimeEqual("abc", "abd"));
    EXPECT_FALSE(api::constantTimeEqual("abc", "abcd"));
    EXPECT_FALSE(api::constantTimeEqual("", "a"));
}

TEST(ApiConfigTest, KeysAreReadAndBadValuesNamed) {
    api::ApiConfig config;
    std::string error;
    {
        ScopedEnv port("VORPANE_API_PORT", "0");
        ScopedEnv bind("VORPANE_API_BIND", "0.0.0.0");
        ScopedEnv open("VORPANE_API_METRICS_OPEN", "Y");
        ASSERT_TRUE(api::readApiConfig(&config, &error)) << error;
        EXPECT_EQ(config.port, 0);
        EXPECT_EQ(config.bind, "0.0.0.0");
        EXPECT_TRUE(config.metricsOpen);
        EXPECT_EQ(api::clientAddress(config.bind), "127.0.0.1");
    }
    {
        ScopedEnv port("VORPANE_API_PORT", "70000");
        EXPECT_FALSE(api::readApiConfig(&config, &error));
        EXPECT_NE(error.find("VORPANE_API_PORT"), std::string::npos);
    }
    {
        ScopedEnv bind("VORPANE_API_BIND", "localhost:80");
        EXPECT_FALSE(api::readApiConfig(&config, &error));
        EXPECT_NE(error.find("VORPANE_API_BIND"), std::string::npos);
    }
}

}  // namespace
}  // namespace vorpane::testing
