#include "agent/agent_lists.h"

#include <atomic>

#include "agent/application_probe_list.h"
#include "agent/table_manager_list.h"
#include "datapath/atomic_situation_list.h"
#include "datapath/samples_access.h"
#include "datapath/samples_list.h"
#include "interfaces/sync.h"
#include "interfaces/trace.h"

namespace {
// The hub's request thread may read these while start-up creates them.
std::atomic<samplesList*> g_samplesList{nullptr};
std::atomic<applicationProbeList*> g_applicationProbeList{nullptr};
std::atomic<tableManagerList*> g_tableMgrList{nullptr};
std::atomic<atomicSituationList*> g_atomicSituationList{nullptr};
}  // namespace

vorpane::Mutex& samplesListInUseLock() {
    static vorpane::Mutex* lock = new vorpane::Mutex();  // detached monitor threads may outlive main
    return *lock;
}

samplesList* dataSamples() { return g_samplesList.load(); }
applicationProbeList* startedProbes() { return g_applicationProbeList.load(); }
tableManagerList* tableManagers() { return g_tableMgrList.load(); }
atomicSituationList* atomicSituations() { return g_atomicSituationList.load(); }

void createAgentLists() {
    auto* samples = new samplesList();
    g_samplesList.store(samples);
    vorpane::datapath::setSamplesIndex(samples);  // the collection threads and table classes reach it there
    g_applicationProbeList.store(new applicationProbeList());
    g_tableMgrList.store(new tableManagerList());
    g_atomicSituationList.store(new atomicSituationList());
}

void deleteAgentLists() {
    atomicSituationList* atomic = g_atomicSituationList.exchange(nullptr);
    VA_STATE("Deleting _atomicSituationList @%p\n", static_cast<void*>(atomic));
    delete atomic;
    samplesList* samples = g_samplesList.load();
    vorpane::datapath::setSamplesIndex(nullptr);
    if (samples != nullptr) {
        samples->clearList();
    }
    VA_STATE("Deleting _samplesList @%p\n", static_cast<void*>(samples));
    {
        vorpane::ScopedLock inUse(samplesListInUseLock());
        g_samplesList.store(nullptr);
    }
    delete samples;
    applicationProbeList* probes = g_applicationProbeList.exchange(nullptr);
    VA_STATE("Deleting _applicationProbeList @%p\n", static_cast<void*>(probes));
    delete probes;
    tableManagerList* managers = g_tableMgrList.exchange(nullptr);
    VA_STATE("Deleting _tableMgrList @%p\n", static_cast<void*>(managers));
    delete managers;
}
