// The hub client's process-wide parts: where the hub is, the texts of results and statuses, and the
// default provider connection behind the free dp_* calls that the agent's own threads use.
#include "interfaces/dch_client.h"


#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <memory>
#include <string>

#include "interfaces/support.h"
#include "interfaces/trace.h"

namespace vorpane {

HubOptions HubOptions::fromEnvironment() {
    HubOptions options;
    const char* address = BSS1_GetEnv("ZOTA_DCH_ADDR", 0);
    if (address != nullptr && *address != '\0') {
        options.address = address;
    } else if (std::optional<std::string> local = ZOT0_LocalHostNameString()) {
        options.address = *local;  // where the hub of this host listens
    }
    const char* port = BSS1_GetEnv("ZOTA_DCH_PORT", 0);
    const std::optional<std::string> specPort = ZOT0_QueryProductSpec(ZOT2_DCH_PORT);
    if ((port == nullptr || *port == '\0') && specPort && !specPort->empty()) {
        port = specPort->c_str();  // the hub falls back to the product specification's port as well
    }
    if (port != nullptr && *port != '\0') {
        char* end = nullptr;
        errno = 0;
        long value = std::strtol(port, &end, 10);
        // A port that is no number is refused at connect time, not replaced by a guess.
        options.port =
            (errno == 0 && *end == '\0' && value > 0 && value <= 65535) ? static_cast<int>(value) : -1;
    }
    const char* timeout = BSS1_GetEnv("ZOTA_DCH_TIMEOUT", 0);
    if (timeout != nullptr && std::atoi(timeout) > 0) {
        options.sendTimeout = std::atoi(timeout);
    }
    return options;
}

bool DCH_resolveHubAddress(const HubOptions& options, sockaddr_in* address) {
    if (options.port <= 0 || options.port > 65535) {
        VA_ERROR("Error: the hub port <%d> is not a port number (ZOTA_DCH_PORT)\n", options.port);
        return false;
    }
    if (ZOT0_ConvertNameToAddr(options.address.c_str(), options.port, address) != 0) {
        VA_ERROR("Error: cannot resolve the hub address <%s>\n", options.address.c_str());
        return false;
    }
    return true;
}

namespace {

// The default provider. Calls take a reference, so DCH_api_destroy cannot free it under them.
struct DefaultProvider {
    Mutex lock;
    std::shared_ptr<HubProvider> provider VA_GUARDED_BY(lock);
};

DefaultProvider& defaults() {
    static DefaultProvider* d = new DefaultProvider();  // outlives every thread at exit
    return *d;
}

// The agent's threads start before and go on after any one failure of the hub connection, so the
// default provider reconnects instead of failing for good.
std::shared_ptr<HubProvider> defaultProvider() {
    DefaultProvider& d = defaults();
    ScopedLock g(d.lock);
    if (d.provider == nullptr) {
        d.provider = std::make_shared<HubProvider>(HubOptions::fromEnvironment(), true);
    }
    return d.provider;
}

}  // namespace

}  // namespace vorpane

using vorpane::defaultProvider;

const char* DCH_clientResultText(int result) {
    switch (result) {
        case DCH_CLIENT_OK:
            return "success";
        case DCH_CLIENT_REFUSED:
            return "refused by the hub";
        case DCH_CLIENT_NO_HUB:
            return "hub not reachable";
        case DCH_CLIENT_IO:
            return "connection to the hub lost";
        case DCH_CLIENT_PROTOCOL:
            return "malformed message from the hub";
        case DCH_CLIENT_TIMEOUT:
            return "no answer from the hub in time";
        case DCH_CLIENT_BAD_ARGUMENT:
            return "invalid argument";
        case DCH_CLIENT_CANCELLED:
            return "cancelled";
        default:
            return "unknown result";
    }
}

const char* DCH_requestName(int16_t requestCode) {
    switch (requestCode) {
        case DCH_dp_register:
            return "dp_register";
        case DCH_dp_online:
            return "dp_online";
        case DCH_dp_unregister:
            return "dp_unregister";
        case DCH_dp_offline:
            return "dp_offline";
        case DCH_dp_data:
            return "dp_data";
        case DCH_dp_waitForAction:
            return "dp_waitForAction";
        case DCH_dp_provideActionResults:
            return "dp_provideActionResults";
        case DCH_dp_actionRequest:
            return "action request";
        case DCH_dp_redriveReportRequest:
            return "dp_redriveReportRequest";
        case DCH_dp_setDemandReportOption:
            return "dp_setDemandReportOption";
        case DCH_dp_demandReportResults:
            return "demandReportResults";
        case DCH_dp_cancel:
            return "dp_cancel";
        case DCH_dc_getApplications:
            return "dc_getApplications";
        case DCH_dc_getApplHelp:
            return "dc_getApplHelp";
        case DCH_dc_getApplAttributes:
            return "dc_getApplAttributes";
        case DCH_dc_waitOnData:
            return "dc_waitOnData";
        case DCH_dc_waitForDPStatus:
            return "dc_waitForDPStatus";
        case DCH_dc_provideAction:
            return "dc_provideAction";
        case DCH_dc_waitForActionResults:
            return "dc_waitForActionResults";
        case DCH_dc_deferReportRequest:
            return "dc_deferReportRequest";
        default:
            return "unknown request";
    }
}

