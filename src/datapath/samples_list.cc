#include "datapath/samples_list.h"

#include <cstring>
#include <string>

#include "agent/va_limits.h"
#include "common/process_slot.h"
#include "datapath/data_list.h"
#include "interfaces/axf.h"
#include "interfaces/support.h"
#include "interfaces/trace.h"

namespace {

// Collection threads and framework workers may redrive requests while the process exits.
vorpane::ProcessSlot<samplesListSeam>& seamSlot() {
    static vorpane::ProcessSlot<samplesListSeam>& slot = vorpane::ProcessSlot<samplesListSeam>::make();
    return slot;
}

samplesListSeam currentSeam() { return seamSlot().get(); }

int redriveRequest(plaxf* request, const char* subnodeName, const char* tableName, int16_t eventRequest) {
    samplesListSeam seam = currentSeam();
    if (seam.redriveRequest) {
        return seam.redriveRequest(request, subnodeName, tableName, eventRequest);
    }
    if (auto* table = dynamic_cast<vorpane::datapath::redrivableRequest*>(request); table != nullptr) {
        return table->redriveRequest(subnodeName, tableName, eventRequest);
    }
    request->RedriveSample();
    return 0;
}

void redriveSample(uint32_t request) {
    samplesListSeam seam = currentSeam();
    if (seam.redriveSample) {
        seam.redriveSample(request);
    } else {
        VA_STATE("Redriving report request %u\n", request);
    }
}

void lockFailure() { VA_ERROR("Error: unable to acquire samplesList lock.\n"); }
void reportLockFailure() { VA_ERROR("Error: unable to acquire deferredReportRequestQueueLock.\n"); }

bool same(const char* a, const char* b) { return std::strcmp(a, b) == 0; }

}  // namespace

void setSamplesListSeam(samplesListSeam seam) { seamSlot().set(std::move(seam)); }

// ---------------------------------------------------------------------------------------------------
// samplesListEntry

samplesListEntry::samplesListEntry(const char* applKey, const char* tableName, const char* sourceName)
    : _applKey(applKey), _tableName(tableName), _sourceName(sourceName) {
    initializeDemandReporting();
}

void samplesListEntry::setDataList(std::shared_ptr<vorpane::datapath::dataList> rows) { _dataList = std::move(rows); }

samplesListEntry::~samplesListEntry() {
    vorpane::ScopedLock guard(_reportQueueLock, reportLockFailure);
    if (guard.ok()) {
        _reportQueue.clear();
    }
}

int16_t samplesListEntry::deferredReportRequestCount() {
    vorpane::ScopedLock guard(_reportQueueLock, reportLockFailure);
    return guard.ok() ? _deferredReportRequestCount : 0;
}

bool samplesListEntry::setSubnodeName(const char* subnodeName, const char* untouched) {
    const std::size_t length = std::strlen(subnodeName);
    if (length > decltype(_subnodeName)::capacity) {
        VA_ERROR("Error: length %d invalid\n", static_cast<int>(length));
        return false;
    }
    const std::size_t fullLength = std::strlen(untouched);
    if (fullLength > decltype(_subnodeNameUntouched)::capacity) {
        VA_ERROR("Error: length %d invalid\n", static_cast<int>(fullLength));
        return false;
    }
    _subnodeName.assign(subnodeName);
    _subnodeNameUntouched.assign(untouched);
    return true;
}

void samplesListEntry::initializeDemandReporting() {
    if (DemandReport() != 'Y' || _reportQueueSetUp) {
        return;
    }
    const int32_t maxReports = Max_Deferred_Report_Request();
    vorpane::ScopedLock guard(_reportQueueLock, reportLockFailure);
    if (!guard.ok()) {
        return;
    }
    if (maxReports < 1) {
        VA_STATE("Note: deferredReportRequestQueue for tableName<%s> not allocated because "
                 "ZOTA_MAX_DEFERRED_REPORT_REQUEST set to 0\n",
                 _tableName.c_str());
    }
    // Its slots are made as requests come, up to the maximum.
    _reportQueue.clear();
    _reportQueueSetUp = true;
}

