#include "api/api_config.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "interfaces/support.h"

namespace vorpane::api {

namespace {

bool readNumber(const char* key, long low, long high, long* out, std::string* error) {
    const char* text = BSS1_GetEnv(key);
    if (text == nullptr || *text == '\0') {
        return true;
    }
    char* end = nullptr;
    errno = 0;
    long value = std::strtol(text, &end, 10);
    if (errno != 0 || *end != '\0' || value < low || value > high) {
        *error = std::string(key) + "=" + text + " is not a number from " + std::to_string(low) + " to " +
                 std::to_string(high);
        return false;
    }
    *out = value;
    return true;
}

bool isYes(const char* text) { return text != nullptr && (text[0] == 'Y' || text[0] == 'y'); }

std::string trimmed(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) {
        text.pop_back();
    }
    return text;
}

bool tokenOf(const std::string& content, const std::string& path, std::string* token, std::string* error) {
    *token = trimmed(content);
    if (token->empty()) {
        *error = "the token file " + path + " is empty";
        return false;
    }
    return true;
}

bool newToken(std::string* token, std::string* error) {
    unsigned char bytes[32];
    size_t got = 0;
    while (got < sizeof bytes) {
        ssize_t n = getrandom(bytes + got, sizeof bytes - got, 0);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            *error = std::string("getrandom failed: ") + std::strerror(errno);
            return false;
        }
        got += static_cast<size_t>(n);
    }
    static const char kHex[] = "0123456789abcdef";
    token->clear();
    for (unsigned char b : bytes) {
        token->push_back(kHex[b >> 4]);
        token->push_back(kHex[b & 0x0F]);
    }
    return true;
}

}  // namespace

bool readApiConfig(ApiConfig* config, std::string* error) {
    long port = config->port;
    long threads = config->threads;
    long waitSlots = config->waitSlots;
    long maxConnections = config->maxConnections;
    if (!readNumber("VORPANE_API_PORT", 0, 65535, &port, error) ||
        !readNumber("VORPANE_API_THREADS", 2, 32, &threads, error) ||
        !readNumber("VORPANE_API_WAIT_SLOTS", 1, 256, &waitSlots, error) ||
        !readNumber("VORPANE_API_MAX_CONNECTIONS", 16, 16384, &maxConnections, error)) {
        return false;
    }
    long historyInterval = static_cast<long>(config->historyIntervalSeconds);
    long historySeries = config->historySeries;
    if (!readNumber("VORPANE_API_HISTORY_INTERVAL", 0, 3600, &historyInterval, error) ||
        !readNumber("VORPANE_API_HISTORY_SERIES", 0, 1000000, &historySeries, error)) {
        return false;
    }
    config->historyIntervalSeconds = static_cast<double>(historyInterval);
    config->historySeries = static_cast<int>(historySeries);
    config->port = static_cast<int>(port);
    config->threads = static_cast<int>(threads);
    config->waitSlots = static_cast<int>(waitSlots);
    config->maxConnections = static_cast<int>(maxConnections);
    if (const char* bind = BSS1_GetEnv("VORPANE_API_BIND"); bind != nullptr && *bind != '\0') {
        in_addr address{};
        if (inet_pton(AF_INET, bind, &address) != 1) {
            *error = std::string("VORPANE_API_BIND=") + bind + " is not an IPv4 address";
            return false;
        }
        config->bind = bind;
    }
    config->metricsOpen = isYes(BSS1_GetEnv("VORPANE_API_METRICS_OPEN"));
    config->plainRemote = isYes(BSS1_GetEnv("VORPANE_API_PLAIN_REMOTE"));
    auto text = [](const char* key) {
        const char* value = BSS1_GetEnv(key);
        return std::string(value == nullptr ? "" : value);
    };
    config->tlsCert = text("VORPANE_API_TLS_CERT");
    config->tlsKey = text("VORPANE_API_TLS_KEY");
    config->tlsClientCa = text("VORPANE_API_TLS_CLIENT_CA");
    if (config->tlsCert.empty() != config->tlsKey.empty()) {
        *error = config->tlsCert.empty() ? "VORPANE_API_TLS_KEY is set without VORPANE_API_TLS_CERT"
                                         : "VORPANE_API_TLS_CERT is set without VORPANE_API_TLS_KEY";
        return false;
    }
    if (!config->tlsClientCa.empty() && config->tlsCert.empty()) {
        *error = "VORPANE_API_TLS_CLIENT_CA needs VORPANE_API_TLS_CERT and VORPANE_API_TLS_KEY";
        return false;
    }
    return true;
}

