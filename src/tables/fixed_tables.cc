#include "tables/fixed_tables.h"

#include <algorithm>
#include <cstring>

#include "interfaces/sync.h"
#include "interfaces/trace.h"
#include "tables/open_requests.h"

namespace vorpane::tables {

// ---------------------------------------------------------------------------------------------------
// fixedTableBase

fixedTableBase::fixedTableBase(RequestDetail* request, ContextInfo* context, TableManager* manager,
                               std::span<const fixedColumn> columns, int rowSize, int allocationDefault)
    : plaxf(request, context, manager), _columns(columns) {
    SetRowSize(rowSize);
    SetAllocationDefault(allocationDefault);
}

int fixedTableBase::NumColumns() { return static_cast<int>(_columns.size()); }

int fixedTableBase::GetColumnInfo(ColumnInfo* info, int colno) {
    if (info == nullptr || colno < 0 || colno >= NumColumns()) {
        VA_ERROR("Error: colno %d is invalid\n", colno);
        return AXF_RC_BAD_COLUMN;
    }
    const fixedColumn& c = _columns[static_cast<std::size_t>(colno)];
    info->name.assign(c.name);
    info->type = c.type;
    info->length = c.length;
    info->offset = c.offset;
    return 0;
}

int fixedTableBase::AddData(const char* rows, int count) {
    int rc = 0;
    for (int i = 0; i < count && rc == 0; ++i) {
        const char* row = rows + static_cast<std::ptrdiff_t>(i) * DataSize();
        if (CheckForException(row) != 0) {
            VA_DETAIL("Passing row %d to InsertRow()\n", i);
            rc = InsertRow(row);
        }
    }
    return rc;
}

void fixedTableBase::putField(char* row, const fixedColumn& column, std::string_view text) {
    const std::size_t length = static_cast<std::size_t>(column.length);
    const std::size_t n = std::min(text.size(), length);
    std::memcpy(row + column.offset, text.data(), n);
    std::memset(row + column.offset + n, ' ', length - n);
}

const char* fixedTableBase::answerField(int i, int column) const {
    const char* row = (i >= 0 && i < NumDataItems()) ? Data(i) : nullptr;
    if (row == nullptr || column < 0 || static_cast<std::size_t>(column) >= _columns.size()) {
        VA_ERROR("Error: row %d column %d is not in the answer of <%s/%s>\n", i, column, ApplicationName(),
                 TableName());
        return nullptr;
    }
    return row + _columns[static_cast<std::size_t>(column)].offset;
}

std::string_view fixedTableBase::filterValue(const FLT1_FILTERINFO& element) {
    std::string_view v(element.value);
    if (element.valueLength > 0 && static_cast<std::size_t>(element.valueLength) < v.size()) {
        v = v.substr(0, static_cast<std::size_t>(element.valueLength));
    }
    // A text value ends at its first NUL, as a field does.
    return v.substr(0, v.find('\0'));
}

// ---------------------------------------------------------------------------------------------------
// Managers

template <typename Family>
class fixedTableManager final : public TableManager {
public:
    fixedTableManager() : TableManager(Family::applName(), Family::tableName()) {
        TableFacts facts;
        facts.internal = true;  // the framework's own tables: no user registered them
        SetFacts(std::move(facts));
        VA_STORAGE("New manager @%p <%s/%s>\n", static_cast<void*>(this), ApplicationName(), TableName());
    }
    ~fixedTableManager() override { VA_STORAGE("Deleting manager @%p\n", static_cast<void*>(this)); }

    std::unique_ptr<plaxf> CreatePlaxf(RequestDetail* request, ContextInfo* context) override {
        return Family::makeRequest(request, context, this);
    }

    // Every open request of this table gets the rows, under the manager's lock.
    int AddDataToEvent(const char* rows, int count) {
        return feedOpenRequests<fixedTableBase>(*this, [&](fixedTableBase& request) { request.AddData(rows, count); });
    }

    // The family's one manager. Kept beyond exit: framework threads may still reach it.
    struct holder {
        Mutex lock;
        std::unique_ptr<fixedTableManager> manager VA_GUARDED_BY(lock);
    };
    static holder& instance() {
        static holder* h = new holder();
        return *h;
    }

    static int init() {
        holder& h = instance();
        ScopedLock guard(h.lock);
        if (h.manager != nullptr) {
            VA_STATE("%s.%s table already initialised\n", Family::applName(), Family::tableName());
            return 0;
        }
        std::unique_ptr<fixedTableManager> made(new (std::nothrow) fixedTableManager());
        if (made == nullptr) {
            VA_ERROR("Error: allocating the %s.%s table manager\n", Family::applName(), Family::tableName());
            return AXF_RC_NO_MANAGER;
        }
        const int rc = TableManager::RegisterWithManager(made.get());
        VA_STATE("%s.%s table initialised @%p rc=%d\n", Family::applName(), Family::tableName(),
                 static_cast<void*>(made.get()), rc);
        if (rc == 0) {
            h.manager = std::move(made);
        }
        return rc;
    }

    static void release() {
        std::unique_ptr<fixedTableManager> owned;
        {
            holder& h = instance();
            ScopedLock guard(h.lock);
            owned = std::move(h.manager);
        }
        if (owned != nullptr) {
            owned->Shutdown(0);
        }
    }

    static int eventArrived(const char* rows, int count) {
        holder& h = instance();
        ScopedLock guard(h.lock);
        return h.manager != nullptr ? h.manager->AddDataToEvent(rows, count) : 0;
    }
};

struct rmtfileTable {
    static const char* applName() { return "T7SRV"; }
    static const char* tableName() { return "RMTFILE"; }
    static std::unique_ptr<plaxf> makeRequest(RequestDetail* request, ContextInfo* context, TableManager* manager) {
        return std::make_unique<t7srv_rmtfile_agent>(request, context, manager);
    }
};

template <const actionStatusFamily& F>
struct actionStatusTable {
    static const char* applName() { return F.applName; }
    static const char* tableName() { return F.tableName; }
    static std::unique_ptr<plaxf> makeRequest(RequestDetail* request, ContextInfo* context, TableManager* manager) {
        return std::make_unique<actionStatusAgent>(request, context, manager, F);
    }
};
struct zotactTable : actionStatusTable<kZotactFamily> {};
struct qebactTable : actionStatusTable<kQebactFamily> {};

int rmtfileEventArrived(const char* rows, int count) { return t7srv_rmtfile_manager::eventArrived(rows, count); }
int zotactEventArrived(const char* rows, int count) { return zot_zotact_manager::eventArrived(rows, count); }
int qebactEventArrived(const char* rows, int count) { return qeb_qebact_manager::eventArrived(rows, count); }

}  // namespace vorpane::tables

int t7srv_rmtfile_init() { return vorpane::tables::t7srv_rmtfile_manager::init(); }
int zot_zotact_init() { return vorpane::tables::zot_zotact_manager::init(); }
int qeb_qebact_init() { return vorpane::tables::qeb_qebact_manager::init(); }

void fixed_tables_release() {
    vorpane::tables::t7srv_rmtfile_manager::release();
    vorpane::tables::zot_zotact_manager::release();
    vorpane::tables::qeb_qebact_manager::release();
}
