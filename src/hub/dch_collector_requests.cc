// The collector requests and the report-request requests: subscriptions to data and to provider
// status, the application, attribute and help texts, and the deferred and demand report requests
// that go to the agent's samples list. Each handler has a request mode (message given: the answer
// goes to the current sender) and, where other handlers call it, a notify mode (empty message: the
// answer goes to the address and connection given).
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <string>

#include "agent/hub_access.h"
#include "datapath/samples_list.h"
#include "hub/appl_space_list.h"
#include "hub/dc_waiting_list.h"
#include "hub/dch_request_fields.h"
#include "hub/dch_server.h"
#include "interfaces/dch_protocol.h"
#include "interfaces/support.h"

namespace {

using vorpane::dch::FieldReader;
using vorpane::dch::MessageBuilder;

constexpr size_t kMinApplName = DCH_MIN_APPL_NAME;
constexpr size_t kMaxApplName = DCH_MAX_APPL_NAME;
constexpr size_t kMaxGroupName = DCH_MAX_ATTR_GROUP;
constexpr size_t kMaxSourceName = DCH_MAX_SOURCE_NAME;
constexpr int kSamplesEntryTries = 10;
constexpr double kSamplesEntryWait = 3;

std::string upper(std::string_view text) {
    std::string s(text);
    ZOT0_ConvertStringToUpper(s);
    return s;
}

}  // namespace

void DCHserver::dc_waitOnData(std::string_view message, long handle, const DCHclientAddr& clientAddr,
                              unsigned int connectedSockFD) {
    if (message.empty()) {
        const int length = _buckets->getData(_valuesBuf, _valuesBuf.size(), static_cast<int32_t>(handle), 1);
        if (length > 0) {
            deliverData(_valuesBuf.data(), static_cast<uint32_t>(length), clientAddr, connectedSockFD);
            VA_DETAIL("dc_waitOnData response sent to client: %d bytes\n", length);
        } else {
            VA_ERROR("Error: getData for handle %ld returned %d\n", handle, length);
        }
        return;
    }
    FieldReader r(message.data(), message.size(), DCH_REQUEST_FIELDS);
    FieldReader::Field f = r.next();
    if (f.type != DCH_applName) {
        VA_ERROR("Error: dataType of DCH_applName missing: %d\n", f.type);
        return;
    }
    if (f.cText().size() < kMinApplName || f.cText().size() > kMaxApplName) {
        VA_ERROR("Error: invalid applName length: %d\n", static_cast<int>(f.cText().size()));
        return;
    }
    const std::string appl = upper(f.cText());
    f = r.next();
    if (f.type != DCH_attrGroup || f.cText().size() > kMaxGroupName) {
        VA_ERROR("Error: attrGroup length %d > max length %d\n", static_cast<int>(f.cText().size()),
                 static_cast<int>(kMaxGroupName));
        return;
    }
    const std::string group = upper(f.cText());
    f = r.next();
    int32_t status = 0;
    if (f.type != DCH_status || !f.int32(&status)) {
        VA_ERROR("Error: dataType of DCH_status missing: %d\n", f.type);
        return;
    }
    int16_t flags = 0;
    if (f = r.next(); f.type != DCH_controlField || !f.int16(&flags)) {
        flags = 0;
    }
    if (status == 1) {
        if ((flags & DCH_APPLICATION_RUN) != 0) {
            int32_t run = 0;
            if (!readInt32Field(r, DCH_applRun, &run)) {
                VA_ERROR("Error: dataType of DCH_applRun missing for a subscription to <%s/%s>\n", appl.c_str(),
                         group.c_str());
                return;
            }
            auto found = _runs.find(appl);
            if (found == _runs.end() || !found->second.live || found->second.number != run) {
                // The collector belongs to a run that is over: the group's rows stay for the collector
                // of the run that lasts.
                VA_STATE("Note: a collector of run %d of <%s/%s> came after that run ended: it gets no rows\n",
                         static_cast<int>(run), appl.c_str(), group.c_str());
                return;
            }
        }
        if (_waitList->addEntry(appl.c_str(), group.c_str(), DCH_dc_waitOnData, clientAddr, connectedSockFD, "NULL",
                                1, flags) != 0) {
            VA_ERROR("Error: Adding entry for applName <%s> attrGroup <%s>\n", appl.c_str(), group.c_str());
            return;
        }
        if (connectedSockFD == 0) {
            // The latest subscription from an address says how its data messages travel.
            const uint64_t address = addressKey(clientAddr);
            if ((flags & DCH_PACKED_DATAGRAMS) != 0) {
                _packedSubscribers.insert(address);
            } else {
                _packedSubscribers.erase(address);
            }
            noteCollectorFlow(clientAddr, true);
        }
        if ((flags & DCH_CLAIM_UNCLAIMED_DATA) != 0) {
            sendUnclaimedData(appl, group, clientAddr, connectedSockFD);
        }
    } else if (status == 0) {
        if (connectedSockFD == 0) {
            _packedSubscribers.erase(addressKey(clientAddr));
            forgetHeldDatagrams(clientAddr);
            noteCollectorFlow(clientAddr, false);
        }
        // Only this sender's own subscription: others on the same group keep theirs. One bound to a
        // run that ended is gone already.
        if (_waitList->removeEntry(DCH_dc_waitOnData, appl.c_str(), group.c_str(), clientAddr, connectedSockFD) != 0 &&
            (flags & DCH_APPLICATION_RUN) == 0) {
            VA_ERROR("Error: removing entry for <%x> and <%s> and <%s>\n", static_cast<unsigned>(DCH_dc_waitOnData),
                     appl.c_str(), group.c_str());
        }
    } else {
        VA_ERROR("Error: status of <%x> unrecognizable.\n", static_cast<unsigned>(status));
    }
}