int16_t samplesListEntry::AddDeferRequest(plaxf* request, unsigned long handle, int16_t eventRequest) {
    const int32_t maxDeferred = Max_Deferred_Request();
    if (_deferredCount >= maxDeferred) {
        freeEndedRequests();  // room that requests which ended without withdrawing still hold
    }
    if (_deferredCount >= maxDeferred) {
        VA_ERROR("Error: Current deferred count %d equals or exceeds max deferred requests %d. Use "
                 "ZOTA_MAX_DEFERRED_REQUEST to increase.\n",
                 _deferredCount, maxDeferred);
        return 1;
    }
    deferQueue_t* freeSlot = nullptr;
    for (deferQueue_t& slot : _deferQueue) {
        if (slot.request != nullptr && slot.handle == handle) {
            VA_STATE("Request<@%p> was already deferred.\n", static_cast<void*>(request));
            return 0;
        }
        if (slot.request == nullptr && freeSlot == nullptr) {
            freeSlot = &slot;
        }
    }
    if (freeSlot == nullptr && _deferQueue.size() < static_cast<std::size_t>(maxDeferred)) {
        freeSlot = &_deferQueue.emplace_back();
    }
    if (freeSlot == nullptr) {
        VA_ERROR("Error: Could not find an empty slot: _deferredCount<%d>\n", _deferredCount);
        return 1;
    }
    *freeSlot = deferQueue_t{request, handle, eventRequest};
    ++_deferredCount;
    VA_STATE("Request<@%p/%lu> recorded as deferred. deferCount=%d\n", static_cast<void*>(request), handle,
             _deferredCount);
    return 0;
}

void samplesListEntry::removeDeferRequest(plaxf* request) {
    for (deferQueue_t& slot : _deferQueue) {
        if (slot.request == request) {
            slot = deferQueue_t{};
            --_deferredCount;
            return;
        }
    }
}

int samplesListEntry::freeEndedRequests() {
    int freed = 0;
    for (deferQueue_t& slot : _deferQueue) {
        if (slot.request == nullptr) {
            continue;
        }
        // A pin that finds the handle's request shows it open; the request is left as it was.
        plaxf* open = plaxf::PinHandle(slot.handle);
        const bool ended = open != slot.request;
        if (open != nullptr) {
            open->Drop();
        }
        if (ended) {
            VA_STATE("Request<@%p/%lu> ended while deferred for subnode <%s>: its slot is free\n",
                     static_cast<void*>(slot.request), slot.handle, _subnodeName.c_str());
            slot = deferQueue_t{};
            --_deferredCount;
            ++freed;
        }
    }
    return freed;
}

void samplesListEntry::redriveDeferredRequests() {
    int index = 0;
    for (deferQueue_t& slot : _deferQueue) {
        ++index;
        if (slot.request == nullptr) {
            continue;
        }
        plaxf* request = slot.request;
        if (request->UseHandle(slot.handle) != 0) {
            VA_ERROR("Warning: request<@%p/%lu> <%s/%s/%s/%s> no longer valid\n", static_cast<void*>(request),
                     slot.handle, _applKey.c_str(), _tableName.c_str(), _sourceName.c_str(), _subnodeName.c_str());
            continue;
        }
        // Redriven while the pin holds the request alive, then let go.
        if (redriveRequest(request, _subnodeName.c_str(), _tableName.c_str(), slot.eventRequest) != 0) {
            VA_ERROR("Warning: request<@%p/%lu> was not redriven for subnode <%s>\n", static_cast<void*>(request),
                     slot.handle, _subnodeName.c_str());
        }
        request->Drop();
        VA_STATE("<%d> Redriving request[@%p/%lu]\n", index, static_cast<void*>(request), slot.handle);
        slot = deferQueue_t{};
        --_deferredCount;
    }
}

