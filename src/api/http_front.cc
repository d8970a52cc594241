#include "api/http_front.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <map>
#include <utility>

#include <httplib.h>
#include <openssl/ssl.h>

#include "api/api_http.h"
#include "api/api_routes.h"
#include "api/tls.h"
#include "interfaces/support.h"

namespace vorpane::api {

namespace {

constexpr size_t kReadPiece = 64 * 1024;
// A fast sender gives way to the other connections after this many pieces in one turn.
constexpr int kPiecesPerTurn = 4;
// After a refusal the rest of the request is read and dropped for a while, so that a client that is
// still sending sees the answer instead of a reset (closing a socket with unread bytes resets it):
// no more than this many bytes, and the connection stays open no longer than this.
constexpr size_t kDrainBytes = 2 * 1024 * 1024;
constexpr double kDrainSeconds = 2;
// An answer may take this long in all, however steadily its client reads.
constexpr double kLongestAnswerSeconds = 60;
// Buffers larger than this are given back once a request or answer is done with them.
constexpr size_t kKeptBufferBytes = 2 * kReadPiece;
// One trace line per kind of refusal in this time.
constexpr double kTraceIntervalSeconds = 60;
// The reader looks at its deadlines at least this often, whatever the clock does.
constexpr double kLongestPollSeconds = 1;
constexpr std::string_view kContinue = "HTTP/1.1 100 Continue\r\n\r\n";

void addressOf(int fd, bool peer, std::string* ip, int* port) {
    sockaddr_storage a{};
    socklen_t length = sizeof a;
    int rc = peer ? getpeername(fd, reinterpret_cast<sockaddr*>(&a), &length)
                  : getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length);
    char text[INET6_ADDRSTRLEN] = "?";
    *port = 0;
    if (rc == 0 && a.ss_family == AF_INET) {
        const auto* in = reinterpret_cast<const sockaddr_in*>(&a);
        inet_ntop(AF_INET, &in->sin_addr, text, sizeof text);
        *port = ntohs(in->sin_port);
    } else if (rc == 0 && a.ss_family == AF_INET6) {
        const auto* in6 = reinterpret_cast<const sockaddr_in6*>(&a);
        inet_ntop(AF_INET6, &in6->sin6_addr, text, sizeof text);
        *port = ntohs(in6->sin6_port);
    }
    *ip = text;
}

std::string seconds(double s) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", s);
    return text;
}

}  // namespace

// One client connection: its socket, what it sent that was not served yet and the answer not yet
// written. Owned by one thread at a time (the reader, or the worker serving its request).
struct HttpFront::Connection {
    enum class Phase { Reading, Serving, Answering, Draining };
    // What follows a written answer.
    enum class Then { KeepAlive, Close, Drain };
    enum class Flush { Done, Pending, Failed };

    Connection(int socket, const RequestFramer::Limits& limits, std::atomic<int>& openCount, SslPtr session)
        : fd(socket), ssl(std::move(session)), framer(limits), open(openCount) {
        open.fetch_add(1);
        addressOf(fd, true, &remoteIp, &remotePort);
        addressOf(fd, false, &localIp, &localPort);
    }
    ~Connection() {
        if (ssl && SSL_is_init_finished(ssl.get()) == 1) {
            SSL_shutdown(ssl.get());  // one try at a close_notify; nobody waits for the client's
        }
        ssl.reset();
        ::close(fd);
        open.fetch_sub(1);
    }

