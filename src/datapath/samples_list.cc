#include "datapath/samples_list.h"

#include <cstring>

#include "interfaces/trace.h"

samplesListEntry::samplesListEntry(const char* applKey, const char* attrGroup, const char* tableName,
                                   const char* sourceName)
    : _applKey(applKey), _attrGroup(attrGroup), _tableName(tableName), _sourceName(sourceName) {}

samplesList::~samplesList() { clearList(); }

void samplesList::clearList() {
    vorpane::ScopedLock guard(_lock, [] { VA_ERROR("Error: unable to acquire samplesList lock.\n"); });
    if (guard.ok()) {
        _ring.clear();
    }
}

int samplesList::getNumberOfElements() {
    vorpane::ScopedLock guard(_lock);
    return static_cast<int>(_ring.size());
}

samplesListEntry* samplesList::findByGroup(const char* applKey, const char* attrGroup, const char* sourceName) {
    return _ring.findFirst([&](const samplesListEntry& e) {
        return std::strcmp(e.applKey(), applKey) == 0 && std::strcmp(e.attrGroup(), attrGroup) == 0 &&
               std::strcmp(e.sourceName(), sourceName) == 0;
    });
}

int samplesList::addDeferredReportRequest(const char* applKey, const char* tableName, const char* sourceName,
                                          int32_t actionID, uint32_t request, int32_t /*time*/) {
    vorpane::ScopedLock guard(_lock, [] { VA_ERROR("Error: unable to acquire samplesList lock.\n"); });
    bool found = guard.ok() && _ring.findFirst([&](const samplesListEntry& e) {
        return std::strcmp(e.applKey(), applKey) == 0 && std::strcmp(e.tableName(), tableName) == 0 &&
               std::strcmp(e.sourceName(), sourceName) == 0;
    }) != nullptr;
    if (!found) {
        VA_ERROR("Warning: Unable to locate samplesListEntry object for applKey<%s> tableName<%s> srcName<%s>\n",
                 applKey, tableName, sourceName);
    }
    // No table keeps report requests yet: the request is answered at once, as for a missing entry.
    VA_STATE("Redriving report request %u for action ID %d at once\n", request, actionID);
    return 0;
}

int samplesList::redriveDeferredReportRequest(const char* /*applKey*/, const char* /*attrGroup*/,
                                              const char* /*sourceName*/, int32_t actionID) {
    if (actionID < 1) {
        return 0;
    }
    VA_STATE("Note: Did not find a match on Action ID %d, deferCount=%d\n", actionID, 0);
    return 0;
}

void samplesList::removeDeferredReportRequests(const char* applKey, const char* attrGroup, const char* sourceName) {
    vorpane::ScopedLock guard(_lock, [] { VA_ERROR("Error: unable to acquire samplesList lock.\n"); });
    if (guard.ok() && findByGroup(applKey, attrGroup, sourceName) == nullptr) {
        VA_ERROR("Warning: Unable to locate samplesListEntry object for applKey<%s> attrGroup<%s> srcName<%s>\n",
                 applKey, attrGroup, sourceName);
    }
}

void samplesList::initializeDemandReporting(const char* applKey, const char* attrGroup, const char* sourceName) {
    vorpane::ScopedLock guard(_lock, [] { VA_ERROR("Error: unable to acquire samplesList lock.\n"); });
    if (guard.ok() && findByGroup(applKey, attrGroup, sourceName) == nullptr) {
        VA_ERROR("Warning: Unable to locate samplesListEntry object for applKey<%s> attrGroup<%s> srcName<%s>\n",
                 applKey, attrGroup, sourceName);
    }
}

void samplesList::setDemandReportingOption(const char* applKey, const char* attrGroup, const char* sourceName,
                                           int16_t option) {
    vorpane::ScopedLock guard(_lock, [] { VA_ERROR("Error: unable to acquire samplesList lock.\n"); });
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

samplesListEntry* samplesList::getSamplesListEntry(const char* applKey, const char* attrGroup,
                                                   const char* sourceName) {
    vorpane::ScopedLock guard(_lock, [] { VA_ERROR("Error: unable to acquire samplesList lock.\n"); });
    return guard.ok() ? findByGroup(applKey, attrGroup, sourceName) : nullptr;
}
