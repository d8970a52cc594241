// ipcSock: the hub port, the server loop, the client role, the UDP socket pool, reads and writes.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/tcp.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "hub/dch_ipc.h"
#include "interfaces/dch_protocol.h"
#include "interfaces/support.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr Clock::time_point kNoDeadline = Clock::time_point::max();

constexpr int kDefaultPort = 1919;
constexpr int kCandidateBase = 46300;
constexpr int kCandidateStep = 1000;
constexpr int kLastCandidate = 10;
constexpr int kDefaultTimeout = 30;
constexpr int kDefaultPoolSize = 32;
constexpr double kPoolWait = 10;       // seconds a client waits for a pooled socket to be released
constexpr double kPoolRetrySleep = 3;  // and sleeps after that wait timed out
constexpr double kReadPieceWait = 10;  // seconds ipcRead waits for each datagram after the first
constexpr int kMinArrivalTimeout = 5;  // seconds: the least time a TCP request has to arrive whole

Clock::time_point deadlineAfter(double seconds) {
    return Clock::now() + vorpane::CondVar::realDuration(seconds);
}

// Milliseconds a poll may wait until deadline, rounded up so that a wait never spins; -1 for none.
int pollTimeout(Clock::time_point deadline) {
    if (deadline == kNoDeadline) {
        return -1;
    }
    const auto left = deadline - Clock::now();
    if (left <= Clock::duration::zero()) {
        return 0;
    }
    return static_cast<int>(
        std::min<long long>(std::chrono::ceil<std::chrono::milliseconds>(left).count(), INT_MAX));
}

enum class Wait { ready, timedOut, stopped, failed };

// Waits until fd has one of events or the deadline passed; ends early when stopFd (if >= 0) is
// readable. A signal does not end the wait.
Wait waitFor(int fd, short events, Clock::time_point deadline, int stopFd = -1) {
    for (;;) {
        std::array<pollfd, 2> set{{{fd, events, 0}, {stopFd, POLLIN, 0}}};
        const int rc = poll(set.data(), set.size(), pollTimeout(deadline));
        if (rc < 0) {
            if (errno == EINTR) {
                continue;
            }
            return Wait::failed;
        }
        if (set[1].revents != 0) {
            return Wait::stopped;
        }
        if (rc > 0) {
            return Wait::ready;
        }
        if (Clock::now() >= deadline) {
            return Wait::timedOut;
        }
    }
}

std::array<char, INET_ADDRSTRLEN> dottedAddress(const sockaddr_in& address) {
    std::array<char, INET_ADDRSTRLEN> text{};
    if (inet_ntop(AF_INET, &address.sin_addr, text.data(), text.size()) == nullptr) {
        std::snprintf(text.data(), text.size(), "0.0.0.0");
    }
    return text;
}

// A numeric key: fallback when unset or empty, and (with a warning) when outside low..high.
int envNumber(const char* key, int fallback, int low, int high) {
    const char* value = BSS1_GetEnv(key, 0);
    if (value == nullptr || *value == '\0') {
        return fallback;
    }
    const int n = std::atoi(value);
    if (n < low || n > high) {
        VA_ERROR("Warning: %s=<%s> is outside %d to %d; using %d.\n", key, value, low, high, fallback);
        return fallback;
    }
    return n;
}

}  // namespace

// The state every ipcSock of the process shares.
struct ipcSock::Shared {
    // Under the environment-initialisation lock (ZOTA_GetEnvVarsInitLock).
    bool envVarsInit = false;
    bool envDCHUDPInit = false;
    vorpane::FixedText<255> envDCHname;
    int udpSockCount = kDefaultPoolSize;
    // Read without that lock on the server and request threads; the port also changes on the server
    // thread when the candidate search picks one.
    std::atomic<int> envPortNo{kDefaultPort};
    std::atomic<int> envDCHtimeout{kDefaultTimeout};
    std::atomic<int> envArrivalTimeout{kDefaultTimeout};
    std::atomic<int> envTRAPEMIT{0};

    vorpane::Mutex udpSockLock;
    vorpane::CondVar udpSockCond;  // signalled once per released socket
    std::vector<UDPSockElement> udpSockList VA_GUARDED_BY(udpSockLock);
};

ipcSock::Shared& ipcSock::shared() {
    static Shared* s = new Shared();  // pooled clients may still wait on it while the process exits
    return *s;
}

int ipcSock::envPortNo() {
    return shared().envPortNo.load();
}

std::string ipcSock::envDCHname() {
    vorpane::ScopedLock env(ZOTA_GetEnvVarsInitLock());
    return env.ok() ? shared().envDCHname.str() : std::string();
}

int ipcSock::envTRAPEMIT() {
    return shared().envTRAPEMIT.load();
}

void ipcSock::resetEnvForTest() {
    Shared& s = shared();
    vorpane::ScopedLock env(ZOTA_GetEnvVarsInitLock());
    s.envVarsInit = false;
    s.envDCHUDPInit = false;
    vorpane::ScopedLock pool(s.udpSockLock);
    for (UDPSockElement& e : s.udpSockList) {
        if (e.sockUDP >= 0) {
            ZOT0_CloseTheSocket(e.sockUDP);
        }
    }
    s.udpSockList.clear();
}

// ---------------------------------------------------------------------------------------------------
// Construction and configuration