    enum class Read { Got, Again, End, Failed };
    // Reads what is there without waiting: Got with *n bytes, Again when nothing is there yet, End
    // when the client closed, Failed when the connection broke (or, with TLS, its handshake or a
    // record failed).
    Read receive(char* buffer, size_t size, size_t* n) {
        if (!ssl) {
            for (;;) {
                ssize_t got = recv(fd, buffer, size, MSG_DONTWAIT);
                if (got > 0) {
                    *n = static_cast<size_t>(got);
                    return Read::Got;
                }
                if (got < 0 && errno == EINTR) {
                    continue;
                }
                if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                    return Read::Again;
                }
                return got == 0 ? Read::End : Read::Failed;
            }
        }
        readWantsWrite = false;
        switch (tlsRead(ssl.get(), buffer, size, n)) {
            case TlsIo::Done:
                return Read::Got;
            case TlsIo::WantWrite:
                readWantsWrite = true;
                return Read::Again;
            case TlsIo::WantRead:
                return Read::Again;
            case TlsIo::Closed:
                return Read::End;
            case TlsIo::Failed:
                break;
        }
        return Read::Failed;
    }

    // Bytes of the client's TLS records that were read from the socket and not yet taken: poll
    // does not see them.
    bool buffered() const { return ssl && SSL_pending(ssl.get()) > 0; }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // Writes what it can of the answer without waiting.
    Flush flush() {
        while (outSent < out.size()) {
            if (ssl) {
                size_t written = 0;
                writeWantsRead = false;
                switch (tlsWrite(ssl.get(), out.data() + outSent, out.size() - outSent, &written)) {
                    case TlsIo::Done:
                        outSent += written;
                        continue;
                    case TlsIo::WantRead:
                        writeWantsRead = true;
                        return Flush::Pending;
                    case TlsIo::WantWrite:
                        return Flush::Pending;
                    case TlsIo::Closed:
                    case TlsIo::Failed:
                        return Flush::Failed;
                }
            }
            ssize_t n = ::send(fd, out.data() + outSent, out.size() - outSent, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n > 0) {
                outSent += static_cast<size_t>(n);
            } else if (n < 0 && errno == EINTR) {
                continue;
            } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                return Flush::Pending;
            } else {
                return Flush::Failed;
            }
        }
        out.clear();
        outSent = 0;
        if (out.capacity() > kKeptBufferBytes) {
            std::string().swap(out);
        }
        return Flush::Done;
    }

    // Writes the answer, waiting for the client at most `wait` seconds in all.
    void flushWithin(double wait) {
        const double end = clock::now() + wait;
        while (flush() == Flush::Pending) {
            double left = end - clock::now();
            if (left <= 0) {
                return;
            }
            pollfd p{fd, static_cast<short>(writeWantsRead ? POLLIN : POLLOUT), 0};
            auto real = std::chrono::duration_cast<std::chrono::milliseconds>(CondVar::realDuration(left));
            poll(&p, 1, static_cast<int>(std::clamp<long long>(real.count(), 1, 1000)));
        }
    }

    bool answerPending() const { return outSent < out.size(); }

    const int fd;
    SslPtr ssl;  // the TLS session, when the API serves HTTPS
    bool readWantsWrite = false;  // the last TLS read waits for the socket to take bytes
    bool writeWantsRead = false;  // the last TLS write waits for bytes from the client
    std::string remoteIp, localIp;
    int remotePort = 0, localPort = 0;
    std::string in;  // received and not yet served
    std::string out;  // answer bytes, the first outSent of them written
    size_t outSent = 0;
    RequestFramer framer;
    Phase phase = Phase::Reading;
    Then then = Then::Close;
    bool requestStarted = true;  // waiting for a request's bytes (false: an idle kept-alive connection)
    bool continued = false;  // "100 Continue" was sent for the current request
    double since = 0;  // clock seconds when the current wait began
    double deadline = 0;
    double answerStart = 0;
    size_t requestLength = 0;  // while serving: the request's bytes at the start of `in`
    size_t drained = 0;
    int served = 0;
    std::atomic<int>& open;
};

namespace {

// The socket of the request this thread serves, for servedClientGone().
thread_local int tServedFd = -1;

// The request as httplib reads it: the connection's buffered bytes. Its answer goes into the
// connection, for the reader to write.
class RequestStream final : public httplib::Stream {
public:
    explicit RequestStream(HttpFront::Connection& c) : _c(c) {}

    bool is_readable() const override { return _read < _c.requestLength; }
    bool is_writable() const override { return true; }
    ssize_t read(char* ptr, size_t size) override {
        size_t n = std::min(size, _c.requestLength - _read);
        std::memcpy(ptr, _c.in.data() + _read, n);
        _read += n;
        return static_cast<ssize_t>(n);
    }
    ssize_t write(const char* ptr, size_t size) override {
        _c.out.append(ptr, size);
        return static_cast<ssize_t>(size);
    }
    void get_remote_ip_and_port(std::string& ip, int& port) const override {
        ip = _c.remoteIp;
        port = _c.remotePort;
    }
    void get_local_ip_and_port(std::string& ip, int& port) const override {
        ip = _c.localIp;
        port = _c.localPort;
    }
    // No socket for httplib to wait on: every byte of the request is here already.
    socket_t socket() const override { return INVALID_SOCKET; }

private:
    HttpFront::Connection& _c;
    size_t _read = 0;
};

}  // namespace

