#include "hub/action_table.h"

#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <string>

#include "interfaces/dch_client.h"
#include "interfaces/support.h"
#include "interfaces/trace.h"

namespace {

constexpr int16_t kAutomation = 1;
constexpr int32_t kAdd = 1;
constexpr int32_t kUpdate = 2;
constexpr int16_t kSingleRow = 0x11;
constexpr int kTextKind = 68;
constexpr int kNumberKind = 67;

// An empty text is sent as one blank: the row store keeps a column without value otherwise.
const char* orBlank(const char* text) { return text == nullptr || *text == '\0' ? " " : text; }

}  // namespace

actionTableEntry::actionTableEntry(const ActionInfo_t& info)
    : _actionType(info.actionType),
      _actionOwner(info.actionOwner.view()),
      _actionNode(info.actionNode.view()),
      _actionName(info.actionName.view()),
      _actionID(info.actionID),
      _actionParms(info.actionParms.view()),
      _actionStatus(1),
      _actionResults(info.actionResults.view()) {}

actionTable::actionTable()
    : _sourceName(actionSourceName()),
      _lastAddTime(vorpane::clock::nowSeconds()),
      _lastCheckTime(vorpane::clock::nowSeconds()) {}

actionTable::~actionTable() {
    shutdown();
    vorpane::ScopedLock g(_lock);
    // Entries still waiting for their result go with the table.
    _ring.clear();
}

void actionTable::shutdown() {
    cb_close();
    if (_dataStarted.exchange(false)) {
        pthread_join(_dataThread, nullptr);
    }
    waitForSourceThreads();
}

// ---------------------------------------------------------------------------------------------------
// Texts

const char* actionTable::actionTypeText(int16_t actionType) {
    switch (actionType) {
        case 1:
            return "AUTOMATION";
        case 2:
            return "RULE";
        case 3:
            return "SNMP";
        case 4:
            return "WBEM";
        default:
            return "UNKNOWN";
    }
}

const char* actionTable::actionStatusText(long status) {
    // One buffer per thread: the request thread and the log consumer both format statuses.
    thread_local std::string text;
    text = DCH_actionStatusText(static_cast<int32_t>(status));
    return text.c_str();
}

std::string actionTable::alternateActionParms(std::string_view parms) {
    size_t cut = std::string_view::npos;
    if (parms.find("MONITOR START AGENTINFO=") != std::string_view::npos) {
        cut = parms.find("PASSWORD=");
    }
    cut = std::min(cut, parms.find(" LOGONID="));
    return std::string(parms.substr(0, cut));
}

std::string actionTable::actionApplName() {
    if (vorpane::productAgent() && ZOT0_QueryProductSpecNumber(ZOT2_NODE_TYPE_ACTIONS).value_or(0) != 0) {
        if (std::optional<std::string> nodeType = ZOT0_QueryProductSpec(ZOT2_NODE_TYPE); nodeType && !nodeType->empty()) {
            ZOT0_ConvertStringToUpper(*nodeType);
            return *nodeType;
        }
    }
    return "VAGENT";
}

std::string actionTable::actionSourceName() {
    // The host's name, not the hub's address: the source names the machine the actions ran on.
    char host[256] = {};
    std::string name;
    if (gethostname(host, sizeof host - 1) == 0) {
        name = host;
        name = name.substr(0, name.find('.'));
    }
    return name + "ACT";
}

// ---------------------------------------------------------------------------------------------------
// The queue

int actionTable::cb_put_data(const ActionInfo_t& record) {
    vorpane::ScopedLock g(_bufLock, [] { VA_ERROR("Error: failed to acquire actionInfo->buf_lock\n"); });
    if (!g.ok()) {
        return 1;
    }
    const bool room = _notFull.waitUntil(_bufLock, kPutWait, [&]() VA_REQUIRES(_bufLock) {
        return _closed || _numFull < kQueueSlots - 1;
    });
    if (_closed) {
        return 2;
    }
    if (!room) {
        VA_ERROR("Error: action log queue stayed full for %.0f seconds; record of actionID <%d> dropped\n", kPutWait,
                 record.actionID);
        return 1;
    }
    const int slot = (_startIdx + _numFull) % kQueueSlots;
    if (_slots[slot] == nullptr) {
        _slots[slot] = std::make_unique<ActionInfo_t>();
    }
    *_slots[slot] = record;
    ++_numFull;
    _notEmpty.signal();
    return 0;
}

