#include "agent/application_probe_list.h"

#include <cerrno>
#include <cstring>
#include <string>

#include "agent/agent_lists.h"
#include "agent/va_limits.h"
#include "datapath/samples_list.h"
#include "interfaces/support.h"
#include "interfaces/trace.h"
#include "metadata/user_data_list.h"

namespace {

constexpr double kUDLWaitSeconds = 10;
constexpr double kUDLPauseSeconds = 3;

std::string applKeyOf(const char* applName) { return std::string(applName).substr(0, 3); }

}  // namespace

applicationProbeList::applicationProbeList(samplesList* samples) : _samples(samples) {
    VA_STORAGE("Allocated applicationProbeList @%p\n", static_cast<void*>(this));
}

applicationProbeList::~applicationProbeList() {
    VA_STORAGE("Deleting applicationProbeList @%p\n", static_cast<void*>(this));
}

applicationProbeListEntry* applicationProbeList::find(const char* applName) {
    VA_DETAIL("Searching for <%s>\n", applName);
    for (applicationProbeListEntry& e : _ring) {
        VA_DETAIL("Comparing applName <%s> against <%s>\n", applName, e.data().applName.c_str());
        if (std::strcmp(e.data().applName.c_str(), applName) == 0) {
            VA_DETAIL("Found match on <%s>\n", applName);
            return &e;
        }
    }
    return nullptr;
}

int16_t applicationProbeList::addEntry(applDataStruct data) {
    vorpane::ScopedLock guard(_lock, [] { VA_ERROR("Error: unable to acquire lock\n"); });
    if (!guard.ok()) {
        return 1;
    }
    if (applicationProbeListEntry* stored = find(data.applName.c_str()); stored != nullptr) {
        stored->data() = data;  // how the online path updates a record: a changed copy comes back
        return 0;
    }
    auto entry = std::make_unique<applicationProbeListEntry>(data);
    VA_STORAGE("Allocated applDataStore @%p for applName <%s>\n", static_cast<void*>(&entry->data()),
               data.applName.c_str());
    applicationProbeListEntry& added = _ring.insert(std::move(entry));
    VA_STORAGE("Allocated applicationProbeListEntry @%p noOfElements=%d\n", static_cast<void*>(&added),
               static_cast<int>(_ring.size()));
    return 0;
}

int16_t applicationProbeList::searchProbes(const char* applName) {
    vorpane::ScopedLock guard(_lock, [] { VA_ERROR("Error: unable to acquire applicationProbeList lock\n"); });
    if (!guard.ok()) {
        return PROBE_NOT_FOUND;
    }
    applicationProbeListEntry* e = find(applName);
    return e != nullptr ? e->data().status : PROBE_NOT_FOUND;
}

applDataStruct* applicationProbeList::getApplDataStore(const char* applName) {
    vorpane::ScopedLock guard(_lock, [] { VA_ERROR("Error: unable to acquire applicationProbeList lock\n"); });
    applicationProbeListEntry* e = guard.ok() ? find(applName) : nullptr;
    if (e == nullptr) {
        VA_DETAIL("Returning NULL\n");
        return nullptr;
    }
    return &e->data();
}

int16_t applicationProbeList::setUserDataList(const char* applName, vorpane::metadata::userDataList* udl) {
    vorpane::ScopedLock guard(_lock, [] { VA_ERROR("Error: unable to acquire applicationProbeList lock\n"); });
    applicationProbeListEntry* e = guard.ok() ? find(applName) : nullptr;
    if (e == nullptr) {
        return 1;
    }
    e->data().userDataList = udl;
    return 0;
}

vorpane::metadata::userDataList* applicationProbeList::getUDLPtr(const char* applName) {
    const std::string key = applKeyOf(applName);
    vorpane::ScopedLock guard(_lock, [] { VA_ERROR("Error: unable to acquire applicationProbeList lock\n"); });
    if (guard.ok()) {
        for (applicationProbeListEntry& e : _ring) {
            if (std::strncmp(e.data().applName.c_str(), key.c_str(), key.size()) == 0) {
                VA_DETAIL("Found match. Returning @%p\n", static_cast<void*>(e.data().userDataList));
                return e.data().userDataList;
            }
        }
    }
    VA_DETAIL("No match found using <%s>\n", applName);
    return nullptr;
}

udlLease applicationProbeList::leaseUDL(const char* applName) {
    const std::string key = applKeyOf(applName);
    vorpane::ScopedLock guard(_lock, [] { VA_ERROR("Error: unable to acquire applicationProbeList lock\n"); });
    if (!guard.ok()) {
        return nullptr;
    }
    for (applicationProbeListEntry& e : _ring) {
        if (std::strncmp(e.data().applName.c_str(), key.c_str(), key.size()) != 0) {
            continue;
        }
        vorpane::metadata::userDataList* udl = e.data().userDataList;
        const std::shared_ptr<applicationProbeListEntry::probeSync>& sync = e.sync();
        // Taken under the list lock, which cleanUp holds to signal the exit: the probe thread
        // cannot be past its wait for leases while the entry is still listed.
        vorpane::ScopedLock exit(sync->exitLock, [] { VA_ERROR("Error: unable to acquire termination lock\n"); });
        if (udl == nullptr || !exit.ok() || sync->exitRequested) {
            return nullptr;
        }
        ++sync->leases;
        VA_DETAIL("Lease %d on userDataList @%p of <%s>\n", sync->leases, static_cast<void*>(udl),
                  e.data().applName.c_str());
        return udlLease(udl, udlLeaseEnd{sync});
    }
    VA_DETAIL("No match found using <%s>\n", applName);
    return nullptr;
}