ipcSock::ipcSock(short typeOfService, int connectTo, int useFromSockPool)
    : DCHipc(typeOfService), _useFromSockPool(useFromSockPool) {
    {
        vorpane::ScopedLock env(ZOTA_GetEnvVarsInitLock());
        if (env.ok()) {
            Shared& s = shared();
            if (!s.envVarsInit) {
                getEnvVariables();
            }
            if (!s.envDCHUDPInit && useFromSockPool != 0 && connectTo == 0 && typeOfService == 3) {
                createUDPSockPool();
            }
        }
    }
    if (typeOfService == 2 && pipe2(_stopPipe.data(), O_CLOEXEC | O_NONBLOCK) != 0) {
        VA_ERROR("Error: the server stop pipe could not be made. errno=%d\n", errno);
        _sockError = 1;
        ipcSetError(1);
        return;
    }
    // Only failures are stored: on the server role the loop may already have recorded its own.
    if (const int rc = startup(nullptr, connectTo); rc != 0) {
        _sockError = rc;
        VA_ERROR("Error: startup failed. _sockError=%d\n", rc);
    }
    if (const int rc = ipcGetError(); rc != 0) {
        _sockError = rc;
        VA_ERROR("Error: _sockError=%d\n", rc);
    }
}

ipcSock::ipcSock() {
    VA_ERROR("Error: this constructor should not be used.\n");
    _sockError = 1;
}

ipcSock::~ipcSock() {
    stopServer();
    for (int& fd : _stopPipe) {
        if (fd >= 0) {
            close(fd);
            fd = -1;
        }
    }
}

void ipcSock::getEnvVariables() {
    Shared& s = shared();
    const char* addr = BSS1_GetEnv("ZOTA_DCH_ADDR", 0);
    if (addr != nullptr && *addr != '\0') {
        s.envDCHname.assign(addr);
    } else if (std::optional<std::string> local = ZOT0_LocalHostNameString(); local) {
        s.envDCHname.assign(*local);
    } else {
        VA_ERROR("Error: ZOT0_LocalHostNameString failed.\n");
        s.envDCHname.assign("");
        _sockError = 1;
    }
    int portDefault = kDefaultPort;
    if (std::optional<int> port = ZOT0_QueryProductSpecNumber(ZOT2_DCH_PORT); port && *port >= 1 && *port <= 65535) {
        portDefault = *port;
    }
    s.envPortNo = envNumber("ZOTA_DCH_PORT", portDefault, 1, 65535);
    s.envDCHtimeout = envNumber("ZOTA_DCH_TIMEOUT", kDefaultTimeout, 0, SHRT_MAX);
    s.envArrivalTimeout = envNumber("VORPANE_DCH_ARRIVAL_TIMEOUT", std::max(s.envDCHtimeout.load(), kMinArrivalTimeout),
                                    1, SHRT_MAX);
    const char* trap = BSS1_GetEnv("ZOTA_DCH_TRAPEMIT", 0);
    s.envTRAPEMIT = trap != nullptr && (trap[0] == 'Y' || trap[0] == 'y') ? 1 : 0;
    // At least one socket, or every pooled client would wait forever; at most what a descriptor
    // budget comfortably allows.
    s.udpSockCount = envNumber("ZOTA_DCH_UDP_SOCKETS_IN_POOL", kDefaultPoolSize, 1, 1024);
    s.envVarsInit = true;
    VA_STATE("_envDCHname[%s] _envPortNo[%d] _envDCHtimeout[%d] _envTRAPEMIT[%d]\n", s.envDCHname.c_str(),
             s.envPortNo.load(), s.envDCHtimeout.load(), s.envTRAPEMIT.load());
}

void ipcSock::createUDPSockPool() {
    Shared& s = shared();
    s.envDCHUDPInit = true;
    vorpane::ScopedLock pool(s.udpSockLock);
    if (!pool.ok()) {
        return;
    }
    s.udpSockList.assign(static_cast<size_t>(s.udpSockCount), UDPSockElement{});
    for (UDPSockElement& e : s.udpSockList) {
        int err = 0;
        const int sock = ZOT0_OpenLocalSocket(ZOT0_SOCKET_UDP, 0, nullptr, 0, &err);
        if (sock < 0) {
            VA_ERROR("Error: _UDPSockList[i].sockUDP[%d]  errno=%d\n", sock, err);
            continue;  // stays IPC_NO_SOCKET and is never handed out
        }
        e.sockUDP = sock;
    }
}

int ipcSock::DCHtimeout() {
    return shared().envDCHtimeout.load();
}

int ipcSock::arrivalTimeout() {
    return shared().envArrivalTimeout.load();
}

int ipcSock::sockPortTCP() {
    if (_portTCP == 0 && _sockTCP >= 0) {
        _portTCP = static_cast<uint16_t>(std::max(ZOT0_RetrieveSockPort(_sockTCP), 0));
    }
    return _portTCP;
}

int ipcSock::sockPortUDP() {
    if (_portUDP == 0 && _sockUDP >= 0) {
        _portUDP = static_cast<uint16_t>(std::max(ZOT0_RetrieveSockPort(_sockUDP), 0));
    }
    return _portUDP;
}

void ipcSock::setClientAddr(const void* addr, int length) {
    _sockAddress = sockaddr_in{};
    if (addr != nullptr && length > 0) {
        std::memcpy(&_sockAddress, addr, std::min(static_cast<size_t>(length), sizeof _sockAddress));
    }
}