int actionTable::cb_get_data(ActionInfo_t* record) {
    vorpane::ScopedLock g(_bufLock, [] { VA_ERROR("Error: failed to acquire actionInfo->buf_lock\n"); });
    if (!g.ok()) {
        return 1;
    }
    _notEmpty.waitUntil(_bufLock, -1, [&]() VA_REQUIRES(_bufLock) { return _closed || _numFull > 0; });
    if (_numFull == 0) {
        return 2;  // closed and drained
    }
    if (_slots[_startIdx] == nullptr) {
        VA_ERROR("Error: _actionInfo->data<%d> was NULL\n", _startIdx);
        return 1;
    }
    *record = *_slots[_startIdx];
    _startIdx = (_startIdx + 1) % kQueueSlots;
    --_numFull;
    if (_numFull <= 5) {
        _notFull.broadcast();
    } else {
        VA_DETAIL("Not signaling waiting writer(s), more than half of the action buffers are in use.\n");
    }
    return 0;
}

void actionTable::cb_close() {
    vorpane::ScopedLock g(_bufLock);
    _closed = true;
    _notEmpty.broadcast();
    _notFull.broadcast();
}

// ---------------------------------------------------------------------------------------------------
// Records

int actionTable::addEntry(int16_t actionType, const char* owner, const char* node, const char* name, int32_t actionID,
                          const char* parms) {
    switch (actionType) {
        case kAutomation:
            break;
        case 2:
            VA_DETAIL("RULE START/STOP actionType ignored\n");
            return 0;
        case 3:
            VA_DETAIL("SNMP actionType ignored\n");
            return 0;
        case 4:
            VA_DETAIL("WBEM actionType ignored\n");
            return 0;
        case 5:
            VA_DETAIL("REPORT actionType ignored\n");
            return 0;
        default:
            VA_DETAIL("actionType <%d> ignored\n", actionType);
            return 0;
    }
    ActionInfo_t r;
    r.requestType = kAdd;
    r.actionID = actionID;
    r.actionType = actionType;
    r.actionOwner.assign(owner);
    r.actionNode.assign(node);
    r.actionName.assign(name);
    r.actionParms.assign(parms);
    r.actionStatus = 1;
    return cb_put_data(r);
}

int actionTable::recordActionResults(int32_t actionID, int32_t status, const char* results) {
    ActionInfo_t r;
    r.requestType = kUpdate;
    r.actionID = actionID;
    r.actionStatus = status;
    r.actionResults.assign(results);  // cut to 256
    return cb_put_data(r);
}

int32_t actionTable::getActionStatus(int32_t actionID) {
    vorpane::ScopedLock g(_lock, [] { VA_ERROR("Error: unable to acquire action lock.\n"); });
    if (!g.ok()) {
        return 1;
    }
    const actionTableEntry* e = _ring.findFirst([&](const actionTableEntry& x) { return x.actionID() == actionID; });
    return e != nullptr ? e->actionStatus() : 1;
}

int actionTable::removeEntry(actionTableEntry* entry) {
    vorpane::ScopedLock g(_lock, [] { VA_ERROR("Error: unable to acquire action lock.\n"); });
    // Looked up by address, not through the entry: a stale pointer must not be read.
    if (!g.ok() || entry == nullptr ||
        _ring.findFirst([&](const actionTableEntry& x) { return &x == entry; }) == nullptr) {
        VA_ERROR("Error: actionTableEntry<@%p> not removed.\n", static_cast<void*>(entry));
        return 1;
    }
    if (_latest == entry) {
        _latest = nullptr;
    }
    _ring.erase(*entry);
    return 0;
}

int actionTable::noOfElements() {
    vorpane::ScopedLock g(_lock);
    return static_cast<int>(_ring.size());
}

void actionTable::printList() {
    vorpane::ScopedLock g(_lock);
    VA_DETAIL("actionTable @%p: %d entries\n", static_cast<void*>(this), static_cast<int>(_ring.size()));
    for (const actionTableEntry& e : _ring) {
        VA_DETAIL("  actionID<%d> type<%s> status<%s> name<%s> node<%s>\n", e.actionID(), actionTypeText(e.actionType()),
                  actionStatusText(e.actionStatus()), e.actionName(), e.actionNode());
    }
}

int actionTable::updateActionTable() {
    ActionInfo_t r;
    const int got = cb_get_data(&r);
    if (got != 0) {
        return 2;
    }
    vorpane::ScopedLock g(_lock, [] { VA_ERROR("Error: unable to acquire action lock.\n"); });
    if (!g.ok()) {
        return 2;
    }
    if (r.requestType == kAdd) {
        auto entry = std::make_unique<actionTableEntry>(r);
        actionTableEntry& e = _ring.insert(std::move(entry));
        e.setControlField(kSingleRow);
        _latest = &e;
        _requestType = kAdd;
        VA_DETAIL("ADD: actionID<%d> Node<@%p>\n", r.actionID, static_cast<void*>(&e));
        return 0;
    }
    if (r.requestType == kUpdate) {
        actionTableEntry* e = _ring.findFirst(
            [&](const actionTableEntry& x) { return x.actionID() == r.actionID && x.actionType() == kAutomation; });
        if (e == nullptr) {
            VA_DETAIL("No matching actionID <%d> and actionType of DCH_ACTION_AUTO found.\n", r.actionID);
            return 1;
        }
        e->setActionStatus(r.actionStatus);
        if (!r.actionResults.empty()) {
            e->setActionResults(r.actionResults.view());
        }
        _latest = e;
        _requestType = kUpdate;
        VA_DETAIL("UPDATE: actionID<%d> Node<@%p>\n", r.actionID, static_cast<void*>(e));
        return 0;
    }
    VA_ERROR("Error: requestType<%d> not valid\n", r.requestType);
    return 2;
}

