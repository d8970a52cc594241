// The Prometheus exposition: name rules, escaping, and the agent's /metrics checked by promtool.
#include <cstdio>
#include <cstdlib>

#include "api/api_fixture.h"
#include "api/prometheus_text.h"

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

    api::PrometheusText out;
    out.family("x_total", "counter", "line one\nline \\two");
    out.sample("x_total", {{"k", "v\""}}, 3LL);
    out.sample("x_total", {}, 0.25);
    EXPECT_EQ(out.text(),
              "# HELP x_total line one\\nline \\\\two\n# TYPE x_total counter\nx_total{k=\"v\\\"\"} 3\nx_total 0.25\n");
}

class Metrics : public ApiFixture {};

TEST_F(Metrics, TableColumnsAreGaugesOrCountersAndPromtoolAcceptsTheWhole) {
    ASSERT_TRUE(_disks->addRow({"h1:DSK01", "/var", "975"}));
    ASSERT_TRUE(_disks->addRow({"h1:DSK01", "/with \"quote\"", "10"}));
    // A table with a counter attribute ('C'): a counter family named with "_total".
    axf::MemoryTable io("IO01", "IOTBL01",
                        {{"ORIGINNODE", "Node_Name", "", AXF_COLUMN_STRING, 32},
                         {"VA1", "Device", "", AXF_COLUMN_STRING, 8, true, 0, 'D'},
                         {"VA2", "Reads", "Reads since boot", AXF_COLUMN_INT32, 4, false, 0, 'C'},
                         {"VA3", "Queue", "Queue length", AXF_COLUMN_INT32, 4, false, 0, 'G'}});
    ASSERT_EQ(io.registration(), 0);
    ASSERT_TRUE(io.addRow({"h1:IO01", "sda", "123456", "3"}));
    // The figures of the agent's other parts come through the framework.
    axf::setFigureSource([] {
        return std::vector<axf::Figure>{
            {"vorpane_hub_requests_total", "Requests the hub took", true, {{"request", "dp_data"}}, 42},
            {"vorpane_hub_requests_total", "Requests the hub took", true, {{"request", "dp_online"}}, 2},
            {"vorpane_hub_connections", "TCP connections open", false, {}, 3}};
    });
    ASSERT_TRUE(axf::addSituation({"Disk_Full", "DSK01", "DSKTBL01", {}, 600}).ok());
    httplib::Result r = client()->Get("/metrics");
    ASSERT_TRUE(r);
    ASSERT_EQ(r->status, 200);
    EXPECT_NE(r->get_header_value("Content-Type").find("text/plain; version=0.0.4"), std::string::npos);
    const std::string& text = r->body;
    EXPECT_NE(text.find("# TYPE vorpane_dsk01_dsktbl01_used_pct gauge\n"), std::string::npos) << text;
    EXPECT_NE(text.find("vorpane_dsk01_dsktbl01_used_pct{subnode=\"h1:DSK01\",mount=\"/var\"} 97.5\n"), std::string::npos)
        << text;
    EXPECT_NE(text.find("mount=\"/with \\\"quote\\\"\"} 1\n"), std::string::npos) << text;
    EXPECT_NE(text.find("vorpane_subnodes{state=\"registered\"} 1\n"), std::string::npos);
    EXPECT_NE(text.find("vorpane_situations 1\n"), std::string::npos);
    EXPECT_NE(text.find("vorpane_situation_samples_total{situation=\"Disk_Full\"}"), std::string::npos);
    EXPECT_NE(text.find("# TYPE vorpane_io01_iotbl01_reads_total counter\n"
                        "vorpane_io01_iotbl01_reads_total{subnode=\"h1:IO01\",device=\"sda\"} 123456\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("# TYPE vorpane_io01_iotbl01_queue gauge\n"), std::string::npos) << text;
    EXPECT_NE(text.find("# TYPE vorpane_hub_requests_total counter\n"
                        "vorpane_hub_requests_total{request=\"dp_data\"} 42\n"
                        "vorpane_hub_requests_total{request=\"dp_online\"} 2\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("# TYPE vorpane_hub_connections gauge\nvorpane_hub_connections 3\n"), std::string::npos)
        << text;

    _dir.write("metrics.txt", text);
    std::string command = "promtool check metrics < " + _dir.file("metrics.txt") + " > " + _dir.file("promtool.out") + " 2>&1";
    int rc = std::system(command.c_str());
    EXPECT_EQ(rc, 0) << "promtool said:\n" << _dir.read("promtool.out") << "\non:\n" << text;
}

}  // namespace
}  // namespace vorpane::testing
