// HubConnection: the one implementation of the client's framing. Each receive takes what the socket
// holds into the connection's buffer, and messages are cut from it by their 4-byte lengths; bytes of
// the next message stay in the buffer for the next read. A length the hub could not mean (below 4,
// above DCH_MAX_MESSAGE) ends the connection instead of being trusted, and the buffer grows only as
// bytes arrive. Every wait is a poll whose time-out comes from the clock switch.
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>

#include "interfaces/dch_client.h"
#include "interfaces/trace.h"

namespace vorpane {

namespace {

// Received messages waiting for their taker. Action requests pile up only while nobody calls
// nextAction; past this many the oldest is dropped rather than letting a flood exhaust memory.
constexpr size_t kMaxQueued = 1024;
// One read takes at most this much, so that a lying length costs memory only as bytes arrive.
constexpr size_t kReadChunk = 64 * 1024;
// Room offered to one receive when the message in progress needs less: replies and data messages are
// small, and a collector that fell behind takes many of them at once.
constexpr size_t kReadRoom = 16 * 1024;
// A status 7 answer means the hub got the request incomplete; it is sent again this many times.
constexpr int kMaxResends = 2;

}  // namespace

// A point in clock time (the test switch shortens it); forever for a negative wait.
struct HubConnection::Deadline {
    explicit Deadline(double seconds) : forever(seconds < 0), at(forever ? 0 : clock::now() + seconds) {}

    bool passed() const { return !forever && clock::now() >= at; }
    double left() const { return forever ? -1 : std::max(0.0, at - clock::now()); }
    // Milliseconds of real time for poll, rounded up so that a poll that returns 0 means the
    // deadline has passed.
    int pollMillis() const {
        if (forever) {
            return -1;
        }
        double l = at - clock::now();
        if (l <= 0) {
            return 0;
        }
        auto real =
            std::chrono::duration_cast<std::chrono::milliseconds>(CondVar::realDuration(l)).count() + 1;
        return real > INT_MAX ? INT_MAX : static_cast<int>(real);
    }

    bool forever;
    double at;
};

bool HubMessage::isActionRequest() const {
    dch::FieldReader reader = fields();
    dch::FieldReader::Field first = reader.next();
    int16_t code = 0;
    return first.type == DCH_requestType && first.int16(&code) && code == DCH_dp_actionRequest;
}

bool HubMessage::isStatus(int32_t* status) const {
    dch::FieldReader reader = fields();
    dch::FieldReader::Field first = reader.next();
    return first.type == DCH_status && first.int32(status);
}

HubConnection::HubConnection() {
    ScopedLock g(_stateLock);
    _failure = DCH_CLIENT_IO;  // not connected yet: every operation fails until connect() succeeds
}

HubConnection::~HubConnection() {
    if (_fd >= 0) {
        ::close(_fd);
    }
    if (_cancelFd >= 0) {
        ::close(_cancelFd);
    }
}

int HubConnection::connect(const HubOptions& options) {
    _options = options;
    sockaddr_in address;
    if (!DCH_resolveHubAddress(options, &address)) {
        return DCH_CLIENT_NO_HUB;
    }
    // Close-on-exec: a child started by a provider must not keep the hub connection open after the
    // provider itself has gone.
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        VA_ERROR("Error: socket for the hub connection failed: %s\n", std::strerror(errno));
        return DCH_CLIENT_NO_HUB;
    }
    int err = 0;
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        err = errno;
        if (err == EINPROGRESS) {
            Deadline deadline(options.connectTimeout);
            pollfd p{fd, POLLOUT, 0};
            int rc;
            do {
                rc = ::poll(&p, 1, deadline.pollMillis());
            } while ((rc < 0 && errno == EINTR) || (rc == 0 && !deadline.passed()));
            if (rc == 0) {
                err = ETIMEDOUT;
            } else if (rc < 0) {
                err = errno;
            } else {
                socklen_t len = sizeof err;
                if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) {
                    err = errno;
                }
            }
        }
    }
    if (err != 0) {
        VA_ERROR("Error: cannot connect to the hub at %s:%d: %s\n", options.address.c_str(), options.port,
                 std::strerror(err));
        ::close(fd);
        return DCH_CLIENT_NO_HUB;
    }
    int one = 1;
    // Requests and replies are small and strictly alternate; Nagle would only add latency.
    if (::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one) != 0) {
        VA_DETAIL("TCP_NODELAY refused: %s\n", std::strerror(errno));
    }
    int cancelFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (cancelFd < 0) {
        VA_ERROR("Error: eventfd for the hub connection failed: %s\n", std::strerror(errno));
        ::close(fd);
        return DCH_CLIENT_NO_HUB;
    }
    _fd = fd;
    _cancelFd = cancelFd;
    {
        ScopedLock g(_stateLock);
        _failure = 0;
    }
    VA_DETAIL("Connected to the hub at %s:%d on socket %d\n", options.address.c_str(), options.port, fd);
    return DCH_CLIENT_OK;
}

