// Inside the framework: the engine that owns open requests, the time line and the worker pool, and
// the calls through which the request classes and the facade reach it. Not for table classes or the
// API (they use interfaces/axf.h and interfaces/axf_facade.h).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "interfaces/axf.h"
#include "interfaces/axf_facade.h"

namespace axf::detail {

// The engine's record of one open request. The request calls back into it from the table class's
// threads: Dispatch from an event push, Defer during TakeSample, Redrive from the samples list or the
// hub, FinishedAutomationCommand from the command callback.
class RequestOwner {
public:
    virtual ~RequestOwner() = default;
    virtual int dispatched(plaxf& request) = 0;
    virtual void deferRequested(plaxf& request) = 0;
    virtual void redriveRequested(plaxf& request) = 0;
    virtual bool isDeferred(const plaxf& request) const = 0;
    virtual void commandCompleted(plaxf& request, PlaxfAutomationCapsule* capsule) = 0;
};

// The framework's access to the private parts of requests and managers.
struct Access {
    static void attach(plaxf& request, RequestOwner* owner, unsigned long handle) {
        request._owner = owner;
        request._handle = handle;
    }
    static RequestOwner* owner(const plaxf& request) { return request._owner; }
    static const RequestDetail& detail(const plaxf& request) { return request._detail; }
    static std::vector<plaxf*>& open(TableManager& manager) VA_REQUIRES(manager._lock) { return manager._open; }
    // Takes the answer's row images out of the request (which is left without rows): *count rows of
    // *rowSize bytes each.
    static std::vector<char> takeRows(plaxf& request, size_t* count, int* rowSize) {
        *count = static_cast<size_t>(request._count);
        *rowSize = request._rowSize;
        request._count = 0;
        return std::exchange(request._rows, std::vector<char>());
    }
    // Room for an answer of bytes, so that an answer of a known size grows once.
    static void reserveBytes(plaxf& request, size_t bytes) { request._rows.reserve(bytes); }
};

// Handles of open requests. A handle maps to its request until releaseHandle; pins taken with
// UseHandle keep the request alive until Drop.
unsigned long registerHandle(plaxf* request);
// Refuses new pins, waits until the pins are dropped, forgets the handle.
void releaseHandle(unsigned long handle);
int pinHandle(unsigned long handle, const plaxf* request);
plaxf* pinRequest(unsigned long handle);  // null when the handle is gone or closing
void unpinHandle(unsigned long handle);

// The registry of table managers (what RemoteManager serves).
std::vector<TableManager*> registeredManagers();
void unregisterManager(TableManager* manager);

// Field helpers shared by the request classes, the engine and the facade.
std::string fieldText(const char* field, int length);  // cut at its NUL, trailing blanks removed
std::string_view fieldView(const char* field, int length);  // the same without a copy
// LIKE: "*" or "%" any run of characters, "?" or "_" exactly one, case-sensitive.
bool likeMatch(std::string_view text, std::string_view pattern);
ColumnDesc describeColumn(const ColumnInfo& info);
// One column of a row image of rowSize bytes; a column that does not fit in the row reads as 0 or "".
inline bool isIntegerField(const ReportRows::Field& f) {
    return f.type == AXF_COLUMN_INT32 || f.type == AXF_COLUMN_INT16;
}
int64_t fieldInteger(const ReportRows::Field& f, const char* row, int rowSize);
std::string_view fieldTextView(const ReportRows::Field& f, const char* row, int rowSize);
// The values of one row image of rowSize bytes, one per column.
std::vector<Value> decodeRow(const std::vector<ColumnInfo>& columns, const char* row, int rowSize);
// How ReportRows reads each column.
std::vector<ReportRows::Field> reportFields(const std::vector<ColumnInfo>& columns);

// The columns of a table, read through a request made only for that (never sampled). False when the
// manager makes no request.
bool probeColumns(TableManager* manager, std::vector<ColumnInfo>* columns);

// Subnodes registered for the application of a table (its name with or without the release).
std::vector<std::string> subnodesOfApplication(std::string_view tableApplName);
// The command callback for a command text (by its first word, else "*"), or null.
AXF_CommandCallback findCommandCallback(std::string_view command);

// ---------------------------------------------------------------------------------------------------
// The engine.

// One report: opens the request, samples it on the pool, waits for it (and for its redrive when it
// defers) at most timeoutSeconds, closes it. hold (GetManager) keeps the manager registered until the
// request is open; the engine drops it.
Status runReportOn(TableManager* manager, RemoteManager* hold, const RequestDetail& detail, const ContextInfo& context,
                   const std::vector<ColumnInfo>& columns, double timeoutSeconds, ReportRows* rows);

struct SituationPlan {
    SituationDef def;
    RequestDetail detail;
    std::vector<ColumnInfo> columns;
    int originColumn = -1;  // index of ORIGINNODE, -1 when the table has none
    int atomicColumn = -1;
    bool autoSubnodes = false;  // follows the subnodes registered for the application
};
Status startSituation(TableManager* manager, RemoteManager* hold, SituationPlan plan);
Status stopSituation(std::string_view name);
std::vector<SituationDef> situations();
Status statusOfSituation(std::string_view name, SituationStatus* out);

EventBatch eventsAfter(uint64_t afterSeq, double waitSeconds, size_t maxEvents);

// Runs a command through its command callback with a policy request naming the detail's subnodes;
// the callback's result, or -1 when no callback takes the command. *actionId: the identifier the
// callback gave the action (0 when none).
long runPolicyAction(RequestDetail* detail, ContextInfo* context, const std::string& command, long* actionId,
                     std::string* resultText);

// Waits until pred holds for the situation's status (checked after each sample and each recorded
// take-action result), at most realSeconds of real time. False on time-out or when there is no such
// situation. For tests.
bool waitForSituation(std::string_view name, const std::function<bool(const SituationStatus&)>& pred,
                      double realSeconds);

// Open requests of every table (tests check that none is left behind).
size_t openRequestCount();

// Ends every open request of the manager and the situations on it (its Shutdown and destructor).
void closeRequestsOf(TableManager* manager);
// The registered subnodes changed: situations that follow an application's subnodes reopen.
void subnodesChanged();
// Stops the time line and the pool (AXF_Shutdown); facade calls then answer kStopped.
void stopEngine();
// Ends every situation and request, joins the threads, forgets events (tests).
void resetEngine();

}  // namespace axf::detail
