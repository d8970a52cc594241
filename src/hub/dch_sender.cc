#include "hub/dch_sender.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "interfaces/dch_protocol.h"
#include "interfaces/support.h"

namespace {

constexpr double kNever = std::numeric_limits<double>::infinity();
constexpr double kDatagramPause = 1;  // seconds between the datagrams of one reply
// A drained queue keeps its buffer for the next burst unless the burst was large.
constexpr size_t kKeptCapacity = 256 * 1024;

int pollMillis(double at) {
    if (at == kNever) {
        return -1;
    }
    const double left = at - vorpane::clock::now();
    if (left <= 0) {
        return 0;
    }
    const auto real =
        std::chrono::duration_cast<std::chrono::milliseconds>(vorpane::CondVar::realDuration(left)).count() + 1;
    return real > INT_MAX ? INT_MAX : static_cast<int>(real);
}

std::string addressKey(const sockaddr_in& a) {
    return std::string(reinterpret_cast<const char*>(&a.sin_addr), sizeof a.sin_addr) +
           std::string(reinterpret_cast<const char*>(&a.sin_port), sizeof a.sin_port);
}

}  // namespace

DCHsender::DCHsender(int udpSocket, size_t queueBound, double sendTimeout)
    : _udpSocket(udpSocket), _queueBound(queueBound), _sendTimeout(sendTimeout) {
    _wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (_wakeFd < 0) {
        VA_ERROR("Error: the hub's writer cannot be woken: eventfd failed. errno=%d\n", errno);
        return;
    }
    if (ZOT0_CreateThread([this] { run(); }, 0, &_thread, "dch-sender") != 0) {
        VA_ERROR("Error: the hub's writer thread failed creation.\n");
        return;
    }
    _threadStarted = true;
}

DCHsender::~DCHsender() {
    {
        vorpane::ScopedLock g(_lock);
        _stopping = true;
    }
    wake();
    if (_threadStarted) {
        pthread_join(_thread, nullptr);
    }
    if (_wakeFd >= 0) {
        close(_wakeFd);
    }
}

size_t DCHsender::queueBoundFromEnvironment() {
    const char* value = BSS1_GetEnv("VORPANE_DCH_SEND_QUEUE", 0);
    if (value == nullptr || *value == '\0') {
        return kDefaultQueueBound;
    }
    const long long n = std::atoll(value);
    // A connection is cut by a single message larger than the bound; below this even ordinary
    // bursts of rows would cut a collector that reads.
    const long long least = kLeastQueueBound;
    if (n < least) {
        VA_ERROR("Warning: VORPANE_DCH_SEND_QUEUE=<%s> is below %lld; using %lld.\n", value, least, least);
        return static_cast<size_t>(least);
    }
    return static_cast<size_t>(n);
}

void DCHsender::wake() {
    if (_wakeFd >= 0) {
        const uint64_t one = 1;
        if (write(_wakeFd, &one, sizeof one) < 0 && errno != EAGAIN) {
            VA_ERROR("Error: the hub's writer could not be woken. errno=%d\n", errno);
        }
    }
}

