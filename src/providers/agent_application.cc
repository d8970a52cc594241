#include "providers/agent_application.h"

#include <unistd.h>

#include "interfaces/support.h"
#include "interfaces/trace.h"

namespace vorpane::providers {

namespace {

// The ACTION columns hold what the hub's action threads send: the texts of the action table's
// entries at the widths a row of the log can carry (ORIGINNODE 0-31, Action_Type 32-47,
// Action_Owner 48-111, Action_Node 112-143, Action_Name 144-399, Action_Parms 400-1423,
// Action_Status 1424-1487, Action_Result 1488-1743, Action_ID 1744-1747).
constexpr const char* kDescription =
    "application VAGENT help=\"Vorpane Agent\"\n"
    "group DPSTATUS P 120 dptype=VA help=\"The built-in data providers\"\n"
    "attribute @Provider D 64 help=\"Provider: its type or definition file\"\n"
    "attribute Definitions G 4 help=\"Definitions loaded\"\n"
    "attribute Rows_Sent C 4 help=\"Rows sent to the hub\"\n"
    "attribute Errors C 4 help=\"Errors\"\n"
    "attribute Malformed C 4 help=\"Malformed input lines or records\"\n"
    "attribute Last_Error D 128 help=\"The last error\"\n"
    "group DPLOG P 0 dptype=VA help=\"The action log source\"\n"
    "attribute Agent_Info D 64 help=\"The agent's action log source\"\n"
    "group ACTION E 0 dptype=VA help=\"Take-action commands and their results\"\n"
    "attribute Action_Type D 16 help=\"AUTOMATION, RULE, SNMP, WBEM\"\n"
    "attribute Action_Owner D 64 help=\"The situation or policy that sent the action\"\n"
    "attribute Action_Node D 32 help=\"The subnode the action is for\"\n"
    "attribute Action_Name D 256 help=\"The action's name\"\n"
    "attribute Action_Parms D 1024 help=\"The action's parameters, without secrets\"\n"
    "attribute Action_Status D 64 help=\"UNKNOWN until the result arrives, then the result\"\n"
    "attribute Action_Result D 256 help=\"The result text of the provider\"\n"
    "attribute Action_ID C 4 help=\"The action's identifier\"\n";

dp::AppDescription parseAgentApplication() {
    dp::AppDescription app;
    dp::ParseError error;
    if (!dp::parseDescription(kDescription, &app, &error)) {
        VA_ERROR("Error: agent application line %d: %s\n", error.line, error.reason.c_str());
    }
    return app;
}

}  // namespace

const dp::AppDescription& agentApplication() {
    static const dp::AppDescription* app = new dp::AppDescription(parseAgentApplication());
    return *app;
}

std::string actionLogSourceName() {
    char host[256] = {};
    std::string name;
    if (gethostname(host, sizeof host - 1) == 0) {
        name = host;
        name = name.substr(0, name.find('.'));
    }
    return name + "_LOGdp";
}

struct ActionLogSource::Session {
    explicit Session(HubOptions options) : provider(std::move(options), false) {}
    HubProvider provider;
    int handle = -1;
};

ActionLogSource::ActionLogSource(HubOptions options) : _session(std::make_unique<Session>(std::move(options))) {}

ActionLogSource::~ActionLogSource() { stop(); }

bool ActionLogSource::start() {
    if (!_session) {
        return false;
    }
    const dp::AppDescription& app = agentApplication();
    int status = 0;
    int rc = _session->provider.dp_register(&status, app.registration());
    // Status 1: a provider's status publisher registered the same description first.
    if (rc != 0 && !(rc == DCH_CLIENT_REFUSED && status == 1)) {
        VA_ERROR("Error: dp_register of the agent's application %s failed: %s status %d\n", app.name.c_str(),
                 DCH_clientResultText(rc), status);
        return false;
    }
    const std::string source = actionLogSourceName();
    int handle = 0;
    rc = _session->provider.dp_online(&status, &handle, app.name.c_str(), kLogGroup, source.c_str());
    if (rc != 0) {
        VA_ERROR("Error: dp_online of the action log source %s/%s <%s> failed: %s status %d\n", app.name.c_str(),
                 kLogGroup, source.c_str(), DCH_clientResultText(rc), status);
        return false;
    }
    _session->handle = handle;
    VA_STATE("Action log source <%s> online, handle %d\n", source.c_str(), handle);
    return true;
}

void ActionLogSource::stop() {
    if (!_session) {
        return;
    }
    if (_session->handle >= 0) {
        int status = 0;
        (void)_session->provider.dp_offline(&status, _session->handle);
    }
    _session->provider.close();
    _session.reset();
}

}  // namespace vorpane::providers