void DCHserver::deliverData(const char* message, uint32_t length, const DCHclientAddr& clientAddr,
                            unsigned int connectedSockFD) {
    if (connectedSockFD != 0) {
        admitConnectionData(connectedSockFD);
        if (holdData(message, length, connectedSockFD)) {
            flushHeldData();
        }
    } else if (!_packedSubscribers.empty() && _packedSubscribers.count(addressKey(clientAddr)) != 0) {
        if (holdDatagram(message, length, clientAddr)) {
            flushHeldData();
        }
    } else {
        sendTo(message, length, clientAddr, connectedSockFD);
    }
}

namespace {
std::string unclaimedKey(std::string_view applName, std::string_view attrGroup) {
    std::string key(applName);
    key.push_back('\0');
    key.append(attrGroup);
    return key;
}
}  // namespace

int DCHserver::keepSecondsFromEnvironment() {
    const char* value = BSS1_GetEnv("VORPANE_DCH_KEEP_SECONDS", 0);
    if (value == nullptr || *value == '\0') {
        return kDefaultKeepSeconds;
    }
    char* end = nullptr;
    const long n = std::strtol(value, &end, 10);
    if (end == value || *end != '\0' || n < 1 || n > kMaxKeepSeconds) {
        VA_ERROR("Warning: VORPANE_DCH_KEEP_SECONDS=<%s> is not 1 to %d; using %d.\n", value, kMaxKeepSeconds,
                 kDefaultKeepSeconds);
        return kDefaultKeepSeconds;
    }
    return static_cast<int>(n);
}

