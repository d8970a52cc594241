// MemoryTable: rows kept in memory, emitted per subnode by ORIGINNODE, pushed to event requests on
// demand. Its request class is the smallest complete table class and doubles as the example of one.
#include "platform/axf/memory_table.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <set>

#include "interfaces/support.h"
#include "platform/axf/engine.h"

namespace axf {

class MemoryTable::Request final : public plaxf {
public:
    Request(RequestDetail* detail, ContextInfo* context, MemoryTable* table) : plaxf(detail, context, table), _table(table) {
        SetRowSize(table->_rowSize);
        SetAllocationDefault(16);
        ResetGetSubnode();
        for (const char* node = GetSubnode(); *node != '\0'; node = GetSubnode()) {
            _subnodes.insert(node);
        }
        ResetGetSubnode();
    }

    void TakeSample() override {
        _table->_samples.fetch_add(1, std::memory_order_relaxed);
        int defer = _table->_deferSamples.load();
        while (defer > 0 && !_table->_deferSamples.compare_exchange_weak(defer, defer - 1)) {
        }
        if (defer > 0) {
            Defer();
            vorpane::ScopedLock g(_table->_rowsLock);
            ++_table->_deferredCount;
            _table->_deferCond.broadcast();
            return;
        }
        vorpane::ScopedLock g(_table->_rowsLock);
        for (const std::vector<char>& row : _table->_rows) {
            if (!wanted(row.data())) {
                continue;
            }
            if (CheckForException(row.data()) != 0 && InsertRow(row.data()) != 0) {
                break;
            }
        }
    }

    int NumColumns() override { return static_cast<int>(_table->_columns.size()); }

    int GetColumnInfo(ColumnInfo* info, int colno) override {
        if (info == nullptr || colno < 0 || colno >= NumColumns()) {
            return plaxf::GetColumnInfo(info, colno);
        }
        *info = _table->_columns[static_cast<size_t>(colno)];
        return 0;
    }

    // The row of an event push: inserted when it passes the filter. 2 when filtered out.
    int AddData(const char* row) {
        if (!wanted(row)) {
            return 2;
        }
        return CheckForException(row) != 0 ? InsertRow(row) : 2;
    }

private:
    bool wanted(const char* row) const {
        if (_subnodes.empty() || _table->_columns.empty()) {
            return true;
        }
        const ColumnInfo& origin = _table->_columns[0];
        std::string_view node = detail::fieldView(row + origin.offset, origin.length);
        return _subnodes.count(node) != 0;
    }

    MemoryTable* _table;
    std::set<std::string, std::less<>> _subnodes;
};

MemoryTable::MemoryTable(const char* applName, const char* tableName, std::vector<MemoryColumn> columns,
                         TableFacts facts)
    : TableManager(applName, tableName) {
    SetFacts(std::move(facts));
    int offset = 0;
    for (const MemoryColumn& c : columns) {
        ColumnInfo info;
        info.name.assign(c.name);
        info.type = c.type;
        info.length = c.type == AXF_COLUMN_INT32 ? 4 : (c.type == AXF_COLUMN_INT16 ? 2 : std::max(c.length, 1));
        info.offset = offset;
        info.attrName = c.attrName;
        info.caption = c.caption;
        info.attrType = c.attrType;
        info.key = c.key;
        info.scale = c.scale;
        info.unit = c.unit;
        info.help = c.help;
        offset += info.length;
        _columns.push_back(std::move(info));
    }
    _rowSize = offset;
    _registration = RemoteManager::RegisterClass(this);
}

MemoryTable::~MemoryTable() {
    // Requests of this table use its rows: they end before the rows go.
    Shutdown(0);
}

std::vector<char> MemoryTable::rowImage(const std::vector<std::string>& values) const {
    std::vector<char> row(static_cast<size_t>(_rowSize), '\0');
    for (size_t i = 0; i < _columns.size() && i < values.size(); ++i) {
        const ColumnInfo& c = _columns[i];
        const std::string& v = values[i];
        char* field = row.data() + c.offset;
        if (c.type == AXF_COLUMN_INT32 || c.type == AXF_COLUMN_INT16) {
            char* end = nullptr;
            long long n = v.empty() ? 0 : std::strtoll(v.c_str(), &end, 10);
            if (!v.empty() && (end == nullptr || *end != '\0')) {
                return {};
            }
            if (c.type == AXF_COLUMN_INT32) {
                int32_t n32 = static_cast<int32_t>(n);
                std::memcpy(field, &n32, sizeof n32);
            } else {
                int16_t n16 = static_cast<int16_t>(n);
                std::memcpy(field, &n16, sizeof n16);
            }
        } else {
            if (v.size() > static_cast<size_t>(c.length)) {
                return {};
            }
            std::memcpy(field, v.data(), v.size());
        }
    }
    return row;
}

bool MemoryTable::addRow(const std::vector<std::string>& values) {
    std::vector<char> row = rowImage(values);
    if (row.empty()) {
        VA_ERROR("Error: a row does not fit table <%s/%s>\n", ApplicationName(), TableName());
        return false;
    }
    vorpane::ScopedLock g(_rowsLock);
    _rows.push_back(std::move(row));
    return true;
}

void MemoryTable::clearRows() {
    vorpane::ScopedLock g(_rowsLock);
    _rows.clear();
}

int MemoryTable::pushEvent(const std::vector<std::string>& values) {
    std::vector<char> row = rowImage(values);
    if (row.empty()) {
        VA_ERROR("Error: an event row does not fit table <%s/%s>\n", ApplicationName(), TableName());
        return -1;
    }
    int rc = 0;
    if (lock() != 0) {
        return -1;
    }
    PlaxfListIter it(this);
    for (plaxf* p = it.Next(); p != nullptr; p = it.Next()) {
        if (p->UseHandle(p->Handle()) != 0) {
            continue;
        }
        static_cast<Request*>(p)->AddData(row.data());
        if (int d = p->Dispatch(); d != 0) {
            rc = d;
        }
        p->ClearCount();
        p->Drop();
    }
    unlock();
    return rc;
}

int MemoryTable::redriveAll() {
    int n = 0;
    if (lock() != 0) {
        return 0;
    }
    std::vector<plaxf*> waiting;
    PlaxfListIter it(this);
    for (plaxf* p = it.Next(); p != nullptr; p = it.Next()) {
        if (p->deferred()) {
            waiting.push_back(p);
        }
    }
    for (plaxf* p : waiting) {
        p->Redrive();
        ++n;
    }
    unlock();
    return n;
}

bool MemoryTable::waitForDeferred(int count, double realSeconds) {
    vorpane::ScopedLock g(_rowsLock);
    return _deferCond.waitUntil(_rowsLock, realSeconds * vorpane::clock::speedup(),
                                [&]() VA_REQUIRES(_rowsLock) { return _deferredCount >= count; });
}

std::unique_ptr<plaxf> MemoryTable::CreatePlaxf(RequestDetail* request, ContextInfo* context) {
    return std::make_unique<Request>(request, context, this);
}

}  // namespace axf
