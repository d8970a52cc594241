// SNMP: the conversions of values, the checks of a definition, and polls, walks and traps against
// Debian's snmpd on a random loopback port, the rows as a collector of the real hub sees them.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <sstream>
#include <map>
#include <thread>

#include "providers/row_collector.h"
#include "providers/snmp_provider.h"
#include "testlib/hub_fixture.h"
#include "testlib/snmpd.h"
#include "testlib/temp_dir.h"
#include "testlib/trace_capture.h"

namespace vorpane::providers {
namespace {

using testing::ReceivedRow;
using testing::RowCollector;
using testing::SnmpDaemon;
using testing::TempDir;
using testing::TestHub;
using Clock = std::chrono::steady_clock;

// snmpd is a declared dependency of the build machines (scripts/deps.sh); only a developer's
// machine without it skips, and CI fails instead of hiding it.
bool skipWithoutSnmpd() {
    if (SnmpDaemon::installed()) {
        return false;
    }
    if (std::getenv("CI") != nullptr) {
        ADD_FAILURE() << "snmpd and the snmp tools are not installed (scripts/deps.sh)";
    }
    return true;
}

const char* kApplication =
    "application VPSNMP\n"
    "group SYSTEM N 300\n"
    "attribute Descr D 64\n"
    "attribute UpTime G 4\n"
    "attribute Status D 16\n"
    "attribute Error D 128\n"
    "group IFTABLE N 300\n"
    "attribute @Index D 16\n"
    "attribute Descr D 32\n"
    "attribute Type G 4\n"
    "attribute Mtu G 4\n"
    "attribute In_Octets C 4\n"
    "attribute HC_In_Octets C 4\n"
    "attribute Status D 16\n"
    "attribute Error D 128\n"
    "group TRAPS E 0\n"
    "attribute Sender D 32\n"
    "attribute Kind D 8\n"
    "attribute Trap_OID D 64\n"
    "attribute Varbinds D 256\n";

std::unique_ptr<SnmpProvider> makeProvider(const std::string& source, dp::ParseError* e,
                                           const std::string& application = kApplication) {
    Definition d;
    d.file = "/defs/net.desc";
    if (!parseDefinition(application + source, &d, e)) {
        return nullptr;
    }
    ProviderContext context;
    std::unique_ptr<Provider> p = SnmpProvider::make(d, context, e);
    return std::unique_ptr<SnmpProvider>(static_cast<SnmpProvider*>(p.release()));
}

TEST(SnmpValues, ConvertedToAttributes) {
    const unsigned char text[] = {'e', 't', 'h', '0'};
    const unsigned char mac[] = {0x00, 0x1a, 0x2b, 0xff};
    EXPECT_EQ(snmp::octetText(text, 4), "eth0");
    EXPECT_EQ(snmp::octetText(mac, 4), "00:1a:2b:ff");
    EXPECT_EQ(snmp::octetText(text, 0), "");

    // Counters keep their low 31 (15) bits: non-negative, wrapping; other numbers saturate.
    EXPECT_EQ(snmp::fitUnsigned('C', 4, 4294967295u), 2147483647);
    EXPECT_EQ(snmp::fitUnsigned('C', 4, 2147483648u), 0);
    EXPECT_EQ(snmp::fitUnsigned('C', 4, 11958001327ull), static_cast<int32_t>(11958001327ull % 2147483648ull));
    EXPECT_EQ(snmp::fitUnsigned('C', 2, 40000), 40000 - 32768);
    EXPECT_EQ(snmp::fitUnsigned('G', 4, 4294967295u), 2147483647);
    EXPECT_EQ(snmp::fitNumber('G', 2, -40000), -32768);
    EXPECT_EQ(snmp::fitNumber('G', 4, -5), -5);

    // A Counter32 that went down wrapped at 2^32; a Counter64 that went down restarted.
    EXPECT_EQ(snmp::counterIncrease(snmp::Value::kCounter32, 4294967290u, 5), 11u);
    EXPECT_EQ(snmp::counterIncrease(snmp::Value::kCounter32, 100, 150), 50u);
    EXPECT_EQ(snmp::counterIncrease(snmp::Value::kCounter64, 1000, 10), 0u);

    snmp::Oid o;
    std::string reason;
    ASSERT_TRUE(snmp::parseOid(".1.3.6.1.2.1.1.3.0", &o, &reason)) << reason;
    EXPECT_EQ(snmp::oidText(o), "1.3.6.1.2.1.1.3.0");
    EXPECT_FALSE(snmp::parseOid("1.3..6", &o, &reason));
    EXPECT_FALSE(snmp::parseOid("1.3.99999999999", &o, &reason));
    EXPECT_FALSE(snmp::parseOid("NO-SUCH-MIB::nothingHere", &o, &reason));
}

TEST(SnmpDefinition, BadDefinitionsAreRefusedWithTheirLine) {
    TempDir dir;
    dir.write("v3.secrets", "auth authpass123\npriv privpass123\n");
    const std::string poll = "scalar SYSTEM\noid Descr 1.3.6.1.2.1.1.1.0\n";
    struct Case {
        std::string source;
        std::string reason;
    };
    const Case cases[] = {
        {"source SNMP\nagent a 127.0.0.1 version=4\n" + poll, "SNMP version \"4\" is not 1, 2c or 3"},
        {"source SNMP\nagent a 127.0.0.1\nscalar SYSTEM\noid Descr 1.3.x.1\n", "is neither numeric nor a name"},
        {"source SNMP\nagent a 127.0.0.1 version=3 user=u secrets=" + dir.file("missing") + "\n" + poll,
         "cannot be read"},
        {"source SNMP\nagent " + std::string(33, 'a') + " 127.0.0.1\n" + poll, "is not 1 to 32 letters"},
        {"source SNMP\nagent a 127.0.0.1 version=3 user=u auth=SHA1024 secrets=" + dir.file("v3.secrets") + "\n" + poll,
         "auth protocol"},
        {"source SNMP\nagent a 127.0.0.1\nscalar TRAPS\noid Descr 1.3.6.1.2.1.1.1.0\n", "its type is N"},
        {"source SNMP\nagent a 127.0.0.1\ntable IFTABLE index=Descr\noid Type 1.3.6.1.2.1.2.2.1.3\n",
         "a key attribute"},
        {"source SNMP\nagent a 127.0.0.1\nscalar SYSTEM\noid Nothing 1.3.6.1.2.1.1.1.0\n", "has no attribute Nothing"},
        {"source SNMP\n" + poll, "at least one agent"},
        {"source SNMP\nagent a 127.0.0.1\ntraps SYSTEM\n", "type E"},
    };
    for (const Case& c : cases) {
        dp::ParseError e;
        EXPECT_EQ(makeProvider(c.source, &e), nullptr) << c.source;
        EXPECT_NE(e.reason.find(c.reason), std::string::npos) << c.source << " → " << e.reason;
        EXPECT_GT(e.line, 0) << c.source;
    }
    dp::ParseError e;
    EXPECT_NE(makeProvider("source SNMP\nagent a 127.0.0.1 version=3 user=u secrets=" + dir.file("v3.secrets") +
                               "\n" + poll,
                           &e),
              nullptr)
        << e.reason;
}

class SnmpAgainstSnmpd : public ::testing::Test {
  protected:
    void SetUp() override {
        if (skipWithoutSnmpd()) {
            GTEST_SKIP() << "snmpd is not installed";
        }
        ASSERT_TRUE(_hub.ready());
        _snmpd = std::make_unique<SnmpDaemon>();
        ASSERT_TRUE(_snmpd->ready());
        _dir.write("v3.secrets", std::string("auth ") + SnmpDaemon::kAuthPassphrase + "\npriv " +
                                     SnmpDaemon::kPrivPassphrase + "\n");
    }
    void TearDown() override {
        _stop.request();
        if (_thread.joinable()) {
            _thread.join();
        }
    }
    void run(std::unique_ptr<SnmpProvider> provider) {
        ASSERT_TRUE(provider);
        _provider = std::move(provider);
        ASSERT_TRUE(_provider->open());
        _thread = std::thread([this] { _provider->run(_stop); });
    }