// The reader thread's state and work: the connections between their requests.
class HttpFront::Reader {
public:
    explicit Reader(HttpFront& front) : _f(front), _piece(kReadPiece) {}
    void run();

private:
    using Then = Connection::Then;
    using Flush = Connection::Flush;

    void admit(int fd);
    void takeBack(ConnectionPtr c);
    void onEvents(ConnectionPtr& slot, short revents);
    void readSome(ConnectionPtr& slot);
    void drain(ConnectionPtr& slot);
    void advance(ConnectionPtr& slot);
    void dispatch(ConnectionPtr& slot);
    void expire(ConnectionPtr& slot);
    // Writes what it can now; what follows once the answer is out.
    void send(ConnectionPtr& slot);
    void answered(ConnectionPtr& slot);
    void answer(ConnectionPtr& slot, int status, const std::string& detail, Then then,
                std::string_view extraHeaders = {});
    // Counts and traces a refusal or cut of kind `reason`.
    void note(const char* reason, const Connection& c, const std::string& what) {
        note(reason, c.remoteIp, c.remotePort, what);
    }
    void note(const char* reason, const std::string& ip, int port, const std::string& what);
    void logRequest(const Connection& c, int status);

    HttpFront& _f;
    std::vector<ConnectionPtr> _conns;  // null once handed to a worker or closed; compacted every turn
    std::vector<char> _piece;
    double _now = 0;
    struct Traced {
        double last = -1e300;
        long long left = 0;  // lines left out since the last one
    };
    std::map<std::string, Traced> _traced;
};

void HttpFront::Reader::run() {
    std::vector<pollfd> fds;
    std::vector<size_t> polled;  // index into _conns of fds[i + 1]
    for (;;) {
        std::vector<int> adopted;
        std::vector<ConnectionPtr> returned;
        bool stopping = false;
        {
            ScopedLock guard(_f._lock);
            adopted.swap(_f._adopted);
            returned.swap(_f._returned);
            stopping = _f._stopping;
            _f._readerGone = stopping;
        }
        if (stopping) {
            for (int fd : adopted) {
                ::close(fd);
            }
            // Answers already made are given one chance to go out; nobody waits for slow clients.
            for (ConnectionPtr& c : returned) {
                c->flush();
            }
            for (ConnectionPtr& c : _conns) {
                if (c && c->answerPending()) {
                    c->flush();
                }
            }
            _conns.clear();
            return;
        }
        _now = clock::now();
        for (int fd : adopted) {
            admit(fd);
        }
        for (ConnectionPtr& c : returned) {
            takeBack(std::move(c));
        }

        fds.clear();
        polled.clear();
        fds.push_back(pollfd{_f._wakeRead, POLLIN, 0});
        double next = _now + kLongestPollSeconds;
        for (size_t i = 0; i < _conns.size(); ++i) {
            Connection* c = _conns[i].get();
            if (c == nullptr) {
                continue;
            }
            short events = 0;
            const bool reading = c->phase == Connection::Phase::Reading ||
                                 (c->phase == Connection::Phase::Draining && c->drained <= kDrainBytes);
            if (reading) {
                events |= c->readWantsWrite ? POLLOUT : POLLIN;
            }
            if (c->answerPending()) {
                events |= c->writeWantsRead ? POLLIN : POLLOUT;
            }
            if (reading && c->buffered()) {
                next = _now;  // read at once what the TLS session holds already
            }
            fds.push_back(pollfd{c->fd, events, 0});
            polled.push_back(i);
            next = std::min(next, c->deadline);
        }
        const double wait = std::max(0.0, next - _now);
        const long long ms = std::chrono::ceil<std::chrono::milliseconds>(CondVar::realDuration(wait)).count();
        const int n = poll(fds.data(), fds.size(), static_cast<int>(std::clamp<long long>(ms, 0, 1000)));
        if (n < 0 && errno != EINTR) {
            VA_ERROR("Error: the management API's poll failed: %s\n", std::strerror(errno));
        }
        _now = clock::now();
        if (n > 0 && fds[0].revents != 0) {
            char drop[256];
            while (::read(_f._wakeRead, drop, sizeof drop) > 0) {
            }
        }
        for (size_t k = 0; k < polled.size(); ++k) {
            ConnectionPtr& slot = _conns[polled[k]];
            if (slot && fds[k + 1].revents == 0 && slot->buffered()) {
                fds[k + 1].revents = POLLIN;
            }
            if (fds[k + 1].revents != 0 && slot) {
                onEvents(slot, fds[k + 1].revents);
            }
        }
        for (ConnectionPtr& slot : _conns) {
            if (slot && slot->phase != Connection::Phase::Serving && _now >= slot->deadline) {
                expire(slot);
            }
        }
        _conns.erase(std::remove(_conns.begin(), _conns.end(), nullptr), _conns.end());
    }
}

