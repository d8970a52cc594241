// The action requests: providers park for actions of a type and source, collectors hand actions
// over and ask for their results, providers report the results. Automation actions are also kept in
// the action table, whose consumer logs them as ACTION rows of the agent's own application.
#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <optional>
#include <string>

#include "agent/hub_access.h"
#include "datapath/atomic_situation_list.h"
#include "hub/action_table.h"
#include "hub/dc_waiting_list.h"
#include "hub/dch_request_fields.h"
#include "hub/dch_server.h"
#include "interfaces/dch_protocol.h"
#include "interfaces/support.h"
#include "interfaces/trace.h"

namespace {

using vorpane::dch::FieldReader;
using vorpane::dch::MessageBuilder;

constexpr int32_t kMissing = 1;
constexpr size_t kMaxOwner = 64;
constexpr size_t kMaxActionNode = 70;
constexpr size_t kMaxSubnode = 32;
constexpr size_t kMaxActionName = 256;
constexpr size_t kMaxActionParms = 1024;
constexpr size_t kMaxResult = 256;
constexpr size_t kResultField = kMaxResult + 1;  // the result text travels zero-padded to this width
// Results given to automation actions that reach no provider.
constexpr int32_t kDpError = 4;
constexpr int32_t kSourceOffline = 8;
constexpr int32_t kNodeNameNotFound = 16;

// Whether actions are recorded in the table: always for the generic agent; for a product agent
// only when its node type names the action source.
bool recordActions() {
    return !vorpane::productAgent() || ZOT0_QueryProductSpecNumber(ZOT2_NODE_TYPE_ACTIONS).value_or(0) != 0;
}

std::optional<std::string> instanceName() {
    std::optional<std::string> inst = ZOT0_QueryProductSpec(ZOT2_INSTANCE_NAME);
    if (inst && inst->empty()) {
        return std::nullopt;
    }
    return inst;
}

// Reads a 16-bit action type: 0 read and valid, 1 missing, -1 outside 1 to 5.
int readActionType(FieldReader& r, int16_t* actionType) {
    const FieldReader::Field f = r.next();
    if (f.type != DCH_actionType || !f.int16(actionType)) {
        VA_ERROR("Error: dataType of DCH_actionType missing\n");
        return kMissing;
    }
    if (*actionType < 1 || *actionType > 5) {
        VA_ERROR("Error: actionType %d not supported\n", *actionType);
        return DCH_STATUS_FAILED;
    }
    return 0;
}

// Reads one text field of the type: 0 read, 1 missing, -1 longer than max (traced with label).
int readText(FieldReader& r, uint16_t type, size_t max, const char* fieldName, const char* label,
             std::string* out) {
    const FieldReader::Field f = r.next();
    if (f.type != type) {
        VA_ERROR("Error: dataType of %s missing\n", fieldName);
        return kMissing;
    }
    const std::string_view text = f.cText();
    if (text.size() > max) {
        VA_ERROR("Error: %s length %d > %d\n", label, static_cast<int>(text.size()), static_cast<int>(max));
        return DCH_STATUS_FAILED;
    }
    out->assign(text);
    return 0;
}

// The host name that selects the waiting providers, from the action node "<source>:<application>".
// truncated: the node may have been cut at its left, so the host name may be the tail of a longer
// source name. Empty when the node holds no ":".
std::string hostNameFromNode(const std::string& node, bool* truncated) {
    *truncated = false;
    const size_t colon = node.find(':');
    if (colon == std::string::npos) {
        return std::string();
    }
    if (node.size() != kMaxSubnode) {
        return node.substr(0, colon);
    }
    if (std::optional<std::string> inst = instanceName()) {
        const std::string head = node.substr(0, node.find('_'));
        if (head.size() < inst->size() && inst->find(head) != std::string::npos) {
            VA_ERROR("Warning: Instname <%s> truncated in actionNode <%s>\n", inst->c_str(), node.c_str());
            const size_t underscore = node.find('_');
            std::string host = *inst + node.substr(underscore, colon - underscore);
            ZOT0_TruncateFromLeft(host, kMaxSubnode);
            return host;
        }
        return node.substr(0, colon);
    }
    *truncated = true;
    return node.substr(0, colon);
}

bool sourceMatches(const std::string& host, bool truncated, std::string_view waiterSource) {
    if (!truncated) {
        return waiterSource == host;
    }
    const size_t at = waiterSource.find(host);
    return at != std::string_view::npos && at + host.size() == waiterSource.size();
}

}  // namespace

