// ApiServer: the management API over HTTP/JSON and the Prometheus scrape endpoint, served from the
// framework's facade (interfaces/axf_facade.h) and nothing else of the agent.
//
// Threads: start() binds the socket on the caller's thread; one listener thread accepts connections
// (cpp-httplib's accept loop) and hands each to the HTTP front (http_front.h), whose reader thread
// reads every request whole before a worker runs httplib's parsing and routing on it. Requests that
// may wait long (long polls, take-actions, reports) run on wait slots of their own, so health and
// metrics never queue behind them. The endpoints are in api_routes.cc and the Prometheus page in
// metrics_page.cc; the kept situations (kept_situations.h) have a thread of their own that defines
// them as their tables come. stop() ends them all; the destructor calls it.
//
// docs/management-api.md describes every endpoint and status.
#pragma once

#include <pthread.h>

#include <atomic>
#include <memory>
#include <string>
#include <string_view>

#include "api/api_config.h"
#include "api/api_routes.h"
#include "api/kept_situations.h"
#include "api/tls.h"
#include "interfaces/sync.h"

namespace vorpane::api {

class FramedServer;
class HttpFront;
class HistorySampler;
class TableHistory;

class ApiServer {
public:
    ApiServer();
    ~ApiServer();
    ApiServer(const ApiServer&) = delete;
    ApiServer& operator=(const ApiServer&) = delete;

    // Listens on config.bind and config.port (0: any free port) and starts serving; defines again the
    // situations kept in the work directory. With tls, every connection speaks HTTPS. False with
    // *error when the address cannot be bound.
    bool start(const ApiConfig& config, std::string token, std::string* error,
               std::unique_ptr<TlsContext> tls = nullptr);
    // Stops serving and waits for the threads; requests in progress are answered first.
    void stop();

    // The port listened on, or 0 when not serving.
    int port() const { return _port.load(); }

private:
    std::string _token;
    std::unique_ptr<TlsContext> _tls;
    std::unique_ptr<ApiContext> _context;
    std::unique_ptr<KeptSituations> _kept;
    std::unique_ptr<TableHistory> _history;
    std::unique_ptr<HistorySampler> _sampler;
    std::unique_ptr<FramedServer> _server;
    std::unique_ptr<HttpFront> _front;
    std::atomic<int> _port{0};
    pthread_t _listener{};
    bool _listening = false;

    Mutex _lock;
    CondVar _changed;
    bool _poolReady VA_GUARDED_BY(_lock) = false;
};

// Whether a request (its method and target as sent) may wait long: a long poll of events, a
// take-action, a report. Those run on wait slots.
bool mayWaitLong(std::string_view method, std::string_view target);

// What the agent says on its console about its API.
struct AgentApiInfo {
    bool on = false;        // false: VORPANE_API_PORT is 0, or the API refused to serve (off says why)
    std::string off;        // why the API is off although asked for
    std::string listening;  // BIND:PORT as bound
    std::string address;    // HOST:PORT (https://HOST:PORT) a client on this host uses, as the address file holds it
    std::string token;      // where the token is: the token file's full path, or "VORPANE_API_TOKEN"
};

// The agent's API: started by the process entry before the providers, stopped at shutdown. Nothing
// listens when VORPANE_API_PORT is 0. Once it listens, its address is written to the work
// directory's address file, which the stop removes. False with *error (and an "Error: ..." trace
// line) when the API was asked for and cannot serve: a bad setting, a token that cannot be read or
// made, a port that cannot be bound. An API that would be unsafe to serve (plain HTTP on an address
// other hosts reach) or whose TLS files cannot be used stays off instead, with an "Error: ..." line
// and info->off saying why: the agent's monitoring goes on without it. A second stop waits for the first to finish. What they share is
// never destroyed: the process may end on a signal's thread while another thread stops the API, or
// with the API still running.
bool startAgentApi(AgentApiInfo* info, std::string* error);
void stopAgentApi();

}  // namespace vorpane::api
