// What the application space asks of the hub: the handlers it calls to report a source's status, to
// take a lost provider's sources offline and to unregister its applications. DCHserver implements it;
// tests of the application space implement it with a recorder.
#pragma once

#include <string_view>

#include "hub/dch_ipc.h"

class DCHrequestHandlers {
public:
    virtual ~DCHrequestHandlers() = default;

    // Notify mode of dc_waitForDPStatus: one provider status record to one waiter.
    virtual void dc_waitForDPStatus(std::string_view message, const char* applName, const char* attrGroup,
                                    const char* sourceName, short requestType, const DCHclientAddr& clientAddr,
                                    unsigned int connectedSockFD) = 0;
    // A whole request built as a provider would have sent it.
    virtual int dp_offline(std::string_view message) = 0;
    virtual int dp_unregister(std::string_view message) = 0;
    virtual int max_Applications() const = 0;
};
