#include "agent/dp_selection.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "interfaces/support.h"

namespace {

constexpr size_t kMaxArgument = 63;
constexpr size_t kMaxArgumentList = 255;

int typeNumber(std::string_view name) {
    for (int i = 0; i < kDPtypeNODP; ++i) {
        if (name == DPtypeString[i]) {
            return i;
        }
    }
    return -1;
}

void appendCapped(std::string& list, std::string_view text) {
    if (list.size() < kMaxArgumentList) {
        list.append(text.substr(0, kMaxArgumentList - list.size()));
    }
}

DPsToStartEntry makeEntry(int type) {
    DPsToStartEntry e;
    e.name.assign(DPtypeString[type]);
    e.type = type;
    return e;
}

}  // namespace

DPSelection chooseDataProvidersFromArgs(const std::vector<std::string>& args, const char* startupDP) {
    DPSelection sel;
    std::string argumentList;
    bool lastWasTest = false;
    const int total = static_cast<int>(args.size());

    for (int i = 0; i < total && !sel.stop; ++i) {
        std::string arg = args[static_cast<size_t>(i)].substr(0, kMaxArgument);
        if (ZOT0_ConvertStringToUpper(arg) == 0) {
            VA_ERROR("Error: ZOT0_ConvertStringToUpper failed for <%s>\n", arg.c_str());
            sel.stop = true;
            break;
        }
        VA_STATE("VA Argument %d of %d was <%s>\n", i + 1, total, arg.c_str());
        lastWasTest = arg == "TEST";
        if (!argumentList.empty()) {
            VA_DETAIL("Scanning argumentList <%s> for <%s>\n", argumentList.c_str(), arg.c_str());
            if (argumentList.find(arg) != std::string::npos) {
                VA_ERROR("Warning: Argument <%s> specified more than once.\n", arg.c_str());
                continue;
            }
        }
        appendCapped(argumentList, arg);
        appendCapped(argumentList, ",");
    }
    if (sel.stop) {
        return sel;
    }

    if ((argumentList.empty() || lastWasTest) && startupDP != nullptr) {
        argumentList = std::string(startupDP).substr(0, kMaxArgumentList);
        if (ZOT0_ConvertStringToUpper(argumentList) == 0) {
            VA_ERROR("Error: ZOT0_ConvertStringToUpper failed for <%s>\n", argumentList.c_str());
            sel.stop = true;
            return sel;
        }
    }

    const bool asfsGiven = argumentList.find("ASFS") != std::string::npos;
    VA_DETAIL("Scanning argumentList <%s> for comma separators", argumentList.c_str());
    VA_DETAIL("Removing any leading blanks in argumentList <%s>\n", argumentList.c_str());
    int tokenNumber = 0;
    size_t pos = 0;
    while (pos <= argumentList.size()) {
        size_t comma = argumentList.find(',', pos);
        std::string token = argumentList.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos);
        pos = comma == std::string::npos ? argumentList.size() + 1 : comma + 1;
        size_t firstNonBlank = token.find_first_not_of(' ');
        token = firstNonBlank == std::string::npos ? std::string() : token.substr(firstNonBlank);
        if (token.empty()) {
            continue;
        }
        ++tokenNumber;
        VA_STATE("Processing argument %d <%s>\n", tokenNumber, token.c_str());
        if (token == "NODP") {
            sel.entries.clear();
            break;
        }
        if (token == "TEST") {
            continue;
        }
        int type = typeNumber(token);
        if (type >= 0) {
            bool present = false;
            for (const DPsToStartEntry& e : sel.entries) {
                VA_DETAIL("Comparing DP argument <%s> against <%s>\n", token.c_str(), e.name.c_str());
                present = present || e.name == token;
            }
            if (asfsGiven && (token == "FILE" || token == "SOCK" || token == "APIS")) {
                VA_ERROR("Warning: Argument <%s> is not valid combined with argument ASFS.\n", token.c_str());
            } else if (present) {
                VA_ERROR("Warning: Argument <%s> has already been specified, duplicate ignored.\n", token.c_str());
            } else if (token == "ODBC") {
                VA_ERROR("****Error: ODBC Data Provider is currently not supported on UNIX platforms\n");
            } else if (sel.entries.size() < kMaxDPsToStart) {
                sel.entries.push_back(makeEntry(type));
            }
            continue;
        }
        if (token.rfind("ZOTCMA_", 0) != 0) {
            VA_ERROR("Error: VA Argument %d <%s> of ZOTA_STARTUP_DP is invalid.\n", tokenNumber, token.c_str());
        }
    }

    const bool onlyTest = total == 1 && lastWasTest;
    if ((total == 0 || onlyTest) && startupDP == nullptr) {
        VA_STATE("No command line arguments: Starting DP ASFS thread.\n");
        sel.entries.clear();
        sel.entries.push_back(makeEntry(2));
    }
    return sel;
}