void DCHserver::dropAgedUnclaimedData(bool force) {
    const double now = vorpane::clock::now();
    if ((!force && now < _nextAgeCheck) || _unclaimed.empty()) {
        return;
    }
    _nextAgeCheck = now + 1;
    for (auto it = _unclaimed.begin(); it != _unclaimed.end();) {
        UnclaimedData& kept = it->second;
        int dropped = 0;
        while (!kept.messages.empty() && now - kept.messages.front().keptAt > _keepSeconds) {
            kept.bytes -= kept.messages.front().bytes.size();
            _unclaimedBytes -= kept.messages.front().bytes.size();
            kept.messages.pop_front();
            ++dropped;
        }
        if (dropped > 0) {
            // The key is the application name, a NUL and the group.
            const std::string& key = it->first;
            const size_t nul = key.find('\0');
            VA_ERROR("Warning: no collector claimed %d rows of <%s/%s> within %d seconds: they are dropped.\n",
                     dropped, key.substr(0, nul).c_str(), key.substr(nul + 1).c_str(), _keepSeconds);
        }
        if (kept.messages.empty()) {
            it = _unclaimed.erase(it);
        } else {
            ++it;
        }
    }
}

void DCHserver::keepUnclaimedData(const char* applName, const char* attrGroup, int32_t handle) {
    dropAgedUnclaimedData(false);
    const int length = _buckets->getData(_valuesBuf, _valuesBuf.size(), handle, 1);
    if (length <= 0) {
        VA_ERROR("Error: getData for handle %d returned %d\n", handle, length);
        return;
    }
    UnclaimedData& kept = _unclaimed[unclaimedKey(applName, attrGroup)];
    const size_t size = static_cast<size_t>(length);
    while (!kept.messages.empty() &&
           (kept.messages.size() >= kUnclaimedPerGroup || _unclaimedBytes + size > kUnclaimedBytes)) {
        if (!kept.dropping) {
            VA_ERROR("Warning: no collector waits on <%s/%s>: its oldest rows are dropped.\n", applName, attrGroup);
            kept.dropping = true;
        }
        kept.bytes -= kept.messages.front().bytes.size();
        _unclaimedBytes -= kept.messages.front().bytes.size();
        kept.messages.pop_front();
    }
    if (_unclaimedBytes + size > kUnclaimedBytes) {
        if (!kept.dropping) {
            VA_ERROR("Warning: no collector waits on <%s/%s>: its rows are dropped.\n", applName, attrGroup);
            kept.dropping = true;
        }
        return;
    }
    kept.messages.push_back(
        KeptMessage{std::vector<char>(_valuesBuf.data(), _valuesBuf.data() + size), vorpane::clock::now()});
    kept.bytes += size;
    _unclaimedBytes += size;
    VA_DETAIL("Keeping %d bytes for the first collector of <%s/%s>, %d messages kept.\n", length, applName,
              attrGroup, static_cast<int>(kept.messages.size()));
}

void DCHserver::sendUnclaimedData(const std::string& applName, const std::string& attrGroup,
                                  const DCHclientAddr& clientAddr, unsigned int connectedSockFD) {
    dropAgedUnclaimedData(true);
    auto found = _unclaimed.find(unclaimedKey(applName, attrGroup));
    if (found == _unclaimed.end()) {
        return;
    }
    UnclaimedData kept = std::move(found->second);
    _unclaimed.erase(found);
    _unclaimedBytes -= kept.bytes;
    VA_STATE("Sending %d rows kept for <%s/%s> to its new collector.\n", static_cast<int>(kept.messages.size()),
             applName.c_str(), attrGroup.c_str());
    for (const KeptMessage& message : kept.messages) {
        deliverData(message.bytes.data(), static_cast<uint32_t>(message.bytes.size()), clientAddr, connectedSockFD);
    }
}

void DCHserver::dropUnclaimedData(const std::string& applName, const std::string& attrGroup,
                                  const std::string& sourceName) {
    auto found = _unclaimed.find(unclaimedKey(applName, attrGroup));
    if (found == _unclaimed.end()) {
        return;
    }
    UnclaimedData& kept = found->second;
    for (auto it = kept.messages.begin(); it != kept.messages.end();) {
        FieldReader r(it->bytes.data(), it->bytes.size());
        if (r.next().cText() == sourceName) {
            kept.bytes -= it->bytes.size();
            _unclaimedBytes -= it->bytes.size();
            it = kept.messages.erase(it);
        } else {
            ++it;
        }
    }
    if (kept.messages.empty()) {
        _unclaimed.erase(found);
    }
}

