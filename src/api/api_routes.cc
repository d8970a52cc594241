#include "api/api_routes.h"

#include <dirent.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include <httplib.h>

#include "api/api_http.h"
#include "api/api_json.h"
#include "api/api_names.h"
#include "api/http_front.h"
#include "api/where_parser.h"
#include "interfaces/axf.h"
#include "interfaces/axf_facade.h"
#include "interfaces/support.h"

namespace vorpane::api {

namespace {

// Longer than a demand report's wait for its provider (ZOTA_REPORT_REQUEST_EXPIRATION, 15 seconds by
// default, checked every 3): a provider that never answers gives the stored rows, not a time-out.
constexpr double kReportTimeoutSeconds = 30;
// A listing counts each table's rows with a report: one that waits for a provider longer than this
// is listed without a count.
constexpr double kCountTimeoutSeconds = 2;
constexpr size_t kMaxEventsPerPoll = 1000;
constexpr double kPollSliceSeconds = 1;

// The generated file of an application: "<key><KIND><RR>" in the work directory, the release taken
// from the name when it carries one, else from a registered subnode's version, else the highest
// present.
std::optional<std::string> generatedFile(const std::string& appl, const std::string& kind) {
    std::string upper = appl;
    ZOT0_ConvertStringToUpper(upper);
    const std::string prefix = upper.substr(0, 3) + kind;
    std::set<std::string> releases;
    const std::string dir = workDirectory();
    if (DIR* d = opendir(dir.c_str()); d != nullptr) {
        while (dirent* e = readdir(d)) {
            std::string_view n = e->d_name;
            if (n.size() == prefix.size() + 2 && n.starts_with(prefix) && std::isdigit(static_cast<unsigned char>(n[n.size() - 1])) &&
                std::isdigit(static_cast<unsigned char>(n[n.size() - 2]))) {
                releases.insert(std::string(n.substr(prefix.size())));
            }
        }
        closedir(d);
    }
    if (releases.empty()) {
        return std::nullopt;
    }
    auto pick = [&](const std::string& rr) -> std::optional<std::string> {
        if (releases.count(rr) != 0) {
            return dir + "/" + prefix + rr;
        }
        return std::nullopt;
    };
    if (upper.size() > 3 && std::isdigit(static_cast<unsigned char>(upper.back())) &&
        std::isdigit(static_cast<unsigned char>(upper[upper.size() - 2]))) {
        if (auto f = pick(upper.substr(upper.size() - 2))) {
            return f;
        }
    }
    for (const axf::SubnodeInfo& s : axf::listSubnodes()) {
        // "vv.rr.mm"
        if (axf::sameApplication(appl, s.applName) && s.version.size() >= 5) {
            if (auto f = pick(s.version.substr(3, 2))) {
                return f;
            }
        }
    }
    return dir + "/" + prefix + *releases.rbegin();
}

// The handlers, one per endpoint; each answers from the facade.
struct Routes {
    ApiContext& s;

    void health(const httplib::Request&, httplib::Response& res) {
        std::vector<axf::SubnodeInfo> subnodes = axf::listSubnodes();
        std::set<std::string> applications, sources;
        size_t registered = 0;
        for (const axf::SubnodeInfo& n : subnodes) {
            if (n.state == axf::SubnodeState::Registered) {
                ++registered;
                applications.insert(n.applName);
                sources.insert(sourceOf(n.name));
            }
        }
        axf::Identity id = axf::identity();
        // The hub writes the port it took into the product specification and the environment.
        Json hubPort = nullptr;
        if (std::optional<int> p = ZOT0_QueryProductSpecNumber(ZOT2_DCH_PORT); p && *p > 0) {
            hubPort = *p;
        } else {
            ScopedLock env(ZOTA_GetEnvVarsInitLock());
            if (const char* text = BSS1_GetEnv("ZOTA_DCH_PORT"); env.ok() && text != nullptr && *text != '\0') {
                hubPort = std::atoi(text);
            }
        }
        std::optional<std::string> product = ZOT0_QueryProductSpec(ZOT2_PRODUCT_NAME);
        reply(res, 200,
              Json{{"status", axf::loaded() ? "ok" : "starting"},
                   {"agent", product.value_or("Vorpane Agent")},
                   {"subsystem", id.subsystemId},
                   {"product", id.productCode},
                   {"version", id.version},
                   {"uptimeSeconds", clock::nowSeconds() - s.started},
                   {"hubPort", hubPort},
                   {"providers", sources.size()},
                   {"applications", applications.size()},
                   {"subnodes", registered},
                   {"tables", axf::listTables().size()}});
    }