bool HubConnection::failed() const {
    ScopedLock g(_stateLock);
    return _failure != 0;
}

void HubConnection::fail(int code) {
    {
        ScopedLock g(_stateLock);
        if (_failure == 0) {
            _failure = code;
        }
        _stateChanged.broadcast();
    }
    // Shut down, not close: other threads may still be polling this descriptor, and shutdown wakes
    // them while the hub sees the disconnect. The destructor closes it.
    if (_fd >= 0) {
        ::shutdown(_fd, SHUT_RDWR);
    }
}

void HubConnection::close() {
    fail(DCH_CLIENT_IO);
}

void HubConnection::cancel() {
    {
        ScopedLock g(_stateLock);
        _cancelled = true;
        _stateChanged.broadcast();
    }
    if (_cancelFd >= 0) {
        uint64_t one = 1;
        if (::write(_cancelFd, &one, sizeof one) < 0) {
            // The counter is already non-zero: the reader is woken anyway.
        }
    }
}

int HubConnection::waitWritable(const Deadline& deadline) const {
    for (;;) {
        pollfd p{_fd, POLLOUT, 0};
        int rc = ::poll(&p, 1, deadline.pollMillis());
        if (rc > 0) {
            return DCH_CLIENT_OK;
        }
        if (rc < 0 && errno != EINTR) {
            return DCH_CLIENT_IO;
        }
        if (rc == 0 && deadline.passed()) {
            return DCH_CLIENT_TIMEOUT;
        }
    }
}

int HubConnection::sendLocked(const dch::MessageBuilder& request) {
    return sendBytesLocked(request.data(), request.size());
}

int HubConnection::sendBytesLocked(const char* bytes, size_t length) {
    if (failed()) {
        return DCH_CLIENT_IO;
    }
    Deadline deadline(_options.sendTimeout);
    const char* p = bytes;
    size_t left = length;
    while (left > 0) {
        ssize_t n = ::send(_fd, p, left, MSG_NOSIGNAL);
        if (n > 0) {
            p += n;
            left -= static_cast<size_t>(n);
            continue;
        }
        int rc = DCH_CLIENT_IO;
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            rc = waitWritable(deadline);
            if (rc == DCH_CLIENT_OK) {
                continue;
            }
        }
        VA_ERROR("Error: sending %zu bytes to the hub failed after %zu: %s\n", length, length - left,
                 rc == DCH_CLIENT_TIMEOUT ? "time-out" : std::strerror(errno));
        fail(rc);
        return rc;
    }
    return DCH_CLIENT_OK;
}

int HubConnection::send(const dch::MessageBuilder& request) {
    ScopedLock g(_requestLock);
    return sendLocked(request);
}

int HubConnection::readMessage(const Deadline& deadline, bool watchCancel, HubMessage* message) {
    for (;;) {
        const size_t have = _receivedEnd - _receivedStart;
        size_t want = DCH_FRAME_HEADER;
        if (have >= DCH_FRAME_HEADER) {
            const char* front = _received.data() + _receivedStart;
            uint32_t total = dch::totalLength(front);
            if (total < DCH_FRAME_HEADER || total > DCH_MAX_MESSAGE) {
                VA_ERROR("Error: the hub sent a message length of %u bytes; closing the connection\n", total);
                return DCH_CLIENT_PROTOCOL;
            }
            if (have >= total) {
                message->bytes.assign(front, front + total);
                _receivedStart += total;
                if (_receivedStart == _receivedEnd) {
                    _receivedStart = _receivedEnd = 0;
                    if (_received.size() > kReadChunk) {
                        std::vector<char>().swap(_received);  // one huge reply does not pin its memory
                    }
                }
                return DCH_CLIENT_OK;
            }
            want = std::min<size_t>(total - have, kReadChunk);
        }
        want = std::max(want, kReadRoom);
        if (_received.size() - _receivedEnd < want) {
            if (_receivedStart > 0) {
                std::memmove(_received.data(), _received.data() + _receivedStart, have);
                _receivedStart = 0;
                _receivedEnd = have;
            }
            if (_received.size() < have + want) {
                _received.resize(have + want);
            }
        }
        pollfd fds[2] = {{_fd, POLLIN, 0}, {_cancelFd, POLLIN, 0}};
        int rc = ::poll(fds, watchCancel ? 2 : 1, deadline.pollMillis());
        if (rc < 0) {
            if (errno == EINTR) {
                continue;
            }
            VA_ERROR("Error: poll on the hub connection failed: %s\n", std::strerror(errno));
            return DCH_CLIENT_IO;
        }
        if (rc == 0) {
            if (deadline.passed()) {
                return DCH_CLIENT_TIMEOUT;
            }
            continue;
        }
        if (watchCancel && (fds[1].revents & POLLIN) != 0) {
            return DCH_CLIENT_CANCELLED;
        }
        if ((fds[0].revents & POLLNVAL) != 0) {
            return DCH_CLIENT_IO;
        }
        ssize_t n = ::recv(_fd, _received.data() + _receivedEnd, _received.size() - _receivedEnd, 0);
        if (n > 0) {
            _receivedEnd += static_cast<size_t>(n);
        } else if (n == 0) {
            if (failed()) {
                return DCH_CLIENT_IO;  // shut down on this side (close() or an earlier failure)
            }
            VA_ERROR("Error: the hub closed the connection%s\n", have > 0 ? " in the middle of a message" : "");
            return DCH_CLIENT_IO;
        } else if (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) {
            VA_ERROR("Error: receiving from the hub failed: %s\n", std::strerror(errno));
            return DCH_CLIENT_IO;
        }
    }
}

