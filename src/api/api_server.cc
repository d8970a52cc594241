#include "api/api_server.h"

#include <dirent.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <set>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include <httplib.h>

#include "api/prometheus_text.h"
#include "api/where_parser.h"
#include "interfaces/axf.h"
#include "interfaces/axf_facade.h"
#include "interfaces/support.h"

namespace vorpane::api {

namespace {

// Longer than a demand report's wait for its provider (ZOTA_REPORT_REQUEST_EXPIRATION, 15 seconds by
// default, checked every 3): a provider that never answers gives the stored rows, not a time-out.
constexpr double kReportTimeoutSeconds = 30;
constexpr double kScrapeTimeoutSeconds = 2;
constexpr double kKeepRetrySeconds = 5;
constexpr size_t kMaxEventsPerPoll = 1000;
constexpr double kPollSliceSeconds = 1;
constexpr const char* kJsonType = "application/json";
constexpr const char* kApiUser = "api";

// When the current worker began its request (the request log's time).
thread_local int64_t t_requestStart = 0;

std::string dump(const Json& j) { return j.dump(-1, ' ', false, Json::error_handler_t::replace); }

void reply(httplib::Response& res, int status, const Json& body) {
    res.status = status;
    res.set_content(dump(body) + "\n", kJsonType);
}

const char* reasonOf(int status) {
    switch (status) {
        case 400:
            return "bad request";
        case 401:
            return "unauthorized";
        case 404:
            return "not found";
        case 405:
            return "method not allowed";
        case 408:
            return "request timeout";
        case 409:
            return "conflict";
        case 413:
            return "request body too large";
        case 414:
            return "request target too long";
        case 501:
            return "not implemented";
        case 503:
            return "not ready";
        case 504:
            return "timed out";
        default:
            return status < 500 ? "bad request" : "internal error";
    }
}

void fail(httplib::Response& res, int status, const std::string& detail) {
    reply(res, status, Json{{"error", reasonOf(status)}, {"detail", detail}});
}

int statusOf(const axf::Status& s) {
    switch (s.code) {
        case axf::kOk:
            return 200;
        case axf::kNotImplemented:
            return 501;
        case axf::kNotFound:
            return 404;
        case axf::kInvalid:
            return 400;
        case axf::kExists:
            return 409;
        case axf::kTimeout:
            return 504;
        case axf::kStopped:
            return 503;
        default:
            return 500;
    }
}

void failWith(httplib::Response& res, const axf::Status& s) { fail(res, statusOf(s), s.message); }

bool sameText(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::toupper(static_cast<unsigned char>(x)) == std::toupper(static_cast<unsigned char>(y));
           });
}

// A sequence number parameter: absent is 0. False when it is not a whole number.
bool sequenceParam(const httplib::Request& req, const char* key, uint64_t* out) {
    *out = 0;
    if (!req.has_param(key)) {
        return true;
    }
    std::string text = req.get_param_value(key);
    if (text.empty() || text.size() > 20 || !std::all_of(text.begin(), text.end(), ::isdigit)) {
        return false;
    }
    errno = 0;
    unsigned long long v = std::strtoull(text.c_str(), nullptr, 10);
    *out = v;
    return errno == 0;
}

// Every value of a repeatable parameter, each also split at commas.
std::vector<std::string> listParam(const httplib::Request& req, const char* key) {
    std::vector<std::string> out;
    size_t count = req.get_param_value_count(key);
    for (size_t i = 0; i < count; ++i) {
        std::string v = req.get_param_value(key, i);
        size_t start = 0;
        while (start <= v.size()) {
            size_t comma = v.find(',', start);
            std::string part = v.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
            if (!part.empty()) {
                out.push_back(part);
            }
            if (comma == std::string::npos) {
                break;
            }
            start = comma + 1;
        }
    }
    return out;
}

bool parseBody(const httplib::Request& req, httplib::Response& res, Json* body) {
    *body = Json::parse(req.body, nullptr, false);
    if (body->is_discarded()) {
        fail(res, 400, "the body is not valid JSON");
        return false;
    }
    return true;
}

