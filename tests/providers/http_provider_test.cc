// HTTP probes against a loopback test server: success with and without a content match, a server
// error, a time-out and a refused connection; the rows as a collector of the real hub sees them.
// HTTPS against a loopback TLS server whose self-signed certificate the test makes with a known
// expiry: the days left, and a certificate that is not trusted.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>

#include <condition_variable>
#include <mutex>
#include <thread>

#include "providers/http_provider.h"
#include "providers/row_collector.h"
#include "testlib/hub_fixture.h"
#include "testlib/hub_test_client.h"
#include "testlib/temp_dir.h"
#include "testlib/test_certs.h"

namespace vorpane::providers {
namespace {

using testing::ReceivedRow;
using testing::RowCollector;
using testing::TestHub;

class HttpAgainstServer : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(_hub.ready());
        _server.Get("/ok", [](const httplib::Request&, httplib::Response& res) {
            res.set_content("Welcome home", "text/plain");
        });
        _server.Get("/big", [](const httplib::Request&, httplib::Response& res) {
            res.set_content(std::string(200 * 1024, 'x') + " end", "text/plain");  // one line
        });
        _server.Get("/fail", [](const httplib::Request&, httplib::Response& res) {
            res.status = 500;
            res.set_content("broken", "text/plain");
        });
        _server.Get("/slow", [this](const httplib::Request&, httplib::Response& res) {
            std::unique_lock<std::mutex> lock(_slowLock);
            _slowCond.wait(lock, [this] { return _released; });  // until the test ends
            res.set_content("late", "text/plain");
        });
        _port = _server.bind_to_any_port("127.0.0.1");  // listening from here on
        ASSERT_GT(_port, 0);
        _serverThread = std::thread([this] { _server.listen_after_bind(); });
    }
    void TearDown() override {
        {
            std::lock_guard<std::mutex> lock(_slowLock);
            _released = true;
        }
        _slowCond.notify_all();
        _server.stop();
        _serverThread.join();
    }

    std::string base() const { return "http://127.0.0.1:" + std::to_string(_port); }

    // The provider of the given url lines; by default one for each outcome.
    std::unique_ptr<HttpProvider> make(std::string urls = "") {
        if (urls.empty()) {
            urls = "url home " + base() + "/ok match=Welcome\n"
                   "url nomatch " + base() + "/ok match=\"Good bye\"\n"
                   "url fail " + base() + "/fail\n"
                   "url slow " + base() + "/slow\n"
                   "url refused http://127.0.0.1:" + std::to_string(testing::freeHubPort()) + "/\n";
        }
        const std::string text = "application VPWEB\n"
                                 "group PROBE K 300\n"
                                 "attribute @Name D 16\n"
                                 "attribute Status_Code G 4\n"
                                 "attribute Bytes G 4\n"
                                 "attribute Matched G 2\n"
                                 "attribute Cert_Days_Left G 4\n"
                                 "attribute Error D 64\n"
                                 "source HTTP interval=60 timeout=30\n" + urls;
        Definition d;
        dp::ParseError e;
        d.file = "/defs/web.desc";
        EXPECT_TRUE(parseDefinition(text, &d, &e)) << e.reason;
        ProviderContext context;
        context.sourceName = "probes";
        std::unique_ptr<Provider> p = HttpProvider::make(d, context, &e);
        EXPECT_TRUE(p) << e.line << ": " << e.reason;
        return std::unique_ptr<HttpProvider>(static_cast<HttpProvider*>(p.release()));
    }

    TestHub _hub;  // the clock runs 100 times faster: a time-out of 30 s is 0.3 s
    httplib::Server _server;
    int _port = 0;
    std::thread _serverThread;
    std::mutex _slowLock;
    std::condition_variable _slowCond;
    bool _released = false;
};