void HttpFront::Reader::admit(int fd) {
    const FrontSettings& s = _f._settings;
    if (_f._context.connections.load() >= s.maxConnections) {
        // Room is made by the connection that has waited longest without a request in progress.
        ConnectionPtr* victim = nullptr;
        for (ConnectionPtr& c : _conns) {
            if (!c || (c->phase != Connection::Phase::Reading && c->phase != Connection::Phase::Draining)) {
                continue;
            }
            auto rank = [](const Connection& x) {
                return x.phase == Connection::Phase::Draining ? -1e300 : x.since;
            };
            if (victim == nullptr || rank(*c) < rank(**victim)) {
                victim = &c;
            }
        }
        if (victim != nullptr) {
            note("evicted", **victim,
                 "cut to make room: " + std::to_string(s.maxConnections) + " connections are open");
            victim->reset();
        } else {
            std::string ip;
            int port = 0;
            addressOf(fd, true, &ip, &port);
            const std::string what =
                std::to_string(s.maxConnections) + " connections are open and each has a request in progress";
            if (s.tls == nullptr) {
                // Over TLS there is no session to say it in yet: the connection is just closed.
                std::string a = errorAnswer(503, what, true, "Retry-After: 1\r\n");
                [[maybe_unused]] ssize_t sent = ::send(fd, a.data(), a.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
            }
            ::close(fd);
            note("connections", ip, port, "refused with 503: " + what);
            _f._context.counters.response(503);
            return;
        }
    }
    int flags = fcntl(fd, F_GETFL);
    fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    SslPtr ssl;
    if (s.tls != nullptr) {
        ssl.reset(s.tls->accept(fd));
        if (!ssl) {
            VA_ERROR("Error: the management API cannot make a TLS session: %s\n", tlsError().c_str());
            ::close(fd);
            return;
        }
    }
    auto c = std::make_unique<Connection>(fd, s.limits, _f._context.connections, std::move(ssl));
    c->since = _now;
    c->deadline = _now + s.requestSeconds;
    _conns.push_back(std::move(c));
}

void HttpFront::Reader::takeBack(ConnectionPtr c) {
    c->since = c->answerStart = _now;
    c->deadline = _now + _f._settings.writeSeconds;
    _conns.push_back(std::move(c));
    send(_conns.back());
}

void HttpFront::Reader::onEvents(ConnectionPtr& slot, short revents) {
    if ((revents & (POLLERR | POLLNVAL)) != 0) {
        slot.reset();
        return;
    }
    if (slot->answerPending() && (revents & (slot->writeWantsRead ? POLLIN | POLLHUP : POLLOUT | POLLHUP)) != 0) {
        send(slot);
        if (!slot) {
            return;
        }
    }
    if ((revents & (slot->readWantsWrite ? POLLOUT | POLLHUP : POLLIN | POLLHUP)) != 0) {
        if (slot->phase == Connection::Phase::Reading) {
            readSome(slot);
        } else if (slot->phase == Connection::Phase::Draining) {
            drain(slot);
        }
    }
}

void HttpFront::Reader::readSome(ConnectionPtr& slot) {
    for (int k = 0; k < kPiecesPerTurn; ++k) {
        size_t n = 0;
        switch (slot->receive(_piece.data(), _piece.size(), &n)) {
            case Connection::Read::Again:
                return;
            case Connection::Read::Failed:
                if (slot->ssl && SSL_is_init_finished(slot->ssl.get()) != 1) {
                    const std::string why = tlsError();
                    note("tls", *slot, "cut: its TLS handshake failed" + (why.empty() ? "" : ": " + why));
                }
                slot.reset();
                return;
            case Connection::Read::End:
                slot.reset();  // the client ended the connection
                return;
            case Connection::Read::Got:
                break;
        }
        slot->in.append(_piece.data(), n);
        advance(slot);
        // A TLS record is read whole whatever the piece; the session may hold more.
        if (!slot || slot->phase != Connection::Phase::Reading || (n < _piece.size() && !slot->ssl)) {
            return;
        }
    }
}

void HttpFront::Reader::drain(ConnectionPtr& slot) {
    for (int k = 0; k < kPiecesPerTurn; ++k) {
        size_t n = 0;
        const Connection::Read r = slot->receive(_piece.data(), _piece.size(), &n);
        if (r == Connection::Read::Again) {
            return;
        }
        if (r != Connection::Read::Got) {
            slot.reset();  // the client has closed: it read the answer or never will
            return;
        }
        slot->drained += n;
        if (slot->drained > kDrainBytes) {
            return;  // nothing more is read; the client has until the deadline to read its answer
        }
    }
}

void HttpFront::Reader::advance(ConnectionPtr& slot) {
    Connection& c = *slot;
    if (c.in.empty()) {
        return;
    }
    if (!c.requestStarted) {
        c.requestStarted = true;
        c.since = _now;
        c.deadline = _now + _f._settings.requestSeconds;
    }
    switch (c.framer.feed(c.in)) {
        case RequestFramer::Result::NeedMore:
            if (c.framer.expectsContinue() && c.framer.headComplete() && !c.continued) {
                c.continued = true;
                c.out.append(kContinue);
                if (c.flush() == Flush::Failed) {
                    slot.reset();
                }
            }
            return;
        case RequestFramer::Result::Refused: {
            const int status = c.framer.status();
            const bool tooLarge = status == 413 || status == 414 || status == 431;
            note(tooLarge ? "too_large" : "bad_request", c,
                 "refused with " + std::to_string(status) + ": " + c.framer.detail());
            logRequest(c, status);
            answer(slot, status, c.framer.detail(), Then::Drain);
            return;
        }
        case RequestFramer::Result::Complete:
            dispatch(slot);
            return;
    }
}

void HttpFront::Reader::dispatch(ConnectionPtr& slot) {
    Connection& c = *slot;
    c.requestLength = c.framer.length();
    // The Expect lines were answered here; httplib would answer them again.
    const auto& lines = c.framer.expectLines();
    for (auto it = lines.rbegin(); it != lines.rend(); ++it) {
        c.in.erase(it->first, it->second - it->first);
        c.requestLength -= it->second - it->first;
    }
    const bool mayWait = _f._mayWaitLong(c.framer.method(), c.framer.target());
    c.phase = Connection::Phase::Serving;
    {
        ScopedLock guard(_f._lock);
        if (!mayWait) {
            _f._short.push_back(std::move(slot));
            _f._shortWork.signal();
            return;
        }
        if (_f._longTaken < _f._settings.waitSlots) {
            ++_f._longTaken;
            _f._context.waiting.store(_f._longTaken);
            _f._long.push_back(std::move(slot));
            _f._longWork.signal();
            return;
        }
    }
    const std::string what = "all " + std::to_string(_f._settings.waitSlots) + " wait slots are taken";
    note("wait_slots", c, "refused with 503: " + what + " (" + printable(c.framer.method()) + " " +
                              printable(c.framer.target()) + ")");
    logRequest(c, 503);
    answer(slot, 503, what + "; try again", Then::KeepAlive, "Retry-After: 1\r\n");
}

void HttpFront::Reader::expire(ConnectionPtr& slot) {
    Connection& c = *slot;
    switch (c.phase) {
        case Connection::Phase::Reading: {
            if (!c.requestStarted) {
                slot.reset();  // a kept-alive connection's idle time is over: the usual end
                return;
            }
            const std::string what = "no whole request within " + seconds(_f._settings.requestSeconds) + " seconds";
            note("timeout", c, "cut: " + what);
            logRequest(c, 408);
            // One try to say why; a client too slow to send is not waited for to read.
            c.out += errorAnswer(408, what, true);
            c.flush();
            slot.reset();
            return;
        }
        case Connection::Phase::Answering:
            note("write_timeout", c,
                 "cut: it did not read its answer (" + seconds(_f._settings.writeSeconds) +
                     " seconds without progress, or " + seconds(kLongestAnswerSeconds) + " in all)");
            slot.reset();
            return;
        case Connection::Phase::Draining:
            slot.reset();
            return;
        case Connection::Phase::Serving:
            return;
    }
}

void HttpFront::Reader::send(ConnectionPtr& slot) {
    const size_t before = slot->outSent;
    switch (slot->flush()) {
        case Flush::Failed:
            slot.reset();
            return;
        case Flush::Pending:
            // A client that takes its answer keeps its time, up to the longest an answer may take.
            if (slot->phase == Connection::Phase::Answering && slot->outSent > before) {
                slot->deadline =
                    std::min(_now + _f._settings.writeSeconds, slot->answerStart + kLongestAnswerSeconds);
            }
            return;
        case Flush::Done:
            if (slot->phase == Connection::Phase::Answering) {
                answered(slot);
            }
            return;
    }
}

void HttpFront::Reader::answered(ConnectionPtr& slot) {
    Connection& c = *slot;
    switch (c.then) {
        case Then::Close:
            slot.reset();
            return;
        case Then::Drain:
            if (c.ssl) {
                SSL_shutdown(c.ssl.get());
            }
            shutdown(c.fd, SHUT_WR);
            c.phase = Connection::Phase::Draining;
            c.in.clear();
            c.since = _now;
            c.deadline = _now + kDrainSeconds;
            return;
        case Then::KeepAlive:
            c.phase = Connection::Phase::Reading;
            c.requestStarted = false;
            c.since = _now;
            c.deadline = _now + _f._settings.idleSeconds;
            advance(slot);  // a pipelined request may be here already
            return;
    }
}

void HttpFront::Reader::answer(ConnectionPtr& slot, int status, const std::string& detail, Then then,
                               std::string_view extraHeaders) {
    Connection& c = *slot;
    c.out += errorAnswer(status, detail, then != Then::KeepAlive, extraHeaders);
    if (then == Then::KeepAlive) {
        c.in.erase(0, c.requestLength);
        c.requestLength = 0;
        c.framer.reset();
        c.continued = false;
        ++c.served;
    }
    c.phase = Connection::Phase::Answering;
    c.then = then;
    c.since = c.answerStart = _now;
    c.deadline = _now + _f._settings.writeSeconds;
    send(slot);
}

void HttpFront::Reader::note(const char* reason, const std::string& ip, int port, const std::string& what) {
    _f._context.counters.refused(reason);
    Traced& t = _traced[reason];
    if (_now - t.last < kTraceIntervalSeconds) {
        ++t.left;
        return;
    }
    if (t.left > 0) {
        VA_ERROR("Error: API client %s:%d %s (%lld more like it since the last such line)\n", ip.c_str(), port,
                 what.c_str(), t.left);
    } else {
        VA_ERROR("Error: API client %s:%d %s\n", ip.c_str(), port, what.c_str());
    }
    t.last = _now;
    t.left = 0;
}

void HttpFront::Reader::logRequest(const Connection& c, int status) {
    _f._context.counters.response(status);
    const std::string& target = c.framer.target();
    const std::string path = percentDecoded(std::string_view(target).substr(0, target.find('?')), false);
    traceRequest(c.framer.method().empty() ? "-" : c.framer.method(), path.empty() ? "-" : path, status, 0);
}

HttpFront::HttpFront(const FrontSettings& settings, Serve serve, MayWaitLong mayWaitLong, ApiContext& context)
    : _settings(settings), _serve(std::move(serve)), _mayWaitLong(std::move(mayWaitLong)), _context(context) {}

HttpFront::~HttpFront() { stop(); }

bool HttpFront::start(std::string* error) {
    int p[2];
    if (pipe(p) != 0) {
        *error = std::string("cannot make the reader's wake-up pipe: ") + std::strerror(errno);
        return false;
    }
    _wakeRead = p[0];
    _wakeWrite = p[1];
    for (int fd : p) {
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
        fcntl(fd, F_SETFD, FD_CLOEXEC);
    }
    int rc = ZOT0_CreateThread([this] { Reader(*this).run(); }, 0, &_readerThread, "api-read");
    _readerStarted = rc == 0;
    for (int i = 0; rc == 0 && i < _settings.workers + _settings.waitSlots; ++i) {
        const bool waitSlot = i >= _settings.workers;
        pthread_t t{};
        rc = ZOT0_CreateThread([this, waitSlot] { work(waitSlot); }, 0, &t, waitSlot ? "api-wait" : "api-work");
        if (rc == 0) {
            _threads.push_back(t);
        }
    }
    if (rc != 0) {
        *error = "cannot start the API's threads: errno=" + std::to_string(rc);
        stop();
        return false;
    }
    return true;
}

void HttpFront::adopt(int fd) {
    {
        ScopedLock guard(_lock);
        if (!_stopping) {
            _adopted.push_back(fd);
            fd = -1;
        }
    }
    if (fd >= 0) {
        ::close(fd);
        return;
    }
    wake();
}

void HttpFront::stop() {
    {
        ScopedLock guard(_lock);
        if (_stopped) {
            return;
        }
        _stopped = true;
        _stopping = true;
    }
    if (_wakeWrite >= 0) {
        wake();
    }
    if (_readerStarted) {
        pthread_join(_readerThread, nullptr);
        _readerStarted = false;
    }
    {
        ScopedLock guard(_lock);
        _readerGone = true;
        _workersEnd = true;
        _shortWork.broadcast();
        _longWork.broadcast();
    }
    for (pthread_t t : _threads) {
        pthread_join(t, nullptr);
    }
    _threads.clear();
    for (int* fd : {&_wakeRead, &_wakeWrite}) {
        if (*fd >= 0) {
            ::close(*fd);
            *fd = -1;
        }
    }
}

void HttpFront::wake() {
    const char one = 1;
    // A full pipe already holds a wake-up.
    [[maybe_unused]] ssize_t n = ::write(_wakeWrite, &one, 1);
}

void HttpFront::work(bool waitSlot) {
    std::deque<ConnectionPtr>& queue = waitSlot ? _long : _short;
    CondVar& changed = waitSlot ? _longWork : _shortWork;
    for (;;) {
        ConnectionPtr c;
        {
            ScopedLock guard(_lock);
            changed.waitUntil(_lock, -1, [&]() VA_REQUIRES(_lock) { return !queue.empty() || _workersEnd; });
            if (queue.empty()) {
                return;
            }
            c = std::move(queue.front());
            queue.pop_front();
        }
        serveOne(*c);
        if (waitSlot) {
            ScopedLock guard(_lock);
            --_longTaken;
            _context.waiting.store(_longTaken);
        }
        handBack(std::move(c));
    }
}

bool servedClientGone() {
    if (tServedFd < 0) {
        return false;
    }
    // A peer's FIN shows as POLLRDHUP (a TLS peer's close_notify comes before it): a request already
    // read whole is not affected by what else the client sends.
    pollfd p{tServedFd, POLLRDHUP, 0};
    return ::poll(&p, 1, 0) > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
}

void HttpFront::serveOne(Connection& c) {
    RequestStream stream(c);
    const bool last = c.served + 1 >= _settings.keepAliveMax;
    bool closed = false;
    struct Serving {
        explicit Serving(int fd) { tServedFd = fd; }
        ~Serving() { tServedFd = -1; }
    } serving(c.fd);
    const bool ok = _serve(stream, last, closed);
    c.in.erase(0, c.requestLength);
    if (c.in.capacity() > kKeptBufferBytes && c.in.size() < kReadPiece) {
        c.in.shrink_to_fit();
    }
    c.requestLength = 0;
    c.framer.reset();
    c.continued = false;
    ++c.served;
    c.phase = Connection::Phase::Answering;
    c.then = ok && !closed && !last && !c.out.empty() ? Connection::Then::KeepAlive : Connection::Then::Close;
}

void HttpFront::handBack(ConnectionPtr c) {
    {
        ScopedLock guard(_lock);
        if (!_readerGone) {
            _returned.push_back(std::move(c));
        }
    }
    if (c) {
        // Stopping: the answer is written here, then the connection closes.
        c->flushWithin(_settings.writeSeconds);
        return;
    }
    wake();
}

}  // namespace vorpane::api