void DCHserver::dropUnclaimedData(const std::string& applName) {
    const std::string prefix = unclaimedKey(applName, "");
    for (auto it = _unclaimed.begin(); it != _unclaimed.end();) {
        if (it->first.compare(0, prefix.size(), prefix) == 0) {
            _unclaimedBytes -= it->second.bytes;
            it = _unclaimed.erase(it);
        } else {
            ++it;
        }
    }
}

void DCHserver::beginApplicationRun(const std::string& applName, bool firstOnline) {
    ApplicationRun& run = _runs[applName];
    if (firstOnline || !run.live) {
        ++run.number;
        run.live = true;
        VA_STATE("Run %d of application <%s> begins\n", static_cast<int>(run.number), applName.c_str());
    }
}

void DCHserver::endApplicationRunIfLast(const std::string& applName) {
    const applSpaceEntry* entry = _buckets->searchApplSpace(applName);
    if (entry != nullptr && entry->checkForOnline() != 0) {
        return;  // another source is still online
    }
    ApplicationRun& run = _runs[applName];
    run.live = false;
    int ended = 0;
    for (DCwaitingListEntry* w = _waitList->getEntry(1); w != nullptr; w = _waitList->getEntry(0)) {
        if (w->waiterType() == DCH_dc_waitOnData && (w->subscriptionFlags() & DCH_APPLICATION_RUN) != 0 &&
            applName == w->applName() && _waitList->removeEntry(w) == 0) {
            ++ended;
        }
    }
    _waitList->deleteIterator();
    _lastWaiter = nullptr;
    VA_STATE("Run %d of application <%s> ends with its last source; %d subscription(s) bound to it end too\n",
             static_cast<int>(run.number), applName.c_str(), ended);
}

int32_t DCHserver::applicationRun(const std::string& applName) const {
    auto found = _runs.find(applName);
    return found != _runs.end() ? found->second.number : 0;
}

void DCHserver::dc_waitForDPStatus(std::string_view message, const char* applName, const char* attrGroup,
                                   const char* sourceName, short requestType, const DCHclientAddr& clientAddr,
                                   unsigned int connectedSockFD) {
    if (message.empty()) {
        MessageBuilder record(128);
        record.text(DCH_applName, applName != nullptr ? applName : "")
            .text(DCH_attrGroup, attrGroup != nullptr ? attrGroup : "")
            .text(DCH_sourceName, sourceName != nullptr ? sourceName : "")
            .int16(DCH_requestType, requestType)
            .int32(DCH_applRun, applicationRun(applName != nullptr ? applName : ""));
        sendTo(record.data(), static_cast<uint32_t>(record.size()), clientAddr, connectedSockFD);
        VA_DETAIL("dc_waitForDPStatus response sent to client: %d bytes", static_cast<int>(record.size()));
        return;
    }
    FieldReader r(message.data(), message.size(), DCH_REQUEST_FIELDS);
    FieldReader::Field f = r.next();
    int32_t status = 0;
    if (f.type != DCH_status || !f.int32(&status)) {
        VA_ERROR("Error: dataType of DCH_status missing: %d\n", f.type);
        return;
    }
    if (status == 1) {
        _waitList->addEntry("NULL", "NULL", DCH_dc_waitForDPStatus, clientAddr, connectedSockFD, "NULL", 1);
        if (_buckets->sendCurrentStatus(*this, clientAddr, connectedSockFD) == 0xFFFF) {
            VA_ERROR("Error: Searching for existing attrInfoList.\n");
        }
    } else if (status == 0) {
        _waitList->removeEntry(DCH_dc_waitForDPStatus, "NULL", "NULL", clientAddr, connectedSockFD);
    } else {
        VA_ERROR("Error: status of <%x> unrecognizable.\n", static_cast<unsigned>(status));
    }
}

