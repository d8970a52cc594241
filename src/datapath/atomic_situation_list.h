// The configured atomic situations: situations whose take-actions run once per distinct value of one
// column. One list per process (atomicSituations()), filled at start-up from ZOTA_ATOMIC_SITUATIONS
// and read by every take-action.
//
// Thread-safety: the list's mutex guards the ring; entries are returned after the lock is released
// and stay valid until the list is emptied at shutdown.
#pragma once

#include <cstdint>
#include <ctime>

#include "common/fixed_text.h"
#include "common/ring_list.h"
#include "interfaces/sync.h"

class atomicSituationEntry : public vorpane::RingNode<atomicSituationEntry> {
public:
    atomicSituationEntry(const char* situationName, int32_t columnNumber);
    ~atomicSituationEntry();

    const char* getSituation() const { return _situation.c_str(); }
    int32_t getColumnNumber() const { return _columnNumber; }
    void setSituationInterval(int32_t seconds) { _situationInterval = seconds; }
    int32_t getSituationInterval() const { return _situationInterval; }
    time_t getCreationTime() const { return _creationTime; }

private:
    vorpane::FixedText<34> _situation;
    time_t _creationTime;
    int32_t _situationInterval = 0;
    int32_t _columnNumber;
};

class atomicSituationList {
public:
    atomicSituationList() = default;
    ~atomicSituationList();

    // Adds (name, column). Null for an empty name or an exact duplicate; a second column for a known
    // situation is added with a warning, and lookups keep finding the older entry.
    atomicSituationEntry* addEntry(const char* situationName, int32_t columnNumber);
    // The first entry with that name, or null.
    atomicSituationEntry* findEntry(const char* situationName);
    void emptyList();
    int getNumberOfElements();

private:
    vorpane::Mutex _lock;
    vorpane::RingList<atomicSituationEntry> _ring VA_GUARDED_BY(_lock);
};
