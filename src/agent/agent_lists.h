// The four process-wide lists of the agent side. Created by VA_Main after the hub is ready, in the
// order samples, probes, table managers, atomic situations; deleted at shutdown with the atomic
// situations first. Each pointer is null outside that span.
#pragma once

class samplesList;
class applicationProbeList;
class tableManagerList;
class atomicSituationList;

samplesList* dataSamples();
applicationProbeList* startedProbes();
tableManagerList* tableManagers();
atomicSituationList* atomicSituations();

// Held by the deferred-request monitor while it works on the samples list, and by the teardown
// between clearing the list's pointer and deleting it, so the list is never deleted under a call.
namespace vorpane {
class Mutex;
}
vorpane::Mutex& samplesListInUseLock();

void createAgentLists();
void deleteAgentLists();
