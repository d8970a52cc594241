// How the client survives what comes back over the wire: long answers, late answers, no answers,
// closed connections and lengths that lie. Every blocking call runs in a future with a deadline, so
// a hang fails the test instead of stalling the run; time-outs are shortened by the clock switch.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <future>
#include <string>

#include "client/fake_hub.h"
#include "interfaces/dch_client.h"

namespace vorpane {
namespace {

using testing::FakeHub;
using Request = FakeHub::Request;

constexpr auto kGuard = std::chrono::seconds(10);

class ClientConnectionTest : public ::testing::Test {
  protected:
    void SetUp() override { clock::setSpeedup(200); }
    void TearDown() override { clock::setSpeedup(1); }

    template <typename F>
    static auto guarded(F&& f) {
        auto future = std::async(std::launch::async, std::forward<F>(f));
        EXPECT_EQ(future.wait_for(kGuard), std::future_status::ready) << "the call did not return";
        return future.get();
    }

    static std::string frameHeader(uint32_t length) {
        uint32_t n = htonl(length);
        return std::string(reinterpret_cast<const char*>(&n), 4);
    }

    FakeHub hub;
};

TEST_F(ClientConnectionTest, InformationLongerThanOneBufferArrivesWhole) {
    std::string text;
    for (int i = 0; text.size() < 200 * 1024; ++i) {
        text += "GROUP" + std::to_string(i) + ",P,60,APIS:";
    }
    hub.setHandler([&text](FakeHub& h, const Request& r) {
        dch::MessageBuilder m;
        m.text(DCH_infoText, text);
        h.send(r.connection, m);
    });
    std::string info;
    EXPECT_EQ(dc_getApplications(&info, "VPDEMO", 60, hub.options()), 0);
    EXPECT_EQ(info, text);
}

TEST_F(ClientConnectionTest, ParkedInformationRequestIsAnsweredLaterOrGivenUp) {
    // Parked: the hub answers only when the test says the application came online.
    hub.setHandler([](FakeHub&, const Request&) {});
    auto pending = std::async(std::launch::async, [this] {
        std::string info;
        int rc = dc_getApplAttributes(&info, "VPLATE", 600, hub.options());
        return std::make_pair(rc, info);
    });
    ASSERT_TRUE(hub.waitForRequests(1));
    dch::MessageBuilder answer;
    answer.text(DCH_infoText, "PROCS,@PID,C,4:;");
    hub.send(hub.requests()[0].connection, answer);
    ASSERT_EQ(pending.wait_for(kGuard), std::future_status::ready);
    auto [rc, info] = pending.get();
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(info, "PROCS,@PID,C,4:;");

    // Never answered: the call gives up at its time-out and closes, which drops the parked request.
    int given = guarded([this] {
        std::string nothing;
        return dc_getApplHelp(&nothing, "VPNEVER", 30, hub.options());
    });
    EXPECT_EQ(given, DCH_CLIENT_TIMEOUT);
    EXPECT_TRUE(hub.waitForDisconnect(2));
}

TEST_F(ClientConnectionTest, HubThatClosesOrLiesMakesTheCallFailCleanly) {
    struct Case {
        const char* name;
        std::function<void(FakeHub&, int connection)> misbehave;
        int expected;
    };
    const std::vector<Case> cases = {
        {"closes without answering", [](FakeHub& h, int c) { h.close(c); }, DCH_CLIENT_IO},
        {"closes in the middle of a message",
         [](FakeHub& h, int c) {
             h.sendRaw(c, frameHeader(100) + "partial");
             h.close(c);
         },
         DCH_CLIENT_IO},
        {"promises more than it sends",
         [](FakeHub& h, int c) { h.sendRaw(c, frameHeader(1000) + "0123456789"); }, DCH_CLIENT_TIMEOUT},
        {"sends a length below the frame header", [](FakeHub& h, int c) { h.sendRaw(c, frameHeader(2)); },
         DCH_CLIENT_PROTOCOL},
        {"sends a length beyond any sane message",
         [](FakeHub& h, int c) { h.sendRaw(c, frameHeader(DCH_MAX_MESSAGE + 1)); }, DCH_CLIENT_PROTOCOL},
        {"answers with something that is no status",
         [](FakeHub& h, int c) {
             dch::MessageBuilder m;
             m.text(DCH_infoText, "surprise");
             h.send(c, m);
         },
         DCH_CLIENT_PROTOCOL},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakeHub liar;
        liar.setHandler([&c](FakeHub& h, const Request& r) { c.misbehave(h, r.connection); });
        HubProvider provider(liar.options(30));
        int status = 0;
        int rc = guarded([&] { return provider.dp_offline(&status, 1); });
        EXPECT_EQ(rc, c.expected);
        EXPECT_EQ(status, c.expected);
        // The connection is given up: the hub sees it go, and later calls fail at once.
        EXPECT_TRUE(liar.waitForDisconnect(1));
        EXPECT_EQ(guarded([&] { return provider.dp_offline(&status, 1); }), DCH_CLIENT_IO);
        EXPECT_EQ(liar.requests().size(), 1u);
    }
}

TEST_F(ClientConnectionTest, ReconnectingProviderOpensANewConnectionAfterAFailure) {
    hub.setHandler([](FakeHub& h, const Request& r) {
        if (r.connection == 1) {
            h.close(r.connection);
        } else {
            h.answerLikeTheHub(r);
        }
    });
    HubProvider provider(hub.options(), true);
    int status = 0;
    EXPECT_EQ(guarded([&] { return provider.dp_offline(&status, 1); }), DCH_CLIENT_IO);
    EXPECT_EQ(guarded([&] { return provider.dp_offline(&status, 1); }), 0);
    EXPECT_EQ(hub.requests().back().connection, 2);
}

TEST_F(ClientConnectionTest, UnreachableHubIsReportedAsSuch) {
    // A port nobody listens on: bind one, read it back, close it.
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    socklen_t len = sizeof addr;
    ASSERT_EQ(::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len), 0);
    ::close(fd);
    HubOptions options;
    options.port = ntohs(addr.sin_port);