bool samplesListEntry::addDeferredReportRequest(uint32_t request, int32_t actionID, int64_t time) {
    const int32_t maxReports = Max_Deferred_Report_Request();
    vorpane::ScopedLock guard(_reportQueueLock, reportLockFailure);
    if (!guard.ok()) {
        return false;
    }
    if (_deferredReportRequestCount >= maxReports || !_reportQueueSetUp) {
        VA_ERROR("Error: Current deferred report count %d equals or exceeds max deferred report requests %d. Use "
                 "ZOTA_MAX_DEFERRED_REPORT_REQUEST to increase.\n",
                 _deferredReportRequestCount, maxReports);
        return false;
    }
    for (auto it = _earlyAnswers.begin(); it != _earlyAnswers.end(); ++it) {
        if (it->actionID == actionID) {
            VA_STATE("Action ID %d was answered before it was deferred: its request goes on at once.\n", actionID);
            _earlyAnswers.erase(it);
            return false;
        }
    }
    deferReportQueue_t* freeSlot = nullptr;
    int freeIndex = -1;
    for (std::size_t i = 0; i < _reportQueue.size(); ++i) {
        deferReportQueue_t& slot = _reportQueue[i];
        if (slot.actionID == actionID) {
            VA_STATE("Action ID %d was already deferred.\n", actionID);
            return false;
        }
        if (slot.actionID == 0 && freeSlot == nullptr) {
            freeSlot = &slot;
            freeIndex = static_cast<int>(i);
        }
    }
    if (freeSlot == nullptr && _reportQueue.size() < static_cast<std::size_t>(maxReports)) {
        freeIndex = static_cast<int>(_reportQueue.size());
        freeSlot = &_reportQueue.emplace_back();
    }
    if (freeSlot == nullptr) {
        VA_ERROR("Error: Could not find an empty slot in samplesListEntry @%p, _deferredReportRequestCount<%d>\n",
                 static_cast<void*>(this), _deferredReportRequestCount);
        return false;
    }
    *freeSlot = deferReportQueue_t{request, actionID, time};
    ++_deferredReportRequestCount;
    VA_STATE("Request<@%u> Action ID %d recorded as deferred in index %d. deferCount=%d\n", request, actionID,
             freeIndex, _deferredReportRequestCount);
    return true;
}

void samplesListEntry::redriveDeferredReportRequest(int32_t actionID) {
    vorpane::ScopedLock guard(_reportQueueLock, reportLockFailure);
    if (!guard.ok()) {
        return;
    }
    for (deferReportQueue_t& slot : _reportQueue) {
        if (slot.actionID == actionID) {
            VA_STATE("Found a match on Action ID %d Request<@%u>, deferCount=%d\n", actionID, slot.request,
                     _deferredReportRequestCount);
            slot.time = vorpane::clock::nowSeconds();
            redriveSample(slot.request);
            slot = deferReportQueue_t{};
            --_deferredReportRequestCount;
            return;
        }
    }
    VA_STATE("Note: Did not find a match on Action ID %d, deferCount=%d\n", actionID, _deferredReportRequestCount);
    // Kept no longer than a request would wait for it, and only the latest few.
    const int64_t now = vorpane::clock::nowSeconds();
    const int64_t maxAge = Report_Request_Expiration();
    std::erase_if(_earlyAnswers, [&](const earlyAnswer& a) { return now - a.time > maxAge; });
    if (_earlyAnswers.size() >= kMaxEarlyAnswers) {
        _earlyAnswers.erase(_earlyAnswers.begin());
    }
    _earlyAnswers.push_back(earlyAnswer{actionID, now});
}

