#include "agent/startup.h"

#include <cstdlib>
#include <cstring>

#include "datapath/atomic_situation_list.h"
#include "interfaces/support.h"

namespace {
constexpr size_t kMaxSubsystemId = 20;
constexpr size_t kMaxProbeName = 32;
constexpr size_t kMaxAtomicValue = 4095;
constexpr size_t kMaxAtomicItem = 34;
}  // namespace

std::string subsystemIdFromInstance(const char* instanceName) {
    std::string id = instanceName != nullptr ? std::string(instanceName).substr(0, kMaxSubsystemId) : std::string();
    if (ZOT0_ConvertStringToUpper(id) == 0) {
        VA_ERROR("Error: ZOT0_ConvertStringToUpper failed for <%s>\n", id.c_str());
    }
    return id;
}

void shortenForHeartbeat(std::string& id, const std::string& host, const std::string& nodeType,
                         const char* plaxfHostname) {
    const size_t length = id.size() + host.size() + nodeType.size() + 2;
    if (length <= kMaxProbeName) {
        return;
    }
    if (plaxfHostname != nullptr && *plaxfHostname != '\0' &&
        id.size() + std::strlen(plaxfHostname) + nodeType.size() + 2 <= kMaxProbeName) {
        VA_ERROR("Note: PLAXF_HOSTNAME value <%s> being used to prevent heartbeat probe truncation\n", plaxfHostname);
        return;
    }
    const size_t excess = length - kMaxProbeName;
    if (excess < id.size()) {
        VA_ERROR("Warning: Heartbeat probe name <%s:%s:%s> too long, length %d > max length %d -> truncating instance "
                 "name <%s>\n",
                 id.c_str(), host.c_str(), nodeType.c_str(), static_cast<int>(length), static_cast<int>(kMaxProbeName),
                 id.c_str());
        ZOT0_TruncateFromLeft(id, id.size() - excess);
        VA_STATE("InstanceName now equals <%s>\n", id.c_str());
    } else {
        VA_ERROR("Warning: Heartbeat probe name <%s:%s:%s> too long, length %d > max length %d\n", id.c_str(),
                 host.c_str(), nodeType.c_str(), static_cast<int>(length), static_cast<int>(kMaxProbeName));
    }
}

void parseAtomicSituations(const char* value, atomicSituationList& list, int32_t maxIBColumns) {
    if (value == nullptr) {
        return;
    }
    VA_STATE("Environment variable string <%s> @%p\n", value, static_cast<const void*>(value));
    const std::string original = std::string(value).substr(0, kMaxAtomicValue);
    std::string work = original;
    size_t running = 0;
    int argument = 0;
    char* tok = ZOT0_strtok(work.data(), ",");
    while (tok != nullptr) {
        const size_t len = std::strlen(tok);
        running += len + 1;
        if (running > kMaxAtomicValue) {
            VA_ERROR("Error: ZOTA_ATOMIC_SITUATIONS length exceeds maximum allowed length of %d, not all atomic "
                     "situations will be processed\n",
                     static_cast<int>(kMaxAtomicValue + 1));
            break;
        }
        ++argument;
        VA_DETAIL("Processing argument %d tok <%s> at address @%p with length: %d\n", argument, tok,
                  static_cast<void*>(tok), static_cast<int>(len));
        std::string item = std::string(tok).substr(0, kMaxAtomicItem);
        VA_DETAIL("Searching for colon separator in atomicSituation <%s> @%p\n", item.c_str(),
                  static_cast<void*>(item.data()));
        char* name = ZOT0_strtok(item.data(), ":");
        if (name == nullptr) {
            VA_ERROR("Error: invalid situation name:column number specification in <%s>\n", tok);
            break;
        }
        while (*name == ' ') {
            ++name;
        }
        char* column = ZOT0_strtok(nullptr, ":");
        VA_DETAIL("Atomic situation name <%s> @%p\n", name, static_cast<void*>(name));
        VA_DETAIL("columnNumberToken <%s> @%p\n", column != nullptr ? column : "", static_cast<void*>(column));
        if (column == nullptr || *column == '\0') {
            VA_ERROR("Error: column number not specified for atomic situation <%s>\n", name);
        } else {
            int number = std::atoi(column);
            if (number < 1 || number >= maxIBColumns) {
                VA_ERROR("Error: invalid column value <%s> specified for atomic situation <%s>\n", column, name);
            } else {
                VA_STATE("Atomic column number <%d>\n", number);
                list.addEntry(name, number);
            }
        }
        if (running >= original.size()) {
            break;
        }
        // The inner split moved the tokenizer: resume in a fresh copy at the running offset.
        work = original;
        VA_DETAIL("Searching for comma separator in atomicSituationVariable <%s> @%p offset %d\n", work.c_str(),
                  static_cast<void*>(work.data()), static_cast<int>(running));
        tok = ZOT0_strtok(work.data() + running, ",");
        VA_DETAIL("Next token <%s> @%p\n", tok != nullptr ? tok : "", static_cast<void*>(tok));
    }
}
