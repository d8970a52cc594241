#include "api/status_routes.h"

#include <cstdlib>
#include <string>
#include <vector>

#include <httplib.h>

#include "api/api_http.h"
#include "api/api_json.h"
#include "api/api_names.h"
#include "api/api_routes.h"
#include "api/table_history.h"
#include "interfaces/support.h"

namespace vorpane::api {

namespace {

void pageHeaders(httplib::Response& res) {
    res.set_header("Content-Security-Policy", kStatusPagePolicy);
    res.set_header("X-Content-Type-Options", "nosniff");
    res.set_header("Referrer-Policy", "no-referrer");
    res.set_header("Cache-Control", "no-cache");
}

const StatusPageAsset* findAsset(std::string_view path) {
    for (const StatusPageAsset* a = statusPageAssets(); !a->path.empty(); ++a) {
        if (a->path == path) {
            return a;
        }
    }
    return nullptr;
}

void serveAsset(const StatusPageAsset& asset, httplib::Response& res) {
    pageHeaders(res);
    res.status = 200;
    res.set_content(std::string(asset.content), std::string(asset.contentType));
}

Json historyJson(const HistorySeries& s) {
    Json keys = Json::object();
    for (const auto& [name, value] : s.keys) {
        keys[name] = value;
    }
    Json points = Json::array();
    for (const HistoryPoint& p : s.points) {
        points.push_back(Json::array({p.time, p.value}));
    }
    return Json{{"subnode", s.subnode},
                {"keys", std::move(keys)},
                {"attribute", s.attribute},
                {"column", s.column},
                {"points", std::move(points)}};
}

}  // namespace

bool isStatusPagePath(std::string_view path) { return path == "/" || path.starts_with("/ui/"); }

void addStatusRoutes(httplib::Server& server, ApiContext& context) {
    server.Get("/", [](const httplib::Request&, httplib::Response& res) {
        if (const StatusPageAsset* index = findAsset("/ui/index.html")) {
            serveAsset(*index, res);
        }
    });
    server.Get("/ui/(.*)", [](const httplib::Request& req, httplib::Response& res) {
        const StatusPageAsset* asset = findAsset(req.path);
        if (asset == nullptr) {
            pageHeaders(res);
            return fail(res, 404, "the status page has no file " + printable(req.path));
        }
        serveAsset(*asset, res);
    });

    const std::string name = "([A-Za-z0-9_.-]+)";
    server.Get("/v1/tables/" + name + "/" + name + "/history", [&context](const httplib::Request& req,
                                                                         httplib::Response& res) {
        uint64_t since = 0;
        if (!sequenceParam(req, "since", &since)) {
            return fail(res, 400, "\"since\" is a whole number of seconds since the epoch");
        }
        const std::vector<std::string> subnodes = listParam(req, "subnode");
        for (const std::string& n : subnodes) {
            if (std::string problem = nameProblem("subnode", n, kMaxSubnodeName); !problem.empty()) {
                return fail(res, 400, problem);
            }
        }
        const std::vector<axf::TableDesc> tables = axf::listTables();
        TableMatch m = findTable(req.matches[1].str(), req.matches[2].str(), tables);
        if (m.table == nullptr) {
            return fail(res, m.status, m.message);
        }
        const axf::TableDesc& t = *m.table;
        TableHistory* history = context.history;
        Json list = Json::array();
        if (history != nullptr) {
            for (const HistorySeries& s : history->read(t.applName, t.tableName, static_cast<int64_t>(since), subnodes)) {
                list.push_back(historyJson(s));
            }
        }
        reply(res, 200,
              Json{{"application", t.application},
                   {"release", t.release},
                   {"group", t.group.empty() ? Json(nullptr) : Json(t.group)},
                   {"table", t.tableName},
                   {"now", clock::nowSeconds()},
                   {"interval", history != nullptr ? history->settings().intervalSeconds : 0.0},
                   {"window", history != nullptr ? history->settings().windowSeconds : 0},
                   {"series", std::move(list)}});
    });
}

}  // namespace vorpane::api
