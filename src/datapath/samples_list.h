// The samples list: the agent's index of every table of every source that is or was online, with the
// deferred and demand report requests of each. One per process, reached through dataSamples().
//
// Thread-safety: one mutex guards the ring and every entry; the online processing, the collection
// threads, framework threads and the hub's request thread all call in.
#pragma once

#include <cstdint>

#include "common/fixed_text.h"
#include "common/ring_list.h"
#include "interfaces/sync.h"

class samplesListEntry : public vorpane::RingNode<samplesListEntry> {
public:
    samplesListEntry(const char* applKey, const char* attrGroup, const char* tableName, const char* sourceName);

    const char* applKey() const { return _applKey.c_str(); }
    const char* attrGroup() const { return _attrGroup.c_str(); }
    const char* tableName() const { return _tableName.c_str(); }
    const char* sourceName() const { return _sourceName.c_str(); }
    int16_t getDemandReporting() const { return _demandReporting; }
    void setDemandReporting(int16_t option) { _demandReporting = option; }

private:
    vorpane::FixedText<3> _applKey;
    vorpane::FixedText<32> _attrGroup;
    vorpane::FixedText<10> _tableName;
    vorpane::FixedText<32> _sourceName;
    int16_t _demandReporting = 0;
};

class samplesList {
public:
    samplesList() = default;
    ~samplesList();

    // Removes every entry (start of the shutdown of the lists).
    void clearList();
    int getNumberOfElements();

    // ---- Demand reporting, as the hub asks for it. `request` is the framework request's 32-bit
    // reference carried by the hub protocol.
    int addDeferredReportRequest(const char* applKey, const char* tableName, const char* sourceName, int32_t actionID,
                                 uint32_t request, int32_t time);
    int redriveDeferredReportRequest(const char* applKey, const char* attrGroup, const char* sourceName,
                                     int32_t actionID);
    void removeDeferredReportRequests(const char* applKey, const char* attrGroup, const char* sourceName);
    void initializeDemandReporting(const char* applKey, const char* attrGroup, const char* sourceName);
    void setDemandReportingOption(const char* applKey, const char* attrGroup, const char* sourceName, int16_t option);
    // The entry of that key, group and source, or null. It stays valid while its source is online.
    samplesListEntry* getSamplesListEntry(const char* applKey, const char* attrGroup, const char* sourceName);

private:
    samplesListEntry* findByGroup(const char* applKey, const char* attrGroup, const char* sourceName)
        VA_REQUIRES(_lock);

    vorpane::Mutex _lock;
    vorpane::RingList<samplesListEntry> _ring VA_GUARDED_BY(_lock);
};
