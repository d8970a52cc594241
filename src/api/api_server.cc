#include "api/api_server.h"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <utility>

#include <httplib.h>

#include "api/api_http.h"
#include "api/api_routes.h"
#include "api/http_front.h"
#include "api/tls.h"
#include "api/status_routes.h"
#include "api/table_history.h"
#include "interfaces/support.h"

namespace vorpane::api {

namespace {
// When the current worker began its request (the request log's time).
thread_local int64_t t_requestStart = 0;

// Linux caps it at net.core.somaxconn; httplib's own is 5, which drops connections while a burst of
// them is accepted.
constexpr int kListenBacklog = 1024;

// httplib's accept loop runs the job for each accepted socket at once on the listener thread: the
// job only hands the socket to the front.
class AcceptInPlace final : public httplib::TaskQueue {
public:
    void enqueue(std::function<void()> fn) override { fn(); }
    void shutdown() override {}
};

bool isControl(char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; }

}  // namespace

// httplib's server with its connections handed to the HTTP front: httplib accepts, parses and routes;
// the front reads each request whole and writes each answer.
class FramedServer final : public httplib::Server {
public:
    void setFront(HttpFront* front) { _front = front; }
    // httplib's parsing, routing and answer for one request read whole from strm.
    bool serve(httplib::Stream& strm, bool closeConnection, bool& connectionClosed) {
        return process_request(strm, closeConnection, connectionClosed, nullptr);
    }
    void widenBacklog() { ::listen(svr_sock_, kListenBacklog); }

private:
    bool process_and_close_socket(socket_t sock) override {
        _front->adopt(sock);
        return true;
    }

    HttpFront* _front = nullptr;
};

bool mayWaitLong(std::string_view method, std::string_view target) {
    // Compared as httplib routes: the path percent-decoded, HEAD served by the GET handlers.
    const size_t query = target.find('?');
    const std::string path = percentDecoded(target.substr(0, query), false);
    const bool get = method == "GET" || method == "HEAD";
    if (method == "POST" && path == "/v1/actions") {
        return true;  // the provider has up to a minute to answer
    }
    if (get && path.starts_with("/v1/tables/") && path.ends_with("/rows")) {
        return true;  // a report waits up to 30 seconds for the providers' fresh rows
    }
    if (!get || path != "/v1/events" || query == std::string_view::npos) {
        return false;
    }
    std::string_view params = target.substr(query + 1);
    while (!params.empty()) {
        const size_t amp = params.find('&');
        const std::string_view param = params.substr(0, amp);
        params = amp == std::string_view::npos ? std::string_view() : params.substr(amp + 1);
        const size_t eq = param.find('=');
        if (eq != std::string_view::npos && percentDecoded(param.substr(0, eq), true) == "wait" &&
            percentDecoded(param.substr(eq + 1), true).find_first_not_of('0') != std::string::npos) {
            return true;
        }
    }
    return false;
}

ApiServer::ApiServer() = default;

ApiServer::~ApiServer() { stop(); }

bool ApiServer::start(const ApiConfig& config, std::string token, std::string* error,
                      std::unique_ptr<TlsContext> tls) {
    _token = std::move(token);
    _tls = std::move(tls);
    _context = std::make_unique<ApiContext>();
    _context->config = config;
    _context->started = clock::nowSeconds();
    _kept = std::make_unique<KeptSituations>(workDirectory() + "/" + kSituationsFileName);
    _context->kept = _kept.get();
    HistorySettings history;
    history.intervalSeconds = config.historyIntervalSeconds;
    history.maxSeries = static_cast<size_t>(config.historySeries);
    _history = std::make_unique<TableHistory>(history);
    _sampler = std::make_unique<HistorySampler>(*_history);
    _context->history = _history.get();
    _server = std::make_unique<FramedServer>();
    FramedServer& server = *_server;

    FrontSettings front;
    front.workers = config.threads;
    front.waitSlots = config.waitSlots;
    front.maxConnections = config.maxConnections;
    front.limits.maxBodyBytes = config.maxBodyBytes;
    front.requestSeconds = config.readTimeoutSeconds;
    front.idleSeconds = config.keepAliveSeconds;
    front.writeSeconds = config.writeTimeoutSeconds;
    front.tls = _tls.get();
    _front = std::make_unique<HttpFront>(
        front,
        [&server](httplib::Stream& strm, bool closeConnection, bool& connectionClosed) {
            return server.serve(strm, closeConnection, connectionClosed);
        },
        mayWaitLong, *_context);
    server.setFront(_front.get());

    server.set_payload_max_length(config.maxBodyBytes);
    // What httplib says in its Keep-Alive header; the front applies both.
    server.set_keep_alive_timeout(static_cast<time_t>(config.keepAliveSeconds));
    server.set_keep_alive_max_count(static_cast<size_t>(front.keepAliveMax));
    // SO_REUSEADDR only: httplib's default also sets SO_REUSEPORT, which would let a second agent
    // share the port silently instead of being told it is taken.
    server.set_socket_options([](int sock) {
        int yes = 1;
        setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    });
    server.new_task_queue = [this] {
        // Runs on the listener thread as it starts serving: start() may return.
        ScopedLock guard(_lock);
        _poolReady = true;
        _changed.broadcast();
        return new AcceptInPlace();
    };

    server.set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
        t_requestStart = clock::steadyNanos();
        if (req.path == "/v1/health" || isStatusPagePath(req.path) || (req.path == "/metrics" && _context->config.metricsOpen)) {
            return httplib::Server::HandlerResponse::Unhandled;
        }
        // The whole value: httplib's get_header_value() ends it at a NUL, which would let
        // "<token>%00junk" pass.
        auto found = req.headers.find("Authorization");
        const std::string header = found == req.headers.end() ? std::string() : found->second;
        const bool clean = std::none_of(header.begin(), header.end(), isControl) &&
                           req.get_header_value_count("Authorization") == 1;
        constexpr std::string_view kBearer = "Bearer ";
        if (clean && header.size() > kBearer.size() && std::string_view(header).substr(0, kBearer.size()) == kBearer &&
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
            // endpoint, a bad request line) gets one here.
            if (!res.body.empty()) {
                return httplib::Server::HandlerResponse::Unhandled;
            }
            fail(res, res.status, res.status == 404 ? "no such endpoint" : "the request cannot be served");
            return httplib::Server::HandlerResponse::Handled;
        }));
    server.set_logger([this](const httplib::Request& req, const httplib::Response& res) {
        double ms = t_requestStart == 0 ? 0.0 : static_cast<double>(clock::steadyNanos() - t_requestStart) / 1e6;
        t_requestStart = 0;
        traceRequest(req.method, req.path, res.status, ms);
        _context->counters.response(res.status);
    });

    addRoutes(server, *_context);
    addStatusRoutes(server, *_context);

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
        _front.reset();
        _server.reset();
        return false;
    }
    server.widenBacklog();
    if (!_front->start(error)) {
        _front.reset();
        _server.reset();
        return false;
    }
    int rc = ZOT0_CreateThread([this] { _server->listen_after_bind(); }, 0, &_listener, "api-listen");
    if (rc != 0) {
        *error = "cannot start the listener thread: errno=" + std::to_string(rc);
        _front.reset();
        _server.reset();
        return false;
    }
    _listening = true;
    {
        ScopedLock guard(_lock);
        // Until the accept loop runs a stop() could not end listen_after_bind; its start is one step away.
        _changed.waitUntil(_lock, -1, [this]() VA_REQUIRES(_lock) { return _poolReady; });
    }
    _port.store(port);
    VA_STATE("Management API listening on %s:%d%s\n", config.bind.c_str(), port, _tls ? " (HTTPS)" : "");

    _kept->defineAll();
    if (!_sampler->start()) {
        VA_ERROR("Error: the tables' history is not kept: its sampler thread cannot start\n");
    }
    return true;
}

