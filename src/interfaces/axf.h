// The agent framework (AXF) as the agent sees it. Our stand-in lives in src/platform/axf.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/fixed_text.h"
#include "interfaces/sync.h"

class PlaxfAutomationCapsule;
class plaxf;
class TableManager;
namespace axf::detail {
struct Access;
class RequestOwner;
}

// ---------------------------------------------------------------------------------------------------
// Identity and start-up

void AXF_SetSubsystemId(const char* subsystemId);
std::string AXF_GetSubsystemId();
void AXF_SetNodeType(const char* nodeType);
void AXF_SetAffinity(const char* affinity);
void AXF_SetProduct(const char* productCode, const char* version);

// The host name for the heartbeat probe name, or nothing when it cannot be determined.
std::optional<std::string> AXF_GetHostname();

using AXF_AgentLoader = int (*)();
void AXF_RegisterAgentLoader(AXF_AgentLoader loader);

using AXF_CommandCallback = long (*)(PlaxfAutomationCapsule* capsule);
void AXF_RegisterCommandCallback(const char* command, AXF_CommandCallback callback);

// Runs the framework on the calling thread: calls the agent loader, then serves until AXF_Shutdown.
int zrfmain(int argc, char** argv);

// Stops the framework: zrfmain returns.
void AXF_Shutdown(int reason);

// ---------------------------------------------------------------------------------------------------
// Subnodes. Each of the first three prepares one request on the calling thread and returns 0, or 7
// when the request cannot be prepared; AXF_Subnode_SendRequest sends the prepared request and returns
// 0, or 1 when sending fails.

int AXF_Subnode_Register(const char* subnodeName, const char* affinity, const char* applName,
                         const char* version);
int AXF_Subnode_Delete(const char* subnodeName);
int AXF_Subnode_Deregister(const char* subnodeName);
int AXF_Subnode_SendRequest();

// ---------------------------------------------------------------------------------------------------
// Messages and logs

// A console message to the management server. Returns 0.
int AXF_CreateMessage(const char* severity, const char* category, const char* text, int reserved);

// Appends one line to the named operations log. Returns 0, or 1 when the log cannot be written.
int PLAXF_insert_log(const char* logName, const char* line, const char* product);

// ---------------------------------------------------------------------------------------------------
// Tables and requests
//
// A table class plugs into the framework with two classes: a TableManager per table (registered with
// RemoteManager::RegisterClass or TableManager::RegisterWithManager) and a plaxf subclass per request
// on that table, made by the manager's CreatePlaxf. The framework owns every request it creates and
// calls TakeSample on a worker of its pool with the manager's lock held, so requests of one table are
// never sampled at the same time. docs/framework.md describes the scheduling a table author relies on.

// Compare operators of filter elements and of IsException; 7 and 8 are also the logical operators
// that join one element to the next.
enum _IntfOper : int {
    IntfOper_undefined = 0,
    IntfOper_EQ = 1,
    IntfOper_NE = 2,
    IntfOper_GE = 3,
    IntfOper_LE = 4,
    IntfOper_LT = 5,
    IntfOper_GT = 6,
    IntfOper_OR = 7,
    IntfOper_AND = 8,
    IntfOper_NOT = 9,
    IntfOper_LIKE = 10,
};

enum IntfSampleType : int {
    IntfSampleType_undefined = 0,
    IntfSampleType_exception = 1,  // situation sampling at the request's interval
    IntfSampleType_interval = 2,
    IntfSampleType_demand = 3,  // one report
    IntfSampleType_event = 4,  // rows pushed through AddDataToEvent
};

// Results of the framework calls.
inline constexpr int AXF_FILTER_END = 63;  // GetFilterInfo: no further element
inline constexpr int AXF_RC_BAD_COLUMN = 0x21060007;  // GetColumnInfo: no such column
inline constexpr int AXF_RC_NO_MANAGER = 0x21060002;  // an initialiser could not make its manager
inline constexpr int AXF_RC_DUPLICATE = 0x21060010;  // a table of that application and name is registered
inline constexpr int AXF_RC_UNKNOWN = 0x21060011;  // no such table, request or handle
inline constexpr int AXF_RC_LIMIT = 0x21060012;  // a request holds as many rows as it may
inline constexpr int AXF_RC_LOCK = 0x21060013;  // a lock could not be taken
inline constexpr unsigned long AXF_SHUTDOWN_PRIOR_RELEASE = 0x210101FE;

// Column types of ColumnInfo.
inline constexpr int AXF_COLUMN_INT32 = 3;
inline constexpr int AXF_COLUMN_INT16 = 5;
inline constexpr int AXF_COLUMN_STRING = 9;

