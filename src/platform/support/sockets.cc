// Sockets of the support library: open, close, local port, name resolution and the hub's address.
#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "interfaces/support.h"

namespace {

// The address the hub's sockets bind to. An unusable VORPANE_DCH_BIND is an error, never a silent
// fall-back to another address: the operator asked for a specific exposure.
bool bindAddress(in_addr* address) {
    const char* text = BSS1_GetEnv("VORPANE_DCH_BIND", 0);
    if (text == nullptr || *text == '\0') {
        address->s_addr = htonl(INADDR_LOOPBACK);
        return true;
    }
    if (inet_pton(AF_INET, text, address) != 1) {
        VA_ERROR("Error: VORPANE_DCH_BIND <%s> is not an IPv4 address.\n", text);
        return false;
    }
    return true;
}

}  // namespace

int ZOT0_OpenLocalSocket(int kind, uint16_t port, sockaddr_in* address, int flag, int* error) {
    int ignored = 0;
    int* err = error != nullptr ? error : &ignored;
    *err = 0;
    if (kind != ZOT0_SOCKET_TCP && kind != ZOT0_SOCKET_UDP) {
        VA_ERROR("Error: invalid socket kind %d.\n", kind);
        *err = EINVAL;
        return -1;
    }
    const char* kindName = kind == ZOT0_SOCKET_TCP ? "TCP" : "UDP";
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = port;
    if (!bindAddress(&local.sin_addr)) {
        *err = EINVAL;
        return -1;
    }
    // Close-on-exec: the agent starts providers and action commands, which must not inherit the hub
    // port or a client's connection.
    const int fd = socket(AF_INET, (kind == ZOT0_SOCKET_TCP ? SOCK_STREAM : SOCK_DGRAM) | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        *err = errno;
        VA_ERROR("Error: %s socket creation failed. errno=%d\n", kindName, *err);
        return -1;
    }
    // SO_REUSEADDR on TCP only: a restarted hub gets its port back while connections of its
    // predecessor linger in TIME_WAIT, and Linux still refuses the bind (errno 98) while another socket
    // listens on the port. Never on UDP, where it would let a second socket share the port: the UDP bind
    // is what proves a port free, which is why the hub opens UDP first.
    if (kind == ZOT0_SOCKET_TCP) {
        const int on = 1;
        if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0) {
            *err = errno;
            VA_ERROR("Error: SO_REUSEADDR on TCP socket %d failed. errno=%d\n", fd, *err);
            close(fd);
            return -1;
        }
    }
    if (bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
        *err = errno;
        if (*err == EADDRINUSE && flag == ZOT0_SOCKET_PROBE) {
            VA_DETAIL("%s port %d is in use.\n", kindName, ntohs(port));
        } else {
            VA_ERROR("Error: bind of %s socket to port %d failed. errno=%d\n", kindName, ntohs(port), *err);
        }
        close(fd);
        return -1;
    }
    if (address != nullptr) {
        socklen_t length = sizeof *address;
        if (getsockname(fd, reinterpret_cast<sockaddr*>(address), &length) != 0) {
            *err = errno;
            VA_ERROR("Error: getsockname of %s socket %d failed. errno=%d\n", kindName, fd, *err);
            close(fd);
            return -1;
        }
    }
    return fd;
}

int ZOT0_CloseTheSocket(int socket) {
    if (socket < 0) {
        errno = EBADF;
        return -1;
    }
    // Linux releases the descriptor even when close reports EINTR, so it is never retried.
    return close(socket);
}

int ZOT0_RetrieveSockPort(int socket) {
    sockaddr_in local{};
    socklen_t length = sizeof local;
    if (socket < 0 || getsockname(socket, reinterpret_cast<sockaddr*>(&local), &length) != 0 ||
        local.sin_family != AF_INET) {
        return -1;
    }
    return ntohs(local.sin_port);
}

int ZOT0_ConvertNameToAddr(const char* name, int port, sockaddr_in* address) {
    if (name == nullptr || *name == '\0' || address == nullptr || port < 0 || port > 65535) {
        return 1;
    }
    sockaddr_in result{};
    result.sin_family = AF_INET;
    result.sin_port = htons(static_cast<uint16_t>(port));
    if (inet_pton(AF_INET, name, &result.sin_addr) != 1) {
        addrinfo hints{};
        hints.ai_family = AF_INET;
        addrinfo* found = nullptr;
        if (getaddrinfo(name, nullptr, &hints, &found) != 0 || found == nullptr) {
            return 1;
        }
        result.sin_addr = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr;
        freeaddrinfo(found);
    }
    *address = result;
    return 0;
}

std::optional<std::string> ZOT0_LocalHostNameString() {
    in_addr address{};
    if (!bindAddress(&address)) {
        return std::nullopt;
    }
    // A hub bound to every interface is reached locally through loopback.
    if (address.s_addr == htonl(INADDR_ANY)) {
        address.s_addr = htonl(INADDR_LOOPBACK);
    }
    char text[INET_ADDRSTRLEN] = {};
    if (inet_ntop(AF_INET, &address, text, sizeof text) == nullptr) {
        return std::nullopt;
    }
    return std::string(text);
}
