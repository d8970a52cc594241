#include "agent/table_manager_list.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <vector>

#include <unistd.h>

#include "common/process_slot.h"
#include "interfaces/axf.h"
#include "interfaces/support.h"
#include "interfaces/trace.h"
#include "metadata/whole_file.h"
#include "tables/zot_vorpane_manager.h"

namespace {

// Probe threads are detached and may make tables while the process exits.
vorpane::ProcessSlot<tableManagerFactory>& factorySlot() {
    static vorpane::ProcessSlot<tableManagerFactory>& slot = vorpane::ProcessSlot<tableManagerFactory>::make();
    return slot;
}

constexpr int kLineLimit = 256;

// The work file and the process id on standard error whatever the trace settings: the operator must
// see why the agent did not start.
[[noreturn]] void refuseSecondCopy(const std::string& directory, pid_t holder) {
    const std::optional<std::string> product = ZOT0_QueryProductSpec(ZOT2_PRODUCT_NAME);
    const char* instance = ZOTA_GetInstanceName();
    if (instance != nullptr && *instance != '\0') {
        VA_ERROR("Determine if another copy of %s with instance name <%s> is already active on this system.  "
                 "Exiting...\n\n",
                 product.value_or("").c_str(), instance);
    } else {
        VA_ERROR("Determine if another copy of %s is already active on this system.  Exiting...\n\n",
                 product.value_or("").c_str());
    }
    vorpane::fatalExit("work directory " + directory + " is in use by another agent (process " +
                       std::to_string(holder) + ")");
}

bool releaseDigits(const char* name) {
    const std::size_t n = std::strlen(name);
    return n >= 2 && std::isdigit(static_cast<unsigned char>(name[n - 2])) &&
           std::isdigit(static_cast<unsigned char>(name[n - 1]));
}

}  // namespace

void setTableManagerFactory(tableManagerFactory factory) { factorySlot().set(std::move(factory)); }

tableManagerFactory currentTableManagerFactory() {
    if (tableManagerFactory factory = factorySlot().get()) {
        return factory;
    }
    return [](const char* applName, const char* tableName, vorpane::metadata::userDataInfo* layout,
              short snmpFlag) -> TableManager* {
        return zot_vorpane_init(applName, tableName, layout, nullptr, snmpFlag);
    };
}

tableManagerList::tableManagerList(tableManagerFactory factory)
    : _factory(factory ? std::move(factory) : currentTableManagerFactory()) {
    VA_STORAGE("Allocated tableManagerList @%p\n", static_cast<void*>(this));
    std::string name;
    if (std::optional<std::string> item = ZOT0_QueryProductSpec(ZOT2_ZOTATBLS_FILENAME); item && !item->empty()) {
        name = *item;
    } else {
        std::optional<std::string> code = ZOT0_QueryProductSpec(ZOT2_PRODUCT_CODE);
        if (!code) {
            VA_ERROR("Error: Query for ZOT2_PRODUCT_CODE failed.  Exiting...\n\n");
            vorpane::fatalExit("the product specification has no product code (item 1)");
        }
        if (*code != "OT") {
            VA_ERROR("Error: Query for ZOT2_ZOTATBLS_FILENAME failed.  Exiting...\n\n");
            vorpane::fatalExit("the product specification names no table-manager work file (item 32)");
        }
        name = "ZOTATBLS";
        VA_ERROR("Warning: Query for ZOT2_ZOTATBLS_FILENAME failed. Using defaults <%s>\n", name.c_str());
    }
    _fileName = ZOT0_ConstructFullyQualifiedName(nullptr, name.c_str());
    if (_fileName.empty() || _fileName.size() >= 256) {
        VA_ERROR("Error: Could not build fully qualified file name.\n");
        vorpane::ScopedLock guard(_lock);
        _error.set(1);
        return;
    }

    // The single-copy test. The lock dies with its holder, so a crashed agent never blocks a start.
    const std::size_t slash = _fileName.rfind('/');
    const std::string directory = slash == std::string::npos ? std::string(".") : _fileName.substr(0, slash);
    switch (_dirLock.acquire(directory)) {
        case workDirectoryLock::Result::Acquired:
            VA_STATE("Work directory <%s> locked through <%s>\n", directory.c_str(), _dirLock.path().c_str());
            // Nobody else writes here now: a temporary file left in it is one a killed agent was writing.
            vorpane::removeStaleTemporaries(directory);
            break;
        case workDirectoryLock::Result::HeldByOther:
            refuseSecondCopy(directory, _dirLock.holder());
        case workDirectoryLock::Result::Failed: {
            vorpane::ScopedLock guard(_lock);
            _error.set(1);
            return;
        }
    }
    if (openForAppend()) {
        processWorkFile();
    }
}