void samplesListEntry::redriveReportRequests(int64_t now, int64_t maxAge) {
    vorpane::ScopedLock guard(_reportQueueLock, reportLockFailure);
    if (!guard.ok()) {
        return;
    }
    int index = 0;
    for (deferReportQueue_t& slot : _reportQueue) {
        if (_deferredReportRequestCount <= 0) {
            break;
        }
        ++index;
        if (slot.actionID <= 0 || (maxAge >= 0 && now - slot.time <= maxAge)) {
            continue;
        }
        --_deferredReportRequestCount;
        if (slot.request == 0) {
            VA_STATE("Note: actionID %d index %d attrGroup <%s> has no associated plaxf object pointer, deferCount %d\n",
                     slot.actionID, index - 1, _attrGroup.c_str(), _deferredReportRequestCount);
        } else {
            ++_expiredCount;
            VA_STATE("Redriving expired report request @%u for attrGroup <%s> time %d, currentTime %d, actionID %d, "
                     "deferCount %d, expiredCount %d\n",
                     slot.request, _attrGroup.c_str(), static_cast<int>(slot.time), static_cast<int>(now),
                     slot.actionID, _deferredReportRequestCount, _expiredCount);
            redriveSample(slot.request);
        }
        slot = deferReportQueue_t{};
    }
}

void samplesListEntry::printSelf() const {
    VA_TRACE(vorpane::trace::kDump, ">> samplesListEntry @%p Next @%p Prev @%p.\n",
             static_cast<const void*>(this), static_cast<void*>(ringNext()), static_cast<void*>(ringPrev()));
    VA_TRACE(vorpane::trace::kDump, "   applKey        <%s>\n", _applKey.c_str());
    VA_TRACE(vorpane::trace::kDump, "   attrGroup      <%s>\n", _attrGroup.c_str());
    VA_TRACE(vorpane::trace::kDump, "   tableName      <%s>\n", _tableName.c_str());
    VA_TRACE(vorpane::trace::kDump, "   sourceName     <%s>\n", _sourceName.c_str());
    VA_TRACE(vorpane::trace::kDump, "   subnodeName    <%s>\n", _subnodeName.c_str());
    VA_TRACE(vorpane::trace::kDump, "   subnodeStatus  <%d>\n", _subnodeStatus);
    VA_TRACE(vorpane::trace::kDump, "   deferredCount  <%d>\n", _deferredCount);
    VA_TRACE(vorpane::trace::kDump, "   dataList       <%p>\n", static_cast<void*>(_dataList.get()));
}

// ---------------------------------------------------------------------------------------------------
// samplesList

samplesList::~samplesList() { clearList(); }

void samplesList::clearList() {
    vorpane::ScopedLock guard(_lock, lockFailure);
    if (guard.ok()) {
        _ring.clear();
    }
}

int samplesList::getNumberOfElements() {
    vorpane::ScopedLock guard(_lock);
    return static_cast<int>(_ring.size());
}

int16_t samplesList::setHeadOfListThreshold() {
    vorpane::ScopedLock guard(_lock);
    return _setHeadOfListThreshold;
}

samplesListEntry* samplesList::findByGroup(const char* applKey, const char* attrGroup, const char* sourceName) {
    return _ring.findFirst([&](const samplesListEntry& e) {
        return same(e.applKey(), applKey) && same(e.attrGroup(), attrGroup) && same(e.sourceName(), sourceName);
    });
}

samplesListEntry* samplesList::findByTable(const char* applKey, const char* tableName, const char* sourceName) {
    int position = 0;
    for (samplesListEntry& e : _ring) {
        ++position;
        if (same(e.applKey(), applKey) && same(e.tableName(), tableName) && same(e.sourceName(), sourceName)) {
            moveToFrontIfDeep(e, position);
            return &e;
        }
    }
    return nullptr;
}

void samplesList::moveToFrontIfDeep(samplesListEntry& entry, int position) {
    if (position <= _setHeadOfListThreshold) {
        return;
    }
    VA_DETAIL("Moving node @%p to head of list\n", static_cast<void*>(&entry));
    _ring.moveToFront(entry);
    if (++_headMoves > 100) {
        _headMoves = 0;
        _setHeadOfListThreshold = static_cast<int16_t>(_setHeadOfListThreshold + 20);
        VA_STATE("_setHeadOfListThreshold now equals %d\n", _setHeadOfListThreshold);
    }
}

