#include "testlib/agent_harness.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "testlib/child_process.h"
#include "testlib/hub_test_client.h"

namespace vorpane::testing {

AgentPorts::AgentPorts() : hub(freeHubPort()), api(freeHubPort()) {}

std::vector<std::string> agentEnvironment(const std::string& workDir, const AgentPorts& ports,
                                          std::vector<std::string> extra) {
    std::vector<std::string> e = {"VORPANE_WORKDIR=" + workDir,
                                  "VORPANE_TRACE=ERROR STATE",
                                  "VORPANE_TRACE_STDERR=Y",
                                  "ZOTA_DCH_PORT=" + std::to_string(ports.hub),
                                  "ZOTA_DCH_ADDR",
                                  "VORPANE_API_PORT=" + std::to_string(ports.api),
                                  "VORPANE_TIME_SPEEDUP=50",
                                  "VORPANE_API_TOKEN",
                                  "VORPANE_API_BIND",
                                  "ZOTA_STARTUP_DP",
                                  "ZOTA_LOCAL_ACTION",
                                  "ZOTA_ATOMIC_SITUATIONS",
                                  "ZOTA_DEMAND_REPORT",
                                  "VORPANE_PRODUCT_SPEC"};
    e.insert(e.end(), extra.begin(), extra.end());
    return e;
}

std::vector<std::string> providerEnvironment(const std::string& workDir, const AgentPorts& ports) {
    return {"ZOTA_DCH_PORT=" + std::to_string(ports.hub), "ZOTA_DCH_ADDR", "VORPANE_WORKDIR=" + workDir};
}

nlohmann::json ctlJson(const std::string& vorpanectl, const std::vector<std::string>& env,
                       std::vector<std::string> args) {
    args.insert(args.begin(), {vorpanectl, "--json"});
    ChildProcess ctl(args, env);
    EXPECT_EQ(ctl.waitExit(), 0) << ctl.output();
    return nlohmann::json::parse(ctl.output(), nullptr, false);
}

std::pair<std::string, std::string> tableWith(const std::string& vorpanectl, const std::vector<std::string>& env,
                                              const std::string& applPrefix, const std::string& attribute) {
    const nlohmann::json tables = ctlJson(vorpanectl, env, {"tables", "--all"});
    if (!tables.is_object()) {
        return {};
    }
    for (const auto& t : tables["tables"]) {
        // As listed with its release ("VAGENT00"): subnode names carry it too.
        const std::string appl = t["application"].get<std::string>() + t["release"].get<std::string>();
        if (appl.rfind(applPrefix, 0) != 0) {
            continue;
        }
        const nlohmann::json desc = ctlJson(vorpanectl, env, {"tables", appl, t["table"]});
        for (const auto& c : desc["columns"]) {
            if (c["name"] == attribute) {
                return {appl, t["table"]};
            }
        }
    }
    return {};
}

void sendLine(int port, const std::string& line) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return;
    }
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
        (void)send(fd, line.data(), line.size(), MSG_NOSIGNAL);
    }
    close(fd);
}

}  // namespace vorpane::testing
