// Which data providers run in the process, and their start.
#pragma once

#include <pthread.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/fixed_text.h"

// Provider type names, indexed by the type number the provider entry points receive.
inline constexpr const char* DPtypeString[12] = {"APIS", "APPC", "ASFS", "FILE", "HTTP", "JDBC",
                                                 "ODBC", "POST", "SNMP", "SOCK", "WBEM", "NODP"};
inline constexpr int32_t kDPtypeNODP = 11;
inline constexpr size_t kMaxDPsToStart = 20;

struct DPsToStartEntry {
    vorpane::FixedText<7> name;
    int32_t type = 0;
    int32_t started = 0;
    pthread_t thread{};
};

struct DPSelection {
    std::vector<DPsToStartEntry> entries;  // DPsToStart, at most kMaxDPsToStart
    bool fatal = false;                    // take the fatal exit
    bool stop = false;                     // set the stop flag
};

// The generic agent (product-specification item 0 zero): the command line, or ZOTA_STARTUP_DP.
// args are the arguments after the program path.
DPSelection chooseDataProvidersFromArgs(const std::vector<std::string>& args, const char* startupDP);

// A product agent: ZOT2_DP_TO_START, a list of provider type numbers (nothing when the item is absent).
DPSelection chooseDataProvidersFromProductSpec(const std::optional<std::string>& dpToStart);

// Starts one joinable thread per entry: SNMP through ZOTS_StartSNMPDataProvider, every other type
// through ZOTP_StartDataProvider. Each thread gets a pointer to its entry's type, so entries must
// not move while the threads run.
void startDataProviders(std::vector<DPsToStartEntry>& entries);
