// The configured atomic situations: situations whose take-actions run once per distinct value of one
// column. One list per process (atomicSituations()), filled at start-up from ZOTA_ATOMIC_SITUATIONS
// and read by every take-action. This list only suppresses repeated actions; it is not the atomic
// column of a situation's definition (the management API's `atomic`), by which the framework keeps
// one situation state per value (docs/situation-rules.md says which is which).
//
// A value's action runs once; while the situation keeps reporting the value its repeats are skipped,
// and a value not seen again is forgotten at a clean-up. Clean-ups come at most once per sampling
// interval (more than interval - 10 seconds apart, half the interval for intervals below 10 seconds).
// An event situation has no interval: its values are kept as if it were sampled every 60 seconds.
//
// Thread-safety: the list's mutex guards the ring; entries are returned after the lock is released
// and stay valid until the list is emptied at shutdown. A situation's event list is shared: the hub
// drops it when the situation stops while a take-action may still hold it, so it lives until both
// let go. Each event list has its own mutex.
#pragma once

#include <cstdint>
#include <ctime>
#include <memory>
#include <string_view>

#include "common/fixed_text.h"
#include "common/ring_list.h"
#include "interfaces/sync.h"

class atomicSituationEntry;

// One value for which an action ran lately.
class atomicEventEntry : public vorpane::RingNode<atomicEventEntry> {
public:
    atomicEventEntry(std::string_view value, time_t timeStamp) : _timeStamp(timeStamp), _value(value) {}
    ~atomicEventEntry() = default;

    const char* getAtomicValue() const { return _value.c_str(); }
    time_t getTimeStamp() const { return _timeStamp; }
    void setTimeStamp(time_t t) { _timeStamp = t; }

private:
    time_t _timeStamp;
    vorpane::FixedText<64> _value;
};

// The values of one atomic situation for which an action ran lately.
class atomicEventList {
public:
    explicit atomicEventList(const atomicSituationEntry* owner);
    ~atomicEventList();

    // The new entry (time stamp now), or null for an empty value. A value longer than 64 characters
    // is kept as its first 64, so values that differ only after that count as one.
    atomicEventEntry* addEntry(std::string_view value);
    // The first entry whose value equals value exactly (after the same cut), or null.
    atomicEventEntry* findEntry(std::string_view value);
    // Forgets the values not seen since the last clean-up or older than 2 x interval - 1 seconds.
    void cleanupEntries(int32_t interval);
    int removeEntry(atomicEventEntry* entry);
    void emptyList();
    int getNumberOfElements();
    time_t getLastTimeStamp();
    void setLastTimeStamp(time_t t);

    // The whole suppression step of a take-action for one value of a situation sampled every
    // interval seconds (0: an event situation): true when the action for the value already ran and the
    // situation has kept reporting the value since (this action is skipped), false when the value is
    // new (it is recorded now and the action runs).
    bool suppressRepeatedAction(std::string_view value, int32_t interval);

    // The interval an event situation's values are kept by.
    static constexpr int32_t kEventSituationInterval = 60;

private:
    void removeLocked(atomicEventEntry& entry) VA_REQUIRES(_lock);

    vorpane::Mutex _lock;
    vorpane::RingList<atomicEventEntry> _ring VA_GUARDED_BY(_lock);
    time_t _lastTimeStamp VA_GUARDED_BY(_lock);
    const atomicSituationEntry* _owner;
};

class atomicSituationEntry : public vorpane::RingNode<atomicSituationEntry> {
public:
    atomicSituationEntry(const char* situationName, int32_t columnNumber);
    ~atomicSituationEntry();

    const char* getSituation() const { return _situation.c_str(); }
    int32_t getColumnNumber() const { return _columnNumber; }
    void setSituationInterval(int32_t seconds) { _situationInterval = seconds; }
    int32_t getSituationInterval() const { return _situationInterval; }
    time_t getCreationTime() const { return _creationTime; }

    // The situation's event list, null until addAtomicEventList().
    std::shared_ptr<atomicEventList> getAtomicEventList();
    // Creates the list unless it exists; returns it.
    std::shared_ptr<atomicEventList> addAtomicEventList();
    // Drops the list; false when there was none.
    bool removeAtomicEventList();

private:
    vorpane::Mutex _eventLock;
    std::shared_ptr<atomicEventList> _events VA_GUARDED_BY(_eventLock);
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