// ---------------------------------------------------------------------------------------------------
// DCH port assignment

int ipcSock::allocateDCHport() {
    Shared& s = shared();
    const std::string product = ZOT0_QueryProductSpec(ZOT2_PRODUCT_NAME).value_or("");
    const bool variant = ZOT0_QueryProductSpecNumber(ZOT2_PRODUCT_VARIANT).value_or(0) != 0;
    const int envPort = s.envPortNo.load();
    int udpErr = 0;
    int tcpErr = 0;

    if ((ZOTA_GetInstanceName() == nullptr || envPort != kDefaultPort) && !variant) {
        BSS1_Sleep(2);
        _sockAddress = sockaddr_in{};
        _sockUDP = ZOT0_OpenLocalSocket(ZOT0_SOCKET_UDP, htons(static_cast<uint16_t>(envPort)), &_sockAddress,
                                        0, &udpErr);
        _sockAddress = sockaddr_in{};
        _sockTCP = ZOT0_OpenLocalSocket(ZOT0_SOCKET_TCP, htons(static_cast<uint16_t>(envPort)), &_sockAddress,
                                        0, &tcpErr);
        if (_sockUDP < 0 && _sockTCP < 0 && udpErr == EADDRINUSE && tcpErr == EADDRINUSE) {
            VA_ERROR("Error: Could not open TCP/UDP sockets bound to %s DCH port %d\n", product.c_str(),
                     envPort);
            VA_ERROR("Determine if another copy of %s is already active on this system.  Exiting...\n\n",
                     product.c_str());
            vorpane::fatalExit(
                "the hub port " + std::to_string(envPort) +
                " is in use: another agent or program holds it (ZOTA_DCH_PORT chooses the port)");
        }
        if (_sockUDP < 0 || _sockTCP < 0) {
            VA_ERROR(
                "Error: Could not open TCP/UDP sockets bound to %s DCH port %d, UDP Errno: %d, TCP Errno: "
                "%d.  "
                "Exiting...\n\n",
                product.c_str(), envPort, udpErr, tcpErr);
            auto what = [](int sock, int err) { return sock >= 0 ? "open" : std::strerror(err); };
            vorpane::fatalExit("cannot open the hub port " + std::to_string(envPort) + ": TCP " +
                               what(_sockTCP, tcpErr) + ", UDP " + what(_sockUDP, udpErr) +
                               " (ZOTA_DCH_PORT chooses the port)");
        }
        VA_STATE("Opened DCH port %d _sockUDP[%d] _sockTCP[%d] for %s\n", envPort, _sockUDP, _sockTCP,
                 product.c_str());
    } else {
        int base = kCandidateBase;
        int step = 0;
        if (std::optional<int> offset = ZOT0_QueryProductSpecNumber(ZOT2_DP_PORT_OFFSET); offset) {
            step = *offset;
            if (variant) {
                base = 0;
                VA_STATE("ZOT2_DP_PORT_OFFSET %d is currently in effect\n", step);
            }
        }
        // A negative step would walk below the configured port into ports of other services.
        if (step <= 0) {
            step = kCandidateStep;
        }
        auto allUnavailable = [&] {
            VA_ERROR("Error: Could not open TCP/UDP sockets bound to %s\n", product.c_str());
            VA_ERROR("All candidate DCH ports are unavailable.  Exiting...\n\n");
            vorpane::fatalExit("no free hub port: every candidate port from " + std::to_string(envPort) +
                               " upwards is in use or cannot be opened");
        };
        BSS1_Sleep(1);
        bool assigned = false;
        for (int i = variant ? 0 : 1; i <= kLastCandidate; ++i) {
            const long long wide = static_cast<long long>(envPort) + base + static_cast<long long>(i) * step;
            if (wide > 65535) {
                allUnavailable();
            }
            const int port = static_cast<int>(wide);
            sockaddr_in udpAddress{};
            _sockUDP = ZOT0_OpenLocalSocket(ZOT0_SOCKET_UDP, htons(static_cast<uint16_t>(port)), &udpAddress,
                                            ZOT0_SOCKET_PROBE, &udpErr);
            _sockAddress = sockaddr_in{};
            _sockTCP = ZOT0_OpenLocalSocket(ZOT0_SOCKET_TCP, htons(static_cast<uint16_t>(port)),
                                            &_sockAddress, ZOT0_SOCKET_PROBE, &tcpErr);
            if (_sockUDP >= 0 && _sockTCP >= 0) {
                assigned = true;
                s.envPortNo = port;
                VA_STATE("Assigned DCH port number to %d\n", port);
                const std::string portText = std::to_string(port);
                // Later readers of the keys (and child processes) see the port that was taken.
                if (!BSS1_SetEnv("ZOTA_DCH_PORT", portText.c_str())) {
                    VA_ERROR("Error: ZOTA_DCH_PORT=%d could not be put into the environment.\n", port);
                }
                if (!ZOT0_UpdateProductSpec(ZOT2_DCH_PORT, portText)) {
                    VA_ERROR("Error: Unable to reset port value to <%s>\n", portText.c_str());
                }
                if (!variant) {
                    const std::string offsetText = std::to_string(i * step);
                    if (!ZOT0_UpdateProductSpec(ZOT2_DP_PORT_OFFSET, offsetText)) {
                        VA_ERROR("Error: Unable to reset port offset value to <%s>\n", offsetText.c_str());
                    }
                }
                break;
            }
            // A half-open pair is closed: holding one protocol of a port we do not use would block the
            // hub that owns the other.
            for (int* sock : {&_sockUDP, &_sockTCP}) {
                if (*sock >= 0) {
                    ZOT0_CloseTheSocket(*sock);
                }
                *sock = IPC_NO_SOCKET;
            }
            if (udpErr == EADDRINUSE && tcpErr == EADDRINUSE) {
                if (i < kLastCandidate) {
                    VA_STATE("DCH port number %d is already in use, retrying...\n", port);
                }
            } else {
                VA_ERROR(
                    "Error: Could not open TCP/UDP sockets bound to %s DCH port %d, UDP Errno: %d, TCP "
                    "Errno: %d\n",
                    product.c_str(), port, udpErr, tcpErr);
            }
        }
        if (!assigned) {
            allUnavailable();
        }
    }
    VA_STATE("Successfully opened %s DCH port %d\n", product.c_str(), s.envPortNo.load());
    return 1;
}