int DCHsender::send(int fd, const char* message, size_t length) {
    vorpane::ScopedLock g(_lock);
    auto found = _tcp.find(fd);
    if (found != _tcp.end() && found->second.cut) {
        return -1;
    }
    const bool idle = found == _tcp.end() || found->second.sent == found->second.bytes.size();
    size_t done = 0;
    if (idle) {
        // Nothing waits before it: most replies leave here, whole, in one call.
        while (done < length) {
            const ssize_t n = ::send(fd, message + done, length - done, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n > 0) {
                done += static_cast<size_t>(n);
            } else if (n < 0 && errno == EINTR) {
                continue;
            } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                break;
            } else {
                // The peer is gone: the server loop is about to see it. Nothing more is sent to it.
                VA_ERROR("Error: [@%p] SEND - Sent %d bytes out of %d: errno=%d\n", static_cast<void*>(this),
                         static_cast<int>(done), static_cast<int>(length), errno);
                Outgoing& out = _tcp[fd];
                out.cut = true;
                return -1;
            }
        }
        if (done == length) {
            return static_cast<int>(length);
        }
    }
    Outgoing& out = found != _tcp.end() ? found->second : _tcp[fd];
    if (idle) {
        // The whole message is kept, its sent part too, so that its end is known.
        out.bytes.assign(message, message + length);
        out.sent = done;
        out.ends.clear();
        out.frontStart = 0;
        noteMessages(out, 0, message, length);
        advance(out);
        out.stallSince = vorpane::clock::now();
        if (length - done > _queueBound) {
            cut(fd, out, "its outgoing queue is full");
            wake();
            return -1;
        }
        VA_DETAIL("[@%p] SEND would block - %d bytes wait for connection %d.\n", static_cast<void*>(this),
                  static_cast<int>(length - done), fd);
        wake();  // the writer starts watching this connection
        return static_cast<int>(length);
    }
    const size_t waitingNow = out.bytes.size() - out.sent;
    if (waitingNow + length > _queueBound) {
        cut(fd, out, "its outgoing queue is full");
        wake();
        return -1;
    }
    if (out.sent > 0 && out.sent * 2 >= out.bytes.size()) {
        // The sent part of a message the socket took only part of stays, so its start is kept.
        const size_t drop = std::min(out.sent, out.frontStart);
        out.bytes.erase(out.bytes.begin(), out.bytes.begin() + static_cast<std::ptrdiff_t>(drop));
        out.sent -= drop;
        out.frontStart -= drop;
        for (size_t& end : out.ends) {
            end -= drop;
        }
    }
    const size_t base = out.bytes.size();
    out.bytes.insert(out.bytes.end(), message, message + length);
    noteMessages(out, base, message, length);
    return static_cast<int>(length);
}

void DCHsender::noteMessages(Outgoing& out, size_t base, const char* message, size_t length) {
    // The hub hands whole messages, one or several back to back; a length that makes no sense
    // closes the rest as one.
    size_t at = 0;
    while (at < length) {
        const size_t left = length - at;
        const uint32_t frame = left >= 4 ? vorpane::dch::totalLength(message + at) : 0;
        const size_t step = frame >= 4 && frame <= left ? frame : left;
        at += step;
        out.ends.push_back(base + at);
    }
}

void DCHsender::advance(Outgoing& out) {
    while (!out.ends.empty() && out.ends.front() <= out.sent) {
        out.frontStart = out.ends.front();
        out.ends.pop_front();
    }
}

int DCHsender::sendTo(const sockaddr_in& address, const char* message, size_t length) {
    const std::string key = addressKey(address);
    vorpane::ScopedLock g(_lock);
    auto found = _udp.find(key);
    if (found == _udp.end() && length <= kDatagram) {
        const ssize_t n = ::sendto(_udpSocket, message, length, MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&address),
                                   sizeof address);
        if (n != static_cast<ssize_t>(length)) {
            VA_ERROR("Error: [@%p] SENDTO - Sent %d bytes out of %d: errno=%d: _sockUDP=%d\n",
                     static_cast<void*>(this), n < 0 ? 0 : static_cast<int>(n), static_cast<int>(length), errno,
                     _udpSocket);
            return -1;
        }
        return static_cast<int>(length);
    }
    size_t waiting = 0;
    if (found != _udp.end()) {
        for (const std::vector<char>& m : found->second.messages) {
            waiting += m.size();
        }
    }
    if (waiting + length > _queueBound) {
        VA_ERROR("Error: %d bytes for a datagram reader that has %d waiting are dropped.\n", static_cast<int>(length),
                 static_cast<int>(waiting));
        return -1;
    }
    Datagrams& d = _udp[key];
    if (d.messages.empty()) {
        d.address = address;
        d.sent = 0;
        d.nextAt = vorpane::clock::now();
    }
    d.messages.emplace_back(message, message + length);
    wake();
    return static_cast<int>(length);
}

void DCHsender::forget(int fd) {
    vorpane::ScopedLock g(_lock);
    _tcp.erase(fd);
    if (_flowWaiter) {
        _progress.broadcast();
    }
}

