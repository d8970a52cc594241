// HubDatagram: a collector's subscription by datagram. One UDP socket of its own (loopback, an
// ephemeral port) names the subscription at the hub, so it takes none of the hub's TCP connection
// slots; the hub answers to the address the request came from, from its reply socket, and only
// datagrams from that socket are taken. A message longer than one datagram arrives as several, the
// first of which carries the 4-byte total length; they are joined here.
#include <arpa/inet.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>

#include "interfaces/dch_client.h"
#include "interfaces/dch_flow.h"
#include "interfaces/support.h"
#include "interfaces/trace.h"

namespace vorpane {

namespace {

// The hub's reply datagrams are at most this long; a collector's whole message at most
// DCH_MAX_MESSAGE.
constexpr size_t kDatagram = 8192;
// Rows of many sources may arrive faster than a collection thread takes them: the socket holds what
// comes while the thread waits for the processor (a privileged process gets this whatever
// net.core.rmem_max says; the kernel charges only what is queued).
constexpr int kReceiveBuffer = 16 * 1024 * 1024;
// VORPANE_DCH_RECEIVE_BUFFER: bytes asked for (0 keeps the system's default and asks for nothing).
int receiveBufferFromEnvironment() {
    const char* value = BSS1_GetEnv("VORPANE_DCH_RECEIVE_BUFFER", 0);
    if (value == nullptr || *value == '\0') {
        return kReceiveBuffer;
    }
    char* end = nullptr;
    const long long n = std::strtoll(value, &end, 10);
    if (end == value || *end != '\0' || n < 0 || n > INT_MAX / 2) {
        VA_ERROR("Error: VORPANE_DCH_RECEIVE_BUFFER=<%s> is no byte count from 0 to %d; using %d.\n", value,
                 INT_MAX / 2, kReceiveBuffer);
        return kReceiveBuffer;
    }
    return static_cast<int>(n);
}

// The continuation datagrams of one message follow within the hub's pause between them.
constexpr double kPieceWait = 10;

// Milliseconds for poll until a clock deadline, rounded up; -1 for none.
int pollMillis(bool forever, double at) {
    if (forever) {
        return -1;
    }
    const double left = at - clock::now();
    if (left <= 0) {
        return 0;
    }
    const auto real = std::chrono::duration_cast<std::chrono::milliseconds>(CondVar::realDuration(left)).count() + 1;
    return real > INT_MAX ? INT_MAX : static_cast<int>(real);
}

// The reply ports the hubs of this process published, by hub port. Leaked on purpose: collectors on
// detached threads may still look while the process exits.
struct ReplyPorts {
    Mutex lock;
    std::map<int, int> byHubPort VA_GUARDED_BY(lock);
};

ReplyPorts& replyPorts() {
    static ReplyPorts* ports = new ReplyPorts();
    return *ports;
}

uint64_t windowKey(const sockaddr_in& a) {
    return (static_cast<uint64_t>(a.sin_addr.s_addr) << 16) | a.sin_port;
}

// The windows of the subscriptions by datagram of this process, by their socket's address. Leaked
// on purpose, like the reply ports.
struct FlowWindows {
    Mutex lock;
    std::map<uint64_t, std::weak_ptr<DCHflowWindow>> byAddress VA_GUARDED_BY(lock);
};

FlowWindows& flowWindows() {
    static FlowWindows* windows = new FlowWindows();
    return *windows;
}

// The test gate of DCH_holdCollectors.
struct CollectorGate {
    Mutex lock;
    CondVar cond;
    bool held VA_GUARDED_BY(lock) = false;
};

CollectorGate& collectorGate() {
    static CollectorGate* gate = new CollectorGate();
    return *gate;
}

}  // namespace

void DCHflowWindow::taken(uint64_t charge) {
    ScopedLock guard(_lock);
    _taken += charge;
    if (_hubWaits) {
        _cond.signal();
    }
}

void DCHflowWindow::close() {
    ScopedLock guard(_lock);
    _closed = true;
    _cond.broadcast();
}

void DCHflowWindow::sent(uint64_t charge) {
    ScopedLock guard(_lock);
    _sent += charge;
    _peak = std::max(_peak, _sent - std::min(_sent, _taken));
}

void DCHflowWindow::interrupt() {
    ScopedLock guard(_lock);
    _interrupted = true;
    _cond.broadcast();
}

DCHflowWindow::Room DCHflowWindow::waitForRoom(uint64_t charge, uint64_t bound, double stallSeconds) {
    ScopedLock guard(_lock);
    auto outstandingNow = [this]() VA_REQUIRES(_lock) { return _sent - std::min(_sent, _taken); };
    auto fits = [&]() VA_REQUIRES(_lock) { return outstandingNow() == 0 || outstandingNow() + charge <= bound; };
    if (_closed || _interrupted || fits()) {
        return _interrupted ? Room::kInterrupted : _closed ? Room::kClosed : Room::kRoom;
    }
    ++_waits;
    _hubWaits = true;
    Room room = Room::kRoom;
    for (;;) {
        // The stall time runs from the collector's last progress, not from the start of the wait.
        const uint64_t takenBefore = _taken;
        _cond.waitUntil(_lock, stallSeconds, [&]() VA_REQUIRES(_lock) {
            return _closed || _interrupted || fits() || _taken != takenBefore;
        });
        if (_interrupted) {
            room = Room::kInterrupted;
        } else if (_closed) {
            room = Room::kClosed;
        } else if (fits()) {
            room = Room::kRoom;
        } else if (_taken != takenBefore) {
            continue;
        } else {
            room = Room::kStalled;
        }
        break;
    }
    _hubWaits = false;
    return room;
}

bool DCHflowWindow::fits(uint64_t charge, uint64_t bound) const {
    ScopedLock guard(_lock);
    const uint64_t outstanding = _sent - std::min(_sent, _taken);
    return outstanding == 0 || outstanding + charge <= bound;
}

uint64_t DCHflowWindow::outstanding() const {
    ScopedLock guard(_lock);
    return _sent - std::min(_sent, _taken);
}

uint64_t DCHflowWindow::takenSoFar() const {
    ScopedLock guard(_lock);
    return _taken;
}

uint64_t DCHflowWindow::peakOutstanding() const {
    ScopedLock guard(_lock);
    return _peak;
}

uint64_t DCHflowWindow::waits() const {
    ScopedLock guard(_lock);
    return _waits;
}

std::shared_ptr<DCHflowWindow> DCH_flowWindow(const sockaddr_in& collector) {
    FlowWindows& windows = flowWindows();
    ScopedLock guard(windows.lock);
    auto found = windows.byAddress.find(windowKey(collector));
    return found != windows.byAddress.end() ? found->second.lock() : nullptr;
}

void DCH_holdCollectors(bool hold) {
    CollectorGate& gate = collectorGate();
    ScopedLock guard(gate.lock);
    gate.held = hold;
    gate.cond.broadcast();
}

void DCH_publishReplyPort(int hubPort, int replyPort, int expected) {
    ReplyPorts& ports = replyPorts();
    ScopedLock guard(ports.lock);
    if (replyPort != 0) {
        ports.byHubPort[hubPort] = replyPort;
        return;
    }
    auto found = ports.byHubPort.find(hubPort);
    if (found != ports.byHubPort.end() && found->second == expected) {
        ports.byHubPort.erase(found);
    }
}

int DCH_publishedReplyPort(int hubPort) {
    ReplyPorts& ports = replyPorts();
    ScopedLock guard(ports.lock);
    auto found = ports.byHubPort.find(hubPort);
    return found != ports.byHubPort.end() ? found->second : 0;
}

HubDatagram::~HubDatagram() {
    if (_window) {
        _window->close();
        FlowWindows& windows = flowWindows();
        ScopedLock guard(windows.lock);
        auto found = windows.byAddress.find(_windowKey);
        if (found != windows.byAddress.end() && found->second.lock() == _window) {
            windows.byAddress.erase(found);
        }
    }
    if (_strangers > 1) {
        VA_ERROR("Warning: %llu datagrams that did not come from the hub were dropped by a subscription by datagram\n",
                 static_cast<unsigned long long>(_strangers));
    }
    if (_fd >= 0) {
        ::close(_fd);
    }
    if (_cancelFd >= 0) {
        ::close(_cancelFd);
    }
}

int HubDatagram::open(const HubOptions& options) {
    if (!DCH_resolveHubAddress(options, &_hub)) {
        return DCH_CLIENT_NO_HUB;
    }
    const int replyPort = options.replyPort != 0 ? options.replyPort : DCH_publishedReplyPort(options.port);
    if (replyPort <= 0 || replyPort > 65535) {
        VA_ERROR("Error: no hub of this process serves port %d: a subscription by datagram could not tell the "
                 "hub's datagrams from anyone else's\n",
                 options.port);
        return DCH_CLIENT_NO_HUB;
    }
    _replyPort = htons(static_cast<uint16_t>(replyPort));
    _fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    _cancelFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (_fd < 0 || _cancelFd < 0) {
        VA_ERROR("Error: a datagram socket for the hub could not be made: %s\n", std::strerror(errno));
        return DCH_CLIENT_NO_HUB;
    }
    // Bound to the address the hub is reached on (loopback by default), so the hub answers there.
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr = _hub.sin_addr;
    if (::bind(_fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
        VA_ERROR("Error: binding a datagram socket for the hub failed: %s\n", std::strerror(errno));
        return DCH_CLIENT_NO_HUB;
    }
    const int size = receiveBufferFromEnvironment();
    if (size > 0 && ::setsockopt(_fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) != 0 &&
        ::setsockopt(_fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size) != 0) {
        VA_DETAIL("SO_RCVBUF refused: %s\n", std::strerror(errno));
    }
    // The window is what the kernel granted, in its own accounting (which counts each datagram's
    // overhead too); the hub of this process finds it by the socket's address.
    int granted = 0;
    socklen_t grantedLength = sizeof granted;
    sockaddr_in bound{};
    socklen_t boundLength = sizeof bound;
    if (::getsockopt(_fd, SOL_SOCKET, SO_RCVBUF, &granted, &grantedLength) == 0 && granted > 0 &&
        ::getsockname(_fd, reinterpret_cast<sockaddr*>(&bound), &boundLength) == 0) {
        _window = std::make_shared<DCHflowWindow>(static_cast<uint64_t>(granted));
        _windowKey = windowKey(bound);
        FlowWindows& windows = flowWindows();
        ScopedLock guard(windows.lock);
        windows.byAddress[_windowKey] = _window;
    }
    // The kernel counts the datagrams it dropped for want of room; receive() reports them.
    const int on = 1;
    if (::setsockopt(_fd, SOL_SOCKET, SO_RXQ_OVFL, &on, sizeof on) != 0) {
        VA_DETAIL("SO_RXQ_OVFL refused: %s\n", std::strerror(errno));
    }
    return DCH_CLIENT_OK;
}

int HubDatagram::send(const dch::MessageBuilder& request) {
    if (_fd < 0) {
        return DCH_CLIENT_IO;
    }
    // The hub takes a request as one datagram of at most 4096 bytes; subscriptions are far smaller.
    ssize_t n = 0;
    do {
        n = ::sendto(_fd, request.data(), request.size(), 0, reinterpret_cast<const sockaddr*>(&_hub), sizeof _hub);
    } while (n < 0 && errno == EINTR);
    if (n != static_cast<ssize_t>(request.size())) {
        VA_ERROR("Error: a datagram to the hub was not sent: %s\n", std::strerror(errno));
        return DCH_CLIENT_IO;
    }
    return DCH_CLIENT_OK;
}

int HubDatagram::receive(HubMessage* message, double timeout) {
    if (_fd < 0) {
        return DCH_CLIENT_IO;
    }
    const bool forever = timeout < 0;
    const double callEnds = forever ? 0 : clock::now() + timeout;
    {
        CollectorGate& gate = collectorGate();
        ScopedLock guard(gate.lock);
        gate.cond.waitUntil(gate.lock, -1, [&]() VA_REQUIRES(gate.lock) { return !gate.held || _cancelled.load(); });
    }
    // The caller has dealt with every message handed out so far: the datagrams that held them are
    // given back to the hub, unless one still holds messages to hand out.
    if (_owed > 0 && _packedAt >= _packed.size() && _window) {
        _window->taken(_owed);
        _owed = 0;
    }
    // While a message is half in, the wait is for its next piece.
    bool pieceWait = false;
    double pieceEnds = 0;
    std::vector<char>& bytes = message->bytes;
    bytes.clear();
    if (_packedAt < _packed.size()) {
        // The next message of a packed datagram: no system call.
        const size_t left = _packed.size() - _packedAt;
        const uint32_t length = left >= DCH_FRAME_HEADER ? dch::totalLength(_packed.data() + _packedAt) : 0;
        if (length >= DCH_FRAME_HEADER && length <= left) {
            bytes.assign(_packed.begin() + static_cast<long>(_packedAt),
                         _packed.begin() + static_cast<long>(_packedAt + length));
            _packedAt += length;
            return DCH_CLIENT_OK;
        }
        VA_ERROR("Error: a datagram from the hub ends with %zu bytes that are no whole message\n", left);
        _packed.clear();
        _packedAt = 0;
    }
    uint32_t total = 0;
    for (;;) {
        pollfd fds[2] = {{_fd, POLLIN, 0}, {_cancelFd, POLLIN, 0}};
        const int rc = ::poll(fds, 2, pieceWait ? pollMillis(false, std::min(pieceEnds, forever ? pieceEnds : callEnds))
                                                : pollMillis(forever, callEnds));
        if (rc < 0 && errno == EINTR) {
            continue;
        }
        if (rc < 0) {
            return DCH_CLIENT_IO;
        }
        if (fds[1].revents != 0) {
            return DCH_CLIENT_CANCELLED;
        }
        if (rc == 0) {
            const double now = clock::now();
            if (pieceWait && now >= pieceEnds) {
                // A message cut short is dropped whole: its rest will not come.
                VA_ERROR("Error: a message from the hub stopped after %zu of %u bytes\n", bytes.size(), total);
                bytes.clear();
                pieceWait = false;
            }
            if (!forever && now >= callEnds) {
                bytes.clear();
                return DCH_CLIENT_TIMEOUT;
            }
            continue;
        }
        std::array<char, kDatagram> piece;
        sockaddr_in from{};
        iovec io{piece.data(), piece.size()};
        alignas(cmsghdr) std::array<char, CMSG_SPACE(sizeof(uint32_t))> control{};
        msghdr header{};
        header.msg_name = &from;
        header.msg_namelen = sizeof from;
        header.msg_iov = &io;
        header.msg_iovlen = 1;
        header.msg_control = control.data();
        header.msg_controllen = control.size();
        const ssize_t n = ::recvmsg(_fd, &header, MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
                continue;
            }
            return DCH_CLIENT_IO;
        }
        noteDrops(header);
        // Only the hub's reply socket feeds a subscription: anyone else on the host could send here.
        if (from.sin_family != AF_INET || from.sin_addr.s_addr != _hub.sin_addr.s_addr || from.sin_port != _replyPort) {
            noteStranger(from);
            continue;
        }
        _owed += DCHflowWindow::charge(static_cast<uint64_t>(n), 1);
        if (bytes.empty()) {
            if (n < static_cast<ssize_t>(DCH_FRAME_HEADER)) {
                continue;
            }
            total = dch::totalLength(piece.data());
            if (total < DCH_FRAME_HEADER || total > DCH_MAX_MESSAGE) {
                VA_ERROR("Error: the hub sent a datagram claiming %u bytes\n", total);
                continue;
            }
            if (total < static_cast<size_t>(n)) {
                // A packed datagram (DCH_PACKED_DATAGRAMS): whole messages back to back. The first
                // goes now, the others to the next calls.
                bytes.assign(piece.data(), piece.data() + total);
                _packed.assign(piece.data() + total, piece.data() + n);
                _packedAt = 0;
                return DCH_CLIENT_OK;
            }
        }
        bytes.insert(bytes.end(), piece.data(), piece.data() + n);
        if (bytes.size() >= total) {
            if (bytes.size() > total) {
                VA_ERROR("Error: a message from the hub ran %zu bytes past its length of %u\n", bytes.size() - total,
                         total);
                bytes.clear();
                continue;
            }
            return DCH_CLIENT_OK;
        }
        // The rest of this message follows in the hub's next datagrams.
        pieceWait = true;
        pieceEnds = clock::now() + kPieceWait;
    }
}

void HubDatagram::noteDrops(msghdr& header) {
    for (cmsghdr* c = CMSG_FIRSTHDR(&header); c != nullptr; c = CMSG_NXTHDR(&header, c)) {
        if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SO_RXQ_OVFL) {
            continue;
        }
        uint32_t dropped = 0;
        std::memcpy(&dropped, CMSG_DATA(c), sizeof dropped);
        if (dropped != _dropped) {
            // Rows are gone: say so, with how many datagrams (a packed one holds many rows).
            VA_ERROR("Error: %u datagrams from the hub were dropped by the kernel: this collector fell behind "
                     "(%u since it subscribed)\n",
                     dropped - _dropped, dropped);
            _dropped = dropped;
        }
    }
}

void HubDatagram::noteStranger(const sockaddr_in& from) {
    if (++_strangers == 1) {
        char address[INET_ADDRSTRLEN] = "?";
        inet_ntop(AF_INET, &from.sin_addr, address, sizeof address);
        VA_ERROR("Warning: a datagram from %s port %u, which is not the hub's reply socket, was dropped by a "
                 "subscription by datagram; further ones are only counted\n",
                 address, static_cast<unsigned>(ntohs(from.sin_port)));
    }
}

void HubDatagram::cancel() {
    _cancelled.store(true);
    {
        CollectorGate& gate = collectorGate();
        ScopedLock guard(gate.lock);
        gate.cond.broadcast();
    }
    if (_cancelFd >= 0) {
        const uint64_t one = 1;
        if (::write(_cancelFd, &one, sizeof one) < 0) {
            VA_DETAIL("cancel of a datagram subscription: %s\n", std::strerror(errno));
        }
    }
}

}  // namespace vorpane
