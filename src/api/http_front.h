// HttpFront: the management API's connections, from the accepted socket to the written answer, so
// that no client can hold a thread that other clients need.
//
// One reader thread owns every connection between requests. It polls them all, buffers each request
// until it is whole (RequestFramer: the head, then the body by Content-Length or chunks, refused as
// soon as it passes the limit) and only then hands it to a worker; the worker runs httplib's parsing
// and routing on the buffered bytes and leaves the answer in the connection, which goes back to the
// reader to be written and to wait for the next request. So a slow, idle or never-ending client costs
// a buffer and a slot in the poll, never a worker:
//   - a request must arrive whole within requestSeconds of its first byte (of the connection's
//     opening, for the first one): else 408 and the connection is closed;
//   - a kept-alive connection with no request started is closed after idleSeconds;
//   - an answer's client must take some of it every writeSeconds, and all of it within a minute: else
//     the connection is closed;
//   - past maxConnections, the connection that has waited longest without a request in progress is
//     cut to make room; when every connection has one, the new connection gets 503 and is closed.
// Requests that may wait long (long polls, take-actions, reports; mayWaitLong says which) run on
// waitSlots threads of their own and never queue in front of the workers that serve health and
// metrics; past those slots they are answered 503 with Retry-After at once.
//
// With TLS, the handshake and every record are read and written the same way on the reader thread:
// a client that stalls its handshake is cut like one that stalls its request.
//
// Refusals and cuts are counted in the context's counters and traced as "Error: ..." lines, one per
// kind a minute with the number of the others.
//
// Threads: the reader, `workers` short-request threads and `waitSlots` wait threads, all started by
// start() and joined by stop(). A connection belongs to one thread at a time and changes hands only
// through the queues under _lock.
#pragma once

#include <pthread.h>

#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "api/request_framer.h"
#include "interfaces/sync.h"

namespace httplib {
class Stream;
}  // namespace httplib

namespace vorpane::api {

struct ApiContext;
class TlsContext;

struct FrontSettings {
    int workers = 4;  // threads for requests that do not wait
    int waitSlots = 16;  // threads for requests that may wait long
    int maxConnections = 512;
    RequestFramer::Limits limits;
    double requestSeconds = 5;  // a whole request from its first byte
    double idleSeconds = 2;  // a kept-alive connection between requests
    double writeSeconds = 5;  // a whole answer
    int keepAliveMax = 100;  // requests on one connection
    const TlsContext* tls = nullptr;  // set: every connection speaks TLS (HTTPS)
};

class HttpFront {
public:
    // Parses, routes and answers one whole request read from strm, writing the answer to it
    // (httplib's process_request). False when the connection must close.
    using Serve = std::function<bool(httplib::Stream& strm, bool closeConnection, bool& connectionClosed)>;
    // Whether a request (method and target as sent) may wait long and so runs on a wait slot.
    using MayWaitLong = std::function<bool(std::string_view method, std::string_view target)>;

    HttpFront(const FrontSettings& settings, Serve serve, MayWaitLong mayWaitLong, ApiContext& context);
    ~HttpFront();
    HttpFront(const HttpFront&) = delete;
    HttpFront& operator=(const HttpFront&) = delete;

    // Starts the threads. False with *error when one cannot start (those started are stopped).
    bool start(std::string* error);
    // Takes an accepted socket; any thread. Closed at once when the front is stopping.
    void adopt(int fd);
    // Ends every thread; requests already whole are answered first. Connections are closed.
    void stop();

    struct Connection;
    using ConnectionPtr = std::unique_ptr<Connection>;

private:
    class Reader;

    void work(bool waitSlot);
    void serveOne(Connection& c);
    void handBack(ConnectionPtr c);
    void wake();

    const FrontSettings _settings;
    const Serve _serve;
    const MayWaitLong _mayWaitLong;
    ApiContext& _context;
    int _wakeRead = -1;
    int _wakeWrite = -1;
    pthread_t _readerThread{};
    bool _readerStarted = false;
    std::vector<pthread_t> _threads;

    Mutex _lock;
    CondVar _shortWork;
    CondVar _longWork;
    std::deque<ConnectionPtr> _short VA_GUARDED_BY(_lock);
    std::deque<ConnectionPtr> _long VA_GUARDED_BY(_lock);
    int _longTaken VA_GUARDED_BY(_lock) = 0;  // wait slots queued or running
    std::vector<int> _adopted VA_GUARDED_BY(_lock);
    std::vector<ConnectionPtr> _returned VA_GUARDED_BY(_lock);
    bool _stopping VA_GUARDED_BY(_lock) = false;  // the reader ends
    bool _readerGone VA_GUARDED_BY(_lock) = false;  // workers write their answers themselves
    bool _workersEnd VA_GUARDED_BY(_lock) = false;  // workers end once their queue is empty
    bool _stopped VA_GUARDED_BY(_lock) = false;
};

// Whether the client of the request this thread serves has closed its side of the connection (or the
// connection broke): nobody reads the answer any more, so a request that waits long ends its wait.
// False on a thread that serves no request of a front.
bool servedClientGone();

}  // namespace vorpane::api