void actionTable::rateControl(int32_t actionID, int64_t now) {
    if (now - _lastAddTime > 60) {
        VA_STATE("Enabling VAGENT Action logging, currentTime: %" PRId64 ", lastAddTime: %" PRId64 "\n", now,
                 _lastAddTime);
        _enableActionLogging = 1;
    }
    _lastAddTime = now;
    if (actionID % 10 == 0) {
        if (now - _lastCheckTime > 99) {
            VA_STATE("Enabling VAGENT Action logging, currentTime: %" PRId64 ", lastAddTime: %" PRId64 "\n", now,
                     _lastAddTime);
            _enableActionLogging = 1;
        } else {
            VA_STATE("Disabling VAGENT Action logging, currentTime: %" PRId64 ", lastCheckTime: %" PRId64 "\n", now,
                     _lastCheckTime);
            _enableActionLogging = 0;
        }
        _lastCheckTime = now;
    }
}

// ---------------------------------------------------------------------------------------------------
// The action threads

int actionTable::doActionOnline() {
    {
        vorpane::ScopedLock g(_threadLock);
        ++_sourceThreads;
    }
    if (ZOT0_CreateThread([this] { actionOnline(); }, 1, nullptr, "actionOnline") != 0) {
        VA_ERROR("Error: actionOnline thread failed creation.\n");
        vorpane::ScopedLock g(_threadLock);
        --_sourceThreads;
        return 1;
    }
    return 0;
}

int actionTable::doActionOffline() {
    {
        vorpane::ScopedLock g(_threadLock);
        ++_sourceThreads;
    }
    if (ZOT0_CreateThread([this] { actionOffline(); }, 1, nullptr, "actionOffline") != 0) {
        VA_ERROR("Error: actionOffline thread failed creation.\n");
        vorpane::ScopedLock g(_threadLock);
        --_sourceThreads;
        return 1;
    }
    return 0;
}

int actionTable::doActionData() {
    {
        // After shutdown() nothing would join a new consumer.
        vorpane::ScopedLock g(_bufLock);
        if (_closed) {
            return 0;
        }
    }
    if (_dataStarted) {
        return 0;
    }
    if (ZOT0_CreateThread([this] { actionData(); }, 0, &_dataThread, "actionData") != 0) {
        VA_ERROR("Error: actionData thread failed creation.\n");
        return 1;
    }
    _dataStarted = true;
    return 0;
}

void actionTable::waitForSourceThreads() {
    vorpane::ScopedLock g(_threadLock);
    _threadsDone.waitUntil(_threadLock, -1, [&]() VA_REQUIRES(_threadLock) { return _sourceThreads == 0; });
}

void actionTable::actionOnline() {
    int status = 0;
    int handle = 0;
    const std::string appl = actionApplName();
    const int rc = dp_online(&status, &handle, appl.c_str(), "ACTION", _sourceName.c_str());
    if (rc == 0 && status == 0) {
        _handle.store(handle);
        VA_STATE("dp_online for Action table successful. sourceName<%s> Handle<%d>\n", _sourceName.c_str(), handle);
    } else {
        VA_ERROR("Error: dp_online failed for Action table. ERROR<%d> STATUS<%d>\n", rc, status);
    }
    vorpane::ScopedLock g(_threadLock);
    --_sourceThreads;
    _threadsDone.broadcast();
}

void actionTable::actionOffline() {
    const int32_t handle = _handle.exchange(0);
    if (handle != 0) {
        int status = 0;
        const int rc = dp_offline(&status, handle);
        if (rc != 0 || status != 0) {
            VA_ERROR("Error: dp_offline failed for Action table. HANDLE<%d> ERROR<%d> STATUS<%d>\n", handle, rc,
                     status);
        }
    }
    vorpane::ScopedLock g(_threadLock);
    --_sourceThreads;
    _threadsDone.broadcast();
}

void actionTable::actionData() {
    for (;;) {
        const int r = updateActionTable();
        if (r == 1) {
            continue;
        }
        if (r > 1) {
            bool closed = false;
            {
                vorpane::ScopedLock g(_bufLock);
                closed = _closed;
            }
            if (!closed) {
                VA_ERROR("Error: updateActionTable returned: %d\n", r);
            }
            return;
        }
        if (!logLatest()) {
            return;
        }
    }
}

