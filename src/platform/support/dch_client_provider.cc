// The provider side of the hub client: attribute rows and the provider's session.
#include <algorithm>
#include <cstring>

#include "interfaces/dch_client.h"
#include "interfaces/trace.h"

namespace vorpane {

namespace {

int16_t requestCode(const dch::MessageBuilder& request) {
    dch::FieldReader reader(request.data(), request.size());
    int16_t code = 0;
    reader.next().int16(&code);
    return code;
}

bool isDemandReportResults(const HubMessage& message) {
    dch::FieldReader reader = message.fields();
    int16_t code = 0;
    dch::FieldReader::Field first = reader.next();
    return first.type == DCH_requestType && first.int16(&code) && code == DCH_dp_demandReportResults;
}

bool notDemandReportResults(const HubMessage& message) {
    return !isDemandReportResults(message);
}

bool missing(const char* text) {
    return text == nullptr || *text == '\0';
}

int badArgument(int* status) {
    if (status != nullptr) {
        *status = DCH_CLIENT_BAD_ARGUMENT;
    }
    return DCH_CLIENT_BAD_ARGUMENT;
}

// Reads the next field when it has the given type; its value goes to text.
bool textField(dch::FieldReader* reader, uint16_t type, std::string* text) {
    dch::FieldReader::Field f = reader->next();
    if (f.type != type) {
        return false;
    }
    text->assign(f.value, f.length);
    return true;
}

// The demandReportResults message: DCH_requestType, DCH_time, DCH_status, application, group, source.
bool parseDemandReportResults(const HubMessage& message, DPdemandReportResults* results) {
    dch::FieldReader reader = message.fields();
    reader.next();
    if (!reader.next().int32(&results->expiration) || !reader.next().int32(&results->status)) {
        return false;
    }
    return textField(&reader, DCH_applName, &results->applName) &&
           textField(&reader, DCH_attrGroup, &results->attrGroup) &&
           textField(&reader, DCH_sourceName, &results->sourceName);
}

// An action request: DCH_requestType 0x1060, type, owner, node, name, ID, optional parameters.
bool parseActionRequest(const HubMessage& message, DPactionRequest* action) {
    dch::FieldReader reader = message.fields();
    reader.next();
    dch::FieldReader::Field type = reader.next();
    if (type.type != DCH_actionType || !type.int16(&action->actionType) ||
        !textField(&reader, DCH_actionOwner, &action->owner) ||
        !textField(&reader, DCH_sourceName, &action->node) ||
        !textField(&reader, DCH_actionName, &action->name)) {
        return false;
    }
    dch::FieldReader::Field id = reader.next();
    if (id.type != DCH_actionID || !id.int32(&action->actionID)) {
        return false;
    }
    action->parms.clear();
    dch::FieldReader::Field parms = reader.next();
    if (parms.type == DCH_actionParms) {
        action->parms.assign(parms.value, parms.length);
    }
    return true;
}

}  // namespace

// ---------------------------------------------------------------------------------------------------
// DProw

int DProw::add(std::string_view attrName, const void* value, int valueLength, int kind) {
    if (attrName.empty() || (value == nullptr && valueLength > 0)) {
        VA_ERROR("Error: attribute value without %s\n", attrName.empty() ? "a name" : "its bytes");
        return DCH_CLIENT_BAD_ARGUMENT;
    }
    bool ok;
    switch (kind) {
        case 'A':
        case 'C':
        case 'G':
            ok = valueLength == 2 || valueLength == 4;
            break;
        case 'S':
            ok = valueLength == 2;
            break;
        case 'D':
        case 'O':
        case 'T':
            if (valueLength < 0) {
                valueLength =
                    value != nullptr ? static_cast<int>(std::strlen(static_cast<const char*>(value))) : 0;
            }
            ok = true;
            break;
        case 'I':
        case 'K':
        case 'L':
        case 'N':
        case 'R':
            ok = valueLength >= 0;
            break;
        default:
            ok = false;
    }
    if (!ok) {
        VA_ERROR("Error: attribute <%.*s> of kind %d cannot take a value of %d bytes\n",
                 static_cast<int>(attrName.size()), attrName.data(), kind, valueLength);
        return DCH_CLIENT_BAD_ARGUMENT;
    }
    _pairs.text(DCH_attrName, attrName);
    _pairs.add(DCH_attrValue, value, static_cast<size_t>(valueLength), static_cast<char>(kind));
    ++_count;
    return DCH_CLIENT_OK;
}

void DProw::clear() {
    _pairs.clear();
    _count = 0;
}

void DProw::appendTo(dch::MessageBuilder* request) const {
    // The pairs are encoded already: their bytes go over as they are.
    request->appendFields(_pairs.data() + DCH_FRAME_HEADER, _pairs.size() - DCH_FRAME_HEADER);
}

// ---------------------------------------------------------------------------------------------------
// HubProvider

HubProvider::HubProvider(HubOptions options, bool reconnect)
    : _options(std::move(options)), _reconnect(reconnect) {}

HubProvider::~HubProvider() {
    close();
}

std::shared_ptr<HubConnection> HubProvider::connection(int* result) {
    ScopedLock g(_lock);
    if (_connection != nullptr && !_connection->failed()) {
        *result = DCH_CLIENT_OK;
        return _connection;
    }
    if (_connection != nullptr && !_reconnect) {
        *result = DCH_CLIENT_IO;
        return nullptr;
    }
    auto fresh = std::make_shared<HubConnection>();
    *result = fresh->connect(_options);
    if (*result != DCH_CLIENT_OK) {
        return nullptr;
    }
    if (_cancelled) {
        fresh->cancel();
    }
    _connection = fresh;
    return fresh;
}

int HubProvider::connect() {
    int result;
    connection(&result);
    return result;
}

void HubProvider::cancel() {
    std::shared_ptr<HubConnection> c;
    {
        ScopedLock g(_lock);
        _cancelled = true;
        c = _connection;
    }
    if (c != nullptr) {
        c->cancel();
    }
}

void HubProvider::close() {
    std::shared_ptr<HubConnection> c;
    {
        ScopedLock g(_lock);
        c = _connection;
    }
    if (c != nullptr) {
        c->close();
    }
}

int HubProvider::statusRequest(const dch::MessageBuilder& request, int* status, int* handle,
                               std::vector<HubMessage>* replies, bool (*isFinal)(const HubMessage&),
                               double timeout) {
    int ignored;
    if (status == nullptr) {
        status = &ignored;
    }
    if (handle != nullptr) {
        *handle = 0;
    }
    std::vector<HubMessage> own;
    if (replies == nullptr) {
        replies = &own;
    }
    const int16_t code = requestCode(request);
    int rc;
    std::shared_ptr<HubConnection> c = connection(&rc);
    if (c != nullptr) {
        rc = c->request(request, replies, isFinal, timeout);
    }
    if (rc != DCH_CLIENT_OK) {
        VA_ERROR("Error: %s got no answer from the hub: %s\n", DCH_requestName(code),
                 DCH_clientResultText(rc));
        *status = rc;
        return rc;
    }
    int32_t hubStatus = 0;
    if (!replies->back().isStatus(&hubStatus)) {
        VA_ERROR("Error: the hub's answer to %s is not a status\n", DCH_requestName(code));
        c->close();
        *status = DCH_CLIENT_PROTOCOL;
        return DCH_CLIENT_PROTOCOL;
    }
    *status = hubStatus;
    if (handle != nullptr) {
        dch::FieldReader reader = replies->back().fields();
        reader.next();
        int32_t h = 0;
        if (reader.next().int32(&h)) {
            *handle = h;
        } else if (hubStatus == DCH_STATUS_OK) {
            VA_ERROR("Error: the hub's answer to %s carries no handle\n", DCH_requestName(code));
            *status = DCH_CLIENT_PROTOCOL;
            return DCH_CLIENT_PROTOCOL;
        }
    }
    if (hubStatus != DCH_STATUS_OK) {
        if (code == DCH_dp_register && hubStatus == DCH_STATUS_KEY_HELD) {
            // dp_register traces it with the application that holds the key.
        } else if (code == DCH_dp_register && hubStatus == DCH_STATUS_DUPLICATE) {
            // Registered before, by another provider of the application: the hub accepts it, and
            // the caller decides whether that is what it wanted.
            VA_STATE("%s: status %d (%s)\n", DCH_requestName(code), hubStatus, DCH_statusText(code, hubStatus));
        } else if (code == DCH_dp_redriveReportRequest) {
            // An answer that no report waits for (none was deferred, or it expired) is normal: the
            // provider's rows stand.
            VA_DETAIL("%s: status %d (%s)\n", DCH_requestName(code), hubStatus, DCH_statusText(code, hubStatus));
        } else {
            VA_ERROR("Error: the hub refused %s: status %d (%s)\n", DCH_requestName(code), hubStatus,
                     DCH_statusText(code, hubStatus));
        }
        return DCH_CLIENT_REFUSED;
    }
    VA_DETAIL("%s successful\n", DCH_requestName(code));
    return DCH_CLIENT_OK;
}

int HubProvider::dp_register(int* status, const DPapplication& application, std::string* keyHolder) {
    if (application.name.empty()) {
        return badArgument(status);
    }
    int ignored = 0;
    if (status == nullptr) {
        status = &ignored;
    }
    dch::MessageBuilder m;
    m.request(DCH_dp_register).text(DCH_applName, application.name).text(DCH_helpText, application.help);
    for (const DPattrGroup& g : application.groups) {
        m.text(DCH_attrGroup, g.name)
            .text(DCH_helpText, g.help)
            .add(DCH_attributesType, &g.type, 1)
            .int32(DCH_TTL, g.ttl)
            .text(DCH_dpType, g.dpType)
            .text(DCH_attrRegister, g.attributes);
    }
    std::vector<HubMessage> replies;
    const int rc = statusRequest(m, status, nullptr, &replies);
    if (rc == DCH_CLIENT_REFUSED && *status == DCH_STATUS_KEY_HELD) {
        dch::FieldReader reader = replies.back().fields();
        reader.next();
        const dch::FieldReader::Field holder = reader.next();
        const std::string name(holder.type == DCH_applName ? holder.cText()
                                                           : std::string_view("another application"));
        VA_ERROR("Error: the hub refused dp_register of %s: its key %.3s is held by application %s\n",
                 application.name.c_str(), application.name.c_str(), name.c_str());
        if (keyHolder != nullptr) {
            *keyHolder = name;
        }
    }
    return rc;
}

int HubProvider::dp_online(int* status, int* handle, const char* applName, const char* attrGroup,
                           const char* sourceName) {
    if (missing(applName) || missing(attrGroup)) {
        return badArgument(status);
    }
    dch::MessageBuilder m;
    m.request(DCH_dp_online).text(DCH_applName, applName).text(DCH_attrGroup, attrGroup);
    if (sourceName != nullptr) {
        m.text(DCH_sourceName, sourceName);
    }
    return statusRequest(m, status, handle);
}

int HubProvider::dp_data(int* status, int handle, int controlField, const DProw& row, double timeout) {
    if (controlField < DCH_NO_CONTROL_FIELD || controlField > 0xFFFF) {
        return badArgument(status);
    }
    dch::MessageBuilder m(DCH_REQUEST_FIELDS + 16 + row.size());
    m.request(DCH_dp_data).int32(DCH_handle, handle);
    if (controlField != DCH_NO_CONTROL_FIELD) {
        m.int16(DCH_controlField, static_cast<int16_t>(controlField));
    }
    row.appendTo(&m);
    return statusRequest(m, status, nullptr, nullptr, nullptr, timeout);
}

int DPdataBatch::add(int handle, int controlField, const DProw& row) {
    if (controlField < DCH_NO_CONTROL_FIELD || controlField > 0xFFFF) {
        VA_ERROR("Error: control field %d is not a 16-bit value\n", controlField);
        return DCH_CLIENT_BAD_ARGUMENT;
    }
    _scratch.clear();
    _scratch.request(DCH_dp_data).int32(DCH_handle, handle);
    if (controlField != DCH_NO_CONTROL_FIELD) {
        _scratch.int16(DCH_controlField, static_cast<int16_t>(controlField));
    }
    row.appendTo(&_scratch);
    _requests.append(_scratch.data(), _scratch.size());
    ++_count;
    return DCH_CLIENT_OK;
}

void DPdataBatch::clear() {
    _requests.clear();
    _count = 0;
    _statuses.clear();
}

int HubProvider::dp_dataBatch(DPdataBatch* batch, double timeout) {
    batch->_statuses.clear();
    if (batch->_count == 0) {
        return DCH_CLIENT_OK;
    }
    int rc;
    std::shared_ptr<HubConnection> c = connection(&rc);
    std::vector<HubMessage> replies;
    if (c != nullptr) {
        rc = c->requestBatch(batch->_requests, batch->_count, &replies, timeout);
    }
    batch->_statuses.reserve(batch->_count);
    int refused = 0;
    for (const HubMessage& reply : replies) {
        int32_t hubStatus = 0;
        if (!reply.isStatus(&hubStatus)) {
            VA_ERROR("Error: the hub's answer to dp_data is not a status\n");
            c->close();
            rc = DCH_CLIENT_PROTOCOL;
            break;
        }
        if (hubStatus != DCH_STATUS_OK) {
            if (refused++ == 0) {
                VA_ERROR("Error: the hub refused dp_data: status %d (%s)\n", hubStatus,
                         DCH_statusText(DCH_dp_data, hubStatus));
            }
        }
        batch->_statuses.push_back(hubStatus);
    }
    if (rc != DCH_CLIENT_OK) {
        VA_ERROR("Error: dp_data of %zu rows got no answer from the hub for %zu: %s\n", batch->_count,
                 batch->_count - batch->_statuses.size(), DCH_clientResultText(rc));
        batch->_statuses.resize(batch->_count, rc);
        return rc;
    }
    if (refused > 0) {
        VA_ERROR("Error: the hub refused %d of %zu rows\n", refused, batch->_count);
        return DCH_CLIENT_REFUSED;
    }
    VA_DETAIL("dp_data of %zu rows successful\n", batch->_count);
    return DCH_CLIENT_OK;
}

int HubProvider::dp_offline(int* status, int handle) {
    dch::MessageBuilder m;
    m.request(DCH_dp_offline).int32(DCH_handle, handle);
    return statusRequest(m, status);
}

int HubProvider::dp_unregister(int* status, const char* applName) {
    if (missing(applName)) {
        return badArgument(status);
    }
    dch::MessageBuilder m;
    m.request(DCH_dp_unregister).text(DCH_applName, applName);
    return statusRequest(m, status);
}

int HubProvider::dp_waitForAction(int* status, int16_t actionType, const char* sourceName) {
    if (missing(sourceName)) {
        return badArgument(status);
    }
    dch::MessageBuilder m;
    m.request(DCH_dp_waitForAction).int16(DCH_actionType, actionType).text(DCH_sourceName, sourceName);
    return statusRequest(m, status);
}

int HubProvider::nextAction(DPactionRequest* action, double timeout) {
    int rc;
    std::shared_ptr<HubConnection> c = connection(&rc);
    if (c == nullptr) {
        return rc;
    }
    HubMessage message;
    rc = c->receive(HubConnection::Expect::action, &message, timeout);
    if (rc != DCH_CLIENT_OK) {
        return rc;
    }
    if (!parseActionRequest(message, action)) {
        VA_ERROR("Error: malformed action request of %zu bytes from the hub\n", message.bytes.size());
        return DCH_CLIENT_PROTOCOL;
    }
    VA_DETAIL("Action request actionID<%d> actionName<%s> node<%s>\n", action->actionID, action->name.c_str(),
              action->node.c_str());
    return DCH_CLIENT_OK;
}

int HubProvider::dp_provideActionResults(int* status, int32_t actionID, int32_t actionStatus,
                                         std::string_view result) {
    dch::MessageBuilder m;
    m.request(DCH_dp_provideActionResults).int32(DCH_actionID, actionID).int32(DCH_status, actionStatus);
    if (!result.empty()) {
        m.text(DCH_actionResult, result);
    }
    return statusRequest(m, status);
}

int HubProvider::dp_redriveReportRequest(int* status, int handle, int32_t actionID) {
    dch::MessageBuilder m;
    m.request(DCH_dp_redriveReportRequest).int32(DCH_handle, handle).int32(DCH_actionID, actionID);
    return statusRequest(m, status);
}

int HubProvider::dp_setDemandReportOption(int* status, DPdemandReportResults* results, bool on,
                                          const char* applName, const char* attrGroup,
                                          const char* sourceName) {
    DPdemandReportResults ignored;
    if (results == nullptr) {
        results = &ignored;
    }
    *results = DPdemandReportResults();
    if (missing(applName) || missing(attrGroup) || missing(sourceName)) {
        return badArgument(status);
    }
    dch::MessageBuilder m;
    m.request(DCH_dp_setDemandReportOption)
        .int16(DCH_controlField, on ? 1 : 0)
        .text(DCH_applName, applName)
        .text(DCH_attrGroup, attrGroup)
        .text(DCH_sourceName, sourceName);
    // The hub may retry for its samples entry for 30 seconds before it answers.
    constexpr double kDemandReportWait = 45;
    double timeout = _options.replyTimeout < 0 ? -1 : std::max(_options.replyTimeout, kDemandReportWait);
    std::vector<HubMessage> replies;
    int rc = statusRequest(m, status, nullptr, &replies, notDemandReportResults, timeout);
    if (replies.size() == 2) {
        results->arrived = parseDemandReportResults(replies[0], results);
        if (!results->arrived) {
            VA_ERROR("Error: malformed demandReportResults message from the hub\n");
        }
    }
    return rc;
}

}  // namespace vorpane
