// What whole-process tests of the real agent share: the environment of an agent with its hub and
// management API on ports of the test, the environment of the providers and tools that talk to it,
// and vorpanectl --json answers parsed.
//
// Waits are measured in time, never in tries: how many asks fit in a wait depends on the build
// (a plain Debug build asks many times faster than a sanitizer build) and on the machine's load.
#pragma once

#include <chrono>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

namespace vorpane::testing {

// How long a whole-process test waits for something that must come: generous, so that a loaded
// 2-core machine running a sanitizer build meets it.
inline constexpr std::chrono::seconds kProcessWait{30};

// Asks again until accept holds for the answer or the deadline passes; the last answer, accepted or
// not, so that the caller can show it. Each ask is a round trip to a process, which paces the loop.
template <typename Ask, typename Accept>
auto askUntil(Ask&& ask, Accept&& accept, std::chrono::milliseconds deadline = kProcessWait) -> decltype(ask()) {
    const auto until = std::chrono::steady_clock::now() + deadline;
    auto answer = ask();
    while (!accept(answer) && std::chrono::steady_clock::now() < until) {
        answer = ask();
    }
    return answer;
}

// Checks again until check() holds or the deadline passes: whether it held.
template <typename Check>
bool waitUntil(Check&& check, std::chrono::milliseconds deadline = kProcessWait) {
    return askUntil(std::forward<Check>(check), [](bool held) { return held; }, deadline);
}

struct AgentPorts {
    AgentPorts();
    int hub;
    int api;
};

// An agent working in workDir, tracing errors and state to standard error, its clock sped up, with
// none of the test's own hub address, API token and bind address, start-up providers, local-action,
// atomic-situation and demand-report settings or product specification.
// extra entries come last and replace earlier ones.
std::vector<std::string> agentEnvironment(const std::string& workDir, const AgentPorts& ports,
                                          std::vector<std::string> extra = {});
// A vorpane-dp (or another hub client) that reaches that agent's hub.
std::vector<std::string> providerEnvironment(const std::string& workDir, const AgentPorts& ports);

// vorpanectl --json with args against the agent of env; the parsed answer (null when the output is
// no JSON). A non-zero exit fails the calling test.
nlohmann::json ctlJson(const std::string& vorpanectl, const std::vector<std::string>& env,
                       std::vector<std::string> args);

// The (application, table) of a registered table whose application begins with applPrefix and that
// has the attribute; empty names when there is none (yet).
std::pair<std::string, std::string> tableWith(const std::string& vorpanectl, const std::vector<std::string>& env,
                                              const std::string& applPrefix, const std::string& attribute);

// Sends line over a new TCP connection to 127.0.0.1:port and closes it; a listener that is not up yet
// gets nothing (callers send again until they see the row).
void sendLine(int port, const std::string& line);

}  // namespace vorpane::testing