std::optional<std::string> samplesList::onlineEntry(const char* applName, const char* tableName, const char* attrGroup,
                                                    const char* RR, const char* sourceName,
                                                    const char* subnodeSuffix) {
    const std::string applKey = std::string(applName).substr(0, 3);
    vorpane::FixedText<32> subnodeName;
    vorpane::FixedText<70> untouched;
    if (ZOTA_SetSubnodeName(applName, attrGroup, sourceName, RR, &subnodeName, &untouched, subnodeSuffix) != 0) {
        return std::nullopt;
    }
    vorpane::ScopedLock guard(_lock, [&] {
        VA_ERROR("Error: unable to acquire samplesList lock while processing <%s/%s/%s/%s/%s>\n", applName, tableName,
                 attrGroup, RR, sourceName);
    });
    if (!guard.ok()) {
        return std::nullopt;
    }
    samplesListEntry* entry = _ring.findFirst([&](const samplesListEntry& e) {
        return subnodeName == e.subnodeName() && (e.attrGroup()[0] == '\0' || same(e.attrGroup(), attrGroup));
    });
    if (entry != nullptr) {
        entry->setAttrGroup(attrGroup);
        entry->setTableName(tableName);
        if (!entry->setSubnodeName(subnodeName.c_str(), untouched.c_str())) {
            return std::nullopt;
        }
        entry->setSubnodeStatus(SUBNODE_SOURCE_ONLINE);
        entry->redriveDeferredRequests();
        return subnodeName.str();
    }
    auto created = std::make_unique<samplesListEntry>(applKey.c_str(), tableName, sourceName);
    created->setAttrGroup(attrGroup);
    if (!created->setSubnodeName(subnodeName.c_str(), untouched.c_str())) {
        VA_ERROR("Error: allocating samplesListEntry[%s/%s/%s]\n", applKey.c_str(), tableName, sourceName);
        return std::nullopt;
    }
    created->setSubnodeStatus(SUBNODE_SOURCE_ONLINE);
    _ring.insert(std::move(created));
    return subnodeName.str();
}

int16_t samplesList::subnodeOnline(const char* subnodeName) {
    vorpane::ScopedLock guard(_lock, lockFailure);
    if (!guard.ok()) {
        return 0;
    }
    samplesListEntry* e =
        _ring.findFirst([&](const samplesListEntry& s) { return same(s.subnodeName(), subnodeName); });
    if (e == nullptr) {
        return 0;
    }
    int16_t previous = e->subnodeStatus();
    e->setSubnodeStatus(SUBNODE_REGISTERED);
    return previous;
}

int16_t samplesList::getSubnodeName(const char* applKey, const char* sourceName, const char* attrGroup,
                                    const char* /*RR*/, std::optional<std::string>* subnodeName) {
    subnodeName->reset();
    vorpane::ScopedLock guard(_lock, lockFailure);
    if (!guard.ok()) {
        return 1;
    }
    samplesListEntry* e = findByGroup(applKey, attrGroup, sourceName);
    if (e == nullptr) {
        return 1;
    }
    *subnodeName = std::string(e->subnodeName());
    return 0;
}

bool samplesList::getOriginalSubnodeName(const char* subnodeName, const char* tableName, std::string* out) {
    vorpane::ScopedLock guard(_lock, lockFailure);
    if (!guard.ok()) {
        return false;
    }
    samplesListEntry* e = _ring.findFirst([&](const samplesListEntry& s) {
        return s.subnodeStatus() >= SUBNODE_SOURCE_ONLINE && same(s.tableName(), tableName) &&
               same(s.subnodeName(), subnodeName);
    });
    if (e == nullptr) {
        return false;
    }
    *out = e->subnodeNameUntouched();
    return true;
}

