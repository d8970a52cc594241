// The fixed framework tables the agent loader initialises at start-up, beside the generated
// user-data tables:
//
//   T7SRV.RMTFILE  the lines of an application's generated CAT, ATR or ODI file, packed into rows of
//                  whole lines, so that the management server can upload them (demand requests only)
//   ZOT.ZOTACT     a take-action written as a request: forwarded to the data providers as a TRAPEMIT
//                  action and answered with one status row
//   QEB.QEBACT     the same for the alert-emitter product variant
//
// Each table is a family after the framework's pattern: a manager (one per process, made and
// registered by the family's initialiser), a base class with the fixed row layout and its column
// descriptions, and the request class whose TakeSample does the work. The two action-status tables
// share everything but their names and one trace line, so they are one implementation with a family
// parameter.
//
// A request reads its filter when it is first sampled rather than when it is made: the framework also
// makes requests only to learn a table's columns (listing tables), and those have no filter to read.
//
// Threads: the framework samples one request of a table at a time with the manager's lock held; the
// managers' holders have locks of their own, so the initialisers, release and EventArrived may be
// called from any thread.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "common/fixed_text.h"
#include "interfaces/axf.h"

namespace vorpane::metadata {
class userDataList;
}

namespace vorpane::tables {

// One column of a fixed row layout: the name as GetColumnInfo reports it (the filter name is the same
// in upper case), the framework's column type, length and offset in the row image.
struct fixedColumn {
    const char* name;
    int type;
    int length;
    int offset;
};

// What the requests of the three tables share: the fixed columns, the framework's row size and
// allocation default, and AddData. Filter comparisons are the framework's own by column type.
class fixedTableBase : public plaxf {
public:
    fixedTableBase(RequestDetail* request, ContextInfo* context, TableManager* manager,
                   std::span<const fixedColumn> columns, int rowSize, int allocationDefault);

    int NumColumns() override;
    // 0 with the column, or AXF_RC_BAD_COLUMN for a number outside the layout.
    int GetColumnInfo(ColumnInfo* info, int colno) override;
    // count rows of DataSize() bytes, back to back: each that passes the request's filter is inserted,
    // until an insert fails. The last InsertRow result (0 when none failed).
    virtual int AddData(const char* rows, int count);

    // Copies text into a field of length bytes, cut at length and padded with blanks.
    static void putField(char* row, const fixedColumn& column, std::string_view text);

protected:
    // The field of a column in row i of the answer, or null when there is no such row.
    const char* answerField(int i, int column) const;
    // The value of a filter element as text.
    static std::string_view filterValue(const FLT1_FILTERINFO& element);

private:
    std::span<const fixedColumn> _columns;
};

// ---------------------------------------------------------------------------------------------------
// T7SRV.RMTFILE

inline constexpr int kRmtfileRowSize = 576;
inline constexpr int kRmtfileRowsAllocated = 30;
inline constexpr int kFilerowLength = 512;

class t7srv_rmtfile_base : public fixedTableBase {
public:
    enum class fileKind { none, CAT, ATR, ODI };

    t7srv_rmtfile_base(RequestDetail* request, ContextInfo* context, TableManager* manager);

    const char* _get_value_filerow(int i) const { return answerField(i, 0); }
    const char* _get_value_originnode(int i) const { return answerField(i, 1); }
    const char* _get_value_rmtfile(int i) const { return answerField(i, 2); }

    // What the filter asked for (after readRequest): the application key with the table name (no
    // release), and the fully qualified file name.
    const std::string& applKeyTableName() const { return _applKeyTableName; }
    const std::string& fileName() const { return _fileName; }
    fileKind kind() const { return _kind; }

protected:
    // Reads ORIGINNODE and RMTFILE from the filter and derives the file. Once per request; sets
    // _error on any failure (traced).
    void readRequest();