// ---------------------------------------------------------------------------------------------------
// Server loop

int ipcSock::sockSetSelectReadMask(PollSet* set) {
    (*set)[kPollStop] = pollfd{_stopPipe[0], POLLIN, 0};
    (*set)[kPollTCP] = pollfd{!_clientsFull && Clock::now() >= _acceptResume ? _sockTCP : -1, POLLIN, 0};
    (*set)[kPollUDP] = pollfd{_sockUDP, POLLIN, 0};
    for (size_t i = 0; i < static_cast<size_t>(_slotsInUse); ++i) {
        (*set)[kPollClients + i] = pollfd{_sockClientFD[i] > 0 ? _sockClientFD[i] : -1, POLLIN, 0};
    }
    return kPollClients + _slotsInUse;
}

int ipcSock::sockGetAvailableIndex() {
    for (size_t i = 0; i < _sockClientFD.size(); ++i) {
        if (_sockClientFD[i] == 0) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

void ipcSock::sockResetIndex() {
    _sockIndex = 0;
}

int ipcSock::sockCheckReadMask(const PollSet& set, int* index) {
    // Slots past the last one in use hold no connection (and their entries were not given to poll).
    if (_sockIndex >= _slotsInUse) {
        return -1;
    }
    *index = _sockIndex++;
    const pollfd& p = set[static_cast<size_t>(kPollClients + *index)];
    return p.fd > 0 && p.revents != 0 && _sockClientFD[static_cast<size_t>(*index)] == p.fd ? p.fd : 0;
}

int ipcSock::IPCServer() {
    _sockClientFD.fill(0);
    _slotsInUse = 0;
    for (ClientStream& c : _clientStream) {
        c.in.clear();
        c.stallAt = kNoDeadline;
    }
    allocateDCHport();
    if (listen(_sockTCP, 5) != 0) {
        VA_ERROR("Error: listen for _sockTCP failed. errno=%d\n", errno);
        _sockError = 1;
    } else if (const int flags = fcntl(_sockTCP, F_GETFL);
               flags < 0 || fcntl(_sockTCP, F_SETFL, flags | O_NONBLOCK) != 0) {
        // Without it, accept could block the loop on a connection that went away after poll saw it.
        VA_ERROR("Error: O_NONBLOCK on _sockTCP failed. errno=%d\n", errno);
        _sockError = 1;
    }
    ipc_put_data(static_cast<int>(DCH_TEXT_SERVER_READY.size()), DCH_TEXT_SERVER_READY.data(), &_sockAddress,
                 sizeof _sockAddress, nullptr, 0);

    bool stopped = false;
    PollSet set;
    while (_sockError < 2) {
        const int count = sockSetSelectReadMask(&set);
        const Clock::time_point stall = nextStall();
        const Clock::time_point acceptResume = _acceptResume > Clock::now() ? _acceptResume : kNoDeadline;
        const int rc = poll(set.data(), static_cast<nfds_t>(count), pollTimeout(std::min(stall, acceptResume)));
        if (rc == 0 || (rc < 0 && errno == EINTR)) {
            // A sender stalled, the accept pause ended, or a signal for the process arrived.
            if (stall != kNoDeadline) {
                checkStalled(Clock::now());
            }
            continue;
        }
        if (rc < 0) {
            VA_ERROR("Error: select failed. <%d>\n", errno);
            _sockError = 2;
            break;
        }
        if (set[kPollStop].revents != 0) {
            stopped = true;
            break;
        }
        if (set[kPollUDP].revents != 0) {
            receiveDatagram();
        } else if (set[kPollTCP].revents != 0) {
            acceptClient();
        } else {
            sockResetIndex();
            int index = 0;
            for (int fd = sockCheckReadMask(set, &index); fd >= 0; fd = sockCheckReadMask(set, &index)) {
                if (fd > 0) {
                    readClient(index);
                }
            }
        }
        if (stall != kNoDeadline && Clock::now() >= stall) {
            checkStalled(Clock::now());
        }
    }
    if (stopped) {
        return 0;
    }
    VA_ERROR("Error: IPC errors[%d], cannot continue.\n", _sockError.load());
    return _sockError;
}

void ipcSock::receiveDatagram() {
    std::array<char, IPC_READ_UNIT> data;
    sockaddr_in from{};
    socklen_t fromLen = sizeof from;
    const ssize_t n = recvfrom(_sockUDP, data.data(), data.size(), MSG_DONTWAIT,
                               reinterpret_cast<sockaddr*>(&from), &fromLen);
    if (n > 0) {
        const auto name = dottedAddress(from);
        ipc_put_data(static_cast<int>(n), data.data(), &from, sizeof from, name.data(), 0);
        return;
    }
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
        return;
    }
    VA_ERROR("Error: UDP - recvfrom failed. bytesRead <%d>, sockerr <%d>\n", static_cast<int>(n),
             n < 0 ? errno : 0);
    _sockError = 1;
}

void ipcSock::acceptClient() {
    const int index = sockGetAvailableIndex();
    if (index < 0) {
        VA_ERROR("Error: Maximum of %d TCP clients has been reached.\n", IPC_MAX_TCP_CLIENTS);
        _clientsFull = true;
        return;
    }
    sockaddr_in peer{};
    socklen_t peerLen = sizeof peer;
    int fd = accept4(_sockTCP, reinterpret_cast<sockaddr*>(&peer), &peerLen, SOCK_CLOEXEC);
    if (fd < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR || errno == ECONNABORTED) {
            return;  // the connection went away before it was taken
        }
        VA_ERROR("Error: accept failed. errno=%d\n", errno);
        _sockError = 1;
        _acceptResume = deadlineAfter(1);
        return;
    }
    // Descriptor 0 marks a free slot and, as connectedSockFD, a UDP sender: a connection must not have it
    // (it can when the process runs with standard input closed).
    if (fd == 0) {
        const int moved = fcntl(fd, F_DUPFD_CLOEXEC, 1);
        ZOT0_CloseTheSocket(fd);
        if (moved < 0) {
            VA_ERROR("Error: accept failed. errno=%d\n", errno);
            _sockError = 1;
            return;
        }
        fd = moved;
    }
    // Every write of the hub is a whole message (a reply, or data messages for a collector) that its
    // peer waits for: holding it back until the previous one is acknowledged would only add delay,
    // and a collector, which never sends, acknowledges late.
    const int one = 1;
    if (setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one) != 0) {
        VA_DETAIL("TCP_NODELAY refused on _sockClientFD[%d]=%d. errno=%d\n", index, fd, errno);
    }
    _sockClientFD[static_cast<size_t>(index)] = fd;
    _accepted.fetch_add(1, std::memory_order_relaxed);
    _slotsInUse = std::max(_slotsInUse, index + 1);
    ClientStream& c = _clientStream[static_cast<size_t>(index)];
    c.peer = peer;
    c.name = dottedAddress(peer);
    c.in.clear();
    c.stallAt = kNoDeadline;
}