bool actionTable::logLatest() {
    // A copy of what the row needs: the entry is written by this thread only, but the ring is read
    // by the request thread under the lock.
    int32_t requestType = 0;
    int32_t actionID = 0;
    int16_t actionType = 0;
    int32_t actionStatus = 0;
    int16_t controlField = kSingleRow;
    bool logging = false;
    std::string owner;
    std::string node;
    std::string name;
    std::string parms;
    std::string results;
    actionTableEntry* entry = nullptr;
    {
        vorpane::ScopedLock g(_lock, [] { VA_ERROR("Error: unable to acquire action lock.\n"); });
        if (!g.ok()) {
            return false;
        }
        entry = _latest;
        if (entry == nullptr || *entry->actionName() == '\0') {
            VA_ERROR("Error: actionName was NULL.\n");
            return false;
        }
        requestType = _requestType;
        if (requestType == kAdd) {
            rateControl(entry->actionID(), vorpane::clock::nowSeconds());
            if (_enableActionLogging == 0) {
                entry->setActionLogging(0);
            }
        }
        actionID = entry->actionID();
        actionType = entry->actionType();
        actionStatus = entry->actionStatus();
        controlField = entry->controlField();
        logging = entry->actionLogging() != 0;
        owner = entry->actionOwner();
        node = entry->actionNode();
        name = entry->actionName();
        parms = entry->actionParms() != nullptr ? entry->actionParms() : "";
        results = entry->actionResults() != nullptr ? entry->actionResults() : "";
    }

    const int32_t handle = _handle.load();
    if (logging && handle != 0) {
        const std::string alternate = alternateActionParms(parms);
        if (alternate.size() != parms.size()) {
            VA_DETAIL("Constructed alternateActionParms <%s>\n", alternate.c_str());
        }
        const std::string statusText = actionStatusText(actionStatus);
        const struct {
            const char* attr;
            const char* value;
        } texts[] = {{"Action_Type", actionTypeText(actionType)},
                     {"Action_Owner", owner.c_str()},
                     {"Action_Node", node.c_str()},
                     {"Action_Name", name.c_str()},
                     {"Action_Parms", alternate.c_str()},
                     {"Action_Status", statusText.c_str()},
                     {"Action_Result", results.c_str()}};
        vorpane::DProw row;
        int length = 0;
        int status = 0;
        for (const auto& t : texts) {
            const char* value = orBlank(t.value);
            if (dp_formatData(&row, &length, &status, t.attr, value, static_cast<int>(std::strlen(value)),
                              kTextKind) != 0) {
                VA_ERROR("Error: dp_formatData failed for %s. status<%s>\n", t.attr, value);
                return false;
            }
        }
        if (dp_formatData(&row, &length, &status, "Action_ID", &actionID, 4, kNumberKind) != 0) {
            VA_ERROR("Error: dp_formatData failed for %s. status<%d>\n", "Action_ID", status);
            return false;
        }
        const int rc = dp_actionData(&row, handle, controlField, &length, 1, 0);
        if (rc == DCH_CLIENT_TIMEOUT) {
            VA_ERROR("Warning: dp_actionData for actionTableEntry @%p actionID <%d> actionType <%d> actionStatus "
                     "<%d> timed out.\n",
                     static_cast<void*>(entry), actionID, actionType, actionStatus);
        } else if (rc != 0) {
            // The hub refused the row (the ACTION group is not registered, or the source went
            // offline meanwhile): the action goes on unlogged rather than ending the log for good.
            VA_ERROR("Error: dp_actionData for actionTableEntry @%p actionID <%d> actionType <%d> actionStatus "
                     "<%d> failed.\n",
                     static_cast<void*>(entry), actionID, actionType, actionStatus);
        }
    } else {
        VA_DETAIL("Skipped VAGENT action logging for node @%p, actionID <%d>\n", static_cast<void*>(entry), actionID);
    }

    if (requestType == kUpdate) {
        removeEntry(entry);
    }
    return true;
}

// ---------------------------------------------------------------------------------------------------

void actionResultMemory::remember(int32_t actionID, int32_t status, std::string_view results) {
    Result& r = _results[_next];
    r.used = true;
    r.actionID = actionID;
    r.status = status;
    r.results.assign(results);
    _next = (_next + 1) % _results.size();
}

const actionResultMemory::Result* actionResultMemory::find(int32_t actionID) const {
    // Newest first: an id that wrapped around finds its latest result.
    for (size_t i = 0; i < _results.size(); ++i) {
        const Result& r = _results[(_next + _results.size() - 1 - i) % _results.size()];
        if (r.used && r.actionID == actionID) {
            return &r;
        }
    }
    return nullptr;
}
