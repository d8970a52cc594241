// The collector side of the hub client: subscriptions with their own connections, and one-shot
// requests on a connection opened for the call.
#include <cstring>

#include "interfaces/dch_client.h"
#include "interfaces/trace.h"

namespace vorpane {

namespace {

bool missing(const char* text) {
    return text == nullptr || *text == '\0';
}

bool longerThan(const char* text, size_t limit) {
    return text != nullptr && std::strlen(text) > limit;
}

dch::MessageBuilder statusSubscription(int32_t status) {
    dch::MessageBuilder m;
    m.request(DCH_dc_waitForDPStatus).int32(DCH_status, status);
    return m;
}

// A status 7 answer on a subscription connection: the hub got the subscription incomplete.
bool isResend(const HubMessage& message) {
    int32_t status = 0;
    return message.isStatus(&status) && status == DCH_STATUS_RESEND;
}

// The provider status record: application, group, source, request code, and with withRun the
// number of the application's run (0 from a hub that does not send it).
bool formatStatusRecord(const HubMessage& message, bool withRun, std::string* text) {
    dch::FieldReader reader = message.fields();
    dch::FieldReader::Field appl = reader.next();
    dch::FieldReader::Field group = reader.next();
    dch::FieldReader::Field source = reader.next();
    dch::FieldReader::Field code = reader.next();
    int16_t requestType = 0;
    if (appl.type != DCH_applName || group.type != DCH_attrGroup || source.type != DCH_sourceName ||
        code.type != DCH_requestType || !code.int16(&requestType)) {
        return false;
    }
    text->assign(appl.value, appl.length);
    text->append(",").append(group.value, group.length).append(",").append(source.value, source.length);
    text->append(",").append(std::to_string(requestType));
    if (withRun) {
        int32_t run = 0;
        if (dch::FieldReader::Field f = reader.next(); f.type != DCH_applRun || !f.int32(&run)) {
            run = 0;
        }
        text->append(",").append(std::to_string(run));
    }
    return true;
}

// Sends a request the hub does not answer, on a connection of its own that closes right after: the
// hub reads the request before it sees the close, and nothing can be left over for a later request.
int sendOnce(const dch::MessageBuilder& request, const HubOptions& options) {
    HubConnection connection;
    int rc = connection.connect(options);
    return rc != DCH_CLIENT_OK ? rc : connection.send(request);
}

int infoRequest(int16_t code, std::string* info, const char* applName, bool nameRequired, double timeout,
                const HubOptions& options) {
    if (info == nullptr || (nameRequired && missing(applName))) {
        return DCH_CLIENT_BAD_ARGUMENT;
    }
    // The hub drops a request whose name it cannot take without answering it: the caller learns of
    // it now instead of after the whole wait.
    if (!missing(applName) &&
        (std::strlen(applName) < DCH_MIN_APPL_NAME || std::strlen(applName) > DCH_MAX_APPL_NAME)) {
        VA_ERROR("Error: %s<%s> refused: an application name has %d to %d characters\n", DCH_requestName(code),
                 applName, static_cast<int>(DCH_MIN_APPL_NAME), static_cast<int>(DCH_MAX_APPL_NAME));
        return DCH_CLIENT_BAD_ARGUMENT;
    }
    info->clear();
    dch::MessageBuilder m;
    m.request(code);
    if (!missing(applName)) {
        m.text(DCH_applName, applName);
    }
    // Its own connection: a request the hub parks is answered on it later, and closing it after a
    // time-out drops the parked request instead of leaving a late answer for someone else.
    HubConnection connection;
    int rc = connection.connect(options);
    std::vector<HubMessage> replies;
    if (rc == DCH_CLIENT_OK) {
        rc = connection.request(m, &replies, nullptr, timeout);
    }
    if (rc != DCH_CLIENT_OK) {
        VA_ERROR("Error: %s<%s> failed: %s\n", DCH_requestName(code), applName != nullptr ? applName : "",
                 DCH_clientResultText(rc));
        return rc;
    }
    dch::FieldReader reader = replies.front().fields();
    dch::FieldReader::Field text = reader.next();
    if (text.type != DCH_infoText) {
        VA_ERROR("Error: the hub's answer to %s is not an information text\n", DCH_requestName(code));
        return DCH_CLIENT_PROTOCOL;
    }
    info->assign(text.value, text.length);
    VA_DETAIL("%s<%s>: %zu bytes\n", DCH_requestName(code), applName != nullptr ? applName : "",
              info->size());
    return DCH_CLIENT_OK;
}

}  // namespace

// ---------------------------------------------------------------------------------------------------
// DCstatusWaiter

DCstatusWaiter::DCstatusWaiter(const HubOptions& options) : _options(options) {}

DCstatusWaiter::~DCstatusWaiter() {
    // A connection's close ends its subscription at the hub; a datagram socket's must be said.
    if (_subscribed && _options.datagramSubscriptions) {
        _datagram.send(statusSubscription(0));
    }
}

int DCstatusWaiter::open() {
    int rc = _options.datagramSubscriptions ? _datagram.open(_options) : _connection.connect(_options);
    if (rc == DCH_CLIENT_OK) {
        rc = send(statusSubscription(1));
    }
    _subscribed = rc == DCH_CLIENT_OK;
    return rc;
}

int DCstatusWaiter::send(const dch::MessageBuilder& request) {
    return _options.datagramSubscriptions ? _datagram.send(request) : _connection.send(request);
}

void DCstatusWaiter::cancel() {
    if (_options.datagramSubscriptions) {
        _datagram.cancel();
    } else {
        _connection.cancel();
    }
}

std::string DCstatusWaiter::next(double timeout) {
    for (;;) {
        HubMessage message;
        int rc = _options.datagramSubscriptions ? _datagram.receive(&message, timeout)
                                                 : _connection.receive(HubConnection::Expect::any, &message, timeout);
        if (rc != DCH_CLIENT_OK) {
            VA_ERROR("Error: waiting for provider status: %s\n", DCH_clientResultText(rc));
            return std::string();
        }
        if (isResend(message)) {
            if (send(statusSubscription(1)) != DCH_CLIENT_OK) {
                return std::string();
            }
            continue;
        }
        std::string text;
        if (!formatStatusRecord(message, _options.statusWithRuns, &text)) {
            VA_ERROR("Error: the hub sent a message of %zu bytes that is no provider status record\n",
                     message.bytes.size());
            return std::string();
        }
        return text;
    }
}

// ---------------------------------------------------------------------------------------------------
// DCdataWaiter

DCdataWaiter::DCdataWaiter(const HubOptions& options, std::string applName, std::string attrGroup)
    : _options(options), _applName(std::move(applName)), _attrGroup(std::move(attrGroup)) {}

DCdataWaiter::~DCdataWaiter() {
    unsubscribe();
}

int DCdataWaiter::open() {
    if (_applName.size() < DCH_MIN_APPL_NAME || _applName.size() > DCH_MAX_APPL_NAME || _attrGroup.empty() ||
        _attrGroup.size() > DCH_MAX_ATTR_GROUP) {
        VA_ERROR("Error: cannot wait for data of <%s/%s>: names out of range\n", _applName.c_str(),
                 _attrGroup.c_str());
        return DCH_CLIENT_BAD_ARGUMENT;
    }
    int rc = _options.datagramSubscriptions ? _datagram.open(_options) : _connection.connect(_options);
    return rc != DCH_CLIENT_OK ? rc : subscription(1);
}

void DCdataWaiter::cancel() {
    if (_options.datagramSubscriptions) {
        _datagram.cancel();
    } else {
        _connection.cancel();
    }
}

int DCdataWaiter::subscription(int32_t status) {
    dch::MessageBuilder m;
    m.request(DCH_dc_waitOnData)
        .text(DCH_applName, _applName)
        .text(DCH_attrGroup, _attrGroup)
        .int32(DCH_status, status);
    const bool bound = _options.applicationRun > 0;
    if (status == 1) {
        // Rows a source sent before any collector of the group had subscribed come first. By
        // datagram, a burst of rows comes packed: far fewer datagrams for the socket to hold and
        // for this thread to wake up for.
        m.int16(DCH_controlField,
                static_cast<int16_t>(DCH_CLAIM_UNCLAIMED_DATA |
                                     (_options.reportAnswersInLine ? DCH_REPORT_ANSWERS_IN_LINE : 0) |
                                     (_options.datagramSubscriptions ? DCH_PACKED_DATAGRAMS : 0) |
                                     (bound ? DCH_APPLICATION_RUN : 0)));
    } else if (bound) {
        m.int16(DCH_controlField, DCH_APPLICATION_RUN);  // the run may have ended the subscription already
    }
    if (bound) {
        m.int32(DCH_applRun, _options.applicationRun);
    }
    int rc = _options.datagramSubscriptions ? _datagram.send(m) : _connection.send(m);
    _subscribed = status == 1 && rc == DCH_CLIENT_OK;
    return rc;
}

int DCdataWaiter::next(HubMessage* message, double timeout) {
    if (_holding) {
        *message = std::move(_held);
        _holding = false;
        return DCH_CLIENT_OK;
    }
    for (;;) {
        int rc = _options.datagramSubscriptions ? _datagram.receive(message, timeout)
                                                 : _connection.receive(HubConnection::Expect::any, message, timeout);
        if (rc != DCH_CLIENT_OK || !isResend(*message)) {
            return rc;
        }
        if (subscription(1) != DCH_CLIENT_OK) {
            return DCH_CLIENT_IO;
        }
    }
}

int DCdataWaiter::unsubscribe() {
    if (!_subscribed) {
        return DCH_CLIENT_OK;
    }
    if (_options.datagramSubscriptions) {
        return subscription(0);
    }
    // The close alone ends it: the hub drops every waiter of a closed connection, and a status 0
    // would only add a request.
    _subscribed = false;
    _connection.close();
    return DCH_CLIENT_OK;
}

}  // namespace vorpane