int DCHserver::dp_waitForAction(std::string_view message) {
    FieldReader r(message.data(), message.size(), DCH_REQUEST_FIELDS);
    int16_t actionType = 0;
    if (const int rc = readActionType(r, &actionType); rc != 0) {
        return rc;
    }
    const FieldReader::Field f = r.next();
    if (f.type != DCH_sourceName || f.cText().empty()) {
        VA_ERROR("Error: dataType of DCH_sourceName missing\n");
        return kMissing;
    }
    std::string source(f.cText());
    if (std::optional<std::string> inst = instanceName(); inst && source.compare(0, inst->size(), *inst) != 0) {
        VA_DETAIL("Prepending instance name <%s> to source name <%s>\n", inst->c_str(), source.c_str());
        source = *inst + "_" + source;
        if (source.size() > DCH_MAX_SOURCE_NAME) {
            VA_ERROR("Warning: SourceName <%s> length=%d > max length=%d -> truncating\n", source.c_str(),
                     static_cast<int>(source.size()), static_cast<int>(DCH_MAX_SOURCE_NAME));
            ZOT0_TruncateFromLeft(source, DCH_MAX_SOURCE_NAME);
        }
    } else if (source.size() > DCH_MAX_SOURCE_NAME) {
        VA_ERROR("Warning: SourceName length=%d > %d -> truncating\n", static_cast<int>(source.size()),
                 static_cast<int>(DCH_MAX_SOURCE_NAME));
        ZOT0_TruncateFromLeft(source, DCH_MAX_SOURCE_NAME);
    }

    DCwaitingListEntry* found = nullptr;
    for (DCwaitingListEntry* w = _waitList->getEntry(1); w != nullptr; w = _waitList->getEntry(0)) {
        if (w->waiterType() == DCH_dp_waitForAction && w->actionType() == actionType &&
            w->connectedSockFD() == _connectedSockFD && source == w->sourceName() && !w->markedForDelete()) {
            found = w;
            break;
        }
    }
    _waitList->deleteIterator();
    if (found != nullptr) {
        VA_DETAIL("Found a waiting DCH_dp_waitForAction @%p\n", static_cast<void*>(found));
        return 0;
    }
    VA_DETAIL("Adding DCH_dp_waitForAction actionType<%d> sourceName<%s>\n", actionType, source.c_str());
    return _waitList->addEntry("NULL", "NULL", DCH_dp_waitForAction, _ipcClientAddr, _connectedSockFD,
                               source.c_str(), actionType);
}