// Data types of filter values.
inline constexpr int FLT1_TYPE_USHORT = 2;  // 2-byte unsigned
inline constexpr int FLT1_TYPE_CHAR = 452;  // text of valueLength characters
inline constexpr int FLT1_TYPE_STRING = 460;  // text of valueLength characters
inline constexpr int FLT1_TYPE_FLOAT = 480;  // 4-byte float
inline constexpr int FLT1_TYPE_INT = 484;  // 4-byte integer
inline constexpr int FLT1_TYPE_LONG = 496;  // 4-byte integer
inline constexpr int FLT1_TYPE_SHORT = 500;  // 2-byte signed
inline constexpr int FLT1_TYPE_DOUBLE = 1000;  // 8-byte double

// The first byte of a text field that carries no value (the provider sent none).
inline constexpr char kMissingValue = '^';

// One column of a table's row image. name is the filter name ("ORIGINNODE", "VA3", "filerow"; filters
// compare it case-blind); the presentation fields are filled by the table classes that know them.
struct ColumnInfo {
    vorpane::FixedText<32> name;
    int type = 0;  // AXF_COLUMN_*
    int offset = 0;
    int length = 0;
    std::string attrName;  // the attribute's own name, empty when the table has none
    std::string caption;
    bool key = false;
    int scale = 0;  // decimal places of an integer column
    char attrType = 0;  // the attribute's type letter ('C' a counter, 'G' a gauge, ...); 0 when unknown
    std::string unit;  // the attribute's unit ("MiB", "percent", ...), empty when it declares none
    std::string help;  // the attribute's registered help text
};

// What a table says of itself for people: the names it is known by and whether it is the agent's own.
// Empty names and 0 mean unknown; the facade then takes the application and release from the
// table's application name ("MYAPP01": "MYAPP", "01").
struct TableFacts {
    std::string application;  // without the release ("VPHOST")
    std::string release;  // "00"
    std::string group;  // the attribute group's name ("CPU")
    std::string help;  // the group's help text
    char sampleType = 0;  // 'P', 'S', 'K', 'E', 'N'
    int ttlSeconds = 0;
    bool internal = false;  // the agent's own bookkeeping, not data a user registered
};

// One predicate of a request's filter.
struct FLT1_FILTERINFO {
    vorpane::FixedText<32> columnName;  // "VA<index>" for user-data columns, "ORIGINNODE"
    int compareOperator = IntfOper_EQ;  // 1..6, 10 (LIKE)
    int logicalOperator = 0;  // joins this element to the next: 7 OR, 8 AND; below 1 for the last
    int functionType = 0;  // 0: a plain comparison
    int dataType = FLT1_TYPE_STRING;
    // The value: the text for the string types, the binary value in host byte order otherwise.
    std::string value;
    int valueLength = 0;
};

// Who asked for a request.
struct ContextInfo {
    std::string user;
};

// What a request asks for.
struct RequestDetail {
    std::string applName;  // with its release
    std::string tableName;
    std::string situationName;  // empty for reports
    int interval = 0;  // seconds between samples of a situation
    int sampleType = IntfSampleType_demand;
    std::string instructions;  // "AUTO(<command>)" asks for a take-action on every firing row
    bool history = false;
    std::vector<std::string> subnodes;
    std::vector<FLT1_FILTERINFO> filter;
};

// The registry of table managers, one per process.
class RemoteManager {
public:
    // The registry, held until Drop(): a manager found through it stays registered meanwhile.
    static RemoteManager* GetManager();
    // Registers a manager (not owned). 0, AXF_RC_DUPLICATE when a manager of the same application and
    // table is registered, AXF_RC_UNKNOWN for a null manager or empty names.
    static int RegisterClass(TableManager* manager);
    // The manager of the table, or null.
    TableManager* FindTableManager(const char* applName, const char* tableName);
    unsigned long Handle() const;
    void Drop();
};

// A table. Its open requests are listed under lock(); AddDataToEvent walks them with PlaxfListIter.
// A manager is destroyed only after Shutdown(); the base destructor calls it again in case.
class TableManager {
public:
    TableManager(const char* applicationName, const char* tableName);
    virtual ~TableManager();
    TableManager(const TableManager&) = delete;
    TableManager& operator=(const TableManager&) = delete;

    // Ends every open request of the table and unregisters it. 0.
    virtual int Shutdown(unsigned long code);
    virtual std::unique_ptr<plaxf> CreatePlaxf(RequestDetail* request, ContextInfo* context) = 0;
    // What the table says of itself; called from any thread while the table is registered. The base
    // gives what SetFacts stored.
    virtual TableFacts Facts() const;
    // For tables whose facts never change: set before the table is registered.
    void SetFacts(TableFacts facts) { _facts = std::move(facts); }

