#include <string>
#include <unordered_map>
#include <vector>

#include "api/api_http.h"
#include "api/api_json.h"
#include "api/api_routes.h"
#include "api/prometheus_text.h"
#include "api/table_metrics.h"
#include "interfaces/axf.h"
#include "interfaces/axf_facade.h"
#include "interfaces/support.h"

namespace vorpane::api {

namespace {

constexpr double kScrapeTimeoutSeconds = 2;

// Each source of each group: online or not (an offline source reads 0 until it is forgotten), the
// age of its newest row, its rows.
void sourceMetrics(PrometheusText& out) {
    const int64_t now = clock::nowSeconds();
    const std::vector<axf::SourceActivity> activity = axf::sourceActivity();
    auto labels = [](const axf::SourceActivity& a) {
        return std::vector<std::pair<std::string, std::string>>{
            {"application", a.application}, {"group", a.group}, {"source", a.source}};
    };
    out.family("vorpane_source_up", "gauge", "1 while a source of a group is online, 0 once it went offline");
    for (const axf::SourceActivity& a : activity) {
        out.sample("vorpane_source_up", labels(a), a.online ? 1LL : 0LL);
    }
    out.family("vorpane_source_last_row_age_seconds", "gauge",
               "Seconds since the newest row of a source of a group (before its first row: since it came online)");
    for (const axf::SourceActivity& a : activity) {
        out.sample("vorpane_source_last_row_age_seconds", labels(a), static_cast<long long>(lastRowAge(a, now)));
    }
    out.family("vorpane_source_rows_total", "counter", "Rows a source of a group sent since the agent started");
    for (const axf::SourceActivity& a : activity) {
        out.sample("vorpane_source_rows_total", labels(a), static_cast<long long>(a.rows));
    }
}

// The figures of the agent's other parts (the hub's), one family per name in the order they come.
void agentFigureMetrics(PrometheusText& out) {
    std::vector<axf::Figure> figures = axf::agentFigures();
    std::vector<std::string> names;
    std::unordered_map<std::string, std::vector<const axf::Figure*>> byName;
    for (const axf::Figure& f : figures) {
        std::vector<const axf::Figure*>& list = byName[f.name];
        if (list.empty()) {
            names.push_back(f.name);
        }
        list.push_back(&f);
    }
    for (const std::string& name : names) {
        const std::vector<const axf::Figure*>& list = byName[name];
        const std::string family = metricName(name);
        if (!out.family(family, list.front()->counter ? "counter" : "gauge", list.front()->help)) {
            continue;
        }
        for (const axf::Figure* f : list) {
            out.sample(family, f->labels, f->value);
        }
    }
}

void situationMetrics(PrometheusText& out) {
    std::vector<axf::SituationStatus> all;
    for (const axf::SituationDef& d : axf::listSituations()) {
        axf::SituationStatus st;
        if (axf::situationStatus(d.name, &st).ok()) {
            all.push_back(std::move(st));
        }
    }
    out.family("vorpane_situations", "gauge", "Situations defined");
    out.sample("vorpane_situations", {}, static_cast<long long>(all.size()));
    out.family("vorpane_situation_samples_total", "counter", "Completed evaluations of each situation");
    for (const axf::SituationStatus& st : all) {
        out.sample("vorpane_situation_samples_total", {{"situation", st.def.name}}, static_cast<long long>(st.samples));
    }
    out.family("vorpane_situation_raised", "gauge", "1 while a situation is raised for a subnode");
    for (const axf::SituationStatus& st : all) {
        for (const axf::SituationState& state : st.states) {
            out.sample("vorpane_situation_raised",
                       {{"situation", st.def.name}, {"subnode", state.subnode}, {"atomic_value", state.atomicValue}},
                       state.raised ? 1LL : 0LL);
        }
    }
    out.family("vorpane_situation_actions_total", "counter", "Take-action commands a situation ran");
    for (const axf::SituationStatus& st : all) {
        for (const axf::SituationState& state : st.states) {
            out.sample("vorpane_situation_actions_total",
                       {{"situation", st.def.name}, {"subnode", state.subnode}, {"atomic_value", state.atomicValue}},
                       static_cast<long long>(state.actions));
        }
    }
}

// Every table's numeric attributes (table_metrics.h), from one report of each.
void tableMetrics(PrometheusText& out) {
    for (const axf::TableDesc& t : axf::listTables()) {
        if (!reportableAsAWhole(t)) {
            continue;
        }
        const axf::ReportResult result = reportAll(t, kScrapeTimeoutSeconds);
        if (result.status.ok()) {
            tableFamilies(t, result.columns, result.rows, out);
        }
    }
}

}  // namespace

std::string metricsPage(ApiContext& s) {
    PrometheusText out;
    out.family("vorpane_up", "gauge", "1 while the agent serves");
    out.sample("vorpane_up", {}, 1LL);
    out.family("vorpane_framework_running", "gauge", "1 while the agent framework runs, else 0");
    out.sample("vorpane_framework_running", {}, axf::running() ? 1LL : 0LL);
    out.family("vorpane_uptime_seconds", "gauge", "Seconds since the management API started");
    out.sample("vorpane_uptime_seconds", {}, static_cast<long long>(clock::nowSeconds() - s.started));

    std::vector<axf::SubnodeInfo> subnodes = axf::listSubnodes();
    long long registered = 0;
    for (const axf::SubnodeInfo& n : subnodes) {
        registered += n.state == axf::SubnodeState::Registered ? 1 : 0;
    }
    out.family("vorpane_subnodes", "gauge", "Subnodes known to the framework by state");
    out.sample("vorpane_subnodes", {{"state", "registered"}}, registered);
    out.sample("vorpane_subnodes", {{"state", "deregistered"}}, static_cast<long long>(subnodes.size()) - registered);

    axf::EventBatch last = axf::readEvents(UINT64_MAX, 0, 1);
    out.family("vorpane_events_total", "counter", "Situation state changes and event rows handed out");
    out.sample("vorpane_events_total", {}, static_cast<long long>(last.lastSeq));

    situationMetrics(out);
    agentFigureMetrics(out);
    out.family("vorpane_api_responses_total", "counter", "Management API responses by status code");
    for (const auto& [code, count] : s.counters.responses()) {
        out.sample("vorpane_api_responses_total", {{"code", std::to_string(code)}}, count);
    }
    out.family("vorpane_api_actions_total", "counter", "Take-action commands run through the API by result");
    for (const auto& [result, count] : s.counters.actionResults()) {
        out.sample("vorpane_api_actions_total", {{"result", std::to_string(result)}}, count);
    }
    out.family("vorpane_api_connections", "gauge", "Open connections of the management API");
    out.sample("vorpane_api_connections", {}, static_cast<long long>(s.connections.load()));
    out.family("vorpane_api_waits", "gauge", "Requests on a wait slot: long polls, take-actions, reports");
    out.sample("vorpane_api_waits", {}, static_cast<long long>(s.waiting.load()));
    out.family("vorpane_api_refused_total", "counter", "Requests and connections the API refused or cut, by reason");
    for (const auto& [reason, count] : s.counters.refusals()) {
        out.sample("vorpane_api_refused_total", {{"reason", reason}}, count);
    }
    sourceMetrics(out);
    tableMetrics(out);
    return out.text();
}

}  // namespace vorpane::api
