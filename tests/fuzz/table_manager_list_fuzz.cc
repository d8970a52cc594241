// libFuzzer target for the lines of the table managers' work file: each line, as fgets hands it over
// (at most 255 bytes, up to and with its newline), splits into blank-free fields that lie inside it,
// in order.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "agent/table_manager_list.h"

namespace {

// A field lies after the one before it (or at the line's start, for the first).
void check(const char* field, const char* before, const char* line, size_t size) {
    if (field == nullptr) {
        return;
    }
    if (field < before || (field == before && before != line) || field >= line + size || *field == '\0' || std::strchr(field, ' ') != nullptr) {
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const char* rest = reinterpret_cast<const char*>(data);
    const char* const end = rest + size;
    while (rest < end) {
        char line[256] = {};
        size_t n = 0;
        while (rest < end && n < sizeof line - 1) {
            line[n++] = *rest;
            if (*rest++ == '\n') {
                break;
            }
        }
        const tableManagerList::WorkFileFields f = tableManagerList::splitWorkFileLine(line);
        if ((f.tableName != nullptr && f.applName == nullptr) || (f.snmpFlag != nullptr && f.tableName == nullptr)) {
            std::abort();
        }
        check(f.applName, line, line, n);
        check(f.tableName, f.applName, line, n);
        check(f.snmpFlag, f.tableName, line, n);
    }
    return 0;
}