// An application's name as the tables carry it (with its two-digit release) matches the subnodes'
// name (without it).
bool sameApplication(const std::string& tableAppl, const std::string& subnodeAppl) {
    if (sameText(tableAppl, subnodeAppl)) {
        return true;
    }
    return tableAppl.size() == subnodeAppl.size() + 2 && sameText(tableAppl.substr(0, subnodeAppl.size()), subnodeAppl) &&
           std::isdigit(static_cast<unsigned char>(tableAppl[tableAppl.size() - 1])) &&
           std::isdigit(static_cast<unsigned char>(tableAppl[tableAppl.size() - 2]));
}

std::string sourceOf(const std::string& subnode) {
    std::string source;
    return ZOTA_GetSrcNameFromSubNodeName(subnode.c_str(), &source) == 0 ? source : subnode;
}

bool validName(std::string_view name, size_t maxLength) {
    return !name.empty() && name.size() <= maxLength && std::all_of(name.begin(), name.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || c == '_';
    });
}

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
        if (sameApplication(appl, s.applName) && s.version.size() >= 5) {
            if (auto f = pick(s.version.substr(3, 2))) {
                return f;
            }
        }
    }
    return dir + "/" + prefix + *releases.rbegin();
}

// Holds one of the long-poll slots for a scope.
class WaitSlot {
public:
    WaitSlot(std::atomic<int>& waiting, int limit) : _waiting(waiting) {
        _held = _waiting.fetch_add(1) < limit;
        if (!_held) {
            _waiting.fetch_sub(1);
        }
    }
    ~WaitSlot() {
        if (_held) {
            _waiting.fetch_sub(1);
        }
    }
    WaitSlot(const WaitSlot&) = delete;
    WaitSlot& operator=(const WaitSlot&) = delete;
    bool held() const { return _held; }

private:
    std::atomic<int>& _waiting;
    bool _held = false;
};

}  // namespace