    void subnodes(const httplib::Request&, httplib::Response& res) {
        const int64_t now = clock::nowSeconds();
        const std::vector<axf::SourceActivity> activity = axf::sourceActivity();
        Json list = Json::array();
        for (const axf::SubnodeInfo& n : axf::listSubnodes()) {
            Json j = subnodeJson(n);
            // The subnode's groups: its source's rows in each, and the age of the newest of them.
            const std::string source = sourceOf(n.name);
            Json groups = Json::array();
            Json age = nullptr;
            for (const axf::SourceActivity& a : activity) {
                if (a.source != source || !axf::sameApplication(a.application, n.applName)) {
                    continue;
                }
                groups.push_back(sourceJson(a, now));
                const int64_t groupAge = lastRowAge(a, now);
                if (age.is_null() || groupAge < age.get<int64_t>()) {
                    age = groupAge;
                }
            }
            j["lastRowAgeSeconds"] = age;
            j["groups"] = std::move(groups);
            list.push_back(std::move(j));
        }
        Json sources = Json::array();
        for (const axf::SourceActivity& a : activity) {
            sources.push_back(sourceJson(a, now));
        }
        reply(res, 200, Json{{"subnodes", std::move(list)}, {"sources", std::move(sources)}});
    }

    // Applications as the tables and subnodes show them: one per table application name.
    Json applicationJson(const std::string& name, const std::vector<axf::TableDesc>& tables,
                         const std::vector<axf::SubnodeInfo>& subnodes) {
        std::set<std::string> versions;
        size_t subnodeCount = 0;
        for (const axf::SubnodeInfo& n : subnodes) {
            if (axf::sameApplication(name, n.applName)) {
                versions.insert(n.version);
                subnodeCount += n.state == axf::SubnodeState::Registered ? 1 : 0;
            }
        }
        Json groups = Json::array();
        for (const axf::TableDesc& t : tables) {
            if (t.applName != name) {
                continue;
            }
            Json attributes = Json::array();
            for (const axf::ColumnDesc& c : t.columns) {
                attributes.push_back(columnJson(c));
            }
            groups.push_back(Json{{"group", t.group.empty() ? Json(nullptr) : Json(t.group)},
                                  {"table", t.tableName},
                                  {"help", t.help},
                                  {"attributes", std::move(attributes)}});
        }
        return Json{{"name", name}, {"versions", versions}, {"subnodes", subnodeCount}, {"groups", std::move(groups)}};
    }

    void applications(const httplib::Request&, httplib::Response& res) {
        std::vector<axf::TableDesc> tables = axf::listTables();
        std::vector<axf::SubnodeInfo> subnodes = axf::listSubnodes();
        std::set<std::string> names;
        for (const axf::TableDesc& t : tables) {
            names.insert(t.applName);
        }
        Json list = Json::array();
        for (const std::string& n : names) {
            list.push_back(applicationJson(n, tables, subnodes));
        }
        reply(res, 200, Json{{"applications", std::move(list)}});
    }

    void application(const httplib::Request& req, httplib::Response& res) {
        const std::string wanted = req.matches[1];
        std::vector<axf::TableDesc> tables = axf::listTables();
        for (const axf::TableDesc& t : tables) {
            if (axf::sameApplication(t.applName, wanted)) {
                reply(res, 200, applicationJson(t.applName, tables, axf::listSubnodes()));
                return;
            }
        }
        fail(res, 404, "no application named " + wanted);
    }