void ipcSock::closeClient(int index) {
    const size_t slot = static_cast<size_t>(index);
    const int fd = _sockClientFD[slot];
    ClientStream& c = _clientStream[slot];
    VA_STATE("_sockClientFD[%d]=%d closed TCP connection: continue...", index, fd);
    // Shut down, not closed: requests of this connection may still wait in the queue, and their
    // replies must fail on this descriptor instead of reaching a new connection that got its number.
    // The reader closes it once it has handled the disconnect queued below (releaseConnection).
    if (shutdown(fd, SHUT_RDWR) != 0 && errno != ENOTCONN) {
        VA_DETAIL("shutdown of _sockClientFD[%d]=%d failed. errno=%d\n", index, fd, errno);
    }
    {
        vorpane::ScopedLock g(_closingLock);
        _closing.push_back(fd);
    }
    _sockClientFD[slot] = 0;
    while (_slotsInUse > 0 && _sockClientFD[static_cast<size_t>(_slotsInUse - 1)] == 0) {
        --_slotsInUse;
    }
    c.in.clear();
    c.stallAt = kNoDeadline;
    _clientsFull = false;
    ipc_put_data(static_cast<int>(DCH_TEXT_DISCONNECT.size()), DCH_TEXT_DISCONNECT.data(), &c.peer,
                 sizeof(sockaddr_in), nullptr, static_cast<unsigned int>(fd));
}

// Takes what a readable connection holds, in one receive, and queues every message that is now
// complete. Requests are small and a provider waits for each answer, so one receive nearly always
// brings exactly one whole request: reading its header and its body separately would cost a second
// system call per request.
void ipcSock::readClient(int index) {
    const size_t slot = static_cast<size_t>(index);
    const int fd = _sockClientFD[slot];
    ClientStream& c = _clientStream[slot];
    char* into = c.in.reserve(IPC_READ_UNIT);
    ssize_t n = 0;
    do {
        n = recv(fd, into, c.in.room(), MSG_DONTWAIT);
    } while (n < 0 && errno == EINTR);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        return;
    }
    if (n <= 0) {
        // Closed or reset. A message the peer left unfinished cannot be resent: it is gone with it.
        if (const uint32_t expected = c.in.expected(); expected > 0) {
            VA_ERROR("Error: TCP received %d bytes, expected %d bytes\n", static_cast<int>(c.in.pending()),
                     static_cast<int>(expected));
        }
        closeClient(index);
        return;
    }
    c.in.commit(static_cast<size_t>(n));
    queueMessages(index);
}