// The handlers, one per endpoint; each answers from the facade.
struct ApiServer::Routes {
    ApiServer& s;

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
              Json{{"status", axf::running() ? "ok" : "starting"},
                   {"agent", product.value_or("Vorpane Agent")},
                   {"subsystem", id.subsystemId},
                   {"product", id.productCode},
                   {"version", id.version},
                   {"uptimeSeconds", clock::nowSeconds() - s._started},
                   {"hubPort", hubPort},
                   {"providers", sources.size()},
                   {"applications", applications.size()},
                   {"subnodes", registered},
                   {"tables", axf::listTables().size()}});
    }

    void subnodes(const httplib::Request&, httplib::Response& res) {
        Json list = Json::array();
        for (const axf::SubnodeInfo& n : axf::listSubnodes()) {
            list.push_back(subnodeJson(n));
        }
        reply(res, 200, Json{{"subnodes", std::move(list)}});
    }

    // Applications as the tables and subnodes show them: one per table application name.
    Json applicationJson(const std::string& name, const std::vector<axf::TableDesc>& tables,
                         const std::vector<axf::SubnodeInfo>& subnodes) {
        std::set<std::string> versions;
        size_t subnodeCount = 0;
        for (const axf::SubnodeInfo& n : subnodes) {
            if (sameApplication(name, n.applName)) {
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
                attributes.push_back(Json{{"name", columnKey(c)},
                                          {"column", c.name},
                                          {"type", c.valueType == axf::ValueType::Integer ? "integer" : "text"},
                                          {"length", c.length},
                                          {"key", c.key},
                                          {"scale", c.scale},
                                          {"help", c.caption}});
            }
            groups.push_back(Json{{"table", t.tableName}, {"attributes", std::move(attributes)}});
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
            if (sameApplication(t.applName, wanted)) {
                reply(res, 200, applicationJson(t.applName, tables, axf::listSubnodes()));
                return;
            }
        }
        fail(res, 404, "no application named " + wanted);
    }

    void tables(const httplib::Request&, httplib::Response& res) {
        Json list = Json::array();
        for (const axf::TableDesc& t : axf::listTables()) {
            list.push_back(tableJson(t, false));
        }
        reply(res, 200, Json{{"tables", std::move(list)}});
    }

    void table(const httplib::Request& req, httplib::Response& res) {
        axf::TableDesc desc;
        axf::Status st = axf::describeTable(req.matches[1].str(), req.matches[2].str(), &desc);
        if (!st.ok()) {
            return failWith(res, st);
        }
        reply(res, 200, tableJson(desc, true));
    }

    void rows(const httplib::Request& req, httplib::Response& res) {
        axf::ReportQuery query;
        query.applName = req.matches[1];
        query.tableName = req.matches[2];
        query.subnodes = listParam(req, "subnode");
        query.timeoutSeconds = kReportTimeoutSeconds;
        query.user = kApiUser;
        WhereResult where = parseWhere(req.get_param_value("where"));
        if (!where.ok) {
            reply(res, 400,
                  Json{{"error", "bad where"},
                       {"detail", "at character " + std::to_string(where.position) + ": " + where.message},
                       {"position", where.position}});
            return;
        }
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
              Json{{"application", query.applName},
                   {"table", query.tableName},
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
        if (!validName(def.name, 32)) {
            return fail(res, 400, "a situation name has 1 to 32 letters, digits or \"_\"");
        }
        axf::Status st = axf::addSituation(def);
        if (!st.ok()) {
            return failWith(res, st);
        }
        Json kept{{"name", def.name},         {"application", def.applName}, {"table", def.tableName},
                  {"where", where},           {"interval", def.intervalSeconds}, {"event", def.event},
                  {"action", def.action},     {"atomic", def.atomicColumn}, {"subnodes", def.subnodes}};
        std::string saveError;
        bool saved = true;
        {
            ScopedLock guard(s._lock);
            s._kept[def.name] = kept;
            saved = s._store->save(s._kept, &saveError);
        }
        if (!saved) {
            VA_ERROR("Error: the situation %s is defined but could not be kept: %s\n", def.name.c_str(),
                     saveError.c_str());
        }
        reply(res, 201, situationDefJson(def));
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
        ScopedLock guard(s._lock);
        for (const auto& [name, pending] : s._pending) {
            if (pending && defined.count(name) == 0) {
                Json j = s._kept[name];
                j["pending"] = "the table is not registered yet";
                list.push_back(std::move(j));
            }
        }
        reply(res, 200, Json{{"situations", std::move(list)}});
    }

    void situation(const httplib::Request& req, httplib::Response& res) {
        axf::SituationStatus status;
        axf::Status st = axf::situationStatus(req.matches[1].str(), &status);
        if (!st.ok()) {
            return failWith(res, st);
        }
        reply(res, 200, situationStatusJson(status));
    }

    void removeSituation(const httplib::Request& req, httplib::Response& res) {
        const std::string name = req.matches[1];
        axf::Status st = axf::removeSituation(name);
        ScopedLock guard(s._lock);
        bool wasKept = s._kept.erase(name) > 0;
        s._pending.erase(name);
        if (!st.ok() && !(st.code == axf::kNotFound && wasKept)) {
            return failWith(res, st);
        }
        std::string error;
        if (wasKept && !s._store->save(s._kept, &error)) {
            VA_ERROR("Error: the situation %s is removed but the kept list could not be written: %s\n",
                     name.c_str(), error.c_str());
        }
        reply(res, 200, Json{{"removed", name}});
    }

    void events(const httplib::Request& req, httplib::Response& res) {
        uint64_t after = 0, waitParam = 0;
        if (!sequenceParam(req, "after", &after) || !sequenceParam(req, "wait", &waitParam)) {
            return fail(res, 400, "\"after\" and \"wait\" are whole numbers");
        }
        double wait = std::min(static_cast<double>(waitParam), s._config.maxWaitSeconds);
        WaitSlot slot(s._waiting, s._config.threads - 1);
        if (wait > 0 && !slot.held()) {
            return fail(res, 503, "too many clients are waiting for events; try again");
        }
        // The wait goes in slices so that stop() need not sit out a long poll: shutdown waits at most
        // one slice for it.
        axf::EventBatch batch = axf::readEvents(after, 0, kMaxEventsPerPoll);
        const double deadline = clock::now() + (slot.held() ? wait : 0);
        while (batch.events.empty() && !s._closing.load()) {
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
        request.user = kApiUser;
        auto command = body.is_object() ? body.find("command") : body.end();
        if (!body.is_object() || command == body.end() || !command->is_string() || command->get<std::string>().empty()) {
            return fail(res, 400, "\"command\" (a non-empty string) is missing");
        }
        request.command = command->get<std::string>();
        auto subnodes = body.find("subnodes");
        if (subnodes == body.end() || !subnodes->is_array() || subnodes->empty()) {
            return fail(res, 400, "\"subnodes\" (a list of at least one name) is missing");
        }
        for (const Json& n : *subnodes) {
            if (!n.is_string()) {
                return fail(res, 400, "\"subnodes\" must be a list of names");
            }
            request.subnodes.push_back(n.get<std::string>());
        }
        axf::ActionResult result = axf::runAction(request);
        if (!result.status.ok()) {
            return failWith(res, result.status);
        }
        {
            ScopedLock guard(s._lock);
            ++s._actionResults[result.result];
        }
        reply(res, 200,
              Json{{"command", request.command},
                   {"subnodes", request.subnodes},
                   {"result", result.result},
                   {"actionId", result.actionId}});
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
        PrometheusText out;
        out.family("vorpane_up", "gauge", "1 while the agent serves; framework_running says whether the framework runs");
        out.sample("vorpane_up", {{"framework_running", axf::running() ? "1" : "0"}}, 1LL);
        out.family("vorpane_uptime_seconds", "gauge", "Seconds since the management API started");
        out.sample("vorpane_uptime_seconds", {}, static_cast<long long>(clock::nowSeconds() - s._started));

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
        {
            ScopedLock guard(s._lock);
            out.family("vorpane_api_responses_total", "counter", "Management API responses by status code");
            for (const auto& [code, count] : s._responses) {
                out.sample("vorpane_api_responses_total", {{"code", std::to_string(code)}}, count);
            }
            out.family("vorpane_api_actions_total", "counter", "Take-action commands run through the API by result");
            for (const auto& [result, count] : s._actionResults) {
                out.sample("vorpane_api_actions_total", {{"result", std::to_string(result)}}, count);
            }
        }
        tableMetrics(out);
        res.status = 200;
        res.set_content(out.text(), "text/plain; version=0.0.4; charset=utf-8");
    }

    // The figures of the agent's other parts (the hub's), one family per name in the order they come.
    static void agentFigureMetrics(PrometheusText& out) {
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
            out.family(family, list.front()->counter ? "counter" : "gauge", list.front()->help);
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

    // Every integer column that is not a key, as a gauge per row labelled by the row's subnode and key
    // columns.
    void tableMetrics(PrometheusText& out) {
        std::unordered_set<std::string> families;
        for (const axf::TableDesc& t : axf::listTables()) {
            axf::ReportQuery query;
            query.applName = t.applName;
            query.tableName = t.tableName;
            query.timeoutSeconds = kScrapeTimeoutSeconds;
            query.user = kApiUser;
            axf::ReportResult result = axf::runReport(query);
            if (!result.status.ok()) {
                continue;
            }
            std::vector<size_t> labelColumns;
            std::vector<std::string> labelNames;
            std::set<std::string> usedLabels;
            for (size_t i = 0; i < result.columns.size(); ++i) {
                const axf::ColumnDesc& c = result.columns[i];
                std::string name = sameText(c.name, "ORIGINNODE") ? "subnode" : labelName(columnKey(c));
                if ((c.key || sameText(c.name, "ORIGINNODE")) && usedLabels.insert(name).second) {
                    labelColumns.push_back(i);
                    labelNames.push_back(name);
                }
            }
            for (size_t i = 0; i < result.columns.size(); ++i) {
                const axf::ColumnDesc& c = result.columns[i];
                if (c.valueType != axf::ValueType::Integer || c.key) {
                    continue;
                }
                // A counter attribute only grows: Prometheus takes its rate, and wants "_total" on its name.
                const bool counter = c.attrType == 'C';
                std::string name = metricName("vorpane_" + t.applName + "_" + t.tableName + "_" + columnKey(c)) +
                                   (counter ? "_total" : "");
                if (!families.insert(name).second) {
                    continue;
                }
                out.family(name, counter ? "counter" : "gauge", c.caption.empty() ? columnKey(c) : c.caption);
                std::unordered_set<std::string> seen;
                for (const axf::ReportRows::Row row : result.rows) {
                    Labels labels;
                    std::string identity;
                    for (size_t k = 0; k < labelColumns.size(); ++k) {
                        const size_t column = labelColumns[k];
                        std::string text = row.isInteger(column) ? std::to_string(row.integer(column))
                                                                 : std::string(row.text(column));
                        identity += text;
                        identity.push_back('\0');
                        labels.emplace_back(labelNames[k], std::move(text));
                    }
                    if (!seen.insert(identity).second || !row.isInteger(i)) {
                        continue;  // one sample per label set
                    }
                    int64_t v = row.integer(i);
                    if (c.scale > 0) {
                        out.sample(name, labels, valueJson(c, axf::Value(v)).get<double>());
                    } else {
                        out.sample(name, labels, static_cast<long long>(v));
                    }
                }
            }
        }
    }
};

ApiServer::ApiServer() = default;

ApiServer::~ApiServer() { stop(); }

bool ApiServer::start(const ApiConfig& config, std::string token, std::string* error) {
    _config = config;
    _token = std::move(token);
    _started = clock::nowSeconds();
    _store.emplace(workDirectory() + "/" + kSituationsFileName);
    _server = std::make_unique<httplib::Server>();
    httplib::Server& server = *_server;
    auto routes = std::make_shared<Routes>(Routes{*this});

    server.set_payload_max_length(config.maxBodyBytes);
    server.set_read_timeout(config.readTimeoutSeconds, 0);
    server.set_write_timeout(config.writeTimeoutSeconds, 0);
    server.set_keep_alive_timeout(2);
    // SO_REUSEADDR only: httplib's default also sets SO_REUSEPORT, which would let a second agent
    // share the port silently instead of being told it is taken.
    server.set_socket_options([](int sock) {
        int yes = 1;
        setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    });
    server.set_keep_alive_max_count(100);
    server.new_task_queue = [this] {
        // Runs on the listener thread as it starts serving: start() may return.
        ScopedLock guard(_lock);
        _poolReady = true;
        _changed.broadcast();
        return new httplib::ThreadPool(static_cast<size_t>(_config.threads));
    };

    server.set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
        t_requestStart = clock::steadyNanos();
        if (req.path == "/v1/health" || (req.path == "/metrics" && _config.metricsOpen)) {
            return httplib::Server::HandlerResponse::Unhandled;
        }
        const std::string header = req.get_header_value("Authorization");
        constexpr std::string_view kBearer = "Bearer ";
        if (header.size() > kBearer.size() && std::string_view(header).substr(0, kBearer.size()) == kBearer &&
            constantTimeEqual(std::string_view(header).substr(kBearer.size()), _token)) {
            return httplib::Server::HandlerResponse::Unhandled;
        }
        res.set_header("WWW-Authenticate", "Bearer");
        fail(res, 401, header.empty() ? "the request has no bearer token" : "the bearer token is not valid");
        return httplib::Server::HandlerResponse::Handled;
    });
    server.set_error_handler(httplib::Server::HandlerWithResponse(
        [](const httplib::Request&, httplib::Response& res) {
            // Answers of the handlers carry their own body; what httplib refuses by itself (no such
            // endpoint, body too large, time-outs) gets one here.
            if (!res.body.empty()) {
                return httplib::Server::HandlerResponse::Unhandled;
            }
            fail(res, res.status, res.status == 404 ? "no such endpoint" : "the request cannot be served");
            return httplib::Server::HandlerResponse::Handled;
        }));
    server.set_logger([this](const httplib::Request& req, const httplib::Response& res) {
        double ms = t_requestStart == 0 ? 0.0 : static_cast<double>(clock::steadyNanos() - t_requestStart) / 1e6;
        t_requestStart = 0;
        VA_STATE("API %s %s %d %.3f ms\n", req.method.c_str(), req.path.c_str(), res.status, ms);
        ScopedLock guard(_lock);
        ++_responses[res.status];
    });

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

    int port = config.port;
    if (port == 0) {
        port = server.bind_to_any_port(config.bind);
        if (port < 0) {
            port = 0;
        }
    } else if (!server.bind_to_port(config.bind, port)) {
        port = 0;
    }
    if (port == 0) {
        *error = "cannot listen on " + config.bind + ":" + std::to_string(config.port) + ": " + std::strerror(errno);
        _server.reset();
        return false;
    }
    int rc = ZOT0_CreateThread([this] { _server->listen_after_bind(); }, 0, &_listener, "api-listen");
    if (rc != 0) {
        *error = "cannot start the listener thread: errno=" + std::to_string(rc);
        _server.reset();
        return false;
    }
    _listening = true;
    {
        ScopedLock guard(_lock);
        // Until the pool exists a stop() could not end listen_after_bind; its start is one step away.
        _changed.waitUntil(_lock, -1, [this]() VA_REQUIRES(_lock) { return _poolReady; });
    }
    _port.store(port);
    VA_STATE("Management API listening on %s:%d\n", config.bind.c_str(), port);

    std::vector<Json> kept;
    std::string loadError;
    if (!_store->load(&kept, &loadError)) {
        VA_ERROR("Error: kept situations not loaded: %s\n", loadError.c_str());
    }
    bool anyPending = false;
    for (const Json& body : kept) {
        bool tableMissing = false;
        if (!defineKept(body, &tableMissing) && !tableMissing) {
            continue;
        }
        ScopedLock guard(_lock);
        const std::string situation = body.value("name", "");
        _kept[situation] = body;
        if (tableMissing) {
            _pending[situation] = true;
            anyPending = true;
        }
    }
    if (anyPending) {
        ScopedLock guard(_lock);
        _keeperRunning = ZOT0_CreateThread([this] { keepSituations(); }, 0, &_keeper, "api-keep") == 0;
    }
    return true;
}