    const char* ApplicationName() const { return _applName.c_str(); }
    const char* TableName() const { return _tableName.c_str(); }
    // 0 with the lock taken, or the lock's error code without it.
    int lock() VA_TSA(try_acquire_capability(0, _lock));
    int unlock() VA_RELEASE(_lock);
    static int RegisterWithManager(TableManager* manager) { return RemoteManager::RegisterClass(manager); }

    vorpane::Mutex& mutex() VA_RETURN_CAPABILITY(_lock) { return _lock; }

private:
    friend class PlaxfListIter;
    friend struct axf::detail::Access;
    std::string _applName, _tableName;
    TableFacts _facts;
    vorpane::Mutex _lock;
    std::vector<plaxf*> _open VA_GUARDED_BY(_lock);  // requests the framework has open on this table
};

// The open requests of a manager, oldest first. The caller holds the manager's lock.
class PlaxfListIter {
public:
    explicit PlaxfListIter(TableManager* manager) : _manager(manager) {}
    plaxf* Next() VA_NO_THREAD_SAFETY_ANALYSIS;

private:
    TableManager* _manager;
    size_t _next = 0;
};
using LinkedListIter = PlaxfListIter;

// One request on one table. The framework makes it through the manager's CreatePlaxf, samples it,
// and destroys it when the request ends. Rows inserted during TakeSample (or AddData during an event
// push) are the request's answer.
class plaxf {
public:
    plaxf(const RequestDetail* request, const ContextInfo* context, TableManager* manager);
    virtual ~plaxf();
    plaxf(const plaxf&) = delete;
    plaxf& operator=(const plaxf&) = delete;

    virtual void PrintSelf();
    virtual void TakeSample() = 0;
    virtual int NumColumns() { return 0; }
    // 0, or AXF_RC_BAD_COLUMN.
    virtual int GetColumnInfo(ColumnInfo* info, int colno);
    // Commands that reach a request directly; the stand-in has none: 1.
    virtual int ExecuteCommand(const char* command, int length, char* result);
    // Copies DataSize() bytes of row into the answer. 0, or AXF_RC_LIMIT when the request is full.
    virtual int InsertRow(const char* row);
    // Copies count rows of DataSize() bytes into the answer in one pass, the first stamp.size() bytes
    // of each copy replaced by stamp (the rows themselves are not written). The rows inserted: fewer
    // than count when the request became full (traced once).
    int InsertRows(const char* const* rows, int count, std::string_view stamp);
    // True when the request has a filter that CheckForException applies.
    bool HasFilter() const { return !_detail.filter.empty(); }
    // 1 when the row passes the request's filter (every element through ColumnIsException, AND binding
    // tighter than OR); a request without a filter passes every row.
    virtual int CheckForException(const char* row);
    // 1 when the row's column satisfies oper against value (the filter element's value).
    virtual int ColumnIsException(const char* row, const char* column, _IntfOper oper, const char* value);
    // The command callback finished with the capsule: the framework records its result.
    virtual void CommandCompleted(PlaxfAutomationCapsule* capsule);

    // What was asked.
    const char* ApplicationName() const { return _detail.applName.c_str(); }
    const char* TableName() const { return _detail.tableName.c_str(); }
    const char* SituationName() const { return _detail.situationName.c_str(); }
    int Interval() const { return _detail.interval; }
    int _get_interval() const { return _detail.interval; }
    int _get_sampletype() const { return _sampleType; }
    void _set_sampletype(int sampleType) { _sampleType = sampleType; }
    const char* _get_instructions() const { return _detail.instructions.c_str(); }
    bool IsAutomationRequest() const;
    bool IsHistoryRequest() const { return _detail.history; }
    // The next subnode of the request, "" after the last.
    const char* GetSubnode();
    void ResetGetSubnode() { _subnodeCursor = 0; }
    // 0 with the next filter element in *element, or AXF_FILTER_END after the last (the next call
    // starts again at the first).
    int GetFilterInfo(FLT1_FILTERINFO** element);
    void DumpThresholds() const;
    TableManager* Manager() const { return _manager; }
    const ContextInfo& Context() const { return _context; }

    // Comparisons for ColumnIsException. Each returns 1 when the field satisfies oper against value.
    // Text of a field of length bytes (ends at its first NUL; trailing blanks do not count). A field
    // that starts with kMissingValue has no value: it satisfies IntfOper_NE alone.
    static int IsException(_IntfOper oper, const char* field, const char* value, int length);
    // Text against text.
    static int IsException(_IntfOper oper, std::string_view field, std::string_view value);
    // 4-byte integers in host byte order (field and value both point at one).
    static int IsException(_IntfOper oper, const char* field, const char* value);