void ApiServer::stop() {
    if (!_listening) {
        return;
    }
    _listening = false;
    _context->closing.store(true);
    _sampler->stop();
    _server->stop();
    pthread_join(_listener, nullptr);
    _front->stop();
    _kept->stop();
    _port.store(0);
    VA_STATE("Management API stopped\n");
}

namespace {

struct AgentApi {
    Mutex lock;  // held through a whole start or stop
    std::unique_ptr<ApiServer> server VA_GUARDED_BY(lock);
};

AgentApi& agentApi() {
    static AgentApi* api = new AgentApi();  // outlives every thread at exit
    return *api;
}

}  // namespace

bool startAgentApi(AgentApiInfo* info, std::string* error) {
    *info = AgentApiInfo();
    ApiConfig config;
    std::string token;
    auto refuse = [error](const std::string& why) {
        *error = why;
        VA_ERROR("Error: management API not started: %s\n", why.c_str());
        return false;
    };
    if (!readApiConfig(&config, error)) {
        return refuse(*error);
    }
    if (config.port == 0) {
        VA_STATE("Management API off (VORPANE_API_PORT=0)\n");
        // A file left by an earlier run would send clients to a port nobody serves now.
        unlink(addressFilePath().c_str());
        return true;
    }
    auto stayOff = [info](const std::string& why) {
        VA_ERROR("Error: management API not started: %s\n", why.c_str());
        info->off = why;
        unlink(addressFilePath().c_str());
        return true;
    };
    if (!remoteServingAllowed(config, error)) {
        return stayOff(*error);
    }
    std::unique_ptr<TlsContext> tls;
    if (config.tls()) {
        tls = TlsContext::load(config.tlsCert, config.tlsKey, config.tlsClientCa, error);
        if (!tls) {
            return stayOff(*error);
        }
    }
    if (!loadToken(true, &token, error)) {
        return refuse(*error);
    }
    AgentApi& api = agentApi();
    ScopedLock guard(api.lock);
    if (!api.server) {
        auto server = std::make_unique<ApiServer>();
        if (!server->start(config, std::move(token), error, std::move(tls))) {
            return refuse(*error);
        }
        api.server = std::move(server);
    }
    const std::string port = std::to_string(api.server->port());
    info->on = true;
    info->listening = config.bind + ":" + port;
    info->address = (config.tls() ? "https://" : "") + clientAddress(config.bind) + ":" + port;
    if (const char* env = BSS1_GetEnv("VORPANE_API_TOKEN"); env != nullptr && *env != '\0') {
        info->token = "VORPANE_API_TOKEN";
    } else {
        std::error_code ec;
        const std::filesystem::path full = std::filesystem::absolute(tokenFilePath(), ec);
        info->token = ec ? tokenFilePath() : full.lexically_normal().string();
    }
    // Not being able to tell clients the address costs them a --port, not the API.
    std::string fileError;
    if (!writeFileWhole(addressFilePath(), info->address + "\n", 0644, &fileError)) {
        VA_ERROR("Error: the API address is not written to the work directory: %s\n", fileError.c_str());
    }
    return true;
}

void stopAgentApi() {
    AgentApi& api = agentApi();
    // Held while the server stops: a second caller (a signal's exit while the main thread ends) goes
    // on only once no thread of the API runs.
    ScopedLock guard(api.lock);
    if (api.server) {
        api.server->stop();
        api.server.reset();
        unlink(addressFilePath().c_str());
    }
}

}  // namespace vorpane::api