TEST_F(HttpAgainstServer, EachOutcomeIsOneRowOfTheSet) {
    std::unique_ptr<HttpProvider> provider = make();
    std::vector<HttpProvider::Result> r = provider->probeAll();
    ASSERT_EQ(r.size(), 5u);
    EXPECT_EQ(r[0].statusCode, 200);
    EXPECT_EQ(r[0].bytes, 12);
    EXPECT_EQ(r[0].matched, 1);
    EXPECT_EQ(r[0].certDaysLeft, -1);
    EXPECT_EQ(r[0].error, "");
    EXPECT_EQ(r[1].matched, 0);
    EXPECT_EQ(r[2].statusCode, 500);
    EXPECT_EQ(r[2].matched, -1);
    EXPECT_EQ(r[3].statusCode, 0);
    EXPECT_NE(r[3].error.find("timed out"), std::string::npos) << r[3].error;
    EXPECT_EQ(r[4].statusCode, 0);
    EXPECT_NE(r[4].error.find("onnect"), std::string::npos) << r[4].error;

    RowCollector collector("VPWEB", "PROBE");
    ASSERT_TRUE(collector.waitUntilDelivering([&] { provider->probeAll(); }));
    while (collector.next(0.3)) {
    }
    provider->probeAll();
    std::vector<ReceivedRow> rows;
    while (rows.size() < 5) {
        std::optional<ReceivedRow> row = collector.next(10);
        ASSERT_TRUE(row);
        rows.push_back(*row);
    }
    EXPECT_EQ(rows[0].source, "probes");
    EXPECT_EQ(rows[0].control, 0x01);
    EXPECT_EQ(rows[4].control, 0x10);
    EXPECT_EQ(rows[0].values, (std::vector<std::string>{"home", "200", "12", "1", "-1", ""}));
    EXPECT_EQ(rows[1].values, (std::vector<std::string>{"nomatch", "200", "12", "0", "-1", ""}));
    EXPECT_EQ(rows[2].values, (std::vector<std::string>{"fail", "500", "6", "-1", "-1", ""}));
    EXPECT_EQ(rows[3].values[0], "slow");
    EXPECT_EQ(rows[3].values[1], "0");
    EXPECT_NE(rows[3].values[5].find("timed out"), std::string::npos);
    EXPECT_EQ(rows[4].values[0], "refused");
    EXPECT_NE(rows[4].values[5], "");
    EXPECT_EQ(provider->status().errors.load(), 0);
}

// The page is searched as a whole, in one pass: a long line does not deepen the matcher's stack.
TEST_F(HttpAgainstServer, AOneLinePageOf200KiBIsSearchedAndANormalPageStillMatches) {
    std::unique_ptr<HttpProvider> provider = make("url any " + base() + "/big match=.*\n"
                                                  "url tail " + base() + "/big match=\"^((x))*(.)* end$\"\n"
                                                  "url none " + base() + "/big match=\"(x|xx)*y\"\n"
                                                  "url home " + base() + "/ok match=\"^Welcome\\b\"\n");
    std::vector<HttpProvider::Result> r = provider->probeAll();
    ASSERT_EQ(r.size(), 4u);
    for (const HttpProvider::Result& one : r) {
        EXPECT_EQ(one.statusCode, 200) << one.error;
    }
    EXPECT_EQ(r[0].bytes, 200 * 1024 + 4);
    EXPECT_EQ(r[0].matched, 1);
    EXPECT_EQ(r[1].matched, 1);
    EXPECT_EQ(r[2].matched, 0);
    EXPECT_EQ(r[3].matched, 1);
}

class HttpsAgainstServer : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(_hub.ready());
        // 30 and a half days: the whole days left are 30 however long the test takes.
        const vorpane::testing::TestCa ca;
        ASSERT_TRUE(ca.writeCa(_dir.file("ca.pem")));
        ASSERT_TRUE(ca.issue("127.0.0.1", _dir.file("cert.pem"), _dir.file("key.pem"), 30 * 86400 + 43200));
        _server = std::make_unique<httplib::SSLServer>(_dir.file("cert.pem").c_str(), _dir.file("key.pem").c_str());
        ASSERT_TRUE(_server->is_valid());
        _server->Get("/health", [](const httplib::Request&, httplib::Response& res) {
            res.set_content("{\"status\": \"up\"}", "application/json");
        });
        _port = _server->bind_to_any_port("127.0.0.1");
        ASSERT_GT(_port, 0);
        _serverThread = std::thread([this] { _server->listen_after_bind(); });
    }
    void TearDown() override {
        if (_server) {
            _server->stop();
        }
        if (_serverThread.joinable()) {
            _serverThread.join();
        }
    }

    TestHub _hub;
    testing::TempDir _dir;
    std::unique_ptr<httplib::SSLServer> _server;
    int _port = 0;
    std::thread _serverThread;
};