int DCHserver::dc_provideAction(std::string_view message) {
    FieldReader r(message.data(), message.size(), DCH_REQUEST_FIELDS);
    int16_t actionType = 0;
    std::string owner;
    std::string node;
    std::string subnode;
    std::string name;
    int32_t actionID = 0;
    int status = readActionType(r, &actionType);
    if (status == 0) {
        status = readText(r, DCH_actionOwner, kMaxOwner, "DCH_actionOwner", "actionOwner",
                          &owner);
    }
    if (status == 0) {
        status = readText(r, DCH_sourceName, kMaxActionNode, "DCH_sourceName",
                          "actionNode", &node);
    }
    if (status == 0) {
        status = readText(r, DCH_sourceName, kMaxSubnode, "DCH_sourceName", "subNode",
                          &subnode);
    }
    if (status == 0) {
        status = readText(r, DCH_actionName, kMaxActionName, "DCH_actionName",
                          "actionName", &name);
    }
    if (status == 0 && !readInt32Field(r, DCH_actionID, &actionID)) {
        VA_ERROR("Error: dataType of DCH_actionID missing\n");
        status = kMissing;
    }
    std::string parms;
    if (status == 0 && r.peek().type == DCH_actionParms) {
        status = readText(r, DCH_actionParms, kMaxActionParms, "DCH_actionParms",
                          "actionParms", &parms);
    }
    if (status != 0) {
        return status;
    }

    if (name == "RULESTOP") {
        removeAtomicEventList(owner);
    }

    const bool recorded = recordActions() && (name != "TRAPEMIT" || ipcSock::envTRAPEMIT() != 0);
    if (recorded) {
        status = _actionTable->addEntry(actionType, owner.c_str(), subnode.c_str(), name.c_str(), actionID,
                                        parms.empty() ? nullptr : parms.c_str());
        if (status != 0) {
            return status;
        }
    }
    // An automation action that reaches no provider gets its result now: its caller need not wait
    // out its time-out, and the action leaves the table (and the log shows why).
    auto undelivered = [&](int32_t actionStatus) {
        if (actionType == 1) {
            if (recorded) {
                _actionTable->recordActionResults(actionID, actionStatus, nullptr);
            }
            announceActionResult(actionID, actionStatus, std::string_view());
        }
    };

    bool truncated = false;
    const std::string host = hostNameFromNode(node, &truncated);
    if (host.empty() && node.find(':') == std::string::npos) {
        VA_ERROR("Error: HostName could not be resolved from actionName<%s>\n", node.c_str());
        undelivered(kNodeNameNotFound);
        return DCH_STATUS_FAILED;
    }

    MessageBuilder request;
    request.request(DCH_dp_actionRequest)
        .int16(DCH_actionType, actionType)
        .text(DCH_actionOwner, owner)
        .text(DCH_sourceName, node)
        .text(DCH_actionName, name)
        .int32(DCH_actionID, actionID);
    if (!parms.empty()) {
        request.text(DCH_actionParms, parms);
    }

    bool matched = false;
    struct Replacement {
        DCHclientAddr addr;
        unsigned int fd;
        std::string source;
    };
    std::optional<Replacement> replace;
    for (DCwaitingListEntry* w = _waitList->getEntry(1); w != nullptr; w = _waitList->getEntry(0)) {
        if (w->waiterType() != DCH_dp_waitForAction || w->actionType() != actionType || w->markedForDelete() ||
            !sourceMatches(host, truncated, w->sourceName())) {
            continue;
        }
        matched = true;
        if (sendTo(request.data(), static_cast<uint32_t>(request.size()), w->clientAddr(), w->connectedSockFD()) <
            0) {
            const int err = errno;
            w->setSendFailedCount(w->sendFailedCount() + 1);
            VA_ERROR("Error: byte send operation failed for action <%s> totalLen=%d, errno=%d, sockerr=%d, "
                     "sendFailedCount=%d\n",
                     name.c_str(), static_cast<int>(request.size()), err, err, w->sendFailedCount());
            status = DCH_STATUS_FAILED;
            if (w->sendFailedCount() > 2 && w->actionType() == 5) {
                replace = Replacement{w->clientAddr(), w->connectedSockFD(), w->sourceName()};
                _waitList->removeEntry(w);
            }
            break;
        }
    }
    _waitList->deleteIterator();
    if (replace) {
        VA_ERROR("Adding new waiter for actionType<%d> sourceName<%s> connectedSockFD<%d>>\n", 5,
                 replace->source.c_str(), static_cast<int>(replace->fd));
        _waitList->addEntry("NULL", "NULL", DCH_dp_waitForAction, replace->addr, replace->fd, replace->source.c_str(),
                            5);
    }

    if (!matched) {
        const bool rule = name == "RULESTART" || name == "RULESTOP";
        if (DemandReport() == 'Y' && rule) {
            VA_STATE("Note: Did not find a waitlist object to process request for ActionID[%d] ActionName<%s> "
                     "ActionOwner <%s> ActionNode<%s>. Action ignored.\n",
                     actionID, name.c_str(), owner.c_str(), node.c_str());
            status = 8;
        } else if (!owner.empty()) {
            if (rule) {
                VA_STATE("Note: Did not find a waitlist object to process RULESTART request for ActionID[%d] "
                         "ActionOwner <%s> ActionNode<%s>. Action skipped.\n",
                         actionID, owner.c_str(), node.c_str());
                status = 9;
            } else {
                VA_ERROR("Note: Did not find a waitlist object to process request for ActionID[%d] ActionName<%s> "
                         "ActionOwner <%s> ActionNode<%s>. Action ignored.\n",
                         actionID, name.c_str(), owner.c_str(), node.c_str());
                status = DCH_STATUS_FAILED;
            }
        } else {
            VA_STATE("Note: Did not find a waitlist object to process request for ActionID[%d] ActionName<%s> "
                     "ActionNode<%s>. Action ignored.\n",
                     actionID, name.c_str(), node.c_str());
            status = 8;
        }
    }
    if (status != 0) {
        undelivered(matched ? kDpError : kSourceOffline);
    }
    if (status != 0 && (name == "REPORT_REQUEST" || name == "SITUATION_REQUEST")) {
        VA_STATE("Redriving report/situation request for ActionID %d\n", actionID);
    }
    return status;
}

