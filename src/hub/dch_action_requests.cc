// The action requests and the agent's action log source. Actions are not forwarded yet: each request
// is refused with a status the sender can act on, and the action log source only records its state.
#include "hub/dch_server.h"
#include "interfaces/dch_protocol.h"
#include "interfaces/trace.h"

int DCHserver::dp_waitForAction(std::string_view /*message*/) {
    VA_ERROR("Error: action requests are not served by this hub yet; dp_waitForAction refused\n");
    return DCH_STATUS_FAILED;
}

int DCHserver::dp_provideActionResults(std::string_view /*message*/) {
    VA_ERROR("Error: action requests are not served by this hub yet; dp_provideActionResults refused\n");
    return DCH_STATUS_FAILED;
}

int DCHserver::dc_provideAction(std::string_view /*message*/) {
    VA_ERROR("Error: action requests are not served by this hub yet; dc_provideAction refused\n");
    return DCH_STATUS_FAILED;
}

int DCHserver::dc_waitForActionResults(std::string_view /*message*/, int* actionResult) {
    VA_ERROR("Error: action requests are not served by this hub yet; dc_waitForActionResults refused\n");
    *actionResult = 6;  // NOSUPPORT
    return DCH_STATUS_FAILED;
}

int DCHserver::actionSourceOnline() {
    if (_actionOnline == 0) {
        VA_STATE("Action log source online; action logging is not available yet\n");
        _actionDataStarted = 1;
        _actionOnline = 1;
    }
    return 0;
}

void DCHserver::actionSourceOffline() {
    VA_STATE("Action log source offline\n");
    _actionOnline = 0;
}