using vorpane::DCdataWaiter;
using vorpane::DCstatusWaiter;
using vorpane::HubConnection;
using vorpane::HubMessage;
using vorpane::HubOptions;

std::unique_ptr<DCstatusWaiter> dc_waitForDPStatusInitialize(const HubOptions& options) {
    auto waiter = std::make_unique<DCstatusWaiter>(options);
    if (int rc = waiter->open(); rc != DCH_CLIENT_OK) {
        VA_ERROR("Error: dc_waitForDPStatus subscription failed: %s\n", DCH_clientResultText(rc));
        return nullptr;
    }
    return waiter;
}

std::string dc_waitForDPStatus(DCstatusWaiter* handle, double timeout) {
    return handle != nullptr ? handle->next(timeout) : std::string();
}

std::unique_ptr<DCdataWaiter> dc_waitOnDataInitialize(const char* applName, const char* attrGroup,
                                                      const HubOptions& options) {
    auto waiter = std::make_unique<DCdataWaiter>(options, applName != nullptr ? applName : "",
                                                 attrGroup != nullptr ? attrGroup : "");
    if (int rc = waiter->open(); rc != DCH_CLIENT_OK) {
        VA_ERROR("Error: dc_waitOnData subscription for <%s/%s> failed: %s\n",
                 applName != nullptr ? applName : "", attrGroup != nullptr ? attrGroup : "",
                 DCH_clientResultText(rc));
        return nullptr;
    }
    return waiter;
}