    // Whether the request asks for the agent's own tables too (?all=1).
    static bool wantsAll(const httplib::Request& req) {
        const std::string all = req.get_param_value("all");
        return all == "1" || sameText(all, "true") || sameText(all, "yes");
    }

    // The table the path's two names give (findTable), or false with the answer given: 404 with what
    // exists, 409 with the candidates.
    static bool lookUp(const httplib::Request& req, httplib::Response& res, const std::vector<axf::TableDesc>& tables,
                       const axf::TableDesc** out) {
        TableMatch m = findTable(req.matches[1].str(), req.matches[2].str(), tables);
        if (m.table == nullptr) {
            Json e{{"error", m.status == 409 ? "conflict" : "not found"}, {"detail", m.message}};
            if (!m.candidates.empty()) {
                Json list = Json::array();
                for (const axf::TableDesc* c : m.candidates) {
                    list.push_back(tableJson(*c, false));
                }
                e["candidates"] = std::move(list);
            }
            reply(res, m.status, e);
            return false;
        }
        *out = m.table;
        return true;
    }

    // How many rows a report of the table gives now; nothing when the report failed or took longer
    // than a listing should wait.
    static std::optional<size_t> rowCount(const axf::TableDesc& t) {
        if (!reportableAsAWhole(t)) {
            return std::nullopt;  // not online yet, or only requests naming a node and file can read it
        }
        const axf::ReportResult result = reportAll(t, kCountTimeoutSeconds);
        if (!result.status.ok()) {
            return std::nullopt;
        }
        return result.rows.size();
    }

    void tables(const httplib::Request& req, httplib::Response& res) {
        const bool all = wantsAll(req);
        Json list = Json::array();
        for (const axf::TableDesc& t : axf::listTables()) {
            if (t.internal && !all) {
                continue;
            }
            Json j = tableJson(t, false, rowCount(t));
            if (!j.contains("rowCount")) {
                j["rowCount"] = nullptr;
            }
            list.push_back(std::move(j));
        }
        reply(res, 200, Json{{"tables", std::move(list)}});
    }

    void table(const httplib::Request& req, httplib::Response& res) {
        const std::vector<axf::TableDesc> tables = axf::listTables();
        const axf::TableDesc* found = nullptr;
        if (!lookUp(req, res, tables, &found)) {
            return;
        }
        reply(res, 200, tableJson(*found, true));
    }

    void rows(const httplib::Request& req, httplib::Response& res) {
        axf::ReportQuery query;
        query.subnodes = listParam(req, "subnode");
        for (const std::string& n : query.subnodes) {
            if (std::string problem = nameProblem("subnode", n, kMaxSubnodeName); !problem.empty()) {
                return fail(res, 400, problem);
            }
        }
        WhereResult where = parseWhere(req.get_param_value("where"));
        if (!where.ok) {
            reply(res, 400,
                  Json{{"error", "bad where"},
                       {"detail", "at character " + std::to_string(where.position) + ": " + where.message},
                       {"position", where.position}});
            return;
        }
        const std::vector<axf::TableDesc> tables = axf::listTables();
        const axf::TableDesc* found = nullptr;
        if (!lookUp(req, res, tables, &found)) {
            return;
        }
        query.applName = found->applName;
        query.tableName = found->tableName;
        query.timeoutSeconds = kReportTimeoutSeconds;
        query.user = kApiUser;
        query.filter = std::move(where.filter);
        axf::ReportResult result = axf::runReport(query);
        if (!result.status.ok()) {
            return failWith(res, result.status);
        }
        Json list = Json::array();
        for (const axf::ReportRows::Row row : result.rows) {
            list.push_back(rowJson(result.columns, row));
        }
        reply(res, 200,
              Json{{"application", found->application},
                   {"release", found->release},
                   {"group", found->group.empty() ? Json(nullptr) : Json(found->group)},
                   {"table", found->tableName},
                   {"count", result.rows.size()},
                   {"rows", std::move(list)}});
    }