void udlLeaseEnd::operator()(vorpane::metadata::userDataList* /*udl*/) const {
    vorpane::ScopedLock exit(sync->exitLock, [] { VA_ERROR("Error: unable to acquire termination lock\n"); });
    if (exit.ok()) {
        --sync->leases;
        sync->exitCond.broadcast();
    }
}

void applicationProbeList::waitForLeases(const std::shared_ptr<applicationProbeListEntry::probeSync>& sync,
                                         const char* applName) {
    if (sync == nullptr) {
        return;
    }
    vorpane::ScopedLock exit(sync->exitLock, [] { VA_ERROR("Error: unable to acquire termination lock\n"); });
    if (!exit.ok()) {
        return;
    }
    if (sync->leases > 0) {
        VA_STATE("Waiting for %d reader(s) of the userDataList of applName <%s>\n", sync->leases, applName);
        sync->exitCond.waitUntil(sync->exitLock, -1,
                                 [&]() VA_NO_THREAD_SAFETY_ANALYSIS { return sync->leases == 0; });
    }
}

std::shared_ptr<applicationProbeListEntry::probeSync> applicationProbeList::syncOf(const char* applName,
                                                                                   const char* lockError) {
    VA_DETAIL("Searching for <%s>\n", applName);
    vorpane::ScopedLock guard(_lock, [&] { VA_ERROR("%s", lockError); });
    if (!guard.ok()) {
        return nullptr;
    }
    applicationProbeListEntry* e = find(applName);
    if (e == nullptr) {
        VA_DETAIL("No match found using <%s>\n", applName);
        return nullptr;
    }
    return e->sync();
}

int16_t applicationProbeList::signalWaiters(const char* applName) {
    auto sync = syncOf(applName, "Error: unable to acquire applicationProbeList lock\n");
    if (sync == nullptr) {
        return 1;
    }
    vorpane::ScopedLock init(sync->initLock, [] { VA_ERROR("Error: unable to acquire initialization lock\n"); });
    if (!init.ok()) {
        return 1;
    }
    sync->ready = true;
    VA_STATE("Signaling for userDataList[%s] constructor initialization.\n", applName);
    if (int rc = sync->initCond.signal(); rc != 0) {
        VA_ERROR("Error: pthread_cond_signal failed:errno=%d\n", rc);
        return 1;
    }
    return 0;
}

int16_t applicationProbeList::WaitForUDL(const char* applName) {
    auto sync = syncOf(applName, "Error: unable to acquire applicationProbeList lock\n");
    if (sync == nullptr) {
        return 1;
    }
    VA_DETAIL("Match found using <%s>\n", applName);
    if (sync->initLock.lock() != 0) {
        VA_ERROR("Error: unable to acquire initialization lock\n");
        return 1;
    }
    int attempts = 0;
    int16_t result = 0;
    for (;;) {
        if (sync->ready) {
            break;
        }
        VA_STATE("Waiting for userDataInfo constructor for applName <%s>\n", applName);
        if (sync->initCond.waitUntil(sync->initLock, kUDLWaitSeconds,
                                     [&]() VA_NO_THREAD_SAFETY_ANALYSIS { return sync->ready; })) {
            VA_STATE("UDL completion signal received for applName <%s>\n", applName);
            break;
        }
        if (attempts < Max_Wait_UDL()) {
            VA_ERROR("Warning: pthread_cond_wait timeout - errno=%d waitAttempts=%d for application <%s>\n", ETIMEDOUT,
                     attempts, applName);
            ++attempts;
            sync->initLock.unlock();
            BSS1_Sleep(kUDLPauseSeconds);
            if (sync->initLock.lock() != 0) {
                VA_ERROR("Error: unable to re-acquire initialization lock\n");
                return 1;
            }
            continue;
        }
        VA_ERROR("Error: pthread_cond_wait failed. rc=%d errno=%d waitAttempts=%d for application <%s>\n", ETIMEDOUT,
                 ETIMEDOUT, attempts, applName);
        result = 1;
        break;
    }
    if (sync->initLock.unlock() != 0) {
        return 1;
    }
    return result;
}