TEST_F(HttpsAgainstServer, CertificateDaysLeftComeFromTheServersCertificate) {
    const std::string url = "https://127.0.0.1:" + std::to_string(_port) + "/health";
    const std::string text = "application VPTLS\n"
                             "group PROBE K 300\n"
                             "attribute @Name D 16\n"
                             "attribute Status_Code G 4\n"
                             "attribute Matched G 2\n"
                             "attribute Cert_Days_Left G 4\n"
                             "attribute Error D 128\n"
                             "source HTTP interval=60 timeout=3000\n"  // 30 s of real time: TLS under sanitizers
                             "url trusted " + url + " match=\"\\\"status\\\": *\\\"up\\\"\" cafile=" +
                             _dir.file("ca.pem") + "\n"
                             "url untrusted " + url + "\n";
    Definition d;
    dp::ParseError e;
    d.file = "/defs/tls.desc";
    ASSERT_TRUE(parseDefinition(text, &d, &e)) << e.reason;
    ProviderContext context;
    context.sourceName = "probes";
    std::unique_ptr<Provider> p = HttpProvider::make(d, context, &e);
    ASSERT_TRUE(p) << e.line << ": " << e.reason;
    auto* provider = static_cast<HttpProvider*>(p.get());

    std::vector<HttpProvider::Result> r = provider->probeAll();
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[0].error, "");
    EXPECT_EQ(r[0].statusCode, 200);
    EXPECT_EQ(r[0].matched, 1);
    EXPECT_EQ(r[0].certDaysLeft, 30);
    // Without the certificate to trust, the handshake is refused: no response, the reason, no days.
    EXPECT_EQ(r[1].statusCode, 0);
    EXPECT_NE(r[1].error.find("certificate"), std::string::npos) << r[1].error;
    EXPECT_EQ(r[1].certDaysLeft, -1);

    RowCollector collector("VPTLS", "PROBE");
    ASSERT_TRUE(collector.waitUntilDelivering([&] { provider->probeAll(); }));
    while (collector.next(0.3)) {
    }
    provider->probeAll();
    std::optional<ReceivedRow> row = collector.next(10);
    ASSERT_TRUE(row);
    EXPECT_EQ(row->values, (std::vector<std::string>{"trusted", "200", "1", "30", ""}));
}

TEST(HttpDefinition, SourceSectionsAreRefusedWithTheirLine) {
    const std::string app = "application VPWEB\ngroup PROBE K 300\nattribute @Name D 16\n";
    struct Case {
        std::string section;
        int line;
        const char* reason;
    };
    ProviderContext context;
    for (const Case& c : std::vector<Case>{
             {"source HTTP\n", 4, "at least one url"},
             {"source HTTP\nurl a ftp://x/\n", 5, "not http:// or https://"},
             {"source HTTP\nurl a\n", 5, "url NAME URL"},
             {"source HTTP\nurl a http://127.0.0.1/ match=\"(\"\n", 5, "match does not compile: '(' without ')'"},
             {"source HTTP\nurl a http://127.0.0.1/ match=a(?!b)\n", 5, "look-ahead and look-behind are not supported"},
             {"source HTTP\nurl a http://127.0.0.1/ colour=red\n", 5, "unexpected \"colour=red\""},
             {"source HTTP timeout=0\nurl a http://127.0.0.1/\n", 4, "timeout=0"},
             {"source HTTP\nurl a http://127.0.0.1/ cafile=/etc/ca.pem\n", 5, "cafile= is for https://"},
         }) {
        Definition d;
        dp::ParseError e;
        ASSERT_TRUE(parseDefinition(app + c.section, &d, &e)) << e.reason;
        EXPECT_EQ(HttpProvider::make(d, context, &e), nullptr) << c.section;
        EXPECT_EQ(e.line, c.line) << c.section;
        EXPECT_NE(e.reason.find(c.reason), std::string::npos) << c.section << ": " << e.reason;
    }
}

}  // namespace
}  // namespace vorpane::providers