    HubProvider provider(options);
    int status = 0;
    int handle = 0;
    EXPECT_EQ(provider.dp_online(&status, &handle, "VPDEMO", "PROCS", "SRC1"), DCH_CLIENT_NO_HUB);
    EXPECT_EQ(status, DCH_CLIENT_NO_HUB);
    std::string info;
    EXPECT_EQ(dc_getApplications(&info, nullptr, 10, options), DCH_CLIENT_NO_HUB);
    EXPECT_EQ(dc_waitForDPStatusInitialize(options), nullptr);

    options.port = 0;
    EXPECT_EQ(provider.connect(), DCH_CLIENT_NO_HUB);
    sockaddr_in resolved;
    EXPECT_FALSE(DCH_resolveHubAddress(options, &resolved));
    options.port = 1919;
    options.address = "localhost";
    EXPECT_TRUE(DCH_resolveHubAddress(options, &resolved));
    EXPECT_EQ(ntohs(resolved.sin_port), 1919);
}

TEST_F(ClientConnectionTest, EnvironmentNamesTheHub) {
    ASSERT_EQ(setenv("ZOTA_DCH_ADDR", "10.1.2.3", 1), 0);
    ASSERT_EQ(setenv("ZOTA_DCH_PORT", "46300", 1), 0);
    HubOptions o = HubOptions::fromEnvironment();
    EXPECT_EQ(o.address, "10.1.2.3");
    EXPECT_EQ(o.port, 46300);
    ASSERT_EQ(setenv("ZOTA_DCH_PORT", "19x9", 1), 0);
    EXPECT_EQ(HubOptions::fromEnvironment().port, -1);
    unsetenv("ZOTA_DCH_ADDR");
    unsetenv("ZOTA_DCH_PORT");
    o = HubOptions::fromEnvironment();
    EXPECT_EQ(o.address, "127.0.0.1");
    EXPECT_EQ(o.port, 1919);
}

}  // namespace
}  // namespace vorpane
