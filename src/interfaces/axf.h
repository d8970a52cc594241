// The agent framework (AXF) as the agent sees it. Our stand-in lives in src/platform/axf.
#pragma once

#include <optional>
#include <string>
#include <vector>

class PlaxfAutomationCapsule;

// ---------------------------------------------------------------------------------------------------
// Identity and start-up

void AXF_SetSubsystemId(const char* subsystemId);
std::string AXF_GetSubsystemId();
void AXF_SetNodeType(const char* nodeType);
void AXF_SetAffinity(const char* affinity);
void AXF_SetProduct(const char* productCode, const char* version);

// The host name for the heartbeat probe name, or nothing when it cannot be determined.
std::optional<std::string> AXF_GetHostname();

using AXF_AgentLoader = int (*)();
void AXF_RegisterAgentLoader(AXF_AgentLoader loader);

using AXF_CommandCallback = long (*)(PlaxfAutomationCapsule* capsule);
void AXF_RegisterCommandCallback(const char* command, AXF_CommandCallback callback);

// Runs the framework on the calling thread: calls the agent loader, then serves until AXF_Shutdown.
int zrfmain(int argc, char** argv);

// Stops the framework: zrfmain returns.
void AXF_Shutdown(int reason);

// ---------------------------------------------------------------------------------------------------
// Subnodes. Each of the first three prepares one request on the calling thread and returns 0, or 7
// when the request cannot be prepared; AXF_Subnode_SendRequest sends the prepared request and returns
// 0, or 1 when sending fails.

int AXF_Subnode_Register(const char* subnodeName, const char* affinity, const char* applName,
                         const char* version);
int AXF_Subnode_Delete(const char* subnodeName);
int AXF_Subnode_Deregister(const char* subnodeName);
int AXF_Subnode_SendRequest();

// ---------------------------------------------------------------------------------------------------
// Messages and logs

// A console message to the management server. Returns 0.
int AXF_CreateMessage(const char* severity, const char* category, const char* text, int reserved);

// Appends one line to the named operations log. Returns 0, or 1 when the log cannot be written.
int PLAXF_insert_log(const char* logName, const char* line, const char* product);

// ---------------------------------------------------------------------------------------------------
// What the stand-in can be asked (management API and tests).
namespace axf {

struct Identity {
    std::string subsystemId, nodeType, affinity, productCode, version;
};
Identity identity();

enum class SubnodeState { Registered, Deregistered };
struct Subnode {
    std::string name, affinity, applName, version;
    SubnodeState state;
};
std::vector<Subnode> subnodes();

struct Message {
    std::string severity, category, text;
};
std::vector<Message> messages();

// True while zrfmain serves.
bool running();

// Forgets identity, subnodes, messages and callbacks (tests).
void reset();

}  // namespace axf