bool ApiServer::defineKept(const Json& body, bool* tableMissing) {
    *tableMissing = false;
    axf::SituationDef def;
    std::string where, error;
    size_t position = 0;
    if (!situationDefFromJson(body, &def, &where, &error, &position)) {
        VA_ERROR("Error: kept situation %s not defined: %s\n", body.value("name", "?").c_str(), error.c_str());
        return false;
    }
    axf::Status st = axf::addSituation(def);
    if (st.ok() || st.code == axf::kExists) {
        VA_STATE("Kept situation %s defined\n", def.name.c_str());
        return true;
    }
    *tableMissing = st.code == axf::kNotFound;
    if (!*tableMissing) {
        VA_ERROR("Error: kept situation %s not defined: %s\n", def.name.c_str(), st.message.c_str());
    }
    return false;
}

void ApiServer::keepSituations() {
    for (;;) {
        std::vector<Json> bodies;
        {
            ScopedLock guard(_lock);
            _changed.waitUntil(_lock, kKeepRetrySeconds, [this]() VA_REQUIRES(_lock) { return _stopping; });
            if (_stopping) {
                return;
            }
            for (const auto& [name, pending] : _pending) {
                if (pending) {
                    bodies.push_back(_kept[name]);
                }
            }
        }
        if (bodies.empty()) {
            return;
        }
        std::vector<std::string> settled;
        for (const Json& body : bodies) {
            bool tableMissing = false;
            if (defineKept(body, &tableMissing) || !tableMissing) {
                settled.push_back(body.value("name", ""));
            }
        }
        ScopedLock guard(_lock);
        for (const std::string& n : settled) {
            _pending.erase(n);
        }
    }
}