bool HubConnection::takeQueued(Expect expect, HubMessage* message) {
    for (auto it = _inbox.begin(); it != _inbox.end(); ++it) {
        bool match = expect == Expect::any || (expect == Expect::action) == it->isActionRequest();
        if (match) {
            *message = std::move(*it);
            _inbox.erase(it);
            return true;
        }
    }
    return false;
}

HubConnection::ReplyWaiting::ReplyWaiting(HubConnection& connection, bool waiting) : c(connection), on(waiting) {
    if (on) {
        ScopedLock g(c._stateLock);
        ++c._replyWaiters;
    }
}

HubConnection::ReplyWaiting::~ReplyWaiting() {
    if (on) {
        ScopedLock g(c._stateLock);
        if (--c._replyWaiters == 0) {
            c._stateChanged.broadcast();  // a waiter for actions may read again
        }
    }
}

int HubConnection::receiveUntil(Expect expect, HubMessage* message, const Deadline& deadline) {
    // Replies are never cancelled: a request in progress must read its answer or fail the connection.
    const bool cancellable = expect != Expect::reply;
    ReplyWaiting replyWaiting(*this, !cancellable);
    for (;;) {
        {
            ScopedLock g(_stateLock);
            for (;;) {
                if (cancellable && _cancelled) {
                    return DCH_CLIENT_CANCELLED;
                }
                if (takeQueued(expect, message)) {
                    return DCH_CLIENT_OK;
                }
                if (_failure != 0) {
                    return DCH_CLIENT_IO;
                }
                if (!_reading && (!cancellable || _replyWaiters == 0)) {
                    _reading = true;
                    break;
                }
                // Another thread reads the socket and will hand over what it gets (or, for a waiter
                // of actions, a reply waiter is about to).
                if (deadline.passed()) {
                    return DCH_CLIENT_TIMEOUT;
                }
                _stateChanged.waitFor(_stateLock, deadline.left());
            }
        }
        HubMessage received;
        int rc = readMessage(deadline, cancellable, &received);
        // A reply that the reply waiter read itself concerns no one else: the one request in progress
        // is its own, and a waiter for actions does not read while it waits. Waking the others for
        // each answer of a batch would cost a futile wake-up per row.
        const bool onlyMine = !cancellable && rc == DCH_CLIENT_OK && !received.isActionRequest();
        {
            ScopedLock g(_stateLock);
            _reading = false;
            if (rc == DCH_CLIENT_OK) {
                if (_inbox.size() >= kMaxQueued) {
                    VA_ERROR("Error: %zu unclaimed messages from the hub; dropping the oldest\n",
                             _inbox.size());
                    _inbox.pop_front();
                }
                _inbox.push_back(std::move(received));
            } else if (rc == DCH_CLIENT_CANCELLED) {
                _cancelled = true;
            }
            if (!onlyMine) {
                _stateChanged.broadcast();
            }
        }
        if (rc == DCH_CLIENT_IO || rc == DCH_CLIENT_PROTOCOL) {
            fail(rc);
            return rc;
        }
        if (rc == DCH_CLIENT_TIMEOUT) {
            return rc;
        }
    }
}

int HubConnection::receive(Expect expect, HubMessage* message, double timeout) {
    return receiveUntil(expect, message, Deadline(timeout));
}

