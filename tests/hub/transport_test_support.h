// Helpers of the transport tests: environment keys for one scope, free loopback ports, and plain
// sockets that play providers.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

#include "testlib/scoped_env.h"

namespace vorpane::testing {

inline sockaddr_in loopback(int port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

// A socket bound to 127.0.0.1:port (0: ephemeral), or -1.
inline int boundSocket(int type, int port) {
    const int fd = socket(AF_INET, type | SOCK_CLOEXEC, 0);
    sockaddr_in a = loopback(port);
    if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

inline int localPort(int fd) {
    sockaddr_in a{};
    socklen_t len = sizeof a;
    return getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0 ? ntohs(a.sin_port) : -1;
}

// A message of total bytes: the length header, then fill.
inline std::string frame(uint32_t total, char fill = 'x') {
    std::string m(total < 4 ? 4 : total, fill);
    const uint32_t net = htonl(total);
    std::memcpy(m.data(), &net, 4);
    return m;
}

}  // namespace vorpane::testing
