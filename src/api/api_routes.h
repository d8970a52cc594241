// The handlers of the management API's endpoints, one per endpoint, each answering from the
// framework's facade; and what they share with the server that runs them.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <string>

#include "api/api_config.h"
#include "api/kept_situations.h"
#include "interfaces/axf_facade.h"
#include "interfaces/sync.h"

namespace httplib {
class Server;
}  // namespace httplib

namespace vorpane::api {

class TableHistory;

// Answers counted for /metrics.
class ApiCounters {
public:
    void response(int status) {
        ScopedLock guard(_lock);
        ++_responses[status];
    }
    void actionResult(long result) {
        ScopedLock guard(_lock);
        ++_actionResults[result];
    }
    std::map<int, long long> responses() {
        ScopedLock guard(_lock);
        return _responses;
    }
    std::map<long, long long> actionResults() {
        ScopedLock guard(_lock);
        return _actionResults;
    }
    // A request or connection the HTTP front refused or cut, by reason (http_front.h).
    void refused(const std::string& reason) {
        ScopedLock guard(_lock);
        ++_refusals[reason];
    }
    std::map<std::string, long long> refusals() {
        ScopedLock guard(_lock);
        return _refusals;
    }

private:
    Mutex _lock;
    std::map<int, long long> _responses VA_GUARDED_BY(_lock);  // by status code
    std::map<long, long long> _actionResults VA_GUARDED_BY(_lock);  // by the command callback's result
    std::map<std::string, long long> _refusals VA_GUARDED_BY(_lock);
};

// The server's state the handlers read. Outlives every request (the server stops serving first).
struct ApiContext {
    ApiConfig config;
    int64_t started = 0;  // clock seconds when the API started
    KeptSituations* kept = nullptr;
    TableHistory* history = nullptr;  // the tables' recent numeric values (table_history.h)
    ApiCounters counters;
    std::atomic<int> waiting{0};  // requests on a wait slot (long polls, actions, reports)
    std::atomic<int> connections{0};  // open connections
    std::atomic<bool> closing{false};  // the server is stopping: long polls return
};

// Binds every endpoint of the API to server.
void addRoutes(httplib::Server& server, ApiContext& context);

// The Prometheus page: the agent's own figures, the situations and every integer column of every
// table.
std::string metricsPage(ApiContext& context);

// Whether a report of every row of the table can be made: not of a table registered before its
// application came online (no columns yet), nor of the framework's own action and file tables
// (bookkeeping with no attribute group), which answer only requests that name their node and file
// and would only trace an error.
inline bool reportableAsAWhole(const axf::TableDesc& table) {
    return !table.columns.empty() && !(table.internal && table.group.empty());
}

// Every row of the table from a report the API makes, waiting at most timeoutSeconds for providers.
axf::ReportResult reportAll(const axf::TableDesc& table, double timeoutSeconds);

}  // namespace vorpane::api