    bool _requestRead = false;
    bool _error = false;
    fileKind _kind = fileKind::none;
    std::string _applKeyTableName;
    std::string _fileName;
    std::array<char, kRmtfileRowSize> _row{};
};

class t7srv_rmtfile_agent : public t7srv_rmtfile_base {
public:
    using t7srv_rmtfile_base::t7srv_rmtfile_base;
    // Demand requests: the file's lines, whole lines to a row. Other sample types are refused.
    void TakeSample() override;

private:
    // Reads the file into rows, under udl's lock when there is a list. The number of rows emitted, or
    // -1 after an error (traced).
    int readFile(metadata::userDataList* udl);
    // Reads the open file into rows. The number of rows emitted, or -1 after an error (traced).
    int emitLines(std::FILE* file);
};

// ---------------------------------------------------------------------------------------------------
// ZOT.ZOTACT and QEB.QEBACT

inline constexpr int kActionStatusRowSize = 3704;

// The family parameter of the action-status tables.
struct actionStatusFamily {
    const char* applName;
    const char* tableName;
    // The terminator error names the tokens found (ZOTACT) or only the values (QEBACT).
    bool detailedTerminatorTrace;
};
inline constexpr actionStatusFamily kZotactFamily{"ZOT", "ZOTACT", true};
inline constexpr actionStatusFamily kQebactFamily{"QEB", "QEBACT", false};

class actionStatusBase : public fixedTableBase {
public:
    actionStatusBase(RequestDetail* request, ContextInfo* context, TableManager* manager,
                     const actionStatusFamily& family);

    const char* _get_value_originnode(int i) const { return answerField(i, 0); }
    int32_t _get_value_reqrc(int i) const;
    const char* _get_value_sitname(int i) const { return answerField(i, 2); }
    const char* _get_value_sitorg(int i) const { return answerField(i, 3); }
    const char* _get_value_sittime(int i) const { return answerField(i, 4); }
    const char* _get_value_severity(int i) const { return answerField(i, 5); }
    const char* _get_value_category(int i) const { return answerField(i, 6); }
    const char* _get_value_trapdest(int i) const { return answerField(i, 7); }
    const char* _get_value_attrvals(int i) const { return answerField(i, 8); }

protected:
    // Reads the filter elements into the request's values. Once per request; sets _error on a failure.
    void readRequest();

    const actionStatusFamily& _family;
    bool _requestRead = false;
    bool _error = false;
    FixedText<64> _originNode;
    FixedText<32> _sitName;
    FixedText<20> _sitTime;
    FixedText<32> _severity;
    FixedText<32> _category;
    FixedText<256> _trapDestination;
    FixedText<3200> _attrValues;
    std::array<char, kActionStatusRowSize> _row{};
};

class actionStatusAgent : public actionStatusBase {
public:
    using actionStatusBase::actionStatusBase;
    // Forwards the alert as a TRAPEMIT action and answers one status row (reqrc 0 or -1).
    void TakeSample() override;

    // The pieces of an attribute-values text: the situation's origin node and the attribute list.
    struct alertParts {
        std::string sitOrigin;
        std::string attrList;
    };
    // Splits attrValues ("<predicate>;<t2>;<t3>;_SITNODE=<node>;_ATTRPREF=<list>~..."). False after a
    // traced failure.
    static bool splitAttrValues(std::string_view attrValues, bool detailedTrace, alertParts* parts);
};

// ---------------------------------------------------------------------------------------------------
// Managers: one per family and process.

template <typename Family>
class fixedTableManager;

struct rmtfileTable;
struct zotactTable;
struct qebactTable;
using t7srv_rmtfile_manager = fixedTableManager<rmtfileTable>;
using zot_zotact_manager = fixedTableManager<zotactTable>;
using qeb_qebact_manager = fixedTableManager<qebactTable>;

// Event rows of a family's table: every open request of its manager gets them (AddData, Dispatch,
// ClearCount, Drop under the manager's lock). 0 when the manager does not exist, else the last
// failed Dispatch result.
int rmtfileEventArrived(const char* rows, int count);
int zotactEventArrived(const char* rows, int count);
int qebactEventArrived(const char* rows, int count);

}  // namespace vorpane::tables

// Make and register a family's manager (once per process; a second call finds it and returns 0).
// 0, the framework's registration result, or AXF_RC_NO_MANAGER when no manager could be made.
int t7srv_rmtfile_init();
int zot_zotact_init();
int qeb_qebact_init();

// Shuts the managers down (their requests end, the tables leave the framework) and destroys them;
// the initialisers may then run again.
void fixed_tables_release();
