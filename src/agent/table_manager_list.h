// The framework table managers of every attribute group's table. One per process (tableManagers()).
//
// Every table is served to the framework by one table manager, keyed here by the manager's
// application name (with its release) and table name. The list also keeps them across restarts: each
// manager created is appended as one line to the work file, and at the next start every remembered
// table gets its manager again before any application comes online, so the framework accepts
// requests for known tables at once. Older releases of a table are dropped from the file when a newer
// release is present. The list also holds the lock that keeps a second agent out of the work
// directory.
//
// Thread-safety: _lock guards the ring, the counters, the threshold and the file. Lookups come from
// collection threads and framework threads, additions from probe threads.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>

#include "common/fixed_text.h"
#include "common/result.h"
#include "common/ring_list.h"
#include "agent/work_directory_lock.h"
#include "interfaces/sync.h"

class TableManager;
namespace vorpane::metadata {
class userDataInfo;
}

// Makes the table manager of one table (the table class's zot_vorpane_init): layout is null for a
// table remembered from the work file whose application has not come online yet. The manager
// belongs to the framework side and outlives the list. Null on failure.
using tableManagerFactory = std::function<TableManager*(const char* applName, const char* tableName,
                                                        vorpane::metadata::userDataInfo* layout, short snmpFlag)>;
// The factory the process uses: zot_vorpane_init unless another was installed (tests).
void setTableManagerFactory(tableManagerFactory factory);
tableManagerFactory currentTableManagerFactory();

class tableManagerListEntry : public vorpane::RingNode<tableManagerListEntry> {
public:
    tableManagerListEntry(const char* applName, const char* tableName, TableManager* tableMgr)
        : _applName(applName), _tableName(tableName), _tableMgr(tableMgr) {}
    const char* applName() const { return _applName.c_str(); }
    const char* tableName() const { return _tableName.c_str(); }
    TableManager* tableMgr() const { return _tableMgr; }

private:
    vorpane::FixedText<22> _applName;
    vorpane::FixedText<12> _tableName;
    TableManager* _tableMgr;
};

class tableManagerList {
public:
    // Takes the work-directory lock, reads and cleans the work file, and creates a manager for every
    // remembered table. Ends the process (code 1) when another agent holds the work directory or the
    // file's name cannot be determined. factory: null uses the process's factory.
    explicit tableManagerList(tableManagerFactory factory = nullptr);
    ~tableManagerList();
    tableManagerList(const tableManagerList&) = delete;
    tableManagerList& operator=(const tableManagerList&) = delete;

    // type 1 also appends the line to the work file. The sticky error flag.
    int16_t addEntry(const char* applName, const char* tableName, TableManager* tableMgr, int type, short snmpFlag);
    // The manager of that table, or null; a match found deep in the ring moves to the head.
    TableManager* getTblMgr(const char* applName, const char* tableName);

    int16_t error();
    int getNumberOfElements();
    int16_t setHeadOfListThreshold();
    const std::string& fileName() const { return _fileName; }
    void printList();

    // One line of the work file as fgets reads it, "applName tableName [snmpFlag]": line ends are
    // dropped and the fields cut in place at blanks; a field the line lacks is null.
    struct WorkFileFields {
        const char* applName = nullptr;
        const char* tableName = nullptr;
        const char* snmpFlag = nullptr;
    };
    static WorkFileFields splitWorkFileLine(char* line);

private:
    struct TableFileEntry {
        vorpane::FixedText<22> applName;
        vorpane::FixedText<10> tableName;
        int16_t snmpFlag = 0;
        bool skip = false;
    };

    int16_t processWorkFile();
    bool openForAppend();
    void setHeadOfList(tableManagerListEntry& entry) VA_REQUIRES(_lock);

    tableManagerFactory _factory;
    workDirectoryLock _dirLock;
    std::string _fileName;
    vorpane::Mutex _lock;
    vorpane::RingList<tableManagerListEntry> _ring VA_GUARDED_BY(_lock);
    std::FILE* _workFile VA_GUARDED_BY(_lock) = nullptr;
    int16_t _headMoves VA_GUARDED_BY(_lock) = 0;
    int16_t _setHeadOfListThreshold VA_GUARDED_BY(_lock) = 20;
    vorpane::StickyError _error VA_GUARDED_BY(_lock);
};
