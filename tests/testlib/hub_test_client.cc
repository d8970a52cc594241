#include "testlib/hub_test_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <random>

namespace vorpane::testing {

namespace {

// True when port is free for both TCP and UDP on the loopback address right now.
bool bothFree(uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    const int tcp = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int udp = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const bool free = tcp >= 0 && udp >= 0 && bind(tcp, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
                      bind(udp, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    ::close(udp);
    ::close(tcp);
    return free;
}

// The lowest port the kernel gives to outgoing connections (32768 when it cannot be read).
int ephemeralLow() {
    std::ifstream range("/proc/sys/net/ipv4/ip_local_port_range");
    int low = 0;
    return range >> low && low > 0 ? low : 32768;
}

}  // namespace

int freeHubPort() {
    // Below the ephemeral range: between the test's check and the agent's bind, the outgoing
    // connection of another test running at the same time can never be given this port.
    thread_local std::mt19937 pick(static_cast<unsigned>(std::random_device{}()) ^ static_cast<unsigned>(getpid()));
    const int low = ephemeralLow();
    if (low > 11000) {
        std::uniform_int_distribution<int> ports(10000, low - 1);
        for (int attempt = 0; attempt < 200; ++attempt) {
            const int port = ports(pick);
            if (bothFree(static_cast<uint16_t>(port))) {
                return port;
            }
        }
    }
    for (int attempt = 0; attempt < 50; ++attempt) {
        int tcp = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = 0;
        socklen_t len = sizeof a;
        const bool bound = bind(tcp, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
                           getsockname(tcp, reinterpret_cast<sockaddr*>(&a), &len) == 0;
        ::close(tcp);
        if (bound && bothFree(ntohs(a.sin_port))) {
            return ntohs(a.sin_port);
        }
    }
    return -1;
}

HubTestClient::HubTestClient(int port, int receiveBuffer) {
    _fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (_fd >= 0 && receiveBuffer > 0) {
        setsockopt(_fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    }
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    if (_fd >= 0 && connect(_fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::close(_fd);
        _fd = -1;
    }
    if (_fd >= 0) {
        int one = 1;
        setsockopt(_fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    }
}

HubTestClient::~HubTestClient() { close(); }

void HubTestClient::close() {
    if (_fd >= 0) {
        ::close(_fd);
        _fd = -1;
    }
}

bool HubTestClient::sendRaw(std::string_view bytes) {
    size_t sent = 0;
    while (_fd >= 0 && sent < bytes.size()) {
        ssize_t n = ::send(_fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        sent += static_cast<size_t>(n);
    }
    return sent == bytes.size();
}

bool HubTestClient::readExactly(char* out, size_t n, std::chrono::steady_clock::time_point until) {
    size_t got = 0;
    while (got < n) {
        if (_inPos < _in.size()) {
            const size_t take = std::min(n - got, _in.size() - _inPos);
            std::memcpy(out + got, _in.data() + _inPos, take);
            _inPos += take;
            got += take;
            continue;
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            return false;
        }
        pollfd p{_fd, POLLIN, 0};
        int r = poll(&p, 1, static_cast<int>(left.count()));
        if (r < 0 && errno == EINTR) {
            continue;
        }
        if (r <= 0) {
            return false;
        }
        // Whatever has arrived is taken at once: a burst of replies costs one read, not two per frame.
        _in.resize(64 * 1024);
        _inPos = 0;
        ssize_t k = ::recv(_fd, _in.data(), _in.size(), 0);
        if (k < 0 && errno == EINTR) {
            _in.clear();
            continue;
        }
        if (k <= 0) {
            _in.clear();
            return false;
        }
        _in.resize(static_cast<size_t>(k));
    }
    return true;
}

std::optional<std::vector<char>> HubTestClient::receive(std::chrono::milliseconds deadline) {
    if (_fd < 0) {
        return std::nullopt;
    }
    auto until = std::chrono::steady_clock::now() + deadline;
    std::vector<char> frame(4);
    if (!readExactly(frame.data(), 4, until)) {
        return std::nullopt;
    }
    uint32_t total = dch::totalLength(frame.data());
    if (total < 4 || total > (64u << 20)) {
        return std::nullopt;
    }
    frame.resize(total);
    if (!readExactly(frame.data() + 4, total - 4, until)) {
        return std::nullopt;
    }
    return frame;
}

std::optional<int32_t> HubTestClient::receiveStatus(std::chrono::milliseconds deadline) {
    auto frame = receive(deadline);
    if (!frame) {
        return std::nullopt;
    }
    dch::FieldReader r(frame->data(), frame->size());
    dch::FieldReader::Field f = r.next();
    int32_t status = 0;
    if (f.type != DCH_status || !f.int32(&status)) {
        return std::nullopt;
    }
    return status;
}

bool HubTestClient::waitClosed(std::chrono::milliseconds deadline) {
    auto until = std::chrono::steady_clock::now() + deadline;
    char c;
    while (std::chrono::steady_clock::now() < until) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
        pollfd p{_fd, POLLIN, 0};
        int r = poll(&p, 1, static_cast<int>(left.count()));
        if (r <= 0) {
            return false;
        }
        ssize_t k = ::recv(_fd, &c, 1, 0);
        if (k == 0) {
            return true;
        }
        if (k < 0 && errno != EINTR) {
            return true;
        }
    }
    return false;
}

}  // namespace vorpane::testing