DPSelection chooseDataProvidersFromProductSpec(const std::optional<std::string>& dpToStart) {
    DPSelection sel;
    if (!dpToStart) {
        VA_ERROR("Error: ZOT0_QueryProductSpec(ZOT2_DP_TO_START) returned NULL.  Exiting...\n");
        sel.fatal = true;
        return sel;
    }
    const std::string& value = *dpToStart;
    VA_STATE("ZOT0_QueryProductSpec(ZOT2_DP_TO_START) returned <%s>\n", value.c_str());
    int n = std::atoi(value.c_str());
    VA_DETAIL("Testing DPtype %d\n", n);
    if (n == kDPtypeNODP || value.empty()) {
        return sel;
    }
    const bool several = value.find(',') != std::string::npos;
    size_t pos = 0;
    while (pos <= value.size()) {
        size_t comma = value.find(',', pos);
        std::string token = value.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos);
        pos = comma == std::string::npos ? value.size() + 1 : comma + 1;
        if (several) {
            VA_DETAIL("Processing DP token <%s>\n", token.c_str());
        }
        char* end = nullptr;
        long type = std::strtol(token.c_str(), &end, 10);
        bool numeric = end != token.c_str();
        while (numeric && *end == ' ') {
            ++end;
        }
        if (!numeric || *end != '\0' || type < 0 || type >= kDPtypeNODP) {
            // Only the types 0 to 10 can be started; anything else in the item is refused.
            VA_ERROR("Error: DP type <%s> of ZOT2_DP_TO_START is not a data provider type.\n", token.c_str());
            continue;
        }
        if (type == 6) {
            VA_ERROR("****Error: ODBC Data Provider is currently not supported on UNIX platforms\n");
            continue;
        }
        if (sel.entries.size() >= kMaxDPsToStart) {
            VA_ERROR("Error: more than %zu DPs in ZOT2_DP_TO_START; <%s> and the rest are ignored.\n", kMaxDPsToStart,
                     token.c_str());
            break;
        }
        sel.entries.push_back(makeEntry(static_cast<int>(type)));
    }
    if (sel.entries.empty()) {
        VA_ERROR("Error: Found no DPs to start from <%s>.  Exiting...\n", value.c_str());
        sel.fatal = true;
    }
    return sel;
}

void startDataProviders(std::vector<DPsToStartEntry>& entries) {
    for (DPsToStartEntry& e : entries) {
        VA_STATE("Starting DP thread for [%d/%s]", e.type, e.name.c_str());
        e.started = 0;
        int32_t* type = &e.type;
        if (e.name == "SNMP") {
            int rc = ZOT0_CreateThread([type] { ZOTS_StartSNMPDataProvider(type); }, 0, &e.thread, "dp-snmp");
            if (rc == 0) {
                VA_STATE("ZOTS_StartSNMPDataProvider <%s> thread created.\n", e.name.c_str());
                e.started = 1;
            } else {
                VA_ERROR("Error: ZOTS_StartSNMPDataProvider <%s> thread failed creation: errno=%d\n", e.name.c_str(), rc);
            }
        } else {
            int rc = ZOT0_CreateThread([type] { ZOTP_StartDataProvider(type); }, 0, &e.thread, "dp-provider");
            if (rc == 0) {
                VA_STATE("ZOTP_StartDataProvider <%s> thread created.\n", e.name.c_str());
                e.started = 1;
            } else {
                VA_ERROR("Error: ZOTP_StartDataProvider <%s> thread failed creation: errno=%d\n", e.name.c_str(), rc);
            }
        }
    }
}