int dc_waitOnData(DCdataWaiter* client, char* buffer, size_t bufferSize, double timeout) {
    if (client == nullptr || buffer == nullptr) {
        return 1;
    }
    HubMessage message;
    int rc = client->next(&message, timeout);
    if (rc == DCH_CLIENT_CANCELLED) {
        return -1;
    }
    if (rc == DCH_CLIENT_TIMEOUT) {
        // The caller bounded the wait and no row came: nothing went wrong with the subscription.
        VA_DETAIL("dc_waitOnData: no data within %.3f s\n", timeout);
        return 1;
    }
    if (rc != DCH_CLIENT_OK) {
        VA_ERROR("Error: dc_waitOnData: %s\n", DCH_clientResultText(rc));
        return 1;
    }
    if (message.bytes.size() > bufferSize) {
        VA_ERROR("Error: a data message of %zu bytes does not fit a buffer of %zu bytes\n",
                 message.bytes.size(), bufferSize);
        client->holdBack(std::move(message));
        return 1;
    }
    std::memcpy(buffer, message.bytes.data(), message.bytes.size());
    return 0;
}

void dc_waitOnDataCancel(DCdataWaiter* client) {
    if (client != nullptr) {
        client->cancel();
    }
}

int dc_waitOnDataDestroy(std::unique_ptr<DCdataWaiter> client) {
    return client != nullptr ? client->unsubscribe() : DCH_CLIENT_BAD_ARGUMENT;
}

int dc_getApplications(std::string* info, const char* applName, double timeout, const HubOptions& options) {
    return vorpane::infoRequest(DCH_dc_getApplications, info, applName, false, timeout, options);
}

int dc_getApplAttributes(std::string* info, const char* applName, double timeout, const HubOptions& options) {
    return vorpane::infoRequest(DCH_dc_getApplAttributes, info, applName, true, timeout, options);
}

int dc_getApplHelp(std::string* info, const char* applName, double timeout, const HubOptions& options) {
    return vorpane::infoRequest(DCH_dc_getApplHelp, info, applName, true, timeout, options);
}

// dc_provideAction and dc_waitForActionResults: dch_client_actions.cc.

int dc_deferReportRequest(uint32_t objectRef, int32_t actionID, int32_t time, const char* applKey,
                          const char* tableName, const char* sourceName, const HubOptions& options) {
    using vorpane::longerThan;
    if (applKey == nullptr || tableName == nullptr || sourceName == nullptr || longerThan(applKey, 3) ||
        longerThan(tableName, 10) || longerThan(sourceName, 32)) {
        VA_ERROR("Error: dc_deferReportRequest refused: a name is missing or too long\n");
        return DCH_CLIENT_BAD_ARGUMENT;
    }
    vorpane::dch::MessageBuilder m;
    m.request(DCH_dc_deferReportRequest)
        .int32(DCH_actionID, actionID)
        .add(DCH_objectPtr, &objectRef, 4)
        .int32(DCH_time, time)
        .text(DCH_applKey, applKey)
        .text(DCH_tableName, tableName)
        .text(DCH_sourceName, sourceName);
    return vorpane::sendOnce(m, options);
}