tableManagerList::~tableManagerList() {
    vorpane::ScopedLock guard(_lock);
    if (_workFile != nullptr) {
        std::fclose(_workFile);
        _workFile = nullptr;
    }
    _ring.clear();  // the entries only; the managers belong to the framework side
    VA_STORAGE("Deleting tableManagerList @%p\n", static_cast<void*>(this));
}

bool tableManagerList::openForAppend() {
    vorpane::ScopedLock guard(_lock);
    if (_workFile != nullptr) {
        std::fclose(_workFile);
    }
    _workFile = std::fopen(_fileName.c_str(), "a+");
    if (_workFile == nullptr) {
        VA_ERROR("Error: unable to open table manager file <%s> in append mode, errno=%d\n", _fileName.c_str(), errno);
        _error.set(1);
        return false;
    }
    VA_STATE("Successfully opened table manager file <%s> in append mode\n", _fileName.c_str());
    return true;
}

tableManagerList::WorkFileFields tableManagerList::splitWorkFileLine(char* line) {
    ZOT0_RemoveCRandLF(line, 66);
    WorkFileFields fields;
    fields.applName = ZOT0_strtok(line, " ");
    if (fields.applName != nullptr) {
        fields.tableName = ZOT0_strtok(nullptr, " ");
    }
    if (fields.tableName != nullptr) {
        fields.snmpFlag = ZOT0_strtok(nullptr, " ");
    }
    return fields;
}