void ipcSock::queueMessages(int index) {
    const size_t slot = static_cast<size_t>(index);
    const int fd = _sockClientFD[slot];
    ClientStream& c = _clientStream[slot];
    for (;;) {
        const char* data = nullptr;
        uint32_t length = 0;
        uint32_t count = 0;
        switch (c.in.frontRun(&data, &length, &count, IPC_MAX_RUN)) {
            case ipcStreamBuffer::Front::message:
                // The requests a pipelining sender had in this receive share one queue entry: the
                // request thread handles them one after another as if queued one by one, without a
                // hand-over through the queue (and a wake-up of this loop) per request.
                ipc_put_data(static_cast<int>(length), data, &c.peer, sizeof(sockaddr_in), c.name.data(),
                             static_cast<unsigned int>(fd));
                c.in.popRun(length);
                c.stallAt = kNoDeadline;  // the next message has its own time to arrive
                continue;
            case ipcStreamBuffer::Front::badLength:
                // A lying length leaves no way to find the next message: the connection is closed (the
                // hub then treats the provider as gone) rather than read until the claimed length.
                VA_ERROR("Error: TCP message length %u on _sockClientFD[%d]=%d is outside %d to %d bytes.\n",
                         length, index, fd, static_cast<int>(DCH_FRAME_HEADER), IPC_MAX_MESSAGE);
                closeClient(index);
                return;
            case ipcStreamBuffer::Front::incomplete:
                // The whole message must arrive within arrivalTimeout() seconds of its first bytes.
                if (c.stallAt == kNoDeadline) {
                    c.stallAt = deadlineAfter(arrivalTimeout());
                }
                return;
            case ipcStreamBuffer::Front::empty:
                c.stallAt = kNoDeadline;
                return;
        }
    }
}

Clock::time_point ipcSock::nextStall() const {
    Clock::time_point first = kNoDeadline;
    for (size_t i = 0; i < static_cast<size_t>(_slotsInUse); ++i) {
        if (_sockClientFD[i] > 0) {
            first = std::min(first, _clientStream[i].stallAt);
        }
    }
    return first;
}

void ipcSock::checkStalled(Clock::time_point now) {
    for (size_t i = 0; i < static_cast<size_t>(_slotsInUse); ++i) {
        ClientStream& c = _clientStream[i];
        if (_sockClientFD[i] <= 0 || c.stallAt > now) {
            continue;
        }
        const int index = static_cast<int>(i);
        // The loop may have been blocked on a full queue while the rest arrived: what the socket
        // holds is taken before the sender is called stalled.
        readClient(index);
        if (_sockClientFD[i] <= 0 || c.stallAt > now) {
            continue;
        }
        c.stallAt = kNoDeadline;
        const uint32_t expected = c.in.expected();
        if (expected == 0) {
            // Without a whole header the rest of the stream cannot be framed again.
            VA_ERROR("Error: TCP received %d bytes, expected %d bytes\n", static_cast<int>(c.in.pending()),
                     static_cast<int>(DCH_FRAME_HEADER));
            closeClient(index);
            continue;
        }
        VA_ERROR("Error: TCP received %d bytes, expected %d bytes\n", static_cast<int>(c.in.pending()),
                 static_cast<int>(expected));
        // The sender is told to send again; what is still to come of this message is discarded, so
        // that the next message is read from its own header.
        c.in.abandon();
        ipc_put_data(static_cast<int>(DCH_TEXT_RESEND.size()), DCH_TEXT_RESEND.data(), &c.peer,
                     sizeof(sockaddr_in), c.name.data(), static_cast<unsigned int>(_sockClientFD[i]));
    }
}

void ipcSock::stopServer() {
    if (_stopPipe[1] >= 0) {
        const char stop = 1;
        // A full pipe already holds a byte, which is all the loop needs.
        if (write(_stopPipe[1], &stop, 1) != 1 && errno != EAGAIN) {
            VA_ERROR("Error: the server loop could not be told to stop. errno=%d\n", errno);
        }
    }
    DCHipc::stopServer();
    closeSockets();
}

void ipcSock::releaseConnection(unsigned int connectedSockFD) {
    const int fd = static_cast<int>(connectedSockFD);
    vorpane::ScopedLock g(_closingLock);
    auto found = std::find(_closing.begin(), _closing.end(), fd);
    if (found == _closing.end()) {
        return;  // closed by stopServer() already, or never a connection of this server
    }
    _closing.erase(found);
    ZOT0_CloseTheSocket(fd);
}

void ipcSock::closeSockets() {
    for (int& fd : _sockClientFD) {
        if (fd > 0) {
            ZOT0_CloseTheSocket(fd);
            fd = 0;
        }
    }
    _slotsInUse = 0;
    {
        vorpane::ScopedLock g(_closingLock);
        for (int fd : _closing) {
            ZOT0_CloseTheSocket(fd);
        }
        _closing.clear();
    }
    if (_sockTCP != IPC_NO_SOCKET) {
        VA_STATE("Closing TCP socket %d for DCH port %d\n", _sockTCP, envPortNo());
        ZOT0_CloseTheSocket(_sockTCP);
        _sockTCP = IPC_NO_SOCKET;
    }
    if (_holdsPoolSocket) {
        releaseIPC();
    }
    if (_sockUDP != IPC_NO_SOCKET) {
        if (!isPoolSocket(_sockUDP)) {
            ZOT0_CloseTheSocket(_sockUDP);
        }
        _sockUDP = IPC_NO_SOCKET;
    }
}

