// A fleet as an operator runs it: three agents on loopback ports, each serving HTTPS with its own
// certificate and token, and Debian's Prometheus finding them through file-based service discovery.
// Everything is asserted through Prometheus's HTTP API: every target up, a sum over the agents of a
// value sent with vorpane-dp, a source that went offline reading 0, an agent killed with SIGKILL
// showing up == 0 with its sources stale, and alerts on both firing.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include <httplib.h>
#include <nlohmann/json.hpp>

#include "testlib/agent_harness.h"
#include "testlib/child_process.h"
#include "testlib/hub_test_client.h"
#include "testlib/temp_dir.h"
#include "testlib/test_certs.h"

namespace {

using Json = nlohmann::json;
using vorpane::testing::ChildProcess;
using vorpane::testing::TempDir;
using vorpane::testing::writeFile;
using vorpane::testing::findProgram;

// Prometheus reads its configuration, opens its storage and replays its log before it is ready; on a
// loaded machine that takes seconds. A scrape and a rule evaluation each take a second more.
constexpr std::chrono::seconds kPrometheusWait{90};

struct Agent {
    std::string name;
    std::string work;
    vorpane::testing::AgentPorts ports;
    std::vector<std::string> env;
    std::unique_ptr<ChildProcess> process;
    std::unique_ptr<ChildProcess> provider;
};

class Prometheus {
public:
    explicit Prometheus(int port) : _client("127.0.0.1", port) { _client.set_read_timeout(30, 0); }

