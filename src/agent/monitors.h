// The two monitor threads VA_Main starts: provider status (bringing applications online and
// offline) and the expiry of deferred report requests.
#pragma once

void monitorDPStatus();
void monitorDeferredRequests();