    // The answer.
    void SetRowSize(int rowSize);
    int DataSize() const { return _rowSize; }
    void SetAllocationDefault(int rows);
    int AllocationDefault() const { return _allocationDefault; }
    int NumRowsAllocated() const;
    int NumDataItems() const { return _count; }
    // Row i of the answer, or null.
    const char* Data(int i) const;
    void ClearCount() {
        _count = 0;
        _rows.clear();  // the space stays for the next sample
    }

    // Handles: a request's handle stays valid until the framework ends the request. UseHandle pins the
    // request (it is not destroyed until Drop); it never touches a request whose handle is gone, so
    // callers may hold a pointer that may be stale. 0, or AXF_RC_UNKNOWN.
    unsigned long Handle() const { return _handle; }
    int UseHandle(unsigned long handle);
    void Drop();
    // The open request of a handle, pinned (Drop it when done), or null when the framework has ended
    // it: for callers that kept only the handle.
    static plaxf* PinHandle(unsigned long handle);

    // Hands the rows inserted so far to the framework (event pushes). 0, or the framework's failure.
    int Dispatch();
    // Called during TakeSample: the sample is not complete when TakeSample returns; it completes at the
    // TakeSample that follows Redrive(), or fails after the request's time-out.
    void Defer();
    void DeferSample() { Defer(); }
    void Redrive();
    void RedriveSample() { Redrive(); }
    bool deferred() const;

    // The column of that filter name (case-blind). 0, or AXF_RC_BAD_COLUMN.
    int GetColumnInfoByName(ColumnInfo* info, const char* name);
    void FinishedAutomationCommand(PlaxfAutomationCapsule* capsule);

private:
    friend struct axf::detail::Access;
    // The columns as GetColumnInfo gives them, read once for the filter (rebuilt when their number changes).
    const ColumnInfo* columnByName(const char* name);

    RequestDetail _detail;
    ContextInfo _context;
    TableManager* _manager;
    int _sampleType;
    size_t _subnodeCursor = 0;
    size_t _filterCursor = 0;
    int _rowSize = 0;
    int _allocationDefault = 1;
    int _count = 0;
    std::vector<char> _rows;  // _count row images of _rowSize bytes; its capacity is the space allocated
    std::vector<ColumnInfo> _columnCache;
    unsigned long _handle = 0;
    axf::detail::RequestOwner* _owner = nullptr;  // set by the framework once the request is open
};

// One take-action command on its way to the command callback.
class PlaxfAutomationCapsule {
public:
    PlaxfAutomationCapsule(std::string command, std::string user, plaxf* request, int dataRowNum)
        : _command(std::move(command)), _user(std::move(user)), _request(request), _dataRowNum(dataRowNum) {}
    const char* Command() const { return _command.c_str(); }
    const char* User() const { return _user.c_str(); }
    plaxf* Request() const { return _request; }
    int DataRowNum() const { return _dataRowNum; }
    void SetResults(long result) {
        _result = result;
        _hasResult = true;
    }
    long Results() const { return _result; }
    bool HasResults() const { return _hasResult; }
    // The identifier the command callback gave the action, so that its caller can follow it.
    void SetActionId(long actionId) { _actionId = actionId; }
    long ActionId() const { return _actionId; }
    // What the command callback says about its result: the provider's result text, or why the
    // action failed before a provider ran it.
    void SetResultText(std::string text) { _resultText = std::move(text); }
    const std::string& ResultText() const { return _resultText; }

private:
    std::string _command, _user;
    plaxf* _request;
    int _dataRowNum;
    long _result = 0;
    bool _hasResult = false;
    long _actionId = 0;
    std::string _resultText;
};

// ---------------------------------------------------------------------------------------------------
// What the stand-in can be asked (management API and tests).
namespace axf {

struct Identity {
    std::string subsystemId, nodeType, affinity, productCode, version;
};
Identity identity();

enum class SubnodeState { Registered, Deregistered };
struct Subnode {
    std::string name, affinity, applName, version;
    SubnodeState state;
    int64_t since = 0;  // clock seconds of the last registration or deregistration
};
std::vector<Subnode> subnodes();

struct Message {
    std::string severity, category, text;
};
std::vector<Message> messages();

// True while zrfmain serves.
bool running();

// True once zrfmain has run the agent loader (its fixed tables are registered) and until shutdown.
bool loaded();

// Waits until zrfmain has run the agent loader (the tables it makes are registered), at most
// `seconds` of clock time. True when it has; false when the time ran out or AXF_Shutdown came first.
bool waitUntilLoaded(double seconds);

// Forgets identity, subnodes, messages and callbacks (tests).
void reset();

}  // namespace axf