void DCHserver::dc_getApplications(std::string_view message, const char* applName, const DCHclientAddr& clientAddr,
                                   unsigned int connectedSockFD) {
    answerInfoRequest(message, applName, DCH_dc_getApplications, clientAddr, connectedSockFD);
}

void DCHserver::dc_getApplAttributes(std::string_view message, const char* applName,
                                     const DCHclientAddr& clientAddr, unsigned int connectedSockFD) {
    answerInfoRequest(message, applName, DCH_dc_getApplAttributes, clientAddr, connectedSockFD);
}

void DCHserver::dc_getApplHelp(std::string_view message, const char* applName, const DCHclientAddr& clientAddr,
                               unsigned int connectedSockFD) {
    answerInfoRequest(message, applName, DCH_dc_getApplHelp, clientAddr, connectedSockFD);
}

void DCHserver::answerInfoRequest(std::string_view message, const char* applName, short waiterType,
                                  const DCHclientAddr& clientAddr, unsigned int connectedSockFD) {
    const bool requestMode = !message.empty();
    std::string appl = applName != nullptr ? applName : "";
    bool all = false;
    if (requestMode) {
        FieldReader r(message.data(), message.size(), DCH_REQUEST_FIELDS);
        FieldReader::Field f = r.next();
        if (f.type != DCH_applName) {
            if (waiterType != DCH_dc_getApplications) {
                VA_ERROR("Error: dataType of DCH_applName missing: %d\n", f.type);
                return;
            }
            VA_DETAIL("applName not specified so querying for all applications.\n");
            all = true;
        } else if (f.cText().size() < kMinApplName || f.cText().size() > kMaxApplName) {
            VA_ERROR("Error: invalid applName length: %d\n", static_cast<int>(f.cText().size()));
            return;
        } else {
            appl.assign(f.cText());
        }
    }

    const char* text = nullptr;
    if (waiterType == DCH_dc_getApplications) {
        text = _buckets->getApplInfo(all ? nullptr : appl.c_str());
    } else if (waiterType == DCH_dc_getApplAttributes) {
        text = _buckets->getAttrInfo(appl);
    } else {
        text = _buckets->getApplHelp(appl);
    }

    if (text == nullptr && requestMode && all) {
        // Nothing is registered yet: an empty answer now serves the asker better than a wait under
        // no name at all.
        text = "";
    }
    if (text != nullptr) {
        const std::string_view info(text);
        MessageBuilder reply(info.size() + 100);
        reply.text(DCH_infoText, info);
        sendTo(reply.data(), static_cast<uint32_t>(reply.size()), clientAddr, connectedSockFD);
        if (waiterType == DCH_dc_getApplications) {
            VA_DETAIL("Application Info message sent to client: %d bytes", static_cast<int>(reply.size()));
        } else {
            VA_DETAIL("Attribute Info message sent to client: %d bytes", static_cast<int>(reply.size()));
        }
        return;
    }
    if (requestMode) {
        VA_STATE("No information on applName <%s>\n", appl.c_str());
        VA_STATE("Putting on waiting list");
        _waitList->addEntry(appl.c_str(), "NULL", waiterType, clientAddr, connectedSockFD, "NULL", 1);
    } else {
        VA_ERROR("Error: redriven but no applName <%s> found.\n", appl.c_str());
    }
}

