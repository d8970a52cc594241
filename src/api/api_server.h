// ApiServer: the management API over HTTP/JSON and the Prometheus scrape endpoint, served from the
// framework's facade (interfaces/axf_facade.h) and nothing else of the agent.
//
// Threads: start() binds the socket on the caller's thread and serves on one listener thread plus a
// pool of config.threads workers (cpp-httplib's thread pool); that pool is the bound on concurrent
// requests, so the agent's own threads never compete with more than that many. Long polls take one
// of threads - 1 waiting slots, so one worker always stays free for short requests. The endpoints are
// in api_routes.cc and the Prometheus page in metrics_page.cc; the kept situations (kept_situations.h)
// have a thread of their own that defines them as their tables come. stop() ends them all; the
// destructor calls it.
//
// docs/management-api.md describes every endpoint and status.
#pragma once

#include <pthread.h>

#include <atomic>
#include <memory>
#include <string>

#include "api/api_config.h"
#include "api/api_routes.h"
#include "api/kept_situations.h"
#include "interfaces/sync.h"

namespace httplib {
class Server;
struct Request;
struct Response;
}  // namespace httplib

namespace vorpane::api {

class ApiServer {
public:
    ApiServer();
    ~ApiServer();
    ApiServer(const ApiServer&) = delete;
    ApiServer& operator=(const ApiServer&) = delete;

    // Listens on config.bind and config.port (0: any free port) and starts serving; defines again the
    // situations kept in the work directory. False with *error when the address cannot be bound.
    bool start(const ApiConfig& config, std::string token, std::string* error);
    // Stops serving and waits for the threads; requests in progress are answered first.
    void stop();

    // The port listened on, or 0 when not serving.
    int port() const { return _port.load(); }

private:
    std::string _token;
    std::unique_ptr<ApiContext> _context;
    std::unique_ptr<KeptSituations> _kept;
    std::unique_ptr<httplib::Server> _server;
    std::atomic<int> _port{0};
    pthread_t _listener{};
    bool _listening = false;

    Mutex _lock;
    CondVar _changed;
    bool _poolReady VA_GUARDED_BY(_lock) = false;
};

// The agent's API: started by the process entry once the framework runs (nothing when
// VORPANE_API_PORT is 0, an "Error: ..." line when it cannot start), stopped at shutdown.
void startAgentApi();
void stopAgentApi();

}  // namespace vorpane::api
