// Settings of the management API and its bearer token, shared by the server and vorpanectl.
//
//   VORPANE_API_PORT          TCP port (default kDefaultPort); 0 turns the API off
//   VORPANE_API_BIND          address to listen on (default 127.0.0.1)
//   VORPANE_API_TOKEN         the bearer token; unset: <work directory>/api-token, made at first start
//   VORPANE_API_METRICS_OPEN  Y: /metrics without the token
//   VORPANE_API_THREADS       requests that do not wait served at once (default 4, 2..32)
//   VORPANE_API_WAIT_SLOTS    requests that may wait long served at once (default 16, 1..256)
//   VORPANE_API_MAX_CONNECTIONS  open connections (default 512, 16..16384)
//   VORPANE_API_TLS_CERT, VORPANE_API_TLS_KEY  PEM certificate chain and key: the API speaks HTTPS
//   VORPANE_API_TLS_CLIENT_CA  PEM CAs: clients must present a certificate they signed (mutual TLS)
//   VORPANE_API_PLAIN_REMOTE  Y: plain HTTP on an address other hosts reach is allowed
//   VORPANE_API_HISTORY_INTERVAL seconds between two samples of the tables' history (default 10,
//                             0..3600; 0: none kept)
//   VORPANE_API_HISTORY_SERIES   numeric series the history keeps at most (default 5000, 0..1000000)
//
// Plain functions of the environment and the work directory; no state of their own.
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>

namespace vorpane::api {

inline constexpr int kDefaultPort = 7180;
inline constexpr const char* kTokenFileName = "api-token";
// "HOST:PORT" (or "https://HOST:PORT") of the API that the agent of a work directory serves: written whole when the API starts,
// removed when it stops, so that a client finds the agent from its work directory alone.
inline constexpr const char* kAddressFileName = "api-address";

struct ApiConfig {
    std::string bind = "127.0.0.1";
    int port = kDefaultPort;  // 0: the API is off
    bool metricsOpen = false;
    int threads = 4;  // workers for requests that do not wait
    int waitSlots = 16;  // threads for long polls, take-actions and reports
    int maxConnections = 512;
    size_t maxBodyBytes = 1024 * 1024;
    double readTimeoutSeconds = 5;  // a whole request, head and body, from its first byte
    double writeTimeoutSeconds = 5;  // a whole answer
    double keepAliveSeconds = 2;  // a kept-alive connection between requests
    double maxWaitSeconds = 30;  // the longest long poll
    std::string tlsCert;  // empty: plain HTTP
    std::string tlsKey;
    std::string tlsClientCa;  // empty: no client certificate asked for
    bool plainRemote = false;

    bool tls() const { return !tlsCert.empty(); }

    double historyIntervalSeconds = 10;  // between two samples of the tables' history; 0: none kept
    int historySeries = 5000;  // numeric series the history keeps at most
};

// Fills *config from the environment. False with *error naming the key when a value is not usable.
bool readApiConfig(ApiConfig* config, std::string* error);

// Whether bind is a loopback address (127.0.0.0/8), which only this host reaches.
bool isLoopback(const std::string& bind);

// Whether the API may serve with config: plain HTTP on an address other hosts reach must be asked
// for with VORPANE_API_PLAIN_REMOTE. False with *error saying what to set.
bool remoteServingAllowed(const ApiConfig& config, std::string* error);

// The address a client on this host uses to reach a server bound to bind ("0.0.0.0" -> loopback).
std::string clientAddress(const std::string& bind);

// <work directory>/api-token
std::string tokenFilePath();

// <work directory>/api-address
std::string addressFilePath();

// The host and port in the address file of the work directory, and whether it speaks HTTPS. False
// when there is no such file or it holds no "HOST:PORT".
bool readAddressFile(std::string* host, int* port, bool* https = nullptr);

// A token kept in a file: its content without the line end. False with *error when the file cannot
// be read or holds no token.
bool readTokenFile(const std::string& path, std::string* token, std::string* error);

// The token: VORPANE_API_TOKEN, else the token file. With create, a missing file is made with a new
// random token (mode 0600, written whole). False with *error when there is none or it cannot be read
// or written.
bool loadToken(bool create, std::string* token, std::string* error);

// Writes content to path whole or not at all: a temporary file in the same directory, flushed to
// disk, then renamed over path. False with *error on any failure (the old file is left alone).
bool writeFileWhole(const std::string& path, std::string_view content, mode_t mode, std::string* error);

// Reads a whole file. False when it cannot be opened or read.
bool readWholeFile(const std::string& path, std::string* content);

// Compares in time that depends only on the lengths, not on where the texts differ.
bool constantTimeEqual(std::string_view a, std::string_view b);

}  // namespace vorpane::api