    void addSituation(const httplib::Request& req, httplib::Response& res) {
        Json body;
        if (!parseBody(req, res, &body)) {
            return;
        }
        axf::SituationDef def;
        std::string where, error;
        size_t position = 0;
        if (!situationDefFromJson(body, &def, &where, &error, &position)) {
            Json e{{"error", position > 0 ? "bad where" : "bad request"}, {"detail", error}};
            if (position > 0) {
                e["detail"] = "at character " + std::to_string(position) + ": " + error;
                e["position"] = position;
            }
            return reply(res, 400, e);
        }
        Json answer;
        axf::Status st = s.kept->add(std::move(def), where, &answer);
        if (!st.ok()) {
            return failWith(res, st);
        }
        reply(res, 201, answer);
    }

    void listSituations(const httplib::Request&, httplib::Response& res) {
        Json list = Json::array();
        std::set<std::string> defined;
        for (const axf::SituationDef& d : axf::listSituations()) {
            axf::SituationStatus status;
            defined.insert(d.name);
            if (axf::situationStatus(d.name, &status).ok()) {
                list.push_back(situationStatusJson(status));
            } else {
                list.push_back(situationDefJson(d));
            }
        }
        for (Json& j : s.kept->pending(defined)) {
            list.push_back(std::move(j));
        }
        reply(res, 200, Json{{"situations", std::move(list)}});
    }

    void situation(const httplib::Request& req, httplib::Response& res) {
        axf::SituationStatus status;
        axf::Status st = axf::situationStatus(req.matches[1].str(), &status);
        Json pending;
        if (st.code == axf::kNotFound && s.kept->pendingOne(req.matches[1].str(), &pending)) {
            return reply(res, 200, pending);
        }
        if (!st.ok()) {
            return failWith(res, st);
        }
        reply(res, 200, situationStatusJson(status));
    }

    void removeSituation(const httplib::Request& req, httplib::Response& res) {
        const std::string name = req.matches[1];
        if (axf::Status st = s.kept->remove(name); !st.ok()) {
            return failWith(res, st);
        }
        reply(res, 200, Json{{"removed", name}});
    }

    void events(const httplib::Request& req, httplib::Response& res) {
        uint64_t after = 0, waitParam = 0;
        if (!sequenceParam(req, "after", &after) || !sequenceParam(req, "wait", &waitParam)) {
            return fail(res, 400, "\"after\" and \"wait\" are whole numbers");
        }
        // A poll that waits runs on a wait slot of the HTTP front, which bounds them (mayWaitLong).
        double wait = std::min(static_cast<double>(waitParam), s.config.maxWaitSeconds);
        // The wait goes in slices so that stop() need not sit out a long poll, and so that a client
        // that left (a page reloaded, a tool stopped) gives its slot back within a slice rather than
        // holding it for the whole wait.
        axf::EventBatch batch = axf::readEvents(after, 0, kMaxEventsPerPoll);
        const double deadline = clock::now() + wait;
        while (batch.events.empty() && !s.closing.load() && !servedClientGone()) {
            double left = deadline - clock::now();
            if (left <= 0) {
                break;
            }
            batch = axf::readEvents(after, std::min(left, kPollSliceSeconds), kMaxEventsPerPoll);
        }
        std::map<std::pair<std::string, std::string>, std::optional<axf::TableDesc>> described;
        Json list = Json::array();
        for (const axf::Event& e : batch.events) {
            auto key = std::make_pair(e.applName, e.tableName);
            auto it = described.find(key);
            if (it == described.end()) {
                axf::TableDesc d;
                std::optional<axf::TableDesc> found;
                if (axf::describeTable(e.applName, e.tableName, &d).ok()) {
                    found = std::move(d);
                }
                it = described.emplace(key, std::move(found)).first;
            }
            list.push_back(eventJson(e, it->second ? &it->second->columns : nullptr));
        }
        reply(res, 200, Json{{"events", std::move(list)}, {"lastSeq", batch.lastSeq}});
    }

