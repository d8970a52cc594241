// FakeHub: a test-side stand-in for the hub's TCP side. It listens on a loopback port it picks,
// decodes every request with the field codec, records it and answers like the hub would (status
// replies, a handle for dp_online, the results message before the status of
// dp_setDemandReportOption, nothing for subscriptions and one-way requests). A test can replace the
// answering, push messages at any time, send raw bytes and close connections.
//
// Threads: one accept thread and one reader thread per connection; everything the test reads is
// guarded by one mutex, and the wait* calls block on a condition with a deadline.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "interfaces/dch_client.h"
#include "interfaces/dch_protocol.h"

namespace vorpane::testing {

class FakeHub {
  public:
    struct Field {
        uint16_t type = 0;
        std::string value;
        char extra = 0;
        int16_t int16() const;
        int32_t int32() const;
    };
    struct Request {
        int connection = 0;  // 1 for the first connection accepted, 2 for the next, ...
        int16_t code = 0;
        size_t size = 0;            // bytes of the whole message
        std::vector<Field> fields;  // after DCH_requestType
        std::vector<uint16_t> types() const;
    };
    // Answers one request; the default handler is answerLikeTheHub.
    using Handler = std::function<void(FakeHub& hub, const Request& request)>;

    FakeHub();
    ~FakeHub();
    FakeHub(const FakeHub&) = delete;
    FakeHub& operator=(const FakeHub&) = delete;

    int port() const { return _port; }
    // Options pointing at this hub, with the given reply time-out.
    HubOptions options(double replyTimeout = 60) const;

    void setHandler(Handler handler);
    void answerLikeTheHub(const Request& request);

    void send(int connection, const dch::MessageBuilder& message);
    void sendRaw(int connection, const std::string& bytes);
    void sendStatus(int connection, int32_t status);
    void close(int connection);

    std::vector<Request> requests() const;
    // Waits until at least count requests were recorded; false when the deadline passed.
    bool waitForRequests(size_t count, std::chrono::milliseconds deadline = std::chrono::seconds(10)) const;
    // Waits until the client side of a connection has closed it.
    bool waitForDisconnect(int connection,
                           std::chrono::milliseconds deadline = std::chrono::seconds(10)) const;
    int connections() const;

  private:
    void acceptLoop();
    void readLoop(int connection, int fd);
    int fdOf(int connection) const;

    int _listenFd = -1;
    int _stopFd = -1;
    int _port = 0;
    std::thread _acceptThread;

    mutable std::mutex _lock;
    mutable std::condition_variable _changed;
    Handler _handler;
    std::map<int, int> _fds;  // connection -> socket
    std::vector<int> _closedByClient;
    std::vector<Request> _requests;
    std::vector<std::thread> _readers;
    int _nextHandle = 1000;
    bool _stopping = false;
};

}  // namespace vorpane::testing