// ---------------------------------------------------------------------------------------------------
// Client role and the UDP pool

int ipcSock::IPCClient(void* /*p*/, int connectTo, int typeOfServer) {
    _sockError = 0;
    const std::string name = envDCHname();
    const int port = envPortNo();
    VA_STATE("DCHName[%s] DCHPort[%d] connectTo[%d] typeOfServer[%d]\n", name.c_str(), port, connectTo,
             typeOfServer);
    auto openTCP = [this] {
        int err = 0;
        _sockTCP = ZOT0_OpenLocalSocket(ZOT0_SOCKET_TCP, 0, nullptr, 0, &err);
        if (_sockTCP < 0) {
            VA_ERROR("Error: _sockTCP[%d]  errno=%d\n", _sockTCP, err);
            _sockTCP = IPC_NO_SOCKET;
            _sockError = 1;
        }
    };
    if (connectTo != 0) {
        int err = 0;
        _sockUDP = ZOT0_OpenLocalSocket(ZOT0_SOCKET_UDP, 0, nullptr, 0, &err);
        if (_sockUDP < 0) {
            VA_ERROR("Error: _sockUDP[%d]  errno=%d\n", _sockUDP, err);
            _sockUDP = IPC_NO_SOCKET;
            _sockError = 1;
        }
        openTCP();
        return _sockError;
    }
    _sockAddress = sockaddr_in{};
    _sockUDP = allocateIPC();
    if (_sockUDP < 0) {
        _sockUDP = IPC_NO_SOCKET;
        _sockError = 1;
    }
    if (typeOfServer != 3) {
        openTCP();
    }
    if (ZOT0_ConvertNameToAddr(name.c_str(), port, &_sockAddress) != 0) {
        VA_ERROR("Error: ZOT0_ConvertNameToAddr failed for[%s]\n", name.c_str());
        _sockError = 1;
    }
    return _sockError;
}

int ipcSock::allocateIPC() {
    if (_useFromSockPool == 0) {
        VA_DETAIL("Creating UDP socket from outside of pool.\n");
        int err = 0;
        const int sock = ZOT0_OpenLocalSocket(ZOT0_SOCKET_UDP, 0, nullptr, 0, &err);
        if (sock < 0) {
            VA_ERROR("Error: _sockUDP[%d]  errno=%d\n", sock, err);
            return IPC_NO_SOCKET;
        }
        return sock;
    }
    Shared& s = shared();
    bool afterTimeout = false;
    for (;;) {
        {
            vorpane::ScopedLock pool(s.udpSockLock, [&] {
                if (afterTimeout) {
                    VA_ERROR("Error: unable to re-acquire lock\n");
                } else {
                    VA_ERROR("Error: pthread_cond_lock failed. errno=%d\n", errno);
                }
            });
            if (!pool.ok()) {
                return IPC_NO_SOCKET;
            }
            bool anySocket = false;
            for (UDPSockElement& e : s.udpSockList) {
                if (e.sockUDP < 0) {
                    continue;
                }
                anySocket = true;
                if (e.inUse == 0) {
                    e.inUse = 1;
                    _holdsPoolSocket = true;
                    return e.sockUDP;
                }
            }
            if (!anySocket) {
                VA_ERROR("Error: the UDP socket pool holds no socket.\n");
                return IPC_NO_SOCKET;
            }
            VA_DETAIL("No UDP sockets available yet. Waiting on signal.\n");
            const int rc = s.udpSockCond.waitFor(s.udpSockLock, kPoolWait);
            if (rc == 0) {
                afterTimeout = false;
                continue;
            }
            if (rc != ETIMEDOUT) {
                VA_ERROR("Error: pthread_cond_wait failed. rc=%d errno=%d\n", rc, errno);
                return IPC_NO_SOCKET;
            }
            VA_DETAIL("Wait timeout on UDP sock pool - errno=%d\n", rc);
        }
        BSS1_Sleep(kPoolRetrySleep);
        afterTimeout = true;
    }
}

int ipcSock::releaseIPC() {
    if (_useFromSockPool == 0) {
        return 0;
    }
    Shared& s = shared();
    {
        vorpane::ScopedLock pool(s.udpSockLock,
                                 [] { VA_ERROR("Error: pthread_cond_lock failed. errno=%d\n", errno); });
        if (!pool.ok()) {
            return 1;
        }
        // Only a socket this object holds: one it released may already serve another object.
        auto found = std::find_if(s.udpSockList.begin(), s.udpSockList.end(), [&](const UDPSockElement& e) {
            return e.sockUDP == _sockUDP && e.inUse != 0;
        });
        if (!_holdsPoolSocket || found == s.udpSockList.end()) {
            VA_ERROR("Error: UDP socket %d not found.\n", _sockUDP);
            return 1;
        }
        found->inUse = 0;
        _holdsPoolSocket = false;
        VA_DETAIL("[%d] UDP Socket %d made available for use.\n",
                  static_cast<int>(found - s.udpSockList.begin()), _sockUDP);
    }
    s.udpSockCond.signal();
    return 0;
}

bool ipcSock::isPoolSocket(int sock) {
    Shared& s = shared();
    vorpane::ScopedLock pool(s.udpSockLock);
    return pool.ok() && std::any_of(s.udpSockList.begin(), s.udpSockList.end(),
                                    [&](const UDPSockElement& e) { return e.sockUDP == sock; });
}

