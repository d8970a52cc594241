#include "agent/monitors.h"

#include "interfaces/trace.h"

// The online and offline processing attaches here; until then the monitors have nothing to watch.
void monitorDPStatus() { VA_STATE("monitorDPStatus has no status source yet; ending.\n"); }

void monitorDeferredRequests() { VA_STATE("monitorDeferredRequests has no deferred requests to watch; ending.\n"); }
