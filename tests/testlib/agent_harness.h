// What whole-process tests of the real agent share: the environment of an agent with its hub and
// management API on ports of the test, the environment of the providers and tools that talk to it,
// and vorpanectl --json answers parsed.
#pragma once

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace vorpane::testing {

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

}  // namespace vorpane::testing