int DCHserver::dp_provideActionResults(std::string_view message) {
    FieldReader r(message.data(), message.size(), DCH_REQUEST_FIELDS);
    int32_t actionID = 0;
    int32_t actionStatus = 0;
    if (!readInt32Field(r, DCH_actionID, &actionID)) {
        VA_ERROR("Error: dataType of DCH_actionID missing\n");
        return kMissing;
    }
    if (!readInt32Field(r, DCH_status, &actionStatus)) {
        VA_ERROR("Error: dataType of DCH_status missing\n");
        return kMissing;
    }
    std::string results;
    if (const FieldReader::Field f = r.next(); f.type == DCH_actionResult) {
        results.assign(f.cText().substr(0, kMaxResult));
    } else {
        VA_DETAIL("Note: dataType of DCH_actionResult missing: %d\n", f.type);
    }

    int status = 0;
    if (recordActions()) {
        status = _actionTable->recordActionResults(actionID, actionStatus, results.c_str());
    }
    if (status != 0) {
        return status;
    }
    announceActionResult(actionID, actionStatus, results);
    return 0;
}

void DCHserver::announceActionResult(int32_t actionID, int32_t actionStatus, std::string_view results) {
    _recentResults.remember(actionID, actionStatus, results);
    // The result text zero-padded to its width, then (our addition, which readers of the first field
    // alone may ignore) the action's ID and status, so that a collector waiting for one action among
    // several running ones takes its own result.
    std::array<char, kResultField> text{};
    if (!results.empty()) {
        std::memcpy(text.data(), results.data(), std::min(results.size(), kMaxResult));
    }
    MessageBuilder m;
    m.add(DCH_status, text.data(), text.size()).int32(DCH_actionID, actionID).int32(DCH_status, actionStatus);
    for (DCwaitingListEntry* w = _waitList->getEntry(1); w != nullptr; w = _waitList->getEntry(0)) {
        if (w->waiterType() == DCH_dc_waitForActionResults && !w->markedForDelete()) {
            sendTo(m.data(), static_cast<uint32_t>(m.size()), w->clientAddr(), w->connectedSockFD());
        }
    }
    _waitList->deleteIterator();
}

int DCHserver::dc_waitForActionResults(std::string_view message, int* actionResult) {
    FieldReader r(message.data(), message.size(), DCH_REQUEST_FIELDS);
    int32_t actionID = 0;
    if (!readInt32Field(r, DCH_actionID, &actionID)) {
        // No id to look up: the caller learns that a required field was missing and is not parked.
        VA_ERROR("Error: dataType of DCH_actionID missing\n");
        *actionResult = 11;  // REQPARM_MISSING
        return kMissing;
    }
    int32_t result = _actionTable->getActionStatus(actionID);
    if (result == 1) {
        if (const actionResultMemory::Result* recent = _recentResults.find(actionID); recent != nullptr) {
            result = recent->status;
        }
    }
    *actionResult = result;
    if (result != 1) {
        return 0;
    }
    return _waitList->addEntry("NULL", "NULL", DCH_dc_waitForActionResults, _ipcClientAddr, _connectedSockFD, nullptr,
                               1);
}

void DCHserver::removeAtomicEventList(const std::string& situation) {
    atomicSituationList* atomics = atomicSituations();
    if (atomics == nullptr || atomics->getNumberOfElements() == 0) {
        return;
    }
    atomicSituationEntry* entry = atomics->findEntry(situation.c_str());
    if (entry != nullptr && entry->removeAtomicEventList()) {
        VA_STATE("Removing atomic event list for situation <%s>\n", situation.c_str());
    }
}

int DCHserver::actionSourceOnline() {
    if (_actionOnline == 0) {
        if (_actionTable->doActionOnline() != 0) {
            VA_ERROR("Error: doActionOnline failed.\n");
            return DCH_STATUS_FAILED;
        }
        if (_actionDataStarted == 0) {
            if (_actionTable->doActionData() != 0) {
                VA_ERROR("Error: doActionData failed.\n");
                return DCH_STATUS_FAILED;
            }
            _actionDataStarted = 1;
        }
        _actionOnline = 1;
    }
    return 0;
}

void DCHserver::actionSourceOffline() {
    if (_actionTable->doActionOffline() != 0) {
        VA_ERROR("Error: doActionOffline failed.\n");
    }
    _actionOnline = 0;
}
