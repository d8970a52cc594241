// Start-up steps of VA_Main that are plain computations, kept apart so they can be tested.
#pragma once

#include <cstdint>
#include <string>

class atomicSituationList;

// The subsystem identifier from the instance name: its first 20 characters, upper-cased. Empty when
// there is no instance name.
std::string subsystemIdFromInstance(const char* instanceName);

// Keeps the heartbeat probe name "<id>:<host>:<nodeType>" within 32 characters by shortening the
// identifier at its left, unless PLAXF_HOSTNAME (plaxfHostname) would make it fit.
void shortenForHeartbeat(std::string& subsystemId, const std::string& hostname, const std::string& nodeType,
                         const char* plaxfHostname);

// Parses ZOTA_ATOMIC_SITUATIONS ("name:column,name:column,...") into the list. Errors are traced and
// never stop start-up.
void parseAtomicSituations(const char* value, atomicSituationList& list, int32_t maxIBColumns);
