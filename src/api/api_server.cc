#include "api/api_server.h"

#include <cerrno>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>

#include <httplib.h>

#include "api/api_http.h"
#include "api/api_routes.h"
#include "interfaces/support.h"

namespace vorpane::api {

namespace {
// When the current worker began its request (the request log's time).
thread_local int64_t t_requestStart = 0;
}  // namespace

ApiServer::ApiServer() = default;

ApiServer::~ApiServer() { stop(); }

bool ApiServer::start(const ApiConfig& config, std::string token, std::string* error) {
    _token = std::move(token);
    _context = std::make_unique<ApiContext>();
    _context->config = config;
    _context->started = clock::nowSeconds();
    _kept = std::make_unique<KeptSituations>(workDirectory() + "/" + kSituationsFileName);
    _context->kept = _kept.get();
    _server = std::make_unique<httplib::Server>();
    httplib::Server& server = *_server;

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
        return new httplib::ThreadPool(static_cast<size_t>(_context->config.threads));
    };

    server.set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
        t_requestStart = clock::steadyNanos();
        if (req.path == "/v1/health" || (req.path == "/metrics" && _context->config.metricsOpen)) {
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
        _context->counters.response(res.status);
    });

    addRoutes(server, *_context);

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

    _kept->defineAll();
    return true;
}

void ApiServer::stop() {
    if (!_listening) {
        return;
    }
    _listening = false;
    _context->closing.store(true);
    _server->stop();
    pthread_join(_listener, nullptr);
    _kept->stop();
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
