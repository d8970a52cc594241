// MemoryTable: a table class that keeps its rows in memory, for tests (the framework's own and the
// management API's) and benchmarks.
//
// A test makes one with its columns, adds rows, and then reaches it through the facade like any
// table of the agent:
//
//   axf::MemoryTable disks("DSK01", "DSKTBL01", {{"ORIGINNODE", "Node_Name", "", AXF_COLUMN_STRING, 32},
//                                                {"VA1", "Mount", "Mount point", AXF_COLUMN_STRING, 16, true},
//                                                {"VA2", "Used_Pct", "Used %", AXF_COLUMN_INT32, 4}});
//   disks.addRow({"host1:DSK01", "/var", "97"});
//   axf::runReport({"DSK01", "DSKTBL01", {"host1:DSK01"}});   // one row: "host1:DSK01", "/var", 97
//   disks.pushEvent({"host1:DSK01", "/tmp", "99"});           // event situations on the table see it
//
// Column 0 should be ORIGINNODE (a sample of a request emits the rows whose ORIGINNODE is one of the
// request's subnodes; a request without subnodes gets every row). Values are given as text: integer
// columns take a decimal number. The constructor registers the table; the destructor ends its
// requests and unregisters it. Thread-safe: rows may be added while the framework samples.
#pragma once

#include <atomic>
#include <string>
#include <vector>

#include "interfaces/axf.h"

namespace axf {

struct MemoryColumn {
    std::string name;  // filter name
    std::string attrName;
    std::string caption;
    int type = AXF_COLUMN_STRING;
    int length = 0;
    bool key = false;
    int scale = 0;
    char attrType = 0;  // the attribute's type letter ('C' a counter, 'G' a gauge, ...)
    std::string unit;
    std::string help;
};

class MemoryTable : public TableManager {
public:
    // facts: what listTables shows of the table beside its columns (group, help, sample type, ...).
    MemoryTable(const char* applName, const char* tableName, std::vector<MemoryColumn> columns,
                TableFacts facts = {});
    ~MemoryTable() override;

    // 0, or AXF_RC_DUPLICATE when the table name was taken (the table then serves no request).
    int registration() const { return _registration; }

    // A row for samples, its values in column order as text (missing values are empty). False when a
    // value does not fit its column or an integer value is not a number.
    bool addRow(const std::vector<std::string>& values);
    void clearRows();
    // A row pushed to every open request of the table (AddDataToEvent). The last non-zero Dispatch
    // result, else 0; -1 when a value does not fit.
    int pushEvent(const std::vector<std::string>& values);

    // The next `count` samples defer themselves; redriveAll() redrives every deferred request.
    void deferSamples(int count) { _deferSamples.store(count); }
    int redriveAll();
    // Waits until `count` samples in all have deferred, at most realSeconds (real time). False on time-out.
    bool waitForDeferred(int count, double realSeconds);

    // How many samples requests of this table took (benchmarks and tests).
    long samplesTaken() const { return _samples.load(); }

    const std::vector<ColumnInfo>& columns() const { return _columns; }
    int rowSize() const { return _rowSize; }
    // The row image of values, or an empty vector when a value does not fit.
    std::vector<char> rowImage(const std::vector<std::string>& values) const;

    std::unique_ptr<plaxf> CreatePlaxf(RequestDetail* request, ContextInfo* context) override;

private:
    class Request;
    friend class Request;

    std::vector<ColumnInfo> _columns;
    int _rowSize = 0;
    int _registration = 0;
    vorpane::Mutex _rowsLock;
    std::vector<std::vector<char>> _rows VA_GUARDED_BY(_rowsLock);
    std::atomic<int> _deferSamples{0};
    vorpane::CondVar _deferCond;
    int _deferredCount VA_GUARDED_BY(_rowsLock) = 0;
    std::atomic<long> _samples{0};
};

}  // namespace axf