const char* DCH_statusText(int16_t requestCode, int32_t status) {
    switch (status) {
        case DCH_STATUS_OK:
            return "success";
        case DCH_STATUS_FAILED:
            return requestCode == DCH_dp_unregister ? "the application is not registered"
                                                    : "a field is missing or malformed, a limit was "
                                                      "exceeded, or the hub could not store it";
        case DCH_STATUS_DUPLICATE:
            if (requestCode == DCH_dp_register) {
                return "the application and attribute group were already registered (accepted)";
            }
            if (requestCode == DCH_dc_waitForActionResults) {
                return "the action's status is not known yet";
            }
            return "a field is missing, or the source or handle was not found";
        case DCH_STATUS_UNREGISTERED_ATTR:
            return "an attribute name is not part of the registered attributes";
        case 3:
            return requestCode == DCH_dp_unregister ? "a source of the application is still online"
                                                    : "unknown status";
        case DCH_STATUS_NO_SOURCE:
            return "the attribute group is not registered for the application";
        case DCH_STATUS_DUPLICATE_GROUP:
            return "an attribute group appears more than once in the registration";
        case DCH_STATUS_RESEND:
            return "the hub received the request incomplete";
        case DCH_STATUS_KEY_HELD:
            return requestCode == DCH_dp_register
                       ? "another application holds the application key (the first three letters of the name)"
                       : "unknown status";
        default:
            return "unknown status";
    }
}

std::string DCH_actionStatusText(int32_t status) {
    static constexpr const char* kTexts[] = {
        "SUCCESS",        "UNKNOWN",         "EXEC_ERROR",      "PROTOCOL_ERROR",     "DP_ERROR",
        "DP_NOSUPPORT",   "NOSUPPORT",       "PARM_REQUIRED",   "SOURCE_OFFLINE",     "SYNTAX_ERROR",
        "NEVER_STARTED",  "REQPARM_MISSING", "UNRECOG_REQUEST", "INPUTPARM_ERROR",    "TRAPDEST_UNDEFINED",
        "TRAP_SENDERROR", "NODENAME_NOTFOUND"};
    if (status >= 0) {
        return status < static_cast<int32_t>(std::size(kTexts)) ? kTexts[status] : "UNKNOWN";
    }
    return "EXECUTED - RETURN STATUS " + std::to_string(-static_cast<int64_t>(status));
}

int DCH_api_init() {
    int rc = defaultProvider()->connect();
    if (rc == DCH_CLIENT_OK) {
        VA_STATE("DCH client API initialised\n");
    } else {
        VA_ERROR("Warning: DCH client API initialised without a hub connection: %s\n",
                 DCH_clientResultText(rc));
    }
    return rc;
}

void DCH_api_destroy() {
    std::shared_ptr<vorpane::HubProvider> provider;
    {
        vorpane::DefaultProvider& d = vorpane::defaults();
        vorpane::ScopedLock g(d.lock);
        provider = std::move(d.provider);
    }
    if (provider != nullptr) {
        provider->close();
    }
    VA_STATE("DCH client API released\n");
}

int dp_register(int* status, const vorpane::DPapplication& application) {
    return defaultProvider()->dp_register(status, application);
}

int dp_online(int* status, int* handle, const char* applName, const char* attrGroup, const char* sourceName) {
    return defaultProvider()->dp_online(status, handle, applName, attrGroup, sourceName);
}

int dp_data(int* status, int handle, int controlField, const vorpane::DProw& row) {
    return defaultProvider()->dp_data(status, handle, controlField, row);
}

int dp_offline(int* status, int handle) {
    return defaultProvider()->dp_offline(status, handle);
}

int dp_unregister(int* status, const char* applName) {
    return defaultProvider()->dp_unregister(status, applName);
}

int dp_formatData(vorpane::DProw* buffer, int* length, int* status, const char* attrName, const void* value,
                  int valueLength, int kind) {
    int rc = buffer != nullptr && attrName != nullptr ? buffer->add(attrName, value, valueLength, kind)
                                                      : DCH_CLIENT_BAD_ARGUMENT;
    if (status != nullptr) {
        *status = rc == DCH_CLIENT_OK ? 0 : -1;
    }
    if (length != nullptr) {
        *length = buffer != nullptr ? static_cast<int>(buffer->size()) : 0;
    }
    return rc;
}

int dp_actionData(vorpane::DProw* buffer, int handle, int controlField, int* length, int /*waitForStatus*/,
                  int timeout) {
    if (buffer == nullptr) {
        return DCH_CLIENT_BAD_ARGUMENT;
    }
    int status = 0;
    int rc = defaultProvider()->dp_data(&status, handle, controlField, *buffer, timeout > 0 ? timeout : -2);
    buffer->clear();
    if (length != nullptr) {
        *length = 0;
    }
    return rc;
}