DCHsender::Room DCHsender::waitForRoom(int fd, size_t bound, double stallSeconds) {
    vorpane::ScopedLock g(_lock);
    auto waitingFor = [&]() VA_REQUIRES(_lock) -> Outgoing* {
        auto found = _tcp.find(fd);
        return found == _tcp.end() || found->second.cut ? nullptr : &found->second;
    };
    auto found = _tcp.find(fd);
    if (found == _tcp.end()) {
        return Room::kRoom;  // nothing waits for it
    }
    Outgoing* out = waitingFor();
    if (out == nullptr || out->bytes.size() - out->sent <= bound || _flowInterrupted) {
        return out == nullptr ? Room::kGone : Room::kRoom;
    }
    if (out->released) {
        return Room::kRoom;
    }
    _flowWaiter = true;
    Room room = Room::kWaited;
    for (;;) {
        // The stall time runs from the collector's last progress.
        const size_t sentBefore = out->sent;
        const size_t sizeBefore = out->bytes.size();
        _progress.waitUntil(_lock, stallSeconds, [&]() VA_REQUIRES(_lock) {
            Outgoing* now = waitingFor();
            return _flowInterrupted || now == nullptr || now->bytes.size() - now->sent <= bound ||
                   now->sent != sentBefore || now->bytes.size() != sizeBefore;
        });
        out = waitingFor();
        if (_flowInterrupted || out == nullptr || out->bytes.size() - out->sent <= bound) {
            room = out == nullptr ? Room::kGone : Room::kWaited;
            break;
        }
        if (out->sent == sentBefore && out->bytes.size() == sizeBefore) {
            out->released = true;
            room = Room::kStalled;
            break;
        }
    }
    _flowWaiter = false;
    return room;
}

void DCHsender::interruptWaits() {
    vorpane::ScopedLock g(_lock);
    _flowInterrupted = true;
    _progress.broadcast();
}

size_t DCHsender::waiting(int fd) {
    vorpane::ScopedLock g(_lock);
    auto found = _tcp.find(fd);
    return found == _tcp.end() ? 0 : found->second.bytes.size() - found->second.sent;
}

int DCHsender::cutCount() {
    vorpane::ScopedLock g(_lock);
    return _cuts;
}

int DCHsender::tornCount() {
    vorpane::ScopedLock g(_lock);
    return _torn;
}

void DCHsender::cut(int fd, Outgoing& out, const char* why, bool peerGone) {
    VA_ERROR("Error: connection %d is closed: %s (%d bytes wait to be sent).\n", fd, why,
             static_cast<int>(out.bytes.size() - out.sent));
    out.cut = true;
    ++_cuts;
    if (_flowWaiter) {
        _progress.broadcast();
    }
    advance(out);
    if (!peerGone && !out.ends.empty() && out.sent > out.frontStart) {
        // The socket holds the beginning of a message: its rest goes first, nothing after it.
        out.bytes.resize(out.ends.front());
        out.ends.resize(1);
        out.finishing = true;
        out.stallSince = vorpane::clock::now();
        VA_STATE("Connection %d ends after the %d bytes left of the message it is receiving.\n", fd,
                 static_cast<int>(out.bytes.size() - out.sent));
        return;
    }
    shutDown(fd, out);
}

void DCHsender::shutDown(int fd, Outgoing& out) {
    if (_flowWaiter) {
        _progress.broadcast();
    }
    if (out.finishing && out.sent < out.bytes.size()) {
        VA_ERROR("Error: connection %d is closed inside a message: it took nothing of the last %d bytes for the send "
                 "time-out.\n",
                 fd, static_cast<int>(out.bytes.size() - out.sent));
        ++_torn;
    }
    // Shut down, not closed: the server loop sees the connection end and queues its disconnect;
    // the descriptor is closed once that is handled.
    if (shutdown(fd, SHUT_RDWR) != 0 && errno != ENOTCONN) {
        VA_DETAIL("shutdown of connection %d failed. errno=%d\n", fd, errno);
    }
    out.finishing = false;
    std::vector<char>().swap(out.bytes);
    out.sent = 0;
    out.ends.clear();
    out.frontStart = 0;
}

