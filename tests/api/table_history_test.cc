// The tables' history: one point per sample for each numeric series (source and key), bounded per
// series and in series, old series dropped; served at /v1/tables/{appl}/{table}/history; the status
// page's files served without a token under a strict Content-Security-Policy.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "api/api_routes.h"
#include "api/status_routes.h"
#include "api/table_history.h"
#include "api_fixture.h"

namespace vorpane::testing {
namespace {

using Json = nlohmann::json;

class History : public ApiFixture {
protected:
    axf::TableDesc disks() {
        axf::TableDesc t;
        EXPECT_TRUE(axf::describeTable("DSK01", "DSKTBL01", &t).ok());
        return t;
    }
    // One sample of the test's table at the test's time, _at: the clock keeps running, and a second
    // it crosses during the test would move the points' times.
    void sample(api::TableHistory& history) {
        const axf::TableDesc t = disks();
        const axf::ReportResult r = api::reportAll(t, 5);
        ASSERT_TRUE(r.status.ok());
        history.record(t, r.columns, r.rows, _at);
    }
    int64_t _at = clock::nowSeconds();
    static std::vector<double> values(const api::HistorySeries& s) {
        std::vector<double> out;
        for (const api::HistoryPoint& p : s.points) {
            out.push_back(p.value);
        }
        return out;
    }
};

TEST_F(History, KeepsOnePointPerSampleForEachSeriesWithinItsBounds) {
    api::HistorySettings settings;
    settings.intervalSeconds = 10;
    settings.windowSeconds = 900;
    settings.maxSeries = 2;
    api::TableHistory history(settings);
    EXPECT_EQ(history.capacity(), 91u);

    ASSERT_TRUE(_disks->addRow({"h1:DSK01", "/var", "975"}));
    ASSERT_TRUE(_disks->addRow({"h1:DSK01", "/home", "5"}));
    sample(history);
    _disks->clearRows();
    // An older row of /var and then its newest: the newest row of a series gives the point.
    ASSERT_TRUE(_disks->addRow({"h1:DSK01", "/var", "1"}));
    ASSERT_TRUE(_disks->addRow({"h1:DSK01", "/var", "980"}));
    // A third series passes the limit of two: not kept, counted.
    ASSERT_TRUE(_disks->addRow({"h1:DSK01", "/tmp", "7"}));
    _at += 10;
    sample(history);

    std::vector<api::HistorySeries> series = history.read("DSK01", "DSKTBL01", 0);
    ASSERT_EQ(series.size(), 2u);
    EXPECT_EQ(series[0].subnode, "h1:DSK01");
    EXPECT_EQ(series[0].keys, (std::vector<std::pair<std::string, std::string>>{{"Mount", "/var"}}));
    EXPECT_EQ(series[0].attribute, "Used_Pct");
    EXPECT_EQ(series[0].column, "VA2");
    EXPECT_EQ(values(series[0]), (std::vector<double>{97.5, 98.0}));
    EXPECT_EQ(series[0].points[1].time - series[0].points[0].time, 10);
    EXPECT_EQ(values(series[1]), (std::vector<double>{0.5}));
    EXPECT_EQ(history.refused(), 1u);
    EXPECT_EQ(history.seriesCount(), 2u);
    // Reading from a time on, and for one subnode only.
    EXPECT_EQ(history.read("DSK01", "DSKTBL01", series[0].points[1].time)[0].points.size(), 1u);
    EXPECT_TRUE(history.read("DSK01", "DSKTBL01", 0, {"h2:DSK01"}).empty());
    EXPECT_TRUE(history.read("DSK01", "NOSUCH", 0).empty());

    // A ring never holds more than its window.
    _disks->clearRows();
    ASSERT_TRUE(_disks->addRow({"h1:DSK01", "/var", "100"}));
    for (int i = 0; i < 200; ++i) {
        _at += 10;
        sample(history);
    }
    series = history.read("DSK01", "DSKTBL01", 0);
    ASSERT_EQ(series.size(), 1u) << "/home had no point within the window: dropped";
    EXPECT_EQ(series[0].points.size(), 91u);
    EXPECT_EQ(series[0].points.back().value, 10.0);
    EXPECT_EQ(series[0].points.back().time - series[0].points.front().time, 900);

    // With no rows at all, the last series ages out too.
    _disks->clearRows();
    _at += 901;
    sample(history);
    EXPECT_EQ(history.seriesCount(), 0u);
    EXPECT_EQ(history.bytes(), 0u);
}

TEST_F(History, TwoThousandSeriesOfFifteenMinutesTakeLessThanEightMegabytes) {
    api::HistorySettings settings;
    api::TableHistory history(settings);
    for (int i = 0; i < 2000; ++i) {
        ASSERT_TRUE(_disks->addRow({"h1:DSK01", "/mnt/disk" + std::to_string(i), std::to_string(i)}));
    }
    const axf::TableDesc t = disks();
    const axf::ReportResult r = api::reportAll(t, 5);
    ASSERT_TRUE(r.status.ok());
    for (size_t i = 0; i < history.capacity() + 5; ++i) {
        history.record(t, r.columns, r.rows, clock::nowSeconds());
        clock::advance(settings.intervalSeconds);
    }
    EXPECT_EQ(history.seriesCount(), 2000u);
    const size_t bytes = history.bytes();
    std::printf("history of 2000 series, %zu points each: %zu bytes\n", history.capacity(), bytes);
    EXPECT_LT(bytes, 8u * 1024 * 1024);
}

TEST_F(History, IsServedForScriptsAndThePageNeedsNoTokenButAStrictPolicy) {
    _server.reset();
    api::ApiConfig config = testConfig();
    config.historyIntervalSeconds = 1;
    startServer(config);
    ASSERT_TRUE(_disks->addRow({"h1:DSK01", "/var", "975"}));

    // The sampler runs on its own: wait for its point.
    Json answer;
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    do {
        answer = body(client()->Get("/v1/tables/DSK/DSKTBL/history"));
    } while ((answer["series"].empty() || answer["series"][0]["points"].empty()) &&
             std::chrono::steady_clock::now() < until);
    ASSERT_FALSE(answer["series"].empty()) << answer.dump();
    EXPECT_EQ(answer["table"], "DSKTBL01");
    EXPECT_EQ(answer["interval"], 1.0);
    EXPECT_EQ(answer["window"], 900);
    const Json& s = answer["series"][0];
    EXPECT_EQ(s["subnode"], "h1:DSK01");
    EXPECT_EQ(s["keys"], (Json{{"Mount", "/var"}}));
    EXPECT_EQ(s["attribute"], "Used_Pct");
    EXPECT_EQ(s["points"][0][1], 97.5);
    EXPECT_LE(s["points"][0][0].get<int64_t>(), answer["now"].get<int64_t>());

    EXPECT_EQ(client()->Get("/v1/tables/DSK/NOSUCH/history")->status, 404);
    EXPECT_EQ(client()->Get("/v1/tables/DSK/DSKTBL/history?since=yesterday")->status, 400);
    EXPECT_EQ(client("")->Get("/v1/tables/DSK/DSKTBL/history")->status, 401);

    for (const char* path : {"/", "/ui/index.html", "/ui/app.js", "/ui/style.css"}) {
        httplib::Result r = client("")->Get(path);
        ASSERT_TRUE(r) << path;
        EXPECT_EQ(r->status, 200) << path;
        EXPECT_FALSE(r->body.empty()) << path;
        EXPECT_EQ(r->get_header_value("Content-Security-Policy"), api::kStatusPagePolicy) << path;
        EXPECT_EQ(r->get_header_value("X-Content-Type-Options"), "nosniff") << path;
    }
    EXPECT_EQ(client("")->Get("/ui/app.js")->get_header_value("Content-Type"), "text/javascript; charset=utf-8");
    EXPECT_EQ(client("")->Get("/ui/nosuch.js")->status, 404);
    EXPECT_EQ(client("")->Get("/ui/../v1/tables")->status, 404);
}

}  // namespace
}  // namespace vorpane::testing
