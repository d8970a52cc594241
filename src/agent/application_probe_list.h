// The applications being brought online, one probe each. One per process (startedProbes()).
//
// An entry is added when an application is first seen online; its probe thread builds the
// application's metadata (userDataList), publishes it here and then waits until the application's
// last source goes offline. Threads that bring a table online wait here until the metadata is ready.
//
// Thread-safety: _lock guards the ring and every entry's record. Callers are the provider-status
// monitor thread (every operation but the three below) and one probe thread per application
// (setUserDataList, signalWaiters, WaitForExit). Each entry's two lock-and-condition pairs live in a
// shared block that a waiter keeps while it waits, so cleanUp may destroy an entry whose probe thread
// is still on its way out of WaitForExit. The list lock is never held while waiting.
#pragma once

#include <cstdint>
#include <memory>

#include "common/fixed_text.h"
#include "common/ring_list.h"
#include "interfaces/sync.h"

class samplesList;
namespace vorpane::metadata {
class userDataList;
}

// Probe states: the status of an entry and the result of searchProbes.
inline constexpr int16_t PROBE_NOT_FOUND = 0;
inline constexpr int16_t PROBE_NOT_STARTED = 1;
inline constexpr int16_t PROBE_STARTED = 2;
inline constexpr int16_t PROBE_ENDED_IN_ERRORS = -1;

// The record of one application (the "applDataStore" of the traces). Copied by value: the stored
// record is the one the list owns.
struct applDataStruct {
    vorpane::FixedText<20> applName;
    int16_t status = PROBE_NOT_FOUND;
    vorpane::metadata::userDataList* userDataList = nullptr;  // owned by the probe thread
    // The hub's run of the application the probe was started for (0: not known).
    int32_t applicationRun = 0;
};

class applicationProbeListEntry : public vorpane::RingNode<applicationProbeListEntry> {
public:
    // The two waiting rooms of one application.
    struct probeSync {
        vorpane::Mutex initLock;
        vorpane::CondVar initCond;
        bool ready VA_GUARDED_BY(initLock) = false;  // the metadata has been published
        vorpane::Mutex exitLock;
        vorpane::CondVar exitCond;
        // Set by signalExit; lets a probe thread that reaches WaitForExit late see the signal.
        bool exitRequested VA_GUARDED_BY(exitLock) = false;
        // Readers holding the metadata through a lease (leaseUDL); the probe thread frees it at 0.
        int leases VA_GUARDED_BY(exitLock) = 0;
    };

    explicit applicationProbeListEntry(const applDataStruct& data)
        : _data(data), _sync(std::make_shared<probeSync>()) {}

    applDataStruct& data() { return _data; }
    const std::shared_ptr<probeSync>& sync() const { return _sync; }

private:
    applDataStruct _data;
    std::shared_ptr<probeSync> _sync;
};

// Ends a lease on an application's metadata (applicationProbeList::leaseUDL).
struct udlLeaseEnd {
    std::shared_ptr<applicationProbeListEntry::probeSync> sync;
    void operator()(vorpane::metadata::userDataList* udl) const;
};
// A reader's hold on an application's metadata: the probe thread does not free the metadata while
// one lives, even after the application's last source went offline. Empty when there is none.
using udlLease = std::unique_ptr<vorpane::metadata::userDataList, udlLeaseEnd>;

class applicationProbeList {
public:
    // samples: the list cleanUp removes samples from; null uses the process-wide dataSamples().
    explicit applicationProbeList(samplesList* samples = nullptr);
    ~applicationProbeList();
    applicationProbeList(const applicationProbeList&) = delete;
    applicationProbeList& operator=(const applicationProbeList&) = delete;

    // Stores a copy of data: over the entry of that name when there is one, else as a new entry.
    // 0, or 1 on failure.
    int16_t addEntry(applDataStruct data);
    // The status of the entry of applName (exact name), PROBE_NOT_FOUND when there is none.
    int16_t searchProbes(const char* applName);
    // The stored record of applName, or null. Valid until cleanUp removes the entry; only the
    // monitor thread, which alone calls cleanUp, uses it.
    applDataStruct* getApplDataStore(const char* applName);
    // 0, or 1 when there is no entry of applName.
    int16_t setUserDataList(const char* applName, vorpane::metadata::userDataList* udl);
    // The metadata of the first entry whose name begins with the first three characters of applName
    // (it may still be null), or null.
    vorpane::metadata::userDataList* getUDLPtr(const char* applName);
    // The same metadata for a thread other than the monitor (a table reading the application's
    // generated files): held until the lease ends. Empty when there is none yet or it is going.
    udlLease leaseUDL(const char* applName);
    // The probe thread, after its exit signal and before it frees the metadata: waits until every
    // lease on it has ended.
    static void waitForLeases(const std::shared_ptr<applicationProbeListEntry::probeSync>& sync,
                              const char* applName);
    // The metadata of applName is ready: wakes one waiter of WaitForUDL. 0, or 1 on failure.
    int16_t signalWaiters(const char* applName);
    // Waits until the metadata of applName is published: attempts of 10 seconds each, with a pause of
    // 3 seconds between them, as many extra attempts as Max_Wait_UDL(). 0, or 1 on failure.
    // The entry's init lock is let go around each pause, which the lock analysis cannot follow.
    int16_t WaitForUDL(const char* applName) VA_NO_THREAD_SAFETY_ANALYSIS;
    // Waits without a time limit until signalExit(applName). 0, or 1 when there is no such entry.
    int16_t WaitForExit(const char* applName);
    // The probe thread takes its entry's exit signal before it wakes the waiters: once woken, the
    // application may go offline and its entry leave the list before the thread reaches the wait,
    // and a wait by name would then find nothing. Null when there is no entry of applName.
    std::shared_ptr<applicationProbeListEntry::probeSync> exitSignalOf(const char* applName);
    int16_t WaitForExit(const std::shared_ptr<applicationProbeListEntry::probeSync>& sync, const char* applName);
    // A source of applName went offline: removes its sample and, when it was the application's last
    // online source, releases the probe thread and removes the entry (-1). 0 when other sources
    // remain, 1 when there is no entry of applName or the lock fails.
    int16_t cleanUp(const char* applName, const char* attrGroup, const char* RR, const char* sourceName);

    int printList();
    int getNumberOfElements();

private:
    // The caller holds _lock.
    applicationProbeListEntry* find(const char* applName) VA_REQUIRES(_lock);
    int16_t signalExit(applicationProbeListEntry& entry) VA_REQUIRES(_lock);
    std::shared_ptr<applicationProbeListEntry::probeSync> syncOf(const char* applName, const char* lockError);

    samplesList* _samples;
    vorpane::Mutex _lock;
    vorpane::RingList<applicationProbeListEntry> _ring VA_GUARDED_BY(_lock);
};