    // The data of an instant query; null when Prometheus did not answer it.
    Json query(const std::string& expr) {
        httplib::Result r = _client.Get("/api/v1/query", httplib::Params{{"query", expr}}, httplib::Headers{});
        Json j = r && r->status == 200 ? Json::parse(r->body, nullptr, false) : Json();
        return j.is_object() && j.value("status", "") == "success" ? j["data"]["result"] : Json();
    }
    // The value of a query that yields one series, or NaN.
    double scalar(const std::string& expr) {
        Json result = query(expr);
        if (!result.is_array() || result.size() != 1) {
            return std::nan("");
        }
        return std::stod(result[0]["value"][1].get<std::string>());
    }
    Json get(const std::string& path) {
        httplib::Result r = _client.Get(path.c_str());
        Json j = r && r->status == 200 ? Json::parse(r->body, nullptr, false) : Json();
        return j.is_object() ? j["data"] : Json();
    }
    bool ready() {
        httplib::Result r = _client.Get("/-/ready");
        return r && r->status == 200;
    }

private:
    httplib::Client _client;
};

TEST(Fleet, PrometheusScrapesThreeAgentsOverHttpsAndSeesOneDie) {
    TempDir dir;
    vorpane::testing::TestCa ca("fleet CA");
    ASSERT_TRUE(ca.writeCa(dir.file("ca.pem")));
    writeFile(dir.file("fleet.desc"),
              "application FLEETDEMO help=\"Fleet demo\"\ngroup LOAD P 3600 help=\"Load of the host\"\n"
              "attribute Value G 4 help=\"A value to add up\"\n");

    std::vector<Agent> agents(3);
    for (size_t i = 0; i < agents.size(); ++i) {
        Agent& a = agents[i];
        a.name = "agent" + std::to_string(i + 1);
        a.work = dir.file(a.name);
        ASSERT_TRUE(ca.issue(a.name, dir.file(a.name + ".pem"), dir.file(a.name + ".key")));
        writeFile(dir.file("tokens/" + a.name), "token-of-" + a.name + "\n");
        a.env = vorpane::testing::agentEnvironment(
            a.work, a.ports,
            {"VORPANE_TIME_SPEEDUP=1", "VORPANE_API_TLS_CERT=" + dir.file(a.name + ".pem"),
             "VORPANE_API_TLS_KEY=" + dir.file(a.name + ".key"), "VORPANE_API_TOKEN=token-of-" + a.name,
             "VORPANE_API_CACERT=" + dir.file("ca.pem")});
        a.process = std::make_unique<ChildProcess>(std::vector<std::string>{VORPANE_AGENT_BIN}, a.env);
    }
    for (Agent& a : agents) {
        ASSERT_TRUE(a.process->waitForOutput("startup complete.")) << a.process->output();
        ASSERT_TRUE(a.process->waitForOutput("Management API listening on")) << a.process->output();
        ASSERT_TRUE(a.process->waitForOutput("(HTTPS)")) << a.process->output();
    }
    for (size_t i = 0; i < agents.size(); ++i) {
        Agent& a = agents[i];
        a.provider = std::make_unique<ChildProcess>(
            std::vector<std::string>{VORPANE_DP_BIN, "--file", dir.file("fleet.desc"), "--online",
                                     "host" + std::to_string(i + 1), "--row",
                                     "LOAD Value=" + std::to_string(10 * (i + 1)), "--wait"},
            vorpane::testing::providerEnvironment(a.work, a.ports));
        ASSERT_TRUE(a.provider->waitForOutput("(--row 1): status 0")) << a.provider->output();
        // vorpanectl over HTTPS: the scheme from the address file, the CA from the key.
        Json subnodes = vorpane::testing::ctlJson(VORPANECTL_BIN, a.env, {"subnodes"});
        ASSERT_TRUE(subnodes.is_object()) << a.process->output();
    }

    // Prometheus: one job per agent (a job has one set of credentials), each target found in a file.
    std::string scrapes;
    for (const Agent& a : agents) {
        writeFile(dir.file("targets/" + a.name + ".json"),
                  Json::array({{{"targets", {"127.0.0.1:" + std::to_string(a.ports.api)}},
                                {"labels", {{"agent", a.name}, {"fleet", "vorpane"}}}}})
                      .dump());
        scrapes += "  - job_name: vorpane-" + a.name + "\n"
                   "    scheme: https\n"
                   "    authorization:\n"
                   "      credentials_file: " + dir.file("tokens/" + a.name) + "\n"
                   "    tls_config:\n"
                   "      ca_file: " + dir.file("ca.pem") + "\n"
                   "    file_sd_configs:\n"
                   "      - files: ['" + dir.file("targets/" + a.name + ".json") + "']\n"
                   "        refresh_interval: 1s\n";
    }
    writeFile(dir.file("rules.yml"),
              "groups:\n"
              "  - name: fleet\n"
              "    rules:\n"
              "      - alert: VorpaneAgentDown\n"
              "        expr: up{fleet=\"vorpane\"} == 0\n"
              "      - alert: VorpaneSourceOffline\n"
              "        expr: vorpane_source_up == 0\n");
    writeFile(dir.file("prometheus.yml"),
              "global:\n  scrape_interval: 2s\n  scrape_timeout: 2s\n  evaluation_interval: 1s\n"
              "rule_files: ['" + dir.file("rules.yml") + "']\n"
              "scrape_configs:\n" + scrapes);
    const int port = vorpane::testing::freeHubPort();
    const std::string program = findProgram("prometheus");
    ASSERT_FALSE(program.empty()) << "prometheus is not installed (scripts/deps.sh installs it)";
    ChildProcess prometheus({program, "--config.file=" + dir.file("prometheus.yml"),
                             "--storage.tsdb.path=" + dir.file("data"),
                             "--web.listen-address=127.0.0.1:" + std::to_string(port), "--log.level=warn"},
                            {});
    Prometheus p(port);
    ASSERT_TRUE(vorpane::testing::waitUntil([&] { return p.ready(); }, kPrometheusWait)) << prometheus.output();

    // Every target up.
    auto healthy = [&] {
        Json targets = p.get("/api/v1/targets")["activeTargets"];
        int up = 0;
        for (const Json& t : targets.is_array() ? targets : Json::array()) {
            up += t.value("health", "") == "up" ? 1 : 0;
        }
        return up;
    };
    ASSERT_TRUE(vorpane::testing::waitUntil([&] { return healthy() == 3; }, kPrometheusWait))
        << p.get("/api/v1/targets").dump(2) << prometheus.output();

    // The sum over the agents of what each provider sent, and every source up.
    ASSERT_TRUE(vorpane::testing::waitUntil([&] { return p.scalar("sum(vorpane_fleetdemo_load_value)") == 60; },
                                            kPrometheusWait))
        << p.query("vorpane_fleetdemo_load_value").dump(2);
    EXPECT_EQ(p.scalar("count(vorpane_source_up{application=\"FLEETDEMO\"} == 1)"), 3);

    // A provider that goes offline: its source reads 0, and the alert on it fires.
    agents[2].provider->signal(SIGTERM);
    EXPECT_TRUE(agents[2].provider->waitExit().has_value());
    EXPECT_TRUE(vorpane::testing::waitUntil(
        [&] { return p.scalar("vorpane_source_up{agent=\"agent3\",source=\"host3\",group=\"LOAD\"}") == 0; },
        kPrometheusWait))
        << p.query("vorpane_source_up").dump(2);

    // An agent killed outright: its target is down, its sources are stale (gone from queries).
    agents[1].process->signal(SIGKILL);
    EXPECT_TRUE(agents[1].process->waitExit().has_value());
    EXPECT_TRUE(vorpane::testing::waitUntil([&] { return p.scalar("up{agent=\"agent2\"}") == 0; }, kPrometheusWait));
    EXPECT_TRUE(vorpane::testing::waitUntil(
        [&] {
            Json r = p.query("vorpane_source_up{agent=\"agent2\"}");
            return r.is_array() && r.empty();
        },
        kPrometheusWait))
        << p.query("vorpane_source_up{agent=\"agent2\"}").dump(2);

    auto firing = [&](const std::string& alert, const std::string& agent) {
        Json alerts = p.get("/api/v1/alerts")["alerts"];
        for (const Json& a : alerts.is_array() ? alerts : Json::array()) {
            if (a["labels"].value("alertname", "") == alert && a["labels"].value("agent", "") == agent &&
                a.value("state", "") == "firing") {
                return true;
            }
        }
        return false;
    };
    EXPECT_TRUE(vorpane::testing::waitUntil([&] { return firing("VorpaneAgentDown", "agent2"); }, kPrometheusWait))
        << p.get("/api/v1/alerts").dump(2);
    EXPECT_TRUE(vorpane::testing::waitUntil([&] { return firing("VorpaneSourceOffline", "agent3"); }, kPrometheusWait))
        << p.get("/api/v1/alerts").dump(2);
    EXPECT_FALSE(firing("VorpaneAgentDown", "agent1"));

    prometheus.signal(SIGTERM);
    prometheus.waitExit(kPrometheusWait);
    for (Agent& a : agents) {
        if (a.provider) {
            a.provider->signal(SIGTERM);
            a.provider->waitExit();
        }
        a.process->signal(SIGTERM);
        a.process->waitExit();
    }
}

}  // namespace