int16_t tableManagerList::processWorkFile() {
    std::vector<TableFileEntry> records;
    bool malformed = false;
    {
        vorpane::ScopedLock guard(_lock);
        std::rewind(_workFile);
        char line[kLineLimit];
        while (std::fgets(line, sizeof line, _workFile) != nullptr) {
            const WorkFileFields fields = splitWorkFileLine(line);
            if (line[0] == '\0') {
                continue;
            }
            const char* appl = fields.applName;
            if (appl == nullptr) {
                VA_ERROR("Error: fileBuf record [%s] in table manager file %s is missing applName.\n", line,
                         _fileName.c_str());
                malformed = true;
                break;
            }
            const char* table = fields.tableName;
            if (table == nullptr) {
                VA_ERROR("Error: applName [%s] missing corresponding tableName in table manager file %s\n", appl,
                         _fileName.c_str());
                malformed = true;
                break;
            }
            TableFileEntry record;
            record.applName.assign(appl);
            record.tableName.assign(table);
            if (const char* snmp = fields.snmpFlag; snmp != nullptr) {
                record.snmpFlag = static_cast<int16_t>(std::atoi(snmp));
            } else {
                VA_ERROR("Warning: missing SNMP token in applName [%s] tableName [%s]\n", appl, table);
            }
            VA_STORAGE("Allocated new TableFileEntry @%p for applName [%s] tableName [%s]\n",
                       static_cast<void*>(&record), record.applName.c_str(), record.tableName.c_str());
            records.push_back(record);
        }
    }

    // Lines that differ at most in the release suffix name one table: the highest release (of two
    // equal ones, the later line) survives.
    for (std::size_t a = 0; a < records.size(); ++a) {
        TableFileEntry& A = records[a];
        for (std::size_t b = 0; b < records.size() && !A.skip; ++b) {
            TableFileEntry& B = records[b];
            if (b == a || B.skip) {
                continue;
            }
            const std::size_t applStem = A.applName.size() >= 2 ? A.applName.size() - 2 : 0;
            const std::size_t tableStem = A.tableName.size() >= 2 ? A.tableName.size() - 2 : 0;
            if (std::strncmp(A.applName.c_str(), B.applName.c_str(), applStem) != 0 ||
                std::strncmp(A.tableName.c_str(), B.tableName.c_str(), tableStem) != 0) {
                continue;
            }
            VA_DETAIL("Found a match on applName [%s] tableName [%s]\n", A.applName.c_str(), A.tableName.c_str());
            const std::string currentRR(A.applName.view().substr(applStem));
            const std::string otherRR(B.applName.view().substr(B.applName.size() >= 2 ? B.applName.size() - 2 : 0));
            VA_DETAIL("currentRR: %s  RR: %s\n", currentRR.c_str(), otherRR.c_str());
            const int currentApplRR = std::atoi(currentRR.c_str());
            const int applRR = std::atoi(otherRR.c_str());
            VA_DETAIL("currentApplRR: %d  applRR: %d\n", currentApplRR, applRR);
            if (currentApplRR <= applRR) {
                VA_DETAIL("Skipping entry for applName [%s] tableName [%s]\n", A.applName.c_str(), A.tableName.c_str());
                A.skip = true;
            } else {
                B.skip = true;
            }
        }
    }

    if (records.empty() && !malformed) {
        return error();
    }
    {
        vorpane::ScopedLock guard(_lock);
        _error.clear();
    }
    // Managers first, then the file written whole with the lines of the managers that exist: a crash
    // at any moment leaves the old file or the new one.
    std::string text;
    for (const TableFileEntry& r : records) {
        if (error() != 0) {
            break;
        }
        if (r.skip) {
            VA_STATE("Note: Skipping old or duplicate entry for applName [%s] tableName [%s]\n", r.applName.c_str(),
                     r.tableName.c_str());
            continue;
        }
        TableManager* manager = _factory(r.applName.c_str(), r.tableName.c_str(), nullptr, r.snmpFlag);
        if (manager == nullptr) {
            VA_ERROR("Error: allocating TblMgr for applName [%s] tableName [%s]\n", r.applName.c_str(),
                     r.tableName.c_str());
            vorpane::ScopedLock guard(_lock);
            _error.set(1);
            break;
        }
        VA_STATE("New TblMgr[@%p] applName [%s] tableName [%s]\n", static_cast<void*>(manager), r.applName.c_str(),
                 r.tableName.c_str());
        if (addEntry(r.applName.c_str(), r.tableName.c_str(), manager, 0, r.snmpFlag) == 0) {
            char line[kLineLimit];
            std::snprintf(line, sizeof line, "%s %s %d\n", r.applName.c_str(), r.tableName.c_str(), r.snmpFlag);
            text += line;
        }
    }
    for (const TableFileEntry& r : records) {
        VA_STORAGE("Deleting TableFileEntry @%p for applName [%s] tableName [%s]\n", static_cast<const void*>(&r),
                   r.applName.c_str(), r.tableName.c_str());
    }
    VA_STATE("Rewriting table manager file %s with %d lines\n", _fileName.c_str(), getNumberOfElements());
    if (vorpane::metadata::writeFileWhole(_fileName, text) != 0) {
        VA_ERROR("Error: unable to open table manager file <%s> in write mode, errno=%d\n", _fileName.c_str(), errno);
        vorpane::ScopedLock guard(_lock);
        _error.set(1);
        return _error.code();
    }
    openForAppend();  // the renamed file is a new one: the old handle still names the replaced file
    return error();
}