int16_t applicationProbeList::signalExit(applicationProbeListEntry& entry) {
    const std::shared_ptr<applicationProbeListEntry::probeSync>& sync = entry.sync();
    vorpane::ScopedLock exit(sync->exitLock, [] { VA_ERROR("Error: unable to acquire termination lock\n"); });
    if (!exit.ok()) {
        return 1;
    }
    sync->exitRequested = true;
    VA_STATE("Signaling to exit startNewProbe for applName <%s>\n", entry.data().applName.c_str());
    if (int rc = sync->exitCond.signal(); rc != 0) {
        VA_ERROR("Error: pthread_cond_signal failed:errno=%d", rc);
        return 1;
    }
    return 0;
}

std::shared_ptr<applicationProbeListEntry::probeSync> applicationProbeList::exitSignalOf(const char* applName) {
    return syncOf(applName, "Error: unable to acquire applicationProbeList lock\n");
}

int16_t applicationProbeList::WaitForExit(const char* applName) {
    return WaitForExit(exitSignalOf(applName), applName);
}

int16_t applicationProbeList::WaitForExit(const std::shared_ptr<applicationProbeListEntry::probeSync>& sync,
                                          const char* applName) {
    if (sync == nullptr) {
        return 1;
    }
    vorpane::ScopedLock exit(sync->exitLock, [] { VA_ERROR("Error: unable to acquire termination lock\n"); });
    if (!exit.ok()) {
        return 1;
    }
    VA_STATE("<@%p> Waiting for exit signal applName<%s>\n", static_cast<void*>(sync.get()), applName);
    if (!sync->exitCond.waitUntil(sync->exitLock, -1,
                                  [&]() VA_NO_THREAD_SAFETY_ANALYSIS { return sync->exitRequested; })) {
        VA_ERROR("Error: <@%p> pthread_cond_wait failed. applName<%s> rc=%d errno=%d", static_cast<void*>(sync.get()),
                 applName, -1, errno);
        return 1;
    }
    VA_STATE("Exit signal received for applName <%s>\n", applName);
    return 0;
}

int16_t applicationProbeList::cleanUp(const char* applName, const char* attrGroup, const char* RR,
                                      const char* sourceName) {
    const std::string key = applKeyOf(applName);
    VA_DETAIL("Parm: applName<%s> attrGroup<%s> RR<%s> sourceName<%s> applKey<%s>\n", applName, attrGroup, RR,
              sourceName, key.c_str());
    vorpane::ScopedLock guard(_lock, [] { VA_ERROR("Error: unable to acquire applicationProbeList lock\n"); });
    if (!guard.ok()) {
        return 1;
    }
    applicationProbeListEntry* e = find(applName);
    if (e == nullptr) {
        return 1;
    }
    samplesList* samples = _samples != nullptr ? _samples : dataSamples();
    VA_STATE("Found userDataList<@%p> for applKey<%s> with %d attrGroups.\n", static_cast<void*>(e->data().userDataList),
             key.c_str(), e->data().userDataList != nullptr ? static_cast<int>(e->data().userDataList->noOfElements()) : 0);
    if (VA_Debug() == 1 && samples != nullptr) {
        samples->printList();
    }
    const std::string tableName = key + ZOTA_ComputeChecksumOnAttrGroup(attrGroup) + RR;
    int others = samples != nullptr ? samples->removeEntry(key.c_str(), tableName.c_str(), sourceName) : 0;
    if (others != 0) {
        return 0;
    }
    signalExit(*e);
    e->data().userDataList = nullptr;
    std::unique_ptr<applicationProbeListEntry> doomed = _ring.unlink(*e);
    VA_STORAGE("Deleting applicationProbeListEntry @%p, noOfElements=%d", static_cast<void*>(doomed.get()),
               static_cast<int>(_ring.size()));
    VA_STORAGE("Destroying applDataStore @%p mutex and locks\n", static_cast<void*>(&doomed->data()));
    VA_STORAGE("Deleting applDataStore @%p\n", static_cast<void*>(&doomed->data()));
    return -1;
}

int applicationProbeList::printList() {
    vorpane::ScopedLock guard(_lock, [] { VA_ERROR("Error: unable to acquire applicationProbeList lock\n"); });
    if (!guard.ok()) {
        return 1;
    }
    VA_TRACE(vorpane::trace::kDump, ">>>>>   applicationProbeList   @%p \n", static_cast<void*>(this));
    int count = 0;
    for (applicationProbeListEntry& e : _ring) {
        VA_TRACE(vorpane::trace::kDump, ">>>>>   count %d \n", ++count);
        VA_TRACE(vorpane::trace::kDump, ">> applicationProbeListEntry @%p Next @%p Prev @%p.\n", static_cast<void*>(&e),
                 static_cast<void*>(e.ringNext()), static_cast<void*>(e.ringPrev()));
        VA_TRACE(vorpane::trace::kDump, "   applName     <%s>\n", e.data().applName.c_str());
        VA_TRACE(vorpane::trace::kDump, "   status       <%d>", e.data().status);
        VA_TRACE(vorpane::trace::kDump, "   userDataList <%p>", static_cast<void*>(e.data().userDataList));
    }
    return 0;
}

int applicationProbeList::getNumberOfElements() {
    vorpane::ScopedLock guard(_lock);
    return static_cast<int>(_ring.size());
}