bool isLoopback(const std::string& bind) {
    in_addr address{};
    return inet_pton(AF_INET, bind.c_str(), &address) == 1 && (ntohl(address.s_addr) >> 24) == 127;
}

bool remoteServingAllowed(const ApiConfig& config, std::string* error) {
    if (config.tls() || config.plainRemote || isLoopback(config.bind)) {
        return true;
    }
    *error = "VORPANE_API_BIND=" + config.bind +
             " is reached from other hosts and the API has no TLS: set VORPANE_API_TLS_CERT and "
             "VORPANE_API_TLS_KEY, or VORPANE_API_PLAIN_REMOTE=Y to serve plain HTTP there";
    return false;
}

std::string clientAddress(const std::string& bind) { return bind == "0.0.0.0" ? "127.0.0.1" : bind; }

std::string tokenFilePath() { return workDirectory() + "/" + kTokenFileName; }

std::string addressFilePath() { return workDirectory() + "/" + kAddressFileName; }

bool readAddressFile(std::string* host, int* port, bool* https) {
    std::string content;
    if (!readWholeFile(addressFilePath(), &content)) {
        return false;
    }
    content = trimmed(content);
    constexpr std::string_view kHttps = "https://";
    const bool secure = content.starts_with(kHttps);
    if (secure) {
        content.erase(0, kHttps.size());
    }
    if (https != nullptr) {
        *https = secure;
    }
    const size_t colon = content.rfind(':');
    if (colon == std::string::npos || colon == 0) {
        return false;
    }
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(content.c_str() + colon + 1, &end, 10);
    if (errno != 0 || end == content.c_str() + colon + 1 || *end != '\0' || value < 1 || value > 65535) {
        return false;
    }
    *host = content.substr(0, colon);
    *port = static_cast<int>(value);
    return true;
}

bool readTokenFile(const std::string& path, std::string* token, std::string* error) {
    std::string content;
    if (!readWholeFile(path, &content)) {
        *error = "cannot read the token file " + path + ": " + std::strerror(errno);
        return false;
    }
    return tokenOf(content, path, token, error);
}

bool loadToken(bool create, std::string* token, std::string* error) {
    if (const char* env = BSS1_GetEnv("VORPANE_API_TOKEN"); env != nullptr && *env != '\0') {
        *token = env;
        return true;
    }
    const std::string path = tokenFilePath();
    std::string content;
    if (readWholeFile(path, &content)) {
        return tokenOf(content, path, token, error);
    }
    if (!create) {
        *error = "no token: VORPANE_API_TOKEN is unset and " + path + " cannot be read";
        return false;
    }
    return newToken(token, error) && writeFileWhole(path, *token + "\n", 0600, error);
}

bool writeFileWhole(const std::string& path, std::string_view content, mode_t mode, std::string* error) {
    return vorpane::writeFileWhole(path, content, error, mode);
}

bool readWholeFile(const std::string& path, std::string* content) {
    FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) {
        return false;
    }
    content->clear();
    char buffer[8192];
    size_t n = 0;
    while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) {
        content->append(buffer, n);
    }
    bool ok = std::ferror(f) == 0;
    std::fclose(f);
    return ok;
}

bool constantTimeEqual(std::string_view a, std::string_view b) {
    // Every byte of the longer text is looked at whatever the contents; only the lengths show.
    size_t length = a.size() > b.size() ? a.size() : b.size();
    unsigned char diff = a.size() == b.size() ? 0 : 1;
    for (size_t i = 0; i < length; ++i) {
        unsigned char x = i < a.size() ? static_cast<unsigned char>(a[i]) : 0;
        unsigned char y = i < b.size() ? static_cast<unsigned char>(b[i]) : 0;
        diff = static_cast<unsigned char>(diff | (x ^ y));
    }
    return diff == 0;
}

}  // namespace vorpane::api