bool DCHsender::drain(int fd, Outgoing& out) {
    while (out.sent < out.bytes.size()) {
        const ssize_t n =
            ::send(fd, out.bytes.data() + out.sent, out.bytes.size() - out.sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            out.sent += static_cast<size_t>(n);
            out.stallSince = vorpane::clock::now();
            out.released = false;
            if (_flowWaiter) {
                _progress.broadcast();
            }
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            advance(out);
            return true;
        }
        if (out.cut) {
            shutDown(fd, out);  // cut already, and now gone
        } else {
            cut(fd, out, "the peer is gone", true);
        }
        return false;
    }
    if (out.finishing) {
        shutDown(fd, out);  // the message the socket was taking at the cut is whole
        return false;
    }
    out.bytes.clear();
    out.sent = 0;
    out.ends.clear();
    out.frontStart = 0;
    if (out.bytes.capacity() > kKeptCapacity) {
        std::vector<char>().swap(out.bytes);  // a burst's memory goes back
    }
    return true;
}

void DCHsender::sendDue(Datagrams& d, double now) {
    while (!d.messages.empty() && now >= d.nextAt) {
        const std::vector<char>& m = d.messages.front();
        const size_t chunk = std::min(kDatagram, m.size() - d.sent);
        const ssize_t n = ::sendto(_udpSocket, m.data() + d.sent, chunk, MSG_NOSIGNAL,
                                   reinterpret_cast<const sockaddr*>(&d.address), sizeof d.address);
        if (n < 0) {
            VA_ERROR("Error: [@%p] SENDTO - Sent %d bytes out of %d: errno=%d: _sockUDP=%d\n", static_cast<void*>(this),
                     static_cast<int>(d.sent), static_cast<int>(m.size()), errno, _udpSocket);
            d.messages.pop_front();
            d.sent = 0;
            continue;
        }
        d.sent += chunk;
        if (d.sent < m.size()) {
            d.nextAt = now + kDatagramPause;  // the reader takes this one before the next comes
            return;
        }
        d.messages.pop_front();
        d.sent = 0;
    }
}

void DCHsender::run() {
    std::vector<pollfd> set;
    for (;;) {
        double nextAt = kNever;
        set.clear();
        set.push_back(pollfd{_wakeFd, POLLIN, 0});
        {
            vorpane::ScopedLock g(_lock);
            if (_stopping) {
                return;
            }
            const double now = vorpane::clock::now();
            for (auto& [fd, out] : _tcp) {
                if ((out.cut && !out.finishing) || out.sent == out.bytes.size()) {
                    continue;
                }
                if (now - out.stallSince >= _sendTimeout) {
                    if (out.finishing) {
                        shutDown(fd, out);
                        continue;
                    }
                    cut(fd, out, "it took nothing for the send time-out");
                    if (!out.finishing) {
                        continue;
                    }
                }
                set.push_back(pollfd{fd, POLLOUT, 0});
                nextAt = std::min(nextAt, out.stallSince + _sendTimeout);
            }
            for (auto it = _udp.begin(); it != _udp.end();) {
                sendDue(it->second, now);
                if (it->second.messages.empty()) {
                    it = _udp.erase(it);
                } else {
                    nextAt = std::min(nextAt, it->second.nextAt);
                    ++it;
                }
            }
        }
        const int rc = poll(set.data(), static_cast<nfds_t>(set.size()), pollMillis(nextAt));
        if (rc < 0 && errno != EINTR) {
            VA_ERROR("Error: the hub's writer poll failed. errno=%d\n", errno);
        }
        if (set[0].revents != 0) {
            uint64_t count = 0;
            if (read(_wakeFd, &count, sizeof count) < 0 && errno != EAGAIN) {
                VA_ERROR("Error: the hub's writer wake-up could not be read. errno=%d\n", errno);
            }
        }
        if (rc <= 0) {
            continue;
        }
        vorpane::ScopedLock g(_lock);
        for (size_t i = 1; i < set.size(); ++i) {
            if (set[i].revents == 0) {
                continue;
            }
            auto found = _tcp.find(set[i].fd);
            if (found != _tcp.end() && (!found->second.cut || found->second.finishing)) {
                drain(set[i].fd, found->second);
            }
        }
    }
}
