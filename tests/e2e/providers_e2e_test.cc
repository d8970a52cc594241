// The real agent started with no arguments: the host application and a SOCK definition reach a
// collector of its hub, the providers publish their status, and a SIGTERM takes them offline.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <string>

#include "interfaces/dch_client.h"
#include "interfaces/dch_protocol.h"
#include "testlib/agent_harness.h"
#include "testlib/child_process.h"
#include "testlib/hub_test_client.h"
#include "testlib/temp_dir.h"

namespace {

using vorpane::testing::ChildProcess;
using vorpane::testing::TempDir;

// The texts of the next data message's values, or nothing.
std::optional<std::vector<std::string>> nextRow(vorpane::DCdataWaiter* waiter, double seconds) {
    std::vector<char> buffer(65536);
    if (dc_waitOnData(waiter, buffer.data(), buffer.size(), seconds) != 0) {
        return std::nullopt;
    }
    vorpane::dch::FieldReader r(buffer.data(), buffer.size());
    std::vector<std::string> values{std::string(r.next().cText())};  // the source
    r.next();                                                        // control field
    while (vorpane::dch::FieldReader::Field f = r.next()) {
        int32_t n = 0;
        values.push_back(f.extra == 'D' ? std::string(f.cText()) : f.int32(&n) ? std::to_string(n) : "?");
    }
    return values;
}

void sendLine(int port, const std::string& line) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
        (void)send(fd, line.data(), line.size(), MSG_NOSIGNAL);
    }
    close(fd);
}

TEST(ProvidersInTheAgent, TheDefaultStartCollectsHostTablesAndRunsDefinitions) {
    TempDir dir;
    std::filesystem::create_directories(dir.path() + "/root/proc/net");
    std::filesystem::create_directories(dir.path() + "/defs");
    std::ofstream(dir.path() + "/root/proc/loadavg") << "1.25 0.50 0.05 2/321 4321\n";
    const int hubPort = vorpane::testing::freeHubPort();
    int sockPort = vorpane::testing::freeHubPort();
    for (int i = 0; i < 5 && sockPort == hubPort; ++i) {
        sockPort = vorpane::testing::freeHubPort();
    }
    std::ofstream(dir.path() + "/defs/orders.desc") << "application ORDERS\ngroup ORDER K 300\nattribute @Id C 4\n"
                                                       "attribute Status D 16\nsource SOCK protocol=tcp port="
                                                    << sockPort << "\n";

    // The hub hands each row of a group to one collector: with item 15 at 0 the agent leaves its own
    // application VAGENT alone, so that this test's collector is the one that reads the DPSTATUS rows.
    std::ofstream(dir.path() + "/psf") << "0 = 0\n1 = OT\n2 = VA\n3 = Vorpane Agent\n4 = %VORPANE.VAGENT\n"
                                          "6 = Vorpane Agent Subnode\n7 = %VORPANE.VAGENT.SUBNODE.000000000\n"
                                          "15 = 0\n32 = zotatbls\n";
    ChildProcess agent({VORPANE_AGENT_BIN},
                       {"ZOTA_DCH_PORT=" + std::to_string(hubPort), "VORPANE_WORKDIR=" + dir.path() + "/work",
                        "VORPANE_TIME_SPEEDUP=20", "VORPANE_API_PORT=0", "VORPANE_HOST_ROOT=" + dir.path() + "/root",
                        "VORPANE_PROVIDER_DIR=" + dir.path() + "/defs", "VORPANE_TRACE=ERROR,STATE",
                        "ZOTA_STARTUP_DP", "VORPANE_PRODUCT_SPEC=" + dir.path() + "/psf"});
    ASSERT_TRUE(agent.waitForOutput("startup complete.")) << agent.output();
    setenv("ZOTA_DCH_PORT", std::to_string(hubPort).c_str(), 1);

    // The host application's LOAD group comes on its interval (30 s, 1.5 s at this speed).
    auto load = dc_waitOnDataInitialize("VPHOST", "LOAD");
    ASSERT_TRUE(load);
    std::optional<std::vector<std::string>> row = nextRow(load.get(), 60);
    ASSERT_TRUE(row);
    EXPECT_EQ(std::vector<std::string>(row->begin() + 1, row->end()),
              (std::vector<std::string>{"125", "50", "5", "2", "321"}));
    dc_waitOnDataDestroy(std::move(load));

    // The SOCK definition listens; its lines become rows.
    auto orders = dc_waitOnDataInitialize("ORDERS", "ORDER");
    ASSERT_TRUE(orders);
    row.reset();
    // The listener may not be up yet: the line goes again until a row comes or the deadline passes.
    vorpane::testing::waitUntil([&] {
        sendLine(sockPort, "ORDER shop1 Id=7 Status=shipped\n");
        row = nextRow(orders.get(), 0.1);
        return row.has_value();
    });
    ASSERT_TRUE(row) << agent.output();
    EXPECT_EQ(*row, (std::vector<std::string>{"shop1", "7", "shipped"}));
    dc_waitOnDataDestroy(std::move(orders));

    // Each provider's status, one set every 30 s (1.5 s).
    auto status = dc_waitOnDataInitialize("VAGENT", "DPSTATUS");
    ASSERT_TRUE(status);
    std::set<std::string> providers;
    while (providers.size() < 2) {
        row = nextRow(status.get(), 60);
        ASSERT_TRUE(row);
        EXPECT_EQ((*row)[0], "ASFS");
        providers.insert((*row)[1]);
    }
    EXPECT_EQ(providers, (std::set<std::string>{"HOST", "SOCK:orders.desc"}));
    dc_waitOnDataDestroy(std::move(status));
    unsetenv("ZOTA_DCH_PORT");

    agent.signal(SIGTERM);
    EXPECT_EQ(agent.waitExit(), 0);
    std::ifstream log(dir.path() + "/work/vorpane-agent.log");
    std::string text((std::istreambuf_iterator<char>(log)), std::istreambuf_iterator<char>());
    EXPECT_NE(text.find("ASFS data provider stopped"), std::string::npos);
}

}  // namespace