int DCHserver::dc_deferReportRequest(std::string_view message) {
    FieldReader r(message.data(), message.size(), DCH_REQUEST_FIELDS);
    int32_t actionID = 0;
    int32_t objectPtr = 0;
    int32_t time = 0;
    if (!readInt32Field(r, DCH_actionID, &actionID) || !readInt32Field(r, DCH_objectPtr, &objectPtr) ||
        !readInt32Field(r, DCH_time, &time)) {
        return DCH_STATUS_DUPLICATE;  // a missing number: status 1
    }
    struct Text {
        uint16_t type;
        size_t below;
        const char* name;
        std::string value;
    } texts[] = {{DCH_applKey, 4, "applKey", {}}, {DCH_tableName, 11, "tableName", {}},
                 {DCH_sourceName, 33, "sourceName", {}}};
    for (Text& t : texts) {
        FieldReader::Field f = r.next();
        if (f.type != t.type) {
            VA_ERROR("Error: dataType of DCH_%s missing\n", t.name);
            return DCH_STATUS_FAILED;
        }
        t.value.assign(f.cText());
        if (t.value.size() >= t.below) {
            VA_ERROR("Error: incorrect length for %s value <%s>\n", t.name, t.value.c_str());
            return DCH_STATUS_FAILED;
        }
    }
    samplesList* samples = dataSamples();
    if (samples == nullptr) {
        VA_ERROR("Error: samplesList object is not available\n");
        return DCH_STATUS_FAILED;
    }
    return samples->addDeferredReportRequest(texts[0].value.c_str(), texts[1].value.c_str(), texts[2].value.c_str(),
                                             actionID, static_cast<uint32_t>(objectPtr), time);
}

int DCHserver::dp_redriveReportRequest(std::string_view message) {
    FieldReader r(message.data(), message.size(), DCH_REQUEST_FIELDS);
    int32_t handle = 0;
    int32_t actionID = 0;
    if (!readHandleField(r, &handle)) {
        return DCH_STATUS_FAILED;
    }
    if (!readInt32Field(r, DCH_actionID, &actionID)) {
        return DCH_STATUS_DUPLICATE;  // a missing action ID: status 1
    }
    attrInfoList* list = _buckets->searchAttrInfoList(handle);
    if (list == nullptr) {
        VA_ERROR("Error: could not resolve applName from handle=%d\n", handle);
        return DCH_STATUS_FAILED;
    }
    const std::string appl = std::string(list->ApplSpaceEntry()->applName()).substr(0, kMaxApplName);
    const std::string applKey = appl.substr(0, 3);
    if (answerInLine(list->ApplSpaceEntry()->applName(), list->group(), list->sourceName(), actionID)) {
        return DCH_STATUS_OK;
    }
    samplesList* samples = dataSamples();
    if (samples == nullptr) {
        VA_ERROR("Error: samplesList object is not available\n");
        return DCH_STATUS_FAILED;
    }
    return samples->redriveDeferredReportRequest(applKey.c_str(), list->group(), list->sourceName(), actionID);
}

bool DCHserver::answerInLine(const char* applName, const char* attrGroup, const char* sourceName, int32_t actionID) {
    // The group's rows go to its first subscriber (as in dp_data): the answer follows them there.
    DCwaitingListEntry* waiter = nullptr;
    for (DCwaitingListEntry* w = _waitList->getEntry(1); w != nullptr; w = _waitList->getEntry(0)) {
        if (w->waiterType() == DCH_dc_waitOnData && std::strcmp(w->applName(), applName) == 0 &&
            std::strcmp(w->attrGroup(), attrGroup) == 0) {
            waiter = w;
            break;
        }
    }
    _waitList->deleteIterator();
    if (waiter == nullptr || (waiter->subscriptionFlags() & DCH_REPORT_ANSWERS_IN_LINE) == 0) {
        return false;
    }
    MessageBuilder answer(64);
    answer.text(DCH_sourceName, sourceName).int16(DCH_controlField, DCH_REPORT_ANSWERED).int32(DCH_actionID, actionID);
    VA_DETAIL("Report answer %d of <%s/%s/%s> sent behind the group's rows\n", actionID, applName, attrGroup,
              sourceName);
    deliverData(answer.data(), static_cast<uint32_t>(answer.size()), waiter->clientAddr(), waiter->connectedSockFD());
    return true;
}