int samplesList::subnodeOnlineForTable(const char* subnodeName, const char* tableName) {
    std::string ignored;
    return getOriginalSubnodeName(subnodeName, tableName, &ignored) ? 1 : 0;
}

int samplesList::removeEntry(const char* applKey, const char* tableName, const char* sourceName) {
    vorpane::ScopedLock guard(_lock, lockFailure);
    if (!guard.ok()) {
        return 0;
    }
    int withKey = 0;
    samplesListEntry* doomed = nullptr;
    for (samplesListEntry& e : _ring) {
        if (!same(e.applKey(), applKey)) {
            continue;
        }
        ++withKey;
        if (doomed == nullptr && same(e.tableName(), tableName) && same(e.sourceName(), sourceName)) {
            doomed = &e;
        }
    }
    if (doomed != nullptr) {
        VA_STORAGE("Deleting samplesListEntry @%p, noOfElements=%d\n", static_cast<void*>(doomed),
                   static_cast<int>(_ring.size()));
        _ring.erase(*doomed);
    }
    VA_DETAIL("After: noOfElements=%d, numOnlineSources=%d\n", static_cast<int>(_ring.size()), withKey);
    return withKey > 1 ? 1 : 0;
}

int samplesList::countOfAttrGroups(const char* applKey, const char* sourceName) {
    vorpane::ScopedLock guard(_lock, lockFailure);
    if (!guard.ok()) {
        return 0;
    }
    int count = 0;
    for (samplesListEntry& e : _ring) {
        if (!same(e.applKey(), applKey) || !same(e.sourceName(), sourceName)) {
            continue;
        }
        if (e.tableName()[0] == '\0') {
            VA_ERROR("Warning: TableName is null for applKey<%s> sourceName<%s> subnodeName<%s>\n", applKey, sourceName,
                     e.subnodeName());
            continue;
        }
        ++count;
    }
    return count;
}

std::shared_ptr<vorpane::datapath::dataList> samplesList::dataListPtr(const char* applKey, const char* tableName,
                                                                      const char* sourceName) {
    vorpane::ScopedLock guard(_lock, lockFailure);
    if (!guard.ok()) {
        return nullptr;
    }
    samplesListEntry* e = findByTable(applKey, tableName, sourceName);
    return e != nullptr ? e->getDataList() : nullptr;
}

int samplesList::updateDataList(const char* applKey, const char* attrGroup, const char* sourceName,
                                const std::shared_ptr<vorpane::datapath::dataList>& store) {
    vorpane::ScopedLock guard(_lock, lockFailure);
    if (!guard.ok()) {
        return 1;
    }
    samplesListEntry* e = findByGroup(applKey, attrGroup, sourceName);
    if (e == nullptr) {
        // Not yet, as a rule: the collection thread tries again and warns when it stays so.
        VA_DETAIL("No samplesListEntry[%s/%s/%s] found yet.\n", applKey, attrGroup, sourceName);
        return 1;
    }
    VA_STATE("Found samplesListEntry[%s/%s/%s] Recording @%p\n", applKey, attrGroup, sourceName,
             static_cast<void*>(store.get()));
    e->setDataList(store);
    return 0;
}

