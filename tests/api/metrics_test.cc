// The Prometheus exposition: name rules, escaping, numbers, the tables' families (names, units,
// counters, the newest row of each series), and the agent's /metrics checked by promtool.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>

#include "api/api_fixture.h"
#include "api/prometheus_text.h"
#include "api/table_metrics.h"
#include "common/units.h"

namespace vorpane::testing {
namespace {

TEST(PrometheusText, NamesFollowThePrometheusRules) {
    EXPECT_EQ(api::metricName("vorpane_DSK01_DSKTBL01_Used_Pct"), "vorpane_dsk01_dsktbl01_used_pct");
    EXPECT_EQ(api::metricName("Used %  of disk"), "used_of_disk");
    EXPECT_EQ(api::metricName("9lives"), "_9lives");
    EXPECT_EQ(api::metricName("%%"), "_");
    EXPECT_EQ(api::labelName("__name"), "name");  // never the reserved "__"
    EXPECT_EQ(api::labelName("Mount"), "mount");
    EXPECT_EQ(api::escapeLabelValue("a\\b\"c\nd"), "a\\\\b\\\"c\\nd");
    // Label values are UTF-8 whatever a provider sent: one that is not would fail the whole page.
    EXPECT_EQ(api::escapeLabelValue("gr\xC3\xB6\xC3\x9F" "e \xF0\x9F\x98\x80"), "gr\xC3\xB6\xC3\x9F" "e \xF0\x9F\x98\x80");
    EXPECT_EQ(api::escapeLabelValue("caf\xE9"), "caf\xEF\xBF\xBD");  // Latin-1
    EXPECT_EQ(api::validUtf8("\xC0\xAF"), "\xEF\xBF\xBD\xEF\xBF\xBD");  // overlong "/"
    EXPECT_EQ(api::validUtf8("\xED\xA0\x80"), "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");  // a surrogate
    EXPECT_EQ(api::validUtf8("\xF4\x90\x80\x80"), "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");  // past U+10FFFF
    EXPECT_EQ(api::validUtf8("x\xE2\x82"), "x\xEF\xBF\xBD\xEF\xBF\xBD");  // cut short

    api::PrometheusText out;
    EXPECT_TRUE(out.family("x_total", "counter", "line one\nline \\two"));
    out.sample("x_total", {{"k", "v\""}}, 3LL);
    out.sample("x_total", {}, 0.25);
    EXPECT_FALSE(out.family("x_total", "gauge", "again"));  // one family per name
    EXPECT_EQ(out.text(),
              "# HELP x_total line one\\nline \\\\two\n# TYPE x_total counter\nx_total{k=\"v\\\"\"} 3\nx_total 0.25\n");
}

TEST(PrometheusText, NumbersAreTheShortestTextThatReadsBackExactly) {
    EXPECT_EQ(api::numberText(4.03), "4.03");
    EXPECT_EQ(api::numberText(0.1 + 0.2), "0.30000000000000004");
    EXPECT_EQ(api::numberText(1e21), "1e+21");
    EXPECT_EQ(api::numberText(-0.5), "-0.5");
    EXPECT_EQ(api::numberText(std::numeric_limits<double>::infinity()), "+Inf");
    EXPECT_EQ(api::numberText(std::numeric_limits<double>::quiet_NaN()), "NaN");
    for (double v : {4.03, 97.5, 1.0 / 3, 123456.789, 5e-324, 1.7976931348623157e308}) {
        EXPECT_EQ(std::strtod(api::numberText(v).c_str(), nullptr), v) << api::numberText(v);
    }
    api::PrometheusText out;
    out.family("load", "gauge", "load");
    out.sample("load", {}, 4.03);
    EXPECT_EQ(out.text(), "# HELP load load\n# TYPE load gauge\nload 4.03\n");

    // Integers with decimal places are written from their digits, never through a double.
    EXPECT_EQ(api::decimalText(403, 2), "4.03");
    EXPECT_EQ(api::decimalText(-5, 2), "-0.05");
    EXPECT_EQ(api::decimalText(400, 2), "4");
    EXPECT_EQ(api::decimalText(-1200, 2), "-12");
    EXPECT_EQ(api::decimalText(0, 3), "0");
    EXPECT_EQ(api::decimalText(7, 0), "7");
    EXPECT_EQ(api::decimalText(123456789, 9), "0.123456789");
    EXPECT_EQ(api::decimalText(std::numeric_limits<int64_t>::min(), 0), "-9223372036854775808");
    EXPECT_EQ(api::decimalText(std::numeric_limits<int64_t>::min(), 18), "-9.223372036854775808");
}

axf::ColumnDesc column(const char* attribute, char attrType, const char* unit = "", int scale = 0) {
    axf::ColumnDesc c;
    c.name = "VA1";
    c.attrName = attribute;
    c.attrType = attrType;
    c.valueType = axf::ValueType::Integer;
    c.scale = scale;
    c.unit = unit;
    return c;
}

std::string described(const api::AttributeMetric& m) {
    return m.name + (m.counter ? " counter" : " gauge");
}

TEST(TableMetrics, NamesCarryApplicationGroupAndBaseUnitAndCountersAreRunningCounts) {
    auto metric = [](const char* group, const axf::ColumnDesc& c, char sampleType = 'P') {
        return described(api::attributeMetric("VPHOST", group, sampleType, c));
    };
    // Sizes in bytes, shares as ratios, no unit word twice, abbreviations of the name replaced.
    EXPECT_EQ(metric("MEMORY", column("Total_KB", 'G', "KiB")), "vorpane_vphost_memory_total_bytes gauge");
    EXPECT_EQ(metric("MEMORY", column("Used_Pct", 'G', "percent", 2)), "vorpane_vphost_memory_used_ratio gauge");
    EXPECT_EQ(metric("FILESYSTEM", column("Avail_MB", 'G', "MiB")), "vorpane_vphost_filesystem_avail_bytes gauge");
    EXPECT_EQ(metric("DISK", column("Sent_Bytes", 'C', "bytes")), "vorpane_vphost_disk_sent_bytes_total counter");
    EXPECT_EQ(metric("DISK", column("Busy_Ratio", 'G', "ratio")), "vorpane_vphost_disk_busy_ratio gauge");
    EXPECT_EQ(metric("NETWORK", column("Rx_KB", 'C', "KiB")), "vorpane_vphost_network_rx_bytes_total counter");
    EXPECT_EQ(metric("NETWORK", column("Rx_Bytes_Per_Sec", 'G', "bytes_per_second")),
              "vorpane_vphost_network_rx_bytes_per_second gauge");
    EXPECT_EQ(metric("NETWORK", column("Tx_Bps", 'G', "bytes_per_second")), "vorpane_vphost_network_tx_bytes_per_second gauge");
    EXPECT_EQ(metric("CPU", column("Busy_Time", 'C', "milliseconds")), "vorpane_vphost_cpu_busy_time_seconds_total counter");
    EXPECT_EQ(metric("CPU", column("Clock", 'G', "hertz")), "vorpane_vphost_cpu_clock_hertz gauge");
    EXPECT_EQ(metric("SENSOR", column("Temp_C", 'G', "celsius", 1)), "vorpane_vphost_sensor_temp_celsius gauge");
    // Without a declared unit a name ending in a time unit is in it; other abbreviations are written
    // out, the value left alone; a unit the page does not know leaves name and value alone.
    EXPECT_EQ(metric("WEB", column("Latency_ms", 'G')), "vorpane_vphost_web_latency_seconds gauge");
    EXPECT_EQ(metric("WEB", column("Total_MB", 'G')), "vorpane_vphost_web_total_mbytes gauge");
    EXPECT_EQ(metric("WEB", column("Hits_Per_S", 'G')), "vorpane_vphost_web_hits_per_second gauge");
    EXPECT_EQ(metric("WEB", column("Backlog", 'C', "widgets")), "vorpane_vphost_web_backlog gauge");

    // Counters: C attributes that are running counts; a level, a rate, a share or a key is none.
    EXPECT_EQ(metric("NETWORK", column("Rx_Packets", 'C')), "vorpane_vphost_network_rx_packets_total counter");
    EXPECT_EQ(metric("NETWORK", column("Errors_Total", 'C')), "vorpane_vphost_network_errors_total counter");
    EXPECT_EQ(metric("NETWORK", column("Rx_Packets", 'G')), "vorpane_vphost_network_rx_packets gauge");
    EXPECT_EQ(metric("QUEUE", column("Free_Slots", 'C')), "vorpane_vphost_queue_free_slots gauge");
    EXPECT_EQ(metric("QUEUE", column("Open_Files", 'C')), "vorpane_vphost_queue_open_files gauge");
    EXPECT_EQ(metric("QUEUE", column("Avg_Wait", 'C', "seconds")), "vorpane_vphost_queue_avg_wait_seconds gauge");
    EXPECT_EQ(metric("QUEUE", column("Used_Pct", 'C', "percent")), "vorpane_vphost_queue_used_ratio gauge");
    EXPECT_EQ(metric("ACTION", column("Action_Count", 'C'), 'E'), "vorpane_vphost_action_count_action gauge");
    // A gauge never ends in a counter's, histogram's or summary's word.
    EXPECT_EQ(metric("FILESYSTEM", column("Inodes_Total", 'G')), "vorpane_vphost_filesystem_total_inodes gauge");
    EXPECT_EQ(metric("QUEUE", column("Count", 'G')), "vorpane_vphost_queue_count_value gauge");
    EXPECT_EQ(metric("QUEUE", column("Wait_Sum", 'G')), "vorpane_vphost_queue_sum_wait gauge");
    // Nor does a name say its type.
    EXPECT_EQ(metric("PAGES", column("Page_Counter", 'C')), "vorpane_vphost_pages_page_count_total counter");
    EXPECT_EQ(metric("TANK", column("Fuel_Gauge", 'G')), "vorpane_vphost_tank_fuel_level gauge");

    // Values in the base unit, exact.
    auto value = [](int64_t v, int scale, const char* unit) {
        return api::baseUnitText(v, scale, api::unitRule(unit));
    };
    EXPECT_EQ(value(2048, 0, "KiB"), "2097152");
    EXPECT_EQ(value(3, 0, "MiB"), "3145728");
    EXPECT_EQ(value(2000000000, 0, "GiB"), "2147483648000000000");
    EXPECT_EQ(value(5, 0, "KB"), "5000");
    EXPECT_EQ(value(7, 0, "GB"), "7000000000");
    EXPECT_EQ(value(4203, 2, "percent"), "0.4203");
    EXPECT_EQ(value(100, 0, "percent"), "1");
    EXPECT_EQ(value(1500, 0, "milliseconds"), "1.5");
    EXPECT_EQ(value(25, 0, "microseconds"), "0.000025");
    EXPECT_EQ(value(403, 2, "nanoseconds"), "0.00000000403");
    EXPECT_EQ(value(215, 1, "celsius"), "21.5");
    EXPECT_EQ(value(403, 2, ""), "4.03");
    EXPECT_EQ(value(-403, 2, "widgets"), "-4.03");
    EXPECT_EQ(value(std::numeric_limits<int64_t>::max(), 0, "GiB"), "9.903520314283042e+27");  // past int64
    for (std::string_view unit : kUnitNames) {  // every unit a provider may declare is converted
        EXPECT_NE(api::unitRule(unit), nullptr) << unit;
    }
    EXPECT_NE(api::unitRule("KB"), api::unitRule("KiB"));
    EXPECT_EQ(api::unitRule("kib"), nullptr);
    EXPECT_EQ(api::unitRule(""), nullptr);

    // The source is the ORIGINNODE without its application and release.
    EXPECT_EQ(api::sourceOfOrigin("shop1:ORDERS00", "ORDERS"), "shop1");
    EXPECT_EQ(api::sourceOfOrigin("h1:DSK01", "DSK"), "h1");
    EXPECT_EQ(api::sourceOfOrigin("h1:DSK", "DSK"), "h1");
    EXPECT_EQ(api::sourceOfOrigin("a:b:ORDERS01", "orders"), "a:b");
    EXPECT_EQ(api::sourceOfOrigin("ORDERSshop1_00", "ORDERS"), "ORDERSshop1_00");
    EXPECT_EQ(api::sourceOfOrigin("h1:OTHER01", "DSK"), "h1:OTHER01");
}

class Metrics : public ApiFixture {
protected:
    std::string page() {
        httplib::Result r = client()->Get("/metrics");
        EXPECT_TRUE(r);
        if (!r) {
            return "";
        }
        EXPECT_EQ(r->status, 200);
        EXPECT_NE(r->get_header_value("Content-Type").find("text/plain; version=0.0.4"), std::string::npos);
        return r->body;
    }
    // promtool's exit code and what it printed: nothing when the page is clean.
    std::pair<int, std::string> promtool(const std::string& text) {
        _dir.write("metrics.txt", text);
        std::string command =
            "promtool check metrics < " + _dir.file("metrics.txt") + " > " + _dir.file("promtool.out") + " 2>&1";
        int rc = std::system(command.c_str());
        return {WIFEXITED(rc) ? WEXITSTATUS(rc) : -1, _dir.read("promtool.out")};
    }
};

TEST_F(Metrics, EachSeriesShowsItsNewestRowAndPromtoolFindsNothing) {
    ASSERT_TRUE(_disks->addRow({"h1:DSK01", "/var", "975"}));
    ASSERT_TRUE(_disks->addRow({"h1:DSK01", "/with \"quote\"", "10"}));
    ASSERT_TRUE(_disks->addRow({"h1:DSK01", "/var", "981"}));  // newer than the first
    // An S table of a counter ('C'), a gauge, a text, a scaled number and a size in KiB: rows of one
    // device come oldest first, and the last one is the series' value.
    TableFacts facts;
    facts.application = "IO";
    facts.release = "01";
    facts.group = "DISKIO";
    facts.sampleType = 'S';
    axf::MemoryTable io("IO01", "IOTBL01",
                        {{"ORIGINNODE", "Node_Name", "", AXF_COLUMN_STRING, 32},
                         {"VA1", "Device", "", AXF_COLUMN_STRING, 8, true, 0, 'D'},
                         {"VA2", "Reads", "", AXF_COLUMN_INT32, 4, false, 0, 'C', "", "Reads since boot"},
                         {"VA3", "Queue", "", AXF_COLUMN_INT32, 4, false, 0, 'G'},
                         {"VA4", "Model", "", AXF_COLUMN_STRING, 8, false, 0, 'D'},
                         {"VA5", "Load_15", "", AXF_COLUMN_INT32, 4, false, 2, 'G'},
                         {"VA6", "Read_KB", "", AXF_COLUMN_INT32, 4, false, 0, 'C', "KiB", "Read \\ since\nboot"}},
                        facts);
    ASSERT_EQ(io.registration(), 0);
    ASSERT_TRUE(io.addRow({"h1:IO01", "sda", "602", "3", "ssd", "403", "1"}));
    ASSERT_TRUE(io.addRow({"h1:IO01", "sdb", "5", "0", "hdd", "1", "0"}));
    ASSERT_TRUE(io.addRow({"h2:IO01", "sda", "77", "1", "ssd", "0", "5"}));
    ASSERT_TRUE(io.addRow({"h1:IO01", "sda", "693", "4", "ssd", "1250", "2"}));
    ASSERT_TRUE(io.addRow({"h2:IO01", "sd\xE9", "1", "1", "", "0", "0"}));  // a key that is no UTF-8
    // The figures of the agent's other parts come through the framework.
    axf::setFigureSource([] {
        return std::vector<axf::Figure>{
            {"vorpane_hub_requests_total", "Requests the hub took", true, {{"request", "dp_data"}}, 42},
            {"vorpane_hub_requests_total", "Requests the hub took", true, {{"request", "dp_online"}}, 2},
            {"vorpane_hub_connections", "TCP connections open", false, {}, 3}};
    });
    ASSERT_TRUE(axf::addSituation({"Disk_Full", "DSK01", "DSKTBL01", {}, 600}).ok());
    const std::string text = page();
    EXPECT_NE(text.find("# TYPE vorpane_dsk_dsktbl_used_pct gauge\n"
                        "vorpane_dsk_dsktbl_used_pct{source=\"h1\",mount=\"/var\"} 98.1\n"
                        "vorpane_dsk_dsktbl_used_pct{source=\"h1\",mount=\"/with \\\"quote\\\"\"} 1\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("# HELP vorpane_io_diskio_reads_total Reads since boot\n"
                        "# TYPE vorpane_io_diskio_reads_total counter\n"
                        "vorpane_io_diskio_reads_total{source=\"h1\",device=\"sda\"} 693\n"
                        "vorpane_io_diskio_reads_total{source=\"h1\",device=\"sdb\"} 5\n"
                        "vorpane_io_diskio_reads_total{source=\"h2\",device=\"sda\"} 77\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("# TYPE vorpane_io_diskio_queue gauge\n"), std::string::npos) << text;
    EXPECT_NE(text.find("vorpane_io_diskio_load_15{source=\"h1\",device=\"sda\"} 12.5\n"), std::string::npos) << text;
    EXPECT_NE(text.find("# HELP vorpane_io_diskio_read_bytes_total Read \\\\ since\\nboot\n"
                        "# TYPE vorpane_io_diskio_read_bytes_total counter\n"
                        "vorpane_io_diskio_read_bytes_total{source=\"h1\",device=\"sda\"} 2048\n"),
              std::string::npos)
        << text;
    EXPECT_EQ(text.find("model"), std::string::npos) << text;  // text is no value
    EXPECT_EQ(text.find("IO01"), std::string::npos) << text;  // neither release nor table code
    EXPECT_EQ(text.find("iotbl"), std::string::npos) << text;
    EXPECT_NE(text.find("vorpane_io_diskio_reads_total{source=\"h2\",device=\"sd\xEF\xBF\xBD\"} 1\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("# TYPE vorpane_up gauge\nvorpane_up 1\n"), std::string::npos) << text;
    EXPECT_NE(text.find("# TYPE vorpane_framework_running gauge\nvorpane_framework_running 0\n"), std::string::npos)
        << text;  // the fixture runs no framework thread
    EXPECT_NE(text.find("vorpane_subnodes{state=\"registered\"} 1\n"), std::string::npos);
    EXPECT_NE(text.find("vorpane_situations 1\n"), std::string::npos);
    EXPECT_NE(text.find("vorpane_situation_samples_total{situation=\"Disk_Full\"}"), std::string::npos);
    EXPECT_NE(text.find("# TYPE vorpane_hub_requests_total counter\n"
                        "vorpane_hub_requests_total{request=\"dp_data\"} 42\n"
                        "vorpane_hub_requests_total{request=\"dp_online\"} 2\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("# TYPE vorpane_hub_connections gauge\nvorpane_hub_connections 3\n"), std::string::npos)
        << text;

    const auto [rc, said] = promtool(text);
    EXPECT_EQ(rc, 0) << said << "\non:\n" << text;
    EXPECT_EQ(said, "") << "on:\n" << text;
}

TEST_F(Metrics, SourcesReadUpWithTheAgeOfTheirNewestRowAndAnOfflineSourceReadsZero) {
    const int64_t now = clock::nowSeconds();
    axf::setSourceActivitySource([now] {
        return std::vector<axf::SourceActivity>{
            {.application = "DSK", .group = "DSKTBL01", .source = "h1", .online = true, .since = now - 600,
             .lastRow = now - 7, .rows = 1200, .rowsPerSecond = 2},
            {.application = "DSK", .group = "DSKTBL01", .source = "h2", .online = false, .since = now - 100,
             .lastRow = now - 400, .rows = 5},
            {.application = "DSK", .group = "DSKTBL02", .source = "h1", .online = true, .since = now - 30}};
    });
    const std::string text = page();
    EXPECT_NE(text.find("# TYPE vorpane_source_up gauge\n"
                        "vorpane_source_up{application=\"DSK\",group=\"DSKTBL01\",source=\"h1\"} 1\n"
                        "vorpane_source_up{application=\"DSK\",group=\"DSKTBL01\",source=\"h2\"} 0\n"),
              std::string::npos)
        << text;
    // Read a moment later: the ages may have grown by a second.
    for (const auto& [series, age] : std::vector<std::pair<std::string, int64_t>>{
             {"{application=\"DSK\",group=\"DSKTBL01\",source=\"h1\"} ", 7},
             {"{application=\"DSK\",group=\"DSKTBL01\",source=\"h2\"} ", 400},
             {"{application=\"DSK\",group=\"DSKTBL02\",source=\"h1\"} ", 30}}) {
        const std::string name = "vorpane_source_last_row_age_seconds" + series;
        const size_t at = text.find(name);
        ASSERT_NE(at, std::string::npos) << text;
        const int64_t shown = std::atoll(text.c_str() + at + name.size());
        EXPECT_GE(shown, age);
        EXPECT_LE(shown, age + 2);
    }
    EXPECT_NE(text.find("vorpane_source_rows_total{application=\"DSK\",group=\"DSKTBL01\",source=\"h1\"} 1200\n"),
              std::string::npos);
    const auto [rc, said] = promtool(text);
    EXPECT_EQ(rc, 0) << said;
    EXPECT_EQ(said, "");

    // /v1/subnodes: h1's groups and the age of its newest row; every source, offline ones too.
    nlohmann::json j = body(client()->Get("/v1/subnodes"));
    ASSERT_EQ(j["subnodes"].size(), 1u) << j.dump();
    const nlohmann::json& h1 = j["subnodes"][0];
    EXPECT_EQ(h1["name"], "h1:DSK01");
    ASSERT_EQ(h1["groups"].size(), 2u);
    EXPECT_LE(h1["lastRowAgeSeconds"].get<int64_t>(), 9);
    EXPECT_EQ(h1["groups"][0]["rows"], 1200);
    EXPECT_EQ(h1["groups"][0]["rowsPerSecond"], 2.0);
    EXPECT_TRUE(h1["groups"][1]["lastRow"].is_null());
    ASSERT_EQ(j["sources"].size(), 3u);
    EXPECT_EQ(j["sources"][1]["source"], "h2");
    EXPECT_EQ(j["sources"][1]["online"], false);
}

}  // namespace
}  // namespace vorpane::testing