void ApiServer::stop() {
    if (!_listening) {
        return;
    }
    _listening = false;
    _closing.store(true);
    _server->stop();
    pthread_join(_listener, nullptr);
    bool joinKeeper = false;
    {
        ScopedLock guard(_lock);
        _stopping = true;
        joinKeeper = _keeperRunning;
        _keeperRunning = false;
        _changed.broadcast();
    }
    if (joinKeeper) {
        pthread_join(_keeper, nullptr);
    }
    _port.store(0);
    VA_STATE("Management API stopped\n");
}

namespace {
Mutex g_agentApiLock;
std::unique_ptr<ApiServer> g_agentApi VA_GUARDED_BY(g_agentApiLock);
}  // namespace

void startAgentApi() {
    ApiConfig config;
    std::string error;
    if (!readApiConfig(&config, &error)) {
        VA_ERROR("Error: management API not started: %s\n", error.c_str());
        return;
    }
    if (config.port == 0) {
        VA_STATE("Management API off (VORPANE_API_PORT=0)\n");
        return;
    }
    std::string token;
    if (!loadToken(true, &token, &error)) {
        VA_ERROR("Error: management API not started: %s\n", error.c_str());
        return;
    }
    auto server = std::make_unique<ApiServer>();
    if (!server->start(config, std::move(token), &error)) {
        VA_ERROR("Error: management API not started: %s\n", error.c_str());
        return;
    }
    ScopedLock guard(g_agentApiLock);
    g_agentApi = std::move(server);
}

void stopAgentApi() {
    std::unique_ptr<ApiServer> server;
    {
        ScopedLock guard(g_agentApiLock);
        server = std::move(g_agentApi);
    }
    if (server) {
        server->stop();
    }
}

}  // namespace vorpane::api
