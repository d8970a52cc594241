// The management API over HTTPS: certificates made by the test, one-way and mutual TLS, clients
// that stall or speak plain HTTP, and the settings that keep a reachable API from serving in clear.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "api/api_config.h"
#include "api/tls.h"
#include "api/api_fixture.h"
#include "testlib/scoped_env.h"
#include "testlib/test_certs.h"
#include "testlib/trace_capture.h"

namespace vorpane::testing {
namespace {

class ApiTls : public ApiFixture {
protected:
    void SetUp() override {
        ApiFixture::SetUp();
        ASSERT_TRUE(_ca.writeCa(_dir.file("ca.pem")));
        ASSERT_TRUE(_ca.issue("agent", _dir.file("agent.pem"), _dir.file("agent.key")));
        ASSERT_TRUE(_ca.issue("operator", _dir.file("client.pem"), _dir.file("client.key")));
    }

    // The fixture's plain server is replaced by one over TLS.
    void startTls(const std::string& clientCa, double requestSeconds = 5) {
        _server.reset();
        std::string error;
        auto tls = api::TlsContext::load(_dir.file("agent.pem"), _dir.file("agent.key"), clientCa, &error);
        ASSERT_TRUE(tls) << error;
        api::ApiConfig config = testConfig();
        config.readTimeoutSeconds = requestSeconds;
        _server = std::make_unique<api::ApiServer>();
        ASSERT_TRUE(_server->start(config, kTestToken, &error, std::move(tls))) << error;
    }

    std::unique_ptr<httplib::Client> https(bool trustCa, bool clientCert = false) const {
        const std::string base = "https://127.0.0.1:" + std::to_string(_server->port());
        auto c = clientCert ? std::make_unique<httplib::Client>(base, _dir.file("client.pem"), _dir.file("client.key"))
                            : std::make_unique<httplib::Client>(base);
        if (trustCa) {
            c->set_ca_cert_path(_dir.file("ca.pem").c_str());
        }
        c->enable_server_certificate_verification(true);
        c->set_bearer_token_auth(kTestToken);
        c->set_connection_timeout(30, 0);
        c->set_read_timeout(30, 0);
        return c;
    }

    // A TCP connection to the API that sends bytes and never finishes anything.
    int rawConnect(const std::string& bytes) const {
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(_server->port()));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
        if (!bytes.empty()) {
            EXPECT_EQ(send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL), static_cast<ssize_t>(bytes.size()));
        }
        return fd;
    }

    TestCa _ca;
};

TEST_F(ApiTls, HttpsServesTheApiAndStalledOrPlainClientsHoldNothing) {
    startTls("", 3);
    // A client that opens a connection and stalls its handshake, one that sends half a ClientHello
    // and one that speaks plain HTTP: none of them keeps the others from their answers.
    const int silent = rawConnect("");
    const int half = rawConnect(std::string("\x16\x03\x01\x02\x00\x01", 6));
    const int plain = rawConnect("GET /v1/health HTTP/1.1\r\nHost: x\r\n\r\n");

    auto c = https(true);
    for (int i = 0; i < 3; ++i) {  // kept alive over one session
        auto health = c->Get("/v1/health");
        ASSERT_TRUE(health) << httplib::to_string(health.error());
        EXPECT_EQ(health->status, 200);
    }
    auto subnodes = c->Get("/v1/subnodes");
    ASSERT_TRUE(subnodes);
    EXPECT_EQ(subnodes->status, 200);
    EXPECT_NE(subnodes->body.find("h1:DSK01"), std::string::npos);
    // A large answer goes out in many records.
    auto metrics = c->Get("/metrics");
    ASSERT_TRUE(metrics);
    EXPECT_EQ(metrics->status, 200);
    EXPECT_GT(metrics->body.size(), 1000u);
    // The token is still asked for.
    httplib::Client bare("https://127.0.0.1:" + std::to_string(_server->port()));
    bare.set_ca_cert_path(_dir.file("ca.pem").c_str());
    bare.enable_server_certificate_verification(true);
    auto refused = bare.Get("/v1/subnodes");
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->status, 401);

    // A client that does not trust the agent's CA gets no answer; the plain HTTP client gets no
    // HTTP answer, and the stalled ones are cut once the request time is over.
    auto untrusted = https(false)->Get("/v1/health");
    EXPECT_FALSE(untrusted);
    // Refused in the handshake or by the check after it, as the timing falls.
    EXPECT_TRUE(untrusted.error() == httplib::Error::SSLServerVerification ||
                untrusted.error() == httplib::Error::SSLConnection)
        << httplib::to_string(untrusted.error());
    for (int fd : {silent, half, plain}) {
        char buffer[256];
        timeval tv{30, 0};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        ssize_t n = 0;
        std::string got;
        while ((n = recv(fd, buffer, sizeof buffer, 0)) > 0) {
            got.append(buffer, static_cast<size_t>(n));
        }
        EXPECT_TRUE(n == 0 || (n < 0 && errno == ECONNRESET)) << "the connection stays open";
        EXPECT_EQ(got.find("HTTP/1.1 200"), std::string::npos);
        close(fd);
    }
}