// ---------------------------------------------------------------------------------------------------
// Reading and writing

int ipcSock::ipcRead(std::vector<char>* buffer, int initialWait) {
    if (buffer == nullptr || _sockUDP < 0) {
        VA_ERROR("Error: [@%p] nothing to read with: buffer @%p _sockUDP=%d\n", static_cast<void*>(this),
                 static_cast<void*>(buffer), _sockUDP);
        return -1;
    }
    std::vector<std::vector<char>> pieces;
    int bytesRead = 0;
    uint32_t total = 0;
    int result = 0;
    double wait = initialWait > 0 ? initialWait : -1;
    for (;;) {
        if (pieces.size() == static_cast<size_t>(IPC_MAX_READ_PIECES)) {
            VA_ERROR("Error: [@%p] Max %d number of 16K buffers already read.\n", static_cast<void*>(this),
                     IPC_MAX_READ_PIECES);
            result = -1;
            break;
        }
        const Wait w = waitFor(_sockUDP, POLLIN, wait < 0 ? kNoDeadline : deadlineAfter(wait));
        if (w == Wait::failed) {
            VA_ERROR("Error: [@%p] select - wait=%d count=%d errno=%d\n", static_cast<void*>(this),
                     static_cast<int>(wait), static_cast<int>(pieces.size()), errno);
            result = -1;
        } else if (w == Wait::timedOut) {
            if (_retryRead != 0) {
                continue;
            }
            VA_DETAIL("select timed out - wait=%d count=%d errno=%d...not retrying\n", static_cast<int>(wait),
                      static_cast<int>(pieces.size()), errno);
            return result;
        }
        std::vector<char> piece(IPC_DATAGRAM);
        const ssize_t n = recvfrom(_sockUDP, piece.data(), piece.size(), MSG_DONTWAIT, nullptr, nullptr);
        if (n <= 0) {
            break;
        }
        if (pieces.empty()) {
            total = vorpane::dch::totalLength(piece.data());  // bytes past a short datagram are zero
        }
        piece.resize(static_cast<size_t>(n));
        pieces.push_back(std::move(piece));
        bytesRead += static_cast<int>(n);
        result = static_cast<int>(n);
        wait = kReadPieceWait;
        if (total == 0 || total <= static_cast<uint32_t>(bytesRead)) {
            break;
        }
    }
    if (result < 0 || pieces.empty() || static_cast<uint32_t>(bytesRead) != total) {
        VA_ERROR("Error: [@%p] totalLen=%d, bytesRead=%d errno=%d\n", static_cast<void*>(this),
                 static_cast<int>(total), bytesRead, errno);
        return -1;
    }
    if (pieces.size() == 1) {
        *buffer = std::move(pieces.front());
    } else {
        buffer->clear();
        buffer->reserve(total);
        for (const std::vector<char>& piece : pieces) {
            buffer->insert(buffer->end(), piece.begin(), piece.end());
        }
    }
    return result;
}

int ipcSock::ipcWrite(const void* buffer, int length, unsigned int connectedSockFD) {
    if (buffer == nullptr || length < 0) {
        VA_ERROR("Error: [@%p] invalid write of %d bytes @%p\n", static_cast<void*>(this), length, buffer);
        return -1;
    }
    const char* bytes = static_cast<const char*>(buffer);
    if (connectedSockFD != 0) {
        const int fd = static_cast<int>(connectedSockFD);
        int sent = 0;
        Clock::time_point deadline = kNoDeadline;
        while (sent < length) {
            // Never blocking in send: a peer that stops reading may hold the request thread for
            // DCHtimeout() seconds at most.
            const ssize_t n =
                send(fd, bytes + sent, static_cast<size_t>(length - sent), MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n > 0) {
                sent += static_cast<int>(n);
                continue;
            }
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) {
                break;
            }
            if (deadline == kNoDeadline) {
                VA_DETAIL("[@%p] SEND would block - waiting on Select for %d seconds.\n",
                          static_cast<void*>(this), DCHtimeout());
                deadline = deadlineAfter(DCHtimeout());
            }
            const Wait w = waitFor(fd, POLLOUT, deadline);
            if (w == Wait::failed) {
                VA_ERROR("Error: [@%p] select - count=%d errno=%d\n", static_cast<void*>(this), sent, errno);
                return -1;
            }
            if (w == Wait::timedOut) {
                break;
            }
        }
        if (sent != length) {
            VA_ERROR("Error: [@%p] SEND - Sent %d bytes out of %d: errno=%d\n", static_cast<void*>(this),
                     sent, length, errno);
            return -1;
        }
        return sent;
    }
    int sent = 0;
    while (sent < length) {
        if (sent > 0) {
            BSS1_Sleep(1);  // gives the reader time to take each datagram before the next one
        }
        const size_t chunk = static_cast<size_t>(std::min(length - sent, IPC_DATAGRAM));
        const ssize_t n = sendto(_sockUDP, bytes + sent, chunk, MSG_NOSIGNAL,
                                 reinterpret_cast<const sockaddr*>(&_sockAddress), _sockAddrLen);
        if (n < 0) {
            VA_ERROR("Error: [@%p] SENDTO - Sent %d bytes out of %d: errno=%d: _sockUDP=%d\n",
                     static_cast<void*>(this), sent, length, errno, _sockUDP);
            return -1;
        }
        sent += static_cast<int>(n);
    }
    return sent;
}