    TestHub _hub;  // the clock runs 100 times faster: interval=100 is one second
    TempDir _dir;
    std::unique_ptr<SnmpDaemon> _snmpd;
    std::unique_ptr<SnmpProvider> _provider;
    StopSignal _stop;
    std::thread _thread;
};

TEST_F(SnmpAgainstSnmpd, TableRowsEqualSnmpwalkAndScalarsMoveOn) {
    RowCollector system("VPSNMP", "SYSTEM");
    RowCollector interfaces("VPSNMP", "IFTABLE");
    dp::ParseError e;
    run(makeProvider("source SNMP retries=0\n"
                     "agent local " + _snmpd->peer() + "\n"
                     "agent secure " + _snmpd->peer() + " version=3 user=" + SnmpDaemon::kUser +
                         " level=authPriv auth=SHA priv=AES secrets=" + _dir.file("v3.secrets") + "\n"
                     "scalar SYSTEM interval=100 timeout=200\n"
                     "oid Descr 1.3.6.1.2.1.1.1.0\n"
                     "oid UpTime 1.3.6.1.2.1.1.3.0\n"
                     "table IFTABLE index=Index interval=100 timeout=200\n"
                     "oid Descr 1.3.6.1.2.1.2.2.1.2\n"
                     "oid Type 1.3.6.1.2.1.2.2.1.3\n"
                     "oid Mtu 1.3.6.1.2.1.2.2.1.4\n"
                     "oid In_Octets 1.3.6.1.2.1.2.2.1.10\n"
                     "oid HC_In_Octets 1.3.6.1.2.1.31.1.1.1.6\n",
                     &e));
    ASSERT_TRUE(system.waitUntilDelivering([] {}));
    ASSERT_TRUE(interfaces.waitUntilDelivering([] {}));

    // Both agents answer the scalars; sysUpTime goes up from one poll to the next.
    std::map<std::string, std::vector<long>> upTimes;
    const auto deadline = Clock::now() + std::chrono::seconds(60);
    while (Clock::now() < deadline && (upTimes["local"].size() < 2 || upTimes["secure"].size() < 1)) {
        std::optional<ReceivedRow> row = system.next(1);
        if (!row) {
            continue;
        }
        ASSERT_EQ(row->values.size(), 4u);
        EXPECT_EQ(row->values[2], "ok") << row->source << ": " << row->values[3];
        EXPECT_NE(row->values[0].find("Linux"), std::string::npos) << row->values[0];
        upTimes[row->source.substr(0, row->source.find(':'))].push_back(std::stol(row->values[1]));
    }
    ASSERT_GE(upTimes["local"].size(), 2u);
    ASSERT_GE(upTimes["secure"].size(), 1u);
    EXPECT_GT(upTimes["local"][1], upTimes["local"][0]);

    // One full walk of the local agent: its rows, keyed by index, equal snmpwalk's.
    std::map<std::string, std::vector<std::string>> walked;
    const auto walkDeadline = Clock::now() + std::chrono::seconds(60);
    const auto descr = SnmpDaemon::walkColumn(_snmpd->peer(), "1.3.6.1.2.1.2.2.1.2");
    ASSERT_FALSE(descr.empty());
    while (Clock::now() < walkDeadline && walked.size() < descr.size()) {
        std::optional<ReceivedRow> row = interfaces.next(1);
        if (row && row->source.rfind("local", 0) == 0) {
            walked[row->values[0]] = row->values;
        }
    }
    const auto type = SnmpDaemon::walkColumn(_snmpd->peer(), "1.3.6.1.2.1.2.2.1.3");
    const auto mtu = SnmpDaemon::walkColumn(_snmpd->peer(), "1.3.6.1.2.1.2.2.1.4");
    ASSERT_EQ(walked.size(), descr.size());
    for (size_t i = 0; i < descr.size(); ++i) {
        const std::vector<std::string>& row = walked[descr[i].first];
        ASSERT_EQ(row.size(), 8u) << descr[i].first;
        EXPECT_EQ(row[1], descr[i].second);
        EXPECT_EQ(row[2], type[i].second);
        EXPECT_EQ(row[3], mtu[i].second);
        EXPECT_GE(std::stol(row[4]), 0);  // a counter stays non-negative, wrapping at 2^31
        EXPECT_EQ(row[6], "ok");
    }
}

TEST_F(SnmpAgainstSnmpd, AFailingAgentGivesAnErrorRowAndDelaysNoOther) {
    RowCollector system("VPSNMP", "SYSTEM");
    dp::ParseError e;
    run(makeProvider("source SNMP retries=0\n"
                     "agent good " + _snmpd->peer() + "\n"
                     "agent wrong " + _snmpd->peer() + " community=wrong\n"
                     "scalar SYSTEM interval=50 timeout=300\n"
                     "oid Descr 1.3.6.1.2.1.1.1.0\n"
                     "oid UpTime 1.3.6.1.2.1.1.3.0\n",
                     &e));
    ASSERT_TRUE(system.waitUntilDelivering([] {}));

    // snmpd drops requests of an unknown community: the poll times out after 3 s (300 clock
    // seconds); meanwhile the good agent's rows keep coming every half second.
    const auto start = Clock::now();
    int goodRows = 0;
    std::optional<ReceivedRow> errorRow;
    while (Clock::now() - start < std::chrono::seconds(60) && !errorRow) {
        std::optional<ReceivedRow> row = system.next(1);
        if (!row) {
            continue;
        }
        if (row->source.rfind("good", 0) == 0) {
            EXPECT_EQ(row->values[2], "ok");
            ++goodRows;
        } else {
            errorRow = row;
        }
    }
    ASSERT_TRUE(errorRow);
    EXPECT_EQ(errorRow->values[2], "timeout");
    EXPECT_NE(errorRow->values[3].find("no answer within 300 s"), std::string::npos) << errorRow->values[3];
    EXPECT_GE(goodRows, 3) << "the good agent waited for the failing one";

    // A stopped snmpd: the good agent's rows turn into error rows within the time-out.
    _snmpd->stop();
    const auto stopped = Clock::now();
    bool goodFailed = false;
    while (Clock::now() - stopped < std::chrono::seconds(60) && !goodFailed) {
        std::optional<ReceivedRow> row = system.next(1);
        goodFailed = row && row->source.rfind("good", 0) == 0 && row->values[2] != "ok";
    }
    EXPECT_TRUE(goodFailed);
}

TEST_F(SnmpAgainstSnmpd, TrapsAndInformsBecomeEventRows) {
    RowCollector traps("VPSNMP", "TRAPS");
    dp::ParseError e;
    run(makeProvider("source SNMP\n"
                     "agent local " + _snmpd->peer() + "\n"
                     "traps TRAPS port=0\n",
                     &e));
    const std::string to = "127.0.0.1:" + std::to_string(_provider->trapPort());
    std::string out;
    auto trap = [&] {
        SnmpDaemon::runTool({"snmptrap", "-v2c", "-c", "public", to, "", "1.3.6.1.4.1.8072.2.3.0.1",
                             "1.3.6.1.4.1.8072.2.3.2.1", "i", "123", "1.3.6.1.2.1.1.5.0", "s", "core switch"},
                            &out);
    };
    ASSERT_TRUE(traps.waitUntilDelivering(trap));
    std::optional<ReceivedRow> row = traps.next(1);
    ASSERT_TRUE(row);
    EXPECT_EQ(row->source.substr(0, row->source.find(':')), "local");  // the sender's address is the agent's
    EXPECT_EQ(row->values[1], "trap");
    EXPECT_EQ(row->values[2], "1.3.6.1.4.1.8072.2.3.0.1");
    EXPECT_EQ(row->values[3], "1.3.6.1.4.1.8072.2.3.2.1 = 123; 1.3.6.1.2.1.1.5.0 = core switch");

    // An inform is answered: snmpinform exits 0 only then.
    ASSERT_TRUE(SnmpDaemon::runTool({"snmpinform", "-v2c", "-c", "public", "-t", "5", "-r", "1", to, "",
                                     "1.3.6.1.6.3.1.1.5.3", "1.3.6.1.2.1.2.2.1.1.2", "i", "2"},
                                    &out))
        << out;
    std::optional<ReceivedRow> inform;
    const auto deadline = Clock::now() + std::chrono::seconds(30);
    while (Clock::now() < deadline && !(inform && inform->values[1] == "inform")) {
        inform = traps.next(1);
    }
    ASSERT_TRUE(inform);
    EXPECT_EQ(inform->values[2], "1.3.6.1.6.3.1.1.5.3");
}


// The example of docs/providers.md for the host's own snmpd, pointed at the test's snmpd: it reads,
// and its system and interface rows arrive with the 64-bit counters and rates.
TEST_F(SnmpAgainstSnmpd, TheDocumentedExamplePollsSnmpd) {
    std::ifstream page(VORPANE_DOCS_DIR "/providers.md");
    std::stringstream text;
    text << page.rdbuf();
    const std::string doc = text.str();
    const size_t section = doc.find("### SNMP:");
    ASSERT_NE(section, std::string::npos);
    const size_t from = doc.find("```\n", section) + 4;
    std::string example = doc.substr(from, doc.find("```\n", from) - from);
    const size_t at = example.find("127.0.0.1:161");
    ASSERT_NE(at, std::string::npos);
    example.replace(at, 13, _snmpd->peer());
    example.replace(example.find("port=1162"), 9, "port=0");
    for (const char* fast : {"interval=60", "interval=30"}) {
        example.replace(example.find(fast), std::strlen(fast), "interval=100");
    }

    RowCollector system("NETSNMP", "SYSTEM");
    RowCollector interfaces("NETSNMP", "IFTABLE");
    dp::ParseError e;
    run(makeProvider(example, &e, ""));
    ASSERT_TRUE(_provider) << e.line << ": " << e.reason;
    ASSERT_TRUE(system.waitUntilDelivering([] {}));
    std::optional<ReceivedRow> row = system.next(1);
    ASSERT_TRUE(row);
    EXPECT_EQ(row->source.substr(0, row->source.find(':')), "localhost");
    EXPECT_EQ(row->values[3], "ok") << row->values[4];
    ASSERT_TRUE(interfaces.waitUntilDelivering([] {}));
    // Two walks: the second has rates.
    std::map<std::string, int> walks;
    const auto deadline = Clock::now() + std::chrono::seconds(60);
    while (Clock::now() < deadline && walks["1"] < 2) {
        if (std::optional<ReceivedRow> r = interfaces.next(1)) {
            ASSERT_EQ(r->values.size(), 12u);
            EXPECT_EQ(r->values[10], "ok") << r->values[11];
            ++walks[r->values[0]];
        }
    }
    EXPECT_GE(walks["1"], 2);
}

}  // namespace
}  // namespace vorpane::providers