int16_t tableManagerList::addEntry(const char* applName, const char* tableName, TableManager* tableMgr, int type,
                                   short snmpFlag) {
    vorpane::ScopedLock guard(_lock, [] { VA_ERROR("Error: unable to acquire lock\n"); });
    if (!guard.ok()) {
        return 1;
    }
    if (_error) {
        return _error.code();
    }
    if (!releaseDigits(applName)) {
        const std::size_t n = std::strlen(applName);
        VA_ERROR("Error: applName<%s> tableName<%s> RR<%s> not numeric.\n", applName, tableName,
                 applName + (n >= 2 ? n - 2 : 0));
        _error.set(1);
        return _error.code();
    }
    tableManagerListEntry& entry = _ring.insert(std::make_unique<tableManagerListEntry>(applName, tableName, tableMgr));
    VA_STORAGE("Allocated tableManagerListEntry @%p - type=%d  noOfElements=%d\n", static_cast<void*>(&entry), type,
               static_cast<int>(_ring.size()));
    if (type == 1 && _workFile != nullptr) {
        char line[kLineLimit];
        const int length = std::snprintf(line, sizeof line, "%s %s %d\n", applName, tableName, snmpFlag);
        // One short line in one write, then to disk: a crash leaves the file with or without it.
        const std::size_t wrote = std::fwrite(line, 1, static_cast<std::size_t>(length), _workFile);
        if (wrote != static_cast<std::size_t>(length) || std::fflush(_workFile) != 0 ||
            ::fsync(fileno(_workFile)) != 0) {
            VA_ERROR("Error: errno=%d wrote=%d writing [%s]\n", errno, static_cast<int>(wrote), line);
            _error.set(1);
        }
    }
    return _error.code();
}

TableManager* tableManagerList::getTblMgr(const char* applName, const char* tableName) {
    vorpane::ScopedLock guard(_lock, [] { VA_ERROR("Error: unable to acquire tableManagerList lock\n"); });
    if (!guard.ok()) {
        return nullptr;
    }
    VA_DETAIL("Searching for tableName<%s> applName<%s>\n", tableName, applName);
    int position = 0;
    for (tableManagerListEntry& e : _ring) {
        ++position;
        VA_DETAIL("Comparing against tableName<%s> applName<%s> node @%p\n", e.tableName(), e.applName(),
                  static_cast<void*>(&e));
        if (std::strcmp(e.tableName(), tableName) == 0 && std::strcmp(e.applName(), applName) == 0) {
            VA_DETAIL("Found matching node @%p in tableManagerlist, loopCtr: %d\n", static_cast<void*>(&e), position);
            TableManager* manager = e.tableMgr();
            if (position > _setHeadOfListThreshold) {
                setHeadOfList(e);
            }
            return manager;
        }
    }
    return nullptr;
}

void tableManagerList::setHeadOfList(tableManagerListEntry& entry) {
    VA_DETAIL("Moving node @%p to head of list", static_cast<void*>(&entry));
    _ring.moveToFront(entry);
    if (++_headMoves > 100) {
        _headMoves = 0;
        _setHeadOfListThreshold = static_cast<int16_t>(_setHeadOfListThreshold + 20);
        VA_STATE("_setHeadOfListThreshold now equals %d\n", _setHeadOfListThreshold);
    }
}

int16_t tableManagerList::error() {
    vorpane::ScopedLock guard(_lock);
    return _error.code();
}

int tableManagerList::getNumberOfElements() {
    vorpane::ScopedLock guard(_lock);
    return static_cast<int>(_ring.size());
}

int16_t tableManagerList::setHeadOfListThreshold() {
    vorpane::ScopedLock guard(_lock);
    return _setHeadOfListThreshold;
}

void tableManagerList::printList() {
    vorpane::ScopedLock guard(_lock);
    VA_TRACE(vorpane::trace::kDump, ">>>>>   tableManagerList   @%p\n", static_cast<void*>(this));
    int count = 0;
    for (tableManagerListEntry& e : _ring) {
        VA_TRACE(vorpane::trace::kDump, ">>>>>   count %d", ++count);
        VA_TRACE(vorpane::trace::kDump, ">> tableManagerListEntry @%p Next @%p Prev @%p.\n", static_cast<void*>(&e),
                 static_cast<void*>(e.ringNext()), static_cast<void*>(e.ringPrev()));
        VA_TRACE(vorpane::trace::kDump, "   applName       <%s>\n", e.applName());
        VA_TRACE(vorpane::trace::kDump, "   tablesName     <%s>\n", e.tableName());
        VA_TRACE(vorpane::trace::kDump, "   Mgr            <%p>\n", static_cast<void*>(e.tableMgr()));
    }
}