int samplesList::requestDefer(const char* applKey, const char* subnodeName, plaxf* request, unsigned long handle,
                              int eventRequest) {
    if (request != nullptr && request->_get_sampletype() == IntfSampleType_demand) {
        // A report is answered by the sample that asked: once it is answered its request ends, and a
        // redrive would find nothing to do. Keeping it would only leave a slot (and, for a name no
        // source has, an entry) behind for every report that names the subnode.
        VA_DETAIL("Report request<@%p/%lu> for subnode <%s>, which is not online, is not deferred\n",
                  static_cast<void*>(request), handle, subnodeName);
        return 0;
    }
    vorpane::ScopedLock guard(_lock, lockFailure);
    if (!guard.ok()) {
        return 1;
    }
    int position = 0;
    samplesListEntry* entry = nullptr;
    for (samplesListEntry& e : _ring) {
        ++position;
        if (same(e.subnodeName(), subnodeName)) {
            entry = &e;
            moveToFrontIfDeep(e, position);
            break;
        }
    }
    if (entry == nullptr) {
        std::string sourceName;
        if (ZOTA_GetSrcNameFromSubNodeName(subnodeName, &sourceName) != 0) {
            VA_ERROR("Error: could not determine sourceName from subnodeName <%s>\n", subnodeName);
            return 1;
        }
        if (sourceName.size() >= 34) {
            VA_ERROR("Error: incorrect length for srcName <%s> subnodeName <%s>\n", sourceName.c_str(), subnodeName);
            return 1;
        }
        auto created = std::make_unique<samplesListEntry>(applKey, "", sourceName.c_str());
        if (!created->setSubnodeName(subnodeName, subnodeName)) {
            VA_ERROR("Error: allocating samplesListEntry[%s/%s]\n", applKey, subnodeName);
            return 1;
        }
        created->setSubnodeStatus(SUBNODE_DEFERRED_ONLY);
        entry = &_ring.insert(std::move(created));
    }
    if (entry->AddDeferRequest(request, handle, static_cast<int16_t>(eventRequest)) != 0) {
        VA_ERROR("Error: AddDeferRequest failed for subnodeName<%s>\n", subnodeName);
        return 1;
    }
    return 0;
}

void samplesList::removeDeferRequest(const char* applKey, const char* tableName, const char* sourceName,
                                     plaxf* request) {
    vorpane::ScopedLock guard(_lock, lockFailure);
    if (!guard.ok()) {
        return;
    }
    samplesListEntry* e = _ring.findFirst([&](const samplesListEntry& s) {
        return same(s.applKey(), applKey) && same(s.tableName(), tableName) && same(s.sourceName(), sourceName);
    });
    if (e != nullptr) {
        e->removeDeferRequest(request);
    }
}

int samplesList::addDeferredReportRequest(const char* applKey, const char* tableName, const char* sourceName,
                                          int32_t actionID, uint32_t request, int32_t time) {
    vorpane::ScopedLock guard(_lock, lockFailure);
    samplesListEntry* e = guard.ok() ? findByTable(applKey, tableName, sourceName) : nullptr;
    if (e == nullptr) {
        VA_ERROR("Warning: Unable to locate samplesListEntry object for applKey<%s> tableName<%s> srcName<%s>\n",
                 applKey, tableName, sourceName);
        redriveSample(request);
        return 0;
    }
    if (e->getDemandReporting() == 0) {
        return 0;
    }
    if (!e->addDeferredReportRequest(request, actionID, time)) {
        redriveSample(request);  // a request the entry cannot keep must not be stranded
    }
    return 0;
}

int samplesList::redriveDeferredReportRequest(const char* applKey, const char* attrGroup, const char* sourceName,
                                              int32_t actionID) {
    if (actionID < 1) {
        return 0;
    }
    vorpane::ScopedLock guard(_lock, lockFailure);
    if (!guard.ok()) {
        return 0;
    }
    samplesListEntry* e = findByGroup(applKey, attrGroup, sourceName);
    if (e == nullptr) {
        VA_ERROR("Warning: Unable to locate samplesListEntry object for applKey<%s> attrGroup<%s> srcName<%s>\n",
                 applKey, attrGroup, sourceName);
        return 0;
    }
    e->redriveDeferredReportRequest(actionID);
    return 0;
}

void samplesList::removeDeferredReportRequests(const char* applKey, const char* attrGroup, const char* sourceName) {
    vorpane::ScopedLock guard(_lock, lockFailure);
    if (!guard.ok()) {
        return;
    }
    samplesListEntry* e = findByGroup(applKey, attrGroup, sourceName);
    if (e == nullptr) {
        VA_ERROR("Warning: Unable to locate samplesListEntry object for applKey<%s> attrGroup<%s> srcName<%s>\n",
                 applKey, attrGroup, sourceName);
        return;
    }
    if (e->getDemandReporting() != 0) {
        e->redriveReportRequests(vorpane::clock::nowSeconds(), -1);
    }
}