    void action(const httplib::Request& req, httplib::Response& res) {
        Json body;
        if (!parseBody(req, res, &body)) {
            return;
        }
        axf::ActionRequest request;
        if (std::string problem; !actionRequestFromJson(body, &request, &problem)) {
            return fail(res, 400, problem);
        }
        axf::ActionResult result = axf::runAction(request);
        if (!result.status.ok()) {
            return failWith(res, result.status);
        }
        s.counters.actionResult(result.result);
        reply(res, 200,
              Json{{"command", request.command},
                   {"subnodes", request.subnodes},
                   {"result", result.result},
                   {"actionId", result.actionId},
                   {"text", result.text}});
    }

    void messages(const httplib::Request& req, httplib::Response& res) {
        uint64_t after = 0;
        if (!sequenceParam(req, "after", &after)) {
            return fail(res, 400, "\"after\" is a whole number");
        }
        Json list = Json::array();
        uint64_t last = after;
        for (const axf::MessageEntry& m : axf::readMessages(after)) {
            list.push_back(messageJson(m));
            last = std::max(last, m.seq);
        }
        reply(res, 200, Json{{"messages", std::move(list)}, {"lastSeq", last}});
    }

    void file(const httplib::Request& req, httplib::Response& res) {
        const std::string appl = req.matches[1];
        std::string kind = req.matches[2];
        ZOT0_ConvertStringToUpper(kind);
        if (kind != "ATR" && kind != "CAT" && kind != "ODI") {
            return fail(res, 400, "the file kind is ATR, CAT or ODI");
        }
        if (!validName(appl, 22) || appl.size() < 3) {
            return fail(res, 400, "an application name has 3 to 22 letters, digits or \"_\"");
        }
        std::optional<std::string> path = generatedFile(appl, kind);
        std::string content;
        if (!path || !readWholeFile(*path, &content)) {
            return fail(res, 404, "no " + kind + " file has been generated for " + appl);
        }
        res.status = 200;
        res.set_content(std::move(content), "text/plain; charset=utf-8");
    }

    void metrics(const httplib::Request&, httplib::Response& res) {
        res.status = 200;
        res.set_content(metricsPage(s), "text/plain; version=0.0.4; charset=utf-8");
    }
};

}  // namespace

axf::ReportResult reportAll(const axf::TableDesc& table, double timeoutSeconds) {
    axf::ReportQuery query;
    query.applName = table.applName;
    query.tableName = table.tableName;
    query.timeoutSeconds = timeoutSeconds;
    query.user = kApiUser;
    return axf::runReport(query);
}

void addRoutes(httplib::Server& server, ApiContext& context) {
    auto routes = std::make_shared<Routes>(Routes{context});
    using Member = void (Routes::*)(const httplib::Request&, httplib::Response&);
    auto bind = [routes](Member m) {
        return [routes, m](const httplib::Request& req, httplib::Response& res) { ((*routes).*m)(req, res); };
    };
    const std::string name = "([A-Za-z0-9_.-]+)";
    server.Get("/v1/health", bind(&Routes::health));
    server.Get("/v1/subnodes", bind(&Routes::subnodes));
    server.Get("/v1/applications", bind(&Routes::applications));
    server.Get("/v1/applications/" + name, bind(&Routes::application));
    server.Get("/v1/tables", bind(&Routes::tables));
    server.Get("/v1/tables/" + name + "/" + name, bind(&Routes::table));
    server.Get("/v1/tables/" + name + "/" + name + "/rows", bind(&Routes::rows));
    server.Post("/v1/situations", bind(&Routes::addSituation));
    server.Get("/v1/situations", bind(&Routes::listSituations));
    server.Get("/v1/situations/" + name, bind(&Routes::situation));
    server.Delete("/v1/situations/" + name, bind(&Routes::removeSituation));
    server.Get("/v1/events", bind(&Routes::events));
    server.Post("/v1/actions", bind(&Routes::action));
    server.Get("/v1/messages", bind(&Routes::messages));
    server.Get("/v1/files/" + name + "/" + name, bind(&Routes::file));
    server.Get("/metrics", bind(&Routes::metrics));
}

}  // namespace vorpane::api