void HubConnection::dropStaleReplies() {
    // Nothing may answer a request that has not been sent; whatever waits is stale.
    ScopedLock s(_stateLock);
    for (auto it = _inbox.begin(); it != _inbox.end();) {
        if (it->isActionRequest()) {
            ++it;
        } else {
            VA_ERROR("Warning: dropping an unexpected message of %zu bytes from the hub\n", it->bytes.size());
            it = _inbox.erase(it);
        }
    }
}

int HubConnection::request(const dch::MessageBuilder& request, std::vector<HubMessage>* replies,
                           bool (*isFinal)(const HubMessage&), double timeout) {
    replies->clear();
    ScopedLock g(_requestLock);
    dropStaleReplies();
    const Deadline deadline(timeout < -1.5 ? _options.replyTimeout : timeout);
    for (int attempt = 0;; ++attempt) {
        int rc = sendLocked(request);
        if (rc != DCH_CLIENT_OK) {
            return rc;
        }
        replies->clear();
        for (;;) {
            HubMessage reply;
            rc = receiveUntil(Expect::reply, &reply, deadline);
            if (rc == DCH_CLIENT_TIMEOUT) {
                // The answer may still come and would be taken for the next request's.
                VA_ERROR("Error: no answer from the hub in time; closing the connection\n");
                fail(rc);
            }
            if (rc != DCH_CLIENT_OK) {
                return rc;
            }
            int32_t status = 0;
            if (replies->empty() && attempt < kMaxResends && reply.isStatus(&status) &&
                status == DCH_STATUS_RESEND) {
                VA_ERROR("Warning: the hub received the request incomplete; sending it again\n");
                break;
            }
            replies->push_back(std::move(reply));
            if (isFinal == nullptr || isFinal(replies->back())) {
                return DCH_CLIENT_OK;
            }
        }
    }
}

int HubConnection::requestBatch(std::string_view requests, size_t count, std::vector<HubMessage>* replies,
                                double timeout) {
    replies->clear();
    if (count == 0) {
        return DCH_CLIENT_OK;
    }
    ScopedLock g(_requestLock);
    dropStaleReplies();
    const Deadline deadline(timeout < -1.5 ? _options.replyTimeout : timeout);
    auto receiveReply = [&](HubMessage* reply) {
        int rc = receiveUntil(Expect::reply, reply, deadline);
        if (rc == DCH_CLIENT_TIMEOUT) {
            VA_ERROR("Error: no answer from the hub in time; closing the connection\n");
            fail(rc);
        }
        return rc;
    };
    // Replies are awaited from before the first byte leaves: the hub answers while the rest is still
    // being written, and those answers are this thread's to read. A thread waiting for actions that
    // read them would queue them one by one for this one to take.
    ReplyWaiting replyWaiting(*this, true);
    int rc = sendBytesLocked(requests.data(), requests.size());
    if (rc != DCH_CLIENT_OK) {
        return rc;
    }
    // Requests the hub received incomplete, by their index: sent again once the others are answered.
    std::vector<size_t> resend;
    for (size_t i = 0; i < count; ++i) {
        HubMessage reply;
        rc = receiveReply(&reply);
        if (rc != DCH_CLIENT_OK) {
            return rc;
        }
        int32_t status = 0;
        if (reply.isStatus(&status) && status == DCH_STATUS_RESEND) {
            resend.push_back(i);
        }
        replies->push_back(std::move(reply));
    }
    if (resend.empty()) {
        return DCH_CLIENT_OK;
    }
    // Where each request starts: walked by the length prefixes only for this rare case.
    std::vector<std::string_view> each;
    for (size_t at = 0; at + DCH_FRAME_HEADER <= requests.size() && each.size() < count;) {
        const uint32_t total = dch::totalLength(requests.data() + at);
        if (total < DCH_FRAME_HEADER || at + total > requests.size()) {
            break;
        }
        each.push_back(requests.substr(at, total));
        at += total;
    }
    for (size_t i : resend) {
        if (i >= each.size()) {
            break;  // the batch's own bytes do not hold it: keep the hub's answer
        }
        for (int attempt = 0; attempt < kMaxResends; ++attempt) {
            VA_ERROR("Warning: the hub received request %zu of a batch incomplete; sending it again\n", i);
            rc = sendBytesLocked(each[i].data(), each[i].size());
            HubMessage reply;
            if (rc == DCH_CLIENT_OK) {
                rc = receiveReply(&reply);
            }
            if (rc != DCH_CLIENT_OK) {
                return rc;
            }
            int32_t status = 0;
            const bool again = reply.isStatus(&status) && status == DCH_STATUS_RESEND;
            (*replies)[i] = std::move(reply);
            if (!again) {
                break;
            }
        }
    }
    return DCH_CLIENT_OK;
}

}  // namespace vorpane