void samplesList::cancelExpiredReportRequests() {
    vorpane::ScopedLock guard(_lock, lockFailure);
    if (!guard.ok()) {
        return;
    }
    const int64_t now = vorpane::clock::nowSeconds();
    const int64_t maxAge = Report_Request_Expiration();
    for (samplesListEntry& e : _ring) {
        if (e.getDemandReporting() != 0 && e.hasReportQueue()) {
            e.redriveReportRequests(now, maxAge);
        }
    }
    freeEndedDeferRequests();
}

void samplesList::freeEndedDeferRequests() {
    vorpane::RingIterator<samplesListEntry> walk(_ring);
    for (samplesListEntry* e = walk.next(); e != nullptr; e = walk.next()) {
        if (e->deferredCount() > 0) {
            e->freeEndedRequests();
        }
        if (e->subnodeStatus() == SUBNODE_DEFERRED_ONLY && e->deferredCount() == 0) {
            VA_STORAGE("Deleting samplesListEntry @%p of subnode <%s>: no request waits for it any more\n",
                       static_cast<void*>(e), e->subnodeName());
            walk.removeCurrent();
        }
    }
}

void samplesList::initializeDemandReporting(const char* applKey, const char* attrGroup, const char* sourceName) {
    vorpane::ScopedLock guard(_lock, lockFailure);
    if (!guard.ok()) {
        return;
    }
    if (samplesListEntry* e = findByGroup(applKey, attrGroup, sourceName)) {
        e->initializeDemandReporting();
    } else {
        VA_ERROR("Warning: Unable to locate samplesListEntry object for applKey<%s> attrGroup<%s> srcName<%s>\n",
                 applKey, attrGroup, sourceName);
    }
}

void samplesList::setDemandReportingOption(const char* applKey, const char* attrGroup, const char* sourceName,
                                           int16_t option) {
    vorpane::ScopedLock guard(_lock, lockFailure);
    if (!guard.ok()) {
        return;
    }
    if (samplesListEntry* e = findByGroup(applKey, attrGroup, sourceName)) {
        e->setDemandReporting(option);
    } else {
        VA_ERROR("Warning: Unable to locate samplesListEntry object for applKey<%s> attrGroup<%s> srcName<%s>\n",
                 applKey, attrGroup, sourceName);
    }
}

int16_t samplesList::isDemandReportingEnabled(const char* applKey, const char* tableName, const char* sourceName) {
    vorpane::ScopedLock guard(_lock, lockFailure);
    if (!guard.ok()) {
        return 0;
    }
    samplesListEntry* e = _ring.findFirst([&](const samplesListEntry& s) {
        return same(s.applKey(), applKey) && same(s.tableName(), tableName) && same(s.sourceName(), sourceName);
    });
    return e != nullptr ? e->getDemandReporting() : 0;
}

samplesListEntry* samplesList::getSamplesListEntry(const char* applKey, const char* attrGroup,
                                                   const char* sourceName) {
    vorpane::ScopedLock guard(_lock, lockFailure);
    return guard.ok() ? findByGroup(applKey, attrGroup, sourceName) : nullptr;
}

void samplesList::printList() {
    vorpane::ScopedLock guard(_lock, lockFailure);
    if (!guard.ok()) {
        return;
    }
    VA_TRACE(vorpane::trace::kDump, ">>>>>   samplesList   @%p\n", static_cast<void*>(this));
    int count = 0;
    for (const samplesListEntry& e : _ring) {
        VA_TRACE(vorpane::trace::kDump, ">>>>>   count %d\n", ++count);
        e.printSelf();
    }
}
