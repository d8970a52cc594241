// The management API's HTTP front over real loopback sockets: slow and idle connections, long waits,
// bodies past the limit, control bytes in heads, what the trace shows of a request, and the process
// ending with the API still running.
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
#include <condition_variable>
#include <csignal>
#include <fstream>
#include <functional>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "api/api_fixture.h"
#include "testlib/agent_harness.h"
#include "testlib/scoped_env.h"
#include "testlib/temp_dir.h"
#include "testlib/trace_capture.h"

namespace vorpane::testing {
namespace {

using Json = nlohmann::json;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using std::chrono::seconds;
using namespace std::string_literals;

double secondsSince(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

// A client socket for what httplib's client does not send: single bytes, raw heads, bodies without
// end. Blocking sends; reads wait with poll and a deadline.
class RawClient {
public:
    // receiveBuffer: a small one makes the server's answer stall early when the test does not read.
    explicit RawClient(int port, int receiveBuffer = 0) : _fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        if (receiveBuffer > 0) {
            setsockopt(_fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
        }
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        _connected = _fd >= 0 && connect(_fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
        int one = 1;
        setsockopt(_fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    }
    ~RawClient() {
        if (_fd >= 0) {
            close(_fd);
        }
    }
    RawClient(const RawClient&) = delete;
    RawClient& operator=(const RawClient&) = delete;

    bool connected() const { return _connected; }
    int fd() const { return _fd; }

    // False once the server closed the connection.
    bool send(std::string_view bytes) {
        while (!bytes.empty()) {
            ssize_t n = ::send(_fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
            if (n <= 0) {
                return false;
            }
            bytes.remove_prefix(static_cast<size_t>(n));
        }
        return true;
    }

    // Whether anything (an answer or the end) can be read now.
    bool readable(milliseconds wait = milliseconds(0)) {
        pollfd p{_fd, POLLIN, 0};
        return poll(&p, 1, static_cast<int>(wait.count())) > 0;
    }

    // One whole answer (head and Content-Length body): its text, or what came before the deadline or
    // the end of the connection.
    std::string answer(milliseconds deadline = milliseconds(30000)) {
        const auto end = Clock::now() + deadline;
        for (;;) {
            size_t head = _in.find("\r\n\r\n");
            if (head != std::string::npos) {
                size_t length = 0;
                size_t cl = _in.find("Content-Length: ");
                if (cl != std::string::npos && cl < head) {
                    length = std::stoul(_in.substr(cl + 16));
                }
                if (_in.size() >= head + 4 + length) {
                    std::string one = _in.substr(0, head + 4 + length);
                    _in.erase(0, one.size());
                    return one;
                }
            }
            auto left = std::chrono::duration_cast<milliseconds>(end - Clock::now());
            if (left.count() <= 0 || !readable(left) || !fill()) {
                return std::exchange(_in, "");
            }
        }
    }

    // Reads and drops whatever comes until the server closes; false at the deadline.
    bool closedWithin(milliseconds deadline) {
        const auto end = Clock::now() + deadline;
        for (;;) {
            auto left = std::chrono::duration_cast<milliseconds>(end - Clock::now());
            if (left.count() <= 0 || !readable(left)) {
                return false;
            }
            if (!fill()) {
                return true;
            }
        }
    }

private:
    bool fill() {
        char buffer[65536];
        ssize_t n = recv(_fd, buffer, sizeof buffer, 0);
        if (n <= 0) {
            return false;
        }
        _in.append(buffer, static_cast<size_t>(n));
        return true;
    }

    int _fd;
    bool _connected = false;
    std::string _in;
};

int statusOf(const std::string& answer) {
    return answer.size() > 12 && answer.starts_with("HTTP/1.1 ") ? std::atoi(answer.c_str() + 9) : -1;
}

std::string bodyOf(const std::string& answer) {
    size_t head = answer.find("\r\n\r\n");
    return head == std::string::npos ? "" : answer.substr(head + 4);
}

// A take-action command whose handler holds its caller until the test lets it go (30 s at most).
struct SlowHandler {
    std::mutex lock;
    std::condition_variable changed;
    int entered = 0;
    bool released = false;

    bool waitEntered(int n) {
        std::unique_lock<std::mutex> g(lock);
        return changed.wait_for(g, seconds(20), [&] { return entered >= n; });
    }
    void release() {
        std::lock_guard<std::mutex> g(lock);
        released = true;
        changed.notify_all();
    }
};
SlowHandler* g_slow = nullptr;

long slowCallback(PlaxfAutomationCapsule*) {
    std::unique_lock<std::mutex> g(g_slow->lock);
    ++g_slow->entered;
    g_slow->changed.notify_all();
    g_slow->changed.wait_for(g, seconds(30), [] { return g_slow->released; });
    return 0;
}

class HttpFront : public ApiFixture {
protected:
    // Take-actions to the slow handler, each posted from its own thread, held until this goes (also
    // when an assertion ends the test early).
    struct HeldActions {
        SlowHandler slow;
        std::vector<std::thread> posts;
        ~HeldActions() {
            slow.release();
            for (std::thread& t : posts) {
                t.join();
            }
            g_slow = nullptr;
        }
    };
    std::unique_ptr<HeldActions> holdActions(int n) {
        auto held = std::make_unique<HeldActions>();
        g_slow = &held->slow;
        AXF_RegisterCommandCallback("Vorpane_Slow", slowCallback);
        const Json action{{"command", "Vorpane_Slow now"}, {"subnodes", {"h1:DSK01"}}};
        for (int i = 0; i < n; ++i) {
            held->posts.emplace_back([this, action] { client()->Post("/v1/actions", action.dump(), "application/json"); });
        }
        return held;
    }

    std::string get(const std::string& path, const std::string& token = kTestToken) {
        return "GET " + path + " HTTP/1.1\r\nHost: x\r\n" +
               (token.empty() ? "" : "Authorization: Bearer " + token + "\r\n") + "\r\n";
    }
};

// Measures latencies on fresh connections while the load runs; the 99th percentile in seconds.
double p99(std::vector<double> samples) {
    std::sort(samples.begin(), samples.end());
    size_t index = (samples.size() * 99 + 99) / 100 - 1;
    return samples.empty() ? 1e9 : samples[std::min(index, samples.size() - 1)];
}

TEST_F(HttpFront, HealthAndMetricsStayFastUnderSlowConnectionsAndLongWaits) {
    SlowHandler slow;
    g_slow = &slow;
    AXF_RegisterCommandCallback("Vorpane_Slow", slowCallback);
    ASSERT_TRUE(axf::addSituation({"All_Rows", "DSK01", "DSKTBL01", {}, 0, true, "", "", {"h1:DSK01"}}).ok());
    const uint64_t last = body(client()->Get("/v1/events"))["lastSeq"];
    TraceCapture trace(vorpane::trace::kError);
    const int port = _server->port();

    // 200 connections that never send a byte and 200 that send their head one byte at a time: both
    // opened again as soon as the server cuts them, so that 400 are open all along.
    struct Slow {
        std::unique_ptr<RawClient> c;
        Clock::time_point opened;
        size_t sent = 0;
    };
    std::vector<Slow> idle(200), trickling(200);
    std::mutex cutLock;
    std::vector<double> trickleLifetimes, idleLifetimes;
    std::atomic<bool> stopLoad{false};
    std::thread load;
    std::vector<std::thread> waits;
    std::atomic<int> pollsAnswered{0}, actionsAnswered{0};
    // However the test ends, the load stops and every wait is let go before the server goes.
    struct Finally {
        std::function<void()> f;
        ~Finally() { f(); }
    } cleanup{[&] {
        stopLoad.store(true);
        if (load.joinable()) {
            load.join();
        }
        slow.release();
        _disks->pushEvent({"h1:DSK01", "/var", "990"});
        for (std::thread& t : waits) {
            t.join();
        }
        g_slow = nullptr;
    }};
    const std::string slowHead = "GET /v1/health HTTP/1.1\r\nHost: x\r\nX-Slow: " + std::string(4000, 'a');
    auto open = [&](Slow& s) {
        s.c = std::make_unique<RawClient>(port);
        s.opened = Clock::now();
        s.sent = 0;
    };
    for (Slow& s : idle) {
        open(s);
        ASSERT_TRUE(s.c->connected());
    }
    for (Slow& s : trickling) {
        open(s);
        ASSERT_TRUE(s.c->connected());
    }
    load = std::thread([&] {
        while (!stopLoad.load()) {
            for (auto* group : {&idle, &trickling}) {
                for (Slow& s : *group) {
                    if (group == &trickling && s.sent < slowHead.size()) {
                        s.c->send(std::string_view(slowHead).substr(s.sent++, 1));
                    }
                    if (s.c->readable()) {  // an answer or the end: the server cut it
                        std::lock_guard<std::mutex> g(cutLock);
                        (group == &trickling ? trickleLifetimes : idleLifetimes).push_back(secondsSince(s.opened));
                        open(s);
                    }
                }
            }
            std::this_thread::sleep_for(milliseconds(100));  // the trickle's pace, not a wait for the server
        }
    });

    // 12 long polls and 4 actions whose handler takes its time.
    for (int i = 0; i < 12; ++i) {
        waits.emplace_back([&] {
            httplib::Result r = client()->Get("/v1/events?wait=30&after=" + std::to_string(last));
            pollsAnswered += r && r->status == 200 ? 1 : 0;
        });
    }
    const Json action{{"command", "Vorpane_Slow now"}, {"subnodes", {"h1:DSK01"}}};
    for (int i = 0; i < 4; ++i) {
        waits.emplace_back([&] {
            httplib::Result r = client()->Post("/v1/actions", action.dump(), "application/json");
            actionsAnswered += r && r->status == 200 ? 1 : 0;
        });
    }
    ASSERT_TRUE(slow.waitEntered(4));

    // Health and metrics on fresh connections until a whole generation of slow connections was cut.
    std::vector<double> health, metrics;
    const auto start = Clock::now();
    while ((health.size() < 40 || secondsSince(start) < 6.5) && secondsSince(start) < 60) {
        auto c = client();
        c->set_read_timeout(10, 0);
        auto t = Clock::now();
        httplib::Result h = c->Get("/v1/health");
        health.push_back(h && h->status == 200 ? secondsSince(t) : 1e9);
        t = Clock::now();
        httplib::Result m = c->Get("/metrics");
        metrics.push_back(m && m->status == 200 ? secondsSince(t) : 1e9);
    }
    EXPECT_LT(p99(health), 1.0) << "slowest health: " << *std::max_element(health.begin(), health.end());
    EXPECT_LT(p99(metrics), 1.0) << "slowest metrics: " << *std::max_element(metrics.begin(), metrics.end());

    stopLoad.store(true);
    load.join();
    {
        std::lock_guard<std::mutex> g(cutLock);
        ASSERT_GE(trickleLifetimes.size(), 200u);
        ASSERT_GE(idleLifetimes.size(), 200u);
        // A head must be whole 5 seconds after the connection opened, however steadily it trickles.
        for (double t : trickleLifetimes) {
            EXPECT_GE(t, 4.9);
            EXPECT_LT(t, 7.5);
        }
        for (double t : idleLifetimes) {
            EXPECT_GE(t, 4.9);
            EXPECT_LT(t, 7.5);
        }
    }
    // Cut connections are counted; their trace line comes once per kind, not once per connection.
    std::string page = client()->Get("/metrics")->body;
    EXPECT_NE(page.find("vorpane_api_refused_total{reason=\"timeout\"}"), std::string::npos) << page;
    EXPECT_EQ(trace.count("no whole request within 5 seconds"), 1);

    // The waits end when their answer comes.
    cleanup.f();
    cleanup.f = [] {};
    EXPECT_EQ(pollsAnswered.load(), 12);
    EXPECT_EQ(actionsAnswered.load(), 4);
}

TEST_F(HttpFront, AChunkedBodyPastTheLimitIsRefusedWhileItArrives) {
    RawClient c(_server->port());
    ASSERT_TRUE(c.send("POST /v1/situations HTTP/1.1\r\nHost: x\r\nAuthorization: Bearer " + std::string(kTestToken) +
                       "\r\nContent-Type: application/json\r\nTransfer-Encoding: chunked\r\n\r\n"));
    // 64 KiB chunks, up to 256 MiB, sent as fast as the server takes them: the answer must come long
    // before.
    const std::string chunk = "10000\r\n" + std::string(65536, ' ') + "\r\n";
    size_t sent = 0;
    std::string answer;
    while (sent < (256u << 20)) {
        pollfd p{c.fd(), POLLIN | POLLOUT, 0};
        if (poll(&p, 1, 30000) <= 0) {
            break;
        }
        if ((p.revents & POLLIN) != 0) {
            answer = c.answer(milliseconds(5000));
            break;
        }
        const size_t at = sent % chunk.size();
        ssize_t n = ::send(c.fd(), chunk.data() + at, chunk.size() - at, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            break;
        }
        sent += n > 0 ? static_cast<size_t>(n) : 0;
    }
    EXPECT_EQ(statusOf(answer), 413) << answer.substr(0, 200);
    EXPECT_NE(bodyOf(answer).find("request body too large"), std::string::npos) << answer;
    EXPECT_LT(sent, 8u << 20);
    // The server stops reading: the connection ends, and sending stops well short of the whole body.
    while (sent < (64u << 20) && c.send(std::string_view(chunk).substr(sent % chunk.size()))) {
        sent += chunk.size() - sent % chunk.size();
    }
    EXPECT_LT(sent, 64u << 20);

    // A body that declares more than the limit is answered before it is sent.
    RawClient declared(_server->port());
    ASSERT_TRUE(declared.send("POST /v1/situations HTTP/1.1\r\nHost: x\r\nContent-Length: 268435456\r\n\r\n"));
    EXPECT_EQ(statusOf(declared.answer(milliseconds(5000))), 413);
    EXPECT_EQ(client()->Get("/v1/health")->status, 200);
}

TEST_F(HttpFront, ControlBytesInTheHeadOrTheTokenAreRefused) {
    const std::string token = kTestToken;
    for (const std::string& bad : {token + std::string("\0junk", 5), token + "\x01", token + "%00junk"}) {
        RawClient c(_server->port());
        ASSERT_TRUE(c.send("GET /v1/tables HTTP/1.1\r\nHost: x\r\nAuthorization: Bearer " + bad + "\r\n\r\n"));
        std::string answer = c.answer(milliseconds(10000));
        const int status = statusOf(answer);
        EXPECT_TRUE(status == 400 || status == 401) << answer;
    }
    RawClient header(_server->port());
    ASSERT_TRUE(header.send("GET /v1/health HTTP/1.1\r\nHost: x\r\nX-Other: a\0b\r\n\r\n"s));
    std::string answer = header.answer(milliseconds(10000));
    EXPECT_EQ(statusOf(answer), 400) << answer;
    EXPECT_NE(bodyOf(answer).find("control byte"), std::string::npos) << answer;

    RawClient good(_server->port());
    ASSERT_TRUE(good.send(get("/v1/tables")));
    EXPECT_EQ(statusOf(good.answer(milliseconds(10000))), 200);
}

TEST_F(HttpFront, RequestPathsAreTracedEscapedAndCut) {
    TraceCapture trace(vorpane::trace::kState);
    RawClient c(_server->port());
    ASSERT_TRUE(c.send(get("/v1/health%0AError:%20forged%1B%5B31m%7F%C3%A9")));
    EXPECT_EQ(statusOf(c.answer(milliseconds(10000))), 404);
    ASSERT_TRUE(c.send(get("/" + std::string(5000, 'p'))));
    EXPECT_EQ(statusOf(c.answer(milliseconds(10000))), 404);
    ASSERT_TRUE(trace.waitFor("API GET /v1/health\\x0AError: forged\\x1B[31m\\x7F\\xC3\\xA9 404"));
    ASSERT_TRUE(trace.waitFor("API GET /ppp"));
    for (const std::string& line : trace.lines()) {
        EXPECT_EQ(std::find_if(line.begin(), line.end(), [](char ch) { return static_cast<unsigned char>(ch) < 0x20; }),
                  line.end())
            << line;
        EXPECT_LT(line.size(), 400u);
    }
    EXPECT_NE(trace.lines()[static_cast<size_t>(trace.indexOf("API GET /ppp"))].find("... 404"), std::string::npos);
}

TEST_F(HttpFront, LongWaitsPastTheirSlotsAreAnswered503AtOnceAndTheConnectionStays) {
    _server.reset();
    api::ApiConfig config = testConfig();
    config.waitSlots = 2;
    startServer(config);
    const std::unique_ptr<HeldActions> held = holdActions(2);
    ASSERT_TRUE(held->slow.waitEntered(2));

    RawClient c(_server->port());
    for (const char* target : {"/v1/events?wait=30", "/v1/%65vents?w%61it=30", "/v1/tables/DSK01/DSKTBL01/rows"}) {
        ASSERT_TRUE(c.send(get(target)));
        std::string answer = c.answer(milliseconds(10000));
        EXPECT_EQ(statusOf(answer), 503) << answer;
        EXPECT_NE(answer.find("\r\nRetry-After: 1\r\n"), std::string::npos) << answer;
        EXPECT_NE(bodyOf(answer).find("all 2 wait slots are taken"), std::string::npos) << answer;
    }
    // The same connection serves what does not wait.
    ASSERT_TRUE(c.send(get("/v1/health") + get("/v1/events?wait=0")));
    EXPECT_EQ(statusOf(c.answer(milliseconds(10000))), 200);
    EXPECT_EQ(statusOf(c.answer(milliseconds(10000))), 200);
    std::string page = client()->Get("/metrics")->body;
    EXPECT_NE(page.find("vorpane_api_waits 2\n"), std::string::npos) << page;
    EXPECT_NE(page.find("vorpane_api_refused_total{reason=\"wait_slots\"} 3\n"), std::string::npos) << page;
}

TEST_F(HttpFront, ALongPollWhoseClientLeftGivesItsWaitSlotBackBeforeItsWaitEnds) {
    _server.reset();
    api::ApiConfig config = testConfig();
    config.waitSlots = 1;
    startServer(config);
    auto waits = [&](const char* n) {
        return vorpane::testing::waitUntil([&] { return client()->Get("/metrics")->body.find(std::string("vorpane_api_waits ") + n + "\n") != std::string::npos; },
                         milliseconds(10000));
    };
    {
        RawClient gone(_server->port());
        ASSERT_TRUE(gone.send(get("/v1/events?wait=30&after=1000000")));
        ASSERT_TRUE(waits("1"));
    }
    // Within a slice of the wait, not at its end 30 seconds on.
    EXPECT_TRUE(waits("0"));
    RawClient next(_server->port());
    ASSERT_TRUE(next.send(get("/v1/events?wait=1&after=1000000")));
    EXPECT_EQ(statusOf(next.answer(milliseconds(10000))), 200);
}

TEST_F(HttpFront, PastTheConnectionCapAnIdleConnectionMakesRoomOrTheNewOneIsRefused) {
    _server.reset();
    api::ApiConfig config = testConfig();
    config.maxConnections = 4;
    startServer(config);
    {
        // Four connections that send nothing: the oldest makes room for a fifth.
        std::vector<std::unique_ptr<RawClient>> idle;
        for (int i = 0; i < 4; ++i) {
            idle.push_back(std::make_unique<RawClient>(_server->port()));
        }
        auto c = client();
        EXPECT_EQ(c->Get("/v1/health")->status, 200);
        EXPECT_TRUE(idle[0]->closedWithin(milliseconds(10000)));
        EXPECT_FALSE(idle[3]->readable());
    }
    // Four connections with a request in progress: a fifth is answered 503 and closed.
    std::unique_ptr<HeldActions> held = holdActions(4);
    ASSERT_TRUE(held->slow.waitEntered(4));
    RawClient refused(_server->port());
    std::string answer = refused.answer(milliseconds(10000));
    EXPECT_EQ(statusOf(answer), 503) << answer;
    EXPECT_NE(bodyOf(answer).find("4 connections are open and each has a request in progress"), std::string::npos);
    EXPECT_TRUE(refused.closedWithin(milliseconds(10000)));
    held.reset();
    std::string page = client()->Get("/metrics")->body;
    EXPECT_NE(page.find("vorpane_api_refused_total{reason=\"connections\"} 1\n"), std::string::npos) << page;
    EXPECT_NE(page.find("vorpane_api_refused_total{reason=\"evicted\"}"), std::string::npos) << page;
}

TEST_F(HttpFront, PipelinedAndContinuedRequestsAreAnsweredInOrderAndIdleConnectionsClose) {
    RawClient c(_server->port());
    ASSERT_TRUE(c.send(get("/v1/health") + get("/v1/tables") + get("/v1/nothing")));
    std::string first = c.answer(milliseconds(10000));
    EXPECT_EQ(statusOf(first), 200);
    EXPECT_NE(bodyOf(first).find("\"status\""), std::string::npos) << first;
    std::string second = c.answer(milliseconds(10000));
    EXPECT_EQ(statusOf(second), 200);
    EXPECT_NE(bodyOf(second).find("DSKTBL01"), std::string::npos) << second;
    EXPECT_EQ(statusOf(c.answer(milliseconds(10000))), 404);

    // "100 Continue" once the head is in, before the body is sent, and only once.
    const std::string payload = R"({"command":"Unknown_Cmd","subnodes":["h1:DSK01"]})";
    ASSERT_TRUE(c.send("POST /v1/actions HTTP/1.1\r\nHost: x\r\nAuthorization: Bearer " + std::string(kTestToken) +
                       "\r\nExpect: 100-continue\r\nContent-Type: application/json\r\nContent-Length: " +
                       std::to_string(payload.size()) + "\r\n\r\n"));
    EXPECT_EQ(c.answer(milliseconds(10000)), "HTTP/1.1 100 Continue\r\n\r\n");
    ASSERT_TRUE(c.send(payload));
    std::string answer = c.answer(milliseconds(10000));
    EXPECT_EQ(statusOf(answer), 404) << answer;

    // A compressed body is refused: a small one could stand for any size once inflated.
    RawClient gzip(_server->port());
    ASSERT_TRUE(gzip.send("POST /v1/situations HTTP/1.1\r\nHost: x\r\nContent-Encoding: gzip\r\nContent-Length: 4\r\n\r\nabcd"));
    EXPECT_EQ(statusOf(gzip.answer(milliseconds(10000))), 415);

    // A kept-alive connection without a request is closed after its idle time (2 clock seconds), and
    // one that does not read its answer after 5 seconds without progress.
    ScopedSpeedup fast(20);
    RawClient kept(_server->port());
    ASSERT_TRUE(kept.send(get("/v1/health")));
    EXPECT_EQ(statusOf(kept.answer(milliseconds(10000))), 200);
    EXPECT_TRUE(kept.closedWithin(milliseconds(10000)));
    // An answer larger than the most the kernel buffers for a socket that is not read.
    size_t sendBuffer = 4 << 20;
    if (std::ifstream wmem("/proc/sys/net/ipv4/tcp_wmem"); wmem) {
        size_t least = 0, initial = 0;
        wmem >> least >> initial >> sendBuffer;
    }
    _dir.write("DSKATR10", std::string(2 * sendBuffer + (1 << 20), 'a'));
    TraceCapture trace(vorpane::trace::kError);
    RawClient stalled(_server->port(), 4096);
    ASSERT_TRUE(stalled.send(get("/v1/files/DSK/ATR")));
    EXPECT_TRUE(trace.waitFor("did not read its answer (5 seconds without progress, or 60 in all)", seconds(30)));
    EXPECT_TRUE(stalled.closedWithin(milliseconds(20000)));
    std::string page = client()->Get("/metrics")->body;
    EXPECT_NE(page.find("vorpane_api_refused_total{reason=\"write_timeout\"} 1\n"), std::string::npos) << page;
    EXPECT_EQ(page.find("reason=\"timeout\""), std::string::npos) << page;  // idle ends are no refusals
}

// The process ends on exit() while the API serves a request that does not end: nothing of the API is
// torn down under its threads, and exit does not wait for them.
TEST(AgentApiExit, ExitWithARequestInProgressEndsTheProcess) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            TempDir dir;
            setWorkDirectory(dir.path());
            axf::reset();
            // A free port: bound once to learn it.
            int probe = socket(AF_INET, SOCK_STREAM, 0);
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            socklen_t length = sizeof a;
            bind(probe, reinterpret_cast<sockaddr*>(&a), sizeof a);
            getsockname(probe, reinterpret_cast<sockaddr*>(&a), &length);
            const int port = ntohs(a.sin_port);
            close(probe);
            setenv("VORPANE_API_PORT", std::to_string(port).c_str(), 1);
            setenv("VORPANE_API_TOKEN", kTestToken, 1);
            api::AgentApiInfo info;
            std::string error;
            if (!api::startAgentApi(&info, &error)) {
                std::_Exit(4);
            }

            SlowHandler slow;  // never released; exit() leaves it on this stack
            g_slow = &slow;
            AXF_RegisterCommandCallback("Vorpane_Slow", slowCallback);
            std::thread([port] {
                httplib::Client c("127.0.0.1", port);
                c.set_bearer_token_auth(kTestToken);
                c.set_read_timeout(60, 0);
                c.Post("/v1/actions", R"({"command":"Vorpane_Slow","subnodes":["h1:DSK01"]})", "application/json");
            }).detach();
            if (!slow.waitEntered(1)) {
                std::_Exit(3);
            }
            alarm(10);  // a process that does not end in time dies of SIGALRM
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace vorpane::testing
