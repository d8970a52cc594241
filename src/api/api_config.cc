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
    return true;
}

std::string clientAddress(const std::string& bind) { return bind == "0.0.0.0" ? "127.0.0.1" : bind; }

std::string tokenFilePath() { return workDirectory() + "/" + kTokenFileName; }

std::string addressFilePath() { return workDirectory() + "/" + kAddressFileName; }

bool readAddressFile(std::string* host, int* port) {
    std::string content;
    if (!readWholeFile(addressFilePath(), &content)) {
        return false;
    }
    content = trimmed(content);
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
