// The support library's socket helpers: binding, exclusivity of the hub port, the bind address.
#include <fcntl.h>
#include <gtest/gtest.h>

#include <cerrno>

#include "hub/transport_test_support.h"
#include "testlib/hub_test_client.h"
#include "interfaces/support.h"
#include "testlib/trace_capture.h"

namespace {

using vorpane::testing::ScopedEnv;
using vorpane::testing::TraceCapture;

std::string addressText(const sockaddr_in& a) {
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &a.sin_addr, text, sizeof text);
    return text;
}

TEST(Sockets, OpenBindsLoopbackClosesOnExecAndReportsTheAddress) {
    ScopedEnv bind("VORPANE_DCH_BIND", std::nullopt);
    for (int kind : {ZOT0_SOCKET_UDP, ZOT0_SOCKET_TCP}) {
        sockaddr_in bound{};
        int err = -1;
        const int fd = ZOT0_OpenLocalSocket(kind, 0, &bound, 0, &err);
        ASSERT_GE(fd, 0);
        EXPECT_EQ(err, 0);
        EXPECT_EQ(addressText(bound), "127.0.0.1");
        EXPECT_GT(ntohs(bound.sin_port), 0);
        EXPECT_EQ(ZOT0_RetrieveSockPort(fd), ntohs(bound.sin_port));
        EXPECT_NE(fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);
        EXPECT_EQ(ZOT0_CloseTheSocket(fd), 0);
    }
    EXPECT_EQ(ZOT0_RetrieveSockPort(-1), -1);
    EXPECT_EQ(ZOT0_CloseTheSocket(-1), -1);
    int err = 0;
    EXPECT_EQ(ZOT0_OpenLocalSocket(7, 0, nullptr, 0, &err), -1);
    EXPECT_EQ(err, EINVAL);
}

// Two hubs must never share a port: a taken UDP port and a listening TCP port both report errno 98,
// whatever SO_REUSEADDR does for TIME_WAIT. The probe flag only quiets the expected failure.
TEST(Sockets, PortInUseReportsErrno98) {
    const int port = vorpane::testing::freeHubPort();
    ASSERT_GT(port, 0);
    int err = 0;
    const int udp =
        ZOT0_OpenLocalSocket(ZOT0_SOCKET_UDP, htons(static_cast<uint16_t>(port)), nullptr, 0, &err);
    const int tcp =
        ZOT0_OpenLocalSocket(ZOT0_SOCKET_TCP, htons(static_cast<uint16_t>(port)), nullptr, 0, &err);
    ASSERT_GE(udp, 0);
    ASSERT_GE(tcp, 0);
    ASSERT_EQ(listen(tcp, 5), 0);

    TraceCapture trace;
    for (int kind : {ZOT0_SOCKET_UDP, ZOT0_SOCKET_TCP}) {
        err = 0;
        EXPECT_EQ(
            ZOT0_OpenLocalSocket(kind, htons(static_cast<uint16_t>(port)), nullptr, ZOT0_SOCKET_PROBE, &err),
            -1);
        EXPECT_EQ(err, EADDRINUSE);
    }
    EXPECT_EQ(trace.count("Error: bind"), 0);
    EXPECT_EQ(trace.count("is in use."), 2);
    err = 0;
    EXPECT_EQ(ZOT0_OpenLocalSocket(ZOT0_SOCKET_UDP, htons(static_cast<uint16_t>(port)), nullptr, 0, &err),
              -1);
    EXPECT_EQ(err, EADDRINUSE);
    EXPECT_EQ(trace.count("Error: bind of UDP socket to port " + std::to_string(port) + " failed. errno=98"),
              1);
    ZOT0_CloseTheSocket(udp);
    ZOT0_CloseTheSocket(tcp);
}

TEST(Sockets, BindAddressComesOnlyFromVorpaneDchBind) {
    {
        ScopedEnv bind("VORPANE_DCH_BIND", std::nullopt);
        EXPECT_EQ(ZOT0_LocalHostNameString(), "127.0.0.1");
    }
    {
        ScopedEnv bind("VORPANE_DCH_BIND", "0.0.0.0");
        EXPECT_EQ(ZOT0_LocalHostNameString(), "127.0.0.1");  // every interface: reached through loopback
        sockaddr_in bound{};
        const int fd = ZOT0_OpenLocalSocket(ZOT0_SOCKET_UDP, 0, &bound, 0, nullptr);
        ASSERT_GE(fd, 0);
        EXPECT_EQ(addressText(bound), "0.0.0.0");
        ZOT0_CloseTheSocket(fd);
    }
    {
        ScopedEnv bind("VORPANE_DCH_BIND", "127.0.0.2");
        EXPECT_EQ(ZOT0_LocalHostNameString(), "127.0.0.2");
        sockaddr_in bound{};
        const int fd = ZOT0_OpenLocalSocket(ZOT0_SOCKET_TCP, 0, &bound, 0, nullptr);
        ASSERT_GE(fd, 0);
        EXPECT_EQ(addressText(bound), "127.0.0.2");
        ZOT0_CloseTheSocket(fd);
    }
    {
        ScopedEnv bind("VORPANE_DCH_BIND", "hub.example");
        TraceCapture trace;
        EXPECT_EQ(ZOT0_LocalHostNameString(), std::nullopt);
        int err = 0;
        EXPECT_EQ(ZOT0_OpenLocalSocket(ZOT0_SOCKET_UDP, 0, nullptr, 0, &err), -1);
        EXPECT_EQ(err, EINVAL);
        EXPECT_TRUE(trace.contains("Error: VORPANE_DCH_BIND <hub.example> is not an IPv4 address."));
    }
}

TEST(Sockets, ConvertNameToAddr) {
    sockaddr_in a{};
    ASSERT_EQ(ZOT0_ConvertNameToAddr("127.0.0.1", 1919, &a), 0);
    EXPECT_EQ(a.sin_family, AF_INET);
    EXPECT_EQ(ntohs(a.sin_port), 1919);
    EXPECT_EQ(addressText(a), "127.0.0.1");
    ASSERT_EQ(ZOT0_ConvertNameToAddr("localhost", 50000, &a), 0);
    EXPECT_EQ(ntohs(a.sin_port), 50000);
    EXPECT_EQ(ntohl(a.sin_addr.s_addr) >> 24, 127u);

    const sockaddr_in before = a;
    EXPECT_EQ(ZOT0_ConvertNameToAddr("no-such-host.invalid", 1919, &a), 1);
    EXPECT_EQ(ZOT0_ConvertNameToAddr("127.0.0.1", 70000, &a), 1);
    EXPECT_EQ(ZOT0_ConvertNameToAddr("127.0.0.1", -1, &a), 1);
    EXPECT_EQ(ZOT0_ConvertNameToAddr(nullptr, 1919, &a), 1);
    EXPECT_EQ(ZOT0_ConvertNameToAddr("", 1919, &a), 1);
    EXPECT_EQ(std::memcmp(&a, &before, sizeof a), 0);  // untouched on failure
}

}  // namespace