int DCHserver::dp_setDemandReportOption(std::string_view message) {
    FieldReader r(message.data(), message.size(), DCH_REQUEST_FIELDS);
    int16_t option = 0;
    if (const FieldReader::Field f = r.next(); f.type != DCH_controlField || !f.int16(&option)) {
        return DCH_STATUS_DUPLICATE;  // a missing control field: status 1
    }
    int status = DCH_STATUS_OK;
    FieldReader::Field applField = r.next();
    FieldReader::Field groupField = r.next();
    FieldReader::Field sourceField = r.next();
    const std::string appl(applField.cText());
    const std::string group = upper(groupField.cText());
    const std::string source(sourceField.cText());
    if (applField.type != DCH_applName || appl.size() < kMinApplName || appl.size() > kMaxApplName) {
        VA_ERROR("Error: incorrect length for applName value <%s>\n", appl.c_str());
        status = DCH_STATUS_FAILED;
    } else if (groupField.type != DCH_attrGroup || group.size() > kMaxGroupName) {
        VA_ERROR("Error: incorrect length for attrGroup value <%s>\n", group.c_str());
        status = DCH_STATUS_FAILED;
    } else if (sourceField.type != DCH_sourceName || source.size() > kMaxSourceName) {
        VA_ERROR("Error: incorrect length for sourceName value <%s>\n", source.c_str());
        status = DCH_STATUS_FAILED;
    }
    if (status != DCH_STATUS_OK) {
        return status;
    }
    const std::string applKey = upper(appl.substr(0, 3));

    _waitList->addEntry(appl.c_str(), group.c_str(), DCH_dc_getDemandReportResults, _ipcClientAddr, _connectedSockFD,
                        "NULL", 1);
    samplesList* samples = dataSamples();
    if (samples == nullptr) {
        VA_ERROR("Error: samplesList object is not available\n");
        status = DCH_STATUS_FAILED;
    } else {
        samplesListEntry* entry = nullptr;
        for (int attempt = 0; attempt < kSamplesEntryTries; ++attempt) {
            entry = samples->getSamplesListEntry(applKey.c_str(), group.c_str(), source.c_str());
            if (entry != nullptr) {
                break;
            }
            VA_STATE("Waiting for samplesListEntry creation for <%s/%s/%s>\n", applKey.c_str(), group.c_str(),
                     source.c_str());
            if (!waitWhileRunning(kSamplesEntryWait)) {
                break;  // the hub is stopping: the lists may be about to go
            }
            samples = dataSamples();
            if (samples == nullptr) {
                break;
            }
        }
        if (entry == nullptr) {
            VA_ERROR("Error: samplesListEntry object is not available for <%s/%s/%s>\n", applKey.c_str(),
                     group.c_str(), source.c_str());
            status = DCH_STATUS_FAILED;
        } else if (option != 0) {
            samples->setDemandReportingOption(applKey.c_str(), group.c_str(), source.c_str(), 1);
            if (DemandReport() != 'Y') {
                VA_STATE("Enabling global DemandReporting option\n");
                setDemandReport('Y');
            }
            samples->initializeDemandReporting(applKey.c_str(), group.c_str(), source.c_str());
        } else {
            samples->removeDeferredReportRequests(applKey.c_str(), group.c_str(), source.c_str());
            samples->setDemandReportingOption(applKey.c_str(), group.c_str(), source.c_str(), 0);
        }
    }

    for (DCwaitingListEntry* w = _waitList->getEntry(1); w != nullptr; w = _waitList->getEntry(0)) {
        if (w->waiterType() == DCH_dc_getDemandReportResults && appl == w->applName() && group == w->attrGroup()) {
            MessageBuilder results(256);
            results.int16(DCH_requestType, DCH_dp_demandReportResults)
                .int32(DCH_time, status == DCH_STATUS_OK ? Report_Request_Expiration() : 0)
                .int32(DCH_status, status)
                .text(DCH_applName, appl)
                .text(DCH_attrGroup, group)
                .text(DCH_sourceName, source);
            sendTo(results.data(), static_cast<uint32_t>(results.size()), w->clientAddr(), w->connectedSockFD());
            _waitList->removeEntry(w);
            break;
        }
    }
    _waitList->deleteIterator();
    return status;
}
