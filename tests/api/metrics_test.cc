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

TEST_F(Metrics, TableColumnsAreGaugesAndPromtoolAcceptsTheWhole) {
    ASSERT_TRUE(_disks->addRow({"h1:DSK01", "/var", "975"}));
    ASSERT_TRUE(_disks->addRow({"h1:DSK01", "/with \"quote\"", "10"}));
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

    _dir.write("metrics.txt", text);
    std::string command = "promtool check metrics < " + _dir.file("metrics.txt") + " > " + _dir.file("promtool.out") + " 2>&1";
    int rc = std::system(command.c_str());
    EXPECT_EQ(rc, 0) << "promtool said:\n" << _dir.read("promtool.out") << "\non:\n" << text;
}

}  // namespace
}  // namespace vorpane::testing