TEST_F(ApiTls, MutualTlsWantsACertificateTheClientCaSigned) {
    startTls(_dir.file("ca.pem"));
    auto without = https(true)->Get("/v1/health");
    EXPECT_FALSE(without);
    auto with = https(true, true)->Get("/v1/subnodes");
    ASSERT_TRUE(with) << httplib::to_string(with.error());
    EXPECT_EQ(with->status, 200);
    // A certificate from another CA is refused as well.
    TestCa other("another CA");
    ASSERT_TRUE(other.issue("stranger", _dir.file("client.pem"), _dir.file("client.key")));
    EXPECT_FALSE(https(true, true)->Get("/v1/health"));
}

TEST_F(ApiTls, BadFilesAndPlainHttpToOtherHostsKeepTheApiOffAndSayWhy) {
    std::string error;
    EXPECT_FALSE(api::TlsContext::load(_dir.file("missing.pem"), _dir.file("agent.key"), "", &error));
    EXPECT_NE(error.find("VORPANE_API_TLS_CERT=" + _dir.file("missing.pem")), std::string::npos) << error;
    ASSERT_TRUE(_ca.issue("other", _dir.file("other.pem"), _dir.file("other.key")));
    EXPECT_FALSE(api::TlsContext::load(_dir.file("agent.pem"), _dir.file("other.key"), "", &error));
    EXPECT_NE(error.find("is not the key of"), std::string::npos) << error;
    EXPECT_FALSE(api::TlsContext::load(_dir.file("agent.pem"), _dir.file("agent.key"), _dir.file("agent.key"), &error));
    EXPECT_NE(error.find("VORPANE_API_TLS_CLIENT_CA"), std::string::npos) << error;

    api::ApiConfig config;
    {
        ScopedEnv cert("VORPANE_API_TLS_CERT", _dir.file("agent.pem"));
        EXPECT_FALSE(api::readApiConfig(&config, &error));
        EXPECT_EQ(error, "VORPANE_API_TLS_CERT is set without VORPANE_API_TLS_KEY");
    }
    config = api::ApiConfig();
    config.bind = "0.0.0.0";
    EXPECT_FALSE(api::remoteServingAllowed(config, &error));
    EXPECT_NE(error.find("VORPANE_API_PLAIN_REMOTE=Y"), std::string::npos) << error;
    config.plainRemote = true;
    EXPECT_TRUE(api::remoteServingAllowed(config, &error));
    config.plainRemote = false;
    config.tlsCert = "c.pem";
    EXPECT_TRUE(api::remoteServingAllowed(config, &error));
    config.tlsCert.clear();
    config.bind = "127.0.0.2";
    EXPECT_TRUE(api::remoteServingAllowed(config, &error));

    // The agent's API: refused, off, and the process goes on.
    ScopedEnv port("VORPANE_API_PORT", "0");
    {
        TraceCapture trace;
        ScopedEnv anyPort("VORPANE_API_PORT", "1");
        ScopedEnv bind("VORPANE_API_BIND", "0.0.0.0");
        api::AgentApiInfo info;
        EXPECT_TRUE(api::startAgentApi(&info, &error));
        EXPECT_FALSE(info.on);
        EXPECT_NE(info.off.find("VORPANE_API_BIND=0.0.0.0 is reached from other hosts"), std::string::npos);
        EXPECT_TRUE(trace.contains("Error: management API not started: VORPANE_API_BIND=0.0.0.0"));
    }
    {
        TraceCapture trace;
        ScopedEnv anyPort("VORPANE_API_PORT", "1");
        ScopedEnv cert("VORPANE_API_TLS_CERT", _dir.file("agent.key"));
        ScopedEnv key("VORPANE_API_TLS_KEY", _dir.file("agent.key"));
        api::AgentApiInfo info;
        EXPECT_TRUE(api::startAgentApi(&info, &error));
        EXPECT_FALSE(info.on);
        EXPECT_TRUE(trace.contains("Error: management API not started: VORPANE_API_TLS_CERT="));
    }
    api::stopAgentApi();
}

}  // namespace
}  // namespace vorpane::testing
